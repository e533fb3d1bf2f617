"""Down-converters (DDC, Ddcr and their matched flavours): tones to DC, the
push form against the block form, output bounds, state blobs, and the per-push
tap reports through the C functions. Threads: tests/test_threads.py."""

import ctypes as C
import warnings

import numpy as np
import pytest

from kolvane import ddc, resample

from blockprops import assert_same, check_blob_refusals, check_chunked_equals_whole, check_destroyed, check_state_roundtrip
from ctypes_lib import CF32, P, SZ, declarer

LIB = C.CDLL(ddc.__file__)
_sig = declarer(LIB)


ddc_create = _sig("ddc_create", P, C.c_double, C.c_double)
ddc_destroy = _sig("ddc_destroy", None, P)
ddc_push_tap2 = _sig("ddc_execute_ctrl_push_tap2", SZ, P, P, SZ, CF32, C.c_double, C.c_double, P, P, P, P)
ddc_run = _sig("ddc_run", SZ, P, P, P, P, SZ, P, SZ)
ddc_state_bytes = _sig("ddc_state_bytes", SZ, P)
ddc_set_telemetry = _sig("ddc_set_telemetry", C.c_int, P, P, C.c_char_p, C.c_uint32)
tlm_create = _sig("sx_tlm_create", P, SZ)
tlm_destroy = _sig("sx_tlm_destroy", None, P)
ddcr_create = _sig("ddcr_create", P, C.c_double, C.c_double)
ddcr_destroy = _sig("ddcr_destroy", None, P)
ddcr_push_tap2 = _sig("ddcr_execute_ctrl_push_tap2", SZ, P, P, SZ, C.c_float, C.c_double, C.c_double, P, P, P, P)

DDC_MSG = ("DDC: invalid parameter (need rate > 0, 0 <= beta <= 1, span >= 1, pulse_sps > 0, "
           "num_phases a power of two >= 2)")
DDCR_MSG = ("Ddcr: invalid parameter (need 0 < rate < 0.5, 0 <= beta <= 1, span >= 1, pulse_sps > 0, "
            "num_phases a power of two >= 2)")

# (type, constructor arguments, real input?) covering every plan shape the
# converters take: halfbands, CIC with and without residue, a lone resampler
# (decimating and interpolating), matched banks.
KINDS = [
    (ddc.DDC, dict(norm_freq=0.1, rate=0.25), False),
    (ddc.DDC, dict(norm_freq=-0.03, rate=0.125), False),
    (ddc.DDC, dict(norm_freq=0.2, rate=0.1), False),
    (ddc.DDC, dict(norm_freq=0.01, rate=0.8), False),
    (ddc.DDC, dict(norm_freq=0.01, rate=3.0), False),
    (ddc.MatchedDDC, dict(norm_freq=0.05, rate=0.25), False),
    (ddc.MatchedDDC, dict(norm_freq=0.05, rate=0.07, pulse="iandd", pulse_sps=4.0), False),
    (ddc.Ddcr, dict(norm_freq=-0.7, rate=0.25), True),
    (ddc.Ddcr, dict(norm_freq=0.3, rate=0.05), True),
    (ddc.MatchedDdcr, dict(norm_freq=-0.2, rate=0.125), True),
]
IDS = [f"{t.__name__}-{a['rate']}" for t, a, _ in KINDS]
# Headers of the parts a blob holds: oscillator, converter and its stages.
TAGS = (b"LO__", b"RCVT", b"HBDC", b"CIC_", b"FIR_", b"RSMP")


def signal(real, n=5000, seed=7):
    rng = np.random.default_rng(seed)
    if real:
        return rng.standard_normal(n).astype(np.float32) * 0.3
    return ((rng.standard_normal(n) + 1j * rng.standard_normal(n)) * 0.3).astype(np.complex64)


def tone(f, n, real=False):
    k = np.arange(n)
    if real:
        return np.cos(2 * np.pi * f * k).astype(np.float32)
    return np.exp(2j * np.pi * f * k).astype(np.complex64)


