"""sorvane: semi-supervised clustering with a compiled core.

Three methods complete a partial labelling (-1 marks an unlabeled sample): a graph method
(family ``velmar``), a tree-cut method (``treleck``) and a density method (``quorim``). The
compiled kernels live in ``sorvane.algorithms.src.<family>.binaries``.
"""

__version__ = "0.1.0"

from .estimators import DensityClustering, GraphClustering, TreeCutClustering

__all__ = ["GraphClustering", "TreeCutClustering", "DensityClustering", "__version__"]
