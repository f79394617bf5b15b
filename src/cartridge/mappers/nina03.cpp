// NINA-003/006 (mapper 79): a register at $4100-$5FFF (address bit 8 set):
// bit 3 the 32 KiB PRG bank, bits 0-2 the 8 KiB CHR bank.
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/one_register.h"

namespace NES {

// NINA-003/006 (79): a register at $4100-$5FFF with address bit 8 set.
class NINA03 : public OneRegisterBoard<NINA03, 79, 0> {
public:
    static bool decodes(uint16_t address) { return (address & 0xE100) == 0x4100; }
    void show(BusContext& context, uint8_t value) {
        mapPrg(context, 0x8000, ((value >> 3) & 1) * 32, 32);
        mapChr(context, 0x0000, (value & 7) * 8, 8);
    }
};

std::unique_ptr<Mapper> makeNINA03(const BoardChoice&) { return std::make_unique<NINA03>(); }

}  // namespace NES
