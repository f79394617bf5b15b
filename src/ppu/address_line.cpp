// PPU address line A12 as a board clocked by its rises sees it (MMC3's
// scanline counter), in the hardware timing.
//
// A12 follows the PPU's bus. On lines 0-239 and the pre-render line, with
// rendering on, the PPU fetches in groups of four dots from dot 1: a
// nametable and an attribute byte ($2xxx, A12 low), then a tile's two
// pattern bytes, whose table sets A12: the background's (PPUCTRL bit 4) on
// dots 1-256 and 321-336, the sprites' on dots 257-320 (PPUCTRL bit 3, or
// with 8 x 16 sprites bit 0 of each tile, an empty slot fetching tile $FF).
// Dots 337-340 fetch nametable bytes, and dot 0 of lines 0-239 already shows
// the next background pattern address. Otherwise the PPU is idle and its bus
// shows v, so that PPUADDR writes and PPUDATA accesses move A12.
//
// The board counts a rise only after A12 stayed low over some falling edges
// of M2, which falls at the end of every CPU cycle (after dot 3c + 2). The
// fetches' four-dot gaps never reach three of them: a line clocks MMC3 once,
// or more often only when 8 x 16 sprites take both tables.
//
// Rather than follow the bus dot by dot, the rises are worked out from
// these inputs in runs of high dots: from where the inputs last changed, the
// next rise that passes the filter is found and the board's hook set there,
// so the renderer still draws whole spans.
#include <algorithm>
#include <array>
#include <cstring>

#include "cartridge/mappers/mapper.h"
#include "ppu/ppu.h"
#include "serial/state_stream.h"

namespace {

constexpr int32_t kLine = PPU::kDotsPerLine;
constexpr int64_t kFrame = int64_t(PPU::kDotsPerLine) * PPU::kLinesPerFrame;
constexpr int32_t kFirstIdleLine = 240;
constexpr int32_t kPrerenderLine = PPU::kLinesPerFrame - 1;
// A12 last high so long ago that any rise passes the filter.
constexpr int64_t kLongAgo = INT64_MIN / 4;
// A snapshot keeps how long A12 has been low, up to this.
constexpr int32_t kLowDotsKept = 1 << 20;

int64_t floorDiv3(int64_t value) { return value >= 0 ? value / 3 : -((2 - value) / 3); }

// What of PPUCTRL and PPUMASK a plan follows: the tables, the sprite size, rendering.
uint8_t planInputs(uint8_t ctrl, uint8_t mask) { return uint8_t((ctrl & 0x38) | ((mask & 0x18) ? 1 : 0)); }

int64_t positionOf(const PPU& ppu) {
    return (ppu.frameCount - ppu.a12BaseFrame) * kFrame + ppu.scanline * kLine + ppu.cycle;
}

// The high runs of a fetching line after dot 0, by the background's table
// (bit 8) and the sprite slots' (bits 0-7), in dot order.
template <class Visit>
constexpr void forEachRun(bool background, uint8_t sprites, Visit&& visit) {
    // Tiles at dots 1 + 8k fetch their pattern bytes on dots 5 + 8k to 8 + 8k.
    for (int32_t k = 0; background && k < 32; ++k) visit(5 + 8 * k, 8 + 8 * k);
    for (int32_t k = 0; k < 8; ++k) {
        if ((sprites >> k) & 1) visit(261 + 8 * k, 264 + 8 * k);
    }
    if (background) {
        visit(325, 328);
        visit(333, 336);
    }
}

bool highAt(bool dot0, bool background, uint8_t sprites, int32_t dot) {
    if (dot == 0) return dot0;
    const int32_t phase = (dot - 1) & 7;
    if (dot >= 257 && dot <= 320) return phase >= 4 && ((sprites >> ((dot - 257) >> 3)) & 1);
    return background && phase >= 4 && dot <= 336;
}

// Such a line's runs summed up: where the first starts, where the last
// ends, and the later ones that follow more than four low dots. The gaps
// are four dots, over which M2 falls at most twice, or twelve and more,
// over which it falls at least three times: for filters of two or three
// falls the rises among them do not depend on where the line lies.
struct LinePattern {
    int16_t first = -1;
    int16_t last = -1;
    uint8_t riseCount = 0;
    int16_t rises[8] = {};
};

constexpr std::array<LinePattern, 512> makeLinePatterns() {
    std::array<LinePattern, 512> table{};
    for (int32_t i = 0; i < 512; ++i) {
        LinePattern& p = table[size_t(i)];
        forEachRun(i >= 256, uint8_t(i), [&p](int32_t s, int32_t e) {
            if (p.first < 0) p.first = int16_t(s);
            else if (s - p.last - 1 > 4) p.rises[p.riseCount++] = int16_t(s);
            p.last = int16_t(e);
        });
    }
    return table;
}

constexpr std::array<LinePattern, 512> kLinePatterns = makeLinePatterns();

}  // namespace

