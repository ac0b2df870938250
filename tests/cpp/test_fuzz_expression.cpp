// Fuzz tests of the evaluator and of the search's cached evaluation. Random token sequences,
// malformed ones included, must never crash the evaluator (the sanitizer build checks every read);
// random well-formed expressions must get, from the search's way of deriving a child's values from
// its parents' cached values, bit for bit what the token evaluator computes.

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "bits.hpp"
#include "core/expression.hpp"
#include "core/fingerprint.hpp"
#include "engine/levels/bfs_operand.hpp"
#include "engine/levels/probe_key.hpp"
#include "ops/builtin_ids.hpp"
#include "ops/operator.hpp"
#include "ops/registry.hpp"
#include "test_support.hpp"

namespace kov {
namespace {

using test::builtins;
using test::inf;
using test::nan;

class Random {
public:
    explicit Random(std::uint64_t seed) : engine_(seed) {}

    std::size_t below(std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(engine_);
    }
    bool chance(double p) { return std::bernoulli_distribution(p)(engine_); }

    // Ordinary numbers mostly, and now and then one that sits on a branch cut, overflows an
    // operator or is not a number at all.
    double number() {
        static constexpr double special[] = {
            0.0,
            -0.0,
            1.0,
            -1.0,
            0.5,
            2.0,
            3.141592653589793,
            -3.141592653589793,
            1e15,
            -1e15,
            1e300,
            1e-300,
            5e-324,
            709.0,
            710.0,
            -745.0,
            1e308,
            -1e308,
            inf,
            -inf,
            nan,
        };
        if (chance(0.2)) return special[below(std::size(special))];
        return std::uniform_real_distribution<double>(-4.0, 4.0)(engine_);
    }

private:
    std::mt19937_64 engine_;
};

// ---- Malformed sequences ---------------------------------------------------------------------

// Any token at all: every kind, arities that do and do not match the operator, indices beyond
// the variables and parameters handed over, operator ids of constants.
Token random_token(Random& random) {
    const std::size_t id = random.below(builtin_id::count);
    switch (random.below(5)) {
        case 0:
            return Token::constant(id, {random.number(), random.number()});
        case 1:
            return Token::real(random.number());
        case 2:
            return Token::var(static_cast<std::uint8_t>(random.below(256)));
        case 3:
            return Token::param(static_cast<std::uint8_t>(random.below(256)),
                                {random.number(), random.number()});
        default: {
            const std::uint8_t takes = builtins().meta(id).arity;
            const auto arity =
                static_cast<std::uint8_t>(random.chance(0.7) ? takes : random.below(4));
            return Token::op(arity, id);
        }
    }
}

// What the evaluator must answer for a sequence that breaks its structure: no value.
bool structurally_broken(const std::vector<Token>& tokens, std::size_t variables) {
    std::size_t depth = 0;
    for (const Token& token : tokens) {
        if (token.kind == TokenKind::Var && token.index >= variables) return true;
        if (token.kind != TokenKind::Op) {
            ++depth;
            continue;
        }
        if (token.arity != builtins().meta(token.id).arity || depth < token.arity) return true;
        depth = depth - token.arity + 1;
    }
    return depth != 1;
}

TEST(FuzzEvaluator, AnyTokenSequenceGivesAValueOrNone) {
    Random random(20240601);
    std::size_t valued = 0;
    for (int round = 0; round < 20000; ++round) {
        std::vector<Token> tokens(random.below(9));
        for (Token& token : tokens) token = random_token(random);
        std::vector<Complex> vars(random.below(4));
        for (Complex& v : vars) v = {random.number(), 0.0};
        std::vector<Complex> params(random.below(3));
        for (Complex& p : params) p = {random.number(), random.number()};

        // Once with a stack that has no room at all, once with the room eval reserves.
        std::vector<Complex> bare;
        const std::optional<Complex> first =
            eval_internal(tokens, vars, params, builtins().operators(), bare);
        std::vector<Complex> roomy;
        roomy.reserve(tokens.size());
        const std::optional<Complex> second =
            eval_internal(tokens, vars, params, builtins().operators(), roomy);
        EXPECT_IDENTICAL_VALUE(first, second) << "round " << round;
        if (structurally_broken(tokens, vars.size())) {
            EXPECT_FALSE(first.has_value()) << "round " << round;
        }
        if (first) ++valued;
    }
    // The sequences are not all rejected: the fuzz reaches the operators.
    EXPECT_GT(valued, 1000u);
}

TEST(FuzzEvaluator, OperatorTokensWithTheWrongArityGiveNoValue) {
    const Complex one{1.0, 0.0};
    const std::vector<Complex> vars = {one, one, one};
    for (std::size_t id = builtin_id::kov; id < builtin_id::count; ++id) {
        const std::uint8_t takes = builtins().meta(id).arity;
        for (std::uint8_t arity = 0; arity <= 3; ++arity) {
            // As many leaves as the token claims, so that only the arity is wrong.
            std::vector<Token> tokens(arity, Token::var(0));
            tokens.push_back(Token::op(arity, id));
            if (arity == 0) tokens.insert(tokens.begin(), Token::var(1));
            std::vector<Complex> stack;
            const std::optional<Complex> value =
                eval_internal(tokens, vars, {}, builtins().operators(), stack);
            if (arity != takes) {
                EXPECT_FALSE(value.has_value()) << builtins().meta(id).name << " with " << +arity;
            }
        }
    }
}

// ---- The search's cached evaluation ------------------------------------------------------------

constexpr std::size_t probe_count = 5;

// One expression with the values the search caches for it: at the five probe points and on every
// row. No value is the search's "not ok" (a child is built only from parents that have values).
struct Derived {
    Expression expression;
    std::array<std::optional<Complex>, probe_count> probes;
    std::vector<std::optional<Complex>> rows;
};

std::optional<Complex> accepted(std::optional<Complex> value) {
    if (value && !is_acceptable_value(*value)) return std::nullopt;
    return value;
}

template <std::size_t... Ids>
constexpr auto make_row_operators(std::index_sequence<Ids...>) {
    return std::array<std::optional<Complex> (*)(Complex, Complex), sizeof...(Ids)>{
        &bfs::apply_op<Ids>...};
}

// What the search's row kernels apply: the operator inlined per id.
constexpr auto row_operators = make_row_operators(std::make_index_sequence<builtin_id::count>());

class Deriver {
public:
    Deriver(Random& random, std::vector<std::vector<Complex>> rows)
        : random_(random), rows_(std::move(rows)) {}

