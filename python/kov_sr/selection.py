"""The selected formula of a Pareto list: the one of least description length.

The search returns formulas from the most accurate (usually the most complex) to the simplest.
With noisy data the most accurate one has fitted the noise; each result's
``description_length`` weighs its error against its complexity and its fitted numbers, in nats,
and the least value marks the formula the data support best.
"""

from __future__ import annotations

import math
from collections.abc import Iterable
from typing import Protocol, TypeVar

__all__ = ["select"]


class _Described(Protocol):
    @property
    def description_length(self) -> float: ...


_Result = TypeVar("_Result", bound=_Described)


def select(candidates: Iterable[_Result]) -> _Result:
    """Return the candidate of least ``description_length``; the earliest of equal ones.

    ``candidates`` is a Pareto list (``Searcher.find_candidates``) or any results of one search:
    their values are comparable only on the same data. A result without a value (NaN, from a
    pickle made before results recorded it) is refused with ``ValueError``, as is an empty list.
    """
    chosen: _Result | None = None
    for position, candidate in enumerate(candidates):
        value = candidate.description_length
        if math.isnan(value):
            raise ValueError(
                f"candidate {position} has no description length "
                "(a result pickled before results recorded it)"
            )
        if chosen is None or value < chosen.description_length:
            chosen = candidate
    if chosen is None:
        raise ValueError("select needs at least one candidate")
    return chosen
