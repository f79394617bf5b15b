"""The batch's frames per second against one console, and how it scales to two threads.

    python bench/batch_bench.py [--rom ROM] [--seconds 2] [--sizes 1,2,4,8,16]
                                [--scaling 2,4,8,64] [--runs 5] [--pool-bench PATH]

(Snapshot costs: bench/snapshot_bench.py.)

Without --rom it measures the project's demo cartridge (build/velkora-demo.nes).
One velkora.NES is stepped from Python (runFrame + getImg) as the baseline; the
batches step with 84x84 grayscale observations, four frames a step, in the same run.

Then, for each size in --scaling, the frames per second of a batch on two threads
against the same batch on one, measured --runs times in turns (one thread, two
threads, one, ...), and the median of the ratios. Beside it: the worker pool's
handover time right after (the median time of a call that every thread must join,
from build/bench/pool_bench, which `make bench` builds), and the load average, since
other work on the machine takes cores from the second thread. Last, the CPU the
process spends in the second after a step, while the batch waits for the next one.
"""

from __future__ import annotations

import argparse
import os
import re
import statistics
import subprocess
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


def batch_fps(
    rom: Path, consoles: int, seconds: float, *, frames: int = 4, audio: bool = False, threads: int | None = None
) -> float:
    batch = velkora_gym.Batch(rom, consoles, threads=threads, obs_type="grayscale", screen_size=84, audio=audio)
    buttons = np.zeros(consoles, np.uint8)
    batch.step(buttons, 60)
    steps = 0
    started = time.perf_counter()
    while time.perf_counter() - started < seconds:
        batch.step(buttons, frames)
        steps += 1
    return steps * frames * consoles / (time.perf_counter() - started)


def handover(pool_bench: Path) -> str:
    """The pool's median time for a call every thread joins, back to back, in microseconds."""
    if not pool_bench.exists():
        return "n/a (no pool_bench)"
    out = subprocess.run([str(pool_bench), "--calls", "2000", "--idle", "0"], capture_output=True, text=True).stdout
    row = re.search(r"^0 us\s+([\d.]+)\s+([\d.]+)", out, re.MULTILINE)
    return f"{row.group(1)} us (p90 {row.group(2)})" if row else "n/a"


def idle_cpu(rom: Path, threads: int) -> float:
    """Milliseconds of CPU the process spends in the second after a step."""
    batch = velkora_gym.Batch(rom, 8, threads=threads, obs_type="grayscale", screen_size=84)
    batch.step(np.zeros(8, np.uint8), 4)
    before = time.process_time()
    time.sleep(1.0)
    return (time.process_time() - before) * 1000


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rom", type=Path, default=ROOT / "build" / "velkora-demo.nes")
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--sizes", default="1,2,4,8,16")
    parser.add_argument("--scaling", default="2,4,8,64")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--pool-bench", type=Path, default=ROOT / "build" / "bench" / "pool_bench")
    args = parser.parse_args()
    if not args.rom.exists():
        print(f"{args.rom} not found (make demo-rom builds it)")
        return 1
    cores = len(os.sched_getaffinity(0))
    print(f"{args.rom.name}, {cores} usable cores")

    single = single_console_fps(args.rom, args.seconds)
    print(f"{'consoles':>8} {'frames/s':>10} {'x single':>9}   84x84 grayscale, 4 frames a step")
    print(f"{'single':>8} {single:10.0f} {1.0:9.2f}   one velkora.NES, runFrame + getImg from Python")
    for n in (int(s) for s in args.sizes.split(",") if s):
        fps = batch_fps(args.rom, n, args.seconds)
        print(f"{n:>8} {fps:10.0f} {fps / single:9.2f}", flush=True)

    quiet = batch_fps(args.rom, 1, args.seconds, audio=False)
    loud = batch_fps(args.rom, 1, args.seconds, audio=True)
    print(
        f"\none console in a batch: {quiet:.0f} frames/s without audio, {loud:.0f} with "
        f"({(quiet / loud - 1) * 100:+.0f} % for skipping the sample stage)"
    )

    if cores < 2:
        print("\none usable core: no scaling to measure")
        return 0
    seconds = max(0.5, args.seconds / 2)
    print(
        f"\ntwo threads against one: frames/s ratio, median of {args.runs} runs in turns of {seconds:g} s each, "
        "with the pool's handover (a call both threads join, back to back) and the load average"
    )
    print(f"{'consoles':>8} {'1 thread':>10} {'2 threads':>10} {'ratio':>6}   {'runs':<32} {'handover':<24} load")
    for n in (int(s) for s in args.scaling.split(",") if s):
        ratios, ones, twos = [], [], []
        for _ in range(args.runs):
            ones.append(batch_fps(args.rom, n, seconds, threads=1))
            twos.append(batch_fps(args.rom, n, seconds, threads=2))
            ratios.append(twos[-1] / ones[-1])
        runs = " ".join(f"{r:.2f}" for r in ratios)
        load = os.getloadavg()[0]
        print(
            f"{n:>8} {statistics.median(ones):10.0f} {statistics.median(twos):10.0f} {statistics.median(ratios):6.2f}"
            f"   {runs:<32} {handover(args.pool_bench):<24} {load:.2f}",
            flush=True,
        )
    print(
        f"\nCPU in the second after a step of 8 consoles: {idle_cpu(args.rom, 2):.1f} ms on two threads, "
        f"{idle_cpu(args.rom, 1):.1f} ms on one"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
