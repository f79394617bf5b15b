"""Environment steps per second of the training paths, and the Python time of their steps.

    python bench/train_bench.py [--rom ROM] [--seconds 3] [--envs 8 64]

Every row runs the demo game with its integration (rewards and ends judged natively),
frameskip 4, 84x84 grayscale, sticky actions and random actions: Stable-Baselines3's
``VecEnv`` interface through ``velkora_gym.sb3.VelkoraVecEnv`` (infos="ends", the default,
and infos="all"), the bare ``VelkoraVectorEnv`` stepped synchronously and asynchronously
(send/recv, batch_size half the environments), and SB3's ``DummyVecEnv`` over one
``VelkoraEnv`` per console.

Two Python times per vector step (for the asynchronous row: per recv and send of a batch),
both taken with bench/env_bench.py's tools:

- in the loop: the calling thread's CPU time less its CPU time inside the native calls
  that emulate (step, reset, send, receive). It includes what the emulation costs the
  Python that follows it: caches and branch predictors that the workers' frames evicted.
- emulation out: the same steps with those native calls replaced by no-ops, so that only
  Python runs, with warm caches (no episode ends then: nothing runs that would end one);
  the lowest of five rounds' means, the round least disturbed by other programs.
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
from env_bench import OPTIONS, actions_of, demo_arguments, emulation_out, lacking, measure, missing, timed  # noqa: E402


def adapter(infos: str):
    def build(envs: int, rom: Path):
        from velkora_gym.train.sb3 import make

        env = make("velkora/Demo-v0", envs, rom=rom, infos=infos, **OPTIONS)
        env.seed(0)
        env.reset()
        return env, [env._venv]

    return build


def vector(envs: int, rom: Path, **options):
    from velkora_gym.envs import demo_vector

    env = demo_vector(envs, rom=rom, **OPTIONS, **options)
    env.reset(seed=0)
    return env, [env]


def dummy(envs: int, rom: Path):
    from stable_baselines3.common.vec_env import DummyVecEnv

    from velkora_gym.envs import demo

    env = DummyVecEnv([lambda: demo(rom=rom, **OPTIONS) for _ in range(envs)])
    env.seed(0)
    env.reset()
    return env, env.envs


def stepper(env, envs: int):
    """One vector step of `env` as a call, and the environments it steps."""
    actions = actions_of(envs)
    count = iter(range(1 << 62))
    if hasattr(env, "step_wait"):  # an SB3 VecEnv
        return lambda: env.step(actions[next(count) % len(actions)]), envs
    if env.batch_size == env.num_envs:
        return lambda: env.step(actions[next(count) % len(actions)]), envs
    env.send(actions[0])
    rng = np.random.default_rng(0)

    def turn():
        ids = env.recv()[4]["env_id"]
        env.send(rng.integers(0, 7, len(ids)), ids)

    return turn, env.batch_size


def run(build, envs: int, rom: Path, seconds: float) -> tuple[float, float, float]:
    """(environment steps a second, Python us per call in the loop, with emulation out)."""
    env, inner = build(envs, rom)
    call, per_call = stepper(env, envs)
    rate, loop = measure(call, per_call, seconds, timed(*inner))
    env.close()
    env, inner = build(envs, rom)
    call, per_call = stepper(env, envs)
    _, bare = measure(call, per_call, min(seconds, 1.0), emulation_out(*inner), rounds=5)
    env.close()
    return rate, loop, bare


def main() -> int:
    parser = demo_arguments(__doc__, 3.0)
    parser.add_argument("--envs", type=int, nargs="+", default=[8, 64])
    args = parser.parse_args()
    if missing(args.rom):
        return 1
    if lacking("stable_baselines3", "train_bench", "Stable-Baselines3", "train"):
        return 0
    print(f"{args.rom.name} (demo integration): frameskip 4, 84x84 grayscale, sticky actions, random actions")
    print("Python us per vector step (async: per batch), in the loop / with the emulation out")
    print(f"{'':<40} {'steps/s':>8} {'loop':>7} {'/env':>6} {'out':>7} {'/env':>6}")
    for envs in args.envs:
        half = max(1, envs // 2)
        rows = (
            (f"SB3 VelkoraVecEnv, infos='ends' ({envs})", adapter("ends")),
            (f"SB3 VelkoraVecEnv, infos='all' ({envs})", adapter("all")),
            (f"VelkoraVectorEnv sync ({envs})", vector),
            (
                f"VelkoraVectorEnv async ({envs}, batch {half})",
                lambda n, rom, half=half: vector(n, rom, batch_size=half),
            ),
            (f"SB3 DummyVecEnv over VelkoraEnv ({envs})", dummy),
        )
        for name, build in rows:
            rate, loop, bare = run(build, envs, args.rom, args.seconds)
            per = half if "async" in name else envs
            print(f"{name:<40} {rate:8.0f} {loop:7.1f} {loop / per:6.2f} {bare:7.1f} {bare / per:6.2f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
