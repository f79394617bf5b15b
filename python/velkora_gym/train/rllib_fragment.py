"""One ``sample()`` of a ``VelkoraEnvRunner`` kept in arrays: the vector steps as the
native vector env returns them, a batch a step, and the ``SingleAgentEpisode``s built
from them once at the end, console by console, as RLlib's own sampling loop builds them
a step and a console at a time (same data, same lookback, same chunks and order)."""

from __future__ import annotations

import time
from typing import Any

import numpy as np
from gymnasium import spaces
from ray.rllib.callbacks.callbacks import RLlibCallback
from ray.rllib.connectors.common import (
    AddObservationsFromEpisodesToBatch,
    AddStatesFromEpisodesToBatch,
    AddTimeDimToBatchAndZeroPad,
    BatchIndividualItems,
    NumpyToTensor,
    TensorToNumpy,
)
from ray.rllib.connectors.module_to_env import (
    GetActions,
    ListifyDataForVectorEnv,
    NormalizeAndClipActions,
    RemoveSingleTsTimeRankFromBatch,
    UnBatchToIndividualItems,
)
from ray.rllib.env.single_agent_episode import SingleAgentEpisode
from ray.rllib.env.utils.infinite_lookback_buffer import InfiniteLookbackBuffer
from ray.rllib.utils.metrics import WEIGHTS_SEQ_NO

#: RLlib's default connector pipelines, which the batched loop does itself on whole
#: batches: observations straight to a tensor, actions sampled from the module's
#: distribution and left as they are (the env's actions are discrete, nothing to unsquash).
ENV_TO_MODULE = (
    AddObservationsFromEpisodesToBatch,
    AddTimeDimToBatchAndZeroPad,
    AddStatesFromEpisodesToBatch,
    BatchIndividualItems,
    NumpyToTensor,
)
MODULE_TO_ENV = (
    GetActions,
    TensorToNumpy,
    UnBatchToIndividualItems,
    RemoveSingleTsTimeRankFromBatch,
    NormalizeAndClipActions,
    ListifyDataForVectorEnv,
)
#: Callbacks that see an episode each step: with any, the inherited loop runs.
EPISODE_CALLBACKS = ("on_episode_created", "on_episode_start", "on_episode_step", "on_episode_end")


def unbatchable(runner: Any) -> str | None:
    """Why `runner` (a ``VelkoraEnvRunner``) must sample through RLlib's own loop, or None
    when the batched loop gives the same episodes."""
    if [type(c) for c in runner._env_to_module.connectors] != list(ENV_TO_MODULE):
        return "the env-to-module pipeline is not RLlib's default"
    if [type(c) for c in runner._module_to_env.connectors] != list(MODULE_TO_ENV):
        return "the module-to-env pipeline is not RLlib's default"
    if not isinstance(runner.env.single_action_space, (spaces.Discrete, spaces.MultiDiscrete)):
        return "the actions are not discrete (NormalizeAndClipActions would change them)"
    if runner.module is not None and runner.module.is_stateful():
        return "the module is stateful"
    if not runner.config.episodes_to_numpy:
        return "episodes_to_numpy is off"
    for name in EPISODE_CALLBACKS:
        if getattr(runner.config, f"callbacks_{name}", None):
            return f"a {name} callback is set"
        if any(getattr(type(c), name) is not getattr(RLlibCallback, name) for c in runner._callbacks):
            return f"a callbacks class has {name}"
    return None


