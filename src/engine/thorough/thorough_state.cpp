#include "engine/thorough/thorough_state.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "engine/levels/pool.hpp"
#include "engine/select/model_selection.hpp"

namespace kov {

namespace {

std::uint8_t narrow_operator_id(std::size_t id) {
    return static_cast<std::uint8_t>(id);
}

// `count` rows at evenly spaced ranks of the targets' order (extremes included), and the rest.
void spread_first(std::vector<std::uint32_t>& rows, const std::vector<double>& targets,
                  std::size_t count) {
    const std::size_t n = rows.size();
    if (n <= count) return;
    std::vector<std::uint32_t> order = rows;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint32_t x, std::uint32_t y) { return targets[x] < targets[y]; });
    std::vector<std::uint8_t> taken(n, 0);
    std::vector<std::uint32_t> out;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t rank = i * (n - 1) / (count - 1);
        taken[rank] = 1;
        out.push_back(order[rank]);
    }
    std::vector<std::uint32_t> rest;
    for (std::size_t r = 0; r < n; ++r) {
        if (taken[r] == 0) rest.push_back(order[r]);
    }
    std::sort(rest.begin(), rest.end());
    out.insert(out.end(), rest.begin(), rest.end());
    rows = std::move(out);
}

// The rows the levels cache: all of them, or a well-spread deterministic subsample, with the
// rows the ranking screens on first.
std::vector<std::uint32_t> pick_sample(const std::vector<double>& targets) {
    std::vector<std::uint32_t> rows(targets.size());
    std::iota(rows.begin(), rows.end(), 0);
    spread_first(rows, targets, thorough_tuning.sample_limit);
    rows.resize(std::min(rows.size(), thorough_tuning.sample_limit));
    spread_first(rows, targets, thorough_tuning.screening_rows);
    return rows;
}

// What the levels are ranked against on the sample rows, each centred: the targets, then the
// targets times and divided by each variable (the first few; division only by a variable that
// keeps away from zero), so that a factor of a product or quotient survives until it is used.
std::vector<std::vector<double>> ranking_targets(const std::vector<std::vector<double>>& rows,
                                                 const std::vector<double>& targets,
                                                 const std::vector<std::uint32_t>& sample) {
    std::vector<std::vector<double>> out;
    const auto add = [&](const auto& value) {
        std::vector<double> y;
        double mean = 0.0;
        for (std::uint32_t j : sample) {
            y.push_back(value(j));
            mean += y.back();
        }
        mean /= static_cast<double>(y.size());
        for (double& v : y) v -= mean;
        if (std::all_of(y.begin(), y.end(), [](double v) { return std::isfinite(v); })) {
            out.push_back(std::move(y));
        }
    };
    add([&](std::uint32_t j) { return targets[j]; });
    const std::size_t variables = rows.front().size();
    for (std::size_t v = 0; v < variables && out.size() + 2 <= thorough_tuning.max_ranking_targets;
         ++v) {
        double smallest = std::numeric_limits<double>::infinity();
        double largest = 0.0;
        for (std::uint32_t j : sample) {
            if (v >= rows[j].size()) return out;
            smallest = std::fmin(smallest, std::fabs(rows[j][v]));
            largest = std::fmax(largest, std::fabs(rows[j][v]));
        }
        add([&](std::uint32_t j) { return targets[j] * rows[j][v]; });
        if (smallest > thorough_tuning.divisor_least_share * largest)
            add([&](std::uint32_t j) { return targets[j] / rows[j][v]; });
    }
    return out;
}

}  // namespace

