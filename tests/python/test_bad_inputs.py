"""Bad inputs at every entry point of the module.

Each case gets its documented exception (or is absorbed as documented), the
console keeps running afterwards, and nothing is written where it should not
be: no save folder for a refused console, no stray file in the save
directory, no byte outside the addressed array.
"""

import functools
import gc
import os
import subprocess
import sys
from decimal import Decimal
from fractions import Fraction
from pathlib import Path
from types import SimpleNamespace as File

import numpy as np
import pytest

import nesrom
import velkora
from nesrom import JOYPAD_READER, build_rom, ines_header, joypad_reads
from nesrom import ImageFile as Image


@functools.cache
def valid_image() -> bytes:
    return build_rom(JOYPAD_READER)


@pytest.fixture
def nes(data_home):
    return velkora.NES(Image(valid_image(), "pads.nes"))


def still_runs(nes):
    frames = nes.frameCount()
    nes.runFrame()
    assert nes.frameCount() == frames + 1


def pad_bits(nes, port=0):
    return [b & 1 for b in joypad_reads(nes)[port][:8]]


def nothing_saved(data_home):
    return not any(data_home.iterdir())


def raise_(error):
    raise error


# --- constructors -----------------------------------------------------------


def nes2(byte4, byte5, byte9, mapper=0):
    header = bytearray(ines_header(0, 0, mapper))
    header[4], header[5], header[7], header[9] = byte4, byte5, (mapper & 0xF0) | 0x08, byte9
    return bytes(header)


# The boundary of each reason for refusing an image.
REFUSED = {
    "empty": (b"", "not an iNES image"),
    "three bytes of the magic": (b"NES", "not an iNES image"),
    "magic off by one": (b"NES\x1b" + bytes(16396), "not an iNES image"),
    "fifteen bytes": (ines_header(1, 0)[:15], "shorter than its 16-byte header"),
    "chr one byte short": (ines_header(1, 1) + bytes(16384 + 8191), "header declares"),
    "trainer one byte short": (ines_header(1, 0, trainer=True) + bytes(511 + 16384), "header declares"),
    "ines 2 MiB prg": (ines_header(0x80, 0) + bytes(16384), "header declares"),
    "nes2 size high bits": (nes2(0x01, 0x00, 0x01) + bytes(16384), "header declares"),
    "no prg": (ines_header(0, 0) + bytes(100), "PRG ROM of 0 bytes"),
    "nes2 prg not whole KiB": (nes2(0x1D, 0x00, 0x0F) + bytes(384), "PRG ROM of 384 bytes is not a whole"),
    "nes2 chr not whole KiB": (nes2(0x28, 0x1D, 0xFF) + bytes(1024 + 384), "CHR ROM of 384 bytes is not a whole"),
    "nes2 2^31 bytes": (nes2(0x7C, 0x00, 0x0F) + bytes(64), "does not fit"),  # one past the 32-bit range
    "nrom 48 KiB": (ines_header(3, 0) + bytes(49152), "mapper 0 holds at most 32 KiB"),
    "cnrom 64 KiB": (ines_header(4, 1, mapper=3) + bytes(65536 + 8192), "mapper 3 holds at most 32 KiB"),
    "cnrom without chr": (ines_header(2, 0, mapper=3) + bytes(32768), "needs CHR ROM"),
}


@pytest.mark.parametrize("image, match", REFUSED.values(), ids=REFUSED)
def test_refused_images_create_no_save_folder(tmp_path, data_home, image, match):
    path = tmp_path / "refused.nes"
    path.write_bytes(image)
    for source in (Image(image), str(path), bytes(path)):
        with pytest.raises(ValueError, match=match):
            velkora.NES(source)
    assert nothing_saved(data_home)


class NameRaises:
    read = staticmethod(valid_image)

    @property
    def name(self):
        raise PermissionError("name is secret")


