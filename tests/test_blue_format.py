"""BLUE header control block and the typed keyword codec, checked byte by byte
with struct (independently of the capture reader)."""
import ctypes
import struct

import numpy as np
import pytest

from kolvane import iqwriter

LIB = ctypes.CDLL(iqwriter.__file__)

TYPES = ["cf32", "cf64", "ci32", "ci16", "ci8", "f32", "f64", "i32", "i16", "i8"]
FORMATS = [b"CF", b"CD", b"CL", b"CI", b"CB", b"SF", b"SD", b"SL", b"SI", b"SB"]
SAMPLE_BYTES = [8, 16, 8, 4, 2, 4, 8, 4, 2, 1]


class KwRecord(ctypes.Structure):
    _fields_ = [
        ("tag", ctypes.c_char * 256),
        ("code", ctypes.c_char),
        ("elem_size", ctypes.c_size_t),
        ("count", ctypes.c_size_t),
        ("value", ctypes.POINTER(ctypes.c_uint8)),
    ]


LIB.wfm_kw_elem_size.restype = ctypes.c_size_t
LIB.wfm_kw_elem_size.argtypes = [ctypes.c_char]
LIB.wfm_kw_entry_size.restype = ctypes.c_size_t
LIB.wfm_kw_entry_size.argtypes = [ctypes.c_size_t, ctypes.c_size_t]
LIB.wfm_kw_encode.restype = ctypes.c_size_t
LIB.wfm_kw_encode.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_char, ctypes.c_void_p,
                              ctypes.c_size_t, ctypes.c_int]
LIB.wfm_kw_decode.restype = ctypes.c_int
LIB.wfm_kw_decode.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int, ctypes.POINTER(KwRecord),
                              ctypes.POINTER(ctypes.c_size_t)]
LIB.wfm_kw_record_clear.argtypes = [ctypes.POINTER(KwRecord)]
LIB.wfm_kw_check_standard.restype = ctypes.c_int
LIB.wfm_kw_check_standard.argtypes = [ctypes.c_char_p, ctypes.c_char, ctypes.c_char_p, ctypes.c_size_t]
LIB.wfm_blue_build_hcb.restype = ctypes.c_int
LIB.wfm_blue_build_hcb.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_uint64, ctypes.c_int,
                                   ctypes.c_double, ctypes.c_double, ctypes.c_double, ctypes.c_double]


def parse_hcb(b):
    """Every HCB field, decoded with struct in the order head_rep announces."""
    assert len(b) >= 512
    e = ">" if b[4:8] == b"IEEE" else "<"
    f = {}
    f["version"], f["head_rep"], f["data_rep"] = b[0:4], b[4:8], b[8:12]
    (f["detached"], f["protected"], f["pipe"], f["ext_start"], f["ext_size"]) = struct.unpack(e + "5i", b[12:32])
    f["data_start"], f["data_size"] = struct.unpack(e + "2d", b[32:48])
    (f["type"],) = struct.unpack(e + "i", b[48:52])
    f["format"] = b[52:54]
    (f["flagmask"],) = struct.unpack(e + "h", b[54:56])
    (f["timecode"],) = struct.unpack(e + "d", b[56:64])
    f["inlet"], f["outlets"] = struct.unpack(e + "2h", b[64:68])
    f["outmask"], f["pipeloc"], f["pipesize"] = struct.unpack(e + "3i", b[68:80])
    f["in_byte"], f["out_byte"] = struct.unpack(e + "2d", b[80:96])
    f["outbytes"] = struct.unpack(e + "8d", b[96:160])
    (f["keylength"],) = struct.unpack(e + "i", b[160:164])
    f["keywords"] = b[164:256]
    f["xstart"], f["xdelta"] = struct.unpack(e + "2d", b[256:272])
    (f["xunits"],) = struct.unpack(e + "i", b[272:276])
    f["rest"] = b[276:512]
    return f


