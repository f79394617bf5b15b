// Set-up shared by the C++ tests: cartridge images, the components wired as
// the console wires them, and stdout silenced or captured.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "apu/apu.h"
#include "cartridge/cartridge.h"
#include "cpu/cpu.h"
#include "ppu/ppu.h"

using Bytes = std::vector<uint8_t>;

// Past the fence the boards keep to: tests poke the PPU's layout (no bytes
// move), attach cartridges without a console and copy banks by hand.
struct TestAccess {
    static int32_t& mirroring(PPU& ppu) { return ppu.mirroring; }
    static int32_t singleScreenPage(const PPU& ppu) { return ppu.singleScreenPage; }
    static void attach(PPU& ppu, Cartridge* cart) { ppu.attachCartridge(cart); }
    static void showPrg(Cartridge& cart, uint8_t* memory, uint16_t window, int32_t startKiB, int32_t kib) {
        cart.showPrg(memory, window, startKiB, kib);
    }
};

// What `work` prints. An exception from `work` ends the capture and goes on.
template <typename Work>
std::string captureStdout(Work work) {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    try {
        work();
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
    return testing::internal::GetCapturedStdout();
}

// A private directory, removed with everything in it; with `asDataHome`,
// XDG_DATA_HOME points at it meanwhile (save folders and battery RAM go there).
class TempDir {
public:
    explicit TempDir(bool asDataHome = false) : dataHome(asDataHome) {
        char name[] = "/tmp/velkora-test-XXXXXX";
        if (!::mkdtemp(name)) ADD_FAILURE() << "no temporary directory";
        path = name;
        if (const char* old = std::getenv("XDG_DATA_HOME")) previous = old;
        if (dataHome) ::setenv("XDG_DATA_HOME", name, 1);
    }
    ~TempDir() {
        if (dataHome && previous.empty()) ::unsetenv("XDG_DATA_HOME");
        if (dataHome && !previous.empty()) ::setenv("XDG_DATA_HOME", previous.c_str(), 1);
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;

private:
    bool dataHome;
    std::string previous;
};

inline Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Every KiB distinct, so a window can be matched against the one bank it holds.
inline Bytes randomBytes(size_t size, uint32_t seed) {
    Bytes out(size);
    std::mt19937 gen(seed);
    for (auto& b : out) b = uint8_t(gen());
    return out;
}

// NES 2.0 exponent-multiplier size byte, for sizes iNES units cannot declare.
inline uint8_t exponentByte(size_t bytes) {
    for (int e = 0; e < 64; ++e)
        for (int m = 0; m < 4; ++m)
            if ((uint64_t(2 * m + 1) << e) == bytes) return uint8_t((e << 2) | m);
    ADD_FAILURE() << bytes << " bytes cannot be declared";
    return 0;
}

// iNES when the sizes fit its 16 and 8 KiB units, NES 2.0 otherwise.
inline Bytes cartImage(int mapper, const Bytes& prg, const Bytes& chr, uint8_t flags6 = 0) {
    Bytes image = {
        'N', 'E', 'S', 0x1A, 0, 0, uint8_t(((mapper & 0x0F) << 4) | (flags6 & 0x0F)), uint8_t(mapper & 0xF0), 0, 0,
        0,   0,   0,   0,    0, 0};
    if (prg.size() % 16384 == 0 && chr.size() % 8192 == 0) {
        image[4] = uint8_t(prg.size() / 16384);
        image[5] = uint8_t(chr.size() / 8192);
    } else {
        image[7] |= 0x08;
        image[4] = exponentByte(prg.size());
        image[5] = chr.empty() ? 0 : exponentByte(chr.size());
        image[9] = chr.empty() ? 0x0F : 0xFF;
    }
    image.insert(image.end(), prg.begin(), prg.end());
    image.insert(image.end(), chr.begin(), chr.end());
    return image;
}

// `prg16` banks of 16 KiB whose byte i is i & $FF (or `prg` where given).
inline Bytes plainImage(int prg16 = 2, int mapper = 0, const Bytes& prg = {}) {
    Bytes rom(size_t(prg16) * 16384);
    for (size_t i = 0; i < rom.size(); ++i) rom[i] = i < prg.size() ? prg[i] : uint8_t(i);
    return cartImage(mapper, rom, Bytes(8192));
}

// 32 KiB NROM: `prg` from $8000, zeros after it, reset at $8000.
inline Bytes nromImage(Bytes prg, uint16_t nmi, uint16_t irq, const Bytes& chr = Bytes(8192), uint8_t flags6 = 0) {
    prg.resize(32768 - 6);
    prg.insert(prg.end(), {uint8_t(nmi), uint8_t(nmi >> 8), 0x00, 0x80, uint8_t(irq), uint8_t(irq >> 8)});
    return cartImage(0, prg, chr, flags6);
}

// 32 KiB NROM: enables NMI and rendering, counts in $10 forever; the NMI
// handler counts in $11 and $6000 (PRG RAM, kept when `battery`) and reads a pad.
inline Bytes spinImage(bool battery = false) {
    Bytes prg = {
        0xA9, 0x80, 0x8D, 0x00, 0x20,  // LDA #$80; STA $2000
        0xA9, 0x1E, 0x8D, 0x01, 0x20,  // LDA #$1E; STA $2001
        0xE6, 0x10, 0x4C, 0x0A, 0x80,  // loop: INC $10; JMP loop
        0xE6, 0x11, 0xEE, 0x00, 0x60,  // nmi: INC $11; INC $6000
        0xAD, 0x16, 0x40, 0x40,        // LDA $4016; RTI
    };
    Bytes chr(8192);
    for (size_t i = 0; i < chr.size(); ++i) chr[i] = uint8_t(i * 7);
    return nromImage(prg, 0x800F, 0x8000, chr, battery ? 0x02 : 0x00);
}

// A CPU, APU and PPU linked as the console links them, optionally with a
// cartridge; programs and data are poked straight into memory.
struct Machine {
    std::unique_ptr<CPU> cpu = std::make_unique<CPU>();
    std::unique_ptr<APU> apu = std::make_unique<APU>();
    std::unique_ptr<PPU> ppu;
    std::unique_ptr<Cartridge> cart;

    Machine() {
        cpu->apu = apu.get();
        apu->cpu = cpu.get();
        ppu = std::make_unique<PPU>(cpu.get());
    }
    explicit Machine(const Bytes& image) : Machine() { insert(image); }
    // Loads, maps and powers on a cartridge, as the console does.
    void insert(const Bytes& image) {
        cart = std::make_unique<Cartridge>();
        captureStdout([&] {
            cart->loadImage(image.data(), image.size());
            mapCartridge(cpu.get(), cart.get());
            TestAccess::attach(*ppu, cart.get());
            BusContext ctx = context();
            cart->mapper->powerOn(ctx);
        });
    }
    // A board built by the test, on a cartridge without ROM.
    void useBoard(std::unique_ptr<NES::Mapper> board) {
        if (!cart) cart = std::make_unique<Cartridge>();
        cart->mapper = std::move(board);
        cpu->cartridge = cart.get();
        captureStdout([&] { TestAccess::attach(*ppu, cart.get()); });
    }
    BusContext context() { return BusContext{cpu.get(), ppu.get(), apu.get()}; }

    // Through the bus, side effects and all.
    void writes(std::initializer_list<std::pair<uint16_t, uint8_t>> list) {
        for (auto [address, value] : list) cpu->write(address, value);
    }
    // Straight into memory, ROM included.
    void poke(uint16_t address, std::initializer_list<uint8_t> bytes) {
        for (uint8_t b : bytes) cpu->memory[address++] = b;
    }
    // Places code and points PC at it.
    void load(uint16_t address, std::initializer_list<uint8_t> bytes) {
        poke(address, bytes);
        cpu->PC = address;
    }
    // One CPU step; returns the cycles it took.
    int64_t step() {
        const int64_t before = cpu->cycles;
        cpu->step();
        return int64_t(cpu->cycles) - before;
    }
    // What the bus does for a folded $2000-$2007 write.
    void ppuWrite(uint16_t address, uint8_t value) {
        ppu->writeRegister(address, value);
        if (address != 0x2002) cpu->memory[address] = value;
    }
};

// The PPU on its own, its registers driven as the bus drives them.
class PpuTest : public ::testing::Test, public Machine {
protected:
    // A fresh PPU on the same CPU and APU.
    void SetUp() override { ppu = std::make_unique<PPU>(cpu.get()); }

    void write(uint16_t address, uint8_t value) { ppuWrite(address, value); }
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
    uint8_t status() const { return cpu->memory[0x2002]; }

    void setMask(uint8_t mask) { write(0x2001, mask); }
    // All eight rows of a tile get the same two plane bytes.
    void setTile(int table, int tile, uint8_t low, uint8_t high = 0) {
        for (int row = 0; row < 8; ++row) setTileRow(table, tile, row, low, high);
    }
    void setTileRow(int table, int tile, int row, uint8_t low, uint8_t high = 0) {
        ppu->vram[table * 0x1000 + tile * 16 + row] = low;
        ppu->vram[table * 0x1000 + tile * 16 + row + 8] = high;
    }
    void fillNametable(uint8_t tile) { std::fill_n(&ppu->vram[0x2000], 960, tile); }
    void setSprite(int n, uint8_t y, uint8_t tile, uint8_t attr, uint8_t x) {
        const uint8_t bytes[4] = {y, tile, attr, x};
        std::copy(bytes, bytes + 4, &ppu->oam[4 * n]);
    }
};
