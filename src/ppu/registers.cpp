// What the CPU sees of the PPU: $2000-$2007, the scroll and address latches,
// and the vertical-blank flags behind PPUSTATUS.
#include <algorithm>
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

int64_t PPU::accessDot() const { return 3 * int64_t(cpu->stepStart) - 1; }

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
    if (VELKORA_UNLIKELY(hardware)) return writeRegisterHardware(address, value);
    storeRegister<false>(address, value);
}

// Out of line, so the design's writes keep a light frame.
void PPU::writeRegisterHardware(uint16_t address, uint8_t value) {
    // Only the hardware timing watches A12.
    if (a12Watched && !a12InAccess && addressLineMayMove(address, value)) return writeWatchingA12(address, value);
    // A write that changes what the sprite evaluation reads (the sprite
    // height, rendering) finds it brought to this dot.
    if ((address == 0x2000 && ((value ^ *ppuCtrl) & 0x20)) || (address == 0x2001 && ((value ^ *ppuMask) & 0x18))) {
        payOwedDots();
        bringEvaluationUpToDate();
    }
    driveLatch(value, 0xFF);
    storeRegister<true>(address, value);
}

// One copy a timing, so the design's writes test nothing of the hardware's.
template <bool kHardware>
void PPU::storeRegister(uint16_t address, uint8_t value) {
    // The owed dots ran before this write; a write that only moves t may
    // come first unless they copy t (raster effects write t mid-line a lot).
    const bool onlyT = (address == 0x2005 && w) || (address == 0x2006 && !w) ||
                       (address == 0x2000 && ((value ^ *ppuCtrl) & 0xFC) == 0);
    if (owedDots != 0 && !(onlyT && !owedDotsReadT())) payOwedDots();
    switch (address) {
        case 0x2000:
            t = uint16_t((t & 0xF3FF) | ((value & 3) << 10));
            // PPUCTRL still holds the old byte: the NMI output follows bit 7 at once.
            if (kHardware && nmiOccurred && ((value ^ *ppuCtrl) & 0x80)) {
                if (value & 0x80) cpu->nmiLineRose(accessDot());
                else cpu->nmiLineFell(accessDot());
            }
            break;
        case 0x2001:
            // PPUMASK still holds the old byte.
            if (kHardware) noteEmphasis(uint8_t(value >> 5), uint8_t(*ppuMask >> 5));
            break;
        case 0x2003: oamAddr = value; break;
        case 0x2004:
            if (kHardware && renderingNow()) {
                // The write is lost; the address moves on a sprite, the byte index kept.
                oamAddr = uint8_t(oamAddr + 4);
                break;
            }
            // Bits 2-4 of the attribute byte do not exist.
            if ((oamAddr & 3) == 2) value &= 0xE3;
            oam[oamAddr] = value;
            oamWritten();
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
            // The hardware's palette RAM has six bits.
            if (kHardware && a >= 0x3F00) value &= 0x3F;
            // CHR ROM is read-only: only CHR RAM takes pattern writes.
            if (a >= 0x2000 || !cartridge || cartridge->chrSize == 0) {
                vram[kHardware ? foldHardware(a) : mirrorAddress(a)] = value;
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
    if (VELKORA_UNLIKELY(hardware)) {
        if (a12Watched && !a12InAccess && address == 0x2007) return readWatchingA12(address);
        payOwedDots();
        return readRegisterHardware(address);
    }
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

bool PPU::renderingNow() const { return (*ppuMask & 0x18) != 0 && (scanline < 240 || scanline == 261); }

// What the OAM data bus holds while the PPU renders: $FF while the secondary
// OAM is cleared (to dot 64), the byte the evaluation read last (to 256),
// then the secondary OAM bytes the sprite fetches read (257-320, four of
// each eight dots), and its first byte until the line ends.
uint8_t PPU::oamDuringRendering() const {
    // The access sees the dots before `cycle`.
    const int32_t c = cycle;
    if (c >= 1 && c <= kEvaluationStart) return 0xFF;
    if (c > kEvaluationStart && c <= 257) return oam[evalLast];
    if (c > 257 && c <= 321) return secondaryOam[4 * ((c - 258) >> 3) + std::min((c - 258) & 7, 3)];
    return secondaryOam[0];
}

// --- the hardware timing's I/O latch --------------------------------------

// The PPU's data pins keep the last byte driven onto them: every register
// write sets all eight bits, a read only those the register drives. A bit
// not driven to 1 again fades to 0 after about 600 ms (from 0.6 s of the
// 5,369,318 Hz dot clock).
static constexpr int64_t kLatchDecayDots = 3221591;

uint8_t PPU::latch() {
    const int64_t now = totalDots - owedDots;
    for (unsigned high = ioLatch; high != 0; high &= high - 1) {
        const int bit = __builtin_ctz(high);
        if (now - latchDrivenAt[bit] >= kLatchDecayDots) ioLatch &= uint8_t(~(1u << bit));
    }
    return ioLatch;
}

void PPU::driveLatch(uint8_t value, uint8_t bits) {
    const int64_t now = totalDots - owedDots;
    for (unsigned driven = bits & value; driven != 0; driven &= driven - 1) latchDrivenAt[__builtin_ctz(driven)] = now;
    ioLatch = uint8_t((ioLatch & ~bits) | (value & bits));
}

// Reads as the hardware answers them: write-only registers give the latch,
// PPUSTATUS its three flags over the latch's low bits, palette reads six
// bits over its top two (and fill the read buffer from the nametable byte
// the palette hides).
uint8_t PPU::readRegisterHardware(uint16_t address) {
    if (address == 0x2002 || address == 0x2004) bringEvaluationUpToDate();
    switch (address) {
        case 0x2002: {
            const uint8_t flags = readStatus() & 0xE0;
            driveLatch(flags, 0xE0);
            return uint8_t(flags | (latch() & 0x1F));
        }
        case 0x2004: {
            const uint8_t value = renderingNow() ? oamDuringRendering() : oam[oamAddr];
            driveLatch(value, 0xFF);
            return value;
        }
        case 0x2007: {
            const uint16_t a = v & 0x3FFF;
            uint8_t value;
            if (a >= 0x3F00) {
                value = vram[foldHardware(a)] & ((*ppuMask & 0x01) ? kGreyscale : 0x3F);
                readBuffer = vram[foldHardware(a & 0x2FFF)];
                driveLatch(value, 0x3F);
                value = uint8_t(value | (latch() & 0xC0));
            } else {
                // A read in the cycle after another (a dummy read then the
                // read, as LDA $20F7,X makes them) comes before the buffer
                // has taken the first one's byte: both give the old byte,
                // while the address moves on twice.
                value = accessDot() - dataReadDot == 3 ? dataReadValue : readBuffer;
                readBuffer = vram[foldHardware(a)];
                driveLatch(value, 0xFF);
            }
            dataReadDot = accessDot();
            dataReadValue = value;
            advanceDataAddress();
            return value;
        }
        default: return latch();
    }
}

// Every mirror folded as the hardware folds it, where mirrorAddress keeps the
// layout the design's accesses have always used: $3000-$3EFF is the
// nametables again (with their mirroring), $3F20-$3FFF the 32 palette bytes.
uint16_t PPU::foldHardware(uint16_t address) const {
    address &= 0x3FFF;
    if (address >= 0x3F00) return foldPalette(uint16_t(0x3F00 | (address & 0x1F)));
    if (address >= 0x2000) return foldNametable(uint16_t(0x2000 | (address & 0x0FFF)));
    return address;
}
