// Dots 1-256 of a visible line in bulk: the background fetches, the scroll
// counters and the pixels of a run of dots, with the latches in locals.
#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "ppu/planes.h"
#include "ppu/ppu.h"
#include "ppu/ppu_inline.h"

namespace {

// Pattern bit b of a plane byte moved to bit 2b, so both planes of a pixel
// sit side by side: pixel at tileDot d = (pair >> (14 - 2d)) & 3.
static constexpr std::array<uint16_t, 256> kSpread = [] {
    std::array<uint16_t, 256> table{};
    for (int value = 0; value < 256; ++value) {
        uint16_t spread = 0;
        for (int bit = 0; bit < 8; ++bit) spread = uint16_t(spread | (((value >> bit) & 1) << (2 * bit)));
        table[size_t(value)] = spread;
    }
    return table;
}();

// The fold of a nametable address for each mirroring mode as one AND
// (SingleScreen keeps bit 13, which every such address has).
uint16_t nametableMask(int32_t mirroring) {
    switch (mirroring) {
        case Horizontal: return 0xFBFF;
        case Vertical: return 0xF7FF;
        case SingleScreen: return 0x23FF;
        default: return 0xFFFF;
    }
}

// Writes one pixel's palette value.
inline void putPixel(uint8_t* cache, int i, uint8_t colour) { cache[i] = colour; }

// Writes the bytes of `colours` selected by `select` into the aligned group
// of eight pixels at index i.
inline void putGroup(uint8_t* cache, int i, uint64_t colours, uint64_t select) {
    uint64_t old;
    std::memcpy(&old, cache + i, 8);
    const uint64_t now = (old & ~select) | (colours & select);
    std::memcpy(cache + i, &now, 8);
}

// Palette values of a tile's eight pixels (byte d for tileDot d) in palette k.
inline uint64_t tileColours(const PPU::PaletteWords& words, uint8_t low, uint8_t high, int k) {
    const uint64_t lowMask = kPlaneMask[low];
    const uint64_t highMask = kPlaneMask[high];
    return words.base ^ (lowMask & words.plane1[k]) ^ (highMask & words.plane2[k]) ^
           (lowMask & highMask & words.both[k]);
}

// The palette of a tile's quadrant of its attribute byte.
inline int tilePalette(uint16_t nt, uint8_t attribute) { return (attribute >> (((nt >> 4) & 4) | (nt & 2))) & 3; }

// Byte mask of columns j..jEnd (0-7) of a group.
inline uint64_t columns(int32_t j, int32_t jEnd) { return (~uint64_t(0) >> (8 * (7 - jEnd + j))) << (8 * j); }

}  // namespace

template <bool kWatch>
[[gnu::always_inline]] inline void PPU::fetchTileBytes(uint16_t address, uint16_t fineFrom, uint16_t patternBase,
                                                       uint16_t ntMask, uint16_t& nt, uint16_t& at, uint8_t& low,
                                                       uint8_t& high) {
    nt = nameAddress(address);
    at = attributeAddress(address);
    // Fine Y comes from v; the look-ahead address carries the same bits.
    const uint16_t p = uint16_t(patternBase | (vram[nt & ntMask] << 4) | ((fineFrom >> 12) & 7));
    low = vram[p];
    high = vram[p + 8];
    if constexpr (kWatch) {
        notePattern(p);
        notePattern(uint16_t(p + 8));
    }
}

// The background latches a span works on, in locals: the fetched tile's
// name and attribute addresses and pattern bytes, and its colours while the
// latches, their attribute byte and the palette still match what made them.
struct PPU::TileLatch {
    uint16_t nt, at;
    uint8_t low, high, attribute;
    bool valid;
    uint64_t colours;
    uint64_t palette[2];

