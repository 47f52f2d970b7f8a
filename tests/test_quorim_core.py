"""quorim_main: semi-supervised DBSCAN seeded by the labeled samples."""

import numpy as np
import pytest
from scipy.spatial import KDTree
from sklearn.neighbors import BallTree

from sorvane.algorithms.src.quorim.binaries import quorim_core
from sorvane.algorithms.src.quorim.binaries.quorim_core import quorim_main

OUT_OF_BOUNDS = r"^Out of bounds on buffer access \(axis 0\)$"


def line(*xs):
    """Samples on a line, one per x."""
    return np.array(xs, dtype=np.float64).reshape(-1, 1)


def reference_dbscan(data, eps, min_samples, labels, metric, p):
    """The three seeding passes and the breadth-first expansion, written plainly."""
    n = len(data)
    if metric == "minkowski" and p == 2:
        tree = KDTree(data)
        hoods = tree.query_ball_tree(tree, r=eps)
    else:
        kwargs = {"p": p} if metric == "minkowski" else {}
        hoods = BallTree(data, metric=metric, **kwargs).query_radius(data, r=eps)
    result = np.full(n, -1, np.int32)
    visited = np.zeros(n, bool)

    def expand(seed, cluster_id):
        queue = [seed]
        visited[seed] = True
        for c in queue:
            result[c] = cluster_id
            if labels[c] >= 0 or len(hoods[c]) >= min_samples:
                for j in hoods[c]:
                    if not visited[j] and labels[j] in (-1, cluster_id):
                        visited[j] = True
                        queue.append(j)

    for dense in (False, True):
        for i in range(n):
            if not visited[i] and labels[i] >= 0 and (len(hoods[i]) >= min_samples) == dense:
                expand(i, labels[i])
    cluster_id = -2
    for i in range(n):
        if not visited[i] and len(hoods[i]) >= min_samples:
            expand(i, cluster_id)
            cluster_id -= 1
    return result


# Samples on a line with eps 1.5: unit spacing makes the direct neighbours, and only them, adjacent.
SCENARIOS = [
    pytest.param(
        # The blob at 20..22 meets its first core sample (index 2) before the blob holding index 0
        # meets its own (index 4), so it is -2 although sample 0 has the lowest index.
        line(0, 20, 21, 22, 1, 2), [-1] * 6, 3, [-3, -2, -2, -2, -3, -3],
        id="no-labels-numbered-by-first-core",
    ),
    pytest.param(line(0, 10, 11, 12, 30), [4, -1, -1, -1, -1], 3, [4, -2, -2, -2, -1], id="isolated-labeled-sparse"),
    pytest.param(line(0, 10, 11, 12, 30), [4, -1, -1, -1, -1], 1, [4, -2, -2, -2, -3], id="isolated-labeled-dense"),
    pytest.param(
        # Sample 0 has a single neighbour, yet it claims it, and the dense chain carries it on.
        line(0, 1, 2, 3, 4, 5, 30), [7, -1, -1, -1, -1, -1, -1], 3, [7, 7, 7, 7, 7, 7, -1],
        id="sparse-labeled-claims-dense-neighbours",
    ),
    pytest.param(line(0, 1, 2), [0, -1, 1], 10, [0, 0, 1], id="two-classes-lower-index-first"),
    pytest.param(line(0, 1, 2), [0, -1, 1], 1, [0, 0, 1], id="two-classes-never-absorbed"),
    pytest.param(
        # Class 5 (index 0) is dense, class 3 (index 3) sparse: the sparse seed runs first and
        # takes the contested sample 2, whose expansion then stops at the class-5 sample.
        line(0, -1, 1, 2), [5, -1, -1, 3], 3, [5, 5, 3, 3],
        id="sparse-seed-before-dense-seed",
    ),
    pytest.param(line(0, 1, 2, 3), [0, -1, -1, -1], 3, [0, 0, 0, 0], id="exactly-min-samples-is-core"),
    pytest.param(line(0, 1, 2, 3), [0, -1, -1, -1], 4, [0, 0, -1, -1], id="one-short-is-border"),
    pytest.param(
        # Nothing is dense: a class spreads only through its own labeled samples.
        line(0, 1, 2, 3), [0, 0, -1, -1], 100, [0, 0, 0, -1],
        id="same-label-chain-without-density",
    ),
    pytest.param(line(0, 1, 2, 10), [-1] * 4, 1, [-2, -2, -2, -3], id="min-samples-1-all-core"),
    pytest.param(line(0, 1, 2, 10), [-1] * 4, 0, [-2, -2, -2, -3], id="min-samples-0-all-core"),
    pytest.param(line(0, 1, 2, 10), [-1] * 4, -5, [-2, -2, -2, -3], id="min-samples-negative-all-core"),
    pytest.param(line(0, 1, 2, 10), [-1] * 4, 2, [-2, -2, -2, -1], id="min-samples-2-isolated-noise"),
]


