"""Gymnasium environments on the native batch of consoles.

``VelkoraEnv`` is one console; ``VelkoraVectorEnv`` is ``num_envs`` of them stepped on
every core. Environment i of a vector environment produces exactly what a ``VelkoraEnv``
with the same seed and actions produces: both draw their random choices from one
generator per environment, in the same order, and run the same native step.
"""
from __future__ import annotations

import inspect
import os
import warnings
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import Any

import gymnasium as gym
import numpy as np
from gymnasium import spaces
from gymnasium.error import ResetNeeded
from gymnasium.utils import seeding
from gymnasium.vector import AutoresetMode, VectorEnv

from velkora_gym import integration as integrations
from velkora_gym import roms
from velkora_gym.actions import action_masks, multibinary_mask
from velkora_gym.batch import Batch, RomSource, check_board, read_image, screen_shape
from velkora_gym.scripts import Scripts

#: Frames per second of the NTSC console: 1789773 Hz / 29780.67 cycles a frame.
RENDER_FPS = 60.1
#: As the Atari environments: 30 minutes of play, then the episode is truncated.
MAX_EPISODE_FRAMES = 108_000

PACKAGE = Path(__file__).resolve().parent
DEMO_ROM = PACKAGE / "roms" / "velkora-demo.nes"
DEMO_INTEGRATION = PACKAGE / "integrations" / "velkora-demo"

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
    return found is not None and found.kind in (inspect.Parameter.POSITIONAL_OR_KEYWORD,
                                                inspect.Parameter.KEYWORD_ONLY)


class _Rules:
    """Variables, rewards and episode ends for a batch of consoles."""

    def __init__(self, integration: integrations.Integration | None, variables: object,
                 reward_fn: Callable[..., float] | None, terminated_fn: Callable[..., bool] | None) -> None:
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
        self.terminated_memory = [m for m in ("ram", "prg_ram")
                                  if terminated_fn is not None and _wants(terminated_fn, m)]
        scripts = Scripts(integration) if integration is not None else None
        self.scripts = scripts if scripts else None
        self.script_ended: set[int] = set()  # consoles whose done script held at the last step

    @property
    def needs_prg_ram(self) -> bool:
        return (any(v.in_prg_ram for v in self.data.values()) or self.read_prg or
                "prg_ram" in self.reward_memory or "prg_ram" in self.terminated_memory)

    def restart(self, rows: Sequence[int], size: int) -> None:
        """A reset of these consoles: their scripts start over."""
        if self.scripts is not None:
            self.scripts.restart(rows, size)

    def values(self, ram: np.ndarray, prg_ram: np.ndarray | None) -> Values:
        values = {name: v.read(ram, prg_ram) for name, v in self.data.items()}
        if self.read_fn is not None:
            if self.read_prg:
                rows = [dict(self.read_fn(ram[i], prg_ram=prg_ram[i])) for i in range(len(ram))]  # type: ignore[index]
            else:
                rows = [dict(self.read_fn(ram[i])) for i in range(len(ram))]
            for name in rows[0] if rows else ():
                values[name] = np.array([row[name] for row in rows])
        return values

    @staticmethod
    def _row(values: Values, i: int) -> dict[str, Any]:
        return {name: array[i].item() for name, array in values.items()}

    @staticmethod
    def _memory(names: list[str], memory: tuple[np.ndarray, np.ndarray | None], i: int) -> dict[str, np.ndarray]:
        ram, prg_ram = memory
        return {name: (ram if name == "ram" else prg_ram)[i] for name in names}  # type: ignore[index]

    def reward(self, previous: Values, current: Values, rows: Sequence[int],
               memory: tuple[np.ndarray, np.ndarray | None]) -> np.ndarray:
        if self.reward_fn is not None:
            return np.array([float(self.reward_fn(self._row(previous, i), self._row(current, i),
                                                  **self._memory(self.reward_memory, memory, i))) for i in rows])
        total = np.zeros(len(rows))
        if self.integration is not None and self.integration.rewards:
            total += self.integration.reward(previous, current)[list(rows)]
        if self.scripts is not None:
            total += self.scripts.reward(current, rows)
        return total

    def terminated(self, previous: Values, current: Values, rows: Sequence[int],
                   memory: tuple[np.ndarray, np.ndarray | None]) -> np.ndarray:
        if self.terminated_fn is not None:
            return np.array([bool(self.terminated_fn(self._row(current, i),
                                                     **self._memory(self.terminated_memory, memory, i)))
                             for i in rows])
        ended = np.zeros(len(rows), bool)
        if self.integration is not None:
            ended |= self.integration.terminated(previous, current)[list(rows)]
        if self.scripts is not None:
            by_script = self.scripts.done(current, rows)
            for i, hit in zip(rows, by_script):
                (self.script_ended.add if hit else self.script_ended.discard)(i)
            ended |= by_script
        return ended

    def reasons(self, previous: Values, current: Values, row: int) -> list[str]:
        """What ended console `row`'s episode at the last step."""
        if self.terminated_fn is not None:
            return ["terminated_fn"]
        held = self.integration.reasons(previous, current, row) if self.integration is not None else []
        if self.scripts is not None and row in self.script_ended:
            held.append(f"done script lua:{self.scripts.done_function}")
        return held


