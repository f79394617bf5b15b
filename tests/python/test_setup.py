"""make demo sets up only what the demo needs; make test the rest, training libraries included."""

from __future__ import annotations

import json
import re
import shutil
import subprocess
import sys

import pytest

from conftest import REPO

# What a training stack brings, a few GB of it.
HEAVY = ("torch", "ray", "pufferlib-core", "stable-baselines3", "triton")


def requirement_files(target: str, tmp_path) -> list[str]:
    """The requirement files the target's recipes install, as a fresh set-up runs them."""
    if shutil.which("make") is None:
        pytest.skip("no make")
    done = subprocess.run(
        ["make", "-n", "-B", target, f"VENV={tmp_path / 'venv'}"], cwd=REPO, capture_output=True, text=True
    )
    assert done.returncode == 0, done.stderr
    return re.findall(r"pip install -q -r (\S+)", done.stdout)


def named(path) -> set[str]:
    """Package names in a requirements file, following -r."""
    names = set()
    for line in (REPO / path).read_text().splitlines():
        line = line.split("#")[0].strip()
        if line.startswith("-r"):
            names |= named(line[2:].strip())
        elif line:
            names.add(re.split(r"[<>=!~\[ ;]", line)[0].lower().replace("_", "-"))
    return names


def test_make_demo_installs_no_training_library_and_make_test_does(tmp_path):
    demo, test = requirement_files("demo", tmp_path), requirement_files("test", tmp_path)
    assert demo == ["requirements-demo.txt"]
    assert "requirements-dev.txt" in test
    assert not set(HEAVY) & set().union(*map(named, demo))
    assert set(HEAVY) - {"triton"} <= set().union(*map(named, test))

    # Resolved with their dependencies, as pip would install them into an empty environment.
    report = tmp_path / "report.json"
    resolved = subprocess.run(
        [sys.executable, "-m", "pip", "install", "--dry-run", "--ignore-installed", "-q", "--report", str(report)]
        + [arg for path in demo for arg in ("-r", str(REPO / path))],
        capture_output=True,
        text=True,
        timeout=300,
    )
    if resolved.returncode != 0:
        pytest.skip(f"pip could not resolve the demo's requirements here: {resolved.stderr[-300:]}")
    installed = {
        item["metadata"]["name"].lower().replace("_", "-") for item in json.loads(report.read_text())["install"]
    }
    assert {"numpy", "pybind11", "scikit-build-core", "ophis-asm", "cmake", "ninja"} <= installed
    assert not installed & set(HEAVY) and not any(name.startswith("nvidia-") for name in installed)
