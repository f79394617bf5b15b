"""The demo cartridge through the module: picture, scroll split, joypad, sound.

Every byte of this cartridge is ours, so the expectations are exact where the
program makes them so (speeds, bounds, notes)."""
from __future__ import annotations

import numpy as np
import pytest

import velkora

# Controller.updateInputs order.
A, B, SELECT, START, UP, DOWN, LEFT, RIGHT = range(8)
# Sprite 1 is the robot's top-left quarter: OAM bytes 4-7 (Y, tile, attributes, X).
ROBOT_Y, ROBOT_ATTR, ROBOT_X = 4, 6, 7
START_X, START_Y = 120, 140


def console(cartridge):
    nes = velkora.NES(str(cartridge))
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


def test_picture_has_bar_sky_hills_and_ground(demo_cartridge):
    nes, _ = console(demo_cartridge)
    run(nes, 120)
    img = np.array(nes.getImg())
    assert len(np.unique(img.reshape(-1, 3), axis=0)) >= 10
    title = img[8:16]
    assert (title == colour(0x30)).all(axis=2).sum() > 100       # white letters
    assert majority(img[33:39]) == colour(0x27)                 # orange border
    assert majority(img[48:140]) == colour(0x01)                # night sky
    assert majority(img[176:192]) == colour(0x0A)               # hill bodies
    assert majority(img[208:240]) == colour(0x17)               # bricks


def test_status_bar_stays_while_the_landscape_scrolls(demo_cartridge):
    nes, _ = console(demo_cartridge)
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


# Held from the start or after 30 frames: nine or ten steps of 2 pixels (the
# last frame's move reaches OAM by the next frame's DMA), or stopped at a corner.
@pytest.mark.parametrize("buttons, wait, frames, xs, ys, flipped", [
    ((RIGHT,), 30, 10, (START_X + 18, START_X + 20), (START_Y,), False),
    ((LEFT,), 30, 10, (START_X - 18, START_X - 20), (START_Y,), True),
    ((DOWN,), 30, 10, (START_X,), (START_Y + 18, START_Y + 20), False),
    ((UP,), 30, 10, (START_X,), (START_Y - 18, START_Y - 20), False),
    ((LEFT, UP), 0, 100, (0,), (48,), True),
    ((RIGHT, DOWN), 0, 100, (240,), (206,), False),
])
def test_joypad_moves_the_robot_within_the_edges(demo_cartridge, buttons, wait, frames, xs, ys, flipped):
    nes, pad = console(demo_cartridge)
    run(nes, wait)
    oam = nes.OAM()
    if wait:
        assert (oam[ROBOT_Y], oam[ROBOT_X]) == (START_Y, START_X)
    pad.updateInputs(press(*buttons))
    run(nes, frames)
    assert oam[ROBOT_X] in xs and oam[ROBOT_Y] in ys
    assert bool(oam[ROBOT_ATTR] & 0x40) == flipped


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


def test_music_plays_melody_bass_and_hats_and_a_sounds_pulse_two(demo_cartridge):
    nes, pad = console(demo_cartridge)
    mix, pulse1, pulse2, triangle, noise, dmc = audio_channels(nes, 60)
    assert np.sqrt(np.mean(mix ** 2)) > 1000
    assert pulse1.any() and triangle.any() and noise.any()
    assert not pulse2.any() and not dmc.any()                    # pulse 2 waits for A
    # The first melody note is E5 (659 Hz) and the first bass note A2 (110 Hz);
    # 8192 samples after the first silent block lie inside both notes.
    window = slice(2048, 2048 + 8192)
    assert peak_frequency(pulse1[window]) == pytest.approx(659.3, rel=0.02)
    assert peak_frequency(triangle[window]) == pytest.approx(110.0, rel=0.05)

    pad.updateInputs(press(A))
    nes.runFrame()
    pad.updateInputs(press())
    assert np.abs(audio_channels(nes, 15)[2]).max() > 1000
