// The sample stage: one 16-bit sample per channel whenever the 44100 Hz
// sample clock falls behind, collected in blocks of 1024 and handed over.
#include <algorithm>
#include <cstring>

#include "apu/apu.h"
#include "apu/apu_inline.h"

namespace {
constexpr double kPulseWeight = 0.00752;
constexpr double kTriangleWeight = 0.00851;
constexpr double kNoiseWeight = 0.00494;
constexpr double kDmcWeight = 0.00335;

// Single-precision product, then truncation; the low 16 bits are kept.
constexpr int16_t toSample(float value) { return int16_t(uint16_t(int32_t(value * 32767.0f))); }

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
constexpr Terms<31> kPulseTerms = terms<31>(kPulseWeight, -15, 1);        // outputs -15 to 15
constexpr Terms<31> kTriangleTerms = terms<31>(kTriangleWeight, -15, 1);  // -15.0 to 15.0, whole
constexpr Terms<16> kNoiseTerms = terms<16>(kNoiseWeight, 0, 1);          // 0 to 15
constexpr Terms<128> kDmcTerms = terms<128>(kDmcWeight, -128, 2);         // 2 x level - 128, level 0 to 127

// The six blocks' samples from the five levels.
inline void mixLevels(uint32_t p1, uint32_t p2, uint32_t tri, uint32_t n, uint32_t dmc, int16_t (&samples)[6]) {
    // Each term is rounded to single precision before the sum, so no
    // multiply-add can be fused across these lines.
    const float mix =
        (((kPulseTerms.term[p2] + kPulseTerms.term[p1]) + kTriangleTerms.term[tri]) + kNoiseTerms.term[n]) +
        kDmcTerms.term[dmc];
    samples[0] = toSample(mix);
    samples[1] = kPulseTerms.sample[p1];
    samples[2] = kPulseTerms.sample[p2];
    samples[3] = kTriangleTerms.sample[tri];
    samples[4] = kNoiseTerms.sample[n];
    samples[5] = kDmcTerms.sample[dmc];
}

inline void mixLevels(uint32_t levels, int16_t (&samples)[6]) {
    mixLevels(levels & 31, (levels >> 5) & 31, (levels >> 10) & 31, (levels >> 15) & 15, (levels >> 19) & 127, samples);
}

// Which entry of a table gives a sample; -1 for none.
template <int kValues>
int entryOf(const Terms<kValues>& t, int16_t sample) {
    for (int i = 0; i < kValues; ++i) {
        if (t.sample[i] == sample) return i;
    }
    return -1;
}
}  // namespace

void APU::produceSample() {
    // A zero clock (CLOCK_SPEED 1) makes no samples rather than dividing by it.
    if (halfClock <= 0 || !mixing) return;
    // sampleCount < sampleRate x apuCycles / halfClock (truncated), written
    // without the division: the counts are never negative.
    if (int64_t(sampleRate) * int64_t(apuCycles) < (sampleCount + 1) * int64_t(halfClock)) return;
    takeSample();
}

void APU::takeSample() {
    const int index = int(uint64_t(sampleCount) % kBlockSamples);
    if (index == 0) handOver();

    // A disabled channel takes its silent level, whose term is 0.
    const uint32_t p1 = channelEnabled[Pulse1] ? uint32_t(pulseOutput[0] + 15) : 15;
    const uint32_t p2 = channelEnabled[Pulse2] ? uint32_t(pulseOutput[1] + 15) : 15;
    const uint32_t tri = channelEnabled[Triangle] ? uint32_t(int(triangleOutput) + 15) : 15;
    const uint32_t n = channelEnabled[Noise] ? uint32_t(noiseOutput) : 0;
    const uint32_t dmc = channelEnabled[Dmc] ? uint32_t(dmcLevel) : 64;
    const uint32_t levels = p1 | (p2 << 5) | (tri << 10) | (n << 15) | (dmc << 19);
    sampleLevels[index] = levels;
    // The levels hold for many samples in a row: their samples are mixed once.
    if (levels != mixedLevels) {
        mixedLevels = levels;
        mixLevels(p1, p2, tri, n, dmc, mixedSamples);
    }
    // In locals first: the stores could alias the cache.
    int16_t samples[kChannels + 1];
    std::memcpy(samples, mixedSamples, sizeof samples);
    std::array<int16_t, kBlockSamples>* blocks = sampleBuffers.data();
    for (int k = 0; k <= kChannels; ++k) blocks[k][size_t(index)] = samples[k];
    ++sampleCount;
}

