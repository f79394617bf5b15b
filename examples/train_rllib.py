"""Trains PPO with RLlib on a velkora game, each env runner stepping a native vector env of
consoles, on this machine or a Ray cluster; resumes a run, or evaluates its checkpoint.

    python examples/train_rllib.py [--game NAME | --integration DIR] [--rom ROM] [--state NAME|none]
        [--env-option KEY=VALUE ...] [--steps 300000] [--env-runners 2] [--envs-per-runner 4]
        [--address auto|HOST:PORT] [--out DIR] [--seed 0] [--self-play [--policy-per-player]]
    python examples/train_rllib.py --resume DIR [--steps N]      # on to N steps in all
    python examples/train_rllib.py --evaluate DIR/checkpoint

Without --game, --integration or --rom it trains the demo game (velkora/Demo-v0); the game
options are those of examples/train_ppo.py (84x84 grayscale, 4 frames a step, sticky
actions, up to 30 no-op frames at each start), with the last 4 pictures stacked natively.
--self-play trains both players of the two-player demo cartridge (or of --game) with one
policy shared by both, or with --policy-per-player one each.

Without --address a Ray instance is started here with --cpus CPUs (default: the machine's);
with --address (auto, or the head's HOST:PORT) the env runners spread over a running
cluster. Every env runner and learner actor asks Ray for an equal share of the cluster's
CPUs, at most one, and runs one native thread; torch runs --torch-threads threads here.

Writes to --out (default runs/rllib-GAME, or runs/rllib-selfplay): checkpoint/ (the
algorithm: restored by --resume, whose modules --evaluate loads without Ray), curve.png (the
trained policy's mean return over --curve-episodes episodes every --eval-every steps, its
actions drawn from it as in training, or with --greedy its most likely ones; the training
episodes' running mean behind it, a random policy's mean as a line) and summary.json.
Needs: pip install velkora[rllib].
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import train_ppo  # noqa: E402  the game's arguments, random actions and the curve

DEMO_ID = train_ppo.DEMO_ID
ENV_OPTIONS: dict[str, Any] = {**train_ppo.ENV_OPTIONS, "frame_stack": 4}
TWO_PLAYER_OPTIONS: dict[str, Any] = {"obs_type": "grayscale", "screen_size": 84, "frame_stack": 4}
CHECKPOINT = "checkpoint"
MODULES = Path("learner_group") / "learner" / "rl_module"
# The settings a run keeps in summary.json, which --resume and --evaluate read back.
SETTINGS = ("env_id", "options", "name", "self_play", "policy_per_player")


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0].replace("\n", " "),
        epilog="\n\n".join(__doc__.split("\n\n")[1:]),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    train_ppo.game_arguments(p)
    p.add_argument("--self-play", action="store_true", help="both players of a two-player game, one shared policy")
    p.add_argument("--policy-per-player", action="store_true", help="with --self-play: one policy for each player")
    p.add_argument("--evaluate", type=Path, metavar="CHECKPOINT", help="evaluate a checkpoint instead of training")
    p.add_argument("--resume", type=Path, metavar="DIR", help="continue the run in DIR from its checkpoint")
    p.add_argument("--address", help="a running Ray cluster (auto, or the head's HOST:PORT); default: start one here")
    p.add_argument("--cpus", type=int, help="CPUs of the Ray instance started here (default: the machine's)")
    p.add_argument("--steps", type=int, default=300_000, help="environment steps of training (with --resume: in all)")
    p.add_argument("--env-runners", type=int, default=2, help="env runner actors (0: sample in this process)")
    p.add_argument("--envs-per-runner", type=int, default=4, help="consoles in each env runner's vector env")
    p.add_argument(
        "--threads", type=int, help="native threads of each env runner (default: its whole CPUs, at least 1)"
    )
    p.add_argument("--rollout", type=int, default=128, help="steps each console samples for an update")
    p.add_argument("--minibatch", type=int, default=256, help="steps of a minibatch (at most an update's)")
    p.add_argument("--out", type=Path, help="the folder written (default runs/rllib-GAME)")
    p.add_argument(
        "--greedy", action="store_true", help="evaluate the policy's most likely actions, not actions drawn from it"
    )
    train_ppo.evaluation_arguments(p)
    return p


def settings(args: argparse.Namespace, error) -> dict[str, Any]:
    """The game and its options, from the arguments, or from the run that --resume or
    --evaluate names."""
    given = (args.game or args.integration or args.rom or args.state or args.env_option or args.self_play) or (
        args.obs_type,
        args.screen_size,
    ) != (ENV_OPTIONS["obs_type"], ENV_OPTIONS["screen_size"])
    summary = None
    if args.resume is not None:
        summary = args.resume / "summary.json"
    elif args.evaluate is not None and (args.evaluate.parent / "summary.json").is_file():
        summary = args.evaluate.parent / "summary.json"
    if summary is not None:
        if given:
            error("--resume and --evaluate take the game and options of the run (its summary.json)")
        if not summary.is_file():
            error(f"--resume {args.resume}: no summary.json there")
        run = json.loads(summary.read_text())
        return {key: run[key] for key in SETTINGS}
    if args.policy_per_player and not args.self_play:
        error("--policy-per-player goes with --self-play")
    env_id, options, name = train_ppo.settings(args, error)
    if args.self_play:
        options = {**TWO_PLAYER_OPTIONS, **options}
        name = "selfplay" if env_id == DEMO_ID else f"selfplay-{name}"
    else:
        options = {**ENV_OPTIONS, **options}
    if options.get("obs_type") not in train_ppo.PICTURES:
        options.pop("frame_stack", None)
    return {
        "env_id": env_id,
        "options": options,
        "name": name,
        "self_play": args.self_play,
        "policy_per_player": args.policy_per_player,
    }


# --- playing: evaluations and the random policy, in this process ---
def act(module, observations: np.ndarray, greedy: bool) -> np.ndarray:
    """The module's actions for a batch of observations: drawn from its distribution, as in
    training, or its most likely ones."""
    import torch
    from ray.rllib.core.columns import Columns

    with torch.no_grad():
        out = module.forward_inference({Columns.OBS: torch.from_numpy(observations)})
        dist = module.get_inference_action_dist_cls().from_logits(out[Columns.ACTION_DIST_INPUTS])
        return (dist.to_deterministic() if greedy else dist).sample().numpy()


def play_vector(
    run: dict[str, Any], episodes: int, module=None, *, seed: int, envs: int, max_steps: int, greedy: bool = False
):
    """Returns of the first `episodes` episodes on a vector env of `envs` consoles: the
    module's actions, or uniformly random ones."""
    import gymnasium as gym
    import torch

    torch.manual_seed(seed)  # the policy's draws

    # The modules' MultiDiscrete([2] * 8) actions are the eight buttons' 0s and 1s it takes.
    env = gym.make_vec(
        run["env_id"], num_envs=envs, vectorization_mode="vector_entry_point", threads=1, **run["options"]
    )
    rng = np.random.default_rng(seed)
    observations, _ = env.reset(seed=seed)
    running = np.zeros(env.num_envs)
    returns: list[float] = []
    for _ in range(max_steps):
        if module is None:
            actions = train_ppo.random_actions(env.single_action_space, env.num_envs, rng)
        else:
            actions = act(module, observations, greedy)
        observations, rewards, terminated, truncated, _ = env.step(actions)
        running += rewards
        ended = terminated | truncated
        returns.extend(running[ended].tolist())
        running[ended] = 0.0  # the step after an end restarts, with no reward
        if len(returns) >= episodes:
            break
    env.close()
    return returns[:episodes]


