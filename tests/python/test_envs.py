"""The Gymnasium environments: Gymnasium's checker, seeds, the vector environment, integrations."""

from __future__ import annotations

import warnings

import numpy as np
import pytest

import golden
from conftest import write_integration

gym = pytest.importorskip("gymnasium")
velkora_gym = pytest.importorskip("velkora_gym")
from gymnasium.error import ResetNeeded  # noqa: E402
from gymnasium.utils.env_checker import check_env  # noqa: E402

from velkora_gym import actions, integration  # noqa: E402
from velkora_gym.envs import VelkoraEnv, VelkoraVectorEnv  # noqa: E402

IMAGE = golden.own_cartridges()["velkora-demo.nes"]
# The demo's NMI counter at $0000: an episode ends when it reaches 120 (two seconds).
COUNTER = {"nmi": {"address": 0, "type": "|u1"}}


@pytest.fixture
def counter_integration(tmp_path):
    return write_integration(
        tmp_path / "counter",
        {"info": {"nmi": {"address": 0, "type": "|u1"}, "x": {"address": 0x0300, "type": "<u2"}}},
        {
            "reward": {"variables": {"nmi": {"reward": 0.5}}},
            "done": {"variables": {"nmi": {"op": "greater-or-equal", "reference": 120}}},
        },
    )


pytestmark = pytest.mark.usefixtures("headless")


@pytest.mark.parametrize("obs_type, screen_size", [("rgb", None), ("grayscale", 84), ("ram", None)])
@pytest.mark.parametrize("with_integration", [False, True])
def test_gymnasium_checker_passes_without_warnings(obs_type, screen_size, with_integration, counter_integration):
    options = {"integration": str(counter_integration)} if with_integration else {}
    env = gym.make(
        "velkora/NES-v0", rom=IMAGE, obs_type=obs_type, screen_size=screen_size, render_mode="rgb_array", **options
    )
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        check_env(env.unwrapped)
    assert env.unwrapped.metadata["render_fps"] == 60.1 / 4  # pictures a step at the default frame skip
    env.reset(seed=0)
    frame = env.render()
    assert frame.shape == (240, 256, 3) and frame.dtype == np.uint8


def run(env, seed: int, steps: int, action_seed: int = 0):
    """Observations, rewards and ends of a seeded episode with fixed random actions."""
    picks = np.random.default_rng(action_seed).integers(0, env.action_space.n, steps)
    obs, _ = env.reset(seed=seed)
    seen = [obs.tobytes()]
    for action in picks:
        obs, reward, terminated, truncated, info = env.step(int(action))
        seen.append((obs.tobytes(), reward, terminated, truncated, info["nmi"], info["episode_frame_number"]))
        if terminated or truncated:
            obs, _ = env.reset()
            seen.append(obs.tobytes())
    return seen


RANDOM = {
    "frameskip": (2, 6),
    "repeat_action_probability": 0.25,
    "noop_max": 30,
    "obs_type": "grayscale",
    "screen_size": 42,
    "variables": COUNTER,
    "terminated_fn": lambda v: v["nmi"] >= 120,
}


def test_same_seed_and_actions_give_the_same_episode():
    env = VelkoraEnv(IMAGE, **RANDOM)
    first, again, other = run(env, 7, 120), run(env, 7, 120), run(env, 8, 120)
    assert first == again
    assert first != other
    assert any(step[2] for step in first[1:] if isinstance(step, tuple))  # an episode ended


def test_vector_env_matches_single_envs_seed_for_seed():
    n, steps = 3, 90
    vector = VelkoraVectorEnv(IMAGE, n, threads=2, **RANDOM)
    singles = [VelkoraEnv(IMAGE, **RANDOM) for _ in range(n)]
    assert vector.metadata["autoreset_mode"] == gym.vector.AutoresetMode.NEXT_STEP
    picks = np.random.default_rng(1).integers(0, vector.single_action_space.n, (steps, n))
    obs, info = vector.reset(seed=40)
    single_obs = [env.reset(seed=40 + i)[0] for i, env in enumerate(singles)]
    assert np.array_equal(obs, np.stack(single_obs))
    ended = np.zeros(n, bool)
    for actions_now in picks:
        obs, rewards, terminated, truncated, info = vector.step(actions_now)
        for i, env in enumerate(singles):
            if ended[i]:  # next-step autoreset
                expected, _ = env.reset()
                assert rewards[i] == 0 and not terminated[i]
            else:
                expected, reward, term, trunc, single_info = env.step(int(actions_now[i]))
                assert (rewards[i], terminated[i], truncated[i]) == (reward, term, trunc)
                assert info["nmi"][i] == single_info["nmi"]
            assert np.array_equal(obs[i], expected)
        ended = terminated | truncated
    assert info["_nmi"].all()


