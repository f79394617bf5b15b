// The sample stage: one 16-bit sample per channel whenever the 44100 Hz
// sample clock falls behind, collected in blocks of 1024 and handed over.
#include <algorithm>

#include "apu/apu.h"

namespace {
constexpr double kPulseWeight = 0.00752;
constexpr double kTriangleWeight = 0.00851;
constexpr double kNoiseWeight = 0.00494;
constexpr double kDmcWeight = 0.00335;

// Single-precision product, then truncation; the low 16 bits are kept.
constexpr int16_t toSample(float value) {
    return int16_t(uint16_t(int32_t(value * 32767.0f)));
}

// A channel's term of the mix and its own sample, by output value: the same
// rounding as computing them each time, looked up instead.
template <int kValues>
struct Terms {
    float term[kValues];
    int16_t sample[kValues];
};
// Entry i is the output first + step x i.
template <int kValues>
constexpr Terms<kValues> terms(double weight, int first, int step) {
    Terms<kValues> t{};
    for (int i = 0; i < kValues; ++i) {
        t.term[i] = float((first + step * i) * weight);
        t.sample[i] = toSample(t.term[i]);
    }
    return t;
}
constexpr Terms<31> kPulseTerms = terms<31>(kPulseWeight, -15, 1);  // outputs -15 to 15
constexpr Terms<16> kNoiseTerms = terms<16>(kNoiseWeight, 0, 1);    // 0 to 15
constexpr Terms<128> kDmcTerms = terms<128>(kDmcWeight, -128, 2);   // 2 x level - 128, level 0 to 127
}  // namespace

void APU::produceSample() {
    // A zero clock (CLOCK_SPEED 1) makes no samples rather than dividing by it.
    if (halfClock <= 0 || !mixing) return;
    // sampleCount < sampleRate x apuCycles / halfClock (truncated), written
    // without the division: the counts are never negative.
    if (int64_t(sampleRate) * int64_t(apuCycles) < (sampleCount + 1) * int64_t(halfClock)) return;

    const int index = int(sampleCount % kBlockSamples);
    if (index == 0) handOver();

    // Each term is rounded to single precision before the sum, so no
    // multiply-add can be fused across these lines.
    const int p1 = channelEnabled[Pulse1] ? pulseOutput[0] + 15 : 15;
    const int p2 = channelEnabled[Pulse2] ? pulseOutput[1] + 15 : 15;
    const float triangle = channelEnabled[Triangle] ? float(double(triangleOutput) * kTriangleWeight) : 0.0f;
    const int n = channelEnabled[Noise] ? noiseOutput : 0;
    const bool dmcOn = channelEnabled[Dmc];
    const float dmc = dmcOn ? kDmcTerms.term[dmcLevel] : 0.0f;
    const float mix = (((kPulseTerms.term[p2] + kPulseTerms.term[p1]) + triangle) + kNoiseTerms.term[n]) + dmc;

    sampleBuffers[0][index] = toSample(mix);
    sampleBuffers[1][index] = kPulseTerms.sample[p1];
    sampleBuffers[2][index] = kPulseTerms.sample[p2];
    sampleBuffers[3][index] = toSample(triangle);
    sampleBuffers[4][index] = kNoiseTerms.sample[n];
    sampleBuffers[5][index] = dmcOn ? kDmcTerms.sample[dmcLevel] : 0;
    ++sampleCount;
}

void APU::handOver() {
    // Once per 1024 samples; the reader holds the lock only while it copies.
    std::lock_guard<std::mutex> guard(handoverLock);
    for (int i = 0; i < kBlocks; ++i) outputBuffers[i] = sampleBuffers[i];
    blockReady.store(true, std::memory_order_release);
}

bool APU::takeBlock(std::array<std::array<int16_t, kBlockSamples>, kBlocks>& out) {
    if (!blockReady.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> guard(handoverLock);
    // Checked again under the lock, so two readers never both take a block.
    if (!blockReady.load(std::memory_order_relaxed)) return false;
    for (int i = 0; i < kBlocks; ++i) out[i] = outputBuffers[i];
    blockReady.store(false, std::memory_order_relaxed);
    return true;
}

int64_t APU::samplesBefore(int64_t steps) const {
    // Step s makes a sample when sampleRate x s reaches the next one's share
    // of halfClock, at most one a step.
    if (steps <= 0 || halfClock <= 0 || sampleRate <= 0) return 0;
    const int64_t last = steps - 1;
    return std::min(last, last * int64_t(sampleRate) / int64_t(halfClock));
}

void APU::setMixing(bool on) {
    if (on == mixing) return;
    sync();
    mixing = on;
    nextEvent = kUnscheduled;
    // The count was not kept meanwhile; the blocks start silent either way.
    sampleCount = samplesBefore(apuCycles);
    for (auto& block : sampleBuffers) block.fill(0);
    std::lock_guard<std::mutex> guard(handoverLock);
    blockReady.store(false, std::memory_order_relaxed);
}
