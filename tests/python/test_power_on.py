"""Power-on without the ROM's path: a console powered on equals a new console of its
cartridge bit for bit, and power-on movies play on any console of their cartridge without
rom=, from .vmv and .fm2, on a new console, a used one and a batch console."""

from __future__ import annotations

import hashlib
import os
import time

import numpy as np
import pytest

import golden
import nesrom
import velkora
from test_snapshots import CARTRIDGES, pad_of, play

velkora_gym = pytest.importorskip("velkora_gym")
from velkora_gym.batch import Batch  # noqa: E402
from velkora_gym.movie import Movie  # noqa: E402

BATTERY = nesrom.build_rom(nesrom.PRG_RAM_COUNTER, battery=True)


def files(folder) -> dict[str, tuple[int, bytes]]:
    return {
        os.path.relpath(os.path.join(root, name), folder): (
            os.stat(os.path.join(root, name)).st_mtime_ns,
            open(os.path.join(root, name), "rb").read(),
        )
        for root, _, names in os.walk(folder)
        for name in names
    }


def same_now(a: velkora.NES, b: velkora.NES) -> None:
    for view in ("getImg", "cpuMem", "ppuMem", "OAM"):
        assert np.array_equal(getattr(a, view)(), getattr(b, view)()), view
    assert (a.frameCount(), a.cycleCount()) == (b.frameCount(), b.cycleCount())
    assert velkora_gym.snapshot(a) == velkora_gym.snapshot(b)


@pytest.mark.parametrize("clock", [1789773, 0, 3000000])
@pytest.mark.parametrize("name", sorted(CARTRIDGES))
def test_a_used_console_powers_on_as_a_new_one(name, clock, tmp_path):
    path = nesrom.write_rom(tmp_path, CARTRIDGES[name], name)
    used = velkora.NES(path, clock)
    picture, memory = used.getImg(), used.cpuMem()  # views held across the power-on
    play(used, pad_of(used), 45)
    used.getAudio()
    velkora_gym.power_on(used)
    fresh = velkora.NES(path, clock)
    same_now(used, fresh)
    assert np.array_equal(picture, fresh.getImg()) and np.array_equal(memory, fresh.cpuMem())
    assert play(used, pad_of(used), 60) == play(fresh, pad_of(fresh), 60)  # sound included


def test_battery_ram_starts_cleared_and_no_file_is_touched_or_line_printed(data_home, tmp_path, capfd):
    path = nesrom.write_rom(tmp_path, BATTERY, "saved.nes")
    (data_home / "velkora" / "saved").mkdir(parents=True)
    (data_home / "velkora" / "saved" / "ram").write_bytes(bytes(range(256)) * 32)
    reloaded = velkora.NES(path)  # reads the battery file
    assert int(reloaded.cpuMem()[0x6005]) == 5
    nesrom.run_frames(reloaded, 20)
    before = files(data_home)
    capfd.readouterr()
    velkora_gym.power_on(reloaded)
    assert capfd.readouterr() == ("", "")
    assert files(data_home) == before
    assert not reloaded.cpuMem()[0x6000:0x8000].any()
    headless = Batch(BATTERY, 1, obs_type=None)
    assert velkora_gym.snapshot(reloaded, picture=False) == headless.snapshot(0, picture=False)


def test_a_running_console_is_held_and_paces_on():
    nes = velkora.NES(nesrom.ImageFile(CARTRIDGES["velkora-demo.nes"], "velkora-demo.nes"))
    nes.start()
    try:
        time.sleep(0.4)
        assert nes.frameCount() > 10
        velkora_gym.power_on(nes)
        after = nes.frameCount()
        time.sleep(0.4)
        ran = nes.frameCount() - after
    finally:
        nes.stop()
    assert after < 5 and 12 <= ran <= 36, (after, ran)


def test_batch_console_powers_on_alone():
    image = CARTRIDGES["velkora-demo.nes"]
    batch = Batch(image, 3, obs_type="grayscale", max_pool=True)
    fresh = batch.snapshots()
    batch.step(np.full(3, 0x08, np.uint8), 40)
    moved = batch.snapshot(0)
    batch.power_on(1)
    assert batch.snapshot(1) == fresh[1] and batch.snapshot(0) == moved
    assert not batch.observations[1].any() and np.array_equal(batch.ram[1], Batch(image, 1).ram[0])
    with pytest.raises(IndexError):
        batch.power_on(3)


