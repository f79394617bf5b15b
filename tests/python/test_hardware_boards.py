"""Boards in the hardware timing: MMC3's counter clocked by rises of PPU address line A12
(what the PPU fetches, PPUADDR and PPUDATA moving v), its interrupt a level held until
$E000; mapper 40's timer line; MMC1 ignoring a read-modify-write's second write."""

from __future__ import annotations

import pytest

import boardrom
import nesrom
from test_boards import mapper40_image

velkora = pytest.importorskip("velkora")
velkora_gym = pytest.importorskip("velkora_gym")

BACKGROUND_TILE = 0x40
# Zero page of the MMC3 programs: $10 IRQs since the last NMI, $11 those of the
# last whole frame, $12 frames, $13 IRQs in all.
IRQS, LAST_FRAME_IRQS, FRAMES, ALL_IRQS = 0x10, 0x11, 0x12, 0x13


def mmc3_image(main: str, *, nmi: str = "rti", irq: str = "rti", data: str = "") -> bytes:
    """32 KiB of PRG with the program in the last 16 KiB (which MMC3 shows at
    $C000 from power-on) and 8 KiB of CHR ROM in which only BACKGROUND_TILE
    is opaque, in both pattern tables."""
    source = f"""
.org $8000
.advance $C000, $FF
{nesrom.RESET}
    lda #$00
    sta $2000
    sta $2001
    sta $10
    sta $11
    sta $12
    sta $13
    lda #$C0
    sta $4017
{nesrom.WARM_UP}
{main}
nmi_handler:
{nmi}
irq_handler:
{irq}
{data}
{nesrom.VECTORS}
"""
    chr_rom = bytearray(8192)
    for table in (0, 0x1000):
        start = table + 16 * BACKGROUND_TILE
        chr_rom[start : start + 16] = b"\xff" * 16
    return nesrom.build_rom(source, prg_16k=2, chr_data=bytes(chr_rom), mapper=4)


def hardware_console(image: bytes, name: str = "mmc3.nes"):
    return boardrom.console(image, name, "hardware")


# ------------------------------------------------------------ rendering


def split_program(
    ctrl: int, latch: int, sprites: list[tuple[int, int]], *, acknowledge: bool = True, set_v: bool = True
) -> bytes:
    """A white screen whose IRQ handler turns rendering off: the picture turns
    black from the line after the one the counter reaches 0 on. Each NMI sets
    v to $2000 (A12 low through vertical blank), reloads the counter with
    `latch` and turns rendering on with PPUCTRL = `ctrl`. `sprites` are (Y,
    tile) pairs; the other sprites sit below the picture. Without `set_v` the
    NMI writes no register that moves A12."""
    oam = bytearray([0xF0, 0x00, 0x00, 0x00] * 64)
    for i, (y, tile) in enumerate(sprites):
        oam[4 * i : 4 * i + 4] = bytes([y, tile, 0x00, 8 * i])
    table = "\n".join(f"    .byte {', '.join(f'${b:02X}' for b in oam[r : r + 16])}" for r in range(0, 256, 16))
    main = f"""
{nesrom.TO_PALETTE}
    ldx #$00
palette:
    lda #$30
    sta $2007
    inx
    cpx #$20
    bne palette
{boardrom.BACKDROP}
{boardrom.fill_nametable(BACKGROUND_TILE)}
    ldx #$00
copy:
    lda sprite_table,x
    sta $0200,x
    inx
    bne copy
    lda #$02
    sta $4014
    lda #${0x80 | ctrl:02X}
    sta $2000
    cli
forever:
    jmp forever
"""
    set_v_code = """
    lda #$20
    sta $2006
    lda #$00
    sta $2006"""
    nmi = f"""
    pha{set_v_code if set_v else ""}
    lda #$00
    sta $2005
    sta $2005
    lda #${0x80 | ctrl:02X}
    sta $2000
    lda #{latch}
    sta $C000
    sta $C001
    sta $E001
{boardrom.FRAME_END}
"""
    irq = f"""
    pha
    lda #$00
    sta $2001
    {"sta $E000" if acknowledge else ""}
    sta $E001
    inc $10
    inc $13
    pla
    rti
"""
    return mmc3_image(main, nmi=nmi, irq=irq, data="sprite_table:\n" + table)


def run_split(image: bytes, frames: int = 8) -> tuple[int | None, int]:
    nes = boardrom.console(image, "mmc3.nes", "hardware", frames)
    return boardrom.first_black_row(nes), int(nes.cpuMem()[LAST_FRAME_IRQS])


EVEN_SPRITES = [(0, 2 * i) for i in range(8)]  # 8 x 16, on lines 0-15: tables $0000 only
MIXED_SPRITES = [(0, 2 * i + (i & 1)) for i in range(8)]  # $0000, $1000, $0000, ...