void APU::mixSample(uint32_t levels, int index, std::vector<std::array<int16_t, kBlockSamples>>& blocks) {
    int16_t samples[kChannels + 1];
    mixLevels(levels, samples);
    for (int k = 0; k <= kChannels; ++k) blocks[size_t(k)][size_t(index)] = samples[k];
}

void APU::mixRuns(const LevelRuns& runs, std::vector<std::array<int16_t, kBlockSamples>>& blocks) {
    int index = 0;
    for (int r = 0; r < runs.count; ++r) {
        for (int k = 0; k < runs.length[r]; ++k) mixSample(runs.level[r], index++, blocks);
    }
}

void APU::makeRuns(const uint32_t* levels, int count, LevelRuns& runs) {
    int n = 0;
    for (int i = 0; i < count;) {
        const uint32_t level = levels[i];
        int end = i + 1;
        // Four samples at a time: most runs are long.
        const uint64_t pair = uint64_t(level) << 32 | level;
        for (uint64_t two[2]; end + 4 <= count; end += 4) {
            std::memcpy(two, levels + end, sizeof two);
            if (((two[0] ^ pair) | (two[1] ^ pair)) != 0) break;
        }
        while (end < count && levels[end] == level) ++end;
        runs.level[n] = level;
        runs.length[n] = uint16_t(end - i);
        ++n;
        i = end;
    }
    runs.count = uint16_t(n);
}

void APU::levelsOf(const std::vector<std::array<int16_t, kBlockSamples>>& blocks, uint32_t* levels) {
    for (int i = 0; i < kBlockSamples; ++i) {
        const int found[kChannels] = {entryOf(kPulseTerms, blocks[1][i]), entryOf(kPulseTerms, blocks[2][i]),
                                      entryOf(kTriangleTerms, blocks[3][i]), entryOf(kNoiseTerms, blocks[4][i]),
                                      entryOf(kDmcTerms, blocks[5][i])};
        // A sample no level gives (a damaged file) counts as silence.
        uint32_t word = 0;
        for (int c = 0; c < kChannels; ++c) {
            const int width = (c + 1 < kChannels ? kLevelShift[c + 1] : 26) - kLevelShift[c];
            const uint32_t silent = (kSilence >> kLevelShift[c]) & ((1u << width) - 1);
            word |= uint32_t(found[c] >= 0 ? found[c] : silent) << kLevelShift[c];
        }
        levels[i] = word;
    }
}

void APU::silenceLevels() {
    std::fill(std::begin(sampleLevels), std::end(sampleLevels), kSilence);
    outputRuns.count = 1;
    outputRuns.level[0] = kSilence;
    outputRuns.length[0] = kBlockSamples;
}

void APU::handOver() {
    // Restored levels become samples before the block leaves, and the
    // board's sound joins the samples of this run.
    for (int i = 0; i < unmixedSamples; ++i) mixSample(sampleLevels[i], i, sampleBuffers);
    if (expansion) {
        addExpansion(sampleBuffers, 0, unmixedSamples);
        renderExpansion();
    }
    unmixedSamples = 0;
    // Once per 1024 samples; the reader holds the lock only while it copies.
    std::lock_guard<std::mutex> guard(handoverLock);
    for (int i = 0; i < channelBlocks(); ++i) outputBuffers[i] = sampleBuffers[i];
    makeRuns(sampleLevels, kBlockSamples, outputRuns);
    outputUnmixed = false;
    blockReady.store(true, std::memory_order_release);
}

bool APU::takeBlock(std::array<std::array<int16_t, kBlockSamples>, kBlocks>& out) {
    if (!blockReady.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> guard(handoverLock);
    // Checked again under the lock, so two readers never both take a block.
    if (!blockReady.load(std::memory_order_relaxed)) return false;
    if (outputUnmixed) {
        mixRuns(outputRuns, outputBuffers);
        if (expansion) addExpansion(outputBuffers, 0, kBlockSamples);
        outputUnmixed = false;
    }
    for (int i = 0; i < channelBlocks(); ++i) out[i] = outputBuffers[i];
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
    bringOutputsUpToDate();
    mixing = on;
    nextEvent = kUnscheduled;
    // The count was not kept meanwhile; the blocks start silent either way.
    sampleCount = samplesBefore(apuCycles);
    expansionMade = sampleCount;
    for (auto& block : sampleBuffers) block.fill(0);
    unmixedSamples = 0;
    std::lock_guard<std::mutex> guard(handoverLock);
    silenceLevels();
    blockReady.store(false, std::memory_order_relaxed);
}
