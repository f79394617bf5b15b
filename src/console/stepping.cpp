// The machine step: one instruction, then the APU and PPU catch up.
#include <cstdio>
#include <stdexcept>

#include "console/nes_unit.h"

#include <algorithm>

void NESUnit::catchUpAfterStep() {
    const int64_t cycles = cpu->cycles;
    cpu->ioTouched = false;
    cpu->endQuiet();
    // The same steps as stepApu while 2 x apuCycles < cycles, run in bulk.
    apu->catchUp((cycles + 1) / 2);
    // runTo stops right after a frame-completing dot, so the callback runs
    // there; the register dump needs every dot, so it steps them one by one.
    const bool perDot = ppu->debug;
    if (ppu->lazyCatchUp && !perDot) {
        // The dots are owed until something could tell (see PPU::owe).
        ppu->owe(3 * cpu->cycles);
        bool frameDone = false;
        while (ppu->mustPay()) {
            const int64_t frame = ppu->frameCount;
            ppu->payOwed();
            if (ppu->frameCount != frame) {
                frameDone = true;
                // A callback that raises leaves the rest to the next catch-up.
                if (perFrameCallback.call) {
                    try {
                        perFrameCallback.call(perFrameCallback.context);
                    } catch (...) {
                        ppu->forgive();
                        throw;
                    }
                }
            }
        }
        // runFrame returns after this step: leave nothing owed for the caller
        // to see. A callback may have changed anything: no quiet window then.
        if (frameDone) {
            ppu->sync();
            return;
        }
        openQuietWindow();
        return;
    }
    while (ppu->totalDots < 3 * cpu->cycles) {
        const int64_t frame = ppu->frameCount;
        if (perDot) [[unlikely]] ppu->stepDot();
        else ppu->runTo(3 * cpu->cycles);
        if (ppu->frameCount != frame && perFrameCallback.call) perFrameCallback.call(perFrameCallback.context);
        if (perDot) [[unlikely]] {
            std::printf("PPU REGISTERS: ");
            std::printf("VBLANK: %i, PPUCTRL: %02x, PPUMASK: %02x, PPUSTATUS: %02x, OAMADDR: N/A (so far), PPUADDR: %04x\n",
                        int(ppu->vblank), unsigned(cpu->memory[0x2000]), unsigned(cpu->memory[0x2001]),
                        unsigned(cpu->memory[0x2002]), unsigned(ppu->v));
            std::printf("scanline: %i, cycle: %i\n", ppu->scanline, ppu->cycle);
        }
    }
}

void NESUnit::catchUpAll() {
    const int64_t cycles = cpu->cycles;
    apu->catchUp((cycles + 1) / 2);
    ppu->owe(3 * cycles);
    ppu->sync();
    cpu->endQuiet();
}

void NESUnit::openQuietWindow() {
    const int64_t dotLimit = ppu->quietDotLimit();
    const int64_t apuIdle = apu->idleLimit();
    if (dotLimit < 0 || apuIdle < 0) {
        cpu->endQuiet();
        return;
    }
    // Samples need not end the window: the catch-up after it makes them. The
    // run thread keeps them in, so that it hands blocks over before a sleep.
    const int64_t apuQuiet = threadActive ? apu->quietLimit() : apuIdle;
    // (cycles + 1) / 2 <= the APU's limit and 3 x cycles <= dotLimit.
    const int64_t cpuLimit = dotLimit / 3;
    cpu->quietUntil = std::min(2 * std::min<int64_t>(apuQuiet, INT64_MAX / 4), cpuLimit);
    cpu->idleUntil = std::min(2 * std::min<int64_t>(apuIdle, INT64_MAX / 4), cpuLimit);
}

void NESUnit::runFrame() {
    // Two threads stepping one console would corrupt it.
    if (threadActive) throw std::runtime_error("runFrame: the console is running on its own thread; call stop() first");
    // Marks the caller's stepping, so a callback cannot start a second stepper.
    struct Stepping {
        explicit Stepping(std::atomic<int>& depth) : depth(depth) { ++depth; }
        ~Stepping() { --depth; }
        std::atomic<int>& depth;
    } stepping(steppingOnCaller);
    // The caller may have changed memory since the last step.
    cpu->endQuiet();
    const int64_t frame = ppu->frameCount;
    do {
        // Inside the quiet window no frame can end: step without looking.
        do {
            cpu->step();
        } while (cpu->cycles <= cpu->quietUntil && !cpu->ioTouched);
        catchUpAfterStep();
    } while (ppu->frameCount == frame);
}
