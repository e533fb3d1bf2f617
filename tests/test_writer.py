"""Capture writer: payload bytes for every wire type and byte order, quantisation,
peak and clip accounting, keywords, the header patched at close, short writes and
streams that cannot seek. Files are decoded here with NumPy and struct."""
import ctypes
import math
import os
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from kolvane import iqwriter
from test_blue_format import FORMATS, SAMPLE_BYTES, TYPES, parse_hcb

LIB = ctypes.CDLL(iqwriter.__file__)
FULL = {"ci32": 2147483647, "ci16": 32767, "ci8": 127, "i32": 2147483647, "i16": 32767, "i8": 127}
NP_ELEM = {"f32": "f4", "f64": "f8", "i32": "i4", "i16": "i2", "i8": "i1"}


def elem(st):
    return st[1:] if st.startswith("c") else st


def reference_payload(iq, st, endian="le", gain=1.0):
    """The wire bytes for unit-scale samples, computed independently in NumPy."""
    v = np.ascontiguousarray(iq, np.complex64).view(np.float32) * np.float32(gain)
    if not st.startswith("c"):
        v = v[0::2]
    order = ">" if endian == "be" else "<"
    e = elem(st)
    if e in ("f32", "f64"):
        return v.astype(np.float64 if e == "f64" else np.float32).astype(order + NP_ELEM[e]).tobytes()
    d = v.astype(np.float64)
    q = np.where(d > 1, 1.0, np.maximum(d, -1.0))
    q = np.trunc(np.nan_to_num(q, nan=0.0) * FULL[st])
    return q.astype(order + NP_ELEM[e]).tobytes()


EDGES = np.array([1, -1, 1.5, -1.5, 0.99999, -0.99999, 0.999, 1e-9, 0, np.inf, -np.inf, np.nan, 2.0**-24, -0.0],
                 np.float32)


