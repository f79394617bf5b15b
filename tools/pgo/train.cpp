// The training run of the profile-guided build (VELKORA_PGO in CMakeLists.txt):
// plays cartridges in both timings with the picture and the audio on, takes
// and restores snapshots, and steps batches of consoles with grey 84x84
// observations and environments on them, all on this one thread, so the
// profile covers the paths the module runs and the same cartridges always
// give the same profile.
//     velkora_pgo_train GAME [CARTRIDGE...]
// GAME (the demo game) is played longest and is the one the batches run.
#include <array>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "batch/batch.h"
#include "batch/env_batch.h"
#include "batch/rules.h"
#include "console/nes_unit.h"
#include "state/snapshot.h"

namespace {

constexpr int kGameFrames = 1200;
constexpr int kCartridgeFrames = 240;
constexpr int kButtonFrames = 8;      // a player holds buttons this long
constexpr int kSnapshotFrames = 60;   // a snapshot taken and restored this often
constexpr size_t kBatchConsoles = 4;  // of the game, four frames a step
constexpr int kBatchSteps = 75;

constexpr Timing kTimings[] = {Timing::Design, Timing::Hardware};

// Joypad masks from xorshift32: the same buttons every run.
class Player {
public:
    explicit Player(uint32_t seed) : state_(seed) {}
    uint8_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return uint8_t(state_ >> 24);
    }

private:
    uint32_t state_;
};

void press(ControllerWrapper& pad, uint8_t mask) {
    std::array<uint8_t, 8> states;
    for (int i = 0; i < 8; ++i) states[size_t(i)] = uint8_t((mask >> i) & 1);
    pad.store(states);
}

std::vector<uint8_t> readImage(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(std::string("cannot read ") + path);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), {});
}

// Folds what the console made into a sum, so no output goes unread.
uint64_t play(const std::vector<uint8_t>& image, Timing timing, int frames) {
    NESUnit unit(NESUnit::Headless{}, image, NESUnit::kDefaultClock);
    unit.setTiming(timing);
    Player one(0x2545F491u), two(0x9E3779B9u);
    std::array<std::array<int16_t, APU::kBlockSamples>, APU::kBlocks> blocks;
    std::vector<uint8_t> snapshot;
    uint64_t sum = 0;
    for (int f = 0; f < frames; ++f) {
        if (f % kButtonFrames == 0) {
            press(unit.defaultPads[0], one.next());
            press(unit.defaultPads[1], two.next());
        }
        unit.runFrame();
        if (unit.apu->takeBlock(blocks)) sum += uint16_t(blocks[0][size_t(f) % APU::kBlockSamples]);
        sum += unit.ppu->displayFrame[size_t(f) * 7919 % unit.ppu->displayFrame.size()];
        if (f % kSnapshotFrames == kSnapshotFrames - 1) {
            // Picture-less every other time, as searches take them.
            const size_t size = writeSnapshot(unit, snapshot, f % (2 * kSnapshotFrames) != kSnapshotFrames - 1);
            restoreSnapshot(unit, snapshot.data(), size);
        }
    }
    return sum + uint64_t(unit.cycleCount());
}

ConsoleBatch::Options batchOptions(Timing timing, bool maxPool) {
    ConsoleBatch::Options options;
    options.threads = 1;
    options.observation.kind = ObservationKind::Grayscale;
    options.observation.height = options.observation.width = 84;
    options.observation.maxPool = maxPool;
    options.timing = timing;
    return options;
}

uint64_t stepBatch(const std::vector<uint8_t>& image, Timing timing, bool maxPool) {
    ConsoleBatch consoles(image, kBatchConsoles, batchOptions(timing, maxPool));
    Player player(0x6A09E667u);
    std::vector<uint8_t> pads(kBatchConsoles);
    ConsoleBatch::Step step;
    step.pad1 = pads.data();
    step.allFrames = 4;
    uint64_t sum = 0;
    for (int s = 0; s < kBatchSteps; ++s) {
        for (uint8_t& pad : pads) pad = player.next();
        consoles.step(step);
        sum += consoles.observations()[size_t(s) * 97 % (kBatchConsoles * 84 * 84)];
    }
    return sum;
}

// The demo game's score ($0010, two bytes) and lives ($0012): a reward for
// each orb and the end of an episode at the last life.
GameRules gameRules() {
    GameRules rules;
    rules.variables = {{0x0010, 2, GameRules::Kind::Unsigned, false}, {0x0012, 1, GameRules::Kind::Unsigned, false}};
    rules.rewards = {{0, 1.0, 0.0}};
    rules.done.tests = {{1, GameRules::Op::Zero, 0.0, false}};
    rules.lives = 1;
    return rules;
}

uint64_t stepEnvironments(const std::vector<uint8_t>& image, Timing timing) {
    ConsoleBatch consoles(image, kBatchConsoles, batchOptions(timing, true));
    EnvBatch::Options options;
    options.noopMax = 30;
    options.frameStack = 4;
    options.maxEpisodeFrames = 1000;
    EnvBatch envs(consoles, gameRules(), options, {});
    for (size_t i = 0; i < kBatchConsoles; ++i) envs.seed(i, i + 1);
    std::vector<size_t> all(kBatchConsoles);
    for (size_t i = 0; i < kBatchConsoles; ++i) all[i] = i;
    envs.reset(all);
    Player player(0xBB67AE85u);
    std::vector<uint8_t> masks(kBatchConsoles);
    uint64_t sum = 0;
    for (int s = 0; s < kBatchSteps; ++s) {
        for (uint8_t& mask : masks) mask = player.next();
        envs.step(masks.data(), nullptr);
        sum += uint64_t(envs.rewards()[0]) + envs.terminated()[size_t(s) % kBatchConsoles];
    }
    return sum;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s GAME [CARTRIDGE...]\n", argv[0]);
        return 2;
    }
    try {
        const std::vector<uint8_t> game = readImage(argv[1]);
        uint64_t sum = 0;
        for (Timing timing : kTimings) {
            sum += play(game, timing, kGameFrames);
            sum += stepBatch(game, timing, false);
            sum += stepBatch(game, timing, true);
            sum += stepEnvironments(game, timing);
            for (int i = 2; i < argc; ++i) sum += play(readImage(argv[i]), timing, kCartridgeFrames);
        }
        std::printf("trained on %d cartridges in both timings (%llx)\n", argc - 1,
                    static_cast<unsigned long long>(sum));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
        return 1;
    }
    return 0;
}
