// Dots of a visible line whose background tiles a board supplies (MMC5,
// Namco 163): every fetch asks the board, in the order and with the latches
// stepDot would use, and the pixels are composed one by one with the sprites
// as drawSpan composes them.
#include <algorithm>

#include "cartridge/mappers/mapper.h"
#include "ppu/ppu.h"
#include "ppu/ppu_inline.h"

void PPU::fetchBoardTile(uint16_t address) {
    // The fetch at a group's start reads v; the look-ahead one, the next tile.
    // With rendering off only the latches see it (the span path makes one
    // such fetch for the dot-by-dot path's many): no column then.
    const int32_t column = renderingEnabled ? std::max(0, ((cycle - 1) >> 3) + (address != v ? 1 : 0)) : 0;
    const NES::BackgroundTile tile = tileSupplier->fetchTile(busContext, address, column);
    patternLow = tile.low;
    patternHigh = tile.high;
}

void PPU::drawBoardSpan(int32_t first, int32_t last, uint8_t mask) {
    // Eight spare bytes either side for spriteRow.
    uint8_t spriteBuffer[kWidth + 16];
    uint8_t* spriteLine = spriteBuffer + 8;
    int32_t spriteLo = kWidth;
    int32_t spriteHi = -1;
    if ((mask & 0x10) && lineSpriteCount > 0 && spritesReach(first - 1, last - 1))
        spriteRow<false>(first - 1, last - 1, spriteLine, nullptr, spriteLo, spriteHi);

    const bool bgShownLeft = (mask & 0x0A) == 0x0A;
    const bool bgShownRest = (mask & 0x08) != 0;
    uint8_t* cache = colorIndexCache.data() + scanline * kWidth;
    NES::Mapper& board = *tileSupplier;
    uint16_t vv = v;
    uint8_t td = tileDot;
    uint8_t low = uint8_t(patternLow);
    uint8_t high = uint8_t(patternHigh);
    uint8_t palette = board.latchedPalette;
    const auto fetch = [&](uint16_t address, int32_t column) {
        ntAddress = nameAddress(address);
        atAddress = attributeAddress(address);
        const NES::BackgroundTile tile = board.fetchTile(busContext, address, column);
        low = tile.low;
        high = tile.high;
        palette = tile.palette;
    };

    for (int32_t c = first; c <= last; ++c) {
        const int32_t x = c - 1;
        if ((x & 7) == 0) {
            fetch(vv, x >> 3);
            td = fineX;
        }
        if (c == 256) vv = fineYIncrement(vv);
        const int bgPixel = (((high >> (7 - td)) & 1) << 1) | ((low >> (7 - td)) & 1);
        const uint8_t sp = (x >= spriteLo && x <= spriteHi) ? spriteLine[x] : 0;
        const bool bgShown = x >= 8 ? bgShownRest : bgShownLeft;
        cache[x] = vram[composePixel(x, sp, bgPixel, 0x3F00 + 4 * palette, bgShown, mask)] & 0x3F;
        if (++td == 8) {
            // Fine X scroll draws the tail of each group from the next tile.
            td = 0;
            fetch(coarseXIncrement(vv), (x >> 3) + 1);
        }
        if ((c & 7) == 0 && c != 256) vv = coarseXIncrement(vv);
    }

    v = vv;
    tileDot = td;
    patternLow = low;
    patternHigh = high;
    heldValid = false;
}
