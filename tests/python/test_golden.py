"""Regression guard: every cartridge renders, plays and stores exactly as recorded."""

import pytest

import golden

RECORDED = golden.load()
AVAILABLE = golden.cartridges()


@pytest.mark.parametrize("name", sorted(RECORDED))
def test_outputs_match_the_recording(name):
    if name not in AVAILABLE:
        pytest.skip(f"{name} not available here")
    assert golden.run(name, AVAILABLE[name]) == RECORDED[name]
