// Complete snapshots: restoring one and replaying the same joypad input must
// give the same machine frame after frame, and a snapshot the console cannot
// trust must be refused without touching it.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "console/nes_unit.h"
#include "state/checksum.h"
#include "state/snapshot.h"
#include "test_support.h"

namespace {

std::unique_ptr<NESUnit> console(const Bytes& image, int32_t clock = NESUnit::kDefaultClock) {
    return std::make_unique<NESUnit>(NESUnit::Headless{}, image, clock);
}

// A joypad that changes every few frames, so games take different paths.
uint8_t script(int64_t frame) { return uint8_t((frame * 37 + (frame >> 3) * 11) & 0xFF); }

void press(NESUnit& unit, int64_t frame) {
    std::array<uint8_t, 8> states{};
    for (int i = 0; i < 8; ++i) states[size_t(i)] = (script(frame) >> i) & 1;
    unit.defaultPads[0].store(states);
}

// What one frame leaves behind that a player or a program can see.
struct Seen {
    uint64_t picture, cpuMemory, ppuMemory, oam, audio;
    int64_t cycles, frames;
    bool operator==(const Seen& o) const {
        return picture == o.picture && cpuMemory == o.cpuMemory && ppuMemory == o.ppuMemory && oam == o.oam &&
               audio == o.audio && cycles == o.cycles && frames == o.frames;
    }
};

std::vector<Seen> play(NESUnit& unit, int frames) {
    std::vector<Seen> seen;
    std::array<std::array<int16_t, APU::kBlockSamples>, APU::kBlocks> block{};
    for (int i = 0; i < frames; ++i) {
        press(unit, unit.frameCount());
        unit.runFrame();
        const bool fresh = unit.apu->takeBlock(block);
        const PPU& ppu = *unit.ppu;
        seen.push_back({hash64(ppu.displayFrame.data(), ppu.displayFrame.size()),
                        hash64(unit.cpu->memory.data(), unit.cpu->memory.size()),
                        hash64(ppu.vram.data(), ppu.vram.size()), hash64(ppu.oam.data(), ppu.oam.size()),
                        fresh ? hash64(reinterpret_cast<const uint8_t*>(block.data()), sizeof block) : 0,
                        unit.cycleCount(), unit.frameCount()});
    }
    return seen;
}

std::vector<Bytes> images() {
    std::vector<Bytes> found = {spinImage(), spinImage(true)};
    const std::filesystem::path demos = std::filesystem::path(VELKORA_ROMS_DIR) / "demos";
    if (std::filesystem::is_directory(demos)) {
        for (const auto& entry : std::filesystem::directory_iterator(demos)) found.push_back(readFile(entry.path()));
    }
    return found;
}

TEST(Snapshot, RestoredConsolesReplayExactlyAsTheOriginal) {
    for (const Bytes& image : images()) {
        auto original = console(image);
        play(*original, 150);
        const Bytes snapshot = takeSnapshot(*original);
        const std::vector<Seen> first = play(*original, 90);

        // Into the same console after it went elsewhere, and into a new one.
        play(*original, 40);
        restoreSnapshot(*original, snapshot.data(), snapshot.size());
        EXPECT_TRUE(play(*original, 90) == first);
        auto fresh = console(image);
        restoreSnapshot(*fresh, snapshot.data(), snapshot.size());
        EXPECT_TRUE(play(*fresh, 90) == first);

        // Taking a snapshot changes nothing either: a console that never
        // took one sees the same frames.
        auto untouched = console(image);
        play(*untouched, 150);
        EXPECT_TRUE(play(*untouched, 90) == first);
        EXPECT_EQ(takeSnapshot(*fresh), takeSnapshot(*original));
    }
}

TEST(Snapshot, MidFrameSnapshotsAfterSingleSteps) {
    // Between instructions, in the middle of a frame, with dots owed.
    for (const Bytes& image : images()) {
        auto original = console(image);
        play(*original, 20);
        for (int i = 0; i < 1234; ++i) original->advance();
        const Bytes snapshot = takeSnapshot(*original);
        const std::vector<Seen> first = play(*original, 30);
        auto fresh = console(image);
        restoreSnapshot(*fresh, snapshot.data(), snapshot.size());
        EXPECT_TRUE(play(*fresh, 30) == first);
    }
}

// The console must not change at all when a restore is refused.
void expectRefused(NESUnit& unit, const Bytes& data, const std::string& reason) {
    const Bytes before = takeSnapshot(unit);
    try {
        restoreSnapshot(unit, data.data(), data.size());
        ADD_FAILURE() << "accepted, expected: " << reason;
    } catch (const SnapshotError& error) {
        EXPECT_NE(std::string(error.what()).find(reason), std::string::npos) << error.what();
    }
    const Bytes after = takeSnapshot(unit);
    EXPECT_TRUE(after == before) << reason;
    if (after != before) {
        for (const auto& field : snapshotLayout(unit)) {
            if (std::memcmp(&after[field.offset], &before[field.offset], field.size) != 0)
                ADD_FAILURE() << "differs at " << field.offset << " " << (field.name ? field.name : "?") << " size " << field.size;
        }
    }
}

// A deliberate change to one field, with the checksum made anew.
Bytes withField(NESUnit& unit, const Bytes& snapshot, const std::string& name, int64_t value) {
    Bytes changed = snapshot;
    for (const auto& field : snapshotLayout(unit)) {
        if (field.name && name == field.name) {
            std::memcpy(&changed[field.offset], &value, std::min<size_t>(field.size, sizeof value));
            sealSnapshot(changed.data(), changed.size());
            return changed;
        }
    }
    ADD_FAILURE() << "no field " << name;
    return changed;
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
    expectRefused(*unit, withField(*unit, good, "picture being drawn", 64), "picture being drawn holds values");
    expectRefused(*unit, withField(*unit, good, "CPU cycle count", -5), "CPU cycle count");
    Bytes section = good;
    section[kSnapshotHeaderBytes] = 'X';
    sealSnapshot(section.data(), section.size());
    expectRefused(*unit, section, "section NES");

}

TEST(Snapshot, SampleCountFollowsFromTheClockAndMixingCanBeOff) {
    // The restore derives the sample count from the cycle count; check that
    // the running console agrees with the rule at every step.
    for (int32_t clock : {NESUnit::kDefaultClock, 0, 2, 44100}) {
        auto unit = console(spinImage(), clock);
        for (int i = 0; i < 20000; ++i) {
            unit->advance();
            unit->catchUpAll();
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