CAST = "Unable to cast Python instance of type"
ODD_FILES = {
    "None": (None, AttributeError, "name"),
    "no name": (File(read=valid_image), AttributeError, "name"),
    "name raises": (NameRaises(), PermissionError, "name is secret"),
    "name is None": (File(name=None, read=valid_image), RuntimeError, CAST),
    "name is an int": (File(name=7, read=valid_image), RuntimeError, CAST),
    "no read": (File(name="noread.nes"), AttributeError, "read"),
    "read not callable": (File(name="x.nes", read=b"NES\x1a"), TypeError, "not callable"),
    "read wants a size": (File(name="x.nes", read=lambda size: valid_image()), TypeError, "size"),
    "read returns None": (File(name="x.nes", read=lambda: None), RuntimeError, CAST),
    "read returns a list": (File(name="x.nes", read=lambda: list(valid_image())), RuntimeError, CAST),
    "read returns a memoryview": (File(name="x.nes", read=lambda: memoryview(valid_image())), RuntimeError, CAST),
    "read returns a float": (File(name="x.nes", read=lambda: 1.5), RuntimeError, CAST),
    "read returns empty text": (File(name="x.nes", read=lambda: ""), ValueError, "not an iNES image"),
    "read raises OSError": (File(name="x.nes", read=lambda: raise_(OSError(5, "disk gone"))), OSError, "disk gone"),
    "read raises StopIteration": (File(name="x.nes", read=lambda: raise_(StopIteration())), StopIteration, None),
    # Text is taken as its UTF-8 bytes: the two bytes of the E break the magic.
    "read returns non-ASCII text": (
        File(name="x.nes", read=lambda: "N\u00c9S\x1a" + "\0" * 16396),
        ValueError,
        "not an iNES image",
    ),
}


@pytest.mark.parametrize("file, error, match", ODD_FILES.values(), ids=ODD_FILES)
def test_odd_file_objects(data_home, file, error, match):
    with pytest.raises(error, match=match):
        velkora.NES(file)
    assert nothing_saved(data_home)
    still_runs(velkora.NES())


@pytest.mark.parametrize(
    "name, read",
    [
        (b"bytes name.nes", valid_image),
        ("x.nes", lambda: bytearray(valid_image())),
        ("x.nes", lambda: valid_image() + b"trailing bytes"),
        ("x.nes", lambda: (ines_header(1, 0) + bytes(range(128)) * 128).decode("ascii")),
    ],
    ids=["bytes name", "bytearray", "trailing bytes", "ASCII text"],
)
def test_accepted_odd_file_objects(data_home, name, read):
    nes = velkora.NES(File(name=name, read=read))
    image = read()
    image = image.encode() if isinstance(image, str) else bytes(image)
    assert bytes(nes.cpuMem()[0x8000:0x8010]) == image[16:32]
    still_runs(nes)


# A path with a NUL names nothing: the text before it must not be opened.
@pytest.mark.parametrize(
    "path, error, match",
    [
        (lambda tmp: str(tmp / "nowhere.nes"), FileNotFoundError, "nowhere.nes"),
        (lambda tmp: bytes(tmp / "nowhere.nes"), FileNotFoundError, "nowhere.nes"),
        (lambda tmp: str(tmp), IsADirectoryError, None),
        (lambda tmp: str(tmp / "game") + "\0.nes", ValueError, None),
    ],
    ids=["missing", "missing bytes path", "directory", "nul after a file"],
)
def test_bad_paths_are_refused(tmp_path, data_home, path, error, match):
    (tmp_path / "game").write_bytes(valid_image())
    with pytest.raises(error, match=match):
        velkora.NES(path(tmp_path))
    assert nothing_saved(data_home)


def test_path_that_is_not_utf8_is_reached_as_bytes(tmp_path, data_home):
    odd = bytes(tmp_path) + b"/\xff\xfe.nes"
    with open(odd, "wb") as f:
        f.write(valid_image())
    still_runs(velkora.NES(odd))


