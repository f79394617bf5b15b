// Namco 129/163 (mapper 19) and the 175/340 (mapper 210): banking,
// nametables from CHR ROM, the CPU-cycle interrupt counter and the port to
// the 163's sound RAM.
//
// The counter is kept as its value at a CPU cycle and counted on demand;
// the board's hook is put on the dot where it reaches $7FFF.
#include <algorithm>

#include "cartridge/cartridge.h"
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/namco163.h"
#include "cpu/cpu.h"
#include "ppu/ppu.h"
#include "serial/state_stream.h"

namespace NES {

namespace {

constexpr uint16_t kCounterTop = 0x7FFF;
// Register values from $E0 up pick a kilobyte of the console's nametable RAM.
constexpr uint8_t kNametableRam = 0xE0;
// A loaded save state holds the counter's value, not when it was set.
constexpr int64_t kSetAtLoad = INT64_MIN;

}  // namespace

// --- banks ---

void Namco163::mapChrWindow(BusContext& context, int window) {
    // Values from $E0 up would show nametable RAM in the pattern tables
    // (unless $E800 forbids it); the ROM bank of that number shows instead.
    mapChr(context, uint16_t(window * 1024), chrRegisters[window], 1);
}

void Namco163::mapNametables(BusContext& context) {
    if (chip != Chip::N163) return;
    int8_t pages[4];
    bool rom = false;
    for (int slot = 0; slot < 4; ++slot) {
        const bool ram = ntRegisters[slot] >= kNametableRam;
        pages[slot] = int8_t(ram ? ntRegisters[slot] & 1 : -1);
        rom |= !ram;
    }
    const bool shown = showNametablePages(context, pages);
    slotsStale = true;
    // CHR ROM nametables, or pages no layout puts where the registers do:
    // the board supplies the tiles.
    supplyTiles(context, rom || !shown);
}

BackgroundTile Namco163::supplyTile(BusContext& context, uint16_t address, int32_t) {
    if (slotsStale) {
        const Cartridge& cart = *context.cpu->cartridge;
        const int32_t banks = std::max(1, cart.chrSize / 1024);
        for (int slot = 0; slot < 4; ++slot) {
            const uint8_t r = ntRegisters[slot];
            slots[slot] = r >= kNametableRam || cart.chrSize < 1024 ? nametablePage(context, r & 1)
                                                                    : cart.chrRom.data() + size_t(r % banks) * 1024;
        }
        slotsStale = false;
    }
    return tileFrom(context, slots[(address >> 10) & 3], address);
}

void Namco163::mapPrgWindows(BusContext& context) {
    for (int w = 0; w < 3; ++w) mapPrg(context, uint16_t(0x8000 + 0x2000 * w), (prgRegisters[w] & 0x3F) * 8, 8);
}

// --- the interrupt counter ---

uint16_t Namco163::counterAt(int64_t cycle) const {
    if (!irqEnable) return irqCounter;
    return uint16_t(std::min<int64_t>(kCounterTop, irqCounter + std::max<int64_t>(0, cycle - irqSetAt)));
}

void Namco163::updateIrq(BusContext& context, int64_t nowDot) {
    int32_t hook = PPU::kDotsPerLine;
    if (irqEnable && irqCounter < kCounterTop) {
        const int64_t due = irqSetAt + (kCounterTop - irqCounter);
        const int64_t ahead = 3 * due - nowDot;
        const PPU& ppu = *context.ppu;
        if (ahead <= 0) {
            // It stops at $7FFF, holding the line until it is written.
            irqCounter = kCounterTop;
            irqSetAt = due;
            raiseIrq(context, due);
        } else if (ppu.cycle + ahead >= PPU::kDotsPerLine) {
            hook = 0;  // look again as the next line starts
        } else {
            hook = int32_t(ppu.cycle + ahead);  // the catch-up stops there
        }
    }
    moveHook(context, hook);
}

void Namco163::onDot(BusContext& context) {
    const PPU& ppu = *context.ppu;
    if (hookCycle >= 0 && ppu.cycle != hookCycle) return;
    updateIrq(context, ppu.dotAtPosition());
}

// --- registers ---

void Namco163::cpuWrite(BusContext& context, uint16_t address, uint8_t& value) {
    CPU& cpu = *context.cpu;
    if (address < 0x4800) return;
    if (address < 0x6000) {
        if (chip != Chip::N163) return;
        if (address < 0x5000) {
            audio.runTo(cpu.cycles);
            audio.ram[soundAddress & 0x7F] = value;
            if (soundAddress & 0x80) soundAddress = uint8_t(0x80 | ((soundAddress + 1) & 0x7F));
            return;
        }
        // Writing either half sets the counter there; the line follows it.
        const int64_t now = cpu.stepStart;
        const uint16_t counter = counterAt(now);
        if (address < 0x5800) {
            irqCounter = uint16_t((counter & 0x7F00) | value);
        } else {
            irqCounter = uint16_t((counter & 0x00FF) | ((value & 0x7F) << 8));
            irqEnable = value >> 7;
        }
        irqSetAt = now;
        if (irqEnable && irqCounter == kCounterTop) raiseIrq(context, now + 1);
        else releaseIrq(context, now + 1);
        updateIrq(context, 3 * now);
        return;
    }
    if (address < 0x8000) {
        // PRG RAM: the 163 takes writes when $F800 holds $4x with the
        // quarter's bit clear; the 175 when $C000 bit 0 is set, its 2 KiB
        // showing four times.
        const int quarter = (address >> 11) & 3;
        if (chip == Chip::N163 && ((writeProtect & 0xF0) != 0x40 || ((writeProtect >> quarter) & 1))) {
            value = cpu.memory[address];
        } else if (chip == Chip::N175) {
            if (!(ramEnable & 1)) {
                value = cpu.memory[address];
            } else {
                for (int q = 0; q < 4; ++q) cpu.memory[0x6000 + q * 0x800 + (address & 0x7FF)] = value;
            }
        }
        return;
    }
    const int r = (address - 0x8000) >> 11;  // one register every $800
    if (r < 8) {
        chrRegisters[r] = value;
        mapChrWindow(context, r);
    } else if (r < 12) {
        if (chip == Chip::N163) {
            ntRegisters[r - 8] = value;
            mapNametables(context);
        } else if (chip == Chip::N175 && r == 8) {
            ramEnable = value & 1;
        }
    } else if (r < 15) {
        prgRegisters[r - 12] = value;
        mapPrgWindows(context);
        if (r == 12 && chip == Chip::N163) {
            audio.runTo(cpu.cycles);
            audio.muted = (value & 0x40) != 0;
        }
        // The 340 picks the mirroring with $E000 bits 6-7; an image without a
        // submapper is taken for a 175 until a game sets them.
        if (r == 12 && chip != Chip::N163 && (chip == Chip::N340 || (!fixedChip && (value & 0xC0)))) {
            chip = Chip::N340;
            static constexpr int32_t kModes[4] = {SingleScreen, Vertical, Horizontal, Horizontal};
            setMirroring(context, kModes[value >> 6]);
        }
    } else if (chip == Chip::N163) {
        soundAddress = value;
        writeProtect = value;
    }
}

uint8_t Namco163::readRegister(BusContext& context, uint16_t address, uint8_t unmapped) {
    if (address < 0x4800) return unmapped;
    if (address < 0x5000) {
        // The channels' phases move in the RAM as they play.
        audio.runTo(context.cpu->cycles);
        const uint8_t value = audio.ram[soundAddress & 0x7F];
        if (soundAddress & 0x80) soundAddress = uint8_t(0x80 | ((soundAddress + 1) & 0x7F));
        return value;
    }
    const uint16_t counter = counterAt(context.cpu->stepStart);
    if (address < 0x5800) return uint8_t(counter);
    return uint8_t((counter >> 8) | (irqEnable << 7));
}

// --- power-on, states ---

void Namco163::powerOn(BusContext& context) {
    for (int w = 0; w < 8; ++w) chrRegisters[w] = uint8_t(w);
    for (int w = 0; w < 8; ++w) mapChrWindow(context, w);
    mapPrgWindows(context);
    mapPrg(context, 0xE000, (prgBanks(context, 8) - 1) * 8, 8);
    mapNametables(context);
}

void Namco163::afterLoad(BusContext& context) {
    if (chip != Chip::N163) return;
    if (irqSetAt == kSetAtLoad) irqSetAt = context.cpu->cycles;
    slotsStale = true;
    int8_t pages[4];
    bool rom = false;
    for (int slot = 0; slot < 4; ++slot) {
        pages[slot] = int8_t(ntRegisters[slot] >= kNametableRam ? ntRegisters[slot] & 1 : -1);
        rom |= ntRegisters[slot] < kNametableRam;
    }
    suppliesTiles = rom || !showNametablePages(context, pages);
    updateIrq(context, 3 * int64_t(context.cpu->cycles));
}

void Namco163::storeState(BusContext& context, uint8_t* block) {
    // A save state keeps the counter's value as of now.
    irqCounter = counterAt(context.cpu->cycles);
    irqSetAt = context.cpu->cycles;
    Mapper::storeState(context, block);
}

void Namco163::serialize(StateStream& s) {
    s.io(chrRegisters);
    s.io(prgRegisters);
    if (chip != Chip::N163) {
        uint8_t is340 = chip == Chip::N340;
        is340 = s.io(is340, 0, 1, "Namco 340 mirroring seen");
        if (s.loading()) chip = is340 ? Chip::N340 : Chip::N175;
        s.io(ramEnable, 0, 1, "Namco 175 PRG RAM enable");
        return;
    }
    s.io(ntRegisters);
    s.io(soundAddress);
    s.io(writeProtect);
    s.io(irqCounter, 0, kCounterTop, "Namco 163 IRQ counter");
    s.io(irqEnable, 0, 1, "Namco 163 IRQ enable");
    if (s.onlyRegisters()) {
        if (s.loading()) irqSetAt = kSetAtLoad;
    } else {
        // When it was set, from the CPU's cycle count in the stream.
        int64_t elapsed = s.cycles - irqSetAt;
        elapsed = s.io(elapsed, 0, int64_t(1) << 52, "Namco 163 IRQ counter age");
        if (s.loading()) irqSetAt = s.cycles - elapsed;
    }
    s.io(latchedPalette, 0, 3, "Namco 163 latched palette");
    audio.serialize(s);
}

std::unique_ptr<Mapper> makeNamco163(const BoardChoice& board) {
    return std::make_unique<Namco163>(Namco163::Chip::N163, true, board.submapper);
}

std::unique_ptr<Mapper> makeNamco175(const BoardChoice& board) {
    return std::make_unique<Namco163>(board.submapper == 2 ? Namco163::Chip::N340 : Namco163::Chip::N175,
                                      board.submapper == 1 || board.submapper == 2);
}

}  // namespace NES
