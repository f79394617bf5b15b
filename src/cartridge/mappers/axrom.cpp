// AxROM (mapper 7): a 32 KiB PRG bank and the one-screen page in one register.
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/mapper.h"

#include "serial/state_stream.h"

namespace NES {

// AxROM (7): 32 KiB PRG banks and the one-screen page.
class AxROM : public Mapper {
public:
    uint8_t bankRegister = 0;
    AxROM() {
        number = 7;
        watchesWrites = true;
        writesFrom = 0x8000;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
};

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

std::unique_ptr<Mapper> makeAxROM(const BoardChoice&) { return std::make_unique<AxROM>(); }

}  // namespace NES
