// Expansion sound: the sound channels a cartridge board brings, mixed with
// the APU's in the sample stage.
//
// The contract between a board and the APU:
//  - A board with sound owns one ExpansionSound and points Mapper::sound at
//    it when it is made. A board without sound leaves it null; the APU then
//    never looks further, so such boards, and consoles with audio off
//    (batches), pay nothing.
//  - Time is the CPU's cycle count (CPU::cycles, 0 again after a reset).
//    `clockedTo` is the cycle the channels have run to. runTo(c) runs them to
//    cycle c, in bulk (closed forms or a loop over the channel clocks in
//    between), and does nothing when c is not ahead. The board calls
//    runTo(context.cpu->cycles) before each register write that changes the
//    sound, so every write takes effect at its own cycle.
//  - render(cycles, count, out): out[i] is the board's output at CPU cycle
//    cycles[i], after running to it. The cycles ascend and none lies before
//    the previous call's; they are the cycles of the samples the APU made
//    in one bulk run, so an audio-off console never calls it. The output is
//    one 16-bit sample of all the board's channels mixed, on the APU's
//    scale: kApuPulseStep is one volume step of an APU pulse channel, whose
//    full volume is 15 steps. The APU adds it to its own mix (saturating)
//    and hands it out as one more channel block.
//  - The board serialises its channels with its other registers (snapshots
//    and the save-state block); `clockedTo` is not stored: the APU runs the
//    sound to the CPU's cycle before a state is taken (bringOutputsUpToDate)
//    and sets clockedTo to the loaded cycle count after a snapshot loads.
//  - What a game can read back must not depend on whether samples were
//    rendered: runTo alone must leave the channels as render would.
#pragma once

#include <cstdint>

class ExpansionSound {
public:
    // One volume step of an APU pulse channel in the sample scale (the
    // mixer's pulse weight, 0.00752, of 32767).
    static constexpr double kApuPulseStep = 0.00752 * 32767.0;

    int64_t clockedTo = 0;

    virtual void runTo(int64_t cycle) = 0;
    virtual void render(const int64_t* cycles, int count, int16_t* out) = 0;

protected:
    ~ExpansionSound() = default;
};
