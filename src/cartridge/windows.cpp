// The ROM windows: which bank each 1 KiB page of $8000-$FFFF and of the
// pattern tables shows, the copies that change it, and its snapshot form.
// A window's bytes follow from its bank number, so a snapshot holds the
// numbers, plus each page's differences from its bank when something other
// than the board may have written there (a memory view, a loaded state).
#include <cstring>

#include "cartridge/cartridge.h"
#include "cpu/cpu.h"
#include "ppu/ppu.h"
#include "serial/state_stream.h"

namespace {

constexpr size_t kPage = 1024;
constexpr uint16_t kPrgBase = 0x8000;
constexpr uint64_t kPrgMask = (uint64_t(1) << Cartridge::kPrgPages) - 1;
constexpr uint64_t kChrMask = ((uint64_t(1) << Cartridge::kChrPages) - 1) << Cartridge::kPrgPages;
alignas(8) constexpr uint8_t kZeros[kPage] = {};

int32_t wrap(int32_t bank, int32_t banks) { return ((bank % banks) + banks) % banks; }

}  // namespace

Cartridge::Cartridge() {
    for (int32_t& bank : prgPages) bank = kNoBank;
    for (int32_t& bank : chrPages) bank = kNoBank;
}

void Cartridge::showPrg(uint8_t* memory, uint16_t window, int32_t startKiB, int32_t kib) {
    const int32_t banks = prgBankCount();
    for (int32_t i = 0; i < kib; ++i) {
        const int32_t bank = wrap(startKiB + i, banks);
        const size_t at = window + size_t(i) * kPage;
        std::memcpy(memory + at, prgRom.data() + size_t(bank) * kPage, kPage);
        if (at < kPrgBase) continue;  // PRG RAM's range keeps its bytes
        const int page = int((at - kPrgBase) / kPage);
        prgPages[page] = bank;
        patchedPages &= ~(uint64_t(1) << page);
    }
}

void Cartridge::showChr(uint8_t* vram, uint16_t window, int32_t startKiB, int32_t kib) {
    for (int32_t i = 0; i < kib; ++i) {
        uint8_t* at = vram + window + size_t(i) * kPage;
        const int page = int(window / kPage) + i;
        if (chrSize == 0) {
            // CHR RAM banks are parts of the same RAM: move, don't copy.
            std::memmove(at, chrRam + size_t((startKiB + i) & 7) * kPage, kPage);
            continue;
        }
        const int32_t bank = wrap(startKiB + i, chrBankCount());
        std::memcpy(at, chrRom.data() + size_t(bank) * kPage, kPage);
        chrPages[page] = bank;
        patchedPages &= ~(uint64_t(1) << (kPrgPages + page));
    }
}

void Cartridge::swapPrg(uint8_t* memory, uint16_t a, uint16_t b, int32_t kib) {
    std::swap_ranges(memory + a, memory + a + size_t(kib) * kPage, memory + b);
    for (int32_t i = 0; i < kib; ++i) {
        const int pa = (a - kPrgBase) / int(kPage) + i, pb = (b - kPrgBase) / int(kPage) + i;
        std::swap(prgPages[pa], prgPages[pb]);
        const uint64_t ba = (patchedPages >> pa) & 1, bb = (patchedPages >> pb) & 1;
        patchedPages = (patchedPages & ~((uint64_t(1) << pa) | (uint64_t(1) << pb))) | (ba << pb) | (bb << pa);
    }
}

void Cartridge::swapChr(uint8_t* vram, uint16_t a, uint16_t b, int32_t kib) {
    std::swap_ranges(vram + a, vram + a + size_t(kib) * kPage, vram + b);
    if (chrSize == 0) return;
    for (int32_t i = 0; i < kib; ++i) {
        const int pa = a / int(kPage) + i, pb = b / int(kPage) + i;
        std::swap(chrPages[pa], chrPages[pb]);
        const int fa = kPrgPages + pa, fb = kPrgPages + pb;
        const uint64_t ba = (patchedPages >> fa) & 1, bb = (patchedPages >> fb) & 1;
        patchedPages = (patchedPages & ~((uint64_t(1) << fa) | (uint64_t(1) << fb))) | (ba << fb) | (bb << fa);
    }
}

