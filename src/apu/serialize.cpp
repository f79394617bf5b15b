// The APU in a snapshot, settled (sync) so that every channel is exact at
// apuCycles. The step count and the sample count follow from the CPU's
// cycle count and this console's clock, so they are set, not stored.
#include "apu/apu.h"
#include "state/state_stream.h"

void APU::serialize(StateStream& s) {
    if (s.saving() && (settledCycles != apuCycles || int64_t(apuCycles) != (int64_t(cpu->cycles) + 1) / 2)) {
        throw std::logic_error("APU snapshot before sync");
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
    s.io(dmcBitsRemaining, 0, 8, "DMC bits remaining");
    s.io(dmcSilence);
    s.io(dmcTimer, 0, dmcRates[0] / 2 - 1, "DMC timer");

    // --- sample stage: the block being filled, and the finished block that
    // getAudio has still to hand over ---
    for (auto& block : sampleBuffers) s.io(block);
    std::unique_lock<std::mutex> guard(handoverLock, std::defer_lock);
    if (s.loading()) guard.lock();
    for (auto& block : outputBuffers) s.io(block);
    bool ready = blockReady.load(std::memory_order_relaxed);
    s.io(ready);
    if (s.loading()) blockReady.store(ready, std::memory_order_release);
    if (guard.owns_lock()) guard.unlock();

    // --- the registers as the catch-up last took them in ---
    s.bytes(registerCopy, sizeof registerCopy);

    if (s.loading()) {
        apuCycles = (int64_t(cpu->cycles) + 1) / 2;
        sampleCount = samplesBefore(apuCycles);
        settledCycles = apuCycles;
        for (int64_t& settled : channelSettled) settled = apuCycles;
        nextEvent = kUnscheduled;
        nextClock = nextSample = nextDmc = kNever;
    }
}
