// Konami VRC6 (mappers 24 and 26): a 16 KiB PRG bank at $8000, an 8 KiB
// bank at $C000, the last 8 KiB fixed at $E000, eight CHR registers that
// $B003 arranges over the pattern tables and the nametables, the VRC IRQ
// and three sound channels (vrc6_sound.cpp). Mapper 26 (Madara, Esper
// Dream 2) swaps the register lines A0 and A1. Nametables from CHR ROM, and
// nametable RAM layouts no mirroring mode shows, reach the picture as tiles
// the board supplies; PPUDATA reads and writes the console's nametable RAM.
#include <algorithm>

#include "cartridge/cartridge.h"
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/vrc6.h"

#include "cpu/cpu.h"
#include "ppu/ppu.h"
#include "serial/state_stream.h"

namespace NES {

// The windows of the two PRG registers, and the bank bits each takes.
static constexpr struct PrgWindow {
    uint16_t start;
    int32_t kib;
    uint8_t mask;
} kPrgWindows[2] = {{0x8000, 16, 0x0F}, {0xC000, 8, 0x1F}};

void VRC6::cpuWrite(BusContext& context, uint16_t address, uint8_t& value) {
    if (address < 0x8000) return;
    int reg = address & 3;
    if (swapLines) reg = ((reg & 1) << 1) | (reg >> 1);
    switch (address & 0xF000) {
        case 0x8000:
        case 0xC000: {
            const int r = (address >> 14) & 1;
            const PrgWindow& window = kPrgWindows[r];
            prgBank[r] = value & window.mask;
            mapPrg(context, window.start, prgBank[r] * window.kib, window.kib);
            break;
        }
        case 0x9000:
        case 0xA000:
        case 0xB000:
            if ((address & 0xF000) == 0xB000 && reg == 3) {
                banking = value;
                mapChrBanks(context);
                applyNametables(context);
                break;
            }
            audio.runTo(context.cpu->cycles);
            audio.write(((address >> 12) & 0xF) - 9, reg, value);
            break;
        case 0xD000:
        case 0xE000:
            chrBank[((address >> 12) - 0xD) * 4 + reg] = value;
            mapChrBanks(context);
            applyNametables(context);
            break;
        default:  // $F000: IRQ latch, control, acknowledge
            if (reg == 3) break;
            countToNow(context);
            if (reg == 0) {
                irq.latch = value;
            } else {
                if (reg == 1) irq.writeControl(value);
                else irq.acknowledge();
                irq.line = 0;
                releaseIrq(context, context.cpu->cycles + 1);
            }
            scheduleIrq(context);
            break;
    }
}

void VRC6::mapChrBanks(BusContext& context) {
    // Mode 0: eight 1 KiB banks; mode 1: four 2 KiB banks (R0-R3); modes 2
    // and 3: R0-R3 as 1 KiB banks, then R4 and R5 as 2 KiB banks. A 2 KiB
    // bank takes bit 0 from PPU A10 with $B003 bit 5 set, else shows the
    // register's kilobyte twice.
    const bool a10 = banking & 0x20;
    const auto map2 = [&](uint16_t window, uint8_t bank) {
        mapChr(context, window, a10 ? bank & 0xFE : bank, 1);
        mapChr(context, uint16_t(window + 0x400), a10 ? bank | 1 : bank, 1);
    };
    switch (banking & 3) {
        case 0:
            for (int w = 0; w < 8; ++w) mapChr(context, uint16_t(w * 0x400), chrBank[w], 1);
            break;
        case 1:
            for (int w = 0; w < 4; ++w) map2(uint16_t(w * 0x800), chrBank[w]);
            break;
        default:
            for (int w = 0; w < 4; ++w) mapChr(context, uint16_t(w * 0x400), chrBank[w], 1);
            map2(0x1000, chrBank[4]);
            map2(0x1800, chrBank[5]);
            break;
    }
}

void VRC6::locateNametables() {
    // Mode 1 gives each slot its register, R4-R7. Modes 0, 2 and 3 give R6
    // and R7 to the slots by PPU A11 (mirroring bit 0 clear in mode 0, set
    // in modes 2-3) or A10, and with $B003 bit 5 set modes 0 and 3 take
    // bit 0 from PPU A10, PPU A11, 0 or 1 as the two mirroring bits say (the
    // low one inverted in mode 3): vertical, horizontal and the one-screen
    // pages in mode 0.
    const int mode = banking & 3;
    const int m = ((banking >> 2) & 3) ^ (mode >= 2 ? 1 : 0);
    for (int slot = 0; slot < 4; ++slot) {
        const int a10 = slot & 1, a11 = slot >> 1;
        if (mode == 1) {
            slotBank[slot] = chrBank[4 + slot];
            continue;
        }
        uint8_t bank = chrBank[6 + ((m & 1) ? a10 : a11)];
        if ((banking & 0x20) && mode != 2) {
            const int lines[4] = {a10, a11, 0, 1};
            bank = uint8_t((bank & 0xFE) | lines[m]);
        }
        slotBank[slot] = bank;
    }
}

bool VRC6::romNametables(const BusContext& context) const {
    return (banking & 0x10) && context.cpu->cartridge->chrSize > 0;
}

void VRC6::applyNametables(BusContext& context) {
    locateNametables();
    // A four-screen image keeps its own RAM layout.
    if (nametableLayout(context) == FourScreen) return supplyTiles(context, romNametables(context));
    // The RAM layout closest to the slots' pages: what PPUDATA reaches.
    int8_t pages[4];
    for (int slot = 0; slot < 4; ++slot) pages[slot] = int8_t(slotBank[slot] & 1);
    const bool shown = showNametablePages(context, pages);
    supplyTiles(context, romNametables(context) || !shown);
}

BackgroundTile VRC6::supplyTile(BusContext& context, uint16_t address, int32_t) {
    const int slot = (address >> 10) & 3;
    if (!romNametables(context)) return tileFrom(context, nametablePage(context, slotBank[slot] & 1), address);
    const Cartridge& cart = *context.cpu->cartridge;
    const int32_t banks = std::max(1, cart.chrSize / 1024);
    return tileFrom(context, cart.chrRom.data() + size_t(slotBank[slot] % banks) * 1024, address);
}

void VRC6::powerOn(BusContext& context) {
    // $B003 as the header's mirroring: vertical or horizontal in mode 0.
    banking = nametableLayout(context) == Horizontal ? 0x24 : 0x20;
    afterLoad(context);
    mapPrg(context, 0x8000, 0, 16);
    mapPrg(context, 0xC000, 0, 8);
    mapPrg(context, 0xE000, (prgBanks(context, 8) - 1) * 8, 8);
    mapChrBanks(context);
    audio = Vrc6Sound();
    audio.clockedTo = context.cpu->cycles;
}

void VRC6::afterLoad(BusContext& context) {
    VrcIrqBoard::afterLoad(context);
    locateNametables();
    // The loaded layout is the one the slots were shown with.
    int8_t pages[4];
    for (int slot = 0; slot < 4; ++slot) pages[slot] = int8_t(slotBank[slot] & 1);
    const bool shown = nametableLayout(context) == FourScreen || showsNametablePages(context, pages);
    suppliesTiles = romNametables(context) || !shown;
}

void VRC6::serialize(StateStream& s) {
    s.io(prgBank[0], 0, 0x0F, "VRC6 16 KiB PRG bank");
    s.io(prgBank[1], 0, 0x1F, "VRC6 8 KiB PRG bank");
    s.io(chrBank);
    s.io(banking);
    serializeIrq(s);
    audio.serialize(s);
}

std::unique_ptr<Mapper> makeVRC6(const BoardChoice& board) { return std::make_unique<VRC6>(board.number == 26); }

}  // namespace NES
