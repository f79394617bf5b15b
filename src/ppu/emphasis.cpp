// Colour emphasis in the hardware timing. PPUMASK changes arrive between
// dots (its writes pay the owed dots first), so the frame's emphasis is its
// value at the first pixel and the pixels where a write changed it; the
// picture is published with one emphasis value per pixel, from which the RGB
// picture, observations and snapshots take it.
#include <algorithm>
#include <cstring>

#include "ppu/ppu.h"

void PPU::noteEmphasis(uint8_t bits, uint8_t before) {
    if (bits == before) return;
    const int32_t line = scanline;
    if (line < kHeight) {
        // Pixel x is drawn by dot x + 1: the write changes pixels from cycle - 1 on.
        const int32_t pixel = line * kWidth + std::clamp(cycle - 1, 0, int32_t(kWidth));
        if (pixel < kWidth * kHeight) {
            if (!emphasisChanges.empty() && emphasisChanges.back().pixel == pixel) {
                emphasisChanges.back().bits = bits;
            } else {
                emphasisChanges.push_back({uint16_t(pixel), bits});
            }
            return;
        }
    }
    // Past the picture the change is the next frame's start, which the
    // publish at line 241, dot 1 takes from PPUMASK; after it, it is noted here.
    if (line > kHeight + 1 || (line == kHeight + 1 && cycle >= 2)) emphasisStart = bits;
}

bool PPU::publishEmphasis() {
    const bool emphasised = hardware && (emphasisStart != 0 || !emphasisChanges.empty());
    if (emphasised) {
        displayEmphasis.resize(size_t(kWidth) * kHeight);
        uint8_t bits = emphasisStart;
        size_t from = 0;
        for (const EmphasisChange& change : emphasisChanges) {
            std::memset(&displayEmphasis[from], bits, change.pixel - from);
            from = change.pixel;
            bits = change.bits;
        }
        std::memset(&displayEmphasis[from], bits, displayEmphasis.size() - from);
    }
    const bool repaint = emphasised || displayEmphasised;
    displayEmphasised = emphasised;
    if (hardware) {
        emphasisStart = uint8_t(*ppuMask >> 5);
        emphasisChanges.clear();
    }
    if (!repaint) return false;
    std::memcpy(displayColorIndex.data(), colorIndexCache.data(), displayColorIndex.size());
    if (rgbFrames) paintFrameEmphasis(displayColorIndex.data(), shownEmphasis(), displayFrame.data());
    return true;
}
