"""Writes the cartridges the profile-guided build trains on into a folder.

    python tools/pgo/cartridges.py FOLDER

game.nes is the demo game (the one the package ships) and game-2p.nes its
two-player cartridge; board-*.nes is one cartridge per emulated board. Each
board cartridge renders a scrolling background and 64 moving sprites (more
than eight on a line), waits for sprite 0, then rewrites the scroll and
switches the board's banks on every line of the picture, takes the board's
and the APU's interrupts, plays every audio channel (DMC included), and
cycles colour emphasis, greyscale, 8x16 sprites and the pattern tables:
the paths the cartridges with raster effects take. Every 8 KiB of PRG holds
the same program at $F000, so it runs whatever bank a board maps.
"""

from __future__ import annotations

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "demo"))
sys.path.insert(0, str(ROOT / "tests" / "python"))
import build_demo  # noqa: E402
import nesrom  # noqa: E402

PROGRAM = """
.org $F000
; $10-$11 frame, $12 NMIs, $14 interrupts, $15-$16 joypads, $17 noise, $18 board mode bits,
; $19 main loop passes
{reset}
    lda #$00
    sta $2000
    sta $2001
    lda #$40
    sta $4017
    inx
clear:
    sta $00,x
    sta $0300,x
    lda sprites,x
    sta $0200,x
    lda #$00
    inx
    bne clear
{warm_up}
{init}
    lda #$00
    jsr copy
    lda #$10
    jsr copy
    lda #$20
    jsr copy
    lda #$0F
    sta $4015
    lda #$1E
    sta $2001
    lda #$88
    sta $2000
    cli
main:
    lda $12
idle:
    cmp $12
    beq idle
    inc $19
    jsr move
    ldx #$00
    ldy #$04
hit_clear:
    bit $2002
    bvc hit_wait
    dex
    bne hit_clear
    dey
    bne hit_clear
hit_wait:
    ldx #$00
    ldy #$08
hit:
    bit $2002
    bvs raster
    dex
    bne hit
    dey
    bne hit
raster:
    ldy #$00
line:
    tya
    clc
    adc $10
    sta $2005
    sta $2005
    jsr board
    tya
    and #$0F
    bne same_line
    lda #$20
    sta $2006
    tya
    asl
    sta $2006
same_line:
    iny
    cpy #$A0
    bne line
    ldx #$00
work:
    lda $0300,x
    eor $17
    asl
    adc #$1D
    sta $0300,x
    ror $17
    inx
    bne work
    jmp main

; Copies the 4 KiB at $E000 to the PPU at A * $100.
copy:
    sta $2006
    lda #$00
    sta $2006
    sta $00
    lda #$E0
    sta $01
    ldx #$10
    ldy #$00
copy_byte:
    lda ($00),y
    sta $2007
    iny
    bne copy_byte
    inc $01
    dex
    bne copy_byte
    rts

; Every sprite but sprite 0 moves right by 1 to 4 pixels, and down on odd frames.
move:
    ldx #$04
move_one:
    txa
    lsr
    lsr
    and #$03
    sec
    adc $0203,x
    sta $0203,x
    lda $10
    lsr
    bcc move_next
    inc $0200,x
move_next:
    inx
    inx
    inx
    inx
    bne move_one
    rts

sound:
    lda $10
    lsr
    lsr
    and #$0F
    ora #$B0
    sta $4000
    lda $10
    asl
    sta $4002
    lda $10
    and #$07
    bne sound_held
    lda #$09
    sta $4003
    lda #$7F
    sta $4004
    lda #$8A
    sta $4005
    lda $10
    sta $4006
    lda #$10
    sta $4007
    lda #$81
    sta $4008
    lda #$F8
    sta $400B
    lda #$3F
    sta $400C
    lda #$08
    sta $400F
    lda $10
    lsr
    lsr
    and #$3F
    sta $4012
    lda #$10
    sta $4013
    lda $10
    and #$F0
    bne dmc_loop
    lda #$8F
    bne dmc_rate
dmc_loop:
    lsr
    lsr
    lsr
    lsr
    ora #$40
dmc_rate:
    sta $4010
    lda #$1F
    sta $4015
sound_held:
    lda $10
    sta $400A
    lsr
    lsr
    lsr
    and #$8F
    sta $400E
    lda $10
    and #$7F
    bne sound_done
    lda $10
    and #$80
    beq frame_irq
    lda #$C0
frame_irq:
    sta $4017
sound_done:
    rts

nmi:
    pha
    txa
    pha
    tya
    pha
    lda #$00
    sta $2003
    lda #$02
    sta $4014
{to_palette}
    ldx #$00
palette:
    txa
    adc $11
    and #$3F
    sta $2007
    inx
    cpx #$20
    bne palette
    lda #$23
    sta $2006
    lda #$C0
    sta $2006
    lda $2007
    lda $2007
    lda $10
    lsr
    lsr
    lsr
    lsr
    and #$0F
    tax
    lda masks,x
    sta $2001
    lda $10
    and #$03
    ora controls,x
    sta $2000
    lda $10
    sta $2005
    lsr
    sta $2005
    and #$C0
    sta $18
    jsr sound
    lda #$01
    sta $4016
    lsr
    sta $4016
    ldx #$08
pads:
    lda $4016
    lsr
    rol $15
    lda $4017
    lsr
    rol $16
    dex
    bne pads
    inc $10
    bne nmi_done
    inc $11
nmi_done:
    inc $12
    pla
    tay
    pla
    tax
    pla
    rti

irq:
    pha
    lda $4015
    bpl irq_board
    lda #$4F
    sta $4010
irq_board:
{irq}
    inc $14
    lda $14
    sta $2005
    sta $2005
    pla
    rti

; Called on every line of the picture with A = line + frame; keeps Y.
board:
{line}
    rts

masks:
    .byte $1E, $1E, $3E, $1E, $5E, $1E, $9E, $1F, $1E, $18, $FE, $1E, $16, $1E, $00, $1E
controls:
    .byte $88, $88, $A8, $88, $80, $90, $A8, $88, $88, $98, $88, $A8, $88, $88, $88, $A8
sprites:
{sprites}
.advance $FFFA, $EA
.word nmi, reset, irq
"""


