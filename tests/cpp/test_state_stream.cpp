// The compact forms of the snapshot stream: memories with zero words elided
// and pictures as row deltas in runs. Whatever is written reads back the same;
// whatever a damaged stream holds is refused without touching the target.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "serial/checksum.h"
#include "serial/state_stream.h"
#include "serial/word_runs.h"

namespace {

using Bytes = std::vector<uint8_t>;

enum class Form { ZeroRuns, Rows };

constexpr size_t kRow = 256;

// What EncodingsKeepTheirBytes encodes: its size and checksum.
constexpr size_t kEncodedBytes = 529982;
constexpr uint64_t kEncodedSum = 0xf70b047f90806f08ull;

// `data` through `stream` in the form, whatever the stream's mode.
void transfer(StateStream& stream, Form form, Bytes& data) {
    if (form == Form::ZeroRuns) stream.zeroRuns(data.data(), data.size(), "data");
    else stream.rows(data.data(), data.size(), kRow, 64, "data");
}

Bytes encode(Form form, Bytes data) {
    Bytes out(16);
    StateStream save(out, 0);
    transfer(save, form, data);
    out.resize(save.offset());
    return out;
}

// Reads `stream` into a buffer of `size` bytes that starts out as `fill`;
// checks first, as a restore does.
Bytes decode(Form form, const Bytes& stream, size_t size, uint8_t fill = 0xCD) {
    Bytes data(size, fill);
    for (const auto mode : {StateStream::Mode::Check, StateStream::Mode::Load}) {
        StateStream s(mode, stream.data(), stream.size());
        transfer(s, form, data);
        s.finish();
        if (mode == StateStream::Mode::Check) {
            EXPECT_EQ(data, Bytes(size, fill)) << "checking wrote into the data";
        }
    }
    return data;
}

std::string refusal(Form form, const Bytes& stream, size_t size) {
    Bytes data(size, 0xCD);
    try {
        StateStream s(StateStream::Mode::Check, stream.data(), stream.size());
        transfer(s, form, data);
        s.finish();
    } catch (const SnapshotError& error) {
        EXPECT_EQ(data, Bytes(size, 0xCD));
        return error.what();
    }
    return "accepted";
}

// Contents that stress each form: empty, full, sparse, long and short runs,
// pictures of tiles, and noise.
std::vector<std::pair<std::string, Bytes>> contents(size_t size, uint8_t limit) {
    std::mt19937 random(7);
    const auto value = [&] { return uint8_t(random() % limit); };
    std::vector<std::pair<std::string, Bytes>> out;
    out.emplace_back("zeros", Bytes(size, 0));
    out.emplace_back("one value", Bytes(size, uint8_t(limit - 1)));
    Bytes noise(size), sparse(size, 0), tiles(size), stripes(size), longRuns(size);
    for (auto& b : noise) b = value();
    for (size_t i = 0; i < size; i += 8 * (1 + random() % 5))
        sparse[i + random() % 8] = uint8_t(1 + random() % (limit - 1));
    for (size_t i = 0; i < size; ++i)
        tiles[i] = uint8_t(((i / kRow / 8) * 3 + (i % kRow) / 8 + ((i / kRow) % 8 == 3)) % limit);
    for (size_t i = 0; i < size; ++i) stripes[i] = uint8_t((i / 3) % 2 ? limit - 1 : 1);
    for (size_t i = 0, v = 1; i < size; v = (v + 7) % limit) {
        const size_t run = 1 + random() % 700;
        for (size_t k = 0; k < run && i < size; ++k) longRuns[i++] = uint8_t(v);
    }
    out.emplace_back("noise", noise);
    out.emplace_back("sparse", sparse);
    out.emplace_back("tiles", tiles);
    out.emplace_back("stripes", stripes);
    out.emplace_back("long runs", longRuns);
    return out;
}

TEST(StateStream, CompactFormsReadBackWhatWasWritten) {
    for (const size_t size : {size_t(8), size_t(256), size_t(1024), size_t(16384), size_t(61440)}) {
        for (const Form form : {Form::ZeroRuns, Form::Rows}) {
            if (form == Form::Rows && size % kRow != 0) continue;
            for (const auto& [name, data] : contents(size, form == Form::Rows ? 64 : 255)) {
                const Bytes stream = encode(form, data);
                EXPECT_EQ(decode(form, stream, size), data) << name << " " << size;
                // One content, one encoding: writing it again gives the same bytes.
                EXPECT_EQ(encode(form, decode(form, stream, size)), stream) << name;
                if (name == "zeros" || (name == "one value" && form == Form::Rows)) {
                    EXPECT_LT(stream.size(), size / 4 + 16) << name;
                }
            }
        }
    }
}

// A save into a buffer of fixed size (a Python bytes object) encodes in
// place where the records fit and through a scratch buffer where only the
// result does: the same bytes either way, StreamFull where they do not fit.
TEST(StateStream, FixedBuffersHoldTheSameBytesOrRefuse) {
    for (const Form form : {Form::ZeroRuns, Form::Rows}) {
        for (const auto& [name, data] : contents(61440, form == Form::Rows ? 64 : 255)) {
            const Bytes whole = encode(form, data);
            for (const size_t room :
                 {whole.size() / 2, whole.size() - 1, whole.size(), whole.size() + 31, whole.size() + 200}) {
                // Bytes past the room given, which nothing may write.
                constexpr size_t kGuard = 64;
                Bytes copy = data, out(room + 3 + kGuard, 0xEE);
                StateStream save(StateStream::Mode::Save, out.data(), room + 3, 3);
                bool full = false;
                try {
                    transfer(save, form, copy);
                } catch (const StreamFull&) {
                    full = true;
                }
                EXPECT_EQ(Bytes(out.end() - kGuard, out.end()), Bytes(kGuard, 0xEE)) << name << " " << room;
                EXPECT_EQ(full, room < whole.size()) << name << " " << room;
                if (full) continue;
                EXPECT_EQ(save.offset(), 3 + whole.size()) << name << " " << room;
                EXPECT_EQ(Bytes(out.begin() + 3, out.begin() + 3 + long(whole.size())), whole) << name << " " << room;
                EXPECT_EQ(copy, data);
            }
        }
    }
}

// The encodings of every content, as this format has them: a change to the
// format, or an AVX2 form that differs from the portable one, changes these.
TEST(StateStream, EncodingsKeepTheirBytes) {
    Bytes all;
    for (const Form form : {Form::ZeroRuns, Form::Rows}) {
        for (const size_t size : {size_t(256), size_t(4096), size_t(61440)}) {
            for (const auto& [name, data] : contents(size, form == Form::Rows ? 64 : 255)) {
                const Bytes stream = encode(form, data);
                all.insert(all.end(), stream.begin(), stream.end());
            }
        }
    }
    EXPECT_EQ(all.size(), kEncodedBytes);
    EXPECT_EQ(checksum64(all.data(), all.size()), kEncodedSum);
}

TEST(StateStream, MeasuringGivesTheSizeOfWhatIsWritten) {
    for (const auto& [name, data] : contents(4096, 64)) {
        for (const Form form : {Form::ZeroRuns, Form::Rows}) {
            Bytes copy = data;
            StateStream measure;
            transfer(measure, form, copy);
            EXPECT_EQ(measure.offset(), encode(form, data).size()) << name;
        }
    }
}

TEST(StateStream, DamagedZeroRunsAreRefused) {
    const auto record = [](uint16_t zeros, uint16_t literals, uint64_t word) {
        Bytes r = {uint8_t(zeros), uint8_t(zeros >> 8), uint8_t(literals), uint8_t(literals >> 8)};
        for (int k = 0; k < literals; ++k)
            for (int b = 0; b < 8; ++b) r.push_back(uint8_t(word >> (8 * b)));
        return r;
    };
    const auto join = [](std::initializer_list<Bytes> parts) {
        Bytes out;
        for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    const Bytes whole = join({record(2, 2, 5)});
    EXPECT_EQ(refusal(Form::ZeroRuns, whole, 32), "accepted");
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {join({record(2, 3, 5)}), "runs past the end"},
        {join({record(1, 1, 5)}), "cut off"},
        {Bytes{2, 0}, "cut off"},
        {Bytes(whole.begin(), whole.end() - 3), "cut off"},
        {join({record(0, 1, 5), record(0, 3, 5)}), "longest possible"},  // a second record without zeros
        {join({record(1, 0, 0), record(3, 0, 0)}), "longest possible"},  // a record without literals, not last
        {join({record(2, 2, 0)}), "zero word among its literal words"},
    };
    for (const auto& [stream, reason] : cases) {
        EXPECT_NE(refusal(Form::ZeroRuns, stream, 32).find(reason), std::string::npos) << reason;
    }
}

TEST(StateStream, DamagedRowsAreRefused) {
    const size_t size = 2 * kRow;
    const Bytes good = encode(Form::Rows, contents(size, 64)[4].second);
    EXPECT_EQ(refusal(Form::Rows, good, size), "accepted");
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {Bytes(good.begin(), good.end() - 1), "cut off"},
        {Bytes{0x2F, 1, 64, 255, 240}, "holds values of 64 or more"},
        {Bytes{0x1F, 3, 255, 255, 10}, "runs past the end"},
        {Bytes{0x0F, 10}, "repeats a value before the first one"},
        {Bytes{0x00}, "empty token"},
        {Bytes{0xF0, 255}, "cut off"},
    };
    for (const auto& [stream, reason] : cases) {
        EXPECT_NE(refusal(Form::Rows, stream, size).find(reason), std::string::npos) << reason;
    }
}

