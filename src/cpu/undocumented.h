// The operations of the opcodes the decoding leaves without one, given what
// an NMOS 6502 does with them (decode.h gives each its mode).
#pragma once

#include "cpu/instructions.h"

namespace cpu_ops {

// Reads its operand like the real chip, so register side effects still happen.
inline void skip(CPU& cpu, Location loc) {
    if (loc != CPU::kAccumulator) (void)cpu.read(uint16_t(loc));
}

// The core stops with PC on the opcode; step keeps time moving.
inline void jam(CPU& cpu, Location) {
    cpu.halted = true;
    cpu.instructionLength = 0;
}

// --- read-modify-write combined with an accumulator operation ---

inline void SLO(CPU& cpu, Location loc) {
    const uint8_t r = shiftLeft(cpu, cpu.read(uint16_t(loc)));
    cpu.write(uint16_t(loc), r);
    cpu.A |= r;
    setNZ(cpu, cpu.A);
}

inline void RLA(CPU& cpu, Location loc) {
    const uint8_t r = rotateLeft(cpu, cpu.read(uint16_t(loc)));
    cpu.write(uint16_t(loc), r);
    cpu.A &= r;
    setNZ(cpu, cpu.A);
}

inline void SRE(CPU& cpu, Location loc) {
    const uint8_t r = shiftRight(cpu, cpu.read(uint16_t(loc)));
    cpu.write(uint16_t(loc), r);
    cpu.A ^= r;
    setNZ(cpu, cpu.A);
}

inline void RRA(CPU& cpu, Location loc) {
    const uint8_t r = rotateRight(cpu, cpu.read(uint16_t(loc)));
    cpu.write(uint16_t(loc), r);
    addWithCarry(cpu, r);
}

inline void DCP(CPU& cpu, Location loc) {
    const uint8_t r = uint8_t(cpu.read(uint16_t(loc)) - 1);
    cpu.write(uint16_t(loc), r);
    compare(cpu, cpu.A, r);
}

inline void ISC(CPU& cpu, Location loc) {
    const uint8_t r = uint8_t(cpu.read(uint16_t(loc)) + 1);
    cpu.write(uint16_t(loc), r);
    subtractWithBorrow(cpu, r);
}

// --- loads and stores of A and X together ---

inline void LAX(CPU& cpu, Location loc) {
    cpu.A = cpu.X = cpu.read(uint16_t(loc));
    setNZ(cpu, cpu.A);
}

inline void SAX(CPU& cpu, Location loc) { cpu.write(uint16_t(loc), uint8_t(cpu.A & cpu.X)); }

inline void LAS(CPU& cpu, Location loc) {
    cpu.A = cpu.X = cpu.SP = uint8_t(cpu.read(uint16_t(loc)) & cpu.SP);
    setNZ(cpu, cpu.A);
}

// --- immediate-only combinations ---

inline void ANC(CPU& cpu, Location loc) {
    cpu.A &= cpu.read(uint16_t(loc));
    setNZ(cpu, cpu.A);
    cpu.setFlag('C', cpu.A & 0x80);
}

inline void ALR(CPU& cpu, Location loc) { cpu.A = shiftRight(cpu, uint8_t(cpu.A & cpu.read(uint16_t(loc)))); }

// AND, then ROR A; C and V come from bits 6 and 5 of the result (binary mode).
inline void ARR(CPU& cpu, Location loc) {
    const uint8_t anded = uint8_t(cpu.A & cpu.read(uint16_t(loc)));
    cpu.A = uint8_t((cpu.getFlag('C') ? 0x80 : 0) | (anded >> 1));
    setNZ(cpu, cpu.A);
    cpu.setFlag('C', cpu.A & 0x40);
    cpu.setFlag('V', ((cpu.A >> 6) ^ (cpu.A >> 5)) & 1);
}

inline void SBX(CPU& cpu, Location loc) {
    const uint8_t m = cpu.read(uint16_t(loc));
    const uint8_t ax = uint8_t(cpu.A & cpu.X);
    cpu.setFlag('C', ax >= m);
    cpu.X = uint8_t(ax - m);
    setNZ(cpu, cpu.X);
}

// The analogue-noise opcodes ORA A with a chip-dependent constant first;
// $FF makes LXA load the immediate into A and X, as NES consoles commonly do.
constexpr uint8_t kUnstableMagic = 0xFF;

inline void XAA(CPU& cpu, Location loc) {
    cpu.A = uint8_t((cpu.A | kUnstableMagic) & cpu.X & cpu.read(uint16_t(loc)));
    setNZ(cpu, cpu.A);
}

inline void LXA(CPU& cpu, Location loc) {
    cpu.A = cpu.X = uint8_t((cpu.A | kUnstableMagic) & cpu.read(uint16_t(loc)));
    setNZ(cpu, cpu.A);
}

// --- stores ANDed with the base address's high byte + 1 ---
// The indexed modes left the final address; the high byte before indexing is
// recovered from it. On a page crossing the stored value also replaces the
// address's high byte, as on the chip.
inline void storeHighAnd(CPU& cpu, Location loc, uint8_t index, uint8_t value) {
    const uint16_t address = uint16_t(loc);
    const uint8_t baseHigh = uint8_t((address - index) >> 8);
    const uint8_t stored = uint8_t(value & (baseHigh + 1));
    const uint16_t target = cpu.pageCrossed ? uint16_t((stored << 8) | (address & 0xFF)) : address;
    cpu.write(target, stored);
}

inline void SHY(CPU& cpu, Location loc) { storeHighAnd(cpu, loc, cpu.X, cpu.Y); }
inline void SHA(CPU& cpu, Location loc) { storeHighAnd(cpu, loc, cpu.Y, uint8_t(cpu.A & cpu.X)); }

inline void TAS(CPU& cpu, Location loc) {
    cpu.SP = uint8_t(cpu.A & cpu.X);
    storeHighAnd(cpu, loc, cpu.Y, cpu.SP);
}

}  // namespace cpu_ops