# A FIFO must not block the open; NES.__new__(NES) skips __init__, so there is
# no console behind the object and a method must refuse it rather than run on raw memory.
@pytest.mark.parametrize(
    "setup, call, error",
    [
        ("import os\nos.mkfifo('pipe.nes')\n", "velkora.NES('pipe.nes')", "OSError"),
        ("import os\nos.mkfifo('3')\nn = velkora.NES()\nn.setSaveDir('.')\n", "n.loadState(3)", "OSError"),
        ("", "velkora.NES.__new__(velkora.NES).frameCount()", "TypeError"),
        ("", "velkora.NES.__new__(velkora.NES).runFrame()", "TypeError"),
        ("", "velkora.NES.__new__(velkora.NES).cpuMem()", "TypeError"),
        ("", "velkora.Controller.__new__(velkora.Controller).updateInputs([1] * 8)", "TypeError"),
        ("", "velkora.NES().setController(velkora.Controller.__new__(velkora.Controller), 0)", "TypeError"),
    ],
    ids=["fifo rom", "fifo state", "frameCount", "runFrame", "cpuMem", "updateInputs", "setController"],
)
def test_refused_in_a_fresh_interpreter(tmp_path, setup, call, error):
    # The same module as this test imported, wherever it came from.
    path = os.pathsep.join([str(Path(velkora.__file__).parent), os.environ.get("PYTHONPATH", "")])
    env = {**os.environ, "XDG_DATA_HOME": str(tmp_path), "PYTHONPATH": path}
    script = f"import velkora\n{setup}try:\n    {call}\nexcept {error}:\n    print('refused')\n"
    try:
        proc = subprocess.run(
            [sys.executable, "-c", script], capture_output=True, text=True, timeout=30, cwd=tmp_path, env=env
        )
    except subprocess.TimeoutExpired:
        pytest.fail("the call blocked")
    assert proc.returncode == 0 and proc.stdout.strip().splitlines()[-1:] == ["refused"], proc.stderr


@pytest.mark.parametrize(
    "clock, error, match",
    [
        (2**31, TypeError, None),
        (-(2**31) - 1, TypeError, None),
        (1.5, TypeError, None),
        ("1789773", TypeError, None),
        (None, TypeError, None),
        (1, ValueError, "CLOCK_SPEED"),
    ],
)
def test_clock_speeds_refused_by_every_constructor(tmp_path, data_home, clock, error, match):
    path = tmp_path / "game.nes"
    path.write_bytes(valid_image())
    for args, kwargs in (((str(path), clock), {}), ((Image(valid_image()), clock), {}), ((), {"CLOCK_SPEED": clock})):
        with pytest.raises(error, match=match):
            velkora.NES(*args, **kwargs)
    assert nothing_saved(data_home)


# At 2 Hz the APU's half clock is 1 and every APU step makes a sample; near
# 2^31 Hz (or unthrottled, at 0 or below) one sample takes over 24000 APU
# steps, and only the zero block handed over at the first sample is there.
@pytest.mark.parametrize("clock", [2**31 - 1, -(2**31), 0, 2])
def test_extreme_clock_speeds_run(data_home, clock):
    nes = velkora.NES(Image(valid_image()), clock)
    for _ in range(3):
        still_runs(nes)
    audio = nes.getAudio(True)
    assert [len(b) for b in audio] == [2048] * 6
    if clock != 2:
        assert audio == [bytes(2048)] * 6
    assert nes.getAudio(True) == [b""]


# --- Controller.updateInputs and NES.setController --------------------------


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth value")


# Only a list (or a subclass) is taken; its first eight entries must have truth values.
@pytest.mark.parametrize(
    "entries, error",
    [
        ([], IndexError),
        ([0, 0, 0, 0, 0, 0, 0], IndexError),
        ([0] * 7 + [object()], RuntimeError),
        ([BadBool()] * 8, RuntimeError),
        ((1,) * 8, TypeError),
        (b"\0" * 8, TypeError),
        (range(8), TypeError),
        (np.zeros(8, dtype=np.uint8), TypeError),
        (iter([0] * 8), TypeError),
        (None, TypeError),
    ],
)
def test_update_inputs_refusals_keep_the_buttons(nes, entries, error):
    pad = nesrom.plug_pad(nes)
    pad.updateInputs([1, 0, 1, 0, 0, 0, 0, 1])
    with pytest.raises(error):
        pad.updateInputs(entries)
    assert pad_bits(nes) == [1, 0, 1, 0, 0, 0, 0, 1]


class Buttons(list):
    pass


