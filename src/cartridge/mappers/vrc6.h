#pragma once

#include <cstdint>

#include "apu/expansion_sound.h"
#include "cartridge/mappers/vrc_irq.h"

namespace NES {

// The VRC6's sound (vrc6_sound.cpp): two pulse channels with eight duty
// settings and a sawtooth, summed by a linear 6-bit DAC.
class Vrc6Sound final : public ExpansionSound {
public:
    struct Pulse {
        uint8_t control = 0;  // MDDD VVVV
        uint16_t period = 0;
        bool enabled = false;
        uint16_t timer = 0;
        uint8_t step = 15;  // counts down; the output is high while step <= duty
    };
    Pulse pulse[2];
    uint8_t sawRate = 0;
    uint16_t sawPeriod = 0;
    bool sawEnabled = false;
    uint16_t sawTimer = 0;
    uint8_t sawStep = 0;  // 0-13: the accumulator holds (step / 2) x rate
    uint8_t frequencyControl = 0;

    void write(int channel, int reg, uint8_t value);
    void runTo(int64_t cycle) override;
    void render(const int64_t* cycles, int count, int16_t* out) override;
    int level() const;
    void serialize(StateStream& s);

private:
    int shift() const { return (frequencyControl & 4) ? 8 : (frequencyControl & 2) ? 4 : 0; }
};

// Konami VRC6 (24, 26; 26 swaps A0 and A1): a 16 KiB and an 8 KiB PRG bank,
// eight CHR registers, mirroring, the VRC IRQ and the VRC6's sound.
class VRC6 : public VrcIrqBoard {
public:
    uint8_t prgBank[2] = {};  // $8000: 16 KiB at $8000; $C000: 8 KiB at $C000
    uint8_t chrBank[8] = {};
    uint8_t banking = 0x20;  // $B003: .PNMMDD (PPU A10 into 2 KiB banks, ROM nametables, mirroring, CHR mode)
    Vrc6Sound audio;
    explicit VRC6(bool swapLines) : VrcIrqBoard(swapLines ? 26 : 24, 0x8000), swapLines(swapLines) {
        maySupplyTiles = true;
        sound = &audio;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
    void afterLoad(BusContext& context) override;
    BackgroundTile supplyTile(BusContext& context, uint16_t address, int32_t column) override;

private:
    void mapChrBanks(BusContext& context);
    // The kilobyte each nametable slot shows: a CHR ROM bank, or with
    // $B003 bit 4 clear the nametable RAM page of its bit 0.
    void locateNametables();
    void applyNametables(BusContext& context);
    bool romNametables(const BusContext& context) const;
    const bool swapLines;
    uint8_t slotBank[4] = {};
};

}  // namespace NES
