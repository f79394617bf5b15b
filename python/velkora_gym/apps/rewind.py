"""Rewinding: snapshots of the console taken as it plays, kept compressed within a count
and a budget of bytes, restored newest first."""

from __future__ import annotations

import collections
import math
import zlib

import velkora
from velkora_gym import restore, snapshot
from velkora_gym.console import FRAME_RATE

# A snapshot with its picture, compressed, averaged 0.6-6.9 KB a demo in play.
TYPICAL_PACKED_BYTES = 3_500


def rewind_capacity(seconds: float, every: int) -> int:
    """Snapshots kept for `seconds` of play, plus the one the player stands on."""
    if seconds <= 0:
        return 0
    return math.ceil(seconds * FRAME_RATE / every) + 1


class RewindRing:
    """Snapshots with their pictures, one every `every` frames, at most `capacity` of
    them and `budget` bytes (the oldest go first). Stored zlib level 1, or raw in the
    rare case that is smaller."""

    def __init__(self, capacity: int, every: int, budget: int = 1 << 62) -> None:
        if capacity < 1 or every < 1 or budget < 1:
            raise ValueError("a rewind ring needs a capacity, an interval and a budget of at least 1")
        self.capacity = capacity
        self.every = every
        self.budget = budget
        self.snaps: collections.deque[tuple[bool, bytes]] = collections.deque()
        self.bytes = 0
        self.since = 0  # frames run since the newest snapshot was taken or restored
        self.at_newest = False  # the machine is exactly the newest snapshot

    def __len__(self) -> int:
        return len(self.snaps)

    def take(self, nes: velkora.NES) -> None:
        raw = snapshot(nes)
        packed = zlib.compress(raw, 1)
        entry = (True, packed) if len(packed) < len(raw) else (False, raw)
        self.snaps.append(entry)
        self.bytes += len(entry[1])
        # The newest stays whatever its size: the player stands on it.
        while len(self.snaps) > 1 and (len(self.snaps) > self.capacity or self.bytes > self.budget):
            self.bytes -= len(self.snaps.popleft()[1])
        self.since = 0
        self.at_newest = True

    def after_frame(self, nes: velkora.NES) -> None:
        self.since += 1
        self.at_newest = False
        if self.since >= self.every:
            self.take(nes)

    def back(self, nes: velkora.NES) -> bool:
        """Restores the newest snapshot older than the machine; False at the oldest."""
        if self.at_newest:
            if len(self.snaps) <= 1:
                return False
            self.bytes -= len(self.snaps.pop()[1])
        if not self.snaps:
            return False
        packed, data = self.snaps[-1]
        restore(nes, zlib.decompress(data) if packed else data)
        self.since = 0
        self.at_newest = True
        return True
