"""ctypes access to the stream transport cores in kolvane.iqsink, and a pure-Python
model of the frame layout (an independent reader and writer of frames)."""

import ctypes
import importlib.util
import struct

import numpy as np

import kolvane.iqsink  # noqa: F401  (importing adopts the process-wide interrupt state)

lib = ctypes.CDLL(importlib.util.find_spec("kolvane.iqsink").origin)

P = ctypes.c_void_p
SZ = ctypes.c_size_t
I64 = ctypes.c_int64
U64 = ctypes.c_uint64
D = ctypes.c_double
INT = ctypes.c_int

HDR = struct.Struct("<8s4sHHHHIQQddQ")
EXT = struct.Struct("<IIQQ")
FIELDS = ("magic", "byte_order", "sample_type", "kind", "version", "flags", "payload_bytes", "seq",
          "timestamp_ns", "fs", "fc", "num_samples")
EXT_FIELDS = ("frag_index", "frag_count", "total_bytes", "frag_offset")

# Wire type name -> (format code, numpy dtype of one element, elements per sample).
TYPES = {
    "cf32": (0x4643, np.float32, "CF32"),
    "cf64": (0x4443, np.float64, "CF64"),
    "ci32": (0x4C43, np.int32, "CI32"),
    "ci16": (0x4943, np.int16, "CI16"),
    "ci8": (0x4243, np.int8, "CI8"),
}
ELEM = {0x4643: 8, 0x4443: 16, 0x4C43: 8, 0x4943: 4, 0x4243: 2}

SX_ERR_SEND, SX_ERR_RECV, SX_ERR_INVALID, SX_ERR_TIMEOUT = -2, -3, -4, -5
SX_ERR_TOO_BIG, SX_ERR_INTERRUPTED, SX_ERR_CLOSED, SX_ERR_EOF = -7, -8, -9, -10


class FrameHeader(ctypes.Structure):
    _fields_ = [("magic", ctypes.c_char * 8), ("byte_order", ctypes.c_char * 4), ("sample_type", ctypes.c_uint16),
                ("kind", ctypes.c_uint16), ("version", ctypes.c_uint16), ("flags", ctypes.c_uint16),
                ("payload_bytes", ctypes.c_uint32), ("seq", U64), ("timestamp_ns", U64), ("fs", D), ("fc", D),
                ("num_samples", U64)]

    def as_dict(self):
        return {f: getattr(self, f) for f in FIELDS}


class FragExt(ctypes.Structure):
    _fields_ = [("frag_index", ctypes.c_uint32), ("frag_count", ctypes.c_uint32), ("total_bytes", U64),
                ("frag_offset", U64)]


def _sig(name, restype, *argtypes):
    f = getattr(lib, name)
    f.restype = restype
    f.argtypes = list(argtypes)
    return f


HP = ctypes.POINTER(FrameHeader)
sx_frame_parse = _sig("sx_frame_parse", INT, ctypes.c_char_p, SZ, HP, ctypes.POINTER(FragExt), ctypes.POINTER(INT),
                      ctypes.POINTER(P), ctypes.POINTER(SZ))
sx_element_size = _sig("sx_element_size", SZ, ctypes.c_uint16, ctypes.c_uint16)
sx_mean_power = _sig("sx_mean_power", D, ctypes.c_uint16, P, SZ)
sx_msg_mean_power = _sig("sx_msg_mean_power", D, P)
sx_host_rep = _sig("sx_host_rep", ctypes.c_char_p)
sx_get_timestamp_ns = _sig("sx_get_timestamp_ns", U64)
sx_msg_data = _sig("sx_msg_data", P, P)
sx_msg_size = _sig("sx_msg_size", SZ, P)
sx_msg_num_samples = _sig("sx_msg_num_samples", U64, P)
sx_msg_kind = _sig("sx_msg_kind", INT, P)
sx_msg_sample_type = _sig("sx_msg_sample_type", INT, P)
sx_msg_ack = _sig("sx_msg_ack", INT, P)
sx_msg_free = _sig("sx_msg_free", None, P)
sx_reasm_create = _sig("sx_reasm_create", P, I64)
sx_reasm_destroy = _sig("sx_reasm_destroy", None, P)
sx_reasm_pending = _sig("sx_reasm_pending", SZ, P)
sx_reasm_abandoned = _sig("sx_reasm_abandoned", U64, P)
sx_reasm_push = _sig("sx_reasm_push", INT, P, ctypes.c_char_p, ctypes.c_char_p, SZ, ctypes.POINTER(P), HP)

