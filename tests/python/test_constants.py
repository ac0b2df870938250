"""Constant recognition: real answers, integers, ranked candidates and the precision report."""

import math
import pickle

import pytest

import kov_sr
from kov_sr.export import to_sympy

sympy = pytest.importorskip("sympy")

SMALL = kov_sr.Searcher(max_complexity=6)


def imaginary_part(result):
    return abs(complex(sympy.N(to_sympy(result), 30)).imag)


@pytest.mark.parametrize("value, formula", [
    # Exp(I) has real part cos 1 and was the answer; an answer must be real.
    (math.cos(1.0), "Cos(1)"),
    # Complex building blocks still serve: Cos(I) is cosh 1.
    (math.cosh(1.0), "Cos(I)"),
    (-1.0, "Neg(1)"),
])
def test_answers_are_real(value, formula):
    result = SMALL.recognize_constant(value)
    assert result.formula == formula
    assert imaginary_part(result) <= 1e-12 * max(1.0, abs(value))


def test_approximate_answers_are_real_too():
    result = kov_sr.Searcher(max_complexity=5).recognize_constant(3.7)
    assert imaginary_part(result) <= 1e-12 * 3.7
    assert result.within_precision is False


@pytest.mark.parametrize("value, formula, latex, python, exact", [
    (3 / 8, "Divide(3, 8)", r"\frac{3}{8}", "((3)/(8))", sympy.Rational(3, 8)),
    (2 ** (1 / 3), "Exp(Divide(Log(2), 3))", r"e^{\frac{\ln(2)}{3}}", "np.exp(((np.log(2))/(3)))",
     sympy.cbrt(2)),
    (math.sqrt(3) / 2, None, None, None, sympy.sqrt(3) / 2),
    ((1 + math.sqrt(5)) / 2, None, None, None, (1 + sympy.sqrt(5)) / 2),
])
def test_integers_give_short_exact_forms(value, formula, latex, python, exact):
    result = SMALL.recognize_constant(value, integers=True)
    if formula is not None:
        assert (result.formula, result.to_latex(), result.to_python()) == (formula, latex, python)
    assert result.within_precision is True
    assert sympy.simplify(sympy.re(to_sympy(result)) - exact) == 0
    copy = pickle.loads(pickle.dumps(result))
    assert (copy.formula, copy.to_latex(), copy.error, copy.within_precision) == (
        result.formula, result.to_latex(), result.error, True)
    assert copy.eval(0.0) == result.eval(0.0)


@pytest.mark.parametrize("value, formula", [(math.pi ** 2, "Times(Pi, Pi)"), (math.pi, "Pi"),
                                            (-math.e, "Neg(E)")])
def test_written_answers_stay(value, formula):
    result = kov_sr.Searcher().recognize_constant(value)
    assert result.formula == formula
    assert result.within_precision is True


@pytest.mark.parametrize("value, integers, count", [(3.7, True, 8), (math.pi * math.e, False, 5),
                                                    (0.1234, True, 12)])
def test_candidates_best_first_distinct_and_real(value, integers, count):
    searcher = kov_sr.Searcher(max_complexity=5)
    candidates = searcher.recognize_constant_candidates(value, integers=integers, count=count)
    assert 1 <= len(candidates) <= count
    keys = [(c.error, c.complexity) for c in candidates]
    assert keys == sorted(keys)
    best = searcher.recognize_constant(value, integers=integers)
    assert (candidates[0].formula, candidates[0].error) == (best.formula, best.error)
    values = [c.eval(0.0) for c in candidates]
    for i, x in enumerate(values):
        assert all(abs(x - y) > 1e-12 * max(1.0, abs(x)) for y in values[:i])
    for c in candidates:
        assert imaginary_part(c) <= 1e-12 * max(1.0, abs(value))
        assert c.within_precision is (c.error <= 1e-12 * abs(value))


PHI = (1 + sympy.sqrt(5)) / 2


@pytest.mark.parametrize("value, digits, exact, matched", [
    # 1.6180339887 is the golden ratio to 11 digits, not to all of the double's.
    (1.6180339887, None, PHI, False),
    (1.6180339887, 11, PHI, True),
    (3.14159, 6, sympy.pi, True),
    (3.14159, None, None, False),
])
def test_precision_report(value, digits, exact, matched):
    result = SMALL.recognize_constant(value, integers=True, digits=digits)
    assert result.within_precision is matched
    if exact is not None:
        assert sympy.simplify(sympy.re(to_sympy(result)) - exact) == 0


def test_few_digits_limit_the_formulas_tried(capsys):
    # Two digits tell about a dozen values apart near 0.12: the seeds are all it may try.
    result = kov_sr.Searcher().recognize_constant(0.123456, digits=2)
    lines = capsys.readouterr().out.splitlines()
    assert [line for line in lines if "Level 2" in line] == []
    assert result.complexity == 1
    assert result.within_precision is False


def test_other_searches_carry_no_precision_report():
    result = kov_sr.Searcher(max_complexity=2).find_function([1.0, 2.0], [2.0, 4.0])
    assert result.within_precision is None
    assert pickle.loads(pickle.dumps(result)).within_precision is None


@pytest.mark.parametrize("call, error, message", [
    (lambda s: s.recognize_constant(1.0, digits=0), ValueError,
     "digits must be between 1 and 17, not 0"),
    (lambda s: s.recognize_constant(1.0, digits=2.5), TypeError,
     "digits must be an integer, not float"),
    (lambda s: s.recognize_constant_candidates(1.0, count=0), ValueError,
     "count must be between 1 and 1000000, not 0"),
    (lambda s: s.recognize_constant_candidates(1.0, count="3"), TypeError,
     "count must be an integer, not str"),
    (lambda s: s.recognize_constant(1.0, True), TypeError, None),  # keyword-only
    (lambda s: s.recognize_constant_candidates(float("inf")), ValueError, None),
])
def test_bad_options(call, error, message):
    with pytest.raises(error) as info:
        call(SMALL)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("text, expected", [
    ("Divide(Plus(1, Sqrt(5)), 2)", (1 + sympy.sqrt(5)) / 2),
    ("Times(9, 2.0)", 9 * sympy.Float(2.0, precision=53)),
])
def test_sympy_reads_integers_exactly(text, expected):
    assert to_sympy(text) == expected


@pytest.mark.parametrize("change, error", [
    (lambda state: state[:7] + (1,) + state[8:], TypeError),  # within_precision: bool or None
    (lambda state: state[:7], ValueError),  # layout 3 has nine items
    (lambda state: (1,) + state[1:], ValueError),  # layout 1 has six
    # An integer token must hold a whole number, or its text would not say what it computes.
    (lambda state: (state[0], ((5, 0, 0, 0, 2.5, 0.0),) + state[1][1:]) + state[2:], ValueError),
])
def test_damaged_pickled_answers_are_refused(change, error):
    result = SMALL.recognize_constant(3 / 8, integers=True)
    rebuild, (state,) = result.__reduce__()
    assert state[0] == 3 and state[1][0][0] == 5  # layout 3; an integer token comes first
    with pytest.raises(error):
        rebuild(change(state))
