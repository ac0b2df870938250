#include "engine/units/units_reduction.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <numeric>

namespace kov {
namespace {

// Columns of the dimension matrix are the inputs; rows the dimensions.
using Column = std::vector<Rational>;

// Solves sum_k a_k columns[k] = rhs exactly (columns independent). None when rhs lies outside
// their span.
std::optional<std::vector<Rational>> solve(const std::vector<const Column*>& columns,
                                           const Column& rhs) {
    const std::size_t rows = rhs.size();
    const std::size_t unknowns = columns.size();
    std::vector<std::vector<Rational>> m(rows, std::vector<Rational>(unknowns + 1));
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t k = 0; k < unknowns; ++k) m[i][k] = (*columns[k])[i];
        m[i][unknowns] = rhs[i];
    }
    std::vector<std::size_t> pivot_rows;
    std::size_t row = 0;
    for (std::size_t k = 0; k < unknowns; ++k) {
        std::size_t found = row;
        while (found < rows && m[found][k].is_zero()) ++found;
        if (found == rows) return std::nullopt;  // dependent columns
        std::swap(m[row], m[found]);
        const Rational lead = m[row][k];
        for (Rational& value : m[row]) value = value / lead;
        for (std::size_t i = 0; i < rows; ++i) {
            if (i == row || m[i][k].is_zero()) continue;
            const Rational factor = m[i][k];
            for (std::size_t c = k; c <= unknowns; ++c) m[i][c] = m[i][c] - factor * m[row][c];
        }
        pivot_rows.push_back(row++);
    }
    for (std::size_t i = row; i < rows; ++i) {
        if (!m[i][unknowns].is_zero()) return std::nullopt;
    }
    std::vector<Rational> out(unknowns);
    for (std::size_t k = 0; k < unknowns; ++k) out[k] = m[pivot_rows[k]][unknowns];
    return out;
}

std::size_t rank_of(const std::vector<Column>& columns, std::size_t dimensions) {
    std::vector<std::vector<Rational>> m(dimensions, std::vector<Rational>(columns.size()));
    for (std::size_t i = 0; i < dimensions; ++i) {
        for (std::size_t k = 0; k < columns.size(); ++k) m[i][k] = columns[k][i];
    }
    std::size_t rank = 0;
    for (std::size_t k = 0; k < columns.size() && rank < dimensions; ++k) {
        std::size_t found = rank;
        while (found < dimensions && m[found][k].is_zero()) ++found;
        if (found == dimensions) continue;
        std::swap(m[rank], m[found]);
        for (std::size_t i = rank + 1; i < dimensions; ++i) {
            if (m[i][k].is_zero()) continue;
            const Rational factor = m[i][k] / m[rank][k];
            for (std::size_t c = k; c < columns.size(); ++c)
                m[i][c] = m[i][c] - factor * m[rank][c];
        }
        ++rank;
    }
    return rank;
}

// The same direction with whole exponents, coprime, the group's own variable positive.
Monomial whole_exponents(Monomial monomial, std::size_t own) {
    std::int64_t multiple = 1;
    for (const Rational& e : monomial) multiple = std::lcm(multiple, e.den());
    std::int64_t divisor = 0;
    for (Rational& e : monomial) {
        e = e * Rational(multiple);
        divisor = std::gcd(divisor, e.num());
    }
    if (divisor == 0) return monomial;
    if (monomial[own].num() < 0) divisor = -divisor;
    for (Rational& e : monomial) e = e / Rational(divisor);
    return monomial;
}

// What a scientist would rather read: few variables, small whole powers, halves at most.
std::int64_t group_cost(const Monomial& group) {
    std::int64_t cost = 0;
    for (const Rational& e : group) {
        if (!e.is_zero()) cost += 2 + std::abs(e.num());
    }
    return cost;
}

std::int64_t scale_cost(const Monomial& scale, const std::vector<bool>& may_be_negative) {
    std::int64_t cost = 0;
    for (std::size_t i = 0; i < scale.size(); ++i) {
        const Rational& e = scale[i];
        if (e.is_zero()) continue;
        cost += 2 + std::abs(e.num()) + 2 * (e.den() - 1);
        if (e.den() > 2) cost += 20;
        if (e.den() > 1 && i < may_be_negative.size() && may_be_negative[i]) cost += 1000;
    }
    return cost;
}

// Calls visit with each subset of {0..n-1} of the given size, in lexicographic order, until it
// returns false.
template <class Visit>
void for_each_subset(std::size_t n, std::size_t size, Visit visit) {
    std::vector<std::size_t> chosen(size);
    std::iota(chosen.begin(), chosen.end(), std::size_t{0});
    if (size > n) return;
    while (true) {
        if (!visit(chosen)) return;
        std::size_t i = size;
        while (i > 0 && chosen[i - 1] == n - size + i - 1) --i;
        if (i == 0) return;
        ++chosen[i - 1];
        for (std::size_t j = i; j < size; ++j) chosen[j] = chosen[j - 1] + 1;
    }
}

constexpr std::size_t most_choices = 5000;

Monomial combined(const Monomial& a, const Monomial& b, Rational power) {
    Monomial out = a;
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = out[i] + power * b[i];
    return out;
}

