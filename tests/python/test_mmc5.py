"""MMC5 (mapper 5): PRG modes over ROM and RAM, CHR modes with the sprite and
background sets, ExRAM as nametable, attributes and RAM, fill mode, the
vertical split, the scanline interrupt and in-frame flag, the multiplier, and
its registers through save states and snapshots."""

from __future__ import annotations

import numpy as np
import pytest

import boardrom
import nesrom
from boardrom import Cart, Script, audio_blocks, first_black_row, grid, image, runs
from test_more_boards import P16, P32

velkora = pytest.importorskip("velkora")
velkora_gym = pytest.importorskip("velkora_gym")


def cart(prg_16k: int = 8, chr_data: bytes = boardrom.CHR, **kw) -> Cart:
    return Cart(image(5, prg_16k, chr_data=chr_data, **kw), "mmc5.nes")


def screen(ctrl: int = 0, mask: int = 0x0A) -> Script:
    """Palettes, both nametables' worth of tile numbers 0, 1, 2, ... and the
    picture on, unscrolled."""
    s = Script().put(0x3F00, *boardrom.BACKGROUND, *boardrom.SPRITES)
    return s.ramp(0x2000, 0x1000).w((0x2000, ctrl), (0x2005, 0), (0x2005, 0), (0x2001, mask))


def tile_of(offset: int) -> int:
    return offset & 0xFF  # the ramp


def expected_palette(offset: int, attributes=None) -> int:
    """The palette the ramp's attribute bytes give the tile at a nametable offset."""
    r, c = offset >> 5, offset & 31
    attribute = (960 + (r >> 2) * 8 + (c >> 2)) & 0xFF if attributes is None else attributes
    return (attribute >> (((r & 2) << 1) | (c & 2))) & 3


def background(banks, table: int = 0, rows=range(30)) -> dict:
    """What the ramp shows with `banks` (1 KiB bank of each pattern table kilobyte)."""
    out = {}
    for r in rows:
        for c in range(32):
            index = tile_of(32 * r + c)
            out[(r, c)] = (banks[4 * table + (index >> 6)], index & 63, expected_palette(32 * r + c), False)
    return out


# ------------------------------------------------------------ PRG


# (writes, the 8 KiB banks $8000-$E000 show; "R" + n: RAM bank n)
PRG_STEPS = [
    ([], [15, 15, 15, 15]),
    ([(0x5100, 0), (0x5117, 0x85)], P32(1)),  # bits 0-1 ignored
    ([(0x5100, 1), (0x5115, 0x85), (0x5117, 0x0B)], P16(2) + P16(5)),  # $5117 maps ROM without bit 7
    ([(0x5100, 2), (0x5115, 0x8C), (0x5116, 0x83), (0x5117, 0x09)], P16(6) + [3, 9]),
    ([(0x5100, 3), (0x5114, 0x81), (0x5115, 0x82), (0x5116, 0x8E), (0x5117, 0xFF)], [1, 2, 14, 15]),
    ([(0x5114, 0x01), (0x5116, 0x03)], ["R1", 2, "R3", 15]),
    ([(0x5100, 1), (0x5115, 0x06)], ["R6", "R7", 14, 15]),  # $5116 is not used in mode 1
    ([(0x5100, 2)], ["R6", "R7", "R3", 15]),
    ([(0x5100, 0), (0x5117, 0x00)], P32(0)),  # 32 KiB mode maps ROM only
]


def ram_marks(c: Cart) -> Script:
    """Each 8 KiB RAM bank marked with its own number in its first byte."""
    s = Script().w((0x5102, 2), (0x5103, 1))
    for b in range(8):
        s.w((0x5113, b), (0x6000, 0xA0 + b))
    return s.w((0x5113, 0))


def test_prg_modes_show_rom_and_ram():
    c = cart()
    c.run(ram_marks(c))
    for writes, want in PRG_STEPS:
        c.run(Script().w(*writes))
        got = []
        for w in range(4):
            start = 0x8000 + 0x2000 * w
            if isinstance(want[w], str):
                got.append(f"R{int(c.mem[start]) - 0xA0}")
            else:
                got.append(c.windows()[0][w])
        assert got == want, f"after {writes}"


