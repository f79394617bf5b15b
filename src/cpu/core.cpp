// Construction, reset, the instruction step with its interrupt check, and the
// debug trace line.
#include <cstdio>

#include "apu/apu.h"
#include "cpu/cpu.h"
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
    ppu->sync();
    endQuiet();  // the window was measured on the old clock
    cycles = 0;
    ppu->totalDots = 0;
    apu->resetClock();  // apuCycles and sampleCount
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

void CPU::step() {
    // Halted: no fetch, no interrupts, but frames must still complete.
    if (VELKORA_UNLIKELY(halted)) {
        cycles += 2;
        return;
    }
    stepStart = cycles;
    const uint16_t pc = PC;
    const uint16_t operand = uint16_t(pc + 1);
    const uint8_t opcode = read(pc);
    instructionLength = 1;
    pageCrossed = false;
    // The operand byte is read for its side effects; modes read it again.
    touch(operand);
    const ModeOp mode = modeHandlers[opcode];
    const Location location = mode ? mode(*this, operand) : operand;

    cycles += (pageCrossed ? pageCrossCycles : baseCycles)[opcode];

    // Sampled before the instruction runs: an nmiOccurred raised while the
    // PPU catches up after this step is seen one step later.
    const bool nmiCondition = nmiSample && (memory[0x2000] & 0x80);
    nmiSample = ppu->nmiOccurred;

    if (VELKORA_UNLIKELY(debug)) printTrace(opcode, location);
    instructionHandlers[opcode](*this, location);
    PC = uint16_t(PC + instructionLength);
    if (VELKORA_UNLIKELY(halted)) return;

    if (VELKORA_UNLIKELY(nmiCondition && !nmiLine)) {
        idleLoopStart = -1;
        enterInterrupt(nmiVector);
    } else if (VELKORA_UNLIKELY(irqPending) && !getFlag('I')) {
        idleLoopStart = -1;
        irqPending = false;
        enterInterrupt(irqVector);
    }
    nmiLine = nmiCondition;
    if (VELKORA_UNLIKELY(idleLoopStart >= 0)) skipIdleLoop();
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
