#include "engine/levels/fingerprint_table.hpp"

#if KOV_HAVE_HUGE_PAGES
#include <sys/mman.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "core/wide_multiply.hpp"
#include "engine/levels/pool.hpp"

namespace kov {

namespace {

// 64 x 64 -> 128-bit multiply folded to 64 bits: the mixing step of wyhash.
inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) {
    const WideProduct product = multiply_wide(a, b);
    return product.low ^ product.high;
}

// Random odd constants; each key meets a different one in each half of the digest.
constexpr std::uint64_t secrets[2][12] = {
    {0xa0761d6478bd642fULL, 0xe7037ed1a0b428dbULL, 0x8ebc6af09c88c6e3ULL, 0x589965cc75374cc3ULL,
     0x1d8e4e27c47d124fULL, 0x9e3779b97f4a7c15ULL, 0xbf58476d1ce4e5b9ULL, 0x94d049bb133111ebULL,
     0xff51afd7ed558ccdULL, 0xc4ceb9fe1a85ec53ULL, 0x2545f4914f6cdd1dULL, 0x5851f42d4c957f2dULL},
    {0x14057b7ef767814fULL, 0xd6e8feb86659fd93ULL, 0xa54ff53a5f1d36f1ULL, 0x510e527fade682d1ULL,
     0x9b05688c2b3e6c1fULL, 0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL, 0xcbbb9d5dc1059ed9ULL,
     0x629a292a367cd507ULL, 0x9159015a3070dd17ULL, 0x152fecd8f70e5939ULL, 0x67332667ffc00b31ULL},
};

#if KOV_HAVE_HUGE_PAGES
// Size from which a shard's slots come straight from mmap, in transparent huge pages: the table
// is probed at random, so fewer TLB misses matter more than anything else here. Where the system
// has no transparent huge pages (or a portable build is asked for) every block comes from calloc.
constexpr std::size_t huge_page = std::size_t{2} << 20;
#endif

}  // namespace

Digest digest_of(const FingerprintKeys& keys) {
    std::uint64_t k[10];
    for (std::size_t i = 0; i < 10; ++i) k[i] = static_cast<std::uint64_t>(keys[i]);
    const auto& s = secrets[0];
    const auto& t = secrets[1];
    // Two halves from independent pairings of the keys, each finished by one more fold.
    std::uint64_t high =
        fold_multiply(k[0] ^ s[0], k[1] ^ s[1]) + fold_multiply(k[2] ^ s[2], k[3] ^ s[3]) +
        fold_multiply(k[4] ^ s[4], k[5] ^ s[5]) + fold_multiply(k[6] ^ s[6], k[7] ^ s[7]) +
        fold_multiply(k[8] ^ s[8], k[9] ^ s[9]);
    std::uint64_t low =
        fold_multiply(k[1] ^ t[0], k[2] ^ t[1]) + fold_multiply(k[3] ^ t[2], k[4] ^ t[3]) +
        fold_multiply(k[5] ^ t[4], k[6] ^ t[5]) + fold_multiply(k[7] ^ t[6], k[8] ^ t[7]) +
        fold_multiply(k[9] ^ t[8], k[0] ^ t[9]);
    high = fold_multiply(high ^ s[10], low ^ s[11]);
    low = fold_multiply(low ^ t[10], high ^ t[11]);
    return Digest{high, low};
}

struct FingerprintTable::Slot {
    std::uint64_t high;
    std::uint64_t low;
    std::uint64_t position_plus_one;  // 0 marks an empty slot
};

struct alignas(64) FingerprintTable::Shard {
    std::atomic<bool> locked{false};
    // Written under the lock (or while no insertion runs); read without it only to prefetch.
    std::atomic<std::size_t> capacity{0};
    std::atomic<Slot*> slots{nullptr};
    std::size_t count = 0;

    void lock() {
        while (locked.exchange(true, std::memory_order_acquire)) {
            for (int spins = 0; locked.load(std::memory_order_relaxed); ++spins) {
                if (spins < 1024) {
#if defined(__x86_64__) || defined(__i386__)
                    __builtin_ia32_pause();
#endif
                } else {
                    std::this_thread::yield();  // the holder is growing the shard
                }
            }
        }
    }
    void unlock() {
        locked.store(false, std::memory_order_release);
    }

    static std::size_t bytes(std::size_t capacity) {
        return capacity * sizeof(Slot);
    }

