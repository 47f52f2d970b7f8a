"""Estimators in the scikit-learn style that chain the compiled kernels into the three methods.

Every estimator takes a data matrix ``X`` and a partial labelling ``y`` (a class value for a
labeled sample, -1 for an unlabeled one) and completes the labelling. Class values may be of any
integer or string type: they are mapped to the codes 0 .. K-1 that the kernels work with and the
results are mapped back, so ``labels_`` holds the caller's own class values.
"""

import math
import numbers
import os
import time
import warnings
from contextlib import contextmanager

import numpy as np
from scipy.spatial import KDTree
from scipy.spatial.distance import pdist
from sklearn.base import BaseEstimator, ClusterMixin
from sklearn.metrics import DistanceMetric
from sklearn.neighbors import BallTree
from sklearn.utils.validation import check_is_fitted

from .algorithms.src.quorim.binaries import quorim_core, quorim_postprocess
from .algorithms.src.treleck.binaries import treleck_core, treleck_mst
from .algorithms.src.velmar.binaries import nearmesh, velmar_bfs, velmar_connect, velmar_lp
from .input_data import AlgorithmInput

try:  # scikit-learn >= 1.6
    from sklearn.utils.validation import validate_data as _validate_data
except ImportError:  # pragma: no cover - older scikit-learn

    def _validate_data(estimator, X, **kwargs):
        return estimator._validate_data(X, **kwargs)


__all__ = ["GraphClustering", "TreeCutClustering", "DensityClustering"]

_INT32_MAX = 2**31 - 1
# Tree-cut labels travel as int8: codes 0 .. 126, -1 unlabeled.
_TREE_MAX_CLASSES = 127
_GIB = 2**30
# predict() finds the nearest fitted sample with a k-d tree: in the estimator's metric where that is
# a Minkowski distance, Euclidean otherwise.
_MINKOWSKI_POWERS = {"cityblock": 1, "manhattan": 1, "l1": 1, "chebyshev": np.inf, "infinity": np.inf}


# ---- labels -----------------------------------------------------------------------------------------


def _unlabeled_mask(y):
    """Which entries of ``y`` mark an unlabeled sample.

    -1 in any numeric or object array; NaN in float arrays; in string and object arrays also
    the empty string, "-1" and None.
    """
    kind = y.dtype.kind
    if kind in "iu":
        return y == -1
    if kind == "b":
        return np.zeros(y.shape, dtype=bool)
    if kind == "f":
        return np.isnan(y) | (y == -1)
    if kind in "US":
        empty, minus_one = ("", "-1") if kind == "U" else (b"", b"-1")
        return (y == empty) | (y == minus_one)
    if kind == "O":
        return np.fromiter((_is_unlabeled_object(v) for v in y), dtype=bool, count=y.shape[0])
    raise ValueError(f"y must hold integer or string class values, got dtype {y.dtype}")


def _is_unlabeled_object(value):
    if value is None:
        return True
    if isinstance(value, (str, bytes)):
        return value in ("", "-1", b"", b"-1")
    if isinstance(value, (bool, np.bool_)):
        return False
    if isinstance(value, numbers.Real):
        return value == -1 or value != value  # -1 or NaN
    return False


def _encode_labels(y, n_samples, owner="this estimator"):
    """``(codes, classes)``: int64 codes 0 .. K-1 (-1 unlabeled) and the sorted class values."""
    if y is None:
        raise ValueError(
            f"{owner} requires y to be passed, but the target y is None: give the partial labelling, "
            "a class value for each labeled sample and -1 for each unlabeled one"
        )
    y = np.asarray(y)
    if y.ndim == 2 and y.shape[1] == 1:
        y = y[:, 0]
    if y.ndim != 1:
        raise ValueError(f"y must be one-dimensional, got an array of shape {y.shape}")
    if y.shape[0] != n_samples:
        raise ValueError(f"y has {y.shape[0]} labels but X has {n_samples} samples")
    unlabeled = _unlabeled_mask(y)
    labeled = ~unlabeled
    if not labeled.any():
        raise ValueError("y holds no labeled sample: at least one sample needs a class (-1 marks unlabeled ones)")
    values = y[labeled]
    if values.dtype.kind == "O":
        # Let NumPy pick one concrete type for the class values (int, float or str).
        kinds = {"str" if isinstance(v, (str, bytes)) else "number" for v in values}
        if len(kinds) > 1:
            raise ValueError("y mixes numbers and strings as class values")
        values = np.array(values.tolist())
        if values.dtype.kind not in "iufbUS":
            raise ValueError(f"y must hold integer or string class values, got {values.dtype}")
    classes, inverse = np.unique(values, return_inverse=True)
    codes = np.full(n_samples, -1, dtype=np.int64)
    codes[labeled] = inverse.reshape(-1)
    return codes, classes


