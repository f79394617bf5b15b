// Planning, running and judging the steps of environments, in the worker
// threads. Every random choice comes from the environment's own generator,
// in a fixed order, so an environment computes the same alone as in a batch
// of any size, stepped together or asynchronously.
#include "batch/env_batch.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

uint64_t splitMix(uint64_t& x) {
    uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

// Stacked observations, oldest first: each pixel's values move one frame
// back and the newest take the last place. `width` = channels x frames.
void shiftIn(uint8_t* stacked, const uint8_t* newest, size_t pixels, size_t channels, size_t width) {
    if (width == 4 && channels == 1) {
        for (size_t p = 0; p < pixels; ++p) {
            uint32_t word;
            std::memcpy(&word, stacked + 4 * p, 4);
            const uint8_t bytes[4] = {uint8_t(word >> 8), uint8_t(word >> 16), uint8_t(word >> 24), newest[p]};
            std::memcpy(stacked + 4 * p, bytes, 4);
        }
        return;
    }
    const size_t keep = width - channels;
    for (size_t p = 0; p < pixels; ++p) {
        uint8_t* px = stacked + p * width;
        for (size_t k = 0; k < keep; ++k) px[k] = px[k + channels];
        for (size_t c = 0; c < channels; ++c) px[keep + c] = newest[p * channels + c];
    }
}

}  // namespace

EnvBatch::EnvBatch(ConsoleBatch& consoles, GameRules rules, const Options& options, std::vector<uint8_t> start)
    : consoles_(consoles), rules_(std::move(rules)), options_(options), start_(std::move(start)) {
    rules_.validate();
    if (options_.skipLow < 1 || options_.skipHigh <= options_.skipLow) {
        throw std::invalid_argument("frame skip needs 1 <= low < high");
    }
    if (!(options_.sticky >= 0.0 && options_.sticky <= 1.0)) throw std::invalid_argument("sticky chance outside 0..1");
    if (options_.noopMax < 0 || options_.startFrames < 0 || options_.maxEpisodeFrames < 0) {
        throw std::invalid_argument("no-op frames, start frames and episode frames cannot be negative");
    }
    if (options_.frameStack < 1 || options_.frameStack > 64) throw std::invalid_argument("frame stack outside 1..64");
    if (options_.frameStack > 1 && consoles_.format().bytes() == 0) {
        throw std::invalid_argument("frames stack only for picture observations");
    }
    if (options_.episodicLife && rules_.lives < 0) {
        throw std::invalid_argument("episodic life needs a lives variable");
    }
    if (rules_.readsPrgRam() && !consoles_.hasPrgRam()) {
        throw std::invalid_argument("the rules read PRG RAM, which the batch does not copy out");
    }
    const size_t n = consoles_.size();
    frameBytes_ = consoles_.format().bytes();
    stackedBytes_ = frameBytes_ * size_t(options_.frameStack);
    variables_ = rules_.variables.size();
    envs_.resize(n);
    for (size_t i = 0; i < n; ++i) seed(i, i);
    if (options_.frameStack > 1) stacked_.assign(n * stackedBytes_, 0);
    rewards_.assign(n, 0.0);
    terminated_.assign(n, 0);
    truncated_.assign(n, 0);
    ended_.assign(n, 0);
    started_.assign(n, 0);
    values_.assign(n * variables_, 0);
    previous_.assign(n * variables_, 0);
    episodeFrames_.assign(n, 0);
    if (options_.autoreset == Autoreset::SameStep) {
        finalObservations_.assign(n * stackedBytes_, 0);
        finalValues_.assign(n * variables_, 0);
        finalEpisodeFrames_.assign(n, 0);
        // Memory observations and Python's variables read it after the restart.
        finalRam_.assign(n * ConsoleBatch::kRamBytes, 0);
        if (consoles_.hasPrgRam()) finalPrgRam_.assign(n * ConsoleBatch::kPrgRamBytes, 0);
    }
    pressed_.resize(n);
    sent_.assign(n, 0);
    sentMasks_.assign(n, 0);
    for (size_t i = 0; i < n; ++i) readValues(i);
}

