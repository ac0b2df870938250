"""A scikit-learn estimator over the kov_sr search.

``KovRegressor`` drops a formula search into scikit-learn pipelines, grid searches and
cross-validation. scikit-learn is an optional dependency (``pip install kov-sr[sklearn]``); this
module is the only one that imports it.
"""

from __future__ import annotations

import keyword
import numbers
from collections.abc import Sequence
from fractions import Fraction
from typing import Any, Literal

import numpy as np
from numpy.typing import ArrayLike, NDArray

try:
    from sklearn.base import BaseEstimator, RegressorMixin
    from sklearn.utils.validation import check_is_fitted, validate_data
except ImportError as error:
    raise ImportError(
        "kov_sr.sklearn needs scikit-learn 1.6 or newer: pip install 'kov-sr[sklearn]'"
    ) from error

from kov_sr import units
from kov_sr._core import Searcher, SearchResult
from kov_sr.export import with_names
from kov_sr.selection import select

__all__ = ["KovRegressor"]

_MODEL_SELECTIONS = ("best", "accuracy")


class KovRegressor(RegressorMixin, BaseEstimator):
    """Symbolic regression: finds a closed-form formula y = f(x0, x1, ...).

    Parameters
    ----------
    max_complexity : int, default=10
        Largest number of tokens a formula may have.
    complexity_penalty : float, default=0.1
        Weight of complexity against error when the search ranks candidates.
    beam_width : int, default=1000
        Number of candidates kept per complexity level.
    verbose : bool, default=False
        Let the search print its progress lines; by default it writes none.
    strategy : {"thorough", "classic"}, default="thorough"
        "thorough" keeps building blocks and fits constants by least squares; "classic" is the
        breadth-first search of ``Searcher``'s default.
    time_limit : float or None, default=None
        Seconds after which the search returns the best formulas found so far.
    noise : float or None, default=None
        Standard deviation of the noise in y, used by the thorough strategy; None to estimate it.
    model_selection : {"best", "accuracy"}, default="best"
        Which candidate ``result_`` (and so ``formula_`` and ``predict``) is: "best" takes the one
        of least description length, trading error against complexity and fitted numbers;
        "accuracy" takes the most accurate one.

    Attributes
    ----------
    result_ : SearchResult
        The selected formula (see ``model_selection``).
    candidates_ : list of SearchResult
        The Pareto list: each formula more accurate than every simpler one, most accurate first.
    formula_ : str
        ``result_.formula`` with the feature names in place of ``v_{i}``.
    equations_ : pandas.DataFrame or list of dict
        One row per candidate, in the order of ``candidates_``, with the columns complexity,
        error, description_length, formula, latex and python (all three texts with the feature
        names). A DataFrame when pandas is installed, else a list of dicts.
    X_units_, y_units_ : list of dict, dict or None
        The units of the features and of the target the search was given, as exponents over
        base dimensions (``fractions.Fraction``); None without units.
    n_features_in_ : int
        Number of features seen during fit.
    feature_names_in_ : ndarray of str
        Names of the features seen during fit; set only when X had string column names.
        Without them the features are called x0, x1, ... in the texts above.
    """

    def __init__(
        self,
        max_complexity: int = 10,
        complexity_penalty: float = 0.1,
        beam_width: int = 1000,
        verbose: bool = False,
        *,
        strategy: Literal["thorough", "classic"] = "thorough",
        time_limit: float | None = None,
        noise: float | None = None,
        model_selection: Literal["best", "accuracy"] = "best",
    ) -> None:
        self.max_complexity = max_complexity
        self.complexity_penalty = complexity_penalty
        self.beam_width = beam_width
        self.verbose = verbose
        self.strategy = strategy
        self.time_limit = time_limit
        self.noise = noise
        self.model_selection = model_selection

    def fit(
        self, X: ArrayLike, y: ArrayLike, *, X_units: Any = None, y_units: Any = None
    ) -> KovRegressor:
        """Search for the formula that maps the rows of X to y.

        ``X_units`` (one unit per feature) and ``y_units`` let the thorough strategy search only
        formulas whose units agree (see ``kov_sr.units``); pint quantities and pint-pandas
        columns in X and y carry their own units.
        """
        self._check_parameters()
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
        # Searcher checks the other settings and names the one it refuses.
        searcher = Searcher(
            self.max_complexity,
            self.complexity_penalty,
            self.beam_width,
            strategy=self.strategy,
            time_limit=self.time_limit,
            verbose=bool(self.verbose),
            noise=self.noise,
        )
        # The Pareto list of the one search that find_multivariate runs, early exit included.
        given: dict[str, Any] = {}
        if self.X_units_ is not None:
            given = {"units": self.X_units_, "target_units": self.y_units_}
        candidates: list[SearchResult] = searcher._find_pareto(X_checked, y_checked, **given)
        self.candidates_ = candidates
        self.result_ = select(candidates) if self.model_selection == "best" else candidates[0]
        names = self._feature_names()
        self.formula_ = with_names(self.result_.formula, names or _plain_names(self.n_features_in_))
        self.equations_ = _equations(candidates, names, self.n_features_in_)
        return self

    def predict(self, X: ArrayLike) -> NDArray[np.float64]:
        """Evaluate the found formula on the rows of X (NaN where it has no value)."""
        check_is_fitted(self)
        X_checked = validate_data(self, X, dtype=np.float64, reset=False)
        return np.asarray(self.result_.predict(X_checked), dtype=np.float64)

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        # Short formulas cannot follow noisy linear data in ten features as well as a linear
        # model does, so scikit-learn's minimum score for regressors does not apply.
        tags.regressor_tags.poor_score = True
        return tags

    def _check_parameters(self) -> None:
        for name in ("max_complexity", "beam_width"):
            value = getattr(self, name)
            if not isinstance(value, numbers.Integral) or isinstance(value, bool) or value < 1:
                raise ValueError(f"{name} must be a positive integer, got {value!r}")
        selection = self.model_selection
        if not isinstance(selection, str) or selection not in _MODEL_SELECTIONS:
            raise ValueError(
                f"model_selection must be 'best' or 'accuracy', got {selection!r}"
            )
        penalty = self.complexity_penalty
        if not isinstance(penalty, numbers.Real) or not np.isfinite(penalty):
            raise ValueError(f"complexity_penalty must be a finite number, got {penalty!r}")

    def _feature_names(self) -> list[str] | None:
        if hasattr(self, "feature_names_in_"):
            return [str(name) for name in self.feature_names_in_]
        return None


def _equations(candidates: Sequence[SearchResult], names: Sequence[str] | None, count: int) -> Any:
    """The table of candidates; ``names`` are the feature names, None for x0, x1, ..."""
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
        return rows
    return pandas.DataFrame(rows, columns=_COLUMNS)


_COLUMNS = ["complexity", "error", "description_length", "formula", "latex", "python"]


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
