// The 6502 core: registers, the flat 64 KiB address space and its bus,
// interrupts, and the instruction set: opcode tables decoded from the
// opcodes' bit fields, and a fused dispatch that agrees with them.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "common.h"

class StateStream;

class CPU {
public:
    // An effective location: a 16-bit address, or the accumulator. The fused
    // dispatch also marks locations it knows to be plain memory (immediate
    // operands, and zero page while no board watches reads): their low 16
    // bits are then the folded address, read without the bus.
    using Location = uint32_t;
    static constexpr Location kAccumulator = 0x10000;
    static constexpr Location kInMemory = 0x20000;
    using ModeOp = Location (*)(CPU&, uint16_t operandAddress);
    using InstructionOp = void (*)(CPU&, Location);

    // --- links (not owned); the PPU and APU must be linked before reset/step ---
    PPU* ppu = nullptr;
    APU* apu = nullptr;
    Cartridge* cartridge = nullptr;

    // --- registers ---
    int32_t clockSpeed = 1789773;
    uint8_t A = 0, X = 0, Y = 0;
    uint8_t joypadShift[2] = {0, 0};
    uint16_t PC = 0;
    uint8_t instructionLength = 1;
    const uint16_t nmiVector = 0xFFFA;
    const uint16_t resetVector = 0xFFFC;
    const uint16_t irqVector = 0xFFFE;

    // --- opcode tables (instruction_table.cpp) ---
    std::array<ModeOp, 256> modeHandlers{};
    std::array<InstructionOp, 256> instructionHandlers{};

    // --- address space (bus.cpp) ---
    alignas(64) std::array<uint8_t, 65536> memory{};

    // --- timing and interrupts (core.cpp) ---
    RelaxedCounter cycles;
    bool nmiSample = false;
    bool irqPending = false;
    bool nmiLine = false;
    bool joypadStrobe = false;
    bool debug = false;
    std::atomic<const Buttons*> joypadPorts[2] = {nullptr, nullptr};
    uint8_t SP = 0xFF;
    uint8_t P = 0x24;
    // A JAM opcode stops the core until the next reset; time still advances.
    bool halted = false;
    // Set by the indexed modes when the index carries out of the low byte;
    // picks pageCrossCycles for this step.
    bool pageCrossed = false;

    // --- names and cycle tables (instruction_table.cpp) ---
    std::array<const char*, 256> instructionNames{};
    std::array<const char*, 256> modeNames{};
    std::array<uint8_t, 256> baseCycles{};
    std::array<uint8_t, 256> pageCrossCycles{};

    // --- bytes the bus never writes (serialize.cpp) ---
    // A view of memory was handed out: any byte may change behind the bus.
    bool memoryShared = false;
    // The mirrors of RAM and of the PPU registers may hold bytes a loaded
    // state put there (the bus folds every access away from them).
    bool strayBytes = false;
    // Whether those mirrors hold anything but zeros.
    bool mirrorsInUse() const;

