"""A JAM opcode halts the core, but emulated time and frames go on."""
from __future__ import annotations

import pytest

from nesrom import build_rom, nrom_program, write_rom

velkora = pytest.importorskip("velkora")


@pytest.fixture(autouse=True)
def _save_folder(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path / "data"))


@pytest.mark.parametrize("opcode", [0x12, 0x32, 0x52, 0x72, 0x92, 0xB2, 0xD2, 0xF2])
def test_jam_keeps_frames_coming_and_runs_nothing_after_it(opcode, tmp_path):
    # NMI is enabled before the JAM: a halted core must not take it.
    body = f"""
    lda #$80
    sta $2000
    lda #$11
    sta $10
    .byte ${opcode:02X}
    lda #$22
    sta $10
    jmp reset
"""
    nes = velkora.NES(write_rom(tmp_path, build_rom(nrom_program(body, nmi="inc $11\nrti"))))
    for frame in range(1, 4):
        nes.runFrame()
        assert nes.frameCount() == frame
    mem = nes.cpuMem()
    assert mem[0x10] == 0x11
    assert mem[0x11] == 0
    # Three frames of 341 x 262 dots at three dots per cycle, less the 25-dot head start.
    assert abs(nes.cycleCount() - (3 * 341 * 262 - 25) / 3) < 8
