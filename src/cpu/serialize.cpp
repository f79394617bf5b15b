// The CPU in a snapshot.
#include "cpu/cpu.h"
#include "state/state_stream.h"

// Far beyond any run (over two years of emulated time), and small enough
// that the dot and sample arithmetic on the count cannot overflow.
static constexpr int64_t kMaxCycles = int64_t(1) << 47;

void CPU::serialize(StateStream& s) {
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
    s.io(cycles, 0, kMaxCycles, "CPU cycle count");
    s.io(nmiSample);
    s.io(nmiLine);
    s.io(irqPending);
    s.io(halted);
    // --- address space: RAM, PRG RAM, the mapped banks and register bytes ---
    s.io(memory);
    if (s.loading()) {
        // The quiet window was measured on the replaced machine.
        endQuiet();
        ioTouched = false;
        stepStart = cycles;
        pageCrossed = false;
        instructionLength = 1;
    }
}
