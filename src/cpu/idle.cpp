// Idle loops: a load or test of one byte of memory and a branch back to it
// (or a jump to itself), delay loops that count a register down or up, and
// runs of NOPs. When one more pass would leave every register and flag as
// they are and branch back again, so would every pass after it, as long as
// nothing else changes the byte: the passes that fit before the next event
// of the other chips are counted, not run.
#include <algorithm>
#include <array>
#include <cstring>

#include "cpu/cpu.h"
#include "ppu/ppu.h"

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

// The loads and tests that repeat, by what they do with the byte m they read.
enum class Test : uint8_t { None, LoadA, LoadX, LoadY, CompareA, CompareX, CompareY, AndA, OrA, Bit };

constexpr std::array<Test, 256> kTests = [] {
    std::array<Test, 256> tests{};
    const auto both = [&tests](uint8_t zeroPage, uint8_t absolute, Test test) {
        tests[zeroPage] = tests[absolute] = test;
    };
    both(0xA5, 0xAD, Test::LoadA);
    both(0xA6, 0xAE, Test::LoadX);
    both(0xA4, 0xAC, Test::LoadY);
    both(0xC5, 0xCD, Test::CompareA);
    both(0xE4, 0xEC, Test::CompareX);
    both(0xC4, 0xCC, Test::CompareY);
    both(0x25, 0x2D, Test::AndA);
    both(0x05, 0x0D, Test::OrA);
    both(0x24, 0x2C, Test::Bit);
    return tests;
}();

// The registers after `test` reads m.
Registers pass(Test test, uint8_t m, Registers r) {
    // Laid out by hand: one line a test.
    // clang-format off
    switch (test) {
        case Test::LoadA: r.A = m; r.P = withNZ(r.P, m); break;
        case Test::LoadX: r.X = m; r.P = withNZ(r.P, m); break;
        case Test::LoadY: r.Y = m; r.P = withNZ(r.P, m); break;
        case Test::CompareA: r.P = compared(r.P, r.A, m); break;
        case Test::CompareX: r.P = compared(r.P, r.X, m); break;
        case Test::CompareY: r.P = compared(r.P, r.Y, m); break;
        case Test::AndA: r.A &= m; r.P = withNZ(r.P, r.A); break;
        case Test::OrA: r.A |= m; r.P = withNZ(r.P, r.A); break;
        case Test::Bit: r.P = uint8_t((r.P & 0x3D) | (m & 0xC0) | ((r.A & m) == 0 ? 0x02 : 0)); break;
        case Test::None: break;
    }
    // clang-format on
    return r;
}

// Whether the branch `opcode` (xxy10000) is taken with flags p.
bool taken(uint8_t opcode, uint8_t p) {
    static constexpr uint8_t kFlag[4] = {0x80, 0x40, 0x01, 0x02};  // N, V, C, Z
    const bool set = (p & kFlag[opcode >> 6]) != 0;
    return set == ((opcode & 0x20) != 0);
}

}  // namespace

int64_t CPU::idlePassCycles(uint16_t start, bool* readsStatus) const {
    const auto peek = [this](uint16_t address) { return memory[foldAddress(address)]; };
    const uint8_t opcode = peek(start);
    // Most loops that branch back start with neither a test nor a JMP: no
    // need to read on.
    const Test test = kTests[opcode];
    if (test == Test::None && opcode != 0x4C) return 0;
    if (!plainMemory(start) || !plainMemory(uint16_t(start + 4))) return 0;
    if (opcode == 0x4C) {
        const uint16_t target = uint16_t(peek(uint16_t(start + 1)) | (peek(uint16_t(start + 2)) << 8));
        return target == start ? baseCycles[0x4C] : 0;
    }
    const bool absolute = (opcode & 0x0C) == 0x0C;
    const uint8_t low = peek(uint16_t(start + 1));
    const uint16_t operand = absolute ? uint16_t(low | (peek(uint16_t(start + 2)) << 8)) : low;
    // PPUSTATUS reads the same and changes nothing more once a pass has run
    // (the vertical blank flag clear, the write toggle reset), until the PPU
    // could set a flag: the caller bounds the passes by that.
    const bool status = readsStatus && operand >= 0x2000 && operand < 0x4000 && (operand & 7) == 2;
    if (!status && (!plainMemory(operand) || answeredByBoard(operand))) return 0;
    if (status) *readsStatus = true;
    const Registers now{A, X, Y, P};
    const Registers after = pass(test, peek(operand), now);
    if (!(after == now)) return 0;
    const uint16_t branchAt = uint16_t(start + (absolute ? 3 : 2));
    const uint8_t branch = peek(branchAt);
    if ((branch & 0x1F) != 0x10 || !taken(branch, after.P)) return 0;
    const uint16_t next = uint16_t(branchAt + 2);
    if (uint16_t(next + int8_t(peek(uint16_t(branchAt + 1)))) != start) return 0;
    return baseCycles[opcode] + (((next ^ start) & 0xFF00) ? 4 : 3);
}