@pytest.mark.parametrize(
    "entries, bits",
    [
        (Buttons([1, 1, 0, 0, 0, 0, 0, 0]), [1, 1, 0, 0, 0, 0, 0, 0]),
        ([np.bool_(True), np.uint8(0), np.float64(2.0), 0, 0, 0, 0, np.int64(-1)], [1, 0, 1, 0, 0, 0, 0, 1]),
        ([float("nan"), None, -0.0, 1j, 0j, Fraction(1, 3), Decimal("0"), np.float32(0)], [1, 0, 0, 1, 0, 1, 0, 0]),
        ([None, 2, 0.0, True, False, -1, 0, 0, 1, 1], [0, 1, 0, 1, 0, 1, 0, 0]),  # entries past eight are ignored
    ],
)
def test_update_inputs_takes_truth_values(nes, entries, bits):
    pad = nesrom.plug_pad(nes)
    pad.updateInputs(entries)
    assert pad_bits(nes) == bits


PAD, SELF = object(), object()  # stand-ins for a fresh Controller and the console itself


@pytest.mark.parametrize(
    "controller, port, error",
    [
        (None, 1, RuntimeError),
        ("pad", 0, TypeError),
        (velkora.Controller, 0, TypeError),
        (SELF, 0, TypeError),
        (PAD, 2, ValueError),
        (PAD, -1, ValueError),
        (PAD, 2**31 - 1, ValueError),
        (PAD, 2**31, TypeError),
        (PAD, -(2**31) - 1, TypeError),
        (PAD, 0.0, TypeError),
        (PAD, None, TypeError),
    ],
)
def test_set_controller_refusals_keep_the_plugged_pad(nes, controller, port, error):
    plugged = velkora.Controller()
    plugged.updateInputs([0, 1, 1, 0, 0, 0, 0, 0])
    nes.setController(plugged, 0)
    other = velkora.Controller()
    other.updateInputs([1] * 8)
    controller = other if controller is PAD else nes if controller is SELF else controller
    with pytest.raises(error):
        nes.setController(controller, port)
    assert pad_bits(nes, 0) == [0, 1, 1, 0, 0, 0, 0, 0]
    assert pad_bits(nes, 1) == [0] * 8


@pytest.mark.parametrize("port, seen_on", [(256, 0), (257, 1), (-(2**31), 0)])
def test_ports_are_taken_by_their_low_eight_bits(nes, port, seen_on):
    pad = velkora.Controller()
    pad.updateInputs([1] * 8)
    nes.setController(pad, port)
    assert pad_bits(nes, seen_on) == [1] * 8
    assert pad_bits(nes, 1 - seen_on) == [0] * 8


def test_set_controller_keyword_arguments_are_refused(nes):
    with pytest.raises(TypeError):
        nes.setController(controller=velkora.Controller(), port=0)
    still_runs(nes)


# --- perFrame -----------------------------------------------------------------


@pytest.mark.parametrize("value", ["callback", b"", [], {}, object(), 3.5, True])
def test_per_frame_refuses_non_callables_and_keeps_the_old_one(nes, value):
    calls = []
    nes.perFrame(lambda: calls.append(1))
    with pytest.raises(TypeError):
        nes.perFrame(value)
    still_runs(nes)
    assert calls == [1]


class CallRaises:
    def __call__(self):
        raise LookupError("from __call__")


@pytest.mark.parametrize(
    "callback, error",
    [
        (lambda x: None, TypeError),
        (lambda: raise_(KeyboardInterrupt()), KeyboardInterrupt),
        (lambda: raise_(SystemExit(3)), SystemExit),
        (lambda: raise_(GeneratorExit()), GeneratorExit),
        (CallRaises(), LookupError),
        (lambda: 1 / 0, ZeroDivisionError),
    ],
)
def test_raising_callbacks_end_run_frame_and_the_console_continues(nes, callback, error):
    nes.perFrame(callback)
    for frame in (1, 2):
        with pytest.raises(error):
            nes.runFrame()
        assert nes.frameCount() == frame
    nes.perFrame(None)
    still_runs(nes)


