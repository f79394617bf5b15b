"""Environment steps per second of one RLlib env runner: the native vector env against
RLlib's own vectorisation of single environments.

    python bench/rllib_bench.py [--rom ROM] [--envs 8] [--seconds 4] [--rounds 3]

Every row is one env runner, made in this process as Ray makes it in an actor, sampling the
demo game with its integration (frameskip 4, 84x84 grayscale, the last 4 stacked natively,
sticky actions, up to 30 no-op frames at each start): ``velkora_gym.rllib.VelkoraEnvRunner``
with one ``VelkoraVectorEnv`` of the consoles on one native thread and on one per core,
sampling a fragment in arrays, and on one thread through RLlib's own sampling loop
(``batched = False``), then RLlib's ``SingleAgentEnvRunner`` over one ``VelkoraEnv`` per console, vectorised by
Gymnasium's ``SyncVectorEnv`` (RLlib's default, ``gym_env_vectorize_mode="sync"``) and by
its ``AsyncVectorEnv`` (a process per console, ``"async"``). Each samples with random
actions, then with the policy (``VelkoraPPOTorchRLModule``'s Nature CNN, exploring, one torch
thread). A last row steps the vector env alone, without RLlib, for the emulation's share.
The rows take turns for --rounds rounds of --seconds each; the table gives the
median round and, in brackets, the lowest and highest.
"""

from __future__ import annotations

import os
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
from env_bench import demo_arguments, lacking, missing  # noqa: E402

OPTIONS = {
    "obs_type": "grayscale",
    "screen_size": 84,
    "frame_stack": 4,
    "channel_axis": True,
    "noop_max": 30,
    "repeat_action_probability": 0.25,
}


def runner(kind: str, envs: int, rom: Path, threads: int):
    """One env runner of `kind`: "native" (velkora's vector env, sampled in arrays),
    "inherited" (the same through RLlib's own sampling loop) or RLlib's "sync" or "async"
    vectorisation of single environments."""
    from ray.rllib.algorithms.ppo import PPOConfig
    from ray.rllib.core.rl_module.rl_module import RLModuleSpec
    from ray.rllib.env.single_agent_env_runner import SingleAgentEnvRunner

    from velkora_gym.train.rllib import VelkoraEnvRunner, VelkoraPPOTorchRLModule, configure

    options = {**OPTIONS, "rom": str(rom)}
    if kind in ("native", "inherited"):
        config = configure(PPOConfig(), "velkora/Demo-v0", envs_per_runner=envs, threads=threads, **options)
        made = VelkoraEnvRunner(config=config.env_runners(rollout_fragment_length=64).debugging(seed=0))
        made.batched = kind == "native"
        return made
    # The same game, module and seeds through RLlib's own env runner and vectorisation.
    native = configure(PPOConfig(), "velkora/Demo-v0", **options)
    config = (
        PPOConfig()
        .environment("velkora/Demo-v0", env_config=options)
        .env_runners(num_envs_per_env_runner=envs, gym_env_vectorize_mode=kind, rollout_fragment_length=64)
        .rl_module(rl_module_spec=RLModuleSpec(module_class=VelkoraPPOTorchRLModule), model_config=native.model_config)
        .debugging(seed=0)
    )
    return SingleAgentEnvRunner(config=config)


def cpu_seconds(env_runner) -> float:
    """CPU time of this process (every thread) and of the env runner's console processes."""
    total = time.process_time()
    tick = os.sysconf("SC_CLK_TCK")
    for process in getattr(env_runner.env.unwrapped, "processes", ()):
        fields = Path(f"/proc/{process.pid}/stat").read_text().rsplit(")", 1)[1].split()
        total += (int(fields[11]) + int(fields[12])) / tick  # utime and stime
    return total


def rate(env_runner, seconds: float, random_actions: bool) -> tuple[float, float]:
    """Environment steps a second of `env_runner` sampling for `seconds`, and the CPU
    microseconds each step took."""
    chunk = env_runner.num_envs * 64
    # Fresh episodes: an episode must not mix random steps with the policy's.
    env_runner.sample(num_timesteps=chunk, random_actions=random_actions, force_reset=True)
    steps, began, cpu = 0, time.perf_counter(), cpu_seconds(env_runner)
    while time.perf_counter() - began < seconds:
        episodes = env_runner.sample(num_timesteps=chunk, random_actions=random_actions)
        steps += sum(len(episode) for episode in episodes)
    return steps / (time.perf_counter() - began), (cpu_seconds(env_runner) - cpu) / steps * 1e6


