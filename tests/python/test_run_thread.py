"""Real-time play on the console's own thread: pacing, pausing, stopping."""

import gc
import sys
import threading
import time

import pytest

import velkora
from nesrom import ImageFile, build_rom, nrom_program, plug_pad

CLOCK = 1789773

SPIN = nrom_program("""
    lda #$80
    sta $2000
loop:
    inc $10
    jmp loop
""")


def console(**kw):
    return velkora.NES(ImageFile(build_rom(SPIN), "spin.nes"), **kw)


def run_for(nes, seconds):
    start_cycles = nes.cycleCount()
    started = time.monotonic()
    nes.start()
    time.sleep(seconds)
    cycles = nes.cycleCount()
    elapsed = time.monotonic() - started
    nes.stop()
    return cycles - start_cycles, elapsed


@pytest.mark.parametrize("clock", [CLOCK, 2 * CLOCK])
def test_pacing_follows_the_clock(clock):
    nes = console(CLOCK_SPEED=clock)
    cycles, elapsed = run_for(nes, 1.0)
    assert cycles == pytest.approx(clock * elapsed, rel=0.03)


@pytest.mark.parametrize("paused_at_start", [False, True])
def test_pause_time_is_left_out_of_pacing(paused_at_start):
    nes = console()
    nes.setPaused(paused_at_start)
    nes.start()
    time.sleep(0.3)
    nes.setPaused(True)
    time.sleep(0.05)
    paused_at = nes.cycleCount()
    assert (paused_at == 0) == paused_at_start
    time.sleep(0.5)
    assert nes.cycleCount() == paused_at
    nes.setPaused(False)
    resumed = time.monotonic()
    time.sleep(0.5)
    gained = nes.cycleCount() - paused_at
    elapsed = time.monotonic() - resumed
    nes.stop()
    # No catch-up burst for the paused time, which would double the count.
    assert gained == pytest.approx(CLOCK * elapsed, rel=0.1)


def test_thread_misuse_raises_runtime_error():
    nes = console()
    with pytest.raises(RuntimeError, match="Invalid argument"):
        nes.stop()
    nes.start()
    try:
        with pytest.raises(RuntimeError):
            nes.start()
        with pytest.raises(RuntimeError):
            nes.runFrame()
    finally:
        nes.stop()
    with pytest.raises(RuntimeError):
        nes.stop()
    frames = nes.frameCount()
    nes.runFrame()
    assert nes.frameCount() == frames + 1


def test_stop_from_the_callback_would_deadlock():
    nes = console()
    errors = []
    done = threading.Event()

    def callback():
        try:
            nes.stop()
        except RuntimeError as error:
            errors.append(str(error))
        done.set()

    nes.perFrame(callback)
    nes.start()
    assert done.wait(5)
    time.sleep(0.1)
    nes.perFrame(None)
    nes.stop()  # joins the thread, which ended by itself
    assert errors and "deadlock" in errors[0].lower()


def test_callback_exception_is_unraisable_and_ends_the_thread(monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: reported.append(info.exc_value))
    nes = console()

    def callback():
        raise ValueError("from the callback")

    nes.perFrame(callback)
    nes.start()
    deadline = time.monotonic() + 5
    while not reported and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(0.1)
    cycles = nes.cycleCount()
    time.sleep(0.2)
    assert nes.cycleCount() == cycles  # the thread has ended
    nes.stop()
    assert isinstance(reported[0], ValueError)
    nes.perFrame(None)
    nes.runFrame()


def test_callback_runs_once_per_frame_on_the_thread():
    nes = console()
    seen = []
    nes.perFrame(lambda: seen.append((threading.get_ident(), nes.frameCount())))
    nes.start()
    time.sleep(0.5)
    nes.stop()
    frames = [f for _, f in seen]
    assert len(frames) >= 20
    assert frames == list(range(frames[0], frames[0] + len(frames)))
    assert {t for t, _ in seen} != {threading.get_ident()}


def test_destroying_a_running_console_stops_it():
    nes = console()
    nes.perFrame(lambda: None)
    nes.start()
    time.sleep(0.1)
    del nes
    gc.collect()


def test_start_stop_stress_with_concurrent_python_threads():
    nes = console(CLOCK_SPEED=0)  # unthrottled
    pad = plug_pad(nes)
    stop_flag = threading.Event()
    calls = [0]

    def callback():
        nes.getImg()
        nes.getAudio()
        calls[0] += 1

    def other():
        i = 0
        while not stop_flag.is_set():
            pad.updateInputs([i & 1] * 8)
            nes.perFrame(callback if i % 2 else (lambda: nes.getAudio(True)))
            i += 1

    worker = threading.Thread(target=other)
    worker.start()
    started = time.monotonic()
    try:
        for _ in range(200):
            nes.start()
            time.sleep(0.001)
            nes.stop()
    finally:
        stop_flag.set()
        worker.join()
    assert time.monotonic() - started < 60
    assert nes.frameCount() > 0


def test_state_and_views_while_running(tmp_path):
    nes = console()
    nes.setSaveDir(str(tmp_path))
    nes.start()
    try:
        time.sleep(0.2)
        img, mem = nes.getImg(), nes.cpuMem()
        assert img.shape == (240, 256, 3) and mem.shape == (65536,)
        nes.saveState(0)
        assert nes.loadState(0)
        counts = [nes.frameCount() for _ in range(3)]
        assert counts == sorted(counts)
    finally:
        nes.stop()
