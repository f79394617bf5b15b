// The documented instructions and the arithmetic the undocumented ones share.
// Anything that moves PC sets it to the target minus instructionLength,
// because step adds the length afterwards.
#pragma once

#include <array>

#include "cpu/cpu.h"

namespace cpu_ops {
// Laid out by hand: one line an instruction, read as a table.
// clang-format off

using Location = CPU::Location;

// Flag bits, for the operations that set several flags in one update of P.
constexpr uint8_t kCarry = CPU::flagBit('C');
constexpr uint8_t kZero = CPU::flagBit('Z');
constexpr uint8_t kOverflow = CPU::flagBit('V');
constexpr uint8_t kNegative = CPU::flagBit('N');

// N and Z for each result: N is bit 7 of the result, as it is of P. A table
// lookup is shorter than building the two bits.
inline constexpr std::array<uint8_t, 256> kNZ = [] {
    std::array<uint8_t, 256> nz{};
    for (int r = 0; r < 256; ++r) nz[r] = uint8_t((r & kNegative) | (r == 0 ? kZero : 0));
    return nz;
}();

inline uint8_t nzOf(uint8_t r) { return kNZ[r]; }

inline void setNZ(CPU& cpu, uint8_t r) { cpu.P = uint8_t((cpu.P & ~(kNegative | kZero)) | nzOf(r)); }

// N, Z and C at once.
inline void setNZC(CPU& cpu, uint8_t r, bool carry) {
    cpu.P = uint8_t((cpu.P & ~(kNegative | kZero | kCarry)) | nzOf(r) | (carry ? kCarry : 0));
}

inline void jumpTo(CPU& cpu, uint16_t target) { cpu.PC = uint16_t(target - cpu.instructionLength); }

inline void pushWord(CPU& cpu, uint16_t value) {
    cpu.push(uint8_t(value >> 8));
    cpu.push(uint8_t(value));
}

inline uint16_t pullWord(CPU& cpu) {
    const uint8_t low = cpu.pull();
    return uint16_t(low | (cpu.pull() << 8));
}

// Two cycles, one more when taken, and one more when the target lies in
// another page than the next instruction.
inline void branch(CPU& cpu, Location target, bool taken) {
    if (!taken) {
        cpu.cycles += 2;
        return;
    }
    const uint16_t next = uint16_t(cpu.PC + 2);
    const uint16_t landing = uint16_t(target + 2);
    cpu.cycles += ((next ^ landing) & 0xFF00) ? 4 : 3;
    if (landing < cpu.PC) cpu.noteLoop(landing);
    cpu.PC = uint16_t(target);
}

// --- shared arithmetic ---

inline uint8_t shiftLeft(CPU& cpu, uint8_t m) {
    const uint8_t r = uint8_t(m << 1);
    setNZC(cpu, r, m & 0x80);
    return r;
}

inline uint8_t shiftRight(CPU& cpu, uint8_t m) {
    const uint8_t r = uint8_t(m >> 1);
    setNZC(cpu, r, m & 0x01);
    return r;
}

inline uint8_t rotateLeft(CPU& cpu, uint8_t m) {
    const uint8_t r = uint8_t((m << 1) | (cpu.P & kCarry));
    setNZC(cpu, r, m & 0x80);
    return r;
}

inline uint8_t rotateRight(CPU& cpu, uint8_t m) {
    const uint8_t r = uint8_t(((cpu.P & kCarry) << 7) | (m >> 1));
    setNZC(cpu, r, m & 0x01);
    return r;
}

// Binary only: the D flag is stored but never consulted.
inline void addWithCarry(CPU& cpu, uint8_t m) {
    const unsigned s = unsigned(cpu.A) + m + (cpu.P & kCarry);
    const bool overflow = (~(cpu.A ^ m) & (cpu.A ^ s) & 0x80) != 0;
    cpu.A = uint8_t(s);
    cpu.P = uint8_t((cpu.P & ~(kNegative | kOverflow | kZero | kCarry)) | nzOf(cpu.A) |
                    (overflow ? kOverflow : 0) | (s > 0xFF ? kCarry : 0));
}

inline void subtractWithBorrow(CPU& cpu, uint8_t m) {
    const uint16_t d = uint16_t(cpu.A - m - 1 + (cpu.P & kCarry));
    const bool overflow = ((cpu.A ^ m) & (cpu.A ^ d) & 0x80) != 0;
    cpu.A = uint8_t(d);
    cpu.P = uint8_t((cpu.P & ~(kNegative | kOverflow | kZero | kCarry)) | nzOf(cpu.A) |
                    (overflow ? kOverflow : 0) | (d <= 0xFF ? kCarry : 0));
}

inline void compare(CPU& cpu, uint8_t reg, uint8_t m) { setNZC(cpu, uint8_t(reg - m), reg >= m); }

// Read, transform once, write once: no dummy write of the old value.
template <uint8_t (*Transform)(CPU&, uint8_t)>
inline void modify(CPU& cpu, Location loc) {
    cpu.writeLocation(loc, Transform(cpu, cpu.readLocation(loc)));
}

inline uint8_t increment(CPU& cpu, uint8_t m) {
    const uint8_t r = uint8_t(m + 1);
    setNZ(cpu, r);
    return r;
}

inline uint8_t decrement(CPU& cpu, uint8_t m) {
    const uint8_t r = uint8_t(m - 1);
    setNZ(cpu, r);
    return r;
}

// --- loads, stores, transfers ---

inline void LDA(CPU& cpu, Location loc) { cpu.A = cpu.readLocation(loc); setNZ(cpu, cpu.A); }
inline void LDX(CPU& cpu, Location loc) { cpu.X = cpu.readLocation(loc); setNZ(cpu, cpu.X); }
inline void LDY(CPU& cpu, Location loc) { cpu.Y = cpu.readLocation(loc); setNZ(cpu, cpu.Y); }
inline void STA(CPU& cpu, Location loc) { cpu.writeLocation(loc, cpu.A); }
inline void STX(CPU& cpu, Location loc) { cpu.writeLocation(loc, cpu.X); }
inline void STY(CPU& cpu, Location loc) { cpu.writeLocation(loc, cpu.Y); }
inline void TAX(CPU& cpu, Location) { cpu.X = cpu.A; setNZ(cpu, cpu.X); }
inline void TAY(CPU& cpu, Location) { cpu.Y = cpu.A; setNZ(cpu, cpu.Y); }
inline void TXA(CPU& cpu, Location) { cpu.A = cpu.X; setNZ(cpu, cpu.A); }
inline void TYA(CPU& cpu, Location) { cpu.A = cpu.Y; setNZ(cpu, cpu.A); }
inline void TSX(CPU& cpu, Location) { cpu.X = cpu.SP; setNZ(cpu, cpu.X); }
inline void TXS(CPU& cpu, Location) { cpu.SP = cpu.X; }

// --- logic and arithmetic ---

inline void AND(CPU& cpu, Location loc) { cpu.A &= cpu.readLocation(loc); setNZ(cpu, cpu.A); }
inline void ORA(CPU& cpu, Location loc) { cpu.A |= cpu.readLocation(loc); setNZ(cpu, cpu.A); }
inline void EOR(CPU& cpu, Location loc) { cpu.A ^= cpu.readLocation(loc); setNZ(cpu, cpu.A); }
inline void ADC(CPU& cpu, Location loc) { addWithCarry(cpu, cpu.readLocation(loc)); }
inline void SBC(CPU& cpu, Location loc) { subtractWithBorrow(cpu, cpu.readLocation(loc)); }
inline void CMP(CPU& cpu, Location loc) { compare(cpu, cpu.A, cpu.readLocation(loc)); }
inline void CPX(CPU& cpu, Location loc) { compare(cpu, cpu.X, cpu.readLocation(loc)); }
inline void CPY(CPU& cpu, Location loc) { compare(cpu, cpu.Y, cpu.readLocation(loc)); }

// N and V are bits 7 and 6 of the operand, as they are of P.
inline void BIT(CPU& cpu, Location loc) {
    const uint8_t m = cpu.readLocation(loc);
    cpu.P = uint8_t((cpu.P & ~(kNegative | kOverflow | kZero)) | (m & (kNegative | kOverflow)) |
                    ((cpu.A & m) == 0 ? kZero : 0));
}

// --- increments, decrements, shifts, rotates ---

inline void INC(CPU& cpu, Location loc) { modify<increment>(cpu, loc); }
inline void DEC(CPU& cpu, Location loc) { modify<decrement>(cpu, loc); }
inline void ASL(CPU& cpu, Location loc) { modify<shiftLeft>(cpu, loc); }
inline void LSR(CPU& cpu, Location loc) { modify<shiftRight>(cpu, loc); }
inline void ROL(CPU& cpu, Location loc) { modify<rotateLeft>(cpu, loc); }
inline void ROR(CPU& cpu, Location loc) { modify<rotateRight>(cpu, loc); }
inline void INX(CPU& cpu, Location) { ++cpu.X; setNZ(cpu, cpu.X); }
inline void INY(CPU& cpu, Location) { ++cpu.Y; setNZ(cpu, cpu.Y); }
inline void DEX(CPU& cpu, Location) { --cpu.X; setNZ(cpu, cpu.X); }
inline void DEY(CPU& cpu, Location) { --cpu.Y; setNZ(cpu, cpu.Y); }

// --- status and stack ---

inline void CLC(CPU& cpu, Location) { cpu.setFlag('C', false); }
inline void CLD(CPU& cpu, Location) { cpu.setFlag('D', false); }
inline void CLI(CPU& cpu, Location) { cpu.setFlag('I', false); }
inline void CLV(CPU& cpu, Location) { cpu.setFlag('V', false); }
inline void SEC(CPU& cpu, Location) { cpu.setFlag('C', true); }
inline void SED(CPU& cpu, Location) { cpu.setFlag('D', true); }
inline void SEI(CPU& cpu, Location) { cpu.setFlag('I', true); }
inline void PHA(CPU& cpu, Location) { cpu.push(cpu.A); }
inline void PHP(CPU& cpu, Location) { cpu.push(uint8_t(cpu.P | 0x30)); }
inline void PLA(CPU& cpu, Location) { cpu.A = cpu.pull(); setNZ(cpu, cpu.A); }
inline void PLP(CPU& cpu, Location) { cpu.P = cpu.pull(); }
inline void NOP(CPU&, Location) {}

// --- jumps, calls, returns ---

inline void JMP(CPU& cpu, Location loc) {
    if (uint16_t(loc) == cpu.PC) cpu.noteLoop(cpu.PC);
    jumpTo(cpu, uint16_t(loc));
}

inline void JSR(CPU& cpu, Location loc) {
    pushWord(cpu, uint16_t(cpu.PC + 2));
    jumpTo(cpu, uint16_t(loc));
}

inline void RTS(CPU& cpu, Location) { jumpTo(cpu, uint16_t(pullWord(cpu) + 1)); }

inline void RTI(CPU& cpu, Location) {
    cpu.P = cpu.pull();
    jumpTo(cpu, pullWord(cpu));
}

// Bits 4 and 5 are set in P itself, so they stay visible until PLP or RTI.
inline void BRK(CPU& cpu, Location) {
    pushWord(cpu, uint16_t(cpu.PC + 2));
    cpu.P |= 0x30;
    cpu.push(cpu.P);
    cpu.setFlag('I', true);
    const uint8_t low = cpu.read(cpu.irqVector);
    jumpTo(cpu, uint16_t(low | (cpu.read(uint16_t(cpu.irqVector + 1)) << 8)));
}

// --- branches count their own cycles ---

inline void BPL(CPU& cpu, Location loc) { branch(cpu, loc, !cpu.getFlag('N')); }
inline void BMI(CPU& cpu, Location loc) { branch(cpu, loc, cpu.getFlag('N')); }
inline void BVC(CPU& cpu, Location loc) { branch(cpu, loc, !cpu.getFlag('V')); }
inline void BVS(CPU& cpu, Location loc) { branch(cpu, loc, cpu.getFlag('V')); }
inline void BCC(CPU& cpu, Location loc) { branch(cpu, loc, !cpu.getFlag('C')); }
inline void BCS(CPU& cpu, Location loc) { branch(cpu, loc, cpu.getFlag('C')); }
inline void BNE(CPU& cpu, Location loc) { branch(cpu, loc, !cpu.getFlag('Z')); }
inline void BEQ(CPU& cpu, Location loc) { branch(cpu, loc, cpu.getFlag('Z')); }

// clang-format on
}  // namespace cpu_ops
