"""SigMF metadata: the JSON text written beside a capture, its file name, the
parser a reader uses, and interoperability with the independent sigmf package."""
import ctypes
import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest

from kolvane import iqwriter
from test_blue_format import TYPES

LIB = ctypes.CDLL(iqwriter.__file__)


class SigmfInfo(ctypes.Structure):
    _fields_ = [("sample_type", ctypes.c_int), ("big_endian", ctypes.c_int), ("fs", ctypes.c_double),
                ("fc", ctypes.c_double), ("fc_present", ctypes.c_int)]


LIB.wfm_sigmf_meta_json.restype = ctypes.c_void_p
LIB.wfm_sigmf_meta_json.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_double,
                                    ctypes.c_double, ctypes.c_double]
LIB.wfm_sigmf_meta_free.argtypes = [ctypes.c_void_p]
LIB.wfm_sigmf_meta_parse.restype = ctypes.c_int
LIB.wfm_sigmf_meta_parse.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.POINTER(SigmfInfo)]
LIB.wfm_sigmf_meta_read.restype = ctypes.c_int
LIB.wfm_sigmf_meta_read.argtypes = [ctypes.c_char_p, ctypes.POINTER(SigmfInfo)]
LIB.wfm_sigmf_meta_path.restype = ctypes.c_int
LIB.wfm_sigmf_meta_path.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]

DATATYPES = ["cf32", "cf64", "ci32", "ci16", "ci8", "rf32", "rf64", "ri32", "ri16", "ri8"]


def meta_json(stype, be=0, fs=0.0, fc=0.0, t0=0.0, segs=None, nseg=0):
    p = LIB.wfm_sigmf_meta_json(stype, be, segs, nseg, fs, fc, t0)
    assert p
    try:
        return ctypes.string_at(p).decode()
    finally:
        LIB.wfm_sigmf_meta_free(p)


def test_document_text_exact():
    assert meta_json(3, 0, fs=2.4e6) == (
        '{"global":{"core:datatype":"ci16_le","core:sample_rate":2400000,"core:version":"1.0.0",'
        '"core:description":"kolvane tessel","core:author":"kolvane tessel"},'
        '"captures":[{"core:sample_start":0}],"annotations":[]}')


@pytest.mark.parametrize("index", range(10))
@pytest.mark.parametrize("be", [0, 1])
def test_datatype_names(index, be):
    d = json.loads(meta_json(index, be))
    name = DATATYPES[index] + ("" if TYPES[index].endswith("8") else ("_be" if be else "_le"))
    assert d["global"]["core:datatype"] == name
    assert "core:sample_rate" not in d["global"]
    assert LIB.wfm_sigmf_meta_json(10, 0, None, 0, 0.0, 0.0, 0.0) is None


@pytest.mark.parametrize("t0,text", [
    (1.5, "1970-01-01T00:00:01.500000Z"), (1700000000.25, "2023-11-14T22:13:20.250000Z"),
    (-0.5, "1969-12-31T23:59:59.500000Z"), (86400.0000019, "1970-01-02T00:00:00.000001Z"),
])
def test_datetime(t0, text):
    cap = json.loads(meta_json(0, t0=t0, fc=-5.5))["captures"]
    assert cap == [{"core:sample_start": 0, "core:datetime": text, "core:frequency": -5.5}]


@pytest.mark.parametrize("t0", [float("nan"), float("inf"), 1e300])
def test_datetime_without_calendar_time_is_omitted(t0):
    assert json.loads(meta_json(0, t0=t0))["captures"] == [{"core:sample_start": 0}]


@pytest.mark.parametrize("path,meta", [
    ("x.sigmf-data", "x.sigmf-meta"), ("/a/b.c/x.sigmf-data", "/a/b.c/x.sigmf-meta"),
    ("cap.raw", "cap.raw.sigmf-meta"), (".sigmf-data", ".sigmf-meta"), ("sigmf-data", "sigmf-data.sigmf-meta"), ("", ".sigmf-meta"),
    ("x" * 1012, "x" * 1012 + ".sigmf-meta"), ("x" * 1012 + ".sigmf-data", "x" * 1012 + ".sigmf-meta"),
])
def test_meta_path(path, meta):
    out = ctypes.create_string_buffer(1024)
    assert LIB.wfm_sigmf_meta_path(path.encode(), out, 1024) == 0
    assert out.value.decode() == meta


def test_meta_path_refuses_truncation():
    out = ctypes.create_string_buffer(4096)
    assert LIB.wfm_sigmf_meta_path(b"x" * 1013, out, 4096) == -1  # 1024 characters
    assert LIB.wfm_sigmf_meta_path(b"x" * 1013 + b".sigmf-data", out, 4096) == -1
    assert LIB.wfm_sigmf_meta_path(b"cap.raw", out, 18) == -1  # 18 chars + NUL do not fit 18
    assert LIB.wfm_sigmf_meta_path(b"cap.raw", out, 19) == 0


