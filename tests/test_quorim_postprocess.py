"""quorim_postprocess: dissolving clusters and nearest-centroid assignment of the noise samples."""

import numpy as np
import pytest
from sklearn.metrics import DistanceMetric

from sorvane.algorithms.src.quorim.binaries import quorim_postprocess as module
from sorvane.algorithms.src.quorim.binaries.quorim_postprocess import quorim_postprocess

INF, NAN = np.inf, np.nan
BIG = 1e308


def reference_postprocess(points, labels_in, metric="minkowski", p=2, threshold=-1):
    """One pairwise call per sample and centroid, as the assignment is defined."""
    labels = labels_in.copy()
    kwargs = {"p": p} if metric == "minkowski" else {}
    dist_metric = DistanceMetric.get_metric(metric, **kwargs)
    labels[labels < threshold] = -1
    centroids = {lbl: np.mean(points[labels == lbl], axis=0) for lbl in np.unique(labels)}
    for i in range(len(points)):
        if labels[i] == -1:
            min_dist, closest = np.inf, -1
            for lbl, centroid in centroids.items():
                if lbl == -1:
                    continue
                dist = dist_metric.pairwise([centroid], [points[i]])[0][0]
                if dist < min_dist:
                    min_dist, closest = dist, lbl
            labels[i] = closest
    return labels


def col(*xs):
    return np.array(xs, dtype=np.float64).reshape(-1, 1)


SCENARIOS = [
    pytest.param(col(0, 1, 5, 6), [0, 1, 2, 1], {}, [0, 1, 2, 1], id="nothing-to-do"),
    pytest.param(col(0, 1, 5), [-1, -1, -1], {}, [-1, -1, -1], id="all-noise"),
    pytest.param(
        # Dissolved before the centroids: had -2 stayed, the noise at 4 would join its centroid 6.5.
        col(0, 10, 6, 7, 4), [0, 1, -2, -2, -1], {}, [0, 1, 1, 1, 0],
        id="cluster-below-threshold-dissolved",
    ),
    pytest.param(
        # Centroids stay where they were: once 4.9 joined class 0, a moving centroid would pull 5.5 too.
        col(0, 10, 4.9, 5.5), [0, 1, -1, -1], {}, [0, 1, 0, 1],
        id="centroids-do-not-move",
    ),
    pytest.param(col(0, 10, 5), [3, 0, -1], {}, [3, 0, 0], id="tie-to-smaller-label"),
    pytest.param(col(0, 1, 10, 3), [0, 0, 1, -1], {"threshold": 1}, [1, 1, 1, 1], id="threshold-1-dissolves-class-0"),
    pytest.param(
        # Only -1 is skipped: a cluster kept by a low threshold is a target like any class.
        col(0, 1, 10, 2, 30), [-2, -2, 0, -1, -6], {"threshold": -5}, [-2, -2, 0, -2, 0],
        id="low-threshold-keeps-cluster-as-target",
    ),
    # Finite coordinates whose differences overflow: the distance to every centroid is infinite.
    pytest.param(col(BIG, BIG, -BIG), [0, 1, -1], {}, [0, 1, -1], id="infinite-distance-keeps-noise"),
    # Canberra divides an infinite difference by an infinite sum: NaN, which must not beat 1.0.
    pytest.param(col(BIG, 1, -BIG), [0, 5, -1], {"metric": "canberra"}, [0, 5, 5], id="nan-distance-first"),
    pytest.param(col(1, BIG, -BIG), [0, 5, -1], {"metric": "canberra"}, [0, 5, 0], id="nan-distance-last"),
    # No sample to reassign: the distance metric never sees the non-finite values.
    pytest.param(col(NAN, INF, 3), [0, 1, 2], {}, [0, 1, 2], id="non-finite-without-noise"),
    pytest.param(np.empty((0, 2)), [], {}, [], id="empty"),
]


@pytest.mark.parametrize("points, labels_in, kwargs, expected", SCENARIOS)
def test_scenarios(points, labels_in, kwargs, expected):
    labels_in = np.array(labels_in, dtype=np.int32)
    before = labels_in.copy()
    result = quorim_postprocess(points, labels_in, **kwargs)
    assert result.dtype == np.int32
    assert result is not labels_in
    assert result.tolist() == expected
    np.testing.assert_array_equal(labels_in, before)


# Class 0 at the origin, class 1 at (2, 2.5), a noise sample at (3, 0): nearer to class 1 in the
# Euclidean and Chebyshev sense, nearer to class 0 in the Manhattan sense.
METRIC_POINTS = np.array([[0.0, 0.0], [2.0, 2.5], [3.0, 0.0]])


@pytest.mark.parametrize(
    "metric, p, expected_label, get_metric_kwargs",
    [
        ("minkowski", 2, 1, {"p": 2}),
        ("minkowski", 1, 0, {"p": 1}),
        ("euclidean", 1, 1, {}),
        ("manhattan", 2, 0, {}),
        ("chebyshev", 1, 1, {}),
    ],
)
def test_metric_and_p(monkeypatch, metric, p, expected_label, get_metric_kwargs):
    calls = []

    class RecordingDistanceMetric:
        @staticmethod
        def get_metric(*args, **kwargs):
            calls.append((args, kwargs))
            return DistanceMetric.get_metric(*args, **kwargs)

    monkeypatch.setattr(module, "DistanceMetric", RecordingDistanceMetric)
    result = quorim_postprocess(METRIC_POINTS, np.array([0, 1, -1], np.int32), metric, p)
    assert result.tolist() == [0, 1, expected_label]
    assert calls == [((metric,), get_metric_kwargs)]


