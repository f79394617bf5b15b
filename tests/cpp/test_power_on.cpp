// Power-on of a console that exists: afterwards it must be, bit for bit, the
// console a constructor makes from the same image, in its own timing, and
// nothing of the host's (joypads, callback, files, views) may change.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "console/nes_unit.h"
#include "console_support.h"
#include "serial/checksum.h"
#include "state/snapshot.h"
#include "test_support.h"

namespace {

// The same machine now: memories, picture, counters and complete state.
void expectSame(NESUnit& a, NESUnit& b) {
    EXPECT_TRUE(a.cpu->memory == b.cpu->memory);
    EXPECT_TRUE(a.ppu->vram == b.ppu->vram);
    EXPECT_TRUE(a.ppu->oam == b.ppu->oam);
    EXPECT_TRUE(a.ppu->displayFrame == b.ppu->displayFrame);
    EXPECT_EQ(a.frameCount(), b.frameCount());
    EXPECT_EQ(a.cycleCount(), b.cycleCount());
    EXPECT_TRUE(takeSnapshot(a) == takeSnapshot(b));
}

std::vector<Bytes> images() {
    Bytes trainer = spinImage();
    trainer[6] |= 0x04;  // a trainer between the header and PRG ROM
    trainer.insert(trainer.begin() + 16, 512, 0xA5);
    Bytes padded = spinImage(true);
    padded.resize(padded.size() + 1000, 0x33);  // bytes past CHR ROM, never read
    std::vector<Bytes> found = {spinImage(), spinImage(true), trainer, padded, plainImage(8, 1), plainImage(4, 2)};
    for (auto& [name, demo] : demoImages()) found.push_back(std::move(demo));
    return found;
}

}  // namespace

TEST(PowerOn, AUsedConsoleBecomesAFreshOne) {
    for (const Bytes& image : images()) {
        auto used = console(image);
        play(*used, 75);
        for (int i = 0; i < 4321; ++i) used->advance();  // mid-frame, dots owed
        // Bytes written past the bus, as through the Python views.
        used->cpu->memoryShared = used->ppu->vramShared = true;
        used->cpu->memory[0x0901] = 0x12;
        used->cpu->memory[0x9000] ^= 0xFF;
        used->ppu->vram[0x3104] = 0x56;
        used->powerOn();
        auto fresh = console(image);
        expectSame(*used, *fresh);
        EXPECT_TRUE(play(*used, 90) == play(*fresh, 90));
        // Twice in a row, or on a console that never ran, changes nothing more.
        auto twice = console(image);
        twice->powerOn();
        twice->powerOn();
        auto other = console(image);
        expectSame(*twice, *other);
    }
}

TEST(PowerOn, KeepsTheConsolesClock) {
    for (const int32_t clock : {0, 4000000, NESUnit::kDefaultClock}) {
        auto used = console(spinImage(), clock);
        play(*used, 20);
        used->powerOn();
        auto fresh = console(spinImage(), clock);
        EXPECT_EQ(used->cpu->clockSpeed, fresh->cpu->clockSpeed);
        EXPECT_EQ(used->apu->halfClock, fresh->apu->halfClock);
        expectSame(*used, *fresh);
        EXPECT_TRUE(play(*used, 30) == play(*fresh, 30));
    }
}

// A console made from a path reads its battery file; power-on reads none,
// writes none, prints nothing, and leaves the host's side as it was.
TEST(PowerOn, ClearsBatteryRamAndTouchesNoFileNorTheHost) {
    TempDir home(true);
    const Bytes image = spinImage(true);
    const std::string folder = home.path + "/velkora/game";
    std::filesystem::create_directories(folder);
    const Bytes stored(0x2000, 0x5C);
    std::ofstream(folder + "/ram", std::ios::binary).write(reinterpret_cast<const char*>(stored.data()), 0x2000);

    NESUnit unit("game.nes", image, NESUnit::kDefaultClock);
    ASSERT_EQ(unit.saveFolder, folder);
    ASSERT_EQ(unit.cpu->memory[0x6000], 0x5C);
    play(unit, 10);
    ControllerWrapper pad;
    unit.setController(pad, 1);
    int calls = 0;
    unit.setPerFrame({[](void* count) { ++*static_cast<int*>(count); }, &calls});
    const uint8_t* memory = unit.cpu->memory.data();
    const uint8_t* picture = unit.ppu->displayFrame.data();
    const auto written = std::filesystem::last_write_time(folder + "/ram");

    EXPECT_EQ(captureStdout([&] { unit.powerOn(); }), "");

    EXPECT_EQ(unit.cpu->memory.data(), memory);
    EXPECT_EQ(unit.ppu->displayFrame.data(), picture);
    EXPECT_TRUE(std::all_of(&unit.cpu->memory[0x6000], &unit.cpu->memory[0x8000], [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(readFile(folder + "/ram") == stored);
    EXPECT_EQ(std::filesystem::last_write_time(folder + "/ram"), written);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home.path + "/velkora"), {}), 1);
    EXPECT_EQ(unit.saveFolder, folder);
    EXPECT_EQ(unit.cpu->joypadPorts[1].load(), &pad.buttons);
    auto fresh = console(image);
    expectSame(unit, *fresh);
    unit.runFrame();
    EXPECT_EQ(calls, 1);
}
