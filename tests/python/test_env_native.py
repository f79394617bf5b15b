"""The environments' native step: rules judged in the workers, asynchronous stepping,
stacked frames, lives, clipped rewards, action names and the autoreset modes."""

from __future__ import annotations

import sys

import numpy as np
import pytest

from conftest import run_ok

gym = pytest.importorskip("gymnasium")
velkora_gym = pytest.importorskip("velkora_gym")
from gymnasium.vector import AutoresetMode  # noqa: E402

from velkora_gym import integration  # noqa: E402
from velkora_gym.envs import DEMO_INTEGRATION, VelkoraEnv, VelkoraVectorEnv, demo, demo_vector  # noqa: E402

SMALL = {"obs_type": "grayscale", "screen_size": 42}


def random_actions(seed: int, steps: int, envs: int, size: int = 7) -> np.ndarray:
    return np.random.default_rng(seed).integers(0, size, (steps, envs))


def python_rules():
    """The demo integration's reward and end, judged in Python through callables."""
    rules = integration.load(DEMO_INTEGRATION)

    def wrap(values):
        return {name: np.array([value]) for name, value in values.items()}

    def reward_fn(previous, current):
        return float(rules.reward(wrap(previous), wrap(current))[0])

    def terminated_fn(current):
        return bool(rules.terminated(wrap(current), wrap(current))[0])

    return {"reward_fn": reward_fn, "terminated_fn": terminated_fn}


@pytest.mark.parametrize("mode", [AutoresetMode.NEXT_STEP, AutoresetMode.SAME_STEP])
def test_native_judging_matches_python_judging(mode):
    # Random play on the demo loses lives and ends games within these steps.
    native = demo_vector(3, autoreset_mode=mode, **SMALL)
    python = demo_vector(3, autoreset_mode=mode, **SMALL, **python_rules())
    assert not native._setup.game.python_judges and python._setup.game.python_judges
    results = [env.reset(seed=7) for env in (native, python)]
    assert np.array_equal(results[0][0], results[1][0])
    ends = 0
    for actions in random_actions(3, 700, 3):
        a, b = native.step(actions), python.step(actions)
        for x, y in zip(a[:4], b[:4]):
            assert np.array_equal(x, y)
        assert np.array_equal(a[4]["score"], b[4]["score"])
        if mode == AutoresetMode.SAME_STEP and "final_obs" in a[4]:
            assert np.array_equal(a[4]["_final_obs"], b[4]["_final_obs"])
            for x, y in zip(a[4]["final_obs"], b[4]["final_obs"]):
                assert (x is None and y is None) or np.array_equal(x, y)
        ends += int(a[2].sum())
    assert ends >= 2


def run_async(env: VelkoraVectorEnv, plan: np.ndarray, steps: int) -> dict[int, list]:
    """Each environment's first `steps` results under plan[step, env], sent and received
    in batches; every received environment is sent its next step at once."""
    count = plan.shape[1]
    done = [0] * count
    seen: dict[int, list] = {i: [] for i in range(count)}
    env.send(plan[0], np.arange(count))
    while min(done) < steps:
        obs, rewards, terminated, truncated, info = env.recv()
        assert len(info["env_id"]) == env.batch_size
        ids = [int(i) for i in info["env_id"]]
        for k, i in enumerate(ids):
            seen[i].append((obs[k].copy(), rewards[k], terminated[k], truncated[k], info["episode_frame_number"][k]))
            done[i] += 1
        env.send(plan[[done[i] for i in ids], ids], ids)
    return seen


@pytest.mark.parametrize("batch_size", [1, 3])
def test_async_recv_returns_each_environments_steps_in_order_and_loses_none(batch_size):
    count, steps = 6, 40
    plan = random_actions(5, 3 * steps, count)
    asynchronous = demo_vector(count, batch_size=batch_size, threads=2, **SMALL)
    synchronous = demo_vector(count, **SMALL)
    for env in (asynchronous, synchronous):
        env.reset(seed=11)
    seen = run_async(asynchronous, plan, steps)
    for step in range(steps):
        obs, rewards, terminated, truncated, info = synchronous.step(plan[step])
        for i in range(count):
            got = seen[i][step]
            assert np.array_equal(got[0], obs[i]) and got[1] == rewards[i]
            assert (got[2], got[3], got[4]) == (terminated[i], truncated[i], info["episode_frame_number"][i])


def test_async_misuse_is_refused():
    env = demo_vector(4, batch_size=2, **SMALL)
    with pytest.raises(gym.error.ResetNeeded):
        env.send(np.zeros(4, int))
    env.reset(seed=0)
    env.send(np.zeros(2, int), [0, 1])
    with pytest.raises(ValueError, match="not been received"):
        env.send(np.zeros(1, int), [1])
    with pytest.raises(ValueError, match="indices"):
        env.send(np.zeros(1, int), [9])
    with pytest.raises(RuntimeError, match="receive"):
        env.reset()
    env.recv()
    with pytest.raises(ValueError, match="waiting for 2"):
        env.recv()
    with pytest.raises(ValueError, match="batch_size"):
        demo_vector(2, batch_size=3)


