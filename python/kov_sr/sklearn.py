"""A scikit-learn estimator over the kov_sr search.

``KovRegressor`` drops a formula search into scikit-learn pipelines, grid searches and
cross-validation. scikit-learn is an optional dependency (``pip install kov-sr[sklearn]``); this
module is the only one that imports it.
"""

from __future__ import annotations

import keyword
import numbers
from collections.abc import Callable, Sequence
from fractions import Fraction
from typing import Any, ClassVar, Literal, TypeVar, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

try:
    from sklearn.base import BaseEstimator, RegressorMixin, _fit_context
    from sklearn.utils._param_validation import Interval, StrOptions
    from sklearn.utils.validation import check_is_fitted, validate_data
except ImportError as error:
    raise ImportError(
        "kov_sr.sklearn needs scikit-learn 1.6 or newer: pip install 'kov-sr[sklearn]'"
    ) from error

from kov_sr import units
from kov_sr._core import Searcher, SearchResult
from kov_sr._options import SEARCH_OPTIONS, SearchOption, default, searcher_arguments
from kov_sr.display import Front, table_html
from kov_sr.export import with_names
from kov_sr.selection import select
from kov_sr.versions import check_pickled_version, package_version

__all__ = ["KovRegressor"]

# Where the estimator's defaults differ from Searcher's: quiet, and the search for noisy data.
_ESTIMATOR_DEFAULTS: dict[str, Any] = {"verbose": False, "strategy": "thorough"}

# Parameters of the estimator alone, with their constraints and documentation.
_ESTIMATOR_ONLY: dict[str, tuple[list[Any], str]] = {
    "model_selection": (
        [StrOptions({"best", "accuracy"})],
        'model_selection : {"best", "accuracy"}, default="best"\n'
        '    Which candidate ``result_`` (and so ``formula_`` and ``predict``) is: "best" takes\n'
        "    the one of least description length, trading error against complexity and fitted\n"
        '    numbers; "accuracy" takes the most accurate one.',
    ),
    "progress": (
        ["boolean"],
        "progress : bool, default=False\n"
        "    Show a progress bar during the search (tqdm when installed): elapsed time against the\n"
        "    time limit, the level, the best error so far.",
    ),
}


_Method = TypeVar("_Method", bound=Callable[..., Any])

# scikit-learn's check of the parameters against _parameter_constraints before fit, typed.
_validated = cast(Callable[[_Method], _Method], _fit_context(prefer_skip_nested_validation=True))


class _WholeNumbers(Interval):
    """An interval of integers that leaves out True and False, which are integers to Python."""

    def is_satisfied_by(self, val: Any) -> bool:
        return not isinstance(val, (bool, np.bool_)) and bool(super().is_satisfied_by(val))


def _constraints(option: SearchOption) -> list[Any]:
    """scikit-learn's parameter constraints for a Searcher option's range."""
    constraints: list[Any]
    if option.kind == "bool":
        # verbose as scikit-learn estimators take it: a bool or a non-negative level.
        constraints = ["verbose" if option.name == "verbose" else "boolean"]
    elif option.kind == "str":
        constraints = [StrOptions(set(option.choices))]
    elif option.kind == "int":
        minimum = None if option.minimum is None else int(option.minimum)
        closed = "left" if minimum is not None and option.minimum_included else "neither"
        constraints = [_WholeNumbers(numbers.Integral, minimum, None, closed=closed)]
    else:
        # A closed end without a bound takes in that infinity; NaN is always refused.
        left = option.minimum_included if option.minimum is not None else not option.finite
        right = not option.finite
        ends = {(True, True): "both", (True, False): "left", (False, True): "right"}
        constraints = [
            Interval(numbers.Real, option.minimum, None, closed=ends.get((left, right), "neither"))
        ]
    if option.none_allowed:
        constraints.append(None)
    return constraints


def _estimator_default(option: SearchOption) -> Any:
    return _ESTIMATOR_DEFAULTS.get(option.name, option.default)


def _parameter_doc(option: SearchOption) -> str:
    kind = (
        "{" + ", ".join(f'"{word}"' for word in option.choices) + "}"
        if option.choices
        else option.kind + (" or None" if option.none_allowed else "")
    )
    shown = _estimator_default(option)
    shown = f'"{shown}"' if isinstance(shown, str) else repr(shown)
    text = option.doc[0].upper() + option.doc[1:]
    return f"{option.name} : {kind}, default={shown}\n    {text}"


