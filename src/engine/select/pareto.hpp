#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "core/expression.hpp"
#include "engine/search/config.hpp"
#include "engine/search/result.hpp"
#include "ops/registry.hpp"

namespace kov {

// The best formula seen so far for every complexity during one search. One lock guards the whole
// map; every operation below holds it from start to end.
class ParetoFront {
public:
    // Snapshot of (complexity -> error) for tests and diagnostics.
    [[nodiscard]] std::map<std::uint64_t, double> errors() const;
    // The most accurate entry's error and formula text (the simplest of equal ones); infinity and
    // no text while the front is empty.
    [[nodiscard]] std::pair<double, std::string> best() const;

private:
    friend void update_pareto(ParetoFront&, const Expression&, double);
    friend bool check_early_exit(ParetoFront&, bool, double);
    friend SearchOutcome finalize_result(std::shared_ptr<ParetoFront>,
                                         std::shared_ptr<const OperatorRegistry>,
                                         const SearchConfig&);

    mutable std::mutex mutex_;
    std::map<std::uint64_t, std::pair<double, Expression>> entries_;
};

// Keeps the offered candidate only when its complexity has no entry yet or the entry's error is
// strictly greater: ties keep the incumbent, and a NaN on either side changes nothing.
void update_pareto(ParetoFront& front, const Expression& candidate, double error);

// True when some entry's error is at or below the tolerance (never for NaN); false at once when
// disabled.
[[nodiscard]] bool check_early_exit(ParetoFront& front, bool disable, double tolerance);

// The formulas each strictly more accurate than every simpler one, most complex first, or
// NoFormulaFound for an empty front. Releases the front and the registry reference it is given.
[[nodiscard]] SearchOutcome finalize_result(std::shared_ptr<ParetoFront> front,
                                            std::shared_ptr<const OperatorRegistry> registry,
                                            const SearchConfig& config);

}  // namespace kov