@pytest.mark.parametrize(
    "ram_kib, header, banks",
    [
        (8, dict(submapper=0), [0] * 8),  # NES 2.0: one 8 KiB bank
        (16, dict(byte8=2), [0, 0, 0, 0, 1, 1, 1, 1]),  # two chips: bit 2 picks the chip
        (32, dict(byte8=4), [0, 1, 2, 3, 0, 1, 2, 3]),
        (64, {}, list(range(8))),  # iNES without a size: 64 KiB
    ],
)
def test_prg_ram_size_and_bank_select(ram_kib, header, banks):
    c = cart(**header)
    c.run(Script().w((0x5102, 2), (0x5103, 1), *[(a, v) for b in range(8) for a, v in [(0x5113, b), (0x6000, b + 1)]]))
    seen = []
    for b in range(8):
        seen.append(c.run(Script().w((0x5113, b)).peek(0x6000))[0])
    # The last write to each bank wins: bank k holds 1 + the last b that selected it.
    last = {k: max(b for b in range(8) if banks[b] == k) + 1 for k in set(banks)}
    assert seen == [last[banks[b]] for b in range(8)], seen


def test_prg_ram_protection_and_windows_sharing_a_bank():
    c = cart()
    c.run(Script().w((0x5100, 3), (0x5113, 2), (0x5114, 0x02), (0x6000, 0x11), (0x8001, 0x22)))
    assert c.mem[0x6000] == 0 and c.mem[0x8001] == 0, "$5102/$5103 do not allow writes yet"
    c.run(Script().w((0x5102, 2), (0x5103, 1), (0x6000, 0x11), (0x8001, 0x22), (0xA000, 0x33)))
    assert list(c.mem[0x6000:0x6002]) == [0x11, 0x22] and list(c.mem[0x8000:0x8002]) == [0x11, 0x22]
    assert c.mem[0xA000] != 0x33, "ROM takes no write"
    c.run(Script().w((0x5103, 0), (0x6000, 0x44), (0x5113, 3), (0x5113, 2)))
    assert c.mem[0x6000] == 0x11 and c.mem[0x8000] == 0x11


# ------------------------------------------------------------ CHR and the background


def chr_writes(mode: int, set_a: list, set_b: list | None = None, upper: int = 0):
    writes = [(0x5101, mode), (0x5130, upper)]
    writes += [(0x5120 + i, v) for i, v in enumerate(set_a)]
    if set_b is not None:
        writes += [(0x5128 + i, v) for i, v in enumerate(set_b)]
    return writes


# (mode, set A $5120-$5127, set B $5128-$512B, the 1 KiB banks of the set written last)
CHR_MODES = [
    (0, [0, 0, 0, 0, 0, 0, 0, 3], None, list(range(24, 32))),
    (1, [0, 0, 0, 5, 0, 0, 0, 9], None, [20, 21, 22, 23, 36, 37, 38, 39]),
    (2, [0, 3, 0, 7, 0, 11, 0, 13], None, [6, 7, 14, 15, 22, 23, 26, 27]),
    (3, [40, 41, 9, 50, 60, 7, 8, 99], None, [40, 41, 9, 50, 60, 7, 8, 99]),
    # Set B written last: its 4 KiB in both tables.
    (0, [0] * 8, [0, 0, 0, 2], [16, 17, 18, 19] * 2),
    (1, [0] * 8, [0, 0, 0, 7], [28, 29, 30, 31] * 2),
    (2, [0] * 8, [0, 5, 0, 9], [10, 11, 18, 19] * 2),
    (3, [0] * 8, [33, 44, 55, 66], [33, 44, 55, 66] * 2),
]


@pytest.mark.parametrize("mode, set_a, set_b, banks", CHR_MODES)
@pytest.mark.parametrize("table", [0, 1])
def test_chr_modes_with_8x8_sprites_use_the_set_written_last(mode, set_a, set_b, banks, table):
    c = cart()
    c.run(Script().w(*chr_writes(mode, set_a, set_b)).w((0x5105, 0x44)))
    c.run(screen(ctrl=table << 4))
    runs(c.nes)
    assert grid(c.nes) == background(banks, table)
    for p, bank in enumerate(banks):
        assert bytes(c.vram[p * 1024 : p * 1024 + 1024]) == boardrom.CHR[bank * 1024 : bank * 1024 + 1024], f"page {p}"