def test_callback_reentering_run_frame_hits_the_recursion_limit(nes):
    depth = []

    def again():
        depth.append(1)
        nes.runFrame()

    nes.perFrame(again)
    with pytest.raises(RecursionError):
        nes.runFrame()
    # The innermost frame completed, but the call of its callback was refused.
    assert nes.frameCount() == len(depth) + 1
    nes.perFrame(None)
    still_runs(nes)


def test_callback_replacing_itself_takes_effect_next_frame(nes):
    seen = []

    def first():
        seen.append("first")
        nes.perFrame(lambda: seen.append("second"))

    nes.perFrame(first)
    nes.runFrame()
    nes.runFrame()
    assert seen == ["first", "second"]


def start_after_a_nested_run_frame(nes):
    # The inner runFrame returns inside the outer one's callback: the outer
    # one is still stepping, so start must still be refused.
    calls = []

    def callback():
        calls.append(1)
        if len(calls) == 1:
            nes.runFrame()
            nes.start()

    return callback


# A run thread started here would step the machine while runFrame finishes its step.
@pytest.mark.parametrize(
    "callback, match",
    [
        (lambda nes: nes.stop, "Invalid argument"),
        (lambda nes: nes.start, "runFrame is stepping"),
        (start_after_a_nested_run_frame, "runFrame is stepping"),
    ],
    ids=["stop before any start", "start", "start after a nested runFrame"],
)
def test_run_thread_calls_from_a_run_frame_callback_are_refused(nes, callback, match):
    nes.perFrame(callback(nes))
    with pytest.raises(RuntimeError, match=match):
        nes.runFrame()
    with pytest.raises(RuntimeError, match="Invalid argument"):
        nes.stop()  # no thread was started
    nes.perFrame(None)
    still_runs(nes)


# --- setSaveDir, saveState, loadState -------------------------------------------


def listing(folder):
    return sorted(p.name for p in Path(folder).iterdir())


@pytest.fixture
def states(tmp_path):
    folder = tmp_path / "states"
    folder.mkdir()
    return folder


@pytest.mark.parametrize("path, error", [(None, TypeError), (3, TypeError), (["/tmp"], TypeError)])
def test_set_save_dir_type_errors_keep_the_folder(nes, states, path, error):
    assert nes.setSaveDir(str(states))
    with pytest.raises(error):
        nes.setSaveDir(path)
    assert nes.getSaveDir() == str(states)


# A path with a NUL names nothing: the text before it (here an existing file)
# must not become the folder, or saves would overwrite that file.
@pytest.mark.parametrize(
    "target",
    [
        lambda tmp: "",
        lambda tmp: str(tmp / "missing"),
        lambda tmp: str(tmp / "victim") + "\0",
        lambda tmp: str(tmp / "victim") + "\0/elsewhere",
        lambda tmp: str(tmp) + "\0",
        lambda tmp: str(tmp / "missing" / ".."),
    ],
    ids=["empty", "missing", "nul after a file", "nul then more", "nul after the folder", "through a missing folder"],
)
def test_set_save_dir_refuses_paths_that_name_nothing(nes, states, target):
    (states / "victim").write_bytes(b"keep me")
    assert nes.getSaveDir() == ""
    assert nes.setSaveDir(str(states)) is True
    assert nes.setSaveDir(target(states)) is False
    assert nes.getSaveDir() == str(states)
    nes.saveState(0)
    assert (states / "victim").read_bytes() == b"keep me"
    assert listing(states) == ["0", "victim"]


def test_set_save_dir_accepts_bytes_and_symlinks(nes, states):
    real = states / "real"
    real.mkdir()
    (states / "link").symlink_to(real)
    assert nes.setSaveDir(bytes(states / "link")) is True
    assert nes.getSaveDir() == str(states / "link")
    nes.saveState(1)
    assert listing(real) == ["1"]


@pytest.mark.parametrize("slot", [2**31, -(2**31) - 1, 1.0, None, "1", [1]])
def test_slots_outside_int_are_type_errors(nes, states, slot):
    nes.setSaveDir(str(states))
    with pytest.raises(TypeError):
        nes.saveState(slot)
    with pytest.raises(TypeError):
        nes.loadState(slot)
    assert listing(states) == []
    still_runs(nes)


