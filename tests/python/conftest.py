import math
import struct

import pytest

import kov_sr

XS = [0.0, 1.0, 2.0, 3.0]
EXP_YS = [math.exp(x) for x in XS]

# Columns 0-3 of these rows differ from one another and from every named constant, so a search
# with max_complexity 1 and ys equal to column j answers exactly v_{j}.
PROBE_ROWS = [[1.5, 2.5, 3.5, 4.5], [5.5, 7.5, 11.5, 13.5]]


def bits(value):
    """Doubles are compared by their bits: signed zeros and NaN included."""
    return struct.pack("<d", value)


def list_bits(values):
    return [bits(v) for v in values]


@pytest.fixture(scope="session")
def exp_result():
    """Exp(v_{0}), found from the exponentials of 0, 1, 2, 3."""
    return kov_sr.Searcher().find_function(XS, EXP_YS)


@pytest.fixture(scope="session")
def variable_results():
    """Results for the formulas v_{0} ... v_{3}: they read back what a conversion produced."""
    searcher = kov_sr.Searcher(max_complexity=1)
    results = []
    for j in range(4):
        result = searcher.find_multivariate(PROBE_ROWS, [row[j] for row in PROBE_ROWS])
        assert result.formula == f"v_{{{j}}}"
        results.append(result)
    return results


@pytest.fixture(scope="session")
def fitted_candidates():
    """Candidates for 2.5 x + 1.3: the more accurate ones have fitted constants."""
    xs = [0.0, 1.0, 2.0, 3.0, 4.0]
    return kov_sr.Searcher(max_complexity=5).find_candidates(
        [[x] for x in xs], [2.5 * x + 1.3 for x in xs]
    )
