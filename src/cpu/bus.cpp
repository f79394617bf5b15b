// The CPU bus: register side effects of $2000-$401F, the mapper hooks, OAM DMA
// and the joypad serial ports. Plain reads are inline in cpu.h.
#include <cstdio>

#include "apu/apu.h"
#include "cartridge/cartridge.h"
#include "console/catch_up.h"
#include "cpu/cpu.h"
#include "ppu/ppu.h"

uint16_t CPU::readWordSlow(uint16_t address) {
    const uint8_t low = read(address);
    return uint16_t(low | (read(uint16_t(address + 1)) << 8));
}

uint8_t CPU::readIo(uint16_t folded) {
    switch (folded) {
        case 0x2002:
        case 0x2004:
        case 0x2007: return ppu->readRegister(folded);
        case 0x4015: return apu->readStatus();
        case 0x4016: return readJoypad(0);
        case 0x4017: return readJoypad(1);
        default: return memory[folded];
    }
}

uint8_t CPU::readSlow(uint16_t address, bool notify) {
    catch_up::beforeRegisterAccess(*this);
    const uint16_t folded = foldAddress(address);
    uint8_t value = (folded < 0x2000 || folded >= 0x4020) ? memory[folded] : readIo(folded);
    if (notify && folded >= 0x4020 && folded < plainFrom) {
        BusContext context{this, ppu, apu};
        value = cartridge->mapper->readRegister(context, folded, value);
    }
    if (notify && mapperWatchesReads) {
        catch_up::beforeBoardAccess(*this);
        BusContext context{this, ppu, apu};
        cartridge->mapper->cpuRead(context, folded);
    }
    return value;
}

// The APU registers that need immediate action; the rest are only stored.
static constexpr uint32_t kApuWriteMask = (1u << 0x01) | (1u << 0x02) | (1u << 0x03) | (1u << 0x05) | (1u << 0x06) |
                                          (1u << 0x07) | (1u << 0x0A) | (1u << 0x0B) | (1u << 0x0F) | (1u << 0x10) |
                                          (1u << 0x11) | (1u << 0x12) | (1u << 0x13) | (1u << 0x15) | (1u << 0x17);

void CPU::writeIo(uint16_t folded, uint8_t value) {
    if (folded < 0x2008) {
        const int32_t hook = catch_up::beforePpuWrite(*this);
        ppu->writeRegister(folded, value);
        catch_up::afterPpuWrite(*this, hook);
        return;
    }
    catch_up::beforeRegisterAccess(*this);
    if (folded == 0x4014) {
        oamDma(value);
    } else if (folded == 0x4016) {
        strobeJoypads(value);
    } else if (folded < 0x4018 && ((kApuWriteMask >> (folded - 0x4000)) & 1)) {
        apu->writeRegister(folded, value);
    }
}

void CPU::write(uint16_t address, uint8_t value) {
    const uint16_t folded = foldAddress(address);
    if (VELKORA_UNLIKELY(folded >= 0x2000 && folded < 0x4018)) writeIo(folded, value);
    if (cartridge) {
        NES::Mapper* mapper = cartridge->mapper.get();
        if (mapper->watchesWrites) {
            // Only its registers need the chips caught up: RAM stores stay cheap.
            if (folded >= 0x4020) catch_up::beforeBoardAccess(*this);
            BusContext context{this, ppu, apu};
            if (folded < mapper->writesFrom) {
                // Below what the board decodes: nothing to tell it.
            } else if (VELKORA_UNLIKELY(folded >= 0x2000 && folded < 0x2008)) {
                // Still the PPU write's step: the board may move its hook.
                const int32_t hook = ppu->mapperDotCycle;
                mapper->cpuWrite(context, folded, value);
                catch_up::afterPpuWrite(*this, hook);
            } else {
                mapper->cpuWrite(context, folded, value);
            }
        }
    }
    if (folded < 0x8000 && folded != 0x2002) memory[folded] = value;
}

