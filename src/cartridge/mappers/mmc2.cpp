// MMC2 (mapper 9) and MMC4 (mapper 10): the CHR bank of each pattern table
// follows a latch that fetches of tiles $FD and $FE set; the switch shows
// from the fetch after the one that set it.
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/mapper.h"

#include "serial/state_stream.h"

namespace NES {

// MMC2 (9) and MMC4 (10): CHR banks chosen by latches that tiles $FD and
// $FE set as the PPU fetches them.
class MMC2 : public Mapper {
public:
    uint8_t prgBank = 0;
    uint8_t chrBanks[2][2] = {};  // [window][latch: 0 = $FD, 1 = $FE]
    uint8_t latch[2] = {1, 1};    // both start at $FE
    uint8_t mirroringBit = 0;
    explicit MMC2(bool mmc4 = false) : Mapper(mmc4 ? 10 : 9, 0), mmc4(mmc4) { watchesPatterns = true; }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override {
        switch (address & 0xF000) {
            case 0xA000:
                prgBank = value;
                mapPrgBanks(context);
                break;
            case 0xB000:
            case 0xC000:
            case 0xD000:
            case 0xE000: {
                const int index = (address >> 12) - 0xB;
                const int window = index >> 1;
                chrBanks[window][index & 1] = value;
                if (latch[window] == (index & 1)) mapChrWindow(context, window);
                break;
            }
            case 0xF000:
                mirroringBit = value & 1;
                setMirroring(context, mirroringBit ? Horizontal : Vertical);
                break;
            default: break;
        }
    }
    void serialize(StateStream& s) override {
        s.io(prgBank);
        for (auto& window : chrBanks) s.io(window);
        s.io(latch, 0, 1, "MMC2 latch");
        s.io(mirroringBit, 0, 1, "MMC2 mirroring");
    }
    void powerOn(BusContext& context) override {
        mapPrgBanks(context);
        mapChrWindow(context, 0);
        mapChrWindow(context, 1);
    }
    void onPatternFetch(BusContext& context, uint16_t address) override {
        // $xFD8 and $xFE8: the high plane of tile $FD or $FE. MMC2 watches only
        // row 0 of the first table's tiles, MMC4 every row of both.
        const int window = address >> 12;
        const uint16_t row = address & 0x0FF8;
        if (row != 0x0FD8 && row != 0x0FE8) return;
        if (!mmc4 && window == 0 && (address & 7) != 0) return;
        const uint8_t now = row == 0x0FE8 ? 1 : 0;
        if (latch[window] == now) return;
        latch[window] = now;
        mapChrWindow(context, window);
    }

private:
    void mapPrgBanks(BusContext& context) {
        if (mmc4) {
            mapPrg(context, 0x8000, (prgBank & 0x0F) * 16, 16);
            mapLastPrg16(context, 0xC000);
        } else {
            // 8 KiB at $8000; the last three 8 KiB banks stay at $A000-$FFFF.
            mapPrg(context, 0x8000, (prgBank & 0x0F) * 8, 8);
            const int32_t banks = prgBanks(context, 8);
            for (int i = 0; i < 3; ++i) mapPrg(context, uint16_t(0xA000 + 0x2000 * i), (banks - 3 + i) * 8, 8);
        }
    }
    void mapChrWindow(BusContext& context, int window) {
        mapChr(context, uint16_t(window * 0x1000), (chrBanks[window][latch[window]] & 0x1F) * 4, 4);
    }
    const bool mmc4;
};

std::unique_ptr<Mapper> makeMMC2(const BoardChoice& board) { return std::make_unique<MMC2>(board.number == 10); }

}  // namespace NES
