// The dot-by-dot renderer: frame position, vertical blank, background
// fetches, the scroll counters in v, pixel output and the finished frame.
#include <cstring>

#include "cartridge/mappers/mapper.h"
#include "cpu/cpu.h"
#include "ppu/ppu.h"
#include "ppu/ppu_inline.h"

void PPU::processDot(bool count) {
    if (spritesStale) bringSpritesUpToDate();
    const uint8_t mask = *ppuMask;
    renderingEnabled = (mask & 0x18) != 0;

    if (!postRender) {
        renderDot(mask);
    } else if (cycle == 1) {
        blankingDot();
    } else if (scanline == 261) {
        if (hardware) {
            preRenderHardware(cycle, cycle, renderingEnabled);
            if (cycle == 339 && shortFrame) cycle = 340;  // the skipped dot
        }
        if (cycle >= 280 && cycle <= 304 && renderingEnabled) v = uint16_t((v & ~0x7BE0) | (t & 0x7BE0));
    }

    if (count) ++totalDots;
    if (++cycle == kDotsPerLine) {
        cycle = 0;
        if (++scanline == kLinesPerFrame) {
            ++frameCount;
            scanline = 0;
            postRender = false;
        }
    }
    if (scanline * kDotsPerLine + cycle > eventIndex || (scanline == 0 && cycle == 0)) locateNextEvent();
    if (mapperCountsDots) mapper->onDot(busContext);
}

// One dot of lines 0-239.
void PPU::renderDot(uint8_t mask) {
    const int32_t c = cycle;
    if (uint32_t(c - 1) < 256u) {
        const int x = c - 1;
        if (lineSpriteCount > 0) tickSprites();
        if ((x & 7) == 0 && renderingEnabled) {
            fetchBackground(v);
            tileDot = fineX;
        }
        if (VELKORA_UNLIKELY(hardware)) {
            if (renderingEnabled) evaluateHardware(c);
        } else if (c == 1 && (mask & 0x10)) {
            resetEvaluation();
        } else if (c >= 129 && renderingEnabled) {
            evaluateSprites();
        }
        if (c == 256 && renderingEnabled) v = fineYIncrement(v);
        outputPixel(x, mask);
        if (++tileDot == 8) {
            // Fine X scroll draws the tail of each group from the next tile.
            tileDot = 0;
            fetchBackground(coarseXIncrement(v));
        }
        if ((c & 7) == 0 && c != 256 && renderingEnabled) v = coarseXIncrement(v);
    } else if (c == 257) {
        if (renderingEnabled) {
            v = uint16_t((v & ~0x041F) | (t & 0x041F));
            oamAddr = 0;
            loadLineSprites();
        }
    } else if (c == 340 && scanline == 239) {
        postRender = true;
    }
}

void PPU::startVblank() {
    vblank = true;
    publishFrame();
    if (!suppressNmi) {
        nmiOccurred = true;
        if (hardware && (*ppuCtrl & 0x80)) cpu->nmiLineRose(dotAt(241, 1));
    }
    if (!suppressVblank) *ppuStatus |= 0x80;
}

void PPU::endVblank() {
    if (hardware && nmiOccurred && (*ppuCtrl & 0x80)) cpu->nmiLineFell(dotAt(261, 1));
    nmiOccurred = false;
    suppressNmi = false;
    suppressVblank = false;
    *ppuStatus &= 0x1F;
    vblank = false;
}

void PPU::publishFrame() {
    std::lock_guard<std::mutex> guard(frameLock);
    if (VELKORA_UNLIKELY(hardware || displayEmphasised) && publishEmphasis()) {
        displayPublished = true;
        return;
    }
    if (!rgbFrames) {
        std::memcpy(displayColorIndex.data(), colorIndexCache.data(), displayColorIndex.size());
    } else if (displayPublished) {
        repaintChanges(displayColorIndex.data(), colorIndexCache.data(), displayFrame.data());
    } else {
        std::memcpy(displayColorIndex.data(), colorIndexCache.data(), displayColorIndex.size());
        paintFrame(displayColorIndex.data(), displayFrame.data());
    }
    displayPublished = true;
}

void PPU::fetchBackground(uint16_t address) {
    heldValid = false;
    ntAddress = nameAddress(address);
    atAddress = attributeAddress(address);
    if (VELKORA_UNLIKELY(boardTiles())) return fetchBoardTile(address);
    const uint8_t tile = vram[foldNametable(ntAddress)];
    // Fine Y always comes from v; the pattern address stays below $2000.
    const uint16_t p = uint16_t(((*ppuCtrl & 0x10) ? 0x1000 : 0) | (tile << 4) | ((v >> 12) & 7));
    patternLow = vram[p];
    patternHigh = vram[p + 8];
    // With rendering off the PPU fetches nothing a board could see.
    if (renderingEnabled) {
        notePattern(p);
        notePattern(uint16_t(p + 8));
    }
}

void PPU::outputPixel(int x, uint8_t mask) {
    const int b = 7 - tileDot;
    const uint8_t bgPixel = uint8_t((((patternHigh >> b) & 1) << 1) | ((patternLow >> b) & 1));

    // Sprites can only show or hit with PPUMASK bit 4 set, so skip them otherwise.
    int spIndex = 0;
    const uint8_t spPixel = (activeMask != 0 && (mask & 0x10)) ? spritePixel(spIndex) : 0;

    uint16_t address = 0x3F00;
    bool spriteShows = false;
    if (spPixel != 0) {
        const uint8_t attr = lineSprites[4 * spIndex + 2];
        if (spriteZeroLine && spIndex == 0 && bgPixel != 0 && (mask & 0x18) == 0x18 && (!hardware || hitShows(x, mask)))
            *ppuStatus |= 0x40;
        spriteShows = bgPixel == 0 || !(attr & 0x20);
        if (spriteShows && (x >= 8 || (mask & 0x04))) address = uint16_t(0x3F10 + 4 * (attr & 3) + spPixel);
    }
    if (!spriteShows && bgPixel != 0 && (mask & 0x08) && (x >= 8 || (mask & 0x02))) {
        const uint8_t attribute = vram[foldNametable(atAddress)];
        const int shift = 4 * ((ntAddress >> 6) & 1) + 2 * ((ntAddress >> 1) & 1);
        const int palette = VELKORA_UNLIKELY(boardTiles()) ? tileSupplier->latchedPalette : (attribute >> shift) & 3;
        address = uint16_t(0x3F00 + 4 * palette + bgPixel);
    }

    // Palette RAM keeps all eight bits; the colour table has 64 entries, and
    // greyscale (PPUMASK bit 0) keeps only their first column.
    const uint8_t colour = vram[foldPalette(address)] & ((mask & 0x01) ? kGreyscale : 0x3F);
    const int i = scanline * kWidth + x;
    colorIndexCache[i] = colour;
}
