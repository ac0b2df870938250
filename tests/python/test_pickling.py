"""Pickling and copying of SearchResult and Searcher, and the private Pareto entry point."""

import contextlib
import copy
import io
import math
import pathlib
import pickle
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kov_sr
from conftest import EXP_YS, XS, bits, list_bits
from kov_sr import _core

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)

# Points with up to four variables: every result below can be evaluated at them. Negative values
# and -0.0 reach the branches where formulas turn complex or fail.
POINTS = [[0.5, 2.0, -1.25, 3.0], [-0.0, 1e3, 0.25, -7.5], [-2.0, -0.5, 4.0, 0.0], [1.0]]

# Plus(v_{0}, Pi): the base of the garbage states below.
VALID_STATE = (
    1,
    ((2, 0, 0, 0, 0.0, 0.0), (0, 0, 0, 3, math.pi, 0.0), (4, 2, 0, 8, 0.0, 0.0)),
    "Plus(v_{0}, Pi)",
    3,
    1,
    0.5,
)


def quiet(call, *args):
    with contextlib.redirect_stdout(io.StringIO()):
        return call(*args)


@pytest.fixture(scope="module")
def results(exp_result, fitted_candidates, variable_results):
    """Results of several searches: unfitted, fitted (Real tokens), constants, multivariate."""
    searcher = kov_sr.Searcher(max_complexity=4)
    rows = [[a, b] for a in (0.5, 1.5, 2.0) for b in (-1.0, 3.0)]
    return {
        "exp": exp_result,
        **{f"fitted-{i}": result for i, result in enumerate(fitted_candidates)},
        "variable-3": variable_results[3],
        "constant-pi": quiet(searcher.recognize_constant, 1.0 + math.pi),
        # Cos(I) is cosh(1): a formula that needs the imaginary unit.
        "constant-i": quiet(searcher.recognize_constant, math.cosh(1.0)),
        "multivariate": quiet(searcher.find_multivariate, rows, [a * b for a, b in rows]),
    }


RESULT_NAMES = [
    "exp",
    "fitted-0",
    "fitted-1",
    "variable-3",
    "constant-pi",
    "constant-i",
    "multivariate",
]


def observed(result):
    """Everything a caller can see of a result, doubles as bits."""
    return (
        result.formula,
        repr(result),
        bits(result.error),
        result.complexity,
        result.to_latex(),
        result.to_python(),
        [bits(result.eval(point)) for point in POINTS],
        list_bits(result.eval_batch(POINTS)),
        list_bits(result.predict(POINTS)),
    )


def test_the_searches_cover_what_pickling_must_keep(results):
    assert any(token[0] == 1 for token in results["fitted-0"].__reduce__()[1][0][1])  # Real
    assert "I" in results["constant-i"].formula
    assert "v_{1}" in results["multivariate"].formula


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("name", RESULT_NAMES)
def test_result_round_trip_is_bit_identical(results, name, protocol):
    result = results[name]
    data = pickle.dumps(result, protocol)
    restored = pickle.loads(data)
    assert type(restored) is kov_sr.SearchResult
    assert observed(restored) == observed(result)
    # Pickling the copy again gives the same bytes: every token value survived exactly.
    assert pickle.dumps(restored, protocol) == data


@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy])
@pytest.mark.parametrize("name", RESULT_NAMES)
def test_copies_are_bit_identical(results, name, duplicate):
    assert observed(duplicate(results[name])) == observed(results[name])


def test_a_list_of_results_pickles_with_shared_objects(fitted_candidates):
    restored = pickle.loads(pickle.dumps([fitted_candidates, fitted_candidates[0]]))
    assert restored[1] is restored[0][0]
    assert [observed(r) for r in restored[0]] == [observed(r) for r in fitted_candidates]