def parse(text):
    info = SigmfInfo(-1, -1, -1.0, -1.0, -1)
    b = text.encode() if isinstance(text, str) else text
    return LIB.wfm_sigmf_meta_parse(b, len(b), ctypes.byref(info)), info


@pytest.mark.parametrize("index", range(10))
@pytest.mark.parametrize("be", [0, 1])
def test_parse_round_trip(index, be):
    rc, info = parse(meta_json(index, be, fs=1e6, fc=2.5e9))
    assert rc == 0
    eight_bit = TYPES[index].endswith("8")
    assert (info.sample_type, info.big_endian) == (index, 0 if eight_bit else be)
    assert (info.fs, info.fc, info.fc_present) == (1e6, 2.5e9, 1)


@pytest.mark.parametrize("text,expect", [
    ('{"global":{"core:datatype":"ri8"}}', (9, 0, 0.0, 0.0, 0)),
    ('{"global":{"core:datatype":"ci16_be","core:sample_rate":"fast"},"captures":[{"core:frequency":"x"}]}',
     (3, 1, 0.0, 0.0, 0)),
    ('{"global":{"core:datatype":"cf64_xbex"},"captures":[]}', (1, 1, 0.0, 0.0, 0)),
    ('{"global":{"core:datatype":"cf32"},"captures":[{"core:frequency":1e999}]}', (0, 0, 0.0, 0.0, 0)),
    ('{"global":{"core:datatype":"ri32_le","core:sample_rate":48000},"captures":[{"core:frequency":-1}]}',
     (7, 0, 48000.0, -1.0, 1)),
])
def test_parse_fields(text, expect):
    rc, info = parse(text)
    assert rc == 0
    assert (info.sample_type, info.big_endian, info.fs, info.fc, info.fc_present) == expect


@pytest.mark.parametrize("text", [
    "", "{", "not json", "[]", '{"global":[]}', '{"global":{}}', '{"global":{"core:datatype":5}}',
    '{"global":{"core:datatype":"cu8"}}', '{"global":{"core:datatype":"rf16_le"}}',
    '{"global":{"core:datatype":"xf32_le"}}', '{"global":{"core:datatype":"c"}}', '{"captures":[]}',
])
def test_parse_refuses(text):
    rc, info = parse(text)
    assert rc == -1
    assert info.sample_type == -1  # untouched


def test_read_file(tmp_path):
    info = SigmfInfo()
    p = tmp_path / "m.sigmf-meta"
    assert LIB.wfm_sigmf_meta_read(str(p).encode(), ctypes.byref(info)) == -1  # missing
    p.write_bytes(b"")
    assert LIB.wfm_sigmf_meta_read(str(p).encode(), ctypes.byref(info)) == -1  # empty
    p.write_text(meta_json(8, 1, fs=8e3))
    assert LIB.wfm_sigmf_meta_read(str(p).encode(), ctypes.byref(info)) == 0
    assert (info.sample_type, info.big_endian, info.fs) == (8, 1, 8e3)


def test_read_refuses_a_fifo_at_once(tmp_path):
    # In a child: an open that waits for a writer on the FIFO would block for good.
    os.mkfifo(tmp_path / "m.sigmf-meta")
    code = ("import ctypes, sys\nfrom kolvane import iqwriter\n"
            "print(ctypes.CDLL(iqwriter.__file__).wfm_sigmf_meta_read(sys.argv[1].encode(), "
            "ctypes.create_string_buffer(64)))\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", code, str(tmp_path / "m.sigmf-meta")], env=env,
                         capture_output=True, text=True, timeout=10)
    assert out.stdout.strip() == "-1", out.stderr


def test_writer_pair(tmp_path):
    p = tmp_path / "rec.sigmf-data"
    x = np.array([0.5 + 0.25j, -1, 1j], np.complex64)
    with iqwriter.Writer(p, 2.4e6, file_type="sigmf", sample_type="ci16", endian="be", fc=1e9, t0=1.5) as w:
        w.write(x)
    d = json.loads((tmp_path / "rec.sigmf-meta").read_text())
    assert d["global"]["core:datatype"] == "ci16_be" and d["global"]["core:sample_rate"] == 2.4e6
    assert d["captures"] == [{"core:sample_start": 0, "core:datetime": "1970-01-01T00:00:01.500000Z",
                              "core:frequency": 1e9}]
    assert np.array_equal(np.fromfile(p, ">i2"), [16383, 8191, -32767, 0, 0, 32767])


# ---------------------------------------------------------------------------- independent reader


@pytest.mark.parametrize("st,be", [("cf32", "le"), ("ci16", "le"), ("ci16", "be"), ("cf64", "be"), ("ci8", "le"),
                                   ("ci32", "le"), ("f32", "le"), ("i16", "be")])
