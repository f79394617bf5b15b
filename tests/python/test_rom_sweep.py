"""The public test ROM suites in both timings: every ROM's outcome as recorded, the hardware
timing's expected failures with their reasons, and the sweep harness's reading of results,
reset requests and timing models."""

import functools
import re

import pytest

import nesrom
import rom_sweep

velkora_gym = pytest.importorskip("velkora_gym")

RECORD = rom_sweep.load_record()
OLDER_WITH_CODE = sorted(
    name for name in RECORD if rom_sweep.suite_of(name) in rom_sweep.EARLY_RUNTIME + rom_sweep.CONSOLE_RUNTIME
)


HARDWARE_RECORD = rom_sweep.load_record(rom_sweep.HARDWARE_RECORD)
# Every ROM passes in the hardware timing but these.
HARDWARE_FAILURES = {
    # The suite tests both MMC3 revisions, whose counters disagree on a reload to 0; the
    # boards implement the MMC3B/MMC3C's (5-MMC3 passes), so the MMC3A's test fails.
    "mmc3_test_2/rom_singles/6-MMC3_alt.nes": "tests the MMC3A revision; the boards are MMC3B/MMC3C",
}


@functools.cache
def outcome(name: str, timing: str = "design") -> rom_sweep.Outcome:
    return rom_sweep.run(nesrom.rom("tests", *name.split("/")), timing)


@pytest.mark.parametrize("name", sorted(RECORD))
def test_design_outcome_matches_the_record(name):
    assert rom_sweep.entry(outcome(name)) == RECORD[name]


@pytest.mark.parametrize("name", sorted(HARDWARE_RECORD))
def test_hardware_outcome_matches_the_record(name):
    result = outcome(name, "hardware")
    assert rom_sweep.entry(result) == HARDWARE_RECORD[name]
    assert result.passed != (name in HARDWARE_FAILURES), HARDWARE_FAILURES.get(name, result.text)


def test_the_hardware_record_fails_only_the_named_roms():
    failed = {name for name, entry in HARDWARE_RECORD.items() if entry["status"] != "pass"}
    older = [name for name in HARDWARE_RECORD if rom_sweep.suite_of(name) in rom_sweep.OLDER_SUITES]
    assert failed == set(HARDWARE_FAILURES)
    assert len(older) == 43 and not failed.intersection(older)


@pytest.mark.parametrize("record", [RECORD, HARDWARE_RECORD], ids=["design", "hardware"])
def test_the_record_holds_every_rom_of_the_folder(record):
    found = sorted(rom_sweep.name_of(path) for path in rom_sweep.roms())
    if not found:
        pytest.skip(f"{rom_sweep.TESTS} not available")
    assert found == sorted(record)


def code_on_screen(name: str, text: str) -> int:
    """The result code as the older suites draw it: "$hh" in the 2005 APU and PPU tests,
    "PASSED" or "FAILED #n" in the others."""
    if rom_sweep.suite_of(name) in rom_sweep.EARLY_RUNTIME:
        return int(re.search(r"\$([0-9A-F]{2})", text).group(1), 16)
    if "PASSED" in text.splitlines():
        return 1
    return int(re.search(r"FAILED:? *# *(\d+)", text).group(1))


@pytest.mark.parametrize("name", OLDER_WITH_CODE)
def test_the_code_read_in_ram_is_the_one_on_screen(name):
    result = outcome(name)
    assert result.status in ("pass", "fail")
    assert code_on_screen(name, result.text) == result.code


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