# The NMI reloads the counter with 19; the pre-render line's clock loads it.
@pytest.mark.parametrize(
    "ctrl, sprites, split",
    [
        # Sprites at $1000: a rise at the first sprite fetch (dot 261) of every
        # line; line 18's runs the counter out, and line 19 is dark.
        pytest.param(0x08, [], 19, id="sprites-1000"),
        # Background at $1000: a rise every tile, four dots apart; the filter
        # keeps only the one after the sprite fetches (dot 325), and the
        # pre-render line's first tile. Line 17 runs the counter out, the
        # handler turns rendering off early on line 18.
        pytest.param(0x10, [], 19, id="background-1000"),
        # Both tables alike: A12 never rises, or never stays low long enough.
        pytest.param(0x00, [], None, id="both-0000"),
        pytest.param(0x18, [], None, id="both-1000"),
        # 8 x 16 sprites take the table from the tile, an empty slot fetching
        # tile $FF from $1000. Eight sprites on lines 0-15 alternating the
        # tables give four rises a line: line 4 runs the counter out.
        pytest.param(0x20, MIXED_SPRITES, 6, id="tall-mixed"),
        # All eight from $0000: nothing rises on lines 0-15, and the count
        # goes on from line 16.
        pytest.param(0x20, EVEN_SPRITES, 35, id="tall-even"),
        # Fewer sprites than slots: the empty ones rise once a line.
        pytest.param(0x20, EVEN_SPRITES[:7], 19, id="tall-empty-slot"),
    ],
)
def test_rendering_clocks_the_counter_by_a12(ctrl, sprites, split):
    row, irqs = run_split(split_program(ctrl, 19, sprites))
    assert row == split
    assert irqs == (0 if split is None else 1)


def test_the_interrupt_is_a_level_until_e000():
    # Without $E000 ($E001 alone does not acknowledge) the line stays low: the
    # handler runs again after every RTI, and rendering never gets through a
    # frame once the first interrupt came.
    row, irqs = run_split(split_program(0x08, 19, [], acknowledge=False))
    assert row == 0
    assert irqs > 100


def loaded_state(image: bytes, folder, *, saved_after: int, loaded_after: int):
    """A console that ran `loaded_after` frames, then loaded the state another saved
    after `saved_after`."""
    consoles = []
    for frames in (saved_after, loaded_after):
        nes = hardware_console(image)
        nes.setSaveDir(str(folder))
        nesrom.run_frames(nes, frames)
        consoles.append(nes)
    consoles[0].saveState(1)
    assert consoles[1].loadState(1)
    return consoles[1]


def test_a_save_state_turning_rendering_on_reaches_the_counter(tmp_path):
    # A save state brings PPUCTRL and PPUMASK with the memory, not through
    # their registers: the console that loads it, still in its warm-up with
    # rendering off, takes the split up within a frame or two.
    loaded = loaded_state(split_program(0x08, 19, [], set_v=False), tmp_path, saved_after=8, loaded_after=1)
    nesrom.run_frames(loaded, 4)
    assert boardrom.first_black_row(loaded) == 19
    assert loaded.cpuMem()[LAST_FRAME_IRQS] == 1


@pytest.mark.parametrize("change", ["design", "reset"])
def test_the_split_survives_a_timing_change_and_the_reset_button(change):
    # Back in the design timing the counter is clocked at dot 256 again (its
    # interrupt a request, not a level); after the reset button the program
    # starts over with rendering off and turns it on again.
    nes = nesrom.run_frames(hardware_console(split_program(0x08, 19, [])), 8)
    if change == "design":
        velkora_gym.set_timing(nes, "design")
    else:
        velkora_gym.soft_reset(nes)
    nesrom.run_frames(nes, 8)
    assert boardrom.first_black_row(nes) in (19, 20)
    assert nes.cpuMem()[LAST_FRAME_IRQS] == 1


# ------------------------------------------------------------ PPUADDR and PPUDATA


def toggle_program(latch: int, toggles: int, *, through: str) -> bytes:
    """Rendering off: reloads the counter with `latch`, then moves v across
    $1000 `toggles` times, by PPUADDR writes or by PPUDATA reads from $0FFF."""
    if through == "ppuaddr":
        rise = """
    lda #$00
    sta $2006
    sta $2006
    lda #$10
    sta $2006
    lda #$00
    sta $2006
"""
    else:
        rise = """
    lda #$0F
    sta $2006
    lda #$FF
    sta $2006
    lda $2007
"""
    main = f"""
    lda #$00
    sta $2006
    sta $2006
    lda #{latch}
    sta $C000
    sta $C001
    sta $E001
    cli
    ldx #{toggles}
toggle:
{rise}
    dex
    bne toggle
    sei
    inc $12
forever:
    jmp forever
"""
    irq = """
    sta $E000
    sta $E001
    inc $13
    rti
"""
    return mmc3_image(main, irq=irq)