@pytest.mark.parametrize("endian", ["le", "be"])
@pytest.mark.parametrize("index", range(10))
def test_header_fields(tmp_path, index, endian):
    p = tmp_path / "x.hdr"
    iqwriter.write_blue_header(p, 1e6, sample_type=TYPES[index], endian=endian, fc=0.0, data_start=1024.0,
                               total=100, detached=1, t0=0.0)
    b = p.read_bytes()
    assert len(b) == 512
    f = parse_hcb(b)
    rep = b"IEEE" if endian == "be" else b"EEEI"
    assert (f["version"], f["head_rep"], f["data_rep"]) == (b"BLUE", rep, rep)
    assert (f["detached"], f["protected"], f["pipe"], f["ext_start"], f["ext_size"]) == (1, 0, 0, 0, 0)
    assert f["data_start"] == 1024.0
    assert f["data_size"] == 100.0 * SAMPLE_BYTES[index]
    assert f["type"] == 1000 and f["format"] == FORMATS[index]
    assert f["timecode"] == 0.0 and f["keylength"] == 0 and f["keywords"] == bytes(92)
    assert f["xdelta"] == 1e-6 and f["xstart"] == 0.0 and f["xunits"] == 1
    assert (f["flagmask"], f["inlet"], f["outlets"], f["outmask"], f["pipeloc"], f["pipesize"]) == (0,) * 6
    assert f["outbytes"] == (0.0,) * 8 and f["in_byte"] == 0.0 and f["rest"] == bytes(236)


def test_big_endian_ci16_bytes(tmp_path):
    p = tmp_path / "be.hdr"
    iqwriter.write_blue_header(p, 2.0, sample_type="ci16", endian="be")
    b = p.read_bytes()
    assert b[4:8] == b"IEEE" and b[8:12] == b"IEEE"
    assert b[48:52] == bytes([0, 0, 0x03, 0xE8])
    assert b[52:54] == b"CI"
    assert b[272:276] == bytes([0, 0, 0, 1])  # xunits reversed too
    assert b[264:272] == struct.pack(">d", 0.5)


@pytest.mark.parametrize("fs,xdelta", [(0.0, 0.0), (4.0, 0.25), (-8.0, -0.125)])
def test_xdelta(tmp_path, fs, xdelta):
    p = tmp_path / "h"
    iqwriter.write_blue_header(p, fs)
    assert parse_hcb(p.read_bytes())["xdelta"] == xdelta


@pytest.mark.parametrize("t0,timecode", [(0.0, 0.0), (1.0, 631152001.0), (1.7e9, 1.7e9 + 631152000.0)])
def test_timecode(tmp_path, t0, timecode):
    p = tmp_path / "h"
    iqwriter.write_blue_header(p, 1.0, t0=t0)
    assert parse_hcb(p.read_bytes())["timecode"] == timecode


@pytest.mark.parametrize("fc", [1.2e9, 0.1, -433.92e6])
def test_freq_in_keyword_area(tmp_path, fc):
    p = tmp_path / "h"
    iqwriter.write_blue_header(p, 1.0, fc=fc, endian="be")
    f = parse_hcb(p.read_bytes())
    item = b"FREQ=" + ("%.17g" % fc).encode() + b"\0"
    assert f["keylength"] == len(item)
    assert f["keywords"] == item + bytes(92 - len(item))
    assert float(item[5:-1]) == fc


def test_build_hcb_matches_file_and_refuses_bad_type(tmp_path):
    buf = ctypes.create_string_buffer(512)
    assert LIB.wfm_blue_build_hcb(buf, 3, 0, 7, 0, 2e6, 5.0, 512.0, 2.0) == 0
    p = tmp_path / "h"
    iqwriter.write_blue_header(p, 2e6, sample_type="ci16", fc=5.0, data_start=512.0, total=7, detached=0, t0=2.0)
    assert buf.raw == p.read_bytes()
    assert LIB.wfm_blue_build_hcb(buf, 10, 0, 0, 0, 0.0, 0.0, 0.0, 0.0) == -1
    assert LIB.wfm_blue_build_hcb(buf, -1, 0, 0, 0, 0.0, 0.0, 0.0, 0.0) == -1


def test_write_blue_header_errors(tmp_path):
    with pytest.raises(ValueError, match=r"^invalid sample_type 'cu8' \(choices: cf32, cf64, ci32, ci16, ci8, "
                                         r"f32, f64, i32, i16, i8\)$"):
        iqwriter.write_blue_header(tmp_path / "h", 1.0, sample_type="cu8")
    with pytest.raises(ValueError, match=r"^invalid endian 'LE' \(choices: le, be\)$"):
        iqwriter.write_blue_header(tmp_path / "h", 1.0, endian="LE")
    assert not (tmp_path / "h").exists()
    with pytest.raises(RuntimeError, match=r"^write_blue_header failed \(rc=-1\)$"):
        iqwriter.write_blue_header(tmp_path / "missing" / "h", 1.0)


# ---------------------------------------------------------------------------- keyword codec


@pytest.mark.parametrize("code,size", [("A", 1), ("B", 1), ("I", 2), ("L", 4), ("T", 4), ("X", 8), ("F", 4),
                                       ("D", 8), ("C", 0), ("a", 0), ("\0", 0)])
def test_elem_size(code, size):
    assert LIB.wfm_kw_elem_size(code.encode()) == size


