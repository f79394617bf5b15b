// The catch-up contract (console/catch_up.h), entry point by entry point, on
// consoles stopped between instructions of real programs: with the window
// open, dots owed and timer steps pending.
#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "console/catch_up.h"
#include "console/nes_unit.h"
#include "console_support.h"
#include "serial/state_stream.h"
#include "state/snapshot.h"
#include "test_support.h"

namespace {

std::vector<std::pair<std::string, Bytes>> programs() {
    std::vector<std::pair<std::string, Bytes>> found = demoImages();
    found.emplace(found.begin(), "spin", spinImage());
    return found;
}

void expectLevel(NESUnit& unit, int64_t cycles, const std::string& where) {
    EXPECT_EQ(int64_t(unit.ppu->totalDots), 3 * cycles) << where;
    EXPECT_EQ(int64_t(unit.apu->apuCycles), (cycles + 1) / 2) << where;
}

struct Entry {
    const char* name;
    void (*enter)(CPU&);
    // The bus calls it inside a step, when the chips are at most at the
    // step's start; otherwise between steps.
    bool insideStep;
    // What holds right after the call beyond the chips' level; false when the
    // point showed nothing the entry had to do (no dot owed before it, say).
    bool (*check)(NESUnit&, const std::string& where);
};

const Entry kEntries[] = {
    {"RegisterAccess", catch_up::beforeRegisterAccess, true,
     [](NESUnit& unit, const std::string& where) {
         EXPECT_TRUE(unit.cpu->ioTouched) << where;
         // The register pays what it needs: dots stay owed here.
         return unit.ppu->owedDots > 0;
     }},
    {"BoardAccess", catch_up::beforeBoardAccess, true,
     [](NESUnit& unit, const std::string& where) {
         EXPECT_TRUE(unit.cpu->ioTouched) << where;
         EXPECT_EQ(unit.ppu->owedDots, 0) << where;
         return true;
     }},
    {"OamDma", catch_up::beforeOamDma, true,
     [](NESUnit& unit, const std::string& where) {
         EXPECT_EQ(unit.ppu->owedDots, 0) << where;
         return true;
     }},
    {"StateAccess", catch_up::beforeStateAccess, false,
     [](NESUnit& unit, const std::string& where) {
         EXPECT_EQ(unit.ppu->owedDots, 0) << where;
         EXPECT_EQ(unit.cpu->aheadUntil, -1) << where;
         // The chips' own savers refuse anything owed or pending.
         std::vector<uint8_t> out;
         StateStream save(out, 0);
         unit.cpu->serialize(save);
         EXPECT_NO_THROW(unit.ppu->serialize(save)) << where;
         EXPECT_NO_THROW(unit.apu->serialize(save)) << where;
         return true;
     }},
};

void PrintTo(const Entry& entry, std::ostream* out) { *out << entry.name; }

class EntryPoint : public ::testing::TestWithParam<Entry> {};

// Called between any two instructions, an entry point keeps its promise and
// changes nothing the program or the player sees: a twin that never calls it
// runs frame for frame the same.
TEST_P(EntryPoint, KeepsItsPromiseAndChangesNothingSeen) {
    const Entry& entry = GetParam();
    for (const auto& [name, image] : programs()) {
        auto touched = console(image);
        auto twin = console(image);
        std::mt19937 rng(7);
        int lagging = 0;
        int applied = 0;
        int points = 0;
        for (int frame = 0; frame < 24; ++frame) {
            touched->runFrame();
            twin->runFrame();
            const std::string where = name + " frame " + std::to_string(frame);
            // A completed frame leaves nothing owed and no window.
            ASSERT_EQ(touched->ppu->owedDots, 0) << where;
            ASSERT_EQ(touched->cpu->aheadUntil, -1) << where;
            ASSERT_TRUE(sameSeen(*touched, *twin)) << where;
            if (frame < 4) continue;
            for (int point = 0; point < 12; ++point) {
                for (int steps = 1 + int(rng() % 400); steps > 0; --steps) {
                    touched->advance();
                    twin->advance();
                }
                const int64_t cycles = touched->cpu->cycles;
                lagging += touched->ppu->totalDots != 3 * cycles || touched->ppu->owedDots > 0;
                const std::string at = where + " point " + std::to_string(point);
                CPU& cpu = *touched->cpu;
                if (entry.insideStep) cpu.stepStart = cpu.cycles;
                entry.enter(cpu);
                expectLevel(*touched, entry.insideStep ? cpu.stepStart : int64_t(cpu.cycles), at);
                applied += entry.check(*touched, at);
                ++points;
                if (HasFailure()) return;
            }
        }
        // The points did catch the chips behind, and the entry had work to do.
        EXPECT_GT(lagging, points / 4) << name;
        EXPECT_GT(applied, 0) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(CatchUp, EntryPoint, ::testing::ValuesIn(kEntries),
                         [](const ::testing::TestParamInfo<Entry>& info) { return std::string(info.param.name); });

// Power-on and reset: every clock starts again at 0 with nothing owed, and
// the console runs frames from there.
TEST(CatchUp, ResetStartsEveryClockAgain) {
    for (const auto& [name, image] : programs()) {
        auto unit = console(image);
        for (int i = 0; i < 3; ++i) unit->runFrame();
        int owedAtReset = 0;
        for (int round = 0; round < 6; ++round) {
            for (int i = 0; i < 500 + 777 * round; ++i) unit->advance();
            owedAtReset += unit->ppu->owedDots > 0;
            const int64_t frames = unit->frameCount();
            unit->cpu->reset();
            expectLevel(*unit, 0, name);
            EXPECT_EQ(unit->cpu->cycles, 0) << name;
            EXPECT_EQ(unit->ppu->owedDots, 0) << name;
            EXPECT_EQ(unit->apu->sampleCount, 0) << name;
            EXPECT_EQ(unit->cpu->aheadUntil, -1) << name;
            unit->runFrame();
            EXPECT_EQ(unit->frameCount(), frames + 1) << name;
            if (HasFailure()) return;
        }
        EXPECT_GT(owedAtReset, 0) << name;
    }
}

// A restore lands in a console whose window and owed dots belong to another
// run: none of that may survive, or steps of the restored run would skip
// their catch-up.
TEST(CatchUp, RestoreLeavesNothingOfTheReplacedRun) {
    for (const auto& [name, image] : programs()) {
        auto source = console(image);
        for (int i = 0; i < 6; ++i) source->runFrame();
        for (int i = 0; i < 3000; ++i) source->advance();
        const Bytes snapshot = takeSnapshot(*source, false);
        const int64_t cycles = source->cpu->cycles;

        auto target = console(image);
        for (int i = 0; i < 9; ++i) target->runFrame();
        int windowsReplaced = 0;
        for (int round = 0; round < 8; ++round) {
            for (int i = 0; i < 100 + 321 * round; ++i) target->advance();
            windowsReplaced += target->cpu->aheadUntil > cycles;
            restoreSnapshot(*target, snapshot.data(), snapshot.size());
            ASSERT_EQ(target->cpu->cycles, cycles) << name;
            expectLevel(*target, cycles, name);
            EXPECT_EQ(target->ppu->owedDots, 0) << name;
            EXPECT_EQ(target->cpu->aheadUntil, -1) << name;
            EXPECT_EQ(target->cpu->idleUntil, -1) << name;
            EXPECT_FALSE(target->cpu->ioTouched) << name;
            EXPECT_EQ(target->cpu->stepStart, cycles) << name;
        }
        // The restored run starts behind the one it replaces: its old window
        // reached past the restored clock.
        EXPECT_GT(windowsReplaced, 0) << name;
    }
}

}  // namespace
