"""The PufferLib environment against PufferLib's own vector layer and trainer."""

from __future__ import annotations

import numpy as np
import pytest

import golden
from nesrom import RESET_PROBE, build_rom

pytest.importorskip("gymnasium")
pytest.importorskip("pufferlib")
import pufferlib.models  # noqa: E402
import pufferlib.vector  # noqa: E402

from velkora_gym.envs import VelkoraEnv  # noqa: E402
from velkora_gym.train.puffer import VelkoraPufferEnv, demo  # noqa: E402

IMAGE = golden.own_cartridges()["velkora-demo.nes"]
# Episodes end at the demo's NMI counter 120 or at 100 frames, whichever comes first.
ENDS = {
    "variables": {"nmi": {"address": 0, "type": "|u1"}},
    "terminated_fn": lambda v: v["nmi"] >= 120,
    "max_episode_frames": 100,
    "noop_max": 40,
}


@pytest.mark.parametrize("judged", ["in Python", "natively"])
@pytest.mark.parametrize("observations", ["grayscale", "ram-multibinary"])
def test_agents_step_as_seeded_single_envs_restarting_in_the_same_step(observations, judged, counter_integration):
    options = {
        "grayscale": dict(obs_type="grayscale", screen_size=42, frameskip=(2, 6)),
        "ram-multibinary": dict(obs_type="ram", actions="multibinary"),
    }[observations]
    rules = (
        ENDS if judged == "in Python" else dict(integration=counter_integration, max_episode_frames=100, noop_max=40)
    )
    options = {**options, **rules}
    n, steps, seed = 3, 80, 11
    vecenv = pufferlib.vector.make(VelkoraPufferEnv, env_args=[IMAGE, n], env_kwargs={"threads": 2, **options})
    assert isinstance(vecenv, VelkoraPufferEnv) and vecenv.num_agents == n
    singles = [VelkoraEnv(IMAGE, **options) for _ in range(n)]
    expected = np.stack([env.reset(seed=seed + i)[0] for i, env in enumerate(singles)])
    vecenv.async_reset(seed)
    returns, lengths, ends = np.zeros(n), np.zeros(n, int), {"terminated": 0, "truncated": 0}
    space = vecenv.single_action_space
    space.seed(0)
    for _ in range(steps):
        observations, rewards, terminals, truncations, *_, infos, agents, masks = vecenv.recv()
        assert np.array_equal(observations.reshape(expected.shape), expected)
        actions = np.stack([space.sample() for _ in range(n)])
        vecenv.send(actions)
        rows, finished = [], []
        for i, env in enumerate(singles):
            obs, reward, term, trunc, _ = env.step(actions[i])
            returns[i] += reward
            lengths[i] += 1
            if term or trunc:
                finished.append({"episode_return": returns[i], "episode_length": lengths[i]})
                ends["truncated" if trunc and not term else "terminated"] += 1
                returns[i] = lengths[i] = 0
                obs, _ = env.reset()
            rows.append((obs, reward, term, trunc))
        expected = np.stack([r[0] for r in rows])
        assert np.array_equal(vecenv.rewards, [r[1] for r in rows])
        assert np.array_equal(vecenv.terminals, [r[2] for r in rows])
        assert np.array_equal(vecenv.truncations, [r[3] for r in rows])
        assert vecenv.infos == finished
    assert min(ends.values()) > 0, ends
    if options.get("actions") == "multibinary":
        assert vecenv.single_action_space.nvec.tolist() == [2] * 8


