// Converting and resizing frames into observations. Everything is integer
// arithmetic, so every thread and machine produces the same bytes.
#include "batch/observation.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "ppu/ppu.h"

// Each frame's emphasis plane; a frame without emphasis reads as zeros.
struct EmphasisPlanes {
    const uint8_t* now;
    const uint8_t* before;
};

namespace {

constexpr int kHeight = ObservationMaker::kFrameHeight;
constexpr int kWidth = ObservationMaker::kFrameWidth;
constexpr int kMaxSize = 1024;

// The maker's colour tables, as make() hands them down.
struct Tables {
    const uint8_t* gray;     // by palette index
    const uint32_t* rgb;     // r, g, b and a spare byte, in memory order
    const uint32_t* rgbMax;  // by index pair (a << 6 | b): the larger of each channel
    // By emphasis bits and palette index (bits << 6 | index), for frames with emphasis.
    const uint8_t* grayEmphasis;
    const uint32_t* rgbEmphasis;
};

// The larger of each byte of two colour words.
inline uint32_t largerChannels(uint32_t a, uint32_t b) {
    uint32_t out = 0;
    for (int shift = 0; shift < 24; shift += 8) out |= std::max((a >> shift) & 0xFF, (b >> shift) & 0xFF) << shift;
    return out;
}

// convert's path for frames with emphasis: one lookup a pixel by emphasis
// and palette value, pooled channel by channel.
template <int Channels, bool Pool>
void convertEmphasised(const Tables& tables, const uint8_t* frame, const uint8_t* previous,
                       const EmphasisPlanes& emphasis, uint8_t* out, int pixels) {
    const auto index = [](const uint8_t* colours, const uint8_t* bits, int x) {
        return unsigned(colours[x] & 63) | (unsigned(bits[x] & 7) << 6);
    };
    for (int x = 0; x < pixels; ++x) {
        const unsigned a = index(frame, emphasis.now, x);
        if constexpr (Channels == 1) {
            out[x] = Pool ? std::max(tables.grayEmphasis[a], tables.grayEmphasis[index(previous, emphasis.before, x)])
                          : tables.grayEmphasis[a];
        } else {
            uint32_t value = tables.rgbEmphasis[a];
            if constexpr (Pool) value = largerChannels(value, tables.rgbEmphasis[index(previous, emphasis.before, x)]);
            std::memcpy(out + 3 * x, &value, 3);
        }
    }
}

// One frame row (or a whole frame: `pixels` is the count, a multiple of 8)
// to bytes, pooled if asked. Gray packs eight lookups into one 64-bit store;
// shifting the load and the store alike keeps that independent of byte order.
// RGB stores four bytes per pixel, the spare one overwritten by the next
// pixel's, and only three for the last.
template <int Channels, bool Pool>
inline void convert(const Tables& tables, const uint8_t* frame, const uint8_t* previous, const EmphasisPlanes* emphasis,
                    uint8_t* out, int pixels) {
    if (emphasis) return convertEmphasised<Channels, Pool>(tables, frame, previous, *emphasis, out, pixels);
    if constexpr (Channels == 1) {
        const uint8_t* gray = tables.gray;
        // A crop's row may end between groups of eight.
        const int whole = pixels & ~7;
        for (int x = whole; x < pixels; ++x) {
            out[x] = Pool ? std::max(gray[frame[x] & 63], gray[previous[x] & 63]) : gray[frame[x] & 63];
        }
        for (int x = 0; x < whole; x += 8) {
            uint64_t now = 0, before = 0, packed = 0;
            std::memcpy(&now, frame + x, 8);
            if constexpr (Pool) std::memcpy(&before, previous + x, 8);
#pragma GCC unroll 8
            for (int shift = 0; shift < 64; shift += 8) {
                const unsigned a = unsigned(now >> shift) & 63;
                const uint64_t value = Pool ? std::max(gray[a], gray[unsigned(before >> shift) & 63]) : gray[a];
                packed |= value << shift;
            }
            std::memcpy(out + x, &packed, 8);
        }
    } else {
        const uint32_t* rgb = tables.rgb;
        const uint32_t* rgbMax = tables.rgbMax;
        auto colour = [&](int x) {
            const unsigned a = frame[x] & 63u;
            return Pool ? rgbMax[a << 6 | (previous[x] & 63u)] : rgb[a];
        };
        for (int x = 0; x < pixels - 1; ++x) {
            const uint32_t value = colour(x);
            std::memcpy(out + 3 * x, &value, 4);
        }
        const uint32_t last = colour(pixels - 1);
        std::memcpy(out + 3 * (pixels - 1), &last, 3);
    }
}

// One output row from the vertical sums. A fixed Taps lets the window loop
// unroll fully (-O2 alone keeps it a loop); 0 reads its length from `taps`.
// Weights along x sum to the source width and along y to its height, so
// every sum carries `area`; adding half of it first rounds halves up.
template <int Channels, int Taps>
void weighColumns(const uint16_t* sums, const uint16_t* start, const uint16_t* weight, int taps, int width,
                  uint32_t area, uint8_t* out) {
    const int window = Taps > 0 ? Taps : taps;
    for (int ox = 0; ox < width; ++ox) {
        const uint16_t* source = sums + size_t(start[ox]) * Channels;
        const uint16_t* w = weight + size_t(ox) * size_t(window);
        uint32_t total[Channels] = {};
#pragma GCC unroll 8
        for (int k = 0; k < window; ++k) {
            for (int c = 0; c < Channels; ++c) total[c] += uint32_t(w[k]) * source[k * Channels + c];
        }
        for (int c = 0; c < Channels; ++c) out[ox * Channels + c] = uint8_t((total[c] + area / 2) / area);
    }
}

using WeighColumns = void (*)(const uint16_t*, const uint16_t*, const uint16_t*, int, int, uint32_t, uint8_t*);

// Windows of up to 6 pixels cover every width of 52 and more (and some below).
template <int Channels>
WeighColumns pickWeighColumns(int taps) {
    switch (taps) {
        case 1: return weighColumns<Channels, 1>;
        case 2: return weighColumns<Channels, 2>;
        case 3: return weighColumns<Channels, 3>;
        case 4: return weighColumns<Channels, 4>;
        case 5: return weighColumns<Channels, 5>;
        case 6: return weighColumns<Channels, 6>;
        default: return weighColumns<Channels, 0>;
    }
}

}  // namespace

