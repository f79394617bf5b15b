"""Integration folders in full: scripts, nodes, crop, action groups, metadata, rom.sha;
games by name, imported ROMs, start states, the checker, and cartridges velkora cannot run."""

from __future__ import annotations

import gzip
import hashlib
import json
import sys
import warnings
import zipfile

import numpy as np
import pytest

import golden
import nesrom
from conftest import run_ok, write_integration
from test_batch import area_weights

gym = pytest.importorskip("gymnasium")
velkora_gym = pytest.importorskip("velkora_gym")
pytest.importorskip("lupa")
from velkora_gym import integration  # noqa: E402
from velkora_gym.envs import VelkoraEnv, VelkoraVectorEnv  # noqa: E402
from velkora_gym.integration import check, folders, roms  # noqa: E402

DEMO = golden.own_cartridges()["velkora-demo.nes"]
COUNTER = nesrom.build_rom(nesrom.PRG_RAM_COUNTER)
PADS = nesrom.build_rom(nesrom.JOYPAD_READER)
NMI = {"nmi": {"address": 0, "type": "|u1"}}

# Counts the steps of an episode in a global; the episode ends at the third.
STEPS_SCRIPT = """
steps = 0
function reward()
  steps = steps + 1
  return steps * 10 + data.nmi % 2
end
function done()
  return steps >= 3
end
"""


def folder(tmp_path, name="game", data=None, scenario=None, files=None):
    """An integration folder; `files` adds or replaces files (bytes or text)."""
    data = {"info": NMI} if data is None else data
    return write_integration(tmp_path / name, data, {} if scenario is None else scenario, files)


def quiet(**options):
    return {"repeat_action_probability": 0.0, "obs_type": "ram", **options}


# ------------------------------------------------------------------ Lua scripts and nodes


