#pragma once

#include <cstdint>

#include "cartridge/mappers/mapper.h"

namespace NES {

class NTDEC2722 : public Mapper {
public:
    uint16_t irqCounter = 0x3000;
    uint8_t irqEnable = 1;
    // Hardware timing: the timer's top bit drives the IRQ line, set for one
    // interval and clear for the next (the board acknowledges by itself).
    uint8_t irqLine = 0;
    NTDEC2722() : Mapper(40, 0) { countsDots = true; }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void onDot(BusContext& context) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
};

}  // namespace NES