def signal(n=257, seed=3):
    rng = np.random.default_rng(seed)
    x = (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(np.complex64) * np.float32(0.4)
    e = np.empty(len(EDGES), np.complex64)
    e.real, e.imag = EDGES, EDGES[::-1]
    return np.concatenate([x, e])


@pytest.mark.parametrize("endian", ["le", "be"])
@pytest.mark.parametrize("st", TYPES)
@pytest.mark.parametrize("ft", ["raw", "blue", "sigmf"])
def test_binary_payload_every_type(tmp_path, ft, st, endian):
    x = signal()
    path = tmp_path / ("cap.sigmf-data" if ft == "sigmf" else "cap.bin")
    with iqwriter.Writer(path, 1e6, file_type=ft, sample_type=st, endian=endian, sidecar=False) as w:
        # Chunked writes, including an empty one, land exactly like one write.
        assert w.write(x[:100]) == 100
        assert w.write(x[100:100]) == 0
        assert w.write(x[100:]) == len(x) - 100
    b = path.read_bytes()
    s = SAMPLE_BYTES[TYPES.index(st)]
    if ft == "blue":
        f = parse_hcb(b)
        assert f["format"] == FORMATS[TYPES.index(st)] and f["data_size"] == len(x) * s
        b = b[512:]
    assert b == reference_payload(x, st, endian)


@pytest.mark.parametrize("st,value,code", [
    ("ci32", 1.0, 2147483647), ("ci32", -1.0, -2147483647), ("ci32", 0.5, 1073741823),
    ("ci16", 1.0, 32767), ("ci16", -1.0, -32767), ("ci16", 1.5, 32767), ("ci16", -1.5, -32767),
    ("ci16", 0.99999, 32766), ("ci8", 0.999, 126), ("ci8", -0.999, -126), ("i8", 1.0, 127),
    ("ci32", float("nan"), 0), ("ci16", float("nan"), 0), ("ci8", float("nan"), 0), ("i32", float("nan"), 0),
    ("ci32", float("-inf"), -2147483647),
])
def test_quantisation_codes(tmp_path, st, value, code):
    p = tmp_path / "q.raw"
    with iqwriter.Writer(p, 1.0, sample_type=st, sidecar=False) as w:
        w.write(np.array([value + 0j], np.complex64))
    got = np.frombuffer(p.read_bytes(), "<" + NP_ELEM[elem(st)])
    assert int(got[0]) == code


def test_clip_accounting_ci16(tmp_path):
    w = iqwriter.Writer(tmp_path / "c.raw", 1.0, sample_type="ci16", sidecar=False)
    assert w.peak_dbfs == -math.inf and w.clip_fraction == 0.0 and not w.clipped
    w.track_clipping()
    w.write(np.array([1.5 - 1.5j], np.complex64))
    assert w.peak_dbfs == pytest.approx(20 * math.log10(1.5)) and w.clipped
    assert w.clip_fraction == 1.0  # 2 components clipped / (2 × 1 sample)
    w.write(np.array([0.1, 0.2, 1.0 + 0j], np.complex64))  # exactly 1.0 is not a clip
    assert w.clip_fraction == pytest.approx(2 / 8)
    w.track_clipping(0)
    w.write(np.array([5 + 5j], np.complex64))
    assert w.clip_fraction == pytest.approx(2 / 10)
    assert w.peak_dbfs == pytest.approx(20 * math.log10(5))
    w.close()
    assert np.array_equal(np.frombuffer((tmp_path / "c.raw").read_bytes(), "<i2")[:2], [32767, -32767])


def test_scalar_clips_count_real_part_only(tmp_path):
    with iqwriter.Writer(tmp_path / "s.raw", 1.0, sample_type="i16", sidecar=False) as w:
        w.track_clipping(1)
        w.write(np.array([0.5 + 3j, 2 + 0j], np.complex64))
        # The imaginary part counts toward the peak but is not written, so it is no clip.
        assert w.peak_dbfs == pytest.approx(20 * math.log10(3))
        assert w.clip_fraction == pytest.approx(1 / 4)


@pytest.mark.parametrize("st", ["cf32", "cf64", "f32", "f64"])
def test_float_types_never_clip(tmp_path, st):
    with iqwriter.Writer(tmp_path / "f.raw", 1.0, sample_type=st, sidecar=False) as w:
        w.track_clipping()
        w.write(np.array([3 - 4j], np.complex64))
        assert not w.clipped and w.clip_fraction == 0.0
        assert w.peak_dbfs == pytest.approx(20 * math.log10(4))
    assert (tmp_path / "f.raw").read_bytes() == reference_payload(np.array([3 - 4j], np.complex64), st)


@pytest.mark.parametrize("st", ["cf32", "ci16", "f64"])
def test_headroom_gain(tmp_path, st):
    x = signal(64)
    g = math.exp(-0.05 * 6.0 * math.log(10))
    assert g == pytest.approx(0.501187, abs=1e-6)
    with iqwriter.Writer(tmp_path / "g.raw", 1.0, sample_type=st, headroom=6.0, sidecar=False) as w:
        w.write(x)
    assert (tmp_path / "g.raw").read_bytes() == reference_payload(x, st, gain=np.float32(g))


def csv_reference(x, st):
    g = np.ascontiguousarray(x, np.complex64)
    lines = []
    for v in g:
        comps = [float(v.real), float(v.imag)] if st.startswith("c") else [float(v.real)]
        e = elem(st)
        if e == "f32":
            lines.append(",".join("%0.9f" % c for c in comps))
        elif e == "f64":
            lines.append(",".join("%0.17g" % c for c in comps))
        else:
            q = [0 if math.isnan(c) else (FULL[st] if c > 1 else math.trunc(max(c, -1.0) * FULL[st])) for c in comps]
            lines.append(",".join("%d" % c for c in q))
    return "".join(line + "\n" for line in lines)


@pytest.mark.parametrize("st", TYPES)
def test_csv_lines(tmp_path, st):
    x = signal(40)
    x = x[~np.isnan(x.real) & ~np.isnan(x.imag)]  # C prints a negative NaN as "-nan"
    p = tmp_path / "c.csv"
    with iqwriter.Writer(p, 1.0, file_type="csv", sample_type=st, endian="be", sidecar=False) as w:
        assert w.write(x) == len(x)
    assert p.read_text() == csv_reference(x, st)


@pytest.mark.parametrize("st", ["cf32", "i16"])
def test_csv_long_block_equals_chunks(tmp_path, st):
    x = signal(9000)
    x = x[~np.isnan(x.real) & ~np.isnan(x.imag)]
    p, q = tmp_path / "whole.csv", tmp_path / "chunks.csv"
    with iqwriter.Writer(p, 1.0, file_type="csv", sample_type=st, sidecar=False) as w:
        assert w.write(x) == len(x)
    with iqwriter.Writer(q, 1.0, file_type="csv", sample_type=st, sidecar=False) as w:
        assert sum(w.write(x[i:i + 777]) for i in range(0, len(x), 777)) == len(x)
    assert p.read_text() == q.read_text() == csv_reference(x, st)


CSV_MEMORY = textwrap.dedent("""
    import resource
    import numpy as np
    from kolvane import iqwriter
    import sys
    x = np.zeros(1 << 20, np.complex64)
    w = iqwriter.Writer(sys.argv[1], 1.0, file_type="csv", sample_type="i8", sidecar=False)
    vm = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (vm + (48 << 20), resource.RLIM_INFINITY))
    print(w.write(x))
    w.close()
""")


@pytest.mark.skipif(os.environ.get("KOLVANE_UNDER_SANITIZER") == "1" or not os.path.exists("/proc/self/status"),
                    reason="needs an address-space limit, which the sanitizers' shadow memory defeats")
def test_csv_block_needs_no_buffer_of_its_own_size(tmp_path):
    # A million-sample block of one-character lines must not need a conversion
    # buffer sized for the longest possible line of every sample.
    p = tmp_path / "big.csv"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    r = subprocess.run([sys.executable, "-c", CSV_MEMORY, str(p)], capture_output=True, text=True, env=env,
                       timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == [str(1 << 20)]
    assert p.read_bytes() == b"0\n" * (1 << 20)


# ---------------------------------------------------------------------------- BLUE header and keywords


def test_blue_header_at_close(tmp_path):
    p = tmp_path / "h.blue"
    w = iqwriter.Writer(p, 2.4e6, file_type="blue", sample_type="ci16", total=5000, t0=10.0)
    f = parse_hcb(p.read_bytes())
    assert f["data_size"] == 5000 * 4  # the hint until close
    w.write(np.zeros(1024, np.complex64))
    w.close()
    b = p.read_bytes()
    f = parse_hcb(b)
    assert f["data_size"] == 1024 * 4 and f["data_start"] == 512.0 and f["detached"] == 0
    assert f["xdelta"] == 1 / 2.4e6 and f["timecode"] == 631152010.0
    assert (f["ext_start"], f["ext_size"], f["keylength"]) == (0, 0, 0)
    assert len(b) == 512 + 4096


@pytest.mark.parametrize("endian", ["le", "be"])
def test_blue_freq_keyword_twice(tmp_path, endian):
    p = tmp_path / "f.blue"
    with iqwriter.Writer(p, 1e6, file_type="blue", sample_type="cf32", endian=endian, fc=1.2e9) as w:
        w.write(np.ones(10, np.complex64))
    b = p.read_bytes()
    f = parse_hcb(b)
    o = ">" if endian == "be" else "<"
    item = b"FREQ=1200000000\0"
    assert f["keylength"] == len(item) and f["keywords"].startswith(item)
    end = 512 + 80
    assert f["ext_start"] == 2 and f["ext_size"] == 24 and f["data_size"] == 80
    assert b[end:1024] == bytes(1024 - end)
    assert b[1024:] == struct.pack(o + "ihBc", 24, 16, 4, b"D") + struct.pack(o + "d", 1.2e9) + b"FREQ" + bytes(4)


@pytest.mark.parametrize("fc,keyword", [(0.0, False), (2e6, False), (0.0, True)])
def test_empty_blue_capture_is_marked_closed(tmp_path, fc, keyword):
    # data_size 0 alone also means "still being written": ext_start marks the close.
    p = tmp_path / "e.blue"
    with iqwriter.Writer(p, 1e3, file_type="blue", fc=fc, total=100) as w:
        if keyword:
            w.add_keyword("NOTE", "D", 2.5)
    b = p.read_bytes()
    f = parse_hcb(b)
    ext_size = 24 if fc or keyword else 0
    assert (f["data_size"], f["ext_start"], f["ext_size"], len(b)) == (0, 1, ext_size, 512 + ext_size)
    assert [t for t, _, _ in walk_ext(b)] == (["FREQ"] if fc else ["NOTE"] if keyword else [])


def walk_ext(b):
    f = parse_hcb(b)
    o = ">" if f["head_rep"] == b"IEEE" else "<"
    pos, end, out = f["ext_start"] * 512, f["ext_start"] * 512 + f["ext_size"], []
    while pos < end:
        n, rest, tl, code = struct.unpack(o + "ihBc", b[pos:pos + 8])
        vlen = n - rest
        out.append((b[pos + 8 + vlen:pos + 8 + vlen + tl].decode(), code.decode(), b[pos + 8:pos + 8 + vlen]))
        pos += n
    assert pos == end
    return out


@pytest.mark.parametrize("endian", ["le", "be"])
def test_keywords_hcb_area_and_extended_header(tmp_path, endian):
    p = tmp_path / "k.blue"
    o = ">" if endian == "be" else "<"
    with iqwriter.Writer(p, 2.4e6, file_type="blue", sample_type="ci16", endian=endian) as w:
        w.add_keyword("CREATOR", "A", "kolvane")
        w.add_keyword("NAME", "A", "demo")
        w.write(np.zeros(3, np.complex64))
        w.add_keyword("X", "L", [1, 2, 3])
        w.add_keyword("Y", "D", 2.5)
        w.add_keyword("B8", "B", [255, -1, 256])  # low byte kept
        w.add_keyword("W", "X", np.int64(2**40 + 3))
        w.add_keyword("F1", "F", (0.25, 1))
        w.add_keyword("VER", "A", "x" * 90)  # does not fit the 92-byte area: extended header
    b = p.read_bytes()
    f = parse_hcb(b)
    assert f["keylength"] == len(b"CREATOR=kolvane\0")
    assert f["keywords"].startswith(b"CREATOR=kolvane\0\0")
    assert f["data_size"] == 12
    ext = walk_ext(b)
    assert [t for t, _, _ in ext] == ["NAME", "X", "Y", "B8", "W", "F1", "VER"]
    vals = {t: (c, v) for t, c, v in ext}
    assert vals["NAME"] == ("A", b"demo")
    assert struct.unpack(o + "3i", vals["X"][1]) == (1, 2, 3)
    assert struct.unpack(o + "d", vals["Y"][1]) == (2.5,)
    assert struct.unpack("3b", vals["B8"][1]) == (-1, -1, 0)
    assert struct.unpack(o + "q", vals["W"][1]) == (2**40 + 3,)
    assert struct.unpack(o + "2f", vals["F1"][1]) == (0.25, 1.0)
    assert vals["VER"] == ("A", b"x" * 90)


def test_hcb_area_fills_then_overflows(tmp_path):
    p = tmp_path / "a.blue"
    with iqwriter.Writer(p, 1.0, file_type="blue", fc=5.0) as w:  # "FREQ=5\0" takes 7
        w.add_keyword("IO", "A", "a" * 80)  # 7 + 2 + 80 + 2 = 91 <= 92
        with pytest.raises(ValueError, match="^add_keyword failed$"):
            w.add_keyword("IO", "A", "")  # count 0
        w.add_keyword("PACKET", "A", "p")  # 91 + 6 + 1 + 2 > 92: extended header instead
    b = p.read_bytes()
    f = parse_hcb(b)
    assert f["keylength"] == 7 + 84 and f["keywords"][:91] == b"FREQ=5\0IO=" + b"a" * 80 + b"\0"
    assert [(t, v) for t, _, v in walk_ext(b)] == [("FREQ", struct.pack("<d", 5.0)), ("PACKET", b"p")]


def test_hcb_area_value_with_nul_goes_to_extended_header(tmp_path):
    p = tmp_path / "n.blue"
    with iqwriter.Writer(p, 1.0, file_type="blue") as w:
        w.add_keyword("VER", "A", "1\x002")  # would be cut at the NUL when the area is read
        w.add_keyword("VER", "A", "3")
    b = p.read_bytes()
    assert parse_hcb(b)["keywords"].startswith(b"VER=3\0\0")
    assert walk_ext(b) == [("VER", "A", b"1\x002")]


def test_add_keyword_errors(tmp_path):
    w = iqwriter.Writer(tmp_path / "e.blue", 1.0, file_type="blue")
    with pytest.raises(TypeError, match="^value must be a str$"):
        w.add_keyword("T", "A", 5)
    with pytest.raises(ValueError, match="^unsupported code 'Q'$"):
        w.add_keyword("T", "Q", 5)
    with pytest.raises(ValueError, match="^value sequence is empty$"):
        w.add_keyword("T", "L", [])
    with pytest.raises(TypeError):
        w.add_keyword("T", "L", ["a"])
    with pytest.raises(ValueError, match="^add_keyword failed$"):
        w.add_keyword("T" * 256, "L", 1)
    with pytest.raises(ValueError, match="^add_keyword failed$"):
        w.add_keyword("", "L", 1)
    w.close()
    assert walk_ext((tmp_path / "e.blue").read_bytes()) == []
    r = iqwriter.Writer(tmp_path / "e.raw", 1.0)
    with pytest.raises(ValueError, match="^add_keyword failed$"):
        r.add_keyword("NAME", "A", "demo")
    r.close()


# ---------------------------------------------------------------------------- lifecycle and messages


def test_constructor_messages(tmp_path):
    p = tmp_path / "x"
    with pytest.raises(ValueError, match=r"^file_type must be one of \"raw\", \"csv\", \"blue\", \"sigmf\", got 'wav'$"):
        iqwriter.Writer(p, 1.0, file_type="wav")
    with pytest.raises(ValueError, match=r"^sample_type must be one of \"cf32\", \"cf64\", \"ci32\", \"ci16\", "
                                         r"\"ci8\", \"f32\", \"f64\", \"i32\", \"i16\", \"i8\", got 'cu8'$"):
        iqwriter.Writer(p, 1.0, sample_type="cu8")
    with pytest.raises(ValueError, match=r"^endian must be one of \"le\", \"be\", got 'big'$"):
        iqwriter.Writer(p, 1.0, endian="big")
    with pytest.raises(ValueError):
        iqwriter.Writer(p, 1.0, total=-1)
    assert not p.exists()
    with pytest.raises(OSError, match=r"^cannot open the capture for writing: .*sigmf-meta pair found by name$"):
        iqwriter.Writer(tmp_path / "x.raw.sigmf", 1.0, file_type="sigmf")
    with pytest.raises(OSError, match="^cannot open the capture for writing"):
        iqwriter.Writer(tmp_path / "no" / "dir.raw", 1.0)
    with pytest.raises(OSError, match="^cannot open the capture for writing"):
        iqwriter.Writer(tmp_path / "nan.raw", 1.0, headroom=float("nan"))
    with pytest.raises(OSError, match="^cannot open the capture for writing"):
        iqwriter.Writer(tmp_path / "loud.raw", 1.0, headroom=-800.0)  # a gain beyond any float
    assert sorted(os.listdir(tmp_path)) == []


def test_destroyed_and_idempotent_close(tmp_path):
    w = iqwriter.Writer(str(tmp_path / "d.raw"), 1.0, sidecar=False)
    w.close()
    w.close()
    w.destroy()
    for call in (lambda: w.write([1j]), w.flush, lambda: w.add_keyword("A", "A", "b"), w.track_clipping,
                 lambda: w.peak_dbfs, lambda: w.clipped, lambda: w.clip_fraction):
        with pytest.raises(RuntimeError, match="^destroyed$"):
            call()
    with iqwriter.Writer(tmp_path / "e.raw", 1.0, sidecar=False) as w2:
        pass
    with pytest.raises(RuntimeError, match="^destroyed$"):
        w2.write([0j])


def test_write_converts_inputs(tmp_path):
    p = tmp_path / "l.raw"
    with iqwriter.Writer(p, 1.0, sidecar=False) as w:
        assert w.write([1, 0.5j]) == 2
        assert w.write(np.array([[0.25, 0.5]], np.float32)) == 2
        with pytest.raises(TypeError):
            w.write(np.zeros(2, np.complex128))
    assert np.array_equal(np.fromfile(p, np.complex64), [1, 0.5j, 0.25, 0.5])


@pytest.mark.parametrize("ft,sidecar,meta", [
    ("raw", True, "cap.raw.sigmf-meta"), ("csv", True, "cap.raw.sigmf-meta"), ("raw", False, None),
    ("blue", True, None),
])
def test_sidecar(tmp_path, ft, sidecar, meta):
    with iqwriter.Writer(tmp_path / "cap.raw", 1e3, file_type=ft, sample_type="ci8", sidecar=sidecar) as w:
        w.write([0.5j])
    names = sorted(os.listdir(tmp_path))
    assert names == sorted(["cap.raw"] + ([meta] if meta else []))
    if meta:
        text = (tmp_path / meta).read_text()
        assert text.startswith('{"global":{"core:datatype":"ci8","core:sample_rate":1000,')


def test_metadata_name_too_long_is_refused(tmp_path):
    d = tmp_path
    while len(str(d)) + 151 < 1000:
        d = d / ("d" * 150)
    d.mkdir(parents=True, exist_ok=True)
    path = d / ("x" * (1019 - len(str(d)) - 1))
    assert len(str(path)) == 1019
    # The raw capture itself is fine without a sidecar ...
    with iqwriter.Writer(path, 1.0, sidecar=False) as w:
        w.write([0j])
    os.unlink(path)
    # ... but its metadata name would need 1030 characters: refused before anything is created.
    with pytest.raises(OSError, match="^cannot open the capture for writing"):
        iqwriter.Writer(path, 1.0, sidecar=True)
    assert os.listdir(d) == []


def test_caller_stream_is_flushed_not_closed(tmp_path):
    libc = ctypes.CDLL(None)
    libc.fopen.restype = ctypes.c_void_p
    libc.fopen.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    libc.fwrite.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_size_t, ctypes.c_void_p]
    libc.fclose.argtypes = [ctypes.c_void_p]
    LIB.iqwriter_open.restype = ctypes.c_void_p
    LIB.iqwriter_open.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_uint64,
                                  ctypes.c_double, ctypes.c_double, ctypes.c_double]
    LIB.iqwriter_write.restype = ctypes.c_size_t
    LIB.iqwriter_write.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
    LIB.iqwriter_close.argtypes = [ctypes.c_void_p]
    p = tmp_path / "s.blue"
    f = libc.fopen(str(p).encode(), b"wb")
    assert LIB.iqwriter_open(None, 2, 3, 0, 0, 1.0, 0.0, 0.0) is None
    assert LIB.iqwriter_open(f, 4, 3, 0, 0, 1.0, 0.0, 0.0) is None
    assert LIB.iqwriter_open(f, 2, 10, 0, 0, 1.0, 0.0, 0.0) is None
    w = LIB.iqwriter_open(f, 2, 3, 0, 0, 1.0, 0.0, 0.0)
    x = np.array([0.5, -0.5j], np.complex64)
    assert LIB.iqwriter_write(w, x.ctypes.data, 2) == 2
    assert LIB.iqwriter_close(w) == 0
    assert libc.fwrite(b"TAIL", 1, 4, f) == 4  # still open
    assert libc.fclose(f) == 0
    b = p.read_bytes()
    assert parse_hcb(b)["data_size"] == 8 and b[512:520] == reference_payload(x, "ci16") and b[520:] == b"TAIL"
    assert LIB.iqwriter_close(None) == 0


