"""RLlib on the native vector env: env runners, the module, PPO on Ray, two players, and
examples/train_rllib.py on a cluster of two nodes."""

from __future__ import annotations

import json
import re

import numpy as np
import pytest

from conftest import REPO, load_script, refuses_arguments

pytest.importorskip("gymnasium")
pytest.importorskip("torch")
pytest.importorskip("ray.rllib")
import ray  # noqa: E402
import torch  # noqa: E402
from gymnasium import spaces  # noqa: E402
from ray.rllib.algorithms.ppo import PPOConfig  # noqa: E402
from ray.rllib.algorithms.ppo.torch.default_ppo_torch_rl_module import DefaultPPOTorchRLModule  # noqa: E402
from ray.rllib.connectors.connector_v2 import ConnectorV2  # noqa: E402
from ray.rllib.core.columns import Columns  # noqa: E402
from ray.rllib.core.rl_module.rl_module import RLModuleSpec  # noqa: E402

from velkora_gym.envs import DEMO_ROM, VelkoraVectorEnv, demo  # noqa: E402
from velkora_gym.train.rllib import (  # noqa: E402
    VelkoraEnvRunner,
    VelkoraPPOTorchRLModule,
    configure,
    configure_two_player,
    fit_cpus,
    log_returns,
    model_config,
    returns_of,
)

# Small pictures and a small CNN: a training iteration in about a second.
OPTIONS = {"obs_type": "grayscale", "screen_size": 36, "frame_stack": 2, "noop_max": 30}
SMALL = {"conv_filters": [[8, 4, 2, "valid"], [16, 3, 2, "valid"]], "head_fcnet_hiddens": [32]}


def small_ppo(config, runners: int, rollout: int = 16):
    batch = runners * config.num_envs_per_env_runner * rollout
    return (
        config.env_runners(num_env_runners=runners, rollout_fragment_length=rollout)
        .training(train_batch_size_per_learner=batch, minibatch_size=batch, num_epochs=1)
        .debugging(seed=7)
    )


@pytest.mark.parametrize("actions", ["simple", "multibinary"])
def test_each_console_of_a_runner_has_its_own_seed_and_keeps_bytes_in_episodes(actions):
    """Runner 2 of 4 consoles seeded 5 holds consoles seeded 5 + 2 * 4 + i: each one's first
    episode replays exactly on a VelkoraEnv with that seed, no other."""
    options = {**OPTIONS, "actions": actions}
    config = configure(PPOConfig(), envs_per_runner=4, model=SMALL, **options)
    config = config.env_runners(num_env_runners=3).debugging(seed=5)
    runner = VelkoraEnvRunner(config=config, worker_index=2)
    try:
        assert isinstance(runner.env.unwrapped, VelkoraVectorEnv) and runner.num_envs == 4
        if actions == "multibinary":  # RLlib has no MultiBinary distribution
            assert runner.env.single_action_space == spaces.MultiDiscrete([2] * 8)
        episodes = runner.sample(num_timesteps=4 * 30, random_actions=True)
    finally:
        runner.stop()
    assert len(episodes) == 4 and all(len(e) == 30 for e in episodes)
    matched = []
    for episode in episodes:
        observations = episode.get_observations()
        assert observations.dtype == np.uint8 and observations.shape == (31, 36, 36, 2)
        infos = episode.get_infos()  # the game's variables where the episode began, no others
        assert {"score", "episode_frame_number"} <= set(infos[0]) and not any(infos[1:])
        hits = []
        for console in range(4):
            single = demo(channel_axis=True, **options)
            seen = [single.reset(seed=5 + 2 * 4 + console)[0]]
            seen += [single.step(action)[0] for action in episode.get_actions()]
            if np.array_equal(np.stack(seen), observations):
                hits.append(console)
        matched += hits
    assert sorted(matched) == [0, 1, 2, 3]


