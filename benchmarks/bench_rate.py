"""Rate conversion against SciPy and liquid-dsp, on the same data in the same run
(best of several, the two sides timed alternately). Prints input samples per
second, the ratio, and beside each side's speed its measured rejection of the
input tones that fold into the output band |f| <= 0.25 and <= 0.4 of the output
rate (the worst one, in dB below a passband tone).

RateConverter at 0.117, 1/40, 147/160 and 1/8 against scipy.signal.resample_poly
and liquid-dsp's msresamp_crcf (60 dB); halfband decimation by 2 and CIC
decimation by 8 against scipy.signal.upfirdn and liquid-dsp's resamp2_crcf /
firdecim_crcf. liquid-dsp (Debian libliquid-dev) is reached through ctypes; its
per-pair halfband call runs in a small C loop compiled here.

    PYTHONPATH=src python3 benchmarks/bench_rate.py
"""

import ctypes as C
import os
import subprocess
import tempfile
from fractions import Fraction

import numpy as np
from scipy import signal

from kolvane import resample

import peers
from peers import ptr
from timing import best_all, record

LIB = C.CDLL(resample.__file__)
P = C.c_void_p
SZ = C.c_size_t


def _sig(lib, name, res, *args):
    f = getattr(lib, name)
    f.restype = res
    f.argtypes = list(args)
    return f


rc_create = _sig(LIB, "RateConverter_create", P, C.c_int, C.c_double)
rc_destroy = _sig(LIB, "RateConverter_destroy", None, P)
rc_execute = _sig(LIB, "RateConverter_execute", SZ, P, P, SZ, P, SZ)
rc_outputs = _sig(LIB, "RateConverter_execute_outputs", SZ, P, SZ, SZ)
rc_label = _sig(LIB, "RateConverter_stages_value", C.c_char_p, P, C.c_int)
rc_num = _sig(LIB, "RateConverter_num_stages", C.c_int, P)
cic_create = _sig(LIB, "cic_create", P, C.c_uint32)
cic_destroy = _sig(LIB, "cic_destroy", None, P)
cic_decimate = _sig(LIB, "cic_decimate", SZ, P, P, SZ, P, SZ)

SHIM = r"""
#include <liquid/liquid.h>
void hb_decim_block(resamp2_crcf q, liquid_float_complex *x, unsigned pairs, liquid_float_complex *y) {
    for (unsigned i = 0; i < pairs; ++i) resamp2_crcf_decim_execute(q, x + 2 * i, y + i);
}
"""


def load_liquid():
    liq = peers._load("liquid")
    if liq is None:
        return None, None
    shim = None
    d = tempfile.mkdtemp(prefix="kolvane_bench_")
    src, so = os.path.join(d, "shim.c"), os.path.join(d, "shim.so")
    with open(src, "w") as f:
        f.write(SHIM)
    try:
        subprocess.run(["gcc", "-O3", "-shared", "-fPIC", src, "-o", so, "-lliquid"], check=True, capture_output=True)
        shim = C.CDLL(so)
    except (OSError, subprocess.CalledProcessError):
        shim = None
    return liq, shim


# Converters as "make() -> run(x) -> y" so each measurement starts fresh. Our
# blocks and liquid-dsp's write into a buffer kept across calls (as a streaming
# caller does); SciPy's one-shot calls allocate their result.


class Buffer:
    def __init__(self):
        self.a = np.empty(0, np.complex64)

    def get(self, n):
        if self.a.size < n:
            self.a = np.empty(n, np.complex64)
        return self.a[:n]



def ours(rate):
    def make():
        h = rc_create(0, rate)
        buf = Buffer()

        def run(x):
            out = buf.get(rc_outputs(h, x.size, 1 << 40) + 1)
            return out[: rc_execute(h, ptr(x), x.size, ptr(out), out.size)]

        run.close = lambda: rc_destroy(h)
        return run

    return make


def poly(rate):
    fr = Fraction(rate).limit_denominator(2000)

    def make():
        def run(x):
            return signal.resample_poly(x, fr.numerator, fr.denominator)

        run.close = lambda: None
        return run

    return make


