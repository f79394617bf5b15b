// The compact forms a snapshot uses for memories and audio levels: zero
// words elided, runs of one word (pictures' rows are in rows.cpp).
#include <algorithm>
#include <cstring>

#include "serial/checksum.h"
#include "serial/state_stream.h"
#include "serial/word_runs.h"
#include "serial/words.h"
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

using namespace serial_words;

namespace {

constexpr size_t kMostWords = 0xFFFF;

// Most runs of literal words are short: a library call would cost more.
void copyWords(uint8_t* to, const uint8_t* from, size_t words) {
    if (words > 8) {
        std::memcpy(to, from, words * kWord);
        return;
    }
    for (size_t k = 0; k < words; ++k) putWord(to + k * kWord, wordAt(from + k * kWord));
}

uint16_t get16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }

void put16(uint8_t* p, size_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

// Whether any of eight words from p is not zero: one OR of 64 bytes.
inline bool anyOfEight(const uint8_t* p) {
#if defined(__SSE2__)
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
    const __m128i any = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(any, _mm_setzero_si128())) != 0xFFFF;
#else
    uint64_t any = 0;
    for (size_t k = 0; k < 8; ++k) any |= wordAt(p + k * kWord);
    return any != 0;
#endif
}

#if defined(__x86_64__) && defined(__GNUC__)
// Zeros over `words` words, writing only the 128-byte blocks that hold
// something: a restore mostly finds the memory it clears empty already,
// and reading it is quicker than writing it. Returns the words done.
__attribute__((target("avx2"))) size_t clearAvx2(uint8_t* data, size_t words) {
    size_t k = 0;
    const __m256i zero = _mm256_setzero_si256();
    for (; k + 16 <= words; k += 16) {
        __m256i* p = reinterpret_cast<__m256i*>(data + k * kWord);
        const __m256i any = _mm256_or_si256(_mm256_or_si256(_mm256_loadu_si256(p), _mm256_loadu_si256(p + 1)),
                                            _mm256_or_si256(_mm256_loadu_si256(p + 2), _mm256_loadu_si256(p + 3)));
        if (_mm256_testz_si256(any, any)) continue;
        for (int q = 0; q < 4; ++q) _mm256_storeu_si256(p + q, zero);
    }
    return k;
}
#endif

void clearWords(uint8_t* data, size_t words) {
    size_t k = 0;
#if defined(__x86_64__) && defined(__GNUC__)
    if (words >= 64 && useAvx2()) k = clearAvx2(data, words);
#endif
    std::memset(data + k * kWord, 0, (words - k) * kWord);
}

// Whether any of `words` words from p is zero, two words a compare.
bool anyZeroWord(const uint8_t* p, size_t words) {
    size_t k = 0;
    bool any = false;
#if defined(__SSE2__)
    __m128i found = _mm_setzero_si128();
    for (; k + 2 <= words; k += 2) {
        const __m128i halves =
            _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k * kWord)), _mm_setzero_si128());
        // A word is zero when both its halves are.
        found = _mm_or_si128(found, _mm_and_si128(halves, _mm_shuffle_epi32(halves, _MM_SHUFFLE(2, 3, 0, 1))));
    }
    any = _mm_movemask_epi8(found) != 0;
#endif
    for (; k < words; ++k) any |= wordAt(p + k * kWord) == 0;
    return any;
}

// Worst case: a record for every second word.
size_t zeroRunsBound(size_t size) { return size + 4 * (size / (2 * kWord) + 2); }

// The zero-run records of words[0, count) are made from masks of the
// words that are not zero, 64 words (512 bytes) a mask, and where they
// change: a memory of many short runs (CHR RAM's tiles) costs two bit
// steps a record. Blocks of zeros between records are skipped with an OR
// tree over each 512 bytes (most of $4000-$7FFF is zeros).
struct ZeroRunWriter {
    const uint8_t* data;
    size_t words;
    uint8_t* out;
    size_t capacity;  // of out
    size_t n = 0, zerosFrom = 0, literalsFrom = 0;
    bool literal = false;  // whether the word before is not zero
    bool full = false;     // a record did not fit

