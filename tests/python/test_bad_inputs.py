"""Bad inputs at every entry point of the module.

Each case gets its documented exception (or is absorbed as documented), the
console keeps running afterwards, and nothing is written where it should not
be: no save folder for a refused console, no stray file in the save
directory, no byte outside the addressed array.
"""
import functools
import gc
import io
import os
import subprocess
import sys
from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

import velkora
from nesrom import build_rom, ines_header, nrom_program

# Each NMI strobes the joypads, stores eight reads of each port at $0300 and
# $0310, and counts frames in $10; the reset code spins.
PADS = nrom_program("""
    ldx #$ff
    txs
    lda #$80
    sta $2000
spin:
    jmp spin
""", nmi="""
    lda #1
    sta $4016
    lda #0
    sta $4016
    ldx #0
read:
    lda $4016
    and #1
    sta $0300,x
    lda $4017
    and #1
    sta $0310,x
    inx
    cpx #8
    bne read
    inc $10
    rti
""")


class Image(io.BytesIO):
    def __init__(self, data, name="bad.nes"):
        super().__init__(data)
        self.name = name


@functools.lru_cache(maxsize=None)
def valid_image() -> bytes:
    return build_rom(PADS)


@pytest.fixture
def nes(data_home):
    return velkora.NES(Image(valid_image(), "pads.nes"))


def still_runs(nes):
    frames = nes.frameCount()
    nes.runFrame()
    assert nes.frameCount() == frames + 1


def pad_bits(nes, port=0):
    nes.runFrame()
    nes.runFrame()
    base = 0x300 if port == 0 else 0x310
    return [int(b) for b in nes.cpuMem()[base:base + 8]]


def nothing_saved(data_home):
    return not any(data_home.iterdir())


# --- constructors -----------------------------------------------------------

def nes2(byte4, byte5, byte9, mapper=0):
    header = bytearray(ines_header(0, 0, mapper))
    header[4], header[5], header[7], header[9] = byte4, byte5, (mapper & 0xF0) | 0x08, byte9
    return bytes(header)


# Refusals not already in test_construction: boundaries of each reason.
REFUSED = [
    (b"", "not an iNES image"),
    (b"NES\x1b" + bytes(16396), "not an iNES image"),
    (ines_header(1, 0)[:15], "shorter than its 16-byte header"),
    (ines_header(1, 1) + bytes(16384 + 8191), "header declares"),
    (ines_header(1, 0, trainer=True) + bytes(511 + 16384), "header declares"),
    (ines_header(0x80, 0) + bytes(16384), "header declares"),
    (nes2(0x01, 0x00, 0x01) + bytes(16384), "header declares"),
    (nes2(0x28, 0x1D, 0xFF) + bytes(1024 + 384), "CHR ROM of 384 bytes is not a whole"),
    (nes2(0x7C, 0x00, 0x0F) + bytes(64), "does not fit"),  # 2^31 bytes, one past the 32-bit range
    (ines_header(3, 0) + bytes(49152), "at most 32 KiB"),
]


@pytest.mark.parametrize("image, match", REFUSED, ids=[
    "empty", "magic off by one", "fifteen bytes", "chr one byte short", "trainer one byte short",
    "ines 2 MiB prg", "nes2 size high bits", "nes2 chr not whole KiB", "nes2 2^31 bytes", "nrom 48 KiB"])
def test_refused_images_create_no_save_folder(tmp_path, data_home, image, match):
    path = tmp_path / "refused.nes"
    path.write_bytes(image)
    for source in (Image(image), str(path), bytes(path)):
        with pytest.raises(ValueError, match=match):
            velkora.NES(source)
    assert nothing_saved(data_home)


class Named:
    def __init__(self, name, read):
        self.name = name
        self._read = read

    def read(self):
        return self._read()


class NoName:
    def read(self):
        return valid_image()


class NameRaises:
    @property
    def name(self):
        raise PermissionError("name is secret")

    def read(self):
        return valid_image()


class NoRead:
    name = "noread.nes"


class ReadNotCallable:
    name = "x.nes"
    read = b"NES\x1a"