def test_an_unpickled_result_needs_no_search_in_its_process(results):
    # A fresh interpreter that never ran a search rebuilds, evaluates and renders the result.
    result = results["fitted-0"]
    script = (
        "import pickle, sys\n"
        "r = pickle.loads(sys.stdin.buffer.read())\n"
        f"print(repr(r), r.to_python(), r.eval({POINTS[0]!r}).hex())\n"
    )
    completed = subprocess.run(
        [sys.executable, "-c", script],
        input=pickle.dumps(result),
        capture_output=True,
        check=True,
        timeout=60,
    )
    expected = f"{result!r} {result.to_python()} {result.eval(POINTS[0]).hex()}\n"
    assert completed.stdout.decode() == expected


def test_an_unpickled_result_outlives_its_searcher_and_original():
    searcher = kov_sr.Searcher(max_complexity=3)
    original = quiet(searcher.find_function, XS, EXP_YS)
    expected = observed(original)
    restored = pickle.loads(pickle.dumps(original))
    del searcher, original
    assert observed(restored) == expected


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize(
    "settings",
    [(), (3, -0.0, 7), (0, float("nan"), 0), (2**64 - 1, -3.0, 2**64 - 1), (4, 1e-300, 1)],
)
def test_searcher_round_trip_keeps_its_settings(settings, protocol):
    searcher = kov_sr.Searcher(*settings)
    restored = pickle.loads(pickle.dumps(searcher, protocol))
    assert type(restored) is kov_sr.Searcher
    layout, kept = restored.__reduce__()[1]
    assert layout == 2 and kept.keys() == searcher.__reduce__()[1][1].keys()
    assert kept["max_complexity"] == searcher.max_complexity
    assert kept["beam_width"] == searcher.beam_width
    assert bits(kept["complexity_penalty"]) == bits(searcher.complexity_penalty)


@pytest.mark.parametrize(
    "duplicate", [copy.copy, copy.deepcopy, lambda s: pickle.loads(pickle.dumps(s))]
)
def test_a_copied_searcher_searches_like_the_original(fitted_candidates, duplicate):
    searcher = kov_sr.Searcher(max_complexity=5, complexity_penalty=0.3, beam_width=40)
    rows = [[x] for x in (0.0, 1.0, 2.0, 3.0, 4.0)]
    ys = [2.5 * x + 1.3 for x in (0.0, 1.0, 2.0, 3.0, 4.0)]
    original = quiet(searcher.find_candidates, rows, ys)
    again = quiet(duplicate(searcher).find_candidates, rows, ys)
    assert [observed(r) for r in again] == [observed(r) for r in original]


def test_reconstructors_are_private_and_pickle_by_reference():
    for name in ("_rebuild_result", "_rebuild_searcher"):
        function = getattr(_core, name)
        assert name not in _core.__all__ and name not in kov_sr.__all__
        assert function.__module__ == "kov_sr._core"
        for protocol in PROTOCOLS:
            assert pickle.loads(pickle.dumps(function, protocol)) is function


def state_with(**changes):
    """VALID_STATE with fields replaced; `tokens` replaces the token tuple."""
    names = ["layout", "tokens", "formula", "complexity", "var_count", "error"]
    return tuple(changes.get(name, value) for name, value in zip(names, VALID_STATE))


def token_with(position, **changes):
    """VALID_STATE's tokens with one token's fields replaced."""
    names = ["kind", "arity", "index", "id", "re", "im"]
    tokens = list(VALID_STATE[1])
    tokens[position] = tuple(changes.get(n, v) for n, v in zip(names, tokens[position]))
    return tuple(tokens)


VAR0, PI, PLUS = VALID_STATE[1]
NEG = (4, 1, 0, 6, 0.0, 0.0)

