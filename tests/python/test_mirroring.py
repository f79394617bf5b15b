"""Mirroring switched by every board that can switch it, seen through PPUDATA.

The console has two 1 KiB nametable pages (a four-screen cartridge adds two
of its own); a mode only chooses which page each of $2000, $2400, $2800 and
$2C00 shows. So a byte written through one mode stays in its page and shows
wherever the next mode puts that page, whichever board made the switch.
"""

from __future__ import annotations

import pytest

from boardrom import Cart, Script, image

pytest.importorskip("velkora")

# The page each of $2000, $2400, $2800, $2C00 shows.
LAYOUTS = {
    "horizontal": (0, 0, 1, 1),
    "vertical": (0, 1, 0, 1),
    "lower page": (0, 0, 0, 0),
    "upper page": (1, 1, 1, 1),
    "four screens": (0, 1, 2, 3),
}
TABLES = (0x2000, 0x2400, 0x2800, 0x2C00)
OFFSET = 0x0A5  # inside the tiles, away from the attribute bytes


def mmc1(control: int) -> list:
    # PRG mode 3 keeps the last bank, and the program, at $C000.
    return [(0x8000, (0x0C | control) >> i & 1) for i in range(5)]


def four_screen(data: bytes) -> bytes:
    return data[:6] + bytes([data[6] | 0x08]) + data[7:]


# board: (image, {mode: (register writes, layout)})
BOARDS = {
    "MMC1": (
        image(1, 8, 4),
        {
            "lower page": (mmc1(0), "lower page"),
            "upper page": (mmc1(1), "upper page"),
            "vertical": (mmc1(2), "vertical"),
            "horizontal": (mmc1(3), "horizontal"),
        },
    ),
    "MMC3": (
        image(4, 8, 8),
        {"vertical": ([(0xA000, 0x00)], "vertical"), "horizontal": ([(0xBFFE, 0x01)], "horizontal")},
    ),
    # Its own nametable RAM: the register changes nothing.
    "MMC3 four-screen": (
        four_screen(image(4, 8, 8)),
        {"vertical": ([(0xA000, 0x00)], "four screens"), "horizontal": ([(0xA000, 0x01)], "four screens")},
    ),
    "MMC2": (image(9, 8, 8), {"vertical": ([(0xF000, 0)], "vertical"), "horizontal": ([(0xFFFF, 1)], "horizontal")}),
    "MMC4": (image(10, 8, 8), {"vertical": ([(0xF000, 0)], "vertical"), "horizontal": ([(0xFFFF, 1)], "horizontal")}),
    "AxROM": (
        image(7, 8),
        {"lower page": ([(0x8000, 0x00)], "lower page"), "upper page": ([(0xFFFF, 0x10)], "upper page")},
    ),
    "Camerica (submapper 1)": (
        image(71, 8, submapper=1),
        {"lower page": ([(0x9000, 0x00)], "lower page"), "upper page": ([(0x9FFF, 0x10)], "upper page")},
    ),
}


@pytest.mark.parametrize("board", BOARDS)
def test_bytes_stay_in_their_page_across_every_switch(board):
    data, modes = BOARDS[board]
    pages = [0] * 4
    script, expected, steps = Script(), [], []
    value = 0x10
    # Every ordered pair of modes: write all four tables in the first, then
    # switch and read all four back.
    for first, (writes, layout) in modes.items():
        for second, (switch, after) in modes.items():
            script.w(*writes)
            for table, page in zip(TABLES, LAYOUTS[layout]):
                script.put(table + OFFSET, value)
                pages[page] = value  # a later table on the same page overwrites it
                value += 1
            script.w(*switch)
            for table in TABLES:
                script.get(table + OFFSET)
            expected.append([pages[page] for page in LAYOUTS[after]])
            steps.append(f"{first} then {second}")

    reads = Cart(data).run(script)
    got = [reads[i : i + 4] for i in range(0, len(reads), 4)]
    wrong = [
        f"{step}: $2000/$2400/$2800/$2C00 read {[hex(v) for v in g]}, not {[hex(v) for v in e]}"
        for step, g, e in zip(steps, got, expected)
        if g != e
    ]
    assert not wrong, "\n".join(wrong)
