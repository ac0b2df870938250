"""The module's surface: members, docstrings, text signatures, exception types, imports."""

import importlib
import inspect
import subprocess
import sys
import textwrap

import pytest

import kov_sr

EXPECTED_ALL = ["Searcher", "SearchResult", "KovDimensionError", "KovComplexityError",
                "KovRuntimeError"]
EXCEPTIONS = ["KovDimensionError", "KovComplexityError", "KovRuntimeError"]


def test_all_lists_the_members_in_order():
    assert kov_sr.__all__ == EXPECTED_ALL
    assert kov_sr._core.__all__ == EXPECTED_ALL
    for name in EXPECTED_ALL:
        assert getattr(kov_sr, name) is getattr(kov_sr._core, name)


def test_module_docstring():
    assert kov_sr.__doc__ == "The main Python module entry point."
    assert kov_sr._core.__doc__ == "The main Python module entry point."


@pytest.mark.parametrize("name", EXCEPTIONS)
def test_exception_types(name):
    exc = getattr(kov_sr, name)
    assert issubclass(exc, Exception)
    assert exc.__bases__ == (Exception,)
    assert exc.__module__ == "kov_sr"
    assert exc.__name__ == name
    assert exc.__qualname__ == name
    assert exc.__doc__ is None
    for other in EXCEPTIONS:
        if other != name:
            assert not issubclass(exc, getattr(kov_sr, other))


@pytest.mark.parametrize("cls, name", [(kov_sr.Searcher, "Searcher"),
                                       (kov_sr.SearchResult, "SearchResult")])
def test_classes_report_builtins_as_module(cls, name):
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name
    assert cls.__qualname__ == name


SEARCHER_DOCS = [
    ("find_function", "(self, /, xs, ys, *, units=None, target_units=None, progress=None)",
     "Finds a univariate function f(x) ≈ y.\nSupports both Python lists and NumPy arrays.\n"
     "progress=True shows a progress bar instead of the progress lines (tqdm when\n"
     "installed); a callable receives (level, elapsed, time_limit, best_error,\n"
     "best_formula) after each level and a few times a second. fit and the find_\n"
     "methods take it, and units and target_units as find_multivariate does."),
    ("find_multivariate", "(self, /, inputs, ys, *, units=None, target_units=None, progress=None)",
     "Finds a multivariate function f(x0, x1, ...) ≈ y.\nInputs should be a 2D array-like structure.\n"
     "units (one per input column) and target_units, or pint quantities as inputs, let the\n"
     "thorough strategy search only formulas whose units agree: a unit is a mapping such\n"
     "as {'m': 1, 's': -2}, a string such as 'kg*m/s^2' (with pint) or a pint unit."),
    ("fit", "(self, /, inputs, ys, *, units=None, target_units=None, progress=None)", "Alias for find_multivariate (Scikit-Learn style)."),
    ("find_candidates", "(self, /, inputs, ys, *, units=None, target_units=None, progress=None)",
     "Returns the Pareto-front of all candidate formulas found."),
    ("find_selected", "(self, /, inputs, ys, *, units=None, target_units=None, progress=None)",
     "Finds the formula of least description length among the candidates.\n"
     "Runs the search of find_multivariate and picks, from its Pareto-front, the formula\n"
     "that best trades error against complexity and fitted numbers."),
    ("recognize_constant", "(self, /, value, *, integers=False, digits=None)",
     "Identifies a closed-form expression for a scalar constant."),
    ("recognize_constant_candidates",
     "(self, /, value, *, integers=False, digits=None, count=10)",
     "Returns up to count closed forms for a scalar constant, best first: by error, then "
     "complexity."),
]

RESULT_DOCS = [
    ("to_latex", "(self, /)", "Returns the formula in LaTeX format for academic reporting."),
    ("to_python", "(self, /)", "Returns the formula in Python/NumPy format for immediate use."),
    ("eval", "(self, /, x)",
     "Evaluates the discovered formula for a given input (float or list/array)."),
    ("eval_batch", "(self, /, inputs)",
     "Evaluates the formula for a batch of inputs (list of lists or 2D array)."),
    ("predict", "(self, /, inputs)", "Alias for eval_batch (Scikit-Learn style)."),
]


