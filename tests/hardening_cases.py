"""Every Python-callable of the compiled modules, with builders of valid arguments.

Shared by the hardening tests (argument fuzzing, leak checks). A row names the module, the callable
and its parameters with their declared kinds; its builder makes fresh valid arguments from a
`Context` (a small random data set with its graphs and labels). Adding a kernel is adding a row; a
row whose callable its module does not define (yet) is reported as unavailable and skipped.
"""

from __future__ import annotations

import importlib
from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np

INT64, FLOAT32 = 0, 1

MODULE_PATHS = {
    "nearmesh": "sorvane.algorithms.src.velmar.binaries.nearmesh",
    "velmar_bfs": "sorvane.algorithms.src.velmar.binaries.velmar_bfs",
    "velmar_connect": "sorvane.algorithms.src.velmar.binaries.velmar_connect",
    "velmar_lp": "sorvane.algorithms.src.velmar.binaries.velmar_lp",
    "treleck_mst": "sorvane.algorithms.src.treleck.binaries.treleck_mst",
    "treleck_core": "sorvane.algorithms.src.treleck.binaries.treleck_core",
    "quorim_core": "sorvane.algorithms.src.quorim.binaries.quorim_core",
    "quorim_postprocess": "sorvane.algorithms.src.quorim.binaries.quorim_postprocess",
}
GRAPH_MODULES = ["nearmesh", "treleck_mst", "treleck_core"]


def load(module: str):
    return importlib.import_module(MODULE_PATHS[module])


# ---- the caller's input-data object ---------------------------------------------------------------


class InputData:
    """A plain record with the members the kernels read, each replaceable for fuzzing."""

    def __init__(self, n, labeled_count, labeled_indices, data, labeled):
        self.n = n
        self.labeled_count = labeled_count
        self.labeled_indices = labeled_indices
        self.data = data
        self._labeled = labeled

    def get_labeled(self):
        return self._labeled


# ---- a small random data set with its graphs ------------------------------------------------------


def fill(cls, count, dtype, lists, max_size=None, lookup=False):
    """A GraphWrapper of type `cls` holding `lists`."""
    if max_size is None:
        max_size = max([1, count] + [len(items) for items in lists])
    graph = cls(count, dtype, max_size, lookup)
    for index, items in enumerate(lists):
        for value in items:
            graph.append(index, value)
    return graph


def components_of(adjacency, labeled):
    """Breadth-first components in the format of the component search: ([(nodes, flag)], flags)."""
    n = len(adjacency)
    seen = [False] * n
    components = []
    flags = np.zeros(n, dtype=np.uint8)
    for start in range(n):
        if seen[start]:
            continue
        seen[start] = True
        nodes, head = [start], 0
        while head < len(nodes):
            for neighbor in adjacency[nodes[head]]:
                if not seen[neighbor]:
                    seen[neighbor] = True
                    nodes.append(neighbor)
            head += 1
        flag = int(any(labeled[v] for v in nodes))
        flags[nodes] = flag
        components.append((nodes, flag))
    return components, flags


@dataclass
class Context:
    """Random data of `n` samples: points, labels, a spanning tree and a sparser symmetric graph."""

    seed: int
    n: int = 0
    k: int = 0
    X: np.ndarray = None
    labels: np.ndarray = None  # -1 unlabeled, else 0..2
    tree: list = None  # adjacency lists of a random tree, both directions
    tree_weights: list = None
    graph: list = None  # the tree without some edges: several components
    graph_weights: list = None
    knn: np.ndarray = None  # (n, k) nearest neighbours, the sample itself excluded
    knn_distances: np.ndarray = None

    def __post_init__(self):
        rng = np.random.default_rng(self.seed)
        n = self.n or int(rng.integers(2, 13))
        self.n = n
        self.k = min(3, n - 1)
        self.X = rng.normal(size=(n, 2))
        self.labels = np.where(rng.random(n) < 0.4, rng.integers(0, 3, n), -1)
        if (self.labels >= 0).sum() == 0:
            self.labels[0] = 0
        parents = [int(rng.integers(0, i)) for i in range(1, n)]
        weights = rng.permutation(n) + 0.5
        self.tree = [[] for _ in range(n)]
        self.tree_weights = [[] for _ in range(n)]
        self.graph = [[] for _ in range(n)]
        self.graph_weights = [[] for _ in range(n)]
        for child, parent in enumerate(parents, start=1):
            w = float(weights[child])
            for a, b in ((child, parent), (parent, child)):
                self.tree[a].append(b)
                self.tree_weights[a].append(w)
            if rng.random() < 0.7:
                for a, b in ((child, parent), (parent, child)):
                    self.graph[a].append(b)
                    self.graph_weights[a].append(w)
        distances = np.sqrt(((self.X[:, None, :] - self.X[None, :, :]) ** 2).sum(-1))
        order = np.argsort(distances, axis=1, kind="stable")
        order = np.array([[j for j in row if j != i] for i, row in enumerate(order)], dtype=np.int64)
        self.knn = np.ascontiguousarray(order[:, : self.k])
        self.knn_distances = np.take_along_axis(distances, self.knn, axis=1).astype(np.float32)

    # Fresh objects built from the context; kernels may change what they are given.

    def input_data(self):
        labeled = np.flatnonzero(self.labels >= 0).astype(np.int64)
        data = self.X.astype(np.float32)
        return InputData(self.n, len(labeled), labeled, data, np.ascontiguousarray(data[labeled]))

    def graph_pair(self, module, lists="graph", lookup=False):
        cls = load(module).GraphWrapper
        adjacency = getattr(self, lists)
        weights = getattr(self, lists + "_weights")
        size = max(2, self.n)
        return (fill(cls, self.n, INT64, adjacency, size, lookup), fill(cls, self.n, FLOAT32, weights, size))

    def components(self):
        return components_of(self.graph, self.labels >= 0)


