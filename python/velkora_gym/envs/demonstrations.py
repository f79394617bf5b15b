"""Demonstrations: record an environment's episodes as movies, and turn movies into the
arrays imitation learning trains on.

``RecordMovie(env, folder)`` wraps a ``VelkoraEnv`` and writes each episode as a movie: a
snapshot taken after ``reset`` plus the buttons of every frame the console ran. Such a
movie replays exactly, and so do the player's and the studio's.

``python -m velkora_gym.demonstrations MOVIE... --env-options KEY=VALUE... --out FILE.npz``
replays movies through a ``VelkoraEnv`` with those options (frame skip, observation type,
integration, ...) and writes, one row per environment step:

- ``observations`` the observation the action was taken in, ``actions``, ``masks`` (the
  joypad mask each action pressed), ``rewards``, ``terminated``, ``truncated``,
  ``episode_starts`` (True on each episode's first step);

and, one row per movie: ``final_observations`` (the observation after the last step),
``episode_lengths`` and ``movies`` (their file names). A step covers frame-skip frames of
the movie, which must all hold one button mask that an action of the set presses;
``--nearest`` plays the closest action instead (fewest buttons different, the mask held
longest within the step), so the replay follows the environment and may drift from the
movie. Player 2's buttons are refused: the environment has one player.

A nearest action that changes the game (Start on a title screen left out, say) is named:
the frames, the buttons the movie pressed there and the options whose actions would press
them. ``--strict`` then refuses the movie; by default it is refused only when its episode
never ended, since the replay then most likely lost the movie's game (``--no-strict``
writes the arrays anyway).

``load(path)`` reads such a file back, a file others may have made: it checks the arrays'
names, kinds and shapes against each other from the file's headers, and refuses a file that
would take more than ``max_bytes`` (or that needs pickle) before allocating anything, with a
``ValueError`` naming the file.
"""

from __future__ import annotations

import argparse
import itertools
import json
import math
import struct
import sys
import warnings
import zipfile
import zlib
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import gymnasium as gym
import numpy as np
from gymnasium import spaces

from velkora_gym.actions import action_masks, mask_name
from velkora_gym.batch import Batch
from velkora_gym.envs.options import parse_option
from velkora_gym.envs.single import VelkoraEnv
from velkora_gym.movie import Movie

__all__ = ["RecordMovie", "action_table", "demonstrations", "load", "main"]

# The movie fixes where each replay starts and that every frame plays its own buttons.
_FIXED = ("state", "start_state", "start_frames", "noop_max", "repeat_action_probability")


