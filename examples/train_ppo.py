"""Trains PPO (Stable-Baselines3) on a velkora game through the native vector env, or
evaluates a saved model.

    python examples/train_ppo.py [--game NAME | --integration DIR] [--rom ROM] [--state NAME|none]
        [--env-option KEY=VALUE ...] [--steps 300000] [--envs 8] [--out DIR] [--seed 0]
    python examples/train_ppo.py --evaluate DIR/model.zip [the game and options it was trained with]

Without --game, --integration or --rom it trains the demo game (velkora/Demo-v0). --game
names an integration on the search path (its ROM found by hash, or --rom), --integration a
folder; --state picks the folder's start state (none: power-on). --env-option sets any
environment option (velkora_gym.EnvOptions), its value typed as the option declares it:
frameskip=8, actions=all, screen_size=(84,84), max_episode_frames=None. RAM observations
(obs_type=ram) train an MLP, pictures a CNN.

Writes to --out (default runs/ppo-GAME): model.zip (load with PPO.load), curve.png (the
trained policy's mean return over --curve-episodes evaluation episodes every --eval-every
steps, the training episodes' running mean behind it, and a random policy's mean as a line),
eval.mp4 (the trained policy playing one episode) and summary.json (times and returns). The
observations default to Atari-style: 84x84 grayscale, 4 frames a step, the last 4 stacked,
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

DEMO_ID = "velkora/Demo-v0"
GAME_ID = "velkora/NES-v0"
ENV_OPTIONS: dict[str, Any] = {"obs_type": "grayscale", "screen_size": 84, "noop_max": 30}
FRAME_STACK = 4
PICTURES = ("grayscale", "rgb")


def make_env(
    num_envs: int,
    seed: int,
    *,
    threads: int | None = None,
    render: bool = False,
    options: dict[str, Any] | None = None,
    env_id: str = DEMO_ID,
):
    """The training view of a game: the native vector env, frames stacked, returns logged."""
    from stable_baselines3.common.vec_env import VecFrameStack, VecMonitor

    from velkora_gym.train.sb3 import make

    venv = make(
        env_id,
        num_envs,
        threads=threads,
        render_mode="rgb_array" if render else None,
        **{**ENV_OPTIONS, **(options or {})},
    )
    venv.seed(seed)
    return VecMonitor(VecFrameStack(venv, FRAME_STACK))


def random_actions(space, count: int, rng: np.random.Generator) -> np.ndarray:
    """Uniformly random actions of a Discrete, MultiDiscrete or MultiBinary space."""
    from gymnasium import spaces

    if isinstance(space, spaces.Discrete):
        return rng.integers(0, space.n, count)
    if isinstance(space, spaces.MultiDiscrete):
        return rng.integers(0, space.nvec, (count, len(space.nvec)))
    if isinstance(space, spaces.MultiBinary):
        return rng.integers(0, 2, (count, int(space.n)))
    raise TypeError(f"no random actions for {space}")


def play(
    env, episodes: int, policy=None, *, seed: int, max_steps: int | None = None, frames: list[np.ndarray] | None = None
) -> list[float]:
    """Returns of the first `episodes` episodes to end (the policy's, deterministic, or
    uniformly random actions'); with `frames`, environment 0's pictures until its first
    episode ends."""
    rng = np.random.default_rng(seed)
    obs = env.reset()
    returns: list[float] = []
    steps = 0
    filming = frames is not None
    if filming:
        frames.append(env.get_images()[0])
    while len(returns) < episodes and (max_steps is None or steps < max_steps):
        if policy is None:
            actions = random_actions(env.action_space, env.num_envs, rng)
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


def plot(
    evaluations: list[tuple[int, list[float]]],
    points: list[tuple[int, float]],
    window: int,
    random_mean: float,
    path: Path,
    title: str,
    unit: str = "",
    policy: str = "deterministic",
) -> None:
    """The evaluations' means (their lowest and highest return as a band; `policy` says how
    the trained policy chose its actions), the training episodes' running mean behind them,
    and the random policy's mean."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 4), dpi=110)
    if points:
        steps, means = curve(points, window)
        ax.plot(steps, means, color="0.7", linewidth=1, label=f"training episodes, mean of the last {window}")
    scored = [(step, returns) for step, returns in evaluations if returns]
    if scored:
        steps = np.array([step for step, _ in scored])
        ax.fill_between(
            steps, [min(r) for _, r in scored], [max(r) for _, r in scored], color="tab:blue", alpha=0.15, linewidth=0
        )
        ax.plot(
            steps,
            [np.mean(r) for _, r in scored],
            color="tab:blue",
            marker="o",
            markersize=3,
            label=f"trained policy ({policy}): mean, lowest and highest of an evaluation",
        )
    ax.axhline(random_mean, color="tab:red", linestyle="--", label=f"random policy ({random_mean:.1f})")
    ax.set_xlabel("environment steps")
    ax.set_ylabel(f"episode return{unit}")
    ax.set_title(title)
    ax.grid(alpha=0.3)
    ax.legend(loc="upper left", fontsize="small")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0].replace("\n", " "),
        epilog="\n\n".join(__doc__.split("\n\n")[1:]),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    game_arguments(p)
    p.add_argument("--evaluate", type=Path, metavar="MODEL", help="evaluate a saved model instead of training")
    p.add_argument("--steps", type=int, default=300_000, help="environment steps of training")
    p.add_argument("--envs", type=int, default=8, help="consoles in the native vector env")
    p.add_argument("--threads", type=int, default=None, help="native threads (default: one per core)")
    p.add_argument("--n-steps", type=int, default=128, help="PPO's rollout length per environment")
    p.add_argument("--batch-size", type=int, default=256)
    p.add_argument("--out", type=Path, help="the folder written (default runs/ppo-GAME)")
    evaluation_arguments(p)
    return p


