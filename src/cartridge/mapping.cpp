// Linking a loaded cartridge to the CPU (each board maps its own banks at
// power-on), and the bank arithmetic every board uses: a bank at k KiB of an
// S-byte ROM is read from (k mod (S / 1024)) x 1024, one KiB at a time, so
// no copy leaves its buffer.
#include "apu/apu.h"
#include "cartridge/cartridge.h"
#include "cpu/cpu.h"

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

void mapCartridge(CPU* cpu, Cartridge* cart) {
    auto& mem = cpu->memory;
    mem.fill(0);
    cpu->cartridge = cart;
    cpu->mapperWatchesReads = cart->mapper->watchesReads;
    cpu->mapperWatchesWrites = cart->mapper->watchesWrites;
    cpu->mapperWatchesRamWrites = cart->mapper->watchesWrites && cart->mapper->writesFrom < 0x2000;
    cpu->plainFrom = cart->mapper->answersReads ? 0x6000 : 0x4020;
    cpu->foldUpperPrgBank = cart->mapper->foldsPrg16 && cart->prgSize >= 16384 && cart->prgSize < 32768;
    cpu->plainReadMasks[6] = cpu->plainReadMasks[7] = cpu->foldUpperPrgBank ? 0xBFFF : 0xFFFF;
    if (cpu->apu) cpu->apu->attachExpansion(cart->mapper->sound);
}
