#include "engine/select/wide_eval.hpp"

#include <cmath>
#include <vector>

#include "ops/builtin_ids.hpp"

namespace kov {

namespace {

using Wide = long double;

// An operand whose component across a cut is below this fraction of its modulus lies on the cut
// as far as rounding can tell: doubles carry about 1e-16 of relative error, and a chain of a few
// operators grows it, but a value truly off the cut is rarely this close.
constexpr Wide cut_residue = 1e-12L;
// How far (relative to the modulus) an operand on a cut is moved to one side: far below double
// rounding, so that only the side changes and not the value.
constexpr Wide cut_nudge = 1e-24L;

constexpr Wide half_pi = 1.570796326794896619231321691639751442L;
constexpr Wide pi = 3.141592653589793238462643383279502884L;
constexpr Wide e = 2.718281828459045235360287471352662498L;

Wide modulus(WideComplex z) {
    return std::hypot(z.re, z.im);
}

// Moves an operand lying on a cut to the requested side; `across_im` says whether the cut runs
// along the real axis (the imaginary part crosses it) or along the imaginary axis.
WideComplex to_side(WideComplex z, bool on_cut, bool across_im, CutSide side) {
    if (side == CutSide::as_computed || !on_cut) return z;
    const Wide r = modulus(z);
    Wide& across = across_im ? z.im : z.re;
    if (std::fabs(across) > cut_residue * r) return z;
    across = static_cast<Wide>(static_cast<int>(side)) * cut_nudge * r;
    return z;
}

std::optional<WideComplex> ln(WideComplex z, CutSide side) {
    z = to_side(z, z.re < 0, true, side);
    const Wide r = modulus(z);
    if (r == 0) return std::nullopt;
    return WideComplex{std::log(r), std::atan2(z.im, z.re)};
}

WideComplex exp(WideComplex z) {
    const Wide m = std::exp(z.re);
    return WideComplex{m * std::cos(z.im), m * std::sin(z.im)};
}

WideComplex sqrt(WideComplex z, CutSide side) {
    z = to_side(z, z.re < 0, true, side);
    const Wide x = z.re;
    const Wide y = z.im;
    if (y == 0) {
        if (!std::signbit(x)) return WideComplex{std::sqrt(x), y};
        const Wide t = std::sqrt(-x);
        return std::signbit(y) ? WideComplex{0, -t} : WideComplex{0, t};
    }
    if (x == 0) {
        const Wide t = std::sqrt(std::fabs(y) * 0.5L);
        return std::signbit(y) ? WideComplex{t, -t} : WideComplex{t, t};
    }
    const Wide r = std::hypot(x, y);
    const Wide h = std::atan2(y, x) * 0.5L;
    return WideComplex{std::cos(h) * std::sqrt(r), std::sin(h) * std::sqrt(r)};
}

WideComplex product(WideComplex p, WideComplex q) {
    return WideComplex{p.re * q.re - p.im * q.im, p.re * q.im + p.im * q.re};
}

std::optional<WideComplex> quotient(WideComplex p, WideComplex q) {
    if (modulus(q) == 0) return std::nullopt;
    const Wide d = q.re * q.re + q.im * q.im;
    return WideComplex{(p.re * q.re + p.im * q.im) / d, (p.im * q.re - p.re * q.im) / d};
}

WideComplex sin(WideComplex z) {
    return WideComplex{std::sin(z.re) * std::cosh(z.im), std::cos(z.re) * std::sinh(z.im)};
}

WideComplex cos(WideComplex z) {
    return WideComplex{std::cos(z.re) * std::cosh(z.im), -std::sin(z.re) * std::sinh(z.im)};
}

// ln(iz + sqrt(1 - z²)): theta in re, log modulus in im.
std::optional<WideComplex> arc_log_u(WideComplex z, CutSide side) {
    z = to_side(z, std::fabs(z.re) > 1, true, side);
    const Wide x = z.re;
    const Wide y = z.im;
    // The side is already chosen: 1 - z² follows z across its own cut.
    const WideComplex s =
        sqrt(WideComplex{(y * y - x * x) + 1, -(x * y + x * y)}, CutSide::as_computed);
    const WideComplex u{s.re - y, s.im + x};
    const Wide r = modulus(u);
    if (r == 0) return std::nullopt;
    return WideComplex{std::atan2(u.im, u.re), std::log(r)};
}

std::optional<WideComplex> arctan(WideComplex z, CutSide side) {
    z = to_side(z, std::fabs(z.im) > 1, false, side);
    const WideComplex p{1 + z.im, -z.re};
    const WideComplex q{1 - z.im, z.re};
    if (modulus(p) == 0 || modulus(q) == 0) return std::nullopt;
    const Wide l = std::log(modulus(p)) - std::log(modulus(q));
    const Wide t = std::atan2(p.im, p.re) - std::atan2(q.im, q.re);
    return WideComplex{-0.5L * t, 0.5L * l};
}

std::optional<WideComplex> constant_value(const Token& token) {
    switch (token.id) {
        case builtin_id::pi:
            return WideComplex{pi, 0};
        case builtin_id::e:
            return WideComplex{e, 0};
        default:
            return WideComplex{token.value.re, token.value.im};
    }
}

std::optional<WideComplex> apply(std::size_t id, WideComplex a, WideComplex b, CutSide side) {
    switch (id) {
        case builtin_id::kov: {
            const std::optional<WideComplex> l = ln(b, side);
            if (!l) return std::nullopt;
            const WideComplex x = exp(a);
            return WideComplex{x.re - l->re, x.im - l->im};
        }
        case builtin_id::neg:
            return WideComplex{-a.re, -a.im};
        case builtin_id::inv:
            return quotient(WideComplex{1, 0}, a);
        case builtin_id::plus:
            return WideComplex{a.re + b.re, a.im + b.im};
        case builtin_id::times:
            return product(a, b);
        case builtin_id::subtract:
            return WideComplex{a.re - b.re, a.im - b.im};
        case builtin_id::divide:
            return quotient(a, b);
        case builtin_id::exp:
            return exp(a);
        case builtin_id::log:
            return ln(a, side);
        case builtin_id::sqrt:
            return sqrt(a, side);
        case builtin_id::sin:
            return sin(a);
        case builtin_id::cos:
            return cos(a);
        case builtin_id::tan:
            return quotient(sin(a), cos(a));
        case builtin_id::arcsin: {
            const std::optional<WideComplex> l = arc_log_u(a, side);
            if (!l) return std::nullopt;
            return WideComplex{l->re, -l->im};
        }
        case builtin_id::arccos: {
            const std::optional<WideComplex> l = arc_log_u(a, side);
            if (!l) return std::nullopt;
            return WideComplex{half_pi - l->re, l->im};
        }
        case builtin_id::arctan:
            return arctan(a, side);
        default:
            return std::nullopt;
    }
}

}  // namespace

std::optional<WideComplex> eval_wide(std::span<const Token> tokens, std::span<const Complex> vars,
                                     CutSide side) {
    std::vector<WideComplex> stack;
    stack.reserve(tokens.size());
    for (const Token& token : tokens) {
        switch (token.kind) {
            case TokenKind::Const: {
                const std::optional<WideComplex> value = constant_value(token);
                if (!value) return std::nullopt;
                stack.push_back(*value);
                break;
            }
            case TokenKind::Real:
            case TokenKind::Integer:
            case TokenKind::Param:
                stack.push_back(WideComplex{token.value.re, 0});
                break;
            case TokenKind::Var:
                if (token.index >= vars.size()) return std::nullopt;
                stack.push_back(WideComplex{vars[token.index].re, vars[token.index].im});
                break;
            case TokenKind::Op: {
                if (stack.size() < token.arity || token.arity == 0) return std::nullopt;
                const WideComplex a = stack[stack.size() - token.arity];
                const WideComplex b = token.arity == 2 ? stack.back() : WideComplex{};
                const std::optional<WideComplex> value = apply(token.id, a, b, side);
                if (!value || !std::isfinite(value->re) || !std::isfinite(value->im)) {
                    return std::nullopt;
                }
                stack.resize(stack.size() - token.arity);
                stack.push_back(*value);
                break;
            }
        }
    }
    if (stack.size() != 1) return std::nullopt;
    return stack.front();
}

}  // namespace kov
