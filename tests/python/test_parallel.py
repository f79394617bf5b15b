"""Two players: the two-player demo cartridge, per-player integrations and the PettingZoo
environment on the batch."""

from __future__ import annotations

import hashlib

import numpy as np
import pytest

import nesrom
import velkora
from conftest import REPO, load_script, write_integration
from velkora_gym import integration
from velkora_gym.batch import Batch

pytest.importorskip("pettingzoo")
from pettingzoo.test import parallel_api_test  # noqa: E402

from velkora_gym.envs.two_player import DEMO_2P_INTEGRATION, DEMO_2P_ROM, VelkoraParallelEnv  # noqa: E402

RIGHT, LEFT, UP, A = 0x80, 0x40, 0x10, 0x01
# The demo's RAM: robot x and y, and the second robot's.
ROBOT1_X, ROBOT2_X = 0x0A, 0x44


def builder():
    return load_script(REPO / "demo" / "build_demo.py")


@pytest.mark.parametrize(
    "two_players, packaged, folder",
    [
        (False, "velkora-demo.nes", "velkora-demo"),
        (True, "velkora-demo-2p.nes", "velkora-demo-2p"),
    ],
)
def test_both_cartridges_come_from_one_source_and_are_shipped(two_players, packaged, folder):
    image = builder().image(two_players)
    assert image == (DEMO_2P_ROM.parent / packaged).read_bytes()
    assert (integration.PACKAGE_INTEGRATIONS / folder / "rom.sha").read_text().split() == [
        hashlib.sha1(image).hexdigest()
    ]


def test_the_second_pad_steers_the_second_robot_and_scores_for_it():
    nes = velkora.NES(str(DEMO_2P_ROM))
    pads = [nesrom.plug_pad(nes, port) for port in (0, 1)]
    mem = nes.cpuMem()
    nesrom.run_frames(nes, 20)
    start = int(mem[ROBOT1_X]), int(mem[ROBOT2_X])
    pads[1].updateInputs([0, 0, 0, 0, 0, 0, 1, 0])  # player 2 holds Left
    nesrom.run_frames(nes, 10)
    assert (int(mem[ROBOT1_X]), int(mem[ROBOT2_X])) == (start[0], start[1] - 20)
    pads[1].updateInputs([0] * 8)
    pads[0].updateInputs([0, 0, 0, 0, 0, 0, 0, 1])  # player 1 holds Right
    nesrom.run_frames(nes, 10)
    assert (int(mem[ROBOT1_X]), int(mem[ROBOT2_X])) == (start[0] + 20, start[1] - 20)


def test_the_api_test_passes_on_the_demo_and_on_any_options():
    parallel_api_test(VelkoraParallelEnv(), num_cycles=600)
    parallel_api_test(
        VelkoraParallelEnv(
            obs_type="ram",
            frameskip=2,
            max_episode_frames=300,
            actions={"player_1": "multibinary", "player_2": [["A"], ["left", "B"]]},
        ),
        num_cycles=200,
    )


def test_each_player_is_paid_its_own_score_until_the_game_ends_for_both():
    env = VelkoraParallelEnv()
    observations, infos = env.reset(seed=3)
    assert env.observation_space("player_1").contains(observations["player_1"])
    totals = dict.fromkeys(env.possible_agents, 0.0)
    rng = np.random.default_rng(3)
    while env.agents:
        actions = {agent: int(rng.integers(0, 7)) for agent in env.agents}
        observations, rewards, terminated, truncated, infos = env.step(actions)
        for agent, reward in rewards.items():
            totals[agent] += reward
    assert terminated == {"player_1": True, "player_2": True} and not any(truncated.values())
    last = infos["player_1"]
    assert last["game_over"] == 1 and last["lives"] == 0
    assert totals == {"player_1": last["score_1"], "player_2": last["score_2"]}
    assert last["score_1"] != last["score_2"]  # so swapped ports would show
    with pytest.raises(RuntimeError, match="reset"):
        env.step({"player_1": 0, "player_2": 0})


def test_a_step_is_the_batch_running_both_ports_for_frameskip_frames():
    env = VelkoraParallelEnv(frameskip=3, actions="complex", start_frames=0)
    env.reset()
    batch = Batch(DEMO_2P_ROM, 1)
    masks = env._actions[0][1]
    rng = np.random.default_rng(5)
    for _ in range(40):
        one, two = rng.integers(0, len(masks), 2)
        observations, *_ = env.step({"player_1": one, "player_2": two})
        batch.step(np.array([masks[one]], np.uint8), 3, buttons2=np.array([masks[two]], np.uint8))
        assert np.array_equal(observations["player_2"], batch.observations[0])


