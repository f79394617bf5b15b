"""``VelkoraEnv``: one NES console as a Gymnasium environment."""

from __future__ import annotations

import importlib.util
from typing import Any, Unpack

import gymnasium as gym
import numpy as np
from gymnasium.error import ResetNeeded

from velkora_gym.batch import RomSource
from velkora_gym.console import RENDER_FPS
from velkora_gym.envs.core import (
    DEMO_DEFAULTS,
    Values,
    _Driver,
    _Setup,
)
from velkora_gym.envs.options import EnvOptions, unknown
from velkora_gym.timings import check_restored_timing

# The window needs pygame (pip install velkora[play]); without it "human" is not offered,
# so the environment checkers, which try every mode, pass on a plain install.
_RENDER_MODES = ["rgb_array", "human"] if importlib.util.find_spec("pygame") is not None else ["rgb_array"]


class VelkoraEnv(gym.Env):
    """One NES console as a Gymnasium environment.

    ``rom`` is the cartridge (a path or the image's bytes; with ``game`` or ``integration``
    it defaults to the folder's ROM). The keyword options (observation type and size, frame
    skip, sticky actions, action set, the game's integration, episode rules) are those of
    ``EnvOptions``: ``help(velkora_gym.EnvOptions)`` lists them with their defaults."""

    metadata = {"render_modes": _RENDER_MODES, "render_fps": RENDER_FPS}

    def __init__(self, rom: RomSource | None = None, **options: Unpack[EnvOptions]) -> None:
        unknown(options)
        self._setup = _Setup(rom, **options)
        self.render_mode = self._setup.render_mode
        self.metadata = {**self.metadata, "render_fps": self._setup.render_fps()}
        self._driver = _Driver(self._setup, 1, 1, "disabled")
        self._batch = self._driver.batch
        self.observation_space = self._setup.observation_space()
        self.action_space = self._setup.action_space()
        self._started = False
        self._last: tuple[Values, Values] | None = None  # previous and current values of the last step
        self._viewer: Any = None

    @property
    def timing(self) -> str:
        """The timing model the console runs: "design" or "hardware" (the ``timing`` option,
        else the start state's, else the default)."""
        return self._setup.timing

    # --- Gymnasium ---
    def reset(self, *, seed: int | None = None, options: dict[str, Any] | None = None):
        super().reset(seed=seed)
        self._driver.seed([seed])
        self._driver.failed = None
        with self._driver.losing([0]):
            self._driver.reset([0])
        self._started = True
        self._last = None
        if self.render_mode == "human":
            self.render()
        return self._driver.observe(0), self._driver.info(0, vector=False)

    def step(self, action: object):
        if not self._started:
            raise ResetNeeded("call reset before step")
        driver = self._driver
        driver.check("step")
        masks = self._setup.masks_of(np.asarray(action)[None], 1, self.action_space)
        before = self._values()
        driver.native.step(masks, None)
        with driver.losing([0]):
            rewards, terminated, truncated = driver.judged(slice(0, 1))
        info = driver.info(0, vector=False)
        self._last = (before, self._values())  # for ended_by, made into dicts only when asked
        if self.render_mode == "human":
            self.render()
        return driver.observe(0), float(rewards[0]), bool(terminated[0]), bool(truncated[0]), info

    def render(self):
        if self.render_mode == "rgb_array":
            return self._batch.picture(0)
        if self.render_mode == "human":
            if self._viewer is None:
                from velkora_gym.apps.viewer import Viewer

                self._viewer = Viewer("velkora")
            self._viewer.show(self._batch.picture(0), int(self._driver.native.episode_frames()[0]))
        return None

    def close(self) -> None:
        if self._viewer is not None:
            self._viewer.close()
            self._viewer = None

    def get_action_meanings(self) -> list[str]:
        """The actions' names, upper case, NOOP first, combinations joined by '+' (RIGHT+A)."""
        return self._setup.action_meanings()

    # --- search methods ---
    def clone_state(self, *, picture: bool = True) -> bytes:
        """A snapshot of the console (``velkora_gym.snapshot``'s format). With
        ``picture=False`` it leaves out the finished picture: a restore then keeps the
        current observation until the next step, whose frames are the same either way."""
        return self._batch.snapshot(0, picture=picture)

    def restore_state(self, data: bytes) -> None:
        """Back to a snapshot; the next reward counts from the restored machine, and
        stacked frames start again from its picture. A snapshot of another timing than
        the environment's (``timing``) is refused with ValueError."""
        check_restored_timing(data, self._setup.timing)
        self._batch.restore(0, data)
        self._driver.native.restored(0)
        if self._driver.values:
            self._driver._update([0])
        self._last = None

    def ended_by(self) -> list[str]:
        """What ended the episode at the last step: the done variables and nodes whose test
        held, the done script, or terminated_fn (empty when nothing did)."""
        if self._last is None:
            return []
        return self._setup.game.reasons(*(self._dict(v) for v in self._last), 0)

    def _values(self) -> Any:
        """This console's values now: a copy of its native row, or of Python's values."""
        driver = self._driver
        if driver.values:
            return {name: array[:1].copy() for name, array in driver.values.items()}
        return driver.native_values[:1].copy()

    def _dict(self, values: Any) -> Values:
        if isinstance(values, dict):
            return values
        return {name: values[:, k] for k, name in enumerate(self._driver.names)}

    def pressed(self) -> np.ndarray:
        """The joypad masks pressed in each frame of the last step or reset: player 1 in
        the low byte, player 2 in the high byte."""
        return self._driver.native.pressed(0)


def demo(**options: Unpack[EnvOptions]) -> VelkoraEnv:
    """The demo game with its integration."""
    return VelkoraEnv(**{**DEMO_DEFAULTS, **options})