@pytest.mark.parametrize("obs_type, shape", [("grayscale", (42, 42, 4)), ("rgb", (42, 42, 12))])
def test_frame_stack_keeps_the_last_observations_oldest_first(obs_type, shape):
    stacked = demo(obs_type=obs_type, screen_size=42, frame_stack=4, repeat_action_probability=0.0)
    single = demo(obs_type=obs_type, screen_size=42, channel_axis=True, repeat_action_probability=0.0)
    channels = 3 if obs_type == "rgb" else 1
    first, _ = stacked.reset(seed=3)
    alone, _ = single.reset(seed=3)
    assert stacked.observation_space.shape == first.shape == shape
    assert not first[..., :-channels].any() and np.array_equal(first[..., -channels:], alone)
    history = [alone]
    for action in random_actions(1, 12, 1)[:, 0]:
        obs = stacked.step(action)[0]
        history.append(single.step(action)[0])
        expected = np.concatenate([np.zeros_like(alone)] * max(0, 4 - len(history)) + history[-4:], axis=-1)
        assert np.array_equal(obs, expected)


def test_channel_axis_and_stack_refusals():
    assert demo(obs_type="grayscale", channel_axis=True).observation_space.shape == (240, 256, 1)
    assert demo(obs_type="rgb", channel_axis=True).observation_space.shape == (240, 256, 3)
    for bad in ({"frame_stack": 0}, {"frame_stack": 65}, {"frame_stack": True}, {"obs_type": "ram", "frame_stack": 2}):
        with pytest.raises(ValueError):
            demo(**bad)


def lose_a_life(env: VelkoraEnv, seed: int):
    """Steps with random actions of `seed` until the episode ends; returns the last step."""
    for action in random_actions(seed, 3000, 1)[:, 0]:
        result = env.step(action)
        if result[2] or result[3]:
            return result
    raise AssertionError("no episode end in 3000 steps")


def test_episodic_life_ends_an_episode_per_life_and_the_game_goes_on():
    env = demo(episodic_life=True, **SMALL)
    env.reset(seed=2)
    _, _, terminated, _, info = lose_a_life(env, 2)
    assert terminated and info["lives"] == 2 and info["game_over"] == 0
    frames = info["episode_frame_number"]
    _, after = env.reset()
    # The game went on: one idle step later, the same game, the same lives.
    assert after["lives"] == 2 and after["episode_frame_number"] == frames + 4
    lives = [2]
    while True:
        _, _, terminated, _, info = lose_a_life(env, 9)
        lives.append(info["lives"])
        if info["game_over"]:
            break
        env.reset()
    assert lives == [2, 1, 0]
    _, fresh = env.reset()
    assert fresh["lives"] == 3 and fresh["episode_frame_number"] == 0  # a new game from power-on
    with pytest.raises(ValueError, match="lives"):
        VelkoraEnv(velkora_gym.envs.DEMO_ROM, episodic_life=True)
    with pytest.raises(ValueError, match="names no variable"):
        demo(lives="hearts")


def test_reward_clipping_keeps_only_the_sign():
    clipped, plain = demo(reward_clipping=True, **SMALL), demo(**SMALL, **python_rules())
    clipped_python = demo(reward_clipping=True, **SMALL, **python_rules())
    for env in (clipped, plain, clipped_python):
        env.reset(seed=4)
    signs = set()
    for action in random_actions(4, 400, 1)[:, 0]:
        a, b, c = clipped.step(action)[1], plain.step(action)[1], clipped_python.step(action)[1]
        assert a == c == np.sign(b)
        signs.add(a)
    assert 1.0 in signs


def test_action_meanings_and_recording_rate():
    env = demo(frameskip=3)
    assert env.get_action_meanings() == ["NOOP", "UP", "DOWN", "LEFT", "RIGHT", "A", "B"]
    assert env.metadata["render_fps"] == pytest.approx(60.1 / 3)
    assert demo(frameskip=(2, 5)).metadata["render_fps"] == 60.1
    complex_ = demo(actions="complex").get_action_meanings()
    assert complex_[0] == "NOOP" and "UP+RIGHT+A" in complex_ and len(set(complex_)) == 36
    assert demo(actions=[["right", "A"], ["START"]]).get_action_meanings() == ["RIGHT+A", "START"]
    assert demo_vector(2, frameskip=2).get_action_meanings()[4] == "RIGHT"


def test_pressed_masks_follow_the_sticky_frames():
    env = demo(repeat_action_probability=0.5, frameskip=6)
    env.reset(seed=1)
    assert list(env.pressed()) == [0] * 8  # the demo's start frames
    previous = 0
    switches = 0
    for action in (4, 3, 4, 5, 6, 1):
        env.step(action)
        masks = list(env.pressed())
        target = [0, 0x10, 0x20, 0x40, 0x80, 0x01, 0x02][action]
        # The old buttons, then the new ones for the rest of the step.
        cut = masks.index(target) if target in masks else len(masks)
        assert masks == [previous] * cut + [target] * (len(masks) - cut) and len(masks) == 6
        switches += cut > 0
        previous = masks[-1]
    assert switches > 0


