// The audio processing unit: two pulse channels, triangle, noise and DMC,
// the frame sequencer, and the sample stage that fills the audio blocks.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <vector>

#include "apu/expansion_sound.h"
#include "common.h"

class StateStream;

class APU {
public:
    static constexpr int kBlockSamples = 1024;
    // Mix, pulse 1, pulse 2, triangle, noise, DMC, and the cartridge's sound
    // (handed out only when the board has some: channelBlocks()).
    static constexpr int kBlocks = 7;
    static constexpr int kExpansionBlock = 6;
    enum Channel { Pulse1 = 0, Pulse2 = 1, Triangle = 2, Noise = 3, Dmc = 4 };

    // Length counter loads, indexed by the written byte >> 3.
    static constexpr uint8_t lengthTable[32] = {
        10, 254, 20, 2,  40, 4,  80, 6,  160, 8,  60, 10, 14, 12, 26, 14,
        12, 16,  24, 18, 48, 20, 96, 22, 192, 24, 72, 26, 16, 28, 32, 30,
    };

    // Noise periods in CPU cycles, indexed by $400E bits 0-3; the timer
    // counts APU steps, so it runs to half of them.
    static constexpr uint16_t noisePeriods[16] = {
        4, 8, 16, 32, 64, 96, 128, 160, 202, 254, 380, 508, 762, 1016, 2034, 4068,
    };
    // Pulse waveforms, indexed by duty (register bits 6-7), then by dutyStep.
    static constexpr uint8_t dutySequences[4][8] = {
        {0, 1, 0, 0, 0, 0, 0, 0},
        {0, 1, 1, 0, 0, 0, 0, 0},
        {0, 1, 1, 1, 1, 0, 0, 0},
        {1, 0, 0, 1, 1, 1, 1, 1},
    };
    // Triangle outputs, (sequence value - 7.5) x 2 for the 32 steps 15, 14,
    // ... 0, 0, 1, ... 15.
    static constexpr float triangleLevels[32] = {
        15,  13,  11,  9,  7,  5,  3,  1,  -1, -3, -5, -7, -9, -11, -13, -15,
        -15, -13, -11, -9, -7, -5, -3, -1, 1,  3,  5,  7,  9,  11,  13,  15,
    };

    // DMC rates in CPU cycles, indexed by dmcFlags bits 0-3; halved likewise.
    static constexpr uint16_t dmcRates[16] = {
        428, 380, 340, 320, 286, 254, 226, 214, 190, 160, 142, 128, 106, 84, 72, 54,
    };

    CPU* cpu = nullptr;
    RelaxedCounter apuCycles;
    int64_t frameReset = 0;
    bool channelEnabled[5] = {};
    uint8_t lengthCounter[4] = {};  // pulse 1, pulse 2, triangle, noise

    // --- envelopes: pulse 1, pulse 2, noise (envelope.cpp) ---
    static constexpr int kNoiseEnvelope = 2;
    bool envelopeStart[3] = {};
    uint8_t envelopeDivider[3] = {};
    uint8_t envelopeDecay[3] = {};

    // --- pulse channels (pulse.cpp) ---
    uint16_t pulsePeriod[2] = {};
    uint16_t pulseTimer[2] = {};
    uint8_t dutyStep[2] = {};
    int8_t pulseOutput[2] = {};
    uint8_t sweepDivider[2] = {};
    bool sweepReload[2] = {};
    bool sweepMute[2] = {};

    // --- triangle (triangle.cpp) ---
    uint16_t trianglePeriod = 0;
    uint16_t triangleTimer = 0;
    uint8_t triangleStep = 0;
    float triangleOutput = 0.0f;
    uint8_t linearCounter = 0;
    bool linearReload = false;

    // --- noise (noise.cpp) ---
    uint16_t noiseShift = 1;
    int32_t noiseTimer = 0;
    int8_t noiseOutput = 0;

