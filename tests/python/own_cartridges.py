"""The project's own cartridges, built from source for the golden outputs."""

from __future__ import annotations

import importlib.util
from pathlib import Path

DEMO_BUILDER = Path(__file__).resolve().parents[2] / "demo" / "build_demo.py"


def images() -> dict[str, bytes]:
    spec = importlib.util.spec_from_file_location("build_demo", DEMO_BUILDER)
    builder = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(builder)
    return {"velkora-demo.nes": builder.image()}
