// The opcodes the decoding leaves without an operation get what an NMOS 6502
// does with them (undocumented.h), each with its real addressing mode. Their
// name entries stay empty, so the trace shows them as "0x%02x: ---".
#include "cpu/operations.h"

namespace cpu_ops {

namespace {

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
    {0x04, zpg, skip},  {0x44, zpg, skip},  {0x64, zpg, skip},  {0x0C, abs, skip},  {0x14, zpgx, skip},
    {0x34, zpgx, skip}, {0x54, zpgx, skip}, {0x74, zpgx, skip}, {0xD4, zpgx, skip}, {0xF4, zpgx, skip},
    {0x1C, absx, skip}, {0x3C, absx, skip}, {0x5C, absx, skip}, {0x7C, absx, skip}, {0xDC, absx, skip},
    {0xFC, absx, skip}, {0x80, imm, skip},  {0x9C, absx, SHY},  {0x93, indy, SHA},  {0x9F, absy, SHA},
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