// A12 from a position on, for one set of inputs: the runs of high dots in
// order, the last high dot seen (prevEnd), and the first rise that passes
// the filter (found).
struct AddressLine {
    PPU& ppu;
    uint8_t ctrl;
    uint8_t mask;
    // Absolute dot minus position, for M2's phase.
    int64_t offset;
    int32_t filter;
    // Only the last high dot is wanted, no rise (the line up to an access).
    bool tracking = false;
    int64_t q = 0;
    int64_t prevEnd = kLongAgo;
    int64_t found = -1;

    bool rendering() const { return (mask & 0x18) != 0; }
    bool idleHigh() const { return (ppu.v & 0x1000) != 0; }
    bool backgroundHigh() const { return (ctrl & 0x10) != 0; }

    // Whether A12, low from prevEnd + 1 to s - 1, saw enough M2 falls.
    bool passes(int64_t s) const {
        if (prevEnd <= kLongAgo) return true;
        const int64_t first = prevEnd + 1 + offset;
        const int64_t last = s - 1 + offset;
        return floorDiv3(last) - floorDiv3(first) >= filter;
    }

    // High from s to e; true when that is a rise to count.
    bool run(int64_t s, int64_t e) {
        if (e < q) return false;
        s = std::max(s, q);
        if (!tracking && s > prevEnd + 1 && passes(s)) {
            found = s;
            return true;
        }
        prevEnd = std::max(prevEnd, e);
        return false;
    }

    // The first eight sprites in range of `line` (the evaluation there),
    // bit k for slot k fetching from $1000: 8 x 16 sprites take the table
    // from the tile's bit 0, and empty slots fetch tile $FF. Worked out for
    // every line at once, again only when OAM changed.
    uint8_t tallSprites(int32_t line) const { return ppu.a12TallSprites[size_t(line)]; }
    // Before a search with 8 x 16 sprites.
    void seeOam() {
        if (!(ctrl & 0x20)) return;
        if (!ppu.a12TallSpritesMade || std::memcmp(ppu.a12OamSeen.data(), ppu.oam.data(), ppu.oam.size()) != 0) {
            uint8_t found8[kFirstIdleLine] = {};
            std::array<uint8_t, kFirstIdleLine>& tables = ppu.a12TallSprites;
            tables.fill(0);
            for (size_t i = 0; i < ppu.oam.size(); i += 4) {
                const int32_t top = ppu.oam[i];
                const uint8_t table = ppu.oam[i + 1] & 1;
                for (int32_t l = top; l < std::min(top + 16, kFirstIdleLine); ++l) {
                    if (found8[l] == 8) continue;
                    tables[size_t(l)] = uint8_t(tables[size_t(l)] | (table << found8[l]));
                    ++found8[l];
                }
            }
            for (int32_t l = 0; l < kFirstIdleLine; ++l) tables[size_t(l)] |= uint8_t(0xFF << found8[l]);
            ppu.a12OamSeen = ppu.oam;
            ppu.a12TallSpritesMade = true;
        }
    }

    uint8_t spriteTables(int32_t line, int32_t frame) const {
        if (!(ctrl & 0x20)) return (ctrl & 0x08) ? 0xFF : 0;
        if (line != kPrerenderLine) return tallSprites(line);
        if (ppu.a12PrerenderFrame == ppu.a12BaseFrame + frame) return ppu.a12PrerenderSprites;
        return tallSprites(kFirstIdleLine - 1);
    }

