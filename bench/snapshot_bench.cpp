// What a snapshot costs in the core, without Python around it: for each
// cartridge, a console after 300 frames; the size, and the time to take and
// to restore one, with and without the finished picture. Then a
// search-shaped loop: restore one of 1,000 stored snapshots, run 4 frames,
// take a snapshot, against plain 4-frame steps.
//
//     snapshot_bench [--calls N] [--no-search] ROM...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "console/nes_unit.h"
#include "state/snapshot.h"

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double microseconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::micro>(b - a).count();
}

std::vector<uint8_t> readFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// A joypad that changes every few frames, so the game moves on.
void press(NESUnit& unit, int64_t frame) {
    std::array<uint8_t, 8> states{};
    const unsigned script = unsigned(frame * 37 + (frame >> 3) * 11);
    for (int i = 0; i < 8; ++i) states[size_t(i)] = (script >> i) & 1;
    unit.defaultPads[0].store(states);
}

void runFrames(NESUnit& unit, int frames) {
    for (int i = 0; i < frames; ++i) {
        press(unit, unit.frameCount());
        unit.runFrame();
    }
}

// The lowest of three medians: other work on the machine only adds time.
void costs(NESUnit& unit, bool picture, int calls) {
    std::vector<uint8_t> out;
    const size_t size = writeSnapshot(unit, out, picture);
    const std::vector<uint8_t> data(out.begin(), out.begin() + long(size));
    double bestTake = 1e9, bestRestore = 1e9;
    for (int repeat = 0; repeat < 3; ++repeat) {
        std::vector<double> take, restore;
        for (int i = 0; i < calls; ++i) {
            const Clock::time_point a = Clock::now();
            writeSnapshot(unit, out, picture);
            const Clock::time_point b = Clock::now();
            restoreSnapshot(unit, data.data(), data.size());
            const Clock::time_point c = Clock::now();
            take.push_back(microseconds(a, b));
            restore.push_back(microseconds(b, c));
        }
        bestTake = std::min(bestTake, median(take));
        bestRestore = std::min(bestRestore, median(restore));
    }
    std::printf("  %-8s %8zu %9.2f %9.2f", picture ? "picture" : "compact", size, bestTake, bestRestore);
}

// Steps per second of rounds of: restore one of the stored snapshots, run
// 4 frames, take a snapshot; and of the 4 frames alone, timed in the same
// rounds, so both run from the same machine states.
std::pair<double, double> searchRates(NESUnit& unit, const std::vector<std::vector<uint8_t>>& stored, bool picture,
                                      int steps) {
    std::vector<uint8_t> out;
    uint32_t pick = 12345;
    double frames = 0, all = 0;
    for (int i = 0; i < steps; ++i) {
        pick = pick * 1103515245u + 12345u;
        const std::vector<uint8_t>& data = stored[(pick >> 8) % stored.size()];
        const Clock::time_point a = Clock::now();
        restoreSnapshot(unit, data.data(), data.size());
        const Clock::time_point b = Clock::now();
        runFrames(unit, 4);
        const Clock::time_point c = Clock::now();
        writeSnapshot(unit, out, picture);
        const Clock::time_point d = Clock::now();
        frames += microseconds(b, c);
        all += microseconds(a, d);
    }
    return {steps / frames * 1e6, steps / all * 1e6};
}

}  // namespace

int main(int argc, char** argv) {
    int calls = 2000;
    bool search = true;
    std::vector<const char*> roms;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--calls") == 0 && i + 1 < argc) calls = std::max(10, std::stoi(argv[++i]));
        else if (std::strcmp(argv[i], "--no-search") == 0) search = false;
        else roms.push_back(argv[i]);
    }
    std::printf(
        "the core alone: snapshots of a console after 300 frames, lowest of 3 medians of %d calls "
        "(bytes, microseconds)\n",
        calls);
    std::printf("%-20s  %-8s %8s %9s %9s  %-8s %8s %9s %9s\n", "ROM", "", "size", "take", "restore", "", "size", "take",
                "restore");
    std::vector<std::vector<uint8_t>> images;
    for (const char* rom : roms) {
        images.push_back(readFile(rom));
        NESUnit unit(NESUnit::Headless{}, images.back(), NESUnit::kDefaultClock);
        unit.apu->setMixing(true);
        runFrames(unit, 300);
        const char* name = std::strrchr(rom, '/') ? std::strrchr(rom, '/') + 1 : rom;
        std::printf("%-20s", name);
        costs(unit, false, calls);
        costs(unit, true, calls);
        std::printf("\n");
    }

    if (!search) return 0;
    std::printf("\nsearch loop: restore one of 1,000 snapshots, run 4 frames, take one (steps/s)\n");
    std::printf("%-20s %10s %10s %8s %10s %8s\n", "ROM", "4 frames", "compact", "", "picture", "");
    for (size_t r = 0; r < roms.size(); ++r) {
        NESUnit unit(NESUnit::Headless{}, images[r], NESUnit::kDefaultClock);
        std::vector<std::vector<uint8_t>> compact, pictures;
        for (int i = 0; i < 1000; ++i) {
            runFrames(unit, 1);
            compact.push_back(takeSnapshot(unit, false));
            pictures.push_back(takeSnapshot(unit, true));
        }
        const int steps = 2000;
        const auto [plain, withCompact] = searchRates(unit, compact, false, steps);
        const auto [plain2, withPicture] = searchRates(unit, pictures, true, steps);
        const double frames = (plain + plain2) / 2;
        const char* name = std::strrchr(roms[r], '/') ? std::strrchr(roms[r], '/') + 1 : roms[r];
        std::printf("%-20s %10.0f %10.0f %+7.1f%% %10.0f %+7.1f%%\n", name, frames, withCompact,
                    (withCompact / plain - 1) * 100, withPicture, (withPicture / plain2 - 1) * 100);
    }
    return 0;
}
