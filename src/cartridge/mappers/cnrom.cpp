// CNROM (mapper 3): fixed PRG, a switchable 8 KiB CHR bank shown by re-attaching.
#include "cartridge/mappers/mapper.h"

#include "cartridge/cartridge.h"
#include "cpu/cpu.h"
#include "ppu/ppu.h"
#include "state/state_stream.h"

namespace NES {

// Keeps a bank number inside the CHR ROM so the PPU's copy start stays small.
static int32_t wrapChrBank(const Cartridge& cart, int32_t kib) {
    if (cart.chrSize < 1024) return 0;
    const int32_t banks = cart.chrSize / 1024;
    return ((kib % banks) + banks) % banks;
}

// The PPU copies whole KiB from CHR ROM: less than one KiB is nothing to show.
static bool reattachable(const Cartridge* cart) { return cart && (cart->chrSize == 0 || cart->chrSize >= 1024); }

void CNROM::cpuWrite(BusContext& context, uint16_t address, uint8_t& value) {
    if (address < 0x8000) return;
    Cartridge* cart = context.cpu->cartridge;
    if (!reattachable(cart)) return;
    // An image without a whole 8 KiB bank has one bank: never divide by zero.
    const int32_t n = cart->chrSize / 8192;
    chrBank = n > 0 ? (value % n) * 8 : 0;
    context.ppu->chrBank = chrBank;
    context.ppu->attachCartridge(cart);
}

void CNROM::powerOn(BusContext& context) { mapPrg(context, 0x8000, 0, prgBanks(context, 1)); }

void CNROM::storeState(BusContext&, uint8_t* block) { put32(block, chrBank); }

void CNROM::restoreState(BusContext& context, const uint8_t* block) {
    Cartridge* cart = context.cpu->cartridge;
    if (!reattachable(cart)) return;
    chrBank = wrapChrBank(*cart, get32(block));
    context.ppu->chrBank = chrBank;
    context.ppu->attachCartridge(cart);
}

void CNROM::serialize(StateStream& s) { s.io(chrBank, 0, 1 << 24, "CNROM CHR bank"); }

}  // namespace NES
