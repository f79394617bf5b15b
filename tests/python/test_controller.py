"""Joypads as a game sees them through $4016/$4017, fed from Python."""
import io

import pytest

import velkora
from nesrom import build_rom, nrom_program


class Image(io.BytesIO):
    name = "pads.nes"


# Each frame: strobe with the value at $F0 (1 then 0 unless $F1 is set, which
# leaves the strobe high), then read each port twelve times into $0300/$0320.
READER = nrom_program("""
    ldx #$ff
    txs
    lda #$80
    sta $2000          ; NMI each frame
wait:
    jmp wait
""", nmi="""
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
    inc $F2
    rti
""")


@pytest.fixture
def console():
    return velkora.NES(Image(build_rom(READER)))


def reads(nes):
    mem = nes.cpuMem()
    nes.runFrame()
    nes.runFrame()
    return list(mem[0x300:0x30C]), list(mem[0x320:0x32C])


def test_default_pads_read_released_then_ones(console):
    port0, port1 = reads(console)
    assert port0 == [0x40] * 8 + [0x41] * 4
    assert port1 == [0x40] * 8 + [0x41] * 4


def test_buttons_arrive_in_order_and_ports_are_independent(console):
    pad = velkora.Controller()
    console.setController(pad, 0)
    pad.updateInputs([1, 0, 0, 1, 0, 0, 0, 1])
    port0, port1 = reads(console)
    assert port0 == [0x41, 0x40, 0x40, 0x41, 0x40, 0x40, 0x40, 0x41] + [0x41] * 4
    assert port1 == [0x40] * 8 + [0x41] * 4


def test_port_number_uses_low_eight_bits(console):
    pad = velkora.Controller()
    pad.updateInputs([True] + [False] * 7)
    console.setController(pad, 257)
    port0, port1 = reads(console)
    assert port0[0] == 0x40 and port1[0] == 0x41


def test_strobe_held_repeats_first_button(console):
    pad = velkora.Controller()
    pad.updateInputs([1, 0, 0, 0, 0, 0, 0, 0])
    console.setController(pad, 0)
    console.cpuMem()[0xF1] = 1
    port0, _ = reads(console)
    assert port0 == [0x41] * 12


def test_one_controller_in_both_ports(console):
    pad = velkora.Controller()
    console.setController(pad, 0)
    console.setController(pad, 1)
    pad.updateInputs([0, 1, 0, 0, 0, 0, 0, 0])
    port0, port1 = reads(console)
    assert port0[:2] == port1[:2] == [0x40, 0x41]


@pytest.mark.parametrize("entries, error", [
    ([1] * 7, IndexError),
    ((1,) * 8, TypeError),
    ("11111111", TypeError),
    (None, TypeError),
    ([1, 0, "x", 0, 0, 0, 0, 0], RuntimeError),
])
def test_bad_inputs_leave_buttons_unchanged(console, entries, error):
    pad = velkora.Controller()
    console.setController(pad, 0)
    pad.updateInputs([1, 1, 0, 0, 0, 0, 0, 0])
    with pytest.raises(error):
        pad.updateInputs(entries)
    port0, _ = reads(console)
    assert port0[:3] == [0x41, 0x41, 0x40]


def test_conversion_by_truth_and_extra_entries_ignored(console):
    pad = velkora.Controller()
    console.setController(pad, 0)
    pad.updateInputs([None, 2, 0.0, True, False, -1, 0, 0, 1, 1])
    port0, _ = reads(console)
    assert port0[:8] == [0x40, 0x41, 0x40, 0x41, 0x40, 0x41, 0x40, 0x40]


@pytest.mark.parametrize("port", [2, -1, 255, 0x1FF])
def test_ports_outside_the_two_are_refused(console, port):
    with pytest.raises(ValueError):
        console.setController(velkora.Controller(), port)


def test_set_controller_none_is_runtime_error(console):
    with pytest.raises(RuntimeError):
        console.setController(None, 0)


def test_plugged_controller_outlives_its_python_name(console):
    pad = velkora.Controller()
    pad.updateInputs([1] * 8)
    console.setController(pad, 0)
    del pad
    import gc
    gc.collect()
    port0, _ = reads(console)
    assert port0[:8] == [0x41] * 8
