"""Demonstrations: episodes recorded by RecordMovie replay into the very arrays the
environment produced; the command refuses what no action can play, and --nearest plays
the closest action."""

from __future__ import annotations

import numpy as np
import pytest

pytest.importorskip("gymnasium")
import gymnasium as gym

import nesrom
from conftest import write_integration
from velkora_gym.batch import Batch
from velkora_gym.envs import DEMO_ROM, demo
from velkora_gym.envs.demonstrations import RecordMovie, demonstrations, main
from velkora_gym.movie import Movie

OPTIONS = [
    # (environment options, episodes, command-line form of the options)
    (
        dict(obs_type="grayscale", screen_size=(84, 84), frameskip=4, frame_stack=4),
        1,
        ["obs_type=grayscale", "screen_size=(84,84)", "frameskip=4", "frame_stack=4"],
    ),
    (
        dict(obs_type="ram", frameskip=3, actions="multibinary", max_episode_frames=600),
        2,
        ['{"obs_type": "ram", "frameskip": 3, "actions": "multibinary", "max_episode_frames": 600}'],
    ),
    (
        dict(obs_type="rgb", frameskip=2, actions="complex", episodic_life=True),
        3,
        ["obs_type=rgb", "frameskip=2", "actions=complex", "episodic_life=True"],
    ),
]


def play(env: gym.Env, episodes: int, seed: int = 0) -> dict[str, list]:
    """Random play; what the environment itself gave, in the demonstrations' layout."""
    steps, finals, lengths = [], [], []
    env.action_space.seed(seed)
    for episode in range(episodes):
        observation, _ = env.reset(seed=seed + episode)
        ended, length = False, 0
        while not ended:
            action = env.action_space.sample()
            after, reward, terminated, truncated, _ = env.step(action)
            steps.append((observation, action, length == 0, reward, terminated, truncated))
            observation, ended, length = after, terminated or truncated, length + 1
        finals.append(observation)
        lengths.append(length)
    columns = ("observations", "actions", "episode_starts", "rewards", "terminated", "truncated")
    return {
        **{key: list(column) for key, column in zip(columns, zip(*steps))},
        "final_observations": finals,
        "episode_lengths": lengths,
    }


@pytest.mark.parametrize("options, episodes, command", OPTIONS, ids=["grayscale-stack", "ram-multibinary", "rgb-lives"])
def test_recorded_episodes_become_the_environments_own_arrays(options, episodes, command, tmp_path):
    env = RecordMovie(demo(repeat_action_probability=0.0, **options), tmp_path / "movies")
    seen = play(env, episodes)
    env.close()
    assert len(env.saved) == episodes
    out = tmp_path / "demos.npz"
    assert main([*map(str, env.saved), "--env-options", *command, "game=velkora-demo", "--out", str(out)]) == 0
    arrays = np.load(out)
    for key, values in seen.items():
        assert np.array_equal(arrays[key], np.array(values)), key
    assert np.array_equal(
        arrays["masks"],
        env.unwrapped._setup.masks_of(np.array(seen["actions"]), len(seen["actions"]), env.action_space),
    )
    assert list(arrays["movies"]) == [path.name for path in env.saved]


def test_sticky_frames_are_recorded_as_pressed(tmp_path):
    env = RecordMovie(demo(repeat_action_probability=0.5, frameskip=4, obs_type="ram"))
    env.reset(seed=3)
    for action in [4, 5, 3, 6, 1] * 20:
        env.step(action)
    ram = env.unwrapped._batch.ram[0].copy()
    movie = env.movie
    frames = movie.buttons[:, 0].reshape(-1, 4)
    assert (frames != frames[:, :1]).any(axis=1).sum() > 10  # steps whose buttons changed inside
    batch = Batch(DEMO_ROM, 1, threads=1, obs_type=None)
    movie.play(batch, 0)
    assert np.array_equal(batch.ram[0], ram)
    with pytest.raises(ValueError, match="change within the step"):
        demonstrations([movie], frameskip=4, obs_type="ram")
    # Sticky frames change the game, and nothing ends this episode: refused unless asked.
    with pytest.raises(ValueError, match="the option frameskip=1 would press them. Refused"):
        demonstrations([movie], frameskip=4, obs_type="ram", nearest=True)
    with pytest.warns(UserWarning, match="steps that change the game"):
        arrays = demonstrations([movie], frameskip=4, obs_type="ram", nearest=True, strict=False)
    assert len(arrays["actions"]) == 100


