#pragma once

#include <cstdint>
#include <vector>

#include "apu/expansion_sound.h"
#include "cartridge/mappers/mapper.h"

namespace NES {

// The MMC5's sound (mmc5_sound.cpp): two pulse channels like the APU's
// without the sweep, clocked at 240 Hz, and the 8-bit PCM channel.
class Mmc5Sound final : public ExpansionSound {
public:
    struct Pulse {
        uint8_t control = 0;  // DDLC VVVV
        uint16_t period = 0;
        bool enabled = false;
        uint8_t length = 0;
        uint32_t timer = 0;  // CPU cycles into the step
        uint8_t step = 0;
        bool envelopeStart = false;
        uint8_t divider = 0;
        uint8_t decay = 0;
    };
    Pulse pulse[2];
    uint16_t quarterTimer = 7457;
    uint8_t pcmMode = 0;  // $5010: bit 0 read mode, bit 7 IRQ enable
    uint8_t pcm = 0;

    void write(uint16_t address, uint8_t value);
    uint8_t status() const;  // $5015: the length counters running
    void runTo(int64_t cycle) override;
    void render(const int64_t* cycles, int count, int16_t* out) override;
    int pulseLevel() const;
    void serialize(StateStream& s);

private:
    void clockQuarter();
};

// MMC5 (mapper 5): PRG modes 0-3 over ROM and up to 128 KiB of RAM, CHR
// modes 0-3 with a bank set for sprites and one for the background, the
// 1 KiB ExRAM (an extra nametable, extended attributes, CPU RAM; it lives
// at $5C00-$5FFF of the CPU's memory), the fill-mode nametable, the vertical
// split, the scanline interrupt with its in-frame flag, and the multiplier.
class MMC5 : public Mapper {
public:
    // PRG: $5100 the mode, $5113-$5117 the banks, $5102-$5103 the RAM protection.
    struct Prg {
        uint8_t mode = 3;
        uint8_t registers[5] = {0, 0xFF, 0xFF, 0xFF, 0xFF};
        uint8_t ramProtect[2] = {0, 0};
    } prg;
    // Every 8 KiB bank of PRG RAM; a bank on show lives in its windows.
    std::vector<uint8_t> prgRam;
    // CHR: $5101 the mode, $5120-$5127 set A (sprites), $5128-$512B set B
    // (the background of 8 x 16 sprites), $5130 the upper bits.
    struct Chr {
        uint8_t mode = 0;
        uint16_t a[8] = {};
        uint16_t b[4] = {};
        uint8_t upper = 0;
        uint8_t lastSetB = 0;
    } chr;
    // ExRAM and the nametables: $5104 ExRAM's use, $5105 each slot's source,
    // $5106-$5107 the fill-mode nametable's tile and colour.
    uint8_t exramMode = 0;
    uint8_t nametables = 0;
    uint8_t fillTile = 0;
    uint8_t fillColour = 0;
    // The vertical split: $5200 control, $5201 scroll, $5202 CHR bank.
    struct Split {
        uint8_t control = 0;
        uint8_t scroll = 0;
        uint8_t bank = 0;
    } split;
    // The scanline interrupt: $5203 the line, $5204 the enable and status.
    struct ScanlineIrq {
        uint8_t line = 0;
        uint8_t enable = 0;
        uint8_t pending = 0;
        uint8_t inFrame = 0;
        uint8_t lineCounter = 0;
    } irq;
    // The multiplier: $5205-$5206.
    uint8_t factors[2] = {0xFF, 0xFF};
    // --- sound: $5000-$5015 ---
    Mmc5Sound audio;

    static constexpr uint16_t kExram = 0x5C00;
    static constexpr int64_t kMaxPrgRam = 128 * 1024;
    // The PRG RAM an image gets: NES 2.0's sizes, iNES byte 8, else 64 KiB.
    static int32_t prgRamBytes(const Cartridge& cart);
    MMC5() : Mapper(5, 0) {
        answersReads = true;
        countsDots = true;
        hookCycle = 0;
        maySupplyTiles = true;
        sound = &audio;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    uint8_t readRegister(BusContext& context, uint16_t address, uint8_t unmapped) override;
    void onDot(BusContext& context) override;
    BackgroundTile supplyTile(BusContext& context, uint16_t address, int32_t column) override;
    void storeState(BusContext& context, uint8_t* block) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
    void afterLoad(BusContext& context) override;

private:
    // What each 8 KiB window of $6000-$FFFF shows (mmc5.cpp).
    struct Window {
        bool ram = false;
        int32_t bank = -1;
        bool operator==(const Window& o) const { return ram == o.ram && bank == o.bank; }
    };
    Window shown[5];
    // The banks on show live in the CPU's memory (kept from power-on, for a
    // snapshot's take); their copies here follow it when asked.
    const uint8_t* cpuMemory = nullptr;
    void keepShownRam(const uint8_t* memory);
    Window windowSource(int w) const;
    int32_t ramBank(uint8_t value) const;
    void mapPrgWindows(BusContext& context);
    void writeRam(BusContext& context, uint16_t address, uint8_t& value);
    // CHR (mmc5.cpp): the 1 KiB banks of set A or B over the pattern tables,
    // the set the pattern tables show, and the background's when it differs.
    // The CPU stores PPUCTRL after the board sees its write: `ctrl` is its value now.
    void setBanks(bool setB, int32_t (&banks)[8]) const;
    static uint8_t ppuCtrl(const BusContext& context);
    void mapChrBanks(BusContext& context, uint8_t ctrl);
    int32_t vramBanks[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
    int32_t backgroundBanks[8] = {};
    // Nametables and tiles (mmc5_tiles.cpp): each slot's kilobyte, the fill
    // page, and whether the PPU's own fetches would show the background.
    struct Pages {
        int8_t page[4];
    };
    Pages nametablePages() const;
    void mapNametables(BusContext& context);
    void buildFillPage();
    bool wantsToSupplyTiles(const BusContext& context, uint8_t ctrl) const;
    void updateTileSupply(BusContext& context, uint8_t ctrl);
    const uint8_t* patternRow(const BusContext& context, int32_t bank, uint16_t offset) const;
    const uint8_t* slots[4] = {};
    bool slotsStale = true;
    uint8_t fillPage[1024] = {};
    bool layoutShowsAll = true;
    // The scanline interrupt (mmc5.cpp).
    void updateIrqLine(BusContext& context, int64_t atCycle);
};

}  // namespace NES
