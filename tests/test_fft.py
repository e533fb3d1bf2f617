"""FFT and FFT2D engines: exact small transforms, agreement with NumPy at many
lengths, the single/double precision rule, short inputs, truncation, out= rules."""

import ctypes
import threading

import numpy as np
import pytest

from blockprops import check_destroyed
from kolvane import spectral

LIB = ctypes.CDLL(spectral.__file__)
_p = ctypes.c_void_p
_z = ctypes.c_size_t
LIB.fft_create.restype = _p
LIB.fft_create.argtypes = [ctypes.c_uint64, ctypes.c_int, ctypes.c_int]
LIB.fft_destroy.argtypes = [_p]
for _name in ("fft_execute_cf32", "fft_execute_inplace_cf32", "fft_execute_cf64"):
    getattr(LIB, _name).restype = _z
    getattr(LIB, _name).argtypes = [_p, _p, _z, _p, _z]
LIB.fft_execute_ci16.restype = _z
LIB.fft_execute_ci16.argtypes = [_p, _p, _z, _p]
LIB.fft2d_create.restype = _p
LIB.fft2d_create.argtypes = [ctypes.c_uint64, ctypes.c_uint64, ctypes.c_int, ctypes.c_int]
LIB.fft2d_destroy.argtypes = [_p]

ELIGIBLE = [16, 48, 80, 1024, 4000]
NOT_ELIGIBLE = [1, 2, 3, 7, 8, 24, 100, 1000, 1008, 1023]


def crandn(rng, shape, dtype=np.complex64):
    return (rng.standard_normal(shape) + 1j * rng.standard_normal(shape)).astype(dtype)


def addr(a):
    return a.ctypes.data


def misaligned(n, dtype, rem=8):
    """A C-contiguous array whose data address is `rem` modulo 32."""
    item = np.dtype(dtype).itemsize
    raw = np.zeros(n * item + 64, np.uint8)
    off = (rem - raw.ctypes.data % 32) % 32
    a = raw[off : off + n * item].view(dtype)
    assert a.ctypes.data % 32 == rem
    return a


# --------------------------------------------------------------------------- 1-D


@pytest.mark.parametrize("method,dtype", [("execute_cf64", np.complex128), ("execute_cf32", np.complex64),
                                          ("execute_inplace_cf64", np.complex128),
                                          ("execute_inplace_cf32", np.complex64)])
def test_impulse_and_constant(method, dtype):
    f = spectral.FFT(n=4, sign=-1)
    got = getattr(f, method)(np.array([1, 0, 0, 0], dtype))
    assert got.dtype == dtype and got.shape == (4,)
    np.testing.assert_array_equal(got, np.ones(4, dtype))
    np.testing.assert_array_equal(getattr(f, method)(np.ones(4, dtype)), np.array([4, 0, 0, 0], dtype))


def test_list_input_and_defaults():
    f = spectral.FFT()
    assert f.n == 1024 and f.sign == -1
    np.testing.assert_array_equal(spectral.FFT(n=4).execute_cf64([1, 0, 0, 0]), np.ones(4))


@pytest.mark.parametrize("n", ELIGIBLE + NOT_ELIGIBLE)
def test_random_matches_numpy(n, rng):
    x = crandn(rng, n)
    ref = np.fft.fft(x.astype(np.complex128))
    scale = np.sqrt(n) * np.abs(x).max()
    f = spectral.FFT(n)
    assert np.abs(f.execute_cf32(x) - ref).max() <= 2e-6 * scale * np.log2(n + 1)
    assert np.abs(f.execute_cf64(x.astype(np.complex128)) - ref).max() <= 1e-13 * scale * np.log2(n + 1)
    inv = np.fft.ifft(x.astype(np.complex128)) * n
    g = spectral.FFT(n, sign=1)
    assert np.abs(g.execute_cf64(x.astype(np.complex128)) - inv).max() <= 1e-13 * scale * np.log2(n + 1)


