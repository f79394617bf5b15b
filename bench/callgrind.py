"""Instructions per frame under callgrind: a figure that machine noise does not move.

    python bench/callgrind.py [--site DIR] [ROM]

Runs the ROM for two frame counts under `valgrind --tool=callgrind` and
divides the difference in executed instructions by the difference in frames,
so start-up costs cancel out. The same difference, function by function,
gives the split by part of the console (CPU, PPU, APU, publish, Python);
that needs a module with its symbols, such as the one `make bench` builds
into build/bench-site (the installed one is stripped), given by --site.
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


def profile(rom: Path, frames: int, site: str | None) -> tuple[int, dict[str, int]]:
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
                sys.executable,
                "-c",
                RUNNER,
                str(rom),
                str(frames),
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


def main() -> int:
    if not shutil.which("valgrind"):
        print("valgrind is not installed (apt-get install valgrind)")
        return 1
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--site", help="directory holding the velkora module to profile")
    parser.add_argument("rom", nargs="?", type=Path, default=DEFAULT_ROM)
    args = parser.parse_args()
    rom = args.rom
    low, high = 20, 80
    low_total, low_functions = profile(rom, low, args.site)
    high_total, high_functions = profile(rom, high, args.site)
    frames = high - low
    print(f"{rom.name}: {(high_total - low_total) / frames / 1e6:.2f} million instructions per frame (callgrind)")
    named = any("CPU::" in function for function in high_functions)
    if named:
        low_parts, high_parts = split(low_functions), split(high_functions)
        for name, count in high_parts.items():
            print(f"  {name:<24} {(count - low_parts[name]) / frames / 1e3:8.0f} thousand")
    return 0


if __name__ == "__main__":
    sys.exit(main())
