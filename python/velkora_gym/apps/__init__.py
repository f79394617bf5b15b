"""The programs for people at the screen (``pip install velkora[play]``):

- ``player``: ``velkora-play``, a cartridge in a window with sound, two players, rewind and
  movies;
- ``studio``: ``velkora-studio``, finding a game's variables and writing its integration;
- ``record``: ``velkora-record``, pictures and sound to GIF/MP4 and WAV, headless;
- ``viewer``: the window of an environment's ``render_mode="human"``;
- ``commands``: the console commands' entry points.
"""

import os

# pygame greets on import; these programs speak for themselves.
os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")
