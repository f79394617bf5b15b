"""CPU time the real-time run thread costs while it keeps pace.

    python bench/run_thread_cpu.py [--seconds 5] [ROM ...]

For each ROM (default: every demo in ../shared/roms/demos) it starts the
run thread at the default clock, lets it play for the given wall time,
and prints the process CPU time as a share of one core, with the emulated
speed relative to real time.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

from bench import quiet_console

ROOT = Path(__file__).resolve().parents[1]
DEMOS = ROOT.parent / "shared" / "roms" / "demos"
DEFAULT_CLOCK = 1789773


def measure(path: Path, seconds: float) -> tuple[float, float]:
    nes = quiet_console(path)
    wall0, cpu0 = time.perf_counter(), time.process_time()
    nes.start()
    time.sleep(seconds)
    cycles = nes.cycleCount()
    wall, cpu = time.perf_counter() - wall0, time.process_time() - cpu0
    nes.stop()
    return cpu / wall, cycles / (wall * DEFAULT_CLOCK)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("roms", nargs="*", type=Path)
    args = parser.parse_args()
    roms = args.roms or (sorted(DEMOS.glob("*.nes")) if DEMOS.is_dir() else [])
    if not roms:
        print("no ROMs given and no demos found")
        return 1
    print(f"{'ROM':<22} {'CPU % of a core':>16} {'speed vs real time':>19}")
    for rom in roms:
        share, speed = measure(rom, args.seconds)
        print(f"{rom.name:<22} {100 * share:>16.1f} {100 * speed:>18.2f}%")
    return 0


if __name__ == "__main__":
    sys.exit(main())
