"""The example programs: the headless demo, the player and the recorder."""

from __future__ import annotations

import argparse
import importlib
import os
import sys
import wave
from pathlib import Path

import numpy as np
import pytest

import nesrom
import velkora
import velkora_gym
from conftest import REPO, load_script, run_ok
from nesrom import build_rom, nrom_program, write_rom
from velkora_gym.apps import commands
from velkora_gym.console import JOYPAD
from velkora_gym.movie import Movie

EXAMPLES = REPO / "examples"

BLOCK = 1024
FRAME_SAMPLES = 44100 * 341 * 262 / 3 / 1789773  # about 735 samples a frame


def load(name: str):
    if name in ("play", "record"):  # the examples call the package's commands
        return importlib.import_module(f"velkora_gym.apps.{'player' if name == 'play' else name}")
    return load_script(EXAMPLES / f"{name}.py", f"example_{name}")


def wav_samples(path: Path) -> int:
    with wave.open(str(path)) as wav:
        assert (wav.getnchannels(), wav.getsampwidth(), wav.getframerate()) == (1, 2, 44100)
        return wav.getnframes()


def audio_blocks(frames: int) -> set[int]:
    """Samples handed over in `frames` frames: whole blocks, the first one silent."""
    blocks = int(frames * FRAME_SAMPLES) // BLOCK + 1
    return {blocks * BLOCK, (blocks - 1) * BLOCK}


def sdl_dummies(monkeypatch=None) -> dict:
    values = {"SDL_VIDEODRIVER": "dummy", "SDL_AUDIODRIVER": "dummy", "PYGAME_HIDE_SUPPORT_PROMPT": "1"}
    if monkeypatch:
        for key, value in values.items():
            monkeypatch.setenv(key, value)
    return values


# ---------------------------------------------------------------- demo.py


def test_demo_writes_screenshot_sound_and_speed(demo_cartridge, tmp_path, capsys):
    from PIL import Image

    demo = load("demo")
    assert demo.main([str(demo_cartridge), "--frames", "90", "--out", str(tmp_path)]) == 0
    printed = capsys.readouterr().out
    assert "90/90 frames" in printed
    assert "frames per second" in printed
    picture = np.asarray(Image.open(tmp_path / "velkora-demo.png"))
    assert picture.shape == (240, 256, 3)
    reference = nesrom.run_frames(velkora.NES(str(demo_cartridge)), 90)
    assert (picture == np.asarray(reference.getImg())).all()
    assert wav_samples(tmp_path / "velkora-demo.wav") in audio_blocks(90)


# ---------------------------------------------------------------- play.py


@pytest.mark.parametrize("how", ["command", "example"])
def test_player_runs_headless_and_quits_after_n_frames(how, tmp_path):
    """Without a ROM the player plays the demo cartridge packaged with velkora_gym: no
    assembler needed."""
    pytest.importorskip("pygame")
    env = dict(os.environ, **sdl_dummies())
    command = (
        [str(Path(sys.executable).parent / "velkora-play")]
        if how == "command"
        else [sys.executable, str(EXAMPLES / "play.py")]
    )
    done = run_ok([*command, "--frames", "40", "--states", tmp_path], env=env, cwd=tmp_path)
    assert "played 40 frames" in done.stdout
    assert "iNES" not in done.stdout and "Battery" not in done.stdout  # the loader's lines: only with --verbose


def test_commands_name_the_package_they_miss(monkeypatch, capsys):
    monkeypatch.setattr(commands.importlib.util, "find_spec", lambda name: None)
    for command in (commands.play, commands.record, commands.studio):
        assert command() == 2
        assert "pip install velkora[play]" in capsys.readouterr().err