@pytest.mark.parametrize("slot", [-1, -(2**31), 2**31 - 1])
def test_extreme_slots_round_trip(nes, states, slot):
    nes.setSaveDir(str(states))
    nes.runFrame()
    before = nes.cpuMem().copy()
    assert nes.loadState(slot) is False  # nothing saved yet: nothing changes
    assert np.array_equal(nes.cpuMem(), before)
    nes.saveState(slot)
    nes.runFrame()
    assert nes.loadState(slot) is True
    assert np.array_equal(nes.cpuMem(), before)
    assert listing(states) == [str(slot)]


# The save folder, accepted by setSaveDir, is broken before the call: the
# temporary file must not be left behind whether opening or renaming fails.
@pytest.mark.parametrize(
    "break_folder, call, error",
    [
        (lambda d: d.rmdir(), "saveState", FileNotFoundError),
        (lambda d: (d.rmdir(), d.write_bytes(b"x")), "saveState", NotADirectoryError),
        (lambda d: (d / "4").mkdir(), "saveState", IsADirectoryError),
        (lambda d: (d / "4").mkdir(), "loadState", IsADirectoryError),
    ],
    ids=["folder gone", "folder now a file", "slot is a folder", "load a folder"],
)
def test_failed_saves_and_loads_leave_no_files(nes, states, break_folder, call, error):
    nes.setSaveDir(str(states))
    break_folder(states)
    left = sorted(states.rglob("*")) if states.is_dir() else states.exists()
    before = nes.cpuMem().copy()
    with pytest.raises(error):
        getattr(nes, call)(4)
    assert (sorted(states.rglob("*")) if states.is_dir() else states.exists()) == left
    assert np.array_equal(nes.cpuMem(), before)
    still_runs(nes)


def test_save_replaces_a_dangling_symlink_instead_of_following_it(nes, states):
    nes.setSaveDir(str(states))
    (states / "2").symlink_to(states / "target")
    nes.saveState(2)
    assert not (states / "2").is_symlink()
    assert (states / "2").stat().st_size == 82189
    assert listing(states) == ["2"]


def test_state_file_that_is_a_device_is_refused(nes, states):
    nes.setSaveDir(str(states))
    (states / "3").symlink_to("/dev/zero")
    before = nes.cpuMem().copy()
    with pytest.raises(OSError):
        nes.loadState(3)
    assert np.array_equal(nes.cpuMem(), before)
    still_runs(nes)


def program_counter(value):
    return lambda state: state[:5] + value.to_bytes(8, "little") + state[13:]


@pytest.mark.parametrize(
    "edit, accepted",
    [
        (lambda state: state[:-1], False),
        (lambda state: state + b"\0", False),
        (lambda state: b"", False),
        (program_counter(65536), False),
        (program_counter(65535), True),
    ],
    ids=["truncated", "longer", "empty", "pc 65536", "pc 65535"],
)
def test_state_files_are_checked_before_anything_changes(nes, states, edit, accepted):
    nes.setSaveDir(str(states))
    nes.runFrame()
    nes.saveState(0)
    (states / "1").write_bytes(edit((states / "0").read_bytes()))
    nes.runFrame()
    cpu, ppu = nes.cpuMem().copy(), nes.ppuMem().copy()
    if accepted:
        assert nes.loadState(1) is True
    else:
        with pytest.raises(ValueError):
            nes.loadState(1)
        assert np.array_equal(nes.cpuMem(), cpu) and np.array_equal(nes.ppuMem(), ppu)
    still_runs(nes)


