"""Down-conversion (mix to baseband, then decimate) against NumPy mixing with
scipy.signal.resample_poly, and against liquid-dsp's nco_crcf mixer with its
multi-stage resampler msresamp_crcf (through ctypes; `make bench` installs
libliquid-dev). Same input, same run, best of several; prints input samples per
second, the ratio, and beside it the quality figure: the largest deviation of
the settled output from its DC value, relative to it (what the interferer, the
filters' ripple and the oscillator's spurs leave).

    PYTHONPATH=src python3 benchmarks/bench_ddc.py
"""

import ctypes as C
import ctypes.util
import time

import numpy as np
from scipy import signal

from kolvane import ddc

F0 = 0.1  # carrier brought to DC
F_OUT = 0.3  # offset of an interferer from the carrier, outside every kept band


def best(fn, repeat=5):
    fn()
    t = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        t = min(t, time.perf_counter() - t0)
    return t


def best_pair(ours, peer, repeat=5):
    """Best times of two functions run alternately, so a busy machine slows both alike."""
    t_a = t_b = float("inf")
    for _ in range(repeat):
        t_a = min(t_a, best(ours, 1))
        t_b = min(t_b, best(peer, 1))
    return t_a, t_b


def rejection_db(y, skip):
    """Level of what is left beside the DC carrier, relative to it."""
    tail = y[skip:-skip]
    dc = tail.mean()
    return 20 * np.log10(np.abs(tail - dc).max() / abs(dc))


def load_liquid():
    name = ctypes.util.find_library("liquid")
    if name is None:
        return None
    lib = C.CDLL(name)
    P = C.c_void_p
    for fn, res, args in (
        ("nco_crcf_create", P, [C.c_int]),
        ("nco_crcf_destroy", C.c_int, [P]),
        ("nco_crcf_reset", C.c_int, [P]),
        ("nco_crcf_set_frequency", C.c_int, [P, C.c_float]),
        ("nco_crcf_mix_block_down", C.c_int, [P, P, P, C.c_uint]),
        ("msresamp_crcf_create", P, [C.c_float, C.c_float]),
        ("msresamp_crcf_destroy", C.c_int, [P]),
        ("msresamp_crcf_reset", C.c_int, [P]),
        ("msresamp_crcf_execute", C.c_int, [P, P, C.c_uint, P, C.POINTER(C.c_uint)]),
    ):
        f = getattr(lib, fn)
        f.restype = res
        f.argtypes = args
    return lib


class Liquid:
    """NCO mix-down then the multi-stage resampler, 60 dB stop band."""

    def __init__(self, lib, freq, rate, n):
        self.lib = lib
        self.nco = lib.nco_crcf_create(0)  # LIQUID_NCO: table-driven, the like of ours
        self.dtheta = 2 * np.pi * freq
        self.rs = lib.msresamp_crcf_create(rate, 60.0)
        self.mixed = np.empty(n, np.complex64)
        self.out = np.empty(int(n * rate) + 64, np.complex64)
        self.ny = C.c_uint(0)

    def __call__(self, x):
        lib = self.lib
        lib.nco_crcf_reset(self.nco)  # zeroes the frequency too
        lib.nco_crcf_set_frequency(self.nco, self.dtheta)
        lib.msresamp_crcf_reset(self.rs)
        lib.nco_crcf_mix_block_down(self.nco, x.ctypes.data, self.mixed.ctypes.data, x.size)
        lib.msresamp_crcf_execute(self.rs, self.mixed.ctypes.data, x.size, self.out.ctypes.data, C.byref(self.ny))
        return self.out[: self.ny.value]

    def close(self):
        self.lib.nco_crcf_destroy(self.nco)
        self.lib.msresamp_crcf_destroy(self.rs)


def numpy_scipy(x, decim):
    k = np.arange(x.size)
    mixed = x * np.exp(-2j * np.pi * F0 * k).astype(np.complex64)
    return signal.resample_poly(mixed, 1, decim)


def row(name, n, t, ratio, rej):
    tail = f"x{ratio:6.1f}" if ratio else "       "
    print(f"  {name:<36} {n / t / 1e6:8.1f} Msps  {tail}   left beside the carrier {rej:7.1f} dB")


def main():
    n = 1 << 21
    k = np.arange(n)
    rng = np.random.default_rng(3)
    x = (np.exp(2j * np.pi * F0 * k) + 0.5 * np.exp(2j * np.pi * (F0 + F_OUT) * k)).astype(np.complex64)
    x += (1e-4 * (rng.standard_normal(n) + 1j * rng.standard_normal(n))).astype(np.complex64)
    buf = np.empty_like(x)
    t_copy = best(lambda: np.copyto(buf, x))
    print(f"memory ceiling (NumPy copy)            {n / t_copy / 1e6:8.1f} Msps")
    liquid = load_liquid()
    if liquid is None:
        print("liquid-dsp not found (make bench installs libliquid-dev): its rows are skipped")

    for decim in (8, 40):
        print(f"DDC, decimation by {decim} (input samples per second)")
        d = ddc.DDC(norm_freq=-F0, rate=1.0 / decim)
        out = np.empty(n, np.complex64)

        def ours():
            d.reset()
            return d.execute(x, out=out)

        skip = 2000
        y = ours()
        rej = rejection_db(y, skip)
        t_np_ours, t_np = best_pair(ours, lambda: numpy_scipy(x, decim))
        t_ours = t_np_ours
        peers = [("NumPy mix + scipy resample_poly", t_np, rejection_db(numpy_scipy(x, decim), skip))]
        if liquid is not None:
            lq = Liquid(liquid, F0, 1.0 / decim, n)
            t_lq_ours, t_lq = best_pair(ours, lambda: lq(x))
            t_ours = min(t_ours, t_lq_ours)
            peers.append(("liquid nco_crcf + msresamp_crcf", t_lq, rejection_db(lq(x).copy(), skip)))
            lq.close()
        row("kolvane DDC", n, t_ours, None, rej)
        for name, t, r in peers:
            row(name, n, t, t / t_ours, r)


if __name__ == "__main__":
    main()
