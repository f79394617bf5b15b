// The picture processing unit: video memory with its mirroring, the
// CPU-visible registers, the dot-by-dot renderer and the finished frames.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <vector>

#include "common.h"

namespace NES {
class Mapper;
}
class StateStream;

class PPU {
public:
    static constexpr int kWidth = 256;
    static constexpr int kHeight = 240;
    static constexpr int kDotsPerLine = 341;
    static constexpr int kLinesPerFrame = 262;
    static constexpr size_t kFrameBytes = size_t(kWidth) * kHeight * 3;
    // What greyscale (PPUMASK bit 0) keeps of a palette value: its brightness row.
    static constexpr uint8_t kGreyscale = 0x30;

    // --- links (registers.cpp, attach.cpp) ---
    CPU* cpu = nullptr;
    Cartridge* cartridge = nullptr;
    NES::Mapper* mapper = nullptr;
    BusContext busContext;
    // PPUCTRL, PPUMASK and PPUSTATUS live in the CPU's memory at $2000-$2002.
    uint8_t* ppuCtrl = nullptr;
    uint8_t* ppuMask = nullptr;
    uint8_t* ppuStatus = nullptr;

    // --- video memory ---
    alignas(64) std::array<uint8_t, 16384> vram{};
    std::array<uint8_t, 256> oam{};

    // --- bytes no access reaches (serialize.cpp) ---
    // A view of vram was handed out: any byte may change behind the PPU.
    bool vramShared = false;
    // $3000-$3EFF and $3F20-$3FFF, which every access folds away from, may
    // hold bytes a loaded state put there.
    bool strayBytes = false;
    bool mirrorsInUse() const;

    // --- internal registers ---
    uint16_t v = 0;
    uint16_t t = 0;
    uint8_t fineX = 0;
    bool w = false;
    uint8_t oamAddr = 0;
    uint8_t readBuffer = 0;
    // The hardware timing's I/O latch (registers.cpp): the byte, and the dot
    // count at which each bit was last driven to 1.
    uint8_t ioLatch = 0;
    int64_t latchDrivenAt[8] = {};
    // The hardware timing's last PPUDATA read: its dot and the byte it gave
    // (only a read in the same instruction looks at them, so no snapshot keeps them).
    int64_t dataReadDot = -1000;
    uint8_t dataReadValue = 0;

    // --- position and vertical blank ---
    int32_t scanline = 0;
    int32_t cycle = 25;
    bool vblank = false;
    bool nmiOccurred = false;
    bool suppressVblank = false;
    bool suppressNmi = false;
    bool debug = false;
    RelaxedCounter totalDots;
    RelaxedCounter frameCount;

    // --- background (render.cpp, span.cpp) ---
    bool renderingEnabled = false;
    bool postRender = false;
    uint16_t ntAddress = 0;
    uint16_t atAddress = 0;
    uint16_t patternLow = 0;
    uint16_t patternHigh = 0;
    uint8_t tileDot = 0;
    // Palette values of the latched tile's pixels (byte d for tileDot d), kept
    // from one span to the next; valid while the latches, their attribute byte
    // and the background palette still match what they were made from.
    uint64_t heldColours = 0;
    uint64_t heldPalette[2] = {};
    uint8_t heldAttribute = 0;
    bool heldValid = false;
    // The four background palettes as the terms of a tile's colour word,
    // made from the palette bytes in paletteWordsKey (a cache, not state).
    struct PaletteWords {
        uint64_t base = 0;
        uint64_t plane1[4] = {}, plane2[4] = {}, both[4] = {};
        // Palette k's three twice over, for two tiles at a time.
        alignas(16) uint64_t doubled[4][3][2] = {};
    };
    PaletteWords paletteWords;
    uint64_t paletteWordsKey[2] = {};
    bool paletteWordsMade = false;

