"""The APU in the hardware timing, on cartridges built here: the frame IRQ, $4015, the DMC's
IRQ and its fetches taken from the CPU, snapshots. The public APU test ROMs are in the sweep
(test_rom_sweep.py)."""

from __future__ import annotations

import hashlib

import pytest

import nesrom
import velkora

velkora_gym = pytest.importorskip("velkora_gym")

CYCLES_PER_FRAME = 29780.5  # NTSC, rendering off: no dot skipped


def console(source: str, timing: str) -> velkora.NES:
    nes = velkora.NES(nesrom.ImageFile(nesrom.build_rom(source), "apu.nes"))
    velkora_gym.set_timing(nes, timing)
    return nes


def word(mem, address: int) -> int:
    return int(mem[address]) | int(mem[address + 1]) << 8


def frame_irq_program(mode: int, ack: str) -> str:
    return nesrom.nrom_program(
        f"""
    sei
    ldx #$ff
    txs
    lda #${mode:02x}
    sta $4017
    cli
loop:
    inc $11
    jmp loop
""",
        irq=f"""
    inc $10
    {ack}
    rti
""",
    )


@pytest.mark.parametrize(
    ("timing", "mode", "irqs"),
    [
        ("hardware", 0x00, (9, 10)),  # one a sequence of 29830 cycles
        ("hardware", 0x40, (0, 0)),  # inhibited
        ("hardware", 0x80, (0, 0)),  # five-step mode sets no flag
        ("hardware", 0xC0, (0, 0)),
        ("design", 0x00, (0, 0)),  # the design's frame IRQ never fires
    ],
)
def test_frame_irq_in_four_step_mode_unless_inhibited(timing, mode, irqs):
    nes = console(frame_irq_program(mode, "lda $4015"), timing)
    nesrom.run_frames(nes, 10)
    assert irqs[0] <= nes.cpuMem()[0x10] <= irqs[1]


@pytest.mark.parametrize(
    ("ack", "handled"),
    [
        ("lda $4015", "every sequence"),  # the read acknowledges
        ("lda #$40\n    sta $4017", "once"),  # so does bit 6, which then inhibits it
        ("", "forever"),  # unacknowledged, the line stays active
    ],
)
def test_frame_irq_is_held_until_acknowledged(ack, handled):
    nes = console(frame_irq_program(0x00, ack), "hardware")
    mem = nes.cpuMem()
    nesrom.run_frames(nes, 10)
    irqs, main = int(mem[0x10]), int(mem[0x11])
    nesrom.run_frames(nes, 10)
    if handled == "every sequence":
        assert 9 <= (int(mem[0x10]) - irqs) % 256 <= 11
        assert mem[0x11] != main
    elif handled == "once":
        assert irqs == 1 and mem[0x10] == 1
    else:
        # Back in the handler after every RTI: the main loop no longer runs.
        assert mem[0x11] == main
        assert mem[0x10] != irqs


def dmc_irq_program(rate: int) -> str:
    # A one-byte sample restarted by each IRQ, whose $4015 write also acknowledges it;
    # the frame IRQ inhibited.
    return nesrom.nrom_program(
        f"""
    sei
{nesrom.stores((0x4017, 0x40), (0x4010, 0x80 | rate), (0x4013, 0x00), (0x4015, 0x10))}
    cli
loop:
    jmp loop
""",
        irq="""
    lda $4015
    sta $20
    inc $10
    bne done
    inc $11
done:
    lda #$10
    sta $4015
    rti
""",
    )


@pytest.mark.parametrize(("rate", "period"), [(0x0F, 54), (0x0C, 106), (0x08, 190)])
def test_dmc_irq_comes_once_an_output_cycle_at_its_rate(rate, period):
    # Restarted while the unit plays the byte before, the sample's one byte is fetched
    # when the output cycle ends: eight timer periods apart.
    nes = console(dmc_irq_program(rate), "hardware")
    nesrom.run_frames(nes, 12)
    mem = nes.cpuMem()
    assert mem[0x20] & 0x90 == 0x80  # the handler saw the DMC's flag and no bytes left
    assert abs(word(mem, 0x10) - nes.cycleCount() / (8 * period)) <= 2


COUNTING_LOOP = """
loop:
    inc $10
    bne loop
    inc $11
    bne loop
    inc $12
    jmp loop
"""


def counting_program(dmc: bool) -> str:
    return nesrom.nrom_program(
        f"""
    sei
{nesrom.stores((0x4010, 0x4F), (0x4013, 0xFF), (0x4015, 0x10 if dmc else 0x00))}
"""
        + COUNTING_LOOP
    )


@pytest.mark.parametrize("timing", ["hardware", "design"])
def test_dmc_fetches_take_cycles_from_the_cpu(timing):
    counts = []
    for dmc in (False, True):
        nes = console(counting_program(dmc), timing)
        nesrom.run_frames(nes, 20)
        mem = nes.cpuMem()
        counts.append(word(mem, 0x10) | int(mem[0x12]) << 16)
    # INC and BNE: eight cycles a pass.
    stolen = (counts[0] - counts[1]) * 8
    fetches = 20 * CYCLES_PER_FRAME / (8 * 54)
    if timing == "design":
        assert stolen == 0
    else:
        # Three or four cycles each, by where the halt lands.
        assert 3 * fetches - 64 <= stolen <= 4 * fetches + 64


SOUND_PROGRAM = nesrom.nrom_program(
    """
    sei
    ldx #$ff
    txs
"""
    + nesrom.stores(
        (0x4010, 0x4C),
        (0x4012, 0x04),
        (0x4013, 0x20),
        (0x4000, 0x9F),
        (0x4002, 0x40),
        (0x4003, 0xF8),
        (0x4015, 0x1F),
        (0x4017, 0x00),
    )
    + """
    cli
loop:
    inc $11
    lda $11
    and #$3f
    bne loop
    lda #$f8
    sta $4003
    jmp loop
""",
    irq="""
    inc $10
    lda $4015
    sta $12
    rti
""",
)


def observed(nes: velkora.NES, frames: int) -> list[str]:
    seen = []
    for _ in range(frames):
        nes.runFrame()
        digest = hashlib.sha256()
        for view in (nes.getImg(), nes.cpuMem()):
            digest.update(view.tobytes())
        digest.update(b"".join(nes.getAudio(True)))
        seen.append(digest.hexdigest())
    return seen


def test_snapshot_round_trip_with_the_dmc_and_frame_irq_running():
    nes = console(SOUND_PROGRAM, "hardware")
    nesrom.run_frames(nes, 37)
    assert nes.cpuMem()[0x12] & 0x10  # the DMC was playing in the handler
    data = velkora_gym.snapshot(nes)
    expected = observed(nes, 90)
    fresh = velkora.NES(nesrom.ImageFile(nesrom.build_rom(SOUND_PROGRAM), "apu.nes"))
    velkora_gym.restore(fresh, data)
    assert velkora_gym.timing(fresh) == "hardware"
    assert observed(fresh, 90) == expected


# --- the public test ROMs ---------------------------------------------------------------
