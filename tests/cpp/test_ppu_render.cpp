// The renderer: frame timing, scroll counters, background and sprite pixels,
// sprite 0 hit and the overflow scan.
#include "test_support.h"

#include <cstring>

namespace {
constexpr uint8_t kBackdrop = 0x0F;
constexpr uint8_t kBg[4] = {0, 0x01, 0x02, 0x03};
constexpr uint8_t kSp0[4] = {0, 0x11, 0x12, 0x13};
constexpr uint8_t kSp1[4] = {0, 0x15, 0x16, 0x17};
}  // namespace

class RenderTest : public PpuTest {
protected:
    void SetUp() override {
        PpuTest::SetUp();
        ppu->oam.fill(0xFF);  // every sprite hidden (OAM Y = $FF is skipped)
        ppu->vram[0x3F00] = kBackdrop;
        for (int i = 1; i < 4; ++i) {
            ppu->vram[0x3F00 + i] = kBg[i];
            ppu->vram[0x3F10 + i] = kSp0[i];
            ppu->vram[0x3F14 + i] = kSp1[i];
        }
        write(0x2000, 0x08);  // background from $0000, sprites from $1000
    }
    // Runs to the start of the next frame, then through a whole picture.
    void renderFrame() {
        runFrames(1);
        runTo(240, 0);
    }
};

// --- frame timing ----------------------------------------------------------

TEST_F(RenderTest, EveryFrameIs89342DotsAndCountsOnItsLastDot) {
    for (const uint8_t mask : {0x00, 0x18}) {
        SetUp();
        setMask(mask);
        // Emulation starts 25 dots into line 0.
        for (int i = 0; i < 89342 - 25 - 1; ++i) ppu->stepDot();
        EXPECT_EQ(ppu->frameCount, 0);
        EXPECT_EQ(ppu->scanline, 261);
        EXPECT_EQ(ppu->cycle, 340);
        ppu->stepDot();
        EXPECT_EQ(ppu->frameCount, 1);
        EXPECT_EQ(ppu->scanline, 0);
        EXPECT_EQ(ppu->cycle, 0);
        for (int i = 0; i < 89341; ++i) ppu->stepDot();
        EXPECT_EQ(ppu->frameCount, 1) << "mask " << int(mask);
        ppu->stepDot();
        EXPECT_EQ(ppu->frameCount, 2) << "mask " << int(mask);
        EXPECT_EQ(ppu->totalDots, 2 * 89342 - 25);
    }
}

TEST_F(RenderTest, DisplayFrameChangesOnlyAtVerticalBlankStart) {
    setMask(0);
    renderFrame();
    runTo(241, 2);
    EXPECT_EQ(ppu->displayFrame[0], colorTable[3 * kBackdrop]);
    ppu->vram[0x3F00] = 0x20;  // white
    runTo(100, 0);
    EXPECT_EQ(ppu->colorIndexCache[0], 0x20);
    EXPECT_EQ(ppu->displayFrame[0], colorTable[3 * kBackdrop]) << "published too early";
    runTo(241, 1);
    EXPECT_EQ(ppu->displayFrame[0], colorTable[3 * kBackdrop]);
    ppu->stepDot();
    EXPECT_EQ(ppu->displayFrame[0], 0xFF);
    for (size_t i = 0; i < PPU::kFrameBytes; ++i) ASSERT_EQ(ppu->displayFrame[i], colorTable[3 * 0x20 + i % 3]);
}

// --- backdrop and palette values -------------------------------------------

TEST_F(RenderTest, RenderingOffPaintsTheBackdropAndLeavesVAlone) {
    // Palette RAM keeps eight bits; the picture uses the low six.
    struct Case {
        uint8_t stored;
        uint8_t drawn;
    };
    for (const Case c : {Case{0x21, 0x21}, Case{0x00, 0x00}, Case{0x61, 0x21}, Case{0xC0, 0x00}, Case{0x7F, 0x3F}}) {
        SetUp();
        setMask(0);
        ppu->vram[0x3F00] = c.stored;
        ppu->v = 0x1234;
        renderFrame();
        runTo(241, 2);
        EXPECT_EQ(ppu->v, 0x1234);
        for (int i = 0; i < 256 * 240; ++i) {
            ASSERT_EQ(ppu->colorIndexCache[i], c.drawn) << "pixel " << i << " stored " << int(c.stored);
            ASSERT_EQ(std::memcmp(&ppu->displayFrame[3 * size_t(i)], &colorTable[3 * c.drawn], 3), 0)
                << "pixel " << i << " stored " << int(c.stored);
        }
    }
}

// --- background --------------------------------------------------------------

