// Environments on a batch of consoles: each step is planned and judged in
// the worker threads (frame skip, sticky actions, no-op starts, a game's
// rewards and episode ends, lives, stacked frames, resets), so stepping
// many environments costs Python the same as stepping one. Steps run all
// together, or asynchronously: sent for some environments, received as
// they finish.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "batch/batch.h"
#include "batch/rules.h"

class EnvBatch {
public:
    enum class Autoreset : uint8_t { NextStep, SameStep, Disabled };

    struct Options {
        int32_t skipLow = 4, skipHigh = 5;  // a step runs [low, high) frames
        double sticky = 0.25;               // the chance a frame keeps the previous buttons
        int32_t noopMax = 0;                // a reset adds 0..noopMax idle frames
        int32_t startFrames = 0;            // idle frames after every reset
        int64_t maxEpisodeFrames = 0;       // 0: episodes are never truncated
        int32_t frameStack = 1;             // observations stacked, oldest first
        bool episodicLife = false;          // a lost life ends the episode, not the game
        bool clipRewards = false;           // each step's reward becomes -1, 0 or 1
        // False: the caller judges episode ends (its own rules) and says so
        // with endEpisodes(); truncation is still counted here.
        bool judge = true;
        Autoreset autoreset = Autoreset::NextStep;
    };

    // The consoles are the batch's; `start` is the snapshot a reset restores
    // (empty: the batch's power-on). Throws std::invalid_argument for bad
    // options or rules.
    EnvBatch(ConsoleBatch& consoles, GameRules rules, const Options& options, std::vector<uint8_t> start);
    ~EnvBatch();
    EnvBatch(const EnvBatch&) = delete;
    EnvBatch& operator=(const EnvBatch&) = delete;

    size_t size() const { return envs_.size(); }
    size_t variableCount() const { return rules_.variables.size(); }
    const GameRules& rules() const { return rules_; }
    const Options& options() const { return options_; }

    // --- outputs, one row per environment, rewritten by each step ---
    // Observations (stacked when frameStack > 1; else the batch's own).
    const uint8_t* observations() const;
    size_t observationBytes() const { return stackedBytes_; }
    const double* rewards() const { return rewards_.data(); }
    const uint8_t* terminated() const { return terminated_.data(); }
    const uint8_t* truncated() const { return truncated_.data(); }
    const int64_t* values() const { return values_.data(); }
    const int64_t* episodeFrames() const { return episodeFrames_.data(); }
    // Same-step autoreset: which environments ended in the last step, and
    // their observation, values and frame count at the end (their rows
    // above already show the next episode's start).
    const uint8_t* ended() const { return ended_.data(); }
    // Next-step autoreset: which environments' last step was the reset that
    // starts their next episode.
    const uint8_t* started() const { return started_.data(); }
    const uint8_t* finalObservations() const { return finalObservations_.data(); }
    const int64_t* finalValues() const { return finalValues_.data(); }
    const int64_t* finalEpisodeFrames() const { return finalEpisodeFrames_.data(); }
    // Same-step autoreset: the memory an episode ended with, kRamBytes, and
    // kPrgRamBytes when the batch copies it; null otherwise.
    const uint8_t* finalRam() const { return finalRam_.empty() ? nullptr : finalRam_.data(); }
    const uint8_t* finalPrgRam() const { return finalPrgRam_.empty() ? nullptr : finalPrgRam_.data(); }
    // The joypad masks pressed in each frame of an environment's last step
    // or reset (player 1 in the low byte, player 2 in the high byte).
    const std::vector<uint16_t>& pressed(size_t env) const { return pressed_.at(env); }

    // A 64-bit seed for each environment's random generator; an environment
    // never seeded is seeded from its index.
    void seed(size_t env, uint64_t seed);
    // The chosen environments to the start of an episode, in parallel.
    void reset(const std::vector<size_t>& envs);
    // One step of every environment with these joypad masks (one per
    // environment; masks2 may be null).
    void step(const uint8_t* masks, const uint8_t* masks2);
    // The caller's verdict when it judges: these environments' episodes
    // ended, and go on as the autoreset mode says. Others keep running.
    void endEpisodes(const std::vector<size_t>& envs);
    // After console `env` was restored from a snapshot: its values, lives
    // and stacked frames follow the restored machine.
    void restored(size_t env);

    // --- asynchronous steps ---
    // Starts one step of each chosen environment on the workers and returns.
    // Throws std::invalid_argument for an environment already on its way.
    void send(const std::vector<size_t>& envs, const uint8_t* masks, const uint8_t* masks2);
    // Waits until `count` sent environments have finished and returns them,
    // in the order they finished.
    std::vector<size_t> receive(size_t count);
    // Steps sent and not yet received.
    size_t inFlight();
    // Waits for every sent step to finish (they stay to be received).
    void drain();

private:
    struct Env {
        std::array<uint64_t, 4> state{};  // xoshiro256**
        uint8_t previousMask = 0;
        bool needsReset = false;
        bool lifeLost = false;  // the last end was a lost life, not the game's
        int64_t lives = 0;
    };
    uint64_t next(Env& e);
    double uniform(Env& e);
    int32_t below(Env& e, int32_t bound);  // 0 .. bound - 1
    int32_t planFrames(Env& e);

    void stepEnv(size_t i, uint8_t mask, uint8_t mask2);
    void resetEnv(size_t i);
    void finish(size_t i, bool lifeLost);
    void readValues(size_t i);
    void stackObservation(size_t i, bool restart);
    void run(size_t i, int32_t frames);  // pressed_[i] holds the masks
    void asyncLoop();

    ConsoleBatch& consoles_;
    GameRules rules_;
    Options options_;
    std::vector<uint8_t> start_;
    size_t frameBytes_ = 0;    // one observation
    size_t stackedBytes_ = 0;  // one stacked observation
    size_t variables_ = 0;

    std::vector<Env> envs_;
    std::vector<uint8_t> stacked_;
    std::vector<double> rewards_;
    std::vector<uint8_t> terminated_, truncated_, ended_, started_;
    std::vector<int64_t> values_, previous_, episodeFrames_;
    std::vector<uint8_t> finalObservations_;
    std::vector<int64_t> finalValues_, finalEpisodeFrames_;
    std::vector<uint8_t> finalRam_, finalPrgRam_;
    std::vector<std::vector<uint16_t>> pressed_;

    // --- asynchronous steps, guarded by queueLock_ ---
    std::mutex queueLock_;
    std::condition_variable work_;      // workers: a step was sent, or stop
    std::condition_variable finished_;  // receivers: a step finished
    std::deque<size_t> waiting_;        // sent, not yet started
    std::deque<size_t> done_;           // finished, not yet received
    std::vector<uint8_t> sent_;         // sent and not yet received, by environment
    std::vector<uint16_t> sentMasks_;   // the masks each sent step takes
    size_t running_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};
