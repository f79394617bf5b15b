// Mapper 180: the first 16 KiB fixed at $8000, a switchable 16 KiB bank at $C000.
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/one_register.h"

namespace NES {

// 180: the first 16 KiB fixed at $8000, a switchable 16 KiB bank at $C000.
class UNROM180 : public OneRegisterBoard<UNROM180, 180> {
public:
    void show(BusContext& context, uint8_t value) { mapPrg(context, 0xC000, (value & 0x0F) * 16, 16); }
    // The first 16 KiB stays at $8000.
    void powerOn(BusContext& context) override {
        mapPrg(context, 0x8000, 0, 16);
        OneRegisterBoard::powerOn(context);
    }
};

std::unique_ptr<Mapper> makeUNROM180(const BoardChoice&) { return std::make_unique<UNROM180>(); }

}  // namespace NES
