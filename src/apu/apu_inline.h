// The APU's catch-up calls, inline for the console's hot path: they read
// the registers and the clock in the CPU's memory.
#pragma once

#include "apu/apu.h"
#include "cpu/cpu.h"

inline void APU::runToCycle(int64_t cycle) {
    if (VELKORA_UNLIKELY(cycle > frameEventAt)) runFrameEventsBefore(cycle);
    runTo((cycle + 1) / 2);
}

inline void APU::runTo(int64_t target) {
    if (target <= apuCycles) return;
    if (VELKORA_LIKELY(target <= nextEvent && registersUnchanged())) {
        apuCycles = target;
        return;
    }
    runToSlow(target);
}

inline void APU::bringOutputsUpToDate() {
    applyTimerSteps(apuCycles, true);
    if (hardware) dmcCatchUp(apuCycles);
    if (expansion) expansion->runTo(cpu->cycles);
}

inline bool APU::registersUnchanged() const {
    const uint8_t* now = &cpu->memory[0x4000];
    return ((word(now) ^ word(registerCopy)) | (word(now + 8) ^ word(registerCopy + 8)) |
            (word(now + 16) ^ word(registerCopy + 16))) == 0;
}
