// Construction, the per-step order of the sub-units and the status read.
#include "apu/apu.h"

#include "cpu/cpu.h"

APU::APU() : sampleBuffers(kBlocks), outputBuffers(kBlocks) {}

void APU::stepApu() {
    clockFrameSequencer();
    stepPulse(Pulse1);
    stepPulse(Pulse2);
    // The triangle timer runs at the CPU rate, twice per APU step.
    stepTriangle();
    stepTriangle();
    stepNoise();
    stepDmc();
    produceSample();
    ++apuCycles;
}

uint8_t APU::readStatus() {
    uint8_t status = 0;
    if (lengthCounter[Pulse1] > 0) status |= 0x01;
    if (frameIrq) status |= 0x40;
    frameIrq = false;
    return status;
}
