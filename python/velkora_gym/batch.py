"""A batch of consoles of one cartridge, stepped together on native worker threads."""

from __future__ import annotations

import operator
import os
from collections.abc import Sequence
from typing import Union

import numpy as np

from velkora_gym import _native
from velkora_gym.console import HEIGHT, JOYPAD, SCREEN, WIDTH
from velkora_gym.timings import check_timing, resolve_timing

#: Joypad mask bits, bit 0 first: the order ``velkora.Controller.updateInputs`` takes, the
#: names but A and B in lower case.
BUTTONS = tuple(name if name in ("A", "B") else name.lower() for name in JOYPAD)

RomSource = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview]

#: The iNES mapper numbers of the boards velkora emulates.
SUPPORTED_MAPPERS = frozenset(_native.EMULATED_MAPPERS)
_OBS_TYPES = ("rgb", "grayscale", None)
_MAX_SIZE = 1024


def read_image(rom: RomSource) -> bytes:
    """The cartridge image: the file at a path, or the bytes themselves."""
    if isinstance(rom, (bytes, bytearray, memoryview)):
        return bytes(rom)
    if isinstance(rom, (str, os.PathLike)):
        with open(rom, "rb") as file:
            return file.read()
    raise TypeError(f"rom must be a path or the image's bytes, not {type(rom).__name__}")


def check_board(image: bytes) -> None:
    """ValueError for a cartridge whose board velkora does not emulate: such a game would
    run on the wrong banks and teach an agent nothing."""
    _native.check_board(image)


def _crop(crop: object) -> tuple[int, int, int, int]:
    if crop is None:
        return (0, 0, *SCREEN)
    if (
        not isinstance(crop, Sequence)
        or len(crop) != 4
        or not all(isinstance(v, (int, np.integer)) and not isinstance(v, bool) for v in crop)
    ):
        raise ValueError(f"crop must be (x, y, width, height), four ints, not {crop!r}")
    x, y, width, height = (int(v) for v in crop)
    if x < 0 or y < 0 or width < 1 or height < 1 or x + width > WIDTH or y + height > HEIGHT:
        raise ValueError(f"crop {crop!r} reaches outside the {WIDTH} x {HEIGHT} picture")
    return x, y, width, height


def _count(value: object, name: str, *, minimum: int = 1) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not bool")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None
    if number < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {number}")
    return number


def screen_shape(screen_size: object) -> tuple[int, int]:
    """(height, width) of an observation: None keeps 240 x 256, an int makes it square."""
    if screen_size is None:
        return HEIGHT, WIDTH
    if isinstance(screen_size, Sequence) and not isinstance(screen_size, (str, bytes)):
        if len(screen_size) != 2:
            raise ValueError(f"screen_size must be an int or (height, width), got {screen_size!r}")
        height, width = (_count(v, "screen_size") for v in screen_size)
    else:
        height = width = _count(screen_size, "screen_size")
    if height > _MAX_SIZE or width > _MAX_SIZE:
        raise ValueError(f"screen_size must be at most {_MAX_SIZE}, got {screen_size!r}")
    return height, width


