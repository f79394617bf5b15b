"""The player (velkora-play) driven headless by a scripted input source: two players on
keys and pads, fast-forward, rewind, mapping files, screenshots, full screen, battery RAM."""

from __future__ import annotations

import re
from pathlib import Path

import numpy as np
import pytest

import velkora
import velkora_gym
from nesrom import (
    JOYPAD_READER,
    POWER_ON_SP,
    RESET_PROBE,
    build_rom,
    mask_bits,
    nrom_program,
    plug_pad,
    port_bits,
    write_rom,
)
from velkora_gym.console import JOYPAD

pygame = pytest.importorskip("pygame")

from velkora_gym.apps import audio, keymaps, rewind, window  # noqa: E402
from velkora_gym.apps import player as play  # noqa: E402
from velkora_gym.envs import DEMO_ROM  # noqa: E402
from velkora_gym.movie import Movie  # noqa: E402

pytestmark = pytest.mark.usefixtures("headless")

K = pygame


def down(*keys):
    return [keymaps.Key(k, True) for k in keys]


@pytest.fixture
def make_player(tmp_path):
    made = []

    def make(rom, script=None, **options):
        options.setdefault("mute", True)
        options.setdefault("scale", 1)
        player = play.Player(
            rom, states=tmp_path / "states", realtime=False, source=keymaps.ScriptedInput(script or {}), **options
        )
        made.append(player)
        return player

    yield make
    for player in made:
        player.close()


@pytest.fixture(scope="module")
def pads_rom(tmp_path_factory):
    return Path(write_rom(tmp_path_factory.mktemp("pads"), build_rom(JOYPAD_READER), "pads.nes"))


def bits(*names):
    return [int(b in names) for b in JOYPAD]


# ---------------------------------------------------------------- players and pads


@pytest.mark.parametrize(
    "pad2, events, port0, port1",
    [
        (False, down(K.K_x, K.K_RIGHT, K.K_f, K.K_w, K.K_t), bits("A", "Right"), bits("B", "Up", "Start")),
        (
            False,
            [
                keymaps.PadAdded(10, "one"),
                keymaps.PadAdded(11, "two"),
                keymaps.PadButton(10, 1, True),
                keymaps.PadHat(10, 0, 1, 0),
                keymaps.PadButton(11, 0, True),
                keymaps.PadAxis(11, 1, -0.9),
                keymaps.PadButton(11, 7, True),
            ],
            bits("A", "Right"),
            bits("B", "Up", "Start"),
        ),
        (
            True,
            down(K.K_x, K.K_RIGHT)
            + [
                keymaps.PadAdded(5, "pad"),
                keymaps.PadButton(5, 0, True),
                keymaps.PadHat(5, 0, 0, 1),
                keymaps.PadButton(5, 6, True),
            ],
            bits("A", "Right"),
            bits("B", "Up", "Select"),
        ),
        # Opposites cancel per player, also when one comes from the keys and the other from the pad.
        (
            True,
            down(K.K_LEFT, K.K_RIGHT, K.K_x, K.K_w, K.K_f) + [keymaps.PadAdded(5, "pad"), keymaps.PadHat(5, 0, 0, -1)],
            bits("A"),
            bits("B"),
        ),
    ],
    ids=["two keyboard blocks", "two pads", "--pad2", "opposites cancel"],
)
def test_each_player_reaches_its_port(make_player, pads_rom, pad2, events, port0, port1):
    player = make_player(pads_rom, {0: events}, pad2=pad2)
    for _ in range(3):
        player.tick()
    assert port_bits(player.nes) == (port0, port1)


