// The PPU in a snapshot. Video memory is stored but for the pattern tables
// of CHR ROM (the cartridge's windows hold their banks); the picture being
// drawn only as far as it is drawn; the finished picture, as palette values
// in runs, only when asked for, and the RGB picture is redrawn from it.
#include <algorithm>
#include <cstring>

#include "cartridge/cartridge.h"
#include "cpu/cpu.h"
#include "ppu/ppu.h"
#include "serial/state_stream.h"

namespace {

constexpr size_t kPixels = size_t(PPU::kWidth) * PPU::kHeight;
constexpr uint8_t kColours = 64;
// The mirrors every access folds away from.
constexpr uint16_t kNametableMirrors = 0x3000, kNametableMirrorsEnd = 0x3F00;
constexpr uint16_t kPaletteMirrors = 0x3F20, kPaletteMirrorsEnd = 0x4000;

}  // namespace

bool PPU::mirrorsInUse() const {
    const auto used = [this](uint16_t from, uint16_t to) {
        return std::any_of(vram.begin() + from, vram.begin() + to, [](uint8_t b) { return b != 0; });
    };
    return used(kNametableMirrors, kNametableMirrorsEnd) || used(kPaletteMirrors, kPaletteMirrorsEnd);
}

int32_t PPU::rowsKept(int32_t line, int32_t dot) {
    if (line < kHeight) return line + (dot > 0 ? 1 : 0);
    // Complete, and published at line 241, dot 1.
    if (line == kHeight || (line == kHeight + 1 && dot <= 1)) return kHeight;
    return 0;
}

void PPU::serialize(StateStream& stream) {
    // Each mode gets its own copy of the fields (StateStream::withMode).
    stream.withMode([&](auto& s) __attribute__((always_inline)) {
        if (s.saving() && owedDots != 0) throw std::logic_error("PPU snapshot with owed dots");
        s.tag("PPU ");
        // --- video memory ---
        if (s.version() == 1) {
            s.io(vram);
        } else {
            s.bytes(&vram[0x2000], 0x1000, "nametables");
            s.bytes(&vram[0x3F00], 0x20, "palette RAM");
            if (cartridge && cartridge->chrSize == 0) s.zeroRuns(&vram[0], 0x2000, "CHR RAM");
            // Stored only when something is there, so equal machines give equal bytes.
            bool stray = s.writing() && (strayBytes || vramShared) && mirrorsInUse();
            stray = s.io(stray, "PPU mirror bytes stored");
            if (stray) {
                s.zeroRuns(&vram[kNametableMirrors], kNametableMirrorsEnd - kNametableMirrors,
                           "nametable mirror bytes");
                s.zeroRuns(&vram[kPaletteMirrors], kPaletteMirrorsEnd - kPaletteMirrors, "palette mirror bytes");
            } else if (s.loading() && (strayBytes || vramShared)) {
                std::fill(vram.begin() + kNametableMirrors, vram.begin() + kNametableMirrorsEnd, 0);
                std::fill(vram.begin() + kPaletteMirrors, vram.begin() + kPaletteMirrorsEnd, 0);
            }
            if (s.loading()) strayBytes = stray;
        }
        s.io(oam);
        if (s.loading()) oamWritten();

        // --- internal registers ---
        s.io(v);
        s.io(t);
        s.io(fineX, 0, 7, "PPU fine X scroll");
        s.io(w);
        s.io(oamAddr);
        s.io(readBuffer);
        serializeLayout(s);
        // Once the CHR bank attaching showed; the windows hold the banks now.
        int32_t formerChrBank = 0;
        s.io(formerChrBank, 0, 1 << 24, "PPU CHR bank");

        // --- position and vertical blank ---
        const int32_t line = s.io(scanline, 0, kLinesPerFrame - 1, "PPU scanline");
        const int32_t dot = s.io(cycle, 0, kDotsPerLine - 1, "PPU dot");
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
        int32_t x[8];
        for (int i = 0; i < 8; ++i) x[i] = s.io(spriteX[i], -8, 255, "sprite X counter");
        const uint8_t active = s.io(activeMask, "sprites drawing");
        s.require((active >> count) == 0, "an inactive sprite slot is marked as drawing");
        for (int i = 0; i < 8; ++i) {
            const int8_t column = s.io(spriteColumn[i], -1, 7, "sprite column");
            // The counters only reach these: a drawing sprite's column follows its
            // X counter down to 0, a waiting one has all eight columns ahead. Any
            // other pair would draw from a column that is not there.
            const bool drawing = (active >> i) & 1;
            s.require(i >= count || (drawing ? column == 8 + x[i] : (x[i] < 0 || column == 7)),
                      "a sprite's column does not match its X counter");
        }
        s.io(spriteZeroLine);
        s.io(spriteTicks, 0, kSpriteTickCap, "sprite ticks");
        s.io(spritesStale);
        s.io(lineSpriteXMin, 0, 255, "line sprites' smallest X");
        s.io(lineSpriteXMax, 0, 255, "line sprites' largest X");

        // --- pictures ---
        std::unique_lock<std::mutex> guard(frameLock, std::defer_lock);
        if (s.version() == 1) {
            s.bytesBelow(colorIndexCache.data(), kPixels, kColours, "picture being drawn");
            if (s.loading()) guard.lock();  // readers of the finished picture hold it
            s.bytesBelow(displayColorIndex.data(), kPixels, kColours, "finished picture");
            s.io(displayPublished);
            if (s.loading()) displayEmphasised = false;
            if (s.loading() && rgbFrames) paintDisplay();
        } else {
            s.rows(colorIndexCache.data(), size_t(rowsKept(line, dot)) * kWidth, kWidth, kColours,
                   "picture being drawn");
            // From vertical blank to the frame's end the finished picture is this
            // frame's, which the frames after a restore must show: it travels.
            const bool thisFrames = line > kHeight + 1 || (line == kHeight + 1 && dot >= 2);
            bool stored = s.picture || thisFrames;
            stored = s.io(stored, "finished picture stored");
            if (stored) serializePicture(s, guard);
        }
        if (guard.owns_lock()) guard.unlock();

        if (s.hardware) {
            s.tag("PPUH");
            s.io(shortFrame);
            s.io(evalLine);
            s.io(evalYInRange);
            s.io(evalFound, 0, 8, "sprites the evaluation found");
            // A found sprite's copy ends at most eight dots past the last one evaluated.
            s.io(evalDot, kEvaluationStart, 256 + 2, "sprite evaluation dot");
            s.io(evalCopy, 0, 3, "sprite bytes left to copy");
            s.io(evalLast);
            s.io(ioLatch);
            // Far enough from any dot count that no fading sum overflows.
            for (int64_t& at : latchDrivenAt) s.io(at, -(int64_t(1) << 52), int64_t(1) << 52, "I/O latch bit time");
            serializeEmphasis(s);
            if (s.loading()) dataReadDot = -1000;
        } else if (s.loading()) {
            clearHardwareState();
        }

        if (s.loading()) {
            totalDots = 3 * int64_t(cpu->cycles);
            owedDots = 0;
            heldValid = false;
            locateNextEvent();
        }
        serializeAddressLine(s);
    });
}

