"""Malformed captures: truncated headers, absurd sizes, broken keyword entries,
bad JSON, wrong magic. Each one is refused with the open message or opens with
the bad part skipped; nothing is read past what the file holds."""

import ctypes
import json
import re
import os
import struct
import subprocess
import sys

import numpy as np
import pytest

import capture_builders as cb
from kolvane import iqreader

OPEN_MSG = (
    "cannot open capture: no such file, unrecognised file type, or an unsupported BLUE format mode "
    "(only S and C are supported)"
)

GOOD = cb.payload(np.full(8, 0.5 - 0.5j, np.complex64), "ci16")  # 8 samples, 32 bytes


def with_field(h, offset, fmt, value):
    h = bytearray(h)
    struct.pack_into(fmt, h, offset, value)
    return bytes(h)


def base_hcb(**kw):
    kw.setdefault("data_size", float(len(GOOD)))
    return cb.hcb("ci16", **kw)


# name -> file bytes; every one must fail to open
REFUSED = {
    "magic only": b"BLUE",
    "truncated header": base_hcb()[:300],
    "header one byte short": base_hcb()[:511],
    "mode letter X": base_hcb(fmt=b"XI") + GOOD,
    "element letter Q": base_hcb(fmt=b"CQ") + GOOD,
    "format NUL": base_hcb(fmt=b"\0\0") + GOOD,
    "data_start NaN": base_hcb(data_start=float("nan")) + GOOD,
    "data_start infinite": base_hcb(data_start=float("inf")) + GOOD,
    "data_start negative": base_hcb(data_start=-512.0) + GOOD,
    "data_start past the end": base_hcb(data_start=4096.0) + GOOD,
    "data_start absurd": base_hcb(data_start=1e300) + GOOD,
    "data_size NaN": base_hcb(data_size=float("nan")) + GOOD,
    "data_size infinite": base_hcb(data_size=float("inf")) + GOOD,
    "data_size absurd": base_hcb(data_size=1e30) + GOOD,
    "detached payload missing": base_hcb(detached=1),
}


@pytest.mark.parametrize("name", list(REFUSED))
def test_refused(tmp_path, name):
    p = tmp_path / "bad.blue"
    p.write_bytes(REFUSED[name])
    with pytest.raises(ValueError) as e:
        iqreader.Reader(p)
    assert str(e.value) == OPEN_MSG


def ext_entries():
    return cb.kw_entry("KEEP", "L", 1) + cb.kw_entry("ALSO", "A", "yes")


def broken(entry, offset, fmt, value):
    return with_field(entry, offset, fmt, value)


GOOD_ENTRY = cb.kw_entry("LOST", "D", 2.0)  # 24 bytes

# name -> (extended header bytes after the two good entries, header overrides, keywords expected)
KEYWORD_CASES = {
    "entry length 0": (broken(GOOD_ENTRY, 0, "<i", 0), {}, ["KEEP", "ALSO"]),
    "entry length negative": (broken(GOOD_ENTRY, 0, "<i", -8), {}, ["KEEP", "ALSO"]),
    "entry longer than the area": (broken(GOOD_ENTRY, 0, "<i", 4096), {}, ["KEEP", "ALSO"]),
    "second length above entry": (broken(GOOD_ENTRY, 4, "<h", 100), {}, ["KEEP", "ALSO"]),
    "second length below 8": (broken(GOOD_ENTRY, 4, "<h", 2), {}, ["KEEP", "ALSO"]),
    "tag past the entry": (broken(GOOD_ENTRY, 6, "<B", 200), {}, ["KEEP", "ALSO"]),
    "value not whole elements": (broken(broken(GOOD_ENTRY, 4, "<h", 13), 6, "<B", 1) + cb.kw_entry("NEXT", "B", 1), {}, ["KEEP", "ALSO", "NEXT"]),
    "unknown type code": (broken(GOOD_ENTRY, 7, "<c", b"Z") + cb.kw_entry("NEXT", "B", 1), {}, ["KEEP", "ALSO", "NEXT"]),
    "area cut mid-entry": (GOOD_ENTRY[:12], {}, ["KEEP", "ALSO"]),
    "ext_size past the end": (GOOD_ENTRY, {"ext_size": 1 << 30}, []),
    "ext_start past the end": (GOOD_ENTRY, {"ext_start": 0x7FFFFFFF}, []),
    "ext_start negative": (GOOD_ENTRY, {"ext_start": -1}, []),
    "ext_size negative": (GOOD_ENTRY, {"ext_size": -100}, []),
    "ext_size below an entry": (GOOD_ENTRY, {"ext_size": 7}, []),
}


@pytest.mark.parametrize("name", list(KEYWORD_CASES))
def test_broken_extended_header_is_skipped(tmp_path, name):
    tail, overrides, want = KEYWORD_CASES[name]
    p = tmp_path / "kw.blue"
    data = cb.blue_file(p, stype="ci16", raw=GOOD, ext=ext_entries() + tail, **overrides)
    r = iqreader.Reader(p)
    assert list(r.keywords) == want
    np.testing.assert_array_equal(r.read(100), cb.expected(data, "ci16"))
    assert len(r.read(100)) == 0


