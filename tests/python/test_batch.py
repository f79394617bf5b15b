"""The batch of consoles: each console computes what a velkora.NES computes."""

from __future__ import annotations

import threading

import numpy as np
import pytest

import golden
import nesrom
import velkora
from nesrom import mask_bits as bits

velkora_gym = pytest.importorskip("velkora_gym")

DEMO = "velkora-demo.nes"
IMAGE = golden.own_cartridges()[DEMO]


def reference_consoles(n: int, image: bytes = IMAGE) -> tuple[list, list]:
    consoles = [velkora.NES(nesrom.ImageFile(image, DEMO)) for _ in range(n)]
    pads = [velkora.Controller() for _ in range(n)]
    for nes, pad in zip(consoles, pads):
        nes.setController(pad, 0)
    return consoles, pads


def random_masks(rng, n: int) -> np.ndarray:
    # Mostly one direction and a button at a time, so the robot really moves.
    return rng.choice(np.array([0, 1, 2, 8, 16, 32, 64, 128, 129, 65, 3], np.uint8), n)


@pytest.mark.parametrize("threads, audio", [(1, True), (3, False), (2, True)])
def test_each_console_computes_what_a_single_console_computes(threads, audio):
    n = 5
    batch = velkora_gym.Batch(IMAGE, n, threads=threads, audio=audio)
    consoles, pads = reference_consoles(n)
    rng = np.random.default_rng(threads)
    for step in range(150):
        masks = random_masks(rng, n)
        for nes, pad, mask in zip(consoles, pads, masks):
            pad.updateInputs(bits(mask))
            nes.runFrame()
        batch.step(masks)
        for i, nes in enumerate(consoles):
            assert np.array_equal(batch.observations[i], nes.getImg()), (step, i)
            if step % 30 == 0:
                assert np.array_equal(batch.picture(i), nes.getImg()), (step, i)
            assert np.array_equal(batch.ram[i], nes.cpuMem()[:2048]), (step, i)
            assert batch.frame_count(i) == nes.frameCount() and batch.cycle_count(i) == nes.cycleCount()
            if audio:
                assert batch.get_audio(i, True) == nes.getAudio(True)
        if audio and step % 50 == 49:
            # The whole machine: a snapshot holds every bit of it.
            assert [batch.snapshot(i) for i in range(n)] == [velkora_gym.snapshot(c) for c in consoles]


def gray_table() -> np.ndarray:
    rgb = velkora.NES(nesrom.ImageFile(IMAGE, DEMO)).colorLookup().astype(np.int64)
    return (299 * rgb[:, 0] + 587 * rgb[:, 1] + 114 * rgb[:, 2] + 500) // 1000


def area_weights(source: int, destination: int) -> np.ndarray:
    o = np.arange(destination)[:, None]
    s = np.arange(source)[None, :]
    return np.maximum(0, np.minimum((o + 1) * source, (s + 1) * destination) - np.maximum(o * source, s * destination))


