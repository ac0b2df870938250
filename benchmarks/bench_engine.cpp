// Wall time, peak memory and per-level counts of the search engine on fixed cases.
//
// Usage: bench_engine [--threads N] [--max-complexity N] [case ...]
// Cases: typical, hard-large, hard-small, multi, rows (default: all); rows-10k is `rows` with a
// tenth of the rows, to see how memory grows with them. Each case runs in a child
// process of its own so that its peak resident memory (ru_maxrss of the child) is its alone.
// Every case uses the default settings (max_complexity 10, penalty 0.1, beam 1000) except `rows`
// (max_complexity 8). `rows` measures how time and memory grow with the number of rows: its
// target x + sin x is found at complexity 4, where the search stops. (With a target that is never
// matched, every candidate whose error is near the beam's bound must be scored on every row, and
// 100 000 rows make a full search take hours.)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "engine/entry/run_bfs.hpp"
#include "engine/levels/pool.hpp"

namespace {

using Rows = std::vector<std::vector<double>>;

struct Case {
    std::string name;
    Rows rows;
    std::vector<double> targets;
    kov::SearchConfig config;
};

std::vector<double> linspace(double from, double to, std::size_t count) {
    std::vector<double> values(count);
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = from + (to - from) * static_cast<double>(i) / static_cast<double>(count - 1);
    }
    return values;
}

Case one_variable(std::string name, const std::vector<double>& xs, double (*f)(double)) {
    Case c{std::move(name), {}, {}, kov::SearchConfig()};
    for (double x : xs) {
        c.rows.push_back({x});
        c.targets.push_back(f(x));
    }
    return c;
}

// SplitMix64: a small, fully specified generator, so the `multi` data never changes.
struct SplitMix64 {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1) from the top 53 bits.
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
};

Case make_case(const std::string& name) {
    if (name == "typical") {
        return one_variable(name, {0.0, 1.0, 2.0, 3.0}, [](double x) { return std::exp(x); });
    }
    if (name == "hard-large") {
        return one_variable(name, linspace(0.1, 5.0, 100),
                            [](double x) { return 10.0 + x * x * x * std::sin(x); });
    }
    if (name == "hard-small") {
        return one_variable(name, linspace(0.1, 5.0, 100), [](double x) {
            return std::pow(x, 0.37) * (1.0 + 0.2 * std::sin(5.0 * x));
        });
    }
    if (name == "multi") {
        Case c{name, {}, {}, kov::SearchConfig()};
        SplitMix64 random{3};
        for (int i = 0; i < 200; ++i) {
            std::vector<double> row(3);
            for (double& v : row) v = 1.0 + 4.0 * random.uniform();
            c.targets.push_back(row[0] * row[1] / (row[2] + row[0] * row[0]) +
                                0.1 * std::sin(row[1]));
            c.rows.push_back(std::move(row));
        }
        return c;
    }
    if (name == "rows" || name == "rows-10k") {
        Case c = one_variable(name, linspace(0.1, 5.0, name == "rows" ? 100000 : 10000),
                              [](double x) { return x + std::sin(x); });
        c.config.max_complexity = 8;
        return c;
    }
    std::fprintf(stderr, "unknown case %s\n", name.c_str());
    std::exit(2);
}

std::uint64_t max_complexity_override = 0;

void run_case(const std::string& name) {
    Case c = make_case(name);
    if (max_complexity_override != 0) c.config.max_complexity = max_complexity_override;
    kov::SearchStats stats;
    kov::SearchHooks hooks;
    hooks.stats = &stats;
    hooks.progress = [](std::string_view line) {
        std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
    };
    const auto start = std::chrono::steady_clock::now();
    const kov::SearchOutcome outcome = kov::run_bfs(c.rows, c.targets, c.config, hooks);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::printf("== %s: %zu rows, %zu threads, wall %.3f s\n", name.c_str(), c.rows.size(),
                kov::worker_count(), wall);
    if (const auto* results = std::get_if<std::vector<kov::SearchResult>>(&outcome)) {
        if (!results->empty()) {
            std::printf("   best: %s  error %.6g\n", results->front().expression.formula.c_str(),
                        results->front().error);
        }
    } else {
        std::printf("   error: %s\n", std::get<kov::SearchError>(outcome).message().c_str());
    }
    std::printf("   %5s %12s %12s %10s %10s %6s %10s %10s %10s\n", "level", "generated", "unique",
                "fitted", "scored", "kept", "expand s", "score s", "fit cpu s");
    for (const kov::LevelStats& level : stats.levels) {
        std::printf("   %5llu %12llu %12llu %10llu %10llu %6llu %10.3f %10.3f %10.3f\n",
                    static_cast<unsigned long long>(level.level),
                    static_cast<unsigned long long>(level.generated),
                    static_cast<unsigned long long>(level.unique),
                    static_cast<unsigned long long>(level.fitted),
                    static_cast<unsigned long long>(level.scored),
                    static_cast<unsigned long long>(level.kept), level.expansion_seconds,
                    level.scoring_seconds, level.fitting_seconds);
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> cases;
    std::size_t threads = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc) {
            threads = static_cast<std::size_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (std::strcmp(argv[i], "--max-complexity") == 0 && i + 1 < argc) {
            max_complexity_override = std::strtoull(argv[++i], nullptr, 10);
        } else {
            cases.emplace_back(argv[i]);
        }
    }
    if (cases.empty()) cases = {"typical", "hard-large", "hard-small", "multi", "rows"};
    kov::set_worker_count(threads);

    for (const std::string& name : cases) {
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            run_case(name);
            std::_Exit(0);
        }
        int status = 0;
        rusage usage{};
        wait4(child, &status, 0, &usage);
        const auto cpu = [](const timeval& t) {
            return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
        };
        std::printf("   peak memory %.1f MB, cpu %.3f s user + %.3f s system (exit status %d)\n\n",
                    static_cast<double>(usage.ru_maxrss) / 1024.0, cpu(usage.ru_utime),
                    cpu(usage.ru_stime), status);
    }
    return 0;
}
