"""Fuzz: random objects of every kind into the Searcher constructor and every search method. A
call returns what it documents or raises one of the documented errors; it never crashes the
interpreter and never raises SystemError or KovRuntimeError."""

import contextlib
import io

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kov_sr
from fuzz_objects import (ALLOWED, anything, floats, ints, matrix_like, sample_floats, scalars,
                          vector_like)

FUZZ = settings(max_examples=150, deadline=None, database=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
SEARCHES = settings(FUZZ, max_examples=60)

# Searches stay tiny: a few levels of a narrow beam.
TINY = kov_sr.Searcher(max_complexity=3, beam_width=4)


def attempt(function, *args, **kwargs):
    """The call's value, or the documented error it raised (anything else fails the test)."""
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            return function(*args, **kwargs)
    except ALLOWED as error:
        return error


def exercise(result):
    """Every read-only operation of a result succeeds."""
    assert isinstance(result, kov_sr.SearchResult)
    assert isinstance(repr(result), str)
    assert isinstance(result.formula, str) and isinstance(result.to_latex(), str)
    assert isinstance(result.to_python(), str)
    assert isinstance(result.error, float) and result.complexity >= 1
    assert isinstance(result.eval(0.5), float)
    assert len(result.eval_batch([[0.5, 1.5], [], [2.0]])) == 3


@FUZZ
@given(max_complexity=st.one_of(ints, anything), complexity_penalty=st.one_of(floats, anything),
       beam_width=st.one_of(ints, anything))
def test_constructor_takes_anything(max_complexity, complexity_penalty, beam_width):
    made = attempt(kov_sr.Searcher, max_complexity, complexity_penalty, beam_width)
    assert isinstance(made, (kov_sr.Searcher,) + ALLOWED)


@FUZZ
@given(keywords=st.dictionaries(st.sampled_from(["max_complexity", "complexity_penalty",
                                                 "beam_width", "xs", "other"]), scalars,
                                max_size=3))
def test_constructor_keywords(keywords):
    made = attempt(kov_sr.Searcher, **keywords)
    assert isinstance(made, (kov_sr.Searcher,) + ALLOWED)


@SEARCHES
@given(xs=vector_like, ys=vector_like)
def test_find_function_takes_anything(xs, ys):
    found = attempt(TINY.find_function, xs, ys)
    if isinstance(found, kov_sr.SearchResult):
        exercise(found)


@SEARCHES
@given(method=st.sampled_from(["find_multivariate", "fit", "find_candidates", "_find_pareto"]),
       inputs=matrix_like, ys=vector_like)
def test_multivariate_methods_take_anything(method, inputs, ys):
    found = attempt(getattr(TINY, method), inputs, ys)
    if isinstance(found, list):
        assert method in ("find_candidates", "_find_pareto") and found
        for result in found:
            exercise(result)
    elif isinstance(found, kov_sr.SearchResult):
        exercise(found)


@SEARCHES
@given(value=st.one_of(floats, ints, anything))
def test_recognize_constant_takes_anything(value):
    found = attempt(TINY.recognize_constant, value)
    if isinstance(found, kov_sr.SearchResult):
        exercise(found)


@SEARCHES
@given(args=st.lists(st.one_of(scalars, vector_like), max_size=3),
       method=st.sampled_from(["find_function", "find_multivariate", "fit", "find_candidates",
                               "recognize_constant"]))
def test_methods_with_wrong_argument_counts(args, method):
    found = attempt(getattr(TINY, method), *args)
    assert isinstance(found, (kov_sr.SearchResult, list) + ALLOWED)


@FUZZ
@given(owner=st.sampled_from([kov_sr.Searcher, kov_sr.SearchResult]), data=st.data(),
       self_=st.one_of(scalars, st.just(TINY)))
def test_methods_called_through_the_class_with_any_self(owner, data, self_):
    names = sorted(name for name in vars(owner) if not name.startswith("__") or name in (
        "__reduce__", "__repr__"))
    method = getattr(owner, data.draw(st.sampled_from(names)))
    if not callable(method):
        return
    found = attempt(method, self_, *data.draw(st.lists(vector_like, max_size=2)))
    assert isinstance(found, (kov_sr.SearchResult, list, tuple, str, float) + ALLOWED)


@SEARCHES
@given(max_complexity=st.integers(0, 3), complexity_penalty=floats, beam_width=st.integers(0, 4),
       rows=st.lists(st.lists(sample_floats, max_size=3), min_size=1, max_size=5),
       data=st.data())
def test_any_setting_with_any_data_finishes(max_complexity, complexity_penalty, beam_width, rows,
                                            data):
    # Every setting the constructor accepts (NaN or negative penalties, a zero beam, ragged rows)
    # either finds formulas or says that it found none.
    ys = data.draw(st.lists(sample_floats, min_size=len(rows), max_size=len(rows)))
    searcher = kov_sr.Searcher(max_complexity, complexity_penalty, beam_width)
    for method in (searcher.find_multivariate, searcher.find_candidates):
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                found = method(rows, ys)
        except kov_sr.KovComplexityError:
            continue
        for result in found if isinstance(found, list) else [found]:
            exercise(result)
