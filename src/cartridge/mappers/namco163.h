#pragma once

#include <cstdint>

#include "apu/expansion_sound.h"
#include "cartridge/mappers/mapper.h"

namespace NES {

// The Namco 163's sound (namco163_sound.cpp): up to eight wavetable
// channels in its 128 bytes of RAM, updated one at a time.
class Namco163Sound final : public ExpansionSound {
public:
    uint8_t ram[128] = {};
    int32_t slot = 0;    // the channel updated next, 0 for the one at $78
    int32_t timer = 15;  // cycles to that update
    int32_t output = 0;  // the DAC: the channel updated last, sample - 8 times volume
    bool muted = false;  // $E000 bit 6
    // The sample scale's value of one DAC step, from the board's submapper.
    double unit = 0;

    explicit Namco163Sound(int submapper);
    int channels() const;  // enabled: $7F bits 4-6, plus one
    void runTo(int64_t cycle) override;
    void render(const int64_t* cycles, int count, int16_t* out) override;
    void serialize(StateStream& s);

private:
    // Runs to `cycle`, adding the DAC's output times its cycles to `area`
    // when one is given; updates channel k, returning its output.
    void advance(int64_t cycle, int64_t* area);
    int update(int k);
};

// Namco 129/163 (mapper 19) and Namco 175/340 (mapper 210): 8 KiB PRG banks,
// 1 KiB CHR banks, nametables from CHR ROM or the console's RAM; the 163's
// 15-bit CPU-cycle interrupt counter and its 128 bytes of sound RAM.
class Namco163 : public Mapper {
public:
    uint8_t chrRegisters[8] = {};
    uint8_t ntRegisters[4] = {0xE0, 0xE1, 0xE0, 0xE1};
    uint8_t prgRegisters[3] = {0, 1, 2};
    // $F800: the sound RAM's address (bit 7 auto-increment), and the PRG
    // RAM's write protection ($4x with the quarter's bit clear writes).
    uint8_t soundAddress = 0;
    uint8_t writeProtect = 0x40;
    // The counter as it stood at CPU cycle irqSetAt; it counts up while
    // enabled and stops at $7FFF, where it holds the interrupt line.
    uint16_t irqCounter = 0;
    uint8_t irqEnable = 0;
    int64_t irqSetAt = 0;
    // The 163's sound and its RAM.
    Namco163Sound audio;
    // The 175's PRG RAM enable ($C000 bit 0).
    uint8_t ramEnable = 0;

    // Mapper 210: the 175 (submapper 1, mirroring by the header) or the 340
    // (submapper 2, mirroring by $E000 bits 6-7); without a submapper a 175
    // until the game sets those bits. Neither has the counter or the sound.
    // Mapper 19's submappers 1 and 2 have no sound; 3-5 name its level.
    enum class Chip : uint8_t { N163, N175, N340 };
    explicit Namco163(Chip chip = Chip::N163, bool fixedChip = true, int submapper = 0)
        : audio(submapper), chip(chip), fixedChip(fixedChip) {
        number = chip == Chip::N163 ? 19 : 210;
        watchesWrites = true;
        answersReads = chip == Chip::N163;
        countsDots = chip == Chip::N163;
        hookCycle = 341;
        maySupplyTiles = chip == Chip::N163;
        if (chip == Chip::N163 && submapper != 1 && submapper != 2) sound = &audio;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    uint8_t readRegister(BusContext& context, uint16_t address, uint8_t unmapped) override;
    void onDot(BusContext& context) override;
    BackgroundTile supplyTile(BusContext& context, uint16_t address, int32_t column) override;
    void storeState(BusContext& context, uint8_t* block) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
    void afterLoad(BusContext& context) override;
    Chip variant() const { return chip; }

private:
    Chip chip;
    const bool fixedChip;
    void mapChrWindow(BusContext& context, int window);
    void mapPrgWindows(BusContext& context);
    void mapNametables(BusContext& context);
    // The counter at a CPU cycle; the line raised where it reaches $7FFF by
    // the position at absolute dot nowDot, and the hook put on the next.
    uint16_t counterAt(int64_t cycle) const;
    void updateIrq(BusContext& context, int64_t nowDot);
    const uint8_t* slots[4] = {};
    bool slotsStale = true;
};

}  // namespace NES
