"""PSD estimator: tone placement and scaling, padding, the measures, the four
modes, agreement with scipy.signal.welch, state blobs and the Python surface."""

import math
import struct

import numpy as np
import pytest
import scipy.signal

from blockprops import check_blob_refusals, check_chunked_equals_whole, check_destroyed, check_state_roundtrip
from kolvane import spectral


def tone(n, k, nfft, amp=1.0, dtype=np.complex64):
    return (amp * np.exp(2j * np.pi * k * np.arange(n) / nfft)).astype(dtype)


def noise(rng, n, sigma=1.0):
    return (sigma * (rng.standard_normal(n) + 1j * rng.standard_normal(n)) / np.sqrt(2)).astype(np.complex64)


def hann(n):
    w = np.zeros(n, np.float32)
    spectral.hann_window(w)
    return w


def test_tone_position_and_count():
    p = spectral.PSD(n=64, fs=1.0, window="hann", mode="mean")
    p.accumulate(tone(256, 8, 64))
    assert p.count == 4
    db = p.psd_db()
    assert db.dtype == np.float32 and db.shape == (64,)
    assert int(np.argmax(db)) == 40
    assert db[40] == pytest.approx(0.0, abs=1e-5)


@pytest.mark.parametrize("amp,fs_amp", [(1.0, 1.0), (0.25, 1.0), (1000.0, 32768.0)])
def test_tone_level(amp, fs_amp):
    p = spectral.PSD(n=128, fs=1000.0, full_scale=fs_amp)
    p.accumulate(tone(128 * 3, -20, 128, amp))
    k = 64 - 20
    assert p.power_twosided()[k] == pytest.approx(amp**2, rel=1e-5)
    assert p.psd_db()[k] == pytest.approx(20 * math.log10(amp / fs_amp), abs=1e-4)
    assert p.band_power([-1000 * 21 / 128, -1000 * 19 / 128])[0] == pytest.approx(20 * math.log10(amp / fs_amp),
                                                                                   abs=0.01)


@pytest.mark.parametrize("n,pad,nfft", [(1000, 1, 1024), (1000, 0, 1024), (100, 4, 512), (64, 1, 64), (2, 1, 2),
                                        (65, 3, 256)])
def test_nfft(n, pad, nfft):
    p = spectral.PSD(n=n, pad=pad, window="kaiser")
    assert (p.n, p.nfft) == (n, nfft)
    assert p.state_bytes() == 16 + 24 + 8 * nfft
    assert p.psd_db_max_out() == nfft and p.power_onesided_max_out() == nfft // 2 + 1
    assert p.power_twosided_max_out() == nfft and p.psd_dbhz_max_out() == nfft and p.band_power_max_out() == 0


def test_bits_set_full_scale():
    assert spectral.PSD(n=16, bits=16, full_scale=5.0).full_scale == 32768.0
    assert spectral.PSD(n=16, bits=16).bits == 16
    p = spectral.PSD(n=16, bits=0, full_scale=5.0)
    assert (p.full_scale, p.bits) == (5.0, 0)


def test_partial_frames_dropped():
    p = spectral.PSD(n=64)
    p.accumulate(np.ones(160, np.complex64))
    assert p.count == 2
    p.accumulate(np.ones(63, np.complex64))
    assert p.count == 2
    p.accumulate_real(np.ones(64 * 3, np.float32))
    assert p.count == 5


def test_zero_padding_interpolates(rng):
    # A padded frame is the windowed frame followed by zeros.
    x = noise(rng, 100)
    p = spectral.PSD(n=100, pad=4)
    p.accumulate(x)
    frame = np.zeros(512, np.complex128)
    frame[:100] = x * hann(100)
    ref = np.fft.fftshift(np.abs(np.fft.fft(frame)) ** 2) / hann(100).astype(np.float64).sum() ** 2
    np.testing.assert_allclose(p.power_twosided(), ref, rtol=2e-4, atol=1e-9)


def test_onesided_folds_pairs(rng):
    p = spectral.PSD(n=64, fs=8.0, window="blackman-harris")
    p.accumulate(noise(rng, 64 * 5))
    two = p.power_twosided().astype(np.float64)
    one = p.power_onesided()
    assert one.shape == (33,)
    assert one[0] == pytest.approx(two[32], rel=1e-6)
    np.testing.assert_allclose(one[1:32], two[33:64] + two[31:0:-1], rtol=1e-6)
    assert one[32] == pytest.approx(two[0], rel=1e-6)


