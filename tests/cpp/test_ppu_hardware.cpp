// The PPU in the hardware timing: what it does that the design's does not,
// each case run dot by dot (stepDot) and in bulk (runTo), which must agree.
#include "test_support.h"

#include <cstring>

#include "console/nes_unit.h"
#include "console_support.h"
#include "state/snapshot.h"

class HardwarePpuTest : public PpuTest {
protected:
    void SetUp() override {
        PpuTest::SetUp();
        setHardware(true);
        ppu->oam.fill(0xFF);
    }
    // As a timing change sets it.
    void setHardware(bool on) {
        ppu->hardware = on;
        ppu->clearHardwareState();
    }
    // Processes one dot either way.
    void oneDot(bool bulk) {
        if (bulk) ppu->runTo(ppu->totalDots + 1);
        else ppu->stepDot();
    }
    // Processes dots until the next one is (line, dot), one at a time or in
    // the bulk renderer's runs.
    void advanceTo(int line, int dot, bool bulk) {
        for (int guard = 0; guard < 2 * 89342; ++guard) {
            if (ppu->scanline == line && ppu->cycle == dot) return;
            if (!bulk) {
                ppu->stepDot();
                continue;
            }
            // Never past the position: the bulk path stops at a frame's end.
            const int64_t here = int64_t(ppu->scanline) * 341 + ppu->cycle;
            int64_t ahead = int64_t(line) * 341 + dot - here;
            if (ahead <= 0) ahead = 341 * 262 - here;
            ppu->runTo(ppu->totalDots + ahead);
        }
        FAIL() << "position " << line << "/" << dot << " never reached";
    }
    // The dots from here to the next frame's first dot.
    int64_t dotsToNextFrame(bool bulk) {
        const int64_t start = ppu->totalDots;
        const int64_t frame = ppu->frameCount;
        if (bulk) ppu->runTo(start + 2 * 89342);
        else
            while (ppu->frameCount == frame) ppu->stepDot();
        EXPECT_EQ(ppu->frameCount, frame + 1);
        return ppu->totalDots - start;
    }
};

// --- the odd frame's skipped dot --------------------------------------------

TEST_F(HardwarePpuTest, OddFramesWithRenderingOnSkipADot) {
    for (const bool bulk : {false, true}) {
        for (const uint8_t mask : {0x00, 0x08, 0x10, 0x18}) {
            SetUp();
            setMask(mask);
            dotsToNextFrame(bulk);  // to the start of frame 1, an odd one
            for (int64_t frame = 1; frame <= 4; ++frame) {
                const int64_t expected = (mask & 0x18) && (frame & 1) ? 89341 : 89342;
                EXPECT_EQ(dotsToNextFrame(bulk), expected)
                    << "frame " << frame << " mask " << int(mask) << " bulk " << bulk;
            }
        }
    }
    // The design's frames are all alike.
    SetUp();
    setHardware(false);
    setMask(0x18);
    dotsToNextFrame(true);
    EXPECT_EQ(dotsToNextFrame(true), 89342);
}

TEST_F(HardwarePpuTest, DotThreeThirtyEightDecidesTheSkip) {
    struct Case {
        uint8_t before;  // PPUMASK up to dot 338 of the pre-render line
        int changeAt;    // the dot before which it changes
        uint8_t after;
        bool skips;
    };
    const Case cases[] = {
        {0x08, 339, 0x00, true},   // turned off after the choice
        {0x00, 339, 0x08, false},  // turned on after it
        {0x00, 338, 0x08, true},   // on just in time
        {0x08, 338, 0x00, false},  // off just in time
        {0x18, 300, 0x10, true},   // sprites alone count as rendering
    };
    for (const bool bulk : {false, true}) {
        for (const Case& c : cases) {
            SetUp();
            dotsToNextFrame(bulk);  // frame 1 is odd
            setMask(c.before);
            advanceTo(261, c.changeAt, bulk);
            setMask(c.after);
            advanceTo(261, 339, bulk);
            const int64_t frame = ppu->frameCount;
            oneDot(bulk);
            EXPECT_EQ(ppu->frameCount, c.skips ? frame + 1 : frame)
                << "mask " << int(c.before) << " -> " << int(c.after) << " before dot " << c.changeAt << " bulk "
                << bulk;
            EXPECT_EQ(ppu->cycle, c.skips ? 0 : 340);
        }
    }
}

