// The opcode tables, filled by decoding each opcode's bit fields
// a (bits 7-5), b (bits 4-2) and g (bits 1-0), and the two cycle tables,
// read from their digit strings (decode.h).
#include "cpu/decode.h"

namespace {
// Laid out by hand: the opcode groups read as a table.
// clang-format off

using namespace cpu_ops;

using M = ModeId;

// The modes' names, by ModeId; "impl" has no mode operation: the instruction receives PC + 1.
constexpr const char* kModeNames[] = {"impl", "acc",  "imm",  "zpg",  "zpgx", "zpgy", "abs",
                                      "absx", "absy", "xind", "indy", "ind",  "rel"};

struct Instruction {
    CPU::InstructionOp op;
    const char* name;
};

#define VELKORA_ENTRY(name) Instruction{name, #name}

// Mode by b alone for odd b, before the per-group rules override it.
static constexpr M kModeByOddB[4] = {M::Zpg, M::Abs, M::Zpgx, M::Absx};

// g = 1: the accumulator group, and its modes for even b.
static constexpr Instruction kGroup1[8] = {VELKORA_ENTRY(ORA), VELKORA_ENTRY(AND), VELKORA_ENTRY(EOR),
                                           VELKORA_ENTRY(ADC), VELKORA_ENTRY(STA), VELKORA_ENTRY(LDA),
                                           VELKORA_ENTRY(CMP), VELKORA_ENTRY(SBC)};
static constexpr M kGroup1EvenModes[4] = {M::Xind, M::Imm, M::Indy, M::Absy};

// g = 2: shifts, X-register and increment group.
static constexpr Instruction kGroup2[8] = {VELKORA_ENTRY(ASL), VELKORA_ENTRY(ROL), VELKORA_ENTRY(LSR),
                                           VELKORA_ENTRY(ROR), VELKORA_ENTRY(STX), VELKORA_ENTRY(LDX),
                                           VELKORA_ENTRY(DEC), VELKORA_ENTRY(INC)};
// The b = 2 and b = 6 exceptions of g = 2 (a = 4 ... 7); nullptr keeps kGroup2.
static constexpr Instruction kGroup2B2[4] = {VELKORA_ENTRY(TXA), VELKORA_ENTRY(TAX), VELKORA_ENTRY(DEX),
                                             VELKORA_ENTRY(NOP)};
static constexpr Instruction kGroup2B6[4] = {VELKORA_ENTRY(TXS), VELKORA_ENTRY(TSX), {nullptr, nullptr},
                                             {nullptr, nullptr}};

// g = 0 rows by b, indexed by a; {nullptr} leaves the entry empty.
static constexpr Instruction kGroup0B0[8] = {VELKORA_ENTRY(BRK), VELKORA_ENTRY(JSR), VELKORA_ENTRY(RTI),
                                             VELKORA_ENTRY(RTS), {nullptr, nullptr},  VELKORA_ENTRY(LDY),
                                             VELKORA_ENTRY(CPY), VELKORA_ENTRY(CPX)};
// (a = 4 has no instruction, so its mode is never set.)
static constexpr M kGroup0B0Modes[8] = {M::Impl, M::Abs, M::Impl, M::Impl, M::Impl, M::Imm, M::Imm, M::Imm};
static constexpr Instruction kGroup0B1B3[8] = {{nullptr, nullptr}, VELKORA_ENTRY(BIT), VELKORA_ENTRY(JMP),
                                               VELKORA_ENTRY(JMP), VELKORA_ENTRY(STY), VELKORA_ENTRY(LDY),
                                               VELKORA_ENTRY(CPY), VELKORA_ENTRY(CPX)};
// The rows of even b = 2, 4, 6: one mode each, the whole row.
struct Row {
    Instruction instructions[8];
    M mode;
};
static constexpr Row kGroup0EvenRows[3] = {
    {{VELKORA_ENTRY(PHP), VELKORA_ENTRY(PLP), VELKORA_ENTRY(PHA), VELKORA_ENTRY(PLA),
      VELKORA_ENTRY(DEY), VELKORA_ENTRY(TAY), VELKORA_ENTRY(INY), VELKORA_ENTRY(INX)}, M::Impl},
    {{VELKORA_ENTRY(BPL), VELKORA_ENTRY(BMI), VELKORA_ENTRY(BVC), VELKORA_ENTRY(BVS),
      VELKORA_ENTRY(BCC), VELKORA_ENTRY(BCS), VELKORA_ENTRY(BNE), VELKORA_ENTRY(BEQ)}, M::Rel},
    {{VELKORA_ENTRY(CLC), VELKORA_ENTRY(SEC), VELKORA_ENTRY(CLI), VELKORA_ENTRY(SEI),
      VELKORA_ENTRY(TYA), VELKORA_ENTRY(CLV), VELKORA_ENTRY(CLD), VELKORA_ENTRY(SED)}, M::Impl},
};

#undef VELKORA_ENTRY

// clang-format on
}  // namespace

