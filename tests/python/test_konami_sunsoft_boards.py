"""Action 53 (28), Konami VRC2/VRC4 (21, 22, 23, 25) and VRC6 (24, 26), Sunsoft
FME-7/5B (69): banks, mirroring, IRQ counters in both timings, the expansion
sound's pitch and mixing, save states and snapshots."""

from __future__ import annotations

import re

import numpy as np
import pytest

import boardrom
import nesrom
from boardrom import CPU_HZ, ONE_SCREEN, Cart, Script, audio_blocks, image, runs
from test_more_boards import P16, P32, screen, script

velkora = pytest.importorskip("velkora")
velkora_gym = pytest.importorskip("velkora_gym")


def vrc(base: int, reg: int, a0: int, a1: int) -> int:
    """The address of register `reg` (0-3) of a VRC whose A0/A1 are the lines a0/a1."""
    return base | (a0 if reg & 1 else 0) | (a1 if reg & 2 else 0)


def a53(reg: int, value: int) -> list:
    return [(0x5000, reg), (0x8000, value)]


def fme7(command: int, value: int) -> list:
    return [(0x8000, command), (0xA000, value)]


# ------------------------------------------------------------ Action 53

A53 = dict(mapper=28, prg_16k=32)  # 512 KiB: 64 banks of 8 KiB


@pytest.mark.parametrize(
    "writes, prg",
    [
        ([], P32(15)),  # the outer bank starts at $FF: the last 32 KiB (wrapped)
        (a53(0x81, 2), P32(2)),
        (a53(0x81, 10), P32(10)),  # past the first 256 KiB
        # UNROM: inner bank at $8000 within a 256 KiB game, the outer bank's top half at $C000
        (a53(0x81, 7) + a53(0x80, 0x3E) + a53(1, 5), P16(5) + P16(15)),
        # UNROM 180: the outer bank's bottom half at $8000, the inner bank at $C000
        (a53(0x81, 7) + a53(0x80, 0x3A) + a53(1, 5), P16(14) + P16(5)),
        # 32 KiB banks in a 64 KiB game: the inner bank's bit 0 picks within the outer pair
        (a53(0x81, 7) + a53(0x80, 0x12) + a53(1, 5), P32(7)),
        (a53(0x81, 7) + a53(0x80, 0x12) + a53(1, 4), P32(6)),
        # The outer bank's low bits count only past the game size
        (a53(0x81, 9) + a53(0x80, 0x20) + a53(1, 2), P32(10)),
    ],
)
def test_action53_prg_modes(writes, prg):
    cart = Cart(image(**A53))
    cart.run(Script().w(*writes))
    assert cart.windows()[0] == prg


def test_action53_chr_ram_banks_keep_what_was_written():
    cart = Cart(image(**A53))
    s = Script()
    for bank in range(4):
        s.w(*a53(0, bank)).put(0x0000, 0xA0 + bank).put(0x1FFF, 0xB0 + bank)
    cart.run(s)
    for bank in (2, 0, 3, 1, 1, 2):
        assert cart.run(Script().w(*a53(0, bank)).get(0x0000).get(0x1FFF)) == [0xA0 + bank, 0xB0 + bank]


# Page 0 then page 1 through each place that sets the one-screen bit.
A53_PAGES = {
    "mode": (a53(0x80, 0x00), a53(0x80, 0x01)),
    "CHR register bit 4": (a53(0x80, 0x00), a53(0, 0x10)),
    "inner register bit 4": (a53(0x80, 0x01) + a53(1, 0x00), a53(1, 0x10)),
}
A, B = 0xA1, 0xB2


@pytest.mark.parametrize("where", A53_PAGES)
def test_action53_one_screen_pages(where):
    boardrom.check_pages(A53, *A53_PAGES[where], ONE_SCREEN)


def test_action53_hv_mirroring_ignores_bit_4():
    cart = Cart(image(**A53))
    # Vertical: $2000 and $2800 are one table; a CHR write's bit 4 changes nothing.
    got = cart.run(Script().w(*a53(0x80, 0x02), *a53(0, 0x10)).put(0x2003, A).get(0x2803).get(0x2403))
    assert got[0] == A and got[1] != A
    got = cart.run(Script().w(*a53(0x80, 0x03)).put(0x2006, B).get(0x2406).get(0x2806))
    assert got[0] == B and got[1] != B


# ------------------------------------------------------------ VRC2 / VRC4

