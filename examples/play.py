"""Plays a cartridge in a window, with sound, keyboard joypad and save states.

    python examples/play.py [ROM] [--scale 3] [--states DIR] [--mute] [--frames N]

Without ROM it plays the project's demo cartridge. Needs pygame (pip install pygame).

Keys: arrows = D-pad, X = A, Z = B, Enter = Start, Right Shift or Backspace = Select,
P = pause, 1-9 = choose the save slot, F5 = save state, F9 = load state, Esc = quit.

Emulation runs frame by frame with runFrame; the sound device sets the pace:
a new frame runs only when the audio queue has room, so the sound has no gaps
and the picture follows at the device's rate (without sound: 60.1 frames a second).
"""
from __future__ import annotations

import argparse
import collections
import os
import sys
import time
from pathlib import Path

import numpy as np

os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")
import pygame  # noqa: E402

import velkora

REPO = Path(__file__).resolve().parents[1]
WIDTH, HEIGHT = 256, 240
SAMPLE_RATE = 44100
# 29780.67 CPU cycles per frame at 1789773 Hz.
FRAME_RATE = 1789773 / (341 * 262 / 3)

# Controller.updateInputs order: A, B, Select, Start, Up, Down, Left, Right.
KEYMAP = {
    pygame.K_x: 0,
    pygame.K_z: 1,
    pygame.K_RSHIFT: 2,
    pygame.K_BACKSPACE: 2,
    pygame.K_RETURN: 3,
    pygame.K_KP_ENTER: 3,
    pygame.K_UP: 4,
    pygame.K_DOWN: 5,
    pygame.K_LEFT: 6,
    pygame.K_RIGHT: 7,
}
SLOT_KEYS = {getattr(pygame, f"K_{n}"): n for n in range(1, 10)}


def demo_cartridge() -> Path:
    sys.path.insert(0, str(REPO / "demo"))
    import build_demo

    return build_demo.ensure_built()


def default_states_dir(rom: Path) -> Path:
    """Beside the game's battery RAM folder: <data>/velkora/<game>/states."""
    xdg = os.environ.get("XDG_DATA_HOME", "")
    base = Path(xdg) if xdg.startswith("/") else Path.home() / ".local" / "share"
    return base / "velkora" / rom.stem.replace(" ", "_") / "states"


class AudioOut:
    """Feeds 1024-sample blocks to one mixer channel: one playing, one queued,
    the rest waiting here. The caller waits while blocks pile up."""

    def __init__(self) -> None:
        pygame.mixer.init(frequency=SAMPLE_RATE, size=-16, channels=1, buffer=512, allowedchanges=0)
        _, _, self.channels = pygame.mixer.get_init()
        self.channel = pygame.mixer.Channel(0)
        self.waiting: collections.deque[bytes] = collections.deque()

    def push(self, block: bytes) -> None:
        self.waiting.append(block)
        self.pump()

    def pump(self) -> None:
        while self.waiting:
            if not self.channel.get_busy():
                self.channel.play(self._sound(self.waiting.popleft()))
            elif self.channel.get_queue() is None:
                self.channel.queue(self._sound(self.waiting.popleft()))
            else:
                break

    def backlog(self) -> int:
        return len(self.waiting)

    def _sound(self, block: bytes) -> pygame.mixer.Sound:
        if self.channels == 1:
            return pygame.mixer.Sound(buffer=block)
        mono = np.frombuffer(block, dtype=np.int16)
        return pygame.mixer.Sound(buffer=np.repeat(mono, self.channels).tobytes())

    def close(self) -> None:
        pygame.mixer.quit()