size_t ObservationFormat::channels() const {
    switch (kind) {
        case ObservationKind::Rgb: return 3;
        case ObservationKind::Grayscale: return 1;
        case ObservationKind::None: break;
    }
    return 0;
}

size_t ObservationFormat::bytes() const {
    if (kind == ObservationKind::None) return 0;
    return size_t(height) * size_t(width) * channels();
}

std::vector<size_t> ObservationFormat::shape() const {
    switch (kind) {
        case ObservationKind::Rgb: return {size_t(height), size_t(width), 3};
        case ObservationKind::Grayscale: return {size_t(height), size_t(width)};
        case ObservationKind::None: break;
    }
    return {};
}

bool ObservationFormat::resized() const { return height != cropHeight || width != cropWidth; }

void ObservationFormat::validate() const {
    if (cropX < 0 || cropY < 0 || cropWidth < 1 || cropHeight < 1 || cropX + cropWidth > kWidth ||
        cropY + cropHeight > kHeight) {
        throw std::invalid_argument("the observed rectangle must lie inside the 256 x 240 frame");
    }
    if (kind == ObservationKind::None) {
        if ((height == 0 && width == 0) || !resized()) return;
        throw std::invalid_argument("an observation of kind None takes no size");
    }
    if (height < 1 || height > kMaxSize || width < 1 || width > kMaxSize)
        throw std::invalid_argument("observation height and width must be within 1..1024");
}

