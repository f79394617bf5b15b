"""The batch's frames per second against one console.

    python bench/batch_bench.py [--rom ROM] [--seconds 2] [--sizes 1,2,4,8,16]

(Snapshot costs: bench/snapshot_bench.py.)

Without --rom it measures the project's demo cartridge (build/velkora-demo.nes).
One velkora.NES is stepped from Python (runFrame + getImg) as the baseline; the
batches step with 84x84 grayscale observations, four frames a step, in the same run.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

import velkora_gym

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
from bench import quiet_console  # noqa: E402


def single_console_fps(rom: Path, seconds: float) -> float:
    nes = quiet_console(rom)
    for _ in range(60):
        nes.runFrame()
    frames = 0
    started = time.perf_counter()
    while time.perf_counter() - started < seconds:
        for _ in range(100):
            nes.runFrame()
            nes.getImg()
        frames += 100
    return frames / (time.perf_counter() - started)


def batch_fps(rom: Path, consoles: int, seconds: float, *, frames: int = 4, audio: bool = False) -> float:
    batch = velkora_gym.Batch(rom, consoles, obs_type="grayscale", screen_size=84, audio=audio)
    buttons = np.zeros(consoles, np.uint8)
    batch.step(buttons, 60)
    steps = 0
    started = time.perf_counter()
    while time.perf_counter() - started < seconds:
        batch.step(buttons, frames)
        steps += 1
    return steps * frames * consoles / (time.perf_counter() - started)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rom", type=Path, default=ROOT / "build" / "velkora-demo.nes")
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--sizes", default="1,2,4,8,16")
    args = parser.parse_args()
    if not args.rom.exists():
        print(f"{args.rom} not found (make demo-rom builds it)")
        return 1
    cores = len(os.sched_getaffinity(0))
    print(f"{args.rom.name}, {cores} usable cores")

    single = single_console_fps(args.rom, args.seconds)
    print(f"{'consoles':>8} {'frames/s':>10} {'x single':>9}   84x84 grayscale, 4 frames a step")
    print(f"{'single':>8} {single:10.0f} {1.0:9.2f}   one velkora.NES, runFrame + getImg from Python")
    for n in (int(s) for s in args.sizes.split(",")):
        fps = batch_fps(args.rom, n, args.seconds)
        print(f"{n:>8} {fps:10.0f} {fps / single:9.2f}", flush=True)

    quiet = batch_fps(args.rom, 1, args.seconds, audio=False)
    loud = batch_fps(args.rom, 1, args.seconds, audio=True)
    print(
        f"\none console in a batch: {quiet:.0f} frames/s without audio, {loud:.0f} with "
        f"({(quiet / loud - 1) * 100:+.0f} % for skipping the sample stage)"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
