// Sunsoft-4 (mapper 68): $8000-$B000 the four 2 KiB CHR banks, $C000 and
// $D000 the CHR ROM banks that can stand in for the nametables, $E000 the
// mirroring (bit 4 turns the nametables over to CHR ROM, which is not
// emulated: the console's nametable RAM stays), $F000 the 16 KiB PRG bank
// at $8000 (the last fixed at $C000).
#include "cartridge/mappers/mapper.h"

#include "state/state_stream.h"

namespace NES {

void Sunsoft4::cpuWrite(BusContext& context, uint16_t address, uint8_t& value) {
    if (address < 0x8000) return;
    const int group = (address >> 12) - 8;
    if (group < 4) {
        chrBank[group] = value;
        mapChr(context, uint16_t(group * 0x800), value * 2, 2);
    } else if (group < 6) {
        ntBank[group - 4] = value;
    } else if (group == 6) {
        control = value & 0x13;
        const int m = control & 3;
        if (m < 2) setMirroring(context, m ? Horizontal : Vertical);
        else setMirroring(context, SingleScreen, m & 1);
    } else {
        prgBank = value & 0x1F;
        mapPrg(context, 0x8000, (prgBank & 0x0F) * 16, 16);
    }
}

void Sunsoft4::powerOn(BusContext& context) {
    mapPrg(context, 0x8000, 0, 16);
    mapLastPrg16(context, 0xC000);
}

void Sunsoft4::serialize(StateStream& s) {
    s.io(chrBank);
    s.io(ntBank);
    const uint8_t control = s.io(this->control);
    s.require((control & ~0x13) == 0, "Sunsoft-4 control has bits no write sets");
    s.io(prgBank, 0, 0x1F, "Sunsoft-4 PRG bank");
}

}  // namespace NES