    // From q up to `stop`: true at the first rise that counts. Searching,
    // `stop` is a line's start; tracking, any position.
    bool scan(int64_t stop) {
        if (!rendering()) {
            // Only the CPU moves v: one level from q on.
            if (!idleHigh() || q >= stop) return false;
            return run(q, stop - 1);
        }
        // 8 x 8 sprites and the background both at $0000: only v ever drives A12 high.
        const bool fetchesHigh = backgroundHigh() || (ctrl & 0x28) != 0;
        // Positions stay within a few frames of the base: 32 bits divide them.
        int32_t frame = int32_t(q) / int32_t(kFrame);
        int32_t line = int32_t(q) % int32_t(kFrame) / kLine;
        for (int64_t start = q - int32_t(q) % kLine; start < stop; start += kLine) {
            if (!fetchesHigh && line < kFirstIdleLine - 1) {
                start += (kFirstIdleLine - 1 - line) * kLine;
                line = kFirstIdleLine - 1;
            } else if (line >= kFirstIdleLine && line != kPrerenderLine) {
                if (idleHigh() && run(start, std::min(start + kLine, stop) - 1)) return true;
            } else {
                if (fetchLine(start, frame, line, stop)) return true;
                if (!(ctrl & 0x20) && line < kFirstIdleLine - 1 && q <= start) {
                    // With 8 x 8 sprites lines 0-239 fetch alike, one after the
                    // other alike: a whole line without a rise is followed by more.
                    const int64_t frameStart = start - line * kLine;
                    const int32_t last =
                        std::min<int32_t>(kFirstIdleLine - 1, int32_t((stop - frameStart) / kLine) - 1);
                    if (last > line) {
                        const int64_t skipped = (last - line) * kLine;
                        start += skipped;
                        line = last;
                        if (prevEnd > kLongAgo) prevEnd += skipped;
                    }
                }
            }
            if (++line == PPU::kLinesPerFrame) {
                line = 0;
                ++frame;
            }
        }
        return false;
    }

    bool fetchLine(int64_t start, int32_t frame, int32_t line, int64_t stop) {
        const bool background = backgroundHigh();
        const bool dot0 = line == kPrerenderLine ? idleHigh() : background;
        const uint8_t sprites = spriteTables(line, frame);
        if (!tracking && stop >= start + kLine && (filter == 2 || filter == 3)) {
            const LinePattern& p = kLinePatterns[size_t((background ? 256 : 0) | sprites)];
            if (q <= start) {
                if (dot0 && run(start, start)) return true;
                if (p.first < 0) return false;
                if (start + p.first > prevEnd + 1 && passes(start + p.first)) {
                    found = start + p.first;
                    return true;
                }
                if (p.riseCount > 0) {
                    found = start + p.rises[0];
                    return true;
                }
                prevEnd = std::max(prevEnd, start + p.last);
                return false;
            }
            // From inside a run (just after a rise): the line's own gaps decide.
            const int32_t from = int32_t(q - start);
            if (from >= 2 && prevEnd == q - 1 && highAt(dot0, background, sprites, from - 1)) {
                for (int32_t i = 0; i < p.riseCount; ++i) {
                    if (p.rises[i] >= from) {
                        found = start + p.rises[i];
                        return true;
                    }
                }
                prevEnd = std::max(prevEnd, start + p.last);
                return false;
            }
        }
        // Run by run: up to an access, or from one.
        const auto within = [&](int64_t s, int64_t e) { return s < stop && run(s, std::min(e, stop - 1)); };
        if (dot0 && within(start, start)) return true;
        bool stopped = false;
        forEachRun(background, sprites, [&](int32_t s, int32_t e) {
            if (!stopped && within(start + s, start + e)) stopped = true;
        });
        return stopped;
    }
};

int64_t PPU::dotAtPosition() const {
    // The frame's last dot completes it: the position is then line 0 of the next.
    const int32_t index = scanline * kDotsPerLine + cycle;
    return index < processStartIndex ? dotAt(scanline + kLinesPerFrame, cycle) : dotAt(scanline, cycle);
}

namespace {

// Positions from the start of the origin's frame: none the search divides
// is negative, and all lie within a few frames.
void rebase(PPU& ppu) {
    if (ppu.frameCount - ppu.a12BaseFrame > 2) {
        // Not followed for frames (the hook at line 240 comes once a frame
        // while it is): from this frame's start, any high dot long past.
        ppu.a12BaseFrame = ppu.frameCount;
        ppu.a12Origin = 0;
        ppu.a12LastHigh = kLongAgo;
        ppu.a12OriginTaken = false;
        ppu.a12Next = -1;
        return;
    }
    const int64_t frames = ppu.a12Origin / kFrame;
    if (frames <= 0) return;
    const int64_t shift = frames * kFrame;
    ppu.a12BaseFrame += frames;
    ppu.a12Origin -= shift;
    ppu.a12LastHigh = std::max(ppu.a12LastHigh - shift, kLongAgo);
    if (ppu.a12Next >= 0) ppu.a12Next -= shift;
    ppu.a12NextLastHigh = std::max(ppu.a12NextLastHigh - shift, kLongAgo);
}

// The pre-render line fetches what line 239's evaluation found, before
// vertical blank could rewrite OAM.
void keepPrerenderSprites(PPU& ppu) {
    if (ppu.scanline < kFirstIdleLine || ppu.a12PrerenderFrame == ppu.frameCount) return;
    AddressLine line{ppu, uint8_t(*ppu.ppuCtrl | 0x20), *ppu.ppuMask, 0, 0};
    line.seeOam();
    ppu.a12PrerenderSprites = line.tallSprites(kFirstIdleLine - 1);
    ppu.a12PrerenderFrame = ppu.frameCount;
}

// The last high dot before the current position, as the inputs since the
// origin drew the line.
int64_t lastHighHere(PPU& ppu, int64_t here) {
    if (here == ppu.a12Origin) return ppu.a12OriginTaken ? here - 1 : ppu.a12LastHigh;
    AddressLine line{ppu, *ppu.ppuCtrl, *ppu.ppuMask, 0, 0};
    line.tracking = true;
    line.seeOam();
    line.q = ppu.a12OriginTaken ? ppu.a12Origin + 1 : ppu.a12Origin;
    line.prevEnd = ppu.a12OriginTaken ? ppu.a12Origin : ppu.a12LastHigh;
    line.scan(here);
    return std::min(line.prevEnd, here - 1);
}

}  // namespace

