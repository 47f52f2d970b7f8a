"""prim_mst: Prim's minimum spanning tree of the complete distance graph."""

from heapq import heappop, heappush

import numpy as np
import pytest
from scipy.spatial.distance import pdist, squareform

from sorvane.algorithms.src.treleck.binaries import treleck_mst
from sorvane.algorithms.src.treleck.binaries.treleck_mst import prim_mst


def lists(wrapper):
    return [a.tolist() for a in wrapper.to_numpy_all()]


def heap_prim(D):
    """Prim with a Python heap of (weight, vertex, parent) tuples and lazy deletion."""
    n = D.shape[0]
    connections = [[] for _ in range(n)]
    weights = [[] for _ in range(n)]
    visited = [False] * n
    heap = [(0.0, 0, -1)] if n else []
    while heap:
        weight, u, parent = heappop(heap)
        if visited[u]:
            continue
        visited[u] = True
        if parent != -1:
            connections[u].append(parent)
            connections[parent].append(u)
            weights[u].append(float(np.float32(weight)))
            weights[parent].append(float(np.float32(weight)))
        for v in range(n):
            if not visited[v]:
                heappush(heap, (float(D[u, v]), v, u))
    return connections, weights


@pytest.mark.parametrize(
    "points, connections, weights",
    [
        ([[0.0, 0.0]], [[]], [[]]),
        ([[0.0, 0.0], [0.3, 0.4]], [[1], [0]], [[np.float32(0.5)], [np.float32(0.5)]]),
        ([[0.0], [1.0], [3.0]], [[1], [0, 2], [1]], [[1.0], [1.0, 2.0], [2.0]]),
        # unit square: all sides tie; vertex 1 before 2 (smaller vertex), 3 through parent 1
        ([[0, 0], [1, 0], [0, 1], [1, 1]], [[1, 2], [0, 3], [0], [1]], [[1.0, 1.0], [1.0, 1.0], [1.0], [1.0]]),
        # a list starts with the parent, then the children in joining order
        ([[0.0], [10.0], [4.0], [11.0], [3.0]], [[4], [2, 3], [4, 1], [1], [0, 2]],
         [[3.0], [6.0, 1.0], [1.0, 6.0], [1.0], [3.0, 1.0]]),
    ],
    ids=["one-row", "two-rows", "collinear", "unit-square", "list-order"],
)
def test_tree_lists(points, connections, weights):
    mst_connections, mst_weights = prim_mst(np.array(points, dtype=np.float64))
    assert lists(mst_connections) == connections
    assert lists(mst_weights) == weights
    assert type(mst_connections) is treleck_mst.GraphWrapper and type(mst_weights) is treleck_mst.GraphWrapper
    assert mst_connections.to_numpy(0).dtype == np.int64 and mst_weights.to_numpy(0).dtype == np.float32


def test_weights_are_the_64_bit_distances_rounded_to_32_bits():
    X = np.array([[0.0], [0.1], [0.30000000000000004]])
    connections, weights = prim_mst(X)
    assert lists(connections) == [[1], [0, 2], [1]]
    w = weights.to_numpy(1)
    assert w.tolist() == [np.float32(0.1), np.float32(0.30000000000000004 - 0.1)]


def test_matches_a_python_heap_on_random_data():
    rng = np.random.default_rng(7)
    for _ in range(20):
        X = rng.normal(size=(int(rng.integers(2, 40)), 3))
        connections, weights = prim_mst(X)
        assert (lists(connections), lists(weights)) == heap_prim(squareform(pdist(X)))


