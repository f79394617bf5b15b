// Complete snapshots: restoring one and replaying the same joypad input must
// give the same machine frame after frame, and a snapshot the console cannot
// trust must be refused without touching it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "console/nes_unit.h"
#include "console_support.h"
#include "serial/checksum.h"
#include "serial/word_runs.h"
#include "snapshot_fields.h"
#include "state/snapshot.h"
#include "test_support.h"

namespace {

// hash64 of the first-format snapshot of spinImage() after play(30), as the
// release that wrote that format gave it.
constexpr uint64_t kFirstFormatSpinHash = 0xc16e45d4bb52a2b1ull;

std::vector<Bytes> images() {
    std::vector<Bytes> found = {spinImage(), spinImage(true)};
    for (auto& [name, demo] : demoImages()) found.push_back(std::move(demo));
    return found;
}

TEST(Snapshot, RestoredConsolesReplayExactlyAsTheOriginal) {
    for (const Bytes& image : images()) {
        for (const bool picture : {true, false}) {
            auto original = console(image);
            play(*original, 150);
            const Bytes snapshot = takeSnapshot(*original, picture);
            const std::vector<Seen> first = play(*original, 90);

            // Into the same console after it went elsewhere, and into a new one;
            // either then snapshots back to the very same bytes.
            play(*original, 40);
            restoreSnapshot(*original, snapshot.data(), snapshot.size());
            EXPECT_TRUE(takeSnapshot(*original, picture) == snapshot);
            EXPECT_TRUE(play(*original, 90) == first) << picture;
            auto fresh = console(image);
            restoreSnapshot(*fresh, snapshot.data(), snapshot.size());
            EXPECT_TRUE(takeSnapshot(*fresh, picture) == snapshot);
            EXPECT_TRUE(play(*fresh, 90) == first) << picture;

            // Taking a snapshot changes nothing either: a console that never
            // took one sees the same frames.
            auto untouched = console(image);
            play(*untouched, 150);
            EXPECT_TRUE(play(*untouched, 90) == first);
            EXPECT_EQ(takeSnapshot(*fresh), takeSnapshot(*original));
        }
    }
}

TEST(Snapshot, MidFrameSnapshotsAfterSingleSteps) {
    for (const Bytes& image : images()) {
        for (const int steps : {1234, 5000, 9000}) expectMidFrameReplay(image, Timing::Design, 20, steps, 7, 30);
    }
}

TEST(Snapshot, ThePictureTravelsOnlyWhenAskedFor) {
    for (const Bytes& image : images()) {
        auto original = console(image);
        play(*original, 100);
        const Bytes with = takeSnapshot(*original, true);
        const Bytes without = takeSnapshot(*original, false);
        EXPECT_LE(without.size(), with.size());
        const Bytes shown(original->ppu->displayFrame.begin(), original->ppu->displayFrame.end());

        // A console showing something else: with the picture it shows the
        // saved one at once, without it keeps its own until the next frame.
        auto other = console(image);
        play(*other, 37);
        const Bytes own(other->ppu->displayFrame.begin(), other->ppu->displayFrame.end());
        restoreSnapshot(*other, without.data(), without.size());
        EXPECT_TRUE(Bytes(other->ppu->displayFrame.begin(), other->ppu->displayFrame.end()) == own);
        restoreSnapshot(*other, with.data(), with.size());
        EXPECT_TRUE(Bytes(other->ppu->displayFrame.begin(), other->ppu->displayFrame.end()) == shown);
        // Onto a console that has shown nothing yet, and one that paints no RGB.
        auto blank = console(image);
        restoreSnapshot(*blank, with.data(), with.size());
        EXPECT_TRUE(Bytes(blank->ppu->displayFrame.begin(), blank->ppu->displayFrame.end()) == shown);
        auto palette = console(image);
        palette->ppu->setRgbFrames(false);
        restoreSnapshot(*palette, with.data(), with.size());
        EXPECT_TRUE(palette->ppu->displayColorIndex == original->ppu->displayColorIndex);
        palette->ppu->setRgbFrames(true);
        EXPECT_TRUE(Bytes(palette->ppu->displayFrame.begin(), palette->ppu->displayFrame.end()) == shown);
    }
}

// A block of samples complete but not yet handed over (as at power-on, when
// it is 1024 zeros) travels with the snapshot too.
TEST(Snapshot, AFullBlockNotYetHandedOverTravels) {
    for (const Bytes& image : images()) {
        auto fresh = console(image);
        const Bytes powerOn = takeSnapshot(*fresh);
        auto used = console(image);
        play(*used, 33);
        restoreSnapshot(*used, powerOn.data(), powerOn.size());
        EXPECT_TRUE(play(*used, 40) == play(*fresh, 40));
        // And at any later multiple of 1024 samples.
        auto ahead = console(image);
        while (ahead->apu->sampleCount % APU::kBlockSamples != 0 || ahead->apu->sampleCount == 0) ahead->advance();
        const Bytes atEdge = takeSnapshot(*ahead);
        auto other = console(image);
        play(*other, 5);
        restoreSnapshot(*other, atEdge.data(), atEdge.size());
        EXPECT_TRUE(play(*other, 20) == play(*ahead, 20));
    }
}

// The first format, which kept every memory whole: snapshots users kept load,
// and the console continues exactly as the one that took them.
TEST(Snapshot, FirstFormatSnapshotsStillRestore) {
    for (const Bytes& image : images()) {
        auto original = console(image);
        play(*original, 120);
        for (int i = 0; i < 777; ++i) original->advance();
        const Bytes old = takeSnapshotOfVersion(*original, 1);
        const Bytes now = takeSnapshot(*original);
        const std::vector<Seen> first = play(*original, 60);
        auto fresh = console(image);
        play(*fresh, 3);
        restoreSnapshot(*fresh, old.data(), old.size());
        // The same machine as the newer format gives (a window may name
        // another bank of the same bytes: the old format kept no numbers).
        auto viaNew = console(image);
        restoreSnapshot(*viaNew, now.data(), now.size());
        EXPECT_TRUE(fresh->cpu->memory == viaNew->cpu->memory);
        EXPECT_TRUE(fresh->ppu->vram == viaNew->ppu->vram);
        EXPECT_EQ(fresh->cartridge->patchedPages, 0u);
        EXPECT_TRUE(play(*fresh, 60) == first);
    }
    // The bytes that format gave for a known machine, recorded before this
    // version existed: its reader and writer still agree with it.
    auto unit = console(spinImage());
    play(*unit, 30);
    const Bytes old = takeSnapshotOfVersion(*unit, 1);
    EXPECT_EQ(old.size(), 230051u);
    EXPECT_EQ(hash64(old.data(), old.size()), kFirstFormatSpinHash);
}

// A snapshot carries its console's timing and restoring it sets it; the
// older formats hold design consoles, whatever console restores them.
TEST(Snapshot, TheTimingTravelsAndOlderFormatsRestoreAsDesign) {
    for (const Timing timing : {Timing::Design, Timing::Hardware}) {
        auto original = console(spinImage(), NESUnit::kDefaultClock, timing);
        play(*original, 40);
        for (int i = 0; i < 333; ++i) original->advance();
        const Bytes now = takeSnapshot(*original);
        EXPECT_EQ(snapshotTiming(now.data(), now.size()), timing);
        const std::vector<Seen> first = play(*original, 30);
        for (const Timing other : {Timing::Design, Timing::Hardware}) {
            auto fresh = console(spinImage(), NESUnit::kDefaultClock, other);
            play(*fresh, 3);
            restoreSnapshot(*fresh, now.data(), now.size());
            EXPECT_EQ(fresh->timing(), timing);
            EXPECT_TRUE(play(*fresh, 30) == first);
        }
        for (const uint32_t version : {1u, 2u}) {
            auto source = console(spinImage(), NESUnit::kDefaultClock, timing);
            play(*source, 40);
            const Bytes old = takeSnapshotOfVersion(*source, version);
            EXPECT_EQ(snapshotTiming(old.data(), old.size()), Timing::Design);
            auto hardware = hardwareConsole(spinImage());
            play(*hardware, 3);
            restoreSnapshot(*hardware, old.data(), old.size());
            EXPECT_EQ(hardware->timing(), Timing::Design) << version;
        }
    }
    // The timing byte is checked as the rest of the snapshot is.
    auto unit = console(spinImage());
    Bytes snapshot = takeSnapshot(*unit);
    snapshot[kSnapshotHeaderBytes + 8] = 2;
    sealSnapshot(snapshot.data(), snapshot.size());
    EXPECT_THROW(snapshotTiming(snapshot.data(), snapshot.size()), SnapshotError);
    EXPECT_THROW(restoreSnapshot(*unit, snapshot.data(), snapshot.size()), SnapshotError);
    snapshot[20] ^= 1;  // the cartridge identity: not snapshotTiming's concern
    sealSnapshot(snapshot.data(), snapshot.size());
    snapshot[kSnapshotHeaderBytes + 8] = 1;
    sealSnapshot(snapshot.data(), snapshot.size());
    EXPECT_EQ(snapshotTiming(snapshot.data(), snapshot.size()), Timing::Hardware);
    snapshot.back() ^= 1;
    EXPECT_THROW(snapshotTiming(snapshot.data(), snapshot.size()), SnapshotError);
}

// Bytes written into the ROM windows and the mirrors through the memory
// views are part of the machine, and come back.
TEST(Snapshot, PatchesThroughTheViewsSurvive) {
    auto patched = console(spinImage());
    play(*patched, 40);
    patched->cpu->memoryShared = patched->ppu->vramShared = true;
    const auto poke = [&](uint8_t* at, uint8_t value) { *at = value; };
    poke(&patched->cpu->memory[0xFFF0], 0x5A);  // ROM, never executed
    poke(&patched->cpu->memory[0x9000], 0x77);
    poke(&patched->cpu->memory[0x0900], 0x12);  // RAM mirror
    poke(&patched->cpu->memory[0x3001], 0x34);  // register mirror
    poke(&patched->ppu->vram[0x0105], 0xEE);    // CHR ROM
    poke(&patched->ppu->vram[0x3104], 0x56);    // nametable mirror
    const Bytes snapshot = takeSnapshot(*patched);
    const std::vector<Seen> first = play(*patched, 30);

    auto fresh = console(spinImage());
    restoreSnapshot(*fresh, snapshot.data(), snapshot.size());
    auto again = console(spinImage());
    restoreSnapshot(*again, snapshot.data(), snapshot.size());
    EXPECT_TRUE(fresh->cpu->memory == again->cpu->memory);
    EXPECT_EQ(fresh->cpu->memory[0xFFF0], 0x5A);
    EXPECT_EQ(fresh->cpu->memory[0x0900], 0x12);
    EXPECT_EQ(fresh->cpu->memory[0x3001], 0x34);
    EXPECT_EQ(fresh->ppu->vram[0x0105], 0xEE);
    EXPECT_EQ(fresh->ppu->vram[0x3104], 0x56);
    EXPECT_TRUE(takeSnapshot(*fresh) == snapshot);
    EXPECT_TRUE(play(*fresh, 30) == first);

    // A clean snapshot takes the patches away again, views or not.
    auto clean = console(spinImage());
    play(*clean, 40);
    const Bytes plain = takeSnapshot(*clean);
    for (NESUnit* unit : {fresh.get(), patched.get()}) {
        restoreSnapshot(*unit, plain.data(), plain.size());
        EXPECT_TRUE(unit->cpu->memory == clean->cpu->memory);
        EXPECT_TRUE(unit->ppu->vram == clean->ppu->vram);
        EXPECT_TRUE(takeSnapshot(*unit) == plain);
    }
}

// The windows come back from bank numbers: every bank a board can show,
// restored into a console showing others, gives the same memories.
TEST(Snapshot, RomWindowsAreRebuiltFromTheBanks) {
    struct Board {
        int mapper;
        int prgKiB, chrKiB;
        std::vector<std::pair<uint16_t, uint8_t>> writesA, writesB;
    };
    const std::vector<Board> boards = {
        {2, 128, 0, {{0x8000, 3}}, {{0x8000, 5}}},          // UxROM, CHR RAM
        {3, 32, 32, {{0x8000, 1}}, {{0x8000, 3}}},          // CNROM
        {66, 128, 32, {{0x8000, 0x21}}, {{0x8000, 0x13}}},  // GxROM
        {4,
         128,
         128,
         {{0x8000, 0x46}, {0x8001, 9}, {0x8000, 0x82}, {0x8001, 20}},  // MMC3, both layouts
         {{0x8000, 0x06}, {0x8001, 4}, {0x8000, 0x02}, {0x8001, 7}}},
    };
    for (const Board& board : boards) {
        const Bytes image = cartImage(board.mapper, randomBytes(size_t(board.prgKiB) * 1024, 3),
                                      randomBytes(size_t(board.chrKiB) * 1024, 4));
        auto a = console(image);
        auto b = console(image);
        for (auto [address, value] : board.writesA) a->cpu->write(address, value);
        for (auto [address, value] : board.writesB) b->cpu->write(address, value);
        ASSERT_FALSE(a->cpu->memory == b->cpu->memory && a->ppu->vram == b->ppu->vram) << board.mapper;
        const Bytes snapshot = takeSnapshot(*a, false);
        restoreSnapshot(*b, snapshot.data(), snapshot.size());
        EXPECT_TRUE(a->cpu->memory == b->cpu->memory) << board.mapper;
        EXPECT_TRUE(a->ppu->vram == b->ppu->vram) << board.mapper;
        // And from there the boards go on alike.
        for (NESUnit* unit : {a.get(), b.get()}) unit->cpu->write(0x8000, 0x40);
        EXPECT_TRUE(a->cpu->memory == b->cpu->memory) << board.mapper;
        EXPECT_TRUE(takeSnapshot(*a) == takeSnapshot(*b)) << board.mapper;
    }
}

TEST(Snapshot, RefusedSnapshotsLeaveTheConsoleAsItWas) {
    auto unit = console(spinImage());
    play(*unit, 30);
    const Bytes good = takeSnapshot(*unit);
    play(*unit, 5);

    Bytes altered = good;
    altered[good.size() / 2] ^= 1;
    Bytes version = good;
    version[8] = 9;
    Bytes truncated(good.begin(), good.end() - 1);
    Bytes notOne = good;
    notOne[0] = 'X';

    expectRefused(*unit, altered, "checksum does not match");
    expectRefused(*unit, version, "version 9 is not supported");
    expectRefused(*unit, truncated, "truncated");
    expectRefused(*unit, Bytes(good.begin(), good.begin() + 20), "truncated");
    expectRefused(*unit, notOne, "not a velkora snapshot");
    expectRefused(*unit, Bytes(), "not a velkora snapshot");

    expectRefused(*console(plainImage()), good, "another cartridge");
    auto faster = console(spinImage(), 2 * NESUnit::kDefaultClock);
    expectRefused(*faster, good, "CLOCK_SPEED");

    // Values the machine can never hold, behind a valid checksum.
    expectRefused(*unit, withField(*unit, good, "PPU scanline", 262), "PPU scanline is 262");
    expectRefused(*unit, withField(*unit, good, "PPU fine X scroll", 8), "fine X");
    expectRefused(*unit, withField(*unit, good, "triangle step", 32), "triangle step");
    expectRefused(*unit, withField(*unit, good, "DMC output level", 128), "DMC output level");
    expectRefused(*unit, withField(*unit, good, "PRG window bank", 40), "PRG window bank is 40, outside -1 to 31");
    expectRefused(*unit, withField(*unit, good, "audio level runs", 2000), "audio level runs");
    expectRefused(*unit, withField(*unit, good, "CPU cycle count", -5), "CPU cycle count");

    // A sprite's column and X counter move together; other pairs would draw
    // from outside its eight columns (found by the fuzzer).
    const auto sprite = [&](bool drawing, int64_t x, int64_t column) {
        return withFields(*unit, good,
                          {{"line sprite count", 1},
                           {"sprites drawing", drawing ? 1 : 0},
                           {"sprite X counter", x},
                           {"sprite column", column}});
    };
    for (const auto& [drawing, x, column] : {std::tuple{true, 100, 0}, {true, -3, -1}, {true, -3, 4}, {false, 4, 3}})
        expectRefused(*unit, sprite(drawing, x, column), "column does not match");
    for (const auto& [drawing, x, column] : {std::tuple{true, -3, 5}, {true, -8, 0}, {false, 4, 7}, {false, -8, -1}}) {
        auto twin = console(spinImage());
        const Bytes accepted = sprite(drawing, x, column);
        restoreSnapshot(*twin, accepted.data(), accepted.size());
        play(*twin, 2);
    }
    Bytes section = good;
    section[kSnapshotHeaderBytes] = 'X';
    sealSnapshot(section.data(), section.size());
    expectRefused(*unit, section, "section NES");
}

// Written into a buffer of fixed size (a Python bytes object), a snapshot is
// the same bytes; one that does not fit is given up, not cut short.
TEST(Snapshot, FixedBuffersHoldTheSameBytesOrNone) {
    for (const Bytes& image : images()) {
        auto unit = console(image);
        play(*unit, 25);
        for (const bool picture : {false, true}) {
            const Bytes expected = takeSnapshot(*unit, picture);
            for (const size_t capacity : {expected.size(), expected.size() + 1000, size_t(1) << 20}) {
                Bytes buffer(capacity, 0xAB);
                ASSERT_EQ(writeSnapshot(*unit, buffer.data(), capacity, picture), expected.size());
                EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin())) << capacity;
            }
            for (const size_t capacity : {expected.size() - 1, size_t(40), size_t(0)}) {
                Bytes buffer(capacity + 1);
                EXPECT_EQ(writeSnapshot(*unit, buffer.data(), capacity, picture), 0u) << capacity;
            }
        }
    }
}

