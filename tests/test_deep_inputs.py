"""Deep inputs: a chain of 100000 vertices through every graph traversal.

A traversal that recursed on the C stack, or copied its path at every step, would crash or run out
of memory here; each test checks the complete result as well, so a traversal cut short fails too.
"""

import os

import numpy as np
import pytest

from hardening_cases import FLOAT32, INT64, load

N = 100_000


def chain_lists(n):
    """Adjacency lists of the chain 0 - 1 - ... - n-1, neighbours in ascending order."""
    return [[v for v in (i - 1, i + 1) if 0 <= v < n] for i in range(n)]


def graph(module, lists, dtype, lookup=False, subclass=False):
    """A wrapper holding `lists`; a Python subclass is read through its methods, not directly."""
    cls = load(module).GraphWrapper
    if subclass:
        cls = type("Subclass", (cls,), {})
    wrapper = cls(len(lists), dtype, 2, lookup)
    append = wrapper.append
    for index, items in enumerate(lists):
        for value in items:
            append(index, value)
    return wrapper


def lists_of(wrapper):
    return [a.tolist() for a in wrapper.to_numpy_all()]


def available(module, name):
    try:
        return hasattr(load(module), name)
    except ImportError:
        return False


def needs(module, name):
    return pytest.mark.skipif(not available(module, name), reason=f"{module}.{name} is not built yet")


@pytest.fixture(scope="module")
def chain():
    return chain_lists(N)


# Our own wrappers are read directly; a subclass goes through its Python methods.
via = pytest.mark.parametrize("subclass", [False, True], ids=["own wrapper", "subclass"])


class InputData:
    def __init__(self, n, labeled):
        self.n = n
        self.labeled_indices = np.asarray(labeled, dtype=np.int64)
        self.labeled_count = len(labeled)
        self.data = np.zeros((n, 1), dtype=np.float32)

    def get_labeled(self):
        return self.data[self.labeled_indices]


# ---- velmar ---------------------------------------------------------------------------------------


@needs("velmar_bfs", "find_connected_components")
@via
def test_components_of_a_long_chain(chain, subclass):
    bfs = load("velmar_bfs")
    connections = graph("nearmesh", chain, INT64, subclass=subclass)
    components, flags = bfs.find_connected_components(InputData(N, [N - 1]), connections)
    assert len(components) == 1
    nodes, flag = components[0]
    assert nodes == list(range(N)) and flag == 1
    assert flags.dtype == np.uint8 and flags.all()


@needs("velmar_connect", "connect_unlabeled")
def test_linking_along_a_long_chain():
    # Vertex 0 is labeled; every other vertex is an unlabeled component of its own whose only
    # nearest neighbour is the vertex before it, so the links run the whole chain in one pass.
    connect = load("velmar_connect")
    knn = np.arange(-1, N - 1, dtype=np.int64).reshape(N, 1)
    knn[0, 0] = 1
    knn_weights = np.ones((N, 1), dtype=np.float32)
    components = [([0], 1)] + [([v], 0) for v in range(1, N)]
    flags = np.zeros(N, dtype=np.uint8)
    flags[0] = 1
    empty = [[] for _ in range(N)]
    connections = graph("nearmesh", empty, INT64, lookup=True)
    weights = graph("nearmesh", empty, FLOAT32)
    result = connect.connect_unlabeled(knn, knn_weights, components, flags, connections, weights)
    assert result[0] is connections and result[1] is weights
    assert lists_of(connections) == chain_lists(N)
    assert [len(w) for w in lists_of(weights)] == [len(c) for c in chain_lists(N)]


@needs("velmar_lp", "weighted_label_propagation")
@via
def test_propagation_along_a_long_chain(chain, subclass):
    lp = load("velmar_lp")
    labels = np.full(N, -1, dtype=np.int32)
    labels[0] = 3
    weights = graph("nearmesh", [[1.0] * len(items) for items in chain], FLOAT32, subclass=subclass)
    connections = graph("nearmesh", chain, INT64, subclass=subclass)
    result = lp.weighted_label_propagation(connections, weights, labels)
    assert np.shares_memory(result, labels)
    assert (labels == 3).all()


# ---- treleck --------------------------------------------------------------------------------------


def end_labels():
    labels = np.full(N, -1, dtype=np.int8)
    labels[0], labels[-1] = 0, 1
    return labels


def alternating_labels():
    return (np.arange(N) % 2).astype(np.int8)


@needs("treleck_core", "find_all_paths_with_labels")
@via
def test_one_path_through_a_long_chain(chain, subclass):
    core = load("treleck_core")
    paths = core.find_all_paths_with_labels(graph("treleck_core", chain, INT64, subclass=subclass), end_labels(), 0)
    assert paths == [list(range(N))]


