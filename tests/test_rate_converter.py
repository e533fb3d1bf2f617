"""The RateConverter core through its C functions: plans and labels, output
counts, the per-input and steered forms, state, the AGC and its telemetry, and
the measured frequency response of each plan against its design."""

import ctypes as C

import numpy as np
import pytest

from rate_ctypes import (CF32, D, I, P, SZ, U32, ciccompmf, converter, crandn, fn, labels, matched, ptr,
                         rc_create, rc_create_matched, rc_outputs, rc_push, rc_run, tlm_create, tlm_destroy,
                         tlm_probe_name, tlm_records)

PLANS = [
    (0.5, 0, ["HalfbandDecimator"]),
    (0.5, 1, ["HalfbandDecimator"]),
    (0.25, 0, ["HalfbandDecimator", "HalfbandDecimator"]),
    (0.125, 0, ["CIC(8)"]),
    (0.125, 1, ["CIC(8)+FIR"]),
    (0.1, 0, ["CIC(8)", "Resampler(0.8)"]),
    (0.8, 0, ["Resampler(0.8)"]),
    (3.0, 0, ["Resampler(3)"]),
    (1.0, 0, ["Resampler(1)"]),
    (1 / 4096, 0, ["CIC(2048)", "Resampler(0.5)"]),
    (1 / 40, 1, ["CIC(32)+FIR", "Resampler(0.8)"]),
    (0.3, 0, ["Resampler(0.3)"]),
]


@pytest.mark.parametrize("rate,comp,expect", PLANS)
def test_plans_and_labels(rate, comp, expect):
    c = converter(rate, comp)
    assert labels(c) == expect
    assert c.call("get_rate", D) == rate
    shape = [c.call("bank_shape_value", SZ, k, argtypes=[I]) for k in range(c.call("num_bank_shape", I))]
    assert shape == ([4096, 19] if expect[-1].startswith("Resampler") else [])
    c.close()


def test_matched_plans_labels_and_bank():
    assert labels(matched(0.5)) == ["HalfbandDecimator", "Resampler(1,rrc)"]
    assert labels(matched(1 / 16, pulse=0, pulse_sps=4)) == ["CIC(16)", "Resampler(1,iandd)"]
    assert labels(matched(0.1)) == ["CIC(8)", "Resampler(0.8,rrc)"]
    m = matched(1.0, span=16, pulse_sps=1.0, compensate=0)
    assert [m.call("bank_shape_value", SZ, k, argtypes=[I]) for k in (0, 1)] == [1024, 34]
    assert m.call("get_bank_sps", D) == 1.0
    # The bank's length follows the terminal stage's rate, not the input rate;
    # a folded compensator adds six taps.
    f = matched(1 / 8, span=16, pulse_sps=1.0, compensate=1)
    assert f.call("bank_shape_value", SZ, 1, argtypes=[I]) == 34 + 6
    assert matched(1.0, pulse=0, pulse_sps=2.0).call("get_narrow_pulse", I) == 1
    assert matched(1.0, pulse=0, pulse_sps=4.0).call("get_narrow_pulse", I) == 0
    for args in ((1, 1, 8, 1024, 0.0, 0.35, 2.0), (1, 1, 8, 1024, float("nan"), 0.35, 2.0), (1, 2, 8, 1024, 1, 0.35, 2),
                 (1, 1, 0, 1024, 1, 0.35, 2), (1, 1, 8, 1000, 1, 0.35, 2), (1, 1, 8, 1, 1, 0.35, 2),
                 (1, 1, 8, 1024, 1, 1.5, 2), (1, 1, 8, 1024, 1, 0.35, 0), (1, 1, 8, 1024, 1, 0.35, float("inf")),
                 (1, 1, 1 << 40, 1024, 1, 0.35, 2), (1, 1, 8, 1 << 20, 1e-6, 0.35, 2.0)):
        assert not rc_create_matched(*args), args
    for rate in (0.0, -1.0, float("nan"), float("inf")):
        assert not rc_create(0, rate)


