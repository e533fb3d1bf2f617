"""AWGN source: exact generator stream, seeding, state, statistics, calibration."""

import math

import numpy as np
import pytest

import wfm_ctypes as C
from kolvane import wfm

M64 = (1 << 64) - 1
GAMMA = 0x9E3779B97F4A7C15


def mix(z):
    z &= M64
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & M64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
    return z ^ (z >> 31)


def rotl(x, k):
    return ((x << k) | (x >> (64 - k))) & M64


def reference(seed, n, amplitude):
    """Straight transcription of the generator: xoshiro256++ uniforms, Box-Muller on a table."""
    s = [mix(seed + (i + 1) * GAMMA) for i in range(4)]

    def nxt():
        x = (rotl((s[0] + s[3]) & M64, 23) + s[0]) & M64
        t = (s[1] << 17) & M64
        s[2] ^= s[0]
        s[3] ^= s[1]
        s[1] ^= s[2]
        s[0] ^= s[3]
        s[2] ^= t
        s[3] = rotl(s[3], 45)
        return x

    step = np.float32(9.58738e-5)
    out = np.empty(n, np.complex128)
    for i in range(n):
        u = ((nxt() >> 40) + 1) * 2.0**-24
        p = nxt() >> 48
        r = math.sqrt(-2.0 * math.log(u)) * amplitude
        cos_arg = np.float32((p + 16384) % 65536) * step
        sin_arg = np.float32(p) * step
        out[i] = r * math.sin(cos_arg) + 1j * r * math.sin(sin_arg)
    return out


@pytest.fixture
def src():
    def make(seed=7, amplitude=1.0):
        return C.Handle(C.awgn_create(seed, amplitude), C.awgn_destroy)

    return make


@pytest.mark.parametrize("seed,amplitude", [(0, 1.0), (1, 0.5), (0xFFFFFFFFFFFFFFFF, 2.0)])
def test_stream_matches_reference(src, seed, amplitude):
    with src(seed, amplitude) as h:
        got, _ = C.awgn_generate(h, 600)
    want = reference(seed, 600, amplitude)
    # The kernel's logarithm is a single-precision polynomial; the reference is exact.
    np.testing.assert_allclose(got, want, rtol=3e-6, atol=3e-7 * amplitude)


def test_seeding_lane_bank_and_state_size(src):
    seed = 12345
    with src(seed) as h:
        assert C.awgn_state_bytes(h) == 304
        blob = C.get_state(h, C.awgn_state_bytes, C.awgn_get_state)
    assert blob[:4] == b"AWGN" and blob[4:6] == b"\x01\x00" and blob[6] == 1
    assert int.from_bytes(blob[8:16], "little") == 304
    s = [int.from_bytes(blob[16 + 8 * i : 24 + 8 * i], "little") for i in range(4)]
    assert s == [mix(seed + (i + 1) * GAMMA) for i in range(4)]
    lanes = np.frombuffer(blob[48:], np.uint64).reshape(4, 8)  # word-major
    for k in range(8):
        for j in range(4):
            assert int(lanes[j, k]) == mix(seed + (k + 1 + j) * GAMMA)
    assert [int(w) for w in lanes[:, 0]] == s


def test_same_seed_reset_reseed(src):
    with src(3) as a, src(3) as b, src(4) as c:
        xa, _ = C.awgn_generate(a, 1000)
        xb, _ = C.awgn_generate(b, 1000)
        xc, _ = C.awgn_generate(c, 1000)
        np.testing.assert_array_equal(xa, xb)
        assert not np.array_equal(xa, xc)
        C.awgn_reset(a)
        np.testing.assert_array_equal(C.awgn_generate(a, 1000)[0], xa)
        C.awgn_reseed(b, 4)
        np.testing.assert_array_equal(C.awgn_generate(b, 1000)[0], xc)


@pytest.mark.parametrize("chunks", [[1] * 7 + [993], [511, 1, 512, 999], [3000]])
def test_chunked_equals_whole(src, chunks):
    n = sum(chunks)
    with src() as a, src() as b:
        whole, _ = C.awgn_generate(a, n)
        parts = np.concatenate([C.awgn_generate(b, k)[0] for k in chunks])
    np.testing.assert_array_equal(whole, parts)


def test_capacity_limits_output(src):
    with src() as h:
        assert C.awgn_generate_max_out(h) == 65536
        out, got = C.awgn_generate(h, 100, capacity=40)
        assert got == 40 and np.all(np.isfinite(out))


