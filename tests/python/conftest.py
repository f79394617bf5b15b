import importlib.util
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

# The board helpers hold assertions the board tests share; report them as the tests' own.
pytest.register_assert_rewrite("boardrom")

# Consoles create save folders under the XDG data directory: keep the tests
# out of the real home.
_data_home = tempfile.mkdtemp(prefix="velkora-xdg-")
os.environ["XDG_DATA_HOME"] = _data_home

# The tests choose each console's timing themselves; the caller's default must not leak in.
os.environ.pop("VELKORA_TIMING", None)

REPO = Path(__file__).resolve().parents[2]


def load_script(path: Path, name: str | None = None):
    """A Python file off the import path (an example, the demo's builder), run as a module."""
    spec = importlib.util.spec_from_file_location(name or path.stem, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def run_ok(command, *, timeout: float = 120, **options) -> subprocess.CompletedProcess:
    """Runs a command to its end; the test fails with its error output unless it exits 0."""
    done = subprocess.run([str(part) for part in command], capture_output=True, text=True, timeout=timeout, **options)
    assert done.returncode == 0, done.stdout + done.stderr
    return done


def write_integration(folder: Path, data: object, scenario: object, files: dict | None = None) -> Path:
    """An integration folder: data.json, scenario.json and `files` (which may replace
    them), each written as JSON unless given as text or bytes."""
    folder.mkdir(parents=True, exist_ok=True)
    for name, content in {"data.json": data, "scenario.json": scenario, **(files or {})}.items():
        if isinstance(content, bytes):
            (folder / name).write_bytes(content)
        else:
            (folder / name).write_text(content if isinstance(content, str) else json.dumps(content))
    return folder


def refuses_arguments(main, bad: list[str], message: str, out: Path, capsys) -> None:
    """A command-line main exits on `bad` arguments with `message` on standard error and
    writes nothing to its --out folder."""
    with pytest.raises(SystemExit):
        main([*bad, "--out", str(out)])
    assert message in capsys.readouterr().err
    assert not out.exists()


@pytest.fixture
def headless(monkeypatch):
    """SDL's dummy video and audio drivers: windows and sound without a display."""
    monkeypatch.setenv("SDL_VIDEODRIVER", "dummy")
    monkeypatch.setenv("SDL_AUDIODRIVER", "dummy")


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


@pytest.fixture(scope="session")
def counter_integration(tmp_path_factory) -> Path:
    """An integration folder for the demo cartridge whose reward and end the native workers
    judge: its NMI counter at $0000, one point a frame, ends an episode at 120."""
    nmi = {"address": 0, "type": "|u1"}
    scenario = {
        "reward": {"variables": {"nmi": {"reward": 1.0}}},
        "done": {"condition": "any", "variables": {"nmi": {"op": "greater-or-equal", "reference": 120}}},
    }
    data = {"info": {"nmi": nmi, "lives": {"address": 18, "type": "|u1"}}}
    return write_integration(tmp_path_factory.mktemp("counter"), data, scenario)
