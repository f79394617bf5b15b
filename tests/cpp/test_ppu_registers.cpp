// The CPU-visible side of the PPU: $2000-$2007, the address latches,
// mirroring, and the vertical-blank race around PPUSTATUS reads.
#include "test_support.h"

#include <string>

#include "cartridge/cartridge.h"
#include "cartridge/mappers/nrom.h"

// --- mirrorAddress ---------------------------------------------------------

struct FoldCase {
    int32_t mirroring;
    uint16_t address;
    uint16_t folded;
};

class MirrorAddress : public PpuTest, public ::testing::WithParamInterface<FoldCase> {};

TEST_P(MirrorAddress, Folds) {
    const FoldCase c = GetParam();
    TestAccess::mirroring(*ppu) = c.mirroring;
    EXPECT_EQ(ppu->mirrorAddress(c.address), c.folded)
        << "mode " << c.mirroring << " address " << std::hex << c.address;
}

INSTANTIATE_TEST_SUITE_P(AllModes, MirrorAddress,
                         ::testing::Values(
                             // Horizontal: bit 10 cleared.
                             FoldCase{0, 0x2000, 0x2000}, FoldCase{0, 0x2400, 0x2000}, FoldCase{0, 0x2815, 0x2815},
                             FoldCase{0, 0x2C15, 0x2815}, FoldCase{0, 0x27FF, 0x23FF},
                             // Vertical: bit 11 cleared.
                             FoldCase{1, 0x2400, 0x2400}, FoldCase{1, 0x2800, 0x2000}, FoldCase{1, 0x2C33, 0x2433},
                             // Four-screen: untouched.
                             FoldCase{2, 0x2400, 0x2400}, FoldCase{2, 0x2C33, 0x2C33},
                             // Single-screen: everything on $2000-$23FF.
                             FoldCase{3, 0x2400, 0x2000}, FoldCase{3, 0x2BC1, 0x23C1}, FoldCase{3, 0x2FFF, 0x23FF},
                             // Unknown modes fold nothing.
                             FoldCase{7, 0x2C00, 0x2C00},
                             // $3000-$3EFF: moved down once, not folded again.
                             FoldCase{0, 0x3400, 0x2400}, FoldCase{1, 0x3800, 0x2800}, FoldCase{0, 0x3EFF, 0x2EFF},
                             // Palette: sprite backdrop entries share the background ones; $3F30 does not.
                             FoldCase{0, 0x3F10, 0x3F00}, FoldCase{0, 0x3F14, 0x3F04}, FoldCase{0, 0x3F1C, 0x3F0C},
                             FoldCase{0, 0x3F11, 0x3F11}, FoldCase{0, 0x3F25, 0x3F05}, FoldCase{0, 0x3F30, 0x3F10},
                             FoldCase{0, 0x3FFF, 0x3F1F},
                             // Pattern tables and everything else: unchanged.
                             FoldCase{0, 0x0000, 0x0000}, FoldCase{0, 0x1FFF, 0x1FFF}));

TEST_F(PpuTest, NametableWritesAreSeenThroughTheirMirrors) {
    struct Case {
        int32_t mode;
        uint16_t writeAt;
        uint16_t readAt;
    };
    for (const Case c :
         {Case{1, 0x2805, 0x2005}, Case{0, 0x2405, 0x2005}, Case{3, 0x2C05, 0x2405}, Case{3, 0x2805, 0x2005}}) {
        ppu->vram.fill(0);
        TestAccess::mirroring(*ppu) = c.mode;
        setAddress(c.writeAt);
        write(0x2007, 0x5A);
        setAddress(c.readAt);
        read(0x2007);
        EXPECT_EQ(read(0x2007), 0x5A) << "mode " << c.mode << std::hex << " via " << c.writeAt;
    }
}

// --- PPUDATA ---------------------------------------------------------------

