// CNROM (mapper 3): fixed PRG and a switchable 8 KiB CHR bank.
#include "cartridge/mappers/cnrom.h"
#include "cartridge/mappers/boards.h"

#include "serial/state_stream.h"

namespace NES {

void CNROM::cpuWrite(BusContext& context, uint16_t address, uint8_t& value) {
    if (address < 0x8000) return;
    // The whole byte selects, modulo the 8 KiB banks there are.
    chrBank = (value % chrBanks(context, 8)) * 8;
    mapChr(context, 0x0000, chrBank, 8);
}

void CNROM::powerOn(BusContext& context) { mapPrg(context, 0x8000, 0, prgBanks(context, 1)); }

void CNROM::storeState(BusContext&, uint8_t* block) { put32(block, chrBank); }

void CNROM::restoreState(BusContext& context, const uint8_t* block) {
    // A foreign file may hold any number: kept inside the CHR ROM, as a
    // bank write would leave it.
    const int32_t banks = chrBanks(context, 1);
    chrBank = ((get32(block) % banks) + banks) % banks;
    mapChr(context, 0x0000, chrBank, 8);
}

void CNROM::serialize(StateStream& s) { s.io(chrBank, 0, 1 << 24, "CNROM CHR bank"); }

std::unique_ptr<Mapper> makeCNROM(const BoardChoice&) { return std::make_unique<CNROM>(); }

}  // namespace NES