# ---------------------------------------------------------------------------- failures of the stream

SHORT_WRITE = textwrap.dedent("""
    import resource, signal, sys
    import numpy as np
    from kolvane import iqwriter
    path, ft, st, limit = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    w = iqwriter.Writer(path, 1.0, file_type=ft, sample_type=st, sidecar=False)
    w.add_keyword("NAME", "A", "x") if ft == "blue" else None
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    x = (np.arange(1000) % 7 / 8).astype(np.complex64) * (1 + 1j)
    n1 = w.write(x)
    n2 = w.write(x)
    try:
        w.flush()
        print("flush ok")
    except OSError as e:
        print(e)
    try:
        w.close()
        print("close ok")
    except OSError as e:
        print(e)
    print(n1, n2)
""")


@pytest.mark.parametrize("ft,st,limit", [("blue", "ci16", 512 + 1003), ("raw", "cf64", 1001), ("csv", "cf32", 777)])
def test_short_write_stays_on_sample_boundary(tmp_path, ft, st, limit):
    p = tmp_path / "short.cap"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    r = subprocess.run([sys.executable, "-c", SHORT_WRITE, str(p), ft, st, str(limit)], capture_output=True,
                       text=True, env=env, timeout=60)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0] == "flush failed (rc=-1)"
    assert lines[1] == ("failed to finalise the capture: the trailing header patch or extended header was not "
                        "written")
    n1, n2 = map(int, lines[2].split())
    assert 0 < n1 < 1000 and n2 == 0
    assert_first_samples_landed(p, ft, st, n1)



