"""C peers for the kernel benchmarks, reached through ctypes: liquid-dsp
(resamp_crcf, firfilt_crcf, nco_crcf with msresamp_crcf), VOLK (the
complex rotator) and libfec (the K=7 rate-1/2 Viterbi decoder). `make bench`
installs them from Debian (scripts/bench-deps.sh, scripts/setup.sh); a missing
library gives None, and the benchmark says so instead of failing."""

import ctypes as C
import ctypes.util

import numpy as np

P = C.c_void_p
U = C.c_uint


def _load(name):
    path = ctypes.util.find_library(name)
    if path is None:
        return None
    try:
        return C.CDLL(path)
    except OSError:
        return None


class LV32fc(C.Structure):
    """VOLK's lv_32fc_t (a complex float): passed by value like a pair of floats."""

    _fields_ = [("re", C.c_float), ("im", C.c_float)]


def ptr(a):
    return a.ctypes.data_as(P)


class Liquid:
    """liquid-dsp's arbitrary resampler and FIR filter on complex64 data."""

    def __init__(self):
        lib = _load("liquid")
        self.ok = lib is not None
        if not self.ok:
            return
        self.lib = lib
        lib.resamp_crcf_create.restype = P
        lib.resamp_crcf_create.argtypes = [C.c_float, U, C.c_float, C.c_float, U]
        lib.resamp_crcf_execute_block.argtypes = [P, P, U, P, C.POINTER(U)]
        lib.resamp_crcf_reset.argtypes = [P]
        lib.resamp_crcf_destroy.argtypes = [P]
        lib.firfilt_crcf_create.restype = P
        lib.firfilt_crcf_create.argtypes = [P, U]
        lib.firfilt_crcf_execute_block.argtypes = [P, P, U, P]
        lib.firfilt_crcf_destroy.argtypes = [P]
        lib.nco_crcf_create.restype = P
        lib.nco_crcf_create.argtypes = [C.c_int]
        lib.nco_crcf_reset.argtypes = [P]
        lib.nco_crcf_set_frequency.argtypes = [P, C.c_float]
        lib.nco_crcf_mix_block_down.argtypes = [P, P, P, U]
        lib.nco_crcf_destroy.argtypes = [P]
        lib.msresamp_crcf_create.restype = P
        lib.msresamp_crcf_create.argtypes = [C.c_float, C.c_float]
        lib.msresamp_crcf_execute.argtypes = [P, P, U, P, C.POINTER(U)]
        lib.msresamp_crcf_reset.argtypes = [P]
        lib.msresamp_crcf_destroy.argtypes = [P]

    def resampler(self, rate, m, fc, atten=60.0, npfb=64):
        """resamp_crcf with filter semi-length m (2m taps per branch)."""
        lib = self.lib
        q = lib.resamp_crcf_create(rate, m, fc, atten, npfb)
        ny = U(0)

        def run(x, y):
            lib.resamp_crcf_execute_block(q, ptr(x), x.size, ptr(y), C.byref(ny))
            return ny.value

        return run, lambda: lib.resamp_crcf_reset(q), lambda: lib.resamp_crcf_destroy(q)

    def firfilt(self, taps):
        """firfilt_crcf over real float32 taps: run(x, y) filters x into y."""
        h = np.ascontiguousarray(taps, np.float32)
        q = self.lib.firfilt_crcf_create(ptr(h), h.size)
        lib = self.lib

        def run(x, y):
            lib.firfilt_crcf_execute_block(q, ptr(x), x.size, ptr(y))

        return run, lambda: lib.firfilt_crcf_destroy(q)


    def downconverter(self, norm_freq, rate, n, atten=60.0):
        """nco_crcf (LIQUID_NCO, table-driven) mixing down by norm_freq, then the
        multi-stage resampler msresamp_crcf at rate: run(x) converts a block of
        at most n samples from a fresh state and returns a view of the output."""
        lib = self.lib
        nco = lib.nco_crcf_create(0)
        rs = lib.msresamp_crcf_create(rate, atten)
        mixed = np.empty(n, np.complex64)
        out = np.empty(int(n * rate) + 64, np.complex64)
        ny = U(0)

        def run(x):
            lib.nco_crcf_reset(nco)  # zeroes the frequency too
            lib.nco_crcf_set_frequency(nco, 2 * np.pi * norm_freq)
            lib.msresamp_crcf_reset(rs)
            lib.nco_crcf_mix_block_down(nco, ptr(x), ptr(mixed), x.size)
            lib.msresamp_crcf_execute(rs, ptr(mixed), x.size, ptr(out), C.byref(ny))
            return out[: ny.value]

        def close():
            lib.nco_crcf_destroy(nco)
            lib.msresamp_crcf_destroy(rs)

        return run, close


class Volk:
    """VOLK's dispatched complex rotator: y[i] = x[i] * phase, phase *= inc."""

    def __init__(self):
        lib = _load("volk")
        self.ok = lib is not None
        if not self.ok:
            return
        proto = C.CFUNCTYPE(None, P, P, LV32fc, C.POINTER(LV32fc), U)
        # The dispatcher is a function pointer variable; it is filled on first use
        # by the library's own initialiser, which runs when the library loads.
        addr = C.c_void_p.in_dll(lib, "volk_32fc_s32fc_x2_rotator_32fc").value
        self._rot = proto(addr)

    def rotator(self, norm_freq):
        inc = LV32fc(np.cos(2 * np.pi * norm_freq), np.sin(2 * np.pi * norm_freq))
        phase = LV32fc(1.0, 0.0)

        def run(x, y):
            self._rot(ptr(y), ptr(x), inc, C.byref(phase), x.size)

        return run


class Fec:
    """libfec's K=7 rate-1/2 Viterbi decoder (viterbi27) over a terminated block."""

    def __init__(self):
        lib = _load("fec")
        self.ok = lib is not None
        if not self.ok:
            return
        self.lib = lib
        lib.create_viterbi27.restype = P
        lib.create_viterbi27.argtypes = [C.c_int]
        lib.init_viterbi27.argtypes = [P, C.c_int]
        lib.update_viterbi27_blk.argtypes = [P, P, C.c_int]
        lib.chainback_viterbi27.argtypes = [P, P, U, U]
        lib.delete_viterbi27.argtypes = [P]

    def decoder(self, nbits):
        """run(sym, packed) decodes nbits data bits followed by the six-bit zero
        tail from 2 * (nbits + 6) offset-binary symbols (libfec's order and
        polarity) into nbits // 8 packed octets, MSB first."""
        lib = self.lib
        v = lib.create_viterbi27(nbits)

        def run(sym, packed):
            lib.init_viterbi27(v, 0)
            lib.update_viterbi27_blk(v, ptr(sym), nbits + 6)
            lib.chainback_viterbi27(v, ptr(packed), nbits, 0)

        return run, lambda: lib.delete_viterbi27(v)
