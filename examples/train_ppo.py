"""Trains PPO (Stable-Baselines3, CnnPolicy) on velkora/Demo-v0 through the native vector env.

    python examples/train_ppo.py [--steps 300000] [--envs 8] [--out runs/ppo-demo] [--seed 0]

Writes to --out: model.zip (load with PPO.load), curve.png (the mean return of the last
--window episodes against training steps, with a random policy's mean as a line),
eval.mp4 (the trained policy playing one episode) and summary.json (times and returns).
The observations are Atari-style: 84x84 grayscale, 4 frames a step, the last 4 stacked,
sticky actions, up to 30 no-op frames at each start. Needs: pip install velkora[train].
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np

ENV_ID = "velkora/Demo-v0"
ENV_OPTIONS: dict[str, Any] = {"obs_type": "grayscale", "screen_size": 84, "noop_max": 30}
FRAME_STACK = 4


def make_env(
    num_envs: int, seed: int, *, threads: int | None = None, render: bool = False, options: dict[str, Any] | None = None
):
    """The training view of the demo: the native vector env, frames stacked, returns logged."""
    from stable_baselines3.common.vec_env import VecFrameStack, VecMonitor

    from velkora_gym.sb3 import make

    venv = make(
        ENV_ID,
        num_envs,
        threads=threads,
        render_mode="rgb_array" if render else None,
        **{**ENV_OPTIONS, **(options or {})},
    )
    venv.seed(seed)
    return VecMonitor(VecFrameStack(venv, FRAME_STACK))


def play(
    env, episodes: int, policy=None, *, seed: int, max_steps: int | None = None, frames: list[np.ndarray] | None = None
) -> list[float]:
    """Returns of the first `episodes` episodes to end (the policy's, or uniformly random
    actions'); with `frames`, environment 0's pictures until its first episode ends."""
    rng = np.random.default_rng(seed)
    obs = env.reset()
    returns: list[float] = []
    steps = 0
    filming = frames is not None
    if filming:
        frames.append(env.get_images()[0])
    while len(returns) < episodes and (max_steps is None or steps < max_steps):
        if policy is None:
            actions = rng.integers(0, env.action_space.n, env.num_envs)
        else:
            actions, _ = policy.predict(obs, deterministic=True)
        obs, _, dones, infos = env.step(actions)
        steps += 1
        if filming:
            # After the end, environment 0 shows its next episode: the film stops there.
            filming = not dones[0]
            if filming:
                frames.append(env.get_images()[0])
        returns.extend(float(infos[i]["episode"]["r"]) for i in np.flatnonzero(dones))
    return returns[:episodes]


def curve(points: list[tuple[int, float]], window: int) -> tuple[np.ndarray, np.ndarray]:
    """(steps, mean of the last `window` returns) at each episode end."""
    steps = np.array([s for s, _ in points])
    returns = np.array([r for _, r in points])
    means = np.array([returns[max(0, k + 1 - window) : k + 1].mean() for k in range(len(returns))])
    return steps, means


def plot(points: list[tuple[int, float]], window: int, random_mean: float, path: Path, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 4), dpi=110)
    if points:
        steps, means = curve(points, window)
        ax.plot(steps, means, color="tab:blue", label=f"PPO, mean of the last {window} episodes")
    ax.axhline(random_mean, color="tab:red", linestyle="--", label=f"random policy ({random_mean:.1f})")
    ax.set_xlabel("environment steps")
    ax.set_ylabel("episode return (orbs caught)")
    ax.set_title(title)
    ax.grid(alpha=0.3)
    ax.legend(loc="upper left")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=300_000, help="environment steps of training")
    parser.add_argument("--envs", type=int, default=8, help="consoles in the native vector env")
    parser.add_argument("--threads", type=int, default=None, help="native threads (default: one per core)")
    parser.add_argument(
        "--torch-threads", type=int, default=1, help="torch's threads; 1 leaves the other cores to the consoles"
    )
    parser.add_argument("--n-steps", type=int, default=128, help="PPO's rollout length per environment")
    parser.add_argument("--batch-size", type=int, default=256)
    parser.add_argument("--epochs", type=int, default=4)
    parser.add_argument("--window", type=int, default=50, help="episodes averaged on the curve")
    parser.add_argument("--random-episodes", type=int, default=64)
    parser.add_argument("--eval-episodes", type=int, default=16)
    parser.add_argument("--eval-max-steps", type=int, default=20_000, help="a cap on evaluation's vector steps")
    parser.add_argument("--out", type=Path, default=Path("runs/ppo-demo"))
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--obs-type", choices=("grayscale", "rgb"), default=ENV_OPTIONS["obs_type"])
    parser.add_argument(
        "--screen-size",
        type=int,
        default=ENV_OPTIONS["screen_size"],
        help="observations are this size squared (at least 36 for SB3's CnnPolicy)",
    )
    args = parser.parse_args(argv)
    if (
        min(
            args.steps,
            args.envs,
            args.n_steps,
            args.batch_size,
            args.epochs,
            args.window,
            args.random_episodes,
            args.eval_episodes,
            args.torch_threads,
            args.eval_max_steps,
        )
        < 1
    ):
        parser.error("counts must be at least 1")
    if args.screen_size < 36:
        parser.error("--screen-size must be at least 36: the CNN's three convolutions need that much")
    options = {"obs_type": args.obs_type, "screen_size": args.screen_size}

    import imageio.v2 as imageio
    import torch
    from stable_baselines3 import PPO
    from stable_baselines3.common.callbacks import BaseCallback

    torch.set_num_threads(args.torch_threads)
    args.out.mkdir(parents=True, exist_ok=True)

    random_env = make_env(
        min(args.envs, args.random_episodes), args.seed + 10_000, threads=args.threads, options=options
    )
    random_returns = play(random_env, args.random_episodes, seed=args.seed, max_steps=args.eval_max_steps)
    random_env.close()
    random_mean = float(np.mean(random_returns)) if random_returns else 0.0
    print(f"random policy: {len(random_returns)} episodes, mean return {random_mean:.2f}")

    points: list[tuple[int, float]] = []

    class Episodes(BaseCallback):
        """Each episode's return as it ends, and a line of progress every tenth of the run."""

        reported = 0

        def _on_step(self) -> bool:
            for done, info in zip(self.locals["dones"], self.locals["infos"]):
                if done and "episode" in info:
                    points.append((self.num_timesteps, float(info["episode"]["r"])))
            if self.num_timesteps * 10 // args.steps > self.reported and points:
                self.reported = self.num_timesteps * 10 // args.steps
                recent = [r for _, r in points[-args.window :]]
                print(
                    f"  {self.num_timesteps} steps, {time.perf_counter() - started:.0f} s: mean return of the "
                    f"last {len(recent)} episodes {np.mean(recent):.2f}",
                    flush=True,
                )
            return True

    env = make_env(args.envs, args.seed, threads=args.threads, options=options)
    # The Atari settings of the RL Baselines3 Zoo.
    model = PPO(
        "CnnPolicy",
        env,
        n_steps=args.n_steps,
        batch_size=args.batch_size,
        n_epochs=args.epochs,
        learning_rate=lambda left: 2.5e-4 * left,
        clip_range=0.1,
        ent_coef=0.01,
        vf_coef=0.5,
        seed=args.seed,
        device="cpu",
        verbose=0,
    )
    started = time.perf_counter()
    model.learn(args.steps, callback=Episodes())
    seconds = time.perf_counter() - started
    trained = model.num_timesteps
    env.close()
    model.save(args.out / "model.zip")
    last = [r for _, r in points[-args.window :]]
    print(
        f"trained {trained} steps in {seconds:.0f} s ({trained / seconds:.0f} steps/s), {len(points)} episodes; "
        f"mean of the last {len(last)}: {np.mean(last) if last else float('nan'):.2f}"
    )

    eval_env = make_env(
        min(args.envs, args.eval_episodes), args.seed + 20_000, threads=args.threads, render=True, options=options
    )
    frames: list[np.ndarray] = []
    eval_returns = play(
        eval_env, args.eval_episodes, model, seed=args.seed, max_steps=args.eval_max_steps, frames=frames
    )
    fps = eval_env.get_attr("metadata")[0]["render_fps"]
    eval_env.close()
    imageio.mimwrite(args.out / "eval.mp4", frames, fps=fps, macro_block_size=16)
    eval_mean = float(np.mean(eval_returns)) if eval_returns else float("nan")
    print(
        f"trained policy: {len(eval_returns)} episodes, mean return {eval_mean:.2f}; "
        f"video of {len(frames)} steps at {fps:.2f} per second"
    )

    plot(
        points,
        args.window,
        random_mean,
        args.out / "curve.png",
        f"PPO on {ENV_ID}, {args.obs_type} {args.screen_size}x{args.screen_size}: "
        f"{trained} steps in {seconds / 60:.1f} min",
    )
    summary = {
        "env_id": ENV_ID,
        "options": {**ENV_OPTIONS, **options},
        "frame_stack": FRAME_STACK,
        "envs": args.envs,
        "steps": trained,
        "seconds": seconds,
        "steps_per_second": trained / seconds,
        "episodes": len(points),
        "train_last_mean": float(np.mean(last)) if last else None,
        "random_mean": random_mean,
        "random_episodes": len(random_returns),
        "eval_mean": eval_mean,
        "eval_episodes": len(eval_returns),
        "eval_returns": eval_returns,
        "video_steps": len(frames),
        "curve": points,
    }
    (args.out / "summary.json").write_text(json.dumps(summary, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
