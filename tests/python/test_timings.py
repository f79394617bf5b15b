"""Choosing the timing model: on a console, a batch and the environments; VELKORA_TIMING;
snapshots and save states carrying (or leaving) it; and the reset button in both timings."""

from __future__ import annotations

import numpy as np
import pytest

import nesrom
import velkora
from conftest import write_integration
from nesrom import POWER_ON_SP, RESET_PROBE, build_rom

velkora_gym = pytest.importorskip("velkora_gym")
from velkora_gym import Batch  # noqa: E402

PROBE = build_rom(RESET_PROBE)
TIMINGS = ("design", "hardware")


def probe(timing: str | None = None) -> velkora.NES:
    nes = velkora.NES(nesrom.ImageFile(PROBE, "probe.nes"))
    if timing is not None:
        velkora_gym.set_timing(nes, timing)
    return nes


def starts(ram: np.ndarray) -> tuple[list[int], int]:
    """What the probe stored at its last start: A, X, Y, P, SP; and how many starts."""
    return [int(b) for b in ram[0x10:0x15]], int(ram[0x20])


def after_reset(timing: str) -> tuple[list[int], int]:
    """The probe's record after power-on, two frames, the reset button and a frame: the
    registers it left, SP three lower, the I flag set, RAM (the count) kept."""
    return [0x34, 0x56, 0x78, 0x35, POWER_ON_SP[timing] - 3], 2


@pytest.mark.parametrize("timing", TIMINGS)
def test_a_console_powers_on_and_resets_in_its_timing(timing):
    nes = probe(timing)
    assert velkora_gym.timing(nes) == timing
    nes.runFrame()
    nes.runFrame()
    assert starts(nes.cpuMem()) == ([0, 0, 0, 0x34, POWER_ON_SP[timing]], 1)
    nes.cpuMem()[0x0300] = 0xA5  # memory survives the button
    velkora_gym.soft_reset(nes)
    assert velkora_gym.timing(nes) == timing
    nes.runFrame()
    assert starts(nes.cpuMem()) == after_reset(timing)
    assert nes.cpuMem()[0x0300] == 0xA5
    velkora_gym.soft_reset(nes)
    nes.runFrame()
    assert starts(nes.cpuMem())[1] == 3


def test_a_new_console_runs_the_design_timing_and_bad_names_are_refused():
    nes = probe()
    assert velkora_gym.timing(nes) == "design"
    for name, error in (("Hardware", ValueError), ("exact", ValueError), (1, TypeError), (None, TypeError)):
        with pytest.raises(error, match="'design' or 'hardware'"):
            velkora_gym.set_timing(nes, name)
    assert velkora_gym.timing(nes) == "design"
    with pytest.raises(TypeError, match="velkora.NES"):
        velkora_gym.set_timing(object(), "hardware")
    with pytest.raises(TypeError, match="velkora.NES"):
        velkora_gym.soft_reset(object())


def test_choosing_the_design_timing_before_the_first_frame_changes_nothing(demo_cartridge):
    # The commands set the timing they run on every console they make, the design's included.
    plain, chosen, back = (velkora.NES(str(demo_cartridge)) for _ in range(3))
    velkora_gym.set_timing(chosen, "design")
    velkora_gym.set_timing(back, "hardware")
    velkora_gym.set_timing(back, "design")
    for _ in range(20):
        for nes in (plain, chosen, back):
            nes.runFrame()
        assert velkora_gym.snapshot(plain) == velkora_gym.snapshot(chosen) == velkora_gym.snapshot(back)


# --- VELKORA_TIMING ---


@pytest.mark.parametrize(
    "value, expected",
    [(None, "design"), ("", "design"), ("design", "design"), ("hardware", "hardware")],
)
def test_velkora_timing_sets_the_default(value, expected, monkeypatch):
    if value is None:
        monkeypatch.delenv("VELKORA_TIMING", raising=False)
    else:
        monkeypatch.setenv("VELKORA_TIMING", value)
    assert velkora_gym.default_timing() == expected
    batch = Batch(PROBE, 1, obs_type=None)
    assert batch.timing == batch.timing_of(0) == expected
    batch.step(np.zeros(1, np.uint8), 2)
    assert starts(batch.ram[0])[0][4] == POWER_ON_SP[expected]
    # An explicit timing wins over the variable.
    other = "design" if expected == "hardware" else "hardware"
    assert Batch(PROBE, 1, obs_type=None, timing=other).timing == other
    # A console made by the velkora module itself is never touched by it.
    assert velkora_gym.timing(probe()) == "design"


