"""Game integrations: the folders of JSON files (and optional Lua scripts and start states)
that name a game's variables in memory, its rewards and how its episodes end.

The format (``data.json``, ``scenario.json``, ``metadata.json``, ``rom.sha``, states and
scripts), the search path for games by name and the ROMs found by hash are described once,
in docs/integrations.md; this module loads and checks folders to that description. Anything
a folder holds that the format does not is refused with a ``ValueError`` naming the file and
the key.

``python -m velkora_gym.integration check FOLDER`` checks a folder and plays a few random
episodes with it (velkora_gym.integration.check).
"""

from __future__ import annotations

import functools
import json
import math
import os
import re
from collections.abc import Callable, Container, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

from velkora_gym.actions import mask_of
from velkora_gym.console import SCREEN
from velkora_gym.files import PACKAGE, data_folder, read_capped
from velkora_gym.integration.errors import IntegrationError
from velkora_gym.integration.lua import DEFAULT_BUDGET, Budget, check_scripts

RAM = range(0x0000, 0x0800)
PRG_RAM = range(0x6000, 0x8000)

SNAPSHOT_MAGIC = b"VELKSNAP"
PACKAGE_INTEGRATIONS = PACKAGE / "integrations"
ENV_PATH = "VELKORA_INTEGRATIONS"

_TYPE = re.compile(r"^([<>|=])([uidn])([0-9]{1,6})$")
_SHA1 = re.compile(r"^[0-9a-fA-F]{40}$")
_STATE_NAME = re.compile(r"^[^/\\\x00]+$")

OPS: dict[str, Callable[[np.ndarray, float], np.ndarray]] = {
    "equal": lambda v, r: v == r,
    "not-equal": lambda v, r: v != r,
    "less-than": lambda v, r: v < r,
    "greater-than": lambda v, r: v > r,
    "less-or-equal": lambda v, r: v <= r,
    "greater-or-equal": lambda v, r: v >= r,
    "zero": lambda v, r: v == 0,
    "nonzero": lambda v, r: v != 0,
    "positive": lambda v, r: v > 0,
    "negative": lambda v, r: v < 0,
}
MEASUREMENTS = ("absolute", "delta")
CONDITIONS = ("any", "all")

# What a folder's files may hold: far more than any game needs, and little enough that a file
# made to exhaust the machine is refused before it is read whole.
MAX_JSON_BYTES = 4 << 20
MAX_SCRIPT_BYTES = 1 << 20
MAX_SHA_BYTES = 64 << 10
MAX_STATE_BYTES = 16 << 20
#: How deep done nodes may nest.
MAX_NODE_DEPTH = 32

HOW_TO_MAKE_A_STATE = (
    "make one with the studio: velkora-studio ROM --integration FOLDER, "
    "play to where episodes should start and press F6"
)


# ------------------------------------------------------------------ values


def decode(raw: np.ndarray, kind: str, big_endian: bool) -> np.ndarray:
    """The numbers in rows of bytes (M, size): one value a row."""
    raw = raw.astype(np.int64)
    if big_endian:
        raw = raw[:, ::-1]  # least significant byte first from here on
    size = raw.shape[1]
    if kind == "n":
        return ((raw & 0x0F) * (10 ** np.arange(size, dtype=np.int64))).sum(axis=1)
    if kind == "d":
        pairs = (raw >> 4) * 10 + (raw & 0x0F)
        return (pairs * (100 ** np.arange(size, dtype=np.int64))).sum(axis=1)
    value = (raw << (8 * np.arange(size, dtype=np.int64))).sum(axis=1)
    if kind == "i":
        sign = 1 << (8 * size - 1)
        value = np.where(value >= sign, value - 2 * sign, value)
    return value


@dataclass(frozen=True)
class Variable:
    """A number in the console's RAM or PRG RAM."""

    name: str
    address: int
    kind: str  # u, i, d or n
    size: int
    big_endian: bool

    @property
    def in_prg_ram(self) -> bool:
        return self.address in PRG_RAM

    @property
    def type(self) -> str:
        """The type as data.json writes it."""
        order = ">" if self.big_endian else ("<" if self.size > 1 else "|")
        return f"{order}{self.kind}{self.size}"

    def read(self, ram: np.ndarray, prg_ram: np.ndarray | None) -> np.ndarray:
        """The value in each console, from RAM rows (N, 2048) and PRG RAM rows (N, 8192)."""
        if self.in_prg_ram:
            if prg_ram is None:
                raise ValueError(f"variable {self.name} is in PRG RAM, which this console does not show")
            raw = prg_ram[:, self.address - 0x6000 : self.address - 0x6000 + self.size]
        else:
            raw = ram[:, self.address : self.address + self.size]
        return decode(raw, self.kind, self.big_endian)


