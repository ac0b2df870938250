#include "engine/fingerprint_table.hpp"

#include <cstdlib>
#include <new>
#include <thread>

namespace kov {

namespace {

// The splitmix64 finaliser: a bijection with good avalanche.
inline std::uint64_t mix_a(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

// The MurmurHash3 finaliser, different constants: the two halves of a digest mix independently.
inline std::uint64_t mix_b(std::uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

}  // namespace

Digest digest_of(const std::array<std::int64_t, 10>& keys) {
    std::uint64_t a = 0x9e3779b97f4a7c15ULL;
    std::uint64_t b = 0x243f6a8885a308d3ULL;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const auto key = static_cast<std::uint64_t>(keys[i]);
        a = mix_a(a ^ key) + i;
        b = mix_b(b + key * 0xd6e8feb86659fd93ULL) ^ (b >> 29);
    }
    return Digest{mix_a(a ^ (b >> 32)), mix_b(b ^ a)};
}

struct FingerprintTable::Slot {
    std::uint64_t high;
    std::uint64_t low;
    std::uint64_t position_plus_one;  // 0 marks an empty slot
};

struct alignas(64) FingerprintTable::Shard {
    std::atomic<bool> locked{false};
    std::size_t mask = 0;
    std::size_t count = 0;
    Slot* slots = nullptr;

    void lock() {
        while (locked.exchange(true, std::memory_order_acquire)) {
            while (locked.load(std::memory_order_relaxed)) std::this_thread::yield();
        }
    }
    void unlock() { locked.store(false, std::memory_order_release); }

    static Slot* allocate(std::size_t capacity) {
        // calloc hands large blocks out as untouched zero pages: only the grower faults them in.
        void* memory = std::calloc(capacity, sizeof(Slot));
        if (memory == nullptr) throw std::bad_alloc();
        return static_cast<Slot*>(memory);
    }

    // Linear probing; the slot index comes from bits of `high` that the shard choice leaves.
    Slot& find(std::uint64_t high, std::uint64_t low) {
        std::size_t i = high & mask;
        for (;;) {
            Slot& slot = slots[i];
            if (slot.position_plus_one == 0 || (slot.high == high && slot.low == low)) return slot;
            i = (i + 1) & mask;
        }
    }

    void grow() {
        Slot* old = slots;
        const std::size_t old_capacity = mask + 1;
        const std::size_t capacity = old == nullptr ? 64 : old_capacity * 2;
        slots = allocate(capacity);
        mask = capacity - 1;
        if (old != nullptr) {
            for (std::size_t i = 0; i < old_capacity; ++i) {
                if (old[i].position_plus_one != 0) find(old[i].high, old[i].low) = old[i];
            }
            std::free(old);
        }
    }
};

FingerprintTable::FingerprintTable() : shards_(new Shard[std::size_t{1} << shard_bits]) {}

FingerprintTable::~FingerprintTable() {
    for (std::size_t s = 0; s < (std::size_t{1} << shard_bits); ++s) std::free(shards_[s].slots);
}

FingerprintTable::InsertResult FingerprintTable::insert(Digest digest, std::uint64_t position) {
    Shard& shard = shards_[digest.high >> (64 - shard_bits)];
    shard.lock();
    // Keep the load at or below 0.7 so that probe sequences stay short.
    if (shard.slots == nullptr || (shard.count + 1) * 10 > (shard.mask + 1) * 7) shard.grow();
    Slot& slot = shard.find(digest.high, digest.low);
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
    shard.unlock();
    return result;
}

std::size_t FingerprintTable::size() const {
    std::size_t total = 0;
    for (std::size_t s = 0; s < (std::size_t{1} << shard_bits); ++s) total += shards_[s].count;
    return total;
}

std::size_t FingerprintTable::memory_bytes() const {
    std::size_t total = 0;
    for (std::size_t s = 0; s < (std::size_t{1} << shard_bits); ++s) {
        if (shards_[s].slots != nullptr) total += (shards_[s].mask + 1) * sizeof(Slot);
    }
    return total;
}

}  // namespace kov
