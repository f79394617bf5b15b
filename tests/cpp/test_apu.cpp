// Channels, counters and the frame sequencer, driven through the register
// side effects the way the CPU bus drives them.
#include <gtest/gtest.h>

#include <set>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

class ApuTest : public ::testing::Test, public Machine {
protected:
    APU& a = *apu;
    void step(int n = 1) {
        for (int i = 0; i < n; ++i) a.stepApu();
    }
};

TEST_F(ApuTest, LengthLoadsFollowTheTableOnAllFourChannels) {
    const int table[32] = {10, 254, 20, 2,  40, 4,  80, 6,  160, 8,  60, 10, 14, 12, 26, 14,
                           12, 16,  24, 18, 48, 20, 96, 22, 192, 24, 72, 26, 16, 28, 32, 30};
    const uint16_t loadRegister[4] = {0x4003, 0x4007, 0x400B, 0x400F};
    for (int v = 0; v < 32; ++v) {
        for (int k = 0; k < 4; ++k) {
            cpu->write(loadRegister[k], uint8_t(v << 3 | (k + v) % 8));  // the low bits do not matter
            EXPECT_EQ(a.lengthCounter[k], table[v]) << "index " << v << " channel " << k;
        }
    }
}

TEST_F(ApuTest, HalfFrameClearsDisabledCountersAndRespectsHalt) {
    writes({{0x4015, 0x02}, {0x4000, 0x00}, {0x4004, 0x00}, {0x4003, 0x08}, {0x4007, 0x08}});  // pulse 2 only
    EXPECT_EQ(a.lengthCounter[0], 254);  // loaded although disabled
    step();                              // phase 0: half frame
    EXPECT_EQ(a.lengthCounter[0], 0);
    EXPECT_EQ(a.lengthCounter[1], 253);
    writes({{0x4004, 0x20}});  // halt
    step(7458);
    EXPECT_EQ(a.lengthCounter[1], 253);
    writes({{0x4015, 0x00}});
    EXPECT_EQ(a.lengthCounter[1], 0);
}

TEST_F(ApuTest, StatusReportsPulseOneLengthAndFrameIrqOnce) {
    for (const uint8_t mode : {0x00, 0x40, 0x80, 0xC0}) {
        APU fresh;
        fresh.cpu = cpu.get();
        cpu->memory.fill(0);
        cpu->memory[0x4017] = mode;  // as after power-on, no write side effect
        fresh.stepApu();
        EXPECT_EQ(fresh.readStatus(), mode == 0 ? 0x40 : 0x00) << int(mode);
        EXPECT_EQ(fresh.readStatus(), 0x00);
    }
    writes({{0x4015, 0x0F}, {0x4007, 0x08}, {0x400B, 0x08}});
    EXPECT_EQ(a.readStatus(), 0x00);  // only pulse 1 is reported
    writes({{0x4003, 0x08}});
    EXPECT_EQ(a.readStatus(), 0x01);
}

TEST_F(ApuTest, FrameWriteRestartsTheSequenceAtPhaseOne) {
    writes({{0x4017, 0x00}});
    step(14915);
    EXPECT_FALSE(a.frameIrq);
    step();
    EXPECT_TRUE(a.frameIrq);

    // Bit 7 clocks everything at once; the next quarter frame is 3729 steps on.
    // Pulse 1: envelope period 0, no halt; sweep enabled, divider period 2, shift 1.
    writes({{0x4015, 0x0F},
            {0x4000, 0x10},
            {0x4003, 0x08},
            {0x4008, 0x05},
            {0x400B, 0x08},
            {0x4001, 0xA1},
            {0x4002, 0x40},
            {0x4017, 0x80}});
    EXPECT_FALSE(a.envelopeStart[0]);
    EXPECT_EQ(a.envelopeDecay[0], 15);
    EXPECT_EQ(a.lengthCounter[0], 253);
    EXPECT_EQ(a.lengthCounter[2], 253);
    EXPECT_EQ(a.linearCounter, 5);
    EXPECT_EQ(a.pulsePeriod[0], 0x60);
    EXPECT_EQ(a.sweepDivider[0], 2);
    step(3728);
    EXPECT_EQ(a.envelopeDecay[0], 15);
    step();
    EXPECT_EQ(a.envelopeDecay[0], 14);
    EXPECT_EQ(a.linearCounter, 4);
}

TEST_F(ApuTest, SweepTargetsMuteAndNegateDifferBetweenPulses) {
    struct Case {
        uint16_t period;
        uint8_t sweep;
        uint16_t after[2];
        bool mute;
    };
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
            a.pulsePeriod[k] = c.period;
            a.sweepDivider[k] = 0;
            cpu->memory[0x4001 + 4 * k] = c.sweep;
        }
        a.clockSweeps();
        for (int k = 0; k < 2; ++k) {
            EXPECT_EQ(a.pulsePeriod[k], c.after[k]) << std::hex << c.period << " " << int(c.sweep) << " pulse " << k;
            EXPECT_EQ(a.sweepMute[k], c.mute) << std::hex << c.period << " " << int(c.sweep);
        }
    }
}

