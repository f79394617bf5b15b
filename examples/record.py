"""Records a cartridge's pictures and sound headless to a GIF or MP4 and a WAV, or replays
a movie into them: the same code as the ``velkora-record`` command (``--help``)."""

import sys

from velkora_gym.apps.record import main

if __name__ == "__main__":
    sys.exit(main())
