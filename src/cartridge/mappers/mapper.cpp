// The board base class, the bank copies the boards share, and board creation.
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

void Mapper::put32(uint8_t* block, int32_t value) {
    const uint32_t u = uint32_t(value);
    for (int i = 0; i < 4; ++i) block[i] = uint8_t(u >> (8 * i));
}

int32_t Mapper::get32(const uint8_t* block) {
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u |= uint32_t(block[i]) << (8 * i);
    return int32_t(u);
}

std::unique_ptr<Mapper> createMapper(int32_t number, int32_t submapper, int64_t chrBytes) {
    switch (number) {
        case 0: return std::make_unique<NROM>();
        case 1: return std::make_unique<MMC1>();
        case 2: return std::make_unique<UxROM>();
        case 3: return std::make_unique<CNROM>();
        case 4: return std::make_unique<MMC3>();
        case 5: return std::make_unique<MMC5>();
        case 7: return std::make_unique<AxROM>();
        case 9: return std::make_unique<MMC2>(false);
        case 10: return std::make_unique<MMC2>(true);
        case 11: return std::make_unique<ColorDreams>();
        case 19: return std::make_unique<Namco163>(Namco163::Chip::N163, true, submapper);
        case 13: return std::make_unique<CPROM>();
        case 16: return std::make_unique<BandaiFCG>(submapper);
        case 18: return std::make_unique<SS88006>();
        case 21:
        case 22:
        case 23:
        case 25: return std::make_unique<VRC2_4>(number, submapper);
        case 24: return std::make_unique<VRC6>(false);
        case 26: return std::make_unique<VRC6>(true);
        case 28: return std::make_unique<Action53>();
        case 32: return std::make_unique<IremG101>(submapper == 1);
        case 33: return std::make_unique<TaitoTC0190>();
        // NINA-001 has two CHR ROM banks of 4 KiB or more; BNROM at most 8 KiB.
        case 34: return std::make_unique<BNROM>(chrBytes > 8192 || submapper == 1);
        case 40: return std::make_unique<NTDEC2722>();
        case 48: return std::make_unique<TaitoTC0690>();
        case 66: return std::make_unique<GxROM>();
        case 68: return std::make_unique<Sunsoft4>();
        case 69: return std::make_unique<FME7>();
        case 71: return std::make_unique<Camerica>(submapper == 1);
        case 73: return std::make_unique<VRC3>();
        case 75: return std::make_unique<VRC1>();
        case 79: return std::make_unique<NINA03>();
        case 85: return std::make_unique<VRC7>(submapper);
        case 180: return std::make_unique<UNROM180>();
        case 210:
            return std::make_unique<Namco163>(submapper == 2 ? Namco163::Chip::N340 : Namco163::Chip::N175,
                                              submapper == 1 || submapper == 2);
        case 206: return std::make_unique<Namco108>();
        default: return std::make_unique<DEFAULT_MAPPER>(number);
    }
}

const std::vector<int32_t>& emulatedMappers() {
    static const std::vector<int32_t> numbers = [] {
        std::vector<int32_t> found;
        for (int32_t n = 0; n < 256; ++n) {
            if (!dynamic_cast<DEFAULT_MAPPER*>(createMapper(n).get())) found.push_back(n);
        }
        return found;
    }();
    return numbers;
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