@pytest.mark.parametrize(
    "options, shape",
    [
        ({}, (240, 256, 3)),
        ({"obs_type": "grayscale", "screen_size": 84}, (84, 84)),
        ({"obs_type": "ram"}, (2048,)),
    ],
)
def test_observation_types(options, shape):
    env = VelkoraParallelEnv(**options)
    observations, _ = env.reset()
    assert env.observation_space("player_2").shape == shape == observations["player_2"].shape


@pytest.mark.parametrize(
    "options, step, error, named",
    [
        ({}, {"player_1": 7}, ValueError, "player_1's action 7"),
        ({}, {"player_3": 0}, ValueError, "player_3"),
        ({"actions": "multibinary"}, {"player_2": [1, 0]}, ValueError, "eight 0/1"),
        ({"actions": {"player_9": "simple"}}, None, ValueError, "player_9"),
        ({"obs_type": "ram", "screen_size": 84}, None, ValueError, "screen_size"),
        ({"frameskip": 0}, None, ValueError, "frameskip"),
        ({"render_mode": "human"}, None, ValueError, "render_mode"),
    ],
)
def test_bad_options_and_actions_are_refused(options, step, error, named):
    if step is None:
        with pytest.raises(error, match=named):
            VelkoraParallelEnv(**options)
        return
    env = VelkoraParallelEnv(**options)
    env.reset()
    before = env.clone_state()
    with pytest.raises(error, match=named):
        env.step(step)
    assert env.clone_state() == before


def scenario_folder(tmp_path, scenario):
    info = {"a": {"address": 16, "type": "<u2"}, "b": {"address": 28, "type": "<u2"}}
    info["game_over"] = {"address": 19, "type": "|u1"}
    return write_integration(tmp_path / "two", {"info": info}, scenario)


def test_players_entries_give_rewards_and_actions_on_top_of_the_shared_ones(tmp_path):
    folder = scenario_folder(
        tmp_path,
        {
            "reward": {"variables": {"a": {"reward": 10.0}}},
            "actions": [[[], ["left"], ["right"]]],
            "players": [
                {},
                {
                    "reward": {"variables": {"b": {"reward": 2.0, "penalty": 0.5}}},
                    "actions": [[[], ["A"]], [[], ["up"]]],
                },
            ],
        },
    )
    game = integration.load(folder)
    previous = {"a": np.array([1]), "b": np.array([5]), "game_over": np.array([0])}
    current = {"a": np.array([2]), "b": np.array([3]), "game_over": np.array([0])}
    assert game.player_reward(0, previous, current).tolist() == [10.0]
    assert game.player_reward(1, previous, current).tolist() == [10.0 - 1.0]
    assert game.reward(previous, current).tolist() == [10.0]  # one-player environments: the shared part
    env = VelkoraParallelEnv(DEMO_2P_ROM, integration=folder)
    assert list(env.action_space("player_1").nvec) == [3]
    assert list(env.action_space("player_2").nvec) == [2, 2]


@pytest.mark.parametrize(
    "players, named",
    [
        ({"reward": {}}, "players: must be a list"),
        ([{}, {}, {}], "players: must be a list of one or two"),
        ([{"reward": {"script": "lua:f"}}], "players[0].reward.script: unknown key"),
        ([{}, {"reward": {"variables": {"c": {"reward": 1}}}}], "players[1].reward.variables.c: no such variable"),
        ([{"bonus": 1}], "players[0].bonus: unknown key"),
        ([{"actions": [[["jump"]]]}], "players[0].actions[0][0]"),
    ],
)
def test_malformed_players_are_named(tmp_path, players, named):
    folder = scenario_folder(tmp_path, {"players": players})
    with pytest.raises(integration.IntegrationError) as caught:
        integration.load(folder)
    assert named in str(caught.value) and "scenario.json" in str(caught.value)


def test_the_demo_folder_names_each_players_score():
    game = integration.load(DEMO_2P_INTEGRATION)
    assert [list(player.rewards) for player in game.players] == [["score_1"], ["score_2"]]
    assert not game.rewards