class ReadWantsSize:
    name = "x.nes"

    def read(self, size):
        return valid_image()


def raise_(error):
    raise error


CAST = "Unable to cast Python instance of type"
ODD_FILES = [
    ("no name", lambda: NoName(), AttributeError, "name"),
    ("name raises", lambda: NameRaises(), PermissionError, "name is secret"),
    ("name is None", lambda: Named(None, valid_image), RuntimeError, CAST),
    ("name is an int", lambda: Named(7, valid_image), RuntimeError, CAST),
    ("no read", lambda: NoRead(), AttributeError, "read"),
    ("read not callable", lambda: ReadNotCallable(), TypeError, "not callable"),
    ("read wants a size", lambda: ReadWantsSize(), TypeError, "size"),
    ("read returns None", lambda: Named("x.nes", lambda: None), RuntimeError, CAST),
    ("read returns a list", lambda: Named("x.nes", lambda: list(valid_image())), RuntimeError, CAST),
    ("read returns a memoryview", lambda: Named("x.nes", lambda: memoryview(valid_image())), RuntimeError, CAST),
    ("read returns a float", lambda: Named("x.nes", lambda: 1.5), RuntimeError, CAST),
    ("read returns empty text", lambda: Named("x.nes", lambda: ""), ValueError, "not an iNES image"),
    ("read raises OSError", lambda: Named("x.nes", lambda: raise_(OSError(5, "disk gone"))), OSError, "disk gone"),
    ("read raises StopIteration", lambda: Named("x.nes", lambda: raise_(StopIteration())), StopIteration, None),
    # Text is taken as its UTF-8 bytes: the two bytes of the E break the magic.
    ("read returns non-ASCII text", lambda: Named("x.nes", lambda: "N\u00c9S\x1a" + "\0" * 16396), ValueError,
     "not an iNES image"),
]


@pytest.mark.parametrize("make, error, match", [c[1:] for c in ODD_FILES], ids=[c[0] for c in ODD_FILES])
def test_odd_file_objects(data_home, make, error, match):
    with pytest.raises(error, match=match):
        velkora.NES(make())
    assert nothing_saved(data_home)
    still_runs(velkora.NES())


@pytest.mark.parametrize("name, read", [
    (b"bytes name.nes", valid_image),
    ("x.nes", lambda: bytearray(valid_image())),
    ("x.nes", lambda: valid_image() + b"trailing bytes"),
])
def test_accepted_odd_file_objects(data_home, name, read):
    still_runs(velkora.NES(Named(name, read)))


def test_bytes_paths(tmp_path, data_home):
    with pytest.raises(FileNotFoundError):
        velkora.NES(bytes(tmp_path / "missing.nes"))
    # A file name that is not UTF-8 is reached through a bytes path.
    odd = bytes(tmp_path) + b"/\xff\xfe.nes"
    with open(odd, "wb") as f:
        f.write(valid_image())
    still_runs(velkora.NES(odd))


def test_directory_path_is_refused_as_a_directory(tmp_path, data_home):
    with pytest.raises(IsADirectoryError):
        velkora.NES(str(tmp_path))
    assert nothing_saved(data_home)


def test_path_with_nul_does_not_open_its_prefix(tmp_path, data_home):
    prefix = tmp_path / "game"
    prefix.write_bytes(valid_image())
    with pytest.raises(ValueError):
        velkora.NES(str(prefix) + "\0.nes")
    assert nothing_saved(data_home)


def run_script(script, tmp_path):
    """Runs a script in a fresh interpreter; a blocked call fails the test instead of hanging it."""
    # The same module as this test imported, wherever it came from.
    path = os.pathsep.join([str(Path(velkora.__file__).parent), os.environ.get("PYTHONPATH", "")])
    env = {**os.environ, "XDG_DATA_HOME": str(tmp_path), "PYTHONPATH": path}
    try:
        return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=30,
                              cwd=tmp_path, env=env)
    except subprocess.TimeoutExpired:
        pytest.fail("the call blocked")


