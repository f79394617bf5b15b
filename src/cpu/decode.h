// What the fused dispatch knows about each opcode at compile time: the cycle
// digits that loadCycleTables reads, and the opcode decoding, giving the
// mode and instruction operations, which buildInstructionTable also puts in
// the tables at run time.
#pragma once

#include "cpu/operations.h"

namespace cpu_ops {
// Laid out by hand: the opcode groups read as a table.
// clang-format off

// Cycle counts by opcode, one decimal digit each.
inline constexpr char kBaseCycles[] =
    "7608335532224466050844662427447766083355422244660508446624274477"
    "6608335532223466050844662427447766083355422254660508446624274477"
    "2626333322224444060644442525555526263333222244440505444424244444"
    "2628335522224466050844662427447726283355222244660508446624274477";
inline constexpr char kPageCrossCycles[] =
    "7608335532224466060844662527557766083355422244660608446625275577"
    "6608335532223466060844662527557766083355422254660608446625275577"
    "2626333322224444060644442525555526263333222244440606444425255555"
    "2628335522224466060844662527557726283355222244660608446625275577";
static_assert(sizeof(kBaseCycles) == 257 && sizeof(kPageCrossCycles) == 257, "256 digits each");

constexpr uint8_t cycleDigit(const char (&digits)[257], int opcode) { return uint8_t(digits[opcode] - '0'); }

struct Decoded {
    ModeId mode;  // Impl: the instruction receives PC + 1
    CPU::InstructionOp op;
    bool jams = false;        // stops the core (the JAM opcodes)
    bool marksLoops = false;  // may mark an idle loop's start (JMP, the branches)
};

// Bits 7-5 are a, 4-2 b and 1-0 g.
constexpr Decoded decode(uint8_t opcode) {
    using M = ModeId;
    const int a = opcode >> 5;
    const int b = (opcode >> 2) & 7;
    const int g = opcode & 3;
    if (g == 2 && b == 4) return {M::Impl, jam, true};
    // The undocumented NOPs and stores that fit no column.
    switch (opcode) {
        case 0x04: case 0x44: case 0x64: return {M::Zpg, skip};
        case 0x0C: return {M::Abs, skip};
        case 0x14: case 0x34: case 0x54: case 0x74: case 0xD4: case 0xF4: return {M::Zpgx, skip};
        case 0x1C: case 0x3C: case 0x5C: case 0x7C: case 0xDC: case 0xFC: return {M::Absx, skip};
        case 0x80: return {M::Imm, skip};
        case 0x9C: return {M::Absx, SHY};
        case 0x93: return {M::Indy, SHA};
        case 0x9F: return {M::Absy, SHA};
        case 0x9B: return {M::Absy, TAS};
        case 0xBB: return {M::Absy, LAS};
        default: break;
    }
    const bool storeOrLoadX = a == 4 || a == 5;  // the rows that index by Y
    const M byB[8] = {M::Impl, M::Zpg, M::Impl, M::Abs, M::Impl, M::Zpgx, M::Impl, M::Absx};
    M mode = byB[b];
    if (g == 1) {
        const CPU::InstructionOp ops[8] = {ORA, AND, EOR, ADC, STA, LDA, CMP, SBC};
        const M even[4] = {M::Xind, M::Imm, M::Indy, M::Absy};
        return {b % 2 == 0 ? even[b / 2] : mode, ops[a]};
    }
    if (g == 3) {
        const M modes[8] = {M::Xind, M::Zpg,  M::Imm, M::Abs, M::Indy, storeOrLoadX ? M::Zpgy : M::Zpgx,
                            M::Absy, storeOrLoadX ? M::Absy : M::Absx};
        const CPU::InstructionOp ops[8] = {SLO, RLA, SRE, RRA, SAX, LAX, DCP, ISC};
        const CPU::InstructionOp immediate[8] = {ANC, ANC, ALR, ARR, XAA, LXA, SBX, SBC};
        return {modes[b], b == 2 ? immediate[a] : ops[a]};
    }
    if (g == 2) {
        const CPU::InstructionOp ops[8] = {ASL, ROL, LSR, ROR, STX, LDX, DEC, INC};
        const CPU::InstructionOp b2[4] = {TXA, TAX, DEX, NOP};
        CPU::InstructionOp op = ops[a];
        if (a >= 4 && b == 2) op = b2[a - 4];
        if (b == 6 && a == 4) op = TXS;
        if (b == 6 && a == 5) op = TSX;
        if (b == 0) mode = M::Imm;
        if (b == 2) mode = a < 4 ? M::Acc : M::Impl;
        if (b == 6) mode = M::Impl;
        if (b == 5 && storeOrLoadX) mode = M::Zpgy;
        if (b == 7 && a == 5) mode = M::Absy;
        return {mode, op};
    }
    // g = 0: a row of operations for each b.
    switch (b) {
        case 0: {
            const CPU::InstructionOp ops[8] = {BRK, JSR, RTI, RTS, nullptr, LDY, CPY, CPX};
            const M modes[8] = {M::Impl, M::Abs, M::Impl, M::Impl, M::Impl, M::Imm, M::Imm, M::Imm};
            return {modes[a], ops[a]};
        }
        case 1: {
            const CPU::InstructionOp ops[8] = {nullptr, BIT, nullptr, nullptr, STY, LDY, CPY, CPX};
            return {mode, ops[a]};
        }
        case 3: {
            const CPU::InstructionOp ops[8] = {nullptr, BIT, JMP, JMP, STY, LDY, CPY, CPX};
            return {a == 3 ? M::Ind : mode, ops[a], false, a == 2 || a == 3};
        }
        case 2: {
            const CPU::InstructionOp ops[8] = {PHP, PLP, PHA, PLA, DEY, TAY, INY, INX};
            return {M::Impl, ops[a]};
        }
        case 4: {
            const CPU::InstructionOp ops[8] = {BPL, BMI, BVC, BVS, BCC, BCS, BNE, BEQ};
            return {M::Rel, ops[a], false, true};
        }
        case 6: {
            const CPU::InstructionOp ops[8] = {CLC, SEC, CLI, SEI, TYA, CLV, CLD, SED};
            return {M::Impl, ops[a]};
        }
        default:  // b = 5 and 7: only STY zpgx and the two LDY are left
            return {mode, b == 5 && a == 4 ? STY : a == 5 ? LDY : nullptr};
    }
}

// The length the opcode's mode gives instructionLength; a JAM leaves 0.
constexpr uint8_t lengthOf(Decoded decoded) {
    if (decoded.jams) return 0;
    switch (decoded.mode) {
        case ModeId::Impl: case ModeId::Acc: return 1;
        case ModeId::Abs: case ModeId::Absx: case ModeId::Absy: case ModeId::Ind: return 3;
        default: return 2;
    }
}

// clang-format on
}  // namespace cpu_ops