# ---- parameters and rows --------------------------------------------------------------------------


@dataclass
class Param:
    """A parameter and its declared kind, which selects the wrong values tried for it.

    kind: 'array' (a typed buffer: `dtype`, `ndim`, `contiguous`, `writable`), 'ndarray' (declared
    numpy.ndarray, then checked as a typed buffer by the kernel), 'int', 'int64', 'size_t', 'double',
    'bool', 'str', 'list', 'set', 'object', 'graph' (a container used through its methods; `dtype` is
    its element type), 'own_graph' (declared as the module's own GraphWrapper type), 'input' (the
    input-data object), 'vertex' (an int that is used as a vertex index).
    """

    name: str
    kind: str
    dtype: Any = None
    ndim: int = 1
    contiguous: bool = False
    writable: bool = False
    # Further wrong values for this parameter: (label, builder of the value from the context).
    extra: list = field(default_factory=list)


@dataclass
class Row:
    module: str
    name: str  # a function name, "GraphWrapper" or "GraphWrapper.<method>"
    params: list
    # build(module, ctx) -> (callable, list of valid arguments in parameter order)
    build: Callable
    # Exceptions a valid call may raise on random data (e.g. no labeled component to link to).
    tolerated: tuple = ()
    # The exception that the valid call raises by design (pickling refused, nothing to pop), if any.
    raises: type = None

    @property
    def id(self):
        return f"{self.module}.{self.name}"

    def available(self):
        try:
            module = load(self.module)
        except ImportError:
            return False
        target = module
        for part in self.name.split("."):
            if not hasattr(target, part):
                return False
            target = getattr(target, part)
        return True


def function(row_name):
    """build() helper for a module-level function whose arguments come from `make(ctx)`."""

    def decorate(make):
        def build(module, ctx):
            return getattr(module, row_name), make(ctx)

        return build

    return decorate


class ShortCopy(np.ndarray):
    """An array whose copy() method returns one element fewer."""

    def copy(self, *args, **kwargs):
        return np.asarray(self)[:-1].copy()


def short_copy(array):
    return np.asarray(array).view(ShortCopy)


def wrong_rows(ctx, k):
    """Rows of a (n, k) int64 neighbour array whose entries fall outside [0, n)."""
    return np.full((ctx.n, k), ctx.n, dtype=np.int64)


# ---- rows: nearmesh ------------------------------------------------------------------------------


def _mutual_knn(ctx):
    return [ctx.X.copy(), ctx.k, 2]


def _find_idx_set(ctx):
    data = ctx.input_data()
    distances = np.sqrt(((ctx.X[:, None, :] - ctx.X[None, data.labeled_indices, :]) ** 2).sum(-1))
    distances = distances.astype(np.float32)
    distances.flags.writeable = False
    vertex = int(np.argmax([len(a) for a in ctx.graph]))
    connections = np.array(ctx.graph[vertex], dtype=np.int64)
    weights = np.array(ctx.graph_weights[vertex], dtype=np.float32)
    return [distances, np.arange(data.labeled_count, dtype=np.int64), connections, weights]


def _informative_edges(ctx):
    connections, weights = ctx.graph_pair("nearmesh")
    return [ctx.input_data(), max(ctx.k, 1) * 2, connections, weights]


def _pairwise_file(ctx):
    return [ctx.input_data(), "distances.dat", 3]


# ---- rows: velmar --------------------------------------------------------------------------------


def _components(ctx):
    connections, _ = ctx.graph_pair("nearmesh")
    return [ctx.input_data(), connections]


def _connect(ctx):
    components, flags = ctx.components()
    connections, weights = ctx.graph_pair("nearmesh", lookup=True)
    return [ctx.knn[:, :], ctx.knn_distances.copy(), components, flags, connections, weights]


def _propagation(ctx):
    connections, weights = ctx.graph_pair("nearmesh")
    return [connections, weights, ctx.labels.astype(np.int32), 50, 1e-3]


# ---- rows: treleck -------------------------------------------------------------------------------


def _prim(ctx):
    return [ctx.X.copy(), "euclidean"]


def _labels8(ctx):
    return ctx.labels.astype(np.int8)


def _paths(ctx):
    connections, _ = ctx.graph_pair("treleck_core", "tree")
    return [connections, _labels8(ctx), int(np.flatnonzero(ctx.labels >= 0)[0]), -1, None]


def _explore(ctx):
    connections, _ = ctx.graph_pair("treleck_core", "tree")
    return [connections, _labels8(ctx), int(np.flatnonzero(ctx.labels >= 0)[0])]


def _subgraph(ctx):
    connections, weights = ctx.graph_pair("treleck_core", "tree")
    return [connections, weights, _labels8(ctx)]


def _make_labels(ctx):
    connections, _ = ctx.graph_pair("treleck_core", "tree")
    return [connections, 0, 1, set(), _labels8(ctx)]


# ---- rows: quorim --------------------------------------------------------------------------------


def _quorim(ctx):
    return [ctx.X.copy(), 0.8, 2, ctx.labels.astype(np.int32), "minkowski", 2]


def _postprocess(ctx):
    labels = ctx.labels.astype(np.int32)
    labels[ctx.labels < 0] = np.resize([-1, -2, -3], int((ctx.labels < 0).sum()))
    return [ctx.X.copy(), labels, "minkowski", 2, -1]


# ---- rows: GraphWrapper --------------------------------------------------------------------------


