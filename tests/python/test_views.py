"""The picture, colour table and memories as zero-copy NumPy views (that they
outlive their console is in test_bad_inputs)."""

import numpy as np
import pytest

import nesrom
import velkora
from nesrom import ImageFile, build_rom, nrom_program

# Writes $1E to PPUMASK once, then spins.
PROGRAM = nrom_program("""
    lda #$1e
    sta $2001
loop:
    jmp loop
""")


def console():
    return velkora.NES(ImageFile(build_rom(PROGRAM), "views.nes"))


@pytest.mark.parametrize(
    "member, shape, strides",
    [
        ("getImg", (240, 256, 3), (768, 3, 1)),
        ("colorLookup", (64, 3), (3, 1)),
        ("cpuMem", (65536,), (1,)),
        ("ppuMem", (16384,), (1,)),
        ("OAM", (256,), (1,)),
    ],
)
def test_views_have_fixed_layout_and_share_storage(member, shape, strides):
    nes = console()
    first, second = getattr(nes, member)(), getattr(nes, member)()
    assert first.dtype == np.uint8 and first.shape == shape and first.strides == strides
    assert first is not second and np.shares_memory(first, second)
    assert first.flags.writeable


def test_views_follow_the_machine_and_writes_reach_it():
    nes = console()
    mem, img = nes.cpuMem(), nes.getImg()
    assert not img.any()  # nothing published before the first vertical blank
    nes.runFrame()
    assert mem[0x2001] == 0x1E  # the CPU's write, seen through the old view
    nes.ppuMem()[0x3F00] = 0x0F
    nes.cpuMem()[0x2001] = 0x00  # rendering off: every pixel is the backdrop
    nes.runFrame()
    nes.runFrame()
    assert (img == 0).all()
    nes.OAM()[5] = 0x77
    assert nes.OAM()[5] == 0x77


def test_color_lookup_is_one_table_for_the_process_and_not_the_renderer():
    first, second = console(), console()
    table = first.colorLookup()
    assert tuple(table[0x20]) == (255, 255, 255) and tuple(table[0x0F]) == (0, 0, 0)
    saved = table[0].copy()
    try:
        table[0] = (1, 2, 3)
        assert tuple(second.colorLookup()[0]) == (1, 2, 3)
        second.ppuMem()[0x3F00] = 0x00
        second.cpuMem()[0x2001] = 0
        nesrom.run_frames(second, 2)
        assert tuple(second.getImg()[100, 100]) == (0x60, 0x60, 0x60)
    finally:
        table[0] = saved
