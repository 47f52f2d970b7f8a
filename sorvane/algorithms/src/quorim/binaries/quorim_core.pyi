"""Semi-supervised DBSCAN: labeled samples seed clusters of their own class."""

import numpy as np
from numpy.typing import NDArray

def quorim_main(
    data: NDArray[np.float64], eps: float, min_samples: int, labels: NDArray[np.int32], metric: str | None, p: int
) -> NDArray[np.int32]: ...
