"""Records N frames of a cartridge to an animated GIF or an MP4, plus a WAV.

    velkora-record [ROM] [--frames N] [--out FILE.gif|FILE.mp4] [--wav FILE]
                   [--every K] [--scale S] [--press FRAMES:BUTTONS ...] [--timing design|hardware]
                   [--verbose]
    velkora-record [ROM] --movie FILE.vmv|FILE.fm2 [--frames N] [--out ...] ...

Without ROM it records the demo cartridge that comes with the package, or with --movie the movie's own
(found by its hash among the package's cartridges and the imported ROMs). --movie replays
the movie from its start, in its timing, both joypads, all its frames (or the first N).
--timing runs the console in the design's timing model or the hardware's (default:
VELKORA_TIMING, else design). Needs imageio (pip install velkora[play]); MP4 also needs
imageio-ffmpeg. --verbose shows the console loader's lines.

--press holds buttons over a range of frames, e.g. --press 60-120:Right+Up --press 130:A
(buttons: A, B, Select, Start, Up, Down, Left, Right; frames count from 1).
"""

from __future__ import annotations

import argparse
import sys
import time
import wave
from pathlib import Path

import numpy as np

import velkora
from velkora_gym.apps.session import add_console_options, open_console
from velkora_gym.console import FRAME_RATE, JOYPAD, SAMPLE_RATE
from velkora_gym.files import demo_rom
from velkora_gym.movie import Movie
from velkora_gym.timings import resolve_timing


def parse_press(spec: str) -> tuple[int, int, set[str]]:
    """'60-120:Right+Up' or '130:A' to (first, last, buttons)."""
    try:
        frames, names = spec.split(":")
        first, _, last = frames.partition("-")
        start, end = int(first), int(last or first)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected FRAME[-FRAME]:BUTTON[+BUTTON], got {spec!r}") from None
    by_lower = {b.lower(): b for b in JOYPAD}
    held = set()
    for name in names.split("+"):
        if name.strip().lower() not in by_lower:
            raise argparse.ArgumentTypeError(f"unknown button {name!r}; use one of {', '.join(JOYPAD)}")
        held.add(by_lower[name.strip().lower()])
    if end < start:
        raise argparse.ArgumentTypeError(f"frame range {frames} runs backwards")
    return start, end, held


def inputs_at(frame: int, presses) -> list[int]:
    held: set[str] = set()
    for first, last, buttons in presses:
        if first <= frame <= last:
            held |= buttons
    return [int(name in held) for name in JOYPAD]


def gif_durations(count: int, every: int) -> list[int]:
    """Per-frame GIF delays in ms: GIFs count in 10 ms steps, so round the
    running total rather than each delay, to keep the average speed right."""
    step = every * 1000 / FRAME_RATE
    marks = [round(i * step / 10) * 10 for i in range(count + 1)]
    return [b - a for a, b in zip(marks, marks[1:])]


def record(rom: Path, frames: int, every: int, presses, scale: int = 1, timing: str = "design", verbose: bool = False):
    """Runs the cartridge from power-on in `timing`; returns (kept pictures, mono 16-bit audio bytes)."""
    nes = open_console(rom, timing, verbose=verbose)
    pad = velkora.Controller()
    nes.setController(pad, 0)
    pictures = []
    audio = bytearray()
    for frame in range(1, frames + 1):
        if presses:
            pad.updateInputs(inputs_at(frame, presses))
        nes.runFrame()
        audio += nes.getAudio()[0]
        if frame % every == 0:
            picture = np.array(nes.getImg())  # a copy: the view changes with the next frame
            if scale > 1:
                picture = picture.repeat(scale, axis=0).repeat(scale, axis=1)
            pictures.append(picture)
    return pictures, bytes(audio)


def record_movie(rom: Path, movie: Movie, every: int, scale: int = 1, verbose: bool = False):
    """Replays the movie on the cartridge, in its timing; returns (kept pictures, mono 16-bit
    audio bytes)."""
    nes = open_console(rom, None, movie, verbose)
    pictures = []
    audio = bytearray()

    def keep(frame: int) -> None:
        audio.extend(nes.getAudio()[0])
        if (frame + 1) % every == 0:
            picture = np.array(nes.getImg())
            if scale > 1:
                picture = picture.repeat(scale, axis=0).repeat(scale, axis=1)
            pictures.append(picture)

    movie.play(nes, on_frame=keep)
    return pictures, bytes(audio)


