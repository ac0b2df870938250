// The fast search against the plain reference search over a table of small searches: same outcome,
// same progress counts, same front (bit for bit), same level contents, for any thread count.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "core/fingerprint.hpp"
#include "engine/entry/run_bfs.hpp"
#include "engine/levels/pool.hpp"
#include "ops/registry.hpp"
#include "reference_engine.hpp"

namespace kov {
namespace {

using Rows = std::vector<std::vector<double>>;
constexpr std::uint64_t unbounded = std::numeric_limits<std::uint64_t>::max();

struct DifferentialCase {
    std::string name;
    Rows rows;
    std::vector<double> targets;
    std::uint64_t max_complexity = 10;
    double penalty = 0.1;
    std::uint64_t beam = 1000;
    bool fit = true;
    bool early_exit = true;

    SearchConfig config() const {
        SearchConfig config(max_complexity, penalty, beam);
        config.fit_constants = fit;
        config.disable_early_exit = !early_exit;
        return config;
    }
};

// Test names carry the case name; this keeps gtest from dumping the case's bytes.
void PrintTo(const DifferentialCase& c, std::ostream* out) {
    *out << c.name;
}

std::vector<double> linspace(double from, double to, int count) {
    std::vector<double> values;
    for (int i = 0; i < count; ++i) values.push_back(from + (to - from) * i / (count - 1));
    return values;
}

Rows column(const std::vector<double>& xs) {
    Rows rows;
    for (double x : xs) rows.push_back({x});
    return rows;
}

template <class F>
std::vector<double> apply(const Rows& rows, F f) {
    std::vector<double> targets;
    for (const auto& row : rows) targets.push_back(f(row));
    return targets;
}

// A small deterministic spread of points in [1, 5] (no random engine: the table must not change).
Rows grid(int count, int variables) {
    Rows rows;
    for (int i = 0; i < count; ++i) {
        std::vector<double> row;
        for (int j = 0; j < variables; ++j)
            row.push_back(1.0 + std::fmod(0.37 * (i + 1) * (j + 2) + 0.11 * j, 4.0));
        rows.push_back(row);
    }
    return rows;
}

DifferentialCase make(std::string name, Rows rows, std::vector<double> targets,
                      std::uint64_t max_complexity, double penalty, std::uint64_t beam,
                      bool fit = true, bool early_exit = true) {
    return {
        std::move(name), std::move(rows), std::move(targets), max_complexity, penalty, beam, fit,
        early_exit};
}

std::vector<DifferentialCase> cases() {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Rows typical = column({0.0, 1.0, 2.0, 3.0});
    const auto exp0 = [](const auto& r) { return std::exp(r[0]); };
    const Rows small = column(linspace(0.1, 5.0, 12));
    const auto hard_small = [](const auto& r) {
        return std::pow(r[0], 0.37) * (1.0 + 0.2 * std::sin(5.0 * r[0]));
    };
    const auto hard_large = [](const auto& r) {
        return 10.0 + r[0] * r[0] * r[0] * std::sin(r[0]);
    };
    const Rows few = column({0.3, 1.1, 2.0, 3.7});
    const auto sqrt_plus = [](const auto& r) { return std::sqrt(r[0]) + 0.5; };
    const Rows two = grid(6, 2);
    const auto product = [](const auto& r) { return r[0] * r[1] + 0.5; };
    const Rows three = grid(7, 3);
    const auto ratio = [](const auto& r) { return r[0] / (r[1] + r[2]) + 0.1 * std::sin(r[1]); };
    const Rows signs = column({-2.0, -0.5, 0.0, 1.5});

    return {
        make("typical_default", typical, apply(typical, exp0), 10, 0.1, 1000),
        make("typical_no_exit_beam7", typical, apply(typical, exp0), 4, 0.1, 7, true, false),
        make("hard_small_beam7", small, apply(small, hard_small), 6, 0.1, 7),
        make("hard_small_beam7_no_fit", small, apply(small, hard_small), 6, 0.1, 7, false),
        make("hard_small_beam1", small, apply(small, hard_small), 6, 0.1, 1),
        make("hard_large_penalty0", small, apply(small, hard_large), 5, 0.0, 7),
        make("hard_small_penalty_negative", small, apply(small, hard_small), 5, -0.05, 7),
        make("hard_small_weight_zero_at_2", small, apply(small, hard_small), 4, -0.5, 7),
        make("hard_small_penalty_nan", small, apply(small, hard_small), 4, nan, 7),
        make("hard_small_penalty_inf", small, apply(small, hard_small), 4, inf, 7),
        make("hard_small_beam200", small, apply(small, hard_small), 5, 0.1, 200),
        make("weight_zero_at_2_unbounded", few, apply(few, sqrt_plus), 4, -0.5, unbounded),
        // Formulas exact at x = 1 score 0 * inf = NaN, all others +inf: NaN must rank last.
        make("nan_and_inf_scores", {{1.0}, {1.0}}, {1.0, 1.0}, 4, inf, 7, true, false),
        make("hard_small_beam0", small, apply(small, hard_small), 5, 0.1, 0),
        make("one_var_unbounded", few, apply(few, sqrt_plus), 4, 0.1, unbounded),
        make("one_var_unbounded_no_fit", few, apply(few, sqrt_plus), 4, 0.1, unbounded, false),
        make("one_var_unbounded_no_exit", few, apply(few, hard_large), 4, 0.0, unbounded, true,
             false),
        make("two_vars_beam7", two, apply(two, product), 6, 0.1, 7),
        make("two_vars_unbounded", two, apply(two, product), 4, 0.1, unbounded, false),
        make("three_vars_beam7", three, apply(three, ratio), 5, 0.1, 7),
        make("three_vars_no_exit", three, apply(three, ratio), 5, 0.1, 7, false, false),
        make("unequal_rows", {{1.0, 2.0}, {3.0}, {0.5, 4.0}}, {3.0, 1.0, 4.5}, 5, 0.1, 7),
        make("empty_rows", {{}, {}, {}}, {1.5, 2.5, 0.3}, 4, 0.1, 7),
        make("exact_constant_seed", few, {M_PI, M_PI, M_PI, M_PI}, 5, 0.1, 7),
        make("exact_constant_seed_no_exit", few, {M_PI, M_PI, M_PI, M_PI}, 4, 0.1, 7, true, false),
        make("exact_variable_seed", few, apply(few, [](const auto& r) { return r[0]; }), 5, 0.1, 7),
        make("diverging_targets", few, {1e200, -1e200, 1e200, 1e200}, 4, 0.1, 7),
        make("nan_targets", few, {nan, nan, nan, nan}, 4, 0.1, 7),
        make("nan_inputs", {{nan}, {nan}, {nan}}, {1.0, 2.0, 3.0}, 4, 0.1, 7),
        make("signed_inputs", signs, apply(signs, [](const auto& r) { return r[0] * r[0]; }), 5,
             0.1, 7, true, false),
        make("large_targets", few, apply(few, [](const auto& r) { return 1000.0 * r[0] + 7.0; }), 5,
             0.1, 7),
        make("single_row", {{2.0}}, {0.75}, 5, 0.1, 7),
        make("max_complexity_1", few, apply(few, sqrt_plus), 1, 0.1, 7),
        make("max_complexity_2", few, apply(few, sqrt_plus), 2, 0.1, 7),
        make("max_complexity_0", few, apply(few, sqrt_plus), 0, 0.1, 7),
        make("mismatched_lengths", few, {1.0, 2.0}, 4, 0.1, 7),
        make("too_many_variables", {std::vector<double>(256, 1.0)}, {1.0}, 4, 0.1, 7),
        make("max_complexity_0_mismatched", few, {1.0}, 0, 0.1, 7),
        make("max_complexity_0_too_many_variables", {std::vector<double>(256, 1.0)}, {1.0}, 0, 0.1,
             7),
        make("max_variables", {std::vector<double>(255, 1.5), std::vector<double>(255, 2.5)},
             {0.5, 0.7}, 2, 0.1, 7),
    };
}

struct Recording {
    SearchOutcome outcome;
    std::vector<std::string> lines;               // durations replaced by "<t>"
    std::vector<std::vector<Expression>> levels;  // index = complexity
    ReferenceTrace trace;                         // reference runs only
};

std::string without_duration(std::string_view line) {
    std::string text(line);
    const std::string from = " processed in ";
    const std::string to = ". Retaining";
    const auto start = text.find(from);
    const auto end = text.find(to);
    if (start != std::string::npos && end != std::string::npos && end > start) {
        text.replace(start + from.size(), end - start - from.size(), "<t>");
    }
    return text;
}

SearchHooks recording_hooks(Recording& run) {
    SearchHooks hooks;
    hooks.progress = [&run](std::string_view line) { run.lines.push_back(without_duration(line)); };
    hooks.on_level = [&run](std::uint64_t level, std::span<const Expression> kept) {
        if (run.levels.size() <= level) run.levels.resize(level + 1);
        run.levels[level].assign(kept.begin(), kept.end());
    };
    return hooks;
}

const Recording& reference_run(const DifferentialCase& c) {
    static std::map<std::string, Recording> cache;
    auto [it, fresh] = cache.try_emplace(c.name);
    if (fresh) {
        Recording& run = it->second;
        run.outcome =
            run_bfs_reference(c.rows, c.targets, c.config(), recording_hooks(run), &run.trace);
    }
    return it->second;
}

Recording fast_run(const DifferentialCase& c, std::size_t threads) {
    set_worker_count(threads);
    Recording run;
    run.outcome = run_bfs(c.rows, c.targets, c.config(), recording_hooks(run));
    set_worker_count(0);
    return run;
}

std::string describe(const Token& t) {
    std::ostringstream out;
    out << "kind " << static_cast<int>(t.kind) << " arity " << int(t.arity) << " index "
        << int(t.index) << " id " << t.id << " value " << std::hex
        << std::bit_cast<std::uint64_t>(t.value.re) << ","
        << std::bit_cast<std::uint64_t>(t.value.im);
    return out.str();
}

// Compares the fields each kind gives meaning to; doubles by their bits.
bool same_token(const Token& a, const Token& b) {
    const auto bits = [](double x) { return std::bit_cast<std::uint64_t>(x); };
    if (a.kind != b.kind) return false;
    switch (a.kind) {
        case TokenKind::Const:
            return a.id == b.id && bits(a.value.re) == bits(b.value.re) &&
                   bits(a.value.im) == bits(b.value.im);
        case TokenKind::Real:
        case TokenKind::Integer:
            return bits(a.value.re) == bits(b.value.re);
        case TokenKind::Var:
            return a.index == b.index;
        case TokenKind::Param:
            return a.index == b.index && bits(a.value.re) == bits(b.value.re) &&
                   bits(a.value.im) == bits(b.value.im);
        case TokenKind::Op:
            return a.arity == b.arity && a.id == b.id;
    }
    return false;
}

void expect_same_expression(const Expression& expected, const Expression& actual) {
    EXPECT_EQ(actual.formula, expected.formula);
    EXPECT_EQ(actual.complexity, expected.complexity) << expected.formula;
    EXPECT_EQ(actual.var_count, expected.var_count) << expected.formula;
    ASSERT_EQ(actual.tokens.size(), expected.tokens.size()) << expected.formula;
    for (std::size_t i = 0; i < expected.tokens.size(); ++i) {
        EXPECT_TRUE(same_token(expected.tokens[i], actual.tokens[i]))
            << expected.formula << " token " << i << ": expected " << describe(expected.tokens[i])
            << ", actual " << describe(actual.tokens[i]);
    }
}

void expect_same_outcome(const SearchOutcome& expected, const SearchOutcome& actual) {
    ASSERT_EQ(actual.index(), expected.index()) << "one engine failed, the other did not";
    if (const auto* error = std::get_if<SearchError>(&expected)) {
        const auto& other = std::get<SearchError>(actual);
        EXPECT_EQ(other.kind, error->kind);
        EXPECT_EQ(other.message(), error->message());
        return;
    }
    const auto& want = std::get<std::vector<SearchResult>>(expected);
    const auto& got = std::get<std::vector<SearchResult>>(actual);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE("result " + std::to_string(i) + ": " + want[i].expression.formula);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(got[i].error),
                  std::bit_cast<std::uint64_t>(want[i].error))
            << "error " << want[i].error << " vs " << got[i].error;
        expect_same_expression(want[i].expression, got[i].expression);
        EXPECT_NE(got[i].registry, nullptr);
    }
}

