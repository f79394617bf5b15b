// A CPU with a real PPU, APU and cartridge, wired as the console wires them,
// for the CPU tests. Programs are poked straight into `memory`.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <vector>

#include "apu/apu.h"
#include "cartridge/cartridge.h"
#include "cpu/cpu.h"
#include "ppu/ppu.h"

// An iNES image: `prg16` banks of 16 KiB (PRG byte i = i & $FF unless
// `prg` is given), one 8 KiB CHR bank.
inline std::vector<uint8_t> makeCpuTestImage(int prg16 = 2, int mapper = 0, const std::vector<uint8_t>& prg = {}) {
    std::vector<uint8_t> image = {0x4E, 0x45, 0x53, 0x1A, uint8_t(prg16), 1, uint8_t((mapper & 0x0F) << 4),
                                  uint8_t(mapper & 0xF0), 0, 0, 0, 0, 0, 0, 0, 0};
    const size_t prgBytes = size_t(prg16) * 16384;
    for (size_t i = 0; i < prgBytes; ++i) image.push_back(i < prg.size() ? prg[i] : uint8_t(i));
    image.resize(image.size() + 8192, 0);
    return image;
}

struct CpuMachine {
    std::unique_ptr<CPU> cpu = std::make_unique<CPU>();
    std::unique_ptr<PPU> ppu;
    std::unique_ptr<APU> apu = std::make_unique<APU>();
    std::unique_ptr<Cartridge> cart = std::make_unique<Cartridge>();

    explicit CpuMachine(const std::vector<uint8_t>& image = makeCpuTestImage()) {
        ppu = std::make_unique<PPU>(cpu.get());
        cpu->apu = apu.get();
        apu->cpu = cpu.get();
        cart->loadImage(image.data(), image.size());
        mapCartridge(cpu.get(), cart.get(), "");
        ppu->attachCartridge(cart.get());
    }

    // Puts bytes at an address of memory (ROM included) without the bus.
    void poke(uint16_t address, std::initializer_list<uint8_t> bytes) {
        for (uint8_t b : bytes) cpu->memory[address++] = b;
    }
    // Places code and points PC at it.
    void load(uint16_t address, std::initializer_list<uint8_t> bytes) {
        poke(address, bytes);
        cpu->PC = address;
    }
    // Steps once and returns the cycles the step took.
    int64_t step() {
        const int64_t before = cpu->cycles;
        cpu->step();
        return int64_t(cpu->cycles) - before;
    }
};
