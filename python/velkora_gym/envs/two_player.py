"""Two players on one console: a PettingZoo Parallel environment on the native batch.

``VelkoraParallelEnv`` has the agents ``player_1`` and ``player_2``, the joypads of ports 0
and 1. Both see the same screen (or memory); each has its own action set and its own reward
from the integration folder (its ``players`` entries, see ``velkora_gym.integration``). The
episode ends for both at once. Without a ROM it plays the two-player demo cartridge.
"""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np

try:
    from gymnasium import spaces
    from pettingzoo import ParallelEnv
except ImportError as error:  # pragma: no cover - depends on the installed extras
    raise ImportError(
        f"velkora_gym.VelkoraParallelEnv needs PettingZoo: pip install velkora[multi] ({error})"
    ) from error

from velkora_gym.actions import action_masks
from velkora_gym.batch import Batch, RomSource, check_board, read_image
from velkora_gym.console import RENDER_FPS
from velkora_gym.files import DEMO_2P_ROM, PACKAGE
from velkora_gym.integration import folders as integrations
from velkora_gym.integration import roms
from velkora_gym.timings import check_restored_timing, check_timing, start_timing

AGENTS = ("player_1", "player_2")
DEMO_2P_INTEGRATION = PACKAGE / "integrations" / "velkora-demo-2p"
#: The demo game draws its first playable frame 8 frames after power-on.
DEMO_START_FRAMES = 8
MAX_EPISODE_FRAMES = 108_000
OBS_TYPES = ("rgb", "grayscale", "ram")


class _FolderDefault:
    def __repr__(self) -> str:
        return "the folder's default_state"


FOLDER_DEFAULT: Any = _FolderDefault()