TEST_F(RenderTest, BackgroundTileUsesPatternPlanesAndAttributeQuadrants) {
    // Plane bits give pixel values 0 1 2 3 0 1 2 3 across the tile.
    setTile(0, 1, 0x55, 0x33);
    fillNametable(1);
    // Attribute byte 0: top-left quadrant palette 0, top-right 1, bottom-left 2, bottom-right 3.
    ppu->vram[0x23C0] = 0b11100100;
    for (int p = 0; p < 4; ++p) {
        for (int k = 1; k < 4; ++k) ppu->vram[0x3F00 + 4 * p + k] = uint8_t(0x20 + 4 * p + k);
    }
    setMask(0x0A);
    renderFrame();
    struct Spot {
        int row;
        int column;
        int quadrant;
    };
    for (const Spot s : {Spot{3, 0, 0}, Spot{3, 16, 1}, Spot{20, 0, 2}, Spot{20, 16, 3}, Spot{23, 28, 3}}) {
        for (int k = 0; k < 4; ++k) {
            const int expected = k == 0 ? kBackdrop : 0x20 + 4 * s.quadrant + k;
            EXPECT_EQ(pixel(s.row, s.column + k), expected) << "quadrant " << s.quadrant << " column " << s.column + k;
        }
    }
    // Rows 32-63 take the next attribute row, which is 0.
    EXPECT_EQ(pixel(40, 4), kBackdrop);
    EXPECT_EQ(pixel(40, 5), 0x21);
}

TEST_F(RenderTest, FineXShiftsTheLineAcrossTwoTiles) {
    setTile(0, 1, 0x10);  // only bit 4
    setTile(0, 2, 0x80);  // only bit 7
    ppu->vram[0x2000 + 32 * 1] = 1;
    ppu->vram[0x2000 + 32 * 1 + 1] = 2;
    setMask(0x0A);
    write(0x2005, 3);  // fine X 3, coarse X 0
    write(0x2005, 0);
    renderFrame();
    for (int column = 0; column < 24; ++column) {
        const bool opaque = column == 0 || column == 5;
        EXPECT_EQ(pixel(10, column), opaque ? kBg[1] : kBackdrop) << "column " << column;
    }
}

TEST_F(RenderTest, LineZeroUsesTheHorizontalBitsOfVUntilDot257) {
    setTile(0, 1, 0xFF);
    ppu->vram[0x2005] = 1;
    setMask(0x0A);
    runTo(245, 0);
    setAddress(0x2005);  // coarse X 5
    write(0x2005, 0);    // then t's horizontal bits go back to 0
    write(0x2005, 0);
    renderFrame();
    for (int column = 0; column < 64; ++column) {
        EXPECT_EQ(pixel(0, column), column < 8 ? kBg[1] : kBackdrop) << "line 0 column " << column;
        EXPECT_EQ(pixel(1, column), column >= 40 && column < 48 ? kBg[1] : kBackdrop) << "line 1 column " << column;
    }
}

TEST_F(RenderTest, FineYIncrementWrapsCoarseY) {
    struct Case {
        uint16_t before;
        uint16_t after;
    };
    const Case cases[] = {
        {0x0000, 0x1000},  // fine Y + 1
        {0x6C1F, 0x7C1F},
        {0x7000 | (5 << 5), 6 << 5},   // fine Y wraps into coarse Y
        {0x7000 | (29 << 5), 0x0800},  // last row: next nametable down
        {0x7800 | (29 << 5) | 3, 0x0003},
        {0x7000 | (31 << 5), 0x0000},  // attribute rows wrap without switching
        {0x7000 | (30 << 5) | 0x0400, (31 << 5) | 0x0400},
    };
    setMask(0x08);
    for (const Case& c : cases) {
        ppu->scanline = 50;
        ppu->cycle = 256;
        ppu->v = c.before;
        ppu->stepDot();
        EXPECT_EQ(ppu->v, c.after) << std::hex << "v " << c.before;
    }
}

TEST_F(RenderTest, CoarseXIncrementsEveryEightDotsAndReloadsAtDot257) {
    EXPECT_EQ(PPU::coarseXIncrement(0x0005), 0x0006);
    EXPECT_EQ(PPU::coarseXIncrement(0x001F), 0x0400);
    EXPECT_EQ(PPU::coarseXIncrement(0x0C1F), 0x0800);

    setMask(0x08);
    runTo(20, 1);
    ppu->v = 0x0000;
    ppu->t = 0x0415;
    runTo(20, 8);
    EXPECT_EQ(ppu->v, 0x0000);
    ppu->stepDot();
    EXPECT_EQ(ppu->v, 0x0001);
    runTo(20, 256);
    EXPECT_EQ(ppu->v, 31);  // dots 8, 16, ..., 248
    ppu->stepDot();
    EXPECT_EQ(ppu->v, 0x1000 | 31) << "dot 256 increments fine Y only";
    ppu->stepDot();
    EXPECT_EQ(ppu->v, 0x1415) << "dot 257 copies coarse X and bit 10 from t";
    // Line 261 copies the vertical bits during dots 280-304.
    ppu->t = 0x7BE0;
    runTo(261, 280);
    const uint16_t before = ppu->v;
    ppu->stepDot();
    EXPECT_EQ(ppu->v, uint16_t((before & 0x841F) | 0x7BE0));
}

