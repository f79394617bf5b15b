"""Stable-Baselines3 on the native batch: ``VelkoraVecEnv`` is an SB3 ``VecEnv`` over a
``VelkoraVectorEnv`` (``pip install velkora[train]``).

    from stable_baselines3 import PPO
    from stable_baselines3.common.vec_env import VecFrameStack
    from velkora_gym.train.sb3 import make

    env = VecFrameStack(make("velkora/Demo-v0", num_envs=8, obs_type="grayscale", screen_size=84), 4)
    PPO("CnnPolicy", env).learn(100_000)

The vector environment restarts an episode in the step that ends it (its same-step
autoreset), as SB3 expects: the last observation is in ``infos[i]["terminal_observation"]``
and ``infos[i]["TimeLimit.truncated"]`` tells a time limit from a real end. Grayscale
observations have their channel axis, (H, W, 1). Environment i runs exactly what a
``VelkoraEnv`` seeded the same runs under SB3's ``DummyVecEnv``.

A step whose judging fails (a ``ScriptError`` of the integration's scripts, a reward that is
not a finite number) raises from ``step_wait``; every console advanced in it (the error's
``advanced``), and ``reset()`` brings every console back to its start.
"""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from typing import Any, Literal, Unpack

import gymnasium as gym
import numpy as np
from gymnasium.vector import AutoresetMode
from stable_baselines3.common.vec_env.base_vec_env import VecEnv, VecEnvIndices, VecEnvObs, VecEnvStepReturn

from velkora_gym.batch import RomSource
from velkora_gym.envs.core import DEMO_DEFAULTS
from velkora_gym.envs.options import EnvOptions
from velkora_gym.envs.registration import IDS
from velkora_gym.envs.vector import VelkoraVectorEnv

__all__ = ["VelkoraVecEnv", "make"]

# Attributes every environment has, read through get_attr and not settable one by one.
_FIXED = frozenset({"render_mode", "metadata", "spec", "observation_space", "action_space", "timing"})
_ENTRY_POINTS = {IDS["velkora/NES-v0"][1]: {}, IDS["velkora/Demo-v0"][1]: DEMO_DEFAULTS}
# Keys of the vector info that are not the game's variables.
_NOT_VARIABLES = frozenset({"final_obs", "final_info", "env_id"})
INFOS = ("ends", "all")


