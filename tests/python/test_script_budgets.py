"""Files from strangers: Lua scripts that loop, hoard memory or hand back values no learner
can use are stopped within about a second with a ScriptError naming the folder, the function
and the budget, in single, vector and asynchronous stepping and in the training adapters,
and the environments work again after a reset; no non-finite reward comes out of any path."""

from __future__ import annotations

import json
import math
import re
import time

import numpy as np
import pytest

from test_integrations import DEMO, folder, quiet

pytest.importorskip("gymnasium")
pytest.importorskip("lupa")
from gymnasium.error import ResetNeeded  # noqa: E402

from velkora_gym import integration  # noqa: E402
from velkora_gym.envs import VelkoraEnv, VelkoraVectorEnv  # noqa: E402
from velkora_gym.integration import check  # noqa: E402
from velkora_gym.integration.lua import ScriptError  # noqa: E402

# Each runs on the second call of a console's runtime, so a reset (a new runtime) steps once
# cleanly before it strikes again. The budget each spends, or the words of its refusal.
HOSTILE = {
    "loop": ("while true do end", "instructions"),
    "tail calls": ("local function f() return f() end return f()", "instructions"),
    "unbounded table": ("local t = {} local i = 0 while true do i = i + 1 t[i] = {} end", "memory|time|instructions"),
    "huge string": ("local s = 'x' while true do s = s .. s end", "memory"),
    "string.rep": ("return #string.rep('x', 2^40)", "instructions"),
    "empty string.rep": ("return #string.rep('', 2^50)", "instructions"),
    "deep recursion": (
        "local function f(n) return 1 + f(n + 1) end return f(1)",
        "stack overflow|instructions|time|memory",
    ),
    "pcall around a spent budget": ("while true do pcall(function() while true do end end) end", "instructions"),
    "pcall around memory": (
        "while true do pcall(function() local s = 'x' while true do s = s .. s end end) end",
        "memory",
    ),
    "xpcall with a looping handler": (
        "xpcall(function() while true do end end, function() while true do end end) return 0",
        "instructions",
    ),
    "coroutine": ("coroutine.wrap(function() while true do end end)()", "instructions"),
    "resumed coroutines": (
        "while true do coroutine.resume(coroutine.create(function() while true do end end)) end",
        "instructions",
    ),
    "table.move": ("table.move({}, 1, 2^40, 1, {})", "instructions"),
    "pattern": ("return ('a'):rep(5000):find('.-.-.-.-b')", "could take"),
    "large strings in a loop": ("local s = ('x'):rep(2^23) while true do local t = s .. 'y' end", "time|memory"),
    "close handlers": (
        "local c = coroutine.create(function() local x <close> = setmetatable({}, {__close = function() "
        "while true do end end}) while true do end end) pcall(coroutine.resume, c) coroutine.close(c)",
        "instructions",
    ),
    "error object": (
        "error(setmetatable({}, {__tostring = function() while true do end end}))",
        "error object of type table",
    ),
    "finalizer": ("setmetatable({}, {__gc = function() while true do end end})", "cannot set __gc"),
}
BUDGET_WORDS = {"instructions": "Lua instructions", "memory": "memory budget", "time": "time limit"}


def lua_folder(tmp_path, source: str, function: str = "reward", name: str = "game"):
    """A folder whose reward (or done) is `function` of the script `source`."""
    return folder(
        tmp_path,
        name,
        scenario={function: {"script": f"lua:{function}"}, "scripts": ["s.lua"]},
        files={"s.lua": source},
    )


def hostile_folder(tmp_path, body: str):
    script = f"""
calls = 0
function reward()
  calls = calls + 1
  if calls == 2 then
    {body}
  end
  return 0
end
"""
    return lua_folder(tmp_path, script)


def refused(error: pytest.ExceptionInfo, game, words: str, function: str = "reward") -> None:
    text = str(error.value)
    assert str(game) in text and f"lua:{function}" in text, text
    expected = [BUDGET_WORDS.get(w, w) for w in words.split("|")]
    assert any(w in text for w in expected), text