def test_make_vec_async_agrees_with_the_vector_env(counter_integration):
    options = dict(
        rom=IMAGE,
        obs_type="grayscale",
        screen_size=84,
        integration=str(counter_integration),
        frameskip=(3, 6),
        noop_max=10,
    )
    native = gym.make_vec("velkora/NES-v0", num_envs=2, **options)
    assert isinstance(native.unwrapped, VelkoraVectorEnv)
    # Spawned, not forked: this process already runs worker threads.
    subprocesses = gym.make_vec(
        "velkora/NES-v0", num_envs=2, vectorization_mode="async", vector_kwargs={"context": "spawn"}, **options
    )
    try:
        a, _ = native.reset(seed=5)
        b, _ = subprocesses.reset(seed=5)
        assert np.array_equal(a, b)
        picks = np.random.default_rng(3).integers(0, 7, (60, 2))
        for step in picks:
            a, ra, ta, ua, _ = native.step(step)
            b, rb, tb, ub, _ = subprocesses.step(step)
            assert np.array_equal(a, b) and np.array_equal(ra, rb)
            assert np.array_equal(ta, tb) and np.array_equal(ua, ub)
        assert ra.dtype == rb.dtype
    finally:
        native.close()
        subprocesses.close()


@pytest.mark.parametrize("picture", [True, False])
def test_start_state_and_cloned_states_replay_exactly(tmp_path, picture):
    options = dict(obs_type="rgb", repeat_action_probability=0.0, variables=COUNTER)
    env = VelkoraEnv(IMAGE, **options)
    env.reset(seed=0)
    for _ in range(30):
        env.step(4)
    state = env.clone_state(picture=picture)
    script = (3, 3, 5, 1, 2)

    def same(a, b):
        return all(np.array_equal(x[0], y[0]) and x[1:4] == y[1:4] and x[4]["nmi"] == y[4]["nmi"] for x, y in zip(a, b))

    later = [env.step(a) for a in script]
    env.restore_state(state)
    assert same([env.step(a) for a in script], later)
    path = tmp_path / "state.bin"
    path.write_bytes(state)
    for start in (state, str(path)):
        started = VelkoraEnv(IMAGE, start_state=start, **options)
        started.reset(seed=1)
        assert same([started.step(a) for a in script], later)


@pytest.mark.parametrize("name, size", [("simple", 7), ("complex", 36), ("all", 144)])
def test_named_action_sets(name, size):
    masks = actions.action_masks(name)
    assert len(masks) == size and masks[0] == 0 and len(set(masks.tolist())) == size
    up, down, left, right = 0x10, 0x20, 0x40, 0x80
    assert not any((m & up and m & down) or (m & left and m & right) for m in masks.tolist())


def test_custom_and_multibinary_actions():
    env = VelkoraEnv(IMAGE, actions=[[], ["RIGHT"], ["right", "a"]], obs_type="ram")
    assert env.action_space == gym.spaces.Discrete(3)
    assert actions.action_masks([[], ["RIGHT"], ["right", "a"]]).tolist() == [0, 0x80, 0x81]
    with pytest.raises(ValueError, match="unknown button"):
        VelkoraEnv(IMAGE, actions=[["jump"]])
    binary = VelkoraEnv(IMAGE, actions="multibinary", obs_type="ram")
    assert binary.action_space == gym.spaces.MultiBinary(8)
    binary.reset(seed=0)
    binary.step(np.array([1, 0, 0, 0, 0, 0, 0, 1], np.int8))
    with pytest.raises(ValueError):
        binary.step(np.array([2, 0, 0, 0, 0, 0, 0, 0]))


