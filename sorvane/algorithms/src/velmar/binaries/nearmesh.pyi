"""Neighbour graph of the graph method: mutual kNN graph, informative edges, distance file."""

import os
from typing import Any, NoReturn, Protocol

import numpy as np
from numpy.typing import NDArray
from typing_extensions import Self, disjoint_base

class _InputData(Protocol):
    """The input-data object, e.g. ``sorvane.input_data.AlgorithmInput``."""

    n: int
    labeled_count: int
    labeled_indices: NDArray[np.int64]
    data: NDArray[np.floating[Any]]
    def get_labeled(self) -> NDArray[np.floating[Any]]: ...

@disjoint_base
class GraphWrapper:
    """A fixed number of typed lists, one per vertex: int64 vertex indices (dtype 0) or float32 edge
    weights (dtype 1), each holding at most 3 * max_size elements."""

    def __new__(cls, count: int, dtype: int, max_size: int, lookup_opt: object = False) -> Self: ...
    def append(self, index: int, value: float) -> None: ...
    def contains(self, index: int, value: int) -> bool: ...
    def to_numpy(self, index: int) -> NDArray[Any]: ...
    def to_numpy_all(self) -> list[NDArray[Any]]: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object) -> NoReturn: ...

def mutual_knn(
    X: NDArray[np.float64], k: int, p: int = 2
) -> tuple[GraphWrapper, GraphWrapper, NDArray[np.int64], NDArray[np.float32]]: ...
def _find_idx_set(
    distances: NDArray[np.float32],
    labels: NDArray[np.int64],
    connections: NDArray[np.int64],
    weights: NDArray[np.float32],
) -> set[int]: ...
def create_pairwise_distance_matrix(
    X: _InputData, filename: str | os.PathLike[str], chunk_size: int = 5000
) -> None: ...
def informative_edges(
    X: _InputData, k: int, connections: GraphWrapper, weights: GraphWrapper
) -> tuple[GraphWrapper, GraphWrapper]: ...
