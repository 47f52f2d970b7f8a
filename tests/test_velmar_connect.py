"""connect_unlabeled: linking components without a labeled vertex through nearest-neighbour edges."""

import numpy as np
import pytest

from sorvane.algorithms.src.velmar.binaries import nearmesh, velmar_connect

connect_unlabeled = velmar_connect.connect_unlabeled


def graph_pair(lists):
    """A connections wrapper with lookup sets and its weights wrapper (weight 9 per stored edge)."""
    n = len(lists)
    connections = nearmesh.GraphWrapper(n, 0, n, True)
    weights = nearmesh.GraphWrapper(n, 1, n)
    for i, neighbors in enumerate(lists):
        for v in neighbors:
            connections.append(i, v)
            weights.append(i, 9.0)
    return connections, weights


def contents(connections, weights):
    return [c.tolist() for c in connections.to_numpy_all()], [w.tolist() for w in weights.to_numpy_all()]


def knn_arrays(rows):
    """Rows of neighbours; the weight of the j-th neighbour of v is 10 v + j + 0.5."""
    knn = np.array(rows, dtype=np.int64)
    distances = (10 * np.arange(len(rows))[:, None] + np.arange(knn.shape[1]) + 0.5).astype(np.float32)
    return knn, distances


def flags_of(components, n):
    flags = np.zeros(n, dtype=np.uint8)
    for nodes, labeled in components:
        flags[nodes] = labeled
    return flags


class Silent:
    """A graph object whose every method call is a failure."""

    def __getattr__(self, name):
        raise AssertionError(f"{name} called")


@pytest.mark.parametrize(
    "components, flags",
    [
        ([([0, 1], 1), ([2], 1)], np.ones(3, dtype=np.uint8)),
        ([], np.zeros(0, dtype=np.uint8)),
    ],
    ids=["all labeled", "no vertices"],
)
def test_nothing_to_link_calls_nothing(components, flags):
    connections, weights = Silent(), Silent()
    knn = np.zeros((flags.size, 1), dtype=np.int64)
    result = connect_unlabeled(knn, knn.astype(np.float32), components, flags, connections, weights)
    assert type(result) is tuple and result[0] is connections and result[1] is weights


def test_stage_one_links_a_component_through_its_first_linkable_vertex():
    # Component [2, 3, 4] (edges 2-3, 3-4): only its third vertex, 4, has neighbours in the
    # labeled [0, 1]; the first of them in row order is 1, in column 1.
    components = [([0, 1], 1), ([2, 3, 4], 0)]
    knn, distances = knn_arrays([[1, 2, 3], [0, 2, 3], [3, 4, 3], [2, 4, 2], [3, 1, 0]])
    connections, weights = graph_pair([[1], [0], [3], [2, 4], [3]])
    connect_unlabeled(knn, distances, components, flags_of(components, 5), connections, weights)
    # one edge 4-1, both directions with the weight of row 4, column 1; the whole component is
    # reached at once, so stage 2 adds nothing
    assert contents(connections, weights) == (
        [[1], [0, 4], [3], [2, 4], [3, 1]],
        [[9.0], [9.0, 41.5], [9.0], [9.0, 9.0], [9.0, 41.5]],
    )


def test_an_edge_stored_in_one_direction_gets_the_other():
    components = [([0], 1), ([1], 0)]
    knn, distances = knn_arrays([[1], [0]])
    connections, weights = graph_pair([[1], []])
    connect_unlabeled(knn, distances, components, flags_of(components, 2), connections, weights)
    assert contents(connections, weights) == ([[1], [0]], [[9.0], [10.5]])


# Vertex 0 is labeled. Stage 1 links only [5] (5-0): [1] and [4] neighbour 5, which was not
# labeled on input. The first pass of stage 2 links 1-5; then [2, 3] tries only 2 (whose neighbour
# 3 is unreached) and is left although 3 could link to 1; [4] links 4-5. The second pass links 3
# to 4, which the first pass reached after [2, 3] was left. The third links 2 to 3: that edge
# exists already, so only the mark changes.
CHAIN_COMPONENTS = [([0], 1), ([1], 0), ([2, 3], 0), ([4], 0), ([5], 0)]
CHAIN_ROWS = [[5, 5], [5, 5], [3, 3], [4, 1], [5, 5], [0, 0]]
CHAIN_LINKED = (
    [[5], [5], [3], [2, 4], [5, 3], [0, 1, 4]],
    [[50.5], [10.5], [9.0], [9.0, 30.5], [40.5, 30.5], [50.5, 10.5, 40.5]],
)