// Delay loops: NOPs and one DEX, DEY, INX or INY, then BNE back to the first.
// Each pass only moves the counter, so the passes that fit before the next
// event, short of the one that brings the counter to 0, are counted.
bool CPU::skipCountedLoop(uint16_t start) {
    static constexpr size_t kLongestBody = 8;
    const auto peek = [this](uint16_t address) { return memory[foldAddress(address)]; };
    int counters = 0;
    bool onX = false;
    bool up = false;
    int64_t pass = 0;
    uint16_t at = start;
    for (size_t length = 0; length < kLongestBody; ++length, at = uint16_t(at + 1)) {
        const uint8_t opcode = peek(at);
        if (opcode == 0xD0) break;
        if (opcode == 0xCA || opcode == 0x88 || opcode == 0xE8 || opcode == 0xC8) {
            ++counters;
            onX = opcode == 0xCA || opcode == 0xE8;
            up = opcode == 0xE8 || opcode == 0xC8;
        } else if (opcode != 0xEA) {
            return false;
        }
        pass += baseCycles[opcode];
    }
    if (counters != 1 || peek(at) != 0xD0 || !plainMemory(at)) return false;
    const uint16_t next = uint16_t(at + 2);
    if (uint16_t(next + int8_t(peek(uint16_t(at + 1)))) != start) return false;
    pass += ((next ^ start) & 0xFF00) ? 4 : 3;
    uint8_t& counter = onX ? X : Y;
    // The flags must be the counter's, as the pass just run left them.
    if (P != withNZ(P, counter) || counter == 0) return false;
    const int64_t left = up ? 255 - counter : counter - 1;
    const int64_t passes = std::min(left, (idleUntil - cycles) / pass);
    if (passes <= 0) return true;
    counter = uint8_t(up ? counter + passes : counter - passes);
    P = withNZ(P, counter);
    cycles += passes * pass;
    return true;
}

void CPU::skipIdleLoop() {
    const uint16_t start = uint16_t(idleLoopStart);
    idleLoopStart = -1;
    // Only a machine that shows every pass, or a board that sees reads, must run them.
    if (debug || mapperWatchesReads || ioTouched || PC != start) return;
    // An NMI the PPU has raised is taken after the next pass; an IRQ at once.
    if ((nmiSample && (memory[0x2000] & 0x80) && !nmiLine) || (irqPending && !getFlag('I'))) return;
    bool readsStatus = false;
    const int64_t cycles = idlePassCycles(start, &readsStatus);
    if (cycles == 0) {
        if (plainMemory(start)) skipCountedLoop(start);
        return;
    }
    const int64_t until = readsStatus ? std::min(idleUntil, ppu->statusSteadyDots() / 3) : idleUntil;
    const int64_t passes = (until - this->cycles) / cycles;
    if (passes > 0) this->cycles += passes * cycles;
}

// A run of NOPs moves only PC and the cycle count: the NOPs in ROM that end
// by idleUntil run at once, unless an interrupt is due after the next one.
// How many NOPs in a row open bytes, at most `most`: eight at a time, then one.
static int64_t nopRun(const uint8_t* bytes, int64_t most) {
    static constexpr uint64_t kEightNops = 0xEAEAEAEAEAEAEAEAull;
    int64_t count = 0;
    for (uint64_t word; count + 8 <= most; count += 8) {
        std::memcpy(&word, bytes + count, 8);
        if (word != kEightNops) break;
    }
    while (count < most && bytes[count] == 0xEA) ++count;
    return count;
}

void CPU::skipNops() {
    const uint16_t start = PC;
    if (debug || mapperWatchesReads || ioTouched || cycles >= idleUntil || start < 0x4020) return;
    const bool nmiCondition = nmiSample && (memory[0x2000] & 0x80);
    if ((nmiCondition && !nmiLine) || (irqPending && !getFlag('I'))) return;
    // The bytes up to the end of this fold of ROM lie in a row.
    const int64_t foldEnd = foldUpperPrgBank && start < 0xC000 ? 0xC000 : 0x10000;
    const int64_t most = std::min((idleUntil - cycles) / baseCycles[0xEA], foldEnd - start);
    const int64_t count = nopRun(&memory[foldRom(start)], most);
    if (count == 0) return;
    PC = uint16_t(start + count);
    cycles += count * baseCycles[0xEA];
    nmiLine = nmiCondition;  // as each of them samples it
}

// The same in the hardware timing, where a pass's cycles are the same but
// the interrupt lines are polled each instruction: no pass is skipped while
// an interrupt could enter, nor past a DMC fetch.
void CPU::skipIdleLoopHardware() {
    const uint16_t start = uint16_t(idleLoopStart);
    idleLoopStart = -1;
    if (mapperWatchesReads || ioTouched || PC != start || interruptMayEnter()) return;
    const int64_t window = idleUntil;
    idleUntil = std::min(idleUntil, dmaAt);
    const int64_t before = cycles;
    const int64_t pass = idlePassCycles(start);
    if (pass == 0) {
        if (plainMemory(start)) skipCountedLoop(start);
    } else {
        const int64_t passes = (idleUntil - before) / pass;
        if (passes > 0) cycles += passes * pass;
    }
    idleUntil = window;
    // The skipped passes polled as the one just run did.
    pollCycle += int64_t(cycles) - before;
}

void CPU::skipNopsHardware() {
    const uint16_t start = PC;
    const int64_t until = std::min(idleUntil, dmaAt);
    if (mapperWatchesReads || ioTouched || cycles >= until || interruptMayEnter()) return;
    const int64_t foldEnd = foldUpperPrgBank && start < 0xC000 ? 0xC000 : 0x10000;
    const int64_t most = std::min((until - cycles) / 2, foldEnd - start);
    const int64_t count = nopRun(&memory[foldRom(start)], most);
    if (count == 0) return;
    PC = uint16_t(start + count);
    cycles += 2 * count;
    pollCycle = int64_t(cycles) - 2;
    // The last NOP read the byte after it.
    dataBus = memory[foldRom(PC)];
}
