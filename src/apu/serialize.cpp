// The APU in a snapshot, its outputs up to date so that every channel is
// exact at apuCycles. The step count and the sample count follow from the CPU's
// cycle count and this console's clock, so they are set, not stored; the
// audio not yet handed over is stored as the channel levels it mixes from.
#include <algorithm>
#include <cstring>

#include "apu/apu.h"
#include "cpu/cpu.h"
#include "serial/state_stream.h"
#include "serial/word_runs.h"

void APU::serialize(StateStream& stream) {
    // Each mode gets its own copy of the fields (StateStream::withMode).
    stream.withMode([&](auto& s) __attribute__((always_inline)) {
        if (s.saving() && (dmcStepsApplied != apuCycles || int64_t(apuCycles) != (int64_t(cpu->cycles) + 1) / 2)) {
            throw std::logic_error("APU snapshot with pending timer steps");
        }
        s.tag("APU ");
        s.io(frameReset, -1, int64_t(1) << 47, "frame sequencer start");
        s.io(channelEnabled);
        s.io(lengthCounter);
        s.io(frameIrq);

        // --- envelopes: pulse 1, pulse 2, noise ---
        s.io(envelopeStart);
        s.io(envelopeDivider, 0, 15, "envelope divider");
        s.io(envelopeDecay, 0, 15, "envelope level");

        // --- pulse channels ---
        s.io(pulsePeriod);
        s.io(pulseTimer);
        s.io(dutyStep, 0, 7, "pulse duty step");
        s.io(pulseOutput, -15, 15, "pulse output");
        s.io(sweepDivider, 0, 7, "sweep divider");
        s.io(sweepReload);
        s.io(sweepMute);

        // --- triangle ---
        s.io(trianglePeriod);
        s.io(triangleTimer);
        s.io(triangleStep, 0, 31, "triangle step");
        s.io(triangleOutput, -15.0f, 15.0f, "triangle output");
        s.io(linearCounter, 0, 127, "linear counter");
        s.io(linearReload);

        // --- noise ---
        s.io(noiseShift, 0, 0x7FFF, "noise shift register");
        s.io(noiseTimer, 0, noisePeriods[15] / 2 - 1, "noise timer");
        s.io(noiseOutput, 0, 15, "noise output");

        // --- delta modulation channel ---
        s.io(dmcFlags);
        s.io(dmcLevel, 0, 127, "DMC output level");
        s.io(dmcDirectLoad, -1, 127, "DMC direct load");
        s.io(dmcSampleAddress);
        s.io(dmcSampleLength);
        s.io(dmcAddress);
        s.io(dmcBytesRemaining, 0, 16 * 255 + 1, "DMC bytes remaining");
        s.io(dmcBuffer);
        s.io(dmcBufferEmpty);
        s.io(dmcShift);
        const int32_t bitsRemaining = s.io(dmcBitsRemaining, 0, 8, "DMC bits remaining");
        s.io(dmcSilence);
        s.io(dmcTimer, 0, dmcRates[0] / 2 - 1, "DMC timer");

        // --- sample stage: the block being filled, and the finished block that
        // getAudio has still to hand over ---
        std::unique_lock<std::mutex> guard(handoverLock, std::defer_lock);
        bool ready = blockReady.load(std::memory_order_relaxed);
        if (s.version() == 1) {
            // The APU's six blocks: the format is older than the boards with sound.
            for (int i = 0; i < kExpansionBlock; ++i) s.io(sampleBuffers[size_t(i)]);
            if (s.loading()) guard.lock();
            for (int i = 0; i < kExpansionBlock; ++i) s.io(outputBuffers[size_t(i)]);
            ready = s.io(ready);
            if (s.loading()) {
                levelsOf(sampleBuffers, sampleLevels);
                uint32_t finished[kBlockSamples];
                levelsOf(outputBuffers, finished);
                makeRuns(finished, kBlockSamples, outputRuns);
                unmixedSamples = 0;
                outputUnmixed = false;
            }
        } else {
            // Only the samples made so far in this block: their count follows
            // from the cycle count, as the sample count does. A whole block is
            // handed over only when the next sample is made, so at a multiple of
            // 1024 (power-on included: 1024 zeros) the block is still here.
            const int64_t made = samplesBefore((s.cycles + 1) / 2);
            const int filled = made % kBlockSamples == 0 ? kBlockSamples : int(made % kBlockSamples);
            LevelRuns runs;
            if (s.writing())
                runs.count = uint16_t(word_runs::find(sampleLevels, size_t(filled), runs.level, runs.length));
            serializeRuns(s, runs, filled);
            // The board's sound: only boards with sound store it, all newer than format 3.
            const bool board = expansion && s.version() >= 3;
            if (board) serializeExpansion(s, sampleBuffers[kExpansionBlock], filled);
            if (s.loading()) {
                word_runs::expand(runs.level, runs.length, runs.count, sampleLevels, size_t(filled));
                unmixedSamples = filled;
            }
            ready = s.io(ready, "audio block waiting");
            if (ready) {
                if (s.loading()) guard.lock();
                serializeRuns(s, outputRuns, kBlockSamples);
                if (board) serializeExpansion(s, outputBuffers[kExpansionBlock], kBlockSamples);
                if (s.loading()) outputUnmixed = true;
            }
        }
        if (s.loading()) {
            if (!guard.owns_lock()) guard.lock();
            blockReady.store(ready, std::memory_order_release);
            guard.unlock();
        }

        // --- the registers as the catch-up last took them in ---
        s.bytes(registerCopy, sizeof registerCopy);

        if (s.hardware) serializeHardware(s, bitsRemaining);
        else if (s.loading()) frameEventAt = frameWriteAt = lengthClockAt = kNoCycle;

        if (s.loading()) {
            apuCycles = (int64_t(cpu->cycles) + 1) / 2;
            sampleCount = samplesBefore(apuCycles);
            expansionMade = sampleCount;
            if (expansion) expansion->clockedTo = cpu->cycles;
            dmcStepsApplied = apuCycles;
            for (int64_t& applied : channelStepsApplied) applied = apuCycles;
            nextEvent = kUnscheduled;
            nextClock = nextSample = nextDmc = kNever;
            if (s.hardware) {
                scheduleFrame();
                // A fetch the DMC waits for keeps the CPU's request; otherwise
                // the request follows from the DMC's state.
                if (!(dmcBufferEmpty && dmcBytesRemaining > 0)) predictDmcDma();
            }
        }
    });
}

