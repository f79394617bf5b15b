"""python -m velkora_gym.import ROM_DIR...: imports the ROMs of the integrations on the search
path, found by SHA-1 (see velkora_gym.integration.roms)."""

import sys

from velkora_gym.integration.roms import main

if __name__ == "__main__":
    sys.exit(main())
