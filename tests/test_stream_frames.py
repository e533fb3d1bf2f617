"""Stream frames without a server: layout, validation of malformed frames,
reassembly keyed by sender, mean power."""

import ctypes
import struct

import numpy as np
import pytest

import stream_ctypes as sc
from stream_ctypes import SX_ERR_INVALID, build_frame, c_parse

CF = 0x4643
GOOD = build_frame(payload=np.arange(2000, dtype=np.float32).tobytes(), seq=7, ts=5, fs=1e6, fc=2e9)


def test_good_frame_layout_round_trips():
    rc, h, has_ext, payload = c_parse(GOOD)
    assert (rc, has_ext, len(GOOD)) == (0, 0, 64 + 8000)
    assert (h["payload_bytes"], h["num_samples"], h["seq"], h["timestamp_ns"], h["fs"], h["fc"]) == (
        8000, 1000, 7, 5, 1e6, 2e9)
    assert payload == GOOD[64:]
    assert sc.sx_host_rep() == b"EEEI"


def _patch(data, off, fmt, value):
    b = bytearray(data)
    struct.pack_into(fmt, b, off, value)
    return bytes(b)


# Every entry must be refused with SX_ERR_INVALID (and never read past the bytes given).
MALFORMED = {
    "truncated by one": GOOD[:-1],
    "one byte more": GOOD + b"\0",
    "shorter than a header": GOOD[:63],
    "empty": b"",
    "bad magic": b"SXSTREAX" + GOOD[8:],
    "big-endian tag": GOOD[:8] + b"IEEE" + GOOD[12:],
    "version 1": _patch(GOOD, 16, "<H", 1),
    "flags 2": _patch(GOOD, 18, "<H", 2),
    "flags 1 and 80 bytes": build_frame(payload=b"\0" * 16, ext=(0, 1, 16, 0))[:80],
    "payload_bytes too large": _patch(GOOD, 20, "<I", 8008),
    "num_samples wraps onto the length": _patch(GOOD, 56, "<Q", 1000 + (1 << 61)),
    "num_samples off by one": _patch(GOOD, 56, "<Q", 999),
    "unknown sample type": _patch(GOOD, 12, "<H", 0x5858),
    "unknown kind": _patch(GOOD, 14, "<H", 3),
    "eos with num_samples 1": build_frame(kind=2, num_samples=1),
    "eos with payload": build_frame(kind=2, payload=b"\0" * 8, num_samples=0),
    "eos with sample type": _patch(build_frame(kind=2), 12, "<H", CF),
    "telemetry not a multiple of 16": build_frame(kind=1, payload=b"\0" * 40, num_samples=2),
    "partial cf32 sample": build_frame(payload=b"\0" * 12, num_samples=1),
}


@pytest.mark.parametrize("name", MALFORMED)
def test_malformed_frames_are_invalid(name):
    assert c_parse(MALFORMED[name])[0] == SX_ERR_INVALID


@pytest.mark.parametrize("kind,sample_type,n,elem", [(0, CF, 1000, 8), (0, 0x4243, 3, 2), (1, 0, 3, 16), (2, 0, 0, 0)])
def test_valid_kinds_and_element_sizes(kind, sample_type, n, elem):
    f = build_frame(kind=kind, sample_type=sample_type, payload=b"\x01" * (n * elem))
    rc, h, _, payload = c_parse(f)
    assert rc == 0 and h["num_samples"] == n and len(payload) == n * elem
    assert sc.sx_element_size(kind, sample_type) == elem
    assert len(build_frame(kind=2)) == 64


@pytest.mark.parametrize("wire,sample,power", [("ci8", (127, -127), 2.0), ("cf32", (3, 4), 25.0),
                                               ("ci16", (32767, 0), 1.0), ("cf64", (0.5, 0.5), 0.5)])
def test_mean_power(wire, sample, power):
    code, dtype, _ = sc.TYPES[wire]
    a = np.array(sample, dtype=dtype)
    assert sc.sx_mean_power(code, a.ctypes.data, 1) == pytest.approx(power, rel=1e-12)
    assert sc.sx_mean_power(0x4653, a.ctypes.data, 1) == 0.0 and sc.sx_mean_power(code, a.ctypes.data, 0) == 0.0


