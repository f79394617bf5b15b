// The delta modulation channel: memory reader and output unit.
#include "apu/apu.h"
#include "cpu/cpu.h"

void APU::stepDmc() {
    if (channelEnabled[Dmc] && dmcBufferEmpty && dmcBytesRemaining != 0) {
        // A fetch costs the CPU nothing and is not shown to the mapper.
        dmcBuffer = cpu->read(dmcAddress, false);
        dmcAddress = dmcAddress == 0xFFFF ? 0x8000 : uint16_t(dmcAddress + 1);
        if (--dmcBytesRemaining == 0) {
            if (dmcFlags & 0x40) {
                dmcAddress = dmcSampleAddress;
                dmcBytesRemaining = dmcSampleLength;
            }
            if (dmcBytesRemaining == 0 && (dmcFlags & 0x80)) cpu->irqPending = true;
        }
        dmcShift = dmcBuffer;
        dmcBitsRemaining = 8;
        dmcSilence = false;
        dmcBufferEmpty = false;
    }

    if (dmcTimer == 0) {
        if (dmcDirectLoad != -1) {
            dmcLevel = dmcDirectLoad;
            dmcDirectLoad = -1;
        } else if (!dmcSilence) {
            if (dmcShift & 1) {
                if (dmcLevel + 2 <= 127) dmcLevel += 2;
            } else {
                if (dmcLevel - 2 >= 0) dmcLevel -= 2;
            }
            dmcShift >>= 1;
            if (--dmcBitsRemaining == 0) {
                dmcBitsRemaining = 8;
                if (dmcBufferEmpty) {
                    dmcSilence = true;
                    dmcLevel = 64;
                } else {
                    dmcSilence = false;
                    dmcBufferEmpty = true;
                }
            }
        }
    }
    dmcTimer = int32_t(nextTimerValue(uint32_t(dmcTimer), dmcRates[dmcFlags & 15] / 2u));
}
