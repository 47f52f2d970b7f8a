"""treleck_core: labeled path search, label subgraph, clusterize and make_labels."""

import numpy as np
import pytest

from sorvane.algorithms.src.treleck.binaries.treleck_core import (
    GraphWrapper,
    clusterize,
    explore_graph_recursive,
    find_all_paths_with_labels,
    find_subgraph_with_labels,
    make_labels,
)


class Recording(GraphWrapper):
    """A Python subclass: module code must go through its methods, which log appends and pops."""

    def __init__(self, *args):
        self.calls = []

    def append(self, index, value):
        self.calls.append(("append", index, value))
        return super().append(index, value)

    def pop(self, list_index, element_index):
        self.calls.append(("pop", list_index, element_index))
        return super().pop(list_index, element_index)


class PlainGraph:
    """Not a GraphWrapper at all: only to_numpy, returning Python lists."""

    def __init__(self, adjacency):
        self.adjacency = adjacency

    def to_numpy(self, index):
        return list(self.adjacency[index])


def graph(adjacency, weights=None, cls=GraphWrapper):
    n = len(adjacency)
    connections, weight_lists = cls(n, 0, n), cls(n, 1, n)
    for i, neighbours in enumerate(adjacency):
        for j, v in enumerate(neighbours):
            connections.append(i, v)
            weight_lists.append(i, 1.0 if weights is None else weights[i][j])
    if cls is Recording:
        connections.calls.clear()
        weight_lists.calls.clear()
    return connections, weight_lists


def weighted_tree(n, edges):
    """Adjacency and weight lists of the edges {u, v}: w, added in the given order."""
    adjacency = [[] for _ in range(n)]
    weights = [[] for _ in range(n)]
    for (u, v), w in edges.items():
        adjacency[u].append(v)
        adjacency[v].append(u)
        weights[u].append(w)
        weights[v].append(w)
    return adjacency, weights


def lists(wrapper):
    return [a.tolist() for a in wrapper.to_numpy_all()]


def int8(values):
    return np.array(values, dtype=np.int8)


CHAIN = [[1], [0, 2], [1, 3], [2, 4], [3]]
CHAIN_LABELS = [0, -1, 1, -1, 0]
CHAIN_WEIGHTS = {(0, 1): 1.0, (1, 2): 5.0, (2, 3): 2.0, (3, 4): 3.0}


# ---- literal recursive formulation, the reference for randomized comparisons ---------------------


def ref_find_all(adjacency, labels, start, bomb=-1, path=None):
    current = [start] if path is None else list(path) + [start]
    if bomb != -1 and start == bomb:
        return []
    if labels[start] > -1 and start != current[0]:
        return [current]
    result = []
    for neighbour in adjacency[start]:
        if neighbour in current or labels[neighbour] == labels[current[0]]:
            continue
        result += ref_find_all(adjacency, labels, neighbour, bomb, current)
    return result


def ref_explore(adjacency, labels, start):
    found = []

    def explore(current, bomb):
        paths = ref_find_all(adjacency, labels, current, bomb)
        found.extend(paths)
        for path in paths:
            if path[-1] != bomb:
                explore(path[-1], path[-2])

    explore(start, -1)
    return found


def ref_subgraph(adjacency, weights, labels):
    all_paths, visited = [], set()
    labeled = [i for i in range(len(labels)) if labels[i] != -1]
    node_list = list(labeled)
    while node_list:
        start = node_list.pop(0)
        new_paths = ref_explore(adjacency, labels, start)
        if new_paths:
            all_paths += new_paths
            for path in all_paths:
                visited.update(path)
        else:
            visited.add(start)
        node_list = [v for v in labeled if v not in visited]
    sub = [[] for _ in adjacency]
    sub_weights = [[] for _ in adjacency]
    for path in all_paths:
        for a, b in zip(path, path[1:]):
            for x, y in ((a, b), (b, a)):
                if y not in sub[x]:
                    sub[x].append(y)
                    sub_weights[x].append(weights[x][adjacency[x].index(y)])
    return sub, sub_weights


