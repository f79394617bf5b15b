"""Frames per second of headless runFrame loops, the way a game-AI loop runs, in the
default (design) timing and in the hardware timing.

    python bench/bench.py [--frames 3000] [--repeats 5] [--warmup 60]
                          [--against DIR] [ROM ...]

Without ROM arguments it measures every demo in ../shared/roms/demos and the
project's own demo cartridge (build/velkora-demo.nes) when present. With
--against, the velkora module found in DIR (an older build, say, with its
velkora_gym) is measured too, ROM by ROM and timing by timing in turns with
this one, and the table shows both medians and this build's ratio to the other
in each timing. The process keeps to one core (the last it may use), so that a
move between cores does not show as noise.
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


def measure_elsewhere(
    site: str, path: Path, frames: int, repeats: int, warmup: int, timing: str = "design"
) -> list[float]:
    """The same measurement in a process that imports velkora (and velkora_gym) from `site`."""
    env = {**os.environ, "PYTHONPATH": site}
    out = subprocess.run(
        [
            sys.executable,
            __file__,
            "--rates",
            "--timing",
            timing,
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


def rom_arguments(doc: str, repeats: int) -> argparse.ArgumentParser:
    """A parser with the options of every benchmark over ROMs: the ROMs (the
    shared folder's when none is given) and --repeats."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("roms", nargs="*", type=Path)
    parser.add_argument("--repeats", type=int, default=repeats)
    return parser


def one_core_roms(args: argparse.Namespace) -> list[Path]:
    """The ROMs to measure; when there are any, this process keeps to one core."""
    roms = args.roms or default_roms()
    if roms and hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(0, {max(os.sched_getaffinity(0))})
    return roms


def main() -> int:
    parser = rom_arguments(__doc__, 5)
    parser.add_argument("--frames", type=int, default=3000)
    parser.add_argument("--warmup", type=int, default=60)
    parser.add_argument("--against", metavar="DIR", help="also measure the velkora module in DIR")
    parser.add_argument("--rates", action="store_true", help=argparse.SUPPRESS)  # one ROM's rates, for --against
    parser.add_argument("--timing", default="design", help=argparse.SUPPRESS)  # with --rates
    args = parser.parse_args()
    roms = one_core_roms(args)
    if not roms:
        print("no ROMs to measure")
        return 1
    if args.rates:
        rates = measure(roms[0], args.frames, args.repeats, args.warmup, args.timing)
        print(" ".join(f"{rate:.1f}" for rate in rates))
        return 0
    against = args.against

    def median_of(path: Path, timing: str, elsewhere: bool) -> list[float]:
        if elsewhere:
            return measure_elsewhere(against, path, args.frames, args.repeats, args.warmup, timing)
        return measure(path, args.frames, args.repeats, args.warmup, timing)

    # With --against: the other build's median and this one's ratio to it, in each timing.
    design_other = f"{'other':>8} " if against else ""
    design_ratio = f" {'x':>5}" if against else ""
    hardware_other = f" {'other hw':>9}" if against else ""
    print(
        f"{'ROM':<22} {design_other}{'median':>8} {'min':>8} {'max':>8}{design_ratio}"
        f"{hardware_other} {'hardware':>9}{design_ratio} {'share':>6}   frames/s, {args.frames} frames x {args.repeats}"
    )

    def row(label: str, median: float, spread: str, hardware: float, other: float, other_hardware: float) -> None:
        print(
            f"{label:<22} "
            + (f"{other:8.0f} " if against else "")
            + f"{median:8.0f} {spread}"
            + (f" {median / other:5.2f} {other_hardware:9.0f}" if against else "")
            + f" {hardware:9.0f}"
            + (f" {hardware / other_hardware:5.2f}" if against else "")
            + f" {hardware / median:6.0%}",
            flush=True,
        )

    medians, others, hardware, others_hardware = [], [], [], []
    for path in roms:
        others.append(statistics.median(median_of(path, "design", True)) if against else 0.0)
        rates = median_of(path, "design", False)
        medians.append(statistics.median(rates))
        others_hardware.append(statistics.median(median_of(path, "hardware", True)) if against else 0.0)
        hardware.append(statistics.median(median_of(path, "hardware", False)))
        spread = f"{min(rates):8.0f} {max(rates):8.0f}"
        row(path.name, medians[-1], spread, hardware[-1], others[-1], others_hardware[-1])

    def geomean(values: list[float]) -> float:
        return math.exp(sum(math.log(v) for v in values) / len(values))

    theirs = (geomean(others), geomean(others_hardware)) if against else (0.0, 0.0)
    row("geometric mean", geomean(medians), f"{'':8} {'':8}", geomean(hardware), *theirs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