def _wrapper_row(module, name, params, make_args, dtype=INT64, lookup=True, raises=None):
    def build(mod, ctx):
        lists = ctx.tree if dtype == INT64 else ctx.tree_weights
        graph = fill(mod.GraphWrapper, ctx.n, dtype, lists, max(2, ctx.n), lookup)
        return getattr(graph, name.split(".", 1)[1]), make_args(ctx)

    return Row(module, name, params, build, raises=raises)


def graph_rows(module):
    idx = Param("index", "int64")
    rows = [
        Row(module, "GraphWrapper",
            [Param("count", "size_t"), Param("dtype", "size_t"), Param("max_size", "int"),
             Param("lookup_opt", "bool")],
            lambda mod, ctx: (mod.GraphWrapper, [ctx.n, INT64, 2, True])),
        _wrapper_row(module, "GraphWrapper.append", [idx, Param("value", "int64")], lambda ctx: [0, 1]),
        _wrapper_row(module, "GraphWrapper.append", [idx, Param("value", "double")], lambda ctx: [0, 0.5],
                     dtype=FLOAT32),
        _wrapper_row(module, "GraphWrapper.contains", [idx, Param("value", "int64")], lambda ctx: [0, 1]),
        _wrapper_row(module, "GraphWrapper.contains", [idx, Param("value", "int64")], lambda ctx: [0, 1],
                     lookup=False),
        _wrapper_row(module, "GraphWrapper.to_numpy", [idx], lambda ctx: [ctx.n - 1]),
        _wrapper_row(module, "GraphWrapper.to_numpy_all", [], lambda ctx: []),
        _wrapper_row(module, "GraphWrapper.__reduce__", [], lambda ctx: [], raises=TypeError),
        _wrapper_row(module, "GraphWrapper.__setstate__", [Param("state", "object")], lambda ctx: [None],
                     raises=TypeError),
    ]
    if module != "nearmesh":
        rows += [
            _wrapper_row(module, "GraphWrapper.pop", [Param("list_index", "vertex"), Param("element_index", "int")],
                         lambda ctx: [0, 0]),
            _wrapper_row(module, "GraphWrapper.pop", [Param("list_index", "vertex"), Param("element_index", "int")],
                         lambda ctx: [0, 0], dtype=FLOAT32),
            _wrapper_row(module, "GraphWrapper.pop_max", [], lambda ctx: [], dtype=FLOAT32),
            _wrapper_row(module, "GraphWrapper.pop_max", [], lambda ctx: [], dtype=INT64, raises=ValueError),
        ]
    return rows


# ---- the table -----------------------------------------------------------------------------------

F8, F4, I8, I4, I1, U1 = np.float64, np.float32, np.int64, np.int32, np.int8, np.uint8