def sample_fragments(game, batched, random_actions, fragments, config_more=None, fail_at=None):
    """`fragments` samples of 16 steps a console from runner 1 of 4 consoles seeded 3, through
    the batched loop or RLlib's own; with `fail_at`, that vector step raises (once)."""
    config = configure(PPOConfig(), "velkora/NES-v0", envs_per_runner=4, model=SMALL, **game, **OPTIONS)
    config = config.env_runners(rollout_fragment_length=16).debugging(seed=3)
    config = config.fault_tolerance(restart_failed_sub_environments=True).callbacks(
        on_environment_created=lambda env_runner, **kwargs: env_runner.env.action_space.seed(11)
    )
    runner = VelkoraEnvRunner(config=(config_more or (lambda c: c))(config), worker_index=1)
    runner.batched = batched
    if fail_at is not None:
        step, count = runner.env.step, [0]

        def failing(actions):
            count[0] += 1
            if count[0] == fail_at:
                raise RuntimeError("a console failed")
            return step(actions)

        runner.env.step = failing  # the env made again after the failure steps as usual
    try:
        samples = [runner.sample(random_actions=random_actions) for _ in range(fragments)]
        return runner, samples, runner.get_metrics()
    finally:
        runner.stop()


def episode_record(episode, ids):
    """What an episode chunk holds, its id as the order in which ids were first seen."""
    columns = {
        name: (getattr(episode, name).data, getattr(episode, name).lookback)
        for name in ("observations", "actions", "rewards")
    }
    outputs = {name: (buffer.data, buffer.lookback) for name, buffer in episode.extra_model_outputs.items()}
    head = (
        ids.setdefault(episode.id_, len(ids)),
        episode.t_started,
        episode.t,
        episode.is_terminated,
        episode.is_truncated,
    )
    return head, columns, outputs, episode.infos.data


@pytest.mark.parametrize(
    "random_actions, fail_at",
    [(True, None), (False, None), (True, 21)],
    ids=["random", "policy", "step-fails"],
)
def test_the_batched_loop_gives_the_episodes_of_rllibs_own(counter_integration, random_actions, fail_at):
    """Episodes of about 30 steps sampled 16 at a time, ending and beginning at different
    steps on each console (random no-op starts): the same chunks, in the same order, with
    the same data, lookback and model outputs, the same metrics. A failed env step drops the
    episodes going on and resets, as RLlib does."""
    game = {"rom": str(DEMO_ROM), "integration": str(counter_integration)}
    runs = [sample_fragments(game, batched, random_actions, 7, fail_at=fail_at) for batched in (False, True)]
    assert runs[1][0].unbatched_reason is None
    ids: list[dict[str, int]] = [{}, {}]
    for inherited, batched in zip(runs[0][1], runs[1][1], strict=True):
        assert len(inherited) == len(batched)
        for a, b in zip(inherited, batched, strict=True):
            (head_a, columns_a, outputs_a, infos_a), (head_b, columns_b, outputs_b, infos_b) = (
                episode_record(a, ids[0]),
                episode_record(b, ids[1]),
            )
            assert head_a == head_b and infos_a == infos_b and set(outputs_a) == set(outputs_b)
            for name, (data, lookback) in {**columns_a, **outputs_a}.items():
                other, other_lookback = {**columns_b, **outputs_b}[name]
                assert lookback == other_lookback and data.dtype == other.dtype, name
                np.testing.assert_array_equal(data, other, err_msg=name)
    for name in ("num_episodes", "episode_return_mean", "episode_len_mean", "num_env_steps_sampled"):
        assert runs[0][2][name] == runs[1][2][name], name
    if fail_at is not None:
        assert runs[1][2]["num_env_step_failures"] == 1
        return
    # The cases the fragments went through: episodes of different lengths, a vector step
    # past the 64 steps where consoles began episodes, an episode ended by a fragment's last
    # step (its console returns no chunk of the next, empty yet).
    lengths = [len(episode) for fragment in runs[1][1] for episode in fragment]
    ends = [episode.t for fragment in runs[1][1] for episode in fragment if episode.is_done]
    assert len(set(ends)) > 2 and min(lengths) < 16 < max(lengths)
    assert any(len(fragment) < 4 + sum(episode.is_done for episode in fragment) for fragment in runs[1][1])


