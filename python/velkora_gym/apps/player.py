"""Plays a cartridge in a window: sound, two players on keyboard and gamepads, save states,
fast-forward, rewind, movies, full screen and screenshots.

    velkora-play [ROM] [--scale 3] [--states DIR] [--mute] [--frames N] [--pad2]
                 [--config FILE] [--map SECTION.BUTTON=INPUT,...] [--ff 4]
                 [--rewind-seconds 180] [--rewind-mb 32] [--fullscreen] [--aspect 8:7]
                 [--movie FILE] [--record FILE] [--timing design|hardware] [--verbose]

Without ROM it plays the demo cartridge that comes with the package (with --movie: the
movie's cartridge). Needs pygame: pip install velkora[play] (also ``python -m
velkora_gym.player``).

F10 starts and stops recording both joypads to a movie (velkora_gym.Movie); --movie FILE
plays one back (fast-forward works on it), then hands the pads to the players. --timing
runs the console in the design's timing model or the hardware's (default: VELKORA_TIMING,
else design); a movie plays back in its own.

Emulation runs frame by frame with runFrame; the sound device sets the pace:
a new frame runs only when the audio queue has room, so the sound has no gaps
and the picture follows at the device's rate (without sound: 60.1 frames a second).
"""

from __future__ import annotations

import argparse
import collections
import math
import os
import re
import sys
import time
import tomllib
import zlib
from pathlib import Path
from typing import NamedTuple

import numpy as np

os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")
import pygame  # noqa: E402

import velkora  # noqa: E402
import velkora_gym  # noqa: E402
from velkora_gym.console import FRAME_RATE, HEIGHT, JOYPAD, SAMPLE_RATE, WIDTH  # noqa: E402
from velkora_gym.files import demo_rom  # noqa: E402
from velkora_gym.movie import Movie  # noqa: E402
from velkora_gym.quiet import quiet_nes  # noqa: E402
from velkora_gym.timings import TIMINGS, check_timing, resolve_timing  # noqa: E402

MESSAGE_SECONDS = 1.5

MOVIE_SUFFIXES = (".vmv", ".fm2", ".vmv.gz", ".fm2.gz")
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

# A snapshot with its picture, compressed, averaged 0.6-6.9 KB a demo in play.
TYPICAL_PACKED_BYTES = 3_500


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


# ---------------------------------------------------------------- rewind


def rewind_capacity(seconds: float, every: int) -> int:
    """Snapshots kept for `seconds` of play, plus the one the player stands on."""
    if seconds <= 0:
        return 0
    return math.ceil(seconds * FRAME_RATE / every) + 1


class RewindRing:
    """Snapshots with their pictures, one every `every` frames, at most `capacity` of
    them and `budget` bytes (the oldest go first). Stored zlib level 1, or raw in the
    rare case that is smaller."""

    def __init__(self, capacity: int, every: int, budget: int = 1 << 62) -> None:
        if capacity < 1 or every < 1 or budget < 1:
            raise ValueError("a rewind ring needs a capacity, an interval and a budget of at least 1")
        self.capacity = capacity
        self.every = every
        self.budget = budget
        self.snaps: collections.deque[tuple[bool, bytes]] = collections.deque()
        self.bytes = 0
        self.since = 0  # frames run since the newest snapshot was taken or restored
        self.at_newest = False  # the machine is exactly the newest snapshot

    def __len__(self) -> int:
        return len(self.snaps)

    def take(self, nes: velkora.NES) -> None:
        raw = velkora_gym.snapshot(nes)
        packed = zlib.compress(raw, 1)
        entry = (True, packed) if len(packed) < len(raw) else (False, raw)
        self.snaps.append(entry)
        self.bytes += len(entry[1])
        # The newest stays whatever its size: the player stands on it.
        while len(self.snaps) > 1 and (len(self.snaps) > self.capacity or self.bytes > self.budget):
            self.bytes -= len(self.snaps.popleft()[1])
        self.since = 0
        self.at_newest = True

    def after_frame(self, nes: velkora.NES) -> None:
        self.since += 1
        self.at_newest = False
        if self.since >= self.every:
            self.take(nes)

    def back(self, nes: velkora.NES) -> bool:
        """Restores the newest snapshot older than the machine; False at the oldest."""
        if self.at_newest:
            if len(self.snaps) <= 1:
                return False
            self.bytes -= len(self.snaps.pop()[1])
        if not self.snaps:
            return False
        packed, data = self.snaps[-1]
        velkora_gym.restore(nes, zlib.decompress(data) if packed else data)
        self.since = 0
        self.at_newest = True
        return True