@pytest.mark.parametrize("sign", [1, 0, 7])
def test_forward_then_inverse_scales_by_n(sign, rng):
    n = 240
    x = crandn(rng, n, np.complex128)
    back = spectral.FFT(n, sign=sign).execute_cf64(spectral.FFT(n, sign=-1).execute_cf64(x))
    np.testing.assert_allclose(back, n * x, atol=1e-10)


@pytest.mark.parametrize("n", NOT_ELIGIBLE)
def test_ineligible_cf32_runs_in_double(n, rng):
    # Widened to double, transformed by the double plan and narrowed: bit-equal
    # to the cf64 result rounded to complex64.
    x = crandn(rng, n)
    f = spectral.FFT(n)
    np.testing.assert_array_equal(f.execute_cf32(x), f.execute_cf64(x.astype(np.complex128)).astype(np.complex64))


@pytest.mark.parametrize("n", [48, 1024, 4000])
def test_eligible_cf32_runs_in_single(n, rng):
    x = crandn(rng, n)
    f = spectral.FFT(n)
    single = f.execute_cf32(x)
    rounded = f.execute_cf64(x.astype(np.complex128)).astype(np.complex64)
    assert not np.array_equal(single, rounded)


@pytest.mark.parametrize("rem", [8, 16, 24])
@pytest.mark.parametrize("n", [1000, 1024])
def test_aligned_and_staged_paths_agree_bitwise(n, rem, rng):
    x = crandn(rng, n)
    xm = misaligned(n, np.complex64, rem)
    xm[:] = x
    outm = misaligned(n, np.complex64, rem)
    a = spectral.FFT(n).execute_cf32(x)
    b = spectral.FFT(n).execute_cf32(xm, out=outm)
    np.testing.assert_array_equal(a, b)
    np.testing.assert_array_equal(a, outm)
    np.testing.assert_array_equal(a, spectral.FFT(n).execute_inplace_cf32(x))


def test_inplace_with_in_equal_out(rng):
    x = crandn(rng, 64)
    ref = spectral.FFT(64).execute_cf32(x)
    buf = x.copy()
    res = spectral.FFT(64).execute_inplace_cf32(buf, out=buf)
    np.testing.assert_array_equal(buf, ref)
    assert np.shares_memory(res, buf)
    h = LIB.fft_create(64, -1, 1)
    try:
        buf = x.copy()
        assert LIB.fft_execute_cf32(h, addr(buf), 64, addr(buf), 64) == 64
        np.testing.assert_array_equal(buf, ref)
    finally:
        LIB.fft_destroy(h)


@pytest.mark.parametrize("method", ["execute_cf32", "execute_inplace_cf32"])
@pytest.mark.parametrize("n", [16, 20])
def test_short_input_is_zero_filled(method, n, rng):
    x = crandn(rng, n - 5)
    padded = np.concatenate([x, np.zeros(5, np.complex64)])
    f = spectral.FFT(n)
    np.testing.assert_array_equal(getattr(f, method)(x), f.execute_cf32(padded))
    assert getattr(f, method)(x).shape == (n,)


def test_short_input_core_reads_only_n_in(rng):
    # The core is told 3 samples of a buffer holding garbage beyond them.
    n = 32
    buf = crandn(rng, n)
    ref = spectral.FFT(n).execute_cf32(np.concatenate([buf[:3], np.zeros(n - 3, np.complex64)]))
    out = np.zeros(n, np.complex64)
    h = LIB.fft_create(n, -1, 1)
    try:
        assert LIB.fft_execute_cf32(h, addr(buf), 3, addr(out), n) == n
        np.testing.assert_array_equal(out, ref)
    finally:
        LIB.fft_destroy(h)


def test_longer_input_uses_first_n(rng):
    x = crandn(rng, 50)
    f = spectral.FFT(32)
    got = f.execute_cf32(x)
    assert got.shape == (32,)
    np.testing.assert_array_equal(got, f.execute_cf32(x[:32]))