ROWS = [
    Row("nearmesh", "mutual_knn",
        [Param("X", "array", F8, 2, contiguous=True, writable=True), Param("k", "int"), Param("p", "int")],
        function("mutual_knn")(_mutual_knn)),
    Row("nearmesh", "_find_idx_set",
        [Param("distances", "array", F4, 2),
         Param("labels", "array", I8, 1, contiguous=True, writable=True,
               extra=[("column outside the matrix", lambda ctx: np.array([0, 10**6], dtype=np.int64))]),
         Param("connections", "ndarray", I8, 1,
               extra=[("row outside the matrix", lambda ctx: np.array([0, ctx.n], dtype=np.int64)),
                      ("negative row", lambda ctx: np.array([-1], dtype=np.int64))]),
         Param("weights", "array", F4, 1, contiguous=True, writable=True,
               extra=[("shorter than connections", lambda ctx: np.zeros(0, dtype=np.float32))])],
        function("_find_idx_set")(_find_idx_set)),
    Row("nearmesh", "informative_edges",
        [Param("X", "input"), Param("k", "int"), Param("connections", "own_graph", INT64),
         Param("weights", "own_graph", FLOAT32)],
        function("informative_edges")(_informative_edges)),
    Row("nearmesh", "create_pairwise_distance_matrix",
        [Param("X", "input"),
         Param("filename", "object", extra=[("a directory", lambda ctx: "."),
                                            ("missing directory", lambda ctx: "no/such/dir/file.dat")]),
         Param("chunk_size", "object", extra=[("zero", lambda ctx: 0), ("negative", lambda ctx: -2),
                                              ("float", lambda ctx: 1.5), ("huge", lambda ctx: 10**30)])],
        function("create_pairwise_distance_matrix")(_pairwise_file)),
    Row("velmar_bfs", "find_connected_components",
        [Param("X", "input"), Param("connections", "graph", INT64)],
        function("find_connected_components")(_components)),
    Row("velmar_connect", "connect_unlabeled",
        [Param("knn_connections", "ndarray", I8, 2,
               extra=[("neighbours outside the graph", lambda ctx: wrong_rows(ctx, ctx.k)),
                      ("negative neighbours", lambda ctx: -wrong_rows(ctx, ctx.k)),
                      ("fewer rows than vertices", lambda ctx: ctx.knn[:1].copy())]),
         Param("knn_weights", "ndarray", F4, 2,
               extra=[("fewer columns", lambda ctx: ctx.knn_distances[:, :0].copy()),
                      ("fewer rows than vertices", lambda ctx: ctx.knn_distances[:1].copy())]),
         Param("components", "list",
               extra=[("vertex outside the graph", lambda ctx: [([ctx.n], 0), ([-1], 0), ([2**40], 0)]),
                      ("vertex not an int", lambda ctx: [(["a"], 0)]),
                      ("nodes not a list", lambda ctx: [((0,), 0)]),
                      ("nodes None", lambda ctx: [(None, 0)]),
                      ("entry too short", lambda ctx: [([0],)]),
                      ("entry not a sequence", lambda ctx: [5])]),
         Param("vertix_component_label", "ndarray", U1, 1,
               extra=[("shorter than the graph", lambda ctx: np.zeros(1, dtype=np.uint8)),
                      ("copy() one element shorter", lambda ctx: short_copy(ctx.components()[1]))]),
         Param("connections", "graph", INT64), Param("weights", "graph", FLOAT32)],
        function("connect_unlabeled")(_connect), tolerated=(SystemError,)),
    Row("velmar_lp", "weighted_label_propagation",
        [Param("connections", "graph", INT64), Param("weights", "graph", FLOAT32),
         Param("initial_labels", "array", I4, 1, contiguous=True, writable=True,
               extra=[("shorter than the graph", lambda ctx: np.full(1, -1, dtype=np.int32))]),
         Param("max_iterations", "size_t"), Param("tolerance", "double")],
        function("weighted_label_propagation")(_propagation)),
    Row("treleck_mst", "prim_mst",
        [Param("X", "ndarray", F8, 2), Param("metric", "str")],
        function("prim_mst")(_prim)),
    Row("treleck_core", "find_all_paths_with_labels",
        [Param("connections_sparse", "graph", INT64), Param("labels", "ndarray", I1, 1),
         Param("start", "vertex"), Param("bomb_node", "vertex"),
         Param("path", "object", extra=[("vertices outside the graph", lambda ctx: [ctx.n, -1, 2**40]),
                                         ("tuple", lambda ctx: (0,)), ("not ints", lambda ctx: ["a"])])],
        function("find_all_paths_with_labels")(_paths)),
    Row("treleck_core", "explore_graph_recursive",
        [Param("connections_sparse", "graph", INT64), Param("labels", "ndarray", I1, 1), Param("start", "vertex")],
        function("explore_graph_recursive")(_explore)),
    Row("treleck_core", "find_subgraph_with_labels",
        [Param("connections_sparse", "graph", INT64), Param("weights_sparse", "graph", FLOAT32),
         Param("labels", "ndarray", I1, 1)],
        function("find_subgraph_with_labels")(_subgraph)),
    Row("treleck_core", "make_labels",
        [Param("connections_sparse", "graph", INT64), Param("node", "vertex"), Param("label", "int"),
         Param("visited", "set", extra=[("holds other objects", lambda ctx: {-1, 10**30, "a", None})]),
         Param("labels", "ndarray", I1, 1, writable=True)],
        function("make_labels")(_make_labels)),
    Row("treleck_core", "clusterize",
        [Param("connections_sparse", "graph", INT64), Param("weights_sparse", "graph", FLOAT32),
         Param("labels", "ndarray", I1, 1)],
        function("clusterize")(_subgraph)),
    Row("quorim_core", "quorim_main",
        [Param("data", "array", F8, 2, contiguous=True, writable=True), Param("eps", "double"),
         Param("min_samples", "int"),
         Param("labels", "array", I4, 1, contiguous=True, writable=True,
               extra=[("shorter than the data", lambda ctx: np.zeros(1, dtype=np.int32))]),
         Param("metric", "str"), Param("p", "int")],
        function("quorim_main")(_quorim)),
    Row("quorim_postprocess", "quorim_postprocess",
        [Param("points", "array", F8, 2, contiguous=True, writable=True),
         Param("labels_in", "ndarray", I4, 1,
               extra=[("shorter than the points", lambda ctx: np.zeros(1, dtype=np.int32)),
                      ("copy() one element shorter", lambda ctx: short_copy(_postprocess(ctx)[1]))]),
         Param("metric", "str"), Param("p", "int"), Param("threshold", "int")],
        function("quorim_postprocess")(_postprocess)),
]
for _module in GRAPH_MODULES:
    ROWS += graph_rows(_module)


def row_ids():
    """Unique ids, in table order (rows of one callable are numbered)."""
    ids, seen = [], {}
    for row in ROWS:
        seen[row.id] = seen.get(row.id, 0) + 1
        ids.append(row.id if seen[row.id] == 1 else f"{row.id}#{seen[row.id]}")
    return ids


ROWS_BY_ID = dict(zip(row_ids(), ROWS))


# ---- wrong values by declared kind ----------------------------------------------------------------


class SubArray(np.ndarray):
    pass


class StrSub(str):
    pass


class ListSub(list):
    pass


class SetSub(set):
    pass


class RaisesOnConversion:
    """__int__, __index__, __float__ and __bool__ all raise."""

    def _fail(self):
        raise ArithmeticError("conversion refused")

    __int__ = __index__ = __float__ = __bool__ = lambda self: self._fail()


class IntReturnsFloat:
    def __int__(self):
        return 2.5


class IndexOnly:
    def __index__(self):
        return 1


