"""Capture reader: type detection, unit-scale samples from every wire type and
byte order, metadata with its sources, keywords and the binding's rules."""

import ctypes
import json
import struct

import numpy as np
import pytest

import capture_builders as cb
from kolvane import iqreader

Reader = iqreader.Reader
OPEN_MSG = (
    "cannot open capture: no such file, unrecognised file type, or an unsupported BLUE format mode "
    "(only S and C are supported)"
)


def signal(n=257, seed=3):
    rng = np.random.default_rng(seed)
    x = (rng.uniform(-1.1, 1.1, n) + 1j * rng.uniform(-1.1, 1.1, n)).astype(np.complex64)
    head = np.array([1.0 + 1.0j, -1.0 - 1.0j, 0.5 - 0.25j, 0], np.complex64)
    x[: min(n, 4)] = head[: min(n, 4)]
    return x


def read_all(r, step=1000):
    parts = []
    while True:
        y = r.read(step)
        if len(y) == 0:
            break
        parts.append(y)
    return np.concatenate(parts) if parts else np.zeros(0, np.complex64)


# ---------------------------------------------------------------------------
# Every wire type and byte order


@pytest.mark.parametrize("endian", ["le", "be"])
@pytest.mark.parametrize("stype", cb.SAMPLE_TYPES)
def test_blue_every_type_to_unit_scale(tmp_path, stype, endian):
    p = tmp_path / "cap.blue"
    data = cb.blue_file(p, signal(), stype, endian, xdelta=1 / 2.4e6)
    want = cb.expected(data, stype, endian)
    with Reader(p) as r:
        assert (r.file_type, r.sample_type, r.endian) == ("blue", stype, endian)
        assert r.mode == ("complex" if stype[0] == "c" else "scalar")
        assert r.num_samples == len(want) and r.trailing_bytes == 0
        whole = r.read(len(want) + 10)
        np.testing.assert_array_equal(whole, want)
        assert len(r.read(5)) == 0
        # chunked reads equal one read; reset starts over
        r.reset()
        chunks = [r.read(k) for k in (1, 7, 100, 1000)]
        np.testing.assert_array_equal(np.concatenate(chunks), want)
    if stype[0] != "c":
        assert np.all(want.imag == 0)


@pytest.mark.parametrize("endian", ["le", "be"])
@pytest.mark.parametrize("stype", cb.SAMPLE_TYPES)
def test_raw_uses_the_hints(tmp_path, stype, endian):
    p = tmp_path / "cap.raw"
    data = cb.payload(signal(64), stype, endian)
    p.write_bytes(data + b"\x01")  # one stray byte after the last whole sample
    r = Reader(p, sample_type=stype, endian=endian)
    assert (r.file_type, r.sample_type, r.endian) == ("raw", stype, endian)
    whole = 64 if cb.stride(stype) > 1 else 65
    assert r.num_samples == whole and r.trailing_bytes == (1 if cb.stride(stype) > 1 else 0)
    want = cb.expected(data + (b"\x01" if cb.stride(stype) == 1 else b""), stype, endian)
    np.testing.assert_array_equal(read_all(r, 10), want)


@pytest.mark.parametrize(
    "stype,codes,want",
    [
        ("ci16", [32767, -32767, -32768, 1], [1.0, -1.0, np.float32(-32768 / 32767), np.float32(1 / 32767)]),
        ("ci8", [127, -127, -128, 0], [1.0, -1.0, np.float32(-128 / 127), 0.0]),
        ("ci32", [2147483647, -2147483647, -2147483648, 1], [1.0, -1.0, np.float32(-2147483648 / 2147483647), np.float32(1 / 2147483647)]),
    ],
)
def test_integer_full_scale(tmp_path, stype, codes, want):
    p = tmp_path / "fs.blue"
    raw = np.array(codes, dtype=cb.dtype(stype)).tobytes()
    cb.blue_file(p, stype=stype, raw=raw)
    y = Reader(p).read(10)
    np.testing.assert_array_equal(y.view(np.float32), np.array(want, np.float32))


def test_float64_is_narrowed_and_nan_passes(tmp_path):
    p = tmp_path / "d.blue"
    vals = [1e-50, 3.0000000001, np.nan, -np.inf]
    cb.blue_file(p, stype="cf64", raw=np.array(vals, "<f8").tobytes())
    y = Reader(p).read(4).view(np.float32)
    assert y[0] == np.float32(1e-50) and y[1] == np.float32(3.0000000001)
    assert np.isnan(y[2]) and y[3] == -np.inf


# ---------------------------------------------------------------------------
# Type detection