@pytest.mark.parametrize(
    "events, held",
    [
        ([keymaps.PadAxis(1, 0, 0.3)], []),  # inside the dead zone
        ([keymaps.PadAxis(1, 0, 0.8)], ["Right"]),
        ([keymaps.PadAxis(1, 0, 0.8), keymaps.PadAxis(1, 0, 0.1)], []),  # back to the middle
        ([keymaps.PadAxis(1, 1, -0.7), keymaps.PadAxis(1, 0, -0.6)], ["Up", "Left"]),
        ([keymaps.PadHat(1, 0, -1, 1)], ["Up", "Left"]),
        ([keymaps.PadHat(1, 0, -1, 1), keymaps.PadHat(1, 0, 0, 0)], []),
        ([keymaps.PadButton(1, b, True) for b in (0, 1, 6, 7)], ["A", "B", "Select", "Start"]),
        ([keymaps.PadButton(1, 1, True), keymaps.PadButton(1, 1, False)], []),
        ([keymaps.PadHat(1, 0, -1, 0), keymaps.PadAxis(1, 0, 0.9)], []),  # hat left + stick right
        ([keymaps.PadButton(2, 1, True)], []),  # a pad never plugged in
    ],
)
def test_pad_inputs_and_dead_zone(events, held):
    controls = keymaps.Controls(dead_zone=0.5)
    controls.pad_added(1, "pad")
    for event in events:
        getattr(
            controls, {"PadAxis": "pad_axis", "PadHat": "pad_hat", "PadButton": "pad_button"}[type(event).__name__]
        )(*event)
    assert controls.buttons(0) == bits(*held)


def test_pads_plugged_and_unplugged_while_playing(make_player, pads_rom):
    script = {
        2: [keymaps.PadAdded(7, "first"), keymaps.PadButton(7, 1, True)],
        4: [keymaps.PadAdded(8, "second"), keymaps.PadButton(8, 0, True)],
        6: [keymaps.PadAdded(9, "third"), keymaps.PadHat(9, 0, 0, -1)],  # both players taken: waits
        8: [keymaps.PadRemoved(7)],  # the third takes player 1
        10: [keymaps.PadRemoved(9), keymaps.Key(K.K_x, True), keymaps.FocusLost()],
    }
    player = make_player(pads_rom, script)
    seen = []
    for _ in range(12):
        player.tick()
        seen.append(port_bits(player.nes))
    assert seen[1] == (bits(), bits())
    assert seen[3] == (bits("A"), bits())
    assert seen[5] == seen[7] == (bits("A"), bits("B"))
    assert seen[9] == (bits("Down"), bits("B"))
    assert seen[11] == (bits(), bits("B"))  # nothing stuck after unplugging
    assert player.message == "player 1's pad removed (third)"


def test_config_and_map_change_the_mapping(tmp_path):
    config = tmp_path / "play.toml"
    config.write_text('[pad]\nA = "button2"\n\n[keys1]\nb = ["j", "K"]\nfast_forward = "lctrl"\n')
    controls = keymaps.Controls(keymaps.build_mapping(keymaps.load_config(config), ["keys2.Up=i", "pad.Start="]))
    for key in (K.K_j, K.K_k, K.K_z, K.K_w, K.K_i, K.K_LCTRL):
        controls.key(key, True)
    controls.pad_added(3, "pad")
    for button in (1, 2, 7):
        controls.pad_button(3, button, True)
    assert controls.buttons(0) == bits("A", "B")  # button2, j; not button1/7 nor z
    assert controls.buttons(1) == bits("Up")  # i, and w no longer
    assert controls.command("FastForward") and not controls.command("Rewind")
    controls.key(K.K_j, False)
    assert controls.buttons(0) == bits("A", "B")  # k still holds B


@pytest.mark.parametrize(
    "config, options, named",
    [
        ('[pad]\nJump = "button1"\n', [], "'Jump'"),
        ('[keys1]\nA = "nosuchkey"\n', [], "'nosuchkey'"),
        ('[keys3]\nA = "x"\n', [], "'keys3'"),
        ('[pad]\nA = "hat0north"\n', [], "'hat0north'"),
        ('[pad]\nA = "x"\n', [], "'x'"),
        ('[keys1]\nA = "button1"\n', [], "'button1'"),
        ("[keys2]\nA = 3\n", [], "keys2.A"),
        ("A = [\n", [], "play.toml"),
        (None, ["--map", "pad.Turbo=button3"], "'Turbo'"),
        (None, ["--map", "keys1.B=f5"], "save state"),
        (None, ["--map", "padA=button1"], "SECTION.BUTTON"),
    ],
)
def test_unknown_names_are_refused(tmp_path, monkeypatch, capsys, config, options, named):
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path))  # no user config
    if config is not None:
        (tmp_path / "play.toml").write_text(config)
        options = ["--config", str(tmp_path / "play.toml"), *options]
    with pytest.raises(SystemExit) as stopped:
        play.main(["no-such.nes", *options])
    assert stopped.value.code == 2
    err = capsys.readouterr().err
    assert "usage:" in err and named in err


