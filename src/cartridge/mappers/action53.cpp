// Action 53 (mapper 28): a multicart board that imitates the discrete boards
// its games were written for. The outer bank picks a game's 32 KiB window
// in the ROM, the game size how many of the inner bank's bits reach past it,
// and the PRG mode whether the game banks 32 KiB (BNROM, AOROM), or 16 KiB
// with the lower (UNROM 180) or the upper half (UNROM) of its outer bank fixed.
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/mapper.h"

#include "cartridge/cartridge.h"
#include "cpu/cpu.h"
#include "serial/state_stream.h"

namespace NES {

// Action 53 (28): a multicart board. $5000-$5FFF selects one of four
// registers, $8000-$FFFF writes it: CHR RAM bank, inner PRG bank, mode
// (mirroring, PRG layout, game size) and outer PRG bank.
class Action53 : public Mapper {
public:
    static constexpr int32_t kChrBank = 8192;
    uint8_t select = 0;
    uint8_t chrBank = 0;
    uint8_t innerBank = 0;
    uint8_t mode = 0;
    uint8_t outerBank = 0xFF;
    // The 32 KiB of CHR RAM; the bank on show lives in the pattern tables.
    uint8_t chrRam[4][kChrBank] = {};
    Action53() : Mapper(28, 0) {}
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override {
        if (address >= 0x5000 && address < 0x6000) {
            select = uint8_t(((value >> 6) & 2) | (value & 1));
            return;
        }
        if (address < 0x8000) return;
        // Writes to $00 and $01 carry the one-screen page in bit 4, as AxROM's does.
        const bool oneScreen = (mode & 2) == 0;
        switch (select) {
            case 0:
                if (oneScreen) mode = uint8_t((mode & ~1) | ((value >> 4) & 1));
                showChrBank(context, value & 3);
                break;
            case 1:
                if (oneScreen) mode = uint8_t((mode & ~1) | ((value >> 4) & 1));
                innerBank = value & 0x0F;
                break;
            case 2: mode = value & 0x3F; break;
            default: outerBank = value; break;
        }
        if (select != 0 || oneScreen) applyMirroring(context);
        if (select != 0) mapPrgBanks(context);
    }
    void serialize(StateStream& s) override {
        s.io(select, 0, 3, "Action 53 register select");
        const uint8_t shown = s.io(chrBank, 0, 3, "Action 53 CHR bank");
        s.io(innerBank, 0, 15, "Action 53 inner bank");
        s.io(mode, 0, 0x3F, "Action 53 mode");
        s.io(outerBank);
        if (s.onlyRegisters()) return;
        // The banks not on show (the one on show travels with the pattern tables).
        for (int bank = 0; bank < 4; ++bank) {
            if (bank != shown) s.zeroRuns(chrRam[bank], kChrBank, "Action 53 CHR RAM");
        }
    }
    void powerOn(BusContext& context) override {
        // The menu sits in the last 32 KiB, where the outer bank starts.
        select = 0;
        chrBank = 0;
        innerBank = 0;
        mode = 0;
        outerBank = 0xFF;
        mapPrgBanks(context);
        applyMirroring(context);
        const Cartridge* cart = context.cpu->cartridge;
        if (cart && cart->chrSize > 0) mapChr(context, 0, 0, 8);
    }

private:
    void mapPrgBanks(BusContext& context) {
        // 16 KiB banks: the game's size masks what the inner bank reaches.
        const int32_t outer = int32_t(outerBank) << 1;
        const int32_t mask = (2 << ((mode >> 4) & 3)) - 1;
        const auto inGame = [&](int32_t bank) { return (outer & ~mask) | (bank & mask); };
        int32_t low, high;
        switch ((mode >> 2) & 3) {
            case 2:  // UNROM 180: the outer bank's lower half fixed at $8000
                low = outer;
                high = inGame(innerBank);
                break;
            case 3:  // UNROM: the outer bank's upper half fixed at $C000
                low = inGame(innerBank);
                high = outer | 1;
                break;
            default:  // 32 KiB
                low = inGame(innerBank << 1);
                high = inGame((innerBank << 1) | 1);
                break;
        }
        mapPrg(context, 0x8000, low * 16, 16);
        mapPrg(context, 0xC000, high * 16, 16);
    }
    void showChrBank(BusContext& context, uint8_t next) {
        const Cartridge* cart = context.cpu->cartridge;
        if (cart && cart->chrSize > 0) {
            chrBank = next;
            mapChr(context, 0, next * 8, 8);
            return;
        }
        if (next == chrBank) return;
        saveChrRam(context, 0, chrRam[chrBank], kChrBank);
        loadChrRam(context, 0, chrRam[next], kChrBank);
        chrBank = next;
    }
    void applyMirroring(BusContext& context) {
        switch (mode & 3) {
            case 0: setMirroring(context, SingleScreen, 0); break;
            case 1: setMirroring(context, SingleScreen, 1); break;
            case 2: setMirroring(context, Vertical); break;
            default: setMirroring(context, Horizontal); break;
        }
    }
};

std::unique_ptr<Mapper> makeAction53(const BoardChoice&) { return std::make_unique<Action53>(); }

}  // namespace NES