// Runs of words as plainly as they can be found, to hold the fast ones to.
std::pair<std::vector<uint32_t>, std::vector<uint16_t>> plainRuns(const std::vector<uint32_t>& words) {
    std::vector<uint32_t> values;
    std::vector<uint16_t> lengths;
    for (size_t i = 0; i < words.size(); ++i) {
        if (i == 0 || words[i] != words[i - 1]) {
            values.push_back(words[i]);
            lengths.push_back(0);
        }
        ++lengths.back();
    }
    return {values, lengths};
}

template <class T>
std::vector<uint8_t> asStored(const std::vector<T>& values) {
    std::vector<uint8_t> bytes(values.size() * sizeof(T));
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

TEST(StateStream, WordRunsFoundCheckedAndExpanded) {
    std::mt19937 random(11);
    // Run lengths drawn up to `longest`: a new value at every word, short
    // runs around the 16-word stores, long ones across the 64-word scans.
    for (const size_t longest : {size_t(1), size_t(3), size_t(17), size_t(70), size_t(2000)}) {
        for (const size_t count :
             {size_t(1), size_t(15), size_t(64), size_t(65), size_t(130), size_t(1002), size_t(1024)}) {
            std::vector<uint32_t> words;
            for (uint32_t value = 0; words.size() < count; value += 1 + random() % 3) {
                words.insert(words.end(), std::min(count - words.size(), 1 + random() % longest), value);
            }
            const auto [values, lengths] = plainRuns(words);
            std::vector<uint32_t> runWords(count);
            std::vector<uint16_t> runLengths(count);
            const size_t n = word_runs::find(words.data(), count, runWords.data(), runLengths.data());
            runWords.resize(n);
            runLengths.resize(n);
            EXPECT_EQ(runWords, values) << longest << " " << count;
            EXPECT_EQ(runLengths, lengths) << longest << " " << count;

            size_t total = 0;
            EXPECT_TRUE(word_runs::longest(asStored(values).data(), asStored(lengths).data(), n, total));
            EXPECT_EQ(total, count);
            std::vector<uint32_t> expanded(count + 20, 0xEEEEEEEE);
            word_runs::expand(values.data(), lengths.data(), n, expanded.data(), count);
            EXPECT_EQ(std::vector<uint32_t>(expanded.begin(), expanded.begin() + long(count)), words);
            EXPECT_EQ(expanded[count], 0xEEEEEEEE) << "wrote past the end";

            // Two neighbours alike, or an empty run, is not the one encoding.
            if (n < 2) continue;
            const size_t at = random() % (n - 1) + 1;
            std::vector<uint32_t> alike = values;
            alike[at] = alike[at - 1];
            EXPECT_FALSE(word_runs::longest(asStored(alike).data(), asStored(lengths).data(), n, total)) << at;
            std::vector<uint16_t> empty = lengths;
            empty[at] = 0;
            EXPECT_FALSE(word_runs::longest(asStored(values).data(), asStored(empty).data(), n, total)) << at;
        }
    }
}

// Snapshots written by earlier releases carry this checksum: it must not
// change, whichever of its forms runs.
TEST(StateStream, ChecksumKeepsItsValues) {
    const std::vector<std::pair<size_t, uint64_t>> known = {
        {0, 0xcdfe16e6757d8d9cull},    {7, 0x58f5225d4258209aull},    {64, 0xe6a7276496fc3b91ull},
        {1000, 0xc7534ce4090b3f27ull}, {8627, 0xde110f9f602287a4ull},
    };
    for (const auto& [size, sum] : known) {
        Bytes data(size);
        for (size_t i = 0; i < size; ++i) data[i] = uint8_t(i * 131 + (i >> 7) * 7 + 1);
        EXPECT_EQ(checksum64(data.data(), data.size()), sum) << size;
    }
}

// The scans have AVX2 forms, chosen when the processor has it: run these
// tests again with the portable forms, which must give the same results.
TEST(StateStream, PortableFormsGiveTheSameResults) {
    if (std::getenv("VELKORA_NO_AVX2")) GTEST_SKIP() << "running the portable forms";
    const std::string command = "VELKORA_NO_AVX2=1 '" + std::filesystem::read_symlink("/proc/self/exe").string() +
                                "' --gtest_brief=1 '--gtest_filter=StateStream.*' > /dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << "the portable forms fail: run " << command;
}

}  // namespace