def _fragments(payload, chunk, seq=1, ts=9, kind=0, sample_type=CF):
    total = len(payload)
    count = -(-total // chunk)
    return [build_frame(kind=kind, sample_type=sample_type, payload=payload[i * chunk:(i + 1) * chunk], seq=seq, ts=ts,
                        ext=(i, count, total, i * chunk)) for i in range(count)]


class Reasm:
    def __init__(self, max_payload=88 + 64):
        self.h = sc.sx_reasm_create(max_payload)

    def push(self, frame, key=b"iq.a.CF32"):
        m, h = sc.P(), sc.FrameHeader()
        rc = sc.sx_reasm_push(self.h, key, frame, len(frame), ctypes.byref(m), ctypes.byref(h))
        if rc == 1:
            data = sc.msg_bytes(m.value)
            n = sc.sx_msg_num_samples(m.value)
            sc.sx_msg_free(m.value)
            return rc, data, n, h.as_dict()
        assert not m.value
        return rc, None, None, None

    def close(self):
        sc.sx_reasm_destroy(self.h)


@pytest.fixture
def reasm():
    r = Reasm()
    yield r
    r.close()


PAYLOAD = np.arange(2 * 37, dtype=np.float32).tobytes()  # 37 cf32 samples, 5 fragments of 64 bytes


@pytest.mark.parametrize("order", [[0, 1, 2, 3, 4], [4, 3, 2, 1, 0], [1, 0, 3, 2, 4], [2, 2, 0, 4, 1, 3]])
def test_reassembly_in_any_order_with_repeats(reasm, order):
    frags = _fragments(PAYLOAD, 64)
    results = [reasm.push(frags[i]) for i in order]
    assert [r[0] for r in results] == [0] * (len(order) - 1) + [1]
    _, data, n, h = results[-1]
    assert data == PAYLOAD and n == 37
    assert (h["flags"], h["payload_bytes"], h["num_samples"], h["seq"], h["timestamp_ns"]) == (0, len(PAYLOAD), 37, 1, 9)
    assert sc.sx_reasm_pending(reasm.h) == 0


def test_duplicate_fragment_does_not_complete(reasm):
    a, b = _fragments(PAYLOAD[:128], 64)
    assert reasm.push(a)[0] == 0 and reasm.push(a)[0] == 0
    assert sc.sx_reasm_pending(reasm.h) == 1
    assert reasm.push(b)[:2] == (1, PAYLOAD[:128])


def test_other_senders_do_not_disturb_a_frame_in_progress(reasm):
    mine = _fragments(PAYLOAD, 64, seq=3, ts=100)
    theirs = _fragments(PAYLOAD[::-1], 64, seq=3, ts=200)  # same seq, another sender
    tlm = _fragments(b"\x07" * 96, 64, seq=3, ts=100, kind=1)  # telemetry on the same endpoint
    assert reasm.push(mine[0])[0] == 0
    assert reasm.push(theirs[1])[0] == 0
    assert reasm.push(tlm[0], key=b"iq.a.TLM16")[0] == 0
    for f in mine[1:-1]:
        assert reasm.push(f)[0] == 0
    assert reasm.push(mine[-1])[:2] == (1, PAYLOAD)
    assert sc.sx_reasm_pending(reasm.h) == 2


def _frag(payload=b"\0" * 64, idx=0, count=2, total=128, off=0, **kw):
    return build_frame(payload=payload, seq=1, ts=9, ext=(idx, count, total, off), **kw)


# Fragments that must be refused, each after a good fragment 0 of a two-fragment frame is in progress.
BAD_FRAGMENTS = {
    "offset past the end": _frag(off=1 << 63, idx=1),
    "offset plus length wraps": _frag(off=(1 << 64) - 32, idx=1),
    "length beyond total": _frag(off=96, idx=1),
    "index not below count": _frag(idx=2, off=64),
    "count disagrees": _frag(idx=1, count=3, off=64, total=128),
    "total disagrees": _frag(idx=1, total=192, off=64),
    "kind disagrees": build_frame(kind=1, payload=b"\0" * 64, seq=1, ts=9, ext=(1, 2, 128, 64)),
    "type disagrees": build_frame(sample_type=0x4943, payload=b"\0" * 64, seq=1, ts=9, ext=(1, 2, 128, 64)),
    "overlaps the first": _frag(payload=b"\0" * 32, idx=1, off=32),
    "offset not on a sample": _frag(payload=b"\0" * 8, idx=1, off=68),
    "count zero": _frag(idx=0, count=0),
    "total not a multiple of the sample": _frag(idx=1, total=130, off=64),
    "total beyond count times max fragment": _frag(idx=1, count=2, total=1 << 20, off=64),
    "total beyond 32 bits": _frag(idx=1, count=1 << 31, total=1 << 33, off=64),
    "no extension": build_frame(payload=b"\0" * 64),
}


@pytest.mark.parametrize("name", BAD_FRAGMENTS)
def test_bad_fragments_are_refused_and_keep_the_frame(reasm, name):
    first = _frag(payload=PAYLOAD[:64])
    assert reasm.push(first)[0] == 0
    assert reasm.push(BAD_FRAGMENTS[name])[0] == SX_ERR_INVALID
    rc, data, n, _ = reasm.push(_frag(payload=PAYLOAD[64:128], idx=1, off=64))
    assert (rc, data, n) == (1, PAYLOAD[:128], 16)


def test_oldest_unfinished_frame_gives_way(reasm):
    frags = [_fragments(PAYLOAD, 64, seq=s) for s in range(9)]
    for f in frags:
        assert reasm.push(f[0])[0] == 0
    assert (sc.sx_reasm_pending(reasm.h), sc.sx_reasm_abandoned(reasm.h)) == (8, 1)
    for f in frags[0][1:]:  # seq 0 was given up: its rest starts a frame of its own
        assert reasm.push(f)[0] == 0
    for f in frags[8][1:-1]:
        assert reasm.push(f)[0] == 0
    assert reasm.push(frags[8][-1])[:2] == (1, PAYLOAD)