def test_detection_by_content(tmp_path):
    blue_named_csv = tmp_path / "capture.csv"
    cb.blue_file(blue_named_csv, signal(8), "ci16")
    assert Reader(blue_named_csv).file_type == "blue"

    text = tmp_path / "capture.dat"
    text.write_text("1.0,2.0\n")
    assert Reader(text).file_type == "csv"
    # With a scalar hint the same line is not a scalar CSV row: raw
    r = Reader(text, sample_type="f32")
    assert r.file_type == "raw" and r.num_samples == len("1.0,2.0\n") // 4

    empty = tmp_path / "empty.bin"
    empty.write_bytes(b"")
    r = Reader(empty)
    assert r.file_type == "raw" and r.num_samples == 0 and len(r.read(4)) == 0
    empty_csv = tmp_path / "empty.csv"
    empty_csv.write_bytes(b"")
    assert Reader(empty_csv).file_type == "csv"

    zeros = tmp_path / "seven"
    zeros.write_bytes(b"\0" * 7)
    r = Reader(zeros)
    assert (r.file_type, r.num_samples, r.trailing_bytes) == ("raw", 0, 7)
    assert len(r.read(1)) == 0


@pytest.mark.parametrize(
    "line,hint,is_csv",
    [
        ("\r\n\n 0.5 ,\t-2e-3  \n", "cf32", True),
        ("1,2,3\n", "cf32", False),
        ("0x10,1\n", "cf32", False),  # not ordinary decimal syntax
        ("nan,1\n", "cf32", False),
        ("1.5\n", "f64", True),
        ("1.5 x\n", "f64", False),
        ("." * 10 + "\n", "cf32", False),
        ("1" * 300 + ",1\n", "cf32", False),  # a first line of 255+ characters is not CSV
    ],
)
def test_csv_first_line_rules(tmp_path, line, hint, is_csv):
    p = tmp_path / "x.txt"
    p.write_text(line)
    assert Reader(p, sample_type=hint).file_type == ("csv" if is_csv else "raw")


def test_csv_reading(tmp_path):
    p = tmp_path / "c.csv"
    p.write_text("0.5,-0.25\n1e-3 , 2\n3,4\nbad,row\n5,6\n")
    r = Reader(p)
    assert r.num_samples == 4  # the malformed line is skipped, the row after it read
    y = r.read(10)
    np.testing.assert_array_equal(y, np.array([0.5 - 0.25j, 1e-3 + 2j, 3 + 4j, 5 + 6j], np.complex64))
    r.reset()
    np.testing.assert_array_equal(np.concatenate([r.read(2), r.read(2)]), y)

    q = tmp_path / "i.csv"
    q.write_text("32767,-32767\n-16384,0\n")
    r = Reader(q, sample_type="ci16")
    y = r.read(4)
    np.testing.assert_array_equal(y.view(np.float32), np.float32([1, -1, -16384 / 32767, 0]))
    s = tmp_path / "s.csv"
    s.write_text("1\n-127\n")
    np.testing.assert_array_equal(Reader(s, sample_type="i8").read(3), np.complex64([1 / 127, -1]))


# A row is one line; a line that holds no row is skipped, never joined to the next.
CSV_LINES = {
    "short line then a leading comma": ("0.5,0.25\n0.1\n,0.2\n", [0.5 + 0.25j]),
    "bad row in the middle": ("1,2\nbad,row\n3,4\n", [1 + 2j, 3 + 4j]),
    "blank lines, no final break": ("1,2\n\n \t\n3,4", [1 + 2j, 3 + 4j]),
    "CRLF": ("1,2\r\n3,4\r\n", [1 + 2j, 3 + 4j]),
    "three values": ("1,2,3\n4,5\n", [4 + 5j]),
    "trailing text": ("1,2x\n4,5\n", [4 + 5j]),
    "line far too long": ("1,2\n" + "9" * 100000 + ",1\n3,4\n", [1 + 2j, 3 + 4j]),
    "NUL inside a line": ("1,2\n3\x00,4\n5,6\n", [1 + 2j, 5 + 6j]),
    "nothing readable": ("x\ny\n", []),
}


@pytest.mark.parametrize("name", list(CSV_LINES))
def test_csv_rows_are_lines(tmp_path, name):
    text, want = CSV_LINES[name]
    p = tmp_path / "rows.csv"
    p.write_bytes(text.encode())
    r = Reader(p)
    assert r.num_samples == len(want)
    assert r.read(100).tolist() == want
    r.reset()
    ones = []  # one at a time: no empty read before the end
    while len(y := r.read(1)):
        ones += y.tolist()
    assert ones == want