@pytest.mark.parametrize("case", sorted(HOSTILE))
def test_hostile_scripts_are_stopped_and_reset_brings_the_environments_back(case, tmp_path):
    body, words = HOSTILE[case]
    game = hostile_folder(tmp_path, body)

    env = VelkoraEnv(DEMO, integration=str(game), **quiet())
    env.reset(seed=0)
    assert env.step(0)[1] == 0.0
    began = time.perf_counter()
    with pytest.raises(ScriptError) as error:
        env.step(0)
    assert time.perf_counter() - began < 2.5  # about a second, on a loaded machine
    refused(error, game, words)
    assert error.value.advanced.tolist() == [0]
    with pytest.raises(ResetNeeded, match="reset"):
        env.step(0)
    env.reset(seed=1)
    assert env.step(0)[1] == 0.0

    vector = VelkoraVectorEnv(DEMO, 3, integration=str(game), **quiet())
    vector.reset(seed=0)
    vector.step(np.zeros(3, int))
    began = time.perf_counter()
    with pytest.raises(ScriptError) as error:
        vector.step(np.zeros(3, int))
    assert time.perf_counter() - began < 2.5
    refused(error, game, words)
    assert error.value.advanced.tolist() == [0, 1, 2] and "environments 0-2 advanced" in str(error.value.__notes__)
    with pytest.raises(ResetNeeded):
        vector.reset(options={"reset_mask": np.array([True, False, False])})
    vector.reset(seed=0)
    assert vector.step(np.zeros(3, int))[1].tolist() == [0, 0, 0]


def test_asynchronous_steps_say_which_consoles_advanced(tmp_path):
    game = hostile_folder(tmp_path, "while true do end")
    vector = VelkoraVectorEnv(DEMO, 4, batch_size=2, integration=str(game), **quiet())
    vector.reset(seed=0)
    vector.send(np.zeros(4, int))
    got = {int(i) for _ in range(2) for i in vector.recv()[4]["env_id"]}
    assert got == {0, 1, 2, 3}
    vector.send(np.zeros(3, int), [0, 2, 3])
    began = time.perf_counter()
    with pytest.raises(ScriptError, match="lua:reward stopped") as error:
        vector.recv()
    assert time.perf_counter() - began < 2.5
    # The two received and the one still on its way, waited for: console 1 was not sent.
    assert error.value.advanced.tolist() == [0, 2, 3]
    for call in (lambda: vector.send(np.zeros(4, int)), vector.recv, lambda: vector.step(np.zeros(4, int))):
        with pytest.raises(ResetNeeded):
            call()
    observations, _ = vector.reset(seed=3)
    fresh = VelkoraVectorEnv(DEMO, 4, integration=str(game), **quiet())
    assert np.array_equal(observations, fresh.reset(seed=3)[0])
    vector.send(np.zeros(4, int))
    assert sorted(i for _ in range(2) for i in vector.recv()[4]["env_id"]) == [0, 1, 2, 3]


@pytest.mark.parametrize(
    "source, error",
    [
        ("while true do end", "loading s.lua stopped: it ran past its budget of 10,000,000 Lua instructions"),
        ("big = {} for i = 1, 1e8 do big[i] = i end", "loading s.lua stopped"),
        ("function reward() return 0 end local s = 'x' while true do s = s .. s end", "memory budget"),
    ],
)
def test_a_folder_whose_scripts_load_past_a_budget_is_refused_and_the_checker_says_so(tmp_path, capsys, source, error):
    game = lua_folder(tmp_path, source)
    with pytest.raises(integration.IntegrationError, match=error) as refusal:
        integration.load(game)
    assert str(game / "scenario.json") in str(refusal.value)
    assert check.main(["check", str(game), "--rom", str(tmp_path / "none.nes")]) == 1
    assert error in capsys.readouterr().out


