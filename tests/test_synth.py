"""Synthesis engine: waveform types, shaping paths, carriers, noise calibration,
step == steps, exact state save/restore and validation of everything restored."""

import struct

import numpy as np
import pytest

import blockprops as bp
import wfm_ctypes as C
from kolvane import wfm

S = wfm._SynthEngine
R2 = np.float32(0.70710677)


def pn_chips(n, length=7, seed=1, lfsr="galois"):
    return wfm.PN(seed=seed, length=length, lfsr=lfsr).generate(n)


def held(symbols, nsps):
    return np.repeat(np.asarray(symbols, np.complex64), nsps)


def shaped(symbols, taps, nsps, n):
    """Zero-stuffed upsampling by nsps through taps * sqrt(nsps), first n outputs."""
    u = np.zeros(len(symbols) * nsps, np.complex128)
    u[::nsps] = symbols
    h = taps.astype(np.float32) * np.float32(np.sqrt(np.float32(nsps)))
    return np.convolve(u, h.astype(np.float64))[:n]


# Configurations covering every component and shaping path; each is (factory, label).
def _bits(mod, pattern):
    def make():
        e = S(type="bits", sps=3, snr=30.0, seed=9)
        e.set_bits(pattern, mod)
        return e

    return make


def _symbols():
    e = S(type="symbols", sps=4, freq=12345.0, seed=3)
    e.set_symbols(np.exp(1j * np.arange(7)).astype(np.complex64))
    e.set_rrc(wfm.rrc_taps(0.3, 4, 3))
    return e


def _dsss(data):
    def make():
        e = S(type="dsss", sps=2, snr=20.0, pn_length=9, seed=77)
        if data == "bits":
            e.set_dsss_cont([1, 0, 0, 1, 1, 1, 0], 2.5, payload=[1, 1, 0])
        else:
            e.set_dsss_cont([1, 0, 0, 1, 1, 1, 0, 1], 3.0, data=data)
        return e

    return make


def _rrc(type_, sps, **kw):
    def make():
        e = S(type=type_, sps=sps, **kw)
        e.set_rrc(wfm.rrc_taps(0.35, sps, 4))
        return e

    return make


CONFIGS = {
    "tone": lambda: S(type="tone", freq=2500.0, snr=15.0, seed=1),
    "noise": lambda: S(type="noise", seed=5),
    "pn-hold": lambda: S(type="pn", sps=5, freq=-300.0, lfsr="fibonacci", seed=21),
    "bpsk-poly": _rrc("bpsk", 8, snr=12.0, freq=1000.0, seed=4),
    "qpsk-fir": _rrc("qpsk", 6, snr=8.0, seed=8),
    "qpsk-sps1": _rrc("qpsk", 1, snr=8.0),
    "bits-8psk": _bits(3, [1, 0, 1, 1, 0, 0, 0, 1, 1]),
    "bits-onoff": _bits(0, [1, 0, 0, 7]),
    "symbols-poly": _symbols,
    "dsss-bits": _dsss("bits"),
    "dsss-prbs": _dsss("prbs"),
    "chirp": lambda: S(type="chirp", fs=1.0, freq=0.01, f_end=0.2, snr=25.0, seed=2),
}


@pytest.fixture(params=sorted(CONFIGS))
def make(request):
    return CONFIGS[request.param]


def test_chunked_equals_whole(make):
    # The first block is the same on both sides: it fixes a chirp's sweep length.
    sizes = [1, 2, 63, 64, 65, 2047, 2049, 700]
    bp.check_chunked_equals_whole(
        make,
        lambda e: np.concatenate([e.steps(500), e.steps(sum(sizes))]),
        lambda e: [e.steps(500)] + [e.steps(k) for k in sizes],
    )


def test_single_steps_equal_a_block(make):
    a, b = make(), make()
    # A chirp's first block fixes its sweep, so both run one block first.
    a.steps(300)
    b.steps(300)
    singles = np.array([a.step() for _ in range(150)], np.complex64)
    bp.assert_same(singles, b.steps(150))


def test_state_roundtrip_and_reset(make):
    bp.check_state_roundtrip(make, lambda e: e.steps(333))


