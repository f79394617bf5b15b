// The CPU in a snapshot: registers, latches, the cycle count, and the parts
// of the address space the CPU itself keeps. The ROM windows at $8000-$FFFF
// follow from the board's banks (the cartridge's part of the snapshot).
#include <algorithm>

#include "cpu/cpu.h"
#include "serial/state_stream.h"

// Far beyond any run (over two years of emulated time), and small enough
// that the dot and sample arithmetic on the count cannot overflow.
static constexpr int64_t kMaxCycles = int64_t(1) << 47;

// The mirrors the bus folds away: of RAM, and of the PPU registers.
static constexpr uint16_t kRamMirrors = 0x0800, kRamMirrorsEnd = 0x2000;
static constexpr uint16_t kRegisterMirrors = 0x2008, kRegisterMirrorsEnd = 0x4000;

bool CPU::mirrorsInUse() const {
    const auto used = [this](uint16_t from, uint16_t to) {
        return std::any_of(memory.begin() + from, memory.begin() + to, [](uint8_t b) { return b != 0; });
    };
    return used(kRamMirrors, kRamMirrorsEnd) || used(kRegisterMirrors, kRegisterMirrorsEnd);
}

void CPU::serialize(StateStream& stream) {
    // Each mode gets its own copy of the fields (StateStream::withMode).
    stream.withMode([&](auto& s) __attribute__((always_inline)) {
        s.tag("CPU ");
        // --- registers ---
        s.io(A);
        s.io(X);
        s.io(Y);
        s.io(P);
        s.io(SP);
        s.io(PC);
        s.io(joypadShift);
        s.io(joypadStrobe);
        // --- timing and interrupts ---
        s.cycles = s.io(cycles, 0, kMaxCycles, "CPU cycle count");
        s.io(nmiSample);
        s.io(nmiLine);
        s.io(irqPending);
        s.io(halted);
        if (s.hardware) {
            s.tag("CPUH");
            s.io(dataBus);
            s.io(irqSources, 0, kIrqFrame | kIrqDmc | kIrqBoard, "IRQ sources");
            s.io(irqActiveFrom);
            s.io(irqInactiveFrom);
            s.io(nmiDetectedAt);
            s.io(nmiRoseAtDot);
            s.io(pollCycle);
            s.io(pollMasked);
            s.io(dmaAt);
            s.io(lastWriteCycle);
        } else if (s.loading()) {
            clearHardwareState();
        }

        // --- address space ---
        if (s.version() == 1) {
            s.io(memory);  // all of it, the windows included
        } else {
            s.bytes(&memory[0], 0x0800, "RAM");
            s.bytes(&memory[0x2000], 8, "PPU register bytes");
            // APU and joypad registers, then whatever the board keeps below $8000.
            s.zeroRuns(&memory[0x4000], 0x4000, "$4000-$7FFF");
            // Stored only when something is there, so equal machines give equal bytes.
            bool stray = s.writing() && (strayBytes || memoryShared) && mirrorsInUse();
            stray = s.io(stray, "CPU mirror bytes stored");
            if (stray) {
                s.zeroRuns(&memory[kRamMirrors], kRamMirrorsEnd - kRamMirrors, "RAM mirror bytes");
                s.zeroRuns(&memory[kRegisterMirrors], kRegisterMirrorsEnd - kRegisterMirrors, "register mirror bytes");
            } else if (s.loading() && (strayBytes || memoryShared)) {
                std::fill(memory.begin() + kRamMirrors, memory.begin() + kRamMirrorsEnd, 0);
                std::fill(memory.begin() + kRegisterMirrors, memory.begin() + kRegisterMirrorsEnd, 0);
            }
            if (s.loading()) strayBytes = stray;
        }
        if (s.loading()) {
            pageCrossed = false;
            instructionLength = 1;
        }
    });
}
