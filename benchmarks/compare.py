#!/usr/bin/env python3
"""Compare kov_sr with other symbolic-regression tools on ground-truth problems.

Every tool runs every selected problem in its own child process, so that wall time and peak
memory (the child's ru_maxrss) belong to that run alone and a tool that overruns can be killed.
Each tool gets the same wall-clock budget per problem and otherwise its documented default
settings: tools with a time-limit option get the budget through it, the others are killed when
the budget plus a grace period runs out, which counts as a failure.

The problems (Nguyen-1..12 and physics formulas of one to four variables, each also with 1%
Gaussian noise on the training targets) are in comparison/problems.py, the recovery rule in
comparison/judge.py. Outputs, in --out (default benchmarks/results): comparison.md,
recovery_vs_time.png, runs.json and logs/ (each run's console output).

    python3 benchmarks/compare.py                      # everything, 60 s per run: hours
    python3 benchmarks/compare.py --tools kov_sr,pyoperon --problems 'nguyen-*' --noise off

Needs numpy, sympy and matplotlib; the peers are optional (benchmarks/requirements.txt).
"""

from __future__ import annotations

import argparse
import json
import sys
import tempfile
import time
from dataclasses import asdict
from datetime import datetime, timezone
from pathlib import Path

from comparison.judge import judge
from comparison.problems import make_data, select_problems
from comparison.report import fmt, machine_description, one_line, write_markdown, write_plot
from comparison.runner import STARTUP_LIMIT, run_child
from comparison.tools import TOOLS, tool_status, worker_main

ENTRY = Path(__file__).resolve()
DEFAULT_OUT = ENTRY.parent / "results"


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--budget", type=float, default=60.0,
                        help="wall-clock seconds per tool and problem (default 60)")
    parser.add_argument("--grace", type=float, default=None,
                        help="extra seconds before a run is killed (default max(2, budget/10))")
    parser.add_argument("--problems", help="comma-separated names or patterns (see --list)")
    parser.add_argument("--tools", default=",".join(TOOLS),
                        help=f"comma-separated subset of {', '.join(TOOLS)} (default all)")
    parser.add_argument("--noise", choices=("both", "off", "only"), default="both",
                        help="run the noise-free problems, the noisy ones, or both (default)")
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help="output directory")
    parser.add_argument("--list", action="store_true", help="list the problems and exit")
    args = parser.parse_args(argv)
    if args.budget <= 0:
        parser.error("--budget must be positive")
    args.tools = [t.strip() for t in args.tools.split(",") if t.strip()]
    unknown = [t for t in args.tools if t not in TOOLS]
    if unknown:
        parser.error(f"unknown tool(s): {', '.join(unknown)}; known: {', '.join(TOOLS)}")
    try:
        args.problems = select_problems(args.problems, args.noise)
    except ValueError as exc:
        parser.error(str(exc))
    if args.grace is None:
        args.grace = max(2.0, args.budget / 10)
    return args


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv and argv[0] == "--worker":
        return worker_main(*argv[1:5])
    args = parse_args(argv)
    if args.list:
        for p in args.problems:
            print(f"{p.name:28} {p.n_vars} var  n={p.n_train:<4} {p.truth}")
        return 0

    versions, skipped = {}, {}
    for tool in args.tools:
        usable, info = tool_status(tool, STARTUP_LIMIT)
        (versions if usable else skipped)[tool] = info
        print(f"[compare] {tool}: {info if usable else 'skipped, ' + info}", flush=True)
    runnable = [t for t in args.tools if t not in skipped]

    logs = args.out / "logs"
    logs.mkdir(parents=True, exist_ok=True)
    runs = []
    began = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="kov_compare_") as scratch:
        for problem in args.problems:
            data = make_data(problem)
            for tool in runnable:
                report = run_child(ENTRY, tool, data, args.budget, args.grace, Path(scratch),
                                   logs / f"{problem.name}__{tool}.log")
                run = judge(problem, data, tool, report)
                runs.append(run)
                verdict = f"recovered ({run.recovery})" if run.recovered else run.status
                print(f"[compare] {problem.name:24} {tool:10} {verdict:20} "
                      f"R²={fmt(run.r2, '.4f'):7} {run.fit_seconds:6.2f} s "
                      f"{run.peak_mib:5.0f} MiB  {one_line(run.model or run.message, 60)}",
                      flush=True)
    total = time.monotonic() - began

    settings = {
        "date": datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "machine": machine_description(), "budget": args.budget, "grace": args.grace,
        "command": " ".join(["python3 benchmarks/compare.py", *argv]), "total_seconds": total,
    }
    write_markdown(args.out / "comparison.md", runs, args.problems, args.tools, versions,
                   skipped, settings)
    write_plot(args.out / "recovery_vs_time.png", runs, runnable, args.budget, args.grace)
    (args.out / "runs.json").write_text(json.dumps(
        {"settings": settings, "versions": versions, "skipped": skipped,
         "runs": [asdict(r) for r in runs]}, indent=1))
    print(f"[compare] {len(runs)} runs in {total:.0f} s; wrote comparison.md, "
          f"recovery_vs_time.png and runs.json to {args.out}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
