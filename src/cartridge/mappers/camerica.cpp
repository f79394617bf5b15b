// Camerica (mapper 71): a 16 KiB PRG bank at $8000, the last 16 KiB at
// $C000; submapper 1 also selects the one-screen page at $9000-$9FFF.
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/mapper.h"

#include "serial/state_stream.h"

namespace NES {

// Camerica (71): a 16 KiB PRG bank at $8000; the variant with mirroring
// control (submapper 1) also picks the one-screen page.
class Camerica : public Mapper {
public:
    uint8_t prgBank = 0;
    explicit Camerica(bool mirroringControl) : Mapper(71, 0), mirroringControl(mirroringControl) {}
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override {
        if (address >= 0xC000) {
            prgBank = value;
            mapPrg(context, 0x8000, (value & 0x0F) * 16, 16);
        } else if (mirroringControl && (address & 0xF000) == 0x9000) {
            setMirroring(context, SingleScreen, (value >> 4) & 1);
        }
    }
    void serialize(StateStream& s) override { s.io(prgBank); }
    void powerOn(BusContext& context) override {
        mapPrg(context, 0x8000, 0, 16);
        mapLastPrg16(context, 0xC000);
    }

private:
    const bool mirroringControl;
};

std::unique_ptr<Mapper> makeCamerica(const BoardChoice& board) {
    return std::make_unique<Camerica>(board.submapper == 1);
}

}  // namespace NES