@pytest.mark.parametrize("n", [8, 48])
def test_truncation_to_out_cap(n, rng):
    x = crandn(rng, n)
    full = spectral.FFT(n).execute_cf32(x)
    out = np.full(n, 99 + 99j, np.complex64)
    h = LIB.fft_create(n, -1, 1)
    try:
        for _ in range(2):  # second call reuses the scratch made by the first
            assert LIB.fft_execute_cf32(h, addr(x), n, addr(out), 3) == 3
            np.testing.assert_array_equal(out[:3], full[:3])
            assert np.all(out[3:] == 99 + 99j)
        assert LIB.fft_execute_inplace_cf32(h, addr(x), n, addr(out), 0) == 0
    finally:
        LIB.fft_destroy(h)


def test_ci16_and_ci8(rng):
    n = 1024
    z = spectral.FFT(n).execute_ci16(np.zeros(2 * n, np.int16))
    assert z.dtype == np.complex64 and z.shape == (n,) and not z.any()
    neg = spectral.FFT(n).execute_ci16(np.full(2 * n, -32768, np.int16))
    assert neg[0] == -n - n * 1j and not neg[1:].any()
    for m in (1024, 1000):
        iq16 = rng.integers(-32768, 32768, 2 * m).astype(np.int16)
        x = (iq16[0::2] + 1j * iq16[1::2]) / 32768.0
        np.testing.assert_allclose(spectral.FFT(m).execute_ci16(iq16), np.fft.fft(x), atol=2e-5 * np.sqrt(m))
        iq8 = rng.integers(-128, 128, 2 * m).astype(np.int8)
        x8 = (iq8[0::2] + 1j * iq8[1::2]) / 128.0
        np.testing.assert_allclose(spectral.FFT(m).execute_ci8(iq8), np.fft.fft(x8), atol=2e-5 * np.sqrt(m))
    # Fewer integer pairs than n: the missing samples are zero.
    f = spectral.FFT(16)
    short = np.array([-32768, 16384, 3, 4, 5], np.int16)  # two whole pairs and a stray value
    x = np.zeros(16, np.complex64)
    x[0] = -1 + 0.5j
    x[1] = (3 + 4j) / 32768
    np.testing.assert_allclose(f.execute_ci16(short), np.fft.fft(x), atol=1e-6)
    assert spectral.FFT(4).execute_ci8(np.zeros(20, np.int8)).shape == (4,)


def test_two_engines_built_alike_are_identical(rng):
    x = crandn(rng, 4000)
    np.testing.assert_array_equal(spectral.FFT(4000).execute_cf32(x), spectral.FFT(4000).execute_cf32(x))


# --------------------------------------------------------------------------- 2-D


@pytest.mark.parametrize("ny,nx", [(4, 4), (16, 16), (16, 48), (8, 64), (17, 33), (1, 16), (3, 1), (48, 16)])
def test_fft2d_matches_numpy(ny, nx, rng):
    x = crandn(rng, (ny, nx))
    ref = np.fft.fft2(x.astype(np.complex128))
    scale = np.sqrt(ny * nx) * np.abs(x).max()
    f = spectral.FFT2D(ny=ny, nx=nx)
    got = f.execute_cf32(x)
    assert got.shape == (ny * nx,) and got.dtype == np.complex64
    assert np.abs(got.reshape(ny, nx) - ref).max() <= 2e-6 * scale * np.log2(ny * nx + 1)
    got64 = f.execute_cf64(x.astype(np.complex128)).reshape(ny, nx)
    assert np.abs(got64 - ref).max() <= 1e-13 * scale * np.log2(ny * nx + 1)
    inv = spectral.FFT2D(ny=ny, nx=nx, sign=1).execute_cf64(got64)
    np.testing.assert_allclose(inv.reshape(ny, nx), ny * nx * x, atol=1e-9 * scale)
    np.testing.assert_array_equal(f.execute_inplace_cf32(x), got)


def test_fft2d_impulse():
    x = np.zeros(16, np.complex64)
    x[0] = 1
    np.testing.assert_array_equal(spectral.FFT2D(ny=4, nx=4).execute_cf32(x), np.ones(16, np.complex64))
    f = spectral.FFT2D()
    assert (f.ny, f.nx, f.sign) == (64, 64, -1)


