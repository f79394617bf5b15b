"""Complete snapshots: restore, then the same joypad input gives the same frames."""

from __future__ import annotations

import hashlib
import threading
import time

import numpy as np
import pytest

import golden
import nesrom
import velkora
from test_boards import mapper40_image

velkora_gym = pytest.importorskip("velkora_gym")


def unknown_board_image() -> bytes:
    # Mapper 99 maps nothing beyond the first banks; the console still runs it.
    return nesrom.ines_header(2, 1, 99) + nesrom.assemble(nesrom.JOYPAD_READER) + bytes(8192)


def cartridges() -> dict[str, bytes]:
    found = golden.cartridges()
    found["mapper40.nes"] = mapper40_image()
    found["mapper99.nes"] = unknown_board_image()
    return found


CARTRIDGES = cartridges()


def console(name: str) -> velkora.NES:
    nes = velkora.NES(nesrom.ImageFile(CARTRIDGES[name], name))
    nes.setController(velkora.Controller(), 0)
    return nes


pad_of = nesrom.plug_pad


def play(nes: velkora.NES, pad: velkora.Controller, frames: int) -> list[tuple]:
    """Hashes of everything one can read after each frame, under the golden joypad script."""
    seen = []
    for _ in range(frames):
        pad.updateInputs(golden.joypad(nes.frameCount()))
        nes.runFrame()
        digest = hashlib.sha256()
        for view in (nes.getImg(), nes.cpuMem(), nes.ppuMem(), nes.OAM()):
            digest.update(view.tobytes())
        digest.update(b"".join(nes.getAudio(True)))
        seen.append((digest.hexdigest(), nes.frameCount(), nes.cycleCount()))
    return seen


@pytest.mark.parametrize("name", sorted(CARTRIDGES))
def test_restore_then_the_same_input_gives_the_same_frames(name):
    nes = console(name)
    pad = pad_of(nes)
    play(nes, pad, 300)
    data = velkora_gym.snapshot(nes)
    expected = play(nes, pad, 120)
    play(nes, pad, 50)

    velkora_gym.restore(nes, data)
    assert play(nes, pad, 120) == expected

    fresh = console(name)
    velkora_gym.restore(fresh, data)
    assert play(fresh, pad_of(fresh), 120) == expected


@pytest.mark.parametrize("picture", [True, False])
def test_snapshot_format_and_bytes_like_input(picture):
    nes = console("velkora-demo.nes")
    pad = pad_of(nes)
    play(nes, pad, 60)
    first = velkora_gym.snapshot(nes, picture=picture)
    assert first[:8] == b"VELKSNAP" and int.from_bytes(first[8:12], "little") == velkora_gym.SNAPSHOT_VERSION == 3
    # Kilobytes, not the hundreds a whole machine takes.
    assert len(first) < (64 if picture else 16) * 1024
    nes.runFrame()
    # Other bytes-like objects are read the same, and give back the same bytes.
    for form in (bytearray(first), memoryview(first), np.frombuffer(first, np.uint8)):
        velkora_gym.restore(nes, form)
        assert velkora_gym.snapshot(nes, picture=picture) == first


def test_picture_false_keeps_the_shown_picture_until_the_next_frame():
    source = console("velkora-demo.nes")
    pad = pad_of(source)
    play(source, pad, 200)
    compact = velkora_gym.snapshot(source, picture=False)
    full = velkora_gym.snapshot(source)
    shown = source.getImg().copy()
    after = play(source, pad, 5)

    target = console("velkora-demo.nes")
    play(target, pad_of(target), 40)
    view = target.getImg()
    own = view.copy()
    velkora_gym.restore(target, compact)
    assert np.array_equal(view, own)
    velkora_gym.restore(target, full)
    assert np.array_equal(view, shown)  # a view held across the restore shows it at once
    velkora_gym.restore(target, compact)
    assert play(target, pad_of(target), 5) == after


