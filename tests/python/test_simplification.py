"""Simplified formulas compute the formula's real part on the data, and read simply."""

import math
import re
import signal
import threading
import time

import numpy as np
import pytest

sympy = pytest.importorskip("sympy")
mpmath = pytest.importorskip("mpmath")

from kov_sr import _core  # noqa: E402
from kov_sr.export import simplified_text, simplify  # noqa: E402

OPERATORS = {"KOV": 5, "Neg": 6, "Inv": 7, "Plus": 8, "Times": 9, "Subtract": 10, "Divide": 11,
             "Exp": 12, "Log": 13, "Sqrt": 14, "Sin": 15, "Cos": 16, "Tan": 17, "ArcSin": 18,
             "ArcCos": 19, "ArcTan": 20}
CONSTANTS = {"0": (0, 0.0, 0.0), "1": (1, 1.0, 0.0), "I": (2, 0.0, 1.0), "Pi": (3, math.pi, 0.0),
             "E": (4, math.e, 0.0)}
TOKEN = re.compile(r"\s*(v_\{\d+\}|[-+]?\d+\.\d*(?:e[-+]?\d+)?|[A-Za-z]+|\d|[(),])")


def result_of(text):
    """A SearchResult for a formula text, through the pickle reconstructor."""
    pieces = TOKEN.findall(text)
    tokens, position = [], 0

    def walk():
        nonlocal position
        piece = pieces[position]
        position += 1
        if piece.startswith("v_"):
            tokens.append((2, 0, int(piece[3:-1]), 0, 0.0, 0.0))
        elif piece in CONSTANTS:
            index, re_part, im_part = CONSTANTS[piece]
            tokens.append((0, 0, 0, index, re_part, im_part))
        elif piece in OPERATORS:
            position += 1  # (
            walk()
            arity = 1
            if pieces[position] == ",":
                position += 1
                walk()
                arity = 2
            position += 1  # )
            tokens.append((4, arity, 0, OPERATORS[piece], 0.0, 0.0))
        else:
            tokens.append((1, 0, 0, 0, float(piece), 0.0))

    walk()
    variables = max((t[2] + 1 for t in tokens if t[0] == 2), default=0)
    return _core._rebuild_result((1, tuple(tokens), text, len(tokens), variables, 0.0))


# (formula, rows of its data, the simplified text with those rows, and without rows). The rows are
# the domain on which the simplified form must compute the engine's real part.
UNIT = [[x] for x in np.linspace(-0.95, 0.95, 9)]
POSITIVE = [[x] for x in np.linspace(0.5, 3.0, 7)]
WIDE = [[x] for x in np.linspace(-3.0, 3.0, 8)]
THREE = [[a, b, c] for a in (0.5, -1.5) for b in (2.0, 0.25) for c in (-3.0, 1.5)]
CASES = [
    ("Times(ArcSin(3.141592653589793), Divide(Times(v_{0}, v_{1}), Divide(3.1415926535897927, v_{2})))",
     THREE, "v_0*v_1*v_2/2", "v_0*v_1*v_2/2"),
    ("Sin(ArcCos(v_{0}))", UNIT, "sqrt(1 - v_0**2)", "re(sqrt(1 - v_0**2))"),
    ("Sin(ArcCos(v_{0}))", WIDE, "re(sqrt(1 - v_0**2))", "re(sqrt(1 - v_0**2))"),
    ("Plus(Pi, Pi)", POSITIVE, "2*pi", "2*pi"),
    ("Times(I, ArcSin(2.0))", POSITIVE, "acosh(2)", "acosh(2)"),
    ("Times(I, ArcCos(Neg(2.0)))", POSITIVE, "acosh(2)", "acosh(2)"),
    ("Times(0.5, Sqrt(v_{0}))", POSITIVE, "sqrt(v_0)/2", "re(sqrt(v_0)/2)"),
    ("Sqrt(v_{0})", WIDE, "re(sqrt(v_0))", "re(sqrt(v_0))"),
    ("Times(9.81, v_{0})", WIDE, "9.81*v_0", "9.81*v_0"),
    ("Exp(Times(I, v_{0}))", WIDE, "cos(v_0)", "cos(v_0)"),
    ("Log(Neg(v_{0}))", POSITIVE, "log(v_0)", None),
    ("KOV(v_{0}, Divide(v_{0}, 2.718281828459045))", POSITIVE, "exp(v_0) - log(v_0) + 1", None),
    ("ArcCos(Times(3.0, v_{0}))", UNIT, None, None),
    ("Times(Tan(v_{0}), ArcTan(Inv(v_{0})))", WIDE, None, None),
    ("Subtract(Sqrt(Neg(v_{0})), Times(I, Sqrt(v_{0})))", WIDE, None, None),
]


