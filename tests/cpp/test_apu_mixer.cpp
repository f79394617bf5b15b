// The sample stage, the block cadence and the handover to a reader thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "apu/apu_inline.h"
#include "test_support.h"

namespace {

using Block = std::array<std::array<int16_t, APU::kBlockSamples>, APU::kBlocks>;

class MixerTest : public ::testing::Test, public Machine {
protected:
    MixerTest() {
        apu->sampleRate = 44100;
        apu->halfClock = 1789773 / 2;
    }
    // Steps until the next sample has been produced; returns its index.
    int64_t nextSample() {
        const int64_t before = apu->sampleCount;
        while (apu->sampleCount == before) apu->stepApu();
        return before % APU::kBlockSamples;
    }
    // Every channel busy: both pulses, triangle, noise and a looping DMC sample.
    void playAll() {
        writes({{0x4000, 0xBF},
                {0x4002, 0x53},
                {0x4003, 0x08},
                {0x4004, 0x7C},
                {0x4006, 0x91},
                {0x4007, 0x08},
                {0x4008, 0xFF},
                {0x400A, 0x40},
                {0x400B, 0x08},
                {0x400C, 0x3B},
                {0x400E, 0x03},
                {0x400F, 0x08},
                {0x4010, 0x4F},
                {0x4011, 0x7F},
                {0x4012, 0x00},
                {0x4013, 0x10}});
        for (int i = 0; i < 0x101; ++i) cpu->memory[0xC000 + i] = uint8_t(i * 37);
        writes({{0x4015, 0x1F}});  // last: it starts the DMC sample
    }
};

// The mix recomputed from the outputs the step left behind, one rounding per line.
int16_t expectedMix(const APU& a) {
    const float p1 = a.channelEnabled[0] ? float(a.pulseOutput[0] * 0.00752) : 0.0f;
    const float p2 = a.channelEnabled[1] ? float(a.pulseOutput[1] * 0.00752) : 0.0f;
    const float tri = a.channelEnabled[2] ? float(double(a.triangleOutput) * 0.00851) : 0.0f;
    const float noise = a.channelEnabled[3] ? float(a.noiseOutput * 0.00494) : 0.0f;
    const float dmc = a.channelEnabled[4] ? float((2 * a.dmcLevel - 128) * 0.00335) : 0.0f;
    volatile float mix = p2 + p1;
    mix = mix + tri;
    mix = mix + noise;
    mix = mix + dmc;
    volatile float scaled = mix * 32767.0f;
    return int16_t(int32_t(scaled));
}

TEST_F(MixerTest, SampleCountFollowsTheClockRatio) {
    struct Case {
        int32_t halfClock;
        int64_t steps;
        int64_t samples;
    };
    for (const Case& c : {Case{894886, 894887, 44100}, Case{894886, 20000, 985}, Case{1789773, 1789774, 44100},
                          Case{1000, 50, 49}, Case{0, 5000, 0}}) {
        APU fresh;
        fresh.cpu = cpu.get();
        fresh.halfClock = c.halfClock;
        for (int64_t i = 0; i < c.steps; ++i) fresh.stepApu();
        EXPECT_EQ(fresh.sampleCount, c.samples) << c.halfClock << " " << c.steps;
        EXPECT_EQ(fresh.apuCycles, c.steps);
    }
}

TEST_F(MixerTest, ConstantVolumePulseGives3696InItsBlockAndTheMix) {
    writes({{0x4015, 0x01}, {0x4000, 0xFF}, {0x4002, 0x20}, {0x4003, 0x08}});  // duty 3, constant volume 15
    Block block{};
    while (apu->sampleCount < 1025) apu->stepApu();
    ASSERT_TRUE(apu->takeBlock(block));
    EXPECT_EQ(block[0], block[1]);
    EXPECT_NE(std::count(block[1].begin(), block[1].end(), 3696), 0);
    for (int16_t s : block[1]) EXPECT_TRUE(s == 3696 || s == -3696) << s;
    for (int k = 2; k < APU::kBlocks; ++k)
        EXPECT_EQ(std::count(block[k].begin(), block[k].end(), 0), APU::kBlockSamples) << k;
}

TEST_F(MixerTest, MixIsBitExactAndSilentChannelsGiveZero) {
    apu->dmcLevel = 0;  // disabled, it must not pull the mix to -128 x weight
    for (int i = 0; i < 100; ++i) {
        const int64_t index = nextSample();
        for (int k = 0; k < APU::kBlocks; ++k) ASSERT_EQ(apu->sampleBuffers[k][index], 0) << k;
    }
    playAll();
    // The APU's own blocks; the cartridge's (no board here) stays silent.
    int64_t nonzeroChannels[APU::kBlocks] = {};
    for (int i = 0; i < 3000; ++i) {
        const int64_t index = nextSample();
        ASSERT_EQ(apu->sampleBuffers[0][index], expectedMix(*apu)) << "sample " << i;
        for (int k = 0; k < APU::kBlocks; ++k) nonzeroChannels[k] += apu->sampleBuffers[k][index] != 0;
    }
    for (int k = 0; k < APU::kExpansionBlock; ++k) EXPECT_GT(nonzeroChannels[k], 0) << k;
    EXPECT_EQ(nonzeroChannels[APU::kExpansionBlock], 0);
}

// Only the enable flag changes between these samples; each must follow it.
// A full-scale direct load must not wrap the sample.
TEST_F(MixerTest, EnableFlagAloneChangesTheSampleAndFullScaleDoesNotWrap) {
    writes({{0x4011, 0xFF}});
    for (int i = 0; i < 300; ++i) nextSample();  // the direct load has landed
    ASSERT_EQ(apu->dmcLevel, 127);
    const int16_t full = int16_t(int32_t(float((2 * 127 - 128) * 0.00335) * 32767.0f));
    for (const uint8_t status : {0x10, 0x00, 0x10, 0x00}) {
        writes({{0x4015, status}});  // DMC on or off, no sample: only the direct load sets it
        for (int i = 0; i < 3; ++i) {
            const int64_t index = nextSample();
            EXPECT_EQ(apu->sampleBuffers[5][index], status ? full : 0) << int(status);
            EXPECT_EQ(apu->sampleBuffers[0][index], status ? full : 0) << int(status);
        }
    }
}

TEST_F(MixerTest, BlocksAreHandedOverEvery1024SamplesAndTakenOnce) {
    playAll();
    Block block{};
    std::vector<int16_t> produced;
    std::vector<int64_t> handovers;
    while (handovers.size() < 4) {
        const int64_t index = nextSample();
        produced.push_back(apu->sampleBuffers[0][index]);
        if (!apu->takeBlock(block)) continue;
        handovers.push_back(apu->sampleCount - 1);
        EXPECT_FALSE(apu->takeBlock(block));
        const size_t n = handovers.size() - 1;
        if (n == 0) {
            for (const auto& b : block) EXPECT_EQ(std::count(b.begin(), b.end(), 0), APU::kBlockSamples);
            continue;
        }
        EXPECT_TRUE(std::equal(block[0].begin(), block[0].end(), produced.begin() + (n - 1) * 1024)) << "block " << n;
    }
    EXPECT_EQ(handovers, (std::vector<int64_t>{0, 1024, 2048, 3072}));
    // An untaken block is replaced by the next one.
    while (apu->sampleCount < 6 * 1024) apu->stepApu();
    const auto latest = apu->sampleBuffers[0];
    nextSample();
    ASSERT_TRUE(apu->takeBlock(block));
    EXPECT_EQ(block[0], latest);
}

TEST_F(MixerTest, ConcurrentReaderGetsWholeBlocksAtMostOnce) {
    playAll();
    std::vector<Block> handedOver;  // the producer's own record, in order
    std::vector<Block> taken;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        Block block{};
        while (!done.load()) {
            if (apu->takeBlock(block)) taken.push_back(block);
        }
        if (apu->takeBlock(block)) taken.push_back(block);
    });
    for (int n = 0; n < 40; ++n) {
        // The next sample hands the current buffers over.
        Block snapshot;
        for (int k = 0; k < APU::kBlocks; ++k) snapshot[k] = apu->sampleBuffers[k];
        handedOver.push_back(snapshot);
        while (apu->sampleCount < int64_t(n) * 1024 + 1) apu->stepApu();
        if (n + 1 < 40)
            while (apu->sampleCount < int64_t(n + 1) * 1024) apu->stepApu();
    }
    done = true;
    reader.join();
    ASSERT_FALSE(taken.empty());
    size_t next = 0;
    for (const Block& b : taken) {
        while (next < handedOver.size() && handedOver[next] != b) ++next;
        ASSERT_LT(next, handedOver.size()) << "a taken block matches no handed-over block, or repeats one";
        ++next;
    }
}

}  // namespace