class RecordMovie(gym.Wrapper):
    """Records every episode of a ``VelkoraEnv`` as a ``Movie``.

    Each episode's movie starts from a snapshot taken right after ``reset`` and holds the
    buttons of every frame the console ran, sticky frames included, so it replays the
    episode exactly. With ``folder`` each finished episode is saved there as
    ``{name_prefix}-{n:06d}{suffix}`` (``suffix`` ".vmv", ".fm2", or either with ".gz").
    ``last_movie`` is the latest finished movie and ``saved`` the paths written.

    Nothing is lost: an episode cut short by ``reset`` or ``close`` is saved too, steps
    taken after an episode ended go into a movie of their own, and ``restore_state``
    through the wrapper starts a new movie from the restored state. Wrap the
    ``VelkoraEnv`` itself: a wrapper underneath that steps it more than once per step
    would hide frames, and that is refused with ``RuntimeError``."""

    def __init__(
        self, env: gym.Env, folder: str | Path | None = None, *, name_prefix: str = "episode", suffix: str = ".vmv"
    ) -> None:
        super().__init__(env)
        if not isinstance(env.unwrapped, VelkoraEnv):
            raise TypeError(f"RecordMovie records a VelkoraEnv, not {type(env.unwrapped).__name__}")
        if not suffix.startswith("."):
            raise ValueError(f"suffix must start with '.', not {suffix!r}")
        self.folder = Path(folder) if folder is not None else None
        if self.folder is not None:
            self.folder.mkdir(parents=True, exist_ok=True)
        self.name_prefix = name_prefix
        self.suffix = suffix
        self.movie: Movie | None = None  # the one being recorded
        self.last_movie: Movie | None = None
        self.saved: list[Path] = []
        self.episodes = 0
        self._first: Movie | None = None  # the cartridge's checks, made once
        self._frames = 0  # the environment's episode frames when the movie started

    def _velkora(self) -> VelkoraEnv:
        return self.env.unwrapped  # type: ignore[return-value]

    def _begin(self) -> None:
        velkora = self._velkora()
        start = velkora.clone_state()
        if self._first is None:
            self._first = Movie(velkora._setup.image, start)
            self.movie = self._first
        else:
            self.movie = self._first._sibling(start)
        self._frames = int(velkora._driver.episode_frames[0])

    def _finish(self) -> None:
        movie, self.movie = self.movie, None
        if movie is None or len(movie) == 0:
            return
        self.last_movie = movie
        if self.folder is not None:
            path = self.folder / f"{self.name_prefix}-{self.episodes:06d}{self.suffix}"
            movie.save(path)
            self.saved.append(path)
        self.episodes += 1

    def reset(self, *, seed: int | None = None, options: dict[str, Any] | None = None):
        self._finish()
        result = self.env.reset(seed=seed, options=options)
        self._begin()
        return result

    def step(self, action: object):
        if self.movie is None:
            raise gym.error.ResetNeeded("call reset before step")
        result = self.env.step(action)
        velkora = self._velkora()
        pressed = velkora.pressed()
        self.movie.extend(pressed & 0xFF, pressed >> 8)
        frames = int(velkora._driver.episode_frames[0]) - self._frames
        if frames != len(self.movie):
            raise RuntimeError(
                f"the console ran {frames} frames in this episode but RecordMovie saw "
                f"{len(self.movie)}: wrap the VelkoraEnv itself, beneath wrappers that step it"
            )
        if result[2] or result[3]:
            self._finish()
            self._begin()  # in case stepping goes on without a reset
        return result

    def restore_state(self, data: bytes) -> None:
        """Restores a snapshot (``clone_state``'s bytes) and records on from there in a new
        movie; the movie so far is finished as it stands."""
        self._finish()
        self._velkora().restore_state(data)
        self._begin()

    def clone_state(self, *, picture: bool = True) -> bytes:
        return self._velkora().clone_state(picture=picture)

    def close(self) -> None:
        self._finish()
        super().close()


def action_table(space: spaces.Space, env: VelkoraEnv) -> tuple[np.ndarray, list[Any]]:
    """Every action of the environment's space and the joypad mask it presses: (masks,
    actions), first action first, so the first of equal masks wins."""
    setup = env._setup
    if isinstance(space, spaces.Discrete):
        actions: list[Any] = list(range(int(space.n)))
        masks = setup.masks_of(np.arange(space.n), int(space.n), space)
    elif isinstance(space, spaces.MultiBinary):
        actions = [np.array([(mask >> bit) & 1 for bit in range(8)], np.int8) for mask in range(256)]
        masks = np.arange(256, dtype=np.uint8)
    elif isinstance(space, spaces.MultiDiscrete):
        actions = [np.array(choice, np.int64) for choice in itertools.product(*(range(int(n)) for n in space.nvec))]
        masks = setup.masks_of(np.array(actions), len(actions), space)
    else:
        raise TypeError(f"no joypad masks for an action space {space}")
    return np.asarray(masks, np.uint8), actions


_POPCOUNT = np.array([v.bit_count() for v in range(256)], np.uint8)


class _Mapper:
    """Joypad masks to actions: exactly, or to the nearest when allowed."""

    def __init__(self, env: VelkoraEnv, nearest: bool) -> None:
        self.masks, self.actions = action_table(env.action_space, env)
        self.nearest = nearest
        self.exact = {}
        for index, mask in enumerate(self.masks.tolist()):
            self.exact.setdefault(mask, index)
        self.approximated = 0

    def action(self, frames: np.ndarray, where: str) -> tuple[Any, int]:
        """The action for one step's frames (player 1's masks) and the mask it presses."""
        first = int(frames[0])
        if (frames == first).all() and first in self.exact:
            index = self.exact[first]
            return self.actions[index], int(self.masks[index])
        if not self.nearest:
            if not (frames == first).all():
                changed = int(np.flatnonzero(frames != first)[0])
                raise ValueError(
                    f"{where}: the buttons change within the step at frame +{changed} "
                    f"({first:#04x} then {int(frames[changed]):#04x}); no action presses that "
                    f"(--nearest plays the closest action)"
                )
            raise ValueError(
                f"{where}: no action of the set presses the buttons {first:#04x} (--nearest plays the closest "
                f"action; {_options_for([first], self.masks, False)} would press them)"
            )
        self.approximated += 1
        values, counts = np.unique(frames, return_counts=True)
        held = int(values[int(np.argmax(counts))])  # held longest; the lower mask on a tie
        index = int(np.argmin(_POPCOUNT[self.masks ^ held]))
        return self.actions[index], int(self.masks[index])


