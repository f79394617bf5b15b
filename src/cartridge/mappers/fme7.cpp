// Sunsoft FME-7, 5A and 5B (mapper 69). $8000-$9FFF selects a command,
// $A000-$BFFF gives its parameter: 0-7 the CHR banks, 8 the $6000 window
// (ROM bank, or PRG RAM when bit 6 is set; bit 7 enables the RAM), 9-B the
// PRG banks at $8000-$DFFF, C the mirroring, D-F the IRQ counter: a 16-bit
// down-counter of CPU cycles that interrupts when it wraps from 0. The 5B's
// sound registers are at $C000 (select) and $E000 (write).
#include <cstring>

#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/fme7.h"

#include "cpu/cpu.h"
#include "ppu/ppu.h"
#include "serial/state_stream.h"

namespace NES {

void FME7::cpuWrite(BusContext& context, uint16_t address, uint8_t& value) {
    if (address < 0x8000) {
        // ROM or disabled RAM at $6000 keeps its bytes.
        const bool writable = ramAt6000() && (prgBank[0] & 0x80);
        if (address >= 0x6000 && !writable) value = context.cpu->memory[address];
        return;
    }
    switch (address & 0xE000) {
        case 0x8000: command = value & 0x0F; break;
        case 0xA000: writeParameter(context, value); break;
        case 0xC000: audioSelect = value; break;
        default:
            // A select with its top bits set writes nothing (as the AY-3-8910).
            if (audioSelect & 0xF0) break;
            audio.runTo(context.cpu->cycles);
            audio.write(audioSelect, value);
            break;
    }
}

void FME7::writeParameter(BusContext& context, uint8_t value) {
    if (command < 8) {
        chrBank[command] = value;
        mapChr(context, uint16_t(command * 0x400), value, 1);
        return;
    }
    switch (command) {
        case 8: {
            const bool wasRam = ramAt6000();
            prgBank[0] = value;
            uint8_t* window = &context.cpu->memory[0x6000];
            if (wasRam && !ramAt6000()) std::memcpy(prgRam, window, sizeof prgRam);
            if (!ramAt6000()) mapPrg(context, 0x6000, (value & 0x3F) * 8, 8);
            else if (!wasRam) std::memcpy(window, prgRam, sizeof prgRam);
            break;
        }
        case 9:
        case 10:
        case 11:
            prgBank[command - 8] = value & 0x3F;
            mapPrg(context, uint16_t(0x8000 + (command - 9) * 0x2000), (value & 0x3F) * 8, 8);
            break;
        case 12:
            mirroringBits = value & 3;
            selectMirroring(context, mirroringBits);
            break;
        default:
            countToNow(context);
            if (command == 13) {
                irq.control = value & 0x81;
                irq.line = 0;
                releaseIrq(context, context.cpu->cycles + 1);
            } else if (command == 14) {
                irq.counter = uint16_t((irq.counter & 0xFF00) | value);
            } else {
                irq.counter = uint16_t((irq.counter & 0x00FF) | (value << 8));
            }
            scheduleIrq(context);
            break;
    }
}

// --- the IRQ counter ---

int64_t Fme7Irq::count(int64_t ticks) {
    const int64_t wrap = int64_t(counter) + 1;  // the cycle it wraps from 0 on
    counter = uint16_t(counter - ticks);
    if (ticks < wrap || !(control & 1)) return 0;
    line = 1;
    return wrap;
}

void FME7::powerOn(BusContext& context) {
    // PRG RAM (with what a battery kept) shows at $6000 until the game asks
    // for ROM there.
    prgBank[0] = 0xC0;
    for (int k = 1; k < 4; ++k) {
        prgBank[k] = uint8_t(k - 1);
        mapPrg(context, uint16_t(0x6000 + k * 0x2000), (k - 1) * 8, 8);
    }
    mapPrg(context, 0xE000, (prgBanks(context, 8) - 1) * 8, 8);
    for (int w = 0; w < 8; ++w) {
        chrBank[w] = uint8_t(w);
        mapChr(context, uint16_t(w * 0x400), w, 1);
    }
    audio = Sunsoft5BSound();
    audio.clockedTo = context.cpu->cycles;
    afterLoad(context);
}

void FME7::serialize(StateStream& s) {
    s.io(command, 0, 15, "FME-7 command");
    s.io(chrBank);
    const uint8_t low = s.io(prgBank[0]);
    for (int k = 1; k < 4; ++k) s.io(prgBank[k], 0, 0x3F, "FME-7 PRG bank");
    s.io(mirroringBits, 0, 3, "FME-7 mirroring");
    countForSnapshot(s);
    const uint8_t control = s.io(irq.control);
    s.require((control & ~0x81) == 0, "the FME-7 IRQ control has bits no write sets");
    s.io(irq.counter);
    s.io(dotPhase, 0, 2, "FME-7 dot phase");
    s.io(irq.line, 0, 1, "FME-7 IRQ line");
    s.io(audioSelect);
    audio.serialize(s);
    // The RAM is in the CPU's memory while it shows; kept here otherwise.
    if (!s.onlyRegisters() && !(low & 0x40)) s.zeroRuns(prgRam, sizeof prgRam, "FME-7 PRG RAM");
}

std::unique_ptr<Mapper> makeFME7(const BoardChoice&) { return std::make_unique<FME7>(); }

}  // namespace NES
