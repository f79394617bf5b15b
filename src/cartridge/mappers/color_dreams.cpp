// Color Dreams (mapper 11): bits 0-1 the 32 KiB PRG bank, bits 4-7 the 8 KiB CHR bank.
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/mapper.h"

#include "serial/state_stream.h"

namespace NES {

// Color Dreams (11): 32 KiB PRG and 8 KiB CHR banks in one register.
class ColorDreams : public Mapper {
public:
    uint8_t bankRegister = 0;
    ColorDreams() {
        number = 11;
        watchesWrites = true;
        writesFrom = 0x8000;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
};

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

std::unique_ptr<Mapper> makeColorDreams(const BoardChoice&) { return std::make_unique<ColorDreams>(); }

}  // namespace NES
