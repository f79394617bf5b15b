// Stepping the batch: each worker runs whole consoles, frames and
// observation included, so no console is touched by two threads in a step.
#include "batch/batch.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "state/snapshot.h"

namespace {

// Palette value $0F is black: a console that has shown no frame yet shows it.
constexpr uint8_t kBlack = 0x0F;

}  // namespace

void ConsoleBatch::press(ControllerWrapper& pad, uint8_t mask) {
    std::array<uint8_t, 8> states;
    for (int i = 0; i < 8; ++i) states[size_t(i)] = uint8_t((mask >> i) & 1);
    pad.store(states);
}

ConsoleBatch::ConsoleBatch(const std::vector<uint8_t>& image, size_t consoles, const Options& options)
    : maker_(options.observation), audio_(options.audio), timing_(options.timing) {
    if (consoles < 1) throw std::invalid_argument("a batch needs at least one console");
    const int threads = options.threads > 0 ? options.threads : usableCores();
    consoles_.reserve(consoles);
    for (size_t i = 0; i < consoles; ++i) {
        consoles_.push_back(std::make_unique<NESUnit>(NESUnit::Headless{}, image, NESUnit::kDefaultClock));
        // A board run as DEFAULT_MAPPER shows the wrong banks: nothing to learn from.
        if (i == 0) consoles_[0]->cartridge->requireEmulatedBoard();
        if (timing_ != Timing::Design) consoles_.back()->setTiming(timing_);
        consoles_.back()->apu->setMixing(audio_);
        // Observations come from the palette values; picture() paints on demand.
        consoles_.back()->ppu->setRgbFrames(false);
    }
    pool_ = std::make_unique<WorkerPool>(int(std::min<size_t>(size_t(threads), consoles)));
    powerOn_ = takeSnapshot(*consoles_[0]);
    black_.fill(kBlack);
    observations_.assign(consoles * maker_.format().bytes(), 0);
    ram_.assign(consoles * kRamBytes, 0);
    prgRam_.assign(options.prgRam ? consoles * kPrgRamBytes : 0, 0);
    previous_.assign(maker_.format().maxPool ? consoles * kFramePixels : 0, kBlack);
    previousEmphasis_.resize(maker_.format().maxPool ? consoles : 0);
    cost_.assign(consoles, 0);
    byCost_.resize(consoles);
    for (size_t i = 0; i < consoles; ++i) byCost_[i] = uint32_t(i);
    for (size_t i = 0; i < consoles; ++i) observe(i);
}

ConsoleBatch::~ConsoleBatch() = default;

const uint8_t* ConsoleBatch::shownFrame(size_t index) const {
    const PPU& ppu = *consoles_[index]->ppu;
    return ppu.displayPublished ? ppu.displayColorIndex.data() : black_.data();
}

const uint8_t* ConsoleBatch::shownEmphasis(size_t index) const {
    const PPU& ppu = *consoles_[index]->ppu;
    return ppu.displayPublished ? ppu.shownEmphasis() : nullptr;
}

void ConsoleBatch::keepPrevious(size_t index) {
    std::memcpy(&previous_[index * kFramePixels], shownFrame(index), kFramePixels);
    std::vector<uint8_t>& emphasis = previousEmphasis_[index];
    if (const uint8_t* shown = shownEmphasis(index)) emphasis.assign(shown, shown + kFramePixels);
    else emphasis.clear();
}

void ConsoleBatch::observe(size_t index) {
    const size_t bytes = maker_.format().bytes();
    if (bytes > 0) {
        const bool pool = maker_.format().maxPool;
        const uint8_t* previous = pool ? &previous_[index * kFramePixels] : nullptr;
        const uint8_t* previousEmphasis =
            pool && !previousEmphasis_[index].empty() ? previousEmphasis_[index].data() : nullptr;
        maker_.make(shownFrame(index), shownEmphasis(index), previous, previousEmphasis, &observations_[index * bytes]);
    }
    const auto& memory = consoles_[index]->cpu->memory;
    std::memcpy(&ram_[index * kRamBytes], memory.data(), kRamBytes);
    if (hasPrgRam()) std::memcpy(&prgRam_[index * kPrgRamBytes], &memory[0x6000], kPrgRamBytes);
}

void ConsoleBatch::runConsole(size_t index, const Step& step) {
    if (step.active && !step.active[index]) return;
    const int32_t frames = step.frames ? step.frames[index] : step.allFrames;
    const size_t base = index * step.stride;
    runFrames(index, frames, [&](int32_t f) {
        const size_t at = base + std::min<size_t>(size_t(f), step.stride - 1);
        return std::make_pair(step.pad1[at], step.pad2 ? step.pad2[at] : uint8_t(0));
    });
}

void ConsoleBatch::step(const Step& step) {
    std::lock_guard<std::mutex> guard(busy_);
    if (!step.pad1 || step.stride < 1) throw std::invalid_argument("step needs player 1's joypad masks");
    for (size_t i = 0; i < size(); ++i) {
        const int32_t frames = step.frames ? step.frames[i] : step.allFrames;
        if (frames < 1 && !(step.active && !step.active[i])) {
            throw std::invalid_argument("frames must be at least 1, console " + std::to_string(i) + " was given " +
                                        std::to_string(frames));
        }
    }
    runByCost([&](size_t index) { runConsole(index, step); });
}

