"""Bandai FCG (16), Jaleco SS88006 (18), Irem G-101 (32), Taito TC0190 (33),
Sunsoft-4 (68), VRC3 (73) and VRC1 (75): banks, mirroring, IRQ counters and
snapshots."""

from __future__ import annotations

import numpy as np
import pytest

import boardrom
import nesrom
from boardrom import CHR, Cart, Script, image
from test_konami_sunsoft_boards import irqs_counted
from test_more_boards import C2, C4, P16, screen, script

velkora = pytest.importorskip("velkora")
velkora_gym = pytest.importorskip("velkora_gym")


def nibbles(address: int, value: int) -> list:
    return [(address, value & 0x0F), (address + 1, value >> 4)]


# (image, steps of (writes, PRG 8 KiB banks at $8000-$E000, CHR 1 KiB banks or None))
BANKS = {
    "Bandai FCG LZ93D50": (
        dict(mapper=16, prg_16k=8, chr_8k=16, submapper=5),
        [
            ([], P16(0) + P16(7), None),
            (
                [(0x8008, 3)] + [(0x8000 + w, 0x10 + 9 * w) for w in range(8)],
                P16(3) + P16(7),
                [0x10 + 9 * w for w in range(8)],
            ),
            ([(0x6008, 5)], P16(3) + P16(7), None),  # the FCG's range: not this chip
        ],
    ),
    "Bandai FCG-1/2": (
        dict(mapper=16, prg_16k=8, chr_8k=16, submapper=4),
        [
            ([(0x6008, 5), (0x7FF1, 0x21)], P16(5) + P16(7), [0, 0x21, 2, 3, 4, 5, 6, 7]),
            ([(0x8008, 2)], P16(5) + P16(7), None),
        ],
    ),
    "Bandai FCG, submapper 0": (
        dict(mapper=16, prg_16k=8, chr_8k=16),
        [([(0x6008, 5)], P16(5) + P16(7), None), ([(0x8008, 2)], P16(2) + P16(7), None)],
    ),
    "SS88006": (
        dict(mapper=18, prg_16k=16, chr_8k=16),
        [
            ([], [0, 0, 0, 31], None),
            (nibbles(0x8000, 0x13) + nibbles(0x8002, 0x05) + nibbles(0x9000, 0x1C), [0x13, 5, 0x1C, 31], None),
            (
                [p for w in range(8) for p in nibbles(0xA000 + 0x1000 * (w // 2) + 2 * (w % 2), 0x11 * w + 3)],
                [0x13, 5, 0x1C, 31],
                [0x11 * w + 3 for w in range(8)],
            ),
        ],
    ),
    "G-101": (
        dict(mapper=32, prg_16k=8, chr_8k=16),
        [
            ([], [0, 1, 14, 15], None),
            (
                [(0x8000, 3), (0xA000, 5)] + [(0xB000 + w, 0x20 + w) for w in range(8)],
                [3, 5, 14, 15],
                [0x20 + w for w in range(8)],
            ),
            ([(0x9000, 2)], [14, 5, 3, 15], None),
            ([(0x8FFF, 0x29)], [14, 5, 9, 15], None),  # 41 of 16 banks
        ],
    ),
    "G-101 Major League": (
        dict(mapper=32, prg_16k=8, chr_8k=16, submapper=1),
        [([(0x9000, 2), (0x8000, 3)], [3, 1, 14, 15], None)],
    ),
    "TC0190": (
        dict(mapper=33, prg_16k=8, chr_8k=16),
        [
            ([], [0, 1, 14, 15], None),
            (
                [
                    (0x8000, 0x43),
                    (0x8001, 6),
                    (0x8002, 5),
                    (0x8003, 9),
                    (0xA000, 0x30),
                    (0xA001, 0x31),
                    (0xA002, 0x32),
                    (0xA003, 0x33),
                ],
                [3, 6, 14, 15],
                C2(5) + C2(9) + [0x30, 0x31, 0x32, 0x33],
            ),
        ],
    ),
    "TC0690": (
        dict(mapper=48, prg_16k=8, chr_8k=16),
        [
            ([], [0, 1, 14, 15], None),
            (
                [(0x8000, 0x43), (0x8001, 6), (0x8002, 5), (0x8003, 9), (0xA000, 0x30), (0xA001, 0x31), (0xA002, 0x32)],
                [3, 6, 14, 15],
                C2(5) + C2(9) + [0x30, 0x31, 0x32, 7],
            ),
            # The mask is $E003: $9FFF is $8003, and $C000-$E003 are no banks.
            ([(0x9FFF, 2), (0xC000, 1), (0xE003, 1)], [3, 6, 14, 15], C2(5) + C2(2) + [0x30, 0x31, 0x32, 7]),
        ],
    ),
    "Sunsoft-4": (
        dict(mapper=68, prg_16k=8, chr_8k=16),
        [
            ([], P16(0) + P16(7), None),
            (
                [(0xF000, 0x13), (0x8000, 7), (0x9000, 9), (0xA000, 0x3F), (0xBFFF, 2)],
                P16(3) + P16(7),
                C2(7) + C2(9) + C2(0x3F) + C2(2),
            ),
        ],
    ),
    "VRC3": (
        dict(mapper=73, prg_16k=8),
        [
            ([], P16(0) + P16(7), None),
            ([(0xF000, 5)], P16(5) + P16(7), None),
            ([(0xFFFF, 0x0E)], P16(6) + P16(7), None),
        ],
    ),
    "VRC1": (
        dict(mapper=75, prg_16k=8, chr_8k=16),
        [
            ([], [0, 1, 2, 15], None),
            ([(0x8000, 4), (0xA000, 5), (0xC000, 6), (0xE000, 3), (0xF000, 9)], [4, 5, 6, 15], C4(3) + C4(9)),
            ([(0x9000, 0x06)], [4, 5, 6, 15], C4(0x13) + C4(0x19)),  # bit 4 of each CHR bank
        ],
    ),
}


@pytest.mark.parametrize("board", BANKS)
def test_bank_windows(board):
    kw, steps = BANKS[board]
    for (writes, prg, chr_banks), (got_prg, got_chr) in boardrom.bank_steps(kw, steps):
        assert got_prg == prg, f"PRG after {writes}"
        if chr_banks is not None:
            assert got_chr == [b % (8 * kw.get("chr_8k", 1)) for b in chr_banks], f"CHR after {writes}"


# Horizontal, then vertical: what was written at $2405 (the first table) is
# overwritten through $2005, and the second table stays empty.
H_THEN_V = ([0, boardrom.B, 0, 0], {0x2005: boardrom.B, 0x2405: 0})
# (image, writes for layout 0, writes for layout 1, what ONE_SCREEN-style probes read)
PAGES = {
    "Bandai FCG one-screen": (dict(mapper=16, prg_16k=8, chr_8k=16), [(0x8009, 2)], [(0x8009, 3)], boardrom.ONE_SCREEN),
    "SS88006 one-screen": (dict(mapper=18, prg_16k=8, chr_8k=16), [(0xF002, 2)], [(0xF002, 3)], boardrom.ONE_SCREEN),
    "Sunsoft-4 one-screen": (dict(mapper=68, prg_16k=8, chr_8k=16), [(0xE000, 2)], [(0xE000, 3)], boardrom.ONE_SCREEN),
    "G-101": (dict(mapper=32, prg_16k=8, chr_8k=16), [(0x9000, 1)], [(0x9000, 0)], H_THEN_V),
    "TC0190": (dict(mapper=33, prg_16k=8, chr_8k=16), [(0x8000, 0)], [(0x8000, 0x40)], boardrom.V_THEN_H),
    "TC0690": (dict(mapper=48, prg_16k=8, chr_8k=16), [(0xE000, 0)], [(0xE000, 0x40)], boardrom.V_THEN_H),
    "VRC1": (dict(mapper=75, prg_16k=8, chr_8k=16), [(0x9000, 0)], [(0x9000, 1)], boardrom.V_THEN_H),
}


@pytest.mark.parametrize("board", PAGES)
def test_nametable_layouts(board):
    boardrom.check_pages(*PAGES[board])


# $E000 with bit 4: the nametable pages are the CHR ROM kilobytes $C000 and
# $D000 name (bit 7 set: 133 and 255 here), slot by slot as the mirroring
# bits place the pages; without it, the console's RAM.
SUNSOFT4_SLOTS = {
    0x10: ("rom0", "rom1", "rom0", "rom1"),
    0x11: ("rom0", "rom0", "rom1", "rom1"),
    0x12: ("rom0",) * 4,
    0x13: ("rom1",) * 4,
    0x01: ("ram0", "ram0", "ram1", "ram1"),
}


@pytest.mark.parametrize("control", SUNSOFT4_SLOTS)
def test_sunsoft4_nametables_from_chr_rom(control):
    cart = Cart(image(68, 8, 32, chr_data=CHR))
    cart.run(Script().w((0xE000, 0x01)).put(0x3F00, *boardrom.BACKGROUND).ramp(0x2000, 0x400).fill(0x2800, 0x45, 0x400))
    chr2k = [20, 21, 40, 63]
    cart.run(Script().w(*[(0x8000 + 0x1000 * i, b) for i, b in enumerate(chr2k)], (0xC000, 0x05), (0xD000, 0x7F)))
    banks = [2 * b + k for b in chr2k for k in (0, 1)]
    pages = {
        "rom0": CHR[133 * 1024 : 134 * 1024],
        "rom1": CHR[255 * 1024 : 256 * 1024],
        "ram0": bytes(i & 0xFF for i in range(1024)),
        "ram1": bytes([0x45] * 1024),
    }
    cart.run(Script().w((0xE000, control)))
    boardrom.check_slots(cart, [pages[page] for page in SUNSOFT4_SLOTS[control]], banks)


# (mapper, submapper, setup, acknowledge, CPU cycles per IRQ)
IRQS = {
    # Reloaded by the handler: one interval plus the handler's own cycles.
    "SS88006 8-bit": (18, None, [(0xE000, 0xF), (0xE001, 0xF), (0xF000, 0), (0xF001, 0x05)], [(0xF001, 0x05)], 256),
    "SS88006 4-bit": (18, None, [(0xE000, 0xF), (0xE001, 0x3), (0xF000, 0), (0xF001, 0x09)], [(0xF001, 0x09)], 16),
    "VRC3 8-bit": (73, None, [(0x8000, 0), (0x9000, 0), (0xC000, 0x07)], [(0xD000, 0)], 256),
    "VRC3 16-bit, reload $F000": (73, None, [(0xB000, 0xF), (0xC000, 0x03)], [(0xD000, 0)], 4096),
    "Bandai LZ93D50": (16, 5, [(0x800B, 0x00), (0x800C, 0x10), (0x800A, 1)], [(0x800A, 1)], 4096),
}


@boardrom.both_timings
@pytest.mark.parametrize("board", IRQS)
def test_irq_counters_interrupt_at_their_period(board, timing):
    nes, irqs = irqs_counted(IRQS[board], timing, 60)
    period = IRQS[board][-1]
    cycles = nes.cycleCount() - 40
    if "SS88006 4" in board or "Bandai" in board:
        # The handler's acknowledge also restarts the count: up to ~40 cycles
        # of handler per interval on top (the 4-bit counter's period is short).
        assert cycles // (period + 60) <= irqs <= cycles // period + 1
    else:
        assert int((cycles - 40) // period) <= irqs <= int(cycles // period) + 1
    assert irqs > 20


# The TC0690's counter is the MMC3's with the latch written inverted: the
# same program, its registers translated, interrupts on the same lines.
def scanline_program(reload: str, ack: str) -> str:
    return f"""
.org $8000
.advance $C000, $FF
reset:
    sei
    ldx #$FF
    txs
    lda #$C0
    sta $4017
warm:
    bit $2002
    bpl warm
warm2:
    bit $2002
    bpl warm2
    lda #$88
    sta $2000
    cli
forever:
    jmp forever
nmi_handler:
    pha
    lda #$00
    sta $2005
    sta $2005
{reload}
{boardrom.FRAME_END}
irq_handler:
    pha
{ack}
    inc $10
    pla
    rti
{nesrom.VECTORS}
"""


# Per board: the reload (latch, reload, enable) and the acknowledge.
SCANLINE_BOARDS = {
    4: ("    lda #{latch}\n    sta $C000\n    sta $C001\n    sta $E001", "    sta $E000\n    sta $E001"),
    48: ("    lda #{inverted}\n    sta $C000\n    sta $C001\n    sta $C002", "    sta $C003\n    sta $C002"),
}


def scanline_irqs(mapper: int, latch: int, timing: str) -> list[int]:
    reload, ack = SCANLINE_BOARDS[mapper]
    source = scanline_program(reload.format(latch=latch, inverted=latch ^ 0xFF), ack)
    data = nesrom.build_rom(source, prg_16k=2, chr_data=bytes(8192), mapper=mapper)
    nes = boardrom.console(data, f"scanline{mapper}.nes", timing)
    counts = []
    for _ in range(12):
        nes.runFrame()
        counts.append(int(nes.cpuMem()[0x11]))
    return counts


@boardrom.both_timings
@pytest.mark.parametrize("latch", [15, 40])
def test_tc0690_counts_scanlines_as_the_mmc3_with_an_inverted_latch(latch, timing):
    irqs = scanline_irqs(48, latch, timing)
    assert irqs == scanline_irqs(4, latch, timing)
    assert irqs[-1] > 0


SNAPSHOTS = {
    "Bandai FCG": (dict(mapper=16, prg_16k=8, chr_8k=16), [(0x8000, 0x3F), (0x8008, 0x07)]),
    "SS88006": (dict(mapper=18, prg_16k=8, chr_8k=16), [(0xA000, 0x0F), (0x8000, 0x0F)]),
    "G-101": (dict(mapper=32, prg_16k=8, chr_8k=16), [(0xB003, 0xFF), (0x8000, 0x0F)]),
    "TC0190": (dict(mapper=33, prg_16k=8, chr_8k=16), [(0xA001, 0xFF), (0x8001, 0x0F)]),
    "Sunsoft-4": (dict(mapper=68, prg_16k=8, chr_8k=16), [(0x9000, 0xFF), (0xF000, 0x07)]),
    "VRC3": (dict(mapper=73, prg_16k=8), [(0xF000, 0x07)]),
    "VRC1": (dict(mapper=75, prg_16k=8, chr_8k=16), [(0xE000, 0x0F), (0xA000, 0x0F)]),
}


@pytest.mark.parametrize("board", SNAPSHOTS)
def test_snapshot_replays_identically(board):
    kw, writes = SNAPSHOTS[board]
    cart = Cart(image(**kw))
    cart.run(script(screen(chr_ram=kw.get("chr_8k", 0) == 0)).w((0x2005, 0), (0x2005, 0), (0x2001, 0x0A)))
    boardrom.check_nmi_replay(cart, writes)


@pytest.mark.parametrize(
    "mapper, prg_16k, chr_8k, refused",
    [(73, 8, 2, "at most 8 KiB of CHR ROM"), (75, 16, 0, "128 KiB of PRG ROM"), (16, 32, 0, "256 KiB of PRG ROM")],
)
def test_sizes_a_board_cannot_reach_are_refused(mapper, prg_16k, chr_8k, refused):
    with pytest.raises(Exception, match=refused):
        velkora.NES(nesrom.ImageFile(image(mapper, prg_16k, chr_8k)))


# (image, setup, a follow-up whose effect leans on a register the state kept)
STATES = {
    "SS88006": (dict(mapper=18, prg_16k=16, chr_8k=16), [(0x8001, 1), (0xA001, 2)], [(0x8000, 3), (0xA000, 5)]),
    "G-101": (dict(mapper=32, prg_16k=8, chr_8k=16), [(0x9000, 3)], [(0x8000, 5)]),
    "VRC1": (dict(mapper=75, prg_16k=8, chr_8k=16), [(0x9000, 6)], [(0xE000, 3), (0xF000, 1)]),
}


@pytest.mark.parametrize("board", STATES)
def test_save_state_continues_in_a_fresh_console(tmp_path, board):
    kw, setup, follow = STATES[board]
    first, second = boardrom.continued_from_save(tmp_path, image(**kw), setup, follow)
    assert np.array_equal(second.vram, first.vram)