    // --- sprite evaluation for the next line (sprites.cpp) ---
    uint8_t secondaryOam[32] = {};
    uint8_t evalIndex = 0;
    uint8_t evalByte = 0;
    bool evalDone = false;
    uint8_t evalCount = 0;
    int32_t nextSpriteX[8] = {};
    bool spriteZeroNext = false;
    // The hardware timing's evaluation (evaluateHardware): sprites found so
    // far (evalCount is what dot 257 loads), the dot of its next OAM read,
    // bytes of a found sprite still to read, and the OAM address read last.
    static constexpr int32_t kEvaluationStart = 65;
    // The line (frame x 262 + scanline) the evaluation state belongs to, and
    // which sprites' Y was in range of it when it began.
    int64_t evalLine = -1;
    uint64_t evalYInRange = 0;
    uint8_t evalFound = 0;
    int32_t evalDot = kEvaluationStart;
    uint8_t evalCopy = 0;
    uint8_t evalLast = 0;

    // --- which OAM bytes are in range of a line (sprites.cpp; a cache, not state) ---
    // Made for every line at once from a copy of OAM, checked against OAM once
    // a line and after every write to it; when OAM or the sprite height change
    // again in the same frame, for the current line alone instead.
    // Bit u: sprite u's Y byte is in range of the current line.
    uint64_t spritesInRange(unsigned height);
    // Bit u of path r: sprite u's byte (r + u) & 3, the one the overflow scan
    // reads on path r, is in range of the current line.
    const uint64_t* overflowPaths(unsigned height);
    void oamWritten() { rangesCheckedAt = -1; }
    // The hardware's evaluation runs behind the renderer: what reads its
    // result or changes its inputs (OAM, the sprite height, rendering) first
    // brings it to the current dot, with nothing owed.
    void bringEvaluationUpToDate();
    std::array<uint8_t, 256> rangesOam{};
    unsigned rangesHeight = 0;
    int64_t rangesCheckedAt = -1;
    int64_t rangesChangedFrame = -1;
    int32_t rangesChanges = 0;
    bool rangesYMade = false;
    bool rangesPathsMade = false;
    std::array<uint64_t, kHeight> rangesY{};
    std::array<std::array<uint64_t, 4>, kHeight> rangesPaths{};
    // The current line's, when made line by line.
    int64_t rangesLineAt = -1;
    uint64_t rangesLineY = 0;
    uint64_t rangesLinePaths[4] = {};
    bool rangesLinePathsMade = false;

    // --- sprites of the current line (sprites.cpp) ---
    uint8_t lineSprites[32] = {};
    int8_t lineSpriteCount = 0;
    int32_t spriteX[8] = {};
    uint8_t activeMask = 0;
    int8_t spriteColumn[8] = {};
    bool spriteZeroLine = false;
    // Counter ticks since lineSprites was loaded (capped). runTo advances only
    // this and leaves spriteX, spriteColumn and activeMask stale until
    // bringSpritesUpToDate(); a sprite's counters are a function of its X and the ticks.
    int32_t spriteTicks = 0;
    bool spritesStale = false;
    // Past X + 9 ticks a sprite's counters stop changing, so the count may stop too.
    static constexpr int32_t kSpriteTickCap = 1024;
    // Smallest and largest X in lineSprites.
    int32_t lineSpriteXMin = 0;
    int32_t lineSpriteXMax = 0;

    // --- frames (render.cpp, palette.cpp) ---
    // The frame being drawn, as palette values; at vertical blank it becomes
    // the finished one, displayColorIndex, and displayFrame shows it in RGB
    // (colorTable of each value), redrawn where it changed.
    alignas(64) std::array<uint8_t, kWidth * kHeight> colorIndexCache{};
    alignas(64) std::array<uint8_t, kWidth * kHeight> displayColorIndex{};
    alignas(64) std::array<uint8_t, kFrameBytes> displayFrame{};
    // No frame finished yet: displayFrame is still black, whatever its values say.
    bool displayPublished = false;
    // Off, displayFrame stands still: a batch reads the palette values.
    bool rgbFrames = true;
    void setRgbFrames(bool on);  // on again, displayFrame is redrawn
    std::mutex frameLock;
    // displayFrame from displayColorIndex, every pixel (or black before the first frame).
    void paintDisplay();

