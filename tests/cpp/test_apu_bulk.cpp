// Bulk catch-up against the step-by-step reference: random register traffic,
// status reads and pokes behind the bus, with every field compared whenever
// the bulk APU has been brought up to date.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "apu/apu.h"
#include "cpu/cpu.h"

namespace {

struct Machine {
    std::unique_ptr<CPU> cpu = std::make_unique<CPU>();
    std::unique_ptr<APU> apu = std::make_unique<APU>();
    explicit Machine(int32_t halfClock) {
        cpu->apu = apu.get();
        apu->cpu = cpu.get();
        apu->halfClock = halfClock;
    }
};

void expectSameState(const APU& a, const APU& b, int64_t when) {
    SCOPED_TRACE(testing::Message() << "at APU cycle " << when);
    ASSERT_EQ(a.apuCycles, b.apuCycles);
    ASSERT_EQ(a.frameReset, b.frameReset);
    for (int k = 0; k < 5; ++k) ASSERT_EQ(a.channelEnabled[k], b.channelEnabled[k]) << k;
    for (int k = 0; k < 4; ++k) ASSERT_EQ(a.lengthCounter[k], b.lengthCounter[k]) << k;
    for (int k = 0; k < 3; ++k) {
        ASSERT_EQ(a.envelopeStart[k], b.envelopeStart[k]) << k;
        ASSERT_EQ(a.envelopeDivider[k], b.envelopeDivider[k]) << k;
        ASSERT_EQ(a.envelopeDecay[k], b.envelopeDecay[k]) << k;
    }
    for (int k = 0; k < 2; ++k) {
        ASSERT_EQ(a.pulsePeriod[k], b.pulsePeriod[k]) << k;
        ASSERT_EQ(a.pulseTimer[k], b.pulseTimer[k]) << k;
        ASSERT_EQ(a.dutyStep[k], b.dutyStep[k]) << k;
        ASSERT_EQ(a.pulseOutput[k], b.pulseOutput[k]) << k;
        ASSERT_EQ(a.sweepDivider[k], b.sweepDivider[k]) << k;
        ASSERT_EQ(a.sweepReload[k], b.sweepReload[k]) << k;
        ASSERT_EQ(a.sweepMute[k], b.sweepMute[k]) << k;
    }
    ASSERT_EQ(a.trianglePeriod, b.trianglePeriod);
    ASSERT_EQ(a.triangleTimer, b.triangleTimer);
    ASSERT_EQ(a.triangleStep, b.triangleStep);
    ASSERT_EQ(a.triangleOutput, b.triangleOutput);
    ASSERT_EQ(a.linearCounter, b.linearCounter);
    ASSERT_EQ(a.linearReload, b.linearReload);
    ASSERT_EQ(a.noiseShift, b.noiseShift);
    ASSERT_EQ(a.noiseTimer, b.noiseTimer);
    ASSERT_EQ(a.noiseOutput, b.noiseOutput);
    ASSERT_EQ(a.dmcFlags, b.dmcFlags);
    ASSERT_EQ(a.dmcLevel, b.dmcLevel);
    ASSERT_EQ(a.dmcDirectLoad, b.dmcDirectLoad);
    ASSERT_EQ(a.dmcAddress, b.dmcAddress);
    ASSERT_EQ(a.dmcBytesRemaining, b.dmcBytesRemaining);
    ASSERT_EQ(a.dmcBuffer, b.dmcBuffer);
    ASSERT_EQ(a.dmcBufferEmpty, b.dmcBufferEmpty);
    ASSERT_EQ(a.dmcShift, b.dmcShift);
    ASSERT_EQ(a.dmcBitsRemaining, b.dmcBitsRemaining);
    ASSERT_EQ(a.dmcSilence, b.dmcSilence);
    ASSERT_EQ(a.dmcTimer, b.dmcTimer);
    ASSERT_EQ(a.frameIrq, b.frameIrq);
    ASSERT_EQ(a.sampleCount, b.sampleCount);
    for (int k = 0; k < APU::kBlocks; ++k) ASSERT_EQ(a.sampleBuffers[k], b.sampleBuffers[k]) << k;
}

// Register bytes biased towards audible settings, with the odd extreme.
uint8_t randomValue(std::mt19937& rng, uint16_t address) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> pick(0, 9);
    const int choice = pick(rng);
    switch (address) {
        case 0x4002: case 0x4006: case 0x400A:
            return choice < 2 ? uint8_t(choice) : uint8_t(byte(rng));  // periods 0 and 1 too
        case 0x4003: case 0x4007: case 0x400B:
            return uint8_t((byte(rng) & 0xF8) | (choice < 3 ? 0 : choice & 7));
        case 0x4010: return uint8_t(byte(rng) & (choice < 5 ? 0xCF : 0xFF));
        case 0x4013: return uint8_t(choice < 5 ? choice : byte(rng) & 7);
        case 0x4015: return uint8_t(choice < 7 ? 0x1F : byte(rng));
        case 0x4017: return uint8_t(choice < 6 ? 0x40 : byte(rng) & 0xC0);
        default: return uint8_t(byte(rng));
    }
}

