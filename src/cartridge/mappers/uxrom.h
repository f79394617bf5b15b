#pragma once

#include <cstdint>

#include "cartridge/mappers/mapper.h"

namespace NES {

class UxROM : public Mapper {
public:
    int32_t prgBank = 0;  // KiB
    UxROM() : Mapper(2, 0x8000) {}
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void storeState(BusContext& context, uint8_t* block) override;
    void restoreState(BusContext& context, const uint8_t* block) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
    void mapBanks(BusContext& context);
};

}  // namespace NES
