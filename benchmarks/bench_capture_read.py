"""Capture read throughput: iqreader.Reader against numpy.fromfile plus the same
unit-scale conversion in NumPy, on the same BLUE files (page cache warm).

Run: PYTHONPATH=src python3 benchmarks/bench_capture_read.py [samples]
"""

import os
import sys
import tempfile
import time

import numpy as np

from kolvane import iqreader, iqwriter
from timing import record


def best_of(fn, runs=7):
    best = float("inf")
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def numpy_read(path, stype, n):
    if stype == "cf32":
        return np.fromfile(path, dtype="<c8", count=n, offset=512)
    codes = np.fromfile(path, dtype="<i2", count=2 * n, offset=512)
    # The reader's rule: code x (1/32767) in double precision, rounded to float32.
    return (codes * (1.0 / 32767)).astype(np.float32).view(np.complex64)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1 << 22
    rng = np.random.default_rng(0)
    x = ((rng.standard_normal(n) + 1j * rng.standard_normal(n)) * 0.2).astype(np.complex64)
    print(f"{n} samples per read, best of 7")
    print(f"{'type':6} {'iqreader':>14} {'numpy':>14} {'ratio':>7}   (samples/s; ratio > 1: iqreader faster)")
    with tempfile.TemporaryDirectory() as d:
        copy_rate = n / best_of(lambda: x.copy())
        for stype in ("cf32", "ci16"):
            path = os.path.join(d, f"bench_{stype}.blue")
            with iqwriter.Writer(path, 1e6, file_type="blue", sample_type=stype) as w:
                w.write(x)
            out = np.empty(n, np.complex64)
            r = iqreader.Reader(path)

            def ours():
                r.reset()
                assert len(r.read(n, out=out)) == n

            ours()
            np.testing.assert_array_equal(out, numpy_read(path, stype, n))
            t_ours = best_of(ours)
            t_np = best_of(lambda: numpy_read(path, stype, n))
            print(f"{stype:6} {n / t_ours:14.3e} {n / t_np:14.3e} {t_np / t_ours:7.2f}")
            record("capture_read", f"Reader.read, BLUE {stype}", n / t_ours, "numpy.fromfile + conversion", n / t_np)
            r.close()
        print(f"memory copy ceiling (complex64 array copy): {copy_rate:.3e} samples/s")


if __name__ == "__main__":
    main()
