import math

import pytest

import kov_sr

pytest.importorskip("distributed")

from distributed import Client, LocalCluster  # noqa: E402

from kov_sr.distributed import fit_many  # noqa: E402


def same_results(a, b):
    """Equal bit for bit: formula, error, complexity and every token (through pickle's state)."""
    assert [r.__reduce__()[1] for r in a] == [r.__reduce__()[1] for r in b]


@pytest.fixture(scope="module")
def client():
    with LocalCluster(
        n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None
    ) as cluster, Client(cluster) as client:
        yield client


def test_fit_many_equals_local(client):
    xs = [0.5 * i for i in range(1, 9)]
    problems = [
        ([[x] for x in xs], [math.exp(x) for x in xs]),
        ([[x, 2.0 * x] for x in xs], [x * x + 1.0 for x in xs]),
        ([[x] for x in xs], [math.sin(x) * 3.0 for x in xs]),
    ]
    searcher = kov_sr.Searcher(max_complexity=4)
    remote = fit_many(client, searcher, problems)
    assert len(remote) == len(problems)
    for (inputs, ys), candidates in zip(problems, remote):
        same_results(candidates, searcher.find_candidates(inputs, ys))


def test_fit_many_raises_the_search_error(client):
    with pytest.raises(kov_sr.KovDimensionError):
        fit_many(client, kov_sr.Searcher(max_complexity=2), [([[1.0]], [1.0, 2.0])])