// Each level word of the audio runs is checked, wherever it lies among them
// (they are checked two at a time): a pulse or triangle field of 31, or a
// bit above the DMC's, is refused.
TEST(Snapshot, AudioLevelsOutOfRangeAreRefused) {
    int checked = 0;
    for (const Bytes& image : images()) {
        auto unit = console(image);
        play(*unit, 40);
        const Bytes good = takeSnapshot(*unit, false);
        const auto layout = snapshotLayout(*unit, good.data(), good.size());
        const auto levels = std::find_if(layout.begin(), layout.end(),
                                         [](const auto& f) { return f.name && std::string(f.name) == "audio levels"; });
        ASSERT_NE(levels, layout.end());
        const size_t runs = levels->size / 4;
        if (runs < 3) continue;
        ++checked;
        for (const size_t k : {size_t(0), size_t(1), size_t(2), runs / 2, runs - 1}) {
            for (const uint32_t bad : {31u, 31u << 5, 31u << 10, 1u << 26, 1u << 31}) {
                Bytes changed = good;
                uint32_t level;
                std::memcpy(&level, &changed[levels->offset + 4 * k], 4);
                level |= bad;
                std::memcpy(&changed[levels->offset + 4 * k], &level, 4);
                sealSnapshot(changed.data(), changed.size());
                expectRefused(*unit, changed, "audio level is out of range");
            }
        }
    }
    // The built-in spin images are silent; only the shared demos make such runs.
    EXPECT_TRUE(checked > 0 || demoImages().empty()) << "no cartridge made three audio level runs";
    // The check of many words at once agrees with the APU's own rule.
    std::mt19937 random(5);
    for (int i = 0; i < 200000; ++i) {
        uint32_t level = uint32_t(random());
        if (i % 2) level &= (1u << 26) - 1;
        if (i % 3 == 0) level |= 31u << (5 * (i % 9 / 3));
        uint8_t stored[4];
        std::memcpy(stored, &level, 4);
        ASSERT_EQ(word_runs::anyFull(stored, 1, 0x0421, 0x4210, ~0u << 26), !APU::validLevels(level)) << level;
    }
}