TEST_F(HardwarePpuTest, PreRenderLineCopiesHorizontalScrollAndClearsOamAddress) {
    for (const bool bulk : {false, true}) {
        SetUp();
        setMask(0x08);
        advanceTo(261, 250, bulk);
        ppu->t = 0x041F;
        ppu->v = 0x0000;
        ppu->oamAddr = 0x40;
        advanceTo(261, 258, bulk);
        EXPECT_EQ(ppu->v, 0x041F) << "bulk " << bulk;
        EXPECT_EQ(ppu->oamAddr, 0) << "bulk " << bulk;
    }
}

// --- sprite 0 hit ------------------------------------------------------------

TEST_F(HardwarePpuTest, SpriteZeroHitsNeitherTheLastColumnNorTheClippedLeft) {
    struct Case {
        uint8_t tile;  // 1 solid, 2 its rightmost pixel, 3 its leftmost
        uint8_t x;
        uint8_t mask;
        int hitDot;  // the dot whose pixel hits; -1 for none
    };
    const Case cases[] = {
        {1, 255, 0x1E, -1},                                                           // only column 255 on screen
        {2, 248, 0x1E, -1},                                                           // the pixel at 255
        {2, 247, 0x1E, 255}, {1, 254, 0x1E, 255}, {3, 0, 0x18, -1},                   // under either clip
        {3, 0, 0x1A, -1},    {3, 0, 0x1C, -1},    {3, 0, 0x1E, 1},  {1, 3, 0x18, 9},  // the first pixel past the clip
        {1, 3, 0x1A, 9},     {1, 3, 0x1E, 4},
    };
    for (const bool bulk : {false, true}) {
        for (const Case& c : cases) {
            SetUp();
            write(0x2000, 0x08);  // sprites from $1000
            setTile(0, 1, 0xFF);
            setTile(1, 1, 0xFF);
            setTile(1, 2, 0x01);
            setTile(1, 3, 0x80);
            fillNametable(1);
            setSprite(0, 59, c.tile, 0, c.x);
            setMask(c.mask);
            dotsToNextFrame(bulk);
            advanceTo(60, 0, bulk);
            const std::string name = "x " + std::to_string(c.x) + " tile " + std::to_string(c.tile) + " mask " +
                                     std::to_string(c.mask) + " bulk " + std::to_string(bulk);
            if (c.hitDot < 0) {
                advanceTo(61, 0, bulk);
                EXPECT_EQ(status() & 0x40, 0) << name;
                continue;
            }
            advanceTo(60, c.hitDot, bulk);
            EXPECT_EQ(status() & 0x40, 0) << name;
            oneDot(bulk);
            EXPECT_EQ(status() & 0x40, 0x40) << name;
        }
    }
}

// --- sprite evaluation and overflow -----------------------------------------

class EvaluationTest : public HardwarePpuTest {
protected:
    void SetUp() override {
        HardwarePpuTest::SetUp();
        // No byte of OAM is in range of a visible line unless a case puts it there.
        ppu->oam.fill(0xF0);
        setTile(1, 1, 0xFF);
        write(0x2000, 0x08);
        ppu->vram[0x3F11] = 0x21;
    }
    // The dot whose processing sets the overflow flag on `line`, or -1, as
    // PPUSTATUS reads show it (the evaluation runs when they look).
    int overflowDot(int line, bool bulk) {
        advanceTo(line, 0, bulk);
        if (read(0x2002) & 0x20) return -2;  // set before the line
        for (int dot = 0; dot < 341; ++dot) {
            oneDot(bulk);
            if (read(0x2002) & 0x20) return dot;
        }
        return -1;
    }
};