def test_real_input_is_symmetric():
    p = spectral.PSD(n=64)
    p.accumulate_real(np.cos(2 * np.pi * 5 * np.arange(128) / 64).astype(np.float32))
    two = p.power_twosided()
    assert two[32 + 5] == pytest.approx(0.25, rel=1e-3) and two[32 - 5] == pytest.approx(0.25, rel=1e-3)
    np.testing.assert_allclose(two[33:], two[31:0:-1], rtol=1e-4, atol=1e-12)


@pytest.mark.parametrize("window,beta", [("hann", 0.0), ("kaiser", 8.0), ("blackman-harris", 0.0)])
def test_agrees_with_welch(window, beta, rng):
    n, fs = 256, 2.5e6
    x = noise(rng, n * 40) + tone(n * 40, 17.3, n, 0.3)
    p = spectral.PSD(n=n, fs=fs, window=window, beta=beta)
    p.accumulate(x)
    w = np.zeros(n, np.float32)
    {"hann": spectral.hann_window, "blackman-harris": spectral.blackman_harris_window}.get(
        window, lambda a: spectral.kaiser_window(a, beta))(w)
    kw = dict(fs=fs, window=w.astype(np.float64), nperseg=n, noverlap=0, return_onesided=False, detrend=False)
    _, power = scipy.signal.welch(x, scaling="spectrum", **kw)
    _, dens = scipy.signal.welch(x, scaling="density", **kw)
    np.testing.assert_allclose(p.psd_db(), 10 * np.log10(np.fft.fftshift(power)), atol=0.01)
    np.testing.assert_allclose(p.psd_dbhz(), 10 * np.log10(np.fft.fftshift(dens)), atol=0.01)
    assert p.enbw == pytest.approx(n * (w.astype(float) ** 2).sum() / w.astype(float).sum() ** 2, rel=1e-12)
    assert p.rbw == pytest.approx(p.enbw * fs / n)


def test_noise_floor_and_snr(rng):
    n = 512
    sigma = 0.01
    p = spectral.PSD(n=n, fs=1.0)
    x = noise(rng, n * 200, sigma) + tone(n * 200, 100, n, 0.5)
    p.accumulate(x)
    expected_floor = 10 * math.log10(sigma**2 * p.enbw / n)
    assert p.noise_floor() == pytest.approx(expected_floor, abs=0.3)
    db = p.psd_db()
    assert p.noise_floor() == pytest.approx(float(np.median(db.astype(np.float64))), abs=1e-5)
    lo, hi = 90 / n, 110 / n
    assert p.snr(lo, hi) == pytest.approx(float(db[256 + 90:256 + 111].max()) - p.noise_floor(), abs=1e-4)
    assert p.snr(0.6, 0.9) == 0.0  # entirely above fs/2
    assert p.snr(hi, lo) == p.snr(lo, hi)


def test_band_power_edges(rng):
    n, fs = 64, 1.0
    p = spectral.PSD(n=n, fs=fs)
    p.accumulate(noise(rng, n * 10))
    P = p.power_twosided().astype(np.float64)  # P/S^2
    s = hann(n).astype(np.float64)
    norm = (s.sum() ** 2) / (n * (s**2).sum())  # P/S^2 -> Parseval power
    halves = p.band_power([-0.5, 0.0, 0.0, 0.5])
    assert halves.dtype == np.float32 and halves.shape == (2,)
    assert halves[0] == pytest.approx(10 * math.log10(P[0:33].sum() * norm), abs=1e-4)
    assert halves[1] == pytest.approx(10 * math.log10(P[32:64].sum() * norm), abs=1e-4)
    total = p.total_band_power([-0.5, 0.0, 0.0, 0.5])
    assert total == pytest.approx(10 * math.log10((P[0:33].sum() + P[32:64].sum()) * norm), abs=1e-6)
    bp = p.band_power([0.6, 0.9, 0.2, 0.1, 0.1, 0.2, 7.0])  # above fs/2, reversed, forward, stray value
    assert bp.shape == (3,) and bp[0] == -200.0 and bp[1] == bp[2] > -200.0
    assert p.band_power([math.nan, 0.1])[0] == -200.0
    assert p.total_band_power([0.1]) == -200.0


def test_occupied_bw(rng):
    n, fs = 256, 1000.0
    p = spectral.PSD(n=n, fs=fs)
    p.accumulate(tone(n * 4, 10, n))
    assert p.occupied_bw(0.5) == pytest.approx(fs / n)
    q = spectral.PSD(n=n, fs=fs)
    q.accumulate(noise(rng, n * 50))
    assert q.occupied_bw(0.99) == pytest.approx(spectral.obw_from_power(q.power_twosided().astype(np.float64), fs,
                                                                         0.99), abs=fs / n)
    assert q.occupied_bw(0.5) == pytest.approx(fs / 2, rel=0.1)


