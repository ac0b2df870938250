// How much faster the search engine is than the plain reference search of the test suite, on a
// search small enough for the reference. Checks that both return the same formulas, then prints
// one table row per case. Wall time is what a user waits; CPU time (all threads of the process) is
// printed beside it because other processes on a busy machine inflate wall times.
//
// Usage: bench_reference_ratio [max_complexity [beam_width [fast_repeats]]]
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <variant>
#include <vector>

#include "engine/entry/run_bfs.hpp"
#include "reference_engine.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double cpu_seconds_since(std::clock_t start) {
    return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
}

bool same_front(const kov::SearchOutcome& a, const kov::SearchOutcome& b) {
    if (a.index() != b.index()) return false;
    if (std::holds_alternative<kov::SearchError>(a)) {
        return std::get<kov::SearchError>(a).message() == std::get<kov::SearchError>(b).message();
    }
    const auto& x = std::get<std::vector<kov::SearchResult>>(a);
    const auto& y = std::get<std::vector<kov::SearchResult>>(b);
    if (x.size() != y.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (x[i].expression.formula != y[i].expression.formula ||
            std::bit_cast<std::uint64_t>(x[i].error) != std::bit_cast<std::uint64_t>(y[i].error)) {
            return false;
        }
    }
    return true;
}

std::string best_formula(const kov::SearchOutcome& outcome) {
    if (const auto* results = std::get_if<std::vector<kov::SearchResult>>(&outcome)) {
        return results->empty() ? "(empty)" : results->front().expression.formula;
    }
    return std::get<kov::SearchError>(outcome).message();
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t max_complexity = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 5;
    const std::uint64_t beam = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 200;
    const int repeats = argc > 3 ? std::atoi(argv[3]) : 3;

    // hard-small: x = linspace(0.1, 5, 100), y = x^0.37 (1 + 0.2 sin 5x).
    std::vector<std::vector<double>> rows;
    std::vector<double> targets;
    for (int i = 0; i < 100; ++i) {
        const double x = 0.1 + (5.0 - 0.1) * i / 99;
        rows.push_back({x});
        targets.push_back(std::pow(x, 0.37) * (1.0 + 0.2 * std::sin(5.0 * x)));
    }
    const kov::SearchConfig config(max_complexity, 0.1, beam);

    // Best of `repeats` for the fast engine (wall and CPU taken from the same run); one run of the
    // reference, which is long enough not to need more.
    double fast_wall = 0.0;
    double fast_cpu = 0.0;
    kov::SearchOutcome fast;
    for (int i = 0; i < repeats; ++i) {
        const auto start = Clock::now();
        const std::clock_t cpu_start = std::clock();
        fast = kov::run_bfs(rows, targets, config);
        const double wall = seconds_since(start);
        if (i == 0 || wall < fast_wall) {
            fast_wall = wall;
            fast_cpu = cpu_seconds_since(cpu_start);
        }
    }
    const auto start = Clock::now();
    const std::clock_t cpu_start = std::clock();
    const kov::SearchOutcome reference = kov::run_bfs_reference(rows, targets, config);
    const double reference_wall = seconds_since(start);
    const double reference_cpu = cpu_seconds_since(cpu_start);

    std::printf("%-10s %4s %5s %10s %10s %10s %10s %10s %10s  %s\n", "case", "maxc", "beam",
                "fast wall", "ref wall", "ratio", "fast cpu", "ref cpu", "cpu ratio",
                "best formula");
    std::printf("%-10s %4llu %5llu %9.3fs %9.3fs %9.1fx %9.3fs %9.3fs %9.1fx  %s\n", "hard-small",
                static_cast<unsigned long long>(max_complexity),
                static_cast<unsigned long long>(beam), fast_wall, reference_wall,
                reference_wall / fast_wall, fast_cpu, reference_cpu, reference_cpu / fast_cpu,
                best_formula(fast).c_str());
    if (!same_front(fast, reference)) {
        std::printf("MISMATCH: the engines returned different results (reference: %s)\n",
                    best_formula(reference).c_str());
        return 1;
    }
    return 0;
}
