"""Frames per second of headless runFrame loops, the way a game-AI loop runs, in the
default (design) timing and in the hardware timing.

    python bench/bench.py [--frames 3000] [--repeats 5] [--warmup 60]
                          [--against DIR] [ROM ...]

Without ROM arguments it measures every demo in ../shared/roms/demos and the
project's own demo cartridge (build/velkora-demo.nes) when present. With
--against, the velkora module found in DIR (an older build, say) is measured
too, ROM by ROM in turns with this one, and the table shows both (design timing). The
process keeps to one core (the last it may use), so that a move between cores
does not show as noise.
"""

from __future__ import annotations

import argparse
import math
import os
import statistics
import subprocess
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


def quiet_console(path: Path) -> velkora.NES:
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


def measure(path: Path, frames: int, repeats: int, warmup: int, timing: str = "design") -> list[float]:
    nes = quiet_console(path)
    if timing != "design":
        import velkora_gym

        velkora_gym.set_timing(nes, timing)
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


def measure_elsewhere(site: str, path: Path, frames: int, repeats: int, warmup: int) -> list[float]:
    """The same measurement in a process that imports velkora from `site`."""
    env = {**os.environ, "PYTHONPATH": site}
    out = subprocess.run(
        [
            sys.executable,
            __file__,
            "--rates",
            "--frames",
            str(frames),
            "--repeats",
            str(repeats),
            "--warmup",
            str(warmup),
            str(path),
        ],
        env=env,
        capture_output=True,
        text=True,
        check=True,
    )
    return [float(rate) for rate in out.stdout.split()]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("roms", nargs="*", type=Path)
    parser.add_argument("--frames", type=int, default=3000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--warmup", type=int, default=60)
    parser.add_argument("--against", metavar="DIR", help="also measure the velkora module in DIR")
    parser.add_argument("--rates", action="store_true", help=argparse.SUPPRESS)  # one ROM's rates, for --against
    args = parser.parse_args()
    roms = args.roms or default_roms()
    if not roms:
        print("no ROMs to measure")
        return 1
    if hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(0, {max(os.sched_getaffinity(0))})
    if args.rates:
        print(" ".join(f"{rate:.1f}" for rate in measure(roms[0], args.frames, args.repeats, args.warmup)))
        return 0
    other = f"{'other':>8} " if args.against else ""
    print(
        f"{'ROM':<22} {other}{'median':>8} {'min':>8} {'max':>8} {'hardware':>9} {'share':>6}"
        f"   frames/s, {args.frames} frames x {args.repeats}"
    )
    medians, others, hardware = [], [], []
    for path in roms:
        column = ""
        if args.against:
            others.append(
                statistics.median(measure_elsewhere(args.against, path, args.frames, args.repeats, args.warmup))
            )
            column = f"{others[-1]:8.0f} "
        rates = measure(path, args.frames, args.repeats, args.warmup)
        median = statistics.median(rates)
        medians.append(median)
        hardware.append(statistics.median(measure(path, args.frames, args.repeats, args.warmup, "hardware")))
        print(
            f"{path.name:<22} {column}{median:8.0f} {min(rates):8.0f} {max(rates):8.0f}"
            f" {hardware[-1]:9.0f} {hardware[-1] / median:6.0%}",
            flush=True,
        )

    def geomean(values: list[float]) -> float:
        return math.exp(sum(math.log(v) for v in values) / len(values))

    column = f"{geomean(others):8.0f} " if others else ""
    share = geomean(hardware) / geomean(medians)
    print(f"{'geometric mean':<22} {column}{geomean(medians):8.0f} {'':8} {'':8} {geomean(hardware):9.0f} {share:6.0%}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
