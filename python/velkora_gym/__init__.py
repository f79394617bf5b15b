"""Complete snapshots of velkora consoles, and batches of consoles stepped on every core.

``snapshot(nes)`` captures everything of a ``velkora.NES`` that can influence what it
does later; ``restore(nes, data)`` brings it back exactly: the same joypad input then
gives the same pictures, sounds and memories, frame after frame. ``Batch`` owns many
consoles of one cartridge and steps them on native threads without the interpreter lock.
"""
from __future__ import annotations

from velkora_gym._native import SNAPSHOT_VERSION, restore, snapshot
from velkora_gym.batch import BUTTONS, Batch

__all__ = ["BUTTONS", "Batch", "SNAPSHOT_VERSION", "restore", "snapshot"]
