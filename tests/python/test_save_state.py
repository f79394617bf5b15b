"""Save-state slots and battery RAM files."""
import io
import os
from pathlib import Path

import numpy as np
import pytest

import velkora
from nesrom import build_rom, nrom_program, rom

STATE_SIZE = 82189

COUNTER = nrom_program("""
    lda #$80
    sta $2000
loop:
    inc $10
    jmp loop
""", nmi="""
    inc $11
    inc $6000
    rti
""")


class Image(io.BytesIO):
    def __init__(self, data, name="counter.nes"):
        super().__init__(data)
        self.name = name


def console(name="counter.nes", battery=False):
    return velkora.NES(Image(build_rom(COUNTER, battery=battery), name))


def registers(path):
    data = Path(path).read_bytes()
    return data[0], data[1], data[2], data[3], data[4], int.from_bytes(data[5:13], "little")


def test_round_trip_restores_memories_and_registers(tmp_path):
    nes = console()
    assert nes.setSaveDir(str(tmp_path))
    for _ in range(5):
        nes.runFrame()
    nes.saveState(0)
    cpu_before = nes.cpuMem().copy()
    ppu_before = nes.ppuMem().copy()
    state = tmp_path / "0"
    assert state.stat().st_size == STATE_SIZE
    assert Path(state).read_bytes()[13:13 + 65536] == cpu_before.tobytes()
    frames = nes.frameCount()
    for _ in range(30):
        nes.runFrame()
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


@pytest.mark.parametrize("slot, name", [(0, "0"), (3, "3"), (-2, "-2"), (123456, "123456")])
def test_slot_file_names(tmp_path, slot, name):
    nes = console()
    nes.setSaveDir(str(tmp_path))
    nes.saveState(slot)
    assert sorted(os.listdir(tmp_path)) == [name]


def test_load_of_a_missing_slot_returns_false_and_changes_nothing(tmp_path):
    nes = console()
    nes.setSaveDir(str(tmp_path))
    nes.runFrame()
    before = nes.cpuMem().copy()
    assert nes.loadState(7) is False
    assert np.array_equal(nes.cpuMem(), before)


def test_save_without_directory_names_set_save_dir():
    with pytest.raises(RuntimeError, match="setSaveDir"):
        console().saveState(0)


def test_set_save_dir_keeps_the_old_value_for_missing_paths(tmp_path):
    nes = console()
    assert nes.getSaveDir() == ""
    assert nes.setSaveDir(str(tmp_path)) is True
    assert nes.setSaveDir(str(tmp_path / "missing")) is False
    assert nes.getSaveDir() == str(tmp_path)


def corrupt_states(valid: bytes):
    pc_too_big = bytearray(valid)
    pc_too_big[5:13] = (70000).to_bytes(8, "little")
    return {
        "truncated": valid[:-1],
        "longer": valid + b"\0",
        "empty": b"",
        "pc beyond 16 bits": bytes(pc_too_big),
    }


@pytest.mark.parametrize("kind", ["truncated", "longer", "empty", "pc beyond 16 bits"])
def test_bad_state_files_raise_value_error_and_change_nothing(tmp_path, kind):
    nes = console()
    nes.setSaveDir(str(tmp_path))
    nes.runFrame()
    nes.saveState(0)
    (tmp_path / "5").write_bytes(corrupt_states((tmp_path / "0").read_bytes())[kind])
    nes.runFrame()
    cpu_before, ppu_before = nes.cpuMem().copy(), nes.ppuMem().copy()
    with pytest.raises(ValueError):
        nes.loadState(5)
    assert np.array_equal(nes.cpuMem(), cpu_before) and np.array_equal(nes.ppuMem(), ppu_before)
    nes.runFrame()


def test_unwritable_places_raise_os_error(tmp_path):
    nes = console()
    a_file = tmp_path / "file"
    a_file.write_bytes(b"x")
    assert nes.setSaveDir(str(a_file))
    with pytest.raises(OSError):
        nes.saveState(0)
    assert nes.setSaveDir("/proc")  # no new files there, even for root
    with pytest.raises(OSError):
        nes.saveState(999999)
    (tmp_path / "dir").mkdir()
    (tmp_path / "dir" / "4").mkdir()
    nes.setSaveDir(str(tmp_path / "dir"))
    with pytest.raises(OSError):
        nes.loadState(4)
    nes.runFrame()


def test_failed_save_keeps_the_old_slot(tmp_path):
    nes = console()
    nes.setSaveDir(str(tmp_path))
    nes.saveState(2)
    old = (tmp_path / "2").read_bytes()
    os.chmod(tmp_path, 0o500)
    try:
        if os.access(tmp_path, os.W_OK):
            pytest.skip("permissions are not enforced for this user")
        with pytest.raises(OSError):
            nes.saveState(2)
    finally:
        os.chmod(tmp_path, 0o700)
    assert (tmp_path / "2").read_bytes() == old


@pytest.mark.parametrize("demo, offset_bytes", [
    ("240pee.nes", 4), ("tanespot.nes", 4), ("bladebuster.nes", 14), ("years-behind.nes", 0),
])
def test_board_blocks_round_trip(tmp_path, demo, offset_bytes):
    nes = velkora.NES(str(rom("demos", demo)))
    nes.setSaveDir(str(tmp_path))
    pad = velkora.Controller()
    nes.setController(pad, 0)
    for frame in range(120):
        pad.updateInputs([0, 0, 0, int(frame % 40 < 5), 0, 0, 0, 0])
        nes.runFrame()
    nes.saveState(1)
    cpu_before, ppu_before = nes.cpuMem().copy(), nes.ppuMem().copy()
    block = (tmp_path / "1").read_bytes()[81933:]
    assert block[offset_bytes:] == bytes(256 - offset_bytes)
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


def test_two_games_keep_two_ram_files(data_home):
    first = console("first.nes", battery=True)
    second = console("second.nes", battery=True)
    first.cpuMem()[0x6000] = 0x11
    second.cpuMem()[0x6000] = 0x22
    for nes in (first, second):
        with pytest.raises(RuntimeError):
            nes.stop()
    assert ram_file(data_home, "first").read_bytes()[0] == 0x11
    assert ram_file(data_home, "second").read_bytes()[0] == 0x22


@pytest.mark.parametrize("name, folder", [("..nes", "unnamed"), (".nes", "unnamed"), ("dir/.", "unnamed"),
                                          ("a b c.nes", "a_b_c"), ("x/a.b.nes", "a.b"), ("noext", "noext")])
def test_game_names_stay_inside_the_data_folder(data_home, name, folder):
    nes = console(name, battery=True)
    with pytest.raises(RuntimeError):
        nes.stop()
    assert ram_file(data_home, folder).stat().st_size == 8192


def test_cartridge_without_battery_writes_no_ram_file(data_home):
    nes = console("plain.nes")
    with pytest.raises(RuntimeError):
        nes.stop()
    assert not ram_file(data_home, "plain").exists()


def test_unwritable_ram_file_raises_os_error(data_home):
    nes = console("blocked.nes", battery=True)
    ram = ram_file(data_home, "blocked")
    ram.mkdir()  # a directory where the file belongs
    with pytest.raises(OSError):
        nes.stop()