class Player:
    def __init__(self, rom: Path, *, scale: int = 3, states: Path | None = None, mute: bool = False) -> None:
        pygame.display.init()
        pygame.font.init()
        self.rom = Path(rom)
        self.screen = pygame.display.set_mode((WIDTH * scale, HEIGHT * scale))
        self.picture = pygame.Surface((WIDTH, HEIGHT))
        self.font = pygame.font.Font(None, 12 * scale)
        self.clock = pygame.time.Clock()

        sys.stdout.flush()
        self.nes = velkora.NES(str(self.rom))
        self.pad = velkora.Controller()
        self.nes.setController(self.pad, 0)
        self.buttons = [0] * 8

        self.states = Path(states) if states else default_states_dir(self.rom)
        self.states.mkdir(parents=True, exist_ok=True)
        self.nes.setSaveDir(str(self.states))
        self.slot = 1

        self.audio: AudioOut | None = None
        if not mute:
            try:
                self.audio = AudioOut()
            except pygame.error as error:
                print(f"no sound ({error}); pacing by the clock", file=sys.stderr)

        self.frames = 0
        self.paused = False
        self.running = True
        self.message = ""
        self.message_until = 0.0
        self._caption()

    # -- input
    def handle(self, event: pygame.event.Event) -> None:
        if event.type == pygame.QUIT:
            self.running = False
        elif event.type in (pygame.KEYDOWN, pygame.KEYUP):
            down = event.type == pygame.KEYDOWN
            if event.key in KEYMAP:
                self.buttons[KEYMAP[event.key]] = int(down)
                self.pad.updateInputs(self.buttons)
            elif down:
                self._command(event.key)

    def _command(self, key: int) -> None:
        if key == pygame.K_ESCAPE:
            self.running = False
        elif key == pygame.K_p:
            self.paused = not self.paused
            self._say("paused" if self.paused else "")
        elif key in SLOT_KEYS:
            self.slot = SLOT_KEYS[key]
            self._say(f"slot {self.slot}")
        elif key == pygame.K_F5:
            self.nes.saveState(self.slot)
            self._say(f"saved slot {self.slot}")
        elif key == pygame.K_F9:
            loaded = self.nes.loadState(self.slot)
            self._say(f"loaded slot {self.slot}" if loaded else f"slot {self.slot} is empty")

    def _say(self, text: str) -> None:
        self.message = text
        self.message_until = time.monotonic() + 2.0
        self._caption()

    def _caption(self) -> None:
        extra = f" - {self.message}" if self.message else ""
        pygame.display.set_caption(f"velkora - {self.rom.stem} - slot {self.slot}{extra}")

    # -- output
    def draw(self) -> None:
        pygame.surfarray.blit_array(self.picture, np.asarray(self.nes.getImg()).swapaxes(0, 1))
        pygame.transform.scale(self.picture, self.screen.get_size(), self.screen)
        if self.paused or time.monotonic() < self.message_until:
            text = self.font.render(self.message or "paused", True, (255, 255, 255), (0, 0, 0))
            self.screen.blit(text, (8, self.screen.get_height() - text.get_height() - 8))
        pygame.display.flip()

    def _pace(self) -> None:
        if self.audio is None:
            self.clock.tick(FRAME_RATE)
            return
        waited_since = time.monotonic()
        self.audio.pump()
        while self.audio.backlog() > 1:
            pygame.time.wait(1)
            self.audio.pump()
            if time.monotonic() - waited_since > 1.0:
                # The device takes nothing: carry on without it.
                print("the sound device stalled; pacing by the clock", file=sys.stderr)
                self.audio.close()
                self.audio = None
                return

    # -- loop
    def step(self) -> None:
        self.nes.runFrame()
        self.frames += 1
        block = self.nes.getAudio()[0]
        if self.audio is not None and block:
            self.audio.push(block)
        self.draw()
        self._pace()

    def run(self, max_frames: int | None = None) -> None:
        while self.running:
            for event in pygame.event.get():
                self.handle(event)
            if not self.running:
                break
            if self.paused:
                self.draw()
                self.clock.tick(30)
                continue
            self.step()
            if max_frames is not None and self.frames >= max_frames:
                break

    def close(self) -> None:
        # stop() writes battery RAM; without a run thread it then raises.
        try:
            self.nes.stop()
        except RuntimeError:
            pass
        if self.audio is not None:
            self.audio.close()
        pygame.display.quit()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("rom", nargs="?", help="an iNES cartridge image (default: the demo cartridge)")
    parser.add_argument("--scale", type=int, default=3, help="window size in multiples of 256 x 240")
    parser.add_argument("--states", help="folder of the save-state files (default beside the battery RAM)")
    parser.add_argument("--mute", action="store_true", help="no sound; pace by the clock")
    parser.add_argument("--frames", type=int, help="quit after this many frames")
    args = parser.parse_args(argv)

    rom = Path(args.rom) if args.rom else demo_cartridge()
    if not rom.is_file():
        parser.error(f"no such cartridge: {rom}")
    player = Player(rom, scale=max(1, args.scale), states=args.states, mute=args.mute)
    started = time.perf_counter()
    try:
        player.run(args.frames)
    finally:
        player.close()
    elapsed = time.perf_counter() - started
    print(f"played {player.frames} frames in {elapsed:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
