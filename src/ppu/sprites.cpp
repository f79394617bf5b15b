// Sprites: evaluation of the next line (with the overflow scan), the line
// sprites' horizontal counters, and their pixels.
#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "ppu/planes.h"
#include "ppu/ppu.h"
#include "ppu/ppu_inline.h"

[[gnu::always_inline]] inline void PPU::takeSprite(uint8_t index, uint8_t y1, uint8_t& found) {
    uint8_t* slot = &secondaryOam[4 * found];
    slot[0] = y1;
    slot[1] = oam[index + 1];
    slot[2] = oam[index + 2];
    slot[3] = oam[index + 3];
    nextSpriteX[found] = oam[index + 3];
    if (index == 0) spriteZeroNext = true;
    ++found;
}

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
                takeSprite(evalIndex, y1, evalCount);
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
    // Entries past the new count keep their counters, so bring them up to
    // date; the rest are loaded anew.
    if (spritesStale && evalCount < lineSpriteCount) bringSpritesUpToDate();
    spriteZeroLine = spriteZeroNext;
    lineSpriteCount = int8_t(evalCount);
    activeMask = 0;
    for (int i = 0; i < 8; ++i) spriteX[i] = nextSpriteX[i];
    spriteTicks = 0;
    spritesStale = false;
    int32_t xMin = 255, xMax = 0;
    // Sprite by sprite: a copy of variable length would be a library call.
    for (int i = 0; i < evalCount; ++i) {
        std::memcpy(&lineSprites[4 * i], &secondaryOam[4 * i], 4);
        spriteColumn[i] = 7;
        xMin = std::min<int32_t>(xMin, secondaryOam[4 * i + 3]);
        xMax = std::max<int32_t>(xMax, secondaryOam[4 * i + 3]);
    }
    lineSpriteXMin = xMin;
    lineSpriteXMax = xMax;
}

namespace {

// Bit k: OAM byte k is in the range of `line` (0-239).
void bytesInRange(const uint8_t* oam, unsigned line, unsigned height, uint64_t (&bits)[4]) {
#if defined(__SSE2__)
    const __m128i lineV = _mm_set1_epi8(char(line));
    const __m128i limit = _mm_set1_epi8(char(height - 1));
    for (int w = 0; w < 4; ++w) {
        uint64_t word = 0;
        for (int q = 0; q < 4; ++q) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(oam + 64 * w + 16 * q));
            const __m128i started = _mm_cmpeq_epi8(_mm_max_epu8(x, lineV), lineV);  // y <= line
            const __m128i d = _mm_sub_epi8(lineV, x);
            const __m128i near = _mm_cmpeq_epi8(_mm_min_epu8(d, limit), d);  // line - y < height
            word |= uint64_t(unsigned(_mm_movemask_epi8(_mm_and_si128(started, near)))) << (16 * q);
        }
        bits[w] = word;
    }
#else
    for (int w = 0; w < 4; ++w) {
        uint64_t word = 0;
        for (int j = 0; j < 64; ++j) word |= uint64_t(line - oam[64 * w + j] < height) << j;
        bits[w] = word;
    }
#endif
}

// Bit 0 of each nibble of y, packed into sixteen bits.
uint64_t gatherNibbles(uint64_t y) {
    y &= 0x1111111111111111ull;
    y = (y | (y >> 3)) & 0x0303030303030303ull;
    y = (y | (y >> 6)) & 0x000F000F000F000Full;
    y = (y | (y >> 12)) & 0x000000FF000000FFull;
    return (y | (y >> 24)) & 0xFFFFull;
}

// A scan without hits reads byte (r + u) & 3 of each sprite u, for r fixed
// by where it started: bit u of the result says that byte is in range.
uint64_t pathHits(const uint64_t (&bits)[4], unsigned r) {
    // Per four sprites, bits 4u + ((r + u) & 3) of their sixteen.
    static constexpr uint64_t kPath[4] = {0x8421842184218421ull, 0x1842184218421842ull, 0x2184218421842184ull,
                                          0x4218421842184218ull};
    uint64_t hits = 0;
    for (int w = 0; w < 4; ++w) {
        uint64_t y = bits[w] & kPath[r];
        // One bit per nibble at most: gather them, one per sprite.
        y |= y >> 2;
        y |= y >> 1;
        hits |= gatherNibbles(y) << (16 * w);
    }
    return hits;
}

}  // namespace