class KovRegressor(RegressorMixin, BaseEstimator):
    # The docstring is assembled below the class from the option table.

    _parameter_constraints: ClassVar[dict[str, list[Any]]] = {
        **{option.name: _constraints(option) for option in SEARCH_OPTIONS},
        **{name: constraints for name, (constraints, _) in _ESTIMATOR_ONLY.items()},
    }

    # Explicit for scikit-learn's introspection and for type checkers; tests/python/test_options.py
    # holds the names and defaults to the option table.
    def __init__(
        self,
        max_complexity: int = default("max_complexity"),
        complexity_penalty: float = default("complexity_penalty"),
        beam_width: int = default("beam_width"),
        verbose: bool = _ESTIMATOR_DEFAULTS["verbose"],
        *,
        strategy: Literal["thorough", "classic"] = _ESTIMATOR_DEFAULTS["strategy"],
        time_limit: float | None = default("time_limit"),
        noise: float | None = default("noise"),
        model_selection: Literal["best", "accuracy"] = "best",
        progress: bool = False,
    ) -> None:
        self.max_complexity = max_complexity
        self.complexity_penalty = complexity_penalty
        self.beam_width = beam_width
        self.verbose = verbose
        self.strategy = strategy
        self.time_limit = time_limit
        self.noise = noise
        self.model_selection = model_selection
        self.progress = progress

    @_validated
    def fit(
        self, X: ArrayLike, y: ArrayLike, *, X_units: Any = None, y_units: Any = None
    ) -> KovRegressor:
        """Search for the formula that maps the rows of X to y.

        ``X_units`` (one unit per feature) and ``y_units`` let the thorough strategy search only
        formulas whose units agree (see ``kov_sr.units``); pint quantities and pint-pandas
        columns in X and y carry their own units.
        """
        X, carried = units.strip_quantities(X, "X", keep_frame=True)
        y, carried_y = units.strip_quantities(y, "y")
        X_checked, y_checked = validate_data(self, X, y, dtype=np.float64, y_numeric=True)
        columns = int(X_checked.shape[1])
        if X_units is None:
            X_units = units.carried_units(carried, columns)
        if y_units is None and carried_y is not None:
            y_units = carried_y[0]
        self.X_units_: list[dict[str, Fraction]] | None = None
        self.y_units_: dict[str, Fraction] | None = None
        if X_units is not None or y_units is not None:
            self.X_units_, self.y_units_ = units.normalize(
                X_units, y_units, columns, ("X_units", "y_units"))
        # Integer targets would reach the search through its slow item-by-item conversion.
        y_checked = np.ascontiguousarray(y_checked, dtype=np.float64)
        values = {option.name: getattr(self, option.name) for option in SEARCH_OPTIONS}
        values["verbose"] = bool(values["verbose"])
        args, kwargs = searcher_arguments(values)
        searcher = Searcher(*args, **kwargs)
        # The Pareto list of the one search that find_multivariate runs, early exit included.
        given: dict[str, Any] = {}
        if self.X_units_ is not None:
            given = {"units": self.X_units_, "target_units": self.y_units_}
        candidates: list[SearchResult] = searcher._find_pareto(
            X_checked, y_checked, progress=bool(self.progress), **given
        )
        self.result_ = select(candidates) if self.model_selection == "best" else candidates[0]
        chosen = candidates.index(self.result_)
        self.candidates_ = Front(candidates, selected=chosen)
        names = self._feature_names()
        self.formula_ = with_names(self.result_.formula, names or _plain_names(self.n_features_in_))
        self.equations_ = _equations(candidates, names, self.n_features_in_, chosen)
        return self

    def predict(self, X: ArrayLike) -> NDArray[np.float64]:
        """Evaluate the found formula on the rows of X (NaN where it has no value)."""
        check_is_fitted(self)
        X_checked = validate_data(self, X, dtype=np.float64, reset=False)
        return np.asarray(self.result_.predict(X_checked), dtype=np.float64)

    # The pickle records the kov_sr version that wrote it (scikit-learn records its own), so that
    # an older kov_sr loading it can say so.
    def __getstate__(self) -> dict[str, Any]:
        state: dict[str, Any] = super().__getstate__()
        return {**state, "_kov_sr_version": package_version()}

    def __setstate__(self, state: dict[str, Any]) -> None:
        state = dict(state)
        pickled = state.pop("_kov_sr_version", None)
        if isinstance(pickled, str):
            check_pickled_version(pickled, "KovRegressor")
        super().__setstate__(state)

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        # Short formulas cannot follow noisy linear data in ten features as well as a linear
        # model does, so scikit-learn's minimum score for regressors does not apply.
        tags.regressor_tags.poor_score = True
        return tags

    def _feature_names(self) -> list[str] | None:
        if hasattr(self, "feature_names_in_"):
            return [str(name) for name in self.feature_names_in_]
        return None


