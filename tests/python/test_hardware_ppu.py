"""The PPU in the hardware timing, through the Python API: the power-on palette and the
reset button."""

from __future__ import annotations

import numpy as np
import pytest

import nesrom
import velkora

velkora_gym = pytest.importorskip("velkora_gym")

# The NMI sets PPUMASK from $10 (emphasis only, rendering off: the picture is the white
# backdrop), and about 100 lines later clears it: emphasis on the top of the picture only.
# With $11 non-zero it flips the red and green bits of $10 every frame.
EMPHASIS_PROGRAM = nesrom.nrom_program(
    """
    sei
    ldx #$ff
    txs
    lda #0
    sta $2000
    sta $2001
wait1:
    bit $2002
    bpl wait1
wait2:
    bit $2002
    bpl wait2
    lda #$3f
    sta $2006
    lda #$00
    sta $2006
    lda #$30
    sta $2007
    lda #$80
    sta $2000
loop:
    jmp loop
""",
    nmi="""
    lda $10
    sta $2001
    lda $11
    beq delay
    lda $10
    eor #$60
    sta $10
delay:
    ldy #27
outer:
    ldx #100
inner:
    dex
    bne inner
    dey
    bne outer
    lda #0
    sta $2001
    rti
""",
)
WHITE = 255
# 191/256 of white, the emphasis factor.
DIMMED = 190


@pytest.fixture(scope="module")
def emphasis_rom() -> bytes:
    return nesrom.build_rom(EMPHASIS_PROGRAM)


def console(rom: bytes, timing: str) -> velkora.NES:
    nes = velkora.NES(nesrom.ImageFile(rom))
    velkora_gym.set_timing(nes, timing)
    return nes


def expected_top(bits: int) -> list[int]:
    """White under emphasis bits (red, green, blue): a channel dims when its own bit is clear
    and another is set, and every channel when all three are."""
    return [DIMMED if bits == 7 or (bits and not bits >> channel & 1) else WHITE for channel in range(3)]


def gray(rgb: np.ndarray) -> np.ndarray:
    r, g, b = (rgb[..., c].astype(np.int64) for c in range(3))
    return ((299 * r + 587 * g + 114 * b + 500) // 1000).astype(np.uint8)


# One console's palette RAM at power-on, as measured.
POWER_ON_PALETTE = [
    0x09, 0x01, 0x00, 0x01, 0x00, 0x02, 0x02, 0x0D, 0x08, 0x10, 0x08, 0x24, 0x00, 0x00, 0x04, 0x2C,
    0x09, 0x01, 0x34, 0x03, 0x00, 0x04, 0x00, 0x14, 0x08, 0x3A, 0x00, 0x02, 0x00, 0x20, 0x2C, 0x08,
]  # fmt: skip


def test_power_on_palette_is_the_timings_own(emphasis_rom):
    nes = velkora.NES(nesrom.ImageFile(emphasis_rom))
    assert nes.ppuMem()[0x3F00:0x3F20].tolist() == [0] * 32
    velkora_gym.set_timing(nes, "hardware")
    assert nes.ppuMem()[0x3F00:0x3F20].tolist() == POWER_ON_PALETTE
    velkora_gym.set_timing(nes, "design")
    assert nes.ppuMem()[0x3F00:0x3F20].tolist() == [0] * 32


# The reset handler counts resets in $0300; the first time it turns on NMI (counted in
# $0301), rendering, and writes OAM and the palette; after a reset it leaves the PPU alone.
RESET_PROGRAM = nesrom.nrom_program(
    """
    sei
    ldx #$ff
    txs
    inc $0300
    lda $0300
    cmp #1
    bne spin
wait:
    bit $2002
    bpl wait
    lda #$3f
    sta $2006
    lda #$01
    sta $2006
    lda #$21
    sta $2007
    lda #$05
    sta $2003
    lda #$66
    sta $2004
    lda #$88
    sta $2000
    lda #$1e
    sta $2001
spin:
    jmp spin
""",
    nmi="""
    inc $0301
    rti
""",
)


@pytest.mark.parametrize("timing", ["design", "hardware"])
def test_reset_clears_ppu_registers_and_keeps_memory(timing):
    nes = console(nesrom.build_rom(RESET_PROGRAM), timing)
    for _ in range(5):
        nes.runFrame()
    mem = nes.cpuMem()
    assert (mem[0x2000], mem[0x2001], mem[0x0300]) == (0x88, 0x1E, 1)
    nmis = int(mem[0x0301])
    assert nmis >= 3
    velkora_gym.soft_reset(nes)
    for _ in range(3):
        nes.runFrame()
    assert (mem[0x2000], mem[0x2001], mem[0x0300]) == (0, 0, 2)
    assert mem[0x0301] == nmis, "PPUCTRL's NMI enable is cleared"
    assert nes.OAM()[5] == 0x66
    assert nes.ppuMem()[0x3F01] == 0x21
    assert velkora_gym.timing(nes) == timing
