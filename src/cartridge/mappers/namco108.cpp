// Namco 108 (mapper 206): MMC3's bank select and bank data pair, with the
// windows in their fixed places (the layout bits do nothing).
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/mapper.h"

#include "serial/state_stream.h"

namespace NES {

// Namco 108 (206): MMC3's bank registers without its other parts.
class Namco108 : public Mapper {
public:
    uint8_t bankSelect = 0;
    uint8_t registers[8] = {0, 2, 4, 5, 6, 7, 0, 1};
    Namco108() : Mapper(206, 0x8000) {}
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;

private:
    void mapRegister(BusContext& context, int r);
};

// R0-R1: 2 KiB at $0000/$0800; R2-R5: 1 KiB at $1000-$1C00.
static constexpr uint16_t kChrWindow[6] = {0x0000, 0x0800, 0x1000, 0x1400, 0x1800, 0x1C00};

void Namco108::mapRegister(BusContext& context, int r) {
    const uint8_t value = registers[r];
    if (r <= 1) mapChr(context, kChrWindow[r], (value & 0x3E), 2);
    else if (r <= 5) mapChr(context, kChrWindow[r], value & 0x3F, 1);
    else mapPrg(context, r == 6 ? 0x8000 : 0xA000, (value & 0x0F) * 8, 8);
}

void Namco108::cpuWrite(BusContext& context, uint16_t address, uint8_t& value) {
    if (address < 0x8000 || address >= 0xA000) return;
    if (!(address & 1)) {
        bankSelect = value;
        return;
    }
    const int r = bankSelect & 7;
    registers[r] = value;
    mapRegister(context, r);
}

void Namco108::powerOn(BusContext& context) {
    for (int r = 0; r < 8; ++r) mapRegister(context, r);
    mapLastPrg16(context, 0xC000);
}

void Namco108::serialize(StateStream& s) {
    s.io(bankSelect);
    s.io(registers);
}

std::unique_ptr<Mapper> makeNamco108(const BoardChoice&) { return std::make_unique<Namco108>(); }

}  // namespace NES
