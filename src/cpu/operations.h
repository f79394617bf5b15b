// The mode and instruction operations that the opcode tables point at.
// Internal to the CPU: only the table builders include this.
#pragma once

#include "cpu/cpu.h"

namespace cpu_ops {

using Location = CPU::Location;

// --- addressing modes (addressing.cpp) ---
Location acc(CPU& cpu, uint16_t operand);
Location imm(CPU& cpu, uint16_t operand);
Location zpg(CPU& cpu, uint16_t operand);
Location zpgx(CPU& cpu, uint16_t operand);
Location zpgy(CPU& cpu, uint16_t operand);
Location abs(CPU& cpu, uint16_t operand);
Location absx(CPU& cpu, uint16_t operand);
Location absy(CPU& cpu, uint16_t operand);
Location xind(CPU& cpu, uint16_t operand);
Location indy(CPU& cpu, uint16_t operand);
Location ind(CPU& cpu, uint16_t operand);
Location rel(CPU& cpu, uint16_t operand);

// --- documented instructions (operations.cpp) ---
#define VELKORA_CPU_INSTRUCTIONS(X)                                                     \
    X(ADC) X(AND) X(ASL) X(BCC) X(BCS) X(BEQ) X(BIT) X(BMI) X(BNE) X(BPL) X(BRK)       \
    X(BVC) X(BVS) X(CLC) X(CLD) X(CLI) X(CLV) X(CMP) X(CPX) X(CPY) X(DEC) X(DEX)       \
    X(DEY) X(EOR) X(INC) X(INX) X(INY) X(JMP) X(JSR) X(LDA) X(LDX) X(LDY) X(LSR)       \
    X(NOP) X(ORA) X(PHA) X(PHP) X(PLA) X(PLP) X(ROL) X(ROR) X(RTI) X(RTS) X(SBC)       \
    X(SEC) X(SED) X(SEI) X(STA) X(STX) X(STY) X(TAX) X(TAY) X(TSX) X(TXA) X(TXS) X(TYA)
#define VELKORA_DECLARE_OP(name) void name(CPU& cpu, Location loc);
VELKORA_CPU_INSTRUCTIONS(VELKORA_DECLARE_OP)

// Shared by the combined undocumented operations.
uint8_t shiftLeft(CPU& cpu, uint8_t m);
uint8_t shiftRight(CPU& cpu, uint8_t m);
uint8_t rotateLeft(CPU& cpu, uint8_t m);
uint8_t rotateRight(CPU& cpu, uint8_t m);
void addWithCarry(CPU& cpu, uint8_t m);
void subtractWithBorrow(CPU& cpu, uint8_t m);
void compare(CPU& cpu, uint8_t reg, uint8_t m);

inline void setNZ(CPU& cpu, uint8_t r) {
    cpu.setFlag('N', r & 0x80);
    cpu.setFlag('Z', r == 0);
}

}  // namespace cpu_ops
