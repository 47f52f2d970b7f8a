import numpy as np
import pytest
from scipy.spatial import KDTree, distance

from sorvane.algorithms.src.treleck.binaries import treleck_mst
from sorvane.algorithms.src.velmar.binaries import nearmesh as nm
from sorvane.input_data import AlgorithmInput

INT64, FLOAT32 = 0, 1


class Record:
    """A bare input-data object: only the members the kernels read."""

    def __init__(self, n, labeled_count, data, labeled):
        self.n = n
        self.labeled_count = labeled_count
        self.data = data
        self._labeled = labeled
        self.get_labeled_calls = 0

    def get_labeled(self):
        self.get_labeled_calls += 1
        return self._labeled


def make_input(X, labeled_rows, dtype=np.float32):
    y = np.full(len(X), -1)
    y[list(labeled_rows)] = np.arange(len(labeled_rows)) % 3
    return AlgorithmInput(X, y, dtype=dtype)


class PlainSubclass(nm.GraphWrapper):
    """Overrides nothing, but is read through its Python methods."""


def graph_pair(connections, weights, k, cls=nm.GraphWrapper):
    """A (connections, weights) GraphWrapper pair from per-vertex lists."""
    c = cls(len(connections), INT64, k)
    w = cls(len(weights), FLOAT32, k)
    for i, (row_c, row_w) in enumerate(zip(connections, weights)):
        for v in row_c:
            c.append(i, v)
        for x in row_w:
            w.append(i, x)
    return c, w


def lists(graph):
    return [a.tolist() for a in graph.to_numpy_all()]


def reference_find_idx_set(distances, labels, connections, weights):
    """Column by column, carrying the index of the last minimum."""
    result, prev_min_index, min_column_index = set(), -1, -1
    for d_j in labels:
        min_column_value = np.float32(np.inf)
        for i, d_i in enumerate(connections):
            current_value = np.float32(distances[d_i, d_j]) + np.float32(weights[i])
            if current_value < min_column_value:
                min_column_value, min_column_index = current_value, i
        if min_column_index != prev_min_index:
            result.add(min_column_index)
        prev_min_index = min_column_index
    return result


def reference_informative_edges(distance_matrix, labeled_count, connections, weights, n):
    """Vertex by vertex; a vertex's picked positions are taken in ascending order."""
    labels = np.arange(labeled_count)
    out_c = [[] for _ in range(n)]
    out_w = [[] for _ in range(n)]
    for i in range(n):
        if not len(connections[i]):
            continue
        picked = reference_find_idx_set(distance_matrix, labels, connections[i], weights[i])
        for idx in sorted(picked):
            v, x = connections[i][idx], np.float32(weights[i][idx])
            if v not in out_c[i]:
                out_c[i].append(v)
                out_w[i].append(x)
            if i not in out_c[v]:
                out_c[v].append(i)
                out_w[v].append(x)
    return out_c, out_w


# ---- mutual_knn ---------------------------------------------------------------------------------


def test_mutual_knn_three_points_on_a_line():
    X = np.array([[0.0], [1.0], [3.0]])
    connections, weights, knn_c, knn_w = nm.mutual_knn(X, 1)
    assert lists(connections) == [[1], [0], []]
    assert lists(weights) == [[1.0], [1.0], []]
    assert knn_c.tolist() == [[1], [0], [1]]
    assert knn_w.dtype == np.float32 and knn_w.flags.c_contiguous
    # The neighbour indices are a view of the tree's answer with its first column cut off.
    assert knn_c.dtype == np.int64 and knn_c.strides == (16, 8)


@pytest.mark.parametrize("seed, n, dim, k", [(0, 60, 2, 4), (1, 200, 3, 7), (2, 40, 5, 12)])
def test_mutual_knn_keeps_exactly_the_mutual_pairs(seed, n, dim, k):
    X = np.random.default_rng(seed).random((n, dim))
    connections, weights, knn_c, knn_w = nm.mutual_knn(X, k)
    dist, idx = KDTree(X).query(X, k=k + 1)
    np.testing.assert_array_equal(knn_c, idx[:, 1:])
    np.testing.assert_array_equal(knn_w, dist[:, 1:].astype(np.float32))
    expected_c = [[j for j in idx[i, 1:] if i in idx[j, 1:]] for i in range(n)]
    expected_w = [[knn_w[i, p] for p, j in enumerate(idx[i, 1:]) if i in idx[j, 1:]] for i in range(n)]
    assert lists(connections) == expected_c
    assert lists(weights) == [np.array(w, np.float32).tolist() for w in expected_w]
    # p is accepted and ignored: the search is always Euclidean.
    again = nm.mutual_knn(X, k, p=1)
    assert lists(again[0]) == expected_c and lists(again[1]) == lists(weights)


