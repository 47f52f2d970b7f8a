"""GraphWrapper: bounded typed lists per vertex, lookup sets, copies out, removal operations."""

import copy
import pickle

import numpy as np
import pytest

from sorvane.algorithms.src.treleck.binaries import treleck_core, treleck_mst
from sorvane.algorithms.src.velmar.binaries import nearmesh

INT64, FLOAT32 = 0, 1
ALL_TYPES = [nearmesh.GraphWrapper, treleck_mst.GraphWrapper, treleck_core.GraphWrapper]
REMOVAL_TYPES = ALL_TYPES[1:]


@pytest.fixture(params=ALL_TYPES, ids=["nearmesh", "treleck_mst", "treleck_core"])
def Wrapper(request):
    return request.param


def lists(wrapper):
    return [a.tolist() for a in wrapper.to_numpy_all()]


def test_three_distinct_types_with_qualified_names():
    names = {f"{t.__module__}.{t.__qualname__}" for t in ALL_TYPES}
    assert names == {
        "sorvane.algorithms.src.velmar.binaries.nearmesh.GraphWrapper",
        "sorvane.algorithms.src.treleck.binaries.treleck_mst.GraphWrapper",
        "sorvane.algorithms.src.treleck.binaries.treleck_core.GraphWrapper",
    }
    assert not isinstance(nearmesh.GraphWrapper(1, 0, 1), treleck_mst.GraphWrapper)
    assert not hasattr(nearmesh.GraphWrapper, "pop") and not hasattr(nearmesh.GraphWrapper, "pop_max")
    assert all(hasattr(t, "pop") and hasattr(t, "pop_max") for t in REMOVAL_TYPES)


@pytest.mark.parametrize("dtype", [INT64, FLOAT32])
def test_each_list_holds_three_times_max_size(Wrapper, dtype):
    wrapper = Wrapper(3, dtype, 2)
    for _ in range(6):
        wrapper.append(1, 5)
    with pytest.raises(OverflowError, match="^Array has reached its maximum size$"):
        wrapper.append(1, 5)
    assert lists(wrapper) == [[], [5] * 6, []]


@pytest.mark.parametrize("max_size", [0, -4])
def test_non_positive_max_size_admits_nothing(Wrapper, max_size):
    wrapper = Wrapper(2, INT64, max_size)
    with pytest.raises(OverflowError):
        wrapper.append(0, 1)
    assert wrapper.to_numpy(0).dtype == np.int64 and wrapper.to_numpy(0).size == 0


@pytest.mark.parametrize("index", [-1, 2, 2**40])
def test_list_index_outside_the_wrapper(Wrapper, index):
    wrapper = Wrapper(2, INT64, 1, True)
    for call in (lambda: wrapper.append(index, 1), lambda: wrapper.contains(index, 1),
                 lambda: wrapper.to_numpy(index)):
        with pytest.raises(IndexError, match="^Invalid array index$"):
            call()
    assert lists(wrapper) == [[], []]


@pytest.mark.parametrize(
    "value, stored, error",
    [
        (7.9, 7, None),
        (-7.9, -7, None),
        (True, 1, None),
        (np.int32(4), 4, None),
        (2**63 - 1, 2**63 - 1, None),
        ("7", None, TypeError),
        (None, None, TypeError),
        (2**63, None, OverflowError),
    ],
)
def test_int64_append_conversion(Wrapper, value, stored, error):
    wrapper = Wrapper(1, INT64, 1)
    if error is not None:
        with pytest.raises(error):
            wrapper.append(0, value)
        assert lists(wrapper) == [[]]
    else:
        wrapper.append(0, value)
        assert lists(wrapper) == [[stored]]


def test_float32_append_rounds_to_single_precision(Wrapper):
    wrapper = Wrapper(1, FLOAT32, 2)
    for value in (1, 0.1, np.float64(1e40), 2**70):
        wrapper.append(0, value)
    stored = wrapper.to_numpy(0)
    assert stored.dtype == np.float32
    assert stored[0] == 1.0 and stored[1] == np.float32(0.1) and float(stored[1]) != 0.1
    assert np.isinf(stored[2]) and stored[3] == np.float32(2**70)
    with pytest.raises(TypeError):
        wrapper.append(0, "0.5")


def test_lookup_sets_answer_membership_per_list(Wrapper):
    wrapper = Wrapper(3, INT64, 2, lookup_opt=True)
    wrapper.append(0, 4)
    wrapper.append(0, -2**63)
    wrapper.append(2, 9)
    assert wrapper.contains(0, 4) and wrapper.contains(0, -2**63)
    assert not wrapper.contains(0, 9) and not wrapper.contains(1, 4)
    assert wrapper.contains(2, 9) is True and wrapper.contains(1, 9) is False


def test_contains_without_lookup_sets_scans_the_list_and_refuses_float32(Wrapper):
    wrapper = Wrapper(1, INT64, 2)
    wrapper.append(0, 3)
    assert wrapper.contains(0, 3) and not wrapper.contains(0, 4)
    with pytest.raises(TypeError, match="^Membership check only supported for int64 arrays$"):
        Wrapper(1, FLOAT32, 1).contains(0, 1)


