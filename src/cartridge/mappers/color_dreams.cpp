// Color Dreams (mapper 11): bits 0-1 the 32 KiB PRG bank, bits 4-7 the 8 KiB CHR bank.
#include "cartridge/mappers/mapper.h"

#include "serial/state_stream.h"

namespace NES {

void ColorDreams::cpuWrite(BusContext& context, uint16_t address, uint8_t& value) {
    if (address < 0x8000) return;
    bankRegister = value;
    mapPrg(context, 0x8000, (value & 3) * 32, 32);
    mapChr(context, 0x0000, (value >> 4) * 8, 8);
}

void ColorDreams::powerOn(BusContext& context) {
    mapPrg(context, 0x8000, 0, 32);
    mapChr(context, 0x0000, 0, 8);
}

void ColorDreams::serialize(StateStream& s) { s.io(bankRegister); }

}  // namespace NES