def test_blob_refusals(make):
    bp.check_blob_refusals(make, lambda e: e.steps(100), foreign_blob=None)


def test_destroyed():
    bp.check_destroyed(
        S(),
        [lambda e: e.step(), lambda e: e.steps(3), lambda e: e.reset(), lambda e: e.get_state(),
         lambda e: e.set_rrc([1.0]), lambda e: e.get_nsps(), lambda e: e.set_nsps(2), lambda e: e.state_bytes(),
         # The handle is checked before the arguments are looked at.
         lambda e: e.steps(-1), lambda e: e.set_bits([1.5]), lambda e: e.set_bits([1], 2**40),
         lambda e: e.set_dsss_cont([1], 2.0, data="random"), lambda e: e.set_symbols([1e300j]),
         lambda e: e.set_rrc(["x"]), lambda e: e.set_wtype(-1), lambda e: e.set_cur_re("x")],
    )


class _Destroys:
    """An argument whose conversion destroys the engine it is being passed to."""

    def __init__(self, engine, value):
        self.engine, self.value = engine, value

    def _kill(self):
        self.engine.destroy()
        return self.value

    def __index__(self):
        return self._kill()

    def __float__(self):
        return self._kill()

    def __array__(self, dtype=None, copy=None):
        return np.asarray(self._kill(), dtype=dtype)


@pytest.mark.parametrize(
    "type_,call",
    [
        ("bpsk", lambda e, d: e.steps(d(3))),
        ("bpsk", lambda e, d: e.set_rrc(d(np.ones(5, np.float32)))),
        ("symbols", lambda e, d: e.set_symbols(d(np.ones(3, np.complex64)))),
        ("bits", lambda e, d: e.set_bits(d(np.ones(3, np.uint8)))),
        ("bits", lambda e, d: e.set_bits([1, 0], d(1))),
        ("dsss", lambda e, d: e.set_dsss_cont(d(np.ones(3, np.uint8)), 2.0, data="none")),
        ("dsss", lambda e, d: e.set_dsss_cont([1, 0], 2.0, payload=d(np.ones(3, np.uint8)))),
        ("bpsk", lambda e, d: e.set_wtype(d(2))),
        ("bpsk", lambda e, d: e.set_nsps(d(2))),
        ("bpsk", lambda e, d: e.set_sym_pos(d(1))),
        ("bpsk", lambda e, d: e.set_cur_re(d(0.5))),
    ],
)
def test_engine_destroyed_while_converting_an_argument(type_, call):
    e = S(type=type_, sps=4)
    with pytest.raises(RuntimeError, match="^destroyed$"):
        call(e, lambda v: _Destroys(e, v))


def test_tone_is_exactly_one():
    x = S(type="tone", fs=1.0, freq=0.0, snr=100.0).steps(4)
    assert x.dtype == np.complex64
    bp.assert_same(x, np.ones(4, np.complex64))
    e = S(type="tone", fs=8.0, freq=2.0)
    np.testing.assert_allclose(e.steps(8), [1, 1j, -1, -1j] * 2, atol=1e-6)


def test_noise_type_is_the_noise_source():
    x = S(type="noise", seed=(1 << 32) + 17, snr=3.0).steps(5000)
    with C.Handle(C.awgn_create(17, np.float32(0.70710677)), C.awgn_destroy) as h:
        bp.assert_same(x, C.awgn_generate(h, 5000)[0])


def table_carrier(norm_freq, n):
    """The oscillator's samples read straight from its exported table."""
    lut = np.ctypeslib.as_array((C.ctypes.c_float * 65536).in_dll(C.lib, "lo_sin_lut"))
    with C.Handle(C.lo_create(norm_freq), C.lo_destroy) as h:
        inc = C.lo_get_phase_inc(h)
    idx = ((np.arange(n, dtype=np.uint64) * np.uint64(inc)) % (1 << 32)) >> np.uint64(16)
    return lut[(idx + 16384) & 0xFFFF], lut[idx]