void PPU::serializeLayout(StateStream& s) {
    s.io(mirroring, Horizontal, SingleScreen, "PPU mirroring mode");
    s.io(singleScreenPage, 0, 1, "one-screen page");
    s.io(patternTablesShared);
}

void PPU::serializePicture(StateStream& s, std::unique_lock<std::mutex>& guard) {
    const bool shown = displayPublished;
    const bool shownEmphasised = displayEmphasised;
    bool published = displayPublished;
    published = s.io(published, "finished picture published");
    if (s.loading()) guard.lock();  // readers of the finished picture hold it
    // The hardware timing's picture carries its emphasis, a value a pixel.
    bool emphasised = s.hardware && published && displayEmphasised;
    if (s.hardware && published) {
        emphasised = s.io(emphasised, "finished picture emphasised");
        if (emphasised && s.loading()) displayEmphasis.resize(kPixels);
        if (emphasised) s.rows(displayEmphasis.data(), kPixels, kWidth, 8, "finished picture's emphasis");
    }
    if (s.loading()) displayEmphasised = emphasised;
    if (published && s.loading() && rgbFrames && shown && !emphasised && !shownEmphasised) {
        // Over a picture on show: redraw only the groups of pixels that differ.
        static thread_local std::array<uint8_t, kPixels> restored;
        s.rows(restored.data(), kPixels, kWidth, kColours, "finished picture");
        repaintChanges(displayColorIndex.data(), restored.data(), displayFrame.data());
    } else if (published) {
        s.rows(displayColorIndex.data(), kPixels, kWidth, kColours, "finished picture");
        if (s.loading() && rgbFrames)
            paintFrameEmphasis(displayColorIndex.data(), shownEmphasis(), displayFrame.data());
    } else if (s.loading() && rgbFrames) {
        displayFrame.fill(0);
    }
    if (s.loading()) displayPublished = published;
}

void PPU::paintDisplay() {
    if (displayPublished) paintFrameEmphasis(displayColorIndex.data(), shownEmphasis(), displayFrame.data());
    else displayFrame.fill(0);
}

void PPU::setRgbFrames(bool on) {
    if (on == rgbFrames) return;
    payOwedDots();
    rgbFrames = on;
    if (!on) return;
    std::lock_guard<std::mutex> guard(frameLock);
    paintDisplay();
}

// The emphasis of the picture being drawn: its start and changes, each at a
// later pixel than the one before.
void PPU::serializeEmphasis(StateStream& s) {
    s.io(emphasisStart, 0, 7, "emphasis at the frame's start");
    uint32_t count = uint32_t(emphasisChanges.size());
    count = s.io(count, 0, uint32_t(kPixels), "emphasis changes");
    std::vector<EmphasisChange> changes;
    if (s.loading()) changes.reserve(count);
    int32_t previous = -1;
    for (uint32_t i = 0; i < count; ++i) {
        EmphasisChange change = s.writing() ? emphasisChanges[i] : EmphasisChange{0, 0};
        const uint16_t pixel = s.io(change.pixel, 0, kPixels - 1, "emphasis change's pixel");
        s.require(int32_t(pixel) > previous, "emphasis changes are out of picture order");
        previous = pixel;
        s.io(change.bits, 0, 7, "emphasis change's bits");
        if (s.loading()) changes.push_back(change);
    }
    if (s.loading()) emphasisChanges.swap(changes);
}
