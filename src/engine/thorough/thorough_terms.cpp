#include "engine/thorough/thorough_terms.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <set>
#include <string>

#include "engine/levels/pool.hpp"
#include "engine/thorough/best_kept.hpp"
#include "engine/thorough/thorough_formula.hpp"
#include "engine/thorough/thorough_front.hpp"
#include "engine/thorough/thorough_tuning.hpp"
#include "ops/builtin_ids.hpp"

namespace kov {

namespace {

bool ranks_before(const TermSum& x, const TermSum& y) {
    if (const int order = compare_fits(x.unexplained, x.complexity, y.unexplained, y.complexity)) {
        return order < 0;
    }
    return x.blocks < y.blocks;
}

// One block added to a sum: what the refit leaves, and the block.
struct Extension {
    double unexplained = 1.0;
    std::uint32_t complexity = 0;
    std::uint32_t block = 0;
};

bool extends_before(const Extension& x, const Extension& y) {
    if (const int order = compare_fits(x.unexplained, x.complexity, y.unexplained, y.complexity)) {
        return order < 0;
    }
    return x.block < y.block;
}

// The partial F statistic each block of a sum must reach, when it was the best of `choices`
// blocks: the square of the normal quantile two-sided at term_significance / choices (F with one
// and many degrees of freedom is nearly χ² with one), found by bisection on erfc.
double term_threshold(std::size_t choices) {
    const double tail =
        thorough_tuning.term_significance / static_cast<double>(std::max<std::size_t>(choices, 1));
    double low = 0.0;
    double high = 40.0;
    for (int step = 0; step < 100; ++step) {
        const double middle = 0.5 * (low + high);
        (std::erfc(middle / std::numbers::sqrt2) > tail ? low : high) = middle;
    }
    return high * high;
}

double dot(std::span<const double> x, std::span<const double> y) {
    double sum = 0.0;
    for (std::size_t j = 0; j < x.size(); ++j) sum += x[j] * y[j];
    return sum;
}

// An orthonormal basis of a sum's blocks and what the targets leave outside it.
struct SumBasis {
    std::vector<std::vector<double>> axes;
    std::vector<double> residual;
    double unexplained = 1.0;
};

SumBasis basis_of(const TermSum& sum, std::span<const PairBlock* const> candidates,
                  std::span<const double> unit_target) {
    SumBasis basis;
    basis.residual.assign(unit_target.begin(), unit_target.end());
    for (std::uint32_t b : sum.blocks) {
        std::vector<double> axis = candidates[b]->unit;
        for (int pass = 0; pass < 2; ++pass) {
            for (const auto& q : basis.axes) {
                const double along = dot(q, axis);
                for (std::size_t j = 0; j < axis.size(); ++j) axis[j] -= along * q[j];
            }
        }
        const double norm = std::sqrt(dot(axis, axis));
        if (!(norm * norm > thorough_tuning.collinear_limit)) continue;
        for (double& v : axis) v /= norm;
        const double along = dot(axis, basis.residual);
        for (std::size_t j = 0; j < axis.size(); ++j) basis.residual[j] -= along * axis[j];
        basis.axes.push_back(std::move(axis));
    }
    basis.unexplained = dot(basis.residual, basis.residual);
    return basis;
}

// Whether each block of `sum` explains more than chance beyond the others: its partial F
// statistic, the growth of the unexplained share without it against the share left with all of
// them per degree of freedom, reaches `threshold`. Exact sums always qualify.
bool every_term_significant(const TermSum& sum, std::span<const PairBlock* const> candidates,
                            std::span<const double> unit_target, double threshold) {
    if (sum.unexplained <= thorough_tuning.exact_share) return true;
    // The target is centred: the offset and each block take a degree of freedom.
    const std::size_t rows = unit_target.size();
    if (rows <= sum.blocks.size() + 1) return false;
    const double per_freedom = sum.unexplained / static_cast<double>(rows - sum.blocks.size() - 1);
    for (std::size_t drop = 0; drop < sum.blocks.size(); ++drop) {
        TermSum without;
        for (std::size_t i = 0; i < sum.blocks.size(); ++i) {
            if (i != drop) without.blocks.push_back(sum.blocks[i]);
        }
        const double gain =
            basis_of(without, candidates, unit_target).unexplained - sum.unexplained;
        if (!(gain > threshold * per_freedom)) return false;
    }
    return true;
}

// The best `count` one-block extensions of each sum, best first.
std::optional<std::vector<std::vector<Extension>>> best_extensions(
    std::span<const TermSum> sums, std::span<const PairBlock* const> candidates,
    std::span<const double> unit_target, std::size_t count, const std::function<bool()>& poll) {
    std::vector<SumBasis> bases;
    for (const TermSum& sum : sums) bases.push_back(basis_of(sum, candidates, unit_target));
    const std::size_t workers = worker_count();
    std::vector<std::vector<std::vector<Extension>>> heaps(
        workers, std::vector<std::vector<Extension>>(sums.size()));
    const bool completed = parallel_for(
        candidates.size(), thorough_tuning.extension_chunk,
        [&](std::size_t begin, std::size_t end, std::size_t worker) {
            for (std::size_t c = begin; c < end; ++c) {
                const std::span<const double> u = candidates[c]->unit;
                for (std::size_t s = 0; s < sums.size(); ++s) {
                    const SumBasis& basis = bases[s];
                    double outside = 1.0;
                    for (const auto& q : basis.axes) {
                        const double along = dot(q, u);
                        outside -= along * along;
                    }
                    if (!(outside > thorough_tuning.collinear_limit)) continue;
                    const double toward = dot(basis.residual, u);
                    const double left =
                        std::fmax(basis.unexplained - toward * toward / outside, 0.0);
                    if (!std::isfinite(left)) continue;
                    keep_best(heaps[worker][s],
                              Extension{left, sums[s].complexity + candidates[c]->complexity,
                                        static_cast<std::uint32_t>(c)},
                              count, extends_before);
                }
            }
        },
        poll);
    if (!completed) return std::nullopt;
    std::vector<std::vector<Extension>> out(sums.size());
    for (std::size_t s = 0; s < sums.size(); ++s) {
        for (const auto& worker_heaps : heaps) {
            out[s].insert(out[s].end(), worker_heaps[s].begin(), worker_heaps[s].end());
        }
        std::sort(out[s].begin(), out[s].end(), extends_before);
        if (out[s].size() > count) out[s].resize(count);
    }
    return out;
}

// Solves R x = b for an upper triangular R stored by columns.
std::vector<long double> back_substitute(const std::vector<std::vector<long double>>& r,
                                         std::vector<long double> b) {
    const std::size_t k = b.size();
    for (std::size_t i = k; i-- > 0;) {
        for (std::size_t j = i + 1; j < k; ++j) b[i] -= r[j][i] * b[j];
        b[i] /= r[i][i];
    }
    return b;
}

// a·f as a factor: f for 1, Neg(f) for −1, Times(a, f) otherwise.
Expression scaled(double a, const Expression& f) {
    if (a == 1.0) return f;
    if (a != -1.0) return apply_builtin(builtin_id::times, number(a), f);
    return apply_builtin(builtin_id::neg, f);
}

// f + c: Subtract(f, −c) for a negative c, which reads better and costs the same; a 1 set there
// is the constant 1.
Expression plus_number(const Expression& f, double c) {
    const double size = std::fabs(c);
    // The constant 1, as the levels write it: not a fitted number, so the polish leaves it alone.
    const Expression amount = size == 1.0 ? builtin_constant(builtin_id::one) : number(size);
    if (c < 0.0) return apply_builtin(builtin_id::subtract, f, amount);
    return apply_builtin(builtin_id::plus, f, size == 1.0 ? amount : number(c));
}

// The power of a single variable a term is (x, Times(x, x), …), or 0 for any other term.
std::size_t power_of(const Expression& term, std::uint8_t& variable) {
    std::size_t degree = 0;
    for (const Token& token : term.tokens) {
        if (token.kind == TokenKind::Var) {
            if (degree > 0 && token.index != variable) return 0;
            variable = token.index;
            ++degree;
        } else if (token.kind != TokenKind::Op || token.id != builtin_id::times) {
            return 0;
        }
    }
    return degree;
}

Expression power(std::uint8_t variable, std::size_t degree) {
    const Expression x = Expression::variable_leaf(variable);
    Expression out = x;
    for (std::size_t d = 1; d < degree; ++d) out = apply_builtin(builtin_id::times, out, x);
    return out;
}

// A polynomial in one variable, Σ ai·x^di + c, nested (Horner): x^d0·(a0 + x^(d1−d0)·(a1 + …)),
// which shares the powers and costs far fewer tokens than the sum of its terms. Nothing when the
// terms are not distinct powers of one variable.
std::optional<Expression> horner_form(std::span<const Expression> terms,
                                      std::span<const double> coefficients, double offset) {
    std::vector<std::pair<std::size_t, double>> by_degree;
    std::uint8_t variable = 0;
    for (std::size_t i = 0; i < terms.size(); ++i) {
        std::uint8_t v = 0;
        const std::size_t degree = power_of(terms[i], v);
        if (degree == 0 || (i > 0 && v != variable)) return std::nullopt;
        variable = v;
        by_degree.emplace_back(degree, coefficients[i]);
    }
    std::sort(by_degree.begin(), by_degree.end());
    for (std::size_t i = 1; i < by_degree.size(); ++i) {
        if (by_degree[i].first == by_degree[i - 1].first) return std::nullopt;
    }
    if (by_degree.size() < 2) return std::nullopt;
    // From the highest power inwards: inner = a_k; then a_i + x^(d_{i+1} − d_i)·inner.
    std::size_t i = by_degree.size() - 1;
    Expression inner =
        scaled(by_degree[i].second, power(variable, by_degree[i].first - by_degree[i - 1].first));
    for (--i;; --i) {
        inner = plus_number(inner, by_degree[i].second);
        const std::size_t gap = by_degree[i].first - (i > 0 ? by_degree[i - 1].first : 0);
        inner = apply_builtin(builtin_id::times, power(variable, gap), inner);
        if (i == 0) break;
    }
    if (offset != 0.0) inner = plus_number(inner, offset);
    return inner;
}

}  // namespace

std::optional<std::vector<TermSum>> best_sums(std::span<const PairBlock* const> candidates,
                                              std::span<const double> unit_target,
                                              const TermSearchOptions& options,
                                              const std::function<bool()>& poll) {
    std::vector<TermSum> found;
    std::vector<TermSum> beam{TermSum{}};
    for (std::size_t size = 1; size <= options.most_terms && !beam.empty(); ++size) {
        if (poll && poll()) return std::nullopt;
        const auto extensions = best_extensions(beam, candidates, unit_target, options.beam, poll);
        if (!extensions) return std::nullopt;
        std::vector<TermSum> grown;
        for (std::size_t s = 0; s < beam.size(); ++s) {
            for (const Extension& e : (*extensions)[s]) {
                TermSum sum = beam[s];
                sum.blocks.insert(std::upper_bound(sum.blocks.begin(), sum.blocks.end(), e.block),
                                  e.block);
                sum.unexplained = e.unexplained;
                sum.complexity = e.complexity;
                grown.push_back(std::move(sum));
            }
        }
        std::sort(grown.begin(), grown.end(), ranks_before);
        std::set<std::vector<std::uint32_t>> seen;
        beam.clear();
        for (TermSum& sum : grown) {
            if (beam.size() == options.beam) break;
            if (!seen.insert(sum.blocks).second) continue;
            // A block swapped for one of the same span (−f for f) leaves the same: one is enough.
            if (!beam.empty() && !(beam.back().unexplained <= thorough_tuning.exact_share) &&
                std::fabs(sum.unexplained - beam.back().unexplained) <=
                    thorough_tuning.same_fit * beam.back().unexplained) {
                continue;
            }
            beam.push_back(std::move(sum));
        }
        if (size >= thorough_tuning.fewest_terms)
            found.insert(found.end(), beam.begin(), beam.end());
        // An exact sum needs no more blocks.
        if (!beam.empty() && beam.front().unexplained <= thorough_tuning.exact_share) break;
    }
    // Backward elimination from the largest sums: a block picked early for its fit alone may be
    // the one the others do not need once they are all there.
    for (TermSum sum : beam) {
        while (sum.blocks.size() > thorough_tuning.fewest_terms) {
            TermSum best;
            for (std::size_t drop = 0; drop < sum.blocks.size(); ++drop) {
                TermSum smaller;
                for (std::size_t i = 0; i < sum.blocks.size(); ++i) {
                    if (i == drop) continue;
                    smaller.blocks.push_back(sum.blocks[i]);
                    smaller.complexity += candidates[sum.blocks[i]]->complexity;
                }
                smaller.unexplained = basis_of(smaller, candidates, unit_target).unexplained;
                if (best.blocks.empty() || ranks_before(smaller, best)) best = std::move(smaller);
            }
            sum = std::move(best);
            found.push_back(sum);
        }
    }
    std::sort(found.begin(), found.end(), [](const TermSum& x, const TermSum& y) {
        if (x.blocks.size() != y.blocks.size()) return x.blocks.size() < y.blocks.size();
        return ranks_before(x, y);
    });
    std::vector<TermSum> out;
    std::set<std::vector<std::uint32_t>> seen;
    std::size_t in_size = 0;
    const double threshold = term_threshold(candidates.size());
    for (TermSum& sum : found) {
        if (!out.empty() && out.back().blocks.size() != sum.blocks.size()) in_size = 0;
        if (in_size == options.per_size || !seen.insert(sum.blocks).second) continue;
        if (!every_term_significant(sum, candidates, unit_target, threshold)) continue;
        out.push_back(std::move(sum));
        ++in_size;
    }
    return out;
}

std::optional<std::vector<double>> fit_terms(std::span<const std::vector<double>> columns,
                                             std::span<const double> targets, bool offset) {
    using Wide = long double;
    const std::size_t n = targets.size();
    const std::size_t k = columns.size();
    if (n < k + (offset ? 1 : 0) || n == 0) return std::nullopt;
    std::vector<Wide> means(k + 1, 0.0L);
    if (offset) {
        for (std::size_t i = 0; i < k; ++i) {
            for (double v : columns[i]) means[i] += v;
            means[i] /= static_cast<Wide>(n);
        }
        for (double t : targets) means[k] += t;
        means[k] /= static_cast<Wide>(n);
    }
    std::vector<std::vector<Wide>> axes;
    std::vector<std::vector<Wide>> r(k, std::vector<Wide>(k, 0.0L));
    for (std::size_t i = 0; i < k; ++i) {
        if (columns[i].size() != n) return std::nullopt;
        std::vector<Wide> axis(n);
        Wide length = 0.0L;
        for (std::size_t j = 0; j < n; ++j) {
            axis[j] = columns[i][j] - means[i];
            length += axis[j] * axis[j];
        }
        for (int pass = 0; pass < 2; ++pass) {
            for (std::size_t m = 0; m < axes.size(); ++m) {
                Wide along = 0.0L;
                for (std::size_t j = 0; j < n; ++j) along += axes[m][j] * axis[j];
                r[i][m] += along;
                for (std::size_t j = 0; j < n; ++j) axis[j] -= along * axes[m][j];
            }
        }
        Wide norm = 0.0L;
        for (Wide v : axis) norm += v * v;
        if (!(length > 0.0L) ||
            !(norm > static_cast<Wide>(thorough_tuning.collinear_limit) * length)) {
            return std::nullopt;
        }
        norm = std::sqrt(norm);
        r[i][i] = norm;
        for (Wide& v : axis) v /= norm;
        axes.push_back(std::move(axis));
    }
    std::vector<Wide> residual(n);
    for (std::size_t j = 0; j < n; ++j) residual[j] = targets[j] - means[k];
    std::vector<Wide> projected(k);
    for (std::size_t m = 0; m < k; ++m) {
        Wide along = 0.0L;
        for (std::size_t j = 0; j < n; ++j) along += axes[m][j] * residual[j];
        projected[m] = along;
        for (std::size_t j = 0; j < n; ++j) residual[j] -= along * axes[m][j];
    }
    const std::vector<Wide> solved = back_substitute(r, std::move(projected));
    std::vector<double> out;
    Wide c = means[k];
    for (std::size_t i = 0; i < k; ++i) {
        out.push_back(static_cast<double>(solved[i]));
        c -= solved[i] * means[i];
    }
    if (offset) out.push_back(static_cast<double>(c));
    if (!std::all_of(out.begin(), out.end(), [](double v) { return std::isfinite(v); })) {
        return std::nullopt;
    }
    return out;
}

Expression sum_form(std::span<const Expression> terms, std::span<const double> coefficients,
                    double offset) {
    if (terms.empty()) return number(offset);
    std::vector<std::size_t> order(terms.size());
    for (std::size_t i = 0; i < terms.size(); ++i) order[i] = i;
    const auto lead = std::find_if(order.begin(), order.end(),
                                   [&](std::size_t i) { return coefficients[i] != -1.0; });
    if (lead != order.end()) std::rotate(order.begin(), lead, lead + 1);
    Expression out;
    for (std::size_t position = 0; position < order.size(); ++position) {
        const Expression& f = terms[order[position]];
        const double a = coefficients[order[position]];
        const bool negated = a == -1.0;
        const Expression term =
            negated || a == 1.0 ? f : apply_builtin(builtin_id::times, number(a), f);
        if (position == 0) {
            out = negated ? apply_builtin(builtin_id::neg, term) : term;
        } else {
            out = apply_builtin(negated ? builtin_id::subtract : builtin_id::plus, out, term);
        }
    }
    if (offset != 0.0) out = apply_builtin(builtin_id::plus, out, number(offset));
    return out;
}

std::vector<ScoredExpression> sum_variants(std::span<const Expression> terms,
                                           std::span<const std::vector<double>> values,
                                           std::span<const double> targets) {
    std::vector<ScoredExpression> out;
    const auto add = [&](const std::vector<double>& coefficients, double offset) {
        double sum = 0.0;
        for (std::size_t j = 0; j < targets.size(); ++j) {
            double value = offset;
            for (std::size_t i = 0; i < terms.size(); ++i) value += coefficients[i] * values[i][j];
            const double residual = value - targets[j];
            sum += residual * residual;
        }
        const double error = std::sqrt(sum / static_cast<double>(targets.size()));
        if (!std::isfinite(error)) return;
        out.push_back({sum_form(terms, coefficients, offset), error});
        if (std::optional<Expression> nested = horner_form(terms, coefficients, offset)) {
            out.push_back({std::move(*nested), error});
        }
    };
    const std::optional<std::vector<double>> fitted = fit_terms(values, targets, true);
    if (!fitted) return out;
    std::vector<double> coefficients(fitted->begin(), fitted->end() - 1);
    add(coefficients, fitted->back());
    // The coefficients near ±1 fixed there; the rest refitted to what those leave.
    std::vector<double> left(targets.begin(), targets.end());
    std::vector<std::vector<double>> free_columns;
    std::vector<std::size_t> free_terms;
    for (std::size_t i = 0; i < terms.size(); ++i) {
        const double unit = std::fabs(coefficients[i] - 1.0) <= thorough_tuning.unit_room   ? 1.0
                            : std::fabs(coefficients[i] + 1.0) <= thorough_tuning.unit_room ? -1.0
                                                                                            : 0.0;
        if (unit == 0.0) {
            free_columns.push_back(values[i]);
            free_terms.push_back(i);
            continue;
        }
        coefficients[i] = unit;
        for (std::size_t j = 0; j < targets.size(); ++j) left[j] -= unit * values[i][j];
    }
    for (const bool offset : {true, false}) {
        if (free_columns.empty() && offset) {
            double mean = 0.0;
            for (double v : left) mean += v;
            add(coefficients, mean / static_cast<double>(left.size()));
            continue;
        }
        const std::optional<std::vector<double>> refit = fit_terms(free_columns, left, offset);
        if (!refit) continue;
        for (std::size_t m = 0; m < free_terms.size(); ++m)
            coefficients[free_terms[m]] = (*refit)[m];
        add(coefficients, offset ? refit->back() : 0.0);
    }
    return out;
}

std::optional<std::vector<ScoredExpression>> confirm_sums(
    std::span<const TermSum> sums, std::span<const Expression* const> expressions,
    const ComplexRows& rows, std::span<const double> targets, const OperatorList& operators,
    const std::function<bool()>& poll) {
    std::vector<std::vector<ScoredExpression>> offers(sums.size());
    const bool completed = parallel_for(
        sums.size(), 1,
        [&](std::size_t begin, std::size_t end, std::size_t) {
            std::vector<Complex> stack;
            for (std::size_t s = begin; s < end; ++s) {
                std::vector<Expression> terms;
                std::vector<std::vector<double>> values(sums[s].blocks.size());
                bool ok = true;
                for (std::size_t i = 0; i < sums[s].blocks.size() && ok; ++i) {
                    terms.push_back(*expressions[sums[s].blocks[i]]);
                    ok = real_values(terms.back(), rows, operators, values[i], stack);
                }
                if (ok) offers[s] = sum_variants(terms, values, targets);
            }
        },
        poll);
    if (!completed) return std::nullopt;
    std::vector<ScoredExpression> out;
    for (auto& list : offers) {
        for (ScoredExpression& offer : list) out.push_back(std::move(offer));
    }
    return out;
}

std::vector<Expression> monomials(std::uint8_t variables, std::size_t most) {
    std::vector<Expression> out;
    // Exponent vectors of one degree from those of the degree below, each extended by a variable
    // no lower than its last, so that every product comes once.
    std::vector<std::pair<Expression, std::uint8_t>> below{{Expression{}, 0}};
    for (std::size_t degree = 1; degree <= thorough_tuning.most_monomial_degree; ++degree) {
        std::vector<std::pair<Expression, std::uint8_t>> current;
        for (const auto& [product, last] : below) {
            for (std::uint8_t v = last; v < variables; ++v) {
                const Expression leaf = Expression::variable_leaf(v);
                current.emplace_back(
                    degree == 1 ? leaf : apply_builtin(builtin_id::times, product, leaf), v);
            }
        }
        if (out.size() + current.size() > most) break;
        for (const auto& entry : current) out.push_back(entry.first);
        below = std::move(current);
    }
    return out;
}

}  // namespace kov
