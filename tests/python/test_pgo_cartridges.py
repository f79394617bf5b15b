"""The profile-guided build's training cartridges run their programs on every board, in both
timings: a profile trained on a cartridge that hangs or stays silent would miss the paths
the module spends its time in."""

from __future__ import annotations

import hashlib
import sys

import numpy as np
import pytest

import nesrom
from conftest import REPO

sys.path.insert(0, str(REPO / "tools" / "pgo"))
import cartridges  # noqa: E402

velkora = pytest.importorskip("velkora")
velkora_gym = pytest.importorskip("velkora_gym")

FRAMES = 120
# Boards whose own interrupt fires in the design timing too (elsewhere only the APU's do).
BOARD_INTERRUPTS = {"mmc3", "ntdec-2722"}


@pytest.fixture(scope="module")
def images():
    return cartridges.images()


@pytest.mark.parametrize("timing", ["design", "hardware"])
@pytest.mark.parametrize("board", cartridges.BOARDS)
def test_board_cartridge_renders_switches_and_plays(images, board, timing):
    nes = velkora.NES(nesrom.ImageFile(images[f"board-{board}.nes"], f"{board}.nes"))
    velkora_gym.set_timing(nes, timing)
    mem = nes.cpuMem()
    pictures, loud, passes, interrupts = set(), 0, 0, 0
    for frame in range(FRAMES):
        before = mem[0x19], mem[0x14]
        nes.runFrame()
        passes += (int(mem[0x19]) - int(before[0])) & 0xFF
        interrupts += (int(mem[0x14]) - int(before[1])) & 0xFF
        if frame % 10 == 0:
            pictures.add(hashlib.sha1(nes.getImg().tobytes()).digest())
        blocks = nes.getAudio()
        loud += bool(blocks[0]) and bool(np.frombuffer(blocks[0], np.int16).any())
    # The frame loop (sprites, sprite 0, a write on every line) runs at least every other frame.
    assert passes >= FRAMES // 2 - 10
    assert len(pictures) >= FRAMES // 10 - 1
    assert loud >= FRAMES // 2
    if timing == "hardware" or board in BOARD_INTERRUPTS:
        assert interrupts >= FRAMES // 2


def test_training_set_is_the_demo_game_and_every_emulated_board(images):
    assert images["game.nes"] == cartridges.build_demo.image()
    mappers = {int(data[6] >> 4 | data[7] & 0xF0) for name, data in images.items() if name.startswith("board-")}
    emulated = set(velkora_gym.batch.SUPPORTED_MAPPERS)
    assert mappers == emulated, f"tools/pgo/cartridges.py lacks a cartridge for mappers {emulated - mappers}"
