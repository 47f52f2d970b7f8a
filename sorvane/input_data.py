"""The input-data object that the graph-method kernels receive as ``X``."""

import numpy as np

__all__ = ["AlgorithmInput"]

_INT32_MAX = 2**31 - 1


class AlgorithmInput:
    """Input data object containing node information and methods to access labeled indices.

    Built from a data matrix ``X`` (one row per sample, one column per feature) and a
    partial labelling ``y`` (0 or more for a labeled sample, -1 for an unlabeled one).

    Members read by the kernels:

    - ``n``: number of samples (a Python ``int``);
    - ``labeled_count``: number of labeled samples (a Python ``int``);
    - ``labeled_indices``: 1-D C-contiguous int64 array of the labeled samples' row
      indices, in increasing order;
    - ``data``: the samples as a 2-D C-contiguous array of ``dtype``;
    - ``get_labeled()``: a new 2-D C-contiguous array of the labeled samples' rows, in the
      order of ``labeled_indices`` (this order fixes the columns of the distance matrices).

    ``dtype`` is float32 by default, which every kernel accepts; float64 keeps the data
    at full precision for the kernels that accept it. ``labels`` keeps ``y`` as int64.
    The object copies its inputs and never changes them afterwards.
    """

    __slots__ = ("data", "labels", "labeled_indices", "n", "labeled_count")

    def __init__(self, X, y, dtype=np.float32):
        dtype = np.dtype(dtype)
        if dtype not in (np.dtype(np.float32), np.dtype(np.float64)):
            raise ValueError(f"dtype must be float32 or float64, got {dtype}")
        data = np.array(X, dtype=dtype, order="C", copy=True)
        if data.ndim != 2:
            raise ValueError(f"X must be two-dimensional, got {data.ndim} dimension(s)")
        labels = np.asarray(y)
        if labels.ndim != 1:
            raise ValueError(f"y must be one-dimensional, got {labels.ndim} dimension(s)")
        if labels.shape[0] != data.shape[0]:
            raise ValueError(
                f"X has {data.shape[0]} rows but y has {labels.shape[0]} labels"
            )
        if data.shape[0] > _INT32_MAX:
            raise ValueError("too many samples (the kernels count them in 32 bits)")
        if labels.dtype.kind not in "iub":
            if labels.dtype.kind != "f" or not np.all(np.isfinite(labels)) or np.any(
                labels != np.trunc(labels)
            ):
                raise ValueError("y must hold integer labels")
        labels = labels.astype(np.int64)
        if labels.size and labels.min() < -1:
            raise ValueError("labels must be -1 (unlabeled) or 0 or more")

        self.data = data
        self.labels = labels
        self.labeled_indices = np.ascontiguousarray(np.flatnonzero(labels >= 0), dtype=np.int64)
        self.n = int(data.shape[0])
        self.labeled_count = int(self.labeled_indices.shape[0])

    def get_labeled(self):
        """Return the labeled samples' rows as a new C-contiguous array."""
        return np.ascontiguousarray(self.data[self.labeled_indices])

    def __repr__(self):
        return (
            f"AlgorithmInput(n={self.n}, labeled_count={self.labeled_count}, "
            f"features={self.data.shape[1]}, dtype={self.data.dtype})"
        )
