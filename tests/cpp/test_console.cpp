// The machine step and the frame loop, as the console drives the components.
#include <gtest/gtest.h>

#include <string>

#include "console/nes_unit.h"
#include "console_support.h"
#include "test_support.h"

// The APU and PPU may lag only inside the ahead window, and catch up on demand.
TEST(Console, CountersStayInStepAfterEveryAdvance) {
    NESUnit unit("spin.nes", spinImage(), NESUnit::kDefaultClock);
    EXPECT_EQ(unit.cycleCount(), 0);
    EXPECT_EQ(unit.frameCount(), 0);
    int lagging = 0;
    for (int i = 0; i < 20000; ++i) {
        unit.advance();
        const int64_t cycles = unit.cycleCount();
        const bool inStep = unit.ppu->totalDots == 3 * cycles && unit.apu->apuCycles == (cycles + 1) / 2;
        if (!inStep) {
            ++lagging;
            ASSERT_LE(cycles, unit.cpu->aheadUntil);
            ASSERT_LT(int64_t(unit.ppu->totalDots), 3 * cycles);
            ASSERT_LE(int64_t(unit.apu->apuCycles), (cycles + 1) / 2);
        }
        if (i % 7 == 0) {
            catch_up::beforeStateAccess(*unit.cpu);
            ASSERT_EQ(int64_t(unit.ppu->totalDots), 3 * cycles);
            ASSERT_EQ(int64_t(unit.apu->apuCycles), (cycles + 1) / 2);
        }
    }
    EXPECT_GT(lagging, 10000);  // the window is used at all
}

