"""The import path ``velkora_gym.record`` of ``velkora_gym.apps.record``: the same module, and
``python -m velkora_gym.record`` runs it."""

import sys

from velkora_gym.apps import record

if __name__ == "__main__":
    sys.exit(record.main())
sys.modules[__name__] = record
