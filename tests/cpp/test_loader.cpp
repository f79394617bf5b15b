// Header parsing for every form the loader accepts or refuses.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

// A header from byte 4 on, then `dataBytes` of zeros.
Bytes image(const Bytes& fields, size_t dataBytes) {
    Bytes bytes(16 + dataBytes, 0);
    std::copy(fields.begin(), fields.end(), std::copy_n("NES\x1A", 4, bytes.begin()));
    return bytes;
}

// The cartridge and what loading it printed.
struct Parsed {
    Cartridge cart;
    std::string out;
    explicit Parsed(const Bytes& bytes) {
        out = captureStdout([&] { cart.loadImage(bytes.data(), bytes.size()); });
    }
};

struct HeaderCase {
    const char* name;
    Bytes header;
    size_t data;
    int mapper;
    int32_t prg, chr, mirroring;
    bool battery, nes2;
    const char* out;
};

class Loader : public testing::TestWithParam<HeaderCase> {};

TEST_P(Loader, ParsesHeaderFields) {
    const HeaderCase& c = GetParam();
    Parsed p(image(c.header, c.data));
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
        HeaderCase{"nrom", {2, 1, 0x01, 0}, 40960, 0, 32768, 8192, Vertical, false, false, "No Battery\niNES\n1\n"},
        HeaderCase{"mmc1_battery", {1, 0, 0x12, 0}, 16384, 1, 16384, 0, Horizontal, true, false, "Battery\niNES\n0\n"},
        HeaderCase{"mmc3", {1, 0, 0x41, 0}, 16384, 4, 16384, 0, Vertical, false, false, "No Battery\niNES\n0\n"},
        HeaderCase{"mapper40",
                   {4, 1, 0x80, 0x20},
                   65536 + 8192,
                   40,
                   65536,
                   8192,
                   Horizontal,
                   false,
                   false,
                   "No Battery\niNES\n1\n"},
        HeaderCase{"unknown",
                   {1, 0, 0x80, 0},
                   16384,
                   8,
                   16384,
                   0,
                   Horizontal,
                   false,
                   false,
                   "No Battery\nUNRECOGNIZED MAPPER!\niNES\n0\n"},
        HeaderCase{
            "four_screen", {1, 0, 0x09, 0}, 16384, 0, 16384, 0, FourScreen, false, false, "No Battery\niNES\n0\n"},
        HeaderCase{"nes2_plain", {2, 0, 0, 0x08, 0, 0x00}, 32768, 0, 32768, 0, Horizontal, false, true, "No Battery\n"},
        HeaderCase{"nes2_high_bits",
                   {0, 1, 0x20, 0x08, 0, 0x01},
                   256 * 16384 + 8192,
                   2,
                   256 * 16384,
                   8192,
                   Horizontal,
                   false,
                   true,
                   "No Battery\n"},
        HeaderCase{
            "nes2_exponent", {0x1D, 0, 0, 0x08, 0, 0x0F}, 384, 0, 384, 0, Horizontal, false, true, "No Battery\n"},
        HeaderCase{"ines_2mib",
                   {0x80, 0, 0x10, 0},
                   2097152,
                   1,
                   2097152,
                   0,
                   Horizontal,
                   false,
                   false,
                   "No Battery\niNES\n0\n"}),
    [](const testing::TestParamInfo<HeaderCase>& info) { return std::string(info.param.name); });

TEST(LoaderTrainer, TrainerIsKeptAndPrgFollowsIt) {
    Bytes bytes = image({1, 0, 0x04, 0}, 512 + 16384);
    bytes[16] = 0xAA;
    bytes[16 + 511] = 0xBB;
    bytes[16 + 512] = 0xCC;
    Parsed p(bytes);
    EXPECT_EQ(p.cart.trainer[0], 0xAA);
    EXPECT_EQ(p.cart.trainer[511], 0xBB);
    EXPECT_EQ(p.cart.prgRom[0], 0xCC);
}

TEST(LoaderRefusal, WrongMagicOrShortHeaderLeavesNothing) {
    Bytes wrongMagic = image({2, 1}, 40960);
    wrongMagic[2] = 'Z';
    for (const Bytes& bytes : {wrongMagic, Bytes{'N', 'E', 'S'}}) {
        Parsed p(bytes);
        EXPECT_FALSE(p.cart.headerValid);
        EXPECT_EQ(p.out, "");
        EXPECT_EQ(p.cart.mapper, nullptr);
        EXPECT_THROW(p.cart.validate(), RomError);
    }
}

// Each refused for its own reason, and exactly as long as its bytes, so ASan
// catches an overread.
TEST(LoaderRefusal, ShortImagesAndSizesBeyond32BitsAreRefused) {
    const std::pair<Bytes, const char*> refused[] = {
        {Bytes{'N', 'E', 'S', 0x1A, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "shorter than its 16-byte header"},
        {image({1, 1}, 0), "declares 24592"},
        {image({1, 1}, 16383), "declares 24592"},
        {image({1, 1}, 16384 + 8191), "declares 24592"},
        {image({0xFC, 0, 0, 0x08, 0, 0x0F}, 0), "does not fit a 32-bit size"},  // NES 2.0: 2^63 bytes of PRG
    };
    for (const auto& [bytes, reason] : refused) {
        const Bytes exact(bytes.begin(), bytes.end());
        try {
            Parsed p(exact);
            ADD_FAILURE() << exact.size() << " bytes accepted";
        } catch (const RomError& e) {
            EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
        }
    }
}

TEST(BankArithmetic, BanksWrapPerKibInsideTheirRom) {
    Bytes bytes = image({3, 1, 0x10, 0}, 3 * 16384 + 8192);
    for (size_t kib = 0; kib < 48; ++kib) bytes[16 + kib * 1024] = uint8_t(kib);
    Parsed p(bytes);
    Cartridge& cart = p.cart;
    EXPECT_EQ(cart.prgBankSource(5)[0], 5);
    EXPECT_EQ(cart.prgBankSource(48 + 7)[0], 7);
    EXPECT_EQ(cart.lastPrgBank16(), 32);
    EXPECT_EQ(p.cart.chrBankSource(9), p.cart.chrBankSource(1));
    std::vector<uint8_t> memory(65536);
    TestAccess::showPrg(cart, memory.data(), 0xE000, 46, 4);  // 46, 47, 0, 1
    EXPECT_EQ(memory[0xE000], 46);
    EXPECT_EQ(memory[0xE800], 0);
    EXPECT_EQ(memory[0xEC00], 1);
    EXPECT_EQ(cart.prgPages[24], 46);
    EXPECT_EQ(cart.prgPages[27], 1);
}

}  // namespace