class Fragment:
    """The vector steps since the fragment began, over the episode chunks each console
    held then (`carried`: reset or not yet)."""

    def __init__(self, carried: list[SingleAgentEpisode]) -> None:
        self.carried = list(carried)
        # Consoles whose next observation begins their episode (the env's autoreset).
        self.fresh = np.array([not episode.is_reset for episode in carried], bool)
        self.observations: list[np.ndarray] = []
        self.actions: list[np.ndarray] = []
        self.rewards: list[np.ndarray] = []
        self.terminated: list[np.ndarray] = []
        self.truncated: list[np.ndarray] = []
        self.began: list[np.ndarray] = []
        self.ended: list[np.ndarray] = []
        self.infos: list[list[dict[str, Any]]] = []
        self.outputs: list[dict[str, np.ndarray]] = []
        self.times: list[float] = []

    def add(
        self,
        observations: np.ndarray,
        actions: np.ndarray,
        rewards: np.ndarray,
        terminated: np.ndarray,
        truncated: np.ndarray,
        infos: list[dict[str, Any]],
        outputs: dict[str, np.ndarray],
    ) -> int:
        """Keeps one vector step; returns the env steps it counts (the consoles that did
        not begin an episode)."""
        began = self.fresh
        ended = (terminated | truncated) & ~began  # add_env_reset takes no end
        self.observations.append(observations)
        self.actions.append(actions)
        self.rewards.append(rewards)
        self.terminated.append(terminated)
        self.truncated.append(truncated)
        self.began.append(began)
        self.ended.append(ended)
        self.infos.append(infos)
        self.outputs.append(outputs)
        self.times.append(time.perf_counter())
        self.fresh = ended
        return len(began) - int(np.count_nonzero(began))

    def episodes(
        self, weights_seq_no: int, episode_spaces: tuple[Any, Any]
    ) -> tuple[list[tuple[int, int, SingleAgentEpisode]], list[SingleAgentEpisode], list[SingleAgentEpisode]]:
        """Fills the episodes with the steps: the ended ones as (step, console, episode),
        then each console's episode going on (or a new empty one where the last step
        ended one), and the one its last step added to (the ended one there)."""
        steps = len(self.times)
        ended = np.stack(self.ended)
        columns = {
            "actions": np.stack(self.actions),
            "rewards": np.stack(self.rewards),
            "terminated": np.stack(self.terminated),
            "truncated": np.stack(self.truncated),
        }
        names = list(self.outputs[0]) if self.outputs else []
        outputs = {name: np.stack([step[name] for step in self.outputs]) for name in names}
        done: list[tuple[int, int, SingleAgentEpisode]] = []
        going: list[SingleAgentEpisode] = []
        last: list[SingleAgentEpisode] = []
        for console, episode in enumerate(self.carried):
            start = 0
            for end in np.flatnonzero(ended[:, console]).tolist():
                self._fill(episode, console, start, end, columns, outputs, weights_seq_no)
                done.append((end, console, episode))
                touched = episode
                episode = SingleAgentEpisode(observation_space=episode_spaces[0], action_space=episode_spaces[1])
                start = end + 1
            if start < steps:
                self._fill(episode, console, start, steps - 1, columns, outputs, weights_seq_no)
                touched = episode
            going.append(episode)
            last.append(touched)
        done.sort(key=lambda entry: entry[:2])
        return done, going, last

    def _fill(
        self,
        episode: SingleAgentEpisode,
        console: int,
        start: int,
        end: int,
        columns: dict[str, np.ndarray],
        outputs: dict[str, np.ndarray],
        weights_seq_no: int,
    ) -> None:
        """Adds steps `start` to `end` of `console` to `episode`, as ``add_env_reset``
        (where the console began it) and ``add_env_step`` would one by one."""
        began = self.began[start][console]
        first = start + 1 if began else start  # the first step taken with an action
        episode.observations.data.extend(self.observations[k][console] for k in range(start, end + 1))
        infos = [self.infos[k][console] or {} for k in range(start, end + 1)]
        episode.infos.data.extend(infos)
        if began:
            episode._start_time = self.times[start]
        taken = end + 1 - first
        if taken:
            rows = slice(first, end + 1)
            episode.actions.data.extend(columns["actions"][rows, console])
            episode.rewards.data.extend(columns["rewards"][rows, console])
            for name, values in outputs.items():
                _extend(episode, name, list(values[rows, console]))
            _extend(episode, WEIGHTS_SEQ_NO, [weights_seq_no] * taken)
            episode.t += taken
            episode.is_terminated = columns["terminated"][end, console]
            episode.is_truncated = columns["truncated"][end, console]
            episode._last_step_time = self.times[end]
            if episode._start_time is None:
                episode._start_time = self.times[first]
        episode._last_added_observation = episode.observations.data[-1]
        episode._last_added_infos = infos[-1]


def _extend(episode: SingleAgentEpisode, name: str, values: list[Any]) -> None:
    buffer = episode.extra_model_outputs.get(name)
    if buffer is None:
        episode.extra_model_outputs[name] = InfiniteLookbackBuffer(values)
    else:
        buffer.data.extend(values)