using Key = std::optional<Fingerprint>;

std::vector<Key> fingerprints(const std::vector<Expression>& level) {
    static const OperatorRegistry registry = OperatorRegistry::with_builtins();
    std::vector<Key> keys;
    for (const Expression& e : level) keys.push_back(fingerprint(e, registry.operators()));
    std::sort(keys.begin(), keys.end());
    return keys;
}

bool tie_at_cut(const ReferenceTrace& trace, std::uint64_t level) {
    for (const auto& entry : trace.levels) {
        if (entry.level == level) return entry.tie_at_cut;
    }
    return false;
}

std::string case_name(const ::testing::TestParamInfo<DifferentialCase>& info) {
    return info.param.name;
}

class DifferentialSearch : public ::testing::TestWithParam<DifferentialCase> {};

TEST_P(DifferentialSearch, SameOutcomeAndProgressAsReference) {
    const Recording& reference = reference_run(GetParam());
    const Recording fast = fast_run(GetParam(), 0);
    expect_same_outcome(reference.outcome, fast.outcome);
    EXPECT_EQ(fast.lines, reference.lines);
}

TEST_P(DifferentialSearch, SameLevelContentsAsReference) {
    const Recording& reference = reference_run(GetParam());
    const Recording fast = fast_run(GetParam(), 0);
    ASSERT_EQ(fast.levels.size(), reference.levels.size()) << "levels reported";
    for (std::uint64_t level = 1; level < reference.levels.size(); ++level) {
        if (tie_at_cut(reference.trace, level)) continue;
        EXPECT_EQ(fingerprints(fast.levels[level]), fingerprints(reference.levels[level]))
            << "level " << level;
    }
}

