// Jaleco SS88006 (mapper 18). Each register takes a nibble: $8000-$8003 and
// $9000-$9001 the 8 KiB PRG banks at $8000, $A000 and $C000 (the last bank
// fixed at $E000), $A000-$D003 the eight 1 KiB CHR banks, $E000-$E003 the
// IRQ reload value. $F000 reloads the counter, $F001 sets its width and
// enable, $F002 the mirroring. The counter counts CPU cycles down; when its
// low 4, 8, 12 or 16 bits wrap from 0 it interrupts.
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/cycle_counter.h"

#include "cpu/cpu.h"
#include "ppu/ppu.h"
#include "serial/state_stream.h"

namespace NES {

namespace {
void setNibble(uint8_t& byte, int high, uint8_t value) {
    byte = high ? uint8_t((byte & 0x0F) | (value << 4)) : uint8_t((byte & 0xF0) | (value & 0x0F));
}
// The counter's bits that count: 4, 8, 12 or 16 of them.
uint16_t countingBits(uint8_t control) {
    return (control & 8) ? 0x000F : (control & 4) ? 0x00FF : (control & 2) ? 0x0FFF : 0xFFFF;
}
}  // namespace

// The IRQ: $E000-$E003 the reload value, $F000 reloads, $F001 the control.
struct SS88006Irq {
    uint16_t reload = 0;
    uint16_t counter = 0;
    uint8_t control = 0;  // bit 0: count; bits 1-3: 12-, 8-, 4-bit counter
    bool counting() const { return (control & 1) != 0; }
    int64_t count(int64_t ticks) {
        const uint16_t mask = countingBits(control);
        const int64_t wrap = int64_t(counter & mask) + 1;  // the cycle it wraps from 0 on
        counter = uint16_t((counter & ~mask) | ((counter - ticks) & mask));
        return ticks >= wrap ? wrap : 0;
    }
    int64_t nextFire() const { return counting() ? int64_t(counter & countingBits(control)) + 1 : 0; }
};

// Jaleco SS88006 (18): 8 KiB PRG and 1 KiB CHR banks written a nibble at a
// time, mirroring, and a down-counter of CPU cycles 4 to 16 bits wide.
class SS88006 : public CycleCounterBoard<SS88006Irq> {
public:
    uint8_t prgBank[3] = {};
    uint8_t chrBank[8] = {};
    uint8_t mirroringBits = 0;
    SS88006() : CycleCounterBoard(18, 0x8000) {}
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override {
        if (address < 0x8000) return;
        const int reg = address & 3;
        const int group = (address >> 12) & 0xF;
        if (group == 8 || (group == 9 && reg < 2)) {
            const int bank = group == 8 ? reg >> 1 : 2;
            setNibble(prgBank[bank], reg & 1, value);
            mapPrg(context, uint16_t(0x8000 + bank * 0x2000), prgBank[bank] * 8, 8);
        } else if (group >= 0xA && group <= 0xD) {
            const int window = (group - 0xA) * 2 + (reg >> 1);
            setNibble(chrBank[window], reg & 1, value);
            mapChr(context, uint16_t(window * 0x400), chrBank[window], 1);
        } else if (group == 0xE) {
            irq.reload = uint16_t((irq.reload & ~(0xF << (4 * reg))) | ((value & 0xF) << (4 * reg)));
        } else if (group == 0xF) {
            if (reg < 2) {
                countToNow(context);
                if (reg == 0) irq.counter = irq.reload;
                else irq.control = value & 0x0F;
                releaseIrq(context, context.cpu->cycles + 1);
                scheduleIrq(context);
            } else if (reg == 2) {
                mirroringBits = value & 3;
                if (mirroringBits < 2) setMirroring(context, mirroringBits ? Vertical : Horizontal);
                else setMirroring(context, SingleScreen, mirroringBits & 1);
            }
        }
    }
    void serialize(StateStream& s) override {
        s.io(prgBank);
        s.io(chrBank);
        s.io(irq.reload);
        countForSnapshot(s);
        s.io(irq.counter);
        s.io(irq.control, 0, 15, "SS88006 IRQ control");
        s.io(mirroringBits, 0, 3, "SS88006 mirroring");
        s.io(dotPhase, 0, 2, "SS88006 dot phase");
    }
    void powerOn(BusContext& context) override {
        for (int k = 0; k < 3; ++k) mapPrg(context, uint16_t(0x8000 + k * 0x2000), prgBank[k] * 8, 8);
        mapPrg(context, 0xE000, (prgBanks(context, 8) - 1) * 8, 8);
        afterLoad(context);
    }
};

std::unique_ptr<Mapper> makeSS88006(const BoardChoice&) { return std::make_unique<SS88006>(); }

}  // namespace NES
