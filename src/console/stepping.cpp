// The frame loop: instructions, each followed by the catch-up it calls for.
#include <stdexcept>

#include "console/nes_unit.h"

void NESUnit::runFrame() {
    // Two threads stepping one console would corrupt it.
    if (threadActive) throw std::runtime_error("runFrame: the console is running on its own thread; call stop() first");
    // Marks the caller's stepping, so a callback cannot start a second stepper.
    struct Stepping {
        explicit Stepping(std::atomic<int>& depth) : depth(depth) { ++depth; }
        ~Stepping() { --depth; }
        std::atomic<int>& depth;
    } stepping(steppingOnCaller);
    catch_up::beforeResuming(*cpu);
    atPowerOn = false;
    // The timing is chosen once a frame, so neither loop tests it per step.
    if (cpu->hardware) runFrameIn<true>();
    else runFrameIn<false>();
}

template <bool Hardware>
void NESUnit::runFrameIn() {
    const int64_t frame = ppu->frameCount;
    do {
        // Inside the window no frame can end: step without looking.
        if constexpr (Hardware) cpu->stepHardwareUntilDue();
        else cpu->stepUntilDue();
        if constexpr (Hardware) catch_up::afterStepHardware(*this);
        else catch_up::afterStep(*this);
    } while (ppu->frameCount == frame);
}
