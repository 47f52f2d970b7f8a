import numpy as np
import pytest

from sorvane.input_data import AlgorithmInput


def test_members():
    X = [[0, 1], [2, 3], [4, 5], [6, 7]]
    y = np.array([-1, 2, -1, 0], np.int8)
    a = AlgorithmInput(X, y)
    assert (a.n, a.labeled_count) == (4, 2) and type(a.n) is int and type(a.labeled_count) is int
    assert a.labeled_indices.dtype == np.int64 and a.labeled_indices.flags.c_contiguous
    assert a.labeled_indices.tolist() == [1, 3]
    assert a.data.dtype == np.float32 and a.data.flags.c_contiguous
    labeled = a.get_labeled()
    assert labeled.dtype == np.float32 and labeled.flags.c_contiguous
    assert labeled.tolist() == [[2, 3], [6, 7]]
    assert a.labels.tolist() == [-1, 2, -1, 0]


def test_float64_keeps_the_values_and_inputs_are_copied():
    X = np.array([[0.1, 0.2], [0.3, 0.4]])
    y = np.array([0, -1])
    a = AlgorithmInput(X, y, dtype=np.float64)
    X[0, 0] = 9.0
    y[1] = 1
    assert a.data.dtype == np.float64 and a.data[0, 0] == 0.1
    assert a.labeled_count == 1 and a.get_labeled().tolist() == [[0.1, 0.2]]


def test_no_samples_and_no_labels():
    a = AlgorithmInput(np.empty((0, 3)), np.empty(0, np.int64))
    assert (a.n, a.labeled_count) == (0, 0) and a.get_labeled().shape == (0, 3)
    b = AlgorithmInput(np.ones((2, 3)), [-1, -1])
    assert b.labeled_count == 0 and b.get_labeled().shape == (0, 3)


@pytest.mark.parametrize(
    "X, y, dtype, message",
    [
        ([1.0, 2.0], [0, 0], np.float32, "two-dimensional"),
        ([[1.0]], [[0]], np.float32, "one-dimensional"),
        ([[1.0]], [0, 1], np.float32, "1 rows but y has 2 labels"),
        ([[1.0]], [-2], np.float32, "-1 \\(unlabeled\\) or 0 or more"),
        ([[1.0]], [0.5], np.float32, "integer labels"),
        ([[1.0]], [0], np.int64, "float32 or float64"),
    ],
)
def test_rejects(X, y, dtype, message):
    with pytest.raises(ValueError, match=message):
        AlgorithmInput(X, y, dtype=dtype)


def test_whole_float_labels_are_accepted():
    assert AlgorithmInput([[1.0], [2.0]], [1.0, -1.0]).labeled_indices.tolist() == [0]
