// The thorough strategy's exact outcome on a fixed set of small problems, one hash each: every
// level's kept expressions (the ranking), every returned formula with its tokens, error and
// description length. A change of the search's code that is meant to keep its results must
// keep these hashes; one that changes results on purpose prints the new hash and the fronts to
// check before the table is updated. Without a time limit the search is the same for any thread
// count; the hashes belong to this toolchain's math library and long double (x86-64 glibc).

#include <gtest/gtest.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "bits.hpp"
#include "engine/entry/run_bfs.hpp"
#include "portable_noise.hpp"

namespace kov {
namespace {

using Rows = std::vector<std::vector<double>>;
using Truth = std::function<double(const std::vector<double>&)>;

struct GoldenCase {
    const char* name;
    std::uint64_t hash;
    std::size_t variables;
    std::size_t rows;
    double low;
    double high;
    Truth truth;
    double noise = 0.0;  // standard deviation of the portable noise added to the targets
    std::uint64_t max_complexity = 5;
    bool disable_early_exit = false;
    bool fit_constants = true;
};

// FNV-1a, 64 bits.
class Hash {
public:
    void bytes(const void* data, std::size_t size) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < size; ++i) {
            value_ ^= p[i];
            value_ *= 0x100000001b3ULL;
        }
    }
    void text(const std::string& s) { bytes(s.data(), s.size() + 1); }
    void number(std::uint64_t x) { bytes(&x, sizeof x); }
    void real(double x) { number(test::bits_of(x)); }
    [[nodiscard]] std::uint64_t value() const { return value_; }

private:
    std::uint64_t value_ = 0xcbf29ce484222325ULL;
};

void hash_expression(Hash& hash, const Expression& expression) {
    hash.text(expression.formula);
    for (const Token& token : expression.tokens) {
        hash.number(static_cast<std::uint64_t>(token.kind) << 16 | token.arity << 8 | token.index);
        hash.number(token.id);
        hash.real(token.value.re);
        hash.real(token.value.im);
    }
}

std::string number_text(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.17g", value);
    return buffer;
}

void PrintTo(const GoldenCase& c, std::ostream* out) {
    *out << c.name;
}

class ThoroughGolden : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(ThoroughGolden, KeepsItsResults) {
    const GoldenCase& c = GetParam();
    test::PortableNoise noise(20261208);
    Rows rows;
    std::vector<double> targets;
    for (std::size_t i = 0; i < c.rows; ++i) {
        std::vector<double> row;
        for (std::size_t v = 0; v < c.variables; ++v) {
            // Low-discrepancy points, a different irrational step per variable.
            const double step = std::fmod(0.6180339887 * static_cast<double>(v + 1), 1.0);
            row.push_back(c.low + (c.high - c.low) *
                                      std::fmod(step * static_cast<double>(i) + 0.1 * v, 1.0));
        }
        targets.push_back(c.truth(row) + c.noise * noise.gaussian());
        rows.push_back(std::move(row));
    }
    SearchConfig config(c.max_complexity, 0.1, 1000);
    config.strategy = Strategy::thorough;
    config.disable_early_exit = c.disable_early_exit;
    config.fit_constants = c.fit_constants;

    Hash hash;
    std::string report;
    SearchHooks hooks;
    hooks.on_level = [&](std::uint64_t level, std::span<const Expression> kept) {
        hash.number(level);
        hash.number(kept.size());
        for (const Expression& expression : kept) hash_expression(hash, expression);
        report += "level " + std::to_string(level) + ": " + std::to_string(kept.size()) + " kept\n";
    };
    const SearchOutcome outcome = run_bfs(rows, targets, config, hooks);
    ASSERT_TRUE(std::holds_alternative<std::vector<SearchResult>>(outcome));
    for (const SearchResult& result : std::get<std::vector<SearchResult>>(outcome)) {
        hash_expression(hash, result.expression);
        hash.real(result.error);
        hash.real(result.description_length);
        report += "  " + std::to_string(result.expression.complexity) + "  " +
                  number_text(result.error) + "  " + result.expression.formula;
        // The text keeps the numbers as fitted; snapping changes only the tokens.
        for (const Token& token : result.expression.tokens) {
            if (token.kind == TokenKind::Real) report += "  " + number_text(token.value.re);
        }
        report += "\n";
    }
    char actual[32];
    std::snprintf(actual, sizeof actual, "0x%016" PRIx64, hash.value());
    EXPECT_EQ(hash.value(), c.hash) << "hash " << actual << "\n" << report;
}

double x0(const std::vector<double>& v) {
    return v[0];
}
double x1(const std::vector<double>& v) {
    return v[1];
}

INSTANTIATE_TEST_SUITE_P(
    Problems, ThoroughGolden,
    ::testing::Values(
        GoldenCase{"line", 0x432a9100599c2388ULL, 1, 20, 0.0, 1.0,
                   [](const auto& v) { return 2.5 * x0(v) + 1.3; }},
        GoldenCase{"scaled_product", 0xa8e5439660414342ULL, 2, 60, 1.0, 5.0,
                   [](const auto& v) { return 9.81 * x0(v) * x1(v); }},
        GoldenCase{"ratio", 0xf50ef9452d59b418ULL, 2, 60, 1.0, 5.0,
                   [](const auto& v) { return std::exp(-x0(v) / x1(v)); }},
        GoldenCase{"two_unlike_blocks", 0xf7b6bf6bf795f485ULL, 2, 60, -1.0, 1.0,
                   [](const auto& v) { return std::sin(x0(v)) + std::sin(x1(v) * x1(v)); }, 0.0, 4},
        GoldenCase{"several_blocks", 0x8f8065d34f5001fcULL, 2, 60, -3.0, 3.0,
                   [](const auto& v) {
                       const double x = x0(v), y = x1(v);
                       return x * x * x / 5 + y * y * y / 2 - y - x;
                   }},
        GoldenCase{"noisy_line", 0xa3146700f087b3acULL, 1, 80, 0.0, 4.0,
                   [](const auto& v) { return 3.0 * x0(v) + 0.5; }, 0.05, 9},
        GoldenCase{"constant_to_snap", 0x0a5b1a261f5a8467ULL, 1, 40, 0.5, 2.0,
                   [](const auto& v) { return 1.5 * x0(v) * x0(v) + 0.25; }, 1e-3, 5},
        GoldenCase{"three_variables", 0xea9a08052d8d3692ULL, 3, 50, 1.0, 3.0,
                   [](const auto& v) { return x0(v) * x1(v) / v[2] + 0.7; }, 0.0, 6},
        GoldenCase{"many_rows_searched_whole", 0x95b38ac87e4ee1fcULL, 1, 1500, -2.0, 2.0,
                   [](const auto& v) { return x0(v) * std::sin(x0(v)); }, 0.01, 5, true},
        GoldenCase{"without_fitting", 0x84ddf71e1f3a3137ULL, 1, 30, 0.5, 2.0,
                   [](const auto& v) { return std::exp(x0(v)) + x0(v); }, 0.0, 5, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kov
