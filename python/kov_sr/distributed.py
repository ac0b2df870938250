"""Searches on a Dask cluster.

``fit_many`` runs many independent searches as Dask tasks; ``DistributedSearcher`` splits one
search across the workers and returns what ``Searcher`` returns, bit for bit. Dask's
``distributed`` package is an optional dependency (``pip install "kov-sr[distributed]"``); it is
imported on first use, so that importing this module never needs it.

How one search is split, level by level (W workers, each holding one share and one shard):

1. every worker holds the kept levels (they are small: at most ``beam_width`` formulas each) and
   builds the children of its contiguous share of each round's parent pairs, with the positions
   those children have in the local search's list;
2. each child's fingerprint digest goes, with its position, to the worker that owns it (by hash),
   as one block of fixed-size records per owner that Dask moves as a frame, without copies; the
   owner keeps every fingerprint of the search that it owns, takes its own share's offers while
   the others' are on their way, and marks, for each offer, whether it is the earliest position
   of a new fingerprint;
3. each worker scores its winners and sends its best ``beam_width`` and its front candidate;
4. the driver merges them (score, then position, as the local search does), offers the front
   entry, and sends the merged beam to every worker, which builds the next level from it in the
   task that expands that level.

Only the scores, the digests and the verdict bits travel; everything is decided by kov_sr's core.
"""

from __future__ import annotations

import contextlib
import io
import operator
import sys
import threading
import time
import uuid
from collections.abc import Iterable, Iterator, Sequence
from typing import Any, cast

from kov_sr import _core
from kov_sr._core import KovRuntimeError, Searcher, SearchResult
from kov_sr._options import default
from kov_sr.units import strip_quantities

__all__ = ["DistributedSearcher", "fit_many"]

# A search that loses a worker starts again on the workers that remain, at most this many times.
_MAX_ATTEMPTS = 3
# How long a search waits for a worker to join a cluster that has none.
_WORKER_WAIT_SECONDS = 60
# How often the driver looks at the cluster while it waits for a level.
_WATCH_SECONDS = 0.25
# A problem or a beam larger than this is scattered to the workers once rather than sent with
# every task.
_SCATTER_BYTES = 64 * 1024


def _carries_units(*values: Any) -> bool:
    return any(strip_quantities(value, "")[1] is not None for value in values)


def _require_distributed() -> Any:
    try:
        import distributed
    except ImportError as error:
        raise ImportError(
            "kov_sr.distributed needs Dask's distributed package: "
            'pip install "kov-sr[distributed]"'
        ) from error
    return distributed


def _find_candidates(searcher: Searcher, inputs: Any, targets: Any) -> list[SearchResult]:
    return searcher.find_candidates(inputs, targets)


def fit_many(
    client: Any, searcher: Searcher, problems: Iterable[tuple[Any, Any]]
) -> list[list[SearchResult]]:
    """Runs ``searcher.find_candidates(inputs, targets)`` for every ``(inputs, targets)`` of
    ``problems`` as a task on the cluster behind the Dask ``client``.

    Returns the Pareto lists in the order of ``problems``, each the list the same ``Searcher``
    returns locally. The first search that fails raises its exception here.
    """
    _require_distributed()
    if not isinstance(searcher, Searcher):
        raise TypeError(f"searcher must be a kov_sr.Searcher, not {type(searcher).__name__}")
    pairs: Sequence[tuple[Any, Any]] = list(problems)
    for index, problem in enumerate(pairs):
        if not isinstance(problem, tuple | list) or len(problem) != 2:
            raise TypeError(f"problems[{index}] must be a pair (inputs, targets)")
    _check_client(client)
    # pure=False: equal problems are still separate searches, never merged by key.
    futures = [
        client.submit(_find_candidates, searcher, inputs, targets, pure=False)
        for inputs, targets in pairs
    ]
    try:
        with _closed_client_reported(client):
            return _wait(client, futures)
    finally:
        if client.status == "running":
            client.cancel(futures)


# ---- On the workers ----------------------------------------------------------------------------

# The replicas of the searches that run on this worker process, by search id.
_replicas: dict[str, Any] = {}
_replicas_lock = threading.Lock()

_LOST_STATE = "kov_sr: this worker holds no state for the search (it was restarted)"


def _replica(search_id: str) -> Any:
    with _replicas_lock:
        replica = _replicas.get(search_id)
    if replica is None:
        raise RuntimeError(_LOST_STATE)
    return replica