    // A random expression of at most `budget` operators, built by the composition rules, with its
    // values derived the way the search derives them.
    Derived make(std::size_t budget, std::uint8_t variables) {
        if (budget == 0 || random_.chance(0.25)) return leaf(variables);
        const auto& registry = builtins();
        if (random_.chance(0.45)) {
            const Derived a = make(budget - 1, variables);
            const auto ops = registry.ids_by_arity(1);
            const std::size_t op = ops[random_.below(ops.size())];
            Derived child;
            child.expression = Expression::unary(registry, op, a.expression);
            for (std::size_t p = 0; p < probe_count; ++p) {
                // Expansion fingerprints unary children with the operator inlined.
                child.probes[p] = a.probes[p]
                                      ? accepted(row_operators[op](*a.probes[p], *a.probes[p]))
                                      : std::nullopt;
            }
            child.rows = derive_rows(op, a, a);
            return child;
        }
        const std::size_t split = random_.below(budget);
        const Derived a = make(split, variables);
        const Derived b = make(budget - 1 - split, variables);
        const auto ops = registry.ids_by_arity(2);
        const std::size_t op = ops[random_.below(ops.size())];
        Derived child;
        child.expression = Expression::binary(registry, op, a.expression, b.expression);
        for (std::size_t p = 0; p < probe_count; ++p) {
            if (!a.probes[p] || !b.probes[p]) continue;
            // Expansion: from the operands and their cached exp, ln and zero-modulus parts.
            const std::optional<Complex> expanded = accepted(
                bfs::apply_binary(op, *a.probes[p], *b.probes[p], bfs::operand_parts(*a.probes[p]),
                                  bfs::operand_parts(*b.probes[p])));
            // A kept child's node: the operator applied to the parents' probe values.
            const std::optional<Complex> kept =
                accepted(eval_builtin(op, *a.probes[p], *b.probes[p]));
            EXPECT_IDENTICAL_VALUE(expanded, kept) << child.expression.formula << " probe " << p;
            child.probes[p] = expanded;
        }
        child.rows = derive_rows(op, a, b);
        return child;
    }

private:
    Derived leaf(std::uint8_t variables) {
        Derived leaf;
        if (variables > 0 && random_.chance(0.6)) {
            const auto index = static_cast<std::uint8_t>(random_.below(variables));
            leaf.expression = Expression::variable_leaf(index);
            for (unsigned p = 0; p < probe_count; ++p) leaf.probes[p] = probe_value(p, index);
            for (const auto& row : rows_) leaf.rows.push_back(row[index]);
        } else {
            const std::size_t id = random_.below(5);
            leaf.expression = Expression::constant_leaf(builtins(), id);
            leaf.probes.fill(leaf.expression.tokens.front().value);
            leaf.rows.assign(rows_.size(), leaf.expression.tokens.front().value);
        }
        return leaf;
    }