    void emit(size_t end) {
        if (__builtin_expect(full || capacity - n < 4 + (end - literalsFrom) * kWord, 0)) {
            // The records go on being found, so they end where they would.
            full = true;
            zerosFrom = end;
            return;
        }
        put16(out + n, literalsFrom - zerosFrom);
        put16(out + n + 2, end - literalsFrom);
        copyWords(out + n + 4, data + literalsFrom * kWord, end - literalsFrom);
        n += 4 + (end - literalsFrom) * kWord;
        zerosFrom = end;
    }
    // The records' ends in block b, whose bit k says word 64 b + k is not zero.
    void block(size_t b, uint64_t mask) {
        for (uint64_t changes = mask ^ (mask << 1 | uint64_t(literal)); changes != 0; changes &= changes - 1) {
            const size_t at = b * 64 + size_t(__builtin_ctzll(changes));
            if (at >= words) return;
            if (!literal) literalsFrom = at;
            else emit(at);
            literal = !literal;
        }
    }
    // The last block, which may be short: its words one by one.
    uint64_t tailMask(size_t b) const {
        uint64_t mask = 0;
        for (size_t k = 0; b * 64 + k < words; ++k) mask |= uint64_t(wordAt(data + (b * 64 + k) * kWord) != 0) << k;
        return mask;
    }
    size_t finish() {
        if (literal) {
            emit(words);
        } else if (zerosFrom < words) {
            literalsFrom = words;
            emit(words);
        }
        return full ? kNoRoom : n;
    }
};

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) size_t encodeZeroRunsAvx2(const uint8_t* data, size_t words, uint8_t* out,
                                                          size_t capacity) {
    ZeroRunWriter writer{data, words, out, capacity};
    const __m256i zero = _mm256_setzero_si256();
    const size_t whole = words / 64;
    for (size_t b = 0; b < whole; ++b) {
        const __m256i* p = reinterpret_cast<const __m256i*>(data + b * 64 * kWord);
        if (!writer.literal) {
            // A tree of ORs, not one chain of sixteen.
            __m256i pairs[8];
#pragma GCC unroll 8
            for (int v = 0; v < 8; ++v) {
                pairs[v] = _mm256_or_si256(_mm256_loadu_si256(p + 2 * v), _mm256_loadu_si256(p + 2 * v + 1));
            }
            const __m256i all = _mm256_or_si256(
                _mm256_or_si256(_mm256_or_si256(pairs[0], pairs[1]), _mm256_or_si256(pairs[2], pairs[3])),
                _mm256_or_si256(_mm256_or_si256(pairs[4], pairs[5]), _mm256_or_si256(pairs[6], pairs[7])));
            if (_mm256_testz_si256(all, all)) continue;
        }
        uint64_t zeros = 0;
#pragma GCC unroll 16
        for (int v = 0; v < 16; ++v) {
            const __m256i four = _mm256_cmpeq_epi64(_mm256_loadu_si256(p + v), zero);
            zeros |= uint64_t(unsigned(_mm256_movemask_pd(_mm256_castsi256_pd(four)))) << (4 * v);
        }
        writer.block(b, ~zeros);
    }
    if (whole * 64 < words) writer.block(whole, writer.tailMask(whole));
    return writer.finish();
}
#endif

// Writes out[0, capacity); kNoRoom when the records do not fit.
size_t encodeZeroRuns(const uint8_t* data, size_t size, uint8_t* out, size_t capacity) {
    const size_t words = size / kWord;
#if defined(__x86_64__) && defined(__GNUC__)
    if (useAvx2()) return encodeZeroRunsAvx2(data, words, out, capacity);
#endif
    ZeroRunWriter writer{data, words, out, capacity};
    for (size_t b = 0; b * 64 < words; ++b) {
        if (b * 64 + 64 > words) {
            writer.block(b, writer.tailMask(b));
            break;
        }
        uint64_t mask = 0;
        for (size_t k = 0; k < 64; k += 8) {
            const uint8_t* eight = data + (b * 64 + k) * kWord;
            if (!anyOfEight(eight)) continue;
            for (size_t j = 0; j < 8; ++j) mask |= uint64_t(wordAt(eight + j * kWord) != 0) << (k + j);
        }
        writer.block(b, mask);
    }
    return writer.finish();
}

}  // namespace

size_t StateStream::readCount(const uint8_t*& in, const uint8_t* end, const char* name) const {
    size_t count = 15;
    for (;;) {
        if (in == end) refuse(name, "is cut off: the snapshot ends inside it");
        const uint8_t more = *in++;
        count += more;
        if (more != 255) return count;
    }
}

