// Konami VRC2 and VRC4 (mappers 21, 22, 23, 25). The variants differ in
// which CPU address lines reach the chip's register lines A0 and A1:
//   21: VRC4a (A1, A2; submapper 1), VRC4c (A6, A7; submapper 2)
//   22: VRC2a (A1, A0), whose CHR registers drop their bit 0
//   23: VRC4f (A0, A1; 1), VRC4e (A2, A3; 2), VRC2b (A0, A1; 3)
//   25: VRC4b (A1, A0; 1), VRC4d (A3, A2; 2), VRC2c (A1, A0; 3)
// Without a submapper a board listens to both candidates (games use one
// pair) and is a VRC4, whose registers are a superset of the VRC2's.
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/vrc_irq.h"

#include "cpu/cpu.h"
#include "ppu/ppu.h"
#include "serial/state_stream.h"

namespace NES {

namespace {
struct Wiring {
    uint16_t a0, a1;
    bool vrc4;
};
// By mapper (21, 22, 23, 25) and submapper (0-3).
constexpr Wiring kWirings[4][4] = {
    {{0x42, 0x84, true}, {0x02, 0x04, true}, {0x40, 0x80, true}, {0x42, 0x84, true}},
    {{0x02, 0x01, false}, {0x02, 0x01, false}, {0x02, 0x01, false}, {0x02, 0x01, false}},
    {{0x05, 0x0A, true}, {0x01, 0x02, true}, {0x04, 0x08, true}, {0x01, 0x02, false}},
    {{0x0A, 0x05, true}, {0x02, 0x01, true}, {0x08, 0x04, true}, {0x02, 0x01, false}},
};
int wiringRow(int32_t mapper) { return mapper == 21 ? 0 : mapper == 22 ? 1 : mapper == 23 ? 2 : 3; }
}  // namespace

// Konami VRC2 and VRC4 (21, 22, 23, 25): two switchable 8 KiB PRG banks,
// eight 1 KiB CHR banks, mirroring; VRC4 adds a PRG layout bit and the VRC
// IRQ. The boards wire the register lines A0/A1 to different CPU address
// lines (the NES 2.0 submapper tells which; without it both candidates).
class VRC2_4 : public VrcIrqBoard {
public:
    uint8_t prgBank[2] = {0, 1};
    uint16_t chrBank[8] = {};
    uint8_t mirroringBits = 0;
    uint8_t prgSwap = 0;  // VRC4 $9002 bit 1: $8000 fixed to the second-last bank
    VRC2_4(int32_t mapper, int32_t submapper) : VrcIrqBoard(mapper) {
        const Wiring& w = kWirings[wiringRow(mapper)][submapper >= 0 && submapper < 4 ? submapper : 0];
        line0 = w.a0;
        line1 = w.a1;
        vrc4 = w.vrc4;
        chrHalved = mapper == 22;
        // Only the VRC4 has the IRQ counter.
        countsDots = vrc4;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override {
        if (address < 0x8000) return;
        const int reg = ((address & line0) ? 1 : 0) | ((address & line1) ? 2 : 0);
        switch (address & 0xF000) {
            case 0x8000:
            case 0xA000:
                prgBank[(address >> 13) & 1] = value & 0x1F;
                mapPrg8Pair(context, prgBank, prgSwap);
                break;
            case 0x9000:
                if (!vrc4 || reg < 2) {
                    mirroringBits = value & (vrc4 ? 3 : 1);
                    selectMirroring(context, mirroringBits);
                } else if (reg == 2) {
                    prgSwap = (value >> 1) & 1;
                    mapPrg8Pair(context, prgBank, prgSwap);
                }
                break;
            case 0xF000:
                if (!vrc4) break;
                countToNow(context);
                if (reg == 0) irq.latch = uint8_t((irq.latch & 0xF0) | (value & 0x0F));
                else if (reg == 1) irq.latch = uint8_t((irq.latch & 0x0F) | (value << 4));
                else if (reg == 2) irq.writeControl(value);
                else irq.acknowledge();
                if (reg >= 2) {
                    irq.line = 0;
                    releaseIrq(context, context.cpu->cycles + 1);
                }
                scheduleIrq(context);
                break;
            default: {  // $B000-$E000: CHR registers, low nibble then high bits
                const int window = ((address - 0xB000) >> 12) * 2 + (reg >> 1);
                const uint16_t high = vrc4 ? 0x1F0 : 0xF0;
                if (reg & 1) chrBank[window] = uint16_t((chrBank[window] & 0x0F) | ((value << 4) & high));
                else chrBank[window] = uint16_t((chrBank[window] & 0x1F0) | (value & 0x0F));
                mapChrBank(context, window);
                break;
            }
        }
    }
    void serialize(StateStream& s) override {
        s.io(prgBank, 0, 0x1F, "VRC2/4 PRG bank");
        s.io(chrBank, 0, 0x1FF, "VRC2/4 CHR bank");
        s.io(mirroringBits, 0, 3, "VRC2/4 mirroring");
        s.io(prgSwap, 0, 1, "VRC4 PRG layout");
        serializeIrq(s);
    }
    void powerOn(BusContext& context) override {
        afterLoad(context);
        mapPrg8Pair(context, prgBank, prgSwap);
        for (int window = 0; window < 8; ++window) mapChrBank(context, window);
    }
    bool isVrc4() const { return vrc4; }

private:
    void mapChrBank(BusContext& context, int window) {
        mapChr(context, uint16_t(window * 0x400), chrHalved ? chrBank[window] >> 1 : chrBank[window], 1);
    }
    bool vrc4 = true;
    bool chrHalved = false;  // VRC2a: the CHR registers' bit 0 is not wired
    uint16_t line0 = 0;      // the CPU address lines wired to A0 and A1
    uint16_t line1 = 0;
};

std::unique_ptr<Mapper> makeVRC2_4(const BoardChoice& board) {
    return std::make_unique<VRC2_4>(board.number, board.submapper);
}

}  // namespace NES
