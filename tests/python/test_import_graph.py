"""The velkora_gym package's modules import each other without a cycle, and the old
import paths still lead to the modules that moved into rooms.

The graph is read from the source with ast: every import statement counts, at module level
and inside functions alike (a function-level import only delays a cycle, it does not
break it). Importing ``a.b`` counts as an edge to ``a.b`` alone: a package's ``__init__``
runs first, but submodules that import each other directly never go back through it."""

from __future__ import annotations

import ast
import importlib
import sys
from pathlib import Path

import pytest

from conftest import run_ok

PACKAGE = Path(__file__).resolve().parents[2] / "python" / "velkora_gym"


def modules(root: Path) -> dict[str, Path]:
    """Dotted name to file of every module under the package folder `root` (a compiled
    module counts through its .pyi stub)."""
    found = {}
    for path in sorted(root.rglob("*.py*")):
        if path.suffix not in (".py", ".pyi") or "__pycache__" in path.parts:
            continue
        parts = [root.name, *path.relative_to(root).with_suffix("").parts]
        if parts[-1] == "__init__":
            parts.pop()
        found.setdefault(".".join(parts), path)
    return found


def _target(name: str, known: dict[str, Path]) -> str | None:
    """The longest known module that `name` is or lies in."""
    while name and name not in known:
        name = name.rpartition(".")[0]
    return name or None


def import_graph(root: Path) -> dict[str, set[str]]:
    """Each module of the package to the package's modules it imports."""
    known = modules(root)
    graph: dict[str, set[str]] = {}
    for name, path in known.items():
        package = name if path.stem == "__init__" else name.rpartition(".")[0]
        edges = graph.setdefault(name, set())
        for node in ast.walk(ast.parse(path.read_text(), str(path))):
            if isinstance(node, ast.Import):
                edges.update(t for alias in node.names if (t := _target(alias.name, known)))
            elif isinstance(node, ast.ImportFrom):
                base = node.module or ""
                if node.level:
                    anchor = package.rsplit(".", node.level - 1)[0] if node.level > 1 else package
                    base = f"{anchor}.{base}" if base else anchor
                for alias in node.names:
                    # `from a import b` imports the module a.b when there is one, else a name of a.
                    target = _target(f"{base}.{alias.name}", known) if f"{base}.{alias.name}" in known else None
                    target = target or _target(base, known)
                    if target:
                        edges.add(target)
        edges.discard(name)
    return graph


def cycles(graph: dict[str, set[str]]) -> list[list[str]]:
    """The strongly connected groups of more than one module (Tarjan), each sorted."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    on_stack: set[str] = set()
    found: list[list[str]] = []

    def visit(node: str) -> None:
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for nxt in sorted(graph.get(node, ())):
            if nxt not in index:
                visit(nxt)
                low[node] = min(low[node], low[nxt])
            elif nxt in on_stack:
                low[node] = min(low[node], index[nxt])
        if low[node] == index[node]:
            group = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                group.append(member)
                if member == node:
                    break
            if len(group) > 1:
                found.append(sorted(group))

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return found


def _package(tmp_path: Path, files: dict[str, str]) -> Path:
    root = tmp_path / "pkg"
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    return root


@pytest.mark.parametrize(
    "files, expected",
    [
        # A function-level import closes a circle as surely as a module-level one.
        (
            {"__init__.py": "", "a.py": "from pkg import b\n", "b.py": "def f():\n    from pkg.a import x\n"},
            [["pkg.a", "pkg.b"]],
        ),
        # Relative imports, through a subpackage, three modules round.
        (
            {
                "__init__.py": "",
                "room/__init__.py": "",
                "room/one.py": "from . import two\n",
                "room/two.py": "from ..three import y\n",
                "three.py": "import pkg.room.one\n",
            },
            [["pkg.room.one", "pkg.room.two", "pkg.three"]],
        ),
        # A package's __init__ re-exporting its submodules is no cycle; a submodule going back
        # through the __init__ for a name is.
        (
            {"__init__.py": "", "room/__init__.py": "from pkg.room.one import x\n", "room/one.py": "x = 1\n"},
            [],
        ),
        (
            {
                "__init__.py": "",
                "room/__init__.py": "from pkg.room.one import x\n",
                "room/one.py": "def f():\n    from pkg.room import y\n",
            },
            [["pkg.room", "pkg.room.one"]],
        ),
        # Imports of other packages are not edges.
        ({"__init__.py": "", "a.py": "import os\nfrom numpy import b\n", "b.py": "from pkg import a\n"}, []),
    ],
)
def test_the_cycle_finder(tmp_path: Path, files: dict[str, str], expected: list[list[str]]) -> None:
    assert cycles(import_graph(_package(tmp_path, files))) == expected


def test_velkora_gym_imports_no_circle() -> None:
    graph = import_graph(PACKAGE)
    # The graph is read at all: the rooms' modules are in it with their edges.
    assert "velkora_gym.integration.folders" in graph["velkora_gym.integration.check"]
    assert "velkora_gym.envs.core" in graph["velkora_gym.envs.single"]
    assert cycles(graph) == []


# The documented import paths of modules that moved, with their homes.
MOVED = {
    "velkora_gym.sb3": "velkora_gym.train.sb3",
    "velkora_gym.puffer": "velkora_gym.train.puffer",
    "velkora_gym.rllib": "velkora_gym.train.rllib",
    "velkora_gym.parallel": "velkora_gym.envs.two_player",
    "velkora_gym.options": "velkora_gym.envs.options",
    "velkora_gym.demonstrations": "velkora_gym.envs.demonstrations",
    "velkora_gym.registration": "velkora_gym.envs.registration",
    "velkora_gym.record": "velkora_gym.apps.record",
    "velkora_gym.player": "velkora_gym.apps.player",
    "velkora_gym.studio": "velkora_gym.apps.studio",
}


@pytest.mark.parametrize("old, new", MOVED.items())
def test_old_paths_are_the_moved_modules(old: str, new: str) -> None:
    pytest.importorskip("stable_baselines3" if old.endswith("sb3") else "gymnasium")
    if old.endswith(("puffer", "rllib", "parallel")):
        pytest.importorskip({"puffer": "pufferlib", "rllib": "ray.rllib", "parallel": "pettingzoo"}[old.split(".")[1]])
    if old.endswith(("player", "studio")):
        pytest.importorskip("pygame")
    # The same module object: private names, monkeypatching and pickles by the old name agree.
    assert importlib.import_module(old) is importlib.import_module(new)


@pytest.mark.parametrize(
    "module, words",
    [
        ("velkora_gym.integration", ["usage: python -m velkora_gym.integration", "check", "list"]),
        ("velkora_gym.import", ["usage: python -m velkora_gym.import", "ROM_DIR"]),
        ("velkora_gym.demonstrations", ["usage:"]),
    ],
)
def test_module_commands_still_run(module: str, words: list[str]) -> None:
    pytest.importorskip("gymnasium")
    done = run_ok([sys.executable, "-m", module, "--help"])
    for word in words:
        assert word in done.stdout
