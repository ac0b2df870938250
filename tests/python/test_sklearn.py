import importlib
import math
import pickle
import sys

import numpy as np
import pytest

pytest.importorskip("sklearn")

from sklearn.utils import get_tags  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

import kov_sr  # noqa: E402
import kov_sr.sklearn  # noqa: E402
from kov_sr.sklearn import KovRegressor, _latex_name  # noqa: E402

XS = [0.5 * k for k in range(8)]
EXP_ROWS = [[x, 3.0 - x] for x in XS]  # the second column is a distractor
EXP_TARGETS = [math.exp(x) for x in XS]  # the C library's exp, as the engine computes it


def small(**settings):
    return KovRegressor(max_complexity=3, beam_width=50, **settings)


@parametrize_with_checks([small()])
def test_scikit_learn_estimator_checks(estimator, check):
    check(estimator)


def test_tags_declare_what_differs_from_a_typical_regressor():
    tags = get_tags(KovRegressor())
    assert tags.regressor_tags.poor_score  # short formulas, not a fit of every feature
    assert not tags.non_deterministic
    assert tags.target_tags.required and tags.target_tags.single_output
    assert not tags.input_tags.allow_nan and not tags.input_tags.sparse


def test_refitting_gives_the_same_formula():
    first = small().fit(EXP_ROWS, EXP_TARGETS)
    second = small().fit(EXP_ROWS, EXP_TARGETS)
    assert first.formula_ == second.formula_ == "Exp(x0)"
    assert first.predict(EXP_ROWS).tobytes() == second.predict(EXP_ROWS).tobytes()


def test_fitted_attributes():
    model = small().fit(np.array(EXP_ROWS), np.array(EXP_TARGETS))
    assert model.result_.formula == "Exp(v_{0})"
    assert model.candidates_[0] is model.result_
    errors = [candidate.error for candidate in model.candidates_]
    complexities = [candidate.complexity for candidate in model.candidates_]
    assert errors == sorted(errors) and complexities == sorted(complexities, reverse=True)
    assert model.n_features_in_ == 2 and not hasattr(model, "feature_names_in_")
    prediction = model.predict(EXP_ROWS)
    assert isinstance(prediction, np.ndarray) and prediction.dtype == np.float64
    assert prediction.tolist() == EXP_TARGETS
    assert model.score(EXP_ROWS, EXP_TARGETS) == 1.0


def test_pandas_round_trip_keeps_the_feature_names():
    pandas = pytest.importorskip("pandas")
    frame = pandas.DataFrame(EXP_ROWS, columns=["time", "noise"])
    model = small().fit(frame, pandas.Series(EXP_TARGETS, name="growth"))
    assert list(model.feature_names_in_) == ["time", "noise"]
    assert model.formula_ == "Exp(time)"
    table = model.equations_
    assert isinstance(table, pandas.DataFrame)
    assert list(table.columns) == [
        "complexity", "error", "description_length", "formula", "latex", "python"
    ]
    assert len(table) == len(model.candidates_)
    assert table["description_length"].tolist() == [
        c.description_length for c in model.candidates_
    ]
    assert table.iloc[0].drop("description_length").to_dict() == {
        "complexity": 2,
        "error": 0.0,
        "formula": "Exp(time)",
        "latex": r"e^{\mathrm{time}}",
        "python": "np.exp(time)",
    }
    assert model.predict(frame).tolist() == EXP_TARGETS
    renamed = frame.rename(columns={"time": "t"})
    with pytest.raises(ValueError, match="feature names"):
        model.predict(renamed)
    with pytest.warns(UserWarning, match="does not have valid feature names"):
        model.predict(frame.to_numpy())


def test_names_that_are_not_identifiers_keep_python_renderings_runnable():
    pandas = pytest.importorskip("pandas")
    frame = pandas.DataFrame(EXP_ROWS, columns=["growth time", "noise"])
    model = small().fit(frame, EXP_TARGETS)
    assert model.formula_ == "Exp(growth time)"
    assert model.equations_.iloc[0]["python"] == "np.exp(x0)"
    assert model.equations_.iloc[0]["latex"] == r"e^{\mathrm{growth time}}"


@pytest.mark.parametrize(
    ("name", "latex"),
    [("t", "t"), ("rate", r"\mathrm{rate}"), ("k_1", r"\mathrm{k\_1}"), ("50%", r"\mathrm{50\%}")],
)
def test_latex_names(name, latex):
    assert _latex_name(name) == latex


