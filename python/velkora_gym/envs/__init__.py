"""The Gymnasium environments: the room of reinforcement-learning users.

- ``single``: ``VelkoraEnv``, one console, and ``demo()``;
- ``vector``: ``VelkoraVectorEnv``, consoles stepped on every core, and ``demo_vector()``;
- ``core``: what the two share (the options read, the integration's judgement, the batch);
- ``two_player``: ``VelkoraParallelEnv``, two agents on one console (PettingZoo);
- ``options``: ``EnvOptions``, every option with its default;
- ``registration``: the ids ``velkora/NES-v0`` and ``velkora/Demo-v0``;
- ``demonstrations``: movies as (observation, action) data, and ``RecordMovie``.

The names below load their module when first used: ``import velkora_gym`` registers the
ids without importing Gymnasium's environment machinery.
"""

from __future__ import annotations

from typing import Any

_SINGLE = ("VelkoraEnv", "demo")
_VECTOR = ("VelkoraVectorEnv", "demo_vector")
_CORE = ("DEFAULT_STATE", "DEMO_DEFAULTS", "DEMO_INTEGRATION", "DEMO_ROM", "MAX_EPISODE_FRAMES", "OBS_TYPES")

__all__ = [*_SINGLE, *_VECTOR, *_CORE, "RENDER_FPS"]


def __getattr__(name: str) -> Any:
    if name in _SINGLE:
        from velkora_gym.envs import single

        return getattr(single, name)
    if name in _VECTOR:
        from velkora_gym.envs import vector

        return getattr(vector, name)
    if name in _CORE:
        from velkora_gym.envs import core

        return getattr(core, name)
    if name == "RENDER_FPS":
        from velkora_gym.console import RENDER_FPS

        return RENDER_FPS
    raise AttributeError(f"module 'velkora_gym.envs' has no attribute {name!r}")