EnvBatch::~EnvBatch() {
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        stopping_ = true;
    }
    work_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

const uint8_t* EnvBatch::observations() const {
    return options_.frameStack > 1 ? stacked_.data() : consoles_.observations();
}

// --- random choices ---

void EnvBatch::seed(size_t env, uint64_t seed) {
    Env& e = envs_.at(env);
    for (uint64_t& word : e.state) word = splitMix(seed);
}

uint64_t EnvBatch::next(Env& e) {
    auto& s = e.state;
    const uint64_t result = rotl(s[1] * 5, 7) * 9;
    const uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return result;
}

double EnvBatch::uniform(Env& e) { return double(next(e) >> 11) * 0x1.0p-53; }

int32_t EnvBatch::below(Env& e, int32_t bound) {
    // Lemire's multiply-and-shift on 32-bit draws, drawing again for the few
    // low halves that would bias the result.
    const uint32_t range = uint32_t(bound);
    uint64_t product = (next(e) >> 32) * range;
    if (uint32_t(product) < range) {
        const uint32_t threshold = uint32_t(0 - range) % range;
        while (uint32_t(product) < threshold) product = (next(e) >> 32) * range;
    }
    return int32_t(product >> 32);
}

int32_t EnvBatch::planFrames(Env& e) {
    const int32_t span = options_.skipHigh - options_.skipLow;
    return span == 1 ? options_.skipLow : options_.skipLow + below(e, span);
}

// --- one environment ---

void EnvBatch::run(size_t i, int32_t frames) {
    const std::vector<uint16_t>& masks = pressed_[i];
    consoles_.runFrames(i, frames, [&](int32_t f) {
        const uint16_t both = masks[size_t(f)];
        return std::make_pair(uint8_t(both), uint8_t(both >> 8));
    });
}

void EnvBatch::readValues(size_t i) {
    if (variables_ == 0) return;
    const uint8_t* ram = consoles_.ram() + i * ConsoleBatch::kRamBytes;
    const uint8_t* prg = consoles_.hasPrgRam() ? consoles_.prgRam() + i * ConsoleBatch::kPrgRamBytes : nullptr;
    rules_.read(ram, prg, &values_[i * variables_]);
}

void EnvBatch::stackObservation(size_t i, bool restart) {
    if (options_.frameStack == 1) return;
    uint8_t* row = &stacked_[i * stackedBytes_];
    if (restart) std::memset(row, 0, stackedBytes_);
    const size_t channels = consoles_.format().channels();
    shiftIn(row, consoles_.observations() + i * frameBytes_, frameBytes_ / channels, channels,
            channels * size_t(options_.frameStack));
}

void EnvBatch::resetEnv(size_t i) {
    Env& e = envs_[i];
    e.needsReset = false;
    std::vector<uint16_t>& masks = pressed_[i];
    if (e.lifeLost) {
        // After a lost life the game goes on: one idle step, as the Atari
        // environments do.
        e.lifeLost = false;
        const int32_t frames = planFrames(e);
        masks.assign(size_t(frames), 0);
        run(i, frames);
        episodeFrames_[i] += frames;
    } else {
        consoles_.loadStart(i, start_);
        const int32_t noops = options_.noopMax > 0 ? below(e, options_.noopMax + 1) : 0;
        const int32_t frames = options_.startFrames + noops;
        masks.assign(size_t(frames), 0);
        run(i, frames);
        episodeFrames_[i] = 0;
    }
    // A reset's observation is the picture it ends on, unpooled, as after a
    // restore: an episode started from a snapshot taken here sees the same.
    if (consoles_.format().maxPool && !masks.empty()) consoles_.observeRestored(i);
    e.previousMask = 0;
    stackObservation(i, true);
    readValues(i);
    std::copy_n(&values_[i * variables_], variables_, &previous_[i * variables_]);
    if (rules_.lives >= 0) e.lives = values_[i * variables_ + size_t(rules_.lives)];
}

