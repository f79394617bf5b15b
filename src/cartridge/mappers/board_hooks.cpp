// What boards beyond plain ROM windows share: RAM in the ROM windows,
// nametable slots pointed anywhere, background tiles the board supplies and
// a hook that moves.
#include <cstring>

#include "cartridge/cartridge.h"
#include "cartridge/mappers/mapper.h"
#include "cpu/cpu.h"
#include "ppu/ppu.h"

namespace NES {

uint8_t Mapper::readRegister(BusContext&, uint16_t, uint8_t unmapped) { return unmapped; }
BackgroundTile Mapper::supplyTile(BusContext&, uint16_t, int32_t) { return {}; }
void Mapper::afterLoad(BusContext&) {}

void Mapper::showPrgRam(BusContext& context, uint16_t window, const uint8_t* bytes, int32_t kib) {
    Cartridge* cart = context.cpu->cartridge;
    if (!cart || window < 0x8000 || int32_t(window) + kib * 1024 > 0x10000) return;
    std::memcpy(&context.cpu->memory[window], bytes, size_t(kib) * 1024);
    for (int32_t i = 0; i < kib; ++i) {
        const int page = (window - 0x8000) / 1024 + i;
        cart->prgPages[page] = Cartridge::kNoBank;
        cart->patchedPages |= uint64_t(1) << page;
    }
}

bool Mapper::showNametablePages(BusContext& context, const int8_t (&pages)[4]) {
    // Slot by slot, the page each layout shows there: vertical, horizontal,
    // then the lower and the upper page alone.
    static constexpr int8_t kLayouts[4][4] = {{0, 1, 0, 1}, {0, 0, 1, 1}, {0, 0, 0, 0}, {1, 1, 1, 1}};
    static constexpr int32_t kModes[4] = {Vertical, Horizontal, SingleScreen, SingleScreen};
    int best = 0, bestAgree = -1;
    for (int layout = 0; layout < 4; ++layout) {
        int agree = 0;
        for (int slot = 0; slot < 4; ++slot) agree += pages[slot] == kLayouts[layout][slot];
        if (agree > bestAgree) {
            best = layout;
            bestAgree = agree;
        }
    }
    const PPU& ppu = *context.ppu;
    const int32_t page = best == 3 ? 1 : 0;
    if (ppu.mirroring != kModes[best] || (kModes[best] == SingleScreen && ppu.singleScreenPage != page))
        setMirroring(context, kModes[best], page);
    int used = 0;
    for (int slot = 0; slot < 4; ++slot) used += pages[slot] >= 0;
    return bestAgree == used && ppu.mirroring != FourScreen;
}

const uint8_t* Mapper::nametablePage(const BusContext& context, int page) {
    const PPU& ppu = *context.ppu;
    page &= 1;
    switch (ppu.mirroring) {
        case Horizontal: return &ppu.vram[page ? 0x2800 : 0x2000];
        case SingleScreen: return &ppu.vram[page == ppu.singleScreenPage ? 0x2000 : 0x2400];
        default: return &ppu.vram[page ? 0x2400 : 0x2000];
    }
}

int32_t Mapper::nametableLayout(const BusContext& context) { return context.ppu->mirroring; }

bool Mapper::showsNametablePages(const BusContext& context, const int8_t (&pages)[4]) {
    const PPU& ppu = *context.ppu;
    if (ppu.mirroring == FourScreen) return false;
    for (int slot = 0; slot < 4; ++slot) {
        const uint8_t* shown = &ppu.vram[ppu.foldNametable(uint16_t(0x2000 + 0x400 * slot))];
        if (pages[slot] >= 0 && shown != nametablePage(context, pages[slot])) return false;
    }
    return true;
}

void Mapper::supplyTiles(BusContext& context, bool on) {
    if (on == suppliesTiles) return;
    PPU& ppu = *context.ppu;
    // The tiles drawn so far were drawn the other way.
    ppu.payOwedDots();
    if (on) {
        // The tile latched from the nametables keeps its attribute's palette.
        const uint8_t attribute = ppu.vram[ppu.foldNametable(ppu.atAddress)];
        latchedPalette = uint8_t((attribute >> (((ppu.ntAddress >> 4) & 4) | (ppu.ntAddress & 2))) & 3);
    }
    ppu.heldValid = false;
    suppliesTiles = on;
}

BackgroundTile Mapper::tileFrom(const BusContext& context, const uint8_t* table, uint16_t address) {
    const uint16_t offset = address & 0x3FF;
    const uint8_t index = table[offset];
    const uint8_t attribute = table[0x3C0 | ((offset >> 4) & 0x38) | ((offset >> 2) & 7)];
    const PPU& ppu = *context.ppu;
    const size_t pattern = ((context.cpu->memory[0x2000] & 0x10) ? 0x1000 : 0) | (index << 4) | ((address >> 12) & 7);
    BackgroundTile tile;
    tile.low = ppu.vram[pattern];
    tile.high = ppu.vram[pattern + 8];
    tile.palette = uint8_t((attribute >> (((offset >> 4) & 4) | (offset & 2))) & 3);
    return tile;
}

void Mapper::moveHook(BusContext& context, int32_t cycle) {
    if (cycle == hookCycle) return;
    hookCycle = cycle;
    PPU& ppu = *context.ppu;
    ppu.boardDotCycle = cycle;
    if (!ppu.a12Watched) {
        ppu.mapperDotCycle = cycle;
        ppu.locateNextEvent();
    }
}

// --- counters of CPU cycles ---

int64_t Mapper::dotNow(const BusContext& context) {
    const PPU& ppu = *context.ppu;
    int64_t dot = ppu.dotAtPosition();
    // A catch-up that ran through a short frame's end counts its skipped
    // position as a dot; it stops at line 0's start, where that shows.
    if (ppu.hardware && ppu.shortFrame && ppu.scanline == 0 && ppu.cycle == 0 && ppu.processStartIndex > 0) --dot;
    return dot;
}

int64_t Mapper::settledDot(const BusContext& context) { return context.ppu->totalDots - context.ppu->owedDots; }

int64_t Mapper::ticksOver(uint8_t& phase, int64_t dots) {
    if (dots <= 0) return 0;
    const int64_t total = phase + dots;
    phase = uint8_t(total % 3);
    return total / 3;
}

void Mapper::hookAtTick(BusContext& context, int64_t tick, uint8_t phase) {
    int32_t hook = PPU::kDotsPerLine;
    if (tick > 0) {
        const PPU& ppu = *context.ppu;
        // The hook comes right after the dot the tick completes.
        const int64_t ahead = 3 * tick - phase;
        if (ppu.cycle + ahead >= PPU::kDotsPerLine) {
            hook = 0;  // look again as the next line starts
        } else {
            const int32_t at = int32_t(ppu.cycle + ahead);
            // The catch-up stops there, inside a picture line's span too; a
            // short frame's pre-render line has no dot 340.
            const bool skippable = hardware && ppu.scanline == PPU::kLinesPerFrame - 1 && at == 340;
            hook = skippable ? -1 : at;
        }
    }
    moveHook(context, hook);
}

bool Mapper::hookDue(const BusContext& context) const { return hookCycle < 0 || context.ppu->cycle == hookCycle; }

}  // namespace NES
