// NTDEC2722 (mapper 40): fixed 8 KiB windows, one switchable bank at $C000
// and an interval timer counted in PPU dots.
#include "cartridge/mappers/mapper.h"

#include "state/state_stream.h"

namespace NES {

static constexpr uint16_t kTimerDots = 0x3000;  // 4096 CPU cycles

void NTDEC2722::cpuWrite(BusContext& context, uint16_t address, uint8_t& value) {
    switch (address & 0xE000) {
        case 0x8000:
            // Stopping leaves an interrupt already requested in place.
            irqEnable = 0;
            irqCounter = kTimerDots;
            break;
        case 0xA000: irqEnable = 1; break;
        case 0xE000: mapPrg(context, 0xC000, value * 8, 8); break;
        default: break;
    }
}

void NTDEC2722::onDot(BusContext& context) {
    if (!irqEnable) return;
    if (--irqCounter == 0) {
        raiseIrq(context);
        irqCounter = kTimerDots;
    }
}

void NTDEC2722::powerOn(BusContext& context) {
    mapPrg(context, 0x6000, 48, 8);
    mapPrg(context, 0x8000, 32, 8);
    mapPrg(context, 0xA000, 40, 8);
    mapPrg(context, 0xE000, 56, 8);
}

void NTDEC2722::serialize(StateStream& s) {
    s.io(irqCounter);
    s.io(irqEnable, 0, 1, "NTDEC2722 IRQ enable");
}

}  // namespace NES
