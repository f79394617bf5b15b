// The VRC6's sound: two pulse channels ($9000-$9002, $A000-$A002), a
// sawtooth ($B000-$B002) and the frequency control ($9003). Each channel's
// 12-bit divider clocks its sequencer every period + 1 CPU cycles (the
// period shifted right 4 or 8 bits by $9003); the channels are summed
// linearly, a full-volume pulse about as loud as an APU pulse.
#include "cartridge/mappers/vrc6.h"

#include <cmath>

#include "serial/state_stream.h"

namespace NES {

namespace {
// A divider that reloads `period` after reaching 0: its value and clocks
// after `cycles` cycles.
uint64_t advanceDivider(uint16_t& timer, uint32_t period, uint64_t cycles) {
    if (cycles <= timer) {
        timer = uint16_t(timer - cycles);
        return 0;
    }
    const uint64_t after = cycles - timer - 1;
    timer = uint16_t(period - after % (period + 1));
    return 1 + after / (period + 1);
}
}  // namespace

void Vrc6Sound::write(int channel, int reg, uint8_t value) {
    if (channel == 0 && reg == 3) {
        frequencyControl = value & 7;
        return;
    }
    if (channel < 2) {
        Pulse& p = pulse[channel];
        if (reg == 0) {
            p.control = value;
        } else if (reg == 1) {
            p.period = uint16_t((p.period & 0xF00) | value);
        } else if (reg == 2) {
            p.period = uint16_t((p.period & 0x0FF) | ((value & 0x0F) << 8));
            p.enabled = value & 0x80;
            // Disabling resets the duty sequence.
            if (!p.enabled) p.step = 15;
        }
        return;
    }
    if (reg == 0) {
        sawRate = value & 0x3F;
    } else if (reg == 1) {
        sawPeriod = uint16_t((sawPeriod & 0xF00) | value);
    } else if (reg == 2) {
        sawPeriod = uint16_t((sawPeriod & 0x0FF) | ((value & 0x0F) << 8));
        sawEnabled = value & 0x80;
        if (!sawEnabled) sawStep = 0;
    }
}

void Vrc6Sound::runTo(int64_t cycle) {
    if (cycle <= clockedTo) return;
    const uint64_t cycles = uint64_t(cycle - clockedTo);
    clockedTo = cycle;
    if (frequencyControl & 1) return;  // halted
    const int s = shift();
    for (Pulse& p : pulse) {
        if (!p.enabled) continue;
        const uint64_t clocks = advanceDivider(p.timer, uint32_t(p.period >> s), cycles);
        p.step = uint8_t((p.step + 16 - clocks % 16) & 15);
    }
    if (sawEnabled) {
        const uint64_t clocks = advanceDivider(sawTimer, uint32_t(sawPeriod >> s), cycles);
        sawStep = uint8_t((sawStep + clocks) % 14);
    }
}

int Vrc6Sound::level() const {
    int sum = 0;
    for (const Pulse& p : pulse) {
        // Mode bit 7 holds the output at the volume (a DAC).
        const bool high = (p.control & 0x80) || p.step <= ((p.control >> 4) & 7);
        if (p.enabled && high) sum += p.control & 0x0F;
    }
    // The accumulator's top five bits.
    if (sawEnabled) sum += ((sawStep / 2) * sawRate & 0xFF) >> 3;
    return sum;
}

void Vrc6Sound::render(const int64_t* cycles, int count, int16_t* out) {
    // Levels 0-61 on the APU pulse's scale.
    static constexpr auto kLevels = [] {
        struct Table {
            int16_t sample[62];
        } t{};
        for (int i = 0; i < 62; ++i) t.sample[i] = int16_t(i * kApuPulseStep);
        return t;
    }();
    for (int i = 0; i < count; ++i) {
        runTo(cycles[i]);
        out[i] = kLevels.sample[level()];
    }
}

void Vrc6Sound::serialize(StateStream& s) {
    for (Pulse& p : pulse) {
        s.io(p.control);
        s.io(p.period, 0, 0xFFF, "VRC6 pulse period");
        s.io(p.enabled);
        s.io(p.timer, 0, 0xFFF, "VRC6 pulse timer");
        s.io(p.step, 0, 15, "VRC6 pulse step");
    }
    s.io(sawRate, 0, 0x3F, "VRC6 sawtooth rate");
    s.io(sawPeriod, 0, 0xFFF, "VRC6 sawtooth period");
    s.io(sawEnabled);
    s.io(sawTimer, 0, 0xFFF, "VRC6 sawtooth timer");
    s.io(sawStep, 0, 13, "VRC6 sawtooth step");
    s.io(frequencyControl, 0, 7, "VRC6 frequency control");
}

}  // namespace NES