@pytest.mark.parametrize("value", ["Hardware", "hw", "1", " hardware", "design,hardware"])
def test_a_bad_velkora_timing_is_refused_by_name(value, monkeypatch):
    monkeypatch.setenv("VELKORA_TIMING", value)
    with pytest.raises(ValueError, match=f"VELKORA_TIMING must be 'design' or 'hardware'.*{value!r}"):
        Batch(PROBE, 1, obs_type=None)
    with pytest.raises(ValueError, match="VELKORA_TIMING"):
        Batch(PROBE, 1, obs_type=None, timing="hardware")
    with pytest.raises(ValueError, match="VELKORA_TIMING"):
        velkora_gym.default_timing()


# --- batches ---


@pytest.mark.parametrize("timing", TIMINGS)
def test_a_batch_powers_on_resets_and_soft_resets_in_its_timing(timing):
    batch = Batch(PROBE, 3, obs_type="grayscale", timing=timing)
    idle = np.zeros(3, np.uint8)
    batch.step(idle, 2)
    for i in range(3):
        assert starts(batch.ram[i]) == ([0, 0, 0, 0x34, POWER_ON_SP[timing]], 1)
    before = batch.snapshot(2)
    batch.soft_reset(1)
    assert starts(batch.ram[1])[1] == 1  # the reset handler has not run yet
    batch.step(idle, 1)
    assert starts(batch.ram[1]) == after_reset(timing)
    assert starts(batch.ram[0])[1] == starts(batch.ram[2])[1] == 1
    batch.soft_reset([0, 2])
    batch.step(idle, 1)
    assert starts(batch.ram[0]) == starts(batch.ram[2]) == after_reset(timing)
    # A reset without a snapshot is the batch's power-on, in its timing.
    batch.reset([1], noop_frames=[2])
    assert starts(batch.ram[1]) == ([0, 0, 0, 0x34, POWER_ON_SP[timing]], 1)
    batch.restore(2, before)
    assert starts(batch.ram[2])[1] == 1
    with pytest.raises(IndexError):
        batch.soft_reset(3)
    with pytest.raises(ValueError, match="timing must be"):
        Batch(PROBE, 1, timing="fast")


def test_snapshots_set_the_timing_of_the_console_they_restore():
    snapshots = {}
    for timing in TIMINGS:
        batch = Batch(PROBE, 1, obs_type=None, timing=timing)
        batch.step(np.zeros(1, np.uint8), 3)
        snapshots[timing] = batch.snapshot(0)
        assert velkora_gym.snapshot_timing(snapshots[timing]) == timing
    batch = Batch(PROBE, 4, obs_type=None, timing="hardware")
    batch.restore(0, snapshots["design"])
    batch.restore_many([1, 2], [snapshots["design"], snapshots["hardware"]])
    assert [batch.timing_of(i) for i in range(4)] == ["design", "design", "hardware", "hardware"]
    batch.reset([0, 1])  # back to the batch's power-on
    assert batch.timing_of(0) == batch.timing_of(1) == "hardware"
    batch.reset([3], snapshots["design"])
    assert batch.timing_of(3) == "design"
    # On single consoles too, and the frames after it are the original's.
    for timing, data in snapshots.items():
        for other in TIMINGS:
            nes = probe(other)
            nes.runFrame()
            velkora_gym.restore(nes, data)
            assert velkora_gym.timing(nes) == timing
            velkora_gym.soft_reset(nes)
            nes.runFrame()
            assert starts(nes.cpuMem()) == after_reset(timing)
    with pytest.raises(ValueError, match="not a velkora snapshot"):
        velkora_gym.snapshot_timing(b"VELKSNAX" + bytes(40))
    with pytest.raises(ValueError, match="checksum"):
        velkora_gym.snapshot_timing(snapshots["hardware"][:-1] + bytes([snapshots["hardware"][-1] ^ 1]))


@pytest.mark.parametrize("timing", TIMINGS)
def test_a_save_state_leaves_the_timing_as_it_is(timing, tmp_path):
    saved = probe(timing)
    saved.setSaveDir(str(tmp_path))
    saved.runFrame()
    saved.saveState(1)
    assert (tmp_path / "1").stat().st_size == 82189  # the design's size in either timing
    other = "design" if timing == "hardware" else "hardware"
    loader = probe(other)
    loader.setSaveDir(str(tmp_path))
    loader.runFrame()
    assert loader.loadState(1)
    assert velkora_gym.timing(loader) == other


