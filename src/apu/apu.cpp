// Construction, the per-step order of the sub-units and the status read.
#include "apu/apu.h"
#include "cpu/cpu.h"

APU::APU() : sampleBuffers(kBlocks), outputBuffers(kBlocks) { silenceLevels(); }

void APU::stepApu() {
    refreshRegisters();
    applyTimerSteps(apuCycles, false);
    stepFull();
    if (expansion) renderExpansion();
    // The caller may change fields before the next bulk run.
    nextEvent = kUnscheduled;
}

void APU::stepFull() {
    if (hardware) return stepFullHardware();
    const uint8_t* reg = &cpu->memory[0x4000];
    clockFrameSequencer();
    stepPulse(Pulse1, reg);
    stepPulse(Pulse2, reg);
    // The triangle timer runs at the CPU rate, twice per APU step.
    stepTriangle();
    stepTriangle();
    stepNoise(reg);
    stepDmc();
    produceSample();
    ++apuCycles;
    dmcStepsApplied = apuCycles;
    for (int64_t& applied : channelStepsApplied) applied = apuCycles;
}

// Counters and frameIrq change only in whole steps and register writes,
// so they are exact here without settling the timers.
uint8_t APU::readStatus() {
    if (hardware) return readStatusHardware();
    uint8_t status = 0;
    if (lengthCounter[Pulse1] > 0) status |= 0x01;
    if (frameIrq) status |= 0x40;
    frameIrq = false;
    return status;
}