def test_chr_upper_bits_come_from_5130_as_each_bank_is_written():
    c = cart(chr_data=boardrom.chr_rom(1024))
    c.run(Script().w((0x5101, 3), (0x5130, 2), (0x5120, 5), (0x5130, 3), (0x5121, 6), (0x5130, 0)))
    c.run(Script().w(*[(0x5122 + i, 7 + i) for i in range(6)], (0x5105, 0x44)))
    c.run(screen())
    runs(c.nes)
    assert grid(c.nes) == background([0x205, 0x306, 7, 8, 9, 10, 11, 12], 0)


# (PPUCTRL bit 4, set A, set B, set B written last?)
@pytest.mark.parametrize("table", [0, 1])
@pytest.mark.parametrize("b_last", [False, True])
def test_8x16_sprites_take_set_a_and_the_background_set_b(table, b_last):
    set_a, set_b = [40, 41, 42, 43, 70, 71, 72, 73], [10, 11, 12, 13]
    c = cart()
    writes = [(0x5101, 3)] + [(0x5120 + i, v) for i, v in enumerate(set_a)]
    writes += [(0x5128 + i, v) for i, v in enumerate(set_b)]
    if not b_last:
        writes.append((0x5120, set_a[0]))
    # Eight 8 x 16 sprites on lines 101-116, one tile pair of each 1 KiB.
    tiles = [0x00, 0x41, 0x82, 0xC3, 0x3E, 0x7F, 0xBC, 0xFD]
    oam = np.full(256, 0xF0, np.uint8)
    for i, t in enumerate(tiles):
        oam[4 * i : 4 * i + 4] = [100, t, i & 3, 8 * i + 64]
    c.mem[0x700:0x800] = oam
    c.run(Script().w(*writes, (0x5105, 0x44), (0x4014, 7)))
    c.run(screen(ctrl=0x20 | table << 4, mask=0x1E))
    runs(c.nes)
    want = background(set_b * 2, table, rows=[r for r in range(30) if r not in (12, 13, 14)])
    assert {k: v for k, v in grid(c.nes).items() if k[0] not in (12, 13, 14)} == want
    c.run(Script().w((0x2001, 0x14)))  # sprites alone
    runs(c.nes)
    got = grid(c.nes, rows=[12, 13, 14], columns=range(8, 16), line=5)
    for i, t in enumerate(tiles):
        for half, row in ((0, 12), (1, 13)):
            index = (t & 0xFE) + half
            page = (t & 1) * 4 + (index >> 6)
            assert got[(row, 8 + i)] == (set_a[page], index & 63, i & 3, True), f"sprite {i} half {half}"


def exram_fill(values) -> Script:
    """ExRAM written through the CPU (mode 2), values by offset."""
    s = Script().w((0x5104, 2))
    for offset, value in values.items():
        s.w((0x5C00 + offset, value))
    return s


def exram_bytes(seed: int) -> dict:
    return {o: (o * seed + 11) & 0xFF for o in range(1024)}


@pytest.mark.parametrize("upper", [0, 3])
def test_extended_attributes_give_each_tile_its_bank_and_palette(upper):
    c = cart(chr_data=boardrom.chr_rom(1024))
    values = exram_bytes(7)
    for part in range(0, 1024, 128):
        c.run(exram_fill({o: v for o, v in values.items() if part <= o < part + 128}))
    c.run(Script().w((0x5104, 1), (0x5130, upper), (0x5105, 0x44)))
    c.run(screen())
    runs(c.nes)
    want = {}
    for r in range(30):
        for col in range(32):
            o = 32 * r + col
            index, extended = tile_of(o), values[o]
            bank = ((extended & 0x3F) | upper << 6) * 4 + (index >> 6)
            want[(r, col)] = (bank, index & 63, extended >> 6, False)
    assert grid(c.nes) == want


def load_exram(c: Cart, values: dict) -> None:
    for part in range(0, 1024, 128):
        c.run(exram_fill({o: v for o, v in values.items() if part <= o < part + 128}))