def test_player_keys_move_pause_save_and_load(demo_cartridge, tmp_path, monkeypatch):
    pygame = pytest.importorskip("pygame")
    sdl_dummies(monkeypatch)
    play = load("play")
    player = play.Player(demo_cartridge, scale=1, states=tmp_path)
    try:
        assert player.screen.get_size() == (256, 240)
        nes, ram = player.nes, player.nes.cpuMem()
        player.run(max_frames=20)
        x = int(nes.OAM()[7])

        pygame.event.post(pygame.event.Event(pygame.KEYDOWN, key=pygame.K_RIGHT))
        player.run(max_frames=30)
        assert int(nes.OAM()[7]) > x
        pygame.event.post(pygame.event.Event(pygame.KEYUP, key=pygame.K_RIGHT))
        for key in (pygame.K_3, pygame.K_F5):
            pygame.event.post(pygame.event.Event(pygame.KEYDOWN, key=key))
        player.run(max_frames=31)
        assert (tmp_path / "3").stat().st_size == 82189
        saved_x = int(ram[0x0A])  # the robot's X in the demo's RAM

        pygame.event.post(pygame.event.Event(pygame.KEYDOWN, key=pygame.K_LEFT))
        player.run(max_frames=45)
        assert int(ram[0x0A]) < saved_x
        pygame.event.post(pygame.event.Event(pygame.KEYUP, key=pygame.K_LEFT))
        pygame.event.post(pygame.event.Event(pygame.KEYDOWN, key=pygame.K_F9))
        player.run(max_frames=46)
        assert int(ram[0x0A]) == saved_x

        # Paused, the loop runs no frame until it is told to quit.
        frames = nes.frameCount()
        pygame.event.post(pygame.event.Event(pygame.KEYDOWN, key=pygame.K_p))
        pygame.event.post(pygame.event.Event(pygame.QUIT))
        player.run(max_frames=1000)
        assert nes.frameCount() == frames and not player.running
    finally:
        player.close()


def test_player_puts_states_beside_the_battery_ram(monkeypatch, tmp_path):
    pytest.importorskip("pygame")
    play = load("play")
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path))
    assert play.default_states_dir(Path("/x/My Game.nes")) == tmp_path / "velkora" / "My_Game" / "states"
    monkeypatch.setenv("XDG_DATA_HOME", "relative/ignored")
    assert play.default_states_dir(Path("a.nes")) == Path.home() / ".local/share/velkora/a/states"


# ---------------------------------------------------------------- record.py


def test_recorder_writes_gif_and_wav(demo_cartridge, tmp_path, capsys):
    iio = pytest.importorskip("imageio.v3")
    record = load("record")
    gif = tmp_path / "clip.gif"
    assert (
        record.main(
            [str(demo_cartridge), "--frames", "64", "--every", "4", "--out", str(gif), "--press", "20-64:Right"]
        )
        == 0
    )
    frames = iio.imread(gif, index=None)
    assert frames.shape[1:3] == (240, 256)
    assert 10 <= frames.shape[0] <= 16  # identical leading frames may merge
    printed = capsys.readouterr().out
    assert "16 pictures of 256 x 240, every 4th frame" in printed and "64 frames run in" in printed
    assert ("the GIF holds" in printed) == (frames.shape[0] < 16)
    reference = velkora.NES(str(demo_cartridge))
    pad = nesrom.plug_pad(reference)
    for frame in range(1, 65):
        pad.updateInputs(record.inputs_at(frame, [(20, 64, {"Right"})]))
        reference.runFrame()
    assert np.abs(frames[-1][..., :3].astype(int) - np.asarray(reference.getImg())).mean() < 1
    assert wav_samples(tmp_path / "clip.wav") in audio_blocks(64)


@pytest.mark.parametrize("every, pictures", [(1, 40), (2, 20), (3, 13)])
def test_the_recorder_says_how_many_frames_the_gif_holds(tmp_path, capsys, every, pictures):
    iio = pytest.importorskip("imageio.v3")

    still = write_rom(tmp_path, build_rom(nrom_program("loop:\n    jmp loop")), "still.nes")  # one picture, ever
    gif = tmp_path / "still.gif"
    assert load("record").main([still, "--frames", "40", "--every", str(every), "--out", str(gif)]) == 0
    held = iio.imread(gif, index=None).shape[0]
    assert held < pictures
    printed = capsys.readouterr().out
    assert f"({pictures} pictures of 256 x 240" in printed
    assert f"the GIF holds {held} frame{'s' if held != 1 else ''}, equal pictures in a row merged" in printed


@pytest.mark.parametrize("count, every", [(1, 1), (30, 1), (150, 2), (7, 3)])
def test_gif_delays_keep_the_frame_rate(count, every):
    record = load("record")
    delays = record.gif_durations(count, every)
    assert len(delays) == count and all(d % 10 == 0 and d > 0 for d in delays)
    assert abs(sum(delays) - count * every * 1000 / record.FRAME_RATE) <= 5


@pytest.mark.parametrize(
    "spec, expected",
    [
        ("130:A", (130, 130, {"A"})),
        ("60-120:Right+up", (60, 120, {"Right", "Up"})),
        ("1-2:select+START", (1, 2, {"Select", "Start"})),
        ("A", None),
        ("10:Jump", None),
        ("x-3:A", None),
        ("9-3:A", None),
    ],
)
def test_press_specs(spec, expected):
    if expected is None:
        with pytest.raises(argparse.ArgumentTypeError):
            load("record").parse_press(spec)
    else:
        assert load("record").parse_press(spec) == expected


