// The batch against consoles stepped one by one: the same machines whatever
// the number of threads (and, under ThreadSanitizer, without a data race).
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <stdexcept>
#include <vector>

#include "batch/batch.h"
#include "console_support.h"
#include "state/snapshot.h"
#include "test_support.h"

namespace {

uint8_t mask(size_t console, int step) { return uint8_t((console * 29 + size_t(step) * 7) & 0xC3); }

TEST(Batch, ConsolesMatchSingleConsolesOnAnyNumberOfThreads) {
    const Bytes image = spinImage(true);
    constexpr size_t kConsoles = 5;
    for (int threads : {1, 2, 4}) {
        ConsoleBatch::Options options;
        options.threads = threads;
        options.audio = true;
        options.observation = {ObservationKind::Grayscale, 84, 84, true};
        ConsoleBatch batch(image, kConsoles, options);
        std::vector<std::unique_ptr<NESUnit>> single;
        for (size_t i = 0; i < kConsoles; ++i) single.push_back(console(image, 1789773));

        std::array<uint8_t, kConsoles> pads{};
        std::array<int32_t, kConsoles> frames{};
        for (int step = 0; step < 12; ++step) {
            for (size_t i = 0; i < kConsoles; ++i) {
                pads[i] = mask(i, step);
                frames[i] = int32_t(1 + (i + size_t(step)) % 3);
                for (int f = 0; f < frames[i]; ++f) {
                    setPad(*single[i], pads[i]);
                    single[i]->runFrame();
                }
            }
            ConsoleBatch::Step input;
            input.pad1 = pads.data();
            input.frames = frames.data();
            batch.step(input);
            for (size_t i = 0; i < kConsoles; ++i) {
                ASSERT_EQ(batch.snapshot(i), takeSnapshot(*single[i])) << threads << " threads, console " << i;
                ASSERT_EQ(0, std::memcmp(batch.ram() + i * ConsoleBatch::kRamBytes, single[i]->cpu->memory.data(),
                                         ConsoleBatch::kRamBytes));
            }
        }
        // All back to power-on in parallel, from one snapshot.
        batch.reset({0, 2, 4}, nullptr, 0);
        const Bytes fresh = takeSnapshot(*console(image, 1789773));
        for (size_t i : {0, 2, 4}) EXPECT_EQ(batch.snapshot(i), fresh);
    }
}

TEST(Batch, ManySnapshotsAndRestoresOnTheWorkers) {
    ConsoleBatch::Options options;
    options.threads = 3;
    options.audio = true;
    ConsoleBatch batch(spinImage(true), 4, options);
    std::array<uint8_t, 4> pads = {0x01, 0x80, 0x41, 0x00};
    std::array<int32_t, 4> frames = {3, 5, 7, 9};
    ConsoleBatch::Step input;
    input.pad1 = pads.data();
    input.frames = frames.data();
    batch.step(input);

    std::vector<std::vector<uint8_t>> taken;
    std::vector<size_t> sizes;
    for (const bool picture : {true, false}) {
        batch.snapshots({3, 0, 1, 2}, picture, taken, sizes);
        const std::vector<size_t> order = {3, 0, 1, 2};
        std::vector<Bytes> each;
        for (size_t k = 0; k < 4; ++k) {
            each.emplace_back(taken[k].begin(), taken[k].begin() + long(sizes[k]));
            EXPECT_EQ(each[k], batch.snapshot(order[k], picture));
        }
        // Every console becomes the next one's machine, all at once.
        std::vector<ConsoleBatch::Snapshot> rotated;
        for (size_t k = 0; k < 4; ++k) rotated.push_back({each[(k + 1) % 4].data(), each[(k + 1) % 4].size()});
        batch.restoreMany(order, rotated);
        for (size_t k = 0; k < 4; ++k) EXPECT_EQ(batch.snapshot(order[k], picture), each[(k + 1) % 4]);
        // One bad snapshot among them: none moves.
        Bytes damaged = each[2];
        damaged[damaged.size() / 2] ^= 1;
        rotated[1] = {damaged.data(), damaged.size()};
        EXPECT_THROW(batch.restoreMany(order, rotated), SnapshotError);
        for (size_t k = 0; k < 4; ++k) EXPECT_EQ(batch.snapshot(order[k], picture), each[(k + 1) % 4]);
    }
}

TEST(Batch, RefusedStepsAndResetsChangeNothing) {
    ConsoleBatch::Options options;
    options.threads = 2;
    ConsoleBatch batch(spinImage(), 3, options);
    std::array<uint8_t, 3> pads{};
    std::array<int32_t, 3> frames = {2, 0, 1};
    ConsoleBatch::Step input;
    input.pad1 = pads.data();
    input.frames = frames.data();
    const Bytes before = batch.snapshot(0);
    EXPECT_THROW(batch.step(input), std::invalid_argument);
    EXPECT_EQ(batch.snapshot(0), before);
    Bytes damaged = before;
    damaged[100] ^= 1;
    EXPECT_THROW(batch.reset({0, 1}, damaged.data(), damaged.size()), SnapshotError);
    EXPECT_THROW(batch.reset({0, 3}, nullptr, 0), std::out_of_range);
    EXPECT_EQ(batch.snapshot(0), before);
    EXPECT_THROW(ConsoleBatch(Bytes{'N', 'E', 'S'}, 2, options), RomError);
    EXPECT_THROW(ConsoleBatch(spinImage(), 0, options), std::invalid_argument);
    // A board the core does not emulate: refused, naming its number.
    try {
        ConsoleBatch(plainImage(2, 8), 1, options);
        ADD_FAILURE() << "mapper 8 accepted";
    } catch (const RomError& error) {
        EXPECT_NE(std::string(error.what()).find("mapper 8,"), std::string::npos) << error.what();
    }
}

}  // namespace
