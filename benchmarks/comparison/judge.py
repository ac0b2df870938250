"""Judging a found formula against the truth: held-out R² and exact recovery.

Exact recovery, judged against the noise-free truth:
  symbolic  SymPy proves simplify(found - truth) == 0 after every number of the found formula
            that lies within 1e-6 (relative) of a simple constant p/q * k (q <= 100, k one of 1,
            pi, e, sqrt(2), sqrt(pi), sqrt(2 pi) or an inverse of those) is replaced by it;
  numeric   otherwise, the tool's own predictions at 1000 fresh points of the domain are all
            finite and max |found - truth| <= 1e-6 * max |truth|. This accepts fitted constants
            that are not simple numbers (g = 9.81) and tools that print rounded constants.
"""

from __future__ import annotations

import json
import math
import re
import signal
from dataclasses import dataclass
from fractions import Fraction

import numpy as np

from . import kov_reader, soundness
from .problems import Data, Problem, truth_expr

RECOVERY_TOLERANCE = 1e-6
SIMPLIFY_LIMIT = 20  # seconds SymPy may spend proving one formula
PLAUSIBLE_R2 = 0.99  # below this a formula cannot equal the truth; spares SymPy the attempt


@dataclass
class Run:
    tool: str
    problem: str
    noisy: bool
    status: str  # ok, timeout, error, no_model
    fit_seconds: float
    wall_seconds: float
    peak_mib: float
    model: str = ""
    r2: float | None = None
    recovered: bool = False
    recovery: str = ""  # symbolic or numeric
    message: str = ""
    measured: str = ""  # when the comparison that made this run started (UTC)
    budget: float | None = None  # seconds the tool was given
    unstable: bool | None = None  # see soundness.py; None: not assessed
    not_finite: bool | None = None


def r2_score(truth: np.ndarray, pred: np.ndarray) -> float:
    if pred.shape != truth.shape or not np.all(np.isfinite(pred)):
        return float("-inf")
    ss_tot = float(np.sum((truth - truth.mean()) ** 2))
    ss_res = float(np.sum((truth - pred) ** 2))
    if ss_tot == 0.0:
        return 1.0 if ss_res == 0.0 else float("-inf")
    return 1.0 - ss_res / ss_tot


def numerically_equal(truth: np.ndarray, pred: np.ndarray) -> bool:
    if pred.shape != truth.shape or not np.all(np.isfinite(pred)):
        return False
    scale = float(np.max(np.abs(truth)))
    return float(np.max(np.abs(pred - truth))) <= RECOVERY_TOLERANCE * scale


def _sympy_names():
    """The function names the tools print, as SymPy callables."""
    import sympy as sp

    return {
        "exp": sp.exp, "log": sp.log, "sqrt": sp.sqrt, "sin": sp.sin, "cos": sp.cos,
        "tan": sp.tan, "asin": sp.asin, "acos": sp.acos, "atan": sp.atan,
        "arcsin": sp.asin, "arccos": sp.acos, "arctan": sp.atan, "tanh": sp.tanh,
        "sinh": sp.sinh, "cosh": sp.cosh, "abs": sp.Abs, "Abs": sp.Abs,
        "max": sp.Max, "min": sp.Min, "log10": lambda a: sp.log(a, 10),
        "square": lambda a: a**2, "cbrt": sp.cbrt, "pow": lambda a, b: a**b,
        # gplearn's prefix form; its protected division equals a / b wherever |b| > 0.001
        "add": lambda a, b: a + b, "sub": lambda a, b: a - b, "mul": lambda a, b: a * b,
        "div": lambda a, b: a / b, "neg": lambda a: -a, "inv": lambda a: 1 / a,
        "pi": sp.pi, "E": sp.E, "I": sp.I,
    }


def to_sympy_expr(model: str, syntax: str, syms):
    """The found formula as a SymPy expression over the problem's symbols x0, x1, ..."""
    from sympy.parsing.sympy_parser import parse_expr

    if syntax == "kov":
        texts = json.loads(model)
        return kov_reader.to_sympy(texts["formula"], texts["python"], syms)
    by_name = {s.name: s for s in syms}
    text = model
    if syntax == "operon":  # variables are numbered from 1
        text = re.sub(r"\bX(\d+)\b", lambda m: f"x{int(m.group(1)) - 1}", text)
    elif syntax in ("gplearn", "ffx"):
        text = re.sub(r"\bX(\d+)\b", r"x\1", text)
    text = text.replace("^", "**")
    return parse_expr(text, local_dict={**_sympy_names(), **by_name})


def simple_constant(value: float):
    """A constant p/q * k within the recovery tolerance of value, or None."""
    import sympy as sp

    if value == 0.0 or not math.isfinite(value):
        return None
    bases = [sp.Integer(1), sp.pi, sp.E, sp.sqrt(2), sp.sqrt(sp.pi), sp.sqrt(2 * sp.pi)]
    for base in bases + [1 / b for b in bases[1:]]:
        ratio = Fraction(value / float(base)).limit_denominator(100)
        if ratio == 0:
            continue
        candidate = sp.Rational(ratio.numerator, ratio.denominator) * base
        if abs(float(candidate) - value) <= RECOVERY_TOLERANCE * abs(value):
            return candidate
    return None


class _Timeout(Exception):
    pass


def symbolically_equal(found, truth) -> bool:
    import sympy as sp

    replacements = {}
    for number in found.atoms(sp.Float):
        nice = simple_constant(float(number))
        if nice is not None:
            replacements[number] = nice
    found = found.xreplace(replacements)

    def on_alarm(signum, frame):
        raise _Timeout

    previous = signal.signal(signal.SIGALRM, on_alarm)
    signal.alarm(SIMPLIFY_LIMIT)  # SymPy can take unbounded time on large formulas
    try:
        difference = sp.simplify(found - truth)
        return difference == 0 or bool(difference.is_zero)
    except Exception:  # noqa: BLE001 - an unprovable formula is simply not proven
        return False
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


def judge(problem: Problem, data: Data, tool: str, report: dict) -> Run:
    run = Run(tool=tool, problem=problem.name, noisy=problem.noisy, status=report["status"],
              fit_seconds=float(report.get("fit_seconds", 0.0)),
              wall_seconds=report["wall_seconds"], peak_mib=report["peak_mib"],
              model=report.get("model", ""), message=report.get("message", ""))
    if run.status != "ok":
        return run
    run.r2 = r2_score(data.y_test, report["pred_test"])
    truth, syms = truth_expr(problem)
    try:
        found = to_sympy_expr(report["source"], report["syntax"], syms)
    except Exception as exc:  # noqa: BLE001 - an unparsable formula can still match numerically
        found = None
        run.message = f"not parsed by SymPy: {type(exc).__name__}"
    if found is not None:
        try:
            scale = float(np.sqrt(np.mean(np.square(data.y_train))))
            run.not_finite, run.unstable = soundness.assess(found, syms, data.x_check,
                                                            report["pred_check"], scale)
        except Exception:  # noqa: BLE001 - a formula NumPy or mpmath cannot evaluate
            run.not_finite, run.unstable = None, None
    if run.r2 < PLAUSIBLE_R2:
        return run
    try:
        if found is not None and symbolically_equal(found, truth):
            run.recovered, run.recovery = True, "symbolic"
    except Exception as exc:  # noqa: BLE001 - an unparsable formula can still match numerically
        run.message = f"not parsed by SymPy: {type(exc).__name__}"
    if not run.recovered and numerically_equal(data.y_check, report["pred_check"]):
        run.recovered, run.recovery = True, "numeric"
    return run
