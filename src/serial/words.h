// Eight-byte words as the compact forms read and write them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace serial_words {

constexpr size_t kWord = 8;
// What the encoders return when their records do not fit the room given.
constexpr size_t kNoRoom = ~size_t(0);

inline uint64_t wordAt(const uint8_t* p) {
    uint64_t w;
    std::memcpy(&w, p, kWord);
    return w;
}

inline void putWord(uint8_t* p, uint64_t w) { std::memcpy(p, &w, kWord); }

}  // namespace serial_words
