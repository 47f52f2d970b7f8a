"""weighted_label_propagation: in-place sweeps of inverse-square-distance votes."""

import numpy as np
import pytest

from sorvane.algorithms.src.velmar.binaries import nearmesh, velmar_lp

propagate = velmar_lp.weighted_label_propagation


def graph_pair(n, edges, Wrapper=nearmesh.GraphWrapper):
    """Undirected edges (a, b, w), each stored in both lists in the order given."""
    connections, weights = Wrapper(n, 0, max(n, 1)), Wrapper(n, 1, max(n, 1))
    for a, b, w in edges:
        connections.append(a, b)
        weights.append(a, w)
        connections.append(b, a)
        weights.append(b, w)
    return connections, weights


class Lists:
    """A graph object that is not a GraphWrapper: only to_numpy, over Python lists."""

    def __init__(self, lists, dtype):
        self.lists, self.dtype = lists, dtype

    def to_numpy(self, index):
        return np.array(self.lists[index], dtype=self.dtype)


def as_lists(connections, weights):
    return (Lists([a.tolist() for a in connections.to_numpy_all()], np.int64),
            Lists([a.tolist() for a in weights.to_numpy_all()], np.float32))


@pytest.fixture(params=["GraphWrapper", "other object"])
def make_pair(request):
    if request.param == "GraphWrapper":
        return graph_pair
    return lambda n, edges: as_lists(*graph_pair(n, edges))


CHAIN = [(0, 1, 1.0), (1, 2, 1.0)]


@pytest.mark.parametrize(
    "n, edges, labels, options, expected",
    [
        # vertex 1 takes 5 through 0, then 2 through 1 in the same sweep
        (3, CHAIN, [5, -1, -1], {}, [5, 5, 5]),
        (3, CHAIN, [5, -1, -1], {"max_iterations": 1}, [5, 5, 5]),
        # from the other end: vertex 0 is visited before 1 is labeled; a second sweep labels it
        (3, CHAIN, [-1, -1, 7], {}, [7, 7, 7]),
        (3, CHAIN, [-1, -1, 7], {"max_iterations": 1}, [-1, 7, 7]),
        # sweep 1 changes the scores by 1.0 at most, not below 2.0: the run stops
        (3, CHAIN, [-1, -1, 7], {"tolerance": 2.0}, [-1, 7, 7]),
        # label 1 at distance 1.0 (score 1) against label 2 at 0.5 (score 4)
        (3, [(2, 0, 1.0), (2, 1, 0.5)], [1, 2, -1], {}, [1, 2, 2]),
        # votes add up: two of label 1 at 1.0 (2.0) beat one of label 2 at 0.75 (1.78)
        (4, [(3, 0, 1.0), (3, 1, 0.75), (3, 2, 1.0)], [1, 2, 1, -1], {}, [1, 2, 1, 1]),
        # equal scores: the label met first in the vertex's neighbour order wins
        (3, [(2, 0, 1.0), (2, 1, 1.0)], [3, 4, -1], {}, [3, 4, 3]),
        (3, [(2, 1, 1.0), (2, 0, 1.0)], [3, 4, -1], {}, [3, 4, 4]),
        # labels are keys as they are, not consecutive
        (2, [(1, 0, 2.0)], [1000000, -1], {}, [1000000, 1000000]),
        # a weight of zero votes infinity and wins; of two infinities the first met wins
        (3, [(2, 0, 0.0), (2, 1, 1e-30)], [1, 2, -1], {}, [1, 2, 1]),
        (3, [(2, 0, 1e-30), (2, 1, 0.0)], [1, 2, -1], {}, [1, 2, 2]),
        (4, [(3, 0, 0.0), (3, 1, 0.0), (3, 2, 1.0)], [1, 2, 2, -1], {}, [1, 2, 2, 1]),
        # no path to a labeled vertex
        (4, [(0, 1, 1.0), (2, 3, 1.0)], [-1, 4, -1, -1], {}, [4, 4, -1, -1]),
        # nothing to do
        (3, CHAIN, [1, 2, 3], {}, [1, 2, 3]),
        (3, CHAIN, [5, -1, -1], {"max_iterations": 0}, [5, -1, -1]),
        (0, [], [], {}, []),
    ],
)
def test_propagation(make_pair, n, edges, labels, options, expected):
    initial = np.array(labels, dtype=np.int32)
    result = propagate(*make_pair(n, edges), initial, **options)
    assert result.dtype == np.int32 and result.tolist() == expected
    assert initial.tolist() == expected and (n == 0 or np.shares_memory(result, initial))


def test_scores_are_float64_squares_of_float32_reciprocals():
    # On the chain 0-1-2 (weight w from 1 to the labeled 2), the first sweep's largest change is
    # vertex 1's score. A tolerance equal to it lets a second sweep label vertex 0; one ulp above
    # it stops the run: the score must be exactly (1 / float32(w)) squared in float64.
    w = 0.1
    reciprocal = 1.0 / float(np.float32(w))
    score = reciprocal * reciprocal
    assert score != (1.0 / w) ** 2 and score != float(np.float32(1.0 / np.float32(w)) ** 2)
    for tolerance, expected in [(score, [7, 7, 7]), (np.nextafter(score, np.inf), [-1, 7, 7])]:
        labels = np.array([-1, -1, 7], dtype=np.int32)
        propagate(*graph_pair(3, [(0, 1, 1.0), (1, 2, w)]), labels, tolerance=tolerance)
        assert labels.tolist() == expected