def test_bad_actions_and_step_before_reset():
    env = VelkoraEnv(IMAGE, obs_type="ram")
    with pytest.raises(ResetNeeded):
        env.step(0)
    env.reset(seed=0)
    for action in (7, -1, 1.5, "up", True, np.array([1, 2])):
        with pytest.raises(ValueError):
            env.step(action)
    vector = VelkoraVectorEnv(IMAGE, 2, obs_type="ram")
    with pytest.raises(ResetNeeded):
        vector.step(np.zeros(2, int))
    vector.reset(seed=0)
    with pytest.raises(ValueError):
        vector.step(np.array([0, 9]))


@pytest.mark.parametrize(
    "options",
    [
        {"obs_type": "depth"},
        {"frameskip": 0},
        {"frameskip": (4, 2)},
        {"repeat_action_probability": 1.5},
        {"noop_max": -1},
        {"actions": "none"},
        {"actions": []},
        {"render_mode": "ascii"},
        {"obs_type": "ram", "screen_size": 84},
        {"max_episode_frames": 0},
        {"screen_size": (84,)},
    ],
)
def test_bad_options(options):
    with pytest.raises(ValueError):
        VelkoraEnv(IMAGE, **options)


def test_the_documented_options_are_the_checked_ones():
    import inspect

    from velkora_gym.envs.core import _Setup

    checked = set(inspect.signature(_Setup).parameters) - {"rom"}
    assert set(velkora_gym.EnvOptions.__annotations__) == checked
    for name in checked:
        assert f"{name}:" in velkora_gym.EnvOptions.__doc__, name
    for make in (VelkoraEnv, lambda *a, **o: VelkoraVectorEnv(*a, num_envs=2, **o)):
        with pytest.raises(TypeError, match="'frame_skip'; did you mean 'frameskip'"):
            make(IMAGE, frame_skip=4)


BAD_FILES = [
    ("bad JSON", "{info:", None, "data.json", "not valid JSON"),
    ("type letter", {"info": {"score": {"address": 16, "type": "<x2"}}}, None, "data.json", "info.score.type"),
    ("byte count", {"info": {"score": {"address": 16, "type": "<u5"}}}, None, "data.json", "info.score.type"),
    ("one byte, two", {"info": {"score": {"address": 16, "type": "|u2"}}}, None, "data.json", "info.score.type"),
    ("address", {"info": {"score": {"address": 0x0900, "type": "|u1"}}}, None, "data.json", "info.score.address"),
    (
        "across RAM's end",
        {"info": {"score": {"address": 0x07FF, "type": "<u2"}}},
        None,
        "data.json",
        "info.score.address",
    ),
    ("missing type", {"info": {"score": {"address": 16}}}, None, "data.json", "info.score.type"),
    (
        "unknown key",
        {"info": {"score": {"address": 16, "type": "|u1", "scale": 2}}},
        None,
        "data.json",
        "info.score.scale",
    ),
    (
        "op",
        None,
        {"done": {"variables": {"score": {"op": "bigger", "reference": 3}}}},
        "scenario.json",
        "done.variables.score.op",
    ),
    ("condition", None, {"done": {"condition": "some", "variables": {}}}, "scenario.json", "done.condition"),
    (
        "measurement",
        None,
        {"done": {"variables": {"score": {"op": "zero", "measurement": "rate"}}}},
        "scenario.json",
        "done.variables.score.measurement",
    ),
    (
        "unknown variable",
        None,
        {"reward": {"variables": {"lives": {"reward": 1}}}},
        "scenario.json",
        "reward.variables.lives",
    ),
    (
        "reward type",
        None,
        {"reward": {"variables": {"score": {"reward": "1"}}}},
        "scenario.json",
        "reward.variables.score.reward",
    ),
    ("top level", None, {"rewards": {}}, "scenario.json", "rewards"),
]