// writePerMille: register writes per thousand instructions; sparse writes
// let counters, envelopes and sweeps run down between them.
struct Mix { uint32_t seed; int32_t halfClock; int instructions; int writePerMille; };

class ApuBulkTest : public ::testing::TestWithParam<Mix> {};

TEST_P(ApuBulkTest, MatchesSteppingOneByOne) {
    const Mix mix = GetParam();
    Machine bulk(mix.halfClock), reference(mix.halfClock);
    std::mt19937 rng(mix.seed);
    for (uint32_t a = 0x8000; a < 0x10000; ++a) {
        const uint8_t sample = uint8_t(rng());
        bulk.cpu->memory[a] = sample;
        reference.cpu->memory[a] = sample;
    }
    static constexpr uint16_t kWritten[] = {0x4000, 0x4001, 0x4002, 0x4003, 0x4004, 0x4005, 0x4006, 0x4007,
                                            0x4008, 0x400A, 0x400B, 0x400C, 0x400E, 0x400F, 0x4010, 0x4011,
                                            0x4012, 0x4013, 0x4015, 0x4017};
    std::uniform_int_distribution<int> cycles(2, 7), action(0, 99), perMille(0, 999),
        reg(0, int(std::size(kWritten)) - 1);
    // Every register set once, and the four tone channels on.
    for (uint16_t address : kWritten) {
        const uint8_t value = address == 0x4015 ? 0x0F : randomValue(rng, address);
        bulk.cpu->write(address, value);
        reference.cpu->write(address, value);
    }
    int64_t cpuCycles = 0;
    for (int i = 0; i < mix.instructions; ++i) {
        // What the instruction does happens before the catch-up, as in advance.
        const int what = action(rng);
        if (perMille(rng) < mix.writePerMille) {
            const uint16_t address = kWritten[reg(rng)];
            const uint8_t value = randomValue(rng, address);
            bulk.cpu->write(address, value);
            reference.cpu->write(address, value);
        } else if (what < 2) {
            ASSERT_EQ(bulk.cpu->read(0x4015), reference.cpu->read(0x4015)) << "instruction " << i;
        } else if (what == 5 && action(rng) < 5) {
            // Behind the bus, as a state load or a test does it.
            const uint16_t address = kWritten[reg(rng)];
            const uint8_t value = randomValue(rng, address);
            bulk.cpu->memory[address] = value;
            reference.cpu->memory[address] = value;
        }
        cpuCycles += cycles(rng);
        bulk.apu->catchUp((cpuCycles + 1) / 2);
        while (2 * int64_t(reference.apu->apuCycles) < cpuCycles) reference.apu->stepApu();
        ASSERT_EQ(bulk.apu->apuCycles, reference.apu->apuCycles);
        ASSERT_EQ(bulk.cpu->irqPending, reference.cpu->irqPending) << "instruction " << i;
        if (reference.cpu->irqPending && action(rng) < 50) {
            bulk.cpu->irqPending = reference.cpu->irqPending = false;
        }
        if (i % 97 == 0 || action(rng) < 2) {
            bulk.apu->sync();
            expectSameState(*bulk.apu, *reference.apu, reference.apu->apuCycles);
        }
    }
    bulk.apu->sync();
    expectSameState(*bulk.apu, *reference.apu, reference.apu->apuCycles);
}

// A slow sample clock makes the quiet stretches long; a clock of 0 takes no
// samples at all, so only the sequencer and the DMC interrupt the counting.
INSTANTIATE_TEST_SUITE_P(Seeds, ApuBulkTest,
                         ::testing::Values(Mix{1, 894886, 60000, 30}, Mix{2, 894886, 60000, 30},
                                           Mix{3, 894886, 60000, 30}, Mix{4, 1073741823, 40000, 30},
                                           Mix{5, 0, 40000, 30}, Mix{6, 1000, 20000, 30},
                                           Mix{7, 894886, 400000, 1}, Mix{8, 894886, 400000, 1}));

// Bulk and single steps may be mixed; a single step leaves everything exact.
TEST(ApuBulk, StepApuAfterCatchUpSeesTheSettledTimers) {
    Machine bulk(894886), reference(894886);
    for (Machine* m : {&bulk, &reference}) {
        m->cpu->write(0x4015, 0x0F);
        m->cpu->write(0x4000, 0xBF);
        m->cpu->write(0x4002, 0x37);
        m->cpu->write(0x4003, 0x09);
        m->cpu->write(0x4008, 0xFF);
        m->cpu->write(0x400A, 0x21);
        m->cpu->write(0x400B, 0x08);
        m->cpu->write(0x400C, 0x3F);
        m->cpu->write(0x400E, 0x02);
        m->cpu->write(0x400F, 0x08);
    }
    bulk.apu->catchUp(1234);
    while (reference.apu->apuCycles < 1234) reference.apu->stepApu();
    bulk.apu->stepApu();
    reference.apu->stepApu();
    expectSameState(*bulk.apu, *reference.apu, 1235);
}

}  // namespace
