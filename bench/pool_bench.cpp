// How long the batch's worker pool takes to hand out a call, which bounds how
// close a batch of consoles comes to using every core: each call wakes the
// sleeping workers, and the caller waits for the last of them.
//
//     pool_bench [--calls N] [--idle MICROSECONDS]
//
// For each idle time between calls (the caller spins meanwhile), it times
// run() with one job per thread, each of which waits until all have started,
// so every worker must join; it prints the median and 90th percentile, and
// how the workers joined: still looking for the call (idle times shorter
// than WorkerPool::kWorkerSpinNanos) or woken from sleep.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "batch/worker_pool.h"

namespace {

using Clock = std::chrono::steady_clock;

void spinFor(std::chrono::microseconds idle) {
    const Clock::time_point until = Clock::now() + idle;
    while (Clock::now() < until) {}
}

}  // namespace

int main(int argc, char** argv) {
    int calls = 2000;
    std::vector<int> idles = {0, 300, 1000, 5000};
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--calls") == 0) calls = std::max(10, std::stoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--idle") == 0) idles = {std::max(0, std::stoi(argv[i + 1]))};
    }
    const int threads = usableCores();
    if (threads < 2) {
        std::printf("one usable core: the pool starts no workers\n");
        return 0;
    }
    WorkerPool pool(threads);
    std::printf("worker pool, %d threads    a call that every thread must join, microseconds\n", threads);
    std::printf("%-16s %8s %8s   %s\n", "idle before", "median", "p90", "joins: spinning / woken");
    for (const int idleMicros : idles) {
        const WorkerPool::Counters before = pool.counters();
        std::vector<double> took;
        took.reserve(size_t(calls));
        const int rounds = idleMicros >= 1000 ? std::max(10, calls / 10) : calls;
        for (int i = 0; i < rounds; ++i) {
            spinFor(std::chrono::microseconds(idleMicros));
            std::atomic<int> started{0};
            const Clock::time_point start = Clock::now();
            pool.run(size_t(threads), [&](size_t) {
                ++started;
                // A rendezvous; a second gives up rather than hang.
                const Clock::time_point limit = Clock::now() + std::chrono::seconds(1);
                while (started.load() < threads && Clock::now() < limit) {}
            });
            took.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        std::sort(took.begin(), took.end());
        const WorkerPool::Counters after = pool.counters();
        std::printf("%-16s %8.1f %8.1f   %llu / %llu\n", (std::to_string(idleMicros) + " us").c_str(),
                    took[took.size() / 2], took[took.size() * 9 / 10],
                    static_cast<unsigned long long>(after.joinedSpinning - before.joinedSpinning),
                    static_cast<unsigned long long>(after.joinedWoken - before.joinedWoken));
    }
    return 0;
}
