// The base of the boards whose interrupt counts CPU cycles (Bandai FCG,
// VRC3, SS88006, FME-7, the VRC IRQ): the count is brought up to date when
// the board's registers are written, in snapshots, and by the hook, which
// runs only on the dot the counter next fires on (board_hooks.cpp has the
// arithmetic). The board's counter, its IRQ registers, says what it does:
//   bool counting() const          the counter runs
//   int64_t count(int64_t ticks)   counts that many cycles; the tick it
//                                  fired on (its line raised), 0: none
//   int64_t nextFire() const       the tick it fires on from now, 0: never
// Templated on the counter so the hook calls it directly.
#pragma once

#include <cstdint>

#include "cartridge/mappers/mapper.h"
#include "serial/state_stream.h"

namespace NES {

template <class Counter>
class CycleCounterBoard : public Mapper {
public:
    Counter irq;

    void onDot(BusContext& context) override {
        if (!hookDue(context)) return;
        countIrq(context, dotNow(context));
        scheduleIrq(context);
    }
    void afterLoad(BusContext& context) override {
        console = context;
        countedTo = settledDot(context);
        if (countsDots) scheduleIrq(context);
    }

protected:
    // Such a board watches its register writes from `lowestWrite` on and
    // counts dots, its hook put on the dot the counter fires on.
    explicit CycleCounterBoard(int32_t mapper, uint16_t lowestWrite = 0) : Mapper(mapper, lowestWrite) {
        countsDots = true;
        hookCycle = kNoHook;
    }
    // Dots into the current CPU cycle (saved with the board's registers).
    uint8_t dotPhase = 0;

    // Counted up to `now`, the line raised where it fired.
    void countIrq(BusContext& context, int64_t now) {
        const int64_t from = countedFrom(countedTo, now);
        const uint8_t phase = dotPhase;
        countedTo = now;
        if (!irq.counting()) return;
        const int64_t fired = irq.count(ticksOver(dotPhase, now - from));
        if (fired) raiseAtTick(context, from, phase, fired);
    }
    void scheduleIrq(BusContext& context) { hookAtTick(context, irq.nextFire(), dotPhase); }
    // Counted up to the position between steps, before a register write changes the counter.
    void countToNow(BusContext& context) { countIrq(context, settledDot(context)); }
    // A snapshot holds the count as of now.
    void countForSnapshot(const StateStream& s) {
        if (s.writing() && console.ppu && countsDots) countIrq(console, settledDot(console));
    }

private:
    // The dot counted up to (the console's clock: not saved).
    int64_t countedTo = 0;
};

}  // namespace NES
