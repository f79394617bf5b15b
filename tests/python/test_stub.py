"""The typing stub velkora.pyi against the module it describes.

The module reports each member's signature in its docstring; these are parsed
and compared with the stub's definitions: names, order, overloads, argument
names, annotations, defaults and which arguments are positional-only."""

from __future__ import annotations

import ast
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import velkora

REPO = Path(__file__).resolve().parents[2]
STUB = REPO / "src" / "bindings" / "velkora.pyi"


def stub_classes() -> dict[str, dict[str, list[ast.FunctionDef]]]:
    tree = ast.parse(STUB.read_text())
    classes: dict[str, dict[str, list[ast.FunctionDef]]] = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            members: dict[str, list[ast.FunctionDef]] = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    members.setdefault(item.name, []).append(item)
            classes[node.name] = members
    return classes


def runtime_members(cls) -> list[str]:
    return [name for name in vars(cls) if name == "__init__" or not name.startswith("_")]


def runtime_signatures(member) -> list[ast.FunctionDef]:
    lines = (member.__doc__ or "").splitlines()
    if len(lines) > 1 and lines[1] == "Overloaded function.":
        texts = [re.sub(r"^\d+\. ", "", line) for line in lines if re.match(r"^\d+\. ", line)]
    else:
        texts = lines[:1]
    return [ast.parse(f"def {text}: ...").body[0] for text in texts]


def shape(fn: ast.FunctionDef, *, runtime: bool) -> tuple:
    """(arguments after self, result): each argument as (name, annotation,
    default, positional-only). The module names its unnamed arguments argN,
    which only take positions."""
    args = fn.args
    assert not args.vararg and not args.kwarg and not args.kwonlyargs, ast.unparse(fn)
    ordered = args.posonlyargs + args.args
    defaults = [None] * (len(ordered) - len(args.defaults)) + list(args.defaults)
    shaped = []
    for arg, default in list(zip(ordered, defaults))[1:]:
        annotation = ast.unparse(arg.annotation) if arg.annotation else None
        if runtime and annotation:
            annotation = annotation.replace("velkora.", "")
        positional_only = bool(re.fullmatch(r"arg\d+", arg.arg)) if runtime else arg in args.posonlyargs
        shaped.append((arg.arg, annotation, ast.unparse(default) if default else None, positional_only))
    result = ast.unparse(fn.returns) if fn.returns else None
    return tuple(shaped), result


def same_result(stub: str, runtime: str) -> bool:
    # The stub may name what a bare runtime container holds: list -> list[bytes].
    return stub == runtime or (runtime in ("list", "dict", "tuple") and stub.startswith(runtime + "["))


MEMBERS = [(cls, name) for cls in ("NES", "Controller") for name in runtime_members(getattr(velkora, cls))]


def test_module_holds_exactly_the_two_classes():
    public = {name for name in vars(velkora) if not name.startswith("_")}
    assert public == {"NES", "Controller"} == set(stub_classes())


@pytest.mark.parametrize("cls", ["NES", "Controller"])
def test_members_in_registration_order(cls):
    assert list(stub_classes()[cls]) == runtime_members(getattr(velkora, cls))


@pytest.mark.parametrize("cls, name", MEMBERS)
def test_member_signatures(cls, name):
    runtime = [shape(fn, runtime=True) for fn in runtime_signatures(getattr(getattr(velkora, cls), name))]
    stub_defs = stub_classes()[cls][name]
    stub = [shape(fn, runtime=False) for fn in stub_defs]
    assert [args for args, _ in stub] == [args for args, _ in runtime]
    for (_, stub_result), (_, runtime_result) in zip(stub, runtime):
        assert same_result(stub_result, runtime_result), (stub_result, runtime_result)
    overloaded = [any(ast.unparse(d) == "typing.overload" for d in fn.decorator_list) for fn in stub_defs]
    assert overloaded == [len(stub_defs) > 1] * len(stub_defs)


def test_installed_module_carries_its_stub():
    module = Path(velkora.__file__)
    if "site-packages" not in module.parts:
        pytest.skip("velkora is imported from a build folder, not an installed package")
    # Beside the module for editors that look there; as a stub-only package for
    # mypy, which ignores a lone .pyi in site-packages.
    assert module.with_name("velkora.pyi").read_text() == STUB.read_text()
    assert (module.parent / "velkora-stubs" / "__init__.pyi").read_text() == STUB.read_text()


def stubtest(tmp_path, module: str, allowed: list[str], env=None) -> None:
    """Runs mypy's stubtest on `module`; `allowed`: pybind11 classes, whose own
    metaclass a stub cannot name."""
    allow = tmp_path / "allow.txt"
    allow.write_text("".join(f"{name}\n" for name in allowed))
    # NumPy's own stubs would triple the run time; stubtest cannot see array types anyway.
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\n[mypy-numpy.*]\nfollow_imports = skip\nfollow_imports_for_stubs = True\n")
    command = [
        sys.executable,
        "-m",
        "mypy.stubtest",
        module,
        "--allowlist",
        str(allow),
        "--mypy-config-file",
        str(config),
    ]
    done = subprocess.run(command, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr


def test_mypy_stubtest_agrees(tmp_path):
    pytest.importorskip("mypy")
    module_dir = str(Path(velkora.__file__).parent)
    env = dict(
        os.environ,
        MYPYPATH=str(STUB.parent),
        PYTHONPATH=os.pathsep.join([module_dir, os.environ.get("PYTHONPATH", "")]),
    )
    stubtest(tmp_path, "velkora", ["velkora.NES", "velkora.Controller"], env)


def test_companion_stub_agrees(tmp_path):
    pytest.importorskip("mypy")
    gym = pytest.importorskip("velkora_gym")
    if "site-packages" not in Path(gym.__file__).parts:
        pytest.skip("velkora_gym is imported from a build folder, not an installed package")
    # Installed with py.typed and its stub, beside velkora's stub package.
    stubtest(tmp_path, "velkora_gym._native", ["velkora_gym._native.Batch", "velkora_gym._native.Environments"])
