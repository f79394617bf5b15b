// The worker pool: every index exactly once, on all threads together,
// exceptions carried back, and no threads or allocations left behind.
#include <gtest/gtest.h>

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "batch/worker_pool.h"

#include "allocation_counter.h"

namespace {

// Threads of this process once those joined earlier have left the kernel's
// list (a joined thread may linger there for a moment).
int settledThreads() {
    auto count = [] {
        int n = 0;
        for (auto it = std::filesystem::directory_iterator("/proc/self/task"); it != decltype(it)(); ++it) ++n;
        return n;
    };
    int last = count();
    for (int tries = 0; tries < 200; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const int now = count();
        if (now == last) break;
        last = now;
    }
    return last;
}

}  // namespace

// Plain counters: a repeated index shows as a 2, a missed one as a 0, and a
// missing happens-before edge as a race under ThreadSanitizer.
TEST(WorkerPool, RunsEveryIndexOnceAndPublishesTheWrites) {
    static constexpr size_t kCounts[] = {0, 1, 2, 3, 7, 64, 1000, 20000};
    for (int threads : {1, 2, 3, 4, 8}) {
        WorkerPool pool(threads);
        EXPECT_EQ(pool.threads(), threads);
        for (size_t count : kCounts) {
            for (int repeat = 0; repeat < 3; ++repeat) {
                std::vector<int> hits(count, 0);
                pool.run(count, [&](size_t i) { ++hits[i]; });
                ASSERT_EQ(std::count(hits.begin(), hits.end(), 1), std::ptrdiff_t(count)) << threads << " threads";
            }
        }
    }
}

// The caller's indices are quick and the workers' slow, so the caller runs
// out of indices long before the workers finish theirs: run() must wait.
TEST(WorkerPool, ReturnsOnlyAfterTheWorkersFinish) {
    WorkerPool pool(3);
    const std::thread::id caller = std::this_thread::get_id();
    std::vector<std::atomic<bool>> done(64);
    std::atomic<int> onWorkers{0};
    pool.run(done.size(), [&](size_t i) {
        const bool mine = std::this_thread::get_id() == caller;
        if (!mine) onWorkers.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(mine ? 1 : 20));
        done[i].store(true);
    });
    EXPECT_EQ(std::count(done.begin(), done.end(), true), 64);
    EXPECT_GT(onWorkers.load(), 0);
}

TEST(WorkerPool, StartsThreadsMinusOneWorkersAndJoinsThem) {
    const int before = settledThreads();
    {
        WorkerPool single(1);
        EXPECT_EQ(settledThreads(), before);
        std::vector<std::thread::id> ranOn(50);
        single.run(ranOn.size(), [&](size_t i) { ranOn[i] = std::this_thread::get_id(); });
        EXPECT_EQ(ranOn, std::vector<std::thread::id>(50, std::this_thread::get_id()));
    }
    for (int round = 0; round < 50; ++round) {
        WorkerPool pool(4);
        ASSERT_EQ(settledThreads(), before + 3);
        if (round % 2) pool.run(5, [](size_t) {});  // destroyed both used and unused
    }
    EXPECT_EQ(settledThreads(), before);
    for (int threads : {0, -1}) EXPECT_THROW(WorkerPool{threads}, std::invalid_argument);
}

// Every call needs all threads at once, which only happens if every worker
// and the caller take part, the first call of a fresh pool as much as the
// rest. Calls that come back to back find the workers still looking for
// them; after a pause longer than their spinning they sleep and must be
// woken, and a caller whose workers outlast its own spinning sleeps until
// the last leaves. A lost wake-up would hang (the deadline turns that into a
// failure).
TEST(WorkerPool, WakesSleepingWorkersAndCallers) {
    const auto spin = std::chrono::nanoseconds(WorkerPool::kWorkerSpinNanos);
    const auto callerSpin = std::chrono::nanoseconds(WorkerPool::kCallerSpinNanos);
    for (const auto pause : {std::chrono::nanoseconds(0), spin / 4, spin * 4}) {
        for (int threads : {2, 3, 4}) {
            WorkerPool pool(threads);
            std::atomic<bool> timedOut{false};
            for (int call = 0; call < 20; ++call) {
                std::this_thread::sleep_for(pause);
                std::atomic<int> inside{0};
                pool.run(size_t(threads), [&](size_t i) {
                    inside.fetch_add(1);
                    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
                    while (inside.load() < threads && !timedOut) {
                        if (std::chrono::steady_clock::now() > deadline) timedOut = true;
                        std::this_thread::yield();
                    }
                    // Now and then the workers outlast the caller's spinning.
                    if (call % 5 == 4 && i > 0) std::this_thread::sleep_for(callerSpin * 2);
                });
            }
            EXPECT_FALSE(timedOut) << threads << " threads after pauses of " << pause.count() << " ns";
            const WorkerPool::Counters counters = pool.counters();
            EXPECT_EQ(counters.calls, 20u);
            EXPECT_EQ(counters.joinedSpinning + counters.joinedWoken, uint64_t(20 * (threads - 1)));
            EXPECT_EQ(counters.callerNoWait + counters.callerSpun + counters.callerSlept, 20u);
        }
    }
}

