"""Searcher: construction, argument errors, the search methods, progress lines and Ctrl-C."""

import contextlib
import io
import math
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import kov_sr
from conftest import EXP_YS, XS, bits

LENGTH_MESSAGE = "Inputs and target vector must be non-empty and equal length."
SEEDED_LINE = "[KOV-SR] Started search space exploration. Level 1 seeded with 6 primary nodes."
LEVEL_LINE = re.compile(
    r"\[KOV-SR\]   -> Level (\d+) processed in \d+(\.\d+)?(s|ms|µs|ns)\. "
    r"Retaining top \d+ candidates\.")


def progress_lines(text):
    return text.splitlines()


# ---- Construction ----------------------------------------------------------------------------


@pytest.mark.parametrize("args, kwargs", [
    ((), {}), ((5,), {}), ((), {"beam_width": 50}), ((3, -3, 0), {}),
    ((), {"max_complexity": 0, "complexity_penalty": np.float32(0.5), "beam_width": True}),
    ((np.int64(4),), {"complexity_penalty": 2}),
    ((), {"strategy": "thorough", "time_limit": 1e-3, "verbose": False, "noise": 0}),
    ((), {"strategy": "classic", "time_limit": 5, "noise": np.float64(0.5), "verbose": True}),
])
def test_construction_accepts(args, kwargs):
    assert type(kov_sr.Searcher(*args, **kwargs)) is kov_sr.Searcher


@pytest.mark.parametrize("kwargs, error, message", [
    ({"max_complexity": -1}, OverflowError, None),
    ({"beam_width": 2 ** 64}, OverflowError, None),
    ({"max_complexity": "10"}, TypeError, "max_complexity must be an integer, not str"),
    ({"max_complexity": 2.0}, TypeError, "max_complexity must be an integer, not float"),
    ({"beam_width": None}, TypeError, "beam_width must be an integer, not NoneType"),
    ({"complexity_penalty": "0.1"}, TypeError, "complexity_penalty must be a real number, not str"),
    ({"complexity_penalty": [0.1]}, TypeError,
     "complexity_penalty must be a real number, not list"),
    ({"unknown": 1}, TypeError, None),
    ({"strategy": "fast"}, ValueError, "strategy must be 'classic' or 'thorough', not 'fast'"),
    ({"strategy": "Classic"}, ValueError, None),
    ({"strategy": None}, TypeError, "strategy must be a str, not NoneType"),
    ({"time_limit": 0}, ValueError, None),
    ({"time_limit": -1.0}, ValueError, None),
    ({"time_limit": float("inf")}, ValueError, None),
    ({"time_limit": float("nan")}, ValueError, None),
    ({"time_limit": "10"}, TypeError, "time_limit must be a real number or None, not str"),
    ({"verbose": 0}, TypeError, "verbose must be a bool, not int"),
    ({"verbose": None}, TypeError, None),
    ({"noise": -0.1}, ValueError, None),
    ({"noise": float("inf")}, ValueError, None),
    ({"noise": [0.1]}, TypeError, "noise must be a real number or None, not list"),
])
def test_construction_rejects(kwargs, error, message):
    with pytest.raises(error) as info:
        kov_sr.Searcher(**kwargs)
    if message is not None:
        assert str(info.value) == message
    elif error is not OverflowError and "unknown" not in kwargs:
        assert str(info.value).startswith(f"{next(iter(kwargs))} must be ")


@pytest.mark.parametrize("args, kwargs", [
    ((1, 2, 3, 4), {}),  # the options after beam_width are keyword-only
    ((1, 2, 3, "classic"), {}),
    ((1,), {"max_complexity": 2}),
])
def test_construction_rejects_bad_calls(args, kwargs):
    with pytest.raises(TypeError):
        kov_sr.Searcher(*args, **kwargs)


def test_settings_are_shown_and_read_only():
    searcher = kov_sr.Searcher(4, strategy="thorough", time_limit=3, noise=0.25)
    assert repr(searcher) == (
        "Searcher(max_complexity=4, complexity_penalty=0.1, beam_width=1000, strategy='thorough', "
        "time_limit=3.0, verbose=True, noise=0.25)")
    assert (searcher.strategy, searcher.time_limit, searcher.noise) == ("thorough", 3.0, 0.25)
    with pytest.raises(AttributeError):
        searcher.max_complexity = 5


