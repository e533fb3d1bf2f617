"""Down-conversion (mix to baseband, then decimate) against NumPy mixing with
scipy.signal.resample_poly, and against liquid-dsp's nco_crcf mixer with its
multi-stage resampler msresamp_crcf (through ctypes, benchmarks/peers.py;
`make bench` installs libliquid-dev). Same input, same run, best of several;
prints input samples per second, the ratio, and beside it the quality figure:
the largest deviation of the settled output from its DC value, relative to it
(what the interferer, the filters' ripple and the oscillator's spurs leave).

    PYTHONPATH=src python3 benchmarks/bench_ddc.py
"""

import numpy as np
from scipy import signal

from kolvane import ddc

from peers import Liquid
from timing import best, best_pair, record

F0 = 0.1  # carrier brought to DC
F_OUT = 0.3  # offset of an interferer from the carrier, outside every kept band


def rejection_db(y, skip):
    """Level of what is left beside the DC carrier, relative to it."""
    tail = y[skip:-skip]
    dc = tail.mean()
    return 20 * np.log10(np.abs(tail - dc).max() / abs(dc))


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
    liquid = Liquid()
    if not liquid.ok:
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
        if liquid.ok:
            lq, close = liquid.downconverter(F0, 1.0 / decim, n)
            t_lq_ours, t_lq = best_pair(ours, lambda: lq(x))
            t_ours = min(t_ours, t_lq_ours)
            peers.append(("liquid nco_crcf + msresamp_crcf", t_lq, rejection_db(lq(x).copy(), skip)))
            close()
        row("kolvane DDC", n, t_ours, None, rej)
        for name, t, r in peers:
            row(name, n, t, t / t_ours, r)
            record("ddc", f"DDC, decimation by {decim}", n / t_ours, name, n / t)


if __name__ == "__main__":
    main()
