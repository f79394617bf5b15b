// Putting a loaded cartridge into the CPU and PPU memories, and the bank
// arithmetic every board uses: a bank at k KiB of an S-byte ROM is read from
// (k mod (S / 1024)) x 1024, one KiB at a time, so no copy leaves its buffer.
#include <cstdio>
#include <cstring>

#include "cartridge/cartridge.h"
#include "cpu/cpu.h"
#include "ppu/ppu.h"

uint8_t* Cartridge::chrBankSource(int32_t k) {
    if (chrSize > 0) {
        const int32_t banks = chrSize / 1024;
        return chrRom.data() + size_t(((k % banks) + banks) % banks) * 1024;
    }
    return chrRam + size_t(k & 7) * 1024;
}

const uint8_t* Cartridge::prgBankSource(int32_t k) const {
    const int32_t banks = prgSize / 1024;
    return prgRom.data() + size_t(((k % banks) + banks) % banks) * 1024;
}

int32_t Cartridge::lastPrgBank16() const {
    const int32_t banks = prgSize / 1024;
    return (((banks - 16) % banks) + banks) % banks;
}

void mapCartridge(CPU* cpu, Cartridge* cart, const std::string& saveFolder) {
    auto& mem = cpu->memory;
    mem.fill(0);
    cpu->cartridge = cart;
    cpu->mapperWatchesReads = cart->mapper->watchesReads;
    const int32_t number = cart->mapper->number;
    cpu->foldUpperPrgBank = (number == 0 || number == 3) && cart->prgSize >= 16384 && cart->prgSize < 32768;
    if (cart->hasBattery) {
        // With no save folder there is no RAM file to read (it would be /ram).
        if (!saveFolder.empty()) {
            const std::string path = saveFolder + "/ram";
            std::printf("load RAM file: %s\n", path.c_str());
            std::FILE* f = std::fopen(path.c_str(), "rb");
            std::printf("RAM file exists: %i\n", f ? 1 : 0);
            std::fflush(stdout);
            if (f) {
                (void)std::fread(&mem[0x6000], 1, 0x2000, f);
                std::fclose(f);
            }
        }
    }
    switch (number) {
        case 0:
        case 3:
            cart->showPrg(mem.data(), 0x8000, 0, cart->prgSize / 1024);
            break;
        case 1:
            cart->showPrg(mem.data(), 0x8000, 0, 16);
            cart->showPrg(mem.data(), 0xC000, cart->lastPrgBank16(), 16);
            break;
        case 2: {
            auto* board = static_cast<NES::UxROM*>(cart->mapper.get());
            cart->showPrg(mem.data(), 0x8000, board->prgBank, 16);
            cart->showPrg(mem.data(), 0xC000, cart->lastPrgBank16(), 16);
            break;
        }
        case 4:
            cart->showPrg(mem.data(), 0xC000, cart->lastPrgBank16(), 16);
            break;
        case 40:
            cart->showPrg(mem.data(), 0x6000, 48, 8);
            cart->showPrg(mem.data(), 0x8000, 32, 8);
            cart->showPrg(mem.data(), 0xA000, 40, 8);
            cart->showPrg(mem.data(), 0xE000, 56, 8);
            break;
        default:
            break;
    }
}
