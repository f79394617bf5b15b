// Mapper 34: BNROM switches 32 KiB of PRG at $8000-$FFFF; NINA-001 has its
// registers in PRG RAM's last bytes: $7FFD the 32 KiB PRG bank, $7FFE and
// $7FFF the 4 KiB CHR banks at $0000 and $1000 (the writes are stored too).
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/mapper.h"

#include "serial/state_stream.h"

namespace NES {

// 34: BNROM (a 32 KiB PRG register at $8000-$FFFF) or NINA-001 (PRG and
// two 4 KiB CHR registers at $7FFD-$7FFF).
class BNROM : public Mapper {
public:
    uint8_t prgBank = 0;
    uint8_t chrBank[2] = {0, 1};
    explicit BNROM(bool nina) : Mapper(34, 0), nina(nina) {}
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override {
        if (!nina) {
            if (address < 0x8000) return;
            prgBank = value;
            mapPrg(context, 0x8000, value * 32, 32);
            return;
        }
        switch (address) {
            case 0x7FFD:
                prgBank = value;
                mapPrg(context, 0x8000, (value & 1) * 32, 32);
                break;
            case 0x7FFE:
            case 0x7FFF: {
                const int window = address - 0x7FFE;
                chrBank[window] = value;
                mapChr(context, uint16_t(window * 0x1000), (value & 0x0F) * 4, 4);
                break;
            }
            default: break;
        }
    }
    void serialize(StateStream& s) override {
        s.io(prgBank);
        s.io(chrBank);
    }
    void powerOn(BusContext& context) override {
        mapPrg(context, 0x8000, 0, 32);
        if (nina) {
            mapChr(context, 0x0000, 0, 4);
            mapChr(context, 0x1000, 4, 4);
        }
    }
    bool isNina() const { return nina; }

private:
    const bool nina;
};

// NINA-001 has two CHR ROM banks of 4 KiB or more; BNROM at most 8 KiB.
std::unique_ptr<Mapper> makeBNROM(const BoardChoice& board) {
    return std::make_unique<BNROM>(board.chrBytes > 8192 || board.submapper == 1);
}

}  // namespace NES