TEST_F(PpuTest, PaletteWritesFoldAndReadsAreNotBuffered) {
    setAddress(0x3F10);
    EXPECT_EQ(ppu->v, 0x3F10);
    write(0x2007, 0x2A);
    EXPECT_EQ(ppu->vram[0x3F00], 0x2A);
    EXPECT_EQ(ppu->vram[0x3F10], 0x00);
    EXPECT_EQ(ppu->v, 0x3F11);

    ppu->readBuffer = 0x77;
    setAddress(0x3F00);
    EXPECT_EQ(read(0x2007), 0x2A);
    EXPECT_EQ(ppu->readBuffer, 0x77) << "a palette read leaves the buffer alone";

    // $3F30 reaches the byte at $3F10, which $3F10 itself never shows.
    setAddress(0x3F30);
    write(0x2007, 0x15);
    EXPECT_EQ(ppu->vram[0x3F10], 0x15);
    setAddress(0x3F10);
    EXPECT_EQ(read(0x2007), 0x2A);

    // All eight bits are kept.
    setAddress(0x3F05);
    write(0x2007, 0xC7);
    setAddress(0x3F05);
    EXPECT_EQ(read(0x2007), 0xC7);
}

TEST_F(PpuTest, BufferedReadsLagByOne) {
    ppu->vram[0x2000] = 0x11;
    ppu->vram[0x2001] = 0x22;
    ppu->readBuffer = 0x99;
    setAddress(0x2000);
    EXPECT_EQ(read(0x2007), 0x99);
    EXPECT_EQ(read(0x2007), 0x11);
    EXPECT_EQ(read(0x2007), 0x22);
    EXPECT_EQ(ppu->v, 0x2003);
}

TEST_F(PpuTest, DataAddressIncrementFollowsPpuctrlBit2) {
    for (const bool down : {false, true}) {
        write(0x2000, down ? 0x04 : 0x00);
        setAddress(0x2000);
        write(0x2007, 1);
        EXPECT_EQ(ppu->v, down ? 0x2020 : 0x2001);
        read(0x2007);
        EXPECT_EQ(ppu->v, down ? 0x2040 : 0x2002);
    }
}

TEST_F(PpuTest, DataAddressIsAPlainSixteenBitCounter) {
    // Only the low 14 bits address memory; v itself is never wrapped.
    write(0x2000, 0x00);
    ppu->v = 0x7FFF;
    write(0x2007, 0x3C);
    EXPECT_EQ(ppu->vram[0x3F1F], 0x3C);
    EXPECT_EQ(ppu->v, 0x8000);
    ppu->v = 0xFFFF;
    write(0x2007, 0x3D);
    EXPECT_EQ(ppu->v, 0x0000);
}

TEST_F(PpuTest, DataTraceFollowsTheCpuDebugSwitch) {
    setAddress(0x2005);
    EXPECT_EQ(captureStdout([&] { write(0x2007, 0xAB); }), "");
    cpu->debug = true;
    ppu->v = 0x6345;  // a = $2345
    EXPECT_EQ(captureStdout([&] { write(0x2007, 0x0C); }), "ppu->2345: 0c\nv changed to 25414\n");
}

// --- t, v, fineX and w -----------------------------------------------------

TEST_F(PpuTest, ScrollAndAddressWritesBuildT) {
    struct Step {
        uint16_t address;
        uint8_t value;
        uint16_t t;
        uint16_t v;
        uint8_t fineX;
        bool w;
    };
    // The classic sequence: nametable, scroll X, scroll Y, then an address pair.
    const Step steps[] = {
        {0x2000, 0x00, 0x0000, 0x0000, 0, false},
        {0x2005, 0x7D, 0x000F, 0x0000, 5, true},
        {0x2005, 0x5E, 0x616F, 0x0000, 5, false},
        {0x2006, 0x3D, 0x3D6F, 0x0000, 5, true},  // bit 14 (top of fine Y) cleared
        {0x2006, 0xF0, 0x3DF0, 0x3DF0, 5, false},
        {0x2000, 0x03, 0x3DF0, 0x3DF0, 5, false},  // bits 10-11 were already set
        {0x2000, 0x01, 0x35F0, 0x3DF0, 5, false},
        {0x2005, 0xFF, 0x35FF, 0x3DF0, 7, true},
        {0x2005, 0xFF, 0x77FF, 0x3DF0, 7, false},
        {0x2006, 0xFF, 0x3FFF, 0x3DF0, 7, true},
    };
    for (const Step& s : steps) {
        write(s.address, s.value);
        EXPECT_EQ(ppu->t, s.t) << std::hex << s.address << " <- " << int(s.value);
        EXPECT_EQ(ppu->v, s.v) << std::hex << s.address << " <- " << int(s.value);
        EXPECT_EQ(ppu->fineX, s.fineX);
        EXPECT_EQ(ppu->w, s.w);
    }
    EXPECT_EQ(cpu->memory[0x2000], 0x01);
}

