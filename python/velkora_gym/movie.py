"""Input movies: a start (power-on or a velkora snapshot), the timing model, and both joypads'
buttons (and any press of the reset or power button) for every frame, replayed bit for bit.

``Movie(rom, start=None)`` makes an empty movie of a cartridge; ``append(buttons1, buttons2)``
adds a frame (joypad masks in ``BUTTONS`` order: bit 0 = A ... bit 7 = Right); ``save(path)``
and ``Movie.load(path)`` write and read it (``.fm2`` selects that format, any other name
velkora's own; a further ``.gz`` compresses either); ``play(nes)`` or ``play(batch, index)``
brings a console to the start and runs one frame per entry. See docs/movies.md.

Power-on on an existing console is ``velkora_gym.power_on``: the console powers on from
the cartridge it holds, so a movie needs no ROM to play on a console of its cartridge.
Movies record the cartridge identity a console can check (the one snapshots carry).
"""

from __future__ import annotations

import base64
import binascii
import gzip
import hashlib
import os
import re
import uuid
import warnings
import zlib
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any, Union

import numpy as np

from velkora_gym import _native
from velkora_gym.batch import Batch, RomSource, check_board, read_image
from velkora_gym.files import PACKAGE_ROMS, imported_folder, read_capped, write_file
from velkora_gym.timings import TIMINGS, check_timing, snapshot_timing, start_timing

FORMAT = "velkora-movie"
#: Version 2 added the timing line, the reset and power marks and the identity line; version 1 files
#: are still read and replay in the design timing.
VERSION = 2
SNAPSHOT_MAGIC = b"VELKSNAP"
_IDENTITY = slice(16, 24)  # the cartridge identity in a snapshot's header
#: The subject of the .fm2 comment that carries the cartridge identity and SHA-1.
FM2_CARTRIDGE = "velkoraCartridge"

#: velkora's frame letters, one position per bit of a joypad mask (bit 0 first).
LETTERS = "ABSTUDLR"
#: The .fm2 order of a port's eight positions, and the mask bit of each.
FM2_LETTERS = "RLDUTSBA"
_FM2_BITS = [LETTERS.index(letter) for letter in FM2_LETTERS]
FM2_COMMANDS = {
    1: "soft reset",
    2: "hard reset",
    4: "disk-system disk insert/eject",
    8: "disk-system side select",
    16: "coin insert",
}
#: emuVersion written to .fm2 files: velkora 0.1.0.
FM2_EMU_VERSION = 100
#: The .fm2 command bits of the reset button and of power-on.
FM2_SOFT_RESET = 1
FM2_POWER = 2
#: The comment naming the timing of an .fm2 file velkora writes: "comment velkora-timing hardware".
FM2_TIMING_COMMENT = "velkora-timing"

#: The most a movie file may hold, or inflate to when compressed: some 3 million frames,
#: fifteen hours at 60 frames a second. A file past it is refused before it is read whole.
MAX_MOVIE_BYTES = 64 << 20

_FRAME = re.compile(r"^\|([A.][B.][S.][T.][U.][D.][L.][R.])\|([A.][B.][S.][T.][U.][D.][L.][R.])\|(reset|power)?$")
_SHA1 = re.compile(r"^[0-9a-f]{40}$")
_DIGITS = re.compile(r"^[0-9]{1,18}\Z")  # a count that int() reads, whatever the digits
_IDENTITY_TEXT = re.compile(r"^[0-9a-f]{16}$")
_MASK_LISTS = [[(mask >> bit) & 1 for bit in range(8)] for mask in range(256)]

PathLike = Union[str, "os.PathLike[str]"]


class MovieError(ValueError):
    """A malformed movie file; the message names the file and the line."""


def prg_chr(image: bytes) -> bytes:
    """The PRG and CHR ROM of an iNES or NES 2.0 image (header and trainer left out)."""
    if len(image) < 16 or image[:4] != b"NES\x1a":
        raise ValueError("not an iNES image (no NES<EOF> header)")
    prg, chr_ = image[4], image[5]
    if image[7] & 0x0C == 0x08:  # NES 2.0: the high nibbles of the sizes in byte 9
        prg |= (image[9] & 0x0F) << 8
        chr_ |= (image[9] & 0xF0) << 4
        prg_size = _nes2_size(prg, 16384)
        chr_size = _nes2_size(chr_, 8192)
    else:
        prg_size, chr_size = prg * 16384, chr_ * 8192
    first = 16 + (512 if image[6] & 0x04 else 0)
    return image[first : first + prg_size + chr_size]


def _nes2_size(field: int, unit: int) -> int:
    if field >> 8 == 0x0F:  # exponent-multiplier form
        return (2 ** ((field >> 2) & 0x3F)) * ((field & 3) * 2 + 1)
    return field * unit


def fm2_checksum(image: bytes) -> str:
    """romChecksum as .fm2 files write it: base64 of the MD5 of PRG and CHR."""
    return "base64:" + base64.b64encode(hashlib.md5(prg_chr(image)).digest()).decode()


