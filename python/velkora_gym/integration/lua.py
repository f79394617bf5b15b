"""Lua reward and done scripts of integration folders, run by Lua 5.4 through lupa.

Each console has a runtime of its own: the scripts' globals last from step to step and a
reset starts them over. A script reads the variables as ``data.NAME``; it gets no file,
operating system or Python access.

Scripts come from strangers, so each runs within budgets: loading a folder's scripts, and
each call of a reward or done function, runs at most ``Budget.instructions`` Lua
instructions (library calls that loop inside, such as ``string.rep`` or ``table.move``,
count their iterations, and a pattern that could take more steps than a whole call may
run is refused), and a runtime holds at most ``Budget.memory`` bytes. A call that keeps
the console busy for more than ``TIME_LIMIT`` seconds within them (large strings and
tables, the collector at the edge of the memory budget) is stopped too. A spent budget
keeps raising through ``pcall``, ``xpcall`` and coroutines, and the step raises
``ScriptError`` naming the folder, the function and the budget.
"""

from __future__ import annotations

import math
import time
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any, NamedTuple, Protocol

import numpy as np

from velkora_gym.integration.errors import IntegrationError

#: Seconds a call (or a folder's loading) may keep the console busy, whatever its budgets.
TIME_LIMIT = 1.0


class ScriptError(RuntimeError):
    """A Lua script failed, returned a value the environment cannot use, or ran past a
    budget while an environment ran it.

    Raised by a step, ``advanced`` holds the environments whose consoles ran the step whose
    results were lost (a note on the error says so too); the environment then refuses to
    step until ``reset()`` brings every console back to its start."""

    advanced: np.ndarray | None = None


class Budget(NamedTuple):
    """What one console's scripts may spend: Lua instructions per load and per call, and
    bytes of memory for the runtime."""

    instructions: int = 10_000_000
    memory: int = 64 << 20

    @classmethod
    def checked(cls, instructions: object, memory: object) -> Budget:
        """A budget from the environment options, ``ValueError`` for one it cannot be."""
        if isinstance(instructions, bool) or not isinstance(instructions, (int, np.integer)) or instructions < 1:
            raise ValueError(f"script_instructions must be an int of at least 1, not {instructions!r}")
        if isinstance(memory, bool) or not isinstance(memory, (int, np.integer)) or memory < 1 << 20:
            raise ValueError(f"script_memory must be an int of at least 1 MiB (1048576 bytes), not {memory!r}")
        return cls(int(instructions), int(memory))

    def spent(self, kind: str) -> str:
        if kind == "instructions":
            return f"it ran past its budget of {self.instructions:,} Lua instructions (the script_instructions option)"
        if kind == "memory":
            return (
                f"its Lua runtime reached its memory budget of {self.memory / (1 << 20):g} MiB "
                f"(the script_memory option)"
            )
        return f"it kept the console busy past the time limit of {TIME_LIMIT:g} s (large strings or tables?)"


DEFAULT_BUDGET = Budget()


class Scripted(Protocol):
    """What the scripts are run from: an integration (velkora_gym.integration.Integration)."""

    scripts: list[tuple[str, str]]
    reward_script: str | None
    done_script: str | None
    folder: Path | None