class _Probe:
    """Whether an approximated step changed the game: two consoles start from the state the
    step started from, one plays the movie's frames and the other the action's, then both
    run a few frames without buttons; the game changed when their memories still differ.
    (A game's copy of the joypad forgets the difference within a frame or two.)"""

    SETTLE = 8

    def __init__(self, image: bytes) -> None:
        self.batch = Batch(image, 2, threads=1, obs_type=None, prg_ram=True)

    def changed(self, state: bytes, frames: np.ndarray, mask: int) -> bool:
        self.batch.restore_many([0, 1], [state, state])
        pads = np.zeros((2, len(frames) + self.SETTLE), np.uint8)
        pads[0, : len(frames)] = frames
        pads[1, : len(frames)] = mask
        self.batch.step(pads, pads.shape[1])
        assert self.batch.prg_ram is not None
        return not (
            np.array_equal(self.batch.ram[0], self.batch.ram[1])
            and np.array_equal(self.batch.prg_ram[0], self.batch.prg_ram[1])
        )


def _options_for(masks: Sequence[int], available: np.ndarray, within_steps: bool) -> str:
    """The options whose actions press every mask of `masks` (and, for buttons that change
    within a step, a step of one frame)."""
    options = []
    if not set(masks) <= set(available.tolist()):
        for name in ("simple", "complex", "all"):
            if set(masks) <= set(action_masks(name).tolist()):  # type: ignore[union-attr]
                options.append(f"actions={name}")
                break
        else:
            options.append("actions=multibinary")
    if within_steps:
        options.append("frameskip=1")
    return f"the option{'s' if len(options) > 1 else ''} {' '.join(options)}"


def _misfits_text(name: str, misfits: list[tuple[int, np.ndarray, int]], available: np.ndarray) -> str:
    """The steps whose nearest action changed the game: frames, buttons, and what would fit."""
    shown = []
    for first, frames, played in misfits[:8]:
        runs = []
        start = 0
        for k in range(1, len(frames) + 1):
            if k == len(frames) or frames[k] != frames[start]:
                if frames[start] != played:
                    span = f"{first + start}" if k - 1 == start else f"{first + start}-{first + k - 1}"
                    runs.append(f"{span} {mask_name(int(frames[start]))}")
                start = k
        plural = "s" if len(runs) > 1 or "-" in runs[0] else ""
        shown.append(f"frame{plural} {', '.join(runs)} (played {mask_name(played)})")
    more = f"; and {len(misfits) - 8} more steps" if len(misfits) > 8 else ""
    masks = sorted({int(m) for _, frames, played in misfits for m in frames if m != played})
    within = any(len(set(frames.tolist())) > 1 for _, frames, _ in misfits)
    return (
        f"{name}: the action set cannot press what the movie presses on {len(misfits)} "
        f"{'step that changes' if len(misfits) == 1 else 'steps that change'} the game: {'; '.join(shown)}{more}; "
        f"{_options_for(masks, available, within)} would press them"
    )