@pytest.mark.parametrize("frame, held", [(4, ["A"]), (5, ["A", "Left"]), (10, ["A"]), (11, [])])
def test_overlapping_presses_add_up(frame, held):
    record = load("record")
    presses = [record.parse_press("1-10:A"), record.parse_press("5-6:Left")]
    state = record.inputs_at(frame, presses)
    assert [name for name, on in zip(JOYPAD, state) if on] == held


def test_recorder_writes_mp4_when_ffmpeg_is_there(demo_cartridge, tmp_path):
    pytest.importorskip("imageio_ffmpeg")
    iio = pytest.importorskip("imageio.v3")
    out = tmp_path / "clip.mp4"
    assert load("record").main([str(demo_cartridge), "--frames", "20", "--out", str(out)]) == 0
    assert iio.imread(out, index=None).shape[0] == 10


@pytest.mark.parametrize("name, frames, kept", [("run.vmv", [], 60 // 4), ("run.fm2", ["--frames", "41"], 41 // 4)])
def test_recorder_turns_a_movie_into_video_and_sound(demo_cartridge, tmp_path, capsys, name, frames, kept):
    iio = pytest.importorskip("imageio.v3")

    movie = Movie(demo_cartridge)
    movie.extend([0x80] * 30 + [0x90] * 30, [0x01] * 60)
    movie.save(tmp_path / name)
    gif = tmp_path / "clip.gif"
    assert load("record").main(["--movie", str(tmp_path / name), "--every", "4", "--out", str(gif)] + frames) == 0
    shown = iio.imread(gif, index=None)
    assert 3 <= shown.shape[0] <= kept  # identical leading frames may merge
    reference = velkora.NES(str(demo_cartridge))
    movie.truncate(kept * 4)
    movie.play(reference)
    assert np.abs(shown[-1][..., :3].astype(int) - np.asarray(reference.getImg())).mean() < 1
    assert wav_samples(tmp_path / "clip.wav") in audio_blocks(int(frames[1]) if frames else 60)
    with pytest.raises(SystemExit):
        load("record").main(["--movie", str(tmp_path / name), "--press", "1:A"])
    assert "--press and --movie" in capsys.readouterr().err


# Paints the backdrop green when SP was $FD at reset (the hardware timing's power-on),
# red otherwise (the design's $FF), once the PPU has warmed up.
SP_PAINTER = """
    tsx
    lda #$16
    cpx #$fd
    bne chosen
    lda #$2a
chosen:
    sta $15
    bit $2002
first:
    bit $2002
    bpl first
second:
    bit $2002
    bpl second
    lda #$3f
    sta $2006
    lda #$00
    sta $2006
    lda $15
    sta $2007
    lda #$00
    sta $2006
    sta $2006
spin:
    jmp spin
"""


@pytest.mark.parametrize("timing", ["design", "hardware"])
def test_recorder_records_in_the_timing_asked_for_and_a_movie_in_its_own(timing, tmp_path, capsys, monkeypatch):
    iio = pytest.importorskip("imageio.v3")

    rom = write_rom(tmp_path, build_rom(nrom_program(SP_PAINTER)), "painter.nes")
    green = {"design": False, "hardware": True}

    def backdrop_is_green(gif: Path) -> bool:
        last = iio.imread(gif, index=None)[-1][..., :3].reshape(-1, 3).astype(int).mean(axis=0)
        return bool(last[1] > last[0])

    record = load("record")
    assert record.main([rom, "--frames", "8", "--out", str(tmp_path / "a.gif"), "--timing", timing]) == 0
    assert backdrop_is_green(tmp_path / "a.gif") == green[timing]
    monkeypatch.setenv("VELKORA_TIMING", timing)
    assert record.main([rom, "--frames", "8", "--out", str(tmp_path / "b.gif")]) == 0
    assert backdrop_is_green(tmp_path / "b.gif") == green[timing]
    monkeypatch.delenv("VELKORA_TIMING")

    movie = Movie(rom, timing=timing)
    movie.extend([0] * 8)
    movie.save(tmp_path / "run.vmv")
    assert record.main([rom, "--movie", str(tmp_path / "run.vmv"), "--out", str(tmp_path / "c.gif")]) == 0
    assert backdrop_is_green(tmp_path / "c.gif") == green[timing]
    other = "design" if timing == "hardware" else "hardware"
    with pytest.raises(SystemExit):
        record.main([rom, "--movie", str(tmp_path / "run.vmv"), "--timing", other])
    assert f"--movie replays in the {timing} timing, and --timing {other}" in capsys.readouterr().err
    assert velkora_gym.default_timing() == "design"