# ---------------------------------------------------------------- fast-forward and rewind


@pytest.mark.parametrize(
    "ff, hold, release",
    [
        (4, [keymaps.Key(K.K_TAB, True)], [keymaps.Key(K.K_TAB, False)]),
        (7, [keymaps.PadAdded(1, "pad"), keymaps.PadButton(1, 5, True)], [keymaps.PadButton(1, 5, False)]),
    ],
)
def test_fast_forward_runs_n_frames_a_picture_without_sound(
    make_player, demo_cartridge, monkeypatch, ff, hold, release
):
    pushed = []
    monkeypatch.setattr(audio.AudioOut, "push", lambda self, block: pushed.append(block))
    player = make_player(demo_cartridge, {0: hold, 3: release}, ff=ff, mute=False)
    assert player.audio is not None
    for _ in range(3):
        player.tick()
    assert (player.nes.frameCount(), player.drawn, pushed) == (3 * ff, 3, [])
    for _ in range(3):
        player.tick()
    assert (player.nes.frameCount(), player.drawn) == (3 * ff + 3, 6)
    assert pushed  # sound is back


@pytest.mark.parametrize(
    "every, seconds, played, held, back_at",
    [
        (3, 30, 60, 30, 30),  # one restore per 3 pictures: 30 pictures go back 30 frames
        (1, 30, 40, 10, 30),
        (4, 30, 50, 9, 40),  # 50 is between snapshots: the first step goes to 48
        (2, 0.1, 40, 30, 32),  # five snapshots kept (38 ... 30 s worth of 0.1 s): stops at the oldest
    ],
)
def test_rewind_brings_back_the_exact_machine(make_player, demo_cartridge, every, seconds, played, held, back_at):
    script = {
        0: down(K.K_RIGHT),
        played: down(K.K_BACKSPACE),
        played + held: [keymaps.Key(K.K_BACKSPACE, False)],
        played + held + 1: down(K.K_BACKSPACE),
    }
    player = make_player(demo_cartridge, script, rewind_every=every, rewind_seconds=seconds)
    nes = player.nes
    seen = {}
    for _ in range(played):
        player.tick()
        seen[nes.frameCount()] = velkora_gym.snapshot(nes)
        assert len(player.ring) <= player.ring.capacity
    for _ in range(held):
        player.tick()
    assert player.frames == played and velkora_gym.snapshot(nes) == seen[back_at]

    # Released, it plays on from there as a console restored to that frame would.
    player.tick()
    reference = velkora.NES(str(demo_cartridge))
    pad = plug_pad(reference)
    pad.updateInputs(bits("Right"))
    velkora_gym.restore(reference, seen[back_at])
    reference.runFrame()
    reference.getAudio()
    assert nes.frameCount() == back_at + 1
    assert velkora_gym.snapshot(nes) == velkora_gym.snapshot(reference)
    player.tick()  # and that point stays reachable
    assert velkora_gym.snapshot(nes) == seen[back_at]


@pytest.mark.parametrize("budget_kb, capacity", [(12, 1000), (1000, 7)])
def test_rewind_ring_keeps_to_its_count_and_memory(demo_cartridge, budget_kb, capacity):
    nes = velkora.NES(str(demo_cartridge))
    ring = rewind.RewindRing(capacity, 1, budget_kb * 1000)
    for _ in range(60):
        nes.runFrame()
        ring.take(nes)
        assert len(ring) <= capacity and ring.bytes <= budget_kb * 1000
        assert ring.bytes == sum(len(data) for _, data in ring.snaps)
    assert len(ring) >= 2
    # The oldest kept is the one rewinding ends at, the newest the machine now.
    newest = velkora_gym.snapshot(nes)
    assert ring.back(nes) and velkora_gym.snapshot(nes) != newest


