"""RLlib on the native batch (``pip install velkora[rllib]``): each env runner steps one
``VelkoraVectorEnv`` of ``num_envs_per_env_runner`` consoles on its own native threads.

    from ray.rllib.algorithms.ppo import PPOConfig
    from velkora_gym.train.rllib import configure, fit_cpus

    config = configure(PPOConfig(), "velkora/Demo-v0", envs_per_runner=8, obs_type="grayscale",
                       screen_size=84, frame_stack=4, noop_max=30)
    config = fit_cpus(config.env_runners(num_env_runners=2))   # after ray.init()
    algo = config.build_algo()
    algo.train()

``configure`` sets the env runners to ``VelkoraEnvRunner``, which makes its environment
through the id's Gymnasium vector entry point (``gymnasium.make_vec(...,
vectorization_mode="vector_entry_point")``) in the next-step autoreset mode RLlib's
sampling loop expects: the step after an episode's end returns the next episode's first
observation. A fragment is sampled a whole batch a step and its episodes filled once at
its end (``velkora_gym.train.rllib_fragment``) wherever that gives what RLlib's own loop gives:
the default connector pipelines, a module without state, no per-episode callbacks; else
RLlib's loop runs. Observations stay ``uint8`` in the episodes (and on their way to the
learners); ``VelkoraPPOTorchRLModule``, PPO's default module, reads them as floats in
[0, 1], one tensor operation a batch. Frame stacking, sticky actions, no-op starts and
episodic life are the environments' own options, run in the native workers. Console i of
env runner w is seeded ``seed + 1_000_000 * evaluation + w * num_envs + i``: every console
of every runner its own seed.

Two players: ``configure_two_player`` gives RLlib's multi-agent API the two joypads of
``VelkoraParallelEnv`` (``VelkoraMultiAgentEnv``), with one policy shared by both players
(self-play) or one each.
"""

from __future__ import annotations

import weakref
from collections.abc import Mapping
from typing import Any, Unpack

import gymnasium as gym
import numpy as np
import torch
from gymnasium import spaces
from gymnasium.vector import AutoresetMode, VectorWrapper
from ray.rllib.algorithms.algorithm_config import AlgorithmConfig
from ray.rllib.algorithms.ppo.torch.default_ppo_torch_rl_module import DefaultPPOTorchRLModule
from ray.rllib.callbacks.utils import make_callback
from ray.rllib.core.columns import Columns
from ray.rllib.core.rl_module.multi_rl_module import MultiRLModuleSpec
from ray.rllib.core.rl_module.rl_module import RLModuleSpec
from ray.rllib.core.rl_module.torch.torch_rl_module import TorchRLModule
from ray.rllib.env.env_context import EnvContext
from ray.rllib.env.env_runner import ENV_STEP_FAILURE
from ray.rllib.env.multi_agent_env import MultiAgentEnv
from ray.rllib.env.single_agent_env_runner import SingleAgentEnvRunner
from ray.rllib.env.single_agent_episode import SingleAgentEpisode
from ray.rllib.utils.metrics import ENV_TO_MODULE_CONNECTOR, RLMODULE_INFERENCE_TIMER
from ray.rllib.utils.numpy import convert_to_numpy

from velkora_gym.envs.options import EnvOptions
from velkora_gym.envs.vector import VelkoraVectorEnv
from velkora_gym.train.rllib_fragment import Fragment, unbatchable

__all__ = [
    "NATURE_CNN",
    "RETURNS",
    "VelkoraEnvRunner",
    "VelkoraMultiAgentEnv",
    "VelkoraPPOTorchRLModule",
    "configure",
    "configure_two_player",
    "fit_cpus",
    "log_returns",
    "model_config",
    "returns_of",
]

#: The convolutions of the DQN Nature paper (SB3's CnnPolicy), without padding: pictures of
#: at least 36 x 36.
NATURE_CNN = [[32, 8, 4, "valid"], [64, 4, 2, "valid"], [64, 3, 1, "valid"]]
SMALLEST_PICTURE = 36
SHARED_POLICY = "shared"
#: Where ``log_returns`` puts the episodes' returns: ``result["env_runners"][RETURNS]``.
RETURNS = "episode_returns"


# --- the model ---
def _scaled(batch: dict[str, Any]) -> dict[str, Any]:
    """The batch with uint8 observations as float32 in [0, 1] (a new dict: the caller's
    batch keeps its bytes)."""
    observations = batch.get(Columns.OBS)
    if isinstance(observations, torch.Tensor) and observations.dtype == torch.uint8:
        return {**batch, Columns.OBS: observations.to(torch.float32).mul_(1.0 / 255.0)}
    return batch