@pytest.mark.parametrize("kind", ["raw", "blue", "csv"])
def test_result_is_sized_by_what_exists(tmp_path, kind):
    # A count far beyond the file (2**40 samples would be 8 TiB) costs nothing.
    x = signal(10)
    p = tmp_path / ("c." + kind)
    if kind == "raw":
        p.write_bytes(cb.payload(x, "cf32"))
    elif kind == "blue":
        cb.blue_file(p, x, "cf32")
    else:
        p.write_text("".join(f"{float(v.real)!r},{float(v.imag)!r}\n" for v in x))
    r = Reader(p)
    # Exact for binary payloads; for CSV a bound from the bytes left (a row takes at least 4).
    assert 10 <= r.read_max_out(2**40) <= (10 if kind != "csv" else p.stat().st_size // 4 + 1)
    assert r.read_follow_max_out(2**40) >= 10
    np.testing.assert_array_equal(r.read(2**40), x)
    assert r.read_max_out(2**40) == 0 and len(r.read(2**40)) == 0
    r.reset()
    np.testing.assert_array_equal(r.read_follow(2**40), x)


def test_csv_count_does_not_move_the_read_position(tmp_path):
    p = tmp_path / "c.csv"
    p.write_text("".join(f"{i},{-i}\n" for i in range(50)))
    r = Reader(p)
    first = r.read(10)
    assert r.num_samples == 50
    rest = r.read(100)
    assert len(rest) == 40 and rest[0] == 10 - 10j and first[-1] == 9 - 9j


# ---------------------------------------------------------------------------
# BLUE metadata


def test_payload_bound_keeps_extended_header_out(tmp_path):
    p = tmp_path / "k.blue"
    # The extended header is made of 0x7f bytes: as ci8 they would read as +1.0
    ext = cb.kw_entry("JUNK", "B", [0x7F] * 64)
    data = cb.blue_file(p, np.zeros(3, np.complex64), "ci8", ext=ext)
    r = Reader(p)
    assert r.num_samples == 3 and r.keywords["JUNK"] == [0x7F] * 64
    y = read_all(r, 2)
    np.testing.assert_array_equal(y, cb.expected(data, "ci8"))


def test_header_fields_and_sources(tmp_path):
    p = tmp_path / "h.blue"
    cb.blue_file(p, signal(4), "ci16", "be", xdelta=1 / 2.4e6, timecode=631152001.0, keywords=b"A=1\0")
    r = Reader(p)
    assert r.fs == pytest.approx(2.4e6) and r.fs_source == "xdelta"
    assert r.t0 == 1.0 and r.t0_source == "timecode"
    h = r.header
    assert list(h)[:4] == ["version", "head_rep", "data_rep", "detached"]
    assert list(h)[-4:] == ["keylength", "xstart", "xdelta", "xunits"]
    assert h["head_rep"] == "IEEE" and h["format"] == "CI" and h["type"] == 1000
    assert h["data_size"] == 16.0 and h["keylength"] == 4 and h["outbytes"] == [0.0] * 8
    assert len(h) == 26

    q = tmp_path / "z.blue"
    cb.blue_file(q, signal(4), "cf32")
    r = Reader(q)
    assert (r.fs, r.fs_source, r.t0, r.t0_source, r.fc, r.fc_source) == (0.0, "none", 0.0, "none", 0.0, "none")


@pytest.mark.parametrize(
    "hcb_area,ext,fc,source",
    [
        (b"FREQ=1.2e9\0", [("FREQ", "D", 1.2e9)], 1.2e9, "FREQ"),
        (b"FREQ=abc\0", [("RF_FREQ", "D", 5.0)], 5.0, "RF_FREQ"),
        # numeric beats text whatever the order; the later numeric value wins
        (b"", [("FREQ", "L", 7), ("FREQ", "A", "9"), ("FREQ", "F", 2.5)], 2.5, "FREQ"),
        (b"FREQ= 3.5 \0", [("FREQ", "A", "8")], 8.0, "FREQ"),
        (b"", [("CENTER_FREQ", "X", 10**12), ("F_C", "D", 1.0)], 1e12, "CENTER_FREQ"),
        (b"", [("F_C", "I", -3)], -3.0, "F_C"),
        (b"OTHER=1\0", [("NAME", "A", "x")], 0.0, "none"),
    ],
)
def test_fc_lookup(tmp_path, hcb_area, ext, fc, source):
    p = tmp_path / "f.blue"
    entries = b"".join(cb.kw_entry(t, c, v) for t, c, v in ext)
    cb.blue_file(p, signal(2), "cf32", ext=entries, keywords=hcb_area)
    r = Reader(p)
    assert (r.fc, r.fc_source) == (fc, source)


def test_keyword_values(tmp_path):
    p = tmp_path / "kw.blue"
    unknown_code = bytearray(cb.kw_entry("Q", "A", "12345678", "be"))
    unknown_code[7] = ord("Q")  # skipped; the walk goes on
    unknown_code = bytes(unknown_code)
    ext = b"".join(
        [
            cb.kw_entry("L3", "L", [1, 2, 3], "be"),
            cb.kw_entry("Y", "D", 2.5, "be"),
            cb.kw_entry("NEG", "B", -5, "be"),
            cb.kw_entry("BIG", "X", -(2**40), "be"),
            cb.kw_entry("T", "T", 12, "be"),
            cb.kw_entry("F", "F", [0.5, -0.25], "be"),
            unknown_code,
            cb.kw_entry("DUP", "A", "first", "be"),
            cb.kw_entry("DUP", "A", "second", "be"),
            cb.kw_entry("NAME", "A", "démo", "be"),
        ]
    )
    cb.blue_file(p, signal(2), "cf32", "be", ext=ext, keywords=b"EMPTY=\0noequals\0=x\0IO=pipe\0")
    kw = Reader(p).keywords
    assert kw == {
        "EMPTY": "",
        "IO": "pipe",
        "L3": [1, 2, 3],
        "Y": 2.5,
        "NEG": -5,
        "BIG": -(2**40),
        "T": 12,
        "F": [0.5, -0.25],
        "DUP": "second",
        "NAME": "démo",
    }
    assert list(kw)[:2] == ["EMPTY", "IO"]  # HCB area first, then the extended header


def test_detached_captures(tmp_path):
    x = signal(40)
    data = cb.payload(x, "ci16", "be")
    (tmp_path / "d.hdr").write_bytes(
        cb.hcb("ci16", "be", detached=1, data_start=0.0, data_size=float(len(data)), xdelta=0.5)
    )
    (tmp_path / "d.det").write_bytes(data)
    r = Reader(tmp_path / "d.det")
    assert (r.file_type, r.sample_type, r.endian, r.fs) == ("blue", "ci16", "be", 2.0)
    np.testing.assert_array_equal(read_all(r, 7), cb.expected(data, "ci16", "be"))
    # Opening the header of a detached capture reads the payload from <base>.det
    np.testing.assert_array_equal(read_all(Reader(tmp_path / "d.hdr")), cb.expected(data, "ci16", "be"))
    # ".prm" is the next header name tried
    (tmp_path / "e.prm").write_bytes(cb.hcb("cf32", detached=1, data_size=16.0))
    (tmp_path / "e.det").write_bytes(cb.payload(x[:3], "cf32"))
    assert Reader(tmp_path / "e.det").num_samples == 2


def write_sigmf(tmp_path, meta, data=b"", name="s"):
    (tmp_path / f"{name}.sigmf-meta").write_text(meta if isinstance(meta, str) else json.dumps(meta))
    (tmp_path / f"{name}.sigmf-data").write_bytes(data)
    return tmp_path / f"{name}.sigmf-data"


@pytest.mark.parametrize(
    "datatype,stype,endian", [("ci16_le", "ci16", "le"), ("cf32_be", "cf32", "be"), ("ri8", "i8", "le"), ("rf64_le", "f64", "le")]
)
def test_sigmf(tmp_path, datatype, stype, endian):
    data = cb.payload(signal(9), stype, endian)
    meta = {"global": {"core:datatype": datatype, "core:sample_rate": 2.4e6}, "captures": [{"core:sample_start": 0, "core:frequency": 1e8}]}
    r = Reader(write_sigmf(tmp_path, meta, data))
    assert (r.file_type, r.sample_type, r.endian) == ("sigmf", stype, endian)
    assert (r.fs, r.fs_source, r.fc, r.fc_source, r.t0_source) == (2.4e6, "core:sample_rate", 1e8, "core:frequency", "none")
    assert r.header == {} and r.keywords == {}
    np.testing.assert_array_equal(read_all(r, 4), cb.expected(data, stype, endian))


def test_sigmf_optional_keys_missing(tmp_path):
    r = Reader(write_sigmf(tmp_path, {"global": {"core:datatype": "cf32_le"}}, b"\0" * 20))
    assert (r.fs, r.fs_source, r.fc, r.fc_source, r.num_samples, r.trailing_bytes) == (0, "none", 0, "none", 2, 4)


# ---------------------------------------------------------------------------
# Binding rules


def test_out_buffer_rules(tmp_path):
    p = tmp_path / "o.blue"
    data = cb.blue_file(p, signal(10), "cf32")
    r = Reader(p)
    buf = np.zeros(16, np.complex64)
    y = r.read(4, out=buf)
    assert y.base is buf and len(y) == 4 and np.shares_memory(y, buf)
    np.testing.assert_array_equal(buf[:4], cb.expected(data, "cf32")[:4])
    with pytest.raises(ValueError, match=r"^out has 3 elements, need >= 4$"):
        r.read(4, out=np.zeros(3, np.complex64))
    for bad in (np.zeros(8, np.complex128), np.zeros(16, np.complex64)[::2], np.zeros(8, np.complex64).copy()):
        if bad.dtype == np.complex64 and bad.flags.c_contiguous:
            bad.flags.writeable = False
        with pytest.raises(TypeError, match="^out must be a writable, C-contiguous ndarray of the output dtype$"):
            r.read(4, out=bad)
    assert r.read_max_out(7) == 6 and r.read_follow_max_out(9) == 9  # 6 samples left to read
    with pytest.raises(ValueError):
        r.read(-1)


def test_constructor_errors_and_lifecycle(tmp_path):
    with pytest.raises(ValueError) as e:
        Reader(tmp_path / "missing.blue")
    assert str(e.value) == OPEN_MSG
    with pytest.raises(ValueError) as e:
        Reader(tmp_path / "x", sample_type="cu8")
    assert str(e.value) == (
        "sample_type must be one of \"cf32\", \"cf64\", \"ci32\", \"ci16\", \"ci8\", \"f32\", \"f64\", \"i32\", \"i16\", \"i8\", got 'cu8'"
    )
    with pytest.raises(ValueError, match="^endian must be one of \"le\", \"be\", got 'BE'$"):
        Reader(tmp_path / "x", endian="BE")
    p = tmp_path / "l.raw"
    p.write_bytes(b"\0" * 16)
    with Reader(str(p)) as r:
        assert r.read(1).dtype == np.complex64
        r.follow_timeout_ms = 5
        r.follow_grace_ms = 7
        assert (r.follow_timeout_ms, r.follow_grace_ms, r.ending) == (5, 7, "none")
        with pytest.raises(OverflowError):
            r.follow_timeout_ms = 2**32
        with pytest.raises(ValueError):
            r.follow_grace_ms = -1
    for name in ("read", "reset", "read_follow"):
        with pytest.raises(RuntimeError, match="^destroyed$"):
            getattr(r, name)()
    for prop in ("fs", "keywords", "header", "ending", "num_samples", "follow_timeout_ms"):
        with pytest.raises(RuntimeError, match="^destroyed$"):
            getattr(r, prop)
    r.close()
    r.destroy()


def test_info_record_through_ctypes(tmp_path):
    p = tmp_path / "i.blue"
    cb.blue_file(p, signal(6), "i16", "be", xdelta=0.25, timecode=631152002.5, keywords=b"F_C=42\0")

    class Info(ctypes.Structure):
        _fields_ = [
            ("file_type", ctypes.c_int), ("sample_type", ctypes.c_int), ("mode", ctypes.c_int), ("endian", ctypes.c_int),
            ("fs", ctypes.c_double), ("fc", ctypes.c_double), ("num_samples", ctypes.c_uint64), ("fc_source", ctypes.c_int),
            ("trailing_bytes", ctypes.c_uint64), ("fs_source", ctypes.c_int), ("t0", ctypes.c_double), ("t0_source", ctypes.c_int),
        ]

    lib = ctypes.CDLL(iqreader.__file__)
    lib.iqreader_create.restype = ctypes.c_void_p
    lib.iqreader_create.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int]
    lib.iqreader_info.argtypes = [ctypes.c_void_p, ctypes.POINTER(Info)]
    lib.iqreader_destroy.argtypes = [ctypes.c_void_p]
    h = lib.iqreader_create(str(p).encode(), 0, 0)
    assert h
    info = Info()
    lib.iqreader_info(h, ctypes.byref(info))
    lib.iqreader_destroy(h)
    lib.iqreader_destroy(None)
    got = (info.file_type, info.sample_type, info.mode, info.endian, info.fs, info.fc, info.num_samples,
           info.fc_source, info.trailing_bytes, info.fs_source, info.t0, info.t0_source)
    assert got == (2, 8, 1, 1, 4.0, 42.0, 6, 4, 0, 1, 2.5, 1)
    assert not lib.iqreader_create(str(p).encode(), 10, 0)
    assert not lib.iqreader_create(None, 0, 0)
