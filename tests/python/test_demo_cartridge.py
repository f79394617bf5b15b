"""The demo cartridge through the module: picture, scroll split, joypad, sound,
and the game's rules through its documented RAM addresses.

Every byte of this cartridge is ours, so the expectations are exact where the
program makes them so (speeds, bounds, notes, scores)."""

from __future__ import annotations

import json

import numpy as np
import pytest

import nesrom
import velkora
from conftest import REPO, load_script

INTEGRATION = REPO / "python" / "velkora_gym" / "integrations" / "velkora-demo"

# Controller.updateInputs order.
A, B, SELECT, START, UP, DOWN, LEFT, RIGHT = range(8)
# Sprite 1 is the robot's top-left quarter: OAM bytes 4-7 (Y, tile, attributes, X).
OAM_ROBOT_Y, OAM_ROBOT_ATTR, OAM_ROBOT_X = 4, 6, 7
START_X, START_Y = 120, 140


def console(cartridge):
    nes = velkora.NES(str(cartridge))
    pad = nesrom.plug_pad(nes)
    return nes, pad


def press(*buttons: int) -> list[int]:
    return [int(i in buttons) for i in range(8)]


def colour(value: int) -> tuple[int, int, int]:
    return tuple(int(c) for c in velkora.NES().colorLookup()[value])


def majority(region: np.ndarray) -> tuple[int, int, int]:
    values, counts = np.unique(region.reshape(-1, 3), axis=0, return_counts=True)
    return tuple(int(c) for c in values[counts.argmax()])


def test_picture_has_bar_sky_hills_and_ground(demo_cartridge):
    nes, _ = console(demo_cartridge)
    nesrom.run_frames(nes, 120)
    img = np.array(nes.getImg())
    assert len(np.unique(img.reshape(-1, 3), axis=0)) >= 10
    title = img[8:16]
    assert (title == colour(0x30)).all(axis=2).sum() > 100  # white letters
    assert majority(img[33:39]) == colour(0x27)  # orange border
    assert majority(img[48:140]) == colour(0x01)  # night sky
    assert majority(img[176:192]) == colour(0x0A)  # hill bodies
    assert majority(img[208:240]) == colour(0x17)  # bricks


def test_status_bar_stays_while_the_landscape_scrolls(demo_cartridge):
    nes, _ = console(demo_cartridge)
    nesrom.run_frames(nes, 100)
    before = np.array(nes.getImg())
    nes.runFrame()
    after = np.array(nes.getImg())
    # Lines 0-23 hold the title; the clock digits start at line 24.
    assert (before[:24] == after[:24]).all()
    # The hills repeat every 128 pixels: find the shift that matches best.
    hills_before, hills_after = before[152:192].astype(int), after[152:192].astype(int)
    mismatch = [np.any(hills_after[:, :128] != hills_before[:, s : s + 128], axis=2).mean() for s in range(64)]
    assert int(np.argmin(mismatch)) == 1
    assert min(mismatch) < 0.05  # only sprites differ


# Held from the start or after 30 frames: nine or ten steps of 2 pixels (the
# last frame's move reaches OAM by the next frame's DMA), or stopped at a corner.
@pytest.mark.parametrize(
    "buttons, wait, frames, xs, ys, flipped",
    [
        ((RIGHT,), 30, 10, (START_X + 18, START_X + 20), (START_Y,), False),
        ((LEFT,), 30, 10, (START_X - 18, START_X - 20), (START_Y,), True),
        ((DOWN,), 30, 10, (START_X,), (START_Y + 18, START_Y + 20), False),
        ((UP,), 30, 10, (START_X,), (START_Y - 18, START_Y - 20), False),
        ((LEFT, UP), 0, 100, (0,), (48,), True),
        ((RIGHT, DOWN), 0, 100, (240,), (206,), False),
    ],
)
def test_joypad_moves_the_robot_within_the_edges(demo_cartridge, buttons, wait, frames, xs, ys, flipped):
    nes, pad = console(demo_cartridge)
    nesrom.run_frames(nes, wait)
    oam = nes.OAM()
    if wait:
        assert (oam[OAM_ROBOT_Y], oam[OAM_ROBOT_X]) == (START_Y, START_X)
    pad.updateInputs(press(*buttons))
    nesrom.run_frames(nes, frames)
    assert oam[OAM_ROBOT_X] in xs and oam[OAM_ROBOT_Y] in ys
    assert bool(oam[OAM_ROBOT_ATTR] & 0x40) == flipped


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
    assert np.sqrt(np.mean(mix**2)) > 1000
    assert pulse1.any() and triangle.any() and noise.any()
    assert not pulse2.any() and not dmc.any()  # pulse 2 waits for A
    # The first melody note is E5 (659 Hz) and the first bass note A2 (110 Hz);
    # 8192 samples after the first silent block lie inside both notes.
    window = slice(2048, 2048 + 8192)
    assert peak_frequency(pulse1[window]) == pytest.approx(659.3, rel=0.02)
    assert peak_frequency(triangle[window]) == pytest.approx(110.0, rel=0.05)

    pad.updateInputs(press(A))
    nes.runFrame()
    pad.updateInputs(press())
    assert np.abs(audio_channels(nes, 15)[2]).max() > 1000


