// The pool's handshake: the caller publishes a call in state_; a worker
// that sees it open counts itself in active_, checks that the call is still
// open, claims indices from next_ and leaves. The caller closes the call
// once it runs out of indices and waits for active_ to reach 0. Both sides
// spin for a while before they sleep: a wake-up costs more than a step of
// a few consoles gains from the second core.
#include "batch/worker_pool.h"

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <utility>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

void relax() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Calls done() until it holds or `nanos` have passed; true if it held. The
// first few microseconds only pause; after them each round also yields the
// core, so a spinning thread never holds up another on the same core.
template <class Done>
bool spinUntil(Done done, int64_t nanos) {
    for (int i = 0; i < 64; ++i) {
        if (done()) return true;
        relax();
    }
    const Clock::time_point until = Clock::now() + std::chrono::nanoseconds(nanos);
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            if (done()) return true;
            relax();
        }
        if (Clock::now() >= until) return done();
        sched_yield();
    }
}

bool open(uint64_t state) { return (state & 1) != 0; }

}  // namespace

WorkerPool::WorkerPool(int threads) : threadCount_(threads) {
    if (threads < 1) throw std::invalid_argument("WorkerPool needs at least one thread");
    workers_.reserve(size_t(threads - 1));
    try {
        for (int i = 1; i < threads; ++i) workers_.emplace_back([this] { workerLoop(); });
    } catch (...) {
        {
            std::lock_guard<std::mutex> guard(sleepLock_);
            stopping_.store(true);
        }
        wake_.notify_all();
        for (std::thread& worker : workers_) worker.join();
        throw;
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> guard(sleepLock_);
        stopping_.store(true);
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

WorkerPool::Counters WorkerPool::counters() const {
    Counters c;
    c.calls = calls_.load(std::memory_order_relaxed);
    c.joinedSpinning = joinedSpinning_.load(std::memory_order_relaxed);
    c.joinedWoken = joinedWoken_.load(std::memory_order_relaxed);
    c.callerNoWait = callerNoWait_.load(std::memory_order_relaxed);
    c.callerSpun = callerSpun_.load(std::memory_order_relaxed);
    c.callerSlept = callerSlept_.load(std::memory_order_relaxed);
    return c;
}

void WorkerPool::run(size_t count, Job job, void* context) {
    if (count == 0) return;
    std::lock_guard<std::mutex> caller(callerLock_);
    calls_.fetch_add(1, std::memory_order_relaxed);
    next_.store(0, std::memory_order_relaxed);
    // Waking a worker for a single index only adds its wake-up to the call.
    const size_t helpers = workers_.empty() ? 0 : std::min(workers_.size(), count - 1);
    if (helpers > 0) {
        job_ = job;
        context_ = context;
        count_ = count;
        const uint64_t call = ++generation_ << 1 | 1;
        state_.store(call);
        if (sleepers_.load() > 0) {
            std::lock_guard<std::mutex> guard(sleepLock_);
            if (helpers == workers_.size()) {
                wake_.notify_all();
            } else {
                for (size_t i = 0; i < helpers; ++i) wake_.notify_one();
            }
        }
        drain(job, context, count);
        state_.store(call & ~uint64_t(1));
        awaitWorkers();
    } else {
        drain(job, context, count);
    }
    std::exception_ptr error;
    {
        std::lock_guard<std::mutex> guard(errorLock_);
        error = std::exchange(error_, nullptr);
    }
    if (error) std::rethrow_exception(error);
}

void WorkerPool::awaitWorkers() {
    const auto gone = [this] { return active_.load() == 0; };
    if (gone()) {
        callerNoWait_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (spinUntil(gone, kCallerSpinNanos)) {
        callerSpun_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    callerSlept_.fetch_add(1, std::memory_order_relaxed);
    std::unique_lock<std::mutex> guard(sleepLock_);
    callerAsleep_.store(true);
    finished_.wait(guard, gone);
    callerAsleep_.store(false);
}

void WorkerPool::leave() {
    // The last to leave wakes a sleeping caller; one that is spinning sees 0.
    if (active_.fetch_sub(1) == 1 && callerAsleep_.load()) {
        std::lock_guard<std::mutex> guard(sleepLock_);
        finished_.notify_one();
    }
}

void WorkerPool::drain(Job job, void* context, size_t count) {
    // The handshakes order the jobs' memory; next_ only has to be atomic.
    for (;;) {
        const size_t index = next_.fetch_add(1, std::memory_order_relaxed);
        if (index >= count) return;
        try {
            job(context, index);
        } catch (...) {
            std::lock_guard<std::mutex> guard(errorLock_);
            if (!error_) error_ = std::current_exception();
        }
    }
}

bool WorkerPool::awaitCall(uint64_t seen, bool& woken) {
    const auto ready = [&] {
        const uint64_t state = state_.load(std::memory_order_acquire);
        return stopping_.load(std::memory_order_relaxed) || (open(state) && state != seen);
    };
    woken = false;
    if (!spinUntil(ready, kWorkerSpinNanos)) {
        std::unique_lock<std::mutex> guard(sleepLock_);
        sleepers_.fetch_add(1);
        wake_.wait(guard, ready);
        sleepers_.fetch_sub(1);
        woken = true;
    }
    return !stopping_.load();
}

void WorkerPool::workerLoop() {
    uint64_t seen = 0;
    bool woken = false;
    while (awaitCall(seen, woken)) {
        const uint64_t call = state_.load();
        if (!open(call) || call == seen) continue;
        active_.fetch_add(1);
        // Still open on the same call: the caller has not passed its wait,
        // and will not until this worker leaves.
        if (state_.load() != call) {
            leave();
            continue;
        }
        seen = call;
        (woken ? joinedWoken_ : joinedSpinning_).fetch_add(1, std::memory_order_relaxed);
        drain(job_, context_, count_);
        leave();
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
