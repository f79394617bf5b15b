import os
import sys
import tempfile
from pathlib import Path

import pytest

# Consoles create save folders under the XDG data directory: keep the tests
# out of the real home.
_data_home = tempfile.mkdtemp(prefix="velkora-xdg-")
os.environ["XDG_DATA_HOME"] = _data_home

REPO = Path(__file__).resolve().parents[2]


@pytest.fixture
def data_home(tmp_path, monkeypatch):
    """A fresh XDG data directory for one test."""
    home = tmp_path / "xdg"
    home.mkdir()
    monkeypatch.setenv("XDG_DATA_HOME", str(home))
    return home


@pytest.fixture(scope="session")
def demo_cartridge(tmp_path_factory) -> Path:
    """The project's own demo cartridge, built from source once a run."""
    sys.path.insert(0, str(REPO / "demo"))
    import build_demo

    return build_demo.build(tmp_path_factory.mktemp("demo") / "velkora-demo.nes")
