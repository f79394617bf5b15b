"""The studio driven headless: a search by keys and typed commands, a start state, and the
folder it writes loading and training."""

from __future__ import annotations

import json
import os
import stat
import sys

import numpy as np
import pytest

import nesrom
from conftest import run_ok, write_integration

gym = pytest.importorskip("gymnasium")
velkora_gym = pytest.importorskip("velkora_gym")
import velkora  # noqa: E402
from velkora_gym import integration  # noqa: E402
from velkora_gym.apps.studio import Studio, draw, main  # noqa: E402
from velkora_gym.envs import DEMO_ROM, VelkoraEnv  # noqa: E402
from velkora_gym.movie import Movie  # noqa: E402

COUNTER = nesrom.build_rom(nesrom.PRG_RAM_COUNTER)


pytestmark = pytest.mark.usefixtures("headless")


def play(studio: Studio, frames: int, *keys: str) -> None:
    for key in keys:
        studio.key(key, True)
    for _ in range(frames):
        studio.tick()
    for key in keys:
        studio.key(key, False)


def typed(studio: Studio, line: str) -> None:
    studio.key("tab")
    studio.text(line)
    studio.key("return")


def test_a_search_by_keys_and_commands_writes_a_folder_that_trains(tmp_path):
    rom = nesrom.write_rom(tmp_path, COUNTER, "counter.nes")
    studio = Studio(rom, tmp_path / "counter")
    play(studio, 3)
    typed(studio, "types >n4 |u1 <u2")
    play(studio, 10)
    studio.key("f4")  # unchanged
    play(studio, 30, "x")  # A held: the counter climbs
    studio.key("f1")  # increased
    assert len(studio.search) > 1
    play(studio, 20, "x")
    typed(studio, "+ 20")
    typed(studio, "= 50")
    assert studio.search.candidates() == [(0x6123, ">n4", 50)]
    typed(studio, "watch score")
    typed(studio, "watch frames $0000 |u1")
    typed(studio, "reward score 1")
    typed(studio, "done score greater-or-equal 60")
    studio.key("p")
    assert studio.paused
    play(studio, 5)
    assert studio.values()["score"] == 50  # paused: no frame ran
    studio.key(".")
    assert studio.frame == 64
    studio.key("f6")  # the start state, and every file
    assert (tmp_path / "counter" / "Start.state").read_bytes().startswith(b"VELKSNAP")
    assert "score = 50" in studio.overlay()
    play(studio, 10, "x")
    studio.key("f9")  # back to the start state
    assert studio.values()["score"] == 50

    folder = tmp_path / "counter"
    data = json.loads((folder / "data.json").read_text())
    assert data == {"info": {"score": {"address": 0x6123, "type": ">n4"}, "frames": {"address": 0, "type": "|u1"}}}
    assert json.loads((folder / "metadata.json").read_text())["default_state"] == "Start"
    assert integration.load(folder).rom_sha  # rom.sha written

    # The folder loads (ROM passed: the folder has no rom.nes) and a few episodes of a
    # policy gradient learn that A, the only button that scores, is worth pressing.
    env = gym.make(
        "velkora/NES-v0", rom=rom, integration=str(folder), obs_type="ram", repeat_action_probability=0.0, frameskip=4
    )
    obs, info = env.reset(seed=0)
    assert info["score"] == 50
    rng = np.random.default_rng(0)
    logits = np.zeros(env.action_space.n)
    a_index = 5  # "simple": NOOP up down left right A B
    for _ in range(8):
        env.reset()
        probabilities = np.exp(logits) / np.exp(logits).sum()
        taken, rewards, done = [], [], False
        while not done and len(taken) < 30:
            action = int(rng.choice(len(logits), p=probabilities))
            _, reward, terminated, truncated, _ = env.step(action)
            taken.append(action)
            rewards.append(reward)
            done = terminated or truncated
        returns = np.cumsum(rewards[::-1])[::-1]
        for action, g in zip(taken, returns - returns.mean()):
            logits += 0.5 * g * (np.eye(len(logits))[action] - probabilities)
    assert np.argmax(logits) == a_index


