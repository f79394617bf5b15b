// The cartridge board logic. Banking is done by copying the selected banks
// into the CPU's memory and the PPU's pattern tables, so no fetch calls a board.
// Boards change banks, mirroring and interrupts only through the base
// class's operations: the PPU keeps its layout private to this base, so no
// board can change the mirroring without moving the nametable bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "apu/expansion_sound.h"
#include "common.h"
#include "cpu/cpu.h"

class StateStream;

namespace NES {

// A background tile as a board supplies it: its two pattern bytes and palette.
struct BackgroundTile {
    uint8_t low = 0;
    uint8_t high = 0;
    uint8_t palette = 0;
};

class Mapper {
public:
    int32_t number = 0;
    // Non-virtual hints so the hot paths skip hooks a board leaves empty.
    bool watchesWrites = false;
    // The lowest address (as the bus folds it) whose write the hook reacts
    // to: stores below it, RAM's and the PPU's included, skip the hook.
    uint16_t writesFrom = 0;
    bool watchesReads = false;
    bool countsDots = false;
    // The PPU tells such a board the address of every pattern byte it fetches.
    bool watchesPatterns = false;
    // 16 KiB of PRG ROM shows at $C000 too (NROM, CNROM: no PRG banking).
    bool foldsPrg16 = false;
    // The console runs the hardware timing: boards that behave differently there ask.
    bool hardware = false;
    // A board clocked by rises of PPU address line A12 (hardware timing): the
    // falling edges of M2 over which A12 must stay low before a rise counts.
    // 0: the board does not watch A12.
    uint8_t a12Filter = 0;
    // The board answers the CPU's reads of $4020-$5FFF (its registers).
    bool answersReads = false;
    // A board that may supply the background's tiles (MMC5, Namco 163): while
    // suppliesTiles is set, the PPU asks it for each tile it fetches instead
    // of reading the nametables and pattern tables itself.
    bool maySupplyTiles = false;
    bool suppliesTiles = false;
    // The palette of the tile supplied last: the one the PPU has latched.
    uint8_t latchedPalette = 0;
    // The cycle of a line whose coming dot calls onDot, for a board that
    // counts dots (-1: every dot); such a board may move it (moveHook).
    int32_t hookCycle = -1;
    // onDot reads the position and registers only, nothing the dots draw:
    // the design timing's renderer may draw on past the hook and call it after.
    bool hookIgnoresDrawing = false;
    static constexpr int32_t kNoHook = 341;  // a line has no such cycle
    // The board's sound channels (apu/expansion_sound.h); null without.
    ExpansionSound* sound = nullptr;

    Mapper() = default;
    Mapper(const Mapper&) = delete;
    Mapper& operator=(const Mapper&) = delete;