def test_fifo_path_is_refused_without_blocking(tmp_path):
    os.mkfifo(tmp_path / "pipe.nes")
    proc = run_script("import velkora\ntry:\n    velkora.NES('pipe.nes')\n"
                      "except OSError as e:\n    print('OSError')\n", tmp_path)
    assert proc.stdout.strip().splitlines()[-1:] == ["OSError"], proc.stderr


# NES.__new__(NES) skips __init__: there is no console behind the object, and a
# method must refuse it rather than run on raw memory.
@pytest.mark.parametrize("call", [
    "velkora.NES.__new__(velkora.NES).frameCount()",
    "velkora.NES.__new__(velkora.NES).runFrame()",
    "velkora.NES.__new__(velkora.NES).cpuMem()",
    "velkora.Controller.__new__(velkora.Controller).updateInputs([1] * 8)",
    "velkora.NES().setController(velkora.Controller.__new__(velkora.Controller), 0)",
])
def test_objects_whose_init_never_ran_are_refused(tmp_path, call):
    proc = run_script(f"import velkora\ntry:\n    {call}\nexcept TypeError:\n    print('TypeError')\n", tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip().splitlines()[-1:] == ["TypeError"]


@pytest.mark.parametrize("clock", [2**31, -2**31 - 1, 1.5, "1789773", None])
def test_clock_speeds_that_match_no_constructor(tmp_path, data_home, clock):
    path = tmp_path / "game.nes"
    path.write_bytes(valid_image())
    for args in ((str(path), clock), (Image(valid_image()), clock)):
        with pytest.raises(TypeError):
            velkora.NES(*args)
    with pytest.raises(TypeError):
        velkora.NES(CLOCK_SPEED=clock)
    assert nothing_saved(data_home)


# At 2 Hz the APU's half clock is 1 and every APU step makes a sample; near
# 2^31 Hz (or unthrottled) one sample takes over 24000 APU steps, and only the
# zero block handed over at the first sample is there.
@pytest.mark.parametrize("clock", [2**31 - 1, -2**31, 2])
def test_extreme_clock_speeds_run(data_home, clock):
    nes = velkora.NES(Image(valid_image()), clock)
    for _ in range(3):
        still_runs(nes)
    audio = nes.getAudio(True)
    assert [len(b) for b in audio] == [2048] * 6
    if clock != 2:
        assert audio == [bytes(2048)] * 6
    assert nes.getAudio(True) == [b""]


def test_clock_speed_one_is_refused_by_every_constructor(tmp_path, data_home):
    path = tmp_path / "game.nes"
    path.write_bytes(valid_image())
    for args in ((str(path), 1), (Image(valid_image()), 1), (1,)):
        with pytest.raises(ValueError, match="CLOCK_SPEED"):
            velkora.NES(*args)
    assert nothing_saved(data_home)


# --- updateInputs -------------------------------------------------------------

class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth value")


@pytest.mark.parametrize("entries, error", [
    ([], IndexError),
    ([0, 0, 0, 0, 0, 0, 0], IndexError),
    ([0] * 7 + [object()], RuntimeError),
    ([BadBool()] * 8, RuntimeError),
    (b"\0" * 8, TypeError),
    (bytearray(8), TypeError),
    (range(8), TypeError),
    ({i: 0 for i in range(8)}, TypeError),
    (np.zeros(8, dtype=np.uint8), TypeError),
    (iter([0] * 8), TypeError),
    (0, TypeError),
])
def test_update_inputs_refusals_keep_the_buttons(nes, entries, error):
    pad = velkora.Controller()
    nes.setController(pad, 0)
    pad.updateInputs([1, 0, 1, 0, 0, 0, 0, 1])
    with pytest.raises(error):
        pad.updateInputs(entries)
    assert pad_bits(nes) == [1, 0, 1, 0, 0, 0, 0, 1]


class Buttons(list):
    pass


@pytest.mark.parametrize("entries, bits", [
    (Buttons([1, 1, 0, 0, 0, 0, 0, 0]), [1, 1, 0, 0, 0, 0, 0, 0]),
    ([np.bool_(True), np.uint8(0), np.float64(2.0), 0, 0, 0, 0, np.int64(-1)], [1, 0, 1, 0, 0, 0, 0, 1]),
    ([float("nan"), None, -0.0, 1j, 0j, Fraction(1, 3), Decimal("0"), np.float32(0)], [1, 0, 0, 1, 0, 1, 0, 0]),
])
def test_update_inputs_takes_truth_values(nes, entries, bits):
    pad = velkora.Controller()
    nes.setController(pad, 0)
    pad.updateInputs(entries)
    assert pad_bits(nes) == bits


# --- setController ------------------------------------------------------------

PAD, SELF = object(), object()  # stand-ins for a fresh Controller and the console itself


@pytest.mark.parametrize("controller, port, error", [
    (None, 1, RuntimeError),
    (5, 0, TypeError),
    ("pad", 0, TypeError),
    (velkora.Controller, 0, TypeError),
    (SELF, 0, TypeError),
    (PAD, 2**31 - 1, ValueError),
    (PAD, 2**31, TypeError),
    (PAD, -2**31 - 1, TypeError),
    (PAD, 0.0, TypeError),
    (PAD, "0", TypeError),
    (PAD, None, TypeError),
])
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


def test_set_controller_keyword_arguments_are_refused(nes):
    with pytest.raises(TypeError):
        nes.setController(controller=velkora.Controller(), port=0)
    still_runs(nes)


def test_most_negative_port_is_port_zero(nes):
    pad = velkora.Controller()
    pad.updateInputs([1] * 8)
    nes.setController(pad, -2**31)
    assert pad_bits(nes, 0) == [1] * 8


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


@pytest.mark.parametrize("callback, error", [
    (lambda x: None, TypeError),
    (lambda: raise_(KeyboardInterrupt()), KeyboardInterrupt),
    (lambda: raise_(SystemExit(3)), SystemExit),
    (lambda: raise_(GeneratorExit()), GeneratorExit),
    (CallRaises(), LookupError),
    (lambda: 1 / 0, ZeroDivisionError),
])
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


def test_callback_stopping_a_console_that_never_started(nes):
    nes.perFrame(nes.stop)
    with pytest.raises(RuntimeError, match="Invalid argument"):
        nes.runFrame()
    nes.perFrame(None)
    still_runs(nes)


def test_starting_from_a_run_frame_callback_is_refused(nes):
    # The run thread would step the machine while runFrame finishes its step.
    nes.perFrame(nes.start)
    with pytest.raises(RuntimeError):
        nes.runFrame()
    with pytest.raises(RuntimeError, match="Invalid argument"):
        nes.stop()  # no thread was started
    nes.perFrame(None)
    still_runs(nes)


def test_starting_after_a_nested_run_frame_is_refused(nes):
    # The inner runFrame returns inside the outer one's callback: the outer
    # one is still stepping, so start must still be refused.
    calls = []

    def callback():
        calls.append(1)
        if len(calls) == 1:
            nes.runFrame()
            nes.start()

    nes.perFrame(callback)
    with pytest.raises(RuntimeError):
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
@pytest.mark.parametrize("target", [
    lambda tmp: "",
    lambda tmp: str(tmp / "victim") + "\0",
    lambda tmp: str(tmp / "victim") + "\0/elsewhere",
    lambda tmp: str(tmp) + "\0",
    lambda tmp: str(tmp / "missing" / ".."),
], ids=["empty", "nul after a file", "nul then more", "nul after the folder", "through a missing folder"])
def test_set_save_dir_refuses_paths_that_name_nothing(nes, states, target):
    (states / "victim").write_bytes(b"keep me")
    assert nes.setSaveDir(str(states))
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


@pytest.mark.parametrize("slot", [2**31, -2**31 - 1, 1.0, None, "1", [1]])
def test_slots_outside_int_are_type_errors(nes, states, slot):
    nes.setSaveDir(str(states))
    with pytest.raises(TypeError):
        nes.saveState(slot)
    with pytest.raises(TypeError):
        nes.loadState(slot)
    assert listing(states) == []
    still_runs(nes)


@pytest.mark.parametrize("slot", [-1, -2**31, 2**31 - 1])
def test_extreme_slots_round_trip(nes, states, slot):
    nes.setSaveDir(str(states))
    assert nes.loadState(slot) is False
    nes.runFrame()
    nes.saveState(slot)
    before = nes.cpuMem().copy()
    nes.runFrame()
    assert nes.loadState(slot) is True
    assert np.array_equal(nes.cpuMem(), before)
    assert listing(states) == [str(slot)]


def test_failed_saves_leave_no_files(nes, states):
    folder = states
    nes.setSaveDir(str(folder))
    (folder / "4").mkdir()
    with pytest.raises(IsADirectoryError):
        nes.saveState(4)
    assert listing(folder) == ["4"] and listing(folder / "4") == []
    folder.joinpath("4").rmdir()
    folder.rmdir()  # the folder vanishes after setSaveDir
    with pytest.raises(FileNotFoundError):
        nes.saveState(5)
    assert not folder.exists()
    assert nes.loadState(5) is False
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


def test_state_file_that_is_a_fifo_is_refused_without_blocking(tmp_path):
    os.mkfifo(tmp_path / "3")
    proc = run_script("import velkora\nn = velkora.NES()\nn.setSaveDir('.')\ntry:\n    n.loadState(3)\n"
                      "except OSError as e:\n    print('OSError')\n", tmp_path)
    assert proc.stdout.strip().splitlines()[-1:] == ["OSError"], proc.stderr


def state_file(nes, states):
    nes.setSaveDir(str(states))
    nes.runFrame()
    nes.saveState(0)
    return bytearray((states / "0").read_bytes())


def test_program_counter_boundary(nes, states):
    state = state_file(nes, states)
    state[5:13] = (65536).to_bytes(8, "little")
    (states / "1").write_bytes(state)
    before = nes.cpuMem().copy()
    with pytest.raises(ValueError):
        nes.loadState(1)
    assert np.array_equal(nes.cpuMem(), before)
    state[5:13] = (65535).to_bytes(8, "little")
    (states / "2").write_bytes(state)
    assert nes.loadState(2) is True
    still_runs(nes)


@pytest.mark.parametrize("mapper", [0, 1, 2, 3, 4, 40, 7])
def test_garbage_states_load_and_run_on_every_board(states, data_home, mapper):
    # Registers, memories and the board block all random: the machine must
    # keep running whatever a foreign file holds.
    rng = np.random.default_rng(mapper)
    chr_banks = 2 if mapper == 3 else 1
    image = ines_header(4 if mapper not in (0, 3) else 2, chr_banks, mapper) + \
        rng.integers(0, 256, (4 if mapper not in (0, 3) else 2) * 16384 + chr_banks * 8192, dtype=np.uint8).tobytes()
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
    others = {k: v for k, v in snapshot(nes).items() if k != view}
    head = array[: n - 4].copy()
    array[n - 4: n + 100] = 0xA5
    assert list(array[n - 4:]) == [0xA5] * 4
    assert np.array_equal(array[: n - 4], head)
    after = snapshot(nes)
    assert all(np.array_equal(after[k], others[k]) for k in others)


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
    for _ in range(3):
        nes.runFrame()


@pytest.mark.parametrize("args, kwargs", [
    (("x",), {}), (([],), {}), ((True, True), {}), ((), {"split": True}), ((), {"split_channels": "yes"}),
    ((object(),), {}),
])
def test_get_audio_type_errors_leave_the_block_waiting(nes, args, kwargs):
    with_a_block(nes)
    with pytest.raises(TypeError):
        nes.getAudio(*args, **kwargs)
    blocks = nes.getAudio(True)
    assert [len(b) for b in blocks] == [2048] * 6


@pytest.mark.parametrize("flag, split", [(None, False), (0, False), (0.0, False), (2, True), (-1, True),
                                         (1.5, True), (np.bool_(True), True)])
def test_get_audio_takes_the_truth_value(nes, flag, split):
    with_a_block(nes)
    blocks = nes.getAudio(flag)
    assert [len(b) for b in blocks] == [2048] * (6 if split else 1)
    assert nes.getAudio(flag) == [b""]
    still_runs(nes)
