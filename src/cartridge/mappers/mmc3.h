#pragma once

#include <cstdint>

#include "cartridge/mappers/mapper.h"

namespace NES {

class MMC3 : public Mapper {
public:
    uint8_t bankSelect = 0;
    uint8_t lastBankSelect = 0;
    uint8_t prgRamWriteProtect = 0;
    uint8_t prgRamEnable = 1;
    uint8_t irqEnable = 1;
    uint16_t reserved0 = 0;
    int32_t irqCounter = 255;
    uint8_t irqLatch = 255;
    uint8_t reserved1[2] = {0, 0};
    MMC3() : Mapper(4, 0x6000) {
        countsDots = true;
        hookCycle = 256;
        hookIgnoresDrawing = true;
        a12Filter = 3;
    }
    void cpuWrite(BusContext& context, uint16_t address, uint8_t& value) override;
    void onDot(BusContext& context) override;
    void onA12Rise(BusContext& context, int64_t dot) override;
    void storeState(BusContext& context, uint8_t* block) override;
    void restoreState(BusContext& context, const uint8_t* block) override;
    void serialize(StateStream& s) override;
    void powerOn(BusContext& context) override;

private:
    void clockCounter(BusContext& context, int64_t atCycle);
};

}  // namespace NES