def play_two(run: dict[str, Any], episodes: int, modules=None, *, seed: int, max_steps: int, greedy: bool = False):
    """Both players' summed returns of `episodes` episodes, one after another: each player
    played by its module (`modules` by player), or at random."""
    import torch

    from velkora_gym.train.rllib import VelkoraMultiAgentEnv

    torch.manual_seed(seed)

    options = dict(run["options"])
    env = VelkoraMultiAgentEnv(options)
    rng = np.random.default_rng(seed)
    returns: list[float] = []
    steps = 0
    for episode in range(episodes):
        observations, _ = env.reset(seed=seed + episode)
        total = 0.0
        while steps < max_steps:
            actions = {}
            for agent, seen in observations.items():
                if modules is None:
                    actions[agent] = train_ppo.random_actions(env.action_spaces[agent], 1, rng)[0]
                else:
                    actions[agent] = act(modules[agent], seen[None], greedy)[0]
            observations, rewards, terminated, truncated, _ = env.step(actions)
            steps += 1
            total += sum(rewards.values())
            if terminated["__all__"] or truncated["__all__"]:
                returns.append(total)
                break
        else:
            break
    env.close()
    return returns


def load_modules(checkpoint: Path, run: dict[str, Any]) -> dict[str, Any]:
    """The trained modules by player (one, "default_policy", for one player)."""
    from ray.rllib.core.rl_module.rl_module import RLModule

    folder = checkpoint / MODULES
    found = {path.name: RLModule.from_checkpoint(path) for path in sorted(folder.iterdir()) if path.is_dir()}
    if not run["self_play"]:
        return found
    from velkora_gym.envs.two_player import AGENTS

    return {agent: found[agent if run["policy_per_player"] else "shared"] for agent in AGENTS}


