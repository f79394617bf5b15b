"""What the Gymnasium environments share: the options read into a setup (``_Setup``), the
integration's judgement (``_Game``) and the native batch driven (``_Driver``).

``VelkoraEnv`` (velkora_gym.envs.single) is one console; ``VelkoraVectorEnv``
(velkora_gym.envs.vector) is ``num_envs`` of them stepped on every core. Each step is
planned and judged in the native worker threads: frame skip, sticky actions, no-op starts,
the integration's variables, rewards and episode ends, lives, stacked frames and resets.
Python converts the actions and wraps the results, the same few NumPy calls whatever the
number of environments. Environment i of a vector environment produces exactly what a
``VelkoraEnv`` with the same seed and actions produces: both draw their random choices from
one native generator per environment, in the same order. (Python callables and Lua
scripts, when given, judge in Python instead.)
"""

from __future__ import annotations

import contextlib
import importlib.util
import inspect
import itertools
import os
import warnings
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np
from gymnasium import spaces
from gymnasium.error import ResetNeeded
from gymnasium.vector import AutoresetMode

from velkora_gym import _native
from velkora_gym.actions import action_masks, mask_name
from velkora_gym.batch import Batch, RomSource, check_board, read_image, screen_shape
from velkora_gym.console import RENDER_FPS
from velkora_gym.files import DEMO_ROM, PACKAGE, read_capped
from velkora_gym.integration import folders as integrations
from velkora_gym.integration import roms
from velkora_gym.integration.lua import DEFAULT_BUDGET, Budget, Scripts
from velkora_gym.timings import check_timing, start_timing

#: As the Atari environments: 30 minutes of play, then the episode is truncated.
MAX_EPISODE_FRAMES = 108_000

DEMO_INTEGRATION = PACKAGE / "integrations" / "velkora-demo"
# The demo game draws its first playable frame 8 frames after power-on.
DEMO_DEFAULTS = {"rom": DEMO_ROM, "integration": DEMO_INTEGRATION, "start_frames": 8}

Values = dict[str, np.ndarray]


def _wants(fn: Callable[..., Any], name: str) -> bool:
    """Whether a callable takes a parameter of this name (or any keyword): the memory it did
    not ask for is not passed, so callables written for fewer arguments keep working."""
    try:
        parameters = inspect.signature(fn).parameters
    except (TypeError, ValueError):
        return False
    if any(p.kind is inspect.Parameter.VAR_KEYWORD for p in parameters.values()):
        return True
    found = parameters.get(name)
    return found is not None and found.kind in (inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.KEYWORD_ONLY)


