"""Threads and processes: searches and evaluations from several threads give the results of the
same calls made one after another, and a child process made by fork() searches normally after
its parent has searched (the worker pool starts afresh in the child)."""

import contextlib
import io
import math
import multiprocessing
import os
import random
import signal
import struct
import subprocess
import sys
import textwrap
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import kov_sr

FORK_WARNING = "ignore:This process .* is multi-threaded:DeprecationWarning"

XS = [0.5, 1.0, 1.5, 2.0, 2.5, 3.0]
ROWS = [[x, 1.0 / x, x * x - 1.0] for x in XS]


def bits(value):
    return struct.pack("<d", value)


def describe(result):
    """What identifies a result: its text, error bits, complexity and values at fixed points."""
    values = result.eval_batch([[0.25, 1.5, -2.0], [1.75, 0.5, 3.0]])
    return (result.formula, bits(result.error), result.complexity, tuple(map(bits, values)))


# Searches of different shapes and outcomes, each a function of nothing: the same call in every
# thread must give the same answer.
TASKS = {
    "exp": lambda: kov_sr.Searcher(max_complexity=4).find_function(XS, [math.exp(x) for x in XS]),
    "fitted line": lambda: kov_sr.Searcher(max_complexity=3).find_function(
        XS, [2.5 * x + 1.3 for x in XS]),
    "product": lambda: kov_sr.Searcher(max_complexity=4, beam_width=50).find_multivariate(
        ROWS, [r[0] * r[2] for r in ROWS]),
    "candidates": lambda: kov_sr.Searcher(max_complexity=4, beam_width=30).find_candidates(
        ROWS, [math.sin(r[0]) + r[1] for r in ROWS]),
    "constant": lambda: kov_sr.Searcher(max_complexity=3).recognize_constant(math.pi * math.e),
    "nothing": lambda: kov_sr.Searcher(max_complexity=0).find_function(XS, XS),
}


def outcome(task):
    try:
        found = TASKS[task]()
    except kov_sr.KovComplexityError as error:
        return ("KovComplexityError", str(error))
    if isinstance(found, list):
        return tuple(describe(result) for result in found)
    return describe(found)


class SlowStdout:
    """A stdout whose writes let other threads run, so that searches interleave at every
    progress line instead of running one after another under the interpreter lock."""

    def write(self, text):
        time.sleep(0.0005)
        return len(text)

    def flush(self):
        time.sleep(0)


@pytest.fixture(scope="module")
def sequential():
    with contextlib.redirect_stdout(SlowStdout()):
        return {task: outcome(task) for task in TASKS}


@pytest.mark.parametrize("threads", [2, 4])
def test_threads_get_the_sequential_results(sequential, threads):
    def run_all(seed):
        order = list(TASKS) * 2
        random.Random(seed).shuffle(order)
        return [(task, outcome(task)) for task in order]

    with contextlib.redirect_stdout(SlowStdout()):
        with ThreadPoolExecutor(threads) as pool:
            per_thread = list(pool.map(run_all, range(threads)))
    for results in per_thread:
        for task, result in results:
            assert result == sequential[task], task


def test_evaluations_from_threads_match_one_thread(sequential):
    with contextlib.redirect_stdout(SlowStdout()):
        results = [TASKS["exp"](), TASKS["fitted line"](), TASKS["product"]()]
    rows = [[0.1 * i, 0.2 * i - 1.0, 3.0 - 0.05 * i] for i in range(200)]
    expected = [[bits(v) for v in r.eval_batch(rows)] for r in results]

    def evaluate(seed):
        rng = random.Random(seed)
        for _ in range(200):
            which = rng.randrange(len(results))
            row = rng.randrange(len(rows))
            assert bits(results[which].eval(rows[row])) == expected[which][row]
        return [[bits(v) for v in r.predict(rows)] for r in results]

    with ThreadPoolExecutor(4) as pool:
        for batches in pool.map(evaluate, range(8)):
            assert batches == expected


@pytest.mark.parametrize("progress", [False, True], ids=["lines", "bar"])
def test_other_threads_run_during_a_search(progress):
    # A thread that ticks every millisecond stands for a server, a progress bar or a scheduler's
    # heartbeat: it gets hundreds of ticks during this search of about a second, but only some 30
    # (around the progress lines) when the search holds the interpreter lock throughout.
    ticks = 0
    stop = threading.Event()

    def tick():
        nonlocal ticks
        while not stop.is_set():
            time.sleep(0.001)
            ticks += 1

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        xs = [0.1 * i for i in range(1, 30)]
        ys = [math.sin(x) * x + math.log(x + 3.3) for x in xs]
        with contextlib.redirect_stdout(io.StringIO()):
            before = ticks
            kov_sr.Searcher(max_complexity=6, beam_width=3000).find_candidates(
                [[x] for x in xs], ys, progress=progress)
            during = ticks - before
    finally:
        stop.set()
        ticker.join()
    assert during > 150


