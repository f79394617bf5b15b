// AxROM (mapper 7): a 32 KiB PRG bank and the one-screen page in one register.
#include "cartridge/mappers/mapper.h"

#include "serial/state_stream.h"

namespace NES {

void AxROM::cpuWrite(BusContext& context, uint16_t address, uint8_t& value) {
    if (address < 0x8000) return;
    bankRegister = value;
    mapPrg(context, 0x8000, (value & 7) * 32, 32);
    setMirroring(context, SingleScreen, (value >> 4) & 1);
}

void AxROM::powerOn(BusContext& context) {
    mapPrg(context, 0x8000, 0, 32);
    setMirroring(context, SingleScreen, 0);
}

void AxROM::serialize(StateStream& s) { s.io(bankRegister); }

}  // namespace NES
