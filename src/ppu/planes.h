// Pattern bytes as byte masks: eight pixels handled as one 64-bit word, byte
// d for the pixel at column d of the tile.
#pragma once

#include <array>
#include <cstdint>

// A plane byte as eight byte masks, byte d = $FF when the pixel at tileDot d
// has that plane's bit, so eight pixels pick their colours with a few ANDs.
inline constexpr std::array<uint64_t, 256> kPlaneMask = [] {
    std::array<uint64_t, 256> table{};
    for (int value = 0; value < 256; ++value) {
        uint64_t mask = 0;
        for (int d = 0; d < 8; ++d) {
            if ((value >> (7 - d)) & 1) mask |= uint64_t(0xFF) << (8 * d);
        }
        table[size_t(value)] = mask;
    }
    return table;
}();

inline constexpr uint64_t kEveryByte = 0x0101010101010101ull;

// A plane byte with its bits in reverse order: a horizontally flipped sprite.
inline constexpr std::array<uint8_t, 256> kReversed = [] {
    std::array<uint8_t, 256> table{};
    for (int value = 0; value < 256; ++value) {
        uint8_t reversed = 0;
        for (int bit = 0; bit < 8; ++bit) reversed = uint8_t(reversed | (((value >> bit) & 1) << (7 - bit)));
        table[size_t(value)] = reversed;
    }
    return table;
}();