GARBAGE_STATES = [
    # Wrong types.
    (list(VALID_STATE), TypeError),
    (None, TypeError),
    (state_with(layout="1"), TypeError),
    (state_with(tokens=list(VALID_STATE[1])), TypeError),
    (state_with(tokens=(VAR0, PI, 8)), TypeError),
    (state_with(tokens=token_with(0, kind=2.0)), TypeError),
    (state_with(tokens=token_with(1, re=3)), TypeError),
    (state_with(tokens=token_with(1, im=None)), TypeError),
    (state_with(formula=b"Plus(v_{0}, Pi)"), TypeError),
    (state_with(complexity=3.0), TypeError),
    (state_with(error=1), TypeError),
    # Wrong shapes and unknown layouts.
    (VALID_STATE[:5], ValueError),
    (VALID_STATE + (0,), ValueError),
    (state_with(tokens=(VAR0[:5], PI, PLUS)), ValueError),
    (state_with(layout=2), ValueError),
    (state_with(layout=-1), ValueError),
    # Fields out of range, huge numbers included.
    (state_with(tokens=token_with(0, kind=5)), ValueError),
    (state_with(tokens=token_with(0, kind=-1)), ValueError),
    (state_with(tokens=token_with(2, id=21)), ValueError),
    (state_with(tokens=token_with(2, id=10**30)), ValueError),
    (state_with(tokens=token_with(0, index=256)), ValueError),
    (state_with(tokens=token_with(0, index=2**64)), ValueError),
    (state_with(tokens=token_with(2, arity=-2)), ValueError),
    (state_with(var_count=256), ValueError),
    (state_with(complexity=2**70), ValueError),
    (state_with(formula="Plus(v_{0}, \udcff)"), ValueError),  # not encodable
    # Operators that are not what the token says.
    (state_with(tokens=token_with(2, arity=1)), ValueError),
    (state_with(tokens=token_with(2, id=3)), ValueError),  # Pi applied as an operator
    (state_with(tokens=token_with(1, id=8)), ValueError),  # Plus as a constant
    (state_with(tokens=token_with(1, arity=2)), ValueError),
    (state_with(tokens=token_with(1, re=3.0)), ValueError),  # Pi with another value
    (state_with(tokens=(VAR0, (0, 0, 0, 0, -0.0, 0.0), PLUS)), ValueError),  # the constant 0 as -0
    # Token sequences that would underflow or leave extra values.
    (state_with(tokens=(), complexity=0, var_count=0), ValueError),
    (state_with(tokens=(PLUS,), complexity=1, var_count=0), ValueError),
    (state_with(tokens=(VAR0, PLUS), complexity=2), ValueError),
    (state_with(tokens=(NEG,), complexity=1, var_count=0), ValueError),
    (state_with(tokens=(VAR0, PI), complexity=2), ValueError),
    (state_with(tokens=(VAR0, PI, PLUS, NEG, PLUS), complexity=5), ValueError),
    # Counts that disagree with the tokens.
    (state_with(complexity=4), ValueError),
    (state_with(var_count=2), ValueError),
    (state_with(var_count=0), ValueError),
]


@pytest.mark.parametrize(("state", "error"), GARBAGE_STATES)
def test_garbage_states_are_refused(state, error):
    with pytest.raises(error, match="invalid pickled state"):
        _core._rebuild_result(state)


def test_the_valid_state_rebuilds():
    result = _core._rebuild_result(VALID_STATE)
    assert (
        repr(result) == "SearchResult(formula='Plus(v_{0}, Pi)', error=5.000000e-1, complexity=3)"
    )
    assert bits(result.eval(1.0)) == bits(1.0 + math.pi)


def test_variable_255_wraps_var_count_to_zero():
    variable = (2, 0, 255, 0, 0.0, 0.0)
    state = state_with(tokens=(variable,), formula="v_{255}", complexity=1, var_count=0)
    assert _core._rebuild_result(state).to_latex() == "v_{255}"
    with pytest.raises(ValueError, match="var_count"):
        _core._rebuild_result(state_with(tokens=(variable,), complexity=1, var_count=255))


