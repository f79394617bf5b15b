"""RamSearch: finding variables among RAM and PRG RAM by how they change."""

from __future__ import annotations

import numpy as np
import pytest

import nesrom

velkora = pytest.importorskip("velkora")
velkora_gym = pytest.importorskip("velkora_gym")
from velkora_gym import RamSearch  # noqa: E402

COUNTER = nesrom.build_rom(nesrom.PRG_RAM_COUNTER)
A = [1, 0, 0, 0, 0, 0, 0, 0]
NOTHING = [0] * 8
BCD_TYPES = (">n4", "<n4", ">n2", "|u1", "<u2")


@pytest.fixture
def console(tmp_path):
    nes = velkora.NES(nesrom.write_rom(tmp_path, COUNTER))
    pad = nesrom.plug_pad(nes)

    def play(frames: int, buttons: list[int]) -> None:
        pad.updateInputs(buttons)
        nesrom.run_frames(nes, frames)

    play(3, NOTHING)
    return nes, play


def test_finds_a_bcd_counter_kept_as_digit_tiles_in_prg_ram(console):
    nes, play = console
    search = RamSearch(nes, types=BCD_TYPES)
    everything = len(search)
    play(10, NOTHING)
    search.narrow("unchanged")  # the frame counter at $0000 goes
    assert (0x0000, "|u1", nes.cpuMem()[0]) not in search.candidates()
    play(50, A)
    search.narrow("increased")
    play(73, A)
    assert search.narrow("increased", 73) < everything
    # The last two digits (">n2" at $6125) say 23, the digits reversed ("<n4") 3210.
    assert search.narrow("equal", 123) == 1
    assert search.candidates() == [(0x6123, ">n4", 123)]
    search.reset()
    assert len(search) == everything


def test_a_batch_console_is_searched_apart_from_the_others():
    batch = velkora_gym.Batch(COUNTER, 2, obs_type=None, prg_ram=True)
    batch.step(np.zeros(2, np.uint8), 3)
    search = RamSearch(batch, 1, types=(">n4",))
    batch.step(np.array([0, 1], np.uint8), 40)  # only console 1 presses A
    search.narrow("increased", 40)
    assert search.candidates() == [(0x6123, ">n4", 40)]
    assert RamSearch(batch, 0, types=(">n4",)).narrow("equal", 0) > 0
    with pytest.raises(ValueError, match="prg_ram=True"):
        RamSearch(velkora_gym.Batch(COUNTER, 1, obs_type=None), 0)
    with pytest.raises(IndexError):
        RamSearch(batch, 2)


@pytest.mark.parametrize(
    "op, value, before, after, kept",
    [
        ("equal", 7, 3, 7, True),
        ("equal", None, 5, 5, True),
        ("equal", None, 5, 6, False),
        ("not-equal", 7, 3, 7, False),
        ("not-equal", None, 3, 7, True),
        ("less-than", 4, 9, 3, True),
        ("less-than", None, 2, 3, False),
        ("greater-than", None, 3, 4, True),
        ("greater-than", 200, 3, 201, True),
        ("increased", None, 3, 9, True),
        ("increased", 6, 3, 9, True),
        ("increased", 5, 3, 9, False),
        ("decreased", None, 9, 3, True),
        ("decreased", 2, 9, 3, False),
        ("decreased", None, 3, 9, False),
        ("changed", None, 1, 2, True),
        ("changed", None, 1, 1, False),
        ("unchanged", None, 1, 1, True),
    ],
)
def test_each_operation_against_a_value_or_the_previous_one(console, op, value, before, after, kept):
    nes, _ = console
    memory = nes.cpuMem()  # writing into the view changes the machine
    for address in (0x0123, 0x7ABC):
        memory[address] = before
    search = RamSearch(nes, types=("|u1",))
    for address in (0x0123, 0x7ABC):
        memory[address] = after
    search.narrow(op, value)
    found = {(address, v) for address, _, v in search.candidates()}
    assert ((0x0123, after) in found) == kept
    assert ((0x7ABC, after) in found) == kept


def test_values_lie_in_ram_or_prg_ram_and_bcd_needs_digits(console):
    nes, _ = console
    memory = nes.cpuMem()
    memory[0x0400:0x0402] = [0x12, 0x3A]  # 0x3A is no pair of BCD digits
    memory[0x07FF] = 0x55
    search = RamSearch(nes, types=(">d2", "<u2", "|i1"))
    found = {(address, kind) for address, kind, _ in search.candidates()}
    assert (0x0400, ">d2") not in found and (0x03FF, ">d2") in found
    assert (0x07FF, "<u2") not in found and (0x7FFF, "<u2") not in found  # would run past the end
    assert (0x07FE, "<u2") in found and (0x6000, "<u2") in found
    assert len(search) == len(found)
    memory[0x0500] = 0xFE
    assert (0x0500, "|i1", -2) in RamSearch(nes, types=("|i1",)).candidates()
    assert RamSearch(nes).types == ["|u1", "|i1", "<u2", ">u2"]


@pytest.mark.parametrize(
    "make, error",
    [
        (lambda nes: RamSearch(nes, types=("<x2",)), ValueError),
        (lambda nes: RamSearch(nes, types=()), ValueError),
        (lambda nes: RamSearch(nes).narrow("bigger"), ValueError),
        (lambda nes: RamSearch(nes).narrow("changed", 3), ValueError),
        (lambda nes: RamSearch(nes).narrow("equal", "3"), TypeError),
        (lambda nes: RamSearch(nes, 0), TypeError),
        (lambda nes: RamSearch(np.zeros(2048, np.uint8)), TypeError),
    ],
)
def test_bad_arguments(console, make, error):
    with pytest.raises(error):
        make(console[0])
