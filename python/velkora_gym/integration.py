"""Game integrations: RAM variables, rewards and episode ends read from two JSON files.

``data.json``::

    {"info": {"score": {"address": 2026, "type": ">d3"}, "lives": {"address": 1884, "type": "|u1"}}}

An address is a CPU address in RAM ($0000-$07FF) or PRG RAM ($6000-$7FFF); a type is an
endianness (``<`` little, ``>`` big, ``|`` or ``=`` one byte), a kind (``u`` unsigned,
``i`` signed, ``d`` packed BCD with two digits a byte, ``n`` one BCD digit a byte) and a
byte count (1-4 for ``u`` and ``i``, any for ``d`` and ``n``).

``scenario.json``::

    {"reward": {"variables": {"score": {"reward": 1.0, "penalty": 1.0}}},
     "done": {"condition": "any",
              "variables": {"lives": {"op": "zero", "reference": 0, "measurement": "absolute"}}}}

A step's reward is the sum over the reward variables of their change since the previous
step, times ``reward`` when it rose and times ``penalty`` (default: ``reward``) when it fell.
The episode ends when any (or all) done variables meet their test; ``measurement``
``"delta"`` tests the change since the previous step instead of the value.
Anything else is refused with a ``ValueError`` naming the file and the key.
"""
from __future__ import annotations

import json
import os
import re
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

RAM = range(0x0000, 0x0800)
PRG_RAM = range(0x6000, 0x8000)

_TYPE = re.compile(r"^([<>|=])([uidn])([0-9]+)$")

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


class IntegrationError(ValueError):
    """A malformed integration file; the message names the file and the key."""


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

    def read(self, ram: np.ndarray, prg_ram: np.ndarray | None) -> np.ndarray:
        """The value in each console, from RAM rows (N, 2048) and PRG RAM rows (N, 8192)."""
        if self.in_prg_ram:
            if prg_ram is None:
                raise ValueError(f"variable {self.name} is in PRG RAM, which this console does not show")
            raw = prg_ram[:, self.address - 0x6000:self.address - 0x6000 + self.size]
        else:
            raw = ram[:, self.address:self.address + self.size]
        raw = raw.astype(np.int64)
        if self.big_endian:
            raw = raw[:, ::-1]  # least significant byte first from here on
        if self.kind == "n":
            digits = raw & 0x0F
            return (digits * (10 ** np.arange(self.size, dtype=np.int64))).sum(axis=1)
        if self.kind == "d":
            pairs = (raw >> 4) * 10 + (raw & 0x0F)
            return (pairs * (100 ** np.arange(self.size, dtype=np.int64))).sum(axis=1)
        value = (raw << (8 * np.arange(self.size, dtype=np.int64))).sum(axis=1)
        if self.kind == "i":
            sign = 1 << (8 * self.size - 1)
            value = np.where(value >= sign, value - 2 * sign, value)
        return value


@dataclass(frozen=True)
class Done:
    name: str
    op: str
    reference: float
    delta: bool


@dataclass
class Integration:
    """The variables of a game and how they make rewards and episode ends."""

    variables: dict[str, Variable]
    rewards: dict[str, tuple[float, float]]  # name: (per unit risen, per unit fallen)
    done: list[Done]
    condition: str = "any"

    @property
    def needs_prg_ram(self) -> bool:
        return any(v.in_prg_ram for v in self.variables.values())

    def values(self, ram: np.ndarray, prg_ram: np.ndarray | None) -> dict[str, np.ndarray]:
        return {name: v.read(ram, prg_ram) for name, v in self.variables.items()}

    def reward(self, previous: Mapping[str, np.ndarray], current: Mapping[str, np.ndarray]) -> np.ndarray:
        total = np.zeros(len(next(iter(current.values()))) if current else 1)
        for name, (rise, fall) in self.rewards.items():
            change = (current[name] - previous[name]).astype(np.float64)
            total += np.where(change > 0, change * rise, change * fall)
        return total

    def terminated(self, previous: Mapping[str, np.ndarray], current: Mapping[str, np.ndarray]) -> np.ndarray:
        size = len(next(iter(current.values()))) if current else 1
        if not self.done:
            return np.zeros(size, bool)
        tests = []
        for end in self.done:
            value = current[end.name] - previous[end.name] if end.delta else current[end.name]
            tests.append(OPS[end.op](value, end.reference))
        stacked = np.stack(tests)
        return stacked.any(axis=0) if self.condition == "any" else stacked.all(axis=0)


# ------------------------------------------------------------------ parsing