@pytest.mark.parametrize("case, data, scenario, file, key", BAD_FILES, ids=[c[0] for c in BAD_FILES])
def test_malformed_integrations_name_the_file_and_key(tmp_path, case, data, scenario, file, key):
    good_data = {"info": {"score": {"address": 16, "type": "|u1"}}}
    folder = write_integration(
        tmp_path / "game", data if data is not None else good_data, scenario if scenario is not None else {}
    )
    with pytest.raises(ValueError) as refused:
        VelkoraEnv(IMAGE, integration=str(folder))
    assert file in str(refused.value) and key in str(refused.value), refused.value


@pytest.mark.parametrize(
    "kind, raw, value",
    [
        ("<u2", [0x34, 0x12], 0x1234),
        (">u2", [0x12, 0x34], 0x1234),
        ("<i2", [0xFE, 0xFF], -2),
        ("|i1", [0x80], -128),
        (">d3", [0x01, 0x23, 0x45], 12345),
        ("<d2", [0x45, 0x23], 2345),
        (">n4", [1, 2, 3, 4], 1234),
        ("<n3", [7, 0, 5], 507),
        ("=u1", [200], 200),
        (">u4", [1, 0, 0, 0], 1 << 24),
    ],
)
def test_variable_types_decode(kind, raw, value):
    variable = integration.parse_variable("v", {"address": 0x0100, "type": kind}, "test")
    ram = np.zeros((2, 2048), np.uint8)
    ram[1, 0x100 : 0x100 + len(raw)] = raw
    assert variable.read(ram, None).tolist() == [0, value]
    prg = integration.parse_variable("p", {"address": 0x7FFE, "type": "<u2"}, "test")
    banks = np.zeros((1, 8192), np.uint8)
    banks[0, -2:] = [1, 2]
    assert prg.read(np.zeros((1, 2048), np.uint8), banks).tolist() == [0x0201]


def test_rewards_and_ends_follow_the_scenario(tmp_path):
    folder = write_integration(
        tmp_path / "rules",
        {"info": {"score": {"address": 1, "type": "|u1"}, "lives": {"address": 2, "type": "|u1"}}},
        {
            "reward": {"variables": {"score": {"reward": 2.0}, "lives": {"reward": 0.0, "penalty": 10.0}}},
            "done": {
                "condition": "all",
                "variables": {
                    "lives": {"op": "less-than", "reference": 2},
                    "score": {"op": "positive", "measurement": "delta"},
                },
            },
        },
    )
    rules = integration.load(folder)
    before = {"score": np.array([5, 5, 5]), "lives": np.array([3, 3, 2])}
    after = {"score": np.array([7, 5, 6]), "lives": np.array([3, 2, 1])}
    assert rules.reward(before, after).tolist() == [4.0, -10.0, 2.0 - 10.0]
    assert rules.terminated(before, after).tolist() == [False, False, True]


def test_human_render_opens_a_window_only_when_asked():
    pygame = pytest.importorskip("pygame")
    quiet = VelkoraEnv(IMAGE, obs_type="ram", render_mode="rgb_array")
    quiet.reset(seed=0)
    quiet.step(0)
    assert not pygame.display.get_init()
    shown = VelkoraEnv(IMAGE, obs_type="ram", render_mode="human", frameskip=1)
    shown.reset(seed=0)
    shown.step(0)
    assert pygame.display.get_surface().get_size() == (768, 720)
    shown.close()


def test_demo_game_environment():
    env = gym.make("velkora/Demo-v0", obs_type="grayscale", screen_size=84)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        check_env(env.unwrapped)
    vector = gym.make_vec("velkora/Demo-v0", num_envs=2)
    assert isinstance(vector.unwrapped, VelkoraVectorEnv)
    vector.close()
    # Random play: points for orbs, and the game-over screen ends the episode.
    obs, info = env.reset(seed=3)
    assert (info["score"], info["lives"], info["game_over"]) == (0, 3, 0)
    total, steps = 0.0, 0
    picks = np.random.default_rng(3).integers(0, env.action_space.n, 5000)
    terminated = False
    while not terminated:
        obs, reward, terminated, truncated, info = env.step(int(picks[steps]))
        total += reward
        steps += 1
    assert info["game_over"] == 1 and info["lives"] == 0
    assert total == info["score"] > 0
