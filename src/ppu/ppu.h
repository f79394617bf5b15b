// The picture processing unit: video memory with its mirroring, the
// CPU-visible registers, the dot-by-dot renderer and the finished frames.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "common.h"

namespace NES { class Mapper; }

class PPU {
public:
    static constexpr int kWidth = 256;
    static constexpr int kHeight = 240;
    static constexpr int kDotsPerLine = 341;
    static constexpr int kLinesPerFrame = 262;
    static constexpr size_t kFrameBytes = size_t(kWidth) * kHeight * 3;

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

    // --- internal registers ---
    uint16_t v = 0;
    uint16_t t = 0;
    uint8_t fineX = 0;
    bool w = false;
    uint8_t oamAddr = 0;
    uint8_t readBuffer = 0;
    int32_t mirroring = Horizontal;
    int32_t chrBank = 0;

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

    // --- background (render.cpp) ---
    bool renderingEnabled = false;
    bool postRender = false;
    uint16_t ntAddress = 0;
    uint16_t atAddress = 0;
    uint16_t patternLow = 0;
    uint16_t patternHigh = 0;
    uint8_t tileDot = 0;

    // --- sprite evaluation for the next line (sprites.cpp) ---
    uint8_t secondaryOam[32] = {};
    uint8_t evalIndex = 0;
    uint8_t evalByte = 0;
    bool evalDone = false;
    uint8_t evalCount = 0;
    int32_t nextSpriteX[8] = {};
    bool spriteZeroNext = false;

    // --- sprites of the current line (sprites.cpp) ---
    uint8_t lineSprites[32] = {};
    int8_t lineSpriteCount = 0;
    int32_t spriteX[8] = {};
    uint8_t activeMask = 0;
    int8_t spriteColumn[8] = {};
    bool spriteZeroLine = false;

    // --- frames (render.cpp) ---
    alignas(64) std::array<uint8_t, kFrameBytes> workFrame{};
    alignas(64) std::array<uint8_t, kFrameBytes> displayFrame{};
    std::array<uint8_t, kWidth * kHeight> colorIndexCache{};
    std::mutex frameLock;

    // Set by attachCartridge: the board has per-dot work, so onDot is called.
    bool mapperCountsDots = false;

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
    uint8_t readRegister(uint16_t address);
    void attachCartridge(Cartridge* cart);

    // --- renderer (render.cpp) ---
    void stepDot();
    void publishFrame();

    static uint16_t coarseXIncrement(uint16_t value) {
        return (value & 0x1F) == 0x1F ? uint16_t((value ^ 0x0400) & 0xFFE0) : uint16_t(value + 1);
    }

private:
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
    static uint16_t foldPalette(uint16_t address) {
        return (address & 0x13) == 0x10 ? (address & 0xFF0F) : address;
    }

    // registers.cpp
    uint8_t readStatus();
    void advanceDataAddress();

    // render.cpp
    void renderDot(uint8_t mask);
    void startVblank();
    void endVblank();
    void fetchBackground(uint16_t address);
    void incrementFineY();
    void outputPixel(int x, uint8_t mask);

    // sprites.cpp
    void resetEvaluation();
    void evaluateSprites();
    void loadLineSprites();
    void tickSprites();
    // Pixel (0-3) of the first active line sprite that is opaque at this dot, and its index.
    uint8_t spritePixel(int& index) const;
};

// The 64 RGB colours the renderer uses, indexed by a 6-bit palette value.
extern const std::array<uint8_t, 64 * 3> colorTable;
// A writable copy of the same colours, one per process, for Python to view.
extern std::array<uint8_t, 64 * 3> colorLookupTable;