void StateStream::zeroRuns(uint8_t* data, size_t size, const char* name) {
    if (size % kWord != 0 || size / kWord > kMostWords)
        throw std::logic_error("zero runs need whole words, at most 65535");
    if (writing()) {
        size_t n = kNoRoom;
        // Straight into the stream where the records fit (a stream that
        // grows makes room for the most they can take first).
        if (mode_ == Mode::Save) {
            if (sink_) room(zeroRunsBound(size));
            n = encodeZeroRuns(data, size, data_ + offset_, size_ - offset_);
        }
        if (n == kNoRoom) {
            static thread_local std::vector<uint8_t> scratch;
            if (scratch.size() < zeroRunsBound(size)) scratch.resize(zeroRunsBound(size));
            n = encodeZeroRuns(data, size, scratch.data(), scratch.size());
            if (mode_ == Mode::Save) std::memcpy(room(n), scratch.data(), n);
        }
        record(n, name);
        offset_ += n;
        return;
    }
    // The records read in place, with short runs as fixed-size moves: a
    // memory of many short runs (CHR RAM's tiles) is mostly records.
    const size_t words = size / kWord;
    const bool check = mode_ == Mode::Check;
    const uint8_t* in = data_ + offset_;
    const uint8_t* const end = data_ + size_;
    bool zeroLiteral = false;
    for (size_t i = 0; i < words;) {
        if (end - in < 4) refuse(name, "is cut off: the snapshot ends inside it");
        const size_t zeros = get16(in), literals = get16(in + 2);
        in += 4;
        if (zeros + literals > words - i) refuse(name, "runs past the end of its memory");
        if (literals * kWord > size_t(end - in)) refuse(name, "is cut off: the snapshot ends inside it");
        if (check) {
            // Only the first record may start without zeros, only the last
            // end without literals: anything else has a shorter encoding.
            if ((zeros == 0 && i != 0) || (literals == 0 && i + zeros != words)) {
                refuse(name, "holds a run that is not the longest possible");
            }
            zeroLiteral |= anyZeroWord(in, literals);
        } else {
            // The next record (or these literals) writes over what a fixed
            // move puts past its run.
            uint8_t* to = data + i * kWord;
            if (zeros <= 8 && words - i >= 8) {
                std::memset(to, 0, 8 * kWord);
            } else {
                clearWords(to, zeros);
            }
            to += zeros * kWord;
            if (literals <= 4 && words - i - zeros >= 4 && size_t(end - in) >= 4 * kWord) {
                std::memcpy(to, in, 4 * kWord);
            } else {
                std::memcpy(to, in, literals * kWord);
            }
        }
        in += literals * kWord;
        i += zeros + literals;
    }
    if (zeroLiteral) refuse(name, "holds a zero word among its literal words");
    recordAt(offset_, size_t(in - data_) - offset_, name);
    offset_ = size_t(in - data_);
}

// --- runs of one word ---

namespace word_runs {

namespace {

uint32_t load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

}  // namespace

namespace {

// A run's words a vector at a time: which equal the word before them, and
// sixteen copies of one. Each instruction set's form is inlined into a
// function compiled for that set (its vectors pass by reference: AVX2's may
// not pass by value outside AVX2 code).
#if defined(__x86_64__) && defined(__GNUC__)
struct Avx2Words {
    static constexpr int kWords = 8;
    [[gnu::target("avx2")]] static unsigned sameAsBefore(const uint32_t* words) {
        const __m256i now = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words));
        const __m256i before = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words - 1));
        return unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(now, before))));
    }
    using Vector = __m256i;
    [[gnu::target("avx2")]] static void splat(Vector& words, uint32_t word) { words = _mm256_set1_epi32(int(word)); }
    [[gnu::target("avx2")]] static void fill16(uint32_t* to, const Vector& words) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), words);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + 8), words);
    }
};
#endif

