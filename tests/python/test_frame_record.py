"""Regression guard with a pointer: the first frame at which a cartridge leaves the record."""

import pytest

import frame_record
import golden

RECORDED = frame_record.load()
GOLDEN = golden.load()
AVAILABLE = golden.cartridges()
DIGITS = frame_record.DIGITS


@pytest.mark.parametrize("name", sorted(RECORDED))
def test_every_frame_matches_the_record(name):
    if name not in AVAILABLE:
        pytest.skip(f"{name} not available here")
    difference = frame_record.first_difference(name, AVAILABLE[name], RECORDED[name])
    if difference:
        frame, kinds = difference
        pytest.fail(f"{name}: frame {frame} differs from the record in its {', '.join(kinds)}")


@pytest.mark.parametrize("name", sorted(RECORDED))
def test_the_record_agrees_with_the_golden_pictures(name):
    # Both records come from the same joypad script: re-recording one alone shows here.
    pictures = RECORDED[name]["picture"]
    for frame in golden.SNAPSHOT_FRAMES:
        assert pictures[(frame - 1) * DIGITS : frame * DIGITS] == GOLDEN[name][f"img{frame}"][:DIGITS]


def test_a_change_is_reported_at_its_frame_with_its_kinds():
    name = "velkora-demo.nes"
    recorded = dict(RECORDED[name])
    for kind in ("RAM", "audio"):
        value = recorded[kind]
        recorded[kind] = value[: 249 * DIGITS] + "x" * DIGITS + value[250 * DIGITS :]
    assert frame_record.first_difference(name, AVAILABLE[name], recorded) == (250, ["RAM", "audio"])
