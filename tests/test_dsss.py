"""Direct-sequence spreading: symbol spreading, two-code bursts, the continuous reference stream."""
import numpy as np
import pytest

from kolvane import wfm

import wfm_ctypes as C

BURST_MSG = (r"^set_dsss: invalid burst geometry \(frame bits need a data code; burst must be non-empty\), "
             r"or not a dsss synth \(rc=-1\)$")


@pytest.mark.parametrize("n, code_len, sf", [(2, 3, 3), (5, 7, 4), (1, 1, 1), (9, 3, 4), (3, 5, 0), (4, 5, -2),
                                             (0, 3, 3), (33, 64, 64)])
def test_spread_matches_model(n, code_len, sf):
    rng = np.random.default_rng(n * 100 + code_len)
    syms = (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(np.complex64)
    code = rng.integers(0, 2, code_len, dtype=np.uint8)
    got = wfm.dsss_spread(syms, code + 2 * (code_len % 2), sf)  # bit 0 only
    k = max(sf, 0)
    want = np.repeat(syms, k) * np.tile(1 - 2 * code[:k].astype(np.float32), n) if code_len >= k else \
        np.zeros(n * k, np.complex64)
    assert got.dtype == np.complex64 and got.shape == (n * k,)
    np.testing.assert_array_equal(got, want)


def test_spread_documented_case_and_ceiling():
    np.testing.assert_array_equal(wfm.dsss_spread([1, 1j], [0, 1, 1], 3), [1, -1, -1, 1j, -1j, -1j])
    with pytest.raises(ValueError, match="above the ceiling"):
        wfm.dsss_spread(np.zeros(2**16, np.complex64), np.zeros(2**15, np.uint8), 2**15)


def burst_model(acq, reps, data, sync, payload, crc):
    bits = wfm.Frame([], sync, payload, crc="crc16" if crc else "none").bits() if len(sync) + len(payload) else []
    return np.concatenate([np.tile(acq, reps)] + [data ^ b for b in bits]).astype(np.uint8)


BURSTS = [(15, 4, 31, 13, 16, 1), (7, 1, 5, 0, 9, 0), (5, 3, 0, 0, 0, 1), (0, 0, 3, 4, 0, 1), (1, 9, 1, 2, 3, 1),
          (0, 2, 11, 0, 1, 1)]


@pytest.mark.parametrize("geom", BURSTS)
def test_burst_matches_model(geom):
    acq_len, reps, data_len, sync_len, pay_len, crc = geom
    rng = np.random.default_rng(sum(geom))
    acq, data, sync, pay = (rng.integers(0, 2, n, dtype=np.uint8) for n in (acq_len, data_len, sync_len, pay_len))
    want = burst_model(acq, reps, data, sync, pay, crc)
    chips = C.frame_dsss_chips(acq, reps, data, sync, pay, crc)
    np.testing.assert_array_equal(chips, want)
    # the engine plays the burst chip by chip (+1 for 0, -1 for 1), back to back
    e = wfm._SynthEngine(type="dsss", sps=1)
    e.set_dsss(acq_code=acq, acq_reps=reps, data_code=data, payload=pay, sync=sync, crc=crc)
    np.testing.assert_allclose(e.steps(2 * len(want) + 3), 1 - 2.0 * np.resize(want, 2 * len(want) + 3), atol=1e-6)


def test_documented_burst():
    acq, data = np.arange(15, dtype=np.uint8) % 2, np.ones(31, np.uint8)
    chips = C.frame_dsss_chips(acq, 4, data, np.ones(13, np.uint8), np.zeros(16, np.uint8), 1)
    assert len(chips) == 60 + 31 * 45 == 1455
    np.testing.assert_array_equal(chips[:60], np.tile(acq, 4))


REFUSED = {
    "payload without data code": dict(acq_code=[1, 0], payload=[1, 0]),
    "sync without data code": dict(sync=[1]),
    "nothing": dict(),
    "acquisition repeated zero times": dict(acq_code=[1], acq_reps=0),
    "negative repetitions count as none": dict(acq_code=[1], acq_reps=-3),
}


@pytest.mark.parametrize("name", REFUSED)
def test_refused_bursts(name):
    e = wfm._SynthEngine(type="dsss", sps=1)
    e.set_dsss(acq_code=[1, 1, 0])
    with pytest.raises(ValueError, match=BURST_MSG):
        e.set_dsss(**REFUSED[name])
    np.testing.assert_array_equal(e.steps(6).real, [-1, -1, 1] * 2)  # the earlier burst still plays
    with pytest.raises(ValueError, match=BURST_MSG):
        wfm._SynthEngine(type="bits").set_dsss(acq_code=[1])


@pytest.mark.parametrize("cps", [1.0, 1.1, 2.5, 3.0, 7.7, 1.3])
def test_continuous_reference_follows_engine(cps):
    rng = np.random.default_rng(int(cps * 10))
    code, payload = rng.integers(0, 2, 13, dtype=np.uint8), rng.integers(0, 2, 37, dtype=np.uint8)
    n = 4000
    chips, last = C.cont_dsss_chips(code, payload, n, cps)
    sym = np.floor(np.arange(n) / cps).astype(np.int64)
    np.testing.assert_array_equal(chips, code[np.arange(n) % 13] ^ payload[sym % 37])
    assert last == sym[-1]
    e = wfm._SynthEngine(type="dsss", sps=1)
    e.set_dsss_cont(code, cps, payload=payload)
    np.testing.assert_array_equal(e.steps(n).real, 1 - 2.0 * chips)


def test_continuous_boundaries_and_refusals():
    chips, _ = C.cont_dsss_chips([0], [0, 1], 12, 2.5)
    assert list(np.flatnonzero(np.diff(chips, prepend=1) != 0)) == [0, 3, 5, 8, 10]
    for code, payload, n, cps in [([], [1], 4, 2.0), ([1], [], 4, 2.0), ([1], [1], 0, 2.0), ([1], [1], 4, 0.0),
                                  ([1], [1], 4, -1.0), ([1], [1], 4, float("nan")), ([1], [1], 4, 1e-300)]:
        assert C.cont_dsss_chips(code, payload, n, cps) == (None, None)


@pytest.mark.parametrize("declared", [(2, 1), (0, 0), (5, 1)])
def test_burst_of_a_coded_description(declared):
    import ctypes

    import ccsds_ctypes as CC

    octets = np.random.default_rng(7).integers(0, 256, 223, dtype=np.uint8)
    cfg = CC.FrameCfg(1, 1, 1, 1)
    coded = np.zeros(4144, np.uint8)
    assert CC.frame_encode(cfg, None, C.ptr(octets), 223, C.ptr(coded), 4144) == 4144
    bits = CC.bits_of(octets)
    desc, ops = CC.FrameDescC(), CC.FrameOps()
    assert CC.frame_describe(cfg, 223, C.ptr(bits), ctypes.byref(desc)) == 0 and CC.frame_ops(ctypes.byref(ops), None) == 0
    desc.stages[2].emit_num, desc.stages[2].emit_den = declared  # the wire follows the inner code, not this
    acq, data = np.array([1, 0, 0, 1, 1], np.uint8), np.array([0, 1, 1], np.uint8)
    assert C.frame_wire_bits(ctypes.byref(desc), ctypes.byref(ops)) == 4144
    out = np.full(10 + 3 * 4144 + 1, 9, np.uint8)
    n = C.dsss_desc_chips_raw(ctypes.byref(desc), ctypes.byref(ops), C.ptr(acq), 5, 2, C.ptr(data), 3, C.ptr(out),
                              len(out))
    assert n == 10 + 3 * 4144 and out[-1] == 9
    np.testing.assert_array_equal(out[:n], np.concatenate([np.tile(acq, 2)] + [data ^ b for b in coded]))
    assert C.dsss_desc_chips_raw(ctypes.byref(desc), ctypes.byref(ops), C.ptr(acq), 5, 2, C.ptr(data), 3,
                                 C.ptr(out), n - 1) == 0