# The runtime's own part, run before any script: it keeps what the sandbox takes away
# (the debug library's hook, load) in locals no script can reach, installs the budgets, and
# returns the entry points Python calls. Every script's run goes through `run`, which
# catches everything, so no error object of a script's (a table whose __tostring loops,
# say) ever reaches lupa's own conversions.
_SANDBOX_LUA = r"""
local clock, limit, seconds = ...
local sethook, load = debug.sethook, load
local type, select, error, rawequal, rawget, rawset, pairs, tonumber, tostring =
  type, select, error, rawequal, rawget, rawset, pairs, tonumber, tostring
local pcall, xpcall, setmetatable, collectgarbage = pcall, xpcall, setmetatable, collectgarbage
local pack, unpack = table.pack, table.unpack
local create, resume, status, close, running = coroutine.create, coroutine.resume, coroutine.status,
  coroutine.close, coroutine.running
local floor, huge, log = math.floor, math.huge, math.log
local sub, byte, find = string.sub, string.byte, string.find
local G = _G

local STEP, SHORTEST, LIGHT_KIB = 128, 16, 1024
local MEMORY_ERROR = "not enough memory"
local SPENT = "the script's budget is spent"

local budget, used, deadline, spent = 0, 0, huge, nil
local active = false  -- inside a run: the hook counts and stops only then
local step = STEP
local threads = setmetatable({}, {__mode = "k"})
local main = running()
local hook

local function stop(kind)
  spent = spent or kind
  error(SPENT, 0)
end

local function charge(units)
  used = used + units
  if used > budget then stop("instructions") end
end

local function restep(count)
  step = count
  sethook(main, hook, "", count)
  for co in pairs(threads) do
    if status(co) ~= "dead" then sethook(co, hook, "", count) end
  end
end

-- An instruction on a large string or table, or one that makes the collector run, takes
-- time in proportion to the memory in use: past LIGHT_KIB the steps between looks at the
-- budget and the clock shorten in proportion.
local function stepFor(kib)
  if kib <= LIGHT_KIB then return STEP end
  local count = 2 ^ floor(log(STEP * LIGHT_KIB / kib, 2))
  return count < SHORTEST and SHORTEST or count
end

-- Within a run the step only shortens: a step set anew resets the count, and resetting it
-- again and again would keep the hook from ever firing.
local function watch()
  if clock() > deadline then stop("time") end
  local want = stepFor(collectgarbage("count"))
  if want < step then restep(want) end
end

hook = function()
  if not active then return end
  if spent then error(SPENT, 0) end
  charge(step)
  watch()
end

-- A collection that ends while much memory is in use shortens the step at once, so that
-- the instructions that made it do not run a whole step unwatched; past the time limit the
-- next instruction stops. (A finalizer cannot raise an error itself.)
local sentinel = {}
sentinel.__gc = function()
  if active then
    if clock() > deadline then
      spent = spent or "time"
      restep(1)
    else
      local want = stepFor(collectgarbage("count"))
      if want < step then restep(want) end
    end
  end
  setmetatable({}, sentinel)
end
setmetatable({}, sentinel)

local function after(...)
  watch()
  return ...
end

-- A memory error a script caught spends the memory budget all the same.
local function settle(results)
  if spent then error(SPENT, 0) end
  if not results[1] and rawequal(results[2], MEMORY_ERROR) then stop("memory") end
  return unpack(results, 1, results.n)
end

G.pcall = function(...) return settle(pack(pcall(...))) end
-- An error the hook raises leaves hooks off until the protected call returns, so a message
-- handler would then run unwatched: once the budget is spent it does not run.
G.xpcall = function(f, handler, ...)
  local function handle(e)
    if spent then return e end
    return handler(e)
  end
  return settle(pack(xpcall(f, handle, ...)))
end

-- Hooks belong to a thread: each new coroutine gets the budget's.
local function newThread(f)
  local thread = create(f)
  threads[thread] = true
  sethook(thread, hook, "", step)
  return thread
end
local co = G.coroutine
co.create = newThread
co.resume = function(...) return settle(pack(resume(...))) end
-- A coroutine the hook stopped keeps its hooks off: its __close handlers must not run.
co.close = function(...)
  if spent then error(SPENT, 0) end
  return settle(pack(close(...)))
end
co.wrap = function(f)
  local thread = newThread(f)
  return function(...)
    local results = pack(resume(thread, ...))
    if spent then error(SPENT, 0) end
    if results[1] then return unpack(results, 2, results.n) end
    if rawequal(results[2], MEMORY_ERROR) then stop("memory") end
    close(thread)
    error(results[2], 0)
  end
end

-- A finalizer runs where no budget can stop it.
G.setmetatable = function(t, mt)
  if type(mt) == "table" and rawget(mt, "__gc") ~= nil then
    error("setmetatable: integration scripts cannot set __gc", 2)
  end
  return setmetatable(t, mt)
end

G.collectgarbage = function(option, ...)
  if option == nil or option == "collect" or option == "step" then
    charge(floor(collectgarbage("count")))  -- a collection visits every KiB in use
    return after(collectgarbage(option, ...))
  elseif option == "count" or option == "isrunning" then
    return collectgarbage(option)
  end
  error("collectgarbage: integration scripts may only count, collect or step", 2)
end

-- Library calls whose work does not show as instructions: they charge their iterations
-- first, and look at the budget after.
local function counted(f, cost)
  return function(...)
    local units = tonumber(cost(...))
    if units and units > 0 then charge(units) end
    return after(f(...))
  end
end
local function length(t)
  if type(t) == "table" then return #t end
end
local function span(first, last)
  first, last = tonumber(first), tonumber(last)
  if first and last and last >= first then return last - first + 1 end
  return 0
end

-- The most steps a pattern can take on a subject: each quantifier, balance or back
-- reference can try every position of the subject again for every one before it.
local function patternSteps(s, p, plain)
  if type(s) ~= "string" or type(p) ~= "string" then return 0 end
  local n, m = #s + 1, #p + 1
  if plain == true or not find(p, "[%^%$%*%+%?%.%(%)%[%]%%%-]") then return n * m end
  local repeats, i = 0, 1
  while i < m do
    local c = byte(p, i)
    if c == 37 then  -- %
      local d = byte(p, i + 1)
      if d == 98 then repeats, i = repeats + 1, i + 4
      elseif d and d >= 49 and d <= 57 then repeats, i = repeats + 1, i + 2
      else i = i + 2 end
    elseif c == 91 then  -- [ a set, up to the ] that closes it
      i = i + 1
      if byte(p, i) == 94 then i = i + 1 end
      repeat
        if byte(p, i) == 37 then i = i + 1 end
        i = i + 1
      until i >= m or byte(p, i) == 93
      i = i + 1
    else
      if c == 42 or c == 43 or c == 45 or c == 63 then repeats = repeats + 1 end
      i = i + 1
    end
  end
  return n ^ (repeats + 1) + n * m
end
local function matching(f, name)
  return function(s, p, init, plain)
    local steps = patternSteps(s, p, plain)
    if steps > budget then
      error(("string.%s: pattern %q could take %.3g steps on a string of %d bytes, more than a call may run")
        :format(name, sub(p, 1, 40), steps, #s), 0)
    end
    if type(s) == "string" then charge(#s // 16) end
    return after(f(s, p, init, plain))
  end
end

local str, tab = G.string, G.table
local patterns = {find = true, match = true, gmatch = true, gsub = true}
local costs = {
  [str] = {rep = function(_, n) return n end},
  [tab] = {
    concat = function(t, _, i, j) return span(i or 1, j or length(t)) end,
    unpack = function(t, i, j) return span(i or 1, j or length(t)) end,
    move = function(_, f, e) return span(f, e) end,
    insert = length,
    remove = length,
    sort = function(t)
      local n = tonumber(length(t))
      if n and n > 1 then return n * (log(n, 2) + 1) end
    end,
  },
}
for _, library in pairs({str, tab, G.utf8}) do
  local own = costs[library] or {}
  for name, f in pairs(library) do
    if type(f) == "function" then
      if own[name] then
        library[name] = counted(f, own[name])
      elseif library == str and patterns[name] then
        library[name] = matching(f, name)
      else
        library[name] = function(...) return after(f(...)) end
      end
    end
  end
end

for _, name in pairs({"io", "os", "package", "require", "dofile", "loadfile", "load", "debug", "python"}) do
  G[name] = nil
end
local data = {}
G.data = data
restep(STEP)

local function begin()
  budget, used, spent = limit, 0, nil
  deadline = clock() + seconds
  local want = stepFor(collectgarbage("count"))
  if want ~= step then restep(want) end
end

-- Runs body(...) within the budget (a new one when `fresh`) and says how it went: true and a
-- number, a boolean or nil; true, nil and the type of any other value; false and the error
-- (a string or a number; else nil and its type); or false, nil, nil and the budget spent.
local function run(fresh, body, ...)
  if fresh then begin() end
  active = true
  local ok, value = pcall(body, ...)
  active = false
  if spent then return false, nil, nil, spent end
  if not ok and rawequal(value, MEMORY_ERROR) then return false, nil, nil, "memory" end
  local kind = type(value)
  if ok then
    if kind == "number" or kind == "boolean" or kind == "nil" then return true, value end
    return true, nil, kind
  end
  if kind == "string" then return false, sub(value, 1, 500) end
  if kind == "number" then return false, value end
  return false, nil, kind
end

-- The hook may stop a run in its last instructions, after its pcall: the error then reaches
-- Python, which asks here what was spent.
local function left()
  active = false
  return spent
end

local function loadSource(source, name)
  local chunk, message = load(source, name, "t", G)
  if not chunk then error(message, 0) end
  chunk()
end

local function defines(name)
  return type(G[name]) == "function"
end

-- The body that calls function `name` with the variables `...` as data, given their values.
local function bind(name, ...)
  local names = pack(...)
  return function(...)
    for i = 1, names.n do rawset(data, names[i], (select(i, ...))) end
    local f = G[name]
    if type(f) ~= "function" then error(("lua:%s is no longer a function"):format(name), 0) end
    return (f())
  end
end

return run, left, loadSource, defines, bind
"""


