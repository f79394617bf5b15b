// GxROM (mapper 66): bits 4-5 the 32 KiB PRG bank, bits 0-1 the 8 KiB CHR bank.
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/one_register.h"

namespace NES {

// GxROM (66): 32 KiB PRG (bits 4-5) and 8 KiB CHR (bits 0-1) banks.
class GxROM : public OneRegisterBoard<GxROM, 66> {
public:
    void show(BusContext& context, uint8_t value) {
        mapPrg(context, 0x8000, ((value >> 4) & 3) * 32, 32);
        mapChr(context, 0x0000, (value & 3) * 8, 8);
    }
};

std::unique_ptr<Mapper> makeGxROM(const BoardChoice&) { return std::make_unique<GxROM>(); }

}  // namespace NES