// Once a line (and after any write to OAM) OAM is compared with the copy the
// tables were made from. The first change in a frame makes them again (each
// when first asked for); a second one in the same frame makes the current
// line's alone, line by line until the next frame, so OAM rewritten between
// lines costs no more than a line's worth each time. True for the tables.
bool PPU::checkRanges(unsigned height) {
    const int64_t frame = frameCount;
    const int64_t at = frame * kLinesPerFrame + scanline;
    if (at != rangesCheckedAt || height != rangesHeight) {
        rangesCheckedAt = at;
        if (height != rangesHeight || std::memcmp(rangesOam.data(), oam.data(), oam.size()) != 0) {
            rangesOam = oam;
            rangesHeight = height;
            rangesYMade = false;
            rangesPathsMade = false;
            rangesLineAt = -1;
            if (rangesChangedFrame != frame) {
                rangesChangedFrame = frame;
                rangesChanges = 0;
            }
            ++rangesChanges;
        }
    }
    if (rangesChanges <= 1 || rangesChangedFrame != frame) return true;
    if (rangesLineAt != at) {
        rangesLineAt = at;
        uint64_t bits[4];
        bytesInRange(rangesOam.data(), unsigned(scanline), height, bits);
        rangesLineY = 0;
        for (int w = 0; w < 4; ++w) rangesLineY |= gatherNibbles(bits[w]) << (16 * w);
        for (unsigned r = 0; r < 4; ++r) rangesLinePaths[r] = pathHits(bits, r);
    }
    return false;
}

uint64_t PPU::spritesInRange(unsigned height) {
    if (!checkRanges(height)) return rangesLineY;
    if (!rangesYMade) {
        rangesY.fill(0);
        for (unsigned u = 0; u < 64; ++u) {
            const unsigned top = rangesOam[4 * u];
            const unsigned end = std::min(top + height, unsigned(kHeight));
            for (unsigned line = top; line < end; ++line) rangesY[line] |= uint64_t(1) << u;
        }
        rangesYMade = true;
    }
    return rangesY[size_t(scanline)];
}

const uint64_t* PPU::overflowPaths(unsigned height) {
    if (!checkRanges(height)) return rangesLinePaths;
    if (!rangesPathsMade) {
        for (auto& paths : rangesPaths) paths = {};
        for (unsigned k = 0; k < 256; ++k) {
            const unsigned u = k >> 2;
            const unsigned r = ((k & 3) - u) & 3;
            const unsigned top = rangesOam[k];
            const unsigned end = std::min(top + height, unsigned(kHeight));
            for (unsigned line = top; line < end; ++line) rangesPaths[line][r] |= uint64_t(1) << u;
        }
        rangesPathsMade = true;
    }
    return rangesPaths[size_t(scanline)].data();
}

// Overflow scans up to this many dots long go sprite by sprite.
static constexpr int32_t kStepwiseOverflowScan = 6;

