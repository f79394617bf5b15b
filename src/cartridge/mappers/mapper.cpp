// The board base class, the bank copies the boards share, and board creation.
#include "cartridge/mappers/mapper.h"

#include "cartridge/cartridge.h"
#include "cpu/cpu.h"
#include "ppu/ppu.h"
#include "state/state_stream.h"

namespace NES {

void Mapper::cpuWrite(BusContext&, uint16_t, uint8_t&) {}
void Mapper::cpuRead(BusContext&, uint16_t) {}
void Mapper::onDot(BusContext&) {}
void Mapper::storeState(BusContext&, uint8_t*) {}
void Mapper::restoreState(BusContext&, const uint8_t*) {}
Mapper::~Mapper() = default;

// The CPU's windows end at $FFFF: a copy never runs past the array.
static bool fitsCpuWindow(uint16_t window, int32_t kib) {
    return kib >= 0 && int32_t(window) + kib * 1024 <= 0x10000;
}

void Mapper::mapPrg(BusContext& context, uint16_t window, int32_t startKiB, int32_t kib) {
    const Cartridge* cart = context.cpu->cartridge;
    if (!cart || cart->prgSize < 1024 || !fitsCpuWindow(window, kib)) return;
    copyPrgBanks(&context.cpu->memory[window], *cart, startKiB, kib);
}

void Mapper::mapLastPrg16(BusContext& context, uint16_t window) {
    const Cartridge* cart = context.cpu->cartridge;
    if (!cart || cart->prgSize < 1024) return;
    mapPrg(context, window, cart->lastPrgBank16(), 16);
}

void Mapper::mapChr(BusContext& context, uint16_t window, int32_t startKiB, int32_t kib) {
    Cartridge* cart = context.cpu->cartridge;
    if (!cart || kib < 0 || window + kib * 1024 > 0x2000) return;
    // Without CHR ROM the banks are the CHR RAM, known only once attached.
    const bool hasSource = cart->chrSize >= 1024 || (cart->chrSize == 0 && cart->chrRam);
    if (!hasSource) return;
    copyChrBanks(&context.ppu->vram[window], *cart, startKiB, kib);
}

void Mapper::put32(uint8_t* block, int32_t value) {
    const uint32_t u = uint32_t(value);
    for (int i = 0; i < 4; ++i) block[i] = uint8_t(u >> (8 * i));
}

int32_t Mapper::get32(const uint8_t* block) {
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u |= uint32_t(block[i]) << (8 * i);
    return int32_t(u);
}

std::unique_ptr<Mapper> createMapper(int32_t number) {
    switch (number) {
        case 0: return std::make_unique<NROM>();
        case 1: return std::make_unique<MMC1>();
        case 2: return std::make_unique<UxROM>();
        case 3: return std::make_unique<CNROM>();
        case 4: return std::make_unique<MMC3>();
        case 40: return std::make_unique<NTDEC2722>();
        default: return std::make_unique<DEFAULT_MAPPER>(number);
    }
}

void Mapper::serialize(StateStream&) {}

}  // namespace NES
