// Taito TC0190 (mapper 33): $8000 the 8 KiB PRG bank at $8000 and the
// mirroring (bit 6), $8001 the bank at $A000, $8002-$8003 2 KiB CHR banks
// at $0000 and $0800, $A000-$A003 1 KiB CHR banks at $1000-$1C00; the last
// two 8 KiB banks fixed at $C000.
#include "cartridge/mappers/bank_registers.h"
#include "cartridge/mappers/boards.h"

#include "serial/state_stream.h"

namespace NES {

// Taito TC0190 (33): two 8 KiB PRG banks, two 2 KiB and four 1 KiB CHR
// banks, the mirroring bit beside the first PRG bank.
// Its registers: $8000-$8003, $A000-$A003.
class TaitoTC0190 : public BankRegisterBoard<TaitoTC0190> {
public:
    static constexpr uint8_t kPowerOn[8] = {0, 1, 0, 1, 4, 5, 6, 7};
    TaitoTC0190() : BankRegisterBoard(33, 0, kPowerOn) {}
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override {
        const uint16_t group = address & 0xE000;
        if (group == 0x8000 || group == 0xA000)
            writeRegister(context, (group == 0xA000 ? 4 : 0) + (address & 3), value);
    }
    void serialize(StateStream& s) override { s.io(registers); }
    void mapRegister(BusContext& context, int r) {
        const uint8_t v = registers[r];
        if (r == 0) {
            mapPrg(context, 0x8000, (v & 0x3F) * 8, 8);
            setMirroring(context, (v & 0x40) ? Horizontal : Vertical);
        } else if (r == 1) {
            mapPrg(context, 0xA000, (v & 0x3F) * 8, 8);
        } else if (r < 4) {
            mapChr(context, uint16_t((r - 2) * 0x800), v * 2, 2);
        } else {
            mapChr(context, uint16_t(0x1000 + (r - 4) * 0x400), v, 1);
        }
    }
};

std::unique_ptr<Mapper> makeTaitoTC0190(const BoardChoice&) { return std::make_unique<TaitoTC0190>(); }

}  // namespace NES
