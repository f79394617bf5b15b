// The cartridge's sound in the sample stage: once per bulk run the board
// renders the samples that run made, into its own block and the mix.
#include <algorithm>

#include "apu/apu.h"
#include "cpu/cpu.h"

namespace {
int16_t addSaturated(int16_t mix, int16_t board) {
    return int16_t(std::clamp(int32_t(mix) + int32_t(board), -32768, 32767));
}
}  // namespace

void APU::attachExpansion(ExpansionSound* sound) {
    expansion = sound;
    expansionMade = sampleCount;
    if (sound) sound->clockedTo = cpu ? int64_t(cpu->cycles) : 0;
    std::fill(sampleBuffers[kExpansionBlock].begin(), sampleBuffers[kExpansionBlock].end(), int16_t(0));
}

void APU::renderExpansion() {
    // Called before a handover too, so the samples all lie in one block.
    const int count = int(sampleCount - expansionMade);
    if (count <= 0) {
        expansionMade = sampleCount;
        return;
    }
    // Sample k is made in the first step whose share of the sample clock
    // reaches k + 1 (produceSample); its CPU cycle is twice the step.
    int64_t cycles[kBlockSamples];
    int16_t out[kBlockSamples];
    for (int i = 0; i < count; ++i) {
        const int64_t need = (expansionMade + i + 1) * int64_t(halfClock);
        cycles[i] = 2 * ((need + sampleRate - 1) / sampleRate);
    }
    expansion->render(cycles, count, out);
    const int first = int(expansionMade % kBlockSamples);
    auto& own = sampleBuffers[kExpansionBlock];
    auto& mix = sampleBuffers[0];
    for (int i = 0; i < count; ++i) {
        own[size_t(first + i)] = out[i];
        mix[size_t(first + i)] = addSaturated(mix[size_t(first + i)], out[i]);
    }
    expansionMade = sampleCount;
}

void APU::addExpansion(std::vector<std::array<int16_t, kBlockSamples>>& blocks, int from, int to) {
    for (int i = from; i < to; ++i)
        blocks[0][size_t(i)] = addSaturated(blocks[0][size_t(i)], blocks[kExpansionBlock][size_t(i)]);
}