def evaluate_checkpoint(
    args: argparse.Namespace, run: dict[str, Any], checkpoint: Path, episodes: int, seed: int
) -> list[float]:
    """The returns of the checkpoint's policy in `episodes` episodes (--greedy: its most
    likely actions)."""
    modules = load_modules(checkpoint, run)
    for module in modules.values():
        module.eval()
    if run["self_play"]:
        return play_two(run, episodes, modules, seed=seed, max_steps=args.eval_max_steps, greedy=args.greedy)
    (module,) = modules.values()
    envs = min(args.envs_per_runner, episodes)
    return play_vector(run, episodes, module, seed=seed, envs=envs, max_steps=args.eval_max_steps, greedy=args.greedy)


def random_returns(args: argparse.Namespace, run: dict[str, Any]) -> list[float]:
    seed = args.seed + 10_000
    if run["self_play"]:
        return play_two(run, args.random_episodes, seed=seed, max_steps=args.eval_max_steps)
    envs = min(args.envs_per_runner, args.random_episodes)
    return play_vector(run, args.random_episodes, seed=seed, envs=envs, max_steps=args.eval_max_steps)


def described(values: list[float]) -> str:
    if not values:
        return "no episode ended within --eval-max-steps"
    return f"{len(values)} episodes, mean return {np.mean(values):.2f} ({min(values):g} to {max(values):g})"


# --- training ---
def algorithm_config(args: argparse.Namespace, run: dict[str, Any]):
    from ray.rllib.algorithms.ppo import PPOConfig

    from velkora_gym.train.rllib import configure, configure_two_player, fit_cpus, log_returns

    options = dict(run["options"])
    if run["self_play"]:
        stack = options.pop("frame_stack", 1)
        config = configure_two_player(
            PPOConfig(),
            shared=not run["policy_per_player"],
            frame_stack=stack,
            envs_per_runner=args.envs_per_runner,
            **options,
        )
    else:
        config = configure(
            PPOConfig(), run["env_id"], envs_per_runner=args.envs_per_runner, threads=args.threads, **options
        )
    batch = max(args.env_runners, 1) * args.envs_per_runner * args.rollout
    # The Atari settings of the RL Baselines3 Zoo, as examples/train_ppo.py trains.
    config = (
        config.env_runners(num_env_runners=args.env_runners, rollout_fragment_length=args.rollout)
        .training(
            lr=[[0, 2.5e-4], [args.steps, 0.0]],
            train_batch_size_per_learner=batch,
            minibatch_size=min(args.minibatch, batch),
            num_epochs=args.epochs,
            clip_param=0.1,
            entropy_coeff=0.01,
            vf_loss_coeff=0.5,
            grad_clip=0.5,
            lambda_=0.95,
            gamma=0.99,
        )
        .callbacks(on_sample_end=log_returns)
        .debugging(seed=args.seed)
    )
    return fit_cpus(config)


