"""Runs a cartridge headless, then writes a screenshot and the sound it made.

    python examples/demo.py [ROM] [--frames N] [--out DIR]

Without ROM the console starts with a blank cartridge.
"""
from __future__ import annotations

import argparse
import struct
import sys
import time
import wave
import zlib
from pathlib import Path

import numpy as np

import velkora


def write_png(path: Path, rgb: np.ndarray) -> None:
    height, width, _ = rgb.shape
    raw = b"".join(b"\0" + rgb[y].tobytes() for y in range(height))

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                     + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def write_wav(path: Path, samples: bytes) -> None:
    with wave.open(str(path), "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(44100)
        out.writeframes(samples)


def progress(done: int, total: int) -> None:
    width = 40
    filled = width * done // total
    sys.stdout.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {done}/{total} frames")
    sys.stdout.flush()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("rom", nargs="?", help="an iNES cartridge image")
    parser.add_argument("--frames", type=int, default=600)
    parser.add_argument("--out", default="demo-output", help="folder for the PNG and WAV files")
    args = parser.parse_args()

    nes = velkora.NES(args.rom) if args.rom else velkora.NES()
    name = Path(args.rom).stem if args.rom else "blank"
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)

    audio = bytearray()
    started = time.perf_counter()
    for frame in range(1, args.frames + 1):
        nes.runFrame()
        audio += nes.getAudio()[0]
        if frame % 10 == 0 or frame == args.frames:
            progress(frame, args.frames)
    elapsed = time.perf_counter() - started
    print()

    png = out / f"{name}.png"
    wav = out / f"{name}.wav"
    write_png(png, np.ascontiguousarray(nes.getImg()))
    write_wav(wav, bytes(audio))
    colours = len(np.unique(nes.getImg().reshape(-1, 3), axis=0))
    print(f"screenshot: {png} ({colours} colours)")
    print(f"audio: {wav} ({len(audio) // 2 / 44100:.1f} s)")
    print(f"{args.frames} frames in {elapsed:.2f} s: {args.frames / elapsed:.0f} frames per second")
    return 0


if __name__ == "__main__":
    sys.exit(main())