    // As the last span left them; the colours lapse if the palette changed since.
    [[gnu::always_inline]] static TileLatch held(const PPU& ppu) {
        TileLatch latch{ppu.ntAddress,     ppu.atAddress, uint8_t(ppu.patternLow), uint8_t(ppu.patternHigh),
                        ppu.heldAttribute, ppu.heldValid, ppu.heldColours,         {}};
        std::memcpy(latch.palette, &ppu.vram[0x3F00], sizeof latch.palette);
        if (latch.palette[0] != ppu.heldPalette[0] || latch.palette[1] != ppu.heldPalette[1]) latch.valid = false;
        return latch;
    }
    template <bool kWatch>
    [[gnu::always_inline]] void fetch(PPU& ppu, uint16_t address, uint16_t fineFrom, uint16_t patternBase,
                                      uint16_t ntMask) {
        valid = false;
        ppu.fetchTileBytes<kWatch>(address, fineFrom, patternBase, ntMask, nt, at, low, high);
    }
    // The latched tile's colours, made again when they lapsed or its attribute byte changed.
    [[gnu::always_inline]] uint64_t tile(const PaletteWords& words, const uint8_t* vram, uint16_t ntMask) {
        const uint8_t now = vram[at & ntMask];
        if (!valid || now != attribute) {
            attribute = now;
            colours = tileColours(words, low, high, tilePalette(nt, attribute));
            valid = true;
        }
        return colours;
    }
    [[gnu::always_inline]] void store(PPU& ppu) const {
        ppu.ntAddress = nt;
        ppu.atAddress = at;
        ppu.patternLow = low;
        ppu.patternHigh = high;
        ppu.heldValid = valid;
        ppu.heldColours = colours;
        ppu.heldAttribute = attribute;
        ppu.heldPalette[0] = palette[0];
        ppu.heldPalette[1] = palette[1];
    }
    // Colours made from the palette as it is now.
    void storeMadeNow(PPU& ppu) {
        std::memcpy(palette, &ppu.vram[0x3F00], sizeof palette);
        store(ppu);
    }
};

// Each background colour as backdrop ^ (c0 ^ c1) ^ (c0 ^ c2) ^ (c0 ^ c1 ^ c2 ^ c3)
// by plane bits: c3 where both planes are set. Palette RAM changes seldom.
const PPU::PaletteWords& PPU::backgroundPalettes() {
    uint64_t key[2];
    std::memcpy(key, &vram[0x3F00], sizeof key);
    if (paletteWordsMade && key[0] == paletteWordsKey[0] && key[1] == paletteWordsKey[1]) return paletteWords;
    const uint8_t backdrop = vram[0x3F00] & 0x3F;
    paletteWords.base = backdrop * kEveryByte;
    for (int k = 0; k < 4; ++k) {
        const uint8_t* palette = &vram[0x3F00 + 4 * k];
        const uint64_t c1 = (palette[1] & 0x3F) ^ backdrop;
        const uint64_t c2 = (palette[2] & 0x3F) ^ backdrop;
        const uint64_t c3 = (palette[3] & 0x3F) ^ backdrop;
        paletteWords.plane1[k] = c1 * kEveryByte;
        paletteWords.plane2[k] = c2 * kEveryByte;
        paletteWords.both[k] = (c1 ^ c2 ^ c3) * kEveryByte;
        for (int copy = 0; copy < 2; ++copy) {
            paletteWords.doubled[k][0][copy] = paletteWords.plane1[k];
            paletteWords.doubled[k][1][copy] = paletteWords.plane2[k];
            paletteWords.doubled[k][2][copy] = paletteWords.both[k];
        }
    }
    paletteWordsKey[0] = key[0];
    paletteWordsKey[1] = key[1];
    paletteWordsMade = true;
    return paletteWords;
}

// Rendering off: every pixel is the backdrop; tileDot still counts and each
// wrap repeats the same look-ahead fetch, since v does not move.
void PPU::renderBackdropSpan(int32_t first, int32_t last) {
    const uint64_t backdrops = (vram[0x3F00] & 0x3F) * kEveryByte;
    uint8_t* cache = colorIndexCache.data() + scanline * kWidth;
    for (int32_t x = first - 1; x < last;) {
        const int32_t group = x & ~7;
        const int32_t jEnd = std::min(last - 1 - group, 7);
        putGroup(cache, group, backdrops, columns(x & 7, jEnd));
        x = group + jEnd + 1;
    }
    const int32_t dots = last - first + 1;
    const int32_t total = tileDot + dots;
    tileDot = uint8_t(total & 7);
    if (total >= 8) fetchBackground(coarseXIncrement(v));
    addSpriteTicks(dots);
}

void PPU::renderSpan(int32_t first, int32_t last, uint8_t mask) {
    drawColours(first, last, mask);
    // PPUMASK bit 0: every pixel of the span keeps only its palette value's row.
    if (VELKORA_UNLIKELY(mask & 0x01)) greySpan(first, last);
}

