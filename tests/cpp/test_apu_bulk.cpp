// Bulk catch-up against the step-by-step reference: random register traffic,
// status reads and pokes behind the bus, with every field compared whenever
// the bulk APU has been brought up to date.
#include <gtest/gtest.h>

#include <iterator>
#include <random>

#include "apu/apu_inline.h"
#include "test_support.h"

namespace {

#define SAME(field) ASSERT_EQ(a.field, b.field) << #field
#define SAME_EACH(field, n) \
    for (int k = 0; k < n; ++k) ASSERT_EQ(a.field[k], b.field[k]) << #field << "[" << k << "]"

void expectSameState(const APU& a, const APU& b, int64_t when) {
    SCOPED_TRACE(testing::Message() << "at APU cycle " << when);
    SAME(apuCycles);
    SAME(frameReset);
    SAME(frameIrq);
    SAME(sampleCount);
    SAME_EACH(channelEnabled, 5);
    SAME_EACH(lengthCounter, 4);
    SAME_EACH(envelopeStart, 3);
    SAME_EACH(envelopeDivider, 3);
    SAME_EACH(envelopeDecay, 3);
    SAME_EACH(pulsePeriod, 2);
    SAME_EACH(pulseTimer, 2);
    SAME_EACH(dutyStep, 2);
    SAME_EACH(pulseOutput, 2);
    SAME_EACH(sweepDivider, 2);
    SAME_EACH(sweepReload, 2);
    SAME_EACH(sweepMute, 2);
    SAME(trianglePeriod);
    SAME(triangleTimer);
    SAME(triangleStep);
    SAME(triangleOutput);
    SAME(linearCounter);
    SAME(linearReload);
    SAME(noiseShift);
    SAME(noiseTimer);
    SAME(noiseOutput);
    SAME(dmcFlags);
    SAME(dmcLevel);
    SAME(dmcDirectLoad);
    SAME(dmcSampleAddress);
    SAME(dmcSampleLength);
    SAME(dmcAddress);
    SAME(dmcBytesRemaining);
    SAME(dmcBuffer);
    SAME(dmcBufferEmpty);
    SAME(dmcShift);
    SAME(dmcBitsRemaining);
    SAME(dmcSilence);
    SAME(dmcTimer);
    SAME_EACH(sampleBuffers, APU::kBlocks);
}

// Register bytes biased towards audible settings, with the odd extreme.
uint8_t randomValue(std::mt19937& rng, uint16_t address) {
    const int byte = int(rng() & 0xFF);
    const int choice = int(rng() % 10);
    switch (address) {
        case 0x4002:
        case 0x4006:
        case 0x400A: return uint8_t(choice < 2 ? choice : byte);  // periods 0 and 1 too
        case 0x4003:
        case 0x4007:
        case 0x400B: return uint8_t((byte & 0xF8) | (choice < 3 ? 0 : choice & 7));
        case 0x4010: return uint8_t(byte & (choice < 5 ? 0xCF : 0xFF));
        case 0x4013: return uint8_t(choice < 5 ? choice : byte & 7);
        case 0x4015: return uint8_t(choice < 7 ? 0x1F : byte);
        case 0x4017: return uint8_t(choice < 6 ? 0x40 : byte & 0xC0);
        default: return uint8_t(byte);
    }
}

// writePerMille: register writes per thousand instructions; sparse writes
// let counters, envelopes and sweeps run down between them.
struct Mix {
    uint32_t seed;
    int32_t halfClock;
    int instructions;
    int writePerMille;
};

class ApuBulkTest : public ::testing::TestWithParam<Mix> {};

TEST_P(ApuBulkTest, MatchesSteppingOneByOne) {
    const Mix mix = GetParam();
    Machine bulk, reference;
    bulk.apu->halfClock = reference.apu->halfClock = mix.halfClock;
    std::mt19937 rng(mix.seed);
    // Both sides see the same bus traffic, through the bus or behind it.
    auto write = [&](uint16_t address, uint8_t value) {
        bulk.cpu->write(address, value);
        reference.cpu->write(address, value);
    };
    auto store = [&](uint16_t address, uint8_t value) {
        bulk.cpu->memory[address] = reference.cpu->memory[address] = value;
    };
    for (uint32_t a = 0x8000; a < 0x10000; ++a) store(uint16_t(a), uint8_t(rng()));  // DMC samples
    static constexpr uint16_t kWritten[] = {0x4000, 0x4001, 0x4002, 0x4003, 0x4004, 0x4005, 0x4006,
                                            0x4007, 0x4008, 0x400A, 0x400B, 0x400C, 0x400E, 0x400F,
                                            0x4010, 0x4011, 0x4012, 0x4013, 0x4015, 0x4017};
    auto anyRegister = [&] { return kWritten[rng() % std::size(kWritten)]; };
    // Every register set once, and the four tone channels on.
    for (uint16_t address : kWritten) write(address, address == 0x4015 ? 0x0F : randomValue(rng, address));
    int64_t cpuCycles = 0;
    for (int i = 0; i < mix.instructions; ++i) {
        // What the instruction does happens before the catch-up, as in advance.
        const int what = int(rng() % 100);
        if (int(rng() % 1000) < mix.writePerMille) {
            const uint16_t address = anyRegister();
            write(address, randomValue(rng, address));
        } else if (what < 2) {
            ASSERT_EQ(bulk.cpu->read(0x4015), reference.cpu->read(0x4015)) << "instruction " << i;
        } else if (what == 5 && rng() % 100 < 5) {
            // Behind the bus, as a state load or a test does it.
            const uint16_t address = anyRegister();
            store(address, randomValue(rng, address));
        }
        cpuCycles += 2 + rng() % 6;
        bulk.apu->runTo((cpuCycles + 1) / 2);
        while (2 * int64_t(reference.apu->apuCycles) < cpuCycles) reference.apu->stepApu();
        ASSERT_EQ(bulk.apu->apuCycles, reference.apu->apuCycles);
        ASSERT_EQ(bulk.cpu->irqPending, reference.cpu->irqPending) << "instruction " << i;
        if (reference.cpu->irqPending && rng() % 2) bulk.cpu->irqPending = reference.cpu->irqPending = false;
        if (i % 97 == 0 || rng() % 50 == 0) {
            bulk.apu->bringOutputsUpToDate();
            expectSameState(*bulk.apu, *reference.apu, reference.apu->apuCycles);
        }
    }
    bulk.apu->bringOutputsUpToDate();
    expectSameState(*bulk.apu, *reference.apu, reference.apu->apuCycles);
}

// A slow sample clock makes the timer-only stretches long; a clock of 0 takes no
// samples at all, so only the sequencer and the DMC interrupt the counting.
INSTANTIATE_TEST_SUITE_P(Seeds, ApuBulkTest,
                         ::testing::Values(Mix{1, 894886, 60000, 30}, Mix{2, 894886, 60000, 30},
                                           Mix{3, 894886, 60000, 30}, Mix{4, 1073741823, 40000, 30},
                                           Mix{5, 0, 40000, 30}, Mix{6, 1000, 20000, 30}, Mix{7, 894886, 400000, 1},
                                           Mix{8, 894886, 400000, 1}));

// Bulk and single steps may be mixed; a single step leaves everything exact.
TEST(ApuBulk, StepApuAfterRunToSeesTheAppliedTimerSteps) {
    Machine bulk, reference;
    for (Machine* m : {&bulk, &reference}) {
        m->apu->halfClock = 894886;
        m->writes({{0x4015, 0x0F},
                   {0x4000, 0xBF},
                   {0x4002, 0x37},
                   {0x4003, 0x09},
                   {0x4008, 0xFF},
                   {0x400A, 0x21},
                   {0x400B, 0x08},
                   {0x400C, 0x3F},
                   {0x400E, 0x02},
                   {0x400F, 0x08}});
    }
    bulk.apu->runTo(1234);
    while (reference.apu->apuCycles < 1234) reference.apu->stepApu();
    bulk.apu->stepApu();
    reference.apu->stepApu();
    expectSameState(*bulk.apu, *reference.apu, 1235);
}

}  // namespace
