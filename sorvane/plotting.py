"""Scatter plots of completed labellings (needs matplotlib, the optional ``plot`` extra).

matplotlib is imported only when a figure is drawn, so the rest of the package works without it.
"""

import numpy as np

MISSING_MATPLOTLIB = "matplotlib is not installed (pip install 'sorvane[plot]')"


def matplotlib_available():
    """Whether figures can be drawn."""
    import importlib.util

    return importlib.util.find_spec("matplotlib") is not None


def _new_figure(width, height):
    # A bare Figure with the Agg canvas: no pyplot state, no display needed.
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(width, height), layout="constrained")
    FigureCanvasAgg(figure)
    return figure


def project_2d(X):
    """Two coordinates per sample: the features themselves, or the first two principal components."""
    X = np.asarray(X, dtype=np.float64)
    if X.shape[1] == 1:
        return np.column_stack([X[:, 0], np.zeros(X.shape[0])])
    if X.shape[1] == 2:
        return X
    centered = X - X.mean(axis=0)
    _, _, components = np.linalg.svd(centered, full_matrices=False)
    return centered @ components[:2].T


def _draw(axes, points, labels, given, title):
    labels = np.asarray(labels)
    names = np.array([str(v) for v in labels])
    unreached = np.array([str(v) == "-1" for v in labels])
    classes = sorted(set(names[~unreached]))
    from matplotlib import colormaps

    palette = colormaps["tab10" if len(classes) <= 10 else "tab20"]
    # Unlabeled samples first, so that they never hide a labeled one.
    if unreached.any():
        axes.scatter(points[unreached, 0], points[unreached, 1], s=12, color="lightgrey", label="-1")
    for index, name in enumerate(classes):
        members = names == name
        axes.scatter(points[members, 0], points[members, 1], s=12, color=palette(index % palette.N), label=name)
    if given is not None and np.any(given):
        axes.scatter(points[given, 0], points[given, 1], s=40, facecolors="none", edgecolors="black",
                     linewidths=0.8, label="given")
    axes.set_title(title, fontsize=10)
    axes.set_xticks([])
    axes.set_yticks([])


def save_labels_plot(path, X, labels, given=None, title=""):
    """One scatter plot of ``X`` (projected to 2-D) coloured by ``labels``; ``given`` circles the
    samples whose label was given."""
    figure = _new_figure(6, 5)
    axes = figure.add_subplot()
    _draw(axes, project_2d(X), labels, given, title)
    axes.legend(fontsize=8, markerscale=1.5, loc="best")
    figure.savefig(path, dpi=120)


def save_panels(path, X, panels, given=None, columns=None, title=None):
    """Side-by-side scatter plots of one data set, one panel per (title, labels) in ``panels``."""
    columns = columns or len(panels)
    rows = -(-len(panels) // columns)
    figure = _new_figure(3.6 * columns, 3.4 * rows)
    points = project_2d(X)
    for index, (panel_title, labels) in enumerate(panels):
        axes = figure.add_subplot(rows, columns, index + 1)
        _draw(axes, points, labels, given, panel_title)
    if title:
        figure.suptitle(title, fontsize=11)
    figure.savefig(path, dpi=120)
