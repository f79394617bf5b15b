// Side effects of CPU writes to the APU registers. The bus calls this before
// it stores the byte, so `memory` still holds the previous value of `address`.
#include "apu/apu.h"
#include "cpu/cpu.h"

void APU::writeRegister(uint16_t address, uint8_t d) {
    if (hardware) return writeRegisterHardware(address, d);
    // The steps not yet applied to the timers came before this write.
    applyTimerSteps(apuCycles, true);
    nextEvent = kUnscheduled;
    if (writeChannelRegister(address, d, 0)) return;
    switch (address) {
        case 0x4010: dmcFlags = d; break;
        case 0x4011:
            // The DAC has seven bits; an eighth would push the mix past 16 bits.
            dmcDirectLoad = d & 0x7F;
            break;
        case 0x4015:
            enableLengthChannels(d);
            if (d & 0x10) {
                channelEnabled[Dmc] = true;
                if (dmcBytesRemaining == 0) {
                    dmcAddress = dmcSampleAddress;
                    dmcBytesRemaining = dmcSampleLength;
                }
            } else {
                channelEnabled[Dmc] = false;
                dmcBytesRemaining = 0;
            }
            break;
        case 0x4017:
            // The next step then sees phase 1.
            frameReset = int64_t(apuCycles) - 1;
            if (d & 0x80) {
                clockEnvelopes();
                clockLengthCounters();
                clockLinearCounter();
                clockSweeps();
            }
            break;
        default: break;
    }
}

void APU::enableLengthChannels(uint8_t value) {
    for (int k = Pulse1; k <= Noise; ++k) {
        channelEnabled[k] = (value >> k) & 1;
        if (!channelEnabled[k]) lengthCounter[k] = 0;
    }
}

// The registers both timings treat alike but for the length load, whose
// timing only the hardware's keeps. False for the others.
bool APU::writeChannelRegister(uint16_t address, uint8_t d, int64_t cycle) {
    const auto& memory = cpu->memory;
    const auto loadLength = [&](int k) {
        if (hardware) reloadLength(k, d, cycle);
        else lengthCounter[k] = lengthTable[d >> 3];
    };
    switch (address) {
        case 0x4001:
        case 0x4005: sweepReload[(address - 0x4001) >> 2] = true; return true;
        case 0x4002:
        case 0x4006: {
            const int k = (address - 0x4002) >> 2;
            pulsePeriod[k] = uint16_t(((memory[address + 1] & 7) << 8) | d);
            return true;
        }
        case 0x4003:
        case 0x4007: {
            const int k = (address - 0x4003) >> 2;
            loadLength(k);
            pulsePeriod[k] = uint16_t(((d & 7) << 8) | memory[address - 1]);
            envelopeStart[k] = true;
            return true;
        }
        case 0x400A: trianglePeriod = uint16_t(((memory[0x400B] & 7) << 8) | d); return true;
        case 0x400B:
            trianglePeriod = uint16_t(((d & 7) << 8) | memory[0x400A]);
            loadLength(Triangle);
            linearReload = true;
            return true;
        case 0x400F:
            loadLength(Noise);
            envelopeStart[kNoiseEnvelope] = true;
            return true;
        case 0x4012: dmcSampleAddress = uint16_t(0xC000 + 64 * d); return true;
        case 0x4013: dmcSampleLength = uint16_t(16 * d + 1); return true;
        default: return false;
    }
}