@pytest.mark.parametrize("call", [lambda: velkora_gym.power_on(object()), lambda: velkora_gym.power_on(None)])
def test_anything_but_a_console_is_refused(call):
    with pytest.raises(TypeError, match="velkora.NES"):
        call()


def hashes(nes: velkora.NES) -> list[str]:
    return [hashlib.sha1(nes.getImg().tobytes() + nes.cpuMem()[:0x800].tobytes()).hexdigest()]


def replay(movie: Movie, nes: velkora.NES) -> tuple[list[str], bytes]:
    seen: list[str] = []
    movie.play(nes, on_frame=lambda i: seen.extend(hashes(nes)))
    return seen, b"".join(nes.getAudio(True))


@pytest.mark.parametrize("suffix", [".vmv", ".fm2", ".fm2.gz"])
@pytest.mark.parametrize("name", sorted(set(CARTRIDGES) - {"mapper99.nes"}))  # movies need an emulated board
def test_a_power_on_movie_plays_without_rom_on_any_console_of_its_cartridge(name, suffix, tmp_path):
    # A byte past CHR ROM: the same cartridge to a console, a SHA-1 no search finds.
    image = CARTRIDGES[name] + b"\x00"
    path = nesrom.write_rom(tmp_path, image, name)
    nes = velkora.NES(path)
    pad = pad_of(nes)
    movie = Movie(image)
    recorded: list[str] = []
    for frame in range(150):
        buttons = golden.joypad(frame)
        pad.updateInputs(buttons)
        movie.append(sum(bit << i for i, bit in enumerate(buttons)))
        nes.runFrame()
        recorded += hashes(nes)
    sound = b"".join(nes.getAudio(True))
    movie.save(tmp_path / f"run{suffix}")

    loaded = Movie.load(tmp_path / f"run{suffix}")  # only the packaged demo's PRG and CHR can be found
    assert (loaded.image is None) == (name != "velkora-demo.nes" or ".vmv" in suffix)
    assert loaded.identity == movie.identity and np.array_equal(loaded.buttons, movie.buttons)
    used = velkora.NES(path)
    play(used, pad_of(used), 33)
    for console in (velkora.NES(path), used, velkora.NES(nesrom.ImageFile(CARTRIDGES[name], name))):
        assert replay(loaded, console) == (recorded, sound)
    batch = Batch(image, 2, obs_type="rgb")
    batch.step(np.full(2, 0x09, np.uint8), 12)
    other = batch.snapshot(0)
    loaded.play(batch, 1)
    assert hashlib.sha1(batch.observations[1].tobytes()).hexdigest() == hashlib.sha1(nes.getImg().tobytes()).hexdigest()
    assert np.array_equal(batch.ram[1], nes.cpuMem()[:0x800]) and batch.snapshot(0) == other


def test_an_old_movie_without_identity_still_needs_its_rom(tmp_path):
    image = CARTRIDGES["mapper40.nes"]
    movie = Movie(image)
    movie.extend([5, 6])
    old = [line for line in movie.to_text().splitlines() if not line.startswith("identity ")]
    (tmp_path / "old.vmv").write_text("\n".join(["velkora-movie 1", *old[1:]]) + "\n")
    lost = Movie.load(tmp_path / "old.vmv")
    assert lost.identity is None
    nes = velkora.NES(nesrom.write_rom(tmp_path, image, "demo.nes"))
    before = velkora_gym.snapshot(nes)
    with pytest.raises(ValueError, match=r"before movies recorded the cartridge identity.*rom="):
        lost.play(nes)
    assert velkora_gym.snapshot(nes) == before
    assert Movie.load(tmp_path / "old.vmv", rom=image).play(nes) == 2
    fm2 = [line for line in movie.to_fm2().splitlines() if "velkoraCartridge" not in line]
    (tmp_path / "old.fm2").write_text("\n".join(fm2) + "\n")
    with pytest.raises(ValueError, match=r"names no cartridge identity.*rom="):
        Movie.load(tmp_path / "old.fm2")