def show_slot(c: Cart, slot: int) -> dict:
    c.run(Script().w((0x2000, slot), (0x2005, 0), (0x2005, 0), (0x2001, 0x0A)))
    runs(c.nes)
    return grid(c.nes)


def test_nametable_slots_show_ciram_exram_and_fill():
    c = cart()
    values = exram_bytes(3)
    load_exram(c, values)
    # Slots: page 0, page 1, ExRAM, fill.
    c.run(Script().w((0x5104, 0), (0x5105, 0xE4), (0x5106, 0x93), (0x5107, 2), (0x5101, 0), (0x5127, 1)))
    c.run(Script().put(0x3F00, *boardrom.BACKGROUND).ramp(0x2000, 0x400).fill(0x2400, 0x45, 0x400))
    banks = list(range(8, 16))
    page0, page1 = bytes(i & 0xFF for i in range(1024)), bytes([0x45] * 1024)
    fill = bytes([0x93] * 960 + [0xAA] * 64)
    shows = [page0, page1, bytes(values[o] for o in range(1024)), fill]
    for slot, page in enumerate(shows):
        assert show_slot(c, slot) == boardrom.nametable_view(page, banks), f"slot {slot}"
    # Pages 0, 1, 1, 0: no layout of the console's puts them there.
    c.run(Script().w((0x2001, 0), (0x5105, 0x14)))
    for slot, page in ((2, page1), (3, page0)):
        assert show_slot(c, slot) == boardrom.nametable_view(page, banks), f"slot {slot} of 0, 1, 1, 0"
    # In modes 2 and 3 ExRAM is CPU RAM: as a nametable it shows zeros.
    c.run(Script().w((0x2001, 0), (0x5105, 0xAA), (0x5104, 2)))
    assert show_slot(c, 0) == boardrom.nametable_view(bytes(1024), banks)


SPLITS = {
    "left": (0x80 | 12, 0),
    "right with extended attributes": (0xC0 | 20, 13),
    "wrapping past row 29": (0x80 | 31, 230),
    "empty": (0x80 | 0, 5),
}


@pytest.mark.parametrize("split", SPLITS)
def test_vertical_split_draws_exram_with_its_own_scroll_and_bank(split):
    control, scroll = SPLITS[split]
    right = bool(control & 0x40)
    c = cart()
    values = exram_bytes(5)
    load_exram(c, values)
    c.run(Script().w((0x5104, 1 if right else 0), (0x5105, 0x44), (0x5101, 3)))
    c.run(Script().w(*[(0x5120 + i, 100 + i) for i in range(8)], (0x5200, control), (0x5201, scroll), (0x5202, 9)))
    c.run(screen())
    runs(c.nes)
    outside = background([100 + i for i in range(8)])
    threshold = control & 0x1F
    for (r, col), value in grid(c.nes).items():
        if (col >= threshold) != right:
            o = 32 * r + col
            index = tile_of(o)
            want = outside[(r, col)]
            if right:  # extended attributes outside the split
                want = ((values[o] & 0x3F) * 4 + (index >> 6), index & 63, values[o] >> 6, False)
        else:
            y = 8 * r + 1 + scroll
            y = y - 240 if scroll < 240 and y >= 240 else y
            index = values[(y >> 3) * 32 + col]
            attribute = values[0x3C0 | (y >> 5) * 8 | col >> 2]
            want = (9 * 4 + (index >> 6), index & 63, (attribute >> ((((y >> 3) & 2) << 1) | (col & 2))) & 3, False)
        assert value == want, f"row {r} column {col}"


# ------------------------------------------------------------ the scanline interrupt

IRQ_STATUS, IRQ_AGAIN, AFTER_MASK, IN_VBLANK, IRQS, FRAMES = 0x10, 0x11, 0x12, 0x13, 0x14, 0x15


