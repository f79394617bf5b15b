"""Frames per second of synthetic cartridges for every board, runFrame + getImg.

    python bench/boards_bench.py [--frames 2000]

Each image carries the fuzzer's seed program (it programs the PPU, the APU and the
board's registers, then renders sprites and a background while polling the joypad),
copied into every 8 KiB of PRG so it runs whatever bank a board maps. MMC2 and MMC4
images also fill the nametables with tiles $FD and $FE, so their latches switch on
every line.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "fuzz"))
sys.path.insert(0, str(ROOT / "bench"))
import make_seeds  # noqa: E402

from bench import quiet_console  # noqa: E402

# (mapper, PRG in 16 KiB units, CHR in 8 KiB units, NES 2.0 submapper)
BOARDS = [
    (0, 2, 1, 0),
    (1, 8, 2, 0),
    (2, 8, 0, 0),
    (3, 2, 4, 0),
    (4, 8, 8, 0),
    (40, 4, 1, 0),
    (7, 8, 0, 0),
    (9, 8, 8, 0),
    (10, 8, 8, 0),
    (11, 8, 8, 0),
    (13, 2, 0, 0),
    (34, 8, 0, 0),
    (34, 8, 8, 0),
    (66, 8, 4, 0),
    (71, 8, 0, 1),
    (79, 4, 8, 0),
    (180, 8, 0, 0),
    (206, 8, 8, 0),
    (21, 8, 16, 0),
    (22, 8, 16, 0),
    (23, 8, 16, 0),
    (25, 8, 16, 0),
    (24, 8, 16, 0),
    (26, 8, 16, 0),
    (28, 8, 0, 0),
    (69, 8, 16, 0),
    (16, 8, 16, 0),
    (18, 8, 16, 0),
    (32, 8, 16, 0),
    (33, 8, 16, 0),
    (48, 8, 16, 0),
    (68, 8, 16, 0),
    (73, 8, 0, 0),
    (75, 8, 16, 0),
    (85, 8, 16, 0),
    (5, 8, 16, 0),
    (19, 8, 16, 0),
    (210, 8, 16, 2),
]


def image(mapper: int, prg: int, chr_: int, submapper: int) -> bytes:
    data = make_seeds.prg_data(mapper, prg * 16384) + make_seeds.chr_data(chr_ * 8192)
    header = bytearray(make_seeds.header(prg, chr_, mapper, flags6=0x01, run=15))
    if submapper:
        header[7] |= 0x08
        header[8] = submapper << 4
    return bytes(header) + data


def measure(path: Path, frames: int) -> float:
    nes = quiet_console(path)
    if nes.cpuMem()[0xFFFC] == 0 and nes.cpuMem()[0xFFFD] == 0:
        return 0.0
    # MMC2/MMC4: tiles $FD and $FE on every line of both nametables.
    vram = nes.ppuMem()
    for _ in range(30):
        nes.runFrame()
    vram[0x2000:0x2800:7] = 0xFD
    vram[0x2003:0x2800:11] = 0xFE
    rates = []
    for _ in range(3):
        started = time.perf_counter()
        for _ in range(frames):
            nes.runFrame()
            nes.getImg()
        rates.append(frames / (time.perf_counter() - started))
    return statistics.median(rates)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=2000)
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "board-bench")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    print(f"{'board':<18} {'frames/s':>9}   synthetic cartridges, median of 3 x {args.frames}")
    for mapper, prg, chr_, sub in BOARDS:
        path = args.out / f"mapper{mapper}-{prg}-{chr_}-{sub}.nes"
        path.write_bytes(image(mapper, prg, chr_, sub))
        label = f"mapper {mapper}" + (f" ({'CHR ROM' if chr_ else 'CHR RAM'})" if mapper == 34 else "")
        print(f"{label:<18} {measure(path, args.frames):9.0f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
