"""Running one tool on one problem in a child process, under the budget."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from .problems import Data

STARTUP_LIMIT = 120.0  # seconds a child may spend importing its tool before the budget starts


def run_child(entry: Path, tool: str, data: Data, budget: float, grace: float, workdir: Path,
              log_path: Path, options: dict | None = None) -> dict:
    """Run `entry --worker tool ...` (options: the comparison's settings for the tool, as JSON)
    and return its report with wall time, peak memory and, when
    it produced a formula, its predictions. A child still fitting at budget + grace is killed."""
    in_path = workdir / "input.npz"
    out_path = workdir / "output.json"
    started_path = workdir / "started"
    for stale in (out_path, started_path, Path(str(out_path) + ".npz")):
        stale.unlink(missing_ok=True)
    np.savez(in_path, budget=budget, x_train=data.x_train, y_train=data.y_train,
             x_test=data.x_test, x_check=data.x_check, options=json.dumps(options or {}))
    env = dict(os.environ, PYTHONWARNINGS="ignore")
    cmd = [sys.executable, str(entry), "--worker", tool, str(in_path), str(out_path),
           str(started_path)]
    with open(log_path, "wb") as log:
        began = time.monotonic()
        proc = subprocess.Popen(cmd, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                env=env, start_new_session=True)
        fit_deadline = None
        killed = False
        while True:
            # wait4 rather than Popen.wait: it hands back the child's own resource usage.
            pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
            if pid:
                break
            now = time.monotonic()
            if fit_deadline is None and started_path.exists():
                fit_deadline = now + budget + grace
            if now > (fit_deadline if fit_deadline is not None else began + STARTUP_LIMIT):
                os.killpg(proc.pid, signal.SIGKILL)  # the whole group: tools may fork workers
                _, status, usage = os.wait4(proc.pid, 0)
                killed = True
                break
            time.sleep(0.02)
        proc.returncode = os.waitstatus_to_exitcode(status)
        wall = time.monotonic() - began
    report = {"wall_seconds": wall, "peak_mib": usage.ru_maxrss / 1024.0}
    if killed:
        report.update(status="timeout", fit_seconds=budget + grace,
                      message=f"killed after {budget + grace:.0f} s")
    elif out_path.exists():
        report.update(json.loads(out_path.read_text()))
        if report["status"] == "ok":
            preds = np.load(str(out_path) + ".npz")
            report["pred_test"], report["pred_check"] = preds["test"], preds["check"]
    else:
        report.update(status="error", fit_seconds=wall,
                      message=f"child exited with code {proc.returncode} (log: {log_path})")
    return report
