"""Tree-cut method: time and peak memory of prim_mst beside pdist + squareform alone, and time of
clusterize on the resulting tree.

Times: pdist + squareform and prim_mst alternate in one interpreter; the best of the repeats is
kept, as wall-clock and as CPU time of the process (the latter is steadier on a busy machine).
Memory: each step runs once in a fresh interpreter, so that its peak resident memory (ru_maxrss)
belongs to it alone; "extra" is that peak minus the resident size just before the step.

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
            start, start_cpu = time.perf_counter(), time.process_time()
            _, _, new_labels = clusterize(fresh_connections, fresh_weights, labels)
            times.append((time.perf_counter() - start, time.process_time() - start_cpu))
        edges_after = sum(a.size for a in fresh_connections.to_numpy_all()) // 2
        joining_edges = np.count_nonzero(labels >= 0) - len(np.unique(labels[labels >= 0]))
        out["cuts"] = int((n - 1) + joining_edges - edges_after)
        out["agreement"] = float(np.mean(new_labels == truth))
        out["labeled"] = int(np.count_nonzero(labels >= 0))
        out["wall"] = min(t[0] for t in times)
        out["cpu"] = min(t[1] for t in times)
        print(json.dumps(out))
        return

    if mode == "time":
        wall = {"pdist": [], "prim_mst": []}
        cpu = {"pdist": [], "prim_mst": []}
        for _ in range(repeats):
            for step in ("pdist", "prim_mst"):
                start, start_cpu = time.perf_counter(), time.process_time()
                result = squareform(pdist(X)) if step == "pdist" else prim_mst(X)
                wall[step].append(time.perf_counter() - start)
                cpu[step].append(time.process_time() - start_cpu)
                del result
        # prim_mst's own work: the module-level pdist and squareform hand back arrays made before
        from sorvane.algorithms.src.treleck.binaries import treleck_mst

        condensed = pdist(X)
        square = squareform(condensed)
        treleck_mst.pdist = lambda _X, metric: condensed
        treleck_mst.squareform = lambda _condensed: square
        own = []
        for _ in range(repeats):
            start = time.process_time()
            prim_mst(X)
            own.append(time.process_time() - start)
        print(json.dumps({"wall": {k: min(v) for k, v in wall.items()}, "cpu": {k: min(v) for k, v in cpu.items()},
                          "own_cpu": min(own)}))
        return

    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    vm_before = status_kib("VmSize")
    result = squareform(pdist(X)) if mode == "pdist" else prim_mst(X)
    out["extra_rss_mib"] = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024
    out["vm_peak_minus_before_mib"] = (status_kib("VmPeak") - vm_before) / 1024
    del result
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
    times = run("time", args)
    baseline = run("pdist", args)
    mst = run("prim_mst", args)
    cut = run("clusterize", args)
    wall, cpu = times["wall"], times["cpu"]
    print(f"tree-cut method, n = {n} samples in {args.dims} dims (best of {args.repeats}, wall / CPU)")
    print(f"  pdist + squareform: {wall['pdist']:7.3f} s / {cpu['pdist']:7.3f} s")
    print(f"  prim_mst:           {wall['prim_mst']:7.3f} s / {cpu['prim_mst']:7.3f} s")
    for kind, t in (("wall", wall), ("CPU", cpu)):
        ratio = t["prim_mst"] / t["pdist"]
        print(f"  time ratio prim_mst / (pdist + squareform), {kind}: {ratio:.3f}   goal <= {GOAL_TIME_RATIO}"
              f"   {'ok' if ratio <= GOAL_TIME_RATIO else 'MISSED'}")
    own = times["own_cpu"]
    print(f"  prim_mst beyond pdist + squareform (distances computed beforehand): {own:.3f} s CPU,"
          f" ratio {1 + own / cpu['pdist']:.3f} with the pdist + squareform CPU time above")
    print(f"  condensed + square distance arrays: {arrays_mib:8.1f} MiB")
    print(f"  extra peak RSS, pdist + squareform: {baseline['extra_rss_mib']:8.1f} MiB")
    print(f"  extra peak RSS, prim_mst:           {mst['extra_rss_mib']:8.1f} MiB"
          f"   ({mst['extra_rss_mib'] - baseline['extra_rss_mib']:+.1f} MiB; address space at peak"
          f" +{mst['vm_peak_minus_before_mib']:.0f} MiB, of which the two GraphWrapper(n, dtype, n)"
          f" reserve {n * 3 * n * 12 / 2**20:.0f} MiB)")
    print(f"  clusterize ({cut['labeled']} labeled samples in {args.classes} classes): {cut['wall']:.3f} s /"
          f" {cut['cpu']:.3f} s, {cut['cuts']} cuts, agreement with the generating classes {cut['agreement']:.3f}")
    ratio = cut["cpu"] / cpu["prim_mst"]
    print(f"  time ratio clusterize / prim_mst, CPU: {ratio:.3f}   goal < 1   {'ok' if ratio < 1 else 'MISSED'}")


if __name__ == "__main__":
    main()
