// Header parsing for every form the loader accepts or refuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cartridge/cartridge.h"

namespace {

std::vector<uint8_t> image(std::vector<uint8_t> header, size_t dataBytes) {
    header.resize(16, 0);
    header.resize(16 + dataBytes, 0);
    return header;
}

struct Parsed {
    std::string out;
    Cartridge cart;
};

void parse(Parsed& p, const std::vector<uint8_t>& bytes) {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    try {
        p.cart.loadImage(bytes.data(), bytes.size());
    } catch (...) {
        p.out = testing::internal::GetCapturedStdout();
        throw;
    }
    p.out = testing::internal::GetCapturedStdout();
}

}  // namespace

struct HeaderCase {
    const char* name;
    std::vector<uint8_t> header;
    size_t data;
    int mapper;
    int32_t prg, chr, mirroring;
    bool battery, nes2;
    const char* out;
};

class Loader : public testing::TestWithParam<HeaderCase> {};

TEST_P(Loader, ParsesHeaderFields) {
    const HeaderCase& c = GetParam();
    Parsed p;
    parse(p, image(c.header, c.data));
    ASSERT_TRUE(p.cart.headerValid);
    EXPECT_EQ(p.cart.mapper->number, c.mapper);
    EXPECT_EQ(p.cart.prgSize, c.prg);
    EXPECT_EQ(p.cart.chrSize, c.chr);
    EXPECT_EQ(p.cart.mirroring, c.mirroring);
    EXPECT_EQ(bool(p.cart.hasBattery), c.battery);
    EXPECT_EQ(p.cart.isNes2, c.nes2);
    EXPECT_EQ(p.out, c.out);
    EXPECT_EQ(p.cart.prgRom.size(), size_t(c.prg));
    EXPECT_EQ(p.cart.chrRom.size(), size_t(c.chr));
}

INSTANTIATE_TEST_SUITE_P(
    Headers, Loader,
    testing::Values(
        HeaderCase{"nrom", {'N', 'E', 'S', 0x1A, 2, 1, 0x01, 0}, 40960, 0, 32768, 8192, Vertical, false, false,
                   "No Battery\niNES\n1\n"},
        HeaderCase{"mmc1_battery", {'N', 'E', 'S', 0x1A, 1, 0, 0x12, 0}, 16384, 1, 16384, 0, Horizontal, true,
                   false, "Battery\niNES\n0\n"},
        HeaderCase{"mmc3", {'N', 'E', 'S', 0x1A, 1, 0, 0x41, 0}, 16384, 4, 16384, 0, Vertical, false, false,
                   "No Battery\niNES\n0\n"},
        HeaderCase{"mapper40", {'N', 'E', 'S', 0x1A, 4, 1, 0x80, 0x20}, 65536 + 8192, 40, 65536, 8192, Horizontal,
                   false, false, "No Battery\niNES\n1\n"},
        HeaderCase{"unknown", {'N', 'E', 'S', 0x1A, 1, 0, 0x70, 0}, 16384, 7, 16384, 0, Horizontal, false, false,
                   "No Battery\nUNRECOGNIZED MAPPER!\niNES\n0\n"},
        HeaderCase{"four_screen", {'N', 'E', 'S', 0x1A, 1, 0, 0x09, 0}, 16384, 0, 16384, 0, FourScreen, false, false,
                   "No Battery\niNES\n0\n"},
        HeaderCase{"nes2_plain", {'N', 'E', 'S', 0x1A, 2, 0, 0, 0x08, 0, 0x00}, 32768, 0, 32768, 0, Horizontal, false,
                   true, "No Battery\n"},
        HeaderCase{"nes2_high_bits", {'N', 'E', 'S', 0x1A, 0, 1, 0x20, 0x08, 0, 0x01}, 256 * 16384 + 8192, 2,
                   256 * 16384, 8192, Horizontal, false, true, "No Battery\n"},
        HeaderCase{"nes2_exponent", {'N', 'E', 'S', 0x1A, 0x1D, 0, 0, 0x08, 0, 0x0F}, 384, 0, 384, 0, Horizontal,
                   false, true, "No Battery\n"},
        HeaderCase{"ines_2mib", {'N', 'E', 'S', 0x1A, 0x80, 0, 0x10, 0}, 2097152, 1, 2097152, 0, Horizontal, false,
                   false, "No Battery\niNES\n0\n"}),
    [](const testing::TestParamInfo<HeaderCase>& info) { return std::string(info.param.name); });

TEST(LoaderTrainer, TrainerIsKeptAndPrgFollowsIt) {
    std::vector<uint8_t> bytes = image({'N', 'E', 'S', 0x1A, 1, 0, 0x04, 0}, 512 + 16384);
    bytes[16] = 0xAA;
    bytes[16 + 511] = 0xBB;
    bytes[16 + 512] = 0xCC;
    Parsed p;
    parse(p, bytes);
    EXPECT_EQ(p.cart.trainer[0], 0xAA);
    EXPECT_EQ(p.cart.trainer[511], 0xBB);
    EXPECT_EQ(p.cart.prgRom[0], 0xCC);
}

TEST(LoaderRefusal, WrongMagicLeavesNothing) {
    Parsed p;
    parse(p, image({'N', 'E', 'Z', 0x1A, 2, 1}, 40960));
    EXPECT_FALSE(p.cart.headerValid);
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.cart.mapper, nullptr);
    EXPECT_THROW(p.cart.validate(), RomError);
}

TEST(LoaderRefusal, ShortImagesNeverReadPastTheirEnd) {
    // Exactly one byte short, as a heap buffer of that size: ASan catches an overread.
    for (size_t data : {size_t(0), size_t(16383), size_t(16384 + 8191)}) {
        std::vector<uint8_t> bytes = image({'N', 'E', 'S', 0x1A, 1, 1}, data);
        bytes.shrink_to_fit();
        Parsed p;
        EXPECT_THROW(parse(p, bytes), RomError) << data;
    }
    const uint8_t tiny[3] = {'N', 'E', 'S'};
    Cartridge cart;
    cart.loadImage(tiny, sizeof tiny);
    EXPECT_FALSE(cart.headerValid);
}

TEST(LoaderRefusal, Nes2SizesBeyond32BitsAreRefused) {
    Parsed p;
    EXPECT_THROW(parse(p, image({'N', 'E', 'S', 0x1A, 0xFC, 0, 0, 0x08, 0, 0x0F}, 0)), RomError);
}

TEST(BankArithmetic, BanksWrapPerKibInsideTheirRom) {
    Parsed p;
    std::vector<uint8_t> bytes = image({'N', 'E', 'S', 0x1A, 3, 1, 0x10, 0}, 3 * 16384 + 8192);
    for (size_t kib = 0; kib < 48; ++kib) bytes[16 + kib * 1024] = uint8_t(kib);
    parse(p, bytes);
    const Cartridge& cart = p.cart;
    EXPECT_EQ(cart.prgBankSource(5)[0], 5);
    EXPECT_EQ(cart.prgBankSource(48 + 7)[0], 7);
    EXPECT_EQ(cart.lastPrgBank16(), 32);
    EXPECT_EQ(p.cart.chrBankSource(9), p.cart.chrBankSource(1));
    uint8_t window[4096];
    copyPrgBanks(window, cart, 46, 4);  // 46, 47, 0, 1
    EXPECT_EQ(window[0], 46);
    EXPECT_EQ(window[2048], 0);
    EXPECT_EQ(window[3072], 1);
}