def test_to_numpy_is_an_independent_copy(Wrapper):
    wrapper = Wrapper(2, INT64, 1)
    wrapper.append(0, 1)
    copied = wrapper.to_numpy(0)
    copied[0] = 99
    wrapper.append(0, 2)
    assert copied.tolist() == [99]
    assert lists(wrapper) == [[1, 2], []]
    assert copied.flags.c_contiguous and copied.flags.owndata
    assert Wrapper(0, INT64, 1).to_numpy_all() == []


@pytest.mark.parametrize("action", [pickle.dumps, copy.copy, copy.deepcopy,
                                    lambda w: w.__reduce__(), lambda w: w.__setstate__(None)])
def test_pickling_and_copying_are_refused(Wrapper, action):
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        action(Wrapper(1, INT64, 1))


def test_subclass_override_is_honoured_by_to_numpy_all(Wrapper):
    class Doubled(Wrapper):
        def to_numpy(self, index):
            return super().to_numpy(index) * 2

    wrapper = Doubled(2, INT64, 1)
    wrapper.append(1, 21)
    assert lists(wrapper) == [[], [42]]


# ---- removal operations -------------------------------------------------------------------------


@pytest.fixture(params=REMOVAL_TYPES, ids=["treleck_mst", "treleck_core"])
def Removable(request):
    return request.param


def test_pop_returns_the_element_and_closes_the_gap(Removable):
    wrapper = Removable(1, INT64, 1, True)
    for value in (5, 6, 7):
        wrapper.append(0, value)
    assert wrapper.pop(0, 1) == 6
    assert lists(wrapper) == [[5, 7]]
    assert wrapper.pop(0, 0) == 5 and lists(wrapper) == [[7]]
    assert wrapper.contains(0, 5)  # lookup sets keep removed values
    weights = Removable(1, FLOAT32, 1)
    weights.append(0, 0.1)
    taken = weights.pop(0, 0)
    assert type(taken) is float and taken == float(np.float32(0.1))


@pytest.mark.parametrize(
    "list_index, element_index, message",
    [
        (1, 0, "Cannot pop from an empty sublist"),
        (1, -1, "Cannot pop from an empty sublist"),
        (0, -1, "Element index out of range"),
        (0, 1, "Element index out of range"),
        (2, 0, "List index out of range"),
        (-1, 0, "List index out of range"),
    ],
)
def test_pop_checks(Removable, list_index, element_index, message):
    wrapper = Removable(2, INT64, 1)
    wrapper.append(0, 3)
    with pytest.raises(IndexError, match=f"^{message}$"):
        wrapper.pop(list_index, element_index)
    assert lists(wrapper) == [[3], []]


def path_weights(Removable, edges, n):
    weights = Removable(n, FLOAT32, n)
    for a, b, w in edges:
        weights.append(a, w)
        weights.append(b, w)
    return weights


def test_pop_max_removes_heaviest_edges_in_turn(Removable):
    weights = path_weights(Removable, [(0, 1, 1.0), (1, 2, 3.0)], 3)
    assert weights.pop_max() == (1, 2)
    assert lists(weights) == [[1.0], [1.0], []]
    assert weights.pop_max() == (0, 1)
    with pytest.raises(ValueError, match="^All sub-arrays are empty, cannot pop max$"):
        weights.pop_max()


def test_pop_max_removes_every_tied_maximum_and_names_the_first_two(Removable):
    weights = path_weights(Removable, [(0, 2, 5.0), (1, 3, 5.0), (0, 1, 2.0)], 4)
    assert weights.pop_max() == (0, 1)
    assert lists(weights) == [[2.0], [2.0], [], []]


@pytest.mark.parametrize(
    "contents",
    [
        [[float("nan")], [-2.0]],  # nothing at or above -1.0
        [[], []],
    ],
)
def test_pop_max_without_candidates(Removable, contents):
    weights = Removable(2, FLOAT32, 1)
    for i, values in enumerate(contents):
        for v in values:
            weights.append(i, v)
    with pytest.raises(ValueError, match="^All sub-arrays are empty, cannot pop max$"):
        weights.pop_max()
    assert len(lists(weights)[0]) == len(contents[0])


def test_pop_max_edge_cases(Removable):
    ints = Removable(1, INT64, 1)
    ints.append(0, 10)
    with pytest.raises(ValueError):
        ints.pop_max()
    minus_one = path_weights(Removable, [(0, 1, -1.0)], 2)
    assert minus_one.pop_max() == (0, 1)
    single = Removable(2, FLOAT32, 1)
    single.append(1, 4.0)
    single.append(1, 1.0)
    with pytest.raises(IndexError):
        single.pop_max()  # the only maximal element is removed, then the missing second vertex reported
    assert lists(single) == [[], [1.0]]


@pytest.mark.parametrize("count", [3, 40])
def test_lookup_sets_keep_removed_values_of_short_and_long_lists(Removable, count):
    wrapper = Removable(1, INT64, 20, lookup_opt=True)
    for value in range(count):
        wrapper.append(0, value)
    wrapper.pop(0, 0)
    wrapper.pop(0, 0)
    for value in range(100, 105):
        wrapper.append(0, value)
    assert all(wrapper.contains(0, v) for v in [*range(count), *range(100, 105)])
    assert not wrapper.contains(0, -1) and not wrapper.contains(0, 99)
