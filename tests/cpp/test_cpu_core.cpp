// The core: reset, addressing modes and their wraps, cycle counting,
// interrupts, stack bytes, the instruction semantics and the trace line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_cpu_machine.h"

namespace {

struct CoreTest : ::testing::Test {
    CpuMachine m;
    CPU& cpu = *m.cpu;

    void SetUp() override {
        m.poke(0xFFFA, {0x00, 0x90, 0x00, 0xC0, 0x00, 0xA0});  // NMI $9000, reset $C000, IRQ $A000
        cpu.reset();
        cpu.SP = 0xFD;
    }
    // Runs one instruction placed at $0400.
    int64_t run(std::initializer_list<uint8_t> code) {
        m.load(0x0400, code);
        return m.step();
    }
};

TEST_F(CoreTest, ResetLoadsTheVectorAndZeroesTheCounters) {
    CpuMachine fresh;
    fresh.poke(0xFFFC, {0x00, 0xC0});
    fresh.cpu->cycles = 99;
    fresh.ppu->totalDots = 297;
    fresh.apu->apuCycles = 50;
    fresh.apu->sampleCount = 7;
    fresh.cpu->reset();
    EXPECT_EQ(fresh.cpu->PC, 0xC000);
    EXPECT_EQ(fresh.cpu->SP, 0xFF);
    EXPECT_EQ(fresh.cpu->P, 0x24);
    EXPECT_EQ(int64_t(fresh.cpu->cycles), 0);
    EXPECT_EQ(int64_t(fresh.ppu->totalDots), 0);
    EXPECT_EQ(int64_t(fresh.apu->apuCycles), 0);
    EXPECT_EQ(fresh.apu->sampleCount, 0);
}

TEST_F(CoreTest, FlagsByLetter) {
    cpu.P = 0;
    const std::string letters = "CZIDBVN";
    const uint8_t bits[] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x40, 0x80};
    for (size_t i = 0; i < letters.size(); ++i) {
        cpu.setFlag(letters[i], true);
        EXPECT_EQ(cpu.P, bits[i]);
        EXPECT_TRUE(cpu.getFlag(letters[i]));
        cpu.setFlag(letters[i], false);
        EXPECT_EQ(cpu.P, 0);
    }
    cpu.P = 0xFF;
    EXPECT_FALSE(cpu.getFlag('Q'));
    cpu.setFlag('Q', false);
    EXPECT_EQ(cpu.P, 0xFF);
}

TEST_F(CoreTest, ZeroPageAndIndirectPointersWrap) {
    struct Case {
        const char* what;
        std::vector<uint8_t> code;
        uint8_t x, y;
        uint16_t expectedSource;
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
        cpu.memory[0x00FF] = 0x45;
        cpu.memory[0x0000] = 0x03;
        cpu.memory[0x0010] = 0x56;
        cpu.memory[0x0011] = 0x04;
        cpu.memory[c.expectedSource] = 0xA7;
        cpu.X = c.x;
        cpu.Y = c.y;
        m.poke(0x0400, {c.code[0], c.code[1]});
        if (c.code.size() > 2) cpu.memory[0x0402] = c.code[2];
        cpu.PC = 0x0400;
        m.step();
        EXPECT_EQ(c.code[0] == 0xB6 ? cpu.X : cpu.A, 0xA7) << c.what;
    }
}

TEST_F(CoreTest, IndirectJumpTakesItsHighByteFromTheSamePage) {
    cpu.memory[0x02FF] = 0x00;
    cpu.memory[0x0200] = 0x90;
    cpu.memory[0x0300] = 0x80;
    run({0x6C, 0xFF, 0x02});
    EXPECT_EQ(cpu.PC, 0x9000);
    cpu.memory[0x0310] = 0x34;
    cpu.memory[0x0311] = 0x12;
    run({0x6C, 0x10, 0x03});
    EXPECT_EQ(cpu.PC, 0x1234);
}

