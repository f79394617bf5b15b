// The CPU in the hardware timing: the bus cycle by cycle (dummy reads and
// writes included), cycle counts against the chip's table, interrupt polling
// and entry, the reset sequence, sprite DMA and open bus.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "cartridge/mappers/mapper.h"
#include "cpu/decode.h"
#include "test_support.h"

namespace {

// Sees every access: a board watching reads and writes gets each one, in order.
struct Access {
    char kind;  // 'R' or 'W'
    uint16_t address;
    bool operator==(const Access& o) const { return kind == o.kind && address == o.address; }
};

std::ostream& operator<<(std::ostream& out, const Access& a) {
    char text[16];
    std::snprintf(text, sizeof text, "%c$%04X", a.kind, a.address);
    return out << text;
}

struct RecordingBoard : NES::Mapper {
    std::vector<Access>* trace = nullptr;
    RecordingBoard() {
        watchesReads = true;
        watchesWrites = true;
    }
    void cpuRead(BusContext&, uint16_t address) override { trace->push_back({'R', address}); }
    void cpuWrite(BusContext&, uint16_t address, uint8_t&) override { trace->push_back({'W', address}); }
};

struct HardwareCpu : ::testing::Test {
    Machine m{plainImage()};
    CPU& cpu = *m.cpu;
    std::vector<Access> trace;

