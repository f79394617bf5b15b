"""examples/train_ppo.py: a short PPO run writes a model that loads, a curve, a video and a summary."""

from __future__ import annotations

import importlib.util
import json

import numpy as np
import pytest

from conftest import REPO

pytest.importorskip("stable_baselines3")
pytest.importorskip("matplotlib")
imageio = pytest.importorskip("imageio.v2")
pytest.importorskip("imageio_ffmpeg")


def load_example():
    spec = importlib.util.spec_from_file_location("train_ppo", REPO / "examples" / "train_ppo.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_two_thousand_steps_of_ppo_leave_a_model_curve_video_and_summary(tmp_path, capsys):
    from PIL import Image
    from stable_baselines3 import PPO

    train = load_example()
    out = tmp_path / "run"
    assert (
        train.main(
            [
                "--steps",
                "2000",
                "--envs",
                "4",
                "--random-episodes",
                "4",
                "--eval-episodes",
                "2",
                "--window",
                "3",
                "--out",
                str(out),
            ]
        )
        == 0
    )
    printed = capsys.readouterr().out
    summary = json.loads((out / "summary.json").read_text())
    assert summary["steps"] >= 2000 and summary["random_episodes"] == 4 and summary["eval_episodes"] == 2
    assert f"mean return {summary['random_mean']:.2f}" in printed
    # Every logged episode ended inside the run, in order.
    steps = [s for s, _ in summary["curve"]]
    assert steps == sorted(steps) and 0 < steps[0] and steps[-1] <= summary["steps"]

    model = PPO.load(out / "model.zip", device="cpu")
    assert model.observation_space.shape == (4, 84, 84)  # stacked and moved channels-first by SB3
    actions, _ = model.predict(np.zeros((1, 84, 84, 4), np.uint8), deterministic=True)
    assert 0 <= int(actions[0]) < 7

    assert Image.open(out / "curve.png").size == (770, 440)
    reader = imageio.get_reader(out / "eval.mp4")
    assert reader.get_meta_data()["fps"] == pytest.approx(60.1 / 4, abs=0.01)
    frames = sum(1 for _ in reader)
    assert frames == summary["video_steps"] > 1
    reader.close()


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
        (["--obs-type", "ram"], "invalid choice"),
    ],
)
def test_bad_arguments_are_refused_before_any_work(tmp_path, capsys, bad, message):
    with pytest.raises(SystemExit):
        load_example().main([*bad, "--out", str(tmp_path / "run")])
    assert message in capsys.readouterr().err
    assert not (tmp_path / "run").exists()
