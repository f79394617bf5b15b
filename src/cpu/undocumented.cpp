// Opcodes the decoding leaves without an operation, given what an NMOS 6502
// does with them, each with its real addressing mode. Their name entries stay
// empty, so the trace shows them as "0x%02x: ---".
#include "cpu/operations.h"

namespace cpu_ops {

namespace {

// Reads its operand like the real chip, so register side effects still happen.
void skip(CPU& cpu, Location loc) {
    if (loc != CPU::kAccumulator) (void)cpu.read(uint16_t(loc));
}

// The core stops with PC on the opcode; step keeps time moving.
void jam(CPU& cpu, Location) {
    cpu.halted = true;
    cpu.instructionLength = 0;
}

// --- read-modify-write combined with an accumulator operation ---

void SLO(CPU& cpu, Location loc) {
    const uint8_t r = shiftLeft(cpu, cpu.read(uint16_t(loc)));
    cpu.write(uint16_t(loc), r);
    cpu.A |= r;
    setNZ(cpu, cpu.A);
}

void RLA(CPU& cpu, Location loc) {
    const uint8_t r = rotateLeft(cpu, cpu.read(uint16_t(loc)));
    cpu.write(uint16_t(loc), r);
    cpu.A &= r;
    setNZ(cpu, cpu.A);
}

void SRE(CPU& cpu, Location loc) {
    const uint8_t r = shiftRight(cpu, cpu.read(uint16_t(loc)));
    cpu.write(uint16_t(loc), r);
    cpu.A ^= r;
    setNZ(cpu, cpu.A);
}

void RRA(CPU& cpu, Location loc) {
    const uint8_t r = rotateRight(cpu, cpu.read(uint16_t(loc)));
    cpu.write(uint16_t(loc), r);
    addWithCarry(cpu, r);
}

void DCP(CPU& cpu, Location loc) {
    const uint8_t r = uint8_t(cpu.read(uint16_t(loc)) - 1);
    cpu.write(uint16_t(loc), r);
    compare(cpu, cpu.A, r);
}

void ISC(CPU& cpu, Location loc) {
    const uint8_t r = uint8_t(cpu.read(uint16_t(loc)) + 1);
    cpu.write(uint16_t(loc), r);
    subtractWithBorrow(cpu, r);
}

// --- loads and stores of A and X together ---

void LAX(CPU& cpu, Location loc) {
    cpu.A = cpu.X = cpu.read(uint16_t(loc));
    setNZ(cpu, cpu.A);
}

void SAX(CPU& cpu, Location loc) { cpu.write(uint16_t(loc), uint8_t(cpu.A & cpu.X)); }

void LAS(CPU& cpu, Location loc) {
    cpu.A = cpu.X = cpu.SP = uint8_t(cpu.read(uint16_t(loc)) & cpu.SP);
    setNZ(cpu, cpu.A);
}

// --- immediate-only combinations ---

void ANC(CPU& cpu, Location loc) {
    cpu.A &= cpu.read(uint16_t(loc));
    setNZ(cpu, cpu.A);
    cpu.setFlag('C', cpu.A & 0x80);
}

void ALR(CPU& cpu, Location loc) {
    cpu.A = shiftRight(cpu, uint8_t(cpu.A & cpu.read(uint16_t(loc))));
}

// AND, then ROR A; C and V come from bits 6 and 5 of the result (binary mode).
void ARR(CPU& cpu, Location loc) {
    const uint8_t anded = uint8_t(cpu.A & cpu.read(uint16_t(loc)));
    cpu.A = uint8_t((cpu.getFlag('C') ? 0x80 : 0) | (anded >> 1));
    setNZ(cpu, cpu.A);
    cpu.setFlag('C', cpu.A & 0x40);
    cpu.setFlag('V', ((cpu.A >> 6) ^ (cpu.A >> 5)) & 1);
}

void SBX(CPU& cpu, Location loc) {
    const uint8_t m = cpu.read(uint16_t(loc));
    const uint8_t ax = uint8_t(cpu.A & cpu.X);
    cpu.setFlag('C', ax >= m);
    cpu.X = uint8_t(ax - m);
    setNZ(cpu, cpu.X);
}

// The analogue-noise opcodes ORA A with a chip-dependent constant first;
// $FF makes LXA load the immediate into A and X, as NES consoles commonly do.
constexpr uint8_t kUnstableMagic = 0xFF;

void XAA(CPU& cpu, Location loc) {
    cpu.A = uint8_t((cpu.A | kUnstableMagic) & cpu.X & cpu.read(uint16_t(loc)));
    setNZ(cpu, cpu.A);
}

void LXA(CPU& cpu, Location loc) {
    cpu.A = cpu.X = uint8_t((cpu.A | kUnstableMagic) & cpu.read(uint16_t(loc)));
    setNZ(cpu, cpu.A);
}

// --- stores ANDed with the base address's high byte + 1 ---
// The indexed modes left the final address; the high byte before indexing is
// recovered from it. On a page crossing the stored value also replaces the
// address's high byte, as on the chip.
void storeHighAnd(CPU& cpu, Location loc, uint8_t index, uint8_t value) {
    const uint16_t address = uint16_t(loc);
    const uint8_t baseHigh = uint8_t((address - index) >> 8);
    const uint8_t stored = uint8_t(value & (baseHigh + 1));
    const uint16_t target = cpu.pageCrossed ? uint16_t((stored << 8) | (address & 0xFF)) : address;
    cpu.write(target, stored);
}

void SHY(CPU& cpu, Location loc) { storeHighAnd(cpu, loc, cpu.X, cpu.Y); }
void SHA(CPU& cpu, Location loc) { storeHighAnd(cpu, loc, cpu.Y, uint8_t(cpu.A & cpu.X)); }

void TAS(CPU& cpu, Location loc) {
    cpu.SP = uint8_t(cpu.A & cpu.X);
    storeHighAnd(cpu, loc, cpu.Y, cpu.SP);
}

struct Entry {
    uint8_t opcode;
    CPU::ModeOp mode;
    CPU::InstructionOp op;
};

// The g = 3 column pairs g = 1 and g = 2 of the same a and b; SAX/LAX and
// friends index by Y where their g = 2 partner does.
constexpr CPU::ModeOp kCombinedModes[8] = {xind, zpg, imm, abs, indy, zpgx, absy, absx};
constexpr CPU::InstructionOp kCombinedOps[8] = {SLO, RLA, SRE, RRA, SAX, LAX, DCP, ISC};
constexpr CPU::InstructionOp kImmediateOps[8] = {ANC, ANC, ALR, ARR, XAA, LXA, SBX, SBC};

// Everything else without an operation: the multi-byte NOPs, the
// high-byte stores, and LAS.
static constexpr Entry kSingles[] = {
    {0x04, zpg, skip},  {0x44, zpg, skip},  {0x64, zpg, skip},  {0x0C, abs, skip},
    {0x14, zpgx, skip}, {0x34, zpgx, skip}, {0x54, zpgx, skip}, {0x74, zpgx, skip},
    {0xD4, zpgx, skip}, {0xF4, zpgx, skip}, {0x1C, absx, skip}, {0x3C, absx, skip},
    {0x5C, absx, skip}, {0x7C, absx, skip}, {0xDC, absx, skip}, {0xFC, absx, skip},
    {0x80, imm, skip},  {0x9C, absx, SHY},  {0x93, indy, SHA},  {0x9F, absy, SHA},
    {0x9B, absy, TAS},  {0xBB, absy, LAS},
};

}  // namespace

}  // namespace cpu_ops

void CPU::installUndocumented() {
    using namespace cpu_ops;
    for (int opcode = 3; opcode < 256; opcode += 4) {
        const int a = opcode >> 5;
        const int b = (opcode >> 2) & 7;
        CPU::ModeOp mode = kCombinedModes[b];
        if ((a == 4 || a == 5) && b == 5) mode = zpgy;
        if ((a == 4 || a == 5) && b == 7) mode = absy;
        modeHandlers[opcode] = mode;
        instructionHandlers[opcode] = b == 2 ? kImmediateOps[a] : kCombinedOps[a];
    }
    for (const Entry& entry : kSingles) {
        modeHandlers[entry.opcode] = entry.mode;
        instructionHandlers[entry.opcode] = entry.op;
    }
    // $x2 with b = 4 decode to an instruction but no mode: the JAM opcodes.
    for (int opcode = 0x12; opcode < 256; opcode += 0x20) {
        modeHandlers[opcode] = nullptr;
        instructionHandlers[opcode] = jam;
    }
}
