"""Cartridges for the tests: an iNES header helper and the Ophis assembler."""

from __future__ import annotations

import io
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROMS = Path(__file__).resolve().parents[2].parent / "shared" / "roms"


def ines_header(
    prg_16k: int,
    chr_8k: int = 0,
    mapper: int = 0,
    *,
    vertical: bool = False,
    battery: bool = False,
    trainer: bool = False,
    four_screen: bool = False,
) -> bytes:
    flags6 = ((mapper & 0x0F) << 4) | (vertical << 0) | (battery << 1) | (trainer << 2) | (four_screen << 3)
    flags7 = mapper & 0xF0
    return bytes([0x4E, 0x45, 0x53, 0x1A, prg_16k & 0xFF, chr_8k & 0xFF, flags6, flags7]) + bytes(8)


def board_header(
    mapper: int, prg_16k: int, chr_8k: int, *, vertical: bool = False, submapper: int | None = None
) -> bytes:
    """iNES, or NES 2.0 when a submapper is given: 8 KiB of PRG RAM, and 8 KiB of CHR RAM
    when there is no CHR ROM."""
    h = bytearray(ines_header(prg_16k, chr_8k, mapper, vertical=vertical))
    if submapper is not None:
        h[7] |= 0x08
        h[8] = submapper << 4 | mapper >> 8
        h[10] = 0x07
        h[11] = 0 if chr_8k else 0x07
    return bytes(h)


# Pieces of 6502 source the test programs share. RESET starts at the label the
# vectors name; WARM_UP waits out the PPU's two warm-up frames.
RESET = """reset:
    sei
    cld
    ldx #$FF
    txs"""
WARM_UP = """warm1:
    bit $2002
    bpl warm1
warm2:
    bit $2002
    bpl warm2"""
# RESET, then the APU's frame interrupt inhibited, for programs whose IRQ
# handler counts only the board's.
RESET_QUIET = (
    RESET
    + """
    lda #$40
    sta $4017"""
)
# PPUADDR at the palette.
TO_PALETTE = """    lda #$3F
    sta $2006
    lda #$00
    sta $2006"""
# Interrupts off, the stack at $FF, the PPU's NMI and rendering off.
QUIET_PPU = """    sei
    ldx #$ff
    txs
    lda #0
    sta $2000
    sta $2001"""


def stores(*writes: tuple[int, int]) -> str:
    """6502 source storing each (address, value) through A, in order."""
    return "\n".join(f"    lda #${value:02x}\n    sta ${address:04x}" for address, value in writes)


VECTORS = """.advance $FFFA, $FF
.word nmi_handler, reset, irq_handler"""


class ImageFile(io.BytesIO):
    """An image as a file object; the console takes its save folder from the name."""

    def __init__(self, data: bytes, name: str = "test.nes"):
        super().__init__(data)
        self.name = name


def ophis() -> str:
    exe = Path(sys.executable).with_name("ophis")
    if exe.exists():
        return str(exe)
    found = shutil.which("ophis")
    if not found:
        raise RuntimeError("the Ophis assembler is not installed (pip install ophis-asm)")
    return found


def assemble(source: str) -> bytes:
    """Assembles Ophis source; the source sets its own .org and fills to its size."""
    with tempfile.TemporaryDirectory() as tmp:
        src = Path(tmp) / "prog.oph"
        out = Path(tmp) / "prog.bin"
        src.write_text(source)
        subprocess.run([ophis(), "-q", "-o", str(out), str(src)], check=True, capture_output=True, text=True)
        return out.read_bytes()