@pytest.mark.parametrize("ny,nx,single", [(16, 48, True), (16, 40, False), (8, 64, False), (48, 16, True)])
def test_fft2d_precision_rule(ny, nx, single, rng):
    x = crandn(rng, ny * nx)
    f = spectral.FFT2D(ny=ny, nx=nx)
    rounded = f.execute_cf64(x.astype(np.complex128)).astype(np.complex64)
    assert np.array_equal(f.execute_cf32(x), rounded) is not single


def test_fft2d_short_input_and_staging(rng):
    ny, nx = 16, 32
    x = crandn(rng, ny * nx - 37)
    padded = np.concatenate([x, np.zeros(37, np.complex64)])
    f = spectral.FFT2D(ny=ny, nx=nx)
    ref = f.execute_cf32(padded)
    np.testing.assert_array_equal(f.execute_cf32(x), ref)
    np.testing.assert_array_equal(f.execute_inplace_cf32(x), ref)
    xm = misaligned(ny * nx, np.complex64)
    xm[:] = padded
    np.testing.assert_array_equal(f.execute_cf32(xm, out=misaligned(ny * nx, np.complex64)), ref)


# --------------------------------------------------------------------------- Python surface


@pytest.mark.parametrize("make,text", [
    (lambda: spectral.FFT(n=0), "fft_create returned NULL"),
    (lambda: spectral.FFT(n=2**40), "fft_create returned NULL"),
    (lambda: spectral.FFT2D(ny=0, nx=4), "fft2d_create returned NULL"),
    (lambda: spectral.FFT2D(ny=4, nx=0), "fft2d_create returned NULL"),
    (lambda: spectral.FFT2D(ny=2**15, nx=2**14), "fft2d_create returned NULL"),
    (lambda: spectral.FFT2D(ny=2**63, nx=4), "fft2d_create returned NULL"),
])
def test_create_refusals(make, text):
    with pytest.raises(MemoryError, match=f"^{text}$"):
        make()


def test_oversize_refused_at_core():
    assert LIB.fft_create(2**64 - 1, -1, 1) is None
    assert LIB.fft2d_create(2**33, 2**33, -1, 1) is None


def test_negative_length_refused():
    with pytest.raises(ValueError):
        spectral.FFT(n=-1)


def test_out_rules(rng):
    f = spectral.FFT(8)
    x = crandn(rng, 8)
    for bad in (np.zeros(8, np.float64), np.zeros(16, np.complex64)[::2], np.zeros(8, np.complex128)):
        with pytest.raises(TypeError, match="^out must be a writable, C-contiguous ndarray of the output dtype$"):
            f.execute_cf32(x, out=bad)
    ro = np.zeros(8, np.complex64)
    ro.flags.writeable = False
    with pytest.raises(TypeError, match="output dtype"):
        f.execute_cf32(x, out=ro)
    with pytest.raises(ValueError, match=r"^out has 7 elements, need >= 8$"):
        f.execute_cf32(x, out=np.zeros(7, np.complex64))
    out = np.zeros((2, 6), np.complex64)
    res = f.execute_cf32(x, out=out)
    assert res.shape == (8,) and np.shares_memory(res, out) and out.shape == (2, 6)
    np.testing.assert_array_equal(res, f.execute_cf32(x))
    with pytest.raises(TypeError):
        f.execute_cf32(np.zeros(8, np.complex128))
    assert f.execute_cf32_max_out() == 8 and f.execute_inplace_cf64_max_out() == 8
    assert spectral.FFT2D(ny=3, nx=5).execute_cf64_max_out() == 15