TEST_F(EvaluationTest, OverflowComesAtTheNinthSpritesRead) {
    struct Case {
        int first;  // eight sprites from here on line 100
        int ninth;  // the sprite that makes the ninth (-1: none)
        int byte;   // which of its bytes is in range
        uint8_t mask;
        int dot;  // -1: no overflow
    };
    const Case cases[] = {
        // Eight found take 8 dots each from dot 65; the ninth's Y is read at 129.
        {0, 8, 0, 0x18, 129},
        // Sprites before the first cost two dots each.
        {10, 18, 0, 0x18, 149},
        // Background alone still evaluates sprites.
        {0, 8, 0, 0x08, 129},
        {0, 8, 0, 0x10, 129},
        // A miss moves the byte index with the sprite: sprite 9's byte 1, 10's byte 2...
        {0, 9, 1, 0x18, 131},
        {0, 10, 2, 0x18, 133},
        {0, 11, 3, 0x18, 135},
        {0, 12, 0, 0x18, 137},
        // Eight at the end of OAM: the scan ends with the last sprite.
        {56, -1, 0, 0x18, -1},
        // Eight from sprite 0, none after: the scan does not wrap around to them.
        {0, -1, 0, 0x18, -1},
    };
    for (const bool bulk : {false, true}) {
        for (const Case& c : cases) {
            SetUp();
            for (int n = 0; n < 8; ++n) setSprite(c.first + n, 99, 1, 0, uint8_t(16 * n));
            // Y 92 is in range of line 99 for the 8-line sprites: as Y, tile, attribute or X.
            if (c.ninth >= 0) ppu->oam[size_t(4 * c.ninth + c.byte)] = 92;
            setMask(c.mask);
            dotsToNextFrame(bulk);
            EXPECT_EQ(overflowDot(99, bulk), c.dot) << "first " << c.first << " ninth " << c.ninth << " byte " << c.byte
                                                    << " mask " << int(c.mask) << " bulk " << bulk;
        }
    }
}

TEST_F(EvaluationTest, LineTwoThirtyNineOverflowsButShowsNothingOnLineZero) {
    for (const bool bulk : {false, true}) {
        SetUp();
        for (int n = 0; n < 9; ++n) setSprite(n, 239, 1, 0, uint8_t(16 * n));
        setMask(0x1E);
        dotsToNextFrame(bulk);
        EXPECT_EQ(overflowDot(239, bulk), 129) << "bulk " << bulk;
        advanceTo(1, 0, bulk);
        for (int x = 0; x < 256; ++x) ASSERT_EQ(pixel(0, x), 0) << "x " << x << " bulk " << bulk;
    }
}

TEST_F(EvaluationTest, SpritesDrawAsInTheDesignsTiming) {
    // Up to eight on a line, both timings draw the same picture.
    std::mt19937 random(7);
    for (int round = 0; round < 4; ++round) {
        Bytes oam(256);
        for (int n = 0; n < 64; ++n) {
            oam[size_t(4 * n)] = uint8_t(random() % 200);
            oam[size_t(4 * n + 1)] = 1;
            oam[size_t(4 * n + 2)] = uint8_t(random() & 0xE3);
            oam[size_t(4 * n + 3)] = uint8_t(random());
        }
        // Keep lines to eight sprites, where both evaluations agree.
        for (int line = 0; line < 240; ++line) {
            int on = 0;
            for (int n = 0; n < 64; ++n) {
                if (unsigned(line - oam[size_t(4 * n)]) < 8 && ++on > 8) oam[size_t(4 * n)] = 0xF0;
            }
        }
        std::vector<uint8_t> pictures[2];
        for (const bool hardware : {false, true}) {
            SetUp();
            setHardware(hardware);
            std::copy(oam.begin(), oam.end(), ppu->oam.begin());
            setMask(0x1E);
            dotsToNextFrame(true);
            advanceTo(240, 0, true);
            pictures[hardware].assign(ppu->colorIndexCache.begin(), ppu->colorIndexCache.end());
        }
        EXPECT_TRUE(pictures[0] == pictures[1]) << "round " << round;
    }
}

// The evaluation read by read, as the hardware steps it: the OAM address of
// each read and its dot, the secondary OAM and the overflow flag's dot.
struct Evaluation {
    std::vector<std::pair<int, uint8_t>> reads;  // dot, address
    std::vector<uint8_t> secondary = std::vector<uint8_t>(32, 0xFF);
    int overflowDot = -1;
};

Evaluation evaluateStepByStep(const std::array<uint8_t, 256>& oam, unsigned line, unsigned height) {
    Evaluation e;
    int dot = 65, found = 0;
    unsigned sprite = 0, byte = 0;
    while (dot <= 256 && sprite < 64) {
        if (found < 8) {
            e.reads.push_back({dot, uint8_t(4 * sprite)});
            if (line - oam[4 * sprite] < height) {
                for (unsigned b = 0; b < 4; ++b) e.secondary[size_t(4 * found + b)] = oam[4 * sprite + b];
                e.secondary[size_t(4 * found)] = uint8_t(oam[4 * sprite] + 1);
                for (unsigned b = 1; b < 4; ++b) e.reads.push_back({dot + 2 * int(b), uint8_t(4 * sprite + b)});
                ++found;
                dot += 8;
            } else {
                dot += 2;
            }
            ++sprite;
        } else {
            e.reads.push_back({dot, uint8_t(4 * sprite + byte)});
            if (line - oam[4 * sprite + byte] < height) {
                e.overflowDot = dot;
                break;
            }
            ++sprite;
            byte = (byte + 1) & 3;
            dot += 2;
        }
    }
    return e;
}