def test_mutual_knn_duplicates_can_make_a_sample_its_own_neighbour():
    # The tree lists sample 1 before sample 0 for sample 0; the dropped first column is then the
    # duplicate, and 0 stays in its own row.
    X = np.array([[0.0], [0.0], [5.0]])
    tree_rows = KDTree(X).query(X, k=2)[1]
    assert tree_rows[0].tolist() == [1, 0]
    connections, weights, knn_c, _ = nm.mutual_knn(X, 1)
    assert knn_c.tolist() == [[0], [0], [1]]
    assert lists(connections) == [[0], [], []]
    assert lists(weights) == [[0.0], [], []]


@pytest.mark.parametrize(
    "X, k, error, message",
    [
        (np.zeros((4, 2)), 0, ValueError, "Buffer has wrong number of dimensions (expected 2, got 1)"),
        (np.arange(8.0).reshape(4, 2), 4, IndexError, None),
        (np.zeros((4, 2), np.float32), 1, ValueError, "Buffer dtype mismatch, expected 'DTYPE_t' but got 'float'"),
        (np.asfortranarray(np.zeros((4, 2))), 1, ValueError, "Buffer not C contiguous."),
        (np.zeros((4, 2)), "2", TypeError, "an integer is required"),
    ],
)
def test_mutual_knn_rejects(X, k, error, message):
    with pytest.raises(error) as info:
        nm.mutual_knn(X, k)
    if message is not None:
        assert str(info.value) == message


def test_mutual_knn_rejects_read_only_data():
    X = np.arange(8.0).reshape(4, 2)
    X.flags.writeable = False
    with pytest.raises(ValueError):
        nm.mutual_knn(X, 1)


# ---- _find_idx_set ------------------------------------------------------------------------------

INF, NAN = np.inf, np.nan


@pytest.mark.parametrize(
    "distances, labels, connections, weights, expected",
    [
        # equal sums: the earlier position wins
        ([[1, 5], [0, 6], [3, 2]], [0, 1], [0, 1, 2], [1, 2, 0], {0, 2}),
        # NaN sums are never picked, whatever they stand for
        ([[NAN, 1], [4, 2]], [0, 1], [0, 1], [0, 0], {1, 0}),
        ([[NAN], [4]], [0], [0, 1], [0, 0], {1}),
        ([[1], [4]], [0], [0, 1], [NAN, 0], {1}),
        # +inf is never picked; a column without a finite sum adds nothing, first or later
        ([[INF, 1], [INF, 2]], [0, 1], [0, 1], [0, 0], {0}),
        ([[1, INF], [2, INF]], [1, 0], [0, 1], [0, 0], {0}),
        ([[INF], [INF]], [0], [0, 1], [0, 0], set()),
        # -inf is a minimum like any other
        ([[-INF, 1], [0, 0]], [0, 1], [0, 1], [0, 0], {0, 1}),
        # the sum is a float32 sum: 1 + 1e-8 rounds to 1 and ties with the earlier 1
        ([[1, 0], [1, 0]], [0], [1, 0], [1e-8, 0], {0}),
        # a neighbour can appear twice; columns can repeat or be left out
        ([[3, 1, 7], [2, 9, 0]], [2, 2, 0], [0, 1, 1], [0, 0, 5], {1}),
        # no neighbours or no columns: nothing
        ([[1]], [0], [], [], set()),
        ([[1]], [], [0], [0], set()),
    ],
)
def test_find_idx_set_cases(distances, labels, connections, weights, expected):
    args = (
        np.array(distances, np.float32),
        np.array(labels, np.int64),
        np.array(connections, np.int64),
        np.array(weights, np.float32),
    )
    assert nm._find_idx_set(*args) == expected == reference_find_idx_set(*args)


