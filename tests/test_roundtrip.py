"""Captures written by iqwriter read back by iqreader: every file type, sample
type and byte order, with metadata and keywords."""

import numpy as np
import pytest

import capture_builders as cb
from kolvane import iqreader, iqwriter

FILE_TYPES = ["raw", "csv", "blue", "sigmf"]
EXT = {"raw": ".raw", "csv": ".csv", "blue": ".blue", "sigmf": ".sigmf-data"}


def grid_signal(n=300, seed=7):
    """Values on a 2^-8 grid (exact in float32, in "%0.9f" text and in every
    integer product), plus the edge values every quantiser must handle."""
    rng = np.random.default_rng(seed)
    k = rng.integers(-300, 301, size=(n, 2))
    x = (k[:, 0] + 1j * k[:, 1]) / 256.0
    edges = [0.25 + 0.5j, 1.0 - 1.0j, 1.5 - 1.5j, np.nan + 0.5j, 0.5 + np.inf * 1j, -np.inf + 0j, -0.0 + 0j]
    return np.concatenate([x, edges]).astype(np.complex64)


def model(x, stype):
    """What the reader must return for samples the writer quantised (unit gain)."""
    _, el, cplx, fs = cb.WIRE[stype]
    comps = np.stack([x.real, x.imag], axis=-1).astype(np.float64)
    if fs is not None:
        with np.errstate(invalid="ignore"):
            q = np.where(comps > 1, fs, np.trunc(np.maximum(comps, -1.0) * fs))
        q = np.where(np.isnan(comps), 0.0, q)
        comps = q * (1.0 / fs)
    if not cplx:
        comps[:, 1] = 0.0
    return np.ascontiguousarray(comps.astype(np.float32)).view(np.complex64).reshape(-1)


def read_all(r, step):
    parts = []
    while True:
        y = r.read(step)
        if len(y) == 0:
            return np.concatenate(parts) if parts else np.zeros(0, np.complex64)
        parts.append(y.copy())


CASES = [(f, s, e) for f in FILE_TYPES for s in cb.SAMPLE_TYPES for e in ("le", "be") if not (f == "csv" and e == "be")]


@pytest.mark.parametrize("ftype,stype,endian", CASES)
def test_roundtrip(tmp_path, ftype, stype, endian):
    p = tmp_path / ("cap" + EXT[ftype])
    x = grid_signal()
    with iqwriter.Writer(p, 2.4e6, file_type=ftype, sample_type=stype, endian=endian, fc=1.5e8, t0=1.0e9 + 0.5,
                         sidecar=False) as w:
        assert w.write(x[:100]) == 100
        assert w.write(x[100:]) == len(x) - 100
    r = iqreader.Reader(p, sample_type=stype, endian=endian)
    assert (r.file_type, r.sample_type) == (ftype, stype)
    if ftype != "csv":
        # SigMF names no byte order for 8-bit elements; it then reads as little-endian
        eightbit_sigmf = ftype == "sigmf" and stype in ("ci8", "i8")
        assert r.endian == ("le" if eightbit_sigmf else endian) and r.trailing_bytes == 0
    assert r.num_samples == len(x)
    np.testing.assert_array_equal(read_all(r, 37), model(x, stype))
    if ftype == "blue":
        assert (r.fs, r.fs_source, r.fc, r.fc_source) == (2.4e6, "xdelta", 1.5e8, "FREQ")
        assert (r.t0, r.t0_source) == (1.0e9 + 0.5, "timecode")
    if ftype == "sigmf":
        assert (r.fs, r.fs_source, r.fc, r.fc_source) == (2.4e6, "core:sample_rate", 1.5e8, "core:frequency")


@pytest.mark.parametrize("endian", ["le", "be"])
def test_keywords_roundtrip(tmp_path, endian):
    p = tmp_path / "k.blue"
    values = {
        "NAME": ("A", "demo"),
        "CREATOR": ("A", "kolvane"),  # one of the tags kept in the header's own keyword area
        "L3": ("L", [1, 2, 3]),
        "Y": ("D", 2.5),
        "B": ("B", -7),
        "I": ("I", [-300, 300]),
        "T": ("T", 123456),
        "X": ("X", -(2**50)),
        "F": ("F", [0.25, -8.0]),
    }
    with iqwriter.Writer(p, 1e6, file_type="blue", sample_type="ci16", endian=endian, fc=5e6) as w:
        w.write(grid_signal(10))
        for tag, (code, value) in values.items():
            w.add_keyword(tag, code, value)
    r = iqreader.Reader(p)
    kw = r.keywords
    for tag, (code, value) in values.items():
        assert kw[tag] == value, tag
    assert kw["FREQ"] == 5e6 and r.fc == 5e6
    assert r.header["keylength"] > 0 and r.header["ext_start"] * 512 >= 512 + 4 * 17
    assert len(read_all(r, 4)) == 17


def test_gain_and_headroom_reach_the_file(tmp_path):
    p = tmp_path / "g.blue"
    with iqwriter.Writer(p, 1e6, file_type="blue", sample_type="cf32", headroom=6.0) as w:
        w.write(np.ones(4, np.complex64))
    y = iqreader.Reader(p).read(10)
    assert len(y) == 4 and np.allclose(y, 10 ** (-6 / 20), rtol=1e-6)


def test_detached_header_from_write_blue_header(tmp_path):
    x = grid_signal(50)
    with iqwriter.Writer(tmp_path / "d.raw", 0, sample_type="ci8", endian="be", sidecar=False) as w:
        w.write(x)
    (tmp_path / "d.raw").rename(tmp_path / "d.det")
    iqwriter.write_blue_header(tmp_path / "d.hdr", 8e3, sample_type="ci8", endian="be", total=len(x))
    r = iqreader.Reader(tmp_path / "d.det")
    assert (r.file_type, r.sample_type, r.endian, r.fs) == ("blue", "ci8", "be", 8e3)
    np.testing.assert_array_equal(read_all(r, 16), model(x, "ci8"))
