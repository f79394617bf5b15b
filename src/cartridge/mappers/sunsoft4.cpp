// Sunsoft-4 (mapper 68): $8000-$B000 the four 2 KiB CHR banks, $C000 and
// $D000 the CHR ROM kilobytes that can stand in for the two nametable
// pages (bit 7 always set: from the ROM's second 128 KiB), $E000 the
// mirroring and, bit 4, the nametables from CHR ROM; $F000 the 16 KiB PRG
// bank at $8000 (the last fixed at $C000). The ROM nametables reach the
// picture as tiles the board supplies; PPUDATA still reads and writes the
// console's nametable RAM.
#include <algorithm>

#include "cartridge/cartridge.h"
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/mapper.h"
#include "cpu/cpu.h"
#include "ppu/ppu.h"
#include "serial/state_stream.h"

namespace NES {

// Sunsoft-4 (68): four 2 KiB CHR banks, a 16 KiB PRG bank, mirroring, and
// nametables from CHR ROM (the board then supplies the background's tiles).
class Sunsoft4 : public Mapper {
public:
    uint8_t chrBank[4] = {};
    uint8_t ntBank[2] = {};
    uint8_t control = 0;  // $E000: mirroring, bit 4 nametables from CHR ROM
    uint8_t prgBank = 0;
    Sunsoft4() : Mapper(68, 0) { maySupplyTiles = true; }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override {
        if (address < 0x8000) return;
        const int group = (address >> 12) - 8;
        if (group < 4) {
            chrBank[group] = value;
            mapChr(context, uint16_t(group * 0x800), value * 2, 2);
        } else if (group < 6) {
            ntBank[group - 4] = value;
        } else if (group == 6) {
            control = value & 0x13;
            selectMirroring(context, control & 3);
            applyNametables(context);
        } else {
            prgBank = value & 0x1F;
            mapPrg(context, 0x8000, (prgBank & 0x0F) * 16, 16);
        }
    }
    void serialize(StateStream& s) override {
        s.io(chrBank);
        s.io(ntBank);
        const uint8_t control = s.io(this->control);
        s.require((control & ~0x13) == 0, "Sunsoft-4 control has bits no write sets");
        s.io(prgBank, 0, 0x1F, "Sunsoft-4 PRG bank");
    }
    void powerOn(BusContext& context) override {
        mapPrg(context, 0x8000, 0, 16);
        mapLastPrg16(context, 0xC000);
    }
    void afterLoad(BusContext& context) override {
        suppliesTiles = (control & 0x10) && context.cpu->cartridge->chrSize > 0;
    }
    BackgroundTile supplyTile(BusContext& context, uint16_t address, int32_t) override {
        // Slot to page: vertical, horizontal, the lower page alone, the upper.
        static constexpr uint8_t kPages[4][4] = {{0, 1, 0, 1}, {0, 0, 1, 1}, {0, 0, 0, 0}, {1, 1, 1, 1}};
        const Cartridge& cart = *context.cpu->cartridge;
        const int32_t banks = std::max(1, cart.chrSize / 1024);
        const int page = kPages[control & 3][(address >> 10) & 3];
        return tileFrom(context, cart.chrRom.data() + size_t((ntBank[page] | 0x80) % banks) * 1024, address);
    }

private:
    void applyNametables(BusContext& context) {
        // Without 128 KiB of CHR ROM past the first there is nothing to show.
        supplyTiles(context, (control & 0x10) && context.cpu->cartridge->chrSize > 0);
    }
};

std::unique_ptr<Mapper> makeSunsoft4(const BoardChoice&) { return std::make_unique<Sunsoft4>(); }

}  // namespace NES
