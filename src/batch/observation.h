// Observations for learning agents: a frame of palette indices turned into
// RGB or gray bytes, optionally the pixel-wise maximum of two frames and an
// exact area-averaged resize, the same bytes on every thread and machine.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

enum class ObservationKind { None, Rgb, Grayscale };

// Two frames' planes of colour emphasis bits (observation.cpp).
struct EmphasisPlanes;

struct ObservationFormat {
    ObservationKind kind = ObservationKind::Rgb;
    int height = 240, width = 256;  // output size; the crop's size keeps its pixels as they are
    bool maxPool = false;           // pixel-wise maximum of this frame and the one before
    // The rectangle of the frame observed (a game's status bar may be left out).
    int cropX = 0, cropY = 0, cropWidth = 256, cropHeight = 240;

    size_t channels() const;            // 3 for Rgb, 1 for Grayscale, 0 for None
    size_t bytes() const;               // of one observation
    std::vector<size_t> shape() const;  // {h, w, 3}, {h, w} or {}
    bool resized() const;               // output size differs from the crop's
    // Throws std::invalid_argument for a size outside 1..1024, a crop outside
    // the frame, or for None with a size other than 0 x 0 or the default.
    void validate() const;
};

// Turns frames into observations of one format. make() only reads the maker,
// so one maker serves several threads at once, each writing its own output.
class ObservationMaker {
public:
    static constexpr int kFrameHeight = 240;
    static constexpr int kFrameWidth = 256;

    // Validates the format and precomputes the colour tables and resize weights.
    explicit ObservationMaker(const ObservationFormat& format);

    const ObservationFormat& format() const { return format_; }

    // Writes format().bytes() bytes to `out` from `frame`, 240 x 256 palette
    // indices row by row (only the low six bits of each are used). With
    // maxPool, `previous` is the frame before (std::invalid_argument if null)
    // and the result is the maximum of the two converted frames, per channel
    // or of the gray values, taken before resizing; otherwise it is ignored.
    // Allocates nothing: the resize streams source rows through about 3 KB
    // of stack, so no scratch is shared between threads. Does nothing for None.
    void make(const uint8_t* frame, const uint8_t* previous, uint8_t* out) const;
    // The same for frames with colour emphasis: each frame's plane of PPUMASK
    // emphasis bits (a value 0-7 a pixel), or null for a frame without any.
    void make(const uint8_t* frame, const uint8_t* emphasis, const uint8_t* previous, const uint8_t* previousEmphasis,
              uint8_t* out) const;

private:
    // Area-averaging weights from frame pixels to output pixels along one axis.
    // Output o spans [o*S, (o+1)*S) and source pixel s spans [s*D, (s+1)*D)
    // in units of 1/D source pixel; a weight is their overlap, and the weights
    // of one output sum to S.
    struct Axis {
        int taps = 0;                  // most source pixels one output overlaps
        std::vector<uint16_t> first;   // per output: first and last source pixel
        std::vector<uint16_t> last;    //   with a nonzero weight
        std::vector<uint16_t> start;   // per output: a window of `taps` source pixels,
        std::vector<uint16_t> weight;  //   inside the frame, and its weights (0 where unused)

        Axis(int source, int destination);
    };

    template <int Channels, bool Pool>
    void makeResized(const uint8_t* frame, const uint8_t* previous, const EmphasisPlanes* emphasis, uint8_t* out) const;
    template <int Channels, bool Pool>
    void makeCropped(const uint8_t* frame, const uint8_t* previous, const EmphasisPlanes* emphasis, uint8_t* out) const;

    // --- what to make ---
    ObservationFormat format_;

    // --- colour tables, by palette index ---
    std::array<uint8_t, 64> gray_{};
    std::array<uint32_t, 64> rgb_{};  // r, g, b and a spare byte, in memory order
    std::vector<uint32_t> rgbMax_;    // pooled RGB: by index pair (a << 6 | b), 64 * 64
    // By emphasis bits and palette index (bits << 6 | index).
    std::array<uint8_t, 8 * 64> grayEmphasis_{};
    std::array<uint32_t, 8 * 64> rgbEmphasis_{};

    // --- resize weights ---
    Axis rows_;
    Axis columns_;
};
