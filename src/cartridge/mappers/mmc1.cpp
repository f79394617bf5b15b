// MMC1 (mapper 1): registers loaded one bit per write through a shift register.
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/mapper.h"

#include "cpu/cpu.h"
#include "serial/state_stream.h"

namespace NES {

// MMC1 (1): five serial writes fill the register the last one addresses:
// control (mirroring, PRG and CHR modes), the two CHR banks, the PRG bank.
class MMC1 : public Mapper {
public:
    // The control register's modes (its mirroring is the PPU's).
    uint8_t prgMode = 3;
    uint8_t chrMode = 0;
    // The serial port: the shift register, whose marker bit reaches bit 0 on
    // the fifth write, and the value the fifth write completed last.
    struct SerialPort {
        uint8_t shift = 0x10;
        uint8_t value = 0;
    } port;
    MMC1() : Mapper(1, 0x8000) {}
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override {
        if (address < 0x8000) return;
        // The serial port ignores a write on the cycle after another: of a
        // read-modify-write instruction's two writes only the first counts.
        if (hardware && context.cpu->lastWriteCycle == context.cpu->cycles - 1) return;
        if (value & 0x80) {
            // A reset write replaces the whole control register.
            port.shift = 0x10;
            writeControl(context, 0x0C);
            return;
        }
        const uint8_t old = port.shift;
        port.shift = uint8_t(((value & 1) << 4) | (old >> 1));
        // The marker bit reaches bit 0 only on the fifth write.
        if (!(old & 1)) return;

        const uint8_t v = port.shift;
        port.value = v;
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
                    mapPrg(context, 0xC000, port.value * 16, 16);
                } else {
                    mapPrg(context, 0x8000, v * 16, 16);
                    mapLastPrg16(context, 0xC000);
                }
                break;
        }
        port.shift = 0x10;
    }
    void serialize(StateStream& s) override {
        s.io(prgMode, 0, 3, "MMC1 PRG mode");
        s.io(chrMode, 0, 1, "MMC1 CHR mode");
        s.io(port.shift, 1, 0x1F, "MMC1 shift register");
        s.io(port.value, 0, 0x1F, "MMC1 register value");
    }
    void powerOn(BusContext& context) override {
        mapPrg(context, 0x8000, 0, 16);
        mapLastPrg16(context, 0xC000);
    }
    void writeControl(BusContext& context, uint8_t value) {
        // 0 and 1: one screen, the lower or the upper nametable; 2 vertical; 3 horizontal.
        static constexpr int32_t kModes[4] = {SingleScreen, SingleScreen, Vertical, Horizontal};
        setMirroring(context, kModes[value & 3], value & 1);
        chrMode = (value >> 4) & 1;
        prgMode = (value >> 2) & 3;
        if (prgMode == 2) mapPrg(context, 0x8000, 0, 16);
        else if (prgMode == 3) mapLastPrg16(context, 0xC000);
    }
};

std::unique_ptr<Mapper> makeMMC1(const BoardChoice&) { return std::make_unique<MMC1>(); }

}  // namespace NES