def _mask(value: object, name: str) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be a joypad mask (an int from 0 to 255), not bool")
    try:
        mask = int(value)  # type: ignore[call-overload]
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a joypad mask (an int from 0 to 255), not {value!r}") from None
    if mask != value or not 0 <= mask <= 255:
        raise ValueError(f"{name} must be a joypad mask from 0 to 255, not {value!r}")
    return mask


def _letters(mask: int) -> str:
    return "".join(letter if mask >> bit & 1 else "." for bit, letter in enumerate(LETTERS))


def _fm2_field(mask: int) -> str:
    return "".join(letter if mask >> bit & 1 else "." for bit, letter in zip(_FM2_BITS, FM2_LETTERS))


def _is_batch(target: object) -> bool:
    return isinstance(target, Batch)


def identity_of(snapshot: bytes) -> str:
    """The cartridge identity a snapshot carries, as 16 hexadecimal digits (as velkora's
    messages print it)."""
    return f"{int.from_bytes(snapshot[_IDENTITY], 'little'):016x}"


class Movie:
    """A start, a timing model and both joypads' buttons for every frame, of one cartridge.

    ``rom`` is the cartridge (a path or the image's bytes); ``start`` the snapshot the movie
    starts from (``velkora_gym.snapshot``'s bytes) or None for power-on. A snapshot of
    another cartridge is refused with ``ValueError``. ``timing`` is the timing model the
    movie replays in: a start snapshot's own (another one given is a ``ValueError``); from
    power-on the one given, else ``VELKORA_TIMING``, else "design"."""

    def __init__(
        self, rom: RomSource, start: bytes | bytearray | memoryview | None = None, *, timing: str | None = None
    ) -> None:
        if timing is not None:
            check_timing(timing)
        image = read_image(rom)
        check_board(image)
        name = Path(rom).name if isinstance(rom, (str, os.PathLike)) else None
        self._setup(image, hashlib.sha1(image).hexdigest(), name, start, timing)
        self.rom_path = Path(rom) if isinstance(rom, (str, os.PathLike)) else None

    def _setup(
        self,
        image: bytes | None,
        sha1: str,
        rom_name: str | None,
        start: bytes | bytearray | memoryview | None,
        timing: str | None,
        identity: str | None = None,
    ) -> None:
        self.image = image
        self.rom_path: Path | None = None  # where the cartridge was read from, when a file
        self.sha1 = sha1
        self.rom_name = rom_name
        self._pads = bytearray()  # two bytes a frame: port 0, port 1
        self._resets: set[int] = set()  # frames the reset button is pressed before
        self._powers: set[int] = set()  # frames the console is powered on before
        self.comments: list[str] = []
        self.rom_checksum: str | None = None  # an .fm2's romChecksum, kept for a movie without its image
        if start is not None:
            if not isinstance(start, (bytes, bytearray, memoryview)):
                raise TypeError(f"start must be snapshot bytes or None, not {type(start).__name__}")
            start = bytes(start)
            if not start.startswith(SNAPSHOT_MAGIC) or len(start) < 32:
                raise ValueError("start is not a velkora snapshot (velkora_gym.snapshot's bytes)")
        #: The timing model the movie replays in: "design" or "hardware".
        self.timing: str = start_timing(timing, start, "the movie's start")
        if start is not None:
            identity = identity_of(start)
        self.start: bytes | None = start
        #: The cartridge identity a console proves (16 hexadecimal digits); None for a
        #: power-on movie from before movies recorded it, loaded without its cartridge.
        self.identity: str | None = identity
        if image is not None:
            probe = Batch(image, 1, threads=1, obs_type=None, timing=self.timing)
            self.identity = identity_of(probe.snapshot(0, picture=False))
            if start is not None:
                try:
                    probe.restore(0, start)
                except ValueError as error:
                    raise ValueError(f"start is not a snapshot of this cartridge's console ({error})") from None

    @classmethod
    def _bare(
        cls,
        image: bytes | None,
        sha1: str,
        rom_name: str | None,
        start: bytes | None,
        timing: str | None,
        identity: str | None = None,
    ) -> Movie:
        movie = cls.__new__(cls)
        movie._setup(image, sha1, rom_name, start, timing, identity)
        return movie

    def _read(
        self, found: Path | None, pads: bytearray, resets: set[int], powers: set[int], comments: list[str]
    ) -> Movie:
        """This movie with what a file held: its frames, resets, power-ons and comments, and
        the ROM found for it (None when the caller gave one)."""
        self.rom_path = found
        self._pads = pads
        self._resets = resets
        self._powers = powers
        self.comments = comments
        return self

    def _sibling(self, start: bytes | None) -> Movie:
        """An empty movie of the same cartridge from ``start``, a snapshot known to be of
        it: without the cartridge checks a new movie makes."""
        movie = Movie.__new__(Movie)
        movie.__dict__.update(self.__dict__)
        movie._pads = bytearray()
        movie._resets = set()
        movie._powers = set()
        movie.comments = []
        movie.start = None if start is None else bytes(start)
        if start is not None:
            movie.timing = snapshot_timing(start)
        return movie

    # --- frames ---
    def append(self, buttons1: int, buttons2: int = 0, *, reset: bool = False, power: bool = False) -> None:
        """One frame: player 1's and player 2's joypad masks; with ``reset`` the reset button
        is pressed before the frame runs (``velkora_gym.soft_reset``), with ``power`` the
        console is powered on before it instead (``velkora_gym.power_on``, in the movie's
        timing)."""
        if reset and power:
            raise ValueError("a frame starts after a press of the reset button or after power-on, not both")
        self._pads += bytes((_mask(buttons1, "buttons1"), _mask(buttons2, "buttons2")))
        if reset:
            self._resets.add(len(self) - 1)
        if power:
            self._powers.add(len(self) - 1)

    @property
    def resets(self) -> list[int]:
        """The frames (from 0) before which the reset button is pressed, in order."""
        return sorted(self._resets)

    @property
    def powers(self) -> list[int]:
        """The frames (from 0) before which the console is powered on, in order."""
        return sorted(self._powers)

    def extend(self, buttons1: Sequence[int] | np.ndarray, buttons2: Sequence[int] | np.ndarray | None = None) -> None:
        """Many frames at once: masks per frame for each player (player 2's default to 0)."""
        first = np.asarray(buttons1)
        second = np.zeros(len(first), np.int64) if buttons2 is None else np.asarray(buttons2)
        if first.ndim != 1 or second.shape != first.shape:
            raise ValueError(
                f"buttons1 and buttons2 must be two flat sequences of one length, "
                f"got shapes {first.shape} and {second.shape}"
            )
        for name, masks in (("buttons1", first), ("buttons2", second)):
            if masks.size and (not np.issubdtype(masks.dtype, np.integer) or masks.min() < 0 or masks.max() > 255):
                raise ValueError(f"{name} must hold joypad masks from 0 to 255")
        pairs = np.empty((len(first), 2), np.uint8)
        pairs[:, 0], pairs[:, 1] = first, second
        self._pads += pairs.tobytes()

    def __len__(self) -> int:
        return len(self._pads) // 2

    def __getitem__(self, frame: int) -> tuple[int, int]:
        count = len(self)
        if frame < 0:
            frame += count
        if not 0 <= frame < count:
            raise IndexError(f"frame {frame} of a movie of {count} frames")
        return self._pads[2 * frame], self._pads[2 * frame + 1]

    def __iter__(self) -> Iterator[tuple[int, int]]:
        pads = self._pads
        for i in range(0, len(pads), 2):
            yield pads[i], pads[i + 1]

    @property
    def buttons(self) -> np.ndarray:
        """(frames, 2) uint8: each frame's masks for ports 0 and 1 (a copy)."""
        return np.frombuffer(bytes(self._pads), np.uint8).reshape(-1, 2).copy()

    def truncate(self, frames: int) -> None:
        """Keeps the first ``frames`` frames."""
        if not 0 <= frames <= len(self):
            raise ValueError(f"cannot keep {frames} frames of {len(self)}")
        del self._pads[2 * frames :]
        self._resets = {frame for frame in self._resets if frame < frames}
        self._powers = {frame for frame in self._powers if frame < frames}

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Movie):
            return NotImplemented
        return (self.sha1, self.start, self.timing, self._pads, self._resets, self._powers) == (
            other.sha1,
            other.start,
            other.timing,
            other._pads,
            other._resets,
            other._powers,
        )

    def __repr__(self) -> str:
        start = "power-on" if self.start is None else f"a snapshot of {len(self.start)} bytes"
        resets = f", {len(self._resets)} resets" if self._resets else ""
        resets += f", {len(self._powers)} power-ons" if self._powers else ""
        return (
            f"<Movie of {self.rom_name or self.sha1[:12]}: {len(self)} frames from {start}, "
            f"{self.timing} timing{resets}>"
        )

    # --- playing ---
    def check(self, target: Any, index: int | None = None) -> None:
        """ValueError, and nothing changed, when the console (a ``velkora.NES``, or console
        ``index`` of a ``Batch``) is not of this movie's cartridge or the movie cannot start."""
        if self.identity is None:
            raise ValueError(
                f"this movie starts at power-on and was saved before movies recorded the cartridge "
                f"identity a console can check; its cartridge (SHA-1 {self.sha1}) was not found: "
                f"load it with Movie.load(path, rom=...)"
            )
        if _is_batch(target):
            if index is None:
                raise TypeError("play(batch, index): name the console of the batch")
            if (
                isinstance(index, bool)
                or not isinstance(index, (int, np.integer))
                or not 0 <= index < target.num_consoles
            ):
                raise ValueError(
                    f"index must be a console of the batch (0 to {target.num_consoles - 1}), not {index!r}"
                )
            current = target.snapshot(int(index), picture=False)
        else:
            if index is not None:
                raise TypeError("index applies to a Batch; play(nes) takes none")
            current = _native.snapshot(target, picture=False)
        if identity_of(current) != self.identity:
            raise ValueError(
                f"this movie is of another cartridge (SHA-1 {self.sha1}"
                f"{', ' + self.rom_name if self.rom_name else ''}): the console was left as it was"
            )

    def restore_start(self, target: Any, index: int | None = None) -> None:
        """Brings the console (a ``velkora.NES``, or console ``index`` of a ``Batch``) to the
        movie's start: its snapshot, or power-on from the cartridge it holds in the movie's
        timing. Refused (``ValueError``) before any change when it runs another cartridge."""
        self.check(target, index)
        if _is_batch(target):
            if self.start is None:
                target.power_on(int(index), timing=self.timing)  # type: ignore[arg-type]
            else:
                target.restore(int(index), self.start)  # type: ignore[arg-type]
        elif self.start is None:
            _native.power_on(target)
            _native.set_timing(target, self.timing == "hardware")  # that timing's power-on
        else:
            _native.restore(target, self.start)

    def play(
        self,
        target: Any,
        index: int | None = None,
        *,
        ports: Sequence[Any] | None = None,
        on_frame: Callable[[int], object] | None = None,
    ) -> int:
        """Restores the start into the console, then runs one frame per entry with its
        buttons; returns the frames run. ``on_frame(i)`` is called after frame i.

        On a ``velkora.NES`` the movie plugs its own two joypads in while it plays. The console
        cannot say what was plugged before, so afterwards it plugs back ``ports`` (the two
        controllers the caller had plugged, None for a port left empty); without ``ports``
        both ports get a joypad with nothing pressed, and controllers plugged before no longer
        reach the console. A ``Batch`` takes the movie's masks directly; its ports are not
        touched. Nothing changes when the movie is refused (another cartridge, bad arguments)."""
        if on_frame is not None and not callable(on_frame):
            raise TypeError("on_frame must be callable")
        if _is_batch(target):
            if ports is not None:
                raise TypeError("ports applies to a velkora.NES; a Batch's ports are not plugged")
            self.restore_start(target, index)
            self._play_batch(target, int(index), on_frame)  # type: ignore[arg-type]
            return len(self)
        import velkora

        if not isinstance(target, velkora.NES):
            raise TypeError(f"play needs a velkora.NES or a velkora_gym.Batch, not {type(target).__name__}")
        after = self._ports(ports, velkora)
        self.restore_start(target)
        pads = (velkora.Controller(), velkora.Controller())
        for port, pad in enumerate(pads):
            target.setController(pad, port)
        resets, powers = self._resets, self._powers
        try:
            last = (-1, -1)
            for frame, (one, two) in enumerate(self):
                if frame in powers:
                    _native.power_on(target)
                    _native.set_timing(target, self.timing == "hardware")
                elif frame in resets:
                    _native.soft_reset(target)
                if (one, two) != last:
                    pads[0].updateInputs(_MASK_LISTS[one])
                    pads[1].updateInputs(_MASK_LISTS[two])
                    last = (one, two)
                target.runFrame()
                if on_frame is not None:
                    on_frame(frame)
        finally:
            for port, pad in enumerate(after):
                target.setController(pad, port)
        return len(self)

    @staticmethod
    def _ports(ports: Sequence[Any] | None, velkora: Any) -> list[Any]:
        if ports is None:
            return [velkora.Controller(), velkora.Controller()]
        ports = list(ports)
        if len(ports) != 2 or not all(p is None or isinstance(p, velkora.Controller) for p in ports):
            raise TypeError("ports must be the two controllers plugged before (a velkora.Controller or None each)")
        return [velkora.Controller() if p is None else p for p in ports]

    def _play_batch(self, batch: Batch, index: int, on_frame: Callable[[int], object] | None) -> None:
        active = np.zeros(batch.num_consoles, bool)
        active[index] = True
        pads = self.buttons
        chunk = 1 if on_frame is not None else 4096
        # Each run of frames ends before the next press of the reset or power button.
        marks = sorted({*range(0, len(pads), chunk), *self._resets, *self._powers, len(pads)})
        for first, end in zip(marks, marks[1:]):
            if first in self._powers:
                batch.power_on(index, timing=self.timing)
            elif first in self._resets:
                batch.soft_reset(index)
            part = pads[first:end]
            one = np.zeros((batch.num_consoles, len(part)), np.uint8)
            two = np.zeros_like(one)
            one[index], two[index] = part[:, 0], part[:, 1]
            batch.step(one, len(part), buttons2=two, active=active)
            if on_frame is not None:
                on_frame(first)

    # --- files ---
    def save(self, path: PathLike) -> None:
        """Writes the movie: ``.fm2`` (optionally ``.fm2.gz``) in that format, anything else
        in velkora's own; a name ending in ``.gz`` is gzip-compressed. All or nothing."""
        path = Path(path)
        text = self.to_fm2() if _is_fm2(path) else self.to_text()
        data = text.encode()
        if path.suffix.lower() == ".gz":
            data = gzip.compress(data, mtime=0)
        write_file(path, data)

    def save_recording(self, path: PathLike) -> Path:
        """``save`` for a recorder: .fm2 holds only movies from power-on of a known image, so
        another goes to .vmv beside it. Returns the path written."""
        path = Path(path)
        if _is_fm2(path) and (self.start is not None or self.image is None):
            path = path.with_name(path.name.split(".")[0] + ".vmv")
        self.save(path)
        return path

    @staticmethod
    def numbered(path: Path, count: int) -> Path:
        """The name of a recorder's ``count``-th movie (from 1) for ``path``: ``run.vmv``,
        then ``run-2.vmv``, ``run-3.vmv``..."""
        if count <= 1:
            return path
        name, _, suffix = path.name.partition(".")
        return path.with_name(f"{name}-{count}.{suffix}")

    @classmethod
    def load(cls, path: PathLike, rom: RomSource | None = None) -> Movie:
        """Reads a movie file (``.fm2`` by its extension, velkora's own otherwise; ``.gz``
        decompressed). ``rom`` is the cartridge; without it, the package's cartridges and the
        imported ROMs are searched for it by hash. A velkora movie whose SHA-1 is not the
        ROM's is refused (``ValueError``); an .fm2 romChecksum that differs is a warning."""
        path = Path(path)
        data = read_capped(path, MAX_MOVIE_BYTES, "a movie", MovieError)
        if path.suffix.lower() == ".gz":
            data = _inflate(data, MAX_MOVIE_BYTES, path)
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as error:
            raise MovieError(f"{path}: not a text file ({error.reason} at byte {error.start})") from None
        image = read_image(rom) if rom is not None else None
        if _is_fm2(path):
            movie = cls.from_fm2(text, image, where=str(path))
        else:
            movie = cls.from_text(text, image, where=str(path))
        if isinstance(rom, (str, os.PathLike)):
            movie.rom_path = Path(rom)
        return movie

    # --- velkora's format ---
    def to_text(self) -> str:
        """The movie in velkora's format (see docs/movies.md)."""
        lines = [f"{FORMAT} {VERSION}", f"sha1 {self.sha1}"]
        if self.identity is not None:
            lines.append(f"identity {self.identity}")
        if self.rom_name:
            lines.append(f"rom {_one_line(self.rom_name)}")
        lines.append(
            "start power-on" if self.start is None else "start snapshot " + base64.b64encode(self.start).decode()
        )
        lines.append(f"timing {self.timing}")
        lines += [f"comment {_one_line(c)}" for c in self.comments]
        lines.append(f"frames {len(self)}")
        marks = {**{frame: "reset" for frame in self._resets}, **{frame: "power" for frame in self._powers}}
        lines += [f"|{_letters(one)}|{_letters(two)}|{marks.get(frame, '')}" for frame, (one, two) in enumerate(self)]
        return "\n".join(lines) + "\n"

    @classmethod
    def from_text(cls, text: str, image: bytes | None = None, where: str = "movie") -> Movie:
        lines = text.split("\n")
        if lines and lines[-1] == "":
            lines.pop()
        header: dict[str, tuple[int, str]] = {}
        comments: list[str] = []
        body = len(lines)
        for number, raw in enumerate(lines, 1):
            line = raw.rstrip("\r")
            if line.startswith("|"):
                body = number - 1
                break
            if not line.strip() or line.startswith("#"):
                continue
            key, _, value = line.partition(" ")
            if not header and key != FORMAT:
                raise MovieError(
                    f"{where} line {number}: not a velkora movie (it must begin with '{FORMAT} {VERSION}')"
                )
            if key == "comment":
                comments.append(value)
                continue
            if key not in (FORMAT, "sha1", "identity", "rom", "start", "timing", "frames"):
                raise MovieError(
                    f"{where} line {number}: unknown header key {key!r} "
                    "(expected sha1, identity, rom, start, timing, frames or comment)"
                )
            if key in header:
                raise MovieError(f"{where} line {number}: {key} given twice")
            header[key] = (number, value)
        if FORMAT not in header:
            raise MovieError(f"{where}: not a velkora movie (no '{FORMAT} {VERSION}' line)")
        number, version = header[FORMAT]
        if not _DIGITS.match(version) or int(version) < 1:
            raise MovieError(f"{where} line {number}: {version[:20]!r} is not a format version")
        if int(version) > VERSION:
            raise MovieError(
                f"{where} line {number}: format version {version} is newer than this velkora "
                f"reads ({VERSION}); update velkora"
            )
        for key in ("sha1", "start", "frames") + (("timing",) if int(version) >= 2 else ()):
            if key not in header:
                raise MovieError(f"{where}: the header has no {key} line")
        number, sha1 = header["sha1"]
        if not _SHA1.match(sha1):
            raise MovieError(f"{where} line {number}: {sha1!r} is not a SHA-1 (40 lower-case hexadecimal digits)")
        start = cls._start(*header["start"], where)
        if "timing" in header:
            timing = cls._timing(*header["timing"], start, where)
        else:  # the first version's movies were made in the design timing, or follow their start
            timing = cls._timing(0, "design", None, where) if start is None else cls._start_timing(start, where)
        identity = None
        if "identity" in header:
            number, identity = header["identity"]
            if not _IDENTITY_TEXT.match(identity):
                raise MovieError(
                    f"{where} line {number}: {identity!r} is not a cartridge identity (16 hexadecimal digits)"
                )
            if start is not None and identity_of(start) != identity:
                raise MovieError(f"{where} line {number}: the identity is not the one its start snapshot carries")
        number, count = header["frames"]
        if not _DIGITS.match(count):
            raise MovieError(f"{where} line {number}: {count[:20]!r} is not a frame count")
        pads = bytearray()
        resets: set[int] = set()
        powers: set[int] = set()
        for offset, raw in enumerate(lines[body:]):
            number = body + offset + 1
            line = raw.rstrip("\r")
            match = _FRAME.match(line)
            if not match:
                raise MovieError(
                    f"{where} line {number} (frame {len(pads) // 2 + 1}): {line[:40]!r} is not a "
                    f"frame: write |{LETTERS}|{LETTERS}|, '.' for a button not pressed, and 'reset' "
                    "or 'power' after it for a press of the reset button or a power-on before the frame"
                )
            if match.group(3):
                (resets if match.group(3) == "reset" else powers).add(len(pads) // 2)
            pads += bytes((_parse_letters(match.group(1)), _parse_letters(match.group(2))))
        if len(pads) // 2 != int(count):
            raise MovieError(
                f"{where} line {header['frames'][0]}: the header says {count} frames, "
                f"the file holds {len(pads) // 2} (cut short?)"
            )
        name = header["rom"][1] if "rom" in header else None
        found = None
        if image is None:
            found = find_rom(sha1)
        image = cls._image_for(image, sha1, where, strict=True) if found is None else found.read_bytes()
        try:
            movie = cls._bare(image, sha1, name, start, timing, identity)
        except ValueError as error:
            raise MovieError(f"{where}: {error}") from None
        if identity is not None and movie.identity != identity:
            raise MovieError(f"{where}: the identity line is not the identity of its cartridge (SHA-1 {sha1})")
        return movie._read(found, pads, resets, powers, comments)

    @staticmethod
    def _start_timing(start: bytes, where: str) -> str:
        try:
            return snapshot_timing(start)
        except ValueError as error:
            raise MovieError(f"{where}: the start snapshot is damaged ({error})") from None

    @classmethod
    def _timing(cls, number: int, value: str, start: bytes | None, where: str) -> str:
        if value not in TIMINGS:
            raise MovieError(f"{where} line {number}: timing must be 'design' or 'hardware', not {value!r}")
        if start is not None:
            held = cls._start_timing(start, where)
            if held != value:
                raise MovieError(
                    f"{where} line {number}: timing {value}, but the start snapshot is of the {held} timing"
                )
        return value

    @staticmethod
    def _start(number: int, value: str, where: str) -> bytes | None:
        if value == "power-on":
            return None
        kind, _, encoded = value.partition(" ")
        if kind != "snapshot" or not encoded:
            raise MovieError(f"{where} line {number}: start must be 'power-on' or 'snapshot BASE64'")
        try:
            start = base64.b64decode(encoded, validate=True)
        except binascii.Error:
            raise MovieError(f"{where} line {number}: the start snapshot is not valid base64") from None
        if not start.startswith(SNAPSHOT_MAGIC):
            raise MovieError(f"{where} line {number}: the start is not a velkora snapshot")
        return start

    @staticmethod
    def _image_for(image: bytes | None, sha1: str, where: str, strict: bool) -> bytes | None:
        if image is not None and hashlib.sha1(image).hexdigest() != sha1:
            message = (
                f"{where} is a movie of the cartridge with SHA-1 {sha1}; the ROM given has "
                f"{hashlib.sha1(image).hexdigest()}"
            )
            if strict:
                raise ValueError(message)
            warnings.warn(message, stacklevel=4)
        return image

    # --- .fm2 ---
    def to_fm2(self) -> str:
        """The movie as an .fm2 text movie (power-on movies only: .fm2 has no velkora snapshot).
        A comment line names its timing, so velkora replays it in that one; a press of the
        reset button is the frame's command 1."""
        if self.start is not None:
            raise ValueError(
                "an .fm2 movie starts at power-on; this one starts from a snapshot (save it in velkora's format, .vmv)"
            )
        checksum = fm2_checksum(self.image) if self.image is not None else self.rom_checksum
        if checksum is None:
            raise ValueError(
                f"an .fm2 movie carries the MD5 of the cartridge's PRG and CHR: load the movie "
                f"with its ROM (SHA-1 {self.sha1})"
            )
        name = Path(self.rom_name).stem if self.rom_name else self.sha1
        lines = [
            "version 3",
            f"emuVersion {FM2_EMU_VERSION}",
            "rerecordCount 0",
            "palFlag 0",
            f"romFilename {_one_line(name)}",
            f"romChecksum {checksum}",
            f"guid {str(uuid.uuid4()).upper()}",
            "fourscore 0",
            "microphone 0",
            "port0 1",
            "port1 1",
            "port2 0",
            "FDS 0",
            "NewPPU 0",
        ]
        lines.append(f"comment {FM2_TIMING_COMMENT} {self.timing}")
        # A comment's first word names its subject, so other tools keep it as a note.
        if self.identity is not None:
            lines.append(f"comment {FM2_CARTRIDGE} {self.identity} {self.sha1}")
        # A comment of the timing's form would name a second timing.
        lines += [f"comment {_one_line(c)}" for c in self.comments if c.split()[:1] != [FM2_TIMING_COMMENT]]
        resets, powers = self._resets, self._powers
        lines += [
            f"|{FM2_POWER if frame in powers else FM2_SOFT_RESET if frame in resets else 0}|"
            f"{_fm2_field(one)}|{_fm2_field(two)}||"
            for frame, (one, two) in enumerate(self)
        ]
        return "\n".join(lines) + "\n"

    @classmethod
    def from_fm2(cls, text: str, image: bytes | None = None, where: str = "movie.fm2") -> Movie:
        """An .fm2 text movie. One velkora wrote replays in the timing its comment line
        names; any other comes from a tool that times the console as the hardware does, and
        replays in the hardware timing. Command 1 presses the reset button before its frame."""
        header: dict[str, tuple[int, str]] = {}
        comments: list[str] = []
        timing: str | None = None
        pads = bytearray()
        resets: set[int] = set()
        powers: set[int] = set()
        ports = (1, 1)
        cartridge: tuple[str, str] | None = None  # (identity, SHA-1) from velkora's comment
        for number, raw in enumerate(text.split("\n"), 1):
            line = raw.rstrip("\r")
            if line.startswith("|"):
                if not pads:
                    ports = _fm2_ports(header, where)
                frame = len(pads) // 2
                masks, command = _fm2_frame(line, number, frame + 1, ports, where)
                if command & FM2_POWER:
                    powers.add(frame)  # a power-on makes a reset with it moot
                elif command & FM2_SOFT_RESET:
                    resets.add(frame)
                pads += masks
                continue
            if pads and line.strip():
                raise MovieError(f"{where} line {number}: header line {line[:40]!r} after the first frame")
            if not line.strip():
                continue
            key, _, value = line.strip().partition(" ")
            if key == "comment":
                words = value.split()
                if words[:1] == [FM2_TIMING_COMMENT]:
                    if len(words) != 2 or words[1] not in TIMINGS or timing is not None:
                        raise MovieError(
                            f"{where} line {number}: {value.strip()!r}: velkora names the timing once, "
                            f"'{FM2_TIMING_COMMENT} design' or '{FM2_TIMING_COMMENT} hardware'"
                        )
                    timing = words[1]
                elif words[:1] == [FM2_CARTRIDGE]:
                    cartridge = _fm2_cartridge(value, number, where)
                else:
                    comments.append(value.strip())
            elif key != "subtitle":
                header.setdefault(key, (number, value.strip()))
        if not pads:
            _fm2_ports(header, where)
        version = header.get("version", (0, ""))
        if version[1] != "3":
            raise MovieError(
                f"{where}{f' line {version[0]}' if version[0] else ''}: "
                f"{'version ' + repr(version[1]) if version[0] else 'no version line'}: velkora reads "
                "text .fm2 movies of version 3"
            )
        checksum = header.get("romChecksum", (0, ""))[1]
        found = None
        if image is None and checksum:
            found = find_rom_by_fm2(checksum)
            image = found.read_bytes() if found is not None else None
        if timing is None:
            # velkora's files from before the timing comment were made in the design timing.
            ours = header.get("emuVersion", (0, ""))[1] == str(FM2_EMU_VERSION)
            timing = "design" if ours else "hardware"
        name = header.get("romFilename", (0, ""))[1]
        rom_name = f"{name}.nes" if name else None
        if image is None:
            if cartridge is None:
                raise ValueError(
                    f"{where}: an .fm2 movie starts at power-on; this one names no cartridge identity a "
                    f"console can check (velkora writes one from this version on) and its cartridge was "
                    f"not found: load it with Movie.load(path, rom=...)"
                )
            movie = cls._bare(None, cartridge[1], rom_name, None, timing, cartridge[0])
            movie.rom_checksum = checksum or None
        else:
            differs = bool(checksum) and checksum != fm2_checksum(image)
            if differs:
                warnings.warn(
                    f"{where}: romChecksum {checksum} is not the ROM's ({fm2_checksum(image)}); playing it anyway",
                    stacklevel=3,
                )
            try:
                check_board(image)
                movie = cls._bare(image, hashlib.sha1(image).hexdigest(), rom_name, None, timing)
            except ValueError as error:
                raise MovieError(f"{where}: {error}") from None
            if cartridge is not None and cartridge[0] != movie.identity and not differs:
                warnings.warn(
                    f"{where}: made on the cartridge with identity {cartridge[0]} (SHA-1 {cartridge[1]}); "
                    f"the ROM's is {movie.identity}; playing it anyway",
                    stacklevel=3,
                )
        return movie._read(found, pads, resets, powers, comments)


def _inflate(data: bytes, limit: int, path: Path) -> bytes:
    """A gzip file's contents (every member), inflated no further than `limit` bytes."""
    out = bytearray()
    try:
        while data:
            inflater = zlib.decompressobj(wbits=31)
            out += inflater.decompress(data, limit + 1 - len(out))
            if len(out) > limit or inflater.unconsumed_tail:
                raise MovieError(f"{path}: inflates to more than {limit} bytes, more than a movie holds")
            if not inflater.eof:
                raise MovieError(f"{path}: not a gzip file (cut short)")
            data = inflater.unused_data
    except zlib.error as error:
        raise MovieError(f"{path}: not a gzip file ({error})") from None
    return bytes(out)


def _fm2_ports(header: dict[str, tuple[int, str]], where: str) -> tuple[int, int]:
    """Which ports hold a gamepad; ValueError for what velkora's movies cannot replay."""
    for key, name in (
        ("palFlag", "a PAL console"),
        ("fourscore", "a Four Score"),
        ("FDS", "the disk system"),
        ("binary", "binary frames"),
    ):
        number, value = header.get(key, (0, "0"))
        if value not in ("0", ""):
            raise MovieError(f"{where} line {number}: {key} {value}: velkora does not replay movies of {name}")
    ports = []
    for key in ("port0", "port1"):
        number, value = header.get(key, (0, "1"))
        if value not in ("0", "1"):
            raise MovieError(
                f"{where} line {number}: {key} {value}: velkora replays gamepads (1) or nothing (0) in a port"
            )
        ports.append(int(value))
    number, value = header.get("port2", (0, "0"))
    if value not in ("0", ""):
        raise MovieError(f"{where} line {number}: port2 {value}: velkora replays nothing in the expansion port")
    return ports[0], ports[1]


def _fm2_frame(line: str, number: int, frame: int, ports: tuple[int, int], where: str) -> tuple[bytes, int]:
    """A frame's two joypad masks and its command."""
    fields = line.split("|")
    if not 4 <= len(fields) <= 6 or fields[-1].strip():
        raise MovieError(f"{where} line {number} (frame {frame}): {line[:40]!r} is not |c|RLDUTSBA|RLDUTSBA||")
    command = fields[1].strip() or "0"
    if not _DIGITS.match(command):
        raise MovieError(f"{where} line {number} (frame {frame}): command {fields[1]!r} is not a number")
    if int(command) & ~(FM2_SOFT_RESET | FM2_POWER):
        others = int(command) & ~(FM2_SOFT_RESET | FM2_POWER)
        used = ", ".join(name for bit, name in FM2_COMMANDS.items() if others & bit) or f"command {command}"
        raise MovieError(
            f"{where} line {number} (frame {frame}) uses {used} (command {command}): velkora's movies hold "
            "buttons, the reset button and power-on only"
        )
    masks = []
    for port in range(2):
        field = fields[2 + port] if 2 + port < len(fields) - 1 else ""
        if not ports[port] or not field:
            if field.strip(" ."):
                raise MovieError(
                    f"{where} line {number} (frame {frame}): port{port} holds no gamepad "
                    f"but the frame presses {field!r}"
                )
            masks.append(0)
            continue
        if len(field) != 8:
            raise MovieError(
                f"{where} line {number} (frame {frame}): port{port}'s {field!r} is not eight positions {FM2_LETTERS}"
            )
        mask = 0
        for position, character in enumerate(field):
            if character not in ". ":
                mask |= 1 << _FM2_BITS[position]
        masks.append(mask)
    return bytes(masks), int(command)


def _fm2_cartridge(value: str, number: int, where: str) -> tuple[str, str]:
    """(identity, SHA-1) from velkora's cartridge comment."""
    words = value.split()
    if len(words) != 3 or not _IDENTITY_TEXT.match(words[1]) or not _SHA1.match(words[2]):
        raise MovieError(
            f"{where} line {number}: comment {FM2_CARTRIDGE} must be followed by the cartridge identity "
            f"(16 hexadecimal digits) and its SHA-1"
        )
    return words[1], words[2]


def _parse_letters(field: str) -> int:
    return sum(1 << bit for bit, character in enumerate(field) if character != ".")


def _one_line(text: str) -> str:
    return " ".join(str(text).split())


def _is_fm2(path: Path) -> bool:
    name = path.name.lower()
    return name.endswith(".fm2") or name.endswith(".fm2.gz")


# --- finding a movie's cartridge ---


def _candidates() -> Iterator[Path]:
    yield from sorted(PACKAGE_ROMS.glob("*.nes"))
    imported = imported_folder()
    if imported.is_dir():
        yield from sorted(imported.glob("*.nes"))


def find_rom(sha1: str) -> Path | None:
    """The file with this SHA-1 among the package's cartridges and the imported ROMs."""
    named = imported_folder() / f"{sha1}.nes"
    for path in [named, *_candidates()]:
        try:
            image = path.read_bytes()
        except OSError:
            continue
        if hashlib.sha1(image).hexdigest() == sha1:
            return path
    return None


def find_rom_by_fm2(checksum: str) -> Path | None:
    """The file whose PRG and CHR have this .fm2 romChecksum, among the same places."""
    for path in _candidates():
        try:
            if fm2_checksum(path.read_bytes()) == checksum:
                return path
        except (OSError, ValueError):
            continue
    return None


__all__ = ["FM2_LETTERS", "LETTERS", "Movie", "MovieError", "fm2_checksum", "find_rom", "identity_of", "prg_chr"]
