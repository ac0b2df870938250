#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/expression.hpp"
#include "core/fingerprint.hpp"
#include "engine/fit/optimizer.hpp"
#include "engine/levels/bfs_level.hpp"
#include "engine/levels/bfs_score.hpp"
#include "engine/levels/fingerprint_table.hpp"
#include "engine/search/config.hpp"
#include "ops/registry.hpp"

// How a search lays out its levels: the level-1 leaves, the cached values of a kept child and the
// ranks used for commutative pruning. Shared by the local search and the replicas of a distributed
// one, which must hold the very same levels bit for bit.
namespace kov::bfs {

// The rows whose targets lie farthest from the mean (NaN distances first), farthest first: on
// them a poor candidate's error grows fastest. None below a floor of rows.
[[nodiscard]] std::vector<std::uint32_t> pick_head_rows(const std::vector<double>& targets);

[[nodiscard]] FingerprintKeys flatten(const Fingerprint& fingerprint);

// The leaves of level 1 in list order: named constants, integer seeds, then the variables.
[[nodiscard]] std::vector<Expression> seed_leaves(const OperatorRegistry& registry,
                                                  const SearchConfig& config,
                                                  std::size_t variables);

// Appends a leaf with its probe and row values.
void add_seed(Level& level, Expression seed, const ComplexRows& rows);

// Dense ranks of the formulas in byte order (equal texts share a rank), for commutative pruning.
void rank_formulas(Level& level);

// Level `level` laid out for `count` kept children, `child_of(i)` the i-th: expressions and nodes
// sized, each node's row-value offset and constness set, and room for the row values when the
// level parents more levels.
[[nodiscard]] Level lay_out_level(const std::vector<Level>& levels, std::uint64_t level,
                                  std::size_t count,
                                  const std::function<const Child&(std::size_t)>& child_of,
                                  std::size_t row_count, bool parents_more);

// A generated child's probe values (and their operand parts): its operator applied to its parents'.
void derive_probes(const Node& left, const Node& right, std::uint8_t op, Node& node);

// Where a generated child's row values come from and go: its parents' cached values (a stride of
// 0 repeats a constant parent's single value) and its own slot, `count` values long.
struct ChildOperands {
    const Complex* a = nullptr;
    std::size_t a_stride = 0;
    const Complex* b = nullptr;
    std::size_t b_stride = 0;
    std::size_t count = 0;
    Complex* out = nullptr;
};

// Node `i` of `next` (level `level`) up to its row values: its constant count and probes set, and
// where the values it is to be given come from and go.
[[nodiscard]] ChildOperands derive_probes_and_operands(const std::vector<Level>& levels,
                                                       std::uint64_t level, const Child& c,
                                                       std::size_t row_count, Level& next,
                                                       std::size_t i);

// Node `i` of `next` (level `level`) as generated: its operator applied to the parents' cached
// values.
void derive_node(const std::vector<Level>& levels, std::uint64_t level, const Child& c,
                 std::size_t row_count, Level& next, std::size_t i);

// Node `i` of `next` for a fitted form: its Real tokens change every value, so it is evaluated
// token by token.
void evaluate_node(const Expression& expression, const ComplexRows& rows,
                   const OperatorList& operators, Level& next, std::size_t i);

}  // namespace kov::bfs
