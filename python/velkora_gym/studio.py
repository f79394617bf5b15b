"""The import path ``velkora_gym.studio`` of ``velkora_gym.apps.studio``: the same module, and
``python -m velkora_gym.studio`` runs it."""

import sys

from velkora_gym.apps import studio

if __name__ == "__main__":
    sys.exit(studio.main())
sys.modules[__name__] = studio
