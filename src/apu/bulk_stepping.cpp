// Bulk stepping. A step whose frame sequencer phase clocks nothing, that
// takes no sample and in which the DMC neither fetches nor changes its
// output only moves the channel timers (and the noise shift register); such
// timer-only steps are counted and applied together before the next step
// that does more, or before a register write.
#include <algorithm>

#include "apu/apu.h"
#include "apu/apu_inline.h"

uint64_t APU::advanceTimer(uint32_t& value, uint32_t modulus, uint64_t steps) {
    if (steps == 0) return 0;
    uint64_t wraps = 0;
    if (value >= modulus) {
        // The period was shortened under the counter: one move by the rule.
        value = (value + 1) % modulus;
        wraps = value == 0;
        --steps;
    }
    const uint64_t total = value + steps;
    if (total < modulus) {
        value = uint32_t(total);
        return wraps;
    }
    value = uint32_t(total % modulus);
    return wraps + total / modulus;
}

void APU::advancePulse(int k, uint64_t steps) {
    uint32_t timer = pulseTimer[k];
    const uint64_t wraps = advanceTimer(timer, uint32_t(pulsePeriod[k]) + 1, steps);
    pulseTimer[k] = uint16_t(timer);
    dutyStep[k] = uint8_t((dutyStep[k] + wraps) & 7);
}

void APU::advanceTriangle(uint64_t steps) {
    uint32_t timer = triangleTimer;
    const uint64_t wraps = advanceTimer(timer, uint32_t(trianglePeriod) + 1, 2 * steps);
    triangleTimer = uint16_t(timer);
    triangleStep = uint8_t((triangleStep + wraps) & 31);
}

// The register clocks on the steps that begin with the timer at 0.
void APU::advanceNoise(uint64_t steps) {
    if (steps == 0) return;
    const uint8_t mode = registerCopy[0x0E];
    const uint32_t period = noisePeriods[mode & 15] / 2u;
    uint32_t timer = uint32_t(noiseTimer);
    if (timer >= period) {
        timer = (timer + 1) % period;  // not 0 before the move: no clock
        --steps;
    }
    const uint64_t first = timer == 0 ? 0 : period - timer;
    uint64_t shifts = steps > first ? 1 + (steps - 1 - first) / period : 0;
    noiseTimer = int32_t((timer + steps) % period);
    if (shifts != 0) clockNoise(shifts, mode);
}

void APU::clockNoise(uint64_t shifts, uint8_t mode) {
    const unsigned tap = (mode & 0x80) ? 6 : 1;
    // After its first clock the register is a permutation of 15-bit values
    // whose cycles divide 93 (tap 6) or 32767 (tap 1), so whole cycles can
    // be skipped.
    const uint64_t cycle = (mode & 0x80) ? 93 : 32767;
    if (shifts > cycle) shifts = 1 + (shifts - 1) % cycle;
    // Bit 15 only drops out, so it can go first. Up to 15 - tap clocks feed
    // in XORs of bits still in place, so they are done at once.
    uint32_t s = noiseShift & 0x7FFF;
    const unsigned chunk = 15 - tap;
    while (shifts > 0) {
        const unsigned k = shifts < chunk ? unsigned(shifts) : chunk;
        const uint32_t fed = (s ^ (s >> tap)) & ((1u << k) - 1);
        s = (s >> k) | (fed << (15 - k));
        shifts -= k;
    }
    noiseShift = uint16_t(s);
}

void APU::applyChannelTimerSteps(int channel, int64_t upTo, bool outputs) {
    // With outputs, the last step runs as the channel runs it, so the
    // output is the one it left.
    if (outputs) {
        switch (channel) {
            case Pulse1:
            case Pulse2: return pulseStepsTo<false>(channel, upTo);
            case Triangle: return triangleStepsTo<false>(upTo);
            default: return noiseStepsTo<false>(upTo);
        }
    }
    const int64_t steps = upTo - channelStepsApplied[channel];
    channelStepsApplied[channel] = upTo;
    if (steps <= 0) return;
    switch (channel) {
        case Pulse1:
        case Pulse2: advancePulse(channel, uint64_t(steps)); break;
        case Triangle: advanceTriangle(uint64_t(steps)); break;
        default: advanceNoise(uint64_t(steps)); break;
    }
}

void APU::applyTimerSteps(int64_t upTo, bool outputs) {
    for (int channel = Pulse1; channel <= Noise; ++channel) applyChannelTimerSteps(channel, upTo, outputs);
    const int64_t steps = upTo - dmcStepsApplied;
    dmcStepsApplied = upTo;
    if (steps <= 0) return;
    uint32_t timer = uint32_t(dmcTimer);
    advanceTimer(timer, dmcRates[dmcFlags & 15] / 2u, uint64_t(steps));
    dmcTimer = int32_t(timer);
}

bool APU::silent(int channel) const {
    switch (channel) {
        case Pulse1:
        case Pulse2:
            return (sweepMute[channel] && (registerCopy[4 * channel + 1] & 0x80)) || pulsePeriod[channel] < 8 ||
                   lengthCounter[channel] == 0;
        case Triangle: return linearCounter == 0 || lengthCounter[Triangle] == 0 || trianglePeriod < 2;
        default: return lengthCounter[Noise] == 0;
    }
}