def test_sfdr():
    n = 256
    p = spectral.PSD(n=n)
    p.accumulate(tone(n * 4, 20, n) + tone(n * 4, -50, n, 0.01))
    assert p.sfdr(-100.0) == pytest.approx(40.0, abs=0.01)
    q = spectral.PSD(n=n)
    q.accumulate(tone(n * 4, 20, n) + tone(n * 4, -50, n, 1e-6))
    assert q.sfdr(-60.0) == 0.0  # the spur is below the gate


@pytest.mark.parametrize("mode", ["maxhold", "minhold"])
def test_holds(mode):
    n = 64
    a, b = tone(n, 5, n), tone(n, -9, n, 0.5)
    p = spectral.PSD(n=n, mode=mode)
    p.accumulate(a)
    pa = p.power_twosided()
    p.accumulate(b)
    single = spectral.PSD(n=n)
    single.accumulate(b)
    pb = single.power_twosided()
    op = np.maximum if mode == "maxhold" else np.minimum
    np.testing.assert_allclose(p.power_twosided(), op(pa, pb), rtol=1e-6)
    assert p.mode == {"maxhold": 2, "minhold": 3}[mode]


def test_exponential_mode(rng):
    n = 32
    frames = [noise(rng, n) for _ in range(3)]
    single = []
    for f in frames:
        s = spectral.PSD(n=n)
        s.accumulate(f)
        single.append(s.power_twosided().astype(np.float64))
    p = spectral.PSD(n=n, mode="exp", alpha=0.25)
    for f in frames:
        p.accumulate(f)
    expect = single[0]
    for s in single[1:]:
        expect = expect + (s - expect) * 0.25
    np.testing.assert_allclose(p.power_twosided(), expect, rtol=1e-5)
    assert p.mode == 1


def test_empty_trace_outputs():
    p = spectral.PSD(n=64)
    for m in (p.psd_db, p.psd_dbhz, p.power_twosided, p.power_onesided):
        assert m() is None
    buf = np.full(64, 3.0, np.float32)
    assert p.psd_db(out=buf) is None and np.all(buf == 3.0)
    bp = p.band_power([0.0, 0.1])
    assert bp.dtype == np.float32 and bp.shape == (0,)
    assert p.total_band_power([0.0, 0.1]) == -200.0
    assert (p.noise_floor(), p.snr(-0.1, 0.1), p.sfdr(-100.0), p.occupied_bw(0.99)) == (0.0, 0.0, 0.0, 0.0)
    p.accumulate(np.ones(64, np.complex64))
    assert p.psd_db() is not None
    p.reset()
    assert p.count == 0 and p.psd_db() is None


def test_count_and_out_sizing(rng):
    p = spectral.PSD(n=64)
    p.accumulate(noise(rng, 64))
    ref = p.psd_db()
    big = p.psd_db(count=5000)
    assert big.shape == (64,)
    np.testing.assert_array_equal(big, ref)
    with pytest.raises(ValueError, match=r"^out has 4999 elements, need >= 5000$"):
        p.psd_db(count=5000, out=np.zeros(4999, np.float32))
    buf = np.zeros(5000, np.float32)
    got = p.psd_db(count=5000, out=buf)
    assert got.shape == (64,) and np.shares_memory(got, buf)
    np.testing.assert_array_equal(got, ref)
    with pytest.raises(ValueError, match=r"^out has 32 elements, need >= 33$"):
        p.power_onesided(out=np.zeros(32, np.float32))
    with pytest.raises(TypeError, match="^out must be a writable"):
        p.psd_db(out=np.zeros(64, np.float64))
    with pytest.raises(ValueError, match=r"^out has 3 elements, need >= 4$"):
        p.band_power([0, 0.1, 0.1, 0.2], out=np.zeros(3, np.float32))
    out = np.zeros(5, np.float32)
    bp = p.band_power([0, 0.1, 0.1, 0.2, 9], out=out)
    assert bp.shape == (2,) and np.shares_memory(bp, out)
    assert p.psd_db(count=-3).shape == (64,)


@pytest.mark.parametrize("kw", [dict(n=1), dict(n=2), dict(n=0), dict(n=64, fs=0.0), dict(n=64, fs=-1.0),
                                dict(n=64, fs=math.nan), dict(n=64, fs=math.inf), dict(n=64, full_scale=0.0),
                                dict(n=64, full_scale=math.inf), dict(n=64, bits=65),
                                dict(n=2**40), dict(n=2**33, pad=2**33), dict(n=2**62, pad=8),
                                dict(n=3, window="kaiser", beta=math.inf)])