def assert_first_samples_landed(p, ft, st, n1):
    """The file holds exactly the first n1 samples of the short-write scripts' block, whole."""
    b = p.read_bytes()
    x = (np.arange(1000) % 7 / 8).astype(np.complex64) * (1 + 1j)
    if ft == "csv":
        assert b.decode() == csv_reference(x[:n1], st)
        return
    if ft == "blue":
        assert parse_hcb(b)["data_size"] == n1 * 4
        b = b[512:]
    assert b == reference_payload(x[:n1], st)


CALLER_STREAM_SHORT_WRITE = textwrap.dedent("""
    import ctypes, resource, signal, sys
    import numpy as np
    from kolvane import iqwriter
    LIB = ctypes.CDLL(iqwriter.__file__)
    libc = ctypes.CDLL(None)
    libc.fopen.restype = ctypes.c_void_p
    libc.fopen.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    libc.fclose.argtypes = [ctypes.c_void_p]
    LIB.iqwriter_open.restype = ctypes.c_void_p
    LIB.iqwriter_open.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_uint64,
                                  ctypes.c_double, ctypes.c_double, ctypes.c_double]
    LIB.iqwriter_write.restype = ctypes.c_size_t
    LIB.iqwriter_write.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
    LIB.iqwriter_close.argtypes = [ctypes.c_void_p]
    path, ft, st, limit = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    f = libc.fopen(path.encode(), b"wb")  # fully buffered, unlike the writer's own stream
    w = LIB.iqwriter_open(f, ft, st, 0, 0, 1.0, 0.0, 0.0)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    x = (np.arange(1000) % 7 / 8).astype(np.complex64) * (1 + 1j)
    n1 = LIB.iqwriter_write(w, x.ctypes.data, 1000)
    n2 = LIB.iqwriter_write(w, x.ctypes.data, 1000)
    print(n1, n2, LIB.iqwriter_close(w), libc.fclose(f))
""")


