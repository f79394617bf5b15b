// The CPU bus: address folding, register dispatch, mapper notification,
// OAM DMA and the joypad serial ports.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "console/controller.h"
#include "test_support.h"

namespace {

using Writes = std::vector<std::pair<uint16_t, uint8_t>>;

// A board that records what the bus shows it and may rewrite the value.
class RecordingMapper : public NES::Mapper {
public:
    Writes writes;
    int replaceWith = -1;
    RecordingMapper() { watchesWrites = true; }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override {
        EXPECT_TRUE(context.cpu && context.ppu && context.apu);
        writes.emplace_back(address, value);
        if (replaceWith >= 0) value = uint8_t(replaceWith);
    }
};

struct BusTest : ::testing::Test {
    Machine m{plainImage()};
    CPU& cpu = *m.cpu;
    RecordingMapper* board = nullptr;

    void SetUp() override {
        auto recording = std::make_unique<RecordingMapper>();
        board = recording.get();
        m.useBoard(std::move(recording));
    }
};

TEST_F(BusTest, MirrorsFoldOntoTheirCanonicalAddress) {
    const std::pair<uint16_t, uint16_t> folds[] = {
        {0x0801, 0x0001}, {0x1FFF, 0x07FF}, {0x07FF, 0x07FF}, {0x2008, 0x2000}, {0x3456, 0x2006},
        {0x2FFA, 0x2002}, {0x3FFF, 0x2007}, {0x4000, 0x4000}, {0x4020, 0x4020}, {0xC000, 0xC000},
    };
    for (auto [address, folded] : folds) EXPECT_EQ(cpu.foldAddress(address), folded) << std::hex << address;

    cpu.write(0x0801, 0x5A);
    EXPECT_EQ(cpu.memory[0x0001], 0x5A);
    cpu.memory[0x07FF] = 0x77;
    EXPECT_EQ(cpu.read(0x1FFF), 0x77);
    // $3456 is PPUADDR: two writes set v like two writes to $2006.
    cpu.write(0x3456, 0x21);
    cpu.write(0x3456, 0x08);
    EXPECT_EQ(m.ppu->v, 0x2108);
    EXPECT_EQ(cpu.memory[0x2006], 0x08);
}

TEST(BusFold, SixteenKiBNromAndCnromSeeTheirBankTwice) {
    struct Case {
        int prg16, mapper;
        bool folds;
    };
    for (const Case c : {Case{1, 0, true}, Case{1, 3, true}, Case{2, 0, false}, Case{2, 3, false}, Case{1, 2, false},
                         Case{8, 2, false}}) {
        Machine m(plainImage(c.prg16, c.mapper));
        EXPECT_EQ(m.cpu->foldUpperPrgBank, c.folds) << "mapper " << c.mapper << " prg " << c.prg16;
        m.poke(0xBFFC, {0x12});
        m.poke(0xFFFC, {0x34});
        EXPECT_EQ(m.cpu->read(0xFFFC), c.folds ? 0x12 : 0x34);
        EXPECT_EQ(m.cpu->foldAddress(0xC123), c.folds ? 0x8123 : 0xC123);
    }
}

TEST_F(BusTest, WritesAreShownToTheMapperAndNeverStoredIntoRom) {
    const uint8_t rom = cpu.memory[0x8000];
    const Writes writes = {
        {0x8000, uint8_t(rom + 1)}, {0xFFFF, 0x42}, {0x1801, 0x99}, {0x2002, 0x55}, {0x4000, 0x3C}, {0x6000, 0x17}};
    for (auto [address, value] : writes) cpu.write(address, value);
    // $1801 is folded before the board sees it; read-only $2002 is not stored.
    Writes seen = writes;
    seen[2].first = 0x0001;
    EXPECT_EQ(board->writes, seen);
    EXPECT_EQ(cpu.memory[0x8000], rom);
    EXPECT_EQ(cpu.memory[0xFFFF], uint8_t(0xFFFF & 0x3FFF));
    EXPECT_EQ(cpu.memory[0x0001], 0x99);
    EXPECT_EQ(cpu.memory[0x2002], 0x00);
    EXPECT_EQ(cpu.memory[0x4000], 0x3C);
    EXPECT_EQ(cpu.memory[0x6000], 0x17);

    // The store takes the value as the board left it.
    board->replaceWith = 0xAB;
    cpu.write(0x0300, 0x01);
    EXPECT_EQ(cpu.memory[0x0300], 0xAB);
}

// The one-load word read must equal two bus reads, side effects included,
// wherever the pair straddles a mirror, a register or the upper-bank fold.
TEST(BusWord, WordReadsMatchTwoByteReads) {
    const uint16_t addresses[] = {0x0000, 0x07FF, 0x0FFF, 0x1FFF, 0x2001, 0x2002, 0x2006,
                                  0x3FFF, 0x4014, 0x4015, 0x4016, 0x401F, 0x4020, 0x5FFF,
                                  0x7FFF, 0x8000, 0xBFFE, 0xBFFF, 0xC000, 0xFFFE, 0xFFFF};
    for (const int prg16 : {1, 2}) {
        for (uint16_t address : addresses) {
            Machine word(plainImage(prg16)), bytes(plainImage(prg16));
            ASSERT_EQ(word.cpu->foldUpperPrgBank, prg16 == 1);
            for (Machine* m : {&word, &bytes}) {
                for (int a = 0; a < 0x10000; ++a) m->cpu->memory[a] = uint8_t(a ^ (a >> 8) ^ 0x5A);
                m->ppu->vblank = true;
                *m->ppu->ppuStatus = 0x80;
                m->apu->frameIrq = true;
                m->cpu->joypadShift[0] = 0x5A;
            }
            const uint16_t got = word.cpu->readWord(address);
            const uint8_t low = bytes.cpu->read(address);
            EXPECT_EQ(got, uint16_t(low | (bytes.cpu->read(uint16_t(address + 1)) << 8)))
                << std::hex << address << " prg16 " << prg16;
            EXPECT_EQ(word.ppu->vblank, bytes.ppu->vblank) << std::hex << address;
            EXPECT_EQ(word.ppu->w, bytes.ppu->w) << std::hex << address;
            EXPECT_EQ(word.apu->frameIrq, bytes.apu->frameIrq) << std::hex << address;
            EXPECT_EQ(word.cpu->joypadShift[0], bytes.cpu->joypadShift[0]) << std::hex << address;
        }
    }
}

TEST_F(BusTest, OamDmaStartsAtOamAddrMasksAttributesAndKeepsOamAddr) {
    for (int i = 0; i < 256; ++i) cpu.memory[0x0200 + i] = uint8_t(0xFF - i);
    for (const uint8_t start : {uint8_t(0), uint8_t(4), uint8_t(0xFF)}) {
        m.ppu->oamAddr = start;
        // STA $4014 with A = 2: only the store's own four cycles pass.
        cpu.A = 0x02;
        m.load(0x0400, {0x8D, 0x14, 0x40});
        EXPECT_EQ(m.step(), 4);
        EXPECT_EQ(m.ppu->oamAddr, start);
        EXPECT_EQ(cpu.memory[0x4014], 0x02);
        for (int i = 0; i < 256; ++i) {
            const uint8_t index = uint8_t(start + i);
            const uint8_t source = uint8_t(0xFF - i);
            ASSERT_EQ(m.ppu->oam[index], (index & 3) == 2 ? (source & 0xE3) : source)
                << "start " << int(start) << " index " << int(index);
        }
    }
    EXPECT_EQ(board->writes.back(), std::make_pair(uint16_t(0x4014), uint8_t(0x02)));
    // With the debug switch on, the new OAM is printed.
    cpu.debug = true;
    const std::string out = captureStdout([&] { cpu.write(0x4014, 0x02); });
    std::string expected = "New OAM: [";
    char cell[8];
    for (const uint8_t byte : m.ppu->oam) {
        std::snprintf(cell, sizeof cell, "%02x,", byte);
        expected += cell;
    }
    EXPECT_EQ(out, expected + "]\n");
    cpu.debug = false;
    // Page $21 folds onto the PPU registers: each source read of $2007 advances v.
    m.ppu->v = 0x2000;
    cpu.write(0x4014, 0x21);
    EXPECT_EQ(m.ppu->v, 0x2000 + 256 / 8);
}

// --- joypads: $4016 strobe, serial reads of $4016 and $4017 ---

struct JoypadTest : BusTest {
    ControllerWrapper pads[2];
    void SetUp() override {
        BusTest::SetUp();
        cpu.joypadPorts[0].store(&pads[0].buttons);
        cpu.joypadPorts[1].store(&pads[1].buttons);
    }
    std::string reads(uint16_t address, int n, CPU* from = nullptr) {
        std::string out;
        for (int i = 0; i < n; ++i) out += (from ? from : &cpu)->read(address) == 0x41 ? '1' : '0';
        return out;
    }
    void strobe() {
        cpu.write(0x4016, 1);
        cpu.write(0x4016, 0);
    }
};

TEST_F(JoypadTest, EightButtonsThenOnes) {
    struct Case {
        std::array<uint8_t, 8> port0, port1;
        const char* bits0;
        const char* bits1;
    };
    const Case cases[] = {
        {{0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}, "000000001111", "000000001111"},
        {{1, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}, "100000001111", "000000001111"},
        {{0, 1, 0, 1, 0, 0, 1, 1}, {1, 1, 1, 1, 1, 1, 1, 0}, "010100111111", "111111101111"},
    };
    for (const Case& c : cases) {
        pads[0].store(c.port0);
        pads[1].store(c.port1);
        strobe();
        EXPECT_EQ(reads(0x4016, 12), c.bits0);
        EXPECT_EQ(reads(0x4017, 12), c.bits1);
    }
    // Every read answers $40 or $41, whatever $4016 last stored.
    EXPECT_EQ(cpu.read(0x4016), 0x41);
    EXPECT_EQ(cpu.memory[0x4016], 0x00);
}

TEST_F(JoypadTest, HeldStrobeKeepsReturningTheLatchedFirstButton) {
    pads[0].store({1, 0, 0, 0, 0, 0, 0, 0});
    cpu.write(0x4016, 1);
    EXPECT_EQ(reads(0x4016, 5), "11111");
    // Changes after the last write of 1 are not seen until the next one.
    pads[0].store({0, 1, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(reads(0x4016, 3), "111");
    cpu.write(0x4016, 0);  // the 1 -> 0 edge does not reload
    EXPECT_EQ(reads(0x4016, 2), "10");
    cpu.write(0x4016, 3);
    cpu.write(0x4016, 2);
    EXPECT_EQ(reads(0x4016, 3), "010");
}

TEST_F(JoypadTest, PortsAreIndependentAndAnEmptyPortReadsZeros) {
    // Before any strobe: eight zeros, then ones.
    Machine fresh(plainImage());
    EXPECT_EQ(reads(0x4017, 10, fresh.cpu.get()), "0000000011");

    pads[1].store({0, 0, 1, 0, 0, 0, 0, 0});
    cpu.joypadPorts[0].store(nullptr);
    strobe();
    EXPECT_EQ(reads(0x4017, 3), "001");
    EXPECT_EQ(reads(0x4016, 9), "000000001");
    EXPECT_EQ(reads(0x4017, 6), "000001");
    // $4017 writes go to the APU frame counter, not the pads.
    cpu.write(0x4017, 1);
    EXPECT_EQ(reads(0x4017, 1), "1");
}

}  // namespace