void EnvBatch::finish(size_t i, bool lifeLost) {
    constexpr size_t kRam = ConsoleBatch::kRamBytes, kPrg = ConsoleBatch::kPrgRamBytes;
    Env& e = envs_[i];
    e.lifeLost = lifeLost;
    switch (options_.autoreset) {
        case Autoreset::NextStep: e.needsReset = true; break;
        case Autoreset::SameStep:
            ended_[i] = 1;
            std::memcpy(&finalObservations_[i * stackedBytes_], observations() + i * stackedBytes_, stackedBytes_);
            std::copy_n(&values_[i * variables_], variables_, &finalValues_[i * variables_]);
            finalEpisodeFrames_[i] = episodeFrames_[i];
            std::memcpy(&finalRam_[i * kRam], consoles_.ram() + i * kRam, kRam);
            if (!finalPrgRam_.empty()) std::memcpy(&finalPrgRam_[i * kPrg], consoles_.prgRam() + i * kPrg, kPrg);
            resetEnv(i);
            break;
        case Autoreset::Disabled: break;
    }
}

void EnvBatch::stepEnv(size_t i, uint8_t mask, uint8_t mask2) {
    Env& e = envs_[i];
    ended_[i] = 0;
    started_[i] = e.needsReset;
    if (e.needsReset) {
        resetEnv(i);
        rewards_[i] = 0;
        terminated_[i] = truncated_[i] = 0;
        return;
    }
    // Sticky frames keep the previous buttons until one takes the new ones,
    // which then hold for the rest of the step.
    const int32_t frames = planFrames(e);
    std::vector<uint16_t>& masks = pressed_[i];
    masks.resize(size_t(frames));
    bool switched = options_.sticky <= 0.0;
    for (int32_t f = 0; f < frames; ++f) {
        if (!switched && uniform(e) >= options_.sticky) switched = true;
        masks[size_t(f)] = uint16_t((switched ? mask : e.previousMask) | (mask2 << 8));
    }
    e.previousMask = uint8_t(masks[size_t(frames) - 1]);
    run(i, frames);
    episodeFrames_[i] += frames;
    stackObservation(i, false);

    std::copy_n(&values_[i * variables_], variables_, &previous_[i * variables_]);
    readValues(i);
    const int64_t* before = &previous_[i * variables_];
    const int64_t* now = &values_[i * variables_];
    double reward = 0;
    bool terminated = false, lifeLost = false;
    if (options_.judge) {
        reward = rules_.reward(before, now);
        terminated = rules_.ended(before, now);
    }
    if (rules_.lives >= 0) {
        const int64_t lives = now[rules_.lives];
        lifeLost = options_.episodicLife && !terminated && lives > 0 && lives < e.lives;
        e.lives = lives;
    }
    if (options_.clipRewards) reward = reward > 0 ? 1.0 : reward < 0 ? -1.0 : 0.0;
    const bool truncated = options_.maxEpisodeFrames > 0 && episodeFrames_[i] >= options_.maxEpisodeFrames;
    rewards_[i] = reward;
    terminated_[i] = terminated || lifeLost;
    truncated_[i] = truncated;
    if (options_.judge && (terminated_[i] || truncated)) finish(i, lifeLost && !truncated);
}

// --- together ---

void EnvBatch::reset(const std::vector<size_t>& envs) {
    for (size_t i : envs) consoles_.checkIndex(i);
    drain();
    const auto guard = consoles_.hold();
    consoles_.runEach(envs.size(), [&](size_t k) {
        const size_t i = envs[k];
        resetEnv(i);
        rewards_[i] = 0;
        terminated_[i] = truncated_[i] = ended_[i] = started_[i] = 0;
    });
}

void EnvBatch::step(const uint8_t* masks, const uint8_t* masks2) {
    if (inFlight() != 0) throw std::invalid_argument("receive the steps sent before stepping every environment");
    const auto guard = consoles_.hold();
    consoles_.runByCost([&](size_t i) { stepEnv(i, masks[i], masks2 ? masks2[i] : 0); });
}