def test_verbose_false_writes_no_progress_line(capsys):
    quiet = kov_sr.Searcher(max_complexity=3, verbose=False)
    quiet.find_candidates([[x] for x in XS], [x ** 3 + 0.5 for x in XS])
    quiet.recognize_constant(2.5)
    assert capsys.readouterr().out == ""


def test_constructor_arguments_reach_the_search(capsys):
    # max_complexity 1 ends after seeding; beam width 0 keeps levels 2 and up empty.
    data = ([[x] for x in XS], [x ** 3 + 0.5 for x in XS])
    kov_sr.Searcher(max_complexity=1).find_candidates(*data)
    assert progress_lines(capsys.readouterr().out) == [SEEDED_LINE]
    kov_sr.Searcher(3, beam_width=0).find_candidates(*data)
    lines = progress_lines(capsys.readouterr().out)
    assert len(lines) == 3 and lines[1].endswith("Retaining top 0 candidates.")


# ---- Search methods ------------------------------------------------------------------------


def test_typical_request(capsys):
    result = kov_sr.Searcher().find_function(range(4), [math.exp(x) for x in range(4)])
    assert (result.formula, bits(result.error), result.complexity) == ("Exp(v_{0})", bits(0.0), 2)
    assert result.to_latex() == "e^{v_{0}}" and result.to_python() == "np.exp(v_{0})"
    lines = progress_lines(capsys.readouterr().out)
    assert lines[0] == SEEDED_LINE
    assert len(lines) == 2 and LEVEL_LINE.fullmatch(lines[1]).group(1) == "2"


def same_result(a, b):
    return (a.formula, bits(a.error), a.complexity, a.to_python()) == (
        b.formula, bits(b.error), b.complexity, b.to_python())


def test_univariate_and_multivariate_searches_agree():
    searcher = kov_sr.Searcher(max_complexity=4)
    xs = [0.5, 1.0, 2.0, 3.5]
    ys = [x * x + 1.0 for x in xs]
    rows = [[x] for x in xs]
    univariate = searcher.find_function(xs, ys)
    assert same_result(univariate, searcher.find_multivariate(rows, ys))
    assert same_result(univariate, searcher.fit(inputs=rows, ys=ys))
    assert same_result(univariate, searcher.find_function(ys=np.array(ys), xs=np.array(xs)))


def test_multivariate_search():
    rows = [[1.0, 2.0], [2.0, 0.5], [3.0, 4.0], [0.5, 1.5]]
    result = kov_sr.Searcher(max_complexity=3).find_multivariate(rows, [a * b for a, b in rows])
    assert result.formula in ("Times(v_{0}, v_{1})", "Times(v_{1}, v_{0})")
    assert bits(result.error) == bits(0.0)


def test_find_candidates_is_a_pareto_front(fitted_candidates):
    assert len(fitted_candidates) >= 2
    errors = [r.error for r in fitted_candidates]
    complexities = [r.complexity for r in fitted_candidates]
    assert errors == sorted(errors) and len(set(errors)) == len(errors)
    assert complexities == sorted(complexities, reverse=True)
    assert len(set(complexities)) == len(complexities)


def test_find_candidates_runs_every_level_and_keeps_the_searchers_settings(capsys):
    searcher = kov_sr.Searcher(max_complexity=4)
    candidates = searcher.find_candidates([[x] for x in XS], EXP_YS)
    assert candidates[0].formula == "Exp(v_{0})"
    assert len(progress_lines(capsys.readouterr().out)) == 4  # seeding, levels 2, 3, 4
    searcher.find_function(XS, EXP_YS)
    assert len(progress_lines(capsys.readouterr().out)) == 2  # still exits early


def test_recognize_constant_evaluates_at_zero():
    result = kov_sr.Searcher(max_complexity=3).recognize_constant(2)  # an int is accepted
    assert bits(result.error) == bits(0.0)
    assert bits(result.eval(0.0)) == bits(2.0)


