"""The import path ``velkora_gym.registration`` of ``velkora_gym.envs.registration``: the same module."""

import sys

from velkora_gym.envs import registration

sys.modules[__name__] = registration