_SUMMARY = """Symbolic regression: finds a closed-form formula y = f(x0, x1, ...).

The search settings mean what they mean to ``Searcher``; only the defaults of ``verbose`` (False)
and ``strategy`` ("thorough") differ.

Parameters
----------
"""

_ATTRIBUTES = """
Attributes
----------
result_ : SearchResult
    The selected formula (see ``model_selection``).
candidates_ : list of SearchResult
    The Pareto list: each formula more accurate than every simpler one, most accurate first
    (a ``kov_sr.display.Front``: in a notebook, a table with ``result_`` marked).
formula_ : str
    ``result_.formula`` with the feature names in place of ``v_{i}``.
equations_ : pandas.DataFrame or list of dict
    One row per candidate, in the order of ``candidates_``, with the columns complexity,
    error, description_length, formula, latex and python (all three texts with the feature
    names). A DataFrame when pandas is installed, else a list of dicts; in a notebook either
    shows the row of ``result_`` marked.
X_units_, y_units_ : list of dict, dict or None
    The units of the features and of the target the search was given, as exponents over
    base dimensions (``fractions.Fraction``); None without units.
n_features_in_ : int
    Number of features seen during fit.
feature_names_in_ : ndarray of str
    Names of the features seen during fit; set only when X had string column names.
    Without them the features are called x0, x1, ... in the texts above.
"""

KovRegressor.__doc__ = (
    _SUMMARY
    + "\n".join(
        [_parameter_doc(option) for option in SEARCH_OPTIONS]
        + [doc for _, doc in _ESTIMATOR_ONLY.values()]
    )
    + "\n"
    + _ATTRIBUTES
)


def _equations(
    candidates: Sequence[SearchResult], names: Sequence[str] | None, count: int, selected: int
) -> Any:
    """The table of candidates; ``names`` are the feature names, None for x0, x1, ...; the row
    ``selected`` is marked in notebooks."""
    plain = _plain_names(count)
    latex = (
        [f"x_{{{index}}}" for index in range(count)]
        if names is None
        else [_latex_name(name) for name in names]
    )
    python = names if names is not None and all(_is_python_name(name) for name in names) else plain
    rows = [
        {
            "complexity": candidate.complexity,
            "error": candidate.error,
            "description_length": candidate.description_length,
            "formula": with_names(candidate.formula, plain if names is None else names),
            "latex": with_names(candidate.to_latex(), latex),
            "python": with_names(candidate.to_python(), python),
        }
        for candidate in candidates
    ]
    try:
        import pandas
    except ImportError:
        return _EquationRows(rows, selected)
    from kov_sr._equations import Equations

    table = Equations(rows, columns=_COLUMNS)
    table.attrs["selected"] = selected
    return table


_COLUMNS = ["complexity", "error", "description_length", "formula", "latex", "python"]


class _EquationRows(list[dict[str, Any]]):
    """The table as a list of dicts (without pandas), marking the selected row in notebooks."""

    def __init__(self, rows: Sequence[dict[str, Any]], selected: int) -> None:
        super().__init__(rows)
        self.selected = selected

    def _repr_html_(self) -> str:
        return table_html(
            _COLUMNS, [(i, [row[c] for c in _COLUMNS]) for i, row in enumerate(self)], self.selected
        )


def _plain_names(count: int) -> list[str]:
    return [f"x{index}" for index in range(count)]


def _is_python_name(name: str) -> bool:
    # np is taken: the Python renderings call NumPy under that name.
    return name.isidentifier() and not keyword.iskeyword(name) and name != "np"


_LATEX_SPECIAL = {char: "\\" + char for char in "&%$#_{}"}
_LATEX_SPECIAL.update(
    {"\\": r"\textbackslash{}", "~": r"\textasciitilde{}", "^": r"\textasciicircum{}"}
)


def _latex_name(name: str) -> str:
    if len(name) == 1 and name.isalpha() and name.isascii():
        return name
    return r"\mathrm{" + "".join(_LATEX_SPECIAL.get(char, char) for char in name) + "}"
