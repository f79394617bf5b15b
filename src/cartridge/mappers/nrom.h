#pragma once

#include <cstdint>

#include "cartridge/mappers/mapper.h"

namespace NES {

class NROM : public Mapper {
public:
    NROM() {
        number = 0;
        foldsPrg16 = true;
    }
    void powerOn(BusContext& context) override;
};

}  // namespace NES
