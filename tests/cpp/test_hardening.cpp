// Hostile cartridge images, replayed through the fuzz harness. The cases are
// the fuzzer's findings and the smallest images each board accepts; the
// sanitizer build turns any stray read, write or undefined operation into a
// failure, the plain build checks that each image is refused or runs.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "../fuzz/fuzz_one.h"
#include "test_support.h"

namespace {

// Header bytes 10-15 steer the harness (see fuzz_one.h): 15 = 13 is one frame.
Bytes header(uint8_t prg, uint8_t chr, int mapper, uint8_t flags6 = 0, bool nes2 = false, uint8_t byte9 = 0,
             uint8_t run = 13, uint8_t clock = 0) {
    return {'N',
            'E',
            'S',
            0x1A,
            prg,
            chr,
            uint8_t(((mapper & 0x0F) << 4) | flags6),
            uint8_t((mapper & 0xF0) | (nes2 ? 0x08 : 0)),
            0,
            byte9,
            0x09,
            0x81,
            0x48,
            0x22,
            clock,
            run};
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// PRG (whole KiB) that writes every board's registers and the PPU and APU
// ports, then loops; every KiB holds the code and the vectors.
Bytes busyPrg(size_t size) {
    Bytes code = {0x78, 0xD8, 0xA2, 0xFF, 0x9A};
    const uint16_t writes[][2] = {
        {0x2000, 0x80}, {0x2001, 0x1E}, {0x2006, 0x3F}, {0x2006, 0x00}, {0x2007, 0x30}, {0x4014, 0x07},
        {0x4015, 0x1F}, {0x4010, 0x8F}, {0x4013, 0xFF}, {0x4012, 0xFF}, {0x4017, 0x00}, {0x8000, 0x46},
        {0x8001, 0xFF}, {0x8000, 0x87}, {0x8001, 0x3F}, {0xA000, 0x80}, {0xC000, 0x01}, {0xC001, 0x00},
        {0xE001, 0x00}, {0xE000, 0xFF}, {0xA000, 0x00}, {0x8000, 0x80}, {0xFFFF, 0x1F}, {0x6000, 0x55},
    };
    for (const auto& w : writes) {
        const Bytes sta = {0xA9, uint8_t(w[1]), 0x8D, uint8_t(w[0]), uint8_t(w[0] >> 8)};
        code = code + sta;
    }
    // CLI; loop: LDA $2002; LDA $4016; CLV; BVC loop
    code = code + Bytes{0x58, 0xAD, 0x02, 0x20, 0xAD, 0x16, 0x40, 0xB8, 0x50, 0xF7};
    Bytes prg(size, 0xEA);
    for (size_t base = 0; base < size; base += 1024) {
        std::copy(code.begin(), code.end(), prg.begin() + base);
        // As the bank at $FC00: reset at its start, NMI and IRQ at an RTI at $FDFF.
        const Bytes vectors = {0xFF, 0xFD, 0x00, 0xFC, 0xFF, 0xFD};
        std::copy(vectors.begin(), vectors.end(), prg.begin() + base + 1024 - 6);
        prg[base + 0x1FF] = 0x40;
    }
    return prg;
}

Bytes filler(size_t size, uint8_t seed) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i) data[i] = uint8_t(i * 37 + seed + (i >> 5));
    return data;
}

// Ran: the program runs; Idle: accepted, but nothing is mapped at the reset
// vector (a 1 KiB NROM or CNROM image, an unknown board), so zeroes run.
enum class Outcome { Refused, Ran, Idle };

struct Case {
    const char* name;
    Bytes image;
    Outcome outcome;
};

