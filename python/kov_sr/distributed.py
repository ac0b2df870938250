"""Searches on a Dask cluster.

``fit_many`` runs many independent searches as Dask tasks. Dask's ``distributed`` package is an
optional dependency (``pip install "kov-sr[distributed]"``); it is imported on first use, so that
importing this module never needs it.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import Any

from kov_sr._core import Searcher, SearchResult

__all__ = ["fit_many"]


def _require_distributed() -> Any:
    try:
        import distributed
    except ImportError as error:
        raise ImportError(
            "kov_sr.distributed needs Dask's distributed package: "
            'pip install "kov-sr[distributed]"'
        ) from error
    return distributed


def _find_candidates(searcher: Searcher, inputs: Any, targets: Any) -> list[SearchResult]:
    return searcher.find_candidates(inputs, targets)


def fit_many(
    client: Any, searcher: Searcher, problems: Iterable[tuple[Any, Any]]
) -> list[list[SearchResult]]:
    """Runs ``searcher.find_candidates(inputs, targets)`` for every ``(inputs, targets)`` of
    ``problems`` as a task on the cluster behind the Dask ``client``.

    Returns the Pareto lists in the order of ``problems``, each the list the same ``Searcher``
    returns locally. The first search that fails raises its exception here.
    """
    _require_distributed()
    if not isinstance(searcher, Searcher):
        raise TypeError(f"searcher must be a kov_sr.Searcher, not {type(searcher).__name__}")
    pairs: Sequence[tuple[Any, Any]] = list(problems)
    for index, problem in enumerate(pairs):
        if not isinstance(problem, tuple | list) or len(problem) != 2:
            raise TypeError(f"problems[{index}] must be a pair (inputs, targets)")
    # pure=False: equal problems are still separate searches, never merged by key.
    futures = [
        client.submit(_find_candidates, searcher, inputs, targets, pure=False)
        for inputs, targets in pairs
    ]
    try:
        return list(client.gather(futures))
    finally:
        client.cancel(futures)
