"""FIR filtering and polyphase resampling against SciPy, on the same data in the
same run (best of several). Prints samples per second and the ratio.

    PYTHONPATH=src python3 benchmarks/bench_resample.py
"""

import ctypes as C

import numpy as np
from scipy import signal

from kolvane import resample

from timing import best, best_pair, record

LIB = C.CDLL(resample.__file__)
P = C.c_void_p
LIB.fir_create_real.restype = P
LIB.fir_create_real.argtypes = [P, C.c_size_t]
LIB.fir_create.restype = P
LIB.fir_create.argtypes = [P, C.c_size_t]
LIB.fir_execute.restype = C.c_size_t
LIB.fir_execute.argtypes = [P, P, C.c_size_t, P]
LIB.fir_destroy.argtypes = [P]


def row(name, n, t_ours, t_peer, peer):
    print(f"{name:<34} {n / t_ours / 1e6:9.1f} Msps   {peer:<22} {n / t_peer / 1e6:9.1f} Msps   x{t_peer / t_ours:6.1f}")
    record("resample", name, n / t_ours, peer, n / t_peer)


def main():
    rng = np.random.default_rng(1)
    n = 1 << 21
    x = (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(np.complex64)
    out = np.empty_like(x)
    t_copy = best(lambda: np.copyto(out, x))
    print(f"memory ceiling (NumPy copy)        {n / t_copy / 1e6:9.1f} Msps")

    taps = signal.firwin(64, 0.2).astype(np.float32)
    ctaps = (taps * np.exp(0.3j * np.arange(64))).astype(np.complex64)
    for label, h, create in (("FIR 64 real taps", taps, LIB.fir_create_real), ("FIR 64 complex taps", ctaps, LIB.fir_create)):
        f = create(h.ctypes.data, h.size)
        ours = lambda: LIB.fir_execute(f, x.ctypes.data, n, out.ctypes.data)  # noqa: E731
        ours()
        ref = signal.lfilter(h, [1.0], x)
        np.testing.assert_allclose(out[-1000:], ref[-1000:], atol=1e-4)
        t_ours, t_lf = best_pair(ours, lambda: signal.lfilter(h, [1.0], x), 7)
        t_ours2, t_oa = best_pair(ours, lambda: signal.oaconvolve(x, h)[:n], 7)
        t_ours = min(t_ours, t_ours2)
        row(label, n, t_ours, t_lf, "scipy lfilter")
        row(label, n, t_ours, t_oa, "scipy oaconvolve")
        LIB.fir_destroy(f)

    for up, down in ((3, 2), (147, 160)):
        r = resample.Resampler(rate=up / down)
        n_out = len(signal.resample_poly(x, up, down))
        buf = np.empty(max(n, n_out) + 4096, np.complex64)

        def ours():
            r.reset()
            return r.execute(x, out=buf)

        y = ours()
        assert abs(y.size - n_out) <= 2, (y.size, n_out)
        t_ours, t_rp = best_pair(ours, lambda: signal.resample_poly(x, up, down), 7)
        row(f"Resampler {up}/{down} (outputs)", n_out, t_ours, t_rp, "scipy resample_poly")


if __name__ == "__main__":
    main()
