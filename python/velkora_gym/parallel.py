"""The import path ``velkora_gym.parallel`` of ``velkora_gym.envs.two_player``: the same module."""

import sys

from velkora_gym.envs import two_player

sys.modules[__name__] = two_player
