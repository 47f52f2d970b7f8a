"""Post-processing of density labels: dissolve classless clusters, assign the nearest class centroid."""

import numpy as np
from numpy.typing import NDArray

def quorim_postprocess(
    points: NDArray[np.float64],
    labels_in: NDArray[np.int32],
    metric: str | None = "minkowski",
    p: int = 2,
    threshold: int = -1,
) -> NDArray[np.int32]: ...
