// Konami VRC3 (mapper 73): a 16 KiB PRG bank at $8000 ($F000), the last
// fixed at $C000, CHR RAM, and an IRQ counter of CPU cycles: $8000-$B000
// give the reload value a nibble at a time, $C000 the control (writing it
// with bit 1 reloads the counter), $D000 acknowledges. The counter counts
// up and interrupts on overflow, all 16 bits or (bit 2) the low 8 only.
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/cycle_counter.h"

#include "cpu/cpu.h"
#include "ppu/ppu.h"
#include "serial/state_stream.h"

namespace NES {

// The IRQ: $8000-$B000 the reload value, $C000 the control, $D000 acknowledges.
struct Vrc3Irq {
    uint16_t reload = 0;
    uint16_t counter = 0;
    uint8_t control = 0;  // bit 0: enable after acknowledge, 1: enable, 2: 8-bit mode
    bool counting() const { return (control & 2) != 0; }
    // The 8-bit mode counts the low byte only and reloads only it.
    int64_t top() const { return (control & 4) ? 0x100 : 0x10000; }
    int64_t count(int64_t ticks) {
        const int64_t mask = top() - 1;
        const int64_t first = top() - (counter & mask);  // the cycle it overflows on
        if (ticks < first) {
            counter = uint16_t((counter & ~mask) | ((counter + ticks) & mask));
            return 0;
        }
        const int64_t start = reload & mask;
        counter = uint16_t((counter & ~mask) | (start + (ticks - first) % (top() - start)));
        return first;
    }
    int64_t nextFire() const { return counting() ? top() - (counter & (top() - 1)) : 0; }
};

// Konami VRC3 (73): a 16 KiB PRG bank, CHR RAM, and a 16- or 8-bit IRQ
// counter of CPU cycles.
class VRC3 : public CycleCounterBoard<Vrc3Irq> {
public:
    uint8_t prgBank = 0;
    VRC3() : CycleCounterBoard(73, 0x8000) {}
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override {
        if (address < 0x8000) return;
        const int nibble = (address >> 12) - 8;
        switch (address & 0xF000) {
            case 0x8000:
            case 0x9000:
            case 0xA000:
            case 0xB000:
                irq.reload = uint16_t((irq.reload & ~(0xF << (4 * nibble))) | ((value & 0xF) << (4 * nibble)));
                break;
            case 0xC000:
            case 0xD000:
                countToNow(context);
                if ((address & 0xF000) == 0xC000) {
                    irq.control = value & 7;
                    if (irq.control & 2) irq.counter = irq.reload;
                } else {
                    irq.control = uint8_t((irq.control & ~2) | ((irq.control & 1) << 1));
                }
                releaseIrq(context, context.cpu->cycles + 1);
                scheduleIrq(context);
                break;
            case 0xF000:
                prgBank = value & 7;
                mapPrg(context, 0x8000, prgBank * 16, 16);
                break;
            default: break;
        }
    }
    void serialize(StateStream& s) override {
        s.io(prgBank, 0, 7, "VRC3 PRG bank");
        s.io(irq.reload);
        countForSnapshot(s);
        s.io(irq.counter);
        s.io(irq.control, 0, 7, "VRC3 IRQ control");
        s.io(dotPhase, 0, 2, "VRC3 dot phase");
    }
    void powerOn(BusContext& context) override {
        mapPrg(context, 0x8000, 0, 16);
        mapLastPrg16(context, 0xC000);
        afterLoad(context);
    }
};

std::unique_ptr<Mapper> makeVRC3(const BoardChoice&) { return std::make_unique<VRC3>(); }

}  // namespace NES
