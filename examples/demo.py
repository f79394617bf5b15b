"""Runs a cartridge headless, then writes a screenshot and the sound it made.

    python examples/demo.py [ROM] [--frames N] [--out DIR] [--no-input]

Without ROM it runs the demo cartridge that comes with the package, and a
scripted joypad plays it for a while: the robot catches orbs, and A and B make
their sounds. Needs only what `pip install .` installs.
"""

from __future__ import annotations

import argparse
import struct
import sys
import time
import zlib
from pathlib import Path

import numpy as np

import velkora
from velkora_gym.apps.record import inputs_at, write_wav
from velkora_gym.console import SAMPLE_RATE
from velkora_gym.files import demo_rom

# (first frame, last frame, buttons held) for the demo cartridge: the robot
# chases orbs (it catches a dozen and meets one bird), with A and B for sound.
DEMO_SCRIPT = [
    (90, 149, {"Left", "Down"}),
    (150, 150, {"A"}),
    (150, 269, {"Up", "Right"}),
    (270, 329, {"Down", "Right"}),
    (300, 300, {"B"}),
    (330, 389, {"Left", "Down"}),
    (390, 449, {"Left"}),
    (420, 420, {"A"}),
    (450, 509, {"Up"}),
    (510, 569, {"Down", "Right"}),
    (570, 600, {"Left", "Up"}),
]


def write_png(path: Path, rgb: np.ndarray) -> None:
    height, width, _ = rgb.shape
    raw = b"".join(b"\0" + rgb[y].tobytes() for y in range(height))

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    path.write_bytes(
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
        + chunk(b"IDAT", zlib.compress(raw, 9))
        + chunk(b"IEND", b"")
    )


def progress(done: int, total: int) -> None:
    width = 40
    filled = width * done // total
    sys.stdout.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {done}/{total} frames")
    sys.stdout.flush()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("rom", nargs="?", help="an iNES cartridge image (default: the demo cartridge)")
    parser.add_argument("--frames", type=int, default=600)
    parser.add_argument("--out", default="demo-output", help="folder for the PNG and WAV files")
    parser.add_argument("--no-input", action="store_true", help="leave the joypad alone")
    args = parser.parse_args(argv)
    if args.frames < 1:
        parser.error("--frames must be at least 1")

    rom = Path(args.rom) if args.rom else demo_rom()
    if not rom.is_file():
        parser.error(f"no such cartridge: {rom}")
    script = [] if args.no_input or args.rom else DEMO_SCRIPT

    sys.stdout.flush()
    nes = velkora.NES(str(rom))
    pad = velkora.Controller()
    nes.setController(pad, 0)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)

    audio = bytearray()
    started = time.perf_counter()
    for frame in range(1, args.frames + 1):
        if script:
            pad.updateInputs(inputs_at(frame, script))
        nes.runFrame()
        audio += nes.getAudio()[0]
        if frame % 10 == 0 or frame == args.frames:
            progress(frame, args.frames)
    elapsed = time.perf_counter() - started
    print()

    png = out / f"{rom.stem}.png"
    wav = out / f"{rom.stem}.wav"
    picture = np.ascontiguousarray(nes.getImg())
    write_png(png, picture)
    write_wav(wav, bytes(audio))
    colours = len(np.unique(picture.reshape(-1, 3), axis=0))
    samples = np.frombuffer(bytes(audio), dtype="<i2")
    loudness = float(np.sqrt(np.mean(samples.astype(np.float64) ** 2))) if samples.size else 0.0
    print(f"screenshot: {png} ({colours} colours)")
    print(f"audio: {wav} ({samples.size / SAMPLE_RATE:.1f} s, RMS {loudness:.0f})")
    print(f"{args.frames} frames in {elapsed:.2f} s: {args.frames / elapsed:.0f} frames per second")
    return 0


if __name__ == "__main__":
    sys.exit(main())
