"""Boards 7, 9, 10, 11, 13, 34, 66, 71, 79, 180 and 206, MMC1's one-screen pages,
and every board's registers through save states and snapshots."""

from __future__ import annotations

import numpy as np
import pytest

import boardrom
import nesrom
from boardrom import Cart, Script, image

velkora = pytest.importorskip("velkora")
velkora_gym = pytest.importorskip("velkora_gym")

BLOCK = 13 + 65536 + 16384


def window_banks(count: int):
    """Bank b of `count` windows' size as the windows' banks: P32(b) is 32 KiB of PRG in 8 KiB
    banks, C8(b) 8 KiB of CHR in 1 KiB banks."""
    return lambda b: [count * b + i for i in range(count)]


P32, P16, C8, C4, C2 = (window_banks(n) for n in (4, 2, 8, 4, 2))


def sel(r, v):
    return [(0x8000, r), (0x8001, v)]


def mmc1(address, v):
    return [(address, v >> i & 1) for i in range(5)]


def masked(got, want):
    return [None if w is None else g for g, w in zip(got, want)]


# (image, steps of (writes, PRG 8 KiB banks at $8000-$E000, CHR 1 KiB banks or None)).
# Bank numbers past the ROM wrap by hand-worked modulo, noted where it happens.
BANKS = {
    "AxROM": (
        dict(mapper=7, prg_16k=8),
        [
            ([], P32(0), None),
            ([(0x8000, 2)], P32(2), None),
            ([(0xC123, 0x15)], P32(1), None),  # 5 of 4 banks; bit 4 is the page
            ([(0xFFFF, 0x07)], P32(3), None),
        ],
    ),
    "MMC2": (
        dict(mapper=9, prg_16k=8, chr_8k=8),
        [
            ([], [0, 13, 14, 15], None),
            ([(0xA000, 5), (0xB000, 1), (0xC000, 2), (0xD000, 3), (0xE000, 6)], [5, 13, 14, 15], C4(2) + C4(6)),
            ([(0xAFFF, 19), (0xCFFF, 20), (0xEFFF, 17), (0x8000, 9), (0x9FFF, 9)], [3, 13, 14, 15], C4(4) + C4(1)),
        ],
    ),
    "MMC4": (
        dict(mapper=10, prg_16k=8, chr_8k=8),
        [
            ([], P16(0) + P16(7), None),
            ([(0xA000, 3), (0xC000, 2), (0xE000, 6)], P16(3) + P16(7), C4(2) + C4(6)),
            ([(0xAFFF, 13), (0xCFFF, 20), (0xEFFF, 17), (0x9000, 1)], P16(5) + P16(7), C4(4) + C4(1)),
        ],
    ),
    "Color Dreams": (
        dict(mapper=11, prg_16k=8, chr_8k=8),
        [
            ([], P32(0), C8(0)),
            ([(0x8000, 0x21)], P32(1), C8(2)),
            ([(0xFFFF, 0xB2)], P32(2), C8(3)),  # CHR 11 of 8
            ([(0xC000, 0x43)], P32(3), C8(4)),
        ],
    ),
    "CPROM": (dict(mapper=13, prg_16k=2), [([], P32(0), None), ([(0x8000, 3)], P32(0), None)]),
    "BNROM": (
        dict(mapper=34, prg_16k=8, chr_8k=1),
        [([], P32(0), C8(0)), ([(0x8000, 1)], P32(1), C8(0)), ([(0xFFFF, 6), (0x7FFD, 3)], P32(2), C8(0))],
    ),
    "NINA-001": (
        dict(mapper=34, prg_16k=4, chr_8k=8),
        [
            ([], P32(0), None),
            ([(0x7FFD, 1), (0x7FFE, 5), (0x7FFF, 9)], P32(1), C4(5) + C4(9)),
            ([(0x7FFD, 2), (0x7FFE, 17), (0x7FFF, 0), (0x8000, 1)], P32(0), C4(1) + C4(0)),
        ],
    ),
    "GxROM": (
        dict(mapper=66, prg_16k=8, chr_8k=2),
        [
            ([], P32(0), C8(0)),
            ([(0x8000, 0x21)], P32(2), C8(1)),
            ([(0xFFFF, 0x12)], P32(1), C8(0)),  # CHR 2 of 2
            ([(0xC000, 0x33)], P32(3), C8(1)),
        ],
    ),
    "Camerica": (
        dict(mapper=71, prg_16k=8),
        [
            ([], P16(0) + P16(7), None),
            ([(0xC000, 3)], P16(3) + P16(7), None),
            ([(0xFFFF, 10)], P16(2) + P16(7), None),  # 10 of 8
            ([(0x8000, 5), (0xBFFF, 5), (0x9000, 5)], P16(2) + P16(7), None),
        ],
    ),
    "NINA-003/006": (
        dict(mapper=79, prg_16k=4, chr_8k=8),
        [
            ([], P32(0), C8(0)),
            ([(0x4100, 0x0A)], P32(1), C8(2)),
            ([(0x5FFF, 0x03)], P32(0), C8(3)),
            ([(0x4200, 0x0C), (0x5E00, 0x0D), (0x6100, 0x0E)], P32(0), C8(3)),  # address bit 8 clear, or RAM
            ([(0x4300, 0x0D)], P32(1), C8(5)),
            ([(0x5100, 0x17)], P32(0), C8(7)),
        ],
    ),
    "180": (
        dict(mapper=180, prg_16k=8),
        [
            ([], P16(0) + [None, None], None),
            ([(0x8000, 5)], P16(0) + P16(5), None),
            ([(0xFFFF, 9)], P16(0) + P16(1), None),  # 9 of 8
            ([(0xC000, 7)], P16(0) + P16(7), None),
        ],
    ),
    "Namco 108": (
        dict(mapper=206, prg_16k=4, chr_8k=8),
        [
            ([], [None, None, 6, 7], None),
            (
                sel(0, 5) + sel(1, 10) + sel(2, 20) + sel(3, 21) + sel(4, 22) + sel(5, 23) + sel(6, 3) + sel(7, 4),
                [3, 4, 6, 7],
                C2(2) + C2(5) + [20, 21, 22, 23],
            ),
            (sel(0xC6, 1) + sel(0x80, 8), [1, 4, 6, 7], C2(4) + C2(5) + [20, 21, 22, 23]),  # layout bits ignored
            ([(0x9FFE, 7), (0x9FFF, 13)] + sel(2, 70), [1, 5, 6, 7], C2(4) + C2(5) + [6, 21, 22, 23]),
        ],
    ),  # 13 of 8, 70 of 64
}


