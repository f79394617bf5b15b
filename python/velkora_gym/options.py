"""The import path ``velkora_gym.options`` of ``velkora_gym.envs.options``: the same module."""

import sys

from velkora_gym.envs import options

sys.modules[__name__] = options