# (mapper, submapper, the CPU lines of A0 and A1, VRC4)
VRC24 = {
    "21.1 VRC4a": (21, 1, 0x02, 0x04, True),
    "21.2 VRC4c": (21, 2, 0x40, 0x80, True),
    "21.0 as VRC4a": (21, None, 0x02, 0x04, True),
    "21.0 as VRC4c": (21, None, 0x40, 0x80, True),
    "22 VRC2a": (22, None, 0x02, 0x01, False),
    "23.1 VRC4f": (23, 1, 0x01, 0x02, True),
    "23.2 VRC4e": (23, 2, 0x04, 0x08, True),
    "23.3 VRC2b": (23, 3, 0x01, 0x02, False),
    "23.0 as VRC4e": (23, None, 0x04, 0x08, True),
    "25.1 VRC4b": (25, 1, 0x02, 0x01, True),
    "25.2 VRC4d": (25, 2, 0x08, 0x04, True),
    "25.3 VRC2c": (25, 3, 0x02, 0x01, False),
    "25.0 as VRC4d": (25, None, 0x08, 0x04, True),
}


def vrc24_image(name: str) -> bytes:
    mapper, sub, *_ = VRC24[name]
    kw = {} if sub is None else dict(submapper=sub)
    return image(mapper, 8, 16, **kw)  # 128 KiB PRG, 128 KiB CHR