def ref_clusterize(adjacency, weights, labels):
    """Cuts the first maximal entry of the subgraph's weight lists (list order, then position)."""
    adjacency = [list(a) for a in adjacency]
    weights = [list(w) for w in weights]
    while True:
        sub, sub_weights = ref_subgraph(adjacency, weights, labels)
        entries = [(i, j) for i in range(len(sub)) for j in range(len(sub[i]))]
        if not entries:
            break
        heaviest = max(sub_weights[i][j] for i, j in entries)
        i, j = next((i, j) for i, j in entries if sub_weights[i][j] == heaviest)
        first, second = i, sub[i][j]
        p, q = adjacency[first].index(second), adjacency[second].index(first)
        del adjacency[first][p], adjacency[second][q], weights[first][p], weights[second][q]
    groups = {}
    for i, label in enumerate(labels):
        if label != -1:
            groups.setdefault(label, []).append(i)
    for group in groups.values():
        for a, b in zip(group, group[1:]):
            adjacency[a].append(b)
            adjacency[b].append(a)
            weights[a].append(1.0)
            weights[b].append(1.0)
    new_labels = list(labels)

    def fill(node, label, visited):
        visited.add(node)
        new_labels[node] = label
        for neighbour in adjacency[node]:
            if neighbour not in visited:
                fill(neighbour, label, visited)

    for group in groups.values():
        fill(group[0], new_labels[group[0]], set())
    return adjacency, weights, new_labels


def random_forest(rng, n):
    """A random forest with shuffled lists, small integer weights (many ties) and sparse labels."""
    edges = {}
    for v in range(1, n):
        if rng.random() < 0.9:
            edges[(int(rng.integers(0, v)), v)] = float(rng.integers(1, 5))
    keys = list(edges)
    rng.shuffle(keys)
    adjacency, weights = weighted_tree(n, {k: edges[k] for k in keys})
    labels = rng.choice([-1, -1, -1, -2, 0, 1, 2], size=n).tolist()
    return adjacency, weights, labels


# ---- find_all_paths_with_labels --------------------------------------------------------------------


@pytest.mark.parametrize(
    "adjacency, labels, kwargs, expected",
    [
        (CHAIN, CHAIN_LABELS, {"start": 0}, [[0, 1, 2]]),
        ([[1], [0, 2], [1]], [0, 0, 1], {"start": 0}, []),
        ([[1], [0, 2], [1]], [0, 0, 1], {"start": 1}, [[1, 2]]),
        ([[1], [0, 2, 3], [1], [1]], [0, -1, 1, 2], {"start": 0}, [[0, 1, 2], [0, 1, 3]]),
        ([[1], [3, 0, 2], [1], [1]], [0, -1, 1, 2], {"start": 0}, [[0, 1, 3], [0, 1, 2]]),
        ([[1, 2, 3], [0], [0], [0]], [-1, 0, -1, 1], {"start": 0}, [[0, 1], [0, 3]]),
        ([[1], [0, 2, 3], [1], [1]], [0, -1, 1, 1], {"start": 0}, [[0, 1, 2], [0, 1, 3]]),
        ([[], [2], [1]], [0, -1, 1], {"start": 0}, []),
        (CHAIN, CHAIN_LABELS, {"start": 2, "bomb_node": 1}, [[2, 3, 4]]),
        (CHAIN, CHAIN_LABELS, {"start": 2, "bomb_node": 2}, []),
        (CHAIN, CHAIN_LABELS, {"start": 1, "path": [0]}, [[0, 1, 2]]),
        ([[1], [0, 2], [1]], [1, -1, 1], {"start": 1, "path": [0]}, []),
        ([[1], [0, 2], [1]], [1, -1, 1], {"start": 1}, [[1, 0], [1, 2]]),
    ],
    ids=[
        "chain", "own-label-blocks", "beyond-own-label", "star", "star-other-order", "unlabeled-origin",
        "same-label-ends", "no-neighbours", "bomb-behind", "start-is-bomb", "given-path", "origin-from-path",
        "origin-is-start",
    ],
)
def test_find_all_paths(adjacency, labels, kwargs, expected):
    connections, _ = graph(adjacency)
    assert find_all_paths_with_labels(connections, int8(labels), **kwargs) == expected


def test_given_path_is_copied_not_changed():
    connections, _ = graph(CHAIN)
    given = [0]
    paths = find_all_paths_with_labels(connections, int8(CHAIN_LABELS), 1, -1, given)
    assert paths == [[0, 1, 2]] and given == [0]
    paths[0].append(9)
    assert find_all_paths_with_labels(connections_sparse=connections, labels=int8(CHAIN_LABELS), start=1,
                                      path=(0,)) == [[0, 1, 2]]