@pytest.mark.parametrize("ft,st,limit", [("blue", "ci16", 1515), ("raw", "ci16", 3001), ("raw", "cf32", 5001),
                                         ("csv", "cf32", 3001)])
def test_short_write_on_a_buffered_caller_stream(tmp_path, ft, st, limit):
    # fwrite on a buffered stream accepts bytes that may never reach the file:
    # the count must be what landed, and the file must end on a sample boundary.
    p = tmp_path / "caller.cap"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    code = ["raw", "csv", "blue"].index(ft)
    r = subprocess.run([sys.executable, "-c", CALLER_STREAM_SHORT_WRITE, str(p), str(code), str(TYPES.index(st)),
                        str(limit)], capture_output=True, text=True, env=env, timeout=60)
    assert r.returncode == 0, r.stderr
    n1, n2, rc, _ = map(int, r.stdout.split())
    assert 0 < n1 < 1000 and n2 == 0 and rc == -1
    assert_first_samples_landed(p, ft, st, n1)


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
@pytest.mark.parametrize("keyword,ok", [(False, True), (True, False)])
def test_blue_on_a_pipe(tmp_path, keyword, ok):
    fifo, out = tmp_path / "pipe", tmp_path / "out"
    os.mkfifo(fifo)
    with open(out, "wb") as sink:
        cat = subprocess.Popen(["cat", str(fifo)], stdout=sink)
        try:
            w = iqwriter.Writer(fifo, 1.0, file_type="blue", sample_type="ci8", total=3, fc=7.0)
            if keyword:
                w.add_keyword("NAME", "A", "lost")
            assert w.write(np.array([0.5, 0.25, 1j], np.complex64)) == 3
            if ok:
                w.close()
            else:
                with pytest.raises(OSError, match="^failed to finalise the capture"):
                    w.close()
        finally:
            cat.wait(timeout=10)
    b = out.read_bytes()
    assert len(b) == 512 + 6 and parse_hcb(b)["data_size"] == 6  # the hint stays: nothing can be patched
    assert b[512:] == bytes([63, 0, 31, 0, 0, 127])