TEST(Snapshot, SampleCountFollowsFromTheClockAndMixingCanBeOff) {
    // The restore derives the sample count from the cycle count; check that
    // the running console agrees with the rule at every step.
    for (int32_t clock : {NESUnit::kDefaultClock, 0, 2, 44100}) {
        auto unit = console(spinImage(), clock);
        for (int i = 0; i < 20000; ++i) {
            unit->advance();
            catch_up::beforeStateAccess(*unit->cpu);
            ASSERT_EQ(unit->apu->sampleCount, unit->apu->samplesBefore(unit->apu->apuCycles)) << clock << " " << i;
        }
    }
    // Without mixing, everything but the sound is the same.
    for (const Bytes& image : images()) {
        auto mixed = console(image);
        auto silent = console(image);
        silent->apu->setMixing(false);
        std::vector<Seen> a = play(*mixed, 120), b = play(*silent, 120);
        for (size_t i = 0; i < a.size(); ++i) {
            a[i].audio = 0;
            ASSERT_EQ(b[i].audio, 0u);
            ASSERT_TRUE(a[i] == b[i]) << "frame " << i;
        }
        // Its snapshots restore into a mixing console, which plays on exactly.
        const Bytes snapshot = takeSnapshot(*silent);
        const std::vector<Seen> after = play(*mixed, 60);
        auto restored = console(image);
        restoreSnapshot(*restored, snapshot.data(), snapshot.size());
        std::vector<Seen> replay = play(*restored, 60);
        for (size_t i = 0; i < replay.size(); ++i) {
            Seen expected = after[i];
            if (i < 2) expected.audio = replay[i].audio = 0;  // the first block began in silence
            ASSERT_TRUE(replay[i] == expected) << "frame " << i;
        }
    }
}

}  // namespace