class _Game:
    """A game's variables, rewards and episode ends. The integration's variables, rewards
    and done tests run natively in the workers; Python callables and Lua scripts, when
    given, take over the judging here (the slower path)."""

    def __init__(
        self,
        integration: integrations.Integration | None,
        variables: object,
        reward_fn: Callable[..., float] | None,
        terminated_fn: Callable[..., bool] | None,
        lives: str | None,
        budget: Budget = DEFAULT_BUDGET,
    ) -> None:
        self.integration = integration
        self.data: dict[str, integrations.Variable] = dict(integration.variables) if integration else {}
        self.read_fn: Callable[..., Mapping[str, float]] | None = None
        if callable(variables):
            self.read_fn = variables
        elif isinstance(variables, Mapping):
            for name, spec in variables.items():
                self.data[str(name)] = integrations.parse_variable(str(name), spec, f"variables.{name}")
        elif variables is not None:
            raise TypeError("variables must be a callable taking the RAM or a dict like data.json's info")
        for name, fn in (("reward_fn", reward_fn), ("terminated_fn", terminated_fn)):
            if fn is not None and not callable(fn):
                raise TypeError(f"{name} must be callable")
        self.reward_fn = reward_fn
        self.terminated_fn = terminated_fn
        self.read_prg = self.read_fn is not None and _wants(self.read_fn, "prg_ram")
        self.reward_memory = [m for m in ("ram", "prg_ram") if reward_fn is not None and _wants(reward_fn, m)]
        self.terminated_memory = [
            m for m in ("ram", "prg_ram") if terminated_fn is not None and _wants(terminated_fn, m)
        ]
        scripts = Scripts(integration, budget=budget) if integration is not None else None
        self.scripts = scripts if scripts else None
        self.script_ended: set[int] = set()  # consoles whose done script held at the last step
        self.names = list(self.data)
        if lives is not None and lives not in self.data:
            raise ValueError(
                f"lives={lives!r} names no variable of the game (its variables: {', '.join(self.names) or 'none'})"
            )
        self.lives = lives if lives is not None else ("lives" if "lives" in self.data else None)
        #: Python decides rewards and episode ends: a callable or a script is in play.
        self.python_judges = reward_fn is not None or terminated_fn is not None or self.scripts is not None

    @property
    def needs_prg_ram(self) -> bool:
        return (
            any(v.in_prg_ram for v in self.data.values())
            or self.read_prg
            or "prg_ram" in self.reward_memory
            or "prg_ram" in self.terminated_memory
        )

    def native(self) -> dict[str, Any]:
        """The description the native environments take."""
        index = {name: k for k, name in enumerate(self.names)}
        variables = [(v.address, v.size, v.kind, v.big_endian) for v in self.data.values()]
        rewards: list[tuple[int, float, float]] = []
        done: tuple = ("any", [], [])
        if self.integration is not None and not self.python_judges:
            rewards = [
                (index[name], float(rise), float(fall)) for name, (rise, fall) in self.integration.rewards.items()
            ]
            done = self._condition(self.integration.ends, index)
        return {
            "variables": variables,
            "rewards": rewards,
            "done": done,
            "lives": index[self.lives] if self.lives is not None else -1,
        }

    def _condition(self, condition: integrations.Condition, index: Mapping[str, int]) -> tuple:
        tests = [(index[t.name], t.op, float(t.reference), t.delta) for t in condition.tests]
        return (condition.condition, tests, [self._condition(node, index) for node in condition.nodes.values()])

    def restart(self, rows: Sequence[int], size: int) -> None:
        """A reset of these consoles: their scripts start over."""
        if self.scripts is not None:
            self.scripts.restart(rows, size)

    def values(self, native: np.ndarray, ram: np.ndarray, prg_ram: np.ndarray | None) -> Values:
        """Every variable of some consoles: `native` holds the integration's, read in the
        workers (rows of the same consoles as `ram`); a `variables` callable adds its own."""
        values = {name: native[:, k] for k, name in enumerate(self.names)}
        if self.read_fn is not None:
            if self.read_prg:
                rows = [dict(self.read_fn(ram[i], prg_ram=prg_ram[i])) for i in range(len(ram))]  # type: ignore[index]
            else:
                rows = [dict(self.read_fn(ram[i])) for i in range(len(ram))]
            for name in rows[0] if rows else ():
                values[name] = np.array([row[name] for row in rows])
        return values

    @staticmethod
    def _row(values: Values, k: int) -> dict[str, Any]:
        return {name: array[k].item() for name, array in values.items()}

    @staticmethod
    def _memory(names: list[str], memory: tuple[np.ndarray, np.ndarray | None], i: int) -> dict[str, np.ndarray]:
        ram, prg_ram = memory
        return {name: (ram if name == "ram" else prg_ram)[i] for name in names}  # type: ignore[index]

    def judge(
        self, previous: Values, current: Values, rows: Sequence[int], memory: tuple[np.ndarray, np.ndarray | None]
    ) -> tuple[np.ndarray, np.ndarray]:
        """Rewards and episode ends of the consoles `rows`, when Python judges: the value
        arrays are in the order of `rows`, the memories by console."""
        if self.reward_fn is not None:
            rewards = np.array(
                [
                    float(
                        self.reward_fn(
                            self._row(previous, k), self._row(current, k), **self._memory(self.reward_memory, memory, i)
                        )
                    )
                    for k, i in enumerate(rows)
                ]
            )
            _finite(rewards, rows, "reward_fn returned")
        else:
            rewards = np.zeros(len(rows))
            if self.integration is not None and self.integration.rewards:
                by_variables = self.integration.reward(previous, current)
                source = "the variables callable's values" if self.read_fn is not None else "the variables"
                _finite(by_variables, rows, f"the reward variables of {self.integration.name} gave, from {source},")
                rewards += by_variables
            if self.scripts is not None:
                rewards += self.scripts.reward(current, rows)
                _finite(rewards, rows, "the reward variables and the reward script added up to")
        if self.terminated_fn is not None:
            ended = np.array(
                [
                    bool(self.terminated_fn(self._row(current, k), **self._memory(self.terminated_memory, memory, i)))
                    for k, i in enumerate(rows)
                ],
                bool,
            )
        else:
            ended = np.zeros(len(rows), bool)
            if self.integration is not None:
                ended |= self.integration.terminated(previous, current)
            if self.scripts is not None:
                by_script = self.scripts.done(current, rows)
                for i, hit in zip(rows, by_script):
                    (self.script_ended.add if hit else self.script_ended.discard)(i)
                ended |= by_script
        return rewards, ended

    def reasons(self, previous: Values, current: Values, row: int) -> list[str]:
        """What ended console `row`'s episode at the last step (value arrays of that row)."""
        if self.terminated_fn is not None:
            return ["terminated_fn"]
        held = self.integration.reasons(previous, current, 0) if self.integration is not None else []
        if self.scripts is not None and row in self.script_ended:
            held.append(f"done script lua:{self.scripts.done_function}")
        return held