void PPU::greySpan(int32_t first, int32_t last) {
    uint8_t* row = colorIndexCache.data() + scanline * kWidth;
    for (int32_t x = first - 1; x < std::min(last, kWidth); ++x) row[x] &= kGreyscale;
}

void PPU::drawColours(int32_t first, int32_t last, uint8_t mask) {
    if ((mask & 0x18) == 0) {
        renderBackdropSpan(first, last);
        return;
    }
    if (first == 1 && (mask & 0x10)) resetEvaluation();
    if (last >= 129) {
        if (VELKORA_UNLIKELY(hardware)) evaluateHardware(last);
        else evaluateRange(first > 129 ? first : 129, last);
    }
    const int32_t j0 = (first - 1) & 7;
    // Boards that watch pattern fetches get their own copies of the span
    // renderers, so the others' fetches stay free of the hook.
    if (VELKORA_UNLIKELY(boardTiles())) {
        drawBoardSpan(first, last, mask);
    } else if ((mask & 0x10) && lineSpriteCount > 0 && spritesReach(first - 1, last - 1)) {
        if (first == 1 && last >= 255 && (mask & 0x08)) {
            if (mapperWatchesPatterns) drawSpriteLine<true>(last == 256, mask);
            else drawSpriteLine<false>(last == 256, mask);
        } else if (mapperWatchesPatterns) {
            drawSpan<true, true>(first, last, mask);
        } else {
            drawSpan<true, false>(first, last, mask);
        }
    } else if (first == 1 && last >= 255 && (mask & 0x08)) {
        // Up to dot 255 too: a board's hook at dot 256 splits every line there.
        if (mapperWatchesPatterns) drawBackgroundLine<true, false>(last == 256, nullptr);
        else drawBackgroundLine<false, false>(last == 256, nullptr);
        if ((mask & 0x02) == 0) hideLeftBackground();
    } else if ((mask & 0x08) && (first > 8 || (mask & 0x02)) && (j0 == 0 || tileDot == ((fineX + j0) & 7))) {
        if (mapperWatchesPatterns) drawBackground<true>(first, last);
        else drawBackground<false>(first, last);
    } else {
        if (mapperWatchesPatterns) drawSpan<false, true>(first, last, mask);
        else drawSpan<false, false>(first, last, mask);
    }
    addSpriteTicks(last - first + 1);
}

// Dots cycle .. cycle + dots - 1, all inside 1-254 of a line before line 240
// (next to renderSpan, which it takes in).
void PPU::processInsideLine(int32_t dots) {
    const uint8_t mask = *ppuMask;
    renderingEnabled = (mask & 0x18) != 0;
    const int32_t first = cycle;
    renderSpan(first, first + dots - 1, mask);
    cycle = first + dots;
}