    // --- colour emphasis, hardware timing (emphasis.cpp) ---
    // PPUMASK's emphasis bits (5-7, as 0-7) at the first pixel of the frame
    // being drawn, and from which pixel on a write changed them.
    struct EmphasisChange {
        uint16_t pixel;
        uint8_t bits;
    };
    uint8_t emphasisStart = 0;
    std::vector<EmphasisChange> emphasisChanges;
    // The finished picture's emphasis, a value a pixel, when it has any.
    std::vector<uint8_t> displayEmphasis;
    bool displayEmphasised = false;
    const uint8_t* shownEmphasis() const { return displayEmphasised ? displayEmphasis.data() : nullptr; }
    // PPUMASK's emphasis becomes `bits` (was `before`) at the current position.
    void noteEmphasis(uint8_t bits, uint8_t before);
    // At the publish: the finished picture's emphasis, and the next frame's
    // start; false when neither picture has emphasis (the plain publish).
    bool publishEmphasis();

    // Set by attachCartridge: the board has per-dot work, so onDot is called.
    bool mapperCountsDots = false;
    // Set by attachCartridge: the board watches pattern fetches (MMC2, MMC4).
    bool mapperWatchesPatterns = false;
    // Set by attachCartridge: the board's hook reads nothing the dots draw.
    bool hookIgnoresDrawing = false;
    // Tells such a board of a pattern byte fetched while rendering (ppu_inline.h).
    inline void notePattern(uint16_t address);
    // Set by attachCartridge: a board that may supply the background's tiles
    // (MMC5, Namco 163); while it does, its spans draw through drawBoardSpan.
    NES::Mapper* tileSupplier = nullptr;
    inline bool boardTiles() const;  // ppu_inline.h
    // The cycle at which runTo calls the hook: the board's hook acts only when
    // the next dot is this one. 341 (never) without a hook; -1 when the hook
    // must see every dot, which takes the per-dot path.
    int32_t mapperDotCycle = kDotsPerLine;

    // --- timing model (timing.cpp) ---
    bool hardware = false;
    // An odd frame with rendering on at dot 338 of the pre-render line skips
    // that line's dot 340 (decided there, so a later PPUMASK write cannot undo it).
    static constexpr int32_t kShortFrameDot = 338;
    bool shortFrame = false;
    // The dot count at the position where the current processing began, so
    // that a dot of this frame can be given its place on the CPU's clock.
    int64_t processStartDot = 0;
    int32_t processStartIndex = 0;
    int64_t dotAt(int32_t line, int32_t dot) const {
        return processStartDot + (line * kDotsPerLine + dot - processStartIndex);
    }
    // A register access stands between dots: after those before 3 x the
    // access's cycle, as if the last of them made the change.
    int64_t accessDot() const;  // registers.cpp
    // Where a console of this timing starts; what only the hardware timing
    // keeps, cleared; the registers as the reset button leaves them.
    void powerOnTiming();
    void clearHardwareState();

    void softReset();

