"""What the training adapters (``velkora_gym.sb3``, ``velkora_gym.puffer``) need from
``VelkoraVectorEnv`` before it does it natively.

Each helper uses the native feature when the vector environment has it and otherwise does
the work here, so that this module can shrink to nothing as the features land:

- ``reset_finished``: Stable-Baselines3 and PufferLib restart an environment in the step
  that ended it; the vector environment restarts it at the next step.
- ``add_channel_axis``: grayscale observations are (H, W); image policies want (H, W, 1).
- ``action_meanings``: ``get_action_meanings()`` of the Atari environments.
- ``render_fps``: the rate of the observations, 60.1 / frameskip for a fixed skip.
"""
from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
from gymnasium import spaces

from velkora_gym.batch import BUTTONS
from velkora_gym.envs import RENDER_FPS, VelkoraVectorEnv

# Directions first, then the buttons: "RIGHT+A", as the Atari names put the direction first.
_NAME_ORDER = (4, 5, 6, 7, 0, 1, 2, 3)


def reset_finished(venv: VelkoraVectorEnv, rows: Sequence[int]) -> tuple[np.ndarray, dict[str, Any]]:
    """Restarts environments ``rows`` now, as the next ``step`` would (same random draws,
    same no-op starts), and returns their new observations and the vector info of all."""
    rows = list(rows)
    venv._reset(rows)
    venv._done[rows] = False
    observations = np.stack([venv._setup.observe(venv._batch, i) for i in rows])
    return observations, venv._info(range(venv.num_envs))


def needs_channel_axis(space: spaces.Space) -> bool:
    return isinstance(space, spaces.Box) and len(space.shape) == 2


def add_channel_axis(space: spaces.Box) -> spaces.Box:
    return spaces.Box(0, 255, (*space.shape, 1), np.uint8)


def _combination_name(mask: int) -> str:
    names = [BUTTONS[bit].upper() for bit in _NAME_ORDER if mask >> bit & 1]
    return "+".join(names) if names else "NOOP"


def action_meanings(venv: VelkoraVectorEnv) -> list[Any]:
    """The name of each action: for a discrete set its button combination ("NOOP",
    "RIGHT+A"); for an integration's groups, the combinations of each group; for the eight
    buttons, their names."""
    native = getattr(venv, "get_action_meanings", None)
    if native is not None:
        return list(native())
    setup = venv._setup
    if setup.groups is not None:
        return [[_combination_name(int(m)) for m in group] for group in setup.groups]
    if setup.masks is None:
        return [name.upper() for name in BUTTONS]
    return [_combination_name(int(m)) for m in setup.masks]


def render_fps(venv: VelkoraVectorEnv) -> float:
    """Observations per second of play: one a step, each step ``frameskip`` frames. A
    random skip keeps the console's rate, as Gymnasium's Atari environments do."""
    native = venv.metadata.get("render_fps", RENDER_FPS)
    if native != RENDER_FPS:
        return float(native)
    low, high = venv._setup.frameskip
    return RENDER_FPS / low if high == low + 1 else RENDER_FPS