def real_values(expression, symbols, rows):
    function = sympy.lambdify(symbols, expression, modules="mpmath")
    values = []
    for row in rows:
        value = mpmath.mpc(function(*(mpmath.mpf(x) for x in row)))
        assert abs(value.imag) <= 1e-12 * max(1.0, abs(value.real)), value
        values.append(float(value.real))
    return values


@pytest.mark.parametrize(("formula", "rows", "with_rows", "without_rows"), CASES)
def test_the_simplified_form_computes_the_real_part_on_the_data(
    formula, rows, with_rows, without_rows
):
    result = result_of(formula)
    expected = result.eval_batch(rows)
    for given_rows in (rows, None):
        simplified = simplify(result, inputs=given_rows)
        symbols = sorted(simplified.free_symbols, key=lambda s: s.name)
        names = [f"v_{i}" for i in range(len(rows[0]))]
        ordered = [next((s for s in symbols if s.name == n), sympy.Symbol(n)) for n in names]
        values = real_values(simplified, ordered, rows)
        for value, engine in zip(values, expected, strict=True):
            if not math.isnan(engine):
                assert value == pytest.approx(engine, rel=1e-9, abs=1e-9), (formula, simplified)
        text = with_rows if given_rows is not None else without_rows
        if text is not None:
            assert sympy.sstr(simplified) == text


def test_the_formula_text_works_like_the_result():
    formula = "Sin(ArcCos(v_{0}))"
    assert simplified_text(formula, inputs=UNIT) == simplified_text(result_of(formula), inputs=UNIT)
    assert simplified_text(formula, ["x"]) == "re(sqrt(1 - x**2))"


@pytest.mark.parametrize(
    ("number", "shown"),
    [
        ("3.1415926535897927", "pi*v_0"),  # one unit in the last place below pi
        ("2.0", "2*v_0"),
        ("0.5", "v_0/2"),
        ("-0.3333333333333333", "-v_0/3"),
        ("1.5707963267948966", "pi*v_0/2"),
        ("1.4142135623730951", "sqrt(2)*v_0"),
        ("7.38905609893065", "v_0*exp(2)"),
        ("0.6931471805599453", "v_0*log(2)"),
        ("0.3989422804014327", "sqrt(2)*v_0/(2*sqrt(pi))"),
        ("9.81", "9.81*v_0"),
        ("3.1416", "3.1416*v_0"),
        ("0.33333", "0.33333*v_0"),
        ("1.0000000000001", "1.0000000000001*v_0"),
        ("3.141592653589795", "3.141592653589795*v_0"),  # nine units away from pi
    ],
)
def test_fitted_numbers_are_simple_only_when_exact_to_rounding(number, shown):
    assert simplified_text(f"Times({number}, v_{{0}})") == shown


SLOW = "Times(Plus(Sin(v_{0}), Cos(v_{0})), Plus(Sin(v_{0}), Cos(v_{0})))"


@pytest.mark.parametrize("on_main_thread", [True, False])
def test_a_slow_simplification_falls_back_to_the_unsimplified_value(on_main_thread, monkeypatch):
    outcome = []

    # SymPy simplifies SLOW in milliseconds once its cache is warm, less than a loaded machine may
    # take to wake the waiting thread: a simplification that sleeps is slow for sure.
    def slow_simplify(expression, *args, **kwargs):
        time.sleep(5.0)
        return expression

    def run():
        outcome.append(simplify(SLOW, inputs=POSITIVE, time_limit=0.05))

    with monkeypatch.context() as patched:
        patched.setattr(sympy, "simplify", slow_simplify)
        if on_main_thread:
            run()
        else:
            helper = threading.Thread(target=run)
            helper.start()
            helper.join()
    x = sympy.Symbol("v_0", positive=True)
    assert outcome == [(sympy.sin(x) + sympy.cos(x)) ** 2]
    assert simplify(SLOW, inputs=POSITIVE) != outcome[0]
    assert signal.getsignal(signal.SIGALRM) == signal.SIG_DFL  # the timer's handler is gone


def test_feature_names_and_rows_must_cover_the_variables():
    with pytest.raises(ValueError, match="only 1 feature names"):
        simplify("Plus(v_{0}, v_{1})", ["x"])
    with pytest.raises(ValueError, match="row is shorter"):
        simplify("Plus(v_{0}, v_{1})", inputs=[[1.0]])
