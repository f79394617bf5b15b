// Plugging a loaded cartridge into the PPU: mirroring, the per-dot hook and
// the pattern tables.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cartridge/cartridge.h"
#include "cpu/cpu.h"
#include "ppu/ppu.h"

void PPU::attachCartridge(Cartridge* cart) {
    // Attaching anew mid-run: the owed dots saw the old cartridge.
    payOwedDots();
    cartridge = cart;
    mapper = cart->mapper.get();
    mirroring = cart->mirroring;
    busContext = BusContext{cpu, this, cpu->apu};
    // Boards without per-dot work cost the renderer nothing.
    mapperCountsDots = mapper != nullptr && mapper->countsDots;
    mapperWatchesPatterns = mapper != nullptr && mapper->watchesPatterns;
    hookIgnoresDrawing = mapper != nullptr && mapper->hookIgnoresDrawing;
    // MMC3's hook counts a scanline when the next dot is 256 and returns at
    // once on every other dot, so runTo calls it only there.
    boardDotCycle = !mapperCountsDots ? kDotsPerLine : mapper->hookCycle;
    tileSupplier = mapper != nullptr && mapper->maySupplyTiles ? mapper : nullptr;
    adoptAddressLine();
    if (cart->chrSize > 0) {
        cart->showChr(vram.data(), 0, 0, 8);
    } else {
        if (cart->verbose) {
            std::printf("CHR-RAM Copied.\n");
            std::fflush(stdout);
        }
        cart->chrRam = &vram[0];
    }
}

void PPU::setMirroring(int32_t mode, int32_t page) {
    payOwedDots();
    const auto swapPages = [this] { std::swap_ranges(&vram[0x2000], &vram[0x2400], &vram[0x2400]); };
    // The lower page back at $2000 before the layout changes.
    if (mirroring == SingleScreen && singleScreenPage == 1) swapPages();
    const bool wasHorizontal = mirroring == Horizontal;
    const bool nowHorizontal = mode == Horizontal;
    if (mirroring != FourScreen && mode != FourScreen) {
        if (wasHorizontal && !nowHorizontal) std::memcpy(&vram[0x2400], &vram[0x2800], 0x400);
        if (!wasHorizontal && nowHorizontal) std::memcpy(&vram[0x2800], &vram[0x2400], 0x400);
    }
    mirroring = mode;
    singleScreenPage = mode == SingleScreen ? page & 1 : 0;
    if (singleScreenPage == 1) swapPages();
}