    virtual void cpuWrite(BusContext& context, uint16_t address, uint8_t& value);
    virtual void cpuRead(BusContext& context, uint16_t address);
    virtual void onDot(BusContext& context);
    virtual void storeState(BusContext& context, uint8_t* block);
    virtual void restoreState(BusContext& context, const uint8_t* block);
    virtual ~Mapper();
    // Every register of the board, for complete snapshots; the banks it
    // mapped come back with the CPU and PPU memories (each board's file).
    virtual void serialize(StateStream& s);
    // The banks and mirroring the board shows at power-on, after the
    // cartridge is attached.
    virtual void powerOn(BusContext& context);
    // A pattern fetch at a PPU address, for boards that watch them.
    virtual void onPatternFetch(BusContext& context, uint16_t address);
    // A12 rose at an absolute PPU dot after staying low past the filter.
    virtual void onA12Rise(BusContext& context, int64_t dot);
    // A read of $4020-$5FFF by a board that answers them; `unmapped` is what
    // a read of nothing gives in this timing.
    virtual uint8_t readRegister(BusContext& context, uint16_t address, uint8_t unmapped);
    // The tile the PPU fetches for VRAM address `address` (fine Y in bits
    // 12-14) as the line's tile `column` (0-33; 0 and 1 are the two fetched
    // at the end of the line before), for a board that supplies tiles.
    virtual BackgroundTile supplyTile(BusContext& context, uint16_t address, int32_t column);
    BackgroundTile fetchTile(BusContext& context, uint16_t address, int32_t column) {
        const BackgroundTile tile = supplyTile(context, address, column);
        latchedPalette = tile.palette;
        return tile;
    }
    // After a snapshot or save state was loaded: what follows from the
    // registers and the loaded memories.
    virtual void afterLoad(BusContext& context);

protected:
    // Bank copies shared by the boards (mapper.cpp). Each wraps inside its
    // source ROM one KiB at a time and does nothing when that ROM is absent,
    // so no header can steer a copy outside the buffers.
    static void mapPrg(BusContext& context, uint16_t window, int32_t startKiB, int32_t kib);
    static void mapLastPrg16(BusContext& context, uint16_t window);
    static void mapChr(BusContext& context, uint16_t window, int32_t startKiB, int32_t kib);
    // Exchanges two windows, bytes and bank numbers (MMC3's layout bits).
    static void swapPrg(BusContext& context, uint16_t a, uint16_t b, int32_t kib);
    static void swapChr(BusContext& context, uint16_t a, uint16_t b, int32_t kib);
    // CHR RAM a board keeps beside the pattern tables (CPROM's pages): a
    // window's bytes out to `to`, or `from` into the window.
    static void saveChrRam(BusContext& context, uint16_t window, uint8_t* to, int32_t bytes);
    static void loadChrRam(BusContext& context, uint16_t window, const uint8_t* from, int32_t bytes);
    // Both pattern tables show one RAM: a PPUDATA write lands in both.
    static void sharePatternTables(BusContext& context, bool shared);
    // The nametable layout; the second page's bytes move with it. `page`
    // picks SingleScreen's lower (0) or upper (1) kilobyte.
    static void setMirroring(BusContext& context, int32_t mode, int32_t page = 0);
    // The design's interrupt is a request the CPU takes before its next
    // instruction; the hardware's a level on the IRQ line, from the first
    // poll at or after atCycle until the board releases it. Inline: timer
    // boards raise it from their per-dot hook.
    void raiseIrq(BusContext& context, int64_t atCycle) {
        if (hardware) context.cpu->setIrq(CPU::kIrqBoard, true, atCycle);
        else context.cpu->irqPending = true;
    }
    void releaseIrq(BusContext& context, int64_t atCycle) {
        if (hardware) context.cpu->setIrq(CPU::kIrqBoard, false, atCycle);
    }
    // The first CPU cycle whose interrupt poll sees a line the board changed
    // at an absolute PPU dot.
    static int64_t cycleSeeing(int64_t dot);
    static void put32(uint8_t* block, int32_t value);
    static int32_t get32(const uint8_t* block);
    // Bank counts of the cartridge's ROMs in units of `kib` (at least 1).
    static int32_t prgBanks(const BusContext& context, int32_t kib);
    static int32_t chrBanks(const BusContext& context, int32_t kib);

    // --- boards beyond the plain windows (board_hooks.cpp) ---
    // RAM shown in a window of $8000-$FFFF: copied in, and its pages marked
    // as no ROM bank's, so that snapshots keep their bytes.
    static void showPrgRam(BusContext& context, uint16_t window, const uint8_t* bytes, int32_t kib);
    // Nametable slots that each show either kilobyte of the console's
    // nametable RAM (pages[slot] 0 or 1) or something of the board's (-1):
    // the layout that agrees with most of them; false when it cannot show
    // every page where the board puts it.
    static bool showNametablePages(BusContext& context, const int8_t (&pages)[4]);
    // Where a kilobyte of the nametable RAM lies in the PPU's memory now.
    static const uint8_t* nametablePage(const BusContext& context, int page);
    // The nametable layout (a mirroring mode), and whether it shows each
    // slot's page of the nametable RAM where it stands.
    static int32_t nametableLayout(const BusContext& context);
    static bool showsNametablePages(const BusContext& context, const int8_t (&pages)[4]);
    // Starts or stops supplying the background's tiles; the tile the PPU
    // has latched keeps its palette.
    void supplyTiles(BusContext& context, bool on);
    // The tile a kilobyte of nametable (names, then attributes at $3C0)
    // gives for a fetch's VRAM address, from the background's pattern table.
    static BackgroundTile tileFrom(const BusContext& context, const uint8_t* table, uint16_t address);
    // The cycle of each line at which onDot is called from now on.
    void moveHook(BusContext& context, int32_t cycle);

