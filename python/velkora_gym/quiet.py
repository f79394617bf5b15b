"""Consoles made without the loader's lines.

``velkora.NES(rom)`` prints what its cartridge loader found (``No Battery``, ``iNES``, the
CHR size, ``CHR-RAM Copied.``, the battery RAM file) from C code, on file descriptor 1, and
keeps doing so: that is the module's fixed behaviour. ``quiet_nes(rom)`` makes the same
console, battery RAM and save folder included, with those lines held back; ``quiet_loader()``
does it for any code run inside it.

While a console is built, file descriptor 1 points at a temporary file instead of the
terminal. Whatever else reaches it in that time (another thread's output, say) is written
out once the console is made, less the lines the loader prints; a line of another thread
that reads exactly like one of them (a bare number, ``iNES``) is dropped with them. Builds
in several threads take turns, one at a time.
"""

from __future__ import annotations

import contextlib
import ctypes
import os
import re
import sys
import tempfile
import threading
from collections.abc import Iterator
from typing import Any

__all__ = ["quiet_loader", "quiet_nes"]

# Every line NESUnit's constructors and the cartridge loader print.
_LOADER_LINE = re.compile(
    rb"(?:No Battery|Battery|iNES|[0-9]+|UNRECOGNIZED MAPPER!|CHR-RAM Copied\.|load RAM file: .*|"
    rb"RAM file exists: [01]|No rom specified\.|rom created\.|OS not detected\. No save folder created\.)\n"
)

_lock = threading.RLock()
_depth = 0

try:
    _libc: Any = ctypes.CDLL(None)
except OSError:  # no C library to flush: C's buffered output then is not ours to hold
    _libc = None


def _flush_c() -> None:
    """Writes out C's buffered standard output, so it lands on the descriptor it was meant for."""
    if _libc is not None:
        _libc.fflush(None)


def _without_loader_lines(held: bytes) -> bytes:
    return b"".join(line for line in held.splitlines(keepends=True) if not _LOADER_LINE.fullmatch(line))


@contextlib.contextmanager
def quiet_loader() -> Iterator[None]:
    """Holds back what C code writes on file descriptor 1 while the block runs and writes
    it out afterwards without the console loader's lines. Nested uses share one hold."""
    global _depth
    with _lock:
        if _depth:
            _depth += 1
            try:
                yield
            finally:
                _depth -= 1
            return
        if sys.stdout is not None:
            sys.stdout.flush()
        _flush_c()
        try:
            saved = os.dup(1)
        except OSError:  # no descriptor 1: nothing to hold back
            yield
            return
        hold = tempfile.TemporaryFile()
        try:
            os.dup2(hold.fileno(), 1)
            _depth = 1
            try:
                yield
            finally:
                _depth = 0
                if sys.stdout is not None:
                    with contextlib.suppress(Exception):
                        sys.stdout.flush()
                _flush_c()
                os.dup2(saved, 1)
                hold.seek(0)
                rest = _without_loader_lines(hold.read())
                with contextlib.suppress(OSError):
                    while rest:
                        rest = rest[os.write(1, rest) :]
        finally:
            os.close(saved)
            hold.close()


def quiet_nes(rom: Any, clock_speed: int | None = None) -> Any:
    """``velkora.NES(rom)`` (a path, or a file object with ``name`` and ``read``), or
    ``velkora.NES(rom, clock_speed)``, without the loader's lines on standard output."""
    import velkora

    with quiet_loader():
        if isinstance(rom, os.PathLike):
            rom = os.fspath(rom)
        return velkora.NES(rom) if clock_speed is None else velkora.NES(rom, clock_speed)
