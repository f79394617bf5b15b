"""Runs the public test ROMs of ../shared/roms/tests headless and reads each one's result.

Two ways of reporting are read:

- The $6000 protocol: DE B0 61 at $6001-$6003 marks the bytes valid; $6000 holds $80 while
  the test runs, $81 when it wants the reset button pressed (at least 100 ms later), and
  then the result code (0 = pass); $6004 a zero-terminated text. The shells of
  cpu_dummy_reads and dmc_dma_during_read4 predate it and never write there: they print
  their result on screen and stop, "Passed", "Failed" or "Error N", or (dma_2007_read,
  double_2007_read) a CRC of what they printed, which their sources list the right values
  of; they are read from the screen once it stands still.
- The older suites, which draw their result on screen and keep it in RAM, as their sources
  show. Their runtimes set a console-ready flag ($07F1 = $A5) on the first character they
  print, and differ in the rest:
  - blargg_apu_2005.07.30 and blargg_ppu_tests_2005.09.15b keep the code in $F0, set before
    the report prints it as "$hh" from console position $07F0 = $A1 on, one character a
    frame; the test has reported once the flag is set, the code is non-zero and the
    position stands still.
  - sprite_hit_tests_2005.10.05, sprite_overflow_tests, vbl_nmi_timing and
    branch_timing_tests keep the code in $F8 (1 = passed) and clear the flag when they stop
    in their final loop.
  - cpu_timing_test6 has the same final loop but no code: it prints PASSED or the failing
    opcode.

    python tests/python/rom_sweep.py [--timing T] [--record FILE]
"""

from __future__ import annotations

import argparse
import contextlib
import ctypes
import json
import os
import re
import sys
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from nesrom import ROMS  # noqa: E402

TESTS = ROMS / "tests"
DESIGN_RECORD = HERE / "rom_sweep_design.json"
HARDWARE_RECORD = HERE / "rom_sweep_hardware.json"
TIMINGS = ("design", "hardware")
MAX_FRAMES = 3000

SIGNATURE = b"\xde\xb0\x61"
RUNNING, WANTS_RESET = 0x80, 0x81
# The protocol asks for the press at least 100 ms after $81 appears.
RESET_DELAY_FRAMES = 7

EARLY_RUNTIME = ("blargg_apu_2005.07.30", "blargg_ppu_tests_2005.09.15b")
CONSOLE_RUNTIME = ("sprite_hit_tests_2005.10.05", "sprite_overflow_tests", "vbl_nmi_timing", "branch_timing_tests")
NO_CODE = ("cpu_timing_test6",)
OLDER_SUITES = EARLY_RUNTIME + CONSOLE_RUNTIME + NO_CODE
# Counted with the $6000 suites, but reporting only on screen.
SCREEN_SHELL = ("cpu_dummy_reads", "dmc_dma_during_read4")
# The CRCs the sources give as right: each depends on how the CPU and PPU line up at power-on.
ACCEPTED_CRCS = {
    "dma_2007_read.nes": {"159A7A8F", "5E3DF9C4"},
    "double_2007_read.nes": {"85CFD627", "F018C287", "440EF923", "E52F41A5"},
}
# Frames the screen of a shell-reporting ROM must stand still before it is read.
STILL_FRAMES = 30

CONSOLE_READY = 0x07F1
READY = 0xA5
# Frames the early runtime's console position must stand still once the code is set: its
# console set-up holds the position for about five frames, a character takes one, and the
# beeps that follow the text hold it for good.
PRINTED_FRAMES = 30


@dataclass(frozen=True)
class Outcome:
    status: str  # "pass", "fail", "needs reset" or "no result"
    code: int | None
    text: str  # $6000 protocol: the text at $6004; older suites: the text on screen
    frames: int

    @property
    def passed(self) -> bool:
        return self.status == "pass"

    def first_line(self) -> str:
        """The text's first non-empty line, without its terminal colour sequences."""
        plain = re.sub(r"\x1b\[[0-9;]*m", "", self.text)
        return next((line.strip() for line in plain.splitlines() if line.strip()), "")


def roms() -> list[Path]:
    """Every ROM of the shared test suites; empty without the folder."""
    return sorted(TESTS.rglob("*.nes")) if TESTS.is_dir() else []


def name_of(path: Path) -> str:
    return Path(path).resolve().relative_to(TESTS.resolve()).as_posix()


def suite_of(path: str | Path) -> str | None:
    """The older suite a ROM belongs to, or None for the $6000 protocol."""
    return next((part for part in Path(path).parts if part in OLDER_SUITES), None)


