"""Instructions per frame under callgrind: a figure that machine noise does not move.

    python bench/callgrind.py [--site DIR] [--timing T] [ROM]
    python bench/callgrind.py --core BINARY [--timing T ...] ROM...

Runs the ROM for two frame counts under `valgrind --tool=callgrind` and
divides the difference in executed instructions by the difference in frames,
so start-up costs cancel out. The same difference, function by function,
gives the split by part of the console (CPU, PPU, APU, publish, Python);
that needs a module with its symbols, such as the one `make bench` builds
into build/bench-site (the installed one is stripped), given by --site.

With --core, the core alone (bench/frames_bench, no Python, no picture
conversion) runs each ROM in each timing given (--timing design --timing
hardware): a line per ROM with its instructions per frame, and the second
timing's share of the first's.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
DEFAULT_ROM = ROOT.parent / "shared" / "roms" / "demos" / "spritecans.nes"
RUNNER = """
import sys, velkora
nes = velkora.NES(sys.argv[1])
if sys.argv[3] != "design":
    import velkora_gym
    velkora_gym.set_timing(nes, sys.argv[3])
for _ in range(int(sys.argv[2])):
    nes.runFrame()
    nes.getImg()
"""


# Parts of a frame's work, by the function names callgrind reports (first match wins).
PARTS = [
    ("CPU step", r"cpu/|CPU::|cpu_ops::"),
    (
        "PPU background",
        r"drawBackground|renderBackdropSpan|fetchBackground|renderSpan|drawSpan<false|backgroundPalettes"
        r"|shiftedRow|hideLeftBackground|finishLineBeforeDot256",
    ),
    (
        "PPU sprites",
        r"drawSpan<true|drawSpriteLine|spriteRow|evaluat|LineSprites|tickSprites|bringSpritesUpToDate|spritePixel"
        r"|overflowScan|bytesInRange|pathHits|gatherNibbles",
    ),
    ("publish, memory copies", r"publish|repaint|paint|memcpy|memmove|memset"),
    ("PPU other", r"ppu/|PPU::"),
    ("mixer", r"produceSample|sampleStep|handOver|mixer|takeBlock"),
    ("APU stepping", r"apu/|APU::"),
    ("console loop", r"console/|NESUnit::|catch_up::"),
    ("binding", r"bindings/|pybind11|py_nes|NesHandle"),
]


def profile(
    rom: Path, frames: int, site: str | None, timing: str = "design", core: str | None = None
) -> tuple[int, dict[str, int]]:
    """Total instructions and instructions by function name."""
    # One BLAS thread: idle worker threads would add noise to the count.
    env = {**os.environ, "PYTHONHASHSEED": "0", "OPENBLAS_NUM_THREADS": "1"}
    if site:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [site, env.get("PYTHONPATH")]))
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        proc = subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                f"--callgrind-out-file={out}",
                *([core] if core else [sys.executable, "-c", RUNNER]),
                str(rom),
                str(frames),
                timing,
            ],
            capture_output=True,
            text=True,
            env=env,
        )
        match = re.search(r"Collected : (\d+)", proc.stderr)
        if proc.returncode != 0 or not match:
            raise RuntimeError(proc.stderr[-2000:])
        functions: dict[str, int] = {}
        if shutil.which("callgrind_annotate"):
            listing = subprocess.run(
                ["callgrind_annotate", "--inclusive=no", "--auto=no", "--threshold=100", str(out)],
                capture_output=True,
                text=True,
            ).stdout
            for line in listing.splitlines():
                row = re.match(r"\s*([\d,]+) \(\s*[\d.]+%\)\s+(.*)", line)
                if row and "PROGRAM TOTALS" not in line:
                    functions[row.group(2)] = functions.get(row.group(2), 0) + int(row.group(1).replace(",", ""))
        return int(match.group(1)), functions


def split(functions: dict[str, int]) -> dict[str, int]:
    parts = {name: 0 for name, _ in PARTS}
    parts["Python and the rest"] = 0
    for function, count in functions.items():
        part = next((name for name, pattern in PARTS if re.search(pattern, function)), "Python and the rest")
        parts[part] += count
    return parts


def per_frame(rom: Path, site: str | None, timing: str, core: str | None) -> tuple[float, dict, dict]:
    low, high = 20, 80
    low_total, low_functions = profile(rom, low, site, timing, core)
    high_total, high_functions = profile(rom, high, site, timing, core)
    return (high_total - low_total) / (high - low), low_functions, high_functions


def main() -> int:
    if not shutil.which("valgrind"):
        print("valgrind is not installed (apt-get install valgrind)")
        return 1
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--site", help="directory holding the velkora module to profile")
    parser.add_argument("--core", help="the frames_bench program: the core alone, every ROM in every timing")
    parser.add_argument("--timing", action="append", choices=("design", "hardware"), help="repeatable with --core")
    parser.add_argument("roms", nargs="*", type=Path, default=[DEFAULT_ROM])
    args = parser.parse_args()
    timings = args.timing or ["design"]
    if args.core:
        for rom in args.roms:
            counts = [per_frame(rom, None, timing, args.core)[0] for timing in timings]
            shares = "".join(f" {timing} {count:11,.0f}" for timing, count in zip(timings, counts))
            ratio = f" {counts[-1] / counts[0]:6.1%}" if len(counts) > 1 else ""
            print(f"{rom.name:<22}{shares}{ratio}  instructions per frame (core)")
        return 0
    if len(timings) > 1 or len(args.roms) > 1:
        parser.error("without --core: one ROM, one timing")
    rom, timing = args.roms[0], timings[0]
    count, low_functions, high_functions = per_frame(rom, args.site, timing, None)
    label = "" if timing == "design" else f" ({timing} timing)"
    print(f"{rom.name}{label}: {count / 1e6:.2f} million instructions per frame (callgrind)")
    named = any("CPU::" in function for function in high_functions)
    if named:
        low_parts, high_parts = split(low_functions), split(high_functions)
        for name, count in high_parts.items():
            print(f"  {name:<24} {(count - low_parts[name]) / 60 / 1e3:8.0f} thousand")
    return 0


if __name__ == "__main__":
    sys.exit(main())
