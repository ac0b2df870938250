import cmath
import contextlib
import io
import math
import sys

import pytest

import kov_sr
from kov_sr.export import to_sympy, with_names

sympy = pytest.importorskip("sympy")
v0, v1 = sympy.symbols("v_0 v_1", real=True)


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("v_{0}", v0),
        ("Exp(v_{0})", sympy.exp(v0)),
        ("KOV(v_{0}, v_{1})", sympy.exp(v0) - sympy.log(v1)),
        ("Plus(Pi, E)", sympy.pi + sympy.E),
        ("Times(I, v_{0})", sympy.I * v0),
        ("Subtract(0, 1)", sympy.Integer(-1)),
        ("Divide(v_{1}, Neg(v_{0}))", -v1 / v0),
        ("Inv(Sqrt(v_{0}))", 1 / sympy.sqrt(v0)),
        ("Log(Sin(Cos(Tan(v_{0}))))", sympy.log(sympy.sin(sympy.cos(sympy.tan(v0))))),
        ("ArcSin(ArcCos(ArcTan(v_{0})))", sympy.asin(sympy.acos(sympy.atan(v0)))),
        ("Plus(Times(v_{0}, 2.5), -1.3e-05)", 2.5 * v0 - sympy.Float("1.3e-05", precision=53)),
        ("Times(v_{1}, 1e+20)", sympy.Float("1e20", precision=53) * v1),
    ],
)
def test_formula_text_becomes_sympy(text, expected):
    assert to_sympy(text) == expected


@pytest.mark.parametrize("number", [0.1, -2.718281828459045, 1e-300, 123456789.12345679, 5e-324])
def test_fitted_numbers_are_the_exact_doubles(number):
    coefficient = to_sympy(f"Times(v_{{0}}, {number!r})").coeff(v0)
    assert float(coefficient) == number
    assert sympy.Rational(coefficient) == sympy.Rational(*number.as_integer_ratio())


def test_feature_names_name_the_symbols():
    time = sympy.Symbol("time", positive=True)
    assert to_sympy("Times(v_{0}, v_{1})", ["rate", time]) == sympy.Symbol("rate", real=True) * time
    with pytest.raises(ValueError, match="uses input variable 1 but only 1 feature names"):
        to_sympy("Plus(v_{0}, v_{1})", ["rate"])


@pytest.mark.parametrize(
    ("text", "reason"),
    [
        ("", "ends too early"),
        ("Plus(1, 2", "ends too early"),
        ("Plus(1)", "expected ','"),
        ("Exp(1, 2)", "expected '\\)'"),
        ("Gamma(v_{0})", "unknown name 'Gamma'"),
        ("Exp(v_{0}) Pi", "unexpected text"),
        ("Exp[v_{0}]", "cannot read formula"),
    ],
)
def test_malformed_texts_are_refused(text, reason):
    with pytest.raises(ValueError, match=reason):
        to_sympy(text)


def test_with_names_replaces_every_variable():
    text = "Plus(v_{0}, Times(v_{1}, KOV(v_{10}, v_{0})))"
    names = ["t", "speed"] + [f"n{k}" for k in range(2, 11)]
    assert with_names(text, names) == "Plus(t, Times(speed, KOV(n10, t)))"
    assert with_names("e^{v_{1}}", names, str.upper) == "e^{SPEED}"


def _search_results():
    """Pareto lists of a few searches: a mix of unary, binary, constant and fitted formulas."""
    rows = [[0.25 * k, 1.5 - 0.2 * k] for k in range(1, 13)]
    targets = [
        [math.exp(x) for x, _ in rows],
        [math.sqrt(x) * math.pi for x, _ in rows],
        [2.5 * x - 1.25 for x, _ in rows],
        [math.log(x + 1.0) for x, _ in rows],
        [x * y for x, y in rows],
        [math.sin(y) / x for x, y in rows],
    ]
    searcher = kov_sr.Searcher(max_complexity=5, beam_width=60)
    results = []
    with contextlib.redirect_stdout(io.StringIO()):
        for ys in targets:
            results += searcher.find_candidates(rows, ys)
    return results


def test_sympy_expression_computes_what_the_result_computes():
    points = [[0.3, 0.7], [1.7, -2.2], [2.9, 1.1], [-0.6, 0.4]]
    for result in _search_results():
        expression = to_sympy(result)
        for point in points:
            expected = result.eval(point)
            if math.isnan(expected):
                continue  # the formula has no value there (a division by zero, say)
            values = {
                v0: sympy.Float(point[0], precision=53),
                v1: sympy.Float(point[1], precision=53),
            }
            value = complex(expression.evalf(30, subs=values))
            assert cmath.isclose(value.real, expected, rel_tol=1e-9, abs_tol=1e-12), (
                result.formula,
                point,
            )


def test_missing_sympy_is_named(monkeypatch):
    monkeypatch.setitem(sys.modules, "sympy", None)  # makes `import sympy` fail
    with pytest.raises(ImportError, match=r"pip install 'kov-sr\[sympy\]'"):
        to_sympy("v_{0}")


def test_every_operator_of_the_table_has_a_sympy_form():
    from kov_sr import _core
    from kov_sr._formula_reader import sympy_constructions as _sympy_constructions

    constructions = _sympy_constructions(sympy)
    assert [name for name, _ in _core._operators] == list(constructions)
    x, y = sympy.symbols("x y")
    for name, arity in _core._operators:
        assert isinstance(constructions[name](*(x, y)[:arity]), sympy.Basic), name