// The background of dots first..last, and the sprites over it when kSprites.
template <bool kSprites, bool kWatch>
void PPU::drawSpan(int32_t first, int32_t last, uint8_t mask) {
    // Eight spare bytes either side for spriteRow.
    uint8_t spriteBuffer[kSprites ? kWidth + 16 : 1];
    uint8_t* spriteLine = spriteBuffer + (kSprites ? 8 : 0);
    int32_t spriteLo = kWidth;
    int32_t spriteHi = -1;
    if constexpr (kSprites) spriteRow<false>(first - 1, last - 1, spriteLine, nullptr, spriteLo, spriteHi);

    const uint16_t ntMask = nametableMask(mirroring);
    const uint16_t patternBase = (*ppuCtrl & 0x10) ? 0x1000 : 0;
    const uint8_t backdrop = vram[0x3F00] & 0x3F;
    const bool bgShownLeft = (mask & 0x0A) == 0x0A;
    const bool bgShownRest = (mask & 0x08) != 0;
    uint8_t* cache = colorIndexCache.data() + scanline * kWidth;

    uint16_t vv = v;
    uint8_t td = tileDot;
    // The palette is read once per span.
    TileLatch latch = TileLatch::held(*this);
    // Within one span vram cannot change, so fetching the address fetched
    // last (the look-ahead tile, reloaded by the next group) changes nothing.
    int32_t lastFetch = -1;
    auto fetch = [&](uint16_t address) {
        // A board that watches fetches may switch banks at any one of them.
        if (address == lastFetch && !kWatch) return;
        lastFetch = address;
        latch.fetch<kWatch>(*this, address, vv, patternBase, ntMask);
    };
    const PaletteWords& words = backgroundPalettes();

    int32_t c = first;
    for (;;) {
        const int32_t j0 = (c - 1) & 7;  // column within the 8-dot group
        if (j0 == 0) {
            fetch(vv);
            td = fineX;
        } else if (td == 8) {
            // The look-ahead fetch of a wrap in the middle of the group.
            td = 0;
            fetch(coarseXIncrement(vv));
        }
        // A run: up to the wrap of tileDot or the end of the group.
        int32_t count = 8 - (td > j0 ? td : j0);
        if (count > last - c + 1) count = last - c + 1;
        const int32_t x0 = c - 1;
        const bool bgShown = x0 >= 8 ? bgShownRest : bgShownLeft;
        if (!kSprites || x0 > spriteHi || x0 + count <= spriteLo) {
            uint64_t run = backdrop * kEveryByte;
            if (bgShown) {
                // The byte of tileDot td moves to the byte of column x0.
                run = latch.tile(words, vram.data(), ntMask);
                run = td >= j0 ? run >> (8 * (td - j0)) : run << (8 * (j0 - td));
            }
            putGroup(cache, x0 & ~7, run, columns(j0, j0 + count - 1));
        } else {
            const uint16_t pair = uint16_t(kSpread[latch.low] | (kSpread[latch.high] << 1));
            const int bgBase = 0x3F00 + 4 * tilePalette(latch.nt, vram[latch.at & ntMask]);
            for (int32_t k = 0; k < count; ++k) {
                const int32_t x = x0 + k;
                const int bgPixel = (pair >> (14 - 2 * (td + k))) & 3;
                const uint8_t sp = (x >= spriteLo && x <= spriteHi) ? spriteLine[x] : 0;
                putPixel(cache, x, vram[composePixel(x, sp, bgPixel, bgBase, bgShown, mask)] & 0x3F);
            }
        }
        td = uint8_t(td + count);
        const int32_t e = x0 + count;  // the run's last dot
        if ((e & 7) == 0) {
            if (e != 256) {
                // The look-ahead fetch of a wrap at the group's end uses v before the increment.
                if (td == 8) {
                    td = 0;
                    fetch(coarseXIncrement(vv));
                }
                vv = coarseXIncrement(vv);
            } else {
                // Fine Y moves at dot 256, before that dot's look-ahead fetch.
                vv = fineYIncrement(vv);
            }
        }
        if (e >= last) break;
        c = e + 1;
    }
    if (td == 8) {
        // The span ended on a wrap: its look-ahead fetch belongs to this span.
        td = 0;
        fetch(coarseXIncrement(vv));
    }

    v = vv;
    tileDot = td;
    latch.store(*this);
}

