#!/usr/bin/env python3
"""How well kov_sr recognises 20 well-known constants, and how fast.

Each constant is given as the double nearest to it. An answer counts as right when it matches the
double to its own precision (``within_precision``) and SymPy agrees that it is the constant: the
answer and the constant agree to 40 digits at 60-digit precision, which no chance formula of a
few tokens does. Each constant is searched with the default Searcher twice, with the written
search (``integers=False``) and with ``integers=True``; as a reference, mpmath.identify (PSLQ over
a basis of common constants) gets the same doubles.

    python3 benchmarks/bench_constants.py            # writes benchmarks/results/constants.md

Needs kov_sr (installed), SymPy and mpmath.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import sys
import time
from dataclasses import dataclass
from datetime import datetime, timezone
from pathlib import Path

import mpmath
import sympy

import kov_sr
from kov_sr.export import to_sympy

sys.path.insert(0, str(Path(__file__).resolve().parent))
from comparison.report import machine_description  # noqa: E402

OUT = Path(__file__).resolve().parent / "results" / "constants.md"
S = sympy.S

# (name, SymPy expression); the value searched is the double nearest to it.
CONSTANTS = [
    ("37/10", S(37) / 10),
    ("3/8", S(3) / 8),
    ("22/7", S(22) / 7),
    ("7/12", S(7) / 12),
    ("φ = (1+√5)/2", (1 + sympy.sqrt(5)) / 2),
    ("1+√2", 1 + sympy.sqrt(2)),
    ("√2", sympy.sqrt(2)),
    ("√3/2", sympy.sqrt(3) / 2),
    ("∛2", sympy.cbrt(2)),
    ("√2+√3", sympy.sqrt(2) + sympy.sqrt(3)),
    ("ln 10", sympy.log(10)),
    ("ln 2", sympy.log(2)),
    ("log₂ 3", sympy.log(3) / sympy.log(2)),
    ("π²/6", sympy.pi**2 / 6),
    ("π/4", sympy.pi / 4),
    ("2π", 2 * sympy.pi),
    ("√π", sympy.sqrt(sympy.pi)),
    ("e^π", sympy.exp(sympy.pi)),
    ("1/e", 1 / sympy.E),
    ("π+e", sympy.pi + sympy.E),
]

# What mpmath.identify may combine: the usual basis of a constant-recognition session.
MPMATH_BASIS = ["pi", "e", "log(2)", "log(3)", "log(10)", "sqrt(2)", "sqrt(3)", "sqrt(5)"]


@dataclass
class Outcome:
    answer: str
    seconds: float
    right: bool


def same_constant(expression: sympy.Expr, expected: sympy.Expr) -> bool:
    # The search reports real parts; ArcSin/ArcCos beyond 1 differ from SymPy's by a conjugate.
    difference = sympy.re(expression) - expected
    value = sympy.N(difference, 60)
    return bool(value.is_number and abs(value) < sympy.Float("1e-40"))


def run_kov(searcher: kov_sr.Searcher, value: float, expected: sympy.Expr,
            integers: bool) -> Outcome:
    with contextlib.redirect_stdout(io.StringIO()):
        start = time.perf_counter()
        result = searcher.recognize_constant(value, integers=integers)
        seconds = time.perf_counter() - start
    right = bool(result.within_precision) and same_constant(to_sympy(result), expected)
    return Outcome(result.formula, seconds, right)


def run_mpmath(value: float, expected: sympy.Expr) -> Outcome:
    mpmath.mp.dps = 15
    start = time.perf_counter()
    found = mpmath.identify(value, MPMATH_BASIS)
    seconds = time.perf_counter() - start
    if found is None:
        return Outcome("–", seconds, False)
    try:
        # mpmath writes e for Euler's number, which SymPy would read as a symbol.
        expression = sympy.sympify(found, locals={"e": sympy.E, "pi": sympy.pi})
        close = abs(complex(sympy.N(expression, 30)) - value) <= 1e-12 * abs(value)
    except (sympy.SympifyError, TypeError, ValueError):
        return Outcome(found, seconds, False)
    return Outcome(found, seconds, close and same_constant(expression, expected))


def cell(outcome: Outcome) -> str:
    mark = "✓" if outcome.right else "✗"
    return f"{mark} `{outcome.answer}` ({outcome.seconds:.2f} s)"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=OUT)
    arguments = parser.parse_args()

    searcher = kov_sr.Searcher()
    rows = []
    for name, expected in CONSTANTS:
        value = float(expected)
        written = run_kov(searcher, value, expected, integers=False)
        integers = run_kov(searcher, value, expected, integers=True)
        reference = run_mpmath(value, expected)
        rows.append((name, value, written, integers, reference))
        print(f"{name:>14}  {cell(written)}  {cell(integers)}  {cell(reference)}", flush=True)

    def total(column: int) -> tuple[int, float]:
        outcomes = [row[column] for row in rows]
        return sum(o.right for o in outcomes), sum(o.seconds for o in outcomes)

    machine = machine_description()
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    lines = [
        "# Constant recognition: 20 well-known constants",
        "",
        f"Run on {datetime.now(timezone.utc):%Y-%m-%d %H:%M} UTC, {machine['arch']} "
        f"{machine['cpu']}, {machine['cores']} cores, {machine['memory']}, Python "
        f"{machine['python']}, load average {load:.1f} when it ended (the machine is shared: "
        "times are wall times under that load). Command: `python3 benchmarks/bench_constants.py`.",
        "",
        "Each constant is searched as the double nearest to it, with `Searcher()` (max complexity "
        "10, beam 1000). Right means `within_precision` and SymPy agreeing with the constant to 40 "
        "digits. mpmath.identify gets the basis " + ", ".join(MPMATH_BASIS) + ".",
        "",
        "| | right | total time |",
        "|---|---|---|",
    ]
    for label, column in (("`recognize_constant(x)`", 2),
                          ("`recognize_constant(x, integers=True)`", 3),
                          ("mpmath.identify", 4)):
        right, seconds = total(column)
        lines.append(f"| {label} | {right} / {len(rows)} | {seconds:.1f} s |")
    lines += [
        "",
        "| constant | value | `recognize_constant(x)` | `integers=True` | mpmath.identify |",
        "|---|---|---|---|---|",
    ]
    for name, value, written, integers, reference in rows:
        lines.append(f"| {name} | {value!r} | {cell(written)} | {cell(integers)} | "
                     f"{cell(reference)} |")
    arguments.out.parent.mkdir(parents=True, exist_ok=True)
    arguments.out.write_text("\n".join(lines) + "\n", encoding="utf-8")
    print(f"wrote {arguments.out}")


if __name__ == "__main__":
    main()