def test_amplitude_zero_and_change(src):
    with src(amplitude=0.0) as h, src(amplitude=1.0) as ref:
        np.testing.assert_array_equal(C.awgn_generate(h, 500)[0], np.zeros(500, np.complex64))
        C.awgn_generate(ref, 500)
        C.awgn_set_amplitude(h, 3.0)
        assert C.awgn_get_amplitude(h) == 3.0
        # The stream kept running while silent; the new amplitude scales it from the next sample.
        np.testing.assert_allclose(C.awgn_generate(h, 500)[0], 3.0 * C.awgn_generate(ref, 500)[0], rtol=1e-6)


def test_state_roundtrip_and_refusals(src):
    with src(99) as a, src(5) as b:
        C.awgn_generate(a, 777)
        blob = C.get_state(a, C.awgn_state_bytes, C.awgn_get_state)
        assert C.set_state(b, C.awgn_set_state, blob) == 0
        np.testing.assert_array_equal(C.awgn_generate(a, 300)[0], C.awgn_generate(b, 300)[0])
        good = C.get_state(b, C.awgn_state_bytes, C.awgn_get_state)
        for off, val in ((0, ord("X")), (4, 2), (6, 0), (8, 0x31)):
            bad = bytearray(blob)
            bad[off] = val
            assert C.set_state(b, C.awgn_set_state, bytes(bad)) == -4
            assert C.get_state(b, C.awgn_state_bytes, C.awgn_get_state) == good


def test_stuck_generator_state_refused(src):
    # All four generator words zero is the state it never leaves and never reaches.
    with src(3) as a:
        good = C.get_state(a, C.awgn_state_bytes, C.awgn_get_state)
        stuck = good[:16] + bytes(32) + good[48:]
        assert C.set_state(a, C.awgn_set_state, stuck) == -4
        assert C.get_state(a, C.awgn_state_bytes, C.awgn_get_state) == good
        assert C.set_state(a, C.awgn_set_state, good[:16] + bytes(31) + b"\1" + good[48:]) == 0


def test_one_shot_matches_object(src):
    out = np.empty(1000, np.complex64)
    assert C.awgn_oneshot(42, 1000, C.ptr(out), np.float32(0.25)) == 0
    with src(42, 0.25) as h:
        np.testing.assert_array_equal(out, C.awgn_generate(h, 1000)[0])


def test_statistics_of_a_long_run(src):
    with src(2024, 1.0) as h:
        x, _ = C.awgn_generate(h, 1_000_000)
    for comp in (x.real.astype(np.float64), x.imag.astype(np.float64)):
        assert abs(comp.mean()) < 5e-3
        assert abs(comp.var() - 1.0) < 1e-2
        kurt = np.mean(comp**4) / comp.var() ** 2
        assert abs(kurt - 3.0) < 0.05
    # Components are uncorrelated and the phase is uniform.
    assert abs(np.mean(x.real.astype(np.float64) * x.imag)) < 5e-3
    hist, _ = np.histogram(np.angle(x), bins=16)
    assert hist.min() > 0.97 * hist.mean()


@pytest.mark.parametrize(
    "snr,power,sigma",
    [(10.0, 1.0, 0.223607), (0.0, 1.0, 0.707107), (20.0, 4.0, 0.141421), (-10.0, 1.0, 2.236068)],
)
def test_awgn_amplitude(snr, power, sigma):
    assert wfm.wfm_awgn_amplitude(snr, power) == pytest.approx(sigma, abs=2e-6)
    assert wfm.wfm_awgn_amplitude(signal_power=power, snr_db=snr) == pytest.approx(sigma, abs=2e-6)


@pytest.mark.parametrize("ebno,bps,sps,snr", [(10.0, 2, 8.0, 3.9794), (10.0, 1, 8.0, 0.9691), (5.0, 1, 1.0, 5.0)])
def test_ebno_to_snr(ebno, bps, sps, snr):
    assert wfm.wfm_ebno_to_snr_db(ebno, bps, sps) == pytest.approx(snr, abs=1e-4)


def test_calibrated_noise_power(src):
    sigma = wfm.wfm_awgn_amplitude(10.0, 1.0)
    with src(11, sigma) as h:
        x, _ = C.awgn_generate(h, 400_000)
    measured = 10 * np.log10(1.0 / np.mean(np.abs(x.astype(np.complex128)) ** 2))
    assert measured == pytest.approx(10.0, abs=0.05)
