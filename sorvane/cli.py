"""The ``sorvane`` command: ``sorvane cluster`` completes the labels of a data file, ``sorvane demo``
compares the three methods on data sets shipped with scikit-learn."""

import argparse
import csv
import sys
from pathlib import Path

import numpy as np

from . import __version__

METHODS = ("graph", "tree", "density")

# Option -> (estimator parameter, methods it applies to).
PARAMETERS = {
    "k": ("k", ("graph",)),
    "max_iterations": ("max_iterations", ("graph",)),
    "tolerance": ("tolerance", ("graph",)),
    "metric": ("metric", ("tree", "density")),
    "p": ("p", ("density",)),
    "eps": ("eps", ("density",)),
    "min_samples": ("min_samples", ("density",)),
    "threshold": ("threshold", ("density",)),
}


class InputError(Exception):
    """A data file that cannot be read as samples and labels."""


# ---- reading and writing --------------------------------------------------------------------------------


def _labels_from_strings(cells):
    """Label cells as class values: integers when every labeled cell is one, strings otherwise.
    An empty cell and -1 mark an unlabeled sample (-1 in the result for integers, "" for strings)."""
    cells = [cell.strip() for cell in cells]
    labeled = [cell for cell in cells if cell not in ("", "-1")]
    try:
        [int(cell) for cell in labeled]
    except ValueError:
        return np.array(["" if cell == "-1" else cell for cell in cells], dtype=object)
    return np.array([-1 if cell in ("", "-1") else int(cell) for cell in cells], dtype=np.int64)


def _labels_from_array(values):
    """Label array from a .npy/.npz file: NaN and -1 mark unlabeled samples; integral floats become
    integers."""
    values = np.asarray(values)
    if values.ndim != 1:
        raise InputError(f"the labels must be one-dimensional, got shape {values.shape}")
    if values.dtype.kind == "f":
        missing = np.isnan(values)
        present = values[~missing]
        if np.all(present == np.trunc(present)):
            labels = np.full(values.shape, -1, dtype=np.int64)
            labels[~missing] = present.astype(np.int64)
            return labels
    if values.dtype.kind in "US":
        return _labels_from_strings([str(v) for v in values.tolist()])
    return values


def _read_csv(path, column):
    with open(path, newline="", encoding="utf-8-sig") as handle:  # -sig: a leading byte-order mark
        rows = list(csv.reader(handle))
    rows = [row for row in rows if row]
    if not rows:
        raise InputError(f"{path} is empty: expected a header line and one line per sample")
    header = [name.strip() for name in rows[0]]
    if column not in header:
        raise InputError(f"{path} has no column {column!r} (columns: {', '.join(header)})")
    label_index = header.index(column)
    feature_indices = [i for i in range(len(header)) if i != label_index]
    if not feature_indices:
        raise InputError(f"{path} has no feature column besides {column!r}")
    body = rows[1:]
    X = np.empty((len(body), len(feature_indices)), dtype=np.float64)
    for line, row in enumerate(body, start=2):
        if len(row) != len(header):
            raise InputError(f"{path}, line {line}: {len(row)} cells, the header has {len(header)}")
        for j, i in enumerate(feature_indices):
            try:
                X[line - 2, j] = float(row[i])
            except ValueError:
                raise InputError(f"{path}, line {line}, column {header[i]!r}: {row[i]!r} is not a number") from None
    y = _labels_from_strings([row[label_index] for row in body])
    return X, y


def _read_npy(path, column):
    array = np.load(path, allow_pickle=False)
    if array.ndim != 2:
        raise InputError(f"{path} must hold a two-dimensional array (samples x columns), got shape {array.shape}")
    try:
        index = int(column)
    except ValueError:
        raise InputError(f"for a .npy file --labels is a column number, got {column!r}") from None
    if not -array.shape[1] <= index < array.shape[1]:
        raise InputError(f"{path} has {array.shape[1]} columns, no column {index}")
    index %= array.shape[1]
    return np.delete(array, index, axis=1), _labels_from_array(array[:, index])


def _read_npz(path, column):
    with np.load(path, allow_pickle=False) as archive:
        names = list(archive.files)
        if column not in names:
            raise InputError(f"{path} has no array {column!r} (arrays: {', '.join(names)})")
        others = [name for name in names if name != column]
        if len(others) == 1:
            features = others[0]
        elif "X" in others:
            features = "X"
        else:
            raise InputError(f"{path}: cannot tell which array holds the samples; name it 'X'")
        return archive[features], _labels_from_array(archive[column])


def read_data(path, column):
    """``(X, y)`` from a CSV file with a header (``column`` names the label column), a .npy file
    (``column`` is the label column's number) or a .npz file (``column`` names the label array; the
    samples are the only other array, or the one named X)."""
    path = Path(path)
    suffix = path.suffix.lower()
    try:
        if suffix == ".npy":
            return _read_npy(path, column)
        if suffix == ".npz":
            return _read_npz(path, column)
        return _read_csv(path, column)
    except (OSError, UnicodeDecodeError) as error:
        raise InputError(f"cannot read {path}: {error}") from None


