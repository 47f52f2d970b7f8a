"""The estimators: the three methods from data to labels, label mapping, input checks, predict."""

import ast
import inspect
import importlib
from pathlib import Path

import numpy as np
import pytest
from sklearn.utils.estimator_checks import parametrize_with_checks

from sorvane import DensityClustering, GraphClustering, TreeCutClustering
from sorvane import estimators as est

ESTIMATORS = {
    "graph": lambda: GraphClustering(k=5),
    "tree": lambda: TreeCutClustering(),
    "density": lambda: DensityClustering(min_samples=4),
}


@pytest.fixture(scope="module")
def blobs():
    """Three tight, well-separated blobs of 30 samples; three given labels per blob."""
    rng = np.random.default_rng(7)
    centers = np.array([[0.0, 0.0], [10.0, 0.0], [0.0, 10.0]])
    y = np.repeat(np.arange(3), 30)
    X = centers[y] + rng.normal(scale=0.7, size=(90, 2))
    partial = np.full(90, -1)
    for c in range(3):
        partial[np.flatnonzero(y == c)[:3]] = c
    return X, y, partial


@pytest.mark.parametrize("method", ESTIMATORS)
def test_recovers_blobs_and_predicts_new_points(method, blobs):
    X, y, partial = blobs
    estimator = ESTIMATORS[method]()
    labels = estimator.fit_predict(X, partial)
    np.testing.assert_array_equal(labels, y)
    np.testing.assert_array_equal(estimator.labels_, y)
    np.testing.assert_array_equal(estimator.classes_, [0, 1, 2])
    new = np.array([[0.3, -0.2], [9.6, 0.4], [-0.5, 10.5], [6.0, 0.5]])
    np.testing.assert_array_equal(estimator.predict(new), [0, 1, 2, 1])


@pytest.mark.parametrize("method", ESTIMATORS)
@pytest.mark.parametrize(
    "classes, unlabeled",
    [
        (np.array([42, 7, 1000]), -1),  # non-contiguous integers, not sorted
        (np.array(["setosa", "beta", "zeta"]), ""),
        (np.array(["setosa", "beta", "zeta"]), "-1"),
        (np.array([-5, 3, 2**40]), -1),  # negative and wide class values
        (np.array(["p", "q", "r"], dtype=object), None),
    ],
    ids=["ints", "strings-empty", "strings-minus-one", "wide-ints", "object-none"],
)
def test_class_values_are_mapped_back(method, classes, unlabeled, blobs):
    X, y, partial = blobs
    given = np.array([classes[c] if c >= 0 else unlabeled for c in partial], dtype=classes.dtype)
    estimator = ESTIMATORS[method]().fit(X, given)
    np.testing.assert_array_equal(estimator.classes_, np.sort(classes))
    np.testing.assert_array_equal(estimator.labels_, classes[y])
    assert estimator.predict(X[:1])[0] == classes[y[0]]


def test_float_labels_with_nan_for_unlabeled(blobs):
    X, y, partial = blobs
    given = np.where(partial >= 0, partial * 2.5, np.nan)
    labels = DensityClustering(min_samples=4).fit(X, given).labels_
    np.testing.assert_array_equal(labels, y * 2.5)


def _isolated_group():
    """A labeled blob and, far away, six unlabeled samples whose 3 nearest neighbours are all in
    their own group: the graph method cannot reach them."""
    rng = np.random.default_rng(3)
    X = np.vstack([rng.normal(size=(20, 2)), rng.normal(scale=0.1, size=(6, 2)) + 100.0])
    y = np.array(["a"] * 3 + [""] * 23, dtype=object)
    return X, y


def test_graph_leaves_unreachable_samples_at_minus_one():
    X, y = _isolated_group()
    with pytest.warns(UserWarning, match="6 of 26 samples have no nearest-neighbour path to a labeled sample"):
        estimator = GraphClustering(k=3).fit(X, y)
    assert list(estimator.labels_[:20]) == ["a"] * 20
    assert list(estimator.labels_[20:]) == [-1] * 6
    # the nearest fitted sample of a point near the far group is unreached
    assert estimator.predict([[100.0, 100.0]])[0] == -1


def test_graph_links_many_samples_to_one_hub():
    # Duplicates: every unlabeled sample's 2 nearest neighbours include the same few samples, so
    # linking appends more edges to a hub's list than the pruned graph has room for.
    X = np.array([1.0, 1, 1, 1, 2, 1, 2, 0, 1, 1]).reshape(-1, 1)
    y = np.array([-1, -1, 7, -1, -1, -1, -1, -1, -1, -1])
    np.testing.assert_array_equal(GraphClustering(k=2).fit(X, y).labels_, np.full(10, 7))


