// Named constants of a level's best candidates fitted as numbers by least squares.

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/levels/bfs_score.hpp"
#include "engine/levels/pool.hpp"
#include "engine/thorough/thorough_stages.hpp"

namespace kov {

Expression parameter_form(const Expression& expression, TokenKind kind,
                          std::vector<double>& initial) {
    Expression form = expression;
    initial.clear();
    for (Token& token : form.tokens) {
        if (token.kind != kind) continue;
        const double start = token.value.re;
        token = Token::param(static_cast<std::uint8_t>(initial.size()), Complex{start, 0.0});
        initial.push_back(start);
    }
    return form;
}

Expression with_numbers(const Expression& form, std::span<const double> params) {
    Expression out = form;
    for (Token& token : out.tokens) {
        if (token.kind == TokenKind::Param) token = Token::real(params[token.index]);
    }
    return out;
}

bool fit_best(ThoroughState& state, std::uint64_t level,
              const std::vector<bfs::AffinePick>& ranked) {
    std::vector<std::size_t> chosen;
    for (std::size_t i = 0; i < ranked.size() && chosen.size() < thorough_tuning.fitted_per_level;
         ++i) {
        const bfs::Child& c = ranked[i].child;
        std::uint32_t constants = state.levels[c.left_level].nodes[c.a].const_count;
        if (c.arity == 2) {
            constants += state.levels[level - 1 - c.left_level].nodes[c.b].const_count;
        }
        if (constants >= 1 && constants <= thorough_tuning.max_fitted_constants) {
            chosen.push_back(i);
        }
    }
    std::vector<Expression> fitted(chosen.size());
    std::vector<double> sse(chosen.size(), std::numeric_limits<double>::infinity());
    if (state.fitters.size() < worker_count()) state.fitters.resize(worker_count());
    const bool completed = parallel_for(
        chosen.size(), 1,
        [&](std::size_t begin, std::size_t end, std::size_t worker) {
            std::vector<double> initial;
            for (std::size_t k = begin; k < end; ++k) {
                const Expression f =
                    bfs::compose(state.levels, level, ranked[chosen[k]].child, *state.registry);
                const Expression form = parameter_form(f, TokenKind::Const, initial);
                const LeastSquaresFit fit =
                    fitter(state, worker).fit(form, initial, {}, state.sample);
                if (!std::isfinite(fit.sse)) continue;
                fitted[k] = with_numbers(form, fit.params);
                sse[k] = fit.sse;
            }
        },
        state.poll);
    if (!completed) return false;
    std::vector<std::size_t> order;
    for (std::size_t k = 0; k < chosen.size(); ++k) {
        if (std::isfinite(sse[k])) order.push_back(k);
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t x, std::size_t y) { return sse[x] < sse[y]; });
    order.resize(confirmed(state, order.size()));
    std::vector<Expression> best;
    for (std::size_t k : order) best.push_back(std::move(fitted[k]));
    return confirm(state, best);
}

}  // namespace kov