ObservationMaker::Axis::Axis(int source, int destination) {
    first.resize(size_t(destination));
    last.resize(size_t(destination));
    for (int o = 0; o < destination; ++o) {
        // Source pixels overlapping [o*S, (o+1)*S): every one of them has a
        // nonzero overlap, so no zero-weight row or column is ever visited.
        first[size_t(o)] = uint16_t(o * source / destination);
        last[size_t(o)] = uint16_t(((o + 1) * source - 1) / destination);
        taps = std::max(taps, last[size_t(o)] - first[size_t(o)] + 1);
    }
    start.resize(size_t(destination));
    weight.assign(size_t(destination) * size_t(taps), 0);
    for (int o = 0; o < destination; ++o) {
        const int lo = o * source, hi = lo + source;
        const int windowStart = std::min<int>(first[size_t(o)], source - taps);
        start[size_t(o)] = uint16_t(windowStart);
        for (int s = first[size_t(o)]; s <= last[size_t(o)]; ++s) {
            const int overlap = std::min(hi, (s + 1) * destination) - std::max(lo, s * destination);
            weight[size_t(o) * size_t(taps) + size_t(s - windowStart)] = uint16_t(overlap);
        }
    }
}

ObservationMaker::ObservationMaker(const ObservationFormat& format)
    : format_((format.validate(), format)),
      rows_(format.cropHeight, format.kind == ObservationKind::None ? format.cropHeight : format.height),
      columns_(format.cropWidth, format.kind == ObservationKind::None ? format.cropWidth : format.width) {
    uint8_t rgb[64][4] = {};
    for (size_t c = 0; c < 64; ++c) {
        const uint32_t r = colorTable[3 * c], g = colorTable[3 * c + 1], b = colorTable[3 * c + 2];
        gray_[c] = uint8_t((299 * r + 587 * g + 114 * b + 500) / 1000);
        rgb[c][0] = uint8_t(r);
        rgb[c][1] = uint8_t(g);
        rgb[c][2] = uint8_t(b);
        std::memcpy(&rgb_[c], rgb[c], 4);
    }
    for (unsigned bits = 0; bits < 8; ++bits) {
        for (unsigned c = 0; c < 64; ++c) {
            uint8_t dimmed[4] = {};
            emphasisedColour(bits, c, dimmed);
            const unsigned i = bits << 6 | c;
            grayEmphasis_[i] = uint8_t((299 * dimmed[0] + 587 * dimmed[1] + 114 * dimmed[2] + 500) / 1000);
            std::memcpy(&rgbEmphasis_[i], dimmed, 4);
        }
    }
    if (!format_.maxPool) return;
    // One lookup per pooled RGB pixel instead of two and three maxima.
    if (format_.kind == ObservationKind::Rgb) {
        rgbMax_.resize(64 * 64);
        for (size_t a = 0; a < 64; ++a) {
            for (size_t b = 0; b < 64; ++b) {
                uint8_t larger[4] = {};
                for (int c = 0; c < 3; ++c) larger[c] = std::max(rgb[a][c], rgb[b][c]);
                std::memcpy(&rgbMax_[a << 6 | b], larger, 4);
            }
        }
    }
}

void ObservationMaker::make(const uint8_t* frame, const uint8_t* previous, uint8_t* out) const {
    make(frame, nullptr, previous, nullptr, out);
}

void ObservationMaker::make(const uint8_t* frame, const uint8_t* emphasis, const uint8_t* previous,
                            const uint8_t* previousEmphasis, uint8_t* out) const {
    if (format_.kind == ObservationKind::None) return;
    const bool pool = format_.maxPool;
    if (pool && !previous) throw std::invalid_argument("a max-pooled observation needs the previous frame");
    // Frames without emphasis (all of the design's) keep the plain lookups.
    static const std::array<uint8_t, size_t(kHeight) * kWidth> kNone{};
    const EmphasisPlanes planes{emphasis ? emphasis : kNone.data(), previousEmphasis ? previousEmphasis : kNone.data()};
    const EmphasisPlanes* e = emphasis || (pool && previousEmphasis) ? &planes : nullptr;
    const bool resize = format_.resized();
    const auto makeIn = [&](auto channels) {
        constexpr int kChannels = decltype(channels)::value;
        if (resize) {
            pool ? makeResized<kChannels, true>(frame, previous, e, out)
                 : makeResized<kChannels, false>(frame, previous, e, out);
        } else {
            pool ? makeCropped<kChannels, true>(frame, previous, e, out)
                 : makeCropped<kChannels, false>(frame, previous, e, out);
        }
    };
    switch (format_.kind) {
        case ObservationKind::None: return;
        case ObservationKind::Grayscale: makeIn(std::integral_constant<int, 1>{}); return;
        case ObservationKind::Rgb: makeIn(std::integral_constant<int, 3>{}); return;
    }
}