TEST_F(EvaluationTest, MatchesTheReadByReadEvaluationAtEveryDot) {
    std::mt19937 random(31);
    int overflows = 0;
    for (int round = 0; round < 12; ++round) {
        const bool bulk = round % 2 == 1;
        const bool tall = round % 3 == 2;
        SetUp();
        write(0x2000, tall ? 0x28 : 0x08);
        // Sprites on line 100 (fewer each round), and bytes that the flawed scan takes for Y
        // in range of it; no other byte is in range of a line before it.
        for (uint8_t& byte : ppu->oam) {
            byte = uint8_t(random() % unsigned(2 + round) == 0 ? 100 : 120 + random() % 130);
        }
        for (int n = 0; n < 64; ++n) ppu->oam[size_t(4 * n + 2)] &= 0xE3;
        const Evaluation expected = evaluateStepByStep(ppu->oam, 100, tall ? 16 : 8);
        setMask(0x18);
        dotsToNextFrame(bulk);
        advanceTo(100, 0, bulk);
        ASSERT_EQ(read(0x2002) & 0x20, 0) << "no overflow before line 100";
        overflows += expected.overflowDot >= 0;
        // $2004 at a dot shows the last read before it; PPUSTATUS the flag once its dot is past.
        for (int dot = 66; dot <= 257; dot += 1 + int(random() % 7)) {
            advanceTo(100, dot, bulk);
            uint8_t shown = 0xFF;
            for (const auto& [at, address] : expected.reads) {
                if (at < dot) shown = ppu->oam[address];
            }
            ASSERT_EQ(read(0x2004), shown) << "round " << round << " dot " << dot;
            const bool flagged = expected.overflowDot >= 0 && expected.overflowDot < dot;
            ASSERT_EQ((read(0x2002) & 0x20) != 0, flagged) << "round " << round << " dot " << dot;
        }
        advanceTo(100, 258, bulk);
        EXPECT_TRUE(std::equal(expected.secondary.begin(), expected.secondary.end(), ppu->secondaryOam))
            << "round " << round;
    }
    EXPECT_GE(overflows, 4) << "the rounds should overflow often";
    EXPECT_LE(overflows, 10) << "and not always";
}

TEST_F(EvaluationTest, OamDataDuringRenderingShowsTheEvaluation) {
    for (const bool bulk : {false, true}) {
        SetUp();
        for (int n = 0; n < 64; ++n) ppu->oam[size_t(4 * n)] = uint8_t(0xC0 + n);
        setSprite(5, 49, 0x77, 0x01, 0x88);
        setMask(0x18);
        dotsToNextFrame(bulk);
        struct Case {
            int dot;
            uint8_t read;
        };
        // A read sees the dots before it. Sprite 5's Y is read at dot 75 and its
        // other bytes at 77-81; sprite 6's Y at 83. The fetches read them from 257 on.
        for (const Case c :
             {Case{10, 0xFF}, Case{65, 0xFF}, Case{66, 0xC0}, Case{68, 0xC1}, Case{76, 49}, Case{78, 0x77},
              Case{80, 0x01}, Case{82, 0x88}, Case{84, 0xC6}, Case{257, 0xC0 + 63}, Case{258, 49 + 1}, Case{259, 0x77},
              Case{260, 0x01}, Case{261, 0x88}, Case{265, 0x88}, Case{266, 0xFF}, Case{330, 49 + 1}}) {
            advanceTo(50, c.dot, bulk);
            EXPECT_EQ(read(0x2004), c.read) << "dot " << c.dot << " bulk " << bulk;
        }
        // Writes are lost and move the address a sprite on.
        ppu->oamAddr = 0x21;
        write(0x2004, 0x55);
        EXPECT_EQ(ppu->oamAddr, 0x25);
        EXPECT_EQ(ppu->oam[0x21], 0xF0) << "bulk " << bulk;
        // In vertical blank the address is the CPU's again.
        advanceTo(245, 0, bulk);
        ppu->oamAddr = 0x21;
        EXPECT_EQ(read(0x2004), 0xF0);
        write(0x2004, 0x55);
        EXPECT_EQ(ppu->oam[0x21], 0x55);
        EXPECT_EQ(ppu->oamAddr, 0x22);
    }
}

