"""``VelkoraVectorEnv``: ``num_envs`` NES consoles stepped on every core, a Gymnasium vector
environment."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, Unpack

import gymnasium as gym
import numpy as np
from gymnasium.error import ResetNeeded
from gymnasium.vector import AutoresetMode, VectorEnv

from velkora_gym.batch import RomSource
from velkora_gym.console import RENDER_FPS
from velkora_gym.envs.core import (
    _AUTORESET,
    DEMO_DEFAULTS,
    Values,
    _Driver,
    _seeds,
    _Setup,
)
from velkora_gym.envs.options import EnvOptions, unknown


class VelkoraVectorEnv(VectorEnv):
    """``num_envs`` consoles as one Gymnasium vector environment, on ``threads`` native
    threads, with one random generator per environment.

    ``autoreset_mode``: ``AutoresetMode.NEXT_STEP`` (default: the step after an episode's
    end returns the next episode's first observation), ``SAME_STEP`` (that step returns it
    already, the final observation in ``info["final_obs"]``) or ``DISABLED`` (reset the
    ended ones with ``reset(options={"reset_mask": mask})``).

    With ``batch_size`` (fewer than ``num_envs``), ``send(actions, env_ids)`` starts steps on
    the workers and ``recv()`` returns the first ``batch_size`` environments to finish, their
    ids in ``info["env_id"]``, while the others keep running; ``step`` stays the synchronous
    special case over every environment.

    ``copy=False`` returns views of the native observation array, which the next step
    rewrites, instead of copies."""

    metadata = {"render_modes": ["rgb_array"], "render_fps": RENDER_FPS, "autoreset_mode": AutoresetMode.NEXT_STEP}

    def __init__(
        self,
        rom: RomSource | None = None,
        num_envs: int = 1,
        *,
        threads: int | None = None,
        batch_size: int | None = None,
        autoreset_mode: AutoresetMode | str = AutoresetMode.NEXT_STEP,
        copy: bool = True,
        **options: Unpack[EnvOptions],
    ) -> None:
        unknown(options)
        if options.get("render_mode") == "human":
            raise ValueError("a vector environment renders 'rgb_array' only")
        mode = AutoresetMode(autoreset_mode)
        self._setup = _Setup(rom, **options)
        self.render_mode = self._setup.render_mode
        self._driver = _Driver(self._setup, num_envs, threads, _AUTORESET[mode])
        self._batch = self._driver.batch
        self.num_envs = self._batch.num_consoles
        if batch_size is not None and (
            isinstance(batch_size, bool)
            or not isinstance(batch_size, (int, np.integer))
            or not 1 <= batch_size <= self.num_envs
        ):
            raise ValueError(f"batch_size must be from 1 to num_envs ({self.num_envs}), not {batch_size!r}")
        self.batch_size = self.num_envs if batch_size is None else int(batch_size)
        self.metadata = {**self.metadata, "render_fps": self._setup.render_fps(), "autoreset_mode": mode}
        self.single_observation_space = self._setup.observation_space()
        self.single_action_space = self._setup.action_space()
        self.observation_space = gym.vector.utils.batch_space(self.single_observation_space, self.num_envs)
        self.action_space = gym.vector.utils.batch_space(self.single_action_space, self.num_envs)
        self._started = False
        self._all = np.arange(self.num_envs)
        self.copy = bool(copy)

    @property
    def timing(self) -> str:
        """The timing model the consoles run: "design" or "hardware" (the ``timing`` option,
        else the start state's, else the default)."""
        return self._setup.timing

    def reset(self, *, seed: int | Sequence[int | None] | None = None, options: dict[str, Any] | None = None):
        driver = self._driver
        driver.seed(_seeds(seed, self.num_envs))
        mask = (options or {}).get("reset_mask")
        if mask is not None:
            mask = np.asarray(mask)
            if mask.dtype != np.bool_ or mask.shape != (self.num_envs,):
                raise ValueError(f"options['reset_mask'] must be a boolean array of shape ({self.num_envs},)")
            rows = [int(i) for i in np.flatnonzero(mask)]
        else:
            rows = list(range(self.num_envs))
        if driver.failed is not None and len(rows) < self.num_envs:
            raise ResetNeeded(
                f"a step failed ({driver.failed}): reset every environment, with reset() without reset_mask"
            )
        if driver.native.in_flight():
            raise RuntimeError("receive the steps sent before resetting")
        driver.failed = None
        with driver.losing(rows):
            driver.reset(rows)
        self._started = True
        return driver.observe(slice(None), self.copy), driver.info(slice(None), vector=True)

    def step(self, actions: object):
        return self._step(actions, True)

    def _step(self, actions: object, variables: bool):
        """``step``; without `variables` the info holds only what same-step autoreset adds
        (the training adapters build their own infos)."""
        if not self._started:
            raise ResetNeeded("call reset before step")
        self._driver.check("step")
        masks = self._setup.masks_of(actions, self.num_envs, self.single_action_space)
        self._driver.native.step(masks, None)
        with self._driver.losing(slice(None)):
            return self._results(slice(None), variables)

    def send(self, actions: object, env_ids: object = None) -> None:
        """Starts one step of environments `env_ids` (all when None) with these actions,
        on the workers, and returns at once."""
        if not self._started:
            raise ResetNeeded("call reset before send")
        self._driver.check("send")
        ids = self._all if env_ids is None else np.asarray(env_ids)
        if ids.ndim != 1 or (
            ids.size and (not np.issubdtype(ids.dtype, np.integer) or ids.min() < 0 or ids.max() >= self.num_envs)
        ):
            raise ValueError(f"env_ids must be indices of environments 0..{self.num_envs - 1}")
        masks = self._setup.masks_of(actions, len(ids), self.single_action_space)
        self._driver.native.send([int(i) for i in ids], masks, None)

    def recv(self):
        """The next ``batch_size`` environments to finish their step: observations,
        rewards, terminated, truncated and info, in the order they finished, with their
        ids in ``info["env_id"]``."""
        self._driver.check("recv")
        ids = self._driver.native.receive(self.batch_size)
        with self._driver.losing(ids):
            obs, rewards, terminated, truncated, info = self._results(ids)
        info["env_id"] = ids
        return obs, rewards, terminated, truncated, info

    def _results(self, rows: Any, variables: bool = True):
        driver = self._driver
        rewards, terminated, truncated = (np.array(a) for a in driver.judged(rows))
        finals = None
        if self.metadata["autoreset_mode"] == AutoresetMode.SAME_STEP:
            finals = self._finals(rows)
        info = driver.info(rows, vector=True) if variables else {}
        if finals is not None:
            ended, observations, values, frames = finals
            final = np.full(len(ended), None, dtype=object)
            for k, observation in zip(np.flatnonzero(ended), observations):
                final[k] = observation
            info["final_obs"] = final
            info["_final_obs"] = ended
            present = ended.copy()
            final_info: dict[str, Any] = {}
            for name, column in values.items():
                final_info[name] = column
                final_info[f"_{name}"] = present
            final_info["episode_frame_number"] = frames
            final_info["_episode_frame_number"] = present
            if self._setup.game.lives is not None:
                final_info["lives"] = final_info[self._setup.game.lives]
                final_info["_lives"] = present
            info["final_info"] = final_info
            info["_final_info"] = present
        return driver.observe(rows, self.copy), rewards, terminated, truncated, info

    def _finals(self, rows: Any) -> tuple[np.ndarray, np.ndarray, Values, np.ndarray] | None:
        """Which of `rows` ended in the step, their last observations, and every row's final
        variables and frame count, from what the workers kept at the end."""
        driver = self._driver
        ended = driver.ended[rows]
        if not ended.any():
            return None
        indices = self._all[rows]
        native = driver.native
        if self._setup.memory:
            observations = native.final_ram()[indices[ended]]
            if self._setup.obs_type == "ram+prg":
                observations = np.concatenate((observations, native.final_prg_ram()[indices[ended]]), axis=-1)
        else:
            observations = native.final_observations()[indices[ended]].reshape((-1, *driver.shape))
        final_native = native.final_values()[indices]
        values: Values = {name: final_native[:, k].copy() for k, name in enumerate(self._setup.game.names)}
        game = self._setup.game
        if game.read_fn is not None:
            # The callable reads the memory the episode ended with, not the restart's.
            prg = native.final_prg_ram()
            read = game.values(
                final_native[ended], native.final_ram()[indices[ended]], None if prg is None else prg[indices[ended]]
            )
            for name, array in read.items():
                if name not in values:
                    values[name] = np.zeros(len(ended), array.dtype)
                    values[name][ended] = array
        return ended.copy(), observations, values, native.final_episode_frames()[indices]

    def render(self):
        if self.render_mode == "rgb_array":
            return tuple(self._batch.picture(i) for i in range(self.num_envs))
        return None

    def get_action_meanings(self) -> list[str]:
        """The actions' names, upper case, NOOP first, combinations joined by '+' (RIGHT+A)."""
        return self._setup.action_meanings()

    def close_extras(self, **kwargs: Any) -> None:
        self._driver = None  # type: ignore[assignment]
        self._batch = None  # type: ignore[assignment]


def demo_vector(num_envs: int = 1, **options: Unpack[EnvOptions]) -> VelkoraVectorEnv:
    return VelkoraVectorEnv(num_envs=num_envs, **{**DEMO_DEFAULTS, **options})
