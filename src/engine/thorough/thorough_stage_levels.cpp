// The levels: seeding, expansion within the budgets, the affine ranking and the kept level.

#include <algorithm>
#include <array>
#include <limits>

#include "core/fingerprint.hpp"
#include "engine/levels/bfs_level_build.hpp"
#include "engine/levels/bfs_score.hpp"
#include "engine/levels/pool.hpp"
#include "engine/levels/probe_key.hpp"
#include "engine/thorough/thorough_stages.hpp"
#include "ops/complex_math.hpp"

namespace kov {

namespace {

using namespace bfs;

// A child's values on the cached rows from its parents'; false when a row has no acceptable
// value. One instantiation per operator so that each inlines.
using DeriveKernel = bool (*)(const Complex* a, std::size_t a_stride, const Complex* b,
                              std::size_t b_stride, std::size_t count, Complex* out);

template <std::size_t Op>
bool derive_rows(const Complex* a, std::size_t a_stride, const Complex* b, std::size_t b_stride,
                 std::size_t count, Complex* out) {
    bool ok = true;
    for (std::size_t j = 0; j < count; ++j) {
        const std::optional<Complex> value = apply_op<Op>(a[j * a_stride], b[j * b_stride]);
        ok = ok && value && is_acceptable_value(*value);
        out[j] = value.value_or(Complex{});
    }
    return ok;
}

template <std::size_t... Ids>
constexpr std::array<DeriveKernel, sizeof...(Ids)> make_derive_kernels(
    std::index_sequence<Ids...>) {
    return {&derive_rows<Ids>...};
}

constexpr auto derive_kernels = make_derive_kernels(std::make_index_sequence<builtin_id::count>());

FingerprintKeys probe_keys(const Node& node) {
    FingerprintKeys keys{};
    for (std::size_t p = 0; p < probe_count; ++p) {
        keys[2 * p] = probe_key(node.probes[p].re);
        keys[2 * p + 1] = probe_key(node.probes[p].im);
    }
    return keys;
}

std::uint32_t count_constants(const Expression& expression) {
    return static_cast<std::uint32_t>(
        std::count_if(expression.tokens.begin(), expression.tokens.end(),
                      [](const Token& t) { return t.kind == TokenKind::Const; }));
}

void add_seed(const ThoroughState& state, Level& level, Expression seed) {
    Node node;
    node.values = level.values.size();
    node.const_count = count_constants(seed);
    const Token& token = seed.tokens.front();
    if (token.kind == TokenKind::Const) {
        node.constant = true;
        node.probes.fill(token.value);
        level.values.push_back(token.value);
    } else {
        for (unsigned p = 0; p < probe_count; ++p) node.probes[p] = probe_value(p, token.index);
        for (const auto& row : state.sample_rows) {
            if (token.index < row.size()) {
                level.values.push_back(row[token.index]);
            } else {
                node.rows_ok = false;
                level.values.push_back(Complex{});
            }
        }
    }
    cache_operand_parts(node);
    level.nodes.push_back(node);
    level.expressions.push_back(std::move(seed));
}

// Starts the fingerprint set anew from the kept expressions when the keys of the level about to
// be expanded (`new_keys` at most) would not fit beside the ones it holds.
void bound_fingerprints(ThoroughState& state, double new_keys) {
    if (static_cast<double>(state.table->size()) + new_keys <=
        static_cast<double>(state.memory.fingerprint_keys)) {
        return;
    }
    state.table = std::make_unique<FingerprintTable>();
    for (std::size_t k = 1; k < state.levels.size(); ++k) {
        for (const Node& node : state.levels[k].nodes) {
            if (node.probes_ok)
                (void)state.table->insert(digest_of(probe_keys(node)), state.next_position++);
        }
    }
}

// A child's probes and cached row values: its operator applied to its parents'.
void derive_node(const ThoroughState& state, std::uint64_t level, const Child& c, Level& next,
                 std::size_t i) {
    const ChildOperands x =
        derive_probes_and_operands(state.levels, level, c, state.sample_rows.size(), next, i);
    Node& node = next.nodes[i];
    node.rows_ok =
        derive_kernels[c.op](x.a, x.a_stride, x.b, x.b_stride, x.count, x.out) && node.rows_ok;
}

Level build_level(const ThoroughState& state, std::uint64_t level,
                  const std::vector<AffinePick>& kept) {
    Level next = lay_out_level(
        state.levels, level, kept.size(),
        [&](std::size_t i) -> const Child& { return kept[i].child; }, state.sample_rows.size(),
        true);
    parallel_for(kept.size(), thorough_tuning.building_chunk,
                 [&](std::size_t begin, std::size_t end, std::size_t) {
                     for (std::size_t i = begin; i < end; ++i) {
                         next.expressions[i] =
                             compose(state.levels, level, kept[i].child, *state.registry);
                         derive_node(state, level, kept[i].child, next, i);
                     }
                 });
    return next;
}

}  // namespace

void seed_levels(ThoroughState& state) {
    state.levels.resize(2);
    std::vector<Expression> seeds;
    for (std::size_t id : state.registry->ids_by_arity(0)) {
        seeds.push_back(Expression::constant_leaf(*state.registry, id));
    }
    for (std::size_t j = 0; j < state.variables; ++j) {
        seeds.push_back(Expression::variable_leaf(static_cast<std::uint8_t>(j)));
    }
    Level& level = state.levels[1];
    std::vector<double> values;
    std::vector<Complex> stack;
    for (Expression& seed : seeds) {
        const std::uint64_t position = state.next_position++;
        const std::optional<Fingerprint> key = fingerprint(seed, operators(state));
        if (!key) continue;
        std::array<std::int64_t, 10> keys{};
        for (std::size_t p = 0; p < key->size(); ++p) {
            keys[2 * p] = (*key)[p].first;
            keys[2 * p + 1] = (*key)[p].second;
        }
        if (state.table->insert(digest_of(keys), position).outcome !=
            FingerprintTable::Outcome::Added) {
            continue;
        }
        if (real_values(seed, state.rows, operators(state), values, stack)) {
            for (ScoredExpression& variant : variants(state, seed, values, state.targets)) {
                state.front.offer(variant.expression, variant.error);
            }
        }
        add_seed(state, level, std::move(seed));
    }
    rank_formulas(level);
    state.parent_limits.assign(2, std::numeric_limits<std::size_t>::max());
    state.kept_bytes += level_bytes(level);
}

bool expand(ThoroughState& state, std::uint64_t level, LevelExpansion& out) {
    const std::size_t cap = parent_cap(state, level);
    lower_parent_limits(state, level, cap);
    out.cost = expansion_cost(state, level, cap);
    bound_fingerprints(state, out.cost);
    out.limits.assign(level, cap);
    for (std::uint64_t k = 1; k + 2 <= level; ++k) out.limits[k] = parents_of(state, k);
    out.limits[level - 1] = state.levels[level - 1].size();
    return expand_level(state.levels, level, state.ops, *state.table, state.next_position,
                        out.candidates, out.counts, state.poll, out.limits);
}

std::optional<AffineRanking> rank_level(ThoroughState& state, std::uint64_t level,
                                        const LevelExpansion& expansion) {
    const std::size_t keep = keep_count(state, level);
    std::optional<AffineRanking> ranking =
        rank_affine(state.levels, level, expansion.candidates, state.ranking_targets, keep,
                    thorough_tuning.constant_quota, state.poll);
    if (!ranking) return std::nullopt;
    // Whole: every parent expanded and every distinct child kept.
    state.searched_whole = state.searched_whole && expansion.candidates.size() <= keep;
    for (std::uint64_t k = 1; k + 1 < level; ++k) {
        state.searched_whole =
            state.searched_whole && expansion.limits[k] >= state.levels[k].size();
    }
    return ranking;
}

void keep_level(ThoroughState& state, std::uint64_t level, const AffineRanking& ranking) {
    std::vector<AffinePick> kept = ranking.kept;
    kept.insert(kept.end(), ranking.constants.begin(), ranking.constants.end());
    Level next = build_level(state, level, kept);
    rank_formulas(next);
    state.kept_bytes += level_bytes(next);
    state.levels.push_back(std::move(next));
    state.parent_limits.push_back(std::numeric_limits<std::size_t>::max());
}

}  // namespace kov
