// Bandai FCG-1/2 and LZ93D50 (mapper 16). Registers repeat every 16 bytes:
// 0-7 the 1 KiB CHR banks, 8 the 16 KiB PRG bank at $8000 (the last fixed
// at $C000), 9 the mirroring, A the IRQ enable (an acknowledge too), B-C
// the IRQ counter's low and high bytes: the counter itself on the FCG
// chips, a latch the LZ93D50 copies into it on each enable write. The
// counter counts CPU cycles down and interrupts on reaching 0. The serial
// EEPROM ($xD) is not emulated.
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/cycle_counter.h"

#include "cpu/cpu.h"
#include "ppu/ppu.h"
#include "serial/state_stream.h"

namespace NES {

// The IRQ: $xA the enable, $xB-$xC the counter (FCG) or its latch (LZ93D50).
struct BandaiIrq {
    uint8_t enable = 0;
    uint16_t latch = 0;
    uint16_t counter = 0;
    bool counting() const { return enable != 0; }
    int64_t count(int64_t ticks) {
        const int64_t zero = counter ? counter : 0x10000;  // the cycle it reaches 0 on
        counter = uint16_t(counter - ticks);
        return ticks >= zero ? zero : 0;
    }
    int64_t nextFire() const { return enable ? (counter ? counter : 0x10000) : 0; }
};

// Bandai FCG-1/2 and LZ93D50 (16): eight 1 KiB CHR banks, a 16 KiB PRG
// bank, mirroring and a 16-bit down-counter of CPU cycles. The FCG chips
// answer at $6000-$7FFF and load the counter directly (submapper 4), the
// LZ93D50 at $8000-$FFFF through a latch (submapper 5); submapper 0
// answers at both, as the LZ93D50.
class BandaiFCG : public CycleCounterBoard<BandaiIrq> {
public:
    uint8_t chrBank[8] = {};
    uint8_t prgBank = 0;
    uint8_t mirroringBits = 0;
    explicit BandaiFCG(int32_t submapper) : CycleCounterBoard(16), submapper(submapper) {}
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override {
        // FCG-1/2 at $6000-$7FFF, LZ93D50 at $8000-$FFFF; unknown boards answer at both.
        const bool fcg = address >= 0x6000 && address < 0x8000;
        if (address < 0x6000 || (fcg && submapper == 5) || (!fcg && submapper == 4)) return;
        const bool latched = !fcg || submapper != 4;
        const int reg = address & 0x0F;
        if (reg < 8) {
            chrBank[reg] = value;
            mapChr(context, uint16_t(reg * 0x400), value, 1);
        } else if (reg == 8) {
            prgBank = value & 0x0F;
            mapPrg(context, 0x8000, prgBank * 16, 16);
        } else if (reg == 9) {
            mirroringBits = value & 3;
            selectMirroring(context, mirroringBits);
        } else if (reg == 0xA) {
            countToNow(context);
            irq.enable = value & 1;
            if (latched) irq.counter = irq.latch;
            releaseIrq(context, context.cpu->cycles + 1);
            scheduleIrq(context);
        } else if (reg == 0xB || reg == 0xC) {
            const int shift = reg == 0xB ? 0 : 8;
            if (!latched) countToNow(context);
            uint16_t& target = latched ? irq.latch : irq.counter;
            target = uint16_t((target & ~(0xFF << shift)) | (value << shift));
            if (!latched) scheduleIrq(context);
        }
        // The FCG's registers are not RAM.
        if (fcg) value = context.cpu->memory[address];
    }
    void serialize(StateStream& s) override {
        s.io(chrBank);
        s.io(prgBank, 0, 0x0F, "Bandai FCG PRG bank");
        s.io(mirroringBits, 0, 3, "Bandai FCG mirroring");
        s.io(irq.enable, 0, 1, "Bandai FCG IRQ enable");
        s.io(irq.latch);
        countForSnapshot(s);
        s.io(irq.counter);
        s.io(dotPhase, 0, 2, "Bandai FCG dot phase");
    }
    void powerOn(BusContext& context) override {
        mapPrg(context, 0x8000, 0, 16);
        mapLastPrg16(context, 0xC000);
        afterLoad(context);
    }

private:
    const int32_t submapper;
};

std::unique_ptr<Mapper> makeBandaiFCG(const BoardChoice& board) { return std::make_unique<BandaiFCG>(board.submapper); }

}  // namespace NES