// From the origin (the current position): counts a rise there (or, taking
// up a line it did not follow, only notes it), then finds the next and sets
// the board's hook on it.
static void advance(PPU& ppu, int64_t hereDot, uint8_t ctrl, uint8_t mask, bool count = true) {
    const int64_t here = positionOf(ppu);
    AddressLine line{ppu, ctrl, mask, hereDot - here, ppu.mapper->a12Filter};
    line.seeOam();
    ppu.a12PlanInputs = planInputs(ctrl, mask);
    for (;;) {
        line.q = ppu.a12OriginTaken ? ppu.a12Origin + 1 : ppu.a12Origin;
        line.prevEnd = ppu.a12OriginTaken ? ppu.a12Origin : ppu.a12LastHigh;
        line.found = -1;
        // v drives the bus from line 240 on, changing under rendering: the
        // search stops at each line 240 and looks again from there.
        const int32_t index = int32_t(line.q) % int32_t(kFrame);
        int64_t limit = line.q - index + kFirstIdleLine * kLine;
        if (index >= kFirstIdleLine * kLine) limit += kFrame;
        const bool rose = line.scan(line.rendering() ? limit : line.q + 1);
        if (rose && line.found == here) {
            ppu.a12OriginTaken = true;
            if (count) ppu.mapper->onA12Rise(ppu.busContext, hereDot);
            continue;
        }
        // Without a rise, line 240's start still comes round once a frame:
        // there the hook sees inputs nothing told it of (a save state loaded,
        // PPUCTRL or PPUMASK written through a memory view).
        ppu.a12Next = rose ? line.found : limit;
        ppu.a12NextRises = rose;
        // With rendering off the search looked no further than q: v alone
        // holds the line up to there.
        ppu.a12NextLastHigh = !line.rendering() && line.idleHigh() ? limit - 1 : line.prevEnd;
        break;
    }
    if (ppu.a12Next < 0) {
        ppu.mapperDotCycle = PPU::kDotsPerLine;
    } else {
        const int32_t index = int32_t(ppu.a12Next) % int32_t(kFrame);
        const int32_t lineOf = index / kLine;
        const int32_t dot = index % kLine;
        // The bulk path may run through dots 1-255 without a hook: a rise
        // there (rendering just turned on) takes the per-dot path.
        ppu.mapperDotCycle = lineOf < kFirstIdleLine && dot >= 1 && dot <= 255 ? -1 : dot;
    }
    ppu.locateNextEvent();
}

namespace {

bool followsA12(const PPU& ppu) { return ppu.hardware && ppu.mapper != nullptr && ppu.mapper->a12Filter > 0; }

// Takes up the line here, low for lowDots (kLowDotsKept: long ago).
void startAddressLine(PPU& ppu, int32_t lowDots, bool roseHere) {
    ppu.a12BaseFrame = ppu.frameCount;
    ppu.a12Origin = positionOf(ppu);
    ppu.a12LastHigh = lowDots >= kLowDotsKept ? kLongAgo : ppu.a12Origin - lowDots;
    ppu.a12OriginTaken = roseHere;
    advance(ppu, ppu.totalDots - ppu.owedDots, *ppu.ppuCtrl, *ppu.ppuMask, false);
}

}  // namespace

void PPU::adoptAddressLine() {
    a12Watched = followsA12(*this);
    a12Next = -1;
    if (!a12Watched) {
        mapperDotCycle = boardDotCycle;
        locateNextEvent();
        return;
    }
    a12PrerenderFrame = -1;
    keepPrerenderSprites(*this);
    startAddressLine(*this, kLowDotsKept, false);
}