def write_labels(path, column, labels):
    """A CSV file with the header ``column`` and one label per line, in sample order."""
    with open(path, "w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow([column])
        for value in labels:
            writer.writerow([value.item() if isinstance(value, np.generic) else value])


# ---- commands -------------------------------------------------------------------------------------------


def _eps(text):
    if text == "auto":
        return text
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number or 'auto', got {text!r}") from None


def build_parser():
    parser = argparse.ArgumentParser(prog="sorvane", description="Semi-supervised clustering.")
    parser.add_argument("--version", action="version", version=f"sorvane {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="{cluster,demo}")

    cluster = commands.add_parser(
        "cluster",
        help="complete the labels of a data file",
        description="Complete the labels of DATA and write them to OUT.csv. DATA is a CSV file with a "
        "header line, a .npy file or a .npz file; an empty label cell or -1 marks an unlabeled sample.",
    )
    cluster.add_argument("data", metavar="DATA", help="CSV (with header), .npy or .npz file")
    cluster.add_argument("--method", required=True, choices=METHODS)
    cluster.add_argument(
        "--labels", required=True, metavar="COLUMN",
        help="label column: its header name (CSV), its number (.npy) or the label array's name (.npz)",
    )
    cluster.add_argument("--output", required=True, metavar="OUT.csv", help="where the completed labels go")
    cluster.add_argument("--plot", metavar="OUT.png", help="also draw the result (needs matplotlib)")
    cluster.add_argument("--standardize", action="store_true", help="scale every feature to zero mean, unit variance")
    cluster.add_argument("--verbose", action="store_true", help="print each stage with its time")
    group = cluster.add_argument_group("graph method")
    group.add_argument("--k", type=int, help="neighbours per sample (default 10)")
    group.add_argument("--max-iterations", type=int, help="most propagation sweeps (default 50000)")
    group.add_argument("--tolerance", type=float, help="propagation tolerance (default 0.001)")
    group = cluster.add_argument_group("tree-cut and density methods")
    group.add_argument("--metric", help="distance name (default: euclidean for tree, minkowski for density)")
    group = cluster.add_argument_group("density method")
    group.add_argument("--p", type=int, help="Minkowski power (default 2)")
    group.add_argument("--eps", type=_eps, help="neighbourhood radius, or 'auto' (default)")
    group.add_argument("--min-samples", type=int, help="neighbourhood size of a dense sample (default 5)")
    group.add_argument("--threshold", type=int, help="dissolving threshold on class codes (default -1)")

    demo = commands.add_parser(
        "demo",
        help="compare the three methods on scikit-learn's data sets",
        description="Runs the three methods and scikit-learn's LabelSpreading and LabelPropagation on "
        "iris, wine, breast cancer and digits with 10%% of the labels kept, prints one table and "
        "draws two moons coloured by each method.",
    )
    demo.add_argument("--output-dir", default="sorvane-demo", help="folder for the table and the figure "
                      "(default ./sorvane-demo)")
    demo.add_argument("--seed", type=int, default=0, help="seed of the labeled subset (default 0)")
    demo.add_argument("--no-plot", action="store_true", help="skip the figure")
    return parser


def _make_estimator(args, parser):
    from .estimators import DensityClustering, GraphClustering, TreeCutClustering

    params = {"verbose": args.verbose}
    for option, (name, methods) in PARAMETERS.items():
        value = getattr(args, option)
        if value is None:
            continue
        if args.method not in methods:
            parser.error(f"--{option.replace('_', '-')} does not apply to the {args.method} method")
        params[name] = value
    estimator = {"graph": GraphClustering, "tree": TreeCutClustering, "density": DensityClustering}[args.method]
    return estimator(**params)


def _cluster(args, parser):
    from . import plotting

    estimator = _make_estimator(args, parser)
    if args.plot and not plotting.matplotlib_available():
        parser.error(f"--plot needs matplotlib: {plotting.MISSING_MATPLOTLIB}")
    X, y = read_data(args.data, args.labels)
    if args.standardize:
        from sklearn.preprocessing import StandardScaler

        X = StandardScaler().fit_transform(X)
    labels = estimator.fit(X, y).labels_
    write_labels(args.output, args.labels if not Path(args.data).suffix.lower() == ".npy" else "label", labels)
    unreached = int(sum(str(v) == "-1" for v in labels))
    print(f"{len(labels)} labels written to {args.output}"
          + (f" ({unreached} samples could not be reached and keep -1)" if unreached else ""))
    if args.plot:
        given = np.array([str(v) not in ("-1", "") for v in y])
        method = {"graph": "graph", "tree": "tree-cut", "density": "density"}[args.method]
        axes = "first two principal components" if X.shape[1] > 2 else "features"
        title = f"{Path(args.data).name}: {method} method ({axes})"
        plotting.save_labels_plot(args.plot, X, labels, given, title=title)
        print(f"figure written to {args.plot}")
    return 0


def main(argv=None):
    """Entry point of the ``sorvane`` console script and of ``python -m sorvane``."""
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        if args.command == "cluster":
            return _cluster(args, parser)
        from .demo import run_demo

        return run_demo(output_dir=args.output_dir, seed=args.seed, plot=not args.no_plot)
    except (InputError, ValueError, TypeError, MemoryError) as error:
        print(f"sorvane: error: {error}", file=sys.stderr)
        return 1
