// MMC3 (mapper 4): 8 KiB PRG and 1/2 KiB CHR banks, mirroring, PRG RAM
// protection and the scanline interrupt counter.
//
// The counter is the later chip's (MMC3B/MMC3C, as in Super Mario Bros. 3):
// a clock reloads a counter at 0 (or after $C001) and decrements any other,
// and a counter at 0 afterwards raises the interrupt, so a latch of 0 raises
// it on every clock. The earlier MMC3A (Crystalis) raises it only when the
// counter reaches 0 by decrementing or by a reload after $C001.
#include "cartridge/mappers/mmc3.h"
#include "cartridge/mappers/boards.h"

#include "cpu/cpu.h"
#include "ppu/ppu.h"
#include "serial/state_stream.h"

namespace NES {

// Layout bit clear / set: the pattern-table window each CHR register fills.
static constexpr uint16_t kChrWindow[6][2] = {
    {0x0000, 0x1000}, {0x0800, 0x1800}, {0x1000, 0x0000}, {0x1400, 0x0400}, {0x1800, 0x0800}, {0x1C00, 0x0C00},
};

void MMC3::cpuWrite(BusContext& context, uint16_t address, uint8_t& value) {
    const bool odd = address & 1;
    switch (address & 0xE000) {
        case 0x8000:
            if (!odd) {
                bankSelect = value;
                const uint8_t changed = value ^ lastBankSelect;
                // A layout change swaps what is mapped instead of recopying it.
                if (changed & 0x40) swapPrg(context, 0x8000, 0xC000, 8);
                if (changed & 0x80) swapChr(context, 0x0000, 0x1000, 4);
                lastBankSelect = value;
            } else {
                const int r = bankSelect & 7;
                if (r <= 1) {
                    mapChr(context, kChrWindow[r][lastBankSelect >> 7], value & 0xFE, 2);
                } else if (r <= 5) {
                    mapChr(context, kChrWindow[r][lastBankSelect >> 7], value, 1);
                } else if (r == 6) {
                    mapPrg(context, (lastBankSelect & 0x40) ? 0xC000 : 0x8000, (value & 0x3F) * 8, 8);
                } else {
                    mapPrg(context, 0xA000, (value & 0x3F) * 8, 8);
                }
            }
            break;
        case 0xA000:
            if (!odd) {
                setMirroring(context, (value & 1) ? Horizontal : Vertical);
            } else {
                prgRamEnable = (value >> 7) & 1;
                prgRamWriteProtect = (value >> 6) & 1;
            }
            break;
        case 0xC000:
            if (!odd) irqLatch = value;
            else irqCounter = -1;
            break;
        case 0xE000:
            irqEnable = odd;
            // $E000 also acknowledges: the line falls after this cycle.
            if (!odd) releaseIrq(context, context.cpu->cycles + 1);
            break;
        default: break;
    }
    // Protected PRG RAM: hand the bus the byte already there to store.
    if (prgRamWriteProtect == 1 && address >= 0x6000 && address < 0x8000) value = context.cpu->memory[address];
}

void MMC3::onDot(BusContext& context) {
    // In the hardware timing A12 clocks the counter: the PPU knows where it rises.
    if (hardware) return context.ppu->addressLineHook();
    const PPU& ppu = *context.ppu;
    if (ppu.cycle != 256) return;
    if (ppu.vblank || !(context.cpu->memory[0x2001] & 0x18)) return;
    clockCounter(context, 0);
}

void MMC3::onA12Rise(BusContext& context, int64_t dot) { clockCounter(context, cycleSeeing(dot)); }

void MMC3::clockCounter(BusContext& context, int64_t atCycle) {
    // Reload on the clock after reaching 0 (as the board does), not on the same
    // clock: a latch written in the IRQ handler then sets the next split's line.
    if (irqCounter <= 0) {
        irqCounter = irqLatch;
    } else {
        --irqCounter;
    }
    if (irqCounter == 0 && irqEnable == 1) raiseIrq(context, atCycle);
}

void MMC3::powerOn(BusContext& context) {
    // $E000 is fixed to the last bank; $8000-$BFFF wait for the game.
    mapLastPrg16(context, 0xC000);
}

void MMC3::storeState(BusContext&, uint8_t* block) {
    block[0] = bankSelect;
    block[1] = lastBankSelect;
    block[2] = prgRamWriteProtect;
    block[3] = prgRamEnable;
    block[4] = irqEnable;
    block[5] = uint8_t(reserved0);
    block[6] = uint8_t(reserved0 >> 8);
    put32(block + 7, irqCounter);
    block[11] = irqLatch;
    block[12] = reserved1[0];
    block[13] = reserved1[1];
}

void MMC3::restoreState(BusContext&, const uint8_t* block) {
    // The banked bytes come back with the memory images; nothing is copied.
    bankSelect = block[0];
    lastBankSelect = block[1];
    prgRamWriteProtect = block[2];
    prgRamEnable = block[3];
    irqEnable = block[4];
    reserved0 = uint16_t(block[5] | (block[6] << 8));
    irqCounter = get32(block + 7);
    irqLatch = block[11];
    reserved1[0] = block[12];
    reserved1[1] = block[13];
}

void MMC3::serialize(StateStream& s) {
    s.io(bankSelect);
    s.io(lastBankSelect);
    s.io(prgRamWriteProtect, 0, 1, "MMC3 PRG RAM protect");
    s.io(prgRamEnable, 0, 1, "MMC3 PRG RAM enable");
    s.io(irqEnable, 0, 1, "MMC3 IRQ enable");
    s.io(reserved0);
    s.io(irqCounter);
    s.io(irqLatch);
    s.io(reserved1);
}

std::unique_ptr<Mapper> makeMMC3(const BoardChoice&) { return std::make_unique<MMC3>(); }

}  // namespace NES