# ---- explore_graph_recursive -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "adjacency, labels, start, expected",
    [
        (CHAIN, CHAIN_LABELS, 0, [[0, 1, 2], [2, 3, 4]]),
        # the paths from the start, then the follow-ups of the first path's end (to completion,
        # [4, 5] included) before those of the second path's end
        ([[1, 3], [0, 2], [1, 4], [0, 6], [2, 5], [4], [3]], [0, -1, 1, 2, 0, 1, 0], 0,
         [[0, 1, 2], [0, 3], [2, 4], [4, 5], [3, 6]]),
        ([[1], [0, 2], [1]], [0, 0, 0], 0, []),
    ],
    ids=["chain", "depth-first-hops", "one-label"],
)
def test_explore(adjacency, labels, start, expected):
    connections, _ = graph(adjacency)
    assert explore_graph_recursive(connections, int8(labels), start) == expected


def test_explore_on_a_cycle_raises_instead_of_looping():
    connections, _ = graph([[1, 3], [0, 2], [1, 3], [2, 0]])
    with pytest.raises(ValueError, match="cycle"):
        explore_graph_recursive(connections, int8([0, -1, 1, -1]), 0)


def test_randomized_against_the_recursive_formulation():
    rng = np.random.default_rng(5)
    for _ in range(60):
        adjacency, weights, labels = random_forest(rng, int(rng.integers(1, 16)))
        connections, weight_lists = graph(adjacency, weights)
        for v in range(len(labels)):
            assert find_all_paths_with_labels(connections, int8(labels), v) == ref_find_all(adjacency, labels, v)
            assert explore_graph_recursive(connections, int8(labels), v) == ref_explore(adjacency, labels, v)
        sub, sub_weights = find_subgraph_with_labels(connections, weight_lists, int8(labels))
        assert (lists(sub), lists(sub_weights)) == ref_subgraph(adjacency, weights, labels)
        for cls in (GraphWrapper, Recording):
            connections, weight_lists = graph(adjacency, weights, cls)
            result = clusterize(connections, weight_lists, int8(labels))
            assert result[0] is connections and result[1] is weight_lists
            assert (lists(connections), lists(weight_lists), result[2].tolist()) == ref_clusterize(
                adjacency, weights, labels)


# ---- find_subgraph_with_labels ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "edges, labels, sub, sub_weights",
    [
        (CHAIN_WEIGHTS, CHAIN_LABELS, CHAIN, [[1.0], [1.0, 5.0], [5.0, 2.0], [2.0, 3.0], [3.0]]),
        # the chain after its first cut
        ({(0, 1): 1.0, (2, 3): 2.0, (3, 4): 3.0}, CHAIN_LABELS, [[], [], [3], [2, 4], [3]],
         [[], [], [2.0], [2.0, 3.0], [3.0]]),
        (CHAIN_WEIGHTS, [-1] * 5, [[]] * 5, [[]] * 5),
        (CHAIN_WEIGHTS, [0, -1, 0, -1, 0], [[]] * 5, [[]] * 5),
        # 0 sees only its own label: searched, nothing found; 1-2 and 2-3 lie on two paths, stored once
        ({(0, 1): 1.0, (1, 2): 2.0, (2, 3): 3.0, (3, 4): 4.0, (3, 5): 5.0}, [0, 0, -1, -1, 1, 2],
         [[], [2], [1, 3], [2, 4, 5], [3], [3]], [[], [2.0], [2.0, 3.0], [3.0, 4.0, 5.0], [4.0], [5.0]]),
        # unlabeled side branches stay out
        ({(0, 1): 1.0, (1, 2): 2.0, (1, 3): 9.0, (3, 4): 1.0}, [0, -1, 1, -1, -1], [[1], [0, 2], [1], [], []],
         [[1.0], [1.0, 2.0], [2.0], [], []]),
    ],
    ids=["chain", "chain-after-cut", "no-labels", "one-label", "own-label-and-shared-edge", "side-branch"],
)
def test_find_subgraph(edges, labels, sub, sub_weights):
    connections, weight_lists = graph(*weighted_tree(len(labels), edges))
    sub_connections, sub_weight_lists = find_subgraph_with_labels(connections, weight_lists, int8(labels))
    assert lists(sub_connections) == sub and lists(sub_weight_lists) == sub_weights
    assert type(sub_connections) is GraphWrapper and sub_weight_lists.to_numpy(0).dtype == np.float32


