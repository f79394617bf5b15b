#!/usr/bin/env python3
"""atheris targets over the readers of files people share: integration folders (data.json,
scenario.json, metadata.json, rom.sha, a Lua script loaded), .vmv and .fm2 movies (plain or
gzip) and demonstrations files.

The property, for every input: it is read, or refused with the documented error type
(IntegrationError, ValueError, which MovieError is, or ScriptError) whose message names the
file; no other exception, no hang (libFuzzer's -timeout), nothing written (the input's folder
and the data home are as they were).

Usage: fuzz_readers.py TARGET [libFuzzer options] [CORPUS...]   TARGET: integration, vmv, fm2,
demonstrations; fuzz_readers.py seeds DIRECTORY writes each target's seeds into DIRECTORY/TARGET.
"""

from __future__ import annotations

import io
import json
import os
import sys
import tempfile
import warnings
import zipfile
from pathlib import Path

import atheris
import numpy as np

# Consoles and the ROM search read the data home: a private, empty one, checked after each input.
HOME = Path(tempfile.mkdtemp(prefix="velkora-fuzz-home-"))
os.environ["XDG_DATA_HOME"] = str(HOME)

with atheris.instrument_imports(include=["velkora_gym"]):
    from velkora_gym import files, integration, movie
    from velkora_gym.envs import demonstrations
    from velkora_gym.integration.lua import Budget, ScriptError

WORK = Path(tempfile.mkdtemp(prefix="velkora-fuzz-"))
FOLDER = WORK / "game"
FILES = ("data.json", "scenario.json", "metadata.json", "rom.sha", "s.lua")
SEPARATOR = b"\n\x1e\n"  # between the files of an integration input; "-" alone: no such file
# Small budgets, so an input that loops ends in milliseconds; the same code spends them.
BUDGET = Budget(instructions=200_000, memory=16 << 20)
DOCUMENTED = (ValueError, ScriptError)  # IntegrationError and MovieError are ValueErrors
warnings.simplefilter("ignore")  # a romChecksum that differs is a warning, not a refusal


def listing(*folders: Path) -> list[tuple[str, int, int]]:
    return sorted(
        (str(path), path.stat().st_size, path.stat().st_mtime_ns)
        for folder in folders
        for path in folder.rglob("*")
        if path.is_file()
    )


def judged(read, named: Path) -> None:
    """Runs the reader: it reads, or raises a documented error naming `named`."""
    before = listing(WORK, HOME)
    try:
        read()
    except DOCUMENTED as error:
        if str(named) not in str(error):
            raise AssertionError(f"the error names no file: {type(error).__name__}: {error}") from error
    after = listing(WORK, HOME)
    if after != before:
        raise AssertionError(f"the reader wrote: {sorted(set(after) ^ set(before))[:5]}")


def integration_input(data: bytes) -> None:
    for name in FILES:
        (FOLDER / name).unlink(missing_ok=True)
    parts = data.split(SEPARATOR)
    for name, part in zip(FILES, parts):
        if part != b"-":
            (FOLDER / name).write_bytes(part)
    judged(lambda: integration.load(FOLDER, script_budget=BUDGET), FOLDER)


def movie_input(data: bytes, suffix: str) -> None:
    # The first byte says whether the file is gzip-compressed.
    compressed = bool(data[:1]) and data[0] & 1
    path = WORK / f"m{suffix}{'.gz' if compressed else ''}"
    path.write_bytes(data[1:])
    try:
        judged(lambda: movie.Movie.load(path), path)
    finally:
        path.unlink()


def demonstrations_input(data: bytes) -> None:
    path = WORK / "demos.npz"
    path.write_bytes(data)
    try:
        judged(lambda: demonstrations.load(path, max_bytes=64 << 20), path)
    finally:
        path.unlink()


TARGETS = {
    "integration": integration_input,
    "vmv": lambda data: movie_input(data, ".vmv"),
    "fm2": lambda data: movie_input(data, ".fm2"),
    "demonstrations": demonstrations_input,
}


# ------------------------------------------------------------------ seeds


def seeds(directory: Path) -> None:
    import gzip

    for target in TARGETS:
        (directory / target).mkdir(parents=True, exist_ok=True)
    package = integration.PACKAGE_INTEGRATIONS
    for game in sorted(p for p in package.iterdir() if p.is_dir()):
        parts = [(game / name).read_bytes() if (game / name).is_file() else b"-" for name in FILES[:4]]
        scenario = json.loads((game / "scenario.json").read_text())
        scripts = scenario.get("scripts", [])
        parts.append((game / scripts[0]).read_bytes() if scripts else b"-")
        if scripts:
            scenario["scripts"] = ["s.lua"]
            parts[1] = json.dumps(scenario).encode()
        (directory / "integration" / game.name).write_bytes(SEPARATOR.join(parts))
    hostile = {
        "nodes": ({"info": {"a": {"address": 0, "type": ">d3"}}}, {"done": {"nodes": {"n": {"nodes": {}}}}}),
        "script": (
            {"info": {"a": {"address": 0, "type": "|u1"}}},
            {"reward": {"script": "lua:r"}, "done": {"script": "lua:d"}, "scripts": ["s.lua"]},
        ),
    }
    lua = b"x = 0\nfunction r() x = x + 1 return data.a * 2 end\nfunction d() return x > 3 end\n"
    for name, (data, scenario) in hostile.items():
        parts = [json.dumps(data).encode(), json.dumps(scenario).encode(), b'{"default_state": null}', b"-", lua]
        (directory / "integration" / name).write_bytes(SEPARATOR.join(parts))

    demo = movie.Movie(files.DEMO_ROM)
    demo.extend([1, 0, 9, 128, 64], [0, 2, 0, 0, 16])
    demo.comments.append("a seed")
    for target, text in (("vmv", demo.to_text()), ("fm2", demo.to_fm2())):
        raw = text.encode()
        (directory / target / "plain").write_bytes(b"\x00" + raw)
        (directory / target / "gzip").write_bytes(b"\x01" + gzip.compress(raw, mtime=0))

    steps = 3
    arrays = {
        "observations": np.zeros((steps, 2, 2), np.uint8),
        "actions": np.arange(steps, dtype=np.int64),
        "masks": np.arange(steps, dtype=np.uint8),
        "rewards": np.ones(steps),
        "terminated": np.zeros(steps, bool),
        "truncated": np.zeros(steps, bool),
        "episode_starts": np.array([True, False, False]),
        "final_observations": np.zeros((1, 2, 2), np.uint8),
        "episode_lengths": np.array([steps], np.int64),
        "movies": np.array(["a.vmv"]),
    }
    for name, save in (("stored", np.savez), ("compressed", np.savez_compressed)):
        out = io.BytesIO()
        save(out, **arrays)
        (directory / "demonstrations" / name).write_bytes(out.getvalue())
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as archive:
        header = b"{'descr': '<f8', 'fortran_order': False, 'shape': (3,), }"
        archive.writestr("rewards.npy", b"\x93NUMPY\x01\x00v\x00" + header)
    (directory / "demonstrations" / "cut").write_bytes(out.getvalue())


def main() -> None:
    if len(sys.argv) >= 3 and sys.argv[1] == "seeds":
        seeds(Path(sys.argv[2]))
        return
    if len(sys.argv) < 2 or sys.argv[1] not in TARGETS:
        sys.exit(f"usage: {sys.argv[0]} {{{','.join(TARGETS)}}} [libFuzzer options] [CORPUS...] | seeds DIRECTORY")
    target = TARGETS[sys.argv.pop(1)]
    FOLDER.mkdir()
    atheris.Setup(sys.argv, target)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