// The fused steps below: the steps a sample or a register write catches up
// with are few, so they count in 32 bits up to this many (a silent channel's
// lag may be far longer, and takes the steps one kind at a time).
static constexpr int64_t kShortRun = int64_t(1) << 20;

// A channel's timer-only steps before upTo - 1, then that step as stepPulse
// runs it, fused: the output from the position the others reached. A sample
// step knows the channel audible already (kAudible).
template <bool kAudible>
void APU::pulseStepsTo(int k, int64_t upTo) {
    const int64_t steps = upTo - channelStepsApplied[k];
    channelStepsApplied[k] = upTo;
    if (steps <= 0) return;
    const uint16_t period = pulsePeriod[k];
    const uint32_t modulus = uint32_t(period) + 1;
    uint32_t position = pulseTimer[k];
    if (VELKORA_UNLIKELY(steps > kShortRun || position >= modulus)) {
        advancePulse(k, uint64_t(steps - 1));
        return stepPulse(k, registerCopy);
    }
    uint32_t duty = dutyStep[k];
    position += uint32_t(steps) - 1;
    if (position >= modulus) {
        duty += position / modulus;
        position %= modulus;
    }
    const uint8_t r = registerCopy[4 * k];
    if (!kAudible && ((sweepMute[k] && (registerCopy[4 * k + 1] & 0x80)) || period < 8 || lengthCounter[k] == 0)) {
        pulseOutput[k] = 0;
    } else {
        const int volume = (r & 0x10) ? (r & 15) : envelopeDecay[k];
        pulseOutput[k] = int8_t(dutySequences[r >> 6][duty & 7] ? volume : -volume);
    }
    const uint32_t shown = duty;
    if (++position == modulus) {
        position = 0;
        ++duty;
    }
    pulseTimer[k] = uint16_t(position);
    dutyStep[k] = uint8_t(duty & 7);
    // A sample at step s takes the position position + s - upTo: below the
    // modulus the duty position is this one, and so is the output when the
    // waveform there is what it showed.
    if (kAudible && dutySequences[r >> 6][duty & 7] == dutySequences[r >> 6][shown & 7])
        pulseHeldUntil[k] = upTo + int64_t(modulus - position);
}

// The same for the triangle, whose timer moves twice a step.
template <bool kAudible>
void APU::triangleStepsTo(int64_t upTo) {
    const int64_t steps = upTo - channelStepsApplied[Triangle];
    channelStepsApplied[Triangle] = upTo;
    if (steps <= 0) return;
    const uint32_t modulus = uint32_t(trianglePeriod) + 1;
    uint32_t position = triangleTimer;
    if (VELKORA_UNLIKELY(steps > kShortRun || position >= modulus)) {
        advanceTriangle(uint64_t(steps - 1));
        stepTriangle();
        return stepTriangle();
    }
    uint32_t sequence = triangleStep;
    position += 2 * uint32_t(steps) - 1;
    if (position >= modulus) {
        sequence += position / modulus;
        position %= modulus;
    }
    const bool audible = kAudible || (linearCounter > 0 && lengthCounter[Triangle] > 0 && trianglePeriod >= 2);
    triangleOutput = audible ? triangleLevels[sequence & 31] : 0.0f;
    if (++position == modulus) {
        position = 0;
        ++sequence;
    }
    triangleTimer = uint16_t(position);
    triangleStep = uint8_t(sequence & 31);
}

// The same for the noise: the register clocks on the steps that begin with
// the timer at 0, and the output follows its last clock.
template <bool kAudible>
void APU::noiseStepsTo(int64_t upTo) {
    const int64_t steps = upTo - channelStepsApplied[Noise];
    channelStepsApplied[Noise] = upTo;
    if (steps <= 0) return;
    const uint8_t mode = registerCopy[0x0E];
    const uint32_t period = noisePeriods[mode & 15] / 2u;
    const uint32_t timer = uint32_t(noiseTimer);
    if (VELKORA_UNLIKELY(steps > kShortRun || timer >= period)) {
        advanceNoise(uint64_t(steps - 1));
        return stepNoise(registerCopy);
    }
    const uint32_t last = timer + uint32_t(steps) - 1;
    const uint32_t clocks = last / period + (timer == 0);
    const unsigned tap = (mode & 0x80) ? 6 : 1;
    if (clocks <= 15 - tap) {
        // The clocks between two samples mostly fit clockNoise's first chunk.
        const uint32_t s = noiseShift & 0x7FFF;
        const uint32_t fed = (s ^ (s >> tap)) & ((1u << clocks) - 1);
        noiseShift = uint16_t(clocks == 0 ? noiseShift : (s >> clocks) | (fed << (15 - clocks)));
    } else {
        clockNoise(clocks, mode);
    }
    const uint32_t next = last % period + 1;
    noiseTimer = int32_t(next == period ? 0 : next);
    const uint8_t r = registerCopy[0x0C];
    const bool audible = kAudible || lengthCounter[Noise] > 0;
    noiseOutput = audible && !(noiseShift & 1) ? int8_t((r & 0x10) ? (r & 15) : envelopeDecay[kNoiseEnvelope]) : 0;
}

