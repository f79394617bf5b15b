"""examples/train_ppo.py: a short PPO run writes a model that loads, a curve, a video and a summary."""

from __future__ import annotations

import json

import numpy as np
import pytest

from conftest import REPO, load_script, refuses_arguments

pytest.importorskip("stable_baselines3")
pytest.importorskip("matplotlib")
imageio = pytest.importorskip("imageio.v2")
pytest.importorskip("imageio_ffmpeg")
from PIL import Image  # noqa: E402
from stable_baselines3 import PPO  # noqa: E402

from velkora_gym.envs import DEMO_ROM  # noqa: E402


def load_example():
    return load_script(REPO / "examples" / "train_ppo.py")


# A game by name with options of its own, small enough to train 2,000 steps in seconds.
GAME = [
    "--game",
    "velkora-demo",
    "--env-option",
    "frameskip=8",
    "--env-option",
    "max_episode_frames=2400",
    "--screen-size",
    "36",
    "--envs",
    "4",
    "--random-episodes",
    "4",
]


def test_two_thousand_steps_on_a_game_by_name_then_the_saved_model_evaluated(tmp_path, capsys):
    train = load_example()
    out = tmp_path / "run"
    small = ["--steps", "2000", "--n-steps", "64", "--batch-size", "64", "--epochs", "1", "--window", "3"]
    evaluations = ["--eval-episodes", "2", "--curve-episodes", "2", "--eval-every", "1000"]
    assert train.main([*GAME, *small, *evaluations, "--out", str(out)]) == 0
    printed = capsys.readouterr().out
    summary = json.loads((out / "summary.json").read_text())
    assert summary["env_id"] == "velkora/NES-v0"
    assert summary["options"]["game"] == "velkora-demo" and summary["options"]["frameskip"] == 8
    assert summary["steps"] >= 2000 and summary["random_episodes"] == 4 and summary["eval_episodes"] == 2
    assert f"mean return {summary['random_mean']:.2f}" in printed
    # The curve's points: an evaluation before training, one every 1,000 steps, the final one.
    steps = [point["steps"] for point in summary["evaluations"]]
    assert steps[0] == 0 and steps[-1] == summary["steps"] and len(steps) == 4
    assert all(later - earlier >= 1000 for earlier, later in zip(steps[:-2], steps[1:-1]))
    assert all(1 <= len(point["returns"]) <= 2 for point in summary["evaluations"])
    assert summary["evaluations"][-1]["returns"] == summary["eval_returns"]
    episodes = [s for s, _ in summary["training_episodes"]]
    assert episodes == sorted(episodes) and 0 < episodes[0] and episodes[-1] <= summary["steps"]

    model = PPO.load(out / "model.zip", device="cpu")
    assert model.observation_space.shape == (4, 36, 36)  # stacked and moved channels-first by SB3
    assert Image.open(out / "curve.png").size == (770, 440)
    reader = imageio.get_reader(out / "eval.mp4")
    assert reader.get_meta_data()["fps"] == pytest.approx(60.1 / 8, abs=0.01)
    assert sum(1 for _ in reader) == summary["video_steps"] > 1
    reader.close()

    # --evaluate plays the saved model on the game the options name, as play() does.
    assert train.main([*GAME, "--evaluate", str(out / "model.zip"), "--eval-episodes", "3"]) == 0
    printed = capsys.readouterr().out
    options = {"game": "velkora-demo", "frameskip": 8, "max_episode_frames": 2400, "screen_size": 36}
    env = train.make_env(3, 20_000, options=options, env_id="velkora/NES-v0")
    returns = train.play(env, 3, model, seed=0, max_steps=20_000)
    env.close()
    assert f"trained policy ({out / 'model.zip'}): 3 episodes, mean return {np.mean(returns):.2f}" in printed
    assert "random policy: 4 episodes, mean return" in printed

    # Other options than the model's: refused, naming what the model takes.
    assert train.main([*GAME, "--screen-size", "40", "--evaluate", str(out / "model.zip")]) == 2
    assert "give the game and options it was trained with" in capsys.readouterr().err


def test_ram_observations_train_an_mlp_on_an_integration_folder(tmp_path, counter_integration):

    train = load_example()
    out = tmp_path / "run"
    options = ["--env-option", "obs_type=ram", "--env-option", "actions=multibinary", "--env-option", "noop_max=0"]
    command = ["--integration", str(counter_integration), "--rom", str(DEMO_ROM), *options]
    small = ["--steps", "256", "--envs", "2", "--n-steps", "64", "--batch-size", "64", "--epochs", "1"]
    episodes = ["--random-episodes", "2", "--eval-episodes", "2", "--curve-episodes", "2"]
    assert train.main([*command, *small, *episodes, "--out", str(out)]) == 0
    model = PPO.load(out / "model.zip", device="cpu")
    assert type(model.policy).__name__ == "ActorCriticPolicy"  # SB3's MlpPolicy
    assert model.observation_space.shape == (4 * 2048,) and model.action_space.n == 8
    # The counter scores a point a frame whatever the buttons: every episode the same.
    summary = json.loads((out / "summary.json").read_text())
    assert summary["random_mean"] > 100 and summary["eval_returns"] == [summary["random_mean"]] * 2


@pytest.mark.parametrize(
    "points, window, expected",
    [
        ([(10, 1.0), (20, 3.0), (30, 5.0), (40, 7.0)], 2, [1.0, 2.0, 4.0, 6.0]),
        ([(5, 2.0), (9, 4.0)], 10, [2.0, 3.0]),
    ],
)
def test_curve_averages_the_last_episodes(points, window, expected):
    steps, means = load_example().curve(points, window)
    assert steps.tolist() == [s for s, _ in points] and means.tolist() == expected


@pytest.mark.parametrize(
    "bad, message",
    [
        (["--steps", "0"], "at least 1"),
        (["--screen-size", "30"], "at least 36"),
        (["--env-option", "screen_size=(84, 20)"], "at least 36"),
        (["--obs-type", "ram"], "invalid choice"),
        (["--rom", "game.nes"], "--rom alone gives no reward"),
        (["--state", "Start"], "--state names a start state of --game or --integration"),
        (["--game", "a", "--integration", "b"], "not allowed with"),
        (["--env-option", "framskip=4"], "did you mean 'frameskip'"),
        (["--env-option", "frameskip=four"], "frameskip takes a whole number"),
        (["--env-option", "game=velkora-demo"], "give the game with --game"),
        (["--game", "absent"], "no game 'absent'"),
        (["--evaluate", "missing.zip"], "no such file"),
    ],
)
def test_bad_arguments_are_refused_before_any_work(tmp_path, capsys, bad, message):
    refuses_arguments(load_example().main, bad, message, tmp_path / "run", capsys)
