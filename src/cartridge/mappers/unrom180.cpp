// Mapper 180: the first 16 KiB fixed at $8000, a switchable 16 KiB bank at $C000.
#include "cartridge/mappers/mapper.h"

#include "serial/state_stream.h"

namespace NES {

void UNROM180::cpuWrite(BusContext& context, uint16_t address, uint8_t& value) {
    if (address < 0x8000) return;
    prgBank = value;
    mapPrg(context, 0xC000, (value & 0x0F) * 16, 16);
}

void UNROM180::powerOn(BusContext& context) {
    mapPrg(context, 0x8000, 0, 16);
    mapPrg(context, 0xC000, 0, 16);
}

void UNROM180::serialize(StateStream& s) { s.io(prgBank); }

}  // namespace NES