def test_searcher_class_signature_and_doc():
    assert str(inspect.signature(kov_sr.Searcher)) == (
        "(max_complexity=10, complexity_penalty=0.1, beam_width=1000, *, strategy='classic', "
        "time_limit=None, verbose=True, noise=None)")
    assert kov_sr.Searcher.__doc__.startswith(
        "The core KOV-SR search engine exposed to Python.\n\nSettings:\n  max_complexity: ")


def test_method_order():
    # Private members (the estimator's _find_pareto) are not part of the written order.
    members = {n: m for n, m in vars(kov_sr.Searcher).items() if not n.startswith("_")}
    searcher_methods = [n for n, m in members.items() if not inspect.isgetsetdescriptor(m)]
    assert searcher_methods == [name for name, _, _ in SEARCHER_DOCS]
    settings = [n for n, m in members.items() if inspect.isgetsetdescriptor(m)]
    assert settings == list(inspect.signature(kov_sr.Searcher).parameters)
    result_members = [n for n in vars(kov_sr.SearchResult) if not n.startswith("__")]
    assert result_members == [name for name, _, _ in RESULT_DOCS] + [
        "_repr_latex_", "_repr_html_", "formula", "error", "complexity", "within_precision", "description_length",
        "units"]


@pytest.mark.parametrize("cls, name, signature, doc",
                         [(kov_sr.Searcher, *row) for row in SEARCHER_DOCS]
                         + [(kov_sr.SearchResult, *row) for row in RESULT_DOCS])
def test_method_signature_and_doc(cls, name, signature, doc):
    method = getattr(cls, name)
    assert str(inspect.signature(method)) == signature
    assert method.__doc__ == doc


@pytest.mark.parametrize("name, doc", [
    ("formula", "The discovered mathematical formula as a string."),
    ("error", "The residual error (root-mean-square error) of the formula."),
    ("complexity", "The structural complexity of the formula."),
    ("description_length",
     "The model-selection criterion of the formula on the search's data, in nats: lower is "
     "better. It weighs the fit against the complexity and the number of fitted numbers. NaN for "
     "results pickled before it was recorded."),
])
def test_property_docs(name, doc):
    assert getattr(kov_sr.SearchResult, name).__doc__ == doc


def test_search_result_class_doc_and_no_constructor():
    assert kov_sr.SearchResult.__doc__ == "A high-performance symbolic regression result."
    with pytest.raises(TypeError) as info:
        kov_sr.SearchResult()
    assert str(info.value) == "No constructor defined for SearchResult"


def test_searcher_has_no_attributes():
    searcher = kov_sr.Searcher()
    assert not hasattr(searcher, "__dict__")
    with pytest.raises(AttributeError):
        searcher.max_complexity = 3


def test_reimport_gives_the_same_objects():
    assert importlib.import_module("kov_sr") is kov_sr
    assert importlib.import_module("kov_sr._core") is kov_sr._core


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)


def test_import_after_removal_from_sys_modules_returns_the_same_module():
    done = run_python("""
        import sys
        import kov_sr
        first = kov_sr._core
        del sys.modules["kov_sr._core"]
        import kov_sr._core as second
        assert second is first
        assert second.KovRuntimeError is first.KovRuntimeError
        print("same")
    """)
    assert done.stdout == "same\n", done.stderr


def test_a_second_interpreter_cannot_import():
    done = run_python("""
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            import _interpreters as interpreters
        import kov_sr
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import kov_sr")
        except Exception as failure:
            print(failure)
    """)
    if "No module named" in done.stderr:
        pytest.skip("this interpreter offers no subinterpreters")
    assert "ImportError" in done.stdout, done.stderr
    assert "one interpreter per process" in done.stdout


def test_lists_work_without_numpy():
    done = run_python("""
        import sys
        sys.modules["numpy"] = None  # makes "import numpy" fail
        import kov_sr
        result = kov_sr.Searcher(max_complexity=1).find_multivariate([[1.5, 2.5]], (2.5,))
        print(result.formula, result.eval_batch([(4.0, 5.0)]), result.eval((7, 8)))
    """)
    assert done.stdout == "v_{1} [5.0] 8.0\n", done.stderr