def test_independent_sigmf_package(tmp_path, st, be):
    sigmffile = pytest.importorskip("sigmf.sigmffile")
    rng = np.random.default_rng(7)
    x = ((rng.standard_normal(300) + 1j * rng.standard_normal(300)) * 0.3).astype(np.complex64)
    p = tmp_path / "rec.sigmf-data"
    with iqwriter.Writer(p, 1.25e6, file_type="sigmf", sample_type=st, endian=be, fc=915e6, t0=1700000000.5) as w:
        w.write(x)
    h = sigmffile.fromfile(str(tmp_path / "rec.sigmf-meta"), autoscale=False)
    h.validate()
    assert h.get_global_field("core:sample_rate") == 1.25e6
    assert h.get_capture_info(0)["core:frequency"] == 915e6
    got = h.read_samples()
    assert len(got) == len(x)
    ref = x if st.startswith("c") else x.real
    if st in ("cf32", "cf64", "f32"):
        assert np.array_equal(np.asarray(got).astype(ref.dtype), ref)
    else:
        full = {"ci16": 32767, "ci8": 127, "ci32": 2147483647, "i16": 32767}[st]
        comps = np.asarray(got)
        comps = (comps.view(np.float32) if st.startswith("c") else comps).astype(np.float64)
        want = ref.view(np.float32) if st.startswith("c") else ref
        # The package hands integers back as float32 components, so ci32 codes are compared at that precision.
        assert np.array_equal(comps, np.trunc(want.astype(np.float64) * full).astype(np.float32))


def test_parse_mutated_documents():
    """Truncations and byte flips of a valid document either parse to a valid
    capture index or are refused; nothing else (and no crash under the sanitizers)."""
    doc = meta_json(3, 1, fs=2.4e6, fc=1e9, t0=5.0).encode()
    rng = np.random.default_rng(2)
    outcomes = set()
    for k in range(1500):
        b = bytearray(doc)
        if k % 3 == 0:
            b = b[:int(rng.integers(0, len(b)))]
        else:
            for _ in range(int(rng.integers(1, 4))):
                b[int(rng.integers(0, len(b)))] = int(rng.integers(0, 256))
        rc, info = parse(bytes(b))
        outcomes.add(rc)
        assert rc in (0, -1)
        if rc == 0:
            assert 0 <= info.sample_type <= 9 and info.big_endian in (0, 1)
    assert outcomes == {0, -1}


@pytest.mark.parametrize("fs,fc", [(float("nan"), 0.0), (float("inf"), 1e9), (2e6, float("nan")),
                                   (2e6, float("-inf"))])
def test_non_finite_rate_or_frequency_is_omitted(tmp_path, fs, fc):
    # JSON has no NaN or infinity: such a value would print as null, which no
    # reader takes for a number; an unknown rate or frequency is simply absent.
    text = meta_json(3, 0, fs=fs, fc=fc)
    assert "null" not in text
    d = json.loads(text)
    assert d["global"].get("core:sample_rate") == (fs if math.isfinite(fs) else None)
    assert d["captures"][0].get("core:frequency") == (fc if math.isfinite(fc) and fc != 0 else None)
    p = tmp_path / "rec.sigmf-data"
    with iqwriter.Writer(p, fs, file_type="sigmf", sample_type="ci16", fc=fc) as w:
        w.write([0.5j])
    assert "null" not in (tmp_path / "rec.sigmf-meta").read_text()


def _raw_with_sidecar(d):
    x = (np.arange(40) * (0.02 + 0.01j)).astype(np.complex64)
    with iqwriter.Writer(d / "cap.raw", 1e6, file_type="raw", sample_type="ci16") as w:
        w.write(x)
    return d / "cap.raw.sigmf-meta", np.trunc(x.view(np.float32) * 32767.0)


def _annotated_recording(d):
    from test_composer import Segments, desc

    segs = Segments([{"fs": 1e6, "burst": 30, "descs": [desc(type_=3, sps=4)]}])
    (d / "ann.sigmf-meta").write_text(json.dumps(segs.meta(fc=1e9)))
    np.zeros(30, np.complex64).tofile(d / "ann.sigmf-data")
    return d / "ann.sigmf-meta", np.zeros(60, np.float32)


@pytest.mark.parametrize("make", [_raw_with_sidecar, _annotated_recording], ids=["raw sidecar", "tessel keys"])
def test_independent_reader_finds_data_and_extensions(tmp_path, make):
    import warnings

    sigmffile = pytest.importorskip("sigmf.sigmffile")
    meta, want = make(tmp_path)
    g = json.loads(meta.read_text())["global"]
    uses_tessel = any(k.startswith("tessel:") for a in json.loads(meta.read_text())["annotations"] for k in a)
    assert (g.get("core:extensions") == [{"name": "tessel", "version": "1.0.0", "optional": True}]) == uses_tessel
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # an undeclared extension or a missing dataset is a warning there
        h = sigmffile.fromfile(str(meta), autoscale=False)
        h.validate()
        got = np.asarray(h.read_samples())
    assert np.array_equal(got.view(np.float32) if np.iscomplexobj(got) else got, want)
