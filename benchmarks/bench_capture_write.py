"""Capture write throughput: iqwriter.Writer against NumPy on the same data.

For each wire type the same complex64 signal is written in blocks to a raw file
(and a BLUE file) by the Writer, and by NumPy: the peak that the Writer keeps,
the same conversion (cf32: none; ci16: clip, scale, truncate), and ndarray.tofile.
Files go to /dev/shm unless --dir says otherwise. Best of several runs; prints samples/s and the ratio ours/NumPy. A plain NumPy
copy of the data is printed as the memory-bandwidth ceiling.

    PYTHONPATH=src python3 benchmarks/bench_capture_write.py [--samples N] [--block N]
"""
import argparse
import os
import tempfile
import time

import numpy as np

from kolvane import iqwriter
from timing import record


def best_of(fn, runs):
    best = float("inf")
    for _ in range(runs):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def numpy_ci16(block):
    v = block.view(np.float32)
    np.abs(v).max()
    q = np.clip(np.nan_to_num(v, nan=0.0), -1.0, 1.0) * np.float32(32767)
    return q.astype("<i2")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--samples", type=int, default=1 << 22)
    ap.add_argument("--block", type=int, default=1 << 16)
    ap.add_argument("--runs", type=int, default=5)
    # tmpfs by default, so the figures measure the conversion and the write path
    # rather than the disk; pass --dir to time a real file system.
    ap.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else None)
    a = ap.parse_args()
    rng = np.random.default_rng(1)
    x = ((rng.standard_normal(a.samples) + 1j * rng.standard_normal(a.samples)) * 0.3).astype(np.complex64)
    blocks = [x[i:i + a.block] for i in range(0, len(x), a.block)]
    d = tempfile.mkdtemp(prefix="kolvane_bench_", dir=a.dir)
    path = os.path.join(d, "cap")

    def ours(ft, st):
        def run():
            with iqwriter.Writer(path, 1e6, file_type=ft, sample_type=st, sidecar=False) as w:
                for b in blocks:
                    w.write(b)
        return run

    def peer(st):
        def run():
            with open(path, "wb") as f:
                for b in blocks:
                    if st == "cf32":
                        np.abs(b.view(np.float32)).max()
                        b.tofile(f)
                    else:
                        numpy_ci16(b).tofile(f)
        return run

    copy_t = best_of(lambda: x.copy(), a.runs)
    print(f"{a.samples} samples in blocks of {a.block}; files in {d}")
    print(f"{'case':<26}{'ours [MS/s]':>14}{'numpy [MS/s]':>14}{'ratio':>8}")
    for st in ("cf32", "ci16"):
        tp = best_of(peer(st), a.runs)
        for ft in ("raw", "blue"):
            to = best_of(ours(ft, st), a.runs)
            print(f"{st + ' ' + ft:<26}{a.samples / to / 1e6:>14.1f}{a.samples / tp / 1e6:>14.1f}{tp / to:>8.2f}")
            record("capture_write", f"Writer.write, {ft} {st}, blocks of {a.block}", a.samples / to,
                   "NumPy conversion + tofile", a.samples / tp)
    print(f"{'memory copy (ceiling)':<26}{a.samples / copy_t / 1e6:>14.1f}")
    os.unlink(path)
    os.rmdir(d)


if __name__ == "__main__":
    main()