def test_subgraph_weights_are_those_of_the_full_graph_position():
    # edge 0-1 stored twice in list 0 with different weights: the first occurrence counts
    connections, weights = graph([[1, 1], [0]], [[7.0, 8.0], [6.0]])
    sub, sub_weights = find_subgraph_with_labels(connections, weights, int8([0, 1]))
    assert lists(sub) == [[1], [0]] and lists(sub_weights) == [[7.0], [6.0]]


# ---- clusterize ------------------------------------------------------------------------------------


def test_clusterize_worked_chain():
    connections, weights = graph(*weighted_tree(5, CHAIN_WEIGHTS), cls=Recording)
    labels = int8(CHAIN_LABELS)
    result = clusterize(connections, weights, labels)
    # edge 1-2 (positions 1 and 0), then edge 3-4 (positions 1 and 0)
    cuts = [("pop", 1, 1), ("pop", 2, 0), ("pop", 3, 1), ("pop", 4, 0)]
    assert [c for c in connections.calls if c[0] == "pop"] == cuts
    assert [c for c in weights.calls if c[0] == "pop"] == cuts
    assert lists(connections) == [[1, 4], [0], [3], [2], [0]]
    assert lists(weights) == [[1.0, 1.0], [1.0], [2.0], [2.0], [1.0]]
    assert result[2].dtype == np.int8 and result[2].tolist() == [0, 0, 1, 1, 0]
    assert labels.tolist() == CHAIN_LABELS


@pytest.mark.parametrize(
    "edges, labels, connections_after, new_labels",
    [
        # a heavy edge towards unlabeled vertices only is never cut
        ({(0, 1): 1.0, (1, 2): 2.0, (1, 3): 9.0}, [0, -1, 1, -1], [[1], [0, 3], [], [1]], [0, 0, 1, 0]),
        ({(0, 1): 1.0, (1, 2): 2.0}, [-1, -1, -1], [[1], [0, 2], [1]], [-1, -1, -1]),
        ({(0, 1): 1.0, (1, 2): 2.0}, [-1, 3, 3], [[1], [0, 2, 2], [1, 1]], [3, 3, 3]),
        # the second fill spreads the label the first one wrote at its representative
        ({(0, 1): 1.0}, [-2, -3], [[1], [0]], [-2, -2]),
        # a tree without a labeled vertex keeps -1
        ({(0, 1): 4.0, (2, 3): 1.0}, [0, -1, -1, -1], [[1], [0], [3], [2]], [0, 0, -1, -1]),
    ],
    ids=["heavy-side-branch", "no-labels", "one-label", "fill-reads-current-label", "unlabeled-tree"],
)
def test_clusterize_cases(edges, labels, connections_after, new_labels):
    connections, weights = graph(*weighted_tree(len(labels), edges))
    _, _, result = clusterize(connections, weights, int8(labels))
    assert lists(connections) == connections_after and result.tolist() == new_labels


@pytest.mark.parametrize(
    "edges, labels, cut",
    [
        # scan order 0-3 (5.0), 1-3 (1.0), 1-2 (5.0): the first two maxima lie in lists 0 and 1,
        # which are not adjacent; the edge of the first maximal entry, 0-3, is cut
        ({(0, 3): 5.0, (3, 1): 1.0, (1, 2): 5.0}, [0, -1, 1, -1], (0, 3)),
        # lists 0 and 1 hold the first two maxima and are joined by the light edge 0-1
        ({(0, 1): 1.0, (0, 2): 5.0, (1, 3): 5.0}, [-1, -1, 0, 1], (0, 2)),
    ],
    ids=["maxima-not-adjacent", "maxima-joined-by-light-edge"],
)
def test_tied_heaviest_edges_cut_the_first_maximal_entry(edges, labels, cut):
    connections, weights = graph(*weighted_tree(len(labels), edges), cls=Recording)
    clusterize(connections, weights, int8(labels))
    first_pops = [c[1] for c in connections.calls if c[0] == "pop"][:2]
    assert tuple(first_pops) == cut


