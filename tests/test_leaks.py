"""Repeated calls leak nothing: neither references to the arguments, nor Python objects, nor memory
of the compiled code. Every callable of the table runs many times with valid arguments and with
each parameter in turn replaced by a wrong value (the error paths), and after a warm-up the
reference counts of the arguments, the interpreter's allocated blocks and the C heap's bytes in use
must come back to where they were. The tolerances absorb caches that fill once; a leak of one
object or one buffer per call exceeds them.
"""

import ctypes
import ctypes.util
import gc
import sys
import warnings

import pytest

import hardening_cases as cases
from hardening_cases import Context, load, wrong_values

WARM_UP = 10
CALLS = 200
ROUNDS = 3


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _heap_in_use_function():
    """Bytes of the C heap in use (glibc), or None where that cannot be read."""
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c"))
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError, TypeError):
        return None
    mallinfo2.restype = _MallInfo2

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return in_use


heap_in_use = _heap_in_use_function()


def scenarios(row, ctx):
    """(description, callable, arguments): valid arguments, then each parameter in turn given a wrong
    value of its kind (and the first one None)."""
    module = load(row.module)
    target, valid = row.build(module, ctx)
    yield "valid arguments", target, valid
    for position, param in enumerate(row.params):
        wrong = wrong_values(param, valid[position], ctx, row.module)
        for label, value in wrong[0 if position == 0 else 1:2]:
            target, args = row.build(module, ctx)
            args[position] = value
            yield f"{param.name} = {label}", target, args


def run(target, args):
    try:
        target(*args)
    except Exception:
        pass


def test_tracked_counters_are_live():
    # The block count must move when objects are kept, or the checks below would prove nothing.
    if sys.flags.dev_mode or not sys.getallocatedblocks():
        pytest.skip("the interpreter does not count its blocks here")
    gc.collect(1)
    before = sys.getallocatedblocks()
    kept = [object() for _ in range(CALLS)]
    assert sys.getallocatedblocks() - before >= CALLS
    del kept


def growth(target, args):
    """What one round of CALLS calls leaves behind: (reference growth per argument, blocks, heap bytes).

    Collects the young generations only: a full collection is slow with the scientific libraries
    loaded, and the garbage of a round is young."""
    gc.collect(1)
    references = [sys.getrefcount(a) for a in args]
    blocks = sys.getallocatedblocks()
    heap = heap_in_use() if heap_in_use else 0
    for _ in range(CALLS):
        run(target, args)
    gc.collect(1)
    after = [sys.getrefcount(a) for a in args]
    return ([now - before for now, before in zip(after, references)], sys.getallocatedblocks() - blocks,
            (heap_in_use() - heap) if heap_in_use else 0)


def leaks(target, args):
    """The growth of the last of up to ROUNDS rounds; a cache fills in the first ones, a leak grows in all."""
    for _ in range(WARM_UP):
        run(target, args)
    for _ in range(ROUNDS):
        references, blocks, heap = growth(target, args)
        found = []
        if any(references):
            found.append(f"references to the arguments grew by {references}")
        if blocks >= CALLS // 2:
            found.append(f"{blocks} more Python blocks")
        if heap >= 64 * CALLS:
            found.append(f"{heap} more heap bytes")
        if not found:
            return []
    return found


@pytest.mark.parametrize("row_id", list(cases.ROWS_BY_ID))
def test_repeated_calls_return_everything(row_id, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)  # the distance-file writer's files
    row = cases.ROWS_BY_ID[row_id]
    if not row.available():
        pytest.skip(f"{row.id} is not built yet")
    ctx = Context(seed=0, n=8)
    problems = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for description, target, args in scenarios(row, ctx):
            problems += [f"{description}: {found} after {CALLS} calls" for found in leaks(target, args)]
    assert not problems, f"{row_id}:\n" + "\n".join(problems)