@pytest.mark.parametrize("metric, p", [("minkowski", 2), ("euclidean", 2)])
@pytest.mark.parametrize("data, labels, min_samples, expected", SCENARIOS)
def test_scenarios(data, labels, min_samples, expected, metric, p):
    labels = np.array(labels, dtype=np.int32)
    before = labels.copy()
    result = quorim_main(data, 1.5, min_samples, labels, metric, p)
    assert result.dtype == np.int32
    assert result.tolist() == expected
    np.testing.assert_array_equal(labels, before)


@pytest.mark.parametrize(
    "metric, p", [("minkowski", 2), ("minkowski", 1), ("minkowski", 3), ("chebyshev", 7), ("manhattan", 2)]
)
def test_matches_reference_on_random_data(metric, p):
    rng = np.random.default_rng(7)
    for _ in range(6):
        n = 250
        centres = rng.choice([-3.0, 0.0, 3.0], size=(n, 1))
        data = np.ascontiguousarray(centres + rng.normal(size=(n, 2)) * rng.choice([0.2, 0.6, 1.5], size=(n, 1)))
        labels = np.full(n, -1, np.int32)
        seeds = rng.choice(n, 12, replace=False)
        labels[seeds] = rng.integers(0, 4, size=12)
        eps = float(rng.uniform(0.1, 0.6))
        min_samples = int(rng.integers(0, 12))
        expected = reference_dbscan(data, eps, min_samples, labels, metric, p)
        np.testing.assert_array_equal(quorim_main(data, eps, min_samples, labels, metric, p), expected)


class Spy:
    """Stands in for a tree class and records how it was constructed."""

    def __init__(self, cls):
        self.cls = cls
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append(kwargs)
        return self.cls(*args, **kwargs)


@pytest.fixture
def spies(monkeypatch):
    kd, ball = Spy(KDTree), Spy(BallTree)
    monkeypatch.setattr(quorim_core, "KDTree", kd)
    monkeypatch.setattr(quorim_core, "BallTree", ball)
    return kd, ball


@pytest.mark.parametrize(
    "metric, p, kd_calls, ball_calls",
    [
        ("minkowski", 2, [{}], []),
        ("minkowski", 1, [], [{"metric": "minkowski", "p": 1}]),
        ("euclidean", 2, [], [{"metric": "euclidean"}]),
        ("chebyshev", 1, [], [{"metric": "chebyshev"}]),
    ],
)
def test_tree_choice(spies, metric, p, kd_calls, ball_calls):
    kd, ball = spies
    data = line(0, 1, 2, 10, 11, 12)
    result = quorim_main(data, 1.5, 2, np.array([-1, -1, -1, 3, -1, -1], np.int32), metric, p)
    assert result.tolist() == [-2, -2, -2, 3, 3, 3]
    assert kd.calls == kd_calls
    assert ball.calls == ball_calls


def fake_tree(neighbourhoods):
    class FakeTree:
        def __init__(self, data):
            pass

        def query_ball_tree(self, other, r):
            return neighbourhoods

    return FakeTree


HOODS = [[0, 1], [1, 0, 2], [2, 1, 3], [3, 2]]


@pytest.mark.parametrize(
    "neighbourhoods",
    [
        pytest.param(HOODS, id="lists"),
        pytest.param(tuple(tuple(np.int64(j) for j in h) for h in HOODS), id="tuples-of-numpy-ints"),
        pytest.param(np.array([np.array(h, np.int64) for h in HOODS], dtype=object), id="object-array-int64"),
        pytest.param([np.array(h, np.int32) for h in HOODS], id="int32-arrays"),
        pytest.param([np.repeat(np.array(h, np.int64), 2)[::2] for h in HOODS], id="strided-arrays"),
        pytest.param([np.array(h, ">i8") for h in HOODS], id="big-endian-arrays"),
        pytest.param([np.array(h, np.uint16) for h in HOODS], id="uint16-arrays"),
    ],
)
def test_neighbourhood_formats(monkeypatch, neighbourhoods):
    monkeypatch.setattr(quorim_core, "KDTree", fake_tree(neighbourhoods))
    labels = np.array([9, -1, -1, -1], np.int32)
    assert quorim_main(line(0, 1, 2, 3), 1.5, 3, labels, "minkowski", 2).tolist() == [9, 9, 9, 9]


