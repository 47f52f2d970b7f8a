"""The tree-cut method end to end: prim_mst, then clusterize on its tree."""

import numpy as np

from sorvane.algorithms.src.treleck.binaries.treleck_core import clusterize, explore_graph_recursive
from sorvane.algorithms.src.treleck.binaries.treleck_mst import prim_mst


def test_two_separated_blobs_take_the_labels_of_their_samples():
    rng = np.random.default_rng(2)
    X = np.vstack([rng.normal(0.0, 1.0, size=(40, 3)), rng.normal(12.0, 1.0, size=(40, 3))])
    order = rng.permutation(80)
    X, blob = X[order], (order >= 40).astype(np.int8)
    labels = np.full(80, -1, dtype=np.int8)
    for b, label in ((0, 4), (1, 7)):
        labels[np.flatnonzero(blob == b)[:3]] = label

    connections, weights = prim_mst(X)
    tree_weights = np.concatenate(weights.to_numpy_all())
    bridge = tree_weights.max()
    assert np.count_nonzero(tree_weights == bridge) == 2  # the one edge joining the blobs

    result = clusterize(connections, weights, labels)
    assert result[0] is connections and result[1] is weights
    np.testing.assert_array_equal(result[2], np.where(blob == 0, 4, 7).astype(np.int8))

    # only the bridge was cut; each label's three samples are chained by two edges of weight 1
    remaining = np.concatenate(weights.to_numpy_all())
    assert bridge not in remaining and remaining.size == tree_weights.size - 2 + 2 * 4
    assert explore_graph_recursive(connections, labels, int(np.flatnonzero(labels == 4)[0])) == []