def _decode_labels(codes, classes):
    """Class values for ``codes``; a code of -1 (a sample the method left unreached) stays -1."""
    codes = np.asarray(codes, dtype=np.int64)
    reached = codes >= 0
    if reached.all():
        return classes[codes]
    if classes.dtype.kind == "i" or (classes.dtype.kind == "u" and classes.max() <= np.iinfo(np.int64).max):
        dtype = np.result_type(classes.dtype, np.int8) if classes.dtype.kind == "i" else np.int64
    elif classes.dtype.kind == "f":
        dtype = classes.dtype
    else:
        dtype = object
    labels = np.full(codes.shape[0], -1, dtype=dtype)
    labels[reached] = classes[codes[reached]]
    return labels


# ---- parameter checks ---------------------------------------------------------------------------------


def _check_int(name, value, low, high=_INT32_MAX):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    if not low <= value <= high:
        upper = "" if high == _INT32_MAX else f" and <= {high}"
        raise ValueError(f"{name} must be >= {low}{upper}, got {value}")
    return int(value)


def _check_real(name, value):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real) or math.isnan(value):
        raise TypeError(f"{name} must be a real number, got {value!r}")
    return float(value)


def _check_metric_name(value):
    if not isinstance(value, str):
        raise TypeError(f"metric must be a string, got {type(value).__name__}")
    return value


def _available_memory():
    """Bytes of memory this machine can still give a process, or None where unknown."""
    try:
        with open("/proc/meminfo") as meminfo:
            fields = dict(line.split(":", 1) for line in meminfo)
        total = 0
        for key in ("MemAvailable", "SwapFree"):
            total += int(fields[key].split()[0]) * 1024
        return total
    except (OSError, KeyError, ValueError):
        pass
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (AttributeError, ValueError, OSError):
        return None


def tree_cut_memory(n_samples):
    """Bytes the tree-cut method needs for ``n_samples`` samples, by part.

    The spanning tree is built from the condensed pairwise distances and their square form (both
    float64); its two containers reserve room for 3 * n elements per vertex list (int64 vertex
    indices and float32 weights).
    """
    n = int(n_samples)
    parts = {
        "pairwise distances": 8 * n * (n - 1) // 2,
        "square distance matrix": 8 * n * n,
        "tree containers": n * 3 * n * (8 + 4),
    }
    return sum(parts.values()), parts


def _check_samples(estimator, X, reset):
    """``X`` as a C-contiguous float64 matrix of finite numbers (feature count recorded or checked)."""
    try:
        X = _validate_data(estimator, X, reset=reset, dtype="numeric")
    except ValueError as error:
        if "strings" in str(error):
            raise ValueError("X must hold numbers: it holds strings; convert the features to numeric values") from None
        raise
    return np.ascontiguousarray(X, dtype=np.float64)


# ---- the common estimator -----------------------------------------------------------------------------