def _lupa() -> Any:
    try:
        import lupa.lua54
    except ImportError as error:
        raise ImportError(f"Lua scripts need lupa: pip install velkora[gym] ({error})") from error
    return lupa.lua54


class Runtime:
    """One console's Lua runtime, holding every script of a folder."""

    def __init__(
        self,
        sources: Sequence[tuple[str, str]],
        functions: Sequence[str],
        where: str,
        budget: Budget = DEFAULT_BUDGET,
    ) -> None:
        lua = _lupa()
        self.where = where
        self.budget = budget
        self._errors = (lua.LuaError, lua.LuaMemoryError)
        self._memory_error = lua.LuaMemoryError
        self._lua = lua.LuaRuntime(
            register_eval=False, register_builtins=False, unpack_returned_tuples=False, max_memory=budget.memory
        )
        try:
            self._run, self._left, load, defines, self._bind = self._lua.execute(
                _SANDBOX_LUA, time.perf_counter, budget.instructions, TIME_LIMIT, name="=velkora sandbox"
            )
        except self._errors:
            raise ScriptError(f"{where}: loading the scripts stopped: {budget.spent('memory')}") from None
        self._bodies: dict[tuple[str, tuple[str, ...]], Any] = {}
        fresh = True  # one budget for the whole loading
        for name, source in sources:
            ok, message, kind, spent = self._enter(fresh, load, source, f"@{name}")
            fresh = False
            if spent is not None:
                raise ScriptError(f"{where}: loading {name} stopped: {budget.spent(spent)}")
            if not ok:
                raise IntegrationError(f"{where}: {name}: {_message(message, kind)}")
        for function in functions:
            ok, present, kind, spent = self._enter(fresh, defines, function)
            fresh = False
            if spent is not None:
                raise ScriptError(f"{where}: loading the scripts stopped: {budget.spent(spent)}")
            if not ok or not present:
                raise IntegrationError(f"{where}: lua:{function}: the scripts define no function {function}")

    def _enter(self, fresh: bool, body: Any, *arguments: Any) -> tuple[Any, Any, Any, Any]:
        """(ok, value, type, budget spent) of body(*arguments) run in the sandbox, on a new
        budget when `fresh`."""
        try:
            result = self._run(fresh, body, *arguments)
        except self._errors as error:
            try:
                spent = self._left()
            except self._errors:
                spent = None
            if spent is None and (isinstance(error, self._memory_error) or "not enough memory" in str(error)):
                spent = "memory"
            return False, str(error), None, spent or "instructions"
        if len(result) == 2:
            return result[0], result[1], None, None
        return (*result, None, None)[:4]

    def call(self, function: str, names: tuple[str, ...], values: Sequence[Any]) -> tuple[Any, str | None]:
        """The function's value, the variables `names` holding `values`: a number, a boolean
        or None, and for a value of any other type that type's name. ``ScriptError`` when it
        fails or runs past a budget."""
        body = self._bodies.get((function, names))
        if body is None:
            try:
                body = self._bodies[(function, names)] = self._bind(function, *names)
            except self._errors:  # a runtime the scripts filled to its budget while loading
                raise ScriptError(f"{self.where}: lua:{function} stopped: {self.budget.spent('memory')}") from None
        ok, value, kind, spent = self._enter(True, body, *values)
        if spent is not None:
            raise ScriptError(f"{self.where}: lua:{function} stopped: {self.budget.spent(spent)}")
        if not ok:
            raise ScriptError(f"{self.where}: lua:{function} failed: {_message(value, kind)}")
        return value, kind


