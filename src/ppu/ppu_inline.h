// The PPU's calls into the board on the renderer's hot path, inline where
// the renderer fetches (render.cpp, span.cpp, sprites.cpp).
#pragma once

#include "cartridge/mappers/mapper.h"
#include "ppu/ppu.h"

inline void PPU::notePattern(uint16_t address) {
    if (VELKORA_UNLIKELY(mapperWatchesPatterns)) mapper->onPatternFetch(busContext, address);
}

inline bool PPU::boardTiles() const { return tileSupplier != nullptr && tileSupplier->suppliesTiles; }