def _number(value: Any, where: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise IntegrationError(f"{where} must be a number, not {value!r}")
    return float(value)


def _object(value: Any, where: str, allowed: tuple[str, ...] | None = None) -> dict[str, Any]:
    """A JSON object; with `allowed`, only those keys."""
    if not isinstance(value, dict):
        raise IntegrationError(f"{where} must be an object, not {type(value).__name__}")
    for key in value:
        if allowed is not None and key not in allowed:
            raise IntegrationError(f"{where}.{key}: unknown key (expected {', '.join(allowed)})")
    return value


def parse_variable(name: str, spec: Any, where: str) -> Variable:
    """One entry of data.json's "info"; `where` names the file and key in errors."""
    spec = _object(spec, where, ("address", "type"))
    for key in ("address", "type"):
        if key not in spec:
            raise IntegrationError(f"{where}.{key}: missing")
    address = spec["address"]
    if isinstance(address, bool) or not isinstance(address, int):
        raise IntegrationError(f"{where}.address must be an integer, not {address!r}")
    text = spec["type"]
    match = _TYPE.match(text) if isinstance(text, str) else None
    if not match:
        raise IntegrationError(f"{where}.type: {text!r} is not an endianness (< > | =), a kind (u i d n) "
                               "and a byte count")
    order, kind, count = match.group(1), match.group(2), int(match.group(3))
    if count < 1 or (kind in "ui" and count > 4):
        raise IntegrationError(f"{where}.type: {text!r} has {count} bytes; {kind} takes 1 to 4" if kind in "ui"
                               else f"{where}.type: {text!r} has no bytes")
    if order in "|=" and count != 1:
        raise IntegrationError(f"{where}.type: {text!r} is one-byte ({order}) but has {count} bytes")
    last = address + count - 1
    if not ((address in RAM and last in RAM) or (address in PRG_RAM and last in PRG_RAM)):
        raise IntegrationError(f"{where}.address: ${address:04X}-${last:04X} is outside RAM ($0000-$07FF) "
                               "and PRG RAM ($6000-$7FFF)")
    return Variable(name, address, kind, count, order == ">")


def _read_json(path: Path) -> Any:
    try:
        text = path.read_text()
    except OSError as error:
        raise IntegrationError(f"{path}: cannot read it ({error.strerror or error})") from None
    try:
        return json.loads(text)
    except json.JSONDecodeError as error:
        raise IntegrationError(f"{path}: not valid JSON ({error.msg} at line {error.lineno} "
                               f"column {error.colno})") from None


def load(folder: str | os.PathLike[str]) -> Integration:
    """Reads data.json and scenario.json from a folder."""
    folder = Path(folder)
    if not folder.is_dir():
        raise IntegrationError(f"{folder}: not an integration folder (it must hold data.json and scenario.json)")
    data_path, scenario_path = folder / "data.json", folder / "scenario.json"
    data = _object(_read_json(data_path), f"{data_path}: the top level", ("info",))
    if "info" not in data:
        raise IntegrationError(f"{data_path}: info: missing")
    info = _object(data["info"], f"{data_path}: info")
    variables = {name: parse_variable(name, spec, f"{data_path}: info.{name}") for name, spec in info.items()}

    scenario = _object(_read_json(scenario_path), f"{scenario_path}: the top level", ("reward", "done"))
    rewards: dict[str, tuple[float, float]] = {}
    if "reward" in scenario:
        reward = _object(scenario["reward"], f"{scenario_path}: reward", ("variables",))
        entries = _object(reward.get("variables", {}), f"{scenario_path}: reward.variables")
        for name, spec in entries.items():
            where = f"{scenario_path}: reward.variables.{name}"
            if name not in variables:
                raise IntegrationError(f"{where}: no such variable in data.json")
            spec = _object(spec, where, ("reward", "penalty"))
            rise = _number(spec.get("reward", 0), f"{where}.reward")
            rewards[name] = (rise, _number(spec.get("penalty", rise), f"{where}.penalty"))
    done: list[Done] = []
    condition = "any"
    if "done" in scenario:
        ends = _object(scenario["done"], f"{scenario_path}: done", ("condition", "variables"))
        condition = ends.get("condition", "any")
        if condition not in CONDITIONS:
            raise IntegrationError(f"{scenario_path}: done.condition: {condition!r} is not \"any\" or \"all\"")
        entries = _object(ends.get("variables", {}), f"{scenario_path}: done.variables")
        for name, spec in entries.items():
            where = f"{scenario_path}: done.variables.{name}"
            if name not in variables:
                raise IntegrationError(f"{where}: no such variable in data.json")
            spec = _object(spec, where, ("op", "reference", "measurement"))
            op = spec.get("op")
            if op not in OPS:
                raise IntegrationError(f"{where}.op: {op!r} is not one of {', '.join(OPS)}")
            measurement = spec.get("measurement", "absolute")
            if measurement not in MEASUREMENTS:
                raise IntegrationError(f"{where}.measurement: {measurement!r} is not \"absolute\" or \"delta\"")
            done.append(Done(name, op, _number(spec.get("reference", 0), f"{where}.reference"),
                             measurement == "delta"))
    return Integration(variables, rewards, done, condition)