class CountCalls(ConnectorV2):
    calls = 0

    def __call__(self, *, batch, **kwargs):
        CountCalls.calls += 1
        return batch


@pytest.mark.parametrize(
    "config_more, reason",
    [
        (lambda c: c.env_runners(env_to_module_connector=lambda env, spaces, device: CountCalls()), "env-to-module"),
        (lambda c: c.env_runners(module_to_env_connector=lambda env, spaces: CountCalls()), "module-to-env"),
        (
            lambda c: c.callbacks(on_episode_step=lambda **kwargs: CountCalls.__call__(None, batch=None)),
            "on_episode_step",
        ),
    ],
    ids=["env-to-module", "module-to-env", "episode-callback"],
)
def test_a_pipeline_or_episode_callback_of_ones_own_runs_rllibs_loop(counter_integration, config_more, reason):
    """Seen every step, as RLlib's own loop calls it (the batched loop would call none or
    one a fragment)."""
    game = {"rom": str(DEMO_ROM), "integration": str(counter_integration)}
    CountCalls.calls = 0
    runner, samples, _ = sample_fragments(game, True, False, 1, config_more)
    assert reason in runner.unbatched_reason
    assert CountCalls.calls >= 16 and sum(len(episode) for episode in samples[0]) >= 64


def test_the_module_reads_bytes_as_fractions_and_leaves_the_batch_alone():
    space = spaces.Box(0, 255, (36, 36, 2), np.uint8)
    module = RLModuleSpec(
        module_class=VelkoraPPOTorchRLModule,
        observation_space=space,
        action_space=spaces.Discrete(7),
        model_config=model_config(space, **SMALL),
    ).build()
    raw = torch.from_numpy(np.random.default_rng(0).integers(0, 256, (5, 36, 36, 2), dtype=np.uint8))
    batch = {Columns.OBS: raw}
    fractions = {Columns.OBS: raw.float() / 255}
    with torch.no_grad():
        for method in ("_forward", "_forward_train"):
            got = getattr(module, method)(batch)[Columns.ACTION_DIST_INPUTS]
            want = getattr(DefaultPPOTorchRLModule, method)(module, fractions)[Columns.ACTION_DIST_INPUTS]
            torch.testing.assert_close(got, want)
        torch.testing.assert_close(
            module.compute_values(batch), DefaultPPOTorchRLModule.compute_values(module, fractions)
        )
    assert batch[Columns.OBS] is raw and raw.dtype == torch.uint8


@pytest.mark.parametrize(
    "shape, overrides, message",
    [
        ((30, 30, 4), {}, "too small for the Nature CNN"),
        ((84, 84), {}, "channel_axis=True"),
    ],
)
def test_model_config_refuses_what_the_default_models_cannot_read(shape, overrides, message):
    with pytest.raises(ValueError, match=message):
        model_config(spaces.Box(0, 255, shape, np.uint8), **overrides)
    assert model_config(spaces.Box(0, 255, (30, 30, 4), np.uint8), **SMALL)["conv_filters"] == SMALL["conv_filters"]


@pytest.mark.parametrize(
    "options, error",
    [
        ({"framskip": 4}, TypeError),
        ({"obs_type": "grayscale", "channel_axis": False, "screen_size": 84}, ValueError),
    ],
)
def test_configure_checks_the_options_before_any_actor_starts(options, error):
    with pytest.raises(error):
        configure(PPOConfig(), **options)


@pytest.mark.parametrize(
    "logged, expected", [(None, []), (float("nan"), []), (3.0, [3.0]), ([1.0, 0.0, 2.0], [1.0, 0.0, 2.0])]
)
def test_returns_of_reads_each_form_rllib_gives(logged, expected):
    result = {"env_runners": {} if logged is None else {"episode_returns": logged}}
    assert returns_of(result) == expected


@pytest.mark.parametrize("cpus, runners, evaluation, expected", [(2, 2, 0, 1.0), (2, 4, 0, 0.5), (2, 3, 1, 0.5)])
def test_fit_cpus_shares_the_cores_among_the_actors(cpus, runners, evaluation, expected):
    config = PPOConfig().env_runners(num_env_runners=runners).evaluation(evaluation_num_env_runners=evaluation)
    assert fit_cpus(config, cpus).num_cpus_per_env_runner == expected