// The common case of drawSpan, a group of eight dots at a time: background
// shown in every column, no sprite, and tileDot in step with fineX, so the
// look-ahead fetch of group g comes after its column 7 - fineX.
template <bool kWatch>
void PPU::drawBackground(int32_t first, int32_t last) {
    const uint16_t ntMask = nametableMask(mirroring);
    const uint16_t patternBase = (*ppuCtrl & 0x10) ? 0x1000 : 0;
    const int32_t fine = fineX;
    const int32_t wrapColumn = 7 - fine;
    uint8_t* cache = colorIndexCache.data() + scanline * kWidth;

    uint16_t vv = v;
    TileLatch latch = TileLatch::held(*this);
    const PaletteWords& words = backgroundPalettes();
    auto fetch = [&](uint16_t address) __attribute__((always_inline)) {
        latch.fetch<kWatch>(*this, address, vv, patternBase, ntMask);
    };
    auto latchedColours = [&]() __attribute__((always_inline)) { return latch.tile(words, vram.data(), ntMask); };

    bool aheadIsNext = false;  // this span fetched the next group's tile already
    // Groups group .. group + 8 * (whole - 1), whole and before dot 249, as the
    // loop below draws them, but read along the nametable row: one tile a
    // group (the look-ahead, in the fetches' order), coarse X moved after each.
    auto drawWholeGroups = [&](int32_t group, int32_t whole) __attribute__((always_inline)) {
        if (!aheadIsNext) fetch(vv);
        // The latched tile, then the next `whole` along the row (on into the
        // neighbouring nametable past column 31).
        uint64_t tiles[32];
        tiles[0] = latchedColours();
        const uint32_t fetchBase = uint32_t(patternBase | ((vv >> 12) & 7));
        const int vertical = (vv >> 4) & 4;
        int32_t column = (vv & 0x1F) + 1;
        uint16_t table = vv & 0x0C00;
        FetchedTile last{};
        for (int32_t done = 0; done < whole;) {
            if (column == 32) {
                column = 0;
                table ^= 0x0400;
            }
            const int32_t end = std::min(32, column + whole - done);
            const TileRow row{&vram[(0x2000 | table | (vv & 0x03E0)) & ntMask],
                              &vram[(0x23C0 | table | ((vv >> 4) & 0x38)) & ntMask], vertical, fetchBase, &words};
            rowColours<kWatch, false>(row, column, end, tiles + 1 + done, nullptr, last);
            done += end - column;
            column = end;
        }
        if (fine == 0) std::memcpy(cache + group, tiles, 8 * size_t(whole));
        else shiftedRow(tiles, whole, fine, cache + group);
        latch.low = last.low;
        latch.high = last.high;
        vv = uint16_t((vv & ~0x0C1F) | table | (column - 1));
        latch.nt = nameAddress(vv);
        latch.at = attributeAddress(vv);
        // The loop takes the look-ahead tile's colours once fine X shows some
        // of it; with fine X 0 it makes them again at the next group.
        latch.valid = fine != 0;
        latch.colours = tiles[whole];
        latch.attribute = last.attribute;
        aheadIsNext = true;
        return group + 8 * whole;
    };

    int32_t x = first - 1;
    const int32_t xLast = last - 1;
    for (;;) {
        const int32_t group = x & ~7;
        const int32_t j = x & 7;
        const int32_t whole = j == 0 ? std::min((xLast + 1) >> 3, 31) - (group >> 3) : 0;
        if (whole > 0) {
            x = drawWholeGroups(group, whole);
            if (x > xLast) break;
            continue;
        }
        if (j == 0 && !aheadIsNext) fetch(vv);
        aheadIsNext = false;
        const int32_t jEnd = xLast - group < 7 ? xLast - group : 7;
        uint64_t run;
        if (j <= wrapColumn) {
            // Columns up to 7 - fineX show the tile fetched at the group's start.
            run = fine == 0 ? latchedColours() : latchedColours() >> (8 * fine);
            if (jEnd >= wrapColumn) {
                if (group == 248 && fine == 0) vv = fineYIncrement(vv);
                fetch(coarseXIncrement(vv));
                aheadIsNext = group != 248;
                if (jEnd > wrapColumn) run |= latchedColours() << (8 * (8 - fine));
            }
        } else {
            run = latchedColours() << (8 * (8 - fine));
        }
        putGroup(cache, group, run, columns(j, jEnd));
        if (jEnd == 7) {
            // Dot 8g + 8: coarse X moves, except at dot 256, where fine Y does
            // (before that dot's look-ahead fetch when fineX is 0, done above).
            if (group != 248) {
                vv = coarseXIncrement(vv);
            } else if (fine != 0) {
                vv = fineYIncrement(vv);
            }
        }
        x = group + jEnd + 1;
        if (x > xLast) break;
    }

    v = vv;
    tileDot = uint8_t((fine + (xLast & 7) + 1) & 7);
    latch.store(*this);
}

