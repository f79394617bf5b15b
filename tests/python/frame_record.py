"""Frame by frame record of the design timing: what every cartridge shows, stores and plays.

The golden outputs catch that something changed; this record says on which frame it first
changed and whether the picture, the CPU memory or the sound did. Each of the 600 frames of
golden.py's joypad script keeps a short hash of the picture, of the whole CPU memory and of
the audio block handed over that frame. Record anew only for a deliberate behaviour change,
in a commit of its own:

    python tests/python/frame_record.py --record
"""

from __future__ import annotations

import hashlib
import json
import os
import sys
import tempfile
from collections.abc import Iterator
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import golden  # noqa: E402

RECORD_FILE = HERE / "frame_record.json"
FRAMES = 600
DIGITS = 12
KINDS = ("picture", "RAM", "audio")


def _short(data) -> str:
    return hashlib.sha256(data).hexdigest()[:DIGITS]


def frame_hashes(name: str, image: bytes, frames: int = FRAMES) -> Iterator[tuple[str, str, str]]:
    """The picture, CPU memory and audio hashes of each frame in turn."""
    import velkora

    nes = velkora.NES(golden.ImageFile(image, name))
    pad = golden.plug_pad(nes)
    memory = nes.cpuMem()
    for frame in range(1, frames + 1):
        pad.updateInputs(golden.joypad(frame))
        nes.runFrame()
        yield _short(nes.getImg()), _short(memory), _short(b"".join(nes.getAudio(True)))


def first_difference(name: str, image: bytes, recorded: dict[str, str]) -> tuple[int, list[str]] | None:
    """The first frame whose hashes differ from the record, with the kinds that differ;
    None when all frames match."""
    for frame, hashes in enumerate(frame_hashes(name, image), start=1):
        at = slice((frame - 1) * DIGITS, frame * DIGITS)
        changed = [kind for kind, value in zip(KINDS, hashes) if recorded[kind][at] != value]
        if changed:
            return frame, changed
    return None


def load() -> dict[str, dict[str, str]]:
    if not RECORD_FILE.exists():
        return {}
    data = json.loads(RECORD_FILE.read_text())
    if data["frames"] != FRAMES or data["digits"] != DIGITS:
        raise ValueError(f"{RECORD_FILE} holds {data['frames']} frames of {data['digits']} digits; record it anew")
    return data["cartridges"]


def record() -> None:
    # A battery save left in the real data folder would change what a cartridge does;
    # the tests run with an empty one (conftest.py), so the record must too.
    os.environ["XDG_DATA_HOME"] = tempfile.mkdtemp(prefix="velkora-record-")
    cartridges = {}
    for name, image in golden.cartridges().items():
        columns = zip(*frame_hashes(name, image))
        cartridges[name] = {kind: "".join(column) for kind, column in zip(KINDS, columns)}
    golden.save(RECORD_FILE, {"frames": FRAMES, "digits": DIGITS, "cartridges": cartridges}, len(cartridges))


if __name__ == "__main__":
    golden.command(record, __doc__)
