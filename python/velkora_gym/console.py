"""Facts of the NTSC console that the package's parts share: its pace, its picture and its
sound. Each is written here once."""

from __future__ import annotations

#: The picture's width and height in pixels.
WIDTH, HEIGHT = 256, 240
SCREEN = (WIDTH, HEIGHT)
#: Frames a second: the CPU's 1789773 Hz over 29780.67 cycles a frame.
FRAME_RATE = 1789773 / (341 * 262 / 3)
#: The same, as Gymnasium's render_fps gives it: 60.1.
RENDER_FPS = round(FRAME_RATE, 1)
#: Samples a second of the console's mono 16-bit sound (getAudio).
SAMPLE_RATE = 44100
#: The joypad's buttons in Controller.updateInputs' order (bit 0 first).
JOYPAD = ("A", "B", "Select", "Start", "Up", "Down", "Left", "Right")
