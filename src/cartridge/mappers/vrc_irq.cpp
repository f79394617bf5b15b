// The VRC IRQ counter's registers and snapshot fields.
#include "cartridge/mappers/mapper.h"

#include "state/state_stream.h"

namespace NES {

void VrcIrq::writeControl(uint8_t value) {
    control = value & 7;
    // Enabling reloads the counter and restarts the scanline prescaler.
    if (control & 2) {
        counter = latch;
        prescaler = 341;
    }
}

void VrcIrq::serialize(StateStream& s) {
    s.io(latch);
    s.io(control, 0, 7, "VRC IRQ control");
    s.io(counter);
    s.io(prescaler, -2, 341, "VRC IRQ prescaler");
    s.io(dotPhase, 0, 2, "VRC IRQ dot phase");
    s.io(line, 0, 1, "VRC IRQ line");
}

}  // namespace NES