def game_arguments(p: argparse.ArgumentParser) -> None:
    """The game, its options and the observations, as settings() reads them."""
    game = p.add_argument_group("the game (default: the demo game)")
    where = game.add_mutually_exclusive_group()
    where.add_argument("--game", help="an integration on the search path, by name")
    where.add_argument("--integration", type=Path, metavar="DIR", help="an integration folder")
    game.add_argument("--rom", type=Path, help="the cartridge (default: found by the integration's rom.sha)")
    game.add_argument("--state", help="the integration's start state; none powers on (default: its default_state)")
    game.add_argument(
        "--env-option",
        action="append",
        default=[],
        metavar="KEY=VALUE",
        help="an environment option (velkora_gym.EnvOptions), repeatable: frameskip=8 actions=all",
    )
    game.add_argument("--obs-type", choices=PICTURES, default=ENV_OPTIONS["obs_type"])
    game.add_argument(
        "--screen-size",
        type=int,
        default=ENV_OPTIONS["screen_size"],
        help="observations are this size squared (at least 36 for the CNN)",
    )


def evaluation_arguments(p: argparse.ArgumentParser) -> None:
    """PPO's epochs, torch's threads, the seed, and the evaluations and curve."""
    p.add_argument(
        "--torch-threads", type=int, default=1, help="torch's threads; 1 leaves the other cores to the consoles"
    )
    p.add_argument("--epochs", type=int, default=4)
    p.add_argument("--window", type=int, default=50, help="training episodes averaged behind the curve")
    p.add_argument(
        "--eval-every",
        type=int,
        help="steps between the curve's evaluations (default: a tenth of --steps, at least a rollout)",
    )
    p.add_argument("--curve-episodes", type=int, default=8, help="episodes of each of the curve's evaluations")
    p.add_argument("--random-episodes", type=int, default=64)
    p.add_argument("--eval-episodes", type=int, default=16, help="episodes of the final evaluation (and --evaluate)")
    p.add_argument("--eval-max-steps", type=int, default=20_000, help="a cap on each evaluation's vector steps")
    p.add_argument("--seed", type=int, default=0)


def settings(args: argparse.Namespace, error) -> tuple[str, dict[str, Any], str]:
    """(environment id, options, the game's name) from the arguments; `error` refuses."""
    from velkora_gym.envs.options import parse_option

    options: dict[str, Any] = {"obs_type": args.obs_type, "screen_size": args.screen_size}
    env_id, name = DEMO_ID, "demo"
    if args.game is not None or args.integration is not None or args.rom is not None:
        env_id = GAME_ID
        if args.game is None and args.integration is None:
            error("--rom alone gives no reward: name its integration with --game or --integration")
        if args.game is not None:
            options["game"], name = args.game, args.game
        else:
            options["integration"], name = str(args.integration), args.integration.name
        if args.rom is not None:
            options["rom"] = str(args.rom)
    if args.state is not None:
        if env_id == DEMO_ID:
            error("--state names a start state of --game or --integration")
        options["state"] = None if args.state.lower() == "none" else args.state
    for item in args.env_option:
        try:
            key, value = parse_option(item)
        except (TypeError, ValueError) as problem:
            error(f"--env-option {problem}")
        if key in ("rom", "game", "integration", "state", "render_mode"):
            error(f"--env-option {key}: give the game with --game, --integration, --rom and --state")
        options[key] = value
    merged = {**ENV_OPTIONS, **options}
    if merged["obs_type"] not in PICTURES and not any(item.startswith("screen_size=") for item in args.env_option):
        options["screen_size"] = None  # --screen-size's default is for pictures
    size = merged.get("screen_size")
    sizes = size if isinstance(size, tuple) else (size, size)
    if merged["obs_type"] in PICTURES and size is not None and min(sizes) < 36:
        error("--screen-size must be at least 36: the CNN's three convolutions need that much")
    return env_id, options, name