// Dots first..last (129-256) of evaluateSprites at once: nothing outside the
// evaluation state reads it in between, and PPUSTATUS bits only accumulate.
void PPU::evaluateRange(int32_t first, int32_t last) {
    const unsigned height = (*ppuCtrl & 0x20) ? 16 : 8;
    int32_t c = first + (first & 1);  // odd dots idle until eight are found
    if (evalCount < 8 && evalIndex == 0 && !evalDone && c == 130 && last >= 130) {
        // An evaluation from its first sprite (the usual span): which of the
        // sprites the even dots up to `last` reach are in range, all at once.
        const unsigned next = scanline == 239 ? 0 : unsigned(scanline + 1);
        const int32_t reach = std::min(64, (last - 130) / 2 + 1);
        // Y + 1 in range of `next` is Y in range of next - 1; none is of line 0.
        uint64_t found = 0;
        if (next != 0) {
            found = spritesInRange(height);
            if (reach < 64) found &= (uint64_t(1) << reach) - 1;
        }
        int32_t i = -1;
        for (; found != 0 && evalCount < 8; found &= found - 1) {
            i = __builtin_ctzll(found);
            uint8_t* slot = &secondaryOam[4 * evalCount];
            slot[0] = uint8_t(oam[4 * i] + 1);
            slot[1] = oam[4 * i + 1];
            slot[2] = oam[4 * i + 2];
            slot[3] = oam[4 * i + 3];
            nextSpriteX[evalCount] = oam[4 * i + 3];
            if (i == 0) spriteZeroNext = true;
            ++evalCount;
        }
        if (evalCount < 8) {
            evalIndex = uint8_t(4 * reach);
            evalDone = reach == 64;
            return;
        }
        // The eighth at dot 130 + 2i; the overflow scan starts on the next dot.
        evalIndex = uint8_t(4 * (i + 1));
        evalDone = i == 63;
        c = 130 + 2 * i + 1;
    } else if (evalCount < 8) {
        const unsigned next = scanline == 239 ? 0 : unsigned(scanline + 1);
        uint8_t index = evalIndex;
        for (; c <= last; c += 2) {
            if (evalDone) {
                // Only the index moves, one sprite per even dot.
                index = uint8_t(index + 4 * ((last - c) / 2 + 1));
                break;
            }
            const unsigned y1 = uint8_t(oam[index] + 1);
            // 0 <= next - y1 < height also keeps y1 below 240.
            if (next - y1 < height && y1 != 0) {
                takeSprite(index, uint8_t(y1), evalCount);
            }
            index = uint8_t(index + 4);
            if (index == 0) evalDone = true;
            if (evalCount == 8) {
                c += 1;  // the overflow scan starts on the next dot
                break;
            }
        }
        evalIndex = index;
        if (evalCount < 8) return;
    } else {
        c = first;
    }
    if (c > last) return;
    const int32_t steps = last - c + 1;
    // Short runs (lines split by register writes) step; long ones jump.
    if (steps > kStepwiseOverflowScan) {
        if (overflowScan(height, steps)) *ppuStatus |= 0x20;
        return;
    }
    // In locals: the flag's byte pointer would make the compiler reload them.
    uint8_t index = evalIndex;
    unsigned byte = evalByte;
    bool overflow = false;
    const unsigned line = unsigned(scanline);
    for (; c <= last; ++c) {
        const bool inRange = line - oam[uint8_t(index + byte)] < height;
        overflow |= inRange;
        byte = (byte + !inRange) & 3;
        index = uint8_t(index + 4);
    }
    evalIndex = index;
    evalByte = uint8_t(byte);
    if (overflow) *ppuStatus |= 0x20;
}

// `steps` dots of the overflow scan, one sprite per dot: the byte read moves
// on with the sprite unless it is in range. Between hits the path is fixed,
// so the next hit is the next set bit of that path's hits.
bool PPU::overflowScan(unsigned height, int32_t steps) {
    const uint64_t* hits = overflowPaths(height);
    unsigned sprite = evalIndex >> 2;
    unsigned r = (evalByte - sprite) & 3;
    bool overflow = false;
    while (steps > 0) {
        const int32_t chunk = std::min(steps, 64);
        const uint64_t window = chunk == 64 ? ~uint64_t(0) : (uint64_t(1) << chunk) - 1;
        // Bit t: sprite + t (of 64), reached at step t.
        const uint64_t ahead = sprite == 0 ? hits[r] : (hits[r] >> sprite) | (hits[r] << (64 - sprite));
        const uint64_t next = ahead & window;
        if (next == 0) {
            sprite = (sprite + unsigned(chunk)) & 63;
            steps -= chunk;
            continue;
        }
        // The hit keeps its byte while the sprite moves on.
        const int32_t t = __builtin_ctzll(next);
        sprite = (sprite + unsigned(t) + 1) & 63;
        r = (r - 1) & 3;
        steps -= t + 1;
        overflow = true;
    }
    evalIndex = uint8_t(sprite << 2);
    evalByte = uint8_t((r + sprite) & 3);
    return overflow;
}

