// The triangle channel and its linear counter.
#include "apu/apu.h"
#include "cpu/cpu.h"

void APU::clockLinearCounter() {
    const uint8_t control = cpu->memory[0x4008];
    if (linearReload) {
        linearCounter = control & 0x7F;
    } else if (linearCounter > 0) {
        --linearCounter;
    }
    if (!(control & 0x80)) linearReload = false;
}

void APU::stepTriangle() {
    const bool audible = linearCounter > 0 && lengthCounter[Triangle] > 0 && trianglePeriod >= 2;
    triangleOutput = audible ? triangleLevels[triangleStep] : 0.0f;
    triangleTimer = uint16_t(nextTimerValue(triangleTimer, uint32_t(trianglePeriod) + 1));
    // The sequence advances whatever the counters hold.
    if (triangleTimer == 0) triangleStep = (triangleStep + 1) & 31;
}
