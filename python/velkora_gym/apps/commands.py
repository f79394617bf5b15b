"""The console commands ``pip install velkora[play]`` sets up: ``velkora-play`` (the
player), ``velkora-record`` (pictures and sound to GIF/MP4 and WAV, headless) and
``velkora-studio`` (finding a game's variables and writing its integration). Each says
which package it misses instead of failing with a traceback."""

from __future__ import annotations

import importlib.util
import sys


def _missing(*names: str) -> bool:
    missing = [name for name in names if importlib.util.find_spec(name) is None]
    if missing:
        print(f"{' and '.join(missing)} missing: pip install velkora[play]", file=sys.stderr)
    return bool(missing)


def play() -> int:
    if _missing("pygame"):
        return 2
    from velkora_gym.apps import player

    return player.main()


def record() -> int:
    if _missing("imageio"):
        return 2
    from velkora_gym.apps import record

    return record.main()


def studio() -> int:
    if _missing("pygame"):
        return 2
    from velkora_gym.apps import studio

    return studio.main()
