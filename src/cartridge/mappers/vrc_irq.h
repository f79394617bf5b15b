#pragma once

#include <cstdint>

#include "cartridge/mappers/cycle_counter.h"

namespace NES {

// The IRQ counter of Konami's VRC4, VRC6 and VRC7 (vrc_irq.cpp): an 8-bit
// up-counter reloaded from a latch when it overflows, clocked every CPU
// cycle or, through a prescaler, once every 341 PPU dots (a scanline).
struct VrcIrq {
    uint8_t latch = 0;
    uint8_t control = 0;  // bit 0: enable after acknowledge, 1: enable, 2: cycle mode
    uint8_t counter = 0;
    int16_t prescaler = 341;
    uint8_t line = 0;  // the IRQ output
    // Control and acknowledge both drop the line (the board releases it).
    void writeControl(uint8_t value);
    void acknowledge() { control = uint8_t((control & ~2) | ((control & 1) << 1)); }
    bool counting() const { return (control & 2) != 0; }
    // `ticks` CPU cycles counted; returns the first on which it overflowed
    // (0: none), its line raised.
    int64_t count(int64_t ticks);
    // The CPU cycle from now on which it overflows next (0: never).
    int64_t nextFire() const;
};

// A Konami board with the VRC IRQ (vrc_irq.cpp): the counter counted when
// its registers are written, in snapshots, and by the hook, which runs on
// the dot it overflows on.
class VrcIrqBoard : public CycleCounterBoard<VrcIrq> {
protected:
    using CycleCounterBoard::CycleCounterBoard;
    void serializeIrq(StateStream& s);
};

}  // namespace NES
