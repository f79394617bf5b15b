"""The boards whose IRQ counters count CPU cycles (VRC3, VRC4, VRC6, FME-7,
SS88006, Bandai FCG) are counted only when something looks: a register
write, a snapshot, or the board's hook on the dot the counter fires on. Where
each IRQ lands must not depend on when that happens: a console restored from
a snapshot every frame, into itself or a fresh console, interrupts the main
loop at the same instructions as one left running, with the counters
reloaded, acknowledged and moved at any point of a line."""

from __future__ import annotations

import hashlib

import pytest

import boardrom
import nesrom
from boardrom import last_bank_image, stores
from test_konami_sunsoft_boards import fme7

velkora = pytest.importorskip("velkora")
velkora_gym = pytest.importorskip("velkora_gym")


def program(mask: int, setup, ack, every) -> bytes:
    """The handler records, per IRQ, the loop count X and the low byte of the
    return address: together, the instruction the IRQ came before."""
    return nesrom.assemble(f"""
.org $E000
{nesrom.RESET_QUIET}
    lda #$00
    sta $10
    lda #${mask:02X}
    sta $2001
{stores(*setup)}
    ldx #$00
    cli
forever:
    inx
    nop
    bne forever
{stores(*every)}
    jmp forever
irq_handler:
    sta $20
    sty $21
    ldy $10
    txa
    sta $0400,y
    tsx
    lda $0102,x
    sta $0500,y
    ldx $0400,y
    inc $10
{stores(*ack)}
    lda $20
    ldy $21
    rti
nmi_handler:
    rti
{nesrom.VECTORS}
""")


# (mapper, submapper, setup, IRQ acknowledge, writes every 256 loops)
CASES = {
    "VRC4 cycles, latch rewritten": (23, 1, [(0xF000, 0), (0xF001, 0xC), (0xF002, 7)], [(0xF003, 0)], [(0xF000, 0)]),
    "VRC4 scanlines, restarted": (21, 1, [(0xF000, 0xD), (0xF002, 0xF), (0xF004, 3)], [(0xF006, 0)], [(0xF004, 3)]),
    "VRC6 cycles": (24, None, [(0xF000, 0x80), (0xF001, 7)], [(0xF002, 0)], []),
    "VRC6 scanlines, acknowledged late": (24, None, [(0xF000, 0xFE), (0xF001, 3)], [], [(0xF002, 0)]),
    "FME-7 reloaded": (69, None, fme7(14, 0x34) + fme7(15, 2) + fme7(13, 0x81), fme7(13, 0x81) + fme7(15, 2), []),
    "FME-7 counter moved": (69, None, fme7(14, 0x34) + fme7(15, 2) + fme7(13, 0x81), fme7(13, 0x81), fme7(15, 3)),
    "VRC7 cycles": (85, 2, [(0xE010, 0xC0), (0xF000, 7)], [(0xF010, 0)], [(0xE010, 0xB0)]),
    "VRC7b scanlines, restarted": (85, 1, [(0xE008, 0xFD), (0xF000, 3)], [(0xF008, 0)], [(0xF000, 3)]),
    "VRC3 8-bit": (73, None, [(0x8000, 0), (0x9000, 0), (0xC000, 7)], [(0xD000, 0)], []),
    "VRC3 16-bit, reloaded": (73, None, [(0xB000, 0xF), (0xA000, 0xA), (0xC000, 3)], [(0xD000, 0)], [(0xC000, 3)]),
    "SS88006 4-bit": (18, None, [(0xE000, 0xF), (0xE001, 3), (0xF000, 0), (0xF001, 9)], [(0xF001, 9)], []),
    "SS88006 16-bit, reloaded": (18, None, [(0xE002, 7), (0xF000, 0), (0xF001, 1)], [(0xF001, 1)], [(0xF000, 0)]),
    "Bandai LZ93D50": (16, 5, [(0x800B, 0), (0x800C, 0x10), (0x800A, 1)], [(0x800A, 1)], []),
    "Bandai FCG, counter moved": (16, 4, [(0x600B, 0), (0x600C, 0x10), (0x600A, 1)], [(0x600A, 1)], [(0x600C, 2)]),
}


def console(case: str, timing: str, rendering: bool):
    mapper, sub, setup, ack, every = CASES[case]
    data = last_bank_image(mapper, program(0x1E if rendering else 0, setup, ack, every), sub)
    return boardrom.console(data, f"counter{mapper}.nes", timing), data


def irq_record(nes, frames: int, restore=None) -> tuple[str, int]:
    digest = hashlib.sha1()
    for _ in range(frames):
        nes.runFrame()
        if restore is not None:
            nes = restore(nes)
        mem = nes.cpuMem()
        digest.update(bytes(mem[0x400:0x600]) + bytes([mem[0x10]]))
    return digest.hexdigest(), int(nes.cpuMem()[0x10])


@pytest.mark.parametrize("rendering", [False, True], ids=["blank", "rendering"])
@boardrom.both_timings
@pytest.mark.parametrize("case", CASES)
def test_irqs_land_alike_whenever_the_counter_is_counted(case, timing, rendering):
    straight, data = console(case, timing, rendering)
    expected, irqs = irq_record(straight, 24)
    assert irqs > 6

    itself, _ = console(case, timing, rendering)

    def into_itself(nes):
        velkora_gym.restore(nes, velkora_gym.snapshot(nes, picture=False))
        return nes

    def into_fresh(nes):
        fresh = velkora.NES(nesrom.ImageFile(data, "fresh.nes"))
        velkora_gym.restore(fresh, velkora_gym.snapshot(nes, picture=False))
        return fresh

    assert irq_record(itself, 24, into_itself) == (expected, irqs)
    fresh, _ = console(case, timing, rendering)
    assert irq_record(fresh, 24, into_fresh) == (expected, irqs)
