"""Argument fuzzing: every callable, with each parameter in turn replaced by wrong values, and with
random valid-shaped inputs, must return a result or raise a Python exception, never crash.

Each callable runs its batch in a child process (this file run as a script), which writes the name
of every call before making it, so that a crash is reported as a failure naming the call. A
SystemError other than one a kernel raises on purpose is a failure too: it is how the interpreter
reports a function that returned NULL without an exception, or a result with one set.
"""

import os
import pathlib
import subprocess
import sys
import warnings

import numpy as np
import pytest

import hardening_cases as cases
from hardening_cases import FLOAT32, INT64, Context, InputData, fill, load

RANDOM_CONTEXTS = 12  # random data sets per callable, besides the wrong-argument batch


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
    lists = (ctx.graph if dtype == INT64 else ctx.graph_weights) if module.startswith("velmar") or module == "nearmesh" \
        else (ctx.tree if dtype == INT64 else ctx.tree_weights)
    size = max(2, ctx.n)
    out = [("object()", object()), ("int", 5), ("list of arrays", [np.zeros(1, np.int64)])]
    for other in cases.GRAPH_MODULES:
        cls = load(other).GraphWrapper
        out.append((f"{other} wrapper", fill(cls, ctx.n, dtype, lists, size)))
        subclass = type("Sub", (cls,), {})
        out.append((f"{other} subclass", fill(subclass, ctx.n, dtype, lists, size)))
        overriding = type("Override", (cls,), {"to_numpy": lambda self, i: np.array([ctx.n], np.int64),
                                               "contains": lambda self, i, v: False,
                                               "pop_max": lambda self: [0, 1]})
        out.append((f"{other} subclass with bad overrides", fill(overriding, ctx.n, dtype, lists, size)))
    cls = load(cases.GRAPH_MODULES[0] if module not in cases.GRAPH_MODULES else module).GraphWrapper
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


# ---- the child: runs one row's batch --------------------------------------------------------------

SANCTIONED_SYSTEM_ERRORS = {"NO PROGRESS :)"}


def call_cases(row, ctx):
    """(description, thunk) for every call of the batch."""
    module = load(row.module)
    target, valid = row.build(module, ctx)
    yield "valid arguments", lambda: target(*valid)
    names = [p.name for p in row.params]
    if names:
        yield "all by keyword", (lambda: (lambda t, a: t(**dict(zip(names, a))))(*row.build(module, ctx)))
        yield "no arguments", lambda: row.build(module, ctx)[0]()
        yield "unknown keyword", lambda: (lambda t, a: t(*a, no_such_parameter=1))(*row.build(module, ctx))
        yield "given twice", lambda: (lambda t, a: t(*a, **{names[0]: a[0]}))(*row.build(module, ctx))
    yield "one argument too many", lambda: (lambda t, a: t(*a, None))(*row.build(module, ctx))
    for position, param in enumerate(row.params):
        for label, value in wrong_values(param, valid[position], ctx, row.module):
            def thunk(position=position, value=value):
                target, args = row.build(module, ctx)
                args[position] = value
                return target(*args)

            yield f"{param.name} = {label}", thunk


def touch(result):
    """Reads every part of a result, as a caller would."""
    if isinstance(result, (tuple, list)):
        for item in result:
            touch(item)
    elif isinstance(result, np.ndarray):
        result.sum()
    elif hasattr(result, "to_numpy_all"):
        touch(result.to_numpy_all())
    repr(result)


def run_batch(module):
    """Runs the batches of every available row of `module`; returns the exit status."""
    warnings.simplefilter("ignore")
    failures = []
    contexts = [Context(seed=0, n=8)] + [Context(seed=s) for s in range(1, RANDOM_CONTEXTS + 1)]
    count = 0
    for row_id, row in cases.ROWS_BY_ID.items():
        if row.module != module or not row.available():
            continue
        for number, ctx in enumerate(contexts):
            batch = call_cases(row, ctx) if number == 0 else [
                (f"random valid arguments (seed {ctx.seed}, n = {ctx.n})",
                 (lambda: (lambda t, a: t(*a))(*row.build(load(row.module), ctx))))]
            for description, thunk in batch:
                print(f"CALL {row_id}: {description}", flush=True)
                count += 1
                try:
                    touch(thunk())
                except SystemError as error:
                    if str(error) not in SANCTIONED_SYSTEM_ERRORS or SystemError not in row.tolerated:
                        failures.append(f"{row_id}: {description}: SystemError: {error}")
                except Exception:
                    pass
    for failure in failures:
        print(f"FAIL {failure}", flush=True)
    print(f"DONE {count}", flush=True)
    return 1 if failures else 0


# ---- the tests ------------------------------------------------------------------------------------


def package_root():
    import sorvane

    return str(pathlib.Path(sorvane.__file__).resolve().parents[1])


@pytest.mark.parametrize("module", list(cases.MODULE_PATHS))
def test_wrong_and_random_arguments_never_crash(module, tmp_path):
    if not any(row.module == module and row.available() for row in cases.ROWS):
        pytest.skip(f"no callable of {module} is built yet")
    env = dict(os.environ)
    here = str(pathlib.Path(__file__).resolve().parent)
    env["PYTHONPATH"] = os.pathsep.join([package_root(), here] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    timeout = 900 if env.get("SORVANE_SANITIZED") else 180
    try:
        child = subprocess.run([sys.executable, __file__, module], cwd=tmp_path, env=env, capture_output=True,
                               text=True, timeout=timeout)
    except subprocess.TimeoutExpired as expired:
        lines = (expired.stdout or b"").decode(errors="replace").splitlines()
        calls = [line for line in lines if line.startswith("CALL ")]
        pytest.fail(f"no end after {timeout} s; last call started: {calls[-1] if calls else '(none)'}")
    lines = child.stdout.splitlines()
    calls = [line[5:] for line in lines if line.startswith("CALL ")]
    fails = [line[5:] for line in lines if line.startswith("FAIL ")]
    if child.returncode != 0 and not fails:
        last = calls[-1] if calls else "(before the first call)"
        pytest.fail(f"the child process died (exit status {child.returncode}) in {last}\n"
                    f"{child.stderr[-4000:]}")
    assert not fails, "calls that reported a C-level fault:\n" + "\n".join(fails)
    assert lines and lines[-1].startswith("DONE"), child.stdout[-2000:] + child.stderr[-2000:]


if __name__ == "__main__":
    sys.exit(run_batch(sys.argv[1]))
