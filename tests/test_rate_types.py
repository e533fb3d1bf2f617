"""The resample module's rate-conversion types: RateConverter,
MatchedRateConverter, CIC, Farrow and the four halfband decimators. The shared
block properties for every stateful type, then what is particular to each."""

import warnings

import numpy as np
import pytest

from kolvane import resample

from blockprops import check_blob_refusals, check_chunked_equals_whole, check_destroyed, check_state_roundtrip

HB19 = np.array([0.00157905, -0.00467577, 0.01044318, -0.02017462, 0.03579893, -0.06086637, 0.10411341,
                 -0.19753781, 0.63160092, 0.63160092, -0.19753781, 0.10411341, -0.06086637, 0.03579893,
                 -0.02017462, 0.01044318, -0.00467577, 0.00157905, 0.0], np.float32)


def signal(n, seed=3):
    rng = np.random.default_rng(seed)
    return (0.3 * (rng.standard_normal(n) + 1j * rng.standard_normal(n))).astype(np.complex64)


X = signal(6000)

# (factory, processing call on a block); every type with a state blob.
STATEFUL = {
    "RateConverter 0.1": (lambda: resample.RateConverter(rate=0.1, compensate=1), lambda o, x: o.execute(x)),
    "RateConverter 0.25": (lambda: resample.RateConverter(rate=0.25), lambda o, x: o.execute(x)),
    "RateConverter 3": (lambda: resample.RateConverter(rate=3.0), lambda o, x: o.execute(x)),
    "RateConverter ctrl": (lambda: resample.RateConverter(rate=0.8), lambda o, x: o.execute_ctrl(x, 0.02)),
    "Matched rrc": (lambda: resample.MatchedRateConverter(rate=0.125, pulse_sps=4.0), lambda o, x: o.execute(x)),
    "Matched iandd": (lambda: resample.MatchedRateConverter(rate=0.5, pulse="iandd", pulse_sps=4.0),
                      lambda o, x: o.execute_ctrl(x, -0.01)),
    "CIC": (lambda: resample.CIC(R=32), lambda o, x: o.decimate(x)),
    "Farrow": (lambda: resample.Farrow(order="parabolic"), lambda o, x: np.array(o.delay(x, 0.3))),
    "HalfbandDecimator": (lambda: resample.HalfbandDecimator(HB19), lambda o, x: o.execute(x)),
}


@pytest.mark.parametrize("name", sorted(STATEFUL))
def test_block_properties(name):
    make, call = STATEFUL[name]
    cuts = [0, 1, 3, 1000, 1001, 4095, 6000]
    check_chunked_equals_whole(make, lambda o: call(o, X),
                               lambda o: [call(o, X[a:b]) for a, b in zip(cuts[:-1], cuts[1:])])

    def step(o):
        # The same block for every object at the same step count.
        return call(o, X[:1500])

    check_state_roundtrip(make, step)
    check_blob_refusals(make, step)
    check_destroyed(make(), [lambda o: call(o, X[:10]), lambda o: o.reset(), lambda o: o.get_state(),
                             lambda o: o.state_bytes()])


@pytest.mark.parametrize("cls,arg,dtype", [(resample.HalfbandDecimatorDp, X, np.complex64),
                                           (resample.HalfbandDecimatorR2C, X.real.copy(), np.complex64),
                                           (resample.HalfbandDecimatorQ15, (X.view(np.float32) * 20000).astype(np.int16),
                                            np.int16)])