@pytest.mark.parametrize(
    "options, sweeps",
    [
        ({}, 2),  # a change of 1.0 (to -1), then 0.0
        ({"tolerance": 2.0}, 1),
        ({"tolerance": 0.0, "max_iterations": 5}, 5),
        ({"tolerance": -1.0, "max_iterations": 3}, 3),
        ({"max_iterations": 0}, 0),
        ({"tolerance": float("inf"), "max_iterations": 4}, 1),
    ],
)
def test_sweeps_counted_through_overridden_to_numpy(options, sweeps):
    calls = []

    class Counted(nearmesh.GraphWrapper):
        def to_numpy(self, index):
            calls.append(index)
            return super().to_numpy(index)

    # vertex 1 has no labeled neighbour: every sweep visits it, fetching its two lists
    connections, weights = graph_pair(3, [(1, 2, 1.0)], Wrapper=Counted)
    labels = np.array([0, -1, -1], dtype=np.int32)
    propagate(connections, weights, labels, **options)
    assert calls == [1, 1, 2, 2] * sweeps
    assert labels.tolist() == [0, -1, -1]


def test_infinite_change_asks_for_another_sweep():
    # vertex 0 is visited before 1 is labeled; 1 takes an infinite score, so sweep 2 labels 0
    labels = np.array([-1, -1, 3], dtype=np.int32)
    propagate(*graph_pair(3, [(0, 1, 1.0), (1, 2, 0.0)]), labels, tolerance=1e300)
    assert labels.tolist() == [3, 3, 3]


def test_errors_after_the_first_labels_keep_them():
    connections = Lists([[1], [0], [3]], np.int64)  # vertex 2 names a vertex that does not exist
    weights = Lists([[1.0], [1.0], [1.0]], np.float32)
    labels = np.array([-1, 4, -1], dtype=np.int32)
    with pytest.raises(IndexError, match="neighbour 3 of vertex 2"):
        propagate(connections, weights, labels)
    assert labels.tolist() == [4, 4, -1]


@pytest.mark.parametrize(
    "connections, weights, error, match",
    [
        (Lists([[1], [-1]], np.int64), Lists([[1.0], [1.0]], np.float32), IndexError, "neighbour -1 of vertex 1"),
        (Lists([[1], [0, 0]], np.int64), Lists([[1.0], [1.0]], np.float32), IndexError,
         "vertex 1 has 2 neighbours but only 1 weights"),
        (Lists([[1], [0]], np.int32), Lists([[1.0], [1.0]], np.float32), ValueError,
         "Buffer dtype mismatch, expected 'ITYPE_t'"),
        (Lists([[1], [0]], np.int64), Lists([[1.0], [1.0]], np.float64), ValueError,
         "Buffer dtype mismatch, expected 'DTYPE32_t'"),
        (Lists([[[1]], [[0]]], np.int64), Lists([[1.0], [1.0]], np.float32), ValueError, "wrong number of dimensions"),
        # the weights wrapper passed for both
        (nearmesh.GraphWrapper(2, 1, 1), nearmesh.GraphWrapper(2, 1, 1), ValueError, "expected 'ITYPE_t'"),
        (nearmesh.GraphWrapper(1, 0, 1), nearmesh.GraphWrapper(2, 1, 1), IndexError, "^Invalid array index$"),
    ],
)
def test_bad_graph(connections, weights, error, match):
    with pytest.raises(error, match=match):
        propagate(connections, weights, np.array([0, -1], dtype=np.int32))


@pytest.mark.parametrize(
    "labels, options, error, match",
    [
        (np.array([0, -1], dtype=np.int64), {}, ValueError, "Buffer dtype mismatch, expected 'int'"),
        (np.array([[0, -1]], dtype=np.int32), {}, ValueError, "wrong number of dimensions"),
        (np.array([0, 9, -1], dtype=np.int32)[::2], {}, ValueError, "not C contiguous"),
        ([0, -1], {}, TypeError, None),
        (np.array([0, -1], dtype=np.int32), {"max_iterations": -1}, OverflowError, "can't convert negative value"),
        (np.array([0, -1], dtype=np.int32), {"tolerance": "small"}, TypeError, None),
    ],
)
def test_bad_arguments(labels, options, error, match):
    with pytest.raises(error, match=match):
        propagate(*graph_pair(2, [(0, 1, 1.0)]), labels, **options)


def test_read_only_labels_are_refused():
    labels = np.array([0, -1], dtype=np.int32)
    labels.flags.writeable = False
    with pytest.raises(ValueError):
        propagate(*graph_pair(2, [(0, 1, 1.0)]), labels)
    assert labels.tolist() == [0, -1]