@pytest.mark.parametrize("seed", range(4))
def test_find_idx_set_matches_the_column_by_column_rule(seed):
    rng = np.random.default_rng(seed)
    # small integers make ties common; some NaN and inf entries
    D = rng.integers(0, 6, (30, 400)).astype(np.float32)
    D[rng.random(D.shape) < 0.05] = np.nan
    D[rng.random(D.shape) < 0.05] = np.inf
    for _ in range(20):
        rows = rng.integers(0, 12)
        connections = rng.integers(0, 30, rows)
        weights = rng.integers(0, 3, rows).astype(np.float32)
        # all columns shuffled, a sparse choice, or a few with repeats
        labels = [rng.permutation(400), rng.choice(400, 5, replace=False), rng.integers(0, 400, 7)][rng.integers(3)]
        labels = labels.astype(np.int64)
        expected = reference_find_idx_set(D, labels, connections, weights)
        assert nm._find_idx_set(D, labels, connections, weights) == expected
        # any strides, read-only allowed
        strided = np.repeat(D, 2, axis=1)[:, ::2]
        strided.flags.writeable = False
        assert nm._find_idx_set(strided, labels, connections, weights) == expected
        assert nm._find_idx_set(np.asfortranarray(D), labels, np.repeat(connections, 2)[::2], weights) == expected


# Around 32 neighbours, where a vertex's positions stop fitting one machine word; 40 columns.
@pytest.mark.parametrize("rows", [31, 32, 33, 45])
def test_find_idx_set_with_many_neighbours(rows):
    rng = np.random.default_rng(rows)
    D = rng.integers(0, 4, (rows, 40)).astype(np.float32)
    D[rng.random(D.shape) < 0.05] = np.nan
    connections = rng.permutation(rows).astype(np.int64)
    weights = rng.integers(0, 2, rows).astype(np.float32)
    # the last two positions alone hold the minimum of a column each
    D[connections[-1], 3] = -5
    D[connections[-2], 39] = -5
    labels = rng.permutation(40).astype(np.int64)
    expected = reference_find_idx_set(D, labels, connections, weights)
    assert {rows - 1, rows - 2} <= expected
    assert nm._find_idx_set(D, labels, connections, weights) == expected


def test_find_idx_set_takes_weights_longer_than_connections_and_strided_connections():
    D = np.array([[1, 0], [0, 1], [5, 5]], np.float32)
    connections = np.array([2, 9, 0, 9, 1], np.int64)[::2]  # 2, 0, 1
    weights = np.array([0, 0, 0, 100], np.float32)
    assert nm._find_idx_set(D, np.arange(2), connections, weights) == {1, 2}


def i64(*values):
    return np.array(values, np.int64)


def f32(*values):
    return np.array(values, np.float32)


@pytest.mark.parametrize(
    "labels, connections, weights, error, message",
    [
        (i64(0), i64(3), f32(0), IndexError, "Out of bounds on buffer access (axis 0)"),
        (i64(0), i64(-1), f32(0), IndexError, "Out of bounds on buffer access (axis 0)"),
        (i64(2), i64(0), f32(0), IndexError, "Out of bounds on buffer access (axis 1)"),
        (i64(-1), i64(0), f32(0), IndexError, "Out of bounds on buffer access (axis 1)"),
        (i64(0), i64(0, 1), f32(0), IndexError, "Out of bounds on buffer access (axis 0)"),
        (np.zeros(1), i64(0), f32(0), ValueError, "Buffer dtype mismatch, expected 'ITYPE_t' but got 'double'"),
        (i64(0), i64(0), np.zeros(1), ValueError, "Buffer dtype mismatch, expected 'float32_t' but got 'double'"),
        (i64(0), np.zeros(1, np.int32), f32(0), ValueError, "Buffer dtype mismatch, expected 'ITYPE_t' but got 'int'"),
        (i64(0), np.zeros((1, 1), np.int64), f32(0), ValueError,
         "Buffer has wrong number of dimensions (expected 1, got 2)"),
    ],
)
def test_find_idx_set_rejects(labels, connections, weights, error, message):
    with pytest.raises(error) as info:
        nm._find_idx_set(np.zeros((2, 2), np.float32), labels, connections, weights)
    assert str(info.value) == message


def test_find_idx_set_rejects_bad_argument_types():
    D = np.zeros((2, 2), np.float32)
    labels = np.arange(2)
    weights = np.zeros(1, np.float32)
    for connections in ([0], None):
        with pytest.raises(TypeError, match="Argument 'connections' has incorrect type"):
            nm._find_idx_set(D, labels, connections, weights)
    with pytest.raises(ValueError, match="expected 'DTYPE32_t'"):
        nm._find_idx_set(D.astype(np.float64), labels, np.zeros(1, np.int64), weights)
    with pytest.raises(ValueError, match="C contiguous"):
        nm._find_idx_set(D, np.arange(4)[::2], np.zeros(1, np.int64), weights)


