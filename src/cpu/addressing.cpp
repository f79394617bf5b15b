// The thirteen addressing modes ("impl" has no operation). Each receives the
// address after the opcode, sets instructionLength and returns the location.
#include "cpu/operations.h"

namespace cpu_ops {

namespace {

uint16_t operandWord(CPU& cpu, uint16_t operand) { return cpu.readWord(operand); }

Location indexed(CPU& cpu, uint16_t base, uint8_t index) {
    cpu.pageCrossed = (base & 0xFF) + index > 0xFF;
    return uint16_t(base + index);
}

}  // namespace

Location acc(CPU& cpu, uint16_t) {
    cpu.instructionLength = 1;
    return CPU::kAccumulator;
}

Location imm(CPU& cpu, uint16_t operand) {
    cpu.instructionLength = 2;
    return cpu.foldAddress(operand);
}

Location zpg(CPU& cpu, uint16_t operand) {
    cpu.instructionLength = 2;
    return cpu.read(operand);
}

Location zpgx(CPU& cpu, uint16_t operand) {
    cpu.instructionLength = 2;
    return uint8_t(cpu.read(operand) + cpu.X);
}

Location zpgy(CPU& cpu, uint16_t operand) {
    cpu.instructionLength = 2;
    return uint8_t(cpu.read(operand) + cpu.Y);
}

Location abs(CPU& cpu, uint16_t operand) {
    cpu.instructionLength = 3;
    return operandWord(cpu, operand);
}

Location absx(CPU& cpu, uint16_t operand) {
    cpu.instructionLength = 3;
    return indexed(cpu, operandWord(cpu, operand), cpu.X);
}

Location absy(CPU& cpu, uint16_t operand) {
    cpu.instructionLength = 3;
    return indexed(cpu, operandWord(cpu, operand), cpu.Y);
}

Location xind(CPU& cpu, uint16_t operand) {
    cpu.instructionLength = 2;
    const uint8_t p = uint8_t(cpu.read(operand) + cpu.X);
    const uint8_t low = cpu.read(p);
    return uint16_t(low | (cpu.read(uint8_t(p + 1)) << 8));
}

Location indy(CPU& cpu, uint16_t operand) {
    cpu.instructionLength = 2;
    const uint8_t p = cpu.read(operand);
    const uint8_t low = cpu.read(p);
    const uint16_t base = uint16_t(low | (cpu.read(uint8_t(p + 1)) << 8));
    return indexed(cpu, base, cpu.Y);
}

// The pointer comes straight from memory; its high byte never leaves the
// pointer's page (the 6502's JMP ($xxFF) quirk).
Location ind(CPU& cpu, uint16_t operand) {
    cpu.instructionLength = 3;
    const uint16_t pointer = uint16_t(cpu.memory[cpu.foldAddress(operand)] |
                                      (cpu.memory[cpu.foldAddress(uint16_t(operand + 1))] << 8));
    const uint8_t low = cpu.read(pointer);
    const uint8_t high = cpu.read(uint16_t((pointer & 0xFF00) | ((pointer + 1) & 0xFF)));
    return uint16_t(low | (high << 8));
}

// Relative to the branch opcode itself: step adds the length afterwards.
Location rel(CPU& cpu, uint16_t operand) {
    cpu.instructionLength = 2;
    return uint16_t(operand - 1 + int8_t(cpu.read(operand)));
}

}  // namespace cpu_ops