@pytest.mark.parametrize("board", BANKS)
def test_bank_windows(board):
    for (writes, prg, chr_banks), (got_prg, got_chr) in boardrom.bank_steps(*BANKS[board]):
        assert masked(got_prg, prg) == prg, f"PRG after {writes}"
        if chr_banks is not None:
            assert got_chr == chr_banks, f"CHR after {writes}"


@pytest.mark.parametrize(
    "chr_8k, kw, nina",
    [
        (1, {}, False),
        (0, {}, False),
        (2, {}, True),
        (8, {}, True),
        (1, dict(submapper=1), True),
        (1, dict(submapper=0), False),
        (0, dict(submapper=2), False),
        (1, dict(byte8=0x10), False),  # the submapper nibble counts only in NES 2.0
    ],
)
def test_mapper34_is_nina001_or_bnrom(chr_8k, kw, nina):
    cart = Cart(image(34, 8, chr_8k, **kw))
    cart.run(Script().w((0x7FFD, 1), (0x7FFE, 2), (0x7FFF, 3)))
    prg, chr_banks = cart.windows()
    assert list(cart.mem[0x7FFD:0x8000]) == [1, 2, 3]
    assert prg == P32(1 if nina else 0)
    if nina:
        banks = chr_8k * 2
        assert chr_banks == C4(2 % banks) + C4(3 % banks)
    cart.run(Script().w((0x8000, 2)))
    assert cart.windows()[0] == P32(1 if nina else 2)


