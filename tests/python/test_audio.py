"""Audio blocks handed to Python: cadence, channel split and tone pitch."""

import numpy as np
import pytest

import velkora
from nesrom import build_rom, nrom_program, stores, write_rom

CLOCK = 1789773
RATE = 44100
BLOCK_BYTES = 2048


def tone_rom(tmp_path, *, pulse=None, triangle=None, noise=False):
    """A cartridge that starts the given channels and then idles."""
    enable = (0x01 if pulse is not None else 0) | (0x04 if triangle is not None else 0) | (0x08 if noise else 0)
    # Channels are enabled first: a disabled channel loses its length at the first half frame.
    writes = [(0x4015, enable), (0x4017, 0x40)]
    if pulse is not None:
        # Duty 2, length halted, constant volume 15; sweep off.
        writes += [(0x4000, 0xBF), (0x4001, 0x00), (0x4002, pulse & 0xFF), (0x4003, 0x08 | pulse >> 8)]
    if triangle is not None:
        writes += [(0x4008, 0xFF), (0x400A, triangle & 0xFF), (0x400B, 0x08 | triangle >> 8)]
    if noise:
        writes += [(0x400C, 0x38), (0x400E, 0x04), (0x400F, 0x08)]
    source = nrom_program(stores(*writes) + "\nidle:\n    jmp idle")
    return velkora.NES(write_rom(tmp_path, build_rom(source)))


def collect(nes, blocks, split=False, skip=2):
    """Runs frames and gathers consecutive blocks (one comes every ~1.4 frames)."""
    taken = []
    while len(taken) < blocks + skip:
        nes.runFrame()
        got = nes.getAudio(split)
        if got != [b""]:
            taken.append([np.frombuffer(b, dtype="<i2").astype(np.int64) for b in got])
    return taken[skip:]


def test_handover_sequence_on_a_fresh_console():
    nes = velkora.NES()
    assert nes.getAudio() == [b""]
    assert nes.getAudio(True) == [b""]
    nes.runFrame()
    assert nes.getAudio() == [bytes(BLOCK_BYTES)]
    assert nes.getAudio() == [b""]
    assert nes.getAudio(split_channels=True) == [b""]

    split = velkora.NES()
    split.runFrame()
    assert split.getAudio(split_channels=True) == [bytes(BLOCK_BYTES)] * 6
    assert split.getAudio(True) == [b""]


@pytest.mark.parametrize(
    "channel,period,cycles_per_period",
    [
        ("pulse", 253, 16),
        ("pulse", 100, 16),
        ("triangle", 200, 32),
        ("triangle", 80, 32),
    ],
)
def test_tone_peak_is_at_the_timer_frequency(tmp_path, channel, period, cycles_per_period):
    nes = tone_rom(tmp_path, **{channel: period})
    samples = np.concatenate([b[0] for b in collect(nes, 8)])
    spectrum = np.abs(np.fft.rfft((samples - samples.mean()) * np.hanning(len(samples))))
    peak = np.argmax(spectrum[1:]) + 1
    bin_hz = RATE / len(samples)
    expected = CLOCK / (cycles_per_period * (period + 1))
    assert abs(peak * bin_hz - expected) <= bin_hz, (peak * bin_hz, expected)


def test_split_blocks_are_the_channels_in_order_and_sum_to_the_mix(tmp_path):
    several = collect(tone_rom(tmp_path, pulse=253, triangle=200, noise=True), 3, split=True)
    for mix, *channels in several:
        assert [bool(c.any()) for c in channels] == [True, False, True, True, False]
        # Each channel block truncates separately: at most one unit lost per channel.
        assert np.abs(mix - sum(channels)).max() <= len(channels)