class VelkoraPPOTorchRLModule(DefaultPPOTorchRLModule):
    """PPO's default torch module (CNN for pictures, MLP for memory) reading ``uint8``
    observations as floats in [0, 1], in the env runners and the learners alike."""

    def _forward(self, batch: dict[str, Any], **kwargs: Any) -> dict[str, Any]:
        return super()._forward(_scaled(batch), **kwargs)

    def _forward_train(self, batch: dict[str, Any], **kwargs: Any) -> dict[str, Any]:
        return super()._forward_train(_scaled(batch), **kwargs)

    def compute_values(self, batch: dict[str, Any], embeddings: Any = None) -> Any:
        return super().compute_values(batch if embeddings is not None else _scaled(batch), embeddings)


def model_config(observation_space: spaces.Space, **overrides: Any) -> dict[str, Any]:
    """The module's model configuration for these observations: pictures (H, W, C) get the
    Nature CNN, its features shared by the policy and the value heads, each with a hidden
    layer of 512; memory (a vector) RLlib's default MLP. ``overrides`` are
    ``DefaultModelConfig`` fields. ValueError for pictures too small for the Nature CNN
    when no ``conv_filters`` of one's own are given."""
    shape = observation_space.shape or ()
    if len(shape) == 3:
        config: dict[str, Any] = {"conv_filters": NATURE_CNN, "head_fcnet_hiddens": [512], "vf_share_layers": True}
        if "conv_filters" not in overrides and min(shape[:2]) < SMALLEST_PICTURE:
            raise ValueError(
                f"observations of {shape[0]}x{shape[1]} are too small for the Nature CNN (at least "
                f"{SMALLEST_PICTURE}x{SMALLEST_PICTURE}): give conv_filters of your own in model="
            )
    elif len(shape) == 1:
        config = {}
    else:
        raise ValueError(
            f"RLlib's default models take pictures (H, W, C) or vectors, not observations of shape {shape}: "
            "use channel_axis=True for grayscale"
        )
    return {**config, **overrides}


# --- one vector environment per env runner ---
class _RunnerView(VectorWrapper):
    """What RLlib's sampling loop reads of a ``VelkoraVectorEnv``: a list of infos, empty
    but where an episode ended or began (the game's variables then), the eight buttons as
    ``MultiDiscrete([2] * 8)`` (RLlib has no distribution for ``MultiBinary``), and seeds
    spread so that no two consoles of any two runners share one."""

    def __init__(self, env: VelkoraVectorEnv, runner_index: int) -> None:
        super().__init__(env)
        if env.metadata["autoreset_mode"] != AutoresetMode.NEXT_STEP:
            raise ValueError("RLlib's env runners need autoreset_mode=NEXT_STEP (the vector environment's default)")
        if isinstance(env.single_action_space, spaces.MultiBinary):
            self.single_action_space = spaces.MultiDiscrete([2] * int(env.single_action_space.n))
            self.action_space = gym.vector.utils.batch_space(self.single_action_space, env.num_envs)
        self._spacing = runner_index * (env.num_envs - 1)
        self._restarting = np.zeros(env.num_envs, bool)

    def reset(self, *, seed: int | list[int | None] | None = None, options: dict[str, Any] | None = None):
        # RLlib seeds runner w with seed + w and the vector env console i with that + i:
        # w * (num_envs - 1) more makes it seed + w * num_envs + i.
        if isinstance(seed, (int, np.integer)) and not isinstance(seed, bool):
            seed = int(seed) + self._spacing
        observations, info = self.env.reset(seed=seed, options=options)
        self._restarting[:] = False
        return observations, self._rows(info, np.ones(self.num_envs, bool))

    def step(self, actions: Any):
        observations, rewards, terminated, truncated, info = self.env.step(actions)
        ended = terminated | truncated
        infos = self._rows(info, ended | self._restarting)
        self._restarting = ended
        return observations, rewards, terminated, truncated, infos

    def _rows(self, info: Mapping[str, Any], rows: np.ndarray) -> list[dict[str, Any]]:
        """One info a console: the vector info's values of the consoles `rows`, else empty."""
        infos: list[dict[str, Any]] = [{} for _ in range(self.num_envs)]
        if rows.any():
            names = [name for name in info if name[0] != "_"]
            for i in np.flatnonzero(rows).tolist():
                infos[i] = {name: info[name][i].item() for name in names}
        return infos


