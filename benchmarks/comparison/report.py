"""The Markdown table and the recovery-against-time plot of a comparison run."""

from __future__ import annotations

import math
import os
import platform
import statistics
from pathlib import Path

import numpy as np

from .judge import Run
from .problems import N_CHECK, N_TEST, NOISE_LEVEL, NOISE_SUFFIX
from .tools import TOOLS


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


def summarise(runs: list[Run], tools: list[str]) -> list[dict]:
    rows = []
    for tool in tools:
        mine = [r for r in runs if r.tool == tool]
        if not mine:
            continue
        clean = [r for r in mine if not r.noisy]
        noisy = [r for r in mine if r.noisy]
        rows.append({
            "tool": tool,
            "runs": len(mine),
            "recovered": sum(r.recovered for r in mine),
            "recovered_clean": (sum(r.recovered for r in clean), len(clean)),
            "recovered_noisy": (sum(r.recovered for r in noisy), len(noisy)),
            "symbolic": sum(r.recovery == "symbolic" for r in mine),
            "with_model": sum(r.status == "ok" for r in mine),
            "median_r2": _median([r.r2 for r in mine if r.status == "ok"]),
            "median_seconds": _median([r.fit_seconds for r in mine]),
            "median_mib": _median([r.peak_mib for r in mine]),
            "timeouts": sum(r.status == "timeout" for r in mine),
            "failures": sum(r.status in ("error", "no_model") for r in mine),
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


def write_markdown(path: Path, runs, problems, tools, versions, skipped, settings) -> None:
    machine = settings["machine"]
    ran = [t for t in tools if t not in skipped]
    n_noisy = sum(p.noisy for p in problems)
    lines = [
        "# kov_sr compared with other symbolic-regression tools",
        "",
        f"Run on {settings['date']} on `{machine['arch']}`, {machine['cpu']}, "
        f"{machine['cores']} cores, {machine['memory']} memory, {machine['os']}, "
        f"Python {machine['python']}; {settings['total_seconds'] / 60:.0f} min in all.",
        f"Budget {settings['budget']:g} s per tool and problem (killed at budget + "
        f"{settings['grace']:g} s grace); {len(problems)} problems "
        f"({len(problems) - n_noisy} noise-free, {n_noisy} with {NOISE_LEVEL:.0%} Gaussian "
        f"noise on the training targets, marked {NOISE_SUFFIX}).",
        f"Command: `{settings['command']}`",
        "",
        "## Summary",
        "",
        "| tool | version | recovered | noise-free | noisy | median R² | median time (s) "
        "| median peak memory (MiB) | timeouts | errors / no formula |",
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    for row in summarise(runs, tools):
        rate = row["recovered"] / row["runs"]
        clean, noisy = row["recovered_clean"], row["recovered_noisy"]
        lines.append(
            f"| {row['tool']} | {versions.get(row['tool'], '')} | {row['recovered']}/{row['runs']}"
            f" ({rate:.0%}; {row['symbolic']} proven by SymPy) | {clean[0]}/{clean[1]} "
            f"| {noisy[0]}/{noisy[1]} | {fmt(row['median_r2'], '.4f')} "
            f"(of {row['with_model']} formulas) | {fmt(row['median_seconds'], '.2f')} "
            f"| {fmt(row['median_mib'], '.0f')} | {row['timeouts']} | {row['failures']} |")
    for tool, reason in skipped.items():
        lines.append(f"| {tool} | not run: {reason} | | | | | | | | |")
    lines += [
        "",
        "Recovered: SymPy proves the found formula equal to the noise-free truth after numbers "
        "within 1e-6 (relative) of a simple constant (p/q times 1, π, e, √2, √π, √(2π) or an "
        f"inverse, q ≤ 100) are replaced by it, or the tool's own predictions at {N_CHECK} fresh "
        "points of the domain are within 1e-6 × max|truth| of the noise-free truth (fitted "
        f"constants). R² is measured at {N_TEST} held-out points against the noise-free truth; "
        "its median is taken over the runs that returned a formula. Time is the tool's fit "
        "alone (imports excluded; a timeout counts as budget + grace). Memory is the peak "
        "resident set of the run's own process, Python and the tool's imports included.",
        "",
        "Settings: " + "; ".join(f"{t}: {TOOLS[t].settings}" for t in ran) + ". kov_sr "
        "searches on all cores; the peers run with their default thread counts.",
        "",
        "## Per problem",
        "",
        "Each cell: ✓ recovered or ✗ not, then held-out R² / fit time.",
        "",
        "| problem | truth | " + " | ".join(ran) + " |",
        "|---|---|" + "---|" * len(ran),
    ]
    by_key = {(r.tool, r.problem): r for r in runs}
    for problem in problems:
        cells = [_cell(by_key[(t, problem.name)]) if (t, problem.name) in by_key else ""
                 for t in ran]
        lines.append(f"| {problem.name} | `{problem.truth}` | " + " | ".join(cells) + " |")
    lines += ["", "## Found formulas", "",
              "| problem | tool | status | recovered | peak MiB | formula |",
              "|---|---|---|---|---|---|"]
    for run in runs:
        formula = one_line(run.model or run.message)
        lines.append(f"| {run.problem} | {run.tool} | {run.status} | "
                     f"{run.recovery or 'no'} | {run.peak_mib:.0f} | `{formula}` |")
    path.write_text("\n".join(lines) + "\n")


def write_plot(path: Path, runs: list[Run], tools: list[str], budget: float, grace: float):
    """Fraction of problems recovered within time t: a run counts from its own fit time on."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels = [(title, flag) for title, flag in (("noise-free", False), ("1% noise", True))
              if any(r.noisy == flag for r in runs)] or [("no runs", False)]
    fig, axes = plt.subplots(1, len(panels), figsize=(6 * len(panels), 4.2), squeeze=False)
    times = np.logspace(-2, math.log10(budget + grace), 300)
    for ax, (title, flag) in zip(axes[0], panels):
        for tool in tools:
            mine = [r for r in runs if r.tool == tool and r.noisy == flag]
            if not mine:
                continue
            solved = np.array([r.fit_seconds for r in mine if r.recovered])
            rate = [(solved <= t).sum() / len(mine) for t in times]
            ax.step(times, rate, where="post", label=tool)
        ax.axvline(budget, color="grey", linestyle="--", linewidth=0.8)
        ax.set_xscale("log")
        ax.set_ylim(-0.02, 1.02)
        ax.set_xlabel("time per problem (s); dashed: budget")
        ax.set_ylabel("fraction of problems recovered")
        ax.set_title(f"{title} ({len({r.problem for r in runs if r.noisy == flag})} problems)")
        ax.grid(True, which="both", alpha=0.3)
        if ax.get_legend_handles_labels()[0]:
            ax.legend(loc="upper left", fontsize="small")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