def test_destroyed(rng):
    check_destroyed(spectral.FFT(8), [lambda o: o.execute_cf32(np.zeros(8, np.complex64)),
                                      lambda o: o.execute_ci16(np.zeros(16, np.int16)),
                                      lambda o: o.reset(), lambda o: o.n, lambda o: o.sign,
                                      lambda o: o.execute_cf64_max_out()])
    check_destroyed(spectral.FFT2D(ny=2, nx=2), [lambda o: o.execute_cf64(np.zeros(4)), lambda o: o.ny])
    with spectral.FFT(8) as f:
        assert isinstance(f, spectral.FFT)
    with pytest.raises(RuntimeError, match="^destroyed$"):
        f.execute_cf32(np.zeros(8, np.complex64))


def test_module_layout():
    assert spectral.__doc__.startswith("Spectral transforms: reusable FFT and FFT2D engines")
    assert spectral.FFT.__name__ == "FFT" and spectral.FFT.__module__ == "spectral"
    names = [k for k, v in vars(spectral).items() if isinstance(v, type)]
    assert names == ["FFT", "FFT2D", "Corr", "Corr2D", "CorrDetector", "CorrDetector2D", "PSD"]
    with pytest.raises(TypeError):
        type("Sub", (spectral.FFT,), {})


def test_fft2d_truncation_and_determinism(rng):
    ny, nx = 16, 48
    x = crandn(rng, ny * nx)
    full = spectral.FFT2D(ny=ny, nx=nx).execute_cf32(x)
    np.testing.assert_array_equal(spectral.FFT2D(ny=ny, nx=nx).execute_cf32(x), full)
    LIB.fft2d_execute_cf32.restype = _z
    LIB.fft2d_execute_cf32.argtypes = [_p, _p, _z, _p, _z]
    h = LIB.fft2d_create(ny, nx, -1, 1)
    try:
        out = np.zeros(10, np.complex64)
        assert LIB.fft2d_execute_cf32(h, addr(x), x.size, addr(out), 10) == 10
        np.testing.assert_array_equal(out, full[:10])
    finally:
        LIB.fft2d_destroy(h)


def test_ci8_most_negative_code_is_minus_one():
    got = spectral.FFT(16).execute_ci8(np.full(32, -128, np.int8))
    assert got[0] == -16 - 16j and not got[1:].any()


@pytest.mark.parametrize("method", ["execute_cf32", "execute_inplace_cf32", "execute_cf64"])
@pytest.mark.parametrize("shift", [4, -4, 1])
def test_out_overlapping_the_input(method, shift, rng):
    # out= a view of the input's own buffer, shifted by whole (aligned) or odd
    # samples: the bins are those of the input as it was.
    n = 1024
    dtype = np.complex128 if method.endswith("64") else np.complex64
    x = crandn(rng, n, dtype)
    f = spectral.FFT(n)
    ref = getattr(f, method)(x)
    buf = misaligned(n + 8, dtype, 0)
    lo, hi = (0, shift) if shift > 0 else (-shift, 0)
    buf[lo:lo + n] = x
    got = getattr(f, method)(buf[lo:lo + n], out=buf[hi:hi + n])
    np.testing.assert_array_equal(got, ref)


def test_engines_planned_from_several_threads(rng):
    # ctypes releases the interpreter lock, so these creates and destroys plan and
    # free FFTW plans truly in parallel: only FFTW's process-wide planner lock
    # keeps them apart. Every engine must still compute the single-threaded result.
    sizes = [16, 48, 100, 1000, 1024, 4000, 7, 243]
    x = crandn(rng, max(sizes), np.complex128)
    ref = {n: np.fft.fft(x[:n]) for n in sizes}
    failures = []
    start = threading.Barrier(6)

    def run(k):
        start.wait()
        out = np.zeros(max(sizes), np.complex128)
        for i in range(60):
            n = sizes[(k + i) % len(sizes)]
            h = LIB.fft_create(n, -1, 1)
            if not h:
                failures.append(("create", n))
                continue
            LIB.fft_execute_cf64(h, addr(x), n, addr(out), n)
            LIB.fft_destroy(h)
            if not np.allclose(out[:n], ref[n], rtol=0, atol=1e-9 * n):
                failures.append(("value", n))

    threads = [threading.Thread(target=run, args=(k,)) for k in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
