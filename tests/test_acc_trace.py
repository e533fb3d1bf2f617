"""Accumulating trace (no Python type): driven through the module's exported
core functions."""

import ctypes
import struct

import numpy as np
import pytest

from kolvane import spectral

LIB = ctypes.CDLL(spectral.__file__)
_p, _z = ctypes.c_void_p, ctypes.c_size_t
LIB.acc_trace_create.restype = _p
LIB.acc_trace_create.argtypes = [ctypes.c_uint64, ctypes.c_uint, ctypes.c_double]
LIB.acc_trace_destroy.argtypes = [_p]
LIB.acc_trace_reset.argtypes = [_p]
LIB.acc_trace_state_bytes.restype = _z
LIB.acc_trace_state_bytes.argtypes = [_p]
LIB.acc_trace_get_state.argtypes = [_p, ctypes.c_char_p]
LIB.acc_trace_set_state.restype = ctypes.c_int
LIB.acc_trace_set_state.argtypes = [_p, ctypes.c_char_p]
LIB.acc_trace_accumulate.argtypes = [_p, _p, _z]
LIB.acc_trace_value.restype = _z
LIB.acc_trace_value.argtypes = [_p, _z, _p, _z]
LIB.acc_trace_value_max_out.restype = _z
LIB.acc_trace_value_max_out.argtypes = [_p]
LIB.acc_trace_count.restype = ctypes.c_uint64
LIB.acc_trace_count.argtypes = [_p]

MODES = {"mean": 0, "exp": 1, "maxhold": 2, "minhold": 3}


class Trace:
    def __init__(self, length, mode, alpha=0.1):
        self.len = length
        self.h = LIB.acc_trace_create(length, MODES[mode], alpha)
        assert self.h

    def __del__(self):
        LIB.acc_trace_destroy(self.h)

    def add(self, frame):
        f = np.ascontiguousarray(frame, np.float32)
        LIB.acc_trace_accumulate(self.h, f.ctypes.data, f.size)

    def value(self, cap=None):
        cap = self.len if cap is None else cap
        out = np.full(max(cap, 1), -1.0, np.float32)
        n = LIB.acc_trace_value(self.h, 0, out.ctypes.data, cap)
        return out[:n]

    @property
    def count(self):
        return LIB.acc_trace_count(self.h)

    def get_state(self):
        buf = ctypes.create_string_buffer(LIB.acc_trace_state_bytes(self.h))
        LIB.acc_trace_get_state(self.h, buf)
        return buf.raw

    def set_state(self, blob):
        return LIB.acc_trace_set_state(self.h, blob)


@pytest.mark.parametrize("mode,frames,expected", [
    ("mean", [[1, 3], [3, 5]], [2, 4]),
    ("mean", [[1, 3], [3, 5], [5, 7]], [3, 5]),
    ("maxhold", [[1, 5], [4, 2]], [4, 5]),
    ("minhold", [[1, 5], [4, 2]], [1, 2]),
    ("exp", [[10], [0]], [9]),
])
def test_modes(mode, frames, expected):
    t = Trace(len(expected), mode, 0.1)
    for f in frames:
        t.add(f)
    np.testing.assert_allclose(t.value(), expected, rtol=1e-7)
    assert t.count == len(frames)


@pytest.mark.parametrize("alpha,expected", [(1.0, 7.0), (2.5, 7.0), (0.0, 10.0)])
def test_exponential_extremes(alpha, expected):
    t = Trace(1, "exp", alpha)
    for v in (10, 3, 7):
        t.add([v])
    assert t.value()[0] == expected


def test_mean_matches_numpy_over_many_frames(rng):
    frames = rng.standard_normal((37, 16)).astype(np.float32)
    t = Trace(16, "mean")
    for f in frames:
        t.add(f)
    np.testing.assert_allclose(t.value(), frames.astype(np.float64).mean(axis=0), rtol=1e-5, atol=1e-6)