def _finite(rewards: np.ndarray, rows: Sequence[int], what: str) -> None:
    """ValueError naming the environment whose reward is NaN or infinite: a learner given
    one would be ruined without a word."""
    bad = np.flatnonzero(~np.isfinite(rewards))
    if bad.size:
        k = int(bad[0])
        raise ValueError(f"{what} {rewards[k]} for environment {rows[k]}: a reward must be a finite number")


def _ranges(ids: Sequence[int]) -> str:
    """0-3, 5, 7-9."""
    parts: list[str] = []
    for _, run in itertools.groupby(enumerate(ids), lambda pair: pair[1] - pair[0]):
        block = [i for _, i in run]
        parts.append(str(block[0]) if len(block) == 1 else f"{block[0]}-{block[-1]}")
    return ", ".join(parts)


class _Default:
    def __repr__(self) -> str:
        return "the folder's default_state"


#: ``state=``'s default: the integration folder's ``default_state``.
DEFAULT_STATE: Any = _Default()
OBS_TYPES = ("rgb", "grayscale", "ram", "ram+prg")


class _Setup:
    """The options both environments take, checked once."""

    def __init__(
        self,
        rom: RomSource | None,
        obs_type: str = "rgb",
        screen_size: object = None,
        frameskip: int | tuple[int, int] = 4,
        max_pool: bool | None = None,
        repeat_action_probability: float = 0.25,
        noop_max: int = 0,
        actions: str | Sequence[Sequence[str]] | None = None,
        integration: object = None,
        game: str | None = None,
        state: str | None = DEFAULT_STATE,
        variables: object = None,
        reward_fn: Callable[..., float] | None = None,
        terminated_fn: Callable[..., bool] | None = None,
        start_state: object = None,
        start_frames: int = 0,
        max_episode_frames: int | None = MAX_EPISODE_FRAMES,
        render_mode: str | None = None,
        channel_axis: bool = False,
        frame_stack: int = 1,
        episodic_life: bool = False,
        lives: str | None = None,
        reward_clipping: bool = False,
        timing: str | None = None,
        script_instructions: int = DEFAULT_BUDGET.instructions,
        script_memory: int = DEFAULT_BUDGET.memory,
    ) -> None:
        if timing is not None:
            check_timing(timing)  # before the folder and the ROM are read
        self.budget = Budget.checked(script_instructions, script_memory)
        if game is not None and integration is not None:
            raise ValueError("give game= (a name on the integration search path) or integration= (a folder), not both")
        folder = integrations.find(game) if game is not None else None
        if integration is not None:
            if not isinstance(integration, (str, os.PathLike)):
                raise TypeError(f"integration must be a folder's path, not {type(integration).__name__}")
            folder = Path(integration)
        self.integration = integrations.load(folder, script_budget=self.budget) if folder is not None else None
        self.image = self._image(rom, self.integration)
        check_board(self.image)
        if obs_type not in OBS_TYPES:
            raise ValueError(f"obs_type must be one of {', '.join(map(repr, OBS_TYPES))}, not {obs_type!r}")
        self.obs_type = obs_type
        self.memory = obs_type in ("ram", "ram+prg")
        if self.memory and screen_size is not None:
            raise ValueError(f"screen_size applies to pictures, not to obs_type={obs_type!r}")
        # A crop (x, y, width, height) and the resize happen natively, in one pass.
        self.crop = self.integration.crop if self.integration is not None and not self.memory else None
        if screen_size is not None:
            self.screen = screen_shape(screen_size)
        elif self.crop is not None:
            self.screen = (self.crop[3], self.crop[2])
        else:
            self.screen = (240, 256)
        self.frameskip = self._skip(frameskip)
        longest = self.frameskip[1] - 1
        self.max_pool = longest > 1 if max_pool is None else bool(max_pool)
        if self.memory:
            self.max_pool = False
        p = repeat_action_probability
        if isinstance(p, bool) or not isinstance(p, (int, float)) or not 0.0 <= p <= 1.0:
            raise ValueError(f"repeat_action_probability must be between 0 and 1, not {p!r}")
        self.sticky = float(p)
        if isinstance(noop_max, bool) or not isinstance(noop_max, (int, np.integer)) or noop_max < 0:
            raise ValueError(f"noop_max must be an int of at least 0, not {noop_max!r}")
        self.noop_max = int(noop_max)
        if isinstance(start_frames, bool) or not isinstance(start_frames, (int, np.integer)) or start_frames < 0:
            raise ValueError(f"start_frames must be an int of at least 0, not {start_frames!r}")
        self.start_frames = int(start_frames)
        if max_episode_frames is not None and (
            isinstance(max_episode_frames, bool)
            or not isinstance(max_episode_frames, (int, np.integer))
            or max_episode_frames < 1
        ):
            raise ValueError(f"max_episode_frames must be None or an int of at least 1, not {max_episode_frames!r}")
        self.max_episode_frames = max_episode_frames
        self.groups: list[np.ndarray] | None = None  # an integration's action groups
        self.masks: np.ndarray | None = None
        if actions is None and self.integration is not None and self.integration.actions is not None:
            self.groups = [np.array(group, np.uint8) for group in self.integration.actions]
        else:
            self.masks = action_masks("simple" if actions is None else actions)
        self.multibinary = self.groups is None and self.masks is None
        self.frameskip_fixed = self.frameskip[1] == self.frameskip[0] + 1
        if (
            isinstance(frame_stack, bool)
            or not isinstance(frame_stack, (int, np.integer))
            or not 1 <= frame_stack <= 64
        ):
            raise ValueError(f"frame_stack must be an int from 1 to 64, not {frame_stack!r}")
        if self.memory and frame_stack != 1:
            raise ValueError(f"frame_stack stacks pictures, not obs_type={obs_type!r}")
        self.frame_stack = int(frame_stack)
        self.channel_axis = bool(channel_axis)
        self.reward_clipping = bool(reward_clipping)
        self.game = _Game(self.integration, variables, reward_fn, terminated_fn, lives, self.budget)
        self.episodic_life = bool(episodic_life)
        if self.episodic_life and self.game.lives is None:
            raise ValueError(
                "episodic_life needs the lives variable: an integration with one named 'lives', or lives= naming one"
            )
        self.start_state, self.state_source = self._start(state, start_state)
        self.timing = start_timing(timing, self.start_state, self.state_source)
        if render_mode not in (None, "rgb_array", "human"):
            raise ValueError(f"render_mode must be None, 'rgb_array' or 'human', not {render_mode!r}")
        if render_mode == "human" and importlib.util.find_spec("pygame") is None:
            raise ImportError("render_mode='human' opens a window with pygame: pip install velkora[play]")
        self.render_mode = render_mode

    @staticmethod
    def _image(rom: RomSource | None, integration: integrations.Integration | None) -> bytes:
        """An explicit ROM wins over the folder's; a hash that differs from rom.sha is
        worth a warning, not a refusal (a revision of the same game may do)."""
        if rom is None:
            if integration is None:
                raise TypeError("a ROM is needed: rom= a path or the image's bytes, or game=")
            assert integration.folder is not None
            path = roms.find_rom(integration.folder, integration.rom_sha)
            if path is None:
                raise ValueError(roms.missing_rom(integration.folder, integration.rom_sha))
            rom = path
        image = read_image(rom)
        if integration is not None and integration.rom_sha and not roms.matches(image, integration.rom_sha):
            source = rom if isinstance(rom, (str, os.PathLike)) else "the ROM given"
            warnings.warn(
                f"{source}: its SHA-1 ({roms.hashes(image)[0]}) is not the one in "
                f"{integration.folder}/rom.sha; using it anyway",
                stacklevel=4,
            )
        return image

    def _start(self, state: object, start_state: object) -> tuple[bytes | None, str]:
        """The snapshot a reset restores (None: power-on) and where it came from."""
        if state is not DEFAULT_STATE:
            if start_state is not None:
                raise ValueError(
                    "give state= (a start state of the integration) or start_state= (snapshot "
                    "bytes or a file), not both"
                )
            if self.integration is None:
                raise ValueError("state= names a start state of an integration folder: give game= or integration=")
            if state is None:
                return None, "power-on"
            return self.integration.state(state), str(self.integration.state_path(state))  # type: ignore[arg-type]
        if start_state is not None:
            data = self._state(start_state)
            if not data.startswith(integrations.SNAPSHOT_MAGIC):
                raise ValueError(
                    f"start_state is not a velkora snapshot (velkora_gym.snapshot's bytes); "
                    f"{integrations.HOW_TO_MAKE_A_STATE}"
                )
            return data, "start_state"
        if self.integration is not None and self.integration.default_state is not None:
            name = self.integration.default_state
            return self.integration.state(name), str(self.integration.state_path(name))
        return None, "power-on"

    @staticmethod
    def _skip(frameskip: object) -> tuple[int, int]:
        """[low, high) of the frames a step runs."""
        if isinstance(frameskip, (int, np.integer)) and not isinstance(frameskip, bool):
            if frameskip < 1:
                raise ValueError(f"frameskip must be at least 1, not {frameskip}")
            return int(frameskip), int(frameskip) + 1
        if (
            isinstance(frameskip, Sequence)
            and len(frameskip) == 2
            and all(isinstance(v, (int, np.integer)) and not isinstance(v, bool) for v in frameskip)
        ):
            low, high = int(frameskip[0]), int(frameskip[1])
            if not 1 <= low < high:
                raise ValueError(f"frameskip (low, high) needs 1 <= low < high, not {frameskip!r}")
            return low, high
        raise ValueError(f"frameskip must be an int or (low, high), not {frameskip!r}")

    @staticmethod
    def _state(start_state: object) -> bytes:
        if isinstance(start_state, bytes):
            return start_state
        if isinstance(start_state, (bytearray, memoryview)):
            return bytes(start_state)
        if isinstance(start_state, (str, os.PathLike)):
            return read_capped(
                Path(start_state), integrations.MAX_STATE_BYTES, "a snapshot", integrations.IntegrationError
            )
        raise TypeError("start_state must be snapshot bytes or the path of a file holding them")

    def batch(self, consoles: int, threads: int | None) -> Batch:
        picture = not self.memory
        return Batch(
            self.image,
            consoles,
            threads=threads,
            obs_type=self.obs_type if picture else None,
            screen_size=self.screen if picture else None,
            max_pool=self.max_pool,
            prg_ram=self.game.needs_prg_ram or self.obs_type == "ram+prg",
            crop=self.crop if picture else None,
            timing=self.timing,
        )

    def environments(self, batch: Batch, autoreset: str) -> Any:
        """The native environments on a batch; a start state another console refuses is
        refused here, naming where it came from, rather than at the first reset."""
        low, high = self.frameskip
        options = {
            "skip_low": low,
            "skip_high": high,
            "sticky": self.sticky,
            "noop_max": self.noop_max,
            "start_frames": self.start_frames,
            "max_episode_frames": self.max_episode_frames or 0,
            "frame_stack": self.frame_stack,
            "episodic_life": self.episodic_life,
            "clip_rewards": self.reward_clipping and not self.game.python_judges,
            "judge": not self.game.python_judges,
            "autoreset": autoreset,
        }
        try:
            return _native.Environments(batch._native, self.game.native(), options, self.start_state)
        except ValueError as error:
            if self.start_state is not None and "snapshot" in str(error):
                raise ValueError(f"{self.state_source}: {error}") from None
            raise

    def shape(self) -> tuple[int, ...]:
        """One observation's shape."""
        if self.obs_type == "ram":
            return (2048,)
        if self.obs_type == "ram+prg":
            return (2048 + 8192,)
        channels = 3 if self.obs_type == "rgb" else 1
        if self.obs_type == "grayscale" and self.frame_stack == 1 and not self.channel_axis:
            return self.screen
        return self.screen + (channels * self.frame_stack,)

    def observe(self, batch: Batch, native: Any, rows: Any = slice(None)) -> np.ndarray:
        """Copies of the observations of some consoles."""
        if self.obs_type == "ram":
            return batch.ram[rows].copy()
        if self.obs_type == "ram+prg":
            return np.concatenate((batch.ram[rows], batch.prg_ram[rows]), axis=-1)  # type: ignore[index]
        picked = native.observations()[rows]
        return picked.reshape(picked.shape[:-1] + self.shape()).copy()

    def observation_space(self) -> spaces.Box:
        return spaces.Box(0, 255, self.shape(), np.uint8)

    def action_space(self) -> spaces.Space:
        if self.groups is not None:
            return spaces.MultiDiscrete([len(group) for group in self.groups])
        return spaces.MultiBinary(8) if self.masks is None else spaces.Discrete(len(self.masks))

    def render_fps(self) -> float:
        """Pictures a second of a recording of the steps: the console's, divided by a fixed
        frame skip."""
        low, high = self.frameskip
        return RENDER_FPS / low if high == low + 1 else RENDER_FPS

    def action_meanings(self) -> list[str]:
        """Upper-case names of the actions, NOOP first, combinations joined by '+'."""
        if self.masks is not None:
            return [mask_name(int(m)) for m in self.masks]
        if self.groups is not None:
            raise ValueError(
                "an integration's action groups (a MultiDiscrete space) have no single list of "
                "meanings: see get_action_group_meanings()"
            )
        return [mask_name(1 << bit) for bit in range(8)]

    def masks_of(self, actions: object, count: int, space: spaces.Space) -> np.ndarray:
        """The joypad mask of each of `count` actions, checked and converted in a few NumPy
        calls however many there are."""
        value = np.asarray(actions)
        if self.groups is not None:
            if (
                value.shape != (count, len(self.groups))
                or value.dtype.kind not in "iu"
                or value.min(initial=0) < 0
                or (value >= [len(g) for g in self.groups]).any()
            ):
                raise ValueError(f"actions {actions!r} are not {count} of {space}")
            masks = np.zeros(count, np.uint8)
            for g, group in enumerate(self.groups):
                masks |= group[value[:, g]]
            return masks
        if self.masks is None:
            if value.shape != (count, 8) or not np.isin(value, (0, 1)).all():
                raise ValueError(f"actions {actions!r} are not {count} of {space}: eight 0/1 buttons each")
            return np.packbits(value.astype(np.uint8), axis=1, bitorder="little")[:, 0]
        if value.shape != (count,) or value.dtype.kind not in "iu":
            raise ValueError(f"actions {actions!r} are not {count} of {space}")
        if count and (value.min() < 0 or value.max() >= len(self.masks)):
            raise ValueError(f"actions {actions!r} are not in {space}")
        return self.masks[value]