def test_extended_header_of_tiny_entries_keeps_a_bounded_number(tmp_path):
    # 16-byte entries with an empty tag: each would cost far more memory decoded than on disk
    tiny = struct.pack("<ihBc", 16, 15, 0, b"B") + b"\x05" + b"\0" * 7
    p = tmp_path / "many.blue"
    cb.blue_file(p, stype="ci16", raw=GOOD, ext=cb.kw_entry("FIRST", "L", 1) + tiny * 70000)
    lib = ctypes.CDLL(iqreader.__file__)
    lib.iqreader_create.restype = ctypes.c_void_p
    lib.iqreader_create.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int]
    lib.iqreader_num_keywords.restype = ctypes.c_size_t
    lib.iqreader_num_keywords.argtypes = [ctypes.c_void_p]
    lib.iqreader_destroy.argtypes = [ctypes.c_void_p]
    h = lib.iqreader_create(str(p).encode(), 0, 0)
    assert h
    try:
        assert lib.iqreader_num_keywords(h) == 65536
    finally:
        lib.iqreader_destroy(h)
    r = iqreader.Reader(p)
    assert r.keywords == {"FIRST": 1, "": 5} and len(r.read(100)) == 8


@pytest.mark.parametrize(
    "area,keylength,want",
    [
        (b"A=1\0B=2\0", 1000, {"A": "1", "B": "2"}),  # clamped to the 92-byte area
        (b"A=1\0", -5, {}),
        (b"A=1\0", 0, {}),
        (b"A=1\0B=2\0", 6, {"A": "1", "B": ""}),  # an item cut by keylength keeps what is in range
        (b"A=1\0B=2\0", 5, {"A": "1"}),
        (b"=x\0noeq\0\0\0C=3", 14, {"C": "3"}),  # the last item needs no NUL
        (b"X" * 92, 92, {}),
    ],
)
def test_hcb_keyword_area(tmp_path, area, keylength, want):
    p = tmp_path / "a.blue"
    cb.blue_file(p, stype="ci16", raw=GOOD, keywords=area, keylength=keylength)
    assert iqreader.Reader(p).keywords == want


@pytest.mark.parametrize(
    "name,overrides,samples",
    [
        ("data_size negative reads as unknown", {"data_size": -1.0}, 8),
        ("data_size beyond the file stops at the end", {"data_size": 1e12}, 8),
        ("data_size fractional truncates", {"data_size": 9.9}, 2),
        ("header doubles NaN leave fs and t0 unknown", {"xdelta": float("nan"), "timecode": float("nan")}, 8),
    ],
)
def test_odd_sizes_read_what_is_there(tmp_path, name, overrides, samples):
    p = tmp_path / "s.blue"
    cb.blue_file(p, stype="ci16", raw=GOOD, **overrides)
    r = iqreader.Reader(p)
    y = r.read(1000)
    assert len(y) == samples and len(r.read(10)) == 0
    assert r.fs == 0.0 and r.t0 == 0.0 and r.t0_source == "none"


def test_wrong_magic_is_not_blue(tmp_path):
    p = tmp_path / "m.blue"
    p.write_bytes(base_hcb(version=b"BLUX") + GOOD)
    r = iqreader.Reader(p, sample_type="ci16")
    assert r.file_type == "raw" and r.header == {} and r.num_samples == (512 + len(GOOD)) // 4


@pytest.mark.parametrize(
    "header",
    [b"", b"BLUE" + b"\0" * 100, cb.hcb("ci16", version=b"BLUX"), cb.hcb("ci16", fmt=b"CZ"), cb.hcb("ci16", data_size=float("nan"))],
    ids=["empty", "truncated", "wrong magic", "bad format", "NaN size"],
)
def test_detached_with_bad_header(tmp_path, header):
    (tmp_path / "d.hdr").write_bytes(header)
    (tmp_path / "d.det").write_bytes(GOOD)
    with pytest.raises(ValueError, match="^cannot open capture"):
        iqreader.Reader(tmp_path / "d.det")


def test_detached_without_header(tmp_path):
    (tmp_path / "d.det").write_bytes(GOOD)
    with pytest.raises(ValueError, match="^cannot open capture"):
        iqreader.Reader(tmp_path / "d.det")