    // --- delta modulation channel (dmc.cpp) ---
    uint8_t dmcFlags = 0;
    int32_t dmcLevel = 0;
    int32_t dmcDirectLoad = -1;
    uint16_t dmcSampleAddress = 0;
    uint16_t dmcSampleLength = 0;
    uint16_t dmcAddress = 0;
    int32_t dmcBytesRemaining = 0;
    uint8_t dmcBuffer = 0;
    bool dmcBufferEmpty = true;
    uint8_t dmcShift = 0;
    int32_t dmcBitsRemaining = 0;
    bool dmcSilence = true;
    int32_t dmcTimer = 0;

    // --- frame sequencer (frame_sequencer.cpp) ---
    bool frameIrq = false;

    // --- sample stage (mixer.cpp) ---
    int32_t sampleRate = 44100;
    int32_t halfClock = 1789773 / 2;
    int64_t sampleCount = 0;
    std::vector<std::array<int16_t, kBlockSamples>> sampleBuffers;
    std::vector<std::array<int16_t, kBlockSamples>> outputBuffers;
    std::atomic<bool> blockReady{false};
    // Guards outputBuffers and blockReady between a handover and a reader.
    std::mutex handoverLock;
    // Each sample follows from five channel levels, packed in a word: pulse
    // 1 and 2 and the triangle as output + 15 (5 bits each), noise as its
    // output (4 bits), the DMC as its level (7 bits; 64 when off). A silent
    // channel's level gives a term of 0. The levels change far less often
    // than the samples, so a snapshot stores their runs and the blocks are
    // mixed from them again when needed.
    static constexpr int kChannels = 5;
    static constexpr int kLevelShift[kChannels] = {0, 5, 10, 15, 19};
    static constexpr uint32_t kLevelLimit[kChannels] = {31, 31, 31, 16, 128};
    static constexpr uint32_t kSilence = (15u << 0) | (15u << 5) | (15u << 10) | (0u << 15) | (64u << 19);
    // Whether a word holds five levels in range: the noise and DMC fields
    // cannot hold more than their limits.
    static bool validLevels(uint32_t levels) {
        return ((levels & 31) != 31) & (((levels >> 5) & 31) != 31) & (((levels >> 10) & 31) != 31) &
               ((levels >> 26) == 0);
    }
    struct LevelRuns {
        uint16_t count = 0;
        uint32_t level[kBlockSamples];
        uint16_t length[kBlockSamples];
    };
    uint32_t sampleLevels[kBlockSamples];  // of the block being filled
    // The six samples of the levels mixed last (a cache, not state: the mix
    // is a function of the levels alone).
    uint32_t mixedLevels = ~0u;
    int16_t mixedSamples[kChannels + 1] = {};
    LevelRuns outputRuns;  // of the finished block, made at the handover
    // After a restore: the first samples of the block being filled, and the
    // finished block, are still to be mixed from their levels.
    int32_t unmixedSamples = 0;
    bool outputUnmixed = false;
    // The board's sound, when it has some: its samples go to block 6 and
    // into the mix once per bulk run, for the samples made before
    // expansionMade... sampleCount (expansion_mix.cpp).
    ExpansionSound* expansion = nullptr;
    int64_t expansionMade = 0;
    void attachExpansion(ExpansionSound* sound);
    // The channel blocks getAudio hands out when split.
    int channelBlocks() const { return expansion ? kBlocks : kBlocks - 1; }

    // --- timing model (timing.cpp) ---
    bool hardware = false;
    void powerOnTiming();
    void clearHardwareState();
    // $4015 cleared, $4017 written again with its last value, the IRQ flags
    // down: what the reset button leaves.
    void softReset();

