#include "engine/levels/pool.hpp"

#include <pthread.h>
#if KOV_HAVE_SCHED_GETAFFINITY
#include <sched.h>
#endif

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace kov {

namespace {

// The processors this process may run on: its affinity mask where the system has one (a container
// or taskset may grant fewer than the machine has), else the standard library's count.
std::size_t processors_in_affinity_mask() {
#if KOV_HAVE_SCHED_GETAFFINITY
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

// One parallel_for in flight.
struct Job {
    std::size_t count = 0;
    std::size_t chunk = 1;
    const ChunkBody* body = nullptr;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex error_mutex;
    std::exception_ptr error;

    // Takes chunks until none is left or the job is stopped. Nothing may escape: the calling
    // thread must wait for every worker before the job (on its stack) goes away, so an exception
    // of the body or of the poll is kept and rethrown by parallel_for.
    void work(std::size_t worker, const std::function<bool()>* poll) {
        while (!stop.load(std::memory_order_relaxed)) {
            try {
                if (poll && *poll && (*poll)()) {
                    stop.store(true, std::memory_order_relaxed);
                    break;
                }
                const std::size_t begin = next.fetch_add(chunk, std::memory_order_relaxed);
                if (begin >= count) break;
                (*body)(begin, std::min(count, begin + chunk), worker);
            } catch (...) {
                std::lock_guard lock(error_mutex);
                if (!error) error = std::current_exception();
                stop.store(true, std::memory_order_relaxed);
            }
        }
    }
};

thread_local bool inside_body = false;
thread_local std::size_t current_worker = 0;

class Pool {
public:
    // Where the system grants fewer threads than asked (a low address-space or thread limit),
    // the pool works with those it got, down to the calling thread alone, instead of failing every
    // search. A thread that failed to start leaves no joinable thread behind.
    explicit Pool(std::size_t workers) {
        try {
            for (std::size_t id = 1; id < workers; ++id)
                threads_.emplace_back([this, id] { run(id); });
        } catch (const std::exception&) {
        }
        workers_ = threads_.size() + 1;
        // A thread's thread-local storage (the C++ runtime's exception state, this file's own)
        // is allocated on its first use, and a failed allocation there ends the process. Each
        // worker makes that first use as it starts, and the pool waits for all of them, so that
        // it happens now and not in a worker first scheduled after a search has used memory up.
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return started_ == threads_.size(); });
    }

    ~Pool() {
        {
            std::lock_guard lock(mutex_);
            shutting_down_ = true;
        }
        wake_.notify_all();
        for (std::thread& thread : threads_) thread.join();
    }

    std::size_t workers() const { return workers_; }

    // Runs the job on every worker and the calling thread; returns when all have left it.
    void execute(Job& job, const std::function<bool()>* poll) {
        {
            std::lock_guard lock(mutex_);
            job_ = &job;
            busy_ = threads_.size();
            ++generation_;
        }
        wake_.notify_all();
        inside_body = true;
        job.work(0, poll);
        inside_body = false;
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return busy_ == 0; });
        job_ = nullptr;
    }

private:
    void run(std::size_t id) {
        (void)std::current_exception();  // reads, and so allocates, the exception state
        inside_body = true;
        current_worker = id;
        {
            std::lock_guard lock(mutex_);
            ++started_;
        }
        done_.notify_all();
        std::uint64_t seen = 0;
        for (;;) {
            Job* job = nullptr;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return shutting_down_ || generation_ != seen; });
                if (shutting_down_) return;
                seen = generation_;
                job = job_;
            }
            job->work(id, nullptr);
            {
                std::lock_guard lock(mutex_);
                if (--busy_ == 0) done_.notify_one();
            }
        }
    }

    std::size_t workers_ = 1;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    Job* job_ = nullptr;
    std::size_t busy_ = 0;
    std::size_t started_ = 0;
    std::uint64_t generation_ = 0;
    bool shutting_down_ = false;
};

// Serialises parallel_for calls from different threads and guards the pool pointer.
std::mutex& call_mutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

Pool* pool = nullptr;
std::size_t requested_workers = 0;

// In a forked child the worker threads do not exist and the locks may be held by threads that
// vanished: forget both (deliberately leaked) and start afresh on first use.
void forget_pool_in_child() {
    pool = nullptr;
    new (&call_mutex()) std::mutex;
}

void install_fork_handler() {
    static const bool installed = [] {
        pthread_atfork(nullptr, nullptr, forget_pool_in_child);
        return true;
    }();
    (void)installed;
}

std::size_t configured_workers() {
    return requested_workers != 0 ? requested_workers : processors_in_affinity_mask();
}

Pool& pool_locked() {
    install_fork_handler();
    if (pool == nullptr) pool = new Pool(configured_workers());
    return *pool;
}

}  // namespace

std::size_t worker_count() {
    std::lock_guard lock(call_mutex());
    return pool != nullptr ? pool->workers() : configured_workers();
}

void set_worker_count(std::size_t count) {
    std::lock_guard lock(call_mutex());
    requested_workers = count;
    if (pool != nullptr && pool->workers() != configured_workers()) {
        delete pool;
        pool = nullptr;
    }
}

bool parallel_for(std::size_t count, std::size_t chunk, const ChunkBody& body,
                  const std::function<bool()>& poll) {
    Job job;
    job.count = count;
    job.chunk = std::max<std::size_t>(chunk, 1);
    job.body = &body;
    if (inside_body) {
        job.work(current_worker, &poll);
    } else {
        std::lock_guard lock(call_mutex());
        Pool& workers = pool_locked();
        if (workers.workers() == 1 || count <= job.chunk) {
            inside_body = true;
            job.work(0, &poll);
            inside_body = false;
        } else {
            workers.execute(job, &poll);
        }
    }
    if (job.error) std::rethrow_exception(job.error);
    return !job.stop.load();
}

}  // namespace kov
