"""examples/ray_rollouts.py on a local Ray instance with two CPUs."""

from __future__ import annotations

import re

import pytest

import golden
from conftest import REPO, write_integration

pytest.importorskip("ray")
pytest.importorskip("gymnasium")


def test_two_actors_collect_steps_and_episode_returns(tmp_path, capsys, monkeypatch):
    rom = tmp_path / "velkora-demo.nes"
    rom.write_bytes(golden.own_cartridges()["velkora-demo.nes"])
    # Episodes of 200 frames: the demo's NMI counter at $0000, one point a frame.
    scenario = {
        "reward": {"variables": {"nmi": {"reward": 1}}},
        "done": {"variables": {"nmi": {"op": "greater-or-equal", "reference": 200}}},
    }
    rules = write_integration(tmp_path / "counter", {"info": {"nmi": {"address": 0, "type": "|u1"}}}, scenario)
    monkeypatch.syspath_prepend(str(REPO / "examples"))
    import ray_rollouts

    assert (
        ray_rollouts.main(
            [
                "--cpus",
                "2",
                "--actors",
                "2",
                "--envs",
                "3",
                "--steps",
                "80",
                "--rom",
                str(rom),
                "--integration",
                str(rules),
            ]
        )
        == 0
    )
    out = capsys.readouterr().out
    steps, frames = map(int, re.search(r"(\d+) steps, (\d+) frames", out).groups())
    assert steps == 2 * 3 * 80 and frames > 3 * steps
    ended, low, high = re.search(r"(\d+) episodes ended: return mean [\d.]+, min ([\d.]+), max ([\d.]+)", out).groups()
    # Every episode scores its 200-odd frames: the counter rose by one each.
    assert int(ended) >= 6 and 195 <= float(low) <= float(high) <= 210
