"""Fuzz: random objects of every kind into SearchResult's evaluation methods, and properties that
tie the evaluations together (a batch row gives what eval gives for the same point)."""

import contextlib
import io
import math
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kov_sr
from fuzz_objects import ALLOWED, anything, finite_floats, floats, matrix_like, vector_like

FUZZ = settings(max_examples=150, deadline=None, database=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                       HealthCheck.function_scoped_fixture])


def bits(value):
    return struct.pack("<d", value)


@pytest.fixture(scope="module")
def results():
    """Results of every shape: unary, fitted (Real tokens), several variables, constants only."""
    searcher = kov_sr.Searcher(max_complexity=4, beam_width=20)
    xs = [0.5, 1.0, 2.0, 3.0]
    with contextlib.redirect_stdout(io.StringIO()):
        found = [
            searcher.find_function(xs, [math.exp(x) for x in xs]),
            searcher.recognize_constant(math.pi + 1),
            searcher.find_multivariate([[1.0, 2.0, 3.5], [2.0, 5.0, 1.0], [3.0, 1.0, 2.0]],
                                       [4.5, 6.0, 3.0]),
        ]
        found += kov_sr.Searcher(max_complexity=3).find_candidates(
            [[x] for x in xs], [2.5 * x + 1.3 for x in xs])
    assert any(any(c.isdigit() for c in r.formula.replace("v_{", "")) for r in found), \
        "one result should carry fitted numbers"
    return found


def attempt(function, *args, **kwargs):
    try:
        return function(*args, **kwargs)
    except ALLOWED as error:
        return error


@FUZZ
@given(x=anything)
def test_eval_takes_anything(results, x):
    for result in results:
        value = attempt(result.eval, x)
        assert isinstance(value, float) or isinstance(value, ALLOWED)


@FUZZ
@given(inputs=st.one_of(matrix_like, anything))
def test_eval_batch_and_predict_take_anything(results, inputs):
    for result in results:
        batch = attempt(result.eval_batch, inputs)
        if isinstance(batch, list):
            assert all(isinstance(value, float) for value in batch)
        else:
            assert isinstance(batch, ALLOWED)
        predicted = attempt(result.predict, inputs)
        if isinstance(batch, list) and isinstance(predicted, list):
            # Generators and iterators are consumed by the first call; only compare when both
            # calls saw the same rows.
            if len(batch) == len(predicted):
                assert [bits(v) for v in batch] == [bits(v) for v in predicted]


@FUZZ
@given(rows=st.lists(st.lists(floats, max_size=4), max_size=6))
def test_a_batch_row_evaluates_like_eval(results, rows):
    for result in results:
        batch = result.eval_batch(rows)
        assert len(batch) == len(rows)
        assert [bits(v) for v in batch] == [bits(result.eval(row)) for row in rows]


@FUZZ
@given(x=floats)
def test_eval_of_a_number_is_eval_of_a_one_element_point(results, x):
    for result in results:
        assert bits(result.eval(x)) == bits(result.eval([x])) == bits(result.eval((x,)))


@FUZZ
@given(x=finite_floats, args=st.lists(vector_like, max_size=3),
       keywords=st.dictionaries(st.sampled_from(["x", "inputs", "y"]), vector_like, max_size=2))
def test_calls_with_any_arguments(results, x, args, keywords):
    for result in results:
        for method in (result.eval, result.eval_batch, result.predict, result.to_latex,
                       result.to_python):
            outcome = attempt(method, *args, **keywords)
            assert isinstance(outcome, (float, list, str) + ALLOWED)