    // --- address line A12, for a board clocked by its rises (address_line.cpp) ---
    // In the hardware timing with such a board (MMC3) the line is worked out
    // from what decides the fetches, a line at a time: the board's hook runs
    // where A12 next rises past the board's filter (mapperDotCycle; the
    // per-dot path for a rise inside dots 1-255), and register accesses that
    // move A12 reach the board at once. Positions count dots from line 0 of
    // frame a12BaseFrame. The search starts at a12Origin, with A12 last high
    // at a12LastHigh before it (a rise at the origin already counted when
    // a12OriginTaken); a12Next is where the hook looks next (a rise, or line
    // 240's start, where v takes over the bus), -1 never.
    bool a12Watched = false;
    // The hook cycle the board asks for otherwise (set by attachCartridge).
    int32_t boardDotCycle = kDotsPerLine;
    int64_t a12BaseFrame = 0;
    int64_t a12Origin = 0;
    int64_t a12LastHigh = 0;
    bool a12OriginTaken = false;
    int64_t a12Next = -1;
    bool a12NextRises = false;
    int64_t a12NextLastHigh = 0;
    // PPUCTRL's tables and sprite size and PPUMASK's rendering as the search saw them.
    uint8_t a12PlanInputs = 0;
    // The pre-render line fetches the sprites line 239 found (8 x 16 sprites
    // take their table from the tile): bit k for slot k at $1000, kept for
    // frame a12PrerenderFrame (-1: none kept).
    uint8_t a12PrerenderSprites = 0;
    int64_t a12PrerenderFrame = -1;
    // The same for lines 0-239, worked out from a12OamSeen (a cache, not state).
    std::array<uint8_t, 256> a12OamSeen{};
    std::array<uint8_t, 240> a12TallSprites{};
    bool a12TallSpritesMade = false;
    // Starts following A12 or stops (attaching, a timing change, a load).
    void adoptAddressLine();
    // A register access that may move A12 (a write changing the tables,
    // sprite size, rendering or 8 x 16 sprites' OAM; v's second PPUADDR write
    // or PPUDATA), taking the line up to it as the old inputs draw it and on
    // from it as the new ones do (a12InAccess: inside, the access proper).
    bool a12InAccess = false;
    bool addressLineMayMove(uint16_t address, uint8_t value) const {
        switch (address) {
            case 0x2000: return ((value ^ *ppuCtrl) & 0x38) != 0;
            case 0x2001: return ((value ^ *ppuMask) & 0x18) != 0;
            case 0x2004: return (*ppuCtrl & 0x20) != 0;
            case 0x2006: return w;
            case 0x2007: return true;
            default: return false;
        }
    }
    void writeWatchingA12(uint16_t address, uint8_t value);
    uint8_t readWatchingA12(uint16_t address);
    bool addressLineMoves(uint16_t address, uint8_t value) const;
    void addressLineBeforeAccess();
    void addressLineAfterAccess(uint8_t ctrl, uint8_t mask);
    // From the board's dot hook: A12 may rise here.
    void addressLineHook();
    // Inside processing: the absolute dot of the position (the next dot).
    int64_t dotAtPosition() const;
    void serializeAddressLine(StateStream& s);

    explicit PPU(CPU* cpu);
    PPU(const PPU&) = delete;
    PPU& operator=(const PPU&) = delete;

    uint16_t mirrorAddress(uint16_t address) const {
        if ((address & 0xF000) == 0x2000) return foldNametable(address);
        if (address >= 0x3000 && address <= 0x3EFF) return address - 0x1000;
        if ((address & 0xFFF3) == 0x3F10) return address & 0xFF0F;
        if ((address & 0xFF00) == 0x3F00) return address & 0xFF1F;
        return address;
    }
    uint8_t& at(uint16_t address) { return vram[mirrorAddress(address) & 0x3FFF]; }

    // --- CPU side (registers.cpp, attach.cpp) ---
    void writeRegister(uint16_t address, uint8_t value);
    bool owedDotsReadT() const;
    uint8_t readRegister(uint16_t address);
    // The dot count (as totalDots counts) before which PPUSTATUS changes
    // only at an event: a loop polling it may skip passes up to there
    // (sprites.cpp). The paid position when that cannot be told.
    int64_t statusSteadyDots() const;
    template <bool kHardware>
    [[gnu::always_inline]] inline void storeRegister(uint16_t address, uint8_t value);

    // --- renderer (render.cpp) ---
    // The reference path: one dot at a time.
    void stepDot() {
        payOwedDots();
        processStartDot = totalDots;
        processStartIndex = scanline * kDotsPerLine + cycle;
        processDot(true);
    }
    void publishFrame();

    // Registers, position, sprite state, memories and the pictures
    // (serialize.cpp); nothing may be owed when saving.
    void serialize(StateStream& s);
    // The layout the board chose (mirroring, the one-screen page, the
    // shared pattern tables), which save states keep with its registers.
    void serializeLayout(StateStream& s);
    // Rows of the picture being drawn that the rest of the frame keeps, at
    // a position: those drawn so far, or all once the frame is complete
    // until it is published.
    static int32_t rowsKept(int32_t line, int32_t dot);
    // The bulk path (run.cpp): the same dots as repeated stepDot calls, until
    // totalDots reaches target or a frame completes, whichever comes first.
    void runTo(int64_t target) {
        payOwedDots();
        const int64_t left = target - totalDots;
        if (left > 0) totalDots += process(left);
    }