def test_the_checker_reports_a_function_past_its_budget_in_play(tmp_path, capsys):
    game = hostile_folder(tmp_path, "while true do end")
    (tmp_path / "demo.nes").write_bytes(DEMO)
    assert check.main(["check", str(game), "--rom", str(tmp_path / "demo.nes"), "--episodes", "1"]) == 1
    out = capsys.readouterr().out
    assert "1 problem" in out and "lua:reward stopped: it ran past its budget" in out


def test_the_budgets_are_options_and_only_options(tmp_path):
    script = """
function reward()
  local t = {}
  for i = 1, 20000 do t[i] = i end
  return #t
end
"""
    game = lua_folder(tmp_path, script)
    env = VelkoraEnv(DEMO, integration=str(game), **quiet())
    env.reset(seed=0)
    assert env.step(0)[1] == 20000
    for options, spent in (
        ({"script_instructions": 30_000}, "30,000 Lua instructions"),
        ({"script_memory": 1 << 20}, ""),
    ):
        small = VelkoraEnv(DEMO, integration=str(game), **quiet(**options))
        small.reset(seed=0)
        if spent:
            with pytest.raises(ScriptError, match=spent):
                small.step(0)
        else:
            assert small.step(0)[1] == 20000  # 20,000 numbers fit in a MiB
    big = lua_folder(
        tmp_path, "function reward() local t = {} for i = 1, 200000 do t[i] = i end return 1 end", name="big"
    )
    env = VelkoraEnv(DEMO, integration=str(big), **quiet(script_memory=2 << 20))
    env.reset(seed=0)
    with pytest.raises(ScriptError, match="memory budget of 2 MiB"):
        env.step(0)
    # A folder cannot name budgets of its own.
    scenario = {"reward": {"script": "lua:reward"}, "scripts": ["s.lua"], "script_instructions": 10**12}
    (big / "scenario.json").write_text(json.dumps(scenario))
    with pytest.raises(integration.IntegrationError, match="script_instructions: unknown key"):
        integration.load(big)


@pytest.mark.parametrize(
    "option, value",
    [
        ("script_instructions", 0),
        ("script_instructions", True),
        ("script_instructions", 1.5),
        ("script_memory", 1000),
        ("script_memory", "64M"),
    ],
)
def test_bad_budgets_are_refused(option, value):
    with pytest.raises(ValueError, match=option):
        VelkoraEnv(DEMO, **{option: value})


# ------------------------------------------------------------------ values at the border


@pytest.mark.parametrize(
    "returned, words",
    [
        ("0/0", "returned nan for environment 0: a reward must be a finite number"),
        ("1e308 * 10", "returned inf"),
        ("-math.huge", "returned -inf"),
        ("'12'", "returned a string value for environment 0, not a number"),
        ("{}", "returned a table value"),
        ("nil", "returned nil"),
    ],
)
@pytest.mark.parametrize("stepping", ["single", "vector", "async"])
def test_reward_scripts_hand_back_finite_numbers_only(tmp_path, returned, words, stepping):
    game = lua_folder(tmp_path, f"function reward() return {returned} end")
    # Stepped on threads, either environment may be judged first.
    pattern = re.escape(f"lua:reward {words}").replace(re.escape("environment 0"), r"environment\ \d+")
    with pytest.raises(ScriptError, match=pattern):
        step_once(game, stepping, {})


def step_once(game, stepping: str, options: dict) -> None:
    if stepping == "single":
        env = VelkoraEnv(DEMO, integration=str(game) if game else None, **quiet(**options))
        env.reset(seed=0)
        env.step(0)
        return
    vector = VelkoraVectorEnv(
        DEMO,
        2,
        integration=str(game) if game else None,
        batch_size=1 if stepping == "async" else None,
        **quiet(**options),
    )
    vector.reset(seed=0)
    if stepping == "vector":
        vector.step(np.zeros(2, int))
    else:
        vector.send(np.zeros(2, int))
        vector.recv()
        vector.recv()


