"""ctypes access to the rate-conversion cores in the resample module's shared
object (the stages, the AGC and the RateConverter), for the tests of those
cores and of what the Python types do not reach."""

import ctypes as C

import numpy as np

from kolvane import resample

from ctypes_lib import CF32, P, SZ, declarer, ptr  # noqa: F401 (names the rate tests import from here)

LIB = C.CDLL(resample.__file__)
I = C.c_int
D = C.c_double
U32 = C.c_uint32
fn = declarer(LIB)


class Core:
    """A core block owned by the test: prefix_{destroy,reset,state_bytes,get_state,set_state}."""

    def __init__(self, prefix, handle):
        assert handle, prefix + " create returned NULL"
        self.prefix = prefix
        self.h = handle
        self._destroy = fn(prefix + "_destroy", None, P)
        self._reset = fn(prefix + "_reset", None, P)
        self._bytes = fn(prefix + "_state_bytes", SZ, P)
        self._get = fn(prefix + "_get_state", None, P, P)
        self._set = fn(prefix + "_set_state", I, P, P)

    def call(self, name, res, *args, argtypes=None):
        f = fn(self.prefix + "_" + name, res, P, *(argtypes or []))
        return f(self.h, *args)

    def reset(self):
        self._reset(self.h)

    def state(self):
        buf = np.zeros(self._bytes(self.h), np.uint8)
        self._get(self.h, ptr(buf))
        return bytes(buf)

    def restore(self, blob):
        buf = np.frombuffer(bytes(blob), np.uint8).copy()
        return self._set(self.h, ptr(buf))

    def close(self):
        if self.h:
            self._destroy(self.h)
            self.h = None


hb_create = fn("hbdecim_create", P, SZ, P)
hb_execute = fn("hbdecim_execute", SZ, P, P, SZ, P, SZ)
hb_r2c_create = fn("hbdecim_r2c_create", P, SZ, P)
hb_r2c_execute = fn("hbdecim_r2c_execute", SZ, P, P, SZ, P, SZ)
hb_q15_create = fn("hbdecim_q15_create", P, SZ, P)
hb_q15_execute = fn("hbdecim_q15_execute", SZ, P, P, SZ, P, SZ)
cic_create = fn("cic_create", P, U32)
cic_decimate = fn("cic_decimate", SZ, P, P, SZ, P, SZ)
ciccompmf_c = fn("ciccompmf", None, P, C.c_uint, C.c_uint, C.c_uint)
farrow_create = fn("farrow_create", P, I)
farrow_delay = fn("farrow_delay", SZ, P, P, SZ, P, SZ, D)
agc_create = fn("agc_create", P, D, D, D)
agc_steps = fn("agc_steps", SZ, P, P, P, SZ)
agc_step = fn("agc_step", CF32, P, CF32)
agc_settling = fn("agc_settling_samples", SZ, D, D, D, D)
rc_create = fn("RateConverter_create", P, I, D)
rc_create_matched = fn("RateConverter_create_matched", P, I, I, SZ, SZ, D, D, D)
rc_execute = fn("RateConverter_execute", SZ, P, P, SZ, P, SZ)
rc_execute_ctrl = fn("RateConverter_execute_ctrl", SZ, P, P, SZ, P, SZ, D)
rc_push_tap = fn("RateConverter_execute_ctrl_push_tap", SZ, P, P, SZ, CF32, D, P, P)
rc_outputs = fn("RateConverter_execute_outputs", SZ, P, SZ, SZ)
rc_ctrl_outputs = fn("RateConverter_execute_ctrl_outputs", SZ, P, SZ, D, SZ)
rc_label = fn("RateConverter_stages_value", C.c_char_p, P, I)
rc_num_stages = fn("RateConverter_num_stages", I, P)
tlm_create = fn("sx_tlm_create", P, SZ)
tlm_destroy = fn("sx_tlm_destroy", None, P)
tlm_read = fn("sx_tlm_read", SZ, P, SZ, P, SZ)
tlm_probe_name = fn("sx_tlm_probe_name", C.c_char_p, P, I)
tlm_probe_count = fn("sx_tlm_probe_count", SZ, P)

RECORD = np.dtype({"names": ["n", "value", "probe", "flags"], "formats": [np.uint64, np.float32, np.uint16, np.uint16],
                   "offsets": [0, 8, 12, 14], "itemsize": 16})


def tlm_records(ctx):
    out = np.zeros(4096, RECORD)
    n = tlm_read(ctx, 0, ptr(out), out.size)
    return out[:n]


def crandn(rng, n, scale=1.0):
    return (scale * (rng.standard_normal(n) + 1j * rng.standard_normal(n))).astype(np.complex64)


def halfband(n, taps):
    return Core("hbdecim", hb_create(n, ptr(np.ascontiguousarray(taps, np.float32))))


def run_hb(core, x, cap=None):
    out = np.zeros(x.size // 2 + 2 if cap is None else cap, np.complex64)
    m = hb_execute(core.h, ptr(x), x.size, ptr(out), out.size)
    return out[:m]


def run_cic(core, x):
    out = np.zeros(x.size + 1, np.complex64)
    m = cic_decimate(core.h, ptr(x), x.size, ptr(out), out.size)
    return out[:m]


def ciccompmf(N, R, M):
    out = np.zeros(max(M, 1))
    ciccompmf_c(ptr(out), N, R, M)
    return out[:M]


def converter(rate, compensate=0):
    return Core("RateConverter", rc_create(compensate, rate))


def matched(rate, pulse=1, span=8, num_phases=1024, beta=0.35, pulse_sps=2.0, compensate=1):
    return Core("RateConverter", rc_create_matched(compensate, pulse, span, num_phases, rate, beta, pulse_sps))


def labels(core):
    return [rc_label(core.h, i).decode() for i in range(rc_num_stages(core.h))]


def rc_run(core, x, ctrl=None):
    n = rc_outputs(core.h, x.size, 1 << 30) if ctrl is None else rc_ctrl_outputs(core.h, x.size, ctrl, 1 << 30)
    out = np.zeros(n + 1, np.complex64)
    if ctrl is None:
        m = rc_execute(core.h, ptr(x), x.size, ptr(out), out.size)
    else:
        m = rc_execute_ctrl(core.h, ptr(x), x.size, ptr(out), out.size, ctrl)
    assert m == n
    return out[:m]


def rc_push(core, x, ctrl=0.0, cap=8):
    """Pushes one sample; returns (outputs, tap or None)."""
    out = np.zeros(cap, np.complex64)
    tap = np.zeros(2, np.float32)
    valid = C.c_int(-1)
    m = rc_push_tap(core.h, ptr(out), cap, CF32(float(np.real(x)), float(np.imag(x))), ctrl, ptr(tap),
                    C.cast(C.pointer(valid), P))
    return out[:m], (complex(tap[0], tap[1]) if valid.value else None)
