// MMC5 (mapper 5): its registers, PRG and CHR banking, the scanline
// interrupt and the multiplier. Nametables and the background's tiles are
// in mmc5_tiles.cpp.
//
// PRG RAM is kept bank by bank; a bank on show lives in the CPU's memory
// (its windows are the truth while it is shown), so writes through any
// window and the CPU's own stores at $6000-$7FFF need no copying, and a bank
// shown twice gets every write in both windows.
#include <algorithm>
#include <stdexcept>
#include <string>

#include "cartridge/cartridge.h"
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/mmc5.h"
#include "cpu/cpu.h"
#include "ppu/ppu.h"
#include "serial/state_stream.h"

namespace NES {

namespace {

constexpr int32_t kWindowBytes = 8192;
constexpr uint16_t kWindowStart[5] = {0x6000, 0x8000, 0xA000, 0xC000, 0xE000};
// $5204: the interrupt pending and the in-frame flag.
constexpr uint8_t kPendingBit = 0x80, kInFrameBit = 0x40;
// The third of the three nametable fetches the chip counts a line by is at
// dot 2 of the line it starts.
constexpr int64_t kLineSeenDot = 2;

}  // namespace

// --- PRG ---

int32_t MMC5::ramBank(uint8_t value) const {
    const int32_t banks = int32_t(prgRam.size() / kWindowBytes);
    // Two 8 KiB chips: bit 2 picks the chip.
    if (banks == 2) return (value >> 2) & 1;
    return (value & 0x0F) % banks;
}

MMC5::Window MMC5::windowSource(int w) const {
    if (w == 0) return {true, ramBank(prg.registers[0])};
    // The register ($5113 + r) that selects window w, and w's 8 KiB part of its bank.
    int r = w;
    int32_t part = 0;
    int32_t size = 1;  // in 8 KiB banks
    switch (prg.mode) {
        case 0:
            r = 4;
            part = w - 1;
            size = 4;
            break;
        case 1:
            r = w <= 2 ? 2 : 4;
            part = (w - 1) & 1;
            size = 2;
            break;
        case 2:
            if (w <= 2) {
                r = 2;
                part = w - 1;
                size = 2;
            }
            break;
        default: break;
    }
    const uint8_t value = prg.registers[r];
    const int32_t bank = (value & 0x7F & ~(size - 1)) + part;
    // $5117 always maps ROM; the others ROM with bit 7 set.
    if ((value & 0x80) || r == 4) return {false, bank};
    return {true, ramBank(uint8_t(bank))};
}

void MMC5::mapPrgWindows(BusContext& context) {
    Window next[5];
    bool changes = false;
    for (int w = 0; w < 5; ++w) {
        next[w] = windowSource(w);
        changes |= !(next[w] == shown[w]);
    }
    if (!changes) return;
    uint8_t* memory = context.cpu->memory.data();
    keepShownRam(memory);
    for (int w = 0; w < 5; ++w) {
        if (next[w] == shown[w]) continue;
        const uint8_t* ram = prgRam.data() + next[w].bank * kWindowBytes;
        if (!next[w].ram) mapPrg(context, kWindowStart[w], next[w].bank * 8, 8);
        else if (w == 0) std::copy_n(ram, kWindowBytes, memory + 0x6000);
        else showPrgRam(context, kWindowStart[w], ram, 8);
        shown[w] = next[w];
    }
}

void MMC5::writeRam(BusContext& context, uint16_t address, uint8_t& value) {
    const int w = (address - 0x6000) >> 13;
    uint8_t* memory = context.cpu->memory.data();
    if (!shown[w].ram) return;
    // Writes need $5102 = 2 and $5103 = 1; the CPU stores $6000-$7FFF itself.
    if ((prg.ramProtect[0] & 3) != 2 || (prg.ramProtect[1] & 3) != 1) {
        value = memory[address];
        return;
    }
    const uint16_t offset = uint16_t((address - 0x6000) & (kWindowBytes - 1));
    for (int other = 0; other < 5; ++other) {
        if (shown[other] == shown[w]) memory[kWindowStart[other] + offset] = value;
    }
}

// --- CHR ---

uint8_t MMC5::ppuCtrl(const BusContext& context) { return context.cpu->memory[0x2000]; }

void MMC5::setBanks(bool setB, int32_t (&banks)[8]) const {
    for (int p = 0; p < 8; ++p) {
        int32_t bank;
        if (!setB) {
            // Set A: 8, 4, 2 or 1 KiB banks from its last register of each.
            static constexpr int kSpan[4] = {8, 4, 2, 1};
            const int span = kSpan[chr.mode & 3];
            bank = chr.a[(p | (span - 1)) & 7] * span + (p & (span - 1));
        } else {
            // Set B covers 4 KiB, shown in both pattern tables.
            const int q = p & 3;
            switch (chr.mode & 3) {
                case 0: bank = chr.b[3] * 8 + q; break;
                case 1: bank = chr.b[3] * 4 + q; break;
                case 2: bank = chr.b[q | 1] * 2 + (q & 1); break;
                default: bank = chr.b[q]; break;
            }
        }
        banks[p] = bank;
    }
}

void MMC5::mapChrBanks(BusContext& context, uint8_t ctrl) {
    const Cartridge& cart = *context.cpu->cartridge;
    if (cart.chrSize < 1024) {
        // CHR RAM: no banks, the pattern tables are the RAM itself.
        for (int p = 0; p < 8; ++p) vramBanks[p] = backgroundBanks[p] = p;
        return updateTileSupply(context, ctrl);
    }
    const int32_t count = cart.chrSize / 1024;
    const bool tall = (ctrl & 0x20) != 0;
    // The pattern tables show the sprites' set with 8 x 16 sprites, else
    // the set written last; the background takes set B with 8 x 16 sprites.
    int32_t want[8];
    setBanks(!tall && chr.lastSetB, want);
    setBanks(tall || chr.lastSetB, backgroundBanks);
    context.ppu->payOwedDots();
    for (int p = 0; p < 8; ++p) {
        want[p] %= count;
        backgroundBanks[p] %= count;
        if (want[p] == vramBanks[p]) continue;
        mapChr(context, uint16_t(p * 1024), want[p], 1);
        vramBanks[p] = want[p];
    }
    updateTileSupply(context, ctrl);
}

// --- the scanline interrupt ---

void MMC5::updateIrqLine(BusContext& context, int64_t atCycle) {
    if (irq.pending && irq.enable) raiseIrq(context, atCycle);
    else releaseIrq(context, atCycle);
}

void MMC5::onDot(BusContext& context) {
    const PPU& ppu = *context.ppu;
    // The per-dot path calls on every dot; a line is seen as it starts.
    if (ppu.cycle != 0) return;
    const bool rendering = (context.cpu->memory[0x2001] & 0x18) != 0;
    if (ppu.scanline >= 240 || !rendering) {
        irq.inFrame = 0;
        return;
    }
    if (!irq.inFrame) {
        irq.inFrame = 1;
        irq.lineCounter = 0;
        if (irq.line == 0 || irq.line >= 240) {
            irq.pending = 0;
            releaseIrq(context, cycleSeeing(ppu.dotAtPosition() + kLineSeenDot));
        }
        return;
    }
    if (++irq.lineCounter != irq.line) return;
    irq.pending = 1;
    if (irq.enable) raiseIrq(context, cycleSeeing(ppu.dotAtPosition() + kLineSeenDot));
}

// --- registers ---

void MMC5::cpuWrite(BusContext& context, uint16_t address, uint8_t& value) {
    if (address < 0x5000) {
        // The chip watches PPUCTRL (8 x 16 sprites, the background's table)
        // and PPUMASK (rendering turned off ends the frame).
        if (address == 0x2000) mapChrBanks(context, value);
        if (address == 0x2001 && !(value & 0x18)) irq.inFrame = 0;
        return;
    }
    if (address >= 0x6000) {
        if (address < 0xE000) writeRam(context, address, value);
        return;
    }
    if (address >= kExram) {
        // The extra nametable and the attributes take writes only while the
        // chip renders (else $00 lands); in mode 3 ExRAM is read-only.
        if (exramMode <= 1 && !irq.inFrame) value = 0;
        else if (exramMode == 3) value = context.cpu->memory[address];
        return;
    }
    if (address <= 0x5015) {
        audio.runTo(context.cpu->cycles);
        audio.write(address, value);
        return;
    }
    switch (address) {
        case 0x5100:
            prg.mode = value & 3;
            mapPrgWindows(context);
            break;
        case 0x5101:
            chr.mode = value & 3;
            mapChrBanks(context, ppuCtrl(context));
            break;
        case 0x5102:
        case 0x5103: prg.ramProtect[address - 0x5102] = value & 3; break;
        case 0x5104:
            exramMode = value & 3;
            slotsStale = true;
            updateTileSupply(context, ppuCtrl(context));
            break;
        case 0x5105:
            nametables = value;
            mapNametables(context);
            break;
        case 0x5106:
        case 0x5107:
            if (address == 0x5106) fillTile = value;
            else fillColour = value & 3;
            buildFillPage();
            break;
        case 0x5113:
        case 0x5114:
        case 0x5115:
        case 0x5116:
        case 0x5117:
            prg.registers[address - 0x5113] = value;
            mapPrgWindows(context);
            break;
        case 0x5130: chr.upper = value & 3; break;
        case 0x5200:
            split.control = value;
            updateTileSupply(context, ppuCtrl(context));
            break;
        case 0x5201: split.scroll = value; break;
        case 0x5202: split.bank = value; break;
        case 0x5203: irq.line = value; break;
        case 0x5204:
            irq.enable = value >> 7;
            updateIrqLine(context, context.cpu->cycles + 1);
            break;
        case 0x5205:
        case 0x5206: factors[address - 0x5205] = value; break;
        default:
            if (address >= 0x5120 && address <= 0x512B) {
                // $5130's bits become the bank's upper bits as it is written.
                const uint16_t bank = uint16_t(value | (chr.upper << 8));
                chr.lastSetB = address >= 0x5128;
                if (chr.lastSetB) chr.b[address - 0x5128] = bank;
                else chr.a[address - 0x5120] = bank;
                mapChrBanks(context, ppuCtrl(context));
            }
            break;
    }
}

uint8_t MMC5::readRegister(BusContext& context, uint16_t address, uint8_t unmapped) {
    if (address >= kExram) {
        // The extra nametable and the attributes are the PPU's to read.
        return exramMode >= 2 ? context.cpu->memory[address] : unmapped;
    }
    switch (address) {
        case 0x5204: {
            // Its flags follow the dots up to this read.
            context.ppu->payOwedDots();
            const uint8_t status =
                uint8_t((irq.pending ? kPendingBit : 0) | (irq.inFrame ? kInFrameBit : 0) | (unmapped & 0x3F));
            irq.pending = 0;
            releaseIrq(context, context.cpu->cycles + 1);
            return status;
        }
        case 0x5010: return uint8_t(audio.pcmMode & 1);  // the read mode's interrupt is not emulated
        case 0x5015: audio.runTo(context.cpu->cycles); return audio.status();
        case 0x5205: return uint8_t(factors[0] * factors[1]);
        case 0x5206: return uint8_t((factors[0] * factors[1]) >> 8);
        default: return unmapped;
    }
}

// --- power-on, states ---

void MMC5::powerOn(BusContext& context) {
    const Cartridge& cart = *context.cpu->cartridge;
    prgRam.assign(size_t(prgRamBytes(cart)), 0);
    cpuMemory = context.cpu->memory.data();
    // Battery RAM came in at $6000: it is bank 0's.
    std::copy_n(context.cpu->memory.begin() + 0x6000, kWindowBytes, prgRam.begin());
    for (Window& w : shown) w = Window{};
    mapPrgWindows(context);
    for (int32_t& bank : vramBanks) bank = -1;
    mapChrBanks(context, ppuCtrl(context));
    buildFillPage();
    mapNametables(context);
}

int32_t MMC5::prgRamBytes(const Cartridge& cart) {
    int64_t bytes = 65536;
    if (cart.isNes2) {
        bytes = cart.nes2PrgRam();
    } else if (cart.header[8] != 0) {
        bytes = int64_t(cart.header[8]) * kWindowBytes;
    }
    // Whole 8 KiB banks, one at least (the chip's $6000 always shows one).
    bytes = std::clamp<int64_t>(bytes, kWindowBytes, kMaxPrgRam);
    return int32_t(bytes / kWindowBytes * kWindowBytes);
}

void MMC5::afterLoad(BusContext& context) {
    // The windows came back with the memories; the banks on show are theirs.
    for (int w = 0; w < 5; ++w) shown[w] = windowSource(w);
    keepShownRam(context.cpu->memory.data());
    const Cartridge& cart = *context.cpu->cartridge;
    const int32_t count = cart.chrSize / 1024;
    const bool tall = (ppuCtrl(context) & 0x20) != 0;
    setBanks(!tall && chr.lastSetB, vramBanks);
    setBanks(tall || chr.lastSetB, backgroundBanks);
    for (int p = 0; p < 8; ++p) {
        vramBanks[p] = count > 0 ? vramBanks[p] % count : p;
        backgroundBanks[p] = count > 0 ? backgroundBanks[p] % count : p;
    }
    buildFillPage();
    // The layout came back with the PPU; only the slots follow from it.
    layoutShowsAll = showNametablePages(context, nametablePages().page);
    slotsStale = true;
    suppliesTiles = wantsToSupplyTiles(context, ppuCtrl(context));
}

void MMC5::storeState(BusContext& context, uint8_t* block) {
    // A save state holds the CPU's memory: the banks on show. Any other
    // bank holding data would be lost, so such a state is refused.
    keepShownRam(context.cpu->memory.data());
    bool onShow[16] = {};
    for (int w = 0; w < 5; ++w) {
        if (shown[w].ram) onShow[shown[w].bank] = true;
    }
    const int32_t banks = int32_t(prgRam.size() / kWindowBytes);
    for (int32_t b = 0; b < banks; ++b) {
        if (onShow[b]) continue;
        const auto begin = prgRam.begin() + b * kWindowBytes;
        if (std::any_of(begin, begin + kWindowBytes, [](uint8_t x) { return x != 0; })) {
            throw std::runtime_error("saveState: the MMC5's PRG RAM bank " + std::to_string(b) +
                                     " holds data but is not on show, and a save state holds only the banks "
                                     "on show; take a snapshot instead");
        }
    }
    Mapper::storeState(context, block);
}

void MMC5::serialize(StateStream& s) {
    s.io(prg.mode, 0, 3, "MMC5 PRG mode");
    s.io(prg.registers);
    s.io(prg.ramProtect, 0, 3, "MMC5 PRG RAM protection");
    s.io(chr.mode, 0, 3, "MMC5 CHR mode");
    s.io(chr.a, 0, 0x3FF, "MMC5 CHR bank");
    s.io(chr.b, 0, 0x3FF, "MMC5 CHR bank");
    s.io(chr.upper, 0, 3, "MMC5 CHR upper bits");
    s.io(chr.lastSetB, 0, 1, "MMC5 CHR set written last");
    s.io(exramMode, 0, 3, "MMC5 ExRAM mode");
    s.io(nametables);
    s.io(fillTile);
    s.io(fillColour, 0, 3, "MMC5 fill colour");
    s.io(split.control);
    s.io(split.scroll);
    s.io(split.bank);
    s.io(irq.line);
    s.io(irq.enable, 0, 1, "MMC5 IRQ enable");
    s.io(irq.pending, 0, 1, "MMC5 IRQ pending");
    s.io(irq.inFrame, 0, 1, "MMC5 in-frame flag");
    s.io(irq.lineCounter);
    s.io(factors);
    s.io(latchedPalette, 0, 3, "MMC5 latched palette");
    audio.serialize(s);
    if (s.onlyRegisters()) {
        // A save state holds the banks on show in the CPU's memory, and
        // none other held data when it was saved.
        if (s.loading()) std::fill(prgRam.begin(), prgRam.end(), 0);
        return;
    }
    // Stored as a restore keeps them, so a snapshot of the restored console
    // is the same bytes.
    if (s.writing() && cpuMemory) keepShownRam(cpuMemory);
    s.zeroRuns(prgRam.data(), prgRam.size(), "MMC5 PRG RAM");
}

// Every bank on show back to its keeping: a bank shown twice comes back
// from the window that stays.
void MMC5::keepShownRam(const uint8_t* memory) {
    for (int w = 0; w < 5; ++w) {
        if (shown[w].ram && shown[w].bank >= 0)
            std::copy_n(memory + kWindowStart[w], kWindowBytes, prgRam.begin() + shown[w].bank * kWindowBytes);
    }
}

std::unique_ptr<Mapper> makeMMC5(const BoardChoice&) { return std::make_unique<MMC5>(); }

}  // namespace NES
