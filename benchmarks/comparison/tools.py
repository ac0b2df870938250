"""The tools under comparison, as the child process runs them.

Each fitter gets the training data, the budget and the comparison's options for kov_sr, fits
with the tool's documented defaults (passing the budget only where the tool has a time-limit
option; seeds are fixed so that runs repeat), and returns (describe, predict): describe() gives
(formula as shown to readers, syntax, formula as read by the judge), predict(rows) the tool's own
predictions.
"""

from __future__ import annotations

import json
import time
import warnings
from pathlib import Path

import numpy as np

from .kov_reader import with_fitted_numbers

SEED = 0
KOV_STRATEGIES = ("thorough", "classic")
KOV_SELECTIONS = ("best", "accuracy")


def _plain(model, syntax):
    text = str(model)  # some tools hand back a SymPy or tree object
    return text, syntax, text


def kov_searcher_options(kov_sr, strategy: str, budget: float | None) -> tuple[dict, str]:
    """(Searcher keyword arguments, how the report describes them). "classic" is the search as
    first measured: defaults, no time limit. "thorough" asks for the thorough strategy with the
    budget (if not None) as time limit, as far as the installed Searcher accepts them."""
    import inspect

    accepted = inspect.signature(kov_sr.Searcher).parameters
    if strategy == "classic":
        return {}, "Searcher() defaults (classic search), no time limit"
    if "strategy" not in accepted:
        return {}, ("Searcher() defaults: this kov_sr has no thorough strategy, so the classic "
                    "search ran, without a time limit")
    options: dict[str, object] = {"strategy": "thorough"}
    shown = "strategy='thorough'"
    if "time_limit" in accepted and budget is not None:
        options["time_limit"] = budget
        shown += ", time_limit=budget"
    return options, f"Searcher({shown}), other settings default"


def kov_pick(kov_sr, searcher, x, y, selection: str, **units):
    """The formula kov_sr answers with. "best" asks for the formula its model-selection
    criterion picks from the front, where this kov_sr offers that; "accuracy" (and any kov_sr
    without a criterion) takes the front's most accurate formula. `units`: units= and
    target_units= for the search, when given."""
    if selection == "best":
        if hasattr(searcher, "find_selected"):
            return searcher.find_selected(x, y, **units)
        if hasattr(kov_sr, "select"):
            return kov_sr.select(searcher.find_candidates(x, y, **units))
    return searcher.find_multivariate(x, y, **units)


def kov_description(strategy: str, selection: str, budget: float) -> str:
    """What the report says about how kov_sr ran, found out the way the child finds it."""
    import kov_sr

    options, shown = kov_searcher_options(kov_sr, strategy, budget)
    if "time_limit" not in options:
        shown += " (killed at the budget)"
    picks = selection == "best" and (hasattr(kov_sr.Searcher, "find_selected")
                                     or hasattr(kov_sr, "select"))
    return shown + ("; the formula the model-selection criterion picks" if picks
                    else "; the most accurate formula of the front")


def _fit_kov_sr(x, y, budget, options):
    import kov_sr

    kwargs, _ = kov_searcher_options(kov_sr, options.get("kov_strategy", "thorough"), budget)
    searcher = kov_sr.Searcher(**kwargs)
    units = {}
    if options.get("units") is not None:
        inputs, target = options["units"]
        units = {"units": inputs, "target_units": target}
    result = kov_pick(kov_sr, searcher, x, y, options.get("kov_selection", "best"), **units)
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


def _fit_gplearn(x, y, budget, options):
    from gplearn.genetic import SymbolicRegressor

    model = SymbolicRegressor(random_state=SEED).fit(x, y)
    return (lambda: _plain(model._program, "gplearn")), model.predict


def _fit_pyoperon(x, y, budget, options):
    from pyoperon.sklearn import SymbolicRegressor

    model = SymbolicRegressor(max_time=max(1, int(budget)), random_state=SEED).fit(x, y)
    return (lambda: _plain(model.get_model_string(model.model_, 16), "operon")), model.predict


def _fit_rils_rols(x, y, budget, options):
    from rils_rols.rils_rols import RILSROLSRegressor

    model = RILSROLSRegressor(max_time=max(1, int(budget)), random_state=SEED)
    model.fit(x, y)
    return (lambda: _plain(model.model_string(), "sympy")), model.predict


def _fit_ffx(x, y, budget, options):
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
    # how the first committed runs ran kov_sr; new runs describe themselves (kov_description)
    "kov_sr": Tool("kov-sr", "kov_sr",
                   "Searcher() defaults; no time limit option (killed at the budget)", _fit_kov_sr),
    # the same kov_sr given the units of the variables and target (problems with units only)
    "kov_sr+units": Tool("kov-sr", "kov_sr", "as kov_sr, with units= and target_units=",
                         _fit_kov_sr),
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
    options = json.loads(str(data["options"])) if "options" in data else {}
    x, y = data["x_train"], data["y_train"]
    __import__(TOOLS[tool].module)
    report: dict = {"status": "error"}
    Path(started_path).touch()
    began = time.perf_counter()
    try:
        describe, predict = TOOLS[tool].fitter(x, y, budget, options)
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