def test_minimal_halfbands_chunk_and_destroy(cls, arg, dtype):
    whole = cls(HB19).execute(arg)
    assert whole.dtype == dtype
    o = cls(HB19)
    # Chunks of odd sample counts (Q15 input counts int16 values, two per sample).
    k = 2 if dtype == np.int16 else 1
    parts = [o.execute(arg[k * a : k * b]) for a, b in ((0, 3), (3, 4), (4, 1001), (1001, arg.size // k))]
    np.testing.assert_array_equal(np.concatenate(parts), whole)
    o.reset()
    np.testing.assert_array_equal(o.execute(arg), whole)
    assert o.rate == 0.5 and o.num_taps == 19
    assert not hasattr(o, "get_state")
    check_destroyed(o, [lambda p: p.execute(arg[:4]), lambda p: p.reset(), lambda p: p.rate])


def test_examples():
    assert resample.RateConverter(rate=0.5, compensate=0).execute(np.zeros(1024, np.complex64)).shape == (512,)
    assert resample.RateConverter(rate=0.8).execute_ctrl(np.ones(1000, np.complex64), 0.05).size == 851
    p = resample.RateConverter(rate=0.8)
    assert [p.execute_ctrl_push(1.0, 0.0).size for _ in range(10)] == [1, 1, 1, 1, 0, 1, 1, 1, 1, 0]
    c = resample.CIC(R=4)
    c.reconfigure(8)
    assert (c.R, c.shift) == (8, 12)
    with pytest.raises(ValueError, match=r"\(rc=-4\)$"):
        c.reconfigure(12)
    assert (c.R, c.shift) == (8, 12)
    np.testing.assert_allclose(resample.ciccompmf(4, 16, 5), [0.029, -0.282, 1.5061, -0.282, 0.029], atol=5e-4)
    assert resample.ciccompmf(4, 16, 20).tolist() == [0.0] * 20
    assert resample.kaiser_num_taps(4096, 60.0, 0.4, 0.6) == 19 and round(resample.kaiser_beta(60.0), 4) == 5.6533
    with pytest.warns(UserWarning, match="rectangle is one symbol wide"):
        m = resample.MatchedRateConverter(pulse="iandd", pulse_sps=2)
    assert m.narrow_pulse is True
    assert resample.MatchedRateConverter(rate=1.0, span=16, pulse_sps=1.0, compensate=0).bank_shape == [1024, 34]
    f = resample.Farrow(order="cubic")
    np.testing.assert_allclose(f.delay(np.arange(8).astype(np.complex64), 0.5).real[3:], [1.5, 2.5, 3.5, 4.5, 5.5])
    assert f.group_delay == 2


def test_rate_property_and_stages():
    c = resample.RateConverter(rate=0.1)
    assert c.stages == ["CIC(8)", "Resampler(0.8)"] and c.bank_shape == [4096, 19]
    c.rate = 0.125
    assert c.stages == ["CIC(8)"] and c.bank_shape == [] and c.rate == 0.125
    c.rate = -1.0  # ignored
    assert c.rate == 0.125
    c.execute(np.full(64, 3.0, np.complex64))
    assert c.clipped is True
    assert resample.RateConverter(rate=0.125, compensate=1).stages == ["CIC(8)+FIR"]
    assert resample.MatchedRateConverter(rate=0.5).stages == ["HalfbandDecimator", "Resampler(1,rrc)"]


def test_interpolating_outputs_are_never_cut():
    # More than 65536*rate outputs, from execute and execute_ctrl alike.
    x = np.ones(100000, np.complex64)
    assert resample.RateConverter(rate=3.0).execute(x).size >= 300000
    assert resample.RateConverter(rate=3.0).execute_ctrl(x, 0.0).size == resample.RateConverter(rate=3.0).execute(
        x).size
    assert resample.RateConverter(rate=2.0).execute_ctrl(x, 0.5).size > 200000
    # The halfband returns every output, far past 32768.
    assert resample.HalfbandDecimator(HB19).execute(np.ones(200001, np.complex64)).size == 100000
    with pytest.raises(ValueError, match=r"^out has 10 elements, need >= 30[12]$"):
        resample.RateConverter(rate=3.0).execute(np.ones(100, np.complex64), out=np.empty(10, np.complex64))


def test_out_rules_and_views_outlive_destroy():
    c = resample.RateConverter(rate=0.5)
    out = np.empty(600, np.complex64)
    y = c.execute(X[:1000], out=out)
    assert np.shares_memory(y, out) and y.size == 500
    for bad in (np.empty(600, np.complex128), np.empty(1200, np.complex64)[::2], np.empty(600, np.complex64)):
        if not bad.flags.c_contiguous or bad.dtype != np.complex64:
            with pytest.raises(TypeError, match="^out must be a writable, C-contiguous ndarray of the output dtype$"):
                c.execute(X[:1000], out=bad)
    ro = np.empty(600, np.complex64)
    ro.flags.writeable = False
    with pytest.raises(TypeError, match="^out must be a writable"):
        c.execute(X[:1000], out=ro)
    # Results backed by the object's buffers stay readable after destroy().
    f = resample.Farrow()
    r = f.delay(X[:100], 0.25)
    expect = np.array(r)
    f.destroy()
    np.testing.assert_array_equal(r, expect)
    s = resample.Resampler(rate=2.0)
    q = s.execute(X[:100])
    keep = np.array(q)
    s.destroy()
    np.testing.assert_array_equal(q, keep)
    # In place: the input given as out= is read before it is overwritten.
    buf = X[:2000].copy()
    ref = resample.RateConverter(rate=0.5).execute(buf)
    np.testing.assert_array_equal(resample.RateConverter(rate=0.5).execute(buf, out=buf), ref)
    g = resample.Farrow()
    with pytest.raises(TypeError, match="^out must be a writable ndarray of the output dtype$"):
        g.delay(X[:10], 0.1, out=np.empty(10, np.float32))


@pytest.mark.parametrize("call,exc,text", [
    (lambda: resample.RateConverter(rate=0.0), ValueError, "^RateConverter: invalid parameter"),
    (lambda: resample.RateConverter(rate=float("nan")), ValueError, "^RateConverter: invalid parameter"),
    (lambda: resample.MatchedRateConverter(num_phases=1000), ValueError, "^RateConverter: invalid parameter"),
    (lambda: resample.MatchedRateConverter(beta=1.5), ValueError, "^RateConverter: invalid parameter"),
    (lambda: resample.MatchedRateConverter(span=0), ValueError, "^RateConverter: invalid parameter"),
    (lambda: resample.MatchedRateConverter(span=-1), ValueError, "non-negative"),
    (lambda: resample.MatchedRateConverter(pulse="sinc"), ValueError,
     "^pulse must be one of \"iandd\", \"rrc\", got 'sinc'$"),
    (lambda: resample.Farrow(order="quintic"), ValueError,
     "^order must be one of \"linear\", \"parabolic\", \"cubic\", got 'quintic'$"),
    (lambda: resample.CIC(R=3), MemoryError, "^cic_create returned NULL$"),
    (lambda: resample.CIC(R=-8), ValueError, "non-negative"),
    (lambda: resample.HalfbandDecimator(np.ones((2, 2), np.float32)), ValueError, "^h must be a 1-D float32 array$"),
    (lambda: resample.HalfbandDecimator(np.zeros(0, np.float32)), MemoryError,
     "^HalfbandDecimator_create returned NULL$"),
    (lambda: resample.HalfbandDecimatorR2C(np.zeros(0, np.float32)), MemoryError,
     "^hbdecim_r2c_create returned NULL$"),
    (lambda: resample.RateConverter(rate=0.5).execute_ctrl(X[:10], float("inf")), ValueError, "finite"),
    # Past 2**32 the resampler's 32-bit step truncates to 0: it ran 1:1 without a word.
    (lambda: resample.RateConverter(rate=1e12), ValueError, "^RateConverter: invalid parameter"),
    (lambda: resample.RateConverter(rate=0.5).execute(np.zeros(4, np.complex128)), TypeError, None),
])
def test_refused_arguments(call, exc, text):
    with pytest.raises(exc, match=text):
        call()


def test_with_block_and_push_out():
    with resample.RateConverter(rate=3.0) as c:
        assert c.execute_ctrl_push_max_out() == 5
        out = np.empty(5, np.complex64)
        y = c.execute_ctrl_push(0.5 + 0.5j, 0.0, out=out)
        assert np.shares_memory(y, out) and 3 <= y.size <= 5
    with pytest.raises(RuntimeError, match="^destroyed$"):
        c.execute(X[:4])


def rrc_pulse(t, b):
    t = np.asarray(t, float)
    with np.errstate(divide="ignore", invalid="ignore"):
        p = (np.sin(np.pi * t * (1 - b)) + 4 * b * t * np.cos(np.pi * t * (1 + b))) / (np.pi * t * (1 - (4 * b * t) ** 2))
    p[np.abs(t) < 1e-9] = 1 - b + 4 * b / np.pi
    edge = np.abs(np.abs(t) - 1 / (4 * b)) < 1e-9
    p[edge] = b / np.sqrt(2) * ((1 + 2 / np.pi) * np.sin(np.pi / (4 * b)) + (1 - 2 / np.pi) * np.cos(np.pi / (4 * b)))
    return p


def eye_opening(sps_in, comp, beta=0.35, span=8):
    """RRC-shaped BPSK at sps_in through MatchedRateConverter(pulse_sps=4): the
    smallest symbol magnitude over their mean, at the best timing (the output
    interpolated to 32 samples per symbol)."""
    from scipy.signal import resample_poly

    sym = np.random.default_rng(2).choice([-1.0, 1.0], 1200)
    up = np.zeros(sym.size * sps_in)
    up[::sps_in] = sym
    h = rrc_pulse(np.arange(-span * sps_in, span * sps_in + 1) / sps_in, beta)
    x = (0.2 * np.convolve(up, h / np.sqrt(np.sum(h**2)))).astype(np.complex64)
    m = resample.MatchedRateConverter(rate=4 / sps_in, compensate=comp, beta=beta, span=span, pulse_sps=4.0)
    z = resample_poly(m.execute(x).real[200:4200].astype(float), 8, 1)
    best = max((np.abs(z[64 + p : -64 : 32]) for p in range(32)), key=np.mean)
    return best.min() / best.mean()


@pytest.mark.parametrize("sps_in", [3, 6, 16, 40])
def test_matched_converter_opens_the_eye(sps_in):
    """Through the matched RRC bank the RRC-shaped symbols become a Nyquist
    pulse: at the best timing every symbol stands clear of zero."""
    assert eye_opening(sps_in, 1) > 0.95


def test_folded_compensator_flattens_the_cic_droop():
    assert eye_opening(32, 1) > 0.98 > eye_opening(32, 0)
