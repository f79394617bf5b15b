"""Game integrations: the folders of JSON files (and optional Lua scripts and start states)
that name a game's variables in memory, its rewards and how its episodes end; the room of
the people who write them.

- ``folders``: reading and checking a folder, and finding games on the search path (the
  names below are its own);
- ``lua``: the Lua reward and done scripts, run in a sandbox within budgets;
- ``roms``: a folder's ROM found by SHA-1, and ``python -m velkora_gym.import``;
- ``ram_search``: finding a game's variables in memory (``velkora_gym.RamSearch``);
- ``check``: ``python -m velkora_gym.integration check FOLDER | list``.

The format is described once, in docs/integrations.md.
"""

from velkora_gym.integration.errors import IntegrationError
from velkora_gym.integration.folders import (
    CONDITIONS,
    ENV_PATH,
    HOW_TO_MAKE_A_STATE,
    MAX_JSON_BYTES,
    MAX_NODE_DEPTH,
    MAX_REWARD_FACTOR,
    MAX_SCRIPT_BYTES,
    MAX_SHA_BYTES,
    MAX_STATE_BYTES,
    MEASUREMENTS,
    OPS,
    PACKAGE_INTEGRATIONS,
    PRG_RAM,
    RAM,
    SNAPSHOT_MAGIC,
    Condition,
    Done,
    Integration,
    Player,
    Variable,
    add_path,
    decode,
    find,
    games,
    load,
    parse_type,
    parse_variable,
    read_sha,
    reward_of,
    search_folders,
    search_path,
    user_folder,
)

__all__ = [
    "CONDITIONS",
    "ENV_PATH",
    "HOW_TO_MAKE_A_STATE",
    "MAX_JSON_BYTES",
    "MAX_NODE_DEPTH",
    "MAX_REWARD_FACTOR",
    "MAX_SCRIPT_BYTES",
    "MAX_SHA_BYTES",
    "MAX_STATE_BYTES",
    "MEASUREMENTS",
    "OPS",
    "PACKAGE_INTEGRATIONS",
    "PRG_RAM",
    "RAM",
    "SNAPSHOT_MAGIC",
    "Condition",
    "Done",
    "Integration",
    "IntegrationError",
    "Player",
    "Variable",
    "add_path",
    "decode",
    "find",
    "games",
    "load",
    "parse_type",
    "parse_variable",
    "read_sha",
    "reward_of",
    "search_folders",
    "search_path",
    "user_folder",
]
