// Catch-up: how far the CPU may run ahead of the PPU and APU, and what
// brings them level again. Every rule about it lives here; the PPU and APU
// only keep their own mechanics (owed dots; pending timer steps).
//
// The CPU's cycle count leads. The PPU's dot clock (totalDots, three per
// CPU cycle) and the APU's step clock (apuCycles, (cycles + 1) / 2) follow
// it, behind in two ways:
//
//  - The ahead window. After a catch-up the console works out how far the
//    CPU may go before either chip could show it anything new: the next
//    event (a dot that raises or clears vertical blank, the frame's last
//    dot, the dot before a board's hook; a sequencer clock, a DMC action,
//    and on the run thread, which hands audio blocks over before it sleeps,
//    a sample). A step that ends at or before CPU::aheadUntil and touches no
//    register ($2000-$401F) leaves both clocks alone. CPU::idleUntil is the
//    same window without the samples: an idle-loop skip may jump up to it,
//    and the next catch-up makes the samples.
//  - Owed dots and pending timer steps. A catch-up may count dots in
//    totalDots without drawing them (PPU::owedDots) as long as none is an
//    event, and the APU counts steps in apuCycles while it applies the
//    timer-only ones later. Each chip pays or applies these itself before
//    anything of its own could tell (its register handlers, mirroring and
//    CHR changes through the PPU); the entry points below cover the rest.
//
// Entry points, and what holds after each:
//   beforeRegisterAccess  the CPU reads or writes $2000-$401F. Both clocks
//                         stand where an eager catch-up after the previous
//                         step would have left them (at the step's start);
//                         dots may stay owed, the register pays what it
//                         needs. The step is marked, so afterStep runs.
//   beforePpuWrite        a write to $2000-$2007: the PPU owes its dots up
//                         to the step's start, the register pays what it
//                         needs; the APU stays, and the step is not marked.
//                         The window was worked out from the PPU's next
//                         event, which such a write moves only by moving a
//                         board's hook (A12's in the hardware timing, or a
//                         board that watches the write): afterPpuWrite marks
//                         the step then.
//   beforeBoardAccess     a write to a watching board's registers
//                         ($4020-$FFFF) or a board's read hook: as above,
//                         and no dot owed, since banks, mirroring and IRQ
//                         counters must change under finished dots only.
//   beforeOamDma          $4014: the same, as the owed dots read OAM.
//   ...Hardware           the same in the hardware timing, whose APU is
//                         brought to the CPU's cycle (its frame counter
//                         counts cycles); beforeWriteHardware does that
//                         ahead of a write the design's bus handles, and
//                         for $4000-$4017 runs the frame counter's event in
//                         the write's own cycle first (a read in that
//                         cycle comes before it).
//   dueAfterStep          after every CPU step, inline: false while the step
//                         ended in the window untouched (most steps).
//   afterStep             otherwise: the APU at the CPU's clock, the dots
//                         counted up to it, and paid when an event is among
//                         them. A completed frame calls the frame callback
//                         and leaves nothing owed (runFrame returns there)
//                         and no window; else the window reopens.
//   beforeResuming        runFrame starts: the caller may have changed what
//                         the window was worked out from, so it closes.
//   beforeStateAccess     anything outside the step loop reads, saves or
//                         replaces the machine (snapshots, save states, the
//                         run thread held or stopped): both clocks at the
//                         CPU's, nothing owed or pending, the window closed.
//                         Between steps the window never reaches an event,
//                         so no frame completes here.
//   atReset               power-on and reset: what was owed is paid, every
//                         clock starts again at 0, the window is closed.
//   afterRestore          a snapshot was loaded: the PPU and APU took their
//                         clocks from the restored cycle count with nothing
//                         owed or pending (their loaders), and the CPU
//                         forgets its window and the step in progress.
#pragma once

#include <cstdint>

#include "apu/apu.h"
#include "apu/apu_inline.h"
#include "cpu/cpu.h"
#include "ppu/ppu.h"

class NESUnit;

namespace catch_up {

inline void beforeRegisterAccess(CPU& cpu) {
    cpu.ioTouched = true;
    // A CPU may be tested on its own, without the other chips.
    if (cpu.apu) cpu.apu->runTo((cpu.stepStart + 1) / 2);
    if (cpu.ppu) cpu.ppu->oweDotsTo(3 * cpu.stepStart);
}

// Returns the hook cycle for afterPpuWrite.
inline int32_t beforePpuWrite(CPU& cpu) {
    cpu.ppu->oweDotsTo(3 * cpu.stepStart);
    return cpu.ppu->mapperDotCycle;
}

inline void afterPpuWrite(CPU& cpu, int32_t hook) {
    if (cpu.ppu->mapperDotCycle != hook) cpu.ioTouched = true;
}

inline void beforeBoardAccess(CPU& cpu) {
    beforeRegisterAccess(cpu);
    cpu.ppu->payOwedDots();
}

inline void beforeOamDma(CPU& cpu) { beforeBoardAccess(cpu); }

// The hardware timing's own entry points: its APU counts the frame
// sequencer in CPU cycles, so it is brought to the cycle (runToCycle).
inline void beforeRegisterAccessHardware(CPU& cpu) {
    cpu.ioTouched = true;
    if (cpu.apu) cpu.apu->runToCycle(cpu.stepStart);
    if (cpu.ppu) cpu.ppu->oweDotsTo(3 * cpu.stepStart);
}

inline void beforeBoardAccessHardware(CPU& cpu) {
    beforeRegisterAccessHardware(cpu);
    cpu.ppu->payOwedDots();
}

// A write the design's bus handles (a register, a board): the APU brought to
// its cycle first, so that the entry points the bus calls find it there; a
// write to $4000-$4017 also after the frame counter's event in its own cycle
// (which a read in that cycle does not see yet).
inline void beforeWriteHardware(CPU& cpu, uint16_t folded) {
    if (!cpu.apu) return;
    cpu.apu->runToCycle(cpu.stepStart);
    if (folded >= 0x4000 && folded < 0x4018) cpu.apu->beforeWriteInCycle(cpu.stepStart);
}

inline bool dueAfterStep(const CPU& cpu) { return cpu.cycles > cpu.aheadUntil || cpu.ioTouched; }

void afterStep(NESUnit& unit);
void afterStepHardware(NESUnit& unit);

inline void beforeResuming(CPU& cpu) { cpu.closeAheadWindow(); }

void beforeStateAccess(CPU& cpu);

void atReset(CPU& cpu);

void afterRestore(CPU& cpu);

}  // namespace catch_up
