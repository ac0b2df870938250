#!/usr/bin/env python3
"""Figures of the thorough search that benchmarks/compare.py does not measure.

  line       2.5x + 1.3 on 20 evenly spaced points of [0, 1], Searcher(5): error and time;
  exact      exp(-x0/x1) and sqrt(x0**2 + x1**2) (100 points on [1, 5]^2) and x0**x1 (100 points
             on [0, 1]^2), default settings with the time limit --time-limit: recovered exactly
             (the comparison's judge) and time;
  rows       x sin x on [-5, 5] with 1% Gaussian noise, Searcher(8), no time limit, on 100, 1 000
             and 5 000 rows: time, its ratio to the first row count, and the formula's structure.

kov_sr runs with strategy="thorough" where the installed Searcher offers it (--strategy classic for
the written search) and answers with the model-selection criterion's pick where it has one, as in
the comparison. Each figure is one run in this process on all cores; the table goes to --out
(default benchmarks/results/thorough.md) with the date and the machine.

    python3 benchmarks/bench_thorough.py
    python3 benchmarks/bench_thorough.py --figures line,rows --rows 100,300 --out /tmp/t.md
"""

from __future__ import annotations

import argparse
import re
import sys
import time
from datetime import datetime, timezone
from pathlib import Path

import numpy as np

from comparison.judge import judge
from comparison.problems import Problem, all_problems, make_data
from comparison.report import machine_description, machine_line, one_line
from comparison.tools import KOV_STRATEGIES, kov_pick, kov_searcher_options

DEFAULT_OUT = Path(__file__).resolve().parent / "results" / "thorough.md"
HYPOTENUSE = Problem("hypotenuse", "sqrt(x0**2 + x1**2)", ((1.0, 5.0), (1.0, 5.0)), 100)
FIGURES = ("line", "exact", "rows")
NOISE = 0.01  # relative to the RMS of the targets, as in the comparison
SEED = 7

_NUMBER = re.compile(r"(?<![\w{.])[-+]?\d+(?:\.\d*)?(?:[eE][-+]?\d+)?")


def structure(formula: str) -> str:
    """The formula with every number written as c: the shape that noise must not change."""
    return _NUMBER.sub("c", formula)


def _searcher(kov_sr, strategy: str, time_limit: float | None, **settings):
    options, _ = kov_searcher_options(kov_sr, strategy, time_limit)
    return kov_sr.Searcher(**settings, **options)


def _timed(call):
    began = time.perf_counter()
    result = call()
    return result, time.perf_counter() - began


def bench_line(kov_sr, strategy: str) -> list[str]:
    x = np.linspace(0.0, 1.0, 20)
    y = 2.5 * x + 1.3
    searcher = _searcher(kov_sr, strategy, None, max_complexity=5)
    result, seconds = _timed(lambda: searcher.find_function(x, y))
    worst = float(np.max(np.abs(np.asarray(result.predict(x[:, None])) - y)))
    print(f"[thorough] line: error {result.error:.3g} in {seconds:.3f} s: {result.formula}")
    return ["## 2.5x + 1.3 on 20 points of [0, 1], Searcher(5)", "",
            "| error (RMSE) | max abs error | time (s) | formula |", "|---|---|---|---|",
            f"| {result.error:.3g} | {worst:.3g} | {seconds:.3f} | `{one_line(result.formula)}` |"]


def bench_exact(kov_sr, strategy: str, time_limit: float) -> list[str]:
    by_name = {p.name: p for p in all_problems()}
    lines = [f"## Exact recoveries, default settings, time limit {time_limit:g} s", "",
             "| problem | truth | recovered | time (s) | formula |", "|---|---|---|---|---|"]
    for problem in (by_name["boltzmann-factor"], by_name["nguyen-11"], HYPOTENUSE):
        data = make_data(problem)
        searcher = _searcher(kov_sr, strategy, time_limit)
        try:
            result, seconds = _timed(lambda: kov_pick(kov_sr, searcher, data.x_train,
                                                      data.y_train, "best"))
        except Exception as exc:  # noqa: BLE001 - a failed search is a figure too
            print(f"[thorough] {problem.name}: {type(exc).__name__}: {exc}")
            lines.append(f"| {problem.name} | `{problem.truth}` | {type(exc).__name__} | | |")
            continue
        report = {"status": "ok", "fit_seconds": seconds, "wall_seconds": seconds,
                  "peak_mib": 0.0, "model": result.formula, "syntax": "kov",
                  "source": _kov_source(result),
                  "pred_test": np.asarray(result.predict(data.x_test), dtype=np.float64),
                  "pred_check": np.asarray(result.predict(data.x_check), dtype=np.float64)}
        run = judge(problem, data, "kov_sr", report)
        verdict = run.recovery if run.recovered else f"no (R² {run.r2:.6f})"
        print(f"[thorough] {problem.name}: {verdict} in {seconds:.2f} s: {result.formula}")
        lines.append(f"| {problem.name} | `{problem.truth}` | {verdict} | {seconds:.2f} "
                     f"| `{one_line(result.formula)}` |")
    return lines


