"""Weighted label propagation with inverse-square-distance votes."""

from typing import Any, Protocol

import numpy as np
from numpy.typing import NDArray

class _Lists(Protocol):
    def to_numpy(self, index: int) -> NDArray[Any]: ...

def weighted_label_propagation(
    connections: _Lists,
    weights: _Lists,
    initial_labels: NDArray[np.int32],
    max_iterations: int = 50000,
    tolerance: float = 0.001,
) -> NDArray[np.int32]: ...
