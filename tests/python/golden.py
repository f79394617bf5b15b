"""Golden outputs: what each cartridge shows, plays and stores under a fixed joypad script.

Any change to the emulator that alters these is a change of behaviour, not of speed.
Record anew only for a deliberate behaviour change:

    python tests/python/golden.py --record
"""

from __future__ import annotations

import hashlib
import json
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from nesrom import ROMS, ImageFile, plug_pad  # noqa: E402

GOLDEN_FILE = HERE / "golden.json"
SNAPSHOT_FRAMES = (60, 300, 600)


def joypad(frame: int) -> list[int]:
    """A, B, Select, Start, Up, Down, Left, Right for a frame: menus, movement, fire."""
    start = int(frame % 120 in (30, 31, 32))
    a = int(frame % 24 < 2 and frame > 90)
    b = int(frame % 40 == 20)
    right = int(200 <= frame % 300 < 260)
    left = int(100 <= frame % 300 < 140)
    up = int(frame % 200 in range(150, 160))
    down = int(frame % 200 in range(170, 180))
    return [a, b, 0, start, up, down, left, right]


def cartridges() -> dict[str, bytes]:
    """The shared demos plus the project's own cartridges, by name."""
    found = {}
    demos = ROMS / "demos"
    if demos.is_dir():
        for path in sorted(demos.glob("*.nes")):
            found[path.name] = path.read_bytes()
    for name, image in own_cartridges().items():
        found[name] = image
    return found


def own_cartridges() -> dict[str, bytes]:
    try:
        import own_cartridges as own
    except ImportError:
        return {}
    return own.images()


def run(name: str, image: bytes) -> dict[str, str]:
    import velkora

    nes = velkora.NES(ImageFile(image, name))
    pad = plug_pad(nes)
    audio = hashlib.sha256()
    result = {}
    for frame in range(1, SNAPSHOT_FRAMES[-1] + 1):
        pad.updateInputs(joypad(frame))
        nes.runFrame()
        audio.update(b"".join(nes.getAudio(True)))
        if frame in SNAPSHOT_FRAMES:
            result[f"img{frame}"] = hashlib.sha256(nes.getImg().tobytes()).hexdigest()[:16]
    result["audio"] = audio.hexdigest()[:16]
    result["cpuMem"] = hashlib.sha256(nes.cpuMem().tobytes()).hexdigest()[:16]
    return result


def load() -> dict[str, dict[str, str]]:
    return json.loads(GOLDEN_FILE.read_text()) if GOLDEN_FILE.exists() else {}


def save(path: Path, data: dict, cartridges: int) -> None:
    path.write_text(json.dumps(data, indent=1, sort_keys=True) + "\n")
    print(f"recorded {cartridges} cartridges in {path}")


def command(record, doc: str) -> None:
    """A record's command line: --record writes it anew, anything else shows how."""
    if sys.argv[1:] == ["--record"]:
        record()
    else:
        print(doc)


def record() -> None:
    golden = {name: run(name, image) for name, image in cartridges().items()}
    save(GOLDEN_FILE, golden, len(golden))


if __name__ == "__main__":
    command(record, __doc__)
