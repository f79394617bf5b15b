"""NES console emulator: one console per NES object, joypads as Controller objects.

Type stub for the native module; annotations are the ones the module reports.
"""

import collections.abc
import typing

import numpy
import numpy.typing

class NES:
    """One emulated console: CPU, PPU, APU and a cartridge."""

    @typing.overload
    def __init__(self, rom_name: str, CLOCK_SPEED: typing.SupportsInt | typing.SupportsIndex = 1789773) -> None:
        """Loads the iNES or NES 2.0 file at rom_name; CLOCK_SPEED is the CPU clock in Hz."""
    @typing.overload
    def __init__(self, CLOCK_SPEED: typing.SupportsInt | typing.SupportsIndex = 1789773) -> None:
        """A console with a blank cartridge."""
    @typing.overload
    def __init__(self, rom_file: object, CLOCK_SPEED: typing.SupportsInt | typing.SupportsIndex = 1789773) -> None:
        """Loads the image from a file object's read(); its name attribute names the save folder."""
    def cpuMem(self) -> numpy.typing.NDArray[numpy.uint8]:
        """Live (65536,) view of the CPU address space; writes change the machine."""
    def ppuMem(self) -> numpy.typing.NDArray[numpy.uint8]:
        """Live (16384,) view of the PPU address space."""
    def OAM(self) -> numpy.typing.NDArray[numpy.uint8]:
        """Live (256,) view of sprite memory: 64 entries of Y, tile, attributes, X."""
    def getImg(self) -> numpy.typing.NDArray[numpy.uint8]:
        """(240, 256, 3) RGB view of the last finished picture."""
    def colorLookup(self) -> numpy.typing.NDArray[numpy.uint8]:
        """(64, 3) RGB colour table, shared by all consoles of the process."""
    def getAudio(self, split_channels: bool = False) -> list[bytes]:
        """The latest unread block of 1024 signed 16-bit samples at 44100 Hz, or [b""].

        With split_channels: the mix, then pulse 1, pulse 2, triangle, noise and DMC."""
    def start(self) -> None:
        """Runs the console in real time on a background thread."""
    def stop(self) -> None:
        """Writes battery RAM, then ends the run thread; RuntimeError if none runs."""
    def saveState(self, arg0: typing.SupportsInt | typing.SupportsIndex, /) -> None:
        """Writes the machine to the file named by the slot number in the save directory."""
    def loadState(self, arg0: typing.SupportsInt | typing.SupportsIndex, /) -> bool:
        """Restores the slot's file; False when it does not exist."""
    def setPaused(self, arg0: bool, /) -> None:
        """Pauses or resumes the run thread."""
    def setSaveDir(self, arg0: str, /) -> bool:
        """Sets the save-state folder; False (and no change) when the path does not exist."""
    def getSaveDir(self) -> str:
        """The save-state folder; empty until set."""
    def setController(self, arg0: Controller, arg1: typing.SupportsInt | typing.SupportsIndex, /) -> None:
        """Plugs a joypad into port 0 or 1."""
    def frameCount(self) -> int:
        """Frames completed since construction."""
    def cycleCount(self) -> int:
        """CPU cycles since the reset."""
    def runFrame(self) -> None:
        """Runs the machine until the PPU completes a frame."""
    def perFrame(self, arg0: collections.abc.Callable[[], None], /) -> None:
        """Calls the function after every completed frame."""

class Controller:
    """One joypad, all buttons released."""

    def __init__(self) -> None: ...
    def updateInputs(self, arg0: list, /) -> None:
        """Sets the eight buttons from a list: A, B, Select, Start, Up, Down, Left, Right."""
