import math
import os
import signal

import pytest

import kov_sr

pytest.importorskip("distributed")

from distributed import Client, LocalCluster  # noqa: E402

from kov_sr import distributed as kov_distributed  # noqa: E402
from kov_sr.distributed import DistributedSearcher, fit_many  # noqa: E402

UNBOUNDED = 2**64 - 1
XS = [0.25 * i + 0.1 for i in range(20)]


def states(results):
    """Everything a result holds, bit for bit: pickle's state has every token and the error."""
    if isinstance(results, kov_sr.SearchResult):
        results = [results]
    return [r.__reduce__()[1] for r in results]


@pytest.fixture(scope="module")
def cluster():
    with LocalCluster(
        n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None
    ) as cluster:
        yield cluster


@pytest.fixture
def client(cluster):
    with Client(cluster) as client:
        client.wait_for_workers(2)
        yield client


def test_fit_many_equals_local(client):
    problems = [
        ([[x] for x in XS], [math.exp(x) for x in XS]),
        ([[x, 2.0 * x] for x in XS], [x * x + 1.0 for x in XS]),
        ([[x] for x in XS], [math.sin(x) * 3.0 for x in XS]),
    ]
    searcher = kov_sr.Searcher(max_complexity=4)
    remote = fit_many(client, searcher, problems)
    assert [states(r) for r in remote] == [states(searcher.find_candidates(*p)) for p in problems]


def test_fit_many_raises_the_search_error(client):
    with pytest.raises(kov_sr.KovDimensionError):
        fit_many(client, kov_sr.Searcher(max_complexity=2), [([[1.0]], [1.0, 2.0])])


@pytest.mark.parametrize(
    "searcher, problems, message",
    [
        (None, [], "searcher must be a kov_sr.Searcher"),
        (kov_sr.Searcher(), [([[1.0]], [1.0], "extra")], r"problems\[0\] must be a pair"),
        (kov_sr.Searcher(), [([[1.0]], [1.0]), 3.0], r"problems\[1\] must be a pair"),
    ],
)
def test_fit_many_refuses_bad_arguments(client, searcher, problems, message):
    with pytest.raises(TypeError, match=message):
        fit_many(client, searcher, problems)


ONE = [[x] for x in XS]
TWO = [[x, 1.0 / (x + 1.0)] for x in XS]
THREE = [[x, x * x - 1.0, math.cos(x)] for x in XS]


# (settings, method, arguments): fitting runs in every method but recognize_constant; the early
# exit in every method but find_candidates.
SINE_CUBE = [x**3 + math.sin(x) for x in XS]
QUADRATIC = [2.5 * x * x + 1.3 for x in XS]
CASES = [
    ({"max_complexity": 5}, "find_candidates", (ONE, SINE_CUBE)),
    ({"max_complexity": 6, "beam_width": 7}, "find_candidates", (ONE, QUADRATIC)),
    ({"max_complexity": 5, "beam_width": 0}, "find_candidates", (TWO, [x / (x + 1) for x in XS])),
    (
        {"max_complexity": 4, "beam_width": UNBOUNDED},
        "find_candidates",
        (THREE, [x - math.cos(x) for x in XS]),
    ),
    ({"max_complexity": 5, "beam_width": 7}, "find_multivariate", (THREE, [x * x for x in XS])),
    ({"max_complexity": 6}, "fit", (TWO, [math.exp(row[1]) for row in TWO])),
    (
        {"max_complexity": 5, "beam_width": UNBOUNDED},
        "find_function",
        (XS, [math.log(x + 2.0) for x in XS]),
    ),
    ({"max_complexity": 5, "complexity_penalty": 0.0}, "find_function", (XS[:5], XS[:5])),
    ({"max_complexity": 6, "beam_width": 7}, "recognize_constant", (math.pi**2 + 1.0,)),
    ({"max_complexity": 5, "beam_width": 0}, "recognize_constant", (math.sqrt(2.0) / 3.0,)),
]


def assert_same_as_searcher(client, capsys, settings, method, args, keywords):
    local = getattr(kov_sr.Searcher(**settings), method)(*args, **keywords)
    local_lines = capsys.readouterr().out.splitlines()
    remote = getattr(DistributedSearcher(client, **settings), method)(*args, **keywords)
    remote_lines = capsys.readouterr().out.splitlines()
    assert states(remote) == states(local)
    # The same progress lines, their timings aside.
    assert [line.split(" in ")[0] for line in remote_lines] == [
        line.split(" in ")[0] for line in local_lines
    ]
    return remote, remote_lines


@pytest.mark.parametrize("settings, method, args", CASES)
def test_distributed_searcher_equals_searcher(client, settings, method, args, capsys):
    assert_same_as_searcher(client, capsys, settings, method, args, {})


