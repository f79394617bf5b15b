"""The import path ``velkora_gym.rllib`` of ``velkora_gym.train.rllib``: the same module."""

import sys

from velkora_gym.train import rllib

sys.modules[__name__] = rllib