class _SemiSupervisedClustering(ClusterMixin, BaseEstimator):
    """What the three methods share: input checks, label mapping, timing, predict."""

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.target_tags.required = True
        return tags

    def fit(self, X, y):
        """Complete the partial labelling ``y`` of the samples ``X``.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The samples; numeric and finite.
        y : array-like of shape (n_samples,)
            A class value (any integers or strings) for each labeled sample, -1 for each
            unlabeled one (also NaN for float ``y``; "", "-1" and None for string or object ``y``).

        Returns
        -------
        self
        """
        X = _check_samples(self, X, reset=True)
        if not X.flags.writeable:  # the kNN kernel takes writable buffers only
            X = X.copy()
        codes, classes = _encode_labels(y, X.shape[0], type(self).__name__)
        params = self._checked_params(X, codes, classes)
        self.stage_times_ = {}
        start = time.perf_counter()
        result = self._run(X, codes, params)
        self.stage_times_["total"] = time.perf_counter() - start
        self.classes_ = classes
        self.labels_ = _decode_labels(result, classes)
        self._fit_X = X
        return self

    def fit_predict(self, X, y):
        """Fit and return ``labels_``: the completed labelling of ``X``."""
        return self.fit(X, y).labels_

    def predict(self, X):
        """The label of the nearest fitted sample for every row of ``X``."""
        check_is_fitted(self, "labels_")
        X = _check_samples(self, X, reset=False)
        _, nearest = KDTree(self._fit_X).query(X, k=1, p=self._query_p())
        return self.labels_[np.asarray(nearest, dtype=np.intp)]

    def _query_p(self):
        return 2

    @contextmanager
    def _stage(self, name):
        start = time.perf_counter()
        yield
        elapsed = time.perf_counter() - start
        self.stage_times_[name] = self.stage_times_.get(name, 0.0) + elapsed
        if self.verbose:
            print(f"[{type(self).__name__}] {name}: {elapsed:.3f} s", flush=True)


class GraphClustering(_SemiSupervisedClustering):
    """Graph method: labels spread over the mutual k-nearest-neighbour graph.

    Builds the mutual k-nearest-neighbour graph of the samples (Euclidean), keeps the edges that
    lie on shortest two-step routes to the labeled samples, links every component without a
    labeled sample to a labeled one through real nearest-neighbour edges, and propagates the
    labels with inverse-square-distance votes.

    Parameters
    ----------
    k : int, default=10
        Neighbours per sample; must be below the number of samples.
    max_iterations : int, default=50000
        Most propagation sweeps.
    tolerance : float, default=1e-3
        Propagation stops when a sweep changes no score by this much.
    verbose : bool, default=False
        Print each stage with its time.

    Attributes
    ----------
    labels_ : ndarray of shape (n_samples,)
        The completed labelling in the caller's class values; -1 where a sample could not be
        linked to any labeled sample.
    classes_ : ndarray
        The sorted class values.
    stage_times_ : dict
        Seconds per stage of the last fit, and their total.
    """

    def __init__(self, k=10, max_iterations=50000, tolerance=1e-3, verbose=False):
        self.k = k
        self.max_iterations = max_iterations
        self.tolerance = tolerance
        self.verbose = verbose

    def _checked_params(self, X, codes, classes):
        n = X.shape[0]
        k = _check_int("k", self.k, 1)
        if k >= n:
            raise ValueError(f"k={k} must be below the number of samples (n_samples={n})")
        max_iterations = _check_int("max_iterations", self.max_iterations, 0, 2**63 - 1)
        tolerance = _check_real("tolerance", self.tolerance)
        return {"k": k, "max_iterations": max_iterations, "tolerance": tolerance}

    def _run(self, X, codes, params):
        k = params["k"]
        with self._stage("mutual_knn"):
            connections, weights, knn_connections, knn_weights = nearmesh.mutual_knn(X, k)
        with self._stage("informative_edges"):
            data = AlgorithmInput(X, codes, dtype=np.float64)
            connections, weights = nearmesh.informative_edges(data, k, connections, weights)
        with self._stage("find_connected_components"):
            components, flags = velmar_bfs.find_connected_components(data, connections)
        with self._stage("connect_unlabeled"):
            connections, weights = _room_for_links(connections, weights, knn_connections, flags, k)
            try:
                velmar_connect.connect_unlabeled(knn_connections, knn_weights, components, flags, connections, weights)
            except SystemError as error:
                # Some components have no nearest-neighbour path to a labeled sample: the links made
                # so far stay, and propagation leaves those samples at -1.
                if str(error) != "NO PROGRESS :)":
                    raise
        labels = codes.astype(np.int32)
        with self._stage("weighted_label_propagation"):
            velmar_lp.weighted_label_propagation(
                connections, weights, labels, params["max_iterations"], params["tolerance"]
            )
        unreached = int(np.count_nonzero(labels == -1))
        if unreached:
            warnings.warn(
                f"{unreached} of {labels.shape[0]} samples have no nearest-neighbour path to a labeled sample "
                f"and keep the label -1; a larger k links more of them",
                UserWarning,
                stacklevel=3,
            )
        return labels


