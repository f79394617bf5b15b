// The APU in the hardware timing: the frame counter counted in CPU cycles,
// the status register with every flag, the length counters' write timing,
// and the DMC as the chip runs it, its sample fetches taken by DMA.
//
// Cycle conventions (the CPU's cycle count, as CPU::cycles): APU step k is
// CPU cycle 2k. The DMA units get (read) on odd cycles and put (write) on
// even ones, as the sprite DMA does (CPU::oamDmaHardware).
#include <algorithm>

#include "apu/apu.h"
#include "apu/apu_inline.h"

namespace {

enum : uint8_t { kQuarter = 1, kHalf = 2, kIrq = 4 };

// One step of a sequence: its cycle from the sequence's start, what it
// clocks, and for the last one the sequence's length (the next begins there).
struct FrameStep {
    int32_t at;
    uint8_t clocks;
    int32_t length;
};
// The IRQ flag is set in three cycles running, the middle one with the
// half-frame clock.
constexpr FrameStep kFourStep[6] = {
    {7457, kQuarter, 0}, {14913, kQuarter | kHalf, 0},        {22371, kQuarter, 0},
    {29828, kIrq, 0},    {29829, kQuarter | kHalf | kIrq, 0}, {29830, kIrq, 29830},
};
constexpr FrameStep kFiveStep[4] = {
    {7457, kQuarter, 0},
    {14913, kQuarter | kHalf, 0},
    {22371, kQuarter, 0},
    {37281, kQuarter | kHalf, 37282},
};

const FrameStep& stepOf(bool fiveStep, int index) { return fiveStep ? kFiveStep[index] : kFourStep[index]; }

// A $4017 write restarts the sequence two cycles later when written in a
// put cycle, three in a get cycle: the counter restarts only at an APU
// cycle's boundary.
int64_t frameResetAfterWrite(int64_t cycle) { return cycle + ((cycle & 1) ? 3 : 2); }

// A poll sees the frame IRQ from the cycle after the one that raised it.
constexpr int64_t kIrqSeenAfter = 1;

// Power and reset act as a $4017 write this many cycles before the first
// instruction, which begins seven cycles after the reset sequence starts.
constexpr int64_t kResetWriteLead = 10;
constexpr int64_t kResetSequenceCycles = 7;

// A reload fetch tries to halt the CPU in the put cycle of the APU cycle in
// which the output unit took the buffer.
constexpr int64_t kReloadHaltAfterStep = 2;

// The first fetch after a $4015 write tries to halt in the get cycle of the
// second APU cycle after the write's.
int64_t loadDmaHalt(int64_t writeCycle) {
    const int64_t at = writeCycle + 3;
    return (at & 1) ? at : at + 1;
}

}  // namespace

int32_t APU::frameStepOffset(bool fiveStep, int step) { return stepOf(fiveStep, step).at; }

void APU::scheduleHardware() {
    // The sequencer counts CPU cycles (runToCycle).
    nextClock = kNever;
    nextSample = nextSampleStep();
    nextDmc = nextDmcEventHardware();
    nextEvent = std::min(nextSample, nextDmc);
}

// --- the frame counter ---

void APU::scheduleFrame() { frameEventAt = std::min(frameStart + stepOf(frameFiveStep, frameStep).at, frameWriteAt); }

void APU::runFrameEventsBefore(int64_t cycle) {
    while (frameEventAt < cycle) {
        const int64_t at = frameEventAt;
        // The steps before the event ran under the old counters and periods.
        runTo((at + 1) / 2);
        applyTimerSteps(apuCycles, false);
        frameEvent(at);
        nextEvent = kUnscheduled;
    }
}

