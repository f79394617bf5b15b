// Numbered save-state slots: the CPU registers, CPU memory, PPU memory and
// the board's register block, 82189 bytes per file.
#pragma once

#include <cstdint>
#include <string>

class NESUnit;

constexpr size_t kStateFileSize = 5 + 8 + 65536 + 16384 + 256;

std::string statePath(const NESUnit& unit, int slot);
// Throws std::runtime_error without a save directory and FileError when the
// file cannot be written; an existing slot is replaced only by a whole file.
void saveState(NESUnit& unit, int slot);
// False when the slot has no file. A file of the wrong size or with a PC
// beyond 16 bits raises std::invalid_argument and changes nothing.
bool loadState(NESUnit& unit, int slot);