// Equal scores keep list order, so even levels cut through a tie hold the same expressions in the
// same order.
TEST_P(DifferentialSearch, SameLevelOrderAsReference) {
    const Recording& reference = reference_run(GetParam());
    const Recording fast = fast_run(GetParam(), 0);
    ASSERT_EQ(fast.levels.size(), reference.levels.size()) << "levels reported";
    for (std::uint64_t level = 1; level < reference.levels.size(); ++level) {
        SCOPED_TRACE("level " + std::to_string(level));
        ASSERT_EQ(fast.levels[level].size(), reference.levels[level].size());
        for (std::size_t i = 0; i < reference.levels[level].size(); ++i) {
            expect_same_expression(reference.levels[level][i], fast.levels[level][i]);
        }
    }
}

TEST_P(DifferentialSearch, ThreadCountDoesNotChangeAnything) {
    const Recording one = fast_run(GetParam(), 1);
    const Recording two = fast_run(GetParam(), 2);
    expect_same_outcome(one.outcome, two.outcome);
    EXPECT_EQ(two.lines, one.lines);
    ASSERT_EQ(two.levels.size(), one.levels.size());
    for (std::uint64_t level = 1; level < one.levels.size(); ++level) {
        SCOPED_TRACE("level " + std::to_string(level));
        ASSERT_EQ(two.levels[level].size(), one.levels[level].size());
        for (std::size_t i = 0; i < one.levels[level].size(); ++i) {
            expect_same_expression(one.levels[level][i], two.levels[level][i]);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Table, DifferentialSearch, ::testing::ValuesIn(cases()), case_name);

}  // namespace
}  // namespace kov
