// A CPU, PPU and APU wired together without a console, for PPU tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "apu/apu.h"
#include "cpu/cpu.h"
#include "ppu/ppu.h"

class PpuTest : public ::testing::Test {
protected:
    std::unique_ptr<CPU> cpu = std::make_unique<CPU>();
    std::unique_ptr<APU> apu = std::make_unique<APU>();
    std::unique_ptr<PPU> ppu;

    void SetUp() override {
        cpu->apu = apu.get();
        apu->cpu = cpu.get();
        ppu = std::make_unique<PPU>(cpu.get());
    }

    // What the bus does for a folded $2000-$2007 write.
    void write(uint16_t address, uint8_t value) {
        ppu->writeRegister(address, value);
        if (address != 0x2002) cpu->memory[address] = value;
    }
    uint8_t read(uint16_t address) { return ppu->readRegister(address); }

    void setAddress(uint16_t address) {
        write(0x2006, uint8_t(address >> 8));
        write(0x2006, uint8_t(address));
    }

    // Steps until the next dot to process is (line, dot).
    void runTo(int line, int dot) {
        for (int guard = 0; guard < 2 * 89342; ++guard) {
            if (ppu->scanline == line && ppu->cycle == dot) return;
            ppu->stepDot();
        }
        FAIL() << "position " << line << "/" << dot << " never reached";
    }
    void runFrames(int n) {
        for (int i = 0; i < n; ++i) {
            const int64_t start = ppu->frameCount;
            while (ppu->frameCount == start) ppu->stepDot();
        }
    }
    // Palette value drawn at a picture position.
    int pixel(int row, int column) const { return ppu->colorIndexCache[size_t(row) * 256 + column]; }
};