def array_values(param, valid):
    v = np.asarray(valid)
    out = [("list", v.tolist()), ("str", "abc"), ("bytes", b"\0" * 16), ("scalar", v.dtype.type(0)),
           ("object dtype", v.astype(object)), ("subclass", v.view(SubArray)), ("memoryview", memoryview(v)),
           ("big-endian", v.astype(v.dtype.newbyteorder(">")))]
    for dtype in (np.float64, np.float32, np.int64, np.int32, np.int8, np.uint8, np.bool_, np.complex128):
        if np.dtype(dtype) != v.dtype:
            out.append((f"dtype {np.dtype(dtype).name}", v.astype(dtype)))
    out.append(("one more dimension", v[None]))
    out.append(("one dimension less", v.ravel() if v.ndim == 2 else np.array(v.flat[0] if v.size else 0, v.dtype)))
    if v.ndim == 1:
        out.append(("strided", np.repeat(v, 2)[::2]))
        out.append(("reversed", v[::-1]))
    else:
        out.append(("strided", np.repeat(v, 2, axis=1)[:, ::2]))
        out.append(("Fortran order", np.asfortranarray(v)))
        out.append(("reversed rows", v[::-1]))
    readonly = v.copy()
    readonly.flags.writeable = False
    out.append(("read-only", readonly))
    empty_shape = (0,) if v.ndim == 1 else (0, v.shape[1])
    out.append(("empty", np.empty(empty_shape, v.dtype)))
    out.append(("empty rows", np.empty((0, 0), v.dtype)))
    if v.dtype.kind == "f":
        for fill_value in (np.nan, np.inf, -np.inf, np.finfo(v.dtype).max, -1.0, 0.0):
            out.append((f"filled with {fill_value}", np.full_like(v, fill_value)))
    elif v.dtype.kind in "iu":
        info = np.iinfo(v.dtype)
        for fill_value in sorted({-1 if info.min < 0 else 0, info.min, info.max, 1}):
            out.append((f"filled with {fill_value}", np.full_like(v, fill_value)))
    return out


INTS = [("str", "3"), ("float 3.9", 3.9), ("-1", -1), ("0", 0), ("int32 min", -2**31),
        ("below int32", -2**31 - 1), ("2**31", 2**31), ("2**63", 2**63), ("2**64", 2**64),
        ("below int64", -2**63 - 1), ("10**30", 10**30), ("numpy int", np.int64(1)), ("bool", True),
        ("raising __int__", RaisesOnConversion()), ("__int__ gives a float", IntReturnsFloat()),
        ("__index__ only", IndexOnly()), ("nan", float("nan")), ("inf", float("inf"))]
SIZES = [("str", "3"), ("-1", -1), ("0", 0), ("2**63", 2**63), ("2**64 - 1", 2**64 - 1), ("2**64", 2**64),
         ("10**30", 10**30), ("float", 2.5), ("raising __int__", RaisesOnConversion())]
DOUBLES = [("str", "x"), ("nan", float("nan")), ("inf", float("inf")), ("-inf", float("-inf")), ("1e308", 1e308),
           ("-1e308", -1e308), ("0", 0.0), ("-0", -0.0), ("denormal", 5e-324), ("complex", 1 + 1j),
           ("raising __float__", RaisesOnConversion()), ("int too large for a float", 10**400),
           ("__index__ only", IndexOnly())]


def vertex_values(ctx):
    return [("vertex n", ctx.n), ("vertex -1", -1), ("vertex int32 max", 2**31 - 1), ("vertex int32 min", -2**31),
            ("vertex n + 1", ctx.n + 1)]


class Fake:
    """A graph-like object whose methods misbehave in the way named by `mode`."""

    def __init__(self, n, mode):
        self.n, self.mode = n, mode

    def to_numpy(self, index):
        mode = self.mode
        if mode == "raises":
            raise RuntimeError("to_numpy refused")
        if mode == "list":
            return [0]
        if mode == "none":
            return None
        if mode == "2-d":
            return np.zeros((1, 1), np.int64)
        if mode == "float64":
            return np.zeros(1, np.float64)
        if mode == "int32":
            return np.zeros(1, np.int32)
        if mode == "outside":
            return np.array([self.n, -1, 2**40, -2**63], np.int64)
        if mode == "nan weights":
            return np.array([np.nan, np.inf, -np.inf, 0.0], np.float32)
        if mode == "long":
            return np.arange(1000, dtype=np.int64) % max(self.n, 1)
        return np.zeros(0, np.int64)

    def to_numpy_all(self):
        if self.mode == "raises":
            raise RuntimeError("to_numpy_all refused")
        if self.mode == "none":
            return None
        return [self.to_numpy(i) for i in range(self.n)]

    def append(self, index, value):
        if self.mode == "raises":
            raise RuntimeError("append refused")

    def contains(self, index, value):
        if self.mode == "raises":
            raise RuntimeError("contains refused")
        return RaisesOnConversion() if self.mode == "none" else False

    def pop(self, list_index, element_index):
        if self.mode == "raises":
            raise RuntimeError("pop refused")
        return None

    def pop_max(self):
        return {"raises": None, "list": [0, 1], "none": None, "2-d": (0,), "outside": (self.n, 2**40),
                "float64": (0.5, 1.5)}.get(self.mode, (0, 1))