def demonstrations(
    movies: Sequence[Movie],
    names: Sequence[str] | None = None,
    *,
    nearest: bool = False,
    strict: bool | None = None,
    log: Any = None,
    **env_options: Any,
) -> dict[str, np.ndarray]:
    """Replays each movie through a ``VelkoraEnv`` made with ``env_options`` and returns
    the arrays the module's docstring lists.

    With ``nearest``, steps whose nearest action changes the game are named in a warning
    (written to ``log`` when given); ``strict=True`` refuses such a movie with
    ``ValueError``, and ``strict=None`` (default) refuses it when its episode never ended."""
    for key in _FIXED:
        if key in env_options and not (key == "repeat_action_probability" and env_options[key] == 0):
            raise ValueError(f"{key} is fixed by the movie (its start and its buttons): leave it out")
    names = list(names) if names is not None else [f"movie {i}" for i in range(len(movies))]
    rows: dict[str, list[Any]] = {
        key: [] for key in ("observations", "actions", "masks", "rewards", "terminated", "truncated", "episode_starts")
    }
    finals, lengths = [], []
    for movie, name in zip(movies, names):
        if movie.image is None:
            raise ValueError(f"{name}: its cartridge (SHA-1 {movie.sha1}) was not found: give it with --rom")
        buttons = movie.buttons
        if buttons[:, 1].any():
            frame = int(np.flatnonzero(buttons[:, 1])[0])
            raise ValueError(f"{name}: player 2 presses buttons at frame {frame}; the environment has one player")
        marks = [(f, "the reset button is pressed") for f in movie.resets]
        marks += [(f, "the console is powered on") for f in movie.powers]
        if marks:
            frame, which = min(marks)
            raise ValueError(f"{name}: {which} before frame {frame}; an environment's steps press joypad buttons only")
        fixed: dict[str, Any] = {"start_frames": 0, "noop_max": 0, "repeat_action_probability": 0.0}
        if movie.start is not None:
            fixed["start_state"] = movie.start
        else:
            if env_options.get("timing") not in (None, movie.timing):
                raise ValueError(
                    f"{name} replays in the {movie.timing} timing, and timing={env_options['timing']!r} was given"
                )
            fixed["timing"] = movie.timing
            if "game" in env_options or "integration" in env_options:
                fixed["state"] = None  # power-on, not the integration's start state
        env = VelkoraEnv(movie.image, **{**env_options, **fixed})
        try:
            low, high = env._setup.frameskip
            if high != low + 1:
                raise ValueError(
                    "frameskip must be one number to replay a movie: a random skip has no "
                    "fixed number of frames per step"
                )
            mapper = _Mapper(env, nearest)
            probe: _Probe | None = None
            misfits: list[tuple[int, np.ndarray, int]] = []  # (first frame, the movie's frames, mask played)
            observation, _ = env.reset(seed=0)
            steps = len(movie) // low
            length = 0
            ended = False
            for step in range(steps):
                frames = buttons[step * low : (step + 1) * low, 0]
                action, mask = mapper.action(frames, f"{name}, frame {step * low}")
                before = env.clone_state(picture=False) if (frames != mask).any() else None
                rows["observations"].append(observation)
                rows["actions"].append(action)
                rows["masks"].append(mask)
                rows["episode_starts"].append(step == 0)
                observation, reward, terminated, truncated, _ = env.step(action)
                rows["rewards"].append(reward)
                rows["terminated"].append(terminated)
                rows["truncated"].append(truncated)
                length += 1
                if before is not None:
                    probe = probe or _Probe(movie.image)
                    if probe.changed(before, frames, mask):
                        misfits.append((step * low, frames.copy(), mask))
                if terminated or truncated:
                    ended = True
                    break
            if misfits:
                text = _misfits_text(name, misfits, mapper.masks)
                if strict or (strict is None and not ended):
                    why = "--strict" if strict else "its episode never ended, so the replay lost the movie's game"
                    raise ValueError(f"{text}. Refused ({why}; --no-strict writes the arrays anyway)")
                if log is not None:
                    print(f"warning: {text}", file=log)
                else:
                    warnings.warn(text, stacklevel=2)
            finals.append(observation)
            lengths.append(length)
            if log is not None:
                left = len(movie) - length * low
                notes = [f"{length} steps"]
                if mapper.approximated:
                    notes.append(
                        f"{mapper.approximated} played by the nearest action"
                        + (f", {len(misfits)} of them changing the game" if misfits else "")
                    )
                if left:
                    notes.append(
                        f"{left} frames left unplayed"
                        + (" (the episode ended)" if length < steps else f" (fewer than the {low} of a step)")
                    )
                print(f"{name}: {', '.join(notes)}", file=log)
        finally:
            env.close()
    space = env.observation_space
    action_shape = np.asarray(rows["actions"][0]).shape if rows["actions"] else ()
    return {
        "observations": np.array(rows["observations"], space.dtype).reshape((-1, *space.shape)),
        "actions": np.array(rows["actions"], np.int64).reshape((-1, *action_shape)),
        "masks": np.array(rows["masks"], np.uint8),
        "rewards": np.array(rows["rewards"], np.float64),
        "terminated": np.array(rows["terminated"], bool),
        "truncated": np.array(rows["truncated"], bool),
        "episode_starts": np.array(rows["episode_starts"], bool),
        "final_observations": np.array(finals, space.dtype).reshape((-1, *space.shape)),
        "episode_lengths": np.array(lengths, np.int64),
        "movies": np.array([str(n) for n in names]),
    }


