"""Correlator benchmarks: Corr against scipy.signal.correlate(method="fft")
computing the same circular correlation of the same frames with the same
reference, and CorrDetector streaming throughput against a frame-batched NumPy
detector doing the same work (FFT, cross-spectrum, inverse, magnitude, peak,
mean noise). Best of several runs in this process; prints samples/s, the
ratio and the largest difference between the results."""

import numpy as np
import scipy.signal

from kolvane import spectral
from timing import best_pair, best, record

FRAMES = 64
STREAM = 1 << 22


def crandn(rng, n):
    return (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(np.complex64)


def scipy_circular(x, ref):
    # Correlating the frame repeated twice, "valid" part: the n circular lags.
    return scipy.signal.correlate(np.concatenate([x, x]), ref, mode="valid", method="fft")[: ref.size]


def bench_corr(rng):
    print(f"Corr vs scipy.signal.correlate(method='fft'), {FRAMES} frames per run, circular lags")
    print(f"{'n':>6} {'dwell':>5} {'ours Msps':>10} {'scipy Msps':>11} {'ratio':>7} {'max rel err':>12}")
    for n in (256, 1024, 4096):
        for dwell in (1, 8):
            ref = crandn(rng, n)
            frames = [crandn(rng, n) for _ in range(FRAMES)]
            c = spectral.Corr(ref, dwell=dwell)
            out = np.empty(n, np.complex64)

            def ours():
                for f in frames:
                    c.execute(f, out=out)

            def peer():
                for k in range(0, FRAMES, dwell):
                    sum(scipy_circular(f, ref) for f in frames[k : k + dwell])

            t_ours, t_peer = best_pair(ours, peer)
            c.reset()
            got = [r for r in (c.execute(f) for f in frames[:dwell]) if r is not None][0]
            want = sum(scipy_circular(f.astype(complex), ref.astype(complex)) for f in frames[:dwell])
            err = np.abs(got - want).max() / np.abs(want).max()
            s = FRAMES * n
            record("corr", f"Corr n={n} dwell={dwell}", s / t_ours, "scipy.signal.correlate (fft)", s / t_peer)
            print(f"{n:>6} {dwell:>5} {s / t_ours / 1e6:>10.1f} {s / t_peer / 1e6:>11.2f} {t_peer / t_ours:>6.1f}x "
                  f"{err:>12.1e}")


def numpy_detector(x, ref_fft, n):
    frames = x.reshape(-1, n)
    mag = np.abs(np.fft.ifft(np.fft.fft(frames, axis=1) * ref_fft, axis=1))
    peak = mag.max(axis=1)
    return np.argmax(mag, axis=1), peak, peak / mag[:, 1:].mean(axis=1)


def bench_detector(rng):
    x = crandn(rng, STREAM)
    t_copy = best(lambda: x.copy())
    print(f"\nCorrDetector streaming ({STREAM} samples per push, dwell 1, mean noise over all lags)")
    print(f"{'n':>6} {'ours Msps':>10} {'numpy Msps':>11} {'ratio':>7}   (memory copy {STREAM / t_copy / 1e6:.0f} Msps)")
    for n in (256, 1024, 4096):
        ref = crandn(rng, n)
        d = spectral.CorrDetector(ref, noise_lo=1, threshold=1e9)
        ref_fft = np.conj(np.fft.fft(ref))
        t_ours, t_peer = best_pair(lambda: d.push(x), lambda: numpy_detector(x, ref_fft, n), repeat=3)
        # Same decisions: the detector with threshold 0 reports the same peak lags as the NumPy model.
        check = spectral.CorrDetector(ref, noise_lo=1)
        lags = [r[0] for r in check.push(x[: 64 * n])]
        assert lags == list(numpy_detector(x[: 64 * n], ref_fft, n)[0])
        goal = "  (goal >= 100 Msps)" if n == 1024 else ""
        record("corr", f"CorrDetector.push n={n}", STREAM / t_ours, "NumPy batched detector", STREAM / t_peer)
        print(f"{n:>6} {STREAM / t_ours / 1e6:>10.1f} {STREAM / t_peer / 1e6:>11.1f} {t_peer / t_ours:>6.1f}x{goal}")


if __name__ == "__main__":
    rng = np.random.default_rng(7)
    bench_corr(rng)
    bench_detector(rng)
