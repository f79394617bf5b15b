// Sprites: evaluation of the next line (with the overflow scan), the line
// sprites' horizontal counters, and their pixels.
#include <cstring>

#include "ppu/ppu.h"

void PPU::resetEvaluation() {
    std::memset(secondaryOam, 0xFF, sizeof secondaryOam);
    evalIndex = 0;
    evalByte = 0;
    evalDone = false;
    evalCount = 0;
    spriteZeroNext = false;
}

// One step of dots 129-256 of line L, preparing line L + 1.
void PPU::evaluateSprites() {
    const int height = (*ppuCtrl & 0x20) ? 16 : 8;
    if ((cycle & 1) == 0 && evalCount < 8) {
        const uint8_t y1 = uint8_t(oam[evalIndex] + 1);
        if (!evalDone && y1 != 0) {
            const int d = ((scanline + 1) % 240) - y1;
            if (d >= 0 && d < height && y1 < 240) {
                uint8_t* slot = &secondaryOam[4 * evalCount];
                slot[0] = y1;
                slot[1] = oam[evalIndex + 1];
                slot[2] = oam[evalIndex + 2];
                slot[3] = oam[evalIndex + 3];
                nextSpriteX[evalCount] = oam[evalIndex + 3];
                if (evalIndex == 0) spriteZeroNext = true;
                ++evalCount;
            }
        }
        evalIndex = uint8_t(evalIndex + 4);
        if (evalIndex == 0) evalDone = true;
    } else if (evalCount == 8) {
        // The console's overflow scan walks OAM diagonally once eight are found.
        const int d = scanline - oam[evalIndex + evalByte];
        if (d < 0 || d >= height) evalByte = (evalByte + 1) & 3;
        else *ppuStatus |= 0x20;
        evalIndex = uint8_t(evalIndex + 4);
    }
}

void PPU::loadLineSprites() {
    std::memcpy(lineSprites, secondaryOam, size_t(4) * evalCount);
    spriteZeroLine = spriteZeroNext;
    lineSpriteCount = int8_t(evalCount);
    activeMask = 0;
    for (int i = 0; i < 8; ++i) spriteX[i] = nextSpriteX[i];
    for (int i = 0; i < evalCount; ++i) spriteColumn[i] = 7;
}

void PPU::tickSprites() {
    // A local mask: the byte-sized stores below could alias the member.
    uint8_t active = activeMask;
    for (int i = 0; i < lineSpriteCount; ++i) {
        const uint8_t bit = uint8_t(1u << i);
        if (active & bit) --spriteColumn[i];
        const int32_t x = spriteX[i];
        if (x == 0) {
            active |= bit;
        } else if (x < -7) {
            // Past its eight columns: stop counting, so lines with rendering
            // off (no reload at dot 257) cannot run the counter down forever.
            active &= uint8_t(~bit);
            continue;
        }
        spriteX[i] = x - 1;
    }
    activeMask = active;
}

uint8_t PPU::spritePixel(int& index) const {
    const uint8_t ctrl = *ppuCtrl;
    const bool tall = (ctrl & 0x20) != 0;
    // Lowest-numbered opaque sprite wins, so stop at the first one found.
    for (int i = 0; i < lineSpriteCount; ++i) {
        if (!((activeMask >> i) & 1)) continue;
        const uint8_t top = lineSprites[4 * i];
        const uint8_t tile = lineSprites[4 * i + 1];
        const uint8_t attr = lineSprites[4 * i + 2];
        const int table = tall ? (tile & 1) : ((ctrl >> 3) & 1);
        const int first = tall ? (tile & 0xFE) : tile;
        uint8_t row = uint8_t(scanline - top);
        if (attr & 0x80) row = uint8_t((tall ? 15 : 7) - row);
        const int address = table * 0x1000 + ((first + (row >> 3)) & 0xFF) * 16 + (row & 7);
        int col = spriteColumn[i];
        if (attr & 0x40) col = 7 - col;
        const uint8_t pixel = uint8_t((((vram[address + 8] >> col) & 1) << 1) | ((vram[address] >> col) & 1));
        if (pixel != 0) {
            index = i;
            return pixel;
        }
    }
    index = 0;
    return 0;
}