void EnvBatch::endEpisodes(const std::vector<size_t>& envs) {
    for (size_t i : envs) consoles_.checkIndex(i);
    // Only these environments: others may be on their way on the async workers.
    consoles_.runEach(envs.size(), [&](size_t k) {
        const size_t i = envs[k];
        const int64_t lives = rules_.lives >= 0 ? values_[i * variables_ + size_t(rules_.lives)] : 0;
        const int64_t before = rules_.lives >= 0 ? previous_[i * variables_ + size_t(rules_.lives)] : 0;
        const bool lifeLost =
            !truncated_[i] && options_.episodicLife && rules_.lives >= 0 && lives > 0 && lives < before;
        ended_[i] = 0;
        finish(i, lifeLost);
    });
}

void EnvBatch::restored(size_t env) {
    consoles_.checkIndex(env);
    drain();
    envs_[env].needsReset = false;
    envs_[env].lifeLost = false;
    stackObservation(env, true);
    readValues(env);
    std::copy_n(&values_[env * variables_], variables_, &previous_[env * variables_]);
    if (rules_.lives >= 0) envs_[env].lives = values_[env * variables_ + size_t(rules_.lives)];
}

// --- asynchronously ---

void EnvBatch::send(const std::vector<size_t>& envs, const uint8_t* masks, const uint8_t* masks2) {
    for (size_t i : envs) consoles_.checkIndex(i);
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        std::vector<uint8_t> seen(size(), 0);
        for (size_t i : envs) {
            if (sent_[i] || seen[i]) {
                throw std::invalid_argument("environment " + std::to_string(i) +
                                            " was sent a step that has not been received");
            }
            seen[i] = 1;
        }
        if (workers_.empty()) {
            const int threads = consoles_.threads();
            for (int t = 0; t < threads; ++t) workers_.emplace_back([this] { asyncLoop(); });
        }
        for (size_t k = 0; k < envs.size(); ++k) {
            const size_t i = envs[k];
            sent_[i] = 1;
            sentMasks_[i] = uint16_t(masks[k] | ((masks2 ? masks2[k] : 0) << 8));
            waiting_.push_back(i);
        }
    }
    work_.notify_all();
}

void EnvBatch::asyncLoop() {
    std::unique_lock<std::mutex> guard(queueLock_);
    for (;;) {
        work_.wait(guard, [this] { return stopping_ || !waiting_.empty(); });
        if (stopping_) return;
        const size_t i = waiting_.front();
        waiting_.pop_front();
        ++running_;
        const uint16_t masks = sentMasks_[i];
        guard.unlock();
        stepEnv(i, uint8_t(masks), uint8_t(masks >> 8));
        guard.lock();
        --running_;
        done_.push_back(i);
        finished_.notify_all();
    }
}

std::vector<size_t> EnvBatch::receive(size_t count) {
    std::unique_lock<std::mutex> guard(queueLock_);
    size_t pending = 0;
    for (uint8_t s : sent_) pending += s;
    if (count > pending) {
        throw std::invalid_argument("waiting for " + std::to_string(count) + " environments, " +
                                    std::to_string(pending) + " were sent");
    }
    finished_.wait(guard, [&] { return done_.size() >= count; });
    std::vector<size_t> out(done_.begin(), done_.begin() + long(count));
    done_.erase(done_.begin(), done_.begin() + long(count));
    for (size_t i : out) sent_[i] = 0;
    return out;
}

size_t EnvBatch::inFlight() {
    std::lock_guard<std::mutex> guard(queueLock_);
    size_t pending = 0;
    for (uint8_t s : sent_) pending += s;
    return pending;
}

void EnvBatch::drain() {
    std::unique_lock<std::mutex> guard(queueLock_);
    finished_.wait(guard, [&] { return waiting_.empty() && running_ == 0; });
}