    void SetUp() override {
        cpu.hardware = m.ppu->hardware = m.apu->hardware = true;
        m.poke(0xFFFA, {0x00, 0x90, 0x00, 0xC0, 0x00, 0xA0});  // NMI $9000, reset $C000, IRQ $A000
        cpu.PC = 0xC000;
        cpu.SP = 0xFD;
        cpu.P = 0x24;
        cpu.clearHardwareState();
    }
    // From now on, every bus access is traced.
    void watch() {
        auto board = std::make_unique<RecordingBoard>();
        board->trace = &trace;
        m.useBoard(std::move(board));
        cpu.mapperWatchesReads = cpu.mapperWatchesWrites = cpu.mapperWatchesRamWrites = true;
    }
    // Runs one instruction placed at `at` in RAM; returns its cycles.
    int64_t run(const Bytes& code, uint16_t at = 0x0300) {
        for (size_t i = 0; i < code.size(); ++i) cpu.memory[uint16_t(at + i)] = code[i];
        cpu.PC = at;
        const int64_t before = cpu.cycles;
        cpu.stepHardware();
        return int64_t(cpu.cycles) - before;
    }
};

struct TraceCase {
    const char* name;
    Bytes code;
    uint8_t x, y;
    std::vector<Access> expected;
};

// The bus pattern of each kind of addressing, as the chip runs it.
const std::vector<TraceCase> kTraces = {
    {"implied reads the next byte", {0xEA}, 0, 0, {{'R', 0x0300}, {'R', 0x0301}}},
    {"zero page,X reads the base first",
     {0xB5, 0x40},
     0x05,
     0,
     {{'R', 0x0300}, {'R', 0x0301}, {'R', 0x0040}, {'R', 0x0045}}},
    {"absolute,X read without a crossing",
     {0xBD, 0x80, 0x02},
     0x10,
     0,
     {{'R', 0x0300}, {'R', 0x0301}, {'R', 0x0302}, {'R', 0x0290}}},
    {"absolute,X read across a page reads the wrong page first",
     {0xBD, 0x80, 0x02},
     0x90,
     0,
     {{'R', 0x0300}, {'R', 0x0301}, {'R', 0x0302}, {'R', 0x0210}, {'R', 0x0310}}},
    {"absolute,X store always reads first",
     {0x9D, 0x80, 0x02},
     0x10,
     0,
     {{'R', 0x0300}, {'R', 0x0301}, {'R', 0x0302}, {'R', 0x0290}, {'W', 0x0290}}},
    {"read-modify-write writes the old value back first",
     {0xFE, 0x80, 0x02},
     0x10,
     0,
     {{'R', 0x0300}, {'R', 0x0301}, {'R', 0x0302}, {'R', 0x0290}, {'R', 0x0290}, {'W', 0x0290}, {'W', 0x0290}}},
    {"(zp),Y across a page",
     {0xB1, 0x40},
     0,
     0xF0,
     {{'R', 0x0300}, {'R', 0x0301}, {'R', 0x0040}, {'R', 0x0041}, {'R', 0x0250}, {'R', 0x0350}}},
    {"(zp,X) reads the pointer's base first",
     {0xA1, 0x3E},
     0x02,
     0,
     {{'R', 0x0300}, {'R', 0x0301}, {'R', 0x003E}, {'R', 0x0040}, {'R', 0x0041}, {'R', 0x0260}}},
    {"JSR reads the stack before its pushes",
     {0x20, 0x00, 0x05},
     0,
     0,
     {{'R', 0x0300}, {'R', 0x0301}, {'R', 0x01FD}, {'W', 0x01FD}, {'W', 0x01FC}, {'R', 0x0302}}},
    {"PLA reads the stack twice", {0x68}, 0, 0, {{'R', 0x0300}, {'R', 0x0301}, {'R', 0x01FD}, {'R', 0x01FE}}},
    {"a taken branch across a page reads the next opcode and the wrong page",
     {0xD0, 0x80},
     0,
     0,
     {{'R', 0x0300}, {'R', 0x0301}, {'R', 0x0302}, {'R', 0x0382}}},
    {"BRK reads its padding byte and pushes three bytes",
     {0x00},
     0,
     0,
     {{'R', 0x0300}, {'R', 0x0301}, {'W', 0x01FD}, {'W', 0x01FC}, {'W', 0x01FB}, {'R', 0xFFFE}, {'R', 0xFFFF}}},
};

class BusPattern : public HardwareCpu, public ::testing::WithParamInterface<TraceCase> {};

TEST_P(BusPattern, AccessesComeInTheChipsOrder) {
    const TraceCase& c = GetParam();
    cpu.X = c.x;
    cpu.Y = c.y;
    cpu.P = 0x24;  // Z clear: BNE is taken
    m.poke(0x0040, {0x60, 0x02});
    watch();
    run(c.code);
    EXPECT_EQ(trace, c.expected) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Modes, BusPattern, ::testing::ValuesIn(kTraces));

// Every opcode but the JAMs and branches takes the cycles of the chip's
// table, the indexed reads one more across a page.
TEST_F(HardwareCpu, EveryOpcodeTakesTheTablesCycles) {
    using cpu_ops::cycleDigit;
    using cpu_ops::kBaseCycles;
    using cpu_ops::kPageCrossCycles;
    for (int opcode = 0; opcode < 256; ++opcode) {
        if ((opcode & 0x1F) == 0x10) continue;            // branches: below
        if ((opcode & 0x03) == 0x02 && opcode != 0xA2) {  // the JAMs of g = 2, b = 0 and 4
            if ((opcode & 0x1C) == 0x10 || (opcode < 0x80 && (opcode & 0x1C) == 0)) continue;
        }
        for (bool cross : {false, true}) {
            cpu.X = cpu.Y = cross ? 0xFF : 0x01;
            cpu.SP = 0xFD;
            cpu.halted = false;
            m.poke(0x0040, {0x80, 0x02});  // (zp) pointers to $0280
            const int64_t took = run({uint8_t(opcode), 0x40, 0x02});
            const int expected = cycleDigit(cross ? kPageCrossCycles : kBaseCycles, opcode);
            EXPECT_EQ(took, expected) << std::hex << "opcode $" << opcode << (cross ? " crossing" : "");
        }
    }
}

TEST_F(HardwareCpu, BranchesTakeTwoThreeOrFourCycles) {
    cpu.P = 0x24;                             // Z clear
    EXPECT_EQ(run({0xF0, 0x10}), 2);          // BEQ not taken
    EXPECT_EQ(run({0xD0, 0x10}), 3);          // BNE taken, same page
    EXPECT_EQ(run({0xD0, 0x10}, 0x03F0), 4);  // BNE taken into the next page
    EXPECT_EQ(run({0xD0, 0x80}), 4);          // and back into the previous one
}

// An IRQ seen by the poll enters after the instruction, in seven cycles,
// pushing B clear; CLI lets one more instruction run first.
TEST_F(HardwareCpu, AnIrqEntersAfterTheInstructionThatPolledIt) {
    cpu.P = 0x20;  // I clear
    cpu.setIrq(CPU::kIrqFrame, true, 0);
    run({0xEA});  // NOP: its poll sees the line
    const int64_t before = cpu.cycles;
    cpu.stepHardware();
    EXPECT_EQ(int64_t(cpu.cycles) - before, 7);
    EXPECT_EQ(cpu.PC, 0xA000);
    EXPECT_EQ(cpu.memory[0x01FB] & 0x30, 0x20) << "an IRQ pushes B clear";
    EXPECT_TRUE(cpu.P & 0x04);
}

TEST_F(HardwareCpu, CliSeiAndPlpChangeMaskingOneInstructionLate) {
    for (uint8_t opcode : {uint8_t(0x58), uint8_t(0x28)}) {  // CLI, PLP of a byte with I clear
        cpu.P = 0x24;
        cpu.SP = 0xFC;
        cpu.memory[0x01FD] = 0x20;
        cpu.clearHardwareState();
        cpu.setIrq(CPU::kIrqFrame, true, 0);
        m.poke(0x0301, {0xEA, 0xEA});
        run({opcode});
        EXPECT_FALSE(cpu.P & 0x04);
        cpu.stepHardware();  // the next instruction still runs
        EXPECT_EQ(cpu.PC, opcode == 0x58 ? 0x0302 : 0x0302) << std::hex << int(opcode);
        cpu.stepHardware();
        EXPECT_EQ(cpu.PC, 0xA000) << std::hex << int(opcode);
    }
    // SEI: the IRQ already seen still enters once, after SEI.
    cpu.P = 0x20;
    cpu.clearHardwareState();
    cpu.setIrq(CPU::kIrqFrame, true, 0);
    run({0x78});
    cpu.stepHardware();
    EXPECT_EQ(cpu.PC, 0xA000);
}

TEST_F(HardwareCpu, RtiUnmasksAtOnce) {
    cpu.P = 0x24;
    cpu.SP = 0xFA;
    m.poke(0x01FB, {0x20, 0x00, 0x05});  // P with I clear, return to $0500
    cpu.setIrq(CPU::kIrqFrame, true, 0);
    run({0x40});
    EXPECT_EQ(cpu.PC, 0x0500);
    cpu.stepHardware();
    EXPECT_EQ(cpu.PC, 0xA000);
}

// A line that goes active during the last cycle is seen one instruction later.
TEST_F(HardwareCpu, AnIrqRaisedInTheLastCycleWaitsAnInstruction) {
    cpu.P = 0x20;
    m.poke(0x0300, {0xAD, 0x00, 0x02, 0xEA});  // LDA $0200 (4 cycles); NOP
    cpu.PC = 0x0300;
    cpu.setIrq(CPU::kIrqFrame, true, int64_t(cpu.cycles) + 3);
    cpu.stepHardware();
    cpu.stepHardware();
    EXPECT_EQ(cpu.PC, 0x0304) << "the NOP ran first";
    cpu.stepHardware();
    EXPECT_EQ(cpu.PC, 0xA000);
}

// A taken branch that stays in its page polls only in its opcode's cycle:
// an IRQ from its operand cycle on waits for the next instruction.
TEST_F(HardwareCpu, ATakenBranchInItsPageDelaysAnIrq) {
    for (bool crossing : {false, true}) {
        cpu.P = 0x20;  // Z clear: BNE is taken
        cpu.clearHardwareState();
        const uint16_t at = crossing ? 0x02F0 : 0x0300;
        m.poke(at, {0xD0, 0x0E});
        const uint16_t target = uint16_t(at + 2 + 0x0E);
        m.poke(target, {0xEA});
        cpu.PC = at;
        cpu.setIrq(CPU::kIrqFrame, true, int64_t(cpu.cycles) + 1);  // from the branch's operand cycle on
        cpu.stepHardware();
        ASSERT_EQ(cpu.PC, target);
        cpu.stepHardware();
        EXPECT_EQ(cpu.PC, crossing ? 0xA000 : uint16_t(target + 1)) << (crossing ? "crossing" : "same page");
    }
}

TEST_F(HardwareCpu, AnNmiSeenBeforeTheStatusPushTakesOverBrk) {
    for (int64_t offset : {1, 3, 4, 6}) {
        cpu.P = 0x24;
        cpu.SP = 0xFD;
        cpu.clearHardwareState();
        cpu.PC = 0x0300;
        m.poke(0x0300, {0x00, 0xEA});
        const int64_t start = cpu.cycles;
        cpu.nmiDetectedAt = start + offset;
        cpu.stepHardware();
        const bool takenOver = offset < 4;
        EXPECT_EQ(cpu.PC, takenOver ? 0x9000 : 0xA000) << "NMI seen at cycle " << offset << " of BRK";
        EXPECT_EQ(cpu.memory[0x01FB] & 0x10, 0x10) << "BRK's status keeps B";
        EXPECT_EQ(cpu.nmiDetectedAt == CPU::kNoNmi, takenOver);
    }
}

TEST_F(HardwareCpu, TheResetSequenceTakesSevenCyclesAndThreeStackBytes) {
    cpu.A = 0x12;
    cpu.X = 0x34;
    cpu.Y = 0x56;
    cpu.SP = 0x00;
    cpu.P = 0x00;
    const int64_t before = cpu.cycles;
    cpu.resetSequence();
    EXPECT_EQ(int64_t(cpu.cycles) - before, 7);
    EXPECT_EQ(cpu.SP, 0xFD);
    EXPECT_EQ(cpu.PC, 0xC000);
    EXPECT_TRUE(cpu.P & 0x04);
    EXPECT_EQ(cpu.A, 0x12);
    EXPECT_EQ(cpu.X, 0x34);
    EXPECT_EQ(cpu.Y, 0x56);
}

// $4014 halts the CPU after the write's instruction: 513 cycles, 514 when
// the DMA would start on an odd cycle.
TEST_F(HardwareCpu, SpriteDmaHaltsTheCpu513Or514Cycles) {
    for (int i = 0; i < 256; ++i) cpu.memory[0x0200 + i] = uint8_t(i);
    for (int round = 0; round < 2; ++round) {
        run({0xA5, 0x00});  // LDA zp: three cycles flip the parity
        m.ppu->oamAddr = 0;
        cpu.A = 0x02;
        const bool odd = (int64_t(cpu.cycles) + 4) % 2 != 0;
        const int64_t took = run({0x8D, 0x14, 0x40});  // STA $4014
        EXPECT_EQ(took, 4 + (odd ? 514 : 513)) << (odd ? "odd" : "even");
        EXPECT_EQ(m.ppu->oam[5], 5);
        EXPECT_EQ(m.ppu->oam[2], 0x02 & 0xE3) << "attribute bits 2-4 do not exist";
    }
}

// Write-only registers and the unmapped space below $6000 read as the last
// byte on the bus; the joypad ports fill their upper bits from it.
TEST_F(HardwareCpu, WriteOnlyAndUnmappedAddressesReadOpenBus) {
    for (uint16_t address :
         {uint16_t(0x4000), uint16_t(0x4014), uint16_t(0x4018), uint16_t(0x4100), uint16_t(0x5FFF)}) {
        const int64_t before = cpu.cycles;
        run({0xAD, uint8_t(address), uint8_t(address >> 8)});  // LDA abs: the last byte fetched is the high one
        EXPECT_EQ(cpu.A, uint8_t(address >> 8)) << std::hex << address;
        EXPECT_EQ(int64_t(cpu.cycles) - before, 4);
    }
    run({0xAD, 0x16, 0x40});
    EXPECT_EQ(cpu.A & 0xE0, 0x40);
}

}  // namespace
