import math
import signal
import subprocess
import sys
import textwrap
import threading

import pytest

import kov_sr
from kov_sr import cli
from kov_sr.progress import ProgressBar

XS = [0.5 + 0.25 * i for i in range(12)]
ROWS = [[x] for x in XS]
YS = [x * math.sin(x) + 0.3 for x in XS]


def thorough(**settings):
    return kov_sr.Searcher(max_complexity=5, strategy="thorough", **settings)


@pytest.mark.parametrize("strategy", ["classic", "thorough"])
def test_the_callback_sees_each_level_and_the_final_best(capsys, strategy):
    events = []
    searcher = kov_sr.Searcher(max_complexity=5, strategy=strategy, time_limit=60)
    front = searcher.find_candidates(ROWS, YS, progress=lambda *event: events.append(event))
    levels = [event[0] for event in events]
    # With a time limit the thorough search may go past max_complexity.
    assert levels == sorted(levels) and set(levels) == set(range(1, max(levels) + 1))
    assert max(levels) >= 5
    elapsed = [event[1] for event in events]
    assert elapsed == sorted(elapsed) and elapsed[0] >= 0.0
    assert all(event[2] == 60.0 for event in events)
    # The front only improves; the classic front is the answer as it stands (the thorough one is
    # polished after the last level).
    best = [event[3] for event in events]
    assert best == sorted(best, reverse=True) and events[-1][4]
    if strategy == "classic":
        assert (best[-1], events[-1][4]) == (front[0].error, front[0].formula)
    assert "[KOV-SR]" not in capsys.readouterr().out  # the events replace the lines


@pytest.mark.parametrize("method", ["find_function", "find_multivariate", "fit", "find_selected"])
def test_every_search_method_takes_progress(method):
    events = []
    inputs = XS if method == "find_function" else ROWS
    getattr(thorough(verbose=False), method)(inputs, YS, progress=lambda *e: events.append(e))
    assert events and all(len(event) == 5 for event in events)


@pytest.mark.parametrize(("progress", "error"), [(1, TypeError), ("yes", TypeError)])
def test_a_bad_progress_is_refused(progress, error):
    with pytest.raises(error, match="progress must be a bool or a callable, not"):
        thorough().find_candidates(ROWS, YS, progress=progress)


def test_a_failing_callback_stops_the_search_with_its_error():
    def fail(*event):
        raise ZeroDivisionError("from the callback")

    with pytest.raises(ZeroDivisionError, match="from the callback"):
        thorough().find_candidates(ROWS, YS, progress=fail)


@pytest.mark.parametrize("tqdm_installed", [True, False])
def test_the_bar_reports_to_standard_error(monkeypatch, capsys, tqdm_installed):
    if tqdm_installed:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    front = thorough(time_limit=30).find_candidates(ROWS, YS, progress=True)
    captured = capsys.readouterr()
    assert captured.out == ""
    assert "level 5, best error" in captured.err
    if not tqdm_installed:  # one line per level, then nothing
        lines = captured.err.splitlines()
        levels = [int(line.split("level ")[1].split(",")[0]) for line in lines]
        assert levels == list(range(1, len(lines) + 1))
        assert lines[0].startswith("kov_sr: ") and " s of 30, level 1, best error " in lines[0]
    assert front


def test_the_bar_without_a_limit_counts_elapsed_time(capsys):
    pytest.importorskip("tqdm")
    bar = ProgressBar(None)
    bar(3, 1.5, None, 0.25, "Sin(v_{0})")
    bar.close()
    assert "level 3, best error 0.25: Sin(v_{0})" in capsys.readouterr().err


def test_estimator_and_command_line_show_the_bar(tmp_path, capsys):
    pytest.importorskip("sklearn")
    from kov_sr.sklearn import KovRegressor

    KovRegressor(max_complexity=4, progress=True).fit(ROWS, YS)
    assert "level 4, best error" in capsys.readouterr().err
    table = tmp_path / "data.csv"
    table.write_text("x,y\n" + "".join(f"{x},{y}\n" for x, y in zip(XS, YS)))
    assert cli.main(["fit", str(table), "--max-complexity", "4", "--progress"]) == 0
    captured = capsys.readouterr()
    assert captured.out.startswith("y = ") and "[KOV-SR]" not in captured.err
    assert "level 4, best error" in captured.err


INTERRUPTED_WITH_A_BAR = textwrap.dedent("""
    import math
    import signal
    import kov_sr
    from kov_sr.progress import ProgressBar

    signal.signal(signal.SIGINT, signal.default_int_handler)
    bar = ProgressBar(None)

    def show(level, *rest):
        bar(level, *rest)
        print("level", level, flush=True)

    searcher = kov_sr.Searcher(max_complexity=12, verbose=False)
    xs = [0.1 * i for i in range(20)]
    try:
        searcher.find_candidates([[x] for x in xs], [math.sin(x) * x + 0.3 for x in xs],
                                 progress=show)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    bar.close()
""")


def test_ctrl_c_stops_a_search_that_shows_a_bar():
    with subprocess.Popen([sys.executable, "-c", INTERRUPTED_WITH_A_BAR], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True) as child:
        watchdog = threading.Timer(120, child.kill)
        watchdog.start()
        try:
            for line in child.stdout:
                if line == "level 4\n":
                    break
            child.send_signal(signal.SIGINT)
            line = child.stdout.readline()
            while line.startswith("level "):
                line = child.stdout.readline()
            assert line == "interrupted\n"
            child.wait()
        finally:
            watchdog.cancel()
            child.kill()
    assert child.returncode == 0
