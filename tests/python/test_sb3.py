"""The Stable-Baselines3 adapter against SB3 itself: its DummyVecEnv as the reference, its
wrappers, algorithms and checkers."""

from __future__ import annotations

import warnings

import numpy as np
import pytest

import golden
from nesrom import RESET_PROBE, build_rom

pytest.importorskip("gymnasium")
pytest.importorskip("stable_baselines3")
from stable_baselines3 import DQN, PPO  # noqa: E402
from stable_baselines3.common.env_checker import check_env  # noqa: E402
from stable_baselines3.common.monitor import Monitor  # noqa: E402
from stable_baselines3.common.vec_env import (  # noqa: E402
    DummyVecEnv,
    VecCheckNan,
    VecFrameStack,
    VecMonitor,
    VecTransposeImage,
)

from velkora_gym.envs import VelkoraEnv  # noqa: E402
from velkora_gym.train.sb3 import INFOS, VelkoraVecEnv, make  # noqa: E402

IMAGE = golden.own_cartridges()["velkora-demo.nes"]
# The demo's NMI counter at $0000 ends an episode at 120 frames; the frame limit of 100
# cuts the episodes that started with fewer no-ops first, so both ends happen.
NMI = {"address": 0, "type": "|u1"}
ENDS = {"max_episode_frames": 100}


def case_options(case, counter_integration):
    if case == "grayscale, judged in Python":
        return dict(
            obs_type="grayscale",
            screen_size=42,
            frameskip=(2, 6),
            noop_max=30,
            variables={"nmi": NMI},
            terminated_fn=lambda v: v["nmi"] >= 120,
            **ENDS,
        )
    return dict(
        obs_type="ram", actions="multibinary", frameskip=4, noop_max=40, integration=counter_integration, **ENDS
    )


def actions_for(space, steps: int, n: int, seed: int = 0) -> list[np.ndarray]:
    space.seed(seed)
    return [np.stack([space.sample() for _ in range(n)]) for _ in range(steps)]


@pytest.mark.parametrize("case", ["grayscale, judged in Python", "ram, judged natively"])
def test_each_environment_steps_as_dummy_vec_env_over_seeded_single_envs(case, counter_integration):
    options = case_options(case, counter_integration)
    n, steps = 3, 80
    reference = DummyVecEnv([lambda: VelkoraEnv(IMAGE, channel_axis=True, **options) for _ in range(n)])
    ours = {infos: VelkoraVecEnv(IMAGE, n, threads=2, infos=infos, **options) for infos in INFOS}
    seeds = reference.seed(21)
    for env in ours.values():
        assert env.seed(21) == seeds
        assert env.observation_space == reference.observation_space
    first = reference.reset()
    for infos, env in ours.items():
        assert np.array_equal(env.reset(), first)
        assert env.reset_infos == (reference.reset_infos if infos == "all" else [{}] * n)
    ends = {"terminated": 0, "truncated": 0}
    for actions in actions_for(reference.action_space, steps, n):
        ref_obs, ref_rewards, ref_dones, ref_infos = reference.step(actions)
        for theirs in ref_infos:
            if "terminal_observation" in theirs:
                ends["truncated" if theirs["TimeLimit.truncated"] else "terminated"] += 1
        for infos, env in ours.items():
            obs, rewards, dones, mine = env.step(actions)
            assert np.array_equal(obs, ref_obs)
            assert rewards.dtype == np.float32 and np.array_equal(rewards, ref_rewards)
            assert np.array_equal(dones, ref_dones)
            for row, theirs, done in zip(mine, ref_infos, ref_dones):
                expected = dict(theirs)
                if done:
                    assert np.array_equal(row.pop("terminal_observation"), expected.pop("terminal_observation"))
                    assert row == expected
                else:
                    # SB3 reads TimeLimit.truncated with .get(key, False).
                    assert expected.pop("TimeLimit.truncated") is False
                    assert row == ({} if infos == "ends" else expected)
            if infos == "all":
                assert env.reset_infos == reference.reset_infos
    assert min(ends.values()) > 0, ends