    // --- owed dots (run.cpp) ---
    // Dots counted in totalDots but not yet processed. The PPU pays them
    // itself before anything of its own could tell: at every register access
    // (but a write that only moves t while they do not copy it), and in
    // attachCartridge and setMirroring. When the console may let them wait,
    // and who else must pay them, is console/catch_up.h's business.
    bool mayOweDots = true;
    int64_t owedDots = 0;
    // Index (scanline x 341 + cycle) of the next event in this frame: a dot
    // that raises or clears a signal the CPU samples (vertical blank, the
    // frame's end, the board's hook).
    int32_t eventIndex = 0;
    void oweDotsTo(int64_t target) {
        owedDots += target - totalDots;
        totalDots = target;
    }
    bool owedDotsReachEvent() const { return owedDots > 0 && scanline * kDotsPerLine + cycle + owedDots > eventIndex; }
    // The largest dot count oweDotsTo may reach without owedDotsReachEvent;
    // -1 when every dot is an event.
    int64_t aheadDotLimit() const {
        if (eventIndex < 0) return -1;
        return totalDots - owedDots + (eventIndex - (scanline * kDotsPerLine + cycle));
    }
    // Pays owed dots, stopping after a frame-completing dot.
    void payOwedDotsToFrameEnd() { owedDots -= process(owedDots); }
    void payOwedDots() {
        while (owedDots > 0) payOwedDotsToFrameEnd();
    }
    // The next catch-up counts the owed dots again.
    void uncountOwedDots() {
        totalDots += -owedDots;
        owedDots = 0;
    }
    void locateNextEvent();

    // Brings spriteX, spriteColumn and activeMask up to date after runTo.
    void bringSpritesUpToDate();

    // The name and attribute bytes a background fetch for VRAM address `value` reads.
    static uint16_t nameAddress(uint16_t value) { return uint16_t(0x2000 | (value & 0x0FFF)); }
    static uint16_t attributeAddress(uint16_t value) {
        return uint16_t(0x23C0 | (value & 0x0C00) | ((value >> 4) & 0x38) | ((value >> 2) & 0x07));
    }
    static uint16_t coarseXIncrement(uint16_t value) {
        return (value & 0x1F) == 0x1F ? uint16_t((value ^ 0x0400) & 0xFFE0) : uint16_t(value + 1);
    }
    static uint16_t fineYIncrement(uint16_t value) {
        if ((value & 0x7000) != 0x7000) return uint16_t(value + 0x1000);
        value &= 0x8FFF;
        int y = (value >> 5) & 0x1F;
        if (y == 29) {
            y = 0;
            value ^= 0x0800;
        } else if (y == 31) {
            y = 0;  // rows 30-31 are attribute bytes: wrap without switching tables
        } else {
            ++y;
        }
        return uint16_t((value & 0xFC1F) | (y << 5));
    }

private:
    // --- the layout boards choose (attach.cpp) ---
    // Only the board base class sets it, through setMirroring, so the
    // nametable bytes always move with the mode; the console attaches.
    friend class NES::Mapper;
    friend class NESUnit;
    friend struct TestAccess;  // tests/cpp
    int32_t mirroring = Horizontal;
    // Which kilobyte of nametable memory SingleScreen shows: 0 the lower, 1
    // the upper. The page shown is always the one at $2000: choosing the
    // other swaps it with the one kept at $2400, so rendering never asks.
    int32_t singleScreenPage = 0;
    // The two pattern tables are one RAM (CPROM showing page 0 twice): a
    // PPUDATA write to one lands in the other too.
    bool patternTablesShared = false;
    // The header's mirroring and the first 8 KiB of CHR (or the pattern
    // tables as CHR RAM).
    void attachCartridge(Cartridge* cart);
    // The second nametable sits at $2800 while Horizontal and at $2400
    // otherwise, so it moves when the mode does (SingleScreen's upper page
    // on show swaps it with the first).
    void setMirroring(int32_t mode, int32_t page = 0);

    // The fold of mirrorAddress for $2000-$2FFF, which every tile fetch takes.
    uint16_t foldNametable(uint16_t address) const {
        switch (mirroring) {
            case Horizontal: return address & ~0x0400;
            case Vertical: return address & ~0x0800;
            case SingleScreen: return (address & 0x03FF) | 0x2000;
            default: return address;
        }
    }
    // The fold of mirrorAddress for $3F00-$3F1F, which every pixel takes.
    static uint16_t foldPalette(uint16_t address) { return (address & 0x13) == 0x10 ? (address & 0xFF0F) : address; }

