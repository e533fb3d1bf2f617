"""Windows and spectral measures: the tabled values, edge cases, and the
references they must agree with."""

import math
import os
import subprocess
import sys

import numpy as np
import pytest

from kolvane import spectral

FILL_MSG = "^w must be a writable, C-contiguous ndarray of the output dtype$"


def fill(fn, n, *args):
    w = np.full(n, 7.0, np.float32)
    assert fn(w, *args) is None
    return w


@pytest.mark.parametrize("fn,args,expected", [
    (spectral.kaiser_window, (6.0,), [0.0149, 0.1998, 0.5913, 0.9454, 0.9454, 0.5913, 0.1998, 0.0149]),
    (spectral.hann_window, (), [0.0, 0.1883, 0.6113, 0.9505, 0.9505, 0.6113, 0.1883, 0.0]),
    (spectral.blackman_harris_window, (), [0.0001, 0.0334, 0.3328, 0.8894, 0.8894, 0.3328, 0.0334, 0.0001]),
])
def test_window_values(fn, args, expected):
    np.testing.assert_allclose(fill(fn, 8, *args), expected, atol=5e-5)


@pytest.mark.parametrize("n", [2, 3, 64, 1001])
def test_windows_match_references(n):
    k = np.arange(n)
    c = np.cos(2 * np.pi * k / (n - 1)).astype(np.float32)
    hann = np.float32(0.5) * (np.float32(1) - c)
    hann[0] = hann[-1] = 0
    np.testing.assert_array_equal(fill(spectral.hann_window, n), hann)
    t = 2 * np.pi * k / (n - 1)
    bh = 0.35875 - 0.48829 * np.cos(t) + 0.14128 * np.cos(2 * t) - 0.01168 * np.cos(3 * t)
    np.testing.assert_allclose(fill(spectral.blackman_harris_window, n), bh.astype(np.float32), rtol=2e-7, atol=1e-9)
    for beta in (0.5, 6.0, 14.0):
        np.testing.assert_allclose(fill(spectral.kaiser_window, n, beta), np.kaiser(n, beta), rtol=2e-6, atol=1e-9)


@pytest.mark.parametrize("fn,args", [(spectral.kaiser_window, (3.0,)), (spectral.hann_window, ()),
                                     (spectral.blackman_harris_window, ())])
def test_window_degenerate_lengths(fn, args):
    np.testing.assert_array_equal(fill(fn, 1, *args), [1.0])
    assert fill(fn, 0, *args).shape == (0,)


def test_window_special_cases():
    np.testing.assert_array_equal(fill(spectral.hann_window, 2), [0.0, 0.0])
    np.testing.assert_array_equal(fill(spectral.kaiser_window, 9, 0.0), np.ones(9))
    w = fill(spectral.kaiser_window, 5, 8.0)
    assert w[0] == w[-1] == np.float32(1 / np.i0(8.0))


@pytest.mark.parametrize("bad", [np.zeros(8, np.float64), np.zeros(16, np.float32)[::2], [0.0] * 8, None,
                                 np.zeros(8, np.float32).view(np.int32)])
@pytest.mark.parametrize("fn,args", [(spectral.kaiser_window, (6.0,)), (spectral.hann_window, ()),
                                     (spectral.blackman_harris_window, ())])
def test_window_fill_target_refused(fn, args, bad):
    with pytest.raises(TypeError, match=FILL_MSG):
        fn(bad, *args)


def test_window_fill_readonly_refused_and_2d_filled_whole():
    ro = np.zeros(8, np.float32)
    ro.flags.writeable = False
    with pytest.raises(TypeError, match=FILL_MSG):
        spectral.hann_window(ro)
    w2 = np.zeros((2, 4), np.float32)
    spectral.hann_window(w2)
    np.testing.assert_array_equal(w2.ravel(), fill(spectral.hann_window, 8))


@pytest.mark.parametrize("atten,beta", [
    (90.0, 11.977794),
    (10.0, 0.0),
    (13.26, 0.0),
    (60.0, 0.76609 * (60 - 13.26) ** 0.4 + 0.09834 * (60 - 13.26)),
    (60.0001, 0.12438 * (60.0001 + 6.3)),
    (30.0, 0.76609 * (30 - 13.26) ** 0.4 + 0.09834 * (30 - 13.26)),
    (-5.0, 0.0),
])
def test_kaiser_beta_for_sidelobe(atten, beta):
    assert spectral.kaiser_beta_for_sidelobe(atten) == pytest.approx(beta, rel=1e-12, abs=1e-12)