def build_rom(
    source: str,
    *,
    prg_16k: int = 2,
    chr_data: bytes = b"",
    mapper: int = 0,
    vertical: bool = False,
    battery: bool = False,
) -> bytes:
    """An image whose PRG is `source` assembled (padded with $FF to prg_16k x 16 KiB)."""
    prg = assemble(source)
    size = prg_16k * 16384
    if len(prg) > size:
        raise ValueError(f"program is {len(prg)} bytes, more than {size}")
    prg = prg + b"\xff" * (size - len(prg))
    if len(chr_data) % 8192:
        chr_data = chr_data + bytes(8192 - len(chr_data) % 8192)
    return ines_header(prg_16k, len(chr_data) // 8192, mapper, vertical=vertical, battery=battery) + prg + chr_data


def nrom_program(body: str, *, nmi: str = "rti", irq: str = "rti") -> str:
    """A 32 KiB NROM program at $8000 whose reset handler runs `body`.

    `nmi` and `irq` are the bodies of the two other handlers."""
    return f""".org $8000
reset:
{body}
nmi_handler:
{nmi}
irq_handler:
{irq}
{VECTORS}
"""


# Each NMI strobes the joypads (the strobe stays high while $F1 is non-zero)
# and stores twelve reads of $4016 at $0300 and of $4017 at $0320.
JOYPAD_READER = nrom_program(
    """
    ldx #$ff
    txs
    lda #$80
    sta $2000
wait:
    jmp wait
""",
    nmi="""
    lda #1
    sta $4016
    lda $F1
    bne held
    lda #0
    sta $4016
held:
    ldx #0
read:
    lda $4016
    sta $0300,x
    lda $4017
    sta $0320,x
    inx
    cpx #12
    bne read
    rti
""",
)


# Each start (power-on or the reset button) stores A, X, Y, P (as PHP pushes it) and SP
# as they were at $10-$14 and counts itself at $20; then it leaves A=$34, X=$56, Y=$78,
# C set and I clear for the next reset to find, and spins (the frame IRQ inhibited).
RESET_PROBE = nrom_program(
    """
    sta $10
    stx $11
    sty $12
    php
    pla
    sta $13
    tsx
    stx $14
    inc $20
    lda #$40
    sta $4017
    lda #$34
    ldx #$56
    ldy #$78
    sec
    cli
spin:
    jmp spin
"""
)


# SP at RESET_PROBE's handler ($14) after each timing's power-on: the design starts at $FF
# without a reset sequence; the hardware's sequence counts S down from 0 to $FD.
POWER_ON_SP = {"design": 0xFF, "hardware": 0xFD}


def joypad_reads(nes) -> tuple[list[int], list[int]]:
    """The twelve values each port gave JOYPAD_READER in the next frames."""
    nes.runFrame()
    nes.runFrame()
    mem = nes.cpuMem()
    return [int(b) for b in mem[0x300:0x30C]], [int(b) for b in mem[0x320:0x32C]]


def plug_pad(nes, port: int = 0):
    """A fresh velkora.Controller plugged into `port` of `nes`."""
    import velkora

    pad = velkora.Controller()
    nes.setController(pad, port)
    return pad


def mask_bits(mask: int) -> list[int]:
    """A button mask (bit 0 A ... bit 7 Right) as updateInputs takes it."""
    return [(int(mask) >> bit) & 1 for bit in range(8)]


def port_bits(nes) -> tuple[list[int], list[int]]:
    """The buttons JOYPAD_READER saw on each port in the last frame, in updateInputs order."""
    mem = nes.cpuMem()
    return [int(b) & 1 for b in mem[0x300:0x308]], [int(b) & 1 for b in mem[0x320:0x328]]


def run_frames(nes, frames: int):
    """Runs `frames` frames of `nes`; returns it."""
    for _ in range(frames):
        nes.runFrame()
    return nes


def write_rom(tmp_path: Path, data: bytes, name: str = "test.nes") -> str:
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def rom(*parts: str) -> Path:
    """Path of a ROM in the shared folder; the test is skipped when it is absent."""
    import pytest

    path = ROMS.joinpath(*parts)
    if not path.exists():
        pytest.skip(f"{path} not available")
    return path


def run_blargg(nes, max_frames: int = 3000) -> tuple[int, str]:
    """Runs a test ROM that reports through $6000; returns (status, text)."""
    mem = nes.cpuMem()
    started = False
    for _ in range(max_frames):
        nes.runFrame()
        signature = bytes(mem[0x6001:0x6004]) == b"\xde\xb0\x61"
        if signature and mem[0x6000] == 0x80:
            started = True
        if signature and started and mem[0x6000] != 0x80:
            break
    text = bytes(mem[0x6004:0x7000]).split(b"\0", 1)[0].decode("latin-1")
    return int(mem[0x6000]), text


ARTIFACTS = Path(os.environ.get("VELKORA_ARTIFACTS", Path(__file__).resolve().parents[2] / "artifacts"))


# While A is held, each NMI adds one to a four-digit counter kept as the digit tiles
# $30-$39 at $6123-$6126 in PRG RAM, most significant first (">n4"); $0000 counts every
# frame, pressed or not.
PRG_RAM_COUNTER = nrom_program(
    """
    sei
    ldx #$ff
    txs
    lda #$30
    sta $6123
    sta $6124
    sta $6125
    sta $6126
    lda #$80
    sta $2000
wait:
    jmp wait
""",
    nmi="""
    inc $00
    lda #1
    sta $4016
    lda #0
    sta $4016
    lda $4016
    and #1
    beq counted
    ldx #3
carry:
    inc $6123,x
    lda $6123,x
    cmp #$3a
    bne counted
    lda #$30
    sta $6123,x
    dex
    bpl carry
counted:
    rti
""",
)