def pushes(obj, x, rate_ctrl=0.0, freq_ctrl=0.0):
    return [obj.execute_ctrl_push(v, rate_ctrl, freq_ctrl) for v in x]


# ---------------------------------------------------------------------------
# The documented examples


def test_sixteen_ones_give_four_outputs():
    assert ddc.DDC(norm_freq=0.1).execute(np.ones(16, np.complex64)).size == 4


@pytest.mark.parametrize("kind,n,total", [(ddc.DDC, 64, 16), (ddc.Ddcr, 128, 32)])
def test_push_counts(kind, n, total):
    d = kind(norm_freq=-0.7 if kind is ddc.Ddcr else 0.0, rate=0.25)
    counts = [y.size for y in pushes(d, tone(0.1, n, kind is ddc.Ddcr))]
    assert counts[:4] == [0, 0, 0, 1]
    assert sum(counts) == total


def settled_dc(y, start):
    """Magnitude and spread of an output that should sit still at DC."""
    tail = y[start:]
    return np.abs(tail), np.abs(tail - tail.mean())


@pytest.mark.parametrize("how", ["norm_freq", "freq_ctrl"])
def test_tone_comes_to_dc(how):
    x = tone(0.1, 4096)
    if how == "norm_freq":
        y = ddc.DDC(norm_freq=-0.1, rate=0.25).execute(x)
    else:
        y = ddc.DDC(norm_freq=0.0, rate=0.25).execute_ctrl(x, 0.0, -0.1)
    assert y.size == 1024
    mag, spread = settled_dc(y, 100)
    np.testing.assert_allclose(mag, 1.0, atol=2e-3)
    assert spread.max() < 2e-3


def test_real_cosine_comes_out_analytic_with_its_image_rejected():
    y = ddc.Ddcr(norm_freq=-0.7, rate=0.25).execute(tone(0.1, 4096, real=True))
    assert y.size == 1024
    assert abs(abs(y[500]) - 1.0) < 2e-3
    mag, spread = settled_dc(y, 100)
    np.testing.assert_allclose(mag, 1.0, atol=2e-3)
    # The negative-frequency half of the cosine would swing the output by its
    # own amplitude; what is left of it lies below -80 dB.
    assert 20 * np.log10(spread.max()) < -80


def test_out_of_band_tone_is_rejected():
    # At rate 1/4 the band kept is |f| < 1/8 after mixing; a tone at 0.3 from
    # the carrier lands deep in both halfbands' stop band.
    x = tone(0.1, 8192) + tone(0.1 + 0.3, 8192)
    y = ddc.DDC(norm_freq=-0.1, rate=0.25).execute(x)[200:]
    assert 20 * np.log10(np.abs(y - y.mean()).max()) < -80


def test_negative_deviation_wraps():
    x = signal(False, 3000)
    a = ddc.DDC(norm_freq=0.02, rate=0.25).execute_ctrl(x, 0.0, -0.1)
    b = ddc.DDC(norm_freq=0.02, rate=0.25).execute_ctrl(x, 0.0, 0.9)
    assert_same(a, b)


# ---------------------------------------------------------------------------
# Push form, block form and bounds


@pytest.mark.parametrize("kind,args,real", KINDS, ids=IDS)
@pytest.mark.parametrize("rate_ctrl,freq_ctrl", [(0.0, 0.0), (0.01, -0.003), (0.6, 0.02), (-0.05, 0.1)])
def test_push_equals_block(kind, args, real, rate_ctrl, freq_ctrl):
    x = signal(real, 1200)
    a, b = kind(**args), kind(**args)
    block = a.execute_ctrl(x, rate_ctrl, freq_ctrl)
    pushed = pushes(b, x, rate_ctrl, freq_ctrl)
    assert_same(block, np.concatenate(pushed))
    # Both stand at the same point afterwards. (A positive deviation raises
    # the output rate above the input length for some of these; nothing is
    # cut either way.)
    assert_same(a.execute(x[:300]), b.execute(x[:300]))