# ---- informative_edges --------------------------------------------------------------------------


def check_against_reference(X_input, k, connections, weights, cls=nm.GraphWrapper):
    n = X_input.n
    D = distance.cdist(X_input.data, X_input.get_labeled()).astype(np.float32)
    in_c, in_w = lists(connections), lists(weights)
    out_c, out_w = nm.informative_edges(X_input, k, *graph_pair(in_c, in_w, k, cls))
    exp_c, exp_w = reference_informative_edges(D, X_input.labeled_count, in_c, in_w, n)
    assert lists(out_c) == exp_c
    assert lists(out_w) == [np.array(w, np.float32).tolist() for w in exp_w]
    return out_c, out_w


# Our own containers are read directly, subclasses through their methods: both must give the same.
@pytest.mark.parametrize("cls", [nm.GraphWrapper, PlainSubclass])
@pytest.mark.parametrize(
    "seed, n, dim, k, labeled",
    [(0, 150, 2, 5, 12), (1, 120, 3, 8, 1), (2, 100, 2, 6, 100), (3, 80, 4, 3, 0)],
)
def test_informative_edges_matches_the_vertex_by_vertex_rule(seed, n, dim, k, labeled, cls):
    rng = np.random.default_rng(seed)
    X = rng.random((n, dim))
    X_input = make_input(X, rng.choice(n, labeled, replace=False))
    connections, weights, _, _ = nm.mutual_knn(X, k)
    out_c, out_w = check_against_reference(X_input, k, connections, weights, cls)
    # symmetric, with the lookup sets in use
    for i, row in enumerate(lists(out_c)):
        for v in row:
            assert i in lists(out_c)[v] and out_c.contains(v, i)
    if labeled == 0:
        assert lists(out_c) == [[]] * n and lists(out_w) == [[]] * n


# Every vertex lists all others: lists of 32, 33 and 49 neighbours.
@pytest.mark.parametrize("cls", [nm.GraphWrapper, PlainSubclass])
@pytest.mark.parametrize("n", [33, 34, 50])
def test_informative_edges_with_long_neighbour_lists(n, cls):
    rng = np.random.default_rng(n)
    X = rng.integers(0, 5, (n, 2)).astype(np.float64)  # duplicates and ties
    X_input = make_input(X, rng.choice(n, 20, replace=False))
    D = distance.cdist(X, X).astype(np.float32)
    others = [[j for j in range(n) if j != i] for i in range(n)]
    connections, weights = graph_pair(others, [D[i, row].tolist() for i, row in enumerate(others)], n)
    check_against_reference(X_input, n, connections, weights, cls)


def test_informative_edges_on_a_grid_with_many_ties():
    X = np.array([[x, y] for x in range(9) for y in range(7)], np.float64)
    X_input = make_input(X, [0, 10, 33, 62], dtype=np.float64)
    connections, weights, _, _ = nm.mutual_knn(X, 4)
    check_against_reference(X_input, 4, connections, weights)


def test_informative_edges_keeps_the_weight_of_the_first_selector():
    # 0 - 1 - 2 on a line, labeled sample 2; the input weights differ by direction.
    X_input = make_input(np.array([[0.0], [1.0], [2.0]]), [2])
    connections, weights = graph_pair([[1], [0, 2], [1]], [[7.0], [3.0, 1.0], [5.0]], 2)
    out_c, out_w = nm.informative_edges(X_input, 2, connections, weights)
    # vertex 0 picks 1 first (weight 7); vertex 1 picks 2 (weight 1, the labeled sample: 1 + 0);
    # vertex 2 then finds the edge 2-1 already there.
    assert lists(out_c) == [[1], [0, 2], [1]]
    assert lists(out_w) == [[7.0], [7.0, 1.0], [1.0]]


def test_informative_edges_single_labeled_sample_and_empty_lists():
    # 0 and 1 are both neighbours of 3; labeled sample 0. Vertex 2 has no neighbours but is picked.
    X = np.array([[0.0], [4.0], [1.0], [2.0]])
    X_input = make_input(X, [0])
    connections, weights = graph_pair([[], [], [], [1, 2, 0]], [[], [], [], [1.0, 1.0, 2.0]], 3)
    out_c, out_w = nm.informative_edges(X_input, 3, connections, weights)
    # vertex 3: 1 -> 1 + 4, 2 -> 1 + 1, 0 -> 2 + 0: ties go to the earlier position, 2
    assert lists(out_c) == [[], [], [3], [2]]
    assert lists(out_w) == [[], [], [1.0], [1.0]]


