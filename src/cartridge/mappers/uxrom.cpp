// UxROM (mapper 2): a switchable 16 KiB bank at $8000, the last 16 KiB at $C000.
#include "cartridge/mappers/uxrom.h"
#include "cartridge/mappers/boards.h"

#include "serial/state_stream.h"

namespace NES {

void UxROM::mapBanks(BusContext& context) {
    mapPrg(context, 0x8000, prgBank, 16);
    mapLastPrg16(context, 0xC000);
}

void UxROM::cpuWrite(BusContext& context, uint16_t address, uint8_t& value) {
    if (address < 0x8000) return;
    prgBank = (value & 0x0F) * 16;
    mapBanks(context);
}

void UxROM::powerOn(BusContext& context) { mapBanks(context); }

void UxROM::storeState(BusContext&, uint8_t* block) { put32(block, prgBank); }

void UxROM::restoreState(BusContext& context, const uint8_t* block) {
    prgBank = get32(block);
    // A foreign file may hold any number; the copy wraps it like a bank
    // register would, and never adds past the 32-bit range.
    const int32_t banks = prgBanks(context, 1);
    mapPrg(context, 0x8000, ((prgBank % banks) + banks) % banks, 16);
    mapLastPrg16(context, 0xC000);
}

// Any number: a state file may have set it, and the copies wrap it.
void UxROM::serialize(StateStream& s) { s.io(prgBank); }

std::unique_ptr<Mapper> makeUxROM(const BoardChoice&) { return std::make_unique<UxROM>(); }

}  // namespace NES
