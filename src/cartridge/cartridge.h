// A cartridge image: header fields, PRG and CHR ROM, and the board.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "cartridge/mappers/mapper.h"
#include "common.h"

// An image the console cannot run (bad magic, truncated data, sizes no board can hold).
class RomError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

class Cartridge {
public:
    uint8_t hasBattery = 0;
    std::vector<uint8_t> prgRom;
    std::vector<uint8_t> chrRom;
    uint8_t* chrRam = nullptr;  // the PPU's pattern tables when chrSize is 0
    int32_t mirroring = Horizontal;
    bool headerValid = false;
    bool isNes2 = false;
    uint8_t header[16] = {};
    uint8_t trainer[512] = {};
    int32_t prgSize = 0;
    int32_t chrSize = 0;
    std::unique_ptr<NES::Mapper> mapper;
    // A hash of PRG and CHR ROM: names the cartridge in snapshots.
    uint64_t romIdentity = 0;
    // Consoles built in bulk load without printing the loader's lines.
    bool quiet = false;

    Cartridge() = default;
    Cartridge(const Cartridge&) = delete;
    Cartridge& operator=(const Cartridge&) = delete;

    // Parses an iNES / NES 2.0 image, printing the loader's lines. Never reads
    // past `size`; the console refuses what this leaves unusable (validate()).
    void loadImage(const uint8_t* image, size_t size);
    void loadBlankImage();
    // Throws RomError when the parsed image cannot be run safely.
    void validate() const;

    // Start of the 1 KiB CHR bank number k (CHR ROM, or the 8 KiB CHR RAM).
    uint8_t* chrBankSource(int32_t k);
    // Start of the PRG bank at k KiB, wrapped by the ROM size.
    const uint8_t* prgBankSource(int32_t k) const;
    // The KiB offset of the last 16 KiB of PRG ROM.
    int32_t lastPrgBank16() const;
};

// Clears CPU memory, links the cartridge, loads battery RAM from saveFolder
// (when it is not empty) and copies the initial PRG windows.
void mapCartridge(CPU* cpu, Cartridge* cartridge, const std::string& saveFolder);

// Copies 1 KiB-wrapped banks: `kib` KiB starting at bank k of src (S bytes) into dst.
void copyPrgBanks(uint8_t* dst, const Cartridge& cart, int32_t startKiB, int32_t kib);
void copyChrBanks(uint8_t* dst, Cartridge& cart, int32_t startKiB, int32_t kib);