void APU::noteChannels() {
    audibleChannels = 0;
    for (int channel = Pulse1; channel <= Noise; ++channel) {
        if (!silent(channel)) audibleChannels |= uint8_t(1u << channel);
    }
    pulseHeldUntil[0] = pulseHeldUntil[1] = 0;
}

void APU::sampleStep(int64_t step) {
    // Silent channels keep their lag, and so does a pulse whose output
    // stands; the DMC output and timer are not needed.
    if (audibleChannels == kUnnoted) noteChannels();
    const unsigned audible = audibleChannels;
    if (!(audible & (1u << Pulse1))) pulseOutput[0] = 0;
    else if (step >= pulseHeldUntil[0]) pulseStepsTo<true>(Pulse1, step + 1);
    if (!(audible & (1u << Pulse2))) pulseOutput[1] = 0;
    else if (step >= pulseHeldUntil[1]) pulseStepsTo<true>(Pulse2, step + 1);
    if (!(audible & (1u << Triangle))) triangleOutput = 0.0f;
    else triangleStepsTo<true>(step + 1);
    if (!(audible & (1u << Noise))) noiseOutput = 0;
    else noiseStepsTo<true>(step + 1);
    apuCycles = step;
    // nextSampleStep chose this step: a sample is due.
    takeSample();
    apuCycles = step + 1;
}

void APU::refreshRegisters() {
    if (registersUnchanged()) return;
    // The steps still pending saw the old bytes.
    applyTimerSteps(apuCycles, true);
    std::memcpy(registerCopy, &cpu->memory[0x4000], sizeof registerCopy);
    nextEvent = kUnscheduled;
}

// The three below count from apuCycles and need the timer steps applied up to it.
int64_t APU::nextFrameEvent() const {
    static constexpr int64_t kClockPhases[3] = {3729, 7458, 11187};
    const int64_t length = (registerCopy[0x17] & 0x80) ? 18640 : 14916;
    const int64_t now = apuCycles;
    // Truncating remainder, as the sequencer takes it.
    const int64_t phase = (now - frameReset) % length;
    if (phase == 0) return now;
    // Before frameReset only phase 0 can come round.
    if (phase < 0) return now - phase;
    for (int64_t clock : kClockPhases) {
        if (phase <= clock) return now + (clock - phase);
    }
    return now + (length - phase);
}

int64_t APU::nextSampleStep() const {
    if (halfClock <= 0 || !mixing) return kNever;
    const int64_t now = apuCycles;
    const int64_t need = (sampleCount + 1) * int64_t(halfClock);
    // The first step s from now with sampleRate x s >= need.
    if (sampleRate <= 0) return int64_t(sampleRate) * now >= need ? now : kNever;
    const int64_t first = need > 0 ? (need + sampleRate - 1) / sampleRate : -(-need / sampleRate);
    return std::max(first, now);
}

int64_t APU::nextDmcEvent() const {
    const int64_t now = apuCycles;
    if (channelEnabled[Dmc] && dmcBufferEmpty && dmcBytesRemaining != 0) return now;
    // A silent output unit with no direct load pending does nothing at expiry.
    if (dmcDirectLoad == -1 && dmcSilence) return kNever;
    const uint32_t rate = dmcRates[dmcFlags & 15] / 2u;
    uint32_t timer = uint32_t(dmcTimer);
    if (timer == 0) return now;
    if (timer < rate) return now + (rate - timer);
    timer = (timer + 1) % rate;
    return now + 1 + (timer == 0 ? 0 : rate - timer);
}

void APU::schedule() {
    audibleChannels = kUnnoted;
    if (hardware) return scheduleHardware();
    nextClock = nextFrameEvent();
    nextSample = nextSampleStep();
    nextDmc = nextDmcEvent();
    nextEvent = std::min({nextClock, nextSample, nextDmc});
}

void APU::runToSlow(int64_t target) {
    refreshRegisters();
    if (nextEvent == kUnscheduled) {
        applyTimerSteps(apuCycles, true);
        schedule();
    }
    while (nextEvent < target) {
        const int64_t step = nextEvent;
        if (step == nextSample && step != nextClock && step != nextDmc) {
            // Only a sample: apart from the sample stage the step is timer-only.
            sampleStep(step);
            // The sequencer and DMC times still stand.
            nextSample = nextSampleStep();
            nextEvent = std::min({nextClock, nextSample, nextDmc});
        } else {
            applyTimerSteps(step, false);
            apuCycles = step;
            stepFull();
            schedule();
        }
    }
    apuCycles = target;
    if (expansion) renderExpansion();
}

void APU::resetClock() {
    bringOutputsUpToDate();
    apuCycles = 0;
    sampleCount = 0;
    expansionMade = 0;
    if (expansion) expansion->clockedTo = 0;
    dmcStepsApplied = 0;
    for (int64_t& applied : channelStepsApplied) applied = 0;
    nextEvent = kUnscheduled;
}