std::vector<Case> cases() {
    const uint8_t kExp1K = 0x28;  // NES 2.0 exponent form: 2^10 x 1
    const uint8_t kExp3K = 0x29;  // 2^10 x 3
    const uint8_t kExp5K = 0x2A;  // 2^10 x 5
    const uint8_t kExp8K = 0x34;  // 2^13 x 1
    const Bytes nrom = header(1, 0, 0);
    return {
        // Found by the fuzzer: an empty image reached memcpy with a null source.
        {"empty", {}, Outcome::Refused},
        {"magic only", {'N', 'E', 'S', 0x1A}, Outcome::Refused},
        {"fifteen bytes", Bytes(nrom.begin(), nrom.begin() + 15), Outcome::Refused},
        {"header only", nrom, Outcome::Refused},
        {"one byte short", header(1, 1, 0) + busyPrg(16384) + filler(8191, 1), Outcome::Refused},
        {"trainer missing", header(1, 0, 0, 0x04) + busyPrg(16384), Outcome::Refused},
        {"nes2 size beyond 32 bits", header(0xFC, 0, 0, 0, true, 0x0F) + Bytes(64), Outcome::Refused},
        {"nes2 prg not whole KiB", header(0x1D, 0, 0, 0, true, 0x0F) + Bytes(384), Outcome::Refused},
        {"nes2 chr not whole KiB", header(kExp1K, 0x1D, 0, 0, true, 0xFF) + busyPrg(1024) + Bytes(384),
         Outcome::Refused},
        {"nrom 64 KiB", header(4, 0, 0) + busyPrg(65536), Outcome::Refused},
        {"cnrom without chr", header(1, 0, 3) + busyPrg(16384), Outcome::Refused},
        // The smallest images every board accepts, with CHR ROM smaller than one 8 KiB bank.
        {"nrom 1 KiB", header(kExp1K, 0, 0, 0, true, 0x0F) + busyPrg(1024), Outcome::Idle},
        {"mmc1 1 KiB", header(kExp1K, kExp1K, 1, 0, true, 0xFF) + busyPrg(1024) + filler(1024, 2), Outcome::Ran},
        {"uxrom 3 KiB", header(kExp3K, 0, 2, 0, true, 0x0F) + busyPrg(3072), Outcome::Ran},
        {"cnrom 1 KiB chr", header(kExp1K, kExp1K, 3, 0, true, 0xFF) + busyPrg(1024) + filler(1024, 3), Outcome::Idle},
        {"mmc3 3 KiB", header(kExp3K, kExp3K, 4, 0, true, 0xFF) + busyPrg(3072) + filler(3072, 4), Outcome::Ran},
        {"mmc3 chr ram", header(kExp1K, 0, 4, 0, true, 0x0F) + busyPrg(1024), Outcome::Ran},
        {"ntdec2722 1 KiB", header(kExp1K, 0, 40, 0, true, 0x0F) + busyPrg(1024), Outcome::Ran},
        {"ntdec2722 5 KiB", header(kExp5K, kExp1K, 40, 0, true, 0xFF) + busyPrg(5120) + filler(1024, 5), Outcome::Ran},
        {"unknown board 255", header(kExp1K, 0, 255, 0, true, 0x0F) + busyPrg(1024), Outcome::Idle},
        {"mmc5 8 KiB, 1 KiB chr", header(kExp8K, kExp1K, 5, 0, true, 0xFF) + busyPrg(8192) + filler(1024, 11),
         Outcome::Ran},
        {"mmc5 chr ram", header(kExp8K, 0, 5, 0, true, 0x0F) + busyPrg(8192), Outcome::Ran},
        {"mmc5 3 KiB", header(kExp3K, 0, 5, 0, true, 0x0F) + busyPrg(3072), Outcome::Refused},
        {"namco163 8 KiB, 3 KiB chr", header(kExp8K, kExp3K, 19, 0, true, 0xFF) + busyPrg(8192) + filler(3072, 12),
         Outcome::Ran},
        {"namco340 chr ram", header(kExp8K, 0, 210, 0, true, 0x0F) + busyPrg(8192), Outcome::Ran},
        // Header variants, the other clock choices, and trailing bytes.
        {"four screen battery trainer",
         header(1, 1, 4, 0x0F, false, 0, 15, 1) + filler(512, 6) + busyPrg(16384) + filler(8192, 7), Outcome::Ran},
        {"clock 2 Hz", header(1, 0, 1, 0x01, false, 0, 13, 2) + busyPrg(16384), Outcome::Ran},
        {"double clock, trailing bytes",
         header(2, 1, 2, 0, false, 0, 14, 3) + busyPrg(32768) + filler(8192, 8) + filler(77, 9), Outcome::Ran},
        {"budget runs", header(1, 2, 3, 0, false, 0, 12) + busyPrg(16384) + filler(16384, 10), Outcome::Ran},
    };
}

class Hardening : public ::testing::TestWithParam<size_t> {
protected:
    // Save folders go to a private directory.
    static void SetUpTestSuite() { home = std::make_unique<TempDir>(/*asDataHome=*/true); }
    static void TearDownTestSuite() { home.reset(); }
    static std::unique_ptr<TempDir> home;
};
std::unique_ptr<TempDir> Hardening::home;

}  // namespace

TEST_P(Hardening, ImageIsRefusedOrRuns) {
    const Case c = cases()[GetParam()];
    SCOPED_TRACE(c.name);
    const fuzzcase::Plan plan = fuzzcase::planFor(c.image.data(), c.image.size());
    std::unique_ptr<NESUnit> unit = fuzzcase::build(c.image.data(), c.image.size(), plan);
    ASSERT_EQ(unit != nullptr, c.outcome != Outcome::Refused);
    if (!unit) return;
    fuzzcase::play(*unit, plan);
    EXPECT_GE(unit->cycleCount(), plan.cycles);
    EXPECT_EQ(unit->frameCount(), plan.frames);
    EXPECT_EQ(int64_t(unit->ppu->totalDots), 3 * unit->cycleCount());
    EXPECT_EQ(int64_t(unit->apu->apuCycles), (unit->cycleCount() + 1) / 2);
    // The busy program reached its PPUMASK write, or (PRG not at the reset
    // vector) the CPU ran the zeroes there instead.
    EXPECT_EQ(unit->cpu->memory[0x2001] == 0x1E, c.outcome == Outcome::Ran);
}

INSTANTIATE_TEST_SUITE_P(Images, Hardening, ::testing::Range<size_t>(0, cases().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             std::string name = cases()[info.param].name;
                             for (char& ch : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             }
                             return name;
                         });

// The empty image reaches the loader through every constructor that takes one.
TEST(HardeningEmptyImage, EveryConstructorRefusesIt) {
    Cartridge cartridge;
    cartridge.loadImage(nullptr, 0);
    EXPECT_FALSE(cartridge.headerValid);
    EXPECT_THROW(cartridge.validate(), RomError);
    EXPECT_THROW(NESUnit("empty.nes", Bytes{}, NESUnit::kDefaultClock), RomError);

    TempDir folder;
    const std::string path = folder.path + "/empty.nes";
    std::ofstream{path};
    EXPECT_THROW(NESUnit(path, NESUnit::kDefaultClock), RomError);
}
