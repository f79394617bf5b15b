// Mapper 180: the first 16 KiB fixed at $8000, a switchable 16 KiB bank at $C000.
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/mapper.h"

#include "serial/state_stream.h"

namespace NES {

// 180: the first 16 KiB fixed at $8000, a switchable 16 KiB bank at $C000.
class UNROM180 : public Mapper {
public:
    uint8_t prgBank = 0;
    UNROM180() {
        number = 180;
        watchesWrites = true;
        writesFrom = 0x8000;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
};

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

std::unique_ptr<Mapper> makeUNROM180(const BoardChoice&) { return std::make_unique<UNROM180>(); }

}  // namespace NES
