// AxROM (mapper 7): a 32 KiB PRG bank and the one-screen page in one register.
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/one_register.h"

namespace NES {

// AxROM (7): 32 KiB PRG banks and the one-screen page.
class AxROM : public OneRegisterBoard<AxROM, 7> {
public:
    void show(BusContext& context, uint8_t value) {
        mapPrg(context, 0x8000, (value & 7) * 32, 32);
        setMirroring(context, SingleScreen, (value >> 4) & 1);
    }
};

std::unique_ptr<Mapper> makeAxROM(const BoardChoice&) { return std::make_unique<AxROM>(); }

}  // namespace NES