# --- environments ---

pytest.importorskip("gymnasium")
from velkora_gym.envs import VelkoraEnv, VelkoraVectorEnv  # noqa: E402


def env_sp(env) -> list[int]:
    observations, _ = env.reset(seed=0)
    return [int(sp) for sp in np.atleast_2d(observations)[:, 0x14]]


@pytest.mark.parametrize("timing", TIMINGS)
@pytest.mark.parametrize("vector", [False, True])
def test_environments_honour_timing_and_follow_a_start_state(timing, vector, monkeypatch):
    def make(**options):
        options = {"obs_type": "ram", "frameskip": 1, "start_frames": 2, **options}
        return VelkoraVectorEnv(PROBE, 2, **options) if vector else VelkoraEnv(PROBE, **options)

    env = make(timing=timing)
    assert env.timing == timing and env_sp(env) == [POWER_ON_SP[timing]] * (2 if vector else 1)
    # From power-on, None is VELKORA_TIMING's.
    monkeypatch.setenv("VELKORA_TIMING", timing)
    assert make().timing == timing
    monkeypatch.delenv("VELKORA_TIMING")
    assert make().timing == "design"

    batch = Batch(PROBE, 1, obs_type=None, timing=timing)
    batch.step(np.zeros(1, np.uint8), 2)
    state = batch.snapshot(0)
    followed = make(start_state=state, start_frames=0)
    assert followed.timing == timing and set(env_sp(followed)) == {POWER_ON_SP[timing]}
    # The start state's timing wins over VELKORA_TIMING.
    monkeypatch.setenv("VELKORA_TIMING", "design" if timing == "hardware" else "hardware")
    assert make(start_state=state).timing == timing
    monkeypatch.delenv("VELKORA_TIMING")
    other = "design" if timing == "hardware" else "hardware"
    with pytest.raises(ValueError, match=f"start_state is a start state of the {timing} timing.*timing='{other}'"):
        make(start_state=state, timing=other)
    with pytest.raises(ValueError, match="timing must be 'design' or 'hardware'"):
        make(timing="cycle")


def test_an_environment_refuses_a_snapshot_of_the_other_timing():
    env = VelkoraEnv(PROBE, obs_type="ram", timing="hardware")
    env.reset(seed=0)
    env.step(0)
    mine = env.clone_state()
    design = VelkoraEnv(PROBE, obs_type="ram")
    design.reset(seed=0)
    theirs = design.clone_state()
    before = env.clone_state()
    with pytest.raises(ValueError, match="of the design timing and the environment runs the hardware one"):
        env.restore_state(theirs)
    assert env.clone_state() == before
    env.restore_state(mine)
    assert velkora_gym.snapshot_timing(env.clone_state()) == "hardware"


def test_an_integration_state_of_the_other_timing_names_its_file(tmp_path):
    batch = Batch(PROBE, 1, obs_type=None)
    batch.step(np.zeros(1, np.uint8), 2)
    data = {"info": {"starts": {"address": 32, "type": "|u1"}}}
    folder = write_integration(tmp_path / "probe", data, {}, {"metadata.json": {"default_state": "Start"}})
    (folder / "Start.state").write_bytes(batch.snapshot(0))
    with pytest.raises(ValueError, match=r"Start\.state is a start state of the design timing"):
        VelkoraEnv(PROBE, integration=folder, timing="hardware")
    assert VelkoraEnv(PROBE, integration=folder, timing="hardware", state=None).timing == "hardware"
    assert VelkoraEnv(PROBE, integration=folder).timing == "design"


def test_the_two_player_environment_honours_timing():
    pytest.importorskip("pettingzoo")
    from velkora_gym.envs.two_player import VelkoraParallelEnv

    env = VelkoraParallelEnv(PROBE, obs_type="ram", start_frames=2, timing="hardware")
    observations, _ = env.reset(seed=0)
    assert env.timing == "hardware" and observations["player_1"][0x14] == POWER_ON_SP["hardware"]
    state = env.clone_state()
    with pytest.raises(ValueError, match="start state of the hardware timing"):
        VelkoraParallelEnv(PROBE, start_state=state, timing="design")
    assert VelkoraParallelEnv(PROBE, start_state=state).timing == "hardware"
    design = VelkoraParallelEnv(PROBE, obs_type="ram")
    design.reset()
    with pytest.raises(ValueError, match="the environment runs the hardware one"):
        env.restore_state(design.clone_state())