TEST_F(ApuTest, PulseWaveformPeriodAndSilencing) {
    writes({{0x4015, 0x01}, {0x4000, 0xBF}});  // duty 2, halt, constant volume 15
    for (const int period : {0, 7, 8, 100}) {
        writes({{0x4002, uint8_t(period)}, {0x4003, uint8_t(0x08 | (period >> 8))}});
        std::vector<int> output;
        for (int i = 0; i < 8 * (period + 1) * 3; ++i) {
            step();
            output.push_back(a.pulseOutput[0]);
        }
        const std::set<int> levels(output.begin(), output.end());
        if (period < 8) {
            EXPECT_EQ(levels, std::set<int>{0}) << period;
            continue;
        }
        EXPECT_EQ(levels, (std::set<int>{-15, 15})) << period;
        std::vector<size_t> rises;
        for (size_t i = 1; i < output.size(); ++i)
            if (output[i] > output[i - 1]) rises.push_back(i);
        ASSERT_GE(rises.size(), 2u);
        EXPECT_EQ(rises[1] - rises[0], size_t(8 * (period + 1))) << period;
    }
    // A sweep that would overflow silences only when it is enabled.
    writes({{0x4001, 0x00}, {0x4002, 0x00}, {0x4003, 0x0C}});  // period $400: the target $800 is out of range
    a.clockSweeps();
    ASSERT_TRUE(a.sweepMute[0]);
    step();
    EXPECT_NE(a.pulseOutput[0], 0);
    cpu->memory[0x4001] = 0x80;
    step();
    EXPECT_EQ(a.pulseOutput[0], 0);
}

TEST_F(ApuTest, NoiseFeedbackModesGiveTheirSequenceLengths) {
    for (const auto& [mode, length] : {std::pair<uint8_t, size_t>{0x00, 32767}, {0x80, 93}}) {
        a.noiseShift = 1;
        a.noiseTimer = 0;
        writes({{0x400E, mode}});  // period 4 cycles: a shift every 2 steps
        std::vector<uint16_t> seen;
        for (size_t i = 0; i < 2 * (length + 1); ++i) {
            step(2);
            seen.push_back(a.noiseShift);
        }
        size_t repeat = 1;
        while (repeat < seen.size() && seen[repeat] != seen[0]) ++repeat;
        EXPECT_EQ(repeat, length) << int(mode);
    }
    writes({{0x4015, 0x08}, {0x400C, 0x39}, {0x400F, 0x08}});  // constant volume 9
    std::set<int> levels;
    for (int i = 0; i < 200; ++i) {
        step();
        levels.insert(a.noiseOutput);
        EXPECT_EQ(a.noiseOutput, (a.noiseShift & 1) ? 0 : 9);
    }
    EXPECT_EQ(levels, (std::set<int>{0, 9}));
}

TEST_F(ApuTest, DmcFetchWrapsToEightThousandAndRaisesIrq) {
    for (int i = 0; i < 64; ++i) cpu->memory[0xFFC0 + i] = uint8_t(i);
    cpu->memory[0x8000] = 0xA5;
    for (const uint8_t flags : {0x8F, 0x0F, 0xCF}) {  // IRQ, neither, loop
        cpu->irqPending = false;
        // Sample at $FFC0, 65 bytes: the last one at $8000.
        writes({{0x4015, 0x00}, {0x4010, flags}, {0x4012, 0xFF}, {0x4013, 0x04}, {0x4015, 0x10}});
        std::vector<uint8_t> fetched;
        while (fetched.size() < 65) {
            const bool empty = a.dmcBufferEmpty;
            step();
            if (empty && !a.dmcBufferEmpty) {
                fetched.push_back(a.dmcBuffer);
                if (fetched.size() < 65) {
                    EXPECT_FALSE(cpu->irqPending);
                }
            }
        }
        EXPECT_EQ(fetched[63], 63);
        EXPECT_EQ(fetched[64], 0xA5);
        EXPECT_EQ(cpu->irqPending, flags == 0x8F) << int(flags);
        EXPECT_EQ(a.dmcAddress, (flags & 0x40) ? 0xFFC0 : 0x8001);
    }
}

TEST_F(ApuTest, DmcDirectLoadWaitsForTimerAndKeepsSevenBits) {
    writes({{0x4010, 0x00}});  // rate 428 cycles: the output timer expires every 214 steps
    step(10);
    writes({{0x4011, 100}});
    step(204);
    EXPECT_EQ(a.dmcLevel, 0);
    step();
    EXPECT_EQ(a.dmcLevel, 100);
    writes({{0x4011, 200}});
    step(214);
    EXPECT_EQ(a.dmcLevel, 200 & 0x7F);
}

TEST_F(ApuTest, DmcShiftsOutAnEmptyByteThenFallsSilentAtMidLevel) {
    cpu->memory[0xC000] = 0xFF;
    // 27 steps per bit, direct load 10, one byte at $C000.
    writes({{0x4010, 0x0F}, {0x4011, 10}, {0x4012, 0x00}, {0x4013, 0x00}, {0x4015, 0x10}});
    std::vector<int> levels;
    for (int i = 0; i < 27 * 20; ++i) {
        step();
        if (levels.empty() || levels.back() != a.dmcLevel) levels.push_back(a.dmcLevel);
    }
    // Direct load, eight rising bits, eight falling ones; the last fall and
    // the reset to 64 happen at the same timer expiry.
    EXPECT_EQ(levels, (std::vector<int>{10, 12, 14, 16, 18, 20, 22, 24, 26, 24, 22, 20, 18, 16, 14, 12, 64}));
    EXPECT_TRUE(a.dmcSilence);
}

}  // namespace
