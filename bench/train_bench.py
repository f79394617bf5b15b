"""Environment steps per second through Stable-Baselines3's interface, and the Python time of
a vector step with the emulation taken out.

    python bench/train_bench.py [--rom ROM] [--seconds 3] [--envs 8 64]

Every row runs the training setup of examples/train_ppo.py: the demo game with its
integration, frameskip 4, 84x84 grayscale, sticky actions, random actions, episodes
restarting as SB3 expects. Rows: ``velkora_gym.sb3.VelkoraVecEnv`` (the native batch) and
SB3's ``DummyVecEnv`` over ``VelkoraEnv`` (one console per Python object).

Python time per vector step: each run swaps the batch's native object for a proxy whose
``step`` and ``reset`` (the emulation: stepping, and restarting finished consoles) read the
calling thread's CPU clock (``time.thread_time``) around the real call. Python time = (the
main thread's CPU time over the run - its CPU time inside those native calls) / vector
steps: everything the interpreter does for a step (planning the frames, sticky actions,
rewards, episode ends, copying observations, building SB3's info dicts) and none of the
emulation, whichever thread runs it. CPU time rather than wall time, so that other programs
on the machine do not count. The proxy's own cost (one Python call and two clock reads,
about 1 us per native call) is left in. The same split is shown for the bare
``VelkoraVectorEnv``, so the adapter's own share is the difference of the two rows.
"""
from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
OPTIONS: dict[str, Any] = {"obs_type": "grayscale", "screen_size": 84, "frameskip": 4}


class _Timed:
    """The batch's native object, with the time spent in its step and reset added up."""

    def __init__(self, native: Any) -> None:
        self._native = native
        self.seconds = 0.0

    def step(self, *args: Any) -> Any:
        started = time.thread_time()
        try:
            return self._native.step(*args)
        finally:
            self.seconds += time.thread_time() - started

    def reset(self, *args: Any) -> Any:
        started = time.thread_time()
        try:
            return self._native.reset(*args)
        finally:
            self.seconds += time.thread_time() - started

    def __getattr__(self, name: str) -> Any:
        return getattr(self._native, name)


def _time(step, actions: np.ndarray, seconds: float, timed: _Timed | None) -> tuple[float, float]:
    """(vector steps per second, Python microseconds per vector step, or nan)."""
    steps = 0
    if timed is not None:
        timed.seconds = 0.0
    started, cpu = time.perf_counter(), time.thread_time()
    while time.perf_counter() - started < seconds:
        for _ in range(10):
            step(actions[steps % len(actions)])
            steps += 1
    wall, cpu = time.perf_counter() - started, time.thread_time() - cpu
    python = (cpu - timed.seconds) / steps * 1e6 if timed is not None else float("nan")
    return steps / wall, python


def adapter(rom: Path, envs: int, seconds: float, actions: np.ndarray) -> tuple[float, float]:
    from velkora_gym.sb3 import make

    env = make("velkora/Demo-v0", envs, rom=rom, **OPTIONS)
    batch = env._venv._batch
    timed = batch._native = _Timed(batch._native)
    env.seed(0)
    env.reset()
    result = _time(env.step, actions, seconds, timed)
    env.close()
    return result


def vector(rom: Path, envs: int, seconds: float, actions: np.ndarray) -> tuple[float, float]:
    """The bare vector env (next-step autoreset), for the adapter's own share."""
    from velkora_gym.envs import demo_vector

    env = demo_vector(envs, rom=rom, **OPTIONS)
    batch = env._batch
    timed = batch._native = _Timed(batch._native)
    env.reset(seed=0)
    result = _time(env.step, actions, seconds, timed)
    env.close()
    return result


def dummy(rom: Path, envs: int, seconds: float, actions: np.ndarray) -> tuple[float, float]:
    from stable_baselines3.common.vec_env import DummyVecEnv

    from velkora_gym.envs import demo

    env = DummyVecEnv([lambda: demo(rom=rom, **OPTIONS) for _ in range(envs)])
    env.seed(0)
    env.reset()
    result = _time(env.step, actions, seconds, None)
    env.close()
    return result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rom", type=Path, default=ROOT / "build" / "velkora-demo.nes")
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--envs", type=int, nargs="+", default=[8, 64])
    args = parser.parse_args()
    if not args.rom.exists():
        print(f"{args.rom} not found (make demo-rom builds it)")
        return 1
    try:
        import stable_baselines3  # noqa: F401
    except ImportError:
        print("train_bench: Stable-Baselines3 is not installed (pip install .[train]); skipped")
        return 0
    print(f"{args.rom.name} (demo integration): frameskip 4, 84x84 grayscale, random actions")
    print(f"{'':<34} {'steps/s':>9} {'Python us/step':>15} {'us/env':>7}")
    rows = (("SB3 adapter VelkoraVecEnv", adapter), ("VelkoraVectorEnv (next-step reset)", vector),
            ("SB3 DummyVecEnv over VelkoraEnv", dummy))
    for envs in args.envs:
        actions = np.random.default_rng(0).integers(0, 7, (1000, envs))
        for name, run in rows:
            rate, python = run(args.rom, envs, args.seconds, actions)
            split = f"{python:15.1f} {python / envs:7.2f}" if python == python else f"{'':>15} {'':>7}"
            print(f"{name + f' ({envs})':<34} {rate * envs:9.0f} {split}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
