// The bulk renderer: the dots of one catch-up processed a line segment at a
// time. Nothing outside the PPU can change its inputs (registers, vram, oam,
// PPUCTRL, PPUMASK) in the middle of a catch-up, so a segment may do its dots
// in any order that leaves the state stepDot would leave at its end.
#include <algorithm>

#include "cartridge/mappers/mapper.h"
#include "ppu/ppu.h"

int64_t PPU::processAcrossLines(int64_t dots) {
    if (dots <= 0) return 0;
    const int64_t frame = frameCount;
    if (mapperDotCycle < 0) {
        // A board that works on every dot must see every dot.
        int64_t done = 0;
        while (done < dots && frameCount == frame) {
            processDot(false);
            ++done;
        }
        return done;
    }
    const uint8_t mask = *ppuMask;
    const bool rendering = (mask & 0x18) != 0;
    renderingEnabled = rendering;
    int32_t hookCycle = mapperDotCycle;

    int64_t left = dots;
    while (left > 0) {
        const int32_t c = cycle;
        // One past the last dot of this segment; segments never cross a line.
        int32_t stop;
        if (!postRender) {
            // Dot 0 draws nothing, so it goes with dots 1-256; dot 257's work
            // with the idle dots after it.
            stop = c <= 256 ? 257 : kDotsPerLine;
        } else {
            stop = c <= 1 ? c + 1 : kDotsPerLine;
            // The hardware's pre-render line stops where dot 340 may be skipped.
            if (scanline == 261 && hardware && c < 340)
                stop = std::min(stop, c <= kShortFrameDot ? kShortFrameDot + 1 : 340);
        }
        // A hook that reads nothing the dots draw (MMC3's, before dot 256,
        // counts the line) splits no segment that goes on past it in the
        // design timing: the dots are drawn and the hook called after, as
        // at its own dot, so lines stay whole.
        bool hookInside = false;
        if (c < hookCycle && stop > hookCycle) {
            hookInside = hookIgnoresDrawing && !hardware && !postRender && left > hookCycle - c;
            if (!hookInside) stop = hookCycle;
        }
        if (stop - c > left) stop = c + int32_t(left);
        const int32_t last = stop - 1;

        if (!postRender) {
            if (c <= 256) {
                if (last >= 1) renderSpan(c == 0 ? 1 : c, last, mask);
            } else {
                if (c == 257 && rendering) {
                    v = uint16_t((v & ~0x041F) | (t & 0x041F));
                    oamAddr = 0;
                    loadLineSprites();
                }
                if (last == 340 && scanline == 239) postRender = true;
            }
        } else if (c == 1) {
            blankingDot();
        } else if (scanline == 261) {
            if (hardware) preRenderHardware(c, last, rendering);
            // The copy is the same on each of dots 280-304: once is enough.
            if (rendering && c <= 304 && last >= 280) v = uint16_t((v & ~0x7BE0) | (t & 0x7BE0));
            if (last == 339 && shortFrame && hardware) {
                // The skipped dot: the line ends here, and `left` pays for no dot 340.
                stop = kDotsPerLine;
                ++left;
            }
        }

        left -= stop - c;
        if (hookInside) {
            cycle = hookCycle;
            mapper->onDot(busContext);
            hookCycle = mapperDotCycle;
        }
        if (stop == kDotsPerLine) {
            cycle = 0;
            if (++scanline == kLinesPerFrame) {
                ++frameCount;
                scanline = 0;
                postRender = false;
            }
        } else {
            cycle = stop;
        }
        if (cycle == hookCycle) {
            mapper->onDot(busContext);
            // A12's rises in the hardware timing move the hook, and boards may.
            hookCycle = mapperDotCycle;
        }
        // A hook that now needs every dot: the caller goes on dot by dot.
        if (frameCount != frame || hookCycle < 0) break;
    }
    locateNextEvent();
    return dots - left;
}

// Dots c..last of the hardware's pre-render line: what the design leaves out
// (the horizontal copy and OAMADDR cleared at dot 257), and the choice at dot
// 338 of whether an odd frame skips dot 340.
void PPU::preRenderHardware(int32_t c, int32_t last, bool rendering) {
    if (rendering && c <= 257 && last >= 257) {
        v = uint16_t((v & ~0x041F) | (t & 0x041F));
        oamAddr = 0;
    }
    if (c <= kShortFrameDot && last >= kShortFrameDot) shortFrame = rendering && (frameCount & 1);
}

// The dots after which the CPU may sample something new: vertical blank's
// start and end (nmiOccurred, PPUSTATUS), the frame's last dot (the
// per-frame callback) and the dot before the mapper's hook cycle (IRQs);
// every dot when the hook works on each.
void PPU::locateNextEvent() {
    static constexpr int32_t kVblankStart = 241 * kDotsPerLine + 1;
    static constexpr int32_t kVblankEnd = 261 * kDotsPerLine + 1;
    static constexpr int32_t kFrameEnd = kLinesPerFrame * kDotsPerLine - 1;
    if (mapperDotCycle < 0) {
        // A hook that must see every dot: no dot may wait.
        eventIndex = -1;
        return;
    }
    const int32_t here = scanline * kDotsPerLine + cycle;
    // The hardware's odd frames may end a dot early (the skipped dot), so its
    // frames end at dot 339 as far as events go (dot 340 is one of its own).
    int32_t next = kFrameEnd - int32_t(hardware);
    if (here <= kVblankStart) next = kVblankStart;
    else if (here <= kVblankEnd) next = kVblankEnd;
    if (mapperDotCycle >= 0 && mapperDotCycle < kDotsPerLine) {
        const int32_t hookDot = mapperDotCycle == 0 ? kDotsPerLine - 1 : mapperDotCycle - 1;
        const int32_t line = cycle <= hookDot ? scanline : scanline + 1;
        next = std::min(next, line * kDotsPerLine + hookDot);
    }
    eventIndex = next;
}
