// The Namco 163's sound: up to eight wavetable channels whose registers and
// 4-bit samples share its 128 bytes of RAM. The chip updates one channel
// every 15 CPU cycles, in turn, and its DAC shows that channel's sample
// until the next update, so N channels each sound 1/N of the time; each
// output sample is that signal averaged over the time since the one before.
#include <algorithm>
#include <cmath>

#include "cartridge/mappers/namco163.h"
#include "serial/state_stream.h"

namespace NES {

namespace {

constexpr int32_t kUpdateCycles = 15;

// Channel k's registers (k = 0 for the one at $78, the last).
struct Registers {
    uint8_t* bytes;
    uint32_t frequency() const { return bytes[0] | (bytes[2] << 8) | ((bytes[4] & 3) << 16); }
    uint32_t phase() const { return bytes[1] | (bytes[3] << 8) | (bytes[5] << 16); }
    void setPhase(uint32_t p) const {
        bytes[1] = uint8_t(p);
        bytes[3] = uint8_t(p >> 8);
        bytes[5] = uint8_t(p >> 16);
    }
    // The wave's length in samples, 4 to 256.
    uint32_t length() const { return 256 - (bytes[4] & 0xFC); }
};

}  // namespace

Namco163Sound::Namco163Sound(int submapper) {
    // The board's mixing resistor, as the NES 2.0 submapper names it: how
    // much louder a full-volume channel is than an APU pulse.
    static constexpr double kLouderDb[6] = {12.0, 0, 0, 12.0, 16.5, 18.75};
    const double db = submapper >= 0 && submapper < 6 ? kLouderDb[submapper] : kLouderDb[0];
    // A channel swings 15 x 15 steps at full volume, an APU pulse 2 x 15 in the mixer.
    unit = db == 0 ? 0.0 : std::pow(10.0, db / 20) * 30 * kApuPulseStep / 225;
}

int Namco163Sound::channels() const { return ((ram[0x7F] >> 4) & 7) + 1; }

int Namco163Sound::update(int k) {
    const Registers r{&ram[0x78 - 8 * k]};
    const uint32_t wrap = r.length() << 16;
    const uint32_t phase = (r.phase() + r.frequency()) % wrap;
    r.setPhase(phase);
    const uint8_t index = uint8_t((phase >> 16) + r.bytes[6]);
    const int sample = (ram[index >> 1] >> ((index & 1) * 4)) & 0x0F;
    return (sample - 8) * (r.bytes[7] & 0x0F);
}

void Namco163Sound::advance(int64_t cycle, int64_t* area) {
    if (cycle <= clockedTo) return;
    int64_t left = cycle - clockedTo;
    clockedTo = cycle;
    if (muted) {
        output = 0;
        return;
    }
    const int n = channels();
    if (slot >= n) slot = 0;
    if (!area && left > 2 * kUpdateCycles * n) {
        // In bulk: each channel's phase moves by its frequency once per update it gets.
        const int64_t updates = left < timer ? 0 : 1 + (left - timer) / kUpdateCycles;
        timer = int32_t(updates == 0 ? timer - left : kUpdateCycles - (left - timer) % kUpdateCycles);
        if (updates == 0) return;
        for (int j = 0; j < n; ++j) {
            const int64_t got = updates / n + (((j - slot + n) % n) < updates % n ? 1 : 0);
            const Registers r{&ram[0x78 - 8 * j]};
            const uint64_t wrap = uint64_t(r.length()) << 16;
            r.setPhase(uint32_t((r.phase() + (uint64_t(r.frequency()) * uint64_t(got)) % wrap) % wrap));
        }
        const int last = int((slot + updates - 1) % n);
        // The last one updated shows on the DAC: its sample, not moved again.
        const Registers r{&ram[0x78 - 8 * last]};
        const uint8_t index = uint8_t((r.phase() >> 16) + r.bytes[6]);
        output = (((ram[index >> 1] >> ((index & 1) * 4)) & 0x0F) - 8) * (r.bytes[7] & 0x0F);
        slot = int((slot + updates) % n);
        return;
    }
    while (left > 0) {
        const int64_t run = std::min<int64_t>(left, timer);
        if (area) *area += output * run;
        left -= run;
        timer = int32_t(timer - run);
        if (timer == 0) {
            timer = kUpdateCycles;
            output = update(slot);
            slot = (slot + 1) % n;
        }
    }
}

void Namco163Sound::runTo(int64_t cycle) { advance(cycle, nullptr); }

void Namco163Sound::render(const int64_t* cycles, int count, int16_t* out) {
    for (int i = 0; i < count; ++i) {
        const int64_t from = clockedTo;
        int64_t area = 0;
        advance(cycles[i], &area);
        const double level = cycles[i] > from ? double(area) / double(cycles[i] - from) : double(output);
        out[i] = int16_t(std::clamp<long>(std::lround(level * unit), -32768, 32767));
    }
}

void Namco163Sound::serialize(StateStream& s) {
    s.bytes(ram, sizeof ram, "Namco 163 sound RAM");
    s.io(slot, 0, 7, "Namco 163 channel updated next");
    s.io(timer, 1, kUpdateCycles, "Namco 163 update timer");
    s.io(output, -120, 105, "Namco 163 DAC");
    s.io(muted);
}

}  // namespace NES