def write_video(path: Path, pictures, every: int) -> int:
    """Writes the pictures; returns how many frames the file holds (a GIF writer merges
    equal pictures in a row into one longer frame)."""
    import imageio.v2 as imageio_v2
    import imageio.v3 as iio

    if path.suffix.lower() == ".gif":
        iio.imwrite(path, np.stack(pictures), duration=gif_durations(len(pictures), every), loop=0)
        from PIL import Image

        with Image.open(path) as gif:
            return int(gif.n_frames)
    try:
        writer = imageio_v2.get_writer(path, fps=FRAME_RATE / every, codec="libx264", macro_block_size=16, quality=8)
    except (ImportError, ValueError, RuntimeError) as error:
        raise SystemExit(
            f"cannot write {path.suffix} video ({error}); pip install imageio-ffmpeg, or record a .gif"
        ) from None
    with writer:
        for picture in pictures:
            writer.append_data(picture)
    return len(pictures)


def write_wav(path: Path, samples: bytes) -> None:
    with wave.open(str(path), "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(SAMPLE_RATE)
        out.writeframes(samples)


def _ordinal(n: int) -> str:
    return f"{n}{'th' if 10 <= n % 100 <= 20 else {1: 'st', 2: 'nd', 3: 'rd'}.get(n % 10, 'th')}"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="velkora-record", description=__doc__.splitlines()[0])
    parser.add_argument("rom", nargs="?", help="an iNES cartridge image (default: the demo cartridge)")
    parser.add_argument("--frames", type=int, help="frames to run (60 a second; default 300, or the whole movie)")
    parser.add_argument("--movie", type=Path, metavar="FILE", help="replay this movie (.vmv or .fm2)")
    parser.add_argument("--out", help="video file, .gif or .mp4 (default: ROM name .gif)")
    parser.add_argument("--wav", help="audio file (default: the video's name with .wav)")
    parser.add_argument("--every", type=int, default=2, help="keep every K-th frame (default 2: 30 per second)")
    parser.add_argument("--scale", type=int, default=1, help="enlarge the pictures S times")
    parser.add_argument(
        "--press", type=parse_press, action="append", default=[], help="FRAME[-FRAME]:BUTTON[+BUTTON], may repeat"
    )
    add_console_options(parser)
    args = parser.parse_args(argv)
    try:
        timing = resolve_timing(args.timing)
    except ValueError as error:
        parser.error(str(error))
    movie = None
    if args.movie is not None:
        if args.press:
            parser.error("--press and --movie: the movie holds the buttons")
        try:
            movie = Movie.load(args.movie, rom=args.rom)
        except (OSError, ValueError) as error:
            parser.error(f"--movie: {error}")
        if args.rom is None and movie.rom_path is None:
            parser.error(f"--movie: its cartridge (SHA-1 {movie.sha1}) was not found: give ROM")
        if args.timing is not None and args.timing != movie.timing:
            parser.error(f"--movie replays in the {movie.timing} timing, and --timing {args.timing} was given")
        if args.frames is not None and 0 < args.frames < len(movie):
            movie.truncate(args.frames)
        args.frames = len(movie)
    elif args.frames is None:
        args.frames = 300
    if args.frames < 1 or args.every < 1 or args.scale < 1:
        parser.error("--frames, --every and --scale must be at least 1 (and a movie needs a frame)")
    if args.frames < args.every:
        parser.error("--frames must be at least --every, or no picture is kept")

    rom = Path(args.rom) if args.rom else (movie.rom_path if movie is not None else demo_rom())
    if not rom.is_file():
        parser.error(f"no such cartridge: {rom}")
    default = args.movie.name.split(".")[0] if args.movie is not None else rom.stem
    out = Path(args.out) if args.out else Path(f"{default}.gif")
    if out.suffix.lower() not in (".gif", ".mp4"):
        parser.error("--out must end in .gif or .mp4")
    wav = Path(args.wav) if args.wav else out.with_suffix(".wav")

    started = time.perf_counter()
    sys.stdout.flush()
    if movie is not None:
        try:
            pictures, audio = record_movie(rom, movie, args.every, args.scale, args.verbose)
        except ValueError as error:
            parser.error(f"--movie: {error}")
    else:
        pictures, audio = record(rom, args.frames, args.every, args.press, args.scale, timing, args.verbose)
    out.parent.mkdir(parents=True, exist_ok=True)
    wav.parent.mkdir(parents=True, exist_ok=True)
    stored = write_video(out, pictures, args.every)
    write_wav(wav, audio)
    height, width, _ = pictures[0].shape
    kept = "every frame" if args.every == 1 else f"every {_ordinal(args.every)} frame"
    merged = (
        f"; the GIF holds {stored} frame{'s' if stored != 1 else ''}, equal pictures in a row merged"
        if stored != len(pictures)
        else ""
    )
    print(
        f"video: {out} ({len(pictures)} pictures of {width} x {height}, {kept}, "
        f"{FRAME_RATE / args.every:.1f} per second{merged})"
    )
    print(f"audio: {wav} ({len(audio) // 2 / SAMPLE_RATE:.1f} s)")
    print(f"{args.frames} frames run in {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