def screen_text(nes) -> str:
    """The first nametable as text: the older suites' fonts put ASCII at its own tile."""
    rows = nes.ppuMem()[0x2000:0x23C0].reshape(30, 32)
    lines = ("".join(chr(c) if 0x20 <= c < 0x7F else " " for c in row).strip() for row in rows)
    return "\n".join(line for line in lines if line)


@contextlib.contextmanager
def _quiet() -> Iterator[None]:
    """Keeps the loader's messages on the C standard output out of the sweep's lines."""
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        with open(os.devnull, "w") as null:
            os.dup2(null.fileno(), 1)
            try:
                yield
            finally:
                ctypes.CDLL(None).fflush(None)
                os.dup2(saved, 1)
    finally:
        os.close(saved)


def console(path: str | Path, timing: str = "design"):
    """A console of the ROM at path with the timing model asked for."""
    import velkora
    import velkora_gym

    if timing not in TIMINGS:
        raise ValueError(f"timing must be one of {', '.join(TIMINGS)}, not {timing!r}")
    set_timing = getattr(velkora_gym, "set_timing", None)
    if timing != "design" and set_timing is None:
        raise NotImplementedError(f"{timing!r} timing needs velkora_gym.set_timing, which this build does not have")
    path = Path(path)
    if not path.is_file():
        raise FileNotFoundError(f"no ROM at {path}")
    with _quiet():
        nes = velkora.NES(str(path))
    if timing != "design":
        set_timing(nes, timing)
    return nes


class _Protocol:
    """The $6000 protocol; presses reset when velkora_gym can."""

    def __init__(self, nes):
        import velkora_gym

        self.nes = nes
        self.mem = nes.cpuMem()
        self.soft_reset = getattr(velkora_gym, "soft_reset", None)
        self.started = False
        self.asked_at: int | None = None
        self.pressed = False

    def text(self) -> str:
        if bytes(self.mem[0x6001:0x6004]) != SIGNATURE:
            return ""
        return bytes(self.mem[0x6004:0x8000]).split(b"\0", 1)[0].decode("latin-1")

    def after(self, frame: int) -> Outcome | None:
        if bytes(self.mem[0x6001:0x6004]) != SIGNATURE:
            return None
        status = int(self.mem[0x6000])
        if status == RUNNING:
            self.started, self.asked_at, self.pressed = True, None, False
        elif status == WANTS_RESET:
            if self.soft_reset is None:
                return Outcome("needs reset", None, self.text(), frame)
            if self.asked_at is None:
                self.asked_at = frame
            elif not self.pressed and frame - self.asked_at >= RESET_DELAY_FRAMES:
                self.soft_reset(self.nes)
                self.pressed = True
        elif self.started:
            return Outcome("pass" if status == 0 else "fail", status, self.text(), frame)
        return None

    def at_limit(self, frame: int) -> Outcome:
        return Outcome("no result", None, self.text(), frame)


class _EarlyRuntime:
    """blargg's 2005 APU and PPU tests: the code in $F0, printed from $07F0 = $A1 on."""

    RESULT, POSITION = 0xF0, 0x07F0

    def __init__(self, nes):
        self.nes = nes
        self.mem = nes.cpuMem()
        self.position = -1
        self.still = 0

    def after(self, frame: int) -> Outcome | None:
        mem = self.mem
        if mem[CONSOLE_READY] != READY or mem[self.RESULT] == 0:
            return None
        position = int(mem[self.POSITION])
        self.still = self.still + 1 if position == self.position else 0
        self.position = position
        if self.still < PRINTED_FRAMES:
            return None
        code = int(mem[self.RESULT])
        return Outcome("pass" if code == 1 else "fail", code, screen_text(self.nes), frame)

    def at_limit(self, frame: int) -> Outcome:
        return Outcome("no result", None, screen_text(self.nes), frame)


class _ConsoleRuntime:
    """The later runtime: the code in $F8; the flag goes back to 0 in the final loop.

    The report clears the flag too, for an instant, before printing the test's name: only
    a flag that stays clear for two frames ends the test."""

    RESULT = 0xF8

    def __init__(self, nes, *, has_code: bool = True):
        self.nes = nes
        self.mem = nes.cpuMem()
        self.has_code = has_code
        self.was_ready = False
        self.clear = 0

    def after(self, frame: int) -> Outcome | None:
        if self.mem[CONSOLE_READY] == READY:
            self.was_ready, self.clear = True, 0
            return None
        if not self.was_ready:
            return None
        self.clear += 1
        if self.clear < 2:
            return None
        text = screen_text(self.nes)
        if not self.has_code:
            passed = "PASSED" in text.splitlines()
            return Outcome("pass" if passed else "fail", None, text, frame)
        code = int(self.mem[self.RESULT])
        return Outcome("pass" if code == 1 else "fail", code, text, frame)

    def at_limit(self, frame: int) -> Outcome:
        return Outcome("no result", None, screen_text(self.nes), frame)