def test_help_states_the_default_rewind(capsys):
    with pytest.raises(SystemExit):
        play.main(["--help"])
    text = " ".join(capsys.readouterr().out.split())
    count = int(re.search(r"default 180: (\d+) snapshots", text).group(1))
    assert count == rewind.rewind_capacity(180, 3) and "never keep more than M MB" in text


# ---------------------------------------------------------------- picture


@pytest.mark.parametrize(
    "screen, aspect, scale, rect",
    [
        ((1920, 1080), 1, 4, (448, 60, 1024, 960)),
        ((1280, 720), 1, 3, (256, 0, 768, 720)),
        ((1366, 768), 1, 3, (299, 24, 768, 720)),
        ((800, 600), 1, 2, (144, 60, 512, 480)),
        ((1920, 1080), 8 / 7, 4, (375, 60, 1170, 960)),
        ((640, 480), 8 / 7, 2, (27, 0, 585, 480)),
        ((1200, 1200), 8 / 7, 4, (15, 120, 1170, 960)),  # the height allows 5, the width 4
        ((200, 150), 1, 0, (20, 0, 160, 150)),  # smaller than the picture: shrunk
    ],
)
def test_full_screen_scale_and_offset(screen, aspect, scale, rect):
    got_scale, got_rect = window.fit(screen, aspect)
    assert (got_scale, tuple(got_rect)) == (scale, rect)


def test_full_screen_toggle_centres_the_picture_on_black(make_player, demo_cartridge):
    alt_enter = [keymaps.Key(K.K_RETURN, True, alt=True)]
    player = make_player(demo_cartridge, {5: [keymaps.Key(K.K_F11, True)], 7: alt_enter})
    for _ in range(6):
        player.tick()
    shown = pygame.surfarray.array3d(player.screen).swapaxes(0, 1)
    assert shown.shape[:2] == (768, 1024)  # the dummy display
    assert (shown[24:744:3, 128:896:3] == np.asarray(player.nes.getImg())).all()
    assert not shown[:24].any() and not shown[:, :128].any() and not shown[744:].any()
    player.tick()
    player.tick()
    assert not player.screen.get_flags() & pygame.FULLSCREEN
    assert player.controls.buttons(0) == bits()  # Alt+Enter is not Start


@pytest.mark.parametrize(
    "keys, message",
    [
        ([K.K_4], "slot 4"),
        ([K.K_4, K.K_F5], "saved slot 4"),
        ([K.K_F9], "slot 1 is empty"),
        ([K.K_F5, K.K_F9], "loaded slot 1"),
        ([K.K_F12], "screenshot"),
    ],
)
def test_commands_show_a_short_message(make_player, demo_cartridge, monkeypatch, keys, message):
    player = make_player(demo_cartridge, {3: down(*keys)})
    for _ in range(4):
        player.tick()
    shown = pygame.surfarray.array3d(player.screen).swapaxes(0, 1)
    picture = np.asarray(player.nes.getImg())
    assert player.message.startswith(message)
    assert (shown[200:] != picture[200:]).any() and (shown[:150] == picture[:150]).all()
    later = play.time.monotonic() + play.MESSAGE_SECONDS + 0.1
    monkeypatch.setattr(play.time, "monotonic", lambda: later)
    player.draw()
    assert (pygame.surfarray.array3d(player.screen).swapaxes(0, 1) == picture).all()


def test_screenshot_writes_the_picture_as_png(make_player, demo_cartridge, tmp_path):
    player = make_player(demo_cartridge, {20: down(K.K_F12), 21: down(K.K_F12)}, scale=2)
    for _ in range(20):
        player.tick()
    picture = np.array(player.nes.getImg())
    player.tick()
    player.tick()
    shots = sorted((tmp_path / "states").glob("*.png"), key=lambda p: p.stat().st_mtime_ns)
    assert len(shots) == 2 and shots[0].name.startswith("velkora-demo-")
    saved = pygame.surfarray.array3d(pygame.image.load(str(shots[0]))).swapaxes(0, 1)
    assert (saved == picture).all()


# ---------------------------------------------------------------- battery RAM


