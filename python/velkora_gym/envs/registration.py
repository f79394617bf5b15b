"""The environments' Gymnasium ids, registered when ``velkora_gym`` is imported with
Gymnasium present: ``velkora/NES-v0`` (a ROM or an integration of your own) and
``velkora/Demo-v0`` (the demo game with its integration), each with a vector entry point,
so ``gymnasium.make`` and ``gymnasium.make_vec`` build the native environments.

The entry points are strings: registering imports neither the environments nor Gymnasium's
vector machinery until an environment is made."""

from __future__ import annotations

import gymnasium

IDS = {
    "velkora/NES-v0": ("velkora_gym.envs.single:VelkoraEnv", "velkora_gym.envs.vector:VelkoraVectorEnv"),
    "velkora/Demo-v0": ("velkora_gym.envs.single:demo", "velkora_gym.envs.vector:demo_vector"),
}


def register() -> None:
    """Registers the ids not registered yet (importing twice is harmless)."""
    for name, (entry, vector) in IDS.items():
        if name not in gymnasium.registry:
            gymnasium.register(name, entry_point=entry, vector_entry_point=vector)
