import os
import tempfile

import pytest

# Consoles create save folders under the XDG data directory: keep the tests
# out of the real home.
_data_home = tempfile.mkdtemp(prefix="velkora-xdg-")
os.environ["XDG_DATA_HOME"] = _data_home


@pytest.fixture
def data_home(tmp_path, monkeypatch):
    """A fresh XDG data directory for one test."""
    home = tmp_path / "xdg"
    home.mkdir()
    monkeypatch.setenv("XDG_DATA_HOME", str(home))
    return home