    // Set by mapCartridge: a 16 KiB NROM/CNROM image is seen at $8000 and $C000.
    bool foldUpperPrgBank = false;
    // The mask a plain read takes in each 8 KiB of the address space (the
    // hardware timing's bus): RAM's mirrors, and the upper 16 KiB of a
    // folded 16 KiB image ($C000 & $BFFF = $8000). $2000-$5FFF never reads here.
    std::array<uint16_t, 8> plainReadMasks{0x07FF, 0, 0, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
    // Set with the mapper link when the board wants cpuRead; no board does,
    // so notifying reads normally cost one predictable branch.
    bool mapperWatchesReads = false;
    // Set with the mapper link when the board wants cpuWrite.
    bool mapperWatchesWrites = false;
    // ...and also its stores to RAM ($0000-$1FFF).
    bool mapperWatchesRamWrites = false;
    // Reads from here up are plain memory: $4020, or $6000 when the board
    // answers reads of its registers in $4020-$5FFF (set with the mapper link).
    uint16_t plainFrom = 0x4020;
    bool answeredByBoard(uint16_t address) const { return address >= 0x4020 && address < plainFrom; }

    // --- the ahead window (console/catch_up.h states the rules) ---
    // A step that ends at or before aheadUntil and touches no register
    // (ioTouched) leaves the APU and PPU behind; stepStart is where a
    // register access brings them. An idle loop (a load and a test branching
    // back to it, or a jump to itself) reads the same byte and leaves the
    // same registers on every pass, so the passes that end by idleUntil run
    // at once (idle.cpp). A taken branch or jump back marks the loop's start.
    int64_t aheadUntil = -1;
    int64_t stepStart = 0;
    bool ioTouched = false;
    int64_t idleUntil = -1;
    int32_t idleLoopStart = -1;
    void closeAheadWindow() { aheadUntil = idleUntil = -1; }
    void noteLoop(uint16_t start) {
        if (cycles < idleUntil) idleLoopStart = start;
    }

    // --- hardware timing (cycle_exact.cpp, interrupt_lines.cpp) ---
    // Every bus access takes its own cycle and a register access sees the
    // other chips as they stand at that cycle; interrupts are polled as
    // the chip polls them and take seven cycles to enter.
    bool hardware = false;
    // The last byte on the data bus: what a read of nothing returns.
    uint8_t dataBus = 0;
    // IRQ sources; the line is their OR, each held until its own acknowledge.
    enum IrqSource : uint8_t { kIrqFrame = 1, kIrqDmc = 2, kIrqBoard = 4 };
    uint8_t irqSources = 0;
    // When the line last went active and inactive: a poll at cycle c sees it
    // active from irqActiveFrom on, until irqInactiveFrom.
    int64_t irqActiveFrom = 0;
    int64_t irqInactiveFrom = 0;
    // The NMI edge: the cycle whose sample first saw the PPU's line high
    // (kNoNmi when none waits), and the dot it rose at.
    static constexpr int64_t kNoNmi = INT64_MAX;
    int64_t nmiDetectedAt = kNoNmi;
    int64_t nmiRoseAtDot = -1;
    // The last instruction's interrupt poll: its cycle, and whether I was set then.
    int64_t pollCycle = INT64_MIN;
    bool pollMasked = true;
    // The cycle from which the DMC's sample fetch waits to take the bus.
    int64_t dmaAt = INT64_MAX;
    // The previous write's cycle (a board that ignores back-to-back writes).
    int64_t lastWriteCycle = INT64_MIN;
    // A $4014 write waiting for its instruction to end (-1: none).
    int32_t oamDmaPage = -1;
    // Sources assert and release at a cycle; the PPU's NMI output at a dot.
    void setIrq(uint8_t source, bool active, int64_t atCycle);
    void nmiLineRose(int64_t dot);
    void nmiLineFell(int64_t dot);
    bool irqSeenAt(int64_t cycle) const {
        if (irqSources != 0) return cycle >= irqActiveFrom;
        return cycle >= irqActiveFrom && cycle < irqInactiveFrom;
    }
    void stepHardware();
    // stepHardware until a catch-up is due, as stepUntilDue.
    void stepHardwareUntilDue();
    // Back to no interrupt, DMA or bus history (a timing change, power-on).
    void clearHardwareState();
    // The reset button (and power-on's reset sequence) in the hardware's way:
    // seven cycles, three stack reads, I set.
    void resetSequence();

    CPU();
    CPU(const CPU&) = delete;
    CPU& operator=(const CPU&) = delete;

    void reset();
    void step();
    // step until a catch-up is due (catch_up::dueAfterStep): a frame's inner
    // loop, with the step inlined.
    void stepUntilDue();
    // Registers, interrupt latches, joypad shifters, the cycle count and the
    // address space (serialize.cpp).
    void serialize(StateStream& s);

    // --- bus (bus.cpp) ---
    uint16_t foldRom(uint16_t address) const {
        return (foldUpperPrgBank && address >= 0xC000) ? uint16_t(address - 0x4000) : address;
    }
    uint16_t foldAddress(uint16_t address) const {
        address = foldRom(address);
        if (address < 0x2000) return address & 0x07FF;
        if (address < 0x4000) return 0x2000 | (address & 7);
        return address;
    }
    // RAM, PRG RAM and ROM are a plain array load; only $2000-$401F can
    // have side effects. Everything else, and a board that watches reads,
    // takes the out-of-line path, so the common one needs no stack frame.
    // Always inlined: the compiler would stop inlining it into the 512
    // fused opcode functions once the unit has grown.
    [[gnu::always_inline]] uint8_t read(uint16_t address, bool notify = true) {
        if (VELKORA_LIKELY(!(notify && mapperWatchesReads))) {
            if (address >= plainFrom) return memory[foldRom(address)];
            if (address < 0x2000) return memory[address & 0x07FF];
        }
        return readSlow(address, notify);
    }
    // Two reads, at address and address + 1 (wrapping at $FFFF). Within
    // one 16 KiB quarter of ROM or PRG RAM neither read has an effect and
    // the second byte follows the first in memory, so one load does.
    [[gnu::always_inline]] uint16_t readWord(uint16_t address) {
        if (VELKORA_LIKELY(!mapperWatchesReads && address >= plainFrom && (address & 0x3FFF) != 0x3FFF)) {
            const uint16_t folded = foldRom(address);
            return uint16_t(memory[folded] | (memory[folded + 1] << 8));
        }
        return readWordSlow(address);
    }
    // A read whose value is not used: only side effects and the mapper
    // hook can make it matter.
    void touch(uint16_t address) {
        if (VELKORA_UNLIKELY(mapperWatchesReads || (address >= 0x2000 && address < plainFrom))) {
            (void)readSlow(address, true);
        }
    }
    void write(uint16_t address, uint8_t value);

    // --- flags by letter: C Z I D B V N ---
    static constexpr uint8_t flagBit(char letter) {
        switch (letter) {
            case 'C': return 0x01;
            case 'Z': return 0x02;
            case 'I': return 0x04;
            case 'D': return 0x08;
            case 'B': return 0x10;
            case 'V': return 0x40;
            case 'N': return 0x80;
            default: return 0;
        }
    }
    bool getFlag(char letter) const { return (P & flagBit(letter)) != 0; }
    void setFlag(char letter, bool value) {
        const uint8_t bit = flagBit(letter);
        P = uint8_t((P & ~bit) | (value ? bit : 0));
    }

    // --- stack and interrupt entry; the stack bypasses the bus ---
    void push(uint8_t value) {
        memory[0x0100 + SP] = value;
        --SP;
    }
    uint8_t pull() {
        ++SP;
        return memory[0x0100 + SP];
    }
    void enterInterrupt(uint16_t vector);

    // --- effective locations ---
    [[gnu::always_inline]] uint8_t readLocation(Location loc) {
        if (loc == kAccumulator) return A;
        return (loc & kInMemory) ? memory[uint16_t(loc)] : read(uint16_t(loc));
    }
    [[gnu::always_inline]] void writeLocation(Location loc, uint8_t value) {
        if (loc == kAccumulator) A = value;
        else write(uint16_t(loc), value);
    }

private:
    // --- bus side effects (bus.cpp) ---
    uint8_t readSlow(uint16_t address, bool notify);
    uint16_t readWordSlow(uint16_t address);
    uint8_t readIo(uint16_t folded);
    void writeIo(uint16_t folded, uint8_t value);
    void oamDma(uint8_t page);
    // --- joypad serial ports (bus.cpp) ---
    void strobeJoypads(uint8_t value);
    uint8_t readJoypad(int port);

    // --- tables (instruction_table.cpp) ---
    void buildInstructionTable();
    void loadCycleTables();

    // --- the step (core.cpp) ---
    void fusedStep();
    void stepThroughBus();
    // One opcode at pc, its mode and operation inlined, chosen at compile
    // time by the same decoding as the tables (decode.h). InMemory: the
    // opcode lies in memory at foldedPc, and its operand bytes after it.
    using Executor = void (*)(CPU&, uint16_t pc, uint16_t foldedPc);
    template <uint8_t Opcode, bool InMemory>
    static void execute(CPU& cpu, uint16_t pc, uint16_t foldedPc);
    template <bool InMemory, std::size_t... Opcodes>
    static constexpr std::array<Executor, 256> executors(std::index_sequence<Opcodes...>);
    // The debug path: through the tables, with the trace line.
    void executeFromTables(uint8_t opcode, uint16_t operand);
    bool sampleNmi();
    template <bool MayMarkLoop>
    void endStep(bool nmiCondition);
    void interrupt(bool nmi);
    void printTrace(uint8_t opcode, Location location);
    // cycle_exact.cpp: one access a cycle. A read of a register or of a board
    // that watches reads catches the other chips up to this cycle.
    friend struct CycleExact;
    void stepHardwareInline();
    [[gnu::always_inline]] uint8_t busRead(uint16_t address) {
        if (VELKORA_UNLIKELY(cycles >= dmaAt)) dmcDma(address);
        uint8_t value;
        // $2000-$5FFF: registers, and nothing a board of ours maps (open bus).
        if (VELKORA_LIKELY(!mapperWatchesReads && (address >= 0x6000 || address < 0x2000))) {
            value = memory[address & plainReadMasks[address >> 13]];
        } else {
            value = readHardwareSlow(address);
        }
        dataBus = value;
        cycles += 1;
        return value;
    }
    [[gnu::always_inline]] void busWrite(uint16_t address, uint8_t value) {
        dataBus = value;
        if (VELKORA_LIKELY(address < 0x2000 && !mapperWatchesRamWrites)) {
            memory[address & 0x07FF] = value;
            // A watching board still sees when the last write was (MMC1).
            if (mapperWatchesWrites) lastWriteCycle = cycles;
        } else {
            writeHardwareSlow(address, value);
        }
        cycles += 1;
    }
    uint8_t readHardwareSlow(uint16_t address);
    uint8_t readIoHardware(uint16_t folded);
    void writeHardwareSlow(uint16_t address, uint8_t value);
    void oamDmaHardware(uint8_t page);
    void dmcDma(uint16_t heldAddress);
    void interruptSequence(bool brk);
    bool interruptDue() const { return nmiDetectedAt <= pollCycle || (!pollMasked && irqSeenAt(pollCycle)); }
    // idle.cpp
    void skipIdleLoop();
    void skipIdleLoopHardware();
    void skipNopsHardware();
    // Whether an interrupt could enter between two passes of an idle loop.
    bool interruptMayEnter() const { return nmiDetectedAt != kNoNmi || (irqSources != 0 && !(P & 0x04)); }
    // readsStatus: where the caller may take a loop polling PPUSTATUS (the
    // design timing), set when the loop is one.
    int64_t idlePassCycles(uint16_t start, bool* readsStatus = nullptr) const;
    bool skipCountedLoop(uint16_t start);
    void skipNops();
};
