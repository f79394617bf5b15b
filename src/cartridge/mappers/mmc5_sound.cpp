// The MMC5's sound: two pulse channels ($5000-$5007) as the APU's without
// the sweep, their envelopes and length counters clocked at 240 Hz by the
// chip's own divider, and the 8-bit PCM channel ($5010-$5011). A pulse
// swings as an APU pulse does in the mixer (from -volume to +volume, silent
// at 0); the PCM's 255 steps are the DMC's, from 0.
#include <algorithm>

#include "apu/apu.h"
#include "cartridge/mappers/mmc5.h"
#include "serial/state_stream.h"

namespace NES {

namespace {

// The APU's duty sequences, step by step.
constexpr uint8_t kDuty[4][8] = {
    {0, 1, 0, 0, 0, 0, 0, 0}, {0, 1, 1, 0, 0, 0, 0, 0}, {0, 1, 1, 1, 1, 0, 0, 0}, {1, 0, 0, 1, 1, 1, 1, 1}};
// 240 Hz: a quarter of the APU's NTSC frame sequence, in CPU cycles.
constexpr uint16_t kQuarterFrame = 7457;
// One step of the 8-bit PCM: the DMC's mixer weight.
constexpr double kPcmStep = 0.00335 * 32767.0;

}  // namespace

void Mmc5Sound::write(uint16_t address, uint8_t value) {
    if (address <= 0x5007) {
        Pulse& p = pulse[(address >> 2) & 1];
        switch (address & 3) {
            case 0: p.control = value; break;
            case 2: p.period = uint16_t((p.period & 0x700) | value); break;
            case 3:
                p.period = uint16_t((p.period & 0x0FF) | ((value & 7) << 8));
                if (p.enabled) p.length = APU::lengthTable[value >> 3];
                p.step = 0;
                p.envelopeStart = true;
                break;
            default: break;  // $5001, $5005: no sweep
        }
    } else if (address == 0x5010) {
        pcmMode = value & 0x81;
    } else if (address == 0x5011) {
        // Read mode ignores writes; $00 leaves the output as it is.
        if (!(pcmMode & 1) && value != 0) pcm = value;
    } else if (address == 0x5015) {
        for (int i = 0; i < 2; ++i) {
            pulse[i].enabled = (value >> i) & 1;
            if (!pulse[i].enabled) pulse[i].length = 0;
        }
    }
}

uint8_t Mmc5Sound::status() const { return uint8_t((pulse[0].length > 0) | ((pulse[1].length > 0) << 1)); }

void Mmc5Sound::clockQuarter() {
    for (Pulse& p : pulse) {
        const bool loop = p.control & 0x20;
        if (p.envelopeStart) {
            p.envelopeStart = false;
            p.decay = 15;
            p.divider = p.control & 0x0F;
        } else if (p.divider == 0) {
            p.divider = p.control & 0x0F;
            if (p.decay > 0) --p.decay;
            else if (loop) p.decay = 15;
        } else {
            --p.divider;
        }
        // The length counter runs at the envelope's rate, twice the APU's.
        if (p.length > 0 && !loop) --p.length;
    }
}

void Mmc5Sound::runTo(int64_t cycle) {
    if (cycle <= clockedTo) return;
    int64_t left = cycle - clockedTo;
    clockedTo = cycle;
    while (left > 0) {
        const int64_t run = std::min<int64_t>(left, quarterTimer);
        for (Pulse& p : pulse) {
            // The timer counts APU steps, two CPU cycles each.
            const uint32_t period = 2 * (uint32_t(p.period) + 1);
            const int64_t total = int64_t(p.timer) + run;
            p.step = uint8_t((p.step + total / period) & 7);
            p.timer = uint32_t(total % period);
        }
        left -= run;
        quarterTimer = uint16_t(quarterTimer - run);
        if (quarterTimer == 0) {
            quarterTimer = kQuarterFrame;
            clockQuarter();
        }
    }
}

int Mmc5Sound::pulseLevel() const {
    int sum = 0;
    for (const Pulse& p : pulse) {
        if (p.length == 0) continue;
        const int volume = (p.control & 0x10) ? p.control & 0x0F : p.decay;
        sum += kDuty[p.control >> 6][p.step] ? volume : -volume;
    }
    return sum;
}

void Mmc5Sound::render(const int64_t* cycles, int count, int16_t* out) {
    for (int i = 0; i < count; ++i) {
        runTo(cycles[i]);
        out[i] = int16_t(pulseLevel() * kApuPulseStep + pcm * kPcmStep);
    }
}

void Mmc5Sound::serialize(StateStream& s) {
    for (Pulse& p : pulse) {
        s.io(p.control);
        s.io(p.period, 0, 0x7FF, "MMC5 pulse period");
        s.io(p.enabled);
        s.io(p.length);
        s.io(p.timer, 0, 2 * 0x800 - 1, "MMC5 pulse timer");
        s.io(p.step, 0, 7, "MMC5 pulse step");
        s.io(p.envelopeStart);
        s.io(p.divider, 0, 15, "MMC5 envelope divider");
        s.io(p.decay, 0, 15, "MMC5 envelope level");
    }
    s.io(quarterTimer, 1, kQuarterFrame, "MMC5 240 Hz divider");
    s.io(pcmMode);
    s.io(pcm);
}

}  // namespace NES