#if defined(__SSE2__)
struct Sse2Words {
    static constexpr int kWords = 4;
    static unsigned sameAsBefore(const uint32_t* words) {
        const __m128i now = _mm_loadu_si128(reinterpret_cast<const __m128i*>(words));
        const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(words - 1));
        return unsigned(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(now, before))));
    }
    using Vector = __m128i;
    static void splat(Vector& words, uint32_t word) { words = _mm_set1_epi32(int(word)); }
    static void fill16(uint32_t* to, const Vector& words) {
        for (size_t q = 0; q < 16; q += 4) _mm_storeu_si128(reinterpret_cast<__m128i*>(to + q), words);
    }
};

// Bit k set where words[k] differs from words[k - 1], for k in [0, 64).
template <class Words>
inline uint64_t vectorChanges(const uint32_t* words) {
    uint64_t same = 0;
#pragma GCC unroll 16
    for (int k = 0; k < 64; k += Words::kWords) same |= uint64_t(Words::sameAsBefore(words + k)) << k;
    return ~same;
}

[[gnu::flatten]] uint64_t changesSse2(const uint32_t* words) { return vectorChanges<Sse2Words>(words); }
#endif

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2"), gnu::flatten]] uint64_t changesAvx2(const uint32_t* words) {
    return vectorChanges<Avx2Words>(words);
}
#endif

}  // namespace

size_t find(const uint32_t* words, size_t count, uint32_t* runWords, uint16_t* lengths) {
    if (count == 0) return 0;
    size_t n = 0, start = 0;
    const auto close = [&](size_t end) {
        runWords[n] = words[start];
        lengths[n] = uint16_t(end - start);
        ++n;
        start = end;
    };
    size_t i = 1;
#if defined(__SSE2__)
    // Where words differ from the one before, 64 at a time; then only the
    // runs' ends take a step of their own, and the loop over them ends
    // (mispredicted, as its count varies) once per 64 words.
#if defined(__x86_64__) && defined(__GNUC__)
    uint64_t (*const changes)(const uint32_t*) = useAvx2() ? changesAvx2 : changesSse2;
#else
    uint64_t (*const changes)(const uint32_t*) = changesSse2;
#endif
    for (; i + 64 <= count; i += 64) {
        for (uint64_t ends = changes(words + i); ends != 0; ends &= ends - 1) {
            close(i + size_t(__builtin_ctzll(ends)));
        }
    }
    // The rest as the last 64 words, less those already done.
    if (i < count && count > 64) {
        const size_t base = count - 64;
        for (uint64_t ends = changes(words + base) & (~uint64_t(0) << (i - base)); ends != 0; ends &= ends - 1) {
            close(base + size_t(__builtin_ctzll(ends)));
        }
        i = count;
    }
#endif
    for (; i < count; ++i) {
        if (words[i] != words[i - 1]) close(i);
    }
    close(count);
    return n;
}

bool longest(const uint8_t* runWords, const uint8_t* lengths, size_t count, size_t& total) {
    // Without branches: a damaged snapshot is rare, and runs are often short.
    uint32_t sum = 0;
    bool bad = false;
    size_t r = 0;
#if defined(__SSE2__)
    if (count > 4) {
        // Four runs a step: each word against the one before, each length
        // against zero, the lengths summed in 32-bit lanes.
        bad = load32(runWords) == load32(runWords + 4);
        __m128i alike = _mm_setzero_si128(), empty = _mm_setzero_si128(), sums = _mm_setzero_si128();
        const __m128i zero = _mm_setzero_si128();
        for (r = 1; r + 4 <= count; r += 4) {
            const __m128i now = _mm_loadu_si128(reinterpret_cast<const __m128i*>(runWords + 4 * r));
            const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(runWords + 4 * r - 4));
            alike = _mm_or_si128(alike, _mm_cmpeq_epi32(now, before));
            const __m128i four = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(lengths + 2 * r));
            const __m128i wide = _mm_unpacklo_epi16(four, zero);
            empty = _mm_or_si128(empty, _mm_cmpeq_epi32(wide, zero));
            sums = _mm_add_epi32(sums, wide);
        }
        bad |= _mm_movemask_epi8(_mm_or_si128(alike, empty)) != 0;
        sums = _mm_add_epi32(sums, _mm_shuffle_epi32(sums, _MM_SHUFFLE(1, 0, 3, 2)));
        sums = _mm_add_epi32(sums, _mm_shuffle_epi32(sums, _MM_SHUFFLE(2, 3, 0, 1)));
        sum = uint32_t(_mm_cvtsi128_si32(sums));
        // Run 0's length, and the rest one at a time.
        const uint16_t first = uint16_t(lengths[0] | lengths[1] << 8);
        bad |= first == 0;
        sum += first;
    }