tlm_create = _sig("sx_tlm_create", P, SZ)
tlm_destroy = _sig("sx_tlm_destroy", None, P)
tlm_probe = _sig("sx_tlm_probe", INT, P, ctypes.c_char_p, ctypes.c_uint32)
tlm_set_now = _sig("sx_tlm_set_now", None, P, U64)
tlm_emit_checked = _sig("sx_tlm_emit_checked", INT, P, INT, D)
tlm_sink_open = _sig("sx_tlm_sink_open", P, ctypes.c_char_p)
tlm_sink_pump = _sig("sx_tlm_sink_pump", I64, P, P)
tlm_sink_sent = _sig("sx_tlm_sink_sent", U64, P)
tlm_sink_close = _sig("sx_tlm_sink_close", None, P)

sink_open = _sig("wfm_stream_sink_open", P, ctypes.c_char_p, INT)
sink_set_gain = _sig("wfm_stream_sink_set_gain", INT, P, D)
sink_send = _sig("wfm_stream_sink_send", INT, P, P, SZ, D, D)
sink_peak = _sig("wfm_stream_sink_peak", D, P)
sink_close = _sig("wfm_stream_sink_close", None, P)

ROLES = ("pub", "sub", "push", "pull", "req", "rep")
create = {
    "pub": _sig("sx_pub_create", P, ctypes.c_char_p, ctypes.c_uint16),
    "tlm": _sig("sx_pub_create_tlm", P, ctypes.c_char_p),
    "sub": _sig("sx_sub_create", P, ctypes.c_char_p),
    "push": _sig("sx_push_create", P, ctypes.c_char_p, ctypes.c_uint16),
    "pull": _sig("sx_pull_create", P, ctypes.c_char_p),
    "req": _sig("sx_req_create", P, ctypes.c_char_p),
    "rep": _sig("sx_rep_create", P, ctypes.c_char_p),
}
destroy = {r: _sig(f"sx_{r}_destroy", None, P) for r in ROLES}
destroy["tlm"] = destroy["pub"]
send = {(r, t): _sig(f"sx_{r}_send_{t}", INT, P, P, SZ, D, D) for r in ("pub", "push", "req", "rep") for t in TYPES}
send_tlm16 = _sig("sx_pub_send_tlm16", INT, P, P, SZ, D, D)
send_eos = _sig("sx_pub_send_eos", INT, P)
set_timestamp = _sig("sx_ctx_set_timestamp_ns", None, P, U64)
recv = {r: _sig(name, INT, P, ctypes.POINTER(P), HP) for r, name in
        (("sub", "sx_sub_recv"), ("pull", "sx_pull_recv"), ("req", "sx_req_recv_signal"), ("rep", "sx_rep_recv_signal"))}
raw_send = {r: _sig(f"sx_{r}_send", INT, P, ctypes.c_char_p, SZ) for r in ("req", "rep")}
raw_recv = {r: _sig(f"sx_{r}_recv", INT, P, ctypes.POINTER(P), ctypes.POINTER(SZ)) for r in ("req", "rep")}
set_timeout = {r: _sig(f"sx_{r}_set_timeout", INT, P, I64) for r in ("sub", "pull", "req", "rep")}
flush = _sig("sx_pub_flush", INT, P, I64)
drain = _sig("sx_stream_drain", INT, P, I64)
max_payload = _sig("sx_stream_max_payload", I64, P)
pending_frames = _sig("sx_stream_pending_frames", SZ, P)
interrupt = _sig("sx_stream_interrupt", None)
resume = _sig("sx_stream_resume", None)


