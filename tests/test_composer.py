"""Composer and drawing: the stateless draw against an independent Python
reference, span layout, and the SigMF annotations built from segments. Segment
and description records are packed here byte by byte at their documented offsets."""
import ctypes
import json
import math
import struct

import numpy as np
import pytest

from kolvane import iqwriter

LIB = ctypes.CDLL(iqwriter.__file__)
LIB.wfm_draw_range.restype = ctypes.c_double
LIB.wfm_draw_range.argtypes = [ctypes.c_uint32, ctypes.c_uint64, ctypes.c_uint64, ctypes.c_uint64, ctypes.c_uint64,
                               ctypes.c_uint32, ctypes.c_double, ctypes.c_double]
LIB.wfm_draw_samples.restype = ctypes.c_uint64
LIB.wfm_draw_samples.argtypes = [ctypes.c_uint32, ctypes.c_uint64, ctypes.c_uint64, ctypes.c_uint64, ctypes.c_uint32,
                                 ctypes.c_uint64, ctypes.c_uint64]
LIB.wfm_compose_spans.restype = ctypes.c_uint64
LIB.wfm_compose_spans.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p, ctypes.c_size_t]
LIB.wfm_sigmf_meta_json.restype = ctypes.c_void_p
LIB.wfm_sigmf_meta_json.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_double,
                                    ctypes.c_double, ctypes.c_double]
LIB.wfm_sigmf_meta_free.argtypes = [ctypes.c_void_p]

M64 = (1 << 64) - 1


def ref_draw_range(seed, stream, k1, k2, k3, salt, lo, hi):
    key = ((k3 << 16) ^ (salt << 8) ^ (k2 << 40) ^ (k1 << 48) ^ (stream << 32) ^ (seed * 0xD1B54A32D192ED03)) & M64
    x = (key + 0x9E3779B97F4A7C15) & M64
    x ^= x >> 30
    x = (x * 0xBF58476D1CE4E5B9) & M64
    x ^= x >> 27
    x = (x * 0x94D049BB133111EB) & M64
    x ^= x >> 31
    return lo + float(x >> 11) * ((hi - lo) * 2.0**-53)


def ref_draw_samples(seed, stream, k1, k2, salt, lo, hi):
    return int(ref_draw_range(seed, stream, k1, k2, 0, salt, float(lo), float(hi)) + 0.5)


def test_draw_range_matches_reference():
    rng = np.random.default_rng(11)
    for _ in range(500):
        seed = int(rng.integers(0, 2**32))
        stream, k1, k2, k3 = (int(v) for v in rng.integers(0, 2**63, 4, dtype=np.uint64))
        salt = int(rng.integers(0, 256))
        lo, hi = sorted(float(v) for v in rng.uniform(-1e6, 1e6, 2))
        got = LIB.wfm_draw_range(seed, stream, k1, k2, k3, salt, lo, hi)
        assert got == ref_draw_range(seed, stream, k1, k2, k3, salt, lo, hi)
        assert lo <= got < hi or lo == hi


def test_draw_edges():
    assert LIB.wfm_draw_range(1, 2, 3, 4, 5, 6, 7.5, 7.5) == 7.5
    vals = {LIB.wfm_draw_samples(9, 0, j, 0, 16, 0, 1) for j in range(200)}
    assert vals == {0, 1}
    for j in range(200):
        assert LIB.wfm_draw_samples(9, 0, j, 3, 16, 100, 200) == ref_draw_samples(9, 0, j, 3, 16, 100, 200)
    # Reversed bounds stay defined and never wrap to enormous counts.
    assert LIB.wfm_draw_samples(1, 0, 0, 0, 16, 200, 0) <= 200


def desc(type_=3, freq=0.0, snr=10.0, snr_mode=0, seed=1, sps=4, pn_length=7, pn_poly=0x89, chirp_end=0.0,
         dsss_rate=0.0, dsss_data=0):
    b = bytearray(280)
    struct.pack_into("<i", b, 0, type_)
    struct.pack_into("<ddiIiiQ", b, 8, freq, snr, snr_mode, seed, sps, pn_length, pn_poly)
    struct.pack_into("<d", b, 72, chirp_end)
    struct.pack_into("<di", b, 240, dsss_rate, dsss_data)
    return bytes(b)