def test_typed_mistakes_are_shown_and_an_existing_folder_is_kept(tmp_path):
    rom = nesrom.write_rom(tmp_path, COUNTER, "counter.nes")
    scenario = {"crop": [0, 8, 0, 0], "done": {"nodes": {"n": {"variables": {"frames": {"op": "zero"}}}}}}
    metadata = {"metadata.json": {"default_state": None, "author": "someone"}}
    folder = write_integration(
        tmp_path / "game", {"info": {"frames": {"address": 0, "type": "|u1"}}}, scenario, metadata
    )
    studio = Studio(rom, folder)
    for line, message in [
        ("= lots", "not a number"),
        ("watch score", "candidates"),
        ("jump", "unknown command"),
        ("reward lives", "watch lives first"),
        ("done frames bigger 3", "OP is one of"),
        ("watch x $0900 |u1", "outside RAM"),
        ("types <q2", "not an endianness"),
        ("state ../up", "not a state name"),
        ("unwatch frames", "used by"),
    ]:
        if line == "unwatch frames":
            typed(studio, "done frames zero")
        typed(studio, line)
        assert message in studio.log[-1], (line, studio.log[-1])
    studio.key("f8")
    scenario = json.loads((folder / "scenario.json").read_text())
    assert scenario["crop"] == [0, 8, 0, 0] and "n" in scenario["done"]["nodes"]
    assert scenario["done"]["variables"] == {"frames": {"op": "zero"}}
    assert json.loads((folder / "metadata.json").read_text())["author"] == "someone"
    (folder / "data.json").write_text("{")
    with pytest.raises(ValueError, match="data.json"):
        Studio(rom, folder)


def test_the_window_draws_the_overlay_over_the_picture():
    pygame = pytest.importorskip("pygame")

    studio = Studio(DEMO_ROM)
    play(studio, 30)
    typed(studio, "help")
    pygame.display.init()
    pygame.font.init()
    try:
        surface = pygame.Surface((768, 720))
        draw(surface, studio, pygame.font.Font(None, 24))
        shown = pygame.surfarray.array3d(surface).transpose(1, 0, 2)
        picture = np.repeat(np.repeat(studio.picture(), 3, axis=0), 3, axis=1)
        lines = len(studio.overlay())
        assert lines >= 4
        assert not np.array_equal(shown[: lines * 16], picture[: lines * 16])  # text over the top
        assert np.array_equal(shown[600:], picture[600:])  # the picture below it
    finally:
        pygame.display.quit()


def machine(nes) -> tuple[bytes, bytes]:
    return np.array(nes.cpuMem()[:0x800]).tobytes(), np.array(nes.getImg()).tobytes()


def test_f10_records_a_movie_through_fast_forward_and_frame_steps(tmp_path):
    studio = Studio(DEMO_ROM, tmp_path / "demo", record=tmp_path / "run.vmv", ff=3)
    play(studio, 5, "right")
    studio.key("f10")
    play(studio, 4, "x")
    studio.key("f", True)
    play(studio, 5, "up")  # 15 frames
    studio.key("f", False)
    studio.key("p")
    studio.key("right")
    studio.key(".")  # one more frame, paused
    studio.key("right", False)
    expected = machine(studio.nes)
    typed(studio, "record")  # the command stops it as F10 does
    assert studio.recordings == [tmp_path / "run.vmv"] and "20 frames" in studio.log[-1]
    movie = Movie.load(tmp_path / "run.vmv")
    assert movie.buttons[:, 0].tolist() == [0x01] * 4 + [0x10] * 15 + [0x80]
    assert not movie.buttons[:, 1].any()
    nes = velkora.NES(str(DEMO_ROM))
    movie.play(nes)
    assert machine(nes) == expected
    studio.key("p")  # playing again
    studio.key("f10")  # a second movie
    studio.key("f9")  # no start state yet: refused, and the recording goes on
    assert studio.recording is not None
    studio.key("f6")
    play(studio, 2)
    studio.key("f9")  # back to the start state: a jump in time ends the recording
    assert studio.recording is None and studio.recordings[-1] == tmp_path / "run-2.vmv"
    assert len(Movie.load(studio.recordings[-1])) == 2


def test_a_movie_plays_back_in_the_studio_then_the_keyboard_takes_over(tmp_path):
    movie = Movie(DEMO_ROM)
    movie.extend([0x80] * 25 + [0x20] * 25, [0x08] * 50)
    reference = velkora.NES(str(DEMO_ROM))
    movie.play(reference)
    studio = Studio(DEMO_ROM, tmp_path / "demo", movie=movie, ff=5)
    studio.key("left")  # ignored while the movie plays
    studio.key("f", True)
    while studio.playback is not None:
        studio.tick()
    assert studio.frame == 50 and machine(studio.nes) == machine(reference)
    assert "your turn" in studio.log[-1]
    x = int(studio.nes.cpuMem()[0x0A])
    studio.key("f", False)
    studio.tick()
    assert int(studio.nes.cpuMem()[0x0A]) == x - 2