void APU::serializeRuns(StateStream& s, LevelRuns& runs, int samples) {
    uint16_t count = runs.count;
    count = s.io(count, 0, samples, "audio level runs");
    s.require(samples == 0 || count > 0, "an audio block has samples but no level runs");
    if (s.writing()) {
        s.bytes(runs.level, sizeof(uint32_t) * count, "audio levels");
        s.bytes(runs.length, sizeof(uint16_t) * count, "audio run lengths");
        return;
    }
    const uint8_t* levels = s.take(sizeof(uint32_t) * count, "audio levels");
    const uint8_t* lengths = s.take(sizeof(uint16_t) * count, "audio run lengths");
    if (s.loading()) {
        std::memcpy(runs.level, levels, sizeof(uint32_t) * count);
        std::memcpy(runs.length, lengths, sizeof(uint16_t) * count);
        runs.count = count;
        return;
    }
    // One encoding per block: runs as long as they go, lengths adding up.
    // validLevels for every run at once: no pulse or triangle field (5 bits
    // each from bit 0) of 31, nothing above the DMC's field.
    constexpr uint32_t kFieldLows = 1u << kLevelShift[0] | 1u << kLevelShift[1] | 1u << kLevelShift[2];
    s.require(!word_runs::anyFull(levels, count, kFieldLows, kFieldLows << 4, ~0u << 26),
              "an audio level is out of range");
    size_t total = 0;
    s.require(word_runs::longest(levels, lengths, count, total), "audio level runs are not the longest possible");
    s.require(total == size_t(samples), "audio level runs do not add up to the block's samples");
}

void APU::serializeExpansion(StateStream& s, std::array<int16_t, kBlockSamples>& block, int samples) {
    s.tag("XSND");
    int16_t value[kBlockSamples];
    uint16_t length[kBlockSamples];
    uint16_t count = 0;
    if (s.writing()) {
        for (int i = 0; i < samples; ++count) {
            int end = i + 1;
            while (end < samples && block[size_t(end)] == block[size_t(i)]) ++end;
            value[count] = block[size_t(i)];
            length[count] = uint16_t(end - i);
            i = end;
        }
    }
    count = s.io(count, 0, samples, "expansion sound runs");
    s.require(samples == 0 || count > 0, "a block has samples but no expansion sound runs");
    if (s.writing()) {
        s.bytes(value, sizeof(int16_t) * count, "expansion sound samples");
        s.bytes(length, sizeof(uint16_t) * count, "expansion sound run lengths");
        return;
    }
    std::memcpy(value, s.take(sizeof(int16_t) * count, "expansion sound samples"), sizeof(int16_t) * count);
    std::memcpy(length, s.take(sizeof(uint16_t) * count, "expansion sound run lengths"), sizeof(uint16_t) * count);
    int total = 0;
    for (int r = 0; r < count; ++r) {
        s.require(length[r] > 0 && length[r] <= samples - total, "expansion sound runs do not add up to the block");
        if (s.loading()) std::fill_n(block.begin() + total, length[r], value[r]);
        total += length[r];
    }
    s.require(total == samples, "expansion sound runs do not add up to the block");
}

// Stored caught up to the CPU's cycle: every frame counter event before it
// made, the DMC's clocks counted. So the next event lies ahead of the cycle
// count, within one sequence; a pending $4017 write within its delay; the
// DMC's next clock within one period.
void APU::serializeHardware(StateStream& s, int32_t bitsRemaining) {
    s.tag("APUH");
    const int64_t now = s.cycles;
    const int64_t steps = (now + 1) / 2;
    const int64_t start = s.io(frameStart, now - 37282, now + 37282, "frame sequence start");
    const bool fiveStep = s.io(frameFiveStep);
    const int step = s.io(frameStep, 0, fiveStep ? 3 : 5, "frame sequence step");
    const int64_t next = start + frameStepOffset(fiveStep, step);
    s.require(next >= now && next <= now + 37282, "the frame counter's next step is not ahead of the cycle count");
    const int64_t write = s.io(frameWriteAt, "pending $4017 write");
    s.require(write == kNoCycle || (write >= now && write <= now + 4), "a pending $4017 write is out of range");
    s.io(frameWriteValue);
    s.io(lengthClockAt);
    s.io(lengthClocked, 0, 15, "counters clocked");
    s.io(dmcIrq);
    s.io(dmcNextClock, steps, steps + dmcRates[0] / 2, "DMC next clock");
    s.require(bitsRemaining >= 1, "the DMC's output cycle has no bits left");
}
