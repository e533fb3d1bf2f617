"""Correlators (Corr, Corr2D) against a NumPy model of circular correlation
with coherent dwell and zero-pad interpolation; their state blobs and the
Python surface."""

import struct

import numpy as np
import pytest

from blockprops import check_blob_refusals, check_chunked_equals_whole, check_destroyed, check_state_roundtrip
from kolvane import spectral


def cnoise(rng, *shape):
    return (rng.standard_normal(shape) + 1j * rng.standard_normal(shape)).astype(np.complex64)


def zeropad(bins, m, axis):
    """Spectrum of length L along `axis` padded to m: positives stay, negatives go to the top, an even
    L's middle bin is split in halves between both ends."""
    bins = np.moveaxis(bins, axis, -1)
    L = bins.shape[-1]
    out = np.zeros(bins.shape[:-1] + (m,), complex)
    h = L // 2
    out[..., : h + 1] = bins[..., : h + 1]
    out[..., m - L + h + 1 :] = bins[..., h + 1 :]
    if L % 2 == 0 and m != L:
        out[..., h] = out[..., m - h] = bins[..., h] / 2
    return np.moveaxis(out, -1, axis)


def model(frames, ref, out_shape):
    """Sum over frames of the circular cross-correlation with ref, on the out_shape grid."""
    axes = tuple(range(-ref.ndim, 0))
    acc = sum(np.fft.fftn(f.astype(complex), axes=axes) for f in frames) * np.conj(np.fft.fftn(ref, axes=axes))
    for ax, m in zip(axes, out_shape):
        acc = zeropad(acc, m, ax)
    return np.fft.ifftn(acc, axes=axes).ravel() * np.prod(out_shape) / ref.size


CASES_1D = [(8, 1, 0), (100, 3, 0), (1024, 2, 0), (1000, 1, 2000), (33, 2, 50), (16, 1, 64)]
CASES_2D = [((6, 8), 1, 0, 0, False), ((4, 4), 2, 0, 0, True), ((6, 8), 2, 12, 16, False),
            ((5, 7), 1, 0, 9, True), ((5, 7), 1, 0, 11, False), ((16, 16), 3, 20, 0, False)]


@pytest.mark.parametrize("n,dwell,n_out", CASES_1D)
def test_corr_matches_model(rng, n, dwell, n_out):
    ref = cnoise(rng, n)
    frames = [cnoise(rng, n) for _ in range(2 * dwell)]
    c = spectral.Corr(ref, dwell=dwell, n_out=n_out)
    m = n_out or n
    assert (c.n, c.n_out, c.dwell, c.execute_max_out()) == (n, m, dwell, m)
    outs = [c.execute(f) for f in frames]
    for i, o in enumerate(outs):
        assert c.count == 0 or i < len(outs) - 1
        if (i + 1) % dwell:
            assert o is None
            continue
        want = model(frames[i + 1 - dwell : i + 1], ref.astype(complex), (m,))
        assert o.dtype == np.complex64 and o.shape == (m,)
        np.testing.assert_allclose(o, want, atol=2e-5 * np.abs(want).max())


@pytest.mark.parametrize("shape,dwell,ny_out,nx_out,row_ref", CASES_2D)
def test_corr2d_matches_model(rng, shape, dwell, ny_out, nx_out, row_ref):
    ref = cnoise(rng, *shape)
    if row_ref:
        ref[1:] = 0
    c = spectral.Corr2D(ref, dwell=dwell, ny_out=ny_out, nx_out=nx_out)
    oy, ox = ny_out or shape[0], nx_out or shape[1]
    assert (c.ny, c.nx, c.ny_out, c.nx_out, c.n_out) == (*shape, oy, ox, oy * ox)
    frames = [cnoise(rng, *shape) for _ in range(dwell)]
    outs = [c.execute(f) for f in frames]
    assert all(o is None for o in outs[:-1])
    want = model(frames, ref.astype(complex), (oy, ox))
    np.testing.assert_allclose(outs[-1], want, atol=2e-5 * np.abs(want).max())


def test_examples():
    ref = np.array([1, 0, 0, 0], np.complex64)
    c = spectral.Corr(ref, dwell=2)
    assert c.execute(np.ones(4, np.float32)) is None and c.count == 1
    np.testing.assert_array_equal(c.execute(np.ones(4, np.float32)), np.full(4, 2, np.complex64))
    out = np.full(4, 7, np.complex64)
    assert c.execute(np.ones(4, np.complex64), out=out) is None and (out == 7).all()
    r = c.execute(np.ones(4, np.complex64), out=out)
    assert np.shares_memory(r, out) and (r == 2).all()
    c2 = spectral.Corr2D(np.pad(np.ones((1, 1), np.complex64), ((0, 1), (0, 1))), dwell=2)
    assert c2.execute(np.ones(4, np.complex64)) is None
    np.testing.assert_array_equal(c2.execute(np.ones(4, np.complex64)), np.full(4, 2, np.complex64))


@pytest.mark.parametrize("n,d", [(64, 5), (100, 0), (257, 256), (1024, 1)])
def test_self_and_delayed_peak(rng, n, d):
    x = cnoise(rng, n)
    auto = spectral.Corr(x).execute(x)
    assert int(np.argmax(np.abs(auto))) == 0
    assert auto[0] == pytest.approx(np.sum(np.abs(x.astype(complex)) ** 2), rel=1e-5)
    delayed = spectral.Corr(np.roll(x, d)).execute(x)
    assert int(np.argmax(np.abs(delayed))) == (n - d) % n


