// Channels, counters and the frame sequencer, driven through the register
// side effects the way the CPU bus drives them.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <vector>

#include "apu/apu.h"
#include "cpu/cpu.h"

namespace {

class ApuTest : public ::testing::Test {
protected:
    std::unique_ptr<CPU> cpu = std::make_unique<CPU>();
    APU apu;

    ApuTest() {
        cpu->apu = &apu;
        apu.cpu = cpu.get();
    }
    // Through the bus: side effect first, then the byte is stored.
    void poke(uint16_t address, uint8_t value) { cpu->write(address, value); }
    void step(int n = 1) {
        for (int i = 0; i < n; ++i) apu.stepApu();
    }
};

// The console's length table, rebuilt from its rule.
int lengthRule(int v) {
    if (v & 1) return v == 1 ? 254 : v - 1;
    static const int irregular[32] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 60, 0, 14, 0, 26, 0,
                                      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 72, 0, 16, 0, 32, 0};
    if ((v & 15) <= 8) return (v < 16 ? 10 : 12) << ((v / 2) % 8);
    return irregular[v];
}

TEST_F(ApuTest, LengthLoadsFollowTheTableOnAllFourChannels) {
    const uint16_t loadRegister[4] = {0x4003, 0x4007, 0x400B, 0x400F};
    for (int v = 0; v < 32; ++v) {
        for (int k = 0; k < 4; ++k) {
            poke(loadRegister[k], uint8_t(v << 3));
            EXPECT_EQ(apu.lengthCounter[k], lengthRule(v)) << "index " << v << " channel " << k;
        }
    }
    for (auto [index, length] : {std::pair{1, 254}, {31, 30}, {16, 12}, {24, 192}, {10, 60}, {30, 32}}) {
        poke(0x4003, uint8_t(index << 3));
        EXPECT_EQ(apu.lengthCounter[0], length) << "index " << index;
    }
}

TEST_F(ApuTest, HalfFrameClearsDisabledCountersAndRespectsHalt) {
    poke(0x4015, 0x02);  // pulse 2 only
    poke(0x4000, 0x00);
    poke(0x4004, 0x00);
    poke(0x4003, 0x08);  // 254 on a disabled channel
    poke(0x4007, 0x08);
    EXPECT_EQ(apu.lengthCounter[0], 254);
    step();  // phase 0: half frame
    EXPECT_EQ(apu.lengthCounter[0], 0);
    EXPECT_EQ(apu.lengthCounter[1], 253);
    poke(0x4004, 0x20);  // halt
    step(7458);
    EXPECT_EQ(apu.lengthCounter[1], 253);
    poke(0x4015, 0x00);
    EXPECT_EQ(apu.lengthCounter[1], 0);
}

TEST_F(ApuTest, StatusReportsPulseOneLengthAndFrameIrqOnce) {
    struct Case { uint8_t mode; bool irq; };
    for (const Case& c : {Case{0x00, true}, Case{0x40, false}, Case{0x80, false}, Case{0xC0, false}}) {
        APU fresh;
        fresh.cpu = cpu.get();
        cpu->memory.fill(0);
        cpu->memory[0x4017] = c.mode;  // as after power-on, no write side effect
        fresh.stepApu();
        EXPECT_EQ(fresh.readStatus(), c.irq ? 0x40 : 0x00) << int(c.mode);
        EXPECT_EQ(fresh.readStatus(), 0x00);
    }
    poke(0x4015, 0x0F);
    poke(0x4007, 0x08);
    poke(0x400B, 0x08);
    EXPECT_EQ(apu.readStatus(), 0x00);  // only pulse 1 is reported
    poke(0x4003, 0x08);
    EXPECT_EQ(apu.readStatus(), 0x01);
}

