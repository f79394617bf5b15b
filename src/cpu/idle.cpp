// Idle loops: a load or test of one byte of memory and a branch back to it
// (or a jump to itself). When one more pass would leave every register and
// flag as they are and branch back again, so would every pass after it, as
// long as nothing else changes the byte: the passes that fit before the next
// event of the other chips are counted, not run.
#include "cpu/cpu.h"

namespace {

// Memory that reads without side effects: RAM, and cartridge space.
bool plainMemory(uint16_t address) { return address < 0x2000 || address >= 0x4020; }

struct Registers {
    uint8_t A, X, Y, P;
    bool operator==(const Registers& o) const { return A == o.A && X == o.X && Y == o.Y && P == o.P; }
};

uint8_t withNZ(uint8_t p, uint8_t r) { return uint8_t((p & 0x7D) | (r & 0x80) | (r == 0 ? 0x02 : 0)); }

uint8_t compared(uint8_t p, uint8_t reg, uint8_t m) {
    const uint8_t c = reg >= m ? 0x01 : 0;
    return uint8_t((withNZ(p, uint8_t(reg - m)) & 0xFE) | c);
}

// The registers after the load or test `opcode` reads m, or false when it
// is not one that repeats; `absolute` tells its length.
bool pass(uint8_t opcode, uint8_t m, Registers& r, bool& absolute) {
    absolute = (opcode & 0x0C) == 0x0C;
    switch (opcode) {
        case 0xA5: case 0xAD: r.A = m; r.P = withNZ(r.P, m); return true;
        case 0xA6: case 0xAE: r.X = m; r.P = withNZ(r.P, m); return true;
        case 0xA4: case 0xAC: r.Y = m; r.P = withNZ(r.P, m); return true;
        case 0xC5: case 0xCD: r.P = compared(r.P, r.A, m); return true;
        case 0xE4: case 0xEC: r.P = compared(r.P, r.X, m); return true;
        case 0xC4: case 0xCC: r.P = compared(r.P, r.Y, m); return true;
        case 0x25: case 0x2D: r.A &= m; r.P = withNZ(r.P, r.A); return true;
        case 0x05: case 0x0D: r.A |= m; r.P = withNZ(r.P, r.A); return true;
        case 0x24: case 0x2C:
            r.P = uint8_t((r.P & 0x3D) | (m & 0xC0) | ((r.A & m) == 0 ? 0x02 : 0));
            return true;
        default: return false;
    }
}

// Whether the branch `opcode` (xxy10000) is taken with flags p.
bool taken(uint8_t opcode, uint8_t p) {
    static constexpr uint8_t kFlag[4] = {0x80, 0x40, 0x01, 0x02};  // N, V, C, Z
    const bool set = (p & kFlag[opcode >> 6]) != 0;
    return set == ((opcode & 0x20) != 0);
}

}  // namespace

int64_t CPU::idlePassCycles(uint16_t start) const {
    if (!plainMemory(start) || !plainMemory(uint16_t(start + 4))) return 0;
    const auto peek = [this](uint16_t address) { return memory[foldAddress(address)]; };
    const uint8_t opcode = peek(start);
    if (opcode == 0x4C) {
        const uint16_t target = uint16_t(peek(uint16_t(start + 1)) | (peek(uint16_t(start + 2)) << 8));
        return target == start ? baseCycles[0x4C] : 0;
    }
    Registers now{A, X, Y, P};
    Registers after = now;
    bool absolute = false;
    const uint8_t low = peek(uint16_t(start + 1));
    const uint16_t operand = (opcode & 0x0C) == 0x0C ? uint16_t(low | (peek(uint16_t(start + 2)) << 8)) : low;
    if (!plainMemory(operand) || !pass(opcode, peek(operand), after, absolute) || !(after == now)) return 0;
    const uint16_t branchAt = uint16_t(start + (absolute ? 3 : 2));
    const uint8_t branch = peek(branchAt);
    if ((branch & 0x1F) != 0x10 || !taken(branch, after.P)) return 0;
    const uint16_t next = uint16_t(branchAt + 2);
    if (uint16_t(next + int8_t(peek(uint16_t(branchAt + 1)))) != start) return 0;
    return baseCycles[opcode] + (((next ^ start) & 0xFF00) ? 4 : 3);
}

void CPU::skipIdleLoop() {
    const uint16_t start = uint16_t(idleLoopStart);
    idleLoopStart = -1;
    // Only a machine that shows every pass, or a board that sees reads, must run them.
    if (debug || mapperWatchesReads || ioTouched || PC != start) return;
    // An NMI the PPU has raised is taken after the next pass; an IRQ at once.
    if ((nmiSample && (memory[0x2000] & 0x80) && !nmiLine) || (irqPending && !getFlag('I'))) return;
    const int64_t cycles = idlePassCycles(start);
    if (cycles == 0) return;
    const int64_t passes = (idleUntil - this->cycles) / cycles;
    if (passes > 0) this->cycles += passes * cycles;
}
