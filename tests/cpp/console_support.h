// Whole consoles for the tests: made headless, played with a joypad that
// changes every few frames, and what a player or a program sees after each
// frame.
#pragma once

#include <array>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "console/nes_unit.h"
#include "serial/checksum.h"
#include "state/snapshot.h"
#include "test_support.h"

inline std::unique_ptr<NESUnit> console(const Bytes& image, int32_t clock = NESUnit::kDefaultClock,
                                        Timing timing = Timing::Design) {
    auto unit = std::make_unique<NESUnit>(NESUnit::Headless{}, image, clock);
    if (timing != Timing::Design) unit->setTiming(timing);
    return unit;
}

inline std::unique_ptr<NESUnit> hardwareConsole(const Bytes& image) {
    return console(image, NESUnit::kDefaultClock, Timing::Hardware);
}

// The shared folder's demo cartridges by file name, when it is there.
inline std::vector<std::pair<std::string, Bytes>> demoImages() {
    std::vector<std::pair<std::string, Bytes>> found;
    const std::filesystem::path demos = std::filesystem::path(VELKORA_ROMS_DIR) / "demos";
    if (std::filesystem::is_directory(demos)) {
        for (const auto& entry : std::filesystem::directory_iterator(demos))
            found.emplace_back(entry.path().filename().string(), readFile(entry.path()));
    }
    return found;
}

// One instruction, then the APU and PPU brought to it a step and a dot at a
// time: the reference the console's catch-up is checked against. Returns
// the CPU's cycle count.
inline int64_t stepOneByOne(NESUnit& unit) {
    unit.cpu->step();
    const int64_t cycles = unit.cpu->cycles;
    while (2 * int64_t(unit.apu->apuCycles) < cycles) unit.apu->stepApu();
    while (unit.ppu->totalDots < 3 * cycles) unit.ppu->stepDot();
    return cycles;
}

// A joypad that changes every few frames, so games take different paths.
inline uint8_t script(int64_t frame) { return uint8_t((frame * 37 + (frame >> 3) * 11) & 0xFF); }

// Joypad 1 held as the bits of `buttons` say.
inline void setPad(NESUnit& unit, uint8_t buttons) {
    std::array<uint8_t, 8> states{};
    for (int i = 0; i < 8; ++i) states[size_t(i)] = (buttons >> i) & 1;
    unit.defaultPads[0].store(states);
}

inline void press(NESUnit& unit, int64_t frame) { setPad(unit, script(frame)); }

// What one frame leaves behind that a player or a program can see.
struct Seen {
    uint64_t picture, cpuMemory, ppuMemory, oam, audio, registers;
    int64_t cycles, frames;
    bool operator==(const Seen& o) const { return differences(o).empty(); }
    // The parts that differ from `o`, by name.
    std::string differences(const Seen& o) const {
        std::ostringstream out;
        const auto part = [&](const char* name, bool differs) {
            if (differs) out << " " << name;
        };
        part("picture", picture != o.picture);
        part("cpu memory", cpuMemory != o.cpuMemory);
        part("ppu memory", ppuMemory != o.ppuMemory);
        part("oam", oam != o.oam);
        part("audio", audio != o.audio);
        part("registers", registers != o.registers);
        part("cycles", cycles != o.cycles);
        part("frames", frames != o.frames);
        return out.str();
    }
};

// What the console shows now; takes the audio block it has ready.
inline Seen see(NESUnit& unit) {
    std::array<std::array<int16_t, APU::kBlockSamples>, APU::kBlocks> block{};
    const bool fresh = unit.apu->takeBlock(block);
    const CPU& cpu = *unit.cpu;
    const PPU& ppu = *unit.ppu;
    const uint64_t registers = uint64_t(cpu.PC) | uint64_t(cpu.A) << 16 | uint64_t(cpu.X) << 24 |
                               uint64_t(cpu.Y) << 32 | uint64_t(cpu.P) << 40;
    return {hash64(ppu.displayFrame.data(), ppu.displayFrame.size()),
            hash64(cpu.memory.data(), cpu.memory.size()),
            hash64(ppu.vram.data(), ppu.vram.size()),
            hash64(ppu.oam.data(), ppu.oam.size()),
            fresh ? hash64(reinterpret_cast<const uint8_t*>(block.data()), sizeof block) : 0,
            registers,
            unit.cycleCount(),
            unit.frameCount()};
}

// Both consoles show the same now, or the parts that differ.
inline testing::AssertionResult sameSeen(NESUnit& a, NESUnit& b) {
    const Seen seenA = see(a), seenB = see(b);
    if (seenA == seenB) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "differs in" << seenA.differences(seenB);
}

// Plays `frames` frames with the scripted joypad.
inline std::vector<Seen> play(NESUnit& unit, int frames) {
    std::vector<Seen> seen;
    for (int i = 0; i < frames; ++i) {
        press(unit, unit.frameCount());
        unit.runFrame();
        seen.push_back(see(unit));
    }
    return seen;
}

// A snapshot taken between instructions in the middle of a frame (after
// `warmup` frames and `steps` instructions, dots owed) restores into a
// console that ran `elsewhere` frames of its own: it snapshots back to the
// same bytes and plays the next `frames` frames as the original did.
inline void expectMidFrameReplay(const Bytes& image, Timing timing, int warmup, int steps, int elsewhere, int frames) {
    auto original = console(image, NESUnit::kDefaultClock, timing);
    play(*original, warmup);
    for (int i = 0; i < steps; ++i) original->advance();
    const Bytes snapshot = takeSnapshot(*original, false);
    const std::vector<Seen> first = play(*original, frames);
    auto fresh = console(image, NESUnit::kDefaultClock, timing);
    play(*fresh, elsewhere);
    restoreSnapshot(*fresh, snapshot.data(), snapshot.size());
    EXPECT_TRUE(takeSnapshot(*fresh, false) == snapshot) << steps << " steps";
    const std::vector<Seen> second = play(*fresh, frames);
    for (size_t f = 0; f < first.size(); ++f) {
        if (!(first[f] == second[f])) {
            ADD_FAILURE() << steps << " steps, frame " << f << " differs in" << first[f].differences(second[f]);
            break;
        }
    }
}
