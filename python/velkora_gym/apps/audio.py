"""The player's sound: the console's blocks of samples fed to the mixer as it takes them."""

from __future__ import annotations

import collections

import numpy as np
import pygame

from velkora_gym.console import SAMPLE_RATE


class AudioOut:
    """Feeds 1024-sample blocks to one mixer channel: one playing, one queued,
    the rest waiting here. The caller waits while blocks pile up."""

    def __init__(self) -> None:
        pygame.mixer.init(frequency=SAMPLE_RATE, size=-16, channels=1, buffer=512, allowedchanges=0)
        _, _, self.channels = pygame.mixer.get_init()
        self.channel = pygame.mixer.Channel(0)
        self.waiting: collections.deque[bytes] = collections.deque()

    def push(self, block: bytes) -> None:
        self.waiting.append(block)
        self.pump()

    def pump(self) -> None:
        while self.waiting:
            if not self.channel.get_busy():
                self.channel.play(self._sound(self.waiting.popleft()))
            elif self.channel.get_queue() is None:
                self.channel.queue(self._sound(self.waiting.popleft()))
            else:
                break

    def backlog(self) -> int:
        return len(self.waiting)

    def _sound(self, block: bytes) -> pygame.mixer.Sound:
        if self.channels == 1:
            return pygame.mixer.Sound(buffer=block)
        mono = np.frombuffer(block, dtype=np.int16)
        return pygame.mixer.Sound(buffer=np.repeat(mono, self.channels).tobytes())

    def close(self) -> None:
        pygame.mixer.quit()
