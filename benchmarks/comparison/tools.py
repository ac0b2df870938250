"""The tools under comparison, as the child process runs them.

Each fitter gets the training data and the budget, fits with the tool's documented defaults
(passing the budget only where the tool has a time-limit option; seeds are fixed so that runs
repeat), and returns (describe, predict): describe() gives (formula as shown to readers, syntax,
formula as read by the judge), predict(rows) the tool's own predictions.
"""

from __future__ import annotations

import json
import time
import warnings
from pathlib import Path

import numpy as np

from .kov_reader import with_fitted_numbers

SEED = 0


def _plain(model, syntax):
    text = str(model)  # some tools hand back a SymPy or tree object
    return text, syntax, text


def _fit_kov_sr(x, y, budget):
    import kov_sr

    result = kov_sr.Searcher().find_multivariate(x, y)
    # The formula text gives the structure but names the constants as generated; the Python
    # rendering carries the fitted numbers. The judge reads the two together.
    def describe():
        formula, python = result.formula, result.to_python()
        try:
            shown = with_fitted_numbers(formula, python)
        except ValueError:
            shown = python
        return shown, "kov", json.dumps({"formula": formula, "python": python})

    return describe, lambda rows: np.asarray(result.predict(rows), dtype=np.float64)


def _fit_gplearn(x, y, budget):
    from gplearn.genetic import SymbolicRegressor

    model = SymbolicRegressor(random_state=SEED).fit(x, y)
    return (lambda: _plain(model._program, "gplearn")), model.predict


def _fit_pyoperon(x, y, budget):
    from pyoperon.sklearn import SymbolicRegressor

    model = SymbolicRegressor(max_time=max(1, int(budget)), random_state=SEED).fit(x, y)
    return (lambda: _plain(model.get_model_string(model.model_, 16), "operon")), model.predict


def _fit_rils_rols(x, y, budget):
    from rils_rols.rils_rols import RILSROLSRegressor

    model = RILSROLSRegressor(max_time=max(1, int(budget)), random_state=SEED)
    model.fit(x, y)
    return (lambda: _plain(model.model_string(), "sympy")), model.predict


def _fit_ffx(x, y, budget):
    import ffx

    model = ffx.FFXRegressor()
    model.fit(x, y)
    return (lambda: _plain(model.model_, "ffx")), model.predict


class Tool:
    def __init__(self, distribution, module, settings, fitter):
        self.distribution = distribution  # for the version
        self.module = module  # imported before the timed fit
        self.settings = settings  # what the report says about how it was run
        self.fitter = fitter


TOOLS = {
    "kov_sr": Tool("kov-sr", "kov_sr",
                   "Searcher() defaults; no time limit option (killed at the budget)", _fit_kov_sr),
    "gplearn": Tool("gplearn", "gplearn.genetic",
                    "SymbolicRegressor defaults, random_state=0; no time limit option",
                    _fit_gplearn),
    "pyoperon": Tool("pyoperon", "pyoperon.sklearn",
                     "SymbolicRegressor defaults, max_time=budget, random_state=0", _fit_pyoperon),
    "rils-rols": Tool("rils-rols", "rils_rols.rils_rols",
                      "RILSROLSRegressor defaults, max_time=budget, random_state=0",
                      _fit_rils_rols),
    "ffx": Tool("ffx", "ffx", "FFXRegressor defaults; no time limit option", _fit_ffx),
}


def worker_main(tool: str, in_path: str, out_path: str, started_path: str) -> int:
    """Child process: fit one tool on one problem and write what it found.

    The parent starts the budget clock when started_path appears, after the imports."""
    warnings.simplefilter("ignore")
    data = np.load(in_path)
    budget = float(data["budget"])
    x, y = data["x_train"], data["y_train"]
    __import__(TOOLS[tool].module)
    report: dict = {"status": "error"}
    Path(started_path).touch()
    began = time.perf_counter()
    try:
        describe, predict = TOOLS[tool].fitter(x, y, budget)
        report["fit_seconds"] = time.perf_counter() - began
        with np.errstate(all="ignore"):
            pred_test = np.asarray(predict(data["x_test"]), dtype=np.float64)
            pred_check = np.asarray(predict(data["x_check"]), dtype=np.float64)
        model, syntax, source = describe()
        np.savez(out_path + ".npz", test=pred_test, check=pred_check)
        report.update(status="ok", model=model, syntax=syntax, source=source)
    except Exception as exc:  # noqa: BLE001 - any failure of the tool is a result to report
        report.setdefault("fit_seconds", time.perf_counter() - began)
        if type(exc).__name__ == "KovComplexityError":
            report["status"] = "no_model"
        report["message"] = f"{type(exc).__name__}: {exc}"[:300]
    Path(out_path).write_text(json.dumps(report))
    return 0


def tool_status(tool: str, timeout: float) -> tuple[bool, str]:
    """(usable, version or why not). The import is tried in a child, so that a tool whose
    native library fails to load cannot take the comparison down with it."""
    import subprocess
    import sys
    from importlib import metadata

    tool_entry = TOOLS[tool]
    try:
        version = metadata.version(tool_entry.distribution)
    except metadata.PackageNotFoundError:
        return False, "not installed"
    probe = subprocess.run([sys.executable, "-c", f"import {tool_entry.module}"], capture_output=True,
                           text=True, timeout=timeout, stdin=subprocess.DEVNULL)
    if probe.returncode != 0:
        last = (probe.stderr.strip().splitlines() or ["?"])[-1]
        return False, f"import failed: {last[:160]}"
    return True, version