def test_sb3_wrappers_see_stacked_images_episode_returns_and_final_scores():
    # Games end, or are cut at 800 frames (200 steps).
    env = make("velkora/Demo-v0", num_envs=4, obs_type="grayscale", screen_size=84, threads=2, max_episode_frames=800)
    stacked = VecMonitor(VecTransposeImage(VecFrameStack(env, 4)), info_keywords=("score",))
    checked = VecCheckNan(stacked, raise_exception=True, check_inf=True)
    checked.seed(2)
    obs = checked.reset()
    assert obs.shape == (4, 4, 84, 84) and stacked.observation_space.shape == (4, 84, 84)
    running = np.zeros(4)
    episodes = []
    for actions in actions_for(env.action_space, 400, 4, seed=2):
        obs, rewards, dones, infos = checked.step(actions)
        assert stacked.observation_space.contains(obs[0])
        running += rewards
        for i in np.flatnonzero(dones):
            # The terminal frames went through the stack and the transpose too.
            assert infos[i]["terminal_observation"].shape == (4, 84, 84)
            episodes.append((infos[i]["episode"], running[i]))
            running[i] = 0
    assert episodes
    for logged, summed in episodes:
        # The demo rewards each point of its score, which starts at 0: the return is the final score.
        assert np.isclose(logged["r"], summed) and logged["score"] == summed


def test_native_frame_stack_equals_vec_frame_stack_terminal_frames_included():
    options = dict(obs_type="grayscale", screen_size=42, noop_max=30, max_episode_frames=100)
    native = make("velkora/Demo-v0", num_envs=3, threads=2, frame_stack=4, **options)
    wrapped = VecFrameStack(make("velkora/Demo-v0", num_envs=3, threads=2, **options), 4)
    assert native.observation_space == wrapped.observation_space
    native.seed(5)
    wrapped.seed(5)
    assert np.array_equal(native.reset(), wrapped.reset())
    ends = 0
    for actions in actions_for(native.action_space, 60, 3):
        obs, _, dones, infos = native.step(actions)
        ref_obs, _, ref_dones, ref_infos = wrapped.step(actions)
        assert np.array_equal(obs, ref_obs) and np.array_equal(dones, ref_dones)
        for i in np.flatnonzero(dones):
            ends += 1
            assert np.array_equal(infos[i]["terminal_observation"], ref_infos[i]["terminal_observation"])
    assert ends


@pytest.mark.parametrize("algorithm", [PPO, DQN])
def test_algorithms_learn_with_cnn_policy(algorithm):
    env = VecFrameStack(make("velkora/Demo-v0", num_envs=2, obs_type="grayscale", screen_size=84, threads=2), 4)
    extra = (
        {"n_steps": 64, "batch_size": 64, "n_epochs": 1}
        if algorithm is PPO
        else {"buffer_size": 500, "learning_starts": 64, "batch_size": 32, "train_freq": 4}
    )
    model = algorithm("CnnPolicy", env, seed=0, device="cpu", **extra)
    model.learn(256)
    assert model.num_timesteps >= 256
    actions, _ = model.predict(env.reset(), deterministic=True)
    assert actions.shape == (2,) and env.action_space.contains(int(actions[0]))


@pytest.mark.parametrize(
    "options",
    [{"obs_type": "rgb"}, {"obs_type": "ram"}, {"obs_type": "grayscale", "screen_size": 84, "channel_axis": True}],
    ids=["rgb", "ram", "grayscale"],
)
def test_sb3_env_checker_passes_on_a_single_env(options):
    env = VelkoraEnv(IMAGE, **options)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        check_env(env)