def build_frame(kind=0, sample_type=0x4643, payload=b"", seq=0, ts=0, fs=0.0, fc=0.0, num_samples=None,
                ext=None, **over):
    """Frame bytes written field by field; `over` replaces any header field."""
    f = dict(magic=b"SXSTREAM", byte_order=b"EEEI", sample_type=sample_type if kind == 0 else 0, kind=kind,
             version=2, flags=1 if ext is not None else 0, payload_bytes=len(payload), seq=seq, timestamp_ns=ts,
             fs=fs, fc=fc, num_samples=num_samples)
    if f["num_samples"] is None:
        e = 16 if kind == 1 else ELEM.get(sample_type, 0) if kind == 0 else 0
        f["num_samples"] = len(payload) // e if e else 0
    f.update(over)
    head = HDR.pack(*(f[k] for k in FIELDS))
    return head + (EXT.pack(*ext) if ext is not None else b"") + bytes(payload)


def parse_frame(data):
    """(header dict, extension dict or None, payload bytes) read with struct."""
    h = dict(zip(FIELDS, HDR.unpack_from(data, 0)))
    if h["flags"] & 1:
        x = dict(zip(EXT_FIELDS, EXT.unpack_from(data, 64)))
        return h, x, bytes(data[88:])
    return h, None, bytes(data[64:])


def c_parse(data):
    """sx_frame_parse on bytes: (rc, header dict, has_ext, payload bytes)."""
    h, x, has, p, n = FrameHeader(), FragExt(), INT(), P(), SZ()
    rc = sx_frame_parse(data, len(data), ctypes.byref(h), ctypes.byref(x), ctypes.byref(has), ctypes.byref(p),
                        ctypes.byref(n))
    return rc, h.as_dict(), has.value, (ctypes.string_at(p.value, n.value) if rc == 0 and n.value else b"")


def msg_bytes(m):
    n = sx_msg_size(m)
    return ctypes.string_at(sx_msg_data(m), n) if n else b""


class Ctx:
    """One transport context; destroyed on close()."""

    def __init__(self, role, endpoint, sample_type="cf32"):
        self.role = role
        ep = endpoint.encode()
        if role in ("pub", "push"):
            self.h = create[role](ep, TYPES[sample_type][0] if sample_type in TYPES else sample_type)
        else:
            self.h = create[role](ep)
        if not self.h:
            raise OSError(f"sx_{role}_create failed for {endpoint!r}")

    def send(self, samples, wire="cf32", fs=0.0, fc=0.0, role=None):
        a = np.ascontiguousarray(samples, dtype=TYPES[wire][1])
        role = role or ("pub" if self.role == "tlm" else self.role)
        return send[(role, wire)](self.h, a.ctypes.data, a.size // 2, fs, fc)

    def recv(self):
        """(rc, header dict or None, payload bytes, kind, sample type, num_samples)."""
        m, h = P(), FrameHeader()
        rc = recv[self.role](self.h, ctypes.byref(m), ctypes.byref(h))
        if rc != 0:
            assert not m.value
            return rc, (h.as_dict() if rc == SX_ERR_EOF else None), b"", None, None, None
        out = (rc, h.as_dict(), msg_bytes(m.value), sx_msg_kind(m.value), sx_msg_sample_type(m.value),
               sx_msg_num_samples(m.value))
        if self.role == "pull":
            assert sx_msg_ack(m.value) == 0
        sx_msg_free(m.value)
        return out

    def timeout(self, ms):
        assert set_timeout[self.role](self.h, ms) == 0

    def close(self):
        if self.h:
            destroy[self.role](self.h)
            self.h = None