@dataclass(frozen=True)
class Done:
    name: str
    op: str
    reference: float
    delta: bool

    def test(self, previous: Mapping[str, np.ndarray], current: Mapping[str, np.ndarray]) -> np.ndarray:
        value = current[self.name] - previous[self.name] if self.delta else current[self.name]
        return OPS[self.op](value, self.reference)


@dataclass
class Condition:
    """Variable tests and nested conditions (nodes), joined by any or all."""

    condition: str = "any"
    tests: list[Done] = field(default_factory=list)
    nodes: dict[str, Condition] = field(default_factory=dict)

    def __bool__(self) -> bool:
        return bool(self.tests or self.nodes)

    def evaluate(self, previous: Mapping[str, np.ndarray], current: Mapping[str, np.ndarray], size: int) -> np.ndarray:
        """One truth value a console; a condition with nothing in it never holds."""
        results = [end.test(previous, current) for end in self.tests]
        results += [node.evaluate(previous, current, size) for node in self.nodes.values()]
        if not results:
            return np.zeros(size, bool)
        stacked = np.stack([np.broadcast_to(r, (size,)) for r in results])
        return stacked.any(axis=0) if self.condition == "any" else stacked.all(axis=0)

    def reasons(
        self, previous: Mapping[str, np.ndarray], current: Mapping[str, np.ndarray], row: int, prefix: str = ""
    ) -> list[str]:
        """What held in console `row`: the done variables and nodes that passed their test."""
        held = []
        for end in self.tests:
            if bool(np.asarray(end.test(previous, current))[row]):
                reference = "" if end.op in ("zero", "nonzero", "positive", "negative") else f" {end.reference:g}"
                kind = " (change)" if end.delta else ""
                held.append(f"{prefix}variable {end.name}{kind} {end.op}{reference} (value {current[end.name][row]})")
        for name, node in self.nodes.items():
            if bool(node.evaluate(previous, current, len(next(iter(current.values()))))[row]):
                held.append(f"{prefix}node {name}")
        return held


@dataclass
class Player:
    """One joypad's part of a two-player scenario: its own reward variables and actions."""

    rewards: dict[str, tuple[float, float]] = field(default_factory=dict)
    actions: list[list[int]] | None = None


def reward_of(
    rewards: Mapping[str, tuple[float, float]], previous: Mapping[str, np.ndarray], current: Mapping[str, np.ndarray]
) -> np.ndarray:
    """Each console's reward from variables' changes: per unit risen, per unit fallen."""
    total = np.zeros(len(next(iter(current.values()))) if current else 1)
    # Values from a variables callable may overflow; the environments refuse what is not finite.
    with np.errstate(over="ignore", invalid="ignore"):
        for name, (rise, fall) in rewards.items():
            change = (current[name] - previous[name]).astype(np.float64)
            total += np.where(change > 0, change * rise, change * fall)
    return total


