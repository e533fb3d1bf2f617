"""Spectral benchmarks: our engines against NumPy, SciPy and raw FFTW on the same
data in the same run (best of several repeats). Prints samples/s and ratios."""

import ctypes
import ctypes.util
import sys
import timeit

import numpy as np
import scipy.fft
import scipy.signal

from kolvane import spectral
from timing import record

FFTW_FORWARD = -1
FFTW_ESTIMATE = 1 << 6


def best(fn, number, repeat=7):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


class RawFFTW:
    """A single-precision FFTW plan called through ctypes: same flags as the
    engine (FFTW_ESTIMATE, out of place, library-aligned buffers)."""

    def __init__(self, n):
        lib = ctypes.CDLL(ctypes.util.find_library("fftw3f") or "libfftw3f.so.3")
        lib.fftwf_malloc.restype = ctypes.c_void_p
        lib.fftwf_malloc.argtypes = [ctypes.c_size_t]
        lib.fftwf_plan_dft_1d.restype = ctypes.c_void_p
        lib.fftwf_plan_dft_1d.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int, ctypes.c_uint]
        lib.fftwf_execute.argtypes = [ctypes.c_void_p]
        lib.fftwf_destroy_plan.argtypes = [ctypes.c_void_p]
        lib.fftwf_free.argtypes = [ctypes.c_void_p]
        self.lib = lib
        self.inp = lib.fftwf_malloc(8 * n)
        self.out = lib.fftwf_malloc(8 * n)
        self.plan = lib.fftwf_plan_dft_1d(n, self.inp, self.out, FFTW_FORWARD, FFTW_ESTIMATE)
        self.execute = lambda: lib.fftwf_execute(self.plan)

    def load(self, x):
        ctypes.memmove(self.inp, x.ctypes.data, x.nbytes)

    def close(self):
        self.lib.fftwf_destroy_plan(self.plan)
        self.lib.fftwf_free(self.inp)
        self.lib.fftwf_free(self.out)


def aligned_like(x):
    """A copy of x whose data starts on a 64-byte boundary, as FFTW's own
    allocator gives (large NumPy arrays usually start 16 bytes past a page)."""
    raw = np.empty(x.nbytes + 64, np.uint8)
    off = (-raw.ctypes.data) % 64
    a = raw[off:off + x.nbytes].view(x.dtype).reshape(x.shape)
    a[...] = x
    return a


def row(block, name, n_samples, ours, peers):
    cells = [f"{name:<22}", f"ours {n_samples / ours / 1e6:9.1f} MS/s"]
    for pname, t in peers:
        cells.append(f"{pname} {n_samples / t / 1e6:9.1f} MS/s (x{t / ours:5.2f})")
        record("spectral", f"{block} {name}", n_samples / ours, pname, n_samples / t)
    print("  ".join(cells))


def bench_fft(rng):
    print("FFT, complex64, forward")
    for n in (1024, 4096, 65536, 1000):
        x = aligned_like((rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(np.complex64))
        reps = max(20, 2_000_000 // n)
        f = spectral.FFT(n)
        out = aligned_like(np.empty(n, np.complex64))
        ours = best(lambda: f.execute_cf32(x, out=out), reps)
        t_np = best(lambda: np.fft.fft(x), reps)
        t_sp = best(lambda: scipy.fft.fft(x), reps)
        raw = RawFFTW(n)
        raw.load(x)
        t_raw = best(raw.execute, reps)
        raw.close()
        row("FFT.execute_cf32", f"n={n}", n, ours,
            [("numpy.fft.fft", t_np), ("scipy.fft.fft", t_sp), ("FFTW, same flags", t_raw)])


def bench_fft2d(rng):
    print("FFT2D, complex64, forward")
    for ny, nx in ((64, 64), (256, 256), (1024, 1024), (100, 100)):
        x = aligned_like((rng.standard_normal((ny, nx)) + 1j * rng.standard_normal((ny, nx))).astype(np.complex64))
        reps = max(3, 1_000_000 // (ny * nx))
        f = spectral.FFT2D(ny=ny, nx=nx)
        out = aligned_like(np.empty(ny * nx, np.complex64))
        ours = best(lambda: f.execute_cf32(x, out=out), reps)
        t_np = best(lambda: np.fft.fft2(x), reps)
        row("FFT2D.execute_cf32", f"{ny}x{nx}", ny * nx, ours, [("numpy.fft.fft2", t_np)])


def bench_psd(rng):
    print("PSD (Hann, no overlap, mean of frames) against scipy.signal.welch")
    worst = 0.0
    for n, frames in ((1024, 2000), (4096, 500), (256, 8000)):
        total = n * frames
        x = (rng.standard_normal(total) + 1j * rng.standard_normal(total)).astype(np.complex64)
        w = np.zeros(n, np.float32)
        spectral.hann_window(w)
        p = spectral.PSD(n=n, fs=1.0, window="hann")

        def ours_run():
            p.reset()
            p.accumulate(x)
            return p.psd_db()

        def welch_run():
            return scipy.signal.welch(x, fs=1.0, window=w, nperseg=n, noverlap=0, return_onesided=False,
                                      scaling="spectrum", detrend=False)[1]

        ours = best(ours_run, 1, repeat=5)
        t_w = best(welch_run, 1, repeat=5)
        diff = np.abs(ours_run() - 10 * np.log10(np.fft.fftshift(welch_run()))).max()
        worst = max(worst, diff)
        row("PSD", f"n={n} x{frames}", total, ours, [("scipy.signal.welch", t_w)])
        print(f"{'':<22}  max |ours - welch| = {diff:.2e} dB")
    return worst


def bench_copy(rng):
    x = (rng.standard_normal(1 << 20) + 1j * rng.standard_normal(1 << 20)).astype(np.complex64)
    y = np.empty_like(x)
    t = best(lambda: np.copyto(y, x), 20)
    print(f"{'memory (numpy copy)':<22}  {x.size / t / 1e6:9.1f} MS/s  (ceiling for a single pass over complex64)")


def main():
    rng = np.random.default_rng(2024)
    bench_copy(rng)
    bench_fft(rng)
    bench_fft2d(rng)
    worst = bench_psd(rng)
    if worst > 0.01:
        print(f"PSD disagrees with welch by {worst:.3g} dB", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