@pytest.mark.parametrize("tag_len,value_len,entry", [(4, 8, 24), (1, 1, 16), (7, 1, 16), (8, 8, 24), (255, 0, 264)])
def test_entry_size(tag_len, value_len, entry):
    assert LIB.wfm_kw_entry_size(tag_len, value_len) == entry


def encode(tag, code, payload, count, be=0, cap=4096):
    dst = ctypes.create_string_buffer(cap)
    n = LIB.wfm_kw_encode(dst, cap, tag, code.encode(), payload, count, be)
    return dst.raw[:n]


def test_encode_freq_entry_exact():
    e = encode(b"FREQ", "D", struct.pack("=d", 1.5e9), 1)
    assert e == struct.pack("<ihBc", 24, 16, 4, b"D") + struct.pack("<d", 1.5e9) + b"FREQ" + bytes(4)
    eb = encode(b"FREQ", "D", struct.pack("=d", 1.5e9), 1, be=1)
    assert eb == struct.pack(">ihBc", 24, 16, 4, b"D") + struct.pack(">d", 1.5e9) + b"FREQ" + bytes(4)


@pytest.mark.parametrize("be", [0, 1])
@pytest.mark.parametrize("code,fmt,values", [
    ("B", "b", [-128, 5, 127]), ("I", "h", [-32768, 1, 32767]), ("L", "i", [1, -2, 3]), ("T", "i", [7]),
    ("X", "q", [-(2**63), 2**40]), ("F", "f", [0.5, -2.25]), ("D", "d", [1e300, -1e-300, 3.0]),
])
def test_encode_decode_round_trip(code, fmt, values, be):
    tag = b"KEY_" + code.encode()
    payload = struct.pack("=" + fmt * len(values), *values)
    e = encode(tag, code, payload, len(values), be=be)
    order = ">" if be else "<"
    vlen = len(payload)
    assert len(e) % 8 == 0 and len(e) == 8 + len(tag) + vlen + (-(len(tag) + vlen)) % 8
    assert struct.unpack(order + "ih", e[:6]) == (len(e), len(e) - vlen)
    assert e[8:8 + vlen] == struct.pack(order + fmt * len(values), *values)
    assert e[8 + vlen:8 + vlen + len(tag)] == tag and set(e[8 + vlen + len(tag):]) <= {0}
    rec, elen = KwRecord(), ctypes.c_size_t(0)
    assert LIB.wfm_kw_decode(e, len(e), be, ctypes.byref(rec), ctypes.byref(elen)) == 0
    try:
        assert elen.value == len(e) and rec.tag == tag and rec.code == code.encode() and rec.count == len(values)
        got = bytes(rec.value[:vlen])
        assert list(struct.unpack("=" + fmt * len(values), got)) == values
    finally:
        LIB.wfm_kw_record_clear(ctypes.byref(rec))
    assert not rec.value


def test_encode_refusals():
    one = struct.pack("=i", 1)
    assert encode(b"T" * 255, "L", one, 1) != b""
    assert encode(b"T" * 256, "L", one, 1) == b""
    assert encode(b"T" * 300, "L", one, 1) == b""
    assert encode(b"", "L", one, 1) == b""
    assert encode(b"TAG", "Q", one, 1) == b""
    assert encode(b"TAG", "L", one, 0) == b""
    dst = ctypes.create_string_buffer(32)
    assert LIB.wfm_kw_encode(dst, 15, b"TAG", b"L", one, 1, 0) == 0  # needs 16
    assert LIB.wfm_kw_encode(dst, 16, b"TAG", b"L", one, 1, 0) == 16
    assert LIB.wfm_kw_encode(None, 16, b"TAG", b"L", one, 1, 0) == 0
    assert LIB.wfm_kw_encode(dst, 16, b"TAG", b"L", None, 1, 0) == 0


def decode(buf, be=0, avail=None):
    rec, elen = KwRecord(), ctypes.c_size_t(12345)
    rc = LIB.wfm_kw_decode(buf, len(buf) if avail is None else avail, be, ctypes.byref(rec), ctypes.byref(elen))
    if rc == 0:
        LIB.wfm_kw_record_clear(ctypes.byref(rec))
    return rc, elen.value


GOOD = struct.pack("<ihBc", 16, 12, 3, b"L") + struct.pack("<i", 9) + b"TAG" + bytes(1)