void APU::frameEvent(int64_t cycle) {
    // The running sequence's step comes before a reset in the same cycle.
    const FrameStep& step = stepOf(frameFiveStep, frameStep);
    if (frameStart + step.at == cycle) {
        if (step.clocks & kQuarter) {
            clockEnvelopes();
            clockLinearCounter();
        }
        if (step.clocks & kHalf) {
            clockLengthHardware(cycle);
            clockSweeps();
        }
        if ((step.clocks & kIrq) && !(cpu->memory[0x4017] & 0x40)) raiseFrameIrq(cycle);
        if (step.length != 0) {
            frameStart += step.length;
            frameStep = 0;
        } else {
            ++frameStep;
        }
    }
    if (frameWriteAt == cycle) {
        frameStart = cycle;
        frameStep = 0;
        frameFiveStep = frameWriteValue & 0x80;
        frameWriteAt = kNoCycle;
        // The five-step mode clocks everything as it starts.
        if (frameFiveStep) {
            clockEnvelopes();
            clockLinearCounter();
            clockLengthHardware(cycle);
            clockSweeps();
        }
    }
    scheduleFrame();
}

void APU::clockLengthHardware(int64_t cycle) {
    // Halt bits: $4000, $4004 and $400C bit 5; $4008 bit 7.
    static constexpr uint16_t haltRegister[4] = {0x4000, 0x4004, 0x4008, 0x400C};
    static constexpr uint8_t haltBit[4] = {0x20, 0x20, 0x80, 0x20};
    uint8_t clocked = 0;
    for (int k = Pulse1; k <= Noise; ++k) {
        if (lengthCounter[k] > 0 && !(cpu->memory[haltRegister[k]] & haltBit[k])) {
            --lengthCounter[k];
            clocked |= uint8_t(1 << k);
        }
    }
    lengthClockAt = cycle;
    lengthClocked = clocked;
}

void APU::reloadLength(int channel, uint8_t value, int64_t cycle) {
    // A disabled channel keeps 0; a reload in the cycle of a clock that
    // decremented the counter is lost.
    if (!channelEnabled[channel]) return;
    if (cycle == lengthClockAt && ((lengthClocked >> channel) & 1)) return;
    lengthCounter[channel] = lengthTable[value >> 3];
}

void APU::raiseFrameIrq(int64_t cycle) {
    frameIrq = true;
    cpu->setIrq(CPU::kIrqFrame, true, cycle + kIrqSeenAfter);
}

void APU::ackFrameIrq(int64_t cycle) {
    frameIrq = false;
    cpu->setIrq(CPU::kIrqFrame, false, cycle + 1);
}

void APU::ackDmcIrq(int64_t cycle) {
    dmcIrq = false;
    cpu->setIrq(CPU::kIrqDmc, false, cycle + 1);
}

// --- registers ---

uint8_t APU::readStatusHardware() {
    uint8_t status = 0;
    for (int k = Pulse1; k <= Noise; ++k) {
        if (lengthCounter[k] > 0) status |= uint8_t(1 << k);
    }
    if (dmcBytesRemaining > 0) status |= 0x10;
    if (frameIrq) status |= 0x40;
    if (dmcIrq) status |= 0x80;
    if (frameIrq) ackFrameIrq(cpu->stepStart);
    return status;
}

void APU::writeRegisterHardware(uint16_t address, uint8_t d) {
    const int64_t cycle = cpu->stepStart;
    beforeWriteInCycle(cycle);
    // The steps not yet applied to the timers came before this write.
    applyTimerSteps(apuCycles, true);
    nextEvent = kUnscheduled;
    if (writeChannelRegister(address, d, cycle)) return;
    switch (address) {
        case 0x4010:
            // A new rate counts from the timer's next reload.
            dmcCatchUp(apuCycles);
            dmcFlags = d;
            if (!(d & 0x80)) ackDmcIrq(cycle);
            predictDmcDma();
            break;
        case 0x4011:
            dmcCatchUp(apuCycles);
            dmcLevel = d & 0x7F;
            break;
        case 0x4015:
            enableLengthChannels(d);
            dmcCatchUp(apuCycles);
            ackDmcIrq(cycle);
            channelEnabled[Dmc] = d & 0x10;
            if (!(d & 0x10)) {
                dmcBytesRemaining = 0;
                cpu->dmaAt = kNoCycle;
            } else if (dmcBytesRemaining == 0) {
                dmcAddress = dmcSampleAddress;
                dmcBytesRemaining = dmcSampleLength;
                if (dmcBufferEmpty) cpu->dmaAt = loadDmaHalt(cycle);
                else predictDmcDma();
            }
            break;
        case 0x4017:
            if (d & 0x40) ackFrameIrq(cycle);
            frameWriteAt = frameResetAfterWrite(cycle);
            frameWriteValue = d;
            scheduleFrame();
            break;
        default: break;
    }
}

