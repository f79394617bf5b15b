// The row form of a snapshot's pictures. Its own file: the profile-guided
// build compiles the rest of the snapshot code without the profile (the
// training takes few snapshots), and this one with it.
#include <algorithm>
#include <cstring>

#include "serial/checksum.h"
#include "serial/state_stream.h"
#include "serial/words.h"
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

using namespace serial_words;

namespace {

// The row form: each row XORed with the row above (pictures repeat far more
// down than across), then tokens of a literal count and a run count, four
// bits each, 15 meaning "more in the bytes that follow" (each adds up to
// 255, 255 meaning "and more"): the literal bytes, then the last of them
// repeated. Decoding copies and fills 16 bytes at a time.
constexpr size_t kSlack = 16;

size_t tokensBound(size_t size) { return 2 * size + 64; }

uint8_t* putCount(uint8_t* out, size_t count) {
    for (count -= 15; count >= 255; count -= 255) *out++ = 255;
    *out++ = uint8_t(count);
    return out;
}

// The rows' deltas as the encoder reads them, worked out as it goes rather
// than written out first (a picture's 61,440 bytes twice more through the
// cache): each byte XORed with the one a row above, the first row as it is.
struct RowDeltas {
    const uint8_t* data;
    size_t row;

    uint8_t byte(size_t i) const { return i < row ? data[i] : uint8_t(data[i] ^ data[i - row]); }
    // Eight deltas from any position: after a run the encoder goes on from
    // where it ended.
    uint64_t word(size_t i) const {
        if (i >= row) return wordAt(data + i) ^ wordAt(data + i - row);
        if (i + kWord <= row) return wordAt(data + i);
        uint64_t w = 0;
        for (size_t k = 0; k < kWord; ++k) w |= uint64_t(byte(i + k)) << (8 * k);
        return w;
    }
};

#if defined(__x86_64__) && defined(__GNUC__)
// Past the words from `i` (eight bytes a step, below the first row only)
// that are not one byte repeated, four words a compare: a picture that
// changes a lot down its rows is mostly such words. Returns the first word
// that is, or where fewer than four words are left.
__attribute__((target("avx2"))) size_t skipMixedAvx2(const RowDeltas& deltas, size_t i, size_t size) {
    // Each word's first byte spread over the word.
    const __m256i spread = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 8, 8, 8, 8, 8, 8, 8, 8, 0, 0, 0, 0, 0, 0, 0, 0, 8,
                                            8, 8, 8, 8, 8, 8, 8);
    for (; i + 4 * kWord <= size; i += 4 * kWord) {
        const __m256i d =
            _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(deltas.data + i)),
                             _mm256_loadu_si256(reinterpret_cast<const __m256i*>(deltas.data + i - deltas.row)));
        uint32_t same = uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(d, _mm256_shuffle_epi8(d, spread))));
        // Bit 8k stays set when all eight of word k's bits are.
        same &= same >> 4;
        same &= same >> 2;
        same &= same >> 1;
        same &= 0x01010101u;
        if (same != 0) return i + size_t(__builtin_ctz(same));
    }
    return i;
}

// Moves `end` along a run of `value` that goes on there (past the first
// row), 32 deltas a compare: to the run's end (true), or to where fewer
// than 32 deltas are left (false).
__attribute__((target("avx2"))) bool runEndAvx2(const RowDeltas& deltas, size_t& end, size_t size, uint8_t value) {
    const __m256i pattern = _mm256_set1_epi8(char(value));
    for (; end + 32 <= size; end += 32) {
        const uint8_t* p = deltas.data + end;
        const __m256i d = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
                                           _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p - deltas.row)));
        const uint32_t same = uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(d, pattern)));
        if (same != ~0u) {
            end += size_t(__builtin_ctz(~same));
            return true;
        }
    }
    return false;
}

// Deltas out[0, count) from position `from` (past the first row), 32 a
// store while 32 are left in the picture; the output has room for 31 more,
// which the next token writes over. Returns how many were done.
__attribute__((target("avx2"))) size_t copyDeltasAvx2(uint8_t* out, const RowDeltas& deltas, size_t from, size_t count,
                                                      size_t size) {
    size_t k = 0;
    for (; k < count && from + k + 32 <= size; k += 32) {
        const uint8_t* p = deltas.data + from + k;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k),
                            _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
                                             _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p - deltas.row))));
    }
    return std::min(k, count);
}
#endif

