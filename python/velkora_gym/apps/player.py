"""Plays a cartridge in a window: sound, two players on keyboard and gamepads, save states,
fast-forward, rewind, movies, full screen and screenshots.

    velkora-play [ROM] [--scale 3] [--states DIR] [--mute] [--frames N] [--pad2]
                 [--config FILE] [--map SECTION.BUTTON=INPUT,...] [--ff 4]
                 [--rewind-seconds 180] [--rewind-mb 32] [--fullscreen] [--aspect 8:7]
                 [--movie FILE] [--record FILE] [--timing design|hardware] [--verbose]

Without ROM it plays the demo cartridge that comes with the package (with --movie: the
movie's cartridge). Needs pygame: pip install velkora[play] (also ``python -m
velkora_gym.player``). Its parts: ``keymaps`` (keyboard, pads and their mapping),
``rewind``, ``audio`` and ``window``; ``session`` holds what it shares with the studio.

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
import sys
import time
from pathlib import Path

import pygame

import velkora
import velkora_gym
from velkora_gym.apps.audio import AudioOut
from velkora_gym.apps.keymaps import (
    DEFAULT_MAP,
    SLOT_KEYS,
    TARGETS,
    Controls,
    FocusLost,
    Key,
    MapError,
    PadAdded,
    PadAxis,
    PadButton,
    PadHat,
    PadRemoved,
    PygameInput,
    Quit,
    build_mapping,
    default_config_path,
    load_config,
)
from velkora_gym.apps.rewind import TYPICAL_PACKED_BYTES, RewindRing, rewind_capacity
from velkora_gym.apps.session import Tape, add_console_options, bits, open_console, print_movies
from velkora_gym.apps.window import Window
from velkora_gym.console import FRAME_RATE
from velkora_gym.files import data_folder, demo_rom
from velkora_gym.movie import Movie
from velkora_gym.timings import resolve_timing

MESSAGE_SECONDS = 1.5
MOVIE_SUFFIXES = (".vmv", ".fm2", ".vmv.gz", ".fm2.gz")


def default_states_dir(rom: Path) -> Path:
    """Beside the game's battery RAM folder: <data>/velkora/<game>/states."""
    return data_folder() / rom.stem.replace(" ", "_") / "states"


class Player(Tape):
    """A cartridge in a window, played: ``tick()`` reads the input and shows a picture's
    worth of frames. ``source`` stands in for the keyboard and pads (keymaps.ScriptedInput);
    ``realtime=False`` runs as fast as it can."""

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
        self.rom = Path(rom)
        self.nes = open_console(self.rom, timing, movie, verbose)
        self.window = Window(scale, pixel_aspect, fullscreen)
        self.clock = pygame.time.Clock()
        self.realtime = realtime
        self.source = source if source is not None else PygameInput()
        self.pads = [velkora.Controller(), velkora.Controller()]
        for port, pad in enumerate(self.pads):
            self.nes.setController(pad, port)
        self.controls = Controls(mapping, pad_players=(1,) if pad2 else (0, 1), dead_zone=dead_zone)
        self.ff = max(1, ff)

        self.states = Path(states) if states else default_states_dir(self.rom)
        self.states.mkdir(parents=True, exist_ok=True)
        self.nes.setSaveDir(str(self.states))
        self.slot = 1

        self.inputs = [[0] * 8, [0] * 8]
        self.message = ""
        self._load_tape(movie, record or None)
        if movie is None and self.record_path is not None:
            self.record_from_power_on(velkora_gym.timing(self.nes))

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
        self.message_until = 0.0
        self._caption()

    @property
    def screen(self) -> pygame.Surface:
        return self.window.screen

    # -- input
    def handle(self, event) -> None:
        c = self.controls
        if isinstance(event, Quit):
            self.running = False
        elif isinstance(event, Key):
            if event.down and event.alt and event.key in (pygame.K_RETURN, pygame.K_KP_ENTER):
                self.window.toggle_fullscreen()  # and Start stays as it was
            elif not c.key(event.key, event.down) and event.down:
                self._command(event.key)
        elif isinstance(event, FocusLost):
            c.release_keys()  # their key-ups go to another window
        elif isinstance(event, PadAdded):
            self.say(c.pad_added(event.pad, event.name) or self.message)
        elif isinstance(event, PadRemoved):
            self.say(c.pad_removed(event.pad) or self.message)
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
            self.say("paused" if self.paused else "")
        elif key in SLOT_KEYS:
            self.slot = SLOT_KEYS[key]
            self.say(f"slot {self.slot}")
        elif key == pygame.K_F5:
            self.nes.saveState(self.slot)
            self.say(f"saved slot {self.slot}")
        elif key == pygame.K_F9:
            loaded = self.nes.loadState(self.slot)
            if loaded and self.ring is not None:
                self.ring.at_newest = False  # rewinding goes back to before the load
            self.say(f"loaded slot {self.slot}" if loaded else f"slot {self.slot} is empty")
            if loaded:
                self._time_jump(self.message)
        elif key == pygame.K_F10:
            if self.recording is None:
                self.start_recording()
            else:
                self.stop_recording()
        elif key == pygame.K_F11:
            self.window.toggle_fullscreen()
        elif key == pygame.K_F12:
            path = self.screenshot()
            self.say(f"screenshot {path.name}")

    # -- movies
    def _new_movie_path(self) -> Path:
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
        said = ([what] if what else []) + self._leave_timeline()
        if said:
            self.say("; ".join(said))

    def say(self, text: str) -> None:
        self.message = text
        self.message_until = time.monotonic() + MESSAGE_SECONDS if text else 0.0
        self._caption()

    def _caption(self) -> None:
        extra = f" - {self.message}" if self.message else ""
        timing = " - hardware timing" if velkora_gym.timing(self.nes) == "hardware" else ""
        pygame.display.set_caption(f"velkora - {self.rom.stem}{timing} - slot {self.slot}{extra}")

    # -- output
    def draw(self) -> None:
        if time.monotonic() < self.message_until:
            bottom = self.message
        else:
            bottom = "paused" if self.paused else ""
        self.window.show(self.nes.getImg(), self.mode, bottom)
        self.drawn += 1

    def screenshot(self) -> Path:
        """The console's picture at 256 x 240 as a PNG in the states folder."""
        path = self._stamped(".png")
        self.window.save(self.nes.getImg(), path)
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
        playing = self.playback is not None
        masks = self._tape_masks(*(sum(bit << b for b, bit in enumerate(buttons)) for buttons in self.inputs))
        if playing:
            for pad, mask in zip(self.pads, masks):
                pad.updateInputs(bits(mask))
        self.nes.runFrame()
        self._tape_ran()
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
        self.window.close()


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
    add_console_options(p)
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
    print_movies(player.recordings)
    return 0


if __name__ == "__main__":
    sys.exit(main())
