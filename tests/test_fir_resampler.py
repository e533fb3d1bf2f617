"""FIR filter (through its C functions, it has no Python type) and the polyphase
resampler (through resample.Resampler, and its C functions where the binding
cannot reach: exact-count fill, the control form with a small out)."""

import ctypes as C
import math

import numpy as np
import pytest

from kolvane import resample

from blockprops import check_blob_refusals, check_chunked_equals_whole, check_destroyed, check_state_roundtrip
from ctypes_lib import CF32, P, SZ, declarer, ptr

LIB = C.CDLL(resample.__file__)
FP = C.POINTER(C.c_float)
DP = C.POINTER(C.c_double)
_sig = declarer(LIB)


fir_create = _sig("fir_create", P, P, SZ)
fir_create_real = _sig("fir_create_real", P, P, SZ)
fir_destroy = _sig("fir_destroy", None, P)
fir_reset = _sig("fir_reset", None, P)
fir_state_bytes = _sig("fir_state_bytes", SZ, P)
fir_get_state = _sig("fir_get_state", None, P, P)
fir_set_state = _sig("fir_set_state", C.c_int, P, P)
fir_get_num_taps = _sig("fir_get_num_taps", SZ, P)
fir_get_is_real = _sig("fir_get_is_real", C.c_int, P)
fir_dc_gain = _sig("fir_dc_gain", C.c_double, P)
fir_execute = _sig("fir_execute", SZ, P, P, SZ, P)
fir_execute_max_out = _sig("fir_execute_max_out", SZ, P)

resamp_create = _sig("resamp_create", P, C.c_double)
resamp_create_custom = _sig("resamp_create_custom", P, SZ, SZ, P, C.c_double)
resamp_destroy = _sig("resamp_destroy", None, P)
resamp_dc_gain = _sig("resamp_dc_gain", C.c_double, P)
resamp_execute = _sig("resamp_execute", SZ, P, P, SZ, P, SZ)
resamp_interp_inputs_needed = _sig("resamp_interp_inputs_needed", SZ, P, SZ)
resamp_interp_fill = _sig("resamp_interp_fill", SZ, P, P, P, SZ)
resamp_execute_ctrl_push = _sig("resamp_execute_ctrl_push", SZ, P, P, SZ, CF32, C.c_double)
resamp_get_state = _sig("resamp_get_state", None, P, P)
resamp_state_bytes = _sig("resamp_state_bytes", SZ, P)
resamp_set_rate = _sig("resamp_set_rate", C.c_int, P, C.c_double)
resamp_get_rate = _sig("resamp_get_rate", C.c_double, P)
resampler_max_out = _sig("Resampler_execute_max_out", SZ, P)
resampler_ctrl_max_out = _sig("Resampler_execute_ctrl_max_out", SZ, P)

TWO32 = 1 << 32