def expected_observation(frames: list[np.ndarray], obs_type: str, size) -> np.ndarray:
    """From getImg pictures: gray by table, maximum of the frames, then the exact area average."""
    lut = {
        tuple(rgb): g for rgb, g in zip(velkora.NES(nesrom.ImageFile(IMAGE, DEMO)).colorLookup().tolist(), gray_table())
    }
    converted = []
    for picture in frames:
        picture = picture.astype(np.int64)
        if obs_type == "grayscale":
            keys = picture.reshape(-1, 3)
            picture = np.array([lut[tuple(k)] for k in keys.tolist()]).reshape(240, 256)
        converted.append(picture)
    image = np.maximum.reduce(converted)
    if size is None:
        return image.astype(np.uint8)
    height, width = (size, size) if isinstance(size, int) else size
    wy, wx = area_weights(240, height), area_weights(256, width)
    total = 240 * 256
    if image.ndim == 2:
        summed = wy @ image @ wx.T
    else:
        summed = np.stack([wy @ image[:, :, c] @ wx.T for c in range(3)], axis=-1)
    return ((summed + total // 2) // total).astype(np.uint8)


@pytest.mark.parametrize(
    "obs_type, size, max_pool",
    [
        ("grayscale", 84, False),
        ("grayscale", 84, True),
        ("grayscale", None, True),
        ("rgb", (60, 128), True),
        ("grayscale", (300, 20), False),
    ],
)
def test_observations_match_the_pictures(obs_type, size, max_pool):
    batch = velkora_gym.Batch(IMAGE, 2, obs_type=obs_type, screen_size=size, max_pool=max_pool)
    consoles, pads = reference_consoles(2)
    shape = (batch.screen_size if size is not None else (240, 256)) + ((3,) if obs_type == "rgb" else ())
    assert batch.observations.shape == (2,) + shape and batch.observations.dtype == np.uint8
    for step in range(40):
        masks = np.array([step % 3, 128], np.uint8)
        pictures = [[], []]
        for nes, pad, mask, shown in zip(consoles, pads, masks, pictures):
            pad.updateInputs(bits(mask))
            for _ in range(3):
                nes.runFrame()
                shown.append(np.array(nes.getImg()))
        batch.step(masks, 3)
        if step % 8 == 7:
            for i in range(2):
                frames = pictures[i][-2:] if max_pool else pictures[i][-1:]
                assert np.array_equal(batch.observations[i], expected_observation(frames, obs_type, size))


def test_per_frame_masks_and_per_console_frame_counts():
    batch = velkora_gym.Batch(IMAGE, 3, obs_type=None)
    consoles, pads = reference_consoles(3)
    masks = np.array([[1, 128, 64, 2], [16, 16, 0, 0], [0, 0, 0, 0]], np.uint8)
    frames = np.array([4, 6, 1])
    for _ in range(10):
        batch.step(masks, frames)
        for i, (nes, pad) in enumerate(zip(consoles, pads)):
            for f in range(frames[i]):
                pad.updateInputs(bits(masks[i, min(f, 3)]))
                nes.runFrame()
            assert np.array_equal(batch.ram[i], nes.cpuMem()[:2048])
    assert [batch.frame_count(i) for i in range(3)] == [40, 60, 10]
    assert batch.observations.shape == (3, 0)


def test_player_two_reaches_the_second_port():
    image = nesrom.build_rom(nesrom.JOYPAD_READER)
    batch = velkora_gym.Batch(image, 2, obs_type=None)
    batch.step(np.array([0x01, 0x80], np.uint8), 2, buttons2=np.array([0x02, 0x40], np.uint8))
    # Twelve reads per port: the eight buttons from A, then ones (bit 0 of $41).
    port1 = batch.ram[:, 0x300:0x308] & 1
    port2 = batch.ram[:, 0x320:0x328] & 1
    assert port1.tolist() == [bits(0x01), bits(0x80)]
    assert port2.tolist() == [bits(0x02), bits(0x40)]


def test_snapshots_move_between_batch_and_console():
    batch = velkora_gym.Batch(IMAGE, 3, obs_type="rgb")
    for _ in range(30):
        batch.step(np.array([128, 64, 1], np.uint8))
    nes, pad = (x[0] for x in reference_consoles(1))
    velkora_gym.restore(nes, batch.snapshot(1))
    assert np.array_equal(nes.getImg(), batch.observations[1])
    for _ in range(20):
        pad.updateInputs(bits(16))
        nes.runFrame()
    batch.restore(2, velkora_gym.snapshot(nes))
    assert np.array_equal(batch.observations[2], nes.getImg())
    assert np.array_equal(batch.ram[2], nes.cpuMem()[:2048])
    assert batch.frame_count(2) == nes.frameCount() == 50

    # Power-on, and a chosen snapshot, for chosen consoles.
    fresh = velkora_gym.Batch(IMAGE, 1, obs_type="rgb")
    batch.reset([0])
    assert batch.snapshot(0) == fresh.snapshot(0)
    batch.reset(np.array([False, True, True]), batch.snapshot(0))
    assert len({batch.snapshot(i) for i in range(3)}) == 1
    assert np.array_equal(batch.observations[2], fresh.observations[0])


@pytest.mark.parametrize("picture", [True, False])
def test_many_snapshots_and_restores_at_once(picture):
    batch = velkora_gym.Batch(IMAGE, 4, obs_type="grayscale", threads=2)
    for k in range(25):
        batch.step(np.array([128, 64, 1 << (k % 8), 16], np.uint8))
    each = [batch.snapshot(i, picture=picture) for i in range(4)]
    assert batch.snapshots(picture=picture) == each
    assert batch.snapshots([3, 1], picture=picture) == [each[3], each[1]]
    assert batch.snapshots(np.array([False, True, False, True]), picture=picture) == [each[1], each[3]]
    observed = batch.observations.copy()

    # Crossed over, then back: each console becomes the other's machine.
    batch.restore_many([0, 1, 2, 3], [each[3], each[2], each[1], each[0]])
    assert batch.snapshots(picture=picture) == each[::-1]
    batch.restore_many(range(4), each)
    assert batch.snapshots(picture=picture) == each
    if picture:
        assert np.array_equal(batch.observations, observed)
    assert [batch.frame_count(i) for i in range(4)] == [25] * 4


def test_restore_many_checks_every_snapshot_before_any_console_moves():
    batch = velkora_gym.Batch(IMAGE, 3, obs_type=None)
    batch.step(np.array([1, 2, 4], np.uint8), 10)
    before = batch.snapshots()
    damaged = before[2][:-1] + bytes([before[2][-1] ^ 1])
    with pytest.raises(ValueError, match="snapshot 2: .*checksum"):
        batch.restore_many([1, 0, 2], [before[0], before[1], damaged])
    with pytest.raises(ValueError, match="one snapshot per console"):
        batch.restore_many([0, 1], [before[0]])
    with pytest.raises(ValueError, match="named twice"):
        batch.restore_many([0, 0], [before[0], before[1]])
    with pytest.raises(IndexError):
        batch.restore_many([0, 3], before[:2])
    with pytest.raises(TypeError):
        batch.restore_many([0], before[0])
    assert batch.snapshots() == before


def bad_steps(n: int) -> list:
    ok = np.zeros(n, np.uint8)
    return [
        (TypeError, (np.zeros(n, np.float32),), {}),
        (TypeError, (np.zeros(n, bool),), {}),
        (ValueError, (np.zeros(n + 1, np.uint8),), {}),
        (ValueError, (np.zeros((n, 2, 2), np.uint8),), {}),
        (ValueError, (np.full(n, 256),), {}),
        (ValueError, (ok, 0), {}),
        (ValueError, (ok, np.array([1] * (n - 1) + [0])), {}),
        (ValueError, (ok, np.ones(n + 1, int)), {}),
        (TypeError, (ok, 1.5), {}),
        (TypeError, (ok, True), {}),
        (ValueError, (ok,), {"buttons2": np.zeros((n, 3), np.uint8)}),
    ]


@pytest.mark.parametrize("error, args, kwargs", bad_steps(3))
def test_refused_steps_change_no_console(error, args, kwargs):
    batch = velkora_gym.Batch(IMAGE, 3, obs_type="grayscale", screen_size=84)
    batch.step(np.ones(3, np.uint8), 5)
    before = [batch.snapshot(i) for i in range(3)]
    observed = batch.observations.copy()
    with pytest.raises(error):
        batch.step(*args, **kwargs)
    assert [batch.snapshot(i) for i in range(3)] == before
    assert np.array_equal(batch.observations, observed)


@pytest.mark.parametrize(
    "error, make",
    [
        (FileNotFoundError, lambda tmp: velkora_gym.Batch(tmp / "missing.nes", 2)),
        (IsADirectoryError, lambda tmp: velkora_gym.Batch(tmp, 2)),
        (ValueError, lambda tmp: velkora_gym.Batch(b"NES\x1a" + bytes(12), 2)),
        (ValueError, lambda tmp: velkora_gym.Batch(b"not an image", 2)),
        (TypeError, lambda tmp: velkora_gym.Batch(12, 2)),
        (ValueError, lambda tmp: velkora_gym.Batch(IMAGE, 0)),
        (TypeError, lambda tmp: velkora_gym.Batch(IMAGE, 2.0)),
        (ValueError, lambda tmp: velkora_gym.Batch(IMAGE, 2, threads=0)),
        (ValueError, lambda tmp: velkora_gym.Batch(IMAGE, 2, obs_type="depth")),
        (ValueError, lambda tmp: velkora_gym.Batch(IMAGE, 2, screen_size=0)),
        (ValueError, lambda tmp: velkora_gym.Batch(IMAGE, 2, screen_size=(84, 84, 3))),
        (ValueError, lambda tmp: velkora_gym.Batch(IMAGE, 2, screen_size=5000)),
        (ValueError, lambda tmp: velkora_gym.Batch(IMAGE, 2, obs_type=None, screen_size=84)),
    ],
)
def test_bad_construction(tmp_path, error, make):
    with pytest.raises(error):
        make(tmp_path)


def test_bad_console_indices_and_snapshots():
    batch = velkora_gym.Batch(IMAGE, 2, obs_type=None)
    for call in (
        lambda: batch.snapshot(2),
        lambda: batch.restore(-3, b""),
        lambda: batch.reset([0, 5]),
        lambda: batch.frame_count(9),
    ):
        with pytest.raises(IndexError):
            call()
    before = batch.snapshot(0)
    other = velkora_gym.Batch(nesrom.build_rom(nesrom.JOYPAD_READER), 1, obs_type=None).snapshot(0)
    with pytest.raises(ValueError, match="another cartridge"):
        batch.reset(None, other)
    with pytest.raises(ValueError, match="checksum"):
        batch.restore(1, before[:-1] + bytes([before[-1] ^ 1]))
    assert batch.snapshot(0) == before and batch.snapshot(1) == before
    with pytest.raises(RuntimeError, match="audio=True"):
        batch.get_audio(0)


def test_step_releases_the_interpreter_lock():
    batch = velkora_gym.Batch(IMAGE, 2, threads=1, obs_type=None)
    done = threading.Event()
    counted = 0

    def count():
        nonlocal counted
        while not done.is_set():
            counted += 1

    counter = threading.Thread(target=count)
    counter.start()
    try:
        batch.step(np.zeros(2, np.uint8), 300)  # about a tenth of a second or more
    finally:
        done.set()
        counter.join()
    assert counted > 1000
