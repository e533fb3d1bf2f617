"""The landed kernels against C peers, in one process on the same data, in calls of
2^17 samples (best of several rounds, ours and the peer alternating so a busy
machine slows both alike; CPU time of this process, so time spent waiting for a
core shared with other work counts for neither). Prints throughput, the ratio
and the goal.

    resampler 147/160 and 3/2   resample.Resampler (19 taps per branch) against
                                liquid-dsp resamp_crcf (m = 9: 18 taps per branch),
                                several instances each, worst instance reported
    FIR, 64 real taps           resample.FIR against scipy.signal.lfilter and
                                liquid-dsp firfilt_crcf
    tone                        wfm._SynthEngine("tone") against VOLK's rotator
                                turning a constant into the same tone
    noise                       wfm._SynthEngine("noise") against NumPy's
                                standard_normal scaled to the same power

    PYTHONPATH=src python3 benchmarks/bench_kernels.py
"""

import time

import numpy as np
from scipy import signal

from kolvane import resample, wfm

from peers import Liquid, Volk
from timing import record

BLOCK = 1 << 17
BLOCKS = 8  # samples per timed round: BLOCK * BLOCKS
ROUNDS = 7
INSTANCES = 4


def best_pair(ours, peer, rounds=ROUNDS):
    """Best time of each of two functions, run alternately."""
    ours()
    peer()
    t_a = t_b = float("inf")
    for _ in range(rounds):
        t0 = time.process_time()
        ours()
        t_a = min(t_a, time.process_time() - t0)
        t0 = time.process_time()
        peer()
        t_b = min(t_b, time.process_time() - t0)
    return t_a, t_b


def blocks(fn, x):
    def run():
        for k in range(BLOCKS):
            fn(x[k * BLOCK:(k + 1) * BLOCK])

    return run


results = []


def report(name, n, t_ours, t_peer, peer, goal):
    ratio = t_peer / t_ours
    results.append((name, peer, ratio, goal))
    record("kernels", name, n / t_ours, peer, n / t_peer)
    print(f"{name:<30} {n / t_ours / 1e6:8.1f} Msps   {peer:<28} {n / t_peer / 1e6:8.1f} Msps   x{ratio:6.2f}"
          f"   goal >= {goal:g} {'met' if ratio >= goal else 'NOT MET'}")


def bench_resampler(liq, x, n):
    for up, down in ((147, 160), (3, 2)):
        rate = up / down
        peer_run, peer_reset, peer_free = liq.resampler(rate, 9, min(0.45, 0.45 * rate))
        py = np.empty(2 * BLOCK + 64, np.complex64)
        ratios = []
        # Instances made one after another, with allocations in between, so
        # their buffers land at different offsets within pages and cache sets.
        keep = []
        for i in range(INSTANCES):
            keep.append(np.empty(1 + 977 * i, np.uint8))
            r = resample.Resampler(rate=rate)
            buf = np.empty(max(r.execute_max_out(), 2 * BLOCK), np.complex64)
            ours = blocks(lambda v, r=r, buf=buf: r.execute(v, out=buf), x)
            peer = blocks(lambda v: peer_run(v, py), x)
            t_ours, t_peer = best_pair(ours, peer)
            ratios.append((t_peer / t_ours, t_ours, t_peer))
            r.destroy()
        worst = min(ratios)
        spread = ", ".join(f"x{q:.2f}" for q, _, _ in ratios)
        report(f"Resampler {up}/{down}", n, worst[1], worst[2], "liquid resamp_crcf m=9", 2.5)
        print(f"{'':<30} instances: {spread}")
        peer_reset()
        peer_free()


def bench_fir(liq, x, n):
    taps = signal.firwin(64, 0.2).astype(np.float32)
    y = np.empty(BLOCK, np.complex64)
    f = resample.FIR(taps)
    ours = blocks(lambda v: f.execute(v, out=y), x)
    ref = signal.lfilter(taps, 1.0, x[:BLOCK])
    np.testing.assert_allclose(f.execute(x[:BLOCK]), ref, atol=1e-4)
    f.reset()
    t_ours, t_peer = best_pair(ours, blocks(lambda v: signal.lfilter(taps, 1.0, v), x), rounds=3)
    report("FIR 64 real taps", n, t_ours, t_peer, "scipy lfilter", 5)
    if liq.ok:
        run, free = liq.firfilt(taps)
        t_ours, t_peer = best_pair(ours, blocks(lambda v: run(v, y), x))
        report("FIR 64 real taps", n, t_ours, t_peer, "liquid firfilt_crcf", 5)
        free()
    f.destroy()


def bench_tone(volk, n):
    f = 0.0123
    eng = wfm._SynthEngine(type="tone", fs=1.0, freq=f)
    out = np.empty(BLOCK, np.complex64)
    ones = np.ones(BLOCK, np.complex64)
    rot = volk.rotator(f)
    y = np.empty(BLOCK, np.complex64)

    def ours():
        for _ in range(BLOCKS):
            eng.steps(BLOCK, out=out)

    def peer():
        for _ in range(BLOCKS):
            rot(ones, y)

    t_ours, t_peer = best_pair(ours, peer)
    report("tone (synth engine)", n, t_ours, t_peer, "VOLK rotator_32fc", 0.8)


def bench_noise(n):
    eng = wfm._SynthEngine(type="noise", seed=3)
    out = np.empty(BLOCK, np.complex64)
    rng = np.random.default_rng(1)
    sigma = np.float32(np.sqrt(0.5))

    def ours():
        for _ in range(BLOCKS):
            eng.steps(BLOCK, out=out)

    def peer():
        for _ in range(BLOCKS):
            (rng.standard_normal(2 * BLOCK, dtype=np.float32) * sigma).view(np.complex64)

    t_ours, t_peer = best_pair(ours, peer)
    report("noise (synth engine)", n, t_ours, t_peer, "NumPy standard_normal f32", 3)


def main():
    rng = np.random.default_rng(1)
    n = BLOCK * BLOCKS
    x = (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(np.complex64)
    out = np.empty_like(x)
    t_copy = best_pair(lambda: np.copyto(out, x), lambda: None)[0]
    print(f"{n} complex64 samples per round in calls of {BLOCK}; memory ceiling (NumPy copy) {n / t_copy / 1e6:.0f} Msps")
    liq, volk = Liquid(), Volk()
    if liq.ok:
        bench_resampler(liq, x, n)
    else:
        print("liquid-dsp not found (make bench installs it): resampler and firfilt peers skipped")
    bench_fir(liq, x, n)
    if volk.ok:
        bench_tone(volk, n)
    else:
        print("VOLK not found (make bench installs it): tone peer skipped")
    bench_noise(n)
    missed = [r for r in results if r[2] < r[3]]
    print(f"\n{len(results) - len(missed)} of {len(results)} goals met")


if __name__ == "__main__":
    main()