    // --- the hardware timing (hardware.cpp) ---
    // The frame counter counts CPU cycles there: the sequence running began
    // at frameStart in the mode frameFiveStep and frameStep is its next
    // step; a $4017 write takes effect at frameWriteAt with frameWriteValue.
    // frameEventAt is the first of the two (kNoCycle in the design timing).
    // An event at cycle e is seen by a register read in a later cycle and
    // comes before a register write in the same cycle.
    static constexpr int64_t kNoCycle = std::numeric_limits<int64_t>::max();
    int64_t frameStart = 0;
    int64_t frameWriteAt = kNoCycle;
    int64_t frameEventAt = kNoCycle;
    uint8_t frameStep = 0;
    uint8_t frameWriteValue = 0;
    bool frameFiveStep = false;
    // The last length clock's cycle and the counters it decremented: a
    // reload written in that same cycle is lost on those.
    int64_t lengthClockAt = kNoCycle;
    uint8_t lengthClocked = 0;
    // The DMC's IRQ flag, and the APU step of its output unit's next clock.
    bool dmcIrq = false;
    int64_t dmcNextClock = 0;

    // Every event before CPU cycle `cycle`: the frame counter's, in order
    // with the steps (which run to (cycle + 1) / 2 as runTo runs them).
    inline void runToCycle(int64_t cycle);  // apu_inline.h
    // A register write in `cycle` comes after the frame counter's event in it.
    void beforeWriteInCycle(int64_t cycle) {
        if (VELKORA_UNLIKELY(cycle >= frameEventAt)) runFrameEventsBefore(cycle + 1);
    }
    // The last CPU cycle a step may end at without a catch-up in the
    // hardware timing (the frame counter's next event; with `samples` the
    // next sample too); -1 while the schedule is to be worked out.
    int64_t aheadCycleLimit(bool samples) const {
        if (nextEvent == kUnscheduled) return -1;
        if (!samples || nextSample == kNever) return frameEventAt;
        return std::min(frameEventAt, 2 * std::min<int64_t>(nextSample, INT64_MAX / 4));
    }
    // The DMC's sample fetch. The CPU reaches a read in `cycle` at or after
    // CPU::dmaAt: whether the fetch is still wanted (the APU is brought to
    // the cycle; if not, dmaAt moves on). Then the fetched byte, in the get
    // cycle; dmaAt then names the next fetch.
    bool dmcDmaWanted(int64_t cycle);
    void dmcDmaFetched(uint8_t byte, int64_t cycle);

    APU();
    APU(const APU&) = delete;
    APU& operator=(const APU&) = delete;

    // One step, leaving every field exact: the reference path.
    void stepApu();
    void writeRegister(uint16_t address, uint8_t value);  // registers.cpp
    bool writeChannelRegister(uint16_t address, uint8_t value, int64_t cycle);
    uint8_t readStatus();

    // --- bulk stepping (bulk_stepping.cpp) ---
    // Runs steps until apuCycles reaches target; computes the same as
    // calling stepApu that often. Most steps only move the channel timers,
    // so those are counted and applied in one go (pending timer steps) when
    // a step with an effect comes (a sequencer clock, a sample, DMC
    // activity) or a register is written. Until then the timers, sequence
    // positions and outputs lag; apuCycles, the counters, envelopes, DMC
    // state, frameIrq and the sample buffers are always exact (apu_inline.h).
    inline void runTo(int64_t target);
    // Applies the pending timer steps, so the timers, sequence positions and
    // outputs are exact at apuCycles too (apu_inline.h).
    inline void bringOutputsUpToDate();
    // The largest runTo target that would only move apuCycles; -1 when the
    // next runTo must look at everything.
    int64_t aheadStepLimit() const { return nextEvent == kUnscheduled ? -1 : nextEvent; }
    // The same without the samples, which nothing the CPU reads depends on:
    // a CPU that only waits may run up to here, and the next runTo makes them.
    int64_t idleStepLimit() const { return nextEvent == kUnscheduled ? -1 : std::min(nextClock, nextDmc); }
    // apuCycles and sampleCount to 0, for the CPU's reset.
    void resetClock();

    // Takes the latest completed block (every channel's) if one is waiting;
    // safe against a handover on the stepping thread (mixer.cpp).
    bool takeBlock(std::array<std::array<int16_t, kBlockSamples>, kBlocks>& out);

