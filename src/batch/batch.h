// A batch of consoles of one cartridge, stepped together on a pool of
// threads, each writing its observation and RAM into arrays made once.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "batch/observation.h"
#include "batch/worker_pool.h"
#include "console/nes_unit.h"

class ConsoleBatch {
public:
    static constexpr size_t kRamBytes = 2048;
    static constexpr size_t kPrgRamBytes = 8192;
    static constexpr size_t kFramePixels = size_t(PPU::kWidth) * PPU::kHeight;

    struct Options {
        int threads = 0;  // 0: one per usable core (never more than consoles)
        ObservationFormat observation;
        bool audio = false;   // off: the sample stage is skipped
        bool prgRam = false;  // also copy $6000-$7FFF after each step
        // Set on each console before it runs: its power-on state is that
        // timing's, and so is every reset without a snapshot.
        Timing timing = Timing::Design;
    };

    // What one step does. Console i runs frames[i] frames (`frames` null:
    // `allFrames` each); in its frame f the joypad masks (bit 0 = A ...
    // bit 7 = Right) are pad[i * stride + min(f, stride - 1)]; pad2 may be
    // null (player 2 releases everything). With `active`, a console whose
    // flag is 0 is left as it is, its observation included.
    struct Step {
        const uint8_t* pad1 = nullptr;
        const uint8_t* pad2 = nullptr;
        size_t stride = 1;
        const int32_t* frames = nullptr;
        int32_t allFrames = 1;
        const uint8_t* active = nullptr;
    };

    // Builds the consoles headless (no files are read or written). Throws
    // RomError for an image the console refuses or whose board is not
    // emulated, std::invalid_argument for a count below 1 or a bad
    // observation format.
    ConsoleBatch(const std::vector<uint8_t>& image, size_t consoles, const Options& options);
    ~ConsoleBatch();

    size_t size() const { return consoles_.size(); }
    int threads() const { return pool_->threads(); }
    const ObservationFormat& format() const { return maker_.format(); }
    bool audio() const { return audio_; }
    // size() observations of format().bytes(), and size() x 2048 RAM bytes.
    uint8_t* observations() { return observations_.data(); }
    uint8_t* ram() { return ram_.data(); }
    // size() x 8192 bytes of PRG RAM; empty unless asked for.
    uint8_t* prgRam() { return prgRam_.data(); }
    bool hasPrgRam() const { return !prgRam_.empty(); }

    // Refuses frame counts below 1 before any console moves.
    void step(const Step& step);

    // The same snapshots as a single console's; a restored console's
    // observation and RAM rows show the restored machine.
    std::vector<uint8_t> snapshot(size_t index, bool picture = true);
    void restore(size_t index, const uint8_t* data, size_t size);
    // Several at once on the workers: out[k] is console indices[k]'s
    // snapshot (its buffer reused: only its first sizes[k] bytes count).
    void snapshots(const std::vector<size_t>& indices, bool picture, std::vector<std::vector<uint8_t>>& out,
                   std::vector<size_t>& sizes);
    // Console indices[k] to snapshot k. Every snapshot is checked before any
    // console changes; a refusal names the snapshot's position.
    struct Snapshot {
        const uint8_t* data;
        size_t size;
    };
    void restoreMany(const std::vector<size_t>& indices, const std::vector<Snapshot>& snapshots);
    // The chosen consoles back to one snapshot (null: power-on), in parallel;
    // then console indices[k] runs noopFrames[k] frames with no button
    // pressed (noopFrames may be null).
    void reset(const std::vector<size_t>& indices, const uint8_t* data, size_t size,
               const int32_t* noopFrames = nullptr);
    // The reset button of the chosen consoles, memory kept.
    void softReset(const std::vector<size_t>& indices);
    // The timing the consoles power on in; a restored snapshot brings its own.
    Timing timing() const { return timing_; }
    Timing timing(size_t index);
    // Console `index` as NESUnit::powerOn leaves it in `timing`, its rows rewritten.
    void powerOn(size_t index, Timing timing);
    // The last finished picture of a console, 240 x 256 RGB.
    void picture(size_t index, uint8_t* out);

