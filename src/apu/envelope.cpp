// Volume envelopes of pulse 1, pulse 2 and noise.
#include "apu/apu.h"
#include "cpu/cpu.h"

void APU::clockEnvelopes() {
    static constexpr uint16_t envelopeRegister[3] = {0x4000, 0x4004, 0x400C};
    for (int k = 0; k < 3; ++k) {
        const uint8_t r = cpu->memory[envelopeRegister[k]];
        if (envelopeStart[k]) {
            envelopeStart[k] = false;
            envelopeDecay[k] = 15;
            envelopeDivider[k] = r & 15;
        } else if (envelopeDivider[k] > 0) {
            --envelopeDivider[k];
        } else {
            envelopeDivider[k] = r & 15;
            if (envelopeDecay[k] > 0) {
                --envelopeDecay[k];
            } else if (r & 0x20) {
                envelopeDecay[k] = 15;
            }
        }
    }
}