def _room_for_links(connections, weights, knn_connections, flags, k):
    """The informative-edge pair, moved into wider containers if linking could overflow a list.

    Each list of that pair holds at most k edges (a subset of the mutual neighbours) in room for
    3k. Linking adds to a list of vertex x at most one edge for x itself and one for every
    unlabeled-component vertex whose neighbour row holds x, so a hub of many such rows can need
    more room. The copy keeps every list's order, so the result is that of unbounded lists.
    """
    unlabeled_rows = knn_connections[flags == 0]
    if unlabeled_rows.size == 0:
        return connections, weights
    n = flags.shape[0]
    needed = k + 1 + int(np.bincount(unlabeled_rows.ravel(), minlength=n).max())
    if needed <= 3 * k:
        return connections, weights
    max_size = -(-needed // 3)
    wider_connections = nearmesh.GraphWrapper(n, 0, max_size, True)
    wider_weights = nearmesh.GraphWrapper(n, 1, max_size)
    for i in range(n):
        for value in connections.to_numpy(i).tolist():
            wider_connections.append(i, value)
        for value in weights.to_numpy(i).tolist():
            wider_weights.append(i, value)
    return wider_connections, wider_weights


class TreeCutClustering(_SemiSupervisedClustering):
    """Tree-cut method: the minimum spanning tree cut between differently labeled samples.

    Builds the minimum spanning tree of the complete distance graph, cuts tree edges heaviest
    first, among the edges on paths between differently labeled samples only, until no two labels
    are connected, and gives every piece the label it holds.

    Parameters
    ----------
    metric : str, default="euclidean"
        A distance name of ``scipy.spatial.distance.pdist``.
    verbose : bool, default=False
        Print each stage with its time.

    Attributes
    ----------
    labels_, classes_, stage_times_ : as for :class:`GraphClustering`.

    Notes
    -----
    At most 127 classes. Memory grows with the square of the number of samples (see
    :func:`sorvane.estimators.tree_cut_memory`); a problem that does not fit the memory available
    is refused before any work.
    """

    def __init__(self, metric="euclidean", verbose=False):
        self.metric = metric
        self.verbose = verbose

    def _checked_params(self, X, codes, classes):
        metric = _check_metric_name(self.metric)
        if len(classes) > _TREE_MAX_CLASSES:
            raise ValueError(f"tree-cut clustering handles at most {_TREE_MAX_CLASSES} classes, y has {len(classes)}")
        if X.shape[0] >= 2:
            try:
                pdist(X[:2], metric=metric)
            except ValueError as error:
                if "Unknown" in str(error):
                    raise ValueError(f"metric {metric!r} is not a distance known to scipy's pdist") from error
        needed, parts = tree_cut_memory(X.shape[0])
        available = _available_memory()
        if available is not None and needed > available:
            detail = ", ".join(f"{name} {size / _GIB:.1f} GiB" for name, size in parts.items())
            raise MemoryError(
                f"tree-cut clustering of {X.shape[0]} samples needs about {needed / _GIB:.1f} GiB ({detail}), "
                f"more than the {available / _GIB:.1f} GiB of memory available on this machine"
            )
        return {"metric": metric}

    def _query_p(self):
        return _MINKOWSKI_POWERS.get(self.metric, 2)

    def _run(self, X, codes, params):
        with self._stage("prim_mst"):
            connections, weights = treleck_mst.prim_mst(X, params["metric"])
        with self._stage("clusterize"):
            _, _, labels = treleck_core.clusterize(connections, weights, codes.astype(np.int8))
        return labels


class DensityClustering(_SemiSupervisedClustering):
    """Density method: DBSCAN seeded by the labeled samples, then nearest class centroid.

    Every labeled sample grows a cluster of its own class through the dense regions (samples with
    at least ``min_samples`` samples within ``eps``); clusters never absorb a sample of another
    class. Clusters that no class reached are dissolved, and every sample left without a class
    takes the class of the nearest class centroid.

    Parameters
    ----------
    eps : float or "auto", default="auto"
        Neighbourhood radius (inclusive). "auto" takes the lower quartile, over the samples, of
        the distance to the ``min_samples``-th nearest sample (the sample itself counted), so that
        about a quarter of the samples are dense.
    min_samples : int, default=5
        Smallest neighbourhood, the sample itself included, that makes a sample dense.
    metric : str, default="minkowski"
        A metric name of scikit-learn's ``DistanceMetric``.
    p : int, default=2
        Minkowski power, used with ``metric="minkowski"``.
    threshold : int, default=-1
        Dissolving threshold on the class codes (the positions in ``classes_``): -1 dissolves
        only the clusters that no class reached; t > 0 dissolves the first t classes as well
        before their samples are reassigned.
    verbose : bool, default=False
        Print each stage with its time.

    Attributes
    ----------
    labels_, classes_, stage_times_ : as for :class:`GraphClustering`.
    eps_ : float
        The radius used.
    """

    def __init__(self, eps="auto", min_samples=5, metric="minkowski", p=2, threshold=-1, verbose=False):
        self.eps = eps
        self.min_samples = min_samples
        self.metric = metric
        self.p = p
        self.threshold = threshold
        self.verbose = verbose

    def _checked_params(self, X, codes, classes):
        min_samples = _check_int("min_samples", self.min_samples, 1)
        metric = _check_metric_name(self.metric)
        p = _check_int("p", self.p, 1)
        threshold = _check_int("threshold", self.threshold, -1)
        try:
            DistanceMetric.get_metric(metric, **({"p": p} if metric == "minkowski" else {}))
        except (ValueError, TypeError) as error:
            raise ValueError(f"metric {metric!r} is not usable: {error}") from error
        if not (metric == "minkowski" and p == 2) and metric not in BallTree.valid_metrics:
            raise ValueError(f"metric {metric!r} is not supported by the ball tree of the density method")
        if isinstance(self.eps, str):
            if self.eps != "auto":
                raise ValueError(f"eps must be a positive number or 'auto', got {self.eps!r}")
            eps = None
        else:
            eps = _check_real("eps", self.eps)
            if not eps > 0:
                raise ValueError(f"eps must be a positive number or 'auto', got {self.eps!r}")
        return {"eps": eps, "min_samples": min_samples, "metric": metric, "p": p, "threshold": threshold}

    def _query_p(self):
        return self.p if self.metric == "minkowski" else _MINKOWSKI_POWERS.get(self.metric, 2)

    def _run(self, X, codes, params):
        eps = params["eps"]
        if eps is None:
            with self._stage("auto eps"):
                eps = k_distance(X, params["min_samples"], params["metric"], params["p"], quantile=0.25)
        self.eps_ = eps
        with self._stage("quorim_main"):
            clusters = quorim_core.quorim_main(
                X, eps, params["min_samples"], codes.astype(np.int32), params["metric"], params["p"]
            )
        with self._stage("quorim_postprocess"):
            labels = quorim_postprocess.quorim_postprocess(X, clusters, params["metric"], params["p"], params["threshold"])
        return labels


_K_DISTANCE_SAMPLE = 10000


def k_distance(X, k, metric="minkowski", p=2, quantile=0.5):
    """The ``quantile`` of the samples' distances to their ``k``-th nearest sample (itself counted).

    A sample whose distance is at most this radius has ``k`` samples within it; used to derive
    the density method's ``eps`` from the data. ``k`` is clipped to the number of samples. Above
    10000 samples the quantile is estimated from 10000 of them (a fixed choice, the same on every
    call; NumPy's global random state is not touched).
    """
    X = np.ascontiguousarray(X, dtype=np.float64)
    k = max(1, min(int(k), X.shape[0]))
    queries = X
    if X.shape[0] > _K_DISTANCE_SAMPLE:
        chosen = np.random.default_rng(0).choice(X.shape[0], _K_DISTANCE_SAMPLE, replace=False)
        queries = X[np.sort(chosen)]
    if metric == "minkowski":
        distances, _ = KDTree(X).query(queries, k=[k], p=p, workers=-1)
    else:
        distances, _ = BallTree(X, metric=metric).query(queries, k=k)
        distances = distances[:, -1:]
    radius = float(np.quantile(distances[:, 0], quantile))
    # A radius of 0 (many duplicates) would make every neighbourhood a point.
    return radius if radius > 0 else float(np.finfo(np.float64).tiny)