@pytest.fixture(scope="class")
def local_ray():
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield
    ray.shutdown()


@pytest.mark.usefixtures("local_ray")
class TestOnRay:
    """One local Ray instance of two CPUs for the class."""

    def test_ppo_trains_two_iterations_on_two_runners_of_four_consoles(self, counter_integration):
        # A point a frame until the NMI counter reaches 120: episodes of about 30 steps,
        # sampled 16 at a time, whose whole returns log_returns adds up from their chunks.
        game = {"rom": str(DEMO_ROM), "integration": str(counter_integration)}
        config = configure(PPOConfig(), "velkora/NES-v0", envs_per_runner=4, model=SMALL, **game, **OPTIONS)
        config = fit_cpus(small_ppo(config, 2).callbacks(on_sample_end=log_returns))
        algo = config.build_algo()
        try:
            held = algo.env_runner_group.foreach_env_runner(
                lambda r: (r.worker_index, type(r.env.unwrapped).__name__, r.env.unwrapped.num_envs),
                local_env_runner=False,
            )
            assert sorted(held) == [(1, "VelkoraVectorEnv", 4), (2, "VelkoraVectorEnv", 4)]
            results = [algo.train() for _ in range(2)]
        finally:
            algo.stop()
        sampled = [int(result["env_runners"]["num_env_steps_sampled"]) for result in results]
        # Each runner samples 16 steps of each console, a few more where an episode began.
        assert all(128 <= n < 128 + 2 * 4 for n in sampled)
        assert results[-1]["num_env_steps_sampled_lifetime"] == sum(sampled)
        assert results[-1]["learners"]["default_policy"]["num_module_steps_trained"] >= sampled[-1]
        ended = [returns_of(result) for result in results]
        assert [len(returns) for returns in ended] == [r["env_runners"].get("num_episodes", 0) for r in results]
        assert ended[-1] and np.mean(ended[-1]) == pytest.approx(results[-1]["env_runners"]["episode_return_mean"])
        assert min(ended[-1]) > 16 * 4  # more than any one chunk's frames

    @pytest.mark.parametrize("shared", [True, False])
    def test_two_players_train_one_iteration_on_one_policy_or_one_each(self, shared):
        config = configure_two_player(
            PPOConfig(),
            shared=shared,
            frame_stack=2,
            envs_per_runner=2,
            model=SMALL,
            obs_type="grayscale",
            screen_size=36,
        )
        algo = fit_cpus(small_ppo(config, 1, rollout=32)).build_algo()
        try:
            result = algo.train()
        finally:
            algo.stop()
        assert result["env_runners"]["num_env_steps_sampled"] >= 64
        agents = result["env_runners"]["num_agent_steps_sampled"]
        assert set(agents) == {"player_1", "player_2"} and agents["player_1"] == agents["player_2"] >= 64
        policies = {"shared"} if shared else {"player_1", "player_2"}
        assert set(result["learners"]) - {"__all_modules__"} == policies


def test_two_players_see_the_stacked_screen_and_score_apart():
    from velkora_gym.train.rllib import VelkoraMultiAgentEnv

    env = VelkoraMultiAgentEnv({"obs_type": "grayscale", "screen_size": 36, "frame_stack": 3})
    observations, _ = env.reset(seed=1)
    assert set(observations) == {"player_1", "player_2"}
    first = observations["player_1"]
    assert first.shape == (36, 36, 3) and first.dtype == np.uint8
    assert not first[..., :2].any() and first[..., 2].any()  # zeros before the episode's first picture
    frames = [first[..., 2]]
    for _ in range(3):
        observations, rewards, terminated, truncated, _ = env.step({"player_1": 1, "player_2": 2})
        frames.append(observations["player_2"][..., 2])
        assert observations["player_1"] is observations["player_2"]
        assert set(terminated) == {"player_1", "player_2", "__all__"}
    np.testing.assert_array_equal(observations["player_1"], np.stack(frames[-3:], axis=-1))
    env.close()


