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

    // `threads` counts the caller: threads - 1 workers are started (none for 1).
    // Throws std::invalid_argument below 1.
    explicit WorkerPool(int threads);
    // Wakes and joins the workers; must not overlap a run().
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int threads() const { return threadCount_; }

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
    // Claims and runs indices until none is left; records the first exception.
    void drain(Job job, void* context, size_t count);

    // --- fixed at construction ---
    int threadCount_;
    std::vector<std::thread> workers_;

    // --- one caller at a time ---
    std::mutex callerLock_;

    // --- the current call, guarded by lock_ ---
    std::mutex lock_;
    std::condition_variable wake_;      // workers: a new call, or stop
    std::condition_variable finished_;  // caller: the last joined worker left
    uint64_t generation_ = 0;           // bumped once per call
    bool open_ = false;                 // workers may still join the current call
    bool stopping_ = false;
    int active_ = 0;  // workers inside the current call
    Job job_ = nullptr;
    void* context_ = nullptr;
    size_t count_ = 0;
    std::exception_ptr error_;

    // --- claimed without the lock ---
    std::atomic<size_t> next_{0};
};

// How many cores this process may run on: its affinity mask, else the
// hardware's count; at least 1.
int usableCores();
