"""velkora-studio ROM [--integration DIR]: play a game while finding its
variables in memory, and write its integration folder (by default a folder named after
the ROM in your integrations folder, where game= finds it).

Play with the keyboard (arrows, X = A, Z = B, Enter = Start, Right Shift = Select), pause
with P, step one frame with the period key, hold F to fast-forward (--ff frames a picture).
F10 starts and stops recording a movie of both joypads (--record names the file; default
ROM_NAME-TIME.vmv in the folder); --movie FILE plays one back, then hands over the keyboard.
Tab opens the command line (type ``help``).
F1 / F2 / F3 / F4 keep the candidates that increased / decreased / changed / did not
change since the last narrowing, F7 starts the search over. F6 saves the machine as the
start state ``NAME.state`` in the folder (a velkora snapshot) and writes data.json,
scenario.json, metadata.json and rom.sha; F8 writes the files only; F9 goes back to the
start state (which, like any jump in time, ends a recording or a playback). Esc quits.
There is no sound. --timing runs the console in the design's timing model or the
hardware's (default: VELKORA_TIMING, else design); start states keep the timing they were
saved in, and a movie plays back in its own.

The logic is the class ``Studio``, fed key names (as written above, any case) and typed
text; the window only draws it.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np

from velkora_gym import restore, snapshot
from velkora_gym import timing as timing_of
from velkora_gym.actions import mask_of
from velkora_gym.apps.session import Tape, add_console_options, bits, open_console, print_movies
from velkora_gym.batch import check_board, read_image
from velkora_gym.console import HEIGHT, WIDTH
from velkora_gym.files import imported_folder, write_file
from velkora_gym.integration import folders as integrations
from velkora_gym.integration import roms
from velkora_gym.integration.ram_search import DEFAULT_TYPES, OPS, RamSearch
from velkora_gym.movie import Movie

# Key names as pygame.key.name gives them, which key() takes in any case.
PAD_KEYS = {
    "x": "A",
    "z": "B",
    "right shift": "select",
    "return": "start",
    "up": "up",
    "down": "down",
    "left": "left",
    "right": "right",
}
PAD_ORDER = ("A", "B", "select", "start", "up", "down", "left", "right")
QUICK_NARROW = {"f1": "increased", "f2": "decreased", "f3": "changed", "f4": "unchanged"}
COMMAND_KEYS = ("f", "p", ".", "tab", *QUICK_NARROW, "f6", "f7", "f8", "f9", "f10", "escape", "backspace")
# The names the documentation gives keys, where pygame's differ.
KEY_ALIASES = {"enter": "return", "esc": "escape", "rshift": "right shift", "period": "."}
KEY_NAMES = (
    "Up, Down, Left, Right, X, Z, Enter (or Return), Right Shift, F, P, '.', Tab, F1, F2, F3, F4, F6, F7, F8, F9, "
    "F10, Esc (or Escape), Backspace"
)
SYMBOLS = {
    "=": "equal",
    "==": "equal",
    "!=": "not-equal",
    "<": "less-than",
    ">": "greater-than",
    "+": "increased",
    "-": "decreased",
}
SHOWN_CANDIDATES = 8
MESSAGE_FRAMES = 180

HELP = [
    "narrow: equal|=, not-equal|!=, less-than|<, greater-than|> [N]; increased|+ [N]; decreased|- [N];",
    "  changed; unchanged (no N: against the value at the last narrowing); reset; types |u1 >n6 ...",
    "watch NAME [ADDRESS TYPE] (no address: the one candidate left); unwatch NAME",
    "reward NAME [REWARD [PENALTY]] | reward NAME off; done NAME OP [REFERENCE] | done NAME off;",
    "  condition any|all; state NAME (F6's name); default NAME|none; save (F8); savestate [NAME] (F6);",
    "load [NAME] (F9: back to a start state); record [FILE] (F10: starts, or stops, a movie)",
    "actions COMBO... [| COMBO...] (groups; a COMBO is none or buttons joined by +, e.g. UP+A);",
    "  actions add COMBO...; actions off; actions (shows them)",
    "pause; resume; quit",
]


class CommandError(ValueError):
    """A typed command that cannot be done; the studio shows the message and goes on."""


def _number(text: str) -> float:
    """Decimal, or hexadecimal as $1F or 0x1F."""
    try:
        if text.startswith("$"):
            return int(text[1:], 16)
        if text.lower().startswith("0x"):
            return int(text, 16)
        value = float(text)
        return int(value) if value.is_integer() else value
    except ValueError:
        raise CommandError(f"{text!r} is not a number") from None


def key_name(name: str) -> str | None:
    """The studio's name of a key (pygame's, lower case), or None when it has no use for it."""
    spaced = " ".join(str(name).lower().replace("_", " ").split())
    spaced = KEY_ALIASES.get(spaced, spaced)
    return spaced if spaced in PAD_KEYS or spaced in COMMAND_KEYS else None


def _combination(word: str) -> list[str]:
    """An action group's entry: "none" (or "-") for no button, else buttons joined by "+"."""
    if word.lower() in ("none", "-", "noop"):
        return []
    names = [name.upper() for name in word.split("+")]
    try:
        mask_of(names)
    except ValueError as error:
        raise CommandError(str(error)) from None
    return names


