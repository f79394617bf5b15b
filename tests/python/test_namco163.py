"""Namco 163 (mapper 19) and its relatives 175 and 340 (mapper 210): PRG and
CHR banks, nametables from CHR ROM, the CPU-cycle interrupt counter, the
sound RAM port and PRG RAM protection, through save states and snapshots."""

from __future__ import annotations

import numpy as np
import pytest

import boardrom
import nesrom
from boardrom import Cart, Script, audio_blocks, image

velkora = pytest.importorskip("velkora")
velkora_gym = pytest.importorskip("velkora_gym")


def cart(mapper: int = 19, chr_data: bytes | None = None, **kw) -> Cart:
    return Cart(image(mapper, 8, 16, chr_data=chr_data, **kw), "namco.nes")


# ------------------------------------------------------------ banks


@pytest.mark.parametrize("mapper", [19, 210])
def test_prg_and_chr_banks(mapper):
    c = cart(mapper)
    assert c.windows() == ([0, 1, 2, 15], list(range(8)))
    c.run(
        Script().w((0xE000, 0x43), (0xE800, 0xC5), (0xF7FF, 0x07), *[(0x8000 + 0x800 * i, 100 + i) for i in range(8)])
    )
    # Bits 6-7 of $E000 and $E800 are not bank bits; 128 KiB of CHR is 128 banks.
    assert c.windows() == ([3, 5, 7, 15], [100 + i for i in range(8)])
    c.run(Script().w((0xE7FF, 21), (0x87FF, 200)))
    assert c.windows() == ([5, 5, 7, 15], [72] + [101 + i for i in range(7)])


# ------------------------------------------------------------ nametables


def test_nametables_from_chr_rom_and_the_consoles_ram():
    c = cart(chr_data=boardrom.CHR[: 128 * 1024])
    c.run(Script().put(0x3F00, *boardrom.BACKGROUND).ramp(0x2000, 0x400).fill(0x2400, 0x45, 0x400))
    chr_banks = [30, 31, 32, 33, 40, 41, 42, 43]
    c.run(Script().w(*[(0x8000 + 0x800 * i, b) for i, b in enumerate(chr_banks)]))
    page0, page1 = bytes(i & 0xFF for i in range(1024)), bytes([0x45] * 1024)
    rom = {b: boardrom.CHR[b * 1024 : b * 1024 + 1024] for b in range(128)}
    # $C000-$D800: $E0 and up the console's RAM (bit 0 the page), else a CHR ROM bank.
    c.run(Script().w((0xC000, 0xE1), (0xC800, 0x37), (0xD000, 0xFE), (0xD800, 0x81)))
    boardrom.check_slots(c, (page1, rom[0x37], page0, rom[1]), chr_banks)


@pytest.mark.parametrize(
    "registers, reads",
    [
        ((0xE0, 0xE1, 0xE0, 0xE1), [0xA, 0xB, 0xA, 0xB]),  # vertical
        ((0xE0, 0xE0, 0xE1, 0xE1), [0xA, 0xA, 0xB, 0xB]),  # horizontal
        ((0xE1, 0xE1, 0xE1, 0xE1), [0xB] * 4),  # one page
    ],
)
def test_ram_nametables_through_ppudata(registers, reads):
    c = cart()
    c.run(Script().w(*[(0xC000 + 0x800 * i, r) for i, r in enumerate(registers)]))
    first = registers.index(min(registers))
    second = registers.index(max(registers))
    c.run(Script().put(0x2000 + 0x400 * first + 5, 0xA).put(0x2000 + 0x400 * second + 5, 0xB))
    s = Script()
    for k in range(4):
        s.get(0x2005 + 0x400 * k)
    got = c.run(s)
    if min(registers) == max(registers):
        assert got == [0xB] * 4
    else:
        assert got == reads


# ------------------------------------------------------------ the sound RAM port and PRG RAM


def test_sound_ram_port_increments_and_wraps():
    c = cart()
    got = c.run(
        Script()
        .w((0xF800, 0x80 | 0x7E), (0x4800, 0x11), (0x4FFF, 0x22), (0x4800, 0x33))  # $7E, $7F, then $00
        .w((0xF800, 0x80 | 0x7E))
        .peek(0x4800, 0x4800, 0x4800)
        .w((0xF800, 0x7F))  # no increment
        .peek(0x4800, 0x4800)
    )
    assert got == [0x11, 0x22, 0x33, 0x22, 0x22]


