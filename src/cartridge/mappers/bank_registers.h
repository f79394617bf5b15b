// The base of the boards with eight bank registers, each of which picks
// the bank of one window (Namco 108, Taito TC0190), and the last 16 KiB of
// PRG ROM fixed at $C000. The board says where register `r` shows its bank:
//   void mapRegister(BusContext& context, int r)
// Templated on the board so the writes call it directly.
#pragma once

#include <cstdint>

#include "cartridge/mappers/mapper.h"

namespace NES {

template <class Board>
class BankRegisterBoard : public Mapper {
public:
    uint8_t registers[8];

    void powerOn(BusContext& context) override {
        for (int r = 0; r < 8; ++r) board().mapRegister(context, r);
        mapLastPrg16(context, 0xC000);
    }

protected:
    BankRegisterBoard(int32_t mapper, uint16_t lowestWrite, const uint8_t (&powerOnBanks)[8])
        : Mapper(mapper, lowestWrite) {
        for (int r = 0; r < 8; ++r) registers[r] = powerOnBanks[r];
    }
    void writeRegister(BusContext& context, int r, uint8_t value) {
        registers[r] = value;
        board().mapRegister(context, r);
    }

private:
    Board& board() { return static_cast<Board&>(*this); }
};

}  // namespace NES
