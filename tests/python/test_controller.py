"""Joypads as a game sees them through $4016/$4017, fed from Python; the
inputs they refuse are in test_bad_inputs."""

import gc

import pytest

import velkora
from nesrom import JOYPAD_READER, ImageFile, build_rom
from nesrom import joypad_reads as reads


@pytest.fixture
def console():
    return velkora.NES(ImageFile(build_rom(JOYPAD_READER), "pads.nes"))


# Bit 0 is the button; the upper bits are what was last on the data bus ($40,
# the high byte of $4016). After eight reads a standard pad returns 1s.
def bits(*pressed):
    return [0x40 | b for b in pressed] + [0x41] * 4


RELEASED = bits(0, 0, 0, 0, 0, 0, 0, 0)


@pytest.mark.parametrize(
    "buttons, ports, strobe_held, port0, port1",
    [
        (None, (), False, RELEASED, RELEASED),
        ([1, 0, 0, 1, 0, 0, 0, 1], (0,), False, bits(1, 0, 0, 1, 0, 0, 0, 1), RELEASED),
        ([1, 0, 0, 0, 0, 0, 0, 0], (1,), False, RELEASED, bits(1, 0, 0, 0, 0, 0, 0, 0)),
        ([0, 1, 0, 0, 0, 0, 0, 0], (0, 1), False, bits(0, 1, 0, 0, 0, 0, 0, 0), bits(0, 1, 0, 0, 0, 0, 0, 0)),
        # A strobe left high keeps reloading the shift register: A, again and again.
        ([1, 0, 0, 0, 0, 0, 0, 0], (0,), True, [0x41] * 12, [0x40] * 12),
    ],
    ids=["no pads", "port 0", "port 1", "one pad in both ports", "strobe held"],
)
def test_reads_through_the_ports(console, buttons, ports, strobe_held, port0, port1):
    pad = velkora.Controller()
    for port in ports:
        console.setController(pad, port)
    if buttons:
        pad.updateInputs(buttons)
    console.cpuMem()[0xF1] = strobe_held
    assert reads(console) == (port0, port1)


def test_plugged_controller_outlives_its_python_name(console):
    pad = velkora.Controller()
    pad.updateInputs([1] * 8)
    console.setController(pad, 0)
    del pad
    gc.collect()
    port0, _ = reads(console)
    assert port0[:8] == [0x41] * 8
