"""python -m velkora_gym.integration check FOLDER [--rom ROM] [--episodes N]
python -m velkora_gym.integration list

``check`` loads an integration folder, reports every problem at once, then plays N random
episodes and prints each one's length, return and what ended it, so a done condition that
never fires (or fires at once) shows. Exit status 0 when the folder loads and its episodes
ran, 1 when it cannot load or run, 2 for bad arguments.

``list`` prints the search path and every game on it: its folder and where its ROM is.
"""

from __future__ import annotations

import argparse
import sys
import warnings
from collections.abc import Callable
from pathlib import Path

from velkora_gym.batch import check_board, read_image
from velkora_gym.console import RENDER_FPS
from velkora_gym.files import imported_folder
from velkora_gym.integration import folders as integrations
from velkora_gym.integration import roms
from velkora_gym.integration.lua import ScriptError


def _problems(
    folder: Path, rom: str | None, state: str | None, say: Callable[[str], None]
) -> tuple[list[str], integrations.Integration | None]:
    """Everything wrong with the folder (and its ROM and start state), found in one pass."""
    try:
        game = integrations.load(folder)
    except integrations.IntegrationError as error:
        return error.problems, None
    problems: list[str] = []

    def count(n: int, what: str) -> str:
        return f"{n} {what}{'' if n == 1 else 's'}"

    say(
        f"{folder}: {count(len(game.variables), 'variable')}, {count(len(game.rewards), 'reward variable')}"
        f"{', a reward script' if game.reward_script else ''}, {count(len(game.done), 'done variable')}, "
        f"{count(len(game.nodes), 'done node')}{', a done script' if game.done_script else ''}"
    )
    path = Path(rom) if rom is not None else roms.find_rom(folder, game.rom_sha)
    if path is None:
        problems.append(roms.missing_rom(folder, game.rom_sha))
    else:
        try:
            image = read_image(path)
            check_board(image)
        except (OSError, ValueError) as error:
            problems.append(f"{path}: {error}")
        else:
            if not game.rom_sha:
                say(f"ROM: {path} (the folder has no rom.sha to check it against)")
            elif roms.matches(image, game.rom_sha):
                say(f"ROM: {path} (SHA-1 matches rom.sha)")
            else:
                say(f"warning: ROM {path} has SHA-1 {roms.hashes(image)[0]}, not the one in rom.sha")
    start = state if state is not None else game.default_state
    if start is not None:
        try:
            game.state(start)
            say(f"start state: {game.state_path(start)}")
        except ValueError as error:
            problems.append(str(error))
    else:
        say("start state: none (episodes start at power-on)")
    for name in game.states:
        if name != start:
            try:
                game.state(name)
            except ValueError as error:
                say(f"warning: {error}")
    return problems, game


def _episodes(
    folder: Path,
    rom: str | None,
    state: str | None,
    episodes: int,
    max_frames: int,
    seed: int,
    say: Callable[[str], None],
) -> None:
    from velkora_gym.envs.core import DEFAULT_STATE
    from velkora_gym.envs.single import VelkoraEnv

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a ROM that differs from rom.sha was reported above
        env = VelkoraEnv(
            rom,
            integration=str(folder),
            state=DEFAULT_STATE if state is None else state,
            obs_type="ram",
            max_episode_frames=max_frames,
        )
    say(
        f"actions: {env.action_space}; {episodes} random episode{'s' if episodes != 1 else ''} "
        f"of at most {max_frames} frames"
    )
    env.action_space.seed(seed)
    lengths, ends = [], []
    for episode in range(episodes):
        env.reset(seed=seed + episode)
        steps, total, terminated, truncated, info = 0, 0.0, False, False, {}
        largest, largest_at = 0.0, 0
        while not (terminated or truncated):
            _, reward, terminated, truncated, info = env.step(env.action_space.sample())
            total += reward
            steps += 1
            if abs(reward) > abs(largest):
                largest, largest_at = reward, steps
        frames = info["episode_frame_number"]
        if terminated:
            why = "ended by " + ("; ".join(env.ended_by()) or "the done condition")
        else:
            why = f"cut at the time limit ({max_frames} frames)"
        # The largest reward of a step shows a variable that jumps (at the end, say).
        say(
            f"episode {episode + 1}: {steps} steps, {frames} frames ({frames / RENDER_FPS:.1f} s), "
            f"return {total:g} (largest step {largest:g} at step {largest_at}), {why}"
        )
        lengths.append(steps)
        ends.append(terminated)
    if not any(ends):
        say("note: no episode ended before the time limit: does the done condition ever hold?")
    elif all(n == 1 for n in lengths):
        say("note: every episode ended at its first step: does the done condition hold at the start?")


def rom_state(folder: Path) -> str:
    """Where a game's ROM is found, or why it is not."""
    try:
        shas = integrations.read_sha(folder / "rom.sha") if (folder / "rom.sha").exists() else ()
    except integrations.IntegrationError as error:
        return f"unknown: {error}"
    path = roms.find_rom(folder, shas)
    if path is None:
        if not shas:
            return "none (no rom.nes in the folder and no rom.sha to import one by): give rom="
        return "not imported: python -m velkora_gym.import ROM_DIR"
    if path.parent == folder:
        return f"{path.name} in the folder"
    if path.parent == imported_folder():
        return f"imported ({path})"
    return f"comes with velkora ({path})"


def list_games(say: Callable[[str], None]) -> None:
    say("search path, in order:")
    for folder, origin in integrations.search_folders():
        say(f"  {folder} ({origin}{'' if folder.is_dir() else ', missing'})")
    games = integrations.games()
    say(f"{len(games)} game{'s' if len(games) != 1 else ''}:")
    width = max((len(name) for name in games), default=0)
    for name, folder in games.items():
        say(f"  {name:<{width}}  {folder}  ROM: {rom_state(folder)}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m velkora_gym.integration", description="Tools for integration folders."
    )
    commands = parser.add_subparsers(dest="command", required=True)
    check = commands.add_parser("check", help="load a folder, report its problems, play random episodes")
    check.add_argument("folder", type=Path)
    check.add_argument("--rom", help="the ROM to use (default: rom.nes in the folder, or the imported one)")
    check.add_argument("--state", help="the start state (default: metadata.json's default_state)")
    check.add_argument("--episodes", type=int, default=5, help="random episodes to play (default 5)")
    check.add_argument(
        "--max-frames",
        type=int,
        default=108_000,
        help="frames after which an episode is cut (default 108000, 30 minutes)",
    )
    check.add_argument("--seed", type=int, default=0)
    commands.add_parser("list", help="the search path and every game on it, with its folder and ROM")
    args = parser.parse_args(argv)
    if args.command == "list":
        list_games(print)
        return 0
    if args.episodes < 0 or args.max_frames < 1:
        parser.error("--episodes must be 0 or more and --max-frames 1 or more")

    problems, game = _problems(args.folder, args.rom, args.state, print)
    if problems:
        print(f"{args.folder}: {len(problems)} problem{'s' if len(problems) != 1 else ''}:")
        for problem in problems:
            print(f"  {problem}")
        return 1
    try:
        _episodes(args.folder, args.rom, args.state, args.episodes, args.max_frames, args.seed, print)
    except ScriptError as error:
        # A script that fails or runs past its budget in play is the folder's problem too.
        print(f"{args.folder}: 1 problem:")
        print(f"  {str(error).splitlines()[0]}")
        return 1
    except (ValueError, RuntimeError, OSError, ImportError) as error:
        print(f"{args.folder}: cannot run it: {error}")
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
