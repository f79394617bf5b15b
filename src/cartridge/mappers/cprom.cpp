// CPROM (mapper 13): 16 KiB of CHR RAM in four 4 KiB pages. $0000-$0FFF
// always shows page 0; $1000-$1FFF shows the selected page, copied in and
// out, so what the game wrote into a page is there when it comes back.
#include <cstring>

#include "cartridge/mappers/mapper.h"

#include "cpu/cpu.h"
#include "ppu/ppu.h"
#include "state/state_stream.h"

namespace NES {

void CPROM::cpuWrite(BusContext& context, uint16_t address, uint8_t& value) {
    if (address < 0x8000) return;
    const uint8_t next = value & 3;
    if (next == page) return;
    uint8_t* vram = context.ppu->vram.data();
    if (page == 0) {
        // Page 0 was in both windows: keep what was written through the upper one.
        for (int32_t i = 0; i < kPage; ++i) {
            if (vram[0x1000 + i] != aliasBase[i]) vram[i] = vram[0x1000 + i];
        }
    } else {
        std::memcpy(pages[page], vram + 0x1000, kPage);
    }
    if (next == 0) {
        std::memcpy(aliasBase, vram, kPage);
        std::memcpy(vram + 0x1000, vram, kPage);
    } else {
        std::memcpy(vram + 0x1000, pages[next], kPage);
    }
    page = next;
}

void CPROM::powerOn(BusContext& context) {
    mapPrg(context, 0x8000, 0, 32);
    uint8_t* vram = context.ppu->vram.data();
    page = 0;
    std::memcpy(aliasBase, vram, kPage);
    std::memcpy(vram + 0x1000, vram, kPage);
}

void CPROM::serialize(StateStream& s) {
    s.io(page, 0, 3, "CPROM page");
    if (s.onlyRegisters()) return;
    for (int p = 1; p < 4; ++p) s.bytes(pages[p], kPage);
    s.bytes(aliasBase, kPage);
}

}  // namespace NES
