#pragma once

#include <cstdint>

#include "cartridge/mappers/mapper.h"

namespace NES {

class CNROM : public Mapper {
public:
    int32_t chrBank = 0;  // KiB
    CNROM() : Mapper(3, 0x8000) { foldsPrg16 = true; }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void storeState(BusContext& context, uint8_t* block) override;
    void restoreState(BusContext& context, const uint8_t* block) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;
};

}  // namespace NES
