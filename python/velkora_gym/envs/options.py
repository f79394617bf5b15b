"""The options of the Gymnasium environments, written once: ``VelkoraEnv``,
``VelkoraVectorEnv`` and ``gymnasium.make("velkora/NES-v0", ...)`` take them as keywords,
and the environments check them once, when made."""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from typing import Any, Literal, TypedDict, Union

Path = Union[str, "os.PathLike[str]"]


class EnvOptions(TypedDict, total=False):
    """Keyword options of the environments (default in brackets).

    Observations
        obs_type: "rgb" (240, 256, 3), "grayscale" (240, 256), "ram" (2048,) or "ram+prg"
            (10240,: RAM, then PRG RAM $6000-$7FFF), all uint8 ["rgb"].
        screen_size: an int or (height, width): the picture area-averaged natively to
            that size (84 is usual) [None: 240 x 256, or an integration's crop].
        max_pool: a step's observation is the pixel-wise maximum of its last two frames
            (flicker); a reset's is the frame it ends on, as after a restore [on when a
            step can run more than one frame].
        channel_axis: grayscale observations as (H, W, 1) [False].
        frame_stack: the last k observations stacked natively, channels last, oldest
            first: (H, W, k) grayscale, (H, W, 3k) RGB (SB3's VecFrameStack layout);
            zeros before an episode's first [1].

    Steps
        frameskip: frames a step runs: an int, or (low, high) for a random count in
            [low, high) each step [4].
        repeat_action_probability: sticky actions: each frame keeps the previous action
            with this probability, until one takes the new action [0.25].
        actions: "simple" (7), "complex" (36), "all" (144), "multibinary" (eight buttons)
            or a list of button combinations such as [[], ["right"], ["right", "A"]]
            ["simple", or the integration's action groups].

    Episodes
        noop_max: after a reset, a random number of frames in [0, noop_max] with no
            button pressed (30 is usual for training) [0].
        start_frames: frames with no button pressed after powering on (or restoring),
            before the episode starts: a game's own start-up [0; 8 for velkora/Demo-v0].
        max_episode_frames: frames after which an episode is truncated; None for no
            limit [108000: 30 minutes].
        start_state: snapshot bytes (``velkora_gym.snapshot``) or a file of them: each
            reset restores it instead of powering on; not with state [None].
        timing: "design" or "hardware", the consoles' timing model (docs/hardware.md); a
            start state (start_state, or state) of another timing is a ValueError [None:
            the start state's own timing; from power-on, VELKORA_TIMING, else "design"].
        episodic_life: a lost life ends the episode for learning, not the game: the
            reset that follows runs one idle step and goes on (a real game over, or
            truncation, resets) [False].
        lives: the variable counting lives, for episodic_life and info["lives"] [the
            variable named "lives", if any].
        reward_clipping: each step's reward becomes its sign: -1, 0 or 1 [False].

    The game (variables, rewards, ends: docs/integrations.md)
        integration: an integration folder [None].
        game: instead of integration, a folder's name on the integration search path;
            its ROM is found by hash [None].
        state: a start state of the integration folder (NAME.state); None powers on
            [the folder's default_state].
        variables: variables in code: a dict like data.json's "info", or a callable
            taking the (2048,) RAM (and the (8192,) PRG RAM, as a parameter named
            prg_ram) returning a dict.
        reward_fn: reward_fn(previous, current) of the variable dicts: the step's reward,
            replacing the scenario's; parameters named ram and prg_ram get the memory.
        terminated_fn: terminated_fn(current): whether the episode ends, replacing the
            scenario's; ram and prg_ram as for reward_fn.
        script_instructions: the Lua instructions the integration's scripts may run while
            they load, and in each call of a reward or done function; past it the step
            raises ScriptError [10_000_000].
        script_memory: the bytes each console's Lua runtime may hold; past it the step
            raises ScriptError [64 MiB: 67_108_864].

    Showing
        render_mode: "rgb_array" (render() returns the full RGB frame) or "human" (a
            pygame window at the game's pace, opened only then; pip install velkora[play],
            without pygame the mode is not offered; one environment only) [None].
    """

    obs_type: Literal["rgb", "grayscale", "ram", "ram+prg"]
    screen_size: int | tuple[int, int] | None
    max_pool: bool | None
    channel_axis: bool
    frame_stack: int
    frameskip: int | tuple[int, int]
    repeat_action_probability: float
    actions: Literal["simple", "complex", "all", "multibinary"] | Sequence[Sequence[str]]
    noop_max: int
    start_frames: int
    max_episode_frames: int | None
    start_state: bytes | Path | None
    timing: Literal["design", "hardware"] | None
    episodic_life: bool
    lives: str | None
    reward_clipping: bool
    integration: Path | None
    game: str | None
    state: str | None
    variables: dict[str, Any] | Callable[..., dict[str, Any]] | None
    reward_fn: Callable[..., float] | None
    terminated_fn: Callable[..., bool] | None
    script_instructions: int
    script_memory: int
    render_mode: Literal["rgb_array", "human"] | None