    // Without mixing no samples are made (the blocks stay silent) and the
    // catch-up skips the sample steps; everything the game can observe runs
    // the same (mixer.cpp).
    bool mixing = true;
    void setMixing(bool on);
    // The samples made before step `steps`, at this clock, since the reset.
    int64_t samplesBefore(int64_t steps) const;

    // Every channel, the sequencer, the audio blocks and the catch-up's view
    // of the registers (serialize.cpp); outputs must be up to date when saving.
    void serialize(StateStream& s);

    // --- sequencer clocks, also run at once by a $4017 write with bit 7 ---
    void clockEnvelopes();       // envelope.cpp
    void clockLengthCounters();  // frame_sequencer.cpp
    void clockLinearCounter();   // triangle.cpp
    void clockSweeps();          // pulse.cpp

private:
    // One whole step at apuCycles, reading the registers from memory.
    void stepFull();
    // $4015's bits 0-3: a channel turned off loses its length counter.
    void enableLengthChannels(uint8_t value);
    void clockFrameSequencer();
    void tickDmcTimer() { dmcTimer = int32_t(nextTimerValue(uint32_t(dmcTimer), dmcRates[dmcFlags & 15] / 2u)); }
    // The channel steps read their register bytes from reg ($4000 first):
    // memory in a whole step, registerCopy when settling.
    void stepPulse(int k, const uint8_t* reg);
    void stepTriangle();
    void stepNoise(const uint8_t* reg);
    void stepDmc();
    void produceSample();
    // produceSample once a sample is due (a sample step knows it is).
    void takeSample();
    void handOver();
    // Sample `index` of the six blocks from its levels (mixer.cpp).
    static void mixSample(uint32_t levels, int index, std::vector<std::array<int16_t, kBlockSamples>>& blocks);
    static void mixRuns(const LevelRuns& runs, std::vector<std::array<int16_t, kBlockSamples>>& blocks);
    static void makeRuns(const uint32_t* levels, int count, LevelRuns& runs);
    // The levels behind a block's samples (snapshots of the first format).
    static void levelsOf(const std::vector<std::array<int16_t, kBlockSamples>>& blocks, uint32_t* levels);
    // A block's level runs in a snapshot, `samples` of them.
    void serializeRuns(StateStream& s, LevelRuns& runs, int samples);
    // The board's samples of a block, as runs of equal values.
    static void serializeExpansion(StateStream& s, std::array<int16_t, kBlockSamples>& block, int samples);
    // The board's samples for those made since the last call, into block 6
    // and the mix (expansion_mix.cpp).
    void renderExpansion();
    // Adds block 6 to the mix for samples [from, to) (restored ones).
    void addExpansion(std::vector<std::array<int16_t, kBlockSamples>>& blocks, int from, int to);
    void serializeHardware(StateStream& s, int32_t bitsRemaining);
    // The cycle of a frame sequence's step from the sequence's start.
    static int32_t frameStepOffset(bool fiveStep, int step);
    void silenceLevels();

    // --- bulk stepping (bulk_stepping.cpp) ---
    static constexpr int64_t kUnscheduled = std::numeric_limits<int64_t>::min();
    static constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
    // Steps before these have been applied to the timers: the DMC's, and
    // those of pulse 1, pulse 2, triangle and noise. A silent channel may
    // lag behind the others until something can make it audible again.
    int64_t dmcStepsApplied = 0;
    int64_t channelStepsApplied[4] = {};
    // The first step from apuCycles on that does more than move the timers;
    // kUnscheduled when it must be worked out again.
    int64_t nextEvent = kUnscheduled;
    // Its parts: the next sequencer clock, sample and DMC action.
    int64_t nextClock = kNever;
    int64_t nextSample = kNever;
    int64_t nextDmc = kNever;
    // $4000-$4017 as the pending timer steps saw them: a change made
    // behind the bus (a state load, a poke) applies only to later steps.
    alignas(8) uint8_t registerCopy[24] = {};