def test_nearest_plays_the_closest_action_and_exact_refuses_naming_the_frame():
    movie = Movie(DEMO_ROM)
    held = [0x00] * 8 + [0x81] * 4 + [0x41] * 4  # A+Right, then A+Left: not in the simple set
    movie.extend(held)
    with pytest.raises(ValueError, match=r"frame 8: no action of the set presses the buttons 0x81"):
        demonstrations([movie], frameskip=4, obs_type="ram")
    with pytest.warns(UserWarning, match=r"frames 8-11 RIGHT\+A \(played RIGHT\); frames 12-15 LEFT\+A"):
        arrays = demonstrations([movie], frameskip=4, obs_type="ram", nearest=True, strict=False)
    # One button away: Right or A, Left or A; the first of the set at that distance wins.
    assert arrays["masks"].tolist() == [0x00, 0x00, 0x80, 0x40]
    assert arrays["actions"].tolist() == [0, 0, 4, 3]


def test_refusals_leave_no_file(tmp_path, capsys):
    two_players = Movie(DEMO_ROM)
    two_players.extend([0] * 8, [0] * 5 + [0x08] * 3)
    path = tmp_path / "two.vmv"
    two_players.save(path)
    out = tmp_path / "out.npz"
    assert main([str(path), "--out", str(out)]) == 2
    assert "player 2 presses buttons at frame 5" in capsys.readouterr().err
    for options, named in [
        (["noop_max=3"], "noop_max is fixed by the movie"),
        (["frameskip=(2,5)"], "frameskip must be one number"),
        (["frameskip"], "KEY=VALUE"),
    ]:
        one = Movie(DEMO_ROM)
        one.extend([0] * 8)
        one.save(path)
        assert main([str(path), "--env-options", *options, "--out", str(out)]) == 2
        assert named in capsys.readouterr().err
    assert not out.exists() and list(tmp_path.glob(".*")) == []


def test_episodes_cut_short_and_restores_each_get_a_movie_that_replays(tmp_path):
    env = RecordMovie(demo(repeat_action_probability=0.0, obs_type="ram", frameskip=2), tmp_path)
    env.reset(seed=0)
    for _ in range(30):
        env.step(4)
    middle = env.clone_state()
    ram_middle = env.unwrapped._batch.ram[0].copy()
    for _ in range(10):
        env.step(1)
    env.restore_state(middle)  # the first movie ends here; the next starts from the restore
    for _ in range(15):
        env.step(3)
    ram_end = env.unwrapped._batch.ram[0].copy()
    env.reset(seed=1)  # cut short: saved as it stands
    env.close()  # nothing recorded since the reset: no empty movie
    assert [path.name for path in env.saved] == ["episode-000000.vmv", "episode-000001.vmv"]
    first, second = (Movie.load(path) for path in env.saved)
    assert (len(first), len(second)) == (80, 30)
    batch = Batch(DEMO_ROM, 1, threads=1, obs_type=None)
    first.truncate(60)
    first.play(batch, 0)
    assert np.array_equal(batch.ram[0], ram_middle)
    second.play(batch, 0)
    assert np.array_equal(batch.ram[0], ram_end)


def test_frames_stepped_out_of_sight_are_refused():
    class TwiceAStep(gym.Wrapper):
        def step(self, action):
            self.env.step(action)
            return self.env.step(action)

    env = RecordMovie(TwiceAStep(demo(obs_type="ram")))
    env.reset(seed=0)
    with pytest.raises(RuntimeError, match="wrap the VelkoraEnv itself"):
        env.step(0)
    with pytest.raises(gym.error.ResetNeeded):
        RecordMovie(demo(obs_type="ram")).step(0)


def test_movies_replay_in_their_timing_and_the_reset_button_is_refused():
    probe = nesrom.build_rom(nesrom.RESET_PROBE)
    movie = Movie(probe, timing="hardware")
    movie.extend([0] * 4)
    # SP at the probe's reset handler: $FD after the hardware's power-on, $FF after the design's.
    arrays = demonstrations([movie], frameskip=2, obs_type="ram", actions="multibinary")
    assert arrays["final_observations"][0][0x14] == 0xFD
    with pytest.raises(ValueError, match="replays in the hardware timing, and timing='design' was given"):
        demonstrations([movie], frameskip=2, obs_type="ram", timing="design")
    movie.append(0, reset=True)
    with pytest.raises(ValueError, match="reset button is pressed before frame 4"):
        demonstrations([movie], frameskip=1, obs_type="ram")