template <bool kWatch, bool kOpaque>
void PPU::rowColours(const TileRow& row, int32_t x, int32_t end, uint64_t* out, uint64_t* opaque, FetchedTile& last) {
    const PaletteWords& words = *row.words;
    const uint8_t* names = row.names;
    const uint8_t* attributes = row.attributes;
    const int vertical = row.vertical;
    if constexpr (kWatch) {
        // A board watching the fetches sees each tile's two in turn.
        for (; x < end; ++x) {
            const uint32_t p = row.fetch | (uint32_t(names[x]) << 4);
            const uint8_t low = vram[p];
            const uint8_t high = vram[p + 8];
            if constexpr (kWatch) {
                notePattern(uint16_t(p));
                notePattern(uint16_t(p + 8));
            }
            *out++ = tileColours(words, low, high, (attributes[x >> 2] >> (vertical | (x & 2))) & 3);
            if constexpr (kOpaque) *opaque++ = kPlaneMask[low] | kPlaneMask[high];
            last = {low, high, attributes[x >> 2]};
        }
        return;
    }
    // Tile n's row of pattern bytes at patterns[16n] and [16n + 8]; the
    // palette's words in locals, which the stores to out could alias.
    const uint8_t* patterns = vram.data() + row.fetch;
    // In size_t, so that the offsets fold into the loads' addresses.
    const auto single = [&](size_t column) __attribute__((always_inline)) {
        const size_t name = names[column];
        const uint8_t low = patterns[16 * name], high = patterns[16 * name + 8];
        *out++ = tileColours(words, low, high, (attributes[column >> 2] >> (vertical | (column & 2))) & 3);
        if constexpr (kOpaque) *opaque++ = kPlaneMask[low] | kPlaneMask[high];
    };
    size_t column = size_t(x);
    const size_t stop = size_t(end);
#if defined(__SSE2__)
    // Two columns at a time, which share an attribute quadrant, in the two
    // halves of a vector.
    const __m128i base = _mm_set1_epi64x(int64_t(words.base));
    const auto pair = [&](size_t at, unsigned k) __attribute__((always_inline)) {
        const size_t first = names[at], second = names[at + 1];
        const __m128i low =
            _mm_set_epi64x(int64_t(kPlaneMask[patterns[16 * second]]), int64_t(kPlaneMask[patterns[16 * first]]));
        const __m128i high = _mm_set_epi64x(int64_t(kPlaneMask[patterns[16 * second + 8]]),
                                            int64_t(kPlaneMask[patterns[16 * first + 8]]));
        const __m128i* terms = reinterpret_cast<const __m128i*>(words.doubled[k]);
        __m128i value = _mm_xor_si128(base, _mm_and_si128(low, _mm_load_si128(terms)));
        value = _mm_xor_si128(value, _mm_and_si128(high, _mm_load_si128(terms + 1)));
        value = _mm_xor_si128(value, _mm_and_si128(_mm_and_si128(low, high), _mm_load_si128(terms + 2)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), value);
        out += 2;
        if constexpr (kOpaque) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(opaque), _mm_or_si128(low, high));
            opaque += 2;
        }
    };
    if (column & 1) single(column++);
    for (; column + 1 < stop; column += 2) pair(column, (attributes[column >> 2] >> (vertical | (column & 2))) & 3);
#endif
    for (; column < stop; ++column) single(column);
    const size_t name = names[end - 1];
    last = {patterns[16 * name], patterns[16 * name + 8], attributes[(end - 1) >> 2]};
}