def _kov_source(result) -> str:
    import json

    return json.dumps({"formula": result.formula, "python": result.to_python()})


def bench_rows(kov_sr, strategy: str, row_counts: list[int]) -> list[str]:
    lines = ["## x sin x on [-5, 5], 1% noise, Searcher(8), no time limit", "",
             "| rows | time (s) | time / first | same structure as first | formula |",
             "|---|---|---|---|---|"]
    first_seconds = first_shape = None
    for n in row_counts:
        rng = np.random.default_rng(SEED)
        x = rng.uniform(-5.0, 5.0, n)
        y = x * np.sin(x)
        y = y + rng.normal(0.0, NOISE * float(np.sqrt(np.mean(y**2))), n)
        searcher = _searcher(kov_sr, strategy, None, max_complexity=8)
        result, seconds = _timed(lambda: kov_pick(kov_sr, searcher, x[:, None], y, "best"))
        shape = structure(result.formula)
        if first_seconds is None:
            first_seconds, first_shape = seconds, shape
        print(f"[thorough] x sin x, {n} rows: {seconds:.2f} s: {result.formula}")
        lines.append(f"| {n} | {seconds:.2f} | {seconds / first_seconds:.2f} "
                     f"| {'yes' if shape == first_shape else 'no'} "
                     f"| `{one_line(result.formula)}` |")
    return lines


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--strategy", choices=KOV_STRATEGIES, default="thorough",
                        help="kov_sr's search (default thorough, where kov_sr has it)")
    parser.add_argument("--time-limit", type=float, default=60.0,
                        help="time limit of the exact-recovery searches (default 60 s)")
    parser.add_argument("--rows", default="100,1000,5000",
                        help="row counts of the x sin x searches (default 100,1000,5000)")
    parser.add_argument("--figures", default=",".join(FIGURES),
                        help=f"comma-separated subset of {', '.join(FIGURES)} (default all)")
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help="the Markdown file")
    args = parser.parse_args(argv)
    args.figures = [f.strip() for f in args.figures.split(",") if f.strip()]
    unknown = [f for f in args.figures if f not in FIGURES]
    if unknown or not args.figures:
        parser.error(f"--figures takes a subset of {', '.join(FIGURES)}")
    try:
        args.rows = [int(n) for n in args.rows.split(",")]
    except ValueError:
        parser.error(f"--rows must be comma-separated integers, not {args.rows!r}")
    if not args.rows or min(args.rows) < 2:
        parser.error("--rows needs row counts of at least 2")
    if not args.time_limit > 0:
        parser.error("--time-limit must be positive")
    return args


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    args = parse_args(argv)
    import kov_sr
    from importlib import metadata

    _, how = kov_searcher_options(kov_sr, args.strategy, None)  # each figure adds its limit
    print(f"[thorough] kov_sr runs as: {how}", flush=True)
    figures = {"line": lambda: bench_line(kov_sr, args.strategy),
               "exact": lambda: bench_exact(kov_sr, args.strategy, args.time_limit),
               "rows": lambda: bench_rows(kov_sr, args.strategy, args.rows)}
    sections = [figures[name]() for name in FIGURES if name in args.figures]
    date = datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    lines = ["# The thorough search: line, exact recoveries, large data", "",
             f"Run on {date} on {machine_line(machine_description())}; kov_sr "
             f"{metadata.version('kov-sr')}, {how}.",
             f"Command: `{' '.join(['python3 benchmarks/bench_thorough.py', *argv])}`. "
             "One run per figure; time is the search alone, on all cores."]
    for section in sections:
        lines += [""] + section
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text("\n".join(lines) + "\n")
    print(f"[thorough] wrote {args.out}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
