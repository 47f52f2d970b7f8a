"""Large input through informative_edges: 500001 samples (one above the in-memory limit, so the
distances to the labeled samples go through the distance file) and 2 labeled samples.

Builds the mutual kNN graph, prunes it with informative_edges, and checks the result against a
vectorised NumPy reference of the same selection rule (for every vertex and labeled sample, the
neighbour with the smallest float32 sum of edge weight and the neighbour's distance to the labeled
sample, earliest on ties; kept edges made symmetric). Prints the times, the peak memory, and the
ratio of informative_edges to mutual_knn.

    .venv/bin/python benchmarks/large_inputs.py [--n N] [--labeled L] [--k K] [--no-check]
"""

import argparse
import os
import resource
import sys
import tempfile
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from sorvane.algorithms.src.velmar.binaries import nearmesh  # noqa: E402
from sorvane.input_data import AlgorithmInput  # noqa: E402


def peak_rss_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def reference_edges(data, labeled_rows, connections, weights):
    """{(i, j): weight} of the pruned graph, from the selection rule, vectorised over vertices."""
    n = len(connections)
    lengths = np.array([len(c) for c in connections])
    width = max(int(lengths.max()), 1)
    neighbours = np.zeros((n, width), dtype=np.int64)
    edge_weights = np.full((n, width), np.inf, dtype=np.float32)
    for i, (c, w) in enumerate(zip(connections, weights)):
        neighbours[i, : len(c)] = c
        edge_weights[i, : len(w)] = w
    distances = np.sqrt(((data[:, None, :].astype(np.float64) - labeled_rows[None, :, :]) ** 2).sum(-1))
    distances = distances.astype(np.float32)
    edges = {}
    previous = np.full(n, -1)
    for column in range(labeled_rows.shape[0]):
        sums = edge_weights + distances[neighbours, column]  # float32
        sums[np.arange(width)[None, :] >= lengths[:, None]] = np.inf
        best = np.argmin(sums, axis=1)  # the first of equal minima
        found = np.isfinite(sums[np.arange(n), best])
        chosen = np.where(found, best, previous)
        for i in np.flatnonzero((chosen != previous) & (chosen >= 0)):
            j, w = int(neighbours[i, chosen[i]]), float(edge_weights[i, chosen[i]])
            edges.setdefault((int(i), j), w)
            edges.setdefault((j, int(i)), w)
        previous = chosen
    return edges


def result_edges(connections, weights):
    edges = {}
    for i, (c, w) in enumerate(zip(connections.to_numpy_all(), weights.to_numpy_all())):
        for j, value in zip(c.tolist(), w.tolist()):
            edges[(i, j)] = value
    return edges


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=500_001)
    parser.add_argument("--labeled", type=int, default=2)
    parser.add_argument("--k", type=int, default=5)
    parser.add_argument("--no-check", action="store_true", help="skip the comparison with the reference")
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    X = rng.normal(size=(args.n, 2))
    y = np.full(args.n, -1)
    y[rng.choice(args.n, args.labeled, replace=False)] = np.arange(args.labeled) % 2
    data = AlgorithmInput(X, y)
    threshold = getattr(nearmesh, "_FILE_PATH_THRESHOLD", 500_000)
    path = "through the distance file" if args.n > threshold else "in memory"
    print(f"{args.n} samples, {args.labeled} labeled, k = {args.k}: distances {path} (limit {threshold})")

    start = time.perf_counter()
    connections, weights, _, _ = nearmesh.mutual_knn(X, args.k)
    knn_time = time.perf_counter() - start
    print(f"mutual_knn          {knn_time:8.2f} s")

    with tempfile.TemporaryDirectory() as directory:
        cwd = os.getcwd()
        os.chdir(directory)  # where a distance file would be written
        try:
            start = time.perf_counter()
            kept_connections, kept_weights = nearmesh.informative_edges(data, args.k, connections, weights)
            edges_time = time.perf_counter() - start
            left_behind = os.listdir(directory)
        finally:
            os.chdir(cwd)
    print(f"informative_edges   {edges_time:8.2f} s   ratio to mutual_knn {edges_time / knn_time:.2f}")
    print(f"files left in the working directory: {left_behind or 'none'}")
    print(f"peak memory         {peak_rss_mib():8.0f} MiB")

    if not args.no_check:
        start = time.perf_counter()
        expected = reference_edges(data.data, data.get_labeled(), connections.to_numpy_all(), weights.to_numpy_all())
        got = result_edges(kept_connections, kept_weights)
        counts = [len(c) for c in kept_connections.to_numpy_all()]
        ok = got == expected and sum(counts) == len(got)
        print(f"check against the reference: {'same edges and weights' if ok else 'DIFFERENT'} "
              f"({len(got)} directed edges, {time.perf_counter() - start:.1f} s)")
        if not ok:
            missing = set(expected) - set(got)
            extra = set(got) - set(expected)
            print(f"  missing {len(missing)}, extra {len(extra)}, examples {sorted(missing)[:3]} {sorted(extra)[:3]}")
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
