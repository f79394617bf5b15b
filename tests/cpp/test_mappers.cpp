// The cartridge boards, driven the way the console drives them: CPU writes
// through the bus, PPU dots through stepDot, on a cartridge loaded from an
// image built here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/cnrom.h"
#include "cartridge/mappers/mmc1.h"
#include "cartridge/mappers/mmc3.h"
#include "cartridge/mappers/ntdec2722.h"
#include "cartridge/mappers/uxrom.h"
#include "serial/state_stream.h"
#include "test_support.h"

namespace {

constexpr int32_t KiB = 1024;

// A console's components on an image of pseudo-random PRG and CHR bytes.
struct Rig : Machine {
    BusContext ctx;

    explicit Rig(int mapper, int32_t prgKiB = 32, int32_t chrKiB = 8, uint8_t flags6 = 0)
        : Machine(
              cartImage(mapper, randomBytes(size_t(prgKiB) * KiB, 1), randomBytes(size_t(chrKiB) * KiB, 2), flags6)),
          ctx(context()) {}

    uint8_t* mem(uint16_t a) { return &cpu->memory[a]; }
    uint8_t* vram(uint16_t a) { return &ppu->vram[a]; }
    const uint8_t* prg(int32_t kib) { return cart->prgBankSource(kib); }
    const uint8_t* chr(int32_t kib) { return cart->chrBankSource(kib); }
    void write(uint16_t a, uint8_t v) { cpu->write(a, v); }
    template <class Board>
    Board& board() {
        return *static_cast<Board*>(cart->mapper.get());
    }