// A board's sound as the contract in expansion_sound.h has it: the output
// at each sample's CPU cycle.
struct RampSound final : ExpansionSound {
    std::vector<int64_t> seen;
    int16_t level = 0;
    void runTo(int64_t cycle) override { clockedTo = std::max<int64_t>(clockedTo, cycle); }
    void render(const int64_t* cycles, int count, int16_t* out) override {
        for (int i = 0; i < count; ++i) {
            EXPECT_GE(cycles[i], clockedTo);
            runTo(cycles[i]);
            seen.push_back(cycles[i]);
            out[i] = level ? level : int16_t(cycles[i] % 20000);
        }
    }
};

TEST_F(MixerTest, BoardSoundJoinsTheMixAtEachSamplesCycleInBulkOrStepByStep) {
    for (const bool bulk : {false, true}) {
        APU fresh;
        fresh.cpu = cpu.get();
        RampSound sound;
        fresh.attachExpansion(&sound);
        ASSERT_EQ(fresh.channelBlocks(), APU::kBlocks);
        // A pulse at full volume: the mix without the board is +-3696.
        cpu->memory[0x4015] = 0x01;
        fresh.writeRegister(0x4015, 0x01);
        for (const auto& [a, v] : {std::pair{0x4000, 0xFF}, {0x4002, 0x20}, {0x4003, 0x08}}) {
            cpu->memory[a] = uint8_t(v);
            fresh.writeRegister(uint16_t(a), uint8_t(v));
        }
        if (bulk) fresh.runTo(30000);
        else
            while (fresh.apuCycles < 30000) fresh.stepApu();
        const int64_t made = fresh.sampleCount;
        ASSERT_EQ(int64_t(sound.seen.size()), made);
        const int64_t blockStart = (made - 1) / APU::kBlockSamples * APU::kBlockSamples;
        for (int64_t k = 0; k < made; ++k) {
            const int64_t need = (k + 1) * int64_t(fresh.halfClock);
            ASSERT_EQ(sound.seen[size_t(k)], 2 * ((need + fresh.sampleRate - 1) / fresh.sampleRate)) << k;
            if (k < blockStart) continue;  // handed over
            const auto i = size_t(k % APU::kBlockSamples);
            const int16_t board = fresh.sampleBuffers[APU::kExpansionBlock][i];
            ASSERT_EQ(board, int16_t(sound.seen[size_t(k)] % 20000));
            ASSERT_EQ(fresh.sampleBuffers[0][i] - board, fresh.sampleBuffers[1][i]) << k;
        }
        // Loud enough to clip: the mix saturates instead of wrapping.
        sound.level = 32000;
        fresh.runTo(fresh.apuCycles + 2000);
        const auto last = size_t((fresh.sampleCount - 1) % APU::kBlockSamples);
        EXPECT_EQ(fresh.sampleBuffers[0][last], fresh.sampleBuffers[1][last] > 0 ? 32767 : 32000 - 3696);
    }
}

TEST_F(MixerTest, AudioOffNeverAsksTheBoard) {
    RampSound sound;
    apu->attachExpansion(&sound);
    apu->setMixing(false);
    apu->runTo(200000);
    EXPECT_TRUE(sound.seen.empty());
    apu->attachExpansion(nullptr);
    EXPECT_EQ(apu->channelBlocks(), APU::kBlocks - 1);
}
