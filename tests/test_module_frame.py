"""What every extension module shares: import, argument binding, conversions, buffer checks."""

import importlib
import inspect
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from sorvane.algorithms.src.treleck.binaries import treleck_mst
from sorvane.algorithms.src.velmar.binaries import nearmesh

MODULES = {
    "sorvane.algorithms.src.velmar.binaries.nearmesh": ["distance", "np", "KDTree", "time"],
    "sorvane.algorithms.src.velmar.binaries.velmar_bfs": ["np"],
    "sorvane.algorithms.src.velmar.binaries.velmar_connect": ["np"],
    "sorvane.algorithms.src.velmar.binaries.velmar_lp": ["np", "perf_counter"],
    "sorvane.algorithms.src.treleck.binaries.treleck_mst": [
        "distance", "np", "pdist", "squareform", "heappop", "heappush"],
    "sorvane.algorithms.src.treleck.binaries.treleck_core": [
        "distance", "np", "pdist", "squareform", "heappop", "heappush"],
    "sorvane.algorithms.src.quorim.binaries.quorim_core": ["np", "KDTree", "BallTree"],
    "sorvane.algorithms.src.quorim.binaries.quorim_postprocess": ["np", "DistanceMetric"],
}
STANDARD = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
POINTS = np.array([[0.0], [1.0], [3.0], [4.5]])


@pytest.mark.parametrize("path", sorted(MODULES))
def test_module_binds_its_library_names_in_order(path):
    module = importlib.import_module(path)
    names = [name for name in vars(module) if name not in STANDARD]
    imported = MODULES[path]
    assert names[: len(imported)] == imported
    assert module.np is np
    assert module.__package__ == path.rsplit(".", 1)[0]


def test_reimport_returns_the_same_module_with_its_state():
    path = "sorvane.algorithms.src.velmar.binaries.nearmesh"
    before = sys.modules.pop(path)
    try:
        again = importlib.import_module(path)
        assert again is before
        assert again.mutual_knn is before.mutual_knn
        assert isinstance(again.mutual_knn(POINTS, 1)[0], before.GraphWrapper)
    finally:
        sys.modules[path] = before


def test_second_interpreter_is_refused(tmp_path):
    interpreters = pytest.importorskip("_interpreters")
    # Load the extension file directly: the package itself imports NumPy, which refuses a
    # second interpreter on its own before our module is reached.
    script = textwrap.dedent(
        """
        import importlib.util
        spec = importlib.util.spec_from_file_location(%r, %r)
        try:
            importlib.util.module_from_spec(spec)
        except ImportError as error:
            message = str(error)
        else:
            message = "imported"
        with open(%r, "w") as out:
            out.write(message)
        """
    )
    result = tmp_path / "message.txt"
    interp = interpreters.create("legacy")
    try:
        interpreters.run_string(interp, script % (nearmesh.__name__, nearmesh.__file__, str(result)))
    finally:
        interpreters.destroy(interp)
    assert result.read_text() == (
        "Interpreter change detected - this module can only be loaded into one interpreter per process.")


def test_import_from_a_fresh_interpreter_warns_nothing_on_313():
    code = "import warnings; warnings.simplefilter('error'); " \
           "import sorvane.algorithms.src.quorim.binaries.quorim_core"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          cwd=str(importlib.import_module("sorvane").__path__[0] + "/.."))
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: nearmesh.mutual_knn(POINTS), "mutual_knn() takes at least 2 positional arguments (1 given)"),
        (lambda: nearmesh.mutual_knn(), "mutual_knn() takes at least 2 positional arguments (0 given)"),
        (lambda: nearmesh.mutual_knn(POINTS, 1, 2, 3), "mutual_knn() takes at most 3 positional arguments (4 given)"),
        (lambda: nearmesh.mutual_knn(k=1), "mutual_knn() takes at least 2 positional arguments (0 given)"),
        (lambda: nearmesh.mutual_knn(POINTS, 1, q=2), "mutual_knn() got an unexpected keyword argument 'q'"),
        (lambda: nearmesh.mutual_knn(POINTS, 1, X=POINTS),
         "mutual_knn() got multiple values for keyword argument 'X'"),
        (lambda: nearmesh.GraphWrapper(1, 0), "GraphWrapper() takes at least 3 positional arguments (2 given)"),
        (lambda: nearmesh.GraphWrapper(1, 0, 1).to_numpy(), "to_numpy() takes exactly 1 positional argument (0 given)"),
        (lambda: nearmesh.GraphWrapper(1, 0, 1).append(0, 1, 2),
         "append() takes exactly 2 positional arguments (3 given)"),
        (lambda: nearmesh.GraphWrapper(1, 0, 1).to_numpy_all(1), None),
        (lambda: treleck_mst.GraphWrapper(1, 1, 1).pop_max(x=1), None),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as error:
        call()
    if message is not None:
        assert str(error.value) == message


