// Times ConstantFitter against the literal fit_constants on candidates such as a search fits, and
// checks that both give the same results bit for bit.
//
// Candidates: children (unary and binary, complexity 3 to 10) of the expressions that a search
// keeps in its levels, on x = linspace(0.1, 5, 100), y = x^0.37 (1 + 0.2 sin 5x); only those with
// a named constant and a raw error below 2, which are the ones the search fits.
//
// Build with -DKOV_BUILD_BENCHMARKS=ON; run: bench_fitter [candidates] [passes of the fast fitter]

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <vector>

#include "engine/entry/run_bfs.hpp"
#include "engine/fit/fitter_columns.hpp"
#include "engine/fit/fitter_form.hpp"
#include "engine/fit/optimizer.hpp"
#include "ops/registry.hpp"

namespace {

using kov::Expression;
// CPU time of this thread: the machine is shared, and waiting for a core is not the fitter's cost.
double thread_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

bool identical(const kov::ScoredExpression& a, const kov::ScoredExpression& b) {
    if (std::bit_cast<std::uint64_t>(a.error) != std::bit_cast<std::uint64_t>(b.error)) {
        return false;
    }
    if (a.expression.tokens.size() != b.expression.tokens.size()) return false;
    for (std::size_t i = 0; i < a.expression.tokens.size(); ++i) {
        const kov::Token& s = a.expression.tokens[i];
        const kov::Token& t = b.expression.tokens[i];
        if (s.kind != t.kind || s.id != t.id || s.index != t.index || s.arity != t.arity ||
            std::bit_cast<std::uint64_t>(s.value.re) != std::bit_cast<std::uint64_t>(t.value.re) ||
            std::bit_cast<std::uint64_t>(s.value.im) != std::bit_cast<std::uint64_t>(t.value.im)) {
            return false;
        }
    }
    return a.expression.formula == b.expression.formula;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t wanted = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2000;
    // More passes of the fast fitter steady its timing and give a profiler something to see.
    const std::size_t passes = argc > 2 ? std::max(1ul, std::strtoul(argv[2], nullptr, 10)) : 1;

    std::vector<std::vector<double>> rows;
    std::vector<double> targets;
    for (int i = 0; i < 100; ++i) {
        const double x = 0.1 + (5.0 - 0.1) * i / 99.0;
        rows.push_back({x});
        targets.push_back(std::pow(x, 0.37) * (1 + 0.2 * std::sin(5 * x)));
    }

    // The levels a search keeps serve as parents, as they do in the search.
    constexpr std::size_t parent_levels = 6;
    std::vector<std::vector<Expression>> levels(parent_levels + 1);
    kov::SearchConfig config;
    config.max_complexity = parent_levels;
    config.disable_early_exit = true;
    kov::SearchHooks hooks;
    hooks.on_level = [&](std::uint64_t level, std::span<const Expression> kept) {
        levels[level].assign(kept.begin(), kept.end());
    };
    (void)kov::run_bfs(rows, targets, config, hooks);

    const kov::OperatorRegistry registry = kov::OperatorRegistry::with_builtins();
    const kov::OperatorList& operators = registry.operators();
    const std::vector<std::size_t> unary_ids = registry.ids_by_arity(1);
    const std::vector<std::size_t> binary_ids = registry.ids_by_arity(2);
    kov::ComplexRows complex_rows;
    for (const auto& row : rows) complex_rows.push_back({kov::Complex{row[0], 0.0}});

    std::mt19937_64 random(7);
    auto below = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
    };
    struct Candidate {
        Expression expression;
        double raw_error;
    };
    std::vector<Candidate> candidates;
    std::size_t attempts = 0;
    while (candidates.size() < wanted && attempts < wanted * 1000) {
        ++attempts;
        const std::size_t complexity = 3 + below(8);
        Expression child;
        if (complexity - 1 <= parent_levels && below(3) == 0) {
            const auto& parents = levels[complexity - 1];
            if (parents.empty()) continue;
            child = Expression::unary(registry, unary_ids[below(unary_ids.size())],
                                      parents[below(parents.size())]);
        } else {
            const std::size_t left = 1 + below(complexity - 2);
            const std::size_t right = complexity - 1 - left;
            if (left > parent_levels || right > parent_levels) continue;
            const auto& a = levels[left];
            const auto& b = levels[right];
            if (a.empty() || b.empty()) continue;
            child = Expression::binary(registry, binary_ids[below(binary_ids.size())],
                                       a[below(a.size())], b[below(b.size())]);
        }
        if (kov::fitting::count_constants(child) == 0) continue;
        const double raw = kov::compute_raw_error(child, complex_rows, targets, operators);
        if (!std::isfinite(raw) || !(raw < kov::fitting::fitting_threshold)) continue;
        candidates.push_back({std::move(child), raw});
    }

    std::vector<kov::ScoredExpression> literal;
    literal.reserve(candidates.size());
    double start = thread_seconds();
    for (const Candidate& c : candidates) {
        literal.push_back(
            kov::fit_constants(c.expression, c.raw_error, complex_rows, targets, operators));
    }
    const double literal_seconds = thread_seconds() - start;

    kov::ConstantFitter fitter(complex_rows, targets, operators);
    std::vector<kov::ScoredExpression> fast;
    fast.reserve(candidates.size());
    // The fastest pass: other processes on the machine only ever add time (through caches).
    double fast_seconds = 0.0;
    for (std::size_t pass = 0; pass < passes; ++pass) {
        fast.clear();
        start = thread_seconds();
        for (const Candidate& c : candidates) fast.push_back(fitter.fit(c.expression, c.raw_error));
        const double elapsed = thread_seconds() - start;
        fast_seconds = pass == 0 ? elapsed : std::min(fast_seconds, elapsed);
    }

    std::size_t mismatches = 0;
    std::size_t improved = 0;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (!identical(literal[i], fast[i])) ++mismatches;
        if (literal[i].error < candidates[i].raw_error) ++improved;
    }

    std::printf("candidates fitted      %zu (%zu improved)\n", candidates.size(), improved);
    std::printf("fit_constants          %.3f s  (%.1f us per fit)\n", literal_seconds,
                1e6 * literal_seconds / candidates.size());
    std::printf("ConstantFitter         %.3f s  (%.1f us per fit)\n", fast_seconds,
                1e6 * fast_seconds / candidates.size());
    std::printf("speedup                %.1fx\n", literal_seconds / fast_seconds);
    std::printf("mismatches             %zu\n", mismatches);
    return mismatches == 0 ? 0 : 1;
}