@needs("treleck_core", "explore_graph_recursive")
@pytest.mark.parametrize("labels, expected", [
    (end_labels, lambda: [list(range(N))]),
    # Every vertex labeled, labels alternating: the follow-up searches hop N - 1 times.
    (alternating_labels, lambda: [[v, v + 1] for v in range(N - 1)]),
], ids=["labels at the ends", "alternating labels"])
@via
def test_exploring_a_long_chain(chain, labels, expected, subclass):
    core = load("treleck_core")
    connections = graph("treleck_core", chain, INT64, subclass=subclass)
    assert core.explore_graph_recursive(connections, labels(), 0) == expected()


@needs("treleck_core", "find_subgraph_with_labels")
@pytest.mark.parametrize("labels", [end_labels, alternating_labels], ids=["labels at the ends", "alternating"])
def test_subgraph_of_a_long_chain(chain, labels):
    core = load("treleck_core")
    weights = [[float(i + v) for v in items] for i, items in enumerate(chain)]
    sub_connections, sub_weights = core.find_subgraph_with_labels(
        graph("treleck_core", chain, INT64), graph("treleck_core", weights, FLOAT32), labels())
    assert lists_of(sub_connections) == chain
    assert lists_of(sub_weights) == weights


@needs("treleck_core", "make_labels")
@via
def test_flood_fill_of_a_long_chain(chain, subclass):
    core = load("treleck_core")
    labels = np.full(N, -1, dtype=np.int8)
    visited = set()
    assert core.make_labels(graph("treleck_core", chain, INT64, subclass=subclass), 0, 5, visited, labels) is None
    assert (labels == 5).all() and visited == set(range(N))


@needs("treleck_core", "clusterize")
@via
def test_clusterize_a_long_chain(chain, subclass):
    # The one heavy edge in the middle is cut; the two halves take the labels at their ends.
    core = load("treleck_core")
    middle = N // 2
    weights = [[9.0 if {i, v} == {middle - 1, middle} else 1.0 for v in items] for i, items in enumerate(chain)]
    connections, weight_graph, new_labels = core.clusterize(
        graph("treleck_core", chain, INT64, subclass=subclass),
        graph("treleck_core", weights, FLOAT32, subclass=subclass), end_labels())
    expected = np.zeros(N, dtype=np.int8)
    expected[middle:] = 1
    np.testing.assert_array_equal(new_labels, expected)
    cut = lists_of(connections)
    assert cut[middle - 1] == [middle - 2] and cut[middle] == [middle + 1]


# ---- a large input through the distance file ------------------------------------------------------

LARGE = 500_001  # one sample above the limit of the in-memory distance matrix


@needs("nearmesh", "informative_edges")
def test_informative_edges_of_a_large_chain_through_the_distance_file(tmp_path, monkeypatch):
    # Samples on a line, each joined to the next and, by a long shortcut, to the one after. Two
    # samples are labeled. The way to a labeled sample always runs through the next sample on the
    # line, so exactly the chain edges are kept (in both directions) and every shortcut is dropped.
    monkeypatch.chdir(tmp_path)
    nearmesh = load("nearmesh")
    assert LARGE > getattr(nearmesh, "_FILE_PATH_THRESHOLD", 500_000)
    rng = np.random.default_rng(1)
    positions = np.cumsum(rng.uniform(0.5, 1.5, LARGE))

    class Data:
        n = LARGE
        labeled_count = 2
        labeled_indices = np.array([LARGE // 3, 2 * LARGE // 3], dtype=np.int64)
        data = positions.astype(np.float32)[:, None]

        def get_labeled(self):
            return self.data[self.labeled_indices]

    gaps = np.diff(positions).astype(np.float32)
    connections = nearmesh.GraphWrapper(LARGE, INT64, 2)
    weights = nearmesh.GraphWrapper(LARGE, FLOAT32, 2)
    add_connection, add_weight = connections.append, weights.append
    for i, gap in enumerate(gaps.tolist()):
        for a, b, w in ((i, i + 1, gap), (i + 1, i, gap)):
            add_connection(a, b)
            add_weight(a, w)
    for i in range(LARGE - 2):
        for a, b in ((i, i + 2), (i + 2, i)):
            add_connection(a, b)
            add_weight(a, 10.0)
    kept_connections, kept_weights = nearmesh.informative_edges(Data(), 1, connections, weights)
    ends = kept_connections.to_numpy_all()
    starts = np.repeat(np.arange(LARGE), [len(a) for a in ends])
    ends = np.concatenate(ends)
    order = np.lexsort((ends, starts))
    chain = np.arange(LARGE - 1)
    expected = np.array(sorted(zip(np.r_[chain, chain + 1].tolist(), np.r_[chain + 1, chain].tolist())))
    np.testing.assert_array_equal(np.c_[starts[order], ends[order]], expected)
    kept = np.concatenate(kept_weights.to_numpy_all())[order]
    np.testing.assert_array_equal(kept, gaps[np.minimum(expected[:, 0], expected[:, 1])])
    assert set(os.listdir(tmp_path)) <= {"tmp.dat"}