TEST_F(CoreTest, ThreeByteInstructionAtTheTopOfMemoryWraps) {
    CpuMachine flat;  // 32 KiB: $FFFE is not folded
    flat.poke(0xFFFE, {0xAD, 0x34});
    flat.cpu->memory[0x0000] = 0x62;
    flat.cpu->memory[0x6234] = 0x5E;
    flat.cpu->PC = 0xFFFE;
    flat.step();
    EXPECT_EQ(flat.cpu->A, 0x5E);
    EXPECT_EQ(flat.cpu->PC, 0x0001);
}

TEST_F(CoreTest, IndexedReadsPayForPageCrossingsStoresAndModifiesDoNot) {
    struct Case {
        std::vector<uint8_t> code;  // operand word $12F0 or pointer $10 -> $12F0
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
    cpu.memory[0x0010] = 0xF0;
    cpu.memory[0x0011] = 0x12;
    for (const Case& c : cases) {
        for (const bool cross : {false, true}) {
            cpu.X = cpu.Y = cross ? 0x20 : 0x0F;
            m.poke(0x0400, {c.code[0], c.code[1], c.code.size() > 2 ? c.code[2] : uint8_t(0xEA)});
            cpu.PC = 0x0400;
            EXPECT_EQ(m.step(), cross ? c.crossing : c.straight) << std::hex << int(c.code[0]) << " cross " << cross;
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
        {0x80F0, 0x20, true, 0x8112, 4}, {0x80F0, 0x0C, true, 0x80FE, 3}, {0x80FE, 0x02, true, 0x8102, 3},
        {0x80F0, 0x20, false, 0x80F2, 2}, {0x8102, 0xFC, true, 0x8100, 3}, {0x8100, 0xF0, true, 0x80F2, 4},
        {0xFFF0, 0x20, true, 0x0012, 4},
    };
    // Each branch mnemonic: its opcode, and the flag value that takes it.
    const struct {
        uint8_t opcode;
        char flag;
        bool when;
    } branches[] = {{0x10, 'N', false}, {0x30, 'N', true}, {0x50, 'V', false}, {0x70, 'V', true},
                    {0x90, 'C', false}, {0xB0, 'C', true}, {0xD0, 'Z', false}, {0xF0, 'Z', true}};
    for (const auto& b : branches) {
        for (const Case& c : cases) {
            m.poke(c.at, {b.opcode, c.offset});
            cpu.PC = c.at;
            cpu.setFlag(b.flag, c.taken == b.when);
            EXPECT_EQ(m.step(), c.cycles) << std::hex << int(b.opcode) << " at " << c.at;
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
};

TEST_F(InterruptTest, NmiIsTakenOnceAfterTheNextButOneInstruction) {
    m.step();                       // step k
    m.ppu->nmiOccurred = true;      // raised while the PPU catches up
    EXPECT_EQ(m.step(), 2);         // step k + 1 samples it
    EXPECT_EQ(cpu.PC, 0x0402);
    cpu.P = 0xC3;
    EXPECT_EQ(m.step(), 2);         // step k + 2: instruction, then entry at no cost
    EXPECT_EQ(cpu.PC, 0x9000);
    EXPECT_EQ(cpu.SP, 0xFA);
    EXPECT_EQ(cpu.memory[0x01FD], 0x04);
    EXPECT_EQ(cpu.memory[0x01FC], 0x03);
    EXPECT_EQ(cpu.memory[0x01FB], 0xC3);  // P as it was, bits 4-5 untouched
    EXPECT_TRUE(cpu.getFlag('I'));
    // The condition stays true: no second entry.
    m.poke(0x9000, {0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA});
    for (int i = 0; i < 3; ++i) m.step();
    EXPECT_EQ(cpu.PC, 0x9003);
    // It falls, then rises again: one more NMI.
    m.ppu->nmiOccurred = false;
    m.step();
    m.step();
    m.ppu->nmiOccurred = true;
    m.step();
    EXPECT_EQ(cpu.PC, 0x9006);
    m.step();
    EXPECT_EQ(cpu.PC, 0x9000);
}

TEST_F(InterruptTest, EnablingNmiWhileTheFlagIsSetRaisesTheCondition) {
    cpu.memory[0x2000] = 0x00;
    m.ppu->nmiOccurred = true;
    m.step();
    m.step();
    EXPECT_EQ(cpu.PC, 0x0402);  // disabled: nothing
    // LDA #$80; STA $2000 turns the enable on with the flag still up.
    m.load(0x0402, {0xA9, 0x80, 0x8D, 0x00, 0x20, 0xEA, 0xEA});
    m.step();
    m.step();
    EXPECT_EQ(cpu.PC, 0x0407);
    m.step();
    EXPECT_EQ(cpu.PC, 0x9000);
}

TEST_F(InterruptTest, IrqWaitsForIClearAndIsLatchedUntilTaken) {
    cpu.memory[0x2000] = 0x00;
    cpu.setFlag('I', true);
    cpu.irqPending = true;
    m.step();
    m.step();
    EXPECT_EQ(cpu.PC, 0x0402);
    EXPECT_TRUE(cpu.irqPending);
    m.load(0x0402, {0x58, 0xEA});  // CLI: the entry follows it
    const uint8_t pushed = uint8_t(cpu.P & ~0x04);
    EXPECT_EQ(m.step(), 2);
    EXPECT_EQ(cpu.PC, 0xA000);
    EXPECT_FALSE(cpu.irqPending);
    EXPECT_TRUE(cpu.getFlag('I'));
    EXPECT_EQ(cpu.memory[0x01FD], 0x04);
    EXPECT_EQ(cpu.memory[0x01FC], 0x03);
    EXPECT_EQ(cpu.memory[0x01FB], pushed);
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
    EXPECT_EQ(cpu.memory[0x01FD], 0x04);
    EXPECT_EQ(cpu.memory[0x01FC], 0x02);
}

// --- stack bytes ---

TEST_F(CoreTest, BrkPushesReturnAddressAndStatusWithBitsFourAndFive) {
    cpu.P = 0x00;
    m.poke(0x8000, {0x00});
    cpu.PC = 0x8000;
    EXPECT_EQ(m.step(), 7);
    EXPECT_EQ(cpu.PC, 0xA000);
    EXPECT_EQ(cpu.memory[0x01FD], 0x80);
    EXPECT_EQ(cpu.memory[0x01FC], 0x02);
    EXPECT_EQ(cpu.memory[0x01FB], 0x30);
    EXPECT_EQ(cpu.P, 0x34);
    EXPECT_EQ(cpu.SP, 0xFA);
    // RTI pulls all eight bits back, then the address.
    cpu.memory[0x01FB] = 0xC3;
    m.poke(0xA000, {0x40});
    EXPECT_EQ(m.step(), 6);
    EXPECT_EQ(cpu.P, 0xC3);
    EXPECT_EQ(cpu.PC, 0x8002);
    EXPECT_EQ(cpu.SP, 0xFD);
}

TEST_F(CoreTest, PhpPlpJsrRtsAndTheStackPageWrap) {
    cpu.P = 0x24;
    run({0x08});
    EXPECT_EQ(cpu.memory[0x01FD], 0x34);
    EXPECT_EQ(cpu.P, 0x24);
    cpu.memory[0x01FD] = 0xFF;
    run({0x28});
    EXPECT_EQ(cpu.P, 0xFF);

    m.poke(0xC000, {0x20, 0x00, 0xD0});
    m.poke(0xD000, {0x60});
    cpu.PC = 0xC000;
    cpu.SP = 0xFD;
    EXPECT_EQ(m.step(), 6);
    EXPECT_EQ(cpu.PC, 0xD000);
    EXPECT_EQ(cpu.memory[0x01FD], 0xC0);
    EXPECT_EQ(cpu.memory[0x01FC], 0x02);
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

// --- semantics: one immediate or accumulator instruction from a given state ---

struct Semantic {
    const char* what;
    std::vector<uint8_t> code;
    uint8_t a, p;        // inputs (X = $0F, Y = $F0 throughout)
    uint8_t wantA, wantP;
};

TEST_F(CoreTest, ArithmeticLogicAndShiftsSetTheirFlags) {
    const Semantic cases[] = {
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
    for (const Semantic& c : cases) {
        cpu.A = c.a;
        cpu.P = c.p;
        cpu.X = 0x0F;
        cpu.Y = 0xF0;
        cpu.SP = 0xFD;
        m.poke(0x0400, {c.code[0], c.code.size() > 1 ? c.code[1] : uint8_t(0xEA)});
        cpu.PC = 0x0400;
        m.step();
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
    // $1A at $0300 shifts the byte after it and continues there.
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
    m.load(0x0300, {0x9E, 0x00, 0x02});
    EXPECT_EQ(m.step(), 5);
    EXPECT_EQ(cpu.memory[0x0205], 0x05);
    // $E2 INC # on ROM: the ROM byte is read, nothing is stored.
    const uint8_t rom = cpu.memory[0x8001];
    m.load(0x8000, {0xE2});
    EXPECT_EQ(m.step(), 2);
    EXPECT_EQ(cpu.memory[0x8001], rom);
    EXPECT_EQ(cpu.getFlag('Z'), uint8_t(rom + 1) == 0);
}

// --- undocumented opcodes ---

struct Undocumented {
    const char* what;
    std::vector<uint8_t> code;
    uint8_t a, x, y, p, m;  // m: the byte at the operand location ($0080 or via $0010)
    uint8_t wantA, wantX, wantP, wantM;
    uint8_t wantSP = 0xFD;
};

TEST_F(CoreTest, StableUndocumentedOpcodesActAsOnTheNmos6502) {
    const Undocumented cases[] = {
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
    for (const Undocumented& c : cases) {
        cpu.memory[0x0010] = 0x80;  // indirect pointer to $0080
        cpu.memory[0x0011] = 0x00;
        cpu.memory[0x0080] = c.m;
        cpu.A = c.a;
        cpu.X = c.x;
        cpu.Y = c.y;
        cpu.P = c.p;
        cpu.SP = c.code[0] == 0xBB ? 0xFF : 0xFD;
        m.poke(0x0400, {c.code[0], c.code[1], c.code.size() > 2 ? c.code[2] : uint8_t(0xEA)});
        cpu.PC = 0x0400;
        m.step();
        EXPECT_EQ(cpu.PC, 0x0400 + c.code.size()) << c.what;
        EXPECT_EQ(cpu.A, c.wantA) << c.what;
        EXPECT_EQ(cpu.X, c.wantX) << c.what;
        EXPECT_EQ(cpu.P, c.wantP) << c.what;
        EXPECT_EQ(cpu.memory[0x0080], c.wantM) << c.what;
        EXPECT_EQ(cpu.SP, c.wantSP) << c.what;
    }
}

TEST_F(CoreTest, UndocumentedNopsStillReadTheirOperand) {
    cpu.memory[0x2002] = 0x80;
    run({0x0C, 0x02, 0x20});  // NOP $2002: a PPUSTATUS read clears bit 7
    EXPECT_EQ(cpu.memory[0x2002], 0x00);
}

TEST_F(CoreTest, HighByteStoresAndTheirPageCrossingAddress) {
    cpu.A = 0xFF;
    cpu.X = 0xFF;
    cpu.Y = 0x10;
    run({0x9F, 0x00, 0x02});  // SHA absy: A & X & ($02 + 1)
    EXPECT_EQ(cpu.memory[0x0210], 0x03);
    cpu.X = 0x10;
    cpu.Y = 0x07;
    run({0x9C, 0x00, 0x05});  // SHY absx: Y & ($05 + 1)
    EXPECT_EQ(cpu.memory[0x0510], 0x06);
    cpu.Y = 0x03;
    cpu.X = 0x20;
    run({0x9C, 0xF0, 0x06});  // crossing: the value 3 & 7 becomes the high byte
    EXPECT_EQ(cpu.memory[0x0310], 0x03);
    EXPECT_EQ(cpu.memory[0x0710], 0x00);
    cpu.A = 0x0F;
    cpu.X = 0xFC;
    cpu.Y = 0x00;
    run({0x9B, 0x00, 0x03});  // TAS: SP = A & X, stores SP & ($03 + 1)
    EXPECT_EQ(cpu.SP, 0x0C);
    EXPECT_EQ(cpu.memory[0x0300], 0x04);
}

TEST_F(CoreTest, JamHaltsWithPcOnTheOpcodeWhileTimeMovesOn) {
    for (const uint8_t opcode : {0x12, 0x32, 0x52, 0x72, 0x92, 0xB2, 0xD2, 0xF2}) {
        CpuMachine jammed;
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
    int fullyNamed = 0, nameOnly = 0;
    for (int opcode = 0; opcode < 256; ++opcode) {
        EXPECT_NE(cpu.instructionHandlers[opcode], nullptr) << opcode;
        if (cpu.instructionNames[opcode] && cpu.modeNames[opcode]) ++fullyNamed;
        if (cpu.instructionNames[opcode] && !cpu.modeNames[opcode]) ++nameOnly;
        // Only "impl" and nothing else has no mode operation.
        const bool impl = cpu.modeNames[opcode] && std::string(cpu.modeNames[opcode]) == "impl";
        if (impl) {
            EXPECT_EQ(cpu.modeHandlers[opcode], nullptr) << opcode;
        }
    }
    EXPECT_EQ(fullyNamed, 151 + 15);
    EXPECT_EQ(nameOnly, 8);
    EXPECT_STREQ(cpu.instructionNames[0xEA], "NOP");
    EXPECT_STREQ(cpu.modeNames[0xEA], "impl");
    EXPECT_STREQ(cpu.instructionNames[0x9E], "STX");
    EXPECT_STREQ(cpu.modeNames[0x9E], "absx");
    EXPECT_STREQ(cpu.modeNames[0xB6], "zpgy");
    EXPECT_STREQ(cpu.modeNames[0x6C], "ind");
    EXPECT_EQ(cpu.instructionNames[0x80], nullptr);
}

// --- the debug trace ---

TEST_F(CoreTest, TraceLineFormats) {
    cpu.memory[0x0205] = 0x77;
    cpu.memory[0x01FF] = 0xAB;
    cpu.memory[0x01FE] = 0xCD;
    cpu.X = 0x05;
    cpu.A = 0x01;
    cpu.Y = 0x02;
    cpu.P = 0x24;
    cpu.debug = false;
    testing::internal::CaptureStdout();
    run({0xEA});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    cpu.cycles = 10;
    cpu.debug = true;
    testing::internal::CaptureStdout();
    run({0xBD, 0x00, 0x02});  // LDA $0200,X
    cpu.SP = 0xFF;
    run({0x0A});  // ASL A shows A as its byte
    run({0x80, 0x00});
    cpu.SP = 0xFE;
    run({0x12});
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "Cycles: 14, 0xbd: LDA, absx $0200->0205=77, PC=$0400 - A=01 - X=05 - Y=02 - P=24 SP: fd [ab,cd]\n"
              "Cycles: 16, 0x0a: ASL, acc $0000->0000=77, PC=$0400 - A=77 - X=05 - Y=02 - P=24 SP: ff []\n"
              "0x80: --- SP: ff []\n"
              "0x12: --- SP: fe [ab]\n");
}

}  // namespace
