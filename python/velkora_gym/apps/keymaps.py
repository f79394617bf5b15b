"""The player's input: the keyboard and the pads as events, which keys and pad inputs
press which NES buttons (the defaults, a TOML file's choices, --map's), and the buttons each
player holds.

A mapping file has the sections [keys1] [keys2] [pad] of BUTTON = "INPUT" or
["INPUT", ...]; keys are pygame's K_ names without K_ (x, return, rshift), pad inputs
buttonN, hatNup/down/left/right, axisN+ and axisN-.
"""

from __future__ import annotations

import collections
import os
import re
import sys
import tomllib
from pathlib import Path
from typing import NamedTuple

import pygame

from velkora_gym.console import JOYPAD

# Held like buttons, but act on the player rather than on a joypad.
COMMANDS = ("FastForward", "Rewind")
TARGETS = JOYPAD + COMMANDS
OPPOSITES = (("Up", "Down"), ("Left", "Right"))
SECTIONS = {"keys1": 0, "keys2": 1, "pad": None}

# Key names are pygame's K_ constants without the K_, in lower case: x, return, rshift, f1.
KEY_NAMES = {
    name[2:].lower(): code for name, code in vars(pygame).items() if name.startswith("K_") and isinstance(code, int)
}
SLOT_KEYS = {getattr(pygame, f"K_{n}"): n for n in range(1, 10)}
# These keep their meaning whatever the mapping says.
COMMAND_KEYS = {
    pygame.K_ESCAPE: "quit",
    pygame.K_p: "pause",
    pygame.K_F5: "save state",
    pygame.K_F9: "load state",
    pygame.K_F10: "record",
    pygame.K_F11: "full screen",
    pygame.K_F12: "screenshot",
    **{key: f"slot {n}" for key, n in SLOT_KEYS.items()},
}

DEFAULT_MAP: dict[str, dict[str, list[str]]] = {
    "keys1": {
        "A": ["x"],
        "B": ["z"],
        "Select": ["rshift"],
        "Start": ["return", "kp_enter"],
        "Up": ["up"],
        "Down": ["down"],
        "Left": ["left"],
        "Right": ["right"],
        "FastForward": ["tab"],
        "Rewind": ["backspace"],
    },
    "keys2": {
        "A": ["g"],
        "B": ["f"],
        "Select": ["r"],
        "Start": ["t"],
        "Up": ["w"],
        "Down": ["s"],
        "Left": ["a"],
        "Right": ["d"],
    },
    # SDL's joystick numbering of the common pads: 0 south and 1 east face buttons,
    # 4/5 shoulders, 6 Back, 7 Start; hat 0 is the D-pad, axes 0/1 the left stick.
    # The NES has B left of A, so east is A and south is B.
    "pad": {
        "A": ["button1"],
        "B": ["button0"],
        "Select": ["button6"],
        "Start": ["button7"],
        "Up": ["hat0up", "axis1-"],
        "Down": ["hat0down", "axis1+"],
        "Left": ["hat0left", "axis0-"],
        "Right": ["hat0right", "axis0+"],
        "Rewind": ["button4"],
        "FastForward": ["button5"],
    },
}


# ---------------------------------------------------------------- input events


class Key(NamedTuple):
    key: int
    down: bool
    alt: bool = False


class PadButton(NamedTuple):
    pad: int
    button: int
    down: bool


class PadHat(NamedTuple):
    pad: int
    hat: int
    x: int
    y: int  # +1 is up, as SDL reports it


class PadAxis(NamedTuple):
    pad: int
    axis: int
    value: float  # -1 ... 1


class PadAdded(NamedTuple):
    pad: int
    name: str


class PadRemoved(NamedTuple):
    pad: int


class FocusLost(NamedTuple):
    pass


class Quit(NamedTuple):
    pass


