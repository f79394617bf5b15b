// The audio processing unit: two pulse channels, triangle, noise and DMC,
// the frame sequencer, and the sample stage that fills the audio blocks.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "common.h"

class APU {
public:
    static constexpr int kBlockSamples = 1024;
    static constexpr int kBlocks = 6;  // mix, pulse 1, pulse 2, triangle, noise, DMC
    enum Channel { Pulse1 = 0, Pulse2 = 1, Triangle = 2, Noise = 3, Dmc = 4 };

    // Length counter loads, indexed by the written byte >> 3.
    static constexpr uint8_t lengthTable[32] = {
        10, 254, 20, 2, 40, 4, 80, 6, 160, 8, 60, 10, 14, 12, 26, 14,
        12, 16, 24, 18, 48, 20, 96, 22, 192, 24, 72, 26, 16, 28, 32, 30,
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

    APU();
    APU(const APU&) = delete;
    APU& operator=(const APU&) = delete;

    void stepApu();
    void writeRegister(uint16_t address, uint8_t value);  // registers.cpp
    uint8_t readStatus();

    // Takes the latest completed block (all six channels) if one is waiting;
    // safe against a handover on the stepping thread (mixer.cpp).
    bool takeBlock(std::array<std::array<int16_t, kBlockSamples>, kBlocks>& out);

    // --- sequencer clocks, also run at once by a $4017 write with bit 7 ---
    void clockEnvelopes();       // envelope.cpp
    void clockLengthCounters();  // frame_sequencer.cpp
    void clockLinearCounter();   // triangle.cpp
    void clockSweeps();          // pulse.cpp

private:
    void clockFrameSequencer();
    void stepPulse(int k);
    void stepTriangle();
    void stepNoise();
    void stepDmc();
    void produceSample();
    void handOver();

    // (value + 1) mod modulus without a division in the common case: the
    // value only exceeds modulus - 1 after the game shortened the period.
    static uint32_t nextTimerValue(uint32_t value, uint32_t modulus) {
        const uint32_t next = value + 1;
        if (next < modulus) return next;
        return next == modulus ? 0 : next % modulus;
    }
};
