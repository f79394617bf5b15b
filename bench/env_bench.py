"""Steps per second of the Gymnasium environments against raw runFrame, in one run.

    python bench/env_bench.py [--rom ROM] [--seconds 3] [--envs 8] [--sizes 8,64]

VelkoraEnv and VelkoraVectorEnv run with frameskip 4, 84x84 grayscale observations and
the default sticky actions, taking random actions; the baseline is runFrame + getImg
from Python on one velkora.NES of the same cartridge. Then the vector environment with
the demo game's integration (rewards and episode ends judged natively) for each size,
stepped synchronously and asynchronously (send/recv, batch_size half the environments),
and the Python time of a vector step with the emulation taken out: the calling thread's CPU
time less its CPU time inside the native calls (step, reset, send, receive), measured in the
same steps; CPU time, so that other programs on a shared machine do not count.
"""

from __future__ import annotations

import argparse
import importlib
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


class Clock:
    """CPU seconds the calling thread spent inside the timed native calls."""

    def __init__(self) -> None:
        self.inside = 0.0


class TimedNative:
    """An environment's native object whose calls that emulate (step, reset, send,
    receive) add the calling thread's CPU time to a clock; the rest pass through."""

    def __init__(self, native, clock: Clock) -> None:
        self._native = native
        for name in ("step", "reset", "send", "receive"):
            if hasattr(native, name):
                setattr(self, name, self._timed(getattr(native, name), clock))

    @staticmethod
    def _timed(call, clock: Clock):
        def timed(*args):
            started = time.thread_time()
            try:
                return call(*args)
            finally:
                clock.inside += time.thread_time() - started

        return timed

    def __getattr__(self, name):
        return getattr(self._native, name)


class NoEmulation:
    """An environment's native object whose stepping calls do nothing, so that what is left
    of a step is Python's alone, with its caches warm. Every receive hands back the first
    environments (what a step costs Python does not depend on which they are)."""

    def __init__(self, native) -> None:
        self._native = native
        self._ids = np.arange(1 << 12)

    def step(self, *args):
        pass

    def send(self, *args):
        pass

    def receive(self, count):
        return self._ids[:count]

    def __getattr__(self, name):
        return getattr(self._native, name)


def emulation_out(*envs) -> Clock:
    """Takes the emulation out of these environments' steps; the clock stays at zero."""
    for env in envs:
        env._driver.native = NoEmulation(env._driver.native)
    return Clock()


def timed(*envs) -> Clock:
    """One clock for the native calls of these environments (VelkoraEnv or VelkoraVectorEnv)."""
    clock = Clock()
    for env in envs:
        env._driver.native = TimedNative(env._driver.native, clock)
    return clock


def measure(call, envs_per_call: int, seconds: float, clock: Clock, rounds: int = 1) -> tuple[float, float]:
    """Environment steps a second over repeated `call()`s, and the Python microseconds of
    each: the calling thread's CPU time less its CPU time inside the native calls, so
    neither the emulation nor other programs on the machine count. With several `rounds`,
    the Python time is the lowest round's mean (the least disturbed by a shared machine)."""
    for _ in range(5):
        call()
    calls = 0
    python = float("inf")
    started = time.perf_counter()
    for _ in range(rounds):
        clock.inside = 0.0
        count = 0
        begun, cpu = time.perf_counter(), time.thread_time()
        while time.perf_counter() - begun < seconds / rounds:
            for _ in range(10):
                call()
            count += 10
        python = min(python, (time.thread_time() - cpu - clock.inside) / count * 1e6)
        calls += count
    return calls * envs_per_call / (time.perf_counter() - started), python


def actions_of(envs: int, count: int = 64, seed: int = 0) -> np.ndarray:
    return np.random.default_rng(seed).integers(0, 7, (count, envs))


