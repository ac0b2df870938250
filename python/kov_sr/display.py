"""How results and fronts show themselves in Jupyter.

``SearchResult._repr_latex_`` and ``_repr_html_`` call the renderers here; ``Front`` is what
``Searcher.find_candidates`` returns: a list of results that shows itself as a table with the
selected formula (least description length) marked. Plain ``repr`` is unchanged.
"""

from __future__ import annotations

import html
import math
from collections.abc import Iterable, Sequence
from typing import Any

from kov_sr._core import SearchResult

__all__ = ["Front", "result_html", "result_latex", "table_html"]

SELECTED_MARK = "\u2605"  # the star before the selected row


def _number(value: float) -> str:
    return "exact" if value == 0.0 else f"{value:.4g}"


def result_latex(result: SearchResult) -> str:
    """The formula typeset, with its error and complexity, as one LaTeX math line."""
    return (
        rf"$\displaystyle y = {result.to_latex()}"
        rf"\quad\text{{(error {_number(result.error)}, complexity {result.complexity})}}$"
    )


def result_html(result: SearchResult) -> str:
    """The formula typeset (MathJax reads the $...$), its error, complexity and description."""
    rows = [("error", _number(result.error)), ("complexity", str(result.complexity))]
    if not math.isnan(result.description_length):
        rows.append(("description length", f"{result.description_length:.4g} nats"))
    cells = "".join(
        f"<tr><th style='text-align:left'>{name}</th><td>{value}</td></tr>" for name, value in rows
    )
    return (
        f"<div><p>$y = {html.escape(result.to_latex())}$</p>"
        f"<p><code>{html.escape(result.formula)}</code></p>"
        f"<table>{cells}</table></div>"
    )


def table_html(
    columns: Sequence[str], rows: Iterable[tuple[object, Sequence[Any]]], selected: object = None
) -> str:
    """An HTML table of (label, values) rows; the row labelled ``selected`` is starred and bold."""
    head = "".join(f"<th>{html.escape(str(name))}</th>" for name in ["", *columns])
    body = []
    for label, values in rows:
        chosen = selected is not None and label == selected
        mark = f"{SELECTED_MARK} " if chosen else ""
        style = " style='font-weight:bold'" if chosen else ""
        cells = "".join(f"<td>{_cell(value)}</td>" for value in values)
        body.append(f"<tr{style}><th>{mark}{html.escape(str(label))}</th>{cells}</tr>")
    return f"<table><thead><tr>{head}</tr></thead><tbody>{''.join(body)}</tbody></table>"


def _cell(value: Any) -> str:
    if isinstance(value, float):
        return html.escape(_number(value))
    return html.escape(str(value))


class Front(list[SearchResult]):
    """A Pareto list: each formula more accurate than every simpler one, most accurate first.

    A plain list for every use; ``selected`` is the formula of least description length (or the
    one given), marked in the notebook table.
    """

    def __init__(self, results: Iterable[SearchResult] = (), selected: int | None = None) -> None:
        super().__init__(results)
        self._selected = selected

    @property
    def selected_index(self) -> int | None:
        """Position of the selected formula; None when nothing can be selected."""
        if self._selected is not None:
            return self._selected
        lengths = [result.description_length for result in self]
        if not lengths or any(math.isnan(length) for length in lengths):
            return None
        return min(range(len(lengths)), key=lengths.__getitem__)

    @property
    def selected(self) -> SearchResult | None:
        """The selected formula, or None."""
        index = self.selected_index
        return None if index is None else self[index]

    def _repr_html_(self) -> str:
        rows = [
            (
                position,
                [
                    result.complexity,
                    result.error,
                    f"${result.to_latex()}$",
                    result.description_length,
                ],
            )
            for position, result in enumerate(self)
        ]
        columns = ["complexity", "error", "formula", "description length"]
        return table_html(columns, rows, self.selected_index)