def evaluate(args: argparse.Namespace, env_id: str, options: dict[str, Any]) -> int:
    """The saved model's mean return over --eval-episodes, against random play."""
    from stable_baselines3 import PPO

    model = PPO.load(args.evaluate, device="cpu")
    env = make_env(
        min(args.envs, args.eval_episodes), args.seed + 20_000, threads=args.threads, options=options, env_id=env_id
    )
    shape = env.observation_space.shape
    if model.observation_space.shape not in (shape, shape[-1:] + shape[:-1]) or model.action_space != env.action_space:
        env.close()
        trained = args.evaluate.with_name("summary.json")
        hint = f" ({trained} names them)" if trained.is_file() else ""
        print(
            f"{args.evaluate}: the model takes observations {model.observation_space.shape} and actions "
            f"{model.action_space}, this environment gives {shape} and {env.action_space}: give the game and "
            f"options it was trained with{hint}",
            file=sys.stderr,
        )
        return 2
    returns = play(env, args.eval_episodes, model, seed=args.seed, max_steps=args.eval_max_steps)
    env.close()
    random_env = make_env(
        min(args.envs, args.random_episodes), args.seed + 10_000, threads=args.threads, options=options, env_id=env_id
    )
    random_returns = play(random_env, args.random_episodes, seed=args.seed, max_steps=args.eval_max_steps)
    random_env.close()

    def described(values: list[float]) -> str:
        if not values:
            return "no episode ended within --eval-max-steps"
        return f"{len(values)} episodes, mean return {np.mean(values):.2f} ({min(values):g} to {max(values):g})"

    print(f"trained policy ({args.evaluate}): {described(returns)}")
    print(f"random policy: {described(random_returns)}")
    return 0


def check_counts(cli: argparse.ArgumentParser, args: argparse.Namespace, *counts: int) -> None:
    """Refuses a count below 1: among the options both trainers take, and `counts`."""
    shared = (
        args.steps,
        args.epochs,
        args.window,
        args.random_episodes,
        args.eval_episodes,
        args.curve_episodes,
        args.torch_threads,
        args.eval_max_steps,
        args.eval_every if args.eval_every is not None else 1,
    )
    if min(shared + counts) < 1:
        cli.error("counts must be at least 1")