# ---------------------------------------------------------------- the game
# The RAM table of docs/playing.md and the source.
DOCUMENTED = {
    "robot_x": (0x0A, "|u1"),
    "robot_y": (0x0B, "|u1"),
    "score": (0x10, "<u2"),
    "lives": (0x12, "|u1"),
    "game_over": (0x13, "|u1"),
    "invulnerable": (0x14, "|u1"),
}
ROBOT_X, ROBOT_Y, SCORE, LIVES, GAME_OVER, INVULNERABLE = (a for a, _ in DOCUMENTED.values())
ORB_X, ORB_Y, ORB_WAIT, BIRD_X, BIRD_Y = 0x20, 0x26, 0x38, 0x3E, 0x40
GAME_RAM = np.r_[0x0A:0x0F, 0x10:0x1C, 0x20:0x44]  # everything a game is made of


def score(ram) -> int:
    return int(ram[SCORE]) | int(ram[SCORE + 1]) << 8


def toward(ram, x: int, y: int) -> list[int]:
    """Buttons that bring the robot's top-left corner to (x, y)."""
    rx, ry = int(ram[ROBOT_X]), int(ram[ROBOT_Y])
    held = [RIGHT] if x > rx + 1 else [LEFT] if x < rx - 1 else []
    held += [DOWN] if y > ry + 1 else [UP] if y < ry - 1 else []
    return press(*held)


def chase_orb(ram) -> list[int]:
    rx, ry = int(ram[ROBOT_X]), int(ram[ROBOT_Y])
    shown = [i for i in range(6) if ram[ORB_WAIT + i] == 0]
    if not shown:
        return press()
    i = min(shown, key=lambda i: abs(int(ram[ORB_X + i]) - 4 - rx) + abs(int(ram[ORB_Y + i]) - 4 - ry))
    return toward(ram, int(ram[ORB_X + i]) - 4, int(ram[ORB_Y + i]) - 4)


def chase_bird(ram, bird: int = 0) -> list[int]:
    return toward(ram, min(int(ram[BIRD_X + bird]), 230), int(ram[BIRD_Y + bird]) - 4)


def touching_bird(ram, bird: int) -> bool:
    dx = int(ram[BIRD_X + bird]) - int(ram[ROBOT_X])
    dy = int(ram[BIRD_Y + bird]) - int(ram[ROBOT_Y])
    return -10 <= dx <= 10 and -5 <= dy <= 13


def play_until(nes, pad, policy, done, limit: int) -> int:
    """Runs frames with policy(ram) on the joypad until done(ram); the frames it took."""
    ram = nes.cpuMem()
    for frame in range(1, limit + 1):
        pad.updateInputs(policy(ram))
        nes.runFrame()
        if done(ram):
            return frame
    raise AssertionError(f"not done after {limit} frames")


def builder():
    return load_script(REPO / "demo" / "build_demo.py")


FONT = builder().FONT


def read_text(img: np.ndarray, x: int, y: int, cells: int) -> str:
    """White 5x7 glyphs of the font from pixel (x, y) on, one per 8-pixel cell (best match)."""
    white = (img == colour(0x30)).all(axis=2)
    out = ""
    for cell in range(cells):
        lit = white[y : y + 7, x + 8 * cell + 1 : x + 8 * cell + 6]
        out += min(FONT, key=lambda ch: (lit != (np.array([list(r) for r in FONT[ch]]) == "#")).sum())
    return out


def hearts(img: np.ndarray) -> int:
    """Filled hearts (orange) in row 3, columns 25-27 of the bar."""
    return sum(bool((img[24:32, 8 * c : 8 * c + 8] == colour(0x27)).all(axis=2).any()) for c in (25, 26, 27))


def playing(cartridge):
    """A console and its joypad, run until the reset code has started the game."""
    nes, pad = console(cartridge)
    play_until(nes, pad, lambda ram: press(), lambda ram: ram[LIVES] == 3, 30)
    return nes, pad


def reach_game_over(nes, pad) -> int:
    """Flies the robot into the slow bird until the last life goes; the frames it took."""
    return play_until(nes, pad, chase_bird, lambda ram: ram[LIVES] == 0, 4000)