FLOATS = st.floats(width=64)
UNARY_IDS = [6, 7, *range(12, 21)]  # Neg, Inv, Exp ... ArcTan
BINARY_IDS = [5, 8, 9, 10, 11]  # Kov, Plus, Times, Subtract, Divide
LEAVES = st.one_of(
    st.builds(lambda i, re: (0, 0, 0, i, re, 0.0), st.integers(0, 4), FLOATS),  # Const
    st.builds(lambda re: (1, 0, 0, 0, re, 0.0), FLOATS),  # Real
    st.builds(lambda i: (2, 0, i, 0, 0.0, 0.0), st.integers(0, 3)),  # Var
    st.builds(lambda i, re: (3, 0, i, 0, re, 0.0), st.integers(0, 3), FLOATS),  # Param
)
ANY_TOKEN = st.tuples(
    st.integers(0, 4), st.integers(0, 2), st.integers(0, 3), st.integers(0, 20), FLOATS, FLOATS
)
# Well-formed formulas as postfix token lists, and token lists of anything.
FORMULAS = st.recursive(
    LEAVES.map(lambda token: [token]),
    lambda operands: st.one_of(
        st.builds(lambda i, a: [*a, (4, 1, 0, i, 0.0, 0.0)], st.sampled_from(UNARY_IDS), operands),
        st.builds(
            lambda i, a, b: [*a, *b, (4, 2, 0, i, 0.0, 0.0)],
            st.sampled_from(BINARY_IDS),
            operands,
            operands,
        ),
    ),
    max_leaves=6,
)
TOKEN_LISTS = st.one_of(FORMULAS, st.lists(st.one_of(LEAVES, ANY_TOKEN), max_size=7))


def variables_used(tokens):
    return max((index + 1 for kind, _, index, *_ in tokens if kind == 2), default=0)


@settings(max_examples=300, deadline=None)
@given(TOKEN_LISTS, st.one_of(st.none(), st.integers(0, 4)))
def test_any_token_sequence_is_refused_or_usable(tokens, var_count):
    if var_count is None:
        var_count = variables_used(tokens)
    state = (1, tuple(tokens), "f", len(tokens), var_count, 0.0)
    try:
        result = _core._rebuild_result(state)
    except ValueError:
        return
    # Accepted: renders and evaluates at every point, and pickles back to the same state.
    assert result.to_latex() and result.to_python() and repr(result)
    assert len(result.eval_batch(POINTS)) == len(POINTS)
    result.eval(POINTS[0])
    # Floats by their bits; a layout-1 state comes back as layout 3 with an unknown criterion and
    # no units.
    assert pickle.dumps(result.__reduce__()[1][0]) == pickle.dumps(
        (3, *state[1:], math.nan, None, None))


class Forged:
    """Pickles as a call of the reconstructor with a state of its choosing."""

    def __init__(self, *arguments, function=_core._rebuild_result):
        self.call = (function, arguments)

    def __reduce__(self):
        return self.call


@pytest.mark.parametrize(
    "forged",
    [
        Forged(state_with(tokens=(PLUS,), complexity=1, var_count=0)),
        Forged(VALID_STATE, VALID_STATE),
        Forged(),
        Forged("3", 0.1, 5, function=_core._rebuild_searcher),
        Forged(-1, 0.1, 5, function=_core._rebuild_searcher),
        Forged(3, 0.1, 2**64, function=_core._rebuild_searcher),
        Forged(3, 1, 5, function=_core._rebuild_searcher),
        Forged(3, 0.1, function=_core._rebuild_searcher),
        Forged(3, function=_core._rebuild_searcher),
        Forged(2, [], function=_core._rebuild_searcher),
        Forged(3, {}, function=_core._rebuild_searcher),
        Forged(2, {"beam": 5}, function=_core._rebuild_searcher),
        Forged(2, {1: 5}, function=_core._rebuild_searcher),
        Forged(2, {"beam_width": -1}, function=_core._rebuild_searcher),
        Forged(2, {"strategy": "fast"}, function=_core._rebuild_searcher),
        Forged(2, {"verbose": None}, function=_core._rebuild_searcher),
    ],
)
def test_forged_pickles_raise_instead_of_crashing(forged):
    with pytest.raises((TypeError, ValueError)):
        pickle.loads(pickle.dumps(forged))


