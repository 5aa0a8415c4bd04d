#include "py/pool.hpp"

#include <sched.h>
#include <unistd.h>

#include <limits>
#include <utility>

#include "util/text.hpp"

namespace tarnwik::py {

// One map in progress. It lives on the submitter's stack; workers reach it
// only through the queue and leave it before the submitter returns.
struct WorkerPool::Job {
    size_t n = 0;
    const std::function<void(size_t)>* body = nullptr;
    std::atomic<size_t> next{0};  // the next item to claim
    size_t active = 0;            // workers inside the job (under mutex_)
    bool queued = true;           // still in queue_ (under mutex_)
    std::mutex error_mutex;
    std::exception_ptr error;
};

WorkerPool::WorkerPool(size_t workers) {
    if (workers == 0) workers = 1;
    threads_.reserve(workers);
    try {
        for (size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
    } catch (...) {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        work_ready_.notify_all();
        for (std::thread& t : threads_) t.join();
        throw;
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& t : threads_) t.join();
}

void WorkerPool::run(size_t n, const std::function<void(size_t)>& body) {
    if (n == 0) return;
    Job job;
    job.n = n;
    job.body = &body;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(&job);
    }
    work_ready_.notify_all();
    {
        // Every item has been claimed once the job leaves the queue, and has
        // finished once no worker is inside the job any more.
        std::unique_lock lock(mutex_);
        job_done_.wait(lock, [&] { return !job.queued && job.active == 0; });
    }
    if (job.error) std::rethrow_exception(job.error);
}

void WorkerPool::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        work_ready_.wait(lock, [&] { return stop_ || !queue_.empty(); });
        if (stop_) return;
        Job& job = *queue_.front();
        ++job.active;
        lock.unlock();
        for (;;) {
            const size_t i = job.next.fetch_add(1, std::memory_order_relaxed);
            if (i >= job.n) break;
            try {
                (*job.body)(i);
            } catch (...) {
                std::lock_guard error_lock(job.error_mutex);
                if (!job.error) job.error = std::current_exception();
            }
        }
        lock.lock();
        if (job.queued) {
            job.queued = false;
            std::erase(queue_, &job);
        }
        if (--job.active == 0) job_done_.notify_all();
    }
}

std::optional<size_t> threads_from_env(const char* value) {
    if (!value) return std::nullopt;
    std::string_view v(value);
    if (!text::valid_utf8(v)) return std::nullopt;
    if (!v.empty() && v[0] == '+') v.remove_prefix(1);
    if (v.empty()) return std::nullopt;
    size_t n = 0;
    for (char c : v) {
        if (c < '0' || c > '9') return std::nullopt;
        const size_t d = static_cast<size_t>(c - '0');
        if (n > (std::numeric_limits<size_t>::max() - d) / 10) return std::nullopt;
        n = n * 10 + d;
    }
    return n == 0 ? 1 : n;
}

size_t default_threads() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 2;
    const int cpus = CPU_COUNT(&set);
    if (cpus <= 0) return 2;
    return cpus > 3 ? static_cast<size_t>(cpus - 2) : 1;
}

namespace {

struct PoolSlot {
    std::mutex mutex;
    uint32_t pid = 0;
    std::shared_ptr<WorkerPool> pool;
};

// POOL: the process's worker pool and the process that built it. Never
// destroyed: at exit, and in a forked child that never queried, it may hold
// a pool whose threads do not exist, which must never be joined.
PoolSlot& POOL = *new PoolSlot;

}  // namespace

std::shared_ptr<WorkerPool> acquire_pool() {
    const auto pid = static_cast<uint32_t>(::getpid());
    std::lock_guard lock(POOL.mutex);
    if (POOL.pool && POOL.pid == pid) return POOL.pool;

    std::shared_ptr<WorkerPool> pool;
    const size_t n = threads_from_env(std::getenv("TARNWIK_THREADS")).value_or(default_threads());
    try {
        pool = std::make_shared<WorkerPool>(n);
    } catch (...) {
        try {
            pool = std::make_shared<WorkerPool>(1);
        } catch (...) {
            return nullptr;
        }
    }
    // A pool built by the parent before a fork is left alone: its workers
    // exist only in the parent, so joining them here would never return.
    if (POOL.pool) new std::shared_ptr<WorkerPool>(std::move(POOL.pool));
    POOL.pid = pid;
    POOL.pool = pool;
    return pool;
}

}  // namespace tarnwik::py
