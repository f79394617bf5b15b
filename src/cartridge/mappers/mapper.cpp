// The board base class and the bank copies the boards share.
#include "cartridge/mappers/mapper.h"

#include <cstring>

#include "cartridge/cartridge.h"
#include "cpu/cpu.h"
#include "ppu/ppu.h"
#include "serial/state_stream.h"

namespace NES {

void Mapper::cpuWrite(BusContext&, uint16_t, uint8_t&) {}
void Mapper::cpuRead(BusContext&, uint16_t) {}
void Mapper::onDot(BusContext&) {}
void Mapper::storeState(BusContext&, uint8_t*) {}
void Mapper::restoreState(BusContext&, const uint8_t*) {}
Mapper::~Mapper() = default;

// The CPU's windows end at $FFFF: a copy never runs past the array.
static bool fitsCpuWindow(uint16_t window, int32_t kib) { return kib >= 0 && int32_t(window) + kib * 1024 <= 0x10000; }

void Mapper::mapPrg(BusContext& context, uint16_t window, int32_t startKiB, int32_t kib) {
    Cartridge* cart = context.cpu->cartridge;
    if (!cart || cart->prgSize < 1024 || !fitsCpuWindow(window, kib)) return;
    cart->showPrg(context.cpu->memory.data(), window, startKiB, kib);
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
    cart->showChr(context.ppu->vram.data(), window, startKiB, kib);
}

void Mapper::mapPrg8Pair(BusContext& context, const uint8_t (&banks)[2], bool swapped) {
    const int32_t secondLast = prgBanks(context, 8) - 2;
    mapPrg(context, 0x8000, (swapped ? secondLast : banks[0]) * 8, 8);
    mapPrg(context, 0xA000, banks[1] * 8, 8);
    mapPrg(context, 0xC000, (swapped ? banks[0] : secondLast) * 8, 8);
    mapPrg(context, 0xE000, (secondLast + 1) * 8, 8);
}

void Mapper::swapPrg(BusContext& context, uint16_t a, uint16_t b, int32_t kib) {
    Cartridge* cart = context.cpu->cartridge;
    if (!cart || a < 0x8000 || b < 0x8000 || !fitsCpuWindow(a, kib) || !fitsCpuWindow(b, kib)) return;
    cart->swapPrg(context.cpu->memory.data(), a, b, kib);
}

void Mapper::swapChr(BusContext& context, uint16_t a, uint16_t b, int32_t kib) {
    Cartridge* cart = context.cpu->cartridge;
    if (!cart || kib < 0 || a + kib * 1024 > 0x2000 || b + kib * 1024 > 0x2000) return;
    cart->swapChr(context.ppu->vram.data(), a, b, kib);
}

static bool fitsPatternTables(uint16_t window, int32_t bytes) { return bytes >= 0 && window + bytes <= 0x2000; }

void Mapper::saveChrRam(BusContext& context, uint16_t window, uint8_t* to, int32_t bytes) {
    if (fitsPatternTables(window, bytes)) std::memcpy(to, &context.ppu->vram[window], size_t(bytes));
}

void Mapper::loadChrRam(BusContext& context, uint16_t window, const uint8_t* from, int32_t bytes) {
    if (fitsPatternTables(window, bytes)) std::memcpy(&context.ppu->vram[window], from, size_t(bytes));
}

void Mapper::sharePatternTables(BusContext& context, bool shared) { context.ppu->patternTablesShared = shared; }

void Mapper::setMirroring(BusContext& context, int32_t mode, int32_t page) {
    // A four-screen cartridge brings its own nametable RAM: the board's
    // mirroring lines reach nothing.
    const Cartridge* cart = context.cpu->cartridge;
    if (cart && cart->mirroring == FourScreen) return;
    context.ppu->setMirroring(mode, page);
}

void Mapper::selectMirroring(BusContext& context, int bits) {
    if (bits < 2) setMirroring(context, bits ? Horizontal : Vertical);
    else setMirroring(context, SingleScreen, bits & 1);
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

void Mapper::raiseIrq(BusContext& context, int64_t atCycle) {
    if (hardware) context.cpu->setIrq(CPU::kIrqBoard, true, atCycle);
    else context.cpu->irqPending = true;
}

void Mapper::releaseIrq(BusContext& context, int64_t atCycle) {
    if (hardware) context.cpu->setIrq(CPU::kIrqBoard, false, atCycle);
}

void Mapper::serialize(StateStream&) {}
void Mapper::powerOn(BusContext&) {}
void Mapper::onPatternFetch(BusContext&, uint16_t) {}
void Mapper::onA12Rise(BusContext&, int64_t) {}

// The poll of cycle c sees what the board did at the dots before
// 3c + kIrqSampleDot (mmc3_test_2's 4-scanline_timing measures it).
static constexpr int64_t kIrqSampleDot = 1;

int64_t Mapper::cycleSeeing(int64_t dot) {
    const int64_t d = dot - kIrqSampleDot;
    return (d >= 0 ? d / 3 : -((2 - d) / 3)) + 1;
}

int32_t Mapper::prgBanks(const BusContext& context, int32_t kib) {
    const Cartridge* cart = context.cpu->cartridge;
    return cart && cart->prgSize >= kib * 1024 ? cart->prgSize / (kib * 1024) : 1;
}

int32_t Mapper::chrBanks(const BusContext& context, int32_t kib) {
    const Cartridge* cart = context.cpu->cartridge;
    return cart && cart->chrSize >= kib * 1024 ? cart->chrSize / (kib * 1024) : 1;
}

}  // namespace NES