    std::vector<std::optional<Complex>> derive_rows(std::size_t op, const Derived& a,
                                                    const Derived& b) const {
        std::vector<std::optional<Complex>> out(rows_.size());
        for (std::size_t j = 0; j < rows_.size(); ++j) {
            if (a.rows[j] && b.rows[j])
                out[j] = accepted(row_operators[op](*a.rows[j], *b.rows[j]));
        }
        return out;
    }

    Random& random_;
    std::vector<std::vector<Complex>> rows_;
};

TEST(FuzzSearchValues, CachedDerivationEqualsTheTokenEvaluator) {
    Random random(777);
    std::size_t compared = 0;
    for (int round = 0; round < 300; ++round) {
        const auto variables = static_cast<std::uint8_t>(random.below(3));
        std::vector<std::vector<Complex>> rows(1 + random.below(6));
        for (auto& row : rows) {
            row.resize(variables);
            for (Complex& value : row) value = {random.number(), 0.0};
        }
        Deriver deriver(random, rows);
        for (int i = 0; i < 20; ++i) {
            const Derived derived = deriver.make(random.below(7), variables);
            const Expression& expression = derived.expression;
            std::vector<Complex> vars(expression.var_count);
            bool all_probes = true;
            for (unsigned p = 0; p < probe_count; ++p) {
                for (unsigned v = 0; v < vars.size(); ++v) vars[v] = probe_value(p, v);
                EXPECT_IDENTICAL_VALUE(derived.probes[p],
                                       eval(expression, vars, builtins().operators()))
                    << expression.formula << " probe " << p;
                all_probes = all_probes && derived.probes[p].has_value();
            }
            for (std::size_t j = 0; j < rows.size(); ++j) {
                EXPECT_IDENTICAL_VALUE(derived.rows[j],
                                       eval(expression, rows[j], builtins().operators()))
                    << expression.formula << " row " << j;
                ++compared;
            }
            // The search's inline keys are the fingerprint's keys.
            const std::optional<Fingerprint> key = fingerprint(expression, builtins().operators());
            ASSERT_EQ(key.has_value(), all_probes) << expression.formula;
            if (!key) continue;
            for (unsigned p = 0; p < probe_count; ++p) {
                EXPECT_EQ(bfs::probe_key(derived.probes[p]->re), (*key)[p].first);
                EXPECT_EQ(bfs::probe_key(derived.probes[p]->im), (*key)[p].second);
            }
        }
    }
    EXPECT_GT(compared, 10000u);
}

TEST(FuzzSearchValues, ProbeKeyEqualsTheFingerprintKeyOnRandomParts) {
    Random random(99);
    std::mt19937_64 bits_source(5);
    for (int i = 0; i < 200000; ++i) {
        double part;
        switch (i % 3) {
            case 0:  // any bit pattern: subnormals, huge values, NaN
                part = std::bit_cast<double>(bits_source());
                break;
            case 1:  // halfway cases of the 1e10 scaling
                part = (static_cast<double>(static_cast<std::int64_t>(bits_source() >> 20)) + 0.5) /
                       1e10 * (random.chance(0.5) ? 1 : -1);
                break;
            default:
                part = random.number();
        }
        if (std::isnan(part)) continue;  // callers never pass NaN: such values have no key
        EXPECT_EQ(bfs::probe_key(part), fingerprint_key(part)) << std::hexfloat << part;
    }
}

}  // namespace
}  // namespace kov
