// The base of the boards with one register, written anywhere it decodes,
// that picks all their banks (AxROM, Color Dreams, GxROM, NINA-03,
// UNROM-180). The board says what a value shows, and where the register
// answers when that is not all of $8000-$FFFF:
//   void show(BusContext& context, uint8_t value)
//   static bool decodes(uint16_t address)
// Power-on shows value 0. Templated on the board (so the write hook calls
// them directly), its mapper number and the lowest address it watches.
#pragma once

#include <cstdint>

#include "cartridge/mappers/mapper.h"
#include "serial/state_stream.h"

namespace NES {

template <class Board, int32_t Number, uint16_t LowestWrite = 0x8000>
class OneRegisterBoard : public Mapper {
public:
    uint8_t bankRegister = 0;

    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override {
        if (!Board::decodes(address)) return;
        bankRegister = value;
        static_cast<Board&>(*this).show(context, value);
    }
    void powerOn(BusContext& context) override { static_cast<Board&>(*this).show(context, 0); }
    void serialize(StateStream& s) override { s.io(bankRegister); }

    static bool decodes(uint16_t address) { return address >= 0x8000; }

protected:
    OneRegisterBoard() : Mapper(Number, LowestWrite) {}
};

}  // namespace NES
