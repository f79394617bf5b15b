// MMC5's nametables and background tiles: each of the four nametable slots
// shows a kilobyte of the console's nametable RAM, ExRAM or the fill page;
// extended attributes give each tile its own 4 KiB CHR bank and palette;
// the vertical split draws a column range from ExRAM with its own scroll and
// bank. While any of these is in use (or 8 x 16 sprites give the background
// its own banks), the chip supplies every tile the PPU fetches; otherwise the
// PPU reads the nametables and pattern tables as for any board.
#include <cstring>

#include "cartridge/cartridge.h"
#include "cartridge/mappers/mmc5.h"
#include "cpu/cpu.h"
#include "ppu/ppu.h"

namespace NES {

namespace {

// What ExRAM shows as a nametable while it is CPU RAM.
alignas(8) constexpr uint8_t kZeros[1024] = {};

// The attribute byte of a nametable offset, and its quadrant's palette.
uint16_t attributeOffset(uint16_t offset) { return uint16_t(0x3C0 | ((offset >> 4) & 0x38) | ((offset >> 2) & 7)); }
uint8_t quadrant(uint8_t attribute, uint16_t offset) {
    return uint8_t((attribute >> (((offset >> 4) & 4) | (offset & 2))) & 3);
}

}  // namespace

MMC5::Pages MMC5::nametablePages() const {
    Pages pages;
    for (int slot = 0; slot < 4; ++slot) {
        const int source = (nametables >> (2 * slot)) & 3;
        pages.page[slot] = int8_t(source <= 1 ? source : -1);
    }
    return pages;
}

void MMC5::mapNametables(BusContext& context) {
    layoutShowsAll = showNametablePages(context, nametablePages().page);
    slotsStale = true;
    updateTileSupply(context, ppuCtrl(context));
}

void MMC5::buildFillPage() {
    std::memset(fillPage, fillTile, 960);
    std::memset(fillPage + 960, fillColour * 0x55, 64);
}

bool MMC5::wantsToSupplyTiles(const BusContext& context, uint8_t ctrl) const {
    if (exramMode == 1 || !layoutShowsAll) return true;
    if ((split.control & 0x80) && exramMode <= 1) return true;
    for (int slot = 0; slot < 4; ++slot) {
        if (((nametables >> (2 * slot)) & 3) >= 2) return true;
    }
    if (!(ctrl & 0x20) || context.cpu->cartridge->chrSize < 1024) return false;
    // 8 x 16 sprites give the background set B: the PPU may still fetch it
    // from the pattern tables where they show the same banks.
    const int table = (ctrl & 0x10) ? 4 : 0;
    for (int p = table; p < table + 4; ++p) {
        if (backgroundBanks[p] != vramBanks[p]) return true;
    }
    return false;
}

void MMC5::updateTileSupply(BusContext& context, uint8_t ctrl) {
    supplyTiles(context, wantsToSupplyTiles(context, ctrl));
}

const uint8_t* MMC5::patternRow(const BusContext& context, int32_t bank, uint16_t offset) const {
    const Cartridge& cart = *context.cpu->cartridge;
    if (cart.chrSize >= 1024) return cart.chrRom.data() + size_t(bank % (cart.chrSize / 1024)) * 1024 + offset;
    // CHR RAM: the pattern tables themselves.
    return &context.ppu->vram[size_t(bank & 7) * 1024 + offset];
}

BackgroundTile MMC5::supplyTile(BusContext& context, uint16_t address, int32_t column) {
    const uint8_t* exram = &context.cpu->memory[kExram];
    BackgroundTile tile;
    if ((split.control & 0x80) && exramMode <= 1) {
        const int32_t threshold = split.control & 0x1F;
        if ((split.control & 0x40) ? column >= threshold : column < threshold) {
            // The split's rows scroll on their own, wrapping at 240 like the picture.
            int32_t y = context.ppu->scanline + split.scroll;
            if (split.scroll < 240 && y >= 240) y -= 240;
            y &= 0xFF;
            const uint16_t offset = uint16_t((((y >> 3) << 5) | (column & 31)) & 0x3FF);
            const uint8_t index = exram[offset];
            tile.palette = quadrant(exram[attributeOffset(offset)], offset);
            const uint8_t* row =
                patternRow(context, split.bank * 4 + (index >> 6), uint16_t(((index & 0x3F) << 4) | (y & 7)));
            tile.low = row[0];
            tile.high = row[8];
            return tile;
        }
    }
    if (slotsStale) {
        for (int slot = 0; slot < 4; ++slot) {
            const int source = (nametables >> (2 * slot)) & 3;
            slots[slot] = source <= 1      ? nametablePage(context, source)
                          : source == 3    ? fillPage
                          : exramMode <= 1 ? exram
                                           : kZeros;
        }
        slotsStale = false;
    }
    const uint8_t* slot = slots[(address >> 10) & 3];
    const uint16_t offset = address & 0x3FF;
    const uint8_t index = slot[offset];
    int32_t bank;
    if (exramMode == 1) {
        // Extended attributes: the tile's ExRAM byte holds its 4 KiB bank and palette.
        const uint8_t extended = exram[offset];
        tile.palette = extended >> 6;
        bank = ((extended & 0x3F) | (chr.upper << 6)) * 4 + (index >> 6);
    } else {
        tile.palette = quadrant(slot[attributeOffset(offset)], offset);
        bank = backgroundBanks[((context.cpu->memory[0x2000] & 0x10) ? 4 : 0) + (index >> 6)];
    }
    const uint8_t* row = patternRow(context, bank, uint16_t(((index & 0x3F) << 4) | ((address >> 12) & 7)));
    tile.low = row[0];
    tile.high = row[8];
    return tile;
}

}  // namespace NES