def test_equations_are_dicts_without_pandas(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)  # makes `import pandas` fail
    model = small().fit(EXP_ROWS, EXP_TARGETS)
    assert isinstance(model.equations_, list)
    assert model.equations_[0] == {
        "complexity": 2,
        "error": 0.0,
        "description_length": model.candidates_[0].description_length,
        "formula": "Exp(x0)",
        "latex": "e^{x_{0}}",
        "python": "np.exp(x0)",
    }


@pytest.mark.parametrize(("verbose", "printed"), [(False, False), (True, True)])
def test_progress_lines_only_when_verbose(capsys, verbose, printed):
    small(verbose=verbose).fit(EXP_ROWS, EXP_TARGETS)
    assert ("[KOV-SR]" in capsys.readouterr().out) == printed


def test_one_search_through_the_private_entry_point(monkeypatch):
    calls = []

    class RecordingSearcher:
        def __init__(self, *settings, **options):
            self._searcher = kov_sr.Searcher(*settings, **options)
            calls.append(options)

        def _find_pareto(self, inputs, ys, *, progress=False):
            calls.append("_find_pareto")
            return self._searcher.find_candidates(inputs, ys)

        def find_candidates(self, inputs, ys):
            calls.append("find_candidates")
            return self._searcher.find_candidates(inputs, ys)

    monkeypatch.setattr(kov_sr.sklearn, "Searcher", RecordingSearcher)
    small(time_limit=30.0).fit(EXP_ROWS, EXP_TARGETS)
    options = {"strategy": "thorough", "time_limit": 30.0, "verbose": False, "noise": None}
    assert calls == [options, "_find_pareto"]


@pytest.mark.parametrize(
    "settings",
    [
        {"max_complexity": 0},
        {"max_complexity": 2.5},
        {"max_complexity": True},
        {"beam_width": -1},
        {"complexity_penalty": float("nan")},
        {"complexity_penalty": "high"},
        {"strategy": "fast"},
        {"time_limit": 0},
        {"noise": -1.0},
        {"model_selection": "fastest"},
        {"model_selection": None},
        {"model_selection": ["best"]},
    ],
)
def test_bad_settings_are_refused_at_fit(settings):
    with pytest.raises(ValueError, match=next(iter(settings))):
        KovRegressor(**settings).fit(EXP_ROWS, EXP_TARGETS)


def test_the_estimator_pickles():
    model = small().fit(EXP_ROWS, EXP_TARGETS)
    copy = pickle.loads(pickle.dumps(model))
    assert copy.formula_ == model.formula_
    assert [repr(c) for c in copy.candidates_] == [repr(c) for c in model.candidates_]
    assert copy.predict(EXP_ROWS).tobytes() == model.predict(EXP_ROWS).tobytes()


def test_missing_scikit_learn_is_named(monkeypatch):
    monkeypatch.setitem(sys.modules, "sklearn.base", None)  # makes the import fail
    monkeypatch.delitem(sys.modules, "kov_sr.sklearn")
    with pytest.raises(ImportError, match=r"pip install 'kov-sr\[sklearn\]'"):
        importlib.import_module("kov_sr.sklearn")


NOISE = np.random.default_rng(0).normal(0.0, 1.0, 40)
SQUARE_XS = np.linspace(0.5, 3.0, 40)
SQUARE_ROWS = SQUARE_XS[:, None]
NOISY_SQUARE = SQUARE_XS * SQUARE_XS + 0.05 * NOISE


@pytest.mark.parametrize(
    ("model_selection", "formula"),
    [("best", "Times(x0, x0)"), ("accuracy", None)],
)
def test_model_selection_chooses_result_formula_and_predictions(model_selection, formula):
    model = KovRegressor(max_complexity=7, beam_width=300, model_selection=model_selection)
    model.fit(SQUARE_ROWS, NOISY_SQUARE)
    if model_selection == "best":
        assert model.result_ is kov_sr.select(model.candidates_)
        assert model.formula_ == formula
    else:
        assert model.result_ is model.candidates_[0]
        assert model.formula_ != "Times(x0, x0)"  # the most accurate formula fits the noise
    expected = np.asarray(model.result_.predict(SQUARE_ROWS))
    assert model.predict(SQUARE_ROWS).tobytes() == expected.tobytes()