class PygameInput:
    """The real keyboard and pads. Pads arrive as JOYDEVICEADDED, also those plugged
    in before start; their `pad` is SDL's instance id, which stays unique."""

    def __init__(self) -> None:
        pygame.joystick.init()
        self.sticks: dict[int, pygame.joystick.JoystickType] = {}  # kept open

    def poll(self) -> list:
        out: list = []
        for e in pygame.event.get():
            if e.type == pygame.QUIT:
                out.append(Quit())
            elif e.type in (pygame.KEYDOWN, pygame.KEYUP):
                alt = bool(getattr(e, "mod", 0) & pygame.KMOD_ALT)
                out.append(Key(e.key, e.type == pygame.KEYDOWN, alt))
            elif e.type == pygame.WINDOWFOCUSLOST:
                out.append(FocusLost())
            elif e.type == pygame.JOYDEVICEADDED:
                try:
                    stick = pygame.joystick.Joystick(e.device_index)
                except pygame.error as error:
                    print(f"cannot open pad {e.device_index}: {error}", file=sys.stderr)
                    continue
                self.sticks[stick.get_instance_id()] = stick
                out.append(PadAdded(stick.get_instance_id(), stick.get_name()))
            elif e.type == pygame.JOYDEVICEREMOVED:
                self.sticks.pop(e.instance_id, None)
                out.append(PadRemoved(e.instance_id))
            elif e.type in (pygame.JOYBUTTONDOWN, pygame.JOYBUTTONUP):
                out.append(PadButton(e.instance_id, e.button, e.type == pygame.JOYBUTTONDOWN))
            elif e.type == pygame.JOYHATMOTION:
                out.append(PadHat(e.instance_id, e.hat, *e.value))
            elif e.type == pygame.JOYAXISMOTION:
                out.append(PadAxis(e.instance_id, e.axis, e.value))
        return out


class ScriptedInput:
    """Stands in for the keyboard and pads: `script` maps a loop tick (0, 1, ...) to the
    events that tick reads."""

    def __init__(self, script: dict[int, list]) -> None:
        self.script = script
        self.tick = 0

    def poll(self) -> list:
        events = list(self.script.get(self.tick, ()))
        self.tick += 1
        return events


# ---------------------------------------------------------------- mapping


class MapError(ValueError):
    pass


_PAD_INPUT = re.compile(r"button(\d+)|hat(\d+)(up|down|left|right)|axis(\d+)([+-])")
_TARGET_NAMES = {t.lower(): t for t in TARGETS}


def parse_input(section: str, text: str):
    """A key code for the keyboard sections; ("button", n), ("hat", n, dir) or
    ("axis", n, sign) for the pad section."""
    where = section
    name = str(text).strip().lower().replace(" ", "")
    if section != "pad":
        if name not in KEY_NAMES:
            raise MapError(
                f"unknown key {text!r} in [{where}] (key names are pygame's K_ names "
                "without K_: x, return, rshift, kp_enter, f1, space)"
            )
        code = KEY_NAMES[name]
        if code in COMMAND_KEYS:
            raise MapError(f"key {text!r} in [{where}] is already the {COMMAND_KEYS[code]} key")
        return code
    match = _PAD_INPUT.fullmatch(name)
    if not match:
        raise MapError(
            f"unknown pad input {text!r} in [{where}] (use buttonN, hatNup/down/left/right, axisN+ or axisN-)"
        )
    button, hat, direction, axis, sign = match.groups()
    if button is not None:
        return ("button", int(button))
    if hat is not None:
        return ("hat", int(hat), direction)
    return ("axis", int(axis), sign)


def target_name(section: str, text: str) -> str:
    name = str(text).strip().lower().replace("_", "").replace("-", "").replace(" ", "")
    if name not in _TARGET_NAMES:
        raise MapError(f"unknown NES button {text!r} in [{section}] (choose from {', '.join(TARGETS)})")
    return _TARGET_NAMES[name]


def section_name(text: str) -> str:
    name = str(text).strip().lower()
    if name not in SECTIONS:
        raise MapError(f"unknown section {text!r} (choose from {', '.join(SECTIONS)})")
    return name


def build_mapping(config: dict | None = None, overrides: list[str] = ()) -> dict:
    """The defaults, then the config file's choices, then the --map ones. Each named
    button gets exactly the inputs given (an empty list unbinds it)."""
    chosen = {section: dict(targets) for section, targets in DEFAULT_MAP.items()}
    for raw_section, table in (config or {}).items():
        section = section_name(raw_section)
        if not isinstance(table, dict):
            raise MapError(f"[{section}] must be a table of BUTTON = INPUT or [INPUT, ...]")
        for raw_target, value in table.items():
            inputs = [value] if isinstance(value, str) else value
            if not isinstance(inputs, list) or not all(isinstance(i, str) for i in inputs):
                raise MapError(f"{section}.{raw_target} must be a string or a list of strings")
            chosen[section][target_name(section, raw_target)] = inputs
    for item in overrides:
        left, eq, right = item.partition("=")
        raw_section, dot, raw_target = left.partition(".")
        if not eq or not dot:
            raise MapError(f"--map {item!r}: write SECTION.BUTTON=INPUT[,INPUT...], e.g. pad.A=button2")
        section = section_name(raw_section)
        chosen[section][target_name(section, raw_target)] = [i for i in right.split(",") if i.strip()]
    return {
        section: {target: [parse_input(section, i) for i in inputs] for target, inputs in targets.items()}
        for section, targets in chosen.items()
    }