@pytest.mark.parametrize("kind,args,real", KINDS, ids=IDS)
def test_block_output_is_never_cut(kind, args, real):
    x = signal(real, 3001)
    d = kind(**args)
    y = d.execute(x)
    expect = args["rate"] * x.size
    assert abs(y.size - expect) <= 3
    ref = kind(**args)
    buf = np.empty(max(x.size, ref.execute_max_out(x.size) if not real else 0, y.size), np.complex64)
    if real:
        assert ref.execute_max_out() == 0
    else:
        assert ref.execute_max_out(x.size) >= y.size
    view = ref.execute(x, out=buf)
    assert np.shares_memory(view, buf)
    assert_same(view, y)


def test_out_too_small_is_refused_and_consumes_nothing():
    d = ddc.DDC(norm_freq=0.1, rate=0.25)
    x = signal(False, 100)
    with pytest.raises(ValueError, match=r"^out has 99 elements, need >= 100$"):
        d.execute(x, out=np.empty(99, np.complex64))
    with pytest.raises(TypeError, match="^out must be a writable, C-contiguous ndarray of the output dtype$"):
        d.execute(x, out=np.empty(200, np.complex128))
    assert_same(d.execute(x), ddc.DDC(norm_freq=0.1, rate=0.25).execute(x))


@pytest.mark.parametrize("rate", [0.25, 3.0])
def test_out_sharing_the_input(rate):
    x = signal(False, 1000)
    expect = ddc.DDC(norm_freq=0.1, rate=rate).execute(x)
    buf = np.zeros(4 * x.size, np.complex64)
    buf[: x.size] = x
    assert_same(ddc.DDC(norm_freq=0.1, rate=rate).execute(buf[: x.size], out=buf), expect)


@pytest.mark.parametrize("kind,args,real", KINDS, ids=IDS)
def test_chunked_equals_whole_and_state(kind, args, real):
    x = signal(real, 4000)
    cuts = [0, 1, 2, 700, 2049, 2050, 4000]
    check_chunked_equals_whole(
        lambda: kind(**args), lambda o: o.execute(x),
        lambda o: [o.execute(x[a:b]) for a, b in zip(cuts, cuts[1:])])
    check_state_roundtrip(lambda: kind(**args), lambda o: o.execute(x[:1333]))


@pytest.mark.parametrize("kind,args,real", KINDS, ids=IDS)
def test_malformed_blobs(kind, args, real):
    x = signal(real, 777)
    d = kind(**args)
    d.execute(x)
    good = d.get_state()
    check_blob_refusals(lambda: kind(**args), lambda o: o.execute(x))
    # Every part is checked before any is restored: the rate and each inner
    # header (decimator, oscillator, converter and its stages) in turn.
    parts = [16, 24] + [i for i in range(28, len(good) - 4) if good[i:i + 4] in TAGS]
    assert len(parts) >= 4
    for off in parts:
        bad = bytearray(good)
        bad[off] ^= 0x41
        with pytest.raises(ValueError, match="^set_state rejected the blob$"):
            d.set_state(bytes(bad))
        assert d.get_state() == good


def test_blob_of_another_rate_is_refused():
    a, b = ddc.DDC(rate=0.8), ddc.DDC(rate=0.7)  # one resampler each: same blob size
    assert a.state_bytes() == b.state_bytes()
    with pytest.raises(ValueError, match="^set_state rejected the blob$"):
        a.set_state(b.get_state())


def test_norm_freq_is_phase_continuous():
    x = np.ones(4000, np.complex64)
    a = ddc.DDC(norm_freq=0.01, rate=0.8)
    a.execute(x[:2000])
    a.norm_freq = -0.02
    assert a.norm_freq == -0.02
    y = a.execute(x[2000:])
    # A jump in phase would show as a step between neighbouring outputs.
    assert np.abs(np.diff(y[40:])).max() < 2 * np.pi * 0.02 / 0.8 * 1.05
    with pytest.raises(ValueError):
        a.norm_freq = float("nan")
    assert a.norm_freq == -0.02


# ---------------------------------------------------------------------------
# Construction, properties, errors


