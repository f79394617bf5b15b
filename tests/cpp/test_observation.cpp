// Observations against a plain floating-point area average, the gray
// conversion on known colours, the format rules, and use from many threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "batch/observation.h"
#include "ppu/ppu.h"

#include "allocation_counter.h"

namespace {

constexpr int kHeight = 240, kWidth = 256;
using Bytes = std::vector<uint8_t>;

// Any byte values: only the low six bits may matter.
Bytes randomFrame(std::mt19937& random) {
    Bytes frame(size_t(kHeight) * kWidth);
    for (uint8_t& p : frame) p = uint8_t(random());
    return frame;
}

// Each output pixel is the mean of the source rectangle it covers, source
// pixels weighted by their overlapping area, of the converted (and pooled)
// full-size image.
// With emphasis planes, a pixel's colour is the palette's under its emphasis bits.
Bytes reference(const ObservationFormat& f, const Bytes& frame, const Bytes& previous, const Bytes& emphasis = {},
                const Bytes& previousEmphasis = {}) {
    const int channels = int(f.channels());
    auto value = [&](uint8_t index, const Bytes& bits, size_t p, int c) {
        uint8_t rgb[3];
        emphasisedColour(bits.empty() ? 0 : bits[p], index & 63, rgb);
        return channels == 3 ? double(rgb[c]) : std::floor(0.299 * rgb[0] + 0.587 * rgb[1] + 0.114 * rgb[2] + 0.5);
    };
    const double sy = double(kHeight) / f.height, sx = double(kWidth) / f.width;
    Bytes out(f.bytes());
    size_t next = 0;
    for (int oy = 0; oy < f.height; ++oy) {
        const double y0 = oy * sy, y1 = (oy + 1) * sy;
        for (int ox = 0; ox < f.width; ++ox) {
            const double x0 = ox * sx, x1 = (ox + 1) * sx;
            for (int c = 0; c < channels; ++c) {
                double sum = 0;
                for (int y = int(y0); y < std::min(kHeight, int(std::ceil(y1))); ++y) {
                    const double dy = std::min(y1, y + 1.0) - std::max(y0, double(y));
                    for (int x = int(x0); x < std::min(kWidth, int(std::ceil(x1))); ++x) {
                        const double dx = std::min(x1, x + 1.0) - std::max(x0, double(x));
                        const size_t p = size_t(y) * kWidth + size_t(x);
                        double v = value(frame[p], emphasis, p, c);
                        if (f.maxPool) v = std::max(v, value(previous[p], previousEmphasis, p, c));
                        if (dx > 0 && dy > 0) sum += dx * dy * v;
                    }
                }
                // Exact means are multiples of 1/(240*256): either exactly on a
                // half or far further from one than the rounding error here.
                out[next++] = uint8_t(std::floor(sum / ((y1 - y0) * (x1 - x0)) + 0.5 + 1e-9));
            }
        }
    }
    return out;
}

Bytes make(const ObservationMaker& maker, const Bytes& frame, const Bytes& previous) {
    Bytes out(maker.format().bytes(), 0xA5);
    maker.make(frame.data(), previous.empty() ? nullptr : previous.data(), out.data());
    return out;
}

std::string describe(const ObservationFormat& f) {
    return std::string(f.kind == ObservationKind::Rgb ? "Rgb" : "Gray") + "_" + std::to_string(f.height) + "x" +
           std::to_string(f.width) + (f.maxPool ? "_pooled" : "");
}

std::vector<ObservationFormat> referenceFormats() {
    static constexpr int kSizes[][2] = {{240, 256}, {84, 84},   {1, 1},   {120, 128}, {240, 84},
                                        {84, 256},  {480, 512}, {7, 300}, {239, 257}, {1024, 1024}};
    std::vector<ObservationFormat> formats;
    for (ObservationKind kind : {ObservationKind::Rgb, ObservationKind::Grayscale})
        for (const auto& size : kSizes)
            for (bool pool : {false, true}) formats.push_back({kind, size[0], size[1], pool});
    return formats;
}

class ObservationMatchesReference : public testing::TestWithParam<ObservationFormat> {};

}  // namespace

