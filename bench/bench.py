"""Frames per second of headless runFrame loops, the way a game-AI loop runs.

    python bench/bench.py [--frames 3000] [--repeats 5] [--warmup 60] [ROM ...]

Without ROM arguments it measures every demo in ../shared/roms/demos and the
project's own demo cartridge (build/velkora-demo.nes) when present.
"""
from __future__ import annotations

import argparse
import math
import os
import statistics
import sys
import time
from pathlib import Path

import velkora

ROOT = Path(__file__).resolve().parents[1]
DEMOS = ROOT.parent / "shared" / "roms" / "demos"


def default_roms() -> list[Path]:
    roms = sorted(DEMOS.glob("*.nes")) if DEMOS.is_dir() else []
    own = ROOT / "build" / "velkora-demo.nes"
    if own.exists():
        roms.append(own)
    return roms


def quiet_console(path: Path) -> "velkora.NES":
    # The loader prints to the C stdout; keep the table readable.
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    try:
        return velkora.NES(str(path))
    finally:
        os.dup2(saved, 1)
        os.close(devnull)
        os.close(saved)


def measure(path: Path, frames: int, repeats: int, warmup: int) -> list[float]:
    nes = quiet_console(path)
    for _ in range(warmup):
        nes.runFrame()
        nes.getImg()
    rates = []
    for _ in range(repeats):
        started = time.perf_counter()
        for _ in range(frames):
            nes.runFrame()
            nes.getImg()
        rates.append(frames / (time.perf_counter() - started))
    return rates


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("roms", nargs="*", type=Path)
    parser.add_argument("--frames", type=int, default=3000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--warmup", type=int, default=60)
    args = parser.parse_args()
    roms = args.roms or default_roms()
    if not roms:
        print("no ROMs to measure")
        return 1
    print(f"{'ROM':<22} {'median':>8} {'min':>8} {'max':>8}   frames/s, {args.frames} frames x {args.repeats}")
    medians = []
    for path in roms:
        rates = measure(path, args.frames, args.repeats, args.warmup)
        median = statistics.median(rates)
        medians.append(median)
        print(f"{path.name:<22} {median:8.0f} {min(rates):8.0f} {max(rates):8.0f}", flush=True)
    geomean = math.exp(sum(math.log(m) for m in medians) / len(medians))
    print(f"{'geometric mean':<22} {geomean:8.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
