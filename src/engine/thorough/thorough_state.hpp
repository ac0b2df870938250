#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/fit/least_squares.hpp"
#include "engine/levels/bfs_expand.hpp"
#include "engine/levels/bfs_level.hpp"
#include "engine/levels/fingerprint_table.hpp"
#include "engine/search/hooks.hpp"
#include "engine/search/time_limit.hpp"
#include "engine/select/data_precision.hpp"
#include "engine/select/residual_structure.hpp"
#include "engine/thorough/thorough_front.hpp"
#include "engine/thorough/thorough_memory.hpp"
#include "engine/thorough/thorough_pairs.hpp"
#include "engine/thorough/thorough_products.hpp"
#include "engine/thorough/thorough_tuning.hpp"
#include "ops/registry.hpp"

namespace kov {

// What the stages of one thorough search share: the data in the forms the stages read, the
// levels, the front, the pool of building blocks and the search's progress. Set up from the
// inputs once; each stage (thorough_stages.hpp) reads and extends it.
struct ThoroughState {
    ThoroughState(const std::vector<std::vector<double>>& rows, const std::vector<double>& targets,
                  const SearchConfig& config, const SearchHooks& hooks);
    ThoroughState(const ThoroughState&) = delete;  // `poll` refers to this state
    ThoroughState& operator=(const ThoroughState&) = delete;

    // ---- The inputs ----
    const std::vector<std::vector<double>>& input_rows;
    const std::vector<double>& targets;
    const SearchConfig& config;
    const SearchHooks& hooks;
    std::shared_ptr<OperatorRegistry> registry;
    std::size_t variables = 0;
    ComplexRows rows;

    // ---- The rows the stages measure on ----
    std::vector<std::uint32_t> sample;  // the rows the levels cache, screening rows first
    ComplexRows sample_rows;
    ComplexRows strided_rows;  // of large data: the rows confirmations measure on
    std::vector<double> strided_targets;
    std::vector<std::vector<double>> ranking_targets;  // on the sample rows, centred
    std::vector<double> unit_target;                   // on the sample rows, centred, unit length
    double scale = 1.0;       // RMS of the targets: what "exact" is relative to
    double spread = 0.0;      // standard deviation of the targets
    double noise = 0.0;       // standard deviation of the targets' noise, given or estimated
    DataPrecision precision;  // how finely the data were written down

    // ---- Time and cancellation ----
    Deadline deadline;
    std::function<bool()> poll;  // true when the search must stop; sets the flags below
    bool cancelled = false;
    bool timed_out = false;

    // ---- The levels ----
    bfs::OperatorSets ops;
    std::vector<bfs::Level> levels;           // index = complexity; entry 0 stays empty
    std::vector<std::size_t> parent_limits;   // per level: parents it may still give
    bfs::ThoroughMemory memory;               // limits derived from the memory budget
    double kept_bytes = 0.0;                  // the levels' caches, counted from their sizes
    std::unique_ptr<FingerprintTable> table;  // the fingerprints of the expressions seen
    std::uint64_t next_position = 0;
    double last_level_seconds = 0.0;
    double last_level_cost = 0.0;
    std::uint64_t searched_level = 1;  // the last level searched to its end
    bool searched_whole = true;        // no level so far was cut by the budgets

    // ---- What the levels offered ----
    ThoroughFront front;
    std::vector<std::unique_ptr<LeastSquaresFitter>> fitters;  // one per worker, made on use
    std::vector<PairBlock> pool;               // building blocks of sums, best of each level
    std::vector<Expression> pool_expressions;  // the same blocks' expressions
    std::optional<ProductSearch> products;     // products of powers, fitted in logarithms
    std::set<std::pair<std::uint64_t, double>> tried_at_floor;  // front entries snapped there
    std::optional<ResidualStructure> residual_structure;        // built at the first formula there
};

[[nodiscard]] const OperatorList& operators(const ThoroughState& state);

// Writes a progress line when the search is verbose.
void print(const ThoroughState& state, const std::string& line);

// The rows and targets confirmations measure on: all, or evenly strided ones of large data.
[[nodiscard]] const ComplexRows& confirmation_rows(const ThoroughState& state);
[[nodiscard]] std::span<const double> confirmation_targets(const ThoroughState& state);

// How many of a level's best forms are confirmed on all rows: all offered ones when the sample is
// the data, else only the best few, so that large data costs little more.
[[nodiscard]] std::size_t confirmed(const ThoroughState& state, std::size_t offered);

// The worker's least-squares fitter on all rows, made on first use.
[[nodiscard]] LeastSquaresFitter& fitter(ThoroughState& state, std::size_t worker);

}  // namespace kov
