// Choosing the timing model of a console, and the reset button.
#include "console/nes_unit.h"

namespace {

// Each unit follows the console's timing.
void tellUnits(NESUnit& unit, bool hardware) {
    unit.cpu->hardware = hardware;
    unit.ppu->hardware = hardware;
    unit.apu->hardware = hardware;
    unit.cartridge->mapper->hardware = hardware;
}

}  // namespace

void NESUnit::adoptTiming(Timing timing) {
    tellUnits(*this, timing == Timing::Hardware);
    atPowerOn = false;
}

void NESUnit::powerOnCpu() {
    CPU& c = *cpu;
    c.A = c.X = c.Y = 0;
    c.clearHardwareState();
    if (!c.hardware) {
        // The design's start: no reset sequence, the clocks at 0.
        c.SP = 0xFF;
        c.P = 0x24;
        c.reset();
        return;
    }
    // The reset sequence from power-on: S counts down from 0 to $FD while
    // the PPU and APU run along for its seven cycles.
    c.SP = 0x00;
    c.P = 0x34;
    catch_up::atReset(c);
    c.resetSequence();
}

void NESUnit::setTiming(Timing timing) {
    const bool hardware = timing == Timing::Hardware;
    if (atPowerOn) {
        tellUnits(*this, hardware);
        ppu->powerOnTiming();
        apu->powerOnTiming();
        powerOnCpu();
        return;
    }
    if (hardware == cpu->hardware) return;
    catch_up::beforeStateAccess(*cpu);
    tellUnits(*this, hardware);
    // Each timing keeps its own interrupt state: the design's pending flag,
    // the hardware's lines.
    cpu->irqPending = false;
    cpu->clearHardwareState();
    ppu->clearHardwareState();
    apu->clearHardwareState();
    catch_up::afterRestore(*cpu);
}

void NESUnit::softReset() {
    catch_up::beforeStateAccess(*cpu);
    ppu->softReset();
    apu->softReset();
    CPU& c = *cpu;
    if (c.hardware) {
        c.resetSequence();
    } else {
        // The design's sequence takes no time, as its interrupt entry does.
        c.halted = false;
        c.SP = uint8_t(c.SP - 3);
        c.P |= 0x04;
        c.PC = uint16_t(c.memory[c.foldRom(c.resetVector)] | (c.memory[c.foldRom(uint16_t(c.resetVector + 1))] << 8));
        c.irqPending = false;
    }
    catch_up::afterRestore(c);
}