// --- OAMADDR / OAMDATA -----------------------------------------------------

TEST_F(PpuTest, OamDataMasksAttributeBytesAndWrapsTheAddress) {
    struct Case {
        uint8_t start;
        uint8_t value;
        uint8_t stored;
        uint8_t next;
    };
    for (const Case c : {Case{0, 0xFF, 0xFF, 1}, Case{1, 0xFF, 0xFF, 2}, Case{2, 0xFF, 0xE3, 3}, Case{3, 0xFF, 0xFF, 4},
                         Case{0x86, 0x1C, 0x00, 0x87}, Case{255, 0x42, 0x42, 0}}) {
        write(0x2003, c.start);
        write(0x2004, c.value);
        EXPECT_EQ(ppu->oam[c.start], c.stored) << "oamAddr " << int(c.start);
        EXPECT_EQ(ppu->oamAddr, c.next);
    }
    write(0x2004, 0x24);
    EXPECT_EQ(ppu->oam[0], 0x24) << "after 255 the next write goes to index 0";
    write(0x2003, 0);
    EXPECT_EQ(read(0x2004), 0x24);
    EXPECT_EQ(ppu->oamAddr, 0) << "OAMDATA reads do not advance";
}

// --- PPUSTATUS and vertical blank -----------------------------------------

TEST_F(PpuTest, VerticalBlankStartsAtLine241Dot1AndEndsAtLine261Dot1) {
    runTo(241, 1);
    EXPECT_FALSE(ppu->vblank);
    EXPECT_EQ(cpu->memory[0x2002] & 0x80, 0);
    ppu->stepDot();
    EXPECT_TRUE(ppu->vblank);
    EXPECT_TRUE(ppu->nmiOccurred);
    EXPECT_EQ(cpu->memory[0x2002] & 0x80, 0x80);

    cpu->memory[0x2002] |= 0x60;  // hit and overflow are cleared with it
    runTo(261, 1);
    EXPECT_TRUE(ppu->nmiOccurred);
    ppu->stepDot();
    EXPECT_FALSE(ppu->vblank);
    EXPECT_FALSE(ppu->nmiOccurred);
    EXPECT_EQ(cpu->memory[0x2002] & 0xE0, 0);
}

TEST_F(PpuTest, StatusReadPositions) {
    struct Case {
        int line, dot;
        uint8_t returned;   // with $E5 stored before the read
        bool nmiAfterRead;  // nmiOccurred was true before the read
        bool suppressed;
    };
    const Case cases[] = {
        {241, 1, 0x65, false, true},  {241, 2, 0xE5, false, true},   {241, 3, 0xE5, false, false},
        {261, 2, 0x65, true, false},  {261, 200, 0x65, true, false}, {261, 0, 0xE5, false, false},
        {261, 1, 0xE5, false, false}, {100, 2, 0xE5, false, false},  {240, 1, 0xE5, false, false},
    };
    for (const Case& c : cases) {
        ppu->scanline = c.line;
        ppu->cycle = c.dot;
        ppu->suppressNmi = ppu->suppressVblank = false;
        ppu->nmiOccurred = true;
        ppu->w = true;
        cpu->memory[0x2002] = 0xE5;
        EXPECT_EQ(read(0x2002), c.returned) << c.line << "/" << c.dot;
        EXPECT_EQ(cpu->memory[0x2002], 0x65) << c.line << "/" << c.dot;
        EXPECT_EQ(ppu->nmiOccurred, c.nmiAfterRead) << c.line << "/" << c.dot;
        EXPECT_EQ(ppu->suppressNmi, c.suppressed) << c.line << "/" << c.dot;
        EXPECT_EQ(ppu->suppressVblank, c.suppressed) << c.line << "/" << c.dot;
        EXPECT_FALSE(ppu->w);
    }
}

