"""Connected components of the graph method's neighbour graph."""

from typing import Protocol

import numpy as np
from numpy.typing import NDArray

class _InputData(Protocol):
    n: int
    labeled_count: int
    labeled_indices: NDArray[np.int64]

class _Neighbours(Protocol):
    def to_numpy(self, index: int) -> NDArray[np.int64]: ...

def find_connected_components(
    X: _InputData, connections: _Neighbours
) -> tuple[list[tuple[list[int], int]], NDArray[np.uint8]]: ...