    // --- counters of CPU cycles, brought up to date when looked at (board_hooks.cpp) ---
    // Such a counter ticks every third dot while it runs, `phase` dots into
    // its cycle; it is counted at register writes, snapshots and the hook,
    // which runs only on the dot it next fires on (each line's start while
    // that is further off).
    // The console the board was powered on in, for snapshots taken between hooks.
    BusContext console{};
    // The PPU's dot count: at its position in the hook (whose catch-up may
    // have passed a frame's skipped dot); between steps, with nothing owed.
    static int64_t dotNow(const BusContext& context);
    static int64_t settledDot(const BusContext& context);
    // Where a counter counted up to `countedTo` goes on from at `now`: a
    // reset restarts the dot clock at 0.
    static int64_t countedFrom(int64_t countedTo, int64_t now) { return countedTo <= now ? countedTo : 0; }
    // The ticks `dots` more dots bring; the phase moves on.
    static int64_t ticksOver(uint8_t& phase, int64_t dots);
    // The hook moved to the dot of the coming `tick`-th tick (none: 0).
    void hookAtTick(BusContext& context, int64_t tick, uint8_t phase);
    // Raises the IRQ for the `tick`-th tick after `fromDot`, counted from `phase`.
    void raiseAtTick(BusContext& context, int64_t fromDot, uint8_t phase, int64_t tick) {
        raiseIrq(context, hardware ? cycleSeeing(fromDot + 3 * tick - phase - 1) : 0);
    }
    // Whether this call of onDot is the hook's (the per-dot paths call it on every dot).
    bool hookDue(const BusContext& context) const;
};

class NROM : public Mapper {
public:
    NROM() {
        number = 0;
        foldsPrg16 = true;
    }
    void powerOn(BusContext& context) override;
};

class DEFAULT_MAPPER : public Mapper {
public:
    explicit DEFAULT_MAPPER(int32_t n) { number = n; }
};

class UxROM : public Mapper {
public:
    int32_t prgBank = 0;  // KiB
    UxROM() {
        number = 2;
        watchesWrites = true;
        writesFrom = 0x8000;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void storeState(BusContext& context, uint8_t* block) override;
    void restoreState(BusContext& context, const uint8_t* block) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
    void mapBanks(BusContext& context);
};

class CNROM : public Mapper {
public:
    int32_t chrBank = 0;  // KiB
    CNROM() {
        number = 3;
        watchesWrites = true;
        writesFrom = 0x8000;
        foldsPrg16 = true;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void storeState(BusContext& context, uint8_t* block) override;
    void restoreState(BusContext& context, const uint8_t* block) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
};

class MMC1 : public Mapper {
public:
    uint8_t prgMode = 3;
    uint8_t chrMode = 0;
    uint8_t shiftRegister = 0x10;
    uint8_t registerValue = 0;
    MMC1() {
        number = 1;
        watchesWrites = true;
        writesFrom = 0x8000;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
    void writeControl(BusContext& context, uint8_t value);
};

class MMC3 : public Mapper {
public:
    uint8_t bankSelect = 0;
    uint8_t lastBankSelect = 0;
    uint8_t prgRamWriteProtect = 0;
    uint8_t prgRamEnable = 1;
    uint8_t irqEnable = 1;
    uint16_t reserved0 = 0;
    int32_t irqCounter = 255;
    uint8_t irqLatch = 255;
    uint8_t reserved1[2] = {0, 0};
    MMC3() {
        number = 4;
        watchesWrites = true;
        writesFrom = 0x6000;
        countsDots = true;
        hookCycle = 256;
        hookIgnoresDrawing = true;
        a12Filter = 3;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void onDot(BusContext& context) override;
    void onA12Rise(BusContext& context, int64_t dot) override;
    void storeState(BusContext& context, uint8_t* block) override;
    void restoreState(BusContext& context, const uint8_t* block) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;

private:
    void clockCounter(BusContext& context, int64_t atCycle);
};

class NTDEC2722 : public Mapper {
public:
    uint16_t irqCounter = 0x3000;
    uint8_t irqEnable = 1;
    // Hardware timing: the timer's top bit drives the IRQ line, set for one
    // interval and clear for the next (the board acknowledges by itself).
    uint8_t irqLine = 0;
    NTDEC2722() {
        number = 40;
        watchesWrites = true;
        countsDots = true;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void onDot(BusContext& context) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
};

// --- boards beyond the first six (one file each) ---

// AxROM (7): 32 KiB PRG banks and the one-screen page.
class AxROM : public Mapper {
public:
    uint8_t bankRegister = 0;
    AxROM() {
        number = 7;
        watchesWrites = true;
        writesFrom = 0x8000;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
};

// MMC2 (9) and MMC4 (10): CHR banks chosen by latches that tiles $FD and
// $FE set as the PPU fetches them.
class MMC2 : public Mapper {
public:
    uint8_t prgBank = 0;
    uint8_t chrBanks[2][2] = {};  // [window][latch: 0 = $FD, 1 = $FE]
    uint8_t latch[2] = {1, 1};    // both start at $FE
    uint8_t mirroringBit = 0;
    explicit MMC2(bool mmc4 = false) : mmc4(mmc4) {
        number = mmc4 ? 10 : 9;
        watchesWrites = true;
        watchesPatterns = true;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
    void onPatternFetch(BusContext& context, uint16_t address) override;

private:
    void mapPrgBanks(BusContext& context);
    void mapChrWindow(BusContext& context, int window);
    const bool mmc4;
};

// Color Dreams (11): 32 KiB PRG and 8 KiB CHR banks in one register.
class ColorDreams : public Mapper {
public:
    uint8_t bankRegister = 0;
    ColorDreams() {
        number = 11;
        watchesWrites = true;
        writesFrom = 0x8000;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
};

// CPROM (13): 16 KiB of CHR RAM; $1000-$1FFF shows one of its four pages.
class CPROM : public Mapper {
public:
    static constexpr int32_t kPage = 4096;
    uint8_t page = 0;
    // Pages 1-3 while they are not on show (page 0 always is, at $0000).
    uint8_t pages[4][kPage] = {};
    CPROM() {
        number = 13;
        watchesWrites = true;
        writesFrom = 0x8000;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;

private:
    void showPage(BusContext& context, uint8_t next);
};

// 34: BNROM (a 32 KiB PRG register at $8000-$FFFF) or NINA-001 (PRG and
// two 4 KiB CHR registers at $7FFD-$7FFF).
class BNROM : public Mapper {
public:
    uint8_t prgBank = 0;
    uint8_t chrBank[2] = {0, 1};
    explicit BNROM(bool nina) : nina(nina) {
        number = 34;
        watchesWrites = true;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
    bool isNina() const { return nina; }

private:
    const bool nina;
};

// GxROM (66): 32 KiB PRG (bits 4-5) and 8 KiB CHR (bits 0-1) banks.
class GxROM : public Mapper {
public:
    uint8_t bankRegister = 0;
    GxROM() {
        number = 66;
        watchesWrites = true;
        writesFrom = 0x8000;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
};

// Camerica (71): a 16 KiB PRG bank at $8000; the variant with mirroring
// control (submapper 1) also picks the one-screen page.
class Camerica : public Mapper {
public:
    uint8_t prgBank = 0;
    explicit Camerica(bool mirroringControl) : mirroringControl(mirroringControl) {
        number = 71;
        watchesWrites = true;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;

private:
    const bool mirroringControl;
};

// NINA-003/006 (79): a register at $4100-$5FFF with address bit 8 set.
class NINA03 : public Mapper {
public:
    uint8_t bankRegister = 0;
    NINA03() {
        number = 79;
        watchesWrites = true;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
};

// 180: the first 16 KiB fixed at $8000, a switchable 16 KiB bank at $C000.
class UNROM180 : public Mapper {
public:
    uint8_t prgBank = 0;
    UNROM180() {
        number = 180;
        watchesWrites = true;
        writesFrom = 0x8000;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
};

// Namco 108 (206): MMC3's bank registers without its other parts.
class Namco108 : public Mapper {
public:
    uint8_t bankSelect = 0;
    uint8_t registers[8] = {0, 2, 4, 5, 6, 7, 0, 1};
    Namco108() {
        number = 206;
        watchesWrites = true;
        writesFrom = 0x8000;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;

private:
    void mapRegister(BusContext& context, int r);
};

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
    // --- PRG: $5100 mode, $5113-$5117 banks, $5102-$5103 RAM protection ---
    uint8_t prgMode = 3;
    uint8_t prgRegisters[5] = {0, 0xFF, 0xFF, 0xFF, 0xFF};
    uint8_t ramProtect[2] = {0, 0};
    // Every 8 KiB bank of PRG RAM; a bank on show lives in its windows.
    std::vector<uint8_t> prgRam;
    // --- CHR: $5101 mode, $5120-$5127 (set A: sprites), $5128-$512B (set
    // B: the background of 8 x 16 sprites), $5130 the upper bits ---
    uint8_t chrMode = 0;
    uint16_t chrA[8] = {};
    uint16_t chrB[4] = {};
    uint8_t chrUpper = 0;
    uint8_t lastSetB = 0;
    // --- nametables: $5104 ExRAM mode, $5105 slots, $5106-$5107 fill ---
    uint8_t exramMode = 0;
    uint8_t nametables = 0;
    uint8_t fillTile = 0;
    uint8_t fillColour = 0;
    // --- vertical split: $5200 control, $5201 scroll, $5202 CHR bank ---
    uint8_t splitControl = 0;
    uint8_t splitScroll = 0;
    uint8_t splitBank = 0;
    // --- scanline interrupt: $5203 line, $5204 enable and status ---
    uint8_t irqLine = 0;
    uint8_t irqEnable = 0;
    uint8_t irqPending = 0;
    uint8_t inFrame = 0;
    uint8_t lineCounter = 0;
    // --- multiplier: $5205-$5206 ---
    uint8_t factors[2] = {0xFF, 0xFF};
    // --- sound: $5000-$5015 ---
    Mmc5Sound audio;

