"""Where velkora_gym's files are: the cartridges that come with the package and the user's
data folder; and reading and writing them with care (a read capped in size, a write that
is all of the file or nothing)."""

from __future__ import annotations

import os
import secrets
from pathlib import Path

PACKAGE = Path(__file__).resolve().parent
#: The cartridges built into the package from demo/.
PACKAGE_ROMS = PACKAGE / "roms"
#: The demo game and its two-player variant.
DEMO_ROM = PACKAGE_ROMS / "velkora-demo.nes"
DEMO_2P_ROM = PACKAGE_ROMS / "velkora-demo-2p.nes"


def demo_rom() -> Path:
    """The packaged demo cartridge; FileNotFoundError in a source tree that was never built."""
    if not DEMO_ROM.is_file():
        raise FileNotFoundError(f"{DEMO_ROM} is missing: install the package (pip install .) to build it")
    return DEMO_ROM


def data_folder() -> Path:
    """velkora's folder in the user's data directory (the console keeps battery RAM there too):
    ``$XDG_DATA_HOME/velkora``, ``~/.local/share/velkora`` when ``XDG_DATA_HOME`` is unset or
    not an absolute path."""
    base = os.environ.get("XDG_DATA_HOME", "")
    root = Path(base) if base and os.path.isabs(base) else Path.home() / ".local" / "share"
    return root / "velkora"


def imported_folder() -> Path:
    """Where ``python -m velkora_gym.import`` keeps the ROMs it imports, by SHA-1."""
    return data_folder() / "roms"


def read_capped(path: Path, limit: int, what: str, error: type[Exception]) -> bytes:
    """The bytes of a file holding at most `limit` of them; `error` naming it otherwise
    (``FileNotFoundError`` and other ``OSError`` pass)."""
    with open(path, "rb") as file:
        data = file.read(limit + 1)
    if len(data) > limit:
        raise error(f"{path}: larger than {limit} bytes, more than {what} holds")
    return data


def write_file(path: Path, data: bytes) -> None:
    """All of the file or nothing (a crash leaves no half-written file behind), made with the
    permissions the user's umask gives new files. The folder must exist."""
    temporary = path.parent / f".{path.name}.{secrets.token_hex(6)}"
    handle = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with os.fdopen(handle, "wb") as file:
            file.write(data)
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
