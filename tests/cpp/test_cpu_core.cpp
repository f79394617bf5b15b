// The core: reset, addressing modes and their wraps, cycle counting,
// interrupts, stack bytes, the instruction semantics, the trace line, and the
// fused dispatch against the opcode tables.
#include <gtest/gtest.h>

#include <array>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cpu/decode.h"
#include "test_support.h"

namespace {

struct CoreTest : ::testing::Test {
    Machine m{plainImage()};
    CPU& cpu = *m.cpu;

    void SetUp() override {
        m.poke(0xFFFA, {0x00, 0x90, 0x00, 0xC0, 0x00, 0xA0});  // NMI $9000, reset $C000, IRQ $A000
        cpu.reset();
        cpu.SP = 0xFD;
    }
    // Runs one instruction placed at `at`, its unused operand bytes NOPs.
    int64_t run(const Bytes& code, uint16_t at = 0x0400) {
        for (size_t i = 0; i < 3; ++i) cpu.memory[uint16_t(at + i)] = i < code.size() ? code[i] : 0xEA;
        cpu.PC = at;
        return m.step();
    }
    void regs(uint8_t a, uint8_t x, uint8_t y) {
        cpu.A = a;
        cpu.X = x;
        cpu.Y = y;
    }
    void expectStack(std::initializer_list<uint8_t> bytes, uint16_t top = 0x01FD) {
        for (uint8_t b : bytes) {
            EXPECT_EQ(cpu.memory[top], b) << std::hex << "stack byte " << top;
            --top;
        }
    }
};

TEST_F(CoreTest, ResetLoadsTheVectorZeroesTheCountersAndEndsAJam) {
    cpu.cycles = 99;
    m.ppu->totalDots = 297;
    m.apu->apuCycles = 50;
    m.apu->sampleCount = 7;
    cpu.halted = true;  // a JAM lasts until the next reset
    cpu.reset();
    EXPECT_EQ(cpu.PC, 0xC000);
    EXPECT_FALSE(cpu.halted);
    EXPECT_EQ(int64_t(cpu.cycles), 0);
    EXPECT_EQ(int64_t(m.ppu->totalDots), 0);
    EXPECT_EQ(int64_t(m.apu->apuCycles), 0);
    EXPECT_EQ(m.apu->sampleCount, 0);
}

TEST_F(CoreTest, FlagsByLetter) {
    const std::pair<char, uint8_t> flags[] = {{'C', 0x01}, {'Z', 0x02}, {'I', 0x04}, {'D', 0x08},
                                              {'B', 0x10}, {'V', 0x40}, {'N', 0x80}};
    for (auto [letter, bit] : flags) {
        cpu.P = 0;
        cpu.setFlag(letter, true);
        EXPECT_EQ(cpu.P, bit) << letter;
        EXPECT_TRUE(cpu.getFlag(letter)) << letter;
        cpu.setFlag(letter, false);
        EXPECT_EQ(cpu.P, 0) << letter;
    }
    cpu.P = 0xFF;
    cpu.setFlag('Q', false);
    EXPECT_EQ(cpu.P, 0xFF);
    EXPECT_FALSE(cpu.getFlag('Q'));
}

TEST_F(CoreTest, ZeroPageAndIndirectPointersWrap) {
    struct Case {
        const char* what;
        Bytes code;
        uint8_t x, y;
        uint16_t source;
    };
    const Case cases[] = {
        {"LDA zpgx wraps in page 0", {0xB5, 0xF0}, 0x20, 0, 0x0010},
        {"LDX zpgy uses Y", {0xB6, 0xF0}, 0x01, 0x30, 0x0020},
        {"LDA xind pointer at $FF/$00", {0xA1, 0xFE}, 0x01, 0, 0x0345},
        {"LDA xind index wraps", {0xA1, 0x80}, 0x90, 0, 0x0456},
        {"LDA indy pointer at $FF/$00", {0xB1, 0xFF}, 0, 0x02, 0x0347},
        {"LDA absy wraps at $FFFF", {0xB9, 0xFF, 0xFF}, 0, 0x03, 0x0002},
    };
    for (const Case& c : cases) {
        cpu.memory.fill(0);
        m.poke(0x0000, {0x03});
        m.poke(0x0010, {0x56, 0x04});
        m.poke(0x00FF, {0x45});
        cpu.memory[c.source] = 0xA7;
        regs(0, c.x, c.y);
        run(c.code);
        EXPECT_EQ(c.code[0] == 0xB6 ? cpu.X : cpu.A, 0xA7) << c.what;
    }
}

TEST_F(CoreTest, IndirectJumpTakesItsHighByteFromTheSamePage) {
    m.poke(0x02FF, {0x00, 0x80});
    m.poke(0x0200, {0x90});
    run({0x6C, 0xFF, 0x02});
    EXPECT_EQ(cpu.PC, 0x9000);
    m.poke(0x0310, {0x34, 0x12});
    run({0x6C, 0x10, 0x03});
    EXPECT_EQ(cpu.PC, 0x1234);
}

TEST_F(CoreTest, ThreeByteInstructionAtTheTopOfMemoryWraps) {
    // 32 KiB: $FFFE is not folded.
    m.poke(0x0000, {0x62});
    m.poke(0x6234, {0x5E});
    m.load(0xFFFE, {0xAD, 0x34});
    m.step();
    EXPECT_EQ(cpu.A, 0x5E);
    EXPECT_EQ(cpu.PC, 0x0001);
}

TEST_F(CoreTest, IndexedReadsPayForPageCrossingsStoresAndModifiesDoNot) {
    // Operand word $12F0, or pointer $10 -> $12F0.
    struct Case {
        Bytes code;
        int straight, crossing;
    };
    const Case cases[] = {
        {{0xBD, 0xF0, 0x12}, 4, 5},  // LDA absx
        {{0xB9, 0xF0, 0x12}, 4, 5},  // LDA absy
        {{0x1D, 0xF0, 0x12}, 4, 5},  // ORA absx
        {{0xBC, 0xF0, 0x12}, 4, 5},  // LDY absx
        {{0xBE, 0xF0, 0x12}, 4, 5},  // LDX absy
        {{0xD1, 0x10}, 5, 6},        // CMP indy
        {{0x9D, 0xF0, 0x12}, 5, 5},  // STA absx
        {{0x99, 0xF0, 0x12}, 5, 5},  // STA absy
        {{0x91, 0x10}, 6, 6},        // STA indy
        {{0x1E, 0xF0, 0x12}, 7, 7},  // ASL absx
        {{0xFE, 0xF0, 0x12}, 7, 7},  // INC absx
        {{0xBF, 0xF0, 0x12}, 4, 5},  // LAX absy (undocumented, Y-indexed)
        {{0xB3, 0x10}, 5, 6},        // LAX indy
        {{0xBB, 0xF0, 0x12}, 4, 5},  // LAS absy
        {{0x1C, 0xF0, 0x12}, 4, 5},  // NOP absx
        {{0xDF, 0xF0, 0x12}, 7, 7},  // DCP absx
    };
    m.poke(0x0010, {0xF0, 0x12});
    for (const Case& c : cases) {
        for (const bool cross : {false, true}) {
            cpu.X = cpu.Y = cross ? 0x20 : 0x0F;
            EXPECT_EQ(run(c.code), cross ? c.crossing : c.straight) << std::hex << int(c.code[0]) << " cross " << cross;
            EXPECT_EQ(cpu.PC, 0x0400 + c.code.size());
        }
    }
}

TEST_F(CoreTest, BranchesCostTwoThreeOrFour) {
    struct Case {
        uint16_t at;
        uint8_t offset;
        bool taken;
        uint16_t lands;
        int cycles;
    };
    const Case cases[] = {
        {0x80F0, 0x20, true, 0x8112, 4},  {0x80F0, 0x0C, true, 0x80FE, 3}, {0x80FE, 0x02, true, 0x8102, 3},
        {0x80F0, 0x20, false, 0x80F2, 2}, {0x8102, 0xFC, true, 0x8100, 3}, {0x8100, 0xF0, true, 0x80F2, 4},
        {0xFFF0, 0x20, true, 0x0012, 4},
    };
    // Each branch: its opcode, and the flag value that takes it.
    const struct {
        uint8_t opcode;
        char flag;
        bool when;
    } branches[] = {{0x10, 'N', false}, {0x30, 'N', true}, {0x50, 'V', false}, {0x70, 'V', true},
                    {0x90, 'C', false}, {0xB0, 'C', true}, {0xD0, 'Z', false}, {0xF0, 'Z', true}};
    for (const auto& b : branches) {
        for (const Case& c : cases) {
            cpu.setFlag(b.flag, c.taken == b.when);
            EXPECT_EQ(run({b.opcode, c.offset}, c.at), c.cycles) << std::hex << int(b.opcode) << " at " << c.at;
            EXPECT_EQ(cpu.PC, c.lands) << std::hex << int(b.opcode) << " at " << c.at;
        }
    }
}

// --- interrupts ---

struct InterruptTest : CoreTest {
    void SetUp() override {
        CoreTest::SetUp();
        for (int i = 0; i < 16; ++i) cpu.memory[0x0400 + i] = 0xEA;  // NOPs
        cpu.PC = 0x0400;
        cpu.memory[0x2000] = 0x80;  // NMI enabled in PPUCTRL
    }
    void steps(int n) {
        for (int i = 0; i < n; ++i) m.step();
    }
};

TEST_F(InterruptTest, NmiIsTakenOnceAfterTheNextButOneInstruction) {
    m.step();                   // step k
    m.ppu->nmiOccurred = true;  // raised while the PPU catches up
    EXPECT_EQ(m.step(), 2);     // step k + 1 samples it
    EXPECT_EQ(cpu.PC, 0x0402);
    cpu.P = 0xC3;
    EXPECT_EQ(m.step(), 2);  // step k + 2: instruction, then entry at no cost
    EXPECT_EQ(cpu.PC, 0x9000);
    EXPECT_EQ(cpu.SP, 0xFA);
    expectStack({0x04, 0x03, 0xC3});  // P as it was, bits 4-5 untouched
    EXPECT_TRUE(cpu.getFlag('I'));
    // The condition stays true: no second entry.
    m.poke(0x9000, {0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA});
    steps(3);
    EXPECT_EQ(cpu.PC, 0x9003);
    // It falls, then rises again: one more NMI.
    m.ppu->nmiOccurred = false;
    steps(2);
    m.ppu->nmiOccurred = true;
    m.step();
    EXPECT_EQ(cpu.PC, 0x9006);
    m.step();
    EXPECT_EQ(cpu.PC, 0x9000);
}

TEST_F(InterruptTest, EnablingNmiWhileTheFlagIsSetRaisesTheCondition) {
    cpu.memory[0x2000] = 0x00;
    m.ppu->nmiOccurred = true;
    steps(2);
    EXPECT_EQ(cpu.PC, 0x0402);  // disabled: nothing
    // LDA #$80; STA $2000 turns the enable on with the flag still up.
    m.load(0x0402, {0xA9, 0x80, 0x8D, 0x00, 0x20, 0xEA, 0xEA});
    steps(2);
    EXPECT_EQ(cpu.PC, 0x0407);
    m.step();
    EXPECT_EQ(cpu.PC, 0x9000);
}

TEST_F(InterruptTest, IrqWaitsForIClearAndIsLatchedUntilTaken) {
    cpu.memory[0x2000] = 0x00;
    cpu.setFlag('I', true);
    cpu.irqPending = true;
    steps(2);
    EXPECT_EQ(cpu.PC, 0x0402);
    EXPECT_TRUE(cpu.irqPending);
    m.load(0x0402, {0x58, 0xEA});  // CLI: the entry follows it
    const uint8_t pushed = uint8_t(cpu.P & ~0x04);
    EXPECT_EQ(m.step(), 2);
    EXPECT_EQ(cpu.PC, 0xA000);
    EXPECT_FALSE(cpu.irqPending);
    EXPECT_TRUE(cpu.getFlag('I'));
    expectStack({0x04, 0x03, pushed});
}

TEST_F(InterruptTest, NmiWinsOverIrqAndTheIrqStaysPending) {
    cpu.setFlag('I', false);
    m.ppu->nmiOccurred = true;
    m.step();
    cpu.irqPending = true;
    cpu.memory[0x9000] = 0x40;  // RTI
    m.step();
    EXPECT_EQ(cpu.PC, 0x9000);
    EXPECT_TRUE(cpu.irqPending);
    m.step();  // RTI restores I clear; the IRQ follows it
    EXPECT_EQ(cpu.PC, 0xA000);
    EXPECT_FALSE(cpu.irqPending);
    expectStack({0x04, 0x02});
}

// --- stack bytes ---

TEST_F(CoreTest, BrkPushesReturnAddressAndStatusWithBitsFourAndFive) {
    cpu.P = 0x00;
    EXPECT_EQ(run({0x00}, 0x8000), 7);
    EXPECT_EQ(cpu.PC, 0xA000);
    expectStack({0x80, 0x02, 0x30});
    EXPECT_EQ(cpu.P, 0x34);
    EXPECT_EQ(cpu.SP, 0xFA);
    // RTI pulls all eight bits back, then the address.
    cpu.memory[0x01FB] = 0xC3;
    EXPECT_EQ(run({0x40}, 0xA000), 6);
    EXPECT_EQ(cpu.P, 0xC3);
    EXPECT_EQ(cpu.PC, 0x8002);
    EXPECT_EQ(cpu.SP, 0xFD);
}

TEST_F(CoreTest, PhpPlpJsrRtsAndTheStackPageWrap) {
    cpu.P = 0x24;
    run({0x08});
    expectStack({0x34});
    EXPECT_EQ(cpu.P, 0x24);
    cpu.memory[0x01FD] = 0xFF;
    run({0x28});
    EXPECT_EQ(cpu.P, 0xFF);

    m.poke(0xD000, {0x60});
    cpu.SP = 0xFD;
    EXPECT_EQ(run({0x20, 0x00, 0xD0}, 0xC000), 6);
    EXPECT_EQ(cpu.PC, 0xD000);
    expectStack({0xC0, 0x02});
    EXPECT_EQ(cpu.SP, 0xFB);
    EXPECT_EQ(m.step(), 6);
    EXPECT_EQ(cpu.PC, 0xC003);

    cpu.SP = 0x00;
    cpu.A = 0x5C;
    run({0x48});
    EXPECT_EQ(cpu.memory[0x0100], 0x5C);
    EXPECT_EQ(cpu.SP, 0xFF);
    run({0x68});
    EXPECT_EQ(cpu.SP, 0x00);
    EXPECT_EQ(cpu.A, 0x5C);
}

// --- semantics ---

TEST_F(CoreTest, ArithmeticLogicAndShiftsSetTheirFlags) {
    // One immediate, implied or accumulator instruction; X = $0F, Y = $F0 throughout.
    struct Case {
        const char* what;
        Bytes code;
        uint8_t a, p, wantA, wantP;
    };
    const Case cases[] = {
        {"ADC overflow", {0x69, 0x01}, 0x7F, 0x20, 0x80, 0xE0},
        {"ADC carry out", {0x69, 0x01}, 0xFF, 0x20, 0x00, 0x23},
        {"ADC ignores D", {0x69, 0x01}, 0x09, 0x28, 0x0A, 0x28},
        {"ADC carry in", {0x69, 0x10}, 0x20, 0x21, 0x31, 0x20},
        {"SBC borrow", {0xE9, 0x01}, 0x00, 0x21, 0xFF, 0xA0},
        {"SBC overflow", {0xE9, 0x01}, 0x80, 0x21, 0x7F, 0x61},
        {"SBC borrow in", {0xE9, 0x01}, 0x05, 0x20, 0x03, 0x21},
        {"CMP less", {0xC9, 0x20}, 0x10, 0x23, 0x10, 0xA0},
        {"CMP equal", {0xC9, 0x10}, 0x10, 0xA0, 0x10, 0x23},
        {"CPX greater", {0xE0, 0x01}, 0x00, 0x20, 0x00, 0x21},
        {"CPY wraps N", {0xC0, 0x70}, 0x00, 0x20, 0x00, 0xA1},
        {"AND", {0x29, 0x0F}, 0xF0, 0xA0, 0x00, 0x22},
        {"ORA", {0x09, 0x80}, 0x01, 0x22, 0x81, 0xA0},
        {"EOR", {0x49, 0xFF}, 0xFF, 0xA0, 0x00, 0x22},
        {"LSR A", {0x4A}, 0x01, 0xA0, 0x00, 0x23},
        {"ASL A", {0x0A}, 0x81, 0x20, 0x02, 0x21},
        {"ROL A", {0x2A}, 0x80, 0x21, 0x01, 0x21},
        {"ROR A", {0x6A}, 0x00, 0x21, 0x80, 0xA0},
        {"BIT zpg", {0x24, 0x80}, 0x00, 0x20, 0x00, 0xE2},
        {"TSX sets N", {0xBA}, 0x00, 0x20, 0x00, 0xA0},
        {"TAX zero", {0xAA}, 0x00, 0x20, 0x00, 0x22},
        {"INX", {0xE8}, 0x00, 0x22, 0x00, 0x20},
        {"DEY", {0x88}, 0x00, 0x20, 0x00, 0xA0},
        {"CLV", {0xB8}, 0x00, 0x60, 0x00, 0x20},
        {"SED", {0xF8}, 0x00, 0x20, 0x00, 0x28},
    };
    cpu.memory[0x0080] = 0xC0;
    for (const Case& c : cases) {
        regs(c.a, 0x0F, 0xF0);
        cpu.P = c.p;
        cpu.SP = 0xFD;
        run(c.code);
        EXPECT_EQ(cpu.A, c.wantA) << c.what;
        EXPECT_EQ(cpu.P, c.wantP) << c.what;
        EXPECT_EQ(cpu.PC, 0x0400 + c.code.size()) << c.what;
    }
}

TEST_F(CoreTest, ReadModifyWriteOnMemoryGoesThroughTheBusOnce) {
    cpu.memory[0x0080] = 0x00;
    cpu.P = 0x21;
    EXPECT_EQ(run({0x66, 0x80}), 5);  // ROR $80 with C set
    EXPECT_EQ(cpu.memory[0x0080], 0x80);
    EXPECT_EQ(cpu.P, 0xA0);
    cpu.memory[0x0085] = 0xFF;
    cpu.X = 0x05;
    EXPECT_EQ(run({0xF6, 0x80}), 6);  // INC $80,X
    EXPECT_EQ(cpu.memory[0x0085], 0x00);
    EXPECT_TRUE(cpu.getFlag('Z'));
    // DEC of PPUDATA reads once (one increment of v) and writes once (another).
    m.ppu->v = 0x2400;
    run({0xCE, 0x07, 0x20});
    EXPECT_EQ(m.ppu->v, 0x2402);
}

TEST_F(CoreTest, OpcodesTheDecodingAddsKeepTheirDecodedBehaviour) {
    // $1A shifts the byte after it and continues there.
    m.load(0x0300, {0x1A, 0x41});
    cpu.P = 0x21;
    EXPECT_EQ(m.step(), 2);
    EXPECT_EQ(cpu.memory[0x0301], 0x82);
    EXPECT_EQ(cpu.P, 0xA0);
    EXPECT_EQ(cpu.PC, 0x0301);
    // $02 ASL #: shifts its own operand byte, costs 0.
    m.load(0x0300, {0x02, 0x81});
    EXPECT_EQ(m.step(), 0);
    EXPECT_EQ(cpu.memory[0x0301], 0x02);
    EXPECT_TRUE(cpu.getFlag('C'));
    EXPECT_EQ(cpu.PC, 0x0302);
    // $89 STA # and $82 STX # store into the operand byte.
    cpu.A = 0x3C;
    cpu.X = 0x4D;
    m.load(0x0300, {0x89, 0x00, 0x82, 0x00});
    m.step();
    m.step();
    EXPECT_EQ(cpu.memory[0x0301], 0x3C);
    EXPECT_EQ(cpu.memory[0x0303], 0x4D);
    // $9E STX absx.
    cpu.X = 0x05;
    EXPECT_EQ(run({0x9E, 0x00, 0x02}), 5);
    EXPECT_EQ(cpu.memory[0x0205], 0x05);
    // $E2 INC # on ROM: the ROM byte is read, nothing is stored.
    const uint8_t rom = cpu.memory[0x8001];
    m.load(0x8000, {0xE2});
    EXPECT_EQ(m.step(), 2);
    EXPECT_EQ(cpu.memory[0x8001], rom);
    EXPECT_EQ(cpu.getFlag('Z'), uint8_t(rom + 1) == 0);
}

// --- undocumented opcodes ---

TEST_F(CoreTest, StableUndocumentedOpcodesActAsOnTheNmos6502) {
    // mem: the byte at the operand location ($0080, or via the pointer at $0010).
    struct Case {
        const char* what;
        Bytes code;
        uint8_t a, x, y, p, mem, wantA, wantX, wantP, wantMem;
        uint8_t wantSP = 0xFD;
    };
    const Case cases[] = {
        {"LAX zpg", {0xA7, 0x80}, 0, 0, 0, 0x20, 0x91, 0x91, 0x91, 0xA0, 0x91},
        {"LAX zpgy", {0xB7, 0x70}, 0, 0, 0x10, 0x20, 0x00, 0x00, 0x00, 0x22, 0x00},
        {"LAX absy", {0xBF, 0x70, 0x00}, 0, 0, 0x10, 0x20, 0x05, 0x05, 0x05, 0x20, 0x05},
        {"LAX indy", {0xB3, 0x10}, 0, 0, 0x00, 0x20, 0x42, 0x42, 0x42, 0x20, 0x42},
        {"LAX xind", {0xA3, 0x0E}, 0, 0x02, 0, 0x20, 0x81, 0x81, 0x81, 0xA0, 0x81},
        {"SAX zpg", {0x87, 0x80}, 0xF3, 0x3F, 0, 0xA2, 0x00, 0xF3, 0x3F, 0xA2, 0x33},
        {"SAX zpgy", {0x97, 0x70}, 0xF3, 0x3F, 0x10, 0x20, 0x00, 0xF3, 0x3F, 0x20, 0x33},
        {"DCP", {0xC7, 0x80}, 0x10, 0, 0, 0x20, 0x11, 0x10, 0, 0x23, 0x10},
        {"ISC", {0xE7, 0x80}, 0x10, 0, 0, 0x21, 0x0F, 0x00, 0, 0x23, 0x10},
        {"SLO", {0x07, 0x80}, 0x01, 0, 0, 0x20, 0x81, 0x03, 0, 0x21, 0x02},
        {"RLA", {0x27, 0x80}, 0xFF, 0, 0, 0x21, 0x40, 0x81, 0, 0xA0, 0x81},
        {"SRE", {0x47, 0x80}, 0x01, 0, 0, 0x20, 0x03, 0x00, 0, 0x23, 0x01},
        {"RRA", {0x67, 0x80}, 0x10, 0, 0, 0x20, 0x03, 0x12, 0, 0x20, 0x01},
        {"RRA overflow", {0x67, 0x80}, 0x7F, 0, 0, 0x20, 0x02, 0x80, 0, 0xE0, 0x01},
        {"ANC", {0x0B, 0x80}, 0xFF, 0, 0, 0x20, 0, 0x80, 0, 0xA1, 0},
        {"ANC $2B", {0x2B, 0x7F}, 0xFF, 0, 0, 0x21, 0, 0x7F, 0, 0x20, 0},
        {"ALR", {0x4B, 0x03}, 0xFF, 0, 0, 0xA0, 0, 0x01, 0, 0x21, 0},
        {"ARR C and V", {0x6B, 0xC0}, 0xFF, 0, 0, 0x21, 0, 0xE0, 0, 0xA1, 0},
        {"ARR V only", {0x6B, 0x40}, 0xFF, 0, 0, 0x20, 0, 0x20, 0, 0x60, 0},
        {"SBX", {0xCB, 0x02}, 0x0F, 0x3C, 0, 0x20, 0, 0x0F, 0x0A, 0x21, 0},
        {"SBX borrow", {0xCB, 0x10}, 0x0F, 0x3C, 0, 0x21, 0, 0x0F, 0xFC, 0xA0, 0},
        {"LXA loads the immediate", {0xAB, 0x5A}, 0x00, 0x11, 0, 0x20, 0, 0x5A, 0x5A, 0x20, 0},
        {"XAA ands X and the immediate", {0x8B, 0xF0}, 0x00, 0x3C, 0, 0x22, 0, 0x30, 0x3C, 0x20, 0},
        {"SBC $EB", {0xEB, 0x01}, 0x80, 0, 0, 0x21, 0, 0x7F, 0, 0x61, 0},
        {"LAS", {0xBB, 0x70, 0x00}, 0, 0, 0x10, 0x20, 0xF1, 0xF1, 0xF1, 0xA0, 0xF1, 0xF1},
        {"NOP zpg", {0x04, 0x80}, 0x12, 0x34, 0, 0x20, 0x99, 0x12, 0x34, 0x20, 0x99},
        {"NOP zpgx", {0xF4, 0x70}, 0x12, 0x10, 0, 0x20, 0x99, 0x12, 0x10, 0x20, 0x99},
        {"NOP abs", {0x0C, 0x80, 0x00}, 0x12, 0x34, 0, 0x20, 0x99, 0x12, 0x34, 0x20, 0x99},
        {"NOP absx", {0x7C, 0x70, 0x00}, 0x12, 0x10, 0, 0x20, 0x99, 0x12, 0x10, 0x20, 0x99},
        {"NOP imm", {0x80, 0x80}, 0x12, 0x34, 0, 0x20, 0x99, 0x12, 0x34, 0x20, 0x99},
    };
    m.poke(0x0010, {0x80, 0x00});
    for (const Case& c : cases) {
        cpu.memory[0x0080] = c.mem;
        regs(c.a, c.x, c.y);
        cpu.P = c.p;
        cpu.SP = c.code[0] == 0xBB ? 0xFF : 0xFD;
        run(c.code);
        EXPECT_EQ(cpu.PC, 0x0400 + c.code.size()) << c.what;
        EXPECT_EQ(cpu.A, c.wantA) << c.what;
        EXPECT_EQ(cpu.X, c.wantX) << c.what;
        EXPECT_EQ(cpu.P, c.wantP) << c.what;
        EXPECT_EQ(cpu.memory[0x0080], c.wantMem) << c.what;
        EXPECT_EQ(cpu.SP, c.wantSP) << c.what;
    }
    cpu.memory[0x2002] = 0x80;
    run({0x0C, 0x02, 0x20});  // NOP $2002 still reads it: bit 7 of PPUSTATUS clears
    EXPECT_EQ(cpu.memory[0x2002], 0x00);
}

TEST_F(CoreTest, HighByteStoresAndTheirPageCrossingAddress) {
    regs(0xFF, 0xFF, 0x10);
    run({0x9F, 0x00, 0x02});  // SHA absy: A & X & ($02 + 1)
    EXPECT_EQ(cpu.memory[0x0210], 0x03);
    regs(0xFF, 0x10, 0x07);
    run({0x9C, 0x00, 0x05});  // SHY absx: Y & ($05 + 1)
    EXPECT_EQ(cpu.memory[0x0510], 0x06);
    regs(0xFF, 0x20, 0x03);
    run({0x9C, 0xF0, 0x06});  // crossing: the value 3 & 7 becomes the high byte
    EXPECT_EQ(cpu.memory[0x0310], 0x03);
    EXPECT_EQ(cpu.memory[0x0710], 0x00);
    regs(0x0F, 0xFC, 0x00);
    run({0x9B, 0x00, 0x03});  // TAS: SP = A & X, stores SP & ($03 + 1)
    EXPECT_EQ(cpu.SP, 0x0C);
    EXPECT_EQ(cpu.memory[0x0300], 0x04);
}

TEST_F(CoreTest, JamHaltsWithPcOnTheOpcodeWhileTimeMovesOn) {
    for (const uint8_t opcode : {0x12, 0x32, 0x52, 0x72, 0x92, 0xB2, 0xD2, 0xF2}) {
        Machine jammed{plainImage()};
        CPU& c = *jammed.cpu;
        jammed.load(0x0400, {opcode, 0xEA});
        c.memory[0x2000] = 0x80;
        EXPECT_EQ(jammed.step(), 0);
        jammed.ppu->nmiOccurred = true;
        c.irqPending = true;
        c.P = 0;
        for (int i = 0; i < 5; ++i) EXPECT_EQ(jammed.step(), 2);
        EXPECT_TRUE(c.halted);
        EXPECT_EQ(c.PC, 0x0400);
        EXPECT_EQ(c.SP, 0xFF);  // no interrupt entry
        EXPECT_EQ(c.memory[0x0401], 0xEA);
    }
}

TEST_F(CoreTest, EveryOpcodeHasAnOperationAndTheDecodingNamesTheDocumentedOnes) {
    int fullyNamed = 0;
    for (int opcode = 0; opcode < 256; ++opcode) {
        EXPECT_NE(cpu.instructionHandlers[opcode], nullptr) << opcode;
        fullyNamed += cpu.instructionNames[opcode] && cpu.modeNames[opcode];
        // The trace shows an opcode by both names or by neither.
        EXPECT_EQ(cpu.instructionNames[opcode] == nullptr, cpu.modeNames[opcode] == nullptr) << opcode;
        // Only "impl" has no mode operation.
        if (cpu.modeNames[opcode] && std::string(cpu.modeNames[opcode]) == "impl") {
            EXPECT_EQ(cpu.modeHandlers[opcode], nullptr) << opcode;
        }
    }
    EXPECT_EQ(fullyNamed, 151 + 15);
    const std::pair<uint8_t, std::string> named[] = {
        {0xEA, "NOP impl"}, {0x9E, "STX absx"}, {0xB6, "LDX zpgy"}, {0x6C, "JMP ind"}};
    for (const auto& [opcode, text] : named) {
        EXPECT_EQ(std::string(cpu.instructionNames[opcode]) + " " + cpu.modeNames[opcode], text);
    }
    EXPECT_EQ(cpu.instructionNames[0x80], nullptr);
}

TEST_F(CoreTest, TraceLineFormats) {
    m.poke(0x01FE, {0xCD, 0xAB});
    cpu.memory[0x0205] = 0x77;
    regs(0x01, 0x05, 0x02);
    cpu.P = 0x24;
    EXPECT_EQ(captureStdout([&] { run({0xEA}); }), "");

    cpu.cycles = 10;
    cpu.debug = true;
    const std::string out = captureStdout([&] {
        run({0xBD, 0x00, 0x02});  // LDA $0200,X
        cpu.SP = 0xFF;
        run({0x0A});  // ASL A shows A as its byte
        run({0x80, 0x00});
        cpu.SP = 0xFE;
        run({0x12});
    });
    EXPECT_EQ(out,
              "Cycles: 14, 0xbd: LDA, absx $0200->0205=77, PC=$0400 - A=01 - X=05 - Y=02 - P=24 SP: fd [ab,cd]\n"
              "Cycles: 16, 0x0a: ASL, acc $0000->0000=77, PC=$0400 - A=77 - X=05 - Y=02 - P=24 SP: ff []\n"
              "0x80: --- SP: ff []\n"
              "0x12: --- SP: fe [ab]\n");
}

// --- the fused dispatch ---

// The run-time tables are made from this decoding and the fused dispatch
// compiles it in; what it says: the stops, the idle-loop marks and a few
// entries seen through to their operations.
TEST(Decoding, StopsLoopMarksAndEntries) {
    using namespace cpu_ops;
    int jams = 0, markers = 0;
    for (int opcode = 0; opcode < 256; ++opcode) {
        jams += decode(uint8_t(opcode)).jams;
        markers += decode(uint8_t(opcode)).marksLoops;
    }
    EXPECT_EQ(jams, 8);
    EXPECT_EQ(markers, 8 + 2);
    EXPECT_EQ(modeOp(decode(0xBD).mode), &absx);
    EXPECT_EQ(decode(0xBD).op, &LDA);
    EXPECT_EQ(modeOp(decode(0x6C).mode), &ind);
    EXPECT_EQ(modeOp(decode(0xEA).mode), nullptr);
    EXPECT_NE(decode(0xA9).op, decode(0xA2).op);
}

// Every opcode from random states, once through the fused dispatch and once
// through the tables (the debug path), on twin machines: everything the step
// can touch must come out the same. The code sits in RAM, in cartridge space
// (with and without the 16 KiB fold) and at the ends of its quarters, where
// the operand bytes leave the opcode's quarter or wrap to $0000.
TEST(FusedDispatch, MatchesTheTablesOnEveryOpcode) {
    const uint16_t places[] = {0x0400, 0x07FE, 0x1FFF, 0x4020, 0x6FF0, 0x7FFE, 0x7FFF,
                               0x8123, 0xBFFE, 0xBFFF, 0xC456, 0xFFFE, 0xFFFF};
    std::mt19937 rng(6502);
    std::vector<std::string> mismatches;
    int steps = 0;
    for (const int banks : {2, 1}) {
        Machine fused{plainImage(banks)};
        Machine tables{plainImage(banks)};
        tables.cpu->debug = true;
        const std::string traces = captureStdout([&] {
            for (int opcode = 0; opcode < 256; ++opcode) {
                for (int round = 0; round < 24; ++round) {
                    CPU& f = *fused.cpu;
                    const uint16_t pc = places[rng() % std::size(places)];
                    for (int i = 0; i < 0x800; ++i) f.memory[i] = uint8_t(rng());
                    for (int i = 0x6000; i < 0x6100; ++i) f.memory[i] = uint8_t(rng());
                    f.memory[0x2000] = uint8_t(rng());
                    const uint16_t folded = f.foldRom(pc);
                    const uint16_t at = pc < 0x2000 ? uint16_t(pc & 0x07FF) : folded;
                    f.memory[at] = uint8_t(opcode);
                    for (int i = 1; i < 3; ++i) {
                        const uint16_t address = uint16_t(pc + i);
                        f.memory[address < 0x2000 ? address & 0x07FF : f.foldRom(address)] = uint8_t(rng());
                    }
                    f.A = uint8_t(rng());
                    f.X = uint8_t(rng());
                    f.Y = uint8_t(rng());
                    f.P = uint8_t(rng());
                    f.SP = uint8_t(rng());
                    f.PC = pc;
                    f.cycles = rng() % 100000;
                    f.halted = rng() % 32 == 0;
                    f.nmiSample = rng() % 2;
                    f.nmiLine = rng() % 2;
                    f.irqPending = rng() % 4 == 0;
                    f.mapperWatchesReads = rng() % 8 == 0;
                    fused.ppu->nmiOccurred = rng() % 2;
                    // The tables' twin starts from the same state.
                    CPU& t = *tables.cpu;
                    t.memory = f.memory;
                    t.A = f.A, t.X = f.X, t.Y = f.Y, t.P = f.P, t.SP = f.SP, t.PC = f.PC;
                    t.cycles = int64_t(f.cycles);
                    t.halted = f.halted, t.nmiSample = f.nmiSample, t.nmiLine = f.nmiLine;
                    t.irqPending = f.irqPending, t.mapperWatchesReads = f.mapperWatchesReads;
                    tables.ppu->nmiOccurred = fused.ppu->nmiOccurred;

                    f.step();
                    t.step();
                    ++steps;
                    std::ostringstream out;
                    // Everything the step can touch outside memory and OAM, by the names below.
                    const auto fields = [](const Machine& m) {
                        const CPU& c = *m.cpu;
                        const auto row = [](auto... v) { return std::array<long long, sizeof...(v)>{v...}; };
                        return row(c.A, c.X, c.Y, c.P, c.SP, c.PC, int64_t(c.cycles), c.halted, c.pageCrossed,
                                   c.instructionLength, c.nmiSample, c.nmiLine, c.irqPending, c.idleLoopStart,
                                   c.stepStart, c.ioTouched, m.ppu->v);
                    };
                    std::istringstream names(
                        "A X Y P SP PC cycles halted pageCrossed instructionLength nmiSample nmiLine irqPending "
                        "idleLoopStart stepStart ioTouched ppu.v");
                    const auto mine = fields(fused), theirs = fields(tables);
                    for (size_t i = 0; i < mine.size(); ++i) {
                        std::string name;
                        names >> name;
                        if (mine[i] != theirs[i]) out << " " << name << " " << mine[i] << "/" << theirs[i];
                    }
                    if (f.memory != t.memory) out << " memory";
                    if (fused.ppu->oam != tables.ppu->oam) out << " oam";
                    if (!out.str().empty() && mismatches.size() < 20) {
                        std::ostringstream where;
                        where << std::hex << "opcode " << opcode << " at " << pc << " (" << banks << " banks):";
                        mismatches.push_back(where.str() + out.str());
                    }
                }
            }
        });
        EXPECT_FALSE(traces.empty());  // the twin did go through the trace
    }
    EXPECT_EQ(steps, 2 * 256 * 24);
    for (const std::string& m : mismatches) ADD_FAILURE() << m;
}

}  // namespace
