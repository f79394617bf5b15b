// Real-time play: a thread that steps the machine and sleeps to keep pace.
#include <chrono>
#include <system_error>
#include <thread>

#include "console/nes_unit.h"

int64_t wallClockNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

namespace {

// cycles x 10^9 / clock without overflow: whole seconds plus the remainder.
int64_t emulatedNs(int64_t cycles, int32_t clock) {
    const int64_t seconds = cycles / clock;
    const int64_t rest = cycles % clock;
    return seconds * 1000000000 + rest * 1000000000 / clock;
}

}  // namespace

void NESUnit::start() {
    if (runThread.joinable()) {
        if (threadActive) throw std::runtime_error("start: the console is already running; call stop() first");
        runThread.join();  // a thread that ended by itself (its callback raised)
    }
    running = true;
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
    if (!threadActive || onRunThread()) return;
    holdRequested = true;
    while (threadActive && !holdGranted) std::this_thread::yield();
}

void NESUnit::releaseRunThread() {
    holdRequested = false;
}

void NESUnit::runLoop(NESUnit* unit) {
    unit->pausedTotal = 0;
    unit->pauseStart = unit->startTime;
    try {
        while (unit->running) {
            if (unit->holdRequested) {
                unit->holdGranted = true;
                while (unit->holdRequested && unit->running) std::this_thread::yield();
                unit->holdGranted = false;
                continue;
            }
            if (unit->paused) {
                std::this_thread::yield();
                continue;
            }
            unit->advance();
            const int64_t target = unit->startTime + unit->pausedTotal +
                                   emulatedNs(unit->cpu->cycles, unit->cpu->clockSpeed);
            for (int64_t now = wallClockNs(); now < target; now = wallClockNs()) {
                std::this_thread::sleep_for(std::chrono::nanoseconds(target - now));
            }
        }
    } catch (...) {
        // Nothing on this thread can report an error; the binding's callback
        // reports its own. End the run as if stopped.
        unit->running = false;
    }
    unit->holdGranted = false;
    unit->threadActive = false;
}