@pytest.mark.parametrize("returned", ["'yes'", "{}", "0/0", "function() end"])
def test_done_scripts_hand_back_booleans_or_numbers(tmp_path, returned):
    game = lua_folder(tmp_path, f"function done() return {returned} end", "done")
    with pytest.raises(ScriptError, match="lua:done returned .* not a boolean or a number"):
        step_once(game, "single", {})


@pytest.mark.parametrize(
    "returned, ends", [("nil", False), ("0", False), ("false", False), ("1", True), ("true", True)]
)
def test_done_values_keep_their_meaning(tmp_path, returned, ends):
    game = lua_folder(tmp_path, f"function done() return {returned} end", "done")
    env = VelkoraEnv(DEMO, integration=str(game), **quiet())
    env.reset(seed=0)
    assert env.step(0)[2] is ends


@pytest.mark.parametrize("stepping", ["single", "vector", "async"])
@pytest.mark.parametrize("value, words", [(math.nan, "reward_fn returned nan"), (-math.inf, "reward_fn returned -inf")])
def test_python_callables_hand_back_finite_rewards_only(stepping, value, words):
    options = {"variables": {"nmi": {"address": 0, "type": "|u1"}}, "reward_fn": lambda p, c: value}
    with pytest.raises(ValueError, match=words) as error:
        step_once(None, stepping, options)
    assert error.value.advanced is not None


@pytest.mark.parametrize("value", [math.inf, math.nan, 1e308])
def test_reward_variables_from_a_variables_callable_stay_finite(tmp_path, value):
    game = folder(
        tmp_path,
        scenario={"reward": {"variables": {"x": {"reward": 1e280}}}},
        data={"info": {"x": {"address": 1, "type": "|u1"}}},
    )
    calls = iter(range(10**6))
    # With a terminated_fn Python judges, and the reward variables come from the callable.
    reading = {"variables": lambda ram: {"x": value * (-1) ** next(calls)}, "terminated_fn": lambda v: False}
    with pytest.raises(ValueError, match="the reward variables of game gave, from the variables callable's values,"):
        step_once(game, "single", reading)


@pytest.mark.parametrize(
    "reward, words",
    [
        ('{"reward": NaN}', "must be a finite number, not nan"),
        ('{"reward": Infinity}', "must be a finite number, not inf"),
        ('{"reward": 1e999}', "must be a finite number"),
        ('{"reward": 1, "penalty": -1e300}', r"must be at most 1e\+280 in size"),
        ('{"reward": 123456789012345678901234567890123456789012345678901234567890' + "0" * 300 + "}", "finite"),
    ],
)
def test_reward_factors_that_could_make_an_infinite_reward_are_refused(tmp_path, reward, words):
    game = folder(tmp_path, scenario='{"reward": {"variables": {"nmi": ' + reward + "}}}")
    with pytest.raises(integration.IntegrationError, match=words):
        integration.load(game)


@pytest.mark.parametrize("adapter", ["sb3", "puffer"])
def test_the_training_adapters_raise_and_come_back_with_reset(tmp_path, adapter):
    game = hostile_folder(tmp_path, "while true do end")
    if adapter == "sb3":
        pytest.importorskip("stable_baselines3")
        from velkora_gym.train.sb3 import VelkoraVecEnv as Adapter
    else:
        pytest.importorskip("pufferlib")
        from velkora_gym.train.puffer import VelkoraPufferEnv as Adapter
    env = Adapter(DEMO, 3, integration=str(game), **quiet())
    env.reset()
    step = lambda: env.step(np.zeros(3, int))  # noqa: E731
    step()
    with pytest.raises(ScriptError, match="lua:reward stopped") as error:
        step()
    assert error.value.advanced.tolist() == [0, 1, 2]
    with pytest.raises(ResetNeeded):
        step()
    env.reset()
    assert np.array_equal(step()[1], np.zeros(3))
