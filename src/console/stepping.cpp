// The machine step: one instruction, then the APU and PPU catch up.
#include <cstdio>
#include <stdexcept>

#include "console/nes_unit.h"

void NESUnit::advance() {
    cpu->step();
    const int64_t cycles = cpu->cycles;
    while (2 * int64_t(apu->apuCycles) < cycles) apu->stepApu();
    while (ppu->totalDots < 3 * cycles) {
        const int64_t frame = ppu->frameCount;
        ppu->stepDot();
        if (ppu->frameCount != frame && perFrameCallback.call) perFrameCallback.call(perFrameCallback.context);
        if (ppu->debug) [[unlikely]] {
            std::printf("PPU REGISTERS: ");
            std::printf("VBLANK: %i, PPUCTRL: %02x, PPUMASK: %02x, PPUSTATUS: %02x, OAMADDR: N/A (so far), PPUADDR: %04x\n",
                        int(ppu->vblank), unsigned(cpu->memory[0x2000]), unsigned(cpu->memory[0x2001]),
                        unsigned(cpu->memory[0x2002]), unsigned(ppu->v));
            std::printf("scanline: %i, cycle: %i\n", ppu->scanline, ppu->cycle);
        }
    }
}

void NESUnit::runFrame() {
    // Two threads stepping one console would corrupt it.
    if (threadActive) throw std::runtime_error("runFrame: the console is running on its own thread; call stop() first");
    const int64_t frame = ppu->frameCount;
    do {
        advance();
    } while (ppu->frameCount == frame);
}