# --- examples/train_rllib.py ---
def load_example():
    return load_script(REPO / "examples" / "train_rllib.py")


GAME = ["--screen-size", "36", "--env-option", "max_episode_frames=2400"]
TINY = ["--envs-per-runner", "2", "--rollout", "32", "--minibatch", "128", "--epochs", "1"]
TINY += ["--random-episodes", "2", "--curve-episodes", "1", "--eval-episodes", "2"]


def test_example_trains_on_two_nodes_then_resumes_and_evaluates_its_checkpoint(tmp_path, capsys):
    from ray.cluster_utils import Cluster

    pytest.importorskip("matplotlib")
    train = load_example()
    cluster = Cluster(initialize_head=True, head_node_args={"num_cpus": 1})
    try:
        cluster.add_node(num_cpus=1)
        cluster.wait_for_nodes()
        out = tmp_path / "run"
        address = ["--address", cluster.address]
        assert train.main([*GAME, *TINY, *address, "--env-runners", "2", "--steps", "256", "--out", str(out)]) == 0
        printed = capsys.readouterr().out
        nodes = re.findall(r"env runner (\d): node (\w+) .*VelkoraVectorEnv of 2 consoles on 1 native thread", printed)
        assert sorted(index for index, _ in nodes) == ["1", "2"] and len({node for _, node in nodes}) == 2
        assert "each env runner: 1 CPU" in printed
        first = json.loads((out / "summary.json").read_text())
        assert first["steps"] >= 256 and first["random_episodes"] == 2
        assert [e["steps"] for e in first["evaluations"]][0] == 0 and first["evaluations"][-1]["steps"] == first[
            "steps"
        ]
        assert (out / "curve.png").stat().st_size > 0

        # On with one runner, to 512 steps in all: the run's counters and curve go on.
        assert train.main([*TINY, *address, "--env-runners", "1", "--steps", "512", "--resume", str(out)]) == 0
        printed = capsys.readouterr().out
        assert f"resumed at {first['steps']} steps (iteration {first['iterations']})" in printed
        second = json.loads((out / "summary.json").read_text())
        assert second["steps"] >= 512 and second["iterations"] > first["iterations"]
        assert second["evaluations"][: len(first["evaluations"])] == first["evaluations"]
        assert second["random_mean"] == first["random_mean"]
    finally:
        cluster.shutdown()

    # No Ray for an evaluation: the checkpoint's module plays the run's game.
    assert train.main(["--evaluate", str(out / "checkpoint"), "--eval-episodes", "2", "--random-episodes", "2"]) == 0
    printed = capsys.readouterr().out
    returns = second["eval_returns"]
    assert f"trained policy ({out / 'checkpoint'}): 2 episodes, mean return {np.mean(returns):.2f}" in printed


@pytest.mark.parametrize(
    "bad, message",
    [
        (["--policy-per-player"], "--policy-per-player goes with --self-play"),
        (["--self-play", "--env-option", "noop_max=30"], "noop_max"),
        (["--env-runners", "-1"], "at least 1"),
        (["--evaluate", "nowhere"], "not a checkpoint of this script"),
        (["--resume", "nowhere"], "no checkpoint there"),
        (["--screen-size", "30"], "at least 36"),
    ],
)
def test_example_refuses_bad_arguments_before_ray_starts(tmp_path, capsys, bad, message):
    refuses_arguments(load_example().main, bad, message, tmp_path / "run", capsys)
    assert not ray.is_initialized()


def test_an_id_whose_vector_env_is_not_velkoras_is_refused():
    import gymnasium as gym

    gym.register(
        "velkora-test/Other-v0",
        vector_entry_point=lambda num_envs, **options: gym.make_vec("CartPole-v1", num_envs, vectorization_mode="sync"),
    )
    try:
        with pytest.raises(TypeError, match="not a velkora environment"):
            configure(PPOConfig(), "velkora-test/Other-v0")
    finally:
        del gym.registry["velkora-test/Other-v0"]
