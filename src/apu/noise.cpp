// The noise channel: a 15-bit shift register with two feedback taps.
#include "apu/apu.h"

void APU::stepNoise(const uint8_t* reg) {
    const uint8_t mode = reg[0x0E];
    if (noiseTimer == 0) {
        const unsigned tap = (mode & 0x80) ? (noiseShift >> 6) & 1 : (noiseShift >> 1) & 1;
        const unsigned feedback = (noiseShift & 1) ^ tap;
        noiseShift = uint16_t((feedback << 14) | ((noiseShift & 0x7FFF) >> 1));
    }
    if (lengthCounter[Noise] > 0 && !(noiseShift & 1)) {
        const uint8_t r = reg[0x0C];
        noiseOutput = int8_t((r & 0x10) ? (r & 15) : envelopeDecay[kNoiseEnvelope]);
    } else {
        noiseOutput = 0;
    }
    noiseTimer = int32_t(nextTimerValue(uint32_t(noiseTimer), noisePeriods[mode & 15] / 2u));
}
