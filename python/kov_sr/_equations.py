"""The estimator's ``equations_`` as a pandas DataFrame that marks the selected formula.

A plain DataFrame for every use (columns, selections and copies keep the class and the mark); in a
notebook its rows show with the one of ``result_`` starred. Imported only when pandas is.
"""

from __future__ import annotations

from typing import Any

import pandas

from kov_sr.display import table_html

__all__ = ["Equations"]


class Equations(pandas.DataFrame):  # type: ignore[misc]
    """``attrs["selected"]`` is the index label of the selected row."""

    @property
    def _constructor(self) -> Any:
        return Equations

    def _repr_html_(self) -> str | None:
        selected = self.attrs.get("selected")
        if selected is None or selected not in self.index:
            return super()._repr_html_()  # type: ignore[no-any-return]
        rows = [(label, list(values)) for label, values in zip(self.index, self.to_numpy())]
        return table_html([str(column) for column in self.columns], rows, selected)
