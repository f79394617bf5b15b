"""Random-policy rollouts on K Ray actors, each owning a VelkoraVectorEnv.

    python examples/ray_rollouts.py [--actors 2] [--envs 8] [--steps 500] [--address auto]
                                    [--timing design|hardware]

Each actor steps its own vector environment (the demo game by default, or --rom with
--integration) on the CPUs Ray gives it, and reports how many frames it ran and the
returns of the episodes that ended. Without --address a local Ray instance is started;
with --address auto (or host:port) the actors spread over a running cluster's machines.
--timing travels with the options, so every actor runs it whatever VELKORA_TIMING its
machine has.
Needs: pip install velkora[ray].
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from typing import Any

import numpy as np
import ray


@ray.remote
class Roller:
    """One vector environment and a random policy."""

    def __init__(self, num_envs: int, seed: int, threads: int, options: dict[str, Any]) -> None:
        from velkora_gym.envs import VelkoraVectorEnv, demo_vector

        make = demo_vector if "rom" not in options else VelkoraVectorEnv
        self.env = make(num_envs=num_envs, threads=threads, **options)
        self.rng = np.random.default_rng(seed)
        self.env.reset(seed=seed)
        self.running = np.zeros(num_envs)
        self.episode_frames = np.zeros(num_envs, np.int64)

    def collect(self, steps: int) -> dict[str, Any]:
        finished: list[float] = []
        frames = 0
        started = time.perf_counter()
        for _ in range(steps):
            actions = self.rng.integers(0, self.env.single_action_space.n, self.env.num_envs)
            _, rewards, terminated, truncated, info = self.env.step(actions)
            # An environment that restarted this step counts from 0 again.
            now = info["episode_frame_number"]
            frames += int(np.where(now >= self.episode_frames, now - self.episode_frames, now).sum())
            self.episode_frames = now
            self.running += rewards
            ended = terminated | truncated
            finished.extend(float(r) for r in self.running[ended])
            self.running[ended] = 0.0
        return {
            "seconds": time.perf_counter() - started,
            "steps": steps * self.env.num_envs,
            "frames": frames,
            "returns": finished,
        }


def rollouts(
    actors: int, envs: int, steps: int, *, seed: int = 0, options: dict[str, Any] | None = None, threads: int = 1
) -> dict[str, Any]:
    """Runs the actors on the Ray instance already initialised; returns their totals."""
    options = {"obs_type": "grayscale", "screen_size": 84, **(options or {})}
    rollers = [Roller.options(num_cpus=threads).remote(envs, seed + 1000 * k, threads, options) for k in range(actors)]
    started = time.perf_counter()
    reports = ray.get([r.collect.remote(steps) for r in rollers])
    wall = time.perf_counter() - started
    returns = [r for report in reports for r in report["returns"]]
    return {
        "wall": wall,
        "steps": sum(r["steps"] for r in reports),
        "frames": sum(r["frames"] for r in reports),
        "returns": returns,
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--actors", type=int, default=2)
    parser.add_argument("--envs", type=int, default=8, help="environments per actor")
    parser.add_argument("--steps", type=int, default=500, help="vector steps per actor")
    parser.add_argument("--threads", type=int, default=1, help="CPUs (and native threads) per actor")
    parser.add_argument("--address", default=None, help="a running Ray cluster; default: start one here")
    parser.add_argument("--cpus", type=int, default=None, help="CPUs of the local instance")
    parser.add_argument("--rom", default=None)
    parser.add_argument("--integration", default=None)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--timing", choices=("design", "hardware"), help="the consoles' timing model")
    args = parser.parse_args(argv)
    if min(args.actors, args.envs, args.steps, args.threads) < 1:
        parser.error("--actors, --envs, --steps and --threads must be at least 1")

    options: dict[str, Any] = {}
    if args.rom:
        options["rom"] = args.rom
        if args.integration:
            options["integration"] = args.integration
    if args.timing:
        options["timing"] = args.timing
    if args.address:
        ray.init(address=args.address)
    else:
        ray.init(num_cpus=args.cpus, include_dashboard=False, log_to_driver=False)
    try:
        result = rollouts(args.actors, args.envs, args.steps, seed=args.seed, options=options, threads=args.threads)
    finally:
        ray.shutdown()
    returns = result["returns"]
    print(
        f"{args.actors} actors x {args.envs} environments: {result['steps']} steps, "
        f"{result['frames']} frames in {result['wall']:.2f} s: "
        f"{result['steps'] / result['wall']:.0f} steps/s, {result['frames'] / result['wall']:.0f} frames/s"
    )
    if returns:
        print(
            f"{len(returns)} episodes ended: return mean {statistics.mean(returns):.2f}, "
            f"min {min(returns):.2f}, max {max(returns):.2f}"
        )
    else:
        print("no episode ended yet (more --steps)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