    // serialize.cpp: the finished picture, repainted when loaded.
    void serializePicture(StateStream& s, std::unique_lock<std::mutex>& guard);
    void serializeEmphasis(StateStream& s);

    // registers.cpp
    uint8_t readStatus();
    // Whether the PPU is fetching (rendering on, a visible or the pre-render
    // line), so OAM belongs to the sprite evaluation and fetches.
    bool renderingNow() const;
    uint8_t oamDuringRendering() const;
    uint8_t readRegisterHardware(uint16_t address);
    [[gnu::noinline]] void writeRegisterHardware(uint16_t address, uint8_t value);
    uint16_t foldHardware(uint16_t address) const;
    // The latch as it reads now (faded bits cleared), and bits of it driven.
    uint8_t latch();
    void driveLatch(uint8_t value, uint8_t bits);
    void advanceDataAddress();

    // render.cpp
    void renderDot(uint8_t mask);
    void startVblank();
    void endVblank();
    // Dot 1 of lines 241 and 261: vertical blank begins, or ends.
    void blankingDot() {
        if (scanline == 241) {
            if (!vblank) startVblank();
        } else if (scanline == 261) {
            endVblank();
        }
    }
    void fetchBackground(uint16_t address);
    void outputPixel(int x, uint8_t mask);
    // Whether a sprite 0 hit can happen in column x: never in the last column,
    // nor in the first eight while either of them is hidden.
    static bool hitShows(int x, uint8_t mask) { return x != 255 && (x >= 8 || (mask & 0x06) == 0x06); }

    // run.cpp, span.cpp: process up to `dots` dots without counting them
    // in totalDots, stopping after a frame-completing dot; return how many.
    int64_t process(int64_t dots) {
        processStartDot = totalDots - owedDots;
        processStartIndex = scanline * kDotsPerLine + cycle;
        // Most catch-ups are a few dots inside the picture part of a line,
        // short of the board's hook (which may lie inside it).
        if (!postRender && cycle >= 1 && dots < 256 - cycle && mapperDotCycle >= 0 &&
            (mapperDotCycle <= cycle || mapperDotCycle > cycle + dots)) {
            processInsideLine(int32_t(dots));
            return dots;
        }
        return processAcrossLines(dots);
    }
    void processInsideLine(int32_t dots);
    void preRenderHardware(int32_t c, int32_t last, bool rendering);
    int64_t processAcrossLines(int64_t dots);
    // render.cpp: one dot, counted in totalDots when `count`.
    void processDot(bool count);
    void renderSpan(int32_t first, int32_t last, uint8_t mask);
    void drawColours(int32_t first, int32_t last, uint8_t mask);
    void greySpan(int32_t first, int32_t last);
    template <bool kSprites, bool kWatch>
    void drawSpan(int32_t first, int32_t last, uint8_t mask);
    template <bool kWatch>
    void drawBackground(int32_t first, int32_t last);
    template <bool kWatch, bool kOpaque>
    void drawBackgroundLine(bool toDot256, uint8_t* opaque);
    template <bool kWatch>
    void drawSpriteLine(bool toDot256, uint8_t mask);
    // A background fetch for VRAM address `address` (fine Y from `fineFrom`):
    // its name and attribute addresses and its pattern bytes (span.cpp).
    template <bool kWatch>
    void fetchTileBytes(uint16_t address, uint16_t fineFrom, uint16_t patternBase, uint16_t ntMask, uint16_t& nt,
                        uint16_t& at, uint8_t& low, uint8_t& high);
    // The palette address of pixel x: spriteRow's byte `sprite` over
    // background pixel `bgPixel` of palette entry `bgBase`; sets the sprite 0
    // hit (ppu_inline.h).
    inline int composePixel(int32_t x, uint8_t sprite, int bgPixel, int bgBase, bool bgShown, uint8_t mask);
    // A run of tiles along one nametable row: where its name and attribute
    // bytes are, and what every fetch of it shares.
    struct TileRow {
        const uint8_t* names;
        const uint8_t* attributes;
        int vertical;    // 4 for the lower quadrants of the attribute bytes
        uint32_t fetch;  // the pattern table and fine Y
        const PaletteWords* words;
    };
    // The background latches a span keeps in locals (span.cpp).
    struct TileLatch;
    // The bytes of the last tile rowColours fetched.
    struct FetchedTile {
        uint8_t low, high, attribute;
    };
    // Palette values of the tiles in columns x..end - 1 of a row, a word each
    // (byte d for tileDot d), fetched in order; with kOpaque, a mask of their
    // opaque pixels too.
    template <bool kWatch, bool kOpaque>
    void rowColours(const TileRow& row, int32_t x, int32_t end, uint64_t* out, uint64_t* opaque, FetchedTile& last);
    static void shiftedRow(const uint64_t* words, int32_t groups, int32_t fine, uint8_t* out);
    static void copyRow(const uint64_t* words, int32_t fine, uint8_t* out);
    void hideLeftBackground();
    const PaletteWords& backgroundPalettes();
    void finishLineBeforeDot256(uint8_t* row, const uint64_t* tiles, uint16_t last, uint8_t low, uint8_t high,
                                uint8_t attribute);
    void renderBackdropSpan(int32_t first, int32_t last);
    // board_tiles.cpp: dots first..last with the board's tiles, and one fetch.
    void drawBoardSpan(int32_t first, int32_t last, uint8_t mask);
    void fetchBoardTile(uint16_t address);