@pytest.mark.parametrize("buf,avail,rc", [
    (GOOD, None, 0),
    (GOOD[:7], None, -1),                                                         # fewer than 8 bytes
    (GOOD, 15, -1),                                                               # entry longer than available
    (struct.pack("<ihBc", 4, 12, 3, b"L") + GOOD[8:], None, -1),                   # entry length < 8
    (struct.pack("<ihBc", 16, 4, 3, b"L") + GOOD[8:], None, -1),                   # second field < 8
    (struct.pack("<ihBc", 16, 20, 3, b"L") + GOOD[8:], None, -1),                  # second field > entry
    (struct.pack("<ihBc", 16, 12, 9, b"L") + GOOD[8:], None, -1),                  # tag runs past the entry
    (struct.pack("<ihBc", -16, 12, 3, b"L") + GOOD[8:], None, -1),                 # negative length
    (struct.pack("<ihBc", 16, 12, 3, b"Q") + GOOD[8:], None, 1),                   # unknown code: skipped
    (struct.pack("<ihBc", 16, 16, 3, b"L") + GOOD[8:], None, 1),                   # empty value: skipped
    (struct.pack("<ihBc", 16, 13, 3, b"L") + GOOD[8:], None, 1),                   # 3 bytes of L: skipped
])
def test_decode_table(buf, avail, rc):
    got, elen = decode(buf, avail=avail)
    assert got == rc
    if rc >= 0:
        assert elen == 16


def test_decode_walk_skips_unknown_entry():
    unknown = struct.pack("<ihBc", 16, 12, 3, b"Z") + b"\1\2\3\4" + b"ZZZ" + bytes(1)
    freq = encode(b"FREQ", "D", struct.pack("=d", 7.0), 1)
    buf = unknown + freq
    rc, n = decode(buf)
    assert (rc, n) == (1, 16)
    rec, elen = KwRecord(), ctypes.c_size_t(0)
    assert LIB.wfm_kw_decode(buf[n:], len(buf) - n, 0, ctypes.byref(rec), ctypes.byref(elen)) == 0
    assert rec.tag == b"FREQ" and struct.unpack("=d", bytes(rec.value[:8]))[0] == 7.0
    LIB.wfm_kw_record_clear(ctypes.byref(rec))


@pytest.mark.parametrize("tag,code,value,rc", [
    (b"ACQTIME", "A", b"12:34:56", 1), (b"ACQTIME", "A", b"12-34-56", -1), (b"ACQTIME", "A", b"1:34:56", -1),
    (b"ACQTIME", "L", b"12:34:56", -1), (b"ACQDATE", "A", b"20240131", 1), (b"ACQDATE", "A", b"24.131", 1),
    (b"ACQDATE", "A", b"241.31", -1), (b"ACQDATE", "A", b"2024013", -1), (b"ACQDATE", "A", b"2024/131", -1),
    (b"COMMENT", "A", b"anything", 1), (b"COMMENT", "L", b"1234", -1), (b"TIMELINE", "A", b"x", 1),
    (b"SUBREC_DEF", "A", b"x", -1), (b"SUBREC_DESCRIP", "A", b"x", -1), (b"T4INDEX", "L", b"1234", -1),
    (b"FREQ", "D", b"12345678", 0), (b"NAME", "A", b"demo", 0),
])
def test_check_standard(tag, code, value, rc):
    assert LIB.wfm_kw_check_standard(tag, code.encode(), value, len(value)) == rc


def test_decode_random_bytes_never_reads_past_the_entry():
    """Every outcome on arbitrary bytes is one of the three documented ones, and a
    decoded entry's value and tag lie inside the reported entry length."""
    rng = np.random.default_rng(5)
    seen = set()
    for _ in range(3000):
        n = int(rng.integers(0, 48))
        buf = bytearray(rng.integers(0, 256, n, dtype=np.uint8).tobytes())
        if n >= 8 and rng.random() < 0.7:  # plausible lengths reach the deeper checks
            struct.pack_into("<ih", buf, 0, int(rng.integers(8, n + 1)), int(rng.integers(8, 24)))
            buf[7] = ord(rng.choice(list("ABILTXFDZ")))
        rec, elen = KwRecord(), ctypes.c_size_t(0)
        rc = LIB.wfm_kw_decode(bytes(buf), n, 0, ctypes.byref(rec), ctypes.byref(elen))
        seen.add(rc)
        assert rc in (-1, 0, 1)
        if rc >= 0:
            assert 8 <= elen.value <= n
        if rc == 0:
            vlen = rec.count * rec.elem_size
            assert 8 + vlen + len(rec.tag) <= elen.value
            assert bytes(rec.value[:vlen]) == bytes(buf[8:8 + vlen])
            LIB.wfm_kw_record_clear(ctypes.byref(rec))
    assert seen == {-1, 0, 1}
