// The run thread as the Python module drives it, for ThreadSanitizer: a mutex
// stands in for the interpreter lock, the per-frame callback is swapped under
// it, and other threads read the counters, the picture and the audio and feed
// the joypads while the console starts, pauses, holds and stops.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "console/catch_up.h"
#include "console/nes_unit.h"
#include "state/save_state.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;

// Waits for a condition that must come true; the deadline only turns a hang
// into a failure, it measures nothing.
template <typename Predicate>
bool eventually(Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// What the Python module adds around the core: the interpreter lock, and a
// callback that is replaced under it and called under it from the run thread.
class Host {
public:
    explicit Host(bool battery = false) : unit(std::make_unique<NESUnit>("spin.nes", spinImage(battery), 0)) {
        unit->setPerFrame({&Host::trampoline, this});
    }
    ~Host() {
        if (unit) destroy();
    }

    std::mutex gil;
    std::unique_ptr<NESUnit> unit;
    std::function<void()> callback;  // guarded by gil
    std::atomic<bool> hasCallback{false};

    void perFrame(std::function<void()> fn) {
        std::lock_guard<std::mutex> lock(gil);
        const bool set = bool(fn);
        std::function<void()> old = std::move(callback);
        callback = std::move(fn);
        hasCallback.store(set, std::memory_order_release);
    }
    // Like the binding's stop: the lock is released while the thread is joined.
    void stop() { unit->stop(); }
    void start() {
        std::lock_guard<std::mutex> lock(gil);
        unit->start();
    }
    void setPaused(bool p) {
        std::lock_guard<std::mutex> lock(gil);
        unit->setPaused(p);
    }
    // Like saveState and loadState: wait for the hold without the lock (the
    // callback may need it to reach the next step), then work with it.
    template <typename Work>
    void whileHeld(Work work) {
        unit->holdRunThread();
        {
            std::lock_guard<std::mutex> lock(gil);
            work();
        }
        unit->releaseRunThread();
    }
    std::vector<uint8_t> snapshotHeld() {
        std::vector<uint8_t> memory;
        whileHeld([&] { memory.assign(unit->cpu->memory.begin(), unit->cpu->memory.end()); });
        return memory;
    }
    std::vector<uint8_t> picture() {
        std::lock_guard<std::mutex> lock(unit->ppu->frameLock);
        return std::vector<uint8_t>(unit->ppu->displayFrame.begin(), unit->ppu->displayFrame.end());
    }
    void destroy() {
        // The binding's deleter: end the thread without the lock, then free.
        unit.reset();
    }

private:
    static void trampoline(void* context) {
        auto& host = *static_cast<Host*>(context);
        if (!host.hasCallback.load(std::memory_order_acquire)) return;
        if (!host.unit->onRunThread()) {
            // runFrame: the caller already holds the lock.
            const std::function<void()> fn = host.callback;
            if (fn) fn();
            return;
        }
        std::lock_guard<std::mutex> lock(host.gil);
        const std::function<void()> fn = host.callback;
        if (fn) fn();
    }
};

// The error a call reports, or none.
template <typename Call>
std::error_code errorOf(Call call) {
    try {
        call();
    } catch (const std::system_error& e) {
        return e.code();
    }
    return {};
}

}  // namespace

TEST(RunThread, StopWithoutThreadReportsInvalidArgument) {
    Host host;
    for (int i = 0; i < 2; ++i) EXPECT_EQ(errorOf([&] { host.stop(); }), std::errc::invalid_argument);
    host.unit->runFrame();
    EXPECT_EQ(host.unit->frameCount(), 1);
}

TEST(RunThread, SecondStartAndRunFrameAreRefusedWhileRunning) {
    Host host;
    host.start();
    EXPECT_THROW(host.start(), std::runtime_error);
    EXPECT_THROW(host.unit->runFrame(), std::runtime_error);
    host.stop();
    const int64_t frames = host.unit->frameCount();
    host.unit->runFrame();
    EXPECT_EQ(host.unit->frameCount(), frames + 1);
    // A stopped console starts again and continues the same machine.
    const int64_t cycles = host.unit->cycleCount();
    host.start();
    ASSERT_TRUE(eventually([&] { return host.unit->cycleCount() > cycles; }));
    host.stop();
}

TEST(RunThread, PausedBeforeStartRunsNothingUntilResumed) {
    Host host;
    host.setPaused(true);
    host.start();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(host.unit->cycleCount(), 0);
    host.setPaused(false);
    ASSERT_TRUE(eventually([&] { return host.unit->frameCount() >= 2; }));
    host.setPaused(true);
    // At most the step in flight finishes after the pause. A hold is granted
    // only between steps, so once it is the count is final; waiting for the
    // count to stand still would not tell a finished step from a thread the
    // scheduler left out.
    host.unit->holdRunThread();
    host.unit->releaseRunThread();
    const int64_t held = host.unit->cycleCount();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(host.unit->cycleCount(), held);
    host.stop();
    EXPECT_TRUE(host.unit->paused);  // a property of the console, not the thread
}

