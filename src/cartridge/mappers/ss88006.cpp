// Jaleco SS88006 (mapper 18). Each register takes a nibble: $8000-$8003 and
// $9000-$9001 the 8 KiB PRG banks at $8000, $A000 and $C000 (the last bank
// fixed at $E000), $A000-$D003 the eight 1 KiB CHR banks, $E000-$E003 the
// IRQ reload value. $F000 reloads the counter, $F001 sets its width and
// enable, $F002 the mirroring. The counter counts CPU cycles down; when its
// low 4, 8, 12 or 16 bits wrap from 0 it interrupts.
#include "cartridge/mappers/mapper.h"

#include "ppu/ppu.h"
#include "state/state_stream.h"

namespace NES {

namespace {
void setNibble(uint8_t& byte, int high, uint8_t value) {
    byte = high ? uint8_t((byte & 0x0F) | (value << 4)) : uint8_t((byte & 0xF0) | (value & 0x0F));
}
}  // namespace

void SS88006::cpuWrite(BusContext& context, uint16_t address, uint8_t& value) {
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
        reload = uint16_t((reload & ~(0xF << (4 * reg))) | ((value & 0xF) << (4 * reg)));
    } else if (group == 0xF) {
        if (reg == 0) {
            counter = reload;
            releaseIrq(context, context.cpu->cycles + 1);
        } else if (reg == 1) {
            irqControl = value & 0x0F;
            releaseIrq(context, context.cpu->cycles + 1);
        } else if (reg == 2) {
            mirroringBits = value & 3;
            if (mirroringBits < 2) setMirroring(context, mirroringBits ? Vertical : Horizontal);
            else setMirroring(context, SingleScreen, mirroringBits & 1);
        }
    }
}

void SS88006::onDot(BusContext& context) {
    if (!(irqControl & 1) || ++dotPhase < 3) return;
    dotPhase = 0;
    const uint16_t mask = (irqControl & 8) ? 0x000F : (irqControl & 4) ? 0x00FF : (irqControl & 2) ? 0x0FFF : 0xFFFF;
    const uint16_t low = counter & mask;
    counter = uint16_t((counter & ~mask) | ((low - 1) & mask));
    if (low == 0) raiseIrq(context, hardware ? cycleSeeing(context.ppu->dotAtPosition() - 1) : 0);
}

void SS88006::powerOn(BusContext& context) {
    for (int k = 0; k < 3; ++k) mapPrg(context, uint16_t(0x8000 + k * 0x2000), prgBank[k] * 8, 8);
    mapPrg(context, 0xE000, (prgBanks(context, 8) - 1) * 8, 8);
}

void SS88006::serialize(StateStream& s) {
    s.io(prgBank);
    s.io(chrBank);
    s.io(reload);
    s.io(counter);
    s.io(irqControl, 0, 15, "SS88006 IRQ control");
    s.io(mirroringBits, 0, 3, "SS88006 mirroring");
    s.io(dotPhase, 0, 2, "SS88006 dot phase");
}

}  // namespace NES