def irq_program(line: int, *, exram_mode: int = 1) -> bytes:
    """A white screen whose interrupt handler turns rendering off; the NMI
    turns it on with the interrupt set for `line`. The handler and the NMI
    note $5204, and write ExRAM ($5C00 from the handler, $5C01 from the NMI)."""
    source = f"""
.org $8000
.advance $E000, $FF
{nesrom.RESET}
    lda #$00
    sta $2000
    sta $2001
    lda #$40
    sta $4017
    lda #$00
    ldx #$20
clear:
    sta $00,x
    dex
    bpl clear
{nesrom.WARM_UP}
    lda #$44
    sta $5105
    lda #{exram_mode}
    sta $5104
{boardrom.BACKDROP}
    lda #$30
    sta $2007
    sta $2007
    sta $2007
{boardrom.fill_nametable(1)}
{boardrom.IDLE_ON_NMI}
nmi:
    pha
    lda $5204
    sta ${IN_VBLANK:02X}
    lda #$5A
    sta $5C01
    lda #$00
    sta $2005
    sta $2005
    lda #$80
    sta $2000
    lda #{line}
    sta $5203
    lda #$80
    sta $5204
    lda #$0A
    sta $2001
    inc ${FRAMES:02X}
    pla
    rti
irq:
    pha
    lda $5204
    sta ${IRQ_STATUS:02X}
    lda $5204
    sta ${IRQ_AGAIN:02X}
    lda #$A5
    sta $5C00
    lda #$00
    sta $2001
    lda $5204
    sta ${AFTER_MASK:02X}
    inc ${IRQS:02X}
    pla
    rti
.advance $FFFA, $FF
.word nmi, reset, irq
"""
    chr_data = bytearray(8192)
    chr_data[16:32] = b"\xff" * 16  # tile 1 opaque
    return nesrom.build_rom(source, prg_16k=2, chr_data=bytes(chr_data), mapper=5)


def irq_console(line: int, timing: str, **kw):
    return boardrom.console(irq_program(line, **kw), "mmc5-irq.nes", timing, 6)


@boardrom.both_timings
@pytest.mark.parametrize("line", [1, 2, 37, 120, 200, 238, 239])
def test_scanline_interrupt_fires_as_its_line_starts(timing, line):
    nes = irq_console(line, timing)
    mem = nes.cpuMem()
    # The handler turns rendering off early in the line: the next is the first dark one.
    assert first_black_row(nes) == (line + 1 if line < 239 else None)
    assert mem[FRAMES] >= 3 and mem[IRQS] in (mem[FRAMES], mem[FRAMES] - 1), "one interrupt a frame"
    assert mem[IRQ_STATUS] & 0xC0 == 0xC0, "pending and in frame"
    assert mem[IRQ_AGAIN] & 0xC0 == 0x40, "the first read acknowledged"
    assert mem[AFTER_MASK] & 0x40 == 0, "rendering turned off ends the frame"
    assert mem[IN_VBLANK] & 0xC0 == 0, "vertical blank is out of frame"
    # ExRAM in mode 1 takes the handler's write (in frame), not the NMI's.
    assert (mem[0x5C00], mem[0x5C01]) == (0xA5, 0x00)


@boardrom.both_timings
@pytest.mark.parametrize("line", [0, 240, 255])
def test_scanline_interrupt_never_fires_for_lines_0_and_past_239(timing, line):
    nes = irq_console(line, timing, exram_mode=2)
    assert nes.cpuMem()[IRQS] == 0 and first_black_row(nes) is None
    assert (nes.cpuMem()[0x5C00], nes.cpuMem()[0x5C01]) == (0x00, 0x5A), "ExRAM in mode 2 is plain RAM"


# ------------------------------------------------------------ registers the CPU reads


@pytest.mark.parametrize("a, b", [(0, 0), (1, 1), (12, 34), (255, 255), (200, 7)])
def test_multiplier(a, b):
    c = cart()
    assert c.run(Script().w((0x5205, a), (0x5206, b)).peek(0x5205, 0x5206)) == [(a * b) & 0xFF, (a * b) >> 8]


def test_multiplier_reads_ff_squared_at_power_on():
    assert cart().run(Script().peek(0x5205, 0x5206)) == [0x01, 0xFE]


def test_exram_as_cpu_ram_by_mode():
    c = cart()
    got = c.run(
        Script()
        .w((0x5104, 2), (0x5C10, 0x5A), (0x5FFF, 0x42))
        .peek(0x5C10, 0x5FFF)
        .w((0x5104, 3), (0x5C10, 0x77))
        .peek(0x5C10)
        .w((0x5104, 1), (0x5C10, 0x33), (0x5104, 2))  # out of frame: $00 lands
        .peek(0x5C10)
    )
    assert got == [0x5A, 0x42, 0x5A, 0x00]