TEST(RunThread, HoldParksTheThreadBetweenInstructions) {
    Host host;
    host.unit->holdRunThread();  // no thread: returns at once
    host.unit->releaseRunThread();
    host.start();
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(eventually([&] { return host.unit->cycleCount() > 0; }));
        host.unit->holdRunThread();
        const int64_t cycles = host.unit->cycleCount();
        const std::vector<uint8_t> first(host.unit->cpu->memory.begin(), host.unit->cpu->memory.end());
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        EXPECT_EQ(host.unit->cycleCount(), cycles);
        EXPECT_TRUE(std::equal(first.begin(), first.end(), host.unit->cpu->memory.begin()));
        EXPECT_EQ(int64_t(host.unit->ppu->totalDots), 3 * cycles);
        host.unit->releaseRunThread();
    }
    // Held while paused, too.
    host.setPaused(true);
    host.snapshotHeld();
    host.setPaused(false);
    host.stop();
}

// Two Python threads saving and loading at once: one releasing its hold must
// not let the run thread go while the other still works on the machine.
TEST(RunThread, SaveAndLoadStateFromTwoThreadsWhileRunning) {
    TempDir folder;
    Host host;
    ASSERT_TRUE(host.unit->setSaveDir(folder.path));
    host.perFrame([] {});
    host.start();
    auto saver = [&](int first) {
        for (int i = 0; i < 20; ++i) {
            const int slot = first + i % 2;
            host.whileHeld([&] { saveState(*host.unit, slot); });
            host.whileHeld([&] { EXPECT_TRUE(loadState(*host.unit, slot)); });
            host.whileHeld([&] {
                // Parked: the machine does not move while this holder works.
                const int64_t cycles = host.unit->cycleCount();
                const uint8_t counter = host.unit->cpu->memory[0x10];
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                EXPECT_EQ(host.unit->cycleCount(), cycles);
                EXPECT_EQ(host.unit->cpu->memory[0x10], counter);
            });
        }
    };
    std::thread other(saver, 2);
    saver(0);
    other.join();
    host.stop();
}

// Holders taking turns back to back: the next must not take the grant the
// run thread gave the last before it has seen that one's release.
TEST(RunThread, HoldersTakingTurnsFindTheThreadParked) {
    Host host;
    host.start();
    std::atomic<int> unparked{0};
    auto holder = [&] {
        for (int i = 0; i < 20000; ++i) {
            host.whileHeld([&] {
                for (int k = 0; k < 50; ++k)
                    if (!host.unit->holdGranted) ++unparked;
                catch_up::beforeStateAccess(*host.unit->cpu);
            });
        }
    };
    std::thread other(holder);
    holder();
    other.join();
    host.stop();
    EXPECT_EQ(unparked, 0);
}

TEST(RunThread, CallbackRunsOncePerFrameOnTheRunThread) {
    Host host;
    std::vector<int64_t> frames;  // appended under the lock
    std::atomic<bool> onOtherThread{true};
    const auto caller = std::this_thread::get_id();
    host.perFrame([&] {
        frames.push_back(host.unit->frameCount());
        if (std::this_thread::get_id() == caller) onOtherThread = false;
    });
    host.start();
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(host.gil);
        return frames.size() >= 5;
    }));
    host.stop();
    ASSERT_GE(frames.size(), 5u);
    for (size_t i = 1; i < frames.size(); ++i) EXPECT_EQ(frames[i], frames[i - 1] + 1);
    EXPECT_EQ(frames.back(), host.unit->frameCount());
    EXPECT_TRUE(onOtherThread);
}

TEST(RunThread, StopFromTheCallbackWouldDeadlock) {
    Host host;
    std::atomic<int> deadlocks{0};
    host.perFrame([&] {
        if (errorOf([&] { host.unit->stop(); }) == std::errc::resource_deadlock_would_occur) ++deadlocks;
    });
    host.start();
    ASSERT_TRUE(eventually([&] { return !host.unit->threadActive; }));
    EXPECT_EQ(deadlocks, 1);  // the thread ended after the step that asked
    host.stop();              // joins the thread that ended by itself
    host.perFrame(nullptr);
    host.unit->runFrame();
}

