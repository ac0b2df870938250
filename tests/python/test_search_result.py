"""SearchResult: properties, repr, renderings and evaluation."""

import cmath
import gc
import math
import re

import numpy as np
import pytest

import kov_sr
from conftest import EXP_YS, XS, bits, list_bits

NAN = float("nan")


def best_seed(target):
    """The only candidate of a one-level search on the point 0: the constant 0 for a target far
    below every other seed, with error exactly |target|."""
    return kov_sr.Searcher(max_complexity=1).find_candidates([[0.0]], [target])


@pytest.mark.parametrize("target, text", [
    (-1234.5, "SearchResult(formula='0', error=1.234500e3, complexity=1)"),
    (-0.00012345678, "SearchResult(formula='0', error=1.234568e-4, complexity=1)"),
    (-1e-10, "SearchResult(formula='0', error=1.000000e-10, complexity=1)"),
    (-9.9999995e5, "SearchResult(formula='0', error=9.999999e5, complexity=1)"),
    (-9.99999951e5, "SearchResult(formula='0', error=1.000000e6, complexity=1)"),
    (-1e300, None),
])
def test_repr_writes_the_error_in_exponent_notation(target, text):
    try:
        (result,) = best_seed(target)
    except kov_sr.KovComplexityError:
        assert text is None  # the squared error overflows: nothing has a finite error
        return
    assert repr(result) == text
    assert str(result) == text


def test_repr_of_an_exact_formula(exp_result):
    assert repr(exp_result) == "SearchResult(formula='Exp(v_{0})', error=0.000000e0, complexity=2)"


def reference_exponent_notation(value):
    mantissa, exponent = f"{value:.6e}".split("e")
    return f"{mantissa}e{int(exponent)}"


def test_repr_of_every_candidate(fitted_candidates):
    for result in fitted_candidates:
        assert repr(result) == (f"SearchResult(formula='{result.formula}', "
                                f"error={reference_exponent_notation(result.error)}, "
                                f"complexity={result.complexity})")


def test_properties(exp_result):
    assert exp_result.formula == "Exp(v_{0})"
    assert bits(exp_result.error) == bits(0.0)
    assert exp_result.complexity == 2 and type(exp_result.complexity) is int
    assert exp_result.formula is not exp_result.formula  # a fresh str on each read
    with pytest.raises(AttributeError):
        exp_result.error = 1.0


def test_renderings_of_an_unfitted_result(exp_result):
    assert exp_result.to_latex() == "e^{v_{0}}"
    assert exp_result.to_python() == "np.exp(v_{0})"


@pytest.mark.parametrize("target, formula, latex, python", [
    (math.pi, "Pi", "\\pi", "np.pi"),
    (math.e, "E", "e", "np.e"),
    (-math.pi, "Neg(Pi)", "(-\\pi)", "(-(np.pi))"),
    (math.exp(math.pi), "Exp(Pi)", "e^{\\pi}", "np.exp(np.pi)"),
])
def test_renderings_of_recognised_constants(target, formula, latex, python):
    result = kov_sr.Searcher(max_complexity=2).recognize_constant(target)
    assert (result.formula, result.to_latex(), result.to_python()) == (formula, latex, python)


# Numbers that fitting wrote into the formula (Python's float repr always has a point, an exponent,
# "inf" or "nan"; the constants 0 and 1 have none) and the four-decimal numbers of the renderings.
FITTED_NUMBER = re.compile(r"(?<![\w{])-?(?:\d+\.\d*(?:e[+-]?\d+)?|\d+e[+-]?\d+|inf|nan)")
FOUR_DECIMALS = re.compile(r"(?<![\w{])-?(?:\d+\.\d{4}|inf|NaN)")


def fitted_results(candidates):
    found = [r for r in candidates if FITTED_NUMBER.search(r.formula)]
    assert found, "the search fitted no constants"
    return found


def test_fitted_numbers_render_with_four_decimals(fitted_candidates):
    for result in fitted_results(fitted_candidates):
        numbers = [float(n) for n in FITTED_NUMBER.findall(result.formula)]
        expected = [f"{n:.4f}" for n in numbers]
        assert FOUR_DECIMALS.findall(result.to_latex()) == expected
        assert FOUR_DECIMALS.findall(result.to_python()) == expected


