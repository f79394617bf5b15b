"""The import path ``velkora_gym.sb3`` of ``velkora_gym.train.sb3``: the same module."""

import sys

from velkora_gym.train import sb3

sys.modules[__name__] = sb3
