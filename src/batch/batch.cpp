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

void press(ControllerWrapper& pad, uint8_t mask) {
    std::array<uint8_t, 8> states;
    for (int i = 0; i < 8; ++i) states[size_t(i)] = uint8_t((mask >> i) & 1);
    pad.store(states);
}

}  // namespace

ConsoleBatch::ConsoleBatch(const std::vector<uint8_t>& image, size_t consoles, const Options& options)
    : maker_(options.observation), audio_(options.audio) {
    if (consoles < 1) throw std::invalid_argument("a batch needs at least one console");
    const int threads = options.threads > 0 ? options.threads : usableCores();
    consoles_.reserve(consoles);
    for (size_t i = 0; i < consoles; ++i) {
        consoles_.push_back(std::make_unique<NESUnit>(NESUnit::Headless{}, image, NESUnit::kDefaultClock));
        consoles_.back()->apu->setMixing(audio_);
    }
    pool_ = std::make_unique<WorkerPool>(int(std::min<size_t>(size_t(threads), consoles)));
    powerOn_ = takeSnapshot(*consoles_[0]);
    black_.fill(kBlack);
    observations_.assign(consoles * maker_.format().bytes(), 0);
    ram_.assign(consoles * kRamBytes, 0);
    previous_.assign(maker_.format().maxPool ? consoles * kFramePixels : 0, kBlack);
    for (size_t i = 0; i < consoles; ++i) observe(i);
}

ConsoleBatch::~ConsoleBatch() = default;

const uint8_t* ConsoleBatch::shownFrame(size_t index) const {
    const PPU& ppu = *consoles_[index]->ppu;
    return ppu.displayPublished ? ppu.displayColorIndex.data() : black_.data();
}

void ConsoleBatch::observe(size_t index) {
    const size_t bytes = maker_.format().bytes();
    if (bytes > 0) {
        const uint8_t* previous = maker_.format().maxPool ? &previous_[index * kFramePixels] : nullptr;
        maker_.make(shownFrame(index), previous, &observations_[index * bytes]);
    }
    std::memcpy(&ram_[index * kRamBytes], consoles_[index]->cpu->memory.data(), kRamBytes);
}

void ConsoleBatch::runConsole(size_t index, const Step& step) {
    NESUnit& unit = *consoles_[index];
    const int32_t frames = step.frames ? step.frames[index] : step.allFrames;
    const size_t base = index * step.stride;
    for (int32_t f = 0; f < frames; ++f) {
        const size_t at = base + std::min<size_t>(size_t(f), step.stride - 1);
        press(unit.defaultPads[0], step.pad1[at]);
        press(unit.defaultPads[1], step.pad2 ? step.pad2[at] : 0);
        // The pooled observation is the maximum of the last two frames shown.
        if (f == frames - 1 && maker_.format().maxPool) {
            std::memcpy(&previous_[index * kFramePixels], shownFrame(index), kFramePixels);
        }
        unit.runFrame();
    }
    observe(index);
}

void ConsoleBatch::step(const Step& step) {
    std::lock_guard<std::mutex> guard(busy_);
    if (!step.pad1 || step.stride < 1) throw std::invalid_argument("step needs player 1's joypad masks");
    for (size_t i = 0; i < size(); ++i) {
        const int32_t frames = step.frames ? step.frames[i] : step.allFrames;
        if (frames < 1) {
            throw std::invalid_argument("frames must be at least 1, console " + std::to_string(i) + " was given " +
                                        std::to_string(frames));
        }
    }
    auto job = [&](size_t index) { runConsole(index, step); };
    pool_->run(size(), job);
}

std::vector<uint8_t> ConsoleBatch::snapshot(size_t index) {
    std::lock_guard<std::mutex> guard(busy_);
    return takeSnapshot(*consoles_.at(index));
}

void ConsoleBatch::restore(size_t index, const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> guard(busy_);
    NESUnit& unit = *consoles_.at(index);
    restoreSnapshot(unit, data, size);
    if (maker_.format().maxPool) std::memcpy(&previous_[index * kFramePixels], shownFrame(index), kFramePixels);
    observe(index);
}

void ConsoleBatch::reset(const std::vector<size_t>& indices, const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> guard(busy_);
    for (size_t index : indices) {
        if (index >= consoles_.size()) {
            throw std::out_of_range("console " + std::to_string(index) + " is not in a batch of " +
                                    std::to_string(consoles_.size()));
        }
    }
    if (!data) {
        data = powerOn_.data();
        size = powerOn_.size();
    }
    // All consoles are of one cartridge and clock: one check answers for
    // each, before any of them changes.
    if (!indices.empty()) checkSnapshot(*consoles_[indices[0]], data, size);
    auto job = [&](size_t k) {
        const size_t index = indices[k];
        restoreSnapshot(*consoles_[index], data, size);
        if (maker_.format().maxPool) std::memcpy(&previous_[index * kFramePixels], shownFrame(index), kFramePixels);
        observe(index);
    };
    pool_->run(indices.size(), job);
}

bool ConsoleBatch::takeAudio(size_t index, std::array<std::array<int16_t, APU::kBlockSamples>, APU::kBlocks>& out) {
    std::lock_guard<std::mutex> guard(busy_);
    return consoles_.at(index)->apu->takeBlock(out);
}
