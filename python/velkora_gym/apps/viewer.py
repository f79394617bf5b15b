"""A pygame window that shows an environment's frames at the console's pace."""

from __future__ import annotations

import time

import numpy as np

from velkora_gym.console import HEIGHT, RENDER_FPS, WIDTH


class Viewer:
    """Created on the first human render; scales the picture three times."""

    def __init__(self, title: str, scale: int = 3) -> None:
        import pygame

        from velkora_gym.apps.window import stretch

        self._pygame = pygame
        self._stretch = stretch
        pygame.display.init()
        self._screen = pygame.display.set_mode((WIDTH * scale, HEIGHT * scale))
        pygame.display.set_caption(title)
        self._scale = scale
        self._shown_frames: int | None = None
        self._shown_at = 0.0

    def show(self, picture: np.ndarray, episode_frames: int) -> None:
        pygame = self._pygame
        pygame.event.pump()
        self._stretch(self._screen, picture)
        # Wait out the frames this picture stands for, so play runs at the game's pace.
        if self._shown_frames is not None and episode_frames > self._shown_frames:
            due = self._shown_at + (episode_frames - self._shown_frames) / RENDER_FPS
            delay = due - time.perf_counter()
            if delay > 0:
                time.sleep(delay)
        pygame.display.flip()
        self._shown_frames, self._shown_at = episode_frames, time.perf_counter()

    def close(self) -> None:
        self._pygame.display.quit()