def graph_values(param, ctx, module):
    """Wrong graph objects: other types, other modules' wrappers, subclasses, bad contents, fakes."""
    dtype = param.dtype
    velmar = module.startswith("velmar") or module == "nearmesh"
    lists = (ctx.graph if dtype == INT64 else ctx.graph_weights) if velmar \
        else (ctx.tree if dtype == INT64 else ctx.tree_weights)
    size = max(2, ctx.n)
    out = [("object()", object()), ("int", 5), ("list of arrays", [np.zeros(1, np.int64)])]
    for other in GRAPH_MODULES:
        cls = load(other).GraphWrapper
        out.append((f"{other} wrapper", fill(cls, ctx.n, dtype, lists, size)))
        subclass = type("Sub", (cls,), {})
        out.append((f"{other} subclass", fill(subclass, ctx.n, dtype, lists, size)))
        overriding = type("Override", (cls,), {"to_numpy": lambda self, i: np.array([ctx.n], np.int64),
                                               "contains": lambda self, i, v: False,
                                               "pop_max": lambda self: [0, 1]})
        out.append((f"{other} subclass with bad overrides", fill(overriding, ctx.n, dtype, lists, size)))
    cls = load(GRAPH_MODULES[0] if module not in GRAPH_MODULES else module).GraphWrapper
    out.append(("other element type", fill(cls, ctx.n, 1 - dtype, [[1] * len(a) for a in lists], size)))
    out.append(("no lists", cls(0, dtype, 1)))
    out.append(("one list", fill(cls, 1, dtype, lists[:1], size)))
    out.append(("empty lists", cls(ctx.n, dtype, 1)))
    out.append(("full lists", fill(cls, ctx.n, dtype, [[0 if dtype == INT64 else 1.0] * 3] * ctx.n, 1)))
    if dtype == INT64:
        bad = [[ctx.n, -1, 2**40, -2**63] for _ in range(ctx.n)]
        out.append(("vertices outside the graph", fill(cls, ctx.n, INT64, bad, 4, True)))
        out.append(("self loops", fill(cls, ctx.n, INT64, [[i] for i in range(ctx.n)], 1, True)))
    else:
        bad = [[np.nan, np.inf, -1.0, -np.inf] for _ in range(ctx.n)]
        out.append(("nan and infinite weights", fill(cls, ctx.n, FLOAT32, bad, 4)))
    modes = ["raises", "list", "none", "2-d", "float64", "int32", "outside", "nan weights", "empty"]
    if module != "treleck_core":
        # Long lists with repeated vertices make a dense graph with cycles; the path search of the
        # tree-cut method enumerates paths and is only given forests.
        modes.append("long")
    # Same name, base and instance size as our own type: must still be used through its methods.
    impostor = type(f"{MODULE_PATHS[GRAPH_MODULES[0]]}.GraphWrapper", (),
                    {"__slots__": ("layout_tag", "storage"), "to_numpy": Fake.to_numpy,
                     "to_numpy_all": Fake.to_numpy_all, "append": Fake.append, "contains": Fake.contains,
                     "pop": Fake.pop, "pop_max": Fake.pop_max, "n": ctx.n, "mode": "outside"})
    fake = impostor()
    fake.layout_tag, fake.storage = 0x736F7276616E6501, 2**40
    out.append(("impostor named GraphWrapper", fake))
    for mode in modes:
        out.append((f"fake graph ({mode})", Fake(ctx.n, mode)))
    return out


class MissingMember:
    def __init__(self, base, missing):
        for name in ("n", "labeled_count", "labeled_indices", "data"):
            if name != missing:
                setattr(self, name, getattr(base, name))
        self._labeled = base.get_labeled()
        self._missing = missing

    def get_labeled(self):
        if self._missing == "get_labeled":
            raise AttributeError("get_labeled")
        return self._labeled


def input_values(ctx):
    base = ctx.input_data()

    def variant(**changes):
        members = dict(n=base.n, labeled_count=base.labeled_count, labeled_indices=base.labeled_indices.copy(),
                       data=base.data.copy(), labeled=base.get_labeled().copy())
        members.update(changes)
        return InputData(**members)

    n, count = base.n, base.labeled_count
    out = [("object()", object())]
    out += [(f"without {m}", MissingMember(base, m)) for m in ("n", "labeled_count", "labeled_indices", "data",
                                                                "get_labeled")]
    out += [(f"n = {label}", variant(n=value)) for label, value in
            [("-1", -1), ("0", 0), ("n + 3", n + 3), ("n - 1", n - 1), ("2**31", 2**31), ("str", "x"),
             ("None", None), ("float", n + 0.5)]]
    out += [(f"labeled_count = {label}", variant(labeled_count=value)) for label, value in
            [("-1", -1), ("0", 0), ("count + 5", count + 5), ("2**40", 2**40), ("str", "x")]]
    idx = base.labeled_indices
    out += [(f"labeled_indices {label}", variant(labeled_indices=value)) for label, value in
            [("outside", np.array([n, -1, 2**40][: max(count, 1)] + [n] * max(count - 3, 0), np.int64)),
             ("int32", idx.astype(np.int32)), ("strided", np.repeat(idx, 2)[::2]), ("2-d", idx[None]),
             ("list", idx.tolist()), ("None", None), ("empty", np.zeros(0, np.int64))]]
    data = base.data
    out += [(f"data {label}", variant(data=value)) for label, value in
            [("float64", data.astype(np.float64)), ("1-d", data.ravel()), ("more columns", np.hstack([data, data])),
             ("fewer rows", data[:1].copy()), ("list", data.tolist()), ("None", None),
             ("nan", np.full_like(data, np.nan)), ("int", data.astype(np.int64))]]
    labeled = base.get_labeled()
    out += [(f"get_labeled() {label}", variant(labeled=value)) for label, value in
            [("None", None), ("float64", labeled.astype(np.float64)), ("1-d", labeled.ravel()),
             ("more columns", np.hstack([labeled, labeled])), ("more rows", np.vstack([labeled, labeled])),
             ("no rows", labeled[:0].copy()), ("list", labeled.tolist())]]
    return out