void CPU::oamDma(uint8_t page) {
    catch_up::beforeOamDma(*this);
    ppu->bringEvaluationUpToDate();
    const uint8_t start = ppu->oamAddr;
    for (int i = 0; i < 256; ++i) {
        uint8_t byte = read(uint16_t((page << 8) | i));
        const uint8_t index = uint8_t(start + i);
        // Attribute bytes lose bits 2-4, as an OAMDATA write stores them.
        if ((index & 3) == 2) byte &= 0xE3;
        ppu->oam[index] = byte;
        // A read with an effect may have the PPU draw on between two bytes.
        ppu->oamWritten();
    }
    ppu->oamAddr = start;
    if (VELKORA_UNLIKELY(debug)) {
        std::printf("New OAM: [");
        for (uint8_t byte : ppu->oam) std::printf("%02x,", byte);
        std::printf("]\n");
    }
}

// A write with bit 0 set latches both pads, button 0 into bit 7.
void CPU::strobeJoypads(uint8_t value) {
    joypadStrobe = value & 1;
    if (!joypadStrobe) return;
    for (int port = 0; port < 2; ++port) {
        const Buttons* buttons = joypadPorts[port].load(std::memory_order_relaxed);
        uint8_t bits = 0;
        if (buttons) {
            for (int i = 0; i < 8; ++i) {
                bits = uint8_t((bits << 1) | ((*buttons)[i].load(std::memory_order_relaxed) ? 1 : 0));
            }
        }
        joypadShift[port] = bits;
    }
}

// After eight shifts the register is all ones, so further reads return $41.
uint8_t CPU::readJoypad(int port) {
    const uint8_t result = uint8_t(0x40 | (joypadShift[port] >> 7));
    if (!joypadStrobe) joypadShift[port] = uint8_t((joypadShift[port] << 1) | 1);
    return result;
}

// --- the hardware timing's slow paths: registers at their own cycle ---

uint8_t CPU::readHardwareSlow(uint16_t address) {
    stepStart = cycles;
    const uint16_t folded = foldAddress(address);
    uint8_t value;
    if (folded < 0x2000 || folded >= 0x6000) {
        value = memory[folded];
    } else if (folded >= 0x4020) {
        value = dataBus;
        if (folded < plainFrom) {
            catch_up::beforeRegisterAccessHardware(*this);
            BusContext context{this, ppu, apu};
            value = cartridge->mapper->readRegister(context, folded, value);
        }
    } else {
        catch_up::beforeRegisterAccessHardware(*this);
        value = readIoHardware(folded);
    }
    if (mapperWatchesReads) {
        catch_up::beforeBoardAccessHardware(*this);
        BusContext context{this, ppu, apu};
        cartridge->mapper->cpuRead(context, folded);
    }
    return value;
}

// Write-only registers and unused bits read back what was last on the bus.
uint8_t CPU::readIoHardware(uint16_t folded) {
    if (folded < 0x2008) return ppu->readRegister(folded);
    switch (folded) {
        case 0x4015: return uint8_t((apu->readStatus() & ~0x20) | (dataBus & 0x20));
        case 0x4016:
        case 0x4017: return uint8_t((readJoypad(folded - 0x4016) & 0x1F) | (dataBus & 0xE0));
        default: return dataBus;
    }
}

void CPU::writeHardwareSlow(uint16_t address, uint8_t value) {
    stepStart = cycles;
    const uint16_t folded = foldAddress(address);
    if (folded == 0x4014) {
        // The sprite DMA starts once this instruction's last cycle is done.
        catch_up::beforeRegisterAccessHardware(*this);
        memory[0x4014] = value;
        oamDmaPage = value;
    } else {
        // Those the design's bus catches the APU up for (not a PPU write's).
        if ((folded >= 0x2008 && folded < 0x4018) || (folded >= 0x4020 && mapperWatchesWrites))
            catch_up::beforeWriteHardware(*this, folded);
        write(address, value);
    }
    lastWriteCycle = cycles;
}
