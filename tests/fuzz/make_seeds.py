#!/usr/bin/env python3
"""Writes the seed corpus of the image fuzzer into a directory.

One small image per board (0, 1, 2, 3, 4, 40 and unrecognised numbers), the
NES 2.0 size forms, trainer, battery and four-screen headers, and a few
images the loader must refuse. Each runnable image carries a program that
pokes the PPU, APU, joypad and board registers, so the fuzzer starts from
inputs that reach deep into the machine rather than from blank ROMs.

With a second directory, also the seed inputs of the snapshot fuzzer (whose
base snapshots come from the images of the first).

Usage: make_seeds.py IMAGE_DIRECTORY [RESTORE_DIRECTORY]
"""

from __future__ import annotations

import hashlib
import sys
from pathlib import Path

MAGIC = b"NES\x1a"


def header(
    prg: int,
    chr_: int,
    mapper: int = 0,
    *,
    flags6: int = 0,
    nes2: bool = False,
    byte9: int = 0,
    run: int = 15,
    clock: int = 0,
    hardware: bool = False,
    pads: bytes = b"\x09\x81\x48\x22",
) -> bytes:
    """A 16-byte header; prg and chr_ are the raw bytes 4 and 5.

    Bytes 10-15, which the loader ignores, steer the fuzz harness: joypad bytes,
    the clock choice (0-3) with the hardware timing in bit 2, and the run length
    (0-15: 0-12 a CPU-cycle budget, 13-15 one to three whole frames)."""
    b6 = ((mapper & 0x0F) << 4) | flags6
    b7 = (mapper & 0xF0) | (0x08 if nes2 else 0)
    return (
        MAGIC + bytes([prg & 0xFF, chr_ & 0xFF, b6, b7, 0, byte9]) + pads + bytes([clock | (4 if hardware else 0), run])
    )


class Program:
    """Hand-assembled 6502 code that uses only relative branches, so one 8 KiB
    chunk works in whichever window a board maps it (vectors point at $E000)."""

    def __init__(self) -> None:
        self.code = bytearray()

    def sta(self, address: int, value: int) -> Program:
        self.code += bytes([0xA9, value & 0xFF, 0x8D, address & 0xFF, address >> 8])
        return self

    def raw(self, *data: int) -> Program:
        self.code += bytes(data)
        return self