# ---------------------------------------------------------------------------- the order of the close


class CookieFile:
    """A stdio stream (glibc fopencookie) over a bytearray that logs every write
    with its offset, so the order of the writer's close can be observed."""

    WRITE = ctypes.CFUNCTYPE(ctypes.c_ssize_t, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t)
    SEEK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(ctypes.c_int64), ctypes.c_int)

    class Funcs(ctypes.Structure):
        _fields_ = [("read", ctypes.c_void_p), ("write", ctypes.c_void_p), ("seek", ctypes.c_void_p),
                    ("close", ctypes.c_void_p)]

    def __init__(self, seekable=True, room=None):
        self.data, self.pos, self.log, self.seekable, self.room = bytearray(), 0, [], seekable, room
        self._w = self.WRITE(self._write)
        self._s = self.SEEK(self._seek)
        funcs = self.Funcs(None, ctypes.cast(self._w, ctypes.c_void_p), ctypes.cast(self._s, ctypes.c_void_p), None)
        self.libc = ctypes.CDLL(None)
        self.libc.fopencookie.restype = ctypes.c_void_p
        self.libc.fopencookie.argtypes = [ctypes.c_void_p, ctypes.c_char_p, self.Funcs]
        self.libc.fclose.argtypes = [ctypes.c_void_p]
        self.f = self.libc.fopencookie(None, b"w", funcs)
        assert self.f

    def _write(self, _cookie, buf, size):
        if self.room is not None:  # a device that takes `room` bytes, then fails
            size = min(size, self.room)
            self.room -= size
            if size == 0:
                return -1
        b = ctypes.string_at(buf, size)
        self.log.append((self.pos, b))
        end = self.pos + size
        if len(self.data) < end:
            self.data.extend(bytes(end - len(self.data)))
        self.data[self.pos:end] = b
        self.pos = end
        return size

    def _seek(self, _cookie, off, whence):
        if not self.seekable:
            return -1
        base = {0: 0, 1: self.pos, 2: len(self.data)}[whence]
        self.pos = base + off[0]
        off[0] = self.pos
        return 0

    def close(self):
        return self.libc.fclose(self.f)


