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
#include <tuple>
#include <vector>

#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/cnrom.h"
#include "cartridge/mappers/mmc3.h"
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
    // The board's registers as a snapshot stores them.
    Bytes registers() {
        Bytes bytes;
        StateStream out(bytes, 0);
        cart->mapper->serialize(out);
        bytes.resize(out.offset());
        return bytes;
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

// A table of cases, a tuple a row, for a loop that binds its fields by name.
template <class... Fields>
using Rows = std::initializer_list<std::tuple<Fields...>>;

// The first `n` bytes of the board's state block.
Bytes storedBlock(Rig& rig, size_t n) {
    uint8_t block[256] = {};
    rig.cart->mapper->storeState(rig.ctx, block);
    return snapshot(block, n);
}

// Marks each nametable's kilobyte ($A0 + table) and returns all four.
Bytes markNametables(Rig& rig) {
    for (int t = 0; t < 4; ++t) std::memset(rig.vram(uint16_t(0x2000 + t * 0x400)), 0xA0 + t, 0x400);
    return snapshot(rig.vram(0x2000), 0x1000);
}

// ---------------------------------------------------------------- UxROM

TEST(UxROM, SelectsWrappedBankAndKeepsLastFixed) {
    // The PRG size, a write, and the KiB it shows at $8000.
    for (const auto& [prgKiB, address, value, expectKiB] :
         Rows<int32_t, uint16_t, uint8_t, int32_t>{{128, 0xC000, 0x05, 80},  // PRG 81920-98303
                                                   {64, 0x8000, 0x07, 48},   // (7 x 16) mod 64: the last bank
                                                   {64, 0xFFFF, 0xF2, 32},   // the high nibble is ignored
                                                   {48, 0xA000, 0x03, 0},    // 48 mod 48
                                                   {256, 0x8000, 0x0F, 240}}) {
        SCOPED_TRACE(testing::Message() << prgKiB << " KiB, value " << int(value));
        Rig rig(2, prgKiB, 8);
        std::memset(rig.mem(0x0000), 0x11, 0x800);
        std::memset(rig.mem(0x6000), 0x66, 0x2000);
        rig.write(address, value);
        EXPECT_EQ(rig.board<NES::UxROM>().prgBank, (value & 0x0F) * 16);
        EXPECT_TRUE(rig.prgAt(0x8000, expectKiB, 16));
        EXPECT_TRUE(rig.prgAt(0xC000, prgKiB - 16, 16));
        EXPECT_EQ(Bytes(0x800, 0x11), snapshot(rig.mem(0), 0x800));
        EXPECT_EQ(Bytes(0x2000, 0x66), snapshot(rig.mem(0x6000), 0x2000));
    }
}

TEST(UxROM, StateBlockRoundTrip) {
    Rig rig(2, 128, 8);
    rig.write(0x8000, 0x03);
    EXPECT_EQ(Bytes({48, 0, 0, 0}), storedBlock(rig, 4));

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

TEST(CNROM, SelectsWholeByteModuloBankCount) {
    // The CHR size, a write, and the KiB it shows.
    for (const auto& [chrKiB, value, expectBank] :
         Rows<int32_t, uint8_t, int32_t>{{32, 5, 8},      // 5 mod 4 = 1: CHR 8192-16383
                                         {32, 0xFF, 24},  // the whole byte, unmasked
                                         {24, 4, 8},      // three banks: 4 mod 3 = 1
                                         {8, 0x37, 0}}) {
        SCOPED_TRACE(testing::Message() << chrKiB << " KiB, value " << int(value));
        Rig rig(3, 32, chrKiB, 0x01);
        TestAccess::mirroring(*rig.ppu) = SingleScreen;
        rig.write(0x8000, value);
        EXPECT_EQ(rig.board<NES::CNROM>().chrBank, expectBank);
        EXPECT_TRUE(rig.chrAt(0x0000, expectBank, 8));
        EXPECT_EQ(TestAccess::mirroring(*rig.ppu), SingleScreen);  // a bank write leaves the layout alone
        EXPECT_EQ(Bytes({uint8_t(expectBank), 0, 0, 0}), storedBlock(rig, 4));
    }
}

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

// The MMC1's registers as a snapshot stores them: the PRG mode, the CHR
// mode, the shift register and the value it completed last.
Bytes mmc1Registers(uint8_t prgMode, uint8_t chrMode, uint8_t shift, uint8_t value) {
    return {prgMode, chrMode, shift, value};
}

// Four writes of the bits of 2 complete nothing; the fifth completes the
// register it addresses. The ROM window never takes the serial bits.
TEST(MMC1, FifthWriteCompletesTheRegisterItAddresses) {
    for (const uint16_t fifth : {0x8000, 0xE000}) {
        Rig rig(1, 128, 32);
        for (int i = 0; i < 4; ++i) {
            rig.write(0x8000, uint8_t(i == 1));
            EXPECT_EQ(TestAccess::mirroring(*rig.ppu), Horizontal) << "completed early at write " << i + 1;
            EXPECT_EQ(rig.registers()[0], 3);
        }
        rig.write(fifth, 0);
        const bool control = fifth == 0x8000;
        EXPECT_EQ(TestAccess::mirroring(*rig.ppu), control ? Vertical : Horizontal);
        EXPECT_EQ(rig.registers(), mmc1Registers(control ? 0 : 3, 0, 0x10, 2));
        EXPECT_TRUE(rig.prgAt(0x8000, control ? 0 : 32, 16));
    }
}

TEST(MMC1, ResetWriteAbandonsSequenceAndReplacesControl) {
    Rig rig(1, 128, 32);
    serial(rig, 0x8000, 0x1A);  // 4 KiB CHR, prgMode 2, vertical
    serial(rig, 0xE000, 0x02);
    ASSERT_TRUE(rig.prgAt(0xC000, 32, 16));
    for (int i = 0; i < 4; ++i) rig.write(0x8000, 1);
    rig.write(0xA000, 0x80);
    // The register value is the last one completed ($E000's).
    EXPECT_EQ(rig.registers(), mmc1Registers(3, 0, 0x10, 0x02));
    EXPECT_EQ(TestAccess::mirroring(*rig.ppu), SingleScreen);
    EXPECT_TRUE(rig.prgAt(0xC000, 112, 16));
    // A fresh sequence starts from the marker again.
    serial(rig, 0x8000, 0x0F);
    EXPECT_EQ(TestAccess::mirroring(*rig.ppu), Horizontal);
}

// The second nametable sits at $2800 only while horizontal, so it moves
// whenever that mode starts or ends.
TEST(MMC1, MirroringMovesSecondNametableWhenHorizontalStartsOrEnds) {
    // The mode before, the control written, the mode after, the move (0
    // none, 1 $2800->$2400, 2 back) and the one-screen page.
    for (const auto& [from, control, to, move, page] :
         Rows<int32_t, uint8_t, int32_t, int, int32_t>{{Horizontal, 0x0E, Vertical, 1, 0},
                                                       {Vertical, 0x0F, Horizontal, 2, 0},
                                                       {SingleScreen, 0x0E, Vertical, 0, 0},
                                                       {SingleScreen, 0x0F, Horizontal, 2, 0},
                                                       {Vertical, 0x0E, Vertical, 0, 0},
                                                       {Horizontal, 0x0F, Horizontal, 0, 0},
                                                       {Vertical, 0x0D, SingleScreen, 0, 1},
                                                       {Vertical, 0x0C, SingleScreen, 0, 0},
                                                       {Horizontal, 0x0C, SingleScreen, 1, 0},
                                                       {Horizontal, 0x0D, SingleScreen, 1, 1},
                                                       {FourScreen, 0x0E, Vertical, 0, 0}}) {
        SCOPED_TRACE(testing::Message() << "from " << from << ", control " << int(control));
        Rig rig(1, 32, 8);
        Bytes before = markNametables(rig);
        TestAccess::mirroring(*rig.ppu) = from;
        serial(rig, 0x8000, control);
        EXPECT_EQ(TestAccess::mirroring(*rig.ppu), to);
        if (move == 1) std::memset(&before[0x400], 0xA2, 0x400);
        if (move == 2) std::memset(&before[0x800], 0xA1, 0x400);
        if (page == 1) {
            // The upper page is on show at $2000, the lower kept where it was.
            std::swap_ranges(before.begin(), before.begin() + 0x400, before.begin() + 0x400);
            EXPECT_EQ(TestAccess::singleScreenPage(*rig.ppu), 1);
        }
        EXPECT_EQ(before, snapshot(rig.vram(0x2000), 0x1000));
        // One screen: all four tables show one kilobyte, the second nametable
        // for the upper page (wherever the old mode kept it).
        if (to == SingleScreen) {
            const uint8_t shown = page == 0 ? 0xA0 : from == Horizontal ? 0xA2 : 0xA1;
            for (uint16_t table = 0x2000; table < 0x3000; table += 0x400) EXPECT_EQ(rig.ppu->at(table + 5), shown);
        }
    }
}

TEST(MMC1, PrgModesMapTheirWindows) {
    // The PRG size, the control and bank written, the KiB at $8000 and $C000.
    for (const auto& [prgKiB, control, bank, lowKiB, highKiB] : Rows<int32_t, uint8_t, uint8_t, int32_t, int32_t>{
             {128, 0x0C, 2, 32, 112},      // mode 3: bytes 32768-49151, last bank fixed
             {128, 0x00, 3, 32, 48},       // mode 0: 32 KiB at bank value 2
             {128, 0x04, 5, 64, 80},       // mode 1 behaves as mode 0
             {128, 0x08, 5, 0, 80},        // mode 2: first bank fixed low
             {512, 0x0C, 0x13, 304, 496},  // bit 4 is a bank bit, not a RAM switch
             {512, 0x08, 0x13, 0, 304},
             {256, 0x0C, 0x13, 48, 240},  // 304 mod 256
             {48, 0x0C, 4, 16, 32},       // 64 mod 48
             {3, 0x0C, 1, 1, 2}}) {       // smaller than one bank: 16 mod 3, -13 mod 3
        SCOPED_TRACE(testing::Message() << prgKiB << " KiB, control " << int(control) << ", bank " << int(bank));
        Rig rig(1, prgKiB, 8);
        serial(rig, 0x8000, control);
        serial(rig, 0xE000, bank);
        EXPECT_TRUE(rig.prgAt(0x8000, lowKiB, 16));
        EXPECT_TRUE(rig.prgAt(0xC000, highKiB, 16));
    }
}

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

TEST(MMC3, RegisterAndLayoutChooseWindow) {
    // The bank select and data written, the side, window and size it
    // lands in, and the KiB it shows. R0 and R1 drop bit 0 (R0 = 5: CHR
    // 4096-6143); R2 = 9 shows CHR 9216-10239, R6 = 5 PRG 40960-49151; the
    // PRG registers drop bits 6-7 of the bank.
    const Rows<uint8_t, uint8_t, bool, uint16_t, int32_t, int32_t> rows = {
        {0x00, 0x05, false, 0x0000, 2, 4},   {0x80, 0x05, false, 0x1000, 2, 4},
        {0x01, 0x07, false, 0x0800, 2, 6},   {0x81, 0x07, false, 0x1800, 2, 6},
        {0x02, 0x09, false, 0x1000, 1, 9},   {0x82, 0x09, false, 0x0000, 1, 9},
        {0x03, 0xFF, false, 0x1400, 1, 255}, {0x83, 0x21, false, 0x0400, 1, 33},
        {0x04, 0x30, false, 0x1800, 1, 48},  {0x84, 0x31, false, 0x0800, 1, 49},
        {0x05, 0x7F, false, 0x1C00, 1, 127}, {0x85, 0x80, false, 0x0C00, 1, 128},
        {0x06, 0x05, true, 0x8000, 8, 40},   {0x46, 0x05, true, 0xC000, 8, 40},
        {0x06, 0xC5, true, 0x8000, 8, 40},   {0x07, 0x09, true, 0xA000, 8, 72},
        {0x47, 0x09, true, 0xA000, 8, 72},   {0xC7, 0x3F, true, 0xA000, 8, 504 % 256}};
    for (const auto& [select, value, cpuSide, dst, kib, srcKiB] : rows) {
        SCOPED_TRACE(testing::Message() << "select " << int(select) << ", value " << int(value));
        Rig rig(4, 256, 256);
        rig.write(0x8000, select);
        Bytes cpuExpect = snapshot(rig.mem(0x8000), 0x8000);
        Bytes ppuExpect = snapshot(rig.vram(0), 0x2000);
        rig.write(0x8001, value);
        // The window holds the bank, and nothing else moved.
        if (cpuSide) {
            EXPECT_TRUE(rig.prgAt(dst, srcKiB, kib));
            std::memcpy(&cpuExpect[dst - 0x8000], rig.mem(dst), size_t(kib) * KiB);
        } else {
            EXPECT_TRUE(rig.chrAt(dst, srcKiB, kib));
            std::memcpy(&ppuExpect[dst], rig.vram(dst), size_t(kib) * KiB);
        }
        EXPECT_EQ(cpuExpect, snapshot(rig.mem(0x8000), 0x8000));
        EXPECT_EQ(ppuExpect, snapshot(rig.vram(0), 0x2000));
    }
}

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
        Bytes expect = markNametables(rig);
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

TEST(MMC3, IrqCadence) {
    using Writes = std::vector<std::pair<uint16_t, uint8_t>>;
    // The register writes, the lines clocked and those that interrupt.
    for (const auto& [name, writes, lines, hits] : Rows<const char*, Writes, int, std::vector<int>>{
             {"latch 3", {{0xC000, 3}, {0xC001, 0}, {0xE001, 0}}, 13, {4, 8, 12}},
             {"latch 1", {{0xC000, 1}, {0xC001, 0}}, 4, {2, 4}},
             {"latch 0 every line", {{0xC000, 0}, {0xC001, 0}}, 5, {1, 2, 3, 4, 5}},
             {"power-on", {}, 520, {255, 511}},
             {"disabled", {{0xC000, 2}, {0xC001, 0}, {0xE000, 0}}, 20, {}},
             {"latch change applies at reload", {{0xC000, 2}, {0xC001, 0}, {0xC000, 5}}, 12, {6, 12}}}) {
        Rig rig(4, 32, 8);
        *rig.mem(0x2001) = 0x18;
        for (auto [address, value] : writes) rig.write(address, value);
        EXPECT_EQ(hits, clockScanlines(rig, lines)) << name;
    }
}

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

TEST(NTDEC2722, FixedBanksWrapAndE000SelectsC000) {
    // The PRG size and the KiB fixed at $6000, $8000, $A000 and $E000.
    for (const auto& [prgKiB, at6000, at8000, atA000, atE000] : Rows<int32_t, int32_t, int32_t, int32_t, int32_t>{
             {64, 48, 32, 40, 56}, {32, 16, 0, 8, 24}, {48, 0, 32, 40, 8}, {128, 48, 32, 40, 56}}) {
        SCOPED_TRACE(testing::Message() << prgKiB << " KiB");
        Rig rig(40, prgKiB, 8);
        EXPECT_TRUE(rig.prgAt(0x6000, at6000, 8));
        EXPECT_TRUE(rig.prgAt(0x8000, at8000, 8));
        EXPECT_TRUE(rig.prgAt(0xA000, atA000, 8));
        EXPECT_TRUE(rig.prgAt(0xE000, atE000, 8));
        EXPECT_EQ(Bytes(0x2000, 0), snapshot(rig.mem(0xC000), 0x2000));
        for (int value : {2, 10, 0xFF, 3}) {
            rig.write(0xE000, uint8_t(value));
            EXPECT_TRUE(rig.prgAt(0xC000, value * 8 % prgKiB, 8)) << value;
        }
        const auto all = snapshot(rig.mem(0), 0x10000);
        rig.writes({{0xC000, 6}, {0xDFFF, 6}});
        EXPECT_EQ(all, snapshot(rig.mem(0), 0x10000));
        EXPECT_EQ(rig.registers()[2], 1) << "the timer stopped";  // after the counter's two bytes
    }
}

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
TEST(BoardSweep, WindowsOnlyEverHoldRomBanks) {
    // The mapper and the PRG and CHR sizes (KiB).
    for (const auto& [mapper, prgKiB, chrKiB] : Rows<int, int32_t, int32_t>{{1, 3, 1},
                                                                            {1, 48, 24},
                                                                            {1, 512, 128},
                                                                            {1, 1, 0},
                                                                            {2, 1, 0},
                                                                            {2, 96, 8},
                                                                            {2, 7, 0},
                                                                            {3, 16, 40},
                                                                            {3, 32, 3},
                                                                            {3, 32, 0},
                                                                            {4, 5, 3},
                                                                            {4, 40, 96},
                                                                            {4, 2048, 256},
                                                                            {40, 1, 8},
                                                                            {40, 24, 0},
                                                                            {40, 96, 8}}) {
        SCOPED_TRACE(testing::Message() << "mapper " << mapper << ", " << prgKiB << "/" << chrKiB << " KiB");
        Rig rig(mapper, prgKiB, chrKiB);
        std::set<Bytes> prgBanks{Bytes(KiB, 0)};
        std::set<Bytes> chrBanks{Bytes(KiB, 0)};
        for (int32_t k = 0; k < prgKiB; ++k) prgBanks.insert(snapshot(rig.prg(k), KiB));
        for (int32_t k = 0; k < chrKiB; ++k) chrBanks.insert(snapshot(rig.chr(k), KiB));
        std::mt19937 gen(uint32_t(mapper * 1000 + prgKiB));
        for (int i = 0; i < 3000; ++i) {
            rig.write(uint16_t(0x6000 + gen() % 0xA000), uint8_t(gen()));
            if (i % 16) continue;
            for (int k = 0; k < 32; ++k)
                ASSERT_TRUE(prgBanks.count(snapshot(rig.mem(uint16_t(0x8000 + k * KiB)), KiB)))
                    << "PRG KiB " << k << " write " << i;
            for (int k = 0; k < 8 && chrKiB; ++k)
                ASSERT_TRUE(chrBanks.count(snapshot(rig.vram(uint16_t(k * KiB)), KiB)))
                    << "CHR KiB " << k << " write " << i;
        }
    }
}

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
    std::mt19937 gen{uint32_t(GetParam())};
    for (int round = 0; round < 64; ++round) {
        rig.write(uint16_t(0x8000 + gen() % 0x8000), uint8_t(gen()));
        const Bytes before = rig.registers();
        const Bytes prg = snapshot(rig.mem(0x6000), 0xA000), chr = snapshot(rig.vram(0), 0x3000);
        const uint8_t irq = rig.cpu->irqSources;
        for (int i = 0; i < 16; ++i) {
            const uint8_t stored = uint8_t(gen());
            uint8_t value = stored;
            board.cpuWrite(rig.ctx, uint16_t(gen() % board.writesFrom), value);
            ASSERT_EQ(value, stored) << "round " << round;
        }
        ASSERT_EQ(rig.registers(), before) << "round " << round;
        ASSERT_EQ(snapshot(rig.mem(0x6000), 0xA000), prg) << "round " << round;
        ASSERT_EQ(snapshot(rig.vram(0), 0x3000), chr) << "round " << round;
        ASSERT_EQ(rig.cpu->irqSources, irq) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Boards, UndecodedStores, testing::ValuesIn(boardsDecodingFromAbove()));

}  // namespace