@pytest.mark.parametrize(
    "neighbourhoods, error, message",
    [
        pytest.param([[0, 4], [1], [2], [3]], IndexError, OUT_OF_BOUNDS, id="index-n"),
        pytest.param([[0, 2**40], [1], [2], [3]], IndexError, OUT_OF_BOUNDS, id="index-huge"),
        pytest.param([[0, 2**70], [1], [2], [3]], IndexError, OUT_OF_BOUNDS, id="index-beyond-int64"),
        pytest.param([[0, -1], [1], [2], [3]], IndexError, OUT_OF_BOUNDS, id="index-negative"),
        pytest.param([np.array([0, 7]), [1], [2], [3]], IndexError, OUT_OF_BOUNDS, id="array-index-n"),
        pytest.param([[0], [1], [2]], IndexError, "out of range", id="too-few-neighbourhoods"),
        pytest.param(None, TypeError, r"^'NoneType' object is not subscriptable$", id="none"),
        pytest.param([[0, 1.0], [1], [2], [3]], TypeError, "integer", id="float-index"),
    ],
)
def test_bad_neighbourhoods(monkeypatch, neighbourhoods, error, message):
    monkeypatch.setattr(quorim_core, "KDTree", fake_tree(neighbourhoods))
    labels = np.array([0, -1, -1, -1], np.int32)
    with pytest.raises(error, match=message):
        quorim_main(line(0, 10, 20, 30), 1.5, 3, labels, "minkowski", 2)


def test_empty_data_with_neighbourhoods_none(monkeypatch):
    monkeypatch.setattr(quorim_core, "KDTree", fake_tree(None))
    result = quorim_main(np.empty((0, 2)), 1.0, 3, np.empty(0, np.int32), "minkowski", 2)
    assert result.dtype == np.int32 and result.shape == (0,)


def readonly(array):
    array.flags.writeable = False
    return array


GOOD = dict(data=line(0, 1, 2), eps=1.5, min_samples=2, labels=np.array([0, -1, -1], np.int32),
            metric="minkowski", p=2)


@pytest.mark.parametrize(
    "changes, error, message",
    [
        ({"data": line(0, 1, 2).astype(np.float32)}, ValueError, r"Buffer dtype mismatch, expected 'DTYPE_t'"),
        ({"data": np.asfortranarray(np.ones((3, 2)))}, ValueError, "contiguous"),
        ({"data": np.zeros(3)}, ValueError, r"wrong number of dimensions \(expected 2, got 1\)"),
        ({"data": readonly(line(0, 1, 2))}, ValueError, "read-only"),
        ({"labels": np.array([0, -1, -1], np.int64)}, ValueError, r"Buffer dtype mismatch, expected 'int'"),
        ({"labels": np.zeros((3, 1), np.int32)}, ValueError, "wrong number of dimensions"),
        ({"labels": readonly(np.array([0, -1, -1], np.int32))}, ValueError, "read-only"),
        ({"labels": np.array([0, -1], np.int32)}, IndexError, OUT_OF_BOUNDS),
        ({"labels": [0, -1, -1]}, TypeError, "bytes-like"),
        ({"metric": b"minkowski"}, TypeError, r"Argument 'metric' has incorrect type \(expected str, got bytes\)"),
        ({"min_samples": "2"}, TypeError, "an integer is required"),
        ({"p": 2**40}, OverflowError, "value too large to convert to int"),
        ({"eps": "1.5"}, TypeError, "real number"),
    ],
)
def test_bad_arguments_fail_before_any_work(spies, changes, error, message):
    with pytest.raises(error, match=message):
        quorim_main(**{**GOOD, **changes})
    kd, ball = spies
    assert kd.calls == [] and ball.calls == []


@pytest.mark.parametrize("metric", ["no-such-metric", None])
def test_tree_errors_propagate(metric):
    with pytest.raises((ValueError, TypeError)):
        quorim_main(line(0, 1, 2), 1.5, 2, np.array([0, -1, -1], np.int32), metric, 2)


def test_longer_labels_use_the_first_n():
    labels = np.array([-1, -1, -1, 5, 5], np.int32)
    assert quorim_main(line(0, 1, 2), 1.5, 2, labels, "minkowski", 2).tolist() == [-2, -2, -2]