def main(argv: list[str] | None = None) -> int:
    cli = parser()
    args = cli.parse_args(argv)
    check_counts(cli, args, args.envs, args.n_steps, args.batch_size)
    env_id, options, name = settings(args, cli.error)
    if args.evaluate is not None and not args.evaluate.is_file():
        cli.error(f"--evaluate {args.evaluate}: no such file")

    import torch

    torch.set_num_threads(args.torch_threads)
    try:
        if args.evaluate is not None:
            return evaluate(args, env_id, options)
        env = make_env(args.envs, args.seed, threads=args.threads, options=options, env_id=env_id)
    except (TypeError, ValueError, OSError) as problem:  # the game or an option refused
        cli.error(str(problem))

    import imageio.v2 as imageio
    from stable_baselines3 import PPO
    from stable_baselines3.common.callbacks import BaseCallback

    out = args.out or Path("runs") / f"ppo-{name}"
    out.mkdir(parents=True, exist_ok=True)
    # Ten evaluations a run, and never more than one per rollout.
    eval_every = args.eval_every or max(args.steps // 10, args.n_steps * args.envs)

    random_env = make_env(
        min(args.envs, args.random_episodes), args.seed + 10_000, threads=args.threads, options=options, env_id=env_id
    )
    random_returns = play(random_env, args.random_episodes, seed=args.seed, max_steps=args.eval_max_steps)
    random_env.close()
    random_mean = float(np.mean(random_returns)) if random_returns else 0.0
    print(f"random policy: {len(random_returns)} episodes, mean return {random_mean:.2f}")

    points: list[tuple[int, float]] = []
    evaluations: list[tuple[int, list[float]]] = []
    curve_env = make_env(
        min(args.envs, args.curve_episodes), args.seed + 30_000, threads=args.threads, options=options, env_id=env_id
    )

    class Progress(BaseCallback):
        """Each training episode's return as it ends, and an evaluation of the deterministic
        policy every `eval_every` steps: the curve's points, which do not lag behind long
        episodes as finished training episodes do."""

        next_evaluation = 0
        seconds = 0.0  # spent evaluating

        def _evaluate(self) -> None:
            began = time.perf_counter()
            returns = play(curve_env, args.curve_episodes, self.model, seed=args.seed, max_steps=args.eval_max_steps)
            self.seconds += time.perf_counter() - began
            evaluations.append((self.num_timesteps, returns))
            mean = f"{np.mean(returns):.2f}" if returns else "none ended"
            print(
                f"  {self.num_timesteps} steps, {time.perf_counter() - started:.0f} s: evaluation mean return {mean}",
                flush=True,
            )
            self.next_evaluation = self.num_timesteps + eval_every

        def _on_training_start(self) -> None:
            self._evaluate()

        def _on_step(self) -> bool:
            for done, info in zip(self.locals["dones"], self.locals["infos"]):
                if done and "episode" in info:
                    points.append((self.num_timesteps, float(info["episode"]["r"])))
            if self.num_timesteps >= self.next_evaluation:
                self._evaluate()
            return True

    pictures = {**ENV_OPTIONS, **options}["obs_type"] in PICTURES
    # The Atari settings of the RL Baselines3 Zoo.
    model = PPO(
        "CnnPolicy" if pictures else "MlpPolicy",
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
    progress = Progress()
    started = time.perf_counter()
    model.learn(args.steps, callback=progress)
    seconds = time.perf_counter() - started - progress.seconds  # training alone
    trained = model.num_timesteps
    env.close()
    curve_env.close()
    model.save(out / "model.zip")
    last = [r for _, r in points[-args.window :]]
    print(
        f"trained {trained} steps in {seconds:.0f} s ({trained / seconds:.0f} steps/s; evaluations took "
        f"{progress.seconds:.0f} s more), {len(points)} episodes; "
        f"mean of the last {len(last)}: {np.mean(last) if last else float('nan'):.2f}"
    )

    eval_env = make_env(
        min(args.envs, args.eval_episodes),
        args.seed + 20_000,
        threads=args.threads,
        render=True,
        options=options,
        env_id=env_id,
    )
    frames: list[np.ndarray] = []
    eval_returns = play(
        eval_env, args.eval_episodes, model, seed=args.seed, max_steps=args.eval_max_steps, frames=frames
    )
    fps = eval_env.get_attr("metadata")[0]["render_fps"]
    eval_env.close()
    evaluations.append((trained, eval_returns))
    imageio.mimwrite(out / "eval.mp4", frames, fps=fps, macro_block_size=16)
    eval_mean = float(np.mean(eval_returns)) if eval_returns else float("nan")
    print(
        f"trained policy: {len(eval_returns)} episodes, mean return {eval_mean:.2f}; "
        f"video of {len(frames)} steps at {fps:.2f} per second"
    )

    merged = {**ENV_OPTIONS, **options}
    size = merged.get("screen_size")
    shown = merged["obs_type"]
    if pictures:
        shown += " full size" if size is None else " {}x{}".format(*(size if isinstance(size, tuple) else (size, size)))
    plot(
        evaluations,
        points,
        args.window,
        random_mean,
        out / "curve.png",
        f"PPO on {name}, {shown}: {trained} steps in {seconds / 60:.1f} min",
        " (orbs caught)" if env_id == DEMO_ID else "",
    )
    summary = {
        "env_id": env_id,
        "options": merged,
        "frame_stack": FRAME_STACK,
        "envs": args.envs,
        "steps": trained,
        "seconds": seconds,
        "evaluation_seconds": progress.seconds,
        "steps_per_second": trained / seconds,
        "episodes": len(points),
        "train_last_mean": float(np.mean(last)) if last else None,
        "random_mean": random_mean,
        "random_episodes": len(random_returns),
        "eval_mean": eval_mean,
        "eval_episodes": len(eval_returns),
        "eval_returns": eval_returns,
        "video_steps": len(frames),
        "evaluations": [{"steps": step, "returns": returns} for step, returns in evaluations],
        "training_episodes": points,
    }
    (out / "summary.json").write_text(json.dumps(summary, indent=1, default=str))
    return 0


if __name__ == "__main__":
    sys.exit(main())
