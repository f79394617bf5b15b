// The PPU in a snapshot. The pictures are stored as palette values; the RGB
// picture follows from colorTable, so it is redrawn on a restore.
#include <cstring>

#include "cpu/cpu.h"
#include "ppu/ppu.h"
#include "state/state_stream.h"

namespace {

constexpr size_t kPixels = size_t(PPU::kWidth) * PPU::kHeight;
constexpr uint8_t kColours = 64;

}  // namespace

void PPU::serialize(StateStream& s) {
    if (s.saving() && owedDots != 0) throw std::logic_error("PPU snapshot with owed dots");
    s.tag("PPU ");
    // --- video memory ---
    s.io(vram);
    s.io(oam);

    // --- internal registers ---
    s.io(v);
    s.io(t);
    s.io(fineX, 0, 7, "PPU fine X scroll");
    s.io(w);
    s.io(oamAddr);
    s.io(readBuffer);
    s.io(mirroring, Horizontal, SingleScreen, "PPU mirroring mode");
    s.io(singleScreenPage, 0, 1, "one-screen page");
    s.io(patternTablesShared);
    s.io(chrBank, 0, 1 << 24, "PPU CHR bank");

    // --- position and vertical blank ---
    const int32_t line = s.io(scanline, 0, kLinesPerFrame - 1, "PPU scanline");
    s.io(cycle, 0, kDotsPerLine - 1, "PPU dot");
    s.io(vblank);
    s.io(nmiOccurred);
    s.io(suppressVblank);
    s.io(suppressNmi);
    s.io(frameCount, 0, int64_t(1) << 47, "frame count");

    // --- background ---
    s.io(renderingEnabled);
    const bool after = s.io(postRender);
    // The picture lines are drawn only before line 240.
    s.require(after == (line >= 240), "the PPU's post-render flag does not match its scanline");
    s.io(ntAddress, 0, 0x2FFF, "PPU nametable address");
    s.io(atAddress, 0, 0x2FFF, "PPU attribute address");
    s.io(patternLow, 0, 0xFF, "PPU pattern latch");
    s.io(patternHigh, 0, 0xFF, "PPU pattern latch");
    s.io(tileDot, 0, 7, "PPU tile column");

    // --- sprite evaluation for the next line ---
    s.io(secondaryOam);
    const uint8_t index = s.io(evalIndex);
    s.require((index & 3) == 0, "the sprite evaluation index is not a sprite's first byte");
    s.io(evalByte, 0, 3, "sprite overflow byte");
    s.io(evalDone);
    s.io(evalCount, 0, 8, "sprites found for the next line");
    s.io(nextSpriteX, 0, 255, "next line's sprite X");
    s.io(spriteZeroNext);

    // --- sprites of the current line ---
    s.io(lineSprites);
    const int8_t count = s.io(lineSpriteCount, 0, 8, "line sprite count");
    s.io(spriteX, -8, 255, "sprite X counter");
    const uint8_t active = s.io(activeMask);
    s.require((active >> count) == 0, "an inactive sprite slot is marked as drawing");
    s.io(spriteColumn, -1, 7, "sprite column");
    s.io(spriteZeroLine);
    s.io(spriteTicks, 0, kSpriteTickCap, "sprite ticks");
    s.io(spritesStale);
    s.io(lineSpriteXMin, 0, 255, "line sprites' smallest X");
    s.io(lineSpriteXMax, 0, 255, "line sprites' largest X");

    // --- frames ---
    s.bytesBelow(colorIndexCache.data(), kPixels, kColours, "picture being drawn");
    std::unique_lock<std::mutex> guard(frameLock, std::defer_lock);
    if (s.loading()) guard.lock();  // readers of the finished picture hold it
    s.bytesBelow(displayColorIndex.data(), kPixels, kColours, "finished picture");
    s.io(displayPublished);

    if (s.loading()) {
        if (rgbFrames) paintDisplay();
        guard.unlock();
        totalDots = 3 * int64_t(cpu->cycles);
        owedDots = 0;
        heldValid = false;
        locateNextEvent();
    }
}

void PPU::paintDisplay() {
    if (displayPublished) paintFrame(displayColorIndex.data(), displayFrame.data());
    else displayFrame.fill(0);
}

void PPU::setRgbFrames(bool on) {
    if (on == rgbFrames) return;
    sync();
    rgbFrames = on;
    if (!on) return;
    std::lock_guard<std::mutex> guard(frameLock);
    paintDisplay();
}