@pytest.mark.parametrize("mapper", [0, 1, 2, 3, 4, 40, 7])
def test_garbage_states_load_and_run_on_every_board(states, data_home, mapper):
    # Registers, memories and the board block all random: the machine must
    # keep running whatever a foreign file holds.
    rng = np.random.default_rng(mapper)
    chr_banks = 2 if mapper == 3 else 1
    image = (
        ines_header(4 if mapper not in (0, 3) else 2, chr_banks, mapper)
        + rng.integers(0, 256, (4 if mapper not in (0, 3) else 2) * 16384 + chr_banks * 8192, dtype=np.uint8).tobytes()
    )
    nes = velkora.NES(Image(image, f"board{mapper}.nes"))
    nes.setSaveDir(str(states))
    state = bytearray(rng.integers(0, 256, 82189, dtype=np.uint8).tobytes())
    state[5:13] = int(rng.integers(0, 65536)).to_bytes(8, "little")
    (states / "9").write_bytes(state)
    assert nes.loadState(9) is True
    for _ in range(3):
        still_runs(nes)
    nes.saveState(10)
    assert (states / "10").stat().st_size == 82189


# --- array views --------------------------------------------------------------

VIEWS = ["cpuMem", "ppuMem", "OAM", "getImg", "colorLookup"]


def snapshot(nes):
    return {name: getattr(nes, name)().copy() for name in VIEWS}


def unchanged(nes, before, except_=None):
    after = snapshot(nes)
    return all(np.array_equal(after[k], before[k]) for k in VIEWS if k != except_)


def out_of_range_writes(shape):
    n = shape[0]
    index = (n,) + (0,) * (len(shape) - 1)
    negative = (-n - 1,) + (0,) * (len(shape) - 1)
    return [
        (index, 1, IndexError),
        (negative, 1, IndexError),
        (([0, n],) + (0,) * (len(shape) - 1), 1, IndexError),
        ((0,) * len(shape), 256, OverflowError),
        ((0,) * len(shape), -1, OverflowError),
        (slice(n - 2, n + 5), np.ones((7,) + shape[1:], np.uint8), ValueError),
    ]


@pytest.mark.parametrize("view", VIEWS)
def test_out_of_range_writes_change_nothing(nes, view):
    nes.runFrame()
    array = getattr(nes, view)()
    before = snapshot(nes)
    for key, value, error in out_of_range_writes(array.shape):
        with pytest.raises(error):
            array[key] = value
        assert unchanged(nes, before), (view, key)
    with pytest.raises(ValueError):
        array.resize(10)
    still_runs(nes)


@pytest.mark.parametrize("view", ["cpuMem", "ppuMem", "OAM"])
def test_slices_past_the_end_write_only_inside(nes, view):
    array = getattr(nes, view)()
    n = array.shape[0]
    before = snapshot(nes)
    array[n - 4 : n + 100] = 0xA5
    assert list(array[n - 4 :]) == [0xA5] * 4
    assert np.array_equal(array[: n - 4], before[view][: n - 4])
    assert unchanged(nes, before, except_=view)


def test_views_outlive_their_console(data_home):
    nes = velkora.NES(Image(valid_image()))
    views = [getattr(nes, name)() for name in VIEWS]
    del nes
    gc.collect()
    for array in views:
        flat = array.reshape(-1)
        old = int(flat[-1])
        flat[-1] = old ^ 0xFF
        assert array.reshape(-1)[-1] == old ^ 0xFF
        flat[-1] = old  # the colour table is shared by the whole process


# --- getAudio -----------------------------------------------------------------


def with_a_block(nes):
    nes.getAudio()
    nesrom.run_frames(nes, 3)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("x",), {}),
        (([],), {}),
        ((True, True), {}),
        ((), {"split": True}),
        ((), {"split_channels": "yes"}),
        ((object(),), {}),
    ],
)
def test_get_audio_type_errors_leave_the_block_waiting(nes, args, kwargs):
    with_a_block(nes)
    with pytest.raises(TypeError):
        nes.getAudio(*args, **kwargs)
    blocks = nes.getAudio(True)
    assert [len(b) for b in blocks] == [2048] * 6


@pytest.mark.parametrize(
    "flag, split", [(None, False), (0, False), (0.0, False), (2, True), (-1, True), (1.5, True), (np.bool_(True), True)]
)
def test_get_audio_takes_the_truth_value(nes, flag, split):
    with_a_block(nes)
    blocks = nes.getAudio(flag)
    assert [len(b) for b in blocks] == [2048] * (6 if split else 1)
    assert nes.getAudio(flag) == [b""]
    still_runs(nes)
