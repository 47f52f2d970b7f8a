"""The graph method end to end: mutual kNN graph, informative edges, components, linking, propagation."""

import numpy as np
import pytest

from sorvane.algorithms.src.velmar.binaries import nearmesh, velmar_bfs, velmar_connect, velmar_lp
from sorvane.input_data import AlgorithmInput


def graph_method(X, y, k):
    """The kernels chained as the graph method chains them; returns the labels and the components."""
    X = np.ascontiguousarray(X, dtype=np.float64)
    data = AlgorithmInput(X, y)
    connections, weights, knn_connections, knn_weights = nearmesh.mutual_knn(X, k)
    connections, weights = nearmesh.informative_edges(data, k, connections, weights)
    components, flags = velmar_bfs.find_connected_components(data, connections)
    velmar_connect.connect_unlabeled(knn_connections, knn_weights, components, flags, connections, weights)
    labels = np.asarray(y, dtype=np.int32).copy()
    velmar_lp.weighted_label_propagation(connections, weights, labels)
    return labels, components, connections


@pytest.fixture(scope="module")
def two_blobs():
    rng = np.random.default_rng(1)
    X = np.vstack([rng.normal(0.0, 1.0, (150, 2)), rng.normal((12.0, 0.0), 1.0, (150, 2))])
    truth = np.repeat([0, 1], 150)
    y = np.full(300, -1)
    for cls in (0, 1):
        y[rng.choice(np.flatnonzero(truth == cls), 3, replace=False)] = cls
    return X, y, truth


def test_two_separated_blobs_are_recovered(two_blobs):
    X, y, truth = two_blobs
    labels, components, connections = graph_method(X, y, k=8)
    # the pruned graph has pieces without a label: the linking is exercised
    assert sum(1 for _, labeled in components if not labeled) >= 2
    assert labels.tolist() == truth.tolist()
    # every added edge is stored in both directions
    lists = [set(a.tolist()) for a in connections.to_numpy_all()]
    assert all(i in lists[j] for i, neighbors in enumerate(lists) for j in neighbors)


def test_sample_order_does_not_change_the_labelling(two_blobs):
    X, y, truth = two_blobs
    order = np.random.default_rng(1).permutation(len(X))
    labels, _, _ = graph_method(X[order], y[order], k=8)
    assert labels.tolist() == truth[order].tolist()
