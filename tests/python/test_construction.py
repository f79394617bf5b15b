"""Building consoles from cartridge images, and refusing images they cannot run."""
import io
import subprocess
import sys

import pytest

import velkora
from nesrom import ines_header, nrom_program, build_rom, write_rom


class Image(io.BytesIO):
    name = "games/image.nes"


def nrom_image(prg_16k=2, chr_8k=1, **kw):
    return ines_header(prg_16k, chr_8k, **kw) + bytes(prg_16k * 16384 + chr_8k * 8192)


def test_blank_console_prints_loader_lines_in_order():
    script = ("import velkora\nprint('before', flush=True)\nn = velkora.NES()\n"
              "print(n.frameCount(), n.cycleCount())\n")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert out.splitlines() == ["before", "No rom specified.", "No Battery", "iNES", "0", "rom created.",
                                "CHR-RAM Copied.", "0 0"]


def test_path_and_file_object_constructors_agree(tmp_path, capfd):
    image = nrom_image(vertical=True)
    path = write_rom(tmp_path, image)
    consoles = [
        velkora.NES(path),
        velkora.NES(path.encode()),
        velkora.NES(open(path, "rb")),
        velkora.NES(rom_name=path, CLOCK_SPEED=1000000),
        velkora.NES(path, 1000000),
    ]
    out = capfd.readouterr().out
    assert out.count("No Battery\niNES\n1\n") == len(consoles)
    for n in consoles:
        assert (n.frameCount(), n.cycleCount()) == (0, 0)
        assert bytes(n.cpuMem()[0x8000:0x8010]) == image[16:32]


def test_file_object_whose_read_returns_text(capfd):
    class TextFile:
        name = "games/text rom.nes"

        def read(self):
            return (ines_header(1, 0) + bytes(16384)).decode("ascii")

    n = velkora.NES(TextFile())
    assert n.cycleCount() == 0
    assert "CHR-RAM Copied." in capfd.readouterr().out


@pytest.mark.parametrize("args, kwargs, error", [
    ((3.5,), {}, AttributeError),
    ((), {"CLOCK_SPEED": 2**40}, TypeError),
    ((None,), {}, AttributeError),
    ((), {"CLOCK_SPEED": 1}, ValueError),
])
def test_constructor_argument_errors(args, kwargs, error):
    with pytest.raises(error):
        velkora.NES(*args, **kwargs)


@pytest.mark.parametrize("clock", [0, -5])
def test_nonpositive_clock_is_accepted(clock):
    assert velkora.NES(CLOCK_SPEED=clock).cycleCount() == 0


def test_file_object_exceptions_propagate_unchanged():
    class Broken:
        name = "x.nes"

        def read(self):
            raise KeyError("boom")

    with pytest.raises(KeyError, match="boom"):
        velkora.NES(Broken())


def test_unconvertible_read_result_is_a_cast_error():
    class Weird:
        name = "x.nes"

        def read(self):
            return 42

    with pytest.raises(RuntimeError, match="Unable to cast Python instance of type"):
        velkora.NES(Weird())


@pytest.mark.parametrize("image, match", [
    (b"NOT AN IMAGE" + bytes(40000), "not an iNES image"),
    (b"NES", "not an iNES image"),
    (ines_header(2, 1)[:10], "shorter than its 16-byte header"),
    (ines_header(2, 1) + bytes(1000), "header declares"),
    (ines_header(2, 1, trainer=True) + bytes(32768 + 8192), "header declares"),
    (ines_header(0, 0) + bytes(100), "PRG ROM of 0 bytes"),
    (ines_header(4, 0, mapper=0) + bytes(65536), "at most 32 KiB"),
    (ines_header(4, 1, mapper=3) + bytes(65536 + 8192), "at most 32 KiB"),
    (ines_header(2, 0, mapper=3) + bytes(32768), "needs CHR ROM"),
    # NES 2.0 exponent forms: 384 bytes of PRG, and a size far beyond 32 bits.
    (ines_header(0x1D, 0)[:7] + b"\x08\x00\x0f" + bytes(6) + bytes(384), "not a whole"),
    (ines_header(0xFC, 0)[:7] + b"\x08\x00\x0f" + bytes(6) + bytes(100), "does not fit"),
])
def test_refused_images_raise_value_error(tmp_path, image, match):
    with pytest.raises(ValueError, match=match):
        velkora.NES(Image(image))
    with pytest.raises(ValueError, match=match):
        velkora.NES(write_rom(tmp_path, image))


def test_missing_path_raises_file_not_found_naming_it(tmp_path):
    missing = str(tmp_path / "nowhere.nes")
    with pytest.raises(FileNotFoundError, match="nowhere.nes"):
        velkora.NES(missing)


def test_unrecognised_mapper_runs_without_mapping(capfd):
    n = velkora.NES(Image(ines_header(2, 1, mapper=7) + bytes(32768 + 8192)))
    assert "No Battery\nUNRECOGNIZED MAPPER!\niNES\n1\n" in capfd.readouterr().out
    assert not n.cpuMem()[0x8000:].any()


def test_import_under_another_python_fails_with_version_message(tmp_path):
    import glob
    import os
    import shutil

    # 3.11 loads a 3.12 module far enough for the check to run (3.13 lacks symbols it links).
    others = sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.11*/bin/python3.11"))) + \
        [p for p in [shutil.which("python3.11")] if p]
    if not others:
        pytest.skip("no Python 3.11 interpreter here")
    # Under its plain name, so the other interpreter loads it and the module's own check runs.
    shutil.copy(velkora.__file__, tmp_path / "velkora.so")
    proc = subprocess.run([others[0], "-c", "import velkora"], capture_output=True, text=True,
                          cwd=tmp_path)
    version = subprocess.run([others[0], "-c", "import sys; print(sys.version)"], capture_output=True,
                             text=True, check=True).stdout.strip()
    assert proc.returncode != 0
    assert proc.stderr.splitlines()[-1] == (
        "ImportError: Python version mismatch: module was compiled for Python 3.12, but the "
        f"interpreter version is incompatible: {version}.")