class VelkoraEnvRunner(SingleAgentEnvRunner):
    """RLlib's single-agent env runner holding one ``VelkoraVectorEnv`` of
    ``num_envs_per_env_runner`` consoles, made through the environment id's vector entry
    point. Its native threads are the env config's ``threads``, else the runner's whole
    CPUs (at least one); a remote runner's torch runs as many threads."""

    #: Sample in arrays (``velkora_gym.train.rllib_fragment``) where that gives the episodes
    #: RLlib's own loop gives (``unbatched_reason`` is None); False: always RLlib's loop.
    batched: bool = True

    def __init__(self, *, config: AlgorithmConfig, **kwargs: Any) -> None:
        self._unbatched: tuple[str | None] | None = None
        super().__init__(config=config, **kwargs)
        if self.worker_index:  # a runner of its own: not the driver, whose torch is the learner's
            torch.set_num_threads(_whole_cpus(self.config.num_cpus_per_env_runner))

    @property
    def unbatched_reason(self) -> str | None:
        """Why ``sample(num_timesteps=...)`` runs RLlib's own loop (a connector of one's
        own, a stateful module, per-episode callbacks...), or None: the batched loop."""
        if self._unbatched is None:
            self._unbatched = (unbatchable(self),)
        return self._unbatched[0]

    def _sample(
        self,
        *,
        num_timesteps: int | None = None,
        num_episodes: int | None = None,
        explore: bool,
        random_actions: bool = False,
        force_reset: bool = False,
    ) -> list[SingleAgentEpisode]:
        if num_timesteps and self.batched and self.unbatched_reason is None:
            return self._sample_batched(num_timesteps, explore, random_actions, force_reset)
        return super()._sample(
            num_timesteps=num_timesteps,
            num_episodes=num_episodes,
            explore=explore,
            random_actions=random_actions,
            force_reset=force_reset,
        )

    def _sample_batched(
        self, num_timesteps: int, explore: bool, random_actions: bool, force_reset: bool
    ) -> list[SingleAgentEpisode]:
        """RLlib's ``_sample`` for `num_timesteps`, a whole batch a step: the module's
        forward pass, the env step, and the step's arrays kept; the episodes are filled
        once at the end."""
        if force_reset or self._needs_initial_reset:
            self._reset_envs_and_episodes(explore)
        done: list[SingleAgentEpisode] = []
        fragment = Fragment(self._ongoing_episodes)
        module = self.module
        # TorchRLModule.forward_* put the module in eval mode and back each call (a walk
        # over every submodule twice): here once a fragment.
        direct = (
            not random_actions
            and isinstance(module, TorchRLModule)
            and type(module).forward_exploration is TorchRLModule.forward_exploration
            and type(module).forward_inference is TorchRLModule.forward_inference
        )
        training = direct and module.training
        if direct:
            module.eval()
        forward = None
        if not random_actions:
            name = "forward_exploration" if explore else "forward_inference"
            forward = getattr(module, f"_{name}" if direct else name)
        ts = 0
        batch = self._cached_to_module
        observations: Any = None
        try:
            while ts < num_timesteps:
                if forward is None:
                    actions, outputs = self.env.action_space.sample(), {}
                else:
                    if batch is None:  # the last step's observations, as NumpyToTensor gives them
                        batch = self._env_to_module.connectors[-1](
                            rl_module=module, batch={Columns.OBS: observations}, episodes=self._ongoing_episodes
                        )
                    self._cached_to_module = None
                    actions, outputs = self._act(forward, batch, explore, ts)
                    batch = None
                results = self._try_env_step(actions)
                if results is ENV_STEP_FAILURE:  # the env was made again: RLlib drops the episodes going on
                    if fragment.times:
                        ended = fragment.episodes(self._weights_seq_no, self._spaces())[0]
                        done += [episode.to_numpy() for *_, episode in ended]
                    ts = 0
                    self._reset_envs_and_episodes(explore)
                    fragment = Fragment(self._ongoing_episodes)
                    batch = self._cached_to_module
                    continue
                observations, rewards, terminated, truncated, infos = results
                ts += fragment.add(observations, actions, rewards, terminated, truncated, infos, outputs)
        finally:
            if training:
                module.train()

        ended, going, last = fragment.episodes(self._weights_seq_no, self._spaces())
        if module is not None:
            # The pipeline itself, once, on the last step: the next sample's first batch.
            self._cached_to_module = self._env_to_module(
                episodes=last,
                batch={},
                explore=explore,
                rl_module=module,
                shared_data=self._shared_data,
                metrics=self.metrics,
                metrics_prefix_key=(ENV_TO_MODULE_CONNECTOR,),
                **{
                    Columns.OBS: list(observations),
                    Columns.ACTIONS: list(actions),
                    Columns.REWARDS: rewards,
                    Columns.INFOS: infos,
                    Columns.TERMINATEDS: terminated,
                    Columns.TRUNCATEDS: truncated,
                },
            )
        done += [episode.to_numpy() for *_, episode in ended]
        self._done_episodes_for_metrics.extend(done)
        continuations = [episode.cut(len_lookback_buffer=self.config.episode_lookback_horizon) for episode in going]
        chunks = []
        for episode in going:
            if episode.t == 0:  # nothing in it yet
                continue
            episode.validate()
            self._ongoing_episodes_for_metrics[episode.id_].append(episode)
            chunks.append(episode.to_numpy())
        self._ongoing_episodes = continuations
        self._log_env_steps(metric=self._metrics_num_env_steps_sampled, num_steps=ts)
        self._increase_sampled_metrics(ts, len(done))
        return done + chunks

    def _act(self, forward: Any, batch: dict[str, Any], explore: bool, ts: int) -> tuple[np.ndarray, dict[str, Any]]:
        """The actions of a batch and the module's other outputs, as numpy arrays: the
        default module-to-env pipeline without its splitting into consoles."""
        with self.metrics.log_time(RLMODULE_INFERENCE_TIMER):
            if explore:
                runners = self.config.num_env_runners or 1
                output = forward(batch, t=(self.num_env_steps_sampled_lifetime // runners + ts) * runners)
            else:
                output = forward(batch)
        output = self._module_to_env.connectors[0](
            rl_module=self.module, batch=output, episodes=self._ongoing_episodes, explore=explore
        )
        output = convert_to_numpy(output)
        output.pop(Columns.ACTIONS_FOR_ENV, None)
        return output.pop(Columns.ACTIONS), output

    def _spaces(self) -> tuple[spaces.Space, spaces.Space]:
        return self.env.single_observation_space, self.env.single_action_space

    def make_env(self) -> None:
        if self.env is not None:
            self.env.close()
        options = dict(self.config.env_config)  # an EnvContext: the options alone
        options.setdefault("threads", _whole_cpus(self.config.num_cpus_per_env_runner))
        made = gym.make_vec(
            self.config.env,
            num_envs=self.config.num_envs_per_env_runner,
            vectorization_mode=gym.VectorizeMode.VECTOR_ENTRY_POINT,
            **options,
        )
        native = made.unwrapped
        if not isinstance(native, VelkoraVectorEnv):
            made.close()
            raise TypeError(
                f"VelkoraEnvRunner runs velkora's vector environments; env={self.config.env!r} made "
                f"{type(native).__name__} (give velkora/Demo-v0, velkora/NES-v0 or a velkora id of your own)"
            )
        self.env = _RunnerView(native, self.worker_index or 0)
        self.num_envs = self.env.num_envs
        self._needs_initial_reset = True
        make_callback(
            "on_environment_created",
            callbacks_objects=self._callbacks,
            callbacks_functions=self.config.callbacks_on_environment_created,
            kwargs=dict(
                env_runner=self,
                metrics_logger=self.metrics,
                env=native,
                env_context=EnvContext(
                    self.config.env_config, worker_index=self.worker_index, num_workers=self.num_workers
                ),
            ),
        )


def log_returns(*, env_runner: Any, metrics_logger: Any, samples: list[Any], **kwargs: Any) -> None:
    """An ``on_sample_end`` callback (``config.callbacks(on_sample_end=log_returns)``):
    every episode's whole return (both players' for two) in the result of the iteration in
    which it ended, ``returns_of(result)``. An env runner hands an episode on in chunks, one
    a ``sample()`` while it goes on, each with the rewards since the last; their sums are
    kept by runner and episode until the last. (RLlib's own ``episode_return_mean`` is the
    mean of the iteration's episodes.)"""
    before = _RUNNING.get(env_runner, {})
    going: dict[str, float] = {}
    for episode in samples:
        so_far = before.get(episode.id_, 0.0) + float(episode.get_return())
        if episode.is_done:
            metrics_logger.log_value(RETURNS, so_far, reduce="item_series")
        else:
            going[episode.id_] = so_far
    _RUNNING[env_runner] = going  # an episode dropped by a reset is forgotten here


#: The returns so far of each env runner's unfinished episodes, by episode id.
_RUNNING: weakref.WeakKeyDictionary[Any, dict[str, float]] = weakref.WeakKeyDictionary()


def returns_of(result: Mapping[str, Any]) -> list[float]:
    """The returns ``log_returns`` listed in a training result (``algo.train()``'s). RLlib
    gives a list, a lone number for one episode, or NaN for none."""
    logged = result.get("env_runners", {}).get(RETURNS)
    if logged is None:
        return []
    if isinstance(logged, (int, float, np.number)):
        return [] if np.isnan(logged) else [float(logged)]
    return [float(value) for value in logged]


def _whole_cpus(cpus: object) -> int:
    return max(1, int(cpus)) if isinstance(cpus, (int, float)) else 1


def configure(
    config: AlgorithmConfig,
    env: str = "velkora/Demo-v0",
    *,
    envs_per_runner: int | None = None,
    threads: int | None = None,
    model: Mapping[str, Any] | None = None,
    **options: Unpack[EnvOptions],
) -> AlgorithmConfig:
    """``config`` (a PPO config) set to train on velkora environment ``env`` (a registered
    id) with these options (``velkora_gym.EnvOptions``; ``channel_axis`` on unless given):
    ``VelkoraEnvRunner`` env runners of ``envs_per_runner`` consoles each (default: the
    config's ``num_envs_per_env_runner``) on ``threads`` native threads each (default: each
    runner's whole CPUs), and ``VelkoraPPOTorchRLModule`` with ``model_config`` for the
    observations, ``model`` overriding its fields. The options are checked here, by making
    the environment once."""
    options = {"channel_axis": True, **options}  # type: ignore[assignment]
    env_config: dict[str, Any] = dict(options)
    if threads is not None:
        env_config["threads"] = threads
    probe = gym.make_vec(env, num_envs=1, vectorization_mode="vector_entry_point", threads=1, **options)
    if not isinstance(probe.unwrapped, VelkoraVectorEnv):
        raise TypeError(f"{env} is not a velkora environment: configure() takes velkora/Demo-v0 or velkora/NES-v0")
    observation_space = probe.single_observation_space
    probe.close()
    runners: dict[str, Any] = {"env_runner_cls": VelkoraEnvRunner, "gym_env_vectorize_mode": "vector_entry_point"}
    if envs_per_runner is not None:
        runners["num_envs_per_env_runner"] = envs_per_runner
    return (
        config.environment(env=env, env_config=env_config)
        .env_runners(**runners)
        .rl_module(
            rl_module_spec=RLModuleSpec(module_class=VelkoraPPOTorchRLModule),
            model_config=model_config(observation_space, **(model or {})),
        )
    )


def fit_cpus(config: AlgorithmConfig, cpus: float | None = None) -> AlgorithmConfig:
    """``config`` with each env runner (training and evaluation) and learner actor asking
    for at most one CPU, and together for no more than ``cpus`` (default: the CPUs of the
    Ray instance running, so call it after ``ray.init``): on a machine with fewer cores
    than actors Ray then starts them all, rather than waiting forever for CPUs."""
    if cpus is None:
        import ray

        cpus = float(ray.cluster_resources().get("CPU", 1.0))
    actors = (config.num_env_runners or 0) + (config.evaluation_num_env_runners or 0) + (config.num_learners or 0)
    share = min(1.0, cpus / actors) if actors else 1.0
    config = config.env_runners(num_cpus_per_env_runner=share)
    if config.num_learners:
        config = config.learners(num_cpus_per_learner=share)
    return config


# --- two players ---
class VelkoraMultiAgentEnv(MultiAgentEnv):
    """The two joypads of a ``VelkoraParallelEnv`` (the two-player demo cartridge by
    default) as an RLlib ``MultiAgentEnv``: the agents ``player_1`` and ``player_2`` see the
    same screen, the last ``frame_stack`` pictures stacked on the channel axis (zeros
    before an episode's first, as the vector environment stacks), and each has its own
    reward. ``config`` holds ``VelkoraParallelEnv``'s keyword options and ``frame_stack``
    [1]."""

    def __init__(self, config: Mapping[str, Any] | None = None) -> None:
        super().__init__()
        from velkora_gym.envs.two_player import VelkoraParallelEnv

        options = dict(config or {})
        stack = options.pop("frame_stack", 1)
        if isinstance(stack, bool) or not isinstance(stack, (int, np.integer)) or not 1 <= stack <= 64:
            raise ValueError(f"frame_stack must be an int from 1 to 64, not {stack!r}")
        self._env = VelkoraParallelEnv(**options)
        self.possible_agents = list(self._env.possible_agents)
        self.agents = []
        single = self._env.observation_space(self.possible_agents[0])
        self._pictures = len(single.shape) > 1
        if not self._pictures and stack != 1:
            raise ValueError("frame_stack stacks pictures, not obs_type='ram'")
        shape = single.shape if len(single.shape) != 2 else (*single.shape, 1)
        if self._pictures:
            shape = (*shape[:2], shape[2] * stack)
        self._channels = shape[-1] // stack if self._pictures else 0
        self.observation_spaces = {agent: spaces.Box(0, 255, shape, np.uint8) for agent in self.possible_agents}
        self.action_spaces = {}
        for agent in self.possible_agents:
            space = self._env.action_space(agent)
            self.action_spaces[agent] = (
                spaces.MultiDiscrete([2] * space.n) if isinstance(space, spaces.MultiBinary) else space
            )
        self._stack: np.ndarray | None = None

    def _observe(self, picture: np.ndarray, first: bool) -> np.ndarray:
        if not self._pictures:
            return picture
        picture = picture.reshape(*picture.shape[:2], -1)
        if first:
            self._stack = np.zeros(self.observation_spaces[self.possible_agents[0]].shape, np.uint8)
        assert self._stack is not None
        # A new array each step: the episodes keep the ones returned.
        self._stack = np.concatenate((self._stack[..., self._channels :], picture), axis=-1)
        return self._stack

    def reset(self, *, seed: int | None = None, options: dict[str, Any] | None = None):
        observations, infos = self._env.reset(seed=seed, options=options)
        self.agents = list(self._env.agents)
        seen = self._observe(next(iter(observations.values())), True)
        return {agent: seen for agent in self.agents}, infos

    def step(self, action_dict: Mapping[str, Any]):
        observations, rewards, terminated, truncated, infos = self._env.step(dict(action_dict))
        seen = self._observe(next(iter(observations.values())), False)
        self.agents = list(self._env.agents)
        terminated = {**terminated, "__all__": all(terminated.values())}
        truncated = {**truncated, "__all__": all(truncated.values())}
        return {agent: seen for agent in observations}, rewards, terminated, truncated, infos

    def render(self) -> np.ndarray | None:
        return self._env.render()

    def close(self) -> None:
        self._env.close()


def configure_two_player(
    config: AlgorithmConfig,
    *,
    shared: bool = True,
    frame_stack: int = 1,
    envs_per_runner: int | None = None,
    model: Mapping[str, Any] | None = None,
    **options: Any,
) -> AlgorithmConfig:
    """``config`` (a PPO config) set to train both players of ``VelkoraMultiAgentEnv`` with
    ``VelkoraParallelEnv``'s ``options``: one policy ``"shared"`` for both (self-play;
    the players must have the same action space) or, with ``shared=False``, the policies
    ``player_1`` and ``player_2``. RLlib's multi-agent env runners step ``envs_per_runner``
    such environments each, one console apiece."""
    env_config = {**options, "frame_stack": frame_stack}
    probe = VelkoraMultiAgentEnv(env_config)
    probe.close()
    agents = probe.possible_agents
    observation_space = probe.observation_spaces[agents[0]]
    if shared:
        first, second = (probe.action_spaces[agent] for agent in agents)
        if first != second:
            raise ValueError(
                f"one shared policy needs the players to have the same actions, not {first} and {second}: "
                "shared=False trains one policy each"
            )
        policies = {SHARED_POLICY}
        mapping = _shared
    else:
        policies = set(agents)
        mapping = _own
    spec = RLModuleSpec(
        module_class=VelkoraPPOTorchRLModule, model_config=model_config(observation_space, **(model or {}))
    )
    runners: dict[str, Any] = {}
    if envs_per_runner is not None:
        runners["num_envs_per_env_runner"] = envs_per_runner
    return (
        config.environment(env=VelkoraMultiAgentEnv, env_config=env_config)
        .env_runners(**runners)
        .multi_agent(policies=policies, policy_mapping_fn=mapping)
        .rl_module(rl_module_spec=MultiRLModuleSpec(rl_module_specs={policy: spec for policy in policies}))
    )


def _shared(agent_id: str, episode: Any, **kwargs: Any) -> str:
    return SHARED_POLICY


def _own(agent_id: str, episode: Any, **kwargs: Any) -> str:
    return agent_id