# ------------------------------------------------------------ sound

PULSE_SOUNDS = {
    "pulse 1": ([(0x5015, 1), (0x5000, 0xBF), (0x5002, 0xFD), (0x5003, 0x08)], boardrom.CPU_HZ / (16 * 254)),
    "pulse 2, 12.5 %": ([(0x5015, 2), (0x5004, 0x3A), (0x5006, 0x70), (0x5007, 0x08)], boardrom.CPU_HZ / (16 * 0x71)),
    # No sweep unit mutes a period below 8: the second pulse sounds high.
    "pulse 2, period 5": ([(0x5015, 2), (0x5004, 0xBF), (0x5006, 0x05), (0x5007, 0x08)], boardrom.CPU_HZ / (16 * 6)),
}


@pytest.mark.parametrize("sound", PULSE_SOUNDS)
def test_pulse_sounds_at_its_period_and_joins_the_mix(sound):
    writes, hz = PULSE_SOUNDS[sound]
    assert len(np.unique(boardrom.check_channel(cart(), writes, hz, 30))) > 1


def test_pulse_volume_matches_an_apu_pulse():
    c = cart()
    c.run(Script().w((0x4015, 1), (0x4000, 0xBF), (0x4002, 0xFD), (0x4003, 0x08)))
    c.run(Script().w((0x5015, 1), (0x5000, 0xBF), (0x5002, 0xFD), (0x5003, 0x08)))
    _, apu_pulse, *_, board = audio_blocks(c, 10)
    assert np.ptp(board) == pytest.approx(np.ptp(apu_pulse), rel=0.02)


@pytest.mark.parametrize(
    "off",
    [[(0x5015, 0)], [(0x5000, 0xB0)], [(0x5000, 0x90), (0x5003, 0x18)]],
    ids=["disabled", "volume 0", "length ran out"],
)
def test_a_silenced_pulse_is_constant(off):
    boardrom.check_silenced(cart(), [(0x5015, 1), (0x5000, 0xBF), (0x5002, 0x80), (0x5003, 0x08)], off, 6, 3)


def test_length_counters_run_at_240_hz_and_show_in_5015():
    c = cart()
    # Length index 7 loads 6: 6 / 240 s, 1.5 frames (the APU's would last 3).
    got = c.run(Script().w((0x5015, 3), (0x5000, 0x9F), (0x5003, 7 << 3)).peek(0x5015))
    got += c.run(Script().peek(0x5015))
    got += c.run(Script().peek(0x5015))
    assert got == [1, 1, 0]
    got = c.run(Script().w((0x5004, 0xBF), (0x5007, 7 << 3)).peek(0x5015).w((0x5015, 1)).peek(0x5015))
    assert got == [2, 0], "halted, then cleared by $5015"


def test_pcm_writes_set_the_level_but_zero_and_read_mode():
    c = cart()
    levels = []
    for writes in ([(0x5011, 0x80)], [(0x5011, 0x00)], [(0x5011, 0x40)], [(0x5010, 0x01), (0x5011, 0xF0)]):
        c.run(Script().w(*writes))
        audio_blocks(c, 2)
        board = audio_blocks(c, 3)[-1]
        assert len(np.unique(board)) == 1
        levels.append(int(board[0]))
    assert levels[0] == levels[1] == pytest.approx(2 * levels[2], abs=1) and levels[3] == levels[2] > 0


# ------------------------------------------------------------ snapshots and save states