def _group_text(group: list[list[str]]) -> str:
    return " ".join("+".join(combination) or "none" for combination in group)


def _json(value: Any) -> bytes:
    return (json.dumps(value, indent=2) + "\n").encode()


class Studio(Tape):
    """A console, a RAM search and the integration being written, driven by key names
    (``key(name, down)``), typed text (``text``) or whole commands (``command``); ``tick()``
    runs one picture's worth of frames. ``integration`` is the folder written (default: the
    ROM's name in your integrations folder); an existing one is edited. ``verbose`` lets the
    console loader print its lines."""

    def __init__(
        self,
        rom: str | os.PathLike[str],
        integration: str | os.PathLike[str] | None = None,
        *,
        movie: Movie | None = None,
        record: str | os.PathLike[str] | None = None,
        ff: int = 4,
        timing: str | None = None,
        verbose: bool = False,
    ) -> None:
        import velkora

        self.rom = Path(rom)
        self.image = read_image(self.rom)
        check_board(self.image)
        self.folder = Path(integration) if integration is not None else integrations.user_folder() / self.rom.stem
        self.nes = open_console(self.rom, timing, movie, verbose)
        self.pad = velkora.Controller()
        self.pad2 = velkora.Controller()  # released, unless a movie plays
        self.nes.setController(self.pad, 0)
        self.nes.setController(self.pad2, 1)
        self.ff = max(1, int(ff))
        self.fast = False
        self._load_tape(movie, record)
        self.held: set[str] = set()
        self.paused = False
        self.running = True
        self.frame = 0
        self.search = RamSearch(self.nes)
        self.narrowings = 0
        self.typing: str | None = None
        self.messages: list[tuple[str, int]] = []
        self.log: list[str] = []
        self.state_name = "Start"
        # The folder's files as they were, so keys the studio does not edit are kept.
        self._scenario: dict[str, Any] = {}
        self._metadata: dict[str, Any] = {}
        self.watched: dict[str, integrations.Variable] = {}
        self.rewards: dict[str, dict[str, float]] = {}
        self.done: dict[str, dict[str, Any]] = {}
        self.condition = "any"
        self.default_state: str | None = None
        self.states: list[str] = []
        self.actions: list[list[list[str]]] | None = None  # scenario.json's action groups, by name
        self.written: list[Path] = []  # every file this studio wrote, first write first
        if (self.folder / "data.json").exists():
            self._load()

    def _load(self) -> None:
        game = integrations.load(self.folder)  # a broken folder is refused, not overwritten
        self.watched = dict(game.variables)
        self._scenario = json.loads((self.folder / "scenario.json").read_text())
        reward = self._scenario.get("reward", {})
        self.rewards = {name: dict(spec) for name, spec in reward.get("variables", {}).items()}
        done = self._scenario.get("done", {})
        self.done = {name: dict(spec) for name, spec in done.get("variables", {}).items()}
        self.condition = done.get("condition", "any")
        self.actions = self._scenario.get("actions")
        if (self.folder / "metadata.json").exists():
            self._metadata = json.loads((self.folder / "metadata.json").read_text())
        self.default_state, self.states = game.default_state, list(game.states)
        if self.default_state:
            self.state_name = self.default_state
        self.say(f"loaded {self.folder}: {len(self.watched)} variables")

    # --- what the window shows ---
    def say(self, text: str) -> None:
        self.messages.append((text, self.frame + MESSAGE_FRAMES))
        self.messages = self.messages[-4:]
        self.log.append(text)

    def picture(self) -> np.ndarray:
        return np.array(self.nes.getImg())

    def values(self) -> dict[str, int]:
        ram = np.array(self.nes.cpuMem()[:0x800])[None]
        prg = np.array(self.nes.cpuMem()[0x6000:0x8000])[None]
        return {name: int(v.read(ram, prg)[0]) for name, v in self.watched.items()}

    def overlay(self) -> list[str]:
        """The lines drawn over the picture."""
        lines = [
            f"{'PAUSED ' if self.paused else ''}frame {self.frame}   "
            f"search {' '.join(self.search.types)}: {len(self.search)} candidates"
        ]
        if self.narrowings:
            lines += [
                f"  ${address:04X} {kind} = {value}"
                for address, kind, value in self.search.candidates(SHOWN_CANDIDATES)
            ]
        lines += [f"{name} = {value}" for name, value in self.values().items()]
        lines += [text for text, until in self.messages if until >= self.frame or self.paused]
        if self.typing is not None:
            lines.append(f"> {self.typing}_")
        return lines

    # --- input ---
    def key(self, name: str, down: bool = True) -> None:
        """A key pressed (``down``) or released, by the name the documentation gives it
        ("Enter", "F6", "Right Shift") or pygame's, in any case; ValueError for a key the
        studio has no use for."""
        canonical = key_name(name)
        if canonical is None:
            raise ValueError(f"the studio has no key {name!r}; its keys: {KEY_NAMES}")
        name = canonical
        if self.typing is not None:
            if not down:
                return
            if name == "return":
                line, self.typing = self.typing, None
                self.command(line)
            elif name == "escape":
                self.typing = None
            elif name == "backspace":
                self.typing = self.typing[:-1]
            return
        if name in PAD_KEYS:
            (self.held.add if down else self.held.discard)(PAD_KEYS[name])
            return
        if name == "f":
            self.fast = down
            return
        if not down:
            return
        if name == "tab":
            self.typing = ""
            self.held.clear()
        elif name == "p":
            self.command("resume" if self.paused else "pause")
        elif name == "." and self.paused:
            self._run_frame()
        elif name in QUICK_NARROW:
            self.command(QUICK_NARROW[name])
        elif name == "f7":
            self.command("reset")
        elif name == "f6":
            self.command("savestate")
        elif name == "f8":
            self.command("save")
        elif name == "f9":
            self.command("load")
        elif name == "f10":
            self.command("record")
        elif name == "escape":
            self.running = False

    def text(self, characters: str) -> None:
        """Typed characters, for the command line when it is open."""
        if self.typing is not None:
            self.typing += characters

    def tick(self) -> None:
        """One picture's worth of time: a frame (``ff`` while F is held), unless paused."""
        if not self.paused:
            for _ in range(self.ff if self.fast else 1):
                self._run_frame()

    def _run_frame(self) -> None:
        # The second pad is released unless a movie plays back.
        one, two = self._tape_masks(sum(1 << bit for bit, button in enumerate(PAD_ORDER) if button in self.held), 0)
        self.pad.updateInputs(bits(one))
        self.pad2.updateInputs(bits(two))
        self.nes.runFrame()
        self.frame += 1
        self._tape_ran()

    # --- movies ---
    def _new_movie_path(self) -> Path:
        return self.folder / f"{self.rom.stem}-{time.strftime('%Y%m%d-%H%M%S')}-{len(self.recordings) + 1}.vmv"

    def _time_jump(self) -> None:
        """A restored state leaves the movies' timeline."""
        for said in self._leave_timeline():
            self.say(said)

    # --- commands ---
    def command(self, line: str) -> None:
        """Runs a typed command; a mistake is shown, never raised."""
        words = line.split()
        if not words:
            return
        try:
            self._command(words[0].lower(), words[1:])
        except (CommandError, ValueError, OSError) as error:
            self.say(f"{words[0]}: {error}")

    def _command(self, verb: str, args: list[str]) -> None:
        verb = SYMBOLS.get(verb, verb)
        if verb in OPS:
            if len(args) > 1:
                raise CommandError("takes at most one number")
            left = self.search.narrow(verb, _number(args[0]) if args else None)
            self.narrowings += 1
            self.say(f"{verb}{' ' + args[0] if args else ''}: {left} candidates")
        elif verb == "reset":
            self.search.reset()
            self.narrowings = 0
            self.say(f"search reset: {len(self.search)} candidates")
        elif verb == "types":
            self.search = RamSearch(self.nes, types=args or DEFAULT_TYPES)
            self.narrowings = 0
            self.say(f"searching {' '.join(self.search.types)}: {len(self.search)} candidates")
        elif verb == "list":
            for address, kind, value in self.search.candidates(SHOWN_CANDIDATES * 4):
                self.log.append(f"${address:04X} {kind} = {value}")
            self.say(f"{len(self.search)} candidates")
        elif verb == "watch":
            self._watch(args)
        elif verb == "unwatch":
            self._need(args, 1, "unwatch NAME")
            if args[0] not in self.watched:
                raise CommandError(f"no variable {args[0]}")
            if args[0] in self.rewards or args[0] in self.done:
                raise CommandError(f"{args[0]} is used by the reward or done: take it out there first")
            del self.watched[args[0]]
            self.say(f"unwatched {args[0]}")
        elif verb == "reward":
            self._reward(args)
        elif verb == "done":
            self._done(args)
        elif verb == "condition":
            self._need(args, 1, "condition any|all")
            if args[0] not in integrations.CONDITIONS:
                raise CommandError("the condition is any or all")
            self.condition = args[0]
            self.say(f"an episode ends when {self.condition} of the done tests hold")
        elif verb == "state":
            self._need(args, 1, "state NAME")
            self.state_name = self._state_name(args[0])
            self.say(f"F6 saves start state {self.state_name}")
        elif verb == "default":
            self._need(args, 1, "default NAME|none")
            self.default_state = None if args[0].lower() == "none" else self._state_name(args[0])
            self.say(f"default state: {self.default_state or 'none (power-on)'}")
        elif verb == "savestate":
            self.save_state(self._state_name(args[0]) if args else self.state_name)
        elif verb == "save":
            self.write()
        elif verb == "load":
            self.load_state(self._state_name(args[0]) if args else self.state_name)
        elif verb == "record":
            if len(args) > 1:
                raise CommandError("usage: record [FILE]")
            if self.recording is not None:
                self.stop_recording()
            else:
                self.start_recording(Path(args[0]) if args else None)
        elif verb == "actions":
            self._actions(args)
        elif verb == "pause":
            self.paused = True
            self.held.clear()
        elif verb in ("resume", "play"):
            self.paused = False
        elif verb == "help":
            for line in HELP:
                self.say(line)
        elif verb == "quit":
            self.running = False
        else:
            raise CommandError("unknown command (type help)")

    @staticmethod
    def _need(args: list[str], count: int, usage: str) -> None:
        if len(args) != count:
            raise CommandError(f"usage: {usage}")

    @staticmethod
    def _state_name(name: str) -> str:
        name = name.removesuffix(".state")
        if not name or not all(c.isalnum() or c in "-_." for c in name) or name.startswith("."):
            raise CommandError(f"{name!r} is not a state name (letters, digits, - _ .)")
        return name

    def _watch(self, args: list[str]) -> None:
        if len(args) not in (1, 3) or not args[0].isidentifier():
            raise CommandError("usage: watch NAME [ADDRESS TYPE]")
        name = args[0]
        if len(args) == 1:
            if len(self.search) != 1:
                raise CommandError(f"{len(self.search)} candidates: narrow to one, or give ADDRESS TYPE")
            address, kind, _ = self.search.candidates()[0]
        else:
            address, kind = int(_number(args[1])), args[2]
        try:
            self.watched[name] = integrations.parse_variable(name, {"address": address, "type": kind}, name)
        except integrations.IntegrationError as error:
            raise CommandError(str(error)) from None
        self.say(f"watching {name}: ${address:04X} {kind}")

    def _reward(self, args: list[str]) -> None:
        if not 1 <= len(args) <= 3:
            raise CommandError("usage: reward NAME [REWARD [PENALTY]] | reward NAME off")
        name = args[0]
        if len(args) == 2 and args[1] == "off":
            self.rewards.pop(name, None)
            self.say(f"{name} gives no reward")
            return
        if name not in self.watched:
            raise CommandError(f"watch {name} first")
        spec = {"reward": float(_number(args[1])) if len(args) > 1 else 1.0}
        if len(args) == 3:
            spec["penalty"] = float(_number(args[2]))
        self.rewards[name] = spec
        self.say(f"reward: {name} x {spec['reward']:g}" + (f", penalty {spec['penalty']:g}" if len(args) == 3 else ""))

    def _done(self, args: list[str]) -> None:
        if len(args) == 2 and args[1] == "off":
            self.done.pop(args[0], None)
            self.say(f"{args[0]} no longer ends an episode")
            return
        if len(args) not in (2, 3):
            raise CommandError("usage: done NAME OP [REFERENCE] | done NAME off")
        name, op = args[0], args[1]
        if name not in self.watched:
            raise CommandError(f"watch {name} first")
        if op not in integrations.OPS:
            raise CommandError(f"OP is one of {', '.join(integrations.OPS)}")
        spec: dict[str, Any] = {"op": op}
        if len(args) == 3:
            spec["reference"] = _number(args[2])
        self.done[name] = spec
        self.say(f"done when {name} {op}{' ' + args[2] if len(args) == 3 else ''}")

    def _actions(self, args: list[str]) -> None:
        if not args:
            groups = " x ".join(f"[{_group_text(group)}]" for group in self.actions or [])
            self.say(f"actions: {groups}" if groups else "actions: none set (the environments' own set)")
            return
        if args == ["off"]:
            self.actions = None
            self.say("no action groups: the environments use their own set")
            return
        adding = args[0].lower() == "add"
        words = args[1:] if adding else args
        groups: list[list[list[str]]] = [[]]
        for word in words:
            if word == "|":
                groups.append([])
            else:
                groups[-1].append(_combination(word))
        if not all(groups) or (adding and len(groups) != 1):
            raise CommandError("usage: actions COMBO... [| COMBO...]; actions add COMBO...; actions off")
        self.actions = (self.actions or []) + groups if adding else groups
        sizes = " x ".join(str(len(group)) for group in self.actions)
        self.say(f"actions: {len(self.actions)} group{'s' if len(self.actions) != 1 else ''} ({sizes} choices)")

    # --- the folder ---
    def save_state(self, name: str) -> Path:
        """The machine now as start state `name`, then every file of the folder."""
        self.folder.mkdir(parents=True, exist_ok=True)
        path = self.folder / f"{name}.state"
        write_file(path, snapshot(self.nes))
        self._wrote(path)
        if name not in self.states:
            self.states.append(name)
        if self.default_state is None:
            self.default_state = name
        self.say(f"saved start state {name} ({path.stat().st_size} bytes)")
        self.write()
        return path

    def load_state(self, name: str) -> None:
        path = self.folder / f"{name}.state"
        if not path.is_file():
            raise CommandError(f"no start state {name} in {self.folder}")
        data = path.read_bytes()
        if not data.startswith(integrations.SNAPSHOT_MAGIC):
            raise CommandError(f"{path} is not a velkora snapshot")
        restore(self.nes, data)  # a snapshot of another game is refused, the console unchanged
        self.say(f"back to start state {name} ({timing_of(self.nes)} timing)")
        self._time_jump()

    def files(self) -> dict[str, bytes]:
        """What data.json, scenario.json, metadata.json and rom.sha will hold."""
        data = {"info": {name: {"address": v.address, "type": v.type} for name, v in self.watched.items()}}
        scenario = dict(self._scenario)
        reward = dict(scenario.get("reward", {}))
        reward["variables"] = self.rewards
        done = dict(scenario.get("done", {}))
        done["condition"] = self.condition
        done["variables"] = self.done
        scenario["reward"], scenario["done"] = reward, done
        if self.actions is not None:
            scenario["actions"] = self.actions
        else:
            scenario.pop("actions", None)
        metadata = dict(self._metadata)
        metadata["default_state"] = self.default_state
        if not isinstance(metadata.get("states"), list) or all(isinstance(s, str) for s in metadata["states"]):
            metadata["states"] = list(dict.fromkeys(list(metadata.get("states", [])) + self.states))
        files = {"data.json": _json(data), "scenario.json": _json(scenario), "metadata.json": _json(metadata)}
        sha_path = self.folder / "rom.sha"
        whole, headerless = hashlib.sha1(self.image).hexdigest(), hashlib.sha1(self.image[16:]).hexdigest()
        try:
            kept = sha_path.exists() and {whole, headerless} & set(integrations.read_sha(sha_path))
        except integrations.IntegrationError:
            kept = False
        if not kept:
            files["rom.sha"] = f"{whole}\n".encode()
        return files

    def write(self) -> None:
        """Writes the folder's files, each whole; then loads the folder to check it, and
        imports the ROM (as ``python -m velkora_gym.import`` would) when the folder's rom.sha
        finds no ROM yet, so ``game=`` runs at once."""
        self.folder.mkdir(parents=True, exist_ok=True)
        for name, content in self.files().items():
            write_file(self.folder / name, content)
            self._wrote(self.folder / name)
        game = integrations.load(self.folder)
        self.say(f"wrote {self.folder}")
        sha = next((sha for sha in game.rom_sha if sha in roms.hashes(self.image)), None)
        if sha is not None and roms.find_rom(self.folder, game.rom_sha) is None:
            path = imported_folder() / f"{sha}.nes"
            path.parent.mkdir(parents=True, exist_ok=True)
            write_file(path, self.image)
            self._wrote(path)
            self.say(f"imported the ROM as {path}")

    def _wrote(self, path: Path) -> None:
        if path not in self.written:
            self.written.append(path)


