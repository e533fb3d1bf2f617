"""Throughput of the wfm noise source, oscillator and synthesis engine against
NumPy/SciPy making the same output in the same process (best of several runs)."""

import ctypes
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import wfm_ctypes as C  # noqa: E402
from kolvane import wfm  # noqa: E402
from timing import record  # noqa: E402

N = 1 << 20
REPS = 9


def best(fn):
    fn()
    t = float("inf")
    for _ in range(REPS):
        t0 = time.perf_counter()
        fn()
        t = min(t, time.perf_counter() - t0)
    return t


def row(name, ours, peer, peer_name):
    print(f"{name:<34} {N / ours / 1e6:9.1f} MS/s   {peer_name:<34} {N / peer / 1e6:9.1f} MS/s   x{peer / ours:6.2f}")
    record("wfm", name, N / ours, peer_name, N / peer)
    return peer / ours


def main():
    out = np.empty(N, np.complex64)
    rng = np.random.default_rng(1)
    sigma = np.float32(wfm.wfm_awgn_amplitude(10.0, 1.0))
    print(f"{N} complex64 samples per run, best of {REPS}")
    copy = best(lambda: np.copyto(out, out[::-1]))
    print(f"{'memory ceiling (NumPy copy)':<34} {N / copy / 1e6:9.1f} MS/s")

    h = C.awgn_create(7, sigma)
    ours = best(lambda: C.awgn_generate_raw(h, N, C.ptr(out), N))
    peer = best(lambda: (rng.standard_normal(2 * N, dtype=np.float32) * sigma).view(np.complex64))
    r_awgn = row("AWGN (awgn_generate)", ours, peer, "NumPy standard_normal float32")
    C.awgn_destroy(h)

    f = 0.0123
    lo = C.lo_create(f)
    ours = best(lambda: C.lo_steps_raw(lo, N, C.ptr(out), N))
    n64 = np.arange(N, dtype=np.float64)
    n32 = np.arange(N, dtype=np.float32)
    w = 2 * np.pi * f
    peer64 = best(lambda: np.exp(1j * (w * n64)).astype(np.complex64))
    peer32 = best(lambda: np.exp(1j * (np.float32(w) * n32)))
    r_nco = row("NCO tone (lo_steps)", ours, min(peer64, peer32), "NumPy exp (faster of f64/f32)")
    C.lo_destroy(lo)

    # A shaped QPSK burst in noise: the engine against NumPy symbols + SciPy upfirdn + noise.
    try:
        from scipy.signal import upfirdn
    except ImportError:
        upfirdn = None
    sps = 8
    taps = wfm.rrc_taps(0.35, sps, 6)
    eng = wfm._SynthEngine(type="qpsk", sps=sps, snr=10.0, freq=25_000.0, fs=1e6, seed=3)
    eng.set_rrc(taps)
    ours = best(lambda: eng.steps(N))
    if upfirdn is not None:
        h = (taps * np.sqrt(sps)).astype(np.float32)
        carrier = np.exp(2j * np.pi * 0.025 * n64).astype(np.complex64)

        def peer_fn():
            bits = rng.integers(0, 4, N // sps, dtype=np.uint8)
            s = upfirdn(h, wfm.qpsk_map(bits), up=sps)[:N]
            noise = (rng.standard_normal(2 * N, dtype=np.float32) * np.float32(0.5)).view(np.complex64)
            return s * carrier + noise

        row("QPSK+RRC+carrier+noise (engine)", ours, best(peer_fn), "SciPy upfirdn + NumPy")
    print()
    print(f"targets: AWGN >= 3x ({'met' if r_awgn >= 3 else 'NOT met'}), NCO >= 10x ({'met' if r_nco >= 10 else 'NOT met'})")


if __name__ == "__main__":
    main()