def test_same_step_autoreset_puts_the_end_in_the_info():
    env = demo_vector(2, autoreset_mode=AutoresetMode.SAME_STEP, **SMALL)
    assert env.metadata["autoreset_mode"] == AutoresetMode.SAME_STEP
    env.reset(seed=6)
    for actions in random_actions(6, 3000, 2):
        obs, _, terminated, truncated, info = env.step(actions)
        if terminated.any():
            break
    else:
        raise AssertionError("no episode ended")
    ended = terminated | truncated
    assert np.array_equal(info["_final_obs"], ended)
    for i in np.flatnonzero(ended):
        assert info["final_obs"][i].shape == obs[i].shape and not np.array_equal(info["final_obs"][i], obs[i])
        assert info["final_info"]["game_over"][i] == 1 and info["game_over"][i] == 0
        assert info["episode_frame_number"][i] == 0


@pytest.mark.parametrize("obs_type", ["ram", "ram+prg"])
@pytest.mark.parametrize("batch_size", [None, 1])
def test_same_step_autoreset_of_memory_observations_keeps_the_memory_at_the_end(obs_type, batch_size):
    options = {"obs_type": obs_type, "max_episode_frames": 60, "noop_max": 20}
    vector = demo_vector(2, autoreset_mode=AutoresetMode.SAME_STEP, batch_size=batch_size, **options)
    singles = [demo(**options) for _ in range(2)]
    obs, _ = vector.reset(seed=3)
    assert np.array_equal(obs, [env.reset(seed=3 + i)[0] for i, env in enumerate(singles)])
    ends = 0
    for actions in random_actions(4, 40, 2):
        if batch_size is None:
            results = [(list(range(2)), vector.step(actions))]
        else:
            # Each environment arrives on its own, whichever finishes first.
            vector.send(actions)
            results = []
            for _ in range(2):
                got = vector.recv()
                results.append((list(got[4]["env_id"]), got))
        for ids, (obs, rewards, terminated, truncated, info) in results:
            for k, i in enumerate(ids):
                expected, reward, ended, cut, single_info = singles[i].step(actions[i])
                assert (reward, ended, cut) == (rewards[k], terminated[k], truncated[k])
                if ended or cut:
                    ends += 1
                    assert np.array_equal(info["final_obs"][k], expected)
                    final = info["final_info"]
                    assert (final["score"][k], final["episode_frame_number"][k], final["lives"][k]) == (
                        single_info["score"],
                        single_info["episode_frame_number"],
                        single_info["lives"],
                    )
                    expected, _ = singles[i].reset()
                assert np.array_equal(obs[k], expected)
    assert ends >= 2


@pytest.mark.parametrize("judging", ["native", "python"])
def test_same_step_final_info_reads_callable_variables_from_the_memory_at_the_end(judging):
    def read(ram):
        return {"ram_sum": int(ram.sum()), "ram_0": int(ram[0])}

    options = {**SMALL, "max_episode_frames": 60, "noop_max": 20, "variables": read}
    options.update(python_rules() if judging == "python" else {})
    vector = demo_vector(2, autoreset_mode=AutoresetMode.SAME_STEP, **options)
    singles = [demo(**options) for _ in range(2)]
    vector.reset(seed=5)
    for i, env in enumerate(singles):
        env.reset(seed=5 + i)
    ends = 0
    for actions in random_actions(6, 40, 2):
        info = vector.step(actions)[4]
        for i, env in enumerate(singles):
            _, _, ended, cut, single_info = env.step(actions[i])
            if ended or cut:
                ends += 1
                final = info["final_info"]
                assert {name: final[name][i] for name in single_info} == single_info
                env.reset()
    assert ends >= 2


def test_disabled_autoreset_resets_chosen_environments():
    env = demo_vector(3, autoreset_mode=AutoresetMode.DISABLED, **SMALL)
    env.reset(seed=1)
    for _ in range(5):
        env.step(np.array([4, 4, 4]))
    _, info = env.reset(options={"reset_mask": np.array([False, True, False])})
    assert info["episode_frame_number"].tolist() == [20, 0, 20]
    with pytest.raises(ValueError, match="reset_mask"):
        env.reset(options={"reset_mask": np.array([1, 0, 0])})


def test_checker_passes_without_pygame():
    code = (
        "import sys; sys.modules['pygame'] = None\n"
        "import warnings, gymnasium as gym, velkora_gym\n"
        "from gymnasium.utils.env_checker import check_env\n"
        "env = gym.make('velkora/Demo-v0')\n"
        "assert env.unwrapped.metadata['render_modes'] == ['rgb_array']\n"
        "check_env(env.unwrapped)\n"
    )
    run_ok([sys.executable, "-c", code])
