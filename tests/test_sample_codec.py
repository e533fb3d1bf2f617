"""The sample codec through the capture writer and reader: every wire type in
both byte orders, at unit gain and with headroom or boost, against an
independent model of quantisation, peak and clip accounting and dequantisation;
edge values around full scale after the gain, NaN and infinities included."""

import math

import numpy as np
import pytest

import capture_builders as cb
from kolvane import iqreader, iqwriter

EDGES = np.array([0.0, -0.0, 1.0, -1.0, 0.99999, -0.99999, 1.5, -1.5, 2.0, -2.0, 1e-30, 0.70710677,
                  np.nan, np.inf, -np.inf, 3e38, -3e38], np.float32)


def signal(g):
    """Edge values, the same values divided by the gain and their float neighbours
    (so that I·g lands on, just below and just above full scale), then noise."""
    with np.errstate(over="ignore", invalid="ignore"):
        scaled = (EDGES / g).astype(np.float32)
    v = np.concatenate([EDGES, scaled, np.nextafter(scaled, np.float32(np.inf)),
                        np.nextafter(scaled, np.float32(-np.inf)),
                        np.random.default_rng(3).standard_normal(200).astype(np.float32)])
    x = np.empty(len(v), np.complex64)
    x.real, x.imag = v, v[::-1]
    return x


@pytest.mark.parametrize("headroom", [0.0, 6.0, -3.0])
@pytest.mark.parametrize("endian", ["le", "be"])
@pytest.mark.parametrize("stype", cb.SAMPLE_TYPES)
def test_codec_matches_model(tmp_path, stype, endian, headroom):
    _, el, cplx, full = cb.WIRE[stype]
    g = np.float32(math.exp(-0.05 * headroom * math.log(10.0))) if headroom else np.float32(1.0)
    x = signal(g)
    p = tmp_path / "c.raw"
    with iqwriter.Writer(p, 1e6, sample_type=stype, endian=endian, headroom=headroom, sidecar=False) as w:
        w.track_clipping(True)
        assert w.write(x[:7]) + w.write(x[7:]) == len(x)
        peak_dbfs, clip_fraction, clipped = w.peak_dbfs, w.clip_fraction, w.clipped

    with np.errstate(over="ignore", invalid="ignore"):
        comps = np.stack([x.real * g, x.imag * g], axis=-1).astype(np.float32)
    mags = np.abs(comps)
    peak = float(np.nanmax(mags))
    assert peak_dbfs == pytest.approx(20 * math.log10(peak), rel=1e-12)
    counted = mags if cplx else mags[:, :1]
    clips = int(np.sum(counted > 1)) if full else 0
    assert clip_fraction == clips / (2 * len(x))
    assert clipped == bool(full and peak > 1)

    wire = comps if cplx else comps[:, :1]
    if full:
        with np.errstate(invalid="ignore"):
            q = np.where(wire > 1, full, np.trunc(np.maximum(wire, -1.0).astype(np.float64) * full))
        want = np.where(np.isnan(wire), 0, q).astype(cb.dtype(stype, endian))
    else:
        want = wire.astype(cb.dtype(stype, endian))
    assert p.read_bytes() == want.tobytes()

    got = iqreader.Reader(p, sample_type=stype, endian=endian).read(len(x) + 1)
    back = want.astype(np.float64) * (1.0 / full) if full else want.astype(np.float64)
    model = np.zeros((len(x), 2), np.float32)
    model[:, : back.shape[1]] = back.astype(np.float32)
    assert got.view(np.float32).reshape(-1, 2).tobytes() == model.tobytes()
