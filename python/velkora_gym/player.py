"""The import path ``velkora_gym.player`` of ``velkora_gym.apps.player``: the same module, and
``python -m velkora_gym.player`` runs it."""

import sys

from velkora_gym.apps import player

if __name__ == "__main__":
    sys.exit(player.main())
sys.modules[__name__] = player
