// The VRC IRQ counter: its registers, its count over many cycles at once
// and its snapshot fields.
#include <algorithm>

#include "cartridge/mappers/vrc_irq.h"

#include "ppu/ppu.h"
#include "serial/state_stream.h"

namespace NES {

namespace {
constexpr int64_t kLine = 341;  // the prescaler's dots
}  // namespace

void VrcIrq::writeControl(uint8_t value) {
    control = value & 7;
    // Enabling reloads the counter and restarts the scanline prescaler.
    if (control & 2) {
        counter = latch;
        prescaler = int16_t(kLine);
    }
}

// In scanline mode each cycle takes 3 from the prescaler, which clocks the
// counter and gains 341 when that leaves it at or below 0: after n cycles
// it has clocked floor((341 - p + 3n) / 341) times, and clocks for the
// m-th time on cycle ceil((341 (m - 1) + p) / 3) (never before the first).
int64_t VrcIrq::count(int64_t ticks) {
    if (ticks <= 0) return 0;
    int64_t clocks = ticks;
    const int64_t p = prescaler;
    if (!(control & 4)) {
        clocks = (kLine - p + 3 * ticks) / kLine;
        prescaler = int16_t(p - 3 * ticks + kLine * clocks);
    }
    const int64_t first = 256 - counter;  // the clock it overflows on
    if (clocks < first) {
        counter = uint8_t(counter + clocks);
        return 0;
    }
    counter = uint8_t(latch + (clocks - first) % (256 - latch));
    line = 1;
    if (control & 4) return first;
    return std::max<int64_t>(1, (kLine * (first - 1) + p + 2) / 3);
}

int64_t VrcIrq::nextFire() const {
    if (!counting()) return 0;
    const int64_t clocks = 256 - counter;
    if (control & 4) return clocks;
    return std::max<int64_t>(1, (kLine * (clocks - 1) + prescaler + 2) / 3);
}

void VrcIrqBoard::serializeIrq(StateStream& s) {
    countForSnapshot(s);
    s.io(irq.latch);
    s.io(irq.control, 0, 7, "VRC IRQ control");
    s.io(irq.counter);
    s.io(irq.prescaler, -2, 341, "VRC IRQ prescaler");
    s.io(dotPhase, 0, 2, "VRC IRQ dot phase");
    s.io(irq.line, 0, 1, "VRC IRQ line");
}

}  // namespace NES
