"""python -m velkora_gym.integration check FOLDER | list: the checker (velkora_gym.integration.check)."""

import sys

from velkora_gym.integration.check import main

sys.exit(main())
