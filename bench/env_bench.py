"""Steps per second of the Gymnasium environments against raw runFrame, in one run.

    python bench/env_bench.py [--rom ROM] [--seconds 3] [--envs 8] [--sizes 8,64]

VelkoraEnv and VelkoraVectorEnv run with frameskip 4, 84x84 grayscale observations and
the default sticky actions, taking random actions; the baseline is runFrame + getImg
from Python on one velkora.NES of the same cartridge. Then the vector environment with
the demo game's integration (rewards and episode ends judged natively) for each size,
stepped synchronously and asynchronously (send/recv, batch_size half the environments),
and the Python time of a synchronous vector step with the emulation taken out: the time
of `step` less the time inside the native step it calls, measured in the same steps.
"""
from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
from batch_bench import single_console_fps  # noqa: E402

from velkora_gym.envs import VelkoraEnv, VelkoraVectorEnv  # noqa: E402

OPTIONS = {"obs_type": "grayscale", "screen_size": 84, "frameskip": 4}


def env_steps(rom: Path, seconds: float) -> float:
    env = VelkoraEnv(rom, **OPTIONS)
    env.reset(seed=0)
    picks = np.random.default_rng(0).integers(0, env.action_space.n, 100_000)
    steps = 0
    started = time.perf_counter()
    while time.perf_counter() - started < seconds:
        for _ in range(50):
            _, _, terminated, truncated, _ = env.step(int(picks[steps % len(picks)]))
            steps += 1
            if terminated or truncated:
                env.reset()
    return steps / (time.perf_counter() - started)


def vector_steps(rom: Path, envs: int, seconds: float) -> float:
    vector = VelkoraVectorEnv(rom, envs, **OPTIONS)
    vector.reset(seed=0)
    rng = np.random.default_rng(0)
    steps = 0
    started = time.perf_counter()
    while time.perf_counter() - started < seconds:
        for _ in range(10):
            vector.step(rng.integers(0, vector.single_action_space.n, envs))
            steps += 1
    return steps / (time.perf_counter() - started)


def demo_vector(envs: int, **options):
    from velkora_gym.envs import demo_vector as make

    return make(envs, **{**OPTIONS, **options})


def sync_rate(envs: int, seconds: float) -> tuple[float, float]:
    """Environment steps a second, and microseconds of Python in each vector step."""
    vector = demo_vector(envs)
    vector.reset(seed=0)
    native = vector._driver.native

    class Timed:
        """The native environments, their step timed."""

        inside = 0.0

        def __getattr__(self, name):
            return getattr(native, name)

        def step(self, masks, masks2):
            started = time.perf_counter()
            native.step(masks, masks2)
            Timed.inside += time.perf_counter() - started

    rng = np.random.default_rng(0)
    actions = rng.integers(0, vector.single_action_space.n, (64, envs))
    for k in range(5):
        vector.step(actions[k])
    vector._driver.native = Timed()
    steps = 0
    started = time.perf_counter()
    while time.perf_counter() - started < seconds:
        vector.step(actions[steps % len(actions)])
        steps += 1
    elapsed = time.perf_counter() - started
    return steps * envs / elapsed, (elapsed - Timed.inside) / steps * 1e6


def async_rate(envs: int, seconds: float) -> float:
    vector = demo_vector(envs, batch_size=max(1, envs // 2))
    vector.reset(seed=0)
    rng = np.random.default_rng(0)
    n = vector.single_action_space.n
    vector.send(rng.integers(0, n, envs))
    received = 0
    started = time.perf_counter()
    while time.perf_counter() - started < seconds:
        for _ in range(10):
            info = vector.recv()[4]
            ids = info["env_id"]
            vector.send(rng.integers(0, n, len(ids)), ids)
            received += len(ids)
    return received / (time.perf_counter() - started)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rom", type=Path, default=ROOT / "build" / "velkora-demo.nes")
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--envs", type=int, default=8)
    parser.add_argument("--sizes", default="8,64")
    args = parser.parse_args()
    if not args.rom.exists():
        print(f"{args.rom} not found (make demo-rom builds it)")
        return 1
    raw = single_console_fps(args.rom, args.seconds)
    single = env_steps(args.rom, args.seconds)
    vector = vector_steps(args.rom, args.envs, args.seconds)
    frames = OPTIONS["frameskip"]
    print(f"{args.rom.name}: frameskip {frames}, 84x84 grayscale")
    print(f"{'':<28} {'steps/s':>9} {'frames/s':>9} {'us/frame':>9}")
    print(f"{'runFrame + getImg':<28} {'':>9} {raw:9.0f} {1e6 / raw:9.1f}")
    print(f"{'VelkoraEnv':<28} {single:9.0f} {single * frames:9.0f} {1e6 / (single * frames):9.1f}"
          f"   {(raw / (single * frames) - 1) * 100:+.1f} % per frame against runFrame")
    label = f"VelkoraVectorEnv({args.envs})"
    print(f"{label:<28} {vector:9.0f} {vector * frames * args.envs:9.0f} "
          f"{1e6 / (vector * frames * args.envs):9.1f}   {vector * args.envs / single:.2f}x VelkoraEnv")

    print("\nthe demo game (rewards and ends judged natively), environment steps a second:")
    print(f"{'envs':>6} {'sync':>9} {'async':>9}   Python per vector step, emulation taken out")
    for envs in (int(v) for v in args.sizes.split(",")):
        rate, python_us = sync_rate(envs, args.seconds)
        asynchronous = async_rate(envs, args.seconds)
        print(f"{envs:>6} {rate:9.0f} {asynchronous:9.0f}   {python_us:6.1f} us in all, "
              f"{python_us / envs:5.2f} us per environment", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