def sprite_table() -> str:
    """64 sprites: sprite 0 a solid tile at (100, 30); the rest crowd lines 16-143."""
    oam = [30, 1, 0, 100]
    for i in range(1, 64):
        oam += [16 + (i * 7) % 128, (i * 5) & 0xFF, i & 0xE3, (i * 4) & 0xFF]
    rows = [oam[k : k + 16] for k in range(0, 256, 16)]
    return "\n".join("    .byte " + ", ".join(f"${b:02X}" for b in row) for row in rows)


def ops(*lines: str) -> str:
    return "".join(f"    {line}\n" for line in lines)


def serial(register: int, value: int | None = None) -> str:
    """MMC1's five writes, of `value` or of A shifted out bit by bit."""
    load = ops(f"lda #${value:02X}") if value is not None else ""
    return load + ops(*[f"sta ${register:04X}", "lsr"] * 4, f"sta ${register:04X}")


def every_8th_line(code: str) -> str:
    """Runs `code` (on A) on every eighth line only; keeps A and Y."""
    return ops("pha", "tya", "and #$07", "bne +", "pla", "pha") + code + "*   pla\n"


MMC1_RESET = ops("lda #$80", "sta $8000")
# MMC2 and MMC4: the four CHR registers (both latch states of both pattern tables) from A.
MMC2_LINE = ops("sta $B000", "sta $C000", "eor #$05", "sta $D000", "sta $E000")

