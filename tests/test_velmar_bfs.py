"""find_connected_components: breadth-first components, their labeled flags, the per-vertex flags."""

import numpy as np
import pytest

from sorvane.algorithms.src.velmar.binaries import nearmesh, velmar_bfs

find_connected_components = velmar_bfs.find_connected_components


class Record:
    """The members of the input-data object that the kernel reads, nothing else."""

    def __init__(self, n, labeled, labeled_count=None):
        self.n = n
        self.labeled_indices = np.array(labeled, dtype=np.int64)
        self.labeled_count = len(labeled) if labeled_count is None else labeled_count


class Lists:
    """A graph object that is not a GraphWrapper: only to_numpy, over Python lists."""

    def __init__(self, lists):
        self.lists = lists
        self.calls = []

    def to_numpy(self, index):
        self.calls.append(index)
        return np.array(self.lists[index], dtype=np.int64)


def wrapper(lists):
    graph = nearmesh.GraphWrapper(len(lists), 0, max(map(len, lists), default=0))
    for i, neighbors in enumerate(lists):
        for v in neighbors:
            graph.append(i, v)
    return graph


@pytest.fixture(params=["GraphWrapper", "other object"])
def make_graph(request):
    return wrapper if request.param == "GraphWrapper" else Lists


@pytest.mark.parametrize(
    "lists, labeled, components",
    [
        # path 0-2, 2-1: one component in discovery order from its smallest vertex
        ([[2], [2], [0, 1]], [1], [([0, 2, 1], 1)]),
        # without edges every vertex is a component of its own, in index order
        ([[], [], []], [2], [([0], 0), ([1], 0), ([2], 1)]),
        # no labeled vertex: every flag is 0
        ([[1], [0], [3], [2]], [], [([0, 1], 0), ([2, 3], 0)]),
        # breadth first, not depth first: 2 comes before 1's neighbour 3
        ([[1, 2], [0, 3], [0], [1]], [3], [([0, 1, 2, 3], 1)]),
        # a vertex reached from two queued vertices enters the component once
        ([[1, 2], [2, 0], [0, 1]], [0], [([0, 1, 2], 1)]),
        # components ordered by smallest vertex, the flag only where a labeled vertex is
        ([[3], [4], [4], [0], [1, 2]], [2], [([0, 3], 0), ([1, 4, 2], 1)]),
        # a labeled index listed twice is harmless
        ([[1], [0], []], [1, 1], [([0, 1], 1), ([2], 0)]),
    ],
)
def test_components_and_flags(make_graph, lists, labeled, components):
    result, flags = find_connected_components(Record(len(lists), labeled), make_graph(lists))
    assert result == components
    for nodes, flag in result:
        assert type(flag) is int and all(type(v) is int for v in nodes)
    expected_flags = np.zeros(len(lists), dtype=np.uint8)
    for nodes, flag in components:
        expected_flags[nodes] = flag
    assert flags.dtype == np.uint8 and flags.tolist() == expected_flags.tolist()


def test_only_the_leading_labeled_count_entries_are_labels():
    lists = [[], [], []]
    result, flags = find_connected_components(Record(3, [0, 2], labeled_count=1), Lists(lists))
    assert result == [([0], 1), ([1], 0), ([2], 0)]
    assert flags.tolist() == [1, 0, 0]


def test_no_vertices_calls_nothing():
    graph = Lists([])
    result, flags = find_connected_components(Record(0, []), graph)
    assert result == [] and flags.dtype == np.uint8 and flags.size == 0
    assert graph.calls == []


def test_every_vertex_is_fetched_once_in_discovery_order():
    graph = Lists([[2], [2], [0, 1], []])
    find_connected_components(Record(4, [1]), graph)
    assert graph.calls == [0, 2, 1, 3]


def test_subclass_override_of_to_numpy_is_honoured():
    class Reversed(nearmesh.GraphWrapper):
        def to_numpy(self, index):
            return super().to_numpy(index)[::-1]  # a strided view, accepted

    graph = Reversed(3, 0, 2)
    for a, b in [(0, 1), (0, 2), (1, 0), (2, 0)]:
        graph.append(a, b)
    result, _ = find_connected_components(Record(3, []), graph)
    assert result == [([0, 2, 1], 0)]


def test_members_read_as_the_frame_reads_them():
    X = Record(2, [1])
    X.n, X.labeled_count = 2.9, np.int32(1)  # converted like int parameters
    X.labeled_indices = np.array([1], dtype=np.int64)
    X.labeled_indices.flags.writeable = False  # only read
    result, _ = find_connected_components(X, wrapper([[1], [0]]))
    assert result == [([0, 1], 1)]


@pytest.mark.parametrize(
    "n, labeled, labeled_count, lists, error, match",
    [
        (3, [3], None, [[], [], []], IndexError, "labeled index 3"),
        (3, [-1], None, [[], [], []], IndexError, "labeled index -1"),
        (3, [0], 2, [[], [], []], IndexError, "Out of bounds on buffer access"),
        (3, [0], None, [[1], [0, 3], []], IndexError, "neighbour 3 of vertex 1"),
        (3, [0], None, [[-1], [], []], IndexError, "neighbour -1 of vertex 0"),
        (3, [0], None, [[1], [0]], IndexError, "^Invalid array index$"),
        (-1, [], None, [[]], ValueError, "negative dimensions"),
    ],
)
def test_indices_outside_the_graph(n, labeled, labeled_count, lists, error, match):
    with pytest.raises(error, match=match):
        find_connected_components(Record(n, labeled, labeled_count), wrapper(lists))


class Returns:
    def __init__(self, value):
        self.value = value

    def to_numpy(self, index):
        return self.value


@pytest.mark.parametrize(
    "X, graph, error, match",
    [
        (Record(2, []), Returns(np.array([1.0, 0.0])), ValueError, "Buffer dtype mismatch, expected 'ITYPE_t'"),
        (Record(2, []), Returns(np.zeros((1, 1), dtype=np.int64)), ValueError, "wrong number of dimensions"),
        (Record(2, []), Returns([1, 0]), TypeError, None),
        (Record(2, []), nearmesh.GraphWrapper(2, 1, 1), ValueError, "Buffer dtype mismatch"),
        (type("NoN", (), {})(), Lists([[], []]), AttributeError, "'n'"),
        (Record("2", []), Lists([[], []]), TypeError, "an integer is required"),
    ],
)
def test_bad_input(X, graph, error, match):
    with pytest.raises(error, match=match):
        find_connected_components(X, graph)


def test_labeled_indices_must_be_contiguous_int64():
    X = Record(4, [0, 1])
    X.labeled_indices = np.arange(4, dtype=np.int64)[::2]
    with pytest.raises(ValueError, match="not C contiguous"):
        find_connected_components(X, Lists([[]] * 4))
    X.labeled_indices = np.array([0, 1], dtype=np.int32)
    with pytest.raises(ValueError, match="Buffer dtype mismatch, expected 'ITYPE_t'"):
        find_connected_components(X, Lists([[]] * 4))
