// The pool's handshake: the caller publishes a call under lock_ and bumps the
// generation; each worker that sees the call while it is still open joins it,
// claims indices from next_, and leaves under lock_. The caller closes the
// call once it runs out of indices and waits for the joined workers to leave,
// so a worker that wakes late never touches a call that has returned.
#include "batch/worker_pool.h"

#include <sched.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

WorkerPool::WorkerPool(int threads) : threadCount_(threads) {
    if (threads < 1) throw std::invalid_argument("WorkerPool needs at least one thread");
    workers_.reserve(size_t(threads - 1));
    try {
        for (int i = 1; i < threads; ++i) workers_.emplace_back([this] { workerLoop(); });
    } catch (...) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& worker : workers_) worker.join();
        throw;
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

void WorkerPool::run(size_t count, Job job, void* context) {
    if (count == 0) return;
    std::lock_guard<std::mutex> caller(callerLock_);
    // Waking a worker for a single index only adds its wake-up to the call.
    const size_t helpers = workers_.empty() ? 0 : std::min(workers_.size(), count - 1);
    if (helpers > 0) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            job_ = job;
            context_ = context;
            count_ = count;
            next_.store(0, std::memory_order_relaxed);
            open_ = true;
            ++generation_;
        }
        if (helpers == workers_.size()) {
            wake_.notify_all();
        } else {
            for (size_t i = 0; i < helpers; ++i) wake_.notify_one();
        }
    } else {
        next_.store(0, std::memory_order_relaxed);
    }

    drain(job, context, count);

    std::exception_ptr error;
    {
        std::unique_lock<std::mutex> guard(lock_);
        open_ = false;
        finished_.wait(guard, [this] { return active_ == 0; });
        error = std::exchange(error_, nullptr);
    }
    if (error) std::rethrow_exception(error);
}

void WorkerPool::drain(Job job, void* context, size_t count) {
    // The lock_ handshakes order the jobs' memory; next_ only has to be atomic.
    for (;;) {
        const size_t index = next_.fetch_add(1, std::memory_order_relaxed);
        if (index >= count) return;
        try {
            job(context, index);
        } catch (...) {
            std::lock_guard<std::mutex> guard(lock_);
            if (!error_) error_ = std::current_exception();
        }
    }
}

void WorkerPool::workerLoop() {
    uint64_t seen = 0;
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        wake_.wait(guard, [&] { return stopping_ || generation_ != seen; });
        if (stopping_) return;
        seen = generation_;
        if (!open_) continue;  // woke after the caller finished alone
        ++active_;
        const Job job = job_;
        void* const context = context_;
        const size_t count = count_;
        guard.unlock();
        drain(job, context, count);
        guard.lock();
        if (--active_ == 0 && !open_) finished_.notify_one();
    }
}

int usableCores() {
    cpu_set_t fixed;
    CPU_ZERO(&fixed);
    if (sched_getaffinity(0, sizeof fixed, &fixed) == 0) return CPU_COUNT(&fixed) > 0 ? CPU_COUNT(&fixed) : 1;
    // EINVAL: the kernel's mask is wider than cpu_set_t; grow until it fits.
    for (int cpus = 2 * CPU_SETSIZE; cpus <= (1 << 16); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (!set) break;
        const size_t size = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(size, set);
        const bool ok = sched_getaffinity(0, size, set) == 0;
        const int count = ok ? CPU_COUNT_S(size, set) : 0;
        CPU_FREE(set);
        if (ok) return count > 0 ? count : 1;
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? int(hardware) : 1;
}
