// The console's 64 colours, R, G, B per palette value.
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "ppu/ppu.h"

namespace {

static constexpr std::array<uint8_t, 64 * 3> kColors{{
    0x60, 0x60, 0x60, 0x00, 0x1C, 0xA1, 0x24, 0x04, 0xC8, 0x53, 0x00, 0xB2,  // $00
    0x73, 0x00, 0x76, 0x80, 0x00, 0x24, 0x73, 0x0C, 0x00, 0x50, 0x28, 0x00,  // $04
    0x25, 0x44, 0x00, 0x00, 0x57, 0x00, 0x01, 0x5C, 0x00, 0x00, 0x53, 0x24,  // $08
    0x00, 0x3C, 0x76, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // $0C
    0xAB, 0xAB, 0xAB, 0x0D, 0x57, 0xFF, 0x4B, 0x30, 0xFF, 0x8A, 0x13, 0xFF,  // $10
    0xBC, 0x09, 0xD6, 0xD2, 0x12, 0x69, 0xC7, 0x2E, 0x00, 0x9D, 0x54, 0x00,  // $14
    0x5F, 0x7B, 0x00, 0x21, 0x98, 0x00, 0x00, 0xA3, 0x00, 0x00, 0x99, 0x42,  // $18
    0x02, 0x7D, 0xB4, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // $1C
    0xFF, 0xFF, 0xFF, 0x53, 0xAE, 0xFF, 0x90, 0x85, 0xFF, 0xD3, 0x65, 0xFF,  // $20
    0xFF, 0x57, 0xFF, 0xFF, 0x5D, 0xCF, 0xFF, 0x77, 0x57, 0xFA, 0x9E, 0x00,  // $24
    0xBD, 0xC7, 0x00, 0x7A, 0xE7, 0x01, 0x42, 0xF6, 0x0F, 0x24, 0xEF, 0x7E,  // $28
    0x2B, 0xD5, 0xF6, 0x4E, 0x4E, 0x4E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // $2C
    0xFF, 0xFF, 0xFF, 0xB6, 0xE1, 0xFF, 0xCF, 0xD1, 0xFF, 0xE9, 0xC3, 0xFF,  // $30
    0xFF, 0xBC, 0xFF, 0xFF, 0xBD, 0xF4, 0xFF, 0xC6, 0xC3, 0xFF, 0xD5, 0x9A,  // $34
    0xE8, 0xE6, 0x81, 0xCD, 0xF4, 0x81, 0xB7, 0xFB, 0x9A, 0xA9, 0xFA, 0xC3,  // $38
    0xA9, 0xF0, 0xF4, 0xB8, 0xB8, 0xB8, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // $3C
}};

}  // namespace

// Both are constant-initialised, so no static constructor order matters.
const std::array<uint8_t, 64 * 3> colorTable = kColors;
std::array<uint8_t, 64 * 3> colorLookupTable = kColors;

namespace {

constexpr size_t kPixels = size_t(PPU::kWidth) * PPU::kHeight;

// Each colour as four bytes, so a pixel is one store; the spare byte is
// overwritten by the next pixel's store.
constexpr std::array<uint32_t, 64> kColourWords = [] {
    std::array<uint32_t, 64> words{};
    for (size_t c = 0; c < 64; ++c) {
        words[c] = uint32_t(kColors[3 * c]) | uint32_t(kColors[3 * c + 1]) << 8 | uint32_t(kColors[3 * c + 2]) << 16;
    }
    return words;
}();

inline void paintPixel(uint8_t* rgb, size_t i, uint8_t colour) {
    std::memcpy(rgb + 3 * i, &kColourWords[colour & 0x3F], 3);
}

// Colour emphasis (PPUMASK bits 5-7: red, green, blue). The PPU attenuates
// its output signal to about 74.6 % of its level during the parts of the
// colour cycle an emphasis bit covers (the NTSC signal's measured levels with
// and without emphasis). On the RGB picture that is 191/256 on each channel
// whose own bit is clear while another is set, and on every channel when all
// three are set, since their parts then cover the whole cycle. Black, which
// has no level above the blank one, stays black.
constexpr uint8_t dimmed(uint8_t value) { return uint8_t((value * 191 + 128) >> 8); }

constexpr bool dims(unsigned bits, int channel) { return bits == 7 || (bits != 0 && !((bits >> channel) & 1)); }

// By emphasis bits (0-7) then palette value, as kColourWords.
constexpr std::array<uint32_t, 8 * 64> kEmphasisWords = [] {
    std::array<uint32_t, 8 * 64> words{};
    for (unsigned bits = 0; bits < 8; ++bits) {
        for (size_t c = 0; c < 64; ++c) {
            uint32_t word = 0;
            for (int channel = 0; channel < 3; ++channel) {
                const uint8_t value = kColors[3 * c + size_t(channel)];
                word |= uint32_t(dims(bits, channel) ? dimmed(value) : value) << (8 * channel);
            }
            words[bits * 64 + c] = word;
        }
    }
    return words;
}();

}  // namespace

void emphasisedColour(unsigned bits, unsigned colour, uint8_t* rgb) {
    std::memcpy(rgb, &kEmphasisWords[(bits & 7) * 64 + (colour & 0x3F)], 3);
}

void paintFrameEmphasis(const uint8_t* colours, const uint8_t* emphasis, uint8_t* rgb) {
    if (!emphasis) return paintFrame(colours, rgb);
    for (size_t i = 0; i + 1 < kPixels; ++i) {
        std::memcpy(rgb + 3 * i, &kEmphasisWords[(emphasis[i] & 7) * 64 + (colours[i] & 0x3F)], 4);
    }
    emphasisedColour(emphasis[kPixels - 1], colours[kPixels - 1], rgb + 3 * (kPixels - 1));
}

void paintFrame(const uint8_t* colours, uint8_t* rgb) {
    for (size_t i = 0; i + 1 < kPixels; ++i) std::memcpy(rgb + 3 * i, &kColourWords[colours[i] & 0x3F], 4);
    paintPixel(rgb, kPixels - 1, colours[kPixels - 1]);
}

void repaintChanges(uint8_t* shown, const uint8_t* colours, uint8_t* rgb) {
    // Most of a picture is as it was: 32 pixels at a time are compared first.
    static constexpr size_t kBlock = 32;
    for (size_t block = 0; block < kPixels; block += kBlock) {
#if defined(__SSE2__)
        const auto same = [&](size_t at) {
            const __m128i old = _mm_loadu_si128(reinterpret_cast<const __m128i*>(shown + at));
            const __m128i now = _mm_loadu_si128(reinterpret_cast<const __m128i*>(colours + at));
            return _mm_cmpeq_epi8(old, now);
        };
        if (_mm_movemask_epi8(_mm_and_si128(same(block), same(block + 16))) == 0xFFFF) continue;
#endif
        for (size_t group = block; group < block + kBlock; group += 8) {
            uint64_t old, now;
            std::memcpy(&old, shown + group, 8);
            std::memcpy(&now, colours + group, 8);
            if (old == now) continue;
            std::memcpy(shown + group, &now, 8);
            // The whole group: eight stores beat finding which pixels changed.
            uint8_t* out = rgb + 3 * group;
            for (int i = 0; i < 7; ++i) std::memcpy(out + 3 * i, &kColourWords[(now >> (8 * i)) & 0x3F], 4);
            std::memcpy(out + 21, &kColourWords[(now >> 56) & 0x3F], 3);
        }
    }
}
