// The worker pool: every index exactly once, worker ids in range, stop and exceptions, nesting,
// and a fresh pool in a forked child.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <vector>

#include "engine/levels/pool.hpp"

namespace kov {
namespace {

struct WorkerCountGuard {
    explicit WorkerCountGuard(std::size_t count) { set_worker_count(count); }
    ~WorkerCountGuard() { set_worker_count(0); }
};

bool covers_each_index_once(std::size_t count, std::size_t chunk) {
    std::vector<std::atomic<int>> hits(count);
    std::atomic<bool> ids_in_range{true};
    const std::size_t workers = worker_count();
    const bool completed =
        parallel_for(count, chunk, [&](std::size_t b, std::size_t e, std::size_t w) {
            if (w >= workers || e - b > std::max<std::size_t>(chunk, 1)) ids_in_range = false;
            for (std::size_t i = b; i < e; ++i) hits[i].fetch_add(1);
        });
    bool once = completed && ids_in_range;
    for (auto& h : hits) once = once && h.load() == 1;
    return once;
}

TEST(PoolParallelFor, RunsEveryIndexExactlyOnce) {
    for (std::size_t threads : {1u, 2u, 3u, 5u}) {
        WorkerCountGuard guard(threads);
        EXPECT_EQ(worker_count(), threads);
        for (auto [count, chunk] : {std::pair{0u, 1u},
                                    {1u, 1u},
                                    {7u, 3u},
                                    {1000u, 1u},
                                    {1000u, 64u},
                                    {5000u, 5000u},
                                    {10u, 0u}}) {
            EXPECT_TRUE(covers_each_index_once(count, chunk))
                << threads << " threads, count " << count << ", chunk " << chunk;
        }
    }
}

TEST(PoolParallelFor, DefaultsToTheAffinityMask) {
    set_worker_count(0);
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    EXPECT_EQ(worker_count(), static_cast<std::size_t>(CPU_COUNT(&set)));
}

TEST(PoolParallelFor, PollStopsTakingChunks) {
    WorkerCountGuard guard(1);
    std::size_t chunks = 0;
    int polls = 0;
    const bool completed = parallel_for(
        100, 10, [&](std::size_t, std::size_t, std::size_t) { ++chunks; },
        [&] { return ++polls > 3; });
    EXPECT_FALSE(completed);
    EXPECT_EQ(chunks, 3u);
}

TEST(PoolParallelFor, RethrowsTheBodysException) {
    for (std::size_t threads : {1u, 2u}) {
        WorkerCountGuard guard(threads);
        EXPECT_THROW(parallel_for(100, 1,
                                  [](std::size_t b, std::size_t, std::size_t) {
                                      if (b == 42) throw std::runtime_error("body");
                                  }),
                     std::runtime_error);
        EXPECT_TRUE(covers_each_index_once(100, 7));  // still usable afterwards
    }
}

TEST(PoolParallelFor, NestedCallsRunOnTheCallingWorker) {
    WorkerCountGuard guard(2);
    std::atomic<std::size_t> total{0};
    parallel_for(4, 1, [&](std::size_t, std::size_t, std::size_t outer) {
        parallel_for(10, 3, [&](std::size_t b, std::size_t e, std::size_t inner) {
            if (inner == outer) total += e - b;
        });
    });
    EXPECT_EQ(total.load(), 40u);
}

TEST(PoolParallelFor, ForkedChildStartsItsOwnPool) {
    WorkerCountGuard guard(2);
    ASSERT_TRUE(covers_each_index_once(100, 1));  // the parent's pool is running
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) _exit(covers_each_index_once(1000, 3) ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace kov
