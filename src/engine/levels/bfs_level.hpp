#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/expression.hpp"
#include "engine/levels/bfs_operand.hpp"
#include "ops/complex.hpp"

namespace kov::bfs {

inline constexpr std::size_t probe_count = 5;

// What the search caches about one expression of a level, so that a child's values are its
// operator applied to these instead of a token-by-token evaluation of the whole child.
struct Node {
    std::array<Complex, probe_count> probes{};
    std::array<OperandParts, probe_count> parts{};  // of each probe value, for binary children
    std::size_t values = 0;                         // offset of the row values in Level::values
    std::uint32_t rank = 0;         // position of the formula in byte order within the level
    std::uint32_t const_count = 0;  // Const tokens: what a fit of a child would have to fit
    bool probes_ok = true;          // a value at all five probes, so children can be fingerprinted
    bool rows_ok = true;            // a value on every row, so children can be scored
    bool constant = false;          // uses no variable: one value stands for every row
};

inline void cache_operand_parts(Node& node) {
    for (std::size_t p = 0; p < probe_count; ++p) node.parts[p] = operand_parts(node.probes[p]);
}

struct Level {
    std::vector<Expression> expressions;
    std::vector<Node> nodes;
    std::vector<Complex> values;

    [[nodiscard]] std::size_t size() const { return nodes.size(); }
    [[nodiscard]] const Complex* row_values(std::size_t i) const {
        return values.data() + nodes[i].values;
    }
};

// A child before it is known to survive: its operator and its parents' positions. A unary child
// has parent `a` in level Q - 1; a binary child has `a` in level `left_level` and `b` in level
// Q - 1 - left_level.
struct Child {
    std::uint32_t a = 0;
    std::uint32_t b = 0;
    std::uint32_t left_level = 0;
    std::uint8_t op = 0;
    std::uint8_t arity = 0;

    // The level of parent `b` when this child is built at `level`: complexities add up to
    // level - 1, the operator itself taking the last token.
    [[nodiscard]] std::uint64_t right_level(std::uint64_t level) const {
        return level - 1 - left_level;
    }
};

// The same, as stored by the million in a level's candidate list: the parents' levels and the
// arity are those of the round that built it.
struct Candidate {
    std::uint32_t a = 0;
    std::uint32_t b = 0;
    std::uint8_t op = 0;
};

// Candidates in fixed-size pages: appending never copies what is already there, so a list of
// tens of millions never exists twice while it grows.
class PagedCandidates {
public:
    static constexpr std::size_t page_bits = 16;
    static constexpr std::size_t page_size = std::size_t{1} << page_bits;

    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] const Candidate& operator[](std::size_t i) const {
        return pages_[i >> page_bits][i & (page_size - 1)];
    }
    void push_back(const Candidate& c) {
        if ((size_ & (page_size - 1)) == 0) {
            pages_.emplace_back();
            pages_.back().reserve(page_size);
        }
        pages_.back().push_back(c);
        ++size_;
    }

private:
    std::vector<std::vector<Candidate>> pages_;
    std::size_t size_ = 0;
};

// A level's candidates in list order, with where each round's children begin.
struct CandidateList {
    struct Round {
        std::size_t begin = 0;
        std::uint32_t left_level = 0;
        std::uint8_t arity = 0;
    };
    PagedCandidates items;
    std::vector<Round> rounds;

    [[nodiscard]] std::size_t size() const { return items.size(); }

    [[nodiscard]] Child child(std::size_t i) const {
        // A handful of rounds per level: a linear scan from the end is cheapest.
        std::size_t r = rounds.size() - 1;
        while (rounds[r].begin > i) --r;
        const Candidate& c = items[i];
        return Child{c.a, c.b, rounds[r].left_level, c.op, rounds[r].arity};
    }
};

}  // namespace kov::bfs