@pytest.mark.parametrize("event", [keymaps.Key(K.K_ESCAPE, True), keymaps.Quit()], ids=["Esc", "window closed"])
def test_battery_ram_is_written_on_quitting(data_home, tmp_path, capsys, event):
    source = nrom_program("lda #$5A\nsta $6000\nlda #$A5\nsta $7FFF\nloop:\njmp loop")
    rom = write_rom(tmp_path, build_rom(source, battery=True), "battery game.nes")
    ram = data_home / "velkora" / "battery_game" / "ram"
    assert not ram.exists()
    assert play.main([rom, "--mute", "--states", str(tmp_path / "s")], source=keymaps.ScriptedInput({5: [event]})) == 0
    assert "played 5 frames" in capsys.readouterr().out
    data = ram.read_bytes()
    assert (len(data), data[0], data[0x1FFF]) == (8192, 0x5A, 0xA5)


# ---------------------------------------------------------------- movies


def ram_and_picture(nes):
    return np.array(nes.cpuMem()[:0x800]), np.array(nes.getImg())


def test_f10_records_both_players_through_fast_forward_and_the_movie_replays(make_player, demo_cartridge, tmp_path):
    script = {
        0: down(K.K_RIGHT),
        3: down(K.K_F10),
        5: down(K.K_F10, K.K_w),
        7: down(K.K_TAB),
        10: [keymaps.Key(K.K_TAB, False)],
        12: down(K.K_x) + [keymaps.Key(K.K_RIGHT, False)],
        15: down(K.K_UP, K.K_d),
        20: down(K.K_F10),
    }
    player = make_player(demo_cartridge, script, record=tmp_path / "run.fm2", ff=5)
    for _ in range(20):
        player.tick()
    expected = ram_and_picture(player.nes)
    assert player.recording is not None
    player.tick()  # F10 again: written
    assert player.recordings == [tmp_path / "run.fm2", tmp_path / "run-2.vmv"]  # .fm2 cannot start mid-game
    assert "movie run-2.vmv: 27 frames" in player.message
    whole, part = Movie.load(tmp_path / "run.fm2", rom=demo_cartridge), Movie.load(tmp_path / "run-2.vmv")
    assert len(whole) == 3 and len(part) == 15 + 4 * 3  # each fast-forwarded frame counts
    assert part.buttons[0].tolist() == [0x80, 0x10]  # player 1 Right, player 2 Up (w)
    assert part.buttons[-1].tolist() == [0x11, 0x90]  # A Up; Up Right (d)
    nes = velkora.NES(str(demo_cartridge))
    part.play(nes)
    assert all(np.array_equal(a, b) for a, b in zip(ram_and_picture(nes), expected))


def test_a_recording_from_power_on_replays_from_a_fresh_console(make_player, demo_cartridge, tmp_path):
    player = make_player(demo_cartridge, {2: down(K.K_RIGHT, K.K_x), 40: down(K.K_ESCAPE)}, record=tmp_path / "run.vmv")
    player.run()
    expected = ram_and_picture(player.nes)
    player.close()
    movie = Movie.load(tmp_path / "run.vmv")
    assert movie.start is None and len(movie) == 40
    fresh = velkora.NES(str(demo_cartridge))
    pads = [plug_pad(fresh, port) for port in (0, 1)]
    for one, _ in movie:
        pads[0].updateInputs(mask_bits(one))
        fresh.runFrame()
    assert all(np.array_equal(a, b) for a, b in zip(ram_and_picture(fresh), expected))


def test_a_movie_plays_back_with_fast_forward_then_the_players_take_over(make_player, demo_cartridge, tmp_path):
    movie = Movie(demo_cartridge)
    movie.extend([0x80] * 30 + [0x10] * 30, [0x01] * 60)
    reference = velkora.NES(str(demo_cartridge))
    movie.play(reference)
    script = {0: down(K.K_LEFT), 2: down(K.K_TAB), 8: [keymaps.Key(K.K_TAB, False)]}
    player = make_player(demo_cartridge, script, movie=movie, ff=6)
    mem = player.nes.cpuMem()
    while player.playback is not None:
        player.tick()
    assert player.frames == 60 and "your turn" in player.message  # 2 + 6 x 6 + 22 ticks
    assert all(np.array_equal(a, b) for a, b in zip(ram_and_picture(player.nes), ram_and_picture(reference)))
    x = int(mem[0x0A])
    player.tick()
    assert int(mem[0x0A]) == x - 2  # the held Left now moves the robot


