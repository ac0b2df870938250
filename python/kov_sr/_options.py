"""The options of ``Searcher`` as the extension module lists them, for the surfaces built on it.

The estimator, the command line and ``DistributedSearcher`` take their parameters, defaults and
checks from ``SEARCH_OPTIONS`` instead of repeating them; the defaults are the engine's own.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Literal

from kov_sr import _core

__all__ = ["SEARCH_OPTIONS", "SearchOption", "default", "searcher_arguments"]


@dataclass(frozen=True)
class SearchOption:
    """One option of ``Searcher`` and the values a search can use for it."""

    name: str
    default: Any
    keyword_only: bool
    doc: str  # one line, as the Searcher property shows it
    kind: Literal["int", "float", "bool", "str"]
    minimum: float | None  # None: no lower bound
    minimum_included: bool
    finite: bool  # floats: NaN and the infinities are of no use
    none_allowed: bool  # None stands for "not set"
    choices: tuple[str, ...]  # str: the words accepted


SEARCH_OPTIONS: tuple[SearchOption, ...] = tuple(
    SearchOption(*row) for row in _core._searcher_options
)

_BY_NAME = {option.name: option for option in SEARCH_OPTIONS}


def default(name: str) -> Any:
    """The default of the Searcher option ``name``."""
    return _BY_NAME[name].default


def searcher_arguments(values: Mapping[str, Any]) -> tuple[list[Any], dict[str, Any]]:
    """``Searcher(*args, **kwargs)``'s arguments for the options in ``values``: positional ones by
    position (all of them up to the last given), keyword-only ones by name."""
    positional = [option for option in SEARCH_OPTIONS if not option.keyword_only]
    given = [index for index, option in enumerate(positional) if option.name in values]
    count = given[-1] + 1 if given else 0
    args = [values.get(option.name, option.default) for option in positional[:count]]
    kwargs = {
        option.name: values[option.name]
        for option in SEARCH_OPTIONS
        if option.keyword_only and option.name in values
    }
    return args, kwargs
