"""Movies: recorded on a console, saved, loaded and replayed bit for bit on every demo
cartridge; the .fm2 format both ways; refusals that leave the console as it was."""

from __future__ import annotations

import base64
import gzip
import hashlib
import re
from pathlib import Path

import numpy as np
import pytest

import nesrom
import velkora
import velkora_gym
from nesrom import JOYPAD_READER, RESET_PROBE, ROMS, build_rom, plug_pad, port_bits, run_frames, write_rom
from nesrom import mask_bits as bits
from velkora_gym.batch import Batch
from velkora_gym.envs import DEMO_ROM
from velkora_gym.movie import Movie, MovieError

DEMOS = sorted((ROMS / "demos").glob("*.nes")) if (ROMS / "demos").is_dir() else []
CARTRIDGES = [DEMO_ROM, *DEMOS]
FRAMES = 240


def masks(seed: int, count: int) -> tuple[np.ndarray, np.ndarray]:
    """Buttons held for a few frames at a time, as a person presses them (Start too)."""
    rng = np.random.default_rng(seed)
    held = np.repeat(rng.integers(0, 256, count // 6 + 1), 6)[:count]
    other = np.repeat(rng.integers(0, 256, count // 9 + 1), 9)[:count]
    return held.astype(np.uint8), other.astype(np.uint8)


def plugged(nes) -> list:
    return [plug_pad(nes, port) for port in (0, 1)]


def record(nes, movie: Movie, one: np.ndarray, two: np.ndarray) -> list[str]:
    """Drives the console by hand while appending to the movie; each frame's picture hash."""
    pads = plugged(nes)
    seen = []
    for a, b in zip(one, two):
        pads[0].updateInputs(bits(a))
        pads[1].updateInputs(bits(b))
        movie.append(int(a), int(b))
        nes.runFrame()
        seen.append(hashlib.sha1(np.asarray(nes.getImg()).tobytes()).hexdigest())
    return seen


def replayed(movie: Movie, nes) -> list[str]:
    seen: list[str] = []
    movie.play(nes, on_frame=lambda i: seen.append(hashlib.sha1(np.asarray(nes.getImg()).tobytes()).hexdigest()))
    return seen


@pytest.mark.parametrize("start", ["power-on", "snapshot"])
@pytest.mark.parametrize("cartridge", CARTRIDGES, ids=lambda p: Path(p).stem)
def test_a_saved_movie_replays_every_frame_on_another_console(cartridge, start, tmp_path):
    nes = velkora.NES(str(cartridge))
    snapshot = None
    if start == "snapshot":
        warm_one, warm_two = masks(7, 150)
        record(nes, Movie(cartridge), warm_one, warm_two)
        snapshot = velkora_gym.snapshot(nes, picture=False)
    movie = Movie(cartridge, start=snapshot)
    one, two = masks(1, FRAMES)
    recorded = record(nes, movie, one, two)
    ram = np.array(nes.cpuMem()[:0x800])
    path = tmp_path / "run.vmv"
    movie.save(path)
    loaded = Movie.load(path, rom=cartridge)
    assert loaded == movie and len(loaded) == FRAMES

    other = velkora.NES(str(cartridge))  # a console somewhere else in its own game
    plugged(other)[0].updateInputs(bits(0x08))
    nesrom.run_frames(other, 37)
    assert replayed(loaded, other) == recorded
    assert np.array_equal(np.array(other.cpuMem()[:0x800]), ram)

    batch = Batch(cartridge, 3, obs_type="rgb")
    batch.step(np.full(3, 0x10, np.uint8), 5)
    untouched = batch.snapshot(0)
    loaded.play(batch, 2)
    assert hashlib.sha1(batch.observations[2].tobytes()).hexdigest() == recorded[-1]
    assert np.array_equal(batch.ram[2], ram)
    assert batch.snapshot(0) == untouched  # the other consoles did not move


@pytest.mark.parametrize("name", ["run.vmv", "run.vmv.gz", "run.fm2", "run.fm2.gz", "run.txt"])
def test_formats_round_trip_and_replay_alike(name, tmp_path):
    one, two = masks(3, 400)
    movie = Movie(DEMO_ROM)
    movie.extend(one, two)
    movie.comments.append("two   players\tat once")
    movie.save(tmp_path / name)
    raw = (tmp_path / name).read_bytes()
    text = (gzip.decompress(raw) if name.endswith(".gz") else raw).decode()
    assert text.startswith("version 3\n" if ".fm2" in name else "velkora-movie 2\n")
    assert len(text.splitlines()) >= 400 and text.count("\n|") == 400  # one line a frame
    loaded = Movie.load(tmp_path / name)  # the packaged cartridge is found by its hash
    assert loaded == movie and loaded.comments == ["two players at once"]
    first, second = velkora.NES(str(DEMO_ROM)), velkora.NES(str(DEMO_ROM))
    assert replayed(loaded, first) == replayed(movie, second)


def test_fm2_header_and_lines_are_as_other_tools_write_them():
    movie = Movie(DEMO_ROM)
    movie.append(0b1000_0001, 0)  # Right + A on port 0
    movie.append(0b0001_1100, 0b0100_0010)  # Up Start Select; Left B
    lines = movie.to_fm2().splitlines()
    header = dict(line.split(" ", 1) for line in lines if not line.startswith("|"))
    image = DEMO_ROM.read_bytes()
    assert (
        header["romChecksum"]
        == "base64:" + base64.b64encode(hashlib.md5(image[16 : 16 + 32768 + 8192]).digest()).decode()
    )
    assert {header[k] for k in ("version", "port0", "port1")} == {"3", "1"}
    assert {header[k] for k in ("palFlag", "fourscore", "microphone", "port2", "FDS", "NewPPU")} == {"0"}
    assert header["romFilename"] == "velkora-demo" and len(header["guid"]) == 36
    assert lines[-2:] == ["|0|R......A|........||", "|0|...UTS..|.L....B.||"]


def test_fm2_from_elsewhere_ignores_comments_and_unknown_keys():
    text = "\n".join(
        [
            "version 3",
            "emuVersion 22020",
            "rerecordCount 12",
            "palFlag 0",
            "romFilename velkora-demo",
            "guid 00000000-0000-0000-0000-000000000000",
            "fourscore 0",
            "microphone 0",
            "port0 1",
            "port1 0",
            "port2 0",
            "FDS 0",
            "NewPPU 1",
            "comment author someone",
            "subtitle 10 hello there",
            "someFutureKey 7",
            "",
            "|0|R      A|||",
            "|0|........|||",
            "|0|.L.U..B.|||",
            "|0|rlduTSba|||",
        ]
    )
    movie = Movie.from_fm2(text, DEMO_ROM.read_bytes())
    assert movie.buttons.tolist() == [[0x81, 0], [0, 0], [0x52, 0], [0xFF, 0]]
    assert movie.comments == ["author someone"] and movie.start is None


@pytest.mark.parametrize(
    "change, named",
    [
        ({3: "|5|........|........||"}, "frame 3) uses disk-system disk insert/eject (command 5)"),
        ({2: "|8|........|........||"}, "frame 2) uses disk-system side select"),
        ({4: "|16|........|........||"}, "frame 4) uses coin insert"),
        ({1: "|x|........|........||"}, "frame 1"),
        ({2: "|0|R.....A|........||"}, "frame 2): port0"),
        ({2: "|0|R......A"}, "frame 2"),
        ({"palFlag": "1"}, "PAL"),
        ({"fourscore": "1"}, "Four Score"),
        ({"port0": "2"}, "port0 2"),
        ({"version": "2"}, "version '2'"),
        ({"FDS": "1"}, "disk system"),
    ],
)
def test_fm2_movies_velkora_cannot_replay_are_refused(change, named):
    header = {"version": "3", "palFlag": "0", "fourscore": "0", "port0": "1", "port1": "1", "FDS": "0"}
    frames = ["|0|........|........||"] * 5
    for key, value in change.items():
        if isinstance(key, int):
            frames[key - 1] = value
        else:
            header[key] = value
    text = "\n".join([f"{k} {v}" for k, v in header.items()] + frames)
    with pytest.raises(MovieError, match=re.escape(named)):
        Movie.from_fm2(text, DEMO_ROM.read_bytes())


def test_fm2_of_another_rom_is_a_warning_and_a_velkora_movie_of_one_is_refused(tmp_path):
    movie = Movie(DEMO_ROM)
    movie.extend([1, 2, 3])
    movie.save(tmp_path / "m.fm2")
    movie.save(tmp_path / "m.vmv")
    other = build_rom(JOYPAD_READER)
    with pytest.warns(UserWarning, match="romChecksum"):
        assert Movie.load(tmp_path / "m.fm2", rom=other).buttons[:, 0].tolist() == [1, 2, 3]
    with pytest.raises(ValueError, match="SHA-1"):
        Movie.load(tmp_path / "m.vmv", rom=other)


def velkora_text(**lines: str) -> str:
    header = {
        "velkora-movie": "1",
        "sha1": hashlib.sha1(DEMO_ROM.read_bytes()).hexdigest(),
        "start": "power-on",
        "frames": "2",
    }
    header.update(lines)
    frames = [header.pop("frame1", "|A......R|........|"), header.pop("frame2", "|........|.B......|")]
    return "\n".join([f"{k} {v}" for k, v in header.items() if v is not None] + frames) + "\n"


@pytest.mark.parametrize(
    "lines, named",
    [
        ({"velkora-movie": "3"}, "line 1: format version 3 is newer"),
        ({"sha1": "12ab"}, "line 2: '12ab' is not a SHA-1"),
        ({"start": "savestate"}, "line 3: start must be"),
        ({"start": "snapshot @@@"}, "line 3: the start snapshot is not valid base64"),
        ({"start": "snapshot " + base64.b64encode(b"not one").decode()}, "line 3: the start is not a velkora snapshot"),
        ({"frames": "3"}, "says 3 frames, the file holds 2"),
        ({"frames": None}, "no frames line"),
        ({"author": "me"}, "line 5: unknown header key 'author'"),
        ({"velkora-movie": "2"}, "the header has no timing line"),
        ({"velkora-movie": "2", "timing": "exact"}, "line 5: timing must be 'design' or 'hardware', not 'exact'"),
        ({"frame2": "|........|.B......|rst"}, "line 6 (frame 2)"),
        ({"identity": "1735E8DB"}, "line 5: '1735E8DB' is not a cartridge identity"),
        ({"identity": "0" * 16}, "the identity line is not the identity of its cartridge"),
        ({"frame2": "|........|.X......|"}, "line 6 (frame 2)"),
        ({"frame1": "|A......R|"}, "line 5 (frame 1)"),
    ],
)
def test_malformed_velkora_movies_name_the_line(lines, named, tmp_path):
    path = tmp_path / "bad.vmv"
    path.write_text(velkora_text(**lines))
    with pytest.raises(MovieError, match=re.escape(named)):
        Movie.load(path)


def test_a_movie_file_written_by_hand_loads():
    movie = Movie.from_text("# my run\n" + velkora_text(comment="first try"))
    assert movie.buttons.tolist() == [[0x81, 0], [0, 0x02]] and movie.comments == ["first try"]


def test_another_cartridge_is_refused_before_anything_changes(tmp_path):
    reader = write_rom(tmp_path, build_rom(JOYPAD_READER), "reader.nes")
    movie = Movie(DEMO_ROM)
    movie.extend([0x01] * 30)
    nes = velkora.NES(reader)
    pads = plugged(nes)
    pads[0].updateInputs(bits(0x80))
    nesrom.run_frames(nes, 3)
    before = velkora_gym.snapshot(nes)
    with pytest.raises(ValueError, match="another cartridge"):
        movie.play(nes)
    assert velkora_gym.snapshot(nes) == before
    nes.runFrame()
    assert int(nes.cpuMem()[0x307]) & 1  # the caller's pad still drives port 0 (A is read last)

    batch = Batch(reader, 2, obs_type=None)
    batch.step(np.ones(2, np.uint8), 4)
    before = batch.snapshots()
    with pytest.raises(ValueError, match="another cartridge"):
        movie.play(batch, 1)
    with pytest.raises(ValueError, match="index"):
        Movie(reader).play(batch, 2)
    assert batch.snapshots() == before

    with pytest.raises(ValueError, match="start is not a snapshot of this cartridge"):
        Movie(DEMO_ROM, start=before[0])


def test_the_ports_are_left_as_found(tmp_path):
    reader = write_rom(tmp_path, build_rom(JOYPAD_READER), "reader.nes")
    nes = velkora.NES(reader)
    mine = plugged(nes)
    mine[0].updateInputs(bits(0x01))  # A
    mine[1].updateInputs(bits(0x80))  # Right
    movie = Movie(reader)
    movie.extend([0x02] * 3, [0x40] * 3)  # B; Left
    seen = []
    movie.play(nes, ports=mine, on_frame=lambda _: seen.append(port_bits(nes)))
    assert seen[-1] == (bits(0x02), bits(0x40))  # the movie drove both ports
    assert port_bits(run_frames(nes, 2)) == (bits(0x01), bits(0x80))
    movie.play(nes)  # without ports: released joypads afterwards
    assert not any(port_bits(run_frames(nes, 2))[0])
    with pytest.raises(TypeError, match="ports"):
        movie.play(nes, ports=[mine[0]])


def test_a_power_on_movie_without_its_cartridge_plays_on_a_console_of_it(tmp_path):
    reader = build_rom(JOYPAD_READER)
    movie = Movie(reader)
    movie.extend([5, 6])
    path = tmp_path / "lost.vmv"
    movie.save(path)
    lost = Movie.load(path)  # not a cartridge velkora knows
    assert lost.image is None and lost == movie
    nes = velkora.NES(write_rom(tmp_path, reader, "reader.nes"))
    assert lost.play(nes) == 2
    after = velkora_gym.snapshot(nes)
    assert Movie.load(path, rom=reader).play(nes) == 2 and velkora_gym.snapshot(nes) == after
    demo = velkora.NES(str(DEMO_ROM))
    before = velkora_gym.snapshot(demo)
    with pytest.raises(ValueError, match="another cartridge"):
        lost.play(demo)
    assert velkora_gym.snapshot(demo) == before


@pytest.mark.parametrize(
    "one, two, error",
    [
        (256, 0, ValueError),
        (-1, 0, ValueError),
        (1.5, 0, ValueError),
        (True, 0, TypeError),
        ("A", 0, TypeError),
        (0, 300, ValueError),
    ],
)
def test_append_takes_masks_only(one, two, error):
    movie = Movie(DEMO_ROM)
    with pytest.raises(error):
        movie.append(one, two)
    assert len(movie) == 0


# --- timing and the reset button ---

PROBE = build_rom(RESET_PROBE)
# What RESET_PROBE stores at $10-$14 (A, X, Y, P, SP) and $20 (its starts), for a movie of
# three frames, the reset button, and two more frames: SP three below each timing's power-on.
AFTER_RESET = {"design": [0x34, 0x56, 0x78, 0x35, 0xFC, 2], "hardware": [0x34, 0x56, 0x78, 0x35, 0xFA, 2]}
OTHER = {"design": "hardware", "hardware": "design"}


def probe_movie(timing: str) -> Movie:
    movie = Movie(PROBE, timing=timing)
    movie.extend([0] * 3)
    movie.append(0x01, reset=True)
    movie.append(0)
    return movie


def probed(ram) -> list[int]:
    return [int(b) for b in ram[0x10:0x15]] + [int(ram[0x20])]


@pytest.mark.parametrize("name", ["run.vmv", "run.fm2", "run.fm2.gz"])
@pytest.mark.parametrize("timing", ["design", "hardware"])
def test_movies_replay_in_their_timing_with_the_reset_button(timing, name, tmp_path):
    movie = probe_movie(timing)
    assert movie.timing == timing and movie.resets == [3]
    movie.save(tmp_path / name)
    raw = (tmp_path / name).read_bytes()
    lines = (gzip.decompress(raw) if name.endswith(".gz") else raw).decode().splitlines()
    if ".fm2" in name:
        assert f"comment velkora-timing {timing}" in lines
        assert [line for line in lines if line.startswith("|")][2:4] == [
            "|0|........|........||",
            "|1|.......A|........||",
        ]
    else:
        assert f"timing {timing}" in lines and "|A.......|........|reset" in lines
    loaded = Movie.load(tmp_path / name, rom=PROBE)
    assert loaded == movie and loaded.timing == timing and loaded.resets == [3] and loaded.comments == []

    nes = velkora.NES(write_rom(tmp_path, PROBE, "probe.nes"))
    velkora_gym.set_timing(nes, OTHER[timing])
    nes.runFrame()
    loaded.play(nes)
    assert velkora_gym.timing(nes) == timing
    assert probed(nes.cpuMem()) == AFTER_RESET[timing]

    batch = Batch(PROBE, 2, obs_type=None, timing=OTHER[timing])
    batch.step(np.zeros(2, np.uint8), 2)
    for on_frame in (None, lambda frame: None):  # in runs of frames, and frame by frame
        loaded.play(batch, 1, on_frame=on_frame)
        assert batch.timing_of(1) == timing and batch.timing_of(0) == OTHER[timing]
        assert probed(batch.ram[1]) == AFTER_RESET[timing]
        assert probed(batch.ram[0])[5] == 1


def test_a_movie_takes_its_start_timing_and_powers_on_in_the_default(monkeypatch):
    batch = Batch(PROBE, 1, obs_type=None, timing="hardware")
    batch.step(np.zeros(1, np.uint8), 2)
    start = batch.snapshot(0)
    assert Movie(PROBE, start=start).timing == "hardware"
    with pytest.raises(ValueError, match="movie's start is a start state of the hardware timing, and timing='design'"):
        Movie(PROBE, start=start, timing="design")
    with pytest.raises(ValueError, match="timing must be"):
        Movie(PROBE, timing="fast")
    monkeypatch.setenv("VELKORA_TIMING", "hardware")
    assert Movie(PROBE).timing == "hardware"
    assert Movie(PROBE, timing="design").timing == "design"
    monkeypatch.setenv("VELKORA_TIMING", "yes")
    with pytest.raises(ValueError, match="VELKORA_TIMING"):
        Movie(PROBE)


def test_velkora_movies_of_the_first_version_replay_in_the_design_timing():
    first = Movie.from_text(velkora_text())
    assert first.timing == "design" and first.resets == []
    start = Batch(DEMO_ROM, 1, obs_type=None, timing="hardware").snapshot(0)
    encoded = "snapshot " + base64.b64encode(start).decode()
    assert Movie.from_text(velkora_text(start=encoded)).timing == "hardware"
    with pytest.raises(MovieError, match="line 5: timing design, but the start snapshot is of the hardware timing"):
        Movie.from_text(velkora_text(**{"velkora-movie": "2", "start": encoded, "timing": "design"}))


FM2_HEADER = ["version 3", "palFlag 0", "port0 1", "port1 1", "FDS 0", "romFilename probe"]


@pytest.mark.parametrize(
    "lines, timing",
    [
        (["emuVersion 22020"], "hardware"),  # another tool: timed as the hardware
        ([], "hardware"),
        (["emuVersion 100"], "design"),  # velkora's own, from before the timing comment
        (["emuVersion 100", "comment velkora-timing hardware"], "hardware"),
        (["emuVersion 22020", "comment velkora-timing design"], "design"),
    ],
)
def test_fm2_movies_name_their_timing_or_replay_in_the_hardwares(lines, timing):
    text = "\n".join([*FM2_HEADER, *lines, "comment author someone", "|1|........|........||"])
    movie = Movie.from_fm2(text, PROBE)
    assert movie.timing == timing and movie.comments == ["author someone"] and movie.resets == [0]


@pytest.mark.parametrize(
    "comments", [["velkora-timing exact"], ["velkora-timing"], ["velkora-timing design", "velkora-timing design"]]
)
def test_fm2_timing_comments_velkora_cannot_read_are_refused(comments):
    text = "\n".join([*FM2_HEADER, *(f"comment {c}" for c in comments), "|0|........|........||"])
    with pytest.raises(MovieError, match="velkora names the timing once"):
        Movie.from_fm2(text, PROBE)


def test_resets_are_kept_by_truncate_and_compared():
    movie = probe_movie("design")
    same = probe_movie("design")
    assert movie == same
    same.truncate(3)
    assert same.resets == [] and same != movie
    assert probe_movie("hardware") != movie
    assert "1 resets" in repr(movie) and "design timing" in repr(movie)


@pytest.mark.parametrize("name", ["run.vmv", "run.fm2"])
@pytest.mark.parametrize("timing", ["design", "hardware"])
def test_a_power_mark_powers_the_console_on_in_the_movies_timing(timing, name, tmp_path):
    movie = Movie(DEMO_ROM, timing=timing)
    movie.extend([0x08, 0, 0x80] * 20)  # Start, then walking right: the game moves on
    after = [0, 0x08, 0, 0x80, 0x80, 0x01] * 5
    movie.append(after[0], power=True)
    movie.extend(after[1:])
    movie.save(tmp_path / name)
    lines = (tmp_path / name).read_text().splitlines()
    assert ("|2|........|........||" if name.endswith(".fm2") else "|........|........|power") in lines
    loaded = Movie.load(tmp_path / name, rom=DEMO_ROM)
    assert loaded == movie and loaded.powers == [60] and loaded.resets == []

    # The frames after the mark run as on a console just made in that timing.
    fresh = Movie(DEMO_ROM, timing=timing)
    fresh.extend(after)
    nes, twin = velkora.NES(str(DEMO_ROM)), velkora.NES(str(DEMO_ROM))
    loaded.play(nes)
    fresh.play(twin)
    assert velkora_gym.timing(nes) == timing
    assert np.array_equal(nes.cpuMem(), twin.cpuMem()) and np.array_equal(nes.getImg(), twin.getImg())
    batch = Batch(DEMO_ROM, 2, obs_type=None)
    loaded.play(batch, 0)
    fresh.play(batch, 1)
    assert np.array_equal(batch.ram[0], batch.ram[1]) and batch.timing_of(0) == timing


def test_a_frame_cannot_be_both_reset_and_powered_on():
    movie = Movie(PROBE)
    with pytest.raises(ValueError, match="not both"):
        movie.append(0, reset=True, power=True)
    assert len(movie) == 0
