#include "engine/levels/bfs_level_build.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>
#include <utility>

#include "engine/fit/fitter_form.hpp"
#include "ops/complex_math.hpp"

namespace kov::bfs {

namespace {

constexpr std::size_t head_row_count = 64;
// With fewer rows than this every candidate is simply scored in full, in row order.
constexpr std::size_t head_row_floor = 16;

}  // namespace

std::vector<std::uint32_t> pick_head_rows(const std::vector<double>& targets) {
    if (targets.size() < head_row_floor) return {};
    double mean = 0.0;
    for (double t : targets) mean += t;
    mean /= static_cast<double>(targets.size());
    std::vector<std::uint32_t> order(targets.size());
    std::iota(order.begin(), order.end(), 0);
    const auto distance = [&](std::size_t i) {
        const double d = std::fabs(targets[i] - mean);
        return std::isnan(d) ? std::numeric_limits<double>::infinity() : d;
    };
    const std::size_t count = std::min(head_row_count, targets.size());
    std::partial_sort(order.begin(), order.begin() + count, order.end(),
                      [&](std::uint32_t x, std::uint32_t y) {
                          const double dx = distance(x);
                          const double dy = distance(y);
                          return dx != dy ? dx > dy : x < y;
                      });
    order.resize(count);
    return order;
}

FingerprintKeys flatten(const Fingerprint& fingerprint) {
    FingerprintKeys keys{};
    for (std::size_t p = 0; p < fingerprint.size(); ++p) {
        keys[2 * p] = fingerprint[p].first;
        keys[2 * p + 1] = fingerprint[p].second;
    }
    return keys;
}

std::vector<Expression> seed_leaves(const OperatorRegistry& registry, const SearchConfig& config,
                                    std::size_t variables) {
    std::vector<Expression> seeds;
    for (std::size_t id : registry.ids_by_arity(0)) {
        seeds.push_back(Expression::constant_leaf(registry, id));
    }
    for (std::int32_t n : config.integer_seeds) seeds.push_back(Expression::integer_leaf(n));
    for (std::size_t j = 0; j < variables; ++j) {
        seeds.push_back(Expression::variable_leaf(static_cast<std::uint8_t>(j)));
    }
    return seeds;
}

void add_seed(Level& level, Expression seed, const ComplexRows& rows) {
    Node node;
    node.values = level.values.size();
    node.const_count = static_cast<std::uint32_t>(fitting::count_constants(seed));
    const Token& token = seed.tokens.front();
    if (token.kind != TokenKind::Var) {
        node.constant = true;
        node.probes.fill(token.value);
        cache_operand_parts(node);
        level.values.push_back(token.value);
    } else {
        for (unsigned p = 0; p < probe_count; ++p) node.probes[p] = probe_value(p, token.index);
        cache_operand_parts(node);
        for (const auto& row : rows) {
            if (token.index < row.size()) {
                level.values.push_back(row[token.index]);
            } else {
                node.rows_ok = false;
                level.values.push_back(Complex{});
            }
        }
    }
    level.nodes.push_back(node);
    level.expressions.push_back(std::move(seed));
}

void rank_formulas(Level& level) {
    std::vector<std::size_t> order(level.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
        return level.expressions[x].formula < level.expressions[y].formula;
    });
    std::uint32_t rank = 0;
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (i > 0 &&
            level.expressions[order[i - 1]].formula != level.expressions[order[i]].formula) {
            ++rank;
        }
        level.nodes[order[i]].rank = rank;
    }
}

Level lay_out_level(const std::vector<Level>& levels, std::uint64_t level, std::size_t count,
                    const std::function<const Child&(std::size_t)>& child_of, std::size_t row_count,
                    bool parents_more) {
    Level next;
    next.expressions.resize(count);
    next.nodes.resize(count);
    // Row values: one per row, or a single one for an expression without variables.
    std::size_t offset = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const Child& c = child_of(i);
        std::uint8_t var_count = levels[c.left_level].expressions[c.a].var_count;
        if (c.arity == 2) {
            var_count =
                std::max(var_count, levels[c.right_level(level)].expressions[c.b].var_count);
        }
        next.nodes[i].values = offset;
        next.nodes[i].constant = var_count == 0;
        if (parents_more) offset += var_count == 0 ? 1 : row_count;
    }
    next.values.resize(offset);
    return next;
}

void derive_probes(const Node& left, const Node& right, std::uint8_t op, Node& node) {
    for (std::size_t p = 0; p < probe_count; ++p) {
        const std::optional<Complex> value = eval_builtin(op, left.probes[p], right.probes[p]);
        node.probes_ok = node.probes_ok && value && is_acceptable_value(*value);
        node.probes[p] = value.value_or(Complex{});
    }
    cache_operand_parts(node);
}

ChildOperands derive_probes_and_operands(const std::vector<Level>& levels, std::uint64_t level,
                                         const Child& c, std::size_t row_count, Level& next,
                                         std::size_t i) {
    const Level& left_level = levels[c.left_level];
    const Level& right_level = c.arity == 2 ? levels[c.right_level(level)] : left_level;
    const Node& left = left_level.nodes[c.a];
    const Node& right = c.arity == 2 ? right_level.nodes[c.b] : left;
    Node& node = next.nodes[i];
    node.const_count = left.const_count + (c.arity == 2 ? right.const_count : 0);
    derive_probes(left, right, c.op, node);
    ChildOperands operands;
    operands.a = left_level.row_values(c.a);
    operands.b = c.arity == 2 ? right_level.row_values(c.b) : operands.a;
    operands.a_stride = left.constant ? 0 : 1;
    operands.b_stride = right.constant ? 0 : 1;
    operands.count = node.constant ? 1 : row_count;
    operands.out = next.values.data() + node.values;
    return operands;
}

void derive_node(const std::vector<Level>& levels, std::uint64_t level, const Child& c,
                 std::size_t row_count, Level& next, std::size_t i) {
    const ChildOperands x = derive_probes_and_operands(levels, level, c, row_count, next, i);
    Node& node = next.nodes[i];
    for (std::size_t j = 0; j < x.count; ++j) {
        const std::optional<Complex> value =
            eval_builtin(c.op, x.a[j * x.a_stride], x.b[j * x.b_stride]);
        node.rows_ok = node.rows_ok && value && is_acceptable_value(*value);
        x.out[j] = value.value_or(Complex{});
    }
}

void evaluate_node(const Expression& expression, const ComplexRows& rows,
                   const OperatorList& operators, Level& next, std::size_t i) {
    Node& node = next.nodes[i];
    node.const_count = static_cast<std::uint32_t>(fitting::count_constants(expression));
    std::vector<Complex> stack;
    stack.reserve(expression.complexity);
    std::vector<Complex> vars(expression.var_count);
    for (unsigned p = 0; p < probe_count; ++p) {
        for (unsigned v = 0; v < vars.size(); ++v) vars[v] = probe_value(p, v);
        stack.clear();
        const std::optional<Complex> value =
            eval_internal(expression.tokens, vars, {}, operators, stack);
        node.probes_ok = node.probes_ok && value && is_acceptable_value(*value);
        node.probes[p] = value.value_or(Complex{});
    }
    cache_operand_parts(node);
    const std::size_t count = node.constant ? 1 : rows.size();
    Complex* out = next.values.data() + node.values;
    for (std::size_t j = 0; j < count; ++j) {
        stack.clear();
        const std::optional<Complex> value =
            eval_internal(expression.tokens, rows[j], {}, operators, stack);
        node.rows_ok = node.rows_ok && value.has_value();
        out[j] = value.value_or(Complex{});
    }
}

}  // namespace kov::bfs