def bare_rate(envs: int, rom: Path, seconds: float) -> tuple[float, float]:
    """The same for a ``VelkoraVectorEnv`` of the consoles on one thread stepped with random
    actions by a plain loop, without RLlib: the emulation's share of the rows above."""
    import numpy as np

    from velkora_gym.envs import demo_vector

    env = demo_vector(envs, threads=1, rom=str(rom), **OPTIONS)
    env.reset(seed=0)
    actions = np.random.default_rng(0).integers(0, env.single_action_space.n, (64, envs))
    steps, began, cpu = 0, time.perf_counter(), time.process_time()
    while time.perf_counter() - began < seconds:
        for row in actions:
            env.step(row)
        steps += actions.size
    rates = steps / (time.perf_counter() - began), (time.process_time() - cpu) / steps * 1e6
    env.close()
    return rates


def main() -> int:
    parser = demo_arguments(__doc__, 4.0)
    parser.add_argument("--envs", type=int, default=8, help="consoles of the env runner")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--no-async", action="store_true", help="leave out the process-per-console row")
    args = parser.parse_args()
    if missing(args.rom):
        return 1
    if lacking("ray.rllib", "rllib_bench", "RLlib", "rllib"):
        return 0
    import logging

    import torch

    logging.getLogger("ray").setLevel(logging.ERROR)
    torch.set_num_threads(1)
    cores = os.cpu_count() or 1
    rows = [
        ("VelkoraEnvRunner, native vector env, 1 thread", "native", 1),
        (f"VelkoraEnvRunner, native vector env, {cores} threads", "native", cores),
        ("VelkoraEnvRunner, RLlib's loop, 1 thread", "inherited", 1),
        ("RLlib SyncVectorEnv over VelkoraEnv", "sync", 1),
    ]
    sync = 3
    if not args.no_async:
        rows.append(("RLlib AsyncVectorEnv over VelkoraEnv", "async", 1))
    runners = [runner(kind, args.envs, args.rom, threads) for _, kind, threads in rows]
    rates: dict[tuple[int, bool], list[tuple[float, float]]] = {}
    bare: list[tuple[float, float]] = []
    for _ in range(args.rounds):
        bare.append(bare_rate(args.envs, args.rom, args.seconds))
        for random_actions in (True, False):
            for k, env_runner in enumerate(runners):
                rates.setdefault((k, random_actions), []).append(rate(env_runner, args.seconds, random_actions))
    for env_runner in runners:
        env_runner.stop()

    print(
        f"{args.rom.name} (demo integration), one env runner of {args.envs} consoles: frameskip 4, 84x84 grayscale, "
        f"4 stacked, sticky actions; {args.rounds} rounds of {args.seconds:g} s, {cores} cores"
    )
    print("steps/s: environment steps a second, median round (lowest-highest);")
    print("/sync: the row's median steps/s over the median of RLlib's SyncVectorEnv (the default) in the same mode;")
    print("CPU: CPU microseconds a step, median round, every thread and process of the env runner")
    print(f"{'':<48} {'random actions':>32} {'policy (Nature CNN, exploring)':>38}")
    print(f"{'':<48} {'steps/s':>18} {'/sync':>6} {'CPU':>6} {'steps/s':>24} {'/sync':>6} {'CPU':>6}")
    baseline = {r: statistics.median(rate for rate, _ in rates[(sync, r)]) for r in (True, False)}
    for k, (name, _, _) in enumerate(rows):
        cells = []
        for random_actions in (True, False):
            values = [rate for rate, _ in rates[(k, random_actions)]]
            median = statistics.median(values)
            cpu = statistics.median(cpu for _, cpu in rates[(k, random_actions)])
            spread = f"({min(values):.0f}-{max(values):.0f})"
            cells.append(f"{median:6.0f} {spread:>11} {median / baseline[random_actions]:5.2f}x {cpu:6.0f}")
        print(f"{name:<48} {cells[0]:>32} {cells[1]:>38}", flush=True)
    values = [rate for rate, _ in bare]
    spread = f"({min(values):.0f}-{max(values):.0f})"
    print(
        f"{'VelkoraVectorEnv alone, 1 thread, no RLlib':<48} "
        f"{statistics.median(values):6.0f} {spread:>11} {'':6} {statistics.median(cpu for _, cpu in bare):6.0f}"
    )
    for k, (_, kind, threads) in enumerate(rows):
        if kind in ("native", "inherited"):
            ratios = [statistics.median(rate for rate, _ in rates[(k, r)]) / baseline[r] for r in (True, False)]
            loop = "arrays" if kind == "native" else "RLlib's loop"
            print(
                f"native/sync, {threads} thread{'s' if threads > 1 else ''}, {loop}: "
                f"random actions {ratios[0]:.2f}x, policy {ratios[1]:.2f}x"
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