// Throwing indices do not stop the others, one of their exceptions comes
// back, and the pool is clean for the next call.
TEST(WorkerPool, RethrowsAnExceptionAfterEveryIndexRan) {
    for (int threads : {1, 3}) {
        WorkerPool pool(threads);
        std::vector<int> hits(100, 0);
        std::string message;
        try {
            pool.run(hits.size(), [&](size_t i) {
                ++hits[i];
                if (i == 10 || i == 20 || i == 30) throw std::runtime_error(std::to_string(i));
            });
        } catch (const std::runtime_error& error) {
            message = error.what();
        }
        EXPECT_EQ(hits, std::vector<int>(100, 1)) << threads << " threads";
        EXPECT_TRUE(message == "10" || message == "20" || message == "30") << "caught '" << message << "'";
        if (threads == 1) {
            EXPECT_EQ(message, "10");  // in order on the caller
        }
        EXPECT_NO_THROW(pool.run(8, [](size_t) {}));
    }
}

// Back-to-back calls of all sizes: a lost wake-up or a worker joining a
// finished call would hang, miscount or race here; none may allocate.
TEST(WorkerPool, ThousandsOfCallsStayExactWithoutAllocating) {
    WorkerPool pool(4);
    std::vector<uint64_t> sums(16, 0);
    uint64_t expected = 0;
    auto add = [&](size_t i) { sums[i] += i + 1; };
    const long allocationsBefore = allocations.load();
    for (int call = 0; call < 5000; ++call) {
        const size_t count = size_t(call % 17);
        pool.run(count, add);
        expected += count * (count + 1) / 2;
    }
    EXPECT_EQ(allocations.load(), allocationsBefore);
    uint64_t total = 0;
    for (uint64_t s : sums) total += s;
    EXPECT_EQ(total, expected);
}

// Two threads share one pool: their calls must not interleave, and each
// call still covers its own indices exactly once.
TEST(WorkerPool, ConcurrentCallersAreSerialised) {
    WorkerPool pool(3);
    std::atomic<int> inside[2] = {{0}, {0}};
    std::atomic<int> overlaps{0};
    auto caller = [&](int self) {
        for (int call = 0; call < 300; ++call) {
            std::vector<int> hits(32, 0);
            pool.run(hits.size(), [&](size_t i) {
                inside[self].fetch_add(1);
                if (inside[1 - self].load() != 0) overlaps.fetch_add(1);
                ++hits[i];
                inside[self].fetch_sub(1);
            });
            ASSERT_EQ(hits, std::vector<int>(32, 1));
        }
    };
    std::thread other(caller, 1);
    caller(0);
    other.join();
    EXPECT_EQ(overlaps.load(), 0);
}

// A thread pinned to one of the allowed cores sees exactly one.
TEST(WorkerPool, UsableCoresFollowsTheAffinityMask) {
    EXPECT_GE(usableCores(), 1);
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    int pinned = -1;
    std::thread([&] {
        cpu_set_t one;
        CPU_ZERO(&one);
        int cpu = 0;
        while (!CPU_ISSET(cpu, &allowed)) ++cpu;
        CPU_SET(cpu, &one);
        if (sched_setaffinity(0, sizeof one, &one) == 0) pinned = usableCores();
    }).join();
    EXPECT_EQ(pinned, 1);
}
