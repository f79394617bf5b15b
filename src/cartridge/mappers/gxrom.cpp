// GxROM (mapper 66): bits 4-5 the 32 KiB PRG bank, bits 0-1 the 8 KiB CHR bank.
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/mapper.h"

#include "serial/state_stream.h"

namespace NES {

// GxROM (66): 32 KiB PRG (bits 4-5) and 8 KiB CHR (bits 0-1) banks.
class GxROM : public Mapper {
public:
    uint8_t bankRegister = 0;
    GxROM() {
        number = 66;
        watchesWrites = true;
        writesFrom = 0x8000;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
};

void GxROM::cpuWrite(BusContext& context, uint16_t address, uint8_t& value) {
    if (address < 0x8000) return;
    bankRegister = value;
    mapPrg(context, 0x8000, ((value >> 4) & 3) * 32, 32);
    mapChr(context, 0x0000, (value & 3) * 8, 8);
}

void GxROM::powerOn(BusContext& context) {
    mapPrg(context, 0x8000, 0, 32);
    mapChr(context, 0x0000, 0, 8);
}

void GxROM::serialize(StateStream& s) { s.io(bankRegister); }

std::unique_ptr<Mapper> makeGxROM(const BoardChoice&) { return std::make_unique<GxROM>(); }

}  // namespace NES