def _message(value: Any, kind: str | None) -> str:
    """An error a script raised, as a line: strings and numbers as they are, any other
    object by its type (its own __tostring is not run)."""
    if kind is not None:
        return f"an error object of type {kind}"
    return str(value).removeprefix("error loading code: ").split("\n", 1)[0][:300]


def check_scripts(integration: Scripted, scenario: Path, budget: Budget = DEFAULT_BUDGET) -> None:
    """Loads the scripts once, so a syntax error, a missing function or a load past the
    budget is found with the other problems of the folder rather than at the first step."""
    try:
        Scripts(integration, scenario, budget).runtime()
    except ScriptError as error:
        raise IntegrationError(str(error)) from None


class Scripts:
    """The reward and done functions of an integration, one runtime per console."""

    def __init__(self, integration: Scripted, scenario: Path | None = None, budget: Budget = DEFAULT_BUDGET) -> None:
        self.sources = integration.scripts
        self.reward_function = integration.reward_script
        self.done_function = integration.done_script
        self.functions = [f for f in (self.reward_function, self.done_function) if f is not None]
        folder = integration.folder
        self.where = str(scenario or (folder / "scenario.json" if folder else "scenario.json"))
        self.budget = budget
        self.runtimes: list[Runtime | None] = []

    def __bool__(self) -> bool:
        return bool(self.functions)

    def runtime(self) -> Runtime:
        return Runtime(self.sources, self.functions, self.where, self.budget)

    def restart(self, rows: Sequence[int], size: int) -> None:
        if len(self.runtimes) != size:
            self.runtimes = [None] * size
        for i in rows:
            # The old runtime goes first: two runtimes at their memory budget would be twice it.
            self.runtimes[i] = None
            self.runtimes[i] = self.runtime()

    def _calls(self, function: str, values: Mapping[str, np.ndarray], rows: Sequence[int]) -> Any:
        """(console, value, type of an odd value) of the function in each console of `rows`."""
        names = tuple(values)
        columns = [array.tolist() for array in values.values()]
        if len(self.runtimes) <= max(rows, default=-1):
            self.runtimes.extend([None] * (max(rows) + 1 - len(self.runtimes)))
        for k, i in enumerate(rows):
            runtime = self.runtimes[i]
            if runtime is None:
                runtime = self.runtimes[i] = self.runtime()
            yield (i, *runtime.call(function, names, [column[k] for column in columns]))

    def reward(self, values: Mapping[str, np.ndarray], rows: Sequence[int]) -> np.ndarray:
        """The reward function's value for consoles `rows`; `values` holds their variables
        in that order. A value that is not a finite number is a ``ScriptError``."""
        if self.reward_function is None:
            return np.zeros(len(rows))
        rewards = []
        for i, value, kind in self._calls(self.reward_function, values, rows):
            if kind is not None or isinstance(value, bool) or not isinstance(value, (int, float)):
                shown = f"a {kind} value" if kind is not None else ("nil" if value is None else repr(value))
                raise ScriptError(
                    f"{self.where}: lua:{self.reward_function} returned {shown} for environment {i}, not a number"
                )
            if not math.isfinite(value):
                raise ScriptError(
                    f"{self.where}: lua:{self.reward_function} returned {value} for environment {i}: "
                    f"a reward must be a finite number"
                )
            rewards.append(float(value))
        return np.array(rewards)

    def done(self, values: Mapping[str, np.ndarray], rows: Sequence[int]) -> np.ndarray:
        """A done function's value is true unless it is false, nil (no value) or the number
        0; any other type, and NaN, is a ``ScriptError``."""
        if self.done_function is None:
            return np.zeros(len(rows), bool)
        ends = []
        for i, value, kind in self._calls(self.done_function, values, rows):
            if kind is not None or (isinstance(value, float) and math.isnan(value)):
                shown = f"a {kind} value" if kind is not None else "nan"
                raise ScriptError(
                    f"{self.where}: lua:{self.done_function} returned {shown} for environment {i}, "
                    f"not a boolean or a number"
                )
            ends.append(bool(value))
        return np.array(ends, bool)
