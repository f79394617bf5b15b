"""Action sets: lists of button combinations, each turned into a joypad mask."""

from __future__ import annotations

import itertools
from collections.abc import Sequence

import numpy as np

from velkora_gym.batch import BUTTONS

_BIT = {name.lower(): 1 << i for i, name in enumerate(BUTTONS)}
_DIRECTIONS = [
    [],
    ["up"],
    ["down"],
    ["left"],
    ["right"],
    ["up", "left"],
    ["up", "right"],
    ["down", "left"],
    ["down", "right"],
]

#: No button, each direction, A, B: enough for most games' play.
SIMPLE = [[], ["up"], ["down"], ["left"], ["right"], ["A"], ["B"]]
#: Every direction (diagonals too, or none) with nothing, A, B or A and B.
COMPLEX = [direction + buttons for buttons in ([], ["A"], ["B"], ["A", "B"]) for direction in _DIRECTIONS]


def _all() -> list[list[str]]:
    """Every combination of the eight buttons without Up+Down or Left+Right, NOOP first."""
    combos = []
    for vertical, horizontal in itertools.product(([], ["up"], ["down"]), ([], ["left"], ["right"])):
        for flags in itertools.product((False, True), repeat=4):
            extra = [name for name, on in zip(("A", "B", "select", "start"), flags) if on]
            combos.append(extra + vertical + horizontal)
    return sorted(combos, key=lambda c: mask_of(c))


def mask_of(combination: Sequence[str]) -> int:
    """The joypad mask of button names (A B select start up down left right, any case)."""
    if isinstance(combination, str):
        raise ValueError(f"a button combination is a list of names, not the string {combination!r}")
    mask = 0
    for name in combination:
        bit = _BIT.get(str(name).lower()) if isinstance(name, str) else None
        if bit is None:
            raise ValueError(f"unknown button {name!r}: the buttons are {', '.join(BUTTONS)}")
        mask |= bit
    return mask


def action_masks(actions: str | Sequence[Sequence[str]]) -> np.ndarray | None:
    """The mask of each action of a set, or None for "multibinary" (eight buttons)."""
    if isinstance(actions, str):
        named = {"simple": SIMPLE, "complex": COMPLEX, "all": None}
        if actions == "multibinary":
            return None
        if actions not in named:
            raise ValueError(
                f"actions must be 'simple', 'complex', 'all', 'multibinary' or a list of button "
                f"combinations, not {actions!r}"
            )
        combos = named[actions] if actions != "all" else _all()
    else:
        combos = list(actions)
        if not combos:
            raise ValueError("an action list needs at least one combination")
    return np.array([mask_of(c) for c in combos], np.uint8)


def multibinary_mask(action: np.ndarray) -> int:
    """An 8-button action (updateInputs order) as a mask."""
    return int(np.dot(np.asarray(action, np.int64) != 0, 1 << np.arange(8)))


_NAME_ORDER = ("up", "down", "left", "right", "a", "b", "select", "start")


def mask_name(mask: int) -> str:
    """An action's name as the Atari environments write theirs: NOOP, or the buttons upper
    case, directions first, joined by '+' (RIGHT+A)."""
    names = [name.upper() for name in _NAME_ORDER if mask & _BIT[name]]
    return "+".join(names) if names else "NOOP"