_AUTORESET = {
    AutoresetMode.NEXT_STEP: "next-step",
    AutoresetMode.SAME_STEP: "same-step",
    AutoresetMode.DISABLED: "disabled",
}


def _seeds(seed: int | Sequence[int | None] | None, count: int) -> list[int | None]:
    if seed is None:
        return [None] * count
    if isinstance(seed, (int, np.integer)) and not isinstance(seed, bool):
        return [int(seed) + i for i in range(count)]
    seeds = list(seed)  # type: ignore[arg-type]
    if len(seeds) != count:
        raise ValueError(f"{len(seeds)} seeds for {count} environments")
    return seeds


def _entropy() -> int:
    """A random 64-bit seed, for an environment seeded with None before any seed."""
    return int(np.random.SeedSequence().generate_state(1, np.uint64)[0])


class _Driver:
    """What both environments share: the batch, its native environments, and the judging
    in Python when callables or scripts take part. The native outputs are views made once
    (the native side rewrites them in place), so a step costs Python a fixed handful of
    NumPy calls."""

    def __init__(self, setup: _Setup, consoles: int, threads: int | None, autoreset: str) -> None:
        self.setup = setup
        self.game = setup.game
        self.batch = setup.batch(consoles, threads)
        self.native = setup.environments(self.batch, autoreset)
        self.count = consoles
        self.seeded = [False] * consoles
        native = self.native
        self.observations = native.observations()
        self.rewards = native.rewards()
        self.terminated = native.terminated()
        self.truncated = native.truncated()
        self.started = native.started()
        self.ended = native.ended()
        self.native_values = native.values()
        self.episode_frames = native.episode_frames()
        self.shape = setup.shape()
        self.names = self.game.names
        self.mask_keys = [f"_{name}" for name in self.names]
        # Python's judging keeps every console's values, callables' included.
        self.values: Values = {}
        self.present = {count: np.ones(count, bool) for count in {consoles, 1}}
        #: Why a step's results were lost (a script or callable failed); None when none was.
        self.failed: str | None = None

    @contextlib.contextmanager
    def losing(self, rows: Any) -> Any:
        """Around the judging of a step of consoles `rows`, which have already run: when it
        raises, the step's results are lost and every environment waits for a reset. The
        error says which consoles advanced (``advanced``, and a note), those of steps still
        on their way too, which are waited for."""
        try:
            yield
        except Exception as error:
            moved = set(np.arange(self.count)[rows].tolist())
            waiting = self.native.in_flight()
            if waiting:
                moved.update(self.native.receive(waiting).tolist())
            advanced = np.array(sorted(moved), np.int64)
            self.failed = f"{type(error).__name__}: {str(error).splitlines()[0] if str(error) else ''}"
            with contextlib.suppress(AttributeError):
                error.advanced = advanced  # type: ignore[attr-defined]
            error.add_note(
                f"the consoles of environments {_ranges(advanced.tolist())} advanced in the step whose "
                f"results were lost; reset() brings every console back to its start"
            )
            raise

    def check(self, call: str) -> None:
        if self.failed is not None:
            raise ResetNeeded(f"a step failed ({self.failed}): call reset() before {call}")

    def seed(self, seeds: Sequence[int | None]) -> None:
        for i, seed in enumerate(seeds):
            if seed is not None or not self.seeded[i]:
                self.native.seed(i, (_entropy() if seed is None else int(seed)) & 0xFFFFFFFFFFFFFFFF)
                self.seeded[i] = True

    def reset(self, rows: list[int]) -> None:
        self.native.reset(rows)
        self.game.restart(rows, self.count)
        if self.game.python_judges or self.game.read_fn is not None:
            self._update(rows)

    def _update(self, rows: Any) -> None:
        ram = self.batch.ram[rows]
        prg = self.batch.prg_ram[rows] if self.batch.prg_ram is not None else None
        fresh = self.game.values(self.native_values[rows], ram, prg)
        if not self.values:
            self.values = {name: np.zeros(self.count, array.dtype) for name, array in fresh.items()}
        for name, array in fresh.items():
            self.values[name][rows] = array

    def observe(self, rows: Any, copy: bool = True) -> np.ndarray:
        """The observations of some consoles (an index, a slice or indices): copies, or
        with copy=False views of a slice that the next step rewrites."""
        setup = self.setup
        if setup.memory:
            return setup.observe(self.batch, self.native, rows)
        picked = self.observations[rows]
        shaped = picked.reshape(picked.shape[:-1] + self.shape)
        return shaped.copy() if copy and isinstance(rows, (int, slice)) else shaped

    def judged(self, rows: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Rewards, terminated and truncated of consoles `rows` after their step; where
        Python judges, it tells the native side which episodes ended."""
        truncated = self.truncated[rows]
        if not self.game.python_judges:
            if self.game.read_fn is not None:
                self._update(rows)
            return self.rewards[rows], self.terminated[rows], truncated
        indices = np.arange(self.count)[rows]
        previous = {name: array[indices] for name, array in self.values.items()}
        self._update(indices)
        current = {name: array[indices] for name, array in self.values.items()}
        rewards, terminated = self.game.judge(previous, current, list(indices), (self.batch.ram, self.batch.prg_ram))
        # The step that began a new episode has nothing to judge.
        started = self.started[indices]
        if started.any():
            rewards[started] = 0.0
            terminated[started] = False
            self.game.restart([int(i) for i in indices[started]], self.count)
        if self.setup.reward_clipping:
            rewards = np.sign(rewards)
        ended = [int(i) for i in indices[terminated | truncated]]
        if ended:
            self.native.end_episodes(ended)
            restarted = [i for i in ended if self.ended[i]]
            if restarted:
                self.game.restart(restarted, self.count)
                self._update(restarted)
        return rewards, terminated, np.array(truncated)

    def info(self, rows: Any, vector: bool) -> dict[str, Any]:
        """Every variable, the episode's frames and the lives, of some consoles."""
        frames = self.episode_frames[rows]
        if not vector:
            if self.values:
                info: dict[str, Any] = {name: array[rows].item() for name, array in self.values.items()}
            else:
                info = dict(zip(self.names, self.native_values[rows].tolist()))
            info["episode_frame_number"] = int(frames)
        else:
            count = len(frames)
            present = self.present.get(count)
            if present is None:
                present = self.present.setdefault(count, np.ones(count, bool))
            if self.values:
                info = {name: array[rows] for name, array in self.values.items()}
                info.update((f"_{name}", present) for name in self.values)
            else:
                # One copy of every value, then a row of it for each variable.
                info = dict(zip(self.names, np.ascontiguousarray(self.native_values[rows].T)))
                info.update(zip(self.mask_keys, itertools.repeat(present)))
            info["episode_frame_number"] = np.array(frames)
            info["_episode_frame_number"] = present
            if self.game.lives is not None:
                info["_lives"] = present
        if self.game.lives is not None:
            info["lives"] = info[self.game.lives]
        return info