def test_kaiser_beta_nan_is_zero():
    assert spectral.kaiser_beta_for_sidelobe(math.nan) == 0.0


def test_enbw():
    assert spectral.kaiser_enbw(np.ones(16, np.float32)) == 1.0
    assert spectral.kaiser_enbw(fill(spectral.hann_window, 8)) == pytest.approx(1.7143, abs=1e-4)
    w = fill(spectral.kaiser_window, 257, 9.0)
    w64 = w.astype(np.float64)
    assert spectral.kaiser_enbw(w) == pytest.approx(257 * (w64**2).sum() / w64.sum() ** 2, rel=1e-7)
    assert math.isnan(spectral.kaiser_enbw(np.zeros(0, np.float32)))


def test_magnitude_db():
    got = spectral.magnitude_db_cf32(np.array([1, 0.1, 0], np.complex64), 1e-12, 0.0)
    assert got.dtype == np.float32
    np.testing.assert_allclose(got, [0, -20, -240], atol=1e-4)
    np.testing.assert_allclose(spectral.magnitude_db_cf64(np.array([1, 10], np.complex128), 1e-12, 0.0), [0, 20],
                               atol=1e-6)
    np.testing.assert_allclose(spectral.magnitude_db_cf32([3 + 4j], 1e-12, -6.0), [20 * np.log10(5) - 6], atol=1e-5)
    nan = spectral.magnitude_db_cf64(np.array([complex(math.nan, 0), 0]), 1e-3, 1.0)
    assert math.isnan(nan[0]) and nan[1] == pytest.approx(-59.0)
    assert spectral.magnitude_db_cf32(np.zeros(0, np.complex64), 1e-12, 0.0).shape == (0,)


def spectrum32(**bins):
    db = np.full(32, -60.0, np.float32)
    for k, v in bins.items():
        db[int(k[1:])] = v
    return db


def test_find_peaks_example():
    db = spectrum32(b7=-15, b8=-10, b9=-15)
    assert spectral.find_peaks_f32(db, 2, -30.0) == [(-0.25, -10.0)]


def test_find_peaks_order_refinement_and_gates():
    db = spectrum32(b3=-20, b4=-12, b5=-16, b20=-5, b21=-5, b27=-25)
    peaks = spectral.find_peaks_f32(db, 10, -30.0)
    assert [p[1] for p in peaks] == sorted([p[1] for p in peaks], reverse=True)
    # Plateau: first bin reported, pulled half a bin toward the second.
    f0, l0 = peaks[0]
    assert f0 == pytest.approx((20 - 16 + 0.5) / 32) and l0 == pytest.approx(-5 + 0.25 * 55 * 0.5)
    # Asymmetric peak: parabolic vertex.
    d = -20 + -16 - 2 * -12
    delta = 0.5 * (-20 - -16) / d
    f1, l1 = peaks[1]
    assert f1 == pytest.approx((4 - 16 + delta) / 32, abs=1e-7)
    assert l1 == pytest.approx(-12 + 0.25 * (-16 - -20) * delta, abs=1e-5)
    assert len(peaks) == 3
    assert len(spectral.find_peaks_f32(db, 10, -24.0)) == 2
    assert len(spectral.find_peaks_f32(db, 1, -30.0)) == 1


def test_find_peaks_edges_and_degenerate():
    assert spectral.find_peaks_f32(np.arange(32, dtype=np.float32), 4, -100.0) == []
    edge = spectrum32(b0=0, b31=0)
    assert spectral.find_peaks_f32(edge, 4, -100.0) == []
    assert spectral.find_peaks_f32(np.array([0, 5], np.float32), 4, -100.0) == []
    assert spectral.find_peaks_f32(spectrum32(b8=0), 0, -100.0) == []


def test_find_peaks_huge_request_is_bounded(rng):
    # The record buffer is sized from what can exist, not from the request.
    db = rng.standard_normal(1001).astype(np.float32)
    peaks = spectral.find_peaks_f32(db, 2**63, -100.0)
    naive = [i for i in range(1, 1000) if db[i] > db[i - 1] and db[i] >= db[i + 1]]
    assert len(peaks) == len(naive)
    comb = np.tile(np.array([0, 1], np.float32), 500)
    assert len(spectral.find_peaks_f32(comb, 2**64 - 1, -1.0)) == 499