@pytest.mark.parametrize(
    "type_,freq,snr,cur",
    [("tone", 1234.5, 100.0, None), ("tone", -3e5, 20.0, None), ("tone", 777.0, 15.0, (0.3, -0.7)),
     ("tone", 0.0, 10.0, (0.3, -0.7)), ("tone", 0.0, 100.0, (-0.0, 0.0)), ("tone", 5e4, 100.0, (-0.0, 0.0)),
     ("noise", 0.0, 100.0, None), ("noise", 0.0, 100.0, (0.5, 2.0))],
)
def test_held_symbol_output_is_the_sum_of_its_parts(type_, freq, snr, cur):
    # Held symbols take a path of their own; its bits are those of the general
    # sum ((sr*cr - si*ci) + wr, (sr*ci + si*cr) + wi) in single precision.
    n = 5003
    e = S(type=type_, fs=1e6, freq=freq, snr=snr, seed=21)
    sr, si = (1.0, 0.0) if type_ == "tone" else (0.0, 0.0)
    if cur is not None:
        e.set_cur_re(cur[0])
        e.set_cur_im(cur[1])
        sr, si = cur
    got = np.concatenate([e.steps(1), e.steps(2047), e.steps(n - 2048)])
    kind = {"tone": 0, "noise": 1}[type_]
    with C.synth(kind, seed=21, fs=1e6, freq=freq, snr=snr) as h:
        w = C.synth_steps(h, n, noise_only=True)
    if type_ == "tone" and freq != 0.0:
        cr, ci = table_carrier(freq / 1e6, n)
    else:
        cr, ci = np.ones(n, np.float32), np.zeros(n, np.float32)
    sr, si = np.float32(sr), np.float32(si)
    expect = np.empty(n, np.complex64)
    expect.real = (sr * cr - si * ci) + w.real
    expect.imag = (sr * ci + si * cr) + w.imag
    assert got.tobytes() == expect.tobytes()


def test_steps_into_out():
    def make():
        return S(type="qpsk", sps=4, snr=10.0, freq=100.0, seed=2)

    e, expect = make(), make().steps(40)
    buf = np.full((4, 8), 7, np.complex64)  # any shape, C-contiguous
    r = e.steps(10, out=buf)
    assert r.shape == (10,) and r.base is buf and buf.shape == (4, 8)
    bp.assert_same(r, expect[:10])
    assert (buf.ravel()[10:] == 7).all()
    ro = np.zeros(10, np.complex64)
    ro.flags.writeable = False
    for bad in (np.zeros(10, np.complex128), np.zeros(20, np.complex64)[::2], ro, bytearray(80)):
        with pytest.raises(TypeError, match="^out must be a writable, C-contiguous ndarray of the output dtype$"):
            e.steps(10, out=bad)
    with pytest.raises(ValueError, match=r"^out has 9 elements, need >= 10$"):
        e.steps(10, out=np.zeros(9, np.complex64))
    with pytest.raises(TypeError):
        e.steps(n=3)
    # Refused calls produced nothing: the stream goes on where it was.
    bp.assert_same(e.steps(30, np.empty(30, np.complex64)), expect[10:])


@pytest.mark.parametrize("lfsr", ["galois", "fibonacci"])
def test_bpsk_holds_pn_chips(lfsr):
    e = S(type="bpsk", sps=8, lfsr=lfsr, seed=0)
    positions = []
    for _ in range(10):
        e.step()
        positions.append(e.get_sym_pos())
    assert positions == [1, 2, 3, 4, 5, 6, 7, 0, 1, 2]
    e.reset()
    chips = pn_chips(40, lfsr=lfsr)
    bp.assert_same(e.steps(320), held(1.0 - 2.0 * chips, 8))
    assert e.get_cur_re() == 1.0 - 2.0 * chips[-1]


def test_qpsk_uses_chip_pairs_and_pn_poly():
    e = S(type="qpsk", sps=2, pn_length=5, pn_poly=0x1E, seed=3)
    c = wfm.PN(poly=0x1E, seed=3, length=5).generate(200).astype(np.float32)
    want = ((1 - 2 * c[0::2]) + 1j * (1 - 2 * c[1::2])) * R2
    bp.assert_same(e.steps(200), held(want, 2))


