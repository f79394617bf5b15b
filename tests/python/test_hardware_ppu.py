"""The PPU in the hardware timing, through the Python API: colour emphasis in pictures,
batch observations and snapshots, the power-on palette and the reset button."""

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
    f"""
{nesrom.QUIET_PPU}
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


@pytest.mark.parametrize("bits", range(8))
@pytest.mark.parametrize("timing", ["design", "hardware"])
def test_emphasis_dims_the_channels_whose_bit_is_clear(emphasis_rom, timing, bits):
    nes = console(emphasis_rom, timing)
    nes.cpuMem()[0x10] = bits << 5
    nesrom.run_frames(nes, 4)
    picture = nes.getImg()
    top = expected_top(bits) if timing == "hardware" else [WHITE] * 3
    assert picture[5, 7].tolist() == top
    assert (picture[:90] == picture[5, 7]).all()
    assert (picture[120:] == WHITE).all(), "emphasis ends where PPUMASK is cleared"


@pytest.mark.parametrize("max_pool", [False, True])
@pytest.mark.parametrize("obs_type", ["rgb", "grayscale"])
def test_batch_observations_and_pictures_show_emphasis(emphasis_rom, obs_type, max_pool):
    nes = console(emphasis_rom, "hardware")
    mem = nes.cpuMem()
    mem[0x10], mem[0x11] = 0x20, 1  # red and green emphasis in turn
    nesrom.run_frames(nes, 3)
    batch = velkora_gym.Batch(emphasis_rom, 1, obs_type=obs_type, max_pool=max_pool)
    batch.restore(0, velkora_gym.snapshot(nes))
    pictures = []
    for _ in range(3):
        batch.step(np.zeros(1, np.uint8))
        nes.runFrame()
        pictures.append(nes.getImg().copy())
    assert np.array_equal(batch.picture(0), pictures[-1])
    assert pictures[-1][5, 7].tolist() != pictures[-2][5, 7].tolist(), "the emphasis should alternate"
    shown = np.maximum(pictures[-1], pictures[-2]) if max_pool else pictures[-1]
    if max_pool and obs_type == "rgb":
        assert shown[5, 7].tolist() == [WHITE, WHITE, DIMMED]
    expected = shown if obs_type == "rgb" else gray(shown)
    if max_pool and obs_type == "grayscale":
        expected = np.maximum(gray(pictures[-1]), gray(pictures[-2]))
    assert np.array_equal(batch.observations[0], expected)


def test_a_snapshot_carries_the_emphasis_of_both_pictures(emphasis_rom):
    nes = console(emphasis_rom, "hardware")
    mem = nes.cpuMem()
    mem[0x10], mem[0x11] = 0x80, 1
    nesrom.run_frames(nes, 5)
    data = velkora_gym.snapshot(nes)
    after = []
    for _ in range(3):
        nes.runFrame()
        after.append(nes.getImg().copy())

    fresh = console(emphasis_rom, "design")
    velkora_gym.restore(fresh, data)
    assert velkora_gym.timing(fresh) == "hardware"
    for picture in after:
        fresh.runFrame()
        assert np.array_equal(fresh.getImg(), picture)

    # The picture on show travels too, repainted at once.
    velkora_gym.restore(nes, data)
    shown = nes.getImg().copy()
    other = console(emphasis_rom, "hardware")
    other.runFrame()
    velkora_gym.restore(other, data)
    assert np.array_equal(other.getImg(), shown)
    assert shown[5, 7].tolist() != [WHITE] * 3


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
    nes = nesrom.run_frames(console(nesrom.build_rom(RESET_PROGRAM), timing), 5)
    mem = nes.cpuMem()
    assert (mem[0x2000], mem[0x2001], mem[0x0300]) == (0x88, 0x1E, 1)
    nmis = int(mem[0x0301])
    assert nmis >= 3
    velkora_gym.soft_reset(nes)
    nesrom.run_frames(nes, 3)
    assert (mem[0x2000], mem[0x2001], mem[0x0300]) == (0, 0, 2)
    assert mem[0x0301] == nmis, "PPUCTRL's NMI enable is cleared"
    assert nes.OAM()[5] == 0x66
    assert nes.ppuMem()[0x3F01] == 0x21
    assert velkora_gym.timing(nes) == timing


# VRAM $0000-$0006 holds $11..$77; with the buffer primed from $0001, one
# PPUDATA read (X=0) or a dummy read then the read in the next cycle (X=$10,
# the page crossing of LDA $20F7,X), then four plain reads; the bytes at $20.
DOUBLE_READ_PROGRAM = nesrom.nrom_program(
    f"""
{nesrom.QUIET_PPU}
    ldy #0
    jsr fill
    ldx #$00
    lda $20F7,x
    jsr keep
    jsr fill
    ldx #$10
    lda $20F7,x
    jsr keep
loop:
    jmp loop
fill:
    lda #0
    sta $2006
    sta $2006
    ldx #7
    lda #$11
fill_byte:
    sta $2007
    clc
    adc #$11
    dex
    bne fill_byte
    lda #0
    sta $2006
    lda #1
    sta $2006
    lda $2007
    rts
keep:
    sta $20,y
    iny
    ldx #4
keep_next:
    lda $2007
    sta $20,y
    iny
    dex
    bne keep_next
    rts
"""
)


@pytest.mark.parametrize(
    "timing, double",
    [
        ("design", [0x22, 0x33, 0x44, 0x55, 0x66]),
        # The second read comes before the buffer took the first's byte.
        ("hardware", [0x22, 0x44, 0x55, 0x66, 0x77]),
    ],
)
def test_ppudata_read_in_the_cycle_after_another(timing, double):
    nes = console(nesrom.build_rom(DOUBLE_READ_PROGRAM), timing)
    nes.runFrame()
    assert list(nes.cpuMem()[0x20:0x2A]) == [0x22, 0x33, 0x44, 0x55, 0x66] + double