@pytest.mark.parametrize("call, error, message", [
    (lambda s: s.find_function([], []), kov_sr.KovDimensionError, LENGTH_MESSAGE),
    (lambda s: s.find_function([1, 2], [1]), kov_sr.KovDimensionError, LENGTH_MESSAGE),
    (lambda s: s.find_multivariate([[1.0], [2.0], [3.0]], [1.0, 2.0]), kov_sr.KovDimensionError,
     LENGTH_MESSAGE),
    (lambda s: s.find_candidates(np.zeros((0, 2)), []), kov_sr.KovDimensionError, LENGTH_MESSAGE),
    (lambda s: s.find_function([[1], [2]], [1, 2]), ValueError,
     "Input must be a 1D list or NumPy array of floats"),
    (lambda s: s.fit([1.0, 2.0], [1.0, 2.0]), ValueError,
     "Input must be a 2D list or 2D NumPy array of floats"),
    (lambda s: s.find_function(np.arange(4.0)[::2], [1.0, 2.0]), TypeError,
     "The given array is not contiguous"),
    (lambda s: s.recognize_constant("2"), TypeError, "value must be a real number, not str"),
    (lambda s: s.find_function([1e200, 2e200], [1e200, 3e200]), kov_sr.KovComplexityError,
     "No formula found up to complexity 3"),
])
def test_search_errors(call, error, message):
    with pytest.raises(error) as info:
        call(kov_sr.Searcher(max_complexity=3))
    assert info.value.args == (message,)


@pytest.mark.parametrize("call", [
    lambda s: s.find_function([1.0]), lambda s: s.find_function([1.0], [1.0], [1.0]),
    lambda s: s.fit(inputs=[[1.0]], targets=[1.0]), lambda s: s.recognize_constant(),
    lambda s: s.find_candidates(ys=[1.0]),
])
def test_bad_calls(call):
    with pytest.raises(TypeError):
        call(kov_sr.Searcher(max_complexity=1))


def test_a_failed_call_leaves_the_searcher_usable():
    searcher = kov_sr.Searcher()
    with pytest.raises(kov_sr.KovDimensionError):
        searcher.find_function([1.0, 2.0], [1.0])
    assert searcher.find_function(XS, EXP_YS).formula == "Exp(v_{0})"


# ---- Behaviour that differs from the plain composition of the engine ---------------------------


@pytest.mark.parametrize("call, message", [
    (lambda s: s.find_function([0.0, 1.0, 2.0, 3.0], [1.0, 2.0, 3.0, float("nan")]),
     "ys contains a non-finite value (nan) at index 3"),
    (lambda s: s.find_function([0.0, float("inf")], [1.0, 2.0]),
     "xs contains a non-finite value (inf) at index 1"),
    (lambda s: s.find_multivariate([[1.0, 2.0], [3.0, -float("inf")]], [1.0, 2.0]),
     "inputs contains a non-finite value (-inf) at row 1, column 1"),
    (lambda s: s.fit(np.array([[np.nan, 1.0]]), [1.0]),
     "inputs contains a non-finite value (nan) at row 0, column 0"),
    (lambda s: s.find_candidates([[1.0], [2.0]], np.array([1.0, np.inf])),
     "ys contains a non-finite value (inf) at index 1"),
    (lambda s: s.recognize_constant(float("nan")), "value is not a finite number (nan)"),
])
def test_non_finite_data_is_refused_before_searching(capsys, call, message):
    with pytest.raises(ValueError) as info:
        call(kov_sr.Searcher())
    assert info.value.args == (message,)
    assert capsys.readouterr().out == ""


def test_more_than_255_variables_are_refused(capsys):
    rows = [[float(j) for j in range(256)]]
    with pytest.raises(kov_sr.KovDimensionError) as info:
        kov_sr.Searcher().find_multivariate(rows, [1.0])
    assert info.value.args == ("At most 255 input variables are supported.",)
    assert capsys.readouterr().out == ""
    result = kov_sr.Searcher(max_complexity=1).find_multivariate(
        [row[:255] for row in rows], [254.0])
    assert result.formula == "v_{254}"


def test_max_complexity_zero_finds_nothing():
    with pytest.raises(kov_sr.KovComplexityError) as info:
        kov_sr.Searcher(max_complexity=0).find_function(XS, EXP_YS)
    assert info.value.args == ("No formula found up to complexity 0",)


def test_recognize_constant_answers_closed_forms():
    # Fitting a single point would make Neg(I) "exact" for sqrt(2) and Plus(Pi, v_{0}) for 3.7.
    searcher = kov_sr.Searcher(max_complexity=4)
    root = searcher.recognize_constant(math.sqrt(2))
    assert root.error <= 1e-10 and root.formula != "Neg(I)"
    approximate = searcher.recognize_constant(3.7)
    for result in (root, approximate):
        assert not re.search(r"\d\.", result.formula), result.formula
        assert "v_{0}" not in result.formula or result.eval(1.0) == result.eval(0.0)
    assert approximate.error > 0.0