// runFrame's callback runs in the middle of a step: a run thread started
// there would step the machine while runFrame finishes that step.
TEST(RunThread, StartFromARunFrameCallbackIsRefused) {
    Host host;
    std::atomic<int> refused{0};
    host.perFrame([&] {
        try {
            host.unit->start();
        } catch (const std::runtime_error&) {
            ++refused;
        }
    });
    host.unit->runFrame();
    EXPECT_EQ(refused, 1);
    EXPECT_FALSE(host.unit->runThread.joinable());
    if (host.unit->runThread.joinable()) host.stop();
    host.perFrame(nullptr);
    host.unit->runFrame();
}

TEST(RunThread, ThrowingCallbackEndsTheThreadAndStartJoinsIt) {
    Host host;
    host.perFrame([] { throw std::runtime_error("from the callback"); });
    for (int round = 0; round < 3; ++round) {
        host.start();
        ASSERT_TRUE(eventually([&] { return !host.unit->threadActive; }));
        EXPECT_FALSE(host.unit->running);
    }
    host.stop();
    // From runFrame the exception reaches the caller.
    EXPECT_THROW(host.unit->runFrame(), std::runtime_error);
    host.perFrame(nullptr);
    host.unit->runFrame();
}

TEST(RunThread, DestroyingARunningConsoleJoinsIt) {
    for (bool paused : {false, true}) {
        Host host;
        std::atomic<int> calls{0};
        host.perFrame([&] { ++calls; });
        host.setPaused(paused);
        host.start();
        if (!paused) {
            ASSERT_TRUE(eventually([&] { return calls > 0; }));
        }
        host.destroy();
    }
}

TEST(RunThread, BatteryRamIsStoredAfterTheJoin) {
    TempDir home(/*asDataHome=*/true);
    Host host(/*battery=*/true);
    ASSERT_FALSE(host.unit->saveFolder.empty());
    for (int round = 0; round < 5; ++round) {
        host.start();
        ASSERT_TRUE(eventually([&] { return host.unit->frameCount() > round * 2 + 1; }));
        host.stop();
        // The image of the stopped machine, not of one still running.
        const Bytes file = readFile(host.unit->saveFolder + "/ram");
        ASSERT_EQ(file.size(), 8192u);
        EXPECT_TRUE(std::equal(file.begin(), file.end(), host.unit->cpu->memory.begin() + 0x6000));
    }
}

// Many start/stop cycles while other threads do what Python threads may do
// meanwhile: feed and swap the joypads, read the counters, the picture and
// the audio, pause and resume, and replace the callback.
TEST(RunThread, StartStopStressWithConcurrentThreads) {
    Host host;
    ControllerWrapper pads[2];
    std::atomic<bool> done{false};
    std::atomic<int64_t> callbacks{0};
    std::atomic<bool> countersWentBack{false};

    std::thread padsThread([&] {
        for (uint8_t i = 0; !done; ++i) {
            std::array<uint8_t, 8> states{};
            for (int b = 0; b < 8; ++b) states[size_t(b)] = uint8_t((i >> b) & 1);
            pads[i & 1].store(states);
            std::lock_guard<std::mutex> lock(host.gil);
            host.unit->setController(pads[i & 1], i & 1);
            host.unit->setController(pads[(i + 1) & 1], (i + 1) & 1);
        }
    });
    std::thread readers([&] {
        std::array<std::array<int16_t, APU::kBlockSamples>, APU::kBlocks> blocks;
        int64_t lastCycles = 0, lastFrames = 0;
        while (!done) {
            const int64_t cycles = host.unit->cycleCount();
            const int64_t frames = host.unit->frameCount();
            if (cycles < lastCycles || frames < lastFrames) countersWentBack = true;
            lastCycles = cycles;
            lastFrames = frames;
            host.unit->apu->takeBlock(blocks);
            (void)host.picture();
        }
    });
    std::thread python([&] {
        for (int i = 0; !done; ++i) {
            if (i % 2) {
                host.perFrame([&] { ++callbacks; });
            } else {
                host.perFrame([&] {
                    std::array<std::array<int16_t, APU::kBlockSamples>, APU::kBlocks> blocks;
                    host.unit->apu->takeBlock(blocks);
                    ++callbacks;
                });
            }
            if (i % 16 == 0) {
                host.setPaused(true);
                host.setPaused(false);
            }
            std::this_thread::yield();
        }
    });

    for (int cycle = 0; cycle < 200; ++cycle) {
        host.start();
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        if (cycle % 10 == 0) host.snapshotHeld();
        host.stop();
    }
    // One long run so that frames complete and the callbacks run.
    host.start();
    ASSERT_TRUE(eventually([&] { return callbacks > 3; }));
    host.stop();
    done = true;
    padsThread.join();
    readers.join();
    python.join();
    EXPECT_FALSE(countersWentBack);
    EXPECT_GT(host.unit->frameCount(), 0);
    EXPECT_EQ(int64_t(host.unit->ppu->totalDots), 3 * host.unit->cycleCount());
}