def open_on(stream, ft=2, st=0, fc=0.0):
    LIB.iqwriter_open.restype = ctypes.c_void_p
    LIB.iqwriter_open.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_uint64,
                                  ctypes.c_double, ctypes.c_double, ctypes.c_double]
    LIB.iqwriter_write.restype = ctypes.c_size_t
    LIB.iqwriter_write.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
    LIB.iqwriter_add_keyword.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char, ctypes.c_void_p,
                                         ctypes.c_size_t]
    LIB.iqwriter_close.argtypes = [ctypes.c_void_p]
    w = LIB.iqwriter_open(stream.f, ft, st, 0, 0, 1e3, fc, 0.0)
    assert w
    return w


def test_header_lands_before_anything_is_appended():
    s = CookieFile()
    w = open_on(s, fc=2e6)
    x = np.full(100, 0.5 + 0.5j, np.complex64)
    assert LIB.iqwriter_write(w, x.ctypes.data, 100) == 100
    assert LIB.iqwriter_add_keyword(w, b"NAME", b"A", b"demo", 4) == 0
    assert LIB.iqwriter_close(w) == 0
    end = 512 + 800
    appended = [i for i, (pos, b) in enumerate(s.log) if pos + len(b) > end]
    for off, value in ((40, struct.pack("<d", 800.0)), (24, struct.pack("<ii", 3, 24 + 16))):
        patch = next(i for i, (pos, b) in enumerate(s.log) if pos <= off < pos + len(b) and i > 0)
        assert appended and patch < min(appended)
        assert s.log[patch][1][off - s.log[patch][0]:][:len(value)] == value
    assert s.close() == 0
    f = parse_hcb(bytes(s.data))
    assert f["data_size"] == 800 and f["ext_start"] == 3
    assert [t for t, _, _ in walk_ext(bytes(s.data))] == ["FREQ", "NAME"]


