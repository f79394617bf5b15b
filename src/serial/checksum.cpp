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

// Spreads every bit of h over the whole result.
inline uint64_t avalanche(uint64_t h) {
    h ^= h >> 33;
    h *= kPrime2;
    h ^= h >> 29;
    h *= kPrime3;
    return h ^ (h >> 32);
}

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
    return avalanche(h);
}

// Each 64-byte stripe: word k, XORed with a key, adds the product of its two
// halves to lane k and itself to lane k ^ 1 (so no change to a word can go
// unseen); AVX2 does four lanes an instruction, SSE2 two, other machines the
// same sum one lane at a time.
namespace {

constexpr uint64_t kKeys[8] = {kPrime1, kPrime2,           kPrime3,           kPrime4,
                               kPrime5, kPrime1 ^ kPrime3, kPrime2 ^ kPrime4, kPrime3 ^ kPrime5};

// One stripe's vectors by instruction set, through references (AVX2's
// vectors may not pass by value outside AVX2 code); each form is inlined
// into a function compiled for its instruction set.
#if defined(__x86_64__) && defined(__GNUC__)
struct Avx2Lanes {
    using Vector = __m256i;
    static constexpr int kLanes = 4;
    [[gnu::target("avx2")]] static void load(Vector& v, const void* p) {
        v = _mm256_loadu_si256(static_cast<const __m256i*>(p));
    }
    [[gnu::target("avx2")]] static void store(void* p, const Vector& v) {
        _mm256_storeu_si256(static_cast<__m256i*>(p), v);
    }
    [[gnu::target("avx2")]] static void add(Vector& acc, const Vector& data, const Vector& key) {
        const __m256i keyed = _mm256_xor_si256(data, key);
        const __m256i product = _mm256_mul_epu32(keyed, _mm256_srli_epi64(keyed, 32));
        acc = _mm256_add_epi64(acc, _mm256_add_epi64(product, _mm256_shuffle_epi32(data, _MM_SHUFFLE(1, 0, 3, 2))));
    }
};
#endif

#if defined(__SSE2__)
struct Sse2Lanes {
    using Vector = __m128i;
    static constexpr int kLanes = 2;
    static void load(Vector& v, const void* p) { v = _mm_loadu_si128(static_cast<const __m128i*>(p)); }
    static void store(void* p, const Vector& v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
    static void add(Vector& acc, const Vector& data, const Vector& key) {
        const __m128i keyed = _mm_xor_si128(data, key);
        const __m128i product = _mm_mul_epu32(keyed, _mm_srli_epi64(keyed, 32));
        acc = _mm_add_epi64(acc, _mm_add_epi64(product, _mm_shuffle_epi32(data, _MM_SHUFFLE(1, 0, 3, 2))));
    }
};

template <class Lanes>
inline void vectorStripes(uint64_t (&lanes)[8], const uint8_t* p, size_t count) {
    constexpr int kVectors = 8 / Lanes::kLanes;
    typename Lanes::Vector acc[kVectors], key[kVectors];
    for (int v = 0; v < kVectors; ++v) {
        Lanes::load(acc[v], lanes + Lanes::kLanes * v);
        Lanes::load(key[v], kKeys + Lanes::kLanes * v);
    }
    for (size_t n = 0; n < count; ++n, p += 64) {
        for (int v = 0; v < kVectors; ++v) {
            typename Lanes::Vector data;
            Lanes::load(data, p + 8 * Lanes::kLanes * v);
            Lanes::add(acc[v], data, key[v]);
        }
    }
    for (int v = 0; v < kVectors; ++v) Lanes::store(lanes + Lanes::kLanes * v, acc[v]);
}
#endif

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2"), gnu::flatten]] void stripesAvx2(uint64_t (&lanes)[8], const uint8_t* p, size_t count) {
    vectorStripes<Avx2Lanes>(lanes, p, count);
}
#endif

#if defined(__SSE2__)
[[gnu::flatten]] void stripesSse2(uint64_t (&lanes)[8], const uint8_t* p, size_t count) {
    vectorStripes<Sse2Lanes>(lanes, p, count);
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
    stripesSse2(lanes, p, count);
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
    return avalanche(h);
}