def test_the_studio_command_line_plays_and_records_movies(tmp_path, capsys):
    movie = Movie(DEMO_ROM)
    movie.extend([0x80] * 12)
    movie.save(tmp_path / "in.fm2")
    movie.save(tmp_path / "in.vmv")
    assert (
        main(
            [
                str(DEMO_ROM),
                "--integration",
                str(tmp_path / "demo"),
                "--movie",
                str(tmp_path / "in.fm2"),
                "--frames",
                "20",
                "--scale",
                "1",
                "--record",
                str(tmp_path / "out.vmv"),
            ]
        )
        == 0
    )
    other = nesrom.write_rom(tmp_path, COUNTER, "counter.nes")
    assert main([other, "--movie", str(tmp_path / "in.vmv"), "--frames", "5"]) == 1
    assert "SHA-1" in capsys.readouterr().err


@pytest.mark.parametrize("timing", ["design", "hardware"])
def test_the_studio_runs_the_timing_asked_for_and_its_start_states_keep_it(timing, tmp_path, capsys, monkeypatch):
    probe = nesrom.build_rom(nesrom.RESET_PROBE)
    rom = nesrom.write_rom(tmp_path, probe, "probe.nes")
    studio = Studio(rom, tmp_path / "probe", timing=timing)
    play(studio, 2)
    assert velkora_gym.timing(studio.nes) == timing and studio.nes.cpuMem()[0x14] == nesrom.POWER_ON_SP[timing]
    typed(studio, "watch starts $0020 |u1")
    studio.key("f6")
    # The folder's start state carries the timing, and environments follow it.
    env = VelkoraEnv(rom, integration=tmp_path / "probe")
    assert env.timing == timing
    other = "design" if timing == "hardware" else "hardware"
    again = Studio(rom, tmp_path / "probe", timing=other)
    typed(again, "load Start")
    assert velkora_gym.timing(again.nes) == timing and f"({timing} timing)" in again.log[-1]

    monkeypatch.setenv("VELKORA_TIMING", timing)
    assert velkora_gym.timing(Studio(rom, tmp_path / "other").nes) == timing
    monkeypatch.delenv("VELKORA_TIMING")
    movie = Movie(rom, timing=timing)
    movie.extend([0] * 3)
    movie.save(tmp_path / "in.vmv")
    assert (
        main([rom, "--integration", str(tmp_path / "x"), "--movie", str(tmp_path / "in.vmv"), "--timing", other]) == 1
    )
    assert f"replays in the {timing} timing, and the {other} one" in capsys.readouterr().err


def test_a_folder_made_in_the_studio_is_found_by_game_in_a_new_process(tmp_path, data_home):
    rom = nesrom.write_rom(tmp_path, COUNTER, "counter.nes")
    studio = Studio(rom)  # no folder given: the user's integrations folder
    assert studio.folder == data_home / "velkora" / "integrations" / "counter"
    play(studio, 3)
    for line in (
        "watch score $6123 >n4",
        "reward score 1",
        "done score greater-or-equal 60",
        "actions none UP DOWN | none A",
    ):
        studio.key("Tab")
        studio.text(line)
        studio.key("Enter")  # as the documentation names the keys
    studio.key("F6")
    assert (studio.folder / "Start.state").is_file()

    env = {key: value for key, value in os.environ.items() if key != "VELKORA_INTEGRATIONS"}
    env["XDG_DATA_HOME"] = str(data_home)
    script = """
import gymnasium as gym
import velkora_gym

env = gym.make("velkora/NES-v0", game="counter", obs_type="ram", frameskip=4, repeat_action_probability=0.0)
obs, info = env.reset(seed=0)
steps, total, ended = 0, 0.0, False
while not ended and steps < 40:
    obs, reward, ended, truncated, info = env.step([0, 1])  # no direction, A
    steps += 1
    total += reward
print(env.action_space, info["score"], total, steps, ended)
"""
    done = run_ok([sys.executable, "-c", script], env=env, cwd=tmp_path)
    assert done.stdout.split() == ["MultiDiscrete([3", "2])", "60", "60.0", "15", "True"]
    listed = run_ok([sys.executable, "-m", "velkora_gym.integration", "list"], env=env, timeout=60)
    line = next(line for line in listed.stdout.splitlines() if line.split()[0] == "counter")
    assert str(studio.folder) in line and "imported" in line