def wrong_values(param, valid, ctx, module):
    kind = param.kind
    out = [("None", None)]
    if kind in ("array", "ndarray"):
        out += array_values(param, valid)
    elif kind in ("int", "int64"):
        out += INTS
    elif kind == "vertex":
        out += INTS + vertex_values(ctx)
    elif kind == "size_t":
        out += SIZES
    elif kind == "double":
        out += DOUBLES
    elif kind == "bool":
        out += [("raising __bool__", RaisesOnConversion()), ("array", np.array([1, 2])), ("empty str", "")]
    elif kind == "str":
        out += [("int", 5), ("bytes", b"euclidean"), ("str subclass", StrSub("euclidean")), ("empty", ""),
                ("unknown metric", "no-such-metric"), ("with NUL", "minkowski\0"), ("cosine", "cosine"),
                ("chebyshev", "chebyshev")]
    elif kind == "list":
        out += [("tuple", tuple(valid)), ("list subclass", ListSub(valid)), ("empty", []), ("dict", {})]
    elif kind == "set":
        out += [("frozenset", frozenset()), ("list", []), ("set subclass", SetSub()), ("dict", {})]
    elif kind == "object":
        out += [("int", 5), ("object()", object()), ("str", "x")]
    elif kind in ("graph", "own_graph"):
        out += graph_values(param, ctx, module)
    elif kind == "input":
        out += input_values(ctx)
    out += [(label, make(ctx)) for label, make in param.extra]
    return out


# ---- misbehaving dependencies: module-level names replaced ----------------------------------------
#
# The kernels look their library names up in their module at call time, so a wrong result of a
# dependency (a shorter array, another dtype, an index outside the data, None) can be simulated by
# replacing the name. Whatever a dependency returns, the kernel must raise or return, never read or
# write outside a buffer.


def _spoil(result, mode):
    if mode == "None":
        return None
    if not isinstance(result, np.ndarray):
        return result
    if mode == "one element fewer":
        return result[:-1] if result.ndim and len(result) else result
    if mode == "int16":
        return result.astype(np.int16)
    if mode == "out-of-range values":
        spoiled = np.array(result, copy=True)
        if spoiled.dtype.kind in "iu":
            spoiled[...] = np.iinfo(spoiled.dtype).max
        elif spoiled.dtype.kind == "f":
            spoiled[...] = np.nan
        return spoiled
    return result


class NumpyProxy:
    """numpy, except that `function` returns a spoiled result."""

    def __init__(self, function, mode):
        self._function, self._mode = function, mode

    def __getattr__(self, name):
        real = getattr(np, name)
        if name == self._function:
            return lambda *a, **k: _spoil(real(*a, **k), self._mode)
        if name == "random" and self._function == "random.shuffle":
            return _ScribblingRandom(self._mode)
        return real


class _ScribblingRandom:
    def __init__(self, value):
        self._value = value

    def shuffle(self, array):
        array[...] = self._value

    def __getattr__(self, name):
        return getattr(np.random, name)


class FakeTree:
    """A k-d or ball tree whose queries give wrong neighbours (by `mode`)."""

    def __init__(self, mode, data, *args, **kwargs):
        self.mode, self.n = mode, len(data)

    def _indices(self, width):
        n, mode = self.n, self.mode
        if mode == "indices outside the data":
            return np.full((n, width), n, dtype=np.int64)
        if mode == "negative indices":
            return np.full((n, width), -1, dtype=np.int64)
        if mode == "huge indices":
            return np.full((n, width), 2**40, dtype=np.int64)
        if mode == "fewer rows":
            return np.zeros((max(n - 1, 0), width), dtype=np.int64)
        if mode == "fewer columns":
            return np.zeros((n, max(width - 1, 0)), dtype=np.int64)
        return np.zeros((n, width), dtype=np.int64)

    def query(self, X, k=1, **kwargs):
        if self.mode == "None":
            return None
        if self.mode == "three results":
            return (1, 2, 3)
        indices = self._indices(k)
        if self.mode == "float indices":
            indices = indices.astype(np.float64)
        return np.zeros(indices.shape, dtype=np.float64), indices

    def query_ball_tree(self, other, r=0.0, **kwargs):
        if self.mode == "None":
            return None
        if self.mode == "None entries":
            return [None] * self.n
        return [row.tolist() for row in self._indices(3)]

    def query_radius(self, X, r=0.0, **kwargs):
        if self.mode == "None":
            return None
        if self.mode == "None entries":
            return np.array([None] * self.n, dtype=object)
        result = np.empty(len(self._indices(3)), dtype=object)
        for i, row in enumerate(self._indices(3)):
            result[i] = row
        return result


TREE_MODES = ["indices outside the data", "negative indices", "huge indices", "fewer rows", "fewer columns",
              "float indices", "None", "None entries", "three results"]


class FakeDistance:
    """scipy.spatial.distance with a spoiled cdist."""

    def __init__(self, mode):
        self.mode = mode

    def cdist(self, a, b, *args, **kwargs):
        from scipy.spatial import distance

        result = distance.cdist(a, b, *args, **kwargs)
        if self.mode == "fewer columns":
            return result[:, :-1]
        return _spoil(result, self.mode)

    def __getattr__(self, name):
        from scipy.spatial import distance

        return getattr(distance, name)


class FakeMetric:
    def __init__(self, mode):
        self.mode = mode

    def get_metric(self, *args, **kwargs):
        return self

    def pairwise(self, a, b=None):
        if self.mode == "None":
            return None
        if self.mode == "empty":
            return np.zeros((0, 0))
        return np.full((1, 1), np.nan)


def _spoiled(function, mode):
    return lambda *a, **k: _spoil(function(*a, **k), mode)


