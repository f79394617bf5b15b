"""Quiet consoles: quiet_nes and quiet_loader hold the loader's lines back at the file
descriptor, keep battery RAM, pass other output through, and the studio, the player and
the recorder use them unless --verbose."""

from __future__ import annotations

import os
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

import velkora
from conftest import run_ok
from nesrom import build_rom, nrom_program, write_rom
from velkora_gym import quiet_loader, quiet_nes
from velkora_gym.quiet import _LOADER_LINE

IDLE = nrom_program("loop:\n    jmp loop")
# Lines only the loader prints: none of them may reach standard output.
LOADER_WORDS = ("Battery", "iNES", "CHR-RAM Copied.", "load RAM file", "RAM file exists")


def loader_lines(text: str) -> list[str]:
    return [line for line in text.splitlines() if any(word in line for word in LOADER_WORDS)]


@pytest.mark.parametrize(
    "battery, chr_data, mapper",
    [(False, b"", 0), (True, b"", 0), (False, bytes(8192), 0), (True, bytes(8192), 2), (False, b"", 200)],
    ids=["plain", "battery", "chr-rom", "battery-uxrom", "unknown-board"],
)
def test_the_plain_console_prints_what_the_quiet_one_holds_back(tmp_path, data_home, capfd, battery, chr_data, mapper):
    path = write_rom(tmp_path, build_rom(IDLE, chr_data=chr_data, mapper=mapper, battery=battery), "saved.nes")
    saved = bytes(range(256)) * 32
    (data_home / "velkora" / "saved").mkdir(parents=True)
    (data_home / "velkora" / "saved" / "ram").write_bytes(saved)
    capfd.readouterr()

    loud = velkora.NES(path)
    printed = capfd.readouterr().out
    assert ("load RAM file" in printed) == battery and ("CHR-RAM Copied." in printed) == (not chr_data)
    # Every line the plain console prints is one the quiet way knows to hold back.
    assert all(_LOADER_LINE.fullmatch(line) for line in printed.encode().splitlines(keepends=True))

    quiet = quiet_nes(Path(path))
    assert capfd.readouterr().out == ""
    # The same console: battery RAM read from the save folder only when the board has a battery.
    expected = saved if battery else bytes(0x2000)
    assert bytes(quiet.cpuMem()[0x6000:0x8000]) == bytes(loud.cpuMem()[0x6000:0x8000]) == expected
    assert quiet.getSaveDir() == loud.getSaveDir()


def test_other_output_while_a_console_is_built_comes_out_afterwards(tmp_path, capfd):
    path = write_rom(tmp_path, build_rom(IDLE))
    capfd.readouterr()
    with quiet_loader():
        os.write(1, b"before\n")
        with quiet_loader():  # nested: one hold
            velkora.NES(path)
        os.write(1, b"7\nafter\n")  # a bare number reads as the loader's: held back with it
    os.write(1, b"outside\n")
    assert capfd.readouterr().out == "before\nafter\noutside\n"


def test_consoles_built_on_many_threads_print_nothing_and_stdout_comes_back(tmp_path, capfd):
    path = write_rom(tmp_path, build_rom(IDLE))
    capfd.readouterr()
    with ThreadPoolExecutor(4) as pool:
        consoles = list(pool.map(lambda _: quiet_nes(path), range(12)))
    for nes in consoles:
        nes.runFrame()
    os.write(1, b"still here\n")
    assert capfd.readouterr().out == "still here\n"
    assert [nes.frameCount() for nes in consoles] == [1] * 12


def test_a_refused_cartridge_raises_and_stdout_comes_back(tmp_path, capfd):
    bad = tmp_path / "short.nes"
    bad.write_bytes(b"NES\x1a\x02")
    with pytest.raises(ValueError):
        quiet_nes(bad)
    os.write(1, b"back\n")
    assert capfd.readouterr().out == "back\n"


@pytest.mark.parametrize("verbose", [False, True])
def test_the_recorder_prints_the_loader_only_when_asked(tmp_path, verbose):
    pytest.importorskip("imageio")
    command = Path(sys.executable).with_name("velkora-record")
    verbosity = ["--verbose"] if verbose else []
    done = run_ok([command, "--frames", "8", "--out", tmp_path / "clip.gif", *verbosity], cwd=tmp_path)
    assert "video:" in done.stdout
    assert bool(loader_lines(done.stdout)) == verbose


def test_the_headless_studio_prints_no_loader_line(tmp_path, capfd):
    pytest.importorskip("gymnasium")
    from velkora_gym.apps.studio import Studio

    capfd.readouterr()
    studio = Studio(write_rom(tmp_path, build_rom(IDLE)), tmp_path / "game")
    studio.tick()
    studio.command("save")
    assert loader_lines(capfd.readouterr().out) == []