# ------------------------------------------------------------------ the window


def draw(surface: Any, studio: Studio, font: Any) -> None:
    """The picture scaled to the surface, the overlay's lines over it."""
    import pygame

    from velkora_gym.apps.window import stretch

    stretch(surface, studio.picture())
    y = 4
    for line in studio.overlay():
        text = font.render(line, True, (255, 255, 255))
        shade = pygame.Surface((text.get_width() + 6, text.get_height()), pygame.SRCALPHA)
        shade.fill((0, 0, 0, 170))
        surface.blit(shade, (2, y))
        surface.blit(text, (5, y))
        y += text.get_height()


def run_window(studio: Studio, scale: int = 3, frames: int | None = None) -> None:
    import pygame

    pygame.display.init()
    pygame.font.init()
    surface = pygame.display.set_mode((WIDTH * scale, HEIGHT * scale))
    pygame.display.set_caption(f"velkora studio: {studio.rom.name} -> {studio.folder}")
    font = pygame.font.Font(None, 8 * scale)
    clock = pygame.time.Clock()
    pygame.key.set_repeat()
    try:
        while studio.running and (frames is None or studio.frame < frames):
            for event in pygame.event.get():
                if event.type == pygame.QUIT:
                    studio.running = False
                elif event.type in (pygame.KEYDOWN, pygame.KEYUP):
                    name = pygame.key.name(event.key)
                    down = event.type == pygame.KEYDOWN
                    printable = down and event.unicode and event.unicode.isprintable() and name != "tab"
                    if studio.typing is not None and printable:
                        studio.text(event.unicode)
                    elif key_name(name) is not None:
                        studio.key(name, down)
            studio.tick()
            draw(surface, studio, font)
            pygame.display.flip()
            clock.tick(60)
    finally:
        pygame.display.quit()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="velkora-studio",
        description=__doc__.split("\n\n")[0],
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="\n".join(__doc__.split("\n\n")[1:-1]),
    )
    parser.add_argument("rom", type=Path)
    parser.add_argument(
        "--integration",
        type=Path,
        metavar="DIR",
        help="the integration folder to write (default: ROM_NAME in your integrations folder, "
        f"{integrations.user_folder()}); an existing one is edited",
    )
    parser.add_argument("--scale", type=int, default=3)
    parser.add_argument("--frames", type=int, help="quit after this many frames (for scripted runs)")
    parser.add_argument("--movie", type=Path, metavar="FILE", help="play this movie (.vmv or .fm2) back first")
    parser.add_argument("--record", type=Path, metavar="FILE", help="the file F10's first movie goes to")
    parser.add_argument("--ff", type=int, default=4, metavar="N", help="frames a picture while F is held (default 4)")
    add_console_options(parser)
    args = parser.parse_args(argv)
    try:
        movie = Movie.load(args.movie, rom=args.rom) if args.movie is not None else None
        studio = Studio(
            args.rom,
            args.integration,
            movie=movie,
            record=args.record,
            ff=args.ff,
            timing=args.timing,
            verbose=args.verbose,
        )
    except (OSError, ValueError) as error:
        print(f"velkora studio: {error}", file=sys.stderr)
        return 1
    print(f"integration folder: {studio.folder} (F6 or F8 writes it)")
    try:
        run_window(studio, args.scale, args.frames)
    finally:
        if studio.recording is not None:
            studio.stop_recording()
    written = [path for path in studio.written if path.parent == studio.folder]
    if written:
        print(f"wrote {', '.join(path.name for path in written)} in {studio.folder}")
    else:
        print(f"no integration files written in {studio.folder} (F6 or F8 writes them)")
    for path in studio.written:
        if path.parent != studio.folder:
            print(f"imported the ROM: {path}")
    print_movies(studio.recordings)
    return 0


if __name__ == "__main__":
    sys.exit(main())