def _start(search_id: str, problem: bytes, share: int, shares: int) -> int:
    distributed = _require_distributed()
    worker = distributed.get_worker()
    threads = getattr(worker, "nthreads", None) or worker.state.nthreads
    replica = _core._distributed_replica(problem, share, shares, threads)
    with _replicas_lock:
        _replicas[search_id] = replica
    return share


def _expand(search_id: str, beam: Any, _ready: Any) -> tuple[memoryview, ...]:
    """Builds the level from the previous one's merged beam (none before the first level), then
    this share's children of the next: one task, one hop less per level."""
    replica = _replica(search_id)
    if beam is not None:
        _core._distributed_add_level(replica, beam)
    # As memoryviews, which Dask sends as frames and receives without copying (bytes it would
    # join into a new string): the owner judges the offers in the buffer they arrived in.
    return tuple(memoryview(piece) for piece in _core._distributed_expand(replica))


def _offer(search_id: str, offers: memoryview) -> None:
    _core._distributed_offer(_replica(search_id), offers)


def _judge(search_id: str, offers: list[memoryview], _offered: None) -> tuple[bytes, ...]:
    return _core._distributed_judge(_replica(search_id), offers)


def _score(search_id: str, share: int, judged: list[tuple[bytes, ...]]) -> bytes:
    verdicts = [answers[share] for answers in judged]
    return _core._distributed_score(_replica(search_id), verdicts)


def _drop(search_id: str) -> None:
    with _replicas_lock:
        _replicas.pop(search_id, None)


def _run_method(
    searcher: Searcher, method: str, args: tuple[Any, ...], keywords: dict[str, Any]
) -> tuple[Any, str]:
    """A Searcher method run in a task, with the progress lines it wrote, for the driver to print
    (the worker's own stdout is nobody's terminal)."""
    if not searcher.verbose:
        return getattr(searcher, method)(*args, **keywords), ""
    lines = io.StringIO()
    with contextlib.redirect_stdout(lines):
        result = getattr(searcher, method)(*args, **keywords)
    return result, lines.getvalue()


# ---- On the driver -----------------------------------------------------------------------------


class _WorkerLost(Exception):
    """A worker of the search left the cluster; the search starts again without it."""


def _client_closed() -> KovRuntimeError:
    return KovRuntimeError("the Dask client was closed while a search was running")


@contextlib.contextmanager
def _closed_client_reported(client: Any) -> Iterator[None]:
    """Whatever Dask raises on the way, a closed client is the reason to report."""
    try:
        yield
    except KovRuntimeError:
        raise
    except Exception as error:
        if client.status != "running":
            raise _client_closed() from error
        raise


def _check_client(client: Any) -> None:
    if client.status != "running":
        raise _client_closed()


def _workers(client: Any) -> list[str]:
    _check_client(client)
    try:
        # Recent versions list only some workers unless asked for all of them.
        info = client.scheduler_info(n_workers=-1)
    except TypeError:
        info = client.scheduler_info()
    return sorted(info["workers"])


def _workers_to_start(client: Any) -> list[str]:
    """The cluster's workers; waits a while for one when there is none (a restarting worker)."""
    addresses = _workers(client)
    if not addresses:
        try:
            client.wait_for_workers(1, timeout=_WORKER_WAIT_SECONDS)
        except Exception as error:
            _check_client(client)
            raise KovRuntimeError(
                f"the Dask cluster has had no workers for {_WORKER_WAIT_SECONDS} s"
            ) from error
        addresses = _workers(client)
    return addresses


def _wait(client: Any, futures: list[Any], workers: Sequence[str] = ()) -> list[Any]:
    """The futures' results. Watches the client and, for a split search, the search's workers."""
    distributed = _require_distributed()
    while True:
        _check_client(client)
        try:
            distributed.wait(futures, timeout=_WATCH_SECONDS)
        except Exception as error:
            if not isinstance(error, TimeoutError) and "Timeout" not in type(error).__name__:
                raise
        _check_client(client)
        if any(f.status == "cancelled" for f in futures):
            raise _client_closed()
        if workers and set(workers) - set(_workers(client)):
            raise _WorkerLost()
        failed = [f for f in futures if f.status == "error"]
        if failed:
            problem = failed[0].exception()
            lost = _LOST_STATE in str(problem) or type(problem).__name__ == "KilledWorker"
            if workers and lost:
                raise _WorkerLost()
            raise problem
        if all(f.status == "finished" for f in futures):
            return list(client.gather(futures))