def test_create_refusals(kw):
    with pytest.raises(MemoryError, match="^psd_create returned NULL$"):
        spectral.PSD(**kw)


def test_hann_of_two_refused_but_other_windows_of_two_accepted():
    with pytest.raises(MemoryError, match="^psd_create returned NULL$"):
        spectral.PSD(n=2, window="hann")
    for w in ("kaiser", "blackman-harris"):
        p = spectral.PSD(n=2, window=w)
        p.accumulate(np.ones(4, np.complex64))
        assert np.isfinite(p.psd_db()).all()


def test_option_messages():
    with pytest.raises(ValueError, match='^window must be one of "hann", "kaiser", "blackman-harris", got \'flat\'$'):
        spectral.PSD(n=64, window="flat")
    with pytest.raises(ValueError, match='^mode must be one of "mean", "exp", "maxhold", "minhold", got \'avg\'$'):
        spectral.PSD(n=64, mode="avg")
    with pytest.raises(ValueError):
        spectral.PSD(n=-1)


def test_defaults_and_properties():
    p = spectral.PSD()
    assert (p.n, p.nfft, p.fs, p.full_scale, p.bits, p.count, p.mode) == (1024, 1024, 1.0, 1.0, 0, 0, 0)
    assert p.enbw == pytest.approx(1.5, rel=0.01)


def make_psd():
    return spectral.PSD(n=64, fs=10.0, window="kaiser", beta=5.0, pad=2, mode="mean")


def feeder(seed=7):
    rng = np.random.default_rng(seed)
    data = noise(rng, 64 * 12)

    def step(p):
        # The chunk depends on the object's own frame count, so a restored or
        # reset object is fed exactly what the original was fed in that state.
        k = p.count % 12
        p.accumulate(data[k * 64:(k + 1) * 64])
        return p.psd_db()

    return step


def test_state_roundtrip():
    check_state_roundtrip(make_psd, feeder())


def test_blob_refusals_and_layout():
    step = feeder()
    foreign = spectral.PSD(n=64, fs=10.0, window="kaiser", beta=5.0, pad=2, mode="maxhold")
    foreign.accumulate(np.ones(64, np.complex64))
    fb = bytearray(foreign.get_state())
    fb[16:20] = b"ATRX"  # a trace header no trace accepts
    check_blob_refusals(make_psd, step, foreign_blob=bytes(fb))
    p = make_psd()
    step(p)
    blob = p.get_state()
    assert len(blob) == 16 + 24 + 8 * 128
    assert blob[:4] == b"PSD " and struct.unpack_from("<HBBQ", blob, 4) == (1, 1, 0, len(blob))
    assert blob[16:20] == b"ATRC" and struct.unpack_from("<HBBQQ", blob, 20) == (1, 1, 0, 24 + 8 * 128, 1)
    # The inner trace is checked before anything is applied.
    for off in (16, 20, 22, 24):
        bad = bytearray(blob)
        bad[off] ^= 0x5A
        q = make_psd()
        step(q)
        before = q.get_state()
        with pytest.raises(ValueError, match="^set_state rejected the blob$"):
            q.set_state(bytes(bad))
        assert q.get_state() == before


def test_restored_continues_identically_across_modes(rng):
    for mode in ("exp", "maxhold", "minhold"):
        a = spectral.PSD(n=32, mode=mode, alpha=0.3)
        a.accumulate(noise(rng, 32 * 5))
        b = spectral.PSD(n=32, mode=mode, alpha=0.3)
        b.set_state(a.get_state())
        assert b.count == 5
        more = noise(rng, 32 * 3)
        a.accumulate(more)
        b.accumulate(more)
        np.testing.assert_array_equal(a.power_twosided(), b.power_twosided())


def test_chunked_equals_whole(rng):
    data = noise(rng, 64 * 9)

    def whole(p):
        p.accumulate(data)
        return p.psd_db()

    def chunks(p):
        for i in range(0, 9, 3):
            p.accumulate(data[i * 64:(i + 3) * 64])
        return [p.psd_db()]

    check_chunked_equals_whole(lambda: spectral.PSD(n=64), whole, chunks)


def test_destroyed():
    check_destroyed(spectral.PSD(n=16), [lambda o: o.accumulate(np.zeros(16, np.complex64)), lambda o: o.psd_db(),
                                         lambda o: o.band_power([0, 1]), lambda o: o.noise_floor(), lambda o: o.nfft,
                                         lambda o: o.rbw, lambda o: o.get_state(), lambda o: o.set_state(b""),
                                         lambda o: o.snr(0, 1), lambda o: o.reset()])