// The dots of a visible line with rendering on up to `last`, as the hardware
// evaluates sprites: dots 1-64 fill the secondary OAM with $FF; from dot 65
// the chip reads OAM on odd dots and writes the secondary OAM on even ones:
// a sprite's Y, and for one in range of this line its other three bytes.
// Once eight are found it goes on reading with the byte index moving along
// with the sprite (its known flaw): the first byte read that is in range
// sets the overflow flag on the dot it is read, so no sooner than dot 129.
// Nothing but $2002, $2004 and dot 257 looks at the result, so it runs with
// the spans that reach dot 129 and when those registers are read, up to
// their dot (a found sprite is copied whole at its Y's dot).
void PPU::bringEvaluationUpToDate() {
    if (hardware && (*ppuMask & 0x18) && scanline < kHeight && cycle > 1) evaluateHardware(cycle - 1);
}

void PPU::evaluateHardware(int32_t last) {
    const int64_t stamp = frameCount * kLinesPerFrame + scanline;
    if (evalLine != stamp) {
        evalLine = stamp;
        std::memset(secondaryOam, 0xFF, sizeof secondaryOam);
        evalIndex = 0;
        evalByte = 0;
        evalDone = false;
        evalFound = 0;
        evalCopy = 0;
        evalDot = kEvaluationStart;
        spriteZeroNext = false;
        // Which sprites' Y is in range, once a line: the reads that find
        // nothing are skipped whole, up to the next one that does.
        evalYInRange = spritesInRange((*ppuCtrl & 0x20) ? 16 : 8);
    }
    const unsigned height = (*ppuCtrl & 0x20) ? 16 : 8;
    const unsigned line = unsigned(scanline);
    const int32_t end = std::min(last, 256);
    if (evalDone || evalDot > end) {
        evalCount = line == 239 ? 0 : evalFound;
        return;
    }
    // Every OAM byte's, once eight are found and any byte may be read as Y.
    const uint64_t* paths = nullptr;
    // Reads of `count` (at least one) sprites from here on, two dots each,
    // none in range; after the last sprite the chip idles to dot 256.
    const auto skip = [this](unsigned count) {
        const unsigned sprite = evalIndex >> 2;
        evalLast = uint8_t(4 * (sprite + count - 1) + ((evalByte + count - 1) & 3) * (evalFound == 8));
        evalDot += 2 * int32_t(count);
        if (evalFound == 8) evalByte = uint8_t((evalByte + count) & 3);
        evalIndex = uint8_t(4 * (sprite + count));
        if (sprite + count == 64) evalDone = true;
    };
    while (!evalDone && evalDot <= end) {
        const unsigned sprite = evalIndex >> 2;
        const unsigned reads = unsigned(end - evalDot) / 2 + 1;  // the reads left before the end
        if (evalCopy > 0) {
            // A found sprite's other bytes, read one by one.
            evalLast = uint8_t(evalIndex + 4 - evalCopy);
            evalDot += 2;
            if (--evalCopy == 0) {
                evalIndex = uint8_t(evalIndex + 4);
                evalDone = evalIndex == 0;
            }
            continue;
        }
        // The next sprite whose read finds something: its Y (before eight
        // are found), or its path byte, (r + u) & 3 for sprite u, after.
        if (evalFound == 8 && !paths) paths = overflowPaths(height);
        const uint64_t found = evalFound < 8 ? evalYInRange : paths[(evalByte - sprite) & 3];
        const uint64_t ahead = found >> sprite;
        const unsigned next = ahead ? unsigned(__builtin_ctzll(ahead)) : 64 - sprite;
        if (next >= reads || next == 64 - sprite) {
            skip(std::min(reads, 64 - sprite));
            break;
        }
        if (next > 0) skip(next);
        const uint8_t at = evalIndex;
        evalDot += 2;
        if (evalFound == 8) {
            // The flag cannot be set twice: the rest of the scan shows nothing.
            evalLast = uint8_t(at + evalByte);
            *ppuStatus |= 0x20;
            evalDone = true;
            break;
        }
        evalLast = at;
        takeSprite(at, uint8_t(oam[at] + 1), evalFound);
        evalCopy = 3;
    }
    // Line 239's sprites would show on line 240, which is not drawn; line 0 shows none.
    evalCount = line == 239 ? 0 : evalFound;
}

