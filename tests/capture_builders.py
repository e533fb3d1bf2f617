"""Hand-built capture files for the reader tests: BLUE header control blocks,
extended-header keyword entries and wire payloads, written independently of
the capture writer so that the byte layout itself is under test."""

import struct

import numpy as np

# name -> (format letters, numpy element type, complex, integer full scale or None)
WIRE = {
    "cf32": ("CF", "f4", True, None),
    "cf64": ("CD", "f8", True, None),
    "ci32": ("CL", "i4", True, 2147483647),
    "ci16": ("CI", "i2", True, 32767),
    "ci8": ("CB", "i1", True, 127),
    "f32": ("SF", "f4", False, None),
    "f64": ("SD", "f8", False, None),
    "i32": ("SL", "i4", False, 2147483647),
    "i16": ("SI", "i2", False, 32767),
    "i8": ("SB", "i1", False, 127),
}
SAMPLE_TYPES = list(WIRE)


def dtype(stype, endian="le"):
    return np.dtype(("<" if endian == "le" else ">") + WIRE[stype][1])


def stride(stype):
    _, el, cplx, _ = WIRE[stype]
    return np.dtype(el).itemsize * (2 if cplx else 1)


def hcb(stype="cf32", endian="le", data_start=512.0, data_size=0.0, xdelta=0.0, timecode=0.0, detached=0,
        ext_start=0, ext_size=0, keywords=b"", keylength=None, fmt=None, version=b"BLUE"):
    """A 512-byte type-1000 header control block."""
    e = "<" if endian == "le" else ">"
    rep = b"EEEI" if endian == "le" else b"IEEE"
    h = bytearray(512)
    h[0:4] = version
    h[4:8] = rep
    h[8:12] = rep
    struct.pack_into(e + "iiiii", h, 12, detached, 0, 0, ext_start, ext_size)
    struct.pack_into(e + "dd", h, 32, data_start, data_size)
    struct.pack_into(e + "i", h, 48, 1000)
    h[52:54] = fmt if fmt is not None else WIRE[stype][0].encode()
    struct.pack_into(e + "d", h, 56, timecode)
    struct.pack_into(e + "i", h, 160, len(keywords) if keylength is None else keylength)
    h[164:164 + len(keywords)] = keywords
    struct.pack_into(e + "ddi", h, 256, 0.0, xdelta, 1)
    return bytes(h)


KW_CODES = {"A": "s", "B": "b", "I": "h", "L": "i", "T": "i", "X": "q", "F": "f", "D": "d"}


def kw_entry(tag, code, values, endian="le"):
    """One extended-header entry: prefix, value, tag, zero padding to 8 bytes."""
    e = "<" if endian == "le" else ">"
    if code == "A":
        value = values.encode() if isinstance(values, str) else bytes(values)
    else:
        vals = values if isinstance(values, (list, tuple)) else [values]
        value = struct.pack(e + KW_CODES[code] * len(vals), *vals)
    t = tag.encode()
    body = len(t) + len(value)
    pad = (-body) % 8
    length = body + pad + 8
    return struct.pack(e + "ihBc", length, length - len(value), len(t), code.encode()) + value + t + b"\0" * pad


def payload(x, stype, endian="le"):
    """Unit-scale complex samples quantised the writer's way, as wire bytes."""
    _, el, cplx, fs = WIRE[stype]
    x = np.asarray(x, dtype=np.complex128)
    comps = np.stack([x.real, x.imag], axis=-1).reshape(-1) if cplx else x.real
    if fs is not None:
        comps = np.where(comps > 1, fs, np.trunc(np.maximum(comps, -1.0) * fs))
    return comps.astype(dtype(stype, endian)).tobytes()


def expected(raw_bytes, stype, endian="le"):
    """Independent model of the reader: wire bytes -> complex64 at unit scale."""
    _, el, cplx, fs = WIRE[stype]
    n = len(raw_bytes) // stride(stype)
    v = np.frombuffer(raw_bytes[: n * stride(stype)], dtype=dtype(stype, endian)).astype(np.float64)
    if fs is not None:
        v = v * (1.0 / fs)
    v = v.astype(np.float32)
    out = np.zeros(n, dtype=np.complex64)
    if cplx:
        out.real = v[0::2]
        out.imag = v[1::2]
    else:
        out.real = v
    return out


def blue_file(path, x=None, stype="cf32", endian="le", raw=None, ext=b"", **hdr):
    """A closed attached BLUE capture (data_size set, extended header after the payload)."""
    data = raw if raw is not None else payload(x, stype, endian)
    tail = b""
    if ext:
        end = 512 + len(data)
        pad = (-end) % 512
        tail = b"\0" * pad + ext
        hdr.setdefault("ext_start", (end + pad) // 512)
        hdr.setdefault("ext_size", len(ext))
    hdr.setdefault("data_size", float(len(data)))
    with open(path, "wb") as f:
        f.write(hcb(stype, endian, **hdr) + data + tail)
    return data
