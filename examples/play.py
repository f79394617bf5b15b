"""Plays a cartridge in a window (the demo game without one): the same player as the
``velkora-play`` command; ``--help`` lists its keys and options. Needs pygame."""

import sys

from velkora_gym.apps.player import main

if __name__ == "__main__":
    sys.exit(main())
