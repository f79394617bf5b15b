// NINA-003/006 (mapper 79): a register at $4100-$5FFF (address bit 8 set):
// bit 3 the 32 KiB PRG bank, bits 0-2 the 8 KiB CHR bank.
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/mapper.h"

#include "serial/state_stream.h"

namespace NES {

// NINA-003/006 (79): a register at $4100-$5FFF with address bit 8 set.
class NINA03 : public Mapper {
public:
    uint8_t bankRegister = 0;
    NINA03() {
        number = 79;
        watchesWrites = true;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
};

void NINA03::cpuWrite(BusContext& context, uint16_t address, uint8_t& value) {
    if ((address & 0xE100) != 0x4100) return;
    bankRegister = value;
    mapPrg(context, 0x8000, ((value >> 3) & 1) * 32, 32);
    mapChr(context, 0x0000, (value & 7) * 8, 8);
}

void NINA03::powerOn(BusContext& context) {
    mapPrg(context, 0x8000, 0, 32);
    mapChr(context, 0x0000, 0, 8);
}

void NINA03::serialize(StateStream& s) { s.io(bankRegister); }

std::unique_ptr<Mapper> makeNINA03(const BoardChoice&) { return std::make_unique<NINA03>(); }

}  // namespace NES
