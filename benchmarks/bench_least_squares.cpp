// Success rate and cost of the least-squares fitter of the thorough search, and of constant
// snapping, on families of problems with known optima.
//
// Each family is fitted for 40 true parameter values (both signs, magnitudes 0.2 to 8.2) from the
// same start, on x = linspace(0, 3, rows); a fit succeeds when its SSE is below 1e-20 (exact to
// rounding). Times are CPU time per fit (the machine may be shared).
//
// Build with -DKOV_BUILD_BENCHMARKS=ON; run: bench_least_squares [rows ...] (default: 100 1000)

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "engine/fit/least_squares.hpp"
#include "engine/select/constant_snapping.hpp"
#include "ops/builtin_ids.hpp"
#include "ops/registry.hpp"

namespace {

namespace id = kov::builtin_id;
using kov::Token;

struct Family {
    std::string name;
    std::vector<Token> tokens;  // with Param tokens
    std::vector<double> initial;
    std::function<double(double x, double b)> truth;
};

kov::Expression form_of(const std::vector<Token>& tokens) {
    kov::Expression form;
    form.tokens = tokens;
    form.complexity = tokens.size();
    return form;
}

}  // namespace

int main(int argc, char** argv) {
    const kov::OperatorRegistry registry = kov::OperatorRegistry::with_builtins();
    const kov::OperatorList& operators = registry.operators();
    const auto op = [&](std::size_t op_id) { return Token::op(operators[op_id]->arity(), op_id); };
    const auto p = [](std::uint8_t k) { return Token::param(k, {0.0, 0.0}); };
    const Token x = Token::var(0);

    const std::vector<Family> families{
        {"a·sin(b·x)+c",
         {p(0), x, op(id::times), op(id::sin)},
         {1.0},
         [](double v, double b) { return 0.7 * std::sin(b * v) + 0.2; }},
        {"a·exp(b·x)+c",
         {p(0), x, op(id::times), op(id::exp)},
         {1.0},
         [](double v, double b) { return 2.0 * std::exp(b * v / 4.0) - 1.0; }},
        {"logistic",
         {Token::real(1.0), Token::real(1.0), p(0), x, p(1), op(id::subtract), op(id::times),
          op(id::neg), op(id::exp), op(id::plus), op(id::divide)},
         {1.0, 0.0},
         [](double v, double b) { return 3.0 / (1.0 + std::exp(-b * (v - 1.5))); }},
        {"a·(x+b)^c",
         {p(1), x, p(0), op(id::plus), op(id::log), op(id::times), op(id::exp)},
         {0.0, 1.0},
         [](double v, double b) { return 2.0 * std::pow(v + 1.0, b / 3.0); }},
    };

    std::vector<int> row_counts;
    for (int i = 1; i < argc; ++i) row_counts.push_back(std::atoi(argv[i]));
    if (row_counts.empty()) row_counts = {100, 1000};

    std::printf("%-14s %6s %6s %9s %12s\n", "family", "rows", "starts", "exact", "us/fit");
    for (const Family& family : families) {
        for (const int rows_count : row_counts) {
            for (const int starts : {1, 4, 8}) {
                int exact = 0;
                int fits = 0;
                const std::clock_t begin = std::clock();
                for (int i = 0; i < 40; ++i) {
                    const double b = (i % 2 ? -1.0 : 1.0) * (0.2 + 8.0 * i / 40.0);
                    kov::ComplexRows rows;
                    std::vector<double> targets;
                    for (int j = 0; j < rows_count; ++j) {
                        const double v = 3.0 * j / (rows_count - 1);
                        rows.push_back({kov::Complex{v, 0.0}});
                        targets.push_back(family.truth(v, b));
                    }
                    kov::LeastSquaresFitter fitter(rows, targets, operators);
                    kov::LeastSquaresOptions options;
                    options.starts = starts;
                    const kov::LeastSquaresFit fit =
                        fitter.fit(form_of(family.tokens), family.initial, options);
                    exact += fit.sse < 1e-20 ? 1 : 0;
                    ++fits;
                }
                const double us =
                    1e6 * static_cast<double>(std::clock() - begin) / CLOCKS_PER_SEC / fits;
                std::printf("%-14s %6d %6d %6d/%-2d %12.1f\n", family.name.c_str(), rows_count,
                            starts, exact, fits, us);
            }
        }
    }

    // Snapping: 2.0000003·x + 0.33333329 on 100 noise-free rows.
    kov::ComplexRows rows;
    std::vector<double> targets;
    for (int j = 0; j < 100; ++j) {
        const double v = 3.0 * j / 99.0;
        rows.push_back({kov::Complex{v, 0.0}});
        targets.push_back(2.0 * v + 1.0 / 3.0);
    }
    const kov::Expression fitted =
        form_of({Token::real(2.0000003), x, op(id::times), Token::real(0.33333329), op(id::plus)});
    const int repeats = 200;
    kov::Expression snapped;
    const std::clock_t begin = std::clock();
    for (int i = 0; i < repeats; ++i) {
        snapped = kov::snap_constants(fitted, rows, targets, {2.0, std::nullopt}, operators);
    }
    const double us = 1e6 * static_cast<double>(std::clock() - begin) / CLOCKS_PER_SEC / repeats;
    std::printf("\nsnapping 2 numbers, 100 rows: %.1f us, result %.17g, %.17g\n", us,
                snapped.tokens[0].value.re, snapped.tokens[3].value.re);
    return 0;
}
