// Konami VRC6 (mappers 24 and 26): a 16 KiB PRG bank at $8000, an 8 KiB
// bank at $C000, the last 8 KiB fixed at $E000, eight CHR registers that
// $B003 arranges, the VRC IRQ and three sound channels (vrc6_sound.cpp).
// Mapper 26 (Madara, Esper Dream 2) swaps the register lines A0 and A1.
#include "cartridge/mappers/mapper.h"

#include "ppu/ppu.h"
#include "state/state_stream.h"

namespace NES {

void VRC6::cpuWrite(BusContext& context, uint16_t address, uint8_t& value) {
    if (address < 0x8000) return;
    int reg = address & 3;
    if (swapLines) reg = ((reg & 1) << 1) | (reg >> 1);
    switch (address & 0xF000) {
        case 0x8000:
            prg16 = value & 0x0F;
            mapPrg(context, 0x8000, prg16 * 16, 16);
            break;
        case 0x9000:
        case 0xA000:
        case 0xB000:
            if ((address & 0xF000) == 0xB000 && reg == 3) {
                banking = value;
                mapChrBanks(context);
                applyMirroring(context);
                break;
            }
            audio.runTo(context.cpu->cycles);
            audio.write(((address >> 12) & 0xF) - 9, reg, value);
            break;
        case 0xC000:
            prg8 = value & 0x1F;
            mapPrg(context, 0xC000, prg8 * 8, 8);
            break;
        case 0xD000:
        case 0xE000:
            chrBank[((address >> 12) - 0xD) * 4 + reg] = value;
            mapChrBanks(context);
            break;
        default:  // $F000: IRQ latch, control, acknowledge
            if (reg == 3) break;
            countIrq(context, settledDot(context));
            if (reg == 0) {
                irq.latch = value;
            } else {
                if (reg == 1) irq.writeControl(value);
                else irq.acknowledge();
                irq.line = 0;
                releaseIrq(context, context.cpu->cycles + 1);
            }
            scheduleIrq(context);
            break;
    }
}

void VRC6::mapChrBanks(BusContext& context) {
    // Mode 0: eight 1 KiB banks; mode 1: four 2 KiB banks (R0-R3); modes 2
    // and 3: R0-R3 as 1 KiB banks, then R4 and R5 as 2 KiB banks. In 2 KiB
    // banks PPU A10 stands in for the register's bit 0.
    switch (banking & 3) {
        case 0:
            for (int w = 0; w < 8; ++w) mapChr(context, uint16_t(w * 0x400), chrBank[w], 1);
            break;
        case 1:
            for (int w = 0; w < 4; ++w) mapChr(context, uint16_t(w * 0x800), chrBank[w] & 0xFE, 2);
            break;
        default:
            for (int w = 0; w < 4; ++w) mapChr(context, uint16_t(w * 0x400), chrBank[w], 1);
            mapChr(context, 0x1000, chrBank[4] & 0xFE, 2);
            mapChr(context, 0x1800, chrBank[5] & 0xFE, 2);
            break;
    }
}

void VRC6::applyMirroring(BusContext& context) {
    switch ((banking >> 2) & 3) {
        case 0: setMirroring(context, Vertical); break;
        case 1: setMirroring(context, Horizontal); break;
        default: setMirroring(context, SingleScreen, (banking >> 2) & 1); break;
    }
}

void VRC6::powerOn(BusContext& context) {
    afterLoad(context);
    mapPrg(context, 0x8000, 0, 16);
    mapPrg(context, 0xC000, 0, 8);
    mapPrg(context, 0xE000, (prgBanks(context, 8) - 1) * 8, 8);
    mapChrBanks(context);
    audio = Vrc6Sound();
    audio.clockedTo = context.cpu->cycles;
}

void VRC6::serialize(StateStream& s) {
    s.io(prg16, 0, 0x0F, "VRC6 16 KiB PRG bank");
    s.io(prg8, 0, 0x1F, "VRC6 8 KiB PRG bank");
    s.io(chrBank);
    s.io(banking);
    serializeIrq(s);
    audio.serialize(s);
}

}  // namespace NES