class SubArray(np.ndarray):
    pass


@pytest.mark.parametrize(
    "as_array",
    [
        lambda a: a,
        lambda a: a.view(SubArray),  # rows fetched through Python indexing
        lambda a: np.hstack([np.zeros_like(a[:, :1]), a])[:, 1:],  # rows of a wider array, as mutual_knn gives
        lambda a: np.asfortranarray(a),
    ],
    ids=["ndarray", "subclass", "column view", "fortran"],
)
def test_chained_links_pass_by_pass(as_array):
    knn, distances = knn_arrays(CHAIN_ROWS)
    connections, weights = graph_pair([[], [], [3], [2], [], []])
    flags = flags_of(CHAIN_COMPONENTS, 6)
    result = connect_unlabeled(as_array(knn), as_array(distances), CHAIN_COMPONENTS, flags, connections, weights)
    assert result[0] is connections and result[1] is weights
    assert contents(connections, weights) == CHAIN_LINKED
    assert flags.tolist() == [1, 0, 0, 0, 0, 0]  # the caller's flags are only read


def test_stage_one_targets_only_components_labeled_on_input():
    # A = [1] links to the labeled 0 in stage 1. B = [2, 3] (edge 2-3) neighbours only A, so it
    # is not linked in stage 1; stage 2 links 2 to 1, and only 2 becomes reached: in the next
    # pass 3 links to 1 on its own.
    components = [([0], 1), ([1], 0), ([2, 3], 0)]
    knn, distances = knn_arrays([[1, 1], [0, 0], [1, 3], [1, 2]])
    connections, weights = graph_pair([[], [], [3], [2]])
    connect_unlabeled(knn, distances, components, flags_of(components, 4), connections, weights)
    assert contents(connections, weights) == (
        [[1], [0, 2, 3], [3, 1], [2, 1]],
        [[10.5], [10.5, 20.5, 30.5], [9.0, 20.5], [9.0, 30.5]],
    )


@pytest.mark.parametrize(
    "components, rows, linked",
    [
        # nothing labeled: stage 1 adds nothing, the first pass of stage 2 fails
        ([([0, 1], 0)], [[1], [0]], [[], []]),
        # [1] links to 0 in stage 1, [2, 3] only neighbours itself: the link to 1 stays
        ([([0], 1), ([1], 0), ([2, 3], 0)], [[1], [0], [3], [2]], [[1], [0], [], []]),
        # an empty components list while a flag is zero
        ([], [[0]], [[]]),
    ],
)
def test_no_progress(components, rows, linked):
    knn, distances = knn_arrays(rows)
    connections, weights = graph_pair([[] for _ in rows])
    flags = flags_of(components, len(rows))
    with pytest.raises(SystemError, match=r"^NO PROGRESS :\)$"):
        connect_unlabeled(knn, distances, components, flags, connections, weights)
    assert contents(connections, weights)[0] == linked


def test_graph_methods_called_by_name_in_link_order():
    log = []

    class Logged(nearmesh.GraphWrapper):
        def contains(self, index, value):
            found = super().contains(index, value)
            log.append(("contains", index, value, found))
            return found

        def append(self, index, value):
            log.append(("append", index, value))
            super().append(index, value)

    n = 3
    connections, weights = Logged(n, 0, n, True), Logged(n, 1, n)
    connections.append(2, 1)
    weights.append(2, 1.0)
    log.clear()
    components = [([0], 1), ([1, 2], 0)]
    knn, distances = knn_arrays([[1], [2], [0]])
    connect_unlabeled(knn, distances, components, flags_of(components, n), connections, weights)
    assert log == [
        ("contains", 2, 0, False),
        ("append", 2, 0),
        ("append", 2, 20.5),
        ("contains", 0, 2, False),
        ("append", 0, 2),
        ("append", 0, 20.5),
    ]
    assert all(type(entry[2]) is int for entry in log[:2]) and type(log[2][2]) is float


def test_contains_override_decides_what_is_stored():
    class KnowsEverything(nearmesh.GraphWrapper):
        def contains(self, index, value):
            return 1  # used by truth value

    connections, weights = KnowsEverything(2, 0, 1, True), nearmesh.GraphWrapper(2, 1, 1)
    components = [([0], 1), ([1], 0)]
    knn, distances = knn_arrays([[1], [0]])
    connect_unlabeled(knn, distances, components, flags_of(components, 2), connections, weights)
    assert contents(connections, weights) == ([[], []], [[], []])


