// MMC1 (mapper 1): registers loaded one bit per write through a shift register.
#include "cartridge/mappers/mmc1.h"
#include "cartridge/mappers/boards.h"

#include "cpu/cpu.h"
#include "serial/state_stream.h"

namespace NES {

void MMC1::cpuWrite(BusContext& context, uint16_t address, uint8_t& value) {
    if (address < 0x8000) return;
    // The serial port ignores a write on the cycle after another: of a
    // read-modify-write instruction's two writes only the first counts.
    if (hardware && context.cpu->lastWriteCycle == context.cpu->cycles - 1) return;
    if (value & 0x80) {
        // A reset write replaces the whole control register.
        shiftRegister = 0x10;
        writeControl(context, 0x0C);
        return;
    }
    const uint8_t old = shiftRegister;
    shiftRegister = uint8_t(((value & 1) << 4) | (old >> 1));
    // The marker bit reaches bit 0 only on the fifth write.
    if (!(old & 1)) return;

    const uint8_t v = shiftRegister;
    registerValue = v;
    switch (address & 0xE000) {
        case 0x8000: writeControl(context, v); break;
        case 0xA000:
            if (chrMode == 0) mapChr(context, 0x0000, (v & 0x1E) * 4, 8);
            else mapChr(context, 0x0000, v * 4, 4);
            break;
        case 0xC000:
            if (chrMode == 1) mapChr(context, 0x1000, v * 4, 4);
            break;
        default:  // $E000: PRG bank; bit 4 counts as a bank bit
            if (prgMode <= 1) {
                mapPrg(context, 0x8000, (v & 0x1E) * 16, 32);
            } else if (prgMode == 2) {
                mapPrg(context, 0x8000, 0, 16);
                mapPrg(context, 0xC000, registerValue * 16, 16);
            } else {
                mapPrg(context, 0x8000, v * 16, 16);
                mapLastPrg16(context, 0xC000);
            }
            break;
    }
    shiftRegister = 0x10;
}

void MMC1::writeControl(BusContext& context, uint8_t value) {
    // 0 and 1: one screen, the lower or the upper nametable; 2 vertical; 3 horizontal.
    static constexpr int32_t kModes[4] = {SingleScreen, SingleScreen, Vertical, Horizontal};
    setMirroring(context, kModes[value & 3], value & 1);
    chrMode = (value >> 4) & 1;
    prgMode = (value >> 2) & 3;
    if (prgMode == 2) mapPrg(context, 0x8000, 0, 16);
    else if (prgMode == 3) mapLastPrg16(context, 0xC000);
}

void MMC1::powerOn(BusContext& context) {
    mapPrg(context, 0x8000, 0, 16);
    mapLastPrg16(context, 0xC000);
}

void MMC1::serialize(StateStream& s) {
    s.io(prgMode, 0, 3, "MMC1 PRG mode");
    s.io(chrMode, 0, 1, "MMC1 CHR mode");
    s.io(shiftRegister, 1, 0x1F, "MMC1 shift register");
    s.io(registerValue, 0, 0x1F, "MMC1 register value");
}

std::unique_ptr<Mapper> makeMMC1(const BoardChoice&) { return std::make_unique<MMC1>(); }

}  // namespace NES
