// Konami VRC7 (mapper 85): three switchable 8 KiB PRG banks, the last fixed
// at $E000, eight 1 KiB CHR banks, mirroring, 8 KiB of PRG RAM and the VRC
// IRQ. Each register pair's second register sits at CPU A4 (VRC7a, Lagrange
// Point; submapper 2) or A3 (VRC7b, Tiny Toon Adventures 2; submapper 1);
// without a submapper the board listens to both. The FM sound ($9010,
// $9030) is not emulated: its writes are taken and ignored.
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/vrc_irq.h"

#include "cpu/cpu.h"
#include "ppu/ppu.h"
#include "serial/state_stream.h"

namespace NES {

// Konami VRC7 (85; vrc7.cpp): three 8 KiB PRG banks, eight 1 KiB CHR
// banks, mirroring and the VRC IRQ; the FM sound is not emulated.
class VRC7 : public VrcIrqBoard {
public:
    uint8_t prgBank[3] = {0, 1, 2};
    uint8_t chrBank[8] = {};
    uint8_t control = 0;  // $E000: mirroring (bits 0-1), sound off, PRG RAM enable
    explicit VRC7(int32_t submapper) : VrcIrqBoard(85) {
        secondLine = submapper == 1 ? 0x08 : submapper == 2 ? 0x10 : 0x18;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override {
        if (address < 0x8000) return;
        // The sound's ports ($9010, $9030) and the second of each pair by the wired line.
        const bool second = (address & secondLine) != 0;
        switch (address & 0xF000) {
            case 0x8000:
                prgBank[second ? 1 : 0] = value & 0x3F;
                mapPrgBanks(context);
                break;
            case 0x9000:
                if ((address & 0x0038) != 0) break;  // the FM sound's ports
                prgBank[2] = value & 0x3F;
                mapPrgBanks(context);
                break;
            case 0xE000:
                if (second) {
                    countToNow(context);
                    irq.latch = value;
                    scheduleIrq(context);
                } else {
                    control = value;
                    selectMirroring(context, control & 3);
                }
                break;
            case 0xF000:
                countToNow(context);
                if (second) irq.acknowledge();
                else irq.writeControl(value);
                irq.line = 0;
                releaseIrq(context, context.cpu->cycles + 1);
                scheduleIrq(context);
                break;
            default: {  // $A000-$D000: CHR registers
                const int window = ((address - 0xA000) >> 12) * 2 + (second ? 1 : 0);
                chrBank[window] = value;
                mapChr(context, uint16_t(window * 0x400), value, 1);
                break;
            }
        }
    }
    void serialize(StateStream& s) override {
        s.io(prgBank, 0, 0x3F, "VRC7 PRG bank");
        s.io(chrBank);
        s.io(control);
        serializeIrq(s);
    }
    void powerOn(BusContext& context) override {
        afterLoad(context);
        mapPrgBanks(context);
        for (int window = 0; window < 8; ++window) mapChr(context, uint16_t(window * 0x400), chrBank[window], 1);
    }

private:
    void mapPrgBanks(BusContext& context) {
        mapPrg(context, 0x8000, prgBank[0] * 8, 8);
        mapPrg(context, 0xA000, prgBank[1] * 8, 8);
        mapPrg(context, 0xC000, prgBank[2] * 8, 8);
        mapPrg(context, 0xE000, (prgBanks(context, 8) - 1) * 8, 8);
    }
    uint16_t secondLine = 0x18;  // the CPU line(s) of each register pair's second register
};

std::unique_ptr<Mapper> makeVRC7(const BoardChoice& board) { return std::make_unique<VRC7>(board.submapper); }

}  // namespace NES
