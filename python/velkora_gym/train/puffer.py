"""PufferLib on the native batch: ``VelkoraPufferEnv`` is a native ``pufferlib.PufferEnv``,
one agent per console (``pip install velkora[puffer]``, the ``pufferlib-core`` package).

    import pufferlib.vector
    from velkora_gym.train.puffer import VelkoraPufferEnv, demo

    vecenv = pufferlib.vector.make(demo, env_kwargs={"num_envs": 8, "obs_type": "grayscale",
                                                     "screen_size": 84})

PufferLib's native backend uses the environment as it is (its consoles already run on every
core); its Serial and Multiprocessing backends run several of them. Observations, rewards and
ends are written into PufferLib's shared buffers; an environment that ends restarts in the
same step (the vector environment's same-step autoreset), and ``infos`` has one dict per
finished episode (``episode_return``, ``episode_length``). Grayscale observations have their
channel axis, (H, W, 1); the eight-button action set is offered as ``MultiDiscrete([2] * 8)``,
which PufferLib accepts. A step whose judging fails (a ``ScriptError`` of the integration's
scripts, a reward that is not a finite number) raises; every agent's console advanced in it
(the error's ``advanced``), and ``reset()`` brings every console back to its start.
"""

from __future__ import annotations

from typing import Any, Unpack

import numpy as np
import pufferlib
from gymnasium import spaces
from gymnasium.vector import AutoresetMode

from velkora_gym.batch import RomSource
from velkora_gym.envs.core import DEMO_DEFAULTS
from velkora_gym.envs.options import EnvOptions
from velkora_gym.envs.vector import VelkoraVectorEnv

__all__ = ["VelkoraPufferEnv", "demo"]


class VelkoraPufferEnv(pufferlib.PufferEnv):
    """``num_envs`` consoles (agents) of a ``VelkoraVectorEnv`` with these ``options``;
    ``buf`` and ``seed`` are what PufferLib's vector backends pass."""

    def __init__(
        self,
        rom: RomSource | None = None,
        num_envs: int = 1,
        *,
        threads: int | None = None,
        buf: dict[str, np.ndarray] | None = None,
        seed: int | None = 0,
        **options: Unpack[EnvOptions],
    ) -> None:
        options = {"channel_axis": True, **options}  # type: ignore[assignment]
        # Views, not copies: each step writes them into PufferLib's buffers at once.
        self._venv = VelkoraVectorEnv(
            rom, num_envs, threads=threads, autoreset_mode=AutoresetMode.SAME_STEP, copy=False, **options
        )
        self.num_agents = self._venv.num_envs
        self.single_observation_space = self._venv.single_observation_space
        action_space = self._venv.single_action_space
        self._binary = isinstance(action_space, spaces.MultiBinary)
        self.single_action_space = spaces.MultiDiscrete([2] * action_space.n) if self._binary else action_space
        self.render_mode = self._venv.render_mode
        self.metadata = {
            "render_modes": list(self._venv.metadata["render_modes"]),
            "render_fps": self._venv.metadata["render_fps"],
        }
        self._seed = seed
        self._returns = np.zeros(self.num_agents)
        self._lengths = np.zeros(self.num_agents, np.int64)
        self._closed = False
        super().__init__(buf)

    def reset(self, seed: int | None = None):
        self._check_open()
        observations, _ = self._venv.reset(seed=self._seed if seed is None else seed)
        self.observations[:] = observations
        self.rewards[:] = 0
        self.terminals[:] = False
        self.truncations[:] = False
        self._returns[:] = 0
        self._lengths[:] = 0
        return self.observations, []

    def step(self, actions: np.ndarray):
        self._check_open()
        observations, rewards, terminated, truncated, info = self._venv._step(actions, False)
        self.observations[:] = observations
        self.rewards[:] = rewards
        self.terminals[:] = terminated
        self.truncations[:] = truncated
        self._returns += rewards
        self._lengths += 1
        infos: list[dict[str, Any]] = []
        if "final_obs" in info:
            finished = np.flatnonzero(info["_final_obs"])
            infos = [
                {"episode_return": r, "episode_length": n}
                for r, n in zip(self._returns[finished].tolist(), self._lengths[finished].tolist())
            ]
            self._returns[finished] = 0
            self._lengths[finished] = 0
        return self.observations, self.rewards, self.terminals, self.truncations, infos

    def render(self) -> np.ndarray | None:
        """Agent 0's picture, (240, 256, 3), with ``render_mode="rgb_array"``."""
        pictures = self._venv.render()
        return None if pictures is None else pictures[0]

    def get_action_meanings(self) -> list[str]:
        return self._venv.get_action_meanings()

    @property
    def timing(self) -> str:
        """The consoles' timing model: "design" or "hardware"."""
        return self._venv.timing

    def close(self) -> None:
        if not self._closed:
            self._venv.close()
            self._closed = True

    def _check_open(self) -> None:
        if self._closed:
            raise RuntimeError("this VelkoraPufferEnv is closed")


def demo(num_envs: int = 1, **options: Unpack[EnvOptions]) -> VelkoraPufferEnv:
    """The demo game with its integration, as a PufferLib environment."""
    return VelkoraPufferEnv(num_envs=num_envs, **{**DEMO_DEFAULTS, **options})