// After T ticks a sprite loaded with X = s is at u = s - T: waiting while
// u >= 0, drawing column 8 + u while -8 <= u <= -1, done below.
void PPU::bringSpritesUpToDate() {
    uint8_t active = 0;
    for (int i = 0; i < lineSpriteCount; ++i) {
        const int32_t u = int32_t(lineSprites[4 * i + 3]) - spriteTicks;
        spriteX[i] = std::max(u, -8);
        spriteColumn[i] = int8_t(std::clamp(8 + u, -1, 7));
        if (u >= -8 && u <= -1) active |= uint8_t(1u << i);
    }
    activeMask = active;
    spritesStale = false;
}

[[gnu::always_inline]] inline int PPU::spriteRowAddress(int i, uint8_t ctrl) const {
    const bool tall = (ctrl & 0x20) != 0;
    const uint8_t tile = lineSprites[4 * i + 1];
    const int table = tall ? (tile & 1) : ((ctrl >> 3) & 1);
    const int first = tall ? (tile & 0xFE) : tile;
    uint8_t row = uint8_t(scanline - lineSprites[4 * i]);
    if (lineSprites[4 * i + 2] & 0x80) row = uint8_t((tall ? 15 : 7) - row);
    return table * 0x1000 + ((first + (row >> 3)) & 0xFF) * 16 + (row & 7);
}

// Sprite pixels of columns x0..x1 drawn by dots x0 + 1 .. x1 + 1, in the form
// the span renderer composes: bits 0-1 pixel, 2-3 palette, 4 behind the
// background, 5 line sprite 0; with kColours their palette values too. Both
// rows are written a sprite's eight columns at a time, so they need eight
// spare bytes either side. Pattern bytes are read now, as stepDot would.
template <bool kColours>
bool PPU::spriteRow(int32_t x0, int32_t x1, uint8_t* row, uint8_t* colours, int32_t& lo, int32_t& hi) {
    // Sprite i draws column x with pattern bit 7 - (x - e), e = its X - ticks + x0.
    const int32_t shift = x0 - spriteTicks;
    lo = 256;
    hi = -1;
    for (int i = 0; i < lineSpriteCount; ++i) {
        const int32_t e = lineSprites[4 * i + 3] + shift;
        const int32_t a = std::max(e, x0);
        const int32_t b = std::min(e + 7, x1);
        if (a <= b) {
            lo = std::min(lo, a);
            hi = std::max(hi, b);
        }
    }
    if (lo > hi) return false;
    // Whole groups, so that callers may read them eight at a time (in
    // words: a memset of variable length would be a library call).
    static constexpr uint64_t kClear = 0;
    for (int32_t g = lo & ~7; g <= hi; g += 8) {
        std::memcpy(row + g, &kClear, 8);
        if constexpr (kColours) std::memcpy(colours + g, &kClear, 8);
    }
    const uint8_t ctrl = *ppuCtrl;
    // Lower-numbered sprites are written last, so the lowest opaque one wins.
    for (int i = lineSpriteCount - 1; i >= 0; --i) {
        const int32_t e = lineSprites[4 * i + 3] + shift;
        const int32_t a = std::max(e, x0);
        const int32_t b = std::min(e + 7, x1);
        if (a > b) continue;
        const uint8_t attr = lineSprites[4 * i + 2];
        const int address = spriteRowAddress(i, ctrl);
        uint8_t low = vram[address];
        uint8_t high = vram[address + 8];
        notePattern(uint16_t(address));
        notePattern(uint16_t(address + 8));
        if (attr & 0x40) {
            low = kReversed[low];
            high = kReversed[high];
        }
        const uint64_t lowMask = kPlaneMask[low];
        const uint64_t highMask = kPlaneMask[high];
        const uint64_t tag = uint64_t(((attr & 3) << 2) | ((attr & 0x20) >> 1) | (i == 0 ? 0x20 : 0));
        const uint64_t pixels = (lowMask & kEveryByte) | (highMask & (2 * kEveryByte)) | (tag * kEveryByte);
        // Opaque pixels of columns a..b, as bytes of the word at e.
        const uint64_t select = (lowMask | highMask) & ((~uint64_t(0) >> (8 * (7 - (b - a)))) << (8 * (a - e)));
        const auto merge = [&](uint8_t* at, uint64_t word) {
            uint64_t old;
            std::memcpy(&old, at, 8);
            old = (old & ~select) | (word & select);
            std::memcpy(at, &old, 8);
        };
        merge(row + e, pixels);
        if constexpr (kColours) {
            const uint8_t* palette = &vram[0x3F10 + 4 * (attr & 3)];
            const uint64_t c1 = (palette[1] & 0x3F) * kEveryByte;
            const uint64_t c2 = (palette[2] & 0x3F) * kEveryByte;
            const uint64_t c3 = (palette[3] & 0x3F) * kEveryByte;
            merge(colours + e, (lowMask & ~highMask & c1) | (highMask & ~lowMask & c2) | (lowMask & highMask & c3));
        }
    }
    return true;
}