class _ScreenShell:
    """The shell before the $6000 protocol: the result on screen once it stands still."""

    def __init__(self, nes, rom: str):
        self.nes = nes
        self.rom = rom
        self.text = ""
        self.still = 0

    def after(self, frame: int) -> Outcome | None:
        text = screen_text(self.nes)
        self.still = self.still + 1 if text == self.text else 0
        self.text = text
        if not text or self.still < STILL_FRAMES:
            return None
        lines = text.splitlines()
        if "Passed" in lines:
            return Outcome("pass", 0, text, frame)
        error = next((line for line in lines if line == "Failed" or line.startswith("Error ")), None)
        if error is not None:
            return Outcome("fail", 1 if error == "Failed" else int(error.split()[1]), text, frame)
        if self.rom in ACCEPTED_CRCS and lines[-1] in ACCEPTED_CRCS[self.rom]:
            return Outcome("pass", 0, text, frame)
        return Outcome("fail", None, text, frame) if re.fullmatch(r"[0-9A-F]{8}", lines[-1]) else None

    def at_limit(self, frame: int) -> Outcome:
        return Outcome("no result", None, screen_text(self.nes), frame)


def _reader(suite: str | None, nes, path: str | Path = ""):
    if any(part in SCREEN_SHELL for part in Path(path).parts):
        return _ScreenShell(nes, Path(path).name)
    if suite in EARLY_RUNTIME:
        return _EarlyRuntime(nes)
    if suite in CONSOLE_RUNTIME:
        return _ConsoleRuntime(nes)
    if suite in NO_CODE:
        return _ConsoleRuntime(nes, has_code=False)
    return _Protocol(nes)


def run(path: str | Path, timing: str = "design", *, max_frames: int = MAX_FRAMES) -> Outcome:
    """Runs one test ROM until it reports (or max_frames) and reads its outcome."""
    if max_frames < 1:
        raise ValueError(f"max_frames must be at least 1, got {max_frames}")
    nes = console(path, timing)
    reader = _reader(suite_of(path), nes, path)
    for frame in range(1, max_frames + 1):
        nes.runFrame()
        outcome = reader.after(frame)
        if outcome is not None:
            return outcome
    return reader.at_limit(max_frames)


def entry(outcome: Outcome) -> dict:
    """What the sweep record keeps of an outcome."""
    return {"status": outcome.status, "code": outcome.code, "text": outcome.first_line()}


def load_record(path: Path = DESIGN_RECORD) -> dict[str, dict]:
    return json.loads(path.read_text())["roms"] if path.exists() else {}


def _summary(outcomes: dict[str, Outcome]) -> list[str]:
    lines = []
    for title, older in (("$6000 protocol", False), ("older suites", True)):
        group = [o for name, o in outcomes.items() if (suite_of(name) is not None) == older]
        results = sum(o.status in ("pass", "fail") for o in group)
        passed = sum(o.passed for o in group)
        resets = sum(o.status == "needs reset" for o in group)
        line = f"{title}: {passed}/{len(group)} passed, {results} reached a result"
        lines.append(line + (f", {resets} need reset" if resets else ""))
    return lines


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Runs every test ROM of ../shared/roms/tests and reads its result.")
    parser.add_argument("--timing", default="design", choices=TIMINGS)
    parser.add_argument("--record", metavar="FILE", type=Path, help="write each ROM's status, code and text here")
    args = parser.parse_args(argv)
    paths = roms()
    if not paths:
        print(f"no test ROMs under {TESTS}", file=sys.stderr)
        return 1
    outcomes = {}
    for path in paths:
        name = name_of(path)
        try:
            outcome = outcomes[name] = run(path, args.timing)
        except NotImplementedError as error:
            parser.error(str(error))
        code = "-" if outcome.code is None else outcome.code
        print(f"{outcome.status:<11} {code:>4} {outcome.frames:>5}  {name}  {outcome.first_line()}", flush=True)
    print("\n".join(_summary(outcomes)))
    if args.record:
        roms_entries = {name: entry(outcome) for name, outcome in outcomes.items()}
        data = {"timing": args.timing, "max_frames": MAX_FRAMES, "roms": roms_entries}
        args.record.write_text(json.dumps(data, indent=1, sort_keys=True) + "\n")
        print(f"recorded {len(outcomes)} ROMs in {args.record}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
