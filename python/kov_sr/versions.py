"""The package's version, and what a pickle written by another version of it means.

Results and fitted estimators carry the version that pickled them. Loading one written by a newer
version warns with both versions named: the newer one may have stored what this one cannot read.
"""

from __future__ import annotations

import re
import warnings
from importlib import metadata

from kov_sr import _core

__all__ = ["PickleVersionWarning", "check_pickled_version", "package_version"]


class PickleVersionWarning(UserWarning):
    """A pickle comes from a newer version of kov_sr than the one loading it."""


def package_version() -> str:
    """The installed distribution's version; the compiled module's when there is no metadata."""
    try:
        return metadata.version("kov-sr")
    except metadata.PackageNotFoundError:
        return _core.__version__


def _release(version: str) -> tuple[int, ...]:
    # The leading numbers of a version ("1.2.0rc1" -> (1, 2, 0)): enough to order releases.
    match = re.match(r"\d+(\.\d+)*", version.strip())
    return tuple(int(part) for part in match.group(0).split(".")) if match else ()


def is_newer(version: str, than: str) -> bool:
    """Whether release ``version`` comes after ``than`` (pre-release and local parts ignored)."""
    first, second = _release(version), _release(than)
    width = max(len(first), len(second))
    return first + (0,) * (width - len(first)) > second + (0,) * (width - len(second))


def check_pickled_version(pickled: str, what: str) -> None:
    """Warn when ``what`` was pickled by a newer version than this one."""
    current = package_version()
    if is_newer(pickled, current):
        warnings.warn(
            f"this {what} was pickled by kov_sr {pickled}, newer than the installed kov_sr "
            f"{current}; it may not load or behave as it did",
            PickleVersionWarning,
            stacklevel=2,
        )