ThoroughState::ThoroughState(const std::vector<std::vector<double>>& rows_in,
                             const std::vector<double>& targets_in, const SearchConfig& config_in,
                             const SearchHooks& hooks_in)
    : input_rows(rows_in),
      targets(targets_in),
      config(config_in),
      hooks(hooks_in),
      registry(std::make_shared<OperatorRegistry>(OperatorRegistry::with_builtins())),
      variables(rows_in.front().size()),
      // Constants to recognise (nothing fitted) are not tabled data: their digits are the
      // question, not noise.
      precision(config_in.fit_constants ? DataPrecision(rows_in, targets_in)
                                        : DataPrecision({}, {})),
      deadline(config_in.time_limit),
      memory(bfs::share_memory(thorough_tuning.memory_budget)),
      table(std::make_unique<FingerprintTable>()) {
    rows.reserve(input_rows.size());
    for (const auto& row : input_rows) {
        auto& converted = rows.emplace_back();
        for (double value : row) converted.push_back(Complex{value, 0.0});
    }
    const std::size_t confirmation_limit = thorough_tuning.confirmation_limit;
    if (rows.size() > confirmation_limit) {
        for (std::size_t k = 0; k < confirmation_limit; ++k) {
            const std::size_t j = k * rows.size() / confirmation_limit;
            strided_rows.push_back(rows[j]);
            strided_targets.push_back(targets[j]);
        }
    }
    sample = pick_sample(targets);
    for (std::uint32_t j : sample) sample_rows.push_back(rows[j]);
    ranking_targets = kov::ranking_targets(input_rows, targets, sample);
    double square_sum = 0.0;
    double sum = 0.0;
    for (double t : targets) {
        square_sum += t * t;
        sum += t;
    }
    const double count = static_cast<double>(targets.size());
    const double rms = std::sqrt(square_sum / count);
    scale = rms > 0.0 && std::isfinite(rms) ? rms : 1.0;
    double centred_squares = 0.0;
    for (double t : targets) centred_squares += (t - sum / count) * (t - sum / count);
    spread = std::sqrt(centred_squares / count);
    for (std::size_t id : registry->ids_by_arity(1)) ops.unary.push_back(narrow_operator_id(id));
    for (std::size_t id : registry->ids_by_arity(2)) ops.binary.push_back(narrow_operator_id(id));
    ops.commutative.resize(registry->size());
    for (std::size_t id = 0; id < registry->size(); ++id) {
        ops.commutative[id] = registry->meta(id).is_commutative;
    }
    poll = [this] {
        if (hooks.should_cancel && hooks.should_cancel()) {
            cancelled = true;
            return true;
        }
        timed_out = deadline.passed();
        return timed_out;
    };
    std::vector<double> sample_targets;
    for (std::uint32_t j : sample) sample_targets.push_back(targets[j]);
    unit_target = unit_vector(sample_targets);
    noise = config.noise ? *config.noise : estimate_noise(input_rows, targets);
    fitters.resize(worker_count());
    products.emplace(sample_rows, sample_targets, variables, noise);
    // Fitted formulas reach the front cleaned and verified (thorough_verify.hpp).
    if (config.fit_constants) front.set_gate(std::make_shared<FrontGate>(rows, targets, registry));
}

const OperatorList& operators(const ThoroughState& state) {
    return state.registry->operators();
}

void print(const ThoroughState& state, const std::string& line) {
    if (state.config.verbose && state.hooks.progress) state.hooks.progress(line);
}

const ComplexRows& confirmation_rows(const ThoroughState& state) {
    return state.strided_rows.empty() ? state.rows : state.strided_rows;
}

std::span<const double> confirmation_targets(const ThoroughState& state) {
    return state.strided_rows.empty() ? std::span<const double>(state.targets)
                                      : state.strided_targets;
}

std::size_t confirmed(const ThoroughState& state, std::size_t offered) {
    return state.sample.size() == state.rows.size()
               ? offered
               : std::min(offered, thorough_tuning.confirmed_per_level);
}

LeastSquaresFitter& fitter(ThoroughState& state, std::size_t worker) {
    if (state.fitters.size() <= worker) state.fitters.resize(worker + 1);
    if (!state.fitters[worker]) {
        state.fitters[worker] =
            std::make_unique<LeastSquaresFitter>(state.rows, state.targets, operators(state));
    }
    return *state.fitters[worker];
}

}  // namespace kov
