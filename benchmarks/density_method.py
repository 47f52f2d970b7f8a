"""Density method timings on 100000 samples in 4 dimensions.

Prints the time of quorim_main beside the bare k-d tree build and self query it wraps (goal:
ratio at most 1.2), the time of quorim_postprocess with 5% noise samples and 10 classes (goal:
below quorim_main), the ball-tree path beside its bare query (on a slice of the data), and plain
DBSCAN on the same data for reference. Each figure is the best of a few runs.

    .venv/bin/python benchmarks/density_method.py [--n N] [--repeats R] [--ball-samples M]
"""

import argparse
import gc
import os
import sys
import time

import numpy as np
from scipy.spatial import KDTree
from sklearn.cluster import DBSCAN
from sklearn.neighbors import BallTree

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from sorvane.algorithms.src.quorim.binaries.quorim_core import quorim_main  # noqa: E402
from sorvane.algorithms.src.quorim.binaries.quorim_postprocess import quorim_postprocess  # noqa: E402

N_FEATURES = 4
N_CLASSES = 10
NOISE_SHARE = 0.05
TARGET_NEIGHBOURS = 20
MIN_SAMPLES = 10


def timed(run):
    gc.collect()
    start = time.perf_counter()
    result = run()
    del result  # freeing the result is part of the cost
    return time.perf_counter() - start


def best_of(repeat, *runs):
    """Best time of each run; the runs alternate, so that load on the machine hits them alike."""
    times = [[] for _ in runs]
    for _ in range(repeat):
        for run, samples in zip(runs, times):
            samples.append(timed(run))
    best = [min(samples) for samples in times]
    return best if len(runs) > 1 else best[0]


def make_data(n, rng):
    n_noise = int(round(n * NOISE_SHARE))
    centres = rng.uniform(-10, 10, size=(N_CLASSES, N_FEATURES))
    classes = rng.integers(0, N_CLASSES, size=n - n_noise)
    blobs = centres[classes] + rng.normal(size=(n - n_noise, N_FEATURES))
    noise = rng.uniform(-13, 13, size=(n_noise, N_FEATURES))
    data = np.vstack([blobs, noise])
    truth = np.concatenate([classes, np.full(n_noise, -1)]).astype(np.int32)
    order = rng.permutation(n)
    return np.ascontiguousarray(data[order]), truth[order]


def radius_for(data, rng, target):
    """eps at which a sample's neighbourhood (itself included) holds about `target` samples."""
    probe = data[rng.choice(len(data), 2000, replace=False)]
    distances, _ = KDTree(data).query(probe, k=target)
    return float(np.median(distances[:, -1]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--ball-samples", type=int, default=20_000)
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    data, truth = make_data(args.n, rng)
    eps = radius_for(data, rng, TARGET_NEIGHBOURS)
    tree = KDTree(data)
    sizes = np.array([len(h) for h in tree.query_ball_tree(tree, r=eps)])
    del tree
    # A few labeled samples per class.
    labels = np.full(len(data), -1, np.int32)
    for cls in range(N_CLASSES):
        labels[rng.choice(np.flatnonzero(truth == cls), 5, replace=False)] = cls

    print(f"samples {len(data)}, features {N_FEATURES}, eps {eps:.4f}, min_samples {MIN_SAMPLES}")
    print(f"neighbourhood size: mean {sizes.mean():.1f}, median {np.median(sizes):.0f}")

    def bare_kd():
        kd = KDTree(data)
        return kd.query_ball_tree(kd, r=eps)

    t_bare, t_main = best_of(args.repeats, bare_kd,
                             lambda: quorim_main(data, eps, MIN_SAMPLES, labels, "minkowski", 2))
    print(f"KDTree + query_ball_tree        {t_bare:8.3f} s")
    print(f"quorim_main (k-d tree)          {t_main:8.3f} s   ratio {t_main / t_bare:.3f} (goal <= 1.2)")

    density = labels.copy()
    density[:] = truth  # 10 classes, 5% noise samples at -1
    t_post = best_of(args.repeats, lambda: quorim_postprocess(data, density))
    print(f"quorim_postprocess              {t_post:8.3f} s   "
          f"{t_post / t_main:.3f} of quorim_main (goal < 1), {int((density == -1).sum())} noise samples")

    clusters = quorim_main(data, eps, MIN_SAMPLES, labels, "minkowski", 2)
    t_chain = best_of(args.repeats, lambda: quorim_postprocess(data, clusters))
    print(f"quorim_postprocess on its output{t_chain:8.3f} s   "
          f"{int((clusters == -1).sum())} noise, {len(set(clusters[clusters < -1].tolist()))} clusters without class")

    # The ball tree is far slower than the k-d tree: measured on a slice of the data.
    part = np.ascontiguousarray(data[: args.ball_samples])
    part_labels = np.ascontiguousarray(labels[: args.ball_samples])

    def bare_ball():
        return BallTree(part, metric="minkowski", p=1).query_radius(part, r=eps)

    t_ball_bare, t_ball_main = best_of(1, bare_ball,
                                       lambda: quorim_main(part, eps, MIN_SAMPLES, part_labels, "minkowski", 1))
    print(f"BallTree + query_radius (p 1)   {t_ball_bare:8.3f} s   on {len(part)} samples")
    print(f"quorim_main (ball tree, p 1)    {t_ball_main:8.3f} s   ratio {t_ball_main / t_ball_bare:.3f}")

    t_dbscan = best_of(args.repeats, lambda: DBSCAN(eps=eps, min_samples=MIN_SAMPLES).fit_predict(data))
    print(f"DBSCAN (reference)              {t_dbscan:8.3f} s")


if __name__ == "__main__":
    main()
