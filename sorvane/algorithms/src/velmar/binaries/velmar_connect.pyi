"""Links every component without a labeled sample to a labeled one."""

from collections.abc import Sequence
from typing import Protocol, TypeVar

import numpy as np
from numpy.typing import NDArray

class _Connections(Protocol):
    def contains(self, index: int, value: int) -> object: ...
    def append(self, index: int, value: int) -> object: ...

class _Weights(Protocol):
    def append(self, index: int, value: float) -> object: ...

_C = TypeVar("_C", bound=_Connections)
_W = TypeVar("_W", bound=_Weights)

def connect_unlabeled(
    knn_connections: NDArray[np.int64],
    knn_weights: NDArray[np.float32],
    components: list[Sequence[object]],
    vertix_component_label: NDArray[np.uint8],
    connections: _C,
    weights: _W,
) -> tuple[_C, _W]: ...