def load_config(path: Path) -> dict:
    try:
        with open(path, "rb") as file:
            return tomllib.load(file)
    except OSError as error:
        raise MapError(f"cannot read the config {path}: {error.strerror}") from error
    except tomllib.TOMLDecodeError as error:
        raise MapError(f"config {path}: {error}") from error


def default_config_path() -> Path:
    xdg = os.environ.get("XDG_CONFIG_HOME", "")
    base = Path(xdg) if xdg.startswith("/") else Path.home() / ".config"
    return base / "velkora" / "play.toml"


# ---------------------------------------------------------------- controls


class Controls:
    """Which NES buttons and commands each player holds, from the keyboard blocks and
    the pads. Pads take the players in `pad_players` in the order they arrive and keep
    their player until unplugged; a pad beyond those waits for a free player."""

    def __init__(
        self, mapping: dict | None = None, *, pad_players: tuple[int, ...] = (0, 1), dead_zone: float = 0.5
    ) -> None:
        mapping = mapping or build_mapping()
        self.keymap: dict[int, list[tuple[int, str]]] = collections.defaultdict(list)
        for section in ("keys1", "keys2"):
            for target, codes in mapping[section].items():
                for code in codes:
                    self.keymap[code].append((SECTIONS[section], target))
        self.padmap: dict[tuple, list[str]] = collections.defaultdict(list)
        for target, inputs in mapping["pad"].items():
            for control in inputs:
                self.padmap[control].append(target)
        self.dead_zone = dead_zone
        self.pad_players = tuple(pad_players)
        self.slots: list[int | None] = [None] * len(self.pad_players)
        self.keys_down: set[int] = set()
        self.pads: dict[int, set[tuple]] = {}  # connected pad -> its active inputs
        self.names: dict[int, str] = {}

    # -- events; each returns a message worth showing, or ""
    def key(self, code: int, down: bool) -> bool:
        """False when the key is not mapped."""
        if code not in self.keymap:
            return False
        (self.keys_down.add if down else self.keys_down.discard)(code)
        return True

    def release_keys(self) -> None:
        self.keys_down.clear()

    def pad_added(self, pad: int, name: str) -> str:
        if pad in self.pads:
            return ""
        self.pads[pad] = set()
        self.names[pad] = name
        return self._seat(pad) or f"pad {name}: no free player"

    def pad_removed(self, pad: int) -> str:
        if pad not in self.pads:
            return ""
        del self.pads[pad]
        name = self.names.pop(pad)
        if pad not in self.slots:
            return ""
        slot = self.slots.index(pad)
        self.slots[slot] = None
        for waiting in self.pads:  # oldest waiting pad first
            if waiting not in self.slots:
                return self._seat(waiting)
        return f"player {self.pad_players[slot] + 1}'s pad removed ({name})"

    def _seat(self, pad: int) -> str:
        if None not in self.slots:
            return ""
        slot = self.slots.index(None)
        self.slots[slot] = pad
        return f"player {self.pad_players[slot] + 1}: pad {self.names[pad]}"

    def pad_button(self, pad: int, button: int, down: bool) -> None:
        if pad in self.pads:
            (self.pads[pad].add if down else self.pads[pad].discard)(("button", button))

    def pad_hat(self, pad: int, hat: int, x: int, y: int) -> None:
        if pad in self.pads:
            active = self.pads[pad]
            active.difference_update({("hat", hat, d) for d in ("up", "down", "left", "right")})
            for on, direction in ((y > 0, "up"), (y < 0, "down"), (x < 0, "left"), (x > 0, "right")):
                if on:
                    active.add(("hat", hat, direction))

    def pad_axis(self, pad: int, axis: int, value: float) -> None:
        if pad in self.pads:
            active = self.pads[pad]
            active.difference_update({("axis", axis, "+"), ("axis", axis, "-")})
            if value > self.dead_zone:
                active.add(("axis", axis, "+"))
            elif value < -self.dead_zone:
                active.add(("axis", axis, "-"))

    # -- state
    def held(self, player: int) -> set[str]:
        targets = {target for code in self.keys_down for who, target in self.keymap[code] if who == player}
        for slot, pad in enumerate(self.slots):
            if pad is not None and self.pad_players[slot] == player:
                targets.update(t for control in self.pads[pad] for t in self.padmap.get(control, ()))
        return targets

    def buttons(self, player: int) -> list[int]:
        """updateInputs' list; a player's opposite directions cancel to neither."""
        held = self.held(player)
        for one, other in OPPOSITES:
            if one in held and other in held:
                held -= {one, other}
        return [int(name in held) for name in JOYPAD]

    def command(self, name: str) -> bool:
        return any(name in self.held(player) for player in (0, 1))