// Another group times a power of a group is as good a group, and the scale times one as good a
// scale: such products replace them while they read simpler.
void simplify(DimensionalBasis& basis, const std::vector<bool>& may_be_negative) {
    const Rational powers[] = {1, -1, 2, -2, Rational(1, 2), Rational(-1, 2)};
    for (bool improved = true; improved;) {
        improved = false;
        for (std::size_t a = 0; a < basis.groups.size(); ++a) {
            for (std::size_t b = 0; b < basis.groups.size(); ++b) {
                if (a == b) continue;
                for (Rational p : powers) {
                    if (p.den() != 1) continue;
                    Monomial candidate = combined(basis.groups[a], basis.groups[b], p);
                    if (std::all_of(candidate.begin(), candidate.end(),
                                    [](const Rational& e) { return e.is_zero(); })) {
                        continue;
                    }
                    std::size_t first = 0;
                    while (candidate[first].is_zero()) ++first;
                    candidate = whole_exponents(std::move(candidate), first);
                    if (group_cost(candidate) < group_cost(basis.groups[a])) {
                        basis.groups[a] = std::move(candidate);
                        improved = true;
                    }
                }
            }
        }
        if (!basis.scale) continue;
        for (const Monomial& group : basis.groups) {
            for (Rational p : powers) {
                Monomial candidate = combined(*basis.scale, group, p);
                if (scale_cost(candidate, may_be_negative) <
                    scale_cost(*basis.scale, may_be_negative)) {
                    basis.scale = std::move(candidate);
                    improved = true;
                }
            }
        }
    }
}

}  // namespace

DimensionalBasis dimensionless_basis(const GivenUnits& units,
                                     const std::vector<bool>& may_be_negative) {
    const std::size_t variables = units.inputs.size();
    const std::size_t dimensions = units.dimensions.size();
    const std::size_t rank = rank_of(units.inputs, dimensions);
    DimensionalBasis best;
    std::int64_t best_cost = std::numeric_limits<std::int64_t>::max();
    std::size_t choices = 0;
    for_each_subset(variables, rank, [&](const std::vector<std::size_t>& repeating) {
        std::vector<const Column*> columns;
        for (std::size_t k : repeating) columns.push_back(&units.inputs[k]);
        DimensionalBasis basis;
        basis.repeating = repeating;
        std::int64_t cost = 0;
        for (std::size_t j = 0; j < variables; ++j) {
            if (std::find(repeating.begin(), repeating.end(), j) != repeating.end()) continue;
            Column negated = units.inputs[j];
            for (Rational& e : negated) e = -e;
            const std::optional<std::vector<Rational>> a = solve(columns, negated);
            if (!a) return ++choices < most_choices;  // the chosen columns are dependent
            Monomial group(variables);
            group[j] = 1;
            for (std::size_t k = 0; k < repeating.size(); ++k) group[repeating[k]] = (*a)[k];
            basis.groups.push_back(whole_exponents(std::move(group), j));
            cost += group_cost(basis.groups.back());
        }
        if (const auto s = solve(columns, units.target)) {
            Monomial scale(variables);
            for (std::size_t k = 0; k < repeating.size(); ++k) scale[repeating[k]] = (*s)[k];
            cost += scale_cost(scale, may_be_negative);
            basis.scale = std::move(scale);
        }
        if (cost < best_cost) {
            best_cost = cost;
            best = std::move(basis);
        }
        return ++choices < most_choices;
    });
    simplify(best, may_be_negative);
    return best;
}

namespace {

// num1*num2/(den1*den2) of the named powers, taken in the given order.
std::string fraction_text(std::span<const std::string> names, std::span<const Rational> exponents,
                          const std::vector<std::size_t>& order) {
    const auto power = [](const std::string& name, Rational e) {
        if (e == Rational(1)) return name;
        if (e.den() == 1) return name + "^" + std::to_string(e.num());
        return name + "^(" + std::to_string(e.num()) + "/" + std::to_string(e.den()) + ")";
    };
    std::string numerator, denominator;
    for (std::size_t i : order) {
        const Rational e = exponents[i];
        if (e.is_zero()) continue;
        std::string& part = e.num() > 0 ? numerator : denominator;
        if (!part.empty()) part += "*";
        part += power(names[i], e.num() > 0 ? e : -e);
    }
    if (numerator.empty()) numerator.push_back('1');
    if (denominator.empty()) return numerator;
    const bool grouped = denominator.find('*') != std::string::npos;
    return numerator + "/" + (grouped ? "(" + denominator + ")" : denominator);
}

}  // namespace

std::string unit_text(std::span<const std::string> dimensions,
                      std::span<const Rational> exponents) {
    std::vector<std::size_t> order(dimensions.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return dimensions[a] < dimensions[b]; });
    return fraction_text(dimensions, exponents, order);
}

std::string monomial_text(const Monomial& monomial) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < monomial.size(); ++i) {
        std::string name(1, 'x');
        name += std::to_string(i);
        names.push_back(std::move(name));
    }
    std::vector<std::size_t> order(monomial.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    return fraction_text(names, monomial, order);
}

}  // namespace kov