def test_density_threshold_works_on_class_codes(blobs):
    X, y, partial = blobs
    classes = np.array(["x", "y", "z"])
    # threshold 1 dissolves the first class ("x"): its samples join the nearest other centroid
    labels = DensityClustering(min_samples=4, threshold=1).fit(X, classes[np.maximum(partial, 0)]).labels_
    assert "x" not in set(labels)
    np.testing.assert_array_equal(labels[y != 0], classes[y[y != 0]])


@pytest.mark.parametrize(
    "method, stages",
    [
        ("graph", ["mutual_knn", "informative_edges", "find_connected_components", "connect_unlabeled",
                   "weighted_label_propagation"]),
        ("tree", ["prim_mst", "clusterize"]),
        ("density", ["auto eps", "quorim_main", "quorim_postprocess"]),
    ],
)
def test_verbose_prints_every_stage_with_its_time(method, stages, blobs, capsys):
    X, _, partial = blobs
    estimator = ESTIMATORS[method]().set_params(verbose=True).fit(X, partial)
    lines = capsys.readouterr().out.splitlines()
    assert [line.split("] ")[1].rsplit(":", 1)[0] for line in lines] == stages
    assert all(line.endswith(" s") and line.startswith(f"[{type(estimator).__name__}]") for line in lines)
    assert set(estimator.stage_times_) == {*stages, "total"}


# ---- checks made before any kernel runs -----------------------------------------------------------------


class _NoKernel:
    def __getattr__(self, name):
        raise AssertionError(f"kernel {name} called although the input is invalid")


@pytest.fixture
def no_kernels(monkeypatch):
    for module in ("nearmesh", "velmar_bfs", "velmar_connect", "velmar_lp", "treleck_mst", "treleck_core",
                   "quorim_core", "quorim_postprocess"):
        monkeypatch.setattr(est, module, _NoKernel())


X4 = np.arange(8.0).reshape(4, 2)

BAD_INPUT = [
    # (estimator, X, y, exception, message)
    (GraphClustering(k=2), [[0.0, np.nan], [1, 1], [2, 2], [3, 3]], [0, -1, -1, 1], ValueError, "NaN"),
    (TreeCutClustering(), [[0.0, np.inf], [1, 1], [2, 2], [3, 3]], [0, -1, -1, 1], ValueError, "infinity"),
    (DensityClustering(), [["a", "b"], ["c", "d"]], [0, -1], ValueError, "X must hold numbers"),
    (GraphClustering(k=2), X4, [0, -1, 1], ValueError, "y has 3 labels but X has 4 samples"),
    (TreeCutClustering(), X4, [-1, -1, -1, -1], ValueError, "no labeled sample"),
    (DensityClustering(), X4, ["", "-1", None, ""], ValueError, "no labeled sample"),
    (GraphClustering(k=2), X4, None, ValueError, "requires y to be passed"),
    (GraphClustering(k=2), X4, np.array([1, "a", -1, -1], dtype=object), ValueError, "mixes numbers and strings"),
    (GraphClustering(k=2), X4, [[0, 1], [1, 0], [0, 1], [1, 0]], ValueError, "one-dimensional"),
    (GraphClustering(k=4), X4, [0, -1, -1, 1], ValueError, r"k=4 must be below the number of samples \(n_samples=4\)"),
    (GraphClustering(k=0), X4, [0, -1, -1, 1], ValueError, "k must be >= 1"),
    (GraphClustering(k=2.0), X4, [0, -1, -1, 1], TypeError, "k must be an integer"),
    (GraphClustering(k=2, max_iterations=-1), X4, [0, -1, -1, 1], ValueError, "max_iterations must be >= 0"),
    (GraphClustering(k=2, tolerance="x"), X4, [0, -1, -1, 1], TypeError, "tolerance must be a real number"),
    (TreeCutClustering(metric="nope"), X4, [0, -1, -1, 1], ValueError, "metric 'nope' is not a distance"),
    (TreeCutClustering(metric=None), X4, [0, -1, -1, 1], TypeError, "metric must be a string"),
    (TreeCutClustering(), np.arange(256.0).reshape(128, 2), np.arange(128), ValueError, "at most 127 classes, y has 128"),
    (DensityClustering(eps=0.0), X4, [0, -1, -1, 1], ValueError, "eps must be a positive number or 'auto'"),
    (DensityClustering(eps="wide"), X4, [0, -1, -1, 1], ValueError, "eps must be a positive number or 'auto'"),
    (DensityClustering(min_samples=0), X4, [0, -1, -1, 1], ValueError, "min_samples must be >= 1"),
    (DensityClustering(p=0), X4, [0, -1, -1, 1], ValueError, "p must be >= 1"),
    (DensityClustering(threshold=-2), X4, [0, -1, -1, 1], ValueError, "threshold must be >= -1"),
    (DensityClustering(metric="nope"), X4, [0, -1, -1, 1], ValueError, "metric 'nope' is not usable"),
]