    // Runs work(i) for every console on the pool, the consoles that took
    // longest in the last call first, so that the last to finish are short
    // ones and no thread waits long at the end; the times are kept for the
    // next call. Each console's results are its own: the order changes no
    // output.
    template <class Work>
    void runByCost(Work work);
    // Runs work(k) for k < count on the workers, in no set order.
    template <class Work>
    void runEach(size_t count, Work work) {
        pool_->run(count, work);
    }
    // One caller at a time: what steps or restores consoles holds the batch.
    std::unique_lock<std::mutex> hold() { return std::unique_lock<std::mutex>(busy_); }
    // The workers' pool, for its counters.
    const WorkerPool& pool() const { return *pool_; }

    // --- one console, for what runs its own episodes on the batch (env_batch.cpp) ---
    // Each call touches console `index` and its rows alone, so workers may
    // make them for different consoles at once.
    // Throws std::out_of_range for an index past the batch.
    void checkIndex(size_t index) const;
    // Runs `frames` frames with the joypad masks maskAt(f) gives for frame f
    // (a pair: player 1, player 2), then writes its rows.
    template <class Masks>
    void runFrames(size_t index, int32_t frames, Masks maskAt);
    // Its rows from the machine as it stands, unpooled: as after a restore.
    void observeRestored(size_t index);
    // Back to `start`, a snapshot of this batch's cartridge checked before,
    // or to power-on when it is empty; its rows are left as they were.
    void loadStart(size_t index, const std::vector<uint8_t>& start);

    // The console itself, for reading its counters and memories between steps.
    NESUnit& console(size_t index) { return *consoles_.at(index); }
    bool takeAudio(size_t index, std::array<std::array<int16_t, APU::kBlockSamples>, APU::kBlocks>& out);

private:
    const uint8_t* shownFrame(size_t index) const;
    // Its colour emphasis (hardware timing), or null when it has none.
    const uint8_t* shownEmphasis(size_t index) const;
    // The shown frame becomes the one before, for max pooling.
    void keepPrevious(size_t index);
    void observe(size_t index);
    void runConsole(size_t index, const Step& step);
    static void press(ControllerWrapper& pad, uint8_t mask);

    std::vector<std::unique_ptr<NESUnit>> consoles_;
    ObservationMaker maker_;
    bool audio_;
    Timing timing_;
    std::unique_ptr<WorkerPool> pool_;
    // The machine at power-on, for resets without a snapshot.
    std::vector<uint8_t> powerOn_;

    // --- outputs and per-console scratch, made once ---
    std::vector<uint8_t> observations_;
    std::vector<uint8_t> ram_;
    std::vector<uint8_t> prgRam_;
    // The frame shown before the last one of a step, for max pooling.
    std::vector<uint8_t> previous_;
    // Its emphasis per console, empty while that frame had none (each
    // console's own worker sizes it).
    std::vector<std::vector<uint8_t>> previousEmphasis_;
    std::array<uint8_t, kFramePixels> black_;
    // Each console's time in the last runByCost, in nanoseconds (written by
    // the thread that ran it), and the order the next call hands them out in.
    std::vector<int64_t> cost_;
    std::vector<uint32_t> byCost_;
    // One caller at a time: steps, snapshots and restores of two Python
    // threads must not interleave.
    std::mutex busy_;
};

template <class Work>
void ConsoleBatch::runByCost(Work work) {
    pool_->run(size(), [&](size_t k) {
        const size_t index = byCost_[k];
        const auto start = std::chrono::steady_clock::now();
        work(index);
        cost_[index] =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    });
    std::stable_sort(byCost_.begin(), byCost_.end(), [&](uint32_t a, uint32_t b) { return cost_[a] > cost_[b]; });
}

template <class Masks>
void ConsoleBatch::runFrames(size_t index, int32_t frames, Masks maskAt) {
    NESUnit& unit = *consoles_[index];
    // The pooled observation is the maximum of the last two frames shown.
    if (frames == 0 && maker_.format().maxPool) keepPrevious(index);
    for (int32_t f = 0; f < frames; ++f) {
        const std::pair<uint8_t, uint8_t> masks = maskAt(f);
        press(unit.defaultPads[0], masks.first);
        press(unit.defaultPads[1], masks.second);
        if (f == frames - 1 && maker_.format().maxPool) keepPrevious(index);
        unit.runFrame();
    }
    observe(index);
}
