// The documented instructions. Anything that moves PC sets it to the target
// minus instructionLength, because step adds the length afterwards.
#include "cpu/operations.h"

namespace cpu_ops {

namespace {

void jumpTo(CPU& cpu, uint16_t target) { cpu.PC = uint16_t(target - cpu.instructionLength); }

void pushWord(CPU& cpu, uint16_t value) {
    cpu.push(uint8_t(value >> 8));
    cpu.push(uint8_t(value));
}

uint16_t pullWord(CPU& cpu) {
    const uint8_t low = cpu.pull();
    return uint16_t(low | (cpu.pull() << 8));
}

// Two cycles, one more when taken, and one more when the target lies in
// another page than the next instruction.
void branch(CPU& cpu, Location target, bool taken) {
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

// Read, transform once, write once: no dummy write of the old value.
template <uint8_t (*Transform)(CPU&, uint8_t)>
void modify(CPU& cpu, Location loc) {
    cpu.writeLocation(loc, Transform(cpu, cpu.readLocation(loc)));
}

uint8_t increment(CPU& cpu, uint8_t m) {
    const uint8_t r = uint8_t(m + 1);
    setNZ(cpu, r);
    return r;
}

uint8_t decrement(CPU& cpu, uint8_t m) {
    const uint8_t r = uint8_t(m - 1);
    setNZ(cpu, r);
    return r;
}

}  // namespace

// --- shared arithmetic ---

uint8_t shiftLeft(CPU& cpu, uint8_t m) {
    const uint8_t r = uint8_t(m << 1);
    cpu.setFlag('C', m & 0x80);
    setNZ(cpu, r);
    return r;
}

uint8_t shiftRight(CPU& cpu, uint8_t m) {
    const uint8_t r = uint8_t(m >> 1);
    cpu.setFlag('C', m & 0x01);
    cpu.setFlag('Z', r == 0);
    cpu.setFlag('N', false);
    return r;
}

uint8_t rotateLeft(CPU& cpu, uint8_t m) {
    const uint8_t r = uint8_t((m << 1) | (cpu.getFlag('C') ? 1 : 0));
    cpu.setFlag('C', m & 0x80);
    setNZ(cpu, r);
    return r;
}

uint8_t rotateRight(CPU& cpu, uint8_t m) {
    const bool oldCarry = cpu.getFlag('C');
    const uint8_t r = uint8_t((oldCarry ? 0x80 : 0) | (m >> 1));
    cpu.setFlag('C', m & 0x01);
    cpu.setFlag('N', oldCarry);
    cpu.setFlag('Z', r == 0);
    return r;
}

// Binary only: the D flag is stored but never consulted.
void addWithCarry(CPU& cpu, uint8_t m) {
    const unsigned s = unsigned(cpu.A) + m + (cpu.getFlag('C') ? 1 : 0);
    cpu.setFlag('C', s > 0xFF);
    cpu.setFlag('V', (~(cpu.A ^ m) & (cpu.A ^ s) & 0x80) != 0);
    cpu.A = uint8_t(s);
    setNZ(cpu, cpu.A);
}

void subtractWithBorrow(CPU& cpu, uint8_t m) {
    const uint16_t d = uint16_t(cpu.A - m - 1 + (cpu.getFlag('C') ? 1 : 0));
    cpu.setFlag('C', d <= 0xFF);
    cpu.setFlag('V', ((cpu.A ^ m) & (cpu.A ^ d) & 0x80) != 0);
    cpu.A = uint8_t(d);
    setNZ(cpu, cpu.A);
}

void compare(CPU& cpu, uint8_t reg, uint8_t m) {
    cpu.setFlag('C', reg >= m);
    cpu.setFlag('Z', reg == m);
    cpu.setFlag('N', uint8_t(reg - m) & 0x80);
}

// --- loads, stores, transfers ---

void LDA(CPU& cpu, Location loc) { cpu.A = cpu.readLocation(loc); setNZ(cpu, cpu.A); }
void LDX(CPU& cpu, Location loc) { cpu.X = cpu.readLocation(loc); setNZ(cpu, cpu.X); }
void LDY(CPU& cpu, Location loc) { cpu.Y = cpu.readLocation(loc); setNZ(cpu, cpu.Y); }
void STA(CPU& cpu, Location loc) { cpu.writeLocation(loc, cpu.A); }
void STX(CPU& cpu, Location loc) { cpu.writeLocation(loc, cpu.X); }
void STY(CPU& cpu, Location loc) { cpu.writeLocation(loc, cpu.Y); }
void TAX(CPU& cpu, Location) { cpu.X = cpu.A; setNZ(cpu, cpu.X); }
void TAY(CPU& cpu, Location) { cpu.Y = cpu.A; setNZ(cpu, cpu.Y); }
void TXA(CPU& cpu, Location) { cpu.A = cpu.X; setNZ(cpu, cpu.A); }
void TYA(CPU& cpu, Location) { cpu.A = cpu.Y; setNZ(cpu, cpu.A); }
void TSX(CPU& cpu, Location) { cpu.X = cpu.SP; setNZ(cpu, cpu.X); }
void TXS(CPU& cpu, Location) { cpu.SP = cpu.X; }

// --- logic and arithmetic ---

void AND(CPU& cpu, Location loc) { cpu.A &= cpu.readLocation(loc); setNZ(cpu, cpu.A); }
void ORA(CPU& cpu, Location loc) { cpu.A |= cpu.readLocation(loc); setNZ(cpu, cpu.A); }
void EOR(CPU& cpu, Location loc) { cpu.A ^= cpu.readLocation(loc); setNZ(cpu, cpu.A); }
void ADC(CPU& cpu, Location loc) { addWithCarry(cpu, cpu.readLocation(loc)); }
void SBC(CPU& cpu, Location loc) { subtractWithBorrow(cpu, cpu.readLocation(loc)); }
void CMP(CPU& cpu, Location loc) { compare(cpu, cpu.A, cpu.readLocation(loc)); }
void CPX(CPU& cpu, Location loc) { compare(cpu, cpu.X, cpu.readLocation(loc)); }
void CPY(CPU& cpu, Location loc) { compare(cpu, cpu.Y, cpu.readLocation(loc)); }

void BIT(CPU& cpu, Location loc) {
    const uint8_t m = cpu.readLocation(loc);
    cpu.setFlag('Z', (cpu.A & m) == 0);
    cpu.setFlag('V', m & 0x40);
    cpu.setFlag('N', m & 0x80);
}

// --- increments, decrements, shifts, rotates ---

void INC(CPU& cpu, Location loc) { modify<increment>(cpu, loc); }
void DEC(CPU& cpu, Location loc) { modify<decrement>(cpu, loc); }
void ASL(CPU& cpu, Location loc) { modify<shiftLeft>(cpu, loc); }
void LSR(CPU& cpu, Location loc) { modify<shiftRight>(cpu, loc); }
void ROL(CPU& cpu, Location loc) { modify<rotateLeft>(cpu, loc); }
void ROR(CPU& cpu, Location loc) { modify<rotateRight>(cpu, loc); }
void INX(CPU& cpu, Location) { ++cpu.X; setNZ(cpu, cpu.X); }
void INY(CPU& cpu, Location) { ++cpu.Y; setNZ(cpu, cpu.Y); }
void DEX(CPU& cpu, Location) { --cpu.X; setNZ(cpu, cpu.X); }
void DEY(CPU& cpu, Location) { --cpu.Y; setNZ(cpu, cpu.Y); }

// --- status and stack ---

void CLC(CPU& cpu, Location) { cpu.setFlag('C', false); }
void CLD(CPU& cpu, Location) { cpu.setFlag('D', false); }
void CLI(CPU& cpu, Location) { cpu.setFlag('I', false); }
void CLV(CPU& cpu, Location) { cpu.setFlag('V', false); }
void SEC(CPU& cpu, Location) { cpu.setFlag('C', true); }
void SED(CPU& cpu, Location) { cpu.setFlag('D', true); }
void SEI(CPU& cpu, Location) { cpu.setFlag('I', true); }
void PHA(CPU& cpu, Location) { cpu.push(cpu.A); }
void PHP(CPU& cpu, Location) { cpu.push(uint8_t(cpu.P | 0x30)); }
void PLA(CPU& cpu, Location) { cpu.A = cpu.pull(); setNZ(cpu, cpu.A); }
void PLP(CPU& cpu, Location) { cpu.P = cpu.pull(); }
void NOP(CPU&, Location) {}

// --- jumps, calls, returns ---

void JMP(CPU& cpu, Location loc) {
    if (uint16_t(loc) == cpu.PC) cpu.noteLoop(cpu.PC);
    jumpTo(cpu, uint16_t(loc));
}

void JSR(CPU& cpu, Location loc) {
    pushWord(cpu, uint16_t(cpu.PC + 2));
    jumpTo(cpu, uint16_t(loc));
}

void RTS(CPU& cpu, Location) { jumpTo(cpu, uint16_t(pullWord(cpu) + 1)); }

void RTI(CPU& cpu, Location) {
    cpu.P = cpu.pull();
    jumpTo(cpu, pullWord(cpu));
}

// Bits 4 and 5 are set in P itself, so they stay visible until PLP or RTI.
void BRK(CPU& cpu, Location) {
    pushWord(cpu, uint16_t(cpu.PC + 2));
    cpu.P |= 0x30;
    cpu.push(cpu.P);
    cpu.setFlag('I', true);
    const uint8_t low = cpu.read(cpu.irqVector);
    jumpTo(cpu, uint16_t(low | (cpu.read(uint16_t(cpu.irqVector + 1)) << 8)));
}

// --- branches count their own cycles ---

void BPL(CPU& cpu, Location loc) { branch(cpu, loc, !cpu.getFlag('N')); }
void BMI(CPU& cpu, Location loc) { branch(cpu, loc, cpu.getFlag('N')); }
void BVC(CPU& cpu, Location loc) { branch(cpu, loc, !cpu.getFlag('V')); }
void BVS(CPU& cpu, Location loc) { branch(cpu, loc, cpu.getFlag('V')); }
void BCC(CPU& cpu, Location loc) { branch(cpu, loc, !cpu.getFlag('C')); }
void BCS(CPU& cpu, Location loc) { branch(cpu, loc, cpu.getFlag('C')); }
void BNE(CPU& cpu, Location loc) { branch(cpu, loc, !cpu.getFlag('Z')); }
void BEQ(CPU& cpu, Location loc) { branch(cpu, loc, cpu.getFlag('Z')); }

}  // namespace cpu_ops
