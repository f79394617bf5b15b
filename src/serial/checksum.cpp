// Four lanes of 8-byte words, multiplied and rotated independently so the
// multiplier latencies overlap, then folded and mixed to spread every bit.
#include "serial/checksum.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Each 64-byte stripe: word k, XORed with a key, adds the product of its two
// halves to lane k and itself to lane k ^ 1 (so no change to a word can go
// unseen); SSE2 does two lanes an instruction, other machines the same sum
// one lane at a time.
namespace {

constexpr uint64_t kKeys[8] = {kPrime1, kPrime2,           kPrime3,           kPrime4,
                               kPrime5, kPrime1 ^ kPrime3, kPrime2 ^ kPrime4, kPrime3 ^ kPrime5};

#if defined(__x86_64__) && defined(__GNUC__)
// The same with four lanes an instruction, where the processor has AVX2.
__attribute__((target("avx2"))) void stripesAvx2(uint64_t (&lanes)[8], const uint8_t* p, size_t count) {
    __m256i acc[2], key[2];
    for (int v = 0; v < 2; ++v) {
        acc[v] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes + 4 * v));
        key[v] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kKeys + 4 * v));
    }
    for (size_t n = 0; n < count; ++n, p += 64) {
        for (int v = 0; v < 2; ++v) {
            const __m256i data = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * v));
            const __m256i keyed = _mm256_xor_si256(data, key[v]);
            const __m256i product = _mm256_mul_epu32(keyed, _mm256_srli_epi64(keyed, 32));
            const __m256i swapped = _mm256_shuffle_epi32(data, _MM_SHUFFLE(1, 0, 3, 2));
            acc[v] = _mm256_add_epi64(acc[v], _mm256_add_epi64(product, swapped));
        }
    }
    for (int v = 0; v < 2; ++v) _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes + 4 * v), acc[v]);
}

#endif

void stripes(uint64_t (&lanes)[8], const uint8_t* p, size_t count) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (useAvx2()) {
        stripesAvx2(lanes, p, count);
        return;
    }
#endif
#if defined(__SSE2__)
    __m128i acc[4], key[4];
    for (int v = 0; v < 4; ++v) {
        acc[v] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lanes + 2 * v));
        key[v] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kKeys + 2 * v));
    }
    for (size_t n = 0; n < count; ++n, p += 64) {
        for (int v = 0; v < 4; ++v) {
            const __m128i data = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * v));
            const __m128i keyed = _mm_xor_si128(data, key[v]);
            const __m128i product = _mm_mul_epu32(keyed, _mm_srli_epi64(keyed, 32));
            const __m128i swapped = _mm_shuffle_epi32(data, _MM_SHUFFLE(1, 0, 3, 2));
            acc[v] = _mm_add_epi64(acc[v], _mm_add_epi64(product, swapped));
        }
    }
    for (int v = 0; v < 4; ++v) _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes + 2 * v), acc[v]);
#else
    for (size_t n = 0; n < count; ++n, p += 64) {
        for (int k = 0; k < 8; ++k) {
            const uint64_t data = load64(p + 8 * k);
            const uint64_t keyed = data ^ kKeys[k];
            lanes[k] += (keyed & 0xFFFFFFFFull) * (keyed >> 32);
            lanes[k ^ 1] += data;
        }
    }
#endif
}

}  // namespace

bool useAvx2() {
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool use = (__builtin_cpu_init(), __builtin_cpu_supports("avx2")) && !std::getenv("VELKORA_NO_AVX2");
    return use;
#else
    return false;
#endif
}

uint64_t checksum64(const uint8_t* data, size_t size) {
    uint64_t lanes[8];
    for (int k = 0; k < 8; ++k) lanes[k] = kKeys[7 - k];
    stripes(lanes, data, size / 64);
    const uint8_t* p = data + size / 64 * 64;
    const uint8_t* const end = data + size;
    uint64_t h = uint64_t(size) * kPrime4;
    for (; end - p >= 8; p += 8) h = rotl(h ^ load64(p), 29) * kPrime1;
    uint64_t tail = 0;
    if (end != p) std::memcpy(&tail, p, size_t(end - p));
    h = rotl(h ^ tail, 29) * kPrime1;
    for (uint64_t lane : lanes) h = rotl(h ^ (lane * kPrime2), 27) * kPrime1 + kPrime4;
    h ^= h >> 33;
    h *= kPrime2;
    h ^= h >> 29;
    h *= kPrime3;
    h ^= h >> 32;
    return h;
}