#endif
    for (; r < count; ++r) {
        const uint32_t word = load32(runWords + 4 * r);
        const uint16_t length = uint16_t(lengths[2 * r] | lengths[2 * r + 1] << 8);
        bad |= (r > 0 && word == load32(runWords + 4 * r - 4)) | (length == 0);
        sum += length;
    }
    total = sum;
    return !bad;
}

bool anyFull(const uint8_t* runWords, size_t count, uint32_t lows, uint32_t highs, uint32_t clear) {
    // A field of all ones is a zero field of the word flipped, which the
    // borrow of subtracting a one from each field finds (a borrow from one
    // field into the next follows only a zero field of its own).
    const uint32_t top = highs == 0 ? 0 : 1u << (31 - __builtin_clz(highs));
    const uint32_t fields = top == 0 ? 0 : top - 1 + top;
    uint32_t wrong = 0;
    size_t r = 0;
#if defined(__SSE2__)
    const __m128i fieldMask = _mm_set1_epi32(int(fields)), lowMask = _mm_set1_epi32(int(lows));
    const __m128i highMask = _mm_set1_epi32(int(highs)), clearMask = _mm_set1_epi32(int(clear));
    __m128i any = _mm_setzero_si128();
    for (; r + 4 <= count; r += 4) {
        const __m128i word = _mm_loadu_si128(reinterpret_cast<const __m128i*>(runWords + 4 * r));
        const __m128i flipped = _mm_andnot_si128(word, fieldMask);
        any = _mm_or_si128(any, _mm_and_si128(_mm_sub_epi32(flipped, lowMask), _mm_andnot_si128(flipped, highMask)));
        any = _mm_or_si128(any, _mm_and_si128(word, clearMask));
    }
    wrong = _mm_movemask_epi8(_mm_cmpeq_epi8(any, _mm_setzero_si128())) != 0xFFFF;
#endif
    for (; r < count; ++r) {
        const uint32_t word = load32(runWords + 4 * r);
        const uint32_t flipped = ~word & fields;
        wrong |= ((flipped - lows) & ~flipped & highs) | (word & clear);
    }
    return wrong != 0;
}

namespace {

// Each run as one 16-word store while there is room for it, longer runs in
// more: lengths vary from run to run, and a branch on each would be
// mispredicted. The next run writes over the excess. Returns the runs done.
#if defined(__SSE2__)
template <class Words>
inline size_t vectorExpand(const uint32_t* runWords, const uint16_t* lengths, size_t count, uint32_t* out, size_t total,
                           size_t& at) {
    size_t r = 0;
    for (; r < count && total - at >= 16; ++r) {
        typename Words::Vector word;
        Words::splat(word, runWords[r]);
        const size_t length = lengths[r];
        for (size_t k = 0; k < length; k += 16)
            Words::fill16(out + at + std::min(k, length < 16 ? k : length - 16), word);
        at += length;
    }
    return r;
}

[[gnu::flatten]] size_t expandSse2(const uint32_t* runWords, const uint16_t* lengths, size_t count, uint32_t* out,
                                   size_t total, size_t& at) {
    return vectorExpand<Sse2Words>(runWords, lengths, count, out, total, at);
}
#endif

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2"), gnu::flatten]] size_t expandAvx2(const uint32_t* runWords, const uint16_t* lengths, size_t count,
                                                        uint32_t* out, size_t total, size_t& at) {
    return vectorExpand<Avx2Words>(runWords, lengths, count, out, total, at);
}
#endif

}  // namespace

void expand(const uint32_t* runWords, const uint16_t* lengths, size_t count, uint32_t* out, size_t total) {
    size_t at = 0, r = 0;
#if defined(__x86_64__) && defined(__GNUC__)
    r = useAvx2() ? expandAvx2(runWords, lengths, count, out, total, at)
                  : expandSse2(runWords, lengths, count, out, total, at);
#elif defined(__SSE2__)
    r = expandSse2(runWords, lengths, count, out, total, at);
#endif
    for (; r < count; ++r) {
        std::fill_n(out + at, lengths[r], runWords[r]);
        at += lengths[r];
    }
}

}  // namespace word_runs