def test_labels_grouped_in_order_of_first_occurrence():
    connections, weights = graph([[], [], [], []], cls=Recording)
    _, _, result = clusterize(connections, weights, int8([2, 0, 2, 0]))
    assert connections.calls == [("append", 0, 2), ("append", 2, 0), ("append", 1, 3), ("append", 3, 1)]
    assert weights.calls == [("append", 0, 1), ("append", 2, 1), ("append", 1, 1), ("append", 3, 1)]
    assert result.tolist() == [2, 0, 2, 0]


def test_clusterize_nan_weights_are_never_the_heaviest():
    connections, weights = graph(*weighted_tree(2, {(0, 1): float("nan")}))
    with pytest.raises(ValueError, match="^All sub-arrays are empty, cannot pop max$"):
        clusterize(connections, weights, int8([0, 1]))


# ---- make_labels -----------------------------------------------------------------------------------


def test_make_labels_respects_a_prefilled_visited_set():
    connections, _ = graph(CHAIN)
    labels = int8([-1] * 5)
    visited = {2}
    assert make_labels(connections, 0, 5, visited, labels) is None
    assert labels.tolist() == [5, 5, -1, -1, -1] and visited == {0, 1, 2}
    visited = {0, 3}
    make_labels(connections, 0, 7, visited, labels)  # the start is relabelled even when visited
    assert labels.tolist() == [7, 7, 7, -1, -1] and visited == {0, 1, 2, 3}


def test_make_labels_on_any_object_with_to_numpy():
    labels = int8([-1] * 4)
    make_labels(PlainGraph([[2], [], [0, 3], [2]]), 3, 1, set(), labels)
    assert labels.tolist() == [1, -1, 1, 1]


@pytest.mark.parametrize(
    "adjacency, node, label, error, message",
    [
        (CHAIN, 0, 128, OverflowError, "int8"),
        (CHAIN, 0, -129, OverflowError, "int8"),
        (CHAIN, 5, 1, IndexError, "Out of bounds"),
        (CHAIN, -1, 1, IndexError, "Out of bounds"),
        ([[-1], [], [], [], []], 0, 1, IndexError, "Out of bounds"),
        ([[2**40], [], [], [], []], 0, 1, OverflowError, "^value too large to convert to int$"),
    ],
    ids=["label-too-large", "label-too-small", "node-past-end", "negative-node", "negative-neighbour",
         "neighbour-beyond-int"],
)
def test_make_labels_errors(adjacency, node, label, error, message):
    connections, _ = graph(adjacency)
    labels = int8([-1] * 5)
    with pytest.raises(error, match=message):
        make_labels(connections, node, label, set(), labels)


# ---- arguments and vertex indices ------------------------------------------------------------------


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda c, w: find_all_paths_with_labels(c, [0, 1, 0], 0), TypeError,
         r"^Argument 'labels' has incorrect type \(expected numpy.ndarray, got list\)$"),
        (lambda c, w: explore_graph_recursive(c, np.zeros(3, np.int32), 0), ValueError,
         "^Buffer dtype mismatch, expected 'int8_t' but got 'int'$"),
        (lambda c, w: find_subgraph_with_labels(c, w, np.zeros((3, 1), np.int8)), ValueError,
         r"^Buffer has wrong number of dimensions \(expected 1, got 2\)$"),
        (lambda c, w: clusterize(c, w, None), TypeError, "Argument 'labels' has incorrect type"),
        (lambda c, w: make_labels(c, 0, 1, frozenset(), int8([0, 0, 0])), TypeError,
         r"^Argument 'visited' has incorrect type \(expected set, got frozenset\)$"),
        (lambda c, w: find_all_paths_with_labels(c, int8([0, -1, 1]), "0"), TypeError,
         "^an integer is required$"),
        (lambda c, w: find_all_paths_with_labels(c, int8([0, -1, 1]), 3), IndexError, "Out of bounds"),
        (lambda c, w: find_all_paths_with_labels(c, int8([0, -1]), 0), IndexError, "Out of bounds"),
        (lambda c, w: find_all_paths_with_labels(w, int8([0, -1, 1]), 0), ValueError,
         "^Buffer dtype mismatch, expected 'ITYPE_t' but got 'float'$"),
        (lambda c, w: clusterize(c, w, int8([0, -1, 1, 1])), IndexError, "^Invalid array index$"),
    ],
    ids=["labels-list", "labels-int32", "labels-2d", "labels-none", "visited-frozenset",
         "start-str", "start-past-labels", "neighbour-past-labels", "weights-as-connections",
         "vertex-past-graph"],
)
def test_argument_and_index_errors(call, error, message):
    connections, weights = graph([[1], [0, 2], [1]])
    with pytest.raises(error, match=message):
        call(connections, weights)