// Room past a token's literals that their copy may write over.
constexpr size_t kCopySlack = 32;

// Where the scan may skip ahead and how literals are copied: with AVX2 or
// a word at a time.
struct TokenScan {
    bool avx2;

    size_t skip(const RowDeltas& deltas, size_t i, size_t size) const {
#if defined(__x86_64__) && defined(__GNUC__)
        if (avx2 && i >= deltas.row) return skipMixedAvx2(deltas, i, size);
#endif
        (void)deltas, (void)size;
        return i;
    }
    // Moves `end` along the run of `value` going on there: true when it is
    // at the run's end, false when the rest is left to the caller.
    bool runEnd(const RowDeltas& deltas, size_t& end, size_t size, uint8_t value) const {
#if defined(__x86_64__) && defined(__GNUC__)
        if (avx2 && end >= deltas.row) return runEndAvx2(deltas, end, size, value);
#endif
        (void)deltas, (void)end, (void)size, (void)value;
        return false;
    }
    void copy(uint8_t* out, const RowDeltas& deltas, size_t from, size_t count, size_t size) const {
        size_t k = 0;
        for (; k < count && from + k < deltas.row; ++k) out[k] = deltas.data[from + k];
#if defined(__x86_64__) && defined(__GNUC__)
        if (avx2) k += copyDeltasAvx2(out + k, deltas, from + k, count - k, size);
#endif
        (void)size;
        for (; k + kWord <= count; k += kWord) putWord(out + k, deltas.word(from + k));
        for (; k < count; ++k) out[k] = deltas.byte(from + k);
    }
};

uint8_t* putToken(uint8_t* out, const TokenScan& scan, const RowDeltas& deltas, size_t size, size_t from, size_t count,
                  size_t repeats) {
    *out++ = uint8_t((count < 15 ? count : 15) << 4 | (repeats < 15 ? repeats : 15));
    if (count >= 15) out = putCount(out, count);
    scan.copy(out, deltas, from, count, size);
    out += count;
    if (repeats >= 15) out = putCount(out, repeats);
    return out;
}

// Runs are found from whole words of one byte, eight bytes a step, and
// grown to either side; shorter runs stay literals. Most of a picture's
// deltas are long runs of zeros, so little is lost and the scan is fast.
// Writes no further than `limit`; kNoRoom where the tokens would pass it.
size_t encodeTokens(const RowDeltas& deltas, size_t size, uint8_t* out, const uint8_t* limit) {
    uint8_t* const start = out;
    const TokenScan scan{useAvx2()};
    const auto fits = [&](size_t count, size_t repeats) {
        return size_t(limit - out) >= 3 + count + count / 255 + repeats / 255 + kCopySlack;
    };
    size_t literal = 0;  // the first byte no token holds yet
    for (size_t i = 0; i + kWord <= size;) {
        i = scan.skip(deltas, i, size);
        if (i + kWord > size) break;
        const uint64_t word = deltas.word(i);
        const uint8_t value = uint8_t(word);
        const uint64_t pattern = value * 0x0101010101010101ull;
        if (word != pattern) {
            i += kWord;
            continue;
        }
        size_t from = i;
        while (from > literal && deltas.byte(from - 1) == value) --from;
        size_t end = i + kWord;
        if (scan.runEnd(deltas, end, size, value)) goto found;
        while (end + kWord <= size) {
            const uint64_t diff = deltas.word(end) ^ pattern;
            if (diff != 0) {
                end += size_t(__builtin_ctzll(diff)) / 8;
                goto found;
            }
            end += kWord;
        }
        while (end < size && deltas.byte(end) == value) ++end;
    found:
        if (!fits(from + 1 - literal, end - from - 1)) return kNoRoom;
        out = putToken(out, scan, deltas, size, literal, from + 1 - literal, end - from - 1);
        literal = i = end;
    }
    if (literal < size) {
        if (!fits(size - literal, 0)) return kNoRoom;
        out = putToken(out, scan, deltas, size, literal, size - literal, 0);
    }
    return size_t(out - start);
}