const uint8_t* Cartridge::pageSource(int page) const {
    const int32_t bank = page < kPrgPages ? prgPages[page] : chrPages[page - kPrgPages];
    if (bank == kNoBank) return kZeros;
    return (page < kPrgPages ? prgRom.data() : chrRom.data()) + size_t(bank) * kPage;
}

uint8_t* Cartridge::pageIn(int page, uint8_t* memory, uint8_t* vram) const {
    return page < kPrgPages ? memory + kPrgBase + size_t(page) * kPage : vram + size_t(page - kPrgPages) * kPage;
}

bool Cartridge::matches(int page, const uint8_t* memory, const uint8_t* vram) const {
    return std::memcmp(pageIn(page, const_cast<uint8_t*>(memory), const_cast<uint8_t*>(vram)), pageSource(page),
                       kPage) == 0;
}

void Cartridge::findPages(const uint8_t* memory, const uint8_t* vram) {
    patchedPages = 0;
    const int pages = chrSize > 0 ? kPages : kPrgPages;
    for (int page = 0; page < pages; ++page) {
        if (matches(page, memory, vram)) continue;
        const bool prg = page < kPrgPages;
        int32_t& bank = prg ? prgPages[page] : chrPages[page - kPrgPages];
        const int32_t kept = bank;
        const int32_t banks = prg ? prgBankCount() : chrBankCount();
        bool found = false;
        for (int32_t b = 0; b < banks && !found; ++b) {
            bank = b;
            found = matches(page, memory, vram);
        }
        if (!found) {
            bank = kept;
            patchedPages |= uint64_t(1) << page;
        }
    }
}

void Cartridge::serializeWindows(StateStream& stream, CPU& cpu, PPU& ppu) {
    // Each mode gets its own copy of the fields (StateStream::withMode).
    stream.withMode([&](auto& s) __attribute__((always_inline)) {
        s.tag("BNK ");
        int32_t prg[kPrgPages], chr[kChrPages];
        std::memcpy(prg, prgPages, sizeof prg);
        std::memcpy(chr, chrPages, sizeof chr);
        s.io(prg, kNoBank, prgBankCount() - 1, "PRG window bank");
        s.io(chr, kNoBank, chrSize > 0 ? chrBankCount() - 1 : kNoBank, "CHR window bank");

        // Which pages may differ from their banks: all of a window a view was
        // handed out for, else those a load patched.
        uint64_t suspect = patchedPages;
        if (cpu.memoryShared) suspect |= kPrgMask;
        if (ppu.vramShared && chrSize > 0) suspect |= kChrMask;
        uint64_t differ = 0;
        if (s.writing()) {
            for (uint64_t rest = suspect; rest != 0; rest &= rest - 1) {
                const int page = __builtin_ctzll(rest);
                if (!matches(page, cpu.memory.data(), ppu.vram.data())) differ |= uint64_t(1) << page;
            }
        }
        differ = s.io(differ);
        s.require((differ & ~(kPrgMask | (chrSize > 0 ? kChrMask : 0))) == 0,
                  "it patches a window page that does not exist");

        uint8_t* memory = cpu.memory.data();
        uint8_t* vram = ppu.vram.data();
        if (s.loading()) {
            // Copy back only what may have changed: a page whose bank moved, or
            // whose bytes may not be its bank's.
            const uint64_t copy = suspect | differ;
            for (int page = 0; page < kPages; ++page) {
                const bool prgPage = page < kPrgPages;
                const int32_t bank = prgPage ? prg[page] : chr[page - kPrgPages];
                int32_t& shown = prgPage ? prgPages[page] : chrPages[page - kPrgPages];
                if (!prgPage && chrSize == 0) continue;
                if (bank == shown && !((copy >> page) & 1)) continue;
                shown = bank;
                std::memcpy(pageIn(page, memory, vram), pageSource(page), kPage);
            }
            patchedPages = differ;
        }
        alignas(8) uint8_t delta[kPage];
        for (uint64_t rest = differ; rest != 0; rest &= rest - 1) {
            const int page = __builtin_ctzll(rest);
            uint8_t* bytes = pageIn(page, memory, vram);
            const uint8_t* source = pageSource(page);
            if (s.writing()) {
                for (size_t i = 0; i < kPage; ++i) delta[i] = bytes[i] ^ source[i];
            }
            s.zeroRuns(delta, kPage, "window patch");
            if (s.loading()) {
                for (size_t i = 0; i < kPage; ++i) bytes[i] = source[i] ^ delta[i];
            }
        }
    });
}
