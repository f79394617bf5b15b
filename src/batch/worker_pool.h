// A fixed set of threads that run index-parallel jobs together with the
// calling thread: a batch of consoles steps all of its members through one.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

class WorkerPool {
public:
    using Job = void (*)(void* context, size_t index);

    // How long a worker that finished a call keeps looking for the next one
    // before it sleeps, and how long the caller waits for the workers to
    // leave a call before it sleeps. Waking a sleeping thread takes tens of
    // microseconds or more (over a hundred on some virtual machines): a
    // batch stepped in a loop calls again well within the first, so its
    // workers never sleep, and a pool left alone sleeps after it.
    static constexpr int64_t kWorkerSpinNanos = 250'000;
    static constexpr int64_t kCallerSpinNanos = 2'000'000;

    // What the pool has done, for benchmarks: calls, the times a worker
    // joined one while still looking for it and after being woken, and the
    // times the caller found the workers gone or waited, spinning or asleep.
    struct Counters {
        uint64_t calls = 0;
        uint64_t joinedSpinning = 0, joinedWoken = 0;
        uint64_t callerNoWait = 0, callerSpun = 0, callerSlept = 0;
    };

    // `threads` counts the caller: threads - 1 workers are started (none for 1).
    // Throws std::invalid_argument below 1.
    explicit WorkerPool(int threads);
    // Wakes and joins the workers; must not overlap a run().
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int threads() const { return threadCount_; }
    Counters counters() const;

    // Calls job(context, i) once for every i in [0, count), on the workers and
    // the calling thread; indices are claimed one at a time, so uneven jobs
    // balance. Returns when all have finished, with their writes visible to
    // the caller. If jobs throw, the rest still run and the first exception is
    // rethrown here. Calls are serialised: a second caller waits for the first.
    // A job must not call run() on the same pool (it would wait for itself).
    void run(size_t count, Job job, void* context);

    // The same for any callable taking a size_t, called by reference in place.
    template <class F>
    void run(size_t count, F&& f) {
        using Callable = std::remove_reference_t<F>;
        run(
            count, [](void* context, size_t index) { (*static_cast<Callable*>(context))(index); },
            const_cast<void*>(static_cast<const void*>(std::addressof(f))));
    }

private:
    void workerLoop();
    // Waits until a call other than `seen` is open (false: the pool stops);
    // `woken` says whether the worker slept meanwhile.
    bool awaitCall(uint64_t seen, bool& woken);
    // The caller's wait for the workers to leave the call it closed.
    void awaitWorkers();
    void leave();
    // Claims and runs indices until none is left; records the first exception.
    void drain(Job job, void* context, size_t count);

    // --- fixed at construction ---
    int threadCount_;
    std::vector<std::thread> workers_;

    // --- one caller at a time ---
    std::mutex callerLock_;
    uint64_t generation_ = 0;  // the caller's count of calls handed out

    // --- the current call: written before state_ publishes it ---
    Job job_ = nullptr;
    void* context_ = nullptr;
    size_t count_ = 0;

    // Each on its own cache line: the caller and the workers write them.
    // generation << 1 | open. A worker joins a call by counting itself in
    // active_ and then finding state_ still open on it; the caller closes
    // the call and then waits for active_ to drop to 0, so a worker that
    // comes late never touches a call that has returned.
    alignas(64) std::atomic<uint64_t> state_{0};
    alignas(64) std::atomic<size_t> next_{0};
    alignas(64) std::atomic<int> active_{0};

    // --- sleeping, both ways, under sleepLock_ ---
    alignas(64) std::mutex sleepLock_;
    std::condition_variable wake_;      // workers: a new call, or stop
    std::condition_variable finished_;  // caller: the last worker left
    std::atomic<int> sleepers_{0};
    std::atomic<bool> callerAsleep_{false};
    std::atomic<bool> stopping_{false};

    // --- the first exception of a call ---
    std::mutex errorLock_;
    std::exception_ptr error_;

    // --- counters (relaxed: for benchmarks only) ---
    std::atomic<uint64_t> calls_{0}, joinedSpinning_{0}, joinedWoken_{0};
    std::atomic<uint64_t> callerNoWait_{0}, callerSpun_{0}, callerSlept_{0};
};

// How many cores this process may run on: its affinity mask, else the
// hardware's count; at least 1.
int usableCores();