TEST_F(PpuTest, ReadsJustBeforeAndJustAfterVerticalBlankStarts) {
    // Just before: the flag and the NMI are both lost.
    runTo(241, 1);
    EXPECT_EQ(read(0x2002) & 0x80, 0);
    ppu->stepDot();
    EXPECT_TRUE(ppu->vblank);
    EXPECT_FALSE(ppu->nmiOccurred);
    EXPECT_EQ(cpu->memory[0x2002] & 0x80, 0);
    // Line 261 forgets the suppression: the next frame has both again.
    runTo(261, 2);
    runTo(241, 2);
    ASSERT_TRUE(ppu->nmiOccurred);
    EXPECT_EQ(cpu->memory[0x2002] & 0x80, 0x80);
    // Just after: the read sees the flag but cancels the NMI for the frame.
    EXPECT_EQ(read(0x2002) & 0x80, 0x80);
    EXPECT_FALSE(ppu->nmiOccurred);
    EXPECT_EQ(cpu->memory[0x2002] & 0x80, 0);
    runTo(250, 0);
    EXPECT_FALSE(ppu->nmiOccurred);
}

// --- attachCartridge -------------------------------------------------------

namespace {
// Counts the per-dot calls and remembers the position each one saw.
class DotCounter : public NES::Mapper {
public:
    explicit DotCounter(bool counts) { countsDots = counts; }
    void onDot(BusContext& context) override {
        ++calls;
        lastLine = context.ppu->scanline;
        lastDot = context.ppu->cycle;
    }
    int64_t calls = 0;
    int lastLine = -1, lastDot = -1;
};
}  // namespace

TEST_F(PpuTest, AttachCopiesTheFirstChrBanksAndTakesTheHeaderMirroring) {
    Cartridge cart;
    cart.chrSize = 32768;
    cart.chrRom.resize(32768);
    for (size_t i = 0; i < cart.chrRom.size(); ++i) cart.chrRom[i] = uint8_t(i / 1024);
    cart.mirroring = Vertical;
    cart.mapper = std::make_unique<NES::NROM>();
    TestAccess::mirroring(*ppu) = SingleScreen;

    TestAccess::attach(*ppu, &cart);
    EXPECT_EQ(TestAccess::mirroring(*ppu), Vertical);
    // No board's hook uses the APU yet: only this sees a wrong link.
    EXPECT_TRUE(ppu->busContext.cpu == cpu.get() && ppu->busContext.ppu == ppu.get() &&
                ppu->busContext.apu == apu.get());
    EXPECT_EQ(ppu->vram[0x0000], 0);
    EXPECT_EQ(ppu->vram[0x1FFF], 7);
    EXPECT_EQ(ppu->vram[0x2000], 0);
    EXPECT_EQ(cart.chrRam, nullptr);
}

TEST_F(PpuTest, AttachWithoutChrRomUsesThePatternTablesAsChrRam) {
    Cartridge cart;
    cart.mapper = std::make_unique<NES::NROM>();
    EXPECT_EQ(captureStdout([&] { TestAccess::attach(*ppu, &cart); }), "CHR-RAM Copied.\n");
    EXPECT_EQ(cart.chrRam, &ppu->vram[0]);
}

TEST_F(PpuTest, PerDotHookRunsOnEveryDotOnlyForBoardsThatCountDots) {
    for (const bool counts : {true, false}) {
        Cartridge cart;
        cart.mapper = std::make_unique<DotCounter>(counts);
        auto* board = static_cast<DotCounter*>(cart.mapper.get());
        captureStdout([&] { TestAccess::attach(*ppu, &cart); });
        EXPECT_EQ(ppu->mapperCountsDots, counts);

        runTo(0, 0);
        board->calls = 0;
        ppu->stepDot();
        if (counts) {
            EXPECT_EQ(board->lastLine, 0);  // sees the next dot's position
            EXPECT_EQ(board->lastDot, 1);
        }
        runFrames(1);
        EXPECT_EQ(board->calls, counts ? 89342 : 0);
        ppu->mapper = nullptr;
        ppu->mapperCountsDots = false;
    }
}