TEST(Console, RunFrameCallsBackOncePerFrame) {
    NESUnit unit("spin.nes", spinImage(), NESUnit::kDefaultClock);
    struct Seen {
        NESUnit* unit;
        std::vector<int64_t> frames;
    } seen{&unit, {}};
    unit.setPerFrame({[](void* self) {
                          auto* s = static_cast<Seen*>(self);
                          s->frames.push_back(s->unit->frameCount());
                      },
                      &seen});
    unit.runFrame();
    EXPECT_EQ(seen.frames, std::vector<int64_t>{1});
    // The frame ends inside an instruction: the PPU is a few dots into the next one.
    EXPECT_EQ(unit.ppu->scanline, 0);
    EXPECT_LT(unit.ppu->cycle, 3 * 8);
    for (int i = 0; i < 4; ++i) unit.runFrame();
    EXPECT_EQ(seen.frames, (std::vector<int64_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(unit.frameCount(), 5);
    // About 29780.67 CPU cycles per frame, 89342 dots / 3.
    EXPECT_NEAR(double(unit.cycleCount()), 5 * 89342 / 3.0, 8);
    EXPECT_GE(unit.cpu->memory[0x11], 4);  // the NMI ran each frame
}

TEST(Console, ClockSpeedSetsCpuAndApuRates) {
    NESUnit fast(4000000);
    EXPECT_EQ(fast.cpu->clockSpeed, 4000000);
    EXPECT_EQ(fast.apu->halfClock, 2000000);
    EXPECT_EQ(fast.apu->sampleRate, 44100);
    // A blank console starts from the power-on registers, not a reset vector.
    EXPECT_EQ(fast.cpu->PC, 0x0000);
    EXPECT_EQ(fast.cpu->SP, 0xFF);
    EXPECT_EQ(fast.cpu->P, 0x24);
    for (int32_t clock : {0, -7}) {
        NESUnit unthrottled(clock);
        EXPECT_EQ(unthrottled.cpu->clockSpeed, 2147483647);
        EXPECT_EQ(unthrottled.apu->halfClock, 1073741823);
    }
    EXPECT_THROW(NESUnit(1), std::invalid_argument);
}

TEST(Console, PpuDebugDumpFollowsEveryDotAndOnlyWhenAsked) {
    NESUnit unit("spin.nes", spinImage(), NESUnit::kDefaultClock);
    EXPECT_EQ(captureStdout([&] { unit.runFrame(); }), "");
    NESUnit fresh("spin.nes", spinImage(), NESUnit::kDefaultClock);
    fresh.ppu->debug = true;
    const std::string out = captureStdout([&] { fresh.advance(); });  // LDA #$80: 2 cycles, 6 dots
    const std::string first =
        "PPU REGISTERS: VBLANK: 0, PPUCTRL: 00, PPUMASK: 00, PPUSTATUS: 00, OAMADDR: N/A (so far), PPUADDR: 0000\n"
        "scanline: 0, cycle: 26\n";
    EXPECT_EQ(out.substr(0, first.size()), first);
    size_t dumps = 0;
    for (size_t at = out.find("PPU REGISTERS"); at != std::string::npos; at = out.find("PPU REGISTERS", at + 1))
        ++dumps;
    EXPECT_EQ(dumps, 6u);
}

// Runs `image` for `frames` frames through advance, against a twin stepped
// one instruction at a time with the APU and PPU caught up after each; the
// two must agree after every advance. Returns instructions run per advance.
double expectSameAsStepped(const Bytes& image, int frames) {
    NESUnit fast(NESUnit::Headless{}, image, NESUnit::kDefaultClock);
    NESUnit twin(NESUnit::Headless{}, image, NESUnit::kDefaultClock);
    int64_t advances = 0, steps = 0;
    for (int frame = 0; frame < frames; ++frame) {
        const int64_t start = fast.frameCount();
        while (fast.frameCount() == start) {
            fast.advance();
            ++advances;
            for (; twin.cpu->cycles < fast.cpu->cycles; ++steps) stepOneByOne(twin);
            EXPECT_EQ(int64_t(twin.cpu->cycles), int64_t(fast.cpu->cycles)) << "frame " << frame;
            EXPECT_EQ(twin.cpu->PC, fast.cpu->PC);
            EXPECT_EQ(twin.cpu->A, fast.cpu->A);
            EXPECT_EQ(twin.cpu->X, fast.cpu->X);
            EXPECT_EQ(twin.cpu->Y, fast.cpu->Y);
            EXPECT_EQ(twin.cpu->P, fast.cpu->P);
            if (::testing::Test::HasFailure()) return 0;
        }
        EXPECT_EQ(twin.cpu->memory, fast.cpu->memory) << "frame " << frame;
    }
    return double(steps) / double(advances);
}

// Idle and delay loops counted instead of run leave exactly the machine that
// runs every pass: a program that waits on a byte its NMI changes, jumps to
// itself and counts X down and Y up.
TEST(Console, CountedLoopPassesLeaveTheSameMachine) {
    const Bytes prg = {
        0xA9, 0x80, 0x8D, 0x00, 0x20,  // LDA #$80; STA $2000
        0xA2, 0xF0,                    // top: LDX #$F0
        0xEA, 0xCA, 0xD0, 0xFC,        // d1: NOP; DEX; BNE d1
        0xA0, 0x05,                    // LDY #$05
        0xC8, 0xEA, 0xD0, 0xFC,        // d2: INY; NOP; BNE d2
        0xA5, 0x10,                    // LDA $10
        0xC5, 0x10, 0xF0, 0xFC,        // w: CMP $10; BEQ w
        0xA5, 0x10, 0x29, 0x03,        // LDA $10; AND #3
        0xD0, 0xE8,                    // BNE top
        0x4C, 0x1D, 0x80,              // j: JMP j (until the next NMI's RTI: never)
        0xE6, 0x10, 0x40,              // nmi: INC $10; RTI
    };
    NESUnit probe(NESUnit::Headless{}, nromImage(prg, 0x8020, 0x8000), NESUnit::kDefaultClock);
    EXPECT_GT(expectSameAsStepped(nromImage(prg, 0x8020, 0x8000), 12), 4);  // most passes counted, not run
    for (int i = 0; i < 12; ++i) probe.runFrame();
    EXPECT_GT(probe.cpu->memory[0x10], 8);  // the NMI ran, the program went round
}

// Loops polling PPUSTATUS skip passes only while no sprite flag can be set:
// sprite 0's hit and the overflow land mid-wait, on the dots the stepped
// twin draws them, and the waits end on the same pass.
TEST(Console, StatusPollsSkipOnlyWhereTheFlagsCannotChange) {
    Bytes prg = {
        0xA9, 0x02, 0x8D, 0x14, 0x40,  // LDA #$02; STA $4014: OAM from $0200
        0xA9, 0x1E, 0x8D, 0x01, 0x20,  // LDA #$1E; STA $2001: background and sprites, left columns too
        0x2C, 0x02, 0x20, 0x50, 0xFB,  // top: BIT $2002; BVC top (sprite 0's hit)
        0xAD, 0x02, 0x20, 0x10, 0xFB,  // w: LDA $2002; BPL w (overflow and hit change A meanwhile)
        0x85, 0x11,                    // STA $11
        0xE6, 0x10, 0x4C, 0x0A, 0x80,  // INC $10; JMP top
    };
    // Sprite 0 on line 101 over opaque background, nine sprites on line 151.
    Bytes oam(256, 0xF0);
    for (int i = 0; i < 10; ++i) {
        oam[4 * i] = i == 0 ? 100 : 150;
        oam[4 * i + 1] = 0;
        oam[4 * i + 2] = 0;
        oam[4 * i + 3] = uint8_t(40 + 16 * i);
    }
    Bytes code = {0xA2, 0x00};  // LDX #0; copy: LDA oam,X; STA $0200,X; INX; BNE copy
    code.insert(code.end(), {0xBD, 0x00, 0xC0, 0x9D, 0x00, 0x02, 0xE8, 0xD0, 0xF7});
    prg.insert(prg.begin(), code.begin(), code.end());
    prg[code.size() + 25] = uint8_t(0x0A + code.size());  // JMP top, moved with the copy loop
    prg.resize(0x4000, 0xEA);
    prg.insert(prg.end(), oam.begin(), oam.end());
    Bytes chr(8192, 0);
    std::fill(chr.begin(), chr.begin() + 8, 0xFF);  // tile 0: opaque, colour 1
    const Bytes image = nromImage(prg, 0x8000, 0x8000, chr);
    EXPECT_GT(expectSameAsStepped(image, 6), 20);  // most polls counted, not run
    NESUnit probe(NESUnit::Headless{}, image, NESUnit::kDefaultClock);
    for (int i = 0; i < 6; ++i) probe.runFrame();
    EXPECT_GE(probe.cpu->memory[0x10], 4);     // a hit and a vertical blank each frame
    EXPECT_EQ(probe.cpu->memory[0x11], 0xE0);  // seen with both sprite flags
}

// Runs of NOPs skipped at once: the NMI and the sample player's interrupt
// still land on the same NOP (the pushed return address tells), frame after
// frame.
TEST(Console, NopRunsLeaveTheSameMachine) {
    Bytes prg = {
        0xA9, 0x80, 0x8D, 0x00, 0x20,  // LDA #$80; STA $2000: NMI on
        0xA9, 0x8F, 0x8D, 0x10, 0x40,  // LDA #$8F; STA $4010: sample interrupt on, fastest rate
        0xA9, 0x01, 0x8D, 0x13, 0x40,  // LDA #$01; STA $4013: 17 bytes
        0xA9, 0x10, 0x8D, 0x15, 0x40,  // LDA #$10; STA $4015: play
        0x58,                          // CLI
    };
    const uint16_t top = uint16_t(0x8000 + prg.size());
    prg.insert(prg.end(), 700, 0xEA);  // top: NOPs
    const uint16_t after = uint16_t(0x8000 + prg.size());
    prg.insert(prg.end(), {0xE6, 0x11, 0x4C, uint8_t(top), uint8_t(top >> 8)});  // INC $11; JMP top
    prg.insert(prg.end(), {0xE6, 0x10, 0x40});                                   // nmi: INC $10; RTI
    prg.insert(prg.end(), {0xA9, 0x10, 0x8D, 0x15, 0x40, 0xE6, 0x12, 0x40});     // irq: play again; INC $12; RTI
    const Bytes image = nromImage(prg, uint16_t(after + 5), uint16_t(after + 8));
    EXPECT_GT(expectSameAsStepped(image, 10), 10);  // NOPs skipped, not run
    NESUnit probe(NESUnit::Headless{}, image, NESUnit::kDefaultClock);
    for (int i = 0; i < 10; ++i) probe.runFrame();
    EXPECT_GE(probe.cpu->memory[0x10], 9);    // NMIs
    EXPECT_GE(probe.cpu->memory[0x12], 20);   // sample interrupts
    EXPECT_GE(probe.cpu->memory[0x11], 100);  // passes round the sled
}