// A whole line of background (dots 1-256, or 1-255 before a board's hook,
// every column shown, no sprite): the most common span by far. Its 32 tiles
// lie in one row of one or two
// nametables, so they are read along the row (the attribute byte and its
// quadrant follow from the column); each becomes its eight palette values
// once, and each group of eight pixels is two of them shifted by fine X.
// The look-ahead tile of dot 256 is fetched as drawBackground fetches it.
// Tiles are fetched in drawBackground's order, so a board watching the
// fetches sees them in that order; the state left is drawBackground's.
template <bool kWatch, bool kOpaque>
void PPU::drawBackgroundLine(bool toDot256, uint8_t* opaque) {
    const uint16_t ntMask = nametableMask(mirroring);
    const uint16_t patternBase = (*ppuCtrl & 0x10) ? 0x1000 : 0;
    const int32_t fine = fineX;
    uint8_t* row = colorIndexCache.data() + scanline * kWidth;

    const PaletteWords& words = backgroundPalettes();
    const auto colours = [&](uint8_t low, uint8_t high, int k) __attribute__((always_inline)) {
        return tileColours(words, low, high, k);
    };

    uint64_t tiles[33];
    // With kOpaque, byte d of opaqueTiles[t] is $FF where tile t's pixel d is not transparent.
    uint64_t opaqueTiles[kOpaque ? 33 : 1];
    const uint16_t start = v;
    const uint16_t fineY = uint16_t((start >> 12) & 7);
    const int32_t x0 = start & 0x1F;
    const int32_t coarseY = (start >> 5) & 0x1F;
    // Columns x0..31 of this nametable, then 0..x0-1 of its horizontal
    // neighbour; tile 31 is the last, for a line that ends at dot 255.
    FetchedTile last{};
    for (int half = 0; half < 2; ++half) {
        const uint16_t table = uint16_t(0x2000 | ((start ^ (half << 10)) & 0x0C00));
        const TileRow tileRow{&vram[(table | (coarseY << 5)) & ntMask],
                              &vram[(table | 0x03C0 | ((coarseY >> 2) << 3)) & ntMask], (coarseY & 2) << 1,
                              uint32_t(patternBase | fineY), &words};
        uint64_t* opaqueAt = kOpaque ? opaqueTiles + (half == 0 ? 0 : 32 - x0) : nullptr;
        if (half == 0) rowColours<kWatch, kOpaque>(tileRow, x0, 32, tiles, opaqueAt, last);
        else if (x0 > 0) rowColours<kWatch, kOpaque>(tileRow, 0, x0, tiles + 32 - x0, opaqueAt, last);
    }

    // v after the line's 31 coarse moves; dot 256 moves fine Y instead (before
    // the look-ahead fetch when fine X is 0, after it otherwise). Without dot
    // 256 the look-ahead tile is fetched only when fine X shows it by dot 255.
    uint16_t vv = uint16_t((start & ~0x001F) | ((x0 + 31) & 0x1F));
    if (x0 + 31 >= 32) vv ^= 0x0400;
    if constexpr (kOpaque) {
        // The look-ahead tile shows only when fine X brings it in (drawn as transparent otherwise).
        opaqueTiles[32] = 0;
        copyRow(opaqueTiles, fine, opaque);
    }
    if (!toDot256 && fine == 0) {
        finishLineBeforeDot256(row, tiles, vv, last.low, last.high, last.attribute);
        return;
    }
    const uint16_t lastTile = vv;
    if (toDot256 && fine == 0) vv = fineYIncrement(vv);
    uint16_t nt, at;
    uint8_t low, high;
    fetchTileBytes<kWatch>(coarseXIncrement(vv), vv, patternBase, ntMask, nt, at, low, high);
    const uint8_t attribute = vram[at & ntMask];
    tiles[32] = colours(low, high, tilePalette(nt, attribute));
    if constexpr (kOpaque) {
        if (fine != 0) {
            opaqueTiles[32] = kPlaneMask[low] | kPlaneMask[high];
            copyRow(opaqueTiles, fine, opaque);
        }
    }
    if (toDot256 && fine != 0) vv = fineYIncrement(lastTile);
    if (!toDot256) vv = lastTile;

    if (fine == 0) std::memcpy(row, tiles, 31 * 8);
    else shiftedRow(tiles, 31, fine, row);
    const uint64_t run = fine == 0 ? tiles[31] : (tiles[31] >> (8 * fine)) | (tiles[32] << (8 * (8 - fine)));
    // Without dot 256 (the next span's), seven pixels of the last group.
    if (toDot256) std::memcpy(row + 248, &run, 8);
    else std::memcpy(row + 248, &run, 7);

    v = vv;
    tileDot = uint8_t(toDot256 ? fine : (fine + 7) & 7);
    // drawBackground takes the look-ahead tile's colours only when fine X
    // shows it: from column 8 - fine X of the last group.
    const bool shown = toDot256 ? fine != 0 : fine >= 2;
    TileLatch{nt, at, low, high, attribute, shown, tiles[32], {}}.storeMadeNow(*this);
}

// The left column with its background hidden: the backdrop.
void PPU::hideLeftBackground() { std::memset(colorIndexCache.data() + scanline * kWidth, vram[0x3F00] & 0x3F, 8); }

// A whole line's 32 groups from per-tile words (shiftedRow).
void PPU::copyRow(const uint64_t* words, int32_t fine, uint8_t* out) {
    if (fine == 0) std::memcpy(out, words, 32 * 8);
    else shiftedRow(words, 32, fine, out);
}

