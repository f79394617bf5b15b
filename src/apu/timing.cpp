// The APU's part of a timing change and of the reset button.
#include "apu/apu.h"

void APU::powerOnTiming() {}

void APU::clearHardwareState() {}

void APU::softReset() {
    writeRegister(0x4015, 0);
    cpu->memory[0x4015] = 0;
    frameIrq = false;
    writeRegister(0x4017, cpu->memory[0x4017]);
}