# A title screen: every NMI keeps the joypad in $10; Start sets $11 for good, and from then
# on $12 counts the frames played. $13 counts every frame.
TITLE = """
    sei
    ldx #$ff
    txs
    lda #0
    sta $11
    sta $12
    sta $13
    lda #$80
    sta $2000
wait:
    jmp wait
"""
TITLE_NMI = """
    inc $13
    lda #1
    sta $4016
    lda #0
    sta $4016
    ldx #8
read:
    lda $4016
    lsr
    rol $10
    dex
    bne read
    lda $10
    and #$10
    beq playing
    lda #1
    sta $11
playing:
    lda $11
    beq done
    inc $12
done:
    rti
"""
# Select, which the game only copies into $10, then Start at frame 16.
SELECT_THEN_START = [0] * 8 + [0x04] * 4 + [0] * 4 + [0x08] * 4 + [0] * 40


@pytest.fixture(scope="module")
def title(tmp_path_factory):
    """The title-screen cartridge and an integration folder whose episode ends when $12 or
    $13 reaches `end` (a variable name): (rom, folder for score, folder for frames)."""
    base = tmp_path_factory.mktemp("title")
    rom = base / "title.nes"
    rom.write_bytes(nesrom.build_rom(nesrom.nrom_program(TITLE, nmi=TITLE_NMI)))
    data = {
        "info": {n: {"address": a, "type": "|u1"} for n, a in (("started", 0x11), ("score", 0x12), ("frames", 0x13))}
    }
    folders = []
    for end in ("score", "frames"):
        done = {"variables": {end: {"op": "greater-or-equal", "reference": 20 if end == "score" else 40}}}
        scenario = {"reward": {"variables": {"score": {"reward": 1}}}, "done": done}
        folders.append(write_integration(base / f"ends-by-{end}", data, scenario))
    movie = Movie(rom)
    movie.extend(SELECT_THEN_START)
    movie.save(base / "start.vmv")
    return base / "start.vmv", rom, *folders


@pytest.mark.parametrize(
    "ends_by, strict, exit_code, warned",
    [
        ("score", None, 2, "Refused (its episode never ended"),  # the game never starts: nothing ends it
        ("score", False, 0, "warning:"),
        ("frames", None, 0, "warning:"),  # the episode ends anyway: a warning
        ("frames", True, 2, "Refused (--strict"),
    ],
)
def test_nearest_names_the_frames_that_change_the_game_and_refuses_when_strict(
    title, tmp_path, capsys, ends_by, strict, exit_code, warned
):
    movie, rom, by_score, by_frames = title
    folder = by_score if ends_by == "score" else by_frames
    out = tmp_path / "demos.npz"
    flags = [] if strict is None else ["--strict" if strict else "--no-strict"]
    command = [str(movie), "--rom", str(rom), "--nearest", *flags, "--out", str(out)]
    assert main([*command, "--env-options", "actions=simple", f"integration={folder}"]) == exit_code
    err = capsys.readouterr().err
    assert warned in err
    # Only Start changed the game: Select's frames are played as NOOP without a word.
    assert "1 step that changes the game: frames 16-19 START (played NOOP); the option actions=all" in err
    assert "SELECT" not in err
    assert out.exists() == (exit_code == 0)
    if exit_code == 0:
        assert "2 played by the nearest action, 1 of them changing the game" in err
    # With the option it suggests, the movie plays exactly and starts the game.
    assert main([*command, "--env-options", "actions=all", f"integration={folder}"]) == 0
    err = capsys.readouterr().err
    assert "warning" not in err and "played by the nearest" not in err
    assert np.load(out)["rewards"].sum() > 0


def test_the_python_call_warns_and_refuses_as_the_command_does(title):
    movie_path, rom, by_score, by_frames = title
    movie = Movie.load(movie_path, rom=rom)
    with pytest.warns(UserWarning, match="frames 16-19 START"):
        arrays = demonstrations([movie], nearest=True, actions="simple", integration=str(by_frames))
    assert arrays["episode_lengths"].tolist() == [10] and arrays["rewards"].sum() == 0
    with pytest.raises(ValueError, match="never ended"):
        demonstrations([movie], nearest=True, actions="simple", integration=str(by_score))
    with pytest.raises(ValueError, match=r"frame 8: no action of the set presses the buttons 0x04 .*actions=all"):
        demonstrations([movie], actions="simple", integration=str(by_score))