def test_keywords_bind_like_positions():
    by_position = nearmesh.mutual_knn(POINTS, 2, 1)
    by_keyword = nearmesh.mutual_knn(p=1, k=2, X=POINTS)
    for a, b in zip(by_position[:2], by_keyword[:2]):
        assert [x.tolist() for x in a.to_numpy_all()] == [x.tolist() for x in b.to_numpy_all()]
    np.testing.assert_array_equal(by_position[2], by_keyword[2])


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((2.9, 0, 1), None, None),  # a float for an integer parameter is truncated
        (("2", 0, 1), TypeError, "an integer is required"),
        ((None, 0, 1), TypeError, "an integer is required"),
        ((-1, 0, 1), OverflowError, "can't convert negative value to size_t"),
        ((2**64, 0, 1), OverflowError, "value too large to convert to size_t"),
        ((1, 0, 2**31), OverflowError, "value too large to convert to int"),
        ((1, 0, -(2**31) - 1), OverflowError, "value too large to convert to int"),
        ((1, -1, 1), OverflowError, None),
        ((1, 2**32, 1), OverflowError, None),
        ((1, 2, 1), ValueError, "Unsupported data type"),
        ((2**62, 0, 1), MemoryError, None),
    ],
)
def test_integer_conversions(args, error, message):
    if error is None:
        wrapper = nearmesh.GraphWrapper(*args)
        assert len(wrapper.to_numpy_all()) == 2
        return
    with pytest.raises(error) as raised:
        nearmesh.GraphWrapper(*args)
    if message is not None:
        assert str(raised.value) == message


class NdarraySubclass(np.ndarray):
    pass


@pytest.mark.parametrize(
    "X, error, message",
    [
        (POINTS.astype(np.float32), ValueError, "Buffer dtype mismatch, expected 'DTYPE_t' but got 'float'"),
        (POINTS.astype(np.int64), ValueError, "Buffer dtype mismatch, expected 'DTYPE_t' but got 'long'"),
        (POINTS.ravel(), ValueError, "Buffer has wrong number of dimensions (expected 2, got 1)"),
        (np.asfortranarray(np.ones((4, 2))), ValueError, "Buffer not C contiguous."),
        (np.ones((4, 4))[:, ::2], ValueError, "Buffer not C contiguous."),
        (POINTS.astype(">f8"), ValueError, "Big-endian buffer not supported on little-endian compiler"),
        (POINTS.tolist(), TypeError, None),
        (None, TypeError, None),
    ],
)
def test_typed_array_checks(X, error, message):
    with pytest.raises(error) as raised:
        nearmesh.mutual_knn(X, 1)
    if message is not None:
        assert str(raised.value) == message


def test_read_only_array_is_refused_where_written_and_subclasses_are_accepted():
    frozen = POINTS.copy()
    frozen.flags.writeable = False
    with pytest.raises(ValueError):
        nearmesh.mutual_knn(frozen, 1)
    result = nearmesh.mutual_knn(POINTS.copy().view(NdarraySubclass), 1)
    assert result[0].to_numpy(0).tolist() == [1]


def test_exported_callables_have_signatures():
    assert str(inspect.signature(nearmesh.mutual_knn)) == "(X, k, p=2)"
    assert str(inspect.signature(nearmesh.GraphWrapper)) == "(count, dtype, max_size, lookup_opt=False)"
    assert str(inspect.signature(treleck_mst.GraphWrapper.pop)) == "(self, /, list_index, element_index)"


@pytest.mark.parametrize(
    "X",
    [POINTS.astype(np.float32), POINTS.ravel(), np.asfortranarray(np.ones((4, 2))), bytearray(b"12345678")],
    ids=["dtype", "dimensions", "layout", "bytearray"],
)
def test_a_refused_array_is_released(X):
    before = sys.getrefcount(X)
    for _ in range(20):
        with pytest.raises((ValueError, TypeError)):
            nearmesh.mutual_knn(X, 1)
    assert sys.getrefcount(X) == before
    if isinstance(X, bytearray):
        X.append(1)  # no export left behind


def test_graph_wrapper_methods_cannot_be_replaced_on_the_type():
    with pytest.raises(TypeError):
        nearmesh.GraphWrapper.to_numpy = lambda self, index: None
    with pytest.raises(TypeError):
        treleck_mst.GraphWrapper.pop = lambda self, a, b: None
