"""Argument fuzzing: every callable, with each parameter in turn replaced by wrong values, and with
random valid-shaped inputs, must return a result or raise a Python exception, never crash.

The callables of each module run in a child process (this file run as a script), which writes the
name of every call before making it, so that a crash is reported as a failure naming the call. A
SystemError other than one a kernel raises on purpose is a failure too: it is how the interpreter
reports a function that returned NULL without an exception, or a result with one set.
"""

import os
import pathlib
import resource
import subprocess
import sys
import warnings

import numpy as np
import pytest

import hardening_cases as cases
from hardening_cases import Context, load, wrong_values

RANDOM_CONTEXTS = 12  # random data sets per callable, besides the wrong-argument batch
CHILD_ADDRESS_SPACE = 8 << 30


# ---- the child: runs one module's batches ---------------------------------------------------------

SANCTIONED_SYSTEM_ERRORS = {"NO PROGRESS :)"}


def fresh_call(row, module, ctx, change=lambda args: (args, {})):
    """A call of the row's callable on fresh valid arguments, as `change(args)` -> (args, kwargs) alters them."""

    def thunk():
        target, args = row.build(module, ctx)
        args, kwargs = change(args)
        return target(*args, **kwargs)

    return thunk


def call_cases(row, ctx):
    """(description, thunk) for every call of the batch."""
    module = load(row.module)
    _, valid = row.build(module, ctx)
    yield "valid arguments", fresh_call(row, module, ctx)
    names = [p.name for p in row.params]
    if names:
        yield "all by keyword", fresh_call(row, module, ctx, lambda a: ([], dict(zip(names, a))))
        yield "no arguments", fresh_call(row, module, ctx, lambda a: ([], {}))
        yield "unknown keyword", fresh_call(row, module, ctx, lambda a: (a, {"no_such_parameter": 1}))
        yield "given twice", fresh_call(row, module, ctx, lambda a: (a, {names[0]: a[0]}))
    yield "one argument too many", fresh_call(row, module, ctx, lambda a: (a + [None], {}))
    for position, param in enumerate(row.params):
        for label, value in wrong_values(param, valid[position], ctx, row.module):
            replace = lambda a, p=position, v=value: (a[:p] + [v] + a[p + 1:], {})  # noqa: E731
            yield f"{param.name} = {label}", fresh_call(row, module, ctx, replace)
    for label, change in cases.REENTRANT.get(row.id, []):
        yield label, fresh_call(row, module, ctx, lambda a, c=change: (c(a), {}))
    if "." not in row.name:
        for label, name, make in cases.dependency_patches():
            if hasattr(module, name):
                yield f"{label}", lambda name=name, make=make: patched_call(row, module, ctx, name, make())


def patched_call(row, module, ctx, name, replacement):
    """The valid call with module-level `name` replaced for its duration."""
    original = getattr(module, name)
    setattr(module, name, replacement)
    try:
        target, args = row.build(module, ctx)
        return target(*args)
    finally:
        setattr(module, name, original)


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
    if not os.environ.get("SORVANE_SANITIZED"):  # the sanitizer reserves terabytes of address space
        # A runaway allocation becomes a MemoryError here instead of a visit of the OOM killer.
        resource.setrlimit(resource.RLIMIT_AS, (CHILD_ADDRESS_SPACE, CHILD_ADDRESS_SPACE))
    failures = []
    contexts = [Context(seed=0, n=8)] + [Context(seed=s) for s in range(1, RANDOM_CONTEXTS + 1)]
    count = 0
    for row_id, row in cases.ROWS_BY_ID.items():
        if row.module != module or not row.available():
            continue
        for number, ctx in enumerate(contexts):
            batch = call_cases(row, ctx) if number == 0 else [
                (f"random valid arguments (seed {ctx.seed}, n = {ctx.n})", fresh_call(row, load(row.module), ctx))]
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


@pytest.mark.parametrize("row_id", list(cases.ROWS_BY_ID))
def test_table_builds_valid_arguments(row_id, monkeypatch, tmp_path):
    # Wrong arguments are only meaningful next to valid ones: a row whose builder no longer fits its
    # callable would test nothing but error paths.
    monkeypatch.chdir(tmp_path)  # the distance-file writer's files
    row = cases.ROWS_BY_ID[row_id]
    if not row.available():
        pytest.skip(f"{row.id} is not built yet")
    target, args = row.build(load(row.module), Context(seed=0, n=8))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if row.raises is None:
            touch(target(*args))
        else:
            with pytest.raises(row.raises):
                target(*args)


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
