"""NCO: increments, table lookups, phase continuity, control form, state."""

import ctypes
import os
import subprocess
import sys

import numpy as np
import pytest

import wfm_ctypes as C


def table():
    step = np.float32(9.58738e-5)
    i = np.arange(65536, dtype=np.float32)
    lut = np.sin((i * step).astype(np.float64)).astype(np.float32)
    lut[0] = 0.0
    return lut


LUT = table()


def expected(inc, n, phase=0):
    ph = (phase + inc * np.arange(n, dtype=np.uint64)) % (1 << 32)
    idx = (ph >> 16).astype(np.int64)
    return LUT[(idx + 16384) % 65536] + 1j * LUT[idx]


def lo(f):
    return C.Handle(C.lo_create(f), C.lo_destroy)


@pytest.mark.parametrize(
    "f,inc",
    [(0.0, 0), (1.0, 0), (-3.0, 0), (0.25, 0x40000000), (-0.25, 0xC0000000), (0.75, 0xC0000000),
     (0.5, 0x80000000), (1.25, 0x40000000), (-1e-300, 0xFFFFFFFF), (2.0**-32, 1)],
)
def test_increment(f, inc):
    with lo(f) as h:
        assert C.lo_get_phase_inc(h) == inc
        assert C.lo_get_norm_freq(h) == f


def test_exported_table():
    got = np.ctypeslib.as_array((ctypes.c_float * 65536).in_dll(C.lib, "lo_sin_lut"))
    assert got[0] == 0.0
    np.testing.assert_allclose(got, LUT, atol=6e-8, rtol=0)


def test_dc_and_quarter_rate():
    with lo(0.0) as h:
        np.testing.assert_array_equal(C.lo_steps(h, 100), np.ones(100, np.complex64))
    with lo(0.25) as h:
        np.testing.assert_allclose(C.lo_steps(h, 8), [1, 1j, -1, -1j] * 2, atol=1e-6)


@pytest.mark.parametrize("f", [0.0123, -0.3, 0.499999])
def test_samples_follow_the_table(f):
    with lo(f) as h:
        x = C.lo_steps(h, 5000)
        inc = C.lo_get_phase_inc(h)
        np.testing.assert_allclose(x, expected(inc, 5000), atol=1e-7, rtol=0)
        assert C.lo_get_phase(h) == (inc * 5000) % (1 << 32)
        assert x[0] == 1 + 0j


def test_tone_frequency_is_exact_to_resolution():
    with lo(0.1) as h:
        x = C.lo_steps(h, 1 << 16).astype(np.complex128)
    mag = np.abs(np.fft.fft(x))
    assert np.argmax(mag) == round(0.1 * (1 << 16))
    np.testing.assert_allclose(np.abs(x), 1.0, atol=1e-6)


def test_chunked_reset_and_state():
    with lo(0.071) as a, lo(0.071) as b, lo(0.071) as c:
        whole = C.lo_steps(a, 3001)
        parts = np.concatenate([C.lo_steps(b, k) for k in (1, 1000, 2000)])
        np.testing.assert_array_equal(whole, parts)
        C.lo_reset(a)
        np.testing.assert_array_equal(C.lo_steps(a, 3001), whole)
        assert C.lo_state_bytes(a) == 20
        blob = C.get_state(a, C.lo_state_bytes, C.lo_get_state)
        assert blob[:4] == b"LO__" and int.from_bytes(blob[16:20], "little") == C.lo_get_phase(a)
        assert C.set_state(c, C.lo_set_state, blob) == 0
        np.testing.assert_array_equal(C.lo_steps(a, 500), C.lo_steps(c, 500))
        good = C.get_state(c, C.lo_state_bytes, C.lo_get_state)
        for off, val in ((1, ord("X")), (4, 2), (6, 0), (8, 21)):
            bad = bytearray(good)
            bad[off] = val
            assert C.set_state(c, C.lo_set_state, bytes(bad)) == -4
            assert C.get_state(c, C.lo_state_bytes, C.lo_get_state) == good


def test_frequency_change_is_phase_continuous():
    with lo(0.1) as h:
        C.lo_steps(h, 37)
        ph = C.lo_get_phase(h)
        assert C.lo_set_norm_freq(h, 0.2) == 0
        assert C.lo_get_phase(h) == ph
        np.testing.assert_allclose(C.lo_steps(h, 50), expected(C.lo_get_phase_inc(h), 50, ph), atol=1e-7)


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -float("inf")])
def test_non_finite_frequency_refused(bad):
    assert not C.lo_create(bad)
    with lo(0.125) as h:
        C.lo_steps(h, 3)
        assert C.lo_set_norm_freq(h, bad) == -4
        assert C.lo_get_norm_freq(h) == 0.125 and C.lo_get_phase_inc(h) == 0x20000000
    rec = (ctypes.c_uint8 * 16)()
    assert C.lo_init(rec, bad) == -4
    assert C.lo_get_phase_inc(rec) == 0


def test_init_in_caller_record():
    rec = (ctypes.c_uint8 * 16)()
    assert C.lo_init(rec, 0.25) == 0
    np.testing.assert_allclose(C.lo_steps(rec, 4), [1, 1j, -1, -1j], atol=1e-6)


