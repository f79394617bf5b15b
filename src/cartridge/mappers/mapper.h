// The cartridge board logic. Banking is done by copying the selected banks
// into the CPU's memory and the PPU's pattern tables, so no fetch calls a board.
// Boards change banks, mirroring and interrupts only through the base
// class's operations: the PPU keeps its layout private to this base, so no
// board can change the mirroring without moving the nametable bytes.
#pragma once

#include <cstdint>

#include "common.h"

class ExpansionSound;
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
    // A board whose write hook watches the stores from `lowestWrite` on.
    Mapper(int32_t mapper, uint16_t lowestWrite) : number(mapper), watchesWrites(true), writesFrom(lowestWrite) {}
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
    // Konami's and Irem's 8 KiB layout: `banks` at $8000 and $A000, the
    // second-last bank at $C000 (with `swapped`, at $8000 and banks[0] at
    // $C000), the last at $E000.
    static void mapPrg8Pair(BusContext& context, const uint8_t (&banks)[2], bool swapped);
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
    // The two-bit mirroring control of most boards: vertical, horizontal,
    // the lower page on one screen, the upper.
    static void selectMirroring(BusContext& context, int bits);
    // The design's interrupt is a request the CPU takes before its next
    // instruction; the hardware's a level on the IRQ line, from the first
    // poll at or after atCycle until the board releases it.
    void raiseIrq(BusContext& context, int64_t atCycle);
    void releaseIrq(BusContext& context, int64_t atCycle);
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

}  // namespace NES
