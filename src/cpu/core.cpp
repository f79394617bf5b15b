// Construction, reset, the instruction step with its interrupt check, and the
// debug trace line.
#include <cstdio>
#include <utility>

#include "apu/apu.h"
#include "console/catch_up.h"
#include "cpu/cpu.h"
#include "cpu/decode.h"
#include "ppu/ppu.h"

CPU::CPU() {
    instructionNames.fill(nullptr);
    modeNames.fill(nullptr);
    baseCycles.fill(0);
    pageCrossCycles.fill(0);
    buildInstructionTable();
    loadCycleTables();
}

void CPU::reset() {
    catch_up::atReset(*this);
    halted = false;
    const uint8_t low = read(resetVector);
    PC = uint16_t(low | (read(uint16_t(resetVector + 1)) << 8));
}

void CPU::enterInterrupt(uint16_t vector) {
    push(uint8_t(PC >> 8));
    push(uint8_t(PC));
    push(P);
    setFlag('I', true);
    const uint8_t low = read(vector);
    PC = uint16_t(low | (read(uint16_t(vector + 1)) << 8));
}

// Sampled before the instruction runs: an nmiOccurred raised while the
// PPU catches up after this step is seen one step later.
inline bool CPU::sampleNmi() {
    const bool nmiCondition = nmiSample && (memory[0x2000] & 0x80);
    nmiSample = ppu->nmiOccurred;
    return nmiCondition;
}

// NMI on the condition's rising edge, else a pending IRQ when I is clear;
// then the idle loop a branch or jump back marked.
template <bool MayMarkLoop>
inline void CPU::endStep(bool nmiCondition) {
    const bool nmiEdge = nmiCondition && !nmiLine;
    nmiLine = nmiCondition;
    if (VELKORA_UNLIKELY(nmiEdge || (irqPending && !getFlag('I')))) return interrupt(nmiEdge);
    if (MayMarkLoop && VELKORA_UNLIKELY(idleLoopStart >= 0)) skipIdleLoop();
}

// Out of line, so the common step saves no registers for the call. The
// entry forgets the idle loop.
[[gnu::noinline]] void CPU::interrupt(bool nmi) {
    idleLoopStart = -1;
    if (nmi) {
        enterInterrupt(nmiVector);
    } else {
        irqPending = false;
        enterInterrupt(irqVector);
    }
}

// The hot path. Each opcode is a function of its own with every call in it
// inlined, so mode, operation and flag updates fold into straight-line code
// with the opcode's constants.
template <uint8_t Opcode, bool InMemory>
[[gnu::flatten]] void CPU::execute(CPU& cpu, uint16_t pc, uint16_t foldedPc) {
    using namespace cpu_ops;
    const uint16_t operand = uint16_t(pc + 1);
    constexpr Decoded decoded = decode(Opcode);
    constexpr ModeId mode = decoded.mode;
    // Only the indexed modes set pageCrossed, and only "impl" leaves the length.
    constexpr bool mayCross = mode == ModeId::Absx || mode == ModeId::Absy || mode == ModeId::Indy;
    if constexpr (!mayCross) cpu.pageCrossed = false;
    Location location = operand;
    if constexpr (mode == ModeId::Impl) {
        cpu.instructionLength = 1;
    } else if constexpr (InMemory) {
        location = locateInMemory<mode>(cpu, operand, uint16_t(foldedPc + 1));
    } else {
        location = modeOp(mode)(cpu, operand);
    }
    // The tables' cycle counts as constants; a branch's 0 needs no update.
    constexpr uint8_t base = cycleDigit(kBaseCycles, Opcode);
    constexpr uint8_t crossing = cycleDigit(kPageCrossCycles, Opcode);
    if constexpr (mayCross) {
        cpu.cycles += cpu.pageCrossed ? crossing : base;
    } else if constexpr (base != 0) {
        cpu.cycles += base;
    }
    const bool nmiCondition = cpu.sampleNmi();
    decoded.op(cpu, location);
    // The length the mode stored: a constant, where a reload from
    // instructionLength would follow the atomic update of cycles.
    cpu.PC = uint16_t(cpu.PC + lengthOf(decoded));
    // Nothing but a JAM halts, and a halted core takes no interrupt.
    if constexpr (!decoded.jams) cpu.endStep<decoded.marksLoops>(nmiCondition);
    // Timed code waits in long runs of NOPs.
    if constexpr (Opcode == 0xEA && InMemory) {
        if (VELKORA_UNLIKELY(cpu.memory[cpu.foldRom(cpu.PC)] == 0xEA)) cpu.skipNops();
    }
}

