// Konami VRC1 (mapper 75): 8 KiB PRG banks at $8000, $A000 and $C000 (the
// last fixed at $E000), two 4 KiB CHR banks whose bit 4 comes from $9000,
// which also holds the mirroring.
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/mapper.h"

#include "serial/state_stream.h"

namespace NES {

// Konami VRC1 (75): three 8 KiB PRG banks, two 4 KiB CHR banks whose top
// bits sit in the mirroring register.
class VRC1 : public Mapper {
public:
    uint8_t prgBank[3] = {0, 1, 2};
    uint8_t chrBank[2] = {0, 1};
    uint8_t control = 0;  // $9000: mirroring, CHR bank bit 4s
    VRC1() : Mapper(75, 0) {}
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override {
        switch (address & 0xF000) {
            case 0x8000: prgBank[0] = value & 0x0F; break;
            case 0xA000: prgBank[1] = value & 0x0F; break;
            case 0xC000: prgBank[2] = value & 0x0F; break;
            case 0x9000:
                control = value & 7;
                setMirroring(context, (control & 1) ? Horizontal : Vertical);
                break;
            case 0xE000: chrBank[0] = value & 0x0F; break;
            case 0xF000: chrBank[1] = value & 0x0F; break;
            default: return;
        }
        mapBanks(context);
    }
    void serialize(StateStream& s) override {
        s.io(prgBank, 0, 0x0F, "VRC1 PRG bank");
        s.io(chrBank, 0, 0x0F, "VRC1 CHR bank");
        s.io(control, 0, 7, "VRC1 control");
    }
    void powerOn(BusContext& context) override {
        mapBanks(context);
        mapPrg(context, 0xE000, (prgBanks(context, 8) - 1) * 8, 8);
    }

private:
    void mapBanks(BusContext& context) {
        for (int k = 0; k < 3; ++k) mapPrg(context, uint16_t(0x8000 + k * 0x2000), prgBank[k] * 8, 8);
        mapChr(context, 0x0000, (chrBank[0] | ((control << 3) & 0x10)) * 4, 4);
        mapChr(context, 0x1000, (chrBank[1] | ((control << 2) & 0x10)) * 4, 4);
    }
};

std::unique_ptr<Mapper> makeVRC1(const BoardChoice&) { return std::make_unique<VRC1>(); }

}  // namespace NES
