// The catch-up entry points that do more than a few stores (catch_up.h).
#include "console/catch_up.h"

#include <algorithm>
#include <cstdio>

#include "console/nes_unit.h"

namespace catch_up {

namespace {

// The window after a catch-up: up to the first event of either chip.
template <bool Hardware>
void openAheadWindow(NESUnit& unit) {
    CPU& cpu = *unit.cpu;
    const int64_t dotLimit = unit.ppu->aheadDotLimit();
    if constexpr (Hardware) {
        // The APU's events are then the frame counter's, in CPU cycles; the
        // DMC's fetches stop the CPU by themselves (CPU::dmaAt).
        const int64_t apuLimit = unit.apu->aheadCycleLimit(unit.threadActive);
        if (dotLimit < 0 || apuLimit < 0) {
            cpu.closeAheadWindow();
            return;
        }
        cpu.aheadUntil = cpu.idleUntil = std::min(apuLimit, dotLimit / 3);
    } else {
        const int64_t apuIdle = unit.apu->idleStepLimit();
        if (dotLimit < 0 || apuIdle < 0) {
            cpu.closeAheadWindow();
            return;
        }
        // Samples need not end the window: the catch-up after it makes them. The
        // run thread keeps them in, so that it hands blocks over before a sleep.
        const int64_t apuAhead = unit.threadActive ? unit.apu->aheadStepLimit() : apuIdle;
        // (cycles + 1) / 2 <= the APU's limit and 3 x cycles <= dotLimit.
        const int64_t cpuLimit = dotLimit / 3;
        cpu.aheadUntil = std::min(2 * std::min<int64_t>(apuAhead, INT64_MAX / 4), cpuLimit);
        cpu.idleUntil = std::min(2 * std::min<int64_t>(apuIdle, INT64_MAX / 4), cpuLimit);
    }
}

// Without owed dots: the PPU runs to the CPU's clock at once. runTo stops
// right after a frame-completing dot, so the callback runs there; the
// register dump needs every dot, so it steps them one by one.
void afterStepEagerly(NESUnit& unit, bool perDot) {
    CPU& cpu = *unit.cpu;
    PPU& ppu = *unit.ppu;
    const NESUnit::Callback& onFrame = unit.perFrameCallback;
    while (ppu.totalDots < 3 * cpu.cycles) {
        const int64_t frame = ppu.frameCount;
        if (perDot) [[unlikely]]
            ppu.stepDot();
        else ppu.runTo(3 * cpu.cycles);
        if (ppu.frameCount != frame && onFrame.call) onFrame.call(onFrame.context);
        if (perDot) [[unlikely]] {
            std::printf("PPU REGISTERS: ");
            std::printf(
                "VBLANK: %i, PPUCTRL: %02x, PPUMASK: %02x, PPUSTATUS: %02x, OAMADDR: N/A (so far), PPUADDR: %04x\n",
                int(ppu.vblank), unsigned(cpu.memory[0x2000]), unsigned(cpu.memory[0x2001]),
                unsigned(cpu.memory[0x2002]), unsigned(ppu.v));
            std::printf("scanline: %i, cycle: %i\n", ppu.scanline, ppu.cycle);
        }
    }
}

template <bool Hardware>
void afterStepIn(NESUnit& unit) {
    CPU& cpu = *unit.cpu;
    PPU& ppu = *unit.ppu;
    const int64_t cycles = cpu.cycles;
    cpu.ioTouched = false;
    cpu.closeAheadWindow();
    // The same steps as stepApu while 2 x apuCycles < cycles, run in bulk.
    if constexpr (Hardware) unit.apu->runToCycle(cycles);
    else unit.apu->runTo((cycles + 1) / 2);
    const bool perDot = ppu.debug;
    if (!ppu.mayOweDots || perDot) return afterStepEagerly(unit, perDot);
    // The dots are owed until the next event among them. Paying stops right
    // after a frame-completing dot, so the callback runs there.
    ppu.oweDotsTo(3 * cycles);
    bool frameDone = false;
    while (ppu.owedDotsReachEvent()) {
        const int64_t frame = ppu.frameCount;
        ppu.payOwedDotsToFrameEnd();
        if (ppu.frameCount != frame) {
            frameDone = true;
            // A callback that raises leaves the rest to the next catch-up.
            const NESUnit::Callback& onFrame = unit.perFrameCallback;
            if (onFrame.call) {
                try {
                    onFrame.call(onFrame.context);
                } catch (...) {
                    ppu.uncountOwedDots();
                    throw;
                }
            }
        }
    }
    // runFrame returns after this step: leave nothing owed for the caller
    // to see. A callback may have changed anything: no window then.
    if (frameDone) {
        ppu.payOwedDots();
        return;
    }
    openAheadWindow<Hardware>(unit);
}

}  // namespace

void afterStep(NESUnit& unit) { afterStepIn<false>(unit); }

void afterStepHardware(NESUnit& unit) { afterStepIn<true>(unit); }

void beforeStateAccess(CPU& cpu) {
    const int64_t cycles = cpu.cycles;
    if (cpu.hardware) cpu.apu->runToCycle(cycles);
    else cpu.apu->runTo((cycles + 1) / 2);
    cpu.apu->bringOutputsUpToDate();
    cpu.ppu->oweDotsTo(3 * cycles);
    cpu.ppu->payOwedDots();
    cpu.closeAheadWindow();
}

void atReset(CPU& cpu) {
    cpu.ppu->payOwedDots();
    cpu.closeAheadWindow();
    cpu.cycles = 0;
    cpu.ppu->totalDots = 0;
    cpu.apu->resetClock();
}

void afterRestore(CPU& cpu) {
    cpu.closeAheadWindow();
    cpu.ioTouched = false;
    cpu.stepStart = cpu.cycles;
}

}  // namespace catch_up
