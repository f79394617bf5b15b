// Real-time play: a thread that steps the machine and sleeps to keep pace.
#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include "console/catch_up.h"
#include "console/nes_unit.h"

int64_t wallClockNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

namespace {

// cycles x 10^9 / clock without overflow: whole seconds plus the remainder.
int64_t emulatedNs(int64_t cycles, int32_t clock) {
    const int64_t seconds = cycles / clock;
    const int64_t rest = cycles % clock;
    return seconds * 1000000000 + rest * 1000000000 / clock;
}

// Once ahead, the thread sleeps this long past the moment the machine is
// due, so it wakes a little behind and emulates a burst: a few hundred
// sleeps a second instead of one per instruction. Overslept time is caught
// up by the absolute pacing, as any sleep overshoot is.
constexpr int64_t kSleepSlackNs = 2000000;
// A long wait (the machine far ahead after runFrame) is slept in pieces so
// that stop, pause and a held state save are served at once.
constexpr int64_t kSleepPieceNs = 10000000;

}  // namespace

void NESUnit::start() {
    // From a runFrame callback: runFrame still has to finish its step.
    if (steppingOnCaller > 0)
        throw std::runtime_error("start: runFrame is stepping this console; start after it returns");
    if (runThread.joinable()) {
        if (threadActive) throw std::runtime_error("start: the console is already running; call stop() first");
        runThread.join();  // a thread that ended by itself (its callback raised)
    }
    running = true;
    atPowerOn = false;
    startTime = wallClockNs();
    threadActive = true;
    try {
        runThread = std::thread(&NESUnit::runLoop, this);
    } catch (...) {
        threadActive = false;
        throw;
    }
}

void NESUnit::stop() {
    running = false;
    if (!runThread.joinable()) {
        storeBatteryRam();
        throw std::system_error(std::make_error_code(std::errc::invalid_argument));
    }
    if (onRunThread()) {
        storeBatteryRam();
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
    }
    runThread.join();
    // After the join, so the file is one consistent image.
    storeBatteryRam();
}

void NESUnit::setPaused(bool p) {
    const bool was = paused;
    if (p && !was) pauseStart = wallClockNs();
    if (!p && was) pausedTotal += wallClockNs() - pauseStart;
    paused = p;
}

void NESUnit::holdRunThread() {
    // The run thread itself is parked already (it is in its callback).
    if (onRunThread()) return;
    holdLock.lock();  // one holder at a time: a second must not resume the thread
    if (!threadActive) return;
    holdRequested = true;
    while (threadActive && !holdGranted) std::this_thread::yield();
}

void NESUnit::releaseRunThread() {
    if (onRunThread()) return;
    holdRequested = false;
    // Until the run thread has seen the release, its grant still reads true:
    // a next holder would take that stale grant and work beside the thread.
    while (threadActive && holdGranted) std::this_thread::yield();
    holdLock.unlock();
}

void NESUnit::rebasePacing(int64_t cyclesBefore) {
    // Only the run thread (held, or in its callback) reads startTime meanwhile.
    if (!threadActive) return;
    const int32_t clock = cpu->clockSpeed;
    startTime += emulatedNs(cyclesBefore, clock) - emulatedNs(cpu->cycles, clock);
}

void NESUnit::runLoop(NESUnit* unit) {
    unit->runThreadId = std::this_thread::get_id();
    // Cleared on the way out: a later thread may be given the same id.
    struct Leaving {
        ~Leaving() { id = std::thread::id(); }
        std::atomic<std::thread::id>& id;
    } leaving{unit->runThreadId};
    unit->pausedTotal = 0;
    unit->pauseStart = unit->startTime;
    CPU& cpu = *unit->cpu;
    // Below this cycle count emulated time is known not to be ahead of the
    // last clock reading, so the clock need not be read before a step. The
    // first step runs at once; pacing starts after it.
    int64_t knownBehindUntil = int64_t(cpu.cycles) + 1;
    try {
        while (unit->running) {
            if (unit->holdRequested) {
                // Held consoles are caught up, as after any whole step.
                catch_up::beforeStateAccess(*unit->cpu);
                unit->holdGranted = true;
                while (unit->holdRequested && unit->running) std::this_thread::yield();
                unit->holdGranted = false;
                knownBehindUntil = 0;
                continue;
            }
            if (unit->paused) {
                std::this_thread::yield();
                knownBehindUntil = 0;
                continue;
            }
            if (cpu.cycles < knownBehindUntil) {
                unit->advance();
                continue;
            }
            const int32_t clock = cpu.clockSpeed;
            const int64_t emulated = emulatedNs(cpu.cycles, clock);
            const int64_t elapsed = wallClockNs() - unit->startTime - unit->pausedTotal;
            if (emulated <= elapsed) {
                // Not ahead: step, and run on without the clock for the cycles
                // that fit into the lag (capped at a second to keep the product small).
                const int64_t lag = std::min<int64_t>(elapsed - emulated, 1000000000);
                knownBehindUntil = cpu.cycles + lag * clock / 1000000000;
                unit->advance();
                continue;
            }
            const int64_t due = unit->startTime + unit->pausedTotal + emulated + kSleepSlackNs;
            for (int64_t now = wallClockNs(); now < due; now = wallClockNs()) {
                if (!unit->running || unit->paused || unit->holdRequested) break;
                std::this_thread::sleep_for(std::chrono::nanoseconds(std::min(due - now, kSleepPieceNs)));
            }
        }
        // Stopped: leave the console caught up for whoever looks next.
        catch_up::beforeStateAccess(*unit->cpu);
    } catch (...) {
        // Nothing on this thread can report an error; the binding's callback
        // reports its own. End the run as if stopped.
        unit->running = false;
    }
    unit->holdGranted = false;
    unit->threadActive = false;
}