@pytest.mark.parametrize("estimator, X, y, exception, message", BAD_INPUT,
                         ids=[f"{type(case[0]).__name__}-{case[4][:30]}" for case in BAD_INPUT])
def test_bad_input_is_refused_before_any_kernel(no_kernels, estimator, X, y, exception, message):
    with pytest.raises(exception, match=message):
        estimator.fit(X, y)


def test_tree_cut_too_large_for_memory_says_what_it_needs(no_kernels, monkeypatch):
    monkeypatch.setattr(est, "_available_memory", lambda: 2**30)
    X = np.zeros((10000, 1))
    y = np.full(10000, -1)
    y[0] = 0
    # pairwise 0.37 GiB + square 0.75 GiB + containers 3.35 GiB
    expected = "10000 samples needs about 4.5 GiB .* more than the 1.0 GiB of memory available"
    with pytest.raises(MemoryError, match=expected):
        TreeCutClustering().fit(X, y)


def test_predict_checks_fitted_and_feature_count(blobs):
    X, _, partial = blobs
    from sklearn.exceptions import NotFittedError

    with pytest.raises(NotFittedError):
        GraphClustering().predict(X)
    estimator = GraphClustering(k=5).fit(X, partial)
    with pytest.raises(ValueError, match="features"):
        estimator.predict(np.zeros((2, 3)))


# ---- scikit-learn's estimator checks ----------------------------------------------------------------------


def _expected_failed_checks(estimator):
    # check_clustering fits without y: these estimators complete a partial labelling and need one.
    return {"check_clustering": "semi-supervised: fit needs the partial labelling y"}


@parametrize_with_checks(
    [GraphClustering(k=3), TreeCutClustering(), DensityClustering()],
    expected_failed_checks=_expected_failed_checks,
)
def test_scikit_learn_estimator_checks(estimator, check):
    check(estimator)


# ---- type stubs of the compiled modules --------------------------------------------------------------------

KERNEL_MODULES = [
    "velmar.binaries.nearmesh", "velmar.binaries.velmar_bfs", "velmar.binaries.velmar_connect",
    "velmar.binaries.velmar_lp", "treleck.binaries.treleck_mst", "treleck.binaries.treleck_core",
    "quorim.binaries.quorim_core", "quorim.binaries.quorim_postprocess",
]


def _stub_signatures(path):
    """{name: [(parameter, has default)]} of the functions and GraphWrapper methods of a stub."""
    tree = ast.parse(path.read_text())
    found = {}

    def parameters(node):
        args = node.args.posonlyargs + node.args.args
        defaults = [False] * (len(args) - len(node.args.defaults)) + [True] * len(node.args.defaults)
        return [(a.arg, d) for a, d in zip(args, defaults) if a.arg not in ("self", "cls")]

    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            found[node.name] = parameters(node)
        elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):  # _Protocols: typing only
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and (item.name == "__new__" or not item.name.startswith("__")):
                    found[f"{node.name}.{item.name}"] = parameters(item)
    return found


@pytest.mark.parametrize("name", KERNEL_MODULES)
def test_stubs_match_the_compiled_modules(name):
    module = importlib.import_module(f"sorvane.algorithms.src.{name}")
    stub = Path(module.__file__).parent / (name.rsplit(".", 1)[1] + ".pyi")
    assert stub.exists()
    assert (stub.parent.parent.parent.parent.parent / "py.typed").exists()
    declared = _stub_signatures(stub)
    runtime = {}
    for attr, value in vars(module).items():
        if callable(value) and getattr(value, "__module__", None) == module.__name__:
            if isinstance(value, type):
                runtime[f"{attr}.__new__"] = value
                for method, function in vars(value).items():
                    if not method.startswith("__") and callable(function):
                        runtime[f"{attr}.{method}"] = function
            else:
                runtime[attr] = value
    assert set(declared) == set(runtime)
    for key, function in runtime.items():
        signature = inspect.signature(function)
        actual = [(p.name, p.default is not inspect.Parameter.empty) for p in signature.parameters.values()
                  if p.name != "self"]
        assert declared[key] == actual, key
