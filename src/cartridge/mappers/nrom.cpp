// NROM (mapper 0): up to 32 KiB of PRG and 8 KiB of CHR, no registers.
#include "cartridge/mappers/nrom.h"
#include "cartridge/mappers/boards.h"

namespace NES {

// 16 KiB images show at $C000 through the CPU's fold, not a second copy.
void NROM::powerOn(BusContext& context) { mapPrg(context, 0x8000, 0, prgBanks(context, 1)); }

std::unique_ptr<Mapper> makeNROM(const BoardChoice&) { return std::make_unique<NROM>(); }

}  // namespace NES
