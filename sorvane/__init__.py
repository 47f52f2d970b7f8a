"""sorvane: semi-supervised clustering with a compiled core.

Three methods complete a partial labelling (-1 marks an unlabeled sample): a graph method
(family ``velmar``), a tree-cut method (``treleck``) and a density method (``quorim``). The
compiled kernels live in ``sorvane.algorithms.src.<family>.binaries``.
"""

from typing import TYPE_CHECKING

__version__ = "0.1.0"

__all__ = ["GraphClustering", "TreeCutClustering", "DensityClustering", "__version__"]

_ESTIMATORS = ("GraphClustering", "TreeCutClustering", "DensityClustering")

if TYPE_CHECKING:
    from .estimators import DensityClustering, GraphClustering, TreeCutClustering


def __getattr__(name):
    # The estimators pull in SciPy and scikit-learn: load them on first use only, so that importing
    # a compiled module (which imports this package first) stays light.
    if name in _ESTIMATORS:
        from . import estimators

        return getattr(estimators, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted([*globals(), *_ESTIMATORS])
