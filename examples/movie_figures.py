"""The figures of docs/movies.md: movie round trips on every demo cartridge, the .fm2 round
trip, and the size of a 10-minute movie against a 10-minute MP4 of the same play.

    python examples/movie_figures.py [--frames 1800] [--minutes 10] [--out DIR]

Round trips, in each timing model: a console is brought to the movie's start and driven by
hand (generated presses) while the movie records it; the movie is saved, loaded and replayed
on another console that was busy with a game of its own in the design timing, and every
frame's picture and RAM, and the sound, are compared. Needs imageio and imageio-ffmpeg.
"""

from __future__ import annotations

import argparse
import hashlib
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import velkora
import velkora_gym
from velkora_gym.console import FRAME_RATE
from velkora_gym.files import DEMO_ROM
from velkora_gym.movie import Movie

REPO = Path(__file__).resolve().parents[1]
DEMOS = REPO.parent / "shared" / "roms" / "demos"
PACKAGED = DEMO_ROM


def presses(seed: int, count: int, two_players: bool = True) -> tuple[np.ndarray, np.ndarray]:
    """A person's buttons: a direction held 10-60 frames, A and B tapped, Start every few
    seconds (so games over begin again)."""
    rng = np.random.default_rng(seed)
    pads = []
    for _ in range(2 if two_players else 1):
        masks = np.zeros(count, np.uint8)
        frame = 0
        while frame < count:
            length = int(rng.integers(10, 61))
            masks[frame : frame + length] = [0, 0x10, 0x20, 0x40, 0x80, 0x90, 0x60][int(rng.integers(0, 7))]
            frame += length
        taps = rng.random(count) < 0.03
        masks[taps] |= rng.choice(np.array([0x01, 0x02], np.uint8), int(taps.sum()))
        masks[np.arange(count) % 300 == 150] |= 0x08
        pads.append(masks)
    return pads[0], pads[1] if two_players else np.zeros(count, np.uint8)


class Seen:
    """Each frame's picture and RAM (hashed), and the sound blocks handed out."""

    def __init__(self) -> None:
        self.frames: list[str] = []
        self.sound: list[bytes] = []

    def __call__(self, nes) -> None:
        self.frames.append(
            hashlib.sha1(np.asarray(nes.getImg()).tobytes() + np.asarray(nes.cpuMem()[:0x800]).tobytes()).hexdigest()
        )
        block = nes.getAudio()[0]
        if block:
            self.sound.append(block)

    def matches(self, other: Seen) -> tuple[int, int, int]:
        """Frames alike, sound blocks alike, sound blocks."""
        frames = sum(a == b for a, b in zip(self.frames, other.frames)) if len(self.frames) == len(other.frames) else 0
        sound = sum(a == b for a, b in zip(self.sound, other.sound)) if len(self.sound) == len(other.sound) else 0
        return frames, sound, len(self.sound)


def recorded(rom: Path, movie: Movie, one: np.ndarray, two: np.ndarray, nes) -> Seen:
    # Power-on is the movie's: a console made from a path may have loaded a battery file.
    movie.restore_start(nes)
    pads = [velkora.Controller(), velkora.Controller()]
    for port, pad in enumerate(pads):
        nes.setController(pad, port)
    seen = Seen()
    for a, b in zip(one, two):
        pads[0].updateInputs([(int(a) >> k) & 1 for k in range(8)])
        pads[1].updateInputs([(int(b) >> k) & 1 for k in range(8)])
        movie.append(int(a), int(b))
        nes.runFrame()
        seen(nes)
    return seen


def replayed(movie: Movie, rom: Path) -> Seen:
    nes = velkora.NES(str(rom))
    for _ in range(123):  # busy with a game of its own first
        nes.runFrame()
    seen = Seen()
    movie.play(nes, on_frame=lambda i: seen(nes))
    return seen


