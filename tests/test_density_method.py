"""The density method end to end: quorim_main, then quorim_postprocess."""

import numpy as np
import pytest
from sklearn.cluster import DBSCAN

from sorvane.algorithms.src.quorim.binaries.quorim_core import quorim_main
from sorvane.algorithms.src.quorim.binaries.quorim_postprocess import quorim_postprocess

CENTRES = np.array([[0.0, 0.0], [10.0, 10.0], [0.0, 7.0]])  # class 0, class 1, a blob without labels


@pytest.fixture
def blobs():
    rng = np.random.default_rng(11)
    parts = [centre + rng.normal(scale=0.5, size=(80, 2)) for centre in CENTRES]
    # Scattered noise, kept away from the line halfway between the two classes.
    noise = rng.uniform(-5, 15, size=(400, 2))
    noise = noise[np.abs(noise.sum(axis=1) - 10) > 3][:30]
    data = np.ascontiguousarray(np.vstack(parts + [noise]))
    blob_of = np.repeat([0, 1, 2, -1], [80, 80, 80, len(noise)])
    order = rng.permutation(len(data))
    data, blob_of = data[order], blob_of[order]
    labels = np.full(len(data), -1, np.int32)
    for cls in (0, 1):
        labels[rng.choice(np.flatnonzero(blob_of == cls), 3, replace=False)] = cls
    return data, labels, blob_of


@pytest.mark.parametrize("metric, p", [("minkowski", 2), ("minkowski", 1), ("euclidean", 2)])
def test_two_labeled_blobs_with_noise(blobs, metric, p):
    data, labels, blob_of = blobs
    clusters = quorim_main(data, 0.8, 5, labels, metric, p)
    assert set(clusters[blob_of == 0]) == {0}
    assert set(clusters[blob_of == 1]) == {1}
    assert set(clusters[blob_of == 2]) == {-2}
    assert (clusters[labels >= 0] == labels[labels >= 0]).all()
    assert (clusters[blob_of == -1] == -1).sum() > 0

    final = quorim_postprocess(data, clusters, metric, p)
    assert set(final[blob_of == 0]) == {0}
    assert set(final[blob_of == 1]) == {1}
    # The blob without labels is dissolved and joins the nearer class.
    assert set(final[blob_of == 2]) == {0}
    # Noise goes to the nearer class, in the metric of the call.
    noise = data[blob_of == -1]
    order = p if metric == "minkowski" else 2
    to_0 = np.linalg.norm(noise - CENTRES[0], ord=order, axis=1)
    to_1 = np.linalg.norm(noise - CENTRES[1], ord=order, axis=1)
    np.testing.assert_array_equal(final[blob_of == -1], (to_1 < to_0).astype(int))


def test_without_labels_matches_plain_dbscan(blobs):
    data, _, _ = blobs
    unlabeled = np.full(len(data), -1, np.int32)
    for eps, min_samples in [(0.8, 5), (0.3, 3), (2.0, 10)]:
        clusters = quorim_main(data, eps, min_samples, unlabeled, "minkowski", 2)
        plain = DBSCAN(eps=eps, min_samples=min_samples).fit_predict(data)
        np.testing.assert_array_equal(clusters, np.where(plain >= 0, -2 - plain, -1))