def test_prg_ram_write_protection():
    c = cart()
    c.run(Script().w((0xF800, 0x40), (0x6000, 1), (0x6800, 2), (0x7000, 3), (0x7FFF, 4)))
    assert [c.mem[a] for a in (0x6000, 0x6800, 0x7000, 0x7FFF)] == [1, 2, 3, 4]
    # $45: the first and third 2 KiB protected; $80 (the sound port's increment): all.
    c.run(Script().w((0xF800, 0x45), (0x6000, 5), (0x6800, 6), (0x7000, 7), (0x7FFF, 8)))
    assert [c.mem[a] for a in (0x6000, 0x6800, 0x7000, 0x7FFF)] == [1, 6, 3, 8]
    c.run(Script().w((0xF800, 0x80), (0x6800, 9)))
    assert c.mem[0x6800] == 6


# ------------------------------------------------------------ the interrupt counter


def test_counter_counts_cpu_cycles_and_holds_when_disabled():
    c = cart()
    # Each write is LDA # then STA: six cycles apart; a read four after its write.
    got = c.run(
        Script()
        .w((0x5000, 0x10), (0x5800, 0x80))
        .peek(0x5000, 0x5800)
        .w((0x5800, 0x05))
        .peek(0x5000, 0x5800)
        .w((0x5000, 0xFA), (0x5800, 0xFF))
        .peek(0x5000, 0x5000, 0x5800)
    )
    assert got[:2] == [0x14, 0x80]
    # Disabled 22 cycles after it was set: the count there stays.
    assert got[2:4] == [0x10 + 22, 0x05], "disabling keeps the count"
    # From $7FFA: +4 reads $7FFE, eight more would pass $7FFF, where it stops.
    assert got[4:] == [0xFE, 0xFF, 0xFF]


COUNTS, LAST_COUNT, FRAMES = 0x10, 0x11, 0x12


def counter_program(delay: int) -> bytes:
    """A white screen: the NMI sets the counter $7FFF - delay cycles away;
    the interrupt turns rendering off and stops the counter."""
    start = 0x7FFF - delay
    source = f"""
.org $8000
.advance $E000, $FF
{nesrom.RESET_QUIET}
    lda #$00
    sta $2000
    sta $2001
    sta ${COUNTS:02X}
    sta ${FRAMES:02X}
    sta $E000
{nesrom.WARM_UP}
{boardrom.BACKDROP}
    lda #$30
    sta $2007
{boardrom.fill_nametable(1)}
{boardrom.IDLE_ON_NMI}
nmi:
    pha
    lda #$00
    sta $2005
    sta $2005
    lda #$0A
    sta $2001
    lda #${start & 0xFF:02X}
    sta $5000
    lda #${0x80 | start >> 8:02X}
    sta $5800
    inc ${FRAMES:02X}
    pla
    rti
irq:
    pha
    lda #$00
    sta $2001
    lda $5800
    sta ${LAST_COUNT:02X}
    lda #$00
    sta $5800
    inc ${COUNTS:02X}
    pla
    rti
.advance $FFFA, $FF
.word nmi, reset, irq
"""
    chr_data = bytearray(8192)
    chr_data[16:32] = b"\xff" * 16
    return nesrom.build_rom(source, prg_16k=2, chr_data=bytes(chr_data), mapper=19)


@boardrom.both_timings
def test_counter_interrupt_comes_after_its_cycles(timing):
    rows = {}
    for delay in (3000, 5000, 12345, 20000, 26000):
        nes = boardrom.console(counter_program(delay), "n163-irq.nes", timing, 6)
        mem = nes.cpuMem()
        assert mem[FRAMES] >= 3 and mem[COUNTS] in (mem[FRAMES], mem[FRAMES] - 1), "one interrupt a frame"
        assert mem[LAST_COUNT] == 0xFF, "the counter stopped at $7FFF with the interrupt enabled"
        rows[delay] = boardrom.first_black_row(nes)
    # Three dots a cycle, 341 a line: a line from the first delay on every 113.67 cycles.
    for delay, row in rows.items():
        assert abs(row - rows[3000] - round(3 * (delay - 3000) / 341)) <= 1, rows


# ------------------------------------------------------------ mapper 210


def test_namco_175_keeps_the_header_mirroring_and_mirrors_2k_of_ram():
    c = cart(210, submapper=1, vertical=True)
    c.run(Script().w((0xE000, 0xC1)).put(0x2405, 0x66).w((0x6001, 0x11), (0xC000, 1), (0x6002, 0x22)))
    assert c.run(Script().get(0x2C05)) == [0x66], "vertical, whatever $E000 says"
    assert [c.mem[0x6001], c.mem[0x6002], c.mem[0x6802], c.mem[0x7802]] == [0, 0x22, 0x22, 0x22]


