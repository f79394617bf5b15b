"""Audio blocks handed to Python: cadence, channel split and tone pitch."""

import numpy as np
import pytest

import velkora
from nesrom import build_rom, nrom_program, write_rom

CLOCK = 1789773
RATE = 44100
BLOCK_BYTES = 2048


def tone_rom(tmp_path, *, pulse=None, triangle=None, noise=False):
    """A cartridge that starts the given channels and then idles."""
    enable = (0x01 if pulse is not None else 0) | (0x04 if triangle is not None else 0) | (0x08 if noise else 0)
    # Channels are enabled first: a disabled channel loses its length at the first half frame.
    body = [f"lda #${enable:02X}", "sta $4015", "lda #$40", "sta $4017"]
    if pulse is not None:
        # Duty 2, length halted, constant volume 15; sweep off.
        body += [
            "lda #$BF",
            "sta $4000",
            "lda #$00",
            "sta $4001",
            f"lda #${pulse & 0xFF:02X}",
            "sta $4002",
            f"lda #${0x08 | pulse >> 8:02X}",
            "sta $4003",
        ]
    if triangle is not None:
        body += [
            "lda #$FF",
            "sta $4008",
            f"lda #${triangle & 0xFF:02X}",
            "sta $400A",
            f"lda #${0x08 | triangle >> 8:02X}",
            "sta $400B",
        ]
    if noise:
        body += ["lda #$38", "sta $400C", "lda #$04", "sta $400E", "lda #$08", "sta $400F"]
    body += ["idle:", "jmp idle"]
    source = nrom_program("\n".join(f"    {line}" if not line.endswith(":") else line for line in body))
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
