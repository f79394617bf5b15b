// Namco 108 (mapper 206): MMC3's bank select and bank data pair, with the
// windows in their fixed places (the layout bits do nothing).
#include "cartridge/mappers/bank_registers.h"
#include "cartridge/mappers/boards.h"

#include "serial/state_stream.h"

namespace NES {

// R0-R1: 2 KiB at $0000/$0800; R2-R5: 1 KiB at $1000-$1C00.
static constexpr uint16_t kChrWindow[6] = {0x0000, 0x0800, 0x1000, 0x1400, 0x1800, 0x1C00};

// Namco 108 (206): MMC3's bank registers without its other parts.
class Namco108 : public BankRegisterBoard<Namco108> {
public:
    static constexpr uint8_t kPowerOn[8] = {0, 2, 4, 5, 6, 7, 0, 1};
    uint8_t bankSelect = 0;
    Namco108() : BankRegisterBoard(206, 0x8000, kPowerOn) {}
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override {
        if (address < 0x8000 || address >= 0xA000) return;
        if (address & 1) writeRegister(context, bankSelect & 7, value);
        else bankSelect = value;
    }
    void serialize(StateStream& s) override {
        s.io(bankSelect);
        s.io(registers);
    }
    void mapRegister(BusContext& context, int r) {
        const uint8_t value = registers[r];
        if (r <= 1) mapChr(context, kChrWindow[r], (value & 0x3E), 2);
        else if (r <= 5) mapChr(context, kChrWindow[r], value & 0x3F, 1);
        else mapPrg(context, r == 6 ? 0x8000 : 0xA000, (value & 0x0F) * 8, 8);
    }
};

std::unique_ptr<Mapper> makeNamco108(const BoardChoice&) { return std::make_unique<Namco108>(); }

}  // namespace NES