# name: (mapper, PRG in 16 KiB, CHR in 8 KiB, NES 2.0 submapper, vertical, setup, each line, interrupt)
BOARDS = {
    "nrom": (0, 2, 1, None, True, "", "", ""),
    "mmc1": (
        1,
        8,
        2,
        None,
        False,
        MMC1_RESET + serial(0x8000, 0x1E) + serial(0xE000, 0x00),
        every_8th_line(ops("and #$0F") + serial(0xE000)) + serial(0xA000) + ops("lda $10") + serial(0xC000),
        "",
    ),
    "mmc1-chr-ram": (
        1,
        4,
        0,
        None,
        False,
        MMC1_RESET + serial(0x8000, 0x1F),
        every_8th_line(ops("and #$07") + serial(0xE000)) + serial(0xA000),
        "",
    ),
    "uxrom": (2, 8, 0, None, True, "", ops("and #$07", "sta $8000"), ""),
    "cnrom": (3, 2, 4, None, True, "", ops("and #$03", "sta $8000"), ""),
    "mmc3": (
        4,
        8,
        8,
        None,
        False,
        ops("lda #$80", "sta $A001", "lda #$14", "sta $C000", "sta $C001", "sta $E001"),
        ops("tax", "tya", "and #$07", "ora $18", "sta $8000", "txa", "sta $8001") + every_8th_line(ops("sta $A000")),
        ops("sta $E000", "lda $14", "and #$0F", "ora #$04", "sta $C000", "sta $C001", "sta $E001"),
    ),
    "ntdec-2722": (
        40,
        4,
        1,
        None,
        False,
        ops("sta $A000"),
        ops("and #$07", "sta $E000"),
        ops("sta $8000", "sta $A000"),
    ),
    "axrom": (7, 8, 0, None, False, "", ops("and #$13", "sta $8000"), ""),
    "mmc2": (9, 8, 8, None, True, "", MMC2_LINE + every_8th_line(ops("sta $F000", "and #$0F", "sta $A000")), ""),
    "mmc4": (10, 8, 8, None, True, "", MMC2_LINE + every_8th_line(ops("sta $F000", "and #$07", "sta $A000")), ""),
    "color-dreams": (11, 8, 8, None, True, "", ops("sta $8000"), ""),
    "cprom": (13, 2, 0, None, True, "", ops("and #$03", "sta $8000"), ""),
    "bnrom": (34, 8, 0, None, True, "", ops("and #$03", "sta $8000"), ""),
    "nina-001": (
        34,
        8,
        8,
        None,
        True,
        "",
        ops("sta $7FFE", "eor #$03", "sta $7FFF") + every_8th_line(ops("and #$01", "sta $7FFD")),
        "",
    ),
    "gxrom": (66, 8, 4, None, True, "", ops("sta $8000"), ""),
    "camerica": (71, 8, 0, 1, True, "", ops("and #$07", "sta $C000") + every_8th_line(ops("sta $9000")), ""),
    "nina-03-06": (79, 4, 8, None, True, "", ops("sta $4100"), ""),
    "unrom-180": (180, 8, 0, None, True, "", ops("and #$07", "sta $8000"), ""),
    "namco-108": (206, 8, 8, None, True, "", ops("tax", "tya", "and #$07", "sta $8000", "txa", "sta $8001"), ""),
    # Boards trained at their power-on banks: each runs its frame loop, draws and plays.
    **{
        f"mapper-{mapper}": (mapper, 8, chr_8k, None, True, "", "", "")
        for mapper, chr_8k in (
            (5, 8),
            (16, 8),
            (18, 8),
            (19, 8),
            (21, 8),
            (22, 8),
            (23, 8),
            (24, 8),
            (25, 8),
            (26, 8),
            (28, 0),
            (32, 8),
            (33, 8),
            (48, 8),
            (68, 8),
            (69, 8),
            (73, 0),
            (75, 8),
            (85, 8),
            (210, 8),
        )
    },
}


def tiles(size: int, salt: int) -> bytes:
    """Pattern data for CHR ROM, and the PRG data the program copies to CHR RAM and the
    nametables: every seventh tile blank, tile 1 of each 4 KiB solid (sprite 0's)."""
    data = bytearray(((i * 29 + salt * 71) ^ ((i >> 4) * 13)) & 0xFF for i in range(size))
    for t in range(size // 16):
        if (t + salt) % 7 == 0:
            data[16 * t : 16 * t + 16] = bytes(16)
        elif t % 256 == 1:
            data[16 * t : 16 * t + 16] = b"\xff" * 16
    return bytes(data)


def board_image(mapper, prg_16k, chr_8k, submapper, vertical, init, line, irq) -> bytes:
    code = nesrom.assemble(
        PROGRAM.format(
            reset=nesrom.RESET,
            warm_up=nesrom.WARM_UP,
            to_palette=nesrom.TO_PALETTE,
            init=init,
            line=line,
            irq=irq,
            sprites=sprite_table(),
        )
    )
    assert len(code) == 4096, len(code)
    prg = b"".join(tiles(4096, bank) + code for bank in range(prg_16k * 2))
    chr_ = b"".join(tiles(4096, 100 + half) for half in range(chr_8k * 2))
    return nesrom.board_header(mapper, prg_16k, chr_8k, vertical=vertical, submapper=submapper) + prg + chr_


def images() -> dict[str, bytes]:
    found = {"game.nes": build_demo.image(), "game-2p.nes": build_demo.image(two_players=True)}
    for name, board in BOARDS.items():
        found[f"board-{name}.nes"] = board_image(*board)
    return found


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    folder = Path(argv[1])
    folder.mkdir(parents=True, exist_ok=True)
    for stale in folder.glob("*.nes"):
        stale.unlink()
    for name, data in images().items():
        (folder / name).write_bytes(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
