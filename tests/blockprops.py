"""Properties every stateful block type must have, as reusable checks.

Each check takes a factory (a callable building a fresh object with fixed
arguments) and a `run(obj, k)` callable that feeds the k-th chunk of a fixed input
(or generates k outputs) and returns a NumPy array.
"""

import numpy as np
import pytest


def assert_same(a, b):
    a = np.asarray(a)
    b = np.asarray(b)
    assert a.dtype == b.dtype
    assert a.shape == b.shape
    np.testing.assert_array_equal(a, b)


def check_chunked_equals_whole(make, run_whole, run_chunks):
    """run_whole(obj) -> array; run_chunks(obj) -> list of arrays; their concatenation is equal."""
    whole = run_whole(make())
    parts = run_chunks(make())
    assert_same(whole, np.concatenate(parts) if parts else whole[:0])


def check_state_roundtrip(make, step):
    """After some steps, a blob restored into a fresh object continues identically;
    reset() repeats the first output."""
    a = make()
    first = step(a)
    step(a)
    blob = a.get_state()
    assert isinstance(blob, bytes) and len(blob) == a.state_bytes()
    b = make()
    b.set_state(blob)
    assert_same(step(a), step(b))
    assert_same(step(a), step(b))
    a.reset()
    assert_same(step(a), first)


def check_blob_refusals(make, step, foreign_blob=None):
    """Malformed blobs are refused with the fixed texts and change nothing."""
    a = make()
    step(a)
    good = a.get_state()
    with pytest.raises(TypeError, match="^set_state expects bytes$"):
        a.set_state(bytearray(good))
    with pytest.raises(ValueError, match="^state blob size mismatch$"):
        a.set_state(b"")
    with pytest.raises(ValueError, match="^state blob size mismatch$"):
        a.set_state(good + b"\0")
    bad = []
    for off, val in ((0, good[0] ^ 0x20), (4, good[4] ^ 1), (6, 0), (8, good[8] ^ 1)):
        blob = bytearray(good)
        blob[off] = val
        bad.append(bytes(blob))
    if foreign_blob is not None and len(foreign_blob) == len(good):
        bad.append(foreign_blob)
    for blob in bad:
        with pytest.raises(ValueError, match="^set_state rejected the blob$"):
            a.set_state(blob)
        assert a.get_state() == good
    ref = make()
    ref.set_state(good)
    assert_same(step(a), step(ref))


def check_destroyed(obj, calls):
    """destroy() twice is harmless; every listed call then raises "destroyed"."""
    obj.destroy()
    obj.destroy()
    for call in calls:
        with pytest.raises(RuntimeError, match="^destroyed$"):
            call(obj)
    assert obj.__enter__() is obj
    obj.__exit__(None, None, None)