@dataclass
class Integration:
    """The variables of a game and how they make rewards and episode ends."""

    variables: dict[str, Variable]
    rewards: dict[str, tuple[float, float]]  # name: (per unit risen, per unit fallen)
    done: list[Done]
    condition: str = "any"
    nodes: dict[str, Condition] = field(default_factory=dict)
    folder: Path | None = None
    scripts: list[tuple[str, str]] = field(default_factory=list)  # (file name, Lua source)
    reward_script: str | None = None  # a Lua function's name
    done_script: str | None = None
    crop: tuple[int, int, int, int] | None = None  # x, y, width, height; None is the whole picture
    actions: list[list[int]] | None = None  # groups of joypad masks
    default_state: str | None = None
    states: list[str] = field(default_factory=list)
    rom_sha: tuple[str, ...] = ()
    players: list[Player] = field(default_factory=list)  # two-player scenarios' per-joypad parts

    @property
    def name(self) -> str:
        return self.folder.name if self.folder is not None else "integration"

    @property
    def needs_prg_ram(self) -> bool:
        return any(v.in_prg_ram for v in self.variables.values())

    @property
    def ends(self) -> Condition:
        return Condition(self.condition, self.done, self.nodes)

    def values(self, ram: np.ndarray, prg_ram: np.ndarray | None) -> dict[str, np.ndarray]:
        return {name: v.read(ram, prg_ram) for name, v in self.variables.items()}

    def reward(self, previous: Mapping[str, np.ndarray], current: Mapping[str, np.ndarray]) -> np.ndarray:
        """The reward variables' part of each console's reward (scripts are run elsewhere:
        they keep state per console)."""
        return reward_of(self.rewards, previous, current)

    def player_reward(
        self, player: int, previous: Mapping[str, np.ndarray], current: Mapping[str, np.ndarray]
    ) -> np.ndarray:
        """Player ``player``'s (0 or 1) reward from variables: the top-level reward plus its own."""
        total = self.reward(previous, current)
        if player < len(self.players):
            total = total + reward_of(self.players[player].rewards, previous, current)
        return total

    def player_actions(self, player: int) -> list[list[int]] | None:
        """Player ``player``'s action groups: its own, else the top-level ones (None: neither)."""
        if player < len(self.players) and self.players[player].actions is not None:
            return self.players[player].actions
        return self.actions

    def terminated(self, previous: Mapping[str, np.ndarray], current: Mapping[str, np.ndarray]) -> np.ndarray:
        """The done variables' and nodes' verdict for each console."""
        size = len(next(iter(current.values()))) if current else 1
        return self.ends.evaluate(previous, current, size)

    def reasons(self, previous: Mapping[str, np.ndarray], current: Mapping[str, np.ndarray], row: int) -> list[str]:
        return self.ends.reasons(previous, current, row)

    # --- start states ---
    def state_path(self, name: str) -> Path:
        if self.folder is None:
            raise ValueError("state= names a start state of an integration folder: give game= or integration=")
        if not isinstance(name, str) or not _STATE_NAME.match(name) or name in (".", ".."):
            raise ValueError(f"{self.folder}: {name!r} is not the name of a start state")
        return self.folder / (name if name.endswith(".state") else f"{name}.state")

    def state(self, name: str) -> bytes:
        """The snapshot bytes of start state `name`; ValueError when the file is missing or
        is not a velkora snapshot (another emulator's state, say)."""
        path = self.state_path(name)
        try:
            data = read_capped(path, MAX_STATE_BYTES, "a start state", IntegrationError)
        except FileNotFoundError:
            known = ", ".join(sorted(p.stem for p in self.folder.glob("*.state"))) or "none"  # type: ignore[union-attr]
            raise IntegrationError(
                f"{path}: no such start state (the folder has: {known}); {HOW_TO_MAKE_A_STATE}"
            ) from None
        except OSError as error:
            raise IntegrationError(f"{path}: cannot read it ({error.strerror or error})") from None
        if not data.startswith(SNAPSHOT_MAGIC):
            raise IntegrationError(f"{path}: not a velkora snapshot (another emulator's state?); {HOW_TO_MAKE_A_STATE}")
        return data


# ------------------------------------------------------------------ parsing