template bool PPU::spriteRow<false>(int32_t, int32_t, uint8_t*, uint8_t*, int32_t&, int32_t&);
template bool PPU::spriteRow<true>(int32_t, int32_t, uint8_t*, uint8_t*, int32_t&, int32_t&);

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
    spriteTicks = std::min(spriteTicks + 1, kSpriteTickCap);
}

uint8_t PPU::spritePixel(int& index) {
    const uint8_t ctrl = *ppuCtrl;
    // Lowest-numbered opaque sprite wins, so stop at the first one found.
    for (int i = 0; i < lineSpriteCount; ++i) {
        if (!((activeMask >> i) & 1)) continue;
        const uint8_t attr = lineSprites[4 * i + 2];
        const int address = spriteRowAddress(i, ctrl);
        int col = spriteColumn[i];
        if (attr & 0x40) col = 7 - col;
        const uint8_t pixel = uint8_t((((vram[address + 8] >> col) & 1) << 1) | ((vram[address] >> col) & 1));
        notePattern(uint16_t(address));
        notePattern(uint16_t(address + 8));
        if (pixel != 0) {
            index = i;
            return pixel;
        }
    }
    index = 0;
    return 0;
}

// Between events only the sprite flags change: sprite 0's hit on a line it
// reaches, the overflow on a line whose evaluation finds eight sprites.
// Neither can be set before the first line on which the sprites in OAM now
// could set it, and nothing that changes OAM or the sprite height runs
// while a loop only polls.
int64_t PPU::statusSteadyDots() const {
    const int64_t paid = totalDots - owedDots;
    const uint8_t status = *ppuStatus;
    if ((status & 0x80) || nmiOccurred || scanline == kLinesPerFrame - 1) return paid;
    // Vertical blank's lines draw nothing; its end is an event.
    if (scanline >= kHeight) return INT64_MAX;
    const int32_t height = (*ppuCtrl & 0x20) ? 16 : 8;
    // Line S evaluates the sprites with 0 <= S - Y < height for line S + 1.
    int32_t first = kHeight;
    if (!(status & 0x40)) {
        if (spriteZeroLine || spriteZeroNext) return paid;
        const int32_t y = oam[0];
        if (y + height >= scanline) first = std::max(y, scanline);
    }
    if (!(status & 0x20)) {
        // The current line's evaluation may have begun before OAM last changed.
        int32_t left = 0;
        if (!evalDone) {
            for (int32_t i = evalIndex / 4; i < 64; ++i) left += (scanline - oam[4 * i] + 0u) < unsigned(height);
        }
        if (evalCount + left >= 8) return paid;
        int32_t starts[kHeight + 1] = {};
        for (int32_t i = 0; i < 64; ++i) {
            const int32_t y = oam[4 * i];
            if (y >= kHeight) continue;
            ++starts[y];
            --starts[std::min(y + height, kHeight)];
        }
        // Line 239 evaluates for line 0 of the next frame: none are found.
        for (int32_t line = 0, count = 0; line < std::min(first, kHeight - 1); ++line) {
            count += starts[line];
            if (line >= scanline && count >= 8) {
                first = line;
                break;
            }
        }
    }
    const int32_t here = scanline * kDotsPerLine + cycle;
    const int32_t limit = first * kDotsPerLine;
    return limit <= here ? paid : paid + (limit - here);
}
