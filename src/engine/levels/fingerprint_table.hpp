#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace kov {

// A fingerprint's ten integers: the keys of the real and imaginary parts at each of the five
// probes.
using FingerprintKeys = std::array<std::int64_t, 10>;

// 128-bit digest of a fingerprint's ten integers. The search compares digests instead of the
// integers themselves: with 2^128 possible digests and at most some 10^8 fingerprints per search,
// the chance that two different fingerprints share a digest is about 1e-25 per search.
struct Digest {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
};

[[nodiscard]] Digest digest_of(const FingerprintKeys& keys);

// The search's fingerprint set: sharded open addressing with one small spin lock per shard. The
// search reserves room for a level's candidates before generating them, and each shard is then
// rebuilt by one thread only, so two threads never fault the same fresh pages; a shard that still
// fills up grows under its own lock. Every key remembers the list position of the candidate that
// holds it, and a candidate earlier in list order takes a key over from a later one, so the
// surviving candidate never depends on thread timing.
class FingerprintTable {
public:
    FingerprintTable();
    ~FingerprintTable();
    FingerprintTable(const FingerprintTable&) = delete;
    FingerprintTable& operator=(const FingerprintTable&) = delete;

    enum class Outcome {
        Added,     // the key was new
        Present,   // held by an earlier position: the offered candidate is a duplicate
        TookOver,  // held by a later position, now by the offered one; `displaced` tells which
    };
    struct InsertResult {
        Outcome outcome;
        std::uint64_t displaced;
    };

    // Grows the shards, in parallel and outside any insertion, so that `more` further keys fit
    // without growing during insertion: each shard's fresh pages are faulted in by one thread.
    // Not to be called while insertions run.
    void reserve(std::size_t more);

    // Starts loading the slot where the digest's probe begins; call it a little ahead of insert.
    void prefetch(Digest digest) const;

    // Safe to call from many threads at once. Positions must be unique.
    InsertResult insert(Digest digest, std::uint64_t position);

    [[nodiscard]] std::size_t size() const;

    // Bytes the set takes per key it is sized for (slot and load factor), for memory budgets.
    [[nodiscard]] static double bytes_per_key();

private:
    struct Slot;
    struct Shard;
    static constexpr unsigned shard_bits = 6;
    std::unique_ptr<Shard[]> shards_;
};

}  // namespace kov
