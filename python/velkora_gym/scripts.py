"""Lua reward and done scripts of integration folders, run by Lua 5.4 through lupa.

Each console has a runtime of its own: the scripts' globals last from step to step and a
reset starts them over. A script reads the variables as ``data.NAME``; it gets no file,
operating system or Python access.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from velkora_gym.integration import IntegrationError

if TYPE_CHECKING:
    from velkora_gym.integration import Integration

# What a reward or done function has no use for, and what would let a folder's script reach
# beyond the console: files, processes, loading modules or bytecode, Python objects.
_SANDBOX = ("io", "os", "package", "require", "dofile", "loadfile", "load", "debug", "python")


class ScriptError(RuntimeError):
    """A Lua script failed while an environment ran it."""


def _lupa() -> Any:
    try:
        import lupa.lua54
    except ImportError as error:
        raise ImportError(f"Lua scripts need lupa: pip install velkora[gym] ({error})") from error
    return lupa.lua54


class Runtime:
    """One console's Lua runtime, holding every script of a folder."""

    def __init__(self, sources: Sequence[tuple[str, str]], functions: Sequence[str], where: str) -> None:
        lua = _lupa()
        self._lua = lua.LuaRuntime(register_eval=False, register_builtins=False, unpack_returned_tuples=False)
        self.where = where
        self.error = lua.LuaError
        globals_ = self._lua.globals()
        for name in _SANDBOX:
            globals_[name] = None
        self._data = self._lua.table()
        globals_.data = self._data
        for name, source in sources:
            try:
                self._lua.execute(source, name=f"@{name}", mode="t")
            except lua.LuaError as error:
                raise IntegrationError(f"{where}: {name}: {_first_line(error)}") from None
        self._functions = {}
        for function in functions:
            value = globals_[function]
            if self._lua.eval("type")(value) != "function":
                raise IntegrationError(f"{where}: lua:{function}: the scripts define no function {function}")
            self._functions[function] = value

    def call(self, function: str, values: Mapping[str, Any]) -> Any:
        data = self._data
        for name, value in values.items():
            data[name] = value
        try:
            return self._functions[function]()
        except self.error as error:
            raise ScriptError(f"{self.where}: lua:{function} failed: {_first_line(error)}") from None


def _first_line(error: Exception) -> str:
    return str(error).removeprefix("error loading code: ").split("\n", 1)[0]


def check_scripts(integration: Integration, scenario: Path) -> None:
    """Loads the scripts once, so a syntax error or a missing function is found with the
    other problems of the folder rather than at the first step."""
    Scripts(integration, scenario).runtime()


class Scripts:
    """The reward and done functions of an integration, one runtime per console."""

    def __init__(self, integration: Integration, scenario: Path | None = None) -> None:
        self.sources = integration.scripts
        self.reward_function = integration.reward_script
        self.done_function = integration.done_script
        self.functions = [f for f in (self.reward_function, self.done_function) if f is not None]
        folder = integration.folder
        self.where = str(scenario or (folder / "scenario.json" if folder else "scenario.json"))
        self.runtimes: list[Runtime | None] = []

    def __bool__(self) -> bool:
        return bool(self.functions)

    def runtime(self) -> Runtime:
        return Runtime(self.sources, self.functions, self.where)

    def restart(self, rows: Sequence[int], size: int) -> None:
        if len(self.runtimes) != size:
            self.runtimes = [None] * size
        for i in rows:
            self.runtimes[i] = self.runtime()

    def _run(self, function: str, values: Mapping[str, np.ndarray], k: int, i: int) -> Any:
        runtime = self.runtimes[i] if i < len(self.runtimes) else None
        if runtime is None:
            if i >= len(self.runtimes):
                self.runtimes.extend([None] * (i + 1 - len(self.runtimes)))
            runtime = self.runtimes[i] = self.runtime()
        return runtime.call(function, {name: array[k].item() for name, array in values.items()})

    def reward(self, values: Mapping[str, np.ndarray], rows: Sequence[int]) -> np.ndarray:
        """The reward function's value for consoles `rows`; `values` holds their variables
        in that order."""
        if self.reward_function is None:
            return np.zeros(len(rows))
        rewards = []
        for k, i in enumerate(rows):
            value = self._run(self.reward_function, values, k, i)
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise ScriptError(f"{self.where}: lua:{self.reward_function} returned {value!r}, not a number")
            rewards.append(float(value))
        return np.array(rewards)

    def done(self, values: Mapping[str, np.ndarray], rows: Sequence[int]) -> np.ndarray:
        """A done function's value is true unless it is false, nil or the number 0."""
        if self.done_function is None:
            return np.zeros(len(rows), bool)
        ends = []
        for k, i in enumerate(rows):
            value = self._run(self.done_function, values, k, i)
            if not isinstance(value, (bool, int, float, type(None))):
                raise ScriptError(
                    f"{self.where}: lua:{self.done_function} returned {value!r}, not a boolean or a number"
                )
            ends.append(bool(value))
        return np.array(ends, bool)
