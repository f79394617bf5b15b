"""Builds the demo cartridge: assembles velkora-demo.oph, draws the CHR tiles,
and writes an NROM iNES image (32 KiB PRG, 8 KiB CHR, vertical mirroring).

    python demo/build_demo.py [--two-players] [OUT.nes]
        (default build/velkora-demo.nes, or build/velkora-demo-2p.nes)

--two-players builds the two-player cartridge from the same source: the lines
marked ;2P are uncommented and those ending in ;1P dropped. The one-player
cartridge is the source as it stands, so its bytes never depend on those lines.

The tile numbers below are the ones the 6502 source uses; keep both in step.
"""

from __future__ import annotations

import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCE = HERE / "velkora-demo.oph"
DEFAULT_OUT = HERE.parent / "build" / "velkora-demo.nes"
DEFAULT_OUT_2P = HERE.parent / "build" / "velkora-demo-2p.nes"
TWO_PLAYER_LINE = ";2P"
ONE_PLAYER_END = ";1P"

PRG_SIZE = 32768
CHR_SIZE = 8192

# Background pattern table ($0000). Font glyphs sit at their ASCII codes.
BG_BLANK, BG_BORDER, BG_STAR_SMALL, BG_STAR_BIG = 0x00, 0x01, 0x02, 0x03
BG_MOON = 0x04  # 2x2: $04 $05 / $06 $07
BG_HILL_FULL, BG_HILL_UP, BG_HILL_DOWN, BG_HILL_TOP, BG_HILL_PEAK = 0x08, 0x09, 0x0A, 0x0B, 0x0C
BG_GRASS, BG_DIRT, BG_BRICK = 0x10, 0x11, 0x12
BG_HEART, BG_HEART_LOST = 0x13, 0x14
FONT_FIRST = 0x20

# Sprite pattern table ($1000); the font is copied to the same codes for GAME OVER.
SP_HIT, SP_PLAYER, SP_ORB, SP_BIRD_UP, SP_BIRD_DOWN = 0x00, 0x01, 0x05, 0x06, 0x08


def tile(rows: list[str]) -> bytes:
    """8 rows of 8 characters '.', '1', '2', '3' to the two bit planes."""
    assert len(rows) == 8 and all(len(r) == 8 for r in rows), rows
    low = bytearray(8)
    high = bytearray(8)
    for y, row in enumerate(rows):
        for x, ch in enumerate(row):
            value = 0 if ch == "." else int(ch)
            low[y] |= (value & 1) << (7 - x)
            high[y] |= (value >> 1) << (7 - x)
    return bytes(low + high)


def split16(rows: list[str]) -> list[bytes]:
    """A 16-pixel-wide picture to its 8x8 tiles, left to right, top to bottom."""
    assert all(len(r) == 16 for r in rows), rows
    tiles = []
    for top in range(0, len(rows), 8):
        for left in (0, 8):
            tiles.append(tile([r[left : left + 8] for r in rows[top : top + 8]]))
    return tiles


def shape(test) -> list[str]:
    return ["".join(str(test(x, y)) for x in range(8)) for y in range(8)]


