"""Plots of a search's answer (matplotlib: ``pip install 'kov-sr[plot]'``).

``front`` draws the Pareto front, complexity against error on a log scale, with the selected formula
marked and labelled; ``predictions`` draws predicted against observed values with the residuals.
Both take a front (a list of results), a single result or a fitted ``KovRegressor``, draw on the
given Axes (a new figure's otherwise) and return it; neither calls ``show()``.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kov_sr._core import SearchResult
from kov_sr.display import Front

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["front", "predictions"]

SELECTED_LABEL = "selected"


def _pyplot() -> Any:
    try:
        import matplotlib.pyplot as plt
    except ImportError as error:
        raise ImportError("kov_sr.plot needs matplotlib: pip install 'kov-sr[plot]'") from error
    return plt


def _axes(ax: Axes | None) -> Axes:
    if ax is not None:
        return ax
    _, new = _pyplot().subplots()
    return new  # type: ignore[no-any-return]


def _results(source: Any) -> tuple[list[SearchResult], SearchResult | None]:
    """The front's results and its selected formula from a front, a result or a fitted model."""
    if isinstance(source, SearchResult):
        return [source], source
    if hasattr(source, "candidates_") and hasattr(source, "result_"):
        return list(source.candidates_), source.result_
    if hasattr(source, "fit") and hasattr(source, "get_params"):
        raise ValueError("the estimator is not fitted yet: call fit first")
    results = list(source)
    if not results or not all(isinstance(item, SearchResult) for item in results):
        raise TypeError("expected a front (a non-empty list of SearchResult), a SearchResult or "
                        "a fitted KovRegressor")
    return results, Front(results).selected


def _latex_label(source: Any, selected: SearchResult) -> str:
    """The selected formula in LaTeX, with a fitted model's feature names when it has them."""
    table = getattr(source, "equations_", None)
    if table is not None and selected in list(source.candidates_):
        position = list(source.candidates_).index(selected)
        row = table.iloc[position] if hasattr(table, "iloc") else table[position]
        return str(row["latex"])
    return selected.to_latex()


def front(front_or_model: Any, ax: Axes | None = None) -> Axes:
    """The Pareto front: error against complexity, log scale, the selected formula marked.

    Exact formulas (error 0) cannot sit on a log scale: they are drawn at a tenth of the smallest
    other error (at 1e-16 when all are exact) and the axis says so.
    """
    results, selected = _results(front_or_model)
    ax = _axes(ax)
    ordered = sorted(results, key=lambda result: result.complexity)
    positive = [result.error for result in ordered if result.error > 0.0]
    floor = min(positive) / 10.0 if positive else 1e-16
    complexities = [result.complexity for result in ordered]
    errors = [result.error if result.error > 0.0 else floor for result in ordered]
    ax.plot(complexities, errors, "o-", drawstyle="steps-post", label="Pareto front")
    if selected is not None:
        shown = selected.error if selected.error > 0.0 else floor
        ax.plot(
            [selected.complexity], [shown], "*", markersize=16, color="tab:red",
            label=SELECTED_LABEL,
        )
        ax.annotate(
            f"${_latex_label(front_or_model, selected)}$",
            (selected.complexity, shown),
            xytext=(8, 8),
            textcoords="offset points",
        )
    ax.set_yscale("log")
    ax.set_xlabel("complexity (tokens)")
    exact = any(result.error == 0.0 for result in ordered)
    ax.set_ylabel("error (RMSE)" + (f"; exact shown at {floor:.0e}" if exact else ""))
    ax.legend()
    return ax


def _as_rows(X: ArrayLike) -> NDArray[np.float64]:
    rows = np.asarray(X, dtype=np.float64)
    return rows.reshape(-1, 1) if rows.ndim == 1 else rows


def predictions(result_or_model: Any, X: ArrayLike, y: ArrayLike, ax: Axes | None = None) -> Axes:
    """Predicted against observed values, the diagonal, and each residual as a vertical segment."""
    observed = np.asarray(y, dtype=np.float64).ravel()
    if isinstance(result_or_model, SearchResult):
        predicted = np.asarray(result_or_model.predict(_as_rows(X)), dtype=np.float64)
    elif isinstance(result_or_model, Sequence):
        _, chosen = _results(result_or_model)
        if chosen is None:
            raise ValueError("the front has no selected formula: pass the result to plot")
        predicted = np.asarray(chosen.predict(_as_rows(X)), dtype=np.float64)
    else:
        predicted = np.asarray(result_or_model.predict(X), dtype=np.float64)
    if predicted.shape != observed.shape:
        raise ValueError(f"y has {observed.size} values but X has {predicted.size} rows")
    ax = _axes(ax)
    ax.vlines(observed, observed, predicted, color="tab:gray", linewidth=1, label="residuals")
    ax.scatter(observed, predicted, s=14, zorder=3, label="predicted")
    finite = np.concatenate([observed, predicted[np.isfinite(predicted)]])
    low, high = float(finite.min()), float(finite.max())
    if math.isclose(low, high):
        low, high = low - 1.0, high + 1.0
    ax.plot([low, high], [low, high], "--", color="black", linewidth=1, label="predicted = observed")
    ax.set_xlabel("observed")
    ax.set_ylabel("predicted")
    ax.legend()
    return ax