@pytest.mark.parametrize(
    "metric, p", [("minkowski", 2), ("minkowski", 1), ("minkowski", 3), ("chebyshev", 9), ("canberra", 2)]
)
def test_matches_per_sample_reference(metric, p):
    # Integer coordinates make exact ties between centroids common.
    rng = np.random.default_rng(3)
    for _ in range(8):
        n, dims = 120, int(rng.integers(1, 4))
        points = rng.integers(-4, 5, size=(n, dims)).astype(np.float64)
        labels_in = rng.integers(-4, 6, size=n).astype(np.int32)
        threshold = int(rng.integers(-3, 3))
        expected = reference_postprocess(points, labels_in, metric, p, threshold)
        np.testing.assert_array_equal(quorim_postprocess(points, labels_in, metric, p, threshold), expected)


def test_many_classes_and_noise_samples():
    # Enough centroids and noise samples that the distances do not fit in one block.
    rng = np.random.default_rng(5)
    n_classes, n_noise = 1100, 1000
    points = rng.integers(0, 40, size=(n_classes + n_noise, 2)).astype(np.float64)
    labels_in = np.concatenate([np.arange(n_classes), np.full(n_noise, -1)]).astype(np.int32)
    result = quorim_postprocess(points, labels_in)
    # Every class is one sample, so its centroid is that sample; ties go to the smaller label.
    distances = np.sqrt(((points[n_classes:, None, :] - points[None, :n_classes, :]) ** 2).sum(axis=2))
    np.testing.assert_array_equal(result[:n_classes], labels_in[:n_classes])
    np.testing.assert_array_equal(result[n_classes:], np.argmin(distances, axis=1))


def test_strided_and_read_only_labels_are_accepted():
    wide = np.array([0, 9, -2, 9, 1, 9, -1, 9], np.int32)
    labels_in = wide[::2]
    labels_in.flags.writeable = False
    result = quorim_postprocess(col(0, 4, 10, 7), labels_in)
    assert result.tolist() == [0, 0, 1, 1]
    assert wide.tolist() == [0, 9, -2, 9, 1, 9, -1, 9]


def readonly(array):
    array.flags.writeable = False
    return array


GOOD = dict(points=col(0, 1, 5), labels_in=np.array([0, -1, 1], np.int32))


@pytest.mark.parametrize(
    "changes, error, message",
    [
        ({"points": col(0, 1, 5).astype(np.float32)}, ValueError, r"Buffer dtype mismatch, expected 'DTYPE_t'"),
        ({"points": np.asfortranarray(np.ones((3, 2)))}, ValueError, "contiguous"),
        ({"points": np.zeros(3)}, ValueError, r"wrong number of dimensions \(expected 2, got 1\)"),
        ({"points": readonly(col(0, 1, 5))}, ValueError, "read-only"),
        ({"labels_in": np.array([0, -1, 1], np.int64)}, ValueError, r"Buffer dtype mismatch, expected 'int'"),
        ({"labels_in": np.zeros((3, 1), np.int32)}, ValueError, "wrong number of dimensions"),
        ({"labels_in": [0, -1, 1]}, TypeError,
         r"^Argument 'labels_in' has incorrect type \(expected numpy.ndarray, got list\)$"),
        ({"labels_in": None}, TypeError, r"Argument 'labels_in' has incorrect type"),
        ({"labels_in": np.array([0, -1], np.int32)}, IndexError, "did not match"),
        ({"labels_in": np.array([0, -1, 1, 1], np.int32)}, IndexError, "did not match"),
        ({"metric": b"minkowski"}, TypeError, r"Argument 'metric' has incorrect type \(expected str, got bytes\)"),
        ({"p": "2"}, TypeError, "an integer is required"),
        ({"threshold": 2**40}, OverflowError, "value too large to convert to int"),
        ({"metric": "no-such-metric"}, ValueError, "no-such-metric"),
        ({"p": 0}, ValueError, "p"),
        # The metric's own input check rejects non-finite centroids and samples.
        ({"points": col(NAN, 1, 5)}, ValueError, "NaN"),
        ({"points": col(0, INF, 5)}, ValueError, "infinity"),
    ],
)
def test_bad_arguments(changes, error, message):
    with pytest.raises(error, match=message):
        quorim_postprocess(**{**GOOD, **changes})


@pytest.mark.parametrize(
    "points, labels_in, message",
    [
        # The first failing pair of the per-sample search decides which input check reports.
        ([[0, 0], [1, 0], [np.inf, 0], [np.nan, 0]], [0, 1, -1, -1], "infinity"),
        ([[np.inf, 0], [np.nan, 0], [5, 0]], [0, 1, -1], "infinity"),
        ([[0, 0], [np.inf, 0], [np.nan, 0]], [0, 1, -1], "NaN"),
        (np.zeros((4, 0)), [0, 1, -1, -1], r"shape=\(1, 0\)"),
    ],
)
def test_distance_errors_are_those_of_the_first_failing_pair(points, labels_in, message):
    with pytest.raises(ValueError, match=message):
        quorim_postprocess(np.array(points, dtype=float), np.array(labels_in, dtype=np.int32))


def test_metric_is_checked_before_the_label_length():
    with pytest.raises(ValueError, match="nope"):
        quorim_postprocess(np.zeros((3, 2)), np.array([0, 1, -1, -1], np.int32), metric="nope")
    with pytest.raises(IndexError):
        quorim_postprocess(np.zeros((3, 2)), np.array([0, 1, -1, -1], np.int32))