@pytest.mark.parametrize(
    "name, held",
    [
        ("Enter", "start"),
        ("RETURN", "start"),
        ("Right Shift", "select"),
        ("rshift", "select"),
        ("X", "A"),
        ("up", "up"),
    ],
)
def test_pad_keys_by_the_documentation_s_names_in_any_case(tmp_path, name, held):
    studio = Studio(nesrom.write_rom(tmp_path, COUNTER), tmp_path / "game")
    studio.key(name)
    assert studio.held == {held}
    studio.key(name, False)
    assert studio.held == set()


def test_command_keys_by_the_documentation_s_names(tmp_path):
    studio = Studio(nesrom.write_rom(tmp_path, COUNTER), tmp_path / "game")
    studio.key("P")
    assert studio.paused
    studio.key("Period")
    studio.key(".")
    assert studio.frame == 2
    studio.key("F6")
    assert (tmp_path / "game" / "Start.state").is_file()
    studio.key("TAB")
    assert studio.typing == ""
    studio.key("Esc")  # closes the command line
    assert studio.typing is None and studio.running
    studio.key("ESCAPE")
    assert not studio.running


@pytest.mark.parametrize("name", ["F5", "q", "left ctrl", ""])
def test_a_key_the_studio_does_not_use_is_refused_with_the_names(tmp_path, name):
    studio = Studio(nesrom.write_rom(tmp_path, COUNTER), tmp_path / "game")
    with pytest.raises(ValueError, match="its keys: Up, Down.*Right Shift.*F6"):
        studio.key(name)


def test_action_groups_by_command_go_into_the_scenario(tmp_path):
    rom = nesrom.write_rom(tmp_path, COUNTER)
    folder = tmp_path / "game"
    studio = Studio(rom, folder)
    typed(studio, "watch frames $0000 |u1")
    for line, message in [
        ("actions none JUMP", "unknown button 'JUMP'"),
        ("actions | A", "usage"),
        ("actions add none | A", "usage"),
        ("actions", "none set"),
    ]:
        typed(studio, line)
        assert message in studio.log[-1], (line, studio.log[-1])
    typed(studio, "actions none up+left DOWN | - a")
    typed(studio, "actions add none Start")
    typed(studio, "actions")
    assert studio.log[-1] == "actions: [none UP+LEFT DOWN] x [none A] x [none START]"
    studio.key("F8")
    assert json.loads((folder / "scenario.json").read_text())["actions"] == [
        [[], ["UP", "LEFT"], ["DOWN"]],
        [[], ["A"]],
        [[], ["START"]],
    ]
    assert integration.load(folder).actions == [[0x00, 0x50, 0x20], [0x00, 0x01], [0x00, 0x08]]
    assert Studio(rom, folder).actions == studio.actions  # an edited folder keeps them
    typed(studio, "actions off")
    studio.key("F8")
    assert "actions" not in json.loads((folder / "scenario.json").read_text())


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o002])
def test_files_are_written_with_the_user_s_umask(tmp_path, data_home, umask):
    old = os.umask(umask)
    try:
        studio = Studio(nesrom.write_rom(tmp_path, COUNTER, "counter.nes"), tmp_path / "game")
        studio.key("F6")
    finally:
        os.umask(old)
    written = sorted(studio.written)
    assert {path.name for path in written} >= {"Start.state", "data.json", "scenario.json", "metadata.json", "rom.sha"}
    assert any(path.parent == data_home / "velkora" / "roms" for path in written)  # the ROM imported too
    assert {path: stat.S_IMODE(path.stat().st_mode) for path in written} == {path: 0o666 & ~umask for path in written}


def test_the_command_says_what_it_wrote(tmp_path, capsys):
    rom = nesrom.write_rom(tmp_path, COUNTER, "counter.nes")
    assert main([rom, "--integration", str(tmp_path / "game"), "--frames", "3", "--scale", "1"]) == 0
    printed = capsys.readouterr().out
    assert "no integration files written" in printed and "writing" not in printed
    assert not (tmp_path / "game").exists()
