"""Measure the spectrum of complex baseband samples with spectral.PSD: the
averaged spectrum in dBFS, its frequency axis, the occupied bandwidth, the
noise floor and the in-band SNR; optionally draw it to a PNG.

    python examples/spectral_example.py [out.png]
"""

import sys

import numpy as np

from kolvane import spectral


def measure_spectrum(samples, fs, n=1024, window="blackman-harris", fraction=0.99, band=None):
    """Run complex64 `samples` (sample rate `fs` in Hz) through a PSD.

    Returns a dict: `trace` (float32 dBFS per bin, DC-centred), `freqs` (Hz per
    bin), `snr_db` (highest bin inside `band` over the median noise floor),
    `obw_hz` (bandwidth holding `fraction` of the power), `noise_floor_db`,
    `band` (the (lo, hi) Hz used for the SNR: by default the occupied band
    centred on the signal's power centroid), `frames`, `rbw_hz`.
    """
    x = np.ascontiguousarray(samples, dtype=np.complex64)
    with spectral.PSD(n=n, fs=fs, window=window, mode="mean") as psd:
        psd.accumulate(x)
        if psd.count == 0:
            raise ValueError(f"need at least {n} samples, got {x.size}")
        nfft = psd.nfft
        freqs = (np.arange(nfft) - nfft // 2) * (fs / nfft)
        trace = psd.psd_db()
        obw = psd.occupied_bw(fraction)
        if band is None:
            power = psd.power_twosided().astype(np.float64)
            centre = float((power * freqs).sum() / power.sum())
            band = (centre - obw / 2, centre + obw / 2)
        return {
            "trace": trace,
            "freqs": freqs,
            "snr_db": psd.snr(*band),
            "obw_hz": obw,
            "noise_floor_db": psd.noise_floor(),
            "band": band,
            "frames": psd.count,
            "rbw_hz": psd.rbw,
        }


def draw_spectrum(ax, result, label=None):
    """Plot a measure_spectrum() result on a matplotlib axis, marking the SNR band."""
    ax.plot(result["freqs"] / 1e3, result["trace"], lw=0.8, label=label)
    lo, hi = result["band"]
    ax.axvspan(lo / 1e3, hi / 1e3, color="tab:orange", alpha=0.15)
    ax.axhline(result["noise_floor_db"], color="gray", lw=0.6, ls="--")
    ax.set_xlabel("frequency [kHz]")
    ax.set_ylabel("power [dBFS]")
    ax.set_title(f"SNR {result['snr_db']:.1f} dB, OBW {result['obw_hz'] / 1e3:.1f} kHz, "
                 f"RBW {result['rbw_hz']:.0f} Hz")
    ax.grid(True, lw=0.3)


def _demo_signal(fs=1e6, freq=50e3, sps=8, n=1 << 17, snr_db=20.0, seed=3):
    """QPSK at `freq` with a windowed-sinc pulse, in white noise."""
    rng = np.random.default_rng(seed)
    sym = ((rng.integers(0, 2, n // sps) * 2 - 1) + 1j * (rng.integers(0, 2, n // sps) * 2 - 1)) / np.sqrt(2)
    up = np.zeros(n, np.complex128)
    up[::sps] = sym
    t = np.arange(-4 * sps, 4 * sps + 1) / sps
    pulse = np.sinc(t) * np.hanning(t.size)
    x = np.convolve(up, pulse, mode="same") * np.exp(2j * np.pi * freq / fs * np.arange(n)) * 0.5
    p = np.mean(np.abs(x) ** 2)
    sigma = np.sqrt(p / 10 ** (snr_db / 10) / 2)
    x += sigma * (rng.standard_normal(n) + 1j * rng.standard_normal(n))
    return x.astype(np.complex64), fs


def main(argv):
    x, fs = _demo_signal()
    r = measure_spectrum(x, fs)
    print(f"frames {r['frames']}, SNR {r['snr_db']:.1f} dB, occupied bandwidth {r['obw_hz'] / 1e3:.1f} kHz, "
          f"noise floor {r['noise_floor_db']:.1f} dBFS")
    if len(argv) > 1:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        fig, ax = plt.subplots(figsize=(8, 4))
        draw_spectrum(ax, r)
        fig.tight_layout()
        fig.savefig(argv[1], dpi=110)
        print(f"wrote {argv[1]}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