class Segments:
    """Packed segment records plus the description arrays they point at."""

    def __init__(self, segs):
        self._keep = []
        raw = b""
        for s in segs:
            d = s.get("descs", [])
            buf = ctypes.create_string_buffer(b"".join(d), max(1, 280 * len(d)))
            self._keep.append(buf)
            ptr = ctypes.addressof(buf) if d else 0
            raw += struct.pack("<QQdQQI4xQQQQQ8x", ptr, len(d), s.get("fs", 1e6), s.get("burst", 0),
                               s.get("tail", 0), s.get("flags", 0), s.get("burst_hi", 0), s.get("tail_hi", 0),
                               s.get("reps", 0), s.get("lead", 0), s.get("lead_hi", 0))
        assert len(raw) == 96 * len(segs)
        self.buf = ctypes.create_string_buffer(raw, max(1, len(raw)))
        self.n = len(segs)

    def spans(self, cap=None):
        total = LIB.wfm_compose_spans(self.buf, self.n, None, 0)
        cap = total if cap is None else cap
        out = ctypes.create_string_buffer(b"\xff" * (48 * (cap + 1)), 48 * (cap + 1))
        assert LIB.wfm_compose_spans(self.buf, self.n, out, cap) == total
        spans = [struct.unpack_from("<6Q", out.raw, 48 * i) for i in range(cap)]
        assert out.raw[48 * cap:] == b"\xff" * 48  # nothing past the capacity
        return total, spans

    def meta(self, fs=0.0, fc=0.0):
        p = LIB.wfm_sigmf_meta_json(0, 0, self.buf, self.n, fs, fc, 0.0)
        assert p
        try:
            return json.loads(ctypes.string_at(p))
        finally:
            LIB.wfm_sigmf_meta_free(p)


def test_single_span():
    assert Segments([{"burst": 100}]).spans() == (1, [(0, 0, 0, 0, 100, 0)])
    assert LIB.wfm_compose_spans(None, 0, None, 0) == 0


def test_spans_tile_and_truncate_to_capacity():
    segs = Segments([{"burst": 10, "tail": 5, "lead": 2, "reps": 3}, {"burst": 7, "reps": 2, "tail": 1}])
    total, spans = segs.spans()
    assert total == 5
    assert spans == [(0, 0, 0, 2, 10, 5), (0, 1, 17, 2, 10, 5), (0, 2, 34, 2, 10, 5), (1, 0, 51, 0, 7, 1),
                     (1, 1, 59, 0, 7, 1)]
    assert segs.spans(cap=4) == (5, spans[:4])
    assert segs.spans(cap=0) == (5, [])


@pytest.mark.parametrize("flag,salt,field", [(0x10, 16, 4), (0x20, 32, 5), (0x40, 64, 3)])
def test_drawn_lengths(flag, salt, field):
    def make(seed):
        return Segments([
            {"descs": [desc(seed=seed)], "burst": 100, "burst_hi": 200, "tail": 100, "tail_hi": 200, "lead": 100,
             "lead_hi": 200, "flags": flag, "reps": 40},
            {"burst": 100, "burst_hi": 200, "tail": 100, "tail_hi": 200, "lead": 100, "lead_hi": 200,
             "flags": flag, "reps": 3},
        ])

    total, spans = make(1234).spans()
    assert total == 43
    offset = 0
    for sp in spans:
        i, j = sp[0], sp[1]
        seed = 1234 if i == 0 else 1  # a segment without descriptions draws with seed 1
        assert sp[field] == ref_draw_samples(seed, 0, j, i, salt, 100, 200)
        assert 100 <= sp[field] <= 200
        assert all(sp[f] == 100 for f in (3, 4, 5) if f != field)
        assert sp[2] == offset
        offset += sp[3] + sp[4] + sp[5]
    assert make(1234).spans() == (total, spans)
    other = make(99).spans()[1]
    assert [s[field] for s in other[:40]] != [s[field] for s in spans[:40]]
    assert [s[3:] for s in other[40:]] == [s[3:] for s in spans[40:]]  # second segment draws with seed 1


