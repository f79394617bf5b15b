// CPROM (mapper 13): 16 KiB of CHR RAM in four 4 KiB pages. $0000-$0FFF
// always shows page 0; $1000-$1FFF shows the selected page, copied in and
// out, so what the game wrote into a page is there when it comes back.
#include <cstring>

#include "cartridge/mappers/mapper.h"

#include "cpu/cpu.h"
#include "ppu/ppu.h"
#include "state/state_stream.h"

namespace NES {

void CPROM::showPage(BusContext& context, uint8_t next) {
    PPU& ppu = *context.ppu;
    uint8_t* vram = ppu.vram.data();
    // Page 0 lives at $0000; the others are kept here while not on show.
    if (page != 0) std::memcpy(pages[page], vram + 0x1000, kPage);
    std::memcpy(vram + 0x1000, next == 0 ? vram : pages[next], kPage);
    ppu.patternTablesShared = next == 0;
    page = next;
}

void CPROM::cpuWrite(BusContext& context, uint16_t address, uint8_t& value) {
    if (address < 0x8000 || (value & 3) == page) return;
    showPage(context, value & 3);
}

void CPROM::powerOn(BusContext& context) {
    mapPrg(context, 0x8000, 0, 32);
    PPU& ppu = *context.ppu;
    std::memcpy(&ppu.vram[0x1000], &ppu.vram[0], kPage);
    ppu.patternTablesShared = true;
    page = 0;
}

void CPROM::serialize(StateStream& s) {
    s.io(page, 0, 3, "CPROM page");
    if (s.onlyRegisters()) return;
    for (int p = 1; p < 4; ++p) {
        if (s.version() == 1) s.bytes(pages[p], kPage);
        else s.zeroRuns(pages[p], kPage, "CPROM page");
    }
}

}  // namespace NES
