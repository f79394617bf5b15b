"""The demo cartridge through the module: picture, scroll split, joypad, sound.

Every byte of this cartridge is ours, so the expectations are exact where the
program makes them so (speeds, bounds, notes)."""
from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pytest

import velkora

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "demo"))
import build_demo  # noqa: E402

# Controller.updateInputs order.
A, B, SELECT, START, UP, DOWN, LEFT, RIGHT = range(8)
# Sprite 1 is the robot's top-left quarter: OAM bytes 4-7 (Y, tile, attributes, X).
ROBOT_Y, ROBOT_ATTR, ROBOT_X = 4, 6, 7
START_X, START_Y = 120, 140


@pytest.fixture(scope="module")
def cartridge(tmp_path_factory) -> str:
    return str(build_demo.build(tmp_path_factory.mktemp("demo") / "velkora-demo.nes"))


def console(cartridge: str):
    nes = velkora.NES(cartridge)
    pad = velkora.Controller()
    nes.setController(pad, 0)
    return nes, pad


def run(nes, frames: int) -> None:
    for _ in range(frames):
        nes.runFrame()


def press(*buttons: int) -> list[int]:
    return [int(i in buttons) for i in range(8)]


def colour(value: int) -> tuple[int, int, int]:
    return tuple(int(c) for c in velkora.NES().colorLookup()[value])


def majority(region: np.ndarray) -> tuple[int, int, int]:
    values, counts = np.unique(region.reshape(-1, 3), axis=0, return_counts=True)
    return tuple(int(c) for c in values[counts.argmax()])


def test_image_is_nrom_with_our_vectors(cartridge):
    data = Path(cartridge).read_bytes()
    assert data[:8] == b"NES\x1a\x02\x01\x01\x00"
    assert len(data) == 16 + 32768 + 8192
    prg = data[16:16 + 32768]
    for vector in (0x7FFA, 0x7FFC, 0x7FFE):
        target = prg[vector] | prg[vector + 1] << 8
        assert 0x8000 <= target < 0xFFFA


def test_picture_has_bar_sky_hills_and_ground(cartridge):
    nes, _ = console(cartridge)
    run(nes, 120)
    img = np.array(nes.getImg())
    assert len(np.unique(img.reshape(-1, 3), axis=0)) >= 10
    title = img[8:16]
    assert (title == colour(0x30)).all(axis=2).sum() > 100       # white letters
    assert majority(img[33:39]) == colour(0x27)                 # orange border
    assert majority(img[48:140]) == colour(0x01)                # night sky
    assert majority(img[176:192]) == colour(0x0A)               # hill bodies
    assert majority(img[208:240]) == colour(0x17)               # bricks


def test_status_bar_stays_while_the_landscape_scrolls(cartridge):
    nes, _ = console(cartridge)
    run(nes, 100)
    before = np.array(nes.getImg())
    nes.runFrame()
    after = np.array(nes.getImg())
    # Lines 0-23 hold the title; the clock digits start at line 24.
    assert (before[:24] == after[:24]).all()
    # The hills repeat every 128 pixels: find the shift that matches best.
    hills_before, hills_after = before[152:192].astype(int), after[152:192].astype(int)
    mismatch = [np.any(hills_after[:, :128] != hills_before[:, s:s + 128], axis=2).mean() for s in range(64)]
    assert int(np.argmin(mismatch)) == 1
    assert min(mismatch) < 0.05                                  # only sprites differ


@pytest.mark.parametrize("button, index, step, flipped", [
    (RIGHT, ROBOT_X, +2, False),
    (LEFT, ROBOT_X, -2, True),
    (DOWN, ROBOT_Y, +2, False),
    (UP, ROBOT_Y, -2, False),
])
def test_joypad_moves_the_robot(cartridge, button, index, step, flipped):
    nes, pad = console(cartridge)
    run(nes, 30)
    oam = nes.OAM()
    assert (oam[ROBOT_Y], oam[ROBOT_X]) == (START_Y, START_X)
    pad.updateInputs(press(button))
    run(nes, 10)
    moved = int(oam[index]) - (START_X if index == ROBOT_X else START_Y)
    # The last frame's move reaches OAM by the next frame's DMA: 9 or 10 steps.
    assert moved in (9 * step, 10 * step)
    assert bool(oam[ROBOT_ATTR] & 0x40) == flipped


@pytest.mark.parametrize("buttons, corner", [
    ((LEFT, UP), (0, 48)),
    ((RIGHT, DOWN), (240, 206)),
])
def test_robot_stops_at_the_edges(cartridge, buttons, corner):
    nes, pad = console(cartridge)
    pad.updateInputs(press(*buttons))
    run(nes, 100)
    oam = nes.OAM()
    assert (oam[ROBOT_X], oam[ROBOT_Y]) == corner


def audio_channels(nes, frames: int) -> list[np.ndarray]:
    blocks: list[list[bytes]] = [[] for _ in range(6)]
    for _ in range(frames):
        nes.runFrame()
        taken = nes.getAudio(split_channels=True)
        if taken[0]:
            for channel, block in enumerate(taken):
                blocks[channel].append(block)
    return [np.frombuffer(b"".join(parts), dtype="<i2").astype(np.float64) for parts in blocks]


def peak_frequency(samples: np.ndarray) -> float:
    spectrum = np.abs(np.fft.rfft(samples * np.hanning(samples.size)))
    spectrum[:5] = 0
    return float(np.fft.rfftfreq(samples.size, 1 / 44100)[spectrum.argmax()])


def test_music_plays_melody_bass_and_hats(cartridge):
    nes, _ = console(cartridge)
    mix, pulse1, pulse2, triangle, noise, dmc = audio_channels(nes, 60)
    assert np.sqrt(np.mean(mix ** 2)) > 1000
    assert pulse1.any() and triangle.any() and noise.any()
    assert not pulse2.any() and not dmc.any()                    # pulse 2 waits for A
    # The first melody note is E5 (659 Hz) and the first bass note A2 (110 Hz);
    # 8192 samples after the first silent block lie inside both notes.
    window = slice(2048, 2048 + 8192)
    assert peak_frequency(pulse1[window]) == pytest.approx(659.3, rel=0.02)
    assert peak_frequency(triangle[window]) == pytest.approx(110.0, rel=0.05)


def test_button_a_sounds_pulse_two(cartridge):
    nes, pad = console(cartridge)
    run(nes, 30)
    pad.updateInputs(press(A))
    nes.runFrame()
    pad.updateInputs(press())
    pulse2 = audio_channels(nes, 15)[2]
    assert np.abs(pulse2).max() > 1000
