"""Building consoles from cartridge images; the images and arguments they refuse are in test_bad_inputs."""

import subprocess
import sys

import pytest

import velkora
from nesrom import ImageFile, ines_header, write_rom


def nrom_image(prg_16k=2, chr_8k=1, **kw):
    return ines_header(prg_16k, chr_8k, **kw) + bytes(prg_16k * 16384 + chr_8k * 8192)


def test_blank_console_prints_loader_lines_in_order():
    script = "import velkora\nprint('before', flush=True)\nn = velkora.NES()\nprint(n.frameCount(), n.cycleCount())\n"
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert out.splitlines() == [
        "before",
        "No rom specified.",
        "No Battery",
        "iNES",
        "0",
        "rom created.",
        "CHR-RAM Copied.",
        "0 0",
    ]


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


def test_unrecognised_mapper_runs_without_mapping(capfd):
    n = velkora.NES(ImageFile(ines_header(2, 1, mapper=8) + bytes(32768 + 8192)))
    assert "No Battery\nUNRECOGNIZED MAPPER!\niNES\n1\n" in capfd.readouterr().out
    assert not n.cpuMem()[0x8000:].any()


def test_import_under_another_python_fails_with_version_message(tmp_path):
    import glob
    import os
    import shutil

    # 3.11 loads a 3.12 module far enough for the check to run (3.13 lacks symbols it links).
    others = sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.11*/bin/python3.11"))) + [
        p for p in [shutil.which("python3.11")] if p
    ]
    if not others:
        pytest.skip("no Python 3.11 interpreter here")
    # Under its plain name, so the other interpreter loads it and the module's own check runs.
    shutil.copy(velkora.__file__, tmp_path / "velkora.so")
    proc = subprocess.run([others[0], "-c", "import velkora"], capture_output=True, text=True, cwd=tmp_path)
    version = subprocess.run(
        [others[0], "-c", "import sys; print(sys.version)"], capture_output=True, text=True, check=True
    ).stdout.strip()
    assert proc.returncode != 0
    assert proc.stderr.splitlines()[-1] == (
        "ImportError: Python version mismatch: module was compiled for Python 3.12, but the "
        f"interpreter version is incompatible: {version}."
    )