def test_cprom_pages_keep_what_was_written():
    cart = Cart(image(13, 2))
    s = Script().put(0x0000, 0xA0, 0xA1)
    for page in (1, 2, 3):
        s.w((0x8000, page)).put(0x1000, 0xB0 + page, 0xC0 + page)
    cart.run(s)
    for value, page in [(1, 1), (6, 2), (3, 3), (0, 0), (2, 2), (1, 1)]:  # bits 0-1 select: 6 is page 2
        want = [0xA0, 0xA1] if page == 0 else [0xB0 + page, 0xC0 + page]
        got = cart.run(Script().w((0x8000, value)).get(0x1000, 2).get(0x0000, 2))
        assert got == want + [0xA0, 0xA1], f"page {page}"
        assert list(cart.vram[0x1000:0x1002]) == want and list(cart.vram[0:2]) == [0xA0, 0xA1]
    # Page 0 at $1000 is the very RAM at $0000.
    got = cart.run(
        Script().w((0x8000, 0)).put(0x1005, 0x99).get(0x0005).w((0x8000, 3)).get(0x1005).w((0x8000, 0)).get(0x1005)
    )
    assert got[0] == 0x99 and got[1] != 0x99 and got[2] == 0x99, f"$0005 with page 0 at $1000, page 3, page 0: {got}"


PAGES = {
    "AxROM": (dict(mapper=7, prg_16k=8), [(0x8000, 0x00)], [(0x8000, 0x10)], boardrom.ONE_SCREEN),
    "Camerica mirroring": (
        dict(mapper=71, prg_16k=8, submapper=1),
        [(0x9000, 0)],
        [(0x9FFF, 0x10)],
        boardrom.ONE_SCREEN,
    ),
    "Camerica": (dict(mapper=71, prg_16k=8), [(0x9000, 0)], [(0x9FFF, 0x10)], boardrom.HORIZONTAL),
    "MMC1": (dict(mapper=1, prg_16k=8, chr_8k=4), mmc1(0x8000, 0x0C), mmc1(0x8000, 0x0D), boardrom.ONE_SCREEN),
    "MMC2": (dict(mapper=9, prg_16k=8, chr_8k=8), [(0xF000, 0)], [(0xFFFF, 1)], boardrom.V_THEN_H),
    "MMC4": (dict(mapper=10, prg_16k=8, chr_8k=8), [(0xF000, 0)], [(0xFFFF, 1)], boardrom.V_THEN_H),
    "Namco 108": (
        dict(mapper=206, prg_16k=4, chr_8k=8, vertical=True),
        [(0xA000, 0)],
        [(0xA000, 1)],
        boardrom.VERTICAL,
    ),
}


@pytest.mark.parametrize("board", PAGES)
def test_nametable_pages(board):
    boardrom.check_pages(*PAGES[board])


# ------------------------------------------------------------ MMC2 / MMC4 latches

PALETTE = (0x0F, 0x16, 0x2A, 0x12)
# 4 KiB CHR bank b: every tile a solid colour b & 3.
LATCH_CHR = b"".join((bytes([0xFF if b & 1 else 0] * 8 + [0xFF if b & 2 else 0] * 8)) * 256 for b in range(4))
# Rows with a trigger tile; the reverse order on rows 16-17 leaves the latch at $FD.
LATCH_ROWS = {10: {8: 0xFD, 20: 0xFE}, 11: {8: 0xFD, 20: 0xFE}, 16: {8: 0xFE, 20: 0xFD}, 17: {8: 0xFE, 20: 0xFD}}
# Per pattern table the background uses: $FD bank colour 1, $FE bank colour 2, the other latch's colour 3.
LATCH_BANKS = {
    0: [(0xB000, 1), (0xC000, 2), (0xD000, 3), (0xE000, 3)],
    1: [(0xB000, 3), (0xC000, 3), (0xD000, 1), (0xE000, 2)],
}