// --- the I/O latch, its fading, and $2007 --------------------------------------

class LatchTest : public HardwarePpuTest {
protected:
    static constexpr int64_t kFade = 3221591;  // 600 ms of dots
    // Time passes without drawing: only the latch looks at the dot count.
    void wait(int64_t dots) { ppu->totalDots += dots; }
};

TEST_F(LatchTest, WritesSetEveryBitAndWriteOnlyRegistersReadIt) {
    for (const uint16_t written : {0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007}) {
        SetUp();
        write(written, 0x5A);
        for (const uint16_t read0 : {0x2000, 0x2001, 0x2003, 0x2005, 0x2006}) {
            EXPECT_EQ(read(read0), 0x5A) << std::hex << "write " << written << " read " << read0;
        }
        cpu->memory[0x2002] = 0xA0;
        EXPECT_EQ(read(0x2002), 0xA0 | 0x1A) << "the flags over the latch's low bits";
    }
    // The design's answer stays as it was.
    SetUp();
    setHardware(false);
    write(0x2002, 0x5A);
    EXPECT_EQ(read(0x2000), 0);
}

TEST_F(LatchTest, BitsFadeUnlessARegisterDrivesThemAgain) {
    write(0x2002, 0xFF);
    wait(kFade - 1);
    EXPECT_EQ(read(0x2000), 0xFF);
    wait(1);
    EXPECT_EQ(read(0x2000), 0x00) << "reading a write-only register refreshes nothing";

    // PPUSTATUS drives its three flags only.
    write(0x2002, 0xFF);
    wait(kFade / 2);
    cpu->memory[0x2002] = 0x80;
    EXPECT_EQ(read(0x2002), 0x9F);
    wait(kFade / 2 + 10);
    EXPECT_EQ(read(0x2000), 0x80) << "bit 7 was driven to 1 later, bits 5-6 to 0";
    wait(kFade);
    EXPECT_EQ(read(0x2000), 0x00);

    // $2004 drives all eight bits.
    write(0x2002, 0x00);
    ppu->oam[7] = 0xC3;
    ppu->oamAddr = 7;
    EXPECT_EQ(read(0x2004), 0xC3);
    EXPECT_EQ(read(0x2000), 0xC3);
}

TEST_F(LatchTest, PaletteReadsSixBitsOverTheLatchAndFillTheBufferFromTheNametable) {
    write(0x2006, 0x2F);
    write(0x2006, 0x12);
    write(0x2007, 0x9A);  // the nametable byte the palette hides
    write(0x2006, 0x3F);
    write(0x2006, 0x12);
    write(0x2007, 0xE5);  // palette RAM keeps $25
    EXPECT_EQ(ppu->vram[0x3F12], 0x25);
    write(0x2006, 0x3F);
    write(0x2006, 0x12);
    write(0x2002, 0xC0);
    wait(kFade / 2);
    EXPECT_EQ(read(0x2007), 0xE5) << "bits 6-7 from the latch";
    EXPECT_EQ(ppu->readBuffer, 0x9A);
    wait(kFade / 2 + 10);
    EXPECT_EQ(read(0x2000), 0x25) << "a palette read drives bits 0-5 only";
    // Greyscale reaches palette reads too.
    write(0x2001, 0x01);
    write(0x2006, 0x3F);
    write(0x2006, 0x12);
    write(0x2002, 0x00);
    EXPECT_EQ(read(0x2007), 0x20);
    // A nametable read returns the buffer and drives every bit.
    write(0x2006, 0x2F);
    write(0x2006, 0x12);
    read(0x2007);
    EXPECT_EQ(read(0x2007), 0x9A);
    EXPECT_EQ(read(0x2003), 0x9A);
}

