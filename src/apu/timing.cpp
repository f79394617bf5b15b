// The APU's part of a timing change and of the reset button; the hardware
// timing's own parts are in hardware.cpp.
#include "apu/apu.h"
#include "cpu/cpu.h"

void APU::powerOnTiming() {
    frameIrq = false;
    dmcIrq = false;
    lengthClockAt = kNoCycle;
    lengthClocked = 0;
    frameWriteAt = kNoCycle;
    frameStep = 0;
    frameFiveStep = false;
    if (hardware) return powerOnHardware();
    // As constructed.
    frameReset = 0;
    frameStart = 0;
    frameEventAt = kNoCycle;
    dmcBitsRemaining = 0;
    dmcNextClock = 0;
}

void APU::clearHardwareState() {
    if (hardware) enterHardwareTiming();
    else leaveHardwareTiming();
}

void APU::softReset() {
    if (hardware) return softResetHardware();
    writeRegister(0x4015, 0);
    cpu->memory[0x4015] = 0;
    frameIrq = false;
    writeRegister(0x4017, cpu->memory[0x4017]);
}
