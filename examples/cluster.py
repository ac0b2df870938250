"""Searches on a Dask cluster: many searches at once, and one search split across the workers.

Run with:  python examples/cluster.py   (needs: pip install "kov-sr[distributed]")
"""

import math
import sys

import kov_sr

try:
    from distributed import Client, LocalCluster
except ImportError:
    print('This example needs Dask: pip install "kov-sr[distributed]"')
    sys.exit(0)

from kov_sr.distributed import DistributedSearcher, fit_many


def main() -> None:
    # Two worker processes on this machine; on an HPC allocation the cluster would come from
    # dask-jobqueue (SLURMCluster, PBSCluster) instead, and the rest stays the same.
    # Dask ships no type information for these two.
    cluster = LocalCluster(  # type: ignore[no-untyped-call,unused-ignore]
        n_workers=2, threads_per_worker=1, processes=True
    )
    with cluster, Client(cluster) as client:  # type: ignore[no-untyped-call,unused-ignore]
        xs = [0.25 * i + 0.1 for i in range(20)]
        rows = [[x] for x in xs]

        # 1. Many targets, one search each, run as Dask tasks; the Pareto lists come back in order.
        searcher = kov_sr.Searcher(max_complexity=5)
        targets = [[math.exp(x) for x in xs], [x * x + 1.0 for x in xs], [math.sin(x) for x in xs]]
        for candidates in fit_many(client, searcher, [(rows, ys) for ys in targets]):
            print(candidates[0].formula, candidates[0].error)

        # 2. One search split across the workers: the same results as Searcher, bit for bit.
        ys = [x * math.sin(x) + 2.0 for x in xs]
        remote = DistributedSearcher(client, max_complexity=6, beam_width=200)
        result = remote.find_function(xs, ys)
        local = kov_sr.Searcher(max_complexity=6, beam_width=200).find_function(xs, ys)
        print(result.formula, result.error)
        assert (result.formula, result.error) == (local.formula, local.error)


if __name__ == "__main__":  # worker processes import this file again: start the cluster only once
    main()
