"""The progress bar of a long search (``progress=True``).

The search calls the bar with (level, elapsed, time_limit, best_error, best_formula) after each
level and a few times a second in between; the engine works without the interpreter lock and takes
it only for these calls. With tqdm installed the bar is tqdm's (a widget in notebooks, through
tqdm.auto); without it, one plain line per level goes to standard error.
"""

from __future__ import annotations

import sys
from typing import IO, Any

__all__ = ["ProgressBar"]

_FORMULA_WIDTH = 40


def _status(level: int, best_error: float, best_formula: str) -> str:
    formula = best_formula
    if len(formula) > _FORMULA_WIDTH:
        formula = formula[: _FORMULA_WIDTH - 1] + "\u2026"
    text = f"level {level}, best error {best_error:.3g}"
    return f"{text}: {formula}" if formula else text


class ProgressBar:
    """Elapsed time against the time limit, the level and the best error so far."""

    def __init__(self, time_limit: float | None = None, *, file: IO[str] | None = None) -> None:
        self.time_limit = time_limit
        self.level = 0
        self._file = file
        self._bar: Any = None
        try:
            from tqdm.auto import tqdm
        except ImportError:
            return
        if time_limit is None:
            bar_format = "{desc}: {elapsed}{postfix}"
        else:
            bar_format = "{desc}: {percentage:3.0f}%|{bar}| {elapsed} of {total:g} s{postfix}"
        self._bar = tqdm(
            total=time_limit, desc="kov_sr", bar_format=bar_format, file=file, leave=True
        )

    def __call__(
        self,
        level: int,
        elapsed: float,
        time_limit: float | None,
        best_error: float,
        best_formula: str,
    ) -> None:
        new_level = level != self.level
        self.level = level
        if self._bar is None:
            if new_level:
                limit = "" if time_limit is None else f" of {time_limit:g}"
                out = self._file if self._file is not None else sys.stderr
                print(
                    f"kov_sr: {elapsed:.1f} s{limit}, {_status(level, best_error, best_formula)}",
                    file=out,
                    flush=True,
                )
            return
        if time_limit is not None:
            self._bar.n = min(elapsed, time_limit)
        if new_level:
            self._bar.set_postfix_str(_status(level, best_error, best_formula), refresh=False)
        self._bar.refresh()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