def test_ctrl_form():
    with lo(0.05) as a, lo(0.05) as b, lo(0.05) as c:
        assert C.lo_steps_ctrl_max_out(a) == 65536 and C.lo_steps_max_out(a) == 65536
        zero = np.zeros(1000)
        out = np.empty(1000, np.complex64)
        assert C.lo_steps_ctrl_raw(a, C.ptr(zero), 1000, C.ptr(out), 1000) == 1000
        np.testing.assert_array_equal(out, C.lo_steps(b, 1000))
        # Each offset acts for one sample: the phase after k samples is the running sum.
        ctrl = np.array([0.25, -0.25, 0.5, float("nan"), 0.0])
        out5 = np.empty(5, np.complex64)
        inc = C.lo_get_phase_inc(c)
        extra = [0x40000000, 0xC0000000, 0x80000000, 0, 0]
        assert C.lo_steps_ctrl_raw(c, C.ptr(ctrl), 5, C.ptr(out5), 3) == 3
        assert C.lo_get_phase(c) == (3 * inc + sum(extra[:3])) % (1 << 32)
        assert C.lo_get_phase_inc(c) == inc
        phases = np.cumsum([0] + [inc + e for e in extra[:2]]) % (1 << 32)
        idx = phases >> 16
        np.testing.assert_allclose(out5[:3], LUT[(idx + 16384) % 65536] + 1j * LUT[idx], atol=1e-7)


# A fresh process whose first oscillators are created by several threads at
# once, outside the interpreter lock (ctypes releases it): the table must be
# complete for every one of them.
THREADED_FIRST_USE = r"""
import ctypes, importlib.util, sys, threading
import numpy as np
lib = ctypes.CDLL(importlib.util.find_spec("kolvane.wfm").origin)
lib.lo_create.restype = ctypes.c_void_p
lib.lo_create.argtypes = [ctypes.c_double]
lib.lo_steps.restype = ctypes.c_size_t
lib.lo_steps.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p, ctypes.c_size_t]
lib.lo_destroy.argtypes = [ctypes.c_void_p]
n_threads, n, f = 8, 1 << 16, float(sys.argv[2])
start = threading.Barrier(n_threads)
outs = np.zeros((n_threads, n), np.complex64)
def run(k):
    start.wait()
    h = lib.lo_create(f)
    lib.lo_steps(h, n, outs[k].ctypes.data, n)
    lib.lo_destroy(h)
threads = [threading.Thread(target=run, args=(k,)) for k in range(n_threads)]
for t in threads:
    t.start()
for t in threads:
    t.join()
np.save(sys.argv[1], outs)
"""


def test_first_oscillators_from_several_threads(tmp_path):
    f = 0.1234567
    path = tmp_path / "outs.npy"
    src = os.path.dirname(os.path.dirname(C.wfm.__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([src, os.environ.get("PYTHONPATH", "")]))
    r = subprocess.run([sys.executable, "-c", THREADED_FIRST_USE, str(path), str(f)], capture_output=True,
                       text=True, timeout=120, env=env)
    assert r.returncode == 0, r.stderr
    outs = np.load(path)
    with lo(f) as h:
        ref = C.lo_steps(h, outs.shape[1])
        np.testing.assert_allclose(ref, expected(C.lo_get_phase_inc(h), len(ref)), atol=1e-7, rtol=0)
    for y in outs:
        np.testing.assert_array_equal(y, ref)


@pytest.mark.parametrize("f", [0.0123, -0.3, 0.499999, 1e-7])
def test_blocks_read_the_exported_table_exactly(f):
    # Every block length (vector body and tail alike) gives the exported
    # table's own values at the phases the accumulator visits.
    lut = np.ctypeslib.as_array((ctypes.c_float * 65536).in_dll(C.lib, "lo_sin_lut"))
    with lo(f) as h:
        inc = C.lo_get_phase_inc(h)
        got = np.concatenate([C.lo_steps(h, k) for k in (1, 7, 8, 9, 2048, 3001)])
    ph = (inc * np.arange(got.size, dtype=np.uint64)) % (1 << 32)
    idx = (ph >> 16).astype(np.int64)
    want = np.empty(got.size, np.complex64)
    want.real, want.imag = lut[(idx + 16384) % 65536], lut[idx]
    assert got.tobytes() == want.tobytes()


@pytest.mark.parametrize("extra", [0, 0x12345678, 0xC0000000])
def test_mix_is_the_stepped_values_times_the_input(rng, extra):
    x = (rng.standard_normal(3001) + 1j * rng.standard_normal(3001)).astype(np.complex64)
    with lo(0.0123) as a, lo(0.0123) as b, lo(0.0123) as c:
        ctrl = np.full(x.size, extra / 2.0**32)
        lv = np.empty(x.size, np.complex64)
        C.lo_steps_ctrl_raw(b, C.ptr(ctrl), x.size, C.ptr(lv), x.size)
        y = np.empty_like(x)
        C.lo_mix_input(a, extra, C.ptr(x), C.ptr(y), x.size)
        assert C.lo_get_phase(a) == C.lo_get_phase(b)
        # Each product rounded to single precision, then the sums.
        xr, xi, lr, li = x.real, x.imag, lv.real, lv.imag
        np.testing.assert_array_equal(y.real, xr * lr - xi * li)
        np.testing.assert_array_equal(y.imag, xr * li + xi * lr)
        # One sample at a time gives the same bits.
        one = np.empty_like(x)
        for i in range(x.size):
            C.lo_mix_input(c, extra, C.ptr(x[i:]), C.ptr(one[i:]), 1)
        np.testing.assert_array_equal(one, y)
