// The renderer's inline pieces shared by its files (render.cpp, span.cpp,
// sprites.cpp, board_tiles.cpp): the calls into the board, and a pixel's
// sprite and background composed.
#pragma once

#include "cartridge/mappers/mapper.h"
#include "ppu/ppu.h"

inline void PPU::notePattern(uint16_t address) {
    if (VELKORA_UNLIKELY(mapperWatchesPatterns)) mapper->onPatternFetch(busContext, address);
}

inline bool PPU::boardTiles() const { return tileSupplier != nullptr && tileSupplier->suppliesTiles; }

// Sprite byte: bit 5 sprite 0, bit 4 behind the background, bits 0-3 its
// palette entry; 0 where no sprite is opaque.
[[gnu::always_inline]] inline int PPU::composePixel(int32_t x, uint8_t sprite, int bgPixel, int bgBase, bool bgShown,
                                                    uint8_t mask) {
    int address = 0x3F00;
    bool spriteShows = false;
    if (sprite != 0) {
        if ((sprite & 0x20) && spriteZeroLine && bgPixel != 0 && (mask & 0x18) == 0x18 &&
            (!hardware || hitShows(x, mask)))
            *ppuStatus |= 0x40;
        spriteShows = bgPixel == 0 || !(sprite & 0x10);
        if (spriteShows && (x >= 8 || (mask & 0x04))) address = 0x3F10 + (sprite & 0x0F);
    }
    if (!spriteShows && bgPixel != 0 && bgShown) address = bgBase + bgPixel;
    return address;
}
