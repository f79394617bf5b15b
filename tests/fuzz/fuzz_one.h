// One fuzz case: an arbitrary byte string offered to the console as a
// cartridge image, the way the Python file-object constructor offers it.
// Shared by the libFuzzer target and the regression tests, so a crash found
// by one replays in the other.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <vector>

#include "cartridge/cartridge.h"
#include "console/nes_unit.h"

namespace fuzzcase {

enum class Outcome { Refused, Ran };

// The loader keeps header bytes 10-15 without using them, so they steer the
// run without taking anything from the image itself:
//   10-12  port 0 buttons for frames 1-3 (bit 0 = A ... bit 7 = Right)
//   13     port 1 buttons (rotated by one bit per frame)
//   14     bits 0-1: clock rate (kClocks); bit 2: the hardware timing
//   15     bits 0-3: how long to run (kRuns)
struct Plan {
    int32_t clock = NESUnit::kDefaultClock;
    int64_t cycles = 0;  // a CPU-cycle budget run by advance
    int frames = 0;      // then whole frames by runFrame
    bool hardware = false;
    std::array<uint8_t, 3> pads[2] = {};
};

struct Run {
    int64_t cycles;
    int frames;
};
// A whole frame costs several milliseconds under the sanitizers, so most runs
// stop after a cycle budget (the PPU starts on line 0, so even short runs
// render); the frame runs reach vertical blank, the NMI and frame completion.
static constexpr Run kRuns[16] = {
    {0, 0},    {25, 0},   {50, 0},   {100, 0},  {200, 0},  {400, 0}, {800, 0}, {1600, 0},
    {3200, 0}, {6400, 0}, {1600, 0}, {6400, 0}, {6400, 0}, {0, 1},   {0, 2},   {0, 3},
};
// 0 means unthrottled (2147483647 Hz); 2 Hz gives the APU a half clock of 1.
static constexpr int32_t kClocks[4] = {NESUnit::kDefaultClock, 0, 2, 2 * NESUnit::kDefaultClock};

inline Plan planFor(const uint8_t* data, size_t size) {
    Plan plan;
    if (size < 16) return plan;
    const Run run = kRuns[data[15] & 15];
    plan.cycles = run.cycles;
    plan.frames = run.frames;
    plan.clock = kClocks[data[14] & 3];
    plan.hardware = (data[14] & 4) != 0;
    for (int f = 0; f < 3; ++f) {
        plan.pads[0][size_t(f)] = data[10 + f];
        plan.pads[1][size_t(f)] = uint8_t((data[13] << f) | (data[13] >> ((8 - f) & 7)));
    }
    return plan;
}

inline void press(ControllerWrapper& pad, uint8_t bits) {
    std::array<uint8_t, 8> states{};
    for (int i = 0; i < 8; ++i) states[size_t(i)] = uint8_t((bits >> i) & 1);
    pad.store(states);
}

// Builds the console the way the Python file-object constructor does; null
// when the image is refused.
inline std::unique_ptr<NESUnit> build(const uint8_t* data, size_t size, const Plan& plan) {
    const std::vector<uint8_t> image(data, data + size);
    try {
        return std::make_unique<NESUnit>("fuzz.nes", image, plan.clock);
    } catch (const RomError&) {
        return nullptr;
    } catch (const std::exception&) {
        // A save folder or RAM file the host cannot use: refused, not a fault.
        return nullptr;
    }
}

// Runs the planned cycles and frames with the planned joypads plugged in.
inline void play(NESUnit& unit, const Plan& plan) {
    ControllerWrapper pads[2];
    unit.setController(pads[0], 0);
    unit.setController(pads[1], 1);
    press(pads[0], plan.pads[0][0]);
    press(pads[1], plan.pads[1][0]);
    while (unit.cycleCount() < plan.cycles) unit.advance();
    for (int f = 0; f < plan.frames; ++f) {
        press(pads[0], plan.pads[0][size_t(f)]);
        press(pads[1], plan.pads[1][size_t(f)]);
        unit.runFrame();
    }
    // The pads die here: unplug them first.
    unit.setController(unit.defaultPads[0], 0);
    unit.setController(unit.defaultPads[1], 1);
}

// One fuzz case. Anything the sanitizers see along the way ends the process.
inline Outcome run(const uint8_t* data, size_t size) {
    const Plan plan = planFor(data, size);
    std::unique_ptr<NESUnit> unit = build(data, size, plan);
    if (!unit) return Outcome::Refused;
    if (plan.hardware) unit->setTiming(Timing::Hardware);
    play(*unit, plan);
    return Outcome::Ran;
}

}  // namespace fuzzcase