TEST_P(ObservationMatchesReference, OnRandomFrames) {
    const ObservationFormat f = GetParam();
    const ObservationMaker maker(f);
    std::mt19937 random(unsigned(f.height * 7919 + f.width * 31 + f.maxPool));
    for (int round = 0; round < 3; ++round) {
        const Bytes frame = randomFrame(random);
        const Bytes previous = f.maxPool ? randomFrame(random) : Bytes{};
        Bytes got(f.bytes());
        const long allocationsBefore = allocations.load();
        maker.make(frame.data(), f.maxPool ? previous.data() : nullptr, got.data());
        EXPECT_EQ(allocations.load(), allocationsBefore);
        const Bytes expected = reference(f, frame, previous);
        size_t mismatches = 0, first = 0;
        for (size_t i = got.size(); i-- > 0;) {
            if (got[i] != expected[i]) ++mismatches, first = i;
        }
        ASSERT_EQ(mismatches, 0u) << "first at byte " << first << ": " << int(got[first]) << " instead of "
                                  << int(expected[first]);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, ObservationMatchesReference, testing::ValuesIn(referenceFormats()),
                         [](const auto& info) { return describe(info.param); });

// Frames with colour emphasis: a plane of bits (0-7) for this frame, the one
// before, or both; cropped as plain frames are.
TEST_P(ObservationMatchesReference, WithEmphasis) {
    ObservationFormat f = GetParam();
    if (f.height >= 480) return;  // the reference is slow there; the other sizes take the same paths
    std::mt19937 random(unsigned(f.height * 131 + f.width + f.maxPool));
    for (int round = 0; round < 3; ++round) {
        // The last round crops, at the crop's own size: each output pixel is one source pixel.
        if (round == 2) f = {f.kind, 200, 224, f.maxPool, 16, 8, 224, 200};
        const ObservationMaker maker(f);
        const Bytes frame = randomFrame(random);
        const Bytes previous = randomFrame(random);
        Bytes emphasis = randomFrame(random), previousEmphasis = randomFrame(random);
        for (uint8_t& bits : emphasis) bits &= 7;
        for (uint8_t& bits : previousEmphasis) bits &= 7;
        // A frame without emphasis in turn.
        if (round == 1) emphasis.clear();
        if (round == 0) previousEmphasis.clear();
        Bytes got(f.bytes());
        const long allocationsBefore = allocations.load();
        maker.make(frame.data(), emphasis.empty() ? nullptr : emphasis.data(), f.maxPool ? previous.data() : nullptr,
                   previousEmphasis.empty() ? nullptr : previousEmphasis.data(), got.data());
        EXPECT_EQ(allocations.load(), allocationsBefore);
        if (round < 2) {
            ASSERT_EQ(got, reference(f, frame, previous, emphasis, f.maxPool ? previousEmphasis : Bytes{}))
                << "round " << round;
            continue;
        }
        const int channels = int(f.channels());
        const auto value = [&](const Bytes& colours, const Bytes& bits, size_t p, int c) {
            uint8_t rgb[3];
            emphasisedColour(bits.empty() ? 0 : bits[p], colours[p] & 63, rgb);
            return channels == 3 ? rgb[c] : uint8_t((299 * rgb[0] + 587 * rgb[1] + 114 * rgb[2] + 500) / 1000);
        };
        Bytes expected;
        for (int y = 0; y < f.cropHeight; ++y) {
            for (int x = 0; x < f.cropWidth; ++x) {
                const size_t p = size_t(f.cropY + y) * kWidth + size_t(f.cropX + x);
                for (int c = 0; c < channels; ++c) {
                    uint8_t v = value(frame, emphasis, p, c);
                    if (f.maxPool) v = std::max(v, value(previous, previousEmphasis, p, c));
                    expected.push_back(v);
                }
            }
        }
        ASSERT_EQ(got, expected) << "cropped";
    }
}

// Worked by hand from the palette's RGB: (299 R + 587 G + 114 B) / 1000, rounded.
TEST(Observation, GrayOfKnownColours) {
    static constexpr uint8_t kKnown[][2] = {
        {0x00, 96},  {0x0F, 0}, {0x20, 255},  // greys 96, black, white
        {0x01, 35},                           // 0, 28, 161: 34.790
        {0x16, 87},                           // 199, 46, 0: 86.503
        {0x21, 156},                          // 83, 174, 255: 156.025
        {0x2A, 166},                          // 66, 246, 15: 165.846
    };
    const ObservationMaker native({ObservationKind::Grayscale, 240, 256, false});
    const ObservationMaker resized({ObservationKind::Grayscale, 84, 84, false});
    for (const auto& known : kKnown) {
        const Bytes frame(size_t(kHeight) * kWidth, known[0]);
        for (const ObservationMaker* maker : {&native, &resized}) {
            const Bytes out = make(*maker, frame, {});
            EXPECT_EQ(out, Bytes(out.size(), known[1])) << "index " << int(known[0]);
        }
    }
}

TEST(Observation, ShapeBytesAndInvalidFormats) {
    using K = ObservationKind;
    EXPECT_EQ(ObservationFormat({K::Rgb, 240, 256, false}).shape(), (std::vector<size_t>{240, 256, 3}));
    EXPECT_EQ(ObservationFormat({K::Grayscale, 84, 84, true}).shape(), (std::vector<size_t>{84, 84}));
    EXPECT_EQ(ObservationFormat({K::None, 240, 256, false}).shape(), std::vector<size_t>{});
    EXPECT_EQ(ObservationFormat({K::Rgb, 240, 256, false}).bytes(), 184320u);
    EXPECT_EQ(ObservationFormat({K::Grayscale, 480, 7, false}).bytes(), 3360u);
    EXPECT_EQ(ObservationFormat({K::None, 0, 0, false}).bytes(), 0u);

    const ObservationFormat invalid[] = {{K::Rgb, 0, 84, false},    {K::Grayscale, 84, 0, false},
                                         {K::Rgb, -1, 84, false},   {K::Grayscale, 1025, 84, false},
                                         {K::Rgb, 84, 1025, false}, {K::None, 84, 84, false},
                                         {K::None, 0, 256, false}};
    for (const ObservationFormat& f : invalid) EXPECT_THROW(ObservationMaker{f}, std::invalid_argument) << describe(f);
    const ObservationFormat valid[] = {
        {K::None, 240, 256, false}, {K::None, 0, 0, true}, {K::Grayscale, 1024, 1024, false}, {K::Rgb, 1, 1024, true}};
    for (const ObservationFormat& f : valid) EXPECT_NO_THROW(ObservationMaker{f}) << describe(f);

    const ObservationMaker pooled({K::Grayscale, 84, 84, true});
    const Bytes frame(size_t(kHeight) * kWidth, 0);
    Bytes out(pooled.format().bytes());
    EXPECT_THROW(pooled.make(frame.data(), nullptr, out.data()), std::invalid_argument);
}

// One maker shared by several threads, each with its own frames and output.
TEST(Observation, SameBytesFromManyThreads) {
    static constexpr int kThreads = 4, kFrames = 12;
    std::mt19937 random(11);
    std::vector<Bytes> frames;
    for (int i = 0; i <= kFrames; ++i) frames.push_back(randomFrame(random));
    for (const ObservationFormat& f : {ObservationFormat{ObservationKind::Grayscale, 84, 84, true},
                                       ObservationFormat{ObservationKind::Rgb, 120, 128, true},
                                       ObservationFormat{ObservationKind::Rgb, 240, 256, false}}) {
        const ObservationMaker maker(f);
        std::vector<Bytes> expected;
        for (int i = 0; i < kFrames; ++i) expected.push_back(make(maker, frames[size_t(i) + 1], frames[size_t(i)]));
        std::vector<std::vector<Bytes>> results(kThreads, std::vector<Bytes>(kFrames));
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int n = 0; n < 5 * kFrames; ++n) {  // each thread from a different place
                    const size_t i = size_t(n + 3 * t) % kFrames;
                    results[size_t(t)][i] = make(maker, frames[i + 1], frames[i]);
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
        for (int t = 0; t < kThreads; ++t) EXPECT_EQ(results[size_t(t)], expected) << describe(f) << " thread " << t;
    }
}
