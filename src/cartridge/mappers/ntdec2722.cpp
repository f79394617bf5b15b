// NTDEC2722 (mapper 40): fixed 8 KiB windows, one switchable bank at $C000
// and an interval timer counted in PPU dots.
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/mapper.h"

#include "cpu/cpu.h"
#include "ppu/ppu.h"
#include "serial/state_stream.h"

namespace NES {

static constexpr uint16_t kTimerDots = 0x3000;  // 4096 CPU cycles

// NTDEC 2722 (40): a PRG bank at $C000 and a timer that interrupts every
// 4096 CPU cycles while it runs.
class NTDEC2722 : public Mapper {
public:
    uint16_t irqCounter = kTimerDots;
    uint8_t irqEnable = 1;
    // Hardware timing: the timer's top bit drives the IRQ line, set for one
    // interval and clear for the next (the board acknowledges by itself).
    uint8_t irqLine = 0;
    NTDEC2722() : Mapper(40, 0) { countsDots = true; }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override {
        switch (address & 0xE000) {
            case 0x8000:
                // The design's stop leaves an interrupt already requested in
                // place; the board's holds the timer in reset, which drops the line.
                irqEnable = 0;
                irqCounter = kTimerDots;
                irqLine = 0;
                releaseIrq(context, context.cpu->cycles + 1);
                break;
            case 0xA000: irqEnable = 1; break;
            case 0xE000: mapPrg(context, 0xC000, value * 8, 8); break;
            default: break;
        }
    }
    void onDot(BusContext& context) override {
        if (!irqEnable) return;
        if (--irqCounter == 0) {
            irqCounter = kTimerDots;
            if (!hardware) {
                irqLine = 0;
                return raiseIrq(context, 0);
            }
            // The timer is a ripple counter whose top bit is the line: it falls
            // by itself an interval after rising.
            irqLine ^= 1;
            const int64_t at = cycleSeeing(context.ppu->dotAtPosition() - 1);
            if (irqLine) raiseIrq(context, at);
            else releaseIrq(context, at);
        }
    }
    void serialize(StateStream& s) override {
        s.io(irqCounter);
        s.io(irqEnable, 0, 1, "NTDEC2722 IRQ enable");
        if (s.hardware) {
            s.io(irqLine, 0, 1, "NTDEC2722 IRQ line");
        } else if (s.loading()) {
            irqLine = 0;
        }
    }
    void powerOn(BusContext& context) override {
        mapPrg(context, 0x6000, 48, 8);
        mapPrg(context, 0x8000, 32, 8);
        mapPrg(context, 0xA000, 40, 8);
        mapPrg(context, 0xE000, 56, 8);
    }
};

std::unique_ptr<Mapper> makeNTDEC2722(const BoardChoice&) { return std::make_unique<NTDEC2722>(); }

}  // namespace NES
