"""Whether a returned formula's text computes trustworthy values on fresh points of the domain.

  not finite  the tool's own predictions, or the text evaluated by NumPy in real arithmetic (as a
              reader would), are not all finite on the fresh points;
  unstable    the text's real values in double precision (NumPy, complex arithmetic allowed) and
              at 30 significant digits (mpmath) differ by more than 1e-7 of the targets' scale:
              the value rests on rounding (a huge constant times a rounding residue, a period
              of tan found by rounding, a branch cut taken by the sign of a residue).
"""

from __future__ import annotations

import warnings

import numpy as np

STABILITY_TOLERANCE = 1e-7
POINTS = 200  # of the fresh points: enough to meet a bad region, cheap enough for mpmath
DIGITS = 30


def _numpy_values(expr, syms, x: np.ndarray, dtype) -> np.ndarray:
    import sympy as sp

    function = sp.lambdify(syms, expr, modules="numpy")
    columns = [x[:, i].astype(dtype) for i in range(x.shape[1])]
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        values = np.asarray(function(*columns))
    return np.broadcast_to(values, (x.shape[0],)).astype(np.complex128)


def _mpmath_values(expr, syms, x: np.ndarray) -> np.ndarray:
    import mpmath
    import sympy as sp

    function = sp.lambdify(syms, expr, modules="mpmath")
    out = np.empty(x.shape[0], dtype=np.complex128)
    with mpmath.workdps(DIGITS):
        for j, row in enumerate(x):
            try:
                value = mpmath.mpc(function(*[mpmath.mpf(float(v)) for v in row]))
                out[j] = complex(value)
            except (ZeroDivisionError, ValueError, OverflowError, TypeError):
                out[j] = complex(np.nan, 0.0)
    return out


def assess(expr, syms, x_fresh: np.ndarray, pred_fresh: np.ndarray, scale: float):
    """(not_finite, unstable) of a formula (a SymPy expression) on the fresh points."""
    x = x_fresh[:POINTS]
    not_finite = not np.all(np.isfinite(pred_fresh))
    real = _numpy_values(expr, syms, x, np.float64)
    not_finite = not_finite or not np.all(np.isfinite(real))
    double = _numpy_values(expr, syms, x, np.complex128).real
    wide = _mpmath_values(expr, syms, x).real
    both = np.isfinite(double) & np.isfinite(wide)
    unstable = bool(np.any(np.isfinite(double) != np.isfinite(wide))) or bool(
        np.any(np.abs(double[both] - wide[both]) > STABILITY_TOLERANCE * scale))
    return bool(not_finite), unstable