# 5x7 glyphs, drawn in colour 3 at columns 1-5 of the cell.
FONT = {
    " ": ["     "] * 7,
    "!": ["  #  ", "  #  ", "  #  ", "  #  ", "  #  ", "     ", "  #  "],
    "'": ["  #  ", "  #  ", "     ", "     ", "     ", "     ", "     "],
    ",": ["     ", "     ", "     ", "     ", "  #  ", "  #  ", " #   "],
    "-": ["     ", "     ", "     ", "#####", "     ", "     ", "     "],
    ".": ["     ", "     ", "     ", "     ", "     ", "     ", "  #  "],
    "/": ["    #", "    #", "   # ", "  #  ", " #   ", "#    ", "#    "],
    ":": ["     ", "  #  ", "     ", "     ", "     ", "  #  ", "     "],
    "?": [" ### ", "#   #", "    #", "   # ", "  #  ", "     ", "  #  "],
    "0": [" ### ", "#   #", "#  ##", "# # #", "##  #", "#   #", " ### "],
    "1": ["  #  ", " ##  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "],
    "2": [" ### ", "#   #", "    #", "   # ", "  #  ", " #   ", "#####"],
    "3": ["#####", "   # ", "  #  ", "   # ", "    #", "#   #", " ### "],
    "4": ["   # ", "  ## ", " # # ", "#  # ", "#####", "   # ", "   # "],
    "5": ["#####", "#    ", "#### ", "    #", "    #", "#   #", " ### "],
    "6": ["  ## ", " #   ", "#    ", "#### ", "#   #", "#   #", " ### "],
    "7": ["#####", "    #", "   # ", "  #  ", " #   ", " #   ", " #   "],
    "8": [" ### ", "#   #", "#   #", " ### ", "#   #", "#   #", " ### "],
    "9": [" ### ", "#   #", "#   #", " ####", "    #", "   # ", " ##  "],
    "A": [" ### ", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"],
    "B": ["#### ", "#   #", "#   #", "#### ", "#   #", "#   #", "#### "],
    "C": [" ### ", "#   #", "#    ", "#    ", "#    ", "#   #", " ### "],
    "D": ["#### ", "#   #", "#   #", "#   #", "#   #", "#   #", "#### "],
    "E": ["#####", "#    ", "#    ", "#### ", "#    ", "#    ", "#####"],
    "F": ["#####", "#    ", "#    ", "#### ", "#    ", "#    ", "#    "],
    "G": [" ### ", "#   #", "#    ", "# ###", "#   #", "#   #", " ####"],
    "H": ["#   #", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"],
    "I": [" ### ", "  #  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "],
    "J": ["  ###", "   # ", "   # ", "   # ", "   # ", "#  # ", " ##  "],
    "K": ["#   #", "#  # ", "# #  ", "##   ", "# #  ", "#  # ", "#   #"],
    "L": ["#    ", "#    ", "#    ", "#    ", "#    ", "#    ", "#####"],
    "M": ["#   #", "## ##", "# # #", "# # #", "#   #", "#   #", "#   #"],
    "N": ["#   #", "#   #", "##  #", "# # #", "#  ##", "#   #", "#   #"],
    "O": [" ### ", "#   #", "#   #", "#   #", "#   #", "#   #", " ### "],
    "P": ["#### ", "#   #", "#   #", "#### ", "#    ", "#    ", "#    "],
    "Q": [" ### ", "#   #", "#   #", "#   #", "# # #", "#  # ", " ## #"],
    "R": ["#### ", "#   #", "#   #", "#### ", "# #  ", "#  # ", "#   #"],
    "S": [" ####", "#    ", "#    ", " ### ", "    #", "    #", "#### "],
    "T": ["#####", "  #  ", "  #  ", "  #  ", "  #  ", "  #  ", "  #  "],
    "U": ["#   #", "#   #", "#   #", "#   #", "#   #", "#   #", " ### "],
    "V": ["#   #", "#   #", "#   #", "#   #", "#   #", " # # ", "  #  "],
    "W": ["#   #", "#   #", "#   #", "# # #", "# # #", "# # #", " # # "],
    "X": ["#   #", "#   #", " # # ", "  #  ", " # # ", "#   #", "#   #"],
    "Y": ["#   #", "#   #", " # # ", "  #  ", "  #  ", "  #  ", "  #  "],
    "Z": ["#####", "    #", "   # ", "  #  ", " #   ", "#    ", "#####"],
}


def glyph(rows: list[str]) -> bytes:
    assert len(rows) == 7 and all(len(r) == 5 for r in rows), rows
    return tile(["." + r.replace("#", "3").replace(" ", ".") + ".." for r in rows] + ["." * 8])


def moon_tiles() -> list[bytes]:
    # A crescent: a disc with a second, offset disc taken away.
    rows = []
    for y in range(16):
        row = ""
        for x in range(16):
            cx, cy = x + 0.5, y + 0.5
            lit = (cx - 8) ** 2 + (cy - 8) ** 2 <= 49
            shadow = (cx - 11) ** 2 + (cy - 6.5) ** 2 <= 36
            row += "3" if lit and not shadow else "."
        rows.append(row)
    return split16(rows)


def background_tiles() -> dict[int, bytes]:
    tiles = {BG_BLANK: tile(["........"] * 8)}
    tiles[BG_BORDER] = tile(["33333333"] + ["22222222"] * 6 + ["11111111"])
    tiles[BG_STAR_SMALL] = tile(
        ["........", "........", "........", "...3....", "........", "........", "........", "........"]
    )
    tiles[BG_STAR_BIG] = tile(
        ["........", "....3...", "....3...", "..33333.", "....3...", "....3...", "........", "........"]
    )
    for i, t in enumerate(moon_tiles()):
        tiles[BG_MOON + i] = t
    # Hills in palette 0: colour 1 is the lit edge, colour 2 the body.
    tiles[BG_HILL_FULL] = tile(["22222222"] * 8)
    tiles[BG_HILL_UP] = tile(shape(lambda x, y: 0 if x + y < 7 else (1 if x + y <= 8 else 2)))
    tiles[BG_HILL_DOWN] = tile(shape(lambda x, y: 0 if x > y else (1 if y - x <= 1 else 2)))
    tiles[BG_HILL_TOP] = tile(["11111111", "11111111"] + ["22222222"] * 6)
    tiles[BG_HILL_PEAK] = tile(
        shape(lambda x, y: 0 if abs(x - 3.5) > y + 0.5 else (1 if abs(x - 3.5) > y - 1.5 else 2))
    )
    # Ground in palette 2: 1 brown, 2 dark brown, 3 grass green.
    tiles[BG_GRASS] = tile(
        ["3.3..3.3", "33333333", "33333333", "13133131", "11111111", "11121111", "11111111", "12111112"]
    )
    tiles[BG_DIRT] = tile(
        ["11111111", "11211111", "11111121", "11111111", "12111111", "11111211", "11111111", "11211111"]
    )
    tiles[BG_BRICK] = tile(
        ["22222222", "11121111", "11121111", "11121111", "22222222", "11111112", "11111112", "11111112"]
    )
    # Lives in the status bar (palette 1): 2 orange, 3 white shine, 1 light blue outline.
    tiles[BG_HEART] = tile(
        ["........", ".22.22..", "2322222.", "2222222.", "2222222.", ".22222..", "..222...", "...2...."]
    )
    tiles[BG_HEART_LOST] = tile(
        ["........", ".11.11..", "1..1..1.", "1.....1.", "1.....1.", ".1...1..", "..1.1...", "...1...."]
    )
    tiles.update(font_tiles())
    return tiles


def font_tiles() -> dict[int, bytes]:
    return {FONT_FIRST + i: glyph(FONT[chr(FONT_FIRST + i)]) for i in range(0x40) if chr(FONT_FIRST + i) in FONT}


PLAYER = [  # palette 0: 1 red, 2 orange, 3 white; faces right
    "......3333......",
    "....33333333....",
    "...3333333333...",
    "...3331111113...",
    "...3331313113...",
    "...3331111113...",
    "....33333333....",
    ".....222222.....",
    "..2223333332222.",
    ".22.23311332.22.",
    ".22.23333332.22.",
    ".33.23311332.33.",
    "....22333322....",
    ".....22..22.....",
    "....111..111....",
    "...1111..1111...",
]

BIRD_UP = [  # palette 2: 1 yellow, 2 orange beak, 3 black eye; faces left
    "......1111......",
    ".......1111.....",
    "..11....1111....",
    ".1311...11111...",
    "22111111111111..",
    "..111111111..11.",
    "....111111....1.",
    "................",
]
BIRD_DOWN = [
    "................",
    "................",
    "..11............",
    ".1311...........",
    "22111111111111..",
    "..111111111..11.",
    "....111111111...",
    "........11111...",
]


def sprite_tiles() -> dict[int, bytes]:
    tiles = {SP_HIT: tile(["11111111"] * 8)}
    for i, t in enumerate(split16(PLAYER)):
        tiles[SP_PLAYER + i] = t
    tiles[SP_ORB] = tile(
        ["..1111..", ".122221.", "12233221", "12232221", "12222221", "12222221", ".122221.", "..1111.."]
    )
    for i, t in enumerate(split16(BIRD_UP)):
        tiles[SP_BIRD_UP + i] = t
    for i, t in enumerate(split16(BIRD_DOWN)):
        tiles[SP_BIRD_DOWN + i] = t
    tiles.update(font_tiles())
    return tiles


def chr_data() -> bytes:
    data = bytearray(CHR_SIZE)
    for base, tiles in ((0x0000, background_tiles()), (0x1000, sprite_tiles())):
        for number, pattern in tiles.items():
            data[base + 16 * number : base + 16 * number + 16] = pattern
    return bytes(data)


def ophis() -> str:
    exe = Path(sys.executable).with_name("ophis")
    found = str(exe) if exe.exists() else shutil.which("ophis")
    if not found:
        raise SystemExit("the Ophis assembler is missing: pip install ophis-asm")
    return found


def two_player_source(text: str) -> str:
    """The two-player game's lines of the source (line numbers kept for Ophis's messages)."""
    lines = []
    for line in text.split("\n"):
        if line.startswith(TWO_PLAYER_LINE):
            line = line[len(TWO_PLAYER_LINE) :]
        elif line.rstrip().endswith(ONE_PLAYER_END):
            line = ""
        lines.append(line)
    return "\n".join(lines)


def assemble(source: Path = SOURCE, two_players: bool = False) -> bytes:
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "prg.bin"
        if two_players:
            edited = Path(tmp) / source.name.replace(".oph", "-2p.oph")
            edited.write_text(two_player_source(source.read_text()))
            source = edited
        run = subprocess.run([ophis(), "-q", "-o", str(out), str(source)], capture_output=True, text=True)
        if run.returncode != 0 or not out.exists():
            raise SystemExit(f"ophis failed on {source}:\n{run.stdout}{run.stderr}")
        prg = out.read_bytes()
    if len(prg) != PRG_SIZE:
        raise SystemExit(f"{source} assembled to {len(prg)} bytes, expected {PRG_SIZE}")
    return prg


def header() -> bytes:
    # 2 x 16 KiB PRG, 1 x 8 KiB CHR, mapper 0, vertical mirroring (horizontal scrolling).
    return b"NES\x1a" + bytes([2, 1, 0x01, 0x00]) + bytes(8)


def image(two_players: bool = False) -> bytes:
    return header() + assemble(two_players=two_players) + chr_data()


def build(out: Path = DEFAULT_OUT, two_players: bool = False) -> Path:
    out = Path(out)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_bytes(image(two_players))
    return out


def ensure_built(out: Path | None = None, two_players: bool = False) -> Path:
    """The demo cartridge, rebuilt when missing or older than its sources."""
    out = Path(out) if out is not None else (DEFAULT_OUT_2P if two_players else DEFAULT_OUT)
    newest = max(SOURCE.stat().st_mtime, Path(__file__).stat().st_mtime)
    if not out.exists() or out.stat().st_mtime < newest:
        build(out, two_players)
    return out


def main(argv: list[str]) -> int:
    args = argv[1:]
    two_players = "--two-players" in args
    args = [a for a in args if a != "--two-players"]
    if len(args) > 1 or any(a.startswith("-") for a in args):
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    out = build(Path(args[0]) if args else (DEFAULT_OUT_2P if two_players else DEFAULT_OUT), two_players)
    print(f"{'two-player ' if two_players else ''}demo cartridge: {out} ({out.stat().st_size} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
