// Taito TC0690 (mapper 48): $8000-$8003 and $A000-$A003 as on the TC0190
// (without its mirroring bit), $C000 the IRQ latch (written inverted),
// $C001 reloads the counter at its next clock, $C002 and $C003 enable and
// disable (and acknowledge) the IRQ, $E000 bit 6 the mirroring. The
// counter is the MMC3's, clocked in the same way; the few CPU cycles the
// chip is said to raise its IRQ after the MMC3 would are not emulated.
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/mmc3.h"

#include "cpu/cpu.h"
#include "serial/state_stream.h"

namespace NES {

// Taito TC0690 (48): the TC0190's banks, the mirroring at $E000, and the
// MMC3's scanline counter with its latch written inverted.
class TaitoTC0690 : public MMC3 {
public:
    uint8_t registers[8] = {0, 1, 0, 1, 4, 5, 6, 7};  // $8000-$8003, $A000-$A003
    uint8_t mirroringBit = 0;
    TaitoTC0690() { number = 48; }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override {
        switch (address & 0xE003) {
            case 0x8000:
            case 0x8001:
            case 0x8002:
            case 0x8003:
            case 0xA000:
            case 0xA001:
            case 0xA002:
            case 0xA003: {
                const int r = ((address & 0xE000) == 0xA000 ? 4 : 0) + (address & 3);
                registers[r] = value;
                mapRegister(context, r);
                break;
            }
            case 0xC000: irqLatch = uint8_t(value ^ 0xFF); break;
            case 0xC001: irqCounter = -1; break;
            case 0xC002: irqEnable = 1; break;
            case 0xC003:
                irqEnable = 0;
                releaseIrq(context, context.cpu->cycles + 1);
                break;
            case 0xE000:
                mirroringBit = (value >> 6) & 1;
                setMirroring(context, mirroringBit ? Horizontal : Vertical);
                break;
            default: break;
        }
    }
    // Its registers go with the others (serialize), not in the MMC3's bytes.
    void storeState(BusContext&, uint8_t*) override {}
    void restoreState(BusContext&, const uint8_t*) override {}
    void serialize(StateStream& s) override {
        s.io(registers);
        s.io(mirroringBit, 0, 1, "TC0690 mirroring");
        s.io(irqEnable, 0, 1, "TC0690 IRQ enable");
        s.io(irqCounter, -1, 255, "TC0690 IRQ counter");
        s.io(irqLatch);
    }
    void powerOn(BusContext& context) override {
        irqEnable = 0;
        for (int r = 0; r < 8; ++r) mapRegister(context, r);
        mapLastPrg16(context, 0xC000);
    }

private:
    void mapRegister(BusContext& context, int r) {
        const uint8_t v = registers[r];
        if (r < 2) mapPrg(context, uint16_t(0x8000 + r * 0x2000), (v & 0x3F) * 8, 8);
        else if (r < 4) mapChr(context, uint16_t((r - 2) * 0x800), v * 2, 2);
        else mapChr(context, uint16_t(0x1000 + (r - 4) * 0x400), v, 1);
    }
};

std::unique_ptr<Mapper> makeTaitoTC0690(const BoardChoice&) { return std::make_unique<TaitoTC0690>(); }

}  // namespace NES
