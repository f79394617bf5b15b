"""Complete snapshots of velkora consoles, batches of consoles on every core, and Gymnasium
environments.

``snapshot(nes)`` captures everything of a ``velkora.NES`` that can influence what it
does later; ``restore(nes, data)`` brings it back exactly: the same joypad input then
gives the same pictures, sounds and memories, frame after frame. ``set_timing(nes,
"hardware")`` runs a console in the hardware timing instead of the design's,
``soft_reset(nes)`` presses its reset button and ``power_on(nes)`` makes it the machine a
new console of its cartridge is. ``Batch`` owns many
consoles of one cartridge and steps them on native threads without the interpreter lock.
``VelkoraEnv`` and ``VelkoraVectorEnv`` (``pip install .[gym]``) are Gymnasium
environments on it, registered as ``velkora/NES-v0`` and ``velkora/Demo-v0``; games come
as integration folders (``velkora_gym.integration``). ``RamSearch`` finds a game's
variables in memory. ``quiet_nes(rom)`` makes a ``velkora.NES`` without the loader's lines
on standard output.

Beside this library, each kind of user has a room: ``velkora_gym.envs`` (the environments),
``velkora_gym.train`` (the training adapters), ``velkora_gym.integration`` (writing and
checking integration folders) and ``velkora_gym.apps`` (the player, the studio and the
recorder); docs/architecture.md lays them out.
"""

from __future__ import annotations

from typing import Any

from velkora_gym import _native

# snapshot(nes, *, picture=True) and restore(nes, data) are native: a search calls them at
# every node, where a Python wrapper for the keyword cost some 80 ns a call.
from velkora_gym._native import SNAPSHOT_VERSION, restore, snapshot
from velkora_gym.batch import BUTTONS, Batch
from velkora_gym.envs.options import EnvOptions
from velkora_gym.movie import Movie
from velkora_gym.quiet import quiet_loader, quiet_nes
from velkora_gym.timings import TIMINGS, check_timing, default_timing, snapshot_timing

# The package's version, read by the build for the distribution's metadata too.
__version__ = "0.1.0"

__all__ = [
    "BUTTONS",
    "Batch",
    "EnvOptions",
    "Movie",
    "RamSearch",
    "RecordMovie",
    "SNAPSHOT_VERSION",
    "TIMINGS",
    "VelkoraEnv",
    "VelkoraParallelEnv",
    "VelkoraVectorEnv",
    "default_timing",
    "power_on",
    "quiet_loader",
    "quiet_nes",
    "restore",
    "set_timing",
    "snapshot",
    "snapshot_timing",
    "soft_reset",
    "timing",
]

_ENVS = ("VelkoraEnv", "VelkoraVectorEnv")


def set_timing(nes: Any, timing: str) -> None:
    """Runs the console ``nes`` (a ``velkora.NES``) in a timing model: ``"design"`` (what a
    new ``velkora.NES`` runs) or ``"hardware"``, which times register accesses, DMA,
    interrupts, the odd-frame dot and the other behaviours of docs/hardware.md as the
    console's chips do.

    On a console that has not run since power-on this gives that timing's power-on state
    (the hardware's: the reset sequence run, SP $FD, P $34). Later the machine is settled as
    a snapshot settles it, state only the other timing has is cleared, and the change
    counts from the next instruction; a run thread is held while it changes. A snapshot
    taken afterwards carries the timing, and restoring one sets it; a save state
    (``saveState``/``loadState``) leaves it as it is. ValueError for another name."""
    hardware = check_timing(timing) == "hardware"
    _native.set_timing(nes, hardware)


def timing(nes: Any) -> str:
    """The timing model the console ``nes`` runs: ``"design"`` or ``"hardware"``."""
    return "hardware" if _native.hardware_timing(nes) else "design"


def soft_reset(nes: Any) -> None:
    """Presses the reset button of the console ``nes``, in either timing: the CPU runs its
    reset sequence (A, X and Y kept, SP three lower, the I flag set, PC from the reset
    vector; the hardware timing spends its seven cycles on it, the design's none), the PPU,
    APU and board registers are left as a reset leaves them, and the memories are kept. A
    run thread is held while it happens."""
    _native.soft_reset(nes)


def power_on(nes: Any) -> None:
    """Powers the console ``nes`` (a ``velkora.NES``) on from the cartridge it holds: it
    then equals, bit for bit, a new console made from the same image with the same
    ``CLOCK_SPEED``, battery RAM cleared (a console made from a path may have loaded a
    battery file; this power-on reads none). Nothing is printed and no file is touched;
    the joypads plugged in, the per-frame callback and the save folder stay, and views
    of its memory and picture go on showing them. It powers on in the console's timing."""
    _native.power_on(nes)


def __getattr__(name: str) -> Any:
    # Imported when first used: the environments need Gymnasium, which snapshots and
    # batches do not, and the rooms below need not load with the library.
    if name == "RamSearch":
        from velkora_gym.integration.ram_search import RamSearch

        return RamSearch
    if name == "VelkoraParallelEnv":
        try:
            from velkora_gym.envs.two_player import VelkoraParallelEnv
        except ImportError as error:
            raise ImportError(
                f"velkora_gym.VelkoraParallelEnv needs PettingZoo: pip install velkora[multi] ({error})"
            ) from error
        return VelkoraParallelEnv
    if name == "RecordMovie":
        try:
            from velkora_gym.envs.demonstrations import RecordMovie
        except ImportError as error:
            raise ImportError(f"velkora_gym.RecordMovie needs Gymnasium: pip install velkora[gym] ({error})") from error
        return RecordMovie
    if name in _ENVS:
        try:
            from velkora_gym.envs import single, vector
        except ImportError as error:
            raise ImportError(f"velkora_gym.{name} needs Gymnasium: pip install velkora[gym] ({error})") from error
        return single.VelkoraEnv if name == "VelkoraEnv" else vector.VelkoraVectorEnv
    raise AttributeError(f"module 'velkora_gym' has no attribute {name!r}")


try:
    from velkora_gym.envs.registration import register
except ImportError:  # no Gymnasium: snapshots, batches and movies work without it
    pass
else:
    register()
