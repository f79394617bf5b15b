"""blargg's instr_test-v5 groups that test opcodes to which this core's table
decoding gives an instruction of its own where the NMOS 6502 has a NOP ($1A
... $FA, $82/$89/$C2/$E2) or SHX ($9E): each ROM must name exactly those and
nothing else. (The other groups simply pass; test_instr_singles runs them.)"""
from __future__ import annotations

import pytest

from nesrom import rom, run_blargg

velkora = pytest.importorskip("velkora")

# As the ROMs name the opcodes whose behaviour they expected otherwise.
DECODED_DIFFERENTLY = {
    "02-implied": ["1A NOP", "3A NOP", "5A NOP", "7A NOP", "DA NOP", "FA NOP"],
    "03-immediate": ["82 DOP #n", "89 DOP #n", "C2 DOP #n", "E2 DOP #n"],
    "07-abs_xy": ["9E SXA abs,Y"],
}


@pytest.fixture(autouse=True)
def _save_folder(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path / "data"))


@pytest.mark.parametrize("name", sorted(DECODED_DIFFERENTLY))
def test_only_the_decoded_opcodes_differ(name):
    nes = velkora.NES(str(rom("instr_test-v5", "rom_singles", name + ".nes")))
    status, text = run_blargg(nes, max_frames=1500)
    assert status == 1, text
    reported = [line for line in text.splitlines() if line and line not in (name, "Failed")]
    assert reported == DECODED_DIFFERENTLY[name]