def dependency_patches():
    """(label, module-level name, replacement factory) for every kind of misbehaving dependency."""
    import heapq

    from scipy.spatial.distance import pdist, squareform

    patches = []
    for function in ("zeros", "empty", "full", "arange", "asarray", "array", "unique", "mean", "memmap"):
        for mode in ("one element fewer", "int16", "None", "out-of-range values"):
            patches.append((f"numpy.{function} gives {mode}", "np",
                            lambda f=function, m=mode: NumpyProxy(f, m)))
    for value in (10**6, -1):
        patches.append((f"numpy.random.shuffle writes {value}", "np",
                        lambda v=value: NumpyProxy("random.shuffle", v)))
    for name in ("KDTree", "BallTree"):
        for mode in TREE_MODES:
            patches.append((f"{name} gives {mode}", name, lambda m=mode: (lambda *a, **k: FakeTree(m, *a, **k))))
    for mode in ("one element fewer", "fewer columns", "int16", "None", "out-of-range values"):
        patches.append((f"cdist gives {mode}", "distance", lambda m=mode: FakeDistance(m)))
        patches.append((f"pdist gives {mode}", "pdist", lambda m=mode: _spoiled(pdist, m)))
        patches.append((f"squareform gives {mode}", "squareform", lambda m=mode: _spoiled(squareform, m)))
    for label, value in (("a vertex outside the data", (0.0, 10**6, 0)), ("a negative vertex", (0.0, -5, 0)),
                         ("a short tuple", (0.0,)), ("None", None), ("a parent outside the data", (0.0, 1, 10**6))):
        patches.append((f"heappop gives {label}", "heappop",
                        lambda v=value: (lambda heap: (heapq.heappop(heap), v)[1])))
    for mode in ("None", "empty", "nan"):
        patches.append((f"DistanceMetric gives {mode}", "DistanceMetric", lambda m=mode: FakeMetric(m)))
    return patches


# ---- callbacks that change the other arguments in the middle of a call ----------------------------


class Meddler:
    """Forwards every method of `graph`, running `meddle()` before each call."""

    def __init__(self, graph, meddle):
        self._graph, self._meddle = graph, meddle

    def __getattr__(self, name):
        method = getattr(self._graph, name)

        def call(*args, **kwargs):
            try:
                self._meddle()
            except Exception:
                pass
            return method(*args, **kwargs)

        return call


def meddling_subclass(module, meddle):
    """A subclass of `module`'s GraphWrapper whose to_numpy runs `meddle()` first."""
    base = load(module).GraphWrapper

    def to_numpy(self, index):
        try:
            meddle()
        except Exception:
            pass
        return base.to_numpy(self, index)

    return type("Meddling", (base,), {"to_numpy": to_numpy})


def _copy_into(cls, graph):
    lists = graph.to_numpy_all()
    dtype = INT64 if (lists and lists[0].dtype == np.int64) or not lists else FLOAT32
    return fill(cls, len(lists), dtype, [a.tolist() for a in lists], max([2, len(lists)] + [len(a) for a in lists]))


def _clear_components(args):
    components = args[2]

    def meddle():
        for entry in components:
            if isinstance(entry[0], list):
                entry[0].clear()
        components.clear()

    args[4] = Meddler(args[4], meddle)
    return args


def _swap_component_entries(args):
    components = args[2]
    args[4] = Meddler(args[4], lambda: components.__setitem__(slice(None), [(None, 1)] * len(components)))
    return args


def _scribble(array, value):
    def meddle():
        array[...] = value

    return meddle


def _desync(other_position, graph_position=0):
    """The graph at `graph_position` pops elements of the one at `other_position` as it is used."""

    def change(args):
        other = args[other_position]

        def meddle():
            for i, items in enumerate(other.to_numpy_all()):
                if len(items):
                    other.pop(i, 0)
                    return

        args[graph_position] = Meddler(args[graph_position], meddle)
        return args

    return change


def _meddling_own(position, meddle_with):
    def change(args):
        cls = meddling_subclass("nearmesh", lambda: meddle_with(args))
        args[position] = _copy_into(cls, args[position])
        return args

    return change


def _append_everywhere(args):
    weights = args[3]
    for i in range(len(weights.to_numpy_all())):
        weights.append(i, 0.0)


REENTRANT = {
    "velmar_connect.connect_unlabeled": [
        ("linking clears the components and their vertex lists", _clear_components),
        ("linking replaces the component entries", _swap_component_entries),
    ],
    "velmar_bfs.find_connected_components": [
        ("to_numpy scribbles over labeled_indices",
         lambda args: [args[0], Meddler(args[1], _scribble(args[0].labeled_indices, 2**40))]),
    ],
    "velmar_lp.weighted_label_propagation": [
        ("to_numpy rewrites the labels", lambda args: [Meddler(args[0], _scribble(args[2], 2**30))] + args[1:]),
        ("to_numpy pops from the weights", _desync(1)),
    ],
    "nearmesh.informative_edges": [
        ("to_numpy grows the weight lists", _meddling_own(2, _append_everywhere)),
        ("to_numpy changes labeled_count", _meddling_own(2, lambda args: setattr(args[0], "labeled_count", 10**6))),
    ],
    "treleck_core.find_all_paths_with_labels": [
        ("to_numpy clears the caller's path",
         lambda args: [Meddler(args[0], lambda: args[4].clear())] + args[1:4] + [[0, 1]]),
        ("to_numpy rewrites the labels", lambda args: [Meddler(args[0], _scribble(args[1], 5))] + args[1:]),
    ],
    "treleck_core.explore_graph_recursive": [
        ("to_numpy rewrites the labels", lambda args: [Meddler(args[0], _scribble(args[1], -1))] + args[1:]),
    ],
    "treleck_core.find_subgraph_with_labels": [
        ("to_numpy pops from the weights", _desync(1)),
    ],
    "treleck_core.make_labels": [
        ("to_numpy fills the visited set", lambda args: [Meddler(args[0], lambda: args[3].update(range(-3, 50)))]
         + args[1:]),
    ],
    "treleck_core.clusterize": [
        ("to_numpy pops from the weights", _desync(1)),
        ("the weights pop from the connections", _desync(0, 1)),
    ],
}
