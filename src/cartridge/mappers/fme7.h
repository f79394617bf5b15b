#pragma once

#include <cstdint>

#include "apu/expansion_sound.h"
#include "cartridge/mappers/cycle_counter.h"

namespace NES {

// The Sunsoft 5B's sound (sunsoft5b_sound.cpp): three square channels of a
// YM2149F run at half speed, with the noise and envelope generators,
// logarithmic volumes.
class Sunsoft5BSound final : public ExpansionSound {
public:
    uint8_t registers[16] = {};
    uint16_t toneTimer[3] = {};
    uint8_t toneHigh[3] = {};
    uint16_t noiseTimer = 0;
    uint32_t noiseShift = 1;  // 17 bits
    // The envelope: 32 steps a cycle, up or down, the shape ($0D) saying
    // what follows the first cycle; a write to $0D starts it again.
    uint32_t envelopeTimer = 0;  // CPU cycles into the step
    uint8_t envelopeStep = 0;    // 0-31 into the cycle
    uint8_t envelopeRising = 0;
    uint8_t envelopeHeld = 0;  // 1: it stays at heldLevel
    uint8_t heldLevel = 0;
    uint8_t envelopeLevel() const;

    void write(uint8_t reg, uint8_t value);
    void runTo(int64_t cycle) override;
    void render(const int64_t* cycles, int count, int16_t* out) override;
    int16_t sample() const;
    void serialize(StateStream& s);

private:
    uint32_t tonePeriod(int channel) const;
    uint32_t noisePeriod() const;
    uint32_t envelopePeriod() const;
    void stepEnvelope(uint64_t steps);
};

// The FME-7's IRQ (commands $D-$F): a 16-bit down-counter of CPU cycles
// that runs with bit 7 of the control and, with bit 0, interrupts when it
// wraps from 0.
struct Fme7Irq {
    uint8_t control = 0;
    uint16_t counter = 0;
    uint8_t line = 0;
    bool counting() const { return (control & 0x80) != 0; }
    int64_t count(int64_t ticks);
    int64_t nextFire() const { return (control & 0x81) == 0x81 ? int64_t(counter) + 1 : 0; }
};

// Sunsoft FME-7 and 5A/5B (69): a command register at $8000 and its
// parameter at $A000 (eight 1 KiB CHR banks, ROM or RAM at $6000, three
// 8 KiB PRG banks, mirroring, a 16-bit cycle-counting IRQ), and the 5B's
// sound at $C000/$E000.
class FME7 : public CycleCounterBoard<Fme7Irq> {
public:
    uint8_t command = 0;
    uint8_t chrBank[8] = {};
    uint8_t prgBank[4] = {};  // $6000, $8000, $A000, $C000 (bits 6-7 of $6000's: RAM enable, RAM)
    uint8_t mirroringBits = 0;
    uint8_t audioSelect = 0;
    // PRG RAM while ROM shows at $6000.
    uint8_t prgRam[8192] = {};
    Sunsoft5BSound audio;
    FME7() : CycleCounterBoard(69) { sound = &audio; }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;

private:
    bool ramAt6000() const { return (prgBank[0] & 0x40) != 0; }
    void writeParameter(BusContext& context, uint8_t value);
};

}  // namespace NES
