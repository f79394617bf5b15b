// The opcode tables, made from the decoding the fused dispatch compiles in
// (decode.h), with the names the trace shows, and the two cycle tables,
// read from their digit strings.
#include "cpu/decode.h"

namespace {

using namespace cpu_ops;

// The modes' names, by ModeId; "impl" has no mode operation: the instruction receives PC + 1.
constexpr const char* kModeNames[] = {"impl", "acc",  "imm",  "zpg",  "zpgx", "zpgy", "abs",
                                      "absx", "absy", "xind", "indy", "ind",  "rel"};

struct Named {
    CPU::InstructionOp op;
    const char* name;
};

#define VELKORA_ENTRY(name) \
    Named { name, #name }

// The documented instructions, named where they stand in columns g = 0-2;
// g = 3 and the operations that fill the decoding's gaps stay unnamed, so
// the trace shows them as "---".
// clang-format off
constexpr Named kDocumented[] = {
    VELKORA_ENTRY(ORA), VELKORA_ENTRY(AND), VELKORA_ENTRY(EOR), VELKORA_ENTRY(ADC), VELKORA_ENTRY(STA),
    VELKORA_ENTRY(LDA), VELKORA_ENTRY(CMP), VELKORA_ENTRY(SBC), VELKORA_ENTRY(ASL), VELKORA_ENTRY(ROL),
    VELKORA_ENTRY(LSR), VELKORA_ENTRY(ROR), VELKORA_ENTRY(STX), VELKORA_ENTRY(LDX), VELKORA_ENTRY(DEC),
    VELKORA_ENTRY(INC), VELKORA_ENTRY(TXA), VELKORA_ENTRY(TAX), VELKORA_ENTRY(DEX), VELKORA_ENTRY(NOP),
    VELKORA_ENTRY(TXS), VELKORA_ENTRY(TSX), VELKORA_ENTRY(BRK), VELKORA_ENTRY(JSR), VELKORA_ENTRY(RTI),
    VELKORA_ENTRY(RTS), VELKORA_ENTRY(LDY), VELKORA_ENTRY(CPY), VELKORA_ENTRY(CPX), VELKORA_ENTRY(BIT),
    VELKORA_ENTRY(JMP), VELKORA_ENTRY(STY), VELKORA_ENTRY(PHP), VELKORA_ENTRY(PLP), VELKORA_ENTRY(PHA),
    VELKORA_ENTRY(PLA), VELKORA_ENTRY(DEY), VELKORA_ENTRY(TAY), VELKORA_ENTRY(INY), VELKORA_ENTRY(INX),
    VELKORA_ENTRY(BPL), VELKORA_ENTRY(BMI), VELKORA_ENTRY(BVC), VELKORA_ENTRY(BVS), VELKORA_ENTRY(BCC),
    VELKORA_ENTRY(BCS), VELKORA_ENTRY(BNE), VELKORA_ENTRY(BEQ), VELKORA_ENTRY(CLC), VELKORA_ENTRY(SEC),
    VELKORA_ENTRY(CLI), VELKORA_ENTRY(SEI), VELKORA_ENTRY(TYA), VELKORA_ENTRY(CLV), VELKORA_ENTRY(CLD),
    VELKORA_ENTRY(SED),
};
// clang-format on

#undef VELKORA_ENTRY

// The decoding's flags follow from its operations: idle-loop marks on JMP
// and the branches, the stop on the JAMs.
constexpr bool flagsFollowOperations() {
    for (int opcode = 0; opcode < 256; ++opcode) {
        const Decoded decoded = decode(uint8_t(opcode));
        const CPU::InstructionOp op = decoded.op;
        const bool loops = op == JMP || op == BPL || op == BMI || op == BVC || op == BVS || op == BCC || op == BCS ||
                           op == BNE || op == BEQ;
        if (decoded.marksLoops != loops || decoded.jams != (op == jam)) return false;
    }
    return true;
}
static_assert(flagsFollowOperations(), "the decoding's flags disagree with its operations");

const char* documentedName(CPU::InstructionOp op) {
    for (const Named& entry : kDocumented) {
        if (entry.op == op) return entry.name;
    }
    return nullptr;
}

}  // namespace

void CPU::buildInstructionTable() {
    for (int opcode = 0; opcode < 256; ++opcode) {
        const Decoded decoded = decode(uint8_t(opcode));
        modeHandlers[opcode] = modeOp(decoded.mode);
        instructionHandlers[opcode] = decoded.op;
        const char* name = (opcode & 3) == 3 ? nullptr : documentedName(decoded.op);
        instructionNames[opcode] = name;
        modeNames[opcode] = name ? kModeNames[int(decoded.mode)] : nullptr;
    }
}

void CPU::loadCycleTables() {
    for (int opcode = 0; opcode < 256; ++opcode) {
        baseCycles[opcode] = cycleDigit(kBaseCycles, opcode);
        pageCrossCycles[opcode] = cycleDigit(kPageCrossCycles, opcode);
    }
}
