"""The description length of results and the selected formula of a Pareto list."""

import contextlib
import io
import math
import pickle
import re

import numpy as np
import pytest

import kov_sr
from kov_sr import _core

XS = np.linspace(0.5, 3.0, 40)
NOISE = np.random.default_rng(0).normal(0.0, 1.0, XS.size)

# (targets, the formula the data support); the noisy fronts hold more complex formulas that are
# (slightly) more accurate because they fit the noise.
KNOWN_FRONTS = {
    "exact sum": (np.exp(XS) + XS, "Plus(v_{0}, Exp(v_{0}))"),
    "exact square": (XS * XS, "Times(v_{0}, v_{0})"),
    "noisy square": (XS * XS + 0.05 * NOISE, "Times(v_{0}, v_{0})"),
    "noisy exponential": (np.exp(XS) * (1.0 + 0.01 * NOISE), "Exp(v_{0})"),
}


def quiet(call, *args):
    with contextlib.redirect_stdout(io.StringIO()):
        return call(*args)


@pytest.fixture(scope="module")
def searcher():
    return kov_sr.Searcher(max_complexity=7, beam_width=300)


@pytest.mark.parametrize("name", KNOWN_FRONTS)
def test_the_supported_formula_is_selected(searcher, name):
    ys, expected = KNOWN_FRONTS[name]
    candidates = quiet(searcher.find_candidates, XS[:, None], ys)
    assert len(candidates) >= 2
    assert kov_sr.select(candidates).formula == expected
    assert quiet(searcher.find_selected, XS[:, None], ys).formula == expected
    if name.startswith("noisy"):
        # The selection differs from the most accurate formula, which fitted the noise.
        assert candidates[0].formula != expected


def test_selection_is_deterministic(searcher):
    ys = KNOWN_FRONTS["noisy exponential"][0]
    picked = [quiet(searcher.find_selected, XS[:, None], ys) for _ in range(2)]
    assert [repr(r) for r in picked] == [repr(picked[0])] * 2
    assert picked[0].description_length == picked[1].description_length


def test_every_result_carries_a_finite_value(searcher, fitted_candidates):
    results = [*fitted_candidates, quiet(searcher.recognize_constant, math.pi)]
    assert all(math.isfinite(r.description_length) for r in results)


def test_the_value_survives_pickling(fitted_candidates):
    for result in fitted_candidates:
        copy = pickle.loads(pickle.dumps(result))
        assert copy.description_length == result.description_length


OLD_STATE = (
    1,
    ((2, 0, 0, 0, 0.0, 0.0), (0, 0, 0, 3, math.pi, 0.0), (4, 2, 0, 8, 0.0, 0.0)),
    "Plus(v_{0}, Pi)",
    3,
    1,
    0.5,
)


@pytest.mark.parametrize(
    ("state", "expected"),
    [
        (OLD_STATE, math.nan),
        ((2, *OLD_STATE[1:], -3.25, None), -3.25),
        ((2, *OLD_STATE[1:], math.inf, None), math.inf),
    ],
)
def test_states_of_both_layouts_load(state, expected):
    result = _core._rebuild_result(state)
    assert result.formula == "Plus(v_{0}, Pi)"
    value = result.description_length
    assert value == expected or (math.isnan(value) and math.isnan(expected))


@pytest.mark.parametrize(
    ("state", "error"),
    [
        ((2, *OLD_STATE[1:]), ValueError),  # layout 2 without its value
        ((1, *OLD_STATE[1:], 0.0, None), ValueError),  # layout 1 with them
        ((2, *OLD_STATE[1:], 1, None), TypeError),
        ((3, *OLD_STATE[1:], 0.0, None), ValueError),
        ((), ValueError),
    ],
)
def test_bad_states_are_refused(state, error):
    with pytest.raises(error, match="invalid pickled state"):
        _core._rebuild_result(state)


def test_select_refuses_what_it_cannot_compare(fitted_candidates):
    with pytest.raises(ValueError, match="at least one candidate"):
        kov_sr.select([])
    old = _core._rebuild_result(OLD_STATE)
    with pytest.raises(ValueError, match="candidate 1 has no description length"):
        kov_sr.select([fitted_candidates[0], old])


def test_select_takes_the_earliest_of_equal_values(fitted_candidates):
    first = fitted_candidates[-1]
    twin = pickle.loads(pickle.dumps(first))
    assert kov_sr.select([first, twin]) is first
    assert kov_sr.select([twin, first]) is twin
    assert kov_sr.select(iter(fitted_candidates)) is kov_sr.select(list(fitted_candidates))


# Snapping inside the thorough search: simple numbers come back exact, others stay fitted.
SNAPPED_NUMBERS = {
    "exact line": (lambda x: 2.5 * x + 1.3, 0.0, [1.3, 2.5]),
    "noisy two pi": (lambda x: 2.0 * np.pi * x, 0.01, [2.0 * np.pi]),
    "gravity stays": (lambda x: 9.81 * x, 0.0, [9.81]),
}


@pytest.mark.parametrize("name", SNAPPED_NUMBERS)
def test_the_selected_formula_holds_the_snapped_numbers(name):
    truth, level, numbers = SNAPPED_NUMBERS[name]
    rng = np.random.default_rng(5)
    xs = rng.uniform(1.0, 5.0, 100)
    ys = truth(xs)
    ys = ys + rng.normal(0.0, level * math.sqrt(np.mean(ys**2)), xs.size)
    searcher = kov_sr.Searcher(5, strategy="thorough")
    result = quiet(searcher.find_selected, xs[:, None], ys)
    values = sorted(float(token) for token in re.findall(r"-?\d+\.\d+(?:e[-+]?\d+)?", result.formula))
    assert values == sorted(numbers), result.formula