def test_failed_weight_append_leaves_the_graphs_as_they_are():
    connections = nearmesh.GraphWrapper(2, 0, 1, True)
    weights = nearmesh.GraphWrapper(2, 1, 0)  # admits nothing
    components = [([0], 1), ([1], 0)]
    knn, distances = knn_arrays([[1], [0]])
    with pytest.raises(OverflowError, match="^Array has reached its maximum size$"):
        connect_unlabeled(knn, distances, components, flags_of(components, 2), connections, weights)
    assert contents(connections, weights) == ([[], [0]], [[], []])


def test_a_copy_that_is_not_an_ndarray_is_marked_by_item_assignment():
    assigned = []

    class Flags(np.ndarray):
        def __setitem__(self, key, value):
            assigned.append((key, value))
            super().__setitem__(key, value)

    components = [([0], 1), ([1, 2], 0), ([3], 0)]
    knn, distances = knn_arrays([[1], [0], [1], [2]])
    connections, weights = graph_pair([[], [2], [1], []])
    flags = flags_of(components, 4).view(Flags)
    connect_unlabeled(knn, distances, components, flags, connections, weights)
    # stage 1 marks [1, 2]; the first pass of stage 2 links 3 and marks it once per component after [3]
    assert assigned == [(1, True), (2, True), (3, True)]
    assert contents(connections, weights)[0] == [[1], [2, 0], [1, 3], [2]]


@pytest.mark.parametrize(
    "rows, components, error, match",
    [
        # the padding index n of a short neighbour query, and a negative one
        ([[1], [2]], [([0], 1), ([1], 0)], IndexError, "nearest neighbour 2 of vertex 1"),
        ([[1], [-1]], [([0], 1), ([1], 0)], IndexError, "nearest neighbour -1 of vertex 1"),
        ([[1], [0]], [([0], 1), ([2], 0)], IndexError, "component vertex 2"),
        ([[1], [0]], [([0], 1), ([-1], 0)], IndexError, "component vertex -1"),
        ([[1], [0]], [([0], 1), (["1"], 0)], TypeError, "an integer is required"),
        ([[1], [0]], [([0], 1), ([2**40], 0)], OverflowError, None),
        ([[1], [0]], [([0], 1), ((1,), 0)], TypeError, "^Expected list, got tuple$"),
        ([[1], [0]], [([0], 1), (None, 0)], TypeError, r"^object of type 'NoneType' has no len\(\)$"),
    ],
)
def test_bad_vertices(rows, components, error, match):
    knn, distances = knn_arrays(rows)
    connections, weights = graph_pair([[], []])
    flags = np.array([1, 0], dtype=np.uint8)
    with pytest.raises(error, match=match):
        connect_unlabeled(knn, distances, components, flags, connections, weights)


def test_weight_rows_shorter_than_neighbour_rows():
    knn, distances = knn_arrays([[1, 0], [0, 1]])
    components = [([0], 1), ([1], 0)]
    connections, weights = graph_pair([[], []])
    with pytest.raises(IndexError, match="2 nearest neighbours but only 1 weights"):
        connect_unlabeled(knn, distances[:, :1], components, flags_of(components, 2), connections, weights)


@pytest.mark.parametrize(
    "argument, value, error, match",
    [
        ("components", tuple([([0], 1), ([1], 0)]), TypeError, "Argument 'components' has incorrect type"),
        ("components", None, TypeError, r"^object of type 'NoneType' has no len\(\)$"),
        ("knn_connections", [[1], [0]], TypeError, "Argument 'knn_connections' has incorrect type"),
        ("knn_connections", np.array([[1.0], [0.0]]), ValueError, "Buffer dtype mismatch, expected 'ITYPE_t'"),
        ("knn_connections", np.array([1, 0]), ValueError, "wrong number of dimensions"),
        ("knn_weights", np.array([[1.0], [0.0]]), ValueError, "Buffer dtype mismatch, expected 'DTYPE32_t'"),
        ("vertix_component_label", np.array([1, 0]), ValueError, "Buffer dtype mismatch, expected 'uint8_t'"),
        ("vertix_component_label", np.ones((2, 1), dtype=np.uint8), ValueError, "wrong number of dimensions"),
    ],
)
def test_bad_arguments(argument, value, error, match):
    knn, distances = knn_arrays([[1], [0]])
    connections, weights = graph_pair([[], []])
    arguments = dict(
        knn_connections=knn,
        knn_weights=distances,
        components=[([0], 1), ([1], 0)],
        vertix_component_label=np.array([1, 0], dtype=np.uint8),
        connections=connections,
        weights=weights,
    )
    arguments[argument] = value
    with pytest.raises(error, match=match):
        connect_unlabeled(**arguments)