def test_power_on_starts_a_game_with_the_bar_showing_it(demo_cartridge):
    nes, _ = console(demo_cartridge)
    nesrom.run_frames(nes, 30)
    ram, img = nes.cpuMem(), np.array(nes.getImg())
    assert (score(ram), ram[LIVES], ram[GAME_OVER], ram[ROBOT_X], ram[ROBOT_Y]) == (0, 3, 0, START_X, START_Y)
    assert read_text(img, 0, 8, 32).strip() == "CATCH THE ORBS, AVOID BIRDS"
    assert read_text(img, 0, 24, 24).strip() == "SCORE 0000       LIVES"
    assert hearts(img) == 3


def test_catching_an_orb_scores_one_and_sends_it_away(demo_cartridge):
    nes, pad = playing(demo_cartridge)
    ram, oam = nes.cpuMem(), nes.OAM()
    for _ in range(600):
        last = ram[ORB_X : ORB_Y + 6].copy()  # x of the six orbs, then y
        pad.updateInputs(chase_orb(ram))
        nes.runFrame()
        if score(ram):
            break
    assert score(ram) == 1
    (orb,) = np.flatnonzero(ram[ORB_WAIT : ORB_WAIT + 6])
    gone = (int(ram[ORB_X + orb]), int(ram[ORB_Y + orb]))
    assert abs(gone[0] - int(last[orb])) + abs(gone[1] - int(last[6 + orb])) >= 20
    assert abs(gone[0] + 4 - (int(ram[ROBOT_X]) + 8)) >= 32  # out of the robot's reach
    # It stays hidden a while at its new place, then comes back from there.
    pad.updateInputs(press())
    hidden = 0
    while ram[ORB_WAIT + orb]:
        nes.runFrame()
        hidden += 1
        assert oam[20 + 4 * orb] >= 0xEF and (ram[ORB_X + orb], ram[ORB_Y + orb]) == gone
    nes.runFrame()
    assert hidden == 30 and (oam[23 + 4 * orb], oam[20 + 4 * orb]) == (ram[ORB_X + orb], ram[ORB_Y + orb])
    assert abs(int(ram[ORB_X + orb]) - gone[0]) <= 2
    assert read_text(np.array(nes.getImg()), 16, 24, 10) == "SCORE 0001"


def test_a_bird_costs_one_life_then_the_robot_blinks_unhurt_for_90_frames(demo_cartridge):
    nes, pad = playing(demo_cartridge)
    ram, oam = nes.cpuMem(), nes.OAM()
    play_until(nes, pad, chase_bird, lambda ram: ram[LIVES] < 3, 1500)
    assert (ram[LIVES], ram[INVULNERABLE], ram[GAME_OVER]) == (2, 90, 0)
    touches, shown = 0, set()
    for _ in range(89):
        pad.updateInputs(chase_bird(ram))
        nes.runFrame()
        touches += touching_bird(ram, 0)
        shown.add(oam[OAM_ROBOT_Y] == ram[ROBOT_Y])
        assert ram[LIVES] == 2
    assert touches > 40 and shown == {True, False}  # kept touching, and blinked
    assert play_until(nes, pad, chase_bird, lambda ram: ram[LIVES] < 2, 400) >= 1
    assert (ram[LIVES], ram[INVULNERABLE]) == (1, 90)


def test_no_lives_left_stops_the_game_on_the_game_over_screen(demo_cartridge):
    nes, pad = playing(demo_cartridge)
    ram = nes.cpuMem()
    reach_game_over(nes, pad)
    assert ram[GAME_OVER] == 1  # in the same frame
    nesrom.run_frames(nes, 2)
    still = GAME_RAM[GAME_RAM != 0x15]  # all but the Start lock's countdown
    frozen = ram[still].copy()
    img = np.array(nes.getImg())
    assert read_text(img, 0, 8, 32).strip() == "GAME OVER - PRESS START"
    assert read_text(img, 92, 120, 9) == "GAME OVER" and hearts(img) == 0
    # Nothing moves any more, whatever the joypad does (Start is not taken yet).
    for buttons in ([UP, RIGHT], [DOWN, LEFT], [A, B, START]):
        pad.updateInputs(press(*buttons))
        nesrom.run_frames(nes, 10)
        assert (ram[still] == frozen).all()
        assert (np.array(nes.getImg()) == img).all()
    # Start, once the lock is over, brings the bar and the playfield back.
    pad.updateInputs(press())
    nesrom.run_frames(nes, 30)
    pad.updateInputs(press(START))
    nesrom.run_frames(nes, 3)
    img = np.array(nes.getImg())
    assert read_text(img, 16, 24, 10) == "SCORE 0000" and hearts(img) == 3
    assert read_text(img, 92, 120, 9).strip() == "" and (nes.OAM()[4:60:4] < 0xEF).sum() >= 8


