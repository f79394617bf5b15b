// The machine step and the frame loop, as the console drives the components.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "console/nes_unit.h"

namespace {

// 32 KiB NROM whose program enables NMI and spins; the NMI handler counts.
std::vector<uint8_t> spinImage() {
    std::vector<uint8_t> image(16 + 32768 + 8192, 0);
    const uint8_t header[16] = {'N', 'E', 'S', 0x1A, 2, 1, 0, 0};
    std::copy(header, header + 16, image.begin());
    const uint8_t program[] = {
        0xA9, 0x80,        // LDA #$80
        0x8D, 0x00, 0x20,  // STA $2000
        0xE6, 0x10,        // loop: INC $10
        0x4C, 0x05, 0x80,  // JMP loop
        0xE6, 0x11,        // nmi: INC $11
        0x40,              // RTI
    };
    std::copy(std::begin(program), std::end(program), image.begin() + 16);
    auto vector = [&](uint16_t at, uint16_t target) {
        image[16 + (at - 0x8000)] = uint8_t(target);
        image[16 + (at - 0x8000) + 1] = uint8_t(target >> 8);
    };
    vector(0xFFFA, 0x800A);
    vector(0xFFFC, 0x8000);
    vector(0xFFFE, 0x8000);
    return image;
}

struct Counter {
    int calls = 0;
    int64_t frameAtCall = -1;
    NESUnit* unit = nullptr;
    static void call(void* self) {
        auto* c = static_cast<Counter*>(self);
        ++c->calls;
        c->frameAtCall = c->unit->frameCount();
    }
};

}  // namespace

TEST(Console, CountersStayInStepAfterEveryAdvance) {
    NESUnit unit("spin.nes", spinImage(), NESUnit::kDefaultClock);
    EXPECT_EQ(unit.cycleCount(), 0);
    EXPECT_EQ(unit.frameCount(), 0);
    for (int i = 0; i < 20000; ++i) {
        unit.advance();
        const int64_t cycles = unit.cycleCount();
        ASSERT_EQ(int64_t(unit.ppu->totalDots), 3 * cycles);
        ASSERT_EQ(int64_t(unit.apu->apuCycles), (cycles + 1) / 2);
    }
}

TEST(Console, RunFrameCallsBackOncePerFrame) {
    NESUnit unit("spin.nes", spinImage(), NESUnit::kDefaultClock);
    Counter counter;
    counter.unit = &unit;
    unit.setPerFrame({Counter::call, &counter});
    unit.runFrame();
    EXPECT_EQ(unit.frameCount(), 1);
    EXPECT_EQ(counter.calls, 1);
    EXPECT_EQ(counter.frameAtCall, 1);
    // The frame ends inside an instruction: the PPU is a few dots into the next one.
    EXPECT_EQ(unit.ppu->scanline, 0);
    EXPECT_LT(unit.ppu->cycle, 3 * 8);
    for (int i = 2; i <= 5; ++i) {
        unit.runFrame();
        EXPECT_EQ(unit.frameCount(), i);
        EXPECT_EQ(counter.calls, i);
    }
    // About 29780.67 CPU cycles per frame, 89342 dots / 3.
    EXPECT_NEAR(double(unit.cycleCount()), 5 * 89342 / 3.0, 8);
    EXPECT_GE(unit.cpu->memory[0x11], 4);  // the NMI ran each frame
}

TEST(Console, ClockSpeedSetsCpuAndApuRates) {
    NESUnit fast(4000000);
    EXPECT_EQ(fast.cpu->clockSpeed, 4000000);
    EXPECT_EQ(fast.apu->halfClock, 2000000);
    EXPECT_EQ(fast.apu->sampleRate, 44100);
    for (int32_t clock : {0, -7}) {
        NESUnit unthrottled(clock);
        EXPECT_EQ(unthrottled.cpu->clockSpeed, 2147483647);
        EXPECT_EQ(unthrottled.apu->halfClock, 1073741823);
    }
    EXPECT_THROW(NESUnit(1), std::invalid_argument);
}

TEST(Console, PpuDebugDumpFollowsEveryDot) {
    NESUnit unit("spin.nes", spinImage(), NESUnit::kDefaultClock);
    unit.ppu->debug = true;
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    unit.advance();  // LDA #$80: 2 cycles, 6 dots
    const std::string out = testing::internal::GetCapturedStdout();
    unit.ppu->debug = false;
    const std::string first =
        "PPU REGISTERS: VBLANK: 0, PPUCTRL: 00, PPUMASK: 00, PPUSTATUS: 00, OAMADDR: N/A (so far), PPUADDR: 0000\n"
        "scanline: 0, cycle: 26\n";
    EXPECT_EQ(out.substr(0, first.size()), first);
    size_t dumps = 0;
    for (size_t at = out.find("PPU REGISTERS"); at != std::string::npos; at = out.find("PPU REGISTERS", at + 1)) ++dumps;
    EXPECT_EQ(dumps, 6u);
}

TEST(Console, QuietWithoutDebug) {
    NESUnit unit("spin.nes", spinImage(), NESUnit::kDefaultClock);
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    unit.runFrame();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(Console, BlankConsolePrintsInOrder) {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    NESUnit unit(NESUnit::kDefaultClock);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "No rom specified.\nNo Battery\niNES\n0\nrom created.\nCHR-RAM Copied.\n");
    EXPECT_EQ(unit.cpu->PC, 0x0000);
    EXPECT_EQ(unit.cpu->SP, 0xFF);
    EXPECT_EQ(unit.cpu->P, 0x24);
}

TEST(Console, SetControllerRefusesPortsBeyondTwo) {
    NESUnit unit(NESUnit::kDefaultClock);
    ControllerWrapper pad;
    unit.setController(pad, 257);
    EXPECT_EQ(unit.cpu->joypadPorts[1].load(), &pad.buttons);
    EXPECT_EQ(unit.cpu->joypadPorts[0].load(), &unit.defaultPads[0].buttons);
    EXPECT_THROW(unit.setController(pad, 2), std::invalid_argument);
}
