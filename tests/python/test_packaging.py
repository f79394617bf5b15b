"""What the installed distribution says about itself: its version, its licences and the
package data the demo and the environments load."""

import importlib.metadata
from pathlib import Path

import pytest

import velkora_gym
from velkora_gym import files

REPO = Path(__file__).resolve().parents[2]
DIST = importlib.metadata.distribution("velkora")


def test_version_has_one_source():
    assert DIST.version == velkora_gym.__version__


def _shipped(name: str) -> bytes:
    files = [f for f in DIST.files if "licenses" in f.parts and f.name == name]
    assert len(files) == 1, f"{name} is not among the distribution's licence files"
    return Path(DIST.locate_file(files[0])).read_bytes()


@pytest.mark.parametrize("source", ["LICENSE", "licenses/pybind11-LICENSE"])
def test_licence_files_are_shipped(source):
    assert _shipped(Path(source).name) == (REPO / source).read_bytes()
    assert DIST.metadata["License-Expression"] == "MIT"


def test_pybind11_licence_matches_the_pybind11_built_against():
    # A pybind11 upgrade that changes its terms must change the copy the wheel carries.
    pybind11 = importlib.metadata.distribution("pybind11")
    theirs = [f for f in pybind11.files if f.name == "LICENSE"]
    assert theirs, "the installed pybind11 carries no LICENSE"
    assert Path(pybind11.locate_file(theirs[0])).read_bytes() == (REPO / "licenses/pybind11-LICENSE").read_bytes()


@pytest.mark.parametrize("rom", [files.DEMO_ROM, files.DEMO_2P_ROM], ids=["demo", "demo-2p"])
def test_demo_cartridges_are_package_data(rom):
    listed = {Path(DIST.locate_file(f)).resolve() for f in DIST.files}
    assert rom.resolve() in listed
    assert rom.read_bytes()[:4] == b"NES\x1a"