// --- sprites -----------------------------------------------------------------

TEST_F(RenderTest, SpritePlacement) {
    // Every sprite tile solid, so whatever row a line computes shows.
    std::memset(&ppu->vram[0x1000], 0xFF, 0x1000);
    setMask(0x1E);
    setSprite(0, 0, 1, 0, 0);       // lines 1-8, columns 0-7
    setSprite(1, 100, 1, 0, 250);   // lines 101-108, columns 250-255
    setSprite(2, 238, 1, 0, 60);    // line 239 only
    setSprite(3, 239, 1, 0, 80);    // never
    setSprite(4, 0xFF, 1, 0, 100);  // never
    // Down to the bottom line, none of them on line 0 of the next frame.
    for (int n = 0; n < 8; ++n) setSprite(5 + n, uint8_t(232 + n), 1, 0, uint8_t(32 * n));
    renderFrame();
    auto covered = [&](int row, int column) { return pixel(row, column) != kBackdrop; };
    for (int row = 0; row < 240; ++row) {
        for (int column = 0; column < 256; ++column) {
            const bool expected = (row >= 1 && row <= 8 && column < 8) || (row >= 101 && row <= 108 && column >= 250) ||
                                  (row == 239 && column >= 60 && column < 68) ||
                                  (row >= 233 + column / 32 && column % 32 < 8);
            ASSERT_EQ(covered(row, column), expected) << "row " << row << " column " << column;
        }
    }
}

TEST_F(RenderTest, FlipsAndTallSprites) {
    // An L shape: top row full, then only the leftmost pixel.
    setTileRow(1, 4, 0, 0xFF);
    for (int row = 1; row < 8; ++row) setTileRow(1, 4, row, 0x80);
    // Tall sprite 5 (odd: table $1000, tiles 4 and 5): bottom half is a plain block.
    setTile(1, 5, 0xFF);
    setMask(0x1E);
    setSprite(0, 9, 4, 0x00, 16);  // plain
    setSprite(1, 9, 4, 0x40, 40);  // horizontal flip
    setSprite(2, 9, 4, 0x80, 64);  // vertical flip
    setSprite(3, 9, 4, 0xC1, 88);  // both, palette 1
    renderFrame();
    auto at = [&](int row, int x) { return pixel(10 + row, x) != kBackdrop; };
    EXPECT_TRUE(at(0, 16 + 7) && at(1, 16) && !at(1, 16 + 7));
    EXPECT_TRUE(at(0, 40) && at(1, 40 + 7) && !at(1, 40));
    EXPECT_TRUE(at(7, 64 + 7) && at(6, 64) && !at(6, 64 + 7));
    EXPECT_TRUE(at(7, 88) && at(6, 88 + 7) && !at(6, 88));
    EXPECT_EQ(pixel(17, 95), kSp1[1]);

    // 8x16 with an odd tile number: table $1000, tiles 4 then 5.
    write(0x2000, 0x20);
    ppu->oam.fill(0xFF);
    setSprite(0, 9, 5, 0x00, 16);
    setSprite(1, 9, 5, 0x80, 40);  // flipped: block on top, L upside down below
    renderFrame();
    EXPECT_TRUE(at(0, 16 + 7) && !at(1, 16 + 7) && at(8, 16 + 7) && at(15, 16 + 7));
    EXPECT_TRUE(at(0, 40 + 7) && at(7, 40 + 7) && !at(14, 40 + 7) && at(15, 40 + 7));
    EXPECT_EQ(pixel(10 + 16, 16), kBackdrop);
}

TEST_F(RenderTest, PriorityBetweenSpritesAndBackground) {
    // Background opaque in the left half of tile column 2, transparent in the right half.
    setTile(0, 1, 0xF0);
    ppu->vram[0x2000 + 32 * 4 + 2] = 1;
    setTile(1, 1, 0xFF);
    setTile(1, 2, 0x00, 0xFF);  // pixel value 2
    setMask(0x1E);
    setSprite(0, 32, 1, 0x20, 16);  // behind the background
    setSprite(1, 32, 2, 0x00, 16);  // in front, but higher-numbered
    renderFrame();
    for (int column = 16; column < 24; ++column) {
        const uint8_t expected = column < 20 ? kBg[1] : kSp0[1];
        EXPECT_EQ(pixel(35, column), expected) << "column " << column;
    }
}