    // sprites.cpp
    bool checkRanges(unsigned height);
    void resetEvaluation();
    // The evaluation found the sprite at OAM byte `index` in range (its Y + 1
    // is y1): copied to secondary OAM as sprite `found`, which counts it.
    void takeSprite(uint8_t index, uint8_t y1, uint8_t& found);
    void evaluateRange(int32_t first, int32_t last);
    void evaluateHardware(int32_t last);
    bool overflowScan(unsigned height, int32_t steps);
    // The low plane's pattern address of line sprite i's row on this line
    // (flipped, tall sprites' second tile), under PPUCTRL `ctrl`.
    inline int spriteRowAddress(int i, uint8_t ctrl) const;
    // Sprite pixels of columns x0..x1 into row[lo..hi] (and their palette
    // values into colours with kColours); false when none is drawn there.
    template <bool kColours>
    bool spriteRow(int32_t x0, int32_t x1, uint8_t* row, uint8_t* colours, int32_t& lo, int32_t& hi);
    // Whether a line sprite draws in columns x0..x1 (dots x0 + 1 .. x1 + 1).
    bool spritesReach(int32_t x0, int32_t x1) const {
        const int32_t shift = x0 - spriteTicks;
        return lineSpriteXMin + shift <= x1 && lineSpriteXMax + 7 + shift >= x0;
    }
    void addSpriteTicks(int32_t dots) {
        if (lineSpriteCount <= 0) return;
        spriteTicks = spriteTicks + dots < kSpriteTickCap ? spriteTicks + dots : kSpriteTickCap;
        spritesStale = true;
    }
    void evaluateSprites();
    void loadLineSprites();
    void tickSprites();
    // Pixel (0-3) of the first active line sprite that is opaque at this dot, and its index.
    uint8_t spritePixel(int& index);
};

// The 64 RGB colours the renderer uses, indexed by a 6-bit palette value.
extern const std::array<uint8_t, 64 * 3> colorTable;
// RGB of a 240 x 256 frame of palette values (palette.cpp).
void paintFrame(const uint8_t* colours, uint8_t* rgb);
// `shown`, the values `rgb` shows, becomes `colours`: only the pixels that
// differ are redrawn.
void repaintChanges(uint8_t* shown, const uint8_t* colours, uint8_t* rgb);
// RGB of palette value `colour` under emphasis bits (PPUMASK bits 5-7 as 0-7).
void emphasisedColour(unsigned bits, unsigned colour, uint8_t* rgb);
// paintFrame with each pixel's emphasis bits (0-7); without them, paintFrame.
void paintFrameEmphasis(const uint8_t* colours, const uint8_t* emphasis, uint8_t* rgb);
// A writable copy of the same colours, one per process, for Python to view.
extern std::array<uint8_t, 64 * 3> colorLookupTable;
