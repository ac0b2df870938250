#include <gtest/gtest.h>

#include <array>
#include <complex>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bits.hpp"
#include "engine/fit/fitter_kernels.hpp"
#include "ops/builtin_ids.hpp"
#include "ops/builtin_table.hpp"
#include "ops/builtins.hpp"
#include "ops/complex_math.hpp"
#include "ops/registry.hpp"
#include "test_support.hpp"

namespace kov {
namespace {

constexpr double pi = 3.141592653589793;
constexpr double half_pi = 1.5707963267948966;
constexpr std::optional<Complex> none = std::nullopt;

using test::builtins;
using test::inf;
using test::nan;

std::optional<Complex> apply(std::size_t id, Complex a, Complex b = {}) {
    const std::array<Complex, 2> operands = {a, b};
    return builtins().op(id).eval(
        std::span<const Complex>(operands.data(), builtins().meta(id).arity));
}

// ---- Exact values at the edges -------------------------------------------------------------

struct ExactCase {
    const char* label;
    std::size_t id;
    Complex a;
    Complex b;
    std::optional<Complex> expected;
};

class OperatorExact : public ::testing::TestWithParam<ExactCase> {};

TEST_P(OperatorExact, MatchesBitForBit) {
    const ExactCase& c = GetParam();
    EXPECT_SAME_VALUE(apply(c.id, c.a, c.b), c.expected) << c.label;
    EXPECT_SAME_VALUE(eval_builtin(c.id, c.a, c.b), c.expected) << c.label;
}

using namespace builtin_id;

const ExactCase exact_cases[] = {
    // Where operators decline: a zero modulus, never a NaN one.
    {"Divide by zero", divide, {1, 0}, {0, 0}, none},
    {"Divide by minus zero", divide, {1, 0}, {-0.0, -0.0}, none},
    {"Divide by NaN", divide, {1, 0}, {nan, 0}, Complex{nan, nan}},
    {"Inv of zero", inv, {0, 0}, {}, none},
    {"Log of zero", log, {-0.0, 0}, {}, none},
    {"Kov with zero second operand", kov, {1, 0}, {0, 0}, none},
    {"ArcTan(i)", arctan, {0, 1}, {}, none},
    {"ArcTan(-i)", arctan, {0, -1}, {}, none},
    // 1 - z^2 rounds to z^2, so u = iz + sqrt(1 - z^2) cancels to zero.
    {"ArcSin far up the imaginary axis", arcsin, {0, 1e10}, {}, none},
    {"ArcCos far up the imaginary axis", arccos, {0, 1e10}, {}, none},
    // Branch cuts follow the sign of a zero imaginary part.
    {"Log(-1+0i)", log, {-1, 0}, {}, Complex{0, pi}},
    {"Log(-1-0i)", log, {-1, -0.0}, {}, Complex{0, -pi}},
    {"Sqrt(-4+0i)", sqrt, {-4, 0}, {}, Complex{0, 2}},
    {"Sqrt(-4-0i)", sqrt, {-4, -0.0}, {}, Complex{0, -2}},
    {"Sqrt(0+2i)", sqrt, {0, 2}, {}, Complex{1, 1}},
    {"Sqrt(-0-2i)", sqrt, {-0.0, -2}, {}, Complex{1, -1}},
    {"Sqrt(3+4i)", sqrt, {3, 4}, {}, Complex{2, 1}},
    {"Sqrt(-0+0i)", sqrt, {-0.0, 0}, {}, Complex{0, 0}},
    {"Sqrt(+0-0i)", sqrt, {0, -0.0}, {}, Complex{0, -0.0}},
    {"Sqrt(-inf+0i)", sqrt, {-inf, 0}, {}, Complex{0, inf}},
    // Exp follows the C99 special cases.
    {"Exp(+inf+0i)", exp, {inf, 0}, {}, Complex{inf, 0}},
    {"Exp(+inf-0i)", exp, {inf, -0.0}, {}, Complex{inf, -0.0}},
    {"Exp(+inf+NaN i)", exp, {inf, nan}, {}, Complex{inf, nan}},
    {"Exp(+inf+inf i)", exp, {inf, inf}, {}, Complex{inf, nan}},
    {"Exp(+inf+1i)", exp, {inf, 1}, {}, Complex{inf, inf}},
    {"Exp(-inf+inf i)", exp, {-inf, inf}, {}, Complex{0, 0}},
    {"Exp(-inf+NaN i)", exp, {-inf, nan}, {}, Complex{0, 0}},
    {"Exp(-inf-1i)", exp, {-inf, -1}, {}, Complex{0, -0.0}},
    {"Exp(NaN-0i)", exp, {nan, -0.0}, {}, Complex{nan, -0.0}},
    {"Exp(NaN+1i)", exp, {nan, 1}, {}, Complex{nan, nan}},
    {"Exp(1000+0i)", exp, {1000, 0}, {}, Complex{inf, nan}},
    {"Exp(0+0i)", exp, {0, 0}, {}, Complex{1, 0}},
    // The binary64 nearest pi/2: cos is about 6.1e-17, not zero.
    {"Tan near pi/2", tan, {half_pi, 0}, {}, Complex{16331239353195370.0, 0}},
    // ArcSin/ArcCos are conjugated against C99 above 1 on the real axis.
    {"ArcSin(2)", arcsin, {2, 0}, {}, Complex{half_pi, -1.3169578969248166}},
    {"ArcCos(2)", arccos, {2, 0}, {}, Complex{0, 1.3169578969248166}},
    {"ArcSin(-2)", arcsin, {-2, 0}, {}, Complex{-half_pi, 1.3169578969248164}},
    {"ArcCos(-2)", arccos, {-2, 0}, {}, Complex{pi, -1.3169578969248164}},
    {"ArcSin(0.5)", arcsin, {0.5, 0}, {}, Complex{0.5235987755982989, -0.0}},
    {"ArcTan(1)", arctan, {1, 0}, {}, Complex{0.7853981633974483, 0}},
    {"ArcTan(2i)", arctan, {0, 2}, {}, Complex{half_pi, 0.5493061443340549}},
    {"Kov(0, 1)", kov, {0, 0}, {1, 0}, Complex{1, 0}},
    {"Kov(0, -1)", kov, {0, 0}, {-1, 0}, Complex{1, -pi}},
    {"Neg(0+0i)", neg, {0, 0}, {}, Complex{-0.0, -0.0}},
    {"Neg(-0-0i)", neg, {-0.0, -0.0}, {}, Complex{0, 0}},
    {"Inv(-0+2i)", inv, {-0.0, 2}, {}, Complex{0, -0.5}},
    {"Inv(4-0i)", inv, {4, -0.0}, {}, Complex{0.25, 0}},
    // Ordinary points with exactly representable results.
    {"Plus", plus, {1, 2}, {3, -4}, Complex{4, -2}},
    {"Plus of zeros", plus, {-0.0, -0.0}, {-0.0, 0}, Complex{-0.0, 0}},
    {"Subtract", subtract, {1, 2}, {3, -4}, Complex{-2, 6}},
    {"Subtract of equal zeros", subtract, {-0.0, 0}, {-0.0, 0}, Complex{0, 0}},
    {"Times", times, {1, 2}, {3, 4}, Complex{-5, 10}},
    {"Times of reals", times, {2, 0}, {-3, 0}, Complex{-6, 0}},
    {"Divide", divide, {1, 2}, {3, 4}, Complex{11.0 / 25.0, 2.0 / 25.0}},
    {"Divide by i", divide, {1, 0}, {0, 1}, Complex{0, -1}},
    {"Sin(0+0i)", sin, {0, 0}, {}, Complex{0, 0}},
    {"Sin(-0+0i)", sin, {-0.0, 0}, {}, Complex{-0.0, 0}},
    {"Cos(0+0i)", cos, {0, 0}, {}, Complex{1, -0.0}},
    {"Tan(0+0i)", tan, {0, 0}, {}, Complex{0, 0}},
    {"Log(1)", log, {1, 0}, {}, Complex{0, 0}},
    {"Log(i)", log, {0, 1}, {}, Complex{0, half_pi}},
    // The built-in constants ignore their operands.
    {"constant 0", zero, {7, 7}, {}, Complex{0, 0}},
    {"constant 1", one, {}, {}, Complex{1, 0}},
    {"constant I", imaginary_unit, {}, {}, Complex{0, 1}},
    {"constant Pi", builtin_id::pi, {}, {}, Complex{pi, 0}},
    {"constant E", builtin_id::e, {}, {}, Complex{2.718281828459045, 0}},
};

INSTANTIATE_TEST_SUITE_P(OperatorEdgeCases, OperatorExact, ::testing::ValuesIn(exact_cases));

TEST(OperatorSemantics, NegKeepsNanPayload) {
    const double payload = std::bit_cast<double>(std::uint64_t{0x7ff8000000000123});
    const std::optional<Complex> result = apply(neg, {payload, 1});
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(test::bits_of(result->re), 0xfff8000000000123u);
    EXPECT_TRUE(test::identical_double(result->im, -1.0));
}

TEST(OperatorSemantics, KovWithOneIsExp) {
    for (const Complex a : {Complex{0.3, -2}, Complex{-1, 0}, Complex{710, 0}, Complex{nan, 0}}) {
        EXPECT_SAME_VALUE(apply(kov, a, {1, 0}), apply(exp, a));
    }
}

// ---- Agreement with std::complex away from branch cuts -------------------------------------

// The library's results are not bit-exact against std::complex, but the branch and sign choices
// must agree away from the cuts.
TEST(OperatorSemantics, AgreesWithStdComplexOffTheCuts) {
    using C = std::complex<double>;
    struct Unary {
        std::size_t id;
        C (*reference)(const C&);
    };
    const Unary unaries[] = {
        {exp, [](const C& z) { return std::exp(z); }},
        {log, [](const C& z) { return std::log(z); }},
        {sqrt, [](const C& z) { return std::sqrt(z); }},
        {sin, [](const C& z) { return std::sin(z); }},
        {cos, [](const C& z) { return std::cos(z); }},
        {tan, [](const C& z) { return std::tan(z); }},
        {arcsin, [](const C& z) { return std::asin(z); }},
        {arccos, [](const C& z) { return std::acos(z); }},
        {arctan, [](const C& z) { return std::atan(z); }},
        {inv, [](const C& z) { return 1.0 / z; }},
        {neg, [](const C& z) { return -z; }},
    };
    const C points[] = {{0.3, 0.7}, {-1.2, 0.4}, {2.5, -1.5}, {-0.6, -2.2}, {0.9, 0.1}};
    for (const Unary& op : unaries) {
        for (const C& z : points) {
            const std::optional<Complex> got = apply(op.id, {z.real(), z.imag()});
            const C want = op.reference(z);
            ASSERT_TRUE(got.has_value()) << builtins().meta(op.id).name;
            EXPECT_NEAR(got->re, want.real(), 1e-14 * std::abs(want))
                << builtins().meta(op.id).name;
            EXPECT_NEAR(got->im, want.imag(), 1e-14 * std::abs(want))
                << builtins().meta(op.id).name;
        }
    }
    const C a{0.8, -0.3};
    const C b{-1.7, 0.6};
    const std::optional<Complex> k = apply(kov, {a.real(), a.imag()}, {b.real(), b.imag()});
    const C want = std::exp(a) - std::log(b);
    ASSERT_TRUE(k.has_value());
    EXPECT_NEAR(k->re, want.real(), 1e-14);
    EXPECT_NEAR(k->im, want.imag(), 1e-14);
}

// ---- eval_builtin and the virtual eval are the same function -------------------------------

// NaN results are compared as "is NaN": the sign and payload of a NaN produced from two NaN inputs
// depend on which operand the compiler puts first in a commutative instruction, and the evaluator
// rejects every NaN result anyway.

TEST(OperatorDispatch, EvalBuiltinMatchesVirtualEvalOnSpecialValues) {
    const double parts[] = {0.0,     -0.0,  1.0,     -1.0, 0.5,  -2.0,
                            half_pi, 1e300, -1e-310, inf,  -inf, nan};
    std::vector<Complex> grid;
    for (const double re : parts) {
        for (const double im : parts) grid.push_back({re, im});
    }
    const OperatorRegistry& registry = builtins();
    for (std::size_t id = 0; id < registry.size(); ++id) {
        const std::uint8_t arity = registry.meta(id).arity;
        for (const Complex a : grid) {
            if (arity < 2) {
                EXPECT_SAME_VALUE(eval_builtin(id, a, {}), apply(id, a))
                    << registry.meta(id).name << " at " << test::describe(a);
                continue;
            }
            for (const Complex b : grid) {
                EXPECT_SAME_VALUE(eval_builtin(id, a, b), apply(id, a, b))
                    << registry.meta(id).name << " at " << test::describe(a) << ", "
                    << test::describe(b);
            }
        }
    }
}

// ---- The operator table reaches every place an operator is used -----------------------------

class OperatorTableRow : public ::testing::TestWithParam<std::size_t> {};

TEST_P(OperatorTableRow, RegistryObjectsAndKernelsFollowIt) {
    const std::size_t id = GetParam();
    const BuiltinRow& row = builtin_table[id];
    const OperatorRegistry& registry = builtins();
    ASSERT_LT(id, registry.size());
    const Operator& op = registry.op(id);
    EXPECT_EQ(registry.meta(id).name, row.name);
    EXPECT_EQ(registry.meta(id).arity, row.arity);
    EXPECT_EQ(registry.meta(id).is_commutative, row.commutative);
    std::ostringstream debug;
    op.debug_text(debug);
    EXPECT_EQ(debug.str().rfind(row.type_name, 0), 0u) << debug.str();
    const std::vector<std::string> operands = {"x", "y"};
    const std::span<const std::string> taken(operands.data(), row.arity);
    const auto rendered = [&](const RenderTemplate& form) {
        return row.arity == 0 ? std::string(form.before) : render_builtin(form, row.arity, taken);
    };
    EXPECT_EQ(op.to_latex(taken), rendered(row.latex));
    EXPECT_EQ(op.to_python(taken), rendered(row.python));

    // The fitter's column kernel of this id computes the table's function.
    const std::array<Complex, 3> as = {Complex{0.5, 0}, Complex{-2, 0.25}, Complex{3, -1}};
    const std::array<Complex, 3> bs = {Complex{1.5, 0}, Complex{0.75, -2}, Complex{-0.5, 0}};
    const std::array<std::uint8_t, 3> present = {1, 1, 1};
    std::array<Complex, 3> out{};
    std::array<std::uint8_t, 3> ok{};
    fitting::kernels[id]({as.data(), present.data(), 1}, {bs.data(), present.data(), 1}, out.data(),
                         ok.data(), 0, as.size());
    for (std::size_t j = 0; j < as.size(); ++j) {
        const std::optional<Complex> expected = row.function(as[j], bs[j]);
        ASSERT_TRUE(expected.has_value()) << row.name;
        EXPECT_EQ(ok[j], 1) << row.name;
        EXPECT_SAME_VALUE(std::optional<Complex>(out[j]), expected) << row.name;
    }
    EXPECT_EQ(fitting::builtin_arity(id), row.arity);
}

INSTANTIATE_TEST_SUITE_P(EveryBuiltin, OperatorTableRow,
                         ::testing::Range<std::size_t>(0, builtin_id::count));

TEST(OperatorTable, EveryRegisteredBuiltinHasARow) {
    EXPECT_EQ(builtins().size(), builtin_table.size());
    EXPECT_EQ(builtin_constants().size() + all_builtins().size(), builtin_table.size());
}

// ---- Registry --------------------------------------------------------------------------------

TEST(Registry, IdsByArity) {
    const OperatorRegistry& registry = builtins();
    EXPECT_EQ(registry.ids_by_arity(0), (std::vector<std::size_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(registry.ids_by_arity(1),
              (std::vector<std::size_t>{6, 7, 12, 13, 14, 15, 16, 17, 18, 19, 20}));
    EXPECT_EQ(registry.ids_by_arity(2), (std::vector<std::size_t>{5, 8, 9, 10, 11}));
    EXPECT_TRUE(registry.ids_by_arity(3).empty());
}

TEST(Registry, MetasOfTheBuiltins) {
    const char* names[] = {"0",    "1",    "I",     "Pi",       "E",      "KOV",    "Neg",
                           "Inv",  "Plus", "Times", "Subtract", "Divide", "Exp",    "Log",
                           "Sqrt", "Sin",  "Cos",   "Tan",      "ArcSin", "ArcCos", "ArcTan"};
    const OperatorRegistry& registry = builtins();
    ASSERT_EQ(registry.size(), builtin_id::count);
    ASSERT_EQ(registry.metas().size(), registry.operators().size());
    for (std::size_t id = 0; id < registry.size(); ++id) {
        const OperatorMeta& meta = registry.meta(id);
        EXPECT_EQ(meta.name, names[id]);
        EXPECT_EQ(meta.name, registry.op(id).name());
        EXPECT_EQ(meta.arity, registry.op(id).arity());
        EXPECT_EQ(meta.is_commutative, id == builtin_id::plus || id == builtin_id::times) << id;
    }
}

TEST(Registry, RegisteringTheSameTypeTwiceGivesTwoIds) {
    OperatorRegistry registry;
    registry.register_operator(std::make_unique<Sin>());
    registry.register_operator(std::make_unique<Plus>());
    registry.register_operator(std::make_unique<Sin>());
    ASSERT_EQ(registry.size(), 3u);
    EXPECT_EQ(registry.meta(0).name, registry.meta(2).name);
    EXPECT_EQ(registry.meta(0).arity, registry.meta(2).arity);
    EXPECT_EQ(registry.ids_by_arity(1), (std::vector<std::size_t>{0, 2}));
    EXPECT_EQ(registry.ids_by_arity(2), (std::vector<std::size_t>{1}));
}

// Records the order in which registration queries the operator.
class RecordingOperator final : public Operator {
public:
    explicit RecordingOperator(std::string* log) : log_(log) {}
    void debug_text(std::ostream& out) const override { out << "RecordingOperator"; }
    std::string name() const override {
        *log_ += "name ";
        return "Rec";
    }
    std::uint8_t arity() const override {
        *log_ += "arity ";
        return 3;
    }
    bool is_commutative() const override {
        *log_ += "commutative";
        return true;
    }
    std::optional<Complex> eval(std::span<const Complex>) const override { return std::nullopt; }
    std::string to_latex(std::span<const std::string>) const override { return {}; }
    std::string to_python(std::span<const std::string>) const override { return {}; }

private:
    std::string* log_;
};

TEST(Registry, RegistrationReadsNameArityCommutativityInOrder) {
    std::string log;
    OperatorRegistry registry;
    registry.register_operator(std::make_unique<RecordingOperator>(&log));
    EXPECT_EQ(log, "name arity commutative");
    EXPECT_EQ(registry.meta(0).name, "Rec");
    EXPECT_EQ(registry.meta(0).arity, 3);
    EXPECT_TRUE(registry.meta(0).is_commutative);
    EXPECT_EQ(registry.ids_by_arity(3), (std::vector<std::size_t>{0}));
}

TEST(Registry, AllBuiltinsInRegistrationOrder) {
    const std::vector<std::unique_ptr<Operator>> ops = all_builtins();
    ASSERT_EQ(ops.size(), 16u);
    for (std::size_t i = 0; i < ops.size(); ++i) {
        EXPECT_EQ(ops[i]->name(), builtins().meta(builtin_id::kov + i).name);
    }
}

// ---- Renderings ------------------------------------------------------------------------------

struct RenderingCase {
    std::size_t id;
    const char* type_name;
    const char* latex;
    const char* python;
    const char* mathematica;
};

const RenderingCase rendering_cases[] = {
    {kov, "Kov", "e^{x} - \\ln(y)", "(np.exp(x) - np.log(y))", "KOV[x, y]"},
    {neg, "Neg", "(-x)", "(-(x))", "Neg[x]"},
    {inv, "Inv", "\\frac{1}{x}", "(1/(x))", "Inv[x]"},
    {plus, "Plus", "x + y", "(x)+(y)", "Plus[x, y]"},
    {times, "Times", "x \\cdot y", "(x)*(y)", "Times[x, y]"},
    {subtract, "Subtract", "x - y", "(x)-(y)", "Subtract[x, y]"},
    {divide, "Divide", "\\frac{x}{y}", "((x)/(y))", "Divide[x, y]"},
    {exp, "Exp", "e^{x}", "np.exp(x)", "Exp[x]"},
    {log, "Log", "\\ln(x)", "np.log(x)", "Log[x]"},
    {sqrt, "Sqrt", "\\sqrt{x}", "np.sqrt(x)", "Sqrt[x]"},
    {sin, "Sin", "\\sin(x)", "np.sin(x)", "Sin[x]"},
    {cos, "Cos", "\\cos(x)", "np.cos(x)", "Cos[x]"},
    {tan, "Tan", "\\tan(x)", "np.tan(x)", "Tan[x]"},
    {arcsin, "ArcSin", "\\arcsin(x)", "np.arcsin(x)", "ArcSin[x]"},
    {arccos, "ArcCos", "\\arccos(x)", "np.arccos(x)", "ArcCos[x]"},
    {arctan, "ArcTan", "\\arctan(x)", "np.arctan(x)", "ArcTan[x]"},
    {zero, "ConstOp", "0", "0", "0"},
    {one, "ConstOp", "1", "1", "1"},
    {imaginary_unit, "ConstOp", "i", "1j", "I"},
    {builtin_id::pi, "ConstOp", "\\pi", "np.pi", "Pi"},
    {builtin_id::e, "ConstOp", "e", "np.e", "E"},
};

TEST(Registry, Renderings) {
    const std::vector<std::string> two = {"x", "y"};
    for (const RenderingCase& c : rendering_cases) {
        const Operator& op = builtins().op(c.id);
        // Operators read only the first arity() operands; constants get none.
        const std::span<const std::string> operands(two.data(), op.arity());
        EXPECT_EQ(op.to_latex(operands), c.latex) << c.type_name;
        EXPECT_EQ(op.to_python(operands), c.python) << c.type_name;
        EXPECT_EQ(op.to_mathematica(operands), c.mathematica) << c.type_name;
        if (op.arity() == 1) {
            EXPECT_EQ(op.to_latex(two), c.latex) << "extra operand ignored";
        }
        std::ostringstream debug;
        op.debug_text(debug);
        EXPECT_NE(debug.str().find(c.type_name), std::string::npos) << debug.str();
    }
}

TEST(Registry, NestedLatexHasNoGrouping) {
    const OperatorRegistry& registry = builtins();
    const std::vector<std::string> inner = {"a", "b"};
    const std::vector<std::string> outer = {registry.op(plus).to_latex(inner), "c"};
    EXPECT_EQ(registry.op(times).to_latex(outer), "a + b \\cdot c");
}

TEST(Registry, ConstOpDebugTextNamesItsFields) {
    std::ostringstream debug;
    builtins().op(builtin_id::pi).debug_text(debug);
    const std::string text = debug.str();
    for (const char* piece :
         {"ConstOp", "name", "Pi", "latex", "\\pi", "python", "np.pi", "value", "re", "im"}) {
        EXPECT_NE(text.find(piece), std::string::npos) << piece << " in " << text;
    }
}

}  // namespace
}  // namespace kov
