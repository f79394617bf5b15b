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

// Konami VRC3 (73): a 16 KiB PRG bank, CHR RAM, and a 16- or 8-bit IRQ
// counter of CPU cycles.
class VRC3 : public CycleCounterBoard<VRC3> {
public:
    uint8_t prgBank = 0;
    uint16_t reload = 0;
    uint16_t counter = 0;
    uint8_t control = 0;  // bit 0: enable after acknowledge, 1: enable, 2: 8-bit mode
    VRC3() : CycleCounterBoard(73, 0x8000) {}
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;

private:
    friend CycleCounterBoard<VRC3>;
    bool counting() const { return (control & 2) != 0; }
    int64_t count(int64_t ticks);
    int64_t nextFire() const;
};

void VRC3::cpuWrite(BusContext& context, uint16_t address, uint8_t& value) {
    if (address < 0x8000) return;
    const int nibble = (address >> 12) - 8;
    switch (address & 0xF000) {
        case 0x8000:
        case 0x9000:
        case 0xA000:
        case 0xB000: reload = uint16_t((reload & ~(0xF << (4 * nibble))) | ((value & 0xF) << (4 * nibble))); break;
        case 0xC000:
        case 0xD000:
            countToNow(context);
            if ((address & 0xF000) == 0xC000) {
                control = value & 7;
                if (control & 2) counter = reload;
            } else {
                control = uint8_t((control & ~2) | ((control & 1) << 1));
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

// --- the IRQ counter ---

int64_t VRC3::count(int64_t ticks) {
    // The 8-bit mode counts the low byte only and reloads only it.
    const int64_t top = (control & 4) ? 0x100 : 0x10000;
    const int64_t mask = top - 1;
    const int64_t first = top - (counter & mask);  // the cycle it overflows on
    if (ticks < first) {
        counter = uint16_t((counter & ~mask) | ((counter + ticks) & mask));
        return 0;
    }
    const int64_t start = reload & mask;
    counter = uint16_t((counter & ~mask) | (start + (ticks - first) % (top - start)));
    return first;
}

int64_t VRC3::nextFire() const {
    const int64_t top = (control & 4) ? 0x100 : 0x10000;
    return (control & 2) ? top - (counter & (top - 1)) : 0;
}

void VRC3::powerOn(BusContext& context) {
    mapPrg(context, 0x8000, 0, 16);
    mapLastPrg16(context, 0xC000);
    afterLoad(context);
}

void VRC3::serialize(StateStream& s) {
    s.io(prgBank, 0, 7, "VRC3 PRG bank");
    s.io(reload);
    countForSnapshot(s);
    s.io(counter);
    s.io(control, 0, 7, "VRC3 IRQ control");
    s.io(dotPhase, 0, 2, "VRC3 dot phase");
}

std::unique_ptr<Mapper> makeVRC3(const BoardChoice&) { return std::make_unique<VRC3>(); }

}  // namespace NES
