"""Symbol mapping, RRC/RC pulses and taps, polyphase banks, CRC-16, sync marker."""

import binascii
import math

import numpy as np
import pytest

import wfm_ctypes as C
from kolvane import wfm

R2 = np.float32(0.70710677)


def test_bpsk_map_reads_bit_zero_only():
    out = wfm.bpsk_map([0, 1, 2, 3, 255])
    assert out.dtype == np.complex64
    np.testing.assert_array_equal(out, [1, -1, 1, -1, -1])
    assert wfm.bpsk_map(np.zeros((2, 3), np.uint8)).shape == (6,)
    assert wfm.bpsk_map([]).size == 0


def test_qpsk_map_gray_and_upper_bits_ignored():
    base = wfm.qpsk_map(np.arange(4, dtype=np.uint8))
    np.testing.assert_array_equal(base, np.array([1 + 1j, -1 + 1j, 1 - 1j, -1 - 1j], np.complex64) * R2)
    np.testing.assert_array_equal(wfm.qpsk_map([4, 5, 6, 7]), base)
    np.testing.assert_array_equal(wfm.qpsk_map([252, 253, 254, 255]), base)


def test_mappers_refuse_unsafe_casts():
    with pytest.raises(TypeError):
        wfm.bpsk_map(np.array([1.5, 2.0]))


@pytest.mark.parametrize("beta", [0.0, 0.22, 0.35, 0.5, 1.0])
def test_rrc_peak_and_singular_points(beta):
    assert wfm.rrc_h([0.0], beta)[0] == pytest.approx(1 + beta * (4 / math.pi - 1), abs=1e-15)
    if beta > 0:
        ts = 1 / (4 * beta)
        at, near = wfm.rrc_h([ts, -ts], beta), wfm.rrc_h([ts + 1e-6, -ts - 1e-6], beta)
        assert np.all(np.isfinite(at))
        np.testing.assert_allclose(at, near, atol=1e-5)


@pytest.mark.parametrize("beta", [0.25, 0.35, 0.5])
def test_rrc_pair_is_the_raised_cosine(beta):
    # The autocorrelation of the RRC pulse is the RC pulse: check at integer and half-integer lags.
    os_, span = 32, 40
    t = np.arange(-span * os_, span * os_ + 1) / os_
    h = wfm.rrc_h(t, beta)
    full = np.correlate(h, h, mode="full") / os_
    centre = len(full) // 2
    for lag in (0.0, 0.5, 1.0, 1.5, 2.0, 3.0):
        k = centre + int(round(lag * os_))
        assert full[k] == pytest.approx(wfm.rc_h([lag], beta)[0], abs=3e-3)


def test_rc_nyquist_zeros_and_singular_point():
    t = np.arange(-10, 11, dtype=np.float64)
    for beta in (0.0, 0.3, 1.0):
        v = wfm.rc_h(t, beta)
        assert v[10] == 1.0
        np.testing.assert_allclose(np.delete(v, 10), 0.0, atol=1e-15)
    ts = 1 / (2 * 0.4)
    np.testing.assert_allclose(wfm.rc_h([ts], 0.4), wfm.rc_h([ts + 1e-7], 0.4), atol=1e-6)


@pytest.mark.parametrize("fn", [wfm.rrc_h, wfm.rc_h])
def test_pulse_beta_out_of_range_gives_zeros(fn):
    t = np.linspace(-3, 3, 13).reshape(13, 1)
    for beta in (-0.01, 1.01, float("nan")):
        out = fn(t, beta)
        assert out.shape == (13,) and out.dtype == np.float64
        np.testing.assert_array_equal(out, 0.0)
    np.testing.assert_array_equal(fn(t=[0.5], beta=0.2), fn([0.5], 0.2))


def test_rrc_taps_unit_energy_and_symmetric():
    h = wfm.rrc_taps(0.35, 8, 4)
    assert h.dtype == np.float32 and h.shape == (65,)
    np.testing.assert_array_equal(h, h[::-1])
    assert np.argmax(h) == 32
    assert float(np.sum(h.astype(np.float64) ** 2)) == pytest.approx(1.0, abs=1e-6)
    ref = wfm.rrc_h((np.arange(65) - 32) / 8.0, 0.35).astype(np.float32).astype(np.float64)
    np.testing.assert_allclose(h, ref / np.sqrt(np.sum(ref**2)), rtol=1e-6, atol=1e-8)


@pytest.mark.parametrize("sps,span,n", [(0, 4, 1), (8, 0, 1), (-2, -3, 13)])
def test_rrc_taps_non_positive_give_zeros(sps, span, n):
    h = wfm.rrc_taps(0.35, sps, span)
    assert h.shape == (n,)
    np.testing.assert_array_equal(h, 0.0)


def test_rrc_taps_bad_lengths():
    with pytest.raises(ValueError):
        wfm.rrc_taps(0.35, -8, 4)
    for sps, span in ((-8, 4), (8, -1), (-1, 1)):  # 2*span*sps + 1 below zero: named, not NumPy's text
        with pytest.raises(ValueError, match=r"^rrc_taps: .*negative"):
            wfm.rrc_taps(0.35, sps, span)
    with pytest.raises(OverflowError):
        wfm.rrc_taps(0.35, 2**31 - 1, 2**31 - 1)


def test_polyphase_bank_layout():
    taps = np.arange(1, 11, dtype=np.float32)
    out = np.full(12, -1, np.float32)
    C.wfm_polyphase_bank(C.ptr(taps), 10, 3, 4, C.ptr(out))
    want = [[taps[p + 3 * k] if p + 3 * k < 10 else 0 for k in range(4)] for p in range(3)]
    np.testing.assert_array_equal(out.reshape(3, 4), want)


def test_rrc_polyphase_bank():
    sps, span = 4, 3
    out = np.empty(sps * (2 * span + 1), np.float32)
    assert C.wfm_rrc_polyphase_bank(sps, span, C.ptr(out), 0.35) == 0
    taps = wfm.rrc_taps(0.35, sps, span) * np.float32(2.0)
    padded = np.concatenate([taps, np.zeros(sps * (2 * span + 1) - taps.size, np.float32)])
    np.testing.assert_array_equal(out.reshape(sps, 2 * span + 1), padded.reshape(2 * span + 1, sps).T)
    assert C.wfm_rrc_polyphase_bank(0, 3, C.ptr(out), 0.35) == -4


def bits_of(data: bytes):
    return np.unpackbits(np.frombuffer(data, np.uint8))


@pytest.mark.parametrize("data", [b"123456789", b"", b"\x00", b"\xff\x00\xa5kolvane"])
def test_crc16_matches_bytewise_ccitt(data):
    assert wfm.crc16(bits_of(data)) == binascii.crc_hqx(data, 0xFFFF)


def test_crc16_known_values_and_bit_zero():
    assert wfm.crc16(bits_of(b"123456789")) == 0x29B1
    assert wfm.crc16(np.zeros(0, np.uint8)) == 0xFFFF
    bits = bits_of(b"abc")
    assert wfm.crc16(bits | 0xFE) == wfm.crc16(bits)
    # Not a multiple of eight bits.
    assert wfm.crc16(bits[:13]) != wfm.crc16(bits[:12])


def test_ccsds_asm_bits():
    b = wfm.ccsds_asm_bits()
    assert b.dtype == np.uint8 and b.shape == (32,)
    assert list(b[:8]) == [0, 0, 0, 1, 1, 0, 1, 0]
    assert int("".join(map(str, b)), 2) == 0x1ACFFC1D
