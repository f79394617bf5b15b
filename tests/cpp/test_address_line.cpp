// MMC3's counter in the hardware timing, clocked where PPU address line A12
// rises after staying low over three falls of M2: the filter's edge, the
// cycle the interrupt reaches the CPU's polls for the hardware's fetch dots,
// the pre-render line's sprites, and snapshots taken anywhere in a frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "cartridge/mappers/mmc3.h"
#include "console/catch_up.h"
#include "console/nes_unit.h"
#include "console_support.h"
#include "serial/checksum.h"
#include "snapshot_fields.h"
#include "state/snapshot.h"
#include "test_support.h"

namespace {

constexpr int32_t kLine = PPU::kDotsPerLine;
// Power-on puts the PPU at dot 25 of line 0: the next frame starts here.
constexpr int64_t kSecondFrame = int64_t(kLine) * PPU::kLinesPerFrame - 25;

// The MMC3 of a 32 KiB cartridge in the hardware timing; the CPU's clock
// moves only as the test's accesses move it.
struct Board : Machine {
    Board() : Machine(cartImage(4, Bytes(32768), Bytes(8192))) {
        cpu->hardware = true;
        cart->mapper->hardware = true;
        ppu->hardware = true;
        ppu->adoptAddressLine();
    }
    NES::MMC3& mmc3() { return *static_cast<NES::MMC3*>(cart->mapper.get()); }
    int64_t now() const { return ppu->totalDots / 3 + 1; }
    // runTo stops at a frame's end: on to the dot.
    void runToDot(int64_t dot) {
        while (ppu->totalDots < dot) ppu->runTo(dot);
    }
    // A bus write in `cycle`, as the hardware CPU makes it.
    void access(int64_t cycle, uint16_t address, uint8_t value) {
        cpu->cycles = cycle;
        cpu->stepStart = cycle;
        catch_up::beforeRegisterAccess(*cpu);
        cpu->write(address, value);
    }
    // PPUADDR's two writes, the second (which sets v) in `cycle`.
    void setV(int64_t cycle, uint16_t v) {
        access(cycle - 1, 0x2006, uint8_t(v >> 8));
        access(cycle, 0x2006, uint8_t(v));
    }
};

// A12 low from a fall in cycle 100 to a rise `k` cycles later spans k - 1
// falls of M2; the rise counts from three on.
TEST(AddressLine, ARiseCountsAfterThreeFallsOfM2) {
    for (int k = 2; k <= 6; ++k) {
        Board b;
        b.access(10, 0xC000, 10);
        b.access(11, 0xC001, 0);
        b.setV(20, 0x1000);  // the counter takes the latch
        ASSERT_EQ(b.mmc3().irqCounter, 10);
        b.setV(100, 0x0000);
        b.setV(100 + k, 0x1000);
        EXPECT_EQ(b.mmc3().irqCounter, k >= 4 ? 9 : 10) << k << " cycles low";
    }
}

// The bus shows v only while the PPU is idle: PPUDATA's increment across
// $1000 rises there, PPUADDR under rendering does not.
TEST(AddressLine, VDrivesA12OnlyWhileThePpuIsIdle) {
    Board b;
    b.access(10, 0xC000, 10);
    b.access(11, 0xC001, 0);
    b.setV(20, 0x0FFE);
    b.access(40, 0x2007, 0);
    EXPECT_EQ(b.mmc3().irqCounter, -1);  // at $0FFF
    b.access(60, 0x2007, 0);
    EXPECT_EQ(b.mmc3().irqCounter, 10);
    b.setV(80, 0x0000);
    b.access(90, 0x2001, 0x18);  // both tables at $0000: the fetches keep A12 low
    b.ppu->runTo(100 * kLine);
    b.setV(b.now() + 1, 0x1000);
    b.ppu->runTo(b.ppu->totalDots + 2 * kLine);
    EXPECT_EQ(b.mmc3().irqCounter, 10);
}

struct Rise {
    int32_t line;  // -1: the pre-render line before the frame
    int32_t dot;
};

// From where the polls see the line raised, from the first frame's pre-render
// line to the second's line 240, with a latch of 0 (an interrupt every clock)
// and $E000 after each.
std::vector<int64_t> raisedAt(uint8_t ctrl, const std::vector<uint8_t>& oam = {}) {
    Board b;
    std::copy(oam.begin(), oam.end(), b.ppu->oam.begin());
    b.ppu->runTo(84000);  // vertical blank
    b.access(b.now(), 0x2000, ctrl);
    b.access(b.now(), 0xC000, 0);
    b.access(b.now(), 0xC001, 0);
    b.access(b.now(), 0xE001, 0);
    b.setV(b.now() + 1, 0x2000);  // A12 low through vertical blank
    b.access(b.now(), 0x2001, 0x18);
    std::vector<int64_t> seen;
    while (b.ppu->frameCount == 0 || b.ppu->scanline < 240) {
        b.ppu->runTo(b.ppu->totalDots + 1);
        if (b.cpu->irqSources & CPU::kIrqBoard) {
            seen.push_back(b.cpu->irqActiveFrom);
            b.access(b.now(), 0xE000, 0);
            b.access(b.now(), 0xE001, 0);
        }
    }
    return seen;
}

// The poll of cycle c sees a rise at dot d from 3c + 1 > d on (the same
// sampling as NMI's; mmc3_test_2's 4-scanline_timing measures it).
std::vector<int64_t> cyclesOf(const std::vector<Rise>& rises) {
    std::vector<int64_t> cycles;
    for (const Rise& r : rises) cycles.push_back((kSecondFrame + r.line * kLine + r.dot - 1) / 3 + 1);
    return cycles;
}

std::vector<Rise> everyLine(std::vector<Rise> before, int32_t dot) {
    for (int32_t line = 0; line < 240; ++line) before.push_back({line, dot});
    return before;
}

// A sprite pattern fetch starts at dot 261 (257-260 fetch unused nametable
// and attribute bytes); after the sprites the next line's first two tiles
// fetch their patterns from dot 325; the pre-render line's first tile from
// dot 5, after vertical blank with A12 low.
TEST(AddressLine, TheInterruptReachesThePollsFromTheRisingDot) {
    EXPECT_EQ(raisedAt(0x08), cyclesOf(everyLine({{-1, 261}}, 261)));
    EXPECT_EQ(raisedAt(0x10), cyclesOf(everyLine({{-1, 5}, {-1, 325}}, 325)));
    // 8 x 16 sprites, four on lines 100-115 from $0000, $1000, $0000, $1000:
    // slots 1 and 3 rise after four low dots of slot 0 and 2... and the
    // empty slots 4-7 after slot 3, four dots on: 269 and 285 count.
    std::vector<uint8_t> oam(256, 0xF0);
    for (int i = 0; i < 4; ++i) {
        oam[size_t(4 * i)] = 100;
        oam[size_t(4 * i + 1)] = uint8_t(2 * i + (i & 1));
    }
    std::vector<Rise> tall = {{-1, 261}};
    for (int32_t line = 0; line < 240; ++line) {
        if (line >= 100 && line < 116) {
            tall.push_back({line, 269});
            tall.push_back({line, 285});
        } else {
            tall.push_back({line, 261});
        }
    }
    EXPECT_EQ(raisedAt(0x20, oam), cyclesOf(tall));
}

// The pre-render line fetches what line 239's evaluation found: OAM written
// in vertical blank shows only from line 0.
TEST(AddressLine, ThePrerenderLineFetchesLine239sSprites) {
    Board b;
    for (int i = 0; i < 8; ++i) {
        b.ppu->oam[size_t(4 * i)] = 232;  // lines 232-247, tiles from $0000
        b.ppu->oam[size_t(4 * i + 1)] = 0;
    }
    for (int i = 8; i < 64; ++i) b.ppu->oam[size_t(4 * i)] = 0xF0;
    b.access(10, 0x2000, 0x20);
    b.access(11, 0x2001, 0x18);
    b.ppu->runTo(242 * kLine);
    b.access(b.now(), 0xC000, 5);
    b.access(b.now(), 0xC001, 0);
    for (int i = 0; i < 8; ++i) b.ppu->oam[size_t(4 * i)] = 0xF0;  // a DMA's work
    b.setV(b.now() + 1, 0x2000);                                   // A PPUADDR write looks at the line again.
    b.runToDot(kSecondFrame + 200);
    EXPECT_EQ(b.mmc3().irqCounter, -1) << "the pre-render line clocked the counter";
    b.runToDot(kSecondFrame + 300);
    EXPECT_EQ(b.mmc3().irqCounter, 5);
}

// An access early in a frame, before its first rise, looks back into the
// frame before, here to line 240's start: lines 232-239 and the pre-render
// line fetch eight sprites from $0000 and do not rise (a walk from there
// once started lines before the frame and read outside the line tables).
TEST(AddressLine, AnAccessBeforeTheFramesFirstRiseLooksBackAcrossIt) {
    Board b;
    b.ppu->oam.fill(0xF0);
    for (int i = 0; i < 8; ++i) {
        b.ppu->oam[size_t(4 * i)] = 232;
        b.ppu->oam[size_t(4 * i + 1)] = 0;
    }
    b.access(10, 0x2000, 0x20);  // 8 x 16 sprites: empty slots rise once a line
    b.access(11, 0x2001, 0x18);
    b.access(12, 0xC000, 200);
    b.access(13, 0xC001, 0);
    b.runToDot(kSecondFrame + 100);
    const int before = b.mmc3().irqCounter;
    b.access(b.now(), 0x2001, 0x00);
    b.access(b.now() + 4, 0x2001, 0x18);
    b.runToDot(kSecondFrame + 10 * kLine + 100);
    EXPECT_EQ(b.mmc3().irqCounter, before - 10);
}

// --- snapshots ---

// A 32 KiB MMC3 cartridge: rendering with sprites at $1000, an interrupt
// every few lines (the latch changes every frame), whose handler moves the
// background to $1000 and the sprites to $0000 mid-frame; the NMI handler
// writes PPUADDR.
Bytes splitImage() {
    Bytes prg(32768, 0xEA);
    const Bytes code = {
        0x78, 0xD8, 0xA2, 0xFF, 0x9A, 0xA9, 0x00, 0x8D, 0x01, 0x20,  // C000: SEI CLD LDX #$FF TXS; STA $2001
        0x2C, 0x02, 0x20, 0x10, 0xFB,                                // C00A: BIT $2002; BPL C00A
        0x2C, 0x02, 0x20, 0x10, 0xFB,                                // C00F: BIT $2002; BPL C00F
        0xA9, 0x88, 0x8D, 0x00, 0x20, 0x58,                          // C014: LDA #$88; STA $2000; CLI
        0xE6, 0x10, 0x4C, 0x1A, 0xC0,                                // C01A: INC $10; JMP C01A
        // C01F, NMI: PHA; v = $2000; scroll 0; latch $11 & 63; rendering on; INC $11
        0x48, 0xA9, 0x20, 0x8D, 0x06, 0x20, 0xA9, 0x00, 0x8D, 0x06, 0x20,        // C01F
        0x8D, 0x05, 0x20, 0x8D, 0x05, 0x20,                                      // C02A
        0xA5, 0x11, 0x29, 0x3F, 0x8D, 0x00, 0xC0, 0x8D, 0x01, 0xC0,              // C030
        0x8D, 0x01, 0xE0, 0xA9, 0x1E, 0x8D, 0x01, 0x20, 0xA9, 0x88, 0x8D, 0x00,  // C03A
        0x20, 0xE6, 0x11, 0x68, 0x40,                                            // C046
        // C04B, IRQ: $E000, $E001; PPUCTRL $90 (tables swapped); a latch of 5
        0x48, 0x8D, 0x00, 0xE0, 0x8D, 0x01, 0xE0, 0xA9, 0x90, 0x8D, 0x00, 0x20,  // C04B
        0xA9, 0x05, 0x8D, 0x00, 0xC0, 0x8D, 0x01, 0xC0, 0xE6, 0x12, 0x68, 0x40,  // C057
    };
    std::copy(code.begin(), code.end(), prg.begin() + 0x4000);
    const Bytes vectors = {0x1F, 0xC0, 0x00, 0xC0, 0x4B, 0xC0};
    std::copy(vectors.begin(), vectors.end(), prg.end() - 6);
    Bytes chr(8192);
    for (size_t i = 0; i < chr.size(); ++i) chr[i] = uint8_t(i * 13 + 5);
    return cartImage(4, prg, chr);
}

std::vector<Bytes> mmc3Images() {
    std::vector<Bytes> found = {splitImage()};
    for (auto& [name, image] : demoImages())
        if (name == "bladebuster.nes" || name == "high-hopes.nes") found.push_back(std::move(image));
    return found;
}

TEST(AddressLine, SnapshotsAnywhereInAFrameReplayTheSame) {
    auto split = hardwareConsole(splitImage());
    play(*split, 12);
    ASSERT_EQ(split->cpu->memory[0x11], 10) << "NMIs";
    ASSERT_GT(split->cpu->memory[0x12], 10) << "no interrupts";
    for (const Bytes& image : mmc3Images()) {
        for (int steps = 1; steps < 9000; steps += 613) expectMidFrameReplay(image, Timing::Hardware, 12, steps, 3, 20);
    }
}

TEST(AddressLine, SnapshotsOutOfRangeAreRefused) {
    auto unit = hardwareConsole(splitImage());
    play(*unit, 5);
    for (int i = 0; i < 1000; ++i) unit->advance();
    const Bytes good = takeSnapshot(*unit, false);
    for (const auto& [name, value] : {std::pair<std::string, int64_t>{"A12 low dots", 0},
                                      {"A12 low dots", (1 << 20) + 1},
                                      {"A12 rise counted here", 2}})
        expectRefused(*unit, withField(*unit, good, name, value), name);
    // A rise counted here with A12 low before it.
    expectRefused(*unit, withFields(*unit, good, {{"A12 rise counted here", 1}, {"A12 low dots", 5}}), "A12 rose here");
    EXPECT_TRUE(takeSnapshot(*unit, false) == good);
}

}  // namespace