void CPU::buildInstructionTable() {
    auto setMode = [this](int opcode, cpu_ops::ModeId mode) {
        modeHandlers[opcode] = cpu_ops::modeOp(mode);
        modeNames[opcode] = kModeNames[int(mode)];
    };
    auto setInstruction = [this](int opcode, const Instruction& instruction) {
        instructionHandlers[opcode] = instruction.op;
        instructionNames[opcode] = instruction.name;
    };

    for (int opcode = 0; opcode < 256; ++opcode) {
        const int a = opcode >> 5;
        const int b = (opcode >> 2) & 7;
        const int g = opcode & 3;
        if (b % 2 == 1) setMode(opcode, kModeByOddB[b / 2]);

        switch (g) {
            case 1:
                setInstruction(opcode, kGroup1[a]);
                if (b % 2 == 0) setMode(opcode, kGroup1EvenModes[b / 2]);
                break;
            case 2: {
                Instruction instruction = kGroup2[a];
                if (a >= 4 && b == 2) instruction = kGroup2B2[a - 4];
                if (a >= 4 && b == 6 && kGroup2B6[a - 4].op) instruction = kGroup2B6[a - 4];
                setInstruction(opcode, instruction);
                if (b == 0) setMode(opcode, M::Imm);
                if (b == 2) setMode(opcode, a < 4 ? M::Acc : M::Impl);
                if (b == 5 && (a == 4 || a == 5)) setMode(opcode, M::Zpgy);
                if (b == 6) setMode(opcode, M::Impl);
                if (b == 7 && a == 5) setMode(opcode, M::Absy);
                break;
            }
            case 0:
                switch (b) {
                    case 0:
                        if (kGroup0B0[a].op) {
                            setInstruction(opcode, kGroup0B0[a]);
                            setMode(opcode, kGroup0B0Modes[a]);
                        }
                        break;
                    case 1:
                    case 3:
                        if (kGroup0B1B3[a].op && (b == 3 || (a != 2 && a != 3))) {
                            setInstruction(opcode, kGroup0B1B3[a]);
                            if (b == 3 && a == 3) setMode(opcode, M::Ind);
                        }
                        break;
                    case 2:
                    case 4:
                    case 6: {
                        const Row& row = kGroup0EvenRows[b / 2 - 1];
                        setInstruction(opcode, row.instructions[a]);
                        setMode(opcode, row.mode);
                        break;
                    }
                    case 5:
                        if (a == 4) setInstruction(opcode, {STY, "STY"});
                        if (a == 5) setInstruction(opcode, {LDY, "LDY"});
                        break;
                    case 7:
                        if (a == 5) setInstruction(opcode, {LDY, "LDY"});
                        break;
                }
                break;
            default: break;  // g = 3 has no documented instruction
        }
    }
    installUndocumented();
}

void CPU::loadCycleTables() {
    for (int opcode = 0; opcode < 256; ++opcode) {
        baseCycles[opcode] = cycleDigit(kBaseCycles, opcode);
        pageCrossCycles[opcode] = cycleDigit(kPageCrossCycles, opcode);
    }
}