    inline bool registersUnchanged() const;  // apu_inline.h
    static uint64_t word(const uint8_t* bytes) {
        uint64_t w;
        std::memcpy(&w, bytes, sizeof w);
        return w;
    }
    void runToSlow(int64_t target);
    // Takes in register changes made since the last look, applying the
    // pending timer steps first.
    void refreshRegisters();
    // Applies the steps up to `upTo` to the timers; with `outputs` the last
    // of them is run as a whole channel step so the outputs are exact too.
    void applyTimerSteps(int64_t upTo, bool outputs);
    void applyChannelTimerSteps(int channel, int64_t upTo, bool outputs);
    void advancePulse(int k, uint64_t steps);
    void advanceTriangle(uint64_t steps);
    void advanceNoise(uint64_t steps);
    // `shifts` clocks of the noise register with feedback from `mode`'s tap.
    void clockNoise(uint64_t shifts, uint8_t mode);
    // Whether a channel's output is 0 on every timer-only step whatever its timer;
    // only a sequencer clock or a register write can change that.
    bool silent(int channel) const;
    // A step whose only effect is a sample.
    void sampleStep(int64_t step);
    // Worked out by the first sample step after a schedule(), which follows
    // every change of a channel's registers or counters, and good until the
    // next: which channels make sound (bit k, silent() clear; kUnnoted before
    // the first), and the step before which each pulse channel's output
    // stands as it is (its duty position's; 0 when the next sample must look).
    static constexpr uint8_t kUnnoted = 0xFF;
    uint8_t audibleChannels = kUnnoted;
    int64_t pulseHeldUntil[2] = {};
    void noteChannels();
    // A channel's steps up to upTo: the timer-only ones, then the last as
    // the channel runs it (applyChannelTimerSteps with outputs), fused.
    template <bool kAudible>
    void pulseStepsTo(int k, int64_t upTo);
    template <bool kAudible>
    void triangleStepsTo(int64_t upTo);
    template <bool kAudible>
    void noiseStepsTo(int64_t upTo);
    void schedule();
    int64_t nextFrameEvent() const;
    int64_t nextSampleStep() const;
    int64_t nextDmcEvent() const;

    // --- the hardware timing (hardware.cpp) ---
    uint8_t readStatusHardware();
    void writeRegisterHardware(uint16_t address, uint8_t value);
    void runFrameEventsBefore(int64_t cycle);
    void frameEvent(int64_t cycle);
    void scheduleFrame();
    void clockLengthHardware(int64_t cycle);
    void reloadLength(int channel, uint8_t value, int64_t cycle);
    void raiseFrameIrq(int64_t cycle);
    void ackFrameIrq(int64_t cycle);
    void ackDmcIrq(int64_t cycle);
    // The DMC's output clocks before step `upTo`; silent ones are counted in
    // bulk (they only count the output cycle down).
    void dmcCatchUp(int64_t upTo);
    void dmcOutputClock(int64_t step);
    int64_t nextDmcEventHardware() const;
    // schedule() for the hardware timing: no sequencer steps, the DMC's
    // clocks as nextDmcEventHardware has them.
    void scheduleHardware();
    // CPU::dmaAt for the fetch the DMC's state leads to next.
    void predictDmcDma();
    void stepFullHardware();
    // The hardware's state from the design's (a timing change), and back.
    void enterHardwareTiming();
    void leaveHardwareTiming();
    void powerOnHardware();
    void softResetHardware();

    // (value + 1) mod modulus without a division in the common case: the
    // value only exceeds modulus - 1 after the game shortened the period.
    static uint32_t nextTimerValue(uint32_t value, uint32_t modulus) {
        const uint32_t next = value + 1;
        if (next < modulus) return next;
        return next == modulus ? 0 : next % modulus;
    }
    // `steps` such moves of an up-counter at once; returns how often it
    // became 0.
    static uint64_t advanceTimer(uint32_t& value, uint32_t modulus, uint64_t steps);
};
