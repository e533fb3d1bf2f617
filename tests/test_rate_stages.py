"""Rate-converter stages through their C functions: halfband decimators
(complex, real-to-complex, Q15), the CIC decimator and its compensator design,
the Farrow interpolator and the AGC. Each against an independent NumPy model
of its rule, chunked against whole, and its state blob against malformed copies."""

import os
import subprocess
import sys

import numpy as np
import pytest

from rate_ctypes import (CF32, Core, agc_create, agc_settling, agc_step, agc_steps, cic_create, ciccompmf, crandn,
                         farrow_create, farrow_delay, fn, halfband, hb_q15_create, hb_q15_execute, hb_r2c_create,
                         hb_r2c_execute, ptr, run_cic, run_hb, tlm_create, tlm_destroy, tlm_probe_name, tlm_records,
                         P, D, I, U32, SZ)

F32 = np.float32
HB19 = np.array([0.00157905, -0.00467577, 0.01044318, -0.02017462, 0.03579893, -0.06086637, 0.10411341,
                 -0.19753781, 0.63160092, 0.63160092, -0.19753781, 0.10411341, -0.06086637, 0.03579893,
                 -0.02017462, 0.01044318, -0.00467577, 0.00157905, 0.0], F32)


def pairs_model(n, coef, a, b, combine, start=None):
    """Per-pair sums of the halfband rule over streams a (first of pair) and b
    (second) from fresh delay lines: start(centre sample) first, then the
    product terms combine(coef, p1, p2) for k ascending, each added in the
    terms' own type. Returns (centre samples, sums or None without terms)."""
    h = n // 2
    even = n % 2 == 0
    m = a.shape[0]
    pad = lambda s: np.concatenate([np.zeros((n,) + s.shape[1:], s.dtype), s])
    ap, bp = pad(a), pad(b)
    idx = np.arange(m) + n
    cen, prod = (bp, ap) if even else (ap, bp)
    off = 0 if even else 1
    centre = cen[idx - h]
    acc = None if start is None else start(centre)
    for k in range(h):
        term = combine(coef[k], prod[idx - k - off], prod[idx - (n - 1 - k)])
        acc = term if acc is None else (acc + term).astype(term.dtype)
    return centre, acc


def hb_model(taps, x):
    xf = x.view(F32).reshape(-1, 2)
    coef = (F32(0.5) * taps).astype(F32)
    _, y = pairs_model(taps.size, coef, xf[0::2], xf[1::2], lambda c, p, q: (c * (p + q)).astype(F32),
                       start=lambda cen: (F32(0.5) * cen).astype(F32))
    return y.reshape(-1).view(np.complex64)