def _number(value: Any, where: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise IntegrationError(f"{where} must be a number, not {value!r}")
    try:
        number = float(value)
    except OverflowError:
        number = math.inf
    if not math.isfinite(number):
        raise IntegrationError(f"{where} must be a finite number, not {value!r}")
    return number


#: The largest reward or penalty a variable's change may be weighed by: a change is at most
#: 2**63 in size, so no sum of such terms can reach infinity.
MAX_REWARD_FACTOR = 1e280


def _factor(value: Any, where: str) -> float:
    number = _number(value, where)
    if abs(number) > MAX_REWARD_FACTOR:
        raise IntegrationError(
            f"{where} must be at most {MAX_REWARD_FACTOR:g} in size (a larger one could make a reward infinite), "
            f"not {value!r}"
        )
    return number


def _object(value: Any, where: str, allowed: tuple[str, ...] | None = None) -> dict[str, Any]:
    """A JSON object; with `allowed`, only those keys."""
    if not isinstance(value, dict):
        raise IntegrationError(f"{where} must be an object, not {type(value).__name__}")
    for key in value:
        if allowed is not None and key not in allowed:
            raise IntegrationError(f"{where}.{key}: unknown key (expected {', '.join(allowed)})")
    return value


def parse_type(text: Any, where: str) -> tuple[str, int, bool]:
    """(kind, byte count, big-endian) of a type such as ``>d3``."""
    match = _TYPE.match(text) if isinstance(text, str) else None
    if not match:
        raise IntegrationError(f"{where}: {text!r} is not an endianness (< > | =), a kind (u i d n) and a byte count")
    order, kind, count = match.group(1), match.group(2), int(match.group(3))
    if count < 1 or (kind in "ui" and count > 4) or count > 255:
        raise IntegrationError(
            f"{where}: {text!r} has {count} bytes; {kind} takes 1 to 4"
            if kind in "ui"
            else f"{where}: {text!r} has {count} bytes; {kind} takes 1 to 255"
        )
    if order in "|=" and count != 1:
        raise IntegrationError(f"{where}: {text!r} is one-byte ({order}) but has {count} bytes")
    return kind, count, order == ">"


def parse_variable(name: str, spec: Any, where: str) -> Variable:
    """One entry of data.json's "info"; `where` names the file and key in errors."""
    spec = _object(spec, where, ("address", "type"))
    for key in ("address", "type"):
        if key not in spec:
            raise IntegrationError(f"{where}.{key}: missing")
    address = spec["address"]
    if isinstance(address, bool) or not isinstance(address, int):
        raise IntegrationError(f"{where}.address must be an integer, not {address!r}")
    kind, count, big_endian = parse_type(spec["type"], f"{where}.type")
    last = address + count - 1
    if not ((address in RAM and last in RAM) or (address in PRG_RAM and last in PRG_RAM)):
        raise IntegrationError(
            f"{where}.address: ${address:04X}-${last:04X} is outside RAM ($0000-$07FF) and PRG RAM ($6000-$7FFF)"
        )
    return Variable(name, address, kind, count, big_endian)


def _text(path: Path, limit: int, what: str) -> str:
    try:
        return read_capped(path, limit, what, IntegrationError).decode("utf-8")
    except UnicodeDecodeError as error:
        raise IntegrationError(f"{path}: not UTF-8 text ({error.reason} at byte {error.start})") from None


def _read_json(path: Path) -> Any:
    try:
        text = _text(path, MAX_JSON_BYTES, "an integration's JSON file")
    except FileNotFoundError:
        raise IntegrationError(f"{path}: missing") from None
    except OSError as error:
        raise IntegrationError(f"{path}: cannot read it ({error.strerror or error})") from None
    try:
        return json.loads(text)
    except json.JSONDecodeError as error:
        raise IntegrationError(
            f"{path}: not valid JSON ({error.msg} at line {error.lineno} column {error.colno})"
        ) from None
    except RecursionError:
        raise IntegrationError(f"{path}: not valid JSON (nested too deeply)") from None
    except ValueError as error:  # an integer of more digits than Python converts
        raise IntegrationError(f"{path}: not valid JSON ({error})") from None


class _Problems:
    """Collects every problem of a folder, so one pass reports them all."""

    def __init__(self) -> None:
        self.found: list[str] = []

    def __call__(self, parse: Callable[[], Any], default: Any = None) -> Any:
        try:
            return parse()
        except IntegrationError as error:
            self.found.extend(error.problems)
            return default


def _condition(
    spec: Any, where: str, variables: Container[str], problems: _Problems, top: bool, depth: int = 0
) -> tuple[Condition, str | None]:
    """A done condition (or a node of one); the script's name for the top level."""
    if depth > MAX_NODE_DEPTH:
        raise IntegrationError(f"{where}: nodes nest more than {MAX_NODE_DEPTH} deep")
    allowed = ("condition", "variables", "nodes", "script") if top else ("condition", "variables", "nodes")
    spec = _object(spec, where, allowed)
    condition = spec.get("condition", "any")
    if condition not in CONDITIONS:
        problems.found.append(f'{where}.condition: {condition!r} is not "any" or "all"')
        condition = "any"
    tests = []
    entries = problems(lambda: _object(spec.get("variables", {}), f"{where}.variables"), {})
    for name, entry in entries.items():
        here = f"{where}.variables.{name}"

        def parse(name: str = name, entry: Any = entry, here: str = here) -> Done:
            if name not in variables:
                raise IntegrationError(f"{here}: no such variable in data.json")
            entry = _object(entry, here, ("op", "reference", "measurement"))
            op = entry.get("op")
            if op not in OPS:
                raise IntegrationError(f"{here}.op: {op!r} is not one of {', '.join(OPS)}")
            measurement = entry.get("measurement", "absolute")
            if measurement not in MEASUREMENTS:
                raise IntegrationError(f'{here}.measurement: {measurement!r} is not "absolute" or "delta"')
            return Done(name, op, _number(entry.get("reference", 0), f"{here}.reference"), measurement == "delta")

        test = problems(parse)
        if test is not None:
            tests.append(test)
    nodes = {}
    for name, node in problems(lambda: _object(spec.get("nodes", {}), f"{where}.nodes"), {}).items():
        parsed = problems(
            functools.partial(_condition, node, f"{where}.nodes.{name}", variables, problems, False, depth + 1)
        )
        if parsed is not None:
            nodes[name] = parsed[0]
    script = problems(lambda: _script_name(spec["script"], f"{where}.script")) if top and "script" in spec else None
    return Condition(condition, tests, nodes), script


def _script_name(value: Any, where: str) -> str:
    if not isinstance(value, str) or not value.startswith("lua:") or not value[4:].isidentifier():
        raise IntegrationError(f'{where}: {value!r} is not "lua:NAME", NAME a function of the scripts')
    return value[4:]


def _crop(value: Any, where: str) -> tuple[int, int, int, int] | None:
    if (
        not isinstance(value, list)
        or len(value) != 4
        or not all(isinstance(v, int) and not isinstance(v, bool) and v >= 0 for v in value)
    ):
        raise IntegrationError(f"{where}: {value!r} is not [x, y, width, height], four whole numbers of 0 or more")
    x, y, width, height = value
    width = width or SCREEN[0] - x
    height = height or SCREEN[1] - y
    if x >= SCREEN[0] or y >= SCREEN[1] or width < 1 or height < 1 or x + width > SCREEN[0] or y + height > SCREEN[1]:
        raise IntegrationError(f"{where}: {value!r} reaches outside the {SCREEN[0]}x{SCREEN[1]} picture")
    if (x, y, width, height) == (0, 0) + SCREEN:
        return None
    return x, y, width, height


def _action_groups(value: Any, where: str) -> list[list[int]]:
    if not isinstance(value, list) or not value:
        raise IntegrationError(f"{where}: must be a list of groups of button combinations, not {value!r}")
    groups = []
    for g, group in enumerate(value):
        if not isinstance(group, list) or not group:
            raise IntegrationError(f"{where}[{g}]: a group must be a non-empty list of button combinations")
        masks = []
        for c, combination in enumerate(group):
            if not isinstance(combination, list) or not all(isinstance(b, str) for b in combination):
                raise IntegrationError(f"{where}[{g}][{c}]: {combination!r} is not a list of button names")
            try:
                masks.append(mask_of(combination))
            except ValueError as error:
                raise IntegrationError(f"{where}[{g}][{c}]: {error}") from None
        groups.append(masks)
    return groups


def _scripts(value: Any, where: str, folder: Path) -> list[tuple[str, str]]:
    if not isinstance(value, list) or not all(isinstance(v, str) for v in value):
        raise IntegrationError(f"{where}: must be a list of Lua file names, not {value!r}")
    sources = []
    for i, name in enumerate(value):
        path = folder / name
        if Path(name).is_absolute() or ".." in Path(name).parts or not path.is_file():
            raise IntegrationError(f"{where}[{i}]: {name!r} is not a file in {folder}")
        try:
            sources.append((name, _text(path, MAX_SCRIPT_BYTES, "a script")))
        except OSError as error:
            raise IntegrationError(f"{path}: cannot read it ({error})") from None
    return sources


def _metadata(path: Path) -> tuple[str | None, list[str]]:
    if not path.exists():
        return None, []
    meta = _object(_read_json(path), f"{path}: the top level")
    default = meta.get("default_state")
    if default is not None and (not isinstance(default, str) or not _STATE_NAME.match(default)):
        raise IntegrationError(f"{path}: default_state must be the name of a start state or null, not {default!r}")
    states = meta.get("states")
    names = [s for s in states if isinstance(s, str)] if isinstance(states, list) else []
    return default, names


def read_sha(path: Path) -> tuple[str, ...]:
    """The SHA-1 hashes in a rom.sha file, one a line, in lower case."""
    try:
        text = _text(path, MAX_SHA_BYTES, "rom.sha")
    except OSError as error:
        raise IntegrationError(f"{path}: cannot read it ({error})") from None
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    bad = [line for line in lines if not _SHA1.match(line)]
    if not lines or bad:
        raise IntegrationError(
            f"{path}: {bad[0][:50]!r} is not a SHA-1 (40 hexadecimal digits)"
            if bad
            else f"{path}: empty (it holds the ROM's SHA-1)"
        )
    return tuple(line.lower() for line in lines)


def load(folder: str | os.PathLike[str], *, script_budget: Budget | None = None) -> Integration:
    """Reads an integration folder: data.json and scenario.json, and metadata.json, rom.sha
    and the Lua scripts when it has them. Start states are read only when used. Every
    problem found is reported in one IntegrationError, a script that loads past its budget
    (``script_budget``, the default budget when None) among them."""
    folder = Path(folder)
    if not folder.is_dir():
        raise IntegrationError(f"{folder}: not an integration folder (it must hold data.json and scenario.json)")
    problems = _Problems()
    data_path, scenario_path = folder / "data.json", folder / "scenario.json"

    variables: dict[str, Variable] = {}
    named: set[str] = set()  # every name data.json gives, well-formed or not
    data = problems(lambda: _object(_read_json(data_path), f"{data_path}: the top level", ("info",)))
    if data is not None and "info" not in data:
        problems.found.append(f"{data_path}: info: missing")
    info = problems(lambda: _object(data["info"], f"{data_path}: info")) if data and "info" in data else None
    for name, spec in (info or {}).items():
        named.add(name)
        variable = problems(functools.partial(parse_variable, name, spec, f"{data_path}: info.{name}"))
        if variable is not None:
            variables[name] = variable
    if data is None or info is None:
        named = _Everything()  # type: ignore[assignment]  # no variable names to check against

    result = Integration(variables, {}, [], folder=folder)
    keys = ("reward", "done", "scripts", "crop", "actions", "players")
    scenario = problems(lambda: _object(_read_json(scenario_path), f"{scenario_path}: the top level", keys), {})
    where = f"{scenario_path}:"
    if "reward" in scenario:
        reward = problems(lambda: _object(scenario["reward"], f"{where} reward", ("variables", "script")), {})
        result.rewards = _reward_variables(reward, f"{where} reward", named, variables, problems)
        if "script" in reward:
            result.reward_script = problems(lambda: _script_name(reward["script"], f"{where} reward.script"))
    if "done" in scenario:
        parsed = problems(lambda: _condition(scenario["done"], f"{where} done", named, problems, True))
        if parsed is not None:
            ends, result.done_script = parsed
            result.condition, result.done, result.nodes = ends.condition, ends.tests, ends.nodes
    if "scripts" in scenario:
        result.scripts = problems(lambda: _scripts(scenario["scripts"], f"{where} scripts", folder), [])
    if "crop" in scenario:
        result.crop = problems(lambda: _crop(scenario["crop"], f"{where} crop"))
    if "actions" in scenario:
        result.actions = problems(lambda: _action_groups(scenario["actions"], f"{where} actions"))
    if "players" in scenario:
        result.players = _players(scenario["players"], f"{where} players", named, variables, problems)
    for key, function in (("reward.script", result.reward_script), ("done.script", result.done_script)):
        if function is not None and not result.scripts and "scripts" not in scenario:
            problems.found.append(f'{where} {key}: lua:{function} needs "scripts", the Lua files defining it')
    if result.scripts and not problems.found:
        problems(lambda: check_scripts(result, scenario_path, script_budget or DEFAULT_BUDGET))

    meta = problems(lambda: _metadata(folder / "metadata.json"))
    if meta is not None:
        result.default_state, result.states = meta
    if (folder / "rom.sha").exists():
        result.rom_sha = problems(lambda: read_sha(folder / "rom.sha"), ())
    if problems.found:
        raise IntegrationError(problems.found)
    return result


def _reward_variables(
    reward: dict[str, Any], where: str, named: Container[str], variables: Mapping[str, Variable], problems: _Problems
) -> dict[str, tuple[float, float]]:
    """A reward's "variables": name to (per unit risen, per unit fallen)."""
    rewards: dict[str, tuple[float, float]] = {}
    entries = problems(lambda: _object(reward.get("variables", {}), f"{where}.variables"), {})
    for name, spec in entries.items():
        here = f"{where}.variables.{name}"

        def parse(name: str = name, spec: Any = spec, here: str = here) -> tuple[float, float]:
            if name not in named:
                raise IntegrationError(f"{here}: no such variable in data.json")
            spec = _object(spec, here, ("reward", "penalty"))
            rise = _factor(spec.get("reward", 0), f"{here}.reward")
            return rise, _factor(spec.get("penalty", rise), f"{here}.penalty")

        factors = problems(parse)
        if factors is not None and name in variables:
            rewards[name] = factors
    return rewards


def _players(
    value: Any, where: str, named: Container[str], variables: Mapping[str, Variable], problems: _Problems
) -> list[Player]:
    if not isinstance(value, list) or not 1 <= len(value) <= 2:
        problems.found.append(f"{where}: must be a list of one or two players (ports 0 and 1), not {value!r}")
        return []
    players = []
    for index, entry in enumerate(value):
        here = f"{where}[{index}]"
        spec = problems(lambda entry=entry, here=here: _object(entry, here, ("reward", "actions")), {})
        player = Player()
        if "reward" in spec:
            reward = problems(
                lambda spec=spec, here=here: _object(spec["reward"], f"{here}.reward", ("variables",)), {}
            )
            player.rewards = _reward_variables(reward, f"{here}.reward", named, variables, problems)
        if "actions" in spec:
            player.actions = problems(lambda spec=spec, here=here: _action_groups(spec["actions"], f"{here}.actions"))
        players.append(player)
    return players


class _Everything:
    """Stands for data.json's names when data.json could not be read: nothing is unknown."""

    def __contains__(self, name: object) -> bool:
        return True


# ------------------------------------------------------------------ finding games

_added: list[Path] = []


def add_path(folder: str | os.PathLike[str]) -> None:
    """Adds a folder of integration folders to the search path (after VELKORA_INTEGRATIONS's
    folders, before your own integrations folder and the package's)."""
    path = Path(folder).expanduser()
    if path not in _added:
        _added.append(path)


def user_folder() -> Path:
    """Your own integration folders: ``$XDG_DATA_HOME/velkora/integrations``
    (``~/.local/share/velkora/integrations`` when ``XDG_DATA_HOME`` is unset), where the
    studio writes by default."""
    return data_folder() / "integrations"


def search_folders() -> list[tuple[Path, str]]:
    """The folders searched for games, in order, each with where it comes from; read anew
    at each call."""
    listed = [Path(p).expanduser() for p in os.environ.get(ENV_PATH, "").split(os.pathsep) if p]
    folders = [(path, ENV_PATH) for path in listed] + [(path, "add_path") for path in _added]
    folders += [(user_folder(), "your integrations"), (PACKAGE_INTEGRATIONS, "the package's")]
    return folders


def search_path() -> list[Path]:
    """The folders searched for games, in order; read anew at each call."""
    return [path for path, _ in search_folders()]


def games() -> dict[str, Path]:
    """Every game on the search path, by name (the first folder of a name wins)."""
    found: dict[str, Path] = {}
    for base in search_path():
        if base.is_dir():
            for folder in sorted(base.iterdir()):
                if folder.name not in found and (folder / "data.json").is_file():
                    found[folder.name] = folder
    return found


def find(game: str) -> Path:
    """The folder of a game on the search path."""
    if not isinstance(game, str) or not game or "/" in game or "\\" in game:
        raise ValueError(f"game must be the name of an integration folder, not {game!r}")
    for base in search_path():
        if (base / game / "data.json").is_file():
            return base / game
    names = ", ".join(games()) or "none"
    raise ValueError(
        f"no game {game!r} on the integration search path ({os.pathsep.join(map(str, search_path()))}); "
        f"games found: {names}. A folder of your own is found in {user_folder()}, or in a folder "
        f"named in {ENV_PATH}"
    )