SIGMF_BAD = {
    "missing meta": None,
    "empty meta": "",
    "not JSON": "{\"global\": {",
    "JSON array": "[1, 2]",
    "global not an object": json.dumps({"global": "cf32_le"}),
    "datatype missing": json.dumps({"global": {"core:sample_rate": 1}}),
    "datatype not a string": json.dumps({"global": {"core:datatype": 5}}),
    "channels not a number": json.dumps({"global": {"core:datatype": "cf32_le", "core:num_channels": "2"}}),
    "channels 0": json.dumps({"global": {"core:datatype": "cf32_le", "core:num_channels": 0}}),
    "channels 1.5": json.dumps({"global": {"core:datatype": "cf32_le", "core:num_channels": 1.5}}),
}
# Refusals that name their reason: the datatype as written, or the channel count.
SIGMF_NAMED = {
    "datatype cu8": ({"core:datatype": "cu8"}, 'SigMF datatype "cu8" is not supported'),
    "datatype rf16_le": ({"core:datatype": "rf16_le"}, 'SigMF datatype "rf16_le" is not supported'),
    "datatype empty": ({"core:datatype": ""}, 'SigMF datatype "" is not supported'),
    "two channels": ({"core:datatype": "ci16_le", "core:num_channels": 2}, "SigMF recording has 2 channels"),
}


@pytest.mark.parametrize("name", list(SIGMF_BAD))
def test_sigmf_refused(tmp_path, name):
    meta = SIGMF_BAD[name]
    if meta is not None:
        (tmp_path / "x.sigmf-meta").write_text(meta)
    (tmp_path / "x.sigmf-data").write_bytes(GOOD)
    with pytest.raises(ValueError) as e:
        iqreader.Reader(tmp_path / "x.sigmf-data")
    assert str(e.value) == OPEN_MSG


@pytest.mark.parametrize("name", list(SIGMF_NAMED))
def test_sigmf_refusal_names_its_reason(tmp_path, name):
    meta, reason = SIGMF_NAMED[name]
    (tmp_path / "x.sigmf-meta").write_text(json.dumps({"global": meta}))
    (tmp_path / "x.sigmf-data").write_bytes(GOOD)
    with pytest.raises(ValueError, match="^cannot open capture: " + re.escape(reason)):
        iqreader.Reader(tmp_path / "x.sigmf-data")
    # One channel, stated or not, is what the reader reads.
    (tmp_path / "y.sigmf-meta").write_text(json.dumps({"global": {"core:datatype": "cf32_le", "core:num_channels": 1}}))
    (tmp_path / "y.sigmf-data").write_bytes(GOOD)
    assert iqreader.Reader(tmp_path / "y.sigmf-data").num_samples == len(GOOD) // 8


def test_sigmf_odd_optional_values(tmp_path):
    meta = {"global": {"core:datatype": "ci16_le", "core:sample_rate": "fast"}, "captures": [{"core:frequency": "high"}]}
    (tmp_path / "x.sigmf-meta").write_text(json.dumps(meta))
    (tmp_path / "x.sigmf-data").write_bytes(GOOD + b"\1")
    r = iqreader.Reader(tmp_path / "x.sigmf-data")
    assert (r.fs, r.fs_source, r.fc, r.fc_source, r.num_samples, r.trailing_bytes) == (0, "none", 0, "none", 8, 1)


def test_binary_garbage_and_nul_text(tmp_path):
    rng = np.random.default_rng(1)
    p = tmp_path / "g.csv"
    p.write_bytes(rng.integers(0, 256, 1000, dtype=np.uint8).tobytes())
    r = iqreader.Reader(p)  # named .csv: a CSV whatever it holds; rows that do not parse end it
    assert r.file_type == "csv"
    assert len(r.read(100)) == r.num_samples
    q = tmp_path / "n.txt"
    q.write_bytes(b"1.0,2.0\n\0")
    assert iqreader.Reader(q).file_type == "raw"


def test_not_a_regular_file(tmp_path):
    import os

    (tmp_path / "dir.blue").mkdir()
    os.mkfifo(tmp_path / "pipe.raw")
    for name in ("dir.blue", "pipe.raw"):
        with pytest.raises(ValueError, match="^cannot open capture"):
            iqreader.Reader(tmp_path / name)


def test_tags_that_are_not_utf8_keep_the_other_keywords(tmp_path):
    bad_ext = bytearray(cb.kw_entry("XAB", "L", 7))
    bad_ext[12] = 0xFF  # first tag byte
    p = tmp_path / "u.blue"
    cb.blue_file(p, stype="ci16", raw=GOOD, ext=cb.kw_entry("KEEP", "L", 1) + bytes(bad_ext),
                 keywords=b"\xfe=2\0OK=3\0")
    kw = iqreader.Reader(p).keywords
    assert kw == {"\ufffd": "2", "OK": "3", "KEEP": 1, "\ufffdAB": 7}


def test_sigmf_metadata_that_is_a_fifo_is_refused_at_once(tmp_path):
    os.mkfifo(tmp_path / "f.sigmf-meta")
    (tmp_path / "f.sigmf-data").write_bytes(GOOD)
    # In a child: a reader that waits for a writer on the FIFO would hang there
    # holding the interpreter lock, so only a timeout can end it.
    code = (
        "import sys\nfrom kolvane import iqreader\n"
        "try:\n    iqreader.Reader(sys.argv[1])\nexcept ValueError as e:\n    print(e)\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", code, str(tmp_path / "f.sigmf-data")], env=env,
                         capture_output=True, text=True, timeout=10)
    assert out.stdout.strip() == OPEN_MSG