#: A demonstrations file's arrays: the kinds of NumPy dtype each may have, and whether it has a
#: row per step or per movie.
ARRAYS = {
    "observations": ("u", "step"),
    "actions": ("iu", "step"),
    "masks": ("u", "step"),
    "rewards": ("f", "step"),
    "terminated": ("b", "step"),
    "truncated": ("b", "step"),
    "episode_starts": ("b", "step"),
    "final_observations": ("u", "movie"),
    "episode_lengths": ("iu", "movie"),
    "movies": ("U", "movie"),
}
#: What ``load`` reads at most, unless told otherwise.
MAX_DEMONSTRATION_BYTES = 4 << 30


def load(path: str | Path, *, max_bytes: int = MAX_DEMONSTRATION_BYTES) -> dict[str, np.ndarray]:
    """The arrays of a demonstrations file (``demonstrations``' output, saved by the
    command). ``ValueError`` naming the file for anything else: another kind of file, arrays
    missing or unknown, kinds or shapes that do not fit together, object arrays (which
    need pickle), or more than ``max_bytes`` of arrays, found from the headers before
    anything is allocated."""
    path = Path(path)
    with open(path, "rb") as file:  # a file that cannot be opened is an OSError, as ever
        try:
            with zipfile.ZipFile(file) as archive:
                arrays = _arrays(archive, path, max_bytes)
        except (zipfile.BadZipFile, zipfile.LargeZipFile, EOFError, NotImplementedError, RuntimeError) as error:
            raise ValueError(f"{path}: not a demonstrations file (.npz): {error}") from None
        except (OSError, zlib.error, struct.error, UnicodeDecodeError) as error:  # what the archive gets wrong
            raise ValueError(f"{path}: not a demonstrations file (.npz): {error}") from None
    _consistent(arrays, path)
    return arrays


def _arrays(archive: zipfile.ZipFile, path: Path, max_bytes: int) -> dict[str, np.ndarray]:
    members = {info.filename: info for info in archive.infolist()}
    names = {name.removesuffix(".npy") for name in members}
    if len(members) != len(names) or names != set(ARRAYS) or not all(n.endswith(".npy") for n in members):
        unknown = sorted(names - set(ARRAYS)) or sorted(n for n in members if not n.endswith(".npy"))
        missing = sorted(set(ARRAYS) - names)
        raise ValueError(
            f"{path}: not a demonstrations file: "
            + "; ".join(
                part
                for part in (
                    f"missing {', '.join(missing)}" if missing else "",
                    f"unknown {', '.join(unknown)[:200]}" if unknown else "",
                )
                if part
            )
        )
    left = max_bytes
    arrays: dict[str, np.ndarray] = {}
    for name, (kinds, _) in ARRAYS.items():
        info = members[f"{name}.npy"]
        if info.file_size > left + 4096:
            raise ValueError(f"{path}: {name} inflates to {info.file_size} bytes, more than the {max_bytes} allowed")
        with archive.open(info) as member:
            try:
                version = np.lib.format.read_magic(member)
                if version == (1, 0):
                    shape, fortran, dtype = np.lib.format.read_array_header_1_0(member)
                elif version == (2, 0):
                    shape, fortran, dtype = np.lib.format.read_array_header_2_0(member)
                else:
                    raise ValueError(f"format version {version}")
            except (ValueError, SyntaxError, TypeError, OverflowError, MemoryError, RecursionError) as error:
                raise ValueError(f"{path}: {name}: not a NumPy array ({str(error)[:200]})") from None
            if dtype.hasobject or dtype.kind not in kinds:
                raise ValueError(f"{path}: {name} holds {dtype}, not an array of kind {kinds}")
            size = math.prod(shape) * dtype.itemsize
            header = member.tell()
            if size > left or size != info.file_size - header:
                raise ValueError(
                    f"{path}: {name}: its header announces {shape} of {dtype} ({size} bytes); "
                    f"the file holds {info.file_size - header} bytes"
                    + (f" and {left} are left of the {max_bytes} allowed" if size > left else "")
                )
            left -= size
            data = member.read(size)
        if len(data) != size:
            raise ValueError(f"{path}: {name} is cut short")
        array = np.frombuffer(data, dtype).reshape(shape, order="F" if fortran else "C")
        arrays[name] = array
    return arrays