def latch_cart(mapper: int, table: int) -> Cart:
    cart = Cart(image(mapper, 2, chr_data=LATCH_CHR))
    cart.mem[0x700:0x800] = 0xFF  # no sprites
    s = Script().w(*LATCH_BANKS[table], (0x4014, 0x07)).put(0x3F00, *PALETTE).fill(0x2000, 0, 1024)
    for row, tiles in LATCH_ROWS.items():
        for col, tile in tiles.items():
            s.put(0x2000 + 32 * row + col, tile)
    cart.run(s.w((0x2000, table << 4), (0x2005, 0), (0x2005, 0), (0x2001, 0x0A)))
    return cart


def latch_picture(nes, mmc4: bool, table: int) -> np.ndarray:
    """Each tile in the bank its latch held when it was fetched; its own fetch
    flips the latch for the tiles after it."""
    colours = np.zeros((240, 32), np.uint8)
    latch = 0xFE
    for _ in range(2):  # the second frame starts with the first one's latch
        for y in range(240):
            for col in range(32):
                colours[y, col] = 1 if latch == 0xFD else 2
                tile = LATCH_ROWS.get(y // 8, {}).get(col)
                if tile and (mmc4 or table == 1 or y % 8 == 0):  # MMC2's latch 0: $0FD8 / $0FE8 only
                    latch = tile
    return nes.colorLookup()[np.array(PALETTE)[np.repeat(colours, 8, axis=1)]]


def picture_diff(img, want, lookup) -> str:
    bad = np.flatnonzero((img != want).any(axis=(1, 2)))
    rgb = lookup[list(PALETTE)]
    seen = [int(np.argmax((rgb == img[bad[0], 8 * c + 4]).all(axis=1))) for c in range(32)] if len(bad) else ""
    return f"{len(bad)} lines differ, first {bad[:1]}: colours by column {seen}" if len(bad) else ""


@pytest.mark.parametrize("mapper", [9, 10], ids=["MMC2", "MMC4"])
@pytest.mark.parametrize("table", [0, 1])
def test_latches_switch_mid_line_and_come_back_from_a_state(tmp_path, mapper, table):
    cart = latch_cart(mapper, table)
    nesrom.run_frames(cart.nes, 3)
    want = latch_picture(cart.nes, mapper == 10, table)
    lookup = cart.nes.colorLookup()
    assert picture_diff(np.array(cart.nes.getImg()), want, lookup) == ""

    # The frame after the state starts with latch 0 or 1 at $FD.
    cart.nes.setSaveDir(str(tmp_path))
    cart.nes.saveState(0)
    fresh = boardrom.loaded(cart, tmp_path)
    fresh.nes.runFrame()
    assert picture_diff(np.array(fresh.nes.getImg()), want, lookup) == ""


# ------------------------------------------------------------ save states


def probe(s: Script) -> Script:
    # Where these land shows the restored mirroring.
    for k in range(4):
        s.put(0x2007 + 0x400 * k, 0x11 * (k + 1))
    return s


CPROM_SETUP = (
    Script().put(0x0000, 0x77).w((0x8000, 2)).put(0x1000, 0x5A).w((0x8000, 1)).put(0x1000, 0x6B).w((0x8000, 2))
)
# (image, setup, follow-up that leans on the registers kept, PRG then CHR after it)
STATES = {
    "MMC1": (
        dict(mapper=1, prg_16k=8, chr_8k=4),
        mmc1(0x8000, 0x19) + mmc1(0xA000, 3) + mmc1(0xC000, 5) + mmc1(0xE000, 2) + [(0xE000, 1), (0xE000, 0)],
        [(0xE000, 1), (0xE000, 0), (0xE000, 0)] + mmc1(0xC000, 6),
        [0, 1, 10, 11],
        C4(3) + C4(6),
    ),
    "AxROM": (dict(mapper=7, prg_16k=8), [(0x8000, 0x12)], [], P32(2), None),
    "MMC2": (
        dict(mapper=9, prg_16k=8, chr_8k=8, vertical=True),
        [(0xA000, 5), (0xC000, 2), (0xE000, 6), (0xF000, 1)],
        [],
        [5, 13, 14, 15],
        C4(2) + C4(6),
    ),
    "MMC4": (
        dict(mapper=10, prg_16k=8, chr_8k=8, vertical=True),
        [(0xA000, 5), (0xC000, 2), (0xE000, 6), (0xF000, 1)],
        [],
        P16(5) + P16(7),
        C4(2) + C4(6),
    ),
    "Color Dreams": (dict(mapper=11, prg_16k=8, chr_8k=8), [(0x8000, 0x21)], [], P32(1), C8(2)),
    "CPROM": (
        dict(mapper=13, prg_16k=2),
        CPROM_SETUP,
        Script().w((0x8000, 0)).get(0x1000).w((0x8000, 2)).get(0x1000),
        P32(0),
        None,
    ),
    "BNROM": (dict(mapper=34, prg_16k=8), [(0x8000, 1)], [], P32(1), None),
    "NINA-001": (
        dict(mapper=34, prg_16k=4, chr_8k=8),
        [(0x7FFD, 1), (0x7FFE, 5), (0x7FFF, 9)],
        [],
        P32(1),
        C4(5) + C4(9),
    ),
    "GxROM": (dict(mapper=66, prg_16k=8, chr_8k=2), [(0x8000, 0x21)], [], P32(2), C8(1)),
    "Camerica mirroring": (
        dict(mapper=71, prg_16k=8, submapper=1),
        [(0xC000, 3), (0x9000, 0x10)],
        [],
        P16(3) + P16(7),
        None,
    ),
    "NINA-003/006": (dict(mapper=79, prg_16k=4, chr_8k=8), [(0x4100, 0x0A)], [], P32(1), C8(2)),
    "180": (dict(mapper=180, prg_16k=8), [(0x8000, 5)], [], P16(0) + P16(5), None),
    "Namco 108": (
        dict(mapper=206, prg_16k=4, chr_8k=8),
        sel(2, 9) + sel(6, 3) + sel(7, 4) + [(0x8000, 3)],
        [(0x8001, 30)],
        [3, 4, 6, 7],
        [None] * 4 + [9, 30, None, None],
    ),
}


def script(steps) -> Script:
    """A fresh script: the tables' scripts are shared."""
    if not isinstance(steps, Script):
        return Script().w(*steps)
    copy = Script()
    copy.ops, copy.reads = list(steps.ops), steps.reads
    return copy


def machine(cart: Cart) -> tuple:
    return bytes(cart.mem[:0x800]), bytes(cart.mem[0x4020:]), bytes(cart.vram)


@pytest.mark.parametrize("board", STATES)
def test_state_continues_in_a_fresh_console(tmp_path, board):
    kw, setup, follow, prg, chr_banks = STATES[board]
    first = Cart(image(**kw))
    first.nes.setSaveDir(str(tmp_path))
    first.run(script(setup))
    first.nes.saveState(0)
    saved = first.mem.copy(), first.vram.copy()
    reads = first.run(probe(script(follow)))
    got_prg, got_chr = first.windows()
    assert masked(got_prg, prg) == prg
    assert chr_banks is None or masked(got_chr, chr_banks) == chr_banks

    second = boardrom.loaded(first, tmp_path)
    assert np.array_equal(second.mem, saved[0]) and np.array_equal(second.vram, saved[1])
    assert second.run(probe(script(follow))) == reads
    assert second.windows() == first.windows()
    assert machine(second) == machine(first)


OLD_BYTES = {2: 4, 3: 4, 4: 14}  # what the block held before: UxROM / CNROM, MMC3; others nothing
OLD = {name: (kw, setup) for name, (kw, setup, *_) in STATES.items()} | {
    "UxROM": (dict(mapper=2, prg_16k=8), [(0x8000, 5)]),
    "CNROM": (dict(mapper=3, prg_16k=2, chr_8k=4), [(0x8000, 2)]),
    "MMC3": (dict(mapper=4, prg_16k=4, chr_8k=8), sel(6, 3) + sel(2, 9)),
}


@pytest.mark.parametrize("board", OLD)
def test_old_state_files_load_as_before(tmp_path, board):
    kw, setup = OLD[board]
    first = Cart(image(**kw))
    first.nes.setSaveDir(str(tmp_path))
    first.run(script(setup))
    first.nes.saveState(0)
    saved = first.mem.copy(), first.vram.copy()
    path = tmp_path / "0"
    data = bytearray(path.read_bytes())
    old = OLD_BYTES.get(kw["mapper"], 0)
    data[BLOCK + old :] = bytes(256 - old)
    if kw["mapper"] == 2:  # the bank comes back from bytes 0-3, not from the memory
        data[13 + 0x8000 : 13 + 0xC000] = bytes(0x4000)
    if kw["mapper"] == 3:
        data[BLOCK - 16384 : BLOCK - 16384 + 0x2000] = bytes(0x2000)
    path.write_bytes(bytes(data))

    second = boardrom.loaded(first, tmp_path)
    assert np.array_equal(second.mem, saved[0]), second.windows()
    assert np.array_equal(second.vram, saved[1]), second.windows()


# ------------------------------------------------------------ snapshots


def screen(*pages, chr_ram=False, cprom=False) -> Script:
    """Palette, pattern data for CHR RAM, and a nametable per page selection."""
    s = Script().put(0x3F00, *PALETTE)
    for i in range(32 if chr_ram else 0):
        s.fill(0x100 * i, (37 * i + 5) & 0xFF, 256)
    for page in range(4 if cprom else 0):
        s.w((0x8000, page))
        for i in range(16):
            s.fill(0x1000 + 0x100 * i, (53 * i + 91 * page) & 0xFF, 256)
    for k, writes in enumerate(pages or [[]]):
        s.w(*writes)
        for i in range(4):
            s.fill(0x2000 + 0x100 * i, (0x41 * (i + 4 * k)) & 0xFF, 256)
    return s


# (image, setup, PPUCTRL, NMI writes (address, mask))
SNAPSHOTS = {
    "AxROM": (dict(mapper=7, prg_16k=8), screen([(0x8000, 0)], [(0x8000, 0x10)], chr_ram=True), 0, [(0x8000, 0x17)]),
    "MMC2": (None, 9, 0x00, [(0xB000, 3), (0xE000, 3), (0xA000, 3), (0xF000, 1)]),
    "MMC4": (None, 10, 0x10, [(0xD000, 3), (0xC000, 3), (0xA000, 1), (0xF000, 1)]),
    "Color Dreams": (dict(mapper=11, prg_16k=8, chr_8k=8), screen(), 0, [(0x8000, 0xF3)]),
    "CPROM": (dict(mapper=13, prg_16k=2), screen(chr_ram=True, cprom=True), 0x10, [(0x8000, 3)]),
    "BNROM": (dict(mapper=34, prg_16k=8), screen(chr_ram=True), 0, [(0x8000, 3)]),
    "NINA-001": (dict(mapper=34, prg_16k=4, chr_8k=8), screen(), 0x10, [(0x7FFD, 1), (0x7FFE, 15), (0x7FFF, 15)]),
    "GxROM": (dict(mapper=66, prg_16k=8, chr_8k=2), screen(), 0, [(0x8000, 0x33)]),
    "Camerica mirroring": (
        dict(mapper=71, prg_16k=8, submapper=1),
        screen([(0x9000, 0)], [(0x9000, 0x10)], chr_ram=True),
        0,
        [(0xC000, 7), (0x9000, 0x10)],
    ),
    "NINA-003/006": (dict(mapper=79, prg_16k=4, chr_8k=8), screen(), 0, [(0x4100, 0x0F)]),
    "180": (dict(mapper=180, prg_16k=8), screen(chr_ram=True), 0, [(0x8000, 7)]),
    "Namco 108": (dict(mapper=206, prg_16k=4, chr_8k=8), screen(), 0x10, [(0x8001, 0x3F), (0x8000, 0x07)]),
}


@pytest.mark.parametrize("board", SNAPSHOTS)
def test_snapshot_replays_identically(board):
    kw, setup, ctrl, writes = SNAPSHOTS[board]
    if kw is None:  # the latch picture, with banks and latches moving every frame
        cart = latch_cart(setup, ctrl >> 4)
    else:
        cart = Cart(image(**kw))
        cart.run(script(setup).w((0x2005, 0), (0x2005, 0), (0x2001, 0x0A)))
    boardrom.check_nmi_replay(cart, writes, ctrl, 30, 60)