def test_start_begins_a_new_game_that_replays_the_first(demo_cartridge):
    inputs = np.random.default_rng(5).integers(0, 2, (400, 8)) * [0, 0, 0, 0, 1, 1, 1, 1]

    def record(nes, pad) -> np.ndarray:
        # From the first frame of a game (its frame counter at 1) on.
        play_until(nes, pad, lambda ram: press(), lambda ram: ram[0x0E] == 1 and not ram[GAME_OVER], 100)
        rows = [nes.cpuMem()[GAME_RAM].copy()]
        for buttons in inputs:
            pad.updateInputs(buttons.tolist())
            nes.runFrame()
            rows.append(nes.cpuMem()[GAME_RAM].copy())
        return np.array(rows)

    nes, pad = console(demo_cartridge)
    first = record(nes, pad)
    ram = nes.cpuMem()
    assert score(ram) > 0  # something to replay
    reach_game_over(nes, pad)
    pad.updateInputs(press(START))
    nes.runFrame()
    pad.updateInputs(press())
    nesrom.run_frames(nes, 60)
    assert ram[GAME_OVER] == 1  # Start in the first second is ignored
    pad.updateInputs(press(START))
    nes.runFrame()
    assert (score(ram), ram[LIVES], ram[GAME_OVER], ram[ROBOT_X], ram[ROBOT_Y]) == (0, 3, 0, START_X, START_Y)
    assert (record(nes, pad) == first).all()


def test_the_same_input_gives_the_same_run_within_the_bounds(demo_cartridge):
    rng = np.random.default_rng(1)
    held = np.repeat(rng.integers(0, 2, (750, 8)), 4, axis=0)  # random buttons, 4 frames each
    runs = [playing(demo_cartridge) for _ in range(2)]
    caught = lost = 0
    for buttons in held:
        for nes, pad in runs:
            pad.updateInputs(buttons.tolist())
            nes.runFrame()
        (a, _), (b, _) = runs
        ram = a.cpuMem()
        assert (ram[:0x800] == b.cpuMem()[:0x800]).all()
        assert 0 <= ram[ROBOT_X] <= 240 and 48 <= ram[ROBOT_Y] <= 206
        orbs_y = ram[ORB_Y : ORB_Y + 6]
        assert (ram[ORB_X : ORB_X + 6] < 248).all() and ((orbs_y >= 48) & (orbs_y < 216)).all()
        caught = max(caught, score(ram))
        lost = max(lost, 3 - int(ram[LIVES]))
    assert (np.array(runs[0][0].getImg()) == np.array(runs[1][0].getImg())).all()
    assert caught >= 3 and lost >= 1  # random play scores and gets hurt


def test_chasing_orbs_scores_far_more_than_random_buttons(demo_cartridge):
    rng = np.random.default_rng(2)
    held = np.repeat(rng.integers(0, 2, (750, 8)), 4, axis=0)

    def total(policy) -> int:
        nes, pad = console(demo_cartridge)
        ram, points, previous = nes.cpuMem(), 0, 0
        for frame in range(3000):
            pad.updateInputs(policy(ram, frame))
            nes.runFrame()
            points += max(score(ram) - previous, 0)
            previous = score(ram)
        return points

    random_points = total(lambda ram, frame: held[frame].tolist())
    chase_points = total(lambda ram, frame: press(START) if ram[GAME_OVER] and frame % 2 else chase_orb(ram))
    assert random_points >= 10 and chase_points >= 2.5 * random_points


def test_integration_files_point_at_the_documented_variables(demo_cartridge):
    info = json.loads((INTEGRATION / "data.json").read_text())["info"]
    scenario = json.loads((INTEGRATION / "scenario.json").read_text())
    assert {name: (info[name]["address"], info[name]["type"]) for name in DOCUMENTED} == DOCUMENTED
    for i in range(6):
        assert (info[f"orb{i}_x"]["address"], info[f"orb{i}_y"]["address"]) == (ORB_X + i, ORB_Y + i)
    for i in range(2):
        assert (info[f"bird{i}_x"]["address"], info[f"bird{i}_y"]["address"]) == (BIRD_X + i, BIRD_Y + i)
    assert scenario["reward"]["variables"] == {"score": {"reward": 1.0}}
    assert scenario["done"]["variables"] == {"game_over": {"op": "nonzero", "reference": 0, "measurement": "absolute"}}
    # The episode ends exactly when the game-over screen comes up.
    nes, pad = playing(demo_cartridge)
    ram, oam = nes.cpuMem(), nes.OAM()
    flag = info["game_over"]["address"]
    for _ in range(4000):
        assert ram[flag] == 0 and oam[60] == 0xFF  # OAM 60: the G of GAME OVER
        pad.updateInputs(chase_bird(ram))
        nes.runFrame()
        if ram[LIVES] == 0:
            break
    nes.runFrame()
    assert ram[flag] == 1 and oam[60] != 0xFF