def where(algo) -> list[str]:
    """What each env runner holds, and where it runs."""

    def describe(runner) -> str:
        import ray

        env = runner.env.unwrapped
        if hasattr(env, "_batch"):
            holds = f"{type(env).__name__} of {runner.num_envs} consoles on {env._batch.threads} native thread(s)"
        else:
            holds = f"{runner.num_envs} x {type(env.envs[0].unwrapped).__name__}, a console each"
        node = f"{ray.get_runtime_context().get_node_id()[:8]} ({ray.util.get_node_ip_address()})"
        return f"env runner {runner.worker_index}: node {node}, pid {os.getpid()}: {holds}"

    local = algo.env_runner_group.num_remote_env_runners() == 0
    return algo.env_runner_group.foreach_env_runner(describe, local_env_runner=local)


def train(args: argparse.Namespace, run: dict[str, Any], out: Path) -> int:
    from ray.rllib.utils.metrics import ENV_RUNNER_RESULTS, NUM_ENV_STEPS_SAMPLED_LIFETIME

    from velkora_gym.train.rllib import returns_of

    summary_path = out / "summary.json"
    # A resumed run goes on from its checkpoint and from the summary written with it.
    summary: dict[str, Any] = json.loads(summary_path.read_text()) if args.resume is not None else {}
    config = algorithm_config(args, run)
    algo = config.build_algo()
    try:
        if summary:
            algo.restore_from_path((out / CHECKPOINT).resolve())
        nodes = where(algo)
        print("\n".join(nodes))
        print(
            f"each env runner: {config.num_cpus_per_env_runner:g} CPU; {args.env_runners} env runners x "
            f"{args.envs_per_runner} consoles, {config.train_batch_size_per_learner} steps an update"
        )
        steps = int(algo.metrics.peek((ENV_RUNNER_RESULTS, NUM_ENV_STEPS_SAMPLED_LIFETIME), default=0))
        if summary:
            print(f"resumed at {steps} steps (iteration {algo.iteration})")
        else:
            randoms = random_returns(args, run)
            print(f"random policy: {described(randoms)}")
            summary = {
                **run,
                "random_mean": float(np.mean(randoms)) if randoms else 0.0,
                "random_episodes": len(randoms),
                "seconds": 0.0,
                "evaluation_seconds": 0.0,
                "evaluations": [],
                "training": [],
            }
        summary.update(
            env_runners=args.env_runners,
            envs_per_runner=args.envs_per_runner,
            cpus_per_env_runner=config.num_cpus_per_env_runner,
            where=nodes,
        )
        evaluations, points = summary["evaluations"], summary["training"]
        eval_every = args.eval_every or max(args.steps // 10, config.train_batch_size_per_learner)
        next_evaluation = evaluations[-1]["steps"] + eval_every if evaluations else 0
        began, trained = time.perf_counter(), summary["seconds"]
        while True:
            if steps >= next_evaluation or steps >= args.steps:
                summary["seconds"] = trained + time.perf_counter() - began
                final = steps >= args.steps
                paused = time.perf_counter()
                algo.save_to_path((out / CHECKPOINT).resolve())
                returns = evaluate_checkpoint(
                    args,
                    run,
                    out / CHECKPOINT,
                    args.eval_episodes if final else args.curve_episodes,
                    args.seed + (20_000 if final else 30_000),
                )
                evaluations.append({"steps": steps, "returns": returns})
                summary.update(steps=steps, iterations=algo.iteration)
                summary["evaluation_seconds"] += time.perf_counter() - paused
                began += time.perf_counter() - paused  # the clock of training alone
                summary_path.write_text(json.dumps(summary, indent=1))
                mean = f"{np.mean(returns):.2f}" if returns else "none ended"
                print(f"  {steps} steps, {summary['seconds']:.0f} s: evaluation mean return {mean}", flush=True)
                next_evaluation = steps + eval_every
                if final:
                    break
            result = algo.train()
            steps = int(result[NUM_ENV_STEPS_SAMPLED_LIFETIME])
            points.extend([steps, r] for r in returns_of(result))
    finally:
        algo.stop()

    seconds, returns = summary["seconds"], evaluations[-1]["returns"]
    summary.update(
        steps_per_second=steps / max(seconds, 1e-9),
        eval_mean=float(np.mean(returns)) if returns else None,
        eval_returns=returns,
    )
    summary_path.write_text(json.dumps(summary, indent=1))
    print(
        f"trained {steps} steps in {summary['iterations']} iterations, {seconds:.0f} s "
        f"({summary['steps_per_second']:.0f} steps/s; evaluations and checkpoints took "
        f"{summary['evaluation_seconds']:.0f} s more)"
    )
    print(f"trained policy: {described(returns)}")
    shown = run["options"].get("obs_type", "")
    size = run["options"].get("screen_size")
    if shown in train_ppo.PICTURES and size is not None:
        shown += " {}x{}".format(*(size if isinstance(size, (tuple, list)) else (size, size)))
    players = "two players, " if run["self_play"] else ""
    unit = (" (orbs caught" + (", both players)" if run["self_play"] else ")")) if run["env_id"] == DEMO_ID else ""
    train_ppo.plot(
        [(e["steps"], e["returns"]) for e in evaluations],
        [tuple(point) for point in points],
        args.window,
        summary["random_mean"],
        out / "curve.png",
        f"RLlib PPO on {run['name']}, {players}{shown}: {steps} steps in {seconds / 60:.1f} min",
        unit,
        "most likely actions" if args.greedy else "actions drawn from it",
    )
    return 0


def main(argv: list[str] | None = None) -> int:
    cli = parser()
    args = cli.parse_args(argv)
    cpus = args.cpus if args.cpus is not None else 1
    train_ppo.check_counts(cli, args, args.envs_per_runner, args.rollout, args.minibatch, args.env_runners + 1, cpus)
    if args.evaluate is not None and args.resume is not None:
        cli.error("--evaluate and --resume: one or the other")
    if args.evaluate is not None and not (args.evaluate / MODULES).is_dir():
        cli.error(f"--evaluate {args.evaluate}: not a checkpoint of this script (no {MODULES} in it)")
    if args.resume is not None and not (args.resume / CHECKPOINT).is_dir():
        cli.error(f"--resume {args.resume}: no {CHECKPOINT} there")
    run = settings(args, cli.error)

    import torch

    torch.set_num_threads(args.torch_threads)
    try:
        # The options checked here, before Ray starts: a game that is not there is refused at once.
        if run["self_play"]:
            from velkora_gym.train.rllib import VelkoraMultiAgentEnv

            VelkoraMultiAgentEnv(run["options"]).close()
        else:
            import gymnasium as gym

            import velkora_gym  # noqa: F401  registers the velkora ids

            gym.make_vec(run["env_id"], num_envs=1, vectorization_mode="vector_entry_point", **run["options"]).close()
    except (TypeError, ValueError, OSError) as problem:
        cli.error(str(problem))

    if args.evaluate is not None:
        returns = evaluate_checkpoint(args, run, args.evaluate, args.eval_episodes, args.seed + 20_000)
        print(f"trained policy ({args.evaluate}): {described(returns)}")
        print(f"random policy: {described(random_returns(args, run))}")
        return 0

    import ray

    out = args.resume or args.out or Path("runs") / f"rllib-{run['name']}"
    out.mkdir(parents=True, exist_ok=True)
    started = not ray.is_initialized()
    if started:
        if args.address:
            ray.init(address=args.address, log_to_driver=False)
        else:
            ray.init(num_cpus=args.cpus, include_dashboard=False, log_to_driver=False)
    try:
        return train(args, run, out)
    finally:
        if started:
            ray.shutdown()


if __name__ == "__main__":
    sys.exit(main())