def crandn(rng, n):
    return (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(np.complex64)


# ---------------------------------------------------------------------------
# FIR


class Fir:
    """A core FIR owned by the test."""

    def __init__(self, taps):
        self.taps = taps
        if np.iscomplexobj(taps):
            self.h = fir_create(ptr(taps), taps.size)
        else:
            self.h = fir_create_real(ptr(taps), taps.size)
        assert self.h

    def __call__(self, x):
        x = np.ascontiguousarray(x, np.complex64)
        out = np.empty_like(x)
        assert fir_execute(self.h, ptr(x), x.size, ptr(out)) == x.size
        return out

    def state(self):
        buf = np.zeros(fir_state_bytes(self.h), np.uint8)
        fir_get_state(self.h, ptr(buf))
        return buf

    def close(self):
        fir_destroy(self.h)


def fir_reference(taps, x):
    return np.convolve(x.astype(np.complex128), taps.astype(np.complex128))[: x.size]


@pytest.mark.parametrize("ntaps", [1, 2, 7, 64, 131])
@pytest.mark.parametrize("kind", ["real", "complex"])
def test_fir_matches_convolution_and_chunks(rng, ntaps, kind):
    if kind == "real":
        taps = rng.standard_normal(ntaps).astype(np.float32)
    else:
        taps = crandn(rng, ntaps)
    x = crandn(rng, 1000)
    f = Fir(taps)
    whole = f(x)
    ref = fir_reference(taps, x)
    scale = np.sqrt(np.sum(np.abs(taps.astype(np.complex128)) ** 2))
    np.testing.assert_allclose(whole, ref, rtol=0, atol=2e-5 * scale * 8)
    g = Fir(taps)
    cuts = [0, 1, 2, 9, 10, 17, 300, 301, 1000]
    parts = [g(x[a:b]) for a, b in zip(cuts[:-1], cuts[1:])]
    np.testing.assert_array_equal(np.concatenate(parts), whole)
    assert fir_get_num_taps(f.h) == ntaps
    assert fir_get_is_real(f.h) == (kind == "real")
    assert fir_dc_gain(f.h) == pytest.approx(float(np.sum(np.real(taps).astype(np.float64))), rel=1e-12, abs=1e-12)
    assert fir_execute_max_out(f.h) == 0
    f.close()
    g.close()


def test_fir_in_place_and_sequential_single_precision(rng):
    taps = rng.standard_normal(33).astype(np.float32)
    x = crandn(rng, 257)
    f = Fir(taps)
    expect = f(x)
    fir_reset(f.h)
    buf = x.copy()
    assert fir_execute(f.h, ptr(buf), buf.size, ptr(buf)) == buf.size
    np.testing.assert_array_equal(buf, expect)
    # Partly overlapping buffers: out starts three samples into the input.
    fir_reset(f.h)
    big = np.concatenate([x, np.zeros(3, np.complex64)])
    assert fir_execute(f.h, ptr(big), x.size, ptr(big[3:])) == x.size
    np.testing.assert_array_equal(big[3:], expect)
    # Tap 0 first, each product rounded to float32 and added in float32.
    xp = np.concatenate([np.zeros(32, np.complex64), x])
    acc = np.zeros(x.size, np.complex64)
    for j in range(taps.size):
        acc = acc + taps[j] * xp[32 - j : 32 - j + x.size]
    np.testing.assert_array_equal(expect, acc)
    f.close()


def test_fir_state_layout_roundtrip_and_refusals(rng):
    taps = crandn(rng, 5)
    x = crandn(rng, 50)
    f = Fir(taps)
    assert fir_state_bytes(f.h) == 8 * 5 + 8
    f(x)
    blob = f.state()
    assert bytes(blob[:4]) == b"FIR_" and blob[4] == 1 and blob[6] == 1
    assert int.from_bytes(bytes(blob[8:16]), "little") == blob.size
    # Payload: the last four inputs, oldest first.
    np.testing.assert_array_equal(blob[16:].view(np.complex64), x[-4:])
    g = Fir(taps)
    assert fir_set_state(g.h, ptr(blob)) == 0
    y = crandn(rng, 40)
    np.testing.assert_array_equal(f(y), g(y))
    before = g.state()
    for off, val in ((0, ord("X")), (4, 2), (6, 0), (8, 9)):
        bad = blob.copy()
        bad[off] = val
        assert fir_set_state(g.h, ptr(bad)) == -4
        np.testing.assert_array_equal(g.state(), before)
    fir_reset(g.h)
    assert not g.state()[16:].any()
    f.close()
    g.close()


def test_fir_single_tap_and_refused_arguments(rng):
    f = Fir(np.array([2.0], np.float32))
    assert fir_state_bytes(f.h) == 16
    x = crandn(rng, 9)
    np.testing.assert_array_equal(f(x), 2 * x)
    out = np.empty(1, np.complex64)
    assert fir_execute(f.h, ptr(x), 0, ptr(out)) == 0
    assert fir_execute(f.h, None, 4, ptr(out)) == 0
    assert fir_execute(None, ptr(x), 4, ptr(out)) == 0
    # A count no buffer can hold (the caller's arrays are tiny): refused before
    # anything is read, written or allocated, and the filter is unchanged.
    g = Fir(np.arange(4, dtype=np.float32))
    g(x)
    before = g.state()
    for n in (1 << 60, (1 << 61) - 2, (1 << 64) - 1):
        assert fir_execute(g.h, ptr(x), n, ptr(out)) == 0
    np.testing.assert_array_equal(g.state(), before)
    g.close()
    f.close()
    one = np.ones(1, np.float32)
    assert not fir_create_real(None, 4)
    assert not fir_create_real(ptr(one), 0)
    assert not fir_create(ptr(one), (1 << 62))
    fir_destroy(None)


# ---------------------------------------------------------------------------
# Resampler: a reference model of the three forms


class RefResampler:
    """Straight transcription of the resampler in float64, one sample at a time."""

    def __init__(self, bank, rate):
        self.bank = np.asarray(bank, np.float64)
        self.L, self.T = self.bank.shape
        self.S = 1 << max(0, (self.T - 1).bit_length())
        self.hist = np.zeros(self.T, np.complex128)  # newest first
        self.phase = 0
        self.dacc = np.zeros(self.T, np.complex128)
        self.dhist = np.zeros(max(1, self.T - 1), np.complex128)
        self.cphase = self.pending = self.backlog = 0
        self.set_rate(rate)

    def set_rate(self, rate):
        self.rate = rate
        self.interp = rate >= 1
        if rate >= 1:
            q = TWO32 / rate
            self.step = int(q) if 0 < q < TWO32 else 0
        else:
            q = TWO32 * rate
            self.step = int(q) if q > 0 else 0

    def row(self, acc):
        return (acc * self.L) >> 32

    def push(self, x):
        self.hist = np.concatenate([[x], self.hist[:-1]])

    def kernel(self, acc):
        return np.dot(self.bank[self.row(acc)], self.hist)

    def execute(self, xs):
        out, used = [], 0
        if self.interp:
            while used < len(xs):
                out.append(self.kernel(self.phase))
                nxt = (self.phase + self.step) % TWO32
                if nxt <= self.phase:
                    self.push(xs[used])
                    used += 1
                self.phase = nxt
            return np.array(out)
        T = self.T
        for x in xs:
            xs_ = complex(np.complex64(x) * np.float32(self.rate))
            b = self.bank[self.row(self.phase)]
            self.dacc += xs_ * b[::-1]
            nxt = (self.phase + self.step) % TWO32
            if nxt <= self.phase:
                if T == 1:
                    out.append(self.dacc[0])
                else:
                    out.append(self.dhist[0] + self.dacc[0])
                    self.dhist[: T - 2] = self.dhist[1 : T - 1] + self.dacc[1 : T - 1]
                    self.dhist[T - 2] = self.dacc[T - 1]
                self.dacc[:] = 0
            self.phase = nxt
        return np.array(out)

    def ctrl_push(self, x, ctrl, cap):
        r = self.rate + ctrl
        if r > 1e-6:
            q = 1.0 / r
            whole = math.trunc(q)
            frac = q - whole
            if TWO32 * frac > 0:
                adv, fstep = whole, min(int(TWO32 * frac), TWO32 - 1)
            else:
                adv, fstep = whole, 0
        else:
            adv, fstep = 1000000, 0
        out = []
        while True:
            while self.pending == 0:
                if len(out) >= cap:
                    self.push(x)
                    self.backlog += 1
                    return out
                out.append(self.kernel(self.cphase))
                nxt = self.cphase + fstep
                self.pending = adv + (1 if nxt >= TWO32 else 0)
                self.cphase = nxt % TWO32
            self.pending -= 1
            if self.backlog == 0:
                self.push(x)
                return out
            self.backlog -= 1
            if len(out) >= cap:
                self.push(x)
                self.backlog += 1
                return out


def small_bank(rng, L, T):
    return rng.standard_normal((L, T)).astype(np.float32) / T


def close(a, b, tol=2e-5):
    a = np.asarray(a)
    b = np.asarray(b)
    assert a.shape == b.shape
    if a.size:
        np.testing.assert_allclose(a, b, rtol=0, atol=tol * max(1.0, float(np.max(np.abs(b)))))


@pytest.mark.parametrize(
    "L,T,rate",
    [(8, 5, 1.5), (8, 5, 3.0), (8, 4, 1.0), (16, 1, 2.5), (6, 7, 1.7), (8, 5, 0.75), (16, 6, 147 / 160),
     (6, 3, 0.4), (4, 1, 0.3), (8, 5, 0.0)],
)
def test_resampler_matches_reference(rng, L, T, rate):
    bank = small_bank(rng, L, T)
    x = crandn(rng, 300)
    ref = RefResampler(bank, rate)
    with resample.Resampler(rate=rate, bank=bank) if rate > 0 else _core_resampler(bank, rate) as r:
        got = np.concatenate([np.array(r.execute(x[a:b])) for a, b in ((0, 1), (1, 77), (77, 300))])
    close(got, np.concatenate([ref.execute(x[:1]), ref.execute(x[1:77]), ref.execute(x[77:])]))


class _core_resampler:
    """rate 0 with a custom bank cannot be built through the binding (a custom
    bank needs rate > 0): build at 1 and set the rate, which the core allows."""

    def __init__(self, bank, rate):
        self.r = resample.Resampler(rate=1.0, bank=bank)
        self.r.rate = rate

    def __enter__(self):
        return self.r

    def __exit__(self, *a):
        self.r.destroy()


def test_non_power_of_two_bank_selects_rows_in_range(rng):
    # With 6 branches the accumulator's top bits would reach rows 6 and 7; the
    # row is (acc * L) >> 32, which for a power of two is the plain shift.
    for acc in (0, 1, TWO32 - 1, 0xABCDEF01, 1 << 31):
        for b in range(0, 12):
            assert (acc * (1 << b)) >> 32 == (acc >> (32 - b) if b else 0)
    bank = small_bank(rng, 6, 3)
    bank[5] = 0.0
    bank[5, 0] = 1e6  # the last row stands out if it is ever used wrongly
    r = resample.Resampler(rate=6.0 - 1e-9, bank=bank)
    ref = RefResampler(bank, 6.0 - 1e-9)
    x = crandn(rng, 50)
    close(r.execute(x), ref.execute(x))


def builtin_bank_reference():
    L, T = 4096, 19
    M = 9.5 * L
    beta = 5.65326

    def i0(v):
        half = np.asarray(v, np.float64) / 2
        s = np.ones_like(half)
        term = np.ones_like(half)
        for k in range(1, 29):
            term = term * half / k
            s = s + term * term
        return s

    j = np.arange(L * T, dtype=np.float64)
    d = j - M
    w = i0(beta * np.sqrt(1 - (d / M) ** 2)) / i0(beta)
    a = np.pi * d / L
    with np.errstate(invalid="ignore", divide="ignore"):
        h = np.where(d == 0, 1.0, w * np.sin(a) / np.where(d == 0, 1.0, a))
    return h.reshape(T, L).T.astype(np.float32)  # bank[p, k] = h[k*L + p]


def test_builtin_bank_read_out_by_an_impulse():
    # At rate 4096 the accumulator visits every branch in turn, and an impulse
    # moving through the ring reads coefficient k of each branch.
    r = resample.Resampler(rate=4096.0)
    x = np.zeros(19, np.complex64)
    x[0] = 1
    y = np.array(r.execute(x))
    assert y.size == 19 * 4096
    got = y.reshape(19, 4096)[1:].real.T  # [branch, k] for k = 0..17
    ref = builtin_bank_reference()
    np.testing.assert_allclose(got, ref[:, :18], rtol=0, atol=2e-7)
    assert not y[:4096].any() and not y.imag.any()
    h = resamp_create(1.0)
    assert resamp_dc_gain(h) == pytest.approx(float(np.sum(ref[0].astype(np.float64))), abs=1e-6)
    assert abs(resamp_dc_gain(h) - 1) < 2e-3
    resamp_destroy(h)


@pytest.mark.parametrize("rate,n_in,n_out", [(2.0, 100, 200), (1.0, 37, 37), (0.5, 100, 50), (0.0, 9, 9), (3.0, 40000, 120001)])
def test_builtin_output_counts(rate, n_in, n_out):
    # At rate 3 the step is floor(2^32 / 3), three steps fall one short of a
    # period, so 40000 inputs need ceil(40000 * 2^32 / step) = 120001 outputs.
    r = resample.Resampler(rate=rate)
    y = r.execute(np.ones(n_in, np.complex64))
    assert y.size == n_out
    if rate == 0.0:
        assert not np.asarray(y).any()
    if rate >= 1.0:
        # Unit DC in gives close to unit DC out once the ring has filled.
        assert np.allclose(np.asarray(y)[int(25 * rate):], 1.0, atol=2e-3)


def test_rate_one_is_branch_zero():
    r = resample.Resampler(rate=1.0)
    x = np.zeros(19, np.complex64)
    x[0] = 1
    y = np.array(r.execute(x))
    # The first output comes from the empty ring, before the impulse enters.
    assert y[0] == 0
    np.testing.assert_allclose(y[1:].real, builtin_bank_reference()[0][:18], atol=2e-7)


def test_ctrl_fresh_counts_at_rate_08():
    r = resample.Resampler(rate=0.8)
    counts = [r.execute_ctrl(np.ones(1, np.complex64), np.zeros(1)).size for _ in range(10)]
    assert counts == [1, 1, 1, 1, 0, 1, 1, 1, 1, 0]
    assert 0 <= r.ctrl_acc < 1
    # Steered to 0.85 for 1000 inputs: 851 outputs (the first comes before any input).
    r = resample.Resampler(rate=0.8)
    assert r.execute_ctrl(np.ones(1000, np.complex64), np.full(1000, 0.05)).size == 851


@pytest.mark.parametrize("rate", [0.8, 1.0, 2.3, 0.31])
def test_ctrl_matches_reference(rng, rate):
    bank = small_bank(rng, 8, 5)
    x = crandn(rng, 400)
    ctrl = rng.uniform(-0.05, 0.05, x.size)
    r = resample.Resampler(rate=rate, bank=bank)
    ref = RefResampler(bank, rate)
    expect = np.array([v for i in range(x.size) for v in ref.ctrl_push(x[i], ctrl[i], 1 << 30)])
    got = np.concatenate([np.array(r.execute_ctrl(x[a:b], ctrl[a:b])) for a, b in ((0, 3), (3, 250), (250, 400))])
    close(got, expect)
    assert r.ctrl_acc == ref.cphase / TWO32


def test_ctrl_push_with_a_small_out_owes_outputs(rng):
    # An out too small for what one input completes: the rest are owed and
    # come out later, none lost, none invented.
    bank = small_bank(rng, 8, 4)
    x = crandn(rng, 60)
    ref = RefResampler(bank, 3.3)
    h = resamp_create_custom(8, 4, ptr(bank), 3.3)
    out = np.zeros(2, np.complex64)
    for i, v in enumerate(x):
        cap = (0, 1, 2)[i % 3]
        expect = ref.ctrl_push(v, 0.0, cap)
        n = resamp_execute_ctrl_push(h, ptr(out), cap, CF32(v.real, v.imag), 0.0)
        assert n == len(expect)
        close(out[:n], np.array(expect, np.complex128).reshape(-1))
    blob = np.zeros(resamp_state_bytes(h), np.uint8)
    resamp_get_state(h, ptr(blob))
    assert int.from_bytes(bytes(blob[36:40]), "little", signed=True) == ref.backlog > 0
    resamp_destroy(h)


def test_interp_fill_counts_and_matches_execute(rng):
    bank = small_bank(rng, 16, 6)
    x = crandn(rng, 200)
    a = resamp_create_custom(16, 6, ptr(bank), 16 / 3)
    b = resample.Resampler(rate=16 / 3, bank=bank)
    outs = []
    pos = 0
    for n_out in (1, 5, 64, 3, 200, 17):
        need = resamp_interp_inputs_needed(a, n_out)
        buf = np.zeros(n_out, np.complex64)
        used = resamp_interp_fill(a, ptr(x[pos:]), ptr(buf), n_out)
        assert used == need
        pos += used
        outs.append(buf)
    got = np.concatenate(outs)
    # The block form over the same inputs gives the same outputs; it stops
    # right after the last input it consumed.
    ref = np.array(b.execute(x[:pos]))
    np.testing.assert_array_equal(got[: ref.size], ref)
    assert got.size - ref.size < 16 / 3 + 1
    resamp_destroy(a)


def test_inputs_needed_formula():
    h = resamp_create(2.0)  # step 2^31
    assert resamp_interp_inputs_needed(h, 0) == 0
    assert resamp_interp_inputs_needed(h, 7) == 3
    assert resamp_interp_inputs_needed(h, 1 << 40) == 1 << 39
    resamp_set_rate(h, 1.0)  # step 0: one input per output
    assert resamp_interp_inputs_needed(h, 5) == 5
    resamp_destroy(h)


def test_set_rate_is_glitch_free_within_a_form(rng):
    bank = small_bank(rng, 8, 5)
    x = crandn(rng, 200)
    r = resample.Resampler(rate=1.5, bank=bank)
    ref = RefResampler(bank, 1.5)
    y1 = np.array(r.execute(x[:90]))
    r.rate = 2.75
    ref_1 = ref.execute(x[:90])
    ref.set_rate(2.75)
    close(np.concatenate([y1, np.array(r.execute(x[90:]))]), np.concatenate([ref_1, ref.execute(x[90:])]))
    assert r.rate == 2.75


def test_kaiser_design_functions():
    assert resample.kaiser_beta(60.0) == pytest.approx(5.65326, abs=1e-12)
    assert round(resample.kaiser_beta(60.0), 4) == 5.6533
    assert resample.kaiser_beta(20.0) == 0.0
    assert resample.kaiser_beta(30.0) == pytest.approx(0.5842 * 9**0.4 + 0.07886 * 9, rel=1e-15)
    assert resample.kaiser_num_taps(4096, 60.0, 0.4, 0.6) == 19
    assert resample.kaiser_num_taps(0, 60.0, 0.4, 0.6) == 0
    assert resample.kaiser_num_taps(-3, 60.0, 0.4, 0.6) == 0
    # N = 52 * 32 * 0.0696.. / 0.1 + 1 = 1160.0 -> odd 1161 -> 1161 // 32 + 1
    assert resample.kaiser_num_taps(32, 60.0, 0.2, 0.3) == int(52 * 32 * 0.06965205386953845 / (0.3 - 0.2) + 1) // 32 + 1
    assert resample.kaiser_num_taps(num_phases=8, atten=40.0, pb=0.1, sb=0.4) == 8
    # Edges in the wrong order, or an attenuation far below 8 dB, would give a
    # negative count: no usable design, 0.
    for bad in ((16, math.nan, 0.1, 0.2), (16, 60.0, 0.2, 0.2), (16, math.inf, 0.1, 0.2), (1 << 60, 60.0, 0.1, 0.2),
                (16, 60.0, 0.3, 0.2), (1, -100.0, 0.4, 0.6)):
        assert resample.kaiser_num_taps(*bad) == 0


# ---------------------------------------------------------------------------
# Resampler binding: construction, out rules, shared properties


def test_constructor_and_properties():
    r = resample.Resampler()
    assert (r.rate, r.num_phases, r.num_taps, r.ctrl_acc) == (0.0, 4096, 19, 0.0)
    assert r.execute_max_out() == 65536 and r.execute_ctrl_max_out() == 65536
    with pytest.raises(ValueError, match="^bank must be 2-D float32$"):
        resample.Resampler(rate=1.0, bank=np.ones(8, np.float32))
    with pytest.raises(MemoryError, match="^Resampler_create returned NULL$"):
        resample.Resampler(rate=0.0, bank=np.ones((4, 3), np.float32))
    with pytest.raises(MemoryError, match="^Resampler_create returned NULL$"):
        resample.Resampler(rate=1.0, bank=np.ones((0, 3), np.float32))
    for bad in (math.nan, math.inf, -math.inf):
        with pytest.raises(ValueError, match="^rate must be finite$"):
            resample.Resampler(rate=bad)
        with pytest.raises(ValueError, match="^rate must be finite$"):
            r.rate = bad
    assert r.rate == 0.0
    # A negative ratio means nothing (the decimating form would scale every
    # sample by it): refused, and the live rate stays.
    r.rate = 0.5
    for bad in (-0.5, -1e300):
        with pytest.raises(ValueError, match="^rate must not be negative$"):
            resample.Resampler(rate=bad)
        with pytest.raises(ValueError, match="^rate must not be negative$"):
            r.rate = bad
        assert not resamp_create(bad)
        h = resamp_create(0.5)
        assert resamp_set_rate(h, bad) == -4
        assert resamp_get_rate(h) == 0.5
        resamp_destroy(h)
    assert r.rate == 0.5
    b = resample.Resampler(rate=2.0, bank=[[1, 0, 0], [0.5, 0.5, 0]])
    assert (b.num_phases, b.num_taps) == (2, 3)
    with pytest.raises(TypeError):  # NumPy's safe casting: no silent float64 -> float32
        resample.Resampler(rate=2.0, bank=np.ones((2, 3), np.float64))
    assert not resamp_create(math.nan)
    assert not resamp_create_custom(1 << 40, 1 << 30, ptr(np.ones(1, np.float32)), 1.0)


def test_out_rules():
    r = resample.Resampler(rate=2.0)
    x = np.ones(10, np.complex64)
    out = np.zeros(70000, np.complex64)
    y = r.execute(x, out=out)
    assert y.size == 20 and np.shares_memory(y, out)
    with pytest.raises(TypeError, match="^out must be a writable ndarray of the output dtype$"):
        r.execute(x, out=np.zeros(70000, np.complex128))
    with pytest.raises(ValueError, match=r"^out has 100 elements, need >= 65536$"):
        r.execute(x, out=np.zeros(100, np.complex64))
    # Large interpolated blocks: out must hold all of them (no input dropped).
    with pytest.raises(ValueError, match=r"^out has 70000 elements, need >= 80000$"):
        r.execute(np.ones(40000, np.complex64), out=out)
    with pytest.raises(ValueError, match="^ctrl must be at least as long as x$"):
        r.execute_ctrl(x, np.zeros(9))
    # Any array-like input: strided, a list; complex128 is refused by NumPy's safe casting.
    z = crandn(np.random.default_rng(5), 40)
    a = resample.Resampler(rate=1.5)
    b = resample.Resampler(rate=1.5)
    np.testing.assert_array_equal(np.array(a.execute(z[::2])), np.array(b.execute(z[::2].copy())))
    np.testing.assert_array_equal(np.array(a.execute(list(z[:5]))), np.array(b.execute(z[:5])))
    with pytest.raises(TypeError):
        a.execute(z.astype(np.complex128))
    # Without out the result is a view into one reused buffer.
    a = r.execute(x)
    b = r.execute(x)
    assert np.shares_memory(a, b)


def test_absurd_ratio_is_refused_not_allocated():
    r = resample.Resampler(rate=2.0**31)  # step 2: 2^31 outputs per input
    before = r.get_state()
    with pytest.raises(ValueError, match="would produce more than 268435456 outputs"):
        r.execute(np.ones(2, np.complex64))
    assert r.get_state() == before


def test_ctrl_without_bound_is_refused():
    r = resample.Resampler(rate=1.0)
    before = r.get_state()
    for c in (math.inf, 1e12):
        with pytest.raises(ValueError, match="would produce more than"):
            r.execute_ctrl(np.ones(4, np.complex64), np.full(4, c))
    assert r.get_state() == before
    # NaN steers to the slowest ratio, which is bounded.
    assert r.execute_ctrl(np.ones(4, np.complex64), np.full(4, math.nan)).size == 1


def _runner(rate, ctrl=False, bank=None):
    x = crandn(np.random.default_rng(7), 3000)
    c = np.linspace(-0.02, 0.02, x.size)

    def make():
        return resample.Resampler(rate=rate, bank=bank)

    def run(obj, a, b):
        if ctrl:
            return np.array(obj.execute_ctrl(x[a:b], c[a:b]))
        return np.array(obj.execute(x[a:b]))

    return make, run


@pytest.mark.parametrize("rate,ctrl", [(1.5, False), (147 / 160, False), (0.8, True), (2.0, True)])
def test_block_properties(rate, ctrl):
    make, run = _runner(rate, ctrl)
    cuts = [0, 1, 5, 700, 701, 3000]
    check_chunked_equals_whole(
        make, lambda o: run(o, 0, 3000), lambda o: [run(o, a, b) for a, b in zip(cuts[:-1], cuts[1:])]
    )
    check_state_roundtrip(make, lambda o: run(o, 0, 300))
    check_blob_refusals(make, lambda o: run(o, 300, 700))
    check_destroyed(
        make(),
        [
            lambda o: o.execute(np.ones(3, np.complex64)),
            lambda o: o.execute_ctrl(np.ones(3, np.complex64), np.zeros(3)),
            lambda o: o.execute_max_out(),
            lambda o: o.execute_ctrl_max_out(),
            lambda o: o.reset(),
            lambda o: o.get_state(),
            lambda o: o.set_state(b""),
            lambda o: o.state_bytes(),
            lambda o: o.rate,
            lambda o: o.num_phases,
            lambda o: o.num_taps,
            lambda o: o.ctrl_acc,
        ],
    )


@pytest.mark.parametrize("T,S", [(1, 1), (2, 2), (3, 4), (5, 8), (19, 32)])
def test_state_layout(rng, T, S):
    bank = small_bank(rng, 4, T)
    r = resample.Resampler(rate=0.7, bank=bank)
    r.execute(crandn(rng, 33))
    r.rate = 1.3
    r.execute_ctrl(crandn(rng, 20), np.zeros(20))
    blob = r.get_state()
    assert len(blob) == r.state_bytes() == 40 + 16 * S + 8 * T + (8 * (T - 1) if T >= 2 else 0)
    assert blob[:4] == b"RSMP" and blob[4:6] == b"\x02\x00" and blob[6] == 1
    pos = int.from_bytes(blob[20:28], "little")
    ring = np.frombuffer(blob[40 : 40 + 16 * S], np.complex64)
    np.testing.assert_array_equal(ring[:S], ring[S:])
    assert pos < S
    # A position past the ring, a negative backlog or halves that disagree are refused.
    bad = [blob[:20] + (S).to_bytes(8, "little") + blob[28:], blob[:36] + (-1).to_bytes(4, "little", signed=True) + blob[40:]]
    corrupt = bytearray(blob)
    corrupt[40] ^= 0x01
    bad.append(bytes(corrupt))
    for b in bad:
        with pytest.raises(ValueError, match="^set_state rejected the blob$"):
            r.set_state(b)
        assert r.get_state() == blob
    r.reset()
    fresh = resample.Resampler(rate=1.3, bank=bank)
    assert r.get_state() == fresh.get_state()


# Control counters (pending at offset 32, backlog at 36) a running object can
# reach, and ones it cannot: 2**30 of each made the next call spin for seconds.
CTRL_COUNTERS = [((1000001, 65536), True), ((0, 0), True), ((1000002, 0), False), ((0, 65537), False),
                 ((2**30, 2**30), False), ((2**32 - 1, 0), False), ((0, 2**31 - 1), False)]


@pytest.mark.parametrize("counters,accepted", CTRL_COUNTERS)
def test_restored_control_counters_are_bounded(rng, counters, accepted):
    r = resample.Resampler(rate=1e-7)  # every output waits for 10**6 inputs
    r.execute_ctrl(crandn(rng, 40), np.zeros(40))
    blob = r.get_state()
    pending, backlog = counters
    b = blob[:32] + pending.to_bytes(4, "little") + backlog.to_bytes(4, "little") + blob[40:]
    if not accepted:
        with pytest.raises(ValueError, match="^set_state rejected the blob$"):
            r.set_state(b)
        assert r.get_state() == blob
        return
    r.set_state(b)
    assert r.get_state() == b
    r.execute_ctrl(crandn(rng, 1), np.zeros(1))
    # With out never full, the backlog only drains: one input and all the owed ones.
    assert r.get_state()[36:40] == bytes(4)


def test_backlog_stops_growing_at_its_bound(rng):
    h = resamp_create_custom(8, 4, ptr(small_bank(rng, 8, 4)), 3.3)
    out = np.zeros(1, np.complex64)
    for _ in range(70000):  # no room at all: every input adds to the backlog
        resamp_execute_ctrl_push(h, ptr(out), 0, CF32(0.0, 0.0), 0.0)
    blob = np.zeros(resamp_state_bytes(h), np.uint8)
    resamp_get_state(h, ptr(blob))
    assert int.from_bytes(bytes(blob[36:40]), "little") == 65536
    resamp_destroy(h)


@pytest.mark.parametrize("rate,ctrl", [(1.0, False), (1.5, False), (0.7, False), (1.5, True)])
def test_input_sharing_memory_with_the_output(rng, rate, ctrl):
    # The interpolating loop writes output m before it reads input m: an input
    # that is the previous result (a view into the reused buffer) or the out=
    # array itself must still be read as it was passed.
    x = crandn(rng, 100)
    c = np.full(4 * x.size, 0.01)

    def call(r, v, **kw):
        return r.execute_ctrl(v, c, **kw) if ctrl else r.execute(v, **kw)

    a, b = resample.Resampler(rate=rate), resample.Resampler(rate=rate)
    fed_back = np.array(call(a, call(a, x)))
    expect = np.array(call(b, np.array(call(b, x))))
    np.testing.assert_array_equal(fed_back, expect)
    a, b = resample.Resampler(rate=rate), resample.Resampler(rate=rate)
    buf = np.zeros(70000, np.complex64)
    buf[: x.size] = x
    np.testing.assert_array_equal(np.array(call(a, buf[: x.size], out=buf)), np.array(call(b, x)))


# ---------------------------------------------------------------------------
# Kernel shapes: branches past the register kernels, the delay line moving
# back to its top, and samples outside a window never reaching an output


@pytest.mark.parametrize("T,rate", [(33, 1.7), (40, 0.6), (5, 2.5), (19, 0.9)])
def test_long_streams_match_reference(rng, T, rate):
    bank = small_bank(rng, 8, T)
    x = crandn(rng, 4500)
    ref = RefResampler(bank, rate)
    r = resample.Resampler(rate=rate, bank=bank)
    got = np.concatenate([np.array(r.execute(x[a:b])) for a, b in ((0, 2100), (2100, 2101), (2101, 4500))])
    close(got, np.concatenate([ref.execute(x[:2100]), ref.execute(x[2100:2101]), ref.execute(x[2101:])]))


@pytest.mark.parametrize("T,rate", [(5, 1.0), (19, 2.0), (6, 0.5), (1, 1.0)])
def test_a_non_finite_input_leaves_the_window(rng, T, rate):
    # An inf reaches exactly the outputs whose window (or output period) holds
    # it; the ones after are finite again.
    bank = np.abs(small_bank(rng, 4, T)) + 0.1
    x = np.ones(200, np.complex64)
    x[50] = np.inf
    r = resample.Resampler(rate=rate, bank=bank)
    y = np.concatenate([np.array(r.execute(x[:120])), np.array(r.execute(x[120:]))])
    ref = RefResampler(bank, rate)
    with np.errstate(invalid="ignore"):
        expect = ref.execute(x)
    assert y.size == expect.size
    np.testing.assert_array_equal(np.isfinite(y), np.isfinite(expect))
    assert np.isfinite(y[-50:]).all() and not np.isfinite(y).all()


# ---------------------------------------------------------------------------
# resample.FIR: the filter core as a stream type


def _fir_runner(taps, n=3000):
    x = crandn(np.random.default_rng(11), n)

    def run(obj, a, b):
        return obj.execute(x[a:b])

    return (lambda: resample.FIR(taps)), run, x


@pytest.mark.parametrize("ntaps", [1, 2, 64, 131])
@pytest.mark.parametrize("kind", ["real", "complex"])
def test_fir_type_is_lfilter_in_chunks(rng, ntaps, kind):
    signal = pytest.importorskip("scipy.signal")
    taps = rng.standard_normal(ntaps).astype(np.float32)
    if kind == "complex":
        taps = (taps + 1j * rng.standard_normal(ntaps)).astype(np.complex64)
    make, run, x = _fir_runner(taps)
    whole = run(make(), 0, x.size)
    assert whole.dtype == np.complex64 and whole.shape == x.shape
    ref = signal.lfilter(taps.astype(np.complex128), [1.0], x.astype(np.complex128))
    scale = np.sqrt(np.sum(np.abs(taps.astype(np.complex128)) ** 2))
    np.testing.assert_allclose(whole, ref, rtol=0, atol=2e-5 * scale * 8)
    cuts = sorted({0, 1, ntaps - 1, ntaps, 1000, 1001, 3000})
    check_chunked_equals_whole(make, lambda o: run(o, 0, x.size),
                               lambda o: [run(o, a, b) for a, b in zip(cuts[:-1], cuts[1:])])
    check_state_roundtrip(make, lambda o: run(o, 0, 500))
    check_blob_refusals(make, lambda o: run(o, 500, 700))
    f = make()
    assert f.num_taps == ntaps and f.state_bytes() == (16 if ntaps < 2 else 8 * ntaps + 8)
    check_destroyed(f, [lambda o: o.execute(x[:3]), lambda o: o.reset(), lambda o: o.get_state(),
                        lambda o: o.set_state(b""), lambda o: o.state_bytes(), lambda o: o.num_taps,
                        lambda o: o.execute_max_out()])


def test_fir_type_out_and_arguments(rng):
    taps = rng.standard_normal(9).astype(np.float32)
    x = crandn(rng, 100)
    expect = resample.FIR(taps).execute(x)
    f = resample.FIR(taps)
    buf = np.zeros((5, 25), np.complex64)
    y = f.execute(x[:40], out=buf)
    assert y.shape == (40,) and y.base is buf and np.shares_memory(y, buf)
    with pytest.raises(ValueError, match=r"^out has 59 elements, need >= 60$"):
        f.execute(x[40:], out=np.zeros(59, np.complex64))
    with pytest.raises(TypeError, match="^out must be a writable, C-contiguous ndarray of the output dtype$"):
        f.execute(x[40:], out=np.zeros(60, np.complex128))
    # In place: out is the input's own array.
    rest = x[40:].copy()
    f.execute(rest, out=rest)
    np.testing.assert_array_equal(np.concatenate([y, rest]), expect)
    assert f.execute(np.zeros(0, np.complex64)).shape == (0,) and f.execute_max_out() == 0
    # Any array-like taps; complex kind makes a complex filter.
    np.testing.assert_array_equal(resample.FIR(list(taps)).execute(x), expect)
    assert resample.FIR([1, 1j]).execute([1, 0, 0]).tolist() == [1, 1j, 0]
    for bad, exc in (([], MemoryError), (np.ones(3), TypeError), ([[1, 2]], None)):
        if exc is None:  # any shape: the taps are its elements
            assert resample.FIR(bad).num_taps == 2
            continue
        with pytest.raises(exc):
            resample.FIR(bad)