def test_refusals_and_short_input():
    z = np.zeros(4, np.complex64)
    for make, name in [(lambda: spectral.Corr(z, n_out=3), "corr_create"),
                       (lambda: spectral.Corr(np.zeros(0, np.complex64)), "corr_create"),
                       (lambda: spectral.Corr2D(z.reshape(2, 2), nx_out=1), "corr2d_create"),
                       (lambda: spectral.Corr2D(z.reshape(2, 2), ny_out=1), "corr2d_create"),
                       (lambda: spectral.Corr2D(z.reshape(2, 2), dwell=0), "corr2d_create")]:
        with pytest.raises(MemoryError, match=f"^{name} returned NULL$"):
            make()
    with pytest.raises(ValueError, match=r"^ref must be a 2-D \(ny, nx\) array$"):
        spectral.Corr2D(z)
    never = spectral.Corr(np.ones(4, np.complex64), dwell=0)
    assert all(never.execute(np.ones(4, np.complex64)) is None for _ in range(5)) and never.count == 5
    # Missing samples count as zero, extra ones are ignored.
    ref = np.arange(1, 9).astype(np.complex64)
    x = np.arange(5).astype(np.complex64)
    np.testing.assert_allclose(spectral.Corr(ref).execute(x), spectral.Corr(ref).execute(np.r_[x, 0, 0, 0]),
                               atol=1e-4)
    np.testing.assert_allclose(spectral.Corr(ref).execute(np.r_[x, 0, 0, 0, 9, 9]),
                               spectral.Corr(ref).execute(np.r_[x, 0, 0, 0]), atol=1e-4)


def corr_kinds(rng):
    ref1 = cnoise(rng, 24)
    ref2 = cnoise(rng, 4, 6)
    row = ref2.copy()
    row[1:] = 0
    return [
        (lambda: spectral.Corr(ref1, dwell=3), 24, b"CORR"),
        (lambda: spectral.Corr(ref1, dwell=3, n_out=40), 24, b"CORR"),
        (lambda: spectral.Corr2D(ref2, dwell=3), 24, b"CR2D"),
        (lambda: spectral.Corr2D(row, dwell=3, nx_out=8), 24, b"CR2D"),
    ]


@pytest.mark.parametrize("kind", range(4))
def test_corr_state(rng, kind):
    make, n, tag = corr_kinds(rng)[kind]
    frames = [cnoise(rng, n) for _ in range(3)]

    def step(obj):  # the frame fed depends only on the state, so twins stay in lockstep
        r = None
        while r is None:
            r = obj.execute(frames[obj.count] * (1 + obj.count))
        return r

    a = make()
    assert a.state_bytes() == 24 + 8 * n
    a.execute(frames[0])
    blob = a.get_state()
    assert blob[:4] == tag and struct.unpack_from("<HBBQQ", blob, 4) == (1, 1, 0, 24 + 8 * n, 1)
    b = make()
    b.set_state(blob)  # mid-dwell: the restored one completes the same dump
    np.testing.assert_array_equal(step(a), step(b))
    check_state_roundtrip(make, step)
    check_blob_refusals(make, step)
    # A frame counter at or beyond the dwell is refused before anything changes.
    a.execute(frames[0])
    blob = a.get_state()
    for count in (3, 4, 2**64 - 1):
        bad = blob[:16] + struct.pack("<Q", count) + blob[24:]
        with pytest.raises(ValueError, match="^set_state rejected the blob$"):
            a.set_state(bad)
        assert a.get_state() == blob
    check_destroyed(make(), [lambda o: o.execute(frames[0]), lambda o: o.reset(), lambda o: o.count,
                             lambda o: o.get_state(), lambda o: o.execute_max_out()])


def test_set_ref_core(rng):
    import ctypes as C

    from ctypes_lib import P, SZ, declarer, ptr

    fn = declarer(C.CDLL(spectral.__file__))
    u64 = C.c_uint64
    create = fn("corr2d_create", P, P, u64, u64, u64, C.c_int, u64, u64)
    set_ref, execute = fn("corr2d_set_ref", C.c_int, P, P), fn("corr2d_execute", SZ, P, P, SZ, P, SZ)
    row_mode, destroy = fn("corr2d_row_mode", C.c_int, P), fn("corr2d_destroy", None, P)
    row, full, x = cnoise(rng, 3, 8), cnoise(rng, 3, 8), cnoise(rng, 3, 8)
    row[1:] = 0
    out = np.zeros(24, np.complex64)
    for first, second, mode, status in [(row, full, 1, -1), (row, np.roll(row, 2, axis=1), 1, 0), (full, row, 0, 0)]:
        h = create(ptr(first), 3, 8, 2, 1, 0, 0)
        try:
            assert row_mode(h) == mode
            execute(h, ptr(x), 24, ptr(out), 24)  # half a dwell, cleared by an accepted set_ref
            assert set_ref(h, ptr(second)) == status
            # A refused reference leaves the half-done dwell; an accepted one restarts it.
            assert execute(h, ptr(x), 24, ptr(out), 24) == (24 if status else 0)
            if status == 0:
                assert execute(h, ptr(x), 24, ptr(out), 24) == 24
            want = model([x, x], (first if status else second).astype(complex), (3, 8))
            np.testing.assert_allclose(out, want, atol=2e-5 * np.abs(want).max())
        finally:
            destroy(h)