TEST_F(ApuTest, FrameWriteRestartsTheSequenceAtPhaseOne) {
    poke(0x4017, 0x00);
    step(14915);
    EXPECT_FALSE(apu.frameIrq);
    step();
    EXPECT_TRUE(apu.frameIrq);

    // Bit 7 clocks everything at once; the next quarter frame is 3729 steps on.
    poke(0x4015, 0x0F);
    poke(0x4000, 0x10);  // envelope period 0, no halt
    poke(0x4003, 0x08);
    poke(0x4008, 0x05);
    poke(0x400B, 0x08);
    poke(0x4001, 0xA1);  // sweep enabled, divider period 2, shift 1
    poke(0x4002, 0x40);
    poke(0x4017, 0x80);
    EXPECT_FALSE(apu.envelopeStart[0]);
    EXPECT_EQ(apu.envelopeDecay[0], 15);
    EXPECT_EQ(apu.lengthCounter[0], 253);
    EXPECT_EQ(apu.lengthCounter[2], 253);
    EXPECT_EQ(apu.linearCounter, 5);
    EXPECT_EQ(apu.pulsePeriod[0], 0x60);
    EXPECT_EQ(apu.sweepDivider[0], 2);
    step(3728);
    EXPECT_EQ(apu.envelopeDecay[0], 15);
    step();
    EXPECT_EQ(apu.envelopeDecay[0], 14);
    EXPECT_EQ(apu.linearCounter, 4);
}

TEST_F(ApuTest, SweepTargetsMuteAndNegateDifferBetweenPulses) {
    struct Case { uint16_t period; uint8_t sweep; uint16_t after[2]; bool mute; };
    const Case cases[] = {
        {0x100, 0x88, {0x000, 0x000}, false},  // shift 0, negate: P - P and P - P - 1 clamped
        {0x100, 0x89, {0x080, 0x07F}, false},  // shift 1, negate
        {0x100, 0x81, {0x180, 0x180}, false},  // shift 1, add
        {0x400, 0x80, {0x800, 0x800}, true},   // target above 2047 mutes
        {0x005, 0x81, {0x007, 0x007}, true},   // period below 8 mutes
        {0x400, 0x00, {0x400, 0x400}, true},   // disabled: no change, mute still computed
    };
    for (const Case& c : cases) {
        for (int k = 0; k < 2; ++k) {
            apu.pulsePeriod[k] = c.period;
            apu.sweepDivider[k] = 0;
            cpu->memory[0x4001 + 4 * k] = c.sweep;
        }
        apu.clockSweeps();
        for (int k = 0; k < 2; ++k) {
            EXPECT_EQ(apu.pulsePeriod[k], c.after[k]) << std::hex << c.period << " " << int(c.sweep) << " pulse " << k;
            EXPECT_EQ(apu.sweepMute[k], c.mute) << std::hex << c.period << " " << int(c.sweep);
        }
    }
}

TEST_F(ApuTest, PulseWaveformPeriodAndSilencing) {
    poke(0x4015, 0x01);
    poke(0x4000, 0xBF);  // duty 2, halt, constant volume 15
    struct Case { uint16_t period; bool audible; };
    for (const Case& c : {Case{0, false}, Case{7, false}, Case{8, true}, Case{100, true}}) {
        poke(0x4002, uint8_t(c.period));
        poke(0x4003, uint8_t(0x08 | (c.period >> 8)));
        std::vector<int> output;
        for (int i = 0; i < 8 * (c.period + 1) * 3; ++i) {
            step();
            output.push_back(apu.pulseOutput[0]);
        }
        std::set<int> levels(output.begin(), output.end());
        if (!c.audible) {
            EXPECT_EQ(levels, std::set<int>{0}) << c.period;
            continue;
        }
        EXPECT_EQ(levels, (std::set<int>{-15, 15})) << c.period;
        std::vector<size_t> rises;
        for (size_t i = 1; i < output.size(); ++i)
            if (output[i] > output[i - 1]) rises.push_back(i);
        ASSERT_GE(rises.size(), 2u);
        EXPECT_EQ(rises[1] - rises[0], size_t(8 * (c.period + 1))) << c.period;
    }
    // A sweep that would overflow silences only when it is enabled.
    poke(0x4001, 0x00);
    poke(0x4002, 0x00);
    poke(0x4003, 0x0C);  // period $400: the target $800 is out of range
    apu.clockSweeps();
    ASSERT_TRUE(apu.sweepMute[0]);
    step();
    EXPECT_NE(apu.pulseOutput[0], 0);
    cpu->memory[0x4001] = 0x80;
    step();
    EXPECT_EQ(apu.pulseOutput[0], 0);
}