def test_empty_short_and_long_frames():
    t = Trace(4, "mean")
    assert t.value().size == 0 and t.count == 0
    t.add([1, 2, 3])  # len - 1 values: ignored
    assert t.count == 0 and t.value().size == 0
    t.add([1, 2, 3, 4, 99, 99])  # longer: its first len values
    np.testing.assert_array_equal(t.value(), [1, 2, 3, 4])
    np.testing.assert_array_equal(t.value(cap=2), [1, 2])
    assert LIB.acc_trace_value_max_out(t.h) == 4
    LIB.acc_trace_reset(t.h)
    assert t.count == 0 and t.value().size == 0
    t.add([5, 5, 5, 5])  # first frame after reset starts afresh
    np.testing.assert_array_equal(t.value(), [5, 5, 5, 5])


def test_nan_never_enters_holds_after_first_frame():
    for mode in ("maxhold", "minhold"):
        t = Trace(2, mode)
        t.add([1, 1])
        t.add([np.nan, 2 if mode == "maxhold" else 0])
        assert not np.isnan(t.value()).any()
    m = Trace(1, "mean")
    m.add([1])
    m.add([np.nan])
    assert np.isnan(m.value()[0])


def test_create_refusals():
    assert LIB.acc_trace_create(0, 0, 0.1) is None
    assert LIB.acc_trace_create(4, 4, 0.1) is None
    assert LIB.acc_trace_create(2**62, 0, 0.1) is None


def test_blob_layout_and_restore():
    t = Trace(3, "mean")
    for f in ([3, 6, 9], [6, 9, 12], [0, 0, 0]):
        t.add(f)
    blob = t.get_state()
    assert len(blob) == 24 + 8 * 3
    assert blob[:4] == b"ATRC" and struct.unpack_from("<HBBQ", blob, 4) == (1, 1, 0, len(blob))
    assert struct.unpack_from("<Q", blob, 16)[0] == 3
    np.testing.assert_array_equal(np.frombuffer(blob, "<f8", offset=24), [3, 5, 7])
    u = Trace(3, "mean")
    assert u.set_state(blob) == 0 and u.count == 3
    # The fourth frame gets weight 1/4 in both.
    for tr in (t, u):
        tr.add([7, 9, 11])
    np.testing.assert_array_equal(t.value(), u.value())
    np.testing.assert_allclose(u.value(), [4, 6, 8])
    # A blob with count 0 empties the trace.
    zero = bytearray(blob)
    zero[16:24] = bytes(8)
    assert u.set_state(bytes(zero)) == 0 and u.count == 0 and u.value().size == 0


@pytest.mark.parametrize("count,accepted", [(2**64 - 1, False), (2**64 - 2, True)])
def test_frame_count_that_would_wrap_refused(count, accepted):
    t = Trace(3, "mean")
    t.add([1, 2, 3])
    good = t.get_state()
    b = good[:16] + struct.pack("<Q", count) + good[24:]
    assert t.set_state(b) == (0 if accepted else -4)
    assert t.get_state() == (b if accepted else good)


@pytest.mark.parametrize("mode", ["mean", "maxhold"])
def test_frame_count_saturates_at_largest_restorable(mode):
    # Folding at the largest restorable count neither wraps to an empty trace
    # nor reaches a count its own blob could not restore.
    t = Trace(3, mode)
    t.add([1, 2, 3])
    good = t.get_state()
    t.set_state(good[:16] + struct.pack("<Q", 2**64 - 2) + good[24:])
    for frame in ([4, 5, 6], [0, 9, 0]):
        t.add(frame)
        assert t.count == 2**64 - 2 and t.value().size == 3
    u = Trace(3, mode)
    assert u.set_state(t.get_state()) == 0 and u.get_state() == t.get_state()


@pytest.mark.parametrize("offset,value", [(0, ord("X")), (4, 2), (6, 0), (8, 25), (8, 0)])
def test_malformed_blob_refused_unchanged(offset, value):
    t = Trace(3, "maxhold")
    t.add([1, 2, 3])
    good = t.get_state()
    bad = bytearray(good)
    bad[offset] = value
    assert t.set_state(bytes(bad)) == -4
    assert t.get_state() == good
    other = Trace(4, "maxhold")
    assert other.set_state(good) == -4  # sized for another length