def sync_rate(envs: int, seconds: float) -> tuple[float, float]:
    """Environment steps a second, and microseconds of Python in each vector step."""
    vector = demo_vector(envs)
    vector.reset(seed=0)
    clock = timed(vector)
    actions = actions_of(envs)
    steps = iter(range(1 << 62))
    return measure(lambda: vector.step(actions[next(steps) % len(actions)]), envs, seconds, clock)


def async_rate(envs: int, seconds: float) -> tuple[float, float]:
    """The same with send/recv, batch_size half the environments: Python microseconds per
    recv and send of one batch."""
    vector = demo_vector(envs, batch_size=max(1, envs // 2))
    vector.reset(seed=0)
    clock = timed(vector)
    rng = np.random.default_rng(0)
    vector.send(rng.integers(0, 7, envs))

    def turn():
        ids = vector.recv()[4]["env_id"]
        vector.send(rng.integers(0, 7, len(ids)), ids)

    return measure(turn, vector.batch_size, seconds, clock)


def demo_game_row(envs: int, seconds: float) -> str:
    """The demo game's steps a second with `envs` environments, stepped synchronously and asynchronously,
    and the Python time of each."""
    rate, python_us = sync_rate(envs, seconds)
    asynchronous, async_us = async_rate(envs, seconds)
    return (
        f"{envs:>6} {rate:9.0f} {asynchronous:9.0f}   {python_us:6.1f} us in all, "
        f"{python_us / envs:5.2f} us per environment; async {async_us:6.1f} us per batch of {max(1, envs // 2)}"
    )


def demo_arguments(doc: str, seconds: float) -> argparse.ArgumentParser:
    """A parser with the options of every benchmark of the demo cartridge: --rom, --seconds."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--rom", type=Path, default=ROOT / "build" / "velkora-demo.nes")
    parser.add_argument("--seconds", type=float, default=seconds)
    return parser


def missing(rom: Path) -> bool:
    if rom.exists():
        return False
    print(f"{rom} not found (make demo-rom builds it)")
    return True


def lacking(module: str, bench: str, package: str, extra: str) -> bool:
    """Says the benchmark is skipped when `module` is not installed."""
    try:
        importlib.import_module(module)
    except ImportError:
        print(f"{bench}: {package} is not installed (pip install .[{extra}]); skipped")
        return True
    return False


def main() -> int:
    parser = demo_arguments(__doc__, 3.0)
    parser.add_argument("--envs", type=int, default=8)
    parser.add_argument("--sizes", default="8,64")
    args = parser.parse_args()
    if missing(args.rom):
        return 1
    raw = single_console_fps(args.rom, args.seconds)
    single = env_steps(args.rom, args.seconds)
    vector = vector_steps(args.rom, args.envs, args.seconds)
    frames = OPTIONS["frameskip"]
    print(f"{args.rom.name}: frameskip {frames}, 84x84 grayscale")
    print(f"{'':<28} {'steps/s':>9} {'frames/s':>9} {'us/frame':>9}")
    print(f"{'runFrame + getImg':<28} {'':>9} {raw:9.0f} {1e6 / raw:9.1f}")
    print(
        f"{'VelkoraEnv':<28} {single:9.0f} {single * frames:9.0f} {1e6 / (single * frames):9.1f}"
        f"   {(raw / (single * frames) - 1) * 100:+.1f} % per frame against runFrame"
    )
    label = f"VelkoraVectorEnv({args.envs})"
    print(
        f"{label:<28} {vector:9.0f} {vector * frames * args.envs:9.0f} "
        f"{1e6 / (vector * frames * args.envs):9.1f}   {vector * args.envs / single:.2f}x VelkoraEnv"
    )

    print("\nthe demo game (rewards and ends judged natively), environment steps a second:")
    print(f"{'envs':>6} {'sync':>9} {'async':>9}   Python per vector step (async: per batch), emulation taken out")
    for envs in (int(v) for v in args.sizes.split(",")):
        print(demo_game_row(envs, args.seconds), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
