// The noise channel: a 15-bit shift register with two feedback taps.
#include "apu/apu.h"

#include "cpu/cpu.h"

namespace {
// In CPU cycles, indexed by $400E bits 0-3; the timer counts APU steps.
constexpr uint16_t noisePeriods[16] = {
    4, 8, 16, 32, 64, 96, 128, 160, 202, 254, 380, 508, 762, 1016, 2034, 4068,
};
}  // namespace

void APU::stepNoise() {
    const uint8_t mode = cpu->memory[0x400E];
    if (noiseTimer == 0) {
        const unsigned tap = (mode & 0x80) ? (noiseShift >> 6) & 1 : (noiseShift >> 1) & 1;
        const unsigned feedback = (noiseShift & 1) ^ tap;
        noiseShift = uint16_t((feedback << 14) | ((noiseShift & 0x7FFF) >> 1));
    }
    if (lengthCounter[Noise] > 0 && !(noiseShift & 1)) {
        const uint8_t r = cpu->memory[0x400C];
        noiseOutput = int8_t((r & 0x10) ? (r & 15) : envelopeDecay[kNoiseEnvelope]);
    } else {
        noiseOutput = 0;
    }
    noiseTimer = int32_t(nextTimerValue(uint32_t(noiseTimer), noisePeriods[mode & 15] / 2u));
}
