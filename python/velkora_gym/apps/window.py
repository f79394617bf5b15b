"""The windows' pictures: the console's picture at the largest whole scale that fits, centred
(the player's, in a window or full screen, with a line of text at the top and one at the
bottom), or stretched over a surface (the studio's and the environments' viewer)."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pygame

from velkora_gym.console import HEIGHT, WIDTH


def picture_size(scale: float, pixel_aspect: float = 1.0) -> tuple[int, int]:
    return round(WIDTH * scale * pixel_aspect), round(HEIGHT * scale)


def fit(screen: tuple[int, int], pixel_aspect: float = 1.0) -> tuple[int, pygame.Rect]:
    """The largest whole scale of the picture that fits the screen, and where it goes,
    centred. A screen smaller than the picture gets it shrunk (scale 0)."""
    width, height = screen
    scale = height // HEIGHT
    while scale > 0 and picture_size(scale, pixel_aspect)[0] > width:
        scale -= 1
    if scale:
        w, h = picture_size(scale, pixel_aspect)
    else:
        shrink = min(width / (WIDTH * pixel_aspect), height / HEIGHT)
        w, h = (max(1, min(v, limit)) for v, limit in zip(picture_size(shrink, pixel_aspect), screen))
    return scale, pygame.Rect((width - w) // 2, (height - h) // 2, w, h)


def stretch(surface: pygame.Surface, picture: np.ndarray) -> None:
    """A (240, 256, 3) picture scaled over the whole surface."""
    image = pygame.surfarray.make_surface(np.ascontiguousarray(picture.transpose(1, 0, 2)))
    surface.blit(pygame.transform.scale(image, surface.get_size()), (0, 0))


class Window:
    """The player's window: ``scale`` times the picture, pixels ``pixel_aspect`` as wide as
    they are high, or the whole screen."""

    def __init__(self, scale: int, pixel_aspect: float = 1.0, fullscreen: bool = False) -> None:
        pygame.display.init()
        pygame.font.init()
        self.scale = max(1, scale)
        self.pixel_aspect = pixel_aspect
        self.fullscreen = fullscreen
        self.picture = pygame.Surface((WIDTH, HEIGHT))
        self._set_mode()

    def _set_mode(self) -> None:
        if self.fullscreen:
            self.screen = pygame.display.set_mode((0, 0), pygame.FULLSCREEN)
        else:
            self.screen = pygame.display.set_mode(picture_size(self.scale, self.pixel_aspect))
        _, self.rect = fit(self.screen.get_size(), self.pixel_aspect)
        self.font = pygame.font.Font(None, max(12, self.rect.height // 20))

    def toggle_fullscreen(self) -> None:
        self.fullscreen = not self.fullscreen
        self._set_mode()

    def _take(self, picture: np.ndarray) -> None:
        pygame.surfarray.blit_array(self.picture, np.asarray(picture).swapaxes(0, 1))

    def show(self, picture: np.ndarray, top: str = "", bottom: str = "") -> None:
        """The console's picture (getImg), with `top` and `bottom` written over it."""
        self._take(picture)
        if self.rect.size != self.screen.get_size():
            self.screen.fill((0, 0, 0))
        pygame.transform.scale(self.picture, self.rect.size, self.screen.subsurface(self.rect))
        margin = max(4, self.rect.height // 60)
        if top:
            self._text(top, self.rect.left + margin, self.rect.top + margin)
        if bottom:
            self._text(bottom, self.rect.left + margin, None)
        pygame.display.flip()

    def _text(self, text: str, x: int, y: int | None) -> None:
        image = self.font.render(text, True, (255, 255, 255), (0, 0, 0))
        if y is None:
            y = self.rect.bottom - image.get_height() - max(4, self.rect.height // 60)
        self.screen.blit(image, (x, y))

    def save(self, picture: np.ndarray, path: Path) -> None:
        """The picture at 256 x 240 as a PNG."""
        self._take(picture)
        pygame.image.save(self.picture, str(path))

    def close(self) -> None:
        pygame.display.quit()