    static constexpr uint16_t kExram = 0x5C00;
    static constexpr int64_t kMaxPrgRam = 128 * 1024;
    // The PRG RAM an image gets: NES 2.0's sizes, iNES byte 8, else 64 KiB.
    static int32_t prgRamBytes(const Cartridge& cart);
    MMC5() {
        number = 5;
        watchesWrites = true;
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

// Action 53 (28): a multicart board. $5000-$5FFF selects one of four
// registers, $8000-$FFFF writes it: CHR RAM bank, inner PRG bank, mode
// (mirroring, PRG layout, game size) and outer PRG bank.
class Action53 : public Mapper {
public:
    static constexpr int32_t kChrBank = 8192;
    uint8_t select = 0;
    uint8_t chrBank = 0;
    uint8_t innerBank = 0;
    uint8_t mode = 0;
    uint8_t outerBank = 0xFF;
    // The 32 KiB of CHR RAM; the bank on show lives in the pattern tables.
    uint8_t chrRam[4][kChrBank] = {};
    Action53() {
        number = 28;
        watchesWrites = true;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;

private:
    void mapPrgBanks(BusContext& context);
    void showChrBank(BusContext& context, uint8_t next);
    void applyMirroring(BusContext& context);
};

// The IRQ counter of Konami's VRC4, VRC6 and VRC7 (vrc_irq.cpp): an 8-bit
// up-counter reloaded from a latch when it overflows, clocked every CPU
// cycle or, through a prescaler, once every 341 PPU dots (a scanline).
struct VrcIrq {
    uint8_t latch = 0;
    uint8_t control = 0;  // bit 0: enable after acknowledge, 1: enable, 2: cycle mode
    uint8_t counter = 0;
    int16_t prescaler = 341;
    uint8_t dotPhase = 0;   // dots into the current CPU cycle
    uint8_t line = 0;       // the IRQ output
    int64_t countedTo = 0;  // the dot it was counted up to (the console's clock: not saved)
    // Control and acknowledge both drop the line (the board releases it).
    void writeControl(uint8_t value);
    void acknowledge() { control = uint8_t((control & ~2) | ((control & 1) << 1)); }
    bool running() const { return (control & 2) != 0; }
    // `ticks` CPU cycles counted; returns the first on which it overflowed (0: none).
    int64_t advance(int64_t ticks);
    // The CPU cycle from now on which it overflows next (0: never).
    int64_t nextOverflow() const;
    void serialize(StateStream& s);
};

// A Konami board with the VRC IRQ (vrc_irq.cpp): the counter counted when
// its registers are written, in snapshots, and by the hook, which runs on
// the dot it overflows on.
class VrcIrqBoard : public Mapper {
public:
    VrcIrq irq;
    void onDot(BusContext& context) override;
    void afterLoad(BusContext& context) override;

protected:
    // Counted up to `now`; the line raised where it overflowed.
    void countIrq(BusContext& context, int64_t now);
    void scheduleIrq(BusContext& context) { hookAtTick(context, irq.nextOverflow(), irq.dotPhase); }
    void serializeIrq(StateStream& s);
};

// Konami VRC2 and VRC4 (21, 22, 23, 25): two switchable 8 KiB PRG banks,
// eight 1 KiB CHR banks, mirroring; VRC4 adds a PRG layout bit and the VRC
// IRQ. The boards wire the register lines A0/A1 to different CPU address
// lines (the NES 2.0 submapper tells which; without it both candidates).
class VRC2_4 : public VrcIrqBoard {
public:
    uint8_t prgBank[2] = {0, 1};
    uint16_t chrBank[8] = {};
    uint8_t mirroringBits = 0;
    uint8_t prgSwap = 0;  // VRC4 $9002 bit 1: $8000 fixed to the second-last bank
    VRC2_4(int32_t mapper, int32_t submapper);
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
    bool isVrc4() const { return vrc4; }

private:
    void mapPrgBanks(BusContext& context);
    void mapChrBank(BusContext& context, int window);
    void applyMirroring(BusContext& context);
    bool vrc4 = true;
    bool chrHalved = false;  // VRC2a: the CHR registers' bit 0 is not wired
    uint16_t line0 = 0;      // the CPU address lines wired to A0 and A1
    uint16_t line1 = 0;
};

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
    uint8_t prg16 = 0;
    uint8_t prg8 = 0;
    uint8_t chrBank[8] = {};
    uint8_t banking = 0x20;  // $B003: .PNMMDD (PPU A10 into 2 KiB banks, ROM nametables, mirroring, CHR mode)
    Vrc6Sound audio;
    explicit VRC6(bool swapLines) : swapLines(swapLines) {
        number = swapLines ? 26 : 24;
        watchesWrites = true;
        writesFrom = 0x8000;
        countsDots = true;
        hookCycle = kNoHook;
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

// Konami VRC7 (85; vrc7.cpp): three 8 KiB PRG banks, eight 1 KiB CHR
// banks, mirroring and the VRC IRQ; the FM sound is not emulated.
class VRC7 : public VrcIrqBoard {
public:
    uint8_t prgBank[3] = {0, 1, 2};
    uint8_t chrBank[8] = {};
    uint8_t control = 0;  // $E000: mirroring (bits 0-1), sound off, PRG RAM enable
    explicit VRC7(int32_t submapper);
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;

private:
    void mapPrgBanks(BusContext& context);
    void applyMirroring(BusContext& context);
    uint16_t secondLine = 0x18;  // the CPU line(s) of each register pair's second register
};

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

// Sunsoft FME-7 and 5A/5B (69): a command register at $8000 and its
// parameter at $A000 (eight 1 KiB CHR banks, ROM or RAM at $6000, three
// 8 KiB PRG banks, mirroring, a 16-bit cycle-counting IRQ), and the 5B's
// sound at $C000/$E000.
class FME7 : public Mapper {
public:
    uint8_t command = 0;
    uint8_t chrBank[8] = {};
    uint8_t prgBank[4] = {};  // $6000, $8000, $A000, $C000 (bits 6-7 of $6000's: RAM enable, RAM)
    uint8_t mirroringBits = 0;
    uint8_t irqControl = 0;  // bit 0: IRQ enable, bit 7: counter enable
    uint16_t irqCounter = 0;
    uint8_t dotPhase = 0;
    uint8_t irqLine = 0;
    uint8_t audioSelect = 0;
    // PRG RAM while ROM shows at $6000.
    uint8_t prgRam[8192] = {};
    Sunsoft5BSound audio;
    FME7() {
        number = 69;
        watchesWrites = true;
        countsDots = true;
        hookCycle = kNoHook;
        sound = &audio;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void onDot(BusContext& context) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
    void afterLoad(BusContext& context) override;

private:
    // The counter counted up to `now` (the IRQ raised where it wrapped), and the hook moved to its next wrap.
    void countIrq(BusContext& context, int64_t now);
    void scheduleIrq(BusContext& context);
    int64_t countedTo = 0;
    bool ramAt6000() const { return (prgBank[0] & 0x40) != 0; }
    void writeParameter(BusContext& context, uint8_t value);
    void applyMirroring(BusContext& context);
};

// --- further boards of the late 1980s and early 1990s (one file each) ---

// Konami VRC1 (75): three 8 KiB PRG banks, two 4 KiB CHR banks whose top
// bits sit in the mirroring register.
class VRC1 : public Mapper {
public:
    uint8_t prgBank[3] = {0, 1, 2};
    uint8_t chrBank[2] = {0, 1};
    uint8_t control = 0;  // $9000: mirroring, CHR bank bit 4s
    VRC1() {
        number = 75;
        watchesWrites = true;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;

private:
    void mapBanks(BusContext& context);
};

// Konami VRC3 (73): a 16 KiB PRG bank, CHR RAM, and a 16- or 8-bit IRQ
// counter of CPU cycles.
class VRC3 : public Mapper {
public:
    uint8_t prgBank = 0;
    uint16_t reload = 0;
    uint16_t counter = 0;
    uint8_t control = 0;  // bit 0: enable after acknowledge, 1: enable, 2: 8-bit mode
    uint8_t dotPhase = 0;
    VRC3() {
        number = 73;
        watchesWrites = true;
        writesFrom = 0x8000;
        countsDots = true;
        hookCycle = kNoHook;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void onDot(BusContext& context) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
    void afterLoad(BusContext& context) override;

private:
    void countIrq(BusContext& context, int64_t now);
    void scheduleIrq(BusContext& context);
    int64_t countedTo = 0;
};

// Jaleco SS88006 (18): 8 KiB PRG and 1 KiB CHR banks written a nibble at a
// time, mirroring, and a down-counter of CPU cycles 4 to 16 bits wide.
class SS88006 : public Mapper {
public:
    uint8_t prgBank[3] = {};
    uint8_t chrBank[8] = {};
    uint16_t reload = 0;
    uint16_t counter = 0;
    uint8_t irqControl = 0;  // bit 0: count; bits 1-3: 12-, 8-, 4-bit counter
    uint8_t mirroringBits = 0;
    uint8_t dotPhase = 0;
    SS88006() {
        number = 18;
        watchesWrites = true;
        writesFrom = 0x8000;
        countsDots = true;
        hookCycle = kNoHook;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void onDot(BusContext& context) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
    void afterLoad(BusContext& context) override;

private:
    void countIrq(BusContext& context, int64_t now);
    void scheduleIrq(BusContext& context);
    int64_t countedTo = 0;
};

// Irem G-101 (32): two switchable 8 KiB PRG banks with a layout bit, eight
// 1 KiB CHR banks, mirroring (submapper 1, Major League: one-screen, no
// layout bit).
class IremG101 : public Mapper {
public:
    uint8_t prgBank[2] = {0, 1};
    uint8_t chrBank[8] = {};
    uint8_t control = 0;  // bit 0: horizontal, bit 1: $8000 fixed
    explicit IremG101(bool oneScreen) : oneScreen(oneScreen) {
        number = 32;
        watchesWrites = true;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;

private:
    void mapPrgBanks(BusContext& context);
    const bool oneScreen;
};

// Taito TC0190 (33): two 8 KiB PRG banks, two 2 KiB and four 1 KiB CHR
// banks, the mirroring bit beside the first PRG bank.
class TaitoTC0190 : public Mapper {
public:
    uint8_t registers[8] = {0, 1, 0, 1, 4, 5, 6, 7};  // $8000-$8003, $A000-$A003
    TaitoTC0190() {
        number = 33;
        watchesWrites = true;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;

private:
    void mapRegister(BusContext& context, int r);
};

// Taito TC0690 (48): the TC0190's banks, the mirroring at $E000, and the
// MMC3's scanline counter with its latch written inverted.
class TaitoTC0690 : public MMC3 {
public:
    uint8_t registers[8] = {0, 1, 0, 1, 4, 5, 6, 7};  // $8000-$8003, $A000-$A003
    uint8_t mirroringBit = 0;
    TaitoTC0690() { number = 48; }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    // Its registers go with the others (serialize), not in the MMC3's bytes.
    void storeState(BusContext&, uint8_t*) override {}
    void restoreState(BusContext&, const uint8_t*) override {}
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;

private:
    void mapRegister(BusContext& context, int r);
};

// Bandai FCG-1/2 and LZ93D50 (16): eight 1 KiB CHR banks, a 16 KiB PRG
// bank, mirroring and a 16-bit down-counter of CPU cycles. The FCG chips
// answer at $6000-$7FFF and load the counter directly (submapper 4), the
// LZ93D50 at $8000-$FFFF through a latch (submapper 5); submapper 0
// answers at both, as the LZ93D50.
class BandaiFCG : public Mapper {
public:
    uint8_t chrBank[8] = {};
    uint8_t prgBank = 0;
    uint8_t mirroringBits = 0;
    uint8_t irqEnable = 0;
    uint16_t latch = 0;
    uint16_t counter = 0;
    uint8_t dotPhase = 0;
    explicit BandaiFCG(int32_t submapper) : submapper(submapper) {
        number = 16;
        watchesWrites = true;
        countsDots = true;
        hookCycle = kNoHook;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void onDot(BusContext& context) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
    void afterLoad(BusContext& context) override;

private:
    void countIrq(BusContext& context, int64_t now);
    void scheduleIrq(BusContext& context);
    int64_t countedTo = 0;
    const int32_t submapper;
};

// Sunsoft-4 (68): four 2 KiB CHR banks, a 16 KiB PRG bank, mirroring, and
// nametables from CHR ROM (the board then supplies the background's tiles).
class Sunsoft4 : public Mapper {
public:
    uint8_t chrBank[4] = {};
    uint8_t ntBank[2] = {};
    uint8_t control = 0;  // $E000: mirroring, bit 4 nametables from CHR ROM
    uint8_t prgBank = 0;
    Sunsoft4() {
        number = 68;
        watchesWrites = true;
        maySupplyTiles = true;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
    void afterLoad(BusContext& context) override;
    BackgroundTile supplyTile(BusContext& context, uint16_t address, int32_t column) override;

private:
    void applyNametables(BusContext& context);
};

// Creates the board for an iNES mapper number (DEFAULT_MAPPER for unknown
// ones); the NES 2.0 submapper and the CHR ROM size pick a variant.
std::unique_ptr<Mapper> createMapper(int32_t number, int32_t submapper = 0, int64_t chrBytes = 0);
// The mapper numbers createMapper makes a board of, ascending.
const std::vector<int32_t>& emulatedMappers();

}  // namespace NES
