// iNES and NES 2.0 image parsing.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "cartridge/cartridge.h"
#include "cartridge/mappers/boards.h"
#include "cartridge/mappers/mmc5.h"
#include "serial/checksum.h"

namespace {

constexpr uint8_t kMagic[4] = {0x4E, 0x45, 0x53, 0x1A};

// 2^E x (2M + 1): the NES 2.0 exponent-multiplier size form.
double exponentSize(uint8_t byte) {
    const int e = byte >> 2;
    const int m = byte & 3;
    return std::ldexp(double(2 * m + 1), e);
}

int32_t checkedSize(double bytes, const char* what) {
    if (bytes > 2147483647.0) {
        throw RomError(std::string("NES 2.0 ") + what + " size of " + std::to_string(bytes) +
                       " bytes does not fit a 32-bit size");
    }
    return int32_t(bytes);
}

}  // namespace

void Cartridge::loadImage(const uint8_t* image, size_t size) {
    if (size > 0) std::memcpy(header, image, size < 16 ? size : 16);  // an empty image may come with no pointer
    if (size < 4 || std::memcmp(image, kMagic, 4) != 0) return;
    if (size < 16) throw RomError("the image is " + std::to_string(size) + " bytes, shorter than its 16-byte header");

    headerValid = true;
    hasBattery = (header[6] >> 1) & 1;
    if (verbose) std::printf(hasBattery ? "Battery\n" : "No Battery\n");
    isNes2 = (header[7] & 0x0C) == 0x08;

    // The sizes the header declares; NES 2.0 adds high digits or an exponent form.
    double prgBytes = header[4] * 16384.0;
    double chrBytes = header[5] * 8192.0;
    if (isNes2) {
        const int p = header[9] & 0x0F;
        const int c = header[9] >> 4;
        prgBytes = p == 0x0F ? exponentSize(header[4]) : double(p * 256 + header[4]) * 16384;
        chrBytes = c == 0x0F ? exponentSize(header[5]) : double(c * 256 + header[5]) * 8192;
    }

    const int32_t n = (header[7] & 0xF0) | (header[6] >> 4);
    // Some boards come in variants told apart by the submapper or the CHR size.
    mapper = NES::createMapper(n, isNes2 ? header[8] >> 4 : 0, int64_t(std::min(chrBytes, 1e15)));
    if (verbose && !NES::emulatesMapper(n)) std::printf("UNRECOGNIZED MAPPER!\n");

    mirroring = (header[6] & 0x08) ? FourScreen : (header[6] & 0x01) ? Vertical : Horizontal;

    if (isNes2) {
        prgSize = checkedSize(prgBytes, "PRG ROM");
        chrSize = checkedSize(chrBytes, "CHR ROM");
    } else {
        if (verbose) {
            std::printf("iNES\n");
            std::printf("%i\n", header[5]);
        }
        prgSize = header[4] * 16384;
        chrSize = header[5] * 8192;
    }
    std::fflush(stdout);

    size_t offset = 16;
    const bool hasTrainer = header[6] & 0x04;
    const size_t needed = offset + (hasTrainer ? 512 : 0) + size_t(prgSize) + size_t(chrSize);
    if (size < needed) {
        throw RomError("the image is " + std::to_string(size) + " bytes, but its header declares " +
                       std::to_string(needed) + " (header, trainer, " + std::to_string(prgSize) +
                       " bytes of PRG ROM and " + std::to_string(chrSize) + " bytes of CHR ROM)");
    }
    if (hasTrainer) {
        std::memcpy(trainer, image + offset, 512);
        offset += 512;
    }
    prgRom.assign(image + offset, image + offset + prgSize);
    chrRom.assign(image + offset + prgSize, image + offset + prgSize + chrSize);
    romIdentity = hash64(chrRom.data(), chrRom.size(), hash64(prgRom.data(), prgRom.size(), uint64_t(prgSize)));
}

void Cartridge::loadBlankImage() {
    std::vector<uint8_t> blank(16 + 16384, 0);
    std::memcpy(blank.data(), kMagic, 4);
    blank[4] = 1;
    loadImage(blank.data(), blank.size());
}