TEST_F(RenderTest, SpriteZeroHit) {
    struct Case {
        uint8_t sprite;
        uint8_t x;
        uint8_t mask;
        uint8_t bgTile;
        int hitDot;
        int slot = 0;
    };
    const Case cases[] = {
        {1, 248, 0x18, 1, 256},                           // column 255
        {2, 0, 0x18, 1, 1},                               // inside the clipped left column
        {1, 100, 0x1E, 1, 108},   {1, 100, 0x10, 1, -1},  // background off
        {1, 100, 0x08, 1, -1},                            // sprites off
        {1, 100, 0x1E, 0, -1},                            // transparent background
        {1, 100, 0x1E, 1, -1, 1},                         // sprite 1 first on the line, sprite 0 hidden
    };
    for (const Case& c : cases) {
        SetUp();
        setTile(0, 1, 0xFF);
        setTile(1, 1, 0x01);  // rightmost pixel only
        setTile(1, 2, 0x80);  // leftmost pixel only
        fillNametable(c.bgTile);
        setSprite(c.slot, 59, c.sprite, 0, c.x);
        setMask(c.mask);
        runFrames(1);
        runTo(60, 0);
        EXPECT_EQ(status() & 0x40, 0);
        if (c.hitDot < 0) {
            runTo(241, 0);
            EXPECT_EQ(status() & 0x40, 0) << "x " << int(c.x) << " mask " << int(c.mask) << " slot " << c.slot;
            continue;
        }
        runTo(60, c.hitDot);
        EXPECT_EQ(status() & 0x40, 0) << "x " << int(c.x);
        ppu->stepDot();
        EXPECT_EQ(status() & 0x40, 0x40) << "x " << int(c.x);
        runTo(261, 1);
        EXPECT_EQ(status() & 0x40, 0x40) << "the flag lasts until line 261";
        ppu->stepDot();
        EXPECT_EQ(status() & 0x40, 0);
    }
}

// OAM filled with $F0: no byte of it is in range of a visible line, so the
// overflow scan finds only what a case puts there.
TEST_F(RenderTest, EightSpritesPerLineAndOverflow) {
    setTile(1, 1, 0xFF);
    setMask(0x1E);
    struct Case {
        int first;
        int count;
        bool overflow;
    };
    const Case cases[] = {
        {40, 8, false},
        {40, 9, true},
        {40, 12, true},
        {56, 8, false},
        {55, 9, true},
        // The scan keeps wrapping around OAM until dot 256 and meets sprite 0 again.
        {0, 8, true},
    };
    for (const Case& c : cases) {
        ppu->oam.fill(0xF0);
        for (int n = 0; n < c.count; ++n) setSprite(c.first + n, 99, 1, 0, uint8_t(16 * n));
        runFrames(1);
        runTo(99, 129);
        EXPECT_EQ(status() & 0x20, 0);
        runTo(99, 257);
        EXPECT_EQ(status() & 0x20, c.overflow ? 0x20 : 0) << c.count << " sprites from " << c.first;
        EXPECT_EQ(ppu->evalCount, 8);
        runTo(101, 0);
        for (int n = 0; n < c.count; ++n) {
            EXPECT_EQ(pixel(100, 16 * n), n < 8 ? kSp0[1] : kBackdrop) << "sprite " << c.first + n;
        }
    }
}

TEST_F(RenderTest, OverflowScanWalksOamDiagonally) {
    // Eight sprites on line 100, then a miss: the scan goes on with byte 1 of
    // the next sprite and byte 2 of the one after, as if they were Y.
    setTile(1, 1, 0xFF);
    setMask(0x1E);
    struct Case {
        uint8_t tile49;
        uint8_t attr50;
        bool overflow;
    };
    for (const Case c : {Case{0xF0, 0xF0, false}, Case{99, 0xF0, true}, Case{92, 0xF0, true}, Case{91, 0xF0, false},
                         Case{0xF0, 0x61, true}, Case{0xF0, 0xE3, false}}) {
        ppu->oam.fill(0xF0);
        for (int n = 0; n < 8; ++n) setSprite(40 + n, 99, 1, 0, uint8_t(16 * n));
        ppu->oam[4 * 49 + 1] = c.tile49;
        ppu->oam[4 * 50 + 2] = c.attr50;
        runFrames(1);
        runTo(100, 0);
        EXPECT_EQ(status() & 0x20, c.overflow ? 0x20 : 0) << "tile49 " << int(c.tile49) << " attr50 " << int(c.attr50);
    }
}

TEST_F(RenderTest, EvaluationNeverFindsMoreThanEight) {
    setTile(1, 1, 0xFF);
    for (int n = 0; n < 64; ++n) setSprite(n, 50, 1, 0, uint8_t(4 * n));
    setMask(0x18);
    for (int dot = 0; dot < 89342; ++dot) {
        ppu->stepDot();
        ASSERT_LE(ppu->evalCount, 8);
        ASSERT_LE(ppu->lineSpriteCount, 8);
    }
}
