"""The import path ``velkora_gym.puffer`` of ``velkora_gym.train.puffer``: the same module."""

import sys

from velkora_gym.train import puffer

sys.modules[__name__] = puffer