@pytest.mark.parametrize("sps", [0, -5, 1])
def test_non_positive_sps_is_one(sps):
    e = S(type="pn", sps=sps)
    assert e.get_nsps() == 1
    bp.assert_same(e.steps(50), (1.0 - 2.0 * pn_chips(50)).astype(np.complex64))


@pytest.mark.parametrize("sps,path_bytes", [(8, None), (6, 8 * 49 + 8), (4, None), (3, 8 * 25 + 8)])
def test_shaping_paths_match_zero_stuffed_filter(sps, path_bytes):
    taps = wfm.rrc_taps(0.35, sps, 4)
    e = S(type="bpsk", sps=sps)
    base = e.state_bytes()
    e.set_rrc(taps)
    if path_bytes is not None:  # FIR path: its blob is 8 * taps + 8
        assert e.state_bytes() == base + path_bytes
    else:  # polyphase path: the resampler's blob
        assert e.state_bytes() > base + 40
    n = 4000
    symbols = 1.0 - 2.0 * pn_chips(n // sps + 2)
    np.testing.assert_allclose(e.steps(n), shaped(symbols, taps, sps, n), atol=2e-6)


@pytest.mark.parametrize("type_", ["qpsk", "bpsk"])
@pytest.mark.parametrize("sps", [8, 6])
def test_unit_energy_taps_give_unit_power(type_, sps):
    e = S(type=type_, sps=sps, seed=1)
    e.set_rrc(wfm.rrc_taps(0.35, sps, 8))
    x = e.steps(200_000).astype(np.complex128)
    assert np.mean(np.abs(x) ** 2) == pytest.approx(1.0, abs=0.02)


def test_set_rrc_ignored_by_unshaped_types_and_refused_empty():
    e = S(type="tone", freq=10.0)
    before = e.state_bytes()
    e.set_rrc([1.0, 2.0])
    assert e.state_bytes() == before
    with pytest.raises(ValueError, match=r"^set_rrc: empty taps or alloc failed \(rc=-1\)$"):
        S(type="bpsk").set_rrc(np.zeros(0, np.float32))


def test_new_rrc_replaces_path_and_reprimes():
    e = S(type="bpsk", sps=4)
    taps = wfm.rrc_taps(0.5, 4, 2)
    e.set_rrc(taps)
    e.steps(100)
    e.set_nsps(3)
    e.set_rrc(wfm.rrc_taps(0.5, 3, 2))  # now the FIR path
    f = S(type="bpsk", sps=3)
    f.set_rrc(wfm.rrc_taps(0.5, 3, 2))
    assert e.state_bytes() == f.state_bytes()


def test_chirp_sweeps_over_first_block_then_holds():
    e = S(type="chirp", fs=1.0, freq=0.0, f_end=0.25)
    x = e.steps(1000).astype(np.complex128)
    y = e.steps(200).astype(np.complex128)
    fx = np.angle(x[1:] * np.conj(x[:-1])) / (2 * np.pi)
    fy = np.angle(y[1:] * np.conj(y[:-1])) / (2 * np.pi)
    np.testing.assert_allclose(fx, np.arange(999) * 0.25 / 1000, atol=1e-5)
    np.testing.assert_allclose(fy, 0.25, atol=1e-5)


def test_chirp_single_steps_before_a_block_keep_start_frequency():
    e = S(type="chirp", fs=100.0, freq=5.0, f_end=40.0)
    x = np.array([e.step() for _ in range(300)])
    f = np.angle(x[1:] * np.conj(x[:-1])) / (2 * np.pi)
    np.testing.assert_allclose(f, 0.05, atol=1e-5)


@pytest.mark.parametrize(
    "type_,mode,snr,sps,g",
    [
        ("bpsk", "fs", 10.0, 8, 10.0),
        ("bpsk", "auto", 10.0, 8, 10.0 - 10 * np.log10(8)),
        ("tone", "auto", 6.0, 8, 6.0),
        ("qpsk", "ebno", 10.0, 8, 10.0 + 3.0103 - 9.0309),
        ("pn", "ebno", 10.0, 4, 10.0 - 10 * np.log10(4)),
        ("tone", "esno", 3.0, 2, 3.0 - 10 * np.log10(2)),
    ],
)
def test_snr_calibration(type_, mode, snr, sps, g):
    n = 400_000
    noisy = S(type=type_, snr_mode=mode, snr=snr, sps=sps, freq=1000.0, seed=6).steps(n)
    clean = S(type=type_, snr_mode=mode, snr=100.0, sps=sps, freq=1000.0, seed=6).steps(n)
    noise = (noisy - clean).astype(np.complex128)
    measured = 10 * np.log10(np.mean(np.abs(clean.astype(np.complex128)) ** 2) / np.mean(np.abs(noise) ** 2))
    assert measured == pytest.approx(g, abs=0.2)


def test_state_sizes():
    assert S().state_bytes() == 83
    assert S(type="bpsk", freq=0.0, snr=10.0).state_bytes() == 83 + 304 + 24
    assert S(type="bpsk", freq=1e3, snr=10.0).state_bytes() == 83 + 304 + 24 + 20
    assert S(type="noise", snr=200.0).state_bytes() == 83 + 304
    assert S(type="chirp", freq=100.0).state_bytes() == 83


def test_bits_modulations():
    pattern = np.array([0, 1, 1, 1, 0, 0, 1, 0, 1, 1, 0, 1], np.uint8)

    def run(mod, n):
        e = S(type="bits", sps=1)
        e.set_bits(pattern * 5, mod)  # any non-zero byte counts as 1
        return e.steps(n)

    bp.assert_same(run(0, 12), pattern.astype(np.complex64))
    np.testing.assert_allclose(run(1, 12), 1 - 2.0 * pattern, atol=1e-7)
    # Two bits per symbol, first read as the MSB: the qpsk_map symbol of index 2*first + second.
    np.testing.assert_allclose(run(2, 6), wfm.qpsk_map(2 * pattern[0::2] + pattern[1::2]), atol=1e-7)
    raw = 4 * pattern[0::3] + 2 * pattern[1::3] + pattern[2::3]
    gray = raw ^ (raw >> 1) ^ (raw >> 2)
    np.testing.assert_allclose(run(3, 4), np.exp(2j * np.pi * gray / 8), atol=1e-7)
    # The pattern wraps: 12 bits, 3 per symbol, so symbol 4 repeats symbol 0.
    x = run(3, 8)
    bp.assert_same(x[4:], x[:4])


def test_symbols_cycle_and_hold():
    syms = np.array([1 + 2j, -3j, 0.5], np.complex64)
    e = S(type="symbols", sps=3)
    e.set_symbols(syms)
    bp.assert_same(e.steps(18), held(np.tile(syms, 2), 3))


def test_empty_sources_hold_cur():
    e = S(type="symbols", sps=2)
    e.set_cur_re(0.25)
    e.set_cur_im(-2.0)
    assert e.get_cur_re() == 0.25 and e.get_cur_im() == -2.0
    bp.assert_same(e.steps(5), np.full(5, 0.25 - 2j, np.complex64))


@pytest.mark.parametrize("cps,starts", [(2.5, [0, 3, 5, 8, 10]), (1.0, [0, 1, 2, 3]), (3.0, [0, 3, 6])])
def test_dsss_cont_bits(cps, starts):
    code = np.array([1, 0, 0, 1, 1, 1, 0], np.uint8)
    payload = np.array([1, 0, 1, 1, 0], np.uint8)
    e = S(type="dsss", sps=1)
    e.set_dsss_cont(code + 2, cps, data="none", payload=payload)  # payload forces bits; bit 0 only
    n = 200
    i = np.arange(n)
    sym = np.floor(i / cps).astype(int)
    chips = code[i % len(code)] ^ payload[sym % len(payload)]
    np.testing.assert_array_equal(e.steps(n).real, 1 - 2.0 * chips)
    assert list(np.flatnonzero(np.diff(np.r_[-1, sym]))[: len(starts)]) == starts


def test_dsss_cont_none_and_prbs():
    code = np.array([0, 1, 1, 0, 1], np.uint8)
    e = S(type="dsss", sps=2)
    e.set_dsss_cont(code, 2.0, data="none")
    np.testing.assert_array_equal(e.steps(20).real, np.repeat(1 - 2.0 * np.tile(code, 2), 2))
    e = S(type="dsss", sps=1, pn_length=6, seed=11)
    e.set_dsss_cont(code, 5.0)
    data = wfm.PN(length=6, seed=11).generate(8)
    chips = np.tile(code, 8) ^ np.repeat(data, 5)
    np.testing.assert_array_equal(e.steps(40).real, 1 - 2.0 * chips)


DSSS_MSG = r"^set_dsss_cont: invalid geometry \(need a code, chips_per_symbol >= 1, a payload for data='bits', a valid pn_length for data='prbs'\), or not a dsss synth \(rc=-1\)$"


@pytest.mark.parametrize(
    "kw,pn_length",
    [
        (dict(code=[], chips_per_symbol=2.0, data="none"), 7),
        (dict(code=[1], chips_per_symbol=0.5, data="none"), 7),
        (dict(code=[1], chips_per_symbol=float("nan"), data="none"), 7),
        (dict(code=[1], chips_per_symbol=float("inf"), data="none"), 7),
        (dict(code=[1], chips_per_symbol=2.0, data="bits"), 7),
        (dict(code=[1], chips_per_symbol=2.0, data="prbs"), 0),
    ],
)
def test_dsss_cont_refusals(kw, pn_length):
    e = S(type="dsss", pn_length=pn_length)
    with pytest.raises(ValueError, match=DSSS_MSG):
        e.set_dsss_cont(**kw)
    with pytest.raises(ValueError, match=DSSS_MSG):
        S(type="bpsk").set_dsss_cont([1], 2.0)
    with pytest.raises(ValueError, match=r"^set_dsss_cont: data must be 'none', 'prbs', or 'bits'$"):
        e.set_dsss_cont([1], 2.0, data="random")


def test_pattern_setter_refusals():
    bits_msg = r"^set_bits: empty pattern, modulation not in 0\.\.2, or not a bits synth \(rc=-1\)$"
    sym_msg = r"^set_symbols: empty stream or not a symbols synth \(rc=-1\)$"
    e = S(type="bits")
    for args in (([],), ([1, 0], -1), ([1, 0], 4)):
        with pytest.raises(ValueError, match=bits_msg):
            e.set_bits(*args)
    with pytest.raises(ValueError, match=bits_msg):
        S(type="tone").set_bits([1, 0])
    with pytest.raises(ValueError, match=sym_msg):
        S(type="symbols").set_symbols([])
    with pytest.raises(ValueError, match=sym_msg):
        S(type="bits").set_symbols([1j])
    with pytest.raises(TypeError):
        e.set_bits(pattern=[1])  # positional only


def test_accessor_refusals_leave_a_runnable_engine():
    e = S(type="bpsk", sps=4)
    e.steps(3)
    with pytest.raises(ValueError, match=r"^set_nsps: samples per symbol must be >= 1 \(rc=-1\)$"):
        e.set_nsps(0)
    for bad in (-1, 4, 2**40):
        with pytest.raises(ValueError, match=r"^set_sym_pos: position must be in 0\.\.nsps-1 \(rc=-1\)$"):
            e.set_sym_pos(bad)
    for bad in (9, -1, 2**33):
        with pytest.raises(ValueError, match=r"^set_wtype: "):
            e.set_wtype(bad)
    assert (e.get_nsps(), e.get_sym_pos(), e.get_wtype()) == (4, 3, 3)
    e.set_nsps(2)  # the hold at position 3 no longer fits: next sample starts a symbol
    assert e.get_sym_pos() == 0
    e.set_sym_pos(1)
    assert e.get_sym_pos() == 1


def test_switching_to_a_pn_type_builds_the_register():
    e = S(type="tone", sps=2, pn_length=5, seed=9)
    assert e.state_bytes() == 83
    e.set_wtype(3)
    assert e.state_bytes() == 83 + 24
    e.reset()
    bp.assert_same(e.steps(20), held(1.0 - 2.0 * wfm.PN(length=5, seed=9).generate(10), 2))
    with pytest.raises(ValueError, match=r"^set_wtype: "):
        S(type="tone", pn_length=99).set_wtype(2)


def test_switching_to_noise_builds_a_unit_power_source():
    e = S(type="tone", seed=12)
    e.set_wtype(1)
    assert e.state_bytes() == 83 + 304
    e.reset()  # the held symbol of a noise engine starts at 0
    bp.assert_same(e.steps(1000), S(type="noise", seed=12).steps(1000))
    kept = S(type="tone", snr=20.0, seed=12)  # an existing source keeps its calibration
    kept.set_wtype(1)
    kept.reset()
    assert kept.state_bytes() == 83 + 304
    assert np.mean(np.abs(kept.steps(20000)) ** 2) == pytest.approx(0.01, rel=0.05)


@pytest.mark.parametrize(
    "kw,msg",
    [
        (dict(type="am"), "type must be one of \"tone\", \"noise\", \"pn\", \"bpsk\", \"qpsk\", \"chirp\", \"bits\", \"symbols\", \"dsss\", got 'am'"),
        (dict(snr_mode="db"), "snr_mode must be one of \"auto\", \"fs\", \"ebno\", \"esno\", got 'db'"),
        (dict(lfsr="x"), "lfsr must be \"galois\" or \"fibonacci\", got 'x'"),
    ],
)
def test_constructor_option_errors(kw, msg):
    with pytest.raises(ValueError) as ei:
        S(**kw)
    assert str(ei.value) == msg


@pytest.mark.parametrize(
    "kw",
    [
        dict(type="bpsk", pn_length=1),
        dict(type="qpsk", pn_length=65),
        dict(fs=float("nan")),
        dict(freq=float("inf")),
        dict(type="chirp", f_end=float("nan")),
        dict(snr=float("nan")),
        dict(snr=-float("inf")),
        dict(type="bpsk", snr=-1e6),
        # sigma fits a double but not a float: the noise would be all inf and NaN
        dict(type="tone", snr_mode="fs", snr=-400.0),
        dict(type="tone", snr_mode="fs", snr=-760.0),
        dict(type="tone", snr_mode="fs", snr=-1e300),
        dict(fs=1e-310, freq=1e10),
    ],
)
def test_constructor_refusals(kw):
    with pytest.raises(MemoryError, match="^wfm_synth_create returned NULL$"):
        S(**kw)


def test_dsss_without_polynomial_is_not_an_error():
    e = S(type="dsss", pn_length=0)
    assert e.state_bytes() == 83


def patched(blob, off, fmt, value):
    b = bytearray(blob)
    struct.pack_into(fmt, b, off, value)
    return bytes(b)


def test_set_state_validates_positions_against_the_live_engine():
    def make():
        e = S(type="bits", sps=4, snr=20.0, seed=2)
        e.set_bits([1, 0, 1, 1, 0], 1)
        return e

    e = make()
    e.steps(7)
    good = e.get_state()
    bad = [
        patched(good, 16, "<i", 4),  # sym_pos == nsps
        patched(good, 16, "<i", -1),
        patched(good, 28, "<Q", 5),  # pattern_pos past the pattern
        patched(good, 36, "<Q", 1),  # no symbol list
        patched(good, 44, "<d", float("nan")),
        patched(good, 44, "<d", 1.0),
        patched(good, 76, "<B", 2),  # cur_bit
        patched(good, 77, "<B", 7),  # primed
        patched(good, 78, "<B", 1),  # a FIR it does not have
        patched(good, 81, "<B", 0),  # its noise source missing
        patched(good, 83, "<B", ord("Z")),  # noise sub-blob tag
    ]
    for blob in bad:
        with pytest.raises(ValueError, match="^set_state rejected the blob$"):
            e.set_state(blob)
        assert e.get_state() == good
    ref = make()
    ref.set_state(good)
    bp.assert_same(e.steps(50), ref.steps(50))


def test_set_state_validates_symbol_position_and_subcomponents():
    e = S(type="symbols", sps=8, freq=10.0)
    e.set_symbols([1, 1j, -1])
    e.set_rrc(wfm.rrc_taps(0.35, 8, 2))
    e.steps(40)
    good = e.get_state()
    lo_at = len(good) - 20
    assert good[lo_at : lo_at + 4] == b"LO__"
    for blob in (patched(good, 36, "<Q", 3), patched(good, lo_at + 4, "<H", 9), patched(good, 83, "<B", 0)):
        with pytest.raises(ValueError, match="^set_state rejected the blob$"):
            e.set_state(blob)
        assert e.get_state() == good


def test_bad_pn_part_changes_nothing():
    # The PN register is restored last in the blob but checked before anything is applied.
    e = S(type="qpsk", sps=3, snr=5.0, freq=7.0)
    e.steps(10)
    good = e.get_state()
    pn_at = len(good) - 24
    assert good[pn_at : pn_at + 4] == b"PN__"
    for blob in (patched(good, pn_at, "<B", ord("Q")), patched(good, pn_at + 6, "<B", 0)):
        with pytest.raises(ValueError, match="^set_state rejected the blob$"):
            e.set_state(blob)
        assert e.get_state() == good


def test_blob_from_a_differently_built_engine_is_refused():
    a = S(type="bpsk", sps=8)
    a.set_rrc(wfm.rrc_taps(0.35, 8, 4))
    b = S(type="bpsk", sps=8)
    b.set_rrc(wfm.rrc_taps(0.35, 8, 5))
    with pytest.raises(ValueError):
        b.set_state(a.get_state())


# Core functions without a Python method ------------------------------------------------


def test_core_noise_steps_and_reseed():
    with C.synth(3, seed=31, snr=0.0, sps=1, snr_mode=1) as h, C.Handle(
        C.awgn_create(31, np.float32(wfm.wfm_awgn_amplitude(0.0, 1.0))), C.awgn_destroy
    ) as ref:
        bp.assert_same(C.synth_steps(h, 5000, noise_only=True), C.awgn_generate(ref, 5000)[0])
        C.synth_reseed_noise(h, 8)
        C.awgn_reseed(ref, 8)
        bp.assert_same(C.synth_steps(h, 100, noise_only=True), C.awgn_generate(ref, 100)[0])
    with C.synth(0) as h:
        bp.assert_same(C.synth_steps(h, 3000, noise_only=True), np.zeros(3000, np.complex64))
        C.synth_reseed_noise(h, 1)  # no noise source: nothing to do


def test_core_dsss_burst_repeats_back_to_back():
    chips = np.array([0, 1, 1, 0, 3], np.uint8)  # bit 0 only: 3 plays as 1
    with C.synth(8, sps=2) as h:
        assert C.synth_set_dsss_chips(h, C.ptr(chips), 5) == 0
        x = C.synth_steps(h, 30)
        np.testing.assert_allclose(x, np.repeat(np.tile(1 - 2.0 * (chips & 1), 3), 2), atol=1e-7)
        assert C.synth_set_dsss_chips(h, C.ptr(chips), 0) == -1
    with C.synth(0) as h:  # another type: nothing changes
        assert C.synth_set_dsss_chips(h, C.ptr(chips), 5) == 0
        bp.assert_same(C.synth_steps(h, 4), np.ones(4, np.complex64))


def test_core_chirp_span_is_set_once():
    with C.synth(5, f_end=0.5) as h, C.synth(5, f_end=0.5) as ref:
        C.synth_set_chirp_span(h, 0)  # ignored
        C.synth_set_chirp_span(h, 100)
        C.synth_set_chirp_span(h, 7)  # ignored: already set
        # Blocks of 40 and 60 now sweep like the reference's single first block of 100.
        a = np.concatenate([C.synth_steps(h, 40), C.synth_steps(h, 60)])
        bp.assert_same(a, C.synth_steps(ref, 100))


def test_core_refusals():
    with C.synth(3, sps=4) as h:
        assert C.synth_set_rrc(h, None, 5) == -1
    one = np.ones(1, np.complex64)
    with C.synth(7) as h:
        # A count no buffer can have is refused before anything is read.
        assert C.synth_set_symbols(h, C.ptr(one), 1 << 62) == -1
        assert C.synth_set_symbols(h, C.ptr(one), 1) == 0
        bp.assert_same(C.synth_steps(h, 3), np.ones(3, np.complex64))