@pytest.mark.parametrize("keyword,rc", [(False, 0), (True, -1)])
def test_unseekable_stream_reports_lost_keywords(keyword, rc):
    s = CookieFile(seekable=False)
    w = open_on(s, fc=2e6)
    x = np.zeros(4, np.complex64)
    assert LIB.iqwriter_write(w, x.ctypes.data, 4) == 4
    if keyword:
        assert LIB.iqwriter_add_keyword(w, b"NAME", b"A", b"demo", 4) == 0
    assert LIB.iqwriter_close(w) == rc
    assert s.close() == 0
    assert len(s.data) == 512 + 32  # header and samples, nothing appended


def test_buffered_stream_failures_are_seen_at_once():
    # The header is flushed at open, so a stream that cannot take it fails the open.
    s = CookieFile(room=100)
    LIB.iqwriter_open.restype = ctypes.c_void_p
    LIB.iqwriter_open.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_uint64,
                                  ctypes.c_double, ctypes.c_double, ctypes.c_double]
    assert LIB.iqwriter_open(s.f, 2, 0, 0, 0, 1e3, 0.0, 0.0) is None
    s.close()
    # A block that a buffered stream accepts but cannot write is not counted.
    s = CookieFile(seekable=False, room=512 + 80 + 3)
    w = open_on(s)
    x = np.full(10, 0.5, np.complex64)
    assert LIB.iqwriter_write(w, x.ctypes.data, 10) == 10
    assert LIB.iqwriter_write(w, x.ctypes.data, 10) == 0
    assert LIB.iqwriter_close(w) == -1
    s.close()
    assert bytes(s.data[512:]) == x.tobytes() + x.tobytes()[:3]  # the partial sample could not be taken back


def test_peak_and_clips_count_only_what_was_written():
    # A block the stream refuses is not in the capture: it must not raise the
    # peak or the clip count (which would push the clip fraction past 1).
    LIB.iqwriter_track_clipping.argtypes = [ctypes.c_void_p, ctypes.c_int]
    LIB.iqwriter_clip_fraction.restype = ctypes.c_double
    LIB.iqwriter_clip_fraction.argtypes = [ctypes.c_void_p]
    LIB.iqwriter_peak.restype = ctypes.c_double
    LIB.iqwriter_peak.argtypes = [ctypes.c_void_p]
    s = CookieFile(seekable=False, room=512 + 40)
    w = open_on(s, st=3)  # ci16
    LIB.iqwriter_track_clipping(w, 1)
    ok = np.array([0.5, 1.5, 0.25, 0.5j] + [0.0] * 6, np.complex64)
    assert LIB.iqwriter_write(w, ok.ctypes.data, 10) == 10
    loud = np.full(10, 4 + 4j, np.complex64)
    assert LIB.iqwriter_write(w, loud.ctypes.data, 10) == 0
    assert LIB.iqwriter_peak(w) == 1.5
    assert LIB.iqwriter_clip_fraction(w) == 1 / 20
    assert LIB.iqwriter_close(w) == -1
    s.close()
