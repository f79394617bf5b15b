"""What the player and the studio share: the console they open (in which timing, with or
without the loader's lines), the command-line options that choose it, and the movies of a
window: the one played back and the one recorded."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import velkora
from velkora_gym import set_timing, snapshot
from velkora_gym.movie import Movie
from velkora_gym.quiet import quiet_nes
from velkora_gym.timings import TIMINGS, check_timing, resolve_timing


def add_console_options(parser: argparse.ArgumentParser) -> None:
    """--timing and --verbose, as every console command takes them."""
    parser.add_argument(
        "--timing",
        choices=TIMINGS,
        help="the console's timing model (default: VELKORA_TIMING, else design; a --movie plays in its own)",
    )
    parser.add_argument("--verbose", action="store_true", help="print the console loader's lines")


def open_console(rom: Path, timing: str | None, movie: Movie | None = None, verbose: bool = False) -> velkora.NES:
    """A console of the cartridge, powered on in `timing` (None: the default), or in the
    movie's when one is to play back (ValueError when `timing` is the other)."""
    if movie is not None and timing is not None and check_timing(timing) != movie.timing:
        raise ValueError(f"the movie replays in the {movie.timing} timing, and the {timing} one was asked for")
    timing = movie.timing if movie is not None else resolve_timing(timing)
    sys.stdout.flush()
    nes = velkora.NES(str(rom)) if verbose else quiet_nes(str(rom))
    set_timing(nes, timing)  # before the first frame: that timing's power-on
    return nes


def bits(mask: int) -> list[int]:
    """A joypad mask as updateInputs' list."""
    return [(mask >> bit) & 1 for bit in range(8)]


def print_movies(paths: list[Path]) -> None:
    for path in paths:
        print(f"movie: {path}")


class Tape:
    """The movies of a window that plays a console (the player and the studio are tapes):
    the one played back drives both joypads until it ends; the one recorded takes the
    joypads' masks as each frame runs. A tape has ``nes``, ``rom`` and ``say`` (a message
    for the person playing), and names the file of a recording ``_new_movie_path`` gives."""

    nes: velkora.NES
    rom: Path

    def say(self, text: str) -> None:
        raise NotImplementedError

    def _new_movie_path(self) -> Path:
        raise NotImplementedError

    def _load_tape(self, movie: Movie | None, record: str | Path | None) -> None:
        """Plays `movie` back from its start (another cartridge's is refused here); F10's
        recordings go to `record`, numbered after the first."""
        self.playback = movie
        self.played = 0  # frames of the playback run
        self.recording: Movie | None = None
        self.record_path = Path(record) if record is not None else None
        self._recording_path: Path | None = None
        self.recordings: list[Path] = []
        if movie is not None:
            movie.restore_start(self.nes)

    def record_from_power_on(self, timing: str) -> None:
        """Records from power-on, which the movie's start makes exact (battery RAM cleared)."""
        self.recording = Movie(self.rom, timing=timing)
        self.recording.restore_start(self.nes)

    def _tape_masks(self, one: int, two: int) -> tuple[int, int]:
        """The joypads' masks for the frame about to run: the movie's while one plays back,
        else `one` and `two`; the recording takes them."""
        if self.playback is not None:
            one, two = self.playback[self.played]
        if self.recording is not None:
            self.recording.append(one, two)
        return one, two

    def _tape_ran(self) -> None:
        """The frame ran: the playback moves on, and at its end hands the pads over."""
        if self.playback is not None:
            self.played += 1
            if self.played >= len(self.playback):
                self.playback = None
                self.say(f"movie over after {self.played} frames: your turn")

    def start_recording(self, path: Path | None = None) -> None:
        """A movie from the machine as it is now (a snapshot: it may hold battery RAM), to
        `path` when given."""
        self.recording = Movie(self.rom, start=snapshot(self.nes, picture=False))
        self._recording_path = path
        self.say("recording")

    def stop_recording(self) -> Path | None:
        """Writes the movie being recorded; .fm2 only holds movies from power-on, so one from
        a snapshot goes to .vmv instead."""
        said = self._stop()
        if said:
            self.say(said)
        return self.recordings[-1] if said else None

    def _stop(self) -> str:
        movie, self.recording = self.recording, None
        if movie is None:
            return ""
        if self._recording_path is not None:
            path = self._recording_path
        elif self.record_path is not None:
            path = Movie.numbered(self.record_path, len(self.recordings) + 1)
        else:
            path = self._new_movie_path()
        self._recording_path = None
        path.parent.mkdir(parents=True, exist_ok=True)
        path = movie.save_recording(path)
        self.recordings.append(path)
        return f"movie {path.name}: {len(movie)} frames"

    def _leave_timeline(self) -> list[str]:
        """A rewind or a restored state leaves the movies' timeline: a recording ends (saved
        as it stands) and a playback hands the pads to the players. What happened, to say."""
        said = [self._stop()] if self.recording is not None else []
        if self.playback is not None:
            self.playback = None
            said.append(f"movie stopped at frame {self.played}")
        return said
