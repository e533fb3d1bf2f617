"""Detection probability of spectral.CorrDetector against signal-to-noise
ratio: bursts of a known 1024-sample QPSK reference in complex white noise,
one burst per frame, measured against the theoretical curve (Rician peak at
the burst's lag, Rayleigh elsewhere, threshold on peak / mean noise
magnitude). Also measures the false-alarm rate on noise alone.

    python examples/detector_curve.py [out.png]     (default docs/detector_curve.png)
"""

import math
import sys

import numpy as np
import scipy.stats

from kolvane import spectral

N = 1024  # reference length
THRESHOLD = 4.0  # on peak / mean noise magnitude
TRIALS = 2048  # frames per SNR point
BATCH = 64  # frames per push (a push reports at most 64 records)


def theory(snr_db, n=N, t=THRESHOLD):
    """(P_detect, P_false_alarm) of one dump. The mean noise magnitude over the n-1 noise lags is
    close to its expectation sqrt(pi*n/4) (unit noise power), so the gate is |c| > t*sqrt(pi*n/4);
    each noise lag exceeds it with exp(-pi*t^2/4), the signal lag is Rician."""
    gamma = t * math.sqrt(math.pi * n / 4)
    scale = math.sqrt(n / 2)
    q = math.exp(-math.pi * t * t / 4)
    amp = 10 ** (snr_db / 20) * n
    pd = 1 - scipy.stats.rice.cdf(gamma, amp / scale, scale=scale) * (1 - q) ** (n - 1)
    return pd, 1 - (1 - q) ** n


def measure(rng, snr_db, trials=TRIALS):
    """Fraction of frames that produced a record; snr_db None means noise only."""
    ref = np.exp(0.5j * np.pi * rng.integers(4, size=N)).astype(np.complex64)
    det = spectral.CorrDetector(ref, noise_lo=1, noise_hi=N - 1, noise_mode="mean", threshold=THRESHOLD)
    amp = 0.0 if snr_db is None else 10 ** (snr_db / 20)
    hits = 0
    for _ in range(trials // BATCH):
        noise = (rng.standard_normal((BATCH, N)) + 1j * rng.standard_normal((BATCH, N))) / math.sqrt(2)
        hits += len(det.push((noise + amp * ref).astype(np.complex64)))
    return hits / (trials // BATCH * BATCH)


def main(path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rng = np.random.default_rng(1)
    snrs = np.arange(-24.0, -13.0, 1.0)
    fine = np.linspace(snrs[0], snrs[-1], 200)
    pd_meas = [measure(rng, s) for s in snrs]
    pfa_meas = measure(rng, None, 4 * TRIALS)
    pfa = theory(0.0)[1]
    print(f"false alarms per frame: measured {pfa_meas:.4f}, theory {pfa:.4f}")
    for s, p in zip(snrs, pd_meas):
        print(f"SNR {s:6.1f} dB per sample: P_d measured {p:.3f}, theory {theory(s)[0]:.3f}")

    fig, ax = plt.subplots(figsize=(6, 3.6), dpi=80)
    ax.plot(fine, [theory(s)[0] for s in fine], label="theory")
    ax.plot(snrs, pd_meas, "o", label=f"measured, {TRIALS} frames per point")
    ax.axhline(pfa, color="grey", ls="--", label=f"false-alarm rate {pfa:.3f} (measured {pfa_meas:.3f})")
    ax.set_xlabel("SNR per sample [dB]")
    ax.set_ylabel("probability of detection")
    ax.set_title(f"CorrDetector, n = {N}, threshold {THRESHOLD} on peak / mean noise")
    ax.grid(alpha=0.3)
    ax.legend(loc="upper left", fontsize=8)
    fig.tight_layout()
    fig.savefig(path)
    print(f"wrote {path}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "docs/detector_curve.png")
