#!/usr/bin/env python3
"""One search split across a Dask LocalCluster of 1 and of 2 worker processes.

Runs the hard-large problem (x = linspace(0.1, 5, 100), y = 10 + x³ sin x, default settings) with
``DistributedSearcher`` on a cluster of one worker process and on one of two (one thread each),
checks that both return what the local ``Searcher`` returns, and reports per level the wall time,
each share's expansion and scoring time, the children built and scored, and the bytes moved:
fingerprint offers between workers, verdict bits back, scores to the driver and the beam to every
worker. Writes the tables to --out (default benchmarks/results/distributed.md).

    python3 benchmarks/bench_distributed.py                  # hard-large, about a minute
    python3 benchmarks/bench_distributed.py --max-complexity 8 --repeat 3

Needs Dask's distributed package (pip install "kov-sr[distributed]").
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import platform
import time
from datetime import datetime, timezone
from pathlib import Path

import numpy as np
from distributed import Client, LocalCluster

import kov_sr
from kov_sr.distributed import DistributedSearcher


def state(results: list[kov_sr.SearchResult]) -> list[object]:
    return [r.__reduce__()[1] for r in results]


def megabytes(count: float) -> str:
    return f"{count / 1e6:.2f}"


def run(workers: int, settings: dict[str, int], x: np.ndarray, y: np.ndarray, repeat: int):
    with LocalCluster(
        n_workers=workers, processes=True, threads_per_worker=1, dashboard_address=None
    ) as cluster, Client(cluster) as client:
        searcher = DistributedSearcher(client, **settings)
        best = None
        for _ in range(repeat):
            start = time.perf_counter()
            with contextlib.redirect_stdout(io.StringIO()):
                results = searcher.find_candidates(x.reshape(-1, 1), y)
            seconds = time.perf_counter() - start
            if best is None or seconds < best[0]:
                best = (seconds, results, searcher.last_levels)
        return best


def per_share(shares: list[dict[str, float]], key: str) -> str:
    return ", ".join(f"{s[key]:.3f}" for s in shares)


def level_table(levels: list[dict[str, object]]) -> list[str]:
    lines = [
        "| level | wall s | expansion cpu s | judging cpu s | scoring cpu s | built | unique | "
        "offers MB | verdicts MB | scores MB | beam MB |",
        "|---:|---:|---|---|---|---:|---:|---:|---:|---:|---:|",
    ]
    for number, level in enumerate(levels, start=2):
        shares = level["shares"]
        lines.append(
            f"| {number} | {level['seconds']:.3f} | "
            f"{per_share(shares, 'expansion_cpu_seconds')} | "
            f"{per_share(shares, 'judging_cpu_seconds')} | "
            f"{per_share(shares, 'scoring_cpu_seconds')} | "
            f"{sum(s['generated'] for s in shares)} | {sum(s['unique'] for s in shares)} | "
            f"{megabytes(level['offered_bytes'])} | {megabytes(level['verdict_bytes'])} | "
            f"{megabytes(level['score_bytes'])} | {megabytes(level['beam_bytes'])} |"
        )
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--max-complexity", type=int, default=10)
    parser.add_argument("--repeat", type=int, default=1, help="runs per cluster; fastest counts")
    default_out = Path(__file__).parent / "results" / "distributed.md"
    parser.add_argument("--out", type=Path, default=default_out)
    args = parser.parse_args()

    x = np.linspace(0.1, 5, 100)
    y = 10 + x**3 * np.sin(x)
    settings = {"max_complexity": args.max_complexity}
    with contextlib.redirect_stdout(io.StringIO()):
        start = time.perf_counter()
        local = kov_sr.Searcher(**settings).find_candidates(x.reshape(-1, 1), y)
        local_seconds = time.perf_counter() - start

    report = [
        "# One search on a Dask LocalCluster",
        "",
        f"{datetime.now(timezone.utc):%Y-%m-%d %H:%M} UTC; {platform.node()}, "
        f"{platform.machine()}, {os.cpu_count()} logical processors, load average before the runs "
        f"{', '.join(f'{v:.1f}' for v in os.getloadavg())}; Python {platform.python_version()}.",
        "",
        f"Problem: hard-large (x = linspace(0.1, 5, 100), y = 10 + x³ sin x), find_candidates, "
        f"max_complexity={args.max_complexity}, other settings default. The local Searcher "
        f"(all processors) took {local_seconds:.2f} s. Fastest of {args.repeat} run(s) per "
        "cluster.",
        "",
    ]
    timings = {}
    for workers in (1, 2):
        seconds, results, levels = run(workers, settings, x, y, args.repeat)
        same = state(results) == state(local)
        timings[workers] = seconds
        print(f"{workers} worker(s): {seconds:.2f} s, same as local: {same}")
        report += [
            f"## {workers} worker process(es), one thread each: {seconds:.2f} s "
            f"(same results as the local search: {'yes' if same else 'NO'})",
            "",
        ]
        report += level_table(levels) + [""]
    speedup = timings[1] / timings[2]
    print(f"speed-up with 2 workers: {speedup:.2f}")
    report += [f"Speed-up with 2 workers over 1: **{speedup:.2f}×**.", ""]
    args.out.parent.mkdir(parents=True, exist_ok=True)
    existing = args.out.read_text() if args.out.exists() else ""
    marker = "\n## Reading these figures"
    model = existing[existing.index(marker):] if marker in existing else ""
    args.out.write_text("\n".join(report) + model)


if __name__ == "__main__":
    main()