def test_serial_backend_runs_several_batches_in_shared_buffers():
    vecenv = pufferlib.vector.make(
        demo,
        env_kwargs={"num_envs": 2, "obs_type": "grayscale", "screen_size": 42, "noop_max": 30},
        backend=pufferlib.vector.Serial,
        num_envs=3,
    )
    assert vecenv.num_agents == 6 and vecenv.single_observation_space.shape == (42, 42, 1)
    observations, _ = pufferlib.vector.reset(vecenv, seed=0)
    assert observations.shape == (6, 42, 42, 1)
    for action in np.random.default_rng(0).integers(0, 7, 40):
        observations, rewards, *_ = pufferlib.vector.step(vecenv, np.full(6, action))
    # Batch k seeds its consoles k, k + 1: agents 1 and 2 (seed 1), 3 and 4 (seed 2) played
    # alike in their own rows; seeds 0 to 3 differ in their no-op starts.
    assert np.array_equal(observations[1], observations[2]) and np.array_equal(observations[3], observations[4])
    assert len({observations[i].tobytes() for i in (0, 1, 3, 5)}) > 1
    vecenv.close()


@pytest.mark.filterwarnings("ignore::UserWarning")  # torch: no float32 autocast on the CPU
def test_pufferlib_trainer_learns_on_the_native_batch(tmp_path, capsys):
    torch = pytest.importorskip("torch")
    from pufferlib import pufferl

    torch.set_num_threads(1)
    vecenv = pufferlib.vector.make(
        VelkoraPufferEnv, env_args=[IMAGE, 8], env_kwargs={"obs_type": "ram", "threads": 2, **ENDS}
    )
    policy = pufferlib.models.Default(vecenv, hidden_size=32)
    # The trainer reads every one of these settings; small batches, so the run takes seconds.
    run = dict(seed=0, torch_deterministic=True, device="cpu", cpu_offload=False, precision="float32")
    sizes = dict(batch_size=256, bptt_horizon=32, minibatch_size=128, max_minibatch_size=128, total_timesteps=1024)
    compiling = dict(compile=False, compile_mode="default", compile_fullgraph=False, use_rnn=False)
    optimiser = dict(optimizer="adam", learning_rate=3e-4, adam_beta1=0.9, adam_beta2=0.999, adam_eps=1e-8)
    ppo = dict(update_epochs=1, anneal_lr=True, gamma=0.99, gae_lambda=0.95, clip_coef=0.2, vf_clip_coef=0.2)
    losses = dict(vf_coef=0.5, ent_coef=0.01, max_grad_norm=0.5, prio_alpha=0.0, prio_beta0=1.0)
    vtrace = dict(vtrace_rho_clip=1.0, vtrace_c_clip=1.0)
    saving = dict(checkpoint_interval=1000, data_dir=str(tmp_path), env="velkora")
    config = {**run, **sizes, **compiling, **optimiser, **ppo, **losses, **vtrace, **saving}
    trainer = pufferl.PuffeRL(config, vecenv, policy)
    episodes = []
    while trainer.global_step < config["total_timesteps"]:
        episodes.extend(trainer.evaluate().get("episode_length", []))
        trainer.train()
    assert trainer.global_step >= 1024
    # 100-frame episodes of 4-frame steps, or fewer when the counter ends them first.
    assert episodes and all(1 <= length <= 25 for length in episodes)
    trainer.close()


def test_bad_use_is_refused_clearly():
    env = VelkoraPufferEnv(IMAGE, 2, obs_type="ram")
    env.reset()
    with pytest.raises(ValueError, match="are not 2 of"):
        env.step(np.zeros(3, np.int32))
    env.close()
    with pytest.raises(RuntimeError, match="closed"):
        env.step(np.zeros(2, np.int32))
    with pytest.raises(ValueError, match="obs_type"):
        VelkoraPufferEnv(IMAGE, 2, obs_type="depth")


def test_the_timing_option_reaches_the_consoles():
    env = VelkoraPufferEnv(build_rom(RESET_PROBE), 2, obs_type="ram", frameskip=1, start_frames=2, timing="hardware")
    assert env.timing == "hardware"
    # SP at the probe's reset handler: $FD after the hardware's power-on, $FF after the design's.
    observations, _ = env.reset()
    assert observations[:, 0x14].tolist() == [0xFD, 0xFD]
    env.close()