@pytest.mark.parametrize("n", [1, 2, 3, 6, 7, 19, 40])
def test_halfband_matches_model_in_any_chunking(rng, n):
    taps = rng.standard_normal(n).astype(F32)
    x = crandn(rng, 2 * 700)
    whole_core = halfband(n, taps)
    whole = run_hb(whole_core, x)
    np.testing.assert_array_equal(whole, hb_model(taps, x))
    # Chunks of odd sizes keep a pending sample between calls; out_cap limits.
    part = halfband(n, taps)
    cuts = [0, 1, 2, 5, 6, 7, 300, 301, 1024, 1399, 1400]
    got = np.concatenate([run_hb(part, x[a:b]) for a, b in zip(cuts[:-1], cuts[1:])])
    np.testing.assert_array_equal(got, whole)
    capped = halfband(n, taps)
    first = run_hb(capped, x[:101], cap=10)
    assert first.size == 10
    # The sample after the last pair waits; input past it in that call is dropped.
    rest = run_hb(capped, x[21:])
    np.testing.assert_array_equal(np.concatenate([first, rest]), whole)
    assert whole_core.call("get_rate", D) == 0.5 and whole_core.call("get_num_taps", SZ) == n
    dc = 0.5 + float(np.sum((F32(0.5) * taps[: n // 2]).astype(np.float64))) * 2 if n >= 2 else 0.5
    assert whole_core.call("dc_gain", D) == pytest.approx(dc, rel=1e-12)
    for c in (whole_core, part, capped):
        c.close()


def test_halfband_pending_sample_and_layer():
    taps = HB19
    hb = halfband(19, taps)
    assert run_hb(hb, np.ones(1, np.complex64)).size == 0
    assert run_hb(hb, np.ones(1, np.complex64)).size == 1
    hb.close()
    layer_create = fn("HalfbandDecimator_create", P, P, SZ)
    h = Core("HalfbandDecimator", layer_create(ptr(taps), 19))
    assert h.call("execute_max_out", SZ) == 32768
    assert h.call("get_rate", D) == 0.5
    h.close()
    assert not fn("hbdecim_create", P, SZ, P)(0, ptr(taps))
    assert not fn("hbdecim_create", P, SZ, P)(19, None)


def r2c_model(taps, x):
    n = taps.size
    coef = np.array([F32(0.5) * (-t if k % 2 else t) for k, t in enumerate(taps)], F32)
    centre, sums = pairs_model(n, coef, x[0::2], x[1::2], lambda c, p, q: (c * (p - q)).astype(F32))
    if n % 2:
        sigma = -1 if (n - 1) & 2 else 1
    else:
        sigma = 1 if n % 4 == 2 else -1
    c = (F32(sigma * 0.5) * centre).astype(F32)
    s = sums if sums is not None else np.zeros_like(c)
    re, im = (s, c) if n % 2 == 0 else (c, s)
    sign = np.where(np.arange(c.size) % 2, F32(-1), F32(1))
    return ((F32(2) * re) * sign).astype(F32) + 1j * ((F32(2) * im) * sign).astype(F32)


@pytest.mark.parametrize("n", [1, 4, 6, 7, 19])
def test_real_to_complex_halfband(rng, n):
    taps = rng.standard_normal(n).astype(F32)
    x = rng.standard_normal(1001).astype(F32)
    core = Core("hbdecim_r2c", hb_r2c_create(n, ptr(taps)))

    def run(c, v):
        out = np.zeros(v.size // 2 + 2, np.complex64)
        return out[: hb_r2c_execute(c.h, ptr(v), v.size, ptr(out), out.size)]

    whole = run(core, x)
    assert whole.size == 500
    np.testing.assert_array_equal(whole, r2c_model(taps, x[:1000]).astype(np.complex64))
    # State round trip in the middle of a stream with a pending sample.
    other = Core("hbdecim_r2c", hb_r2c_create(n, ptr(taps)))
    run(other, x[:333])
    restored = Core("hbdecim_r2c", hb_r2c_create(n, ptr(taps)))
    assert restored.restore(other.state()) == 0
    np.testing.assert_array_equal(run(restored, x[333:]), whole[166:])
    assert len(other.state()) == 44 + 16 * (1 if n == 1 else max(2, 1 << (n - 1).bit_length()))
    # A constant input alternates sign from one output to the next.
    const = Core("hbdecim_r2c", hb_r2c_create(19, ptr(HB19)))
    y = run(const, np.ones(400, F32))[50:]
    assert np.all(np.sign(y.real[1:]) == -np.sign(y.real[:-1])) or np.all(np.sign(y.imag[1:]) == -np.sign(y.imag[:-1]))
    for c in (core, other, restored, const):
        c.close()


def q15_model(taps, x):
    n = taps.size
    q = np.array([32767 if t > 1.999939 else -32768 if t < -2 else int(np.sign(t) * np.floor(abs(float(t)) * 16384 + 0.5))
                  for t in taps[: n // 2]], np.int64)
    xi = x.reshape(-1, 2).astype(np.int64)
    centre, sums = pairs_model(n, q, xi[0::2], xi[1::2], lambda c, p, r: c * (p + r))
    acc = sums if sums is not None else np.zeros_like(centre)
    return np.clip((acc + centre * 16384 + 16384) >> 15, -32768, 32767).astype(np.int16).reshape(-1)


@pytest.mark.parametrize("n", [1, 6, 19])
def test_q15_halfband(rng, n):
    taps = np.concatenate([rng.uniform(-1.2, 1.2, n - 2), [2.0, -2.5]])[:n].astype(F32) if n > 2 else \
        rng.uniform(-1, 1, n).astype(F32)
    x = rng.integers(-32768, 32768, 2 * 600).astype(np.int16)
    x[:40] = 32767  # drives the output to saturation with large taps
    core = Core("hbdecim_q15", hb_q15_create(n, ptr(taps)))

    def run(c, v):
        out = np.zeros(v.size + 4, np.int16)
        return out[: 2 * hb_q15_execute(c.h, ptr(v), v.size // 2, ptr(out), out.size // 2)]

    whole = run(core, x)
    np.testing.assert_array_equal(whole, q15_model(taps, x))
    chunked = Core("hbdecim_q15", hb_q15_create(n, ptr(taps)))
    parts = [run(chunked, x[a:b]) for a, b in ((0, 2), (2, 8), (8, 602), (602, 1200))]
    np.testing.assert_array_equal(np.concatenate(parts), whole)
    assert core.call("execute_max_out", SZ) == 0
    core.close()
    chunked.close()


# ---------------------------------------------------------------------------
# CIC


def cic_model(x, R):
    def conv(v):
        v = v.astype(np.float32)
        c = np.where(v > 1.99993896484375, 65535, np.where(v < -2.0, 0, 0))
        inr = (v >= -2.0) & (v <= 1.99993896484375)
        c = np.where(inr, np.trunc(np.where(inr, v, 0) * 16384).astype(np.int64) + 32768, c)
        return c.astype(np.uint64)

    shift = 4 * (R.bit_length() - 1)
    out = []
    for comp in (x.real, x.imag):
        s = conv(comp)
        for _ in range(4):
            s = np.cumsum(s, dtype=np.uint64)
        s = s[R - 1 :: R]
        for _ in range(4):
            s = s - np.concatenate([np.zeros(1, np.uint64), s[:-1]])
        out.append(((s >> np.uint64(shift)) & np.uint64(0xFFFF)).astype(np.float32) - F32(32768))
    return ((out[0] * F32(2.0**-14)) + 1j * (out[1] * F32(2.0**-14))).astype(np.complex64)


@pytest.mark.parametrize("R", [2, 8, 64, 2048])
def test_cic_matches_integer_model_and_chunks(rng, R):
    x = crandn(rng, 3 * R + 4000, scale=0.7)
    x[5] = 2.0 + 0.5j  # clipped: above 1.99993896484375
    x[6] = -2.0 - 2.5j  # -2.0 is in range, -2.5 clips
    c = Core("cic", cic_create(R))
    whole = run_cic(c, x)
    np.testing.assert_array_equal(whole, cic_model(x, R))
    assert c.call("get_clipped", I) == 1
    d = Core("cic", cic_create(R))
    cuts = sorted({0, 1, R - 1, R, R + 3, 2000, x.size})
    np.testing.assert_array_equal(np.concatenate([run_cic(d, x[a:b]) for a, b in zip(cuts[:-1], cuts[1:])]), whole)
    assert c.call("dc_gain", D) == 1.0 and c.call("decimate_max_out", SZ) == 0
    c.close()
    d.close()


def test_cic_examples_and_refusals():
    c = Core("cic", cic_create(16))
    for _ in range(4):
        assert run_cic(c, np.zeros(15 if _ == 0 else 16, np.complex64)).size == (0 if _ == 0 else 1)
    assert run_cic(c, np.zeros(1, np.complex64)).size == 1
    assert len(c.state()) == 149
    assert c.call("get_clipped", I) == 0
    reconf = fn("cic_reconfigure", I, P, U32)
    assert reconf(c.h, 3) == -4 and reconf(c.h, 4096) == -4 and c.call("get_R", U32) == 16
    assert reconf(c.h, 8) == 0 and (c.call("get_R", U32), c.call("get_shift", U32)) == (8, 12)
    for R in (0, 1, 3, 4096, 12):
        assert not cic_create(R)
    # A restored phase at or past R would never reach an output instant.
    good = bytearray(c.state())
    for off, val in ((144, 8), (144, 200), (148, 2), (0, ord("X")), (6, 0)):
        bad = bytearray(good)
        bad[off] = val
        assert c.restore(bytes(bad)) == -4
    assert c.state() == bytes(good)
    c.close()


def test_cic_nan_input_counts_as_clipped():
    c = Core("cic", cic_create(4))
    y = run_cic(c, np.full(8, complex(np.nan, 0.5), np.complex64))
    assert np.all(np.isfinite(y.view(F32))) and c.call("get_clipped", I) == 1
    c.close()


def cic_response(f, R, N=4):
    f = np.asarray(f, np.float64)
    with np.errstate(invalid="ignore", divide="ignore"):
        g = np.where(f == 0, 1.0, np.sin(np.pi * f * R) / (R * np.sin(np.pi * f)))
    return np.abs(g) ** N


def test_ciccompmf_examples_and_flatness():
    np.testing.assert_allclose(ciccompmf(4, 16, 5), [0.029, -0.282, 1.5061, -0.282, 0.029], atol=5e-4)
    assert ciccompmf(4, 16, 1).tolist() == [1.0]
    assert not ciccompmf(4, 16, 20).any() and not ciccompmf(4, 16, 21).any()
    assert ciccompmf(4, 16, 0).size == 0
    for M in (2, 3, 6, 7, 12, 19, 18):
        h = ciccompmf(4, 8, M)
        assert h.sum() == pytest.approx(1.0, abs=1e-12)
        np.testing.assert_allclose(h, h[::-1], atol=0)
    # The 7-tap compensator flattens the CIC's droop over the low band.
    h = ciccompmf(4, 16, 7)
    f = np.linspace(0, 0.15, 40)  # cycles per decimated sample
    H = np.abs(np.exp(-2j * np.pi * np.outer(f, np.arange(7))) @ h)
    flat = 20 * np.log10(H * cic_response(f / 16, 16))
    droop = 20 * np.log10(cic_response(f / 16, 16))
    assert np.max(np.abs(flat)) < 0.01 < np.max(np.abs(droop))


# ---------------------------------------------------------------------------
# Farrow


def farrow(order):
    return Core("farrow", farrow_create(order))


def run_farrow(f, x, mu, cap=None):
    out = np.zeros(x.size if cap is None else cap, np.complex64)
    return out[: farrow_delay(f.h, ptr(x), x.size, ptr(out), out.size, mu)]


def test_farrow_examples(rng):
    f = farrow(2)
    y = run_farrow(f, np.arange(8).astype(np.complex64), 0.5)
    np.testing.assert_allclose(y.real[3:], [1.5, 2.5, 3.5, 4.5, 5.5], rtol=0, atol=1e-6)
    x = crandn(rng, 50)
    for order in (0, 1, 2):
        g = farrow(order)
        np.testing.assert_array_equal(run_farrow(g, x, 0.0), np.concatenate([np.zeros(2, np.complex64), x[:-2]]))
        # Chunks and restored state continue the same stream.
        whole = run_farrow(farrow(order), x, 0.3)
        h = farrow(order)
        first = run_farrow(h, x[:17], 0.3)
        r = farrow(order)
        assert r.restore(h.state()) == 0
        np.testing.assert_array_equal(np.concatenate([first, run_farrow(r, x[17:], 0.3)]), whole)
        assert len(h.state()) == 52 and g.call("get_group_delay", I) == 2
    assert run_farrow(farrow(2), x, 0.5, cap=7).size == 7
    assert not farrow_create(3) and not farrow_create(-1)
    # The order travels in the blob and is checked.
    blob = bytearray(farrow(1).state())
    blob[48] = 3
    assert farrow(1).restore(bytes(blob)) == -4


# ---------------------------------------------------------------------------
# AGC


def agc(ref_db=0.0, mu=0.01, alpha=0.5):
    return Core("agc", agc_create(ref_db, mu, alpha))


def agc_run(a, x):
    out = np.zeros_like(x)
    for i, v in enumerate(x):
        r = agc_step(a.h, CF32(float(v.real), float(v.imag)))
        out[i] = complex(r.re, r.im)
    return out


def test_agc_loop_examples(rng):
    a = agc(0.0, 0.01, 0.5)
    fn("agc_set_block_len", I, P, C_I64)(a.h, 8)
    x = crandn(rng, 8, scale=0.1)
    np.testing.assert_array_equal(agc_run(a, x), x)  # the first block at unity gain
    # A constant input at the reference level keeps the gain near 0 dB.
    b = agc(-6.0, 0.01, 1.0)
    amp = 10 ** (-6.0 / 20)
    agc_run(b, np.full(4000, amp * (0.6 + 0.8j), np.complex64))
    assert abs(b.call("get_gain_db", D)) < 0.01
    # A quiet input is raised towards the reference.
    c = agc(0.0, 0.01, 1.0)
    y = agc_run(c, np.full(3000, 0.01, np.complex64))
    assert abs(20 * np.log10(abs(y[-1]))) < 0.1
    assert agc_settling(0.01, 1.0, 3.0, 5.0) == 1 and agc_settling(0.0, 1.0, 3.0, 1.0) == 0
    k = agc_settling(0.01, 1.0, 10.0, 1.0)
    assert 0 < k < 16 / 0.01
    # Tiny step sizes end in bounded time; non-finite errors are refused.
    assert agc_settling(1e-300, 1.0, 10.0, 1.0) == 0
    assert agc_settling(0.01, 1.0, float("nan"), 1.0) == 0 and agc_settling(0.01, 1.0, float("inf"), 1.0) == 0
    for h in (a, b, c):
        h.close()


C_I64 = __import__("ctypes").c_int64


@pytest.mark.parametrize("form", ["step", "steps"])
def test_agc_zero_and_huge_input_stay_finite_and_bounded(form):
    a = agc(0.0, 0.2, 1.0)
    seq = np.concatenate([np.zeros(20000, np.complex64), np.full(5, 1e30, np.complex64),
                          np.full(3, complex(np.nan, 1), np.complex64), np.full(4, 1e-3, np.complex64)])
    if form == "step":
        y = agc_run(a, seq)
    else:
        y = np.zeros_like(seq)
        agc_steps(a.h, ptr(seq), ptr(y), seq.size)
    assert np.all(np.isfinite(y.view(F32))) and np.max(np.abs(y.view(F32))) <= 1.0001e6
    g = a.call("get_gain_db", D)
    assert np.isfinite(g) and abs(g) <= 300.0
    assert np.isfinite(a.call("get_applied_gain_db", D))
    a.close()


def test_agc_block_form_ramps_to_target():
    a = agc(0.0, 0.05, 1.0)
    x = np.full(64, 0.5, np.complex64)
    y = np.zeros_like(x)
    assert agc_steps(a.h, ptr(x), ptr(y), x.size) == 64
    np.testing.assert_array_equal(y[:8], x[:8])  # gain 0 dB ramps to 0 dB
    assert np.all(np.diff(np.abs(y[8:16])) > 0)  # then rises linearly towards the new target
    a.close()


def test_agc_telemetry_order_names_and_state(rng):
    ctx = tlm_create(1024)
    a = agc(0.0, 0.01, 1.0)
    fn("agc_set_block_len", I, P, C_I64)(a.h, 4)
    set_tlm = fn("agc_set_telemetry", I, P, P, P, U32)
    # Names longer than a probe name holds would be cut into one name: refused.
    assert set_tlm(a.h, ctx, b"x" * 23, 1) == -4 and set_tlm(a.h, ctx, b"x" * 22, 0) == -4
    assert set_tlm(a.h, ctx, b"rx1", 1) == 0
    assert [tlm_probe_name(ctx, i) for i in range(2)] == [b"rx1.gain_db", b"rx1.level_db"]
    agc_run(a, crandn(rng, 12, 0.1))
    rec = tlm_records(ctx)
    assert rec["probe"].tolist() == [0, 1] * 3
    blob = a.state()
    assert len(blob) == 120 and blob[:4] == b"AGC " and blob[4] == 3
    b = agc(0.0, 0.01, 1.0)
    assert b.restore(blob) == 0
    x = crandn(rng, 40, 0.1)
    np.testing.assert_array_equal(agc_run(a, x), agc_run(b, x))
    # Restored gains and counters are checked: a NaN gain, a gain past the
    # bound, a count past the block or a zero block length are refused.
    for off, value in ((64, np.float64(np.nan)), (64, np.float64(1e9)), (88, np.uint64(4)), (56, np.int64(0)),
                       (40, np.int64(-1)), (72, np.float64(-1.0))):
        bad = bytearray(blob)
        raw = np.array([value]).tobytes()
        bad[off : off + len(raw)] = raw
        assert b.restore(bytes(bad)) == -4
    assert b.restore(blob) == 0
    tlm_records(ctx)
    set_tlm(a.h, None, None, 1)
    agc_run(a, x)
    assert tlm_records(ctx).size == 0
    a.close()
    b.close()
    tlm_destroy(ctx)


# ---------------------------------------------------------------------------
# Portable and vector paths


def test_portable_path_gives_the_same_bits(rng):
    """KOLVANE_SIMD=generic forces the portable kernels; every stage and the
    converter give the same bits as the default (vector) path."""
    code = (
        "import sys, numpy as np; sys.path.insert(0, %r)\n"
        "from rate_ctypes import *\n"
        "rng = np.random.default_rng(7); x = crandn(rng, 5000)\n"
        "out = [run_hb(halfband(19, np.linspace(-1, 1, 19)), x)]\n"
        "for r in (0.5, 0.25, 0.1, 0.8, 3.0):\n"
        "    out.append(rc_run(converter(r, 1), x))\n"
        "sys.stdout.buffer.write(np.concatenate(out).tobytes())\n" % os.path.dirname(__file__)
    )
    runs = []
    for simd in ("generic", ""):
        env = dict(os.environ, KOLVANE_SIMD=simd)
        runs.append(subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, check=True).stdout)
    assert len(runs[0]) > 0 and runs[0] == runs[1]


@pytest.mark.parametrize("kind", ["hbdecim", "hbdecim_q15"])
def test_halfband_state_blobs(rng, kind):
    """A blob restored into a fresh decimator continues the stream; ring
    positions, the pending flag and rings whose halves disagree are refused."""
    n = 19
    if kind == "hbdecim":
        make = lambda: halfband(n, HB19)
        x = crandn(rng, 1001)
        run = lambda c, v: run_hb(c, v)
        elem, rings, ring_at = 8, 2, 44
    else:
        make = lambda: Core("hbdecim_q15", hb_q15_create(n, ptr(HB19)))
        x = rng.integers(-20000, 20000, 2 * 1001).astype(np.int16)

        def run(c, v):
            out = np.zeros(v.size + 4, np.int16)
            return out[: 2 * hb_q15_execute(c.h, ptr(v), v.size // 2, ptr(out), out.size // 2)]

        elem, rings, ring_at = 2, 4, 40
    k = 1 if kind == "hbdecim" else 2
    a = make()
    first = run(a, x[: k * 333])  # leaves a pending sample
    blob = a.state()
    S = 32
    assert len(blob) == ring_at + rings * 2 * S * elem
    b = make()
    assert b.restore(blob) == 0
    assert b.state() == blob
    np.testing.assert_array_equal(run(b, x[k * 333 :]), run(a, x[k * 333 :]))
    whole = run(make(), x)
    np.testing.assert_array_equal(first, whole[: first.size])
    c = make()
    before = c.state()
    for off, val in ((16, S), (24, 200), (32, 2), (ring_at, 0x7F), (0, ord("x")), (4, 2)):
        bad = bytearray(blob)
        bad[off] = val if bad[off] != val else val ^ 1
        assert c.restore(bytes(bad)) == -4
        assert c.state() == before
    for h in (a, b, c):
        h.close()