def round_trips(frames: int, folder: Path) -> None:
    cartridges = [PACKAGED] + (sorted(DEMOS.glob("*.nes")) if DEMOS.is_dir() else [])
    print(
        "| cartridge | timing | start | frames | .vmv: frames alike | sound blocks alike | .fm2: frames alike "
        "| .vmv bytes |"
    )
    print("| --- | --- | --- | ---: | ---: | ---: | ---: | ---: |")
    for rom in cartridges:
        for timing, start in [(t, s) for t in velkora_gym.TIMINGS for s in ("power-on", "snapshot")]:
            nes = velkora.NES(str(rom))
            snapshot = None
            if start == "snapshot":
                warm_one, warm_two = presses(99, 300)
                recorded(rom, Movie(rom, timing=timing), warm_one, warm_two, nes)
                snapshot = velkora_gym.snapshot(nes, picture=False)
            movie = Movie(rom, start=snapshot, timing=timing)
            one, two = presses(len(rom.name), frames)
            truth = recorded(rom, movie, one, two, nes)
            movie.save(folder / "m.vmv")
            alike, sound, blocks = truth.matches(replayed(Movie.load(folder / "m.vmv", rom=rom), rom))
            fm2 = "(no .fm2 from a snapshot)"
            if snapshot is None:
                movie.save(folder / "m.fm2")
                fm2 = f"{truth.matches(replayed(Movie.load(folder / 'm.fm2', rom=rom), rom))[0]}/{frames}"
            print(
                f"| {rom.stem} | {timing} | {start} | {frames} | {alike}/{frames} | {sound}/{blocks} | {fm2} | "
                f"{(folder / 'm.vmv').stat().st_size:,} |",
                flush=True,
            )


def sizes(minutes: float, folder: Path) -> None:
    # velkora-record's writer settings and WAV writer, so the sizes are those it makes.
    from velkora_gym.apps import record

    count = round(minutes * 60 * FRAME_RATE)
    one, two = presses(10, count, two_players=False)
    movie = Movie(PACKAGED)
    movie.extend(one, two)
    rows = []
    for name in ("ten.vmv", "ten.vmv.gz", "ten.fm2", "ten.fm2.gz"):
        movie.save(folder / name)
        rows.append((name, (folder / name).stat().st_size))
    audio = b""
    for every in (2, 1):
        started = time.perf_counter()
        path = folder / f"ten-{every}.mp4"
        audio = stream_video(record, movie, path, every)
        rows.append(
            (f"MP4 (H.264 as record.py writes it), {FRAME_RATE / every:.1f} pictures/s, no sound", path.stat().st_size)
        )
        print(f"  (encoded {path.name} in {time.perf_counter() - started:.0f} s)", file=sys.stderr)
    record.write_wav(folder / "ten.wav", audio)
    rows.append(("WAV of its sound (44.1 kHz, 16-bit mono)", (folder / "ten.wav").stat().st_size))
    videos = [size for name, size in rows if name.startswith("MP4")]
    print(f"\n{count} frames ({count / FRAME_RATE / 60:.2f} minutes) of the demo game, one player:\n")
    print("| file | bytes | 30/s MP4 / file | 60/s MP4 / file |")
    print("| --- | ---: | ---: | ---: |")
    for name, size in rows:
        print(f"| {name} | {size:,} | {videos[0] / size:,.1f} | {videos[1] / size:,.1f} |")


def stream_video(record, movie: Movie, path: Path, every: int) -> bytes:
    """The movie replayed into an MP4 with record.py's settings, a picture at a time (ten
    minutes of pictures would not fit in memory at once); returns the sound."""
    import imageio.v2 as imageio_v2

    nes = velkora.NES(str(PACKAGED))
    audio = bytearray()
    with imageio_v2.get_writer(path, fps=FRAME_RATE / every, codec="libx264", macro_block_size=16, quality=8) as writer:

        def keep(frame: int) -> None:
            audio.extend(nes.getAudio()[0])
            if (frame + 1) % every == 0:
                writer.append_data(np.array(nes.getImg()))

        movie.play(nes, on_frame=keep)
    return bytes(audio)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--frames", type=int, default=1800, help="frames of each round trip (default 1800)")
    parser.add_argument("--minutes", type=float, default=10.0, help="length of the sized movie (default 10)")
    parser.add_argument("--out", type=Path, help="keep the files here (default: a temporary folder)")
    parser.add_argument("--skip-sizes", action="store_true")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as temporary:
        folder = args.out or Path(temporary)
        folder.mkdir(parents=True, exist_ok=True)
        round_trips(args.frames, folder)
        if not args.skip_sizes:
            sizes(args.minutes, folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())