GOLDEN = pathlib.Path(__file__).parent / "pickles"
SEARCHER_DEFAULTS = {
    "max_complexity": 10, "complexity_penalty": 0.1, "beam_width": 1000, "strategy": "classic",
    "time_limit": None, "verbose": True, "noise": None,
}


# Files written by earlier versions: each must keep loading into the same object.
@pytest.mark.parametrize("name, settings", [
    ("searcher_positional.pickle",
     {**SEARCHER_DEFAULTS, "max_complexity": 5, "complexity_penalty": 0.25, "beam_width": 40}),
    ("searcher_keywords.pickle",
     {"max_complexity": 6, "complexity_penalty": 0.5, "beam_width": 300, "strategy": "thorough",
      "time_limit": 2.5, "verbose": False, "noise": 0.01}),
])
def test_golden_searcher_pickles_load(name, settings):
    searcher = pickle.loads((GOLDEN / name).read_bytes())
    assert {key: getattr(searcher, key) for key in settings} == settings
    assert searcher.__reduce__()[1] == (2, settings)


def test_golden_result_pickle_loads():
    result = pickle.loads((GOLDEN / "result.pickle").read_bytes())
    assert repr(result) == (
        "SearchResult(formula='Divide(v_{0}, Sin(2.8123646143560745))', error=6.613052e-1, "
        "complexity=4)")
    assert result.eval(2.0) == 2.0 / math.sin(2.8123646143560745)


def test_a_searcher_state_without_some_settings_takes_their_defaults():
    searcher = _core._rebuild_searcher(2, {"beam_width": 7})
    assert searcher.__reduce__()[1] == (2, {**SEARCHER_DEFAULTS, "beam_width": 7})


def test_find_pareto_stops_early_and_returns_the_list(capsys):
    searcher = kov_sr.Searcher(max_complexity=4, beam_width=100)
    rows = [[x] for x in XS]
    best = searcher.find_multivariate(rows, EXP_YS)
    capsys.readouterr()
    pareto = searcher._find_pareto(rows, EXP_YS)
    early_lines = capsys.readouterr().out.count("[KOV-SR]")
    candidates = searcher.find_candidates(rows, EXP_YS)
    full_lines = capsys.readouterr().out.count("[KOV-SR]")
    assert early_lines < full_lines
    assert observed(pareto[0]) == observed(best)
    assert [r.error for r in pareto] == sorted(r.error for r in pareto)
    assert [r.complexity for r in pareto] == sorted((r.complexity for r in pareto), reverse=True)
    # Nothing past the exact formula can be more accurate, so stopping loses no candidate.
    assert [observed(r) for r in pareto] == [observed(r) for r in candidates]
    assert (searcher.max_complexity, searcher.complexity_penalty, searcher.beam_width) == (4, 0.1, 100)


@pytest.mark.parametrize(
    ("inputs", "ys", "error"),
    [
        ([[1.0], [2.0]], [1.0], kov_sr.KovDimensionError),
        ([1.0, 2.0], [1.0, 2.0], ValueError),
        ([[1.0], [2.0]], [1.0, float("nan")], ValueError),
    ],
)
def test_find_pareto_fails_like_find_candidates(inputs, ys, error):
    searcher = kov_sr.Searcher(max_complexity=2)
    with pytest.raises(error) as pareto_failure:
        quiet(searcher._find_pareto, inputs, ys)
    with pytest.raises(error) as candidates_failure:
        quiet(searcher.find_candidates, inputs, ys)
    assert str(pareto_failure.value) == str(candidates_failure.value)
