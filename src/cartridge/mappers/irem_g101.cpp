// Irem G-101 (mapper 32): $8000 and $A000 select 8 KiB PRG banks, $9000
// the mirroring (bit 0) and whether $8000 or $C000 holds the second-last
// bank (bit 1), $B000-$B007 the eight 1 KiB CHR banks. Submapper 1 (Major
// League) is wired for one-screen mirroring and has no layout bit.
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/mapper.h"

#include "serial/state_stream.h"

namespace NES {

// Irem G-101 (32): two switchable 8 KiB PRG banks with a layout bit, eight
// 1 KiB CHR banks, mirroring (submapper 1, Major League: one-screen, no
// layout bit).
class IremG101 : public Mapper {
public:
    uint8_t prgBank[2] = {0, 1};
    uint8_t chrBank[8] = {};
    uint8_t control = 0;  // bit 0: horizontal, bit 1: $8000 fixed
    explicit IremG101(bool oneScreen) : Mapper(32, 0), oneScreen(oneScreen) {}
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override {
        switch (address & 0xF000) {
            case 0x8000:
            case 0xA000:
                prgBank[(address >> 13) & 1] = value & 0x1F;
                mapPrg8Pair(context, prgBank, control & 2);
                break;
            case 0x9000:
                if (oneScreen) break;
                control = value & 3;
                setMirroring(context, (control & 1) ? Horizontal : Vertical);
                mapPrg8Pair(context, prgBank, control & 2);
                break;
            case 0xB000:
                chrBank[address & 7] = value;
                mapChr(context, uint16_t((address & 7) * 0x400), value, 1);
                break;
            default: break;
        }
    }
    void serialize(StateStream& s) override {
        s.io(prgBank, 0, 0x1F, "G-101 PRG bank");
        s.io(chrBank);
        s.io(control, 0, 3, "G-101 control");
    }
    void powerOn(BusContext& context) override {
        mapPrg8Pair(context, prgBank, control & 2);
        if (oneScreen) setMirroring(context, SingleScreen, 0);
    }

private:
    const bool oneScreen;
};

std::unique_ptr<Mapper> makeIremG101(const BoardChoice& board) {
    return std::make_unique<IremG101>(board.submapper == 1);
}

}  // namespace NES