    // Zeroed memory. Large blocks are fresh anonymous pages that only the growing thread faults in.
    static Slot* allocate(std::size_t capacity) {
#if KOV_HAVE_HUGE_PAGES
        const std::size_t size = bytes(capacity);
        if (size >= huge_page) {
            // Over-map by one huge page and trim, so the block starts on a huge-page boundary.
            void* memory = mmap(nullptr, size + huge_page, PROT_READ | PROT_WRITE,
                                MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (memory == MAP_FAILED) throw std::bad_alloc();
            const auto address = reinterpret_cast<std::uintptr_t>(memory);
            const std::uintptr_t start = (address + huge_page - 1) & ~(huge_page - 1);
            if (start > address) munmap(memory, start - address);
            const std::uintptr_t tail = address + size + huge_page - (start + size);
            if (tail > 0) munmap(reinterpret_cast<void*>(start + size), tail);
            madvise(reinterpret_cast<void*>(start), size, MADV_HUGEPAGE);
            return reinterpret_cast<Slot*>(start);
        }
#endif
        void* memory = std::calloc(capacity, sizeof(Slot));
        if (memory == nullptr) throw std::bad_alloc();
        return static_cast<Slot*>(memory);
    }

    static void release(Slot* slots, std::size_t capacity) {
        if (slots == nullptr) return;
#if KOV_HAVE_HUGE_PAGES
        if (bytes(capacity) >= huge_page) {
            munmap(slots, bytes(capacity));
            return;
        }
#else
        (void)capacity;
#endif
        std::free(slots);
    }

    // Where the probe for `high` starts: a multiply maps it onto any capacity, not only powers of
    // two, so the table can be sized to what it will hold. Uses bits of `high` below the shard
    // choice.
    static std::size_t home(std::uint64_t high, std::size_t capacity) {
        const std::uint64_t bits = high << shard_bits;
        return static_cast<std::size_t>(multiply_wide(bits, capacity).high);
    }

    // Linear probing.
    static Slot& find(Slot* slots, std::size_t capacity, std::uint64_t high, std::uint64_t low) {
        std::size_t i = home(high, capacity);
        for (;;) {
            Slot& slot = slots[i];
            if (slot.position_plus_one == 0 || (slot.high == high && slot.low == low)) return slot;
            if (++i == capacity) i = 0;
        }
    }

    // The load stays at or below 7/10 so that probe sequences stay short.
    static constexpr std::size_t load_numerator = 7;
    static constexpr std::size_t load_denominator = 10;

    static bool holds(std::size_t entries, std::size_t capacity) {
        return entries * load_denominator <= capacity * load_numerator;
    }

    static std::size_t capacity_for(std::size_t entries) {
        return entries / load_numerator * load_denominator + 64;
    }

    void resize(std::size_t new_capacity) {
        Slot* old = slots.load(std::memory_order_relaxed);
        const std::size_t old_capacity = capacity.load(std::memory_order_relaxed);
        Slot* fresh = allocate(new_capacity);
        for (std::size_t i = 0; i < old_capacity; ++i) {
            if (old[i].position_plus_one != 0) {
                find(fresh, new_capacity, old[i].high, old[i].low) = old[i];
            }
        }
        slots.store(fresh, std::memory_order_relaxed);
        capacity.store(new_capacity, std::memory_order_relaxed);
        release(old, old_capacity);
    }

    void make_room_for(std::size_t entries) {
        if (holds(entries, capacity.load(std::memory_order_relaxed))) return;
        resize(std::max(capacity_for(entries), capacity.load(std::memory_order_relaxed) * 3 / 2));
    }
};

FingerprintTable::FingerprintTable() : shards_(new Shard[std::size_t{1} << shard_bits]) {}

FingerprintTable::~FingerprintTable() {
    for (std::size_t s = 0; s < (std::size_t{1} << shard_bits); ++s) {
        Shard::release(shards_[s].slots.load(), shards_[s].capacity.load());
    }
}

void FingerprintTable::prefetch(Digest digest) const {
    const Shard& shard = shards_[digest.high >> (64 - shard_bits)];
    const Slot* slots = shard.slots.load(std::memory_order_relaxed);
    // A stale pointer from a concurrent growth is harmless: a prefetch never faults.
    if (slots != nullptr) {
        const std::size_t capacity = shard.capacity.load(std::memory_order_relaxed);
        __builtin_prefetch(slots + Shard::home(digest.high, capacity), 1);
    }
}

FingerprintTable::InsertResult FingerprintTable::insert(Digest digest, std::uint64_t position) {
    Shard& shard = shards_[digest.high >> (64 - shard_bits)];
    shard.lock();
    // Growing throws when memory runs out; a lock left held would make every other worker that
    // hashes into this shard spin forever instead of letting the search report the failure.
    struct Unlock {
        Shard& shard;
        ~Unlock() { shard.unlock(); }
    } unlock_on_exit{shard};
    shard.make_room_for(shard.count + 1);
    Slot& slot =
        Shard::find(shard.slots.load(std::memory_order_relaxed),
                    shard.capacity.load(std::memory_order_relaxed), digest.high, digest.low);
    InsertResult result{Outcome::Added, 0};
    if (slot.position_plus_one == 0) {
        slot = Slot{digest.high, digest.low, position + 1};
        ++shard.count;
    } else if (slot.position_plus_one - 1 > position) {
        result = {Outcome::TookOver, slot.position_plus_one - 1};
        slot.position_plus_one = position + 1;
    } else {
        result.outcome = Outcome::Present;
    }
    return result;
}

void FingerprintTable::reserve(std::size_t more) {
    // Hashing spreads keys evenly over the shards; the margin covers the spread (a few standard
    // deviations), and a shard that still fills up grows under its lock.
    const std::size_t shard_count = std::size_t{1} << shard_bits;
    const std::size_t share = more / shard_count;
    const std::size_t margin = 4 * static_cast<std::size_t>(std::sqrt(double(share))) + 16;
    parallel_for(shard_count, 1, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t s = begin; s < end; ++s) {
            Shard& shard = shards_[s];
            const std::size_t entries = shard.count + share + margin;
            if (!Shard::holds(entries, shard.capacity.load(std::memory_order_relaxed))) {
                shard.resize(Shard::capacity_for(entries));
            }
        }
    });
}

double FingerprintTable::bytes_per_key() {
    return static_cast<double>(sizeof(Slot)) * Shard::load_denominator / Shard::load_numerator;
}

std::size_t FingerprintTable::size() const {
    std::size_t total = 0;
    for (std::size_t s = 0; s < (std::size_t{1} << shard_bits); ++s) total += shards_[s].count;
    return total;
}

}  // namespace kov