def area_weights(source: int, destination: int) -> np.ndarray:
    """(destination, source) overlaps of an exact area average, in units of 1/destination
    source pixels: the native batch's weights, so both round alike."""
    weights = np.zeros((destination, source))
    for o in range(destination):
        low, high = o * source, (o + 1) * source
        for s in range(o * source // destination, ((o + 1) * source - 1) // destination + 1):
            weights[o, s] = min(high, (s + 1) * destination) - max(low, s * destination)
    return weights


def _taps(source: int, destination: int) -> list[tuple[np.ndarray, np.ndarray]]:
    """For each tap of the average: the source pixel of every output pixel and its weight."""
    weights = area_weights(source, destination)
    taps = int((weights > 0).sum(axis=1).max())
    start = np.minimum(np.argmax(weights > 0, axis=1), source - taps)
    outputs = np.arange(destination)
    return [(start + t, weights[outputs, start + t].astype(np.int32)) for t in range(taps)]


class _Crop:
    """The scenario's rectangle of full pictures, area-averaged to the screen size.

    A few integer multiply-adds a tap, not matrix products: a BLAS call would start threads
    that fight the batch's workers for the cores. The sums stay below 2**31 (255 x 240 x 256)."""

    def __init__(self, crop: tuple[int, int, int, int], size: tuple[int, int]) -> None:
        x, y, width, height = crop
        self.rows, self.columns = slice(y, y + height), slice(x, x + width)
        self.size = size
        self.resize = size != (height, width)
        if self.resize:
            self.row_taps = _taps(height, size[0])
            self.column_taps = _taps(width, size[1])
            self.total = height * width
            self.half = self.total // 2

    def __call__(self, pictures: np.ndarray) -> np.ndarray:
        part = pictures[:, self.rows, self.columns]
        if not self.resize:
            return np.ascontiguousarray(part)
        extra = (None,) * (part.ndim - 3)  # the colour axis of RGB
        part = part.astype(np.int32)
        rows = np.zeros((len(part), self.size[0]) + part.shape[2:], np.int32)
        for index, weight in self.row_taps:
            rows += part[:, index] * weight[(None, slice(None), None) + extra]
        both = np.zeros((len(part),) + self.size + part.shape[3:], np.int32)
        for index, weight in self.column_taps:
            both += rows[:, :, index] * weight[(None, None, slice(None)) + extra]
        return ((both + self.half) // self.total).astype(np.uint8)


class _Default:
    def __repr__(self) -> str:
        return "the folder's default_state"


#: ``state=``'s default: the integration folder's ``default_state``.
DEFAULT_STATE: Any = _Default()
OBS_TYPES = ("rgb", "grayscale", "ram", "ram+prg")


class _Setup:
    """The options both environments take, checked once."""

    def __init__(self, rom: RomSource | None, obs_type: str = "rgb", screen_size: object = None,
                 frameskip: int | tuple[int, int] = 4, max_pool: bool | None = None,
                 repeat_action_probability: float = 0.25, noop_max: int = 0,
                 actions: str | Sequence[Sequence[str]] | None = None, integration: object = None,
                 game: str | None = None, state: str | None = DEFAULT_STATE,
                 variables: object = None, reward_fn: Callable[..., float] | None = None,
                 terminated_fn: Callable[..., bool] | None = None, start_state: object = None,
                 start_frames: int = 0, max_episode_frames: int | None = MAX_EPISODE_FRAMES,
                 render_mode: str | None = None) -> None:
        if game is not None and integration is not None:
            raise ValueError("give game= (a name on the integration search path) or integration= (a folder), "
                             "not both")
        folder = integrations.find(game) if game is not None else None
        if integration is not None:
            if not isinstance(integration, (str, os.PathLike)):
                raise TypeError(f"integration must be a folder's path, not {type(integration).__name__}")
            folder = Path(integration)
        self.integration = integrations.load(folder) if folder is not None else None
        self.image = self._image(rom, self.integration)
        check_board(self.image)
        if obs_type not in OBS_TYPES:
            raise ValueError(f"obs_type must be one of {', '.join(map(repr, OBS_TYPES))}, not {obs_type!r}")
        self.obs_type = obs_type
        self.memory = obs_type in ("ram", "ram+prg")
        if self.memory and screen_size is not None:
            raise ValueError(f"screen_size applies to pictures, not to obs_type={obs_type!r}")
        crop = self.integration.crop if self.integration is not None and not self.memory else None
        if crop is not None:
            self.screen = screen_shape(screen_size) if screen_size is not None else (crop[3], crop[2])
            self.crop: _Crop | None = _Crop(crop, self.screen)
        else:
            self.screen = screen_shape(screen_size)
            self.crop = None
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
        if max_episode_frames is not None and (isinstance(max_episode_frames, bool) or
                                               not isinstance(max_episode_frames, (int, np.integer)) or
                                               max_episode_frames < 1):
            raise ValueError(f"max_episode_frames must be None or an int of at least 1, not {max_episode_frames!r}")
        self.max_episode_frames = max_episode_frames
        self.groups: list[np.ndarray] | None = None
        self.masks: np.ndarray | None = None
        if actions is None and self.integration is not None and self.integration.actions is not None:
            self.groups = [np.array(group, np.uint8) for group in self.integration.actions]
        else:
            self.masks = action_masks("simple" if actions is None else actions)
        self.multibinary = self.groups is None and self.masks is None
        self.rules = _Rules(self.integration, variables, reward_fn, terminated_fn)
        self.start_state, self.state_source = self._start(state, start_state)
        if render_mode not in (None, "rgb_array", "human"):
            raise ValueError(f"render_mode must be None, 'rgb_array' or 'human', not {render_mode!r}")
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
            warnings.warn(f"{source}: its SHA-1 ({roms.hashes(image)[0]}) is not the one in "
                          f"{integration.folder}/rom.sha; using it anyway", stacklevel=4)
        return image

    def _start(self, state: object, start_state: object) -> tuple[bytes | None, str]:
        """The snapshot a reset restores (None: power-on) and where it came from."""
        if state is not DEFAULT_STATE:
            if start_state is not None:
                raise ValueError("give state= (a start state of the integration) or start_state= (snapshot "
                                 "bytes or a file), not both")
            if self.integration is None:
                raise ValueError("state= names a start state of an integration folder: give game= or integration=")
            if state is None:
                return None, "power-on"
            return self.integration.state(state), str(self.integration.state_path(state))  # type: ignore[arg-type]
        if start_state is not None:
            data = self._state(start_state)
            if not data.startswith(integrations.SNAPSHOT_MAGIC):
                raise ValueError(f"start_state is not a velkora snapshot (velkora_gym.snapshot's bytes); "
                                 f"{integrations.HOW_TO_MAKE_A_STATE}")
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
        if isinstance(frameskip, Sequence) and len(frameskip) == 2 and all(
                isinstance(v, (int, np.integer)) and not isinstance(v, bool) for v in frameskip):
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
            return Path(start_state).read_bytes()
        raise TypeError("start_state must be snapshot bytes or the path of a file holding them")

    def batch(self, consoles: int, threads: int | None) -> Batch:
        picture = not self.memory
        native_size = self.screen if picture and self.crop is None and self.screen != (240, 256) else None
        batch = Batch(self.image, consoles, threads=threads, obs_type=self.obs_type if picture else None,
                      screen_size=native_size, max_pool=self.max_pool,
                      prg_ram=self.rules.needs_prg_ram or self.obs_type == "ram+prg")
        if self.start_state is not None:
            try:  # refused here, naming the file, rather than at the first reset
                batch.restore(0, self.start_state)
            except ValueError as error:
                raise ValueError(f"{self.state_source}: {error}") from None
        return batch

    def observe(self, batch: Batch, rows: slice | int = slice(None)) -> np.ndarray:
        """Copies of the observations of some consoles."""
        if self.obs_type == "ram":
            return batch.ram[rows].copy()
        if self.obs_type == "ram+prg":
            return np.concatenate((batch.ram[rows], batch.prg_ram[rows]), axis=-1)  # type: ignore[index]
        if self.crop is not None:
            if isinstance(rows, int):
                return self.crop(batch.observations[rows:rows + 1])[0]
            return self.crop(batch.observations[rows])
        return batch.observations[rows].copy()

    def observation_space(self) -> spaces.Box:
        if self.obs_type == "ram":
            shape: tuple[int, ...] = (2048,)
        elif self.obs_type == "ram+prg":
            shape = (2048 + 8192,)
        else:
            shape = self.screen + ((3,) if self.obs_type == "rgb" else ())
        return spaces.Box(0, 255, shape, np.uint8)

    def action_space(self) -> spaces.Space:
        if self.groups is not None:
            return spaces.MultiDiscrete([len(group) for group in self.groups])
        return spaces.MultiBinary(8) if self.masks is None else spaces.Discrete(len(self.masks))


class _Lane:
    """One environment's random generator, sticky action and episode length."""

    def __init__(self, setup: _Setup) -> None:
        self.setup = setup
        self.rng: np.random.Generator | None = None
        self.previous = 0  # the mask of the last frame run
        self.episode_frames = 0

    def seed(self, seed: int | None) -> None:
        if seed is not None or self.rng is None:
            self.rng, _ = seeding.np_random(seed)

    def reset(self) -> int:
        """The frames with no button pressed to run after this reset."""
        self.previous = 0
        self.episode_frames = 0
        noops = int(self.rng.integers(0, self.setup.noop_max + 1)) if self.setup.noop_max else 0
        return self.setup.start_frames + noops

    def plan(self, mask: int) -> tuple[int, list[int]]:
        """The frames of a step and the mask of each: sticky frames keep the last mask
        until one takes the new mask, which then holds."""
        low, high = self.setup.frameskip
        frames = low if high == low + 1 else int(self.rng.integers(low, high))
        masks = [mask] * frames
        if self.setup.sticky > 0.0:
            draws = self.rng.random(frames)
            switch = int(np.argmax(draws >= self.setup.sticky)) if (draws >= self.setup.sticky).any() else frames
            masks[:switch] = [self.previous] * switch
        self.previous = masks[-1]
        self.episode_frames += frames
        return frames, masks

    def truncated(self) -> bool:
        limit = self.setup.max_episode_frames
        return limit is not None and self.episode_frames >= limit


def _action_mask(setup: _Setup, space: spaces.Space, action: object) -> int:
    value = np.asarray(action)
    if setup.groups is not None:
        if (value.shape != (len(setup.groups),) or not np.issubdtype(value.dtype, np.integer) or
                not all(0 <= v < len(g) for v, g in zip(value.tolist(), setup.groups))):
            raise ValueError(f"action {action!r} is not in {space}")
        mask = 0
        for v, group in zip(value.tolist(), setup.groups):
            mask |= int(group[v])
        return mask
    if setup.masks is None:
        if value.shape != (8,) or not np.isin(value, (0, 1)).all():
            raise ValueError(f"action {action!r} is not in {space}: eight 0/1 buttons")
        return multibinary_mask(value)
    if value.shape != () or not np.issubdtype(value.dtype, np.integer):
        raise ValueError(f"action {action!r} is not in {space}")
    index = int(value)
    if not 0 <= index < len(setup.masks):
        raise ValueError(f"action {index} is not in {space}")
    return int(setup.masks[index])


class VelkoraEnv(gym.Env):
    """One NES console as a Gymnasium environment (see the README for every option)."""

    metadata = {"render_modes": ["rgb_array", "human"], "render_fps": RENDER_FPS}

    def __init__(self, rom: RomSource | None = None, **options: Any) -> None:
        self._setup = _Setup(rom, **options)
        self.render_mode = self._setup.render_mode
        self._batch = self._setup.batch(1, threads=1)
        self._lane = _Lane(self._setup)
        self.observation_space = self._setup.observation_space()
        self.action_space = self._setup.action_space()
        self._values: Values | None = None
        self._previous: Values | None = None
        self._viewer: Any = None

    # --- Gymnasium ---
    def reset(self, *, seed: int | None = None, options: dict[str, Any] | None = None):
        super().reset(seed=seed)
        self._lane.seed(seed)
        noops = self._lane.reset()
        self._batch.reset([0], self._setup.start_state, noop_frames=[noops])
        self._setup.rules.restart([0], 1)
        self._values = self._read()
        self._previous = None
        if self.render_mode == "human":
            self.render()
        return self._observation(), self._info()

    def step(self, action: object):
        if self._values is None:
            raise ResetNeeded("call reset before step")
        mask = _action_mask(self._setup, self.action_space, action)
        frames, masks = self._lane.plan(mask)
        self._batch.step(np.array([masks], np.uint8), frames)
        previous, self._values = self._values, self._read()
        self._previous = previous
        memory = (self._batch.ram, self._batch.prg_ram)
        reward = float(self._setup.rules.reward(previous, self._values, [0], memory)[0])
        terminated = bool(self._setup.rules.terminated(previous, self._values, [0], memory)[0])
        if self.render_mode == "human":
            self.render()
        return self._observation(), reward, terminated, self._lane.truncated(), self._info()

    def render(self):
        if self.render_mode == "rgb_array":
            return self._batch.picture(0)
        if self.render_mode == "human":
            if self._viewer is None:
                from velkora_gym.viewer import Viewer

                self._viewer = Viewer("velkora")
            self._viewer.show(self._batch.picture(0), self._lane.episode_frames)
        return None

    def close(self) -> None:
        if self._viewer is not None:
            self._viewer.close()
            self._viewer = None

    # --- search methods ---
    def clone_state(self, *, picture: bool = True) -> bytes:
        """A snapshot of the console (``velkora_gym.snapshot``'s format). With
        ``picture=False`` it leaves out the finished picture: a restore then keeps the
        current observation until the next step, whose frames are the same either way."""
        return self._batch.snapshot(0, picture=picture)

    def restore_state(self, data: bytes) -> None:
        """Back to a snapshot; the next reward counts from the restored machine."""
        self._batch.restore(0, data)
        self._values = self._read()
        self._previous = None

    def ended_by(self) -> list[str]:
        """What ended the episode at the last step: the done variables and nodes whose test
        held, the done script, or terminated_fn (empty when nothing did)."""
        if self._previous is None or self._values is None:
            return []
        return self._setup.rules.reasons(self._previous, self._values, 0)

    # --- helpers ---
    def _read(self) -> Values:
        return self._setup.rules.values(self._batch.ram, self._batch.prg_ram)

    def _observation(self) -> np.ndarray:
        return self._setup.observe(self._batch, 0)

    def _info(self) -> dict[str, Any]:
        info = {name: values[0].item() for name, values in (self._values or {}).items()}
        info["episode_frame_number"] = self._lane.episode_frames
        return info


class VelkoraVectorEnv(VectorEnv):
    """``num_envs`` consoles as one Gymnasium vector environment, on ``threads`` native
    threads; next-step autoreset, one random generator per environment."""

    metadata = {"render_modes": ["rgb_array"], "render_fps": RENDER_FPS,
                "autoreset_mode": AutoresetMode.NEXT_STEP}

    def __init__(self, rom: RomSource | None = None, num_envs: int = 1, *, threads: int | None = None,
                 **options: Any) -> None:
        if options.get("render_mode") == "human":
            raise ValueError("a vector environment renders 'rgb_array' only")
        self._setup = _Setup(rom, **options)
        self.render_mode = self._setup.render_mode
        self._batch = self._setup.batch(num_envs, threads=threads)
        self.num_envs = self._batch.num_consoles
        self._lanes = [_Lane(self._setup) for _ in range(self.num_envs)]
        self.single_observation_space = self._setup.observation_space()
        self.single_action_space = self._setup.action_space()
        self.observation_space = gym.vector.utils.batch_space(self.single_observation_space, self.num_envs)
        self.action_space = gym.vector.utils.batch_space(self.single_action_space, self.num_envs)
        self._values: Values | None = None
        self._done = np.zeros(self.num_envs, bool)

    def reset(self, *, seed: int | Sequence[int | None] | None = None, options: dict[str, Any] | None = None):
        if seed is None:
            seeds: list[int | None] = [None] * self.num_envs
        elif isinstance(seed, (int, np.integer)):
            seeds = [int(seed) + i for i in range(self.num_envs)]
        else:
            seeds = list(seed)
            if len(seeds) != self.num_envs:
                raise ValueError(f"{len(seeds)} seeds for {self.num_envs} environments")
        for lane, one in zip(self._lanes, seeds):
            lane.seed(one)
        indices = list(range(self.num_envs))
        self._reset(indices)
        self._done[:] = False
        return self._observations(), self._info(indices)

    def step(self, actions: object):
        if self._values is None:
            raise ResetNeeded("call reset before step")
        actions = np.asarray(actions)
        if actions.shape[:1] != (self.num_envs,):
            raise ValueError(f"{len(actions) if actions.ndim else 'no'} actions for {self.num_envs} environments")
        restarting = [i for i in range(self.num_envs) if self._done[i]]
        stepping = [i for i in range(self.num_envs) if not self._done[i]]
        masks = [_action_mask(self._setup, self.single_action_space, actions[i]) for i in stepping]
        if restarting:
            self._reset(restarting)
        rewards = np.zeros(self.num_envs)
        terminated = np.zeros(self.num_envs, bool)
        truncated = np.zeros(self.num_envs, bool)
        if stepping:
            plans = {i: self._lanes[i].plan(mask) for i, mask in zip(stepping, masks)}
            width = max(frames for frames, _ in plans.values())
            pads = np.zeros((self.num_envs, width), np.uint8)
            counts = np.ones(self.num_envs, np.int32)
            for i, (frames, row) in plans.items():
                pads[i, :frames] = row
                pads[i, frames:] = row[-1]
                counts[i] = frames
            previous = self._values
            self._batch.step(pads, counts, active=np.array([not d for d in self._done], bool))
            self._values = self._read()
            rows = stepping
            memory = (self._batch.ram, self._batch.prg_ram)
            rewards[rows] = self._setup.rules.reward(previous, self._values, rows, memory)
            terminated[rows] = self._setup.rules.terminated(previous, self._values, rows, memory)
            truncated[rows] = [self._lanes[i].truncated() for i in rows]
        else:
            self._values = self._read()
        self._done = terminated | truncated
        return self._observations(), rewards, terminated, truncated, self._info(range(self.num_envs))

    def render(self):
        if self.render_mode == "rgb_array":
            return tuple(self._batch.picture(i) for i in range(self.num_envs))
        return None

    def close_extras(self, **kwargs: Any) -> None:
        self._batch = None  # type: ignore[assignment]

    def _reset(self, indices: list[int]) -> None:
        noops = [self._lanes[i].reset() for i in indices]
        self._batch.reset(indices, self._setup.start_state, noop_frames=noops)
        self._setup.rules.restart(indices, self.num_envs)
        self._values = self._read()

    def _read(self) -> Values:
        return self._setup.rules.values(self._batch.ram, self._batch.prg_ram)

    def _observations(self) -> np.ndarray:
        return self._setup.observe(self._batch)

    def _info(self, indices: Sequence[int]) -> dict[str, Any]:
        info: dict[str, Any] = {}
        for name, values in (self._values or {}).items():
            info[name] = values.copy()
            info[f"_{name}"] = np.ones(self.num_envs, bool)
        info["episode_frame_number"] = np.array([lane.episode_frames for lane in self._lanes])
        info["_episode_frame_number"] = np.ones(self.num_envs, bool)
        return info


# The demo game draws its first playable frame 8 frames after power-on.
DEMO_DEFAULTS = {"rom": DEMO_ROM, "integration": DEMO_INTEGRATION, "start_frames": 8}


def demo(**options: Any) -> VelkoraEnv:
    """The demo game with its integration."""
    return VelkoraEnv(**{**DEMO_DEFAULTS, **options})


def demo_vector(num_envs: int = 1, **options: Any) -> VelkoraVectorEnv:
    return VelkoraVectorEnv(num_envs=num_envs, **{**DEMO_DEFAULTS, **options})


def register() -> None:
    """velkora/NES-v0 (rom=...) and velkora/Demo-v0 (the demo game) for gymnasium.make."""
    if "velkora/NES-v0" not in gym.registry:
        gym.register("velkora/NES-v0", entry_point="velkora_gym.envs:VelkoraEnv",
                     vector_entry_point="velkora_gym.envs:VelkoraVectorEnv")
    if "velkora/Demo-v0" not in gym.registry:
        gym.register("velkora/Demo-v0", entry_point="velkora_gym.envs:demo",
                     vector_entry_point="velkora_gym.envs:demo_vector")
