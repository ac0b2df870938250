"""The Markdown table and the recovery-against-time plot of a comparison run."""

from __future__ import annotations

import math
import os
import platform
import statistics
from pathlib import Path

import numpy as np

from .judge import Run
from .problems import N_CHECK, N_TEST, NOISE_LEVELS, REPORT_GROUPS, Problem
from .store import measured_when


def machine_description() -> dict:
    cpu = "unknown CPU"
    memory = "unknown"
    try:
        cpu = next(line.split(":", 1)[1].strip()
                   for line in Path("/proc/cpuinfo").read_text().splitlines()
                   if line.startswith("model name"))
        kib = int(next(line.split()[1] for line in Path("/proc/meminfo").read_text().splitlines()
                       if line.startswith("MemTotal")))
        memory = f"{kib / 2**20:.0f} GiB"
    except (OSError, StopIteration, ValueError):
        pass
    return {"arch": platform.machine(), "cpu": cpu, "cores": os.cpu_count(), "memory": memory,
            "python": platform.python_version(), "os": f"{platform.system()} {platform.release()}"}


def machine_line(machine: dict) -> str:
    return (f"`{machine['arch']}`, {machine['cpu']}, {machine['cores']} cores, "
            f"{machine['memory']} memory, {machine['os']}, Python {machine['python']}")


def _median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(value, format_spec, missing="–"):
    if value is None:
        return missing
    if isinstance(value, float) and math.isinf(value):
        return "−∞" if value < 0 else "∞"
    return format(value, format_spec)


def one_line(text: str, limit: int = 90) -> str:
    """text on one line, cut to limit characters, safe inside a Markdown table cell."""
    text = " ".join(text.split())
    if len(text) > limit:
        text = text[: limit - 1] + "…"
    return text.replace("|", "\\|").replace("`", "'")


def _noise_title(level: float) -> str:
    return f"{level:.0%} noise" if level else "noise-free"


def _groups(problems: list[Problem]):
    """(title, problems of the group) for each report group that has problems."""
    for title, families in REPORT_GROUPS.items():
        mine = [p for p in problems if p.family in families]
        if mine:
            yield title, mine


def summarise(runs: list[Run], tools: list[str], problems: list[Problem]) -> list[dict]:
    """One row per tool with runs on the problems: recoveries per noise level and the medians
    over all those runs."""
    level_of = {p.name: p.noise for p in problems}
    levels = [level for level in NOISE_LEVELS if level in level_of.values()]
    runs = [r for r in runs if r.problem in level_of]
    rows = []
    for tool in tools:
        mine = [r for r in runs if r.tool == tool]
        if not mine:
            continue
        by_level = {}
        for level in levels:
            at = [r for r in mine if level_of[r.problem] == level]
            by_level[level] = (sum(r.recovered for r in at), len(at),
                               _median([r.fit_seconds for r in at]))
        rows.append({
            "tool": tool,
            "recovered": by_level,
            "symbolic": sum(r.recovery == "symbolic" for r in mine),
            "with_model": sum(r.status == "ok" for r in mine),
            "runs": len(mine),
            "median_r2": _median([r.r2 for r in mine if r.status == "ok"]),
            "median_seconds": _median([r.fit_seconds for r in mine]),
            "median_mib": _median([r.peak_mib for r in mine]),
            "max_mib": max(r.peak_mib for r in mine),
            "timeouts": sum(r.status == "timeout" for r in mine),
            "failures": sum(r.status in ("error", "no_model") for r in mine),
            "unstable": sum(bool(r.unstable) for r in mine),
            "not_finite": sum(bool(r.not_finite) for r in mine),
            "assessed": sum(r.unstable is not None for r in mine),
        })
    return rows


def _cell(run: Run) -> str:
    if run.status == "timeout":
        return "timeout"
    if run.status == "no_model":
        return "no formula"
    if run.status == "error":
        return "error"
    mark = "✓" if run.recovered else "✗"
    return f"{mark} {fmt(run.r2, '.4f')} / {run.fit_seconds:.1f} s"


def _summary_table(runs, tools, problems) -> list[str]:
    levels = [level for level in NOISE_LEVELS if any(p.noise == level for p in problems)]
    lines = ["| tool | " + " | ".join(_noise_title(level) for level in levels)
             + " | proven by SymPy | median R² | median time (s) | peak memory (MiB): median, max "
             "| timeouts | errors / no formula | unstable / not finite |",
             "|---|" + "---|" * (len(levels) + 7)]
    for row in summarise(runs, tools, problems):
        counts = [f"{got}/{n} ({fmt(seconds, '.1f')} s)" if n else "–"
                  for got, n, seconds in row["recovered"].values()]
        lines.append(
            f"| {row['tool']} | " + " | ".join(counts)
            + f" | {row['symbolic']} | {fmt(row['median_r2'], '.4f')} "
            f"(of {row['with_model']} formulas) "
            f"| {fmt(row['median_seconds'], '.2f')} | {fmt(row['median_mib'], '.0f')}, "
            f"{row['max_mib']:.0f} "
            f"| {row['timeouts']} | {row['failures']} "
            f"| {row['unstable']} / {row['not_finite']} (of {row['assessed']}) |")
    return lines