def test_counts_and_push_patterns():
    c = converter(0.5)
    assert rc_run(c, np.zeros(1024, np.complex64)).shape == (512,)
    ones = np.ones(1000, np.complex64)
    assert rc_run(converter(0.8), ones, ctrl=0.0).size == 800
    assert rc_run(converter(0.8), ones, ctrl=0.05).size == 851
    p = converter(0.8)
    assert [rc_push(p, 1.0)[0].size for _ in range(10)] == [1, 1, 1, 1, 0, 1, 1, 1, 1, 0]
    assert c.call("execute_max_out", SZ) == 65538 and converter(3.0).call("execute_max_out", SZ) == 65536 * 3 + 2
    assert converter(3.0).call("execute_ctrl_push_max_out", SZ) == 5 and c.call("execute_ctrl_push_max_out", SZ) == 3
    assert c.call("execute_ctrl_max_out", SZ) == 0
    # An interpolating converter's output is sized by its rate, not by 65536.
    big = converter(4.0)
    assert rc_run(big, np.ones(40000, np.complex64)).size == 160000


STEER_PLANS = [(0.8, 0, None), (0.1, 1, None), (0.25, 0, None), (0.125, 1, None), (3.0, 0, None), (0.5, 1, "rrc"),
               (0.1, 1, "iandd"), (1.5, 1, "rrc")]


def make(rate, comp, kind):
    if kind is None:
        return converter(rate, comp)
    return matched(rate, pulse=1 if kind == "rrc" else 0, compensate=comp, pulse_sps=4.0)


@pytest.mark.parametrize("rate,comp,kind", STEER_PLANS)
def test_push_reproduces_steered_block_and_chunks(rng, rate, comp, kind):
    x = crandn(rng, 3000, 0.3)
    ctrl = 0.01 if rate < 1 else -0.02
    block = rc_run(make(rate, comp, kind), x, ctrl=ctrl)
    p = make(rate, comp, kind)
    outs, taps = [], []
    for v in x:
        y, tap = rc_push(p, v, ctrl, cap=16)
        outs.append(y)
        if tap is not None:
            taps.append(tap)
    np.testing.assert_array_equal(np.concatenate(outs), block)
    # The tap reports every sample entering the terminal stage.
    assert len(taps) == rc_outputs_of_leading(make(rate, comp, kind), x.size)
    # Chunked block calls, and a restore in the middle, continue identically.
    for form in (None, ctrl):
        whole = rc_run(make(rate, comp, kind), x, ctrl=form)
        a = make(rate, comp, kind)
        first = rc_run(a, x[:1234], ctrl=form)
        b = make(rate, comp, kind)
        assert b.restore(a.state()) == 0
        second = rc_run(b, x[1234:2001], ctrl=form)
        third = rc_run(a, x[1234:2001], ctrl=form)
        np.testing.assert_array_equal(second, third)
        np.testing.assert_array_equal(np.concatenate([first, second, rc_run(b, x[2001:], ctrl=form)]), whole)
        b.reset()
        np.testing.assert_array_equal(rc_run(b, x, ctrl=form), whole)


def rc_outputs_of_leading(c, n):
    """Samples reaching the terminal stage for n inputs from a fresh converter."""
    stages = labels(c)
    for lab in stages[:-1]:
        n = n // 2 if lab.startswith("Halfband") else n // int(lab[4:].split(")")[0])
    return n


def test_pure_integer_cascades_ignore_ctrl(rng):
    x = crandn(rng, 4096, 0.3)
    for rate in (0.5, 0.25, 0.125):
        ref = rc_run(converter(rate), x)
        np.testing.assert_array_equal(rc_run(converter(rate), x, ctrl=0.3), ref)
        p = converter(rate)
        np.testing.assert_array_equal(np.concatenate([rc_push(p, v, 0.3)[0] for v in x]), ref)