// --- the DMC ---

void APU::dmcOutputClock(int64_t step) {
    if (!dmcSilence) {
        if (dmcShift & 1) {
            if (dmcLevel <= 125) dmcLevel += 2;
        } else if (dmcLevel >= 2) {
            dmcLevel -= 2;
        }
    }
    dmcShift >>= 1;
    if (--dmcBitsRemaining > 0) return;
    // A new output cycle takes the buffer, if there is one; the reader then
    // fetches the next byte.
    dmcBitsRemaining = 8;
    if (dmcBufferEmpty) {
        dmcSilence = true;
        return;
    }
    dmcSilence = false;
    dmcShift = dmcBuffer;
    dmcBufferEmpty = true;
    if (dmcBytesRemaining > 0) cpu->dmaAt = std::min(cpu->dmaAt, 2 * step + kReloadHaltAfterStep);
}

void APU::dmcCatchUp(int64_t upTo) {
    const int64_t period = dmcRates[dmcFlags & 15] / 2;
    while (dmcNextClock < upTo) {
        if (dmcSilence && dmcBitsRemaining > 1) {
            // Silent clocks before the cycle's last only count down.
            const int64_t clocks = (upTo - 1 - dmcNextClock) / period + 1;
            const int64_t skip = std::min<int64_t>(clocks, dmcBitsRemaining - 1);
            dmcBitsRemaining -= int32_t(skip);
            dmcNextClock += skip * period;
            continue;
        }
        dmcOutputClock(dmcNextClock);
        dmcNextClock += period;
    }
}

int64_t APU::nextDmcEventHardware() const {
    // Audible clocks change the level; a silent unit holding a byte takes
    // it at the end of the output cycle; otherwise nothing shows.
    if (!dmcSilence) return std::max(dmcNextClock, int64_t(apuCycles));
    if (dmcBufferEmpty) return kNever;
    const int64_t period = dmcRates[dmcFlags & 15] / 2;
    return std::max(dmcNextClock + (dmcBitsRemaining - 1) * period, int64_t(apuCycles));
}

void APU::predictDmcDma() {
    if (dmcBytesRemaining == 0) {
        cpu->dmaAt = kNoCycle;
        return;
    }
    // An empty buffer's fetch is already due.
    if (dmcBufferEmpty) return;
    dmcCatchUp(apuCycles);
    const int64_t period = dmcRates[dmcFlags & 15] / 2;
    const int64_t boundary = dmcNextClock + (dmcBitsRemaining - 1) * period;
    cpu->dmaAt = 2 * boundary + kReloadHaltAfterStep;
}

bool APU::dmcDmaWanted(int64_t cycle) {
    runToCycle(cycle);
    dmcCatchUp(apuCycles);
    if (dmcBufferEmpty && dmcBytesRemaining > 0) {
        cpu->dmaAt = kNoCycle;
        return true;
    }
    predictDmcDma();
    return false;
}

void APU::dmcDmaFetched(uint8_t byte, int64_t cycle) {
    runToCycle(cycle);
    dmcCatchUp(apuCycles);
    nextEvent = kUnscheduled;
    dmcBuffer = byte;
    dmcBufferEmpty = false;
    dmcAddress = dmcAddress == 0xFFFF ? 0x8000 : uint16_t(dmcAddress + 1);
    if (--dmcBytesRemaining == 0) {
        if (dmcFlags & 0x40) {
            dmcAddress = dmcSampleAddress;
            dmcBytesRemaining = dmcSampleLength;
        } else if (dmcFlags & 0x80) {
            dmcIrq = true;
            cpu->setIrq(CPU::kIrqDmc, true, cycle + 1);
        }
    }
    predictDmcDma();
}