// The crop's pixels as they are: the whole frame in one conversion.
template <int Channels, bool Pool>
void ObservationMaker::makeCropped(const uint8_t* frame, const uint8_t* previous, const EmphasisPlanes* emphasis,
                                   uint8_t* out) const {
    const Tables tables{gray_.data(), rgb_.data(), rgbMax_.data(), grayEmphasis_.data(), rgbEmphasis_.data()};
    const int width = format_.cropWidth, height = format_.cropHeight;
    if (width == kWidth && height == kHeight) {
        convert<Channels, Pool>(tables, frame, previous, emphasis, out, kHeight * kWidth);
        return;
    }
    for (int y = 0; y < height; ++y) {
        const size_t offset = size_t(format_.cropY + y) * kWidth + size_t(format_.cropX);
        const EmphasisPlanes shifted =
            emphasis ? EmphasisPlanes{emphasis->now + offset, emphasis->before + offset} : EmphasisPlanes{};
        convert<Channels, Pool>(tables, frame + offset, Pool ? previous + offset : nullptr,
                                emphasis ? &shifted : nullptr, out + size_t(y) * size_t(width) * Channels, width);
    }
}

// Output row by output row: the vertical pass sums the weighted converted
// source rows into `sums`, the horizontal pass then weighs those per output
// column. Converted rows live in two slots keyed by row, which is enough for
// each source row to be converted once whether the rows shrink or grow.
template <int Channels, bool Pool>
void ObservationMaker::makeResized(const uint8_t* frame, const uint8_t* previous, const EmphasisPlanes* emphasis,
                                   uint8_t* out) const {
    constexpr int kMostRowValues = kWidth * Channels;
    uint8_t converted[2][kMostRowValues];
    int convertedRow[2] = {-1, -1};
    // Row weights sum to the crop's height, at most 240, so a vertical sum
    // is at most 240 * 255 and 16-bit lanes hold it: twice the lanes of 32-bit ones.
    uint16_t sums[kMostRowValues];

    const Tables tables{gray_.data(), rgb_.data(), rgbMax_.data(), grayEmphasis_.data(), rgbEmphasis_.data()};
    const int height = format_.height, width = format_.width;
    const int sourceWidth = format_.cropWidth;
    const int rowValues = sourceWidth * Channels;
    const uint32_t area = uint32_t(format_.cropWidth) * uint32_t(format_.cropHeight);
    const int rowTaps = rows_.taps, columnTaps = columns_.taps;
    const uint16_t* columnStart = columns_.start.data();
    const uint16_t* columnWeight = columns_.weight.data();
    const WeighColumns weigh = pickWeighColumns<Channels>(columnTaps);

    for (int oy = 0; oy < height; ++oy) {
        const int firstRow = rows_.first[size_t(oy)], lastRow = rows_.last[size_t(oy)];
        const uint16_t* rowWeight = rows_.weight.data() + size_t(oy) * size_t(rowTaps);
        const int rowStart = rows_.start[size_t(oy)];
        for (int s = firstRow; s <= lastRow; ++s) {
            uint8_t* row = converted[s & 1];
            if (convertedRow[s & 1] != s) {
                const size_t offset = size_t(format_.cropY + s) * kWidth + size_t(format_.cropX);
                const EmphasisPlanes shifted =
                    emphasis ? EmphasisPlanes{emphasis->now + offset, emphasis->before + offset} : EmphasisPlanes{};
                convert<Channels, Pool>(tables, frame + offset, Pool ? previous + offset : nullptr,
                                        emphasis ? &shifted : nullptr, row, sourceWidth);
                convertedRow[s & 1] = s;
            }
            const uint16_t w = rowWeight[s - rowStart];
            if (s == firstRow) {
                for (int x = 0; x < rowValues; ++x) sums[x] = uint16_t(w * row[x]);
            } else {
                for (int x = 0; x < rowValues; ++x) sums[x] = uint16_t(sums[x] + w * row[x]);
            }
        }
        weigh(sums, columnStart, columnWeight, columnTaps, width, area, out + size_t(oy) * size_t(width) * Channels);
    }
}
