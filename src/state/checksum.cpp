// Four lanes of 8-byte words, multiplied and rotated independently so the
// multiplier latencies overlap, then folded and mixed to spread every bit.
#include "state/checksum.h"

#include <cstring>
#include <initializer_list>

namespace {

constexpr uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t kPrime3 = 0x165667B19E3779F9ull;
constexpr uint64_t kPrime4 = 0x85EBCA77C2B2AE63ull;
constexpr uint64_t kPrime5 = 0x27D4EB2F165667C5ull;

inline uint64_t rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

inline uint64_t load64(const uint8_t* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

inline uint64_t round(uint64_t acc, uint64_t word) { return rotl(acc + word * kPrime2, 31) * kPrime1; }

inline uint64_t fold(uint64_t acc, uint64_t lane) { return (acc ^ round(0, lane)) * kPrime1 + kPrime4; }

}  // namespace

uint64_t hash64(const uint8_t* data, size_t size, uint64_t seed) {
    const uint8_t* p = data;
    const uint8_t* end = data + size;
    uint64_t h;
    if (size >= 32) {
        uint64_t a = seed + kPrime1 + kPrime2, b = seed + kPrime2, c = seed, d = seed - kPrime1;
        for (; end - p >= 32; p += 32) {
            a = round(a, load64(p));
            b = round(b, load64(p + 8));
            c = round(c, load64(p + 16));
            d = round(d, load64(p + 24));
        }
        h = rotl(a, 1) + rotl(b, 7) + rotl(c, 12) + rotl(d, 18);
        h = fold(fold(fold(fold(h, a), b), c), d);
    } else {
        h = seed + kPrime5;
    }
    h += uint64_t(size);
    for (; end - p >= 8; p += 8) h = rotl(h ^ round(0, load64(p)), 27) * kPrime1 + kPrime4;
    for (; p < end; ++p) h = rotl(h ^ (*p * kPrime5), 11) * kPrime1;
    h ^= h >> 33;
    h *= kPrime2;
    h ^= h >> 29;
    h *= kPrime3;
    h ^= h >> 32;
    return h;
}

uint64_t checksum64(const uint8_t* data, size_t size) {
    const auto step = [](uint64_t lane, uint64_t word) { return rotl(lane ^ word, 29) * kPrime1; };
    uint64_t a = kPrime5, b = a + kPrime3, c = b + kPrime3, d = c + kPrime3;
    uint64_t e = d + kPrime3, f = e + kPrime3, g = f + kPrime3, k = g + kPrime3;
    const uint8_t* p = data;
    const uint8_t* const end = data + size;
    for (; end - p >= 64; p += 64) {
        a = step(a, load64(p));
        b = step(b, load64(p + 8));
        c = step(c, load64(p + 16));
        d = step(d, load64(p + 24));
        e = step(e, load64(p + 32));
        f = step(f, load64(p + 40));
        g = step(g, load64(p + 48));
        k = step(k, load64(p + 56));
    }
    uint64_t h = uint64_t(size) * kPrime4;
    for (; end - p >= 8; p += 8) h = step(h, load64(p));
    uint64_t tail = 0;
    std::memcpy(&tail, p, size_t(end - p));
    h = step(h, tail);
    for (uint64_t lane : {a, b, c, d, e, f, g, k}) h = rotl(h ^ (lane * kPrime2), 27) * kPrime1 + kPrime4;
    h ^= h >> 33;
    h *= kPrime2;
    h ^= h >> 29;
    h *= kPrime3;
    h ^= h >> 32;
    return h;
}