def _consistent(arrays: dict[str, np.ndarray], path: Path) -> None:
    steps = len(arrays["rewards"]) if arrays["rewards"].ndim else -1
    movies = len(arrays["movies"]) if arrays["movies"].ndim else -1
    for name, (_, per) in ARRAYS.items():
        array = arrays[name]
        rows = steps if per == "step" else movies
        flat = name not in ("observations", "final_observations", "actions")
        if array.ndim == 0 or len(array) != rows or (flat and array.ndim != 1):
            raise ValueError(
                f"{path}: {name} has shape {array.shape}, not a row for each of the {rows} {per}s"
                + ("" if not flat else " (one value each)")
            )
    if arrays["observations"].shape[1:] != arrays["final_observations"].shape[1:]:
        raise ValueError(
            f"{path}: observations of shape {arrays['observations'].shape[1:]} and final observations of "
            f"shape {arrays['final_observations'].shape[1:]}"
        )
    lengths = arrays["episode_lengths"]
    if (lengths < 0).any() or int(lengths.astype(np.int64).sum()) != steps:
        raise ValueError(f"{path}: the episode lengths do not add up to the {steps} steps")
    starts = np.flatnonzero(arrays["episode_starts"])
    expected = np.cumsum(np.concatenate(([0], lengths[lengths > 0][:-1].astype(np.int64))))
    if not np.array_equal(starts, expected):
        raise ValueError(f"{path}: episode_starts does not mark the first step of each movie's episode")


def _options(items: Sequence[str]) -> dict[str, Any]:
    """KEY=VALUE items and JSON objects, later ones winning."""
    options: dict[str, Any] = {}
    for item in items:
        if item.lstrip().startswith("{"):
            try:
                value = json.loads(item)
            except json.JSONDecodeError as error:
                raise ValueError(f"--env-options: not a JSON object ({error})") from None
            if not isinstance(value, dict):
                raise ValueError("--env-options: not a JSON object")
            options.update(value)
        else:
            key, value = _option(item)
            options[key] = value
    return options


def _option(text: str) -> tuple[str, Any]:
    try:
        return parse_option(text)
    except ValueError as error:
        raise ValueError(f"--env-options: {error}") from None


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m velkora_gym.demonstrations",
        description="Replay movies through a VelkoraEnv and write what imitation "
        "learning trains on: observations, actions, rewards and "
        "episode boundaries, as NumPy arrays in one .npz file.",
    )
    parser.add_argument("movies", nargs="+", metavar="MOVIE", help="movie files (.vmv, .fm2, optionally .gz)")
    parser.add_argument(
        "--env-options",
        nargs="*",
        default=[],
        metavar="KEY=VALUE",
        help="VelkoraEnv options, values as Python literals (frameskip=4 obs_type=grayscale "
        "screen_size=(84,84) actions=complex) or JSON objects",
    )
    parser.add_argument("--rom", help="the cartridge, when the movies' is not found by its hash")
    parser.add_argument(
        "--nearest", action="store_true", help="play the closest action where no action presses a step's buttons"
    )
    parser.add_argument(
        "--strict",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="with --nearest, refuse a movie whose nearest actions change the game (default: only when its "
        "episode never ended)",
    )
    parser.add_argument("--out", required=True, help="the .npz file to write")
    parser.add_argument("--no-compress", action="store_true", help="write the arrays uncompressed")
    args = parser.parse_args(argv)
    try:
        options = _options(args.env_options)
        movies = [Movie.load(path, rom=args.rom) for path in args.movies]
        arrays = demonstrations(
            movies,
            [Path(p).name for p in args.movies],
            nearest=args.nearest,
            strict=args.strict,
            log=sys.stderr,
            **options,
        )
    except (ValueError, TypeError, OSError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    out = Path(args.out)
    temporary = out.with_name(f".{out.name}.writing.npz")
    try:
        (np.savez if args.no_compress else np.savez_compressed)(temporary, **arrays)
        temporary.replace(out)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    print(f"{out}: {len(arrays['rewards'])} steps of {len(args.movies)} movies", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
