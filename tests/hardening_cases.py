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


def _wrapper_row(module, name, params, make_args, dtype=INT64, lookup=True):
    def build(mod, ctx):
        lists = ctx.tree if dtype == INT64 else ctx.tree_weights
        graph = fill(mod.GraphWrapper, ctx.n, dtype, lists, max(2, ctx.n), lookup)
        return getattr(graph, name.split(".", 1)[1]), make_args(ctx)

    return Row(module, name, params, build)


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
        _wrapper_row(module, "GraphWrapper.__reduce__", [], lambda ctx: []),
        _wrapper_row(module, "GraphWrapper.__setstate__", [Param("state", "object")], lambda ctx: [None]),
    ]
    if module != "nearmesh":
        rows += [
            _wrapper_row(module, "GraphWrapper.pop", [Param("list_index", "vertex"), Param("element_index", "int")],
                         lambda ctx: [0, 0]),
            _wrapper_row(module, "GraphWrapper.pop", [Param("list_index", "vertex"), Param("element_index", "int")],
                         lambda ctx: [0, 0], dtype=FLOAT32),
            _wrapper_row(module, "GraphWrapper.pop_max", [], lambda ctx: [], dtype=FLOAT32),
            _wrapper_row(module, "GraphWrapper.pop_max", [], lambda ctx: [], dtype=INT64),
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
               extra=[("shorter than the graph", lambda ctx: np.zeros(1, dtype=np.uint8))]),
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
               extra=[("shorter than the points", lambda ctx: np.zeros(1, dtype=np.int32))]),
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