@pytest.mark.parametrize("kind,args,msg", [
    (ddc.DDC, dict(rate=0.0), DDC_MSG), (ddc.DDC, dict(rate=float("nan")), DDC_MSG),
    (ddc.MatchedDDC, dict(span=0), DDC_MSG), (ddc.MatchedDDC, dict(num_phases=1000), DDC_MSG),
    (ddc.MatchedDDC, dict(beta=1.5), DDC_MSG), (ddc.DDC, dict(norm_freq=float("inf")), DDC_MSG),
    (ddc.Ddcr, dict(rate=0.5), DDCR_MSG), (ddc.Ddcr, dict(rate=-0.1), DDCR_MSG),
    (ddc.MatchedDdcr, dict(pulse_sps=0.0), DDCR_MSG),
])
def test_invalid_parameters(kind, args, msg):
    with pytest.raises(ValueError) as e:
        kind(**args)
    assert str(e.value) == msg


@pytest.mark.parametrize("kind", [ddc.MatchedDDC, ddc.MatchedDdcr])
def test_pulse_option_and_narrow_warning(kind):
    with pytest.raises(ValueError, match="^pulse must be one of \"iandd\", \"rrc\", got 'none'$"):
        kind(pulse="none")
    with pytest.warns(UserWarning, match="rectangle is one symbol wide"):
        d = kind(pulse="iandd", pulse_sps=2.0)
    assert d.narrow_pulse is True
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert kind(pulse="rrc").narrow_pulse is False


def test_properties():
    d = ddc.Ddcr(norm_freq=0.125, rate=0.2)
    assert (d.norm_freq, d.rate, d.clipped, d.narrow_pulse) == (0.125, 0.2, False, False)
    with pytest.raises(AttributeError):
        d.rate = 0.1
    assert ddc.DDC().execute_ctrl_push_max_out() == 3
    assert ddc.DDC(rate=5.5).execute_ctrl_push_max_out() == 7
    # A CIC stage clips input outside [-2, 2) (NaN included) and says so.
    c = ddc.DDC(rate=0.125)
    c.execute(np.ones(64, np.complex64))
    assert c.clipped is False
    y = c.execute(np.array([1, 5, np.nan, 1] * 16, np.complex64))
    assert c.clipped is True and np.isfinite(y).all()


@pytest.mark.parametrize("rate", [0.1, 0.125, 0.3, 0.5, 2 / 7, 1.7])
@pytest.mark.parametrize("matched", [False, True])
def test_terminal_rate_names_the_stage_rate_ctrl_steers(rate, matched):
    d = (ddc.MatchedDDC if matched else ddc.DDC)(rate=rate)
    twin = (resample.MatchedRateConverter if matched else resample.RateConverter)(rate=rate)
    last = twin.stages[-1]
    if last.startswith("Resampler("):
        label_rate = float(last[len("Resampler("):].split(",")[0].rstrip(")"))
        assert d.terminal_rate == twin.terminal_rate == pytest.approx(label_rate, rel=1e-5)
    else:
        assert d.terminal_rate == twin.terminal_rate == 0.0


@pytest.mark.parametrize("kind", [ddc.DDC, ddc.Ddcr, ddc.MatchedDDC, ddc.MatchedDdcr])
def test_destroyed(kind):
    x = np.zeros(8, np.float32)
    d = kind()
    calls = [lambda o: o.execute(x), lambda o: o.execute_ctrl(x, 0, 0), lambda o: o.execute_ctrl_push(0, 0, 0),
             lambda o: o.execute_ctrl_push_max_out(), lambda o: o.reset(), lambda o: o.state_bytes(),
             lambda o: o.get_state(), lambda o: o.set_state(b""), lambda o: o.norm_freq, lambda o: o.rate,
             lambda o: o.clipped, lambda o: o.narrow_pulse]
    if kind in (ddc.MatchedDDC, ddc.MatchedDdcr):
        calls += [lambda o: o.enable_agc(0.1), lambda o: o.set_telemetry(None), lambda o: o.agc_gain_db]
    check_destroyed(d, calls)
    if kind in (ddc.Ddcr, ddc.MatchedDdcr):
        kind().close()