@pytest.mark.parametrize("through", ["ppuaddr", "ppudata"])
@pytest.mark.parametrize(
    "latch, toggles, irqs",
    [
        (3, 3, 0),  # reloaded with 3, then down to 1
        (3, 4, 1),  # ... and to 0
        (1, 5, 2),  # 1, 0, 1, 0, 1
        (0, 3, 3),  # a latch of 0 raises the interrupt on every clock
    ],
)
def test_moving_v_across_1000_clocks_the_counter(latch, toggles, irqs, through):
    nes = nesrom.run_frames(hardware_console(toggle_program(latch, toggles, through=through)), 6)
    mem = nes.cpuMem()
    assert mem[FRAMES] == 1, "the program did not finish"
    assert mem[ALL_IRQS] == irqs


# ------------------------------------------------------------ mapper 40


def mapper40(acknowledge: bool):
    """The timer starts on $A000; the handler counts and restarts it ($8000
    stops and acknowledges) or leaves it running."""
    ack = "sta $8000\n    sta $A000" if acknowledge else ""
    source = f"""
.org $E000
{nesrom.RESET_QUIET}
    lda #$00
    sta $10
    sta $11
    sta $12
    sta $8000
    sta $A000
    cli
forever:
    inc $12
    jmp forever
{boardrom.irq_counter("    " + ack)}
"""
    return hardware_console(mapper40_image(source), "m40.nes")


def test_mapper40_timer_raises_the_line_every_4096_cycles():
    nes = mapper40(acknowledge=True)
    irqs = boardrom.irqs_after(nes, 60)
    # Each interval starts again after the handler's acknowledge.
    assert nes.cycleCount() // (4096 + 40) <= irqs <= nes.cycleCount() // 4096


def test_mapper40_line_falls_by_itself_an_interval_later():
    # Never acknowledged, the line stays up for 4096 cycles (the handler runs
    # again and again), then the timer's top bit clears it for as long, and
    # the main loop runs.
    nes = mapper40(acknowledge=False)
    mem = nes.cpuMem()
    nes.runFrame()
    runs = []
    for _ in range(20):
        loops = int(mem[0x12])
        nes.runFrame()
        runs.append((int(mem[0x12]) - loops) & 0xFF)
    assert all(runs), "the main loop stalled"
    irqs = int(mem[0x10]) | int(mem[0x11]) << 8
    assert irqs > 50 * nes.cycleCount() // 8192


# ------------------------------------------------------------ MMC1


def mmc1_windows_after(*scripts) -> list[list]:
    """The 8 KiB PRG banks at $8000-$FFFF after each script (256 KiB of PRG)."""
    cart = boardrom.Cart(boardrom.image(1, 16, 1))
    velkora_gym.set_timing(cart.nes, "hardware")
    seen = []
    for script in scripts:
        cart.run(script)
        seen.append(cart.windows()[0])
    return seen


def serial(address: int, value: int) -> list[tuple[int, int]]:
    return [(address, (value >> bit) & 1) for bit in range(5)]


def test_mmc1_ignores_the_second_write_of_a_read_modify_write():
    # PRG mode 2 ($C000 switched) with bank 5 there. Then SEC; ROR $E000 reads
    # the filler of 8 KiB bank 31, $20, and writes $20, then $90 on the next
    # cycle: MMC1 takes bit 0 of the first and ignores the second, whose bit 7
    # would reset it to mode 3. Four more writes complete 0b00110: bank 6.
    setup = boardrom.Script().w((0x8000, 0x80), *serial(0x8000, 0x08), *serial(0xE000, 5))
    rmw = boardrom.Script()
    rmw.ops.append(bytes([0x38, 0x6E, 0x00, 0xE0]))
    rest = boardrom.Script().w((0xE000, 1), (0xE000, 1), (0xE000, 0), (0xE000, 0))
    assert mmc1_windows_after(setup, rmw, rest) == [[0, 1, 10, 11], [0, 1, 10, 11], [0, 1, 12, 13]]


# ------------------------------------------------------------ save states

# Counts frames in $12 with interrupts masked while the board's line rises
# (latch 4, never acknowledged); from frame 8 it disables the board's
# interrupt ($E000) and unmasks. The handler counts in $10 without acknowledging.
HELD_LINE_MAIN = """
    lda #$04
    sta $C000
    sta $C001
    sta $E001
    lda #$08
    sta $2000
    lda #$18
    sta $2001
masked:
    bit $2002
    bpl masked
    inc $12
    lda $12
    cmp #8
    bne masked
    sta $E000
    cli
open:
    jmp open
"""


def test_load_state_drops_a_board_line_the_file_does_not_hold(tmp_path):
    # After 4 frames the line is up, masked.
    held = loaded_state(
        mmc3_image(HELD_LINE_MAIN, irq="    inc $10\n    rti"), tmp_path, saved_after=12, loaded_after=4
    )
    nesrom.run_frames(held, 3)
    assert held.cpuMem()[0x10] == 0