void APU::stepFullHardware() {
    const uint8_t* reg = &cpu->memory[0x4000];
    stepPulse(Pulse1, reg);
    stepPulse(Pulse2, reg);
    // The triangle timer runs at the CPU rate, twice per APU step.
    stepTriangle();
    stepTriangle();
    stepNoise(reg);
    dmcCatchUp(apuCycles + 1);
    produceSample();
    ++apuCycles;
    dmcStepsApplied = apuCycles;
    for (int64_t& applied : channelStepsApplied) applied = apuCycles;
}

// --- power, reset and timing changes ---

void APU::enterHardwareTiming() {
    const int64_t now = cpu->cycles;
    frameIrq = false;
    dmcIrq = false;
    lengthClockAt = kNoCycle;
    lengthClocked = 0;
    for (int k = Pulse1; k <= Noise; ++k) {
        if (!channelEnabled[k]) lengthCounter[k] = 0;
    }
    // The sequence as the design's left it: its start in CPU cycles, moved
    // on by whole sequences to the one running now.
    frameFiveStep = cpu->memory[0x4017] & 0x80;
    const int64_t length = frameFiveStep ? 37282 : 29830;
    frameStart = 2 * int64_t(frameReset) + 2;
    if (frameStart < now - length) frameStart += (now - frameStart) / length * length - length;
    frameStep = 0;
    frameWriteAt = kNoCycle;
    for (;;) {
        const FrameStep& step = stepOf(frameFiveStep, frameStep);
        if (frameStart + step.at >= now) break;
        if (step.length != 0) {
            frameStart += step.length;
            frameStep = 0;
        } else {
            ++frameStep;
        }
    }
    scheduleFrame();
    // The DMC: a direct load waiting for the timer is made now; the timer's
    // next expiry becomes the next clock.
    if (dmcDirectLoad != -1) dmcLevel = dmcDirectLoad;
    dmcDirectLoad = -1;
    if (dmcBitsRemaining == 0) dmcBitsRemaining = 8;
    const int64_t period = dmcRates[dmcFlags & 15] / 2;
    dmcNextClock = int64_t(apuCycles) + (dmcTimer == 0 ? 0 : period - std::min<int64_t>(dmcTimer, period - 1));
    channelEnabled[Dmc] = dmcBytesRemaining > 0;
    if (dmcBytesRemaining > 0 && dmcBufferEmpty) cpu->dmaAt = now;
    else predictDmcDma();
    nextEvent = kUnscheduled;
}

void APU::leaveHardwareTiming() {
    // The design's sequence restarts where the hardware's began.
    frameReset = std::max<int64_t>(-1, (frameStart - 2) / 2);
    frameEventAt = frameWriteAt = kNoCycle;
    const int64_t period = dmcRates[dmcFlags & 15] / 2;
    const int64_t ahead = std::clamp<int64_t>(dmcNextClock - int64_t(apuCycles), 0, period - 1);
    dmcTimer = int32_t((period - ahead) % period);
    frameIrq = false;
    dmcIrq = false;
    nextEvent = kUnscheduled;
}

void APU::powerOnHardware() {
    // As if $00 were written to $4017 shortly before the first instruction
    // (the clock starts again at 0 with the reset sequence).
    frameStart = frameResetAfterWrite(kResetSequenceCycles - kResetWriteLead);
    scheduleFrame();
    dmcBitsRemaining = 8;
    dmcNextClock = 0;
}

void APU::softResetHardware() {
    // $4015 cleared and both IRQ flags down at once; $4017 written again
    // with its last value shortly before the first instruction.
    const int64_t now = cpu->cycles;
    applyTimerSteps(apuCycles, true);
    dmcCatchUp(apuCycles);
    nextEvent = kUnscheduled;
    for (int k = Pulse1; k <= Noise; ++k) {
        channelEnabled[k] = false;
        lengthCounter[k] = 0;
    }
    channelEnabled[Dmc] = false;
    dmcBytesRemaining = 0;
    cpu->dmaAt = kNoCycle;
    cpu->memory[0x4015] = 0;
    ackFrameIrq(now - 1);
    ackDmcIrq(now - 1);
    frameWriteAt = frameResetAfterWrite(now + kResetSequenceCycles - kResetWriteLead);
    frameWriteValue = cpu->memory[0x4017];
    scheduleFrame();
}