def test_deviation_without_a_bound_is_refused_and_takes_nothing():
    d, ref = ddc.DDC(rate=0.8), ddc.DDC(rate=0.8)
    x = np.ones(8, np.complex64)
    for call in (lambda: d.execute_ctrl(x, float("inf"), 0.0), lambda: d.execute_ctrl(x, 0.0, float("nan")),
                 lambda: d.execute_ctrl(x, 1e12, 0.0), lambda: d.execute_ctrl_push(1.0, float("nan"), 0.0),
                 lambda: d.execute_ctrl_push(1.0, 1e12, 0.0)):
        with pytest.raises(ValueError):
            call()
    assert d.get_state() == ref.get_state()


# ---------------------------------------------------------------------------
# C functions without a Python surface


def test_tap_reports():
    out = (CF32 * 8)()
    mix, tap = CF32(), (C.c_float * 2)()
    mv, tv = C.c_int(7), C.c_int(7)

    def push(fn, d, x, cap=8):
        n = fn(d, out, cap, x, 0.0, 0.0, C.byref(mix), C.byref(mv), tap, C.byref(tv))
        return n, mv.value, tv.value

    d = ddcr_create(-0.7, 0.25)
    try:
        # First of a pair: nothing reaches the mixer, the oscillator stays.
        assert push(ddcr_push_tap2, d, C.c_float(1.0)) == (0, 0, 0)
        assert push(ddcr_push_tap2, d, C.c_float(1.0))[1] == 1
        # No room: the sample is not taken.
        assert push(ddcr_push_tap2, d, C.c_float(1.0), cap=0) == (0, 0, 0)
    finally:
        ddcr_destroy(d)
    d = ddc_create(0.0, 0.25)
    try:
        seen = []
        for _ in range(8):
            _, m, t = push(ddc_push_tap2, d, CF32(1.0, 0.0))
            assert m == 1 and (mix.re, mix.im) == (1.0, 0.0)
            seen.append(t)
        # Two halfbands: every second input reaches the terminal one.
        assert seen == [0, 1] * 4
        # Telemetry goes to the converter, which checks it.
        ctx = tlm_create(256)
        try:
            assert ddc_set_telemetry(d, ctx, b"rx", 0) == -4
            assert ddc_set_telemetry(d, ctx, b"x" * 23, 1) == -4
            assert ddc_set_telemetry(d, ctx, b"rx", 1) == 0
            assert ddc_set_telemetry(d, None, None, 1) == 0
        finally:
            tlm_destroy(ctx)
    finally:
        ddc_destroy(d)


def test_run_restores_executes_saves():
    x = signal(False, 1000)
    ref = ddc.DDC(norm_freq=0.1, rate=0.125)
    ref.execute(x)
    blob = ref.get_state()
    expect = ref.execute(x)
    d = ddc_create(0.1, 0.125)
    try:
        n = ddc_state_bytes(d)
        sin = C.create_string_buffer(blob, n)
        sout = C.create_string_buffer(n)
        out = np.empty(1000, np.complex64)
        k = ddc_run(d, sin, sout, x.ctypes.data, x.size, out.ctypes.data, out.size)
        assert_same(out[:k], expect)
        assert sout.raw == ref.get_state()
        bad = C.create_string_buffer(b"X" + blob[1:], n)
        assert ddc_run(d, bad, None, x.ctypes.data, x.size, out.ctypes.data, out.size) == 0
    finally:
        ddc_destroy(d)


# ----------------------------------------------------------------------------
# The matched types' AGC and its telemetry

MATCHED = [(ddc.MatchedDDC, dict(norm_freq=0.05, rate=0.25), False),
           (ddc.MatchedDdcr, dict(norm_freq=-0.2, rate=0.125), True)]
MATCHED_IDS = [t.__name__ for t, _, _ in MATCHED]


def with_agc(kind, args, tlm=None, prefix="rx"):
    d = kind(**args)
    d.enable_agc(0.05, 1.0)
    if tlm is not None:
        d.set_telemetry(tlm, prefix)
    return d