def board_writes(mapper: int) -> list[tuple[int, int]]:
    """Register writes that make each board switch banks and raise interrupts."""
    if mapper == 1:
        # Five serial writes per register: control, CHR 0, CHR 1, PRG; then a reset write.
        writes = []
        for register, value in ((0x8000, 0x0E), (0xA000, 0x01), (0xC000, 0x02), (0xE000, 0x01)):
            writes += [(register, (value >> bit) & 1) for bit in range(5)]
        return writes + [(0x8000, 0x80)]
    if mapper == 2:
        return [(0x8000, 0x01), (0xC000, 0xF0)]
    if mapper == 3:
        return [(0x8000, 0x01), (0xFFFF, 0x00)]
    if mapper == 4:
        writes = []
        for reg in range(8):
            writes += [(0x8000, reg | 0x40), (0x8001, reg * 3)]
        return writes + [(0xA000, 1), (0xA001, 0x80), (0xC000, 8), (0xC001, 0), (0xE001, 0), (0x8000, 0x86)]
    if mapper == 40:
        return [(0x8000, 0), (0xA000, 0), (0xE000, 3), (0x8000, 0), (0xA000, 0)]
    if mapper in (9, 10):
        return [(0xA000, 1), (0xB000, 2), (0xC000, 3), (0xD000, 4), (0xE000, 5), (0xF000, 1)]
    if mapper == 34:
        return [(0x7FFD, 1), (0x7FFE, 2), (0x7FFF, 3), (0x8000, 1)]
    if mapper == 71:
        return [(0x9000, 0x10), (0xC000, 1)]
    if mapper == 79:
        return [(0x4100, 0x09), (0x5F00, 0x02)]
    if mapper == 206:
        return [(0x8000, r) if i % 2 == 0 else (0x8001, r * 3) for r in range(8) for i in range(2)]
    if mapper == 28:
        return [(0x5000, 0x81), (0x8000, 0x01), (0x5000, 0x80), (0x8000, 0x3E), (0x5000, 0x01), (0x8000, 0x13)] + [
            (0x5000, 0x00),
            (0x8000, 0x02),
        ]
    if mapper in VRC_LINES:
        a0, a1 = VRC_LINES[mapper]
        writes = [(0x8000, 0x01), (0xA000, 0x02), (0x9000, 0x01), (0x9000 | a1, 0x02)]
        writes += [
            (base | a0 * (reg & 1) | a1 * (reg >> 1), 0x03 + reg)
            for base in range(0xB000, 0xF000, 0x1000)
            for reg in range(4)
        ]
        return writes + [(0xF000, 0x00), (0xF000 | a0, 0x0F), (0xF000 | a1, 0x07)]
    if mapper in (24, 26):
        writes = [(0x8000, 0x01), (0xC000, 0x02), (0xB003, 0x21), (0xD000, 0x03), (0xE003, 0x04)]
        writes += [(0x9000, 0x5F), (0x9001, 0x80), (0x9002, 0x80), (0xB000, 0x20), (0xB001, 0x80), (0xB002, 0x80)]
        return writes + [(0xF000, 0xC0), (0xF001 if mapper == 24 else 0xF002, 0x07)]
    if mapper == 69:
        commands = [(9, 1), (10, 2), (11, 3), (8, 0xC0), (0, 4), (7, 5), (12, 1), (14, 0x00), (15, 0x20), (13, 0x81)]
        sound = [(0xC000, 7), (0xE000, 0x38), (0xC000, 8), (0xE000, 0x0F), (0xC000, 0), (0xE000, 0x80)]
        return [w for c, v in commands for w in ((0x8000, c), (0xA000, v))] + sound
    if mapper == 16:
        return [(0x8000 + r, 3 * r) for r in range(10)] + [(0x600B, 0x00), (0x800B, 0x00), (0x800C, 0x20), (0x800A, 1)]
    if mapper == 18:
        writes = [(0x8000 + 0x1000 * (g // 4) + (g % 4), g) for g in range(6)] + [(0xA000 + r, r) for r in range(4)]
        return writes + [(0xE000, 0), (0xE001, 0), (0xE002, 1), (0xF000, 0), (0xF001, 0x03), (0xF002, 1)]
    if mapper == 48:
        writes = [(0x8000 + r, 3 + r) for r in range(4)] + [(0xA000 + r, 7 + r) for r in range(4)]
        return writes + [(0xC000, 0xF0), (0xC001, 0), (0xC002, 0), (0xE000, 0x40)]
    if mapper in (32, 33, 68, 75):
        return [(base + r, 3 + r) for base in range(0x8000, 0x10000, 0x1000) for r in (0, 1)]
    if mapper == 73:
        return [(0x8000, 0), (0x9000, 0), (0xA000, 0), (0xB000, 0x0F), (0xC000, 0x03), (0xF000, 1)]
    if mapper == 85:
        # PRG and CHR banks at both wirings' second registers, mirroring, and
        # the IRQ counter in cycle mode, firing every 16 cycles.
        writes = [(0x8000, 1), (0x8018, 2), (0x9000, 3), (0xE000, 0x01)]
        writes += [
            (base | line, 3 + 2 * (base >> 12) + (line > 0))
            for base in range(0xA000, 0xE000, 0x1000)
            for line in (0, 0x18)
        ]
        return writes + [(0xE018, 0xF0), (0xF000, 0x07)]
    if mapper == 5:
        # PRG RAM in a ROM window, CHR sets, ExRAM as attributes with the split,
        # fill in a slot, the scanline IRQ, the multiplier and the sound.
        writes = [(0x5100, 3), (0x5102, 2), (0x5103, 1), (0x5113, 1), (0x5114, 0x02), (0x5115, 0x81), (0x5116, 0x82)]
        writes += [(0x5101, 3)] + [(0x5120 + r, 3 * r + 1) for r in range(12)] + [(0x5130, 1)]
        writes += [(0x5104, 2), (0x5C00, 0x41), (0x5C01, 0xC2), (0x5104, 1), (0x5105, 0xE4), (0x5106, 0x05)]
        writes += [(0x5107, 2), (0x5200, 0x8A), (0x5201, 0x10), (0x5202, 0x03), (0x5203, 0x40), (0x5204, 0x80)]
        writes += [(0x5205, 0x12), (0x5206, 0x34), (0x8000, 0x77)]
        return writes + [(0x5015, 3), (0x5000, 0xBF), (0x5002, 0x40), (0x5003, 0x08), (0x5011, 0x80)]
    if mapper in (19, 210):
        # CHR banks, CHR ROM nametables, PRG banks, the IRQ counter and a
        # sounding channel (the 175/340 ignore what they lack).
        writes = [(0x8000 + 0x800 * r, 2 * r + 1) for r in range(8)]
        writes += [(0xC000, 0xE0), (0xC800, 0x03), (0xD000, 0xE1), (0xD800, 0x01)]
        writes += [(0xE000, 0x01), (0xE800, 0xC2), (0xF000, 0x03), (0xF800, 0x40), (0x6000, 0x12)]
        sound = [(0xF800, 0x80), (0x4800, 0xF0), (0x4800, 0x0F), (0xF800, 0xF8)]
        sound += [(0x4800, v) for v in (0x00, 0, 0x40, 0, 0xF8, 0, 0, 0x0F)]
        return writes + sound + [(0x5000, 0x00), (0x5800, 0xF0)]
    return [(0x8000, 0x55), (0x6000, 0xAA)]


# The CPU lines of the VRC2/VRC4 register lines A0 and A1 (one variant per number).
VRC_LINES = {21: (0x02, 0x04), 22: (0x02, 0x01), 23: (0x01, 0x02), 25: (0x02, 0x01)}


def irq_acknowledge(mapper: int) -> list[tuple[int, int]]:
    """The writes the IRQ handler makes so that a board's IRQ stops asking."""
    if mapper in VRC_LINES:
        a0, a1 = VRC_LINES[mapper]
        return [(0xF000 | a0 | a1, 0)]
    if mapper in (24, 26):
        return [(0xF002 if mapper == 24 else 0xF001, 0)]
    if mapper == 69:
        return [(0x8000, 13), (0xA000, 0x81)]
    if mapper == 16:
        return [(0x800A, 1)]
    if mapper == 18:
        return [(0xF001, 0x03)]
    if mapper == 73:
        return [(0xD000, 0)]
    if mapper == 85:
        return [(0xF018, 0)]
    if mapper == 19:
        return [(0x5000, 0x00), (0x5800, 0xF0)]  # counted again from $7000
    if mapper == 48:
        return [(0xC003, 0), (0xC002, 0)]
    return [(0xE000, 0), (0xE001, 0)]


def irq_acknowledge_reads(mapper: int) -> list[int]:
    """The registers the IRQ handler reads so that a board's IRQ stops asking."""
    return [0x5204] if mapper == 5 else []


def program_chunk(mapper: int) -> bytes:
    """8 KiB: reset code at the start, the handlers after it, vectors at the end."""
    p = Program().raw(0x78, 0xD8, 0xA2, 0xFF, 0x9A)  # SEI CLD LDX #$FF TXS
    for address, value in (
        [
            (0x2000, 0x00),
            (0x2001, 0x00),
            (0x4017, 0x40),
            (0x4010, 0x0F),
            (0x2006, 0x3F),
            (0x2006, 0x00),
            (0x2007, 0x0F),
            (0x2007, 0x21),
            (0x2006, 0x20),
            (0x2006, 0x00),
            (0x2007, 0x01),
            (0x2007, 0x02),
            (0x0200, 0x70),
            (0x0201, 0x01),
            (0x0202, 0x20),
            (0x0203, 0x40),
            (0x2003, 0x00),
            (0x4014, 0x02),
            (0x4015, 0x1F),
            (0x4000, 0xBF),
            (0x4002, 0x40),
            (0x4003, 0x08),
            (0x4004, 0x7F),
            (0x4005, 0x8A),
            (0x4006, 0x20),
            (0x4007, 0x10),
            (0x4008, 0x81),
            (0x400A, 0x30),
            (0x400B, 0x08),
            (0x400C, 0x3F),
            (0x400E, 0x83),
            (0x400F, 0x08),
            (0x4012, 0x00),
            (0x4013, 0x02),
            (0x4011, 0x40),
            (0x4015, 0x1F),
            (0x6000, 0x12),
        ]
        + board_writes(mapper)
        + [(0x2005, 0x00), (0x2005, 0x00), (0x2001, 0x1E), (0x2000, 0xA0)]
    ):
        p.sta(address, value)
    p.raw(0x58)  # CLI
    loop = len(p.code)
    # LDA $2002, $4015, $4016, $4017; write $4016 strobe; then BVC/BVS back.
    p.raw(
        0xAD,
        0x02,
        0x20,
        0xAD,
        0x15,
        0x40,
        0xA9,
        0x01,
        0x8D,
        0x16,
        0x40,
        0xA9,
        0x00,
        0x8D,
        0x16,
        0x40,
        0xAD,
        0x16,
        0x40,
        0xAD,
        0x17,
        0x40,
        0xE6,
        0x10,
    )
    p.raw(0xB8, 0x50, (loop - (len(p.code) + 2)) & 0xFF)  # CLV; BVC loop
    nmi = len(p.code)
    p.raw(0x48, 0xE6, 0x11)  # PHA; INC $11
    p.sta(0x2003, 0).sta(0x4014, 0x02).sta(0x2005, 0x00).sta(0x2005, 0x00)
    p.raw(0x68, 0x40)  # PLA; RTI
    irq = len(p.code)
    p.raw(0x48)
    for address in irq_acknowledge_reads(mapper):
        p.raw(0xAD, address & 0xFF, address >> 8)
    for address, value in irq_acknowledge(mapper):
        p.sta(address, value)
    p.raw(0xAD, 0x15, 0x40, 0x68, 0x40)
    chunk = bytearray(b"\xea" * 8192)
    chunk[: len(p.code)] = p.code
    base = 0xE000
    chunk[0x1FFA:0x2000] = bytes(
        [(base + nmi) & 0xFF, (base + nmi) >> 8, base & 0xFF, base >> 8, (base + irq) & 0xFF, (base + irq) >> 8]
    )
    return bytes(chunk)


def prg_data(mapper: int, size: int) -> bytes:
    chunk = program_chunk(mapper)
    return (chunk * (size // 8192 + 1))[:size]


def chr_data(size: int) -> bytes:
    # Varied tiles so sprites and background have opaque pixels.
    return bytes((i * 37 + (i >> 4)) & 0xFF for i in range(size))


def seeds() -> dict[str, bytes]:
    out: dict[str, bytes] = {}
    # Every board twice: a short run (6400 cycles) and three whole frames.
    for mapper, prg, chr_ in [
        (0, 1, 1),
        (0, 2, 0),
        (1, 1, 1),
        (1, 2, 0),
        (2, 2, 0),
        (3, 1, 2),
        (4, 2, 1),
        (4, 1, 0),
        (40, 4, 1),
        (7, 4, 0),
        (9, 8, 4),
        (10, 8, 4),
        (11, 4, 4),
        (13, 2, 0),
        (34, 4, 0),
        (34, 4, 2),
        (66, 4, 2),
        (71, 4, 0),
        (79, 2, 4),
        (180, 4, 0),
        (206, 4, 4),
        (21, 8, 16),
        (22, 8, 16),
        (23, 8, 16),
        (25, 8, 16),
        (24, 8, 16),
        (26, 8, 16),
        (28, 8, 0),
        (69, 8, 16),
        (16, 8, 16),
        (18, 8, 16),
        (32, 8, 16),
        (33, 8, 16),
        (48, 8, 16),
        (68, 8, 16),
        (73, 8, 0),
        (75, 8, 16),
        (85, 8, 16),
        (5, 8, 16),
        (5, 4, 0),
        (19, 8, 16),
        (210, 8, 16),
        (255, 1, 0),
    ]:
        data = prg_data(mapper, prg * 16384) + chr_data(chr_ * 8192)
        for label, run, hardware in (("short", 9, False), ("frames", 15, False), ("hardware", 15, True)):
            out[f"mapper{mapper}-prg{prg}-chr{chr_}-{label}"] = (
                header(prg, chr_, mapper, flags6=0x01, run=run, hardware=hardware) + data
            )
    # Header variants on a small NROM image, with the other clock choices.
    body = prg_data(0, 16384) + chr_data(8192)
    out["battery"] = header(1, 1, flags6=0x02, clock=1, run=13) + body
    out["four-screen"] = header(1, 1, flags6=0x09, clock=2, run=14) + body
    out["trainer"] = header(1, 1, flags6=0x04, run=7) + bytes(range(256)) * 2 + body
    out["mmc1-battery"] = header(1, 1, 1, flags6=0x02, clock=3, run=13) + prg_data(1, 16384) + chr_data(8192)
    # NES 2.0: the plain form with size high bits, and the exponent-multiplier form.
    out["nes2-plain"] = header(1, 1, nes2=True, run=9) + body
    out["nes2-plain-mmc3"] = header(2, 0, 4, nes2=True, byte9=0x00, run=13) + prg_data(4, 32768)
    # Byte 4 = 0x38: 2^14 x 1 = 16 KiB; byte 5 = 0x34: 2^13 = 8 KiB.
    out["nes2-exponent"] = header(0x38, 0x34, nes2=True, byte9=0xFF, run=10) + body
    # 2^10 = 1 KiB of PRG, CHR RAM: the smallest image the console accepts.
    out["nes2-exponent-1k"] = header(0x28, 0, nes2=True, byte9=0x0F, run=2) + prg_data(0, 1024)
    out["nes2-exponent-uxrom-3k"] = header(0x29, 0, 2, nes2=True, byte9=0x0F, run=8) + prg_data(2, 3072)
    out["nes2-exponent-mmc3-3k"] = (
        header(0x29, 0x29, 4, nes2=True, byte9=0xFF, run=13) + prg_data(4, 3072) + chr_data(3072)
    )
    out["nes2-exponent-ntdec-5k"] = (
        header(0x2A, 0x28, 40, nes2=True, byte9=0xFF, run=10) + prg_data(40, 5120) + chr_data(1024)
    )
    out["nes2-huge"] = header(0xFC, 0, nes2=True, byte9=0x0F) + bytes(64)
    # Refused: bad magic, short header, truncated data, sizes no board holds.
    out["bad-magic"] = b"NES\x00" + bytes(12)
    out["short-header"] = MAGIC + b"\x01\x01"
    out["truncated"] = header(2, 1) + bytes(100)
    out["nrom-too-big"] = header(4, 0) + bytes(64)
    out["cnrom-no-chr"] = header(1, 0, 3) + prg_data(3, 16384)
    return out


def restore_seeds() -> dict[str, bytes]:
    """Inputs of the snapshot fuzzer: a base snapshot, then patch records
    (kind, 16-bit field or offset, eight value bytes). A few per base, so the
    fuzzer starts with each kind of record on each kind of machine."""
    out: dict[str, bytes] = {}
    for base in range(128):
        records = bytearray([base])
        for k in range(base % 4):
            kind = (base + k) % 2
            where = (base * 977 + k * 131) & 0xFFFF
            value = bytes(((base + k) * 53 + i * 17) & 0xFF for i in range(8))
            records += bytes([kind, where & 0xFF, where >> 8]) + value
        out[f"restore-{base:02d}"] = bytes(records)
    return out


def write(folder: Path, found: dict[str, bytes]) -> None:
    folder.mkdir(parents=True, exist_ok=True)
    for name, data in found.items():
        digest = hashlib.sha1(data).hexdigest()[:8]
        (folder / f"{name}-{digest}").write_bytes(data)


def main(argv: list[str]) -> int:
    if len(argv) not in (2, 3):
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    write(Path(argv[1]), seeds())
    if len(argv) == 3:
        write(Path(argv[2]), restore_seeds())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