@pytest.mark.parametrize("submapper", [2, None])
@pytest.mark.parametrize("bits, reads", [(0x40, [0xA, 0xB, 0xA, 0xB]), (0x80, [0xA, 0xA, 0xB, 0xB])])
def test_namco_340_mirroring_from_e000(submapper, bits, reads):
    kw = {} if submapper is None else dict(submapper=submapper)
    c = cart(210, **kw)
    c.run(Script().w((0xE000, bits | 3)).put(0x2005, 0xA).put(0x2C05, 0xB))
    s = Script()
    for k in range(4):
        s.get(0x2005 + 0x400 * k)
    assert c.run(s) == reads
    assert c.windows()[0][0] == 3


# ------------------------------------------------------------ sound


def sound_ram(address: int, *values: int) -> list:
    return [(0xF800, 0x80 | address)] + [(0x4800, v) for v in values]


SQUARE = sound_ram(0, *([0xFF] * 8 + [0x00] * 8))  # 32 samples: 16 at 15, 16 at 0


def channel(k: int, frequency: int, length: int, wave: int, volume: int, channels: int = 1) -> list:
    """Channel k's registers ($78 - 8k); $7F's bits 4-6 set how many play."""
    base = 0x78 - 8 * k
    top = ((channels - 1) << 4) if k == 0 else 0
    return sound_ram(
        base,
        frequency & 0xFF,
        0,
        (frequency >> 8) & 0xFF,
        0,
        ((256 - length) & 0xFC) | (frequency >> 16),
        0,
        wave,
        volume | top,
    )


def sound_cart(**kw) -> Cart:
    return Cart(image(19, 8, 16, **kw), "n163-sound.nes")


# (writes, Hz): a step of `frequency` every 15 x channels cycles, 65536 per sample.
WAVES = {
    "one channel": (SQUARE + channel(0, 0x4000, 32, 0, 15), boardrom.CPU_HZ * 0x4000 / (15 * 32 * 65536)),
    "four channels": (
        SQUARE + channel(0, 0x10000, 32, 0, 15, channels=4),
        boardrom.CPU_HZ * 0x10000 / (15 * 4 * 32 * 65536),
    ),
    "a short wave further on": (
        sound_ram(0x20, 0xF0, 0x0F) + channel(0, 0x800, 4, 0x40, 9),
        boardrom.CPU_HZ * 0x800 / (15 * 4 * 65536),
    ),
}


@pytest.mark.parametrize("wave", WAVES)
def test_channel_sounds_at_its_frequency(wave):
    writes, hz = WAVES[wave]
    assert hz < boardrom.RATE / 2  # so the pitch is checked
    boardrom.check_channel(sound_cart(), [*writes, (0xE000, 0)], hz, 30)


def loudness(writes, **kw) -> int:
    c = sound_cart(**kw)
    c.run(Script().w(*writes, (0xE000, 0)))
    return int(np.ptp(audio_blocks(c, 6)[-1].astype(int)))


def test_channels_share_the_dac_in_turn():
    # A wave held at 15; a second channel at volume 0 takes every other
    # slot of the DAC, so the first sounds half the time.
    held = sound_ram(0, *([0xFF] * 16))

    def level(writes) -> float:
        c = sound_cart()
        c.run(Script().w(*held, *writes, (0xE000, 0)))
        return float(audio_blocks(c, 6)[-1].mean())

    alone = level(channel(0, 0x2000, 32, 0, 15))
    shared = level(channel(1, 0x2000, 32, 0, 0) + channel(0, 0x2000, 32, 0, 15, channels=2))
    assert alone > 0 and shared == pytest.approx(alone / 2, rel=0.01)


@pytest.mark.parametrize("submapper, db", [(None, 12.0), (3, 12.0), (4, 16.5), (5, 18.75)])
def test_mixing_level_against_an_apu_pulse(submapper, db):
    kw = {} if submapper is None else dict(submapper=submapper)
    c = sound_cart(**kw)
    c.run(Script().w((0x4015, 1), (0x4000, 0xBF), (0x4002, 0xFD), (0x4003, 0x08)))
    c.run(Script().w(*SQUARE, *channel(0, 0x2000, 32, 0, 15), (0xE000, 0)))
    _, apu_pulse, *_, board = audio_blocks(c, 6)
    # A full-volume channel swings 15 x 15 of 225; the pulse 30 of its steps.
    louder = np.ptp(board.astype(int)) / np.ptp(apu_pulse.astype(int))
    assert louder == pytest.approx(min(10 ** (db / 20), 65535 / np.ptp(apu_pulse.astype(int))), rel=0.03)


