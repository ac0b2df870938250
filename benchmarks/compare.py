#!/usr/bin/env python3
"""Compare kov_sr with other symbolic-regression tools on ground-truth problems.

Every tool runs every selected problem in its own child process, so that wall time and peak
memory (the child's ru_maxrss) belong to that run alone and a tool that overruns can be killed.
Each tool gets the same wall-clock budget per problem and otherwise its documented default
settings: tools with a time-limit option get the budget through it, the others are killed when
the budget plus a grace period runs out, which counts as a failure.

kov_sr also runs as "kov_sr+units" on the problems whose units are known (the textbook set),
given the units of every variable and of the target.

The problems (Nguyen-1..12 and physics formulas of one to four variables, and the Keijzer and
Livermore sets, each reported on its own; every problem noise-free and with 1% and 10% Gaussian
noise on the training targets) are in comparison/problems.py, the recovery rule in
comparison/judge.py. Outputs, in --out (default benchmarks/results): comparison.md,
recovery_vs_time.png, runs.json and logs/ (each run's console output). With --merge the new runs
replace the same tool's runs of the same problems in the stored runs.json and every other stored
run is kept, so a new kov_sr can be compared without running the peers again.

    python3 benchmarks/compare.py                      # everything, 60 s per run: many hours
    python3 benchmarks/compare.py --tools kov_sr,pyoperon --problems 'nguyen-*' --noise off
    python3 benchmarks/compare.py --tools kov_sr --merge   # kov_sr again, the peers as stored

Needs numpy, sympy and matplotlib; the peers are optional (benchmarks/requirements.txt).
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from datetime import datetime, timezone
from pathlib import Path
from typing import Any

from comparison import store
from comparison.judge import judge
from comparison.problems import NOISE_CHOICES, all_problems, make_data, select_problems
from comparison.report import fmt, machine_description, one_line, write_markdown, write_plot
from comparison.runner import STARTUP_LIMIT, run_child
from comparison.tools import (KOV_SELECTIONS, KOV_STRATEGIES, TOOLS, kov_description, tool_status,
                              worker_main)

ENTRY = Path(__file__).resolve()
UNITS_TOOL = "kov_sr+units"  # kov_sr given the problem's units
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
    parser.add_argument("--noise", choices=tuple(NOISE_CHOICES), default="all",
                        help="noise levels to run: all (default: noise-free, 1%% and 10%%), "
                             "both (noise-free and 1%%), off (noise-free), only (1%% and 10%%), "
                             "1 or 10")
    parser.add_argument("--kov-strategy", choices=KOV_STRATEGIES, default="thorough",
                        help="kov_sr's search: thorough with the budget as its time limit "
                             "(default; the classic search where kov_sr has no other), or "
                             "classic with its defaults, as the first committed runs")
    parser.add_argument("--kov-selection", choices=KOV_SELECTIONS, default="best",
                        help="kov_sr's answer: the formula its model-selection criterion picks "
                             "(default, where kov_sr has one) or the most accurate one")
    parser.add_argument("--merge", action="store_true",
                        help="keep the runs stored in OUT/runs.json, replacing only those of the "
                             "tools and problems run now, and report on all of them")
    parser.add_argument("--overwrite", action="store_true",
                        help="replace OUT/runs.json even where it holds runs not made again")
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
    lost = _runs_not_repeated(args)
    if lost and not (args.merge or args.overwrite or args.list):
        parser.error(f"{args.out / 'runs.json'} holds {lost} runs that this comparison does not "
                     "make again: pass --merge to keep them or --overwrite to drop them")
    return args


def _runs_not_repeated(args) -> int:
    """How many stored runs in OUT/runs.json fall outside the tools and problems of this run."""
    stored = args.out / "runs.json"
    if not stored.exists():
        return 0
    planned = {p.name for p in args.problems}
    try:
        runs = store.load(stored)["runs"]
    except (ValueError, KeyError, TypeError):
        return 0  # not a file of ours: nothing to keep
    return sum(r.tool not in args.tools or r.problem not in planned for r in runs)


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
    options = {"kov_strategy": args.kov_strategy, "kov_selection": args.kov_selection}
    tool_settings = {t: TOOLS[t].settings for t in runnable}
    if "kov_sr" in runnable or UNITS_TOOL in runnable:
        shown = kov_description(args.kov_strategy, args.kov_selection, args.budget)
        for tool in ("kov_sr", UNITS_TOOL):
            if tool in runnable:
                tool_settings[tool] = shown + (
                    "; units= and target_units= of the problem given" if tool == UNITS_TOOL
                    else "")
        print(f"[compare] kov_sr runs as: {shown}", flush=True)
    stored = args.out / "runs.json"
    if args.merge and not stored.exists():
        print(f"[compare] --merge: no {stored} yet, starting afresh", flush=True)
    date = datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")

    logs = args.out / "logs"
    logs.mkdir(parents=True, exist_ok=True)
    runs = []
    began = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="kov_compare_") as scratch:
        for problem in args.problems:
            data = make_data(problem)
            for tool in runnable:
                run_options = options
                if tool == UNITS_TOOL:
                    if problem.unit_dicts is None:
                        continue  # the variant given units runs only where units are known
                    run_options = dict(options, units=problem.unit_dicts)
                report = run_child(ENTRY, tool, data, args.budget, args.grace, Path(scratch),
                                   logs / f"{problem.name}__{tool}.log", run_options)
                run = judge(problem, data, tool, report)
                run.measured, run.budget = date, args.budget
                runs.append(run)
                verdict = f"recovered ({run.recovery})" if run.recovered else run.status
                print(f"[compare] {problem.name:24} {tool:10} {verdict:20} "
                      f"R²={fmt(run.r2, '.4f'):7} {run.fit_seconds:6.2f} s "
                      f"{run.peak_mib:5.0f} MiB  {one_line(run.model or run.message, 60)}",
                      flush=True)
    total = time.monotonic() - began

    settings = {
        "date": date, "machine": machine_description(), "budget": args.budget,
        "grace": args.grace, "command": " ".join(["python3 benchmarks/compare.py", *argv]),
        "total_seconds": total,
    }
    new: dict[str, Any] = {"runs": runs, "versions": versions, "tool_settings": tool_settings}
    if args.merge and stored.exists():
        new = store.merge(store.load(stored), runs, versions, tool_settings)
    reported = {r.problem for r in new["runs"]}
    problems = [p for p in all_problems() if p.name in reported]
    tools = [t for t in TOOLS if any(r.tool == t for r in new["runs"])] + \
        [t for t in args.tools if t in skipped]
    write_markdown(args.out / "comparison.md", new["runs"], problems, tools, new["versions"],
                   new["tool_settings"], skipped, settings)
    write_plot(args.out / "recovery_vs_time.png", new["runs"], tools, problems, args.grace)
    store.save(stored, new, settings, skipped)
    kept = len(new["runs"]) - len(runs)
    print(f"[compare] {len(runs)} runs in {total:.0f} s" + (f", {kept} stored runs kept" if kept
                                                             else "")
          + f"; wrote comparison.md, recovery_vs_time.png and runs.json to {args.out}",
          flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
