// The two compact forms a snapshot uses for memories and pictures: zero
// words elided, and runs of one value.
#include <cstring>

#include "state/state_stream.h"

namespace {

constexpr size_t kWord = 8;
constexpr size_t kMostWords = 0xFFFF;

uint64_t wordAt(const uint8_t* p) {
    uint64_t w;
    std::memcpy(&w, p, kWord);
    return w;
}

void putWord(uint8_t* p, uint64_t w) { std::memcpy(p, &w, kWord); }

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

// Worst case: a record for every second word.
size_t zeroRunsBound(size_t size) { return size + 4 * (size / (2 * kWord) + 2); }

size_t encodeZeroRuns(const uint8_t* data, size_t size, uint8_t* out) {
    const size_t words = size / kWord;
    const auto word = [data](size_t i) { return wordAt(data + i * kWord); };
    size_t n = 0;
    for (size_t i = 0; i < words;) {
        // Zero words eight at a time, literal words four at a time: most
        // of what is elided is long runs, and most literals come in runs too.
        size_t from = i;
        while (from + 8 <= words && (word(from) | word(from + 1) | word(from + 2) | word(from + 3) | word(from + 4) |
                                     word(from + 5) | word(from + 6) | word(from + 7)) == 0) {
            from += 8;
        }
        while (from < words && word(from) == 0) ++from;
        size_t end = from;
        while (end + 4 <= words && word(end) != 0 && word(end + 1) != 0 && word(end + 2) != 0 && word(end + 3) != 0) {
            end += 4;
        }
        while (end < words && word(end) != 0) ++end;
        put16(out + n, from - i);
        put16(out + n + 2, end - from);
        copyWords(out + n + 4, data + from * kWord, end - from);
        n += 4 + (end - from) * kWord;
        i = end;
    }
    return n;
}

// The row form: each row XORed with the row above (pictures repeat far more
// down than across), then tokens of a literal count and a run count, four
// bits each, 15 meaning "more in the bytes that follow" (each adds up to
// 255, 255 meaning "and more"): the literal bytes, then the last of them
// repeated. Decoding copies and fills 16 bytes at a time.
constexpr size_t kSlack = 16;

size_t tokensBound(size_t size) { return 2 * size + 16; }

uint8_t* putCount(uint8_t* out, size_t count) {
    for (count -= 15; count >= 255; count -= 255) *out++ = 255;
    *out++ = uint8_t(count);
    return out;
}

uint8_t* putToken(uint8_t* out, const uint8_t* literals, size_t count, size_t repeats) {
    *out++ = uint8_t((count < 15 ? count : 15) << 4 | (repeats < 15 ? repeats : 15));
    if (count >= 15) out = putCount(out, count);
    std::memcpy(out, literals, count);
    out += count;
    if (repeats >= 15) out = putCount(out, repeats);
    return out;
}

// Runs are found from whole words of one byte, eight bytes a step, and
// grown to either side; shorter runs stay literals. Most of a picture's
// deltas are long runs of zeros, so little is lost and the scan is fast.
size_t encodeTokens(const uint8_t* data, size_t size, uint8_t* out) {
    uint8_t* const start = out;
    size_t literal = 0;  // the first byte no token holds yet
    for (size_t i = 0; i + kWord <= size;) {
        const uint64_t word = wordAt(data + i);
        const uint8_t value = uint8_t(word);
        const uint64_t pattern = value * 0x0101010101010101ull;
        if (word != pattern) {
            i += kWord;
            continue;
        }
        size_t from = i;
        while (from > literal && data[from - 1] == value) --from;
        size_t end = i + kWord;
        while (end + kWord <= size) {
            const uint64_t diff = wordAt(data + end) ^ pattern;
            if (diff != 0) {
                end += size_t(__builtin_ctzll(diff)) / 8;
                goto found;
            }
            end += kWord;
        }
        while (end < size && data[end] == value) ++end;
    found:
        out = putToken(out, data + literal, from + 1 - literal, end - from - 1);
        literal = i = end;
    }
    if (literal < size) out = putToken(out, data + literal, size - literal, 0);
    return size_t(out - start);
}

// Each byte XORed with the one a row above it.
void rowDeltas(const uint8_t* data, size_t size, size_t row, uint8_t* out) {
    std::memcpy(out, data, size < row ? size : row);
    for (size_t i = row; i < size; i += kWord) putWord(out + i, wordAt(data + i) ^ wordAt(data + i - row));
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

void StateStream::rows(uint8_t* data, size_t size, size_t row, uint8_t limit, const char* name) {
    if (size % kWord != 0 || row % kWord != 0) throw std::logic_error("rows need whole words");
    // The deltas (or the decoded bytes), then room to measure the encoding.
    static thread_local std::vector<uint8_t> scratch;
    if (scratch.size() < size + tokensBound(size) + kSlack) scratch.resize(size + tokensBound(size) + kSlack);
    if (writing()) {
        rowDeltas(data, size, row, scratch.data());
        uint8_t* out = mode_ == Mode::Save ? room(tokensBound(size)) : scratch.data() + size;
        const size_t n = encodeTokens(scratch.data(), size, out);
        record(n, name);
        offset_ += n;
        return;
    }
    // Checking decodes too, into the scratch, and then looks at the values.
    uint8_t* to = scratch.data();
    const uint8_t* in = data_ + offset_;
    const uint8_t* const end = data_ + size_;
    for (size_t at = 0; at < size;) {
        if (in == end) refuse(name, "is cut off: the snapshot ends inside it");
        const uint8_t token = *in++;
        size_t count = token >> 4, repeats = token & 15;
        if (count == 15) count = readCount(in, end, name);
        if (count > size_t(end - in)) refuse(name, "is cut off: the snapshot ends inside it");
        if (count > size - at) refuse(name, "runs past the end of its picture");
        // Short copies and fills as one 16-byte move each: the scratch has room.
        if (count <= kSlack && size_t(end - in) >= kSlack) {
            std::memcpy(to + at, in, kSlack);
        } else {
            std::memcpy(to + at, in, count);
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
        const uint8_t value = to[at - 1];
        if (repeats <= kSlack) std::memset(to + at, value, kSlack);
        else std::memset(to + at, value, repeats);
        at += repeats;
    }
    const bool load = mode_ == Mode::Load;
    if (!load) {
        // Values below a power of two have no bit above it set.
        const uint64_t above = uint8_t(~(limit - 1)) * 0x0101010101010101ull;
        uint64_t any = 0;
        for (size_t i = 0; i < size; i += kWord) any |= wordAt(to + i);
        if (any & above) refuse(name, "holds values of " + std::to_string(limit) + " or more");
    }
    recordAt(offset_, size_t(in - data_) - offset_, name);
    offset_ = size_t(in - data_);
    if (!load) return;
    // Undo the deltas, top down.
    std::memcpy(data, to, size < row ? size : row);
    for (size_t i = row; i < size; i += kWord) putWord(data + i, wordAt(to + i) ^ wordAt(data + i - row));
}

void StateStream::zeroRuns(uint8_t* data, size_t size, const char* name) {
    if (size % kWord != 0 || size / kWord > kMostWords)
        throw std::logic_error("zero runs need whole words, at most 65535");
    if (mode_ == Mode::Save) {
        const size_t n = encodeZeroRuns(data, size, room(zeroRunsBound(size)));
        record(n, name);
        offset_ += n;
        return;
    }
    if (mode_ == Mode::Measure) {
        std::vector<uint8_t> scratch(zeroRunsBound(size));
        const size_t n = encodeZeroRuns(data, size, scratch.data());
        record(n, name);
        offset_ += n;
        return;
    }
    const size_t words = size / kWord;
    const bool check = mode_ == Mode::Check;
    for (size_t i = 0; i < words;) {
        const uint8_t* head = take(4, name);
        const size_t zeros = get16(head), literals = get16(head + 2);
        if (zeros + literals > words - i) refuse(name, "runs past the end of its memory");
        // Only the first record may start without zeros, only the last end
        // without literals: anything else has a shorter encoding.
        if (check && ((zeros == 0 && i != 0) || (literals == 0 && i + zeros != words))) {
            refuse(name, "holds a run that is not the longest possible");
        }
        const uint8_t* in = take(literals * kWord, name);
        if (check) {
            for (size_t k = 0; k < literals; ++k) {
                if (wordAt(in + k * kWord) == 0) refuse(name, "holds a zero word among its literal words");
            }
        } else {
            std::memset(data + i * kWord, 0, zeros * kWord);
            std::memcpy(data + (i + zeros) * kWord, in, literals * kWord);
        }
        i += zeros + literals;
    }
}
