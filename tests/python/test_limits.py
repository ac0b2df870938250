"""Resource limits: searches and conversions that cannot get their memory raise MemoryError and
leave the process working; absurd settings with an early exit simply finish."""

import math
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kov_sr
from fuzz_objects import UNDER_ASAN, Sequence

XS = [0.0, 1.0, 2.0, 3.0]
EXP_YS = [math.exp(x) for x in XS]



def run_child(code, timeout=120):
    completed = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                               text=True, timeout=timeout)
    assert completed.returncode == 0, completed.stderr[-3000:]
    return completed.stdout.splitlines()[-1]


# ---- Searches without memory -------------------------------------------------------------------


# The sanitizer's runtime reserves terabytes of shadow memory: an address-space limit breaks it.
@pytest.mark.skipif(UNDER_ASAN, reason="address-space limits and the sanitizer runtime")
def test_searches_without_memory_raise_memory_error_and_the_process_goes_on():
    # Each limit leaves a little room above what the process uses: the level table, the
    # candidates, the fingerprint table or a worker's scratch memory cannot be had at some point
    # of the search, on whichever thread. Which allocation fails first depends on the room, so
    # several are tried. The child's timeout catches a search that hangs instead of failing.
    last = run_child("""
        import math, resource
        import numpy, kov_sr

        def address_space():
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[0]) * resource.getpagesize()

        unlimited = (resource.RLIM_INFINITY, resource.RLIM_INFINITY)
        kov_sr.Searcher(max_complexity=3).find_function([1.0, 2.0, 3.0], [1.0, 5.0, 2.0])
        inputs = [[x * 0.1, x * 0.37, 1 / (x + 1)] for x in range(300)]
        ys = [x * x * 0.3 + 1.7 for x in range(300)]
        outcomes = set()
        for headroom in (16, 24, 28, 32, 40, 48, 64, 96):
            limit = address_space() + (headroom << 20)
            resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
            for method in ("find_candidates", "find_multivariate"):
                try:
                    getattr(kov_sr.Searcher(max_complexity=9, beam_width=10**7), method)(inputs, ys)
                    outcomes.add("finished")
                except MemoryError:
                    outcomes.add("MemoryError")
            resource.setrlimit(resource.RLIMIT_AS, unlimited)
        xs = [0.0, 1.0, 2.0]
        after = kov_sr.Searcher(max_complexity=4).find_function(xs, [math.exp(x) for x in xs])
        print(sorted(outcomes), after.formula)
    """, timeout=120)
    assert last == "['MemoryError'] Exp(v_{0})"


@pytest.mark.parametrize("max_complexity, beam_width", [
    (10 ** 18, 1000), (2 ** 64 - 1, 2 ** 64 - 1), (10 ** 18, 0), (2 ** 63, 1),
])
def test_absurd_settings_with_an_early_exit_finish(max_complexity, beam_width, capsys):
    searcher = kov_sr.Searcher(max_complexity=max_complexity, beam_width=beam_width)
    assert searcher.find_function(XS, EXP_YS).formula == "Exp(v_{0})"
    assert searcher.recognize_constant(math.pi).formula == "Pi"
    capsys.readouterr()


# ---- Conversions that would need more memory than there is -----------------------------------


# Beyond what a vector can address, and beyond what the machine can map (which the address
# sanitizer's allocator answers by ending the process, not with bad_alloc).
@pytest.mark.parametrize("length", [2 ** 62] + ([] if UNDER_ASAN else [2 ** 50]))
@pytest.mark.parametrize("call", [
    lambda s, value: s.find_function(value, [1.0, 2.0]),
    lambda s, value: s.find_multivariate([[1.0], [2.0]], value),
    lambda s, value: s.find_candidates(value, [1.0, 2.0]),
], ids=["find_function xs", "find_multivariate ys", "find_candidates inputs"])
def test_a_sequence_reporting_an_impossible_length_raises_memory_error(length, call):
    searcher = kov_sr.Searcher(max_complexity=2)
    with pytest.raises(MemoryError):
        call(searcher, Sequence([1.0, 2.0], length=length))


def test_evaluations_of_impossible_lengths_raise_memory_error(variable_results):
    result = variable_results[0]
    with pytest.raises(MemoryError):
        result.eval(Sequence([1.0], length=2 ** 62))
    with pytest.raises(MemoryError):
        result.eval_batch(Sequence([[1.0]], length=2 ** 62))


@pytest.mark.parametrize("shape", [(0, 2 ** 40), (0, 10 ** 9), (0, 0)])
def test_arrays_without_rows_are_empty_whatever_their_width(variable_results, shape):
    empty = np.empty(shape)
    assert variable_results[0].eval_batch(empty) == []
    with pytest.raises(kov_sr.KovDimensionError):
        kov_sr.Searcher(max_complexity=1).find_multivariate(empty, [])


@pytest.mark.skipif(UNDER_ASAN, reason="address-space limits and the sanitizer runtime")
def test_a_broadcast_array_larger_than_memory_raises_memory_error_without_filling_it():
    # 10^6 x 10^6 doubles are 8 TB; NumPy represents them in a few bytes. Copying row by row
    # would fill the machine before failing, and the OOM killer ends processes without an
    # exception. The child is limited to a few GiB as a safety net; the refusal must come first,
    # before the child has used any of it.
    last = run_child("""
        import resource
        import numpy as np, kov_sr

        limit = 4 << 30
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        result = kov_sr.Searcher(max_complexity=1).find_multivariate([[1.5], [2.5]], [1.5, 2.5])
        huge = np.broadcast_to(np.float64(1.0), (10 ** 6, 10 ** 6))
        outcomes = []
        for call in (lambda: result.eval_batch(huge), lambda: result.predict(huge.T),
                     lambda: kov_sr.Searcher().find_multivariate(huge, np.ones(10 ** 6))):
            try:
                call()
                outcomes.append("converted")
            except MemoryError:
                outcomes.append("MemoryError")
        peak_mib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss >> 10
        print(outcomes, peak_mib < 1024)
    """)
    assert last == "['MemoryError', 'MemoryError', 'MemoryError'] True"