    // `kib` KiB at `dst` hold the ROM banks starting at `startKiB`, wrapped.
    bool prgAt(uint16_t dst, int32_t startKiB, int32_t kib) {
        for (int32_t i = 0; i < kib; ++i)
            if (std::memcmp(mem(uint16_t(dst + i * KiB)), prg(startKiB + i), KiB) != 0) return false;
        return true;
    }
    bool chrAt(uint16_t dst, int32_t startKiB, int32_t kib) {
        for (int32_t i = 0; i < kib; ++i)
            if (std::memcmp(vram(uint16_t(dst + i * KiB)), chr(startKiB + i), KiB) != 0) return false;
        return true;
    }
};

Bytes snapshot(const uint8_t* p, size_t n) { return Bytes(p, p + n); }

// ---------------------------------------------------------------- UxROM

struct UxRow {
    int32_t prgKiB;
    uint16_t address;
    uint8_t value;
    int32_t expectKiB;
};

class UxROMBanks : public testing::TestWithParam<UxRow> {};

TEST_P(UxROMBanks, SelectsWrappedBankAndKeepsLastFixed) {
    const UxRow row = GetParam();
    Rig rig(2, row.prgKiB, 8);
    std::memset(rig.mem(0x0000), 0x11, 0x800);
    std::memset(rig.mem(0x6000), 0x66, 0x2000);
    rig.write(row.address, row.value);
    EXPECT_EQ(rig.board<NES::UxROM>().prgBank, (row.value & 0x0F) * 16);
    EXPECT_TRUE(rig.prgAt(0x8000, row.expectKiB, 16));
    EXPECT_TRUE(rig.prgAt(0xC000, row.prgKiB - 16, 16));
    EXPECT_EQ(Bytes(0x800, 0x11), snapshot(rig.mem(0), 0x800));
    EXPECT_EQ(Bytes(0x2000, 0x66), snapshot(rig.mem(0x6000), 0x2000));
}

INSTANTIATE_TEST_SUITE_P(Sizes, UxROMBanks,
                         testing::Values(UxRow{128, 0xC000, 0x05, 80},  // PRG 81920-98303
                                         UxRow{64, 0x8000, 0x07, 48},   // (7 x 16) mod 64: the last bank
                                         UxRow{64, 0xFFFF, 0xF2, 32},   // the high nibble is ignored
                                         UxRow{48, 0xA000, 0x03, 0},    // 48 mod 48
                                         UxRow{256, 0x8000, 0x0F, 240}));

TEST(UxROM, StateBlockRoundTrip) {
    Rig rig(2, 128, 8);
    rig.write(0x8000, 0x03);
    uint8_t block[256] = {};
    rig.board<NES::UxROM>().storeState(rig.ctx, block);
    EXPECT_EQ(Bytes({48, 0, 0, 0}), snapshot(block, 4));

    // Restoring bank 96 maps it again even over a clobbered window.
    const uint8_t other[4] = {96, 0, 0, 0};
    std::memset(rig.mem(0x8000), 0, 0x8000);
    rig.board<NES::UxROM>().restoreState(rig.ctx, other);
    EXPECT_EQ(rig.board<NES::UxROM>().prgBank, 96);
    EXPECT_TRUE(rig.prgAt(0x8000, 96, 16));
    EXPECT_TRUE(rig.prgAt(0xC000, 112, 16));

    // A foreign file's bank number wraps instead of leaving the ROM.
    const uint8_t wild[4] = {0xF0, 0xFF, 0xFF, 0x7F};
    rig.board<NES::UxROM>().restoreState(rig.ctx, wild);
    EXPECT_TRUE(rig.prgAt(0x8000, 0x7FFFFFF0 % 128, 16));
}

// ---------------------------------------------------------------- CNROM

struct CnRow {
    int32_t chrKiB;
    uint8_t value;
    int32_t expectBank;
};

class CNROMBanks : public testing::TestWithParam<CnRow> {};

TEST_P(CNROMBanks, SelectsWholeByteModuloBankCount) {
    const CnRow row = GetParam();
    Rig rig(3, 32, row.chrKiB, 0x01);
    TestAccess::mirroring(*rig.ppu) = SingleScreen;
    rig.write(0x8000, row.value);
    EXPECT_EQ(rig.board<NES::CNROM>().chrBank, row.expectBank);
    EXPECT_TRUE(rig.chrAt(0x0000, row.expectBank, 8));
    EXPECT_EQ(TestAccess::mirroring(*rig.ppu), SingleScreen);  // a bank write leaves the layout alone

    uint8_t block[256] = {};
    rig.board<NES::CNROM>().storeState(rig.ctx, block);
    EXPECT_EQ(Bytes({uint8_t(row.expectBank), 0, 0, 0}), snapshot(block, 4));
}

INSTANTIATE_TEST_SUITE_P(Sizes, CNROMBanks,
                         testing::Values(CnRow{32, 5, 8},      // 5 mod 4 = 1: CHR 8192-16383
                                         CnRow{32, 0xFF, 24},  // the whole byte, unmasked
                                         CnRow{24, 4, 8},      // three banks: 4 mod 3 = 1
                                         CnRow{8, 0x37, 0}));

TEST(CNROM, RestoreMapsTheBank) {
    Rig rig(3, 16, 32);
    const uint8_t block[4] = {16, 0, 0, 0};
    std::memset(rig.vram(0), 0, 0x2000);
    rig.board<NES::CNROM>().restoreState(rig.ctx, block);
    EXPECT_EQ(rig.board<NES::CNROM>().chrBank, 16);
    EXPECT_TRUE(rig.chrAt(0, 16, 8));
    // A foreign file's number stays inside the CHR ROM.
    const uint8_t wild[4] = {0x29, 0, 0, 0x80};
    rig.board<NES::CNROM>().restoreState(rig.ctx, wild);
    EXPECT_EQ(rig.board<NES::CNROM>().chrBank, 9);  // -2147483607 mod 32
    EXPECT_TRUE(rig.chrAt(0, 9, 8));
}

// Their one register covers $8000-$FFFF only.
TEST(DiscreteBoards, WritesBelowRomSelectNothing) {
    for (const int mapper : {2, 3}) {
        Rig rig(mapper, mapper == 2 ? 128 : 32, 32);  // CNROM has at most 32 KiB of PRG
        rig.write(0x8000, 0x02);
        const Bytes prg = snapshot(rig.mem(0x8000), 0x8000), chr = snapshot(rig.vram(0), 0x2000);
        rig.writes({{0x6000, 0x05}, {0x0200, 0x07}});
        EXPECT_EQ(prg, snapshot(rig.mem(0x8000), 0x8000)) << "mapper " << mapper;
        EXPECT_EQ(chr, snapshot(rig.vram(0), 0x2000)) << "mapper " << mapper;
    }
}

TEST(CNROM, WithoutChrRomKeepsChrRamAndDoesNotDivideByZero) {
    Rig rig(3, 32, 0);
    std::memset(rig.vram(0), 0x5A, 0x2000);
    rig.write(0x8000, 7);
    EXPECT_EQ(rig.board<NES::CNROM>().chrBank, 0);
    EXPECT_EQ(Bytes(0x2000, 0x5A), snapshot(rig.vram(0), 0x2000));
}

// ---------------------------------------------------------------- MMC1

// Five serial writes, least significant bit first; the last goes to `address`.
void serial(Rig& rig, uint16_t address, uint8_t v) {
    for (int i = 0; i < 5; ++i) rig.write(i < 4 ? 0x8000 : address, uint8_t((v >> i) & 1));
}

// Four writes of the bits of 2 complete nothing; the fifth completes the
// register it addresses. The ROM window never takes the serial bits.
TEST(MMC1, FifthWriteCompletesTheRegisterItAddresses) {
    for (const uint16_t fifth : {0x8000, 0xE000}) {
        Rig rig(1, 128, 32);
        auto& mmc1 = rig.board<NES::MMC1>();
        for (int i = 0; i < 4; ++i) {
            rig.write(0x8000, uint8_t(i == 1));
            EXPECT_EQ(TestAccess::mirroring(*rig.ppu), Horizontal) << "completed early at write " << i + 1;
            EXPECT_EQ(mmc1.prgMode, 3);
        }
        rig.write(fifth, 0);
        EXPECT_EQ(mmc1.shiftRegister, 0x10);
        const bool control = fifth == 0x8000;
        EXPECT_EQ(TestAccess::mirroring(*rig.ppu), control ? Vertical : Horizontal);
        EXPECT_EQ(mmc1.prgMode, control ? 0 : 3);
        EXPECT_EQ(mmc1.chrMode, 0);
        EXPECT_TRUE(rig.prgAt(0x8000, control ? 0 : 32, 16));
        if (control) {
            EXPECT_EQ(mmc1.registerValue, 2);
        }
    }
}

TEST(MMC1, ResetWriteAbandonsSequenceAndReplacesControl) {
    Rig rig(1, 128, 32);
    auto& mmc1 = rig.board<NES::MMC1>();
    serial(rig, 0x8000, 0x1A);  // 4 KiB CHR, prgMode 2, vertical
    serial(rig, 0xE000, 0x02);
    ASSERT_TRUE(rig.prgAt(0xC000, 32, 16));
    for (int i = 0; i < 4; ++i) rig.write(0x8000, 1);
    rig.write(0xA000, 0x80);
    EXPECT_EQ(mmc1.shiftRegister, 0x10);
    EXPECT_EQ(TestAccess::mirroring(*rig.ppu), SingleScreen);
    EXPECT_EQ(mmc1.chrMode, 0);
    EXPECT_EQ(mmc1.prgMode, 3);
    EXPECT_TRUE(rig.prgAt(0xC000, 112, 16));
    // A fresh sequence starts from the marker again.
    serial(rig, 0x8000, 0x0F);
    EXPECT_EQ(TestAccess::mirroring(*rig.ppu), Horizontal);
}

// move: 0 none, 1 $2800->$2400, 2 back. The second nametable sits at $2800
// only while horizontal, so it moves whenever that mode starts or ends.
struct MirrorRow {
    int32_t from;
    uint8_t control;
    int32_t to;
    int move;
    int32_t page;
};

class MMC1Mirroring : public testing::TestWithParam<MirrorRow> {};

TEST_P(MMC1Mirroring, MovesSecondNametableWhenHorizontalStartsOrEnds) {
    const MirrorRow row = GetParam();
    Rig rig(1, 32, 8);
    for (int t = 0; t < 4; ++t) std::memset(rig.vram(uint16_t(0x2000 + t * 0x400)), 0xA0 + t, 0x400);
    auto before = snapshot(rig.vram(0x2000), 0x1000);
    TestAccess::mirroring(*rig.ppu) = row.from;
    serial(rig, 0x8000, row.control);
    EXPECT_EQ(TestAccess::mirroring(*rig.ppu), row.to);
    if (row.move == 1) std::memset(&before[0x400], 0xA2, 0x400);
    if (row.move == 2) std::memset(&before[0x800], 0xA1, 0x400);
    if (row.page == 1) {
        // The upper page is on show at $2000, the lower kept where it was.
        std::swap_ranges(before.begin(), before.begin() + 0x400, before.begin() + 0x400);
        ASSERT_EQ(TestAccess::singleScreenPage(*rig.ppu), 1);
    }
    EXPECT_EQ(before, snapshot(rig.vram(0x2000), 0x1000));
    // One screen: all four tables show one kilobyte, the second nametable
    // for the upper page (wherever the old mode kept it).
    if (row.to == SingleScreen) {
        const uint8_t shown = row.page == 0 ? 0xA0 : row.from == Horizontal ? 0xA2 : 0xA1;
        for (uint16_t table = 0x2000; table < 0x3000; table += 0x400) EXPECT_EQ(rig.ppu->at(table + 5), shown);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Transitions, MMC1Mirroring,
    testing::Values(MirrorRow{Horizontal, 0x0E, Vertical, 1, 0}, MirrorRow{Vertical, 0x0F, Horizontal, 2, 0},
                    MirrorRow{SingleScreen, 0x0E, Vertical, 0, 0}, MirrorRow{SingleScreen, 0x0F, Horizontal, 2, 0},
                    MirrorRow{Vertical, 0x0E, Vertical, 0, 0}, MirrorRow{Horizontal, 0x0F, Horizontal, 0, 0},
                    MirrorRow{Vertical, 0x0D, SingleScreen, 0, 1}, MirrorRow{Vertical, 0x0C, SingleScreen, 0, 0},
                    MirrorRow{Horizontal, 0x0C, SingleScreen, 1, 0}, MirrorRow{Horizontal, 0x0D, SingleScreen, 1, 1},
                    MirrorRow{FourScreen, 0x0E, Vertical, 0, 0}));

struct PrgRow {
    int32_t prgKiB;
    uint8_t control;
    uint8_t bank;
    int32_t lowKiB;
    int32_t highKiB;
};

class MMC1Prg : public testing::TestWithParam<PrgRow> {};

TEST_P(MMC1Prg, ModesMapTheirWindows) {
    const PrgRow row = GetParam();
    Rig rig(1, row.prgKiB, 8);
    serial(rig, 0x8000, row.control);
    serial(rig, 0xE000, row.bank);
    EXPECT_TRUE(rig.prgAt(0x8000, row.lowKiB, 16));
    EXPECT_TRUE(rig.prgAt(0xC000, row.highKiB, 16));
}

INSTANTIATE_TEST_SUITE_P(Modes, MMC1Prg,
                         testing::Values(PrgRow{128, 0x0C, 2, 32, 112},  // mode 3: bytes 32768-49151, last bank fixed
                                         PrgRow{128, 0x00, 3, 32, 48},   // mode 0: 32 KiB at bank value 2
                                         PrgRow{128, 0x04, 5, 64, 80},   // mode 1 behaves as mode 0
                                         PrgRow{128, 0x08, 5, 0, 80},    // mode 2: first bank fixed low
                                         PrgRow{512, 0x0C, 0x13, 304, 496},  // bit 4 is a bank bit, not a RAM switch
                                         PrgRow{512, 0x08, 0x13, 0, 304},
                                         PrgRow{256, 0x0C, 0x13, 48, 240},  // 304 mod 256
                                         PrgRow{48, 0x0C, 4, 16, 32},       // 64 mod 48
                                         PrgRow{3, 0x0C, 1, 1, 2}));  // smaller than one bank: 16 mod 3, -13 mod 3

TEST(MMC1, ControlWriteCopiesFixedBanks) {
    Rig rig(1, 128, 8);
    serial(rig, 0x8000, 0x0C);
    serial(rig, 0xE000, 3);
    ASSERT_TRUE(rig.prgAt(0x8000, 48, 16));
    serial(rig, 0x8000, 0x08);  // mode 2 brings the first bank to $8000 at once
    EXPECT_TRUE(rig.prgAt(0x8000, 0, 16));
    serial(rig, 0x8000, 0x00);  // mode 0 copies nothing until the next bank write
    EXPECT_TRUE(rig.prgAt(0x8000, 0, 16));
    EXPECT_TRUE(rig.prgAt(0xC000, 112, 16));
}

TEST(MMC1, ChrBanksIn8And4KiBModes) {
    Rig rig(1, 32, 32);
    // 8 KiB mode: bit 0 ignored, and $C000 does nothing.
    serial(rig, 0xA000, 5);
    EXPECT_TRUE(rig.chrAt(0x0000, 16, 8));
    const auto pattern = snapshot(rig.vram(0), 0x2000);
    serial(rig, 0xC000, 5);
    EXPECT_EQ(pattern, snapshot(rig.vram(0), 0x2000));
    // 4 KiB mode: each half on its own.
    serial(rig, 0x8000, 0x1C);
    serial(rig, 0xA000, 5);  // CHR 20480-24575
    EXPECT_TRUE(rig.chrAt(0x0000, 20, 4));
    EXPECT_TRUE(rig.chrAt(0x1000, 20, 4));  // still the upper half of the 8 KiB bank
    serial(rig, 0xC000, 3);
    EXPECT_TRUE(rig.chrAt(0x1000, 12, 4));
    EXPECT_TRUE(rig.chrAt(0x0000, 20, 4));
    serial(rig, 0xC000, 0x1F);  // 124 KiB wraps to 28 KiB
    EXPECT_TRUE(rig.chrAt(0x1000, 28, 4));
}

TEST(MMC1, ChrRamBanksMoveWithinPatternTables) {
    Rig rig(1, 32, 0);
    auto ram = randomBytes(0x2000, 9);
    std::memcpy(rig.vram(0), ram.data(), ram.size());
    serial(rig, 0xA000, 0);  // bank 0 onto itself: unchanged
    EXPECT_EQ(ram, snapshot(rig.vram(0), 0x2000));
    serial(rig, 0x8000, 0x1C);
    serial(rig, 0xA000, 1);  // 4 KiB at 4 KiB of the 8 KiB RAM to $0000
    EXPECT_EQ(Bytes(ram.begin() + 0x1000, ram.end()), snapshot(rig.vram(0), 0x1000));
    EXPECT_EQ(Bytes(ram.begin() + 0x1000, ram.end()), snapshot(rig.vram(0x1000), 0x1000));
}

// ---------------------------------------------------------------- MMC3

struct DataRow {
    uint8_t select;
    uint8_t value;
    bool cpuSide;
    uint16_t dst;
    int32_t kib;
    int32_t srcKiB;
};

class MMC3BankData : public testing::TestWithParam<DataRow> {};

TEST_P(MMC3BankData, RegisterAndLayoutChooseWindow) {
    const DataRow row = GetParam();
    Rig rig(4, 256, 256);
    rig.write(0x8000, row.select);
    const auto cpuBefore = snapshot(rig.mem(0x8000), 0x8000);
    const auto ppuBefore = snapshot(rig.vram(0), 0x2000);
    rig.write(0x8001, row.value);
    // The window holds the bank, and nothing else moved.
    auto cpuExpect = cpuBefore;
    auto ppuExpect = ppuBefore;
    if (row.cpuSide) {
        EXPECT_TRUE(rig.prgAt(row.dst, row.srcKiB, row.kib));
        std::memcpy(&cpuExpect[row.dst - 0x8000], rig.mem(row.dst), size_t(row.kib) * KiB);
    } else {
        EXPECT_TRUE(rig.chrAt(row.dst, row.srcKiB, row.kib));
        std::memcpy(&ppuExpect[row.dst], rig.vram(row.dst), size_t(row.kib) * KiB);
    }
    EXPECT_EQ(cpuExpect, snapshot(rig.mem(0x8000), 0x8000));
    EXPECT_EQ(ppuExpect, snapshot(rig.vram(0), 0x2000));
}

INSTANTIATE_TEST_SUITE_P(
    Registers, MMC3BankData,
    testing::Values(DataRow{0x00, 0x05, false, 0x0000, 2, 4},  // R0 drops bit 0: CHR 4096-6143
                    DataRow{0x80, 0x05, false, 0x1000, 2, 4}, DataRow{0x01, 0x07, false, 0x0800, 2, 6},
                    DataRow{0x81, 0x07, false, 0x1800, 2, 6}, DataRow{0x02, 0x09, false, 0x1000, 1, 9},
                    DataRow{0x82, 0x09, false, 0x0000, 1, 9},  // CHR 9216-10239
                    DataRow{0x03, 0xFF, false, 0x1400, 1, 255}, DataRow{0x83, 0x21, false, 0x0400, 1, 33},
                    DataRow{0x04, 0x30, false, 0x1800, 1, 48}, DataRow{0x84, 0x31, false, 0x0800, 1, 49},
                    DataRow{0x05, 0x7F, false, 0x1C00, 1, 127}, DataRow{0x85, 0x80, false, 0x0C00, 1, 128},
                    DataRow{0x06, 0x05, true, 0x8000, 8, 40},  // PRG 40960-49151
                    DataRow{0x46, 0x05, true, 0xC000, 8, 40},
                    DataRow{0x06, 0xC5, true, 0x8000, 8, 40},  // bits 6-7 of the bank are dropped
                    DataRow{0x07, 0x09, true, 0xA000, 8, 72}, DataRow{0x47, 0x09, true, 0xA000, 8, 72},
                    DataRow{0xC7, 0x3F, true, 0xA000, 8, 504 % 256}));

TEST(MMC3, LayoutChangesSwapHalves) {
    Rig rig(4, 256, 256);
    rig.writes({{0x8000, 0x06}, {0x8001, 0x05}});
    const auto low = snapshot(rig.mem(0x8000), 0x2000);
    const auto high = snapshot(rig.mem(0xC000), 0x2000);
    const auto mid = snapshot(rig.mem(0xA000), 0x2000);
    rig.write(0x8000, 0x46);
    EXPECT_EQ(high, snapshot(rig.mem(0x8000), 0x2000));
    EXPECT_EQ(low, snapshot(rig.mem(0xC000), 0x2000));
    EXPECT_EQ(mid, snapshot(rig.mem(0xA000), 0x2000));
    rig.write(0x8001, 0x05);
    EXPECT_TRUE(rig.prgAt(0xC000, 40, 8));

    const auto p0 = snapshot(rig.vram(0), 0x1000);
    const auto p1 = snapshot(rig.vram(0x1000), 0x1000);
    rig.write(0x8000, 0x80);  // bit 6 drops too: both halves swap
    EXPECT_EQ(p1, snapshot(rig.vram(0), 0x1000));
    EXPECT_EQ(p0, snapshot(rig.vram(0x1000), 0x1000));
    EXPECT_EQ(low, snapshot(rig.mem(0x8000), 0x2000));
    rig.write(0x8000, 0x82);  // same layout: nothing swaps
    EXPECT_EQ(p1, snapshot(rig.vram(0), 0x1000));
    EXPECT_EQ(low, snapshot(rig.mem(0x8000), 0x2000));
    EXPECT_EQ(rig.board<NES::MMC3>().bankSelect, 0x82);
    EXPECT_EQ(rig.board<NES::MMC3>().lastBankSelect, 0x82);
}

// As on MMC1, the second nametable moves between $2400 and $2800 with the
// mode; a four-screen cartridge keeps its four tables whatever is written.
TEST(MMC3, MirroringWritesMoveTheSecondNametable) {
    for (uint8_t flags : {uint8_t(0x00), uint8_t(0x01), uint8_t(0x08)}) {
        Rig rig(4, 32, 8, flags);
        for (int t = 0; t < 4; ++t) std::memset(rig.vram(uint16_t(0x2000 + t * 0x400)), 0xA0 + t, 0x400);
        auto expect = snapshot(rig.vram(0x2000), 0x1000);
        const bool four = flags == 0x08;
        rig.write(0xA000, 0);  // vertical
        if (!four && flags == 0x00) std::memset(&expect[0x400], 0xA2, 0x400);
        EXPECT_EQ(TestAccess::mirroring(*rig.ppu), four ? FourScreen : Vertical);
        EXPECT_EQ(expect, snapshot(rig.vram(0x2000), 0x1000)) << "flags " << int(flags);
        rig.write(0xBFFE, 0xFF);  // horizontal
        if (!four) std::memcpy(&expect[0x800], &expect[0x400], 0x400);
        EXPECT_EQ(TestAccess::mirroring(*rig.ppu), four ? FourScreen : Horizontal);
        EXPECT_EQ(expect, snapshot(rig.vram(0x2000), 0x1000)) << "flags " << int(flags);
    }
}

TEST(MMC3, PrgRamWriteProtect) {
    Rig rig(4, 32, 8);
    rig.write(0x6123, 0x11);
    rig.write(0xA001, 0x40);
    EXPECT_EQ(rig.board<NES::MMC3>().prgRamEnable, 0);
    rig.writes({{0x6123, 0x55}, {0x7FFF, 0x55}, {0x5FFF, 0x55}, {0x0123, 0x55}});  // the last two outside PRG RAM
    EXPECT_EQ(*rig.mem(0x6123), 0x11);
    EXPECT_EQ(*rig.mem(0x7FFF), 0x00);
    EXPECT_EQ(*rig.mem(0x5FFF), 0x55);
    EXPECT_EQ(*rig.mem(0x0123), 0x55);
    rig.write(0xA001, 0x80);
    EXPECT_EQ(rig.board<NES::MMC3>().prgRamEnable, 1);
    rig.write(0x6123, 0x55);
    EXPECT_EQ(*rig.mem(0x6123), 0x55);
}

// Clocks the counter `lines` times as the PPU would at dot 256 of a rendered
// line; returns the clocks (1-based) on which an interrupt was requested.
std::vector<int> clockScanlines(Rig& rig, int lines) {
    std::vector<int> hits;
    auto& mmc3 = rig.board<NES::MMC3>();
    for (int i = 1; i <= lines; ++i) {
        rig.ppu->cycle = 256;
        rig.ppu->vblank = false;
        mmc3.onDot(rig.ctx);
        if (rig.cpu->irqPending) hits.push_back(i);
        rig.cpu->irqPending = false;
    }
    return hits;
}

struct IrqRow {
    const char* name;
    std::vector<std::pair<uint16_t, uint8_t>> writes;
    int lines;
    std::vector<int> hits;
};

class MMC3Irq : public testing::TestWithParam<IrqRow> {};

TEST_P(MMC3Irq, Cadence) {
    const IrqRow& row = GetParam();
    Rig rig(4, 32, 8);
    *rig.mem(0x2001) = 0x18;
    for (auto [address, value] : row.writes) rig.write(address, value);
    EXPECT_EQ(row.hits, clockScanlines(rig, row.lines)) << row.name;
}

INSTANTIATE_TEST_SUITE_P(
    Latches, MMC3Irq,
    testing::Values(IrqRow{"latch 3", {{0xC000, 3}, {0xC001, 0}, {0xE001, 0}}, 13, {4, 8, 12}},
                    IrqRow{"latch 1", {{0xC000, 1}, {0xC001, 0}}, 4, {2, 4}},
                    IrqRow{"latch 0 every line", {{0xC000, 0}, {0xC001, 0}}, 5, {1, 2, 3, 4, 5}},
                    IrqRow{"power-on", {}, 520, {255, 511}},
                    IrqRow{"disabled", {{0xC000, 2}, {0xC001, 0}, {0xE000, 0}}, 20, {}},
                    IrqRow{"latch change applies at reload", {{0xC000, 2}, {0xC001, 0}, {0xC000, 5}}, 12, {6, 12}}));

TEST(MMC3, CounterOnlyMovesAtDot256OfRenderedLines) {
    Rig rig(4, 32, 8);
    auto& mmc3 = rig.board<NES::MMC3>();
    struct Case {
        int cycle;
        bool vblank;
        uint8_t mask;
        bool counts;
    };
    for (const Case c : {Case{256, false, 0x18, true}, Case{256, false, 0x08, true}, Case{256, false, 0x10, true},
                         Case{256, false, 0x00, false}, Case{256, false, 0xE7, false}, Case{255, false, 0x18, false},
                         Case{257, false, 0x18, false}, Case{256, true, 0x18, false}}) {
        mmc3.irqCounter = 10;
        rig.ppu->cycle = c.cycle;
        rig.ppu->vblank = c.vblank;
        *rig.mem(0x2001) = c.mask;
        mmc3.onDot(rig.ctx);
        EXPECT_EQ(mmc3.irqCounter, c.counts ? 9 : 10) << c.cycle << " " << c.vblank << " " << int(c.mask);
    }
}

TEST(MMC3, DisablingKeepsRequestedInterrupt) {
    Rig rig(4, 32, 8);
    *rig.mem(0x2001) = 0x08;
    rig.writes({{0xC000, 1}, {0xC001, 0}});
    clockScanlines(rig, 1);
    rig.ppu->cycle = 256;
    rig.board<NES::MMC3>().onDot(rig.ctx);
    ASSERT_TRUE(rig.cpu->irqPending);
    rig.write(0xE000, 0);
    EXPECT_TRUE(rig.cpu->irqPending);
}

// Through the renderer: the counter is clocked on lines 0-240 and 261.
TEST(MMC3, IrqLinesThroughPpuDots) {
    Rig rig(4, 32, 8);
    *rig.mem(0x2001) = 0x18;
    rig.writes({{0xC000, 0}, {0xC001, 0}});  // latch 0: an interrupt on every counted line
    std::vector<int> lines;
    const int64_t start = rig.ppu->frameCount;
    while (rig.ppu->frameCount < start + 2) {
        rig.ppu->stepDot();
        if (rig.cpu->irqPending) {
            lines.push_back(rig.ppu->scanline);
            rig.cpu->irqPending = false;
        }
    }
    std::vector<int> expect;
    for (int frame = 0; frame < 2; ++frame) {
        for (int l = 0; l <= 240; ++l) expect.push_back(l);
        expect.push_back(261);
    }
    EXPECT_EQ(expect, lines);
}

TEST(MMC3, StateBlock) {
    Rig rig(4, 32, 8);
    rig.writes({{0x8000, 0x46}, {0xA001, 0x40}, {0xC000, 0x21}, {0xC001, 0}, {0xE000, 0}});
    uint8_t block[256];
    std::memset(block, 0xEE, sizeof block);
    rig.board<NES::MMC3>().storeState(rig.ctx, block);
    const Bytes expect = {0x46, 0x46, 1, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x21, 0, 0, 0xEE};
    EXPECT_EQ(expect, snapshot(block, 15));

    // Restoring takes the registers back and copies no memory.
    const uint8_t other[14] = {0x07, 0x80, 0, 1, 1, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12, 9, 7, 8};
    const auto cpuMem = snapshot(rig.mem(0), 0x10000);
    const auto vram = snapshot(rig.vram(0), 0x4000);
    auto& mmc3 = rig.board<NES::MMC3>();
    mmc3.restoreState(rig.ctx, other);
    EXPECT_EQ(mmc3.bankSelect, 0x07);
    EXPECT_EQ(mmc3.lastBankSelect, 0x80);
    EXPECT_EQ(mmc3.prgRamWriteProtect, 0);
    EXPECT_EQ(mmc3.prgRamEnable, 1);
    EXPECT_EQ(mmc3.irqEnable, 1);
    EXPECT_EQ(mmc3.irqCounter, 0x12345678);
    EXPECT_EQ(mmc3.irqLatch, 9);
    EXPECT_EQ(cpuMem, snapshot(rig.mem(0), 0x10000));
    EXPECT_EQ(vram, snapshot(rig.vram(0), 0x4000));
    uint8_t again[14];
    mmc3.storeState(rig.ctx, again);
    EXPECT_EQ(snapshot(other, 14), snapshot(again, 14));
}

// ---------------------------------------------------------------- NTDEC2722

struct FixedRow {
    int32_t prgKiB;
    int32_t at6000, at8000, atA000, atE000;
};

class NTDECWindows : public testing::TestWithParam<FixedRow> {};

TEST_P(NTDECWindows, FixedBanksWrapAndE000SelectsC000) {
    const FixedRow row = GetParam();
    Rig rig(40, row.prgKiB, 8);
    EXPECT_TRUE(rig.prgAt(0x6000, row.at6000, 8));
    EXPECT_TRUE(rig.prgAt(0x8000, row.at8000, 8));
    EXPECT_TRUE(rig.prgAt(0xA000, row.atA000, 8));
    EXPECT_TRUE(rig.prgAt(0xE000, row.atE000, 8));
    EXPECT_EQ(Bytes(0x2000, 0), snapshot(rig.mem(0xC000), 0x2000));
    for (int value : {2, 10, 0xFF, 3}) {
        rig.write(0xE000, uint8_t(value));
        EXPECT_TRUE(rig.prgAt(0xC000, value * 8 % row.prgKiB, 8)) << value;
    }
    const auto all = snapshot(rig.mem(0), 0x10000);
    rig.writes({{0xC000, 6}, {0xDFFF, 6}});
    EXPECT_EQ(all, snapshot(rig.mem(0), 0x10000));
    EXPECT_EQ(rig.board<NES::NTDEC2722>().irqEnable, 1);
}

INSTANTIATE_TEST_SUITE_P(Sizes, NTDECWindows,
                         testing::Values(FixedRow{64, 48, 32, 40, 56}, FixedRow{32, 16, 0, 8, 24},
                                         FixedRow{48, 0, 32, 40, 8}, FixedRow{128, 48, 32, 40, 56}));

// PPU dots until the next interrupt request (0 if none within `limit`).
int64_t dotsToIrq(Rig& rig, int64_t limit) {
    for (int64_t d = 1; d <= limit; ++d) {
        rig.ppu->stepDot();
        if (rig.cpu->irqPending) {
            rig.cpu->irqPending = false;
            return d;
        }
    }
    return 0;
}

TEST(NTDEC2722, TimerRunsFromPowerOnAndRestarts) {
    Rig rig(40, 64, 8);
    EXPECT_EQ(dotsToIrq(rig, 20000), 12288);
    EXPECT_EQ(dotsToIrq(rig, 20000), 12288);  // it keeps running
    for (int i = 0; i < 5000; ++i) rig.ppu->stepDot();
    rig.write(0x8000, 0);
    EXPECT_EQ(dotsToIrq(rig, 40000), 0);
    rig.write(0xA000, 0);
    EXPECT_EQ(dotsToIrq(rig, 20000), 12288);

    // Stopping keeps a request that is already pending; restarting keeps the count.
    for (int i = 0; i < 100; ++i) rig.ppu->stepDot();
    rig.cpu->irqPending = true;
    rig.write(0x9FFF, 0);
    EXPECT_TRUE(rig.cpu->irqPending);
    rig.cpu->irqPending = false;
    rig.write(0xA000, 0);
    for (int i = 0; i < 100; ++i) rig.ppu->stepDot();
    rig.write(0xBFFF, 0);  // already running: the count goes on
    EXPECT_EQ(dotsToIrq(rig, 20000), 12288 - 100);
}

// ---------------------------------------------------------------- all boards

// Whatever a game writes, on a ROM of any declarable size, every KiB of the
// PRG window and the pattern tables is a KiB of the ROM (or still empty).
struct SweepRow {
    int mapper;
    int32_t prgKiB;
    int32_t chrKiB;
};

class BoardSweep : public testing::TestWithParam<SweepRow> {};

TEST_P(BoardSweep, WindowsOnlyEverHoldRomBanks) {
    const SweepRow row = GetParam();
    Rig rig(row.mapper, row.prgKiB, row.chrKiB);
    std::set<Bytes> prgBanks{Bytes(KiB, 0)};
    std::set<Bytes> chrBanks{Bytes(KiB, 0)};
    for (int32_t k = 0; k < row.prgKiB; ++k) prgBanks.insert(snapshot(rig.prg(k), KiB));
    for (int32_t k = 0; k < row.chrKiB; ++k) chrBanks.insert(snapshot(rig.chr(k), KiB));
    std::mt19937 gen(uint32_t(row.mapper * 1000 + row.prgKiB));
    for (int i = 0; i < 3000; ++i) {
        rig.write(uint16_t(0x6000 + gen() % 0xA000), uint8_t(gen()));
        if (i % 16) continue;
        for (int k = 0; k < 32; ++k)
            ASSERT_TRUE(prgBanks.count(snapshot(rig.mem(uint16_t(0x8000 + k * KiB)), KiB)))
                << "PRG KiB " << k << " write " << i;
        for (int k = 0; k < 8 && row.chrKiB; ++k)
            ASSERT_TRUE(chrBanks.count(snapshot(rig.vram(uint16_t(k * KiB)), KiB)))
                << "CHR KiB " << k << " write " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, BoardSweep,
                         testing::Values(SweepRow{1, 3, 1}, SweepRow{1, 48, 24}, SweepRow{1, 512, 128},
                                         SweepRow{1, 1, 0}, SweepRow{2, 1, 0}, SweepRow{2, 96, 8}, SweepRow{2, 7, 0},
                                         SweepRow{3, 16, 40}, SweepRow{3, 32, 3}, SweepRow{3, 32, 0}, SweepRow{4, 5, 3},
                                         SweepRow{4, 40, 96}, SweepRow{4, 2048, 256}, SweepRow{40, 1, 8},
                                         SweepRow{40, 24, 0}, SweepRow{40, 96, 8}));

// ---------------------------------------------------------------- the board table

// Each number makes a board of that number; the supported list is the
// table's numbers, ascending, and no other number counts as emulated.
TEST(BoardTable, EachNumberMakesItsBoard) {
    const std::vector<int32_t>& listed = NES::emulatedMappers();
    EXPECT_TRUE(std::adjacent_find(listed.begin(), listed.end(), std::greater_equal<int32_t>()) == listed.end());
    for (int32_t number = -1; number <= 256; ++number) {
        SCOPED_TRACE(number);
        EXPECT_EQ(NES::createMapper(number)->number, number);
        EXPECT_EQ(NES::emulatesMapper(number), std::binary_search(listed.begin(), listed.end(), number));
    }
}

// ---------------------------------------------------------------- undecoded stores

// The bus skips the write hook for stores below the lowest address a board
// decodes (RAM and the PPU's registers among them): whatever state its
// registers are in, no such store may move a register, a window, the
// interrupt line or the byte stored.
std::vector<int> boardsDecodingFromAbove() {
    std::vector<int> numbers;
    for (const int32_t number : NES::emulatedMappers()) {
        const auto board = NES::createMapper(number);
        if (board->watchesWrites && board->writesFrom > 0) numbers.push_back(number);
    }
    return numbers;
}

class UndecodedStores : public testing::TestWithParam<int> {};

TEST_P(UndecodedStores, LeaveTheBoardAlone) {
    Rig rig(GetParam(), 32, 32);
    NES::Mapper& board = *rig.cart->mapper;
    const auto state = [&] {
        std::vector<uint8_t> bytes;
        StateStream out(bytes, 0);
        board.serialize(out);
        return bytes;
    };
    std::mt19937 gen{uint32_t(GetParam())};
    for (int round = 0; round < 64; ++round) {
        rig.write(uint16_t(0x8000 + gen() % 0x8000), uint8_t(gen()));
        const std::vector<uint8_t> before = state();
        const Bytes prg = snapshot(rig.mem(0x6000), 0xA000), chr = snapshot(rig.vram(0), 0x3000);
        const uint8_t irq = rig.cpu->irqSources;
        for (int i = 0; i < 16; ++i) {
            const uint8_t stored = uint8_t(gen());
            uint8_t value = stored;
            board.cpuWrite(rig.ctx, uint16_t(gen() % board.writesFrom), value);
            ASSERT_EQ(value, stored) << "round " << round;
        }
        ASSERT_EQ(state(), before) << "round " << round;
        ASSERT_EQ(snapshot(rig.mem(0x6000), 0xA000), prg) << "round " << round;
        ASSERT_EQ(snapshot(rig.vram(0), 0x3000), chr) << "round " << round;
        ASSERT_EQ(rig.cpu->irqSources, irq) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Boards, UndecodedStores, testing::ValuesIn(boardsDecodingFromAbove()));

}  // namespace
