"""The two timing models, the default that VELKORA_TIMING sets, and the timing a snapshot
carries."""

from __future__ import annotations

import os

from velkora_gym import _native

#: The timing models: the design's (the default) and the hardware's.
TIMINGS = ("design", "hardware")
#: The environment variable naming the timing velkora_gym powers consoles on in.
ENV_VARIABLE = "VELKORA_TIMING"


def check_timing(timing: object, name: str = "timing") -> str:
    """``timing`` itself when it names a timing model; ValueError (TypeError for a
    non-string) naming ``name`` otherwise."""
    if not isinstance(timing, str):
        raise TypeError(f"{name} must be 'design' or 'hardware', not {type(timing).__name__}")
    if timing not in TIMINGS:
        raise ValueError(f"{name} must be 'design' or 'hardware', not {timing!r}")
    return timing


def default_timing() -> str:
    """The timing that consoles velkora_gym powers on get when none is asked for:
    ``VELKORA_TIMING`` when set (``design`` or ``hardware``), else ``design``. Read at each
    call, so a program may set it before it builds its consoles."""
    value = os.environ.get(ENV_VARIABLE, "")
    if value == "":
        return "design"
    if value not in TIMINGS:
        raise ValueError(f"{ENV_VARIABLE} must be 'design' or 'hardware' (or unset), not {value!r}")
    return value


def resolve_timing(timing: str | None) -> str:
    """An explicit timing, checked; None: the default. A bad VELKORA_TIMING is refused
    either way, so a mistyped value never goes unnoticed."""
    default = default_timing()
    return default if timing is None else check_timing(timing)


def snapshot_timing(data: bytes | bytearray | memoryview) -> str:
    """The timing a snapshot (``velkora_gym.snapshot``'s bytes) restores: the one its
    console ran, or ``design`` for snapshots of the formats before 3. ValueError for bytes
    that are not an intact snapshot."""
    return "hardware" if _native.snapshot_hardware_timing(data) else "design"


def start_timing(timing: str | None, start: bytes | None, source: str) -> str:
    """The timing of consoles that start at ``start`` (a snapshot; None: power-on), from
    ``source`` (named in errors): ``timing`` when given, which a start snapshot must run
    (ValueError naming both otherwise); else the snapshot's, or from power-on the default."""
    if start is None:
        return resolve_timing(timing)
    default_timing()  # a bad VELKORA_TIMING is refused even where a snapshot decides
    if timing is not None:
        check_timing(timing)
    try:
        held = snapshot_timing(start)
    except ValueError as error:
        raise ValueError(f"{source}: {error}") from None
    if timing is not None and held != timing:
        raise ValueError(
            f"{source} is a start state of the {held} timing, and timing={timing!r} was asked for: "
            f"give timing={held!r} (or None), or a start state taken in the {timing} timing"
        )
    return held


def check_restored_timing(data: bytes, timing: str) -> None:
    """ValueError when a snapshot to be restored into an environment of ``timing`` is of
    the other one: its episodes would mix the two."""
    held = snapshot_timing(data)
    if held != timing:
        raise ValueError(
            f"this snapshot is of the {held} timing and the environment runs the {timing} one "
            f"(its timing= option): restore snapshots taken in the {timing} timing"
        )