// Whether any of `size` bytes has a bit of `above` set.
bool anyAbove(const uint8_t* in, size_t size, uint8_t above) {
    const uint64_t mask = above * 0x0101010101010101ull;
    uint64_t any = 0;
    size_t i = 0;
    for (; i + kWord <= size; i += kWord) any |= wordAt(in + i);
    for (; i < size; ++i) any |= in[i];
    return (any & mask) != 0;
}

}  // namespace

void StateStream::rows(uint8_t* data, size_t size, size_t row, uint8_t limit, const char* name) {
    if (size % kWord != 0 || row % kWord != 0) throw std::logic_error("rows need whole words");
    // No rows (a picture not begun yet): no tokens.
    if (size == 0) {
        recordAt(offset_, 0, name);
        return;
    }
    if (writing()) {
        const RowDeltas deltas{data, row};
        size_t n = kNoRoom;
        // Straight into the stream where what the tokens turn out to take
        // fits (a stream that grows makes room for the longest first).
        if (mode_ == Mode::Save) {
            if (sink_) room(tokensBound(size));
            n = encodeTokens(deltas, size, data_ + offset_, data_ + size_);
        }
        if (n == kNoRoom) {
            static thread_local std::vector<uint8_t> scratch;
            if (scratch.size() < tokensBound(size)) scratch.resize(tokensBound(size));
            n = encodeTokens(deltas, size, scratch.data(), scratch.data() + scratch.size());
            if (mode_ == Mode::Save) std::memcpy(room(n), scratch.data(), n);
        }
        record(n, name);
        offset_ += n;
        return;
    }
    // Loading decodes into the data and undoes the deltas there. Checking
    // only reads the tokens: values below a power of two have no bit above
    // it set, nor have their XORs, so the deltas' literals tell whether
    // every value is below the limit (a repeat repeats its own token's).
    const bool load = mode_ == Mode::Load;
    const uint8_t above = uint8_t(~(limit - 1));
    bool tooLarge = false;
    // Short copies and fills are one 16-byte move each where that stays
    // inside the data.
    const size_t roomy = size < kSlack ? 0 : size - kSlack;
    const uint8_t* in = data_ + offset_;
    const uint8_t* const end = data_ + size_;
    for (size_t at = 0; at < size;) {
        if (in == end) refuse(name, "is cut off: the snapshot ends inside it");
        const uint8_t token = *in++;
        size_t count = token >> 4, repeats = token & 15;
        if (count == 15) count = readCount(in, end, name);
        if (count > size_t(end - in)) refuse(name, "is cut off: the snapshot ends inside it");
        if (count > size - at) refuse(name, "runs past the end of its picture");
        if (!load) {
            tooLarge |= anyAbove(in, count, above);
        } else if (count <= kSlack && at <= roomy && size_t(end - in) >= kSlack) {
            std::memcpy(data + at, in, kSlack);
        } else {
            std::memcpy(data + at, in, count);
        }
        in += count;
        at += count;
        if (repeats == 15) repeats = readCount(in, end, name);
        if (repeats == 0) {
            if (count == 0) refuse(name, "holds an empty token");
            continue;
        }
        if (repeats > size - at) refuse(name, "runs past the end of its picture");
        if (count == 0) refuse(name, "repeats a value before the first one");
        if (load) {
            const uint8_t value = data[at - 1];
            if (repeats <= kSlack && at <= roomy) std::memset(data + at, value, kSlack);
            else std::memset(data + at, value, repeats);
        }
        at += repeats;
    }
    if (tooLarge) refuse(name, "holds values of " + std::to_string(limit) + " or more");
    recordAt(offset_, size_t(in - data_) - offset_, name);
    offset_ = size_t(in - data_);
    if (!load) return;
    // Undo the deltas, top down, each row on the one above it, done already.
    for (size_t i = row; i < size; i += kWord) putWord(data + i, wordAt(data + i) ^ wordAt(data + i - row));
}