TEST_F(LatchTest, MirrorsFoldAsTheHardwareFoldsThem) {
    struct Case {
        int32_t mirroring;
        uint16_t writeAt, readAt;
    };
    const Case cases[] = {
        {Horizontal, 0x3400, 0x2000}, {Horizontal, 0x2C01, 0x3801}, {Vertical, 0x3802, 0x2002},
        {Vertical, 0x2403, 0x3C03},   {Horizontal, 0x3F30, 0x3F10}, {Horizontal, 0x3F30, 0x3F00},
        {Horizontal, 0x3FE4, 0x3F04}, {Horizontal, 0x7F05, 0x3F05},
    };
    for (const Case& c : cases) {
        SetUp();
        TestAccess::mirroring(*ppu) = c.mirroring;
        write(0x2006, uint8_t(c.writeAt >> 8));
        write(0x2006, uint8_t(c.writeAt));
        write(0x2007, 0x2B);
        write(0x2006, uint8_t(c.readAt >> 8));
        write(0x2006, uint8_t(c.readAt));
        const bool palette = (c.readAt & 0x3F00) == 0x3F00;
        if (!palette) read(0x2007);
        EXPECT_EQ(read(0x2007) & 0x3F, 0x2B) << std::hex << c.writeAt << " -> " << c.readAt;
    }
}

// --- the reset button --------------------------------------------------------

TEST_F(HardwarePpuTest, ResetClearsTheRegistersAndKeepsMemory) {
    for (const bool hardware : {false, true}) {
        SetUp();
        setHardware(hardware);
        write(0x2000, 0x88);
        write(0x2001, 0xFE);
        write(0x2005, 0x7D);
        ppu->readBuffer = 0x42;
        ppu->oamAddr = 0x31;
        ppu->oam[5] = 0x66;
        ppu->vram[0x2100] = 0x77;
        ppu->vram[0x3F01] = 0x21;
        ppu->softReset();
        EXPECT_EQ(cpu->memory[0x2000], 0);
        EXPECT_EQ(cpu->memory[0x2001], 0);
        EXPECT_FALSE(ppu->w);
        EXPECT_EQ(ppu->t, 0);
        EXPECT_EQ(ppu->fineX, 0);
        EXPECT_EQ(ppu->readBuffer, 0);
        EXPECT_EQ(ppu->oamAddr, 0x31);
        EXPECT_EQ(ppu->oam[5], 0x66);
        EXPECT_EQ(ppu->vram[0x2100], 0x77);
        EXPECT_EQ(ppu->vram[0x3F01], 0x21);
    }
}

// --- colour emphasis -----------------------------------------------------------

TEST_F(HardwarePpuTest, EmphasisIsKeptPerPixelFromTheDotOfTheWrite) {
    for (const bool bulk : {false, true}) {
        SetUp();
        ppu->vram[0x3F00] = 0x30;
        setMask(0x20);
        dotsToNextFrame(bulk);
        // Red emphasis from the frame's start, none from line 100's pixel 40
        // (dot 41), blue from line 200's start, then off again during vertical blank.
        advanceTo(100, 41, bulk);
        setMask(0x00);
        advanceTo(200, 0, bulk);
        setMask(0x80);
        advanceTo(241, 2, bulk);
        ASSERT_TRUE(ppu->displayEmphasised);
        const auto shown = [&](int row, int column) { return ppu->displayEmphasis[size_t(row) * 256 + column]; };
        EXPECT_EQ(shown(0, 0), 1);
        EXPECT_EQ(shown(100, 39), 1);
        EXPECT_EQ(shown(100, 40), 0) << "bulk " << bulk;
        EXPECT_EQ(shown(199, 255), 0);
        EXPECT_EQ(shown(200, 0), 4);
        EXPECT_EQ(shown(239, 255), 4);
        uint8_t rgb[3];
        emphasisedColour(1, 0x30, rgb);
        EXPECT_EQ(std::memcmp(&ppu->displayFrame[0], rgb, 3), 0);
        EXPECT_EQ(ppu->displayFrame[3 * (100 * 256 + 40) + 1], 0xFF);
        // Off during vertical blank: the next picture has none.
        setMask(0x00);
        dotsToNextFrame(bulk);
        advanceTo(241, 2, bulk);
        EXPECT_FALSE(ppu->displayEmphasised);
        EXPECT_EQ(std::memcmp(&ppu->displayFrame[0], &colorTable[3 * 0x30], 3), 0);
    }
    // The design's timing has no emphasis.
    SetUp();
    setHardware(false);
    ppu->vram[0x3F00] = 0x30;
    setMask(0xE0);
    dotsToNextFrame(true);
    advanceTo(241, 2, true);
    EXPECT_FALSE(ppu->displayEmphasised);
    EXPECT_EQ(std::memcmp(&ppu->displayFrame[0], &colorTable[3 * 0x30], 3), 0);
}

