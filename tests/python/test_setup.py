"""make demo sets up only what the demo needs; make test the rest, training libraries included.
The profile-guided build falls back to the plain one when its training cannot run."""

from __future__ import annotations

import json
import re
import shutil
import subprocess
import sys
from pathlib import Path

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


def configure(build, *defines: str) -> subprocess.CompletedProcess:
    """CMake's configure step of the core alone (no module), as the C++ targets run it."""
    tools = Path(sys.executable).parent
    cmake = shutil.which("cmake", path=str(tools)) or shutil.which("cmake")
    ninja = shutil.which("ninja", path=str(tools)) or shutil.which("ninja")
    if cmake is None or ninja is None:
        pytest.skip("no cmake or ninja")
    command = [cmake, "-S", str(REPO), "-B", str(build), "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    return subprocess.run(
        [*command, "-DVELKORA_BUILD_MODULE=OFF", *defines], capture_output=True, text=True, timeout=300
    )


@pytest.mark.parametrize(
    "case, warning",
    [
        ("default", None),
        ("no assembler", "the training cartridges could not be assembled"),
        ("clang", "the compiler is Clang"),
    ],
)
def test_profile_guided_build_warns_and_builds_plain_when_training_fails(tmp_path, case, warning):
    defines = [] if case == "default" else ["-DVELKORA_PGO=ON"]
    if case == "no assembler":
        python = tmp_path / "python"
        python.write_text("#!/bin/sh\necho 'the Ophis assembler is missing' >&2\nexit 1\n")
        python.chmod(0o755)
        defines.append(f"-DPython_EXECUTABLE={python}")
    if case == "clang":
        if shutil.which("clang++") is None:
            pytest.skip("no clang++")
        defines.append("-DCMAKE_CXX_COMPILER=clang++")
    done = configure(tmp_path / "build", *defines)
    assert done.returncode == 0, done.stderr
    said = " ".join(done.stderr.split())
    if warning is None:
        assert "profile" not in said and "training" not in done.stdout
    else:
        assert f"the profile-guided build is off: {warning}" in said
        assert "The plain build (-O2, no profile, no link-time optimisation of the core) is used instead" in said
    if case == "no assembler":
        assert "the Ophis assembler is missing" in said
    rules = (tmp_path / "build" / "build.ninja").read_text()
    assert "-fprofile" not in rules and "-flto" not in rules