def test_lua_scripts_keep_globals_between_steps_and_start_over_at_reset(tmp_path):
    game = folder(
        tmp_path,
        scenario={"reward": {"script": "lua:reward"}, "done": {"script": "lua:done"}, "scripts": ["steps.lua"]},
        files={"steps.lua": STEPS_SCRIPT},
    )
    env = VelkoraEnv(DEMO, integration=str(game), **quiet(frameskip=1))
    for _ in range(2):
        env.reset(seed=0)
        for step in (1, 2, 3):
            _, reward, terminated, _, info = env.step(0)
            assert (reward, terminated) == (step * 10 + info["nmi"] % 2, step == 3)
        assert env.ended_by() == ["done script lua:done"]
    # Each console of a vector environment has globals of its own; an autoreset restarts them.
    vector = VelkoraVectorEnv(DEMO, 2, integration=str(game), **quiet(frameskip=1))
    vector.reset(seed=0)
    rewards = [vector.step(np.zeros(2, int))[1] // 10 for _ in range(5)]
    assert np.array(rewards).tolist() == [[1, 1], [2, 2], [3, 3], [0, 0], [1, 1]]


def test_a_failing_script_names_its_function(tmp_path):
    game = folder(
        tmp_path,
        scenario={"reward": {"script": "lua:broken"}, "scripts": ["s.lua"]},
        files={"s.lua": "function broken() return data.nothing + 1 end"},
    )
    env = VelkoraEnv(DEMO, integration=str(game), **quiet())
    env.reset(seed=0)
    with pytest.raises(RuntimeError, match="lua:broken"):
        env.step(0)


def test_scripts_cannot_reach_files_or_python(tmp_path):
    probe = "function r() return (io == nil and os == nil and python == nil and require == nil) and 1 or 0 end"
    game = folder(tmp_path, scenario={"reward": {"script": "lua:r"}, "scripts": ["p.lua"]}, files={"p.lua": probe})
    env = VelkoraEnv(DEMO, integration=str(game), **quiet())
    env.reset(seed=0)
    assert env.step(0)[1] == 1.0


@pytest.mark.parametrize(
    "top, node, values, ends",
    [
        ("any", "all", {"a": [0, 5, 0, 0], "b": [0, 0, 7, 7], "c": [0, 0, 0, 9]}, [False, True, False, True]),
        ("all", "any", {"a": [5, 5, 0, 5], "b": [0, 7, 7, 0], "c": [0, 0, 9, 9]}, [False, True, False, True]),
    ],
)
def test_done_nodes_join_the_variables(tmp_path, top, node, values, ends):
    info = {name: {"address": i, "type": "|u1"} for i, name in enumerate("abc")}
    game = folder(
        tmp_path,
        data={"info": info},
        scenario={
            "done": {
                "condition": top,
                "variables": {"a": {"op": "equal", "reference": 5}},
                "nodes": {"pair": {"condition": node, "variables": {"b": {"op": "nonzero"}, "c": {"op": "nonzero"}}}},
            }
        },
    )
    rules = integration.load(game)
    current = {k: np.array(v) for k, v in values.items()}
    assert rules.terminated(current, current).tolist() == ends
    if ends[1] and top == "any":
        assert rules.reasons(current, current, 1) == ["variable a equal 5 (value 5)"]
        assert rules.reasons(current, current, 3) == ["node pair"]


# ------------------------------------------------------------------ crop and action groups


def test_crop_cuts_the_picture_before_any_resize(tmp_path):
    game = folder(tmp_path, scenario={"crop": [8, 16, 64, 0]})
    env = VelkoraEnv(DEMO, integration=str(game), obs_type="rgb", render_mode="rgb_array", frameskip=1)
    obs, _ = env.reset(seed=0)
    for _ in range(20):
        obs, *_ = env.step(4)
    assert env.observation_space.shape == obs.shape == (224, 64, 3)
    assert np.array_equal(obs, env.render()[16:240, 8:72])
    whole = folder(tmp_path, "whole", scenario={"crop": [0, 0, 0, 0]})
    assert VelkoraEnv(DEMO, integration=str(whole), obs_type="grayscale").observation_space.shape == (240, 256)
    small = VelkoraEnv(DEMO, integration=str(game), obs_type="grayscale", screen_size=(40, 30))
    assert small.reset(seed=0)[0].shape == (40, 30)


@pytest.mark.parametrize(
    "obs_type, crop, size",
    [
        ("grayscale", [8, 16, 64, 0], (40, 30)),
        ("rgb", [0, 24, 0, 200], (84, 84)),
        ("grayscale", [3, 5, 101, 77], (101, 77)[::-1]),
    ],
)
def test_cropped_resize_is_the_exact_area_average_of_the_crop(tmp_path, obs_type, crop, size):
    game = folder(tmp_path, scenario={"crop": crop})
    cropped = VelkoraEnv(DEMO, integration=str(game), obs_type=obs_type, screen_size=size, frameskip=1)
    full = VelkoraEnv(DEMO, obs_type=obs_type, frameskip=1)
    for env in (cropped, full):
        env.reset(seed=0)
        for _ in range(30):
            env.last = env.step(4)[0]
    x, y, width, height = crop
    width, height = width or 256 - x, height or 240 - y
    part = full.last[y : y + height, x : x + width].astype(np.int64)
    wy, wx = area_weights(height, size[0]), area_weights(width, size[1])
    planes = [part] if part.ndim == 2 else [part[:, :, c] for c in range(3)]
    summed = [wy @ plane @ wx.T for plane in planes]
    expected = np.stack(summed, axis=-1) if part.ndim == 3 else summed[0]
    expected = (expected + width * height // 2) // (width * height)
    assert cropped.last.shape == expected.shape and np.array_equal(cropped.last, expected)


def test_action_groups_press_the_union_of_their_choices(tmp_path):
    game = folder(tmp_path, scenario={"actions": [[[], ["LEFT"], ["right"]], [[], ["A"], ["b", "Start"]]]})
    env = VelkoraEnv(PADS, integration=str(game), **quiet(frameskip=2))
    assert env.action_space == gym.spaces.MultiDiscrete([3, 3])
    env.reset(seed=0)
    pressed = (env.step(np.array([2, 2]))[0][0x300:0x308] & 1).tolist()
    assert pressed == [0, 1, 0, 1, 0, 0, 0, 1]  # A B Select Start Up Down Left Right
    for bad in ([3, 0], [0], [1.0, 0]):
        with pytest.raises(ValueError):
            env.step(np.array(bad))
    assert VelkoraEnv(PADS, integration=str(game), actions="simple", **quiet()).action_space == gym.spaces.Discrete(7)


# ------------------------------------------------------------------ start states and ROMs


def snapshot_after(image: bytes, frames: int) -> bytes:
    env = VelkoraEnv(image, **quiet(frameskip=frames))
    env.reset(seed=0)
    env.step(0)
    return env.clone_state()


def test_states_by_name_default_and_power_on(tmp_path):
    later = snapshot_after(DEMO, 100)
    game = folder(
        tmp_path,
        data={"info": NMI},
        files={
            "Later.state": later,
            "Foreign.state": gzip.compress(b"another emulator's state"),
            "metadata.json": {"default_state": "Later", "states": [{"recording": "run.bk2"}], "author": "x"},
        },
    )
    start = lambda **o: VelkoraEnv(DEMO, integration=str(game), **quiet(**o)).reset(seed=0)[1]["nmi"]  # noqa: E731
    power_on = start(state=None)
    assert start() == start(state="Later") == start(start_state=later) != power_on
    with pytest.raises(ValueError, match=r"Foreign\.state.*not a velkora snapshot.*F6"):
        VelkoraEnv(DEMO, integration=str(game), state="Foreign")
    with pytest.raises(ValueError, match="no such start state"):
        VelkoraEnv(DEMO, integration=str(game), state="Missing")
    with pytest.raises(ValueError, match="not both"):
        VelkoraEnv(DEMO, integration=str(game), state="Later", start_state=later)
    with pytest.raises(ValueError, match="give game= or integration="):
        VelkoraEnv(DEMO, state="Later")
    with pytest.raises(ValueError, match="start_state is not a velkora snapshot"):
        VelkoraEnv(DEMO, start_state=b"SNES9X")
    # A snapshot of another cartridge is refused when the environment is made, naming the file.
    other = folder(
        tmp_path, "other", files={"S.state": snapshot_after(PADS, 2), "metadata.json": {"default_state": "S"}}
    )
    with pytest.raises(ValueError, match=r"S\.state"):
        VelkoraEnv(DEMO, integration=str(other))
    (game / "metadata.json").write_text(json.dumps({"default_state": None}))
    assert start() == power_on


def test_rom_sha_of_file_or_image_and_a_warning_for_another_rom(tmp_path):
    whole, headerless = hashlib.sha1(DEMO).hexdigest(), hashlib.sha1(DEMO[16:]).hexdigest()
    for sha in (whole, headerless.upper() + "\n"):
        game = folder(tmp_path, files={"rom.sha": sha, "rom.nes": DEMO})
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            VelkoraEnv(integration=str(game), **quiet()).reset(seed=0)
    with pytest.warns(UserWarning, match="rom.sha"):
        VelkoraEnv(PADS, integration=str(game), **quiet())  # an explicit ROM wins
    (game / "rom.nes").unlink()
    with pytest.raises(ValueError, match="velkora_gym.import"):
        VelkoraEnv(integration=str(game))


def test_games_by_name_on_the_search_path_read_at_each_make(tmp_path, monkeypatch, data_home, capsys):
    first, second = tmp_path / "first", tmp_path / "second"
    folder(first, "pads", files={"rom.nes": PADS})
    folder(second, "pads", data={"info": {"other": {"address": 1, "type": "|u1"}}}, files={"rom.nes": PADS})
    monkeypatch.setenv("VELKORA_INTEGRATIONS", str(first))
    monkeypatch.setattr(folders, "_added", [])
    assert "nmi" in gym.make("velkora/NES-v0", game="pads", **quiet()).reset(seed=0)[1]
    monkeypatch.setenv("VELKORA_INTEGRATIONS", str(tmp_path / "nowhere"))
    integration.add_path(second)
    assert "other" in gym.make("velkora/NES-v0", game="pads", **quiet()).reset(seed=0)[1]
    assert gym.make("velkora/NES-v0", game="velkora-demo", **quiet()).reset(seed=0)[1]["lives"] == 0
    with pytest.raises(ValueError, match="no game 'absent'.*velkora-demo"):
        gym.make("velkora/NES-v0", game="absent")
    with pytest.raises(ValueError, match="not both"):
        VelkoraEnv(game="pads", integration=str(second / "pads"))

    # A ROM found by hash: a plain file, one in a zip file, one without a match.
    library, roms_dir = tmp_path / "library", tmp_path / "roms"
    folder(library, "counter", files={"rom.sha": hashlib.sha1(COUNTER[16:]).hexdigest()})
    folder(library, "demo", files={"rom.sha": hashlib.sha1(DEMO).hexdigest()})
    (roms_dir / "deep").mkdir(parents=True)
    (roms_dir / "deep" / "Counter (v1).NES").write_bytes(COUNTER)
    with zipfile.ZipFile(roms_dir / "demo.zip", "w") as archive:
        archive.writestr("demo.nes", DEMO)
        archive.writestr("readme.txt", "not a ROM")
    (roms_dir / "pads.nes").write_bytes(PADS)
    monkeypatch.setenv("VELKORA_INTEGRATIONS", str(library))
    with pytest.raises(ValueError, match="no ROM found"):
        VelkoraEnv(game="counter")
    assert roms.main([str(roms_dir)]) == 0
    printed = capsys.readouterr().out
    assert "counter: " in printed and "demo.zip:demo.nes" in printed and "3 games matched among 3 ROMs" in printed
    assert "velkora-demo: " in printed and not any(line.startswith("pads") for line in printed.splitlines())
    assert str(data_home / "velkora" / "roms") in printed
    env = gym.make("velkora/NES-v0", game="counter", variables={"digit": {"address": 0x6126, "type": "|n1"}}, **quiet())
    assert env.reset(seed=0)[1]["digit"] == 0
    with pytest.raises(SystemExit):
        roms.main([str(tmp_path / "missing")])


def test_your_integrations_folder_comes_after_the_environment_and_add_path(tmp_path, monkeypatch, data_home, capsys):
    user, listed, added = data_home / "velkora" / "integrations", tmp_path / "listed", tmp_path / "added"
    for base, address in ((listed, 1), (added, 2), (user, 3)):
        folder(base, "pads", data={"info": {"v": {"address": address, "type": "|u1"}}}, files={"rom.nes": PADS})
    folder(user, "velkora-demo", files={"rom.sha": hashlib.sha1(DEMO).hexdigest()})  # hides the package's
    folder(user, "lost", files={"rom.sha": "0" * 40})
    monkeypatch.setattr(folders, "_added", [])
    monkeypatch.setenv("VELKORA_INTEGRATIONS", str(listed))
    integration.add_path(added)
    assert integration.find("pads") == listed / "pads"
    monkeypatch.delenv("VELKORA_INTEGRATIONS")
    assert integration.find("pads") == added / "pads"
    monkeypatch.setattr(folders, "_added", [])
    assert integration.find("pads") == user / "pads"
    assert integration.find("velkora-demo") == user / "velkora-demo"
    assert integration.find("bladebuster") == integration.PACKAGE_INTEGRATIONS / "bladebuster"

    monkeypatch.setenv("VELKORA_INTEGRATIONS", str(tmp_path / "nowhere"))
    assert check.main(["list"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[1:4] == [
        f"  {tmp_path / 'nowhere'} (VELKORA_INTEGRATIONS, missing)",
        f"  {user} (your integrations)",
        f"  {integration.PACKAGE_INTEGRATIONS} (the package's)",
    ]
    rows = {line.split()[0]: line for line in lines[5:]}
    assert str(user / "pads") in rows["pads"] and rows["pads"].endswith("ROM: rom.nes in the folder")
    assert str(user / "velkora-demo") in rows["velkora-demo"] and "comes with velkora" in rows["velkora-demo"]
    assert rows["lost"].endswith("ROM: not imported: python -m velkora_gym.import ROM_DIR")
    assert "bladebuster" in rows

    roms_dir = tmp_path / "roms"
    roms_dir.mkdir()
    (roms_dir / "counter.nes").write_bytes(COUNTER)
    (roms_dir / "demo.nes").write_bytes(DEMO)
    assert roms.main([str(roms_dir)]) == 0
    printed = capsys.readouterr().out
    assert "matched among 2 ROMs" in printed
    assert "1 ROM matched no game" in printed and f"{user} (your integrations)" in printed
    assert "(VELKORA_INTEGRATIONS, missing)" in printed and "is in " + str(user) in printed
    assert check.rom_state(user / "lost").startswith("not imported")
    assert check.rom_state(user / "velkora-demo").startswith("imported")  # the import found it by hash


# ------------------------------------------------------------------ PRG RAM for code, and boards


def test_callables_and_observations_see_prg_ram():
    digits = slice(0x123, 0x127)
    seen = {}

    def variables(ram, prg_ram):
        return {"count": int("".join(str(c & 15) for c in prg_ram[digits]))}

    def reward_fn(previous, current, prg_ram):
        return current["count"] - previous["count"] + 0 * prg_ram[0]

    def terminated_fn(current, *, ram, prg_ram):
        seen["sizes"] = (ram.shape, prg_ram.shape)
        return current["count"] >= 12

    env = VelkoraEnv(
        COUNTER,
        variables=variables,
        reward_fn=reward_fn,
        terminated_fn=terminated_fn,
        actions=[[], ["A"]],
        **quiet(obs_type="ram+prg", frameskip=4),
    )
    assert env.observation_space.shape == (10240,)
    obs, _ = env.reset(seed=0)
    results = [env.step(1)[1:3] for _ in range(3)]
    assert results == [(4.0, False), (4.0, False), (4.0, True)]
    assert seen["sizes"] == ((2048,), (8192,))
    assert bytes(env.step(0)[0][2048 + 0x123 : 2048 + 0x127]) == b"0012"
    # Callables of one argument get the RAM as before.
    old = VelkoraEnv(
        COUNTER, variables=lambda ram: {"frames": int(ram[0])}, terminated_fn=lambda v: v["frames"] > 9, **quiet()
    )
    old.reset(seed=0)
    assert old.step(0)[4]["frames"] > 0 and old._batch.prg_ram is None


def with_mapper(number: int, nes2: bool = False) -> bytes:
    header = bytearray(nesrom.ines_header(2, 1, number & 0xFF))
    if nes2:
        header[7] |= 0x08
        header[8] = number >> 8
    return bytes(header) + COUNTER[16 : 16 + 32768] + bytes(8192)


@pytest.mark.parametrize("number, nes2", [(8, False), (15, False), (260, True)])
def test_boards_velkora_cannot_run_are_refused(number, nes2):
    image = with_mapper(number, nes2)
    for make in (lambda: velkora_gym.Batch(image, 1), lambda: VelkoraEnv(image), lambda: VelkoraVectorEnv(image, 2)):
        with pytest.raises(ValueError, match=f"mapper {number},"):
            make()
    velkora_gym.Batch(with_mapper(4), 1, obs_type=None)


# ------------------------------------------------------------------ malformed folders

SCRIPT = {"scripts": ["s.lua"], "reward": {"script": "lua:r"}}
BAD_FOLDERS = [
    ("script name", {"reward": {"script": "python:r"}, "scripts": ["s.lua"]}, {}, "scenario.json", "reward.script"),
    ("no scripts", {"done": {"script": "lua:r"}}, {}, "scenario.json", "done.script"),
    ("scripts not a list", {**SCRIPT, "scripts": "s.lua"}, {}, "scenario.json", "scripts"),
    ("script file missing", {**SCRIPT, "scripts": ["none.lua"]}, {}, "scenario.json", "scripts[0]"),
    ("script outside the folder", {**SCRIPT, "scripts": ["../s.lua"]}, {}, "scenario.json", "scripts[0]"),
    ("Lua syntax", SCRIPT, {"s.lua": "function r( return 1 end"}, "scenario.json", "s.lua:1"),
    ("function missing", SCRIPT, {"s.lua": "function q() return 1 end"}, "scenario.json", "lua:r"),
    ("reward key", {"reward": {"scale": 2}}, {}, "scenario.json", "reward.scale"),
    ("node key", {"done": {"nodes": {"n": {"script": "lua:r"}}}}, {}, "scenario.json", "done.nodes.n.script"),
    (
        "node variable",
        {"done": {"nodes": {"n": {"variables": {"lives": {"op": "zero"}}}}}},
        {},
        "scenario.json",
        "done.nodes.n.variables.lives",
    ),
    (
        "node condition",
        {"done": {"nodes": {"n": {"condition": "most"}}}},
        {},
        "scenario.json",
        "done.nodes.n.condition",
    ),
    ("crop size", {"crop": [0, 0, 10]}, {}, "scenario.json", "crop"),
    ("crop outside", {"crop": [200, 0, 100, 0]}, {}, "scenario.json", "crop"),
    ("button", {"actions": [[[], ["JUMP"]]]}, {}, "scenario.json", "actions[0][1]"),
    ("empty group", {"actions": [[[]], []]}, {}, "scenario.json", "actions[1]"),
    ("combination", {"actions": [["UP"]]}, {}, "scenario.json", "actions[0][0]"),
    ("unknown top-level key", {"rewards": {}}, {}, "scenario.json", "rewards"),
    ("default state", {}, {"metadata.json": {"default_state": 3}}, "metadata.json", "default_state"),
    ("metadata list", {}, {"metadata.json": ["Level1"]}, "metadata.json", "top level"),
    ("rom.sha", {}, {"rom.sha": "not a hash\n"}, "rom.sha", "SHA-1"),
    ("empty rom.sha", {}, {"rom.sha": ""}, "rom.sha", "empty"),
]


@pytest.mark.parametrize("case, scenario, files, file, key", BAD_FOLDERS, ids=[c[0] for c in BAD_FOLDERS])
def test_malformed_folders_name_the_file_and_key(tmp_path, case, scenario, files, file, key):
    game = folder(tmp_path, scenario=scenario, files=files)
    with pytest.raises(ValueError) as refused:
        VelkoraEnv(DEMO, integration=str(game))
    assert file in str(refused.value) and key in str(refused.value), refused.value


def test_every_problem_is_reported_at_once(tmp_path, capsys):
    game = folder(
        tmp_path,
        data={"info": {"a": {"address": 0x900, "type": "|u1"}, "b": {"address": 1, "type": "<q"}}},
        scenario={"crop": [1], "done": {"variables": {"c": {"op": "zero"}}}},
        files={"metadata.json": "{", "rom.sha": "xyz"},
    )
    with pytest.raises(integration.IntegrationError) as refused:
        integration.load(game)
    expected = ["info.a.address", "info.b.type", "crop", "done.variables.c", "metadata.json", "rom.sha"]
    assert len(refused.value.problems) == len(expected)
    assert all(any(key in p for p in refused.value.problems) for key in expected), refused.value.problems
    assert check.main(["check", str(game)]) == 1
    assert "6 problems" in capsys.readouterr().out


# ------------------------------------------------------------------ the checker


def test_checker_reports_lengths_returns_and_what_ended_each_episode(tmp_path, capsys):
    game = folder(
        tmp_path,
        scenario={
            "reward": {"variables": {"nmi": {"reward": 1}}},
            "done": {"nodes": {"late": {"variables": {"nmi": {"op": "greater-than", "reference": 60}}}}},
        },
        files={"rom.nes": DEMO},
    )
    assert check.main(["check", str(game), "--episodes", "2"]) == 0
    out = capsys.readouterr().out
    episodes = [line for line in out.splitlines() if line.startswith("episode ")]
    assert len(episodes) == 2 and all("ended by node late" in line for line in episodes), out
    assert "SHA-1" not in out and "power-on" in out
    never = folder(
        tmp_path, "never", scenario={"done": {"variables": {"nmi": {"op": "negative"}}}}, files={"rom.nes": DEMO}
    )
    assert check.main(["check", str(never), "--episodes", "1", "--max-frames", "40"]) == 0
    out = capsys.readouterr().out
    assert "cut at the time limit (40 frames)" in out and "does the done condition ever hold" in out
    assert check.main(["check", str(never), "--rom", str(tmp_path / "missing.nes")]) == 1


def test_checker_runs_as_a_module_on_the_demo_folder():
    folder = integration.PACKAGE_INTEGRATIONS / "velkora-demo"
    result = run_ok([sys.executable, "-m", "velkora_gym.integration", "check", folder, "--episodes", "1"])
    assert "ended by variable game_over nonzero" in result.stdout
    assert "SHA-1 matches rom.sha" in result.stdout
    assert "Warning" not in result.stderr


@pytest.mark.parametrize("game, rom", [("velkora-demo", None), ("bladebuster", ("demos", "bladebuster.nes"))])
def test_the_package_folders_load_and_know_their_rom(game, rom):
    path = integration.PACKAGE_INTEGRATIONS / game
    loaded = integration.load(path)
    image = DEMO if rom is None else nesrom.rom(*rom).read_bytes()
    assert roms.matches(image, loaded.rom_sha)
    env = VelkoraEnv(image, integration=str(path), **quiet())
    env.reset(seed=0)
    for _ in range(5):
        env.step(env.action_space.sample())
