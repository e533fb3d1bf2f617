"""ctypes access to the wfm cores that have no Python type of their own."""

import ctypes

import numpy as np

from kolvane import wfm

from ctypes_lib import P, SZ, declarer, ptr  # noqa: F401 (the wfm tests use C.P, C.SZ, C.ptr)

lib = ctypes.CDLL(wfm.__file__)
_sig = declarer(lib)


awgn_create = _sig("awgn_create", P, ctypes.c_uint64, ctypes.c_float)
awgn_destroy = _sig("awgn_destroy", None, P)
awgn_reset = _sig("awgn_reset", None, P)
awgn_reseed = _sig("awgn_reseed", None, P, ctypes.c_uint64)
awgn_get_amplitude = _sig("awgn_get_amplitude", ctypes.c_float, P)
awgn_set_amplitude = _sig("awgn_set_amplitude", None, P, ctypes.c_float)
awgn_state_bytes = _sig("awgn_state_bytes", SZ, P)
awgn_get_state = _sig("awgn_get_state", None, P, P)
awgn_set_state = _sig("awgn_set_state", ctypes.c_int, P, P)
awgn_generate_raw = _sig("awgn_generate", SZ, P, SZ, P, SZ)
awgn_generate_max_out = _sig("awgn_generate_max_out", SZ, P)
awgn_oneshot = _sig("awgn", ctypes.c_int, ctypes.c_uint64, SZ, P, ctypes.c_float)

lo_create = _sig("lo_create", P, ctypes.c_double)
lo_init = _sig("lo_init", ctypes.c_int, P, ctypes.c_double)
lo_destroy = _sig("lo_destroy", None, P)
lo_reset = _sig("lo_reset", None, P)
lo_get_norm_freq = _sig("lo_get_norm_freq", ctypes.c_double, P)
lo_set_norm_freq = _sig("lo_set_norm_freq", ctypes.c_int, P, ctypes.c_double)
lo_get_phase = _sig("lo_get_phase", ctypes.c_uint32, P)
lo_set_phase = _sig("lo_set_phase", None, P, ctypes.c_uint32)
lo_get_phase_inc = _sig("lo_get_phase_inc", ctypes.c_uint32, P)
lo_state_bytes = _sig("lo_state_bytes", SZ, P)
lo_get_state = _sig("lo_get_state", None, P, P)
lo_set_state = _sig("lo_set_state", ctypes.c_int, P, P)
lo_steps_raw = _sig("lo_steps", SZ, P, SZ, P, SZ)
lo_steps_ctrl_raw = _sig("lo_steps_ctrl", SZ, P, P, SZ, P, SZ)
lo_steps_max_out = _sig("lo_steps_max_out", SZ, P)
lo_steps_ctrl_max_out = _sig("lo_steps_ctrl_max_out", SZ, P)
lo_mix_input = _sig("lo_mix_input", None, P, ctypes.c_uint32, P, P, SZ)

wfm_polyphase_bank = _sig("wfm_polyphase_bank", None, P, SZ, SZ, SZ, P)
wfm_rrc_polyphase_bank = _sig("wfm_rrc_polyphase_bank", ctypes.c_int, ctypes.c_int, ctypes.c_int, P, ctypes.c_double)
wfm_rrc_taps = _sig("wfm_rrc_taps", ctypes.c_double, ctypes.c_int, ctypes.c_int, P, ctypes.c_double)


def awgn_generate(h, n, capacity=None):
    out = np.full(n, np.nan + 0j, np.complex64)
    got = awgn_generate_raw(h, n, ptr(out), n if capacity is None else capacity)
    return out[:got], got


def lo_steps(h, n):
    out = np.empty(n, np.complex64)
    assert lo_steps_raw(h, n, ptr(out), n) == n
    return out


def get_state(h, nbytes_fn, get_fn):
    blob = (ctypes.c_uint8 * nbytes_fn(h))()
    get_fn(h, blob)
    return bytes(blob)


def set_state(h, set_fn, blob):
    buf = (ctypes.c_uint8 * len(blob)).from_buffer_copy(blob)
    return set_fn(h, buf)