std::vector<uint8_t> ConsoleBatch::snapshot(size_t index, bool picture) {
    std::lock_guard<std::mutex> guard(busy_);
    return takeSnapshot(*consoles_.at(index), picture);
}

void ConsoleBatch::snapshots(const std::vector<size_t>& indices, bool picture, std::vector<std::vector<uint8_t>>& out,
                             std::vector<size_t>& sizes) {
    std::lock_guard<std::mutex> guard(busy_);
    for (size_t index : indices) checkIndex(index);
    if (out.size() < indices.size()) out.resize(indices.size());
    sizes.assign(indices.size(), 0);
    pool_->run(indices.size(), [&](size_t k) { sizes[k] = writeSnapshot(*consoles_[indices[k]], out[k], picture); });
}

void ConsoleBatch::restoreMany(const std::vector<size_t>& indices, const std::vector<Snapshot>& snapshots) {
    std::lock_guard<std::mutex> guard(busy_);
    if (snapshots.size() != indices.size()) {
        throw std::invalid_argument("restore_many needs one snapshot per console: " + std::to_string(indices.size()) +
                                    " consoles, " + std::to_string(snapshots.size()) + " snapshots");
    }
    std::vector<bool> seen(size(), false);
    for (size_t index : indices) {
        checkIndex(index);
        if (seen[index]) throw std::invalid_argument("console " + std::to_string(index) + " is named twice");
        seen[index] = true;
    }
    // All are checked before any console changes.
    std::vector<std::string> refusals(indices.size());
    pool_->run(indices.size(), [&](size_t k) {
        try {
            checkSnapshot(*consoles_[indices[k]], snapshots[k].data, snapshots[k].size);
        } catch (const SnapshotError& error) {
            refusals[k] = error.what();
        }
    });
    for (size_t k = 0; k < refusals.size(); ++k) {
        if (!refusals[k].empty()) throw SnapshotError("snapshot " + std::to_string(k) + ": " + refusals[k]);
    }
    pool_->run(indices.size(), [&](size_t k) {
        loadCheckedSnapshot(*consoles_[indices[k]], snapshots[k].data, snapshots[k].size);
        observeRestored(indices[k]);
    });
}

void ConsoleBatch::checkIndex(size_t index) const {
    if (index >= consoles_.size()) {
        throw std::out_of_range("console " + std::to_string(index) + " is not in a batch of " +
                                std::to_string(consoles_.size()));
    }
}

void ConsoleBatch::observeRestored(size_t index) {
    runFrames(index, 0, [](int32_t) { return std::make_pair(uint8_t(0), uint8_t(0)); });
}

void ConsoleBatch::loadStart(size_t index, const std::vector<uint8_t>& start) {
    const std::vector<uint8_t>& state = start.empty() ? powerOn_ : start;
    loadCheckedSnapshot(*consoles_[index], state.data(), state.size());
}

void ConsoleBatch::restore(size_t index, const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> guard(busy_);
    NESUnit& unit = *consoles_.at(index);
    restoreSnapshot(unit, data, size);
    observeRestored(index);
}

void ConsoleBatch::reset(const std::vector<size_t>& indices, const uint8_t* data, size_t size,
                         const int32_t* noopFrames) {
    std::lock_guard<std::mutex> guard(busy_);
    for (size_t k = 0; k < indices.size(); ++k) {
        checkIndex(indices[k]);
        if (noopFrames && noopFrames[k] < 0) throw std::invalid_argument("no-op frames must not be negative");
    }
    if (!data) {
        data = powerOn_.data();
        size = powerOn_.size();
    }
    // All consoles are of one cartridge and clock: one check answers for
    // each, before any of them changes.
    if (!indices.empty()) checkSnapshot(*consoles_[indices[0]], data, size);
    auto job = [&](size_t k) {
        loadCheckedSnapshot(*consoles_[indices[k]], data, size);
        runFrames(indices[k], noopFrames ? noopFrames[k] : 0,
                  [](int32_t) { return std::make_pair(uint8_t(0), uint8_t(0)); });
    };
    pool_->run(indices.size(), job);
}

void ConsoleBatch::softReset(const std::vector<size_t>& indices) {
    std::lock_guard<std::mutex> guard(busy_);
    for (size_t index : indices) checkIndex(index);
    for (size_t index : indices) {
        consoles_[index]->softReset();
        observe(index);
    }
}

Timing ConsoleBatch::timing(size_t index) {
    std::lock_guard<std::mutex> guard(busy_);
    checkIndex(index);
    return consoles_[index]->timing();
}

void ConsoleBatch::powerOn(size_t index, Timing timing) {
    std::lock_guard<std::mutex> guard(busy_);
    consoles_.at(index)->powerOn();
    consoles_[index]->setTiming(timing);
    observeRestored(index);
}

void ConsoleBatch::picture(size_t index, uint8_t* out) {
    std::lock_guard<std::mutex> guard(busy_);
    const PPU& ppu = *consoles_.at(index)->ppu;
    if (!ppu.displayPublished) {
        std::memset(out, 0, PPU::kFrameBytes);
        return;
    }
    paintFrameEmphasis(ppu.displayColorIndex.data(), ppu.shownEmphasis(), out);
}

bool ConsoleBatch::takeAudio(size_t index, std::array<std::array<int16_t, APU::kBlockSamples>, APU::kBlocks>& out) {
    std::lock_guard<std::mutex> guard(busy_);
    return consoles_.at(index)->apu->takeBlock(out);
}
