// A game's rules and the environment layer: values decoded as integration
// files describe them, rewards and episode ends, and steps sent to the
// workers that come back complete and in order (under ThreadSanitizer too).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <vector>

#include "batch/env_batch.h"
#include "batch/rules.h"
#include "test_support.h"

namespace {

using Kind = GameRules::Kind;
using Op = GameRules::Op;

TEST(GameRules, VariablesDecodeEveryKind) {
    GameRules rules;
    rules.variables = {
        {0x10, 2, Kind::Unsigned, false},       // little-endian $1234
        {0x10, 2, Kind::Unsigned, true},        // big-endian $3412
        {0x20, 1, Kind::Signed, false},         // $FE: -2
        {0x20, 2, Kind::Signed, true},          // $FE7F: -385
        {0x30, 3, Kind::PackedDecimal, true},   // 12 34 56: 123456
        {0x40, 4, Kind::DecimalDigits, false},  // digit tiles $31 $32 $33 $34, least first: 4321
        {0x6005, 1, Kind::Unsigned, false},     // PRG RAM
    };
    rules.validate();
    std::vector<uint8_t> ram(GameRules::kRamBytes), prg(GameRules::kPrgRamBytes);
    ram[0x10] = 0x34, ram[0x11] = 0x12;
    ram[0x20] = 0xFE, ram[0x21] = 0x7F;
    ram[0x30] = 0x12, ram[0x31] = 0x34, ram[0x32] = 0x56;
    ram[0x40] = 0x31, ram[0x41] = 0x32, ram[0x42] = 0x33, ram[0x43] = 0x34;
    prg[5] = 200;
    std::vector<int64_t> values(rules.variables.size());
    rules.read(ram.data(), prg.data(), values.data());
    EXPECT_EQ(values, (std::vector<int64_t>{0x1234, 0x3412, -2, -385, 123456, 4321, 200}));
    EXPECT_TRUE(rules.readsPrgRam());

    for (const GameRules::Variable bad :
         {GameRules::Variable{0x7FF, 2}, GameRules::Variable{0x5FFF, 1}, GameRules::Variable{0x10, 5, Kind::Signed}}) {
        GameRules wrong;
        wrong.variables = {bad};
        EXPECT_THROW(wrong.validate(), std::invalid_argument);
    }
}

TEST(GameRules, RewardsAndEndsFollowTheChanges) {
    GameRules rules;
    rules.variables = {{0, 1}, {1, 1}, {2, 1, Kind::Signed}};
    rules.rewards = {{0, 1.0, 1.0}, {1, 0.0, 10.0}};  // score up, lives lost cost 10
    // Ends when lives reach zero, or when the third variable both fell and is negative.
    GameRules::Condition fell;
    fell.all = true;
    fell.tests = {{2, Op::Negative, 0, true}, {2, Op::LessThan, 0, false}};
    rules.done.tests = {{1, Op::Zero, 0, false}};
    rules.done.nodes = {fell};
    rules.validate();
    const auto judge = [&](std::array<int64_t, 3> before, std::array<int64_t, 3> after) {
        return std::make_pair(rules.reward(before.data(), after.data()), rules.ended(before.data(), after.data()));
    };
    EXPECT_EQ(judge({5, 3, 0}, {8, 3, 0}), std::make_pair(3.0, false));
    EXPECT_EQ(judge({8, 3, 0}, {8, 2, 0}), std::make_pair(-10.0, false));
    EXPECT_EQ(judge({8, 1, 0}, {9, 0, 0}), std::make_pair(-9.0, true));
    EXPECT_EQ(judge({0, 1, 2}, {0, 1, -1}).second, true);
    EXPECT_EQ(judge({0, 1, -3}, {0, 1, -1}).second, false);  // negative, but rose
    GameRules empty;
    EXPECT_FALSE(empty.ended(nullptr, nullptr));
}

// Steps of a batch's environments, sent in turns and received as they finish,
// give every environment what stepping all together gives it.
TEST(EnvBatch, AsyncStepsMatchSteppingTogether) {
    const Bytes image = spinImage();
    constexpr size_t kEnvs = 5;
    constexpr int kSteps = 12;
    ConsoleBatch::Options options;
    options.threads = 2;
    options.observation = {ObservationKind::Grayscale, 21, 32, false};
    EnvBatch::Options plan;
    plan.skipLow = 2;
    plan.skipHigh = 5;
    plan.sticky = 0.3;
    plan.frameStack = 2;
    GameRules rules;
    rules.variables = {{0x11, 1}};  // the NMI counter
    rules.rewards = {{0, 1.0, 1.0}};

    ConsoleBatch togetherConsoles(image, kEnvs, options), apartConsoles(image, kEnvs, options);
    EnvBatch together(togetherConsoles, rules, plan, {}), apart(apartConsoles, rules, plan, {});
    std::vector<size_t> all(kEnvs);
    for (size_t i = 0; i < kEnvs; ++i) all[i] = i;
    for (EnvBatch* envs : {&together, &apart}) {
        for (size_t i = 0; i < kEnvs; ++i) envs->seed(i, 100 + i);
        envs->reset(all);
    }
    const auto mask = [](size_t env, int step) { return uint8_t((env * 37 + size_t(step) * 11) & 0xFF); };

    std::vector<std::vector<std::vector<uint8_t>>> expected(kEnvs);
    std::vector<std::vector<double>> expectedRewards(kEnvs);
    for (int step = 0; step < kSteps; ++step) {
        std::array<uint8_t, kEnvs> masks{};
        for (size_t i = 0; i < kEnvs; ++i) masks[i] = mask(i, step);
        together.step(masks.data(), nullptr);
        for (size_t i = 0; i < kEnvs; ++i) {
            const uint8_t* row = together.observations() + i * together.observationBytes();
            expected[i].emplace_back(row, row + together.observationBytes());
            expectedRewards[i].push_back(together.rewards()[i]);
        }
    }

    // Every received environment is sent its next step at once (steps past
    // the last compared keep five on their way).
    std::vector<int> done(kEnvs, 0);
    std::vector<uint8_t> first(kEnvs);
    for (size_t i = 0; i < kEnvs; ++i) first[i] = mask(i, 0);
    apart.send(all, first.data(), nullptr);
    EXPECT_THROW(apart.send({2}, first.data(), nullptr), std::invalid_argument);
    while (*std::min_element(done.begin(), done.end()) < kSteps) {
        const std::vector<size_t> ids = apart.receive(2);
        std::vector<uint8_t> masks;
        for (size_t i : ids) {
            if (done[i] < kSteps) {
                const uint8_t* row = apart.observations() + i * apart.observationBytes();
                ASSERT_EQ(std::vector<uint8_t>(row, row + apart.observationBytes()), expected[i][size_t(done[i])]);
                ASSERT_EQ(apart.rewards()[i], expectedRewards[i][size_t(done[i])]);
            }
            masks.push_back(mask(i, ++done[i]));
        }
        apart.send(ids, masks.data(), nullptr);
    }
    EXPECT_THROW(apart.receive(kEnvs + 1), std::invalid_argument);
    EXPECT_EQ(apart.inFlight(), kEnvs);
    EXPECT_THROW(apart.step(first.data(), nullptr), std::invalid_argument);
    apart.receive(kEnvs);
    EXPECT_EQ(apart.inFlight(), 0u);
}

}  // namespace
