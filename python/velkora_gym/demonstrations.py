"""The import path ``velkora_gym.demonstrations`` of ``velkora_gym.envs.demonstrations``: the same module, and
``python -m velkora_gym.demonstrations`` runs it."""

import sys

from velkora_gym.envs import demonstrations

if __name__ == "__main__":
    sys.exit(demonstrations.main())
sys.modules[__name__] = demonstrations
