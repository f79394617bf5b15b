// Color Dreams (mapper 11): bits 0-1 the 32 KiB PRG bank, bits 4-7 the 8 KiB CHR bank.
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/one_register.h"

namespace NES {

// Color Dreams (11): 32 KiB PRG and 8 KiB CHR banks in one register.
class ColorDreams : public OneRegisterBoard<ColorDreams, 11> {
public:
    void show(BusContext& context, uint8_t value) {
        mapPrg(context, 0x8000, (value & 3) * 32, 32);
        mapChr(context, 0x0000, (value >> 4) * 8, 8);
    }
};

std::unique_ptr<Mapper> makeColorDreams(const BoardChoice&) { return std::make_unique<ColorDreams>(); }

}  // namespace NES
