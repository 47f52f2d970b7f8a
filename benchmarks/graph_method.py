"""Graph method: time of each kernel and of the whole chain beside the library calls they build on,
and beside scikit-learn's LabelSpreading on the same data.

Samples are drawn from one standard normal distribution; the labeled samples are a random choice
with random classes. Figures are the best of --repeats rounds, in which the measurements take turns; every run of the chain starts from
fresh containers (connect_unlabeled and weighted_label_propagation change their inputs).

    .venv/bin/python benchmarks/graph_method.py [--n 200000] [--dims 3] [--k 10] [--labeled 200]
                                                [--classes 5] [--repeats 3]
"""

import argparse
import os
import sys
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from scipy.spatial import KDTree  # noqa: E402
from scipy.spatial.distance import cdist  # noqa: E402

from sorvane.algorithms.src.velmar.binaries import (  # noqa: E402
    nearmesh,
    velmar_bfs,
    velmar_connect,
    velmar_lp,
)
from sorvane.input_data import AlgorithmInput  # noqa: E402

GOAL_MUTUAL_KNN = 1.15
GOAL_INFORMATIVE_EDGES = 2.0
GOAL_CHAIN = 3.0
STAGES = ["mutual_knn", "informative_edges", "find_connected_components", "connect_unlabeled",
          "weighted_label_propagation"]


def timed(run):
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def chain(X, data, labels, k):
    """One run of the graph method; the time of every stage and the final labels."""
    times = {}
    start = time.perf_counter()
    connections, weights, knn_connections, knn_weights = nearmesh.mutual_knn(X, k)
    times["mutual_knn"] = time.perf_counter() - start

    start = time.perf_counter()
    connections, weights = nearmesh.informative_edges(data, k, connections, weights)
    times["informative_edges"] = time.perf_counter() - start

    start = time.perf_counter()
    components, flags = velmar_bfs.find_connected_components(data, connections)
    times["find_connected_components"] = time.perf_counter() - start

    start = time.perf_counter()
    velmar_connect.connect_unlabeled(knn_connections, knn_weights, components, flags, connections, weights)
    times["connect_unlabeled"] = time.perf_counter() - start

    result = labels.astype(np.int32)
    start = time.perf_counter()
    velmar_lp.weighted_label_propagation(connections, weights, result)
    times["weighted_label_propagation"] = time.perf_counter() - start
    unlabeled_components = sum(1 for _, labeled in components if not labeled)
    return times, result, len(components), unlabeled_components


def status(ratio, goal, below=False):
    met = ratio < goal if below else ratio <= goal
    return "ok" if met else "MISSED"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=200000)
    parser.add_argument("--dims", type=int, default=3)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--labeled", type=int, default=200)
    parser.add_argument("--classes", type=int, default=5)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--no-sklearn", action="store_true", help="skip the LabelSpreading comparison")
    args = parser.parse_args()

    rng = np.random.default_rng(args.seed)
    X = rng.normal(size=(args.n, args.dims))
    labels = np.full(args.n, -1, dtype=np.int64)
    labeled = rng.choice(args.n, size=args.labeled, replace=False)
    labels[labeled] = rng.integers(0, args.classes, size=args.labeled)
    # float64, as the estimator passes it (cdist is much slower on float32 rows).
    data = AlgorithmInput(X, labels, dtype=np.float64)
    k, repeats = args.k, args.repeats

    def bare_query():
        KDTree(X).query(X, k=k + 1, workers=-1)

    bare_query()  # warm-up: imports, first touch of the data
    connections, weights, _, _ = nearmesh.mutual_knn(X, k)
    # The measurements take turns, so that other load on the machine spreads over all of them.
    measured = {name: [] for name in ["query", "mutual_knn", "cdist", "informative_edges", "chain"] + STAGES}
    for _ in range(repeats):
        measured["query"].append(timed(bare_query))
        measured["mutual_knn"].append(timed(lambda: nearmesh.mutual_knn(X, k)))
        measured["cdist"].append(timed(lambda: cdist(data.data, data.get_labeled())))
        measured["informative_edges"].append(
            timed(lambda: nearmesh.informative_edges(data, k, connections, weights)))
        times, result, n_components, n_unlabeled = chain(X, data, labels, k)
        for stage, value in times.items():
            measured[stage].append(value)
        measured["chain"].append(sum(times.values()))
    query_time, mutual_time, cdist_time, informative_time, chain_time = (
        min(measured[name]) for name in ["query", "mutual_knn", "cdist", "informative_edges", "chain"])
    stage_times = {stage: measured[stage] for stage in STAGES}

    print(f"graph method, n = {args.n} normal samples in {args.dims} dims, k = {k}, "
          f"{args.labeled} labeled in {args.classes} classes (best of {repeats})")
    print(f"  components: {n_components}, of them without a label: {n_unlabeled}; "
          f"samples left unlabeled: {int(np.count_nonzero(result == -1))}")
    print()
    print("(a) mutual_knn beside the KDTree build + query(k=k+1, workers=-1) it wraps")
    print(f"  KDTree + query:     {query_time:8.3f} s")
    print(f"  mutual_knn:         {mutual_time:8.3f} s   ratio {mutual_time / query_time:6.3f}"
          f"   goal <= {GOAL_MUTUAL_KNN}   {status(mutual_time / query_time, GOAL_MUTUAL_KNN)}")
    print("(b) informative_edges beside cdist(data, labeled)")
    print(f"  cdist:              {cdist_time:8.3f} s")
    print(f"  informative_edges:  {informative_time:8.3f} s   ratio {informative_time / cdist_time:6.3f}"
          f"   goal <= {GOAL_INFORMATIVE_EDGES}   {status(informative_time / cdist_time, GOAL_INFORMATIVE_EDGES)}")
    print("(c) the kernels of the chain beside the bare KDTree build + query")
    for stage in STAGES:
        best = min(stage_times[stage])
        print(f"  {stage:28s} {best:8.3f} s   x {best / query_time:6.3f}")
    print(f"  {'whole chain':28s} {chain_time:8.3f} s   x {chain_time / query_time:6.3f}"
          f"   goal <= {GOAL_CHAIN}   {status(chain_time / query_time, GOAL_CHAIN)}")

    if args.no_sklearn:
        return
    from sklearn.semi_supervised import LabelSpreading

    spreading = LabelSpreading(kernel="knn", n_neighbors=k)
    start = time.perf_counter()
    spreading.fit(X, labels)
    spreading_time = time.perf_counter() - start
    agreement = float(np.mean(spreading.transduction_ == result))
    print(f"(d) the chain beside LabelSpreading(kernel='knn', n_neighbors={k}) (one fit)")
    print(f"  LabelSpreading:     {spreading_time:8.3f} s")
    print(f"  whole chain:        {chain_time:8.3f} s   ratio {chain_time / spreading_time:6.3f}"
          f"   goal < 1   {status(chain_time / spreading_time, 1.0, below=True)}")
    print(f"  labels in agreement with LabelSpreading: {agreement:.3f}")


if __name__ == "__main__":
    main()