def test_read_only_labels_are_read_but_not_written():
    connections, weights = graph(*weighted_tree(5, CHAIN_WEIGHTS))
    labels = int8([0, 9, -1, 9, 1, 9, -1, 9, 0])[::2]  # strided view of the chain's labels
    labels.flags.writeable = False
    assert explore_graph_recursive(connections, labels, 0) == [[0, 1, 2], [2, 3, 4]]
    assert clusterize(connections, weights, labels)[2].tolist() == [0, 0, 1, 1, 0]
    with pytest.raises(ValueError, match="read-only"):
        make_labels(connections, 0, 1, set(), labels)


# ---- a long chain: no recursion on the C stack -----------------------------------------------------


def test_chain_of_100000_vertices():
    n = 100_000
    connections, weights = GraphWrapper(n, 0, 2), GraphWrapper(n, 1, 2)
    heavy = 61_234
    for v in range(n - 1):
        w = 2.0 if v == heavy else 1.0
        connections.append(v, v + 1)
        connections.append(v + 1, v)
        weights.append(v, w)
        weights.append(v + 1, w)
    labels = np.full(n, -1, dtype=np.int8)
    labels[0], labels[-1] = 0, 1

    (path,) = find_all_paths_with_labels(connections, labels, 0)
    assert path == list(range(n))

    alternating = (np.arange(n) % 2).astype(np.int8)
    hops = explore_graph_recursive(connections, alternating, 0)
    assert len(hops) == n - 1 and hops[-1] == [n - 2, n - 1]

    filled = np.full(n, -1, dtype=np.int8)
    visited = set()
    make_labels(connections, n - 1, 3, visited, filled)
    assert (filled == 3).all() and len(visited) == n

    _, _, result = clusterize(connections, weights, labels)
    assert (result[: heavy + 1] == 0).all() and (result[heavy + 1:] == 1).all()
    assert connections.to_numpy(heavy).tolist() == [heavy - 1]


def test_make_labels_stops_when_the_visited_set_is_emptied_during_the_fill():
    visited = set()

    class Forgetful(GraphWrapper):
        def to_numpy(self, index):
            visited.clear()
            return super().to_numpy(index)

    graph = Forgetful(3, 0, 3)
    for a, b in [(0, 1), (1, 0), (1, 2), (2, 1)]:
        graph.append(a, b)
    labels = np.full(3, -1, dtype=np.int8)
    with pytest.raises(RecursionError):
        make_labels(graph, 0, 1, visited, labels)


@pytest.mark.parametrize(
    "call, error",
    [
        # Later parameters are converted before the labels array is checked.
        (lambda: find_all_paths_with_labels(GraphWrapper(1, 0, 1), np.zeros(1), "x"), TypeError),
        (lambda: explore_graph_recursive(GraphWrapper(1, 0, 1), np.zeros(1), "x"), TypeError),
        # A missing visited set fails where the fill first adds to it.
        (lambda: make_labels(GraphWrapper(1, 0, 1), 0, 1, None, np.zeros(1, np.int8)), AttributeError),
        # A vertex outside the labels is an IndexError, also for an empty label array.
        (lambda: make_labels(GraphWrapper(1, 0, 1), 0, 5, set(), np.zeros(0, np.int8)), IndexError),
    ],
)
def test_argument_errors_in_call_order(call, error):
    with pytest.raises(error):
        call()


def test_clusterize_cannot_remove_from_wrappers_without_removal_methods():
    from sorvane.algorithms.src.velmar.binaries import nearmesh

    connections, weights = nearmesh.GraphWrapper(2, 0, 2), nearmesh.GraphWrapper(2, 1, 2)
    for a, b in [(0, 1), (1, 0)]:
        connections.append(a, b)
        weights.append(a, 3.0)
    with pytest.raises(AttributeError, match="pop"):
        clusterize(connections, weights, np.array([0, 1], dtype=np.int8))