// The fused dispatch: the opcode indexes its function. One indirect jump
// replaces the two calls through modeHandlers and instructionHandlers (a
// switch over the opcode compiles to the same jump plus one more).
template <bool InMemory, std::size_t... Opcodes>
constexpr std::array<CPU::Executor, 256> CPU::executors(std::index_sequence<Opcodes...>) {
    return {&CPU::execute<uint8_t(Opcodes), InMemory>...};
}

[[gnu::noinline]] void CPU::executeFromTables(uint8_t opcode, uint16_t operand) {
    instructionLength = 1;
    pageCrossed = false;
    const ModeOp mode = modeHandlers[opcode];
    const Location location = mode ? mode(*this, operand) : operand;
    cycles += (pageCrossed ? pageCrossCycles : baseCycles)[opcode];
    const bool nmiCondition = sampleNmi();
    printTrace(opcode, location);
    instructionHandlers[opcode](*this, location);
    PC = uint16_t(PC + instructionLength);
    if (VELKORA_UNLIKELY(halted)) return;
    endStep<true>(nmiCondition);
}

// Halted, tracing, a board that watches reads, or code below $4020.
[[gnu::noinline]] void CPU::stepThroughBus() {
    static constexpr std::array<Executor, 256> kFusedThroughBus = executors<false>(std::make_index_sequence<256>());
    // Halted: no fetch, no interrupts, but frames must still complete.
    if (halted) {
        cycles += 2;
        return;
    }
    stepStart = cycles;
    const uint16_t pc = PC;
    const uint16_t operand = uint16_t(pc + 1);
    const uint8_t opcode = read(pc);
    // The operand byte is read for its side effects; modes read it again.
    touch(operand);
    if (debug) return executeFromTables(opcode, operand);
    kFusedThroughBus[opcode](*this, pc, 0);
}

inline void CPU::fusedStep() {
    static constexpr std::array<Executor, 256> kFused = executors<true>(std::make_index_sequence<256>());
    const uint16_t pc = PC;
    // From $4020 up the opcode is plain memory, and so is the operand byte
    // after it (at most $FFFF, or $0000): no bus, no side effects.
    if (VELKORA_UNLIKELY((halted | debug | mapperWatchesReads) || pc < 0x4020)) return stepThroughBus();
    stepStart = cycles;
    const uint16_t folded = foldRom(pc);
    kFused[memory[folded]](*this, pc, folded);
}

void CPU::step() { fusedStep(); }

void CPU::stepUntilDue() {
    do fusedStep();
    while (!catch_up::dueAfterStep(*this));
}

void CPU::printTrace(uint8_t opcode, Location location) {
    char line[256];
    if (instructionNames[opcode] && modeNames[opcode]) {
        unsigned operand = 0;
        if (instructionLength >= 2) operand = memory[foldAddress(uint16_t(PC + 1))];
        if (instructionLength >= 3) operand |= unsigned(memory[foldAddress(uint16_t(PC + 2))]) << 8;
        const bool onAccumulator = location == kAccumulator;
        const uint16_t address = onAccumulator ? 0 : foldAddress(uint16_t(location));
        const uint8_t value = onAccumulator ? A : memory[address];
        std::snprintf(line, sizeof line,
                      "Cycles: %lli, 0x%02x: %s, %s $%04x->%04llx=%02x, PC=$%04llx - A=%02x - X=%02x - Y=%02x - P=%02x",
                      static_cast<long long>(int64_t(cycles)), opcode, instructionNames[opcode], modeNames[opcode],
                      operand, static_cast<unsigned long long>(address), value, static_cast<unsigned long long>(PC), A,
                      X, Y, P);
    } else {
        std::snprintf(line, sizeof line, "0x%02x: ---", opcode);
    }
    std::printf("%s ", line);
    std::printf("SP: %02x [", SP);
    if (SP != 0xFF) std::printf("%02x", memory[0x01FF]);
    for (int address = 0x01FE; address > 0x0100 + SP; --address) std::printf(",%02x", memory[address]);
    std::printf("]\n");
}
