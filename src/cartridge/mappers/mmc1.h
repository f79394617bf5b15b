#pragma once

#include <cstdint>

#include "cartridge/mappers/mapper.h"

namespace NES {

class MMC1 : public Mapper {
public:
    uint8_t prgMode = 3;
    uint8_t chrMode = 0;
    uint8_t shiftRegister = 0x10;
    uint8_t registerValue = 0;
    MMC1() : Mapper(1, 0x8000) {}
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
    void writeControl(BusContext& context, uint8_t value);
};

}  // namespace NES
