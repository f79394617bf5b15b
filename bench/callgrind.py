"""Instructions per frame under callgrind: a figure that machine noise does not move.

    python bench/callgrind.py [ROM]

Runs the ROM for two frame counts under `valgrind --tool=callgrind` and
divides the difference in executed instructions by the difference in frames,
so start-up costs cancel out.
"""
from __future__ import annotations

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


def instructions(rom: Path, frames: int) -> int:
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        proc = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-c", RUNNER,
             str(rom), str(frames)],
            capture_output=True, text=True, env={**os.environ, "PYTHONHASHSEED": "0"})
        match = re.search(r"Collected : (\d+)", proc.stderr)
        if proc.returncode != 0 or not match:
            raise RuntimeError(proc.stderr[-2000:])
        return int(match.group(1))


def main() -> int:
    if not shutil.which("valgrind"):
        print("valgrind is not installed (apt-get install valgrind)")
        return 1
    rom = Path(sys.argv[1]) if len(sys.argv) > 1 else DEFAULT_ROM
    low, high = 20, 80
    per_frame = (instructions(rom, high) - instructions(rom, low)) / (high - low)
    print(f"{rom.name}: {per_frame / 1e6:.2f} million instructions per frame (callgrind)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
