"""StreamSink: what it puts on the wire for every wire type, gain, peak and clip
accounting, end of stream and drain, and its Python surface."""

import math

import numpy as np
import pytest

import stream_ctypes as sc
from kolvane.iqsink import StreamSink
from natsfix import nats_server  # noqa: F401  (fixture)
from stream_ctypes import SX_ERR_CLOSED, SX_ERR_EOF, SX_ERR_INVALID, Ctx

WIRES = ["cf32", "cf64", "ci32", "ci16", "ci8"]
FULL = {"ci32": 2147483647, "ci16": 32767, "ci8": 127}

_n = iter(range(1 << 30))


def quantise_model(iq, wire, gain=1.0):
    """The wire elements a unit-scale block must become (float32 products, truncation toward zero)."""
    x = np.empty(2 * iq.size, np.float32)
    x[0::2], x[1::2] = iq.real, iq.imag
    x = x * np.float32(gain)
    if wire == "cf32":
        return x
    if wire == "cf64":
        return x.astype(np.float64)
    full = FULL[wire]
    with np.errstate(invalid="ignore"):
        y = np.where(np.isnan(x), 0.0, np.clip(x, -1.0, 1.0)).astype(np.float64) * full
    return np.trunc(y).astype(sc.TYPES[wire][1])


@pytest.fixture
def link(nats_server):
    """(endpoint, subscriber) on a stream of the test's own."""
    ep = nats_server.endpoint(f"sink{next(_n)}")
    sub = Ctx("sub", ep)
    sub.timeout(5000)
    yield ep, sub
    sub.close()


def edge_block(rng, n):
    iq = (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(np.complex64) * 0.7
    iq[:8] = [1.0, -1.0, 1.5 - 0.25j, -2.0, 0.99999, np.nan, np.inf, -np.inf + 1j * np.nan]
    return iq


@pytest.mark.parametrize("wire", WIRES)
def test_payload_is_the_quantised_block(link, rng, wire):
    ep, sub = link
    iq = edge_block(rng, 1001)
    with StreamSink(ep, wire) as s:
        s.track_clipping()
        assert s.send(iq, 2e6, 1e8) == 0
        assert s.send(iq[:0], 2e6, 1e8) == SX_ERR_INVALID  # nothing is published for an empty block
        s.send_eos()
        s.drain()
        peak_db, clipped, frac = s.peak_dbfs, s.clipped, s.clip_fraction
    rc, h, data, kind, st, n = sub.recv()
    assert (rc, kind, st, n, h["fs"], h["fc"], h["seq"]) == (0, 0, sc.TYPES[wire][0], 1001, 2e6, 1e8, 0)
    expect = quantise_model(iq, wire)
    got = np.frombuffer(data, sc.TYPES[wire][1])
    np.testing.assert_array_equal(got, expect)
    assert sub.recv()[0] == SX_ERR_EOF
    if wire in FULL:
        x = np.abs(np.concatenate([iq.real, iq.imag]))
        assert peak_db == pytest.approx(20 * math.log10(np.nanmax(x)))
        assert clipped and frac == pytest.approx(np.sum(x > 1) / (2 * iq.size))
    else:
        assert (peak_db, clipped, frac) == (-math.inf, False, 0.0)


@pytest.mark.parametrize("wire,sample,codes", [("ci16", 1.5 - 0.25j, [32767, -8191]), ("ci8", -1.0, [-127, 0]),
                                               ("ci8", -2.0, [-127, 0]), ("ci16", 0.99999, [32766, 0])])
def test_edge_codes(link, wire, sample, codes):
    ep, sub = link
    s = StreamSink(ep, wire)
    s.track_clipping(1)
    assert s.send(np.array([sample], np.complex64), 1.0, 0.0) == 0
    rc, _, data, *_ = sub.recv()
    assert np.frombuffer(data, sc.TYPES[wire][1]).tolist() == codes
    if sample == 1.5 - 0.25j:
        assert (s.peak_dbfs, s.clip_fraction, s.clipped) == (pytest.approx(20 * math.log10(1.5)), 0.5, True)
    s.close()


@pytest.mark.parametrize("wire,gain", [("cf32", 0.5), ("cf64", 3.0), ("ci16", 0.25), ("cf32", 1.0)])
def test_gain_at_the_core(link, rng, wire, gain):
    ep, sub = link
    s = sc.sink_open(ep.encode(), WIRES.index(wire))
    assert sc.sink_set_gain(s, math.nan) == sc.sink_set_gain(s, 1e39) == SX_ERR_INVALID
    assert sc.sink_set_gain(s, gain) == 0
    iq = edge_block(rng, 64)
    assert sc.sink_send(s, iq.ctypes.data, iq.size, 0.0, 0.0) == 0
    _, _, data, *_ = sub.recv()
    np.testing.assert_array_equal(np.frombuffer(data, sc.TYPES[wire][1]), quantise_model(iq, wire, gain))
    x = np.abs(np.concatenate([iq.real, iq.imag]) * np.float32(gain))
    assert sc.sink_peak(s) == (pytest.approx(float(np.nanmax(x))) if wire in FULL else 0.0)
    sc.sink_close(s)


def test_python_surface(nats_server):
    ep = nats_server.endpoint("surface")
    with pytest.raises(ValueError, match=r"^invalid sample_type 'x' \(choices: cf32, cf64, ci32, ci16, ci8, f32, "
                                         r"f64, i32, i16, i8\)$"):
        StreamSink(ep, "x")
    for bad in [(ep, "f32"), ("127.0.0.1:4222", "cf32"), ("nats://127.0.0.1:1/x", "ci16"), (ep + "/a b", "cf32")]:
        with pytest.raises(RuntimeError, match="^wfm_stream_sink_open failed$"):
            StreamSink(*bad)
    s = StreamSink(ep)
    assert s.__enter__() is s
    assert s.send([0.5, 0.25j], 1.0, 0.0) == 0  # a list converts to complex64
    with pytest.raises(TypeError):
        s.send(np.zeros(4, np.complex128), 1.0, 0.0)  # no forced cast
    s.send_eos()
    s.drain(0)
    assert s.send(np.zeros(4, np.complex64), 1.0, 0.0) == SX_ERR_CLOSED
    with pytest.raises(OSError, match=r"^wfm_stream_sink_send_eos failed \(rc=-9\)$"):
        s.send_eos()
    s.close()
    s.close()
    for call in (lambda: s.send(np.zeros(1, np.complex64), 1.0, 0.0), s.send_eos, s.drain, s.track_clipping,
                 lambda: s.peak_dbfs, lambda: s.clip_fraction, lambda: s.clipped):
        with pytest.raises(RuntimeError, match="^StreamSink is closed$"):
            call()
    s.__exit__(None, None, None)


def test_closed_while_converting(nats_server):
    s = StreamSink(nats_server.endpoint("surface"), "ci8")

    class ClosesTheSink:
        def __array__(self, dtype=None, copy=None):
            s.close()
            return np.zeros(4, np.complex64)

    with pytest.raises(RuntimeError, match="^StreamSink is closed$"):
        s.send(ClosesTheSink(), 1.0, 0.0)