TEST_F(ApuTest, NoiseFeedbackModesGiveTheirSequenceLengths) {
    struct Case { uint8_t mode; size_t length; };
    for (const Case& c : {Case{0x00, 32767}, Case{0x80, 93}}) {
        apu.noiseShift = 1;
        apu.noiseTimer = 0;
        poke(0x400E, c.mode);  // period 4 cycles: a shift every 2 steps
        std::vector<uint16_t> seen;
        for (size_t i = 0; i < 2 * (c.length + 1); ++i) {
            step(2);
            seen.push_back(apu.noiseShift);
        }
        size_t repeat = 1;
        while (repeat < seen.size() && seen[repeat] != seen[0]) ++repeat;
        EXPECT_EQ(repeat, c.length) << int(c.mode);
    }
    poke(0x4015, 0x08);
    poke(0x400C, 0x39);  // constant volume 9
    poke(0x400F, 0x08);
    std::set<int> levels;
    for (int i = 0; i < 200; ++i) {
        step();
        levels.insert(apu.noiseOutput);
        EXPECT_EQ(apu.noiseOutput, (apu.noiseShift & 1) ? 0 : 9);
    }
    EXPECT_EQ(levels, (std::set<int>{0, 9}));
}

TEST_F(ApuTest, DmcFetchWrapsToEightThousandAndRaisesIrq) {
    for (int i = 0; i < 64; ++i) cpu->memory[0xFFC0 + i] = uint8_t(i);
    cpu->memory[0x8000] = 0xA5;
    struct Case { uint8_t flags; bool irq; };
    for (const Case& c : {Case{0x8F, true}, Case{0x0F, false}, Case{0xCF, false}}) {
        cpu->irqPending = false;
        poke(0x4015, 0x00);
        poke(0x4010, c.flags);
        poke(0x4012, 0xFF);  // $FFC0
        poke(0x4013, 0x04);  // 65 bytes: the last one at $8000
        poke(0x4015, 0x10);
        std::vector<uint8_t> fetched;
        while (fetched.size() < 65) {
            const bool empty = apu.dmcBufferEmpty;
            step();
            if (empty && !apu.dmcBufferEmpty) {
                fetched.push_back(apu.dmcBuffer);
                if (fetched.size() < 65) {
                    EXPECT_FALSE(cpu->irqPending);
                }
            }
        }
        EXPECT_EQ(fetched[63], 63);
        EXPECT_EQ(fetched[64], 0xA5);
        EXPECT_EQ(cpu->irqPending, c.irq) << int(c.flags);
        EXPECT_EQ(apu.dmcAddress, (c.flags & 0x40) ? 0xFFC0 : 0x8001);
    }
}

TEST_F(ApuTest, DmcDirectLoadWaitsForTimerAndKeepsSevenBits) {
    poke(0x4010, 0x00);  // rate 428 cycles: the output timer expires every 214 steps
    step(10);
    poke(0x4011, 100);
    step(204);
    EXPECT_EQ(apu.dmcLevel, 0);
    step();
    EXPECT_EQ(apu.dmcLevel, 100);
    poke(0x4011, 200);
    step(214);
    EXPECT_EQ(apu.dmcLevel, 200 & 0x7F);
}

TEST_F(ApuTest, DmcShiftsOutAnEmptyByteThenFallsSilentAtMidLevel) {
    cpu->memory[0xC000] = 0xFF;
    poke(0x4010, 0x0F);  // 27 steps per bit
    poke(0x4011, 10);
    poke(0x4012, 0x00);  // $C000
    poke(0x4013, 0x00);  // one byte
    poke(0x4015, 0x10);
    std::vector<int> levels;
    for (int i = 0; i < 27 * 20; ++i) {
        step();
        if (levels.empty() || levels.back() != apu.dmcLevel) levels.push_back(apu.dmcLevel);
    }
    // Direct load, eight rising bits, eight falling ones; the last fall and
    // the reset to 64 happen at the same timer expiry.
    const std::vector<int> expected = {10, 12, 14, 16, 18, 20, 22, 24, 26,
                                       24, 22, 20, 18, 16, 14, 12, 64};
    EXPECT_EQ(levels, expected);
    EXPECT_TRUE(apu.dmcSilence);
}

}  // namespace
