// The Sunsoft 5B's sound: a YM2149F with its clock halved. Register $07
// gates each channel's tone and the shared noise; $08-$0A set a channel's
// volume in 3 dB steps. A tone toggles every 16 x period CPU cycles (so it
// sounds at 1789773 / (32 x period) Hz), the noise shifts its 17-bit
// register every 32 x period, and the envelope takes one of its 32 steps
// (1.5 dB each) every 16 x period. A channel's fixed volume v sits on the
// envelope's scale at step 2v + 1.
#include "cartridge/mappers/fme7.h"

#include "serial/state_stream.h"

namespace NES {

namespace {
// A channel's level by volume, a full one as loud as a full APU pulse:
// 15 x kApuPulseStep x 10^(-3 (15 - v) / 20).
constexpr int16_t kVolumeLevels[16] = {0, 29, 41, 59, 83, 117, 165, 233, 329, 465, 657, 928, 1311, 1852, 2617, 3696};
constexpr uint32_t kNoiseCycle = (1u << 17) - 1;  // the register's sequence length
// The envelope's levels on the same scale: 3696 x 10^(-1.5 (31 - e) / 20), 0 silent.
constexpr int16_t kEnvelopeLevels[32] = {0,   21,  25,   29,   35,   41,   49,   59,   70,   83,  98,
                                         117, 139, 165,  196,  233,  277,  329,  392,  465,  553, 657,
                                         781, 928, 1103, 1311, 1559, 1852, 2202, 2617, 3110, 3696};
// Envelope shape bits ($0D).
constexpr uint8_t kHold = 1, kAlternate = 2, kAttack = 4, kContinue = 8;
}  // namespace

uint32_t Sunsoft5BSound::tonePeriod(int channel) const {
    const uint32_t period = uint32_t((registers[2 * channel + 1] & 0x0F) << 8 | registers[2 * channel]);
    return 16 * (period == 0 ? 1 : period);  // 0 sounds as 1
}

uint32_t Sunsoft5BSound::noisePeriod() const {
    const uint32_t period = registers[6] & 0x1F;
    return 32 * (period == 0 ? 1 : period);
}

uint32_t Sunsoft5BSound::envelopePeriod() const {
    const uint32_t period = uint32_t(registers[12] << 8 | registers[11]);
    return 16 * (period == 0 ? 1 : period);
}

void Sunsoft5BSound::write(uint8_t reg, uint8_t value) {
    registers[reg & 15] = value;
    if ((reg & 15) != 13) return;
    envelopeTimer = 0;
    envelopeStep = 0;
    envelopeRising = (value & kAttack) ? 1 : 0;
    envelopeHeld = 0;
}

uint8_t Sunsoft5BSound::envelopeLevel() const {
    if (envelopeHeld) return heldLevel;
    return envelopeRising ? envelopeStep : uint8_t(31 - envelopeStep);
}

void Sunsoft5BSound::stepEnvelope(uint64_t steps) {
    // Every shape holds within a cycle or repeats every one or two.
    if (steps > 128) steps = 64 + steps % 64;
    const uint8_t shape = registers[13];
    for (; steps > 0 && !envelopeHeld; --steps) {
        if (++envelopeStep < 32) continue;
        // A cycle ends: without continue it falls silent; hold keeps where
        // the cycle ended (or, alternating, where it began); else again,
        // the other way when alternating.
        envelopeStep = 0;
        if (!(shape & kContinue)) {
            envelopeHeld = 1;
            heldLevel = 0;
        } else if (shape & kHold) {
            envelopeHeld = 1;
            heldLevel = ((shape & kAlternate) != 0) != (envelopeRising != 0) ? 31 : 0;
        } else if (shape & kAlternate) {
            envelopeRising ^= 1;
        }
    }
}

void Sunsoft5BSound::runTo(int64_t cycle) {
    if (cycle <= clockedTo) return;
    const uint64_t cycles = uint64_t(cycle - clockedTo);
    clockedTo = cycle;
    for (int c = 0; c < 3; ++c) {
        const uint32_t period = tonePeriod(c);
        const uint64_t total = toneTimer[c] + cycles;
        toneHigh[c] = uint8_t(toneHigh[c] ^ ((total / period) & 1));
        toneTimer[c] = uint16_t(total % period);
    }
    const uint32_t period = noisePeriod();
    const uint64_t total = noiseTimer + cycles;
    noiseTimer = uint16_t(total % period);
    for (uint64_t shifts = (total / period) % kNoiseCycle; shifts > 0; --shifts) {
        const uint32_t fed = (noiseShift ^ (noiseShift >> 3)) & 1;
        noiseShift = (noiseShift >> 1) | (fed << 16);
    }
    const uint64_t envelope = uint64_t(envelopeTimer) + cycles;
    const uint32_t step = envelopePeriod();
    envelopeTimer = uint32_t(envelope % step);
    stepEnvelope(envelope / step);
}

int16_t Sunsoft5BSound::sample() const {
    const uint8_t mixer = registers[7];
    const bool noise = noiseShift & 1;
    int sum = 0;
    for (int c = 0; c < 3; ++c) {
        const uint8_t volume = registers[8 + c];
        const bool tone = toneHigh[c] || (mixer >> c & 1);
        const bool noisy = noise || (mixer >> (c + 3) & 1);
        if (!tone || !noisy) continue;
        sum += (volume & 0x10) ? kEnvelopeLevels[envelopeLevel()] : kVolumeLevels[volume & 15];
    }
    return int16_t(sum);
}

void Sunsoft5BSound::render(const int64_t* cycles, int count, int16_t* out) {
    for (int i = 0; i < count; ++i) {
        runTo(cycles[i]);
        out[i] = sample();
    }
}

void Sunsoft5BSound::serialize(StateStream& s) {
    s.io(registers);
    s.io(toneTimer, 0, 16 * 4095, "5B tone timer");
    s.io(toneHigh, 0, 1, "5B tone output");
    s.io(noiseTimer, 0, 32 * 31, "5B noise timer");
    s.io(noiseShift, 1, kNoiseCycle, "5B noise register");
    s.io(envelopeTimer, 0, 16 * 65535, "5B envelope timer");
    s.io(envelopeStep, 0, 31, "5B envelope step");
    s.io(envelopeRising, 0, 1, "5B envelope direction");
    s.io(envelopeHeld, 0, 1, "5B envelope hold");
    s.io(heldLevel, 0, 31, "5B envelope held level");
}

}  // namespace NES