class VelkoraVecEnv(VecEnv):
    """``num_envs`` consoles on ``threads`` native threads as an SB3 ``VecEnv``; ``options``
    are those of ``VelkoraVectorEnv`` (``velkora_gym.EnvOptions``), ``channel_axis`` on by
    default.

    ``infos="ends"`` (default) leaves ``infos[i]`` empty except when environment i's episode
    ended in the step: then it holds ``terminal_observation``, ``TimeLimit.truncated`` and
    the game's variables at the end (for ``VecMonitor(info_keywords=...)``). ``infos="all"``
    puts the variables in every ``infos[i]`` and ``reset_infos[i]`` at every step, as
    ``VelkoraEnv``'s info has them, at a cost measured in
    docs/performance.md ("Training adapters")."""

    def __init__(
        self,
        rom: RomSource | None = None,
        num_envs: int = 1,
        *,
        threads: int | None = None,
        infos: Literal["ends", "all"] = "ends",
        **options: Unpack[EnvOptions],
    ) -> None:
        if infos not in INFOS:
            raise ValueError(f"infos must be 'ends' or 'all', not {infos!r}")
        options = {"channel_axis": True, **options}  # type: ignore[assignment]
        self._venv = VelkoraVectorEnv(rom, num_envs, threads=threads, autoreset_mode=AutoresetMode.SAME_STEP, **options)
        self._every_step = infos == "all"
        self._lives = self._venv._setup.game.lives
        self.spec: gym.envs.registration.EnvSpec | None = None
        self._env_metadata = {
            "render_modes": list(self._venv.metadata["render_modes"]),
            "render_fps": self._venv.metadata["render_fps"],
        }
        self._own: list[dict[str, Any]] = [{} for _ in range(self._venv.num_envs)]
        self._actions: np.ndarray | None = None
        self._closed = False
        super().__init__(self._venv.num_envs, self._venv.single_observation_space, self._venv.single_action_space)
        self.metadata = {**self._env_metadata, "render_modes": self.metadata["render_modes"]}

    # --- stepping ---
    def reset(self) -> VecEnvObs:
        self._check_open()
        observations, info = self._venv.reset(seed=list(self._seeds))
        self.reset_infos = self._variable_rows(info) if self._every_step else [{} for _ in range(self.num_envs)]
        self._reset_seeds()
        self._reset_options()
        self._actions = None
        return observations

    def step_async(self, actions: np.ndarray) -> None:
        self._check_open()
        self._actions = np.asarray(actions)

    def step_wait(self) -> VecEnvStepReturn:
        if self._actions is None:
            raise RuntimeError("step_wait needs a step_async first (and reset before both)")
        actions, self._actions = self._actions, None
        observations, rewards, terminated, truncated, info = self._venv._step(actions, self._every_step)
        dones = terminated | truncated
        infos = self._variable_rows(info) if self._every_step else [{} for _ in range(self.num_envs)]
        final = info.get("final_obs")
        if final is not None:
            self._ends(info, final, terminated, truncated, infos)
        return observations, rewards.astype(np.float32), dones, infos

    def _ends(
        self,
        info: dict[str, Any],
        final: np.ndarray,
        terminated: np.ndarray,
        truncated: np.ndarray,
        infos: list[dict[str, Any]],
    ) -> None:
        """The ended environments' infos: their last observation and variables; with
        infos="all", the restarted episodes' first variables in reset_infos."""
        ended = np.flatnonzero(info["_final_obs"])
        values = info["final_info"]
        names = [name for name in values if not name.startswith("_")]
        columns = [values[name][ended].tolist() for name in names]
        for k, i in enumerate(ended.tolist()):
            row = infos[i]
            if self._every_step:
                self.reset_infos[i] = dict(row)
            row.update(zip(names, (column[k] for column in columns)))
            if self._lives is not None:
                row["lives"] = row[self._lives]
            row["terminal_observation"] = final[i]
            row["TimeLimit.truncated"] = bool(truncated[i] and not terminated[i])

    def _variable_rows(self, info: dict[str, Any]) -> list[dict[str, Any]]:
        """The vector info's variables as one dict per environment, one list per variable."""
        names = [name for name in info if name[0] != "_" and name not in _NOT_VARIABLES]
        columns = [info[name].tolist() for name in names]
        return [dict(zip(names, values)) for values in zip(*columns)] if names else [{} for _ in range(self.num_envs)]

    def close(self) -> None:
        if not self._closed:
            self._venv.close()
            self._closed = True

    # --- pictures ---
    def get_images(self) -> Sequence[np.ndarray | None]:
        self._check_open()
        if self.render_mode != "rgb_array":
            warnings.warn(
                f"the render mode is {self.render_mode!r}: pictures need render_mode='rgb_array'", stacklevel=2
            )
            return [None] * self.num_envs
        return list(self._venv.render())

    # --- what SB3's wrappers and callbacks ask of the environments ---
    def get_action_meanings(self) -> list[str]:
        return self._venv.get_action_meanings()

    def get_attr(self, attr_name: str, indices: VecEnvIndices = None) -> list[Any]:
        return [self._attribute(attr_name, i) for i in self._rows(indices)]

    def set_attr(self, attr_name: str, value: Any, indices: VecEnvIndices = None) -> None:
        if attr_name in _FIXED or attr_name == "get_action_meanings":
            raise AttributeError(f"{attr_name!r} is fixed when the environments are made")
        for i in self._rows(indices):
            self._own[i][attr_name] = value

    def env_method(
        self, method_name: str, *method_args: Any, indices: VecEnvIndices = None, **method_kwargs: Any
    ) -> list[Any]:
        rows = self._rows(indices)
        if method_name == "render":
            pictures = self.get_images()
            return [pictures[i] for i in rows]
        return [self._attribute(method_name, i)(*method_args, **method_kwargs) for i in rows]

    def env_is_wrapped(self, wrapper_class: type[gym.Wrapper], indices: VecEnvIndices = None) -> list[bool]:
        # The consoles are not Gymnasium environments: nothing wraps them one by one.
        return [False] * len(self._rows(indices))

    # --- helpers ---
    def _attribute(self, name: str, row: int) -> Any:
        if name in self._own[row]:
            return self._own[row][name]
        if name == "render_mode":
            return self._venv.render_mode
        if name == "metadata":
            return self._env_metadata
        if name == "spec":
            return self.spec
        if name == "observation_space":
            return self.observation_space
        if name == "action_space":
            return self.action_space
        if name == "get_action_meanings":
            return self.get_action_meanings
        if name == "timing":
            return self._venv.timing
        raise AttributeError(f"the environments have no attribute {name!r}")

    def _rows(self, indices: VecEnvIndices) -> list[int]:
        chosen = list(self._get_indices(indices))
        for i in chosen:
            if isinstance(i, bool) or not isinstance(i, (int, np.integer)) or not 0 <= i < self.num_envs:
                raise IndexError(f"environment index {i!r} is not in 0..{self.num_envs - 1}")
        return [int(i) for i in chosen]

    def _check_open(self) -> None:
        if self._closed:
            raise RuntimeError("this VelkoraVecEnv is closed")


def make(
    env_id: str,
    num_envs: int = 1,
    *,
    threads: int | None = None,
    infos: Literal["ends", "all"] = "ends",
    **options: Unpack[EnvOptions],
) -> VelkoraVecEnv:
    """A registered velkora environment (``velkora/Demo-v0``, ``velkora/NES-v0``) as a
    ``VelkoraVecEnv``, with its registered defaults under ``options``."""
    spec = gym.spec(env_id)
    defaults = _ENTRY_POINTS.get(spec.vector_entry_point) if isinstance(spec.vector_entry_point, str) else None
    if defaults is None:
        raise ValueError(f"{env_id} is not a velkora environment: make() takes velkora/Demo-v0 or velkora/NES-v0")
    env = VelkoraVecEnv(num_envs=num_envs, threads=threads, infos=infos, **{**defaults, **spec.kwargs, **options})  # type: ignore[arg-type]
    env.spec = spec
    return env