bool PPU::addressLineMoves(uint16_t address, uint8_t value) const {
    switch (address) {
        case 0x2000: return ((value ^ *ppuCtrl) & 0x38) != 0;
        case 0x2001: return ((value & 0x18) != 0) != ((*ppuMask & 0x18) != 0);
        case 0x2004: return (*ppuCtrl & 0x20) != 0;
        case 0x2006:
            if (!w) return false;
            [[fallthrough]];
        case 0x2007:
            // v reaches the bus only while the PPU is idle; under rendering
            // the search stops at line 240, where it takes v as it then is.
            return (*ppuMask & 0x18) == 0 || (scanline >= kFirstIdleLine && !(scanline == kPrerenderLine && cycle > 0));
        default: return false;
    }
}

void PPU::writeWatchingA12(uint16_t address, uint8_t value) {
    // Writes that move v pay what is owed anyway: where they fall decides.
    if (address == 0x2007 || (address == 0x2006 && w)) payOwedDots();
    const bool moves = addressLineMoves(address, value);
    if (moves) {
        payOwedDots();
        addressLineBeforeAccess();
    }
    a12InAccess = true;
    writeRegister(address, value);
    a12InAccess = false;
    // PPUCTRL and PPUMASK take the byte once the bus returns.
    if (moves) addressLineAfterAccess(address == 0x2000 ? value : *ppuCtrl, address == 0x2001 ? value : *ppuMask);
}

uint8_t PPU::readWatchingA12(uint16_t address) {
    payOwedDots();
    const bool moves = addressLineMoves(address, 0);
    if (moves) {
        payOwedDots();
        addressLineBeforeAccess();
    }
    a12InAccess = true;
    const uint8_t value = readRegister(address);
    a12InAccess = false;
    if (moves) addressLineAfterAccess(*ppuCtrl, *ppuMask);
    return value;
}

void PPU::addressLineBeforeAccess() {
    rebase(*this);
    keepPrerenderSprites(*this);
    const int64_t here = positionOf(*this);
    if (here == a12Origin) return;
    a12LastHigh = lastHighHere(*this, here);
    a12Origin = here;
    a12OriginTaken = false;
}

void PPU::addressLineAfterAccess(uint8_t ctrl, uint8_t mask) { advance(*this, totalDots - owedDots, ctrl, mask); }

void PPU::addressLineHook() {
    const int64_t frames = frameCount - a12BaseFrame;
    if (a12Next < 0 || frames < 0 || frames > 2 || positionOf(*this) != a12Next) return;
    // A planned rise counts as found, unless the inputs changed behind the
    // PPU's back; line 240's start is looked at afresh.
    const bool rises = a12NextRises && planInputs(*ppuCtrl, *ppuMask) == a12PlanInputs;
    a12Origin = a12Next;
    a12LastHigh = a12NextLastHigh;
    a12OriginTaken = rises;
    rebase(*this);
    keepPrerenderSprites(*this);
    const int64_t dot = dotAtPosition();
    if (rises) mapper->onA12Rise(busContext, dot);
    advance(*this, dot, *ppuCtrl, *ppuMask);
}

// Kept: how long A12 has been low here, whether a rise here was counted, and
// the pre-render line's sprites when this frame found them. The rest follows
// from the inputs.
void PPU::serializeAddressLine(StateStream& s) {
    if (s.hardware && mapper != nullptr && mapper->a12Filter > 0) {
        s.tag("PA12");
        int32_t lowDots = 0;
        bool rose = false;
        bool kept = false;
        uint8_t sprites = a12PrerenderSprites;
        if (s.writing()) {
            rebase(*this);
            const int64_t here = positionOf(*this);
            lowDots = int32_t(std::min<int64_t>(here - lastHighHere(*this, here), kLowDotsKept));
            rose = here == a12Origin && a12OriginTaken;
            kept = a12PrerenderFrame == frameCount;
        }
        lowDots = s.io(lowDots, 1, kLowDotsKept, "A12 low dots");
        rose = s.io(rose, "A12 rise counted here");
        kept = s.io(kept, "pre-render sprites kept");
        s.io(sprites);
        s.require(!rose || lowDots == 1, "A12 rose here but is said to be low");
        if (s.loading()) {
            a12Watched = followsA12(*this);
            a12PrerenderSprites = sprites;
            a12PrerenderFrame = kept ? int64_t(frameCount) : -1;
            startAddressLine(*this, lowDots, rose);
        }
    } else if (s.loading()) {
        adoptAddressLine();
    }
}