def _whole(value: object, name: str, minimum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < minimum:
        raise ValueError(f"{name} must be an int of at least {minimum}, not {value!r}")
    return int(value)


class VelkoraParallelEnv(ParallelEnv):
    """Two joypads of one NES console as a PettingZoo Parallel environment.

    ``rom`` (a path or the image's bytes; None: the two-player demo cartridge with its
    integration), ``integration`` (a folder) or ``game`` (a name on the integration search
    path), ``state`` (a start state of the folder, None for power-on; default the folder's
    ``default_state``) or ``start_state`` (snapshot bytes or a file), ``obs_type`` ("rgb",
    "grayscale" or "ram"), ``screen_size`` (an int or (height, width)), ``frameskip`` (frames
    a step runs), ``actions`` (an action set for both players: "simple", "complex", "all",
    "multibinary" or a list of button combinations; or a dict by agent; default: each
    player's groups from the folder, else "simple"), ``start_frames`` (frames with no button
    pressed after each reset), ``max_episode_frames`` (then both are truncated),
    ``render_mode`` ("rgb_array") and ``timing`` ("design" or "hardware"; None: the start
    state's, from power-on ``VELKORA_TIMING``, else "design"; a start state of another
    timing than the one given is a ValueError)."""

    metadata = {
        "name": "velkora_parallel_v0",
        "render_modes": ["rgb_array"],
        "render_fps": RENDER_FPS,
        "is_parallelizable": True,
    }

    def __init__(
        self,
        rom: RomSource | None = None,
        *,
        integration: str | os.PathLike[str] | None = None,
        game: str | None = None,
        state: str | None = FOLDER_DEFAULT,
        start_state: object = None,
        obs_type: str = "rgb",
        screen_size: int | tuple[int, int] | None = None,
        frameskip: int = 4,
        actions: object = None,
        start_frames: int | None = None,
        max_episode_frames: int | None = MAX_EPISODE_FRAMES,
        render_mode: str | None = None,
        timing: str | None = None,
    ) -> None:
        if timing is not None:
            check_timing(timing)
        if game is not None and integration is not None:
            raise ValueError("give game= (a name on the integration search path) or integration= (a folder), not both")
        demo = rom is None and game is None and integration is None
        if demo:
            rom, integration = DEMO_2P_ROM, DEMO_2P_INTEGRATION
        folder = (
            integrations.find(game) if game is not None else (Path(integration) if integration is not None else None)
        )
        self.integration = integrations.load(folder) if folder is not None else None
        image = self._image(rom)
        check_board(image)
        if obs_type not in OBS_TYPES:
            raise ValueError(f"obs_type must be one of {', '.join(map(repr, OBS_TYPES))}, not {obs_type!r}")
        self.obs_type = obs_type
        crop = self.integration.crop if self.integration is not None and obs_type != "ram" else None
        if crop is not None and screen_size is not None:
            raise ValueError(
                "this environment does not resize a cropped picture: give no screen_size with a scenario that crops"
            )
        if obs_type == "ram" and screen_size is not None:
            raise ValueError("screen_size applies to pictures, not to obs_type='ram'")
        self._crop = crop
        self.frameskip = _whole(frameskip, "frameskip", 1)
        self.start_frames = _whole(
            DEMO_START_FRAMES if start_frames is None and demo else (start_frames or 0), "start_frames", 0
        )
        if max_episode_frames is not None:
            max_episode_frames = _whole(max_episode_frames, "max_episode_frames", 1)
        self.max_episode_frames = max_episode_frames
        if render_mode not in (None, "rgb_array"):
            raise ValueError(f"render_mode must be None or 'rgb_array', not {render_mode!r}")
        self.render_mode = render_mode
        self._start = self._start_state(state, start_state)
        self.timing = start_timing(timing, self._start, "the start state")
        picture = obs_type != "ram"
        self._batch = Batch(
            image,
            1,
            threads=1,
            obs_type=obs_type if picture else None,
            screen_size=screen_size if picture and crop is None else None,
            prg_ram=self.integration is not None and self.integration.needs_prg_ram,
            timing=self.timing,
        )
        if self._start is not None:
            self._batch.restore(0, self._start)  # refused here rather than at the first reset
        self._scripts: Any = None
        if self.integration is not None and self.integration.scripts:
            from velkora_gym.integration.lua import Scripts

            self._scripts = Scripts(self.integration)

        self.possible_agents = list(AGENTS)
        self.agents: list[str] = []
        self._actions = self._action_sets(actions)
        self._action_spaces = {agent: self._space(kind) for agent, kind in zip(AGENTS, self._actions)}
        self._observation_space = self._make_observation_space()
        self._values: dict[str, np.ndarray] | None = None
        self._frames = 0

    # --- set-up ---
    def _image(self, rom: RomSource | None) -> bytes:
        if rom is None:
            if self.integration is None or self.integration.folder is None:
                raise TypeError("a ROM is needed: rom= a path or the image's bytes, or game=")
            path = roms.find_rom(self.integration.folder, self.integration.rom_sha)
            if path is None:
                raise ValueError(roms.missing_rom(self.integration.folder, self.integration.rom_sha))
            rom = path
        return read_image(rom)

    def _start_state(self, state: object, start_state: object) -> bytes | None:
        if state is not FOLDER_DEFAULT:
            if start_state is not None:
                raise ValueError("give state= (a start state of the integration) or start_state=, not both")
            if state is None:
                return None
            if self.integration is None:
                raise ValueError("state= names a start state of an integration folder: give game= or integration=")
            return self.integration.state(state)  # type: ignore[arg-type]
        if start_state is not None:
            if isinstance(start_state, (bytes, bytearray, memoryview)):
                data = bytes(start_state)
            elif isinstance(start_state, (str, os.PathLike)):
                data = Path(start_state).read_bytes()
            else:
                raise TypeError("start_state must be snapshot bytes or the path of a file holding them")
            if not data.startswith(integrations.SNAPSHOT_MAGIC):
                raise ValueError("start_state is not a velkora snapshot (velkora_gym.snapshot's bytes)")
            return data
        if self.integration is not None and self.integration.default_state is not None:
            return self.integration.state(self.integration.default_state)
        return None

    def _action_sets(self, actions: object) -> list[tuple[str, Any]]:
        """Each player's ("groups", [arrays]) or ("masks", array or None for multibinary)."""
        if isinstance(actions, Mapping):
            unknown = set(actions) - set(AGENTS)
            if unknown:
                raise ValueError(f"actions names no agent {sorted(unknown)[0]!r} (the agents are {', '.join(AGENTS)})")
            chosen = [actions.get(agent) for agent in AGENTS]
        else:
            chosen = [actions, actions]
        sets = []
        for player, choice in enumerate(chosen):
            groups = self.integration.player_actions(player) if self.integration is not None else None
            if choice is None and groups is not None:
                sets.append(("groups", [np.array(group, np.uint8) for group in groups]))
            else:
                sets.append(("masks", action_masks("simple" if choice is None else choice)))  # type: ignore[arg-type]
        return sets

    @staticmethod
    def _space(kind: tuple[str, Any]) -> spaces.Space:
        form, value = kind
        if form == "groups":
            return spaces.MultiDiscrete([len(group) for group in value])
        return spaces.MultiBinary(8) if value is None else spaces.Discrete(len(value))

    def _make_observation_space(self) -> spaces.Box:
        if self.obs_type == "ram":
            return spaces.Box(0, 255, (2048,), np.uint8)
        if self._crop is not None:
            shape: tuple[int, ...] = (self._crop[3], self._crop[2])
        else:
            shape = self._batch.screen_size
        return spaces.Box(0, 255, shape + ((3,) if self.obs_type == "rgb" else ()), np.uint8)

    # --- PettingZoo ---
    def observation_space(self, agent: str) -> spaces.Space:
        self._agent(agent)
        return self._observation_space

    def action_space(self, agent: str) -> spaces.Space:
        return self._action_spaces[self._agent(agent)]

    def reset(self, seed: int | None = None, options: dict[str, Any] | None = None):
        if seed is not None:
            for offset, agent in enumerate(AGENTS):
                self._action_spaces[agent].seed(seed + offset)
        self._batch.reset([0], self._start, noop_frames=[self.start_frames])
        if self._scripts is not None:
            self._scripts.restart([0], 1)
        self.agents = list(AGENTS)
        self._frames = 0
        self._values = self._read()
        observation = self._observe()
        return {agent: observation for agent in self.agents}, self._infos()

    def step(self, actions: Mapping[str, object]):
        if not self.agents or self._values is None:
            raise RuntimeError("the episode is over (or never began): call reset")
        if not isinstance(actions, Mapping):
            raise TypeError("step takes a dict of actions by agent")
        unknown = set(actions) - set(self.agents)
        if unknown:
            raise ValueError(f"an action for {sorted(unknown)[0]!r}, which is not a live agent")
        masks = [self._mask(player, actions[agent]) if agent in actions else 0 for player, agent in enumerate(AGENTS)]
        self._batch.step(np.array([masks[0]], np.uint8), self.frameskip, buttons2=np.array([masks[1]], np.uint8))
        self._frames += self.frameskip
        previous, self._values = self._values, self._read()
        shared = np.zeros(1)
        ended = False
        if self.integration is not None:
            ended = bool(self.integration.terminated(previous, self._values)[0])
        if self._scripts is not None:
            if self._scripts.reward_function is not None:
                shared = shared + self._scripts.reward(self._values, [0])
            if self._scripts.done_function is not None:
                ended = ended or bool(self._scripts.done(self._values, [0])[0])
        rewards = {}
        for player, agent in enumerate(AGENTS):
            own = (
                self.integration.player_reward(player, previous, self._values)
                if self.integration is not None
                else np.zeros(1)
            )
            rewards[agent] = float((own + shared)[0])
        cut = self.max_episode_frames is not None and self._frames >= self.max_episode_frames
        observation = self._observe()
        agents = list(self.agents)
        result = (
            {agent: observation for agent in agents},
            {agent: rewards[agent] for agent in agents},
            {agent: ended for agent in agents},
            {agent: cut and not ended for agent in agents},
            self._infos(agents),
        )
        if ended or cut:
            self.agents = []
        return result

    def render(self) -> np.ndarray | None:
        if self.render_mode == "rgb_array":
            return self._batch.picture(0)
        return None

    def close(self) -> None:
        pass

    # --- search methods ---
    def clone_state(self, *, picture: bool = True) -> bytes:
        """A snapshot of the console (``velkora_gym.snapshot``'s format)."""
        return self._batch.snapshot(0, picture=picture)

    def restore_state(self, data: bytes) -> None:
        """Back to a snapshot; the next rewards count from the restored machine. A snapshot
        of another timing than the environment's is refused with ValueError."""
        check_restored_timing(data, self.timing)
        self._batch.restore(0, data)
        self._values = self._read()

    # --- helpers ---
    def _agent(self, agent: str) -> str:
        if agent not in AGENTS:
            raise ValueError(f"no agent {agent!r}: the agents are {', '.join(AGENTS)}")
        return agent

    def _mask(self, player: int, action: object) -> int:
        form, value = self._actions[player]
        space = self._action_spaces[AGENTS[player]]
        array = np.asarray(action)
        if form == "groups":
            if (
                array.shape != (len(value),)
                or not np.issubdtype(array.dtype, np.integer)
                or not all(0 <= v < len(g) for v, g in zip(array.tolist(), value))
            ):
                raise ValueError(f"{AGENTS[player]}'s action {action!r} is not in {space}")
            mask = 0
            for v, group in zip(array.tolist(), value):
                mask |= int(group[v])
            return mask
        if value is None:
            if array.shape != (8,) or not np.isin(array, (0, 1)).all():
                raise ValueError(f"{AGENTS[player]}'s action {action!r} is not in {space}: eight 0/1 buttons")
            return int(np.dot(array.astype(np.int64), 1 << np.arange(8)))
        if array.shape != () or not np.issubdtype(array.dtype, np.integer) or not 0 <= int(array) < len(value):
            raise ValueError(f"{AGENTS[player]}'s action {action!r} is not in {space}")
        return int(value[int(array)])

    def _read(self) -> dict[str, np.ndarray]:
        if self.integration is None:
            return {}
        return self.integration.values(self._batch.ram, self._batch.prg_ram)

    def _observe(self) -> np.ndarray:
        if self.obs_type == "ram":
            return self._batch.ram[0].copy()
        if self._crop is not None:
            x, y, width, height = self._crop
            return self._batch.observations[0, y : y + height, x : x + width].copy()
        return self._batch.observations[0].copy()

    def _infos(self, agents: Sequence[str] | None = None) -> dict[str, dict[str, Any]]:
        info: dict[str, Any] = {name: values[0].item() for name, values in (self._values or {}).items()}
        info["episode_frame_number"] = self._frames
        return {agent: dict(info) for agent in (self.agents if agents is None else agents)}