def unknown(options: dict[str, Any]) -> None:
    """TypeError naming an option the environments do not take, and the nearest they do."""
    import difflib

    for name in options:
        if name not in EnvOptions.__annotations__:
            near = difflib.get_close_matches(name, EnvOptions.__annotations__, n=1)
            hint = f"; did you mean {near[0]!r}?" if near else ""
            raise TypeError(f"unknown environment option {name!r}{hint} (the options: help(velkora_gym.EnvOptions))")


_WORDS = {"true": True, "false": False, "none": None, "null": None}


def parse_option(text: str) -> tuple[str, Any]:
    """One option written ``KEY=VALUE``, as on a command line, with its value typed as
    ``EnvOptions`` declares it: numbers, ``True``/``False``, ``None``, tuples and lists as
    Python literals (``true``, ``false`` and ``none`` in any case too), anything else as
    text. TypeError for an unknown key, ValueError for a value of another type."""
    import ast
    import typing

    key, equals, raw = text.partition("=")
    key = key.strip()
    if not equals or not key.isidentifier():
        raise ValueError(f"an option is KEY=VALUE, not {text!r}")
    unknown({key: None})
    hint = typing.get_type_hints(EnvOptions)[key]
    try:
        value = ast.literal_eval(raw.strip())
    except (ValueError, SyntaxError, TypeError, MemoryError, RecursionError):
        value = _WORDS.get(raw.strip().lower(), raw)
    for candidate in (value, raw):  # lives=3 names a variable "3": the text, when a number will not do
        fits, typed = _typed(candidate, hint)
        if fits:
            return key, typed
    raise ValueError(f"{key}={raw}: {key} takes {_describe(hint)}")


def _describe(hint: Any) -> str:
    import types
    import typing

    origin, args = typing.get_origin(hint), typing.get_args(hint)
    if origin in (Union, types.UnionType):
        return " or ".join(_describe(arg) for arg in args)
    if origin is Literal:
        return "one of " + ", ".join(map(repr, args))
    if origin is tuple:
        return f"({', '.join(map(_describe, args))})"
    if origin in (Sequence, list):
        return f"a list of {_describe(args[0])}"
    if origin is Callable:
        return "a Python function (not written as text)"
    if origin is dict:
        return "a dict"
    names = {int: "a whole number", float: "a number", bool: "True or False", str: "text", type(None): "None"}
    return names.get(hint, str(hint))


def _typed(value: Any, hint: Any) -> tuple[bool, Any]:
    """(whether value is of type hint, the value as that type)."""
    import types
    import typing

    origin, args = typing.get_origin(hint), typing.get_args(hint)
    if origin in (Union, types.UnionType):
        for arg in args:
            fits, typed = _typed(value, arg)
            if fits:
                return True, typed
        return False, None
    if origin is Literal:
        return value in args, value
    if hint is type(None):
        return value is None, None
    if hint is bool:
        return isinstance(value, bool), value
    if hint is int:
        return isinstance(value, int) and not isinstance(value, bool), value
    if hint is float:
        return isinstance(value, (int, float)) and not isinstance(value, bool), float(value)
    if hint in (str, bytes):
        return isinstance(value, hint), value
    if origin is tuple:
        if not isinstance(value, (tuple, list)) or len(value) != len(args):
            return False, None
        items = [_typed(item, arg) for item, arg in zip(value, args)]
        return all(fits for fits, _ in items), tuple(typed for _, typed in items)
    if origin in (Sequence, list):
        if not isinstance(value, (tuple, list)):
            return False, None
        items = [_typed(item, args[0]) for item in value]
        return all(fits for fits, _ in items), [typed for _, typed in items]
    if origin is dict:
        return isinstance(value, dict), value
    return False, None  # callables and path objects are not written as text