def damaged(data: bytes) -> dict[str, tuple[bytes, str]]:
    flipped = bytearray(data)
    flipped[len(data) // 2] ^= 0x40
    version = bytearray(data)
    version[8] = 77
    return {
        "truncated": (data[:-100], "truncated"),
        "header only": (data[:30], "truncated"),
        "altered": (bytes(flipped), "checksum does not match"),
        "version": (bytes(version), "version 77 is not supported"),
        "not a snapshot": (b"\x00" * 64, "not a velkora snapshot"),
        "empty": (b"", "not a velkora snapshot"),
    }


@pytest.mark.parametrize("case", ["truncated", "header only", "altered", "version", "not a snapshot", "empty"])
def test_refused_snapshots_name_the_reason_and_change_nothing(case):
    nes = console("velkora-demo.nes")
    pad = pad_of(nes)
    play(nes, pad, 30)
    data, reason = damaged(velkora_gym.snapshot(nes))[case]
    play(nes, pad, 3)
    before = velkora_gym.snapshot(nes)
    with pytest.raises(ValueError, match=reason):
        velkora_gym.restore(nes, data)
    assert velkora_gym.snapshot(nes) == before


def test_snapshot_of_another_cartridge_or_clock_is_refused():
    data = velkora_gym.snapshot(console("velkora-demo.nes"))
    other = console("mapper40.nes")
    with pytest.raises(ValueError, match="another cartridge"):
        velkora_gym.restore(other, data)
    faster = velkora.NES(nesrom.ImageFile(CARTRIDGES["velkora-demo.nes"], "velkora-demo.nes"), 2 * 1789773)
    with pytest.raises(ValueError, match="CLOCK_SPEED"):
        velkora_gym.restore(faster, data)


@pytest.mark.parametrize(
    "call",
    [
        lambda: velkora_gym.snapshot(object()),
        lambda: velkora_gym.snapshot(velkora.NES.__new__(velkora.NES)),
        lambda: velkora_gym.restore(velkora.NES.__new__(velkora.NES), b""),
        lambda: velkora_gym.restore(console("velkora-demo.nes"), "text"),
        lambda: velkora_gym.restore(console("velkora-demo.nes"), 5),
        lambda: velkora_gym.restore(console("velkora-demo.nes")),
        lambda: velkora_gym.restore(console("velkora-demo.nes"), b"", b""),
        lambda: velkora_gym.restore(console("velkora-demo.nes"), snapshot=b""),
        lambda: velkora_gym.restore(console("velkora-demo.nes"), b"", nes=None),
        # picture is by name only
        lambda: velkora_gym.snapshot(console("velkora-demo.nes"), True),
        lambda: velkora_gym.snapshot(),
        lambda: velkora_gym.snapshot(picture=False),
        lambda: velkora_gym.snapshot(console("velkora-demo.nes"), nes=None),
        lambda: velkora_gym.snapshot(console("velkora-demo.nes"), picture=True, colour=True),
    ],
)
def test_wrong_arguments_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_arguments_by_name_and_any_truth_value():
    nes = console("velkora-demo.nes")
    data = velkora_gym.snapshot(nes, picture=0)
    assert data == velkora_gym.snapshot(nes, picture=False)
    assert velkora_gym.snapshot(nes, picture="yes") == velkora_gym.snapshot(nes)
    velkora_gym.restore(data=data, nes=nes)
    assert velkora_gym.snapshot(nes, picture=False) == data
    assert velkora_gym.snapshot(nes=nes, picture=False) == data


def test_snapshot_and_restore_hold_a_running_console():
    nes = console("velkora-demo.nes")
    start = velkora_gym.snapshot(nes)
    nes.start()
    try:
        time.sleep(0.6)
        # Read before the snapshot: the thread runs on between the two calls.
        taken_frame = nes.frameCount()
        taken = velkora_gym.snapshot(nes)
        assert taken_frame > 20
        # Restoring far back: the thread paces on from there in real time.
        velkora_gym.restore(nes, start)
        restored_at = nes.frameCount()
        time.sleep(0.5)
        ran = nes.frameCount() - restored_at
        assert 15 <= ran <= 45, ran
        # From another Python thread too.
        worker = threading.Thread(target=velkora_gym.restore, args=(nes, taken))
        worker.start()
        worker.join()
    finally:
        nes.stop()
    assert nes.frameCount() >= taken_frame


def test_restore_inside_a_frame_callback():
    nes = console("velkora-demo.nes")
    pad = pad_of(nes)
    play(nes, pad, 10)
    data = velkora_gym.snapshot(nes)
    frame = nes.frameCount()
    nes.perFrame(lambda: velkora_gym.restore(nes, data) if nes.frameCount() == frame + 5 else None)
    nesrom.run_frames(nes, 8)
    nes.perFrame(lambda: None)
    # The fifth frame's callback went back five frames; three more followed.
    assert nes.frameCount() == frame + 3
