"""Streaming correlation detectors: records against a NumPy model of framing,
dwell, peak and noise estimation; chunk invariance; the ring; last_corr;
state blobs; telemetry probes; and detection / false-alarm rates against the
theoretical curves."""

import ctypes as C
import math
import struct

import numpy as np
import pytest
import scipy.stats

from blockprops import check_blob_refusals, check_chunked_equals_whole, check_destroyed, check_state_roundtrip
from ctypes_lib import P, SZ, declarer, ptr
from kolvane import spectral

MODES = ["mean", "median", "min", "max"]


def cnoise(rng, *shape):
    return (rng.standard_normal(shape) + 1j * rng.standard_normal(shape)).astype(np.complex64)


def model(stream, ref, dwell, lo, hi, mode, threshold):
    """Records of a detector fed `stream` in one piece (fewer than 64 of them)."""
    n = ref.size
    lo, hi = sorted((min(lo, n - 1), min(hi, n - 1)))
    frames = stream[: stream.size // n * n].reshape(-1, *ref.shape)
    out = []
    for d in range(frames.shape[0] // dwell):
        acc = sum(np.fft.fftn(f.astype(complex)) for f in frames[d * dwell : (d + 1) * dwell])
        mag = np.abs(np.fft.ifftn(acc * np.conj(np.fft.fftn(ref.astype(complex))))).ravel()
        at = int(np.argmax(mag))
        seg = mag[lo : hi + 1]
        noise = {"mean": seg.mean(), "median": np.sort(seg)[seg.size // 2], "min": seg.min(), "max": seg.max()}[mode]
        stat = mag[at] / noise if noise > 0 else 0.0
        if threshold == 0 or stat > threshold:
            pos = (at,) if ref.ndim == 1 else divmod(at, ref.shape[1])
            out.append((*pos, mag[at], noise, stat))
    return out


def planted(rng, ref, frames, amp=0.7):
    """Noise with a circularly shifted copy of ref in every frame (a distinct peak)."""
    n = ref.size
    x = cnoise(rng, frames * n) * 0.5
    for f in range(frames):
        x[f * n : (f + 1) * n] += amp * np.roll(ref.ravel(), int(rng.integers(n)))
    return x


DET_CASES = [((64,), 1, 1, 63, "mean", 0.0), ((100,), 3, 90, 10, "median", 0.0), ((256,), 2, 5, 10**9, "min", 2.0),
             ((33,), 1, 0, -1, "max", 0.99), ((8, 8), 1, 1, 63, "mean", 0.0), ((4, 6), 2, 3, 20, "median", 3.0)]


@pytest.mark.parametrize("shape,dwell,lo,hi,mode,threshold", DET_CASES)
def test_records_match_model(rng, shape, dwell, lo, hi, mode, threshold):
    ref = cnoise(rng, *shape)
    kind = spectral.CorrDetector if len(shape) == 1 else spectral.CorrDetector2D
    d = kind(ref, dwell=dwell, noise_lo=lo, noise_hi=hi, noise_mode=mode, threshold=threshold)
    x = planted(rng, ref, 12)
    got = d.push(x)
    want = model(x, ref, dwell, lo if lo >= 0 else 2**64 - 1, hi if hi >= 0 else 2**64 - 1, mode, threshold)
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert g[: len(shape)] == w[: len(shape)] and all(isinstance(v, int) for v in g[: len(shape)])
        np.testing.assert_allclose(g[len(shape) :], w[len(shape) :], rtol=1e-4)
    if threshold:  # the gate must have let some dumps through and stopped others somewhere
        assert got


def impulse(n, shape=None):
    r = np.zeros(n, np.complex64)
    r[0] = 1
    return r if shape is None else r.reshape(shape)


def test_examples():
    d = spectral.CorrDetector(impulse(8), noise_lo=1, noise_hi=7)
    assert d.last_corr is None
    assert d.push(np.ones(8, np.complex64)) == [(0, 1.0, 1.0, 1.0)]
    a = spectral.CorrDetector(impulse(8), noise_lo=1, noise_hi=7)
    assert a.push(np.ones(3, np.complex64)) == [] and a.push(np.ones(5, np.complex64)) == [(0, 1.0, 1.0, 1.0)]
    d2 = spectral.CorrDetector2D(impulse(16, (4, 4)), noise_lo=1, noise_hi=15)
    assert d2.push(np.ones((4, 4), np.complex64)) == [(0, 0, 1.0, 1.0, 1.0)]
    assert (d2.ny, d2.nx, d2.n) == (4, 4, 16)
    # Median of the upper middle: bins 1..4 hold 1, 2, 3, 4 (x is its own correlation here).
    m = spectral.CorrDetector(impulse(8), noise_lo=1, noise_hi=4, noise_mode="median")
    assert m.push(np.array([10, 1, 2, 3, 4, 0, 0, 0], np.complex64)) == [(0, 10.0, 3.0, pytest.approx(10 / 3))]
    # Silence in the noise bins: noise 0 and statistic 0, reported only without a threshold.
    z = np.array([5, 0, 0, 0, 0, 0, 0, 0], np.complex64)
    assert spectral.CorrDetector(impulse(8), noise_lo=1).push(z) == [(0, 5.0, 0.0, 0.0)]
    assert spectral.CorrDetector(impulse(8), noise_lo=1, threshold=0.5).push(z) == []
    assert spectral.CorrDetector(impulse(8), noise_lo=1, threshold=-1.0).push(z) == [(0, 5.0, 0.0, 0.0)]
    assert spectral.CorrDetector(impulse(8), threshold=float("nan")).push(np.ones(8, np.complex64)) == []
    # dwell 3: records only on the pushes that complete the 3rd, 6th ... frame.
    w = spectral.CorrDetector(impulse(8), dwell=3)
    assert [len(w.push(np.ones(8, np.complex64))) for _ in range(7)] == [0, 0, 1, 0, 0, 1, 0]
    assert w.count == 1


@pytest.mark.parametrize("n,cap", [(1, 512), (100, 512), (512, 512), (513, 1024), (1000, 1024), (5000, 8192)])
def test_ring_and_noise_range(n, cap):
    d = spectral.CorrDetector(np.ones(n, np.complex64), noise_lo=n + 5, noise_hi=n // 2)
    assert (d.n, d.ring_cap, d.noise_lo, d.noise_hi, d.dwell) == (n, cap, n // 2, n - 1, 1)
    assert d.state_bytes() == 16 + 24 + 8 * n + 8 + 8 * cap + 24
    d2 = spectral.CorrDetector2D(np.ones((1, n), np.complex64), dwell=2)
    assert (d2.ring_cap, d2.noise_lo, d2.noise_hi) == (cap, 0, n - 1)
    assert d2.state_bytes() == 16 + 24 + 8 * n + 8 + 8 * cap + 32


def test_record_limit_drops_the_rest():
    d = spectral.CorrDetector(impulse(8))
    assert len(d.push(np.ones(1024, np.complex64))) == 64
    assert d.push(np.ones(3, np.complex64)) == []
    assert struct.unpack_from("<Q", d.get_state(), 16 + 24 + 64)[0] == 3  # only the new samples wait


def test_last_corr_lifetime(rng):
    ref = cnoise(rng, 16)
    d = spectral.CorrDetector(ref)
    d.push(np.roll(ref, 3))
    first = d.last_corr
    assert first.dtype == np.complex64 and first.shape == (16,) and first.flags.writeable
    assert int(np.argmax(np.abs(first))) == 3
    d.push(np.roll(ref, 5))
    assert int(np.argmax(np.abs(first))) == 5  # the same memory, overwritten in place
    d.push(first.copy())
    d.push(d.last_corr)  # fed back: read before the dumps overwrite it
    d.reset()
    assert d.last_corr is None
    d.push(ref)
    kept = d.last_corr
    d.destroy()
    np.testing.assert_allclose(np.abs(kept).max(), np.sum(np.abs(ref.astype(complex)) ** 2), rtol=1e-5)
    with pytest.raises(RuntimeError, match="^destroyed$"):
        d.last_corr


def test_argument_errors():
    with pytest.raises(ValueError, match="^noise_mode must be one of \"mean\", \"median\", \"min\", \"max\", got 'rms'$"):
        spectral.CorrDetector(impulse(8), noise_mode="rms")
    with pytest.raises(ValueError, match="^ref must be a 2-D array$"):
        spectral.CorrDetector2D(impulse(8))
    with pytest.raises(ValueError):
        spectral.CorrDetector(impulse(8), noise_hi=-2)
    for make, name in [(lambda: spectral.CorrDetector(np.zeros(0, np.complex64)), "detector_create"),
                       (lambda: spectral.CorrDetector2D(impulse(4, (2, 2)), dwell=0), "detector2d_create")]:
        with pytest.raises(MemoryError, match=f"^{name} returned NULL$"):
            make()


def kinds():
    return [(spectral.CorrDetector, (24,)), (spectral.CorrDetector2D, (4, 6)), (spectral.CorrDetector2D, (1, 24))]


@pytest.mark.parametrize("kind", range(3))
def test_state_and_chunking(rng, kind):
    cls, shape = kinds()[kind]
    ref = cnoise(rng, *shape)
    make = lambda: cls(ref, dwell=2, noise_lo=2, noise_hi=20, noise_mode="median")  # noqa: E731
    x = planted(rng, ref, 40)
    sizes = [5, 31, 1, 100, 48, 7, 0, 200]

    def as_array(recs):
        return np.array(recs, dtype=float).reshape(-1, len(shape) + 3)

    def chunks(obj):
        edges = np.cumsum([0] + sizes * 4)
        return [as_array(obj.push(x[a:b])) for a, b in zip(edges[:-1], edges[1:]) if a < x.size]

    check_chunked_equals_whole(make, lambda o: as_array(o.push(x[: sum(sizes) * 4])), chunks)
    step = lambda o: as_array(o.push(x[(o.count * 37) % 500 :][:37]))  # noqa: E731 (mid-frame leftovers)
    check_state_roundtrip(make, step)
    check_blob_refusals(make, step)
    a = make()
    step(a)
    good = a.get_state()
    corr_at, unread_at = 16, 16 + 24 + 8 * ref.size
    last_at = unread_at + 8 + 8 * a.ring_cap
    bad = [(corr_at + 16, struct.pack("<Q", 2)),  # correlator counter at the dwell
           (corr_at, b"CORX"),  # correlator tag
           (unread_at, struct.pack("<Q", a.ring_cap + 1)),
           (last_at, struct.pack("<Q", ref.shape[0] if len(shape) == 2 else ref.size)),  # peak outside the frame
           (len(good) - 4, struct.pack("<I", 2))]  # has_last
    if len(shape) == 2:
        bad.append((last_at + 8, struct.pack("<Q", shape[1])))
    for off, val in bad:
        blob = good[:off] + val + good[off + len(val) :]
        with pytest.raises(ValueError, match="^set_state rejected the blob$"):
            a.set_state(blob)
        assert a.get_state() == good
    check_destroyed(make(), [lambda o: o.push(x[:8]), lambda o: o.reset(), lambda o: o.ring_cap,
                             lambda o: o.threshold, lambda o: o.get_state()])


def test_telemetry_probes(rng):
    lib = C.CDLL(spectral.__file__)
    fn = declarer(lib)
    create = fn("detector_create", P, P, C.c_uint64, C.c_uint64, C.c_uint64, C.c_uint64, C.c_int, C.c_float, C.c_int)
    push = fn("detector_push", SZ, P, P, SZ, P, SZ)
    attach = fn("detector_set_telemetry", C.c_int, P, P, C.c_char_p, C.c_uint32)
    tlm_create, tlm_destroy = fn("sx_tlm_create", P, SZ), fn("sx_tlm_destroy", None, P)
    tlm_read = fn("sx_tlm_read", SZ, P, SZ, P, SZ)
    ref = cnoise(rng, 32)
    h, tlm = create(ptr(ref), 32, 1, 1, 31, 1, 0.0, 1), tlm_create(256)
    try:
        assert attach(h, tlm, b"x" * 26, 1) == -4 and attach(h, tlm, b"acq", 0) == -4
        assert attach(h, tlm, b"acq", 2) == 0
        x = planted(rng, ref, 5)
        recs = np.zeros(8, np.dtype([("lag", "<u8"), ("peak", "<f4"), ("noise", "<f4"), ("stat", "<f4")], align=True))
        assert push(h, ptr(x), x.size, ptr(recs), 8) == 5
        rec_dt = np.dtype({"names": ["n", "value", "probe", "flags"], "formats": ["<u8", "<f4", "<u2", "<u2"]})
        out = np.zeros(32, rec_dt)
        k = tlm_read(tlm, 0, ptr(out), 32)
        assert k == 9  # every 2nd dump of 5: dumps 1, 3, 5, three probes each
        for p, field in enumerate(["peak", "noise", "stat"]):
            np.testing.assert_array_equal(out[:k][out[:k]["probe"] == p]["value"], recs[field][[0, 2, 4]])
        assert attach(h, None, None, 1) == 0
        push(h, ptr(x), x.size, ptr(recs), 8)
        assert tlm_read(tlm, 0, ptr(out), 32) == 0
    finally:
        fn("detector_destroy", None, P)(h)
        tlm_destroy(tlm)


@pytest.mark.parametrize("kind", range(3))
def test_telemetry_from_python(rng, kind):
    from kolvane import telemetry
    cls, shape = kinds()[kind]
    ref = cnoise(rng, *shape)
    det = cls(ref, noise_lo=1, noise_hi=20)
    x = planted(rng, ref, 6)
    tlm = telemetry.Telemetry(1 << 10)
    det.set_telemetry(tlm, "acq", decim=3)
    recs = np.array(det.push(x), dtype=float)
    got = tlm.read_dict()
    assert sorted(got) == ["acq.noise", "acq.peak", "acq.stat"]
    for name, col in (("acq.peak", -3), ("acq.noise", -2), ("acq.stat", -1)):
        np.testing.assert_allclose(got[name], recs[[0, 3], col], rtol=1e-6)  # every third dump
    count = det.count
    tlm.destroy()
    with pytest.raises(RuntimeError, match="destroyed"):
        det.push(x)
    assert det.count == count  # nothing was taken
    for bad, exc in ((lambda: det.set_telemetry(object()), TypeError),
                     (lambda: det.set_telemetry(telemetry.Telemetry(64), decim=0), ValueError)):
        with pytest.raises(exc):
            bad()
    det.set_telemetry(None)
    assert len(det.push(x)) == 6


def theory(snr_db, n, t):
    """Detection and false-alarm probabilities of one dump of an n-sample reference with unit-modulus
    samples in complex white noise of unit power: the statistic is the largest lag magnitude over the
    mean magnitude of the noise lags, which is close to its expectation sqrt(pi*n/4)."""
    gamma = t * math.sqrt(math.pi * n / 4)
    scale = math.sqrt(n / 2)
    p_noise_lag = math.exp(-((gamma / scale) ** 2) / 2)
    pfa = 1 - (1 - p_noise_lag) ** n
    amp = 10 ** (snr_db / 20) * n
    pd = 1 - scipy.stats.rice.cdf(gamma, amp / scale, scale=scale) * (1 - p_noise_lag) ** (n - 1)
    return pd, pfa


def measure(rng, snr_db, n, t, trials):
    ref = np.exp(2j * np.pi * rng.integers(4, size=n) / 4).astype(np.complex64)
    d = spectral.CorrDetector(ref, noise_lo=1, noise_hi=n - 1, threshold=t)
    amp = 0.0 if snr_db is None else 10 ** (snr_db / 20)
    hits = 0
    for _ in range(trials // 64):
        x = (rng.standard_normal((64, n)) + 1j * rng.standard_normal((64, n))) / math.sqrt(2)
        hits += len(d.push((x + amp * ref).astype(np.complex64)))
    return hits / (trials // 64 * 64)


def test_detection_curve_matches_theory():
    rng = np.random.default_rng(20261209)
    n, t, trials = 1024, 3.3, 1536
    pfa_meas = measure(rng, None, n, t, 4 * trials)
    pfa = theory(-30, n, t)[1]
    # Tolerance: four binomial standard deviations plus 0.01 for the spread of the noise estimate.
    assert abs(pfa_meas - pfa) < 4 * math.sqrt(pfa * (1 - pfa) / (4 * trials)) + 0.01, (pfa_meas, pfa)
    for snr_db in (-23.0, -21.0, -20.0, -18.0):
        pd = theory(snr_db, n, t)[0]
        pd_meas = measure(rng, snr_db, n, t, trials)
        assert abs(pd_meas - pd) < 4 * math.sqrt(pd * (1 - pd) / trials) + 0.03, (snr_db, pd_meas, pd)