def test_recognize_constant_keeps_fitting_for_later_searches():
    searcher = kov_sr.Searcher(max_complexity=4)
    searcher.recognize_constant(3.7)
    xs = [0.0, 1.0, 2.0, 3.0]
    candidates = searcher.find_candidates([[x] for x in xs], [2.5 * x + 1.3 for x in xs])
    assert any(re.search(r"\d\.\d", r.formula) for r in candidates)


# ---- Progress lines ----------------------------------------------------------------------------


def test_progress_lines_follow_redirected_stdout(capsys):
    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        kov_sr.Searcher().find_function(XS, EXP_YS)
    assert capsys.readouterr().out == ""
    lines = progress_lines(buffer.getvalue())
    assert lines[0] == SEEDED_LINE and LEVEL_LINE.fullmatch(lines[1])
    assert buffer.getvalue().endswith("\n")


class LineRecorder:
    def __init__(self, fail_on=None):
        self.calls = []
        self.fail_on = fail_on

    def write(self, text):
        self.calls.append(("write", text))
        if self.fail_on == "write":
            raise OSError("stdout is closed")
        return len(text)

    def flush(self):
        self.calls.append(("flush",))
        if self.fail_on == "flush":
            raise OSError("cannot flush")


def test_each_line_is_written_whole_and_flushed(monkeypatch):
    recorder = LineRecorder()
    monkeypatch.setattr(sys, "stdout", recorder)
    kov_sr.Searcher(max_complexity=3).find_candidates([[x] for x in XS], EXP_YS)
    assert [c[0] for c in recorder.calls] == ["write", "flush"] * 3
    assert recorder.calls[0] == ("write", SEEDED_LINE + "\n")


@pytest.mark.parametrize("fail_on", ["write", "flush"])
def test_a_failing_stdout_stops_the_search_with_its_error(monkeypatch, fail_on):
    recorder = LineRecorder(fail_on)
    monkeypatch.setattr(sys, "stdout", recorder)
    searcher = kov_sr.Searcher(max_complexity=6)
    with pytest.raises(OSError):
        searcher.find_candidates([[x] for x in XS], [x ** 3 + 0.5 for x in XS])
    assert len([c for c in recorder.calls if c[0] == "write"]) == 1
    monkeypatch.undo()
    assert searcher.find_function(XS, EXP_YS).formula == "Exp(v_{0})"


def test_no_stdout_means_no_lines(monkeypatch):
    monkeypatch.setattr(sys, "stdout", None)
    assert kov_sr.Searcher().find_function(XS, EXP_YS).formula == "Exp(v_{0})"


# ---- Ctrl-C ------------------------------------------------------------------------------------

INTERRUPTED_SEARCH = textwrap.dedent("""
    import math
    import signal
    import kov_sr

    # A test run started in the background (cmd &) ignores SIGINT, and so would this child.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    searcher = kov_sr.Searcher(max_complexity=12)
    xs = [0.1 * i for i in range(20)]
    try:
        searcher.find_candidates([[x] for x in xs], [math.sin(x) * x + 0.3 for x in xs])
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    result = searcher.find_function(range(4), [math.exp(x) for x in range(4)])
    print("again", result.formula, flush=True)
""")


def test_ctrl_c_stops_a_search_and_the_searcher_stays_usable():
    with subprocess.Popen([sys.executable, "-c", INTERRUPTED_SEARCH], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True) as child:
        # Reads below block until the child ends; a hung child is killed so that the test fails.
        watchdog = threading.Timer(120, child.kill)
        watchdog.start()
        try:
            for line in child.stdout:
                if "Level 4 " in line:  # the search is under way; level 12 would take very long
                    break
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            # The levels after 4 take tens to hundreds of milliseconds, and the search checks for
            # signals only while it expands and scores: a level's line may come before the signal
            # is seen.
            line = child.stdout.readline()
            while line.startswith("[KOV-SR]   -> Level "):
                line = child.stdout.readline()
            assert line == "interrupted\n"
            assert time.monotonic() - sent < 5.0
            # Read through the same text wrapper: communicate() would bypass what it has buffered.
            rest = child.stdout.read()
            errors = child.stderr.read()
            child.wait()
        finally:
            watchdog.cancel()
            child.kill()
    assert rest.endswith("again Exp(v_{0})\n"), errors
    assert child.returncode == 0
