// Konami VRC3 (mapper 73): a 16 KiB PRG bank at $8000 ($F000), the last
// fixed at $C000, CHR RAM, and an IRQ counter of CPU cycles: $8000-$B000
// give the reload value a nibble at a time, $C000 the control (writing it
// with bit 1 reloads the counter), $D000 acknowledges. The counter counts
// up and interrupts on overflow, all 16 bits or (bit 2) the low 8 only.
#include "cartridge/mappers/mapper.h"

#include "ppu/ppu.h"
#include "state/state_stream.h"

namespace NES {

void VRC3::cpuWrite(BusContext& context, uint16_t address, uint8_t& value) {
    if (address < 0x8000) return;
    const int nibble = (address >> 12) - 8;
    switch (address & 0xF000) {
        case 0x8000:
        case 0x9000:
        case 0xA000:
        case 0xB000: reload = uint16_t((reload & ~(0xF << (4 * nibble))) | ((value & 0xF) << (4 * nibble))); break;
        case 0xC000:
            control = value & 7;
            if (control & 2) counter = reload;
            releaseIrq(context, context.cpu->cycles + 1);
            break;
        case 0xD000:
            control = uint8_t((control & ~2) | ((control & 1) << 1));
            releaseIrq(context, context.cpu->cycles + 1);
            break;
        case 0xF000:
            prgBank = value & 7;
            mapPrg(context, 0x8000, prgBank * 16, 16);
            break;
        default: break;
    }
}

void VRC3::onDot(BusContext& context) {
    if (!(control & 2) || ++dotPhase < 3) return;
    dotPhase = 0;
    const bool eightBit = control & 4;
    const bool overflow = eightBit ? (counter & 0xFF) == 0xFF : counter == 0xFFFF;
    if (!overflow) {
        counter = eightBit ? uint16_t((counter & 0xFF00) | ((counter + 1) & 0xFF)) : uint16_t(counter + 1);
        return;
    }
    counter = eightBit ? uint16_t((counter & 0xFF00) | (reload & 0xFF)) : reload;
    raiseIrq(context, hardware ? cycleSeeing(context.ppu->dotAtPosition() - 1) : 0);
}

void VRC3::powerOn(BusContext& context) {
    mapPrg(context, 0x8000, 0, 16);
    mapLastPrg16(context, 0xC000);
}

void VRC3::serialize(StateStream& s) {
    s.io(prgBank, 0, 7, "VRC3 PRG bank");
    s.io(reload);
    s.io(counter);
    s.io(control, 0, 7, "VRC3 IRQ control");
    s.io(dotPhase, 0, 2, "VRC3 dot phase");
}

}  // namespace NES