class Handle:
    """Owns one core handle for the duration of a with-block."""

    def __init__(self, h, destroy):
        assert h, "create returned NULL"
        self.h, self._destroy = h, destroy

    def __enter__(self):
        return self.h

    def __exit__(self, *exc):
        self._destroy(self.h)

synth_create = _sig(
    "wfm_synth_create", P, ctypes.c_int, ctypes.c_int, ctypes.c_uint32, ctypes.c_int, ctypes.c_int, ctypes.c_uint64,
    ctypes.c_double, ctypes.c_double, ctypes.c_double, ctypes.c_double, ctypes.c_int,
)
synth_destroy = _sig("wfm_synth_destroy", None, P)
synth_steps_raw = _sig("wfm_synth_steps", None, P, P, SZ)
synth_noise_steps_raw = _sig("wfm_synth_noise_steps", None, P, P, SZ)
synth_reseed_noise = _sig("wfm_synth_reseed_noise", None, P, ctypes.c_uint64)
synth_set_dsss_chips = _sig("wfm_synth_set_dsss_chips", ctypes.c_int, P, P, SZ)
synth_set_chirp_span = _sig("wfm_synth_set_chirp_span", None, P, ctypes.c_uint64)
synth_set_symbols = _sig("wfm_synth_set_symbols", ctypes.c_int, P, P, SZ)
synth_set_rrc = _sig("wfm_synth_set_rrc", ctypes.c_int, P, P, SZ)


def synth(type_, snr_mode=0, seed=0, sps=1, pn_length=7, pn_poly=0, fs=1.0, freq=0.0, snr=100.0, f_end=0.0, lfsr=0):
    return Handle(synth_create(type_, snr_mode, seed, sps, pn_length, pn_poly, fs, freq, snr, f_end, lfsr), synth_destroy)


def synth_steps(h, n, noise_only=False):
    out = np.empty(n, np.complex64)
    (synth_noise_steps_raw if noise_only else synth_steps_raw)(h, ptr(out), n)
    return out

U64 = ctypes.c_uint64
frame_dsss_nchips = _sig("wfm_frame_dsss_nchips", U64, U64, U64, U64, U64, U64, ctypes.c_int)
frame_dsss_chips_raw = _sig("wfm_frame_dsss_chips", U64, P, U64, U64, P, U64, P, U64, P, U64, ctypes.c_int, P)
cont_dsss_chips_raw = _sig("wfm_cont_dsss_chips", U64, P, U64, P, U64, U64, P, ctypes.c_double, ctypes.POINTER(U64))
interleave_raw = _sig("wfm_interleave", ctypes.c_int, P, U64, ctypes.c_uint32, ctypes.c_uint32)
deinterleave_raw = _sig("wfm_deinterleave", ctypes.c_int, P, U64, ctypes.c_uint32, ctypes.c_uint32)


def frame_dsss_chips(acq, reps, data, sync, payload, crc):
    """The burst of [sync | payload | CRC] as uint8 chips (empty when refused)."""
    acq, data, sync, payload = (np.ascontiguousarray(a, np.uint8) for a in (acq, data, sync, payload))
    n = frame_dsss_nchips(len(acq), reps, len(data), len(sync), len(payload), crc)
    out = np.full(n, 9, np.uint8)
    got = frame_dsss_chips_raw(ptr(acq), len(acq), reps, ptr(data), len(data), ptr(sync), len(sync), ptr(payload),
                               len(payload), crc, ptr(out))
    assert got == n
    return out


def cont_dsss_chips(code, payload, n, cps):
    """(chips, symbol index of the last chip), or (None, None) when refused."""
    code, payload = np.ascontiguousarray(code, np.uint8), np.ascontiguousarray(payload, np.uint8)
    out, last = np.zeros(max(n, 1), np.uint8), U64(0)
    got = cont_dsss_chips_raw(ptr(code), len(code), ptr(payload), len(payload), n, ptr(out), cps, ctypes.byref(last))
    return (out[:got], last.value) if got else (None, None)
dsss_desc_chips_raw = _sig("wfm_dsss_desc_chips", U64, P, P, P, U64, U64, P, U64, P, U64)
frame_wire_bits = _sig("wfm_frame_wire_bits", U64, P, P)
