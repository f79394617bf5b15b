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

class StateStream;

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
    // Off, the loader prints nothing: consoles built in bulk.
    bool verbose = true;

    Cartridge();
    Cartridge(const Cartridge&) = delete;
    Cartridge& operator=(const Cartridge&) = delete;

    // Parses an iNES / NES 2.0 image, printing the loader's lines. Never reads
    // past `size`; the console refuses what this leaves unusable (validate()).
    void loadImage(const uint8_t* image, size_t size);
    void loadBlankImage();
    // Throws RomError when the parsed image cannot be run safely.
    void validate() const;
    // The header's mapper number, NES 2.0's high bits included, and whether
    // a board of that number is emulated (others run on DEFAULT_MAPPER).
    int32_t headerMapperNumber() const;
    // NES 2.0's PRG RAM and battery-backed PRG RAM together, in bytes.
    int64_t nes2PrgRam() const;
    bool boardEmulated() const;
    // RomError naming the mapper number unless boardEmulated().
    void requireEmulatedBoard() const;

    // Start of the 1 KiB CHR bank number k (CHR ROM, or the 8 KiB CHR RAM).
    uint8_t* chrBankSource(int32_t k);
    // Start of the PRG bank at k KiB, wrapped by the ROM size.
    const uint8_t* prgBankSource(int32_t k) const;
    // The KiB offset of the last 16 KiB of PRG ROM.
    int32_t lastPrgBank16() const;

    // --- what the CPU's and PPU's ROM windows show (windows.cpp) ---
    // Every copy into $8000-$FFFF or the pattern tables notes which 1 KiB
    // bank each page now shows, so a snapshot stores bank numbers and a
    // restore copies the banks back. kNoBank: zeros (nothing mapped), or
    // CHR RAM, whose bytes are stored as they are.
    static constexpr int kPrgPages = 32;
    static constexpr int kChrPages = 8;
    static constexpr int kPages = kPrgPages + kChrPages;
    static constexpr int32_t kNoBank = -1;
    int32_t prgPages[kPrgPages];
    int32_t chrPages[kChrPages];
    // Pages known to differ from their bank (bit p: PRG page p, bit 32 + c:
    // CHR page c): a restore or a save state put other bytes there.
    uint64_t patchedPages = 0;

    // After whole memories were loaded: the bank each page shows, or the
    // page marked patched when it matches none.
    void findPages(const uint8_t* memory, const uint8_t* vram);
    // Bank numbers and the pages' differences from their banks; loading
    // copies back the pages that changed (windows.cpp).
    void serializeWindows(StateStream& s, CPU& cpu, PPU& ppu);

private:
    // Boards bank through their base class's operations; the PPU shows the
    // first CHR banks when a cartridge is attached.
    friend class NES::Mapper;
    friend class PPU;
    friend struct TestAccess;  // tests/cpp

    // Copies `kib` KiB of banks from `startKiB` on (wrapped) into a window.
    void showPrg(uint8_t* memory, uint16_t window, int32_t startKiB, int32_t kib);
    void showChr(uint8_t* vram, uint16_t window, int32_t startKiB, int32_t kib);
    // Exchanges two windows of `kib` KiB, bytes and bank numbers.
    void swapPrg(uint8_t* memory, uint16_t a, uint16_t b, int32_t kib);
    void swapChr(uint8_t* vram, uint16_t a, uint16_t b, int32_t kib);

    int32_t prgBankCount() const { return prgSize / 1024; }
    int32_t chrBankCount() const { return chrSize / 1024; }
    // The bytes a page shows when it matches its bank.
    const uint8_t* pageSource(int page) const;
    uint8_t* pageIn(int page, uint8_t* memory, uint8_t* vram) const;
    bool matches(int page, const uint8_t* memory, const uint8_t* vram) const;
};

// Clears CPU memory and links the cartridge; the board maps its banks in
// powerOn (the console reads the battery RAM file after this).
void mapCartridge(CPU* cpu, Cartridge* cartridge);