@pytest.mark.parametrize("kind,args,real", MATCHED, ids=MATCHED_IDS)
def test_agc_levels_any_input_and_reports_each_block(kind, args, real):
    from kolvane import telemetry
    x = signal(real, 16000)
    levels, gains = [], []
    for scale_db in (-30.0, 10.0):
        with telemetry.Telemetry(1 << 16) as tlm:
            d = with_agc(kind, args, tlm)
            y = d.execute(x * np.float32(10 ** (scale_db / 20)))
            rec = tlm.read()
            names = tlm.probe_names
        levels.append(10 * np.log10(np.mean(np.abs(y[len(y) // 2:].astype(np.complex128)) ** 2)))
        # One gain and one level record per block of 8 samples at the filter, gain first.
        assert list(names) == ["rx.gain_db", "rx.level_db"] and len(rec) % 2 == 0 and len(rec) > 0
        assert (rec["probe"][0::2] == names["rx.gain_db"]).all() and (rec["probe"][1::2] == names["rx.level_db"]).all()
        # The property reads the gain now applied, the last one reported.
        assert abs(d.agc_gain_db - rec["value"][-2]) < 1.0
        gains.append(d.agc_gain_db)
    # 40 dB more input: 40 dB less gain, and the same output level.
    assert abs(gains[0] - gains[1] - 40.0) < 1.0
    assert abs(levels[0] - levels[1]) < 1.0


@pytest.mark.parametrize("kind,args,real", MATCHED, ids=MATCHED_IDS)
def test_agc_state_and_chunks(kind, args, real):
    x = signal(real, 4000)
    cuts = [0, 1, 700, 2049, 4000]
    check_chunked_equals_whole(
        lambda: with_agc(kind, args), lambda o: o.execute(x),
        lambda o: [o.execute(x[a:b]) for a, b in zip(cuts, cuts[1:])])
    check_state_roundtrip(lambda: with_agc(kind, args), lambda o: o.execute(x[:1333]))
    # The AGC is part of the blob: a converter without one cannot take it.
    with pytest.raises(ValueError):
        kind(**args).set_state(with_agc(kind, args).get_state())


@pytest.mark.parametrize("kind,args,real", MATCHED, ids=MATCHED_IDS)
@pytest.mark.parametrize("call,exc", [
    (lambda d, t: d.enable_agc(0.0), ValueError),
    (lambda d, t: d.enable_agc(float("nan")), ValueError),
    (lambda d, t: d.enable_agc(0.1, 0.0), ValueError),
    (lambda d, t: d.enable_agc(0.1, 1.5), ValueError),
    (lambda d, t: d.set_telemetry(t._capsule), TypeError),
    (lambda d, t: d.set_telemetry(object()), TypeError),
    (lambda d, t: d.set_telemetry(t, decim=0), ValueError),
    (lambda d, t: d.set_telemetry(t, decim=2 ** 32), ValueError),
    (lambda d, t: d.set_telemetry(t, prefix="p" * 40), ValueError),
])
def test_agc_refusals_change_nothing(kind, args, real, call, exc):
    from kolvane import telemetry
    x = signal(real, 2000)
    with telemetry.Telemetry(1 << 14) as tlm:
        d, ref = with_agc(kind, args), with_agc(kind, args)
        with pytest.raises(exc):
            call(d, tlm)
        assert tlm.stats().emitted == 0
        assert_same(d.execute(x), ref.execute(x))
        assert tlm.stats().emitted == 0


@pytest.mark.parametrize("kind,args,real", MATCHED, ids=MATCHED_IDS)
def test_destroyed_telemetry_is_refused_not_written(kind, args, real):
    from kolvane import telemetry
    x = signal(real, 2000)
    tlm = telemetry.Telemetry(1 << 14)
    d = with_agc(kind, args, tlm)
    d.execute(x[:500])
    blob = d.get_state()
    tlm.destroy()
    for call in (lambda: d.execute(x), lambda: d.execute_ctrl(x, 0.0, 0.0), lambda: d.execute_ctrl_push(x[0], 0, 0)):
        with pytest.raises(RuntimeError, match="destroyed"):
            call()
    assert d.get_state() == blob  # nothing was taken
    d.set_telemetry(None)
    assert len(d.execute(x)) > 0