# The composition format as Python functions of complex numbers, to read a formula text back.
FORMULA_FUNCTIONS = {
    "KOV": lambda a, b: cmath.exp(a) - cmath.log(b), "Neg": lambda a: -a, "Inv": lambda a: 1 / a,
    "Plus": lambda a, b: a + b, "Times": lambda a, b: a * b, "Subtract": lambda a, b: a - b,
    "Divide": lambda a, b: a / b, "Exp": cmath.exp, "Log": cmath.log, "Sqrt": cmath.sqrt,
    "Sin": cmath.sin, "Cos": cmath.cos, "Tan": cmath.tan, "ArcSin": cmath.asin,
    "ArcCos": cmath.acos, "ArcTan": cmath.atan, "Pi": math.pi, "E": math.e, "I": 1j,
}


def evaluate_formula_text(formula, x):
    source = formula.replace("v_{0}", "x")
    return eval(source, {"__builtins__": {}}, {**FORMULA_FUNCTIONS, "x": complex(x, 0.0)})


def test_fitted_formula_text_carries_the_fitted_values(fitted_candidates):
    # The text alone reproduces the result's values: it holds every fitted number in full.
    for result in fitted_results(fitted_candidates):
        for x in [0.0, 1.5, 4.0]:
            assert evaluate_formula_text(result.formula, x).real == pytest.approx(
                result.eval(x), rel=1e-12, abs=1e-12)


def test_to_latex_of_a_variable(variable_results):
    assert variable_results[0].to_latex() == "v_{0}"
    assert variable_results[3].to_python() == "v_{3}"


@pytest.mark.parametrize("x", [2, 2.0, [2.0], (2,), np.float64(2.0), np.float32(2.0),
                               np.array(2.0), np.array([2.0]), True + 1])
def test_eval_of_one_value(exp_result, x):
    assert bits(exp_result.eval(x)) == bits(math.exp(2.0))


def test_eval_of_a_list_is_one_point(variable_results):
    value = variable_results[1].eval([1.0, 2.0])
    assert type(value) is float and bits(value) == bits(2.0)


@pytest.mark.parametrize("x", ["1.5", None, [1.0, "a"], [[1.0]], {1.0: 2.0}, np.arange(4.0)[::2],
                               2 ** 2000, object()])
def test_eval_rejections(exp_result, x):
    with pytest.raises(ValueError) as info:
        exp_result.eval(x)
    assert info.value.args == ("Input must be a float or a 1D list/array",)


@pytest.mark.parametrize("x, expected", [
    ([], NAN),  # no variable 0
    (1000.0, NAN),  # exp overflows: the evaluator refuses the value
    (NAN, NAN),
    (float("inf"), NAN),
    (-float("inf"), 0.0),
    ([1.0, 99.0], math.e),  # surplus values are ignored
])
def test_eval_edge_values(exp_result, x, expected):
    assert bits(exp_result.eval(x)) == bits(expected)


def test_eval_batch_and_predict(exp_result):
    rows = [[0.0], [1.0], [], [2.0, 5.0], [1000.0], [NAN]]
    expected = [1.0, math.e, NAN, math.exp(2.0), NAN, NAN]
    assert list_bits(exp_result.eval_batch(rows)) == list_bits(expected)
    assert list_bits(exp_result.predict(rows)) == list_bits(expected)
    assert list_bits(exp_result.predict(inputs=np.array([[0.0], [1.0]]))) == list_bits(
        [1.0, math.e])
    assert exp_result.eval_batch([]) == []


def test_eval_batch_rejects_a_flat_list(exp_result):
    with pytest.raises(ValueError) as info:
        exp_result.eval_batch([1.0, 2.0])
    assert str(info.value) == "Input must be a 2D list or 2D NumPy array of floats"


def test_complex_values_give_their_real_part():
    result = kov_sr.Searcher().find_function([1.0, 4.0, 9.0, 16.0], [1.0, 2.0, 3.0, 4.0])
    assert result.formula == "Sqrt(v_{0})"
    # Sqrt(-4 + 0i) = 0 + 2i
    assert bits(result.eval(-4.0)) == bits(0.0)
    assert list_bits(result.eval_batch([[-4.0], [4.0]])) == list_bits([0.0, 2.0])


@pytest.mark.parametrize("call", [
    lambda r: r.eval(), lambda r: r.eval(1.0, 2.0), lambda r: r.eval(y=1.0),
    lambda r: r.eval_batch(), lambda r: r.predict([[1.0]], [[2.0]]), lambda r: r.to_latex(1),
])
def test_bad_calls(exp_result, call):
    with pytest.raises(TypeError):
        call(exp_result)


def test_a_result_outlives_its_searcher():
    searcher = kov_sr.Searcher()
    result = searcher.find_function(XS, EXP_YS)
    del searcher
    gc.collect()
    assert result.to_latex() == "e^{v_{0}}"
    assert bits(result.eval(1.0)) == bits(math.e)
