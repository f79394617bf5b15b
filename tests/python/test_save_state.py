"""Save-state slots and battery RAM files; broken folders and files are in test_bad_inputs."""

import os
import resource
import signal
from pathlib import Path

import numpy as np
import pytest

import nesrom
import velkora
from nesrom import ImageFile, build_rom, nrom_program, rom

STATE_SIZE = 82189

COUNTER = nrom_program(
    """
    lda #$80
    sta $2000
loop:
    inc $10
    jmp loop
""",
    nmi="""
    inc $11
    inc $6000
    rti
""",
)


def console(name="counter.nes", battery=False):
    return velkora.NES(ImageFile(build_rom(COUNTER, battery=battery), name))


def registers(path):
    data = Path(path).read_bytes()
    return data[0], data[1], data[2], data[3], data[4], int.from_bytes(data[5:13], "little")


def test_round_trip_restores_memories_and_registers(tmp_path):
    nes = console()
    assert nes.setSaveDir(str(tmp_path))
    nesrom.run_frames(nes, 5)
    nes.saveState(0)
    cpu_before = nes.cpuMem().copy()
    ppu_before = nes.ppuMem().copy()
    state = tmp_path / "0"
    assert state.stat().st_size == STATE_SIZE
    assert Path(state).read_bytes()[13 : 13 + 65536] == cpu_before.tobytes()
    frames = nes.frameCount()
    nesrom.run_frames(nes, 30)
    assert not np.array_equal(nes.cpuMem(), cpu_before)
    assert nes.loadState(0) is True
    assert np.array_equal(nes.cpuMem(), cpu_before)
    assert np.array_equal(nes.ppuMem(), ppu_before)
    assert nes.frameCount() == frames + 30
    # Saving again right away writes the same registers back.
    nes.saveState(1)
    assert registers(tmp_path / "1") == registers(state)
    nes.runFrame()
    assert nes.frameCount() == frames + 31


def test_save_without_directory_names_set_save_dir():
    with pytest.raises(RuntimeError, match="setSaveDir"):
        console().saveState(0)


def test_failed_write_keeps_the_old_slot(tmp_path):
    # A file size limit makes the new state's write fail part way, for root too.
    nes = console()
    nes.setSaveDir(str(tmp_path))
    nes.saveState(2)
    old = (tmp_path / "2").read_bytes()
    nes.runFrame()
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (4096, hard))
    try:
        with pytest.raises(OSError):
            nes.saveState(2)
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        signal.signal(signal.SIGXFSZ, handler)
    assert (tmp_path / "2").read_bytes() == old
    assert os.listdir(tmp_path) == ["2"]


@pytest.mark.parametrize(
    "demo, offset_bytes",
    [
        ("240pee.nes", 4),
        ("tanespot.nes", 4),
        ("bladebuster.nes", 14),
        ("years-behind.nes", 0),
    ],
)
def test_board_blocks_round_trip(tmp_path, demo, offset_bytes):
    nes = velkora.NES(str(rom("demos", demo)))
    nes.setSaveDir(str(tmp_path))
    pad = nesrom.plug_pad(nes)
    for frame in range(120):
        pad.updateInputs([0, 0, 0, int(frame % 40 < 5), 0, 0, 0, 0])
        nes.runFrame()
    nes.saveState(1)
    cpu_before, ppu_before = nes.cpuMem().copy(), nes.ppuMem().copy()
    block = (tmp_path / "1").read_bytes()[81933:]
    # The board's first bytes, then every register behind a mark at byte 32.
    assert block[offset_bytes:32] == bytes(32 - offset_bytes) and block[32:36] == b"VKR1"
    for frame in range(300):
        pad.updateInputs([int(frame % 30 < 3), 0, 0, int(frame % 50 < 3), 0, 0, 0, 0])
        nes.runFrame()
    assert nes.loadState(1)
    assert np.array_equal(nes.cpuMem(), cpu_before)
    assert np.array_equal(nes.ppuMem(), ppu_before)
    nes.saveState(2)
    assert (tmp_path / "2").read_bytes()[81933:] == block


def ram_file(data_home, game):
    return data_home / "velkora" / game / "ram"


def test_battery_ram_loads_at_start_and_is_written_by_stop(data_home):
    path = ram_file(data_home, "saved_game")
    path.parent.mkdir(parents=True)
    path.write_bytes(bytes(range(100)))
    nes = console("roms/saved game.nes", battery=True)
    mem = nes.cpuMem()
    assert bytes(mem[0x6000:0x6064]) == bytes(range(100))
    assert not mem[0x6064:0x8000].any()
    nes.runFrame()
    with pytest.raises(RuntimeError):
        nes.stop()  # no run thread: the RAM is stored, then the join fails
    assert path.read_bytes() == bytes(mem[0x6000:0x8000])
    assert len(path.read_bytes()) == 8192


# Each live console stores its own RAM, in a folder named after its file; the
# names that leave nothing usable share "unnamed".
@pytest.mark.parametrize("unnamed", ["..nes", ".nes", "dir/."])
def test_each_game_keeps_its_own_ram_file(data_home, unnamed):
    folders = {"a b c.nes": "a_b_c", "x/a.b.nes": "a.b", "noext": "noext", unnamed: "unnamed"}
    consoles = [console(name, battery=True) for name in folders] + [console("plain.nes")]
    for k, nes in enumerate(consoles):
        nes.cpuMem()[0x6000] = k + 1
    for nes in consoles:
        with pytest.raises(RuntimeError):
            nes.stop()
    for k, folder in enumerate(folders.values()):
        ram = ram_file(data_home, folder).read_bytes()
        assert (len(ram), ram[0]) == (8192, k + 1)
    assert not ram_file(data_home, "plain").exists()  # no battery


def test_unwritable_ram_file_raises_os_error(data_home):
    nes = console("blocked.nes", battery=True)
    ram = ram_file(data_home, "blocked")
    ram.mkdir()  # a directory where the file belongs
    with pytest.raises(OSError):
        nes.stop()