@pytest.mark.parametrize("submapper", [1, 2])
def test_submappers_without_sound_hand_out_six_channels(submapper):
    c = sound_cart(submapper=submapper)
    c.run(Script().w(*SQUARE, *channel(0, 0x2000, 32, 0, 15)))
    assert len(audio_blocks(c, 3)) == 6


@pytest.mark.parametrize("off", [[(0xE000, 0x40)], channel(0, 0x2000, 32, 0, 0)], ids=["$E000 bit 6", "volume 0"])
def test_a_silenced_channel_is_constant(off):
    boardrom.check_silenced(sound_cart(), [*SQUARE, *channel(0, 0x2000, 32, 0, 15), (0xE000, 0)], off, 4, 2)


def sound_program() -> bytes:
    """Three channels playing; each NMI copies the sound RAM to $0300."""
    writes = SQUARE + channel(0, 0x1357, 32, 0, 15, channels=3) + channel(1, 0x2468, 16, 0, 7)
    writes += channel(2, 0x0ABC, 8, 4, 11)
    setup = "\n".join(f"    lda #${v:02X}\n    sta ${a:04X}" for a, v in writes)
    source = f"""
.org $8000
.advance $E000, $FF
{nesrom.RESET_QUIET}
    lda #$00
    sta $E000
{setup}
    lda #$80
    sta $2000
forever:
    jmp forever
nmi:
    lda #$80
    sta $F800
    ldx #$00
copy:
    lda $4800
    sta $0300,x
    inx
    bpl copy
    rti
irq:
    rti
.advance $FFFA, $FF
.word nmi, reset, irq
"""
    return nesrom.build_rom(source, prg_16k=2, chr_data=bytes(8192), mapper=19)


def test_the_ram_the_game_reads_is_the_same_with_audio_off():
    copies = set()
    for single, _ in boardrom.beside_batches(sound_program(), 30):
        copies.add(bytes(single.cpuMem()[0x300:0x380]))
    assert len(copies) > 20, "the phases move"


# ------------------------------------------------------------ snapshots and save states


def scene() -> Cart:
    """CHR ROM nametables beside RAM ones, three channels playing; each NMI
    moves CHR banks, a nametable slot and a byte of the sound RAM."""
    c = cart(chr_data=boardrom.CHR[: 128 * 1024])
    writes = SQUARE + channel(0, 0x1357, 32, 0, 15, channels=3) + channel(1, 0x2468, 16, 0, 7)
    c.run(Script().w(*writes, (0xE000, 0), (0xC000, 0xE0), (0xC800, 0x21), (0xD000, 0xE1), (0xD800, 0x05)))
    c.run(Script().put(0x3F00, *boardrom.BACKGROUND).ramp(0x2000, 0x400).w((0x2000, 0x81), (0x2005, 0x40), (0x2005, 0)))
    c.run(Script().w((0x2001, 0x0A), (0xF800, 0x80 | 0x10)))
    c.on_nmi([(0x8000, 0x7F), (0xA800, 0x7F), (0xC800, 0x7F), (0x4800, 0xFF), (0x5000, 0xFF)])
    return c


@boardrom.both_timings
def test_snapshot_replays_picture_memory_sound_and_the_counter(timing):
    boardrom.check_snapshot_replay(scene(), timing)
    data = counter_program(12345)
    boardrom.restored_twin(boardrom.console(data, "n163-irq.nes", timing, 4), data, "n163-irq.nes")


def test_save_state_continues_in_a_fresh_console(tmp_path):
    # What follows leans on what the state kept: the sound RAM's address and
    # bytes, the counter, the nametable slots (the scroll is set again).
    follow = Script().peek(0x4800, 0x4800, 0x5000, 0x5800).w((0xC000, 0x09), (0x2000, 0x80), (0x2005, 0), (0x2005, 0))
    prepare = Script().w((0x5000, 0x34), (0x5800, 0x12))
    boardrom.scene_continues_after_save(scene(), tmp_path, prepare, follow)


@pytest.mark.parametrize(
    "mapper, prg_16k, chr_8k, refused",
    [
        (19, 33, 8, "512 KiB of PRG ROM"),
        (19, 8, 33, "256 KiB of CHR ROM"),
        (210, 33, 8, "512 KiB of PRG ROM"),
        (19, 32, 32, None),
    ],
)
def test_sizes_the_chip_cannot_reach_are_refused(mapper, prg_16k, chr_8k, refused):
    boardrom.opens_or_refuses(image(mapper, prg_16k, chr_data=bytes(chr_8k * 8192)), refused)