@pytest.mark.parametrize("jump", [down(K.K_BACKSPACE), down(K.K_F9)], ids=["rewind", "load state"])
def test_a_jump_in_time_ends_the_recording_and_the_playback(make_player, demo_cartridge, tmp_path, jump):
    player = make_player(demo_cartridge, {1: down(K.K_F5), 3: down(K.K_F10), 12: jump})
    for _ in range(13):
        player.tick()
    assert player.recording is None and len(player.recordings) == 1
    assert len(Movie.load(player.recordings[0])) == 9
    movie = Movie(demo_cartridge)
    movie.extend([0] * 100)
    player = make_player(demo_cartridge, {1: down(K.K_F5), 12: jump}, movie=movie)
    for _ in range(13):
        player.tick()
    assert player.playback is None and "movie stopped at frame 12" in player.message
    if jump[0].key == K.K_F9:
        assert player.message == "loaded slot 1; movie stopped at frame 12"


def test_main_plays_a_movie_and_finds_its_cartridge(tmp_path, capsys):
    movie = Movie(DEMO_ROM)
    movie.extend([0x80] * 20)
    movie.save(tmp_path / "m.fm2")
    assert (
        play.main(
            ["--movie", str(tmp_path / "m.fm2"), "--mute", "--frames", "25", "--states", str(tmp_path / "s")],
            source=keymaps.ScriptedInput({}),
        )
        == 0
    )
    assert "played 25 frames" in capsys.readouterr().out
    (tmp_path / "bad.vmv").write_text("velkora-movie 1\nsha1 x\nstart power-on\nframes 0\n")
    for argv, named in (
        [["--movie", str(tmp_path / "bad.vmv")], "line 2"],
        [["--record", str(tmp_path / "run.mp4")], "name a movie file"],
    ):
        with pytest.raises(SystemExit):
            play.main(argv + ["--mute"], source=keymaps.ScriptedInput({}))
        assert named in capsys.readouterr().err


# ---------------------------------------------------------------- timing


@pytest.fixture(scope="module")
def probe_rom(tmp_path_factory):
    return Path(write_rom(tmp_path_factory.mktemp("probe"), build_rom(RESET_PROBE), "probe.nes"))


@pytest.mark.parametrize("timing", ["design", "hardware"])
def test_the_player_runs_the_timing_asked_for_and_records_in_it(make_player, probe_rom, tmp_path, timing, monkeypatch):
    monkeypatch.delenv("VELKORA_TIMING", raising=False)
    player = make_player(probe_rom, timing=timing, record=tmp_path / "run.fm2")
    for _ in range(3):
        player.tick()
    assert velkora_gym.timing(player.nes) == timing and player.nes.cpuMem()[0x14] == POWER_ON_SP[timing]
    player.stop_recording()
    movie = Movie.load(tmp_path / "run.fm2", rom=probe_rom)
    assert movie.timing == timing
    # A movie plays back in its own timing; another one asked for is refused.
    other = "design" if timing == "hardware" else "hardware"
    with pytest.raises(ValueError, match=f"replays in the {timing} timing, and the {other} one"):
        make_player(probe_rom, movie=movie, timing=other)
    assert velkora_gym.timing(make_player(probe_rom, movie=movie).nes) == timing
    # Without --timing, VELKORA_TIMING decides.
    monkeypatch.setenv("VELKORA_TIMING", timing)
    assert velkora_gym.timing(make_player(probe_rom).nes) == timing


@pytest.mark.parametrize(
    "options, environment, named",
    [
        (["--timing", "fast"], None, "invalid choice: 'fast'"),
        ([], "Hardware", "VELKORA_TIMING must be 'design' or 'hardware'"),
    ],
)
def test_the_player_refuses_a_timing_it_does_not_know(probe_rom, monkeypatch, capsys, options, environment, named):
    if environment is not None:
        monkeypatch.setenv("VELKORA_TIMING", environment)
    with pytest.raises(SystemExit):
        play.main([str(probe_rom), "--mute", "--frames", "1", *options], source=keymaps.ScriptedInput({}))
    assert named in capsys.readouterr().err
