// The frame sequencer and the length counters it clocks every half frame.
#include "apu/apu.h"
#include "cpu/cpu.h"

void APU::clockFrameSequencer() {
    const uint8_t mode = cpu->memory[0x4017];
    const bool fiveStep = mode & 0x80;
    const int64_t elapsed = int64_t(apuCycles) - frameReset;
    // Constant divisors: the compiler turns both into multiplications.
    const int64_t phase = fiveStep ? elapsed % 18640 : elapsed % 14916;
    switch (phase) {
        case 3729:
        case 11187:
            clockEnvelopes();
            clockLinearCounter();
            break;
        case 7458:
            clockEnvelopes();
            clockLinearCounter();
            clockLengthCounters();
            clockSweeps();
            break;
        case 0:
            clockEnvelopes();
            clockLinearCounter();
            clockLengthCounters();
            clockSweeps();
            if (!fiveStep && !(mode & 0x40)) frameIrq = true;
            break;
        default: break;
    }
}

void APU::clockLengthCounters() {
    // Halt bits: $4000, $4004 and $400C bit 5; $4008 bit 7.
    static constexpr uint16_t haltRegister[4] = {0x4000, 0x4004, 0x4008, 0x400C};
    static constexpr uint8_t haltBit[4] = {0x20, 0x20, 0x80, 0x20};
    for (int k = Pulse1; k <= Noise; ++k) {
        if (!channelEnabled[k]) {
            lengthCounter[k] = 0;
        } else if (lengthCounter[k] > 0 && !(cpu->memory[haltRegister[k]] & haltBit[k])) {
            --lengthCounter[k];
        }
    }
}