def write_markdown(path: Path, runs: list[Run], problems: list[Problem], tools, versions,
                   tool_settings, skipped, settings) -> None:
    """The report on every run given, grouped by problem set; problems lists the problems to
    report, in order (the runs may come from several comparisons: see runs.json)."""
    ran = [t for t in tools if any(r.tool == t for r in runs)]
    levels = [level for level in NOISE_LEVELS if any(p.noise == level for p in problems)]
    sizes = "; ".join(f"{title}: {len({p.base_name for p in mine})}"
                      for title, mine in _groups(problems))
    noisy = ", ".join(f"{level:.0%} (marked {NOISE_LEVELS[level]})" for level in levels if level)
    lines = [
        "# kov_sr compared with other symbolic-regression tools",
        "",
        f"Written on {settings['date']} on {machine_line(settings['machine'])}. "
        f"{len(problems)} problems from ground-truth formulas ({sizes})"
        + (f", each noise-free and with Gaussian noise on the training targets of {noisy} of "
           "their RMS." if noisy else ", noise-free."),
        f"Latest command: `{settings['command']}` ({settings['total_seconds'] / 60:.0f} min; "
        f"budget {settings['budget']:g} s per tool and problem, killed at budget + "
        f"{settings['grace']:g} s grace).",
        "",
        "## When and how each tool was measured",
        "",
        "Runs of earlier comparisons are kept unless the tool was run again on the problem "
        "(`--merge`).",
        "",
        "| tool | version | measured (UTC) at budget | settings |",
        "|---|---|---|---|",
    ]
    for tool in ran:
        lines.append(f"| {tool} | {versions.get(tool, '')} | {measured_when(runs, tool)} "
                     f"| {tool_settings.get(tool, '')} |")
    for tool, reason in skipped.items():
        if tool not in ran:
            lines.append(f"| {tool} | not run: {reason} | | |")
    for title, mine in _groups(problems):
        lines += ["", f"## Summary: {title} ({len({p.base_name for p in mine})} formulas)", ""]
        lines += _summary_table(runs, ran, mine)
    lines += [
        "",
        "Each noise level: problems recovered (median fit time of those runs). "
        "Recovered: SymPy proves the found formula equal to the noise-free truth after numbers "
        "within 1e-6 (relative) of a simple constant (p/q times 1, π, e, √2, √π, √(2π) or an "
        f"inverse, q ≤ 100) are replaced by it, or the tool's own predictions at {N_CHECK} fresh "
        "points of the domain are within 1e-6 × max|truth| of the noise-free truth (fitted "
        f"constants). R² is measured at {N_TEST} held-out points against the noise-free truth; "
        "its median is taken over the runs that returned a formula. Time is the tool's fit "
        "alone (imports excluded; a timeout counts as budget + grace). Memory is the peak "
        "resident set of the run's own process, Python and the tool's imports included. "
        "kov_sr searches on all cores; the peers run with their default thread counts. "
        "Unstable / not finite (of the formulas SymPy could read): the text's real values in "
        "double precision and at 30 digits (mpmath) differ by more than 1e-7 of the targets' "
        "RMS on fresh points, or the tool's predictions or the text in NumPy's real arithmetic "
        "are not all finite there.",
    ]
    by_key = {(r.tool, r.problem): r for r in runs}
    for title, mine in _groups(problems):
        lines += ["", f"## Per problem: {title}", "",
                  "Each cell: ✓ recovered or ✗ not, then held-out R² / fit time.", "",
                  "| problem | truth | " + " | ".join(ran) + " |",
                  "|---|---|" + "---|" * len(ran)]
        for problem in mine:
            cells = [_cell(by_key[(t, problem.name)]) if (t, problem.name) in by_key else ""
                     for t in ran]
            lines.append(f"| {problem.name} | `{problem.truth}` | " + " | ".join(cells) + " |")
    lines += ["", "## Found formulas", "",
              "| problem | tool | status | recovered | peak MiB | formula |",
              "|---|---|---|---|---|---|"]
    order = {p.name: i for i, p in enumerate(problems)}
    for run in sorted((r for r in runs if r.problem in order and r.tool in ran),
                      key=lambda r: (order[r.problem], ran.index(r.tool))):
        formula = one_line(run.model or run.message)
        lines.append(f"| {run.problem} | {run.tool} | {run.status} | "
                     f"{run.recovery or 'no'} | {run.peak_mib:.0f} | `{formula}` |")
    path.write_text("\n".join(lines) + "\n")


def write_plot(path: Path, runs: list[Run], tools: list[str], problems: list[Problem],
               grace: float):
    """Fraction of problems recovered within time t, one panel per problem set and noise level:
    a run counts from its own fit time on."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    groups = list(_groups(problems)) or [("no runs", [])]
    levels = [level for level in NOISE_LEVELS if any(p.noise == level for p in problems)] or [0.0]
    fig, axes = plt.subplots(len(groups), len(levels), figsize=(5.5 * len(levels),
                                                                 4.0 * len(groups)),
                             squeeze=False)
    budget = max((r.budget for r in runs if r.budget), default=1.0)
    times = np.logspace(-2, math.log10(budget + grace), 300)
    for row, (title, mine) in zip(axes, groups):
        for ax, level in zip(row, levels):
            names = {p.name for p in mine if p.noise == level}
            if not names:
                ax.set_visible(False)
                continue
            for tool in tools:
                tried = [r for r in runs if r.tool == tool and r.problem in names]
                if not tried:
                    continue
                solved = np.array([r.fit_seconds for r in tried if r.recovered])
                rate = [(solved <= t).sum() / len(tried) for t in times]
                ax.step(times, rate, where="post", label=tool)
            ax.axvline(budget, color="grey", linestyle="--", linewidth=0.8)
            ax.set_xscale("log")
            ax.set_xlim(times[0], times[-1])
            ax.set_ylim(-0.02, 1.02)
            ax.set_xlabel("time per problem (s); dashed: budget")
            ax.set_ylabel("fraction of problems recovered")
            ax.set_title(f"{title}, {_noise_title(level)} ({len(names)} problems)")
            ax.grid(True, which="both", alpha=0.3)
            if ax.get_legend_handles_labels()[0]:
                ax.legend(loc="upper left", fontsize="small")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