def test_composite_restore_is_all_or_nothing(rng):
    c = converter(0.1, 1)  # CIC(8)+FIR, Resampler(0.8)
    rc_run(c, crandn(rng, 777))
    good = c.state()
    # Header, CIC (149), FIR (8*7+8), resampler: a bad slice anywhere refuses it all.
    cic_at, fir_at = 16, 16 + 149
    rs_at = fir_at + 64
    bad_cases = []
    for off, val in ((cic_at + 144, 9), (fir_at, ord("X")), (rs_at + 4, 7), (rs_at + 20, 200), (rs_at + 39, 0x80)):
        bad = bytearray(good)
        bad[off] = val
        bad_cases.append(bytes(bad))
    other = converter(0.1, 1)
    rc_run(other, crandn(rng, 50))
    before = other.state()
    for bad in bad_cases:
        assert other.restore(bad) == -4
        assert other.state() == before
    assert other.restore(good[:-1] + b"\0") in (0, -4)  # the last byte is ring data: any value is a state
    assert converter(0.5).restore(good) == -4


def test_agc_telemetry_gain_before_level(rng):
    ctx = tlm_create(4096)
    m = matched(0.5, pulse_sps=4.0)
    plain = converter(0.5)
    enable = fn("RateConverter_enable_agc", I, P, D, D)
    set_tlm = fn("RateConverter_set_telemetry", I, P, P, P, U32)
    assert enable(plain.h, 0.01, 0.5) == -4
    for bad in ((0.0, 0.5), (-1.0, 0.5), (0.01, 0.0), (0.01, 1.5), (float("nan"), 0.5)):
        assert enable(m.h, *bad) == -4
    assert set_tlm(m.h, ctx, b"p" * 23, 1) == -4 and set_tlm(m.h, ctx, b"rx", 0) == -4
    assert set_tlm(m.h, ctx, b"rx", 1) == 0
    assert enable(m.h, 0.01, 0.5) == 0
    assert [tlm_probe_name(ctx, i) for i in range(2)] == [b"rx.gain_db", b"rx.level_db"]
    ref = m.call("agc_ref_db", D)
    assert np.isfinite(ref)
    rc_run(m, crandn(rng, 4000, 0.01))
    rec = tlm_records(ctx)
    # Blocks of 8 terminal-stage samples, each emitting gain then level.
    assert rec.size == 2 * (2000 // 8)
    assert rec["probe"].tolist() == [0, 1] * (rec.size // 2)
    assert m.call("agc_gain_db", D) > 0  # a quiet input is raised
    # A restore carries the AGC: both converters continue identically.
    n = matched(0.5, pulse_sps=4.0)
    enable(n.h, 0.01, 0.5)
    assert n.restore(m.state()) == 0
    x = crandn(rng, 500, 0.01)
    np.testing.assert_array_equal(rc_run(m, x), rc_run(n, x))
    # A rebuild keeps the AGC and its telemetry.
    tlm_records(ctx)
    fn("RateConverter_set_rate", None, P, D)(m.h, 0.25)
    assert labels(m) == ["HalfbandDecimator", "HalfbandDecimator", "Resampler(1,rrc)"]
    rc_run(m, crandn(rng, 800, 0.01))
    assert tlm_records(ctx)["probe"].tolist()[:2] == [0, 1]
    set_tlm(m.h, None, None, 1)
    rc_run(m, crandn(rng, 800, 0.01))
    assert tlm_records(ctx).size == 0
    for c in (m, n, plain):
        c.close()
    tlm_destroy(ctx)


def test_set_rate_gain_clipped_and_convert(rng):
    c = converter(0.8)
    set_rate = fn("RateConverter_set_rate", None, P, D)
    for r in (0.0, -1.0, float("nan")):
        set_rate(c.h, r)
        assert labels(c) == ["Resampler(0.8)"]
    set_rate(c.h, 0.125)
    assert labels(c) == ["CIC(8)"] and c.call("gain", D) == 1.0
    rc_run(c, np.full(64, 3.0, np.complex64))
    assert c.call("get_clipped", I) == 1
    g = converter(0.1, 1).call("gain", D)
    assert g == pytest.approx(float(np.sum(ciccompmf(4, 8, 7).astype(np.float32))) * 1.0, rel=1e-3)
    x = crandn(rng, 1000, 0.3)
    out = np.zeros(600, np.complex64)
    convert = fn("RateConverter_convert", SZ, I, P, SZ, P, SZ, D)
    m = convert(0, ptr(x), x.size, ptr(out), out.size, 0.5)
    np.testing.assert_array_equal(out[:m], rc_run(converter(0.5), x))
    assert convert(0, ptr(x), x.size, ptr(out), out.size, -1.0) == 0


# ---------------------------------------------------------------------------
# Frequency response of each plan against its design.
#
# pb: passband edge (fraction of the output rate); ripple: allowed passband
# deviation [dB] from the design response; atten: least rejection [dB] of every
# input frequency that folds into the passband. Halfband and resampler stages
# are 58 dB designs; a CIC stage's rejection is its sinc^4 response, which the
# measurement must meet (within 0.5 dB, down to the -60 dB floor of its 16-bit
# input conversion) wherever it folds into the passband.

RESPONSE = [(0.5, 0, 0.4), (0.25, 0, 0.4), (0.8, 0, 0.4), (147 / 160, 0, 0.4), (3.0, 0, 0.4), (0.125, 0, 0.2),
            (0.125, 1, 0.2), (0.1, 1, 0.2), (1 / 40, 1, 0.2), (0.117, 0, 0.2)]


def tone_response(c, rate, f, n):
    c.reset()
    x = (0.5 * np.exp(2j * np.pi * f * np.arange(n))).astype(np.complex64)
    y = rc_run(c, x).astype(np.complex128)
    k = np.arange(y.size)[y.size // 4 :]
    y = y[y.size // 4 :]
    e = np.exp(2j * np.pi * (f / rate) * k)
    a = np.vdot(e, y) / k.size
    power = np.sqrt(np.mean(np.abs(y) ** 2))
    return abs(a) / 0.5, power / 0.5


def design_gain(labels_, f):
    """Passband design response: the CIC droop (or flat with its compensator)."""
    g = 1.0
    for lab in labels_:
        if lab.startswith("CIC("):
            R = int(lab[4:].split(")")[0])
            cic = np.abs(np.sin(np.pi * f * R) / (R * np.sin(np.pi * f))) ** 4 if f else 1.0
            g *= 1.0 if lab.endswith("+FIR") else cic
            f = ((f * R + 0.5) % 1.0) - 0.5
    return g


def cic_bound(labels_, f):
    """The CIC stage's response to input frequency f, with its compensator's."""
    g = 1.0
    for lab in labels_:
        if lab.startswith("CIC("):
            R = int(lab[4:].split(")")[0])
            g *= np.abs(np.sin(np.pi * f * R) / (R * np.sin(np.pi * f))) ** 4 if f else 1.0
            if lab.endswith("+FIR"):
                fd = ((f * R + 0.5) % 1.0) - 0.5
                g *= abs(np.sum(ciccompmf(4, R, 7) * np.exp(-2j * np.pi * fd * np.arange(7))))
    return g


@pytest.mark.parametrize("rate,comp,pb", RESPONSE)
def test_measured_response_meets_design(rate, comp, pb):
    c = converter(rate, comp)
    labs = labels(c)
    n = int(min(max(6000 / rate, 8192), 1 << 18))
    out_rate = min(rate, 1.0)
    ripple = 0.05
    for fo in np.linspace(-pb, pb, 9):
        f = fo * out_rate
        gain, _ = tone_response(c, rate, f, n)
        assert abs(20 * np.log10(gain / design_gain(labs, f))) < ripple, (f, gain)
    if rate >= 1:
        return
    wrap = lambda v: ((v + 0.5) % 1.0) - 0.5
    fold = [f for f in np.linspace(-0.5, 0.5, 241) if abs(wrap(f / rate)) <= pb and abs(f) > pb * rate * 1.0001]
    assert fold or rate > 1 / (2 - pb)  # nothing folds into a passband this close to the input rate
    for f in fold:
        _, level = tone_response(c, rate, f, n)
        level_db = 20 * np.log10(level + 1e-12)
        if any(lab.startswith("CIC") for lab in labs):
            # ... down to the floor of its 16-bit input conversion.
            assert level_db < max(20 * np.log10(cic_bound(labs, f) + 1e-12) + 0.5, -60.0), f
        else:
            assert level_db < -58.0, f
