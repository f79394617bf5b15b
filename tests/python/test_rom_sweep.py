"""The sweep harness's handling of reset requests and timing models."""

import pytest

import nesrom
import rom_sweep

velkora_gym = pytest.importorskip("velkora_gym")

# A test that asks for the reset button: it runs, asks, and once restarted (seen here as
# $80 written back, as a restarted test does first) reports a pass.
ASKS_FOR_RESET = nesrom.nrom_program(
    """
    lda #$de
    sta $6001
    lda #$b0
    sta $6002
    lda #$61
    sta $6003
    lda #$80
    sta $6000
    ldx #3
frames:
    bit $2002
    bpl frames
    dex
    bne frames
    lda #$81
    sta $6000
wait:
    lda $6000
    cmp #$80
    bne wait
    lda #0
    sta $6000
done:
    jmp done
"""
)


@pytest.fixture
def asks_for_reset(tmp_path):
    return nesrom.write_rom(tmp_path, nesrom.build_rom(ASKS_FOR_RESET))


def test_a_reset_request_without_soft_reset_is_reported(asks_for_reset, monkeypatch):
    monkeypatch.delattr(velkora_gym, "soft_reset", raising=False)
    result = rom_sweep.run(asks_for_reset)
    assert (result.status, result.code, result.passed) == ("needs reset", None, False)
    assert result.frames < 10


def test_reset_is_pressed_once_after_the_delay_the_protocol_asks(asks_for_reset, monkeypatch):
    nes = rom_sweep.console(asks_for_reset)
    while nes.cpuMem()[0x6000] != 0x81:
        nes.runFrame()
    asked = nes.frameCount()
    presses = []

    def soft_reset(console):
        presses.append(console.frameCount())
        console.cpuMem()[0x6000] = 0x80

    monkeypatch.setattr(velkora_gym, "soft_reset", soft_reset, raising=False)
    result = rom_sweep.run(asks_for_reset)
    assert (result.status, result.code, result.passed) == ("pass", 0, True)
    assert len(presses) == 1
    assert presses[0] - asked >= 6  # 100 ms


def test_hardware_timing_without_set_timing_is_a_clear_error(asks_for_reset, monkeypatch):
    monkeypatch.delattr(velkora_gym, "set_timing", raising=False)
    with pytest.raises(NotImplementedError, match="velkora_gym.set_timing"):
        rom_sweep.run(asks_for_reset, "hardware")


def test_hardware_timing_is_set_before_the_first_frame(asks_for_reset, monkeypatch):
    calls = []
    monkeypatch.setattr(velkora_gym, "set_timing", lambda nes, t: calls.append((nes.frameCount(), t)), raising=False)
    monkeypatch.delattr(velkora_gym, "soft_reset", raising=False)
    assert rom_sweep.run(asks_for_reset, "hardware").status == "needs reset"
    assert calls == [(0, "hardware")]


@pytest.mark.parametrize(("timing", "frames"), [("cycle-exact", 10), ("design", 0)])
def test_bad_arguments_are_refused(asks_for_reset, timing, frames):
    with pytest.raises(ValueError):
        rom_sweep.run(asks_for_reset, timing, max_frames=frames)
