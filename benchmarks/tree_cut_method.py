"""Tree-cut method: time and peak memory of prim_mst beside pdist + squareform alone, and time of
clusterize on the resulting tree.

Each measurement runs in a fresh interpreter so that peak resident memory (ru_maxrss) belongs to
that step alone; "extra" is the peak minus the resident size just before the step.

    .venv/bin/python benchmarks/tree_cut_method.py [--n 10000] [--dims 8] [--labeled 100] [--classes 10]
"""

import argparse
import json
import os
import resource
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GOAL_TIME_RATIO = 1.3


def data(n, dims, classes, seed=0):
    import numpy as np

    rng = np.random.default_rng(seed)
    centres = rng.normal(0.0, 6.0, size=(classes, dims))
    truth = rng.integers(0, classes, size=n)
    X = centres[truth] + rng.normal(0.0, 1.0, size=(n, dims))
    return X, truth


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def child(mode, n, dims, labeled, classes, repeats):
    import numpy as np
    from scipy.spatial.distance import pdist, squareform

    sys.path.insert(0, ROOT)
    from sorvane.algorithms.src.treleck.binaries.treleck_core import clusterize
    from sorvane.algorithms.src.treleck.binaries.treleck_mst import prim_mst

    X, truth = data(n, dims, classes)
    out = {}
    if mode == "clusterize":
        connections, weights = prim_mst(X)
        adjacency = [a.tolist() for a in connections.to_numpy_all()]
        weight_lists = [w.tolist() for w in weights.to_numpy_all()]
        # labeled / classes samples of every class, drawn from its members
        rng = np.random.default_rng(1)
        labels = np.full(n, -1, dtype=np.int8)
        for c in range(classes):
            members = np.flatnonzero(truth == c)
            labels[rng.choice(members, size=min(max(1, labeled // classes), members.size), replace=False)] = c
        times = []
        for _ in range(repeats):
            fresh_connections = type(connections)(n, 0, n)
            fresh_weights = type(weights)(n, 1, n)
            for i, (neighbours, ws) in enumerate(zip(adjacency, weight_lists)):
                for v, w in zip(neighbours, ws):
                    fresh_connections.append(i, v)
                    fresh_weights.append(i, w)
            start = time.perf_counter()
            _, _, new_labels = clusterize(fresh_connections, fresh_weights, labels)
            times.append(time.perf_counter() - start)
        edges_after = sum(a.size for a in fresh_connections.to_numpy_all()) // 2
        joining_edges = np.count_nonzero(labels >= 0) - len(np.unique(labels[labels >= 0]))
        out["cuts"] = int((n - 1) + joining_edges - edges_after)
        out["agreement"] = float(np.mean(new_labels == truth))
        out["labeled"] = int(np.count_nonzero(labels >= 0))
        out["time"] = min(times)
        print(json.dumps(out))
        return

    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    vm_before = status_kib("VmSize")
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        if mode == "pdist":
            result = squareform(pdist(X))
        else:
            result = prim_mst(X)
        times.append(time.perf_counter() - start)
        del result
    out["time"] = min(times)
    out["extra_rss_mib"] = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024
    out["vm_peak_minus_before_mib"] = (status_kib("VmPeak") - vm_before) / 1024
    print(json.dumps(out))


def run(mode, args):
    command = [sys.executable, os.path.abspath(__file__), "--child", mode, "--n", str(args.n), "--dims",
               str(args.dims), "--labeled", str(args.labeled), "--classes", str(args.classes), "--repeats",
               str(args.repeats)]
    result = subprocess.run(command, check=True, capture_output=True, text=True)
    return json.loads(result.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=10000)
    parser.add_argument("--dims", type=int, default=8)
    parser.add_argument("--labeled", type=int, default=100)
    parser.add_argument("--classes", type=int, default=10)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.n, args.dims, args.labeled, args.classes, args.repeats)
        return

    n = args.n
    arrays_mib = (n * (n - 1) / 2 + n * n) * 8 / 2**20
    baseline = run("pdist", args)
    mst = run("prim_mst", args)
    cut = run("clusterize", args)
    ratio = mst["time"] / baseline["time"]
    print(f"tree-cut method, n = {n} samples in {args.dims} dims (best of {args.repeats})")
    print(f"  condensed + square distance arrays:  {arrays_mib:9.1f} MiB")
    print(f"  pdist + squareform:   {baseline['time']:8.3f} s   extra peak RSS {baseline['extra_rss_mib']:9.1f} MiB")
    print(f"  prim_mst:             {mst['time']:8.3f} s   extra peak RSS {mst['extra_rss_mib']:9.1f} MiB"
          f"   (address space reserved at peak: +{mst['vm_peak_minus_before_mib']:.0f} MiB)")
    print(f"  time ratio prim_mst / (pdist + squareform): {ratio:.3f}   goal <= {GOAL_TIME_RATIO}"
          f"   {'ok' if ratio <= GOAL_TIME_RATIO else 'MISSED'}")
    print(f"  memory beyond pdist + squareform: {mst['extra_rss_mib'] - baseline['extra_rss_mib']:+.1f} MiB")
    print(f"  clusterize ({cut['labeled']} labeled samples in {args.classes} classes): {cut['time']:8.3f} s,"
          f" {cut['cuts']} cuts, agreement with the generating classes {cut['agreement']:.3f}")
    print(f"  time ratio clusterize / prim_mst: {cut['time'] / mst['time']:.3f}   goal < 1"
          f"   {'ok' if cut['time'] < mst['time'] else 'MISSED'}")


if __name__ == "__main__":
    main()
