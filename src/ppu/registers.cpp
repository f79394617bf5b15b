// What the CPU sees of the PPU: $2000-$2007, the scroll and address latches,
// and the vertical-blank flags behind PPUSTATUS.
#include <cstdio>

#include "cartridge/cartridge.h"
#include "cpu/cpu.h"
#include "ppu/ppu.h"

PPU::PPU(CPU* c) : cpu(c) {
    cpu->ppu = this;
    ppuCtrl = &cpu->memory[0x2000];
    ppuMask = &cpu->memory[0x2001];
    ppuStatus = &cpu->memory[0x2002];
    locateNextEvent();
    if (cpu->cartridge) attachCartridge(cpu->cartridge);
}

void PPU::advanceDataAddress() { v = uint16_t(v + ((*ppuCtrl & 0x04) ? 32 : 1)); }

// Whether the owed dots copy t into v: dot 257 of a rendered line, dots
// 280-304 of the pre-render line (a dot either side to spare).
bool PPU::owedDotsReadT() const {
    if ((*ppuMask & 0x18) == 0) return false;
    if (owedDots >= kDotsPerLine) return true;
    const int32_t from = cycle - 1;
    const int32_t to = cycle + int32_t(owedDots) + 1;  // may run into the next line
    const auto reads = [](int32_t line, int32_t a, int32_t b) {
        if (line == 261 && a <= 305 && b >= 279) return true;
        return (line < 240 || line == 261) && a <= 258 && b >= 256;
    };
    if (reads(scanline, from, to)) return true;
    return to > kDotsPerLine - 2 && reads((scanline + 1) % kLinesPerFrame, 0, to - kDotsPerLine + 2);
}

void PPU::writeRegister(uint16_t address, uint8_t value) {
    if (VELKORA_UNLIKELY(a12Watched) && !a12InAccess && addressLineMayMove(address, value))
        return writeWatchingA12(address, value);
    // The owed dots ran before this write; a write that only moves t may
    // come first unless they copy t (raster effects write t mid-line a lot).
    const bool onlyT = (address == 0x2005 && w) || (address == 0x2006 && !w) ||
                       (address == 0x2000 && ((value ^ *ppuCtrl) & 0xFC) == 0);
    if (owedDots != 0 && !(onlyT && !owedDotsReadT())) payOwedDots();
    switch (address) {
        case 0x2000:
            t = uint16_t((t & 0xF3FF) | ((value & 3) << 10));
            // PPUCTRL still holds the old byte: the NMI output follows bit 7 at once.
            if (hardware && nmiOccurred && ((value ^ *ppuCtrl) & 0x80)) {
                if (value & 0x80) cpu->nmiLineRose(accessDot());
                else cpu->nmiLineFell(accessDot());
            }
            break;
        case 0x2003: oamAddr = value; break;
        case 0x2004:
            // Bits 2-4 of the attribute byte do not exist.
            if ((oamAddr & 3) == 2) value &= 0xE3;
            oam[oamAddr] = value;
            ++oamAddr;
            break;
        case 0x2005:
            if (!w) {
                t = uint16_t((t & 0xFFE0) | (value >> 3));
                fineX = value & 7;
            } else {
                t = uint16_t((t & 0x8C1F) | ((value & 0xF8) << 2) | ((value & 7) << 12));
            }
            w = !w;
            break;
        case 0x2006:
            if (!w) {
                t = uint16_t(((t & 0xC0FF) | ((value & 0x3F) << 8)) & 0xBFFF);
            } else {
                t = uint16_t((t & 0xFF00) | value);
                v = t;
            }
            w = !w;
            break;
        case 0x2007: {
            const uint16_t a = v & 0x3FFF;
            if (cpu->debug) std::printf("ppu->%04x: %02x\n", unsigned(a), unsigned(value));
            // CHR ROM is read-only: only CHR RAM takes pattern writes.
            if (a >= 0x2000 || !cartridge || cartridge->chrSize == 0) {
                vram[mirrorAddress(a)] = value;
                if (patternTablesShared && a < 0x2000) vram[a ^ 0x1000] = value;
            }
            advanceDataAddress();
            if (cpu->debug) std::printf("v changed to %i\n", int(v));
            break;
        }
        default:  // PPUCTRL's other bits, PPUMASK: read in place; PPUSTATUS: read-only
            break;
    }
}

uint8_t PPU::readStatus() {
    const uint8_t s = *ppuStatus;
    *ppuStatus = s & 0x7F;
    w = false;
    if (scanline == 261 && cycle >= 2) return s & 0x7F;
    if (scanline == 241 && (cycle == 1 || cycle == 2)) {
        // Racing the flag: just before it the frame loses its flag and NMI,
        // just after it the flag is seen but the NMI still does not come.
        suppressVblank = true;
        suppressNmi = true;
        if (hardware && nmiOccurred && (*ppuCtrl & 0x80)) cpu->nmiLineFell(accessDot());
        nmiOccurred = false;
        return cycle == 1 ? (s & 0x7F) : (s | 0x80);
    }
    if (hardware && nmiOccurred && (*ppuCtrl & 0x80)) cpu->nmiLineFell(accessDot());
    nmiOccurred = false;
    return s;
}

uint8_t PPU::readRegister(uint16_t address) {
    if (VELKORA_UNLIKELY(a12Watched) && !a12InAccess && address == 0x2007) return readWatchingA12(address);
    payOwedDots();
    switch (address) {
        case 0x2002: return readStatus();
        case 0x2004: return oam[oamAddr];
        case 0x2007: {
            const uint16_t a = v & 0x3FFF;
            uint8_t result;
            if (a > 0x3EFF) {
                result = vram[mirrorAddress(a)];
            } else {
                result = readBuffer;
                readBuffer = vram[mirrorAddress(a)];
            }
            advanceDataAddress();
            return result;
        }
        default: return 0;
    }
}