// Eight bytes a group from per-tile words: the tail of tile g, then the head of
// tile g + 1, as fine X (not 0: the words as they are then) scrolls them.
void PPU::shiftedRow(const uint64_t* words, int32_t groups, int32_t fine, uint8_t* out) {
    int32_t g = 0;
#if defined(__SSE2__)
    // Two groups at a time, a tile and its neighbour in each half.
    const __m128i right = _mm_cvtsi32_si128(8 * fine);
    const __m128i left = _mm_cvtsi32_si128(64 - 8 * fine);
    for (; g + 2 <= groups; g += 2) {
        const __m128i tiles = _mm_loadu_si128(reinterpret_cast<const __m128i*>(words + g));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(words + g + 1));
        const __m128i run = _mm_or_si128(_mm_srl_epi64(tiles, right), _mm_sll_epi64(next, left));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * g), run);
    }
#endif
    for (; g < groups; ++g) {
        const uint64_t run = (words[g] >> (8 * fine)) | (words[g + 1] << (8 * (8 - fine)));
        std::memcpy(out + 8 * g, &run, 8);
    }
}

// Sprites over a whole line of background, pixel for pixel as drawSpan
// composes them: the background first (its pixels' opacity kept), then each
// pixel a sprite covers. The sprites' patterns are read first, as drawSpan
// reads them.
template <bool kWatch>
void PPU::drawSpriteLine(bool toDot256, uint8_t mask) {
    const int32_t lastX = toDot256 ? 255 : 254;
    // Eight spare bytes either side for spriteRow.
    uint8_t spriteBuffer[kWidth + 16], colourBuffer[kWidth + 16];
    uint8_t* const spriteLine = spriteBuffer + 8;
    uint8_t* const spriteColours = colourBuffer + 8;
    int32_t lo = kWidth, hi = -1;
    spriteRow<true>(0, lastX, spriteLine, spriteColours, lo, hi);
    uint8_t opaque[kWidth];
    drawBackgroundLine<kWatch, true>(toDot256, opaque);
    // Hidden there, the background still counts as opaque for priority and hits.
    if ((mask & 0x02) == 0) hideLeftBackground();
    uint8_t* row = colorIndexCache.data() + scanline * kWidth;
    const bool leftSprites = (mask & 0x04) != 0;
    const bool canHit = spriteZeroLine && (mask & 0x18) == 0x18;
    if (VELKORA_UNLIKELY(canHit && hardware)) {
        // Sprite 0's tag only makes hits: dropped where the hardware cannot hit.
        for (int32_t x = std::max(lo, 0); x <= std::min(hi, 7); ++x) {
            if (!hitShows(x, mask)) spriteLine[x] &= uint8_t(~0x20);
        }
        if (hi >= 255) spriteLine[255] &= uint8_t(~0x20);
    }
    const uint64_t backdrops = (vram[0x3F00] & 0x3F) * kEveryByte;
    // Eight pixels at a time, by byte masks (spriteRow cleared whole groups).
    uint64_t hits = 0;
    for (int32_t g = lo & ~7; g <= hi; g += 8) {
        uint64_t sp, bg, drawn, now;
        std::memcpy(&sp, spriteLine + g, 8);
        std::memcpy(&bg, opaque + g, 8);
        std::memcpy(&drawn, spriteColours + g, 8);
        std::memcpy(&now, row + g, 8);
        hits |= (sp >> 5) & bg;
        const uint64_t pixel = ((sp | (sp >> 1)) & kEveryByte) * 0xFF;
        const uint64_t behind = ((sp >> 4) & kEveryByte) * 0xFF;
        // Shown unless transparent or behind an opaque background; a sprite in
        // front that the left column hides leaves the backdrop, not the background.
        const uint64_t shows = pixel & ~(bg & behind);
        if (g == 0 && !leftSprites) drawn = backdrops;
        now = (now & ~shows) | (drawn & shows);
        std::memcpy(row + g, &now, 8);
    }
    if ((hits & kEveryByte) != 0 && canHit) *ppuStatus |= 0x40;
}

// Dots 1-255 with fine X 0: the last tile shows its first seven pixels, and
// its look-ahead neighbour is fetched at dot 256, in the next span.
void PPU::finishLineBeforeDot256(uint8_t* row, const uint64_t* tiles, uint16_t last, uint8_t low, uint8_t high,
                                 uint8_t attribute) {
    std::memcpy(row, tiles, 31 * 8);
    std::memcpy(row + 248, &tiles[31], 7);
    v = last;
    tileDot = 7;
    // The last tile's colours were taken for its group.
    TileLatch{nameAddress(last), attributeAddress(last), low, high, attribute, true, tiles[31], {}}.storeMadeNow(*this);
}