TEST(EmphasisColours, DimTheChannelsWhoseBitIsClear) {
    // White is 255 in every channel; 191/256 of it rounds to 190.
    const uint8_t expected[8][3] = {{255, 255, 255}, {255, 190, 190}, {190, 255, 190}, {255, 255, 190},
                                    {190, 190, 255}, {255, 190, 255}, {190, 255, 255}, {190, 190, 190}};
    for (unsigned bits = 0; bits < 8; ++bits) {
        uint8_t rgb[3];
        emphasisedColour(bits, 0x30, rgb);
        for (int c = 0; c < 3; ++c) EXPECT_EQ(rgb[c], expected[bits][c]) << "bits " << bits << " channel " << c;
        emphasisedColour(bits, 0x0F, rgb);
        EXPECT_EQ(rgb[0] | rgb[1] | rgb[2], 0) << "black stays black";
    }
}

namespace {

// 32 KiB NROM that keeps the hardware-only state busy: a loop writes PPUMASK
// with a counter (emphasis and rendering change all through the frame) and
// folds what PPUSTATUS, OAMDATA and the write-only PPUCTRL read into RAM; the NMI
// counts frames and moves the scroll.
Bytes busyImage() {
    Bytes prg = {
        0x78, 0xA2, 0xFF, 0x9A,              // SEI; LDX #$FF; TXS
        0xA2, 0x00, 0x8A, 0x4A, 0x4A,        // LDX #0; oam: TXA; LSR A; LSR A
        0x8D, 0x04, 0x20, 0xE8, 0xD0, 0xF7,  // STA $2004; INX; BNE oam (sprite n at Y = n)
        0xA9, 0x3F, 0x8D, 0x06, 0x20,        // LDA #$3F; STA $2006
        0xA9, 0x00, 0x8D, 0x06, 0x20,        // LDA #$00; STA $2006
        0xA9, 0x16, 0x8D, 0x07, 0x20,        // LDA #$16; STA $2007 (backdrop)
        0xA9, 0x80, 0x8D, 0x00, 0x20,        // LDA #$80; STA $2000
        0xE6, 0x10, 0xA5, 0x10,              // loop ($8023): INC $10; LDA $10
        0x8D, 0x01, 0x20,                    // STA $2001
        0xAD, 0x02, 0x20, 0x45, 0x12,        // LDA $2002; EOR $12
        0x85, 0x12,                          // STA $12
        0xAD, 0x04, 0x20, 0x45, 0x13,        // LDA $2004; EOR $13
        0x85, 0x13,                          // STA $13
        0xAD, 0x00, 0x20, 0x45, 0x14,        // LDA $2000; EOR $14
        0x85, 0x14,                          // STA $14
        0x4C, 0x23, 0x80,                    // JMP loop
        0xE6, 0x11, 0xA5, 0x11,              // nmi ($8042): INC $11; LDA $11
        0x8D, 0x05, 0x20, 0x8D, 0x05, 0x20,  // STA $2005 twice
        0x40,                                // RTI
    };
    Bytes chr(8192);
    for (size_t i = 0; i < chr.size(); ++i) chr[i] = uint8_t(i * 13);
    return nromImage(prg, 0x8042, 0x8000, chr);
}

}  // namespace

TEST(HardwarePpuSnapshot, MidFrameSnapshotsRestoreTheHardwareState) {
    const Bytes image = busyImage();
    auto original = hardwareConsole(image);
    play(*original, 3);
    int emphasised = 0;
    for (int round = 0; round < 24; ++round) {
        for (int i = 0; i < 997; ++i) original->advance();
        const Bytes snapshot = takeSnapshot(*original, round % 2 == 0);
        emphasised += original->ppu->displayEmphasised || !original->ppu->emphasisChanges.empty();
        const std::vector<Seen> expected = play(*original, 4);
        auto fresh = console(image);
        restoreSnapshot(*fresh, snapshot.data(), snapshot.size());
        EXPECT_EQ(fresh->timing(), Timing::Hardware);
        EXPECT_TRUE(takeSnapshot(*fresh, round % 2 == 0) == snapshot) << "round " << round;
        EXPECT_TRUE(play(*fresh, 4) == expected) << "round " << round;
    }
    EXPECT_GT(emphasised, 12) << "the program should keep emphasis changing";
}
