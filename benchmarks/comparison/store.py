"""runs.json: every run of a comparison with when, how and with which versions it was measured.

A comparison may rerun only some tools or problems and merge the new runs into the stored ones,
so that the peers' runs need not be repeated whenever kov_sr changes. Each run keeps the date and
budget of the comparison that made it; each tool keeps the version and settings of its latest
runs. Files written before runs carried their own date take the file's date and budget.
"""

from __future__ import annotations

import json
from collections import Counter
from dataclasses import asdict, fields
from pathlib import Path

from .judge import Run
from .tools import TOOLS

_RUN_FIELDS = {f.name for f in fields(Run)}


def load(path: Path) -> dict:
    """{"runs": [Run], "versions": {tool: version}, "tool_settings": {tool: text}}."""
    stored = json.loads(path.read_text())
    settings = stored.get("settings", {})
    runs = []
    for record in stored.get("runs", []):
        run = Run(**{k: v for k, v in record.items() if k in _RUN_FIELDS})
        run.measured = run.measured or settings.get("date", "")
        if run.budget is None:
            run.budget = settings.get("budget")
        runs.append(run)
    tool_settings = {t: TOOLS[t].settings for t in {r.tool for r in runs} if t in TOOLS}
    tool_settings.update(stored.get("tool_settings", {}))
    return {"runs": runs, "versions": dict(stored.get("versions", {})),
            "tool_settings": tool_settings}


def merge(old: dict, runs: list[Run], versions: dict, tool_settings: dict) -> dict:
    """The stored runs with each (tool, problem) that was run again replaced by its new run."""
    rerun = {(r.tool, r.problem) for r in runs}
    kept = [r for r in old["runs"] if (r.tool, r.problem) not in rerun]
    return {"runs": kept + runs, "versions": {**old["versions"], **versions},
            "tool_settings": {**old["tool_settings"], **tool_settings}}


def save(path: Path, merged: dict, settings: dict, skipped: dict) -> None:
    path.write_text(json.dumps(
        {"settings": settings, "versions": merged["versions"], "skipped": skipped,
         "tool_settings": merged["tool_settings"], "runs": [asdict(r) for r in merged["runs"]]},
        indent=1))


def measured_when(runs: list[Run], tool: str) -> str:
    """The dates and budgets of a tool's runs, e.g. "2026-12-08 00:44 UTC at 60 s"."""
    counts = Counter((r.measured, r.budget) for r in runs if r.tool == tool)

    def text(date, budget):
        return (date or "unknown date") + (f" at {budget:g} s" if budget else "")

    if len(counts) == 1:
        return text(*next(iter(counts)))
    return "; ".join(f"{text(date, budget)} ({n} runs)"
                     for (date, budget), n in sorted(counts.items(), key=lambda kv: kv[0][0]))