@pytest.mark.parametrize(
    "actions, meanings",
    [
        ("simple", ["NOOP", "UP", "DOWN", "LEFT", "RIGHT", "A", "B"]),
        (
            [[], ["right", "A"], ["B", "down", "left"], ["start", "select"]],
            ["NOOP", "RIGHT+A", "DOWN+LEFT+B", "SELECT+START"],
        ),
        ("multibinary", ["A", "B", "SELECT", "START", "UP", "DOWN", "LEFT", "RIGHT"]),
    ],
)
def test_action_meanings_through_get_attr_and_env_method(actions, meanings):
    env = VelkoraVecEnv(IMAGE, 2, actions=actions, obs_type="ram")
    assert env.env_method("get_action_meanings") == [meanings, meanings]
    assert env.get_attr("get_action_meanings", indices=1)[0]() == meanings
    assert VecFrameStack(env, 2).env_method("get_action_meanings", indices=[0]) == [meanings]


@pytest.mark.parametrize("frameskip, fps", [(4, 60.1 / 4), (1, 60.1), ((2, 5), 60.1)])
def test_metadata_attributes_and_wrapped_checks(frameskip, fps):
    env = make("velkora/Demo-v0", num_envs=3, obs_type="ram", frameskip=frameskip)
    assert env.get_attr("metadata")[2]["render_fps"] == pytest.approx(fps)
    assert env.get_attr("spec")[0].id == "velkora/Demo-v0"
    assert env.get_attr("render_mode") == [None] * 3
    assert env.get_attr("observation_space", [0])[0] == env.observation_space
    assert env.env_is_wrapped(Monitor) == [False] * 3
    assert env.has_attr("render_mode") and not env.has_attr("no_such_thing")
    env.set_attr("level", 5, indices=[1])
    assert env.get_attr("level", indices=1) == [5]
    with pytest.raises(AttributeError):
        env.get_attr("level", indices=0)
    with pytest.raises(AttributeError, match="fixed"):
        env.set_attr("render_mode", "rgb_array")
    with pytest.raises(IndexError):
        env.get_attr("render_mode", indices=[3])


def test_pictures_and_render():
    env = VelkoraVecEnv(IMAGE, 3, obs_type="grayscale", screen_size=84, render_mode="rgb_array")
    env.reset()
    pictures = env.get_images()
    assert len(pictures) == 3 and all(p.shape == (240, 256, 3) for p in pictures)
    assert env.render().shape == (2 * 240, 2 * 256, 3)  # tiled 2 x 2
    assert np.array_equal(env.env_method("render", indices=2)[0], pictures[2])
    blind = VelkoraVecEnv(IMAGE, 2, obs_type="ram")
    with pytest.warns(UserWarning, match="render_mode"):
        assert blind.get_images() == [None, None]


def test_bad_use_is_refused_clearly():
    env = VelkoraVecEnv(IMAGE, 2, obs_type="ram")
    with pytest.raises(RuntimeError, match="step_async"):
        env.step_wait()
    env.reset()
    with pytest.raises(ValueError, match="are not 2 of Discrete"):
        env.step(np.zeros(3, np.int64))
    with pytest.raises(ValueError, match="are not in Discrete"):
        env.step(np.array([0, 99]))
    env.step(np.array([0, 1]))  # a refused step changes nothing
    env.close()
    with pytest.raises(RuntimeError, match="closed"):
        env.step(np.array([0, 1]))
    with pytest.raises(ValueError, match="not a velkora environment"):
        make("CartPole-v1")
    with pytest.raises(ValueError, match="infos must be"):
        VelkoraVecEnv(IMAGE, 2, infos="some")
    with pytest.raises(TypeError, match="frameskip"):
        VelkoraVecEnv(IMAGE, 2, frame_skip=4)


def test_the_timing_option_reaches_the_consoles():
    env = VelkoraVecEnv(build_rom(RESET_PROBE), 2, obs_type="ram", frameskip=1, start_frames=2, timing="hardware")
    assert env.get_attr("timing") == ["hardware"] * 2
    # SP at the probe's reset handler: $FD after the hardware's power-on, $FF after the design's.
    assert env.reset()[:, 0x14].tolist() == [0xFD, 0xFD]
    with pytest.raises(AttributeError, match="fixed"):
        env.set_attr("timing", "design")
