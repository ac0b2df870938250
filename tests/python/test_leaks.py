"""Leaks: many evaluations and searches keep the process's memory flat, and no method keeps or
drops a reference to what it was given, whether it succeeds or raises."""

import contextlib
import gc
import io
import math
import os
import resource
import sys
import tracemalloc

import numpy as np
import pytest

import kov_sr
from fuzz_objects import FloatRaises, Sequence

XS = [0.5, 1.0, 1.5, 2.0, 2.5]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


@pytest.fixture(scope="module")
def results():
    with contextlib.redirect_stdout(io.StringIO()):
        searcher = kov_sr.Searcher(max_complexity=4, beam_width=50)
        return [
            searcher.find_function(XS, [math.exp(x) for x in XS]),
            searcher.find_function(XS, [2.5 * x + 1.3 for x in XS]),
            searcher.find_multivariate([[x, 1 / x] for x in XS], [x + 1 / x for x in XS]),
        ]


def evaluate(results, rounds):
    rows = [[0.1 * i, 1.0 + 0.1 * i] for i in range(20)]
    array = np.array(rows)
    for i in range(rounds):
        result = results[i % len(results)]
        result.eval(0.5 + i)
        result.eval([0.5, 1.5])
        result.eval(np.array([1.5, 2.5]))
        result.eval_batch(rows)
        result.predict(array)
        result.to_latex()
        result.to_python()
        repr(result)
        with contextlib.suppress(ValueError):
            result.eval("not a number")


def search(rounds):
    rows = [[x, 1 / x] for x in XS]
    with contextlib.redirect_stdout(io.StringIO()):
        for i in range(rounds):
            searcher = kov_sr.Searcher(max_complexity=3, beam_width=20)
            searcher.find_function(XS, [math.sin(x) + i for x in XS])
            searcher.find_candidates(rows, [x * x for x in XS])
            searcher.recognize_constant(math.sqrt(2) + i)
            with contextlib.suppress(kov_sr.KovDimensionError):
                searcher.find_function(XS, XS[:2])


def test_memory_stays_flat_over_many_evaluations_and_searches(results):
    # Warm up first: the pool, NumPy and the allocators' caches reach their steady size.
    evaluate(results, 1000)
    search(10)
    gc.collect()
    resident_before = resident_bytes()
    tracemalloc.start()
    traced_before = tracemalloc.get_traced_memory()[0]
    evaluate(results, 10000)
    search(100)
    gc.collect()
    traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    tracemalloc.stop()
    resident_growth = resident_bytes() - resident_before
    # A Python object kept per call would be hundreds of kilobytes; an expression or a registry
    # kept per search, or a few bytes per evaluation, megabytes.
    assert traced_growth < 64 << 10
    # The address sanitizer holds freed memory back to catch late uses: resident size grows there.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        assert resident_growth < 16 << 20


# ---- Reference counts ----------------------------------------------------------------------------


def arguments():
    """Inputs of every kind, with the objects whose counts are watched: the input and its items."""
    floats = [1.25, 2.5, 3.75]
    rows = [[1.25, 2.5], [3.75, 5.0], [6.25, 7.5]]
    return [
        ("list", floats, floats),
        ("tuple", tuple(floats), floats),
        ("rows", rows, rows + [v for row in rows for v in row]),
        ("array", np.array(floats), []),
        ("matrix", np.array(rows), []),
        ("fortran matrix", np.asfortranarray(np.array(rows)), []),
        ("int64 array", np.arange(3), []),
        ("strided array", np.arange(6.0)[::2], []),
        ("string", "1.5", []),
        ("bad list", [1.5, "x", 2.5], []),
        ("raising item", [1.5, FloatRaises()], []),
        ("sequence", Sequence([1.5, 2.5, 3.5]), []),
        ("lying sequence", Sequence([1.5, 2.5], length=2 ** 62), []),
        ("nan", [1.5, math.nan, 2.5], []),
    ]


def counts(objects):
    return [sys.getrefcount(o) for o in objects]


def calls(results):
    searcher = kov_sr.Searcher(max_complexity=2, beam_width=5)
    result = results[0]
    return [
        ("find_function", lambda v: searcher.find_function(v, v)),
        ("find_multivariate", lambda v: searcher.find_multivariate(v, [1.0, 2.0, 3.0])),
        ("fit", lambda v: searcher.fit([[1.0], [2.0], [3.0]], v)),
        ("find_candidates", lambda v: searcher.find_candidates(v, v)),
        ("recognize_constant", lambda v: searcher.recognize_constant(v)),
        ("eval", result.eval),
        ("eval_batch", result.eval_batch),
        ("predict", result.predict),
        ("Searcher", lambda v: kov_sr.Searcher(v, v, v)),
    ]


def test_reference_counts_of_inputs_are_unchanged_by_every_method(results):
    with contextlib.redirect_stdout(io.StringIO()):
        for call_name, call in calls(results):
            for kind, value, items in arguments():
                watched = [value] + items
                before = counts(watched)
                for _ in range(3):
                    try:
                        call(value)
                    except (ValueError, TypeError, OverflowError, MemoryError,
                            kov_sr.KovDimensionError, kov_sr.KovComplexityError, Exception):
                        pass
                assert counts(watched) == before, (call_name, kind)


def test_results_and_searchers_are_not_kept_alive(results):
    with contextlib.redirect_stdout(io.StringIO()):
        searcher = kov_sr.Searcher(max_complexity=3)
        before = sys.getrefcount(searcher)
        found = searcher.find_candidates([[x] for x in XS], [2 * x for x in XS])
        assert sys.getrefcount(searcher) == before
    assert [sys.getrefcount(found[i]) for i in range(len(found))] == [2] * len(found)
    result = results[0]
    before = sys.getrefcount(result)
    result.to_latex()
    result.to_python()
    repr(result)
    result.eval_batch([[1.0]])
    assert sys.getrefcount(result) == before