def test_huge_repetition_count_is_only_counted():
    segs = Segments([{"burst": 1, "reps": 2**50}, {"burst": 2, "reps": 3}])
    total, spans = segs.spans(cap=2)
    assert total == 2**50 + 3 and spans == [(0, 0, 0, 0, 1, 0), (0, 1, 1, 0, 1, 0)]


def test_annotations():
    segs = Segments([
        {"fs": 1e6, "burst": 100, "tail": 50, "lead": 10, "reps": 2,
         "descs": [desc(type_=3, freq=1000.0, sps=4, snr=12.5, snr_mode=2, seed=7),
                   desc(type_=5, freq=-2000.0, chirp_end=-5000.0, snr_mode=9)]},
        {"fs": 1e6, "burst": 20, "descs": [desc(type_=8, sps=0, dsss_rate=1200.0, dsss_data=1, snr_mode=3),
                                            desc(type_=42, sps=2), desc(type_=0, sps=8, freq=5.0)]},
        {"fs": 1e6, "burst": 30},  # no descriptions: no annotation
    ])
    d = segs.meta(fc=1e9)
    assert d["global"]["core:sample_rate"] == 1e6  # the segments' common rate
    ann = d["annotations"]
    assert len(ann) == 2 * 2 + 3
    common = {"tessel:pn_length": 7, "tessel:pn_poly": 0x89}
    assert ann[0] == {"core:sample_start": 10, "core:sample_count": 100, "core:freq_lower_edge": 1e9 + 1000 - 125000,
                      "core:freq_upper_edge": 1e9 + 1000 + 125000, "core:label": "bpsk", "tessel:snr": 12.5,
                      "tessel:snr_mode": "ebno", "tessel:sps": 4, "tessel:seed": 7, **common}
    assert ann[1]["core:label"] == "chirp" and "tessel:snr_mode" not in ann[1]
    assert (ann[1]["core:freq_lower_edge"], ann[1]["core:freq_upper_edge"]) == (1e9 - 5000, 1e9 - 2000)
    assert ann[2]["core:sample_start"] == 160 + 10 and ann[3]["core:sample_start"] == 170
    assert ann[4]["core:sample_start"] == 320 and ann[4]["core:label"] == "dsss"
    assert ann[4]["tessel:symbol_rate"] == 1200.0 and ann[4]["tessel:data"] == "none"
    assert ann[4]["core:freq_lower_edge"] == ann[4]["core:freq_upper_edge"] == 1e9
    assert "core:label" not in ann[5] and ann[5]["core:freq_upper_edge"] - 1e9 == 250000
    assert ann[6]["core:label"] == "tone" and ann[6]["core:freq_lower_edge"] == ann[6]["core:freq_upper_edge"]
    assert list(ann[0])[:4] == ["core:sample_start", "core:sample_count", "core:freq_lower_edge",
                                "core:freq_upper_edge"]


@pytest.mark.parametrize("rates,fs,expect", [([1e6, 2e6], 0.0, None), ([1e6, 1e6], 0.0, 1e6),
                                             ([1e6, 2e6], 5e5, 5e5), ([math.nan, math.nan], 0.0, None)])
def test_rate_from_segments(rates, fs, expect):
    d = Segments([{"fs": r, "burst": 1} for r in rates]).meta(fs=fs)
    assert d["global"].get("core:sample_rate") == expect


def test_annotation_leaves_out_non_finite_numbers():
    segs = Segments([{"fs": 1e6, "burst": 10, "descs": [desc(type_=3, snr=math.nan, freq=math.inf)]}])
    (a,) = segs.meta(fc=1e9)["annotations"]
    assert a == {"core:sample_start": 0, "core:sample_count": 10, "core:label": "bpsk", "tessel:snr_mode": "auto",
                 "tessel:sps": 4, "tessel:seed": 1, "tessel:pn_length": 7, "tessel:pn_poly": 0x89}