class Batch:
    """``num_consoles`` consoles of one cartridge, stepped together on ``threads`` native
    threads (default: one per core) with the interpreter lock released.

    ``obs_type`` is ``"rgb"`` (N, H, W, 3), ``"grayscale"`` (N, H, W) or ``None``;
    ``screen_size`` (an int or (height, width)) area-averages the picture to that size,
    ``max_pool`` makes each observation the pixel-wise maximum of the last two frames.
    ``observations`` and ``ram`` (N, 2048) are arrays made once that every step rewrites.
    ``crop`` (x, y, width, height) observes that rectangle of the 256 x 240 picture, before
    any resize. ``audio`` (off by default) keeps the sample stage running for ``get_audio``; without
    it the consoles skip mixing, which nothing a game can see depends on. ``prg_ram``
    adds ``prg_ram`` (N, 8192), the cartridge RAM at $6000-$7FFF after each step.

    ``timing`` ("design" or "hardware"; None: ``VELKORA_TIMING``, else "design") is set on
    each console before it runs, so the consoles power on in it and every ``reset``
    without a snapshot brings them back to that power-on. A snapshot carries its own
    timing: restoring one (``restore``, ``restore_many``, ``reset`` with data) sets that
    console's, and ``timing_of`` tells which one it runs.

    The consoles read and write no files: battery RAM starts cleared and is never stored.
    """

    def __init__(
        self,
        rom: RomSource,
        num_consoles: int,
        *,
        threads: int | None = None,
        obs_type: str | None = "rgb",
        screen_size: int | tuple[int, int] | None = None,
        max_pool: bool = False,
        audio: bool = False,
        prg_ram: bool = False,
        crop: tuple[int, int, int, int] | None = None,
        timing: str | None = None,
    ) -> None:
        chosen = resolve_timing(timing)
        image = read_image(rom)
        check_board(image)
        count = _count(num_consoles, "num_consoles")
        workers = 0 if threads is None else _count(threads, "threads")
        if obs_type not in _OBS_TYPES:
            raise ValueError(f"obs_type must be 'rgb', 'grayscale' or None, got {obs_type!r}")
        if obs_type is None and (screen_size is not None or max_pool):
            raise ValueError("screen_size and max_pool need an obs_type")
        rectangle = _crop(crop)
        height, width = screen_shape(screen_size) if screen_size is not None else (rectangle[3], rectangle[2])
        self._native = _native.Batch(
            image,
            count,
            workers,
            obs_type or "none",
            height,
            width,
            bool(max_pool),
            bool(audio),
            bool(prg_ram),
            rectangle,
            chosen == "hardware",
        )
        #: The timing the consoles power on in.
        self.timing = chosen
        self.obs_type = obs_type
        self.screen_size = (height, width)
        self.max_pool = bool(max_pool)
        self.observations: np.ndarray = self._native.observations()
        self.ram: np.ndarray = self._native.ram()
        self.prg_ram: np.ndarray | None = self._native.prg_ram()

    # --- what the batch is ---
    @property
    def num_consoles(self) -> int:
        return self._native.num_consoles

    @property
    def threads(self) -> int:
        return self._native.threads

    @property
    def audio(self) -> bool:
        return self._native.audio

    def __len__(self) -> int:
        return self._native.num_consoles

    # --- stepping ---
    def step(
        self,
        buttons: object,
        frames: int | Sequence[int] | np.ndarray = 1,
        *,
        buttons2: object = None,
        active: np.ndarray | None = None,
    ) -> np.ndarray:
        """Runs each console ``frames`` frames (an int, or one per console) with player 1's
        joypad masks ``buttons`` (N,) uint8, bit 0 = A ... bit 7 = Right, or (N, F) for one
        mask per frame (the last one holds for frames past F); ``buttons2`` likewise for
        player 2. With ``active`` (a boolean mask), the other consoles stay as they are.
        Returns ``observations``. Bad input is refused before any console moves."""
        pads = self._masks(buttons, "buttons")
        pads2 = None if buttons2 is None else self._masks(buttons2, "buttons2")
        if pads2 is not None and pads2.shape != pads.shape:
            raise ValueError(f"buttons2 has shape {pads2.shape}, buttons {pads.shape}")
        if active is not None:
            active = np.asarray(active)
            if active.dtype != np.bool_ or active.shape != (self.num_consoles,):
                raise ValueError(f"active must be a boolean mask of shape ({self.num_consoles},)")
            active = active.astype(np.uint8)
        self._native.step(pads, pads2, self._frames(frames), active)
        return self.observations

    def _masks(self, buttons: object, name: str) -> np.ndarray:
        masks = np.asarray(buttons)
        if masks.dtype != np.uint8:
            if not np.issubdtype(masks.dtype, np.integer):
                raise TypeError(f"{name} must hold integer joypad masks, got dtype {masks.dtype}")
            if masks.size and (masks.min() < 0 or masks.max() > 255):
                raise ValueError(f"{name} must hold masks from 0 to 255")
            masks = masks.astype(np.uint8)
        n = self.num_consoles
        if masks.ndim not in (1, 2) or masks.shape[0] != n or (masks.ndim == 2 and masks.shape[1] < 1):
            raise ValueError(f"{name} must have shape ({n},) or ({n}, frames), got {masks.shape}")
        return np.ascontiguousarray(masks)

    def _frames(self, frames: object) -> int | np.ndarray:
        if isinstance(frames, (int, np.integer)) and not isinstance(frames, (bool, np.bool_)):
            return _count(frames, "frames")
        counts = np.asarray(frames)
        if not np.issubdtype(counts.dtype, np.integer) or counts.dtype == np.bool_:
            raise TypeError(f"frames must be an int or integers, got {type(frames).__name__}")
        if counts.shape != (self.num_consoles,):
            raise ValueError(f"frames must be an int or have shape ({self.num_consoles},), got {counts.shape}")
        if counts.min() < 1:
            raise ValueError(f"frames must be at least 1, got {int(counts.min())}")
        if counts.max() > 1 << 30:
            raise ValueError("frames is too large")
        return counts.astype(np.int32)

    # --- snapshots ---
    def snapshot(self, index: int, *, picture: bool = True) -> bytes:
        """Console ``index``'s snapshot, in the format of ``velkora_gym.snapshot``.

        With ``picture=False`` the finished picture is left out (a few kilobytes instead
        of tens): restoring it leaves the console's picture, and so its observation, as
        it was until the next frame; the frames after a restore are the same either way."""
        return self._native.snapshot(index, bool(picture))

    def snapshots(self, indices: object = None, *, picture: bool = True) -> list[bytes]:
        """Snapshots of the chosen consoles (all when None; an index, indices or a boolean
        mask), taken on the worker threads without the interpreter lock."""
        return self._native.snapshots(self._indices(indices), bool(picture))

    def restore(self, index: int, data: bytes) -> None:
        """Brings console ``index`` to a snapshot (of any console of this cartridge) and
        rewrites its observation and RAM rows; ``ValueError`` and no change if refused."""
        self._native.restore(index, data)

    def restore_many(self, indices: object, datas: Sequence[bytes]) -> None:
        """Console ``indices[k]`` to snapshot ``datas[k]``, on the worker threads. Every
        snapshot is checked before any console changes: one refused raises ``ValueError``
        naming its position, and no console moves."""
        chosen = self._indices(indices)
        if isinstance(datas, (bytes, bytearray, memoryview)):
            raise TypeError("datas must be a sequence of snapshots, one per console")
        datas = list(datas)
        if len(datas) != len(chosen):
            raise ValueError(
                f"restore_many needs one snapshot per console: {len(chosen)} consoles, {len(datas)} snapshots"
            )
        self._native.restore_many(chosen, datas)

    def reset(
        self,
        indices: object = None,
        data: bytes | None = None,
        *,
        noop_frames: Sequence[int] | np.ndarray | None = None,
    ) -> None:
        """Brings the chosen consoles (all when None; an index, indices or a boolean mask)
        to one snapshot, or to power-on without one; then each runs its ``noop_frames``
        (one count per chosen console) with no button pressed."""
        chosen = self._indices(indices)
        noops: list[int] = []
        if noop_frames is not None:
            counts = np.asarray(noop_frames)
            if not np.issubdtype(counts.dtype, np.integer) or counts.shape != (len(chosen),):
                raise ValueError(f"noop_frames must be {len(chosen)} integers, one per console reset")
            if counts.size and counts.min() < 0:
                raise ValueError("noop_frames must not be negative")
            noops = [int(c) for c in counts]
        self._native.reset(chosen, data, noops)

    def soft_reset(self, indices: object) -> None:
        """Presses the reset button of the chosen consoles (an index, indices or a boolean
        mask), as ``velkora_gym.soft_reset`` does on one console: memory kept; their
        observation and RAM rows then show them."""
        self._native.soft_reset(self._indices(indices))

    def timing_of(self, index: int) -> str:
        """The timing console ``index`` runs now: the batch's, or a restored snapshot's."""
        return "hardware" if self._native.hardware_timing(index) else "design"

    def power_on(self, index: int, *, timing: str | None = None) -> None:
        """Console ``index`` powered on: the machine it was when the batch was made (as
        ``velkora_gym.power_on`` does to a ``velkora.NES``), its rows rewritten; in
        ``timing`` when given, else in the batch's timing."""
        hardware = check_timing(timing if timing is not None else self.timing) == "hardware"
        self._native.power_on(index, hardware)

    def picture(self, index: int) -> np.ndarray:
        """A copy of console ``index``'s last finished picture, (240, 256, 3) RGB."""
        return self._native.picture(index)

    def _indices(self, indices: object) -> list[int]:
        n = self.num_consoles
        if indices is None:
            return list(range(n))
        if isinstance(indices, (int, np.integer)) and not isinstance(indices, (bool, np.bool_)):
            return [int(indices)]
        chosen = np.asarray(indices)
        if chosen.dtype == np.bool_:
            if chosen.shape != (n,):
                raise ValueError(f"a mask of consoles must have shape ({n},), got {chosen.shape}")
            return [int(i) for i in np.flatnonzero(chosen)]
        if chosen.ndim != 1 or (chosen.size and not np.issubdtype(chosen.dtype, np.integer)):
            raise TypeError("indices must be an int, a sequence of ints or a boolean mask")
        return [int(i) for i in chosen]

    # --- per console ---
    def get_audio(self, index: int, split_channels: bool = False) -> list[bytes]:
        """What ``velkora.NES.getAudio`` gives, for console ``index`` (needs ``audio=True``)."""
        if not self.audio:
            raise RuntimeError("this batch makes no sound: create it with audio=True")
        return self._native.get_audio(index, bool(split_channels))

    def frame_count(self, index: int) -> int:
        return self._native.frame_count(index)

    def cycle_count(self, index: int) -> int:
        return self._native.cycle_count(index)