def liquid_ms(liq, rate, atten=60.0):
    create = _sig(liq, "msresamp_crcf_create", P, C.c_float, C.c_float)
    execute = _sig(liq, "msresamp_crcf_execute", C.c_int, P, P, C.c_uint, P, C.POINTER(C.c_uint))
    destroy = _sig(liq, "msresamp_crcf_destroy", C.c_int, P)

    def make():
        h = create(rate, atten)
        buf = Buffer()

        def run(x):
            out = buf.get(int(np.ceil(1 + 2 * rate * x.size)) + 16)
            ny = C.c_uint(0)
            execute(h, ptr(x), x.size, ptr(out), C.byref(ny))
            return out[: ny.value]

        run.close = lambda: destroy(h)
        return run

    return make


def cic_ours(R):
    def make():
        h = cic_create(R)
        buf = Buffer()

        def run(x):
            out = buf.get(x.size // R + 1)
            return out[: cic_decimate(h, ptr(x), x.size, ptr(out), out.size)]

        run.close = lambda: cic_destroy(h)
        return run

    return make


def upfirdn(h, down):
    def make():
        def run(x):
            return signal.upfirdn(h, x, 1, down)

        run.close = lambda: None
        return run

    return make


def liquid_hb(liq, shim, m=9, atten=60.0):
    create = _sig(liq, "resamp2_crcf_create", P, C.c_uint, C.c_float, C.c_float)
    destroy = _sig(liq, "resamp2_crcf_destroy", C.c_int, P)
    block = _sig(shim, "hb_decim_block", None, P, P, C.c_uint, P)

    def make():
        h = create(m, 0.0, atten)
        buf = Buffer()

        def run(x):
            out = buf.get(x.size // 2)
            block(h, ptr(x), out.size, ptr(out))
            return out

        run.close = lambda: destroy(h)
        return run

    return make


def liquid_firdecim(liq, M, m=4, atten=60.0):
    create = _sig(liq, "firdecim_crcf_create_kaiser", P, C.c_uint, C.c_uint, C.c_float)
    block = _sig(liq, "firdecim_crcf_execute_block", C.c_int, P, P, C.c_uint, P)
    destroy = _sig(liq, "firdecim_crcf_destroy", C.c_int, P)
    scale = _sig(liq, "firdecim_crcf_set_scale", C.c_int, P, C.c_float)

    def make():
        h = create(M, m, atten)
        scale(h, 1.0 / M)
        buf = Buffer()

        def run(x):
            out = buf.get(x.size // M)
            block(h, ptr(x), out.size, ptr(out))
            return out

        run.close = lambda: destroy(h)
        return run

    return make


def rejection(make, rate, pb):
    """Worst level [dB] of the input tones folding into |f_out| <= pb, relative
    to a passband tone; each tone through a fresh converter."""
    n = int(min(max(8192 / rate, 16384), 1 << 19))
    t = np.arange(n)

    def level(f, fit):
        run = make()
        y = np.asarray(run((0.5 * np.exp(2j * np.pi * f * t)).astype(np.complex64)), np.complex128)
        run.close()
        # Past the start-up transient, and short of the flush tail of a
        # one-shot peer (upfirdn returns the whole convolution).
        y = y[y.size // 4 : y.size - y.size // 8]
        if fit:
            k = np.arange(y.size)
            return abs(np.vdot(np.exp(2j * np.pi * (f / rate) * k), y)) / y.size
        return np.sqrt(np.mean(np.abs(y) ** 2))

    ref = level(0.05 * rate, True)
    wrap = lambda v: ((v + 0.5) % 1.0) - 0.5
    fold = [f for f in np.linspace(-0.5, 0.5, 97) if abs(wrap(f / rate)) <= pb and abs(f) > pb * rate * 1.0001]
    if not fold:
        return float("nan")
    return 20 * np.log10(max(level(f, False) for f in fold) / ref + 1e-15)


def row(name, n, entries):
    """entries: (label, seconds, rejections) for ours first, then peers."""
    t0 = entries[0][1]
    cells = []
    for label, t, rej in entries:
        r = " ".join("%6.1f" % v if np.isfinite(v) else "   n/a" for v in rej)
        ratio = "" if t is t0 else "x%5.1f" % (t / t0)
        cells.append("%-22s %8.1f Msps %s dB %s" % (label, n / t / 1e6, r, ratio))
        if t is not t0:
            record("rate", f"{name} ({entries[0][0]})", n / t0, label, n / t)
    print("%-24s" % name + " | ".join(cells))


def main():
    rng = np.random.default_rng(1)
    n = 1 << 21
    x = (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(np.complex64) * np.float32(0.3)
    out = np.empty_like(x)
    t_copy = best_all([lambda: np.copyto(out, x)])[0]
    print("memory ceiling (NumPy copy of the input): %.1f Msps" % (n / t_copy / 1e6))
    liq, shim = load_liquid()
    if liq is None:
        print("liquid-dsp not found (make bench installs libliquid-dev); its columns are skipped")
    print("rejection columns: worst folding tone for |f_out| <= 0.25 and <= 0.4 of the output rate "
          "(n/a: no input frequency folds there)")

    def measure(make):
        run = make()
        return run

    for rate in (0.117, 1 / 40, 147 / 160, 1 / 8):
        h = rc_create(0, rate)
        plan = [rc_label(h, i).decode() for i in range(rc_num(h))]
        rc_destroy(h)
        makers = [("RateConverter", ours(rate)), ("resample_poly", poly(rate))]
        if liq is not None:
            makers.append(("msresamp_crcf 60dB", liquid_ms(liq, rate)))
            # Like for like: liquid-dsp designed for the rejection we reach.
            ours_rej = rejection(ours(rate), rate, 0.25)
            if np.isfinite(ours_rej) and -ours_rej < 59:
                att = float(np.floor(-ours_rej))
                makers.append(("msresamp_crcf %ddB" % att, liquid_ms(liq, rate, att)))
        runs = [measure(m) for _, m in makers]
        times = best_all([lambda r=r: r(x) for r in runs])
        for r in runs:
            r.close()
        rej = [[rejection(m, rate, pb) for pb in (0.25, 0.4)] for _, m in makers]
        row("rate %.6g %s" % (rate, "+".join(plan)), n,
            [(lab, t, rj) for (lab, _), t, rj in zip(makers, times, rej)])

    # Halfband by 2: our halfband as upfirdn taps (centre 0.5 at delay 19, the
    # branch halved at the even delays 2..36).
    hb = np.zeros(37)
    branch = [0.00157905, -0.00467577, 0.01044318, -0.02017462, 0.03579893, -0.06086637, 0.10411341, -0.19753781,
              0.63160092, 0.63160092, -0.19753781, 0.10411341, -0.06086637, 0.03579893, -0.02017462, 0.01044318,
              -0.00467577, 0.00157905]
    hb[19] = 0.5
    for j, v in enumerate(branch):
        hb[2 * (j + 1)] = v / 2
    makers = [("halfband", ours(0.5)), ("upfirdn 37 taps", upfirdn(hb, 2))]
    if shim is not None:
        makers.append(("resamp2_crcf m=9 60dB", liquid_hb(liq, shim)))
    runs = [m() for _, m in makers]
    times = best_all([lambda r=r: r(x) for r in runs])
    rej = [[rejection(m, 0.5, pb) for pb in (0.25, 0.4)] for _, m in makers]
    row("decimate by 2", n, [(lab, t, rj) for (lab, _), t, rj in zip(makers, times, rej)])

    # CIC by 8: its impulse response (four boxcars of 8) for upfirdn.
    box = np.ones(8) / 8
    cic = box
    for _ in range(3):
        cic = np.convolve(cic, box)
    makers = [("CIC(8)", cic_ours(8)), ("upfirdn CIC taps", upfirdn(cic, 8))]
    if liq is not None:
        makers.append(("firdecim_crcf m=4 60dB", liquid_firdecim(liq, 8)))
    runs = [m() for _, m in makers]
    times = best_all([lambda r=r: r(x) for r in runs])
    rej = [[rejection(m, 1 / 8, pb) for pb in (0.25, 0.4)] for _, m in makers]
    row("decimate by 8", n, [(lab, t, rj) for (lab, _), t, rj in zip(makers, times, rej)])


if __name__ == "__main__":
    main()
