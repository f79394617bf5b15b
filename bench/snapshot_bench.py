"""Snapshot sizes and costs through the Python API, and a search-shaped loop.

    python bench/snapshot_bench.py [--calls 2000] [--repeats 3] [--steps 2000] [--timing T] [ROM ...]

For every demo in ../shared/roms/demos and the project's demo cartridge: a velkora.NES
after 300 frames (a joypad script moves the game on), the size of velkora_gym.snapshot
with and without the picture, and the median time to take one and to restore one over
--calls calls, on one core. Each median is taken --repeats times and the lowest is shown:
other work on the machine only ever adds time.

Then the search loop: restore one of 1,000 stored snapshots (one a frame), run 4 frames,
take a snapshot; against the 4 frames alone, timed inside the same rounds, so both run
from the same machine states. --timing hardware measures consoles of the hardware timing
(default: design), whose snapshots carry that timing's own state too.
"""

from __future__ import annotations

import random
import statistics
import sys
import time
from pathlib import Path

import velkora
import velkora_gym

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
from bench import one_core_roms, quiet_console, rom_arguments  # noqa: E402


def press(pad: velkora.Controller, frame: int) -> None:
    script = frame * 37 + (frame >> 3) * 11
    pad.updateInputs([(script >> i) & 1 for i in range(8)])


TIMING = "design"


def console_after(path: Path, frames: int) -> tuple[velkora.NES, velkora.Controller]:
    nes = quiet_console(path)
    velkora_gym.set_timing(nes, TIMING)
    pad = velkora.Controller()
    nes.setController(pad, 0)
    for _ in range(frames):
        press(pad, nes.frameCount())
        nes.runFrame()
    return nes, pad


def costs(nes: velkora.NES, picture: bool, calls: int, repeats: int) -> tuple[int, float, float]:
    data = velkora_gym.snapshot(nes, picture=picture)
    snapshot, restore, clock = velkora_gym.snapshot, velkora_gym.restore, time.perf_counter_ns
    takes, restores = [], []
    for _ in range(repeats):
        took, back = [], []
        for _ in range(calls):
            a = clock()
            snapshot(nes, picture=picture)
            b = clock()
            restore(nes, data)
            c = clock()
            took.append(b - a)
            back.append(c - b)
        takes.append(statistics.median(took) / 1000)
        restores.append(statistics.median(back) / 1000)
    return len(data), min(takes), min(restores)


def search(path: Path, picture: bool, steps: int) -> tuple[float, float]:
    nes, pad = console_after(path, 60)
    stored = []
    for _ in range(1000):
        press(pad, nes.frameCount())
        nes.runFrame()
        stored.append(velkora_gym.snapshot(nes, picture=picture))
    pick = random.Random(12345)
    frames = whole = 0.0
    clock = time.perf_counter
    for _ in range(steps):
        data = stored[pick.randrange(len(stored))]
        a = clock()
        velkora_gym.restore(nes, data)
        b = clock()
        for _ in range(4):
            press(pad, nes.frameCount())
            nes.runFrame()
        c = clock()
        velkora_gym.snapshot(nes, picture=picture)
        d = clock()
        frames += c - b
        whole += d - a
    return steps / frames, steps / whole


def main() -> int:
    parser = rom_arguments(__doc__, 3)
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--steps", type=int, default=2000)
    parser.add_argument("--timing", choices=velkora_gym.TIMINGS, default="design")
    args = parser.parse_args()
    global TIMING
    TIMING = args.timing
    roms = one_core_roms(args)
    if not roms:
        print("no ROMs to measure")
        return 1

    print(
        f"velkora_gym.snapshot of a velkora.NES ({TIMING} timing) after 300 frames: bytes, and microseconds to "
        f"take and to restore (lowest of {args.repeats} medians of {args.calls} calls, one core)"
    )
    print(f"{'ROM':<22} {'compact':>8} {'take':>7} {'restore':>8}   {'picture':>8} {'take':>7} {'restore':>8}")
    for path in roms:
        nes, _ = console_after(path, 300)
        compact = costs(nes, False, args.calls, args.repeats)
        full = costs(nes, True, args.calls, args.repeats)
        print(
            f"{path.name:<22} {compact[0]:8} {compact[1]:7.2f} {compact[2]:8.2f}   "
            f"{full[0]:8} {full[1]:7.2f} {full[2]:8.2f}",
            flush=True,
        )

    print(
        f"\nsearch loop: restore one of 1,000 snapshots, run 4 frames, take a snapshot; steps/s over {args.steps} steps"
    )
    print(f"{'ROM':<22} {'4 frames':>9} {'compact':>9} {'':>7} {'picture':>9} {'':>7}")
    for path in roms:
        plain, compact = search(path, False, args.steps)
        plain2, full = search(path, True, args.steps)
        print(
            f"{path.name:<22} {(plain + plain2) / 2:9.0f} {compact:9.0f} {(compact / plain - 1) * 100:+6.1f}% "
            f"{full:9.0f} {(full / plain2 - 1) * 100:+6.1f}%",
            flush=True,
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