def scene(**header) -> Cart:
    """Everything at once: RAM banks marked, extended attributes, the split,
    a fill slot, 8 x 16 sprites, a pulse and the PCM; each NMI then moves
    banks, the split's scroll, the fill colour and the pulse's period."""
    c = cart(**header)
    c.run(ram_marks(c))
    load_exram(c, exram_bytes(9))
    oam = np.full(256, 0xF0, np.uint8)
    for i in range(8):
        oam[4 * i : 4 * i + 4] = [60 + 9 * i, 0x41 + 2 * i, i & 3, 30 * i]
    c.mem[0x700:0x800] = oam
    c.run(
        Script().w(
            (0x5100, 3),
            (0x5114, 0x02),
            (0x5101, 3),
            *[(0x5120 + i, 20 + i) for i in range(8)],
            *[(0x5128 + i, 40 + i) for i in range(4)],
            (0x5104, 1),
            (0x5105, 0xC4),
            (0x5106, 0x33),
            (0x5200, 0x88),
            (0x5202, 5),
            (0x5015, 1),
            (0x5000, 0xBF),
            (0x5002, 0x80),
            (0x5003, 0x08),
            (0x5011, 0x60),
            (0x4014, 7),
        )
    )
    c.run(screen(ctrl=0x20, mask=0x1E).w((0x2000, 0xA3)))
    c.on_nmi([(0x5120, 0xFF), (0x512A, 0x3F), (0x5201, 0xFF), (0x5107, 3), (0x5113, 7), (0x5114, 7), (0x5002, 0xFF)])
    return c


@boardrom.both_timings
def test_snapshot_replays_picture_memory_and_sound(timing):
    boardrom.check_snapshot_replay(scene(), timing)


@boardrom.both_timings
def test_snapshot_keeps_the_scanline_interrupt(timing):
    twin = boardrom.restored_twin(irq_console(120, timing), irq_program(120), "mmc5-irq.nes")
    assert first_black_row(twin) == 121


def test_save_state_continues_in_a_fresh_console(tmp_path):
    # What follows leans on the registers kept: modes, sets, slots, the
    # split (the file holds neither the scroll nor OAM: they are set again).
    follow = Script().w((0x5127, 9), (0x512B, 2), (0x5116, 0x85), (0x5205, 13)).peek(0x5205, 0x5015, 0x5C07)
    follow.w((0x2000, 0xA3), (0x2005, 0), (0x2005, 0), (0x4014, 7))
    first = scene(submapper=0)  # NES 2.0: 8 KiB of PRG RAM, all on show
    boardrom.scene_continues_after_save(first, tmp_path, Script(), follow)


def test_save_state_refuses_ram_banks_it_cannot_hold(tmp_path):
    c = cart()  # 64 KiB of PRG RAM
    c.nes.setSaveDir(str(tmp_path))
    c.nes.saveState(0)  # the banks not on show are empty: nothing is lost
    c.run(Script().w((0x5102, 2), (0x5103, 1), (0x5113, 3), (0x6123, 0x99), (0x5113, 0)))
    with pytest.raises(RuntimeError, match="bank 3"):
        c.nes.saveState(1)
    assert not (tmp_path / "1").exists()
    c.run(Script().w((0x5100, 3), (0x5114, 0x03)))  # bank 3 on show at $8000
    c.nes.saveState(1)
    fresh = boardrom.loaded(c, tmp_path, 1)
    assert fresh.mem[0x8123] == 0x99
    assert fresh.run(Script().w((0x5113, 3)).peek(0x6123)) == [0x99]


@pytest.mark.parametrize(
    "prg_16k, chr_8k, ram_byte, refused",
    [
        (65, 8, None, "1024 KiB of PRG ROM"),
        (8, 129, None, "1024 KiB of CHR ROM"),
        (8, 8, 0x0C, "128 KiB of PRG RAM, the NES 2.0 header declares 256 KiB"),
        (8, 8, 0x0B, None),  # 128 KiB
        (64, 128, None, None),
    ],
)
def test_sizes_the_chip_cannot_reach_are_refused(prg_16k, chr_8k, ram_byte, refused):
    data = bytearray(
        image(5, prg_16k, chr_data=bytes(chr_8k * 8192), **({} if ram_byte is None else dict(submapper=0)))
    )
    if ram_byte is not None:
        data[10] = ram_byte
    boardrom.opens_or_refuses(bytes(data), refused)


@boardrom.both_timings
def test_restored_console_stores_prg_ram_on_show_alike(timing):
    """PRG RAM on show lives in the CPU's memory: a console restored from a
    snapshot takes the same bytes again."""
    c = cart()
    velkora_gym.set_timing(c.nes, timing)
    c.run(Script().w((0x5102, 2), (0x5103, 1), (0x6000, 0x77), (0x6123, 0x17)))
    assert velkora_gym.snapshot(boardrom.restored(c).nes) == velkora_gym.snapshot(c.nes)