def vrc24_chr(name: str, window: int, bank: int) -> list:
    _, _, a0, a1, _ = VRC24[name]
    base = 0xB000 + (window // 2) * 0x1000
    reg = (window % 2) * 2
    return [(vrc(base, reg, a0, a1), bank & 0x0F), (vrc(base, reg + 1, a0, a1), bank >> 4)]


@pytest.mark.parametrize("name", VRC24)
def test_vrc24_banks(name):
    mapper, _, a0, a1, vrc4 = VRC24[name]
    cart = Cart(vrc24_image(name))
    assert cart.windows()[0][2:] == [14, 15]
    cart.run(Script().w((vrc(0x8000, 1, a0, a1), 3), (vrc(0xA000, 3, a0, a1), 0x25)))  # 37 of 16 banks
    assert cart.windows()[0] == [3, 5, 14, 15]
    # VRC4's layout bit fixes $8000 to the second-last bank; the VRC2 has none.
    cart.run(Script().w((vrc(0x9000, 2, a0, a1), 2)))
    assert cart.windows()[0] == ([14, 5, 3, 15] if vrc4 else [3, 5, 14, 15])
    banks = [(0x15 + 29 * w) & 0xFF for w in range(8)]
    s = Script()
    for w, bank in enumerate(banks):
        s.w(*vrc24_chr(name, w, bank))
    cart.run(s)
    # VRC2a's CHR registers lose bit 0; 128 banks of 1 KiB wrap.
    assert cart.windows()[1] == [((b >> 1) if mapper == 22 else b) % 128 for b in banks]


@pytest.mark.parametrize("name", ["21.2 VRC4c", "22 VRC2a", "23.3 VRC2b", "25.0 as VRC4d"])
def test_vrc24_mirroring(name):
    _, _, a0, a1, vrc4 = VRC24[name]
    m = vrc(0x9000, 0, a0, a1)
    m0, m1 = ([(m, 2)], [(m, 3)]) if vrc4 else ([(m, 0)], [(m, 1)])
    boardrom.check_pages(Cart(vrc24_image(name)), m0, m1, ONE_SCREEN if vrc4 else boardrom.V_THEN_H)


# ------------------------------------------------------------ VRC6


@pytest.mark.parametrize("mapper", [24, 26])
def test_vrc6_banks_and_chr_modes(mapper):
    swap = mapper == 26

    def r(base, reg):
        return base | (((reg & 1) << 1 | reg >> 1) if swap else reg)

    cart = Cart(image(mapper, 16, 16))  # 256 KiB PRG and CHR
    assert cart.windows()[0][3] == 31
    cart.run(Script().w((r(0x8000, 2), 3), (r(0xC000, 1), 9)))
    assert cart.windows()[0] == [6, 7, 9, 31]
    banks = [0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x7E]
    cart.run(Script().w(*[(r(0xD000 + 0x1000 * (w // 4), w % 4), b) for w, b in enumerate(banks)]))
    assert cart.windows()[1] == banks
    # Four 2 KiB banks; 1 KiB below $1000 and R4, R5 as 2 KiB above. Bit 5
    # puts PPU A10 in a 2 KiB bank's bit 0; without it the register's
    # kilobyte shows twice.
    modes = {
        0x21: [0x10, 0x11, 0x22, 0x23, 0x32, 0x33, 0x44, 0x45],
        0x01: [0x11, 0x11, 0x22, 0x22, 0x33, 0x33, 0x44, 0x44],
        0x22: [0x11, 0x22, 0x33, 0x44, 0x54, 0x55, 0x66, 0x67],
        0x03: [0x11, 0x22, 0x33, 0x44, 0x55, 0x55, 0x66, 0x66],
    }
    for banking, windows in modes.items():
        cart.run(Script().w((r(0xB000, 3), banking)))
        assert cart.windows()[1] == windows, hex(banking)
    # Mirroring: one-screen pages through $B003 bits 2-3 in mode 0 with bit 5.
    assert boardrom.page_reads(cart, [(r(0xB000, 3), 0x28)], [(r(0xB000, 3), 0x2C)]) == ONE_SCREEN[0]


# $B003 arranges R4-R7 (here $20, $23, $41, $46) over the four nametable
# slots as the hardware was measured to: mode 1 gives each slot its own; modes
# 0, 2 and 3 give R6 and R7 by PPU A11 or A10 as mirroring bit 2 says (the
# other way round in modes 2-3); with bit 5, modes 0 and 3 take bit 0 of the
# bank from PPU A10, PPU A11, 0 or 1 by the mirroring bits. Bit 4 shows those
# CHR ROM kilobytes; without it the console's nametable RAM page of bit 0
# (layouts no mirroring mode has too).
VRC6_SLOTS = {
    0x10: [0x41, 0x41, 0x46, 0x46],
    0x14: [0x41, 0x46, 0x41, 0x46],
    0x11: [0x20, 0x23, 0x41, 0x46],
    0x31: [0x20, 0x23, 0x41, 0x46],
    0x12: [0x41, 0x46, 0x41, 0x46],
    0x16: [0x41, 0x41, 0x46, 0x46],
    0x32: [0x41, 0x46, 0x41, 0x46],
    0x30: [0x40, 0x41, 0x46, 0x47],
    0x34: [0x40, 0x46, 0x41, 0x47],
    0x38: [0x40, 0x40, 0x46, 0x46],
    0x3C: [0x41, 0x47, 0x41, 0x47],
    0x33: [0x40, 0x46, 0x41, 0x47],
    0x37: [0x40, 0x41, 0x46, 0x47],
    0x3B: [0x41, 0x47, 0x41, 0x47],
    0x3F: [0x40, 0x40, 0x46, 0x46],
    0x00: ["ram1", "ram1", "ram0", "ram0"],
    0x21: ["ram0", "ram1", "ram1", "ram0"],
    0x20: ["ram0", "ram1", "ram0", "ram1"],
    0x2C: ["ram1", "ram1", "ram1", "ram1"],
}


def chr_windows(cart: Cart) -> list[int]:
    """The CHR bank of each KiB of the pattern tables, as CHR's first tile names it."""
    return [int(cart.vram[s]) | (int(cart.vram[s + 8]) >> 6) << 8 for s in range(0, 0x2000, 0x400)]


@boardrom.both_timings
@pytest.mark.parametrize("banking", VRC6_SLOTS)
def test_vrc6_nametable_slots(banking, timing):
    cart = Cart(image(24, 8, 32, chr_data=boardrom.CHR))
    velkora_gym.set_timing(cart.nes, timing)
    cart.run(Script().w((0xB003, 0x20)).put(0x3F00, *boardrom.BACKGROUND).ramp(0x2000, 0x400).fill(0x2400, 0x45, 0x400))
    # Pattern banks that draw something in every tile (bank 0's first is blank).
    cart.run(Script().w(*[(0xD000 + reg, 0x11 * (reg + 1)) for reg in range(4)]))
    cart.run(Script().w((0xE000, 0x20), (0xE001, 0x23), (0xE002, 0x41), (0xE003, 0x46), (0xB003, banking)))
    ram = {"ram0": bytes(i & 0xFF for i in range(1024)), "ram1": bytes([0x45] * 1024)}
    pages = [ram[s] if isinstance(s, str) else boardrom.CHR[s * 1024 : (s + 1) * 1024] for s in VRC6_SLOTS[banking]]
    boardrom.check_slots(cart, pages, chr_windows(cart))


def test_vrc6_rom_nametables_survive_a_snapshot():
    cart = Cart(image(24, 8, 32, chr_data=boardrom.CHR))
    cart.run(Script().w((0xE000, 0x20), (0xE001, 0x23), (0xE002, 0x41), (0xE003, 0x46), (0xB003, 0x33)))
    cart.run(Script().put(0x3F00, *boardrom.BACKGROUND))
    cart.run(Script().w((0x2000, 0x12), (0x2005, 0), (0x2005, 0), (0x2001, 0x0A)))
    runs(cart.nes)
    before = boardrom.grid(cart.nes)
    assert before == boardrom.nametable_view(boardrom.CHR[0x41 * 1024 : 0x42 * 1024], chr_windows(cart), table=1)
    fresh = boardrom.restored(cart).nes
    runs(fresh)
    assert boardrom.grid(fresh) == before


# ------------------------------------------------------------ VRC7

# (submapper, the CPU line of each pair's second register, the line that is not wired)
VRC7 = {"85.2 VRC7a": (2, 0x10, 0x08), "85.1 VRC7b": (1, 0x08, 0x10), "85.0 at A4": (None, 0x10, None)}


@pytest.mark.parametrize("name", VRC7)
def test_vrc7_banks_and_mirroring(name):
    sub, line, unwired = VRC7[name]
    cart = Cart(image(85, 16, 16, **({} if sub is None else dict(submapper=sub))))  # 256 KiB PRG, 128 KiB CHR
    assert cart.windows()[0][3] == 31
    cart.run(Script().w((0x8000, 3), (0x8000 | line, 0x45), (0x9000, 9)))  # six bits: $45 is bank 5
    assert cart.windows()[0] == [3, 5, 9, 31]
    # The FM sound's ports take their writes without touching the banks.
    cart.run(Script().w((0x9010, 0x3F), (0x9030, 0x12)))
    assert cart.windows()[0] == [3, 5, 9, 31]
    banks = [0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x7E]  # of 128
    cart.run(Script().w(*[(0xA000 + 0x1000 * (w // 2) | line * (w % 2), b) for w, b in enumerate(banks)]))
    assert cart.windows()[1] == banks
    if unwired is not None:
        # A line the variant does not wire reaches the pair's first register.
        cart.run(Script().w((0x8000 | unwired, 7), (0xA000 | unwired, 0x59)))
        assert cart.windows()[0][:2] == [7, 5] and cart.windows()[1][:2] == [0x59, 0x22]
    assert boardrom.page_reads(cart, [(0xE000, 0)], [(0xE000, 1)]) == boardrom.V_THEN_H[0]
    # Bits 6-7 are not the mirroring.
    assert boardrom.page_reads(cart, [(0xE000, 0x82)], [(0xE000, 0x43)]) == ONE_SCREEN[0]


# ------------------------------------------------------------ FME-7


def test_fme7_banks_and_the_6000_window():
    cart = Cart(image(69, 16, 16))  # 256 KiB PRG and CHR
    assert cart.windows()[0][3] == 31
    cart.run(Script().w(*fme7(9, 3), *fme7(10, 5), *fme7(11, 0x47)))  # bits 6-7 are not the bank
    assert cart.windows()[0] == [3, 5, 7, 31]
    cart.run(Script().w(*[p for w in range(8) for p in fme7(w, 0x31 + 7 * w)]))
    assert cart.windows()[1] == [0x31 + 7 * w for w in range(8)]
    # RAM at power-on; ROM bank 2 over it keeps the RAM for later and ignores writes.
    cart.run(Script().w((0x6000, 0x55), (0x7FFF, 0x66), *fme7(8, 0x02), (0x6000, 0x99)))
    assert (cart.mem[0x6000:0x7F00] == 3).all()
    cart.run(Script().w(*fme7(8, 0xC0)))
    assert (cart.mem[0x6000], cart.mem[0x7FFF]) == (0x55, 0x66)
    cart.run(Script().w(*fme7(8, 0x40), (0x6001, 0x77), *fme7(8, 0xC0)))  # RAM disabled: no write
    assert cart.mem[0x6001] != 0x77


def test_fme7_mirroring():
    cart = Cart(image(69, 16, 16))
    assert boardrom.page_reads(cart, fme7(12, 2), fme7(12, 3)) == ONE_SCREEN[0]
    got = cart.run(Script().w(*fme7(12, 0)).put(0x2003, A).get(0x2803).w(*fme7(12, 1)).put(0x2004, B).get(0x2404))
    assert got == [A, B]


@pytest.mark.parametrize(
    "mapper, kw, prg_16k, chr_8k, refused",
    [
        (21, {}, 32, 0, "256 KiB of PRG ROM"),
        (22, {}, 8, 64, "256 KiB of CHR ROM"),
        (24, {}, 32, 0, "256 KiB of PRG ROM"),
        (69, {}, 64, 0, "512 KiB of PRG ROM"),
        (28, {}, 8, 8, "32 KiB of CHR ROM"),
        (69, {}, 32, 32, None),
    ],
)
def test_sizes_a_board_cannot_reach_are_refused(mapper, kw, prg_16k, chr_8k, refused):
    boardrom.opens_or_refuses(image(mapper, prg_16k, chr_data=bytes(chr_8k * 8192), **kw), refused)


# ------------------------------------------------------------ IRQ counters


def irq_code(setup, ack) -> bytes:
    """The program for the last 8 KiB bank, which every board here fixes at
    $E000. $10/$11 count IRQs; the handler acknowledges."""
    return nesrom.assemble(f"""
.org $E000
{nesrom.RESET_QUIET}
    lda #$00
    sta $10
    sta $11
{boardrom.stores(*setup)}
    cli
forever:
    jmp forever
{boardrom.irq_counter(boardrom.stores(*ack))}
""")


def irq_console(mapper: int, setup, ack, timing: str, submapper=None):
    data = boardrom.last_bank_image(mapper, irq_code(setup, ack), submapper)
    return boardrom.console(data, f"irq{mapper}.nes", timing)


def irqs_counted(case, timing: str, frames: int):
    """The console of an IRQS case after `frames` frames, and the IRQs its
    handler counted."""
    mapper, sub, setup, ack, _ = case
    nes = irq_console(mapper, setup, ack, timing, sub)
    return nes, boardrom.irqs_after(nes, frames)


SCANLINE = 341 / 3  # CPU cycles
# (mapper, submapper, setup, ack, CPU cycles per IRQ)
IRQS = {
    "VRC4 cycles": (23, 1, [(0xF000, 0x0), (0xF001, 0x0), (0xF002, 0x07)], [(0xF003, 0)], 256),
    "VRC4 cycles, latch $C0": (23, 1, [(0xF000, 0x0), (0xF001, 0xC), (0xF002, 0x07)], [(0xF003, 0)], 64),
    "VRC4 scanlines": (21, 1, [(0xF000, 0x0), (0xF002, 0xF), (0xF004, 0x03)], [(0xF006, 0)], 16 * SCANLINE),
    "VRC6 cycles": (24, None, [(0xF000, 0x80), (0xF001, 0x07)], [(0xF002, 0)], 128),
    "VRC6 scanlines": (26, None, [(0xF000, 0xFB), (0xF002, 0x03)], [(0xF001, 0)], 5 * SCANLINE),
    "VRC7a cycles": (85, 2, [(0xE010, 0x80), (0xF000, 0x07)], [(0xF010, 0)], 128),
    "VRC7b scanlines": (85, 1, [(0xE008, 0xFB), (0xF000, 0x03)], [(0xF008, 0)], 5 * SCANLINE),
    # Free running: the counter wraps from 0 to $FFFF, so 65536 cycles apart.
    "FME-7": (69, None, fme7(14, 0x00) + fme7(15, 0x10) + fme7(13, 0x81), fme7(13, 0x81), 65536),
}


@boardrom.both_timings
@pytest.mark.parametrize("board", IRQS)
def test_irq_counters_interrupt_at_their_period(board, timing):
    nes, irqs = irqs_counted(IRQS[board], timing, 100)
    mapper, period = IRQS[board][0], IRQS[board][-1]
    # Counting starts some 30 cycles after power-on; a line raised in the
    # last cycles may not have been taken yet. The FME-7's first IRQ comes
    # after $1000 cycles, the later ones a wrap apart.
    cycles = nes.cycleCount() - 30 - (0x1000 - 65536 if mapper == 69 else 0)
    assert int((cycles - 40) // period) <= irqs <= int(cycles // period) + 1
    assert irqs > 20


def test_irqs_stop_when_disabled_and_a_pending_one_waits_for_acknowledge():
    # Never acknowledged: the hardware's line stays up, so the handler runs
    # back to back; the design takes one request per overflow.
    setup = [(0xF000, 0x0), (0xF001, 0x0), (0xF002, 0x07)]
    held = boardrom.irqs_after(irq_console(23, setup, [], "hardware", 1), 10)
    assert held > 4 * boardrom.irqs_after(irq_console(23, setup, [], "design", 1), 10) > 0
    # Disabled (control 0): no IRQ at all.
    assert boardrom.irqs_after(irq_console(23, [(0xF002, 0x00)], [], "hardware", 1), 10) == 0


# ------------------------------------------------------------ sound


def sound_cart(mapper: int, prg_16k: int = 16) -> Cart:
    return Cart(image(mapper, prg_16k, 16), f"sound{mapper}.nes")


# (mapper, writes, Hz): VRC6 pulse 1/(16 (P + 1)), sawtooth 1/(14 (P + 1)); 5B 1/(32 P).
SOUNDS = {
    "VRC6 pulse 1": (24, [(0x9000, 0x7F), (0x9001, 253), (0x9002, 0x80)], CPU_HZ / (16 * 254)),
    "VRC6 pulse 2, high": (24, [(0xA000, 0x3A), (0xA001, 0x70), (0xA002, 0x80)], CPU_HZ / (16 * 0x71)),
    "VRC6 pulse, mapper 26": (26, [(0xA000, 0x4F), (0xA002, 0x32), (0xA001, 0x80)], CPU_HZ / (16 * 0x33)),
    "VRC6 sawtooth": (24, [(0xB000, 0x2A), (0xB001, 0x21), (0xB002, 0x81)], CPU_HZ / (14 * 0x122)),
    "VRC6 frequency x16": (24, [(0x9003, 0x02), (0x9000, 0x7F), (0x9001, 0xFF), (0x9002, 0x8F)], CPU_HZ / (16 * 256)),
    "5B tone A": (
        69,
        [(0xC000, 7), (0xE000, 0x3E), (0xC000, 8), (0xE000, 15), (0xC000, 0), (0xE000, 127)],
        CPU_HZ / (32 * 127),
    ),
    "5B tone C": (
        69,
        [
            (0xC000, 7),
            (0xE000, 0x3B),
            (0xC000, 10),
            (0xE000, 12),
            (0xC000, 4),
            (0xE000, 0x40),
            (0xC000, 5),
            (0xE000, 0),
        ],
        CPU_HZ / (32 * 64),
    ),
}


@pytest.mark.parametrize("sound", SOUNDS)
def test_expansion_channel_sounds_at_its_period_and_joins_the_mix(sound):
    mapper, writes, hz = SOUNDS[sound]
    cart = sound_cart(mapper)
    assert len(cart.nes.getAudio(True)) in (1, 7)
    assert hz < boardrom.RATE / 2  # so the pitch is checked
    assert boardrom.check_channel(cart, writes, hz, 40).max() > 0


@pytest.mark.parametrize(
    "mapper, on, off",
    [
        (24, [(0x9000, 0x7F), (0x9001, 0x80), (0x9002, 0x80)], [(0x9002, 0x00)]),
        (24, [(0xB000, 0x20), (0xB001, 0x80), (0xB002, 0x80)], [(0xB000, 0x00)]),
        (24, [(0xA000, 0x7F), (0xA001, 0x80), (0xA002, 0x80)], [(0x9003, 0x01)]),  # halted: a constant
        (69, [(0xC000, 7), (0xE000, 0x3E), (0xC000, 8), (0xE000, 15)], [(0xC000, 7), (0xE000, 0x3F)]),
        (69, [(0xC000, 7), (0xE000, 0x3E), (0xC000, 8), (0xE000, 15)], [(0xC000, 8), (0xE000, 0)]),
        (69, [(0xC000, 7), (0xE000, 0x3E), (0xC000, 8), (0xE000, 15)], [(0xC000, 8), (0xE000, 0x10)]),
    ],
)
def test_a_disabled_channel_is_silent(mapper, on, off):
    boardrom.check_silenced(sound_cart(mapper), on, off, 10, 3)


def test_5b_volume_is_logarithmic():
    def peak(volume):
        cart = sound_cart(69)
        cart.run(Script().w((0xC000, 7), (0xE000, 0x3E), (0xC000, 8), (0xE000, volume), (0xC000, 0), (0xE000, 50)))
        board = audio_blocks(cart, 6)[-1]
        return int(board.max()) - int(board.min())

    levels = [peak(v) for v in (15, 13, 11, 9)]
    ratios = [levels[i] / levels[i + 1] for i in range(3)]
    assert all(abs(r - 10 ** (6 / 20)) < 0.05 for r in ratios), levels  # two 3 dB steps


# 5B envelope shapes ($0D): the direction of the first, partial cycle's steps,
# then the runs of rising (+) or falling (-) steps that follow, and the
# level it holds at the end (None: it keeps going).
SHAPES = {
    0x00: ("-", [], 0),  # fall, then silence
    0x04: ("+", [("-", 1)], 0),  # rise, then silence
    0x08: ("-", [("+", 1), ("-", 31), ("+", 1), ("-", 31)], None),  # falls again and again
    0x0A: ("-", [("+", 31), ("-", 31)], None),  # falls, rises, falls
    0x0B: ("-", [("+", 1)], 3696),  # fall, then full
    0x0C: ("+", [("-", 1), ("+", 31), ("-", 1), ("+", 31)], None),  # rises again and again
    0x0D: ("+", [], 3696),  # rise, then full
    0x0E: ("+", [("-", 31), ("+", 31)], None),  # rises, falls, rises
}


@pytest.mark.parametrize("shape", SHAPES)
def test_5b_envelope_rises_falls_and_holds_per_shape(shape):
    first, runs, held = SHAPES[shape]
    cart = sound_cart(69)
    # Tone A at period 20 in envelope mode; a step every 16 x $200 cycles.
    tone = [(0xC000, 7), (0xE000, 0x3E), (0xC000, 0), (0xE000, 20), (0xC000, 8), (0xE000, 0x10)]
    envelope = [(0xC000, 11), (0xE000, 0x00), (0xC000, 12), (0xE000, 0x02), (0xC000, 13), (0xE000, shape)]
    cart.run(Script().w(*tone, *envelope))
    audio_blocks(cart, 1)  # the block with the writes in it
    board = audio_blocks(cart, 30)[-1].astype(int)
    board -= int(board.min())
    # The level: the highest sample over two tone periods, once per step.
    level = np.lib.stride_tricks.sliding_window_view(board, 32).max(axis=1)
    plateaus = [int(v) for i, v in enumerate(level) if i == 0 or v != level[i - 1]]
    signs = "".join("+" if b > a else "-" for a, b in zip(plateaus, plateaus[1:]))
    found = [(run[0], len(run)) for run in re.findall(r"\++|-+", signs)]
    assert found[0][0] == first
    assert found[1 : 1 + len(runs)] == runs
    if held is not None:
        assert len(found) == 1 + len(runs) and plateaus[-1] == held
    else:
        assert len(found) >= 1 + len(runs) + 1
    # 1.5 dB a step, up to the fixed volume 15's level.
    assert max(plateaus) == 3696 or (shape == 0x00 and max(plateaus) < 3696)
    ratios = [max(a, b) / min(a, b) for a, b in zip(plateaus, plateaus[1:]) if min(a, b) > 200]
    steps = [r for r in ratios if r < 2]  # not the jumps between silence and full
    assert len(steps) >= 5 and all(abs(r - 10 ** (1.5 / 20)) < 0.02 for r in steps)


def test_boards_without_sound_hand_out_six_channels():
    cart = Cart(image(23, 8, 16, submapper=1))
    nesrom.run_frames(cart.nes, 3)
    assert len(cart.nes.getAudio(True)) == 6


# ------------------------------------------------------------ save states and snapshots

# (image, setup, NMI writes that keep changing banks)
SNAPSHOTS = {
    "Action 53": (
        A53,
        screen(a53(0x80, 0x3E), chr_ram=True),
        [(0x5000, 0x01), (0x8000, 0x07), (0x5000, 0x00), (0x8000, 0x03)],
    ),
    "VRC4": (dict(mapper=21, prg_16k=8, chr_8k=16, submapper=1), screen(), [(0xB000, 0x0F), (0x8000, 0x0F)]),
    "VRC2a": (dict(mapper=22, prg_16k=8, chr_8k=16), screen(), [(0xC000, 0x0F), (0xA000, 0x0F)]),
    "VRC6": (dict(mapper=24, prg_16k=16, chr_8k=16), screen(), [(0xD001, 0xFF), (0x8000, 0x07), (0x9001, 0xFF)]),
    "FME-7": (dict(mapper=69, prg_16k=16, chr_8k=16), screen(), [(0x8000, 0x03), (0xA000, 0x3F), (0xE000, 0xFF)]),
}
# Sound and IRQs running while the snapshot is taken.
LIVE = {
    "VRC6": [
        (0x9000, 0x5F),
        (0x9001, 0x90),
        (0x9002, 0x80),
        (0xB000, 0x15),
        (0xB002, 0x81),
        (0xF000, 0x40),
        (0xF001, 0x07),
    ],
    "FME-7": [(0xC000, 7), (0xE000, 0x38), (0xC000, 8), (0xE000, 13), (0xC000, 2), (0xE000, 0x90)]
    + fme7(14, 0)
    + fme7(15, 0x40)
    + fme7(13, 0x80),
    "VRC4": [(0xF000, 0x00), (0xF002, 0x06)],
}


def prepared(board: str) -> Cart:
    kw, setup, writes = SNAPSHOTS[board]
    cart = Cart(image(**kw))
    cart.run(script(setup).w(*LIVE.get(board, [])).w((0x2005, 0), (0x2005, 0), (0x2001, 0x0A)))
    cart.on_nmi(writes)
    cart.run(Script().w((0x2000, 0x80)))
    return cart


def audio_after(cart: Cart, frames: int) -> list:
    heard = []
    cart.pad.updateInputs([0] * 8)
    for _ in range(frames):
        cart.nes.runFrame()
        heard.append(cart.nes.getAudio(True))
    return heard


@boardrom.both_timings
@pytest.mark.parametrize("board", SNAPSHOTS)
def test_snapshot_replays_picture_and_sound(board, timing):
    cart = prepared(board)
    velkora_gym.set_timing(cart.nes, timing)
    boardrom.play(cart, 20)
    data = velkora_gym.snapshot(cart.nes)
    sound = audio_after(cart, 3)
    expected, banks = boardrom.play(cart, 40)
    assert len(banks) > 1, "the NMI writes changed no bank"

    fresh = Cart(cart.data)
    velkora_gym.restore(fresh.nes, data)
    assert audio_after(fresh, 3) == sound
    assert boardrom.play(fresh, 40)[0] == expected


# (image, setup, a follow-up whose effect leans on the registers the state kept)
STATES = {
    "Action 53": (A53, a53(0x81, 7) + a53(0x80, 0x3E) + a53(1, 2), a53(1, 4)),  # outer, mode, select
    "VRC4": (
        dict(mapper=21, prg_16k=8, chr_8k=16, submapper=1),
        [(0x9004, 2), (0x8000, 3), (0xB002, 2)],
        [(0xA000, 6), (0xB000, 5)],
    ),  # layout bit, PRG 0, a CHR high nibble
    "VRC2a": (dict(mapper=22, prg_16k=8, chr_8k=16), [(0xB002, 3), (0x9000, 1)], [(0xB000, 5)]),
    "VRC6": (
        dict(mapper=24, prg_16k=16, chr_8k=16),
        [(0xB003, 0x01), (0x9000, 0x7F), (0x9002, 0x80)],
        [(0xD000, 0x21)],
    ),  # 2 KiB CHR banks
    "FME-7": (dict(mapper=69, prg_16k=16, chr_8k=16), [(0x6000, 0x5A)] + fme7(8, 0x04) + fme7(9, 3), [(0xA000, 5)]),
}


@pytest.mark.parametrize("board", STATES)
def test_save_state_continues_in_a_fresh_console(tmp_path, board):
    kw, setup, follow = STATES[board]
    first, second = boardrom.continued_from_save(tmp_path, image(**kw), setup, follow)
    assert np.array_equal(second.mem[0x4020:], first.mem[0x4020:])
    assert np.array_equal(second.vram, first.vram)


def test_fme7_snapshot_keeps_the_ram_under_a_rom_window():
    cart = Cart(image(69, 16, 16))
    cart.run(Script().w((0x6000, 0x5A), (0x7FFF, 0xA5), *fme7(8, 0x05)))
    fresh = boardrom.restored(cart)
    fresh.run(Script().w(*fme7(8, 0xC0)))
    assert (fresh.mem[0x6000], fresh.mem[0x7FFF]) == (0x5A, 0xA5)


def test_action53_snapshot_keeps_the_chr_banks_not_on_show():
    cart = Cart(image(**A53))
    s = Script()
    for bank in range(4):
        s.w(*a53(0, bank)).put(0x0123, 0x40 + bank)
    cart.run(s.w(*a53(0, 1)))
    fresh = boardrom.restored(cart)
    got = fresh.run(Script().w(*a53(0, 0)).get(0x0123).w(*a53(0, 3)).get(0x0123).w(*a53(0, 1)).get(0x0123))
    assert got == [0x40, 0x43, 0x41]


def irq_image(mapper: int, setup, ack) -> bytes:
    return boardrom.last_bank_image(mapper, irq_code(setup, ack))


@pytest.mark.parametrize(
    "mapper, setup, ack",
    [
        (24, LIVE["VRC6"], [(0xF002, 0)]),
        (
            69,
            [(0xC000, 7), (0xE000, 0x38), (0xC000, 8), (0xE000, 13), (0xC000, 2), (0xE000, 0x90)]
            + fme7(15, 0x08)
            + fme7(13, 0x81),
            fme7(13, 0x81),
        ),
    ],
)
def test_batches_hand_out_the_board_channel_and_run_alike_without_audio(mapper, setup, ack):
    blocks = 0
    for _, heard in boardrom.beside_batches(irq_image(mapper, setup, ack), 40):
        blocks += len(heard) == 7
    assert blocks > 20