def test_informative_edges_advances_the_global_generator_by_one_shuffle():
    rng = np.random.default_rng(5)
    X = rng.random((40, 2))
    X_input = make_input(X, range(0, 40, 3))
    connections, weights, _, _ = nm.mutual_knn(X, 3)
    np.random.seed(123)
    nm.informative_edges(X_input, 3, connections, weights)
    after_call = np.random.random(3)
    np.random.seed(123)
    np.random.shuffle(np.arange(X_input.labeled_count, dtype=np.int64))
    np.testing.assert_array_equal(after_call, np.random.random(3))


def test_informative_edges_honours_subclass_overrides():
    class Shifted(nm.GraphWrapper):
        # reports every weight but the first of a list as 100 larger
        def to_numpy(self, index):
            values = super().to_numpy(index)
            return values + np.float32(100) * (np.arange(len(values)) != 0)

    X_input = make_input(np.array([[0.0], [1.0], [10.0], [11.0]]), [3])
    plain_c, plain_w = graph_pair([[1, 2], [], [], []], [[1.0, 1.0], [], [], []], 2)
    out_c, _ = nm.informative_edges(X_input, 2, plain_c, plain_w)
    assert lists(out_c)[0] == [2]
    shifted_w = Shifted(4, FLOAT32, 2)
    for v in (5.0, 1.0):
        shifted_w.append(0, v)
    out_c, out_w = nm.informative_edges(X_input, 2, plain_c, shifted_w)
    # 1 -> 5 + 10, 2 -> 101 + 1
    assert lists(out_c)[0] == [1] and lists(out_w)[0] == [5.0]


def test_informative_edges_accepts_any_matrix_cdist_accepts_in_memory():
    X = [[0.0, 0.0], [1.0, 0.0], [3.0, 0.0]]
    record = Record(3, 1, X, [[3.0, 0.0]])
    connections, weights = graph_pair([[1], [0, 2], [1]], [[1.0], [1.0, 2.0], [2.0]], 2)
    out_c, _ = nm.informative_edges(record, 2, connections, weights)
    assert lists(out_c) == [[1], [0, 2], [1]]
    with pytest.raises(ValueError, match="same number of columns"):
        nm.informative_edges(Record(3, 1, X, [[3.0]]), 2, connections, weights)