class _SplitSearch:
    """One search split across `workers`, from seeding to the list of results."""

    def __init__(self, client: Any, problem: bytes, workers: list[str]) -> None:
        self.client = client
        self.problem = problem
        self.workers = workers
        self.search_id = f"kov-sr-{uuid.uuid4().hex}"
        self.levels: list[dict[str, Any]] = []
        # The merged beam of the last level (or its future when scattered); none before level 2.
        self.beam: Any = None

    def submit(self, function: Any, *args: Any, share: int) -> Any:
        return self.client.submit(
            function,
            *args,
            workers=[self.workers[share]],
            allow_other_workers=False,
            pure=False,
        )

    def run(self, pick: str) -> Any:
        driver, seeds, max_complexity, verbose = _core._distributed_driver(self.problem)
        shares = len(self.workers)
        problem: Any = self.problem
        if len(problem) > _SCATTER_BYTES:
            problem = self.client.scatter(problem, broadcast=True, workers=self.workers)
        started = [
            self.submit(_start, self.search_id, problem, i, shares, share=i) for i in range(shares)
        ]
        try:
            if not _core._distributed_early_exit(driver):
                if verbose:
                    print(_core._distributed_seeded_line(seeds))
                ready: list[Any] = started
                for level in range(2, max_complexity + 1):
                    beam = self.level(driver, ready, verbose)
                    if level == max_complexity or _core._distributed_early_exit(driver):
                        break
                    self.beam = beam
                    if len(beam) > _SCATTER_BYTES:
                        self.beam = self.client.scatter(beam, broadcast=True, workers=self.workers)
                    ready = [None] * shares
            return _core._distributed_finish(driver, pick)
        finally:
            if self.client.status == "running":
                self.drop()

    def drop(self) -> None:
        """Frees the search's state on the workers that are still there."""
        distributed = _require_distributed()
        alive = set(_workers(self.client))
        for i, address in enumerate(self.workers):
            if address in alive:
                distributed.fire_and_forget(self.submit(_drop, self.search_id, share=i))

    def level(self, driver: Any, ready: list[Any], verbose: bool) -> bytes:
        shares = range(len(self.workers))
        start = time.perf_counter()
        expanded = [
            self.submit(_expand, self.search_id, self.beam, ready[i], share=i) for i in shares
        ]
        # Split where the offers were made, so that each owner fetches only its own piece.
        offers = [
            [self.submit(operator.getitem, expanded[i], j, share=i) for j in shares] for i in shares
        ]
        # Each owner judges its own share's offers while the others' are on their way.
        offered = [self.submit(_offer, self.search_id, offers[j][j], share=j) for j in shares]
        judged = [
            self.submit(_judge, self.search_id, [offers[i][j] for i in shares], offered[j], share=j)
            for j in shares
        ]
        # Verdicts are one bit per offer: each worker fetches every shard's whole answer rather
        # than costing the scheduler another W × W tasks to split them.
        scored = [self.submit(_score, self.search_id, i, judged, share=i) for i in shares]
        scores = _wait(self.client, scored, self.workers)
        merged, line, stats = _core._distributed_merge(driver, scores)
        if verbose:
            print(line)
        self.levels.append(
            {
                "seconds": time.perf_counter() - start,
                "shares": stats,
                "offered_bytes": 24 * sum(s["offered"] for s in stats),
                "verdict_bytes": len(self.workers) * sum((s["offered"] + 7) // 8 for s in stats),
                "score_bytes": sum(len(s) for s in scores),
                "beam_bytes": len(merged) * len(self.workers),
            }
        )
        return merged


class DistributedSearcher:
    """A ``Searcher`` whose searches run on the Dask cluster behind ``client``.

    The settings are those of ``Searcher``; every method returns what the same ``Searcher``
    returns, bit for bit. A classic search is split across the workers level by level; other
    strategies, searches with a time limit and constant recognition (a small search) run as one
    task on one worker, whose progress lines are printed here when it ends. A search that loses a
    worker starts again on the workers that remain; a client closed during a search raises
    ``KovRuntimeError``.
    """

    def __init__(
        self,
        client: Any,
        max_complexity: Any = default("max_complexity"),
        complexity_penalty: Any = default("complexity_penalty"),
        beam_width: Any = default("beam_width"),
        **options: Any,
    ) -> None:
        _require_distributed()
        self.client = client
        self.searcher = Searcher(max_complexity, complexity_penalty, beam_width, **options)
        #: Per-level figures of the last split search (seconds, bytes moved, work per share).
        self.last_levels: list[dict[str, Any]] = []

    def find_function(
        self, xs: Any, ys: Any, *, units: Any = None, target_units: Any = None
    ) -> SearchResult:
        """Finds a univariate function f(x) ≈ y on the cluster."""
        return cast(
            SearchResult,
            self._run("function", "first", "find_function", xs, ys, units, target_units),
        )

    def find_multivariate(
        self, inputs: Any, ys: Any, *, units: Any = None, target_units: Any = None
    ) -> SearchResult:
        """Finds a multivariate function f(x0, x1, ...) ≈ y on the cluster."""
        return cast(
            SearchResult,
            self._run(
                "multivariate", "first", "find_multivariate", inputs, ys, units, target_units
            ),
        )

    def fit(
        self, inputs: Any, ys: Any, *, units: Any = None, target_units: Any = None
    ) -> SearchResult:
        """Alias for find_multivariate (Scikit-Learn style)."""
        return cast(
            SearchResult,
            self._run("multivariate", "first", "fit", inputs, ys, units, target_units),
        )

    def find_candidates(
        self, inputs: Any, ys: Any, *, units: Any = None, target_units: Any = None
    ) -> list[SearchResult]:
        """Returns the Pareto-front of all candidate formulas found, searched on the cluster."""
        return cast(
            "list[SearchResult]",
            self._run("candidates", "all", "find_candidates", inputs, ys, units, target_units),
        )

    def find_selected(
        self, inputs: Any, ys: Any, *, units: Any = None, target_units: Any = None
    ) -> SearchResult:
        """Finds the formula of least description length among the candidates, on the cluster."""
        return cast(
            SearchResult,
            self._run(
                "multivariate", "selected", "find_selected", inputs, ys, units, target_units
            ),
        )

    def recognize_constant(
        self, value: Any, *, integers: Any = False, digits: Any = None
    ) -> SearchResult:
        """Identifies a closed-form expression for a scalar constant, as one task on the
        cluster."""
        keywords = {"integers": integers, "digits": digits}
        return cast(SearchResult, self._run_task("recognize_constant", (value,), keywords))

    def recognize_constant_candidates(
        self, value: Any, *, integers: Any = False, digits: Any = None, count: Any = 10
    ) -> list[SearchResult]:
        """Returns up to count closed forms for a scalar constant, best first, as one task on the
        cluster."""
        keywords = {"integers": integers, "digits": digits, "count": count}
        return cast(
            "list[SearchResult]",
            self._run_task("recognize_constant_candidates", (value,), keywords),
        )

    def _run_task(self, method: str, args: tuple[Any, ...], keywords: dict[str, Any]) -> Any:
        """Runs the Searcher method as one task on one worker."""
        _check_client(self.client)
        future = self.client.submit(
            _run_method, self.searcher, method, args, keywords, pure=False
        )
        with _closed_client_reported(self.client):
            result, printed = _wait(self.client, [future])[0]
        if printed:
            sys.stdout.write(printed)
            sys.stdout.flush()
        return result

    def _run(
        self,
        kind: str,
        pick: str,
        method: str,
        first: Any,
        second: Any,
        units: Any = None,
        target_units: Any = None,
    ) -> Any:
        # Units (given, or carried by pint quantities) are used by the thorough strategy only,
        # which runs as one task: the worker's Searcher reads and checks them.
        if units is not None or target_units is not None or _carries_units(first, second):
            keywords = {"units": units, "target_units": target_units}
            return self._run_task(method, (first, second), keywords)
        problem, splittable = _core._distributed_problem(self.searcher, kind, first, second)
        if not splittable:
            return self._run_task(method, (first, second), {})
        with _closed_client_reported(self.client):
            for _ in range(_MAX_ATTEMPTS):
                search = _SplitSearch(self.client, problem, _workers_to_start(self.client))
                try:
                    result = search.run(pick)
                except _WorkerLost:
                    continue
                self.last_levels = search.levels
                return result
        raise KovRuntimeError(
            f"the search lost a worker in each of {_MAX_ATTEMPTS} attempts; "
            "the cluster is not stable enough to finish it"
        )