# ---------------------------------------------------------------- picture layout


def picture_size(scale: float, pixel_aspect: float = 1.0) -> tuple[int, int]:
    return round(WIDTH * scale * pixel_aspect), round(HEIGHT * scale)


def fit(screen: tuple[int, int], pixel_aspect: float = 1.0) -> tuple[int, pygame.Rect]:
    """The largest whole scale of the picture that fits the screen, and where it goes,
    centred. A screen smaller than the picture gets it shrunk (scale 0)."""
    width, height = screen
    scale = height // HEIGHT
    while scale > 0 and picture_size(scale, pixel_aspect)[0] > width:
        scale -= 1
    if scale:
        w, h = picture_size(scale, pixel_aspect)
    else:
        shrink = min(width / (WIDTH * pixel_aspect), height / HEIGHT)
        w, h = (max(1, min(v, limit)) for v, limit in zip(picture_size(shrink, pixel_aspect), screen))
    return scale, pygame.Rect((width - w) // 2, (height - h) // 2, w, h)


# ---------------------------------------------------------------- sound


def default_states_dir(rom: Path) -> Path:
    """Beside the game's battery RAM folder: <data>/velkora/<game>/states."""
    xdg = os.environ.get("XDG_DATA_HOME", "")
    base = Path(xdg) if xdg.startswith("/") else Path.home() / ".local" / "share"
    return base / "velkora" / rom.stem.replace(" ", "_") / "states"


class AudioOut:
    """Feeds 1024-sample blocks to one mixer channel: one playing, one queued,
    the rest waiting here. The caller waits while blocks pile up."""

    def __init__(self) -> None:
        pygame.mixer.init(frequency=SAMPLE_RATE, size=-16, channels=1, buffer=512, allowedchanges=0)
        _, _, self.channels = pygame.mixer.get_init()
        self.channel = pygame.mixer.Channel(0)
        self.waiting: collections.deque[bytes] = collections.deque()

    def push(self, block: bytes) -> None:
        self.waiting.append(block)
        self.pump()

    def pump(self) -> None:
        while self.waiting:
            if not self.channel.get_busy():
                self.channel.play(self._sound(self.waiting.popleft()))
            elif self.channel.get_queue() is None:
                self.channel.queue(self._sound(self.waiting.popleft()))
            else:
                break

    def backlog(self) -> int:
        return len(self.waiting)

    def _sound(self, block: bytes) -> pygame.mixer.Sound:
        if self.channels == 1:
            return pygame.mixer.Sound(buffer=block)
        mono = np.frombuffer(block, dtype=np.int16)
        return pygame.mixer.Sound(buffer=np.repeat(mono, self.channels).tobytes())

    def close(self) -> None:
        pygame.mixer.quit()


# ---------------------------------------------------------------- the player


class Player:
    def __init__(
        self,
        rom: Path,
        *,
        scale: int = 3,
        states: Path | None = None,
        mute: bool = False,
        mapping: dict | None = None,
        pad2: bool = False,
        dead_zone: float = 0.5,
        ff: int = 4,
        rewind_seconds: float = 180.0,
        rewind_every: int = 3,
        rewind_mb: float = 32.0,
        fullscreen: bool = False,
        pixel_aspect: float = 1.0,
        source=None,
        realtime: bool = True,
        movie: Movie | None = None,
        record: Path | None = None,
        timing: str | None = None,
        verbose: bool = False,
    ) -> None:
        if movie is not None and timing is not None and check_timing(timing) != movie.timing:
            raise ValueError(f"the movie replays in the {movie.timing} timing, and the {timing} one was asked for")
        timing = movie.timing if movie is not None else resolve_timing(timing)
        pygame.display.init()
        pygame.font.init()
        self.rom = Path(rom)
        self.scale = max(1, scale)
        self.pixel_aspect = pixel_aspect
        self.fullscreen = fullscreen
        self.picture = pygame.Surface((WIDTH, HEIGHT))
        self._set_mode()
        self.clock = pygame.time.Clock()
        self.realtime = realtime
        self.source = source if source is not None else PygameInput()

        sys.stdout.flush()
        self.nes = velkora.NES(str(self.rom)) if verbose else quiet_nes(str(self.rom))
        velkora_gym.set_timing(self.nes, timing)  # before the first frame: that timing's power-on
        self.pads = [velkora.Controller(), velkora.Controller()]
        for port, pad in enumerate(self.pads):
            self.nes.setController(pad, port)
        self.controls = Controls(mapping, pad_players=(1,) if pad2 else (0, 1), dead_zone=dead_zone)
        self.ff = max(1, ff)

        self.states = Path(states) if states else default_states_dir(self.rom)
        self.states.mkdir(parents=True, exist_ok=True)
        self.nes.setSaveDir(str(self.states))
        self.slot = 1

        # Movies: the one playing back drives the pads; the one recording takes what drove them.
        self.inputs = [[0] * 8, [0] * 8]
        self.playback = movie
        self.played = 0  # frames of the playback run
        self.recording: Movie | None = None
        self.record_path = Path(record) if record else None
        self.recordings: list[Path] = []
        if movie is not None:
            movie.restore_start(self.nes)  # refuses another cartridge's movie
        elif self.record_path is not None:
            # From power-on, which the movie's start makes exact (battery RAM cleared).
            self.recording = Movie(self.rom, timing=timing)
            self.recording.restore_start(self.nes)

        capacity = rewind_capacity(rewind_seconds, rewind_every)
        self.ring = RewindRing(capacity, rewind_every, int(rewind_mb * 1e6)) if capacity else None
        if self.ring is not None:
            self.ring.take(self.nes)  # so the power-on picture can be reached
        self._rewind_ticks = 0

        self.audio: AudioOut | None = None
        if not mute:
            try:
                self.audio = AudioOut()
            except pygame.error as error:
                print(f"no sound ({error}); pacing by the clock", file=sys.stderr)

        self.frames = 0  # frames run
        self.drawn = 0  # pictures shown
        self.paused = False
        self.running = True
        self.mode = ""  # shown while fast-forwarding or rewinding
        self.message = ""
        self.message_until = 0.0
        self._caption()

    # -- input
    def handle(self, event) -> None:
        c = self.controls
        if isinstance(event, Quit):
            self.running = False
        elif isinstance(event, Key):
            if event.down and event.alt and event.key in (pygame.K_RETURN, pygame.K_KP_ENTER):
                self._toggle_fullscreen()  # and Start stays as it was
            elif not c.key(event.key, event.down) and event.down:
                self._command(event.key)
        elif isinstance(event, FocusLost):
            c.release_keys()  # their key-ups go to another window
        elif isinstance(event, PadAdded):
            self._say(c.pad_added(event.pad, event.name) or self.message)
        elif isinstance(event, PadRemoved):
            self._say(c.pad_removed(event.pad) or self.message)
        elif isinstance(event, PadButton):
            c.pad_button(event.pad, event.button, event.down)
        elif isinstance(event, PadHat):
            c.pad_hat(event.pad, event.hat, event.x, event.y)
        elif isinstance(event, PadAxis):
            c.pad_axis(event.pad, event.axis, event.value)

    def _command(self, key: int) -> None:
        if key == pygame.K_ESCAPE:
            self.running = False
        elif key == pygame.K_p:
            self.paused = not self.paused
            self._say("paused" if self.paused else "")
        elif key in SLOT_KEYS:
            self.slot = SLOT_KEYS[key]
            self._say(f"slot {self.slot}")
        elif key == pygame.K_F5:
            self.nes.saveState(self.slot)
            self._say(f"saved slot {self.slot}")
        elif key == pygame.K_F9:
            loaded = self.nes.loadState(self.slot)
            if loaded and self.ring is not None:
                self.ring.at_newest = False  # rewinding goes back to before the load
            self._say(f"loaded slot {self.slot}" if loaded else f"slot {self.slot} is empty")
            if loaded:
                self._time_jump(self.message)
        elif key == pygame.K_F10:
            if self.recording is None:
                self.start_recording()
            else:
                self.stop_recording()
        elif key == pygame.K_F11:
            self._toggle_fullscreen()
        elif key == pygame.K_F12:
            path = self.screenshot()
            self._say(f"screenshot {path.name}")

    # -- movies
    def start_recording(self) -> None:
        """A movie from the machine as it is now (a snapshot: it may hold battery RAM)."""
        self.recording = Movie(self.rom, start=velkora_gym.snapshot(self.nes, picture=False))
        self._say("recording")

    def stop_recording(self) -> Path | None:
        """Writes the movie being recorded; .fm2 only holds movies from power-on, so one from
        a snapshot goes to .vmv instead."""
        movie, self.recording = self.recording, None
        if movie is None:
            return None
        path = movie.save_recording(self._movie_path())
        self.recordings.append(path)
        self._say(f"movie {path.name}: {len(movie)} frames")
        return path

    def _movie_path(self) -> Path:
        if self.record_path is not None:
            return Movie.numbered(self.record_path, len(self.recordings) + 1)
        return self._stamped(".vmv")

    def _stamped(self, suffix: str) -> Path:
        """A new file in the states folder named for the cartridge and the time."""
        stamp = time.strftime("%Y%m%d-%H%M%S")
        path = self.states / f"{self.rom.stem}-{stamp}{suffix}"
        n = 1
        while path.exists():
            n += 1
            path = self.states / f"{self.rom.stem}-{stamp}-{n}{suffix}"
        return path

    def _time_jump(self, what: str = "") -> None:
        """A rewind or a state load leaves the movie's timeline: a recording ends (saved as it
        stands) and a playback hands the pads to the players."""
        said = [what] if what else []
        if self.recording is not None:
            self.stop_recording()
            said.append(self.message)
        if self.playback is not None:
            self.playback = None
            said.append(f"movie stopped at frame {self.played}")
        if said:
            self._say("; ".join(said))

    def _say(self, text: str) -> None:
        self.message = text
        self.message_until = time.monotonic() + MESSAGE_SECONDS if text else 0.0
        self._caption()

    def _caption(self) -> None:
        extra = f" - {self.message}" if self.message else ""
        timing = " - hardware timing" if velkora_gym.timing(self.nes) == "hardware" else ""
        pygame.display.set_caption(f"velkora - {self.rom.stem}{timing} - slot {self.slot}{extra}")

    # -- output
    def _set_mode(self) -> None:
        if self.fullscreen:
            self.screen = pygame.display.set_mode((0, 0), pygame.FULLSCREEN)
        else:
            self.screen = pygame.display.set_mode(picture_size(self.scale, self.pixel_aspect))
        _, self.rect = fit(self.screen.get_size(), self.pixel_aspect)
        self.font = pygame.font.Font(None, max(12, self.rect.height // 20))

    def _toggle_fullscreen(self) -> None:
        self.fullscreen = not self.fullscreen
        self._set_mode()

    def _update_picture(self) -> None:
        pygame.surfarray.blit_array(self.picture, np.asarray(self.nes.getImg()).swapaxes(0, 1))

    def draw(self) -> None:
        self._update_picture()
        if self.rect.size != self.screen.get_size():
            self.screen.fill((0, 0, 0))
        pygame.transform.scale(self.picture, self.rect.size, self.screen.subsurface(self.rect))
        margin = max(4, self.rect.height // 60)
        if self.mode:
            self._text(self.mode, (self.rect.left + margin, self.rect.top + margin))
        if time.monotonic() < self.message_until:
            self._text(self.message, (self.rect.left + margin, None))
        elif self.paused:
            self._text("paused", (self.rect.left + margin, None))
        pygame.display.flip()
        self.drawn += 1

    def _text(self, text: str, at: tuple[int, int | None]) -> None:
        image = self.font.render(text, True, (255, 255, 255), (0, 0, 0))
        x, y = at
        if y is None:
            y = self.rect.bottom - image.get_height() - max(4, self.rect.height // 60)
        self.screen.blit(image, (x, y))

    def screenshot(self) -> Path:
        """The console's picture at 256 x 240 as a PNG in the states folder."""
        self._update_picture()
        path = self._stamped(".png")
        pygame.image.save(self.picture, str(path))
        return path

    def _pace(self, sound: bool) -> None:
        if not self.realtime:
            return
        if self.audio is None or not sound:
            if self.audio is not None:
                self.audio.pump()
            self.clock.tick(FRAME_RATE)
            return
        waited_since = time.monotonic()
        self.audio.pump()
        while self.audio.backlog() > 1:
            pygame.time.wait(1)
            self.audio.pump()
            if time.monotonic() - waited_since > 1.0:
                # The device takes nothing: carry on without it.
                print("the sound device stalled; pacing by the clock", file=sys.stderr)
                self.audio.close()
                self.audio = None
                return

    # -- loop
    def _run_frame(self, sound: bool) -> None:
        inputs = self.inputs
        if self.playback is not None:
            one, two = self.playback[self.played]
            inputs = [[(one >> b) & 1 for b in range(8)], [(two >> b) & 1 for b in range(8)]]
            for pad, buttons in zip(self.pads, inputs):
                pad.updateInputs(buttons)
        if self.recording is not None:
            self.recording.append(*(sum(bit << b for b, bit in enumerate(buttons)) for buttons in inputs))
        self.nes.runFrame()
        if self.playback is not None:
            self.played += 1
            if self.played >= len(self.playback):
                self.playback = None
                self._say(f"movie over after {self.played} frames: your turn")
        self.frames += 1
        block = self.nes.getAudio()[0]
        if sound and self.audio is not None and block:
            self.audio.push(block)
        if self.ring is not None:
            self.ring.after_frame(self.nes)

    def step(self) -> None:
        self._run_frame(sound=True)
        self.draw()
        self._pace(sound=True)

    def tick(self, max_frames: int | None = None) -> None:
        """One picture's worth: read the input, then rewind, wait (paused), fast-forward
        or run a frame, and show the picture."""
        for event in self.source.poll():
            self.handle(event)
        if not self.running:
            return
        self.inputs = [self.controls.buttons(0), self.controls.buttons(1)]
        for pad, buttons in zip(self.pads, self.inputs):
            pad.updateInputs(buttons)

        if self.ring is not None and self.controls.command("Rewind"):
            # One snapshot per `every` pictures: rewinding takes as long as the play did.
            if self._rewind_ticks % self.ring.every == 0:
                moved = self.ring.back(self.nes)
                self.mode = "<< rewind" if moved else "<< oldest point"
                if moved:
                    self._time_jump()
            self._rewind_ticks += 1
            self.draw()
            self._pace(sound=False)
            return
        self._rewind_ticks = 0
        if self.paused:
            self.mode = ""
            self.draw()
            if self.realtime:
                self.clock.tick(30)
            return
        count = self.ff if self.controls.command("FastForward") else 1
        if max_frames is not None:
            count = max(1, min(count, max_frames - self.frames))
        self.mode = f">> x{self.ff}" if count > 1 else ""
        for _ in range(count):
            self._run_frame(sound=count == 1)
        self.draw()
        self._pace(sound=count == 1)

    def run(self, max_frames: int | None = None) -> None:
        while self.running:
            self.tick(max_frames)
            if max_frames is not None and self.frames >= max_frames:
                break

    def close(self) -> None:
        if self.recording is not None:
            self.stop_recording()
        # stop() writes battery RAM; without a run thread it then raises.
        try:
            self.nes.stop()
        except RuntimeError:
            pass
        if self.audio is not None:
            self.audio.close()
        pygame.display.quit()


# ---------------------------------------------------------------- command line


def _keys_help() -> str:
    def names(section: str, target: str) -> str:
        return "/".join(DEFAULT_MAP[section].get(target, [])) or "-"

    rows = [
        f"  {t:<11} {names('keys1', t):<16} {names('keys2', t):<14} {names('pad', t)}" for t in ("button", *TARGETS)
    ]
    rows[0] = f"  {'button':<11} {'player 1 keys':<16} {'player 2 keys':<14} pads (--pad2: the first is player 2)"
    return "\n".join(
        [
            *rows,
            "commands: P pause, 1-9 slot, F5 save state, F9 load state, F10 start/stop recording a movie,",
            "  F11 or Alt+Enter full screen, F12 screenshot (into the states folder), Esc quit",
            "movies: a rewind or a state load ends a recording (saved as it stands) or a playback",
            "mapping: a TOML file (--config, default ~/.config/velkora/play.toml) with sections",
            '  [keys1] [keys2] [pad] of BUTTON = "INPUT" or ["INPUT", ...]; --map keys2.A=h,j',
            "  keys: pygame's K_ names without K_ (x, return, rshift); pad: buttonN, hatNup,",
            "  hatNdown, hatNleft, hatNright, axisN+, axisN-",
        ]
    )


def _rewind_help(seconds: float, every: int) -> str:
    count = rewind_capacity(seconds, every)
    return (
        f"seconds of play kept for rewinding (default {seconds:g}: {count} snapshots, one "
        f"every {every} frames, about {count * TYPICAL_PACKED_BYTES / 1e6:.0f} MB at a typical "
        f"{TYPICAL_PACKED_BYTES / 1000:g} KB each compressed); 0 turns rewinding off"
    )


def _aspect(text: str) -> float:
    left, colon, right = text.partition(":")
    try:
        value = float(left) / float(right) if colon else float(text)
    except (ValueError, ZeroDivisionError):
        value = 0.0
    if not 0.5 <= value <= 2.0:
        raise argparse.ArgumentTypeError(f"not a pixel aspect ratio between 1:2 and 2:1: {text!r}")
    return value


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="velkora-play",
        description=" ".join(__doc__.split("\n\n")[0].split()),
        epilog=_keys_help(),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("rom", nargs="?", help="an iNES cartridge image (default: the demo cartridge)")
    p.add_argument("--scale", type=int, default=3, help="window size in multiples of 256 x 240")
    p.add_argument("--states", help="folder of the save states and screenshots (default beside the battery RAM)")
    p.add_argument("--mute", action="store_true", help="no sound; pace by the clock")
    p.add_argument("--frames", type=int, help="quit after this many frames")
    p.add_argument("--pad2", action="store_true", help="the keyboard is player 1, the first pad player 2")
    p.add_argument("--config", type=Path, help="mapping file (TOML, see below)")
    p.add_argument(
        "--map",
        action="append",
        default=[],
        metavar="SECTION.BUTTON=INPUT[,INPUT]",
        help="change one button's inputs, e.g. pad.A=button2 or keys1.B=lctrl (repeatable)",
    )
    p.add_argument("--dead-zone", type=float, default=0.5, help="stick deflection that counts (0-1, default 0.5)")
    p.add_argument(
        "--ff", type=int, default=4, metavar="N", help="frames per picture while fast-forwarding (default 4)"
    )
    p.add_argument("--rewind-seconds", type=float, default=180.0, help=_rewind_help(180.0, 3))
    p.add_argument(
        "--rewind-mb",
        type=float,
        default=32.0,
        metavar="M",
        help="never keep more than M MB of rewind snapshots: past it the oldest go first (default 32)",
    )
    p.add_argument(
        "--rewind-every", type=int, default=3, metavar="K", help="take a rewind snapshot every K frames (default 3)"
    )
    p.add_argument("--fullscreen", action="store_true", help="start in full screen")
    p.add_argument(
        "--aspect",
        type=_aspect,
        default=1.0,
        metavar="W:H",
        help="pixel aspect ratio, e.g. 8:7 (default 1:1, square pixels)",
    )
    p.add_argument(
        "--movie",
        type=Path,
        metavar="FILE",
        help="play this movie (.vmv or .fm2) back from its start, then hand over the pads",
    )
    p.add_argument(
        "--record",
        type=Path,
        metavar="FILE",
        help="record from power-on into FILE (.vmv or .fm2), and F10's later movies beside it "
        "(default: F10 writes into the states folder)",
    )
    p.add_argument(
        "--timing",
        choices=TIMINGS,
        help="the console's timing model (default: VELKORA_TIMING, else design; a --movie plays in its own)",
    )
    p.add_argument("--verbose", action="store_true", help="print the console loader's lines")
    return p


def main(argv: list[str] | None = None, source=None) -> int:
    cli = parser()
    args = cli.parse_args(argv)
    if (
        args.ff < 1
        or args.rewind_every < 1
        or args.rewind_seconds < 0
        or args.rewind_mb <= 0
        or not 0 <= args.dead_zone < 1
    ):
        cli.error(
            "--ff and --rewind-every must be at least 1, --rewind-seconds not negative, --rewind-mb positive, "
            "--dead-zone from 0 to below 1"
        )
    config_path = args.config or default_config_path()
    try:
        config = load_config(config_path) if args.config or config_path.is_file() else None
        mapping = build_mapping(config, args.map)
    except MapError as error:
        cli.error(str(error))

    if args.record is not None and not args.record.name.lower().endswith(MOVIE_SUFFIXES):
        cli.error(f"--record {args.record}: name a movie file ({', '.join(MOVIE_SUFFIXES)})")
    if args.movie is not None and args.record is not None:
        cli.error("--movie and --record: play one back, then press F10 to record from there")
    try:
        resolve_timing(args.timing)
    except ValueError as error:
        cli.error(str(error))
    movie = None
    if args.movie is not None:
        try:
            movie = Movie.load(args.movie, rom=args.rom)
        except (OSError, ValueError) as error:
            cli.error(f"--movie: {error}")
    rom = Path(args.rom) if args.rom else (movie.rom_path if movie is not None and movie.rom_path else demo_rom())
    if not rom.is_file():
        cli.error(f"no such cartridge: {rom}")
    try:
        player = Player(
            rom,
            scale=args.scale,
            states=args.states,
            mute=args.mute,
            mapping=mapping,
            pad2=args.pad2,
            dead_zone=args.dead_zone,
            ff=args.ff,
            rewind_seconds=args.rewind_seconds,
            rewind_every=args.rewind_every,
            rewind_mb=args.rewind_mb,
            fullscreen=args.fullscreen,
            pixel_aspect=args.aspect,
            source=source,
            movie=movie,
            record=args.record,
            timing=args.timing,
            verbose=args.verbose,
        )
    except ValueError as error:
        cli.error(str(error))
    started = time.perf_counter()
    try:
        player.run(args.frames)
    finally:
        player.close()
    elapsed = time.perf_counter() - started
    print(f"played {player.frames} frames in {elapsed:.1f} s")
    if player.ring is not None:
        print(f"rewind buffer: {len(player.ring)} snapshots, {player.ring.bytes / 1e6:.1f} MB")
    for path in player.recordings:
        print(f"movie: {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
