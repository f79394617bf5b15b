// The two pulse channels and their sweep units.
#include "apu/apu.h"
#include "cpu/cpu.h"

void APU::clockSweeps() {
    for (int k = Pulse1; k <= Pulse2; ++k) {
        const uint8_t s = cpu->memory[0x4001 + 4 * k];
        const uint16_t period = pulsePeriod[k];
        const uint16_t change = uint16_t(period >> (s & 7));
        uint16_t target;
        if (s & 0x08) {
            // The two units negate differently: pulse 2 subtracts one more.
            target = uint16_t(period - change - (k == Pulse2 ? 1 : 0));
        } else {
            target = uint16_t(period + change);
        }
        if (target & 0x8000) target = 0;
        sweepMute[k] = period < 8 || target > 2047;

        if (sweepDivider[k] == 0) {
            if (s & 0x80) pulsePeriod[k] = target;
            sweepDivider[k] = (s >> 4) & 7;
            sweepReload[k] = false;
        } else if (sweepReload[k]) {
            sweepDivider[k] = (s >> 4) & 7;
            sweepReload[k] = false;
        } else {
            --sweepDivider[k];
        }
    }
}

void APU::stepPulse(int k, const uint8_t* reg) {
    const uint8_t r = reg[4 * k];
    const uint8_t s = reg[4 * k + 1];
    const uint16_t period = pulsePeriod[k];
    if ((sweepMute[k] && (s & 0x80)) || period < 8 || lengthCounter[k] == 0) {
        pulseOutput[k] = 0;
    } else {
        const int volume = (r & 0x10) ? (r & 15) : envelopeDecay[k];
        pulseOutput[k] = int8_t(dutySequences[r >> 6][dutyStep[k]] ? volume : -volume);
    }
    pulseTimer[k] = uint16_t(nextTimerValue(pulseTimer[k], uint32_t(period) + 1));
    if (pulseTimer[k] == 0) dutyStep[k] = (dutyStep[k] + 1) & 7;
}