def run_child(code, timeout=120):
    completed = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                               text=True, timeout=timeout)
    assert completed.returncode == 0, completed.stderr[-3000:]
    return completed.stdout.splitlines()[-1]


def test_a_signal_handler_that_yields_during_a_search_while_another_thread_searches():
    # A Python signal handler runs inside the search's cancellation check; when it lets other
    # threads run (here by sleeping), a second thread starts a search of its own meanwhile. Both
    # must finish; the child's timeout catches a deadlock.
    last = run_child("""
        import math, signal, threading, time, io, contextlib
        import kov_sr

        signal.signal(signal.SIGALRM, lambda *_: time.sleep(0.001))
        xs = [0.1 * i for i in range(1, 60)]
        done = {"background": 0, "main": 0}

        def background():
            deadline = time.monotonic() + 2.0
            while time.monotonic() < deadline:
                kov_sr.Searcher(max_complexity=5, beam_width=200).find_candidates(
                    [[x] for x in xs], [math.sin(x) * x for x in xs])
                done["background"] += 1

        with contextlib.redirect_stdout(io.StringIO()):
            thread = threading.Thread(target=background)
            thread.start()
            signal.setitimer(signal.ITIMER_REAL, 0.005, 0.005)
            deadline = time.monotonic() + 2.0
            while time.monotonic() < deadline:
                kov_sr.Searcher(max_complexity=6, beam_width=500).find_candidates(
                    [[x] for x in xs], [math.cos(x) + x for x in xs])
                done["main"] += 1
            thread.join()
        signal.setitimer(signal.ITIMER_REAL, 0)
        print(done["background"] > 0 and done["main"] > 0)
    """, timeout=60)
    assert last == "True"


# ---- fork ------------------------------------------------------------------------------------


def wait_for(pid, timeout):
    """The child's exit status; kills it and fails when it does not end in time."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        finished, status = os.waitpid(pid, os.WNOHANG)
        if finished == pid:
            return status
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    pytest.fail("the forked child did not finish its search")


def search_in_child(expected):
    """In a forked child: search, compare, and leave without running the parent's cleanup."""
    signal.alarm(60)
    try:
        with contextlib.redirect_stdout(open(os.devnull, "w")):
            matches = outcome("product") == expected
        os._exit(0 if matches else 1)
    finally:
        os._exit(2)


@pytest.mark.filterwarnings(FORK_WARNING)
def test_the_interpreter_exits_cleanly_while_a_daemon_thread_searches():
    # The interpreter ends a daemon thread that waits for the interpreter lock during shutdown by
    # unwinding its stack; a handler that swallowed that unwinding aborted the process.
    code = """
        import io, math, sys, threading, time
        import kov_sr
        def search():
            xs = [0.1 * i for i in range(1, 30)]
            ys = [math.sin(x) * x + math.log(x + 3.3) for x in xs]
            kov_sr.Searcher(max_complexity=9, beam_width=3000).find_candidates(
                [[x] for x in xs], ys)
        sys.stdout = io.StringIO()
        threading.Thread(target=search, daemon=True).start()
        time.sleep(0.5)
        sys.stdout = sys.__stdout__
        print("exiting")
    """
    assert run_child(code) == "exiting"


def test_a_forked_child_searches_after_its_parent(sequential):
    TASKS["exp"]()  # the parent's pool is running
    pid = os.fork()
    if pid == 0:
        search_in_child(sequential["product"])
    assert wait_for(pid, 90) == 0


@pytest.mark.filterwarnings(FORK_WARNING)
def test_a_child_forked_while_another_thread_searches(sequential):
    stop = threading.Event()

    def keep_searching():
        while not stop.is_set():
            TASKS["candidates"]()

    with contextlib.redirect_stdout(SlowStdout()):
        thread = threading.Thread(target=keep_searching)
        thread.start()
        try:
            for _ in range(3):
                time.sleep(0.05)
                pid = os.fork()
                if pid == 0:
                    search_in_child(sequential["product"])
                assert wait_for(pid, 90) == 0
        finally:
            stop.set()
            thread.join()


def pool_task(task):
    with contextlib.redirect_stdout(open(os.devnull, "w")):
        return outcome(task)


@pytest.mark.filterwarnings(FORK_WARNING)
def test_multiprocessing_with_fork_gets_the_sequential_results(sequential):
    TASKS["exp"]()
    context = multiprocessing.get_context("fork")
    with context.Pool(2) as pool:
        pending = pool.map_async(pool_task, list(TASKS))
        results = pending.get(timeout=120)
    assert results == [sequential[task] for task in TASKS]