void Cartridge::validate() const {
    if (!headerValid) throw RomError("not an iNES image: the first four bytes are not \"NES\" and 0x1A");
    if (prgSize <= 0 || prgSize % 1024 != 0) {
        throw RomError("PRG ROM of " + std::to_string(prgSize) + " bytes is not a whole, non-zero number of KiB");
    }
    if (chrSize % 1024 != 0) {
        throw RomError("CHR ROM of " + std::to_string(chrSize) + " bytes is not a whole number of KiB");
    }
    const int32_t n = mapper->number;
    if ((n == 0 || n == 3) && prgSize > 32768) {
        throw RomError("mapper " + std::to_string(n) + " holds at most 32 KiB of PRG ROM, the image has " +
                       std::to_string(prgSize / 1024) + " KiB");
    }
    if (n == 3 && chrSize == 0) throw RomError("mapper 3 (CNROM) needs CHR ROM, the image has none");
    // What the boards' bank registers can reach, and the fixed banks they need.
    struct Reach {
        int32_t mapper, minPrgKiB, maxPrgKiB, maxChrKiB;
        const char* board;
    };
    static constexpr Reach kReach[] = {
        {21, 16, 256, 512, "VRC4"},       {22, 16, 256, 256, "VRC2"},
        {23, 16, 256, 512, "VRC2/VRC4"},  {24, 16, 256, 256, "VRC6"},
        {25, 16, 256, 512, "VRC2/VRC4"},  {26, 16, 256, 256, "VRC6"},
        {28, 16, 8192, 32, "Action 53"},  {69, 16, 512, 256, "FME-7"},
        {16, 16, 256, 256, "Bandai FCG"}, {18, 16, 2048, 256, "Jaleco SS88006"},
        {32, 16, 256, 256, "Irem G-101"}, {33, 16, 512, 256, "Taito TC0190"},
        {68, 16, 256, 512, "Sunsoft-4"},  {73, 16, 128, 8, "VRC3"},
        {75, 16, 128, 128, "VRC1"},       {5, 8, 1024, 1024, "MMC5"},
        {19, 8, 512, 256, "Namco 163"},   {210, 8, 512, 256, "Namco 175/340"},
    };
    for (const Reach& r : kReach) {
        if (r.mapper != n) continue;
        const std::string board = "mapper " + std::to_string(n) + " (" + r.board + ")";
        if (prgSize < r.minPrgKiB * 1024 || prgSize > r.maxPrgKiB * 1024) {
            throw RomError(board + " takes " + std::to_string(r.minPrgKiB) + " to " + std::to_string(r.maxPrgKiB) +
                           " KiB of PRG ROM, the image has " + std::to_string(prgSize / 1024) + " KiB");
        }
        if (chrSize > r.maxChrKiB * 1024) {
            throw RomError(board + " reaches at most " + std::to_string(r.maxChrKiB) +
                           " KiB of CHR ROM, the image has " + std::to_string(chrSize / 1024) + " KiB");
        }
    }
    if (n == 5 && isNes2) {
        const int64_t bytes = nes2PrgRam();
        if (bytes > NES::MMC5::kMaxPrgRam) {
            throw RomError("mapper 5 (MMC5) reaches at most 128 KiB of PRG RAM, the NES 2.0 header declares " +
                           std::to_string(bytes / 1024) + " KiB");
        }
    }
}

int64_t Cartridge::nes2PrgRam() const {
    const auto size = [](int shift) { return shift == 0 ? int64_t(0) : int64_t(64) << shift; };
    return size(header[10] & 0x0F) + size(header[10] >> 4);
}

int32_t Cartridge::headerMapperNumber() const {
    const int32_t low = (header[7] & 0xF0) | (header[6] >> 4);
    return isNes2 ? low | ((header[8] & 0x0F) << 8) : low;
}

bool Cartridge::boardEmulated() const { return headerValid && NES::emulatesMapper(headerMapperNumber()); }

void Cartridge::requireEmulatedBoard() const {
    if (!headerValid || boardEmulated()) return;
    std::string numbers;
    for (const int32_t n : NES::emulatedMappers()) numbers += (numbers.empty() ? "" : ", ") + std::to_string(n);
    throw RomError("the cartridge uses mapper " + std::to_string(headerMapperNumber()) +
                   ", which velkora does not emulate (it runs mappers " + numbers + ")");
}