# Methods with keywords, the keyword-only settings, and searches that run as one task.
OPTION_CASES = [
    ({"max_complexity": 5}, "find_selected", (TWO, [x * x + 0.5 for x in XS]), {}),
    ({"max_complexity": 5, "noise": 0.05}, "find_selected", (ONE, SINE_CUBE), {}),
    ({"max_complexity": 5, "verbose": False}, "find_candidates", (ONE, QUADRATIC), {}),
    ({"max_complexity": 4, "strategy": "thorough"}, "find_function", (XS, SINE_CUBE), {}),
    ({"max_complexity": 4, "time_limit": 600.0}, "find_multivariate", (TWO, QUADRATIC), {}),
    ({"max_complexity": 6}, "recognize_constant", ((1 + math.sqrt(5)) / 2,), {"integers": True}),
    ({"max_complexity": 7}, "recognize_constant", (math.e**2,), {"digits": 6}),
    (
        {"max_complexity": 5, "verbose": False},
        "recognize_constant_candidates",
        (math.pi / 4,),
        {"integers": True, "count": 3},
    ),
    ({"max_complexity": 5}, "recognize_constant_candidates", (2.0**0.5,), {}),
    (
        {"max_complexity": 4, "strategy": "thorough"},
        "find_multivariate",
        (TWO, QUADRATIC),
        {"units": [{"m": 1}, "m"], "target_units": {"m": 2}},
    ),
]


@pytest.mark.parametrize("settings, method, args, keywords", OPTION_CASES)
def test_options_and_keywords_equal_searcher(client, settings, method, args, keywords, capsys):
    remote, lines = assert_same_as_searcher(client, capsys, settings, method, args, keywords)
    assert bool(lines) == settings.get("verbose", True)
    for result in remote if isinstance(remote, list) else [remote]:
        assert not math.isnan(result.description_length)


def test_large_samples_equal_searcher(client):
    # Samples and beams above the size sent with each task are scattered to the workers instead.
    xs = [0.001 * i for i in range(5000)]
    ys = [math.sqrt(x) + 1.0 for x in xs]
    settings = {"max_complexity": 4, "beam_width": UNBOUNDED}
    local = kov_sr.Searcher(**settings).find_candidates([[x] for x in xs], ys)
    remote = DistributedSearcher(client, **settings).find_candidates([[x] for x in xs], ys)
    assert states(remote) == states(local)


@pytest.mark.parametrize(
    "settings, method, args, error, keywords",
    [
        ({}, "find_function", ([1.0, 2.0], [1.0]), kov_sr.KovDimensionError, {}),
        ({}, "find_multivariate", ([], []), kov_sr.KovDimensionError, {}),
        ({"max_complexity": 0}, "fit", ([[1.0]], [1.0]), kov_sr.KovComplexityError, {}),
        ({}, "find_function", ([1.0, math.nan], [1.0, 2.0]), ValueError, {}),
        ({}, "find_selected", ([[1.0]], [math.inf]), ValueError, {}),
        ({}, "recognize_constant", ("pi",), TypeError, {}),
        ({}, "recognize_constant", (1.5,), ValueError, {"digits": 0}),
        ({}, "recognize_constant_candidates", (1.5,), ValueError, {"count": 0}),
        ({}, "recognize_constant_candidates", (1.5,), TypeError, {"count": "3"}),
        (
            {"strategy": "thorough"},
            "find_function",
            ([1.0, 2.0], [1.0]),
            kov_sr.KovDimensionError,
            {},
        ),
    ],
)
def test_bad_input_raises_as_searcher_does(client, settings, method, args, error, keywords):
    with pytest.raises(error) as local:
        getattr(kov_sr.Searcher(**settings), method)(*args, **keywords)
    with pytest.raises(error) as remote:
        getattr(DistributedSearcher(client, **settings), method)(*args, **keywords)
    assert str(remote.value) == str(local.value)


def after_level(monkeypatch, number, action):
    """Runs `action(search)` once, after the given level of the first split search."""
    original = kov_distributed._SplitSearch.level
    done = []

    def level(self, driver, ready, verbose):
        beam = original(self, driver, ready, verbose)
        if not done and len(self.levels) == number - 1:
            done.append(True)
            action(self)
        return beam

    monkeypatch.setattr(kov_distributed._SplitSearch, "level", level)
    return done


def test_a_killed_worker_does_not_change_the_result(client, monkeypatch):
    settings = {"max_complexity": 6, "beam_width": 50}
    ys = [x * math.exp(-x) + 0.5 for x in XS]

    def kill(search):
        victim = search.workers[1]
        pid = client.run(os.getpid, workers=[victim])[victim]
        os.kill(pid, signal.SIGKILL)

    killed = after_level(monkeypatch, 3, kill)
    remote = DistributedSearcher(client, **settings).find_candidates(ONE, ys)
    assert killed
    assert states(remote) == states(kov_sr.Searcher(**settings).find_candidates(ONE, ys))


def test_a_client_closed_mid_search_raises(cluster, monkeypatch):
    client = Client(cluster)
    after_level(monkeypatch, 2, lambda search: client.close())
    with pytest.raises(kov_sr.KovRuntimeError, match="client was closed"):
        DistributedSearcher(client, max_complexity=5).find_candidates(ONE, XS)
    client.close()
