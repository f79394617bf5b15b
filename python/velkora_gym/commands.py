"""The console commands ``pip install velkora[play]`` sets up: ``velkora-play`` (the
player), ``velkora-record`` (pictures and sound to GIF/MP4 and WAV, headless) and
``velkora-studio`` (finding a game's variables and writing its integration). Each says
which package it misses instead of failing with a traceback."""

from __future__ import annotations

import importlib
import importlib.util
import sys
from collections.abc import Callable

_NEEDS = {
    "player": ("pygame",),
    "record": ("imageio",),
    "studio": ("pygame",),
}


def _run(module: str) -> int:
    missing = [name for name in _NEEDS[module] if importlib.util.find_spec(name) is None]
    if missing:
        print(f"{' and '.join(missing)} missing: pip install velkora[play]", file=sys.stderr)
        return 2
    main: Callable[[], int] = importlib.import_module(f"velkora_gym.{module}").main
    return main()


def play() -> int:
    return _run("player")


def record() -> int:
    return _run("record")


def studio() -> int:
    return _run("studio")