@pytest.mark.parametrize("symmetric", [True, False], ids=["symmetric", "asymmetric"])
@pytest.mark.parametrize("nan_share", [0.0, 0.15, 0.6], ids=["no-nan", "some-nan", "mostly-nan"])
def test_ties_and_nan_match_a_python_heap(monkeypatch, symmetric, nan_share):
    """Few distinct distances (many ties, +inf among them) and NaN as Python orders it."""
    rng = np.random.default_rng(11)
    for trial in range(150):
        n = int(rng.integers(1, 11))
        D = rng.choice([0.0, 1.0, 2.0, 3.0, np.inf], size=(n, n), p=[0.2, 0.25, 0.25, 0.2, 0.1])
        D[rng.random((n, n)) < nan_share] = np.nan
        if symmetric:
            D = np.triu(D, 1) + np.triu(D, 1).T
        monkeypatch.setattr(treleck_mst, "squareform", lambda _condensed, D=D: D)
        connections, weights = prim_mst(np.zeros((n, 2)))
        expected_connections, expected_weights = heap_prim(D)
        assert lists(connections) == expected_connections, (trial, D)
        np.testing.assert_array_equal(
            np.array([x for w in lists(weights) for x in w]),
            np.array([x for w in expected_weights for x in w]),
            err_msg=str((trial, D)),
        )


def test_library_calls_go_through_the_module_level_names(monkeypatch):
    calls = []

    def pdist(X, metric):
        calls.append(("pdist", X.shape, metric))
        return np.array([2.0, 1.0, 5.0])

    def fake_squareform(condensed):
        calls.append(("squareform", condensed.tolist()))
        return squareform(condensed)

    monkeypatch.setattr(treleck_mst, "pdist", pdist)
    monkeypatch.setattr(treleck_mst, "squareform", fake_squareform)
    connections, weights = prim_mst(np.zeros((3, 1)), metric="anything")
    assert calls == [("pdist", (3, 1), "anything"), ("squareform", [2.0, 1.0, 5.0])]
    assert lists(connections) == [[2, 1], [0], [0]]
    assert lists(weights) == [[1.0, 2.0], [2.0], [1.0]]


def test_metric_is_handed_to_pdist():
    X = np.array([[0.0, 0.0], [1.0, 1.0], [3.0, 1.0]])
    connections, weights = prim_mst(X, metric="cityblock")
    assert lists(connections) == [[1], [0, 2], [1]] and lists(weights) == [[2.0], [2.0, 2.0], [2.0]]
    assert lists(prim_mst(metric="cityblock", X=X)[1]) == lists(weights)
    with pytest.raises(ValueError, match="Unknown Distance Metric"):
        prim_mst(X, metric="no-such-metric")


def test_layouts_accepted():
    X = np.random.default_rng(3).normal(size=(12, 4))
    expected = lists(prim_mst(X)[0])
    readonly = X.copy()
    readonly.flags.writeable = False
    for variant in (np.asfortranarray(X), readonly, np.repeat(X, 2, axis=1)[:, ::2], X.view(np.matrix)):
        assert lists(prim_mst(variant)[0]) == expected


def test_no_rows():
    connections, weights = prim_mst(np.empty((0, 3)))
    assert connections.to_numpy_all() == [] and weights.to_numpy_all() == []


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"X": np.zeros((3, 2), dtype=np.int64)}, ValueError, "Buffer dtype mismatch, expected 'float64_t'"),
        ({"X": np.zeros(3)}, ValueError, r"^Buffer has wrong number of dimensions \(expected 2, got 1\)$"),
        ({"X": [[0.0, 1.0]]}, TypeError, r"^Argument 'X' has incorrect type \(expected numpy.ndarray, got list\)$"),
        ({"X": None}, TypeError, "Argument 'X' has incorrect type"),
        ({"X": np.zeros((2, 2)), "metric": type("S", (str,), {})("euclidean")}, TypeError,
         r"^Argument 'metric' has incorrect type \(expected str, got S\)$"),
        ({"metric": "euclidean"}, TypeError, r"^prim_mst\(\) takes at least 1 positional argument \(0 given\)$"),
        ({"X": np.zeros((2, 2), dtype=np.int64), "metric": 5}, TypeError,
         r"^Argument 'metric' has incorrect type \(expected str, got int\)$"),
    ],
    ids=["int-elements", "one-dimension", "list", "none", "str-subclass", "missing-X", "metric-before-elements"],
)
def test_argument_errors(kwargs, error, message):
    with pytest.raises(error, match=message):
        prim_mst(**kwargs)
