// The worker pool and the fingerprint table when the system refuses threads or memory: a search
// must see an exception it can report (MemoryError in Python), never a terminated process, a hang
// or a worker still running on a finished job. The limits are applied in child processes.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/levels/fingerprint_table.hpp"
#include "engine/levels/pool.hpp"

namespace kov {
namespace {

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer reserves terabytes of shadow memory: an address-space limit breaks it first.
constexpr bool address_space_limits_work = false;
#else
constexpr bool address_space_limits_work = true;
#endif

std::uint64_t address_space_in_use() {
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    unsigned long long pages = 0;
    if (statm != nullptr) {
        if (std::fscanf(statm, "%llu", &pages) != 1) pages = 0;
        std::fclose(statm);
    }
    return pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

void limit_address_space(std::uint64_t headroom) {
    const rlim_t limit = address_space_in_use() + headroom;
    const rlimit value{limit, limit};
    if (setrlimit(RLIMIT_AS, &value) != 0) _exit(3);
}

// Digests look random, as a hash makes them; these share their top bits and so their shard.
Digest digest(std::uint64_t i) {
    std::uint64_t z = i * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return Digest{z >> 6, z * 0x9E3779B97F4A7C15ull};
}

// Every index in [0, count) visited exactly once.
bool covers_each_index_once(std::size_t count, std::size_t chunk) {
    std::vector<std::atomic<int>> seen(count);
    parallel_for(count, chunk, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t i = begin; i < end; ++i) ++seen[i];
    });
    for (const auto& s : seen) {
        if (s.load() != 1) return false;
    }
    return true;
}

TEST(ResourceLimits, PoolStartsWithTheThreadsItCanGet) {
    if (!address_space_limits_work) GTEST_SKIP() << "address-space limits and the sanitizer";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Sixteen workers need some 128 MiB of thread stacks; 24 MiB of headroom grants two or so.
    EXPECT_EXIT(
        {
            alarm(20);
            limit_address_space(std::uint64_t{24} << 20);
            set_worker_count(16);
            const bool covered = covers_each_index_once(10000, 1);
            _exit(covered && worker_count() >= 1 && worker_count() < 16 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(ResourceLimits, FingerprintTableStaysUsableWhenGrowingFails) {
    if (!address_space_limits_work) GTEST_SKIP() << "address-space limits and the sanitizer";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            alarm(20);  // a shard lock left held makes the next insertion spin: fail, don't hang
            limit_address_space(std::uint64_t{64} << 20);
            FingerprintTable table;
            bool refused = false;
            std::uint64_t i = 0;
            // Same top bits: one shard takes every key and must keep growing.
            for (; i < (std::uint64_t{1} << 26) && !refused; ++i) {
                try {
                    (void)table.insert(digest(i), i);
                } catch (const std::bad_alloc&) {
                    refused = true;
                }
            }
            if (!refused) _exit(2);
            try {
                (void)table.insert(digest(i), i);
            } catch (const std::bad_alloc&) {
            }
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(ResourceLimits, ExceptionFromThePollIsRethrownAfterTheWorkersStop) {
    set_worker_count(2);
    std::atomic<int> polls{0};
    std::atomic<long> chunks{0};
    EXPECT_THROW(parallel_for(
                     100000, 1,
                     [&](std::size_t, std::size_t, std::size_t) {
                         ++chunks;
                         std::this_thread::sleep_for(std::chrono::microseconds(20));
                     },
                     [&]() -> bool {
                         if (++polls == 10) throw std::runtime_error("poll");
                         return false;
                     }),
                 std::runtime_error);
    // No worker is still taking chunks of the finished loop.
    const long after_return = chunks.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(chunks.load(), after_return);
    // The pool is intact: two chunks run at the same time, each seeing the other start.
    std::atomic<int> started{0};
    std::atomic<int> saw_both{0};
    parallel_for(2, 1, [&](std::size_t, std::size_t, std::size_t) {
        ++started;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (started.load() < 2 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        if (started.load() == 2) ++saw_both;
    });
    EXPECT_EQ(saw_both.load(), 2);
    EXPECT_TRUE(covers_each_index_once(1000, 3));
    set_worker_count(0);
}

}  // namespace
}  // namespace kov