@pytest.mark.parametrize("frac", [0.01, 0.5, 0.99, 1.0])
def test_obw_single_bin(frac):
    p = np.zeros(64)
    p[20] = 3.0
    assert spectral.obw_from_power(p, 1000.0, frac) == pytest.approx(1000.0 / 64)


def test_obw_cases():
    assert spectral.obw_from_power(np.ones(10), 1.0, 0.0) == pytest.approx(0.1)
    assert spectral.obw_from_power(np.ones(10), 1.0, 0.5) == pytest.approx(0.6)
    assert spectral.obw_from_power(np.ones(10), 10.0, 1.0) == pytest.approx(10.0)
    assert spectral.obw_from_power(np.zeros(10), 1.0, 0.5) == 0.0
    assert spectral.obw_from_power(-np.ones(10), 1.0, 0.5) == 0.0
    assert spectral.obw_from_power(np.zeros(0), 1.0, 0.5) == 0.0


@pytest.mark.parametrize("vals,median", [([3, 1, 2], 2.0), ([4, 1, 3, 2], 2.5), ([], 0.0), ([-7.5], -7.5)])
def test_noise_floor_db(vals, median):
    assert spectral.noise_floor_db(np.array(vals, np.float32)) == median


def test_noise_floor_matches_numpy_and_tolerates_nan(rng):
    for n in (1, 2, 101, 1000):
        v = rng.standard_normal(n).astype(np.float32)
        assert spectral.noise_floor_db(v) == pytest.approx(float(np.median(v.astype(np.float64))), abs=1e-7)
    v = np.array([1, math.nan, 2, 3, 0], np.float32)  # NaN sorts last
    assert spectral.noise_floor_db(v) == 2.0


def test_module_functions_take_keywords():
    w = np.zeros(8, np.float32)
    spectral.kaiser_window(w=w, beta=6.0)
    assert spectral.kaiser_enbw(w=w) > 1
    with pytest.raises(TypeError):
        spectral.kaiser_window(w)
    with pytest.raises(TypeError):
        spectral.magnitude_db_cf32(np.zeros(2, np.complex64), 1e-12)


def test_find_peaks_infinite_neighbours_report_the_bin():
    # The dB of exact zeros is -inf: the peaks between them have no parabola,
    # and are reported at their bin with their own level, strongest first.
    db = np.full(64, -np.inf, np.float32)
    db[1::2] = np.arange(32, dtype=np.float32)
    peaks = spectral.find_peaks_f32(db, 3, -100.0)
    assert peaks == [((61 - 32) / 64, 30.0), ((59 - 32) / 64, 29.0), ((57 - 32) / 64, 28.0)]  # bin 63 is an edge
    db = np.full(32, -np.inf, np.float32)
    db[10], db[11] = 0.0, 5.0
    assert spectral.find_peaks_f32(db, 4, -100.0) == [((11 - 16) / 32, 5.0)]


ABSURD_COUNTS = """
import ctypes, numpy as np
from kolvane import spectral
lib = ctypes.CDLL(spectral.__file__)
lib.noise_floor_db.restype = ctypes.c_double
lib.noise_floor_db.argtypes = [ctypes.c_void_p, ctypes.c_uint64]
lib.find_peaks_f32.restype = ctypes.c_uint64
lib.find_peaks_f32.argtypes = [ctypes.c_void_p, ctypes.c_uint64, ctypes.c_uint64, ctypes.c_void_p, ctypes.c_float]
db = np.zeros(4, np.float32)
out = np.zeros(8, np.float32)
print(lib.find_peaks_f32(db.ctypes.data, 2**64 - 1, 4, out.ctypes.data, 0.0), lib.noise_floor_db(db.ctypes.data, 2**62))
"""


def test_absurd_counts_at_the_core_give_the_failure_value():
    # A count no buffer can have must give the documented failure result (0),
    # not a C++ exception escaping through the C interface (which aborts).
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    r = subprocess.run([sys.executable, "-c", ABSURD_COUNTS], capture_output=True, text=True, env=env, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["0", "0.0"]
