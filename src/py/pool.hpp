// The batch worker pool: a fixed number of threads that run an
// order-preserving parallel map while the submitting thread waits.
//
// One pool serves the whole process (`POOL`): it is built on first use with
// a size taken from TARNWIK_THREADS or from the processors the process may
// run on, kept for the life of the process, and built afresh in a child
// after fork (the parent's worker threads do not exist there).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <thread>
#include <vector>

namespace tarnwik::py {

class WorkerPool {
public:
    // Starts `workers` threads (at least one). Throws std::system_error when
    // a thread cannot be started; the threads already started are stopped.
    explicit WorkerPool(size_t workers);
    // Stops and joins the workers. Must run in the process that built the
    // pool, with no map in progress.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    size_t size() const { return threads_.size(); }

    // Calls body(i) for every i in [0, n) on the workers and returns once all
    // calls have returned; the calling thread only waits. Several threads may
    // run maps at once; their items interleave on the workers. The first
    // exception thrown by a call is rethrown here, after every item ran.
    void run(size_t n, const std::function<void(size_t)>& body);

    // out[i] = f(in[i]), in input order.
    template <class In, class F>
    auto map(std::span<const In> in, F&& f) -> std::vector<decltype(f(in[0]))> {
        std::vector<std::optional<decltype(f(in[0]))>> slots(in.size());
        run(in.size(), [&](size_t i) { slots[i].emplace(f(in[i])); });
        std::vector<decltype(f(in[0]))> out;
        out.reserve(in.size());
        for (auto& s : slots) out.push_back(std::move(*s));
        return out;
    }

private:
    struct Job;
    void work();

    std::mutex mutex_;
    std::condition_variable work_ready_;  // a job was queued, or stop
    std::condition_variable job_done_;    // some job's last worker left it
    std::deque<Job*> queue_;              // jobs with items left to claim
    bool stop_ = false;
    std::vector<std::thread> threads_;
};

// The worker count asked for by the value of TARNWIK_THREADS: a decimal
// number with an optional leading "+" (0 counts as 1). Nothing for an unset,
// empty or malformed value (spaces, a sign "-", letters, overflow, bytes
// that are not UTF-8).
std::optional<size_t> threads_from_env(const char* value);

// Processors available to the process minus two, at least 1; 2 when the
// count cannot be read.
size_t default_threads();

// The pool of the current process, built when there is none yet or the
// stored one was built before a fork. Nothing when not even a single worker
// can be started. Call with the interpreter lock held: os.fork needs that
// lock, so no fork can find POOL's mutex taken.
std::shared_ptr<WorkerPool> acquire_pool();

}  // namespace tarnwik::py