class TestInformativeEdgesFilePath:
    @pytest.fixture
    def workdir(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        (tmp_path / "tmp.dat").write_bytes(b"the user's own file")
        return tmp_path

    @staticmethod
    def files(workdir):
        return sorted(p.name for p in workdir.iterdir())

    def spying_pair(self, connections, weights, k, workdir, seen):
        """A pair whose to_numpy notes the files in the working directory during the call."""

        class Spy(nm.GraphWrapper):
            def to_numpy(self, index):
                seen.append(TestInformativeEdgesFilePath.files(workdir))
                return super().to_numpy(index)

        c = Spy(len(connections), INT64, k)
        w = nm.GraphWrapper(len(weights), FLOAT32, k)
        for i, (row_c, row_w) in enumerate(zip(connections, weights)):
            for v, x in zip(row_c, row_w):
                c.append(i, v)
                w.append(i, x)
        return c, w

    @pytest.mark.parametrize("threshold, through_file", [(20, True), (21, False), (0, True)])
    def test_threshold_is_exclusive_and_results_agree(self, workdir, monkeypatch, threshold, through_file):
        rng = np.random.default_rng(8)
        X = rng.random((21, 2))
        X_input = make_input(X, [0, 4, 9, 17])
        connections, weights, _, _ = nm.mutual_knn(X, 4)
        expected = [lists(g) for g in nm.informative_edges(X_input, 4, connections, weights)]

        seen = []
        spy_c, spy_w = self.spying_pair(lists(connections), lists(weights), 4, workdir, seen)
        monkeypatch.setattr(nm, "_FILE_PATH_THRESHOLD", threshold)
        result = nm.informative_edges(X_input, 4, spy_c, spy_w)
        assert [lists(g) for g in result] == expected
        temporary = {name for names in seen for name in names} - {"tmp.dat"}
        if through_file:
            # one uniquely named file in the current directory, there only during the call
            assert len(temporary) == 1 and temporary.pop().endswith(".dat")
        else:
            assert not temporary
        assert self.files(workdir) == ["tmp.dat"]
        assert (workdir / "tmp.dat").read_bytes() == b"the user's own file"

    def test_file_is_removed_when_the_call_fails(self, workdir, monkeypatch):
        monkeypatch.setattr(nm, "_FILE_PATH_THRESHOLD", 2)
        X_input = make_input(np.array([[0.0], [1.0], [2.0], [3.0]]), [0, 3])
        # a neighbour index outside the matrix fails after the file is written and mapped
        connections, weights = graph_pair([[1], [7], [], []], [[1.0], [1.0], [], []], 2)
        with pytest.raises(IndexError):
            nm.informative_edges(X_input, 2, connections, weights)
        assert self.files(workdir) == ["tmp.dat"]
        # a failure while the file is being written
        def failing_cdist(*args, **kwargs):
            raise MemoryError("no room for the block")

        monkeypatch.setattr(nm.distance, "cdist", failing_cdist)
        with pytest.raises(MemoryError, match="no room"):
            nm.informative_edges(X_input, 2, connections, weights)
        assert self.files(workdir) == ["tmp.dat"]

    def test_no_labeled_samples_give_empty_lists(self, workdir, monkeypatch):
        monkeypatch.setattr(nm, "_FILE_PATH_THRESHOLD", 1)
        X_input = make_input(np.array([[0.0], [1.0], [2.0]]), [])
        connections, weights = graph_pair([[1], [0, 2], [1]], [[1.0], [1.0, 1.0], [1.0]], 2)
        out_c, out_w = nm.informative_edges(X_input, 2, connections, weights)
        assert lists(out_c) == [[], [], []] and lists(out_w) == [[], [], []]
        assert self.files(workdir) == ["tmp.dat"]


def small_case():
    X_input = make_input(np.array([[0.0], [1.0], [2.0]]), [2])
    connections, weights = graph_pair([[1], [0, 2], [1]], [[1.0], [1.0, 1.0], [1.0]], 2)
    return X_input, connections, weights


@pytest.mark.parametrize(
    "graphs, error, message",
    [
        # the wrong GraphWrapper type, None, something else
        (lambda c, w: (treleck_mst.GraphWrapper(3, INT64, 2), w), TypeError,
         "Argument 'connections' has incorrect type (expected "
         "sorvane.algorithms.src.velmar.binaries.nearmesh.GraphWrapper, got "
         "sorvane.algorithms.src.treleck.binaries.treleck_mst.GraphWrapper)"),
        (lambda c, w: (c, None), TypeError, "Argument 'weights' has incorrect type"),
        (lambda c, w: (c, [[1.0]]), TypeError, "Argument 'weights' has incorrect type"),
        # swapped element types fail the typed-array checks
        (lambda c, w: (w, c), ValueError, "Buffer dtype mismatch, expected 'ITYPE_t' but got 'float'"),
        # fewer lists than samples
        (lambda c, w: graph_pair([[1], [0]], [[1.0], [1.0]], 2), IndexError, "Invalid array index"),
        # fewer weights than neighbours
        (lambda c, w: graph_pair([[1], [0, 2], [1]], [[1.0], [1.0], [1.0]], 2), IndexError,
         "Out of bounds on buffer access (axis 0)"),
        # neighbour indices outside the matrix
        (lambda c, w: graph_pair([[1], [0, 3], [1]], [[1.0], [1.0, 1.0], [1.0]], 2), IndexError,
         "Out of bounds on buffer access (axis 0)"),
        (lambda c, w: graph_pair([[-1], [0], [1]], [[1.0], [1.0], [1.0]], 2), IndexError,
         "Out of bounds on buffer access (axis 0)"),
    ],
)
def test_informative_edges_rejects(graphs, error, message):
    X_input, connections, weights = small_case()
    c, w = graphs(connections, weights)
    with pytest.raises(error) as info:
        nm.informative_edges(X_input, 2, c, w)
    assert str(info.value).startswith(message)


@pytest.mark.parametrize("cls", [nm.GraphWrapper, PlainSubclass])
@pytest.mark.parametrize(
    "star_leaves, outside, error",
    [
        # vertices 1..4 all pick 0 (k = 1: room for 3); then 5 picks 6, a data row but no list
        ([1, 2, 3, 4], 5, OverflowError),
        # 1 picks 6 before the leaves 2..5 fill list 0
        ([2, 3, 4, 5], 1, IndexError),
        ([2, 3, 4], 1, IndexError),
        ([2, 3, 4], None, None),
    ],
)
def test_informative_edges_reports_the_first_failing_edge(star_leaves, outside, error, cls):
    # 6 samples, 7 data rows: neighbour 6 has distances but no list in the result.
    data = np.array([[0.0], [1.0], [1.0], [1.0], [1.0], [1.0], [5.0]], np.float32)
    record = Record(6, 1, data, data[:1])
    connections = [[] for _ in range(6)]
    for leaf in star_leaves:
        connections[leaf] = [0]
    if outside is not None:
        connections[outside] = [6]
    weights = [[1.0] * len(row) for row in connections]
    c, w = graph_pair(connections, weights, 1, cls)
    if error is None:
        out_c, _ = nm.informative_edges(record, 1, c, w)
        assert lists(out_c)[0] == star_leaves
    else:
        message = {OverflowError: "Array has reached its maximum size", IndexError: "Invalid array index"}[error]
        with pytest.raises(error, match=message):
            nm.informative_edges(record, 1, c, w)


def test_informative_edges_list_limit_and_missing_members():
    X_input, connections, weights = small_case()
    # max_size 0: no list can take an edge
    with pytest.raises(OverflowError, match="Array has reached its maximum size"):
        nm.informative_edges(X_input, 0, connections, weights)
    with pytest.raises(AttributeError):
        nm.informative_edges(object(), 2, connections, weights)

    class NoLabeled:
        n, labeled_count, data = 3, 1, np.zeros((3, 1), np.float32)

    with pytest.raises(AttributeError, match="get_labeled"):
        nm.informative_edges(NoLabeled(), 2, connections, weights)


def test_informative_edges_wrong_to_numpy_result_types():
    X_input, connections, _ = small_case()

    class ListWeights(nm.GraphWrapper):
        def to_numpy(self, index):
            return super().to_numpy(index).tolist()

    class DoubleWeights(nm.GraphWrapper):
        def to_numpy(self, index):
            return super().to_numpy(index).astype(np.float64)

    class ListConnections(nm.GraphWrapper):
        def to_numpy(self, index):
            return super().to_numpy(index).tolist()

    for cls in (ListWeights, DoubleWeights):
        w = cls(3, FLOAT32, 2)
        for i, row in enumerate([[1.0], [1.0, 1.0], [1.0]]):
            for x in row:
                w.append(i, x)
        with pytest.raises((TypeError, ValueError)):
            nm.informative_edges(X_input, 2, connections, w)
    c = ListConnections(3, INT64, 2)
    c.append(0, 1)
    with pytest.raises(TypeError, match="Argument 'connections' has incorrect type"):
        nm.informative_edges(X_input, 2, c, small_case()[2])


# ---- create_pairwise_distance_matrix ------------------------------------------------------------


@pytest.fixture
def sample12():
    rng = np.random.default_rng(3)
    X = rng.standard_normal((12, 3)) * 10
    return make_input(X, [1, 5, 6, 11])


@pytest.mark.parametrize("chunk_size, blocks", [(5, [5, 5, 2]), (4, [4, 4, 4]), (50, [12]), (None, [12])])
def test_distance_file_bytes_and_blocks(tmp_path, monkeypatch, sample12, chunk_size, blocks):
    calls = []
    real_cdist = distance.cdist

    def spy(a, b, *args, **kwargs):
        calls.append(len(a))
        return real_cdist(a, b, *args, **kwargs)

    monkeypatch.setattr(nm.distance, "cdist", spy)
    path = tmp_path / "d.dat"
    args = (sample12, str(path)) if chunk_size is None else (sample12, str(path), chunk_size)
    assert nm.create_pairwise_distance_matrix(*args) is None
    assert calls == blocks
    expected = real_cdist(sample12.data, sample12.get_labeled()).astype(np.float32)
    assert path.read_bytes() == expected.tobytes()
    assert path.stat().st_size == 4 * 12 * 4


@pytest.mark.parametrize(
    "data_dtype, labeled_dtype", [(np.float64, np.float64), (np.float32, np.float64), (np.float64, np.float32)]
)
def test_distance_file_accepts_float64_rows(tmp_path, data_dtype, labeled_dtype):
    rng = np.random.default_rng(4)
    data = rng.standard_normal((9, 2)).astype(data_dtype)
    labeled = rng.standard_normal((3, 2)).astype(labeled_dtype)
    nm.create_pairwise_distance_matrix(Record(9, 3, data, labeled), tmp_path / "d.dat", 2)
    expected = distance.cdist(data, labeled).astype(np.float32)
    assert (tmp_path / "d.dat").read_bytes() == expected.tobytes()


def test_distance_file_negative_chunk_size_writes_no_block(tmp_path, sample12):
    nm.create_pairwise_distance_matrix(sample12, tmp_path / "d.dat", -3)
    assert (tmp_path / "d.dat").read_bytes() == bytes(4 * 12 * 4)


@pytest.mark.parametrize(
    "record, chunk_size, error, message",
    [
        (Record(3, 1, np.zeros((3, 2), np.int64), np.zeros((1, 2), np.float32)), 5, ValueError,
         "Buffer dtype mismatch, expected 'DTYPE32_t' but got 'long'"),
        (Record(3, 1, np.zeros((3, 2), np.float32), np.zeros((1, 2), np.float16)), 5, ValueError,
         "Buffer dtype mismatch, expected 'DTYPE32_t' but got 'half'"),
        (Record(3, 1, np.zeros(3, np.float64), np.zeros((1, 2), np.float32)), 5, ValueError,
         "Buffer has wrong number of dimensions (expected 2, got 1)"),
        (Record(3, 1, [[0.0]], np.zeros((1, 2), np.float32)), 5, TypeError, None),
        (Record(3, 1, np.zeros((3, 2), np.float32), np.zeros((1, 2), np.float32)), 0, ValueError,
         "range() arg 3 must not be zero"),
        (Record(3, 1, np.zeros((3, 2), np.float32), np.zeros((1, 2), np.float32)), 2.0, TypeError, None),
        (Record(2**31, 1, np.zeros((3, 2), np.float32), np.zeros((1, 2), np.float32)), 5, OverflowError, None),
    ],
)
def test_distance_file_bad_input_creates_no_file(tmp_path, record, chunk_size, error, message):
    with pytest.raises(error) as info:
        nm.create_pairwise_distance_matrix(record, tmp_path / "d.dat", chunk_size)
    if message is not None:
        assert str(info.value) == message
    assert not (tmp_path / "d.dat").exists()


def test_distance_file_missing_member_creates_no_file(tmp_path):
    class NoData:
        n, labeled_count = 3, 1

        def get_labeled(self):
            return np.zeros((1, 2), np.float32)

    with pytest.raises(AttributeError, match="data"):
        nm.create_pairwise_distance_matrix(NoData(), tmp_path / "d.dat")
    assert not (tmp_path / "d.dat").exists()


@pytest.mark.parametrize(
    "n, data_shape, labeled_shape, message",
    [
        # with 3-row blocks the last block (1 row) would be broadcast over rows 3 and 4
        (5, (4, 2), (1, 2), "X.data has 4 rows, fewer than X.n (5)"),
        # a single labeled row would be broadcast over both columns
        (5, (5, 2), (1, 2), "X.get_labeled() returned 1 rows, but X.labeled_count is 2"),
        (5, (5, 2), (2, 3), "XA and XB must have the same number of columns"),
    ],
)
def test_distance_file_rejects_shapes_that_do_not_fit(tmp_path, n, data_shape, labeled_shape, message):
    labeled_count = 2 if labeled_shape[0] == 1 else labeled_shape[0]
    record = Record(n, labeled_count, np.zeros(data_shape, np.float32), np.zeros(labeled_shape, np.float32))
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        nm.create_pairwise_distance_matrix(record, tmp_path / "d.dat", 3)
    assert not (tmp_path / "d.dat").exists()


def test_informative_edges_reads_weights_only_at_neighbour_positions():
    X_input, connections, weights = small_case()
    longer = graph_pair([[1], [0, 2], [1]], [[1.0, 9.0], [1.0, 1.0, 9.0], [1.0]], 2)
    exact = graph_pair([[1], [0, 2], [1]], [[1.0], [1.0, 1.0], [1.0]], 2)
    got = [a.tolist() for g in nm.informative_edges(X_input, 2, *longer) for a in g.to_numpy_all()]
    want = [a.tolist() for g in nm.informative_edges(X_input, 2, *exact) for a in g.to_numpy_all()]
    assert got == want


def test_find_idx_set_refuses_columns_far_outside_the_matrix():
    with pytest.raises(IndexError):
        nm._find_idx_set(np.zeros((2, 2), np.float32), np.array([-2**63, 2**63 - 1], np.int64),
                         np.array([0], np.int64), np.ones(1, np.float32))
